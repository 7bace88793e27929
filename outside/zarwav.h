// Stand-in for the kernel wave service ZARWAV.sys, which the wave driver
// installs: it creates the wave devices of board 0 (\\.\ZarWaveMixer0,
// \\.\ZarWaveOut0 to 3, \\.\ZarWaveIn0) and hands every request on to the
// board device with the device word (kind x 256 + index; 1 wave-in, 2
// wave-out; the mixer speaks as wave-out 0).
#pragma once

#include "platform/nt/kernel.h"

// Writes the service key so the machine loads the stand-in at boot (start 1)
// or on demand (3).
NTSTATUS ZarWavInstall(ULONG start = 1);
