// The board's audio as its callers see it: the records and values of the
// audio control codes (play and record commands, wave data, the record
// ring, track controls, level and pan overrides).
#pragma once

#include <cstdint>

inline constexpr uint32_t ZAR_AUDIO_TRACKS = 8;
inline constexpr uint32_t ZAR_AUDIO_PLAY_BUFFER_SIZE = 0x40000;   // per bank
inline constexpr uint32_t ZAR_AUDIO_REC_REGION_SIZE = 0x11000;    // two 32 KB halves and a spill page
inline constexpr uint32_t ZAR_AUDIO_REC_HALF_SIZE = 32768;
inline constexpr uint32_t ZAR_AUDIO_RING_BUFFERS = 8;
inline constexpr uint32_t ZAR_AUDIO_SAMPLES_DEFAULT = 16384;       // samples per bank buffer (two halves)
inline constexpr uint32_t ZAR_AUDIO_VU_PLAY_PAIRS = 10;

// The six events a caller registers, in this order.
enum ZAR_AUDIO_EVENT : uint32_t {
    ZAR_AUDIO_EVENT_PLAY_HALF_A,
    ZAR_AUDIO_EVENT_PLAY_HALF_B,
    ZAR_AUDIO_EVENT_REC_HALF_A,
    ZAR_AUDIO_EVENT_REC_HALF_B,
    ZAR_AUDIO_EVENT_ONE_SHOT_PLAY,
    ZAR_AUDIO_EVENT_ONE_SHOT_REC,
    ZAR_AUDIO_EVENT_COUNT,
};

// Play state and record modes as the codes carry them.
inline constexpr uint32_t ZAR_AUDIO_STOPPED = 0;
inline constexpr uint32_t ZAR_AUDIO_PLAYING = 32;
inline constexpr uint32_t ZAR_AUDIO_REC_OFF = 0;
inline constexpr uint32_t ZAR_AUDIO_REC_EVENTS = 64;
inline constexpr uint32_t ZAR_AUDIO_REC_PASSIVE = 65;

// IOCTL_ZAR_AUD_PLAY_COMMAND.
struct ZAR_AUDIO_PLAY_COMMAND {
    uint32_t State;
    uint32_t FixedSpeed;
    uint32_t Channel;
    uint32_t StartField;
    uint32_t LoopStartField;
    uint32_t EndField;
    uint32_t Loop;
    uint32_t Wait;
    uint32_t Latency;      // 0-3 fields
    uint32_t LinkedStart;
};
static_assert(sizeof(ZAR_AUDIO_PLAY_COMMAND) == 40);

// IOCTL_ZAR_AUD_RECORD_COMMAND.
struct ZAR_AUDIO_RECORD_COMMAND {
    uint32_t Command;      // 0, 64 or 65
    uint32_t Parameter[3];
    uint32_t BothInterfaces;
};
static_assert(sizeof(ZAR_AUDIO_RECORD_COMMAND) == 20);

// IOCTL_ZAR_AUD_PUT_WAVE_DATA's block in the caller's memory.
struct ZAR_AUDIO_WAVE_DATA {
    uint32_t Reserved0;
    uint32_t Track;
    uint32_t Half;
    uint32_t ByteCount;
    uint32_t Reserved16[2];
    uint32_t Samples;      // user address of 16-bit samples
    uint32_t FilledMarker;
};
static_assert(sizeof(ZAR_AUDIO_WAVE_DATA) == 32);

// IOCTL_ZAR_AUD_PLAYCORD.
struct ZAR_AUDIO_PLAYCORD {
    uint32_t Mode;         // 1 or 2
    uint32_t SourceA;      // user addresses
    uint32_t SourceB;
    uint32_t Destination;
};
static_assert(sizeof(ZAR_AUDIO_PLAYCORD) == 16);

// The 88-byte record ring block in the caller's memory.
struct ZAR_AUDIO_REC_BLOCK {
    uint32_t Buffer[ZAR_AUDIO_RING_BUFFERS];      // user addresses of 32,768-byte buffers
    int32_t Sequence[ZAR_AUDIO_RING_BUFFERS];     // sequence number held by each buffer
    int32_t Counter;
    uint32_t Next;
    uint32_t Event;                               // handle of the caller's event
    int32_t LastSequence;
    uint32_t LastBytes;
    uint32_t SlotVariant;
};
static_assert(sizeof(ZAR_AUDIO_REC_BLOCK) == 88);

