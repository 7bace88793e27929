// A machine host with a board, and client processes that set the board up
// and wait for its fields one after another: what one client did to the
// board (and its exit, which closes its handles) must leave the fields
// running for the clients after it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "outside/fpga_images.h"
#include "platform/host/embedded_machine.h"
#include "platform/host/host_server.h"
#include "sim/pci_layouts.h"
#include "tests/platform/host/child_process.h"

namespace {

std::string folder;
sim::BuiltTopology hardware;

class BoardHostEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        folder = (std::filesystem::temp_directory_path() / ("host-board-test-" + std::to_string(getpid()))).string();
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
        options.drivers = {"ZARKD"};
        ASSERT_TRUE(embedded::BootMachine(options, &why)) << why;
        booted_ = true;
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
const bool registered = (::testing::AddGlobalTestEnvironment(new BoardHostEnvironment), true);

// Each step is a client process run to its end.
struct Step {
    std::vector<std::string> args;
    const char* says;
};

TEST(HostBoard, FieldsGoOnForEveryClientAfterSetUpsByClientsThatExited)
{
    const Step steps[] = {
        {{"setup"}, "set up"},
        {{"fields", "50"}, "50 fields"},
        {{"setup"}, "set up"},  // a second set-up while the board already runs
        {{"fields", "50"}, "50 fields"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.args[0]);
        hosttest::Child client(BOARD_CLIENT_PATH, step.args, folder);
        ASSERT_TRUE(client.Started());
        EXPECT_EQ(client.Line(120000), step.says);
        EXPECT_EQ(client.Wait(120000), 0);
    }
}

TEST(HostBoard, ASecondHostOnTheFolderRefusesAndNamesTheProcessServingIt)
{
    hosttest::Child second(ZAR_FRONT_PATH, {"host", "--folder", folder}, folder, true);
    ASSERT_TRUE(second.Started());
    EXPECT_EQ(second.Line(120000),
              "zar-front: the machine folder " + folder + " is served by process " + std::to_string(getpid()));
    EXPECT_EQ(second.Wait(120000), 1);
    // The first host serves on, its board with it.
    hosttest::Child client(BOARD_CLIENT_PATH, {"fields", "10"}, folder);
    EXPECT_EQ(client.Line(120000), "10 fields");
    EXPECT_EQ(client.Wait(120000), 0);
}

}  // namespace
