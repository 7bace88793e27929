// ZARFSKD's start-up: the global record, one card instance per board that
// answers (preferences from the registry, hardware context with the board's
// start-up and volume discovery, control device, body-table cache), and
// shut-down and unload.

#include <cstdio>

#include "zarfs_driver.h"

ZARFS_GLOBAL* ZarFsGlobal = nullptr;

namespace {

// Registry key of a card: <service>\Parameters, or Parameters<n> for card n.
void CardKeyPath(ULONG card, PWCHAR buffer, ULONG chars)
{
    const UNICODE_STRING& base = ZarFsGlobal->RegistryPath;
    ULONG n = base.Length / sizeof(WCHAR);
    ULONG i = 0;
    for (; i < n && i + 1 < chars; ++i) buffer[i] = base.Buffer[i];
    const char* tail = "\\Parameters";
    for (; *tail && i + 1 < chars; ++tail) buffer[i++] = WCHAR(*tail);
    if (card != 0 && i + 1 < chars) buffer[i++] = WCHAR(u'0' + card);
    buffer[i] = 0;
}

// A value's first four bytes (its type is not checked); false when missing.
bool ReadDword(PCWSTR key, PCWSTR name, PULONG value)
{
    UNICODE_STRING keyName, valueName;
    RtlInitUnicodeString(&keyName, key);
    RtlInitUnicodeString(&valueName, name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    if (!NT_SUCCESS(ZwOpenKey(&handle, KEY_READ, &attributes))) return false;
    UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 64];
    ULONG length = 0;
    NTSTATUS status =
        ZwQueryValueKey(handle, &valueName, KeyValuePartialInformation, buffer, sizeof buffer, &length);
    ZwClose(handle);
    auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    if (!NT_SUCCESS(status) || info->DataLength < sizeof(ULONG)) return false;
    RtlCopyMemory(value, info->Data, sizeof(ULONG));
    return true;
}

void WriteDword(PCWSTR key, PCWSTR name, ULONG value)
{
    RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, key, name, REG_DWORD, &value, sizeof value);
}

// The values of ZAR_FILE_SYSTEM_PREFS kept as REG_DWORDs, with their defaults.
struct PrefValue {
    PCWSTR name;
    size_t offset;
    ULONG byDefault;
};
constexpr PrefValue kPrefValues[] = {
    {u"MinFrameDigits", offsetof(ZAR_FILE_SYSTEM_PREFS, MinFrameDigits), 4},
    {u"BaseFrameNumber", offsetof(ZAR_FILE_SYSTEM_PREFS, BaseFrameNumber), 0},
    {u"HCrop", offsetof(ZAR_FILE_SYSTEM_PREFS, HCrop), 0},
    {u"VCrop", offsetof(ZAR_FILE_SYSTEM_PREFS, VCrop), 0},
    {u"RAMFileMaxSize", offsetof(ZAR_FILE_SYSTEM_PREFS, RAMFileMaxSize), 0x200000},
    {u"TotalRAMFiles", offsetof(ZAR_FILE_SYSTEM_PREFS, TotalRAMFiles), 10},
    {u"ImportProcessingVideo", offsetof(ZAR_FILE_SYSTEM_PREFS, ImportProcessingVideo), 0},
    {u"ImportProcessingAlpha", offsetof(ZAR_FILE_SYSTEM_PREFS, ImportProcessingAlpha), 0},
};

// The file-system preferences; a value missing or shorter than 4 bytes
// takes its default, and nothing is written back.
void ReadPreferences(ULONG card, ZAR_FILE_SYSTEM_PREFS* prefs)
{
    WCHAR key[512];
    CardKeyPath(card, key, 512);
    RtlZeroMemory(prefs, sizeof *prefs);
    auto* bytes = reinterpret_cast<PUCHAR>(prefs);
    for (const PrefValue& v : kPrefValues) {
        ULONG value = v.byDefault;
        if (!ReadDword(key, v.name, &value)) value = v.byDefault;
        RtlCopyMemory(bytes + v.offset, &value, sizeof value);
    }
    if (prefs->MinFrameDigits > ZARFS_MAX_FRAME_DIGITS) prefs->MinFrameDigits = ZARFS_MAX_FRAME_DIGITS;
}

