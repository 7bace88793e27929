// The machine: boots one kernel instance over a machine folder and shuts it
// down again, leaving nothing global behind so the same process can boot
// again (tests do).
//
// Boot: the folder (created when missing), the registry from it, the
// object name space (with the system and default user processes), the
// clock, \Registry, the HAL over the PCI topology, the host file system
// with C: (drives/C, holding WINNT\system32\drivers) and every other
// drives/<X> folder as drive <X>, then the drivers of the service keys:
// kernel or file-system drivers (Type 1 or 2) with Start 0, 1 or 2, in order
// of Start and then of name. A service whose image is not registered, or
// whose entry fails, is written to the event log (source "Service Control
// Manager", id 7000 as an error, strings: the service name and the status)
// and skipped; boot goes on.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <map>
#include <sys/stat.h>

#include "cm_internal.h"
#include "machine.h"
#include "machine_internal.h"
#include "io_internal.h"
#include "ke_internal.h"

namespace nt {

namespace {

MachineOptions currentOptions;
bool running = false;
std::map<char, std::string> pendingDrives;  // MapDrive before boot

constexpr ULONG kServiceStartFailed = 0xC0001B58;  // 7000 with error severity
const char16_t kServicesPath[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";

bool MakeFolders(const std::string& path)
{
    for (size_t pos = path.find('/', 1);; pos = path.find('/', pos + 1)) {
        std::string partial = path.substr(0, pos);
        if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
        if (pos == std::string::npos) break;
    }
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

struct Service {
    std::u16string name;
    ULONG start;
    std::u16string imagePath;
};

UNICODE_STRING Counted(const std::u16string& s)
{
    USHORT bytes = static_cast<USHORT>(s.size() * sizeof(WCHAR));
    return UNICODE_STRING{bytes, bytes, const_cast<PWSTR>(s.data())};
}

bool ReadValue(HANDLE key, const std::u16string& name, ULONG* type, std::vector<UCHAR>* data)
{
    UNICODE_STRING us = Counted(name);
    ULONG needed = 0;
    std::vector<UCHAR> buffer(256);
    NTSTATUS status = ZwQueryValueKey(key, &us, KeyValuePartialInformation, buffer.data(),
                                      static_cast<ULONG>(buffer.size()), &needed);
    if (status == STATUS_BUFFER_OVERFLOW) {
        buffer.resize(needed);
        status = ZwQueryValueKey(key, &us, KeyValuePartialInformation, buffer.data(), needed, &needed);
    }
    if (!NT_SUCCESS(status)) return false;
    auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data());
    *type = info->Type;
    data->assign(info->Data, info->Data + info->DataLength);
    return true;
}

bool ReadDword(HANDLE key, const std::u16string& name, ULONG* value)
{
    ULONG type;
    std::vector<UCHAR> data;
    if (!ReadValue(key, name, &type, &data) || type != REG_DWORD || data.size() != 4) return false;
    std::memcpy(value, data.data(), 4);
    return true;
}

// The services the machine starts at boot, in start order.
std::vector<Service> BootServices()
{
    std::vector<Service> services;
    std::u16string path = kServicesPath;
    UNICODE_STRING name = Counted(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE root;
    if (!NT_SUCCESS(ZwOpenKey(&root, KEY_READ, &oa))) return services;
    std::vector<UCHAR> buffer(512);
    for (ULONG index = 0;; index++) {
        ULONG needed = 0;
        NTSTATUS status = ZwEnumerateKey(root, index, KeyBasicInformation, buffer.data(),
                                         static_cast<ULONG>(buffer.size()), &needed);
        if (status == STATUS_NO_MORE_ENTRIES) break;
        if (status == STATUS_BUFFER_OVERFLOW) {
            buffer.resize(needed);
            index--;
            continue;
        }
        if (!NT_SUCCESS(status)) break;
        auto* info = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer.data());
        Service s{std::u16string(info->Name, info->NameLength / 2), 0, u""};
        UNICODE_STRING sub = Counted(s.name);
        OBJECT_ATTRIBUTES soa;
        InitializeObjectAttributes(&soa, &sub, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
        HANDLE key;
        if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &soa))) continue;
        ULONG type = 0;
        bool isDriver = ReadDword(key, u"Type", &type) && (type == 1 || type == 2);
        bool autoStart = ReadDword(key, u"Start", &s.start) && s.start <= 2;
        ULONG valueType;
        std::vector<UCHAR> data;
        if (ReadValue(key, u"ImagePath", &valueType, &data) && (valueType == REG_SZ || valueType == REG_EXPAND_SZ)) {
            s.imagePath.assign(reinterpret_cast<const char16_t*>(data.data()), data.size() / 2);
            while (!s.imagePath.empty() && s.imagePath.back() == u'\0') s.imagePath.pop_back();
        }
        ZwClose(key);
        if (isDriver && autoStart) services.push_back(std::move(s));
    }
    ZwClose(root);
    std::stable_sort(services.begin(), services.end(), [](const Service& a, const Service& b) {
        return a.start != b.start ? a.start < b.start : cm::CompareNames(a.name, b.name) < 0;
    });
    return services;
}

bool ImageRegistered(const Service& s)
{
    // Without an ImagePath the system looks for System32\drivers\<service>.sys.
    std::u16string path = s.imagePath.empty() ? u"System32\\drivers\\" + s.name + u".sys" : s.imagePath;
    for (const auto& image : RegisteredDriverImages()) {
        std::u16string wanted = NtWiden(image.imageName);
        if (path.size() >= wanted.size() && cm::NamesEqual(path.substr(path.size() - wanted.size()), wanted) &&
            (path.size() == wanted.size() || path[path.size() - wanted.size() - 1] == u'\\' ||
             path[path.size() - wanted.size() - 1] == u'/'))
            return true;
    }
    return false;
}

void LogStartFailure(const std::u16string& service, NTSTATUS status)
{
    EventLogRecord r{};
    r.source = u"Service Control Manager";
    r.eventId = kServiceStartFailed;
    r.strings = {service, NtWiden(NtStatusName(status))};
    r.finalStatus = status;
    EventLogAppend(std::move(r));
}

void LoadBootDrivers()
{
    for (const Service& s : BootServices()) {
        if (!ImageRegistered(s)) {
            LogStartFailure(s.name, STATUS_OBJECT_NAME_NOT_FOUND);
            continue;
        }
        NTSTATUS status = IoLoadDriver(s.name);
        if (!NT_SUCCESS(status)) LogStartFailure(s.name, status);
    }
}

NTSTATUS MapDrives(const std::string& folder)
{
    std::string drives = folder + "/drives";
    if (!MakeFolders(drives + "/C/WINNT/system32/drivers")) return STATUS_ACCESS_DENIED;
    NTSTATUS status = HostFsMapDrive('C', drives + "/C");
    if (!NT_SUCCESS(status)) return status;
    // Drivers name their own files under \SystemRoot, as on the real system.
    UNICODE_STRING systemRoot, windowsFolder;
    RtlInitUnicodeString(&systemRoot, u"\\SystemRoot");
    RtlInitUnicodeString(&windowsFolder, u"\\??\\C:\\WINNT");
    status = IoCreateSymbolicLink(&systemRoot, &windowsFolder);
    if (!NT_SUCCESS(status) && status != STATUS_OBJECT_NAME_COLLISION) return status;
    DIR* d = ::opendir(drives.c_str());
    if (!d) return STATUS_ACCESS_DENIED;
    for (;;) {
        errno = 0;
        struct dirent* e = ::readdir(d);
        if (!e) break;
        char c = e->d_name[0];
        if (e->d_name[1] || c == 'C' || c < 'A' || c > 'Z') continue;
        HostFsMapDrive(c, drives + "/" + e->d_name);
    }
    // A drive folder missed because the listing failed would be a drive
    // letter silently gone.
    int error = errno;
    ::closedir(d);
    if (error) return STATUS_UNSUCCESSFUL;
    for (const auto& [letter, hostFolder] : pendingDrives) HostFsMapDrive(letter, hostFolder);
    pendingDrives.clear();
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS Machine::Boot(const MachineOptions& options)
{
    if (running) return STATUS_INVALID_DEVICE_STATE;
    if (options.folder.empty()) return STATUS_INVALID_PARAMETER;
    if (!MakeFolders(options.folder)) {
        std::fprintf(stderr, "machine: cannot create %s: %s\n", options.folder.c_str(), std::strerror(errno));
        return STATUS_ACCESS_DENIED;
    }
    char* real = ::realpath(options.folder.c_str(), nullptr);
    currentOptions = options;
    currentOptions.folder = real ? real : options.folder;
    std::free(real);
    const std::string& folder = currentOptions.folder;

    NTSTATUS status = EventLogOpen(folder);
    if (!NT_SUCCESS(status)) return status;
    status = CmBootLoad(folder);
    if (!NT_SUCCESS(status)) {
        EventLogCloseFile();
        return status;
    }
    ObInitialize();
    ClockStart(options.clock);
    IopStartWorkers();
    status = CmBootInitialize();
    if (NT_SUCCESS(status)) {
        // No topology is a machine without PCI devices: an empty bus 0.
        HalAttachTopology(options.pci ? options.pci : std::make_shared<hw::PciTopology>());
        status = HostFsInitialize();
    }
    if (NT_SUCCESS(status)) status = MapDrives(folder);
    if (!NT_SUCCESS(status)) {
        std::fprintf(stderr, "machine: boot failed: %s\n", NtStatusName(status));
        running = true;
        Shutdown();
        return status;
    }
    if (!PsGetDefaultUserProcess()) PsSetDefaultUserProcess(PsCreateUserProcess("user"));
    running = true;
    RunPendingFileRenames();
    if (options.loadDrivers) LoadBootDrivers();
    return STATUS_SUCCESS;
}

void Machine::Shutdown()
{
    if (!running) return;
    IoShutdownSystem();
    auto loaded = IoLoadedDrivers();
    for (auto it = loaded.rbegin(); it != loaded.rend(); ++it)
        if (it->first != kHostFsDriverName) IoUnloadDriver(it->first);
    if (PEPROCESS user = PsGetDefaultUserProcess()) PsTerminateUserProcess(user, STATUS_SUCCESS);
    // Unloads that waited for the processes' files (closes handed to a
    // worker included); what still waits then (a file a driver keeps open)
    // goes now, as the machine ends.
    ObWaitForDeferredDeletes();
    IoFinishPendingUnloads();
    HostFsShutdown();
    IoFinishPendingUnloads();
    HalDetachTopology();
    ClockStop();
    CmShutdown();
    ObShutdown();
    if (size_t left = ki::JoinKernelThreads(std::chrono::seconds(2)))
        std::fprintf(stderr, "machine: %zu kernel thread(s) still blocked at shutdown were let go\n", left);
    EventLogCloseFile();
    pendingDrives.clear();
    currentOptions = MachineOptions{};
    running = false;
}

bool Machine::Running() { return running; }

const MachineOptions& Machine::Options() { return currentOptions; }

std::string Machine::Folder() { return currentOptions.folder; }

std::string Machine::DriveFolder(char letter) { return HostFsDriveFolder(letter); }

void Machine::MapDrive(char letter, const std::string& hostFolder)
{
    if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
    if (!running) {
        pendingDrives[letter] = hostFolder;
        return;
    }
    NTSTATUS status = HostFsMapDrive(letter, hostFolder);
    if (!NT_SUCCESS(status))
        std::fprintf(stderr, "machine: mapping %c: to %s failed: %s\n", letter, hostFolder.c_str(), NtStatusName(status));
}

}  // namespace nt
