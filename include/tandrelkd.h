// Interface of the time-code driver TANDRELKD: the control codes of its
// stream devices (\\.\Zar0<stream name>) with the classes that accept each
// and the access and length rules checked before any handler runs, and the
// records that travel in and out.
//
// Shared by kernel and user mode, so it stands on <cstdint>/<cstddef> only.
// Every record is i386 layout: handles and user addresses are plain
// uint32_t fields, and each size is asserted here.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Control codes: device type 0x22, buffered, any access (the driver checks
// write access itself, by the table below).
// ---------------------------------------------------------------------------

inline constexpr uint32_t IOCTL_TANDREL_START = 0x222400;
inline constexpr uint32_t IOCTL_TANDREL_STOP = 0x222404;
inline constexpr uint32_t IOCTL_TANDREL_SYNC_START_STOP = 0x222440;
inline constexpr uint32_t IOCTL_TANDREL_CANCEL_PENDING = 0x222444;
inline constexpr uint32_t IOCTL_TANDREL_SET_EVENT = 0x222480;
inline constexpr uint32_t IOCTL_TANDREL_CANCEL_EVENT = 0x222484;
inline constexpr uint32_t IOCTL_TANDREL_ENABLE_PERIODIC_EVENT = 0x222488;
inline constexpr uint32_t IOCTL_TANDREL_DISABLE_PERIODIC_EVENT = 0x22248C;
inline constexpr uint32_t IOCTL_TANDREL_ENABLE_NOTIFICATIONS = 0x2224C0;
inline constexpr uint32_t IOCTL_TANDREL_DISABLE_NOTIFICATIONS = 0x2224C4;
inline constexpr uint32_t IOCTL_TANDREL_ENABLE_POLL_TRIGGER = 0x222500;
inline constexpr uint32_t IOCTL_TANDREL_DISABLE_POLL_TRIGGER = 0x222504;
inline constexpr uint32_t IOCTL_TANDREL_GET_DEVICE_INFO = 0x222540;
inline constexpr uint32_t IOCTL_TANDREL_DECKEM_MAP_BETA_SLAVE_DEVICE = 0x222580;
inline constexpr uint32_t IOCTL_TANDREL_DECKEM_UNMAP_BETA_SLAVE_DEVICE = 0x222584;
inline constexpr uint32_t IOCTL_TANDREL_DECKEM_GET_COMMAND_REFERENCED_SAMPLE = 0x222588;
inline constexpr uint32_t IOCTL_TANDREL_SMPTE12M_GET_CONFIGURATION = 0x222800;
inline constexpr uint32_t IOCTL_TANDREL_SMPTE12M_SET_CONFIGURATION = 0x222804;
inline constexpr uint32_t IOCTL_TANDREL_SMPTE12M_GET_BASE = 0x222808;
inline constexpr uint32_t IOCTL_TANDREL_SMPTE12M_SET_BASE = 0x22280C;
inline constexpr uint32_t IOCTL_TANDREL_SMPTE12M_GET_SAMPLE = 0x222840;
inline constexpr uint32_t IOCTL_TANDREL_SMPTE12M_INPUT_GET_MODE = 0x222880;
inline constexpr uint32_t IOCTL_TANDREL_SMPTE12M_INPUT_SET_JAM = 0x222884;
inline constexpr uint32_t IOCTL_TANDREL_GET_QUEUED_NOTICE = 0x222888;
inline constexpr uint32_t IOCTL_TANDREL_SMPTE12M_INPUT_ENABLE_CAPTURE = 0x22288C;
inline constexpr uint32_t IOCTL_TANDREL_SMPTE12M_INPUT_GET_CAPTURED = 0x222890;
inline constexpr uint32_t IOCTL_TANDREL_SMPTE12M_INPUT_DISABLE_CAPTURE = 0x222894;
inline constexpr uint32_t IOCTL_TANDREL_SMPTE12M_PROXY_SET_HINTED_SAMPLE = 0x2228A0;
inline constexpr uint32_t IOCTL_TANDREL_SMPTE12M_SET_OVERRIDE = 0x2228A4;
inline constexpr uint32_t IOCTL_TANDREL_SMPTE12M_OUTPUT_GET_QUEUED_NOTICE = 0x2228C0;
inline constexpr uint32_t IOCTL_TANDREL_SMPTE12M_OUTPUT_SET_FREEZE_MODE = 0x2228C4;
inline constexpr uint32_t IOCTL_TANDREL_SMPTE12M_OUTPUT_GET_FREEZE_MODE = 0x2228C8;
inline constexpr uint32_t IOCTL_TANDREL_SMPTE12M_OUTPUT_PREPARE_TO_TRACK = 0x2228CC;
inline constexpr uint32_t IOCTL_TANDREL_SMPTE12M_OUTPUT_PREPARE_TO_GENERATE = 0x2228D0;
inline constexpr uint32_t IOCTL_TANDREL_SMPTE12M_OUTPUT_PREPARE_TO_STREAM = 0x2228D4;
// Served by the board driver behind the stream device (records of zarkd.h).
inline constexpr uint32_t IOCTL_TANDREL_LTC_GENERATOR_GET_GAIN = 0x222900;
inline constexpr uint32_t IOCTL_TANDREL_LTC_GENERATOR_CONTROL = 0x222904;
inline constexpr uint32_t IOCTL_TANDREL_VITC_GET_LINES = 0x222940;
inline constexpr uint32_t IOCTL_TANDREL_VITC_CONTROL = 0x222944;
inline constexpr uint32_t IOCTL_TANDREL_BURNIN_SHOW_HIDE = 0x222980;
inline constexpr uint32_t IOCTL_TANDREL_BURNIN_GET_CONFIGURATION = 0x222984;
inline constexpr uint32_t IOCTL_TANDREL_BURNIN_SET_CONFIGURATION = 0x222988;
inline constexpr uint32_t IOCTL_TANDREL_MASTER_CLOCK_QUERY = 0x222C40;
inline constexpr uint32_t IOCTL_TANDREL_MASTER_CLOCK_GET_QUEUED_EVENT = 0x222C44;

