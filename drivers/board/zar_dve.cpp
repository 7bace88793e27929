// DVE module: settings by control code, by the play-list channels 301-304,
// by the scrub list and from the geometry vari-play fields carry; warp
// tables and the warp look-up table; the border ramp; the freeze strobe.
//
// Every register write runs at device IRQL. A control code whose writes did
// not all reach the board fails with STATUS_UNSUCCESSFUL and keeps nothing.

#include <algorithm>
#include <cstring>

#include "zar_audio.h"
#include "zar_board_regs.h"
#include "zar_bridge.h"
#include "zar_debi.h"
#include "zar_dve.h"
#include "zar_extension.h"
#include "zar_ioctl.h"
#include "zar_jpeg.h"
#include "zar_mix.h"
#include "zar_playlist.h"

namespace {

constexpr UCHAR kHorizontalFilter[17] = {0x88, 0x78, 0x68, 0x58, 0x48, 0x38, 0x28, 0x18, 0x08, 7, 6, 5, 4, 3, 2, 1, 0};
constexpr UCHAR kVerticalFilter[9] = {8, 7, 6, 5, 4, 3, 2, 1, 0};
constexpr ULONG kTableWords[ZAR_DVE_WARP_TABLES] = {32768, 16384, 1024, 128, 32, 256, 256, 1024, 1024};
constexpr ULONG kPerspectiveSet[2] = {0xCC80, 0xCCE0};
constexpr ULONG kConfigRamp = 0x420000;
constexpr ULONG kConfigLut = 0x4A0000;
constexpr ULONG kDebiBlockCountShift = 17;
constexpr ULONG kPagePositionLimit = 0x1000000;
// A field that a vari-play channel shows carries the DVE geometry for being
// shown on either parity at the head of its data: three 52-byte blocks, each
// a perspective block and 12 spare bytes as in a channel-302 node. Block 0
// is for the field shown on a field of its own parity, block 1 for the other
// parity; block 2 is the library's and not read.
constexpr ULONG kFieldDataBlockBytes = 52;
constexpr ULONG kFieldDataBytes = 3 * kFieldDataBlockBytes;
constexpr ULONG kFieldDataReadBytes = (kFieldDataBytes + 15) & ~15u;  // the window moves 16 bytes at a time
constexpr ULONG kConfigSdramWindow = 0x104A0000;
constexpr ULONG kDebiRead = 0x10000;
constexpr ULONG kSdramModeRing = 2;

ULONG Dword(const UCHAR* p)
{
    ULONG v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}
USHORT Word(const UCHAR* p)
{
    USHORT v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}

// Writes stop at the first that did not happen.
struct ZAR_DVE_WRITER {
    PZAR_DEVICE_EXTENSION Ext;
    bool Ok = true;
    void operator()(ULONG address, ULONG value)
    {
        if (Ok) Ok = ZarDebiPioWrite(Ext, address, value & 0xFFFF) != FALSE;
    }
};

ULONG ZarDveTableWords(ULONG table) { return kTableWords[table] * (table == 5 || table == 6 ? ZAR_DVE_SINE_TABLES : 1); }

// ---- register writers (device IRQL) ----

void ZarDvePixelAtDirql(ZAR_DVE_WRITER& w, const UCHAR* r)
{
    w(0xC000, Dword(r));
    w(0xC004, ULONG((1ULL << (Dword(r + 4) % 32)) - 1));
}

void ZarDveKeyAtDirql(ZAR_DVE_WRITER& w, const UCHAR* r)
{
    w(ZAR_REG_DVE_KEY_BYTE0, r[0]);
    for (ULONG i = 0; i < 4; ++i) w(0xC008 + 4 * i, r[1 + i]);
    w(0xC020, r[5]);
    w(0xC024, Word(r + 6));
    w(0xC028, r[8]);
}

void ZarDveFilterAtDirql(ZAR_DVE_WRITER& w, ULONG horizontal, ULONG vertical)
{
    // An index out of range leaves that register as it is.
    if (horizontal < 17) w(0xC030, kHorizontalFilter[horizontal]);
    if (vertical < 9) w(0xC02C, kVerticalFilter[vertical]);
}

void ZarDvePerspectiveSetAtDirql(ZAR_DVE_WRITER& w, ULONG set, const UCHAR* block)
{
    for (ULONG i = 0; i < 18; ++i) w(kPerspectiveSet[set] + 4 * i, Word(block + 2 * i));
    w(ZAR_REG_DVE_PERSPECTIVE_MODE, block[39]);
}

void ZarDve2dFilterAtDirql(ZAR_DVE_WRITER& w, const UCHAR* block)
{
    if (block[38] != 0) ZarDveFilterAtDirql(w, block[36], block[37]);
}

void ZarDveCroppingAtDirql(ZAR_DVE_WRITER& w, const UCHAR* r)
{
    for (ULONG i = 0; i < 8; ++i) w(0xCC3C + 4 * i, Word(r + 2 * i));
}

void ZarDveTrailShadowAtDirql(ZAR_DVE_WRITER& w, const UCHAR* r)
{
    w(0xC07C, ZarMixHalve(r[4]));
    ULONG b = Dword(r + 8);
    w(0xC080, (b & ~0xFFUL) | ZarMixHalve(UCHAR(b)));
    w(0xC078, Dword(r));
    w(0xC084, r[13]);
    w(0xC088, r[12]);
    w(0xC08C, Word(r + 14));
    w(0xC090, Dword(r + 16));
    w(0xC094, Dword(r + 20));
}

// The ramp goes to the DVE by one DEBI block from the small common buffer.
bool ZarDveSendRampAtDirql(PZAR_DEVICE_EXTENSION ext)
{
    if (!ZarDebiPioWrite(ext, ZAR_REG_DVE_RAMP_CONTROL, 0) || !ZarDebiWaitIdle(ext)) return false;
    ZarBridgeWrite(ext, ZAR_BRIDGE_DEBI_CONFIG, kConfigRamp);
    ULONG command = ZAR_REG_DVE_RAMP | (ZAR_DVE_RAMP_SIZE << kDebiBlockCountShift);
    ZarBridgeWrite(ext, ZAR_BRIDGE_DEBI_COMMAND, command);
    ZarBridgeWrite(ext, ZAR_BRIDGE_DEBI_PAGE, 0);
    ZarBridgeWrite(ext, ZAR_BRIDGE_DEBI_AD, ext->SmallBuffer.LogicalAddress.LowPart);
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC2, ZAR_MC2_UPLOAD_DEBI);
    return ZarDebiWaitIdle(ext) != FALSE;
}

