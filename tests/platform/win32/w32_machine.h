// A machine for the Win32 layer's tests: a fresh folder, the virtual clock,
// none of the system's drivers; test drivers are created by the tests.
// One machine per test program (the kernel's state is global), booted
// before the first test and shut down after the last.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

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
        w32host::StayEmbedded();  // whatever machine ZAR_MACHINE names
        folder_ = (std::filesystem::temp_directory_path() / ("win32-test-" + std::to_string(getpid()))).string();
        std::filesystem::remove_all(folder_);
        nt::MachineOptions options;
        options.folder = folder_;
        options.loadDrivers = false;
        ASSERT_EQ(nt::Machine::Boot(options), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        if (nt::Machine::Running()) nt::Machine::Shutdown();
        std::filesystem::remove_all(folder_);
    }

private:
    std::string folder_;
};

// Registers the environment once per test program.
inline const bool machineRegistered = (::testing::AddGlobalTestEnvironment(new MachineEnvironment), true);

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
