// The groups a file does not build expand to nothing. Included after the
// file defined ZAR_EXPAND_<group> for its own groups; once a file.
#ifndef ZAR_EXPAND_FRAME
#define ZAR_EXPAND_FRAME(...)
#endif
#ifndef ZAR_EXPAND_PLAY
#define ZAR_EXPAND_PLAY(...)
#endif
#ifndef ZAR_EXPAND_DEVICE
#define ZAR_EXPAND_DEVICE(...)
#endif
#ifndef ZAR_EXPAND_AUDIO
#define ZAR_EXPAND_AUDIO(...)
#endif
#ifndef ZAR_EXPAND_PENDING
#define ZAR_EXPAND_PENDING(...)
#endif
#ifndef ZAR_EXPAND_MEDIA
#define ZAR_EXPAND_MEDIA(...)
#endif
#ifndef ZAR_EXPAND_LATER
#define ZAR_EXPAND_LATER(...)
#endif