// ScsiMaxRetries and ScsiVerifyWrite; a missing, unreadable or 0xFFFFFFFF
// value takes its default, and then both are written back.
void ReadScsiPrefs(ULONG card, ZARFS_SCSI_PREFS* prefs)
{
    WCHAR key[512];
    CardKeyPath(card, key, 512);
    bool defaulted = false;
    if (!ReadDword(key, u"ScsiMaxRetries", &prefs->RetryCount) || prefs->RetryCount == 0xFFFFFFFF) {
        prefs->RetryCount = ZARFS_DEFAULT_RETRIES;
        defaulted = true;
    }
    if (!ReadDword(key, u"ScsiVerifyWrite", &prefs->VerifyWrite) || prefs->VerifyWrite == 0xFFFFFFFF) {
        prefs->VerifyWrite = ZARFS_DEFAULT_VERIFY;
        defaulted = true;
    }
    if (defaulted) {
        RtlCreateRegistryKey(RTL_REGISTRY_ABSOLUTE, key);
        WriteDword(key, u"ScsiMaxRetries", prefs->RetryCount);
        WriteDword(key, u"ScsiVerifyWrite", prefs->VerifyWrite);
    }
}

// DriveLetter0 (REG_SZ, its first character), else 'P' + card.
WCHAR ReadDriveLetter(ULONG card)
{
    WCHAR key[512];
    CardKeyPath(card, key, 512);
    ULONG first = 0;
    // Only a letter names a drive; anything else in the value is ignored.
    if (ReadDword(key, u"DriveLetter0", &first)) {
        WCHAR letter = RtlUpcaseUnicodeChar(WCHAR(first & 0xFFFF));
        if (letter >= u'A' && letter <= u'Z') return letter;
    }
    return WCHAR(u'P' + card);
}

void MakeName(PWCHAR buffer, const char* prefix, ULONG card, UNICODE_STRING* name)
{
    ULONG i = 0;
    for (; *prefix; ++prefix) buffer[i++] = WCHAR(*prefix);
    buffer[i++] = WCHAR(u'0' + card);
    buffer[i] = 0;
    RtlInitUnicodeString(name, buffer);
}

void LogInit(NTSTATUS status, const char* text)
{
    ZarFsGlobLogEvent(ZarFsGlobal->DriverObject, ZARFS_MSG_INIT_ERROR, status, nullptr, 0, text,
                      static_cast<const char*>(nullptr));
}

NTSTATUS CreateControlDevice(ZARFS_CARD_INSTANCE* card)
{
    MakeName(card->ControlNameBuffer, "\\Device\\ZarFsDevice", card->Card, &card->ControlName);
    MakeName(card->ControlLinkBuffer, "\\DosDevices\\ZarFsDevice", card->Card, &card->ControlLink);
    NTSTATUS status = IoCreateDevice(ZarFsGlobal->DriverObject, sizeof(ZARFS_DEVICE_EXTENSION), &card->ControlName,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &card->ControlDevice);
    if (!NT_SUCCESS(status)) {
        LogInit(status, "Create device obj. failed");
        return status;
    }
    card->Flags |= ZARFS_CARD_CONTROL_DEVICE;
    card->ControlDevice->Flags |= DO_DIRECT_IO;
    auto* ext = static_cast<ZARFS_DEVICE_EXTENSION*>(card->ControlDevice->DeviceExtension);
    ext->Kind = ZARFS_DEVICE_CONTROL;
    ext->Card = card;
    card->Flags |= ZARFS_CARD_CONTROL_EXTENSION;
    status = IoCreateSymbolicLink(&card->ControlLink, &card->ControlName);
    if (!NT_SUCCESS(status)) {
        LogInit(status, "Create device symb. link failed");
        return status;
    }
    card->Flags |= ZARFS_CARD_CONTROL_LINK;
    return STATUS_SUCCESS;
}

// \DosDevices\<letter>: for the media drive; a letter that is taken moves
// on to the next ('Z' wraps to 'A'), 27 tries in all.
NTSTATUS LinkDriveLetter(ZARFS_CARD_INSTANCE* card)
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    WCHAR letter = card->DriveLetter;
    for (ULONG attempt = 0; attempt < 27; ++attempt) {
        ULONG i = 0;
        for (const char* p = "\\DosDevices\\"; *p; ++p) card->DiskLinkBuffer[i++] = WCHAR(*p);
        card->DiskLinkBuffer[i++] = letter;
        card->DiskLinkBuffer[i++] = u':';
        card->DiskLinkBuffer[i] = 0;
        RtlInitUnicodeString(&card->DiskLink, card->DiskLinkBuffer);
        status = IoCreateSymbolicLink(&card->DiskLink, &card->DiskName);
        if (NT_SUCCESS(status)) {
            card->DriveLetter = letter;
            card->Hw.DriveLetter = letter;
            return status;
        }
        letter = letter == u'Z' ? u'A' : WCHAR(letter + 1);
    }
    return status;
}

