// I2C engine, GPIO and the bridge's PCI burst thresholds.
//
// I2C: every command takes an entry from the board's look-aside list and
// goes through the I2C device queue; the I2C DPC (zar_dpc.cpp) ends each
// transfer and starts the next. A caller that waits shares its entry with
// the engine: the entry's Waiter word says whether the caller still holds
// it, and whichever of the two lets go second frees it. A caller that gave
// up is thus never written to, and its entry never outlives the engine's
// use of it.

#include "zar_bridge.h"
#include "zar_dispatch.h"
#include "zar_extension.h"
#include "zar_i2c.h"
#include "zar_isr.h"

namespace {

constexpr ULONG kI2cWriteAttributes = 0xE4;  // start, continue, stop
constexpr ULONG kI2cReadAttributes = 0xEC;   // start, continue, repeated start
constexpr LONGLONG kI2cWait = -10000000LL;   // 1 s, 100 ns units

constexpr ULONG kGpioPins = 4;

const WCHAR kParametersKey[] = u"ZARKD\\Parameters";



// The caller lets go of its entry; TRUE when the engine already had, so the
// entry is the caller's to free.
bool ZarI2cLetGo(ZAR_I2C_ENTRY* entry)
{
    return InterlockedExchange(&entry->Waiter, 0) == 0;
}

struct ZAR_I2C_CLEANUP {
    PZAR_DEVICE_EXTENSION Ext;
    ZAR_I2C_ENTRY* Stuck;   // the transfer given up, or null: any that ran longer than a wait
};

// Under the interrupt's lock, so the running transfer cannot change while
// it is judged stuck: a transfer that ended and one that started since the
// caller gave up are both left alone.
BOOLEAN ZarI2cCleanupDevice(PVOID context)
{
    auto* c = static_cast<ZAR_I2C_CLEANUP*>(context);
    PZAR_DEVICE_EXTENSION ext = c->Ext;
    PVOID current = ext->I2c.CurrentEntry;
    if (current == nullptr) return FALSE;
    if (c->Stuck != nullptr ? current != c->Stuck
                            : KeQueryInterruptTime() - ext->I2c.CurrentStartTime < ULONGLONG(-kI2cWait))
        return FALSE;
    ZarBridgeWrite(ext, ZAR_BRIDGE_I2C_TRANSFER, 0);
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC2, ZAR_MC2_UPLOAD_I2C);
    ZarBridgeWrite(ext, ZAR_BRIDGE_I2C_STATUS, 0);
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC2, ZAR_MC2_UPLOAD_I2C);
    ext->I2c.FailedEntry = current;
    return TRUE;
}

// Where each byte of the burst record sits: register, lowest bit, width.
struct ZAR_BURST_FIELD {
    ULONG Register;
    ULONG Shift;
    ULONG Bits;
};
constexpr ZAR_BURST_FIELD kBurstFields[ZAR_BURST_FIELDS] = {
    {ZAR_BRIDGE_PCI_BT_V1, 0, 2},  {ZAR_BRIDGE_PCI_BT_V1, 2, 3},  {ZAR_BRIDGE_PCI_BT_V1, 8, 2},  {ZAR_BRIDGE_PCI_BT_V1, 10, 3}, {ZAR_BRIDGE_PCI_BT_V1, 16, 2},
    {ZAR_BRIDGE_PCI_BT_V1, 18, 3}, {ZAR_BRIDGE_PCI_BT_V1, 26, 3}, {ZAR_BRIDGE_PCI_BT_A, 24, 2},  {ZAR_BRIDGE_PCI_BT_A, 26, 3},  {ZAR_BRIDGE_PCI_BT_A, 16, 2},
    {ZAR_BRIDGE_PCI_BT_A, 18, 3},  {ZAR_BRIDGE_PCI_BT_A, 8, 2},   {ZAR_BRIDGE_PCI_BT_A, 10, 3},  {ZAR_BRIDGE_PCI_BT_A, 0, 2},   {ZAR_BRIDGE_PCI_BT_A, 2, 3},
};

ULONG ZarBurstFieldMask(const ZAR_BURST_FIELD& f) { return (1u << f.Bits) - 1; }

NTSTATUS ZarStoreBurstValue(const WCHAR* name, ULONG value)
{
    return RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, kParametersKey, name, REG_DWORD, &value, sizeof(value));
}

}  // namespace

// ---- I2C ----

