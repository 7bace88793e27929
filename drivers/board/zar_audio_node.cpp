// The audio effect module of the play list: key-framed level, pan and
// equaliser nodes per track (channels 120-127, 130-137, 140-147) applied at
// their fields, and the callers' short level and pan ramps (overrides) that
// replace the nodes' values while they run. Everything here runs in the
// interrupt routine or synchronised with it; the DSP command thread does
// the slow part.

#include <cstring>

#include "zar_audio.h"
#include "zar_bridge.h"
#include "zar_extension.h"
#include "zar_playlist.h"

namespace {

enum : ULONG { kLevelNodes, kPanNodes, kEqNodes };
constexpr ULONG kChannelBase[3] = {ZAR_FX_CHANNEL_AUDIO_LEVEL, ZAR_FX_CHANNEL_AUDIO_PAN, ZAR_FX_CHANNEL_AUDIO_EQ};

// Node records behind the 8-byte header.
#pragma pack(push, 1)
struct ZAR_AUDIO_VALUE_NODE {
    ZAR_NODE_RECORD Header;
    UCHAR Value;
};
struct ZAR_AUDIO_EQ_NODE {
    ZAR_NODE_RECORD Header;
    UCHAR Mask;                         // 0x04 trim, 0x10 << n equaliser section n
    ZAR_AUDIO_TRACK_CONTROL Control;
};
#pragma pack(pop)
static_assert(sizeof(ZAR_AUDIO_VALUE_NODE) == 9);
static_assert(sizeof(ZAR_AUDIO_EQ_NODE) == 93);

ZAR_PLY_MODULE_STATE& Module(PZAR_DEVICE_EXTENSION ext) { return ext->Playlist.AudioFx; }

// The field the overrides and the callers count in: the audio play's own
// when it times itself, else its channel's play position of the latency's age.
ULONG ZarAudCurrentField(PZAR_DEVICE_EXTENSION ext)
{
    const ZAR_AUDIO_ENGINE_STATE& a = ext->AudioEngine;
    if (a.PlayState.SelfTimed || a.PlayState.State != ZAR_AUDIO_PLAYING) return a.PlayState.Position;
    PZAR_PLAY_STATE video = ZarPlyVideoPlayState(ext, a.PlayState.Master);
    return video != nullptr ? video->Reported[a.Latency & 3] : a.PlayState.Position;
}

// The last node due on one of the track's queues, or null.
ZAR_NODE_RECORD* ZarAudTakeDueNodes(PZAR_DEVICE_EXTENSION ext, ULONG channel)
{
    PZAR_NODE_QUEUE queue = ZarPlyNodeQueue(ext, channel);
    if (queue == nullptr) return nullptr;
    ULONG size = ZarPlyNodeEntrySize(channel);
    ZAR_NODE_RECORD* last = nullptr;
    while (ZarPlyQueuedCount(queue) != 0) {
        ZAR_NODE_RECORD* node = ZarPlyQueueSlot(queue, queue->ReadIndex, size);
        if (!ZarPlIsNodePlaytime(ext, &Module(ext).Play, node, 0)) break;
        last = node;
        if (ZarPlyNodeHolds(node)) break;  // a held node keeps its queue here
        ZarPlyIncNodeHeadEx(ext, &Module(ext).Play, queue, size);
    }
    return last;
}

struct ZAR_AUD_OVERRIDE_CALL {
    PZAR_DEVICE_EXTENSION Ext;
    ZAR_AUDIO_OVERRIDE_REQUEST* Request;
    bool Level;
};

BOOLEAN ZarAudOverrideSynchronized(PVOID context)
{
    auto* call = static_cast<ZAR_AUD_OVERRIDE_CALL*>(context);
    PZAR_DEVICE_EXTENSION ext = call->Ext;
    ZAR_AUDIO_OVERRIDE_REQUEST* r = call->Request;
    ULONG t = r->Track;
    ZAR_AUDIO_OVERRIDE& o = call->Level ? ext->AudioFx.Level[t] : ext->AudioFx.Pan[t];
    const ZAR_AUDIO_TRACK_CONTROL& c = ZarAudUserSet(ext, ext->Setup.AudioOwner)->Track[t];
    ULONG now = ZarAudCurrentField(ext);
    r->CurrentField = now;
    o.KeyCount = r->KeyCount;
    for (ULONG k = 0; k < ZAR_AUDIO_OVERRIDE_KEYS; ++k) {
        o.KeyTime[k] = r->KeyTime[k];
        o.KeyValue[k] = r->KeyValue[k];
    }
    o.GainLaw = call->Level && r->GainLaw != 0;
    UCHAR present = call->Level ? c.Level : c.Pan;
    if (r->Hold) {
        o.Present = 1;
        o.Ramping = 0;
        o.Value = present;
        return TRUE;
    }
    ZarAudOverrideStart(&o, now, present, o.GainLaw ? ext->AudioUsers.LevelGain : nullptr);
    return TRUE;
}

NTSTATUS ZarAudOverride(PZAR_DEVICE_EXTENSION ext, PVOID buffer, bool level)
{
    ZAR_AUDIO_OVERRIDE_REQUEST request{};
    std::memcpy(&request, buffer, level ? sizeof(request) : sizeof(request) - sizeof(ULONG));
    // The keys fill fixed arrays and the track indexes the eight tracks.
    if (request.Track >= ZAR_AUDIO_TRACKS || request.KeyCount > ZAR_AUDIO_OVERRIDE_KEYS)
        return STATUS_INVALID_PARAMETER;
    ZAR_AUD_OVERRIDE_CALL call{ext, &request, level};
    ZarRunSynchronized(ext, ZarAudOverrideSynchronized, &call);
    std::memcpy(buffer, &request, level ? sizeof(request) : sizeof(request) - sizeof(ULONG));
    return STATUS_SUCCESS;
}

}  // namespace

