// ZARIOKD, the digital-I/O option driver, as a stand-in: the board driver
// and the library rely only on its device names, the status it answers and
// the 12-byte reply of code 0x22211C.
//
// The option is absent from a machine until its service key exists: a
// machine "has the option" when ZarIoKdInstall wrote the key (the next boot
// loads it with Start 0..2, or IoLoadDriver(u"ZARIOKD") loads it at once).
#pragma once

#include "platform/nt/kernel.h"

inline constexpr ULONG ZARIO_MAX_BOARDS = 10;

// The one code the board driver sends (the HDCAM 24 fps switch): 12 bytes
// in, 12 bytes out.
inline constexpr ULONG IOCTL_ZARIO_SET_24FPS = 0x22211C;

// Reply of IOCTL_ZARIO_SET_24FPS. The real option's record is not known to
// the system beyond its size; the stand-in fills it so a caller that keeps
// it has something recognisable:
struct ZARIO_24FPS_REPLY {
    ULONG Revision;      // the option's revision, 0x00010000 (1.0)
    ULONG Mode;          // the first input dword, taken as the mode now in force
    ULONG Board;         // the board number the option device belongs to
};
static_assert(sizeof(ZARIO_24FPS_REPLY) == 12);
inline constexpr ULONG ZARIO_REVISION = 0x00010000;

// Writes the option's service key (Type 1, the given Start, ImagePath
// System32\drivers\ZARIOKD.sys) into the running machine's registry.
NTSTATUS ZarIoKdInstall(ULONG start = 1);
