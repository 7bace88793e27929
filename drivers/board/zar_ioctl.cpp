// The board device's control dispatch: the frame every control code passes
// through (board-state gate, wave front, code and length tests from
// ZarIoctlTable, completion), the codes the dispatch serves itself, and the
// hand-over to module handlers, the transfer queues and the time-code router.
//
// Buffered codes read and write the system buffer. The method-neither codes
// that the dispatch serves reach the caller's memory only under SehTry, after
// ProbeForRead/ProbeForWrite for a user-mode caller, and fail with the
// probe's status; handles in a request are referenced in the caller's mode
// as the object type they must name.

#include <cstring>

#include "zar_driver.h"

namespace {

// Bridge interrupt sources: all of them, for the switch-off before an FPGA
// download.
constexpr ULONG kAllInterrupts = 0xFFFFFFFF;
constexpr LONGLONG kIntModeSettle = -2500000LL;  // 250 ms, 100 ns units

// Board registers behind the user-mode shadows.
constexpr ULONG kRegister5474 = 0x5474;
constexpr ULONG kRegister5C00 = 0x5C00;
constexpr ULONG kRegister5470 = 0x5470;
constexpr ULONG kRegister5450 = 0x5450;
constexpr ULONG kRegisterSystemPrefs = 0x5468;

constexpr ULONG kPciConfigSize = 256;
constexpr ULONG kResetAudio = 0x40;
constexpr ULONG kMinWticDmaWords = 4;

NTSTATUS ZarComplete(PIRP irp, NTSTATUS status, ULONG bytes)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = NT_ERROR(status) ? 0 : bytes;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

ULONG ZarInputDword(PVOID buffer) { return *static_cast<const ULONG*>(buffer); }

// Keeps a register's user-mode shadow and writes the register.
NTSTATUS ZarSetShadowed(PZAR_DEVICE_EXTENSION ext, PULONG shadow, ULONG address, PVOID buffer)
{
    *shadow = ZarInputDword(buffer);
    ZarDebiPioWrite(ext, address, *shadow);
    return STATUS_SUCCESS;
}

NTSTATUS ZarSetSystemPrefs(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ULONG settable = ZarInputDword(buffer) & ZAR_SYSTEM_PREFS_SETTABLE;
    ext->SystemPrefs = (ext->SystemPrefs & ~ZAR_SYSTEM_PREFS_SETTABLE) | settable;
    ZarDebiPioWrite(ext, kRegisterSystemPrefs, ext->SystemPrefs);
    return STATUS_SUCCESS;
}

NTSTATUS ZarCopyOut(PVOID buffer, const void* data, ULONG length)
{
    std::memcpy(buffer, data, length);
    return STATUS_SUCCESS;
}

NTSTATUS ZarGetDveState(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    *static_cast<PULONG>(buffer) = ext->DvePresent;
    return STATUS_SUCCESS;
}

// 256 bytes of the asked slot's configuration space; a slot that answers
// nothing returns no bytes and still succeeds.
NTSTATUS ZarGetPciConfig(PVOID buffer, ULONG* bytes)
{
    ZAR_PCI_CONFIG_QUERY query;
    std::memcpy(&query, buffer, sizeof(query));
    ULONG read = HalGetBusData(PCIConfiguration, query.BusNumber, query.SlotNumber, buffer, kPciConfigSize);
    *bytes = read == kPciConfigSize ? kPciConfigSize : 0;
    return STATUS_SUCCESS;
}

// Prepares the board for an FPGA download: nothing may trust the board or
// take its interrupts while its FPGAs are rewritten, and the video-input
// monitor stays away until the download clears the flag again.
NTSTATUS ZarPrepareForDownload(PZAR_DEVICE_EXTENSION ext)
{
    ext->BoardReady = FALSE;
    ext->VinMonitorPaused = TRUE;
    LARGE_INTEGER settle;
    settle.QuadPart = kIntModeSettle;
    KeDelayExecutionThread(KernelMode, FALSE, &settle);
    ZarSetIntMode(ext, kAllInterrupts, FALSE);
    return STATUS_SUCCESS;
}

NTSTATUS ZarSynchronizeExecution(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ULONG* bytes)
{
    NTSTATUS status = ZarDcIoSynchronizeExecution(ext, ZarInputDword(buffer));
    if (NT_SUCCESS(status)) {
        *static_cast<PULONG>(buffer) = ext->FieldParity;
        *bytes = sizeof(ULONG);
    }
    return status;
}

// The block size of the warp-table DMA is a number of 32-bit words that must
// fit the warp-table DMA buffer; a larger one would run the DMA past it.
NTSTATUS ZarSetWticDmaSize(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ULONG words = ZarInputDword(buffer);
    ULONG limit = ext->DveWarpLut.Length / sizeof(ULONG);
    if (words < kMinWticDmaWords || words > limit) return STATUS_INVALID_PARAMETER;
    ext->DveWticDmaSizeWords = words;
    return STATUS_SUCCESS;
}

NTSTATUS ZarFlexDownloadChecked(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind)
{
    if (ZarInputDword(buffer) == 0 && !ZarAudioHardwareAvailable(ext, callerKind)) return STATUS_UNSUCCESSFUL;
    return ZarFlexIoDownload(ext, buffer);
}

NTSTATUS ZarPostFpgaInitChecked(PZAR_DEVICE_EXTENSION ext, ZAR_CALLER_KIND callerKind)
{
    if (!ZarAudioHardwareAvailable(ext, callerKind)) return STATUS_UNSUCCESSFUL;
    return ZarDcPostFpgaInit(ext, callerKind);
}

NTSTATUS ZarResetChecked(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind)
{
    UCHAR selector = *static_cast<const UCHAR*>(buffer);
    if ((selector & kResetAudio) && !ZarAudioHardwareAvailable(ext, callerKind)) return STATUS_UNSUCCESSFUL;
    return ZarDcIoReset(ext, selector, callerKind);
}

// Modes 0-2 only: any other word would be kept and later read as on,
// turning genlock off.
NTSTATUS ZarSetHdcam24FpsModeFromCaller(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ULONG mode = ZarInputDword(buffer);
    if (mode > ZAR_24FPS_MODE_DIGITAL_IO) return STATUS_INVALID_PARAMETER;
    ext->Hdcam24FpsMode = mode;
    return ZarSetHdcam24FpsMode(ext);
}

// ---- the caller's memory and handles ----

// Moves bytes to or from the caller's memory. Every access must reach the
// memory itself, so that a bad address faults into SehTry: under a
// sanitizer a checked copy would refuse an address the checker keeps for
// itself before the access happens.
__attribute__((no_sanitize("address", "undefined"))) void ZarMoveBytes(void* to, const void* from, ULONG length)
{
    auto* d = static_cast<volatile UCHAR*>(to);
    auto* s = static_cast<const volatile UCHAR*>(from);
    for (ULONG i = 0; i < length; ++i) d[i] = s[i];
}

// Copies 'length' bytes from the caller's 'address' into 'to'. A user-mode
// caller's range is probed first; any fault becomes the status.
NTSTATUS ZarCaptureFromCaller(KPROCESSOR_MODE mode, const void* address, void* to, ULONG length)
{
    return SehTry([&] {
        if (mode == UserMode) ProbeForRead(address, length, sizeof(UCHAR));
        ZarMoveBytes(to, address, length);
    });
}

NTSTATUS ZarCopyToCaller(KPROCESSOR_MODE mode, void* address, const void* from, ULONG length)
{
    return SehTry([&] {
        if (mode == UserMode) ProbeForWrite(address, length, sizeof(UCHAR));
        ZarMoveBytes(address, from, length);
    });
}

PVOID ZarUserAddress(ULONG address) { return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(address)); }

