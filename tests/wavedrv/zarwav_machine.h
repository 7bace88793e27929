// A machine for the wave driver's tests: one board with its FPGAs running
// (unless a test wants a board that does not answer), the kernel wave
// service's stand-in loaded, optionally the digital I/O option, and the
// machine's multimedia driver list naming ZARWAV.dll, which WinMM then
// loads from the build's library folder as a program's first call would.
#pragma once

#include <cstdlib>

#include "mmddk.h"
#include "outside/zariokd.h"
#include "outside/zarwav.h"
#include "tests/drivers/board/zarkd_ioctl_machine.h"

class ZarWavMachine : public ZarkdIoctlMachine {
protected:
    virtual bool BoardAnswers() const { return true; }
    virtual bool DigitalOption() const { return false; }

    void SetUp() override
    {
        ZarkdIoctlMachine::SetUp();
        if (HasFatalFailure()) return;
        if (BoardAnswers()) {
            ULONG io[4] = {0, 0, 0, 0};
            ASSERT_EQ(Send(IOCTL_ZAR_FLEX_DOWNLOAD, io, sizeof io, io, sizeof io).status, STATUS_SUCCESS);
            ASSERT_EQ(Send(IOCTL_ZAR_POST_FPGA_INIT, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
        }
        if (DigitalOption()) {
            ASSERT_EQ(ZarIoKdInstall(3), STATUS_SUCCESS);
            ASSERT_EQ(LoadDriver(u"ZARIOKD"), STATUS_SUCCESS);
        }
        ASSERT_EQ(ZarWavInstall(3), STATUS_SUCCESS);
        ASSERT_EQ(LoadDriver(u"ZARWAV"), STATUS_SUCCESS);
        ::setenv("ZAR_DLL_PATH", ZARWAV_LIBRARY_DIR, 1);
        ListDriver("ZARWAV.dll");
        mmReloadDrivers();
    }

    void TearDown() override
    {
        mmReloadDrivers();  // the library detaches while its machine still runs
        ZarkdIoctlMachine::TearDown();
    }

    static void ListDriver(const char* library)
    {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kMmDriversKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        for (const char* value : {"wave", "mixer"})
            RegSetValueExA(key, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(library), DWORD(std::strlen(library) + 1));
        RegCloseKey(key);
    }
};
