// Records of the board driver's JPEG video channels shared with user mode:
// the command block, the video channel state, the play-status block, the
// record field descriptor and the small requests of the SDRAM field ring.
#pragma once

#include <cstddef>
#include <cstdint>

// IOCTL_ZAR_JPEG_COMMAND, and selector 4 of IOCTL_ZAR_JPEG_CONTROL.
struct ZAR_JPEG_COMMAND {
    uint32_t Command;             // +0
    uint32_t Channel;             // +4: 0, 1, or 2 for both
    uint32_t Unused8;
    uint32_t FieldMode;           // +12: command 19, 0 two fields, 2 one field
    uint32_t Unused16;
    uint32_t FirstFieldSize;      // +20: command 19, blocks
    uint32_t SecondFieldSize;     // +24
    uint32_t FramePosition;       // +28
    uint32_t Start;               // +32: play start field
    uint32_t LoopStart;           // +36: play loop start; record in point
    uint32_t End;                 // +40: play end field; record out point (0xFFFFFFFF none)
    uint32_t Loop;                // +44
    uint32_t RateMode;            // +48: 0 fixed, 1 and 2 controlled, 3 unconstrained, 255 from the field count
    uint32_t FixedQuantiser;      // +52
    uint32_t UpperSize[2];        // +56, +60: blocks
    uint32_t HardLimit[2];        // +64, +68: 0 one and a half times the upper size
    uint32_t Unused72;
    uint32_t RecordWithAudio;     // +76
    uint8_t AudioCommand[40];     // +80: kept for the passive audio start
    uint32_t Unused120;
    uint32_t Target[2];           // +124, +128: targets in; render samples 0 and 1 out
    uint32_t MeasuredSize[2];     // +132, +136: written back after a waited command
    uint32_t Wait;                // +140
    uint32_t Flags;               // +144: start mask of the following modules
    uint32_t RenderSource;        // +148
    uint32_t RenderBuffer;        // +152
    uint32_t RenderRecord;        // +156
    uint32_t RenderWord160;       // +160
    uint32_t RenderWord164;       // +164
    uint32_t VideoInputMode;      // +168
    uint32_t HoldShowsFrame;      // +172
    uint32_t PullDown;            // +176
    uint32_t NoRoomAccounting;    // +180
};
static_assert(sizeof(ZAR_JPEG_COMMAND) == 184);
static_assert(offsetof(ZAR_JPEG_COMMAND, RateMode) == 48);
static_assert(offsetof(ZAR_JPEG_COMMAND, Target) == 124);
static_assert(offsetof(ZAR_JPEG_COMMAND, Wait) == 140);
static_assert(offsetof(ZAR_JPEG_COMMAND, NoRoomAccounting) == 180);

// Command words of ZAR_JPEG_COMMAND.
inline constexpr uint32_t ZAR_JPEG_CMD_INIT = 0;
inline constexpr uint32_t ZAR_JPEG_CMD_RESET = 8;
inline constexpr uint32_t ZAR_JPEG_CMD_HOLD = 17;
inline constexpr uint32_t ZAR_JPEG_CMD_SCRUB_FRAME = 18;
inline constexpr uint32_t ZAR_JPEG_CMD_ADD_FRAME = 19;
inline constexpr uint32_t ZAR_JPEG_CMD_PLAY = 32;
inline constexpr uint32_t ZAR_JPEG_CMD_PLAY_AUDIO = 33;
inline constexpr uint32_t ZAR_JPEG_CMD_PLAY_VARI = 34;
inline constexpr uint32_t ZAR_JPEG_CMD_RECORD = 64;
inline constexpr uint32_t ZAR_JPEG_CMD_RECORD_MEASURE = 65;
inline constexpr uint32_t ZAR_JPEG_CMD_RECORD_AUDIO = 66;
inline constexpr uint32_t ZAR_JPEG_CMD_RENDER = 96;
inline constexpr uint32_t ZAR_JPEG_CMD_IDLE = 128;
inline constexpr uint32_t ZAR_JPEG_NO_OUT_POINT = 0xFFFFFFFF;

