// Play-list engine core: the channels' node rings, node insertion, the due
// tests, play positions and loops, the two-field pipeline, the module enable
// masks, the play/stop hand-shake of the follower modules, playlist reset and
// the channel status block.
//
// The module's per-board state (ZAR_PLAYLIST_STATE) lives in the device
// extension as ext->Playlist. Node rings are written by insertion in the
// caller's thread and read only by the interrupt routine's hooks: the writer
// fills a slot before it moves the write count, the reader never looks at a
// slot at or beyond it.
#pragma once

#include <cstddef>
#include <cstring>

#include "platform/nt/kernel.h"
#include "include/zarkd.h"

struct ZAR_DEVICE_EXTENSION;
using PZAR_DEVICE_EXTENSION = ZAR_DEVICE_EXTENSION*;

// ---- channels and their rings ----

// Play-list channel numbers.
inline constexpr ULONG ZAR_FX_CHANNEL_VIDEO_RECORD = 10;  // record descriptor ring (filled by the JPEG module)
inline constexpr ULONG ZAR_FX_CHANNEL_VIDEO0 = 20;
inline constexpr ULONG ZAR_FX_CHANNEL_VIDEO1 = 30;
inline constexpr ULONG ZAR_FX_CHANNEL_PROC_AMP0 = 21;
inline constexpr ULONG ZAR_FX_CHANNEL_PROC_AMP1 = 31;
inline constexpr ULONG ZAR_FX_CHANNEL_AUDIO_DMA0 = 100;   // no ring
inline constexpr ULONG ZAR_FX_CHANNEL_AUDIO_DMA1 = 110;   // no ring
inline constexpr ULONG ZAR_FX_CHANNEL_AUDIO_LEVEL = 120;  // 120-127, one a track
inline constexpr ULONG ZAR_FX_CHANNEL_AUDIO_PAN = 130;    // 130-137
inline constexpr ULONG ZAR_FX_CHANNEL_AUDIO_EQ = 140;     // 140-147
inline constexpr ULONG ZAR_FX_AUDIO_TRACKS = 8;
inline constexpr ULONG ZAR_FX_CHANNEL_GFX0 = 200;
inline constexpr ULONG ZAR_FX_CHANNEL_GFX1 = 201;
inline constexpr ULONG ZAR_FX_CHANNEL_DVE_KEY = 301;      // key, border, pixel effect, freeze
inline constexpr ULONG ZAR_FX_CHANNEL_DVE_PERSPECTIVE = 302;  // perspective and 2D filter
inline constexpr ULONG ZAR_FX_CHANNEL_DVE_WARP = 303;     // warp and cropping
inline constexpr ULONG ZAR_FX_CHANNEL_DVE_TRAIL = 304;    // trail/shadow
inline constexpr ULONG ZAR_FX_CHANNEL_WIPE = 401;
inline constexpr ULONG ZAR_FX_CHANNEL_MIXER0 = 402;       // the mixer's DVE key
inline constexpr ULONG ZAR_FX_CHANNEL_MIXER1 = 403;       // downstream key
inline constexpr ULONG ZAR_FX_CHANNEL_MASTER_FADE = 404;
inline constexpr ULONG ZAR_FX_CHANNEL_PREVIEW_BUS = 500;
inline constexpr ULONG ZAR_FX_CHANNEL_M2_ROUTE = 501;

inline constexpr ULONG ZAR_PLY_RING_COUNT = 41;
// Nodes a caller may have queued on a channel: the ring's slots, less two on
// the DVE channels, whose pipeline still points at slots already passed.
inline constexpr ULONG ZAR_PLY_QUEUE_LIMIT = ZAR_NODE_RING_ENTRIES;
inline constexpr ULONG ZAR_PLY_DVE_QUEUE_LIMIT = ZAR_NODE_RING_ENTRIES - 2;
inline constexpr ULONG ZAR_PLY_PIPELINE_STAGES = 8;

// A channel's node queue (21 words; copied whole into ZAR_CHANNEL_STATUS).
// Counts run free; the slot of count c is c mod Capacity. Queued nodes are
// those whose counts lie from ReadIndex up to (not including) WriteCount.
struct ZAR_NODE_QUEUE {
    ULONG WriteCount;          // nodes ever inserted
    ULONG ReadIndex;           // next node to consider
    ULONG LastIndex;           // last node taken
    ULONG PreviousLastIndex;   // LastIndex as it stood in the previous field
    ULONG Capacity;            // ZAR_NODE_RING_ENTRIES
    ULONG Spare[4];
    PUCHAR Buffer;             // Capacity entries of the channel's entry size
    PVOID Pipeline[ZAR_PLY_PIPELINE_STAGES];  // node pointers, stage 0 first
    ULONG Kept;                // not touched by initialisation
    ULONG Spare2[2];
};
static_assert(sizeof(ZAR_NODE_QUEUE) == 84);
using PZAR_NODE_QUEUE = ZAR_NODE_QUEUE*;

