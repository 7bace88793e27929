// I/O manager: driver loading. Driver images are built in and registered by
// name at start-up; loading a service finds its image through the service
// key's ImagePath, makes \Driver\<service> and calls the entry with the
// service key's path. Also unloading, the shutdown broadcast and the list of
// loaded drivers.
#include <algorithm>
#include <vector>

#include "io_internal.h"
#include "machine.h"
#include "nt_mm.h"
#include "nt_syscall.h"
#include "nt_zw.h"
#include "ob_internal.h"

namespace {

constexpr NTSTATUS STATUS_IMAGE_ALREADY_LOADED = NTSTATUS(0xC000010E);
const std::u16string kServicesKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

std::vector<nt::DriverImage>& Images()
{
    static std::vector<nt::DriverImage> images;
    return images;
}

std::mutex IopDriversLock;
std::vector<std::pair<std::u16string, PDRIVER_OBJECT>> IopDrivers;  // each holds the creation reference

bool SameName(const std::u16string& a, const std::u16string& b) { return ObpUpcase(a) == ObpUpcase(b); }

PDRIVER_OBJECT FindLoaded(const std::u16string& service)
{
    for (auto& [name, driver] : IopDrivers)
        if (SameName(name, service)) return driver;
    return nullptr;
}

// The file part of an ImagePath ("\SystemRoot\System32\drivers\ZARKD.sys").
std::u16string FileNameOf(const std::u16string& path)
{
    size_t cut = path.find_last_of(u"\\/");
    return cut == std::u16string::npos ? path : path.substr(cut + 1);
}

std::u16string ImagePathOf(const std::u16string& service)
{
    std::u16string keyName = kServicesKey + service;
    UNICODE_STRING k = {USHORT(keyName.size() * 2), USHORT(keyName.size() * 2), keyName.data()};
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &k, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &oa))) return {};
    UNICODE_STRING value = RTL_CONSTANT_STRING(u"ImagePath");
    alignas(8) UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 1024];
    ULONG length = 0;
    std::u16string path = service + u".sys";
    if (NT_SUCCESS(ZwQueryValueKey(key, &value, KeyValuePartialInformation, buffer, sizeof(buffer), &length))) {
        auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
        if ((info->Type == REG_SZ || info->Type == REG_EXPAND_SZ) && info->DataLength >= 2) {
            path.assign(reinterpret_cast<const char16_t*>(info->Data), info->DataLength / 2);
            while (!path.empty() && path.back() == 0) path.pop_back();
        }
    }
    ZwClose(key);
    return path;
}

NTSTATUS Load(const std::u16string& service, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* out)
{
    {
        std::lock_guard<std::mutex> lock(IopDriversLock);
        if (FindLoaded(service)) return STATUS_IMAGE_ALREADY_LOADED;
    }
    PDRIVER_OBJECT driver;
    NTSTATUS s = IopCreateDriverObject(service, entry, &driver);
    if (!NT_SUCCESS(s)) return s;
    std::u16string keyPath = kServicesKey + service;
    UNICODE_STRING registryPath = {USHORT(keyPath.size() * 2), USHORT(keyPath.size() * 2), keyPath.data()};
    s = entry(driver, &registryPath);
    if (!NT_SUCCESS(s)) {
        ObMakeTemporaryObject(driver);
        ObfDereferenceObject(driver);
        return s;
    }
    // Devices made during the entry are ready once it returns.
    for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice) d->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    std::lock_guard<std::mutex> lock(IopDriversLock);
    IopDrivers.emplace_back(service, driver);
    if (out) *out = driver;
    return s;
}

}  // namespace

void nt::RegisterDriverImage(const char* imageName, PDRIVER_INITIALIZE entry)
{
    Images().push_back(DriverImage{imageName, entry});
}

const std::vector<nt::DriverImage>& nt::RegisteredDriverImages() { return Images(); }

NTSTATUS nt::IoLoadDriver(const std::u16string& serviceName)
{
    std::u16string path = ImagePathOf(serviceName);
    if (path.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
    std::u16string file = FileNameOf(path);
    for (auto& image : Images())
        if (SameName(NtWiden(image.imageName), file)) return Load(serviceName, image.entry, nullptr);
    return STATUS_DRIVER_UNABLE_TO_LOAD;
}

NTSTATUS nt::WriteDriverServiceKey(const std::u16string& serviceName, ULONG start)
{
    PCWSTR key = serviceName.c_str();
    const std::u16string image = u"System32\\drivers\\" + serviceName + u".sys";
    ULONG kernelDriver = 1, errorControl = 1;
    NTSTATUS status = RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(key));
    if (NT_SUCCESS(status))
        status = RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, key, u"Type", REG_DWORD, &kernelDriver, sizeof(ULONG));
    if (NT_SUCCESS(status))
        status = RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, key, u"Start", REG_DWORD, &start, sizeof(ULONG));
    if (NT_SUCCESS(status))
        status = RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, key, u"ErrorControl", REG_DWORD, &errorControl,
                                       sizeof(ULONG));
    if (NT_SUCCESS(status))
        status = RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, key, u"ImagePath", REG_EXPAND_SZ,
                                       const_cast<char16_t*>(image.c_str()),
                                       ULONG((image.size() + 1) * sizeof(char16_t)));
    return status;
}

NTSTATUS IoCreateDriver(const std::u16string& serviceName, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* driver)
{
    if (!entry) return STATUS_INVALID_PARAMETER;
    return Load(serviceName, entry, driver);
}