// Device classes, as bits of a route's Classes.
enum TANDREL_CLASS : uint8_t {
    TANDREL_CLASS_FIELD_COUNT = 0x1,    // F: field counters (stream type 2)
    TANDREL_CLASS_MASTER_CLOCK = 0x2,   // M: the master clock (type 1)
    TANDREL_CLASS_INPUT = 0x4,          // I: readers (types 3, 5) and the reader proxy
    TANDREL_CLASS_OUTPUT = 0x8,         // O: generators and burn-in (types 4, 6, 7)
};
inline constexpr uint8_t TANDREL_CLASS_ALL = 0xF;
inline constexpr uint8_t TANDREL_CLASS_TIMED = TANDREL_CLASS_MASTER_CLOCK | TANDREL_CLASS_INPUT | TANDREL_CLASS_OUTPUT;

// One route: which classes serve a code, and what is checked before its
// handler (in this order: write access, input length, output length).
// Classes 0: never served by this driver, passed down to the board.
struct TANDREL_IOCTL_ROUTE {
    uint32_t Code;
    const char* Name;
    uint8_t Classes;
    bool NeedsWrite;
    uint32_t MinInput;
    uint32_t MinOutput;
};

inline constexpr TANDREL_IOCTL_ROUTE TandrelIoctlTable[] = {
    {IOCTL_TANDREL_START, "IOCTL_TANDREL_START", TANDREL_CLASS_TIMED, true, 0, 0},
    {IOCTL_TANDREL_STOP, "IOCTL_TANDREL_STOP", TANDREL_CLASS_TIMED, true, 0, 0},
    {IOCTL_TANDREL_SYNC_START_STOP, "IOCTL_TANDREL_SYNC_START_STOP", TANDREL_CLASS_TIMED, true, 16, 0},
    {IOCTL_TANDREL_CANCEL_PENDING, "IOCTL_TANDREL_CANCEL_PENDING", TANDREL_CLASS_TIMED, true, 4, 0},
    {IOCTL_TANDREL_SET_EVENT, "IOCTL_TANDREL_SET_EVENT", TANDREL_CLASS_ALL, false, 16, 0},
    {IOCTL_TANDREL_CANCEL_EVENT, "IOCTL_TANDREL_CANCEL_EVENT", TANDREL_CLASS_ALL, false, 8, 0},
    {IOCTL_TANDREL_ENABLE_PERIODIC_EVENT, "IOCTL_TANDREL_ENABLE_PERIODIC_EVENT", TANDREL_CLASS_ALL, false, 8, 0},
    {IOCTL_TANDREL_DISABLE_PERIODIC_EVENT, "IOCTL_TANDREL_DISABLE_PERIODIC_EVENT", TANDREL_CLASS_ALL, false, 4, 0},
    {IOCTL_TANDREL_ENABLE_NOTIFICATIONS, "IOCTL_TANDREL_ENABLE_NOTIFICATIONS", TANDREL_CLASS_TIMED, true, 4, 0},
    {IOCTL_TANDREL_DISABLE_NOTIFICATIONS, "IOCTL_TANDREL_DISABLE_NOTIFICATIONS", TANDREL_CLASS_TIMED, true, 0, 0},
    {IOCTL_TANDREL_ENABLE_POLL_TRIGGER, "IOCTL_TANDREL_ENABLE_POLL_TRIGGER", TANDREL_CLASS_ALL, false, 8, 0},
    {IOCTL_TANDREL_DISABLE_POLL_TRIGGER, "IOCTL_TANDREL_DISABLE_POLL_TRIGGER", TANDREL_CLASS_ALL, false, 4, 0},
    {IOCTL_TANDREL_GET_DEVICE_INFO, "IOCTL_TANDREL_GET_DEVICE_INFO", TANDREL_CLASS_ALL, false, 0, 4},
    {IOCTL_TANDREL_DECKEM_MAP_BETA_SLAVE_DEVICE, "IOCTL_TANDREL_DECKEM_MAP_BETA_SLAVE_DEVICE", TANDREL_CLASS_FIELD_COUNT, false, 8, 0},
    {IOCTL_TANDREL_DECKEM_UNMAP_BETA_SLAVE_DEVICE, "IOCTL_TANDREL_DECKEM_UNMAP_BETA_SLAVE_DEVICE", TANDREL_CLASS_FIELD_COUNT, false, 8, 0},
    {IOCTL_TANDREL_DECKEM_GET_COMMAND_REFERENCED_SAMPLE, "IOCTL_TANDREL_DECKEM_GET_COMMAND_REFERENCED_SAMPLE", TANDREL_CLASS_FIELD_COUNT, false, 4, 20},
    {IOCTL_TANDREL_SMPTE12M_GET_CONFIGURATION, "IOCTL_TANDREL_SMPTE12M_GET_CONFIGURATION", TANDREL_CLASS_INPUT | TANDREL_CLASS_OUTPUT, false, 0, 8},
    {IOCTL_TANDREL_SMPTE12M_SET_CONFIGURATION, "IOCTL_TANDREL_SMPTE12M_SET_CONFIGURATION", 0, false, 0, 0},
    {IOCTL_TANDREL_SMPTE12M_GET_BASE, "IOCTL_TANDREL_SMPTE12M_GET_BASE", TANDREL_CLASS_FIELD_COUNT, false, 0, 12},
    {IOCTL_TANDREL_SMPTE12M_SET_BASE, "IOCTL_TANDREL_SMPTE12M_SET_BASE", TANDREL_CLASS_FIELD_COUNT, true, 12, 0},
    {IOCTL_TANDREL_SMPTE12M_GET_SAMPLE, "IOCTL_TANDREL_SMPTE12M_GET_SAMPLE", TANDREL_CLASS_ALL, false, 0, 12},
    {IOCTL_TANDREL_SMPTE12M_INPUT_GET_MODE, "IOCTL_TANDREL_SMPTE12M_INPUT_GET_MODE", TANDREL_CLASS_INPUT, false, 0, 4},
    {IOCTL_TANDREL_SMPTE12M_INPUT_SET_JAM, "IOCTL_TANDREL_SMPTE12M_INPUT_SET_JAM", TANDREL_CLASS_INPUT, true, 4, 0},
    {IOCTL_TANDREL_GET_QUEUED_NOTICE, "IOCTL_TANDREL_GET_QUEUED_NOTICE", TANDREL_CLASS_MASTER_CLOCK | TANDREL_CLASS_INPUT, true, 0, 52},
    {IOCTL_TANDREL_SMPTE12M_INPUT_ENABLE_CAPTURE, "IOCTL_TANDREL_SMPTE12M_INPUT_ENABLE_CAPTURE", TANDREL_CLASS_INPUT, true, 4, 0},
    {IOCTL_TANDREL_SMPTE12M_INPUT_GET_CAPTURED, "IOCTL_TANDREL_SMPTE12M_INPUT_GET_CAPTURED", TANDREL_CLASS_INPUT, true, 0, 12},
    {IOCTL_TANDREL_SMPTE12M_INPUT_DISABLE_CAPTURE, "IOCTL_TANDREL_SMPTE12M_INPUT_DISABLE_CAPTURE", TANDREL_CLASS_INPUT, true, 0, 0},
    {IOCTL_TANDREL_SMPTE12M_PROXY_SET_HINTED_SAMPLE, "IOCTL_TANDREL_SMPTE12M_PROXY_SET_HINTED_SAMPLE", TANDREL_CLASS_INPUT, false, 32, 0},
    {IOCTL_TANDREL_SMPTE12M_SET_OVERRIDE, "IOCTL_TANDREL_SMPTE12M_SET_OVERRIDE", TANDREL_CLASS_FIELD_COUNT, true, 32, 0},
    {IOCTL_TANDREL_SMPTE12M_OUTPUT_GET_QUEUED_NOTICE, "IOCTL_TANDREL_SMPTE12M_OUTPUT_GET_QUEUED_NOTICE", TANDREL_CLASS_OUTPUT, true, 0, 44},
    {IOCTL_TANDREL_SMPTE12M_OUTPUT_SET_FREEZE_MODE, "IOCTL_TANDREL_SMPTE12M_OUTPUT_SET_FREEZE_MODE", TANDREL_CLASS_OUTPUT, true, 4, 0},
    {IOCTL_TANDREL_SMPTE12M_OUTPUT_GET_FREEZE_MODE, "IOCTL_TANDREL_SMPTE12M_OUTPUT_GET_FREEZE_MODE", TANDREL_CLASS_OUTPUT, false, 0, 4},
    {IOCTL_TANDREL_SMPTE12M_OUTPUT_PREPARE_TO_TRACK, "IOCTL_TANDREL_SMPTE12M_OUTPUT_PREPARE_TO_TRACK", TANDREL_CLASS_OUTPUT, true, 8, 0},
    {IOCTL_TANDREL_SMPTE12M_OUTPUT_PREPARE_TO_GENERATE, "IOCTL_TANDREL_SMPTE12M_OUTPUT_PREPARE_TO_GENERATE", TANDREL_CLASS_OUTPUT, true, 0, 0},
    {IOCTL_TANDREL_SMPTE12M_OUTPUT_PREPARE_TO_STREAM, "IOCTL_TANDREL_SMPTE12M_OUTPUT_PREPARE_TO_STREAM", TANDREL_CLASS_OUTPUT, true, 0, 0},
    {IOCTL_TANDREL_LTC_GENERATOR_GET_GAIN, "IOCTL_TANDREL_LTC_GENERATOR_GET_GAIN", 0, false, 0, 0},
    {IOCTL_TANDREL_LTC_GENERATOR_CONTROL, "IOCTL_TANDREL_LTC_GENERATOR_CONTROL", 0, false, 0, 0},
    {IOCTL_TANDREL_VITC_GET_LINES, "IOCTL_TANDREL_VITC_GET_LINES", 0, false, 0, 0},
    {IOCTL_TANDREL_VITC_CONTROL, "IOCTL_TANDREL_VITC_CONTROL", 0, false, 0, 0},
    {IOCTL_TANDREL_BURNIN_SHOW_HIDE, "IOCTL_TANDREL_BURNIN_SHOW_HIDE", 0, false, 0, 0},
    {IOCTL_TANDREL_BURNIN_GET_CONFIGURATION, "IOCTL_TANDREL_BURNIN_GET_CONFIGURATION", 0, false, 0, 0},
    {IOCTL_TANDREL_BURNIN_SET_CONFIGURATION, "IOCTL_TANDREL_BURNIN_SET_CONFIGURATION", 0, false, 0, 0},
    {IOCTL_TANDREL_MASTER_CLOCK_QUERY, "IOCTL_TANDREL_MASTER_CLOCK_QUERY", TANDREL_CLASS_MASTER_CLOCK, false, 0, 8},
    {IOCTL_TANDREL_MASTER_CLOCK_GET_QUEUED_EVENT, "IOCTL_TANDREL_MASTER_CLOCK_GET_QUEUED_EVENT", TANDREL_CLASS_MASTER_CLOCK, true, 0, 32},
};
inline constexpr size_t TandrelIoctlCount = sizeof(TandrelIoctlTable) / sizeof(TandrelIoctlTable[0]);

