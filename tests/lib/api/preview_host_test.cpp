// The preview handed over between two client processes of a machine host
// with a simulated board: the second takes it over within two seconds of
// machine time, and the first, no longer its owner, cannot stop it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "outside/fpga_images.h"
#include "platform/host/embedded_machine.h"
#include "platform/host/host_server.h"
#include "platform/win32/win32.h"
#include "sim/pci_layouts.h"
#include "tests/platform/host/child_process.h"

namespace {

std::string folder;
sim::BuiltTopology hardware;

class HostEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        folder = (std::filesystem::temp_directory_path() / ("zardll-preview-" + std::to_string(getpid()))).string();
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        std::string why;
        ASSERT_TRUE(fpgaimages::InstallImageFiles(std::filesystem::path(folder) / "drives/C/WINNT/system32/drivers", 0,
                                                  &why))
            << why;
        hardware = sim::BuildTopology(sim::BoardsLayout(1));
        embedded::MachineOptions options;
        options.folder = folder;
        options.pci = hardware.topology;
        options.virtualClock = false;  // clients wait in real time
        options.drivers = {"ZARKD", "ZARFSKD"};
        ASSERT_TRUE(embedded::BootMachine(options, &why)) << why;
        ::setenv("ZAR_DLL_PATH", ZAR_LIBRARY_DIR, 1);  // the clients' COM finds the drawing object here
        HMODULE server = LoadLibraryA(ZAR_LIBRARY_DIR "/libddraw.so");
        ASSERT_NE(server, nullptr);
        auto registerServer = reinterpret_cast<int32_t (*)()>(
            reinterpret_cast<void (*)()>(GetProcAddress(server, "DllRegisterServer")));
        ASSERT_NE(registerServer, nullptr);
        ASSERT_EQ(registerServer(), 0);
        ASSERT_TRUE(host::StartServer(folder, &why)) << why;
    }
    void TearDown() override
    {
        host::StopServer();
        embedded::ShutdownMachine();
        std::filesystem::remove_all(folder);
    }
};
const bool registered = (::testing::AddGlobalTestEnvironment(new HostEnvironment), true);

TEST(PreviewHandOver, ASecondProcessTakesThePreviewOverAndTheFirstCannotStopIt)
{
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, "ZarPreviewTestRelease");
    ASSERT_NE(release, nullptr);
    hosttest::Child first(PREVIEW_CLIENT_PATH, {"first"}, folder);
    ASSERT_TRUE(first.Started());
    ASSERT_EQ(first.Line(120000), "started 0");
    hosttest::Child second(PREVIEW_CLIENT_PATH, {"second"}, folder);
    EXPECT_EQ(second.Line(120000), "started 0 owner 1 took under 2 s");
    EXPECT_EQ(first.Line(120000), "taken 1 stop 0 active 1 same owner 1");
    EXPECT_EQ(first.Wait(120000), 0);
    SetEvent(release);
    EXPECT_EQ(second.Wait(120000), 0);
    CloseHandle(release);
}

}  // namespace