NTSTATUS CreateDiskDevice(ZARFS_CARD_INSTANCE* card)
{
    MakeName(card->DiskNameBuffer, "\\Device\\ZarFsDiskDevice", card->Card, &card->DiskName);
    NTSTATUS status = IoCreateDevice(ZarFsGlobal->DriverObject, sizeof(ZARFS_DEVICE_EXTENSION), &card->DiskName,
                                     FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, &card->DiskDevice);
    if (!NT_SUCCESS(status)) {
        LogInit(status, "Create disk device obj. failed");
        return status;
    }
    card->Flags |= ZARFS_CARD_DISK_DEVICE;
    card->DiskDevice->Flags |= DO_DIRECT_IO;
    auto* ext = static_cast<ZARFS_DEVICE_EXTENSION*>(card->DiskDevice->DeviceExtension);
    ext->Kind = ZARFS_DEVICE_DISK;
    ext->Card = card;
    status = ZarFsVCBInitialize(&card->Vcb, card, card->DiskDevice);
    if (!NT_SUCCESS(status)) return status;
    card->Flags |= ZARFS_CARD_VCB;
    status = LinkDriveLetter(card);
    if (!NT_SUCCESS(status)) {
        LogInit(status, "Create disk device symb. link failed");
        return status;
    }
    card->Flags |= ZARFS_CARD_DISK_LINK;
    return STATUS_SUCCESS;
}

void FreeCardInstance(ZARFS_CARD_INSTANCE* card)
{
    // The service's pending requests go first: nothing will fill them now.
    if (card->Flags & ZARFS_CARD_SERVICE) ZarFsSReqCleanup(&card->Service);
    if (card->Flags & ZARFS_CARD_BT_CACHE) ZarFsBTFreeHandler(&card->BodyTables);
    if (card->Flags & ZARFS_CARD_DISK_LINK) IoDeleteSymbolicLink(&card->DiskLink);
    if (card->Flags & ZARFS_CARD_VCB) ZarFsVCBFree(&card->Vcb);
    if (card->Flags & ZARFS_CARD_DISK_DEVICE) IoDeleteDevice(card->DiskDevice);
    if (card->Flags & ZARFS_CARD_HW) ZarFsHwFree(&card->Hw);
    if (card->Flags & ZARFS_CARD_CONTROL_LINK) IoDeleteSymbolicLink(&card->ControlLink);
    if (card->Flags & ZARFS_CARD_CONTROL_DEVICE) IoDeleteDevice(card->ControlDevice);
    if (card->Flags & ZARFS_CARD_RESOURCE) ExDeleteResourceLite(&card->Resource);
    card->Flags = 0;
    ExFreePoolWithTag(card, ZARFS_POOL_TAG);
}

NTSTATUS InitializeCardInstance(ZARFS_CARD_INSTANCE* card, ULONG n)
{
    RtlZeroMemory(card, sizeof *card);
    card->Card = n;
    card->DriveLetter = ReadDriveLetter(n);
    ReadPreferences(n, &card->Prefs);
    ExInitializeResourceLite(&card->Resource);
    card->Flags |= ZARFS_CARD_RESOURCE;
    // The disk-access preferences apply to the discovery at start-up too.
    ReadScsiPrefs(n, &card->ScsiPrefs);
    card->Flags |= ZARFS_CARD_HW;
    NTSTATUS status = ZarFsHwInitialize(&card->Hw, n, card->DriveLetter, ZarFsGlobal->DriverObject,
                                        &ZarFsGlobal->Segments, &card->ScsiPrefs);
    if (!NT_SUCCESS(status)) return status;
    status = CreateControlDevice(card);
    if (!NT_SUCCESS(status)) return status;
    status = CreateDiskDevice(card);
    if (!NT_SUCCESS(status)) return status;
    ZarFsSReqInitialize(&card->Service, ZarFsGlobal->DriverObject);
    card->Flags |= ZARFS_CARD_SERVICE;
    card->Prefs.DriveLetter = UCHAR(card->DriveLetter);
    status = ZarFsBTInitHandler(&card->BodyTables, &card->Hw, card->DriveLetter);
    card->Flags |= ZARFS_CARD_BT_CACHE;
    if (!NT_SUCCESS(status)) LogInit(status, "Init. body table cache handler failed");
    return status;
}

