// SCSI bus protocol of the board's host adapter, as the command thread runs
// it: controller set-up and bus reset, the per-target table with its
// registry options, selection with wide and synchronous negotiation, the
// data, status and message phases with their time-outs, the commands the
// engine issues, the bus scan with the drives' cache and SMART settings,
// and the interrupt path.
//
// The controller sits at DEBI 0xA000 + 4n and is reached only through the
// DEBI programmed-I/O routines. One target owns the bus from selection to
// bus free (no disconnect/reselect). The SCSI source of the shared mask is
// set only around the waits that expect an interrupt; every other wait
// polls the board status word with it cleared.

#include <cstring>

#include "include/zarkd_msg.h"
#include "zar_board_regs.h"
#include "zar_bridge.h"
#include "zar_debi.h"
#include "zar_eventlog.h"
#include "zar_extension.h"
#include "zar_isr.h"
#include "zar_scsi.h"

namespace {

// Controller registers (index n at 0xA000 + 4n).
constexpr ULONG kControllerBase = ZAR_REG_SCSI_CONTROLLER;
constexpr ULONG kRegCount0 = 0;
constexpr ULONG kRegCount1 = 1;
constexpr ULONG kRegFifo = 2;
constexpr ULONG kRegCommand = 3;
constexpr ULONG kRegStatus = 4;        // read: bus phase in bits 0-2
constexpr ULONG kRegDestination = 4;   // write
constexpr ULONG kRegInterrupt = 5;     // read: clears
constexpr ULONG kRegSelTimeout = 5;    // write
constexpr ULONG kRegPeriod = 6;
constexpr ULONG kRegFifoFlags = 7;     // read
constexpr ULONG kRegOffset = 7;        // write
constexpr ULONG kRegConfig1 = 8;
constexpr ULONG kRegClock = 9;
constexpr ULONG kRegTiming = 10;
constexpr ULONG kRegConfig2 = 11;
constexpr ULONG kRegConfig3 = 12;
constexpr ULONG kRegDmaThreshold = 13;
constexpr ULONG kRegCount2 = 14;
constexpr ULONG kRegCount3 = 15;

constexpr UCHAR kCmdFlushFifo = 0x01;
constexpr UCHAR kCmdResetChip = 0x02;
constexpr UCHAR kCmdResetBus = 0x03;
constexpr UCHAR kCmdTransferInfo = 0x10;
constexpr UCHAR kCmdCommandComplete = 0x11;
constexpr UCHAR kCmdMessageAccepted = 0x12;
constexpr UCHAR kCmdSetAtn = 0x1A;
constexpr UCHAR kCmdResetAtn = 0x1B;
constexpr UCHAR kCmdSelectAtn = 0x42;
constexpr UCHAR kCmdSelectAtnStop = 0x43;
constexpr UCHAR kCmdDmaNop = 0x80;
constexpr UCHAR kCmdDmaTransferInfo = 0x90;

constexpr ULONG kIrqFunctionComplete = 0x08;
constexpr ULONG kIrqBusService = 0x10;
constexpr ULONG kIrqDisconnect = 0x20;
constexpr ULONG kIrqAny = 0;

constexpr ULONG kPhaseDataOut = 0;
constexpr ULONG kPhaseDataIn = 1;
constexpr ULONG kPhaseCommand = 2;
constexpr ULONG kPhaseStatus = 3;
constexpr ULONG kPhaseMessageOut = 6;
constexpr ULONG kPhaseMessageIn = 7;
constexpr ULONG kPhaseMask = 0x07;

// Register values at initialisation, in the order they are written.
struct ZAR_SCSI_REGISTER_VALUE {
    ULONG Register;
    UCHAR Value;
};
constexpr ZAR_SCSI_REGISTER_VALUE kInitialRegisters[] = {
    {kRegClock, 0x00},  {kRegDestination, 0x40}, {kRegSelTimeout, 0xFF}, {kRegPeriod, 4},
    {kRegOffset, 8},    {kRegConfig1, 0x57},     {kRegTiming, 0x8C},     {kRegConfig2, 0x88},
    {kRegConfig3, 0x4D}, {kRegDmaThreshold, 4},  {kRegCount2, 0},        {kRegCount3, 0},
};
constexpr UCHAR kConfig1SlowCable = 0x80;
constexpr UCHAR kTimingFast20 = 0x08;
constexpr UCHAR kConfig3Wide = 0x40;
constexpr UCHAR kConfig3FastModes = 0x03;

// Board registers.
constexpr ULONG kSdramControl = ZAR_REG_SCSI_SDRAM_CONTROL;
constexpr ULONG kSdramControlEnable = ZAR_SCSI_SDRAM_ENABLE;
constexpr ULONG kSdramControlStrobe = ZAR_SCSI_SDRAM_STROBE;
constexpr ULONG kSdramControlArm = ZAR_SCSI_SDRAM_ARM | ZAR_SCSI_SDRAM_FROM_MEMORY;  // direction and arm
constexpr ULONG kBoardStatus = ZAR_REG_BOARD_STATUS;
constexpr ULONG kBoardStatusScsiIrqN = ZAR_STATUS_SCSI_IRQ_N;

// Waits (100 ns units for the clock, microseconds for the polls).
constexpr ULONGLONG kPollInterruptLimit = 10000000;  // 1 s
constexpr ULONG kPhasePollStep = 10;
constexpr ULONG kPhaseWait = 10000;
constexpr ULONG kPhaseWaitScanning = 1000;
constexpr ULONG kStatusPhaseWait = 100000;
constexpr LONGLONG kSelectionWait = -10000000LL;     // 1 s
constexpr LONGLONG kStartUnitWait = -300000000LL;    // 30 s
constexpr LONGLONG kDataPhaseWait = -30000000LL;     // 3 s
constexpr LONGLONG kBusResetSettle = -30000000LL;    // 3 s
constexpr LONGLONG kSpinUpPoll = -5000000LL;         // 0.5 s
constexpr ULONG kSpinUpPolls = 120;

// SCSI commands and messages.
constexpr UCHAR kOpTestUnitReady = 0x00;
constexpr UCHAR kOpRequestSense = 0x03;
constexpr UCHAR kOpInquiry = 0x12;
constexpr UCHAR kOpModeSelect6 = 0x15;
constexpr UCHAR kOpModeSense6 = 0x1A;
constexpr UCHAR kOpStartStopUnit = 0x1B;
constexpr UCHAR kOpReadCapacity10 = 0x25;
constexpr UCHAR kStatusCheckCondition = 0x02;
constexpr UCHAR kMsgIdentify = 0x80;  // LUN 0, no disconnect
constexpr UCHAR kMsgExtended = 0x01;
constexpr UCHAR kExtWdtrLength = 0x02;
constexpr UCHAR kExtWdtr = 0x03;
constexpr UCHAR kExtSdtrLength = 0x03;
constexpr UCHAR kExtSdtr = 0x01;

constexpr ULONG kReplyBytes = 256;
constexpr ULONG kAllocationLength = 0xFF;
constexpr ULONG kModeSelectBytes = 512;
constexpr ULONG kReplyCopyBytes = 512;

// Period factors (4 ns units) the controller runs.
constexpr ULONG kPeriodFast20 = 12;
constexpr ULONG kPeriodFast10 = 25;
constexpr ULONG kPeriod124 = 31;
constexpr ULONG kPeriod148 = 37;
constexpr ULONG kPeriodAsync = 50;
constexpr ULONG kMaxOffset = 15;

// Mode pages: byte positions from the start of the mode data (4-byte header,
// 8-byte block descriptor, then the page).
constexpr ULONG kModePageCode = 12;
constexpr ULONG kModePageFlags = 14;
constexpr UCHAR kModePageSavable = 0x80;
constexpr UCHAR kCachingRcd = 0x01;
constexpr UCHAR kCachingWce = 0x04;
constexpr UCHAR kExceptionsDexcpt = 0x08;
constexpr ULONG kPageCaching = 0x08;
constexpr ULONG kPageExceptions = 0x1C;
constexpr ULONG kPageChangeable = 0x40;

const char kHostVendor[] = "KIV";
const char kHostProduct[] = "Host Adapter";
const char kHostRevision[] = "1.00";
const char kHostIdentification[] = "Solvane";

ZAR_SCSI_DEVICE_INFO* ZarScsiDevice(PZAR_DEVICE_EXTENSION ext, ULONG id) { return &ext->Scsi.Tables->Device[id]; }

UCHAR ZarScsiRead(PZAR_DEVICE_EXTENSION ext, ULONG reg)
{
    return UCHAR(ZarDebiPioRead(ext, kControllerBase + 4 * reg));
}

void ZarScsiWrite(PZAR_DEVICE_EXTENSION ext, ULONG reg, UCHAR value)
{
    ext->Scsi.Shadow[reg] = value;
    ZarDebiPioWrite(ext, kControllerBase + 4 * reg, value);
}

void ZarScsiCommand(PZAR_DEVICE_EXTENSION ext, UCHAR command)
{
    ZarDebiPioWrite(ext, kControllerBase + 4 * kRegCommand, command);
}

void ZarScsiWriteSdramControl(PZAR_DEVICE_EXTENSION ext, ULONG extra)
{
    ZarDebiPioWrite(ext, kSdramControl, ext->Scsi.SdramControl | extra);
}

// Polls the board status word for the controller's request, then takes (and
// clears) the interrupt register. TRUE when one of 'mask' is set (any bit
// for kIrqAny).
BOOLEAN ZarScsiPollInterrupt(PZAR_DEVICE_EXTENSION ext, ULONG mask)
{
    ULONGLONG deadline = KeQueryInterruptTime() + kPollInterruptLimit;
    while (ZarDebiPioRead(ext, kBoardStatus) & kBoardStatusScsiIrqN) {
        if (KeQueryInterruptTime() >= deadline) return FALSE;
        KeStallExecutionProcessor(1);
    }
    ULONG bits = ZarScsiRead(ext, kRegInterrupt);
    ext->Scsi.InterruptStatus = bits;
    return mask == kIrqAny ? bits != 0 : (bits & mask) != 0;
}

BOOLEAN ZarScsiVerifyBusPhase(PZAR_DEVICE_EXTENSION ext, ULONG phase)
{
    // A scan meets mostly absent ids: their bus never shows a phase.
    ULONG limit = ext->Scsi.Scanning ? kPhaseWaitScanning : kPhaseWait;
    for (ULONG waited = 0;; waited += kPhasePollStep) {
        if ((ZarScsiRead(ext, kRegStatus) & kPhaseMask) == phase) return TRUE;
        if (waited >= limit) return FALSE;
        KeStallExecutionProcessor(kPhasePollStep);
    }
}

void ZarScsiFifoFlush(PZAR_DEVICE_EXTENSION ext) { ZarScsiCommand(ext, kCmdFlushFifo); }

void ZarScsiFifoLoadPad(PZAR_DEVICE_EXTENSION ext, UCHAR byte)
{
    ZarDebiPioWrite(ext, kControllerBase + 4 * kRegFifo, byte);
}

void ZarScsiFifoLoad(PZAR_DEVICE_EXTENSION ext, const UCHAR* bytes, ULONG count)
{
    for (ULONG i = 0; i < count; ++i) ZarScsiFifoLoadPad(ext, bytes[i]);
}

BOOLEAN ZarScsiFifoRead(PZAR_DEVICE_EXTENSION ext, PUCHAR bytes, ULONG count)
{
    if (ULONG(ZarScsiRead(ext, kRegFifoFlags) & 0x1F) < count) return FALSE;
    for (ULONG i = 0; i < count; ++i) bytes[i] = ZarScsiRead(ext, kRegFifo);
    return TRUE;
}

// Message In of 'count' bytes; the last one is left for ZarScsiMsgInComplete.
BOOLEAN ZarScsiRxMessage(PZAR_DEVICE_EXTENSION ext, PUCHAR bytes, ULONG count)
{
    for (ULONG i = 0; i < count; ++i) {
        if (i != 0) {
            ZarScsiCommand(ext, kCmdMessageAccepted);
            if (!ZarScsiPollInterrupt(ext, kIrqBusService)) return FALSE;
        }
        ZarScsiCommand(ext, kCmdTransferInfo);
        if (!ZarScsiPollInterrupt(ext, kIrqFunctionComplete)) return FALSE;
    }
    return ZarScsiFifoRead(ext, bytes, count);
}

BOOLEAN ZarScsiMsgInComplete(PZAR_DEVICE_EXTENSION ext, BOOLEAN keepAtn)
{
    ZarScsiCommand(ext, keepAtn ? kCmdSetAtn : kCmdResetAtn);
    ZarScsiCommand(ext, kCmdMessageAccepted);
    return ZarScsiPollInterrupt(ext, kIrqBusService);
}

BOOLEAN ZarScsiIsValidMessage(const UCHAR* reply, UCHAR length, UCHAR code)
{
    return reply[0] == kMsgExtended && reply[1] == length && reply[2] == code;
}

void ZarScsiLoadTransfer32(PZAR_DEVICE_EXTENSION ext, ULONG bytes, BOOLEAN dataIn)
{
    // Data in is set up larger than the reply: the target ends the phase early.
    if (dataIn) bytes += 64;
    ZarScsiWrite(ext, kRegCount0, UCHAR(bytes));
    ZarScsiWrite(ext, kRegCount1, UCHAR(bytes >> 8));
    ZarScsiWrite(ext, kRegCount2, UCHAR(bytes >> 16));
    ZarScsiWrite(ext, kRegCount3, UCHAR(bytes >> 24));
}

// Issues a command that ends in an interrupt and waits for it with the SCSI
// source unmasked. FALSE on time-out.
BOOLEAN ZarScsiCommandAndWait(PZAR_DEVICE_EXTENSION ext, UCHAR command, LONGLONG timeout)
{
    ZarScsiInterruptEnable(ext);
    ZarScsiCommand(ext, command);
    LARGE_INTEGER wait;
    wait.QuadPart = timeout;
    NTSTATUS status = KeWaitForSingleObject(&ext->Scsi.InterruptEvent, Executive, KernelMode, FALSE, &wait);
    ZarScsiInterruptDisable(ext);
    return status == STATUS_SUCCESS;
}

void ZarScsiSetTransferMode(PZAR_DEVICE_EXTENSION ext, const ZAR_DISK_REQUEST* request,
                            const ZAR_SCSI_DEVICE_INFO* device)
{
    const UCHAR* shadow = ext->Scsi.Shadow;
    UCHAR config3 = shadow[kRegConfig3] & UCHAR(~(kConfig3Wide | kConfig3FastModes));
    if (device->NegotiatedWide) config3 |= kConfig3Wide;
    UCHAR config1 = shadow[kRegConfig1] & UCHAR(~kConfig1SlowCable);
    if (request->DataDirection == ZAR_DISK_DIRECTION_OUT && device->SlowCableInForce) config1 |= kConfig1SlowCable;
    UCHAR timing = shadow[kRegTiming] & UCHAR(~kTimingFast20);
    UCHAR period = shadow[kRegPeriod];
    switch (device->NegotiatedPeriod) {
    case kPeriodFast20:
        config3 |= 0x01;
        timing |= kTimingFast20;
        break;
    case kPeriodFast10: config3 |= 0x03; period = UCHAR((period & 0xF0) | 4); break;
    case kPeriod124: config3 |= 0x03; period = UCHAR((period & 0xF0) | 5); break;
    case kPeriod148: config3 |= 0x03; period = UCHAR((period & 0xF0) | 6); break;
    default:
        config3 |= 0x01;
        period = UCHAR((period & 0xF0) | 7);
        break;
    }
    ZarScsiWrite(ext, kRegConfig3, config3);
    ZarScsiWrite(ext, kRegConfig1, config1);
    ZarScsiWrite(ext, kRegTiming, timing);
    ZarScsiWrite(ext, kRegPeriod, period);
    ZarScsiWrite(ext, kRegOffset, UCHAR((shadow[kRegOffset] & 0xF0) | (device->NegotiatedOffset & 0x0F)));
    ZarScsiWrite(ext, kRegDmaThreshold,
                 UCHAR(request->DataDirection == ZAR_DISK_DIRECTION_OUT ? ext->Scsi.DmaThresholdTx
                                                                        : ext->Scsi.DmaThresholdRx));
}

ULONG ZarScsiPeriodAtLeast(ULONG period)
{
    if (period <= kPeriodFast20) return kPeriodFast20;
    if (period <= kPeriodFast10) return kPeriodFast10;
    if (period <= kPeriod124) return kPeriod124;
    return kPeriod148;
}

// Width then synchronous agreement, from selection with ATN to the command
// phase.
NTSTATUS ZarScsiNegotiate(PZAR_DEVICE_EXTENSION ext, ZAR_SCSI_DEVICE_INFO* device)
{
    ZarScsiFifoFlush(ext);
    ZarScsiFifoLoadPad(ext, kMsgIdentify);
    ZarScsiCommand(ext, kCmdSelectAtnStop);
    if (!ZarScsiPollInterrupt(ext, kIrqAny) || (ext->Scsi.InterruptStatus & kIrqDisconnect) ||
        !ZarScsiVerifyBusPhase(ext, kPhaseMessageOut))
        return STATUS_UNSUCCESSFUL;

    UCHAR wide = device->WantedWide ? 1 : 0;
    for (;;) {
        const UCHAR request[] = {kMsgExtended, kExtWdtrLength, kExtWdtr, wide};
        ZarScsiFifoFlush(ext);
        ZarScsiFifoLoad(ext, request, sizeof(request));
        ZarScsiCommand(ext, kCmdTransferInfo);
        UCHAR reply[4];
        if (!ZarScsiPollInterrupt(ext, kIrqBusService) || !ZarScsiVerifyBusPhase(ext, kPhaseMessageIn) ||
            !ZarScsiRxMessage(ext, reply, sizeof(reply)) || !ZarScsiMsgInComplete(ext, TRUE) ||
            !ZarScsiIsValidMessage(reply, kExtWdtrLength, kExtWdtr))
            return STATUS_UNSUCCESSFUL;
        if (reply[3] == wide) break;
        if (wide == 0) return STATUS_UNSUCCESSFUL;
        wide = 0;
    }

    ULONG period = device->WantedPeriod;
    ULONG offset = device->WantedOffset;
    for (ULONG attempt = 0;; ++attempt) {
        const UCHAR request[] = {kMsgExtended, kExtSdtrLength, kExtSdtr, UCHAR(period), UCHAR(offset)};
        ZarScsiFifoFlush(ext);
        ZarScsiFifoLoad(ext, request, sizeof(request));
        ZarScsiCommand(ext, kCmdTransferInfo);
        UCHAR reply[5];
        if (!ZarScsiPollInterrupt(ext, kIrqBusService) || !ZarScsiVerifyBusPhase(ext, kPhaseMessageIn) ||
            !ZarScsiRxMessage(ext, reply, sizeof(reply)) || !ZarScsiIsValidMessage(reply, kExtSdtrLength, kExtSdtr))
            return STATUS_UNSUCCESSFUL;
        if (reply[3] == period && reply[4] == offset) break;
        if (attempt == 1) return STATUS_UNSUCCESSFUL;
        if (reply[4] != 0 && reply[3] <= kPeriod148) {
            period = ZarScsiPeriodAtLeast(reply[3]);
            offset = reply[4] < kMaxOffset ? reply[4] : kMaxOffset;
        } else {
            // A target too slow for any synchronous period we run still
            // works asynchronously.
            period = kPeriodAsync;
            offset = 0;
        }
        if (!ZarScsiMsgInComplete(ext, TRUE)) return STATUS_UNSUCCESSFUL;
    }
    if (!ZarScsiMsgInComplete(ext, FALSE) || !ZarScsiVerifyBusPhase(ext, kPhaseCommand)) return STATUS_UNSUCCESSFUL;

    device->NegotiatedWide = wide;
    device->NegotiatedPeriod = period;
    device->NegotiatedOffset = offset;
    device->SlowCableInForce = device->WantedSlowCable;
    device->NegotiationPending = 0;
    return STATUS_SUCCESS;
}

// The target went to the status phase where data was expected: take the
// status, let the bus go free and fetch the sense.
void ZarScsiUnexpectedStatusPhase(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request)
{
    ZarScsiCommand(ext, kCmdCommandComplete);
    UCHAR bytes[2];
    if (!ZarScsiPollInterrupt(ext, kIrqFunctionComplete) || !ZarScsiVerifyBusPhase(ext, kPhaseMessageIn) ||
        !ZarScsiFifoRead(ext, bytes, sizeof(bytes)))
        return;
    ZarScsiCommand(ext, kCmdMessageAccepted);
    if (!ZarScsiPollInterrupt(ext, kIrqDisconnect)) return;
    if (!ext->Scsi.AutoSense) request->ScsiStatus = bytes[0];
    if (request->Cdb[0] == kOpRequestSense || ext->Scsi.AutoSense) return;
    ext->Scsi.AutoSense = TRUE;
    ZarScsiCmdRequestSense(ext, request);
    ext->Scsi.AutoSense = FALSE;
}

// Reads one of the 16 option values of a registry key; other types are ignored.
NTSTATUS ZarScsiQueryDword(PWSTR, ULONG valueType, PVOID valueData, ULONG valueLength, PVOID, PVOID entryContext)
{
    if (valueType == REG_DWORD && valueLength == sizeof(ULONG))
        *static_cast<PULONG>(entryContext) = *static_cast<PULONG>(valueData);
    return STATUS_SUCCESS;
}

constexpr ULONG kUnset = 0xFFFFFFFF;

void ZarScsiReadOptions(const WCHAR* path, const WCHAR* const* names, PULONG values, ULONG count)
{
    RTL_QUERY_REGISTRY_TABLE table[8] = {};
    for (ULONG i = 0; i < count; ++i) {
        values[i] = kUnset;
        table[i].QueryRoutine = ZarScsiQueryDword;
        table[i].Name = const_cast<PWSTR>(names[i]);
        table[i].EntryContext = &values[i];
        table[i].DefaultType = REG_NONE;
    }
    RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, path, table, nullptr, nullptr);
}

