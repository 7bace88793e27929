// JPEG field play and record through the board's SDRAM field ring: which
// field each codec reads or writes per field, holding a frame, the record
// descriptors of channel 10 and the flow control of recording, and the small
// requests that move a channel's head or hand descriptors and room back.
//
// Each parity records into its own bank of 4,096 blocks, apart from the
// play ring: the codec's 13-bit address names the bank in bit 12 and the
// block in it below, and the library reads a field back through the
// parity's bank (access modes 101 and 102), so fields of unequal sizes never
// run into each other or into a channel's play area. A parity's fields run
// on by the size of its previous field, wrapping inside the bank, and its
// queued blocks never exceed the bank. A descriptor becomes visible to the library (the
// ring's write count grows) once its field was measured, so the library
// never sees a size the codec has not reported yet; a descriptor that would
// land on one the library has not fetched drops its field instead.

#include "zar_audio.h"
#include "zar_board_regs.h"
#include "zar_bridge.h"
#include "zar_debi.h"
#include "zar_extension.h"
#include "zar_gfx.h"
#include "zar_jpeg.h"
#include "zar_playlist.h"
#include "zar_vin.h"
#include "include/zar_jpeg_tables.h"

namespace {

constexpr ULONG kAddressBlockMask = 0x1FFF;
constexpr ULONG kAddressUncompressed = 0x8000;
constexpr ULONG kPrefsUncompressed = 0x4;
constexpr ULONG kCodecControlBits = 0x3;
constexpr ULONG kRegScale = 0x11;
constexpr ULONG kModeRecord = 64;
constexpr ULONG kModeMeasure = 65;
constexpr ULONG kModeRenderRecord = 67;
constexpr ULONG kHdcamOption = 2;
constexpr ULONG kPlayEntryBytes = ZAR_NODE_FIELD_ENTRY_SIZE;
constexpr ULONG kRenderSlots = 4;

// Interleaved audio transfer to the field area over DEBI.
constexpr ULONG kSdramModeAudio = 0xC00;
constexpr ULONG kSdramModeParity = 0x1000;
constexpr ULONG kDebiConfigValue = 0x104A0000;

// A play node of channels 20 and 30.
struct ZAR_JPEG_PLAY_NODE {
    ZAR_NODE_RECORD Head;
    ULONG Address;
    ULONG Size;
};
static_assert(sizeof(ZAR_JPEG_PLAY_NODE) == kPlayEntryBytes);

ZAR_JPEG_FIELD_DESCRIPTOR* ZarJpegDescriptor(PZAR_NODE_QUEUE queue, ULONG count)
{
    return reinterpret_cast<ZAR_JPEG_FIELD_DESCRIPTOR*>(ZarPlyQueueSlot(queue, count, ZAR_JPEG_FIELD_DESCRIPTOR_SIZE));
}

void ZarJpegPointCodec(PZAR_DEVICE_EXTENSION ext, ULONG c, ULONG address, ULONG size)
{
    const ZAR_VIDEO_CHANNEL_STATE& s = ext->Jpeg.Channel[c].State;
    ZarJpegSetCodecSdramAddress(ext, c, (address + s.AudioBlocks) % ZAR_JPEG_RING_BLOCKS,
                                size == ext->UncompressedFieldBlocks);
}

// The render's samples of the path's readback, by state and position.
void ZarJpegRenderStep(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_JPEG_STATE& j = ext->Jpeg;
    ZAR_VIDEO_CHANNEL_STATE& s = j.Channel[0].State;
    const LONG st = s.StateWord;
    const ULONG pos = s.Position;
    const bool source = s.RenderSource != 0;
    const ULONG record = s.RenderWord[0], w164 = s.RenderWord[1], w160 = s.RenderWord[2];
    auto at = [&](LONG state, ULONG position) { return st == state && pos == position; };

    LONG slot = -1;
    if (source && !w160) {
        slot = at(32, 2) ? 0 : at(32, 3) ? 1 : at(97, 0) ? 2 : at(97, 1) ? 3 : -1;
    } else if (source) {
        slot = at(97, 0) ? 0 : at(97, 1) ? 1 : at(64, 0) ? 2 : at(64, 1) ? 3 : -1;
    } else if (w160) {
        const LONG state = w164 == 0 ? 64 : 97;
        slot = at(state, 0) ? 0 : at(state, 1) ? 1 : -1;
    } else {
        slot = at(97, 0) ? 0 : at(97, 1) ? 1 : -1;
    }
    if (slot >= 0) j.RenderSample[slot] = ZarDebiPioRead(ext, ZAR_REG_PATH_CONTROL);

    if (at(97, 0) && record) ZarJpegEnableRealtimeMode(ext, 0, FALSE);

    // Graphics store B shows the buffer the render reads or writes.
    if (!source) {
        const ULONG handover = (w160 && !w164) ? 2 : 0;
        if (at(64, 0) || (!record && at(97, handover))) {
            ULONG mode = s.RenderBuffer == 1 ? 1 : s.RenderBuffer == 2 ? 2 : (ZarGfxGetReadMode(ext, 1) == 1 ? 2 : 1);
            ZarGfxSetReadMode(ext, 1, mode);
        }
    } else {
        if ((!w160 && at(32, 2)) || (w160 && at(97, 0))) ZarGfxSetReadMode(ext, 1, 1);
        if (at(64, 2)) ZarGfxSetReadMode(ext, 1, 2);
    }
    // And the video input goes back to live.
    bool live = false;
    if (!w160) live = at(97, 0);
    else if (record) live = at(w164 == 0 ? 64 : 97, 0);
    else live = w164 ? at(97, 0) : at(97, 2);
    if (live) ZarVinSetInputMode(ext, 1, 0);
}

void ZarJpegRecordStep(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_JPEG_STATE& j = ext->Jpeg;
    ZAR_JPEG_CHANNEL& ch = j.Channel[0];
    ZAR_VIDEO_CHANNEL_STATE& s = ch.State;
    ZAR_JPEG_RATE& rate = ch.Rate;
    PZAR_NODE_QUEUE queue = ZarPlyNodeQueue(ext, ZAR_JPEG_RECORD_CHANNEL);
    if (queue == nullptr || queue->Buffer == nullptr) return;
    const bool hdcam = ext->Hdcam24FpsMode == kHdcamOption;
    const ULONG n = s.Parity ^ 1;

    // 1. The slot of the field being prepared; with the ring full of
    // descriptors the library has not fetched, a scratch one that is dropped.
    const bool ringFull = ch.PreparedCount - queue->ReadIndex >= ZAR_JPEG_DESCRIPTOR_RING;
    ZAR_JPEG_FIELD_DESCRIPTOR scratch;
    ZAR_JPEG_FIELD_DESCRIPTOR* fresh = ringFull ? &scratch : ZarJpegDescriptor(queue, ch.PreparedCount);
    RtlZeroMemory(fresh, sizeof(*fresh));
    fresh->Position = hdcam ? s.SecondPosition : s.Position;
    fresh->Reference = s.ModeWord == kModeRenderRecord
                           ? j.RenderSample[s.Position < kRenderSlots ? s.Position : kRenderSlots - 1]
                           : ZarDebiPioRead(ext, ZAR_REG_PATH_CONTROL);

    // 2. The field prepared two fields ago has been compressed: measure and commit it.
    ZAR_JPEG_FIELD_DESCRIPTOR* previous =
        ch.PreviousDescriptor >= 0 ? ZarJpegDescriptor(queue, ULONG(ch.PreviousDescriptor)) : nullptr;
    if (previous != nullptr) {
        if (!NT_SUCCESS(ZarJpegProcessCountCheck(ext, 0))) {
            ZarJpegEnableRealtimeMode(ext, 0, FALSE);
            if (rate.Mode == ZAR_JPEG_RATE_FROM_FIELD_COUNT) {
                ext->DebiShadow5474 |= kCodecControlBits;
                ZarDebiPioWrite(ext, ZAR_REG_INPUT_CONTROL, ext->DebiShadow5474);
            }
        }
        if (previous->Dropped) {
            previous->Size = 0;
            ++s.DroppedFields;
        } else {
            previous->Size = ZarJpegGetCompressedSize(ext, 0) + s.AudioBlocks;
            if (!s.NoRoomAccounting) {
                j.RecordedBlocks[n] += previous->Size;
                j.QueuedBlocks[n] += previous->Size;
            }
            if (s.ModeWord == kModeMeasure) rate.LastSize[n] = previous->Size;
        }
        queue->WriteCount = ULONG(ch.PreviousDescriptor) + 1;
    }
    ZAR_JPEG_FIELD_DESCRIPTOR* last =
        ch.LastDescriptor >= 0 ? ZarJpegDescriptor(queue, ULONG(ch.LastDescriptor)) : nullptr;

    // 3. Room for the field in its parity's stream and in the descriptor ring.
    bool notCommitted = false;
    if (hdcam && j.OptionHold && !s.OverflowOrRepeat) {
        notCommitted = true;
        ZarJpegEnableRealtimeMode(ext, 0, FALSE);
    } else {
        ULONG room = ~0u;
        if (!s.NoRoomAccounting)
            room = j.QueuedBlocks[n] < ZAR_JPEG_QUEUE_LIMIT ? ZAR_JPEG_QUEUE_LIMIT - j.QueuedBlocks[n] : 0;
        if (ringFull) ++j.DescriptorOverflows;
        // Without a hard limit a field may come out as large as an
        // uncompressed one: that is the room it needs.
        const ULONG need = rate.Hard[n] != 0 ? rate.Hard[n] : ext->UncompressedFieldBlocks + s.AudioBlocks;
        if (ringFull || need > room) {
            s.OverflowOrRepeat = 1;
            if (s.Parity == 0) {
                if (last != nullptr) {
                    if (!(last->Position & 1)) last->Dropped = 1;
                } else if (previous != nullptr && !(previous->Position & 1) && !previous->Dropped) {
                    j.RecordedBlocks[n] -= previous->Size < j.RecordedBlocks[n] ? previous->Size : j.RecordedBlocks[n];
                    j.QueuedBlocks[n] -= previous->Size < j.QueuedBlocks[n] ? previous->Size : j.QueuedBlocks[n];
                    previous->Size = 0;
                    previous->Dropped = 1;
                    ++s.DroppedFields;
                }
            } else {
                ++s.DroppedFields;
            }
            ZarJpegEnableRealtimeMode(ext, 0, FALSE);
        } else if (!s.OverflowOrRepeat || s.Parity == 1) {
            ZarJpegEnableRealtimeMode(ext, 0, TRUE);
            s.OverflowOrRepeat = 0;
        }
        // While the overflow stands the codec is out of real time: nothing
        // is compressed for this field.
        notCommitted = s.OverflowOrRepeat != 0;
    }

    // 4. Where the field goes.
    if (s.Position < 2 || s.ModeWord == kModeMeasure)
        s.RecordAddress[n] = 0;
    else if (previous != nullptr)
        s.RecordAddress[n] = (s.RecordAddress[n] + previous->Size) % ZAR_JPEG_RECORD_BANK_BLOCKS;
    fresh->Address = s.RecordAddress[n];
    fresh->Parity = n;
    fresh->Dropped = 0;

    // 5. The previous field's interleaved audio.
    if (s.ModeWord == kModeRecord && s.AudioBlocks != 0 && previous != nullptr)
        ZarJpegAviAudioRecCopy(ext, &s, previous);

    // 6. The quantiser of the field.
    ULONG q;
    if (rate.Mode == ZAR_JPEG_RATE_FROM_FIELD_COUNT) {
        const ULONG fields = s.Position - s.LoopStart;
        if (fields == 0) {
            ext->DebiShadow5474 &= ~kCodecControlBits;
            ZarDebiPioWrite(ext, ZAR_REG_INPUT_CONTROL, ext->DebiShadow5474);
        }
        q = ZarJpegQuantiserFromFieldCount(fields);
    } else {
        q = ZarJpegCalculateQFactor(ext, 0, fresh, previous);
    }
    fresh->Quantiser = UCHAR(q);
    if (s.ModeWord == kModeMeasure) rate.LastQuantiser[n] = q;
    ZarJpegRegWrite16(ext, 0, kRegScale, ZarJpegQuantiserScale[q]);

    // 7. Two fields in flight at most.
    ch.PreviousDescriptor = ch.LastDescriptor;
    ch.LastDescriptor = notCommitted ? -1 : LONG(ch.PreparedCount);

    // 8, 9.
    ZarJpegSetCodecSdramAddress(ext, 0,
                                n * ZAR_JPEG_RECORD_BANK_BLOCKS +
                                    (s.AudioBlocks + fresh->Address) % ZAR_JPEG_RECORD_BANK_BLOCKS,
                                rate.Mode == ZAR_JPEG_RATE_UNCONSTRAINED);
    if (!notCommitted) ++ch.PreparedCount;
}

void ZarJpegPlayStep(PZAR_DEVICE_EXTENSION ext, ULONG c)
{
    ZAR_JPEG_CHANNEL& ch = ext->Jpeg.Channel[c];
    ZAR_VIDEO_CHANNEL_STATE& s = ch.State;
    const bool stopNow = s.StopRequest && s.Parity == 1;

    if (s.VariPlay && ZarVariPlayIsMapped(ext, c)) {
        if (!NT_SUCCESS(ZarJpegProcessCountCheck(ext, c))) {
            s.HoldRequest = 1;
            s.DisplayedPosition = s.ReportedPosition[1];
        }
        ULONG address = 0, size = 0;
        if (!ZarVariPlayCurrentField(ext, c, &address, &size)) return;
        ZarJpegPointCodec(ext, c, address, size);
        if (stopNow || s.HoldRequest) return;
        s.LastAddress[0] = s.LastAddress[1] = address;
        s.LastSize[0] = 0;
        s.LastSize[1] = size;
        return;
    }

    PZAR_NODE_QUEUE queue = ZarPlyNodeQueue(ext, c == 0 ? ZAR_FX_CHANNEL_VIDEO0 : ZAR_FX_CHANNEL_VIDEO1);
    if (queue == nullptr || queue->Buffer == nullptr) return;
    queue->PreviousLastIndex = queue->LastIndex;
    if (ZarPlyQueuedCount(queue) == 0) {
        if (s.DisplayPending && s.Display.FieldMode == 0) ZarJpegSetDisplayBuffer(ext, c);
        return;
    }
    auto* node = reinterpret_cast<ZAR_JPEG_PLAY_NODE*>(ZarPlyQueueSlot(queue, queue->ReadIndex, kPlayEntryBytes));
    if (!NT_SUCCESS(ZarJpegProcessCountCheck(ext, c))) {
        s.HoldRequest = 1;
        s.DisplayedPosition = node->Head.Field;
    }
    auto isHold = [](const ZAR_JPEG_PLAY_NODE* n) { return (n->Head.Flags & ZAR_NODE_HOLD) != 0; };

    if (s.PullDown) {
        const ULONG i = s.Cadence;
        if (i == 2 || i == 4 || i == 7 || i == 9) {
            if (ZarPlyQueuedCount(queue) < 2 && !isHold(node) && queue->ReadIndex > 0) {
                s.OverflowOrRepeat = 1;
                ++s.DroppedFields;
            } else {
                s.OverflowOrRepeat = 0;
            }
        }
        if (s.OverflowOrRepeat || i == 6 || i == 8 || (i <= 1 && queue->ReadIndex > 2)) {
            const ULONG par = s.Position & 1;
            ZarJpegPointCodec(ext, c, s.LastAddress[par], s.LastSize[par]);
            return;
        }
        if ((i == 7 || i == 9) && !isHold(node)) {
            const ULONG par = node->Head.Field & 1;
            s.LastAddress[par] = node->Address;
            s.LastSize[par] = node->Size;
            queue->LastIndex = queue->ReadIndex;
            queue->PreviousLastIndex = queue->ReadIndex;
            ++queue->ReadIndex;
            if (ZarPlyQueuedCount(queue) == 0) return;
            node = reinterpret_cast<ZAR_JPEG_PLAY_NODE*>(ZarPlyQueueSlot(queue, queue->ReadIndex, kPlayEntryBytes));
        }
    }

    if (!ZarPlIsNodePlaytime(ext, reinterpret_cast<PZAR_PLAY_STATE>(&s), &node->Head, 0)) {
        if (s.DisplayPending && s.Display.FieldMode == 0) ZarJpegSetDisplayBuffer(ext, c);
        return;
    }
    ZarJpegPointCodec(ext, c, node->Address, node->Size);
    if (!s.PullDown && s.OverflowOrRepeat) {
        s.OverflowOrRepeat = 0;
        node->Head.Flags &= ~ZAR_NODE_DONE;
    } else if (ZarPlyQueuedCount(queue) == 1 && !isHold(node) && queue->ReadIndex > 0 && !s.PullDown) {
        // The library is late: this field plays again while it catches up.
        s.OverflowOrRepeat = 1;
        node->Head.Flags &= ~ZAR_NODE_DONE;
        ++s.DroppedFields;
    } else if (!isHold(node)) {
        queue->LastIndex = queue->ReadIndex;
        ++queue->ReadIndex;
    }
    if (!stopNow && !s.HoldRequest) {
        const ULONG par = node->Head.Field & 1;
        s.LastAddress[par] = node->Address;
        s.LastSize[par] = node->Size;
        s.DisplayedPosition = node->Head.Field;
    }
    s.DisplayPending = 0;
}

struct ZAR_JPEG_FIELD_CALL {
    PZAR_DEVICE_EXTENSION Ext;
    PVOID Block;
    ULONG Value;
    NTSTATUS Status;
};

BOOLEAN ZarJpegCriticalGetSdlAddress(PVOID context)
{
    auto* call = static_cast<ZAR_JPEG_FIELD_CALL*>(context);
    call->Value = call->Ext->Jpeg.Channel[call->Value].State.SdramHead;
    return TRUE;
}

BOOLEAN ZarJpegCriticalSdlAddHead(PVOID context)
{
    auto* call = static_cast<ZAR_JPEG_FIELD_CALL*>(context);
    auto* command = static_cast<const ZAR_JPEG_COMMAND*>(call->Block);
    ZarScrubJpegSetNode(call->Ext, command, &call->Ext->Jpeg.Channel[command->Channel].State.Display);
    return TRUE;
}

BOOLEAN ZarJpegCriticalSetSdlHeadAddr(PVOID context)
{
    auto* call = static_cast<ZAR_JPEG_FIELD_CALL*>(context);
    auto* request = static_cast<const ZAR_JPEG_SDL_HEAD_REQUEST*>(call->Block);
    ZAR_VIDEO_CHANNEL_STATE& s = call->Ext->Jpeg.Channel[request->Channel].State;
    s.SdramHead = (s.LastAddress[request->Parity] + request->Blocks) % ZAR_JPEG_RING_BLOCKS;
    return TRUE;
}

BOOLEAN ZarJpegCriticalReleaseSdramField(PVOID context)
{
    auto* call = static_cast<ZAR_JPEG_FIELD_CALL*>(context);
    auto* field = static_cast<const ZAR_JPEG_RELEASE_FIELD*>(call->Block);
    ULONG& queued = call->Ext->Jpeg.QueuedBlocks[field->Parity];
    queued -= field->Blocks < queued ? field->Blocks : queued;
    return TRUE;
}

BOOLEAN ZarJpegCriticalGetNextEntry(PVOID context)
{
    auto* call = static_cast<ZAR_JPEG_FIELD_CALL*>(context);
    PZAR_NODE_QUEUE queue = ZarPlyNodeQueue(call->Ext, ZAR_JPEG_RECORD_CHANNEL);
    if (queue == nullptr || queue->Buffer == nullptr || queue->ReadIndex == queue->WriteCount) {
        call->Status = STATUS_UNSUCCESSFUL;
        return FALSE;
    }
    RtlCopyMemory(call->Block, ZarJpegDescriptor(queue, queue->ReadIndex), ZAR_JPEG_FIELD_DESCRIPTOR_SIZE);
    ++queue->ReadIndex;
    call->Status = STATUS_SUCCESS;
    return TRUE;
}

}  // namespace

