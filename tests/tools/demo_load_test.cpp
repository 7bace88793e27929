// The demo's clip path on a host slower than the board's fields: the
// machine runs on the host's clock while a load on the interrupt context
// keeps it behind, as a busy or emulated host does. Whatever the clip makes
// of that, the machine must still shut down, and within a bound.

#include <execinfo.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "drivers/board/zar_driver.h"
#include "include/zarfs.h"
#include "outside/fpga_images.h"
#include "platform/nt/clock.h"
#include "platform/win32/win32.h"
#include "sim/pci_layouts.h"
#include "tests/support/machine_fixture.h"
#include "tools/demo_clip.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

// A crash of this test is rare and load-dependent: it leaves the stack of
// the thread that faulted on standard error before the process goes.
void PrintStackAndDie(int signal)
{
    void* frames[64];
    const char line[] = "demo_load_test: fatal signal; the faulting thread's stack:\n";
    (void)!::write(STDERR_FILENO, line, sizeof line - 1);
    backtrace_symbols_fd(frames, backtrace(frames, 64), STDERR_FILENO);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}
// The clip's progress lines go out as they are printed, so a crash shows
// how far the clip got.
const bool crashHandlerInstalled = (::signal(SIGSEGV, PrintStackAndDie), ::signal(SIGBUS, PrintStackAndDie),
                                    std::setvbuf(stdout, nullptr, _IOLBF, 0), true);

// Ends the process when a step hangs, so a hang is a failed test and not a
// test run that never ends.
class Watchdog {
public:
    Watchdog(const char* what, std::chrono::seconds limit)
        : thread_([this, what, limit] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!cv_.wait_for(lock, limit, [this] { return done_; })) {
                  std::fprintf(stderr, "%s did not end within %lld s\n", what, static_cast<long long>(limit.count()));
                  std::fflush(stderr);
                  std::_Exit(1);
              }
          })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};

// Takes 'busy' of host time on the interrupt context every 'every' of
// machine time: with busy > every the context never catches up. With a
// codec to follow, the load begins with the codec's first field and lasts
// kTurns turns, the clip's record and play with a margin. What the clip
// does through the media drive before and after (its file made, indexed,
// settled or given back) then runs on a host that keeps up: on a context
// that never catches up, a disk request of the file system would wait on
// the board without end.
struct HostLoad : std::enable_shared_from_this<HostLoad> {
    static constexpr int kTurns = 480;
    std::chrono::nanoseconds busy{0};
    uint64_t every = 0;
    const sim::JpegCodec* codec = nullptr;
    int turns = 0;
    std::atomic<bool> stop{false};

    // Whether this turn loads the host.
    bool Loading()
    {
        if (codec == nullptr) return true;
        if (turns == 0 && codec->FieldsEncoded() == 0) return false;
        return turns++ < kTurns;
    }

    void Start() { Next(nt::ClockNow()); }
    void Next(uint64_t when)
    {
        auto self = shared_from_this();
        nt::ClockSchedule(when, [self, when] {
            if (self->stop.load()) return;
            if (!self->Loading()) {
                self->Next(when + self->every);
                return;
            }
            const auto until = SteadyClock::now() + self->busy;
            while (SteadyClock::now() < until) {
            }
            self->Next(when + self->every);
        });
    }
};

class DemoLoad : public MachineFixture {
protected:
    void Configure(nt::MachineOptions& options) override
    {
        // Room for the clip's file on a volume of its own.
        sim::DriveConfig drive;
        drive.id = 0;
        drive.blocks = 100000;
        drive.image = Folder() + "/drive0.img";
        sim::BoardOptions board;
        board.drives = {drive};
        built_ = sim::BuildTopology(sim::BoardsLayout(1, 4, board));
        options.pci = built_.topology;
        options.loadDrivers = false;
        options.clock = nt::ClockMode::Real;
    }

