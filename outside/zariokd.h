// ZARIOKD, the digital-I/O option driver, as a stand-in. Its codes and
// records are include/zario.h.
//
// The option is absent from a machine until its service key exists: a
// machine "has the option" when ZarIoKdInstall wrote the key (the next boot
// loads it with Start 0..2, or IoLoadDriver(u"ZARIOKD") loads it at once).
#pragma once

#include "include/zario.h"
#include "platform/nt/kernel.h"

inline constexpr ULONG ZARIO_MAX_BOARDS = 10;

// Writes the option's service key (Type 1, the given Start, ImagePath
// System32\drivers\ZARIOKD.sys) into the running machine's registry.
NTSTATUS ZarIoKdInstall(ULONG start = 1);
