// Vari-play: a video channel shown at any speed, forwards or backwards, from
// fields the library has placed in board memory and listed in a ring of
// 8,192 entries in a block it shares with the driver. Each field the driver
// moves a fixed-point position by the speed, finds the entry of that field
// and has the JPEG channel show it.
//
// The library writes entries only outside the range between the bounds;
// the driver moves only the head inside it. Every index read from the
// block is masked into the ring, since the library may write anything there.

#include <cstring>

#include "include/zar_audio_hw.h"
#include "zar_audio.h"
#include "zar_bridge.h"
#include "zar_extension.h"

namespace {

constexpr ULONG kIndexMask = ZAR_VARIPLAY_ENTRIES - 1;
constexpr ULONG kFractionMask = (1u << ZAR_VARIPLAY_FRACTION_BITS) - 1;
constexpr ULONG kSearchSteps = 6;
constexpr ULONG kRingBlocks = 7936;

PVOID UserAddress(ULONG address) { return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(address)); }

ULONG Index(ULONG word) { return word & kIndexMask; }
bool Empty(const ZAR_VARIPLAY_CONTROL& c) { return c.Low == ZAR_VARIPLAY_EMPTY || c.High == ZAR_VARIPLAY_EMPTY; }

// Whether entry i lies in the valid range from the low bound to the high one.
bool InRange(const ZAR_VARIPLAY_CONTROL& c, ULONG i)
{
    if (Empty(c)) return false;
    return ((i - Index(c.Low)) & kIndexMask) <= ((Index(c.High) - Index(c.Low)) & kIndexMask);
}

ZAR_VARIPLAY_BLOCK* Block(PZAR_DEVICE_EXTENSION ext, ULONG channel)
{
    return channel < 2 ? ext->VariPlay.Block[channel] : nullptr;
}

struct ZAR_VP_CALL {
    PZAR_DEVICE_EXTENSION Ext;
    PULONG Io;
};

BOOLEAN ZarVariPlayInvalidateSynchronized(PVOID context)
{
    auto* call = static_cast<ZAR_VP_CALL*>(context);
    ZAR_VARIPLAY_BLOCK* b = Block(call->Ext, call->Io[0]);
    call->Io[3] = b ? ZarVariPlayInvalidate(&b->Control, call->Io[1] != 0, call->Io[2] != 0) : 0;
    return TRUE;
}

// FALSE when the channel was closed since the request looked.
BOOLEAN ZarVariPlayDisplaySynchronized(PVOID context)
{
    auto* call = static_cast<ZAR_VP_CALL*>(context);
    PZAR_DEVICE_EXTENSION ext = call->Ext;
    ULONG channel = call->Io[0], index = call->Io[1];
    ZAR_VARIPLAY_BLOCK* b = Block(ext, channel);
    if (b == nullptr) return FALSE;
    const ZAR_VARIPLAY_ENTRY& e = b->Entry[index];
    ZAR_VIDEO_CHANNEL_STATE& s = ext->Jpeg.Channel[channel].State;
    if (e.Field & 1)
        s.Display = {e.Address, e.Size, 0, 2, e.Field - 1};
    else
        s.Display = {e.Address, e.Size, 0, 1, e.Field};
    if (!Empty(b->Control)) {
        const ZAR_VARIPLAY_ENTRY& low = b->Entry[Index(b->Control.Low)];
        ext->VariPlay.FreeFrom[channel] = (low.Address + low.Size) % kRingBlocks;
    }
    b->Control.Head = index;
    b->Control.PreviousHead = index;
    b->Control.Hold = 0;
    b->Control.Position = index << ZAR_VARIPLAY_FRACTION_BITS;
    return TRUE;
}

// The channel's slot, taken and given back under the interrupt's lock: one
// initialisation of two at once gets it, and a close takes the block away
// before any field or request can read it again.
struct ZAR_VP_SLOT {
    PZAR_DEVICE_EXTENSION Ext;
    ULONG Channel;
    ZAR_VARIPLAY_BLOCK* Block;
    PMDL Mdl;
    PFILE_OBJECT Owner;
};

