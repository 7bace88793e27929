// Mixer, bus and proc-amp modules: control codes, the per-field play-list
// steps of channels 21/31, 401-404 and 500/501, the scrub parts, the video
// preferences and the chroma filter.
//
// Each setting goes control-code handler → a routine run synchronised with
// the interrupt → the register writer at device IRQL. A setting whose
// writes did not all reach the board fails its control code and is not
// kept, so what the driver reports is what the hardware holds.

#include <cstring>

#include "zar_audio.h"
#include "zar_board_regs.h"
#include "zar_bridge.h"
#include "zar_debi.h"
#include "zar_extension.h"
#include "zar_mix.h"
#include "zar_playlist.h"
#include "zar_videochips.h"

namespace {

constexpr ULONG kPreviewSourceMask = 7;

ULONG ZarReadDword(const UCHAR* p)
{
    ULONG v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}

// Runs 'body' (returning bool) synchronised with the board interrupt.
template <typename Body>
bool ZarMixSynchronize(PZAR_DEVICE_EXTENSION ext, Body& body)
{
    PKSYNCHRONIZE_ROUTINE thunk = [](PVOID context) -> BOOLEAN { return (*static_cast<Body*>(context))() ? TRUE : FALSE; };
    return ZarRunSynchronized(ext, thunk, &body) != FALSE;
}

// Writes the registers; false as soon as one did not happen.
bool ZarMixWrite(PZAR_DEVICE_EXTENSION ext, ULONG address, ULONG value)
{
    return ZarDebiPioWrite(ext, address, value & 0xFFFF) != FALSE;
}

NTSTATUS ZarMixResult(PZAR_DEVICE_EXTENSION ext, bool written)
{
    if (written) return STATUS_SUCCESS;
    ++ext->Mix.DebiSkipped;
    return STATUS_UNSUCCESSFUL;
}

// Whether the chroma filter is on: from the preferences, or automatic while
// a key is on.
bool ZarMixUvFilterWanted(const ZAR_MIX_STATE& mix, bool dveKey, bool downstreamKey)
{
    switch (mix.VideoPrefs[0]) {
    case ZAR_UV_FILTER_OFF: return false;
    case ZAR_UV_FILTER_ON: return true;
    default: return dveKey || downstreamKey;
    }
}

ULONG ZarMixVideoControlWith(PZAR_DEVICE_EXTENSION ext, bool filter)
{
    return filter ? ext->DebiShadow5C00 | ZAR_VIDEO_INPUT_UV_FILTER : ext->DebiShadow5C00 & ~ZAR_VIDEO_INPUT_UV_FILTER;
}

void ZarMixApplyUvFilter(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_MIX_STATE& mix = ext->Mix;
    mix.UvFilterActive = ZarMixUvFilterWanted(mix, mix.DveKeyActive, mix.DownstreamKeyActive);
    ext->DebiShadow5C00 = ZarMixVideoControlWith(ext, mix.UvFilterActive);
}

// A key record's four registers and halved level; the key's active flag.
// The flag, the filter and the video control shadow change only once every
// write has gone through: a failed setting leaves the state it found.
bool ZarMixSetKey(PZAR_DEVICE_EXTENSION ext, const UCHAR* record, const ULONG registers[5], BOOLEAN* active)
{
    if (!ZarDveAcquireDebiAtDirql(ext)) return false;
    bool ok = ZarMixWrite(ext, registers[0], ZarReadDword(record)) && ZarMixWrite(ext, registers[1], record[4]) &&
              ZarMixWrite(ext, registers[2], record[5]) && ZarMixWrite(ext, registers[3], ZarReadDword(record + 6)) &&
              ZarMixWrite(ext, registers[4], ZarMixHalve(record[10]));
    if (!ok) return false;
    ZAR_MIX_STATE& mix = ext->Mix;
    const bool on = record[10] != 0;
    if (mix.VideoPrefs[0] == ZAR_UV_FILTER_AUTOMATIC) {
        const bool dveKey = active == &mix.DveKeyActive ? on : mix.DveKeyActive != FALSE;
        const bool downstreamKey = active == &mix.DownstreamKeyActive ? on : mix.DownstreamKeyActive != FALSE;
        const bool filter = ZarMixUvFilterWanted(mix, dveKey, downstreamKey);
        const ULONG control = ZarMixVideoControlWith(ext, filter);
        if (!ZarMixWrite(ext, ZAR_REG_VIDEO_INPUT_CONTROL, control)) return false;
        mix.UvFilterActive = filter;
        ext->DebiShadow5C00 = control;
    }
    *active = on;
    return true;
}

// A play command of the proc amps and graphics stores (36 bytes: command,
// unit, then the fields of ZAR_PLAY_COMMAND from the self-timed flag on).
ZAR_PLAY_COMMAND ZarMixUnitPlayCommand(const UCHAR* record)
{
    ZAR_PLAY_COMMAND c;
    c.Command = ZarReadDword(record);
    c.SelfTimed = ZarReadDword(record + 8);
    c.Master = ZarReadDword(record + 12);
    c.Start = ZarReadDword(record + 16);
    c.LoopStart = ZarReadDword(record + 20);
    c.End = ZarReadDword(record + 24);
    c.LoopFlag = ZarReadDword(record + 28);
    c.Wait = ZarReadDword(record + 32);
    return c;
}

// One due node of a follower channel: written by 'apply' and, unless it
// holds, passed.
template <typename Apply>
void ZarMixProcessChannel(PZAR_DEVICE_EXTENSION ext, PZAR_PLAY_STATE play, ULONG channel, Apply apply)
{
    PZAR_NODE_QUEUE queue = ZarPlyNodeQueue(ext, channel);
    if (queue == nullptr || ZarPlyQueuedCount(queue) == 0) return;
    ULONG size = ZarPlyNodeEntrySize(channel);
    ZAR_NODE_RECORD* node = ZarPlyQueueSlot(queue, queue->ReadIndex, size);
    if (!ZarPlIsNodePlaytime(ext, play, node, 0)) return;
    apply(reinterpret_cast<const UCHAR*>(node) + sizeof(ZAR_NODE_RECORD));
    if (!ZarPlyNodeHolds(node)) ZarPlyIncNodeHeadEx(ext, play, queue, size);
}

}  // namespace

