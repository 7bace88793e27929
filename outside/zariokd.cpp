// ZARIOKD stand-in: one device \Device\ZarIo<n> with the link \??\ZARIO<n>
// per Solvane board, numbered as the board driver numbers them (the boards
// in PCI scan order). It answers create and close and every code the system
// sends (include/zario.h) with the least model that stays consistent: the
// option board is present, its firmware is loaded by the firmware request,
// settings read back as they were set, a DV capture counts frames between
// its start and stop, an AV/C command is accepted. Any other code is
// refused, and so is a record of another length.
//
// What it assumes: the option sits on every board of the machine; a
// bridge with foreign subsystem ids carries no option.

#include "outside/zariokd.h"

#include <cstddef>

#include "platform/nt/machine.h"

namespace {

constexpr USHORT kBridgeVendor = 0x1131;
constexpr USHORT kBridgeDevice = 0x7146;
constexpr USHORT kBoardSubVendor = 0x5A52;
constexpr ULONG kMaxBuses = 256;

// One option board: what the codes set and read back. Requests of one
// device are served under its lock, so a setting is never read half written.
struct ZARIO_EXTENSION {
    ULONG Board;
    KSPIN_LOCK Lock;
    BOOLEAN FirmwareLoaded;
    BOOLEAN Running;  // firmware loaded and started
    BOOLEAN DvCapturing;
    ULONG DvFramesCaptured;
    UCHAR M2Routing[20];
    UCHAR VideoInputMode[20];
    UCHAR DvCodec[12];
    ULONG DvAudioMix;
    UCHAR CaptureProcAmp[10];
    UCHAR Framestore[8];
    UCHAR SdiOutput[8];
    ULONG SdiMode;
    UCHAR SdiAudioReceive[16];
    UCHAR SdiAudioTransmit[16];
    UCHAR AesTransmit[8];
    ULONG Mode24Fps;
    ULONG AudioSource;
};

// The firmware's identification words, as the option reports them.
constexpr ULONG kFirmwareId[2] = {0x5A494F31, ZARIO_REVISION};

void MakeName(PWCHAR buffer, const char16_t* prefix, ULONG board, PUNICODE_STRING name)
{
    ULONG i = 0;
    for (; prefix[i] != 0; ++i) buffer[i] = prefix[i];
    buffer[i++] = WCHAR(u'0' + board);
    buffer[i] = 0;
    RtlInitUnicodeString(name, buffer);
}

bool IsBoard(const PCI_COMMON_CONFIG& config)
{
    return config.VendorID == kBridgeVendor && config.DeviceID == kBridgeDevice &&
           config.SubVendorID == kBoardSubVendor && (config.SubSystemID == 0x0202 || config.SubSystemID == 0x0203);
}

ULONG CountBoards()
{
    ULONG boards = 0;
    for (ULONG bus = 0; bus < kMaxBuses; ++bus) {
        for (ULONG device = 0; device < 32; ++device) {
            for (ULONG function = 0; function < 8; ++function) {
                PCI_COMMON_CONFIG config;
                ULONG slot = (device & 0x1F) | (function << 5);
                ULONG got = HalGetBusData(PCIConfiguration, bus, slot, &config, sizeof(config));
                if (got == 0) return boards;  // no such bus: the scan is over
                if (config.VendorID == 0xFFFF) break;
                if (got >= sizeof(config) && IsBoard(config) && boards < ZARIO_MAX_BOARDS) ++boards;
            }
        }
    }
    return boards;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS ZarIoCreateClose(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 0); }

// How a code is served: a setting stored from the record, a setting copied
// into the record, or a routine of its own. Every routine returns the
// status; the byte count is the code's output length on success.
enum class ZarIoServe { Store, Load, Routine };
using ZarIoRoutine = NTSTATUS (*)(ZARIO_EXTENSION* option, PUCHAR record);

struct ZARIO_CODE {
    ULONG Code;
    ULONG InputLength;
    ULONG OutputLength;
    ZarIoServe Serve;
    size_t Field;  // offset of the setting in ZARIO_EXTENSION (Store, Load)
    ZarIoRoutine Routine;
};

NTSTATUS ZarIoBoardState(ZARIO_EXTENSION*, PUCHAR record)
{
    ULONG state = ZARIO_BOARD_PRESENT;
    RtlCopyMemory(record, &state, sizeof(state));
    return STATUS_SUCCESS;
}

NTSTATUS ZarIoFirmware(ZARIO_EXTENSION* option, PUCHAR record)
{
    ZARIO_FIRMWARE_REQUEST request;
    RtlCopyMemory(&request, record, sizeof(request));
    if (request.Command == ZARIO_FIRMWARE_PROGRAM) {
        option->FirmwareLoaded = TRUE;
        option->Running = FALSE;
    } else if (request.Command != ZARIO_FIRMWARE_REPORT) {
        return STATUS_INVALID_PARAMETER;
    }
    request.Answer = option->FirmwareLoaded ? ZARIO_FIRMWARE_LOADED : ZARIO_FIRMWARE_NONE;
    request.Identification[0] = option->FirmwareLoaded ? kFirmwareId[0] : 0;
    request.Identification[1] = option->FirmwareLoaded ? kFirmwareId[1] : 0;
    RtlCopyMemory(record, &request, sizeof(request));
    return STATUS_SUCCESS;
}

NTSTATUS ZarIoFirmwareDone(ZARIO_EXTENSION* option, PUCHAR)
{
    if (!option->FirmwareLoaded) return STATUS_DEVICE_NOT_READY;
    option->Running = TRUE;
    return STATUS_SUCCESS;
}

// Both capability words nonzero: SDI, DV and AES are all fitted.
NTSTATUS ZarIoCapabilities(ZARIO_EXTENSION*, PUCHAR record)
{
    const ULONG words[3] = {1, 1, 0};
    RtlCopyMemory(record, words, sizeof(words));
    return STATUS_SUCCESS;
}

NTSTATUS ZarIo24FpsSupport(ZARIO_EXTENSION*, PUCHAR record)
{
    ULONG allowed = 1;
    RtlCopyMemory(record, &allowed, sizeof(allowed));
    return STATUS_SUCCESS;
}

NTSTATUS ZarIoSet24Fps(ZARIO_EXTENSION* option, PUCHAR record)
{
    ZARIO_24FPS_REPLY reply;
    RtlCopyMemory(&reply.Mode, record, sizeof(reply.Mode));
    option->Mode24Fps = reply.Mode;
    reply.Revision = ZARIO_REVISION;
    reply.Board = option->Board;
    RtlCopyMemory(record, &reply, sizeof(reply));
    return STATUS_SUCCESS;
}

// Answers with an all-clear record: no tape, no time code, no EDH errors,
// no AES signal locked.
NTSTATUS ZarIoNothingToReport(ZARIO_EXTENSION*, PUCHAR) { return STATUS_SUCCESS; }

// An AV/C command of the tape subunit: a status inquiry is answered stable,
// any other command accepted, its operands left as sent.
NTSTATUS ZarIoFcpCommand(ZARIO_EXTENSION*, PUCHAR frame)
{
    UCHAR ctype = frame[0] & 0x0F;
    UCHAR response = ctype == ZARIO_AVC_CTYPE_STATUS ? ZARIO_AVC_STABLE : ZARIO_AVC_ACCEPTED;
    frame[0] = UCHAR((frame[0] & 0xF0) | response);
    return STATUS_SUCCESS;
}

NTSTATUS ZarIoCaptureStart(ZARIO_EXTENSION* option, PUCHAR)
{
    if (option->DvCapturing) return STATUS_DEVICE_BUSY;
    option->DvCapturing = TRUE;
    option->DvFramesCaptured = 0;
    return STATUS_SUCCESS;
}

// Status record: word 0 whether a capture runs, word 1 the frames it took.
NTSTATUS ZarIoCaptureStatus(ZARIO_EXTENSION* option, PUCHAR record)
{
    const ULONG words[2] = {option->DvCapturing ? 1u : 0u, option->DvFramesCaptured};
    RtlZeroMemory(record, 136);
    RtlCopyMemory(record, words, sizeof(words));
    return STATUS_SUCCESS;
}

// A frame record: word 0 the frame's number, the rest its (blank) data.
NTSTATUS ZarIoCaptureFrame(ZARIO_EXTENSION* option, PUCHAR record)
{
    if (!option->DvCapturing) return STATUS_DEVICE_NOT_READY;
    ULONG number = option->DvFramesCaptured++;
    RtlZeroMemory(record, 1028);
    RtlCopyMemory(record, &number, sizeof(number));
    return STATUS_SUCCESS;
}

NTSTATUS ZarIoCaptureStop(ZARIO_EXTENSION* option, PUCHAR)
{
    option->DvCapturing = FALSE;
    return STATUS_SUCCESS;
}

#define ZARIO_FIELD(name) offsetof(ZARIO_EXTENSION, name)

const ZARIO_CODE kCodes[] = {
    {IOCTL_ZARIO_GET_BOARD_STATE, 0, 4, ZarIoServe::Routine, 0, ZarIoBoardState},
    {IOCTL_ZARIO_FIRMWARE, 16, 16, ZarIoServe::Routine, 0, ZarIoFirmware},
    {IOCTL_ZARIO_FIRMWARE_DONE, 0, 0, ZarIoServe::Routine, 0, ZarIoFirmwareDone},
    {IOCTL_ZARIO_GET_CAPABILITIES, 12, 12, ZarIoServe::Routine, 0, ZarIoCapabilities},
    {IOCTL_ZARIO_GET_24FPS_SUPPORT, 4, 4, ZarIoServe::Routine, 0, ZarIo24FpsSupport},
    {IOCTL_ZARIO_SET_24FPS_MODE, 4, 4, ZarIoServe::Store, ZARIO_FIELD(Mode24Fps), nullptr},
    {IOCTL_ZARIO_SET_M2_ROUTING, 20, 20, ZarIoServe::Store, ZARIO_FIELD(M2Routing), nullptr},
    {IOCTL_ZARIO_SET_VIDEO_INPUT_MODE, 20, 20, ZarIoServe::Store, ZARIO_FIELD(VideoInputMode), nullptr},
    {IOCTL_ZARIO_GET_DV_VCR_STATUS, 20, 20, ZarIoServe::Routine, 0, ZarIoNothingToReport},
    {IOCTL_ZARIO_QUERY_DV_VCR_TIMECODE, 8, 8, ZarIoServe::Routine, 0, ZarIoNothingToReport},
    {IOCTL_ZARIO_DV_FCP_COMMAND, 33, 33, ZarIoServe::Routine, 0, ZarIoFcpCommand},
    {IOCTL_ZARIO_SET_DV_CODEC, 12, 12, ZarIoServe::Store, ZARIO_FIELD(DvCodec), nullptr},
    {IOCTL_ZARIO_GET_DV_CODEC, 12, 12, ZarIoServe::Load, ZARIO_FIELD(DvCodec), nullptr},
    {IOCTL_ZARIO_DV_SET_AUDIO_MIX, 4, 0, ZarIoServe::Store, ZARIO_FIELD(DvAudioMix), nullptr},
    {IOCTL_ZARIO_SDI_QUERY_EDH, 20, 20, ZarIoServe::Routine, 0, ZarIoNothingToReport},
    {IOCTL_ZARIO_SET_CAPTURE_PROC_AMP, 10, 10, ZarIoServe::Store, ZARIO_FIELD(CaptureProcAmp), nullptr},
    {IOCTL_ZARIO_GET_CAPTURE_PROC_AMP, 10, 10, ZarIoServe::Load, ZARIO_FIELD(CaptureProcAmp), nullptr},
    {IOCTL_ZARIO_SET_FRAMESTORE, 8, 8, ZarIoServe::Store, ZARIO_FIELD(Framestore), nullptr},
    {IOCTL_ZARIO_GET_FRAMESTORE, 8, 8, ZarIoServe::Load, ZARIO_FIELD(Framestore), nullptr},
    {IOCTL_ZARIO_SET_SDI_OUTPUT, 8, 8, ZarIoServe::Store, ZARIO_FIELD(SdiOutput), nullptr},
    {IOCTL_ZARIO_SET_SDI_MODE, 4, 4, ZarIoServe::Store, ZARIO_FIELD(SdiMode), nullptr},
    {IOCTL_ZARIO_GET_SDI_MODE, 4, 4, ZarIoServe::Load, ZARIO_FIELD(SdiMode), nullptr},
    {IOCTL_ZARIO_SET_SDI_AUDIO_RECEIVE, 16, 16, ZarIoServe::Store, ZARIO_FIELD(SdiAudioReceive), nullptr},
    {IOCTL_ZARIO_GET_SDI_AUDIO_RECEIVE, 16, 16, ZarIoServe::Load, ZARIO_FIELD(SdiAudioReceive), nullptr},
    {IOCTL_ZARIO_SET_SDI_AUDIO_TRANSMIT, 16, 16, ZarIoServe::Store, ZARIO_FIELD(SdiAudioTransmit), nullptr},
    {IOCTL_ZARIO_GET_SDI_AUDIO_TRANSMIT, 16, 16, ZarIoServe::Load, ZARIO_FIELD(SdiAudioTransmit), nullptr},
    {IOCTL_ZARIO_SET_AES_TRANSMIT, 8, 8, ZarIoServe::Store, ZARIO_FIELD(AesTransmit), nullptr},
    {IOCTL_ZARIO_GET_AES_TRANSMIT, 8, 8, ZarIoServe::Load, ZARIO_FIELD(AesTransmit), nullptr},
    {IOCTL_ZARIO_GET_AES_RECEIVE_STATUS, 4, 4, ZarIoServe::Routine, 0, ZarIoNothingToReport},
    {IOCTL_ZARIO_HPS_CAPTURE_IMAGE, 56, 56, ZarIoServe::Routine, 0, ZarIoNothingToReport},
    {IOCTL_ZARIO_DV_CAPTURE_START, 44, 44, ZarIoServe::Routine, 0, ZarIoCaptureStart},
    {IOCTL_ZARIO_DV_CAPTURE_STATUS, 136, 136, ZarIoServe::Routine, 0, ZarIoCaptureStatus},
    {IOCTL_ZARIO_DV_CAPTURE_FRAME, 1028, 1028, ZarIoServe::Routine, 0, ZarIoCaptureFrame},
    {IOCTL_ZARIO_DV_CAPTURE_STOP, 0, 0, ZarIoServe::Routine, 0, ZarIoCaptureStop},
    {IOCTL_ZARIO_SET_24FPS, 12, 12, ZarIoServe::Routine, 0, ZarIoSet24Fps},
    {IOCTL_ZARIO_SET_AUDIO_SOURCE, 4, 4, ZarIoServe::Store, ZARIO_FIELD(AudioSource), nullptr},
};

#undef ZARIO_FIELD

const ZARIO_CODE* ZarIoFindCode(ULONG code)
{
    for (const ZARIO_CODE& entry : kCodes)
        if (entry.Code == code) return &entry;
    return nullptr;
}

NTSTATUS ZarIoDeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ZARIO_CODE* entry = ZarIoFindCode(stack->Parameters.DeviceIoControl.IoControlCode);
    if (!entry) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    // A code without input ignores what came in; one with input takes
    // exactly its record, and the answer must fit.
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    if ((entry->InputLength != 0 && inputLength != entry->InputLength) ||
        stack->Parameters.DeviceIoControl.OutputBufferLength < entry->OutputLength)
        return Complete(irp, STATUS_INVALID_BUFFER_SIZE, 0);
    auto* option = static_cast<ZARIO_EXTENSION*>(device->DeviceExtension);
    auto* record = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    auto* field = reinterpret_cast<PUCHAR>(option) + entry->Field;
    ULONG fieldLength = entry->InputLength != 0 ? entry->InputLength : entry->OutputLength;
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql;
    KeAcquireSpinLock(&option->Lock, &irql);
    switch (entry->Serve) {
    case ZarIoServe::Store:
        RtlCopyMemory(field, record, fieldLength);
        break;
    case ZarIoServe::Load:
        RtlCopyMemory(record, field, fieldLength);
        break;
    case ZarIoServe::Routine:
        status = entry->Routine(option, record);
        break;
    }
    KeReleaseSpinLock(&option->Lock, irql);
    return Complete(irp, status, NT_SUCCESS(status) ? entry->OutputLength : 0);
}