// The caller's 1,024-byte contrast table, named by address in the input.
NTSTATUS ZarLoadProcAmpTable(PZAR_DEVICE_EXTENSION ext, PIRP irp, PVOID buffer)
{
    ULONG table[ZAR_VIN_PROC_AMP_TABLE_ENTRIES];
    NTSTATUS status =
        ZarCaptureFromCaller(irp->RequestorMode, ZarUserAddress(ZarInputDword(buffer)), table, sizeof(table));
    if (!NT_SUCCESS(status)) return status;
    return ZarVinLoadProcAmpTable(ext, table);
}

// The node-command block and the field entry its ring holds.
NTSTATUS ZarPostNodeCommand(PZAR_DEVICE_EXTENSION ext, PIRP irp, PIO_STACK_LOCATION stack)
{
    ZAR_NODE_COMMAND command;
    ULONG entry[ZAR_NODE_FIELD_ENTRY_SIZE / sizeof(ULONG)];
    NTSTATUS status = ZarCaptureFromCaller(irp->RequestorMode, stack->Parameters.DeviceIoControl.Type3InputBuffer,
                                           &command, sizeof(command));
    if (NT_SUCCESS(status))
        status = ZarCaptureFromCaller(irp->RequestorMode, ZarUserAddress(command.Ring), entry, sizeof(entry));
    if (!NT_SUCCESS(status)) return status;
    return ZarPlyPostNodeCommand(ext, &command, entry);
}

// The next record descriptor into the ring of the caller's node-command
// block. The block comes in the input buffer, or in the output buffer when
// the caller passes none. The ring is probed before the descriptor is taken,
// so a bad ring does not lose it.
NTSTATUS ZarGetNextEntry(PZAR_DEVICE_EXTENSION ext, PIRP irp, PIO_STACK_LOCATION stack)
{
    KPROCESSOR_MODE mode = irp->RequestorMode;
    PVOID block = stack->Parameters.DeviceIoControl.Type3InputBuffer;
    if (block == nullptr) block = irp->UserBuffer;
    ZAR_NODE_COMMAND command;
    NTSTATUS status = ZarCaptureFromCaller(mode, block, &command, sizeof(command));
    if (!NT_SUCCESS(status)) return status;
    PVOID ring = ZarUserAddress(command.Ring);
    if (mode == UserMode) {
        status = SehTry([&] { ProbeForWrite(ring, ZAR_JPEG_FIELD_DESCRIPTOR_SIZE, sizeof(UCHAR)); });
        if (!NT_SUCCESS(status)) return status;
    }
    UCHAR descriptor[ZAR_JPEG_FIELD_DESCRIPTOR_SIZE];
    status = ZarJpegGetNextEntry(ext, command.Group, descriptor);
    if (!NT_SUCCESS(status)) return status;
    return ZarCopyToCaller(mode, ring, descriptor, sizeof(descriptor));
}

