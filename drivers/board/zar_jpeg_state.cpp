// JPEG video channel states: requests and how they take effect field by
// field, the pre- and post-process hooks of the interrupt routine, the start
// of the modules that follow a playing channel, the render hand-over, and
// the channel's playlist initialisation and stop.
//
// State words are written at device level only: by the hooks, or by the
// Critical routines synchronised with the interrupt. The events a caller
// waits on are signalled by the VBI DPC (the hooks arm the channel's field
// signals); they live in the module's state, so a late signal never reaches
// a caller's stack.

#include "zar_audio.h"
#include "zar_board_regs.h"
#include "zar_boardsetup.h"
#include "zar_bridge.h"
#include "zar_debi.h"
#include "zar_dpc.h"
#include "zar_extension.h"
#include "zar_isr.h"
#include "zar_jpeg.h"
#include "zar_playlist.h"

namespace {

constexpr ULONG kPathMeasure = 0x1;
constexpr ULONG kCodecControlBits = 0x3;
constexpr ULONG kStateCountdownFields = 12;
constexpr LONGLONG kStateWait = -5000000LL;   // 500 ms, 100 ns units
constexpr ULONG kFieldPairCadence = 10;
constexpr LONG kCadence[kFieldPairCadence] = {1, 1, 1, 1, 1, -1, 3, -1, 3, -1};
constexpr ULONG kModeRecord = 64;
constexpr ULONG kModeMeasure = 65;
constexpr ULONG kModeRenderRecord = 67;
constexpr ULONG kHdcamOption = 2;

// Start-mask bits in the order the following modules are started.
struct ZAR_JPEG_FOLLOWER {
    ULONG Bit;
    ULONG Module;
};
constexpr ULONG kAudioPlayBit = 0x80;
constexpr ZAR_JPEG_FOLLOWER kFollowers[] = {
    {0x100, ZAR_PLY_MODULE_PROC_AMP0}, {0x200, ZAR_PLY_MODULE_PROC_AMP1}, {0x8, ZAR_PLY_MODULE_MIXER},
    {0x1, ZAR_PLY_MODULE_DVE},         {0x2, ZAR_PLY_MODULE_GFX0},        {0x4, ZAR_PLY_MODULE_GFX1},
    {kAudioPlayBit, ZAR_PLY_MODULE_AUDIO_PLAY},
};

PZAR_PLAY_STATE ZarJpegPlayState(ZAR_JPEG_CHANNEL& ch) { return reinterpret_cast<PZAR_PLAY_STATE>(&ch.State); }

bool ZarJpegHdcamMode(PZAR_DEVICE_EXTENSION ext) { return ext->Hdcam24FpsMode == kHdcamOption; }

// A request took effect: the waiting caller is released by the VBI DPC.
void ZarJpegRequestDone(PZAR_DEVICE_EXTENSION ext, ZAR_JPEG_CHANNEL& ch)
{
    ch.State.RequestPending = 0;
    ch.State.StateChangeDone = 1;
    ZarArmFieldSignal(ext, ch.FieldSlotState);
}

// Mode 0: stop showing; the idle and hold states decode.
void ZarJpegEnterState(PZAR_DEVICE_EXTENSION ext, ULONG c, LONG state, BOOLEAN realtime)
{
    ext->Jpeg.Channel[c].State.StateWord = state;
    ZarJpegEnableRealtimeMode(ext, c, realtime);
    ZarJpegSetVideoDirection(ext, c, ZAR_JPEG_DECODE);
}

void ZarJpegWritePathMeasure(PZAR_DEVICE_EXTENSION ext)
{
    ext->Jpeg.PathControl |= kPathMeasure;
    ZarDebiPioWrite(ext, ZAR_REG_PATH_CONTROL, ext->Jpeg.PathControl);
}

void ZarJpegSetCodecControlBits(PZAR_DEVICE_EXTENSION ext)
{
    ext->DebiShadow5474 |= kCodecControlBits;
    ZarDebiPioWrite(ext, ZAR_REG_INPUT_CONTROL, ext->DebiShadow5474);
}

// The waited command's event goes to the VBI DPC, if a caller still waits.
void ZarJpegHandOverCompletion(PZAR_DEVICE_EXTENSION ext, ZAR_JPEG_CHANNEL& ch)
{
    if (ch.State.CompletionEvent == 0) return;
    ch.State.CompletionEvent = 0;
    ZarArmFieldSignal(ext, ch.FieldSlotCommand);
}

void ZarJpegEndRecord(PZAR_DEVICE_EXTENSION ext, ULONG c)
{
    ZAR_JPEG_CHANNEL& ch = ext->Jpeg.Channel[c];
    ch.State.StateWord = ZAR_VIDEO_IDLE;
    if (ZarJpegHdcamMode(ext)) ch.State.Position = ch.State.SecondPosition;
    ZarJpegEnableRealtimeMode(ext, c, FALSE);
    ZarJpegHandOverCompletion(ext, ch);
}

void ZarJpegStartRecordState(PZAR_DEVICE_EXTENSION ext, ZAR_JPEG_CHANNEL& ch)
{
    ch.State.StateWord = ZAR_VIDEO_RECORD;
    ZarJpegPlaylistInit(ext, ZAR_JPEG_RECORD_CHANNEL);
    ZarJpegEnableRealtimeMode(ext, 0, TRUE);
    ch.State.Pass = 0;
    ch.State.Position = ch.State.LoopStart;
    ch.State.SecondPosition = ch.State.LoopStart;
    ZarJpegSetVideoDirection(ext, 0, ZAR_JPEG_ENCODE);
    ext->Jpeg.ClockDiscontinuity = 0;
}

void ZarJpegVbiRecordStart(PZAR_DEVICE_EXTENSION ext, ZAR_JPEG_CHANNEL& ch)
{
    ZAR_VIDEO_CHANNEL_STATE& s = ch.State;
    const bool parity1 = s.Parity == 1;
    // The path measures the input for a whole field before the first quantiser.
    if (!(ext->Jpeg.PathControl & kPathMeasure) && parity1) {
        ZarJpegWritePathMeasure(ext);
        return;
    }
    ZarJpegWritePathMeasure(ext);
    bool forced = false;
    if (s.Countdown != 0 && --s.Countdown == 0) forced = true;
    if (ZarJpegHdcamMode(ext) && ext->Jpeg.OptionHold && !forced) return;
    if ((parity1 || forced) && s.AudioLead == 0) {
        ZarJpegStartRecordState(ext, ch);
        ZarJpegRequestDone(ext, ch);
        return;
    }
    if (!parity1 || forced) {
        if (s.RecordWithAudio) {
            s.RecordWithAudio = 0;
            const ULONG start[4] = {kModeRecord, 0, s.LoopStart, s.EndPosition};
            ZarAudRecDmaStartDevice(ext, start);
        }
        if (!parity1 && s.AudioLead != 0) --s.AudioLead;
    }
}

// The frame a holding channel shows: the last played frame when it is to be
// shown whole, else its parity-1 field on both parities.
void ZarJpegChooseHoldDisplay(ZAR_VIDEO_CHANNEL_STATE& s)
{
    if (s.HoldShowsFrame && s.LastAddress[0] != s.LastAddress[1])
        s.Display = {s.LastAddress[0], s.LastSize[0], s.LastSize[1], 0, s.DisplayedPosition & ~1u};
    else
        s.Display = {s.LastAddress[1], 0, s.LastSize[1], 2, s.DisplayedPosition & ~1u};
}

void ZarJpegEnterHold(PZAR_DEVICE_EXTENSION ext, ULONG c)
{
    ZAR_VIDEO_CHANNEL_STATE& s = ext->Jpeg.Channel[c].State;
    s.StateWord = ZAR_VIDEO_HOLD;
    s.SdramHead = (s.LastAddress[1] + s.LastSize[1]) % ZAR_JPEG_RING_BLOCKS;
    ZarJpegSetDisplayBuffer(ext, c);
}

void ZarJpegPostPlay(PZAR_DEVICE_EXTENSION ext, ULONG c)
{
    ZAR_JPEG_CHANNEL& ch = ext->Jpeg.Channel[c];
    ZAR_VIDEO_CHANNEL_STATE& s = ch.State;
    const bool parity1 = s.Parity == 1;
    const bool stopNow = s.StopRequest && parity1;

    if (s.RenderFlag) {
        if (c == 0) {
            // The render's play half ends after the frames it shows.
            const ULONG last = (s.RenderSource || s.RenderWord[1]) ? 3 : 1;
            if (s.Position == last) {
                s.StateWord = ZAR_VIDEO_RENDER_HANDOVER;
                s.Position = 0;
                s.HoldRequest = 1;
                return;
            }
        } else if (s.Position >= s.EndPosition) {
            s.StateWord = ZAR_VIDEO_HOLD;
        }
    }

    if (s.VariPlay) {
        if (!ZarVariPlayIsMapped(ext, c) || stopNow) s.HoldRequest = 1;
        if (!s.HoldRequest) return;
        s.DisplayedPosition = s.Position;
        s.Display = {s.LastAddress[1], 0, s.LastSize[1], 2, s.Position & ~1u};
        ZarJpegEnterHold(ext, c);
        return;
    }

    if (s.Position >= s.EndPosition || stopNow) {
        s.HoldRequest = 1;
    } else if (!s.HoldRequest) {
        if (s.PullDown) {
            s.Position = ULONG(LONG(s.Position) + kCadence[s.Cadence]);
            s.Cadence = (s.Cadence + 1) % kFieldPairCadence;
        } else if (!s.Held) {
            s.Position = ((s.Position + 1) & ~1u) | (s.Parity & 1);
        }
        if (s.Position >= s.EndPosition) ZarPlLoopWrapCheck(ZarJpegPlayState(ch));
    }
    if (s.RenderFlag || !s.HoldRequest) return;
    ZarJpegChooseHoldDisplay(s);
    ZarJpegEnterHold(ext, c);
}

// The render's second half: either a short record of the rendered frames
// or the end of the render.
void ZarJpegPostRenderHandover(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_JPEG_CHANNEL& ch = ext->Jpeg.Channel[0];
    ZAR_VIDEO_CHANNEL_STATE& s = ch.State;
    ++s.Position;
    if (s.RenderWord[0]) {
        if (s.Position != 2) return;
        ZAR_JPEG_COMMAND record = {};
        record.Command = ZAR_JPEG_CMD_RECORD;
        ZarJpegCodecInit(ext, 0, &record);
        s.StateWord = ZAR_VIDEO_RECORD;
        s.ModeWord = kModeRenderRecord;
        s.Position = 0;
        s.LoopStart = 0;
        s.EndPosition = 4;
        s.RecordWithAudio = 0;
        s.AudioBlocks = 0;
        s.AudioBytes = 0;
        ZarJpegEnableRealtimeMode(ext, 0, TRUE);
        ZarJpegSetVideoDirection(ext, 0, ZAR_JPEG_ENCODE);
        ZarJpegPlaylistInit(ext, ZAR_JPEG_RECORD_CHANNEL);
        return;
    }
    const ULONG end = (s.RenderWord[2] && !s.RenderWord[1]) ? 4 : 2;
    if (s.Position != end) return;
    s.StateWord = ZAR_VIDEO_IDLE;
    s.RenderFlag = 0;
    ZarJpegHandOverCompletion(ext, ch);
}

void ZarJpegPostRecord(PZAR_DEVICE_EXTENSION ext, ULONG c)
{
    ZAR_JPEG_CHANNEL& ch = ext->Jpeg.Channel[c];
    ZAR_VIDEO_CHANNEL_STATE& s = ch.State;
    ++s.Position;
    if (ZarJpegHdcamMode(ext) && !ext->Jpeg.OptionHold) ++s.SecondPosition;
    if (s.StopRequest) {
        ZarJpegEndRecord(ext, c);
        return;
    }
    if (s.EndPosition == ZAR_JPEG_NO_OUT_POINT) return;
    switch (s.ModeWord) {
    case kModeRecord: {
        const ULONG position = ZarJpegHdcamMode(ext) ? s.SecondPosition : s.Position;
        if (position >= s.EndPosition + 3) {
            ZarJpegEndRecord(ext, c);
            if (ch.Rate.Mode == ZAR_JPEG_RATE_FROM_FIELD_COUNT) ZarJpegSetCodecControlBits(ext);
        }
        break;
    }
    case kModeRenderRecord: {
        const ULONG offset = s.RenderSource ? 2 : 0;
        if (s.Position == 3 + offset) ZarJpegEnableRealtimeMode(ext, 0, FALSE);
        if (s.Position == 4 + offset) {
            ZarJpegEndRecord(ext, c);
            s.RenderFlag = 0;
        }
        break;
    }
    case kModeMeasure:
        if (ch.Rate.Keep[0] && ch.Rate.Keep[1]) ZarJpegEndRecord(ext, c);
        break;
    default:
        break;
    }
}

struct ZAR_JPEG_REQUEST {
    PZAR_DEVICE_EXTENSION Ext;
    ULONG Channel;
    ULONG State;
};

// Withdraws an earlier request of the addressed channels and drops the
// state signal armed for it, so that nothing of it can release the next
// request's waiter.
BOOLEAN ZarJpegCriticalWithdrawRequest(PVOID context)
{
    auto* r = static_cast<ZAR_JPEG_REQUEST*>(context);
    ZAR_JPEG_STATE& j = r->Ext->Jpeg;
    for (ULONG c = 0; c < ZAR_JPEG_CHANNEL_COUNT; ++c)
        if (r->Channel == c || r->Channel == 2) j.Channel[c].State.RequestPending = 0;
    InterlockedExchange(&r->Ext->FieldSignal[j.Channel[r->Channel == 2 ? 0 : r->Channel].FieldSlotState].Armed, 0);
    return TRUE;
}

BOOLEAN ZarJpegCriticalRequestStateChange(PVOID context)
{
    auto* r = static_cast<ZAR_JPEG_REQUEST*>(context);
    for (ULONG c = 0; c < ZAR_JPEG_CHANNEL_COUNT; ++c) {
        if (r->Channel != c && r->Channel != 2) continue;
        ZAR_VIDEO_CHANNEL_STATE& s = r->Ext->Jpeg.Channel[c].State;
        // Idle is asked for through the pending-idle state the interrupt routine sees.
        if (r->State == ULONG(ZAR_VIDEO_IDLE)) s.StateWord = ZAR_VIDEO_PENDING_IDLE;
        s.RequestedState = r->State;
        s.StateChangeDone = 0;
        s.Countdown = kStateCountdownFields;
        s.RequestPending = 1;
    }
    return TRUE;
}

BOOLEAN ZarJpegCriticalPlaylistStop(PVOID context)
{
    auto* r = static_cast<ZAR_JPEG_REQUEST*>(context);
    for (ULONG c = 0; c < ZAR_JPEG_CHANNEL_COUNT; ++c) {
        if (r->Channel != c && r->Channel != 2) continue;
        ZAR_VIDEO_CHANNEL_STATE& s = r->Ext->Jpeg.Channel[c].State;
        s.StopRequest = 1;
        if (s.StateWord == ZAR_VIDEO_HOLD || s.StateWord == ZAR_VIDEO_STOPPED) s.HoldRequest = 1;
    }
    return TRUE;
}

struct ZAR_JPEG_QUERY {
    PZAR_DEVICE_EXTENSION Ext;
    ZAR_CHANNEL_STATUS* Status;
};

BOOLEAN ZarJpegCriticalPlaylistQuery(PVOID context)
{
    auto* q = static_cast<ZAR_JPEG_QUERY*>(context);
    ZarPlyCriticalQueryChannelStatus(q->Ext, q->Status);
    return TRUE;
}

}  // namespace