void ZarJpegSetCodecSdramAddress(PZAR_DEVICE_EXTENSION ext, ULONG codec, ULONG block, BOOLEAN uncompressed)
{
    if (codec >= ZAR_JPEG_CHANNEL_COUNT) return;
    ULONG& shadow = ext->Jpeg.SdramAddress[codec];
    shadow = (shadow & ~(kAddressBlockMask | kAddressUncompressed)) | (block & kAddressBlockMask) |
             (uncompressed ? kAddressUncompressed : 0);
    ZarDebiPioWrite(ext, ZAR_REG_CODEC_SDRAM_ADDRESS[codec], shadow);
    if (codec == 0) {
        if (uncompressed)
            ext->SystemPrefs |= kPrefsUncompressed;
        else
            ext->SystemPrefs &= ~kPrefsUncompressed;
        ZarDebiPioWrite(ext, ZAR_REG_SYSTEM_PREFS, ext->SystemPrefs);
    }
}

void ZarPlyUpdateScrubPosition(ZAR_VIDEO_CHANNEL_STATE* state, ULONG position)
{
    state->ReportedPosition[3] = state->ReportedPosition[2];
    state->ReportedPosition[0] = state->ReportedPosition[1] = state->ReportedPosition[2] = position;
    state->DisplayedPosition = position;
}