// ---- play state ----

// The play state block: the first 16 words of every module's channel state
// (the video channels' 296-byte state begins with it too).
struct ZAR_PLAY_STATE {
    ULONG Position;            // field counter; low bit follows the field parity
    ULONG StartPosition;
    ULONG LoopStart;
    ULONG EndPosition;         // play ends or wraps here
    ULONG Word4;               // not used by the engine
    ULONG Reported[4];         // reported play position of this field, then the three before, newest first
    ULONG Pass;                // 0-255
    ULONG LoopFlag;
    ULONG State;               // ZAR_PLY_STOPPED, ZAR_PLY_PLAYING
    ULONG SelfTimed;           // non-zero: counts its own fields; 0: follows a video channel
    ULONG Master;              // following channel: video channel 0, or 1 for any value >= 1
    ULONG Held;                // the node gate holds a node back: the position stays
    ULONG Grace;               // fields a following channel plays on after its master stopped
};
static_assert(sizeof(ZAR_PLAY_STATE) == 64);
using PZAR_PLAY_STATE = ZAR_PLAY_STATE*;
inline constexpr ULONG ZAR_PLY_STOPPED = 0;
inline constexpr ULONG ZAR_PLY_PLAYING = 32;
inline constexpr ULONG ZAR_PLY_GRACE_FIELDS = 2;

// A follower module's state (80 bytes, as ZAR_CHANNEL_STATUS carries it).
struct ZAR_PLY_MODULE_STATE {
    ZAR_PLAY_STATE Play;
    ULONG RequestedState;
    ULONG RequestPending;
    ULONG StateChangeDone;     // set when a request took effect; the VBI DPC signals the event
    ULONG EnableMask;          // bit per channel of the module
};
static_assert(sizeof(ZAR_PLY_MODULE_STATE) == 80);
using PZAR_PLY_MODULE_STATE = ZAR_PLY_MODULE_STATE*;

// The DVE's state (92 bytes): the same head with a stopped flag before the
// mask and the state word of the two previous fields after it.
struct ZAR_PLY_DVE_STATE {
    ZAR_PLAY_STATE Play;
    ULONG RequestedState;
    ULONG RequestPending;
    ULONG StateChangeDone;
    ULONG Stopped;             // set when a stop request took effect
    ULONG EnableMask;          // bit 0 channel 301 ... bit 3 channel 304
    ULONG PreviousState;
    ULONG StateBefore;
};
static_assert(sizeof(ZAR_PLY_DVE_STATE) == 92);

// Node gate (set by the interrupt frame, vari-play and scrub paths; the due
// test only reads it, but for bit 0).
inline constexpr ULONG ZAR_PLY_GATE_MARK = 0x1;       // a self-timed channel reached marker + 2
inline constexpr ULONG ZAR_PLY_GATE_HOLD_NOW = 0x2;   // hold back nodes of timing kind 0
inline constexpr ULONG ZAR_PLY_GATE_HOLD_LATE = 0x4;  // hold back nodes of non-zero timing kind

// The follower modules' state-change events are field signals (zar_dpc.cpp)
// from this slot on, one per module selector (ZAR_PLY_MODULE_...); lower
// slots belong to other modules.
inline constexpr ULONG ZAR_PLY_FIELD_SIGNAL_FIRST = 4;
inline constexpr LONGLONG ZAR_PLY_STATE_CHANGE_WAIT = -5000000LL;  // 500 ms, 100 ns units

struct ZAR_PLAYLIST_STATE {
    ZAR_NODE_QUEUE Queue[ZAR_PLY_RING_COUNT];  // in the order of the channel table (zar_playlist.cpp)
    ZAR_PLY_MODULE_STATE ProcAmp[2];
    ZAR_PLY_MODULE_STATE Gfx[2];
    ZAR_PLY_MODULE_STATE Mixer;                // channels 401-404, bits 0-3
    ZAR_PLY_MODULE_STATE Bus;                  // 500, 501: bits 0, 1
    ZAR_PLY_MODULE_STATE AudioFx;              // bit 0
    ZAR_PLY_DVE_STATE Dve;
    ULONG VideoEnableMask[2];                  // selectors 0, 1
    ULONG AudioPlayEnableMask;                 // selector 6
    ULONG GateFlags;                           // ZAR_PLY_GATE_...
    ULONG GateMarker;                          // position the gate's mark compares against
    KEVENT StateChangeEvent[ZAR_PLY_MODULE_COUNT];  // follower modules' events (by selector)
};