// ---- conversions ----

void ZarMixRgbToYuv(ULONG colour, UCHAR out[4])
{
    LONG r = colour & 0xFF, g = (colour >> 8) & 0xFF, b = (colour >> 16) & 0xFF;
    out[0] = UCHAR(((-9714 * r - 19070 * g + 28784 * b + 32768) >> 16) + 128);
    out[1] = UCHAR((16829 * r + 33039 * g + 6416 * b + 0x108000) >> 16);
    out[2] = UCHAR(((28784 * r - 24103 * g - 4681 * b + 32768) >> 16) + 128);
    out[3] = 255;
}

UCHAR ZarMixHalve(UCHAR level) { return level == 255 ? 128 : UCHAR(level / 2); }

void ZarMixProcAmpValues(const UCHAR record[ZAR_PROC_AMP_RECORD_SIZE], UCHAR values[5])
{
    if (ZarReadDword(record) != 0) {
        UCHAR yuv[4];
        ZarMixRgbToYuv(ZarReadDword(record + 4), yuv);
        values[0] = 255;
        values[1] = 0;
        values[2] = yuv[1];
        values[3] = UCHAR(yuv[0] + 128);
        values[4] = UCHAR(yuv[2] + 128);
        return;
    }
    // Level-conversion constants per register: divisor and offset.
    static constexpr LONG kDivisor[5] = {1, 1, 2, 2, 2};
    static constexpr LONG kOffset[5] = {128, 128, 16, 0, 0};
    const UCHAR levels[5] = {record[4], record[5], record[6], record[8], record[9]};
    for (int i = 0; i < 5; ++i) values[i] = UCHAR((LONG(levels[i]) - 128) / kDivisor[i] + kOffset[i]);
    // 255 in register 0 is the matte's mark.
    if (values[0] == 255) values[0] = 254;
}

