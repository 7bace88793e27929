// Event-log messages of the time-code driver TANDRELKD (NT status style,
// facility 0xA): identifiers and texts, with %1, %2 the insertion strings.
#pragma once

#include <cstdint>

inline constexpr const char* TANDREL_EVENT_SOURCE = "TANDRELKD";

// A stream of the board runs at a rate the driver cannot count (24, 25, 29
// and 30 frames a second are counted): no device for it or the streams
// after it. Strings: the stream's name, its rate.
inline constexpr uint32_t TANDREL_MSG_STREAM_RATE_REFUSED = 0xC00A0001;

struct TANDREL_MESSAGE {
    uint32_t Id;
    const char* Text;
};
inline constexpr TANDREL_MESSAGE TandrelMessages[] = {
    {TANDREL_MSG_STREAM_RATE_REFUSED,
     "The time-code stream %1 of board 0 runs at %2 frames a second, which the time-code driver cannot count; "
     "it and the streams after it have no device."},
};