void ZarIoUnload(PDRIVER_OBJECT driver)
{
    PDEVICE_OBJECT device = driver->DeviceObject;
    while (device != nullptr) {
        PDEVICE_OBJECT next = device->NextDevice;
        WCHAR buffer[32];
        UNICODE_STRING link;
        MakeName(buffer, u"\\??\\ZARIO", static_cast<ZARIO_EXTENSION*>(device->DeviceExtension)->Board, &link);
        IoDeleteSymbolicLink(&link);
        IoDeleteDevice(device);
        device = next;
    }
}

NTSTATUS ZarIoDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    ULONG boards = CountBoards();
    if (boards == 0) return STATUS_NO_SUCH_DEVICE;
    driver->MajorFunction[IRP_MJ_CREATE] = ZarIoCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = ZarIoCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ZarIoDeviceControl;
    driver->DriverUnload = ZarIoUnload;

    for (ULONG board = 0; board < boards; ++board) {
        WCHAR deviceBuffer[32], linkBuffer[32];
        UNICODE_STRING deviceName, linkName;
        MakeName(deviceBuffer, u"\\Device\\ZarIo", board, &deviceName);
        MakeName(linkBuffer, u"\\??\\ZARIO", board, &linkName);
        PDEVICE_OBJECT device = nullptr;
        NTSTATUS status = IoCreateDevice(driver, sizeof(ZARIO_EXTENSION), &deviceName, FILE_DEVICE_UNKNOWN, 0,
                                         FALSE, &device);
        if (NT_SUCCESS(status)) {
            auto* option = static_cast<ZARIO_EXTENSION*>(device->DeviceExtension);
            RtlZeroMemory(option, sizeof(*option));
            option->Board = board;
            KeInitializeSpinLock(&option->Lock);
            device->Flags |= DO_BUFFERED_IO;
            status = IoCreateSymbolicLink(&linkName, &deviceName);
            if (!NT_SUCCESS(status)) IoDeleteDevice(device);
        }
        if (!NT_SUCCESS(status)) {
            ZarIoUnload(driver);
            return status;
        }
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ZarIoKdInstall(ULONG start) { return nt::WriteDriverServiceKey(u"ZARIOKD", start); }

NT_REGISTER_DRIVER_IMAGE("ZARIOKD.sys", ZarIoDriverEntry);