void ZarDveBorderAtDirql(PZAR_DEVICE_EXTENSION ext, ZAR_DVE_WRITER& w, const UCHAR* r)
{
    auto word = [&](ULONG i) { return Dword(r + 4 * i); };
    w(0xC018, word(13));
    w(0xC01C, word(14));
    for (ULONG i = 0; i < 3; ++i) w(0xC034 + 4 * i, word(1 + i));
    for (ULONG i = 0; i < 4; ++i) w(0xC040 + 4 * i, word(6 + i));
    w(0xC050, word(4));
    w(0xC054, word(5));
    for (ULONG i = 0; i < 3; ++i) w(0xC058 + 4 * i, word(10 + i));
    if (w.Ok && ext->Dve.RampNew) {
        w.Ok = ZarDveSendRampAtDirql(ext);
        if (w.Ok) ext->Dve.RampNew = FALSE;
    }
}

// Collects look-up words in the common buffer and sends a block each time
// the configured size is reached (never more than the buffer holds).
struct ZAR_DVE_LUT {
    PZAR_DEVICE_EXTENSION Ext;
    ULONG Count = 0;
    ULONG Blocks = 0;
    ULONG Total = 0;
    bool Ok = true;

    ULONG BlockWords() const
    {
        ULONG limit = Ext->DveWarpLut.Length / sizeof(ULONG);
        return std::clamp<ULONG>(Ext->DveWticDmaSizeWords, 1, limit);
    }
    void Flush()
    {
        if (Count == 0 || !Ok) return;
        ULONG command = ZAR_REG_DVE_WARP_LUT | ((Count * 4) << kDebiBlockCountShift);
        Ok = ZarDebiWaitIdle(Ext) != FALSE;
        if (Ok) {
            ZarBridgeWrite(Ext, ZAR_BRIDGE_DEBI_CONFIG, kConfigLut);
            ZarBridgeWrite(Ext, ZAR_BRIDGE_DEBI_COMMAND, command);
            ZarBridgeWrite(Ext, ZAR_BRIDGE_DEBI_PAGE, 0);
            ZarBridgeWrite(Ext, ZAR_BRIDGE_DEBI_AD, Ext->DveWarpLut.LogicalAddress.LowPart);
            ZarBridgeWrite(Ext, ZAR_BRIDGE_MC2, ZAR_MC2_UPLOAD_DEBI);
            // The next block refills the same buffer: this one must be gone.
            Ok = ZarDebiWaitIdle(Ext) != FALSE;
        }
        ++Blocks;
        Count = 0;
    }
    void Next(ULONG word)
    {
        static_cast<PULONG>(Ext->DveWarpLut.VirtualAddress)[Count++] = word;
        ++Total;
        if (Count >= BlockWords()) Flush();
    }
};