void ZarJpegSetDisplayBuffer(PZAR_DEVICE_EXTENSION ext, ULONG channel)
{
    ZAR_VIDEO_CHANNEL_STATE& s = ext->Jpeg.Channel[channel].State;
    const ZAR_JPEG_DISPLAY& d = s.Display;
    ULONG position = d.Position, address = d.Address;
    if (d.FieldMode == 0 && s.Parity == 0) {
        ++position;
        address += d.FirstSize;
    }
    ZarPlyUpdateScrubPosition(&s, position);
    const ULONG max = ext->UncompressedFieldBlocks;
    ZarJpegSetCodecSdramAddress(ext, channel, address % ZAR_JPEG_RING_BLOCKS,
                                d.FirstSize == max || (d.FirstSize == 0 && d.SecondSize == max));
}

ULONG ZarJpegSafeGetSdlAddress(PZAR_DEVICE_EXTENSION ext, ULONG channel)
{
    ZAR_JPEG_FIELD_CALL call{ext, nullptr, channel < ZAR_JPEG_CHANNEL_COUNT ? channel : 0, STATUS_SUCCESS};
    ZarJpegSynchronize(ext, ZarJpegCriticalGetSdlAddress, &call);
    return call.Value;
}

ULONG ZarJpegSafeSdlAddHead(PZAR_DEVICE_EXTENSION ext, const ZAR_JPEG_COMMAND* command)
{
    if (command->Channel >= ZAR_JPEG_CHANNEL_COUNT) return 0;
    ZAR_JPEG_FIELD_CALL call{ext, const_cast<ZAR_JPEG_COMMAND*>(command), 0, STATUS_SUCCESS};
    ZarJpegSynchronize(ext, ZarJpegCriticalSdlAddHead, &call);
    return 0;
}

