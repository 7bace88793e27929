// Play-list engine core: node rings and their insertion, the due tests,
// positions and loops, the pipeline, enable masks, the follower modules'
// play/stop hand-shake, playlist reset and the channel status block.
//
// Rings are written in the caller's thread and read by the interrupt
// routine's hooks; everything else that the hooks read is changed
// synchronised with the board interrupt.

#include <cstring>

#include "zar_audio.h"
#include "zar_bridge.h"
#include "zar_dpc.h"
#include "zar_extension.h"
#include "zar_hps.h"
#include "zar_isr.h"
#include "zar_jpeg.h"
#include "zar_playlist.h"

namespace {

struct ZAR_PLY_CHANNEL {
    USHORT Channel;
    UCHAR EntrySize;
    UCHAR Module;              // ZAR_PLY_MODULE_...
};

// Every channel with a ring, in the order of ext->Playlist.Queue.
constexpr auto kChannels = [] {
    struct {
        ZAR_PLY_CHANNEL Entry[ZAR_PLY_RING_COUNT];
    } table{};
    ULONG n = 0;
    auto add = [&](ULONG channel, ULONG size, ULONG module) {
        table.Entry[n++] = {USHORT(channel), UCHAR(size), UCHAR(module)};
    };
    add(ZAR_FX_CHANNEL_VIDEO_RECORD, 32, ZAR_PLY_MODULE_VIDEO0);
    add(ZAR_FX_CHANNEL_VIDEO0, 16, ZAR_PLY_MODULE_VIDEO0);
    add(ZAR_FX_CHANNEL_VIDEO1, 16, ZAR_PLY_MODULE_VIDEO1);
    add(ZAR_FX_CHANNEL_PROC_AMP0, 18, ZAR_PLY_MODULE_PROC_AMP0);
    add(ZAR_FX_CHANNEL_PROC_AMP1, 18, ZAR_PLY_MODULE_PROC_AMP1);
    for (ULONG t = 0; t < ZAR_FX_AUDIO_TRACKS; ++t) add(ZAR_FX_CHANNEL_AUDIO_LEVEL + t, 9, ZAR_PLY_MODULE_AUDIO_FX);
    for (ULONG t = 0; t < ZAR_FX_AUDIO_TRACKS; ++t) add(ZAR_FX_CHANNEL_AUDIO_PAN + t, 9, ZAR_PLY_MODULE_AUDIO_FX);
    for (ULONG t = 0; t < ZAR_FX_AUDIO_TRACKS; ++t) add(ZAR_FX_CHANNEL_AUDIO_EQ + t, 93, ZAR_PLY_MODULE_AUDIO_FX);
    add(ZAR_FX_CHANNEL_GFX0, 24, ZAR_PLY_MODULE_GFX0);
    add(ZAR_FX_CHANNEL_GFX1, 24, ZAR_PLY_MODULE_GFX1);
    add(ZAR_FX_CHANNEL_DVE_KEY, 116, ZAR_PLY_MODULE_DVE);
    add(ZAR_FX_CHANNEL_DVE_PERSPECTIVE, 60, ZAR_PLY_MODULE_DVE);
    add(ZAR_FX_CHANNEL_DVE_WARP, 87, ZAR_PLY_MODULE_DVE);
    add(ZAR_FX_CHANNEL_DVE_TRAIL, 32, ZAR_PLY_MODULE_DVE);
    add(ZAR_FX_CHANNEL_WIPE, 17, ZAR_PLY_MODULE_MIXER);
    add(ZAR_FX_CHANNEL_MIXER0, 19, ZAR_PLY_MODULE_MIXER);
    add(ZAR_FX_CHANNEL_MIXER1, 19, ZAR_PLY_MODULE_MIXER);
    add(ZAR_FX_CHANNEL_MASTER_FADE, 9, ZAR_PLY_MODULE_MIXER);
    add(ZAR_FX_CHANNEL_PREVIEW_BUS, 16, ZAR_PLY_MODULE_BUS);
    add(ZAR_FX_CHANNEL_M2_ROUTE, 28, ZAR_PLY_MODULE_BUS);
    return n == ZAR_PLY_RING_COUNT ? table : throw "channel table size";
}();

const ZAR_PLY_CHANNEL* ZarPlyFindChannel(ULONG channel, ULONG* index)
{
    for (ULONG i = 0; i < ZAR_PLY_RING_COUNT; ++i) {
        if (kChannels.Entry[i].Channel == channel) {
            if (index != nullptr) *index = i;
            return &kChannels.Entry[i];
        }
    }
    return nullptr;
}

// Runs 'body' (a lambda) synchronised with the board interrupt.
template <typename Body>
void ZarPlySynchronize(PZAR_DEVICE_EXTENSION ext, Body& body)
{
    PKSYNCHRONIZE_ROUTINE thunk = [](PVOID context) -> BOOLEAN {
        (*static_cast<Body*>(context))();
        return TRUE;
    };
    ZarRunSynchronized(ext, thunk, &body);
}

// Pass difference modulo 256: positive when the channel's pass is past the node's.
LONG ZarPlyPassDistance(ULONG channelPass, UCHAR nodePass) { return static_cast<signed char>(UCHAR(channelPass - nodePass)); }

bool ZarPlyIsDveChannel(ULONG channel)
{
    return channel >= ZAR_FX_CHANNEL_DVE_KEY && channel <= ZAR_FX_CHANNEL_DVE_TRAIL;
}

}  // namespace

