// What the multimedia layer's files share: the drivers loaded from the
// registry's list, their devices by class, and the handles handed out.
#pragma once

#include <vector>

#include "mmddk.h"

namespace mm {

// One loaded driver library.
struct Driver {
    HMODULE module = nullptr;
    DRIVERPROC proc = nullptr;
    DWORD_PTR id = 0;  // DRV_OPEN's answer
    DRIVERMESSAGEPROC entry[3] = {};
};

enum Class { kWaveOut = 0, kWaveIn = 1, kMixer = 2 };

// A device of a class: its driver and its number inside the driver.
struct Device {
    Driver* driver;
    UINT local;
};

// An open device, the value behind HWAVEOUT, HWAVEIN and HMIXER.
struct Handle {
    DWORD magic;
    Class kind;
    Device device;
    UINT id;              // the class-wide device number
    DWORD_PTR driverUser; // what the driver's open left for its later messages
};

// The class's devices, the list loaded on first use.
const std::vector<Device>& Devices(Class c);
// The handle behind a value, or null when it is none of this class.
Handle* Find(const void* h, Class c);
Handle* NewHandle(Class c, const Device& d, UINT id);
void FreeHandle(Handle* h);
DWORD Message(const Device& d, Class c, UINT msg, DWORD_PTR user, DWORD_PTR p1, DWORD_PTR p2);

// UTF-16 name of at most 'count' characters into ANSI.
void Narrow(const WCHAR* from, CHAR* to, int count);

}  // namespace mm