ULONG ZarJpegGetState(PZAR_DEVICE_EXTENSION ext, ULONG channel)
{
    return channel < ZAR_JPEG_CHANNEL_COUNT ? ULONG(ext->Jpeg.Channel[channel].State.StateWord) : 0;
}

ULONG ZarJpegSafeRequestStateChange(PZAR_DEVICE_EXTENSION ext, ULONG channel, ULONG state)
{
    ZAR_JPEG_REQUEST r{ext, channel, state};
    ZarJpegSynchronize(ext, ZarJpegCriticalRequestStateChange, &r);
    return 0;
}

NTSTATUS ZarJpegSetState(PZAR_DEVICE_EXTENSION ext, ULONG channel, ULONG state)
{
    if (channel > 2) return STATUS_UNSUCCESSFUL;
    ZAR_JPEG_STATE& j = ext->Jpeg;
    auto addressed = [channel](ULONG c) { return channel == c || channel == 2; };
    // Idle is always asked for: it also ends a pending idle.
    bool already = state != ULONG(ZAR_VIDEO_IDLE);
    for (ULONG c = 0; c < ZAR_JPEG_CHANNEL_COUNT; ++c)
        if (addressed(c) && ULONG(j.Channel[c].State.StateWord) != state) already = false;
    if (already) return STATUS_SUCCESS;

    if (!(ext->InterruptEnable & ZAR_INT_FIELD)) ZarSetIntMode(ext, ZAR_INT_FIELD, TRUE);
    ZAR_JPEG_CHANNEL& waited = j.Channel[channel == 2 ? 0 : channel];
    // An earlier request's signal, armed but not yet delivered, would
    // release this waiter before its own change.
    ZAR_JPEG_REQUEST withdraw{ext, channel, state};
    ZarJpegSynchronize(ext, ZarJpegCriticalWithdrawRequest, &withdraw);
    if (KeGetCurrentIrql() < DISPATCH_LEVEL) KeFlushQueuedDpcs();
    KeClearEvent(&waited.StateEvent);
    // The interrupt routine counts a pending request down: the count is
    // restarted with the request, under the same synchronisation.
    ZarJpegSafeRequestStateChange(ext, channel, state);

    if (KeGetCurrentIrql() >= DISPATCH_LEVEL) return STATUS_SUCCESS;
    LARGE_INTEGER timeout;
    timeout.QuadPart = kStateWait;
    NTSTATUS status = KeWaitForSingleObject(&waited.StateEvent, Executive, KernelMode, FALSE, &timeout);
    if (status == STATUS_TIMEOUT) return STATUS_TIMEOUT;
    if (state == ULONG(ZAR_VIDEO_IDLE)) ZarDcIoSynchronizeExecution(ext, 2);
    return STATUS_SUCCESS;
}

