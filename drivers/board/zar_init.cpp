// Start-up of ZARKD: the driver-wide parameters, the PCI scan for the
// boards' bridges, and board by board the device, its PCI resources, its
// initialisation and the board-level registry settings.
//
// Registry: the driver reads REG_DWORD values under its service key,
// Parameters for board 0 and Parameters<n> for board n, each with a PCI
// subkey. A value of any other type counts as missing.

#include <iterator>

#include "include/zarkd_msg.h"
#include "zar_audio.h"
#include "zar_boardsetup.h"
#include "zar_brs.h"
#include "zar_device.h"
#include "zar_dispatch.h"
#include "zar_dve.h"
#include "zar_eventlog.h"
#include "zar_extension.h"
#include "zar_i2c.h"
#include "zar_init.h"
#include "zar_ioctl.h"
#include "zar_timecode.h"
#include "zar_unload.h"
#include "zar_videochips.h"

namespace {

const WCHAR kParametersKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ZARKD\\Parameters";

constexpr ULONG kPathChars = 128;

// Builds the key of a board's parameters, optionally with a subkey
// ("PCI"). Board n (1-9) uses the digit n after "Parameters".
void ZarParametersPath(WCHAR (&path)[kPathChars], ULONG board, const WCHAR* subkey)
{
    ULONG length = 0;
    for (const WCHAR* s = kParametersKey; *s != 0; ++s) path[length++] = *s;
    if (board != 0) path[length++] = WCHAR(u'0' + board % 10);
    if (subkey != nullptr) {
        path[length++] = u'\\';
        for (const WCHAR* s = subkey; *s != 0; ++s) path[length++] = *s;
    }
    path[length] = 0;
}

NTSTATUS ZarQueryDwordRoutine(PWSTR, ULONG valueType, PVOID valueData, ULONG valueLength, PVOID, PVOID entryContext)
{
    if (valueType != REG_DWORD || valueLength != sizeof(ULONG)) return STATUS_OBJECT_TYPE_MISMATCH;
    *static_cast<PULONG>(entryContext) = *static_cast<PULONG>(valueData);
    return STATUS_SUCCESS;
}

// Reads one value. A required value that is missing fails the query; an
// optional one leaves *value as the caller pre-set it.
NTSTATUS ZarReadRegDword(const WCHAR* path, const WCHAR* valueName, PULONG value, bool required)
{
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].QueryRoutine = ZarQueryDwordRoutine;
    table[0].Flags = required ? ULONG(RTL_QUERY_REGISTRY_REQUIRED) : 0u;
    table[0].Name = const_cast<PWSTR>(valueName);
    table[0].EntryContext = value;
    table[0].DefaultType = REG_NONE;
    return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path, table, nullptr, nullptr);
}

NTSTATUS ZarQueryAnyRoutine(PWSTR, ULONG, PVOID, ULONG, PVOID, PVOID) { return STATUS_SUCCESS; }

// Writes a defaulted value to ZARKD\Parameters, creating the key first. A
// value already there under that name (one of another type that the read
// refused) is the user's and stays as it is; the default applies all the same.
NTSTATUS ZarWriteRegDefault(const WCHAR* valueName, ULONG value)
{
    WCHAR path[kPathChars];
    ZarParametersPath(path, 0, nullptr);
    NTSTATUS status = RtlCreateRegistryKey(RTL_REGISTRY_ABSOLUTE, path);
    if (!NT_SUCCESS(status)) return status;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].QueryRoutine = ZarQueryAnyRoutine;
    table[0].Flags = RTL_QUERY_REGISTRY_REQUIRED;
    table[0].Name = const_cast<PWSTR>(valueName);
    table[0].DefaultType = REG_NONE;
    if (RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path, table, nullptr, nullptr) != STATUS_OBJECT_NAME_NOT_FOUND)
        return STATUS_SUCCESS;
    return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, path, valueName, REG_DWORD, &value, sizeof(value));
}