// ---- override ramps ----

ULONG ZarAudLevelLookup(const LONG* gainTable, LONG gain)
{
    ULONG i = 0;
    while (i < 256 && gainTable[i] <= gain) ++i;
    if (i == 0) return 0;
    if (i == 256) return 255;
    // gainTable[i - 1] <= gain < gainTable[i]: the upper only when strictly nearer.
    return (gainTable[i] - gain) < (gain - gainTable[i - 1]) ? i : i - 1;
}

namespace {

void ZarAudOverrideSegment(ZAR_AUDIO_OVERRIDE* o, ULONG from, LONG value, const LONG* gainTable)
{
    ULONG k = o->Segment;
    o->SegmentStart = from;
    // A key at or before the segment's start has no length to ramp over:
    // the segment is at its end value at once.
    o->SegmentDuration = o->KeyTime[k] > from ? o->KeyTime[k] - from : 0;
    LONG to = gainTable ? gainTable[o->KeyValue[k]] : LONG(o->KeyValue[k]);
    o->SegmentFrom = value;
    o->SegmentDelta = to - value;
}

// Fields from the segment's start to 'now', signed: a play that wrapped to
// its loop start is before it, not four billion fields after.
LONG ZarAudOverrideElapsed(const ZAR_AUDIO_OVERRIDE* o, ULONG now) { return LONG(now - o->SegmentStart); }

UCHAR ZarAudOverrideValue(const ZAR_AUDIO_OVERRIDE* o, ULONG now, const LONG* gainTable)
{
    LONG v;
    const LONG elapsed = ZarAudOverrideElapsed(o, now);
    if (o->SegmentDuration == 0 || elapsed >= LONG(o->SegmentDuration)) {
        v = o->SegmentFrom + o->SegmentDelta;
    } else if (elapsed <= 0) {
        v = o->SegmentFrom;
    } else {
        v = LONG(o->SegmentFrom + LONGLONG(o->SegmentDelta) * elapsed / LONGLONG(o->SegmentDuration));
    }
    if (gainTable) v = LONG(ZarAudLevelLookup(gainTable, v));
    return UCHAR(v < 0 ? 0 : v > 255 ? 255 : v);
}

}  // namespace