void ZarScsiCopyText(char* to, const UCHAR* from, ULONG count)
{
    std::memcpy(to, from, count);
    to[count] = 0;
}

void ZarScsiSetText(char* to, const char* text, ULONG size)
{
    std::memset(to, 0, size);
    size_t length = std::strlen(text);
    std::memcpy(to, text, length < size - 1 ? length : size - 1);
}

// MODE SENSE of a page into one of the page buffers (current or changeable).
NTSTATUS ZarScsiSensePage(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request, ULONG page, PUCHAR buffer)
{
    request->ModeSensePage = page;
    NTSTATUS status = ZarScsiCmdModeSense(ext, request);
    if (!NT_SUCCESS(status) || request->ScsiStatus != 0) return STATUS_UNSUCCESSFUL;
    UCHAR reply[kReplyCopyBytes];
    status = ZarScsiSdramReadReply(ext, request, reply, sizeof(reply));
    if (!NT_SUCCESS(status)) return status;
    ULONG length = ULONG(reply[0]) + 1;
    if (length > ZAR_SCSI_PAGE_BUFFER_SIZE) length = ZAR_SCSI_PAGE_BUFFER_SIZE;
    std::memset(buffer, 0, ZAR_SCSI_PAGE_BUFFER_SIZE);
    std::memcpy(buffer, reply, length);
    return STATUS_SUCCESS;
}