// ---- rings ----

ULONG ZarPlyNodeEntrySize(ULONG channel)
{
    const ZAR_PLY_CHANNEL* c = ZarPlyFindChannel(channel, nullptr);
    return c != nullptr ? c->EntrySize : 0;
}

PZAR_NODE_QUEUE ZarPlyNodeQueue(PZAR_DEVICE_EXTENSION ext, ULONG channel)
{
    ULONG index;
    return ZarPlyFindChannel(channel, &index) != nullptr ? &ext->Playlist.Queue[index] : nullptr;
}

ZAR_NODE_RECORD* ZarPlyQueueSlot(const ZAR_NODE_QUEUE* queue, ULONG count, ULONG entrySize)
{
    if (queue->Buffer == nullptr || queue->Capacity == 0) return nullptr;
    return reinterpret_cast<ZAR_NODE_RECORD*>(queue->Buffer + (count % queue->Capacity) * entrySize);
}

ULONG ZarPlyQueuedCount(const ZAR_NODE_QUEUE* queue) { return queue->WriteCount - queue->ReadIndex; }

NTSTATUS ZarPlyBufferAlloc(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_PLAYLIST_STATE& pl = ext->Playlist;
    for (ULONG m = 0; m < ZAR_PLY_MODULE_COUNT; ++m) {
        KeInitializeEvent(&pl.StateChangeEvent[m], NotificationEvent, FALSE);
        if (ZarPlyModuleState(ext, m) != nullptr)
            ext->FieldSignal[ZAR_PLY_FIELD_SIGNAL_FIRST + m].Event = &pl.StateChangeEvent[m];
    }
    // Set first, so a partial allocation is freed at release.
    ext->PlaylistBuffersAllocated = TRUE;
    for (ULONG i = 0; i < ZAR_PLY_RING_COUNT; ++i) {
        ZAR_NODE_QUEUE& q = pl.Queue[i];
        q.Buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(
            NonPagedPool, SIZE_T(kChannels.Entry[i].EntrySize) * ZAR_NODE_RING_ENTRIES, ZAR_TAG_HARDWARE_INFO));
        if (q.Buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        q.Capacity = ZAR_NODE_RING_ENTRIES;
    }
    return STATUS_SUCCESS;
}

void ZarPlyBufferDeAlloc(PZAR_DEVICE_EXTENSION ext)
{
    for (ZAR_NODE_QUEUE& q : ext->Playlist.Queue) {
        if (q.Buffer != nullptr) ExFreePoolWithTag(q.Buffer, ZAR_TAG_HARDWARE_INFO);
        q.Buffer = nullptr;
        q.Capacity = 0;
    }
    for (ULONG m = 0; m < ZAR_PLY_MODULE_COUNT; ++m)
        if (ZarPlyModuleState(ext, m) != nullptr) ext->FieldSignal[ZAR_PLY_FIELD_SIGNAL_FIRST + m].Event = nullptr;
    ext->PlaylistBuffersAllocated = FALSE;
}

