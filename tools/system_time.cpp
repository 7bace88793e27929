#include "system_time.h"

#include <cstdio>
#include <ctime>
#include <limits>

std::string FormatSystemTime(int64_t systemTime)
{
    constexpr int64_t kUnixEpoch = 116444736000000000LL;
    const std::string invalid = "(invalid time " + std::to_string(systemTime) + ")";
    // Compared before subtracting: a time far below the epoch would overflow.
    if (systemTime < kUnixEpoch) return invalid;
    const int64_t sinceUnix = systemTime - kUnixEpoch;
    const int64_t wholeSeconds = sinceUnix / 10000000;
    if (wholeSeconds > std::numeric_limits<std::time_t>::max()) return invalid;
    const std::time_t seconds = static_cast<std::time_t>(wholeSeconds);
    std::tm utc{};
    char text[64];
    if (!gmtime_r(&seconds, &utc) || !std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc)) return invalid;
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03d", static_cast<int>(sinceUnix / 10000 % 1000));
    return std::string(text) + fraction + " UTC";
}