// Page warps (types 1 and 2): one word per step from table 0 and the sine
// table the record chooses. The other families' tables stay with the library.
void ZarDveBuildWarpLutAtDirql(PZAR_DEVICE_EXTENSION ext, ZAR_DVE_WRITER& w, const UCHAR* r)
{
    ZAR_DVE_STATE& dve = ext->Dve;
    UCHAR type = r[1];
    if (type != 1 && type != 2) return;
    if (dve.Table[0] == nullptr || ext->DveWarpLut.VirtualAddress == nullptr) return;
    w(ZAR_REG_DVE_WARP_BANK, (r[33] >> 4) & 7);
    if (!w.Ok) return;
    ZAR_DVE_LUT lut{ext};
    ULONG steps = 4096u >> (r[33] & 3);
    ULONG increment = Dword(r + 34);
    ULONG scale = Dword(r + 38);
    ULONG sine = std::min<ULONG>(r[59], ZAR_DVE_SINE_TABLES - 1);
    const auto* table0 = reinterpret_cast<const USHORT*>(dve.Table[0]);
    const auto* sineTable = reinterpret_cast<const UCHAR*>(dve.Table[5] + sine * kTableWords[5]);
    ULONG position = 0;
    for (ULONG i = 0; i < steps && lut.Ok; ++i) {
        ULONG word;
        if (position < kPagePositionLimit) {
            ULONGLONG v = (ULONGLONG(table0[position >> 8]) * 256 + position) * scale;
            word = ULONG(v >> 24) & 0xFFFF;
            word |= ULONG(sineTable[(position >> 14) & 0x3FF] & 0x7F) << 17;
        } else {
            word = ULONG((ULONGLONG(scale) * 26353589ULL) >> 24) & 0xFFFF;
            word |= 1u << 16;
        }
        lut.Next(word);
        position += increment;
    }
    lut.Flush();
    dve.LutWords = lut.Total;
    dve.LutBlocks = lut.Blocks;
    w.Ok = w.Ok && lut.Ok;
}

void ZarDveWarpAtDirql(PZAR_DEVICE_EXTENSION ext, ZAR_DVE_WRITER& w, const UCHAR* record)
{
    UCHAR r[ZAR_DVE_WARP_SIZE];
    std::memcpy(r, record, sizeof(r));
    ZAR_DVE_STATE& dve = ext->Dve;
    // Consecutive warps alternate between two table banks.
    dve.Bank ^= 1;
    if ((r[2] & 7) == 2) dve.Bank |= 4;
    r[33] = UCHAR((r[33] & ~0x70) | ((dve.Bank & 7) << 4));
    auto s16 = [&](ULONG at) { return ULONG(Word(r + at)); };
    w(0xCC00, s16(3));
    for (ULONG i = 0; i < 5; ++i) w(0xCC04 + 4 * i, s16(5 + 2 * i));
    w(0xCC18, r[33]);
    w(0xCC5C, r[2]);
    w(0xC064, r[2]);
    for (ULONG i = 0; i < 7; ++i) w(0xCC20 + 4 * i, s16(15 + 2 * i));
    w(0xC06C, ULONG(r[32]) * 256 + r[29]);
    w(0xC070, r[30]);
    w(0xC074, r[31]);
    w(0xC068, r[58]);
    if (r[1] == 5) w(0xCC1C, Dword(r + 34));
    if (r[1] != 0 && r[1] != 5 && w.Ok) ZarDveBuildWarpLutAtDirql(ext, w, r);
}

