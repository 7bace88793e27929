// What the board benchmarks that still look into the driver start from: a
// machine booted in a temporary folder (removed at the end) with ZARKD
// loaded over the given boards, and board 0's extension. The others start
// from bench_board.h and reach the board through its control codes.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>

#include "drivers/board/zar_driver.h"
#include "platform/nt/machine.h"
#include "platform/nt/nt_internal.h"
#include "platform/win32/w32_host.h"
#include "sim/pci_layouts.h"

class BenchMachine {
public:
    // The folder first: a benchmark may put drive images in it before Boot.
    explicit BenchMachine(const char* name)
        : folder_((std::filesystem::temp_directory_path() / (std::string(name) + "-" + std::to_string(getpid())))
                      .string())
    {
        std::filesystem::create_directories(folder_);
    }
    ~BenchMachine()
    {
        if (booted_) nt::Machine::Shutdown();
        std::filesystem::remove_all(folder_);
    }
    BenchMachine(const BenchMachine&) = delete;
    BenchMachine& operator=(const BenchMachine&) = delete;

    const std::string& Folder() const { return folder_; }

    // Boots with 'layout' on 'clock' and loads ZARKD; false when either fails.
    bool Boot(const sim::PciLayout& layout, nt::ClockMode clock)
    {
        // Its Win32 calls go to this machine, whatever ZAR_MACHINE says.
        w32host::StayEmbedded();
        built_ = sim::BuildTopology(layout);
        nt::MachineOptions options;
        options.folder = folder_;
        options.pci = built_.topology;
        options.clock = clock;
        options.loadDrivers = false;
        if (!NT_SUCCESS(nt::Machine::Boot(options))) return false;
        booted_ = true;
        RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(u"EventLog\\System"));
        if (!LoadDriver(u"ZARKD")) return false;
        for (auto& [name, driver] : nt::IoLoadedDrivers())
            if (name == u"ZARKD" && driver->DeviceObject) ext_ = ZarExtension(driver->DeviceObject);
        return ext_ != nullptr;
    }

    // Gives 'service' its kernel-driver service key and loads it.
    static bool LoadDriver(const std::u16string& service)
    {
        return NT_SUCCESS(nt::WriteDriverServiceKey(service, 3)) && NT_SUCCESS(nt::IoLoadDriver(service));
    }

    PZAR_DEVICE_EXTENSION Extension() const { return ext_; }
    sim::Board& Board() { return *built_.boards[0]; }

private:
    std::string folder_;
    sim::BuiltTopology built_;
    PZAR_DEVICE_EXTENSION ext_ = nullptr;
    bool booted_ = false;
};