BOOLEAN ZarVariPlayClaimSynchronized(PVOID context)
{
    auto* s = static_cast<ZAR_VP_SLOT*>(context);
    ZAR_VARIPLAY_STATE& v = s->Ext->VariPlay;
    if (v.Block[s->Channel] != nullptr || v.Mdl[s->Channel] != nullptr) return FALSE;
    v.Mdl[s->Channel] = s->Mdl;
    s->Ext->VariPlayOwner[s->Channel] = s->Owner;
    v.Block[s->Channel] = s->Block;
    return TRUE;
}

BOOLEAN ZarVariPlayReleaseSynchronized(PVOID context)
{
    auto* s = static_cast<ZAR_VP_SLOT*>(context);
    ZAR_VARIPLAY_STATE& v = s->Ext->VariPlay;
    s->Block = v.Block[s->Channel];
    s->Mdl = v.Mdl[s->Channel];
    if (s->Block == nullptr) return FALSE;
    v.Block[s->Channel] = nullptr;
    v.Mdl[s->Channel] = nullptr;
    return TRUE;
}

}  // namespace

// ---- pure rules ----

BOOLEAN ZarVariPlayFindField(const ZAR_VARIPLAY_BLOCK* block, ULONGLONG position, PULONG positionOut)
{
    const ZAR_VARIPLAY_CONTROL& c = block->Control;
    const ULONG field = ULONG(position >> ZAR_VARIPLAY_FRACTION_BITS);
    const ULONG fraction = ULONG(position) & kFractionMask;
    const ULONG head = Index(c.Head), low = Index(c.Low), high = Index(c.High);
    if (block->Entry[head].Field == field) {
        *positionOut = (head << ZAR_VARIPLAY_FRACTION_BITS) | fraction;
        return TRUE;
    }
    ULONG down = head, up = head;
    for (ULONG step = 0; step < kSearchSteps; ++step) {
        if (down != low) {
            down = (down - 1) & kIndexMask;
            if (block->Entry[down].Field == field) {
                *positionOut = (down << ZAR_VARIPLAY_FRACTION_BITS) | fraction;
                return TRUE;
            }
        }
        if (up != high) {
            up = (up + 1) & kIndexMask;
            if (block->Entry[up].Field == field) {
                *positionOut = (up << ZAR_VARIPLAY_FRACTION_BITS) | fraction;
                return TRUE;
            }
        }
    }
    auto distance = [&](ULONG at) {
        ULONG d = block->Entry[at].Field > field ? block->Entry[at].Field - field : field - block->Entry[at].Field;
        if (c.Loop && c.LoopLength != 0 && d < c.LoopLength && c.LoopLength - d < d) d = c.LoopLength - d;
        return d;
    };
    if (distance(low) > distance(high))
        *positionOut = high << ZAR_VARIPLAY_FRACTION_BITS;
    else
        *positionOut = (low << ZAR_VARIPLAY_FRACTION_BITS) | kFractionMask;
    return FALSE;
}

ULONG ZarVariPlayInvalidate(ZAR_VARIPLAY_CONTROL* c, bool oldest, bool newest)
{
    if (Empty(*c)) return 0;
    const ULONG head = Index(c->Head), previous = Index(c->PreviousHead);
    const bool reverse = (c->Speed & ZAR_VARIPLAY_REVERSE) != 0;
    if (oldest) {
        ULONG low = Index(c->Low);
        ULONG next = (low - 1) & kIndexMask;
        if (low == head || low == previous || (next == head && !reverse)) return 0;
        c->Low = next;
        return 1;
    }
    if (newest) {
        ULONG high = Index(c->High);
        ULONG next = (high + 1) & kIndexMask;
        if (high == head || high == previous || (next == head && reverse)) return 0;
        c->High = next;
        return 1;
    }
    return 0;
}

