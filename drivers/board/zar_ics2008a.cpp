// The time-code chip: its two direct registers and the indirect register
// file behind an index and a data port, kept as an image in the driver; the
// chip's set-up, reset and interrupt; the diagnostic register codes and the
// video output source.
//
// Every access goes byte by byte through DEBI programmed I/O; a run of
// indirect registers is one synchronised routine, so the interrupt routine
// never lands between the index and the data of a run.

#include "zar_board_regs.h"
#include "zar_bridge.h"
#include "zar_debi.h"
#include "zar_extension.h"
#include "zar_isr.h"
#include "zar_timecode.h"

namespace {

constexpr ULONG kStandard625 = 0x80;          // register 50, first byte
constexpr ULONG kOutputSourceBits = 0x14;     // register 50 bits 2 and 4
constexpr UCHAR kSetup525 = 0x15;
constexpr UCHAR kSetup625 = 0x95;
constexpr UCHAR kInterruptLineByte = 0x16;    // line 23
constexpr ULONG kDirectRegisters = 4;
constexpr ULONG kIndirectLast = 63;

struct ZAR_TC_RUN {
    PZAR_DEVICE_EXTENSION Ext;
    ULONG First;
    ULONG Count;
};

BOOLEAN ZarTcWriteRun(PVOID context)
{
    auto* run = static_cast<ZAR_TC_RUN*>(context);
    PZAR_DEVICE_EXTENSION ext = run->Ext;
    ZarDebiPioWrite(ext, ZAR_TC_INDEX_PORT, run->First | ZAR_TC_INDEX_RUN);
    for (ULONG i = 0; i < run->Count; ++i)
        ZarDebiPioWrite(ext, ZAR_TC_DATA_PORT, ext->TimeCode.Image[(run->First + i) % ZAR_TC_REGISTER_COUNT]);
    return TRUE;
}

BOOLEAN ZarTcReadRun(PVOID context)
{
    auto* run = static_cast<ZAR_TC_RUN*>(context);
    PZAR_DEVICE_EXTENSION ext = run->Ext;
    ZarDebiPioWrite(ext, ZAR_TC_INDEX_PORT, run->First | ZAR_TC_INDEX_RUN);
    for (ULONG i = 0; i < run->Count; ++i)
        ext->TimeCode.Image[(run->First + i) % ZAR_TC_REGISTER_COUNT] = UCHAR(ZarDebiPioRead(ext, ZAR_TC_DATA_PORT));
    return TRUE;
}

struct ZAR_TC_SINGLE {
    PZAR_DEVICE_EXTENSION Ext;
    ULONG Index;
    ULONG Value;
    BOOLEAN Write;
};

BOOLEAN ZarTcSingleIndirect(PVOID context)
{
    auto* one = static_cast<ZAR_TC_SINGLE*>(context);
    ZarDebiPioWrite(one->Ext, ZAR_TC_INDEX_PORT, one->Index);
    if (one->Write)
        ZarDebiPioWrite(one->Ext, ZAR_TC_DATA_PORT, one->Value & 0xFF);
    else
        one->Value = ZarDebiPioRead(one->Ext, ZAR_TC_DATA_PORT) & 0xFF;
    return TRUE;
}

ULONG ZarTcDirectAddress(ULONG reg) { return ZAR_TC_DIRECT0 + 4 * reg; }

bool ZarTcReady(PZAR_DEVICE_EXTENSION ext) { return ext->Registers != nullptr && ext->FpgaState != 0; }

void ZarTcReadInterruptLine(PZAR_DEVICE_EXTENSION ext)
{
    ULONG line = 0xFFFFFFFF;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = const_cast<PWSTR>(u"ICS2008AVideoInterruptLine");
    table[0].EntryContext = &line;
    table[0].DefaultType = REG_NONE;
    RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"ZARKD\\Parameters", table, nullptr, nullptr);
    if (line >= 1 && line <= 64)
        ext->TimeCode.Image[ZAR_TC_VIDEO_SETUP + 1] = UCHAR((ext->TimeCode.Image[ZAR_TC_VIDEO_SETUP + 1] & ~0x3F) | (line - 1));
}

}  // namespace

void ZarICS2008A_WriteIndirectRegisters(PZAR_DEVICE_EXTENSION ext, ULONG first, ULONG count)
{
    if (!ZarTcReady(ext)) return;
    ZAR_TC_RUN run{ext, first, count};
    ZarRunSynchronized(ext, ZarTcWriteRun, &run);
}

void ZarICS2008A_ReadIndirectRegisters(PZAR_DEVICE_EXTENSION ext, ULONG first, ULONG count)
{
    if (!ZarTcReady(ext)) return;
    ZAR_TC_RUN run{ext, first, count};
    ZarRunSynchronized(ext, ZarTcReadRun, &run);
}

UCHAR ZarICS2008A_ReadDirect(PZAR_DEVICE_EXTENSION ext, ULONG reg)
{
    if (!ZarTcReady(ext)) return ext->TimeCode.Direct[reg & 1];
    UCHAR value = UCHAR(ZarDebiPioRead(ext, ZarTcDirectAddress(reg)));
    if (reg < 2) ext->TimeCode.Direct[reg] = value;
    return value;
}

void ZarICS2008A_WriteDirect(PZAR_DEVICE_EXTENSION ext, ULONG reg, UCHAR value)
{
    if (reg < 2) ext->TimeCode.Direct[reg] = value;
    if (ZarTcReady(ext)) ZarDebiPioWrite(ext, ZarTcDirectAddress(reg), value);
}

