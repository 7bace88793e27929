// The live frame ring between two processes: this one writes the ring, a
// client process of the machine's host plays it, and the read count the
// client moves is what lets this side publish again.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "lib/play/zar_live_sink_file.h"
#include "platform/host/embedded_machine.h"
#include "platform/host/host_server.h"
#include "platform/win32/win32.h"
#include "tests/platform/host/child_process.h"

namespace {

std::string folder;

class HostEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        folder = (std::filesystem::temp_directory_path() / ("live-ring-host-" + std::to_string(getpid()))).string();
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        std::string why;
        embedded::MachineOptions options;
        options.folder = folder;
        options.virtualClock = false;  // the client waits in real time
        ASSERT_TRUE(embedded::BootMachine(options, &why)) << why;
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

}  // namespace

TEST(LiveRingProcesses, AClientPlaysTheFramesThisProcessPublishesAndItsReadsMakeRoomForMore)
{
    CSysLiveSinkVideoFile* sink = new CSysLiveSinkVideoFile(nullptr);
    ASSERT_EQ(sink->OpenRing(1, 8, "LiveRingTwo", "LiveRingTwoPublished"), 0);
    ZAR_LIVE_RING_HEADER* header = sink->Header();
    auto* table = reinterpret_cast<uint32_t*>(reinterpret_cast<uint8_t*>(header) + header->TableOffset);
    uint8_t* data = reinterpret_cast<uint8_t*>(header) + header->DataOffset;
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, "LiveRingTwoGo");
    ASSERT_TRUE(go);

    hosttest::Child client(LIVE_RING_CLIENT_PATH, {"LiveRingTwo"}, folder, true);
    ASSERT_TRUE(client.Started());
    EXPECT_EQ(client.Line(120000), "ready empty");
    // Three frames, each field's bytes its slot number plus 0x20; the
    // fourth finds the ring full (6 fields, N - 2, not yet read).
    for (uint32_t slot = 0; slot < 8; ++slot) {
        std::memset(data + slot * 512, int(0x20 + slot), 512);
        table[slot] = 512;
    }
    for (int frame = 0; frame < 3; ++frame) ASSERT_TRUE(sink->Publish());
    EXPECT_FALSE(sink->Publish());
    ASSERT_TRUE(SetEvent(go));
    // Six fields behind: a frame on (slots 2, 3), four behind: a frame on
    // (4, 5), two behind, below the lag of 4: that frame again.
    EXPECT_EQ(client.Line(120000), "fields 22 23 24 25 24 25 read 4");
    EXPECT_EQ(client.Wait(60000), 0);
    EXPECT_EQ(header->ReadCount, 4u);
    EXPECT_TRUE(sink->Publish());
    EXPECT_EQ(header->WriteCount, 8u);
    sink->Release();
    CloseHandle(go);
}