void ZarVariPlayStep(ZAR_VARIPLAY_BLOCK* block)
{
    ZAR_VARIPLAY_CONTROL& c = block->Control;
    if (Empty(c)) return;
    const bool reverse = (c.Speed & ZAR_VARIPLAY_REVERSE) != 0;
    const ULONG speed = c.Speed & ~ZAR_VARIPLAY_REVERSE;
    c.OneFieldStep = speed == ZAR_VARIPLAY_NORMAL_SPEED;
    ULONG position = reverse ? c.Position - speed : c.Position + speed;
    ULONG index = (position >> ZAR_VARIPLAY_FRACTION_BITS) & kIndexMask;
    if (!InRange(c, index)) {
        // Held at the bound it ran into, until the range grows past it.
        ULONG bound = reverse ? Index(c.Low) : Index(c.High);
        position = (bound << ZAR_VARIPLAY_FRACTION_BITS) | (reverse ? 0 : kFractionMask);
        if (!(block->Entry[bound].Flags & ZAR_VARIPLAY_MARK)) c.Hold = 1;
    } else {
        c.Hold = 0;
    }
    ULONG fraction = position & kFractionMask;
    index = (position >> ZAR_VARIPLAY_FRACTION_BITS) & kIndexMask;
    if (fraction < 16) {
        position &= ~kFractionMask;
    } else if (fraction > 0x7FFF0 && index != Index(c.Low) && InRange(c, (index + 1) & kIndexMask)) {
        position = ((index + 1) & kIndexMask) << ZAR_VARIPLAY_FRACTION_BITS;
    }
    c.Position = position;
}

ULONGLONG ZarVariPlayAudioField(LONGLONG samples, ULONG standard, ULONGLONG window, ULONG start, ULONG end)
{
    const ULONGLONG perSecond = standard == 625 ? ZAR_VARIPLAY_FIELDS_625 : ZAR_VARIPLAY_FIELDS_525;
    const ULONGLONG rate = zar_audio_hw::kSampleRate;
    const ULONGLONG n = samples < 0 ? 0 : ULONGLONG(samples);
    // Split so the product stays in 64 bits for any position of the engine.
    ULONGLONG field = n / rate * perSecond + n % rate * perSecond / rate;
    const ULONGLONG fraction = field & kFractionMask;
    if (fraction < window)
        field &= ~ULONGLONG(kFractionMask);
    else if (fraction > (1ULL << ZAR_VARIPLAY_FRACTION_BITS) - window)
        field = (field | kFractionMask) + 1;
    if (field >> ZAR_VARIPLAY_FRACTION_BITS < start) field = ULONGLONG(start) << ZAR_VARIPLAY_FRACTION_BITS;
    if (end > start && field >> ZAR_VARIPLAY_FRACTION_BITS >= end)
        field = (ULONGLONG(end - 1) << ZAR_VARIPLAY_FRACTION_BITS) | kFractionMask;
    return field;
}

ULONG ZarVariPlaySpeedWord(LONG rate, ULONG normal)
{
    const ULONGLONG magnitude = rate < 0 ? ULONGLONG(-LONGLONG(rate)) : ULONGLONG(rate);
    if (normal == 0) return 0;
    ULONGLONG word = magnitude == normal ? ZAR_VARIPLAY_NORMAL_SPEED
                                         : (magnitude << ZAR_VARIPLAY_FRACTION_BITS) / normal;
    if (word > ~ZAR_VARIPLAY_REVERSE) word = ~ZAR_VARIPLAY_REVERSE;
    return ULONG(word) | (rate < 0 ? ZAR_VARIPLAY_REVERSE : 0);
}

namespace {

// The free-run position as a field position, to compare with the audio's.
ULONGLONG FieldPosition(const ZAR_VARIPLAY_BLOCK* block, ULONG position)
{
    const ZAR_VARIPLAY_ENTRY& e = block->Entry[Index(position >> ZAR_VARIPLAY_FRACTION_BITS)];
    return (ULONGLONG(e.Field) << ZAR_VARIPLAY_FRACTION_BITS) | (position & kFractionMask);
}

ULONGLONG Distance(const ZAR_VARIPLAY_CONTROL& c, ULONGLONG a, ULONGLONG b)
{
    ULONGLONG d = a > b ? a - b : b - a;
    const ULONGLONG loop = ULONGLONG(c.LoopLength) << ZAR_VARIPLAY_FRACTION_BITS;
    if (c.Loop && loop != 0 && d < loop && loop - d < d) d = loop - d;
    return d;
}

// The entry found at the bound holds the channel unless the library marked it.
void HoldUnlessMarked(ZAR_VARIPLAY_BLOCK* block, ULONG position)
{
    if (!(block->Entry[Index(position >> ZAR_VARIPLAY_FRACTION_BITS)].Flags & ZAR_VARIPLAY_MARK))
        block->Control.Hold = 1;
}

}  // namespace