NTSTATUS InitializeCardInstances()
{
    NTSTATUS last = STATUS_NO_SUCH_DEVICE;
    bool any = false;
    for (ULONG n = 0; n < ZARFS_MAX_CARDS; ++n) {
        auto* card = static_cast<ZARFS_CARD_INSTANCE*>(
            ExAllocatePoolWithTag(NonPagedPool, sizeof(ZARFS_CARD_INSTANCE), ZARFS_POOL_TAG));
        if (card == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        NTSTATUS status = InitializeCardInstance(card, n);
        if (NT_SUCCESS(status)) {
            InsertTailList(&ZarFsGlobal->Cards, &card->Link);
            any = true;
        } else {
            FreeCardInstance(card);
            last = status;
        }
    }
    return any ? STATUS_SUCCESS : last;
}

}  // namespace

void ZarFsGlobSetPreferences(ZARFS_CARD_INSTANCE* card)
{
    WCHAR key[512];
    CardKeyPath(card->Card, key, 512);
    RtlCreateRegistryKey(RTL_REGISTRY_ABSOLUTE, key);
    const auto* bytes = reinterpret_cast<const UCHAR*>(&card->Prefs);
    for (const PrefValue& v : kPrefValues) {
        ULONG value;
        RtlCopyMemory(&value, bytes + v.offset, sizeof value);
        WriteDword(key, v.name, value);
    }
    WCHAR letter[2] = {WCHAR(card->Prefs.DriveLetter), 0};
    RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, key, u"DriveLetter0", REG_SZ, letter, sizeof letter);
}

void ZarFsGlobSetScsiPrefs(ZARFS_CARD_INSTANCE* card)
{
    WCHAR key[512];
    CardKeyPath(card->Card, key, 512);
    RtlCreateRegistryKey(RTL_REGISTRY_ABSOLUTE, key);
    WriteDword(key, u"ScsiMaxRetries", card->ScsiPrefs.RetryCount);
    WriteDword(key, u"ScsiVerifyWrite", card->ScsiPrefs.VerifyWrite);
}

NTSTATUS ZarFsGlobChangeDriveLetter(ZARFS_CARD_INSTANCE* card, WCHAR letter)
{
    if (letter == card->DriveLetter) return STATUS_SUCCESS;
    WCHAR old = card->DriveLetter;
    if (card->Flags & ZARFS_CARD_DISK_LINK) IoDeleteSymbolicLink(&card->DiskLink);
    card->Flags &= ~ZARFS_CARD_DISK_LINK;
    card->DriveLetter = letter;
    NTSTATUS status = LinkDriveLetter(card);
    if (!NT_SUCCESS(status)) {
        card->DriveLetter = old;
        if (NT_SUCCESS(LinkDriveLetter(card))) card->Flags |= ZARFS_CARD_DISK_LINK;
        return status;
    }
    card->Flags |= ZARFS_CARD_DISK_LINK;
    card->BodyTables.DriveLetter = card->DriveLetter;
    return STATUS_SUCCESS;
}

ZARFS_CARD_INSTANCE* ZarFsGlobFindCard(ULONG n)
{
    if (ZarFsGlobal == nullptr) return nullptr;
    for (PLIST_ENTRY e = ZarFsGlobal->Cards.Flink; e != &ZarFsGlobal->Cards; e = e->Flink) {
        auto* card = CONTAINING_RECORD(e, ZARFS_CARD_INSTANCE, Link);
        if (card->Card == n) return card;
    }
    return nullptr;
}

