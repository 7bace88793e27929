#include "trace.h"

#include <cstdarg>
#include <cstdio>

namespace sim {

void Trace::operator()(const char* format, ...) const
{
    if (!enabled_) return;
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::string line = unit_ + ": " + text;
    if (sink_) sink_(line);
    else std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace sim
