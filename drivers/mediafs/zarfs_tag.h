// Pool and look-aside tags of ZARFSKD, written as they read in a pool dump.
#pragma once

#include "platform/nt/kernel.h"

constexpr ULONG ZarFsTag(const char (&t)[5])
{
    return ULONG(UCHAR(t[0])) | ULONG(UCHAR(t[1])) << 8 | ULONG(UCHAR(t[2])) << 16 | ULONG(UCHAR(t[3])) << 24;
}
