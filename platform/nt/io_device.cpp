// I/O manager: driver and device objects, device stacks (attach/detach),
// the drivers' symbolic links, shutdown notification and the by-name lookup
// of another driver's device.
#include <algorithm>
#include <vector>

#include "io_internal.h"
#include "ob_internal.h"

std::mutex IopDatabaseLock;

namespace {

std::vector<PDEVICE_OBJECT> IopShutdownList;

void IopDeleteDriver(PVOID body)
{
    auto* d = static_cast<PDRIVER_OBJECT>(body);
    if (d->DriverExtension) {
        delete[] d->DriverExtension->ServiceKeyName.Buffer;
        delete d->DriverExtension;
    }
    delete[] d->DriverName.Buffer;
}

void IopDeleteDevice(PVOID body)
{
    auto* d = static_cast<PDEVICE_OBJECT>(body);
    if (d->DriverObject) ObfDereferenceObject(d->DriverObject);
}

constexpr size_t Align8(size_t n) { return (n + 7) & ~size_t(7); }

}  // namespace

OBJECT_TYPE IopDriverType = {
    "Driver", IopDeleteDriver, nullptr, nullptr, false, 0x00120089, 0x00120116, 0x001200A0, 0x001F01FF,
};
OBJECT_TYPE IopDeviceType = {
    "Device", IopDeleteDevice, nullptr, IopParseDevice, false, FILE_GENERIC_READ, FILE_GENERIC_WRITE,
    FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS,
};
POBJECT_TYPE IoDriverObjectType = &IopDriverType;
POBJECT_TYPE IoDeviceObjectType = &IopDeviceType;

NTSTATUS IopInvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

static UNICODE_STRING CopyString(const std::u16string& s)
{
    UNICODE_STRING u;
    u.Length = USHORT(s.size() * 2);
    u.MaximumLength = USHORT(u.Length + 2);
    u.Buffer = new WCHAR[s.size() + 1];
    std::memcpy(u.Buffer, s.data(), u.Length);
    u.Buffer[s.size()] = 0;
    return u;
}

NTSTATUS IopCreateDriverObject(const std::u16string& serviceName, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* out)
{
    std::u16string name = u"\\Driver\\" + serviceName;
    UNICODE_STRING n = {USHORT(name.size() * 2), USHORT(name.size() * 2), name.data()};
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &n, OBJ_PERMANENT | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    PVOID body;
    NTSTATUS s = ObCreateObject(&IopDriverType, &oa, KernelMode, sizeof(DRIVER_OBJECT), &body);
    if (!NT_SUCCESS(s)) return s;
    auto* d = static_cast<PDRIVER_OBJECT>(body);
    d->Type = IO_TYPE_DRIVER;
    d->Size = sizeof(DRIVER_OBJECT);
    d->DriverInit = entry;
    d->DriverName = CopyString(name);
    d->DriverExtension = new DRIVER_EXTENSION{};
    d->DriverExtension->DriverObject = d;
    d->DriverExtension->ServiceKeyName = CopyString(serviceName);
    for (auto& f : d->MajorFunction) f = IopInvalidDeviceRequest;
    s = ObInsertObject(body, 0, 0, nullptr);
    if (!NT_SUCCESS(s)) return s;
    *out = d;
    return STATUS_SUCCESS;
}

NTSTATUS IoCreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name, ULONG deviceType,
                        ULONG characteristics, BOOLEAN exclusive, PDEVICE_OBJECT* device)
{
    if (!driver || !device) return STATUS_INVALID_PARAMETER;
    *device = nullptr;
    size_t head = Align8(sizeof(DEVICE_OBJECT)), ext = Align8(sizeof(DEVOBJ_EXTENSION));
    OBJECT_ATTRIBUTES oa;
    bool named = name && name->Length;
    InitializeObjectAttributes(&oa, named ? name : nullptr, ULONG(OBJ_CASE_INSENSITIVE) | (named ? ULONG(OBJ_PERMANENT) : 0u),
                               nullptr, nullptr);
    ObfReferenceObject(driver);  // every device holds its driver
    PVOID body;
    NTSTATUS s = ObCreateObject(&IopDeviceType, &oa, KernelMode, ULONG(head + ext + extensionSize), &body);
    if (!NT_SUCCESS(s)) {
        ObfDereferenceObject(driver);
        return s;
    }
    auto* d = static_cast<PDEVICE_OBJECT>(body);
    d->Type = IO_TYPE_DEVICE;
    d->Size = USHORT(head + extensionSize);
    d->DriverObject = driver;
    d->Flags = ULONG(DO_DEVICE_INITIALIZING) | (exclusive ? ULONG(DO_EXCLUSIVE) : 0u) | (named ? ULONG(DO_DEVICE_HAS_NAME) : 0u);
    d->Characteristics = characteristics;
    d->DeviceType = deviceType;
    d->StackSize = 1;
    d->DeviceObjectExtension = static_cast<char*>(body) + head;
    IopDeviceExtension(d)->DeviceObject = d;
    d->DeviceExtension = extensionSize ? static_cast<char*>(body) + head + ext : nullptr;
    if (deviceType == FILE_DEVICE_DISK || deviceType == FILE_DEVICE_DISK_FILE_SYSTEM) d->SectorSize = 512;
    KeInitializeDeviceQueue(&d->DeviceQueue);
    KeInitializeEvent(&d->DeviceLock, SynchronizationEvent, TRUE);
    s = ObInsertObject(body, 0, 0, nullptr);
    if (!NT_SUCCESS(s)) return s;  // the body (and its driver reference) went with the failure
    {
        std::lock_guard<std::mutex> lock(IopDatabaseLock);
        d->NextDevice = driver->DeviceObject;
        driver->DeviceObject = d;
    }
    *device = d;
    return STATUS_SUCCESS;
}