ULONG ZarMixPreviewValue(ULONG source, ULONG mode)
{
    ULONG value = source & kPreviewSourceMask;
    bool keyedSource = value == 3 || value == 5 || value == 7;
    switch (mode) {
    case 0: if (keyedSource) value |= 0x08; break;
    case 1: if (keyedSource) value |= 0x10; break;
    case 2: value |= 0x08; break;
    case 3: value |= 0x20; break;
    case 4: value |= 0x40; break;
    default: break;
    }
    if (value & (0x08 | 0x20 | 0x40)) value |= 0x10;
    return value;
}

// ---- register writers (device IRQL) ----

BOOLEAN ZarMixSetProcAmpAtDirql(PZAR_DEVICE_EXTENSION ext, ULONG procAmp, const UCHAR* record)
{
    if (procAmp > 1 || !ZarDveAcquireDebiAtDirql(ext)) return FALSE;
    UCHAR v[5];
    ZarMixProcAmpValues(record, v);
    ULONG base = procAmp == 0 ? ZAR_REG_PROC_AMP0 : ZAR_REG_PROC_AMP1;
    // Proc amp 0's first register takes its value twice.
    bool ok = procAmp != 0 || ZarMixWrite(ext, base, v[0]);
    for (ULONG i = 0; ok && i < 5; ++i) ok = ZarMixWrite(ext, base + 4 * i, v[i]);
    if (!ok) return FALSE;
    std::memcpy(ext->Mix.ProcAmp[procAmp], record, ZAR_PROC_AMP_RECORD_SIZE);
    return TRUE;
}

BOOLEAN ZarMixSetMixEffectsAtDirql(PZAR_DEVICE_EXTENSION ext, const UCHAR* record)
{
    if (!ZarDveAcquireDebiAtDirql(ext)) return FALSE;
    for (ULONG i = 0; i < ZAR_MIX_EFFECTS_SIZE; ++i)
        if (!ZarMixWrite(ext, ZAR_REG_MIX_EFFECTS + 4 * i, record[i])) return FALSE;
    return TRUE;
}

BOOLEAN ZarMixSetDveAtDirql(PZAR_DEVICE_EXTENSION ext, const UCHAR* record)
{
    static constexpr ULONG kRegisters[5] = {ZAR_REG_DVE_KEY, ZAR_REG_DVE_KEY + 4, ZAR_REG_DVE_KEY + 8,
                                            ZAR_REG_DVE_KEY + 12, ZAR_REG_DVE_KEY_LEVEL};
    return ZarMixSetKey(ext, record, kRegisters, &ext->Mix.DveKeyActive) ? TRUE : FALSE;
}

BOOLEAN ZarMixSetDownStreamKeyAtDirql(PZAR_DEVICE_EXTENSION ext, const UCHAR* record)
{
    static constexpr ULONG kRegisters[5] = {ZAR_REG_DOWN_STREAM_KEY, ZAR_REG_DOWN_STREAM_KEY + 4,
                                            ZAR_REG_DOWN_STREAM_KEY + 8, ZAR_REG_DOWN_STREAM_KEY + 12,
                                            ZAR_REG_DOWN_STREAM_KEY_LEVEL};
    return ZarMixSetKey(ext, record, kRegisters, &ext->Mix.DownstreamKeyActive) ? TRUE : FALSE;
}

BOOLEAN ZarMixSetMasterFadeAtDirql(PZAR_DEVICE_EXTENSION ext, UCHAR level)
{
    if (!ZarDveAcquireDebiAtDirql(ext) || !ZarMixWrite(ext, ZAR_REG_MASTER_FADE, 255 - level)) return FALSE;
    ext->Mix.MasterFade = level;
    return TRUE;
}

BOOLEAN ZarBusSetPreviewAtDirql(PZAR_DEVICE_EXTENSION ext, const UCHAR* record)
{
    ULONG source = ZarReadDword(record), mode = ZarReadDword(record + 4);
    ULONG value = ZarMixPreviewValue(source, mode);
    if (!ZarDveAcquireDebiAtDirql(ext) || !ZarMixWrite(ext, ZAR_REG_PREVIEW, value)) return FALSE;
    ext->DebiShadow5470 = value;
    ext->Mix.PreviewSource = source;
    ext->Mix.PreviewMode = mode;
    return TRUE;
}