// Recorded audio of one record half: input dword 0 names the half; the
// output gets the two position dwords, then as much of the half as fits.
NTSTATUS ZarGetWaveData(PZAR_DEVICE_EXTENSION ext, PIRP irp, PIO_STACK_LOCATION stack, ULONG* bytes)
{
    KPROCESSOR_MODE mode = irp->RequestorMode;
    ULONG half;
    NTSTATUS status =
        ZarCaptureFromCaller(mode, stack->Parameters.DeviceIoControl.Type3InputBuffer, &half, sizeof(half));
    if (!NT_SUCCESS(status)) return status;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG position[2];
    if (outputLength < sizeof(position)) return STATUS_BUFFER_TOO_SMALL;
    PUCHAR output = static_cast<PUCHAR>(irp->UserBuffer);
    if (mode == UserMode) {
        status = SehTry([&] { ProbeForWrite(output, outputLength, sizeof(UCHAR)); });
        if (!NT_SUCCESS(status)) return status;
    }
    const UCHAR* data = nullptr;
    ULONG length = 0;
    status = ZarAudGetWaveData(ext, half & 1, &data, &length, position);
    if (!NT_SUCCESS(status)) return status;
    ULONG copied = length < outputLength - sizeof(position) ? length : outputLength - sizeof(position);
    status = SehTry([&] {
        ZarMoveBytes(output, position, sizeof(position));
        ZarMoveBytes(output + sizeof(position), data, copied);
    });
    if (NT_SUCCESS(status)) *bytes = sizeof(position) + copied;
    return status;
}

NTSTATUS ZarReleaseSdramField(PZAR_DEVICE_EXTENSION ext, PIRP irp, PIO_STACK_LOCATION stack)
{
    ULONG field[2];
    NTSTATUS status = ZarCaptureFromCaller(irp->RequestorMode, stack->Parameters.DeviceIoControl.Type3InputBuffer,
                                           field, sizeof(field));
    if (!NT_SUCCESS(status)) return status;
    return ZarJpegReleaseSdramField(ext, field);
}

// The six audio DMA events, referenced in the caller's process; a null
// handle leaves its event unregistered. Nothing stays referenced on failure.
NTSTATUS ZarRegisterAudioEvents(PZAR_DEVICE_EXTENSION ext, PIRP irp, PVOID buffer)
{
    auto* handles = static_cast<const ULONG*>(buffer);
    PKEVENT events[ZAR_AUDIO_USER_EVENTS] = {};
    for (ULONG i = 0; i < ZAR_AUDIO_USER_EVENTS; ++i) {
        if (handles[i] == 0) continue;
        PVOID object = nullptr;
        NTSTATUS status = ObReferenceObjectByHandle(ZarUserAddress(handles[i]), EVENT_MODIFY_STATE,
                                                    ExEventObjectType, irp->RequestorMode, &object, nullptr);
        if (!NT_SUCCESS(status)) {
            for (ULONG j = 0; j < i; ++j)
                if (events[j] != nullptr) ObDereferenceObject(events[j]);
            return status;
        }
        events[i] = static_cast<PKEVENT>(object);
    }
    return ZarAudRegisterEvents(ext, events);
}

// The diagnostic client's semaphore, referenced in the caller's process; a
// null handle unregisters.
NTSTATUS ZarSetExceptionHandler(PZAR_DEVICE_EXTENSION ext, PIRP irp, PVOID buffer)
{
    ULONG handle = ZarInputDword(buffer);
    PVOID semaphore = nullptr;
    if (handle != 0) {
        NTSTATUS status = ObReferenceObjectByHandle(ZarUserAddress(handle), SEMAPHORE_MODIFY_STATE,
                                                    ExSemaphoreObjectType, irp->RequestorMode, &semaphore, nullptr);
        if (!NT_SUCCESS(status)) return status;
    }
    return ZarDiagSetExceptionHandler(ext, static_cast<PKSEMAPHORE>(semaphore));
}

}  // namespace

