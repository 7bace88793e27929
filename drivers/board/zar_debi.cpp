// DEBI bus: programmed access, the queued DEBI request and DEBI DMA.
// (Entry points start as the least that keeps their callers honest.)

#include "zar_driver.h"

namespace {

// DEBI programmed access: the bridge's DEBI registers and the configuration
// word by board address range (the audio ranges' wait states come with the
// DEBI module; until then they get the plain set-up).
constexpr ULONG kDebiConfig = 0x7C;
constexpr ULONG kDebiCommand = 0x80;
constexpr ULONG kDebiAd = 0x88;
constexpr ULONG kPrimaryStatus = 0x110;
constexpr ULONG kPsrDebiBusy = 0x80000;
constexpr ULONG kUploadDebi = 0x00020002;
constexpr ULONG kDebiWrite2 = 0x40000;   // two bytes, write
constexpr ULONG kDebiRead2 = 0x50000;    // two bytes, read
constexpr ULONG kDebiIdlePolls = 100000;

ULONG ZarDebiConfigFor(ULONG address)
{
    switch (address & 0xFC00) {
    case 0xA000: return 0x014A0000;              // SCSI controller
    case 0xAC00: case 0xB000: return 0x01CE0000; // time-code chip
    default: return 0x008A0000;
    }
}


struct ZAR_DEBI_PIO {
    PZAR_DEVICE_EXTENSION Ext;
    ULONG Address;
    ULONG Value;
    bool Read;
};

BOOLEAN ZarDebiCriticalPio(PVOID context)
{
    auto* pio = static_cast<ZAR_DEBI_PIO*>(context);
    PZAR_DEVICE_EXTENSION ext = pio->Ext;
    if (!ZarDebiWaitIdle(ext)) return FALSE;
    if (ext->InterruptEnable & ZAR_INT_DEBI_DONE) ZarSetIntModeAtIrql(ext, ZAR_INT_DEBI_DONE, FALSE);
    WRITE_REGISTER_ULONG(ZarBridgeRegister(ext, kDebiConfig), ZarDebiConfigFor(pio->Address));
    if (pio->Read) {
        WRITE_REGISTER_ULONG(ZarBridgeRegister(ext, kDebiCommand), (pio->Address & 0xFFFF) | kDebiRead2);
        WRITE_REGISTER_ULONG(ZarBridgeRegister(ext, ZAR_BRIDGE_MC2), kUploadDebi);
        ZarDebiWaitIdle(ext);
        pio->Value = READ_REGISTER_ULONG(ZarBridgeRegister(ext, kDebiAd)) & 0xFFFF;
    } else {
        WRITE_REGISTER_ULONG(ZarBridgeRegister(ext, kDebiCommand), (pio->Address & 0xFFFF) | kDebiWrite2);
        WRITE_REGISTER_ULONG(ZarBridgeRegister(ext, kDebiAd), pio->Value);
        WRITE_REGISTER_ULONG(ZarBridgeRegister(ext, ZAR_BRIDGE_MC2), kUploadDebi);
    }
    return TRUE;
}

void ZarDebiPio(ZAR_DEBI_PIO* pio)
{
    PZAR_DEVICE_EXTENSION ext = pio->Ext;
    if (ext->Registers == nullptr) return;
    if (ext->InterruptObject != nullptr && KeGetCurrentIrql() <= DISPATCH_LEVEL)
        KeSynchronizeExecution(ext->InterruptObject, ZarDebiCriticalPio, pio);
    else
        ZarDebiCriticalPio(pio);
}

}  // namespace

// Will complete a DEBI DMA chunk and start the next queued entry.
void ZarDpcForDebiDma(PKDPC, PVOID, PVOID, PVOID) {}
void ZarDebiPioWrite(PZAR_DEVICE_EXTENSION ext, ULONG address, ULONG value)
{
    ZAR_DEBI_PIO pio{ext, address, value & 0xFFFF, false};
    ZarDebiPio(&pio);
}
USHORT ZarDebiPioRead(PZAR_DEVICE_EXTENSION ext, ULONG address)
{
    ZAR_DEBI_PIO pio{ext, address, 0, true};
    ZarDebiPio(&pio);
    return USHORT(pio.Value);
}
// The DEBI, BRS and HPS start routines end each queued request with
// STATUS_NOT_IMPLEMENTED and go on with the next, so their queues drain.
void ZarDebiIoStartIo(PZAR_DEVICE_EXTENSION ext, ZAR_DEBI_ENTRY* entry)
{
    while (entry != nullptr) {
        ZarQueueEndRequest(&ext->DebiLookaside, entry, entry->Irp, entry->Mdl, STATUS_NOT_IMPLEMENTED, 0);
        PKDEVICE_QUEUE_ENTRY next = KeRemoveDeviceQueue(&ext->DebiQueue);
        entry = next ? CONTAINING_RECORD(next, ZAR_DEBI_ENTRY, QueueEntry) : nullptr;
    }
}
// Will apply the BRS command rules; until the channel runs commands every
// command may queue (its start routine refuses it).
BOOLEAN ZarBrsIsValidDmaCommand(const void*) { return TRUE; }
NTSTATUS ZarDebiIoPioWrite(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }

BOOLEAN ZarDebiWaitIdle(PZAR_DEVICE_EXTENSION ext)
{
    for (ULONG i = 0; i < kDebiIdlePolls; ++i) {
        if (!(READ_REGISTER_ULONG(ZarBridgeRegister(ext, kPrimaryStatus)) & kPsrDebiBusy)) return TRUE;
        KeStallExecutionProcessor(1);
    }
    return FALSE;
}

BOOLEAN ZarDebiWaitStateMachineIdle(PZAR_DEVICE_EXTENSION) { return TRUE; }
void ZarDebiSdramSetAddressMode(PZAR_DEVICE_EXTENSION, ULONG) {}
BOOLEAN ZarDebiSdramDmaStartDevice(PZAR_DEVICE_EXTENSION, ULONG, ULONG, ULONG, BOOLEAN) { return FALSE; }
BOOLEAN ZarDebiFsDmaStartDevice(PZAR_DEVICE_EXTENSION, ULONG, ULONG, ULONG) { return FALSE; }
void ZarDebiInitAudioWaitStates(PZAR_DEVICE_EXTENSION) {}
