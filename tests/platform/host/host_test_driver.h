// The control codes of the machine-host tests' driver (device "\\.\HostTest"):
// each echo request returns its 64 input bytes reversed (in-direct: it
// checks the second buffer in place and returns it as it is); PEND holds the
// request until the test completes it with a value, or it is cancelled;
// HOLD_OUT_DIRECT holds an out-direct request whose locked buffer the test
// writes into from a DPC before it completes the request; POKE takes the
// address of a word in its input (a neither request) and writes 0x600D
// there after probing it, as a driver handed a ring by address does (the
// address HT_POKE_OWN_STACK names a word on the stack of the thread that
// runs the request, as a client that learnt where it lies would); DMA holds
// an out-direct request for the test's transfer engine, which fills its
// locked buffer, as a board's DMA does, and then completes it; HOLD_RING
// takes a record {ring address, length} (a ring larger than one MDL can
// describe, as the export engine's), locks the ring in pieces and holds the
// request while the test writes into the ring's ends from a DPC.
#pragma once

#include "platform/nt/nt_user.h"

constexpr ULONG IOCTL_HT_ECHO_BUFFERED = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_HT_ECHO_IN_DIRECT = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_IN_DIRECT, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_HT_ECHO_OUT_DIRECT = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_HT_ECHO_NEITHER = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x903, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_HT_PEND = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x904, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_HT_HOLD_OUT_DIRECT = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x905, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_HT_POKE = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x906, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_HT_DMA = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x907, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
constexpr ULONG_PTR HT_POKE_OWN_STACK = 1;
constexpr ULONG IOCTL_HT_HOLD_RING = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x908, METHOD_BUFFERED, FILE_ANY_ACCESS);