ULONG ZarScrubJpegSetNode(PZAR_DEVICE_EXTENSION ext, const ZAR_JPEG_COMMAND* command, ZAR_JPEG_DISPLAY* display)
{
    if (command->Channel >= ZAR_JPEG_CHANNEL_COUNT) return 0;
    ZAR_VIDEO_CHANNEL_STATE& s = ext->Jpeg.Channel[command->Channel].State;
    const ULONG head = s.SdramHead;
    *display = {head, command->FirstFieldSize, command->SecondFieldSize, command->FieldMode, command->FramePosition};
    s.LastAddress[0] = head;
    s.LastAddress[1] = (head + command->FirstFieldSize) % ZAR_JPEG_RING_BLOCKS;
    s.LastSize[0] = command->FirstFieldSize;
    s.LastSize[1] = command->SecondFieldSize;
    const ULONG next = head + command->FirstFieldSize + command->SecondFieldSize;
    s.SdramHead = next % ZAR_JPEG_RING_BLOCKS;
    return next / ZAR_JPEG_RING_BLOCKS;
}

void ZarScrubJpegProcessNode(PZAR_DEVICE_EXTENSION ext, ULONG kind, const ZAR_JPEG_DISPLAY* parts)
{
    if (kind & 0x100) ext->Jpeg.Channel[0].State.Display = parts[0];
    if (kind & 0x200) ext->Jpeg.Channel[1].State.Display = parts[1];
}

