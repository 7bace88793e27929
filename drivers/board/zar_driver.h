// Routines that ZARKD's modules call across files. Each module's file
// defines its own.
#pragma once

#include <cstdarg>

#include "zar_extension.h"
#include "zar_bridge.h"
#include "include/zarkd_msg.h"

// ---- event log (zar_eventlog.cpp) ----
// Writes one entry for 'ioObject' (driver or device object). The insertion
// strings are ANSI, the list ends with a null pointer.
NTSTATUS LogError(PVOID ioObject, NTSTATUS errorCode, NTSTATUS finalStatus, PVOID dumpData, USHORT dumpDataSize,
                  ...);
// Logs a message with no strings or data when 'eventLogLevel' lets it through.
void ZarLogEvent(PVOID ioObject, ULONG eventLogLevel, ULONG messageId, NTSTATUS finalStatus);
// The same with one insertion string: the file or thing the message is about.
void ZarLogEventNaming(PVOID ioObject, ULONG eventLogLevel, ULONG messageId, NTSTATUS finalStatus, const char* name);
NTSTATUS ZarCheckRegEventLog();
NTSTATUS ZarSetupRegEventLog();

// ---- start-up and discovery (zar_init.cpp) ----
NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
NTSTATUS ZarGetHardwareInfo(PUNICODE_STRING registryPath, PZAR_HARDWARE_INFO table[ZAR_MAX_BOARDS]);
NTSTATUS ZarIncPciSlotNumber(PCI_SLOT_NUMBER* slot, ULONG mode);
NTSTATUS ZarGetRegParameters(ULONG board, PULONG eventLogLevel, PULONG standard, PULONG coreMode);
NTSTATUS ZarCreateDevice(PDRIVER_OBJECT driverObject, PZAR_HARDWARE_INFO hardwareInfo, PDEVICE_OBJECT* deviceObject,
                         ULONG eventLogLevel, ULONG board);
NTSTATUS ZarReportHardwareUsage(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT deviceObject,
                                PUNICODE_STRING registryPath, PZAR_HARDWARE_INFO hardwareInfo);
// "<prefix><board>" in 'buffer' (room for the prefix and ten digits).
void ZarMakeBoardName(PWCHAR buffer, const WCHAR* prefix, ULONG board, PUNICODE_STRING name);
void ZarSetLineCounts(PZAR_DEVICE_EXTENSION ext);
// Takes the EEPROM's 625-line answer: a successful read of 0 on a 625-line
// board logs the fact and runs the board at 525 lines.
void ZarApply625Support(PZAR_DEVICE_EXTENSION ext, NTSTATUS readStatus, ULONG optionWord);
// LatencyOverride applied to a latency timer: the timer to write, or the
// current one when it stays.
UCHAR ZarLatencyTimerFor(ULONG latencyOverride, UCHAR current);
ULONG ZarClampDveWticDmaSize(ULONG words);

// ---- device initialisation (zar_device.cpp) ----
NTSTATUS ZarInitDevice(PDRIVER_OBJECT driverObject, PZAR_DEVICE_EXTENSION ext, PZAR_HARDWARE_INFO hardwareInfo);
NTSTATUS ZarMapMemory(PZAR_DEVICE_EXTENSION ext, PZAR_HARDWARE_INFO hardwareInfo);
PVOID ZarPhysicalToVirtual(INTERFACE_TYPE busType, ULONG busNumber, PHYSICAL_ADDRESS address, ULONG length);

// ---- interrupt (zar_isr.cpp) ----
BOOLEAN ZarIsr(PKINTERRUPT interrupt, PVOID context);
void ZarSetIntMode(PZAR_DEVICE_EXTENSION ext, ULONG mask, BOOLEAN set);
void ZarSetIntModeAtIrql(PZAR_DEVICE_EXTENSION ext, ULONG mask, BOOLEAN set);
void ZarDpcForIsr(PKDPC dpc, PDEVICE_OBJECT device, PIRP irp, PVOID context);