namespace {

// Checks an insertion of 'count' nodes into 'channel' and returns its queue,
// or nullptr when the insertion is refused. The ring's free slots are
// counted from the read index: a node still queued is never overwritten.
PZAR_NODE_QUEUE ZarPlyInsertionQueue(PZAR_DEVICE_EXTENSION ext, ULONG channel, ULONG count, ULONG* entrySize)
{
    if (channel == ZAR_FX_CHANNEL_VIDEO_RECORD || count > ZAR_NODE_RING_ENTRIES) return nullptr;
    PZAR_NODE_QUEUE queue = ZarPlyNodeQueue(ext, channel);
    if (queue == nullptr || queue->Buffer == nullptr) return nullptr;
    ULONG limit = ZarPlyIsDveChannel(channel) ? ZAR_PLY_DVE_QUEUE_LIMIT : ZAR_PLY_QUEUE_LIMIT;
    ULONG queued = ZarPlyQueuedCount(queue);
    if (queued > limit || count > limit - queued) return nullptr;
    *entrySize = ZarPlyNodeEntrySize(channel);
    return queue;
}

// Publishes 'count' nodes already written behind the write count.
void ZarPlyPublishNodes(PZAR_NODE_QUEUE queue, ULONG count)
{
    InterlockedExchangeAdd(reinterpret_cast<volatile LONG*>(&queue->WriteCount), LONG(count));
}

}  // namespace

NTSTATUS ZarPlyInsertNodes(PZAR_DEVICE_EXTENSION ext, ULONG channel, const void* records, ULONG count)
{
    ULONG entrySize;
    PZAR_NODE_QUEUE queue = ZarPlyInsertionQueue(ext, channel, count, &entrySize);
    if (queue == nullptr) return STATUS_UNSUCCESSFUL;
    for (ULONG i = 0; i < count; ++i)
        std::memcpy(ZarPlyQueueSlot(queue, queue->WriteCount + i, entrySize),
                    static_cast<const UCHAR*>(records) + i * entrySize, entrySize);
    ZarPlyPublishNodes(queue, count);
    return STATUS_SUCCESS;
}

namespace {

// Copies from the caller's memory so that a bad address faults into
// SehTry (a checked copy would refuse it before the access).
__attribute__((no_sanitize("address", "undefined"))) void ZarPlyMoveBytes(void* to, const void* from, ULONG length)
{
    auto* d = static_cast<volatile UCHAR*>(to);
    auto* s = static_cast<const volatile UCHAR*>(from);
    for (ULONG i = 0; i < length; ++i) d[i] = s[i];
}

PVOID ZarPlyUserAddress(ULONG address) { return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(address)); }

}  // namespace

// The submit block is the request's output buffer as the library sends it,
// or its input buffer when no output buffer is given.
NTSTATUS ZarPlyNodeInsert(PZAR_DEVICE_EXTENSION ext, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    KPROCESSOR_MODE mode = irp->RequestorMode;
    const void* block = nullptr;
    if (stack->Parameters.DeviceIoControl.OutputBufferLength >= sizeof(ZAR_NODE_SUBMIT))
        block = irp->UserBuffer;
    else if (stack->Parameters.DeviceIoControl.InputBufferLength >= sizeof(ZAR_NODE_SUBMIT))
        block = stack->Parameters.DeviceIoControl.Type3InputBuffer;
    if (block == nullptr) return STATUS_UNSUCCESSFUL;

    ZAR_NODE_SUBMIT submit;
    NTSTATUS status = SehTry([&] {
        if (mode == UserMode) ProbeForRead(block, sizeof(submit), sizeof(UCHAR));
        ZarPlyMoveBytes(&submit, block, sizeof(submit));
    });
    if (!NT_SUCCESS(status)) return status;
    ULONG entrySize;
    PZAR_NODE_QUEUE queue = ZarPlyInsertionQueue(ext, submit.Channel, submit.Count, &entrySize);
    if (queue == nullptr) return STATUS_UNSUCCESSFUL;
    // The records go into the free slots behind the write count; only a
    // complete copy is published, so a fault inserts nothing.
    const UCHAR* records = static_cast<const UCHAR*>(ZarPlyUserAddress(submit.Records));
    ULONG first = queue->WriteCount;
    status = SehTry([&] {
        if (mode == UserMode) ProbeForRead(records, submit.Count * entrySize, sizeof(UCHAR));
        for (ULONG i = 0; i < submit.Count; ++i)
            ZarPlyMoveBytes(ZarPlyQueueSlot(queue, first + i, entrySize), records + i * entrySize, entrySize);
    });
    if (!NT_SUCCESS(status)) return status;
    ZarPlyPublishNodes(queue, submit.Count);
    return STATUS_SUCCESS;
}