ULONG ZarVariPlayAdvance(ZAR_VARIPLAY_BLOCK* block, const ZAR_VARIPLAY_AUDIO* audio, ULONG standard, ULONG start,
                         ULONG end, ULONG parity)
{
    ZAR_VARIPLAY_CONTROL& c = block->Control;
    const bool lock = audio != nullptr && c.AudioLock != 0;
    ULONGLONG heard = 0;
    if (lock) {
        heard = ZarVariPlayAudioField(audio->Samples, standard, c.RoundingWindow, start, end);
        if (ULONG(audio->Rate) != c.LastAudioRate) c.InRange = 0;
        c.LastAudioRate = ULONG(audio->Rate);
    }
    if (!lock || c.InRange) {
        ZarVariPlayStep(block);
        // Drifted an eighth of a field from the audio: find the audio's field again.
        if (lock && Distance(c, FieldPosition(block, c.Position), heard) > 0x10000) c.InRange = 0;
    }
    if (lock && !c.InRange) {
        ULONG position = 0;
        if (ZarVariPlayFindField(block, heard, &position)) {
            c.Speed = ZarVariPlaySpeedWord(audio->Rate, audio->Normal);
            c.OneFieldStep = (c.Speed & ~ZAR_VARIPLAY_REVERSE) == ZAR_VARIPLAY_NORMAL_SPEED;
            c.InRange = 1;
            if (c.ResetRequest) {
                c.Hold = 0;
                c.ResetRequest = 0;
            }
        } else {
            HoldUnlessMarked(block, position);
        }
        c.Position = position;
    }

    // The entry to show: the position's, except that lock mode 2 moves on
    // only on parity-1 fields at one field a field.
    ULONG shown = Index(c.Position >> ZAR_VARIPLAY_FRACTION_BITS);
    if (lock && c.LockMode == 2 && !(c.OneFieldStep && parity != 0)) shown = Index(c.Head);
    if (c.OneFieldStep) {
        // A field of the other parity is replaced by its neighbour in the
        // direction of travel, unless marked or at the bound.
        const ZAR_VARIPLAY_ENTRY& e = block->Entry[shown];
        const bool reverse = (c.Speed & ZAR_VARIPLAY_REVERSE) != 0;
        const ULONG bound = reverse ? Index(c.Low) : Index(c.High);
        if (!(e.Flags & ZAR_VARIPLAY_MARK) && (e.Field & 1) != (parity & 1) && shown != bound)
            shown = (reverse ? shown - 1 : shown + 1) & kIndexMask;
    }
    c.PreviousHead = Index(c.Head);
    c.Head = shown;
    return shown;
}

// ---- the JPEG channel's side ----

BOOLEAN ZarVariPlayIsMapped(PZAR_DEVICE_EXTENSION ext, ULONG channel) { return Block(ext, channel) != nullptr; }

BOOLEAN ZarVariPlayTakeStart(PZAR_DEVICE_EXTENSION ext, ULONG channel)
{
    ZAR_VARIPLAY_BLOCK* b = Block(ext, channel);
    if (b == nullptr) return FALSE;
    ULONG before = b->Control.Started;
    b->Control.Started = 1;
    return before != 0;
}

ULONG ZarVariPlayUpdatePosition(PZAR_DEVICE_EXTENSION ext, ULONG channel)
{
    ZAR_VARIPLAY_BLOCK* b = Block(ext, channel);
    if (b == nullptr || Empty(b->Control)) return 0;
    const ZAR_VIDEO_CHANNEL_STATE& video = ext->Jpeg.Channel[channel].State;
    ZAR_VARIPLAY_AUDIO audio{};
    if (b->Control.AudioLock) {
        // Called from the field's node processing, at device IRQL.
        ZAR_DSRV_STATUS status;
        ZarAudDSrvSnapshot(ext, &status);
        audio.Samples = LONGLONG((ULONGLONG(status.PositionHigh) << 32) | status.PositionLow);
        audio.Rate = status.Speed;
        audio.Normal = ext->AudioDSrv.Prep.NormalSpeed;
    }
    ULONG shown = ZarVariPlayAdvance(b, &audio, ext->Standard, video.StartPosition, video.EndPosition, video.Parity);
    return b->Entry[shown].Field;
}