void ZarAudOverrideStart(ZAR_AUDIO_OVERRIDE* o, ULONG now, UCHAR present, const LONG* gainTable)
{
    o->Value = present;
    ULONG count = o->KeyCount > ZAR_AUDIO_OVERRIDE_KEYS ? ZAR_AUDIO_OVERRIDE_KEYS : o->KeyCount;
    if (count == 0 || o->KeyTime[count - 1] <= now) {
        o->Present = 0;
        o->Ramping = 0;
        return;
    }
    ULONG k = 0;
    while (o->KeyTime[k] <= now) ++k;
    o->Segment = k;
    o->Present = 1;
    o->Ramping = 1;
    ZarAudOverrideSegment(o, now, gainTable ? gainTable[present] : LONG(present), gainTable);
}

void ZarAudOverrideStep(ZAR_AUDIO_OVERRIDE* o, ULONG now, const LONG* gainTable)
{
    if (!o->Ramping) return;
    // The play wrapped to its loop start: the ramp starts again from there,
    // from the value it had reached, toward the keys ahead of the new field.
    if (ZarAudOverrideElapsed(o, now) < 0) {
        ZarAudOverrideStart(o, now, o->Value, gainTable);
        return;
    }
    ULONG count = o->KeyCount > ZAR_AUDIO_OVERRIDE_KEYS ? ZAR_AUDIO_OVERRIDE_KEYS : o->KeyCount;
    while (ZarAudOverrideElapsed(o, now) >= LONG(o->SegmentDuration) && o->Segment + 1 < count) {
        ULONG end = o->SegmentStart + o->SegmentDuration;
        LONG endValue = o->SegmentFrom + o->SegmentDelta;
        ++o->Segment;
        ZarAudOverrideSegment(o, end, endValue, gainTable);
    }
    o->Value = ZarAudOverrideValue(o, now, gainTable);
    if (ZarAudOverrideElapsed(o, now) >= LONG(o->SegmentDuration) && o->Segment + 1 >= count) {
        // After the last key the track keeps the last value and the nodes take over again.
        o->Ramping = 0;
        o->Present = 0;
    }
}

// ---- module hooks ----

void ZarPlyAudFxPreProcessNode(PZAR_DEVICE_EXTENSION ext) { ZarPlyModulePreProcess(ext, ZAR_PLY_MODULE_AUDIO_FX); }