// The library posts one 16-byte field entry at a time for play group 20:
// index 0 feeds video channel 0's ring (20), index 1 video channel 1's (30).
// The entry is taken as the ring's node record.
NTSTATUS ZarPlyPostNodeCommand(PZAR_DEVICE_EXTENSION ext, const ZAR_NODE_COMMAND* command, const ULONG* fieldEntry)
{
    if (command->Group != ZAR_FX_CHANNEL_VIDEO0 || command->Index > 1) return STATUS_UNSUCCESSFUL;
    ULONG channel = command->Index == 0 ? ZAR_FX_CHANNEL_VIDEO0 : ZAR_FX_CHANNEL_VIDEO1;
    return ZarPlyInsertNodes(ext, channel, fieldEntry, 1);
}

void ZarPlyNodeQueueInitialize(PZAR_NODE_QUEUE queue)
{
    queue->WriteCount = 0;
    queue->ReadIndex = 0;
    queue->LastIndex = 0;
    queue->PreviousLastIndex = 0;
    std::memset(queue->Spare, 0, sizeof(queue->Spare));
    std::memset(queue->Pipeline, 0, sizeof(queue->Pipeline));
    std::memset(queue->Spare2, 0, sizeof(queue->Spare2));
}

void ZarPlyNodePipelineAdd(PZAR_NODE_QUEUE queue, PVOID node) { queue->Pipeline[0] = node; }

void ZarPlyNodePipelineShift(PZAR_NODE_QUEUE queue)
{
    for (ULONG k = ZAR_PLY_PIPELINE_STAGES - 1; k > 0; --k) queue->Pipeline[k] = queue->Pipeline[k - 1];
    queue->Pipeline[0] = nullptr;
}

// ---- due tests and positions ----

ULONG ZarPlIsNodePlaytime(PZAR_DEVICE_EXTENSION ext, PZAR_PLAY_STATE state, ZAR_NODE_RECORD* node, ULONG gateBypass)
{
    ZAR_PLAYLIST_STATE& pl = ext->Playlist;
    const ULONGLONG p = state->Position;
    const ZAR_NODE_RECORD n = ZarPlyReadNode(node);
    const ULONGLONG f = n.Field;
    if (state->SelfTimed != 0 && gateBypass == 0 && state->Position == pl.GateMarker + 2)
        pl.GateFlags |= ZAR_PLY_GATE_MARK;
    // A capture ring paced with the play: it starts filling once the play
    // reaches its start position + 2, and while it is full the play's next
    // node waits, so no frame goes by uncaptured.
    ULONG& ring = ext->Hps.RingFlags;
    if ((ring & (ZAR_HPS_RING_RUNNING | ZAR_HPS_RING_GO)) == ZAR_HPS_RING_RUNNING && p == ext->Hps.StartPosition + 2)
        ring |= ZAR_HPS_RING_GO;
    const bool ringHeld = gateBypass == 0 && (ring & ZAR_HPS_RING_PLAY_HELD) != 0;

    bool held = false;
    bool due = false;
    if ((n.Flags & ZAR_NODE_DONE) == 0) {
        LONG passes = ZarPlyPassDistance(state->Pass, n.Pass);
        if (n.TimingKind == 0) {
            if (ringHeld || (gateBypass == 0 && (pl.GateFlags & ZAR_PLY_GATE_HOLD_NOW) != 0))
                held = true;
            else
                due = passes > 0 || (passes == 0 && p >= f);
        } else {
            // Due two fields after its field, the reference running on over
            // the end of the pass into the next one.
            if (ringHeld || (gateBypass == 0 && (pl.GateFlags & ZAR_PLY_GATE_HOLD_LATE) != 0))
                held = true;
            else if (passes > 1)
                due = true;
            else if (passes == 0 || passes == 1)
                due = (passes == 0 ? p : p + state->EndPosition) >= f + 2;
        }
    }
    state->Held = held ? 1 : 0;
    if (due) ZarPlySetNodeFlags(node, n.Flags | ZAR_NODE_DONE);
    return due ? 1 : 0;
}

