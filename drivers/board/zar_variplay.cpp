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

#include "zar_bridge.h"
#include "zar_driver.h"

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

BOOLEAN ZarVariPlayDisplaySynchronized(PVOID context)
{
    auto* call = static_cast<ZAR_VP_CALL*>(context);
    PZAR_DEVICE_EXTENSION ext = call->Ext;
    ULONG channel = call->Io[0], index = call->Io[1];
    ZAR_VARIPLAY_BLOCK* b = Block(ext, channel);
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
    ZarVariPlayStep(b);
    ZAR_VARIPLAY_CONTROL& c = b->Control;
    c.PreviousHead = Index(c.Head);
    c.Head = (c.Position >> ZAR_VARIPLAY_FRACTION_BITS) & kIndexMask;
    return b->Entry[c.Head].Field;
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
    ext->VariPlay.Mdl[channel] = mdl;
    ext->VariPlayOwner[channel] = owner;
    // Published last: the interrupt routine reads the block once it is set.
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&ext->VariPlay.Block[channel]), system);
    return STATUS_SUCCESS;
}

NTSTATUS ZarVariPlayClose(PZAR_DEVICE_EXTENSION ext, ULONG channel)
{
    if (channel > 1) return STATUS_INVALID_PARAMETER;
    if (ext->VariPlay.Block[channel] == nullptr) {
        ext->VariPlayOwner[channel] = nullptr;  // an owner without a block owns nothing
        return STATUS_UNSUCCESSFUL;
    }
    struct Call {
        PZAR_DEVICE_EXTENSION Ext;
        ULONG Channel;
    } call{ext, channel};
    // Taken away under the interrupt's lock, so no field still reads it.
    ZarRunSynchronized(ext, [](PVOID context) -> BOOLEAN {
        auto* c = static_cast<Call*>(context);
        c->Ext->VariPlay.Block[c->Channel] = nullptr;
        return TRUE;
    }, &call);
    MmUnlockPages(ext->VariPlay.Mdl[channel]);
    IoFreeMdl(ext->VariPlay.Mdl[channel]);
    ext->VariPlay.Mdl[channel] = nullptr;
    ext->VariPlayOwner[channel] = nullptr;
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
    ZarRunSynchronized(ext, ZarVariPlayDisplaySynchronized, &call);
    return STATUS_SUCCESS;
}
