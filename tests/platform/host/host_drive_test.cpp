// The media drive P: served by a machine host: client programs watch its
// folders for changes and list them overlapped while other clients change
// them, and a client killed with a watch pending leaves the drive and the
// host as they were.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/host_server.h"
#include "platform/win32/w32_host.h"
#include "tests/drivers/mediafs/mediafs_drive.h"
#include "tests/platform/host/child_process.h"

namespace {

const char kClips[] = "\\??\\P:\\KIV\\Media\\Clips";

// The formatted drive on the real clock (clients wait in real time), served
// to client processes.
class HostDrive : public MediaDrive {
protected:
    void Configure(nt::MachineOptions& options) override
    {
        MediaDrive::Configure(options);
        options.clock = nt::ClockMode::Real;
    }
    void SetUp() override
    {
        w32host::StayEmbedded();
        MediaDrive::SetUp();
        if (HasFatalFailure()) return;
        std::string why;
        ASSERT_TRUE(host::StartServer(Folder(), &why)) << why;
    }
    void TearDown() override
    {
        host::StopServer();
        MediaDrive::TearDown();
    }

    hosttest::Child Client(std::vector<std::string> args) { return hosttest::Child(HOST_CLIENT_PATH, args, Folder()); }

    // Whether some folder handle of the drive has asked for change notification
    // and not been cleaned up.
    bool Watched()
    {
        PLIST_ENTRY list = &Card()->Vcb.NotifyList;
        return __atomic_load_n(&list->Flink, __ATOMIC_ACQUIRE) != list;
    }
};

TEST_F(HostDrive, AChangeByOneClientEndsAnotherClientsWatch)
{
    // 0x10c: a change, which the drive reports without names.
    const struct {
        const char* mode;
        std::vector<std::string> change;
        const char* expected;
    } cases[] = {
        {"event", {"make", "P:\\KIV\\Media\\Clips\\Take"}, "changed 0x10c bytes 0"},
        {"apc", {"move", "P:\\KIV\\Media\\Clips\\Take", "P:\\KIV\\Media\\Clips\\Take 2"},
         "changed 0x10c bytes 0 by its routine"},
        {"sync", {"make", "P:\\KIV\\Media\\Clips\\Other"}, "changed 0x10c bytes 0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        hosttest::Child watcher = Client({"watch", kClips, c.mode});
        ASSERT_EQ(watcher.Line(), "watching");
        ASSERT_TRUE(hosttest::Eventually([&] { return Watched(); }));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(watcher.Line(200), "") << "ended before any change";
        std::vector<std::string> args = c.change;
        hosttest::Child changer = Client(args);
        EXPECT_NE(changer.Line(), "");
        EXPECT_EQ(changer.Wait(), 0);
        EXPECT_EQ(watcher.Line(), c.expected);
        EXPECT_EQ(watcher.Wait(), 0);
        // Its handle closed: the drive's watch list is empty again.
        EXPECT_TRUE(hosttest::Eventually([&] { return !Watched(); }));
    }
}

TEST_F(HostDrive, AnOverlappedListingEndsThroughItsEventOrRoutine)
{
    hosttest::Child maker = Client({"make", "P:\\KIV\\Media\\Clips\\Listed"});
    EXPECT_EQ(maker.Line(), "made");
    for (const char* mode : {"event", "apc"}) {
        SCOPED_TRACE(mode);
        hosttest::Child lister = Client({"list", kClips, mode});
        EXPECT_EQ(lister.Line(), "listed 0 Listed");
        EXPECT_EQ(lister.Wait(), 0);
    }
}

TEST_F(HostDrive, AClientKilledWithAWatchPendingIsCleanedUpAndTheHostGoesOn)
{
    for (const char* mode : {"event", "sync"}) {
        SCOPED_TRACE(mode);
        hosttest::Child victim = Client({"watch", kClips, mode});
        ASSERT_EQ(victim.Line(), "watching");
        ASSERT_TRUE(hosttest::Eventually([&] { return Watched(); }));
        victim.Kill();
        EXPECT_EQ(victim.Wait(), 128 + SIGKILL);
        // The handle's cleanup ended the pending request and forgot the watch.
        EXPECT_TRUE(hosttest::Eventually([&] { return !Watched(); }));
        EXPECT_TRUE(hosttest::Eventually([] { return host::ClientProcessCount() == 0; }));
    }
    // A change now disturbs nobody, and a new watcher is served.
    hosttest::Child watcher = Client({"watch", kClips, "event"});
    ASSERT_EQ(watcher.Line(), "watching");
    hosttest::Child maker = Client({"make", "P:\\KIV\\Media\\Clips\\After"});
    EXPECT_EQ(maker.Line(), "made");
    EXPECT_EQ(watcher.Line(), "changed 0x10c bytes 0");
}

TEST_F(HostDrive, AThousandChangeRequestsOfOneClientStopAtItsLimitAndAreAwaitedWithoutAThreadEach)
{
    hosttest::Child watcher = Client({"watch-many", kClips, "1000"});
    // STATUS_INSUFFICIENT_RESOURCES past the 64 a client may have pending.
    ASSERT_EQ(watcher.Line(), "watching 64 refused 0xc000009a");
    // The main connection and the one that awaits them all; a thread and a
    // connection each would be 65.
    EXPECT_LE(host::ConnectionCount(), 3);
    // Everyone else is served meanwhile.
    hosttest::Child maker = Client({"make", "P:\\KIV\\Media\\Clips\\Many"});
    EXPECT_EQ(maker.Line(), "made");
    EXPECT_EQ(watcher.Line(), "ended 64");
    EXPECT_EQ(watcher.Wait(), 0);
    EXPECT_TRUE(hosttest::Eventually([] { return host::ClientProcessCount() == 0; }));
}

}  // namespace
