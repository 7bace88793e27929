// The mixer across processes: two client processes of a machine host load
// the wave driver through WinMM; a change one makes reaches the other's
// callback, and the other reads the new level from the shared block.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "mmddk.h"
#include "outside/fpga_images.h"
#include "platform/host/embedded_machine.h"
#include "platform/host/host_server.h"
#include "sim/pci_layouts.h"
#include "tests/platform/host/child_process.h"

namespace {

std::string folder;
sim::BuiltTopology hardware;

class WaveHostEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        folder = (std::filesystem::temp_directory_path() / ("zarwav-host-test-" + std::to_string(getpid()))).string();
        std::filesystem::remove_all(folder);
        std::string why;
        ASSERT_TRUE(fpgaimages::InstallImageFiles(std::filesystem::path(folder) / "drives/C/WINNT/system32/drivers", 0,
                                                  &why))
            << why;
        hardware = sim::BuildTopology(sim::BoardsLayout(1));
        embedded::MachineOptions options;
        options.folder = folder;
        options.pci = hardware.topology;
        options.virtualClock = false;  // clients wait in real time
        options.drivers = {"ZARKD", "ZARWAV"};
        ASSERT_TRUE(embedded::BootMachine(options, &why)) << why;
        booted_ = true;
        // The board set up, as the media drive's driver would at its start.
        HANDLE board = CreateFileA("\\\\.\\KIVZAR0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(board, INVALID_HANDLE_VALUE);
        ULONG flex[4] = {0, 0, 0, 0};
        DWORD bytes = 0;
        ASSERT_TRUE(DeviceIoControl(board, 0x22202C, flex, sizeof flex, flex, sizeof flex, &bytes, nullptr));
        ASSERT_TRUE(DeviceIoControl(board, 0x2220C4, nullptr, 0, nullptr, 0, &bytes, nullptr));
        CloseHandle(board);
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kMmDriversKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExA(key, "mixer", 0, REG_SZ, reinterpret_cast<const BYTE*>("ZARWAV.dll"), 11);
        RegCloseKey(key);
        ::setenv("ZAR_DLL_PATH", ZARWAV_LIBRARY_DIR, 1);
        ASSERT_TRUE(host::StartServer(folder, &why)) << why;
    }
    void TearDown() override
    {
        host::StopServer();
        if (booted_) embedded::ShutdownMachine();
        std::filesystem::remove_all(folder);
    }

private:
    bool booted_ = false;
};
const bool registered = (::testing::AddGlobalTestEnvironment(new WaveHostEnvironment), true);

TEST(ZarWavProcesses, AChangeInOneProcessReachesAHandleOpenInAnother)
{
    hosttest::Child listener(ZARWAV_CLIENT_PATH, {"listen"}, folder);
    ASSERT_TRUE(listener.Started());
    ASSERT_EQ(listener.Line(120000), "listening");
    hosttest::Child setter(ZARWAV_CLIENT_PATH, {"set"}, folder);
    ASSERT_TRUE(setter.Started());
    EXPECT_EQ(setter.Line(120000), "set");
    EXPECT_EQ(setter.Wait(120000), 0);
    // Control 8, the CD volume; its left level 0x60 as the other process set it.
    EXPECT_EQ(listener.Line(120000), "heard 8 " + std::to_string(0x60 * 257));
    EXPECT_EQ(listener.Wait(120000), 0);
}

}  // namespace