struct ZAR_AUDIO_VU_PAIR {
    uint32_t Level;
    uint32_t Hold;
};

inline constexpr uint32_t ZAR_AUDIO_EQ_SECTIONS = 4;
inline constexpr uint32_t ZAR_AUDIO_CODEC_REGISTERS = 7; // master, record gain, line-in, aux, video, CD, PCM-out
inline constexpr uint32_t ZAR_AUDIO_LEVEL_UNITY = 129;
inline constexpr uint32_t ZAR_AUDIO_MULT_UNITY = 0x10000;

struct ZAR_AUDIO_EQ_SECTION {
    uint32_t Gain;         // Q15, 32767 flat
    uint32_t Coefficient[4];
};
static_assert(sizeof(ZAR_AUDIO_EQ_SECTION) == 20);

struct ZAR_AUDIO_TRACK_CONTROL {
    uint8_t Pan;
    uint8_t Level;
    uint8_t Trim;
    uint8_t Spare;
    ZAR_AUDIO_EQ_SECTION Eq[ZAR_AUDIO_EQ_SECTIONS];
};
static_assert(sizeof(ZAR_AUDIO_TRACK_CONTROL) == 84);

// Masks of IOCTL_ZAR_AUD_SET_TRACK_CONTROL.
inline constexpr uint32_t ZAR_TRACK_PAN = 0x01;
inline constexpr uint32_t ZAR_TRACK_LEVEL = 0x02;
inline constexpr uint32_t ZAR_TRACK_TRIM = 0x04;
inline constexpr uint32_t ZAR_TRACK_EQ0 = 0x10;          // 0x10 << n: section n

inline constexpr uint32_t ZAR_AUDIO_OVERRIDE_KEYS = 10;

// IOCTL_ZAR_AUD_LEVEL_OVERRIDE (70 bytes) and IOCTL_ZAR_AUD_PAN_OVERRIDE (66,
// without the gain-law word).
#pragma pack(push, 2)
struct ZAR_AUDIO_OVERRIDE_REQUEST {
    uint32_t Track;
    uint32_t Hold;
    uint32_t CurrentField;                 // out
    uint32_t KeyCount;
    uint32_t KeyTime[ZAR_AUDIO_OVERRIDE_KEYS];
    uint8_t KeyValue[ZAR_AUDIO_OVERRIDE_KEYS];
    uint32_t GainLaw;
};
#pragma pack(pop)
static_assert(sizeof(ZAR_AUDIO_OVERRIDE_REQUEST) == 70);

// The audio data server: slots of track data the driver reads from the
// caller's memory, described by the control block it also reads.
inline constexpr uint32_t ZAR_DSRV_SLOTS = 8;
inline constexpr uint32_t ZAR_DSRV_SOURCES = 8;
inline constexpr uint32_t ZAR_DSRV_CONTROL_BYTES = 1152;

// IOCTL_ZAR_AUD_DSRV_PREP_PLAY.
#pragma pack(push, 4)
struct ZAR_DSRV_PREPARE {
    uint32_t ControlBlock;
    uint32_t TrackMask;
    uint32_t Sources;
    uint32_t Slots;
    uint32_t AddBankA;
    uint32_t AddBankB;
    uint32_t SlotBuffer[ZAR_DSRV_SLOTS];
    uint32_t BankABytes;                   // per slot
    uint32_t BankBBytes;
    uint32_t BankAOffset;                  // 16-bit units
    uint32_t BankBOffset;
    uint32_t BankATracks;                  // 2 or 4 tracks interleaved in the slot data
    uint32_t BankBTracks;
    uint32_t Routing[2][ZAR_DSRV_SOURCES]; // per bank and source: the bank's tracks it feeds (bit 0 its first; 0: all)
    uint32_t Geometry[3];
    int64_t LoopStart;
    int64_t LoopEnd;
    int64_t Start;
    uint32_t NormalSpeed;
    uint32_t VariSpeed;
    uint32_t SmallBuffers;
    uint32_t Loop;
    uint32_t BaseFilter;
    uint32_t Semaphore;
    uint32_t PreRoll;
};
#pragma pack(pop)
static_assert(sizeof(ZAR_DSRV_PREPARE) == 208);