BOOLEAN ZarBusSetM2RouteAtDirql(PZAR_DEVICE_EXTENSION ext, const UCHAR* record)
{
    ULONG words[5];
    std::memcpy(words, record, sizeof(words));
    ULONG value = ext->Mix.M2RouteShadow & ~0xDFUL;
    value |= (words[0] & 3) | (words[1] & 3) << 2 | (words[2] & 1) << 4;
    if (words[3] == 1) value |= 0x40;
    if (words[4] != 0) value |= 0x80;
    if (!ZarDveAcquireDebiAtDirql(ext) || !ZarMixWrite(ext, ZAR_REG_M2_ROUTING, value)) return FALSE;
    ext->Mix.M2RouteShadow = value;
    std::memcpy(ext->Mix.M2Route, words, sizeof(words));
    return TRUE;
}

// ---- control codes ----

NTSTATUS ZarMixIoSetProcAmp(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ULONG procAmp)
{
    if (procAmp > 1) return STATUS_UNSUCCESSFUL;
    UCHAR record[ZAR_PROC_AMP_RECORD_SIZE];
    std::memcpy(record, buffer, sizeof(record));
    auto set = [&] { return ZarMixSetProcAmpAtDirql(ext, procAmp, record) != FALSE; };
    return ZarMixResult(ext, ZarMixSynchronize(ext, set));
}

NTSTATUS ZarMixIoGetProcAmp(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ULONG procAmp)
{
    if (procAmp > 1) return STATUS_UNSUCCESSFUL;
    std::memcpy(buffer, ext->Mix.ProcAmp[procAmp], ZAR_PROC_AMP_RECORD_SIZE);
    return STATUS_SUCCESS;
}

NTSTATUS ZarMixIoSetMixEffects(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    UCHAR record[ZAR_MIX_EFFECTS_SIZE];
    std::memcpy(record, buffer, sizeof(record));
    auto set = [&] { return ZarMixSetMixEffectsAtDirql(ext, record) != FALSE; };
    return ZarMixResult(ext, ZarMixSynchronize(ext, set));
}

NTSTATUS ZarMixIoSetDve(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    UCHAR record[ZAR_MIX_KEY_SIZE];
    std::memcpy(record, buffer, sizeof(record));
    auto set = [&] { return ZarMixSetDveAtDirql(ext, record) != FALSE; };
    return ZarMixResult(ext, ZarMixSynchronize(ext, set));
}

NTSTATUS ZarMixIoSetDownStreamKey(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    UCHAR record[ZAR_MIX_KEY_SIZE];
    std::memcpy(record, buffer, sizeof(record));
    auto set = [&] { return ZarMixSetDownStreamKeyAtDirql(ext, record) != FALSE; };
    return ZarMixResult(ext, ZarMixSynchronize(ext, set));
}

NTSTATUS ZarMixIoSetMasterFade(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    UCHAR level = *static_cast<const UCHAR*>(buffer);
    auto set = [&] { return ZarMixSetMasterFadeAtDirql(ext, level) != FALSE; };
    return ZarMixResult(ext, ZarMixSynchronize(ext, set));
}

NTSTATUS ZarMixIoGetMasterFade(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    *static_cast<PUCHAR>(buffer) = ext->Mix.MasterFade;
    return STATUS_SUCCESS;
}

NTSTATUS ZarMixIoSetPreview(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    UCHAR record[ZAR_MIX_PREVIEW_SIZE];
    std::memcpy(record, buffer, sizeof(record));
    auto set = [&] { return ZarBusSetPreviewAtDirql(ext, record) != FALSE; };
    return ZarMixResult(ext, ZarMixSynchronize(ext, set));
}

NTSTATUS ZarMixIoGetPreview(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ULONG words[2] = {ext->Mix.PreviewSource, ext->Mix.PreviewMode};
    std::memcpy(buffer, words, sizeof(words));
    return STATUS_SUCCESS;
}