// Writes the current-values page buffer back with MODE SELECT.
NTSTATUS ZarScsiWritePage(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request, PUCHAR page)
{
    request->ModeSelectSavePages = (page[kModePageCode] & kModePageSavable) ? 1 : 0;
    page[kModePageCode] &= UCHAR(~kModePageSavable);
    request->ModeSelectLength = ULONG(page[0]) + 1;
    // The mode data length is reserved in MODE SELECT: drives reject a
    // non-zero one.
    page[0] = 0;
    NTSTATUS status = ZarScsiSdramWriteData(ext, request, page, ZAR_SCSI_PAGE_BUFFER_SIZE);
    if (NT_SUCCESS(status)) status = ZarScsiCmdModeSelect(ext, request);
    return status;
}

}  // namespace

// ---- controller ----

NTSTATUS ZarScsiInit(PZAR_DEVICE_EXTENSION ext)
{
    ZarScsiCommand(ext, kCmdResetChip);
    ZarScsiCommand(ext, kCmdDmaNop);
    ZarScsiCommand(ext, kCmdDmaNop);
    ZarScsiRead(ext, kRegCount2);
    ZarScsiRead(ext, kRegCount3);
    ext->Scsi.SdramControl = 0;
    ZarScsiWriteSdramControl(ext, kSdramControlEnable);
    for (const ZAR_SCSI_REGISTER_VALUE& r : kInitialRegisters) {
        UCHAR value = r.Value;
        if (r.Register == kRegSelTimeout && ext->Scsi.SelectionTimeout != kUnset)
            value = UCHAR(ext->Scsi.SelectionTimeout);
        ZarScsiWrite(ext, r.Register, value);
    }
    ext->Scsi.DmaThresholdRx = ZAR_SCSI_DEFAULT_DMA_THRESHOLD_RX;
    ext->Scsi.DmaThresholdTx = ZAR_SCSI_DEFAULT_DMA_THRESHOLD_TX;
    return STATUS_SUCCESS;
}

