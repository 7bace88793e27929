// Release of a board at unload or after a failed start. Each piece is
// released only when it was set up, so this also serves a board whose
// initialisation stopped part-way, and a foreign bridge that never got
// registers, an interrupt or threads.
//
// Nothing that a DPC or the interrupt routine touches is freed while either
// can still run: the queued DPCs are flushed, then the interrupt is
// disconnected, before anything else goes.

#include "zar_audio.h"
#include "zar_diag.h"
#include "zar_dve.h"
#include "zar_extension.h"
#include "zar_hps.h"
#include "zar_i2c.h"
#include "zar_init.h"
#include "zar_isr.h"
#include "zar_playlist.h"
#include "zar_scsi.h"
#include "zar_timecode.h"
#include "zar_unload.h"
#include "zar_videochips.h"

namespace {

void ZarStopSystemThread(ZAR_SYSTEM_THREAD* thread)
{
    if (thread->Thread == nullptr) return;
    thread->Stop = TRUE;
    KeSetEvent(&thread->Wake, 0, FALSE);
    KeWaitForSingleObject(thread->Thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread->Thread);
    thread->Thread = nullptr;
}

void ZarFreeCommonBuffer(ZAR_COMMON_BUFFER* buffer)
{
    if (buffer->VirtualAddress == nullptr) return;
    HalFreeCommonBuffer(buffer->Adapter, buffer->Length, buffer->LogicalAddress, buffer->VirtualAddress, FALSE);
    RtlZeroMemory(buffer, sizeof(*buffer));
}

void ZarFreePool(PVOID& p)
{
    if (p != nullptr) ExFreePoolWithTag(p, ZAR_TAG_WORK);
    p = nullptr;
}

void ZarFreeDmaBuffers(PZAR_DEVICE_EXTENSION ext)
{
    for (ZAR_COMMON_BUFFER& b : ext->ChannelPage) ZarFreeCommonBuffer(&b);
    for (ZAR_COMMON_BUFFER& b : ext->BridgePage) ZarFreeCommonBuffer(&b);
    ZarFreeCommonBuffer(&ext->SmallBuffer);
    ZarFreeCommonBuffer(&ext->DveWarpLut);
    ZarFreeCommonBuffer(&ext->BrsBounce);
    ZarFreeCommonBuffer(&ext->PlaylistBuffer);
    for (ZAR_COMMON_BUFFER& b : ext->WorkPage) ZarFreeCommonBuffer(&b);
    for (ZAR_COMMON_BUFFER& b : ext->ExtraPage) ZarFreeCommonBuffer(&b);
    ZarFreeCommonBuffer(&ext->AudioBuffer);
    ZarHpsFreePageTables(ext);
    ZarAudFreeDcbs(ext);
    ZarFreePool(ext->WorkArea);
    ZarFreePool(ext->CaptureAreaAllocation);
    ext->CaptureArea[0] = ext->CaptureArea[1] = nullptr;
    for (PVOID& p : ext->Audio.WorkBuffer) ZarFreePool(p);
}

}  // namespace

void ZarReleaseHardware(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT deviceObject)
{
    auto* ext = ZarExtension(deviceObject);
    PZAR_HARDWARE_INFO hardwareInfo = ext->HardwareInfo;

    if (ext->ShutdownRegistered) {
        IoUnregisterShutdownNotification(deviceObject);
        ext->ShutdownRegistered = FALSE;
    }
    ZarShutdown(ext);

    if (hardwareInfo->BoardState == ZAR_BOARD_STATE_BOARD) {
        ZarICS2008A_OnDriverUnload(ext);
        ZarTandrel_OnDriverUnload(ext);
    }
    if (ext->DveWarpTablesAllocated) ZarDveWarpTableFree(ext);
    ZarDiagSetExceptionHandler(ext, nullptr);

    if (ext->Registers != nullptr) {
        ZarSetIntMode(ext, 0xFFFFFFFF, FALSE);
        ZarSetSharedIrqMask(ext, 0xFFFFFFFF, FALSE);
    }
    ZarStopSystemThread(&ext->ScsiThread);
    ZarScsiRelease(ext);
    ZarStopSystemThread(&ext->VinMonitorThread);
    ZarStopSystemThread(&ext->DspThread);
    if (ext->Registers != nullptr) ZarSaa7146Reset(ext);

    // A queued DPC synchronises on the interrupt object: it must have run
    // before the object goes. Every source is off by now, so the interrupt
    // routine queues nothing new; the second flush takes what a last
    // interrupt queued before the disconnect.
    KeFlushQueuedDpcs();
    if (ext->InterruptObject != nullptr) {
        IoDisconnectInterrupt(ext->InterruptObject);
        ext->InterruptObject = nullptr;
    }
    KeFlushQueuedDpcs();
    ZarI2cRelease(ext);

    if (ext->PlaylistBuffersAllocated) ZarPlyBufferDeAlloc(ext);
    if (ext->LookasidesReady) {
        ExDeleteNPagedLookasideList(&ext->I2c.Lookaside);
        ExDeleteNPagedLookasideList(&ext->DebiLookaside);
        ExDeleteNPagedLookasideList(&ext->BrsLookaside);
        ExDeleteNPagedLookasideList(&ext->HpsLookaside);
        ExDeleteNPagedLookasideList(&ext->ScsiLookaside);
        ext->LookasidesReady = FALSE;
    }
    ZarPlyFreeNotificationDatabase(ext);
    ZarFreeDmaBuffers(ext);

    if (ext->Registers != nullptr) {
        MmUnmapIoSpace(ext->Registers, ZAR_REGISTER_WINDOW);
        ext->Registers = nullptr;
    }

    ZarReleaseResources(driverObject, deviceObject);
    ZarReleaseDevice(driverObject, deviceObject);
    ZarReleaseDeviceBlock(hardwareInfo);
}

void ZarReleaseResources(PDRIVER_OBJECT, PDEVICE_OBJECT)
{
    // The HAL keeps the slot's assignment with the slot; there is no usage
    // report to withdraw.
}

void ZarReleaseDevice(PDRIVER_OBJECT, PDEVICE_OBJECT deviceObject)
{
    WCHAR buffer[32];
    UNICODE_STRING link;
    ZarMakeBoardName(buffer, u"\\??\\KIVZAR", ZarExtension(deviceObject)->BoardNumber, &link);
    IoDeleteSymbolicLink(&link);
    if (ZarExtension(deviceObject)->BoardNumber == 0) {
        UNICODE_STRING legacy = RTL_CONSTANT_STRING(u"\\??\\ZAR1");
        IoDeleteSymbolicLink(&legacy);
    }
    IoDeleteDevice(deviceObject);
}

void ZarReleaseDeviceBlock(PZAR_HARDWARE_INFO hardwareInfo)
{
    if (hardwareInfo != nullptr) ExFreePoolWithTag(hardwareInfo, ZAR_TAG_HARDWARE_INFO);
}

void ZarDriverUnload(PDRIVER_OBJECT driverObject)
{
    PDEVICE_OBJECT device = driverObject->DeviceObject;
    while (device != nullptr) {
        PDEVICE_OBJECT next = device->NextDevice;
        ZarReleaseHardware(driverObject, device);
        device = next;
    }
}