NTSTATUS ZarDcIoSetVideoPrefs(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ULONG prefs[4];
    std::memcpy(prefs, buffer, sizeof(prefs));
    auto set = [&] {
        // Taken under the lock too: the graphics loader shares the shadow.
        ULONG shadow = ext->DebiShadow5C00;
        ULONG kept[4];
        std::memcpy(kept, ext->Mix.VideoPrefs, sizeof(kept));
        std::memcpy(ext->Mix.VideoPrefs, prefs, sizeof(prefs));
        ZarMixApplyUvFilter(ext);
        if (ZarMixWrite(ext, ZAR_REG_VIDEO_INPUT_CONTROL, ext->DebiShadow5C00)) return true;
        std::memcpy(ext->Mix.VideoPrefs, kept, sizeof(kept));
        ext->DebiShadow5C00 = shadow;
        return false;
    };
    if (!ZarMixSynchronize(ext, set)) return ZarMixResult(ext, false);
    // The decoder takes the filter with its input: select the current one again.
    ZarSaa7113SetInput(ext, ext->Vin.Mode.Source, FALSE);
    return STATUS_SUCCESS;
}

NTSTATUS ZarDcIoGetVideoPrefs(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    std::memcpy(buffer, ext->Mix.VideoPrefs, sizeof(ext->Mix.VideoPrefs));
    return STATUS_SUCCESS;
}

// ---- play commands ----

NTSTATUS ZarMixPlayCommand(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    return ZarPlyPlayCommand(ext, ZAR_PLY_MODULE_MIXER, static_cast<const ZAR_PLAY_COMMAND*>(buffer));
}

NTSTATUS ZarBusPlayCommand(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    return ZarPlyPlayCommand(ext, ZAR_PLY_MODULE_BUS, static_cast<const ZAR_PLAY_COMMAND*>(buffer));
}

NTSTATUS ZarProcAmpPlayCommand(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    const auto* record = static_cast<const UCHAR*>(buffer);
    ULONG procAmp = ZarReadDword(record + 4);
    if (procAmp > 1) return STATUS_UNSUCCESSFUL;
    ZAR_PLAY_COMMAND command = ZarMixUnitPlayCommand(record);
    return ZarPlyPlayCommand(ext, ZAR_PLY_MODULE_PROC_AMP0 + procAmp, &command);
}

// ---- per field ----

void ZarPlyProcAmpPreProcessNode(PZAR_DEVICE_EXTENSION ext)
{
    ZarPlyModulePreProcess(ext, ZAR_PLY_MODULE_PROC_AMP0);
    ZarPlyModulePreProcess(ext, ZAR_PLY_MODULE_PROC_AMP1);
}

void ZarPlyProcAmpProcessNode(PZAR_DEVICE_EXTENSION ext)
{
    for (ULONG p = 0; p < 2; ++p) {
        ZAR_PLY_MODULE_STATE& s = ext->Playlist.ProcAmp[p];
        // The proc amps' channel is bit 1 of their mask.
        if (s.Play.State == 0 || (s.EnableMask & 0x2) == 0) continue;
        ULONG channel = p == 0 ? ZAR_FX_CHANNEL_PROC_AMP0 : ZAR_FX_CHANNEL_PROC_AMP1;
        ZarMixProcessChannel(ext, &s.Play, channel, [&](const UCHAR* payload) {
            if (!ZarMixSetProcAmpAtDirql(ext, p, payload)) ++ext->Mix.DebiSkipped;
        });
    }
}

void ZarPlyProcAmpPostProcessNode(PZAR_DEVICE_EXTENSION ext)
{
    ZarPlyModulePostProcess(ext, ZAR_PLY_MODULE_PROC_AMP0);
    ZarPlyModulePostProcess(ext, ZAR_PLY_MODULE_PROC_AMP1);
}

void ZarPlyMixPreProcessNode(PZAR_DEVICE_EXTENSION ext) { ZarPlyModulePreProcess(ext, ZAR_PLY_MODULE_MIXER); }

void ZarPlyMixProcessNode(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_PLY_MODULE_STATE& s = ext->Playlist.Mixer;
    if (s.Play.State == 0) return;
    auto count = [&](BOOLEAN ok) { if (!ok) ++ext->Mix.DebiSkipped; };
    if (s.EnableMask & 0x1)
        ZarMixProcessChannel(ext, &s.Play, ZAR_FX_CHANNEL_WIPE, [&](const UCHAR* p) { count(ZarMixSetMixEffectsAtDirql(ext, p)); });
    if (s.EnableMask & 0x2)
        ZarMixProcessChannel(ext, &s.Play, ZAR_FX_CHANNEL_MIXER0, [&](const UCHAR* p) { count(ZarMixSetDveAtDirql(ext, p)); });
    if (s.EnableMask & 0x4)
        ZarMixProcessChannel(ext, &s.Play, ZAR_FX_CHANNEL_MIXER1,
                             [&](const UCHAR* p) { count(ZarMixSetDownStreamKeyAtDirql(ext, p)); });
    if (s.EnableMask & 0x8)
        ZarMixProcessChannel(ext, &s.Play, ZAR_FX_CHANNEL_MASTER_FADE,
                             [&](const UCHAR* p) { count(ZarMixSetMasterFadeAtDirql(ext, p[0])); });
}