// A command that failed without the bus going free (a hung data phase, a
// status phase that never came, a message the target would not take)
// leaves its target holding the bus, and the controller's own reset does
// not release it: only a bus reset does. The reset drops every target's
// agreement (the options are reset, so each renegotiates at its next
// selection) and leaves each with a unit attention. The driver caused that
// reset, not the caller, so it takes the attention itself with a TEST UNIT
// READY to every target it knows, whose status and sense are not wanted;
// the caller's next command then runs as before the failure.
namespace {
void ZarScsiRecoverBus(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_SCSI_STATE* s = &ext->Scsi;
    ZarScsiInit(ext);
    ZarScsiBusReset(ext);
    if (s->Recovering) {
        s->RecoveryRestart = TRUE;
        return;
    }
    s->Recovering = TRUE;
    BOOLEAN autoSense = s->AutoSense;
    s->AutoSense = TRUE;  // status not stored, no sense fetched
    ULONG failed = 0;     // targets whose own probe needed another bus reset
    for (ULONG id = 0; id < ZAR_SCSI_MAX_TARGETS; ++id) {
        if (id == ZAR_SCSI_HOST_ADAPTER_ID || (failed & (1u << id)) ||
            ZarScsiDevice(ext, id)->State == ZAR_SCSI_DEVICE_NONE)
            continue;
        ZAR_DISK_REQUEST probe{};
        probe.TargetId = id;
        probe.SdramAddress = ZAR_DISK_STAGING_SDRAM_ADDRESS;
        s->RecoveryRestart = FALSE;
        ZarScsiCmdTestUnitReady(ext, &probe);
        if (s->RecoveryRestart) {
            // That reset gave every target a new attention: start over
            // without the target that caused it.
            failed |= 1u << id;
            id = ULONG(-1);
        }
    }
    s->AutoSense = autoSense;
    s->Recovering = FALSE;
}
}  // namespace