BOOLEAN ZarVariPlayCurrentEntry(PZAR_DEVICE_EXTENSION ext, ULONG channel, ZAR_VARIPLAY_ENTRY* entry)
{
    ZAR_VARIPLAY_BLOCK* b = Block(ext, channel);
    if (b == nullptr || Empty(b->Control)) return FALSE;
    *entry = b->Entry[Index(b->Control.Head)];
    return TRUE;
}

BOOLEAN ZarVariPlayCurrentField(PZAR_DEVICE_EXTENSION ext, ULONG channel, PULONG address, PULONG size)
{
    ZAR_VARIPLAY_ENTRY e;
    if (!ZarVariPlayCurrentEntry(ext, channel, &e)) return FALSE;
    *address = e.Address;
    *size = e.Size;
    return TRUE;
}

// ---- control codes ----

NTSTATUS ZarVariPlayInit(PZAR_DEVICE_EXTENSION ext, PVOID buffer, PFILE_OBJECT owner)
{
    auto* in = static_cast<const ULONG*>(buffer);
    ULONG channel = in[0];
    if (channel > 1) return STATUS_INVALID_PARAMETER;
    if (ext->VariPlay.Block[channel] != nullptr) return STATUS_UNSUCCESSFUL;
    PMDL mdl = IoAllocateMdl(UserAddress(in[1]), ZAR_VARIPLAY_BLOCK_BYTES, FALSE, FALSE, nullptr);
    if (mdl == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = SehTry([&] { MmProbeAndLockPages(mdl, UserMode, IoModifyAccess); });
    if (!NT_SUCCESS(status)) {
        IoFreeMdl(mdl);
        return status;
    }
    PVOID system = MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
    if (system == nullptr) {
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ZAR_VP_SLOT slot{ext, channel, static_cast<ZAR_VARIPLAY_BLOCK*>(system), mdl, owner};
    if (!ZarRunSynchronized(ext, ZarVariPlayClaimSynchronized, &slot)) {
        // Another initialisation took the channel meanwhile.
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ZarVariPlayClose(PZAR_DEVICE_EXTENSION ext, ULONG channel)
{
    if (channel > 1) return STATUS_INVALID_PARAMETER;
    ZAR_VP_SLOT slot{ext, channel, nullptr, nullptr, nullptr};
    if (!ZarRunSynchronized(ext, ZarVariPlayReleaseSynchronized, &slot)) {
        ext->VariPlayOwner[channel] = nullptr;  // an owner without a block owns nothing
        return STATUS_UNSUCCESSFUL;
    }
    ext->VariPlayOwner[channel] = nullptr;
    MmUnlockPages(slot.Mdl);
    IoFreeMdl(slot.Mdl);
    return STATUS_SUCCESS;
}

NTSTATUS ZarVariPlayInvalidateNode(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    auto* io = static_cast<PULONG>(buffer);
    if (io[0] > 1) return STATUS_INVALID_PARAMETER;
    if (Block(ext, io[0]) == nullptr) return STATUS_UNSUCCESSFUL;
    ZAR_VP_CALL call{ext, io};
    ZarRunSynchronized(ext, ZarVariPlayInvalidateSynchronized, &call);
    return STATUS_SUCCESS;
}

NTSTATUS ZarVariPlayDisplayNode(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    auto* io = static_cast<PULONG>(buffer);
    if (io[0] > 1 || io[1] >= ZAR_VARIPLAY_ENTRIES) return STATUS_INVALID_PARAMETER;
    if (Block(ext, io[0]) == nullptr) return STATUS_UNSUCCESSFUL;
    ZAR_VP_CALL call{ext, io};
    // The block is looked at again under the lock: a close may come between.
    return ZarRunSynchronized(ext, ZarVariPlayDisplaySynchronized, &call) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}