BOOLEAN ZarI2cStartDevice(PVOID context)
{
    auto* start = static_cast<ZAR_I2C_START*>(context);
    PZAR_DEVICE_EXTENSION ext = start->Ext;
    // The entry becomes current under the interrupt's lock: a clean-up's DPC
    // still pending from a stuck transfer may end whatever is current, and it
    // must never catch an entry half made current.
    ext->I2c.CurrentEntry = start->Entry;
    ext->I2c.CurrentStartTime = KeQueryInterruptTime();
    ext->I2c.State = ZAR_I2C_ENGINE_TRANSFER;
    const ZAR_I2C_COMMAND& c = start->Entry->Command;
    // The enable word is shared with the interrupt routine and the DEBI
    // starts, which change it under the interrupt's lock: so does this.
    if (!(ext->InterruptEnable & ZAR_INT_I2C_DONE)) ZarSetIntModeAtIrql(ext, ZAR_INT_I2C, TRUE);
    ULONG word = ((c.Device & 0xFF) << 24) | ((c.Register & 0xFF) << 16);
    if (c.Kind == ZAR_I2C_READ_WAIT)
        word |= (((c.Device | 1) & 0xFF) << 8) | kI2cReadAttributes;
    else
        word |= ((c.Data & 0xFF) << 8) | kI2cWriteAttributes;
    ZarBridgeWrite(ext, ZAR_BRIDGE_I2C_TRANSFER, word);
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC2, ZAR_MC2_UPLOAD_I2C);
    return TRUE;
}

void ZarI2cStartIo(PZAR_DEVICE_EXTENSION ext, ZAR_I2C_ENTRY* entry)
{
    ZAR_I2C_START start{ext, entry};
    ZarRunSynchronized(ext, ZarI2cStartDevice, &start);
}

void ZarI2cCleanup(PZAR_DEVICE_EXTENSION ext, ZAR_I2C_ENTRY* stuck)
{
    ZAR_I2C_CLEANUP cleanup{ext, stuck};
    if (ZarRunSynchronized(ext, ZarI2cCleanupDevice, &cleanup)) KeInsertQueueDpc(&ext->DpcI2c, nullptr, nullptr);
}

void ZarI2cEndEntry(PZAR_DEVICE_EXTENSION ext, ZAR_I2C_ENTRY* entry)
{
    // The event belongs to the entry, so setting it after the caller left
    // harms nothing; the entry stays alive until the exchange below.
    if (entry->Waiter != 0) KeSetEvent(&entry->Done, IO_NO_INCREMENT, FALSE);
    if (InterlockedExchange(&entry->Waiter, 0) == 0) ExFreeToNPagedLookasideList(&ext->I2c.Lookaside, entry);
}

void ZarI2cRelease(PZAR_DEVICE_EXTENSION ext)
{
    if (!ext->QueuesReady) return;
    auto end = [ext](ZAR_I2C_ENTRY* entry) {
        entry->Status = STATUS_CANCELLED;
        if (entry->Irp != nullptr) {
            ZarCompleteRequest(entry->Irp, STATUS_CANCELLED);
        }
        ZarI2cEndEntry(ext, entry);
    };
    KIRQL oldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    if (auto* current = static_cast<ZAR_I2C_ENTRY*>(ext->I2c.CurrentEntry)) end(current);
    ext->I2c.CurrentEntry = nullptr;
    ext->I2c.FailedEntry = nullptr;
    ext->I2c.State = ZAR_I2C_ENGINE_IDLE;
    while (PKDEVICE_QUEUE_ENTRY next = KeRemoveDeviceQueue(&ext->I2c.Queue))
        end(CONTAINING_RECORD(next, ZAR_I2C_ENTRY, QueueEntry));
    KeLowerIrql(oldIrql);
}