void ZarJpegVbiStateChange(PZAR_DEVICE_EXTENSION ext, ULONG channel)
{
    ZAR_JPEG_CHANNEL& ch = ext->Jpeg.Channel[channel];
    ZAR_VIDEO_CHANNEL_STATE& s = ch.State;
    const bool parity1 = s.Parity == 1;
    switch (s.RequestedState) {
    case ZAR_VIDEO_STOPPED:
        if (!parity1) return;
        ZarJpegEnterState(ext, channel, ZAR_VIDEO_STOPPED, FALSE);
        break;
    case ZAR_VIDEO_IDLE:
        ZarJpegEnterState(ext, channel, ZAR_VIDEO_IDLE, FALSE);
        s.RenderFlag = 0;
        s.VariPlay = 0;
        break;
    case ZAR_VIDEO_HOLD:
        if (!parity1) return;
        ZarJpegEnterState(ext, channel, ZAR_VIDEO_HOLD, TRUE);
        break;
    case ZAR_VIDEO_PLAY:
    case ZAR_VIDEO_PLAY_VARI:
    case ZAR_VIDEO_RENDER:
        if (!parity1) return;
        ZarJpegEnterState(ext, channel, ZAR_VIDEO_PLAY, TRUE);
        s.RenderFlag = s.RequestedState == ULONG(ZAR_VIDEO_RENDER);
        s.DisplayPending = 1;
        s.Cadence = 0;
        s.VariPlay = s.RequestedState == ULONG(ZAR_VIDEO_PLAY_VARI);
        s.Pass = 0;
        s.Position = s.StartPosition;
        s.SelfTimed = 1;
        ZarJpegSlavePlayStartup(ext, channel);
        break;
    case ZAR_VIDEO_RECORD:
        if (channel == 0) ZarJpegVbiRecordStart(ext, ch);
        return;
    default:
        return;
    }
    ZarJpegRequestDone(ext, ch);
}

