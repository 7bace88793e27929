// What every board benchmark starts from: the machine it measures and its
// board 0, reached only through the board driver's interface.
//
// With ZAR_MACHINE naming a folder whose machine host runs, the benchmark is
// one of the host's client processes and measures that machine, on the real
// clock. Otherwise it boots its own machine in a temporary folder (removed
// at the end): one board with ZARKD, on the virtual clock, so that fields
// cost no waiting and the host time they take is the simulation's and the
// drivers' work.
//
// What the driver costs is read from the kernel's accounts of its interrupt
// context (machine_inspect.h): the time in the board's interrupt routine and
// in the DPCs it queued, per field.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "include/zarkd.h"
#include "outside/fpga_images.h"
#include "platform/host/embedded_machine.h"
#include "platform/win32/machine_inspect.h"
#include "platform/win32/w32_host.h"
#include "platform/win32/win32.h"
#include "sim/pci_layouts.h"

// The field period at 525 lines, in seconds.
inline constexpr double kFieldPeriod = 1001.0 / 60000.0;

namespace benchboard {

inline bool FirstBoardHasDve(const sim::PciLayout& layout)
{
    for (const sim::LayoutSlot& slot : layout.slots)
        if (slot.kind == sim::SlotKind::Board) return slot.board.dvePresent;
    return false;
}

// The board driver learns at its start whether board 0 carries a DVE
// module from its parameters: a first boot with no driver writes them into
// the machine's registry, as an installation would.
inline bool WriteDvePresent(const embedded::MachineOptions& options, std::string* why)
{
    if (!embedded::BootMachine(options, why)) return false;
    HKEY key = nullptr;
    const DWORD present = 1;
    const char* parameters = "System\\CurrentControlSet\\Services\\ZARKD\\Parameters";
    const bool written = RegCreateKeyExA(HKEY_LOCAL_MACHINE, parameters, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                                         nullptr) == ERROR_SUCCESS &&
                         RegSetValueExA(key, "DvePresent", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&present),
                                        sizeof present) == ERROR_SUCCESS;
    if (key != nullptr) RegCloseKey(key);
    embedded::ShutdownMachine();
    if (!written) *why = "the board driver's DvePresent parameter could not be written";
    return written;
}

}  // namespace benchboard

// One board with 'drives' sparse drive images of 'blocks' blocks each, SCSI
// ids 0 up, their image files in 'folder'.
inline sim::BoardOptions BoardWithDrives(const std::string& folder, uint32_t drives, uint64_t blocks)
{
    sim::BoardOptions board;
    for (uint32_t id = 0; id < drives; ++id) {
        sim::DriveConfig d;
        d.id = int(id);
        d.blocks = blocks;
        d.image = folder + "/drive" + std::to_string(id) + ".img";
        board.drives.push_back(d);
    }
    return board;
}

// Boots the machine of 'folder' (created when missing, with the FPGA image
// files for a benchmark that sets the board up) over a cold 'layout' and
// loads 'drivers' in order; the simulated hardware goes into 'hardware'.
// False with the reason in 'why'.
inline bool BootBenchMachine(const std::string& folder, const sim::PciLayout& layout,
                             const std::vector<std::string>& drivers, sim::BuiltTopology* hardware, std::string* why)
{
    std::filesystem::create_directories(folder);
    if (!fpgaimages::InstallImageFiles(std::filesystem::path(folder) / "drives/C/WINNT/system32/drivers", 0, why))
        return false;
    *hardware = sim::BuildTopology(layout);
    embedded::MachineOptions options;
    options.folder = folder;
    options.pci = hardware->topology;
    if (benchboard::FirstBoardHasDve(layout) && !benchboard::WriteDvePresent(options, why)) return false;
    options.drivers = drivers;
    return embedded::BootMachine(options, why);
}

class BenchMachine {
public:
    explicit BenchMachine(const char* name)
        : folder_((std::filesystem::temp_directory_path() / (std::string(name) + "-" + std::to_string(getpid())))
                      .string())
    {
    }
    ~BenchMachine()
    {
        if (board_ != INVALID_HANDLE_VALUE) CloseHandle(board_);
        if (booted_) {
            embedded::ShutdownMachine();
            std::filesystem::remove_all(folder_);
        }
    }
    BenchMachine(const BenchMachine&) = delete;
    BenchMachine& operator=(const BenchMachine&) = delete;

