// The control codes of the machine-host tests' driver (device "\\.\HostTest"):
// each echo request returns its 64 input bytes reversed (in-direct: it
// checks the second buffer in place and returns it as it is); PEND holds the
// request until the test completes it with a value, or it is cancelled.
#pragma once

#include "platform/nt/nt_user.h"

constexpr ULONG IOCTL_HT_ECHO_BUFFERED = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_HT_ECHO_IN_DIRECT = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_IN_DIRECT, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_HT_ECHO_OUT_DIRECT = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_HT_ECHO_NEITHER = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x903, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_HT_PEND = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x904, METHOD_BUFFERED, FILE_ANY_ACCESS);