NTSTATUS ZarScsiBusReset(PZAR_DEVICE_EXTENSION ext)
{
    ZarScsiCommand(ext, kCmdResetBus);
    LARGE_INTEGER settle;
    settle.QuadPart = kBusResetSettle;
    KeDelayExecutionThread(KernelMode, FALSE, &settle);
    ZarScsiInitTransferOptions(ext);
    return STATUS_SUCCESS;
}

void ZarScsiInitTransferOptions(PZAR_DEVICE_EXTENSION ext)
{
    static const WCHAR* const kBaseNames[] = {u"SelectionTimeout", u"DmaThresholdRx", u"DmaThresholdTx",
                                              u"AllowSMART"};
    ULONG base[4];
    ZarScsiReadOptions(u"ZARKD\\Parameters\\SCSI", kBaseNames, base, 4);
    if (base[0] != kUnset) ext->Scsi.SelectionTimeout = base[0];
    if (base[1] != kUnset) ext->Scsi.DmaThresholdRx = base[1];
    if (base[2] != kUnset) ext->Scsi.DmaThresholdTx = base[2];
    if (base[3] != kUnset) ext->Scsi.AllowSmart = base[3];

    static const WCHAR* const kTargetNames[] = {u"Rate", u"Offset", u"Width", u"SlowCable", u"ReadCache",
                                                u"WriteCache"};
    for (ULONG id = 0; id < ZAR_SCSI_MAX_TARGETS; ++id) {
        ZAR_SCSI_DEVICE_INFO* device = ZarScsiDevice(ext, id);
        device->WantedOffset = kMaxOffset;
        device->WantedPeriod = kPeriodFast20;
        device->WantedWide = 1;
        device->WantedSlowCable = 0;
        device->NegotiatedOffset = 0;
        device->NegotiatedPeriod = kPeriodAsync;
        device->NegotiatedWide = 0;
        device->SlowCableInForce = 0;
        device->ReadCache = 1;
        device->WriteCache = 1;
        device->NegotiationPending = 1;

        WCHAR path[32] = u"ZARKD\\Parameters\\SCSI\\";
        ULONG at = 0;
        while (path[at] != 0) ++at;
        if (id >= 10) path[at++] = u'1';
        path[at++] = WCHAR(u'0' + id % 10);
        path[at] = 0;
        ULONG v[6];
        ZarScsiReadOptions(path, kTargetNames, v, 6);
        if (v[0] != kUnset)
            device->WantedPeriod = v[0] >= 11 ? kPeriodFast20 : v[0] >= 9 ? kPeriodFast10 : v[0] >= 7 ? kPeriod124
                                                                                                    : kPeriod148;
        if (v[1] != kUnset) {
            device->WantedOffset = v[1] < kMaxOffset ? v[1] : kMaxOffset;
            if (device->WantedOffset == 0) device->WantedPeriod = kPeriodAsync;
        }
        if (v[2] == 8) device->WantedWide = 0;
        if (v[3] == 1) device->WantedSlowCable = 1;
        if (v[4] == 0) device->ReadCache = 0;
        if (v[5] == 0) device->WriteCache = 0;
    }
}