ULONG ZarPlIsNodeNearPlaytime(PZAR_PLAY_STATE state, ZAR_NODE_RECORD* node)
{
    const ZAR_NODE_RECORD n = ZarPlyReadNode(node);
    if ((n.Flags & ZAR_NODE_DONE) != 0 || n.TimingKind != 0) return 0;
    LONG passes = ZarPlyPassDistance(state->Pass, n.Pass);
    const ULONGLONG p = state->Position;
    bool near = (passes == 0 && p + 1 >= n.Field) || passes > 0 ||
                (passes == -1 && state->Position == state->EndPosition - 1 && n.Field == 0);
    if (!near) return 0;
    ZarPlySetNodeFlags(node, n.Flags | ZAR_NODE_DONE);
    return 1;
}

void ZarPlyUpdatePlayPosition(PZAR_PLAY_STATE state)
{
    state->Reported[3] = state->Reported[2];
    state->Reported[2] = state->Reported[1];
    state->Reported[1] = state->Reported[0];
    ULONG back = state->LoopFlag != 0 ? 1 : 3;
    ULONG limit = state->EndPosition >= back ? state->EndPosition - back : 0;
    state->Reported[0] = state->Position < limit ? state->Position : limit;
}

ULONG ZarPlLoopWrapCheck(PZAR_PLAY_STATE state)
{
    if (state->LoopFlag == 0) return 0;
    state->Position = state->LoopStart + (state->Position & 1);
    state->Pass = (state->Pass + 1) & 0xFF;
    return 1;
}

PZAR_PLAY_STATE ZarPlyVideoPlayState(PZAR_DEVICE_EXTENSION ext, ULONG channel)
{
    static_assert(offsetof(ZAR_VIDEO_CHANNEL_STATE, StateWord) == offsetof(ZAR_PLAY_STATE, State));
    static_assert(offsetof(ZAR_VIDEO_CHANNEL_STATE, Grace) == offsetof(ZAR_PLAY_STATE, Grace));
    return reinterpret_cast<PZAR_PLAY_STATE>(&ext->Jpeg.Channel[channel >= 1 ? 1 : 0].State);
}

void ZarPlyUpdateSlaveState(PZAR_DEVICE_EXTENSION ext, PZAR_PLAY_STATE state)
{
    PZAR_PLAY_STATE master = ZarPlyVideoPlayState(ext, state->Master);
    state->Pass = master->Pass;
    if (master->State == ZAR_PLY_PLAYING) {
        state->State = ZAR_PLY_PLAYING;
        state->Grace = ZAR_PLY_GRACE_FIELDS;
        if (master->Held != 0 && state->Held == 0)
            ++state->Position;
        else
            state->Position = master->Position;
    } else if (state->Grace != 0) {
        --state->Grace;
    } else {
        state->State = ZAR_PLY_STOPPED;
    }
    std::memcpy(state->Reported, master->Reported, sizeof(state->Reported));
}

void ZarPlyUpdateSlaveFrameCounter(PZAR_DEVICE_EXTENSION ext, PZAR_PLAY_STATE state)
{
    if (ZarPlyVideoPlayState(ext, state->Master)->State != ZAR_PLY_PLAYING) ++state->Position;
}

void ZarPlyIncNodeHeadEx(PZAR_DEVICE_EXTENSION ext, PZAR_PLAY_STATE state, PZAR_NODE_QUEUE queue, ULONG entrySize)
{
    ULONG r = queue->ReadIndex;
    ULONG last = r;
    ULONG next = r + 1;
    if (state->SelfTimed == 0) {
        ULONG pullDown = ext->Jpeg.Channel[state->Master >= 1 ? 1 : 0].State.PullDown;
        // In field-pair mode the second field of a pair is passed with the
        // first when the sequence goes on behind it.
        if (pullDown != 0 && queue->WriteCount - next > 1) {
            const ZAR_NODE_RECORD taken = ZarPlyReadNode(ZarPlyQueueSlot(queue, r, entrySize));
            const ZAR_NODE_RECORD partner = ZarPlyReadNode(ZarPlyQueueSlot(queue, r + 1, entrySize));
            const ZAR_NODE_RECORD after = ZarPlyReadNode(ZarPlyQueueSlot(queue, r + 2, entrySize));
            bool samePair = (taken.Field ^ partner.Field) <= 1;
            bool continues = after.Field == partner.Field + 1 ||
                             (partner.Field == state->EndPosition - 1 && after.Field == state->LoopStart);
            if ((partner.Flags & ZAR_NODE_HOLD) == 0 && samePair && continues) {
                last = r + 1;
                next = r + 2;
            }
        }
    }
    queue->LastIndex = last;
    queue->ReadIndex = next;
}