void ZarAppendDecimal(PWCHAR buffer, ULONG& length, ULONG value)
{
    WCHAR digits[10];
    ULONG count = 0;
    do {
        digits[count++] = WCHAR(u'0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count != 0) buffer[length++] = digits[--count];
    buffer[length] = 0;
}

void ZarFreeHardwareTable(PZAR_HARDWARE_INFO table[ZAR_MAX_BOARDS], ULONG first)
{
    for (ULONG n = first; n < ZAR_MAX_BOARDS; ++n) {
        if (table[n] != nullptr) ZarReleaseDeviceBlock(table[n]);
        table[n] = nullptr;
    }
}

// Releases every board the driver has set up and the records of the boards
// not reached yet: a failed start leaves nothing behind.
void ZarAbandonStart(PDRIVER_OBJECT driverObject, PZAR_HARDWARE_INFO hardwareTable[ZAR_MAX_BOARDS],
                     PDEVICE_OBJECT deviceTable[ZAR_MAX_BOARDS])
{
    for (ULONG n = 0; n < ZAR_MAX_BOARDS; ++n) {
        if (deviceTable[n] != nullptr) {
            ZarReleaseHardware(driverObject, deviceTable[n]);  // frees the record too
            hardwareTable[n] = nullptr;
            deviceTable[n] = nullptr;
        }
    }
    ZarFreeHardwareTable(hardwareTable, 0);
}

// The board-level settings of ZARKD\Parameters, read for every board.
void ZarReadDriverSettings(PZAR_DEVICE_EXTENSION ext)
{
    WCHAR path[kPathChars];
    ZarParametersPath(path, 0, nullptr);

    ULONG words = ZAR_DEFAULT_DVE_WTIC_DMA_WORDS;
    ZarReadRegDword(path, u"DveWticDmaSizeWords", &words, false);
    ext->DveWticDmaSizeWords = ZarClampDveWticDmaSize(words);

    ULONG flag = 0;
    ZarReadRegDword(path, u"DisableAudioFifoResets", &flag, false);
    ext->DisableAudioFifoResets = flag != 0;
    flag = 0;
    ZarReadRegDword(path, u"AudioUnderflowLogging", &flag, false);
    ext->AudioUnderflowLogging = flag != 0;
    flag = 0;
    ZarReadRegDword(path, u"SensitiveTiming", &flag, false);
    ext->SensitiveTiming = flag != 0;
    flag = 0;
    ZarReadRegDword(path, u"ShortBlankingWait", &flag, false);
    ext->ShortBlankingWait = flag != 0;

    ext->BlackAdjust = ZAR_DEFAULT_BLACK_ADJUST;
    ZarReadRegDword(path, u"BlackAdjust", &ext->BlackAdjust, false);
    ext->DmaTweakV = ZAR_REG_UNSET;
    ZarReadRegDword(path, u"DmaTweakV", &ext->DmaTweakV, false);
    ext->DmaTweakA = ZAR_REG_UNSET;
    ZarReadRegDword(path, u"DmaTweakA", &ext->DmaTweakA, false);
}

// The bridge's latency timer from the board's LatencyOverride. Only the one
// byte is written back: the rest of configuration space (BARs, command
// register) was set by the HAL after the scan copied it.
void ZarApplyLatencyOverride(ULONG board, PZAR_HARDWARE_INFO hardwareInfo)
{
    WCHAR path[kPathChars];
    ZarParametersPath(path, board, u"PCI");
    ULONG latencyOverride = ZAR_REG_UNSET;
    ZarReadRegDword(path, u"LatencyOverride", &latencyOverride, false);

    constexpr ULONG kLatencyOffset = offsetof(PCI_COMMON_CONFIG, LatencyTimer);
    UCHAR current = hardwareInfo->PciConfig[kLatencyOffset];
    UCHAR timer = ZarLatencyTimerFor(latencyOverride, current);
    if (timer == current) return;
    hardwareInfo->PciConfig[kLatencyOffset] = timer;
    HalSetBusDataByOffset(PCIConfiguration, hardwareInfo->BusNumber, hardwareInfo->SlotNumber, &timer,
                          kLatencyOffset, 1);
}

// The EEPROM's option words; a rejected EEPROM leaves both 0.
void ZarReadEepromOptions(PZAR_DEVICE_EXTENSION ext)
{
    ext->Eeprom625Support = 0;
    ext->Eeprom24FpsSupport = 0;
    if (!ZarDcIsValidEeprom(ext)) return;

    ULONG word = 0;
    NTSTATUS status = ZarDcReadEepromByte(ext, 16, &word);
    ZarApply625Support(ext, status, word);

    word = 0;
    status = ZarDcReadEepromByte(ext, 48, &word);
    ext->Eeprom24FpsSupport = NT_SUCCESS(status) ? word : 0;
}

}  // namespace

void ZarMakeBoardName(PWCHAR buffer, const WCHAR* prefix, ULONG board, PUNICODE_STRING name)
{
    ULONG length = 0;
    for (const WCHAR* s = prefix; *s != 0; ++s) buffer[length++] = *s;
    ZarAppendDecimal(buffer, length, board);
    RtlInitUnicodeString(name, buffer);
}

void ZarSetLineCounts(PZAR_DEVICE_EXTENSION ext)
{
    if (ext->Standard == ZAR_STANDARD_625) {
        ext->ActiveLinesPerField = 288;
        ext->ActiveLinesPerFrame = 576;
        ext->UncompressedFieldBlocks = 810;
    } else {
        ext->ActiveLinesPerField = 243;
        ext->ActiveLinesPerFrame = 486;
        ext->UncompressedFieldBlocks = 684;
    }
}

void ZarApply625Support(PZAR_DEVICE_EXTENSION ext, NTSTATUS readStatus, ULONG optionWord)
{
    ext->Eeprom625Support = NT_SUCCESS(readStatus) ? optionWord : 0;
    if (!NT_SUCCESS(readStatus) || optionWord != 0 || ext->Standard != ZAR_STANDARD_625) return;
    ZarLogEvent(ext->DriverObject, ext->EventLogLevel, ZAR_MSG_NO_625_SUPPORT, STATUS_SUCCESS);
    ext->Standard = ZAR_STANDARD_525;
    // The line counts were set for 625 before the EEPROM could be read.
    ZarSetLineCounts(ext);
}

UCHAR ZarLatencyTimerFor(ULONG latencyOverride, UCHAR current)
{
    if (latencyOverride == ZAR_REG_UNSET) return current < 128 ? 128 : current;
    if (latencyOverride == 0) return current;
    if (latencyOverride <= 8) return 8;
    if (latencyOverride >= 240) return 240;
    return UCHAR(latencyOverride);
}

ULONG ZarClampDveWticDmaSize(ULONG words)
{
    if (words < 4) return 4;
    if (words > 4096) return 4096;
    return words;
}

NTSTATUS ZarIncPciSlotNumber(PCI_SLOT_NUMBER* slot, ULONG mode)
{
    ULONG device = slot->bits.DeviceNumber;
    ULONG function = slot->bits.FunctionNumber;
    switch (mode) {
    case 0:
        if (function < 7) {
            ++function;
        } else {
            function = 0;
            ++device;
        }
        break;
    case 1:
        function = 0;
        ++device;
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    if (device > 31) return STATUS_UNSUCCESSFUL;
    slot->bits.DeviceNumber = device;
    slot->bits.FunctionNumber = function;
    return STATUS_SUCCESS;
}

NTSTATUS ZarGetHardwareInfo(PUNICODE_STRING, PZAR_HARDWARE_INFO table[ZAR_MAX_BOARDS])
{
    ULONG count = 0;
    bool boardFound = false;

    for (ULONG bus = 0; count < ZAR_MAX_BOARDS; ++bus) {
        PCI_SLOT_NUMBER slot;
        slot.AsULONG = 0;
        for (;;) {
            PCI_COMMON_CONFIG config;
            RtlZeroMemory(&config, sizeof(config));
            ULONG got = HalGetBusData(PCIConfiguration, bus, slot.AsULONG, &config, sizeof(config));
            if (got == 0) goto scanned;  // no such bus: the buses end here

            ULONG step = 0;
            if (config.VendorID == PCI_INVALID_VENDORID) {
                step = 1;
            } else if (config.VendorID == ZAR_BRIDGE_VENDOR_ID && config.DeviceID == ZAR_BRIDGE_DEVICE_ID) {
                auto* record = static_cast<PZAR_HARDWARE_INFO>(
                    ExAllocatePoolWithTag(NonPagedPool, sizeof(ZAR_HARDWARE_INFO), ZAR_TAG_HARDWARE_INFO));
                if (record == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
                RtlZeroMemory(record, sizeof(*record));
                RtlCopyMemory(record->PciConfig, &config, sizeof(record->PciConfig));
                record->BusNumber = bus;
                record->SlotNumber = slot.AsULONG;

                if (ZarIsBoardSubsystem(config.SubVendorID, config.SubSystemID)) {
                    // A real board outranks every foreign bridge seen before it.
                    if (!boardFound) {
                        for (ULONG n = 0; n < count; ++n) {
                            ZarReleaseDeviceBlock(table[n]);
                            table[n] = nullptr;
                        }
                        count = 0;
                        boardFound = true;
                    }
                    record->BoardState = ZAR_BOARD_STATE_BOARD;
                    table[count++] = record;
                } else if (boardFound) {
                    ZarReleaseDeviceBlock(record);
                } else {
                    record->BoardState = ZAR_BOARD_STATE_BRIDGE_ONLY;
                    table[count++] = record;
                }
                if (count == ZAR_MAX_BOARDS) goto scanned;
            }
            if (!NT_SUCCESS(ZarIncPciSlotNumber(&slot, step))) break;
        }
    }
scanned:
    if (boardFound) return STATUS_SUCCESS;
    return count != 0 ? STATUS_INVALID_DEVICE_STATE : STATUS_NOT_FOUND;
}

NTSTATUS ZarGetRegParameters(ULONG board, PULONG eventLogLevel, PULONG standard, PULONG coreMode)
{
    WCHAR boardPath[kPathChars];
    ZarParametersPath(boardPath, board, nullptr);

    if (!NT_SUCCESS(ZarReadRegDword(boardPath, u"EventLogLevel", eventLogLevel, true)) &&
        !NT_SUCCESS(ZarWriteRegDefault(u"EventLogLevel", *eventLogLevel)))
        return STATUS_SUCCESS;

    if (!NT_SUCCESS(ZarReadRegDword(boardPath, u"Standard", standard, true)) &&
        !NT_SUCCESS(ZarWriteRegDefault(u"Standard", *standard)))
        return STATUS_SUCCESS;
    // The value is often typed as the hex spelling of the line count.
    if (*standard == ZAR_STANDARD_525_HEX) *standard = ZAR_STANDARD_525;
    if (*standard == ZAR_STANDARD_625_HEX) *standard = ZAR_STANDARD_625;

    WCHAR mainPath[kPathChars];
    ZarParametersPath(mainPath, 0, nullptr);
    if (!NT_SUCCESS(ZarReadRegDword(mainPath, u"CoreMode", coreMode, true))) *coreMode = ZAR_DEFAULT_CORE_MODE;
    return STATUS_SUCCESS;
}

NTSTATUS ZarCreateDevice(PDRIVER_OBJECT driverObject, PZAR_HARDWARE_INFO hardwareInfo, PDEVICE_OBJECT* deviceObject,
                         ULONG eventLogLevel, ULONG board)
{
    WCHAR deviceBuffer[32];
    UNICODE_STRING deviceName;
    ZarMakeBoardName(deviceBuffer, u"\\Device\\Zar", board, &deviceName);

    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driverObject, ZAR_DEVICE_EXTENSION_SIZE, &deviceName, FILE_DEVICE_UNKNOWN, 0,
                                     FALSE, &device);
    if (!NT_SUCCESS(status)) {
        ZarLogEvent(driverObject, eventLogLevel, ZAR_MSG_DEVICE_CREATE_FAILED, status);
        return status;
    }
    device->Flags |= DO_DIRECT_IO;

    auto* ext = ZarExtension(device);
    RtlZeroMemory(ext, sizeof(ZAR_DEVICE_EXTENSION));
    ext->DriverObject = driverObject;
    ext->DeviceObject = device;
    ext->HardwareInfo = hardwareInfo;
    ext->EventLogLevel = eventLogLevel;
    ext->BoardNumber = board;
    ext->DmaTweakV = ZAR_REG_UNSET;
    ext->DmaTweakA = ZAR_REG_UNSET;

    WCHAR linkBuffer[32];
    UNICODE_STRING linkName;
    ZarMakeBoardName(linkBuffer, u"\\??\\KIVZAR", board, &linkName);
    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (NT_SUCCESS(status) && board == 0) {
        // Older callers open board 0 by its first name.
        UNICODE_STRING legacyName = RTL_CONSTANT_STRING(u"\\??\\ZAR1");
        status = IoCreateSymbolicLink(&legacyName, &deviceName);
        if (!NT_SUCCESS(status)) IoDeleteSymbolicLink(&linkName);
    }
    if (!NT_SUCCESS(status)) {
        ZarLogEvent(driverObject, eventLogLevel, ZAR_MSG_SYMBOLIC_LINK_FAILED, status);
        IoDeleteDevice(device);
        return status;
    }
    *deviceObject = device;
    return STATUS_SUCCESS;
}

NTSTATUS ZarReportHardwareUsage(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT deviceObject,
                                PUNICODE_STRING registryPath, PZAR_HARDWARE_INFO hardwareInfo)
{
    // A foreign bridge is only looked at, never claimed.
    if (hardwareInfo->BoardState != ZAR_BOARD_STATE_BOARD) return STATUS_SUCCESS;

    ULONG level = ZarExtension(deviceObject)->EventLogLevel;
    PCM_RESOURCE_LIST resources = nullptr;
    NTSTATUS status = HalAssignSlotResources(registryPath, nullptr, driverObject, deviceObject, PCIBus,
                                             hardwareInfo->BusNumber, hardwareInfo->SlotNumber, &resources);
    if (!NT_SUCCESS(status)) {
        ZarLogEvent(driverObject, level, ZAR_MSG_RESOURCE_ALLOC_FAILED, status);
        return status;
    }

    ULONG failure = 0;
    bool haveMemory = false, haveInterrupt = false;
    if (resources->Count < 1 || resources->List[0].InterfaceType != PCIBus) {
        failure = ZAR_MSG_RESOURCE_ALLOC_FAILED;
    } else if (resources->List[0].PartialResourceList.Count < 1) {
        failure = ZAR_MSG_NO_MEMORY_BASE;
    } else {
        CM_PARTIAL_RESOURCE_LIST& list = resources->List[0].PartialResourceList;
        for (ULONG i = 0; i < list.Count && failure == 0; ++i) {
            CM_PARTIAL_RESOURCE_DESCRIPTOR& d = list.PartialDescriptors[i];
            switch (d.Type) {
            case CmResourceTypePort:
                failure = ZAR_MSG_UNEXPECTED_IO_PORT;
                break;
            case CmResourceTypeInterrupt: {
                KIRQL irql = 0;
                KAFFINITY affinity = d.u.Interrupt.Affinity;
                ULONG vector = HalGetInterruptVector(PCIBus, hardwareInfo->BusNumber, d.u.Interrupt.Level,
                                                     d.u.Interrupt.Vector, &irql, &affinity);
                KSPIN_LOCK freshLock;
                KeInitializeSpinLock(&freshLock);
                hardwareInfo->InterruptMode = (d.Flags & CM_RESOURCE_INTERRUPT_LATCHED) ? 1 : 0;
                hardwareInfo->InterruptShared = d.ShareDisposition == CmResourceShareShared ? 1 : 0;
                hardwareInfo->InterruptLevel = d.u.Interrupt.Level;
                hardwareInfo->InterruptVector = d.u.Interrupt.Vector;
                hardwareInfo->InterruptAffinity = d.u.Interrupt.Affinity;
                hardwareInfo->SystemVector = vector;
                hardwareInfo->Irql = irql;
                hardwareInfo->ProcessorAffinity = affinity;
                hardwareInfo->InterruptSpinLock = ULONG(freshLock);
                hardwareInfo->FloatingSave = 0;
                haveInterrupt = true;
                break;
            }
            case CmResourceTypeMemory:
                if ((d.Flags & (CM_RESOURCE_MEMORY_READ_ONLY | CM_RESOURCE_MEMORY_WRITE_ONLY)) != 0) {
                    failure = ZAR_MSG_APERTURE_NOT_READ_WRITE;
                } else if (d.u.Memory.Length < ZAR_REGISTER_WINDOW) {
                    failure = ZAR_MSG_APERTURE_WRONG_SIZE;
                } else {
                    hardwareInfo->ApertureLow = d.u.Memory.Start.LowPart & ~0xFu;
                    hardwareInfo->ApertureHigh = ULONG(d.u.Memory.Start.HighPart);
                    hardwareInfo->ApertureLength = d.u.Memory.Length;
                    haveMemory = true;
                }
                break;
            default:
                break;
            }
        }
        if (failure == 0 && !haveMemory) failure = ZAR_MSG_NO_MEMORY_BASE;
        if (failure == 0 && !haveInterrupt) failure = ZAR_MSG_NO_INTERRUPT_VECTOR;
    }
    ExFreePool(resources);

    if (failure == 0) return STATUS_SUCCESS;
    ZarLogEvent(driverObject, level, failure, STATUS_UNSUCCESSFUL);
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    ZarCheckRegEventLog();

    ULONG eventLogLevel = ZAR_EVENT_LOG_LEVEL_DEFAULT;
    ULONG standard = ZAR_STANDARD_525;
    ULONG coreMode = ZAR_DEFAULT_CORE_MODE;
    ZarGetRegParameters(0, &eventLogLevel, &standard, &coreMode);
    ZarLogEvent(driverObject, eventLogLevel, ZAR_MSG_EVENT_LOGGING_ENABLED, STATUS_SUCCESS);

    PZAR_HARDWARE_INFO hardwareTable[ZAR_MAX_BOARDS] = {};
    PDEVICE_OBJECT deviceTable[ZAR_MAX_BOARDS] = {};
    NTSTATUS status = ZarGetHardwareInfo(registryPath, hardwareTable);
    if (status == STATUS_INSUFFICIENT_RESOURCES) {
        ZarFreeHardwareTable(hardwareTable, 0);
        return status;
    }
    if (hardwareTable[0] == nullptr) {
        ZarLogEvent(driverObject, eventLogLevel, ZAR_MSG_BOARD_NOT_FOUND, status);
        return STATUS_UNSUCCESSFUL;
    }

    driverObject->DriverStartIo = ZarStartIo;
    driverObject->DriverUnload = ZarDriverUnload;
    driverObject->MajorFunction[IRP_MJ_CREATE] = ZarDispatchOpen;
    driverObject->MajorFunction[IRP_MJ_CLOSE] = ZarDispatchClose;
    driverObject->MajorFunction[IRP_MJ_READ] = ZarDispatchRead;
    driverObject->MajorFunction[IRP_MJ_WRITE] = ZarDispatchWrite;
    driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ZarDispatchIoControl;
    driverObject->MajorFunction[IRP_MJ_SHUTDOWN] = ZarDispatchShutdown;
    driverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = ZarTandrel_DispatchInternalDeviceControl;

    const ULONG board0Level = eventLogLevel, board0Standard = standard, board0CoreMode = coreMode;
    ULONG board0DvePresent = 0;

    for (ULONG n = 0; n < ZAR_MAX_BOARDS && hardwareTable[n] != nullptr; ++n) {
        PZAR_HARDWARE_INFO hardwareInfo = hardwareTable[n];
        WCHAR path[kPathChars];

        ULONG ignoreSubVendorId = 0;
        ZarParametersPath(path, n, u"PCI");
        ZarReadRegDword(path, u"IgnoreSubVendorId", &ignoreSubVendorId, false);
        if (hardwareInfo->BoardState == ZAR_BOARD_STATE_BOARD) {
            ZarLogEvent(driverObject, board0Level, ZAR_MSG_BOARD_FOUND, STATUS_SUCCESS);
        } else if (hardwareInfo->BoardState == ZAR_BOARD_STATE_BRIDGE_ONLY) {
            if (ignoreSubVendorId != 0) hardwareInfo->BoardState = ZAR_BOARD_STATE_BOARD;
            ZarLogEvent(driverObject, board0Level, ZAR_MSG_BOARD_FOUND_AT_BRIDGE_VENDOR_ID, STATUS_SUCCESS);
        }

        eventLogLevel = n > 0 ? board0Level : ZAR_EVENT_LOG_LEVEL_DEFAULT;
        standard = n > 0 ? board0Standard : ZAR_STANDARD_525;
        coreMode = n > 0 ? board0CoreMode : ZAR_DEFAULT_CORE_MODE;
        ZarGetRegParameters(n, &eventLogLevel, &standard, &coreMode);

        PDEVICE_OBJECT device = nullptr;
        status = ZarCreateDevice(driverObject, hardwareInfo, &device, eventLogLevel, n);
        if (!NT_SUCCESS(status)) {
            ZarReleaseDeviceBlock(hardwareInfo);
            hardwareTable[n] = nullptr;
            continue;
        }
        auto* ext = ZarExtension(device);
        ext->CoreMode = coreMode;
        ext->Standard = standard == ZAR_STANDARD_625 ? ZAR_STANDARD_625 : ZAR_STANDARD_525;
        deviceTable[n] = device;

        ZarLogEvent(driverObject, eventLogLevel, ZAR_MSG_DEVICE_CREATED, STATUS_SUCCESS);
        status = ZarReportHardwareUsage(driverObject, device, registryPath, hardwareInfo);
        if (!NT_SUCCESS(status)) {
            ZarReleaseResources(driverObject, device);
            ZarReleaseDevice(driverObject, device);
            ZarReleaseDeviceBlock(hardwareInfo);
            hardwareTable[n] = nullptr;
            deviceTable[n] = nullptr;
            continue;
        }

        ZarLogEvent(driverObject, eventLogLevel, ZAR_MSG_RESOURCES_ALLOCATED, STATUS_SUCCESS);
        status = ZarInitDevice(driverObject, ext, hardwareInfo);
        if (!NT_SUCCESS(status)) {
            ZarAbandonStart(driverObject, hardwareTable, deviceTable);
            return status;
        }

        ext->TimeIncrement = KeQueryTimeIncrement();
        ZarSetLineCounts(ext);

        ULONG dvePresent = n > 0 ? board0DvePresent : 0;
        ZarParametersPath(path, n, nullptr);
        ZarReadRegDword(path, u"DvePresent", &dvePresent, false);
        ext->DvePresent = dvePresent != 0;
        if (n == 0) board0DvePresent = dvePresent;

        if (hardwareInfo->BoardState == ZAR_BOARD_STATE_BOARD) {
            ZarSaa7146Init(ext);
            ZarSaa7113Init(ext);
            ZarReadEepromOptions(ext);
            if (NT_SUCCESS(IoRegisterShutdownNotification(device))) ext->ShutdownRegistered = TRUE;
            ZarBrsInitialize(ext);
            status = ZarDveWarpTableAlloc(ext);
            if (!NT_SUCCESS(status)) {
                ZarLogEvent(driverObject, eventLogLevel, ZAR_MSG_WARP_BUFFER_ALLOC_FAILED, status);
                ZarAbandonStart(driverObject, hardwareTable, deviceTable);
                return status;
            }
        }

        ext->BoardReady = FALSE;
        ext->SyncLevel = 3;
        ZarAudHWInitializeAllStates(ext);

        ZarApplyLatencyOverride(n, hardwareInfo);

        ZarReadDriverSettings(ext);
        if (hardwareInfo->BoardState == ZAR_BOARD_STATE_BOARD) ZarSaa7146InitBurstThresh(ext);

        device->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    return STATUS_SUCCESS;
}
