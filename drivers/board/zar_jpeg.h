// JPEG channels: codec access, channel states, SDRAM field ring, record descriptors, bit-rate control, commands.
//
// The module's per-board state (ZAR_JPEG_STATE) lives in the device extension as
// ext->Jpeg; its entry points used by other modules are declared below.
#pragma once

#include "platform/nt/kernel.h"
#include "include/zarkd.h"
#include "include/zarkd_jpeg.h"

struct ZAR_DEVICE_EXTENSION;
using PZAR_DEVICE_EXTENSION = ZAR_DEVICE_EXTENSION*;

inline constexpr ULONG ZAR_JPEG_CHANNEL_COUNT = 2;
inline constexpr ULONG ZAR_JPEG_REGISTER_IMAGE = 858;   // bytes the driver keeps of what it wrote to a codec
// Field-signal slots (one per channel) through which the VBI DPC signals a
// channel's state change and its waited command's completion.
inline constexpr ULONG ZAR_FIELD_SIGNAL_JPEG_STATE = 16;
inline constexpr ULONG ZAR_FIELD_SIGNAL_JPEG_COMMAND = 18;

// Rate control of a video channel, derived from the record command.
struct ZAR_JPEG_RATE {
    ULONG Mode;                // 0 fixed, 1/2 controlled, 3 unconstrained, 255 from the field count
    ULONG FixedQuantiser;
    ULONG Upper[2];            // per field parity, blocks
    ULONG Row[2];              // table row = upper / 5
    ULONG Hard[2];
    ULONG Lower[2];
    ULONG Target[2];
    ULONG LastSize[2];
    ULONG LastQuantiser[2];
    BOOLEAN Keep[2];
};

struct ZAR_JPEG_CHANNEL {
    ZAR_VIDEO_CHANNEL_STATE State;  // what user mode reads
    ZAR_JPEG_RATE Rate;
    KEVENT StateEvent;              // state change taken effect
    KEVENT CommandEvent;            // waited command done
    ULONG FieldSlotState;           // field-signal slots the VBI DPC sets the two events from
    ULONG FieldSlotCommand;
    ULONG PreparedCount;            // record: descriptors prepared (the ring's write count follows once measured)
    LONG PreviousDescriptor;        // the one prepared two fields ago, -1 none
    LONG LastDescriptor;            // and one field ago
};

struct ZAR_JPEG_STATE {
    ZAR_JPEG_CHANNEL Channel[ZAR_JPEG_CHANNEL_COUNT];
    ULONG CodecControl;             // board register 0xB880 shadow
    ULONG CodecControlAtField;      // as it stood when the field began
    ULONG Direction;                // 0xB900 shadow
    ULONG PathControl;              // 0x4400 shadow
    ULONG VideoControl;             // 0x4C40 bits the codec direction owns (3 and 8)
    ULONG SdramAddress[ZAR_JPEG_CHANNEL_COUNT];  // 0xA800 / 0xA810 shadows
    ULONG RecordedBlocks[2];        // per parity: all recorded
    ULONG QueuedBlocks[2];          // and not yet released by the library
    ULONG DescriptorOverflows;      // fields dropped because the ring was full of unread descriptors
    ULONG RenderSample[4];
    ULONG ClockDiscontinuity;       // set by the time-code master clock when its count jumps
    ULONG ClockCountdown;           // that clock's discontinuity countdown
    ULONG OptionHold;               // digital-I/O option flags in 24 fps mode 2 (1 without the option)
    ULONG OptionParity;
    KSPIN_LOCK Lock;                // stands in for the interrupt while the board's sync level is low
    BOOLEAN EventsReady;
    UCHAR RegisterImage[ZAR_JPEG_CHANNEL_COUNT][ZAR_JPEG_REGISTER_IMAGE];
};