NTSTATUS ZarJpegSafeAdvanceSdlHeadAddr(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    auto* request = static_cast<const ZAR_JPEG_SDL_HEAD_REQUEST*>(buffer);
    if (request->Channel >= ZAR_JPEG_CHANNEL_COUNT || request->Parity > 1) return STATUS_UNSUCCESSFUL;
    ZAR_JPEG_FIELD_CALL call{ext, buffer, 0, STATUS_SUCCESS};
    ZarJpegSynchronize(ext, ZarJpegCriticalSetSdlHeadAddr, &call);
    return STATUS_SUCCESS;
}

NTSTATUS ZarJpegGetNextEntry(PZAR_DEVICE_EXTENSION ext, ULONG channel, PVOID descriptor)
{
    if (channel != ZAR_JPEG_RECORD_CHANNEL) return STATUS_INVALID_DEVICE_REQUEST;
    ZAR_JPEG_FIELD_CALL call{ext, descriptor, 0, STATUS_UNSUCCESSFUL};
    ZarJpegSynchronize(ext, ZarJpegCriticalGetNextEntry, &call);
    return call.Status;
}

NTSTATUS ZarJpegReleaseSdramField(PZAR_DEVICE_EXTENSION ext, const ULONG* field)
{
    if (field[0] > 1) return STATUS_UNSUCCESSFUL;
    ZAR_JPEG_FIELD_CALL call{ext, const_cast<ULONG*>(field), 0, STATUS_SUCCESS};
    ZarJpegSynchronize(ext, ZarJpegCriticalReleaseSdramField, &call);
    return STATUS_SUCCESS;
}