    void SetUp() override
    {
        MachineFixture::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(u"EventLog\\System")),
                  STATUS_SUCCESS);
        ASSERT_EQ(InstallDriver(u"ZARKD", "ZARKD.sys"), STATUS_SUCCESS);
        ASSERT_EQ(InstallDriver(u"ZARFSKD", "ZARFSKD.sys"), STATUS_SUCCESS);
        std::string error;
        ASSERT_TRUE(fpgaimages::InstallImageFiles(std::filesystem::path(Folder()) / "drives/C/WINNT/system32/drivers",
                                                  0, &error))
            << error;
        ASSERT_EQ(LoadDriver(u"ZARKD"), STATUS_SUCCESS);
    }

    // The FPGA download, the set-up after it and the bus scan, as the demo
    // does them, before the host falls behind.
    void SetUpBoard()
    {
        HANDLE board =
            CreateFileA("\\\\.\\KIVZAR0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(board, INVALID_HANDLE_VALUE);
        ULONG flex[4] = {};
        DWORD bytes = 0;
        EXPECT_TRUE(DeviceIoControl(board, IOCTL_ZAR_FLEX_DOWNLOAD, flex, sizeof flex, flex, sizeof flex, &bytes,
                                    nullptr));
        EXPECT_TRUE(DeviceIoControl(board, IOCTL_ZAR_POST_FPGA_INIT, nullptr, 0, nullptr, 0, &bytes, nullptr));
        ZAR_DISK_REQUEST scan{};
        scan.Operation = ZAR_DISK_OP_SCAN;
        scan.OwnsScsi = 1;
        EXPECT_TRUE(DeviceIoControl(board, IOCTL_ZAR_DISK_REQUEST, &scan, sizeof scan, &scan, sizeof scan, &bytes,
                                    nullptr));
        CloseHandle(board);
    }

    // The media drive over the drive, formatted as one volume with a
    // folder, where the clip section makes its file.
    void SetUpMediaDrive()
    {
        ASSERT_EQ(LoadDriver(u"ZARFSKD"), STATUS_SUCCESS);
        HANDLE control =
            CreateFileA("\\\\.\\ZarFsDevice0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(control, INVALID_HANDLE_VALUE);
        ZAR_VOLUME_INFO volume{};
        std::memcpy(volume.Name, u"Load", 8);
        volume.DriveCount = 1;
        for (uint32_t& id : volume.ScsiIds) id = ZARFS_NO_DRIVE;
        volume.ScsiIds[0] = 0;
        DWORD bytes = 0;
        EXPECT_TRUE(DeviceIoControl(control, IOCTL_ZARFS_FORMAT_VOLUME, &volume, sizeof volume, &volume,
                                    sizeof volume, &bytes, nullptr))
            << GetLastError();
        CloseHandle(control);
        EXPECT_TRUE(CreateDirectoryA("P:\\KIV\\Load\\Clips", nullptr)) << GetLastError();
    }

    sim::BuiltTopology built_;
};

TEST_F(DemoLoad, ClipOnAHostSlowerThanTheFieldsStillEndsInAShutdown)
{
    SetUpBoard();
    SetUpMediaDrive();
    // One field's worth of machine time takes a field and a half of host
    // time before the board's own work is counted.
    auto load = std::make_shared<HostLoad>();
    load->every = sim::FieldClock::FieldsToNs(525, 1);
    load->busy = std::chrono::nanoseconds(load->every * 3 / 2);
    load->codec = &built_.boards[0]->Jpeg().Codec(0);
    load->Start();
    {
        Watchdog watchdog("the clip section", std::chrono::seconds(240));
        ShowClip({0, built_.boards[0].get(), Folder()});
    }
    const auto start = SteadyClock::now();
    {
        Watchdog watchdog("the shutdown", std::chrono::seconds(120));
        nt::Machine::Shutdown();
    }
    load->stop.store(true);
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
    std::printf("shutdown took %.2f s of host time\n", seconds);
    EXPECT_LT(seconds, 30.0);
    EXPECT_FALSE(nt::ClockRunning());
}

}  // namespace