NTSTATUS ZarJpegSlavePlayStartup(PZAR_DEVICE_EXTENSION ext, ULONG channel)
{
    if (channel >= ZAR_JPEG_CHANNEL_COUNT) return STATUS_UNSUCCESSFUL;
    ZAR_VIDEO_CHANNEL_STATE& s = ext->Jpeg.Channel[channel].State;
    ZAR_PLAY_COMMAND play = {};
    play.Command = ZAR_PLAY_START;
    play.Master = channel;
    play.Start = s.StartPosition;
    play.LoopStart = s.LoopStart;
    play.End = s.EndPosition;
    for (const ZAR_JPEG_FOLLOWER& f : kFollowers) {
        if (!(s.StartMask & f.Bit)) continue;
        s.StartMask &= ~f.Bit;
        if (f.Bit == kAudioPlayBit) {
            ZarAudFollowVideo(ext, &play, s.AudioCommand);
            continue;
        }
        PZAR_PLY_MODULE_STATE module = ZarPlyModuleState(ext, f.Module);
        if (module != nullptr) ZarPlyCriticalRequestStateChange(module, &play);
    }
    return STATUS_SUCCESS;
}

void ZarJpegPlaylistInit(PZAR_DEVICE_EXTENSION ext, ULONG channel)
{
    if (channel != ZAR_JPEG_RECORD_CHANNEL && channel != ZAR_FX_CHANNEL_VIDEO0 && channel != ZAR_FX_CHANNEL_VIDEO1)
        return;
    ZAR_JPEG_CHANNEL& ch = ext->Jpeg.Channel[channel == ZAR_FX_CHANNEL_VIDEO1 ? 1 : 0];
    ZAR_VIDEO_CHANNEL_STATE& s = ch.State;
    s.StopRequest = 0;
    s.HoldRequest = 0;
    s.DroppedFields = 0;
    s.OverflowOrRepeat = 0;
    s.RecordAddress[0] = 0;
    s.RecordAddress[1] = 0;
    s.ErrorFlag = 0;
    s.ErrorInCountdown = 0;
    s.Word92 = 0;
    if (channel == ZAR_JPEG_RECORD_CHANNEL) {
        ch.PreparedCount = 0;
        ch.PreviousDescriptor = -1;
        ch.LastDescriptor = -1;
    }
    PZAR_NODE_QUEUE queue = ZarPlyNodeQueue(ext, channel);
    if (queue != nullptr) ZarPlyNodeQueueInitialize(queue);
}