constexpr const TANDREL_IOCTL_ROUTE* TandrelFindIoctl(uint32_t code)
{
    for (const TANDREL_IOCTL_ROUTE& r : TandrelIoctlTable)
        if (r.Code == code) return &r;
    return nullptr;
}

// How many codes a class serves: the rows of its control table.
constexpr uint32_t TandrelClassRows(uint8_t cls)
{
    uint32_t n = 0;
    for (const TANDREL_IOCTL_ROUTE& r : TandrelIoctlTable) n += (r.Classes & cls) != 0;
    return n;
}
static_assert(TandrelClassRows(TANDREL_CLASS_FIELD_COUNT) == 14);
static_assert(TandrelClassRows(TANDREL_CLASS_MASTER_CLOCK) == 17);
static_assert(TandrelClassRows(TANDREL_CLASS_INPUT) == 22);
static_assert(TandrelClassRows(TANDREL_CLASS_OUTPUT) == 21);

// ---------------------------------------------------------------------------
// Samples
// ---------------------------------------------------------------------------

// Flag bits of a sample.
inline constexpr uint32_t TANDREL_FLAG_RATE_MASK = 0xFF;
inline constexpr uint32_t TANDREL_FLAG_VIDEO = 1u << 8;          // the field mark is meaningful
inline constexpr uint32_t TANDREL_FLAG_FIELD2 = 1u << 16;        // second field of the frame
inline constexpr uint32_t TANDREL_FLAG_DROP_FRAME = 1u << 17;
inline constexpr uint32_t TANDREL_FLAG_COLOUR_FRAME = 1u << 18;
inline constexpr uint32_t TANDREL_FLAG_BGF0 = 1u << 20;
inline constexpr uint32_t TANDREL_FLAG_BGF1 = 1u << 21;
inline constexpr uint32_t TANDREL_FLAG_BGF2 = 1u << 22;
inline constexpr uint32_t TANDREL_FLAG_INVALID = 1u << 24;       // no valid time code
inline constexpr uint32_t TANDREL_FLAG_CLAMPED = 1u << 26;       // a digit was out of range
inline constexpr uint32_t TANDREL_FLAG_NONEXISTENT = 1u << 27;   // a drop-frame label that is skipped
inline constexpr uint32_t TANDREL_FLAG_VALIDITY = 0x0F000000;    // bits 24-27
inline constexpr uint32_t TANDREL_FLAG_BINARY_GROUPS = TANDREL_FLAG_BGF0 | TANDREL_FLAG_BGF1 | TANDREL_FLAG_BGF2;
// Bits a caller may give in a sample to start from.
inline constexpr uint32_t TANDREL_FLAG_CALLER_BITS = 0x00770000;

