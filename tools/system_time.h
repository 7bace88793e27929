// System times as the front prints them.
#pragma once

#include <cstdint>
#include <string>

// A system time (100 ns units since 1601-01-01 UTC) as
// "YYYY-MM-DD hh:mm:ss.mmm UTC"; a time before 1970 or past what the host
// calendar holds (a damaged record) as "(invalid time <value>)".
std::string FormatSystemTime(int64_t systemTime);