void ZarICS2008A_MaskInterrupt(PZAR_DEVICE_EXTENSION ext, BOOLEAN masked)
{
    if (ext->Registers == nullptr) return;
    ZarSetSharedIrqMask(ext, ZAR_TC_SHARED_SOURCE, !masked);
}

void ZarICS2008A_Reset(PZAR_DEVICE_EXTENSION ext)
{
    if (!ZarTcReady(ext)) return;
    ZAR_TIMECODE_STATE& tc = ext->TimeCode;
    ZarICS2008A_MaskInterrupt(ext, TRUE);
    ZarDebiPioWrite(ext, ZAR_TC_RESET_REGISTER, 0);
    ZarICS2008A_WriteDirect(ext, 0, UCHAR(tc.Direct[0] & ~ZAR_TC_INTERRUPT_ENABLE));
    ZarICS2008A_ReadDirect(ext, 0);  // answers an interrupt left pending
    ZarICS2008A_WriteIndirectRegisters(ext, ZAR_TC_VITC_GENERATOR_LINES, 10);
    ZarICS2008A_WriteIndirectRegisters(ext, ZAR_TC_BURNIN_WINDOW, 2);
    ZarICS2008A_WriteIndirectRegisters(ext, ZAR_TC_EXCHANGE_CONTROL, 1);
    ZarICS2008A_MaskInterrupt(ext, FALSE);
    ZarICS2008A_WriteDirect(ext, 0, UCHAR(tc.Direct[0] | ZAR_TC_INTERRUPT_ENABLE));
}

// Start-up sets up the image once; every later call (the board set-up after
// an FPGA load) resets the chip from it, as the streams left it.
void ZarICS2008A_Initialize(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_TIMECODE_STATE& tc = ext->TimeCode;
    if (!tc.ImageReady) {
        RtlZeroMemory(tc.Image, sizeof(tc.Image));
        tc.Direct[0] = tc.Direct[1] = 0;
        tc.Image[ZAR_TC_VIDEO_SETUP] = ext->Standard == 625 ? kSetup625 : kSetup525;
        tc.Image[ZAR_TC_VIDEO_SETUP + 1] = kInterruptLineByte;
        ZarTcReadInterruptLine(ext);
        tc.ImageReady = TRUE;
        return;
    }
    if (tc.Mode24 != 0) return;  // the 24-frame modes run without the chip's interrupt
    ZarICS2008A_Reset(ext);
}

void ZarICS2008A_OnDriverUnload(PZAR_DEVICE_EXTENSION ext) { ZarICS2008A_MaskInterrupt(ext, TRUE); }

void ZarICS2008A_OnInterrupt(PZAR_DEVICE_EXTENSION ext)
{
    UCHAR flags = ZarICS2008A_ReadDirect(ext, 0);
    if (flags & ZAR_TC_INTERRUPT) KeInsertQueueDpc(&ext->TimeCode.FieldDpc, nullptr, nullptr);
}

// {u32 direct flag, u32 register, u32 value}: direct registers 0-3, indirect
// 0-63. Anything else is refused rather than reaching another unit's address
// through the direct window or wrapping in the index port.
NTSTATUS ZarTcRegRead(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) return STATUS_UNSUCCESSFUL;
    auto* access = static_cast<ZAR_TC_REGISTER_ACCESS*>(buffer);
    const bool direct = access->Direct != 0;
    const ULONG reg = access->Register;
    if (direct ? reg >= kDirectRegisters : reg > kIndirectLast) return STATUS_INVALID_PARAMETER;
    if (direct) {
        access->Value = ZarICS2008A_ReadDirect(ext, reg);
        return STATUS_SUCCESS;
    }
    ZAR_TC_SINGLE one{ext, reg, 0, FALSE};
    if (ZarTcReady(ext)) ZarRunSynchronized(ext, ZarTcSingleIndirect, &one);
    access->Value = one.Value;
    return STATUS_SUCCESS;
}

NTSTATUS ZarTcRegWrite(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) return STATUS_UNSUCCESSFUL;
    auto* access = static_cast<ZAR_TC_REGISTER_ACCESS*>(buffer);
    const bool direct = access->Direct != 0;
    const ULONG reg = access->Register;
    if (direct ? reg >= kDirectRegisters : reg > kIndirectLast) return STATUS_INVALID_PARAMETER;
    if (direct) {
        ZarICS2008A_WriteDirect(ext, reg, UCHAR(access->Value));
        return STATUS_SUCCESS;
    }
    ZAR_TC_SINGLE one{ext, reg, access->Value, TRUE};
    if (ZarTcReady(ext)) ZarRunSynchronized(ext, ZarTcSingleIndirect, &one);
    return STATUS_SUCCESS;
}

NTSTATUS ZarICS2008A_SetVideoOutputSource(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ULONG source = *static_cast<PULONG>(buffer);
    if (source > 1) return STATUS_INVALID_PARAMETER;
    UCHAR& setup = ext->TimeCode.Image[ZAR_TC_VIDEO_SETUP];
    setup = UCHAR(source ? (setup | kOutputSourceBits) : (setup & ~kOutputSourceBits));
    ZarICS2008A_WriteIndirectRegisters(ext, ZAR_TC_VIDEO_SETUP, 1);
    return STATUS_SUCCESS;
}

static_assert(kStandard625 == (kSetup625 & ~kSetup525));