struct TANDREL_SAMPLE {
    int32_t Frame;        // frames since midnight
    uint32_t UserBits;    // nibble n: binary group n + 1
    uint32_t Flags;       // TANDREL_FLAG_*
};
static_assert(sizeof(TANDREL_SAMPLE) == 12);

struct TANDREL_REFERENCED_SAMPLE {
    TANDREL_SAMPLE Sample;
    uint32_t ReferenceField;      // the board's field at which the sample holds
    int32_t RunningFieldCount;    // fields since the stream started, -1 stopped
};
static_assert(sizeof(TANDREL_REFERENCED_SAMPLE) == 20);

struct TANDREL_TIMESTAMPED_SAMPLE {
    TANDREL_REFERENCED_SAMPLE Referenced;
    uint64_t Time;                // of the reference field on the master clock
};
static_assert(sizeof(TANDREL_TIMESTAMPED_SAMPLE) == 28);

struct TANDREL_INPUT_STATE {
    uint32_t Notice;
    uint32_t JamPhase;
    uint32_t ReaderState;
    TANDREL_SAMPLE Delivered;
    TANDREL_SAMPLE Read;
    uint32_t ReferenceField;
    int32_t RunningFieldCount;
    uint64_t Time;
};
static_assert(sizeof(TANDREL_INPUT_STATE) == 52);
static_assert(offsetof(TANDREL_INPUT_STATE, Read) == 24 && offsetof(TANDREL_INPUT_STATE, Time) == 44);