NTSTATUS ZarJpegAviAudioRecCopy(PZAR_DEVICE_EXTENSION ext, ZAR_VIDEO_CHANNEL_STATE* state,
                                const ZAR_JPEG_FIELD_DESCRIPTOR* descriptor)
{
    PUCHAR ring = nullptr;
    ULONG bus = 0, size = 0;
    if (!ZarDebiClaimAtDirql(ext) || !NT_SUCCESS(ZarAudRecRing(ext, &ring, &bus, &size)) || size == 0)
        return STATUS_UNSUCCESSFUL;
    const ULONG bytes = state->AudioBytes;
    const ULONG offset = state->AudioReadOffset;
    // The field's audio must be contiguous: the wrapped part is repeated
    // in the spill area behind the ring.
    if (offset + bytes > size) RtlCopyMemory(ring + size, ring, offset + bytes - size);
    ULONG mode = kSdramModeAudio;
    if (descriptor->Position & 1) mode |= kSdramModeParity;
    ZarDebiPioWrite(ext, ZAR_REG_SDRAM_MODE, mode);
    ZarDebiPioWrite(ext, ZAR_REG_SDRAM_BLOCK, descriptor->Address);
    WRITE_REGISTER_ULONG(ZarBridgeRegister(ext, ZAR_BRIDGE_DEBI_PAGE), 0);
    WRITE_REGISTER_ULONG(ZarBridgeRegister(ext, ZAR_BRIDGE_DEBI_AD), bus + offset);
    WRITE_REGISTER_ULONG(ZarBridgeRegister(ext, ZAR_BRIDGE_DEBI_CONFIG), kDebiConfigValue);
    WRITE_REGISTER_ULONG(ZarBridgeRegister(ext, ZAR_BRIDGE_DEBI_COMMAND),
                         (((bytes + 15) & ~15u) << 17) ^ ZAR_REG_SDRAM_WINDOW);
    WRITE_REGISTER_ULONG(ZarBridgeRegister(ext, ZAR_BRIDGE_MC2), ZAR_MC2_UPLOAD_DEBI);
    state->AudioReadOffset = (offset + bytes) % size;
    return STATUS_SUCCESS;
}

void ZarPlyJpegProcessNode(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_JPEG_STATE& j = ext->Jpeg;
    for (ULONG c = 0; c < ZAR_JPEG_CHANNEL_COUNT; ++c)
        if (j.Channel[c].State.StateWord == ZAR_VIDEO_HOLD && NT_SUCCESS(ZarJpegProcessCountCheck(ext, c)))
            ZarJpegSetDisplayBuffer(ext, c);
    if (j.Channel[0].State.RenderFlag) ZarJpegRenderStep(ext);
    if (j.Channel[0].State.StateWord == ZAR_VIDEO_RECORD) ZarJpegRecordStep(ext);
    for (ULONG c = 0; c < ZAR_JPEG_CHANNEL_COUNT; ++c)
        if (j.Channel[c].State.StateWord == ZAR_VIDEO_PLAY) ZarJpegPlayStep(ext, c);
}