NTSTATUS ZarPlyIsValidInOutPoint(LONG in, LONG out)
{
    return (in < 0 || out < 0 || out < in) ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}

// ---- follower modules ----

PULONG ZarPlyEnableMask(PZAR_DEVICE_EXTENSION ext, ULONG module)
{
    ZAR_PLAYLIST_STATE& pl = ext->Playlist;
    switch (module) {
    case ZAR_PLY_MODULE_VIDEO0:
    case ZAR_PLY_MODULE_VIDEO1: return &pl.VideoEnableMask[module - ZAR_PLY_MODULE_VIDEO0];
    case ZAR_PLY_MODULE_AUDIO_PLAY: return &pl.AudioPlayEnableMask;
    case ZAR_PLY_MODULE_DVE: return &pl.Dve.EnableMask;
    default: break;
    }
    PZAR_PLY_MODULE_STATE state = ZarPlyModuleState(ext, module);
    return state != nullptr ? &state->EnableMask : nullptr;
}

PZAR_PLY_MODULE_STATE ZarPlyModuleState(PZAR_DEVICE_EXTENSION ext, ULONG module)
{
    ZAR_PLAYLIST_STATE& pl = ext->Playlist;
    switch (module) {
    case ZAR_PLY_MODULE_GFX0:
    case ZAR_PLY_MODULE_GFX1: return &pl.Gfx[module - ZAR_PLY_MODULE_GFX0];
    case ZAR_PLY_MODULE_MIXER: return &pl.Mixer;
    case ZAR_PLY_MODULE_DVE: return reinterpret_cast<PZAR_PLY_MODULE_STATE>(&pl.Dve);
    case ZAR_PLY_MODULE_BUS: return &pl.Bus;
    case ZAR_PLY_MODULE_PROC_AMP0:
    case ZAR_PLY_MODULE_PROC_AMP1: return &pl.ProcAmp[module - ZAR_PLY_MODULE_PROC_AMP0];
    case ZAR_PLY_MODULE_AUDIO_FX: return &pl.AudioFx;
    default: return nullptr;
    }
}
static_assert(offsetof(ZAR_PLY_DVE_STATE, StateChangeDone) == offsetof(ZAR_PLY_MODULE_STATE, StateChangeDone));

ULONG ZarPlyChannelModule(ULONG channel)
{
    const ZAR_PLY_CHANNEL* c = ZarPlyFindChannel(channel, nullptr);
    return c != nullptr ? c->Module : ZAR_PLY_MODULE_COUNT;
}

NTSTATUS ZarPlySetEnableMask(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    const auto* request = static_cast<const ZAR_ENABLE_MASK_REQUEST*>(buffer);
    PULONG mask = ZarPlyEnableMask(ext, request->Module);
    if (mask == nullptr) return STATUS_UNSUCCESSFUL;
    ULONG operation = request->Operation;
    ULONG bits = request->Mask;
    auto apply = [&] {
        switch (operation) {
        case ZAR_ENABLE_MASK_SET: *mask = bits; break;
        case ZAR_ENABLE_MASK_OR: *mask |= bits; break;
        case ZAR_ENABLE_MASK_CLEAR: *mask &= ~bits; break;
        default: break;
        }
    };
    ZarPlySynchronize(ext, apply);
    return STATUS_SUCCESS;
}

BOOLEAN ZarPlyCriticalRequestStateChange(PZAR_PLY_MODULE_STATE state, const ZAR_PLAY_COMMAND* command)
{
    ZAR_PLAY_STATE& play = state->Play;
    state->StateChangeDone = 0;
    switch (command->Command) {
    case ZAR_PLAY_STOP:
        state->RequestedState = ZAR_PLY_STOPPED;
        state->RequestPending = 1;
        return TRUE;
    case ZAR_PLAY_START:
        play.StartPosition = command->Start;
        play.LoopStart = command->LoopStart;
        play.EndPosition = command->End;
        play.LoopFlag = command->LoopFlag;
        play.SelfTimed = command->SelfTimed;
        play.Master = command->Master;
        play.Pass = 0;
        play.Position = command->Start;
        state->RequestedState = ZAR_PLY_PLAYING;
        state->RequestPending = 1;
        return TRUE;
    default:
        // Stops at once; an earlier request still pending would undo it.
        play.State = ZAR_PLY_STOPPED;
        state->RequestPending = 0;
        return FALSE;
    }
}