// The kept settings the interrupt routine applies (steps 2 of the field).
void ZarDveApplyPendingAtDirql(PZAR_DEVICE_EXTENSION ext, ZAR_DVE_WRITER& w)
{
    ZAR_DVE_STATE& dve = ext->Dve;
    ULONG flags = Dword(dve.Perspective);
    if (ext->FieldParity == 0 && (flags & 0x2)) {
        ZarDvePerspectiveSetAtDirql(w, 1, dve.Perspective + 44);
        flags &= ~0x2UL;
    } else if (ext->FieldParity == 1 && (flags & 0x1)) {
        ZarDvePerspectiveSetAtDirql(w, 0, dve.Perspective + 4);
        ZarDve2dFilterAtDirql(w, dve.Perspective + 4);
        flags &= ~0x1UL;
    }
    std::memcpy(dve.Perspective, &flags, 4);
    if (Dword(dve.Border) != 0) {
        ZarDveBorderAtDirql(ext, w, dve.Border);
        std::memset(dve.Border, 0, 4);
    }
    if (dve.WarpPending) {
        ZarDveWarpAtDirql(ext, w, dve.Warp);
        dve.WarpPending = FALSE;
    }
    if (dve.FreezeKept && ext->FieldParity == 1) w(ZAR_REG_DVE_FREEZE, ZarDveFreezeBits(dve.Freeze, &dve.StrobeCounter));
}

// Reads the head of a field in the SDRAM ring into 'data' through the SDRAM
// window, by one DEBI block into the look-up buffer (free between warps:
// every look-up block has gone out before its warp write returns).
bool ZarDveReadFieldDataAtDirql(PZAR_DEVICE_EXTENSION ext, ULONG block, UCHAR data[kFieldDataBytes])
{
    if (ext->DveWarpLut.VirtualAddress == nullptr || !ZarDebiClaimAtDirql(ext)) return false;
    ZarDebiSdramSetAddressMode(ext, kSdramModeRing);
    if (!ZarDebiPioWrite(ext, ZAR_REG_SDRAM_BLOCK, block % ZAR_JPEG_RING_BLOCKS) || !ZarDebiWaitIdle(ext)) return false;
    ZarBridgeWrite(ext, ZAR_BRIDGE_DEBI_CONFIG, kConfigSdramWindow);
    ZarBridgeWrite(ext, ZAR_BRIDGE_DEBI_COMMAND,
                   ZAR_REG_SDRAM_WINDOW | kDebiRead | (kFieldDataReadBytes << kDebiBlockCountShift));
    ZarBridgeWrite(ext, ZAR_BRIDGE_DEBI_PAGE, 0);
    ZarBridgeWrite(ext, ZAR_BRIDGE_DEBI_AD, ext->DveWarpLut.LogicalAddress.LowPart);
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC2, ZAR_MC2_UPLOAD_DEBI);
    if (!ZarDebiWaitIdle(ext)) return false;
    std::memcpy(data, ext->DveWarpLut.VirtualAddress, kFieldDataBytes);
    return true;
}

// The perspective block a playing video channel's current field carries for
// this field, or false when its fields carry none (only vari-play fields do)
// or it could not be read. The channel's parity and the field's are compared;
// 625-line fields are numbered from the other parity, so the choice inverts.
bool ZarDveCarriedPerspective(PZAR_DEVICE_EXTENSION ext, ULONG channel, UCHAR block[kFieldDataBlockBytes])
{
    const ZAR_VIDEO_CHANNEL_STATE& s = ext->Jpeg.Channel[channel].State;
    if (s.StateWord != ZAR_VIDEO_PLAY || !s.VariPlay) return false;
    ZAR_VARIPLAY_ENTRY entry;
    if (!ZarVariPlayCurrentEntry(ext, channel, &entry)) return false;
    UCHAR data[kFieldDataBytes];
    if (!ZarDveReadFieldDataAtDirql(ext, entry.Address + s.AudioBlocks, data)) {
        ++ext->Dve.DebiSkipped;
        return false;
    }
    ULONG pick = (entry.Field & 1) != (s.Parity & 1) ? 1 : 0;
    if (ext->Standard == 625) pick ^= 1;
    std::memcpy(block, data + pick * kFieldDataBlockBytes, kFieldDataBlockBytes);
    return true;
}

