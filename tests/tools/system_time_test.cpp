// The event log's times as the front prints them: a damaged record's time
// must print as invalid, never as a made-up date or through an overflow.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "tools/system_time.h"

namespace {

TEST(FormatSystemTime, PrintsValidTimesAndCallsTheRestInvalid)
{
    constexpr int64_t kUnixEpoch = 116444736000000000LL;
    const struct {
        int64_t time;
        const char* text;
    } cases[] = {
        {kUnixEpoch, "1970-01-01 00:00:00.000 UTC"},
        {125911584000000000LL + 12345678, "2000-01-01 00:00:01.234 UTC"},
        {kUnixEpoch - 1, "(invalid time 116444735999999999)"},
        {0, "(invalid time 0)"},
        {std::numeric_limits<int64_t>::min(), "(invalid time -9223372036854775808)"},
        {std::numeric_limits<int64_t>::max(), "(invalid time 9223372036854775807)"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatSystemTime(c.time), c.text) << c.time;
}

}  // namespace
