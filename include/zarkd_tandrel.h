// The board driver's time-code streams as the time-code driver binds to
// them through internal device control: the stream types, the stream
// record and the connect record, and the per-field callback.
#pragma once

#include <cstdint>

enum TANDREL_STREAM_TYPE : uint32_t {
    TANDREL_STREAM_MASTER_CLOCK = 1,
    TANDREL_STREAM_FIELD_COUNTER = 2,
    TANDREL_STREAM_LTC_READER = 3,
    TANDREL_STREAM_LTC_GENERATOR = 4,
    TANDREL_STREAM_VITC_READER = 5,
    TANDREL_STREAM_VITC_GENERATOR = 6,
    TANDREL_STREAM_BURN_IN = 7,
};

inline constexpr uint32_t TANDREL_STREAM_COUNT = 8;

// Called at dispatch level once a field: an input post passes (record,
// size, 0), an output fetch (buffer, 0, 12). A result of 0 from the master
// clock's callback ends the field's exchange.
using PTANDREL_STREAM_CALLBACK = uint32_t (*)(void* context, uint32_t field, void* data, uint32_t inputSize,
                                              uint32_t outputSize);

struct TANDREL_STREAM_INFO {
    uint32_t Index;
    uint32_t Type;                 // TANDREL_STREAM_TYPE
    uint32_t FieldRate;            // 25, 29 or 24
    const char16_t* Name;          // stays valid while the board driver is loaded
    int32_t Delay;                 // fields added to the master count when the stream posts or fetches
};
static_assert(sizeof(TANDREL_STREAM_INFO) == 20);

struct TANDREL_STREAM_CONNECT {
    uint32_t Index;
    PTANDREL_STREAM_CALLBACK Callback;
    void* Context;
};
static_assert(sizeof(TANDREL_STREAM_CONNECT) == 12);

// The 12-byte record readers post and generators fetch: the eight LTC-order
// bytes (frame units first, a user-bit group in each high nibble) and a
// status word (low byte the rate; bit 24 no valid code).
struct TANDREL_TIMECODE_RECORD {
    uint8_t Bytes[8];
    uint32_t Status;
};
static_assert(sizeof(TANDREL_TIMECODE_RECORD) == 12);

inline constexpr uint32_t TANDREL_STATUS_NO_CODE = 1u << 24;
inline constexpr uint32_t TANDREL_STATUS_DROP_FRAME = 1u << 17;

// The burn-in configuration (get and set through the burn-in stream).
struct TANDREL_BURNIN_ELEMENT {
    uint32_t Style;                // 2, 3, 4 or other
    uint32_t Content;              // 0 time code, 1 user bits, 2 fixed text, 3 frame number
    uint32_t BlinkPeriod;          // fields; 0 steady
    uint32_t Indicator;            // 0 follows the status, 1 off, 2 on
    uint32_t Changed;
    uint32_t LeadingZeros;         // 0 none, 1 underscore, 2 blank
    uint32_t LeadingDigits;        // how many may be replaced
    char Text[8];
};
static_assert(sizeof(TANDREL_BURNIN_ELEMENT) == 36);

struct TANDREL_BURNIN_CONFIGURATION {
    uint32_t Line;                 // 0..100
    uint32_t Column;               // 0..100
    uint32_t CellHeight;           // as stored: 15 (large) or 8
    uint32_t CellWidth;            // 60 (large) or 25
    uint32_t Unused;
    TANDREL_BURNIN_ELEMENT Element[3];  // A: valid code, B: no code, C: other conditions
};
static_assert(sizeof(TANDREL_BURNIN_CONFIGURATION) == 128);