struct TANDREL_OUTPUT_STATE {
    uint32_t Notice;
    uint32_t Mode;                // 0 generate, 1 track, 2 stream
    uint32_t Freeze;
    uint32_t Running;
    TANDREL_SAMPLE Sample;
    uint32_t ReferenceField;
    int32_t RunningFieldCount;
    uint64_t Time;
};
static_assert(sizeof(TANDREL_OUTPUT_STATE) == 44);

struct TANDREL_CLOCK_STATE {
    uint32_t Notice;
    uint32_t State;               // 1 running, 0 stopped
    uint32_t Frames;              // counted since start
    uint32_t Flags;               // rate in bits 0-7, bit 16 second field
    uint32_t ReferenceField;
    int32_t RunningFieldCount;
    uint64_t Time;
};
static_assert(sizeof(TANDREL_CLOCK_STATE) == 32);

struct TANDREL_DEVICE_INFO {
    uint8_t Rate;
    uint8_t Video;                // bit 0: tied to video fields
    uint8_t Mark[2];
};
static_assert(sizeof(TANDREL_DEVICE_INFO) == 4);

struct TANDREL_CONFIGURATION {
    uint32_t Rate;
    uint32_t Vitc;                // 1 VITC and burn-in, 0 LTC
};
static_assert(sizeof(TANDREL_CONFIGURATION) == 8);

