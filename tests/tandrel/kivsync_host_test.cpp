// KivSync from a client process of a machine host with the board and the
// time-code driver: the LTC generator started at 10:00:00;00 and 100 frames
// read back in order, through the library in the client.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <unistd.h>

#include "outside/fpga_images.h"
#include "platform/host/embedded_machine.h"
#include "platform/host/host_server.h"
#include "sim/pci_layouts.h"
#include "tests/platform/host/child_process.h"

namespace {

TEST(KivSyncHost, AClientReadsAHundredFramesInOrderThroughTheLibrary)
{
    const std::string folder =
        (std::filesystem::temp_directory_path() / ("kivsync-host-test-" + std::to_string(getpid()))).string();
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    std::string why;
    ASSERT_TRUE(fpgaimages::InstallImageFiles(std::filesystem::path(folder) / "drives/C/WINNT/system32/drivers", 0, &why))
        << why;
    sim::BuiltTopology hardware = sim::BuildTopology(sim::BoardsLayout(1));
    embedded::MachineOptions options;
    options.folder = folder;
    options.pci = hardware.topology;
    options.virtualClock = false;  // the client waits in real time
    options.drivers = {"ZARKD", "TANDRELKD"};
    ASSERT_TRUE(embedded::BootMachine(options, &why)) << why;
    ASSERT_TRUE(host::StartServer(folder, &why)) << why;
    {
        hosttest::Child client(KIVSYNC_CLIENT_PATH, {}, folder);
        ASSERT_TRUE(client.Started());
        EXPECT_EQ(client.Line(180000), "100 frames in order from 10:00:00;00");
        EXPECT_EQ(client.Wait(180000), 0);
    }
    host::StopServer();
    embedded::ShutdownMachine();
    std::filesystem::remove_all(folder);
}

}  // namespace