// Five words of a frame to display (the state's display descriptor and the
// video parts of a scrub-list entry).
struct ZAR_JPEG_DISPLAY {
    uint32_t Address;             // first field's block
    uint32_t FirstSize;
    uint32_t SecondSize;
    uint32_t FieldMode;           // 0 a frame, 2 one field on both parities
    uint32_t Position;
};
static_assert(sizeof(ZAR_JPEG_DISPLAY) == 20);

// One video channel's state, handed to user mode as it stands. The first 64
// bytes are the play state block every play-list channel has.
struct ZAR_VIDEO_CHANNEL_STATE {
    uint32_t Position;            // 0
    uint32_t StartPosition;       // 4
    uint32_t LoopStart;           // 8: record in point
    uint32_t EndPosition;         // 12: record out point
    uint32_t DisplayedPosition;   // 16
    uint32_t ReportedPosition[4]; // 20-32: now and the three before; record: 32 = min(position, end - 1)
    uint32_t Pass;                // 36
    uint32_t Loop;                // 40
    int32_t StateWord;            // 44
    uint32_t SelfTimed;           // 48
    uint32_t Master;              // 52
    uint32_t Held;                // 56
    uint32_t Grace;               // 60
    uint32_t CompletionEvent;     // 64: nonzero while a waited command is registered
    uint32_t RequestPending;      // 68
    uint32_t RequestedState;      // 72
    uint32_t StateChangeDone;     // 76
    uint32_t StopRequest;         // 80
    uint32_t ModeWord;            // 84: 64 record, 65 measure, 67 render record
    uint32_t StartMask;           // 88
    uint32_t Word92;              // 92
    uint32_t RenderFlag;          // 96
    uint32_t RenderWord[3];       // 100-108: command +156, +164, +160
    uint32_t RenderSource;        // 112
    uint32_t RenderBuffer;        // 116
    uint32_t AudioBlocks;         // 120: interleaved audio blocks before each field
    uint32_t AudioBytes;          // 124
    uint32_t AudioReadOffset;     // 128
    uint32_t HoldRequest;         // 132
    uint32_t LastAddress[2];      // 136, 140: last played field of parity 0, 1
    uint32_t LastSize[2];         // 144, 148
    uint32_t ErrorFlag;           // 152
    uint32_t ErrorInCountdown;    // 156
    ZAR_JPEG_DISPLAY Display;     // 160
    uint32_t SdramHead;           // 180
    uint32_t RecordWithAudio;     // 184
    uint32_t AudioLead;           // 188
    uint32_t AudioFollows;        // 192
    uint8_t AudioCommand[40];     // 196
    uint32_t DroppedFields;       // 236
    uint32_t OverflowOrRepeat;    // 240
    uint32_t ProcessCount;        // 244
    uint32_t ProcessField;        // 248
    uint32_t RecordAddress[2];    // 252, 256
    uint32_t HoldShowsFrame;      // 260
    uint32_t DisplayPending;      // 264
    uint32_t Countdown;           // 268
    uint32_t NoRoomAccounting;    // 272
    uint32_t VariPlay;            // 276
    uint32_t PullDown;            // 280
    uint32_t Cadence;             // 284
    uint32_t Parity;              // 288
    uint32_t SecondPosition;      // 292
};
static_assert(sizeof(ZAR_VIDEO_CHANNEL_STATE) == 296);
static_assert(offsetof(ZAR_VIDEO_CHANNEL_STATE, StateWord) == 44);
static_assert(offsetof(ZAR_VIDEO_CHANNEL_STATE, CompletionEvent) == 64);
static_assert(offsetof(ZAR_VIDEO_CHANNEL_STATE, HoldRequest) == 132);
static_assert(offsetof(ZAR_VIDEO_CHANNEL_STATE, Display) == 160);
static_assert(offsetof(ZAR_VIDEO_CHANNEL_STATE, SdramHead) == 180);
static_assert(offsetof(ZAR_VIDEO_CHANNEL_STATE, DroppedFields) == 236);
static_assert(offsetof(ZAR_VIDEO_CHANNEL_STATE, RecordAddress) == 252);
static_assert(offsetof(ZAR_VIDEO_CHANNEL_STATE, Parity) == 288);