    // Attaches to the running host, or boots 'layout' with ZARKD (and the
    // drivers named after it); then opens \\.\KIVZAR0. False after saying
    // why on stderr.
    bool Start(const char* benchmark, const sim::PciLayout& layout = sim::BoardsLayout(1),
               const std::vector<std::string>& drivers = {"ZARKD"})
    {
        if (w32host::IsClient()) {
            std::printf("%s: a client process of the machine host in %s (real clock)\n", benchmark,
                        std::getenv("ZAR_MACHINE"));
        } else {
            std::string why;
            booted_ = BootBenchMachine(folder_, layout, drivers, &hardware_, &why);
            if (!booted_) {
                std::fprintf(stderr, "%s: %s\n", benchmark, why.c_str());
                std::filesystem::remove_all(folder_);
                return false;
            }
        }
        board_ = CreateFileA("\\\\.\\KIVZAR0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (board_ == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "%s: board 0 did not open (error %lu)\n", benchmark,
                         static_cast<unsigned long>(GetLastError()));
            return false;
        }
        return true;
    }

    bool Client() const { return !booted_; }
    const std::string& Folder() const { return folder_; }
    HANDLE Board() const { return board_; }

    // One control code on board 0; false after saying which failed.
    bool Control(uint32_t code, const char* what, void* in = nullptr, uint32_t inBytes = 0, void* out = nullptr,
                 uint32_t outBytes = 0)
    {
        DWORD bytes = 0;
        if (DeviceIoControl(board_, code, in, inBytes, out, outBytes, &bytes, nullptr)) return true;
        std::fprintf(stderr, "%s failed: error %lu\n", what, static_cast<unsigned long>(GetLastError()));
        return false;
    }

    // Waits for the next field with the field interrupt on (the driver turns
    // it on for the wait when it is off).
    bool NextField()
    {
        ULONG parity = 2;
        return Control(IOCTL_ZAR_SYNCHRONIZE_EXECUTION, "the field wait", &parity, sizeof parity, &parity,
                       sizeof parity);
    }
    // The FPGA download and the set-up after it, as the media drive's driver
    // does at its start: the board's chips initialised, the time-code chip's
    // interrupt and the field interrupt on.
    bool SetUpBoard()
    {
        ULONG flex[4] = {0, 0, 0, 0};
        return Control(IOCTL_ZAR_FLEX_DOWNLOAD, "the FPGA download", flex, sizeof flex, flex, sizeof flex) &&
               Control(IOCTL_ZAR_POST_FPGA_INIT, "the set-up after the download");
    }

private:
    std::string folder_;
    sim::BuiltTopology hardware_;
    HANDLE board_ = INVALID_HANDLE_VALUE;
    bool booted_ = false;
};

// What some fields cost: host time, machine time, and what the kernel
// charged to the busiest interrupt vector meanwhile (the board's).
struct FieldsCost {
    double hostSeconds = 0;
    double fields = 0;  // machine time in field periods
    machineinspect::InterruptRunTime board;
    double IsrMicroseconds() const { return fields ? double(board.interruptNs) / 1e3 / fields : 0; }
    double DpcMicroseconds() const { return fields ? double(board.dpcNs) / 1e3 / fields : 0; }
    double DriverMicroseconds() const { return IsrMicroseconds() + DpcMicroseconds(); }
    // The same in the CPU time of the threads that ran the routines: what a
    // busy host's preemption leaves out.
    double IsrCpuMicroseconds() const { return fields ? double(board.interruptCpuNs) / 1e3 / fields : 0; }
    double DpcCpuMicroseconds() const { return fields ? double(board.dpcCpuNs) / 1e3 / fields : 0; }
    double DriverCpuMicroseconds() const { return IsrCpuMicroseconds() + DpcCpuMicroseconds(); }
    double HostMicroseconds() const { return fields ? hostSeconds * 1e6 / fields : 0; }
};

// Seconds of machine time since the machine booted.
inline double MachineSeconds()
{
    LARGE_INTEGER counter{}, frequency{};
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return double(counter.QuadPart) / double(frequency.QuadPart);
}

// What 'run' cost, as it lets some fields of machine time pass: host time,
// machine time and the board's interrupt vector's account meanwhile.
template <typename Run>
FieldsCost MeasureFields(Run run)
{
    std::vector<machineinspect::InterruptRunTime> before, after;
    machineinspect::ReadInterruptRunTimes(&before);
    const double machineStart = MachineSeconds();
    const auto start = std::chrono::steady_clock::now();
    run();
    FieldsCost cost;
    cost.hostSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cost.fields = (MachineSeconds() - machineStart) / kFieldPeriod;
    machineinspect::ReadInterruptRunTimes(&after);
    for (const machineinspect::InterruptRunTime& v : machineinspect::RunTimesBetween(before, after))
        if (v.vector != 0 && v.interrupts > cost.board.interrupts) cost.board = v;
    return cost;
}

// Lets 'fields' field periods of machine time pass (the calling thread
// sleeping; on the virtual clock the machine then runs them at once).
inline FieldsCost RunFields(uint64_t fields)
{
    return MeasureFields([fields] { Sleep(DWORD(double(fields) * kFieldPeriod * 1000.0 + 0.5)); });
}

// Waits for 'fields' fields one by one, the field interrupt on for each
// wait (on a host's board that was never set up it is otherwise off), and
// returns what they cost; 'ok' false when a wait failed.
inline FieldsCost WaitFields(BenchMachine& machine, uint64_t fields, bool* ok)
{
    *ok = true;
    return MeasureFields([&] {
        for (uint64_t f = 0; f < fields && *ok; ++f) *ok = machine.NextField();
    });
}