bool ZarDveChannelsIdle(PZAR_DEVICE_EXTENSION ext)
{
    const ZAR_PLY_DVE_STATE& s = ext->Playlist.Dve;
    return s.Play.State == 0 && s.PreviousState == 0 && s.StateBefore == 0;
}

template <typename Body>
NTSTATUS ZarDveRun(PZAR_DEVICE_EXTENSION ext, Body body)
{
    auto run = [&]() -> bool {
        if (!ZarDveAcquireDebiAtDirql(ext)) return false;
        ZAR_DVE_WRITER w{ext};
        body(w);
        return w.Ok;
    };
    PKSYNCHRONIZE_ROUTINE thunk = [](PVOID c) -> BOOLEAN { return (*static_cast<decltype(run)*>(c))() ? TRUE : FALSE; };
    if (ZarRunSynchronized(ext, thunk, &run)) return STATUS_SUCCESS;
    ++ext->Dve.DebiSkipped;
    return STATUS_UNSUCCESSFUL;
}

// Keeps a record for the interrupt routine (under its lock).
template <typename Body>
void ZarDveKeep(PZAR_DEVICE_EXTENSION ext, Body body)
{
    PKSYNCHRONIZE_ROUTINE thunk = [](PVOID c) -> BOOLEAN {
        (*static_cast<Body*>(c))();
        return TRUE;
    };
    ZarRunSynchronized(ext, thunk, &body);
}

}  // namespace

// ---- shared helpers ----

ULONG ZarDveFreezeBits(const UCHAR freeze[ZAR_DVE_FREEZE_SIZE], PULONG strobeCounter)
{
    ULONG mode = Dword(freeze), select = Dword(freeze + 4) & 1, interval = Dword(freeze + 8);
    switch (mode) {
    case 1: return 0x1;
    case 2: return 0x1 | (select << 1) | 0x4;
    case 3: {
        ULONG bits = ((interval & 1) << 1) | 0x4;
        if (*strobeCounter > 0) {
            --*strobeCounter;
            return bits | 0x1;
        }
        *strobeCounter = interval;
        return bits;
    }
    default: return 0;  // off, and modes with no defined value
    }
}

BOOLEAN ZarDveBorderGenerateData(PZAR_DEVICE_EXTENSION ext, const UCHAR border[ZAR_DVE_BORDER_SIZE])
{
    ZAR_DVE_STATE& dve = ext->Dve;
    ULONG profile = Dword(border + 60);
    if (profile >= 8) return FALSE;
    if (dve.RampValid && std::memcmp(dve.RampKey, border + 60, sizeof(dve.RampKey)) == 0) return FALSE;
    std::memcpy(dve.RampKey, border + 60, sizeof(dve.RampKey));
    LONG amplitude = LONG(Dword(border + 64));
    if (Dword(border + 68) != 0) amplitude = -amplitude;
    LONG base = border[72];
    UCHAR cb = UCHAR(128 + static_cast<signed char>(border[73]));
    UCHAR cr = UCHAR(128 + static_cast<signed char>(border[74]));
    const UCHAR* p = dve.Profiles + 64 * profile;
    auto* ramp = static_cast<PUCHAR>(ext->SmallBuffer.VirtualAddress);
    UCHAR local[ZAR_DVE_RAMP_SIZE];
    if (ramp == nullptr) ramp = local;
    for (ULONG i = 0; i < 64; ++i) {
        LONG luma = ((LONG(p[i]) - 128) * amplitude) >> 8;
        UCHAR y = UCHAR(std::clamp<LONG>(luma + base, 16, 235));
        ramp[4 * i] = cb;
        ramp[4 * i + 1] = y;
        ramp[4 * i + 2] = cr;
        ramp[4 * i + 3] = y;
    }
    dve.RampValid = TRUE;
    dve.RampNew = TRUE;
    ++dve.RampsGenerated;
    return TRUE;
}

// ---- tables ----