// Video channel states.
inline constexpr int32_t ZAR_VIDEO_STOPPED = 0;
inline constexpr int32_t ZAR_VIDEO_IDLE = 1;
inline constexpr int32_t ZAR_VIDEO_HOLD = 17;
inline constexpr int32_t ZAR_VIDEO_PLAY = 32;
inline constexpr int32_t ZAR_VIDEO_PLAY_VARI = 34;
inline constexpr int32_t ZAR_VIDEO_RECORD = 64;
inline constexpr int32_t ZAR_VIDEO_RENDER = 96;
inline constexpr int32_t ZAR_VIDEO_RENDER_HANDOVER = 97;
inline constexpr int32_t ZAR_VIDEO_PENDING_IDLE = 255;
inline constexpr int32_t ZAR_VIDEO_ERROR = -1;

// IOCTL_ZAR_JPEG_GET_PLAYLIST_STATUS.
struct ZAR_PLAYLIST_STATUS {
    uint32_t Kind;
    uint32_t Index;
    uint8_t State[296];
};
static_assert(sizeof(ZAR_PLAYLIST_STATUS) == 304);

// One recorded field, as channel 10's ring hands it to the library.
struct ZAR_JPEG_FIELD_DESCRIPTOR {
    uint32_t Unused0;
    uint32_t Position;            // 4
    uint32_t Size;                // 8: blocks, audio included; 0 when dropped
    uint32_t Address;             // 12: first block in the SDRAM field ring (audio first)
    uint32_t Reference;           // 16: the activity reading (or render sample) it was prepared with
    uint8_t Quantiser;            // 20
    int8_t Correction;            // 21
    uint8_t Unused22[2];
    uint32_t Parity;              // 24
    uint32_t Dropped;             // 28
};
static_assert(sizeof(ZAR_JPEG_FIELD_DESCRIPTOR) == 32);

// IOCTL_ZAR_JPEG_CONTROL.
struct ZAR_JPEG_CONTROL_REQUEST {
    uint32_t Selector;            // 0 bridge, 1 decoder, 2/3 encoder 0/1, 4 JPEG command
    uint32_t Argument;            // the caller's block for selectors 2-4
    uint32_t Unused;
};
static_assert(sizeof(ZAR_JPEG_CONTROL_REQUEST) == 12);

// IOCTL_ZAR_JPEG_RELEASE_SDRAM_FIELD.
struct ZAR_JPEG_RELEASE_FIELD {
    uint32_t Parity;
    uint32_t Blocks;
};
static_assert(sizeof(ZAR_JPEG_RELEASE_FIELD) == 8);

// IOCTL_ZAR_JPEG_ADVANCE_SDL_HEAD_ADDR.
struct ZAR_JPEG_SDL_HEAD_REQUEST {
    uint32_t Channel;             // +0: 0 or 1
    uint32_t Unused4;
    uint32_t Blocks;              // +8
    uint32_t Unused12[3];
    uint32_t Parity;              // +24
};
static_assert(sizeof(ZAR_JPEG_SDL_HEAD_REQUEST) == 28);

// The SDRAM field ring.
inline constexpr uint32_t ZAR_JPEG_RING_BLOCKS = 7936;
inline constexpr uint32_t ZAR_JPEG_BLOCK_BYTES = 512;
inline constexpr uint32_t ZAR_JPEG_QUEUE_LIMIT = 4096;   // blocks a parity may have outstanding
// Recorded fields go to a bank of their parity, apart from the play ring;
// a descriptor's address is the block inside that bank (access modes 101
// and 102 of a disk request reach the banks of parity 0 and 1).
inline constexpr uint32_t ZAR_JPEG_RECORD_BANK_BLOCKS = 4096;
inline constexpr uint32_t ZAR_JPEG_DESCRIPTOR_RING = 256;
inline constexpr uint32_t ZAR_JPEG_RECORD_CHANNEL = 10;