void IoDeleteDevice(PDEVICE_OBJECT device)
{
    DEVOBJ_EXTENSION* ext = IopDeviceExtension(device);
    if (ext->ExtensionFlags & DOE_SHUTDOWN_REGISTERED) IoUnregisterShutdownNotification(device);
    {
        std::lock_guard<std::mutex> lock(IopDatabaseLock);
        ext->ExtensionFlags |= DOE_DELETE_PENDING;
        for (PDEVICE_OBJECT* p = &device->DriverObject->DeviceObject; *p; p = &(*p)->NextDevice)
            if (*p == device) {
                *p = device->NextDevice;
                break;
            }
        device->NextDevice = nullptr;
    }
    if (device->Flags & DO_DEVICE_HAS_NAME) ObMakeTemporaryObject(device);
    // Open file objects keep the body until their close request is done.
    ObfDereferenceObject(device);
}

PDEVICE_OBJECT IopTopOfStack(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> lock(IopDatabaseLock);
    while (device->AttachedDevice) device = device->AttachedDevice;
    return device;
}

PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT fileObject) { return IopTopOfStack(fileObject->DeviceObject); }

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT device)
{
    PDEVICE_OBJECT top = IopTopOfStack(device);
    ObfReferenceObject(top);
    return top;
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target)
{
    std::lock_guard<std::mutex> lock(IopDatabaseLock);
    PDEVICE_OBJECT top = target;
    while (top->AttachedDevice) top = top->AttachedDevice;
    if (IopDeviceExtension(top)->ExtensionFlags & DOE_DELETE_PENDING) return nullptr;
    top->AttachedDevice = source;
    source->StackSize = CCHAR(top->StackSize + 1);
    if (top->AlignmentRequirement > source->AlignmentRequirement)
        source->AlignmentRequirement = top->AlignmentRequirement;
    source->SectorSize = top->SectorSize;
    IopDeviceExtension(source)->AttachedTo = top;
    return top;
}

void IoDetachDevice(PDEVICE_OBJECT target)
{
    std::lock_guard<std::mutex> lock(IopDatabaseLock);
    if (PDEVICE_OBJECT up = target->AttachedDevice) IopDeviceExtension(up)->AttachedTo = nullptr;
    target->AttachedDevice = nullptr;
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING link, PUNICODE_STRING target)
{
    return ObpCreatePermanentLink(link, target);
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING link)
{
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, link, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE h;
    NTSTATUS s = ZwOpenSymbolicLinkObject(&h, DELETE, &oa);
    if (!NT_SUCCESS(s)) return s;
    ZwMakeTemporaryObject(h);
    ZwClose(h);
    return STATUS_SUCCESS;
}

NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING name, ACCESS_MASK access, PFILE_OBJECT* fileObject,
                                  PDEVICE_OBJECT* device)
{
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE h;
    IO_STATUS_BLOCK iosb{};
    NTSTATUS s = IopCreateFile(&h, access, &oa, &iosb, nullptr, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                               FILE_NON_DIRECTORY_FILE, KernelMode);
    if (!NT_SUCCESS(s)) return s;
    PVOID file;
    s = ObReferenceObjectByHandle(h, 0, IoFileObjectType, KernelMode, &file, nullptr);
    if (NT_SUCCESS(s)) {
        *fileObject = static_cast<PFILE_OBJECT>(file);
        *device = IoGetRelatedDeviceObject(*fileObject);
    }
    ZwClose(h);
    return s;
}

NTSTATUS IoRegisterShutdownNotification(PDEVICE_OBJECT device)
{
    ObfReferenceObject(device);
    std::lock_guard<std::mutex> lock(IopDatabaseLock);
    IopShutdownList.push_back(device);
    IopDeviceExtension(device)->ExtensionFlags |= DOE_SHUTDOWN_REGISTERED;
    return STATUS_SUCCESS;
}

void IoUnregisterShutdownNotification(PDEVICE_OBJECT device)
{
    bool found = false;
    {
        std::lock_guard<std::mutex> lock(IopDatabaseLock);
        auto it = std::find(IopShutdownList.begin(), IopShutdownList.end(), device);
        if (it != IopShutdownList.end()) {
            IopShutdownList.erase(it);
            found = true;
        }
        IopDeviceExtension(device)->ExtensionFlags &= ~ULONG(DOE_SHUTDOWN_REGISTERED);
    }
    if (found) ObfDereferenceObject(device);
}

// The registered devices, last registered first, each referenced.
std::vector<PDEVICE_OBJECT> IopTakeShutdownList()
{
    std::lock_guard<std::mutex> lock(IopDatabaseLock);
    std::vector<PDEVICE_OBJECT> out(IopShutdownList.rbegin(), IopShutdownList.rend());
    for (PDEVICE_OBJECT d : out) ObfReferenceObject(d);
    return out;
}
