// GoogleTest fixture: a machine on the virtual clock, booted in a fresh
// temporary folder for each test and shut down after it. The folder is
// removed when the test passed and kept (its path printed) when it failed,
// or always with ZAR_KEEP_MACHINE set.
//
// Derive and override Configure() to change the options before the first
// boot (a PCI topology through Pci(), loadDrivers = false, ...). Drivers are
// installed as service keys (InstallDriver) and loaded either at the next
// Reboot() (Start 0..2) or at once with LoadDriver().
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/nt/machine.h"
#include "platform/nt/nt_zw.h"

class MachineFixture : public ::testing::Test {
protected:
    virtual void Configure(nt::MachineOptions& options) { (void)options; }

    void SetUp() override
    {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/solvane-machine-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        options_.folder = folder_;
        options_.clock = nt::ClockMode::Virtual;
        Configure(options_);
        NTSTATUS status = nt::Machine::Boot(options_);
        ASSERT_EQ(status, STATUS_SUCCESS) << NtStatusName(status);
    }

    void TearDown() override
    {
        nt::Machine::Shutdown();
        if (HasFailure() || std::getenv("ZAR_KEEP_MACHINE"))
            std::printf("machine folder kept: %s\n", folder_.c_str());
        else
            std::filesystem::remove_all(folder_);
    }

    // Shuts the machine down and boots it again from the same folder.
    void Reboot()
    {
        nt::Machine::Shutdown();
        NTSTATUS status = nt::Machine::Boot(options_);
        ASSERT_EQ(status, STATUS_SUCCESS) << NtStatusName(status);
    }

    // The PCI topology of the machine (created on first use; plug devices in
    // Configure() or before a Reboot()).
    hw::PciTopology& Pci()
    {
        if (!options_.pci) options_.pci = std::make_shared<hw::PciTopology>();
        return *options_.pci;
    }

    // Writes the service key of a kernel driver: Type 1, the given Start,
    // ErrorControl 1, ImagePath System32\drivers\<imageName>.
    static NTSTATUS InstallDriver(const std::u16string& service, const std::string& imageName, ULONG start = 3)
    {
        std::u16string key = service;
        NTSTATUS status = RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, key.data());
        if (!NT_SUCCESS(status)) return status;
        std::u16string image = u"System32\\drivers\\" + NtWiden(imageName);
        ULONG type = 1, errorControl = 1;
        status = RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, key.c_str(), u"Type", REG_DWORD, &type, sizeof type);
        if (NT_SUCCESS(status))
            status = RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, key.c_str(), u"Start", REG_DWORD, &start, sizeof start);
        if (NT_SUCCESS(status))
            status = RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, key.c_str(), u"ErrorControl", REG_DWORD,
                                           &errorControl, sizeof errorControl);
        if (NT_SUCCESS(status))
            status = RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, key.c_str(), u"ImagePath", REG_EXPAND_SZ,
                                           image.data(), static_cast<ULONG>((image.size() + 1) * sizeof(WCHAR)));
        return status;
    }

    static NTSTATUS LoadDriver(const std::u16string& service) { return nt::IoLoadDriver(service); }

    // A REG_DWORD under a path of RtlWriteRegistryValue (key created when missing).
    static NTSTATUS SetDword(ULONG relativeTo, const std::u16string& path, const std::u16string& name, ULONG value)
    {
        return RtlWriteRegistryValue(relativeTo, path.c_str(), name.c_str(), REG_DWORD, &value, sizeof value);
    }

    const std::string& Folder() const { return folder_; }
    nt::MachineOptions& Options() { return options_; }

private:
    std::string folder_;
    nt::MachineOptions options_;
};