NTSTATUS ZarDveWarpTableAlloc(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_DVE_STATE& dve = ext->Dve;
    ULONG total = 0;
    for (ULONG t = 0; t < ZAR_DVE_WARP_TABLES; ++t) total += ZarDveTableWords(t);
    auto* block = static_cast<PULONG>(ExAllocatePoolWithTag(NonPagedPool, total * sizeof(ULONG), ZAR_TAG_WORK));
    if (block == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(block, total * sizeof(ULONG));
    for (ULONG t = 0, at = 0; t < ZAR_DVE_WARP_TABLES; at += ZarDveTableWords(t), ++t) dve.Table[t] = block + at;
    ext->DveWarpTablesAllocated = TRUE;
    return STATUS_SUCCESS;
}

void ZarDveWarpTableFree(PZAR_DEVICE_EXTENSION ext)
{
    if (ext->Dve.Table[0] != nullptr) ExFreePoolWithTag(ext->Dve.Table[0], ZAR_TAG_WORK);
    for (PULONG& t : ext->Dve.Table) t = nullptr;
    ext->DveWarpTablesAllocated = FALSE;
}

NTSTATUS ZarDveWarpTableLoad(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    const auto* r = static_cast<const UCHAR*>(buffer);
    ULONG table = Dword(r), index = Dword(r + 4);
    if (table >= ZAR_DVE_WARP_TABLES) return STATUS_INVALID_PARAMETER;
    if (ext->Dve.Table[table] == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    PULONG to = ext->Dve.Table[table];
    if (table == 5 || table == 6) to += std::min<ULONG>(index, ZAR_DVE_SINE_TABLES - 1) * kTableWords[table];
    const void* from = reinterpret_cast<const void*>(static_cast<ULONG_PTR>(Dword(r + 8)));
    ULONG bytes = kTableWords[table] * sizeof(ULONG);
    // The library's table, named by address in the record.
    return ZarCaptureFromCaller(UserMode, from, to, bytes);
}

// ---- control codes ----

NTSTATUS ZarDveIoSetPixel(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    UCHAR r[ZAR_DVE_PIXEL_SIZE];
    std::memcpy(r, buffer, sizeof(r));
    return ZarDveRun(ext, [&](ZAR_DVE_WRITER& w) { ZarDvePixelAtDirql(w, r); });
}

NTSTATUS ZarDveIoSetFilter(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    UCHAR r[ZAR_DVE_FILTER_SIZE];
    std::memcpy(r, buffer, sizeof(r));
    return ZarDveRun(ext, [&](ZAR_DVE_WRITER& w) { ZarDveFilterAtDirql(w, Dword(r + 4), Dword(r + 8)); });
}

NTSTATUS ZarDveIoSetCropping(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    UCHAR r[ZAR_DVE_CROPPING_SIZE];
    std::memcpy(r, buffer, sizeof(r));
    return ZarDveRun(ext, [&](ZAR_DVE_WRITER& w) { ZarDveCroppingAtDirql(w, r); });
}

NTSTATUS ZarDveIoSetTrailShadow(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    UCHAR r[ZAR_DVE_TRAIL_SIZE];
    std::memcpy(r, buffer, sizeof(r));
    return ZarDveRun(ext, [&](ZAR_DVE_WRITER& w) { ZarDveTrailShadowAtDirql(w, r); });
}

NTSTATUS ZarDveIoSetKey(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    UCHAR r[ZAR_DVE_KEY_SIZE];
    std::memcpy(r, buffer, sizeof(r));
    return ZarDveRun(ext, [&](ZAR_DVE_WRITER& w) { ZarDveKeyAtDirql(w, r); });
}

NTSTATUS ZarDveIoSetPerspective(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ZarDveKeep(ext, [&] { std::memcpy(ext->Dve.Perspective, buffer, ZAR_DVE_PERSPECTIVE_SIZE); });
    return STATUS_SUCCESS;
}

NTSTATUS ZarDveIoSetBorder(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    UCHAR r[ZAR_DVE_BORDER_SIZE];
    std::memcpy(r, buffer, sizeof(r));
    ULONG pending = 1;
    std::memcpy(r, &pending, 4);
    ZarDveKeep(ext, [&] {
        ZarDveBorderGenerateData(ext, r);
        std::memcpy(ext->Dve.Border, r, sizeof(r));
    });
    return STATUS_SUCCESS;
}

NTSTATUS ZarDveIoSetWarp(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ZarDveKeep(ext, [&] {
        std::memcpy(ext->Dve.Warp, buffer, ZAR_DVE_WARP_SIZE);
        ext->Dve.WarpPending = TRUE;
    });
    return STATUS_SUCCESS;
}

NTSTATUS ZarDveIoSetFreeze(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ZarDveKeep(ext, [&] {
        std::memcpy(ext->Dve.Freeze, buffer, ZAR_DVE_FREEZE_SIZE);
        ext->Dve.FreezeKept = TRUE;
        ext->Dve.StrobeCounter = 0;
    });
    return STATUS_SUCCESS;
}

NTSTATUS ZarDveIoGetFreeze(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    std::memcpy(buffer, ext->Dve.Freeze, ZAR_DVE_FREEZE_SIZE);
    return STATUS_SUCCESS;
}

NTSTATUS ZarDveIoLoadCoefficients(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ZarDveKeep(ext, [&] { std::memcpy(ext->Dve.Profiles, buffer, ZAR_DVE_PROFILES_SIZE); });
    return STATUS_SUCCESS;
}

NTSTATUS ZarDveIoInitPerspectiveLut(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    // The perspective look-up: 4,096 words to the DVE through the look-up port.
    const auto* words = static_cast<const ULONG*>(buffer);
    return ZarDveRun(ext, [&](ZAR_DVE_WRITER& w) {
        ZAR_DVE_LUT lut{ext};
        for (ULONG i = 0; i < 4096 && lut.Ok; ++i) lut.Next(words[i]);
        lut.Flush();
        w.Ok = lut.Ok;
    });
}

NTSTATUS ZarDvePlayCommand(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    return ZarPlyPlayCommand(ext, ZAR_PLY_MODULE_DVE, static_cast<const ZAR_PLAY_COMMAND*>(buffer));
}

// ---- per field ----

void ZarPlyDvePreProcessNode(PZAR_DEVICE_EXTENSION ext) { ZarPlyModulePreProcess(ext, ZAR_PLY_MODULE_DVE); }

void ZarPlyDveProcessNode(PZAR_DEVICE_EXTENSION ext)
{
    if (!ext->DvePresent) return;
    ZAR_DVE_STATE& dve = ext->Dve;
    ZAR_PLY_DVE_STATE& s = ext->Playlist.Dve;
    // The video channels' own geometry first: its SDRAM reads leave the DEBI
    // set-up for the window, which the claim below puts back.
    UCHAR carried[ZAR_JPEG_CHANNEL_COUNT][kFieldDataBlockBytes];
    bool carries[ZAR_JPEG_CHANNEL_COUNT];
    for (ULONG c = 0; c < ZAR_JPEG_CHANNEL_COUNT; ++c) carries[c] = ZarDveCarriedPerspective(ext, c, carried[c]);
    bool idle = ZarDveChannelsIdle(ext);
    bool pending = (Dword(dve.Perspective) & 3) != 0 || Dword(dve.Border) != 0 || dve.WarpPending;
    if (!idle && !pending && !dve.FreezeKept && s.Play.State == 0 && !carries[0] && !carries[1]) return;
    if (!ZarDveAcquireDebiAtDirql(ext)) {
        ++dve.DebiSkipped;
        return;
    }
    ZAR_DVE_WRITER w{ext};
    ULONG set = (ext->FieldParity ^ 1) & 1;
    for (ULONG c = 0; c < ZAR_JPEG_CHANNEL_COUNT; ++c) {
        if (!carries[c]) continue;
        ZarDvePerspectiveSetAtDirql(w, set, carried[c]);
        ZarDve2dFilterAtDirql(w, carried[c]);
    }
    if (idle || pending) ZarDveApplyPendingAtDirql(ext, w);
    if (idle) return;

    auto take = [&](ULONG channel) -> ZAR_NODE_RECORD* {
        PZAR_NODE_QUEUE q = ZarPlyNodeQueue(ext, channel);
        if (q == nullptr || ZarPlyQueuedCount(q) == 0) return nullptr;
        ULONG size = ZarPlyNodeEntrySize(channel);
        ZAR_NODE_RECORD* node = ZarPlyQueueSlot(q, q->ReadIndex, size);
        if (!ZarPlIsNodePlaytime(ext, &s.Play, node, 0)) return nullptr;
        if (!ZarPlyNodeHolds(node)) ZarPlyIncNodeHeadEx(ext, &s.Play, q, size);
        return node;
    };
    auto payload = [](const void* node) { return static_cast<const UCHAR*>(node) + sizeof(ZAR_NODE_RECORD); };
    if (s.EnableMask & 0x1) {
        if (ZAR_NODE_RECORD* n = take(ZAR_FX_CHANNEL_DVE_KEY)) {
            const UCHAR* p = payload(n);
            ZarDveKeyAtDirql(w, p);
            ZarDveBorderGenerateData(ext, p + 9);
            ZarDveBorderAtDirql(ext, w, p + 9);
            ZarDvePixelAtDirql(w, p + 84);
            w(ZAR_REG_DVE_FREEZE, ZarDveFreezeBits(p + 96, &dve.StrobeCounter));
        }
    }
    // The pipeline's stage 1 holds the node taken two fields ago.
    auto pipeline = [&](ULONG bit, ULONG channel, auto write, auto atOnce) {
        if ((s.EnableMask & bit) == 0) return;
        PZAR_NODE_QUEUE q = ZarPlyNodeQueue(ext, channel);
        if (q->Pipeline[1] != nullptr) write(payload(q->Pipeline[1]));
        ZarPlyNodePipelineShift(q);
        if (ZAR_NODE_RECORD* n = take(channel)) {
            atOnce(payload(n));
            ZarPlyNodePipelineAdd(q, n);
        }
    };
    pipeline(
        0x2, ZAR_FX_CHANNEL_DVE_PERSPECTIVE, [&](const UCHAR* p) { ZarDvePerspectiveSetAtDirql(w, set, p); },
        [&](const UCHAR* p) { ZarDve2dFilterAtDirql(w, p); });
    pipeline(
        0x4, ZAR_FX_CHANNEL_DVE_WARP,
        [&](const UCHAR* p) {
            ZarDveWarpAtDirql(ext, w, p);
            ZarDveCroppingAtDirql(w, p + ZAR_DVE_WARP_SIZE);
        },
        [](const UCHAR*) {});
    pipeline(0x8, ZAR_FX_CHANNEL_DVE_TRAIL, [&](const UCHAR* p) { ZarDveTrailShadowAtDirql(w, p); }, [](const UCHAR*) {});
    if (!w.Ok) ++dve.DebiSkipped;
}

void ZarPlyDvePostProcessNode(PZAR_DEVICE_EXTENSION ext) { ZarPlyModulePostProcess(ext, ZAR_PLY_MODULE_DVE); }

// ---- scrub parts ----

void ZarScrubDveProcessUpStreamNode(PZAR_DEVICE_EXTENSION ext, const UCHAR* entry)
{
    if (!ext->DvePresent || !ZarDveChannelsIdle(ext) || (entry[0] & 0x10) == 0) return;
    ZAR_DVE_WRITER w{ext};
    ZarDveKeyAtDirql(w, entry + 40);
    ZarDveBorderGenerateData(ext, entry + 49);
    ZarDveBorderAtDirql(ext, w, entry + 49);
    ZarDvePixelAtDirql(w, entry + 124);
    w(ZAR_REG_DVE_FREEZE, ZarDveFreezeBits(entry + 136, &ext->Dve.StrobeCounter));
}

void ZarScrubDveProcessDownStreamNode(PZAR_DEVICE_EXTENSION ext, const UCHAR* entry)
{
    if (!ext->DvePresent || !ZarDveChannelsIdle(ext)) return;
    ZAR_DVE_WRITER w{ext};
    if (entry[0] & 0x40) ZarDveTrailShadowAtDirql(w, entry + 244);
    if (entry[0] & 0x80) {
        ZarDveCroppingAtDirql(w, entry + 268 + ZAR_DVE_WARP_SIZE);
        ZarDveWarpAtDirql(ext, w, entry + 268);
    }
    if (entry[0] & 0x20) std::memcpy(ext->Dve.Perspective, entry + 148, ZAR_DVE_PERSPECTIVE_SIZE);
}