// ---- selection and phases ----

NTSTATUS ZarScsiRunCommand(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request, ULONG bytes)
{
    // Overwritten by the status phase; a command that never gets there must
    // not read as GOOD.
    if (!ext->Scsi.AutoSense) request->ScsiStatus = ZAR_SCSI_STATUS_NOT_REACHED;
    if (request->TargetId >= ZAR_SCSI_MAX_TARGETS) return STATUS_UNSUCCESSFUL;
    NTSTATUS status = ZarScsiSelectionThruCommand(ext, request);
    if (NT_SUCCESS(status) && request->DataDirection != ZAR_DISK_DIRECTION_NONE)
        status = ZarScsiTransferData(ext, request, bytes);
    if (NT_SUCCESS(status)) status = ZarScsiDataPhaseComplete(ext, request);
    if (!NT_SUCCESS(status) && !(ext->Scsi.InterruptStatus & kIrqDisconnect)) ZarScsiRecoverBus(ext);
    return status;
}

void ZarScsiInitCdb(ZAR_DISK_REQUEST* request, UCHAR opcode, ULONG length)
{
    std::memset(request->Cdb, 0, sizeof(request->Cdb));
    request->Cdb[0] = opcode;
    request->CdbLength = length;
    request->ReplyInSdram = 0;
}