// ---------------------------------------------------------------------------
// Events, start and stop
// ---------------------------------------------------------------------------

enum TANDREL_EVENT_KIND : uint32_t {
    TANDREL_EVENT_ON_STOP = 0,
    TANDREL_EVENT_ON_START = 1,
    TANDREL_EVENT_ON_FRAME = 2,
    TANDREL_EVENT_ON_COMMAND_BIT0 = 3,
    TANDREL_EVENT_ON_COMMAND_BIT2 = 4,
    TANDREL_EVENT_ON_COMMAND_BIT1 = 5,
};
inline constexpr uint32_t TANDREL_EVENT_KINDS = 6;

struct TANDREL_EVENT_REQUEST {
    uint32_t Kind;
    uint32_t Event;               // handle
    uint32_t Lead;                // fields before the moment
    uint32_t Frame;               // kind 2: the frame count to fire at
};
static_assert(sizeof(TANDREL_EVENT_REQUEST) == 16);

struct TANDREL_EVENT_CANCEL {
    uint32_t Kind;
    uint32_t Event;
};
static_assert(sizeof(TANDREL_EVENT_CANCEL) == 8);

struct TANDREL_SYNC_REQUEST {
    uint32_t Which;               // 1 start, 0 stop
    uint32_t Device;              // handle of a Tandrel device
    uint32_t Kind;                // event kind on that device (2 on this one)
    uint32_t Frame;
};
static_assert(sizeof(TANDREL_SYNC_REQUEST) == 16);

