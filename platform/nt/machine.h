// The machine: one kernel instance with its folder (registry file, event
// log, file tree, board files), its clock, its PCI hardware and its loaded
// drivers.
//
// Machine folder layout:
//   registry.txt      the registry (text, rewritten atomically)
//   eventlog.txt      the event log (one entry a line block, appended)
//   drives/C/...      drive C: (the system drive; WINNT\system32\drivers)
//   drives/<X>/...    further drive letters mapped to folders
//   (board files are the simulator's; see sim/)
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "clock.h"
#include "nt_io.h"
#include "../hw/hw.h"

namespace nt {

// A driver image: the entry point that the I/O manager calls for a service
// whose ImagePath ends in 'imageName' ("ZARKD.sys").
struct DriverImage {
    const char* imageName;
    PDRIVER_INITIALIZE entry;
};
// Registers a built-in driver image (done by each driver's library at
// static-initialisation time through NT_REGISTER_DRIVER_IMAGE).
void RegisterDriverImage(const char* imageName, PDRIVER_INITIALIZE entry);
const std::vector<DriverImage>& RegisteredDriverImages();
#define NT_REGISTER_DRIVER_IMAGE(name, entry) \
    static const bool ntDriverImageRegistered_##entry = (::nt::RegisterDriverImage((name), (entry)), true)

// Loads the driver of service key Services\<serviceName>: calls its entry
// with the service key path; on failure the driver object is deleted.
NTSTATUS IoLoadDriver(const std::u16string& serviceName);
// Writes the service key Services\<serviceName> of a kernel driver whose
// image is System32\drivers\<serviceName>.sys: Type 1, Start 'start'
// (0-2 load at boot, 3 on demand), ErrorControl 1.
NTSTATUS WriteDriverServiceKey(const std::u16string& serviceName, ULONG start);
// Unloads at once, or, while files are open on the driver's devices, when
// the last of them closes (its devices take no new files meanwhile).
NTSTATUS IoUnloadDriver(const std::u16string& serviceName);
// Runs the unloads still waiting for files to close: the machine's end.
void IoFinishPendingUnloads();
// Sends IRP_MJ_SHUTDOWN to every registered device (last registered first).
void IoShutdownSystem();
// Loaded drivers: (service name, driver object).
std::vector<std::pair<std::u16string, PDRIVER_OBJECT>> IoLoadedDrivers();

struct MachineOptions {
    std::string folder;                 // created when missing
    ClockMode clock = ClockMode::Virtual;
    std::shared_ptr<hw::PciTopology> pci;  // null: no PCI devices
    bool loadDrivers = true;            // load services with Start <= 2 at boot
};

// One machine per process at a time (the kernel's state is global, as a
// kernel's is). Boot: object name space, registry from the folder, drive
// letters, clock, HAL over the PCI topology, then the drivers with
// Start 0..2 in order of Start. Shutdown: shutdown notifications, driver
// unloads, processes closed, clock stopped, registry flushed.
class Machine {
public:
    static NTSTATUS Boot(const MachineOptions& options);
    static void Shutdown();
    static bool Running();
    static const MachineOptions& Options();
    static std::string Folder();
    // Host folder of a drive letter ('C'), empty when unmapped.
    static std::string DriveFolder(char letter);
    static void MapDrive(char letter, const std::string& hostFolder);
};

// Event log records (the machine's event log file).
struct EventLogRecord {
    uint64_t sequence;
    LONGLONG systemTime;       // 100 ns since 1601, machine clock
    std::u16string source;     // the driver's or service's name
    ULONG eventId;             // the message identifier (ErrorCode)
    USHORT type;               // 1 error, 2 warning, 4 information (from the id's severity)
    USHORT category;
    std::vector<std::u16string> strings;
    std::vector<UCHAR> data;   // dump data
    NTSTATUS finalStatus;
    ULONG uniqueValue;
};
std::vector<EventLogRecord> EventLogRead();
void EventLogClear();

}  // namespace nt

namespace nt {
// Appends a record (sequence and time are filled in) and flushes it to the
// machine folder's event log file.
void EventLogAppend(EventLogRecord record);
}  // namespace nt
