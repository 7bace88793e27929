// The board device's control dispatch: the frame every control code passes
// through (board-state gate, wave front, code and length tests from
// ZarIoctlTable, completion), the routes table that gives each code its
// routine, the codes the dispatch serves itself, and the hand-over to module
// handlers, the transfer queues and the time-code router.
//
// Buffered codes read and write the system buffer. The method-neither codes
// that the dispatch serves reach the caller's memory only under SehTry, after
// ProbeForRead/ProbeForWrite for a user-mode caller, and fail with the
// probe's status; handles in a request are referenced in the caller's mode
// as the object type they must name.

#include <cstring>

#include "zar_audio.h"
#include "zar_board_regs.h"
#include "zar_boardsetup.h"
#include "zar_debi.h"
#include "zar_diag.h"
#include "zar_dispatch.h"
#include "zar_dve.h"
#include "zar_extension.h"
#include "zar_flex.h"
#include "zar_gfx.h"
#include "zar_hps.h"
#include "zar_i2c.h"
#include "zar_ioctl.h"
#include "zar_isr.h"
#include "zar_jpeg.h"
#include "zar_mix.h"
#include "zar_playlist.h"
#include "zar_queue.h"
#include "zar_scrub.h"
#include "zar_scsi.h"
#include "zar_timecode.h"
#include "zar_videochips.h"
#include "zar_vin.h"