void ZarPlyJpegPreProcessNode(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_JPEG_STATE& j = ext->Jpeg;
    j.CodecControlAtField = j.CodecControl;
    const ULONG parity = ZarJpegHdcamMode(ext) ? j.OptionParity : ext->FieldParity;
    for (ZAR_JPEG_CHANNEL& ch : j.Channel) ch.State.Parity = parity;
    for (ULONG c = 0; c < ZAR_JPEG_CHANNEL_COUNT; ++c)
        if (j.Channel[c].State.RequestPending) ZarJpegVbiStateChange(ext, c);
    for (ULONG c = 0; c < ZAR_JPEG_CHANNEL_COUNT; ++c) {
        ZAR_JPEG_CHANNEL& ch = j.Channel[c];
        ZAR_VIDEO_CHANNEL_STATE& s = ch.State;
        if (s.StateWord == ZAR_VIDEO_PLAY && s.VariPlay && ZarVariPlayIsMapped(ext, c) &&
            ZarVariPlayTakeStart(ext, c))
            s.Position = ZarVariPlayUpdatePosition(ext, c);
        if (s.StateWord == ZAR_VIDEO_PLAY)
            ZarPlyUpdatePlayPosition(ZarJpegPlayState(ch));
        else if (s.StateWord == ZAR_VIDEO_RECORD)
            s.ReportedPosition[3] = s.Position < s.EndPosition - 1 ? s.Position : s.EndPosition - 1;
    }
}