// ---- release and unload (zar_unload.cpp) ----
void ZarDriverUnload(PDRIVER_OBJECT driverObject);
void ZarReleaseHardware(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT deviceObject);
void ZarReleaseResources(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT deviceObject);
void ZarReleaseDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT deviceObject);
void ZarReleaseDeviceBlock(PZAR_HARDWARE_INFO hardwareInfo);
NTSTATUS ZarShutdown(PZAR_DEVICE_EXTENSION ext);

// ---- dispatch entries (zar_dispatch.cpp) ----
NTSTATUS ZarDispatchOpen(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ZarDispatchClose(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ZarDispatchRead(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ZarDispatchWrite(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ZarDispatchIoControl(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ZarDispatchShutdown(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ZarTandrel_DispatchInternalDeviceControl(PDEVICE_OBJECT device, PIRP irp);
void ZarStartIo(PDEVICE_OBJECT device, PIRP irp);

// ---- chips, tables and buffers that start-up and release call ----
void ZarICS2008A_Initialize(PZAR_DEVICE_EXTENSION ext);
void ZarICS2008A_OnDriverUnload(PZAR_DEVICE_EXTENSION ext);
void ZarTandrel_Initialize(PZAR_DEVICE_EXTENSION ext);
void ZarTandrel_OnDriverUnload(PZAR_DEVICE_EXTENSION ext);
void ZarTandrel_OnSetHdcam24FpsMode(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarSaa7146Init(PZAR_DEVICE_EXTENSION ext);
void ZarSaa7146Reset(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarSaa7113Init(PZAR_DEVICE_EXTENSION ext);
// Encoder 0 or 1 from the caller's parameter block {set-up flag of encoder
// 0, set-up flag of encoder 1, output enable of encoder 1}.
inline constexpr ULONG ZAR_SAA7125_PARAMETER_WORDS = 3;
NTSTATUS ZarSaa7125Init(PZAR_DEVICE_EXTENSION ext, ULONG encoder, const ULONG* parameters);
void ZarSaa7146InitBurstThresh(PZAR_DEVICE_EXTENSION ext);
BOOLEAN ZarDcIsValidEeprom(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarDcReadEepromByte(PZAR_DEVICE_EXTENSION ext, ULONG subAddress, PULONG value);
NTSTATUS ZarDveWarpTableAlloc(PZAR_DEVICE_EXTENSION ext);
void ZarDveWarpTableFree(PZAR_DEVICE_EXTENSION ext);
void ZarAudHWInitializeAllStates(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarAudInitRecDcb(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarAudInitPlayDcb(PZAR_DEVICE_EXTENSION ext, ULONG playback);
void ZarCalcAudRecDmaSize(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarPlyBufferAlloc(PZAR_DEVICE_EXTENSION ext);
void ZarPlyBufferDeAlloc(PZAR_DEVICE_EXTENSION ext);
void ZarPlyFreeNotificationDatabase(PZAR_DEVICE_EXTENSION ext);
void ZarSetSharedIrqMask(PZAR_DEVICE_EXTENSION ext, ULONG mask, BOOLEAN set);

// The bodies of the driver's system threads.
void ZarScsiCommandThread(PVOID context);
void ZarVinMonitorThread(PVOID context);
void ZarDspCommandThread(PVOID context);

void ZarDpcForDebiDma(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarDpcForBrsDma(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarDpcForHpsDma(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarDpcForScsiRequestComplete(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarDpcForScsiIrq(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarDpcForAudioRecord(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarDpcForAudioPlayback(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarDpcForAudioPlaybackSingleDma(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarDpcForAudioRecordSingleDma(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarAudDSrvDpcFunc(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarWaveDrvPlaybackDpc(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarWaveDrvCaptureDpc(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarDpcForAudioFifoUnderflowLog(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarDpcForAudioDsp(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarDpcForI2c(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarDpcForVbi(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);

// interrupt frame and request entry points

// ---- interrupt frame (zar_isr.cpp) ----
// Bridge interrupt sources the frame acts on.
inline constexpr ULONG ZAR_INT_SHARED_LINE = 0x40;
inline constexpr ULONG ZAR_INT_FIELD = 0x100;
inline constexpr ULONG ZAR_INT_AUDIO_PLAY_A = 0x1000;
inline constexpr ULONG ZAR_INT_AUDIO_PLAY_B = 0x4000;
inline constexpr ULONG ZAR_INT_AUDIO_RECORD = 0x8000;
inline constexpr ULONG ZAR_INT_I2C_ERROR = 0x10000;
inline constexpr ULONG ZAR_INT_I2C_DONE = 0x20000;
inline constexpr ULONG ZAR_INT_I2C = ZAR_INT_I2C_ERROR | ZAR_INT_I2C_DONE;
inline constexpr ULONG ZAR_INT_DEBI_DONE = 0x80000;
inline constexpr ULONG ZAR_INT_BRS = 0x8000000;
// Shared-interrupt mask bits (board register 0xB840).
inline constexpr ULONG ZAR_SHARED_TIMECODE = 0x1;
inline constexpr ULONG ZAR_SHARED_SCSI = 0x2;
inline constexpr ULONG ZAR_SHARED_DSP = 0x10;
inline constexpr ULONG ZAR_SHARED_POLL_LIMIT = 255;
inline constexpr ULONG ZAR_BRS_TIMEOUT_FIELDS = 10;

// What HookTrace records: one byte per call, in call order (the first
// ZAR_HOOK_TRACE_SIZE calls; HookTraceCount counts them all).
enum ZAR_HOOK : UCHAR {
    ZAR_HOOK_NONE,
    ZAR_HOOK_SCRUB_LIST,
    ZAR_HOOK_PRE_JPEG, ZAR_HOOK_PRE_PROC_AMP, ZAR_HOOK_PRE_DVE, ZAR_HOOK_PRE_MIX,
    ZAR_HOOK_PRE_GFX, ZAR_HOOK_PRE_BUS, ZAR_HOOK_PRE_AUD_FX,
    ZAR_HOOK_JPEG, ZAR_HOOK_PROC_AMP, ZAR_HOOK_DVE, ZAR_HOOK_MIX,
    ZAR_HOOK_GFX, ZAR_HOOK_BUS, ZAR_HOOK_AUD_FX,
    ZAR_HOOK_POST_JPEG, ZAR_HOOK_POST_PROC_AMP, ZAR_HOOK_POST_DVE, ZAR_HOOK_POST_MIX,
    ZAR_HOOK_POST_GFX, ZAR_HOOK_POST_BUS, ZAR_HOOK_POST_AUD_FX,
    ZAR_HOOK_AUD_PLAY_VBI,
    ZAR_HOOK_MASTER_CLOCK,
    ZAR_HOOK_CAPTURE_STATE,
    ZAR_HOOK_VBI_DPC_QUEUED,
    ZAR_HOOK_CAPTURE_RING,
    ZAR_HOOK_SCSI_ISR,
    ZAR_HOOK_YSS_ISR,
    ZAR_HOOK_ICS_ISR,
};
inline void ZarTraceHook(PZAR_DEVICE_EXTENSION ext, ZAR_HOOK hook)
{
    if (__builtin_expect(ext->HookTraceOn, 0)) {
        if (ext->HookTraceCount < ZAR_HOOK_TRACE_SIZE) ext->HookTrace[ext->HookTraceCount] = hook;
        ++ext->HookTraceCount;
    }
}

ULONG ZarI2cErrorCleanup(PZAR_DEVICE_EXTENSION ext);
// The bridge register at 'offset' of the mapped window.
inline volatile ULONG* ZarBridgeRegister(PZAR_DEVICE_EXTENSION ext, ULONG offset)
{
    return reinterpret_cast<volatile ULONG*>(ext->Registers + offset);
}

// ---- DPCs and field waiters (zar_dpc.cpp) ----
// Registers the caller as a field waiter and waits for the next field's VBI
// DPC, at most 'timeout' (relative, 100 ns units, negative). STATUS_SUCCESS
// or STATUS_TIMEOUT; a waiter that timed out is no longer registered.
NTSTATUS ZarWaitForField(PZAR_DEVICE_EXTENSION ext, LONGLONG timeout);
// Arms field signal 'slot' (set up by the module with its event) so the
// next VBI DPC signals it. Any IRQL.
void ZarArmFieldSignal(PZAR_DEVICE_EXTENSION ext, ULONG slot);

// ---- request entry points (zar_dispatch.cpp) ----
// Prepares the events the close clean-up waits on (once per board).
void ZarInitEntryPointEvents(PZAR_DEVICE_EXTENSION ext);

// ---- the caller's memory (zar_ioctl.cpp) ----
// The driver's one way to copy from or to a caller's address: a user-mode
// caller's range is probed first, every byte is really touched, and any
// fault becomes the status.
NTSTATUS ZarCaptureFromCaller(KPROCESSOR_MODE mode, const void* address, void* to, ULONG length);
NTSTATUS ZarCopyToCaller(KPROCESSOR_MODE mode, void* address, const void* from, ULONG length);

// ---- DMA page tables (zar_pagetable.cpp), SCSI and I2C starts (zar_scsi_request.cpp, zar_i2c.cpp) ----
// Fills 'table' with the bus addresses of the 4 KB pieces of the buffer and
// returns the number of entries written (the repeat entry included).
ULONG ZarBuildGenericPageTableForMdl(PADAPTER_OBJECT adapter, PMDL mdl, PVOID virtualAddress, ULONG length,
                                     PULONG table, ULONG tableEntries, PVOID mapRegisterBase, BOOLEAN writeToDevice);
ULONG ZarBuildPageTableForMdl(PZAR_DEVICE_EXTENSION ext);
ULONG ZarBuildPageTableForPreviewMdl(PZAR_DEVICE_EXTENSION ext, PMDL mdl, PVOID virtualAddress, ULONG length,
                                     PVOID mapRegisterBase);
NTSTATUS ZarScsiInitDcb(PZAR_DEVICE_EXTENSION ext);
void ZarScsiIoStartIo(PZAR_DEVICE_EXTENSION ext, ZAR_SCSI_ENTRY* entry);
IO_ALLOCATION_ACTION ZarScsiAdapterControl(PDEVICE_OBJECT device, PIRP irp, PVOID mapRegisterBase, PVOID context);
void ZarI2cStartIo(PZAR_DEVICE_EXTENSION ext, ZAR_I2C_ENTRY* entry);
struct ZAR_I2C_START {
    PZAR_DEVICE_EXTENSION Ext;
    ZAR_I2C_ENTRY* Entry;
};
BOOLEAN ZarI2cStartDevice(PVOID context);  // context: ZAR_I2C_START
inline constexpr ULONG ZAR_SCSI_ADAPTER = 3;        // adapter and page-table page of the SCSI channel
inline constexpr ULONG ZAR_PREVIEW_ADAPTER = 2;     // and of the preview capture
inline constexpr ULONG ZAR_PAGE_TABLE_ENTRIES = 1024;

// ---- the digital-I/O option driver (zar_digitalio.cpp) ----
NTSTATUS ZarSendDigitalIoIoctl(PZAR_DEVICE_EXTENSION ext, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                               ULONG outputLength);

// ---- hooks of later modules called by the frame (zar_later_stubs.cpp) ----
// Programmed 16-bit access to a board register over DEBI; synchronised
// with the board interrupt below device IRQL. A write returns FALSE when it
// did not happen: the bus stayed busy, or the FPGA stream owns the engine.
BOOLEAN ZarDebiPioWrite(PZAR_DEVICE_EXTENSION ext, ULONG address, ULONG value);
USHORT ZarDebiPioRead(PZAR_DEVICE_EXTENSION ext, ULONG address);
using PZAR_FIELD_HOOK = void (*)(PZAR_DEVICE_EXTENSION ext);
void ZarScrubListIsr(PZAR_DEVICE_EXTENSION ext);
void ZarPlyJpegPreProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyProcAmpPreProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyDvePreProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyMixPreProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyGfxPreProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyBusPreProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyAudFxPreProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyJpegProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyProcAmpProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyDveProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyMixProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyGfxProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyBusProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyAudFxProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyJpegPostProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyProcAmpPostProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyDvePostProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyMixPostProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyGfxPostProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyBusPostProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyAudFxPostProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarAudPlayVbi(PZAR_DEVICE_EXTENSION ext);
void ZarTandrelMasterClock_OnVerticalInterrupt(PZAR_DEVICE_EXTENSION ext);
void ZarHpsCaptureStateMachine(PZAR_DEVICE_EXTENSION ext);
void ZarHpsCaptureRingStep(PZAR_DEVICE_EXTENSION ext);
void ZarScsiIsr(PZAR_DEVICE_EXTENSION ext);
void ZarYssIsr(PZAR_DEVICE_EXTENSION ext);
void ZarICS2008A_OnInterrupt(PZAR_DEVICE_EXTENSION ext);
void ZarAudPlayResynchronizeDma(PZAR_DEVICE_EXTENSION ext);
void ZarVinUpdateProcAmp(PZAR_DEVICE_EXTENSION ext);
void ZarBrsDmaStartIoSynchronous(PZAR_DEVICE_EXTENSION ext, PVOID entry);
void ZarAudSetTrackPan(PZAR_DEVICE_EXTENSION ext);
void ZarAudVuLevelProcessing(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarSaa7113ResetRtc(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarWaveDrvClose(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ZarWaveDrvRead(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ZarWaveDrvWrite(PDEVICE_OBJECT device, PIRP irp);
// Queue a stop of the ordinary or the circular capture on the HPS queue;
// STATUS_INSUFFICIENT_RESOURCES when no queue entry is left.
NTSTATUS ZarHpsQueueStopRequest(PZAR_DEVICE_EXTENSION ext, BOOLEAN circular);
// Run synchronised with the interrupt (context: the extension).
BOOLEAN ZarAudPlayStopDma(PVOID context);
BOOLEAN ZarAudRecStopDma(PVOID context);
void ZarAudDSrvFreePlayMemoryAndObjects(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarAudRecRelease(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarVariPlayClose(PZAR_DEVICE_EXTENSION ext, ULONG channel);

// ---- what the JPEG video channels need of later modules (zar_later_stubs.cpp) ----
// Starts the audio play (its 40-byte command, as kept by a video channel)
// following a video channel from the same field.
void ZarAudFollowVideo(PZAR_DEVICE_EXTENSION ext, const ZAR_PLAY_COMMAND* play, const UCHAR* audioCommand);
// Prepares the audio play that starts passively with a video channel.
void ZarAudPreparePassiveStart(PZAR_DEVICE_EXTENSION ext, const UCHAR* audioCommand);
// Starts the audio record DMA from the interrupt routine with the start
// block {state, 0, in point, out point}.
void ZarAudRecDmaStartDevice(PZAR_DEVICE_EXTENSION ext, const ULONG* startBlock);
// The audio state (192 bytes) for the play-status block; null while none is kept.
const void* ZarAudGetState(PZAR_DEVICE_EXTENSION ext);
// The scrub list: a video channel's part of an entry (kind 0x100 channel 0,
// 0x200 channel 1), and whether every entry has been applied.
NTSTATUS ZarScrubListAddVideoPart(PZAR_DEVICE_EXTENSION ext, ULONG kind, const void* jpegCommand);
BOOLEAN ZarScrubListIsEmpty(PZAR_DEVICE_EXTENSION ext);
// Graphics store read mode (store 0 A, 1 B): 1 and 2 the two buffers.
ULONG ZarGfxGetReadMode(PZAR_DEVICE_EXTENSION ext, ULONG store);
NTSTATUS ZarGfxSetReadMode(PZAR_DEVICE_EXTENSION ext, ULONG store, ULONG readMode);
// Video input: its mode word and the input FPGA's mode.
ULONG ZarVinGetInputMode(PZAR_DEVICE_EXTENSION ext);
void ZarVinSetInputMode(PZAR_DEVICE_EXTENSION ext, ULONG inputMode, ULONG fpgaMode);
// Claims the DEBI bus from the interrupt routine (FALSE: busy).
BOOLEAN ZarDveAcquireDebiAtDirql(PZAR_DEVICE_EXTENSION ext);
// The audio record ring in host memory (with its spill area behind it).
NTSTATUS ZarAudRecRing(PZAR_DEVICE_EXTENSION ext, PUCHAR* ring, PULONG busAddress, PULONG size);
// The audio codec and the four DSPs brought to their start-up state.
NTSTATUS ZarCs4297Init(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarYss231Init(PZAR_DEVICE_EXTENSION ext);
// Vari-play block of a video channel: mapped or not, its started word (set
// on the first call, returning the value before), the position it drives
// and the field its index selects (its whole ring entry).
BOOLEAN ZarVariPlayIsMapped(PZAR_DEVICE_EXTENSION ext, ULONG channel);
BOOLEAN ZarVariPlayTakeStart(PZAR_DEVICE_EXTENSION ext, ULONG channel);
ULONG ZarVariPlayUpdatePosition(PZAR_DEVICE_EXTENSION ext, ULONG channel);
BOOLEAN ZarVariPlayCurrentField(PZAR_DEVICE_EXTENSION ext, ULONG channel, PULONG address, PULONG size);
BOOLEAN ZarVariPlayCurrentEntry(PZAR_DEVICE_EXTENSION ext, ULONG channel, ZAR_VARIPLAY_ENTRY* entry);

// control-code dispatch

// ---- the five queued channels (zar_queue.cpp) ----
// Each takes a request whose lengths passed, queues it on its channel and
// returns STATUS_PENDING, or completes it at once with the failure.
NTSTATUS ZarQueueDebiRequest(PZAR_DEVICE_EXTENSION ext, PIRP irp);
NTSTATUS ZarQueueBrsRequest(PZAR_DEVICE_EXTENSION ext, PIRP irp);
NTSTATUS ZarQueueHpsRequest(PZAR_DEVICE_EXTENSION ext, PIRP irp);
NTSTATUS ZarQueueI2cRequest(PZAR_DEVICE_EXTENSION ext, PIRP irp);
NTSTATUS ZarQueueScsiRequest(PZAR_DEVICE_EXTENSION ext, PIRP irp);
// Ends a queued request on a channel's completion path: unlocks and frees
// its MDL, completes the IRP with 'status' and 'bytes', and returns the entry
// to its look-aside list.
void ZarQueueEndRequest(PNPAGED_LOOKASIDE_LIST lookaside, PVOID entry, PIRP irp, PMDL mdl, NTSTATUS status,
                        ULONG bytes);
// SCSI bus ownership between disk requests and the holders of
// IOCTL_ZAR_ACQUIRE_SCSI. Acquire: STATUS_UNSUCCESSFUL after 3 s.
NTSTATUS ZarScsiAcquireOwnership(PZAR_DEVICE_EXTENSION ext);
void ZarScsiReleaseOwnership(PZAR_DEVICE_EXTENSION ext);
inline constexpr LONGLONG ZAR_SCSI_OVERTAKE_WAIT = -10000000LL;  // 1 s, 100 ns units
inline constexpr LONGLONG ZAR_SCSI_ACQUIRE_WAIT = -30000000LL;   // 3 s

// ---- handlers of later modules that the dispatch calls (zar_later_stubs.cpp) ----
// Control-code handlers take the request's system buffer; those that keep
// per-caller audio settings also take the caller kind (1 library, 2 wave
// devices). Method-neither handlers take the IRP: they reach the caller's
// memory themselves, under probes.
BOOLEAN ZarAudioHardwareAvailable(PZAR_DEVICE_EXTENSION ext, ZAR_CALLER_KIND callerKind);
NTSTATUS ZarWaveDrvDispatchControl(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ZarTandrel_DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp);
void ZarDebiIoStartIo(PZAR_DEVICE_EXTENSION ext, ZAR_DEBI_ENTRY* entry);
void ZarBrsDmaStartIo(PZAR_DEVICE_EXTENSION ext, ZAR_BRS_ENTRY* entry);
void ZarHpsDmaStartIo(PZAR_DEVICE_EXTENSION ext, ZAR_HPS_ENTRY* entry);
BOOLEAN ZarBrsIsValidDmaCommand(const void* command);
// Lock what the request names for the channel's DMA; raise the probe's
// status (called inside SehTry).
void ZarBrsLockDmaBuffers(PZAR_DEVICE_EXTENSION ext, ZAR_BRS_ENTRY* entry, KPROCESSOR_MODE mode);
void ZarHpsLockDmaBuffers(PZAR_DEVICE_EXTENSION ext, ZAR_HPS_ENTRY* entry, KPROCESSOR_MODE mode);
// TRUE when a running circular capture answered the request itself.
BOOLEAN ZarHpsAnswerRunningCapture(PZAR_DEVICE_EXTENSION ext, PVOID request, NTSTATUS* status);

NTSTATUS ZarCs4297RegRead(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarFlexIoDownload(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarJpegControl(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDcIoSynchronizeExecution(PZAR_DEVICE_EXTENSION ext, ULONG selector);
NTSTATUS ZarSaa7125RegisterWrite(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarSaa7113SetInput(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarScsiGetDevice(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarScsiGetSeqStatus(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarJpegCommand(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarMixIoSetProcAmp(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ULONG procAmp);
NTSTATUS ZarMixIoGetProcAmp(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ULONG procAmp);
NTSTATUS ZarJpegSafePlaylistQuery(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarVinIoSetMode(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarI2cCommand(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarMixIoSetPreview(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarMixIoGetPreview(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarMixIoSetMasterFade(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarMixIoGetMasterFade(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
inline constexpr ULONG ZAR_JPEG_FIELD_DESCRIPTOR_SIZE = 32;
NTSTATUS ZarPlyPostNodeCommand(PZAR_DEVICE_EXTENSION ext, const ZAR_NODE_COMMAND* command, const ULONG* fieldEntry);
NTSTATUS ZarJpegGetNextEntry(PZAR_DEVICE_EXTENSION ext, ULONG channel, PVOID descriptor);
NTSTATUS ZarJpegReleaseSdramField(PZAR_DEVICE_EXTENSION ext, const ULONG* field);
NTSTATUS ZarPlyResetPlaylist(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarJpegSafePlaylistStop(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDcPostFpgaInit(PZAR_DEVICE_EXTENSION ext, ZAR_CALLER_KIND callerKind);
NTSTATUS ZarDcIoSetGenlockPosition(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDcIoSetEncoder(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDcIoSetCalibration(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudIoUserSetCodec(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind);
NTSTATUS ZarAudIoGetCodec(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind);
NTSTATUS ZarAudRecordCommand(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
// The record half 'half' (0 or 1) as it stands: its data and the two
// position dwords handed to the caller ahead of it.
NTSTATUS ZarAudGetWaveData(PZAR_DEVICE_EXTENSION ext, ULONG half, const UCHAR** data, PULONG length,
                           PULONG position);
NTSTATUS ZarAudPlayCommand(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudPutWaveData(PZAR_DEVICE_EXTENSION ext, PIRP irp);
NTSTATUS ZarAudIoUserSetTrackControl(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind);
NTSTATUS ZarAudUserSetMasterLevel(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind);
NTSTATUS ZarAudIoGetTrackControl(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind);
NTSTATUS ZarAudIoGetMasterLevel(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind);
NTSTATUS ZarDcIoUserSetAudioStandards(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind);
NTSTATUS ZarDcIoGetAudioStandards(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind);
// Takes the six referenced events (play A/B, record A/B, one-shot play,
// one-shot record; null for none) and drops the ones held before.
inline constexpr ULONG ZAR_AUDIO_USER_EVENTS = 6;
NTSTATUS ZarAudRegisterEvents(PZAR_DEVICE_EXTENSION ext, PKEVENT* events);
NTSTATUS ZarTcRegRead(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarTcRegWrite(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarVinFramestoreRead(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarGfxIoSetFramestore(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarGfxIoGetFramestore(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ULONG store);
NTSTATUS ZarGfxIoLoadImage(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDcIoSetVideoPrefs(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDcIoGetVideoPrefs(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
inline constexpr ULONG ZAR_VIN_PROC_AMP_TABLE_ENTRIES = 256;
NTSTATUS ZarVinLoadProcAmpTable(PZAR_DEVICE_EXTENSION ext, const ULONG* table);
NTSTATUS ZarVinIoSetProcAmp(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarVinIoGetProcAmp(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarJpegSafeAdvanceSdlHeadAddr(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarJpegSafeGetPlaylistStatus(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDcIoSetM2Routing(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDveIoInitPerspectiveLut(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDveIoSetPerspective(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDveIoLoadCoefficients(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDveIoSetBorder(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDveIoSetPixel(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDveIoSetFilter(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDveIoSetCropping(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDveIoSetTrailShadow(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDveIoSetWarp(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDveWarpTableLoad(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarGfxPlayCommand(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDvePlayCommand(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarMixIoSetMixEffects(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarMixPlayCommand(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarPlyRegisterNotification(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarMixIoSetDve(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarMixIoSetDownStreamKey(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDveIoSetFreeze(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDveIoGetFreeze(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarPlySetEnableMask(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDveIoSetKey(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarPlyNodeInsert(PZAR_DEVICE_EXTENSION ext, PIRP irp);
NTSTATUS ZarGfxIoEraseFramestore(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDcIoReset(PZAR_DEVICE_EXTENSION ext, UCHAR selector, ZAR_CALLER_KIND callerKind);
NTSTATUS ZarAudIoPlaycord(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudIoGetDspState(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarICS2008A_SetVideoOutputSource(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudClearTrack(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudIoUserSetSource(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind);
NTSTATUS ZarAudIoGetPlayVuLevel(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudIoGetRecVuLevel(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudUserSetTrackLevelMult(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind);
NTSTATUS ZarCalcAudPlayDmaSize(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
// The audio lock belongs to the handle that took it (its file object).
NTSTATUS ZarAudAcquireAudioLock(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind, PFILE_OBJECT owner);
NTSTATUS ZarAudReleaseAudioLock(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind, PFILE_OBJECT owner);
NTSTATUS ZarTandrelFieldCounter_SetBase(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudPlayDmaBuffer(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudSetActiveTrackMask(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarScrubListSetNode(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarRestoreVinIo(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarBusPlayCommand(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDebiIoPioWrite(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarVinIoSetStandards(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarVinIoGetStandards(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudRecSetup(PZAR_DEVICE_EXTENSION ext, PIRP irp);
NTSTATUS ZarAudIoSetTrackMasks(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudDSrvPrepPlay(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudDSrvUnprepPlay(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudDSrvInitBuffers(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudDSrvStartPlay(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudDSrvStopPlay(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudDSrvGetException(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudDSrvGetCurrentStatus(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudDSrvSetSpeed(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarSetVinHPosition(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
// The input frame store's hold bit of the video control word, written at once.
void ZarVinSetFrameStoreHold(PZAR_DEVICE_EXTENSION ext, bool hold);
bool ZarVinFrameStoreHeld(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarSaa7146SetBurstThresh(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudUserSetPassiveEE(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind);
NTSTATUS ZarSaa7146SetHpsProcAmps(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudIoLevelOverride(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudIoPanOverride(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudIoEqOverride(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
// Takes the referenced semaphore (null: unregister) and drops the one held before.
NTSTATUS ZarDiagSetExceptionHandler(PZAR_DEVICE_EXTENSION ext, PKSEMAPHORE semaphore);
NTSTATUS ZarDiagGetException(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarVariPlayInit(PZAR_DEVICE_EXTENSION ext, PVOID buffer, PFILE_OBJECT owner);
NTSTATUS ZarVariPlayInvalidateNode(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarVariPlayDisplayNode(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
// The HDCAM 24 fps mode word.
inline constexpr ULONG ZAR_24FPS_MODE_OFF = 0;
inline constexpr ULONG ZAR_24FPS_MODE_ON = 1;
inline constexpr ULONG ZAR_24FPS_MODE_DIGITAL_IO = 2;  // on, with the digital-I/O option's timing
NTSTATUS ZarSetHdcam24FpsMode(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarSaa7146SetHpsPreFilter(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarTandrel_EnableTimecodeDataExchange(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarAudFxPlayCommand(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarProcAmpPlayCommand(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