namespace {

// Bridge interrupt sources: all of them, for the switch-off before an FPGA
// download.
constexpr ULONG kAllInterrupts = 0xFFFFFFFF;
constexpr LONGLONG kIntModeSettle = -2500000LL;  // 250 ms, 100 ns units

constexpr ULONG kPciConfigSize = 256;
constexpr ULONG kResetAudio = 0x40;
constexpr ULONG kMinWticDmaWords = 4;


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
    ZarDebiPioWrite(ext, ZAR_REG_SYSTEM_PREFS, ext->SystemPrefs);
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
NTSTATUS ZarGetPciConfig(ZAR_IOCTL_REQUEST& r)
{
    ZAR_PCI_CONFIG_QUERY query;
    std::memcpy(&query, r.Buffer, sizeof(query));
    ULONG read = HalGetBusData(PCIConfiguration, query.BusNumber, query.SlotNumber, r.Buffer, kPciConfigSize);
    r.Bytes = read == kPciConfigSize ? kPciConfigSize : 0;
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

NTSTATUS ZarSynchronizeExecution(ZAR_IOCTL_REQUEST& r)
{
    r.Bytes = 0;
    NTSTATUS status = ZarDcIoSynchronizeExecution(r.Ext, ZarInputDword(r.Buffer));
    if (NT_SUCCESS(status)) {
        *static_cast<PULONG>(r.Buffer) = r.Ext->FieldParity;
        r.Bytes = sizeof(ULONG);
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

NTSTATUS ZarPostFpgaInitChecked(ZAR_IOCTL_REQUEST& r)
{
    if (!ZarAudioHardwareAvailable(r.Ext, r.CallerKind)) return STATUS_UNSUCCESSFUL;
    return ZarDcPostFpgaInit(r.Ext, r.CallerKind);
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

}  // namespace

// ---- the caller's memory and handles ----

namespace {

// Moves bytes to or from the caller's memory. Every access must reach the
// memory itself, so that a bad address faults into SehTry: under a
// sanitizer a checked copy would refuse an address the checker keeps for
// itself before the access happens.
__attribute__((no_sanitize("address", "undefined"))) static void ZarMoveBytes(void* to, const void* from, ULONG length)
{
    auto* d = static_cast<volatile UCHAR*>(to);
    auto* s = static_cast<const volatile UCHAR*>(from);
    for (ULONG i = 0; i < length; ++i) d[i] = s[i];
}

}  // namespace

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

namespace {

PVOID ZarUserAddress(ULONG address) { return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(address)); }

// The caller's 1,024-byte contrast table, named by address in the input.
NTSTATUS ZarLoadProcAmpTable(ZAR_IOCTL_REQUEST& r)
{
    ULONG table[ZAR_VIN_PROC_AMP_TABLE_ENTRIES];
    NTSTATUS status =
        ZarCaptureFromCaller(r.Irp->RequestorMode, ZarUserAddress(ZarInputDword(r.Buffer)), table, sizeof(table));
    if (!NT_SUCCESS(status)) return status;
    return ZarVinLoadProcAmpTable(r.Ext, table);
}

// The node-command block and the field entry its ring holds.
NTSTATUS ZarPostNodeCommand(ZAR_IOCTL_REQUEST& r)
{
    ZAR_NODE_COMMAND command;
    ULONG entry[ZAR_NODE_FIELD_ENTRY_SIZE / sizeof(ULONG)];
    NTSTATUS status = ZarCaptureFromCaller(r.Irp->RequestorMode, r.Stack->Parameters.DeviceIoControl.Type3InputBuffer,
                                           &command, sizeof(command));
    if (NT_SUCCESS(status))
        status = ZarCaptureFromCaller(r.Irp->RequestorMode, ZarUserAddress(command.Ring), entry, sizeof(entry));
    if (!NT_SUCCESS(status)) return status;
    return ZarPlyPostNodeCommand(r.Ext, &command, entry);
}

// The next record descriptor into the ring of the caller's node-command
// block. The block comes in the input buffer, or in the output buffer when
// the caller passes none. The ring is probed before the descriptor is taken,
// so a bad ring does not lose it.
NTSTATUS ZarGetNextEntry(ZAR_IOCTL_REQUEST& r)
{
    KPROCESSOR_MODE mode = r.Irp->RequestorMode;
    PVOID block = r.Stack->Parameters.DeviceIoControl.Type3InputBuffer;
    if (block == nullptr) block = r.Irp->UserBuffer;
    ZAR_NODE_COMMAND command;
    NTSTATUS status = ZarCaptureFromCaller(mode, block, &command, sizeof(command));
    if (!NT_SUCCESS(status)) return status;
    PVOID ring = ZarUserAddress(command.Ring);
    if (mode == UserMode) {
        status = SehTry([&] { ProbeForWrite(ring, ZAR_JPEG_FIELD_DESCRIPTOR_SIZE, sizeof(UCHAR)); });
        if (!NT_SUCCESS(status)) return status;
    }
    UCHAR descriptor[ZAR_JPEG_FIELD_DESCRIPTOR_SIZE];
    status = ZarJpegGetNextEntry(r.Ext, command.Group, descriptor);
    if (!NT_SUCCESS(status)) return status;
    return ZarCopyToCaller(mode, ring, descriptor, sizeof(descriptor));
}

// Recorded audio of one record half: input dword 0 names the half; the
// output gets the two position dwords, then as much of the half as fits.
NTSTATUS ZarGetWaveData(ZAR_IOCTL_REQUEST& r)
{
    r.Bytes = 0;
    KPROCESSOR_MODE mode = r.Irp->RequestorMode;
    ULONG half;
    NTSTATUS status =
        ZarCaptureFromCaller(mode, r.Stack->Parameters.DeviceIoControl.Type3InputBuffer, &half, sizeof(half));
    if (!NT_SUCCESS(status)) return status;
    ULONG outputLength = r.Stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG position[2];
    if (outputLength < sizeof(position)) return STATUS_BUFFER_TOO_SMALL;
    PUCHAR output = static_cast<PUCHAR>(r.Irp->UserBuffer);
    if (mode == UserMode) {
        status = SehTry([&] { ProbeForWrite(output, outputLength, sizeof(UCHAR)); });
        if (!NT_SUCCESS(status)) return status;
    }
    const UCHAR* data = nullptr;
    ULONG length = 0;
    status = ZarAudGetWaveData(r.Ext, half & 1, &data, &length, position);
    if (!NT_SUCCESS(status)) return status;
    ULONG copied = length < outputLength - sizeof(position) ? length : outputLength - sizeof(position);
    status = SehTry([&] {
        ZarMoveBytes(output, position, sizeof(position));
        ZarMoveBytes(output + sizeof(position), data, copied);
    });
    if (NT_SUCCESS(status)) r.Bytes = sizeof(position) + copied;
    return status;
}

NTSTATUS ZarReleaseSdramField(ZAR_IOCTL_REQUEST& r)
{
    ULONG field[2];
    NTSTATUS status = ZarCaptureFromCaller(r.Irp->RequestorMode, r.Stack->Parameters.DeviceIoControl.Type3InputBuffer,
                                           field, sizeof(field));
    if (!NT_SUCCESS(status)) return status;
    return ZarJpegReleaseSdramField(r.Ext, field);
}

// The six audio DMA events, referenced in the caller's process; a null
// handle leaves its event unregistered. Nothing stays referenced on failure.
NTSTATUS ZarRegisterAudioEvents(ZAR_IOCTL_REQUEST& r)
{
    auto* handles = static_cast<const ULONG*>(r.Buffer);
    PKEVENT events[ZAR_AUDIO_USER_EVENTS] = {};
    for (ULONG i = 0; i < ZAR_AUDIO_USER_EVENTS; ++i) {
        if (handles[i] == 0) continue;
        PVOID object = nullptr;
        NTSTATUS status = ObReferenceObjectByHandle(ZarUserAddress(handles[i]), EVENT_MODIFY_STATE,
                                                    ExEventObjectType, r.Irp->RequestorMode, &object, nullptr);
        if (!NT_SUCCESS(status)) {
            for (ULONG j = 0; j < i; ++j)
                if (events[j] != nullptr) ObDereferenceObject(events[j]);
            return status;
        }
        events[i] = static_cast<PKEVENT>(object);
    }
    return ZarAudRegisterEvents(r.Ext, events);
}

// The diagnostic client's semaphore, referenced in the caller's process; a
// null handle unregisters.
NTSTATUS ZarSetExceptionHandler(ZAR_IOCTL_REQUEST& r)
{
    ULONG handle = ZarInputDword(r.Buffer);
    PVOID semaphore = nullptr;
    if (handle != 0) {
        NTSTATUS status = ObReferenceObjectByHandle(ZarUserAddress(handle), SEMAPHORE_MODIFY_STATE,
                                                    ExSemaphoreObjectType, r.Irp->RequestorMode, &semaphore, nullptr);
        if (!NT_SUCCESS(status)) return status;
    }
    return ZarDiagSetExceptionHandler(r.Ext, static_cast<PKSEMAPHORE>(semaphore));
}


// ---- routines of the route table ----

// The uniform shapes of the module handlers: each template hands a request to
// a handler of one signature, so a table row names the handler itself.
template <NTSTATUS (*Handler)(PZAR_DEVICE_EXTENSION)>
NTSTATUS OnBoard(ZAR_IOCTL_REQUEST& r) { return Handler(r.Ext); }

template <NTSTATUS (*Handler)(PZAR_DEVICE_EXTENSION, PVOID)>
NTSTATUS OnBuffer(ZAR_IOCTL_REQUEST& r) { return Handler(r.Ext, r.Buffer); }

template <NTSTATUS (*Handler)(PZAR_DEVICE_EXTENSION, PVOID, ULONG), ULONG Unit>
NTSTATUS OnBufferAt(ZAR_IOCTL_REQUEST& r) { return Handler(r.Ext, r.Buffer, Unit); }

template <NTSTATUS (*Handler)(PZAR_DEVICE_EXTENSION, PVOID, ZAR_CALLER_KIND)>
NTSTATUS OnBufferForCaller(ZAR_IOCTL_REQUEST& r) { return Handler(r.Ext, r.Buffer, r.CallerKind); }

template <NTSTATUS (*Handler)(PZAR_DEVICE_EXTENSION, PVOID, ZAR_CALLER_KIND, PFILE_OBJECT)>
NTSTATUS OnBufferForOwner(ZAR_IOCTL_REQUEST& r) { return Handler(r.Ext, r.Buffer, r.CallerKind, r.Stack->FileObject); }

template <NTSTATUS (*Handler)(PZAR_DEVICE_EXTENSION, ULONG)>
NTSTATUS OnDword(ZAR_IOCTL_REQUEST& r) { return Handler(r.Ext, ZarInputDword(r.Buffer)); }

template <NTSTATUS (*Handler)(PZAR_DEVICE_EXTENSION, PIRP)>
NTSTATUS OnIrp(ZAR_IOCTL_REQUEST& r) { return Handler(r.Ext, r.Irp); }

// A member of the extension returned whole.
template <auto Member>
NTSTATUS ReturnMember(ZAR_IOCTL_REQUEST& r) { return ZarCopyOut(r.Buffer, &(r.Ext->*Member), sizeof(r.Ext->*Member)); }

// A board register whose last written word the extension shadows.
template <auto Shadow, ULONG Address>
NTSTATUS SetShadowed(ZAR_IOCTL_REQUEST& r) { return ZarSetShadowed(r.Ext, &(r.Ext->*Shadow), Address, r.Buffer); }

NTSTATUS ReturnHardwareInfo(ZAR_IOCTL_REQUEST& r)
{
    return ZarCopyOut(r.Buffer, r.Ext->HardwareInfo, sizeof(ZAR_HARDWARE_INFO));
}

NTSTATUS ReturnExtension(ZAR_IOCTL_REQUEST& r) { return ZarCopyOut(r.Buffer, r.Ext, sizeof(ZAR_DEVICE_EXTENSION)); }

NTSTATUS ReturnBoardState(ZAR_IOCTL_REQUEST& r)
{
    return ZarCopyOut(r.Buffer, &r.Ext->HardwareInfo->BoardState, sizeof(ULONG));
}

// The bridge's reset takes the decoder's input with it.
NTSTATUS InitBridgeAndDecoder(ZAR_IOCTL_REQUEST& r)
{
    NTSTATUS status = ZarSaa7146Init(r.Ext);
    if (NT_SUCCESS(status)) status = ZarSaa7113Init(r.Ext);
    return status;
}

NTSTATUS ReleaseScsi(ZAR_IOCTL_REQUEST& r)
{
    ZarScsiReleaseOwnership(r.Ext);
    return STATUS_SUCCESS;
}

NTSTATUS VariPlayInit(ZAR_IOCTL_REQUEST& r) { return ZarVariPlayInit(r.Ext, r.Buffer, r.Stack->FileObject); }

// One row per row of ZarIoctlTable, in its order, so that the entry found
// for a code gives its route by index.
constexpr ZAR_IOCTL_ROUTE kRoutes[] = {
    {IOCTL_ZAR_GET_HARDWARE_INFO, ReturnHardwareInfo},
    {IOCTL_ZAR_GET_DEVICE_EXTENSION, ReturnExtension},
    {IOCTL_ZAR_GET_PCI_CONFIG, ZarGetPciConfig},
    {IOCTL_ZAR_CS4297_REG_READ, OnBuffer<ZarCs4297RegRead>},
    {IOCTL_ZAR_DEBI_IO, OnIrp<ZarQueueDebiRequest>},
    {IOCTL_ZAR_SAA7146_INIT, InitBridgeAndDecoder},
    {IOCTL_ZAR_BRS_DMA_COMMAND, OnIrp<ZarQueueBrsRequest>},
    {IOCTL_ZAR_HPS_CAPTURE, OnIrp<ZarQueueHpsRequest>},
    {IOCTL_ZAR_FLEX_DOWNLOAD, OnBufferForCaller<ZarFlexDownloadChecked>},
    {IOCTL_ZAR_SET_INT_MODE, OnBoard<ZarPrepareForDownload>},
    {IOCTL_ZAR_JPEG_CONTROL, OnBuffer<ZarJpegControl>},
    {IOCTL_ZAR_SYNCHRONIZE_EXECUTION, ZarSynchronizeExecution},
    {IOCTL_ZAR_SAA7125_REGISTER_WRITE, OnBuffer<ZarSaa7125RegisterWrite>},
    {IOCTL_ZAR_SAA7113_RESET_RTC, OnBoard<ZarSaa7113ResetRtc>},
    {IOCTL_ZAR_SAA7113_SET_INPUT, OnBuffer<ZarSaa7113SetInput>},
    {IOCTL_ZAR_DISK_REQUEST, OnIrp<ZarQueueScsiRequest>},
    {IOCTL_ZAR_GET_SCSI_DEVICE, OnBuffer<ZarScsiGetDevice>},
    {IOCTL_ZAR_GET_BOARD_STATE, ReturnBoardState},
    {IOCTL_ZAR_SCSI_SEQ_STATUS, OnBuffer<ZarScsiGetSeqStatus>},
    {IOCTL_ZAR_JPEG_COMMAND, OnBuffer<ZarJpegCommand>},
    {IOCTL_ZAR_MIX_SET_PROC_AMP0, OnBufferAt<ZarMixIoSetProcAmp, 0>},
    {IOCTL_ZAR_MIX_SET_PROC_AMP1, OnBufferAt<ZarMixIoSetProcAmp, 1>},
    {IOCTL_ZAR_JPEG_PLAYLIST_QUERY, OnBuffer<ZarJpegSafePlaylistQuery>},
    {IOCTL_ZAR_VIN_SET_MODE, OnBuffer<ZarVinIoSetMode>},
    {IOCTL_ZAR_I2C_COMMAND, OnBuffer<ZarI2cCommand>},
    {IOCTL_ZAR_SET_DEBI_REG_5474, SetShadowed<&ZAR_DEVICE_EXTENSION::DebiShadow5474, ZAR_REG_INPUT_CONTROL>},
    {IOCTL_ZAR_GET_DEBI_REG_5474, ReturnMember<&ZAR_DEVICE_EXTENSION::DebiShadow5474>},
    {IOCTL_ZAR_SET_DEBI_REG_5C00, SetShadowed<&ZAR_DEVICE_EXTENSION::DebiShadow5C00, ZAR_REG_VIDEO_INPUT_CONTROL>},
    {IOCTL_ZAR_GET_DEBI_REG_5C00, ReturnMember<&ZAR_DEVICE_EXTENSION::DebiShadow5C00>},
    {IOCTL_ZAR_SET_DEBI_REG_5470, SetShadowed<&ZAR_DEVICE_EXTENSION::DebiShadow5470, ZAR_REG_PREVIEW>},
    {IOCTL_ZAR_GET_DEBI_REG_5470, ReturnMember<&ZAR_DEVICE_EXTENSION::DebiShadow5470>},
    {IOCTL_ZAR_MIX_SET_PREVIEW, OnBuffer<ZarMixIoSetPreview>},
    {IOCTL_ZAR_MIX_GET_PREVIEW, OnBuffer<ZarMixIoGetPreview>},
    {IOCTL_ZAR_MIX_SET_MASTER_FADE, OnBuffer<ZarMixIoSetMasterFade>},
    {IOCTL_ZAR_MIX_GET_MASTER_FADE, OnBuffer<ZarMixIoGetMasterFade>},
    {IOCTL_ZAR_SET_SYSTEM_PREFS, OnBuffer<ZarSetSystemPrefs>},
    {IOCTL_ZAR_GET_SYSTEM_PREFS, ReturnMember<&ZAR_DEVICE_EXTENSION::SystemPrefs>},
    {IOCTL_ZAR_SET_DEBI_REG_5450, SetShadowed<&ZAR_DEVICE_EXTENSION::DebiShadow5450, ZAR_REG_DOWN_STREAM_KEY>},
    {IOCTL_ZAR_GET_DEBI_REG_5450, ReturnMember<&ZAR_DEVICE_EXTENSION::DebiShadow5450>},
    {IOCTL_ZAR_POST_NODE_COMMAND, ZarPostNodeCommand},
    {IOCTL_ZAR_PLY_RESET_PLAYLIST, OnBuffer<ZarPlyResetPlaylist>},
    {IOCTL_ZAR_JPEG_GET_NEXT_ENTRY, ZarGetNextEntry},
    {IOCTL_ZAR_JPEG_PLAYLIST_STOP, OnBuffer<ZarJpegSafePlaylistStop>},
    {IOCTL_ZAR_POST_FPGA_INIT, ZarPostFpgaInitChecked},
    {IOCTL_ZAR_SET_GENLOCK, OnBuffer<ZarDcIoSetGenlockPosition>},
    {IOCTL_ZAR_GET_GENLOCK, ReturnMember<&ZAR_DEVICE_EXTENSION::Genlock>},
    {IOCTL_ZAR_SET_ENCODER, OnBuffer<ZarDcIoSetEncoder>},
    {IOCTL_ZAR_GET_ENCODER, ReturnMember<&ZAR_DEVICE_EXTENSION::Encoder>},
    {IOCTL_ZAR_SET_CALIBRATION, OnBuffer<ZarDcIoSetCalibration>},
    {IOCTL_ZAR_GET_CALIBRATION, ReturnMember<&ZAR_DEVICE_EXTENSION::Calibration>},
    {IOCTL_ZAR_AUD_SET_CODEC, OnBufferForCaller<ZarAudIoUserSetCodec>},
    {IOCTL_ZAR_AUD_GET_CODEC, OnBufferForCaller<ZarAudIoGetCodec>},
    {IOCTL_ZAR_AUD_RECORD_COMMAND, OnBuffer<ZarAudRecordCommand>},
    {IOCTL_ZAR_AUD_GET_WAVE_DATA, ZarGetWaveData},
    {IOCTL_ZAR_CODE_2220F0, nullptr},  // refused by its lengths
    {IOCTL_ZAR_AUD_PLAY_COMMAND, OnBuffer<ZarAudPlayCommand>},
    {IOCTL_ZAR_AUD_PUT_WAVE_DATA, OnIrp<ZarAudPutWaveData>},
    {IOCTL_ZAR_AUD_SET_TRACK_CONTROL, OnBufferForCaller<ZarAudIoUserSetTrackControl>},
    {IOCTL_ZAR_CODE_222108, nullptr},  // refused by its lengths
    {IOCTL_ZAR_AUD_SET_MASTER_LEVEL, OnBufferForCaller<ZarAudUserSetMasterLevel>},
    {IOCTL_ZAR_AUD_GET_TRACK_CONTROL, OnBufferForCaller<ZarAudIoGetTrackControl>},
    {IOCTL_ZAR_AUD_GET_MASTER_LEVEL, OnBufferForCaller<ZarAudIoGetMasterLevel>},
    {IOCTL_ZAR_SET_AUDIO_STANDARDS, OnBufferForCaller<ZarDcIoUserSetAudioStandards>},
    {IOCTL_ZAR_GET_AUDIO_STANDARDS, OnBufferForCaller<ZarDcIoGetAudioStandards>},
    {IOCTL_ZAR_AUD_REGISTER_EVENTS, ZarRegisterAudioEvents},
    {IOCTL_ZAR_TC_REG_READ, OnBuffer<ZarTcRegRead>},
    {IOCTL_ZAR_TC_REG_WRITE, OnBuffer<ZarTcRegWrite>},
    {IOCTL_ZAR_VIN_FRAMESTORE_READ, OnBuffer<ZarVinFramestoreRead>},
    {IOCTL_ZAR_GFX_SET_FRAMESTORE, OnBuffer<ZarGfxIoSetFramestore>},
    {IOCTL_ZAR_GFX_GET_FRAMESTORE, OnBufferAt<ZarGfxIoGetFramestore, 0>},
    {IOCTL_ZAR_GFX_LOAD_IMAGE, OnBuffer<ZarGfxIoLoadImage>},
    {IOCTL_ZAR_GFX_GET_FRAMESTORE2, OnBufferAt<ZarGfxIoGetFramestore, 1>},
    {IOCTL_ZAR_SET_VIDEO_PREFS, OnBuffer<ZarDcIoSetVideoPrefs>},
    {IOCTL_ZAR_GET_VIDEO_PREFS, OnBuffer<ZarDcIoGetVideoPrefs>},
    {IOCTL_ZAR_VIN_LOAD_PROC_AMP_TABLE, ZarLoadProcAmpTable},
    {IOCTL_ZAR_VIN_SET_PROC_AMP, OnBuffer<ZarVinIoSetProcAmp>},
    {IOCTL_ZAR_VIN_GET_PROC_AMP, OnBuffer<ZarVinIoGetProcAmp>},
    {IOCTL_ZAR_MIX_GET_PROC_AMP0, OnBufferAt<ZarMixIoGetProcAmp, 0>},
    {IOCTL_ZAR_MIX_GET_PROC_AMP1, OnBufferAt<ZarMixIoGetProcAmp, 1>},
    {IOCTL_ZAR_JPEG_ADVANCE_SDL_HEAD_ADDR, OnBuffer<ZarJpegSafeAdvanceSdlHeadAddr>},
    {IOCTL_ZAR_JPEG_GET_PLAYLIST_STATUS, OnBuffer<ZarJpegSafeGetPlaylistStatus>},
    {IOCTL_ZAR_ACQUIRE_SCSI, OnBoard<ZarScsiAcquireOwnership>},
    {IOCTL_ZAR_RELEASE_SCSI, ReleaseScsi},
    {IOCTL_ZAR_SET_M2_ROUTING, OnBuffer<ZarDcIoSetM2Routing>},
    {IOCTL_ZAR_GET_M2_ROUTING, ReturnMember<&ZAR_DEVICE_EXTENSION::M2Routing>},
    {IOCTL_ZAR_DVE_INIT_PERSPECTIVE_LUT, OnBuffer<ZarDveIoInitPerspectiveLut>},
    {IOCTL_ZAR_DVE_SET_PERSPECTIVE, OnBuffer<ZarDveIoSetPerspective>},
    {IOCTL_ZAR_DVE_LOAD_COEFFICIENTS, OnBuffer<ZarDveIoLoadCoefficients>},
    {IOCTL_ZAR_DVE_SET_BORDER, OnBuffer<ZarDveIoSetBorder>},
    {IOCTL_ZAR_DVE_SET_PIXEL, OnBuffer<ZarDveIoSetPixel>},
    {IOCTL_ZAR_DVE_SET_FILTER, OnBuffer<ZarDveIoSetFilter>},
    {IOCTL_ZAR_DVE_SET_CROPPING, OnBuffer<ZarDveIoSetCropping>},
    {IOCTL_ZAR_DVE_SET_TRAIL_SHADOW, OnBuffer<ZarDveIoSetTrailShadow>},
    {IOCTL_ZAR_DVE_SET_WARP, OnBuffer<ZarDveIoSetWarp>},
    {IOCTL_ZAR_DVE_WARP_TABLE_LOAD, OnBuffer<ZarDveWarpTableLoad>},
    {IOCTL_ZAR_GFX_PLAY_COMMAND, OnBuffer<ZarGfxPlayCommand>},
    {IOCTL_ZAR_GET_DVE_STATE, OnBuffer<ZarGetDveState>},
    {IOCTL_ZAR_DVE_PLAY_COMMAND, OnBuffer<ZarDvePlayCommand>},
    {IOCTL_ZAR_MIX_SET_MIX_EFFECTS, OnBuffer<ZarMixIoSetMixEffects>},
    {IOCTL_ZAR_MIX_PLAY_COMMAND, OnBuffer<ZarMixPlayCommand>},
    {IOCTL_ZAR_PLY_REGISTER_NOTIFICATION, OnBuffer<ZarPlyRegisterNotification>},
    {IOCTL_ZAR_PLY_REGISTER_NOTIFICATION2, OnBuffer<ZarPlyRegisterNotification>},
    {IOCTL_ZAR_MIX_SET_DVE, OnBuffer<ZarMixIoSetDve>},
    {IOCTL_ZAR_MIX_SET_DOWN_STREAM_KEY, OnBuffer<ZarMixIoSetDownStreamKey>},
    {IOCTL_ZAR_DVE_SET_FREEZE, OnBuffer<ZarDveIoSetFreeze>},
    {IOCTL_ZAR_DVE_GET_FREEZE, OnBuffer<ZarDveIoGetFreeze>},
    {IOCTL_ZAR_PLY_SET_ENABLE_MASK, OnBuffer<ZarPlySetEnableMask>},
    {IOCTL_ZAR_DVE_SET_KEY, OnBuffer<ZarDveIoSetKey>},
    {IOCTL_ZAR_PLY_NODE_INSERT, OnIrp<ZarPlyNodeInsert>},
    {IOCTL_ZAR_GFX_ERASE_FRAMESTORE, OnBuffer<ZarGfxIoEraseFramestore>},
    {IOCTL_ZAR_RESET, OnBufferForCaller<ZarResetChecked>},
    {IOCTL_ZAR_AUD_PLAYCORD, OnBuffer<ZarAudIoPlaycord>},
    {IOCTL_ZAR_GET_DSP_STATE, OnBuffer<ZarAudIoGetDspState>},
    {IOCTL_ZAR_TC_SET_VIDEO_OUTPUT_SOURCE, OnBuffer<ZarICS2008A_SetVideoOutputSource>},
    {IOCTL_ZAR_AUD_CLEAR_TRACK, OnBuffer<ZarAudClearTrack>},
    {IOCTL_ZAR_AUD_SET_SOURCE, OnBufferForCaller<ZarAudIoUserSetSource>},
    {IOCTL_ZAR_AUD_GET_PLAY_VU_LEVEL, OnBuffer<ZarAudIoGetPlayVuLevel>},
    {IOCTL_ZAR_AUD_GET_REC_VU_LEVEL, OnBuffer<ZarAudIoGetRecVuLevel>},
    {IOCTL_ZAR_AUD_SET_TRACK_LEVEL_MULT, OnBufferForCaller<ZarAudUserSetTrackLevelMult>},
    {IOCTL_ZAR_AUD_CALC_PLAY_DMA_SIZE, OnBuffer<ZarCalcAudPlayDmaSize>},
    {IOCTL_ZAR_AUD_ACQUIRE_AUDIO_LOCK, OnBufferForOwner<ZarAudAcquireAudioLock>},
    {IOCTL_ZAR_AUD_RELEASE_AUDIO_LOCK, OnBufferForOwner<ZarAudReleaseAudioLock>},
    {IOCTL_ZAR_FIELD_COUNTER_SET_BASE, OnBuffer<ZarTandrelFieldCounter_SetBase>},
    {IOCTL_ZAR_AUD_PLAY_DMA_BUFFER, OnBuffer<ZarAudPlayDmaBuffer>},
    {IOCTL_ZAR_AUD_SET_ACTIVE_TRACK_MASK, OnBuffer<ZarAudSetActiveTrackMask>},
    {IOCTL_ZAR_GET_625_SUPPORT, ReturnMember<&ZAR_DEVICE_EXTENSION::Eeprom625Support>},
    {IOCTL_ZAR_SCRUB_LIST_SET_NODE, OnBuffer<ZarScrubListSetNode>},
    {IOCTL_ZAR_RESTORE_VIN_IO, OnBuffer<ZarRestoreVinIo>},
    {IOCTL_ZAR_BUS_PLAY_COMMAND, OnBuffer<ZarBusPlayCommand>},
    {IOCTL_ZAR_DEBI_PIO_WRITE, OnBuffer<ZarDebiIoPioWrite>},
    {IOCTL_ZAR_VIN_SET_STANDARDS, OnBuffer<ZarVinIoSetStandards>},
    {IOCTL_ZAR_VIN_GET_STANDARDS, OnBuffer<ZarVinIoGetStandards>},
    {IOCTL_ZAR_AUD_REC_SETUP, OnIrp<ZarAudRecSetup>},
    {IOCTL_ZAR_AUD_REC_RELEASE, OnBoard<ZarAudRecRelease>},
    {IOCTL_ZAR_JPEG_RELEASE_SDRAM_FIELD, ZarReleaseSdramField},
    {IOCTL_ZAR_AUD_SET_TRACK_MASKS, OnBuffer<ZarAudIoSetTrackMasks>},
    {IOCTL_ZAR_AUD_DSRV_PREP_PLAY, OnBuffer<ZarAudDSrvPrepPlay>},
    {IOCTL_ZAR_AUD_DSRV_UNPREP_PLAY, OnBuffer<ZarAudDSrvUnprepPlay>},
    {IOCTL_ZAR_AUD_DSRV_INIT_BUFFERS, OnBuffer<ZarAudDSrvInitBuffers>},
    {IOCTL_ZAR_AUD_DSRV_START_PLAY, OnBuffer<ZarAudDSrvStartPlay>},
    {IOCTL_ZAR_AUD_DSRV_STOP_PLAY, OnBuffer<ZarAudDSrvStopPlay>},
    {IOCTL_ZAR_AUD_DSRV_GET_EXCEPTION, OnBuffer<ZarAudDSrvGetException>},
    {IOCTL_ZAR_AUD_DSRV_GET_CURRENT_STATUS, OnBuffer<ZarAudDSrvGetCurrentStatus>},
    {IOCTL_ZAR_AUD_DSRV_SET_SPEED, OnBuffer<ZarAudDSrvSetSpeed>},
    {IOCTL_ZAR_WAVE_DETACH, nullptr},  // the wave front
    {IOCTL_ZAR_SET_VIN_H_POSITION, OnBuffer<ZarSetVinHPosition>},
    {IOCTL_ZAR_WAVE_LOAD_MIXER_SETTINGS, nullptr},  // the wave front
    {IOCTL_ZAR_WAVE_SAVE_MIXER_SETTINGS, nullptr},  // the wave front
    {IOCTL_ZAR_WAVE_GET_ACTIVE_DEVS, nullptr},  // the wave front
    {IOCTL_ZAR_WAVE_REQUEST_CTRL_CHANGE, nullptr},  // the wave front
    {IOCTL_ZAR_WAVE_CTRL_CHANGE, nullptr},  // the wave front
    {IOCTL_ZAR_WAVE_OPEN_FOR_PLAY, nullptr},  // the wave front
    {IOCTL_ZAR_WAVE_OPEN_FOR_RECORD, nullptr},  // the wave front
    {IOCTL_ZAR_WAVE_SET_FORMAT, nullptr},  // the wave front
    {IOCTL_ZAR_WAVE_SET_STATE, nullptr},  // the wave front
    {IOCTL_ZAR_WAVE_GET_POSITION, nullptr},  // the wave front
    {IOCTL_ZAR_WAVE_SUBSTITUTE_DATA, nullptr},  // the wave front
    {IOCTL_ZAR_SAA7146_BURST_THRESH, OnBuffer<ZarSaa7146SetBurstThresh>},
    {IOCTL_ZAR_AUD_SET_PASSIVE_EE, OnBufferForCaller<ZarAudUserSetPassiveEE>},
    {IOCTL_ZAR_HPS_SET_PROC_AMPS, OnBuffer<ZarSaa7146SetHpsProcAmps>},
    {IOCTL_ZAR_WAVE_LOAD_USER_PREFS, nullptr},  // the wave front
    {IOCTL_ZAR_WAVE_SAVE_USER_PREFS, nullptr},  // the wave front
    {IOCTL_ZAR_DVE_SET_WTIC_DMA_SIZE, OnBuffer<ZarSetWticDmaSize>},
    {IOCTL_ZAR_AUD_LEVEL_OVERRIDE, OnBuffer<ZarAudIoLevelOverride>},
    {IOCTL_ZAR_AUD_PAN_OVERRIDE, OnBuffer<ZarAudIoPanOverride>},
    {IOCTL_ZAR_AUD_EQ_OVERRIDE, OnBuffer<ZarAudIoEqOverride>},
    {IOCTL_ZAR_DIAG_SET_EXCEPTION_HANDLER, ZarSetExceptionHandler},
    {IOCTL_ZAR_DIAG_GET_EXCEPTION, OnBuffer<ZarDiagGetException>},
    {IOCTL_ZAR_VARIPLAY_INIT, VariPlayInit},
    {IOCTL_ZAR_VARIPLAY_CLOSE, OnDword<ZarVariPlayClose>},
    {IOCTL_ZAR_VARIPLAY_INVALIDATE_NODE, OnBuffer<ZarVariPlayInvalidateNode>},
    {IOCTL_ZAR_VARIPLAY_DISPLAY_NODE, OnBuffer<ZarVariPlayDisplayNode>},
    {IOCTL_ZAR_SET_HDCAM_24FPS_MODE, OnBuffer<ZarSetHdcam24FpsModeFromCaller>},
    {IOCTL_ZAR_HPS_SET_PRE_FILTER, OnBuffer<ZarSaa7146SetHpsPreFilter>},
    {IOCTL_ZAR_GET_24FPS_SUPPORT, ReturnMember<&ZAR_DEVICE_EXTENSION::Eeprom24FpsSupport>},
    {IOCTL_ZAR_ENABLE_TIMECODE_DATA_EXCHANGE, OnBuffer<ZarTandrel_EnableTimecodeDataExchange>},
    {IOCTL_ZAR_AUDFX_PLAY_COMMAND, OnBuffer<ZarAudFxPlayCommand>},
    {IOCTL_ZAR_I2C_REQUEST, OnIrp<ZarQueueI2cRequest>},
    {IOCTL_ZAR_PROC_AMP_PLAY_COMMAND, OnBuffer<ZarProcAmpPlayCommand>},
    {IOCTL_ZAR_TANDREL_GET_CONFIGURATION, nullptr},  // the time-code router
    {IOCTL_ZAR_TANDREL_LTC_GENERATOR_GET_GAIN, nullptr},  // the time-code router
    {IOCTL_ZAR_TANDREL_LTC_GENERATOR_SET_GAIN, nullptr},  // the time-code router
    {IOCTL_ZAR_TANDREL_VITC_GET_LINES, nullptr},  // the time-code router
    {IOCTL_ZAR_TANDREL_VITC_SET_LINES, nullptr},  // the time-code router
    {IOCTL_ZAR_TANDREL_BURNIN_SHOW_HIDE, nullptr},  // the time-code router
    {IOCTL_ZAR_TANDREL_BURNIN_GET_CONFIGURATION, nullptr},  // the time-code router
    {IOCTL_ZAR_TANDREL_BURNIN_SET_CONFIGURATION, nullptr},  // the time-code router
    {IOCTL_ZAR_INTERNAL_GET_STREAM_COUNT, nullptr},  // internal device control
    {IOCTL_ZAR_INTERNAL_GET_STREAM_INFO, nullptr},  // internal device control
    {IOCTL_ZAR_INTERNAL_CONNECT_STREAM, nullptr},  // internal device control
    {IOCTL_ZAR_INTERNAL_DISCONNECT_STREAM, nullptr},  // internal device control
};

// Every public row has its route, and exactly the codes that the dispatch
// serves (inline, by a handler, or on a queue) have a routine.
constexpr bool ZarRoutesMatchTable()
{
    if (sizeof(kRoutes) / sizeof(kRoutes[0]) != ZarIoctlCount) return false;
    for (size_t i = 0; i < ZarIoctlCount; ++i) {
        const ZAR_IOCTL_ENTRY& e = ZarIoctlTable[i];
        if (kRoutes[i].Code != e.Code) return false;
        bool served = e.Work == ZAR_WORK_INLINE || e.Work == ZAR_WORK_HANDLER || e.Work == ZAR_WORK_QUEUED;
        if (served != (kRoutes[i].Routine != nullptr)) return false;
    }
    return true;
}
// The sanitizer build cannot fold a function's address in a constant
// expression; the ordinary build checks the same table.
#ifndef __SANITIZE_ADDRESS__
static_assert(ZarRoutesMatchTable(), "the route table must follow ZarIoctlTable row by row");
#endif

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
    const ZAR_IOCTL_ENTRY* entry = ZarFindIoctl(code);

    if (ext->HardwareInfo->BoardState != ZAR_BOARD_STATE_BOARD && (entry == nullptr || !entry->AllowedWithoutBoard))
        return ZarCompleteRequest(irp, STATUS_DEVICE_NOT_CONNECTED, 0);

    if (callerKind == ZAR_CALLER_WAVE_DEVICE) {
        NTSTATUS status = ZarWaveDrvDispatchControl(device, irp);
        if (status != STATUS_INVALID_DEVICE_REQUEST) return status;
    }

    if (code >= ZAR_IOCTL_TANDREL_FIRST && code <= ZAR_IOCTL_TANDREL_LAST)
        return ZarTandrel_DispatchDeviceControl(device, irp);

    if (entry == nullptr || entry->Work == ZAR_WORK_WAVE_FRONT || entry->Work == ZAR_WORK_INTERNAL)
        return ZarCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (!ZarIoctlLengthsPass(*entry, inputLength, outputLength))
        return ZarCompleteRequest(irp, STATUS_INVALID_BUFFER_SIZE, 0);

    const ZAR_IOCTL_ROUTE& route = kRoutes[entry - ZarIoctlTable];
    // A row the dispatch does not serve that passed its lengths; refuse it
    // as unknown rather than guess at its work.
    if (route.Routine == nullptr) return ZarCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);

    // A code that returns data returns its table length; the few whose count
    // varies set it themselves.
    ZAR_IOCTL_REQUEST request = {ext, irp, stack, irp->AssociatedIrp.SystemBuffer, callerKind,
                                 entry->OutputRule == ZAR_LEN_ANY ? 0 : entry->OutputLength};
    NTSTATUS status = route.Routine(request);
    if (entry->Work == ZAR_WORK_QUEUED) return status;
    return ZarCompleteRequest(irp, status, request.Bytes);
}