void ZarPlyJpegPostProcessNode(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_JPEG_STATE& j = ext->Jpeg;
    if (ZarJpegHdcamMode(ext)) {
        // Without the option driver's register callback both flags read set.
        j.OptionHold = 1;
        j.OptionParity = 1;
    }
    for (ULONG c = 0; c < ZAR_JPEG_CHANNEL_COUNT; ++c) {
        switch (j.Channel[c].State.StateWord) {
        case ZAR_VIDEO_RECORD: ZarJpegPostRecord(ext, c); break;
        case ZAR_VIDEO_RENDER_HANDOVER:
            if (c == 0) ZarJpegPostRenderHandover(ext);
            break;
        case ZAR_VIDEO_PLAY: ZarJpegPostPlay(ext, c); break;
        default: break;
        }
    }
}

NTSTATUS ZarJpegSafePlaylistStop(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ZAR_JPEG_REQUEST r{ext, *static_cast<const ULONG*>(buffer), 0};
    ZarJpegSynchronize(ext, ZarJpegCriticalPlaylistStop, &r);
    return STATUS_SUCCESS;
}

NTSTATUS ZarJpegSafePlaylistQuery(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ZAR_JPEG_QUERY q{ext, static_cast<ZAR_CHANNEL_STATUS*>(buffer)};
    ZarJpegSynchronize(ext, ZarJpegCriticalPlaylistQuery, &q);
    return STATUS_SUCCESS;
}