NTSTATUS ZarPlyPlayCommand(PZAR_DEVICE_EXTENSION ext, ULONG module, const ZAR_PLAY_COMMAND* command)
{
    if (KeGetCurrentIrql() >= DISPATCH_LEVEL) return STATUS_UNSUCCESSFUL;
    PZAR_PLY_MODULE_STATE state = ZarPlyModuleState(ext, module);
    if (state == nullptr) return STATUS_UNSUCCESSFUL;
    if ((ext->InterruptEnable & ZAR_INT_FIELD) == 0) ZarSetIntMode(ext, ZAR_INT_FIELD, TRUE);
    PKEVENT changed = &ext->Playlist.StateChangeEvent[module];
    // A signal armed for an earlier request, its DPC not yet run, would
    // release this one before its change: the earlier request is withdrawn
    // and its signal dropped under the interrupt's lock, a DPC that already
    // took it ends, and only then does the event go clear.
    auto withdraw = [&] {
        state->RequestPending = 0;
        InterlockedExchange(&ext->FieldSignal[ZAR_PLY_FIELD_SIGNAL_FIRST + module].Armed, 0);
    };
    ZarPlySynchronize(ext, withdraw);
    KeFlushQueuedDpcs();
    KeResetEvent(changed);
    BOOLEAN pending = FALSE;
    auto request = [&] { pending = ZarPlyCriticalRequestStateChange(state, command); };
    ZarPlySynchronize(ext, request);
    // A command that stopped the channel at once has nothing to wait for.
    if (command->Wait == 0 || !pending) return STATUS_SUCCESS;
    LARGE_INTEGER limit;
    limit.QuadPart = ZAR_PLY_STATE_CHANGE_WAIT;
    NTSTATUS status = KeWaitForSingleObject(changed, Executive, KernelMode, FALSE, &limit);
    return status == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT : STATUS_SUCCESS;
}

void ZarPlyVbiStateChange(PZAR_DEVICE_EXTENSION ext, ULONG module)
{
    PZAR_PLY_MODULE_STATE state = ZarPlyModuleState(ext, module);
    if (state == nullptr || state->RequestPending == 0 || ext->FieldParity != 1) return;
    state->Play.State = state->RequestedState;
    if (module == ZAR_PLY_MODULE_DVE && state->RequestedState == ZAR_PLY_STOPPED) ext->Playlist.Dve.Stopped = 1;
    state->RequestPending = 0;
    state->StateChangeDone = 1;
    ZarArmFieldSignal(ext, ZAR_PLY_FIELD_SIGNAL_FIRST + module);
}

void ZarPlyModulePreProcess(PZAR_DEVICE_EXTENSION ext, ULONG module)
{
    PZAR_PLY_MODULE_STATE state = ZarPlyModuleState(ext, module);
    if (state == nullptr) return;
    if (module == ZAR_PLY_MODULE_DVE) {
        ZAR_PLY_DVE_STATE& dve = ext->Playlist.Dve;
        dve.StateBefore = dve.PreviousState;
        dve.PreviousState = dve.Play.State;
    }
    if (state->RequestPending != 0) ZarPlyVbiStateChange(ext, module);
    if (state->Play.SelfTimed == 0) ZarPlyUpdateSlaveState(ext, &state->Play);
}

void ZarPlyModulePostProcess(PZAR_DEVICE_EXTENSION ext, ULONG module)
{
    PZAR_PLY_MODULE_STATE state = ZarPlyModuleState(ext, module);
    if (state == nullptr) return;
    ZAR_PLAY_STATE& play = state->Play;
    ZarPlyUpdatePlayPosition(&play);
    if (play.State != ZAR_PLY_PLAYING) return;
    if (play.SelfTimed == 0) {
        ZarPlyUpdateSlaveFrameCounter(ext, &play);
        return;
    }
    if (play.Held == 0) play.Position = ((play.Position + 1) & ~1UL) | (ext->FieldParity & 1);
    if (play.Position >= play.EndPosition && !ZarPlLoopWrapCheck(&play)) play.State = ZAR_PLY_STOPPED;
}