NTSTATUS ZarFsCopyName(UNICODE_STRING* to, PCUNICODE_STRING from, ULONG tag)
{
    to->Buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, from->Length + sizeof(WCHAR), tag));
    if (to->Buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(to->Buffer, from->Buffer, from->Length);
    to->Buffer[from->Length / sizeof(WCHAR)] = 0;
    to->Length = from->Length;
    to->MaximumLength = USHORT(from->Length + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS ZarFsDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    driverObject->DriverUnload = ZarFsInitUnload;
    driverObject->MajorFunction[IRP_MJ_CREATE] = ZarFsCreate;
    driverObject->MajorFunction[IRP_MJ_CLEANUP] = ZarFsCleanup;
    driverObject->MajorFunction[IRP_MJ_CLOSE] = ZarFsClose;
    driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ZarFsDeviceIOCTL;
    driverObject->MajorFunction[IRP_MJ_SHUTDOWN] = ZarFsInitShutdown;
    driverObject->MajorFunction[IRP_MJ_READ] = ZarFsRead;
    driverObject->MajorFunction[IRP_MJ_WRITE] = ZarFsWrite;
    driverObject->MajorFunction[IRP_MJ_QUERY_INFORMATION] = ZarFsQueryInformation;
    driverObject->MajorFunction[IRP_MJ_SET_INFORMATION] = ZarFsSetInformation;
    driverObject->MajorFunction[IRP_MJ_QUERY_VOLUME_INFORMATION] = ZarFsQueryVolumeInformation;
    driverObject->MajorFunction[IRP_MJ_SET_VOLUME_INFORMATION] = ZarFsSetVolumeInformation;
    driverObject->MajorFunction[IRP_MJ_DIRECTORY_CONTROL] = ZarFsDirectoryCtrl;
    driverObject->MajorFunction[IRP_MJ_FILE_SYSTEM_CONTROL] = ZarFsFileSystemCtrl;
    driverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = ZarFsFlushBuffers;

    ZarFsGlobal = static_cast<ZARFS_GLOBAL*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(ZARFS_GLOBAL), ZARFS_POOL_TAG));
    if (ZarFsGlobal == nullptr) {
        ZarFsGlobLogEvent(driverObject, ZARFS_MSG_INIT_ERROR, STATUS_INSUFFICIENT_RESOURCES, nullptr, 0,
                          "Global mem. alloc failed", static_cast<const char*>(nullptr));
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(ZarFsGlobal, sizeof *ZarFsGlobal);
    ZarFsGlobal->DriverObject = driverObject;
    InitializeListHead(&ZarFsGlobal->Cards);
    if (!NT_SUCCESS(ZarFsCopyName(&ZarFsGlobal->RegistryPath, registryPath, ZARFS_POOL_TAG))) {
        LogInit(STATUS_INSUFFICIENT_RESOURCES, "Registry path alloc. failed");
        ZarFsInitUnload(driverObject);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    ZarFsGlobInitializeFileTypes();
    ZarFsVolAllocInitializeSegmentList(&ZarFsGlobal->Segments);
    ZarFsGlobal->Flags |= ZARFS_GLOBAL_SEGMENTS;
    NTSTATUS status = InitializeCardInstances();
    ZarFsGlobal->Flags |= ZARFS_GLOBAL_CARDS;
    if (NT_SUCCESS(status)) {
        auto* first = CONTAINING_RECORD(ZarFsGlobal->Cards.Flink, ZARFS_CARD_INSTANCE, Link);
        IoRegisterShutdownNotification(first->ControlDevice);
    } else {
        ZarFsInitUnload(driverObject);
    }
    return status;
}

NTSTATUS ZarFsInitShutdown(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    if (ZarFsGlobal != nullptr) {
        for (PLIST_ENTRY e = ZarFsGlobal->Cards.Flink; e != &ZarFsGlobal->Cards; e = e->Flink) {
            auto* card = CONTAINING_RECORD(e, ZARFS_CARD_INSTANCE, Link);
            ZarFsBTFlushUnrefObjects(&card->BodyTables);
            ZarFsBTFlushRefObjects(&card->BodyTables);
        }
    }
    return ZarFsCompleteRequest(irp, STATUS_SUCCESS, 0);
}

void ZarFsInitUnload(PDRIVER_OBJECT driverObject)
{
    (void)driverObject;
    if (ZarFsGlobal == nullptr) return;
    if (ZarFsGlobal->Flags & ZARFS_GLOBAL_CARDS) {
        if (!IsListEmpty(&ZarFsGlobal->Cards)) {
            auto* first = CONTAINING_RECORD(ZarFsGlobal->Cards.Flink, ZARFS_CARD_INSTANCE, Link);
            IoUnregisterShutdownNotification(first->ControlDevice);
        }
        while (!IsListEmpty(&ZarFsGlobal->Cards))
            FreeCardInstance(CONTAINING_RECORD(RemoveHeadList(&ZarFsGlobal->Cards), ZARFS_CARD_INSTANCE, Link));
    }
    if (ZarFsGlobal->Flags & ZARFS_GLOBAL_SEGMENTS) ExDeletePagedLookasideList(&ZarFsGlobal->Segments);
    if (ZarFsGlobal->RegistryPath.Buffer != nullptr) ExFreePoolWithTag(ZarFsGlobal->RegistryPath.Buffer, ZARFS_POOL_TAG);
    ExFreePoolWithTag(ZarFsGlobal, ZARFS_POOL_TAG);
    ZarFsGlobal = nullptr;
}