struct TANDREL_PERIODIC_EVENT {
    uint32_t Event;
    uint16_t Period;              // fields, not 0
    uint16_t Phase;               // below the period
};
static_assert(sizeof(TANDREL_PERIODIC_EVENT) == 8);

// Change bits of a poll trigger.
inline constexpr uint32_t TANDREL_CHANGE_FRAME = 0x01;
inline constexpr uint32_t TANDREL_CHANGE_FIELD = 0x02;
inline constexpr uint32_t TANDREL_CHANGE_USER_BITS = 0x04;
inline constexpr uint32_t TANDREL_CHANGE_VALIDITY = 0x08;
inline constexpr uint32_t TANDREL_CHANGE_FLAGS = 0x10;
inline constexpr uint32_t TANDREL_CHANGE_MODE = 0x20;
inline constexpr uint32_t TANDREL_CHANGE_STATE = 0x40;

struct TANDREL_POLL_TRIGGER {
    uint32_t Event;
    uint32_t Mask;
};
static_assert(sizeof(TANDREL_POLL_TRIGGER) == 8);

// ---------------------------------------------------------------------------
// Class records
// ---------------------------------------------------------------------------

// Field counter override flags.
inline constexpr uint32_t TANDREL_OVERRIDE_SAMPLE = 0x1;
inline constexpr uint32_t TANDREL_OVERRIDE_HOLD_CURRENT = 0x2;
inline constexpr uint32_t TANDREL_OVERRIDE_MODE = 0x10;
inline constexpr uint32_t TANDREL_OVERRIDE_NUMERATOR = 0x100;
inline constexpr uint32_t TANDREL_OVERRIDE_OFFSET = 0x200;
inline constexpr uint32_t TANDREL_OVERRIDE_DENOMINATOR = 0x400;
inline constexpr uint32_t TANDREL_OVERRIDE_LIMITED = 0x1000;

struct TANDREL_OVERRIDE {
    uint32_t Flags;
    TANDREL_SAMPLE Sample;
    uint32_t Mode;                // 1 hold, 2 hold with parity, 3 scaled, 4 free-run
    int32_t Numerator;
    int32_t Offset;
    int32_t Denominator;
};
static_assert(sizeof(TANDREL_OVERRIDE) == 32);

struct TANDREL_HINT {
    TANDREL_SAMPLE Sample;
    int32_t FieldOffset;
    uint32_t Mode;                // 0 none, 1 hold, 2 hold with parity, 3 scaled, 4 one field per field
    int32_t Numerator;
    int32_t Offset;
    int32_t Denominator;
};
static_assert(sizeof(TANDREL_HINT) == 32);

struct TANDREL_DECK_MAP {
    uint32_t Block;               // user address of the deck block
    uint32_t Length;              // at least TANDREL_DECK_BLOCK_MIN
};
static_assert(sizeof(TANDREL_DECK_MAP) == 8);

// The deck block shared with a user-mode deck emulator (byte offsets).
inline constexpr uint32_t TANDREL_DECK_BLOCK_MIN = 323;
inline constexpr uint32_t TANDREL_DECK_SIZE = 0;
inline constexpr uint32_t TANDREL_DECK_MARKS = 10;      // the driver ORs 0x30 in
inline constexpr uint32_t TANDREL_DECK_MAPPED = 155;
inline constexpr uint32_t TANDREL_DECK_RATE = 175;
inline constexpr uint32_t TANDREL_DECK_FRAME = 195;
inline constexpr uint32_t TANDREL_DECK_USER_BITS = 199;
inline constexpr uint32_t TANDREL_DECK_FLAGS = 203;
inline constexpr uint32_t TANDREL_DECK_COMMAND = 207;

struct TANDREL_COMMAND_SAMPLE {
    TANDREL_SAMPLE Sample;
    uint32_t Field;
    uint32_t Count;
};
static_assert(sizeof(TANDREL_COMMAND_SAMPLE) == 20);