namespace {

// Drivers asked to unload while files were still open on their devices:
// as on NT, the unload routine runs once the last of those files closes,
// never under an open file.
std::vector<PDRIVER_OBJECT> IopUnloadPending;  // under IopDatabaseLock

// Waited unloads that a closing thread is running now, so that the
// machine's shutdown can wait for them too.
struct UnloadsRunning {
    LONG count = 0;  // under IopDatabaseLock
    KEVENT none;
    UnloadsRunning() { KeInitializeEvent(&none, NotificationEvent, TRUE); }
};
UnloadsRunning& Running()
{
    static UnloadsRunning r;
    return r;
}

bool IopDriverInUse(PDRIVER_OBJECT driver)
{
    for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice)
        if (d->ReferenceCount > 0) return true;
    return false;
}

void IopFinishUnload(PDRIVER_OBJECT driver)
{
    driver->DriverUnload(driver);
    ObMakeTemporaryObject(driver);
    ObfDereferenceObject(driver);
}

}  // namespace

NTSTATUS nt::IoUnloadDriver(const std::u16string& serviceName)
{
    PDRIVER_OBJECT driver;
    {
        std::lock_guard<std::mutex> lock(IopDriversLock);
        driver = FindLoaded(serviceName);
        if (!driver) return STATUS_OBJECT_NAME_NOT_FOUND;
        if (!driver->DriverUnload) return STATUS_INVALID_DEVICE_REQUEST;
        IopDrivers.erase(std::find_if(IopDrivers.begin(), IopDrivers.end(),
                                      [&](auto& e) { return e.second == driver; }));
    }
    {
        std::lock_guard<std::mutex> lock(IopDatabaseLock);
        if (IopDriverInUse(driver)) {
            for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice)
                IopDeviceExtension(d)->ExtensionFlags |= DOE_UNLOAD_PENDING;
            IopUnloadPending.push_back(driver);
            return STATUS_SUCCESS;
        }
    }
    IopFinishUnload(driver);
    return STATUS_SUCCESS;
}

void IopCheckUnloadDriver(PDRIVER_OBJECT driver)
{
    {
        std::lock_guard<std::mutex> lock(IopDatabaseLock);
        auto it = std::find(IopUnloadPending.begin(), IopUnloadPending.end(), driver);
        if (it == IopUnloadPending.end() || IopDriverInUse(driver)) return;
        IopUnloadPending.erase(it);
        if (Running().count++ == 0) KeClearEvent(&Running().none);
    }
    IopFinishUnload(driver);
    std::lock_guard<std::mutex> lock(IopDatabaseLock);
    if (--Running().count == 0) KeSetEvent(&Running().none, IO_NO_INCREMENT, FALSE);
}

void nt::IoFinishPendingUnloads()
{
    std::vector<PDRIVER_OBJECT> left;
    {
        std::lock_guard<std::mutex> lock(IopDatabaseLock);
        left.swap(IopUnloadPending);
    }
    for (PDRIVER_OBJECT driver : left) IopFinishUnload(driver);
    KeWaitForSingleObject(&Running().none, Executive, KernelMode, FALSE, nullptr);
}

void nt::IoShutdownSystem()
{
    for (PDEVICE_OBJECT device : IopTakeShutdownList()) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_SHUTDOWN, device, nullptr, 0, nullptr, &event, &iosb);
        if (irp && IofCallDriver(device, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        ObfDereferenceObject(device);
    }
}

std::vector<std::pair<std::u16string, PDRIVER_OBJECT>> nt::IoLoadedDrivers()
{
    std::lock_guard<std::mutex> lock(IopDriversLock);
    return IopDrivers;
}

void IopShutdown()
{
    IopStopWorkers();
    std::vector<std::pair<std::u16string, PDRIVER_OBJECT>> left;
    {
        std::lock_guard<std::mutex> lock(IopDriversLock);
        left.swap(IopDrivers);
    }
    for (auto& [name, driver] : left) ObfDereferenceObject(driver);
}

// ---- The system calls (the service manager's) ----

namespace {

// The service named by a driver's service key path, captured from the
// caller; empty when the path is not a key right below Services.
NTSTATUS CaptureServiceName(PUNICODE_STRING user, std::u16string* service)
{
    std::u16string path;
    if (!user) return STATUS_ACCESS_VIOLATION;
    NTSTATUS status = SehTry([&] {
        ProbeForRead(user, sizeof(UNICODE_STRING), sizeof(ULONG));
        UNICODE_STRING copy = *user;
        if (copy.Length % 2 || copy.Length > copy.MaximumLength) ExRaiseStatus(STATUS_INVALID_PARAMETER);
        ProbeForRead(copy.Buffer, copy.Length, sizeof(WCHAR));
        path.assign(copy.Buffer, copy.Length / 2);
    });
    if (!NT_SUCCESS(status)) return status;
    if (path.size() <= kServicesKey.size() || !SameName(path.substr(0, kServicesKey.size()), kServicesKey))
        return STATUS_OBJECT_NAME_INVALID;
    *service = path.substr(kServicesKey.size());
    return service->find(u'\\') == std::u16string::npos ? STATUS_SUCCESS : STATUS_OBJECT_NAME_INVALID;
}

}  // namespace

NTSTATUS NtLoadDriver(PUNICODE_STRING driverServiceName)
{
    std::u16string service;
    NTSTATUS status = CaptureServiceName(driverServiceName, &service);
    return NT_SUCCESS(status) ? nt::IoLoadDriver(service) : status;
}

NTSTATUS NtUnloadDriver(PUNICODE_STRING driverServiceName)
{
    std::u16string service;
    NTSTATUS status = CaptureServiceName(driverServiceName, &service);
    return NT_SUCCESS(status) ? nt::IoUnloadDriver(service) : status;
}