NTSTATUS ZarScsiSelectionThruCommand(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request)
{
    ZAR_SCSI_DEVICE_INFO* device = ZarScsiDevice(ext, request->TargetId);
    ext->Scsi.InterruptStatus = 0;
    ZarScsiWrite(ext, kRegDestination, UCHAR((ext->Scsi.Shadow[kRegDestination] & 0xF0) | request->TargetId));
    LONGLONG wait = request->Cdb[0] == kOpStartStopUnit ? kStartUnitWait : kSelectionWait;

    if (device->NegotiationPending) {
        if (!NT_SUCCESS(ZarScsiNegotiate(ext, device))) return STATUS_UNSUCCESSFUL;
        ZarScsiSetTransferMode(ext, request, device);
        ZarScsiSdramSetAddress(ext, request);
        ZarScsiFifoFlush(ext);
        ZarScsiFifoLoad(ext, request->Cdb, request->CdbLength);
        // A START UNIT may hold the command phase until the motor is up.
        if (!ZarScsiCommandAndWait(ext, kCmdTransferInfo, wait) ||
            !(ext->Scsi.InterruptStatus & kIrqBusService))
            return STATUS_UNSUCCESSFUL;
    } else {
        ZarScsiSetTransferMode(ext, request, device);
        ZarScsiSdramSetAddress(ext, request);
        ZarScsiFifoFlush(ext);
        ZarScsiFifoLoadPad(ext, kMsgIdentify);
        ZarScsiFifoLoad(ext, request->Cdb, request->CdbLength);
        if (!ZarScsiCommandAndWait(ext, kCmdSelectAtn, wait)) {
            ZarScsiInit(ext);
            return STATUS_UNSUCCESSFUL;
        }
        if (ext->Scsi.InterruptStatus & kIrqDisconnect) return STATUS_UNSUCCESSFUL;
    }

    ULONG expected;
    switch (request->DataDirection) {
    case ZAR_DISK_DIRECTION_NONE: expected = kPhaseStatus; break;
    case ZAR_DISK_DIRECTION_OUT: expected = kPhaseDataOut; break;
    case ZAR_DISK_DIRECTION_IN: expected = kPhaseDataIn; break;
    default: return STATUS_SUCCESS;
    }
    if (ZarScsiVerifyBusPhase(ext, expected)) return STATUS_SUCCESS;
    if ((ZarScsiRead(ext, kRegStatus) & kPhaseMask) == kPhaseStatus) ZarScsiUnexpectedStatusPhase(ext, request);
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS ZarScsiTransferData(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request, ULONG bytes)
{
    ZarScsiLoadTransfer32(ext, bytes, request->DataDirection == ZAR_DISK_DIRECTION_IN);
    if (!ZarScsiCommandAndWait(ext, kCmdDmaTransferInfo, kDataPhaseWait)) return STATUS_UNSUCCESSFUL;
    return (ext->Scsi.InterruptStatus & kIrqDisconnect) ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}

NTSTATUS ZarScsiDataPhaseComplete(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request)
{
    for (ULONG waited = 0; (ZarScsiRead(ext, kRegStatus) & kPhaseMask) != kPhaseStatus; waited += kPhasePollStep) {
        if (waited >= kStatusPhaseWait) {
            // A status and message the controller refused leave no message to
            // accept: waiting for the disconnect then would only burn a second.
            ZarScsiCommand(ext, kCmdCommandComplete);
            if (ZarScsiPollInterrupt(ext, kIrqFunctionComplete)) {
                ZarScsiCommand(ext, kCmdMessageAccepted);
                ZarScsiPollInterrupt(ext, kIrqDisconnect);
            }
            return STATUS_UNSUCCESSFUL;
        }
        KeStallExecutionProcessor(kPhasePollStep);
    }
    if (request->ReplyInSdram) {
        // Pushes the reply's last bytes out of the board's SDRAM FIFO.
        ZarScsiWriteSdramControl(ext, kSdramControlEnable | kSdramControlStrobe);
        KeStallExecutionProcessor(1);
    }
    ext->Scsi.SdramControl &= ~kSdramControlArm;
    ZarScsiWriteSdramControl(ext, kSdramControlEnable);

    ZarScsiCommand(ext, kCmdCommandComplete);
    UCHAR bytes[2];
    if (!ZarScsiPollInterrupt(ext, kIrqFunctionComplete) || !ZarScsiVerifyBusPhase(ext, kPhaseMessageIn) ||
        !ZarScsiFifoRead(ext, bytes, sizeof(bytes)))
        return STATUS_UNSUCCESSFUL;
    ZarScsiCommand(ext, kCmdMessageAccepted);
    if (!ZarScsiPollInterrupt(ext, kIrqDisconnect)) return STATUS_UNSUCCESSFUL;

    if (ext->Scsi.AutoSense) return STATUS_SUCCESS;
    request->ScsiStatus = bytes[0];
    if (bytes[0] == kStatusCheckCondition && request->Cdb[0] != kOpRequestSense) {
        ext->Scsi.AutoSense = TRUE;
        ZarScsiCmdRequestSense(ext, request);
        ext->Scsi.AutoSense = FALSE;
    }
    return STATUS_SUCCESS;
}

// ---- commands ----

NTSTATUS ZarScsiCmdInquiry(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request)
{
    ZarScsiInitCdb(request, kOpInquiry, 6);
    request->Cdb[4] = kAllocationLength;
    request->DataDirection = ZAR_DISK_DIRECTION_IN;
    request->ReplyInSdram = 1;
    return ZarScsiRunCommand(ext, request, kReplyBytes);
}

NTSTATUS ZarScsiCmdRequestSense(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request)
{
    ZarScsiInitCdb(request, kOpRequestSense, 6);
    request->Cdb[4] = kAllocationLength;
    request->DataDirection = ZAR_DISK_DIRECTION_IN;
    request->ReplyInSdram = 1;
    NTSTATUS status = ZarScsiRunCommand(ext, request, kReplyBytes);
    if (!NT_SUCCESS(status)) return status;
    UCHAR sense[kReplyCopyBytes];
    status = ZarScsiSdramReadReply(ext, request, sense, sizeof(sense));
    if (!NT_SUCCESS(status)) return status;
    request->SenseResponseCode = sense[0] & 0x7F;
    request->SenseKey = sense[2] & 0x0F;
    request->AdditionalSenseCode = sense[12];
    return STATUS_SUCCESS;
}

NTSTATUS ZarScsiCmdTestUnitReady(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request)
{
    ZarScsiInitCdb(request, kOpTestUnitReady, 6);
    request->DataDirection = ZAR_DISK_DIRECTION_NONE;
    return ZarScsiRunCommand(ext, request, 0);
}

NTSTATUS ZarScsiCmdStartUnit(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request)
{
    ZarScsiInitCdb(request, kOpStartStopUnit, 6);
    request->Cdb[4] = 0x01;
    request->DataDirection = ZAR_DISK_DIRECTION_NONE;
    return ZarScsiRunCommand(ext, request, 0);
}

NTSTATUS ZarScsiCmdReadCapacity(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request)
{
    ZarScsiInitCdb(request, kOpReadCapacity10, 10);
    request->DataDirection = ZAR_DISK_DIRECTION_IN;
    request->ReplyInSdram = 1;
    return ZarScsiRunCommand(ext, request, kReplyBytes);
}

NTSTATUS ZarScsiCmdModeSense(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request)
{
    ZarScsiInitCdb(request, kOpModeSense6, 6);
    request->Cdb[2] = UCHAR(request->ModeSensePage);
    request->Cdb[4] = kAllocationLength;
    request->DataDirection = ZAR_DISK_DIRECTION_IN;
    request->ReplyInSdram = 1;
    return ZarScsiRunCommand(ext, request, kReplyBytes);
}

NTSTATUS ZarScsiCmdModeSelect(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request)
{
    ZarScsiInitCdb(request, kOpModeSelect6, 6);
    request->Cdb[1] = request->ModeSelectSavePages ? 0x11 : 0x10;
    request->Cdb[4] = UCHAR(request->ModeSelectLength);
    request->DataDirection = ZAR_DISK_DIRECTION_OUT;
    return ZarScsiRunCommand(ext, request, kModeSelectBytes);
}

// ---- drive preferences ----

NTSTATUS ZarScsiSetCachePerference(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request,
                                   ZAR_SCSI_DEVICE_INFO* device)
{
    PUCHAR current = ext->Scsi.Tables->Page[0];
    PUCHAR changeable = ext->Scsi.Tables->Page[1];
    if (!NT_SUCCESS(ZarScsiSensePage(ext, request, kPageCaching, current)) ||
        !NT_SUCCESS(ZarScsiSensePage(ext, request, kPageCaching | kPageChangeable, changeable)))
        return STATUS_UNSUCCESSFUL;

    UCHAR flags = current[kModePageFlags];
    if (changeable[kModePageFlags] & kCachingRcd) {
        if (device->ReadCache) flags &= UCHAR(~kCachingRcd);
        else flags |= kCachingRcd;
    } else {
        device->ReadCache = (flags & kCachingRcd) ? 0 : 1;
    }
    if (changeable[kModePageFlags] & kCachingWce) {
        if (device->WriteCache) flags |= kCachingWce;
        else flags &= UCHAR(~kCachingWce);
    } else {
        device->WriteCache = (flags & kCachingWce) ? 1 : 0;
    }
    if (flags == current[kModePageFlags]) return STATUS_SUCCESS;
    current[kModePageFlags] = flags;
    return ZarScsiWritePage(ext, request, current);
}

NTSTATUS ZarScsiSetSmartPerference(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request)
{
    PUCHAR current = ext->Scsi.Tables->Page[0];
    PUCHAR changeable = ext->Scsi.Tables->Page[1];
    if (!NT_SUCCESS(ZarScsiSensePage(ext, request, kPageExceptions, current)) ||
        !NT_SUCCESS(ZarScsiSensePage(ext, request, kPageExceptions | kPageChangeable, changeable)))
        return STATUS_UNSUCCESSFUL;
    if (!(changeable[kModePageFlags] & kExceptionsDexcpt)) return STATUS_SUCCESS;
    current[kModePageFlags] |= kExceptionsDexcpt;
    return ZarScsiWritePage(ext, request, current);
}

// ---- the scan ----

NTSTATUS ZarScsiBusScan(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request)
{
    ZarScsiInit(ext);
    ZarScsiBusReset(ext);
    ext->Scsi.Scanning = TRUE;
    for (ULONG id = 0; id < ZAR_SCSI_MAX_TARGETS; ++id) {
        ZAR_SCSI_DEVICE_INFO* device = ZarScsiDevice(ext, id);
        ZarScsiSetText(device->VendorId, "", sizeof(device->VendorId));
        ZarScsiSetText(device->ProductId, "", sizeof(device->ProductId));
        ZarScsiSetText(device->Revision, "", sizeof(device->Revision));
        ZarScsiSetText(device->VendorSpecific, "", sizeof(device->VendorSpecific));
        device->LastBlock = 0;
        if (id == ZAR_SCSI_HOST_ADAPTER_ID) {
            device->ScsiId = id;
            device->State = ZAR_SCSI_DEVICE_READY;
            ZarScsiSetText(device->VendorId, kHostVendor, sizeof(device->VendorId));
            ZarScsiSetText(device->ProductId, kHostProduct, sizeof(device->ProductId));
            ZarScsiSetText(device->Revision, kHostRevision, sizeof(device->Revision));
            ZarScsiSetText(device->VendorSpecific, kHostIdentification, sizeof(device->VendorSpecific));
            device->VendorSpecific[sizeof(kHostIdentification) - 1] = char('0' + ext->BoardNumber % 10);
            device->NegotiatedPeriod = kPeriodFast20;
            device->NegotiatedOffset = kMaxOffset;
            device->NegotiatedWide = 1;
            continue;
        }

        request->TargetId = id;
        request->SdramAddress = ZAR_DISK_STAGING_SDRAM_ADDRESS;
        UCHAR inquiry[kReplyCopyBytes];
        if (!NT_SUCCESS(ZarScsiCmdInquiry(ext, request)) || request->ScsiStatus != 0 ||
            !NT_SUCCESS(ZarScsiSdramReadReply(ext, request, inquiry, sizeof(inquiry)))) {
            device->State = ZAR_SCSI_DEVICE_NONE;
            continue;
        }
        device->State = ZAR_SCSI_DEVICE_NOT_READY;
        device->ScsiId = id;
        ZarScsiCopyText(device->VendorId, inquiry + 8, 8);
        ZarScsiCopyText(device->ProductId, inquiry + 16, 16);
        ZarScsiCopyText(device->Revision, inquiry + 32, 4);
        ZarScsiCopyText(device->VendorSpecific, inquiry + 36, 8);

        // The first one takes the unit attention of the reset.
        ext->Scsi.Scanning = FALSE;
        ZarScsiCmdTestUnitReady(ext, request);
        if (!NT_SUCCESS(ZarScsiCmdTestUnitReady(ext, request)) || request->ScsiStatus != 0)
            ZarScsiCmdStartUnit(ext, request);
        for (ULONG poll = 0; poll < kSpinUpPolls; ++poll) {
            if (NT_SUCCESS(ZarScsiCmdTestUnitReady(ext, request)) && request->ScsiStatus == 0) {
                device->State = ZAR_SCSI_DEVICE_READY;
                break;
            }
            LARGE_INTEGER wait;
            wait.QuadPart = kSpinUpPoll;
            KeDelayExecutionThread(KernelMode, FALSE, &wait);
        }
        if (device->State != ZAR_SCSI_DEVICE_READY) {
            ZarLogEvent(ext->DriverObject, ext->EventLogLevel, ZAR_MSG_SCSI_DEVICE_NOT_READY, STATUS_SUCCESS);
        } else {
            UCHAR capacity[kReplyCopyBytes];
            if (NT_SUCCESS(ZarScsiCmdReadCapacity(ext, request)) && request->ScsiStatus == 0 &&
                NT_SUCCESS(ZarScsiSdramReadReply(ext, request, capacity, sizeof(capacity))))
                device->LastBlock = ULONG(capacity[0]) << 24 | ULONG(capacity[1]) << 16 | ULONG(capacity[2]) << 8 |
                                    capacity[3];
            ZarScsiSetCachePerference(ext, request, device);
            if (ext->Scsi.AllowSmart == 0) ZarScsiSetSmartPerference(ext, request);
        }
        ext->Scsi.Scanning = TRUE;
    }
    ext->Scsi.Scanning = FALSE;
    // The outcome is the table; the last probe's status (an absent id's
    // failure, as a rule) is not the scan's.
    request->ScsiStatus = 0;
    return STATUS_SUCCESS;
}

// ---- interrupt path ----

void ZarScsiInterruptEnable(PZAR_DEVICE_EXTENSION ext)
{
    // Only an interrupt that comes after this may end the next wait.
    KeClearEvent(&ext->Scsi.InterruptEvent);
    ext->Scsi.InterruptStatus = 0;
    if (!(ext->InterruptEnable & ZAR_INT_SHARED_LINE)) ZarSetIntMode(ext, ZAR_INT_SHARED_LINE, TRUE);
    ZarSetSharedIrqMask(ext, ZAR_SHARED_SCSI, TRUE);
}

void ZarScsiInterruptDisable(PZAR_DEVICE_EXTENSION ext) { ZarSetSharedIrqMask(ext, ZAR_SHARED_SCSI, FALSE); }

void ZarScsiIsr(PZAR_DEVICE_EXTENSION ext)
{
    if (ZarDebiPioRead(ext, kBoardStatus) & kBoardStatusScsiIrqN) return;
    ext->Scsi.InterruptStatus = ZarScsiRead(ext, kRegInterrupt);
    KeInsertQueueDpc(&ext->DpcScsiIrq, nullptr, nullptr);
}

void ZarDpcForScsiIrq(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    KeSetEvent(&ext->Scsi.InterruptEvent, IO_NO_INCREMENT, FALSE);
}