NTSTATUS ZarI2cCommand(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    auto* command = static_cast<ZAR_I2C_COMMAND*>(buffer);
    if (command->Kind > ZAR_I2C_WRITE_NO_WAIT) return STATUS_INVALID_DEVICE_REQUEST;
    auto* entry = static_cast<ZAR_I2C_ENTRY*>(ExAllocateFromNPagedLookasideList(&ext->I2c.Lookaside));
    if (entry == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(entry, sizeof(*entry));
    entry->Command = *command;
    bool wait = command->Kind != ZAR_I2C_WRITE_NO_WAIT;
    if (wait) {
        KeInitializeEvent(&entry->Done, NotificationEvent, FALSE);
        entry->Waiter = 1;
    }

    KIRQL oldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    if (!KeInsertDeviceQueue(&ext->I2c.Queue, &entry->QueueEntry)) ZarI2cStartIo(ext, entry);
    KeLowerIrql(oldIrql);
    if (!wait) return STATUS_SUCCESS;

    LARGE_INTEGER timeout;
    timeout.QuadPart = kI2cWait;
    if (KeWaitForSingleObject(&entry->Done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
        KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
        BOOLEAN neverStarted = KeRemoveEntryDeviceQueue(&ext->I2c.Queue, &entry->QueueEntry);
        KeLowerIrql(oldIrql);
        if (neverStarted) {
            // Still queued behind a transfer that is stuck: the engine never
            // saw this entry.
            ExFreeToNPagedLookasideList(&ext->I2c.Lookaside, entry);
            ZarI2cCleanup(ext, nullptr);
            return STATUS_IO_TIMEOUT;
        }
        if (!ZarI2cLetGo(entry)) {
            // In flight: the DPC that the clean-up queues ends it and frees it.
            ZarI2cCleanup(ext, entry);
            return STATUS_IO_TIMEOUT;
        }
        // The transfer ended as the wait ran out: its result stands.
        NTSTATUS status = entry->Status;
        if (NT_SUCCESS(status) && command->Kind == ZAR_I2C_READ_WAIT) command->Data = entry->Command.Data;
        ExFreeToNPagedLookasideList(&ext->I2c.Lookaside, entry);
        return status;
    }

    NTSTATUS status = entry->Status;
    if (NT_SUCCESS(status) && command->Kind == ZAR_I2C_READ_WAIT) command->Data = entry->Command.Data;
    if (ZarI2cLetGo(entry)) ExFreeToNPagedLookasideList(&ext->I2c.Lookaside, entry);
    return status;
}

NTSTATUS ZarI2cWriteByte(PZAR_DEVICE_EXTENSION ext, ULONG device, ULONG subAddress, ULONG value, BOOLEAN wait)
{
    ZAR_I2C_COMMAND command{wait ? ZAR_I2C_WRITE_WAIT : ZAR_I2C_WRITE_NO_WAIT, device, subAddress, value & 0xFF};
    return ZarI2cCommand(ext, &command);
}

NTSTATUS ZarI2cReadByte(PZAR_DEVICE_EXTENSION ext, ULONG device, ULONG subAddress, PUCHAR value)
{
    ZAR_I2C_COMMAND command{ZAR_I2C_READ_WAIT, device, subAddress, 0};
    NTSTATUS status = ZarI2cCommand(ext, &command);
    if (NT_SUCCESS(status)) *value = UCHAR(command.Data);
    return status;
}

// ---- GPIO ----

void ZarGpioChange(PZAR_DEVICE_EXTENSION ext, ULONG value, ULONG which)
{
    ULONG& shadow = ext->I2c.GpioShadow;
    if (which == ZAR_GPIO_WHOLE_WORD) {
        shadow = value;
    } else if (which < kGpioPins) {
        ULONG mask = 0xFFu << (8 * which);
        shadow = (shadow & ~mask) | (value & mask);
    } else {
        return;
    }
    ZarBridgeWrite(ext, ZAR_BRIDGE_GPIO_CTRL, shadow);
}

// ---- PCI burst thresholds ----

void ZarSaa7146InitBurstThresh(PZAR_DEVICE_EXTENSION ext)
{
    if (ext->DmaTweakV != ZAR_REG_UNSET) ZarBridgeWrite(ext, ZAR_BRIDGE_PCI_BT_V1, ext->DmaTweakV);
    if (ext->DmaTweakA != ZAR_REG_UNSET) ZarBridgeWrite(ext, ZAR_BRIDGE_PCI_BT_A, ext->DmaTweakA);
}

NTSTATUS ZarSaa7146GetBurstThresh(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    auto* record = static_cast<ZAR_BURST_THRESH*>(buffer);
    ULONG v1 = ZarBridgeRead(ext, ZAR_BRIDGE_PCI_BT_V1);
    ULONG a = ZarBridgeRead(ext, ZAR_BRIDGE_PCI_BT_A);
    for (ULONG i = 0; i < ZAR_BURST_FIELDS; ++i) {
        const ZAR_BURST_FIELD& f = kBurstFields[i];
        ULONG reg = f.Register == ZAR_BRIDGE_PCI_BT_V1 ? v1 : a;
        record->Field[i] = UCHAR((reg >> f.Shift) & ZarBurstFieldMask(f));
    }
    record->Restore = 0;
    return STATUS_SUCCESS;
}

NTSTATUS ZarSaa7146SetBurstThresh(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    auto* record = static_cast<ZAR_BURST_THRESH*>(buffer);
    ULONG v1 = 0;
    ULONG a = 0;
    if (record->Restore != 0) {
        v1 = ZarBurstStartValue(ext->DmaTweakV, ZAR_BURST_DEFAULT_V1);
        a = ZarBurstStartValue(ext->DmaTweakA, ZAR_BURST_DEFAULT_A);
    } else {
        // A byte wider than its field is cut to it, never spilling into the next.
        for (ULONG i = 0; i < ZAR_BURST_FIELDS; ++i) {
            const ZAR_BURST_FIELD& f = kBurstFields[i];
            ULONG bits = (ULONG(record->Field[i]) & ZarBurstFieldMask(f)) << f.Shift;
            if (f.Register == ZAR_BRIDGE_PCI_BT_V1)
                v1 |= bits;
            else
                a |= bits;
        }
    }
    ZarBridgeWrite(ext, ZAR_BRIDGE_PCI_BT_V1, v1);
    ZarBridgeWrite(ext, ZAR_BRIDGE_PCI_BT_A, a);

    // The values written become the next start's.
    NTSTATUS status = RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(kParametersKey));
    if (NT_SUCCESS(status)) status = ZarStoreBurstValue(u"DmaTweakV", v1);
    if (NT_SUCCESS(status)) status = ZarStoreBurstValue(u"DmaTweakA", a);
    ZarSaa7146GetBurstThresh(ext, buffer);
    return status;
}