void ZarPlyAudFxProcessNode(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_AUDIO_FX_STATE& fx = ext->AudioFx;
    const LONG* gains = ext->AudioUsers.LevelGain;
    bool nodes = (Module(ext).EnableMask & 1) && Module(ext).Play.State == ZAR_PLY_PLAYING;
    ULONG now = ZarAudCurrentField(ext);
    for (ULONG t = 0; t < ZAR_AUDIO_TRACKS; ++t) {
        const UCHAR* level = nullptr;
        const UCHAR* pan = nullptr;
        const ZAR_AUDIO_EQ_NODE* eq = nullptr;
        if (nodes) {
            if (fx.TrackMask[kLevelNodes] & (1u << t))
                if (auto* n = ZarAudTakeDueNodes(ext, kChannelBase[kLevelNodes] + t))
                    level = &reinterpret_cast<ZAR_AUDIO_VALUE_NODE*>(n)->Value;
            if (fx.TrackMask[kPanNodes] & (1u << t))
                if (auto* n = ZarAudTakeDueNodes(ext, kChannelBase[kPanNodes] + t))
                    pan = &reinterpret_cast<ZAR_AUDIO_VALUE_NODE*>(n)->Value;
            if (fx.TrackMask[kEqNodes] & (1u << t))
                if (auto* n = ZarAudTakeDueNodes(ext, kChannelBase[kEqNodes] + t))
                    eq = reinterpret_cast<ZAR_AUDIO_EQ_NODE*>(n);
        }
        ZAR_AUDIO_OVERRIDE& lo = fx.Level[t];
        ZAR_AUDIO_OVERRIDE& po = fx.Pan[t];
        bool levelRamp = lo.Ramping != 0, panRamp = po.Ramping != 0;
        ZarAudOverrideStep(&lo, now, lo.GainLaw ? gains : nullptr);
        ZarAudOverrideStep(&po, now, nullptr);
        // An override, running or held, replaces the nodes' value; the
        // field it ends on still sets its last value.
        if (lo.Present || levelRamp) level = &lo.Value;
        if (po.Present || panRamp) pan = &po.Value;
        const ZAR_AUDIO_TRACK_CONTROL& c = ZarAudUserSet(ext, ext->Setup.AudioOwner)->Track[t];
        if (level != nullptr && *level == c.Level) level = nullptr;
        if (pan != nullptr && *pan == c.Pan) pan = nullptr;
        if (level == nullptr && pan == nullptr && eq == nullptr) continue;
        ZarAudSetTrackControlFromNodes(ext, t, level, pan, eq ? eq->Mask : 0, eq ? &eq->Control : nullptr);
    }
}

void ZarPlyAudFxPostProcessNode(PZAR_DEVICE_EXTENSION ext) { ZarPlyModulePostProcess(ext, ZAR_PLY_MODULE_AUDIO_FX); }

// ---- control codes ----

NTSTATUS ZarAudFxPlayCommand(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    if (KeGetCurrentIrql() >= DISPATCH_LEVEL) return STATUS_UNSUCCESSFUL;
    ZAR_PLAY_COMMAND command;
    std::memcpy(&command, buffer, sizeof(command));
    if (!(Module(ext).EnableMask & 1) && command.Command == ZAR_PLAY_STOP && Module(ext).Play.State == ZAR_PLY_STOPPED)
        return STATUS_SUCCESS;
    return ZarPlyPlayCommand(ext, ZAR_PLY_MODULE_AUDIO_FX, &command);
}

NTSTATUS ZarAudIoSetTrackMasks(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    auto* masks = static_cast<const ULONG*>(buffer);
    struct Call {
        PZAR_DEVICE_EXTENSION Ext;
        const ULONG* Masks;
    } call{ext, masks};
    ZarRunSynchronized(ext, [](PVOID context) -> BOOLEAN {
        auto* c = static_cast<Call*>(context);
        for (ULONG i = 0; i < 3; ++i) c->Ext->AudioFx.TrackMask[i] = c->Masks[i] & 0xFF;
        return TRUE;
    }, &call);
    return STATUS_SUCCESS;
}

NTSTATUS ZarAudIoLevelOverride(PZAR_DEVICE_EXTENSION ext, PVOID buffer) { return ZarAudOverride(ext, buffer, true); }
NTSTATUS ZarAudIoPanOverride(PZAR_DEVICE_EXTENSION ext, PVOID buffer) { return ZarAudOverride(ext, buffer, false); }

NTSTATUS ZarAudIoEqOverride(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    auto* io = static_cast<PULONG>(buffer);
    if (io[0] >= ZAR_AUDIO_TRACKS) return STATUS_INVALID_PARAMETER;
    struct Call {
        PZAR_DEVICE_EXTENSION Ext;
        PULONG Io;
    } call{ext, io};
    ZarRunSynchronized(ext, [](PVOID context) -> BOOLEAN {
        auto* c = static_cast<Call*>(context);
        c->Ext->AudioFx.EqValue[c->Io[0]] = c->Io[1];
        c->Io[2] = ZarAudCurrentField(c->Ext);
        return TRUE;
    }, &call);
    return STATUS_SUCCESS;
}