// ---- reset, status, notifications ----

void ZarPlyModulePlaylistInit(PZAR_DEVICE_EXTENSION ext, ULONG channel)
{
    PULONG mask = ZarPlyEnableMask(ext, ZarPlyChannelModule(channel));
    if (mask != nullptr) *mask = 0;
    PZAR_NODE_QUEUE queue = ZarPlyNodeQueue(ext, channel);
    if (queue != nullptr) ZarPlyNodeQueueInitialize(queue);
}

void ZarPlyCriticalResetPlaylist(PZAR_DEVICE_EXTENSION ext, ULONG channel)
{
    switch (channel) {
    case ZAR_FX_CHANNEL_VIDEO_RECORD:
    case ZAR_FX_CHANNEL_VIDEO0:
    case ZAR_FX_CHANNEL_VIDEO1: ZarJpegPlaylistInit(ext, channel); break;
    default:
        if (ZarPlyNodeQueue(ext, channel) != nullptr) ZarPlyModulePlaylistInit(ext, channel);
        break;
    }
}

NTSTATUS ZarPlyResetPlaylist(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ULONG channel = static_cast<const ZAR_CHANNEL_STATUS*>(buffer)->Channel;
    auto reset = [&] { ZarPlyCriticalResetPlaylist(ext, channel); };
    ZarPlySynchronize(ext, reset);
    return STATUS_SUCCESS;
}

void ZarPlyCriticalQueryChannelStatus(PZAR_DEVICE_EXTENSION ext, ZAR_CHANNEL_STATUS* status)
{
    ULONG channel = status->Channel;
    ZAR_PLAYLIST_STATE& pl = ext->Playlist;
    auto put = [](UCHAR* to, const void* from, size_t length) { std::memcpy(to, from, length); };
    switch (channel) {
    case 0:
    case ZAR_FX_CHANNEL_VIDEO_RECORD:
    case ZAR_FX_CHANNEL_VIDEO0: put(status->VideoState, &ext->Jpeg.Channel[0].State, sizeof(ZAR_VIDEO_CHANNEL_STATE)); break;
    case 1:
    case ZAR_FX_CHANNEL_VIDEO1: put(status->VideoState, &ext->Jpeg.Channel[1].State, sizeof(ZAR_VIDEO_CHANNEL_STATE)); break;
    default:
        switch (ZarPlyChannelModule(channel)) {
        case ZAR_PLY_MODULE_PROC_AMP0:
        case ZAR_PLY_MODULE_PROC_AMP1:
            put(status->ProcAmpState, ZarPlyModuleState(ext, ZarPlyChannelModule(channel)), sizeof(ZAR_PLY_MODULE_STATE));
            break;
        case ZAR_PLY_MODULE_AUDIO_FX: put(status->AudioFxState, &pl.AudioFx, sizeof(pl.AudioFx)); break;
        case ZAR_PLY_MODULE_GFX0:
        case ZAR_PLY_MODULE_GFX1:
            put(status->GraphicsState, ZarPlyModuleState(ext, ZarPlyChannelModule(channel)), sizeof(ZAR_PLY_MODULE_STATE));
            break;
        case ZAR_PLY_MODULE_DVE: put(status->DveState, &pl.Dve, sizeof(pl.Dve)); break;
        case ZAR_PLY_MODULE_MIXER: put(status->MixerState, &pl.Mixer, sizeof(pl.Mixer)); break;
        case ZAR_PLY_MODULE_BUS: put(status->BusState, &pl.Bus, sizeof(pl.Bus)); break;
        default: break;
        }
        break;
    }
    static_assert(sizeof(status->Queue) == sizeof(ZAR_NODE_QUEUE));
    if (PZAR_NODE_QUEUE queue = ZarPlyNodeQueue(ext, channel)) std::memcpy(status->Queue, queue, sizeof(*queue));
}

// Notifications are accepted and need nothing kept.
NTSTATUS ZarPlyRegisterNotification(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_SUCCESS; }
void ZarPlyFreeNotificationDatabase(PZAR_DEVICE_EXTENSION) {}
