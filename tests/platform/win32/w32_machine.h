// A machine for the Win32 layer's tests: a fresh folder, the virtual clock,
// none of the system's drivers; test drivers are created by the tests.
// One machine per test program (the kernel's state is global), booted
// before the first test and shut down after the last.
//
// With ZAR_TEST_IN_HOST set (CTest runs each program so too, as the tests
// labelled "inhost") the machine, on the real clock, is also served as a
// machine host, and the test program's Win32 layer is a client of it:
// every Win32 call crosses the host's socket and runs in the program's own NT process there, while
// the tests' drivers and kernel-side checks stay in this process.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/host/host_server.h"
#include "platform/nt/machine.h"
#include "platform/nt/kernel.h"
#include "platform/nt/nt_internal.h"
#include "platform/nt/nt_syscall.h"
#include "platform/win32/w32_host.h"
#include "platform/win32/win32.h"

namespace w32test {

class MachineEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        const char* inHost = std::getenv("ZAR_TEST_IN_HOST");
        const bool served = inHost && *inHost;
        if (!served) w32host::StayEmbedded();  // whatever machine ZAR_MACHINE names
        folder_ = (std::filesystem::temp_directory_path() / ("win32-test-" + std::to_string(getpid()))).string();
        std::filesystem::remove_all(folder_);
        nt::MachineOptions options;
        options.folder = folder_;
        options.loadDrivers = false;
        // A served machine runs on the real clock, as a machine host does:
        // a thread of this program waiting for the host's answer is not a
        // machine thread waiting, so the virtual clock would never move.
        if (served) options.clock = nt::ClockMode::Real;
        ASSERT_EQ(nt::Machine::Boot(options), STATUS_SUCCESS);
        if (served) {
            std::string why;
            ASSERT_TRUE(host::StartServer(nt::Machine::Folder(), &why)) << why;
            ::setenv("ZAR_MACHINE", nt::Machine::Folder().c_str(), 1);
            ASSERT_TRUE(w32host::IsClient()) << "the test program did not attach to its machine's host";
        }
    }
    void TearDown() override
    {
        // A request a test saw end may still be setting its event in the
        // host; stopping the host under it would end this program.
        if (w32host::IsClient()) w32host::SettleRequests(2000);
        host::StopServer();
        if (nt::Machine::Running()) nt::Machine::Shutdown();
        std::filesystem::remove_all(folder_);
    }

private:
    std::string folder_;
};

// Registers the environment once per test program.
inline const bool machineRegistered = (::testing::AddGlobalTestEnvironment(new MachineEnvironment), true);

// For a test that works the kernel from the test program's side of the
// Win32 layer (its NT process, its threads): it needs the layer embedded.
#define W32_EMBEDDED_ONLY(why)                                                              \
    do {                                                                                    \
        if (w32host::IsClient()) GTEST_SKIP() << "with the machine in a host: " << (why); \
    } while (0)

// Runs the calling host thread in 'process' for the scope (a user process
// of the machine), and back in the one it was in after.
class InProcess {
public:
    explicit InProcess(PEPROCESS process) : previous_(PsGetThreadProcess(KeGetCurrentThread()))
    {
        PsSetThreadProcess(KeGetCurrentThread(), process);
    }
    ~InProcess() { PsSetThreadProcess(KeGetCurrentThread(), previous_); }

private:
    PEPROCESS previous_;
};

}  // namespace w32test
