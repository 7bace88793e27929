// The installable drivers' side of the multimedia layer: the messages a
// driver's DriverProc and its wodMessage/widMessage/mxdMessage entries
// receive, the records WinMM hands them at open, and the calls a driver
// makes back (DefDriverProc, DriverCallback, mmTaskCreate). Also the calls
// an installer uses to reach a driver (OpenDriver, SendDriverMessage).
//
// WinMM finds its drivers in the machine's registry, under
// HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Drivers32: values "wave",
// "wave1"..., "mixer", "mixer1"... naming a library ("ZARWAV.dll"), loaded
// with LoadLibrary the first time a program asks for devices.
#pragma once

#include "mmsystem.h"

inline constexpr const char* kMmDriversKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";

using DRIVERPROC = LRESULT (*)(DWORD_PTR dwDriverId, HDRVR hdrvr, UINT msg, LPARAM lParam1, LPARAM lParam2);
// wodMessage, widMessage, mxdMessage.
using DRIVERMESSAGEPROC = DWORD (*)(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1,
                                    DWORD_PTR dwParam2);

// DriverProc messages.
enum : UINT {
    DRV_LOAD = 0x0001,
    DRV_ENABLE = 0x0002,
    DRV_OPEN = 0x0003,
    DRV_CLOSE = 0x0004,
    DRV_DISABLE = 0x0005,
    DRV_FREE = 0x0006,
    DRV_CONFIGURE = 0x0007,
    DRV_QUERYCONFIGURE = 0x0008,
    DRV_INSTALL = 0x0009,
    DRV_REMOVE = 0x000A,
    DRV_PNPINSTALL = 0x080B,
    DRV_RESERVED = 0x0800,
    DRV_USER = 0x4000,
};
// Answers of DRV_CONFIGURE and DRV_INSTALL.
enum : LRESULT { DRVCNF_CANCEL = 0, DRVCNF_OK = 1, DRVCNF_RESTART = 2 };

// DRV_CONFIGURE's lParam2 and DRV_INSTALL's: the driver's registry names.
struct DRVCONFIGINFO {
    DWORD dwDCISize;
    LPCWSTR lpszDCISectionName;
    LPCWSTR lpszDCIAliasName;
};
static_assert(sizeof(DRVCONFIGINFO) == 12);

// The message entries' messages.
enum : UINT {
    DRVM_INIT = 100,
    DRVM_EXIT = 101,
    WODM_GETNUMDEVS = 3,
    WODM_GETDEVCAPS = 4,
    WODM_OPEN = 5,
    WODM_CLOSE = 6,
    WODM_PREPARE = 7,
    WODM_UNPREPARE = 8,
    WODM_WRITE = 9,
    WODM_PAUSE = 10,
    WODM_RESTART = 11,
    WODM_RESET = 12,
    WODM_GETPOS = 13,
    WODM_GETPITCH = 14,
    WODM_SETPITCH = 15,
    WODM_GETVOLUME = 16,
    WODM_SETVOLUME = 17,
    WODM_GETPLAYBACKRATE = 18,
    WODM_SETPLAYBACKRATE = 19,
    WODM_BREAKLOOP = 20,
    WIDM_GETNUMDEVS = 50,
    WIDM_GETDEVCAPS = 51,
    WIDM_OPEN = 52,
    WIDM_CLOSE = 53,
    WIDM_PREPARE = 54,
    WIDM_UNPREPARE = 55,
    WIDM_ADDBUFFER = 56,
    WIDM_START = 57,
    WIDM_STOP = 58,
    WIDM_RESET = 59,
    WIDM_GETPOS = 60,
    MXDM_GETNUMDEVS = 1,
    MXDM_GETDEVCAPS = 2,
    MXDM_OPEN = 3,
    MXDM_CLOSE = 4,
    MXDM_GETLINEINFO = 5,
    MXDM_GETLINECONTROLS = 6,
    MXDM_GETCONTROLDETAILS = 7,
    MXDM_SETCONTROLDETAILS = 8,
    MXDM_USER = DRV_USER,
};

// WODM_OPEN / WIDM_OPEN's dwParam1.
struct WAVEOPENDESC {
    HANDLE hWave;
    LPWAVEFORMATEX lpFormat;
    DWORD_PTR dwCallback;
    DWORD_PTR dwInstance;
    UINT uMappedDeviceID;
    DWORD_PTR dnDevNode;
};
static_assert(sizeof(WAVEOPENDESC) == 24);
// MXDM_OPEN's dwParam1.
struct MIXEROPENDESC {
    HMIXER hmx;
    LPVOID pReserved0;
    DWORD_PTR dwCallback;
    DWORD_PTR dwInstance;
    DWORD_PTR dnDevNode;
};
static_assert(sizeof(MIXEROPENDESC) == 20);

// DriverCallback's kinds: the high word of the open flags.
enum : DWORD {
    DCB_NULL = 0x0000,
    DCB_WINDOW = 0x0001,
    DCB_TASK = 0x0002,
    DCB_FUNCTION = 0x0003,
    DCB_EVENT = 0x0005,
    DCB_TYPEMASK = 0x0007,
};

LRESULT DefDriverProc(DWORD_PTR dwDriverIdentifier, HDRVR hdrvr, UINT uMsg, LPARAM lParam1, LPARAM lParam2);
// Tells the program: a function is called (hDevice, msg, instance, p1, p2),
// an event set, a window or a thread posted msg with (hDevice, p1). FALSE
// for no callback or a kind it does not know.
BOOL DriverCallback(DWORD_PTR dwCallback, DWORD dwFlags, HDRVR hDevice, DWORD dwMsg, DWORD_PTR dwUser,
                    DWORD_PTR dwParam1, DWORD_PTR dwParam2);
// A driver's task thread; 0 on success (the thread runs lpfn(dwInst)).
using LPTASKCALLBACK = void (*)(DWORD_PTR dwInst);
UINT mmTaskCreate(LPTASKCALLBACK lpfn, HANDLE* lph, DWORD_PTR dwInst);

// The installer's road to a driver: its library loaded, DRV_LOAD, DRV_ENABLE
// and DRV_OPEN sent; CloseDriver sends DRV_CLOSE (and, for the last one,
// DRV_DISABLE and DRV_FREE) and frees it. Null when the library does not load.
HDRVR OpenDriver(LPCWSTR szDriverName, LPCWSTR szSectionName, LPARAM lParam2);
LRESULT CloseDriver(HDRVR hDriver, LPARAM lParam1, LPARAM lParam2);
LRESULT SendDriverMessage(HDRVR hDriver, UINT message, LPARAM lParam1, LPARAM lParam2);
HMODULE GetDriverModuleHandle(HDRVR hDriver);

// Forgets the drivers loaded (they are freed) so the next call reads the
// registry's list again: what a program started afresh would see.
void mmReloadDrivers();