// ---- codec access, reset and set-up ----
void ZarJpegRegWrite(PZAR_DEVICE_EXTENSION ext, ULONG codec, ULONG reg, ULONG value);
USHORT ZarJpegRegRead(PZAR_DEVICE_EXTENSION ext, ULONG codec, ULONG reg);
void ZarJpegRegWrite16(PZAR_DEVICE_EXTENSION ext, ULONG codec, ULONG reg, ULONG value);
void ZarJpegRegWrite24(PZAR_DEVICE_EXTENSION ext, ULONG codec, ULONG reg, ULONG value);
void ZarJpegRegWrite32(PZAR_DEVICE_EXTENSION ext, ULONG codec, ULONG reg, ULONG value);
NTSTATUS ZarJpegReset(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarJpegCodecInit(PZAR_DEVICE_EXTENSION ext, ULONG codec, const ZAR_JPEG_COMMAND* command);
void ZarJpegEnableRealtimeMode(PZAR_DEVICE_EXTENSION ext, ULONG codec, BOOLEAN on);
void ZarJpegSetVideoDirection(PZAR_DEVICE_EXTENSION ext, ULONG codec, ULONG direction);
inline constexpr ULONG ZAR_JPEG_DECODE = 32;
inline constexpr ULONG ZAR_JPEG_ENCODE = 64;
// Prepares the channels' events (once per board, before the first command).
void ZarJpegInitialize(PZAR_DEVICE_EXTENSION ext);

// ---- channel states ----
// A channel's state word (0 stopped, 1 idle ... 32 playing, 64 recording,
// negative in error).
ULONG ZarJpegGetState(PZAR_DEVICE_EXTENSION ext, ULONG channel);
// Requests 'state' for channel 0, 1 or 2 (both) and, below dispatch level,
// waits for it at most 500 ms (STATUS_TIMEOUT then).
NTSTATUS ZarJpegSetState(PZAR_DEVICE_EXTENSION ext, ULONG channel, ULONG state);
ULONG ZarJpegSafeRequestStateChange(PZAR_DEVICE_EXTENSION ext, ULONG channel, ULONG state);
void ZarJpegVbiStateChange(PZAR_DEVICE_EXTENSION ext, ULONG channel);
NTSTATUS ZarJpegSlavePlayStartup(PZAR_DEVICE_EXTENSION ext, ULONG channel);
// Playlist initialisation of channel 10, 20 or 30.
void ZarJpegPlaylistInit(PZAR_DEVICE_EXTENSION ext, ULONG channel);

// ---- field play and record ----
void ZarJpegSetCodecSdramAddress(PZAR_DEVICE_EXTENSION ext, ULONG codec, ULONG block, BOOLEAN uncompressed);
void ZarJpegSetDisplayBuffer(PZAR_DEVICE_EXTENSION ext, ULONG channel);
void ZarPlyUpdateScrubPosition(ZAR_VIDEO_CHANNEL_STATE* state, ULONG position);
// The channel's SDRAM head (the block at which the next frame is placed);
// the caller has checked channel < ZAR_JPEG_CHANNEL_COUNT.
ULONG ZarJpegSafeGetSdlAddress(PZAR_DEVICE_EXTENSION ext, ULONG channel);
ULONG ZarJpegSafeSdlAddHead(PZAR_DEVICE_EXTENSION ext, const ZAR_JPEG_COMMAND* command);
// Places the command's frame at its channel's head, describing it in
// 'display'; returns how often the head wrapped (0 or 1).
ULONG ZarScrubJpegSetNode(PZAR_DEVICE_EXTENSION ext, const ZAR_JPEG_COMMAND* command, ZAR_JPEG_DISPLAY* display);
// A scrub-list entry's video parts (kind bit 0x100: channel 0, 0x200: channel 1).
void ZarScrubJpegProcessNode(PZAR_DEVICE_EXTENSION ext, ULONG kind, const ZAR_JPEG_DISPLAY* parts);
// Moves one recorded field's interleaved audio into its field area.
NTSTATUS ZarJpegAviAudioRecCopy(PZAR_DEVICE_EXTENSION ext, ZAR_VIDEO_CHANNEL_STATE* state,
                                const ZAR_JPEG_FIELD_DESCRIPTOR* descriptor);
// Blocks of the field the codec measured last (the maximum field size in rate mode 3).
ULONG ZarJpegGetCompressedSize(PZAR_DEVICE_EXTENSION ext, ULONG channel);

// ---- bit-rate control ----
void ZarJpegCommandSetBitRateControl(PZAR_DEVICE_EXTENSION ext, ULONG channel, const ZAR_JPEG_COMMAND* command);
ULONG ZarJpegCalculateQFactor(PZAR_DEVICE_EXTENSION ext, ULONG channel, ZAR_JPEG_FIELD_DESCRIPTOR* prepared,
                              const ZAR_JPEG_FIELD_DESCRIPTOR* previous);
NTSTATUS ZarJpegProcessCountCheck(PZAR_DEVICE_EXTENSION ext, ULONG channel);
// Rate mode 255: the quantiser follows the count of recorded fields.
ULONG ZarJpegQuantiserFromFieldCount(ULONG fields);
inline constexpr ULONG ZAR_JPEG_RATE_UNCONSTRAINED = 3;
inline constexpr ULONG ZAR_JPEG_RATE_FROM_FIELD_COUNT = 255;

// ---- commands ----
NTSTATUS ZarJpegCodecErrorReset(PZAR_DEVICE_EXTENSION ext);

// Runs 'routine' synchronised with the board interrupt (or under the
// module's lock while the board's sync level is 2 or less).
BOOLEAN ZarJpegSynchronize(PZAR_DEVICE_EXTENSION ext, PKSYNCHRONIZE_ROUTINE routine, PVOID context);

// ---- channel states (zar_jpeg_state.cpp) ----
void ZarPlyJpegPreProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyJpegPostProcessNode(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarJpegSafePlaylistQuery(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarJpegSafePlaylistStop(PZAR_DEVICE_EXTENSION ext, PVOID buffer);

// ---- field play and record through the SDRAM (zar_jpeg_field.cpp) ----
void ZarPlyJpegProcessNode(PZAR_DEVICE_EXTENSION ext);
inline constexpr ULONG ZAR_JPEG_FIELD_DESCRIPTOR_SIZE = 32;
NTSTATUS ZarJpegGetNextEntry(PZAR_DEVICE_EXTENSION ext, ULONG channel, PVOID descriptor);
NTSTATUS ZarJpegReleaseSdramField(PZAR_DEVICE_EXTENSION ext, const ULONG* field);
NTSTATUS ZarJpegSafeAdvanceSdlHeadAddr(PZAR_DEVICE_EXTENSION ext, PVOID buffer);

// ---- codec set-up and register access (zar_jpeg_codec.cpp) ----
NTSTATUS ZarJpegControl(PZAR_DEVICE_EXTENSION ext, PVOID buffer);

// ---- commands and playlist status (zar_jpeg_command.cpp) ----
NTSTATUS ZarJpegCommand(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarJpegSafeGetPlaylistStatus(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
