// Device initialisation: turns a created board device into one that can take
// requests — DPCs, the bridge's register window, the interrupt, the transfer
// channels' look-aside lists and queues, the DMA adapters and common
// buffers, and the board's three system threads.
//
// Everything set up here is torn down by ZarReleaseHardware, which checks
// each piece, so a failure part-way needs no unwinding of its own.

#include "include/zarkd_msg.h"
#include "zar_audio.h"
#include "zar_brs.h"
#include "zar_debi.h"
#include "zar_device.h"
#include "zar_dpc.h"
#include "zar_eventlog.h"
#include "zar_extension.h"
#include "zar_hps.h"
#include "zar_isr.h"
#include "zar_jpeg.h"
#include "zar_playlist.h"
#include "zar_scsi.h"
#include "zar_timecode.h"
#include "zar_vin.h"

namespace {

constexpr ULONG kDveWarpLutSize = 16 * 1024;
constexpr ULONG kSmallBufferSize = 256;
constexpr ULONG kPlaylistBufferSize = 32752;
constexpr ULONG kAudioBufferSize = 32 * 1024;
constexpr ULONG kWorkAreaSize = 73728;
constexpr ULONG kCaptureAreaSize = 262144;
constexpr ULONG kCaptureAllocationSize = 528384;  // two areas plus room to align them to a page
static_assert(kCaptureAllocationSize >= 2 * kCaptureAreaSize + PAGE_SIZE);

bool ZarAllocCommonBuffer(PZAR_DEVICE_EXTENSION ext, ZAR_COMMON_BUFFER* buffer, ULONG adapterIndex, ULONG length)
{
    PADAPTER_OBJECT adapter = ext->DmaAdapter[adapterIndex];
    buffer->VirtualAddress = HalAllocateCommonBuffer(adapter, length, &buffer->LogicalAddress, FALSE);
    if (buffer->VirtualAddress == nullptr) return false;
    buffer->Length = length;
    buffer->Adapter = adapter;
    RtlZeroMemory(buffer->VirtualAddress, length);
    return true;
}

void ZarInitializeDpcs(PZAR_DEVICE_EXTENSION ext)
{
    IoInitializeDpcRequest(ext->DeviceObject, ZarDpcForIsr);
    const struct {
        KDPC* dpc;
        PKDEFERRED_ROUTINE routine;
    } dpcs[] = {
        {&ext->DpcDebiDma, ZarDpcForDebiDma},
        {&ext->DpcBrsDma, ZarDpcForBrsDma},
        {&ext->DpcHpsDma, ZarDpcForHpsDma},
        {&ext->DpcScsiRequestComplete, ZarDpcForScsiRequestComplete},
        {&ext->DpcScsiIrq, ZarDpcForScsiIrq},
        {&ext->DpcAudioRecord, ZarDpcForAudioRecord},
        {&ext->DpcAudioPlayback, ZarDpcForAudioPlayback},
        {&ext->DpcAudioPlaybackSingleDma, ZarDpcForAudioPlaybackSingleDma},
        {&ext->DpcAudioRecordSingleDma, ZarDpcForAudioRecordSingleDma},
        {&ext->DpcAudDSrv, ZarAudDSrvDpcFunc},
        {&ext->DpcWaveDrvPlayback, ZarWaveDrvPlaybackDpc},
        {&ext->DpcWaveDrvCapture, ZarWaveDrvCaptureDpc},
        {&ext->DpcAudioFifoUnderflowLog, ZarDpcForAudioFifoUnderflowLog},
        {&ext->DpcAudioDsp, ZarDpcForAudioDsp},
        {&ext->DpcI2c, ZarDpcForI2c},
        {&ext->DpcVbi, ZarDpcForVbi},
    };
    for (const auto& d : dpcs) KeInitializeDpc(d.dpc, d.routine, ext);
}

NTSTATUS ZarGetDmaAdapters(PZAR_DEVICE_EXTENSION ext, PZAR_HARDWARE_INFO hardwareInfo)
{
    // One description serves all seven: the bridge masters the PCI bus with
    // 32-bit scatter/gather transfers of up to 4 MB.
    DEVICE_DESCRIPTION description;
    RtlZeroMemory(&description, sizeof(description));
    description.Version = DEVICE_DESCRIPTION_VERSION;
    description.Master = TRUE;
    description.ScatterGather = TRUE;
    description.Dma32BitAddresses = TRUE;
    description.BusNumber = hardwareInfo->BusNumber;
    description.InterfaceType = PCIBus;
    description.DmaWidth = Width32Bits;
    description.MaximumLength = ZAR_DMA_MAX_TRANSFER;

    for (ULONG i = 0; i < ZAR_DMA_ADAPTER_COUNT; ++i) {
        ULONG mapRegisters = ZAR_MAP_REGISTERS_WANTED;
        ext->DmaAdapter[i] = HalGetAdapter(&description, &mapRegisters);
        if (ext->DmaAdapter[i] == nullptr) {
            ZarLogEvent(ext->DriverObject, ext->EventLogLevel, ZAR_MSG_DMA_ADAPTER_FAILED,
                        STATUS_INSUFFICIENT_RESOURCES);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        ext->MapRegisterCount[i] = mapRegisters;
        if (mapRegisters < ZAR_MAP_REGISTERS_WANTED) {
            ZarLogEvent(ext->DriverObject, ext->EventLogLevel, ZAR_MSG_MAP_REGISTERS_ALLOC_FAILED,
                        STATUS_INSUFFICIENT_RESOURCES);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS ZarAllocDmaBuffers(PZAR_DEVICE_EXTENSION ext)
{
    struct Plan {
        ZAR_COMMON_BUFFER* buffer;
        ULONG adapter;
        ULONG length;
        bool pageAligned;  // the channels' page tables must start on a page
    };

    // Page tables and descriptors of the DMA channels, the bridge's pages,
    // and the DVE warp lookup table.
    const Plan pageTables[] = {
        {&ext->ChannelPage[0], 0, PAGE_SIZE, true},
        {&ext->ChannelPage[1], 1, PAGE_SIZE, true},
        {&ext->ChannelPage[2], 2, PAGE_SIZE, true},
        {&ext->ChannelPage[3], 3, PAGE_SIZE, true},
        {&ext->ChannelPage[4], 2, PAGE_SIZE, false},
        {&ext->ChannelPage[5], 1, PAGE_SIZE, false},
        {&ext->ChannelPage[6], 1, PAGE_SIZE, false},
        {&ext->BridgePage[0], 0, PAGE_SIZE, false},
        {&ext->BridgePage[1], 0, PAGE_SIZE, false},
        {&ext->SmallBuffer, 0, kSmallBufferSize, false},
        {&ext->DveWarpLut, 0, kDveWarpLutSize, false},
    };
    for (const Plan& p : pageTables) {
        if (!ZarAllocCommonBuffer(ext, p.buffer, p.adapter, p.length)) {
            ZarLogEvent(ext->DriverObject, ext->EventLogLevel, ZAR_MSG_PAGE_TABLE_ALLOC_FAILED,
                        STATUS_INSUFFICIENT_RESOURCES);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        if (p.pageAligned && BYTE_OFFSET(p.buffer->LogicalAddress.LowPart) != 0) {
            ZarLogEvent(ext->DriverObject, ext->EventLogLevel, ZAR_MSG_PAGE_TABLE_ALIGNMENT,
                        STATUS_INSUFFICIENT_RESOURCES);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }

    NTSTATUS status = ZarPlyBufferAlloc(ext);
    if (!NT_SUCCESS(status)) {
        ZarLogEvent(ext->DriverObject, ext->EventLogLevel, ZAR_MSG_PLAYLIST_BUFFER_ALLOC_FAILED, status);
        return status;
    }

    const Plan commonBuffers[] = {
        {&ext->PlaylistBuffer, 0, kPlaylistBufferSize, false},
        {&ext->WorkPage[0], 0, PAGE_SIZE, false},
        {&ext->WorkPage[1], 0, PAGE_SIZE, false},
        {&ext->ExtraPage[0], 0, PAGE_SIZE, false},
        {&ext->ExtraPage[1], 0, PAGE_SIZE, false},
        {&ext->AudioBuffer, 0, kAudioBufferSize, false},
        {&ext->BrsBounce, ZAR_BRS_ADAPTER, ZAR_BRS_BOUNCE_SIZE, false},
    };
    bool ok = true;
    for (const Plan& p : commonBuffers) ok = ok && ZarAllocCommonBuffer(ext, p.buffer, p.adapter, p.length);

    if (ok) {
        ext->WorkArea = ExAllocatePoolWithTag(NonPagedPool, kWorkAreaSize, ZAR_TAG_WORK);
        ext->CaptureAreaAllocation = ExAllocatePoolWithTag(NonPagedPool, kCaptureAllocationSize, ZAR_TAG_WORK);
        ok = ext->WorkArea != nullptr && ext->CaptureAreaAllocation != nullptr;
    }
    if (!ok) {
        ZarLogEvent(ext->DriverObject, ext->EventLogLevel, ZAR_MSG_COMMON_BUFFER_ALLOC_FAILED,
                    STATUS_INSUFFICIENT_RESOURCES);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* aligned = static_cast<PUCHAR>(PAGE_ALIGN(static_cast<PUCHAR>(ext->CaptureAreaAllocation) + PAGE_SIZE - 1));
    ext->CaptureArea[0] = aligned;
    ext->CaptureArea[1] = aligned + kCaptureAreaSize;
    return STATUS_SUCCESS;
}

NTSTATUS ZarInitAudioDma(PZAR_DEVICE_EXTENSION ext)
{
    NTSTATUS status = ZarAudInitRecDcb(ext);
    for (ULONG playback = 0; playback < 2 && NT_SUCCESS(status); ++playback)
        status = ZarAudInitPlayDcb(ext, playback);
    if (!NT_SUCCESS(status)) {
        ZarLogEvent(ext->DriverObject, ext->EventLogLevel, ZAR_MSG_COMMON_BUFFER_ALLOC_FAILED, status);
        return status;
    }

    ext->Audio.RecBlockCount = ZAR_AUDIO_REC_BLOCK_COUNT;
    ZarCalcAudRecDmaSize(ext);

    for (PVOID& buffer : ext->Audio.WorkBuffer) {
        buffer = ExAllocatePoolWithTag(NonPagedPool, ZAR_AUDIO_WORK_BUFFER_SIZE, ZAR_TAG_WORK);
        if (buffer == nullptr) {
            ZarLogEvent(ext->DriverObject, ext->EventLogLevel, ZAR_MSG_COMMON_BUFFER_ALLOC_FAILED,
                        STATUS_INSUFFICIENT_RESOURCES);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(buffer, ZAR_AUDIO_WORK_BUFFER_SIZE);
    }
    return STATUS_SUCCESS;
}

void ZarInitQueuesAndEvents(PZAR_DEVICE_EXTENSION ext)
{
    KeInitializeDeviceQueue(&ext->DebiQueue);
    KeInitializeDeviceQueue(&ext->BrsQueue);
    KeInitializeDeviceQueue(&ext->HpsQueue);
    KeInitializeDeviceQueue(&ext->I2c.Queue);
    KeInitializeDeviceQueue(&ext->ScsiQueue);
    ext->QueuesReady = TRUE;

    // The bus is free until a caller acquires it.
    KeInitializeEvent(&ext->ScsiOwnershipEvent, SynchronizationEvent, TRUE);
    KeInitializeEvent(&ext->ScsiThread.Wake, SynchronizationEvent, FALSE);
    KeInitializeEvent(&ext->VinMonitorThread.Wake, SynchronizationEvent, FALSE);
    KeInitializeEvent(&ext->DspThread.Wake, SynchronizationEvent, FALSE);

    KeInitializeSemaphore(&ext->FieldSemaphore, 0, ZAR_FIELD_SEMAPHORE_LIMIT);
    KeInitializeSpinLock(&ext->FieldSemaphoreLock);
}

NTSTATUS ZarStartSystemThread(PZAR_DEVICE_EXTENSION ext, ZAR_SYSTEM_THREAD* thread, PKSTART_ROUTINE routine,
                              ULONG failureMessage)
{
    HANDLE handle = nullptr;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, ext);
    if (NT_SUCCESS(status)) {
        status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, PsThreadType, KernelMode, &thread->Thread,
                                           nullptr);
        if (!NT_SUCCESS(status)) {
            // Without the object nobody could wait for it at release: let it end now.
            thread->Thread = nullptr;
            thread->Stop = TRUE;
            KeSetEvent(&thread->Wake, 0, FALSE);
        }
        ZwClose(handle);
    }
    if (NT_SUCCESS(status)) return STATUS_SUCCESS;
    ZarLogEvent(ext->DriverObject, ext->EventLogLevel, failureMessage, status);
    return STATUS_INSUFFICIENT_RESOURCES;
}

}  // namespace

PVOID ZarPhysicalToVirtual(INTERFACE_TYPE busType, ULONG busNumber, PHYSICAL_ADDRESS address, ULONG length)
{
    ULONG addressSpace = 0;  // memory space
    PHYSICAL_ADDRESS translated;
    translated.QuadPart = 0;
    if (!HalTranslateBusAddress(busType, busNumber, address, &addressSpace, &translated)) return nullptr;
    return MmMapIoSpace(translated, length, MmNonCached);
}

NTSTATUS ZarMapMemory(PZAR_DEVICE_EXTENSION ext, PZAR_HARDWARE_INFO hardwareInfo)
{
    PHYSICAL_ADDRESS aperture;
    aperture.LowPart = hardwareInfo->ApertureLow;
    aperture.HighPart = LONG(hardwareInfo->ApertureHigh);
    auto* registers = static_cast<PUCHAR>(
        ZarPhysicalToVirtual(PCIBus, hardwareInfo->BusNumber, aperture, ZAR_REGISTER_WINDOW));
    if (registers == nullptr) return STATUS_UNSUCCESSFUL;

    ext->Registers = registers;
    ext->DebiCommandRegister = reinterpret_cast<volatile ULONG*>(registers + ZAR_BRIDGE_DEBI_COMMAND);
    ext->DebiDataRegister = reinterpret_cast<volatile ULONG*>(registers + ZAR_BRIDGE_DEBI_AD);
    ext->MainControl1Register = reinterpret_cast<volatile ULONG*>(registers + ZAR_BRIDGE_MC1);
    ext->MainControl2Register = reinterpret_cast<volatile ULONG*>(registers + ZAR_BRIDGE_MC2);
    return STATUS_SUCCESS;
}

NTSTATUS ZarInitDevice(PDRIVER_OBJECT, PZAR_DEVICE_EXTENSION ext, PZAR_HARDWARE_INFO hardwareInfo)
{
    ZarInitializeDpcs(ext);
    ZarICS2008A_Initialize(ext);
    ZarTandrel_Initialize(ext);
    KeInitializeSpinLock(&ext->Lock);
    ZarJpegInitialize(ext);

    // A foreign bridge had no resources claimed, so its record holds no
    // aperture: its registers are neither mapped nor written.
    if (hardwareInfo->BoardState != ZAR_BOARD_STATE_BOARD) return STATUS_SUCCESS;

    NTSTATUS status = ZarMapMemory(ext, hardwareInfo);
    if (!NT_SUCCESS(status)) return status;
    ZarSetIntMode(ext, 0xFFFFFFFF, FALSE);

    KeInitializeSpinLock(&ext->InterruptSpinLock);
    KIRQL irql = hardwareInfo->Irql;
    status = IoConnectInterrupt(&ext->InterruptObject, ZarIsr, ext, &ext->InterruptSpinLock,
                                hardwareInfo->SystemVector, irql, irql,
                                hardwareInfo->InterruptMode ? Latched : LevelSensitive,
                                hardwareInfo->InterruptShared != 0, hardwareInfo->ProcessorAffinity,
                                hardwareInfo->FloatingSave != 0);
    if (!NT_SUCCESS(status)) {
        ext->InterruptObject = nullptr;
        ZarLogEvent(ext->DriverObject, ext->EventLogLevel, ZAR_MSG_ISR_CONNECT_FAILED, status);
        return status;
    }
    ZarSetIntMode(ext, 0xFFFFFFFF, FALSE);

    ExInitializeNPagedLookasideList(&ext->I2c.Lookaside, nullptr, nullptr, 0, ZAR_I2C_ENTRY_SIZE, ZAR_TAG_I2C,
                                    ZAR_LOOKASIDE_DEPTH);
    ExInitializeNPagedLookasideList(&ext->DebiLookaside, nullptr, nullptr, 0, ZAR_DEBI_ENTRY_SIZE, ZAR_TAG_DEBI,
                                    ZAR_LOOKASIDE_DEPTH);
    ExInitializeNPagedLookasideList(&ext->BrsLookaside, nullptr, nullptr, 0, ZAR_BRS_ENTRY_SIZE, ZAR_TAG_BRS,
                                    ZAR_LOOKASIDE_DEPTH);
    ExInitializeNPagedLookasideList(&ext->HpsLookaside, nullptr, nullptr, 0, ZAR_HPS_ENTRY_SIZE, ZAR_TAG_HPS,
                                    ZAR_LOOKASIDE_DEPTH);
    ExInitializeNPagedLookasideList(&ext->ScsiLookaside, nullptr, nullptr, 0, ZAR_SCSI_ENTRY_SIZE, ZAR_TAG_SCSI,
                                    ZAR_LOOKASIDE_DEPTH);
    ext->LookasidesReady = TRUE;
    ZarDebiInit(ext);

    status = ZarGetDmaAdapters(ext, hardwareInfo);
    if (!NT_SUCCESS(status)) return status;
    status = ZarAllocDmaBuffers(ext);
    if (!NT_SUCCESS(status)) return status;
    status = ZarInitAudioDma(ext);
    if (!NT_SUCCESS(status)) return status;

    ZarInitQueuesAndEvents(ext);
    status = ZarScsiInitialize(ext);
    if (!NT_SUCCESS(status)) return status;

    status = ZarStartSystemThread(ext, &ext->ScsiThread, ZarScsiCommandThread, ZAR_MSG_SCSI_THREAD_START_FAILED);
    if (!NT_SUCCESS(status)) return status;
    status = ZarStartSystemThread(ext, &ext->VinMonitorThread, ZarVinMonitorThread,
                                  ZAR_MSG_VIDEO_MONITOR_THREAD_START_FAILED);
    if (!NT_SUCCESS(status)) return status;
    status = ZarStartSystemThread(ext, &ext->DspThread, ZarDspCommandThread, ZAR_MSG_AUDIO_DSP_THREAD_START_FAILED);
    if (!NT_SUCCESS(status)) return status;

    // The modules' own locks and mutexes join their state as they arrive.
    return STATUS_SUCCESS;
}