// ---- rings (zar_playlist.cpp) ----

// Entry bytes of a channel's ring; 0 for a channel without one.
ULONG ZarPlyNodeEntrySize(ULONG channel);
// The channel's node queue, or nullptr for a channel without a ring.
PZAR_NODE_QUEUE ZarPlyNodeQueue(PZAR_DEVICE_EXTENSION ext, ULONG channel);
// The slot that holds count 'count' of the queue.
ZAR_NODE_RECORD* ZarPlyQueueSlot(const ZAR_NODE_QUEUE* queue, ULONG count, ULONG entrySize);
// A ring slot lies at a multiple of its channel's entry size (9, 17, 19,
// 87, 93 bytes ...), so a node's head is seldom 4-byte aligned: it is read
// whole into an aligned copy, and its flags byte written back by itself.
inline ZAR_NODE_RECORD ZarPlyReadNode(const void* slot)
{
    ZAR_NODE_RECORD node;
    std::memcpy(&node, slot, sizeof(node));
    return node;
}
inline void ZarPlySetNodeFlags(void* slot, UCHAR flags)
{
    std::memcpy(static_cast<UCHAR*>(slot) + offsetof(ZAR_NODE_RECORD, Flags), &flags, sizeof(flags));
}
inline bool ZarPlyNodeHolds(const void* slot) { return (ZarPlyReadNode(slot).Flags & ZAR_NODE_HOLD) != 0; }
// Nodes inserted and not yet passed (write count less read index).
ULONG ZarPlyQueuedCount(const ZAR_NODE_QUEUE* queue);
// Allocates every ring from non-paged pool and sets up the module events
// (device initialisation, before the interrupt is connected); the first
// failure returns STATUS_INSUFFICIENT_RESOURCES and leaves what was
// allocated for DeAlloc.
NTSTATUS ZarPlyBufferAlloc(PZAR_DEVICE_EXTENSION ext);
// Frees every ring allocated; safe after a partial allocation.
void ZarPlyBufferDeAlloc(PZAR_DEVICE_EXTENSION ext);
// Copies 'count' records (the channel's entry size each, from kernel memory)
// into the channel's ring. STATUS_UNSUCCESSFUL for a channel not fed by
// insertion, a count above 256, or more records than the channel may still
// queue (nothing is inserted then).
NTSTATUS ZarPlyInsertNodes(PZAR_DEVICE_EXTENSION ext, ULONG channel, const void* records, ULONG count);
// Empties the queue (counts, spare words, pipeline); capacity and buffer stay.
void ZarPlyNodeQueueInitialize(PZAR_NODE_QUEUE queue);
// Puts a node in pipeline stage 0.
void ZarPlyNodePipelineAdd(PZAR_NODE_QUEUE queue, PVOID node);
// Moves every stage one on (stage 7 is dropped) and clears stage 0.
void ZarPlyNodePipelineShift(PZAR_NODE_QUEUE queue);
NTSTATUS ZarPlyBufferAlloc(PZAR_DEVICE_EXTENSION ext);
void ZarPlyBufferDeAlloc(PZAR_DEVICE_EXTENSION ext);
void ZarPlyFreeNotificationDatabase(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarPlyPostNodeCommand(PZAR_DEVICE_EXTENSION ext, const ZAR_NODE_COMMAND* command, const ULONG* fieldEntry);
NTSTATUS ZarPlyResetPlaylist(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarPlyRegisterNotification(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarPlySetEnableMask(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarPlyNodeInsert(PZAR_DEVICE_EXTENSION ext, PIRP irp);

// ---- due tests and positions ----

// 1 when the node is due at the channel's position and pass (and marks it
// done), else 0. gateBypass 0 lets the node gate hold the node back.
ULONG ZarPlIsNodePlaytime(PZAR_DEVICE_EXTENSION ext, PZAR_PLAY_STATE state, ZAR_NODE_RECORD* node,
                          ULONG gateBypass);
// 1 when a node of timing kind 0 is due now or at the next field (and marks
// it done), else 0.
ULONG ZarPlIsNodeNearPlaytime(PZAR_PLAY_STATE state, ZAR_NODE_RECORD* node);
// Shifts the reported history and reports this field's position, clamped to
// end - 1 with the loop flag, end - 3 without.
void ZarPlyUpdatePlayPosition(PZAR_PLAY_STATE state);
// At the end: with the loop flag, back to loop start (keeping the parity
// bit) in the next pass, returning 1; without it 0.
ULONG ZarPlLoopWrapCheck(PZAR_PLAY_STATE state);
// A following channel takes its master video channel's pass, state and
// position (playing on for the grace fields after the master stops).
void ZarPlyUpdateSlaveState(PZAR_DEVICE_EXTENSION ext, PZAR_PLAY_STATE state);
// A following channel counts its own fields while its master does not play.
void ZarPlyUpdateSlaveFrameCounter(PZAR_DEVICE_EXTENSION ext, PZAR_PLAY_STATE state);
// Passes the node at the read index (skipping its field-pair partner when
// the master runs in field-pair mode).
void ZarPlyIncNodeHeadEx(PZAR_DEVICE_EXTENSION ext, PZAR_PLAY_STATE state, PZAR_NODE_QUEUE queue, ULONG entrySize);
// STATUS_UNSUCCESSFUL when either point is negative or out < in.
NTSTATUS ZarPlyIsValidInOutPoint(LONG in, LONG out);

// ---- follower modules: masks, hand-shake, per-field steps ----

// The enable mask of a module selector, or nullptr outside 0-10.
PULONG ZarPlyEnableMask(PZAR_DEVICE_EXTENSION ext, ULONG module);
// The follower module's state (graphics, mixer, DVE, bus, proc amps, audio
// effects; the DVE's 92-byte state begins with the same head), or nullptr
// for the video channels, audio play and unknown selectors.
PZAR_PLY_MODULE_STATE ZarPlyModuleState(PZAR_DEVICE_EXTENSION ext, ULONG module);
// The module selector that owns a channel, or ZAR_PLY_MODULE_COUNT.
ULONG ZarPlyChannelModule(ULONG channel);
// Takes a play command into the state (synchronised with the interrupt by
// the caller): 0 asks for a stop, 32 for play from the command's start,
// any other value stops at once. TRUE when a request is now pending.
BOOLEAN ZarPlyCriticalRequestStateChange(PZAR_PLY_MODULE_STATE state, const ZAR_PLAY_COMMAND* command);
// A module's play command (passive level): requests the change and, with
// the wait flag, waits for the field that carries it out (500 ms; then
// STATUS_IO_TIMEOUT). A change that took effect at once returns at once.
NTSTATUS ZarPlyPlayCommand(PZAR_DEVICE_EXTENSION ext, ULONG module, const ZAR_PLAY_COMMAND* command);
// In the interrupt, while a request is pending: carries it out on a field of
// parity 1 and hands the module's event to the VBI DPC.
void ZarPlyVbiStateChange(PZAR_DEVICE_EXTENSION ext, ULONG module);
// A follower channel's pre-process step: the hand-shake, then a following
// channel copies its master's state.
void ZarPlyModulePreProcess(PZAR_DEVICE_EXTENSION ext, ULONG module);
// A follower channel's post-process step: reports the position and advances
// it (self-timed) or follows the master's grace fields.
void ZarPlyModulePostProcess(PZAR_DEVICE_EXTENSION ext, ULONG module);
// The module's playlist initialisation for one of its channels: clears the
// module's whole enable mask and empties the channel's queue.
void ZarPlyModulePlaylistInit(PZAR_DEVICE_EXTENSION ext, ULONG channel);
// The channel's playlist reset (interrupt synchronised by the caller).
void ZarPlyCriticalResetPlaylist(PZAR_DEVICE_EXTENSION ext, ULONG channel);
// Fills the channel's module region and node queue of the status block
// (interrupt synchronised by the caller); other bytes stay as they are.
void ZarPlyCriticalQueryChannelStatus(PZAR_DEVICE_EXTENSION ext, ZAR_CHANNEL_STATUS* status);

// Video channel 0 or 1 (any value above 0 is 1) as its play state block:
// the JPEG module's ZAR_VIDEO_CHANNEL_STATE begins with the same 16 words.
PZAR_PLAY_STATE ZarPlyVideoPlayState(PZAR_DEVICE_EXTENSION ext, ULONG channel);