void ZarPlyMixPostProcessNode(PZAR_DEVICE_EXTENSION ext) { ZarPlyModulePostProcess(ext, ZAR_PLY_MODULE_MIXER); }

void ZarPlyBusPreProcessNode(PZAR_DEVICE_EXTENSION ext) { ZarPlyModulePreProcess(ext, ZAR_PLY_MODULE_BUS); }

void ZarPlyBusProcessNode(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_PLY_MODULE_STATE& s = ext->Playlist.Bus;
    if (s.Play.State == 0) return;
    auto count = [&](BOOLEAN ok) { if (!ok) ++ext->Mix.DebiSkipped; };
    if (s.EnableMask & 0x1)
        ZarMixProcessChannel(ext, &s.Play, ZAR_FX_CHANNEL_PREVIEW_BUS, [&](const UCHAR* p) { count(ZarBusSetPreviewAtDirql(ext, p)); });
    if (s.EnableMask & 0x2)
        ZarMixProcessChannel(ext, &s.Play, ZAR_FX_CHANNEL_M2_ROUTE, [&](const UCHAR* p) { count(ZarBusSetM2RouteAtDirql(ext, p)); });
}

void ZarPlyBusPostProcessNode(PZAR_DEVICE_EXTENSION ext) { ZarPlyModulePostProcess(ext, ZAR_PLY_MODULE_BUS); }

// ---- scrub parts ----

void ZarScrubMixProcessNode(PZAR_DEVICE_EXTENSION ext, const UCHAR* entry)
{
    if (ext->Playlist.Mixer.Play.State != 0) return;
    ULONG kinds = ZarReadDword(entry);
    if (kinds & 0x1) ZarMixSetMixEffectsAtDirql(ext, entry + 8);
    if (kinds & 0x2) ZarMixSetDveAtDirql(ext, entry + 17);
    if (kinds & 0x4) ZarMixSetDownStreamKeyAtDirql(ext, entry + 28);
    if (kinds & 0x8) ZarMixSetMasterFadeAtDirql(ext, entry[39]);
}

void ZarScrubBusProcessNode(PZAR_DEVICE_EXTENSION ext, const UCHAR* entry)
{
    if (ext->Playlist.Bus.Play.State != 0) return;
    ULONG kinds = ZarReadDword(entry);
    if (kinds & 0x1000) ZarBusSetPreviewAtDirql(ext, entry + 407);
    if (kinds & 0x2000) ZarBusSetM2RouteAtDirql(ext, entry + 415);
}

void ZarScrubProcAmpProcessNode(PZAR_DEVICE_EXTENSION ext, const UCHAR* entry)
{
    ULONG kinds = ZarReadDword(entry);
    if ((kinds & 0x400) && ext->Playlist.ProcAmp[0].Play.State == 0) ZarMixSetProcAmpAtDirql(ext, 0, entry + 387);
    if ((kinds & 0x800) && ext->Playlist.ProcAmp[1].Play.State == 0) ZarMixSetProcAmpAtDirql(ext, 1, entry + 397);
}

// ---- DEBI for the effect units ----

BOOLEAN ZarDveAcquireDebiAtDirql(PZAR_DEVICE_EXTENSION ext)
{
    // Programmed accesses run between the blocks of a transfer that owns the
    // engine (ZarDebiPioWrite keeps its set-up); only the FPGA stream, whose
    // bytes may not be split, keeps the effect units off the bus.
    if (ext->Registers == nullptr || ext->Debi.Owner == ZAR_DEBI_OWNER_FPGA_STREAM) return FALSE;
    return ZarDebiWaitIdle(ext);
}