NTSTATUS ZarDispatchIoControl(PDEVICE_OBJECT device, PIRP irp)
{
    PZAR_DEVICE_EXTENSION ext = ZarExtension(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    // The library sends no method-neither input pointer; the wave devices
    // always send one (their device word).
    const ZAR_CALLER_KIND callerKind =
        stack->Parameters.DeviceIoControl.Type3InputBuffer != nullptr ? ZAR_CALLER_WAVE_DEVICE : ZAR_CALLER_LIBRARY;

    if (ext->HardwareInfo->BoardState != ZAR_BOARD_STATE_BOARD && code != IOCTL_ZAR_GET_PCI_CONFIG &&
        code != IOCTL_ZAR_GET_BOARD_STATE)
        return ZarComplete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);

    if (callerKind == ZAR_CALLER_WAVE_DEVICE) {
        NTSTATUS status = ZarWaveDrvDispatchControl(device, irp);
        if (status != STATUS_INVALID_DEVICE_REQUEST) return status;
    }

    if (code >= ZAR_IOCTL_TANDREL_FIRST && code <= ZAR_IOCTL_TANDREL_LAST)
        return ZarTandrel_DispatchDeviceControl(device, irp);

    const ZAR_IOCTL_ENTRY* entry = ZarFindIoctl(code);
    if (entry == nullptr || entry->Work == ZAR_WORK_WAVE_FRONT || entry->Work == ZAR_WORK_INTERNAL)
        return ZarComplete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (!ZarIoctlLengthsPass(*entry, inputLength, outputLength))
        return ZarComplete(irp, STATUS_INVALID_BUFFER_SIZE, 0);

    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    PFILE_OBJECT owner = stack->FileObject;
    // A code that returns data returns its table length; the few whose count
    // varies set it themselves.
    ULONG bytes = entry->OutputRule == ZAR_LEN_ANY ? 0 : entry->OutputLength;
    NTSTATUS status;
    switch (code) {
    // ---- served by the dispatch ----
    case IOCTL_ZAR_GET_HARDWARE_INFO: status = ZarCopyOut(buffer, ext->HardwareInfo, sizeof(ZAR_HARDWARE_INFO)); break;
    case IOCTL_ZAR_GET_DEVICE_EXTENSION: status = ZarCopyOut(buffer, ext, sizeof(ZAR_DEVICE_EXTENSION)); break;
    case IOCTL_ZAR_GET_PCI_CONFIG: status = ZarGetPciConfig(buffer, &bytes); break;
    case IOCTL_ZAR_GET_BOARD_STATE: status = ZarCopyOut(buffer, &ext->HardwareInfo->BoardState, sizeof(ULONG)); break;
    case IOCTL_ZAR_SET_DEBI_REG_5474: status = ZarSetShadowed(ext, &ext->DebiShadow5474, kRegister5474, buffer); break;
    case IOCTL_ZAR_SET_DEBI_REG_5C00: status = ZarSetShadowed(ext, &ext->DebiShadow5C00, kRegister5C00, buffer); break;
    case IOCTL_ZAR_SET_DEBI_REG_5470: status = ZarSetShadowed(ext, &ext->DebiShadow5470, kRegister5470, buffer); break;
    case IOCTL_ZAR_SET_DEBI_REG_5450: status = ZarSetShadowed(ext, &ext->DebiShadow5450, kRegister5450, buffer); break;
    case IOCTL_ZAR_GET_DEBI_REG_5474: status = ZarCopyOut(buffer, &ext->DebiShadow5474, sizeof(ULONG)); break;
    case IOCTL_ZAR_GET_DEBI_REG_5C00: status = ZarCopyOut(buffer, &ext->DebiShadow5C00, sizeof(ULONG)); break;
    case IOCTL_ZAR_GET_DEBI_REG_5470: status = ZarCopyOut(buffer, &ext->DebiShadow5470, sizeof(ULONG)); break;
    case IOCTL_ZAR_GET_DEBI_REG_5450: status = ZarCopyOut(buffer, &ext->DebiShadow5450, sizeof(ULONG)); break;
    case IOCTL_ZAR_SET_SYSTEM_PREFS: status = ZarSetSystemPrefs(ext, buffer); break;
    case IOCTL_ZAR_GET_SYSTEM_PREFS: status = ZarCopyOut(buffer, &ext->SystemPrefs, sizeof(ULONG)); break;
    case IOCTL_ZAR_GET_GENLOCK: status = ZarCopyOut(buffer, &ext->Genlock, sizeof(ZAR_GENLOCK)); break;
    case IOCTL_ZAR_GET_ENCODER: status = ZarCopyOut(buffer, &ext->Encoder, sizeof(ZAR_ENCODER)); break;
    case IOCTL_ZAR_GET_CALIBRATION: status = ZarCopyOut(buffer, &ext->Calibration, sizeof(ZAR_CALIBRATION)); break;
    case IOCTL_ZAR_GET_M2_ROUTING: status = ZarCopyOut(buffer, &ext->M2Routing, sizeof(ZAR_M2_ROUTING)); break;
    case IOCTL_ZAR_GET_625_SUPPORT: status = ZarCopyOut(buffer, &ext->Eeprom625Support, sizeof(ULONG)); break;
    case IOCTL_ZAR_GET_24FPS_SUPPORT: status = ZarCopyOut(buffer, &ext->Eeprom24FpsSupport, sizeof(ULONG)); break;
    case IOCTL_ZAR_SET_INT_MODE: status = ZarPrepareForDownload(ext); break;
    case IOCTL_ZAR_SYNCHRONIZE_EXECUTION: bytes = 0; status = ZarSynchronizeExecution(ext, buffer, &bytes); break;
    case IOCTL_ZAR_DVE_SET_WTIC_DMA_SIZE: status = ZarSetWticDmaSize(ext, buffer); break;
    case IOCTL_ZAR_GET_DVE_STATE: status = ZarGetDveState(ext, buffer); break;
    case IOCTL_ZAR_ACQUIRE_SCSI: status = ZarScsiAcquireOwnership(ext); break;
    case IOCTL_ZAR_RELEASE_SCSI: ZarScsiReleaseOwnership(ext); status = STATUS_SUCCESS; break;
    // ---- served by the dispatch on the caller's memory and handles ----
    case IOCTL_ZAR_VIN_LOAD_PROC_AMP_TABLE: status = ZarLoadProcAmpTable(ext, irp, buffer); break;
    case IOCTL_ZAR_POST_NODE_COMMAND: status = ZarPostNodeCommand(ext, irp, stack); break;
    case IOCTL_ZAR_JPEG_GET_NEXT_ENTRY: status = ZarGetNextEntry(ext, irp, stack); break;
    case IOCTL_ZAR_AUD_GET_WAVE_DATA: bytes = 0; status = ZarGetWaveData(ext, irp, stack, &bytes); break;
    case IOCTL_ZAR_JPEG_RELEASE_SDRAM_FIELD: status = ZarReleaseSdramField(ext, irp, stack); break;
    case IOCTL_ZAR_AUD_REGISTER_EVENTS: status = ZarRegisterAudioEvents(ext, irp, buffer); break;
    case IOCTL_ZAR_DIAG_SET_EXCEPTION_HANDLER: status = ZarSetExceptionHandler(ext, irp, buffer); break;
    // ---- queued on a transfer channel; completed by the channel ----
    case IOCTL_ZAR_DEBI_IO: return ZarQueueDebiRequest(ext, irp);
    case IOCTL_ZAR_BRS_DMA_COMMAND: return ZarQueueBrsRequest(ext, irp);
    case IOCTL_ZAR_HPS_CAPTURE: return ZarQueueHpsRequest(ext, irp);
    case IOCTL_ZAR_I2C_REQUEST: return ZarQueueI2cRequest(ext, irp);
    case IOCTL_ZAR_DISK_REQUEST: return ZarQueueScsiRequest(ext, irp);
    // ---- module state read back by the dispatch ----
    case IOCTL_ZAR_GET_SCSI_DEVICE: status = ZarScsiGetDevice(ext, buffer); break;
    case IOCTL_ZAR_SCSI_SEQ_STATUS: status = ZarScsiGetSeqStatus(ext, buffer); break;
    case IOCTL_ZAR_MIX_GET_PREVIEW: status = ZarMixIoGetPreview(ext, buffer); break;
    case IOCTL_ZAR_MIX_GET_MASTER_FADE: status = ZarMixIoGetMasterFade(ext, buffer); break;
    case IOCTL_ZAR_AUD_GET_CODEC: status = ZarAudIoGetCodec(ext, buffer, callerKind); break;
    case IOCTL_ZAR_AUD_GET_TRACK_CONTROL: status = ZarAudIoGetTrackControl(ext, buffer, callerKind); break;
    case IOCTL_ZAR_AUD_GET_MASTER_LEVEL: status = ZarAudIoGetMasterLevel(ext, buffer, callerKind); break;
    case IOCTL_ZAR_GET_AUDIO_STANDARDS: status = ZarDcIoGetAudioStandards(ext, buffer, callerKind); break;
    case IOCTL_ZAR_GFX_GET_FRAMESTORE: status = ZarGfxIoGetFramestore(ext, buffer, 0); break;
    case IOCTL_ZAR_GFX_GET_FRAMESTORE2: status = ZarGfxIoGetFramestore(ext, buffer, 1); break;
    case IOCTL_ZAR_GET_VIDEO_PREFS: status = ZarDcIoGetVideoPrefs(ext, buffer); break;
    case IOCTL_ZAR_VIN_GET_PROC_AMP: status = ZarVinIoGetProcAmp(ext, buffer); break;
    case IOCTL_ZAR_MIX_GET_PROC_AMP0: status = ZarMixIoGetProcAmp(ext, buffer, 0); break;
    case IOCTL_ZAR_MIX_GET_PROC_AMP1: status = ZarMixIoGetProcAmp(ext, buffer, 1); break;
    case IOCTL_ZAR_DVE_LOAD_COEFFICIENTS: status = ZarDveIoLoadCoefficients(ext, buffer); break;
    case IOCTL_ZAR_DVE_GET_FREEZE: status = ZarDveIoGetFreeze(ext, buffer); break;
    case IOCTL_ZAR_GET_DSP_STATE: status = ZarAudIoGetDspState(ext, buffer); break;
    case IOCTL_ZAR_VIN_GET_STANDARDS: status = ZarVinIoGetStandards(ext, buffer); break;
    case IOCTL_ZAR_AUD_SET_TRACK_MASKS: status = ZarAudIoSetTrackMasks(ext, buffer); break;
    case IOCTL_ZAR_AUD_LEVEL_OVERRIDE: status = ZarAudIoLevelOverride(ext, buffer); break;
    case IOCTL_ZAR_AUD_PAN_OVERRIDE: status = ZarAudIoPanOverride(ext, buffer); break;
    case IOCTL_ZAR_AUD_EQ_OVERRIDE: status = ZarAudIoEqOverride(ext, buffer); break;
    case IOCTL_ZAR_VARIPLAY_INVALIDATE_NODE: status = ZarVariPlayInvalidateNode(ext, buffer); break;
    // ---- module handlers ----
    case IOCTL_ZAR_CS4297_REG_READ: status = ZarCs4297RegRead(ext, buffer); break;
    case IOCTL_ZAR_SAA7146_INIT:
        // The bridge's reset takes the decoder's input with it.
        status = ZarSaa7146Init(ext);
        if (NT_SUCCESS(status)) status = ZarSaa7113Init(ext);
        break;
    case IOCTL_ZAR_FLEX_DOWNLOAD: status = ZarFlexDownloadChecked(ext, buffer, callerKind); break;
    case IOCTL_ZAR_JPEG_CONTROL: status = ZarJpegControl(ext, buffer); break;
    case IOCTL_ZAR_SAA7125_REGISTER_WRITE: status = ZarSaa7125RegisterWrite(ext, buffer); break;
    case IOCTL_ZAR_SAA7113_RESET_RTC: status = ZarSaa7113ResetRtc(ext); break;
    case IOCTL_ZAR_SAA7113_SET_INPUT: status = ZarSaa7113SetInput(ext, buffer); break;
    case IOCTL_ZAR_JPEG_COMMAND: status = ZarJpegCommand(ext, buffer); break;
    case IOCTL_ZAR_MIX_SET_PROC_AMP0: status = ZarMixIoSetProcAmp(ext, buffer, 0); break;
    case IOCTL_ZAR_MIX_SET_PROC_AMP1: status = ZarMixIoSetProcAmp(ext, buffer, 1); break;
    case IOCTL_ZAR_JPEG_PLAYLIST_QUERY: status = ZarJpegSafePlaylistQuery(ext, buffer); break;
    case IOCTL_ZAR_VIN_SET_MODE: status = ZarVinIoSetMode(ext, buffer); break;
    case IOCTL_ZAR_I2C_COMMAND: status = ZarI2cCommand(ext, buffer); break;
    case IOCTL_ZAR_MIX_SET_PREVIEW: status = ZarMixIoSetPreview(ext, buffer); break;
    case IOCTL_ZAR_MIX_SET_MASTER_FADE: status = ZarMixIoSetMasterFade(ext, buffer); break;
    case IOCTL_ZAR_PLY_RESET_PLAYLIST: status = ZarPlyResetPlaylist(ext, buffer); break;
    case IOCTL_ZAR_JPEG_PLAYLIST_STOP: status = ZarJpegSafePlaylistStop(ext, buffer); break;
    case IOCTL_ZAR_POST_FPGA_INIT: status = ZarPostFpgaInitChecked(ext, callerKind); break;
    case IOCTL_ZAR_SET_GENLOCK: status = ZarDcIoSetGenlockPosition(ext, buffer); break;
    case IOCTL_ZAR_SET_ENCODER: status = ZarDcIoSetEncoder(ext, buffer); break;
    case IOCTL_ZAR_SET_CALIBRATION: status = ZarDcIoSetCalibration(ext, buffer); break;
    case IOCTL_ZAR_AUD_SET_CODEC: status = ZarAudIoUserSetCodec(ext, buffer, callerKind); break;
    case IOCTL_ZAR_AUD_RECORD_COMMAND: status = ZarAudRecordCommand(ext, buffer); break;
    case IOCTL_ZAR_AUD_PLAY_COMMAND: status = ZarAudPlayCommand(ext, buffer); break;
    case IOCTL_ZAR_AUD_PUT_WAVE_DATA: status = ZarAudPutWaveData(ext, irp); break;
    case IOCTL_ZAR_AUD_SET_TRACK_CONTROL: status = ZarAudIoUserSetTrackControl(ext, buffer, callerKind); break;
    case IOCTL_ZAR_AUD_SET_MASTER_LEVEL: status = ZarAudUserSetMasterLevel(ext, buffer, callerKind); break;
    case IOCTL_ZAR_SET_AUDIO_STANDARDS: status = ZarDcIoUserSetAudioStandards(ext, buffer, callerKind); break;
    case IOCTL_ZAR_TC_REG_READ: status = ZarTcRegRead(ext, buffer); break;
    case IOCTL_ZAR_TC_REG_WRITE: status = ZarTcRegWrite(ext, buffer); break;
    case IOCTL_ZAR_VIN_FRAMESTORE_READ: status = ZarVinFramestoreRead(ext, buffer); break;
    case IOCTL_ZAR_GFX_SET_FRAMESTORE: status = ZarGfxIoSetFramestore(ext, buffer); break;
    case IOCTL_ZAR_GFX_LOAD_IMAGE: status = ZarGfxIoLoadImage(ext, buffer); break;
    case IOCTL_ZAR_SET_VIDEO_PREFS: status = ZarDcIoSetVideoPrefs(ext, buffer); break;
    case IOCTL_ZAR_VIN_SET_PROC_AMP: status = ZarVinIoSetProcAmp(ext, buffer); break;
    case IOCTL_ZAR_JPEG_ADVANCE_SDL_HEAD_ADDR: status = ZarJpegSafeAdvanceSdlHeadAddr(ext, buffer); break;
    case IOCTL_ZAR_JPEG_GET_PLAYLIST_STATUS: status = ZarJpegSafeGetPlaylistStatus(ext, buffer); break;
    case IOCTL_ZAR_SET_M2_ROUTING: status = ZarDcIoSetM2Routing(ext, buffer); break;
    case IOCTL_ZAR_DVE_INIT_PERSPECTIVE_LUT: status = ZarDveIoInitPerspectiveLut(ext, buffer); break;
    case IOCTL_ZAR_DVE_SET_PERSPECTIVE: status = ZarDveIoSetPerspective(ext, buffer); break;
    case IOCTL_ZAR_DVE_SET_BORDER: status = ZarDveIoSetBorder(ext, buffer); break;
    case IOCTL_ZAR_DVE_SET_PIXEL: status = ZarDveIoSetPixel(ext, buffer); break;
    case IOCTL_ZAR_DVE_SET_FILTER: status = ZarDveIoSetFilter(ext, buffer); break;
    case IOCTL_ZAR_DVE_SET_CROPPING: status = ZarDveIoSetCropping(ext, buffer); break;
    case IOCTL_ZAR_DVE_SET_TRAIL_SHADOW: status = ZarDveIoSetTrailShadow(ext, buffer); break;
    case IOCTL_ZAR_DVE_SET_WARP: status = ZarDveIoSetWarp(ext, buffer); break;
    case IOCTL_ZAR_DVE_WARP_TABLE_LOAD: status = ZarDveWarpTableLoad(ext, buffer); break;
    case IOCTL_ZAR_GFX_PLAY_COMMAND: status = ZarGfxPlayCommand(ext, buffer); break;
    case IOCTL_ZAR_DVE_PLAY_COMMAND: status = ZarDvePlayCommand(ext, buffer); break;
    case IOCTL_ZAR_MIX_SET_MIX_EFFECTS: status = ZarMixIoSetMixEffects(ext, buffer); break;
    case IOCTL_ZAR_MIX_PLAY_COMMAND: status = ZarMixPlayCommand(ext, buffer); break;
    case IOCTL_ZAR_PLY_REGISTER_NOTIFICATION: status = ZarPlyRegisterNotification(ext, buffer); break;
    case IOCTL_ZAR_PLY_REGISTER_NOTIFICATION2: status = ZarPlyRegisterNotification(ext, buffer); break;
    case IOCTL_ZAR_MIX_SET_DVE: status = ZarMixIoSetDve(ext, buffer); break;
    case IOCTL_ZAR_MIX_SET_DOWN_STREAM_KEY: status = ZarMixIoSetDownStreamKey(ext, buffer); break;
    case IOCTL_ZAR_DVE_SET_FREEZE: status = ZarDveIoSetFreeze(ext, buffer); break;
    case IOCTL_ZAR_PLY_SET_ENABLE_MASK: status = ZarPlySetEnableMask(ext, buffer); break;
    case IOCTL_ZAR_DVE_SET_KEY: status = ZarDveIoSetKey(ext, buffer); break;
    case IOCTL_ZAR_PLY_NODE_INSERT: status = ZarPlyNodeInsert(ext, irp); break;
    case IOCTL_ZAR_GFX_ERASE_FRAMESTORE: status = ZarGfxIoEraseFramestore(ext, buffer); break;
    case IOCTL_ZAR_RESET: status = ZarResetChecked(ext, buffer, callerKind); break;
    case IOCTL_ZAR_AUD_PLAYCORD: status = ZarAudIoPlaycord(ext, buffer); break;
    case IOCTL_ZAR_TC_SET_VIDEO_OUTPUT_SOURCE: status = ZarICS2008A_SetVideoOutputSource(ext, buffer); break;
    case IOCTL_ZAR_AUD_CLEAR_TRACK: status = ZarAudClearTrack(ext, buffer); break;
    case IOCTL_ZAR_AUD_SET_SOURCE: status = ZarAudIoUserSetSource(ext, buffer, callerKind); break;
    case IOCTL_ZAR_AUD_GET_PLAY_VU_LEVEL: status = ZarAudIoGetPlayVuLevel(ext, buffer); break;
    case IOCTL_ZAR_AUD_GET_REC_VU_LEVEL: status = ZarAudIoGetRecVuLevel(ext, buffer); break;
    case IOCTL_ZAR_AUD_SET_TRACK_LEVEL_MULT: status = ZarAudUserSetTrackLevelMult(ext, buffer, callerKind); break;
    case IOCTL_ZAR_AUD_CALC_PLAY_DMA_SIZE: status = ZarCalcAudPlayDmaSize(ext, buffer); break;
    case IOCTL_ZAR_AUD_ACQUIRE_AUDIO_LOCK: status = ZarAudAcquireAudioLock(ext, buffer, callerKind, owner); break;
    case IOCTL_ZAR_AUD_RELEASE_AUDIO_LOCK: status = ZarAudReleaseAudioLock(ext, buffer, callerKind, owner); break;
    case IOCTL_ZAR_FIELD_COUNTER_SET_BASE: status = ZarTandrelFieldCounter_SetBase(ext, buffer); break;
    case IOCTL_ZAR_AUD_PLAY_DMA_BUFFER: status = ZarAudPlayDmaBuffer(ext, buffer); break;
    case IOCTL_ZAR_AUD_SET_ACTIVE_TRACK_MASK: status = ZarAudSetActiveTrackMask(ext, buffer); break;
    case IOCTL_ZAR_SCRUB_LIST_SET_NODE: status = ZarScrubListSetNode(ext, buffer); break;
    case IOCTL_ZAR_RESTORE_VIN_IO: status = ZarRestoreVinIo(ext, buffer); break;
    case IOCTL_ZAR_BUS_PLAY_COMMAND: status = ZarBusPlayCommand(ext, buffer); break;
    case IOCTL_ZAR_DEBI_PIO_WRITE: status = ZarDebiIoPioWrite(ext, buffer); break;
    case IOCTL_ZAR_VIN_SET_STANDARDS: status = ZarVinIoSetStandards(ext, buffer); break;
    case IOCTL_ZAR_AUD_REC_SETUP: status = ZarAudRecSetup(ext, irp); break;
    case IOCTL_ZAR_AUD_REC_RELEASE: status = ZarAudRecRelease(ext); break;
    case IOCTL_ZAR_AUD_DSRV_PREP_PLAY: status = ZarAudDSrvPrepPlay(ext, buffer); break;
    case IOCTL_ZAR_AUD_DSRV_UNPREP_PLAY: status = ZarAudDSrvUnprepPlay(ext, buffer); break;
    case IOCTL_ZAR_AUD_DSRV_INIT_BUFFERS: status = ZarAudDSrvInitBuffers(ext, buffer); break;
    case IOCTL_ZAR_AUD_DSRV_START_PLAY: status = ZarAudDSrvStartPlay(ext, buffer); break;
    case IOCTL_ZAR_AUD_DSRV_STOP_PLAY: status = ZarAudDSrvStopPlay(ext, buffer); break;
    case IOCTL_ZAR_AUD_DSRV_GET_EXCEPTION: status = ZarAudDSrvGetException(ext, buffer); break;
    case IOCTL_ZAR_AUD_DSRV_GET_CURRENT_STATUS: status = ZarAudDSrvGetCurrentStatus(ext, buffer); break;
    case IOCTL_ZAR_AUD_DSRV_SET_SPEED: status = ZarAudDSrvSetSpeed(ext, buffer); break;
    case IOCTL_ZAR_SET_VIN_H_POSITION: status = ZarSetVinHPosition(ext, buffer); break;
    case IOCTL_ZAR_SAA7146_BURST_THRESH: status = ZarSaa7146SetBurstThresh(ext, buffer); break;
    case IOCTL_ZAR_AUD_SET_PASSIVE_EE: status = ZarAudUserSetPassiveEE(ext, buffer, callerKind); break;
    case IOCTL_ZAR_HPS_SET_PROC_AMPS: status = ZarSaa7146SetHpsProcAmps(ext, buffer); break;
    case IOCTL_ZAR_DIAG_GET_EXCEPTION: status = ZarDiagGetException(ext, buffer); break;
    case IOCTL_ZAR_VARIPLAY_INIT: status = ZarVariPlayInit(ext, buffer, owner); break;
    case IOCTL_ZAR_VARIPLAY_CLOSE: status = ZarVariPlayClose(ext, ZarInputDword(buffer)); break;
    case IOCTL_ZAR_VARIPLAY_DISPLAY_NODE: status = ZarVariPlayDisplayNode(ext, buffer); break;
    case IOCTL_ZAR_SET_HDCAM_24FPS_MODE: status = ZarSetHdcam24FpsModeFromCaller(ext, buffer); break;
    case IOCTL_ZAR_HPS_SET_PRE_FILTER: status = ZarSaa7146SetHpsPreFilter(ext, buffer); break;
    case IOCTL_ZAR_ENABLE_TIMECODE_DATA_EXCHANGE: status = ZarTandrel_EnableTimecodeDataExchange(ext, buffer); break;
    case IOCTL_ZAR_AUDFX_PLAY_COMMAND: status = ZarAudFxPlayCommand(ext, buffer); break;
    case IOCTL_ZAR_PROC_AMP_PLAY_COMMAND: status = ZarProcAmpPlayCommand(ext, buffer); break;
    default:
        // A table row without a case here is a fault of this file; refuse
        // it as unknown rather than guess at its work.
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    return ZarComplete(irp, status, bytes);
}