struct TANDREL_TRACK_REQUEST {
    uint32_t Device;              // handle of a reader or field counter of this driver
    int32_t Offset;               // frames added to the tracked value
};
static_assert(sizeof(TANDREL_TRACK_REQUEST) == 8);

struct TANDREL_JAM_REQUEST {
    uint32_t Mode;                // 0 off, 1 spot jam, 2 jam and rejam
    uint32_t Threshold;           // fields; optional
};
static_assert(sizeof(TANDREL_JAM_REQUEST) == 8);

// ---------------------------------------------------------------------------
// Notice codes
// ---------------------------------------------------------------------------

// Master clock (raw).
inline constexpr uint32_t TANDREL_CLOCK_STARTED = 1;
inline constexpr uint32_t TANDREL_CLOCK_STOPPED = 3;
inline constexpr uint32_t TANDREL_CLOCK_WRAPPED = 5;
inline constexpr uint32_t TANDREL_CLOCK_DISCONTINUITY = 6;
inline constexpr uint32_t TANDREL_CLOCK_OVERFLOW = 7;
inline constexpr uint32_t TANDREL_CLOCK_RATE_CHANGED = 8;
// Readers.
inline constexpr uint32_t TANDREL_INPUT_STARTED = 17;
inline constexpr uint32_t TANDREL_INPUT_STOPPED = 19;
inline constexpr uint32_t TANDREL_INPUT_DISCONTINUITY = 21;
inline constexpr uint32_t TANDREL_INPUT_JAM_MIDNIGHT = 22;
inline constexpr uint32_t TANDREL_INPUT_CAPTURE_OVERFLOW = 23;
inline constexpr uint32_t TANDREL_INPUT_OVERFLOW = 24;
inline constexpr uint32_t TANDREL_INPUT_RATE_CHANGED = 25;
// Generators.
inline constexpr uint32_t TANDREL_OUTPUT_FREEZE_OFF = 1;
inline constexpr uint32_t TANDREL_OUTPUT_FREEZE_ON = 2;
inline constexpr uint32_t TANDREL_OUTPUT_STARTED = 3;
inline constexpr uint32_t TANDREL_OUTPUT_STOPPED = 5;
inline constexpr uint32_t TANDREL_OUTPUT_MODE_GENERATE = 7;
inline constexpr uint32_t TANDREL_OUTPUT_MODE_TRACK = 8;
inline constexpr uint32_t TANDREL_OUTPUT_MODE_STREAM = 9;
inline constexpr uint32_t TANDREL_OUTPUT_SOURCE_INVALID = 10;
inline constexpr uint32_t TANDREL_OUTPUT_CORRECTED = 11;
inline constexpr uint32_t TANDREL_OUTPUT_STREAM_EMPTY = 12;
inline constexpr uint32_t TANDREL_OUTPUT_DISCONTINUITY = 13;
inline constexpr uint32_t TANDREL_OUTPUT_OVERFLOW = 14;
inline constexpr uint32_t TANDREL_OUTPUT_RATE_CHANGED = 15;

// Named events of a device: "\BaseNamedObjects\Zar0<stream>" + these.
inline constexpr const char16_t* TANDREL_START_EVENT_SUFFIX = u".StartEvent";
inline constexpr const char16_t* TANDREL_STOP_EVENT_SUFFIX = u".StopEvent";
inline constexpr const char16_t* TANDREL_PROXY_NAME = u"SMPTE12MReaderProxy";

// ---------------------------------------------------------------------------
// SMPTE 12M counting (shared by the driver and the library)
// ---------------------------------------------------------------------------

constexpr bool TandrelRateValid(uint32_t rate) { return rate == 24 || rate == 25 || rate == 29 || rate == 30; }

// Frames a day for a sample's flags (rate code and drop-frame bit); 0 for a
// rate that is not valid.
constexpr int32_t TandrelFramesPerDay(uint32_t flags)
{
    switch (flags & TANDREL_FLAG_RATE_MASK) {
    case 24: return 2073600;
    case 25: return 2160000;
    case 29: return (flags & TANDREL_FLAG_DROP_FRAME) ? 2589408 : 2592000;
    case 30: return 2592000;
    }
    return 0;
}
