// JPEG commands: the dispatch of ZAR_JPEG_COMMAND (initialise, reset, hold,
// frames at the head, play, record, render) with its optional wait for the
// channel to report the command done, the error reset, and the play-status
// block that reads back any module's state.
//
// A waited command registers the channel's completion before it runs; the
// interrupt routine hands it to the VBI DPC when the record or render ends.
// A wait that times out takes the registration back synchronised with the
// interrupt, so no later field signals it for the next command.

#include "zar_audio.h"
#include "zar_board_regs.h"
#include "zar_boardsetup.h"
#include "zar_debi.h"
#include "zar_extension.h"
#include "zar_gfx.h"
#include "zar_jpeg.h"
#include "zar_playlist.h"
#include "zar_scrub.h"
#include "zar_vin.h"

namespace {

constexpr LONGLONG kCommandWait = -10000000LL;   // 1 s, 100 ns units
constexpr ULONG kScrubKind[ZAR_JPEG_CHANNEL_COUNT] = {0x100, 0x200};
constexpr ULONG kPassiveAudio = 0x80;
constexpr ULONG kPlayAudioBlocks = 8;
constexpr ULONG kRecordAudioBlocks = 8;
constexpr ULONG kRecordAudioBytes = 2940;
constexpr ULONG kModeRecord = 64;
constexpr ULONG kModeMeasure = 65;
constexpr ULONG kRateCorrected = 2;
constexpr ULONG kRateControlled = 1;
constexpr ULONG kPathMeasure = 0x1;
constexpr ULONG kRenderScrubSteps = 8;
constexpr ULONG kLeadInputModes[] = {7, 8};
constexpr ULONG kStatusBytes = sizeof(ZAR_PLAYLIST_STATUS::State);
constexpr ULONG kAudioStateBytes = 192;
constexpr ULONG kAudioStateWord = 52;
constexpr ULONG kModuleStateBytes = 80;
constexpr ULONG kDveStateBytes = 92;
constexpr ULONG kAudioFxOverlay = 64;

struct ZAR_JPEG_WAIT {
    PZAR_DEVICE_EXTENSION Ext;
    ULONG Channel;
    BOOLEAN Register;
};

BOOLEAN ZarJpegCriticalSetCompletion(PVOID context)
{
    auto* w = static_cast<ZAR_JPEG_WAIT*>(context);
    ZAR_JPEG_CHANNEL& ch = w->Ext->Jpeg.Channel[w->Channel];
    ch.State.CompletionEvent = w->Register ? 1 : 0;
    InterlockedExchange(&w->Ext->FieldSignal[ch.FieldSlotCommand].Armed, 0);
    KeClearEvent(&ch.CommandEvent);
    return TRUE;
}

void ZarJpegSetCompletion(PZAR_DEVICE_EXTENSION ext, ULONG channel, BOOLEAN registered)
{
    ZAR_JPEG_WAIT w{ext, channel, registered};
    ZarJpegSynchronize(ext, ZarJpegCriticalSetCompletion, &w);
}

bool ZarJpegAddressed(ULONG channel, ULONG c) { return channel == c || channel == 2; }

void ZarJpegInitCodecs(PZAR_DEVICE_EXTENSION ext, ULONG channel, const ZAR_JPEG_COMMAND* command)
{
    for (ULONG c = 0; c < ZAR_JPEG_CHANNEL_COUNT; ++c)
        if (ZarJpegAddressed(channel, c)) ZarJpegCodecInit(ext, c, command);
}

NTSTATUS ZarJpegResetBoth(PZAR_DEVICE_EXTENSION ext, const ZAR_JPEG_COMMAND* command)
{
    NTSTATUS status = ZarJpegSetState(ext, 2, ZAR_VIDEO_IDLE);
    ZarJpegReset(ext);
    ZarJpegCodecInit(ext, 0, command);
    ZarJpegCodecInit(ext, 1, command);
    return status;
}

NTSTATUS ZarJpegPlaySetup(PZAR_DEVICE_EXTENSION ext, const ZAR_JPEG_COMMAND* command, ULONG state)
{
    for (ULONG c = 0; c < ZAR_JPEG_CHANNEL_COUNT; ++c) {
        if (!ZarJpegAddressed(command->Channel, c)) continue;
        ZAR_VIDEO_CHANNEL_STATE& s = ext->Jpeg.Channel[c].State;
        s.StartPosition = command->Start;
        s.LoopStart = command->LoopStart;
        s.EndPosition = command->End;
        s.Loop = command->Loop;
        s.HoldShowsFrame = command->HoldShowsFrame;
        s.PullDown = command->PullDown;
        s.StartMask = command->Flags;
        if (command->Flags & kPassiveAudio) {
            RtlCopyMemory(s.AudioCommand, command->AudioCommand, sizeof(s.AudioCommand));
            ZarAudPreparePassiveStart(ext, s.AudioCommand);
        }
        s.AudioBlocks = command->Command == ZAR_JPEG_CMD_PLAY_AUDIO ? kPlayAudioBlocks : 0;
    }
    return ZarJpegSetState(ext, command->Channel, state);
}

struct ZAR_JPEG_RATE_CALL {
    PZAR_DEVICE_EXTENSION Ext;
    const ZAR_JPEG_COMMAND* Command;
};

BOOLEAN ZarJpegCriticalSetBitRateControl(PVOID context)
{
    auto* call = static_cast<ZAR_JPEG_RATE_CALL*>(context);
    ZarJpegCommandSetBitRateControl(call->Ext, 0, call->Command);
    return TRUE;
}

// Channel 0's rate settings, which the interrupt routine reads every field.
void ZarJpegSafeSetBitRateControl(PZAR_DEVICE_EXTENSION ext, const ZAR_JPEG_COMMAND* command)
{
    ZAR_JPEG_RATE_CALL call{ext, command};
    ZarJpegSynchronize(ext, ZarJpegCriticalSetBitRateControl, &call);
}

NTSTATUS ZarJpegRecord(PZAR_DEVICE_EXTENSION ext, const ZAR_JPEG_COMMAND* command)
{
    if (command->Command == ZAR_JPEG_CMD_RECORD_AUDIO) {
        // Each field's audio comes from the audio record ring; a record
        // without it would put stale board memory out as audio.
        PUCHAR ring = nullptr;
        ULONG bus = 0, size = 0;
        NTSTATUS status = ZarAudRecRing(ext, &ring, &bus, &size);
        if (!NT_SUCCESS(status)) return status;
    }
    ZarJpegSetState(ext, 0, ZAR_VIDEO_IDLE);
    ZarJpegCodecInit(ext, 0, command);
    if (command->End != ZAR_JPEG_NO_OUT_POINT) {
        NTSTATUS status = ZarPlyIsValidInOutPoint(LONG(command->LoopStart), LONG(command->End));
        if (!NT_SUCCESS(status)) return status;
    }
    ZAR_VIDEO_CHANNEL_STATE& s = ext->Jpeg.Channel[0].State;
    const bool measure = command->Command == ZAR_JPEG_CMD_RECORD_MEASURE;
    s.LoopStart = command->LoopStart;
    s.EndPosition = command->End;
    s.NoRoomAccounting = command->NoRoomAccounting;
    s.RecordWithAudio = measure ? 0 : command->RecordWithAudio;
    s.AudioLead = 0;
    if (s.RecordWithAudio) {
        const ULONG mode = ZarVinGetInputMode(ext);
        s.AudioLead = (mode == kLeadInputModes[0] || mode == kLeadInputModes[1]) ? 2 : 1;
    }
    ZAR_JPEG_COMMAND rate = *command;
    if (measure && rate.RateMode == kRateCorrected) rate.RateMode = kRateControlled;
    ZarJpegSafeSetBitRateControl(ext, &rate);
    s.ModeWord = measure ? kModeMeasure : kModeRecord;
    const bool audio = command->Command == ZAR_JPEG_CMD_RECORD_AUDIO;
    s.AudioBlocks = audio ? kRecordAudioBlocks : 0;
    s.AudioBytes = audio ? kRecordAudioBytes : 0;
    return ZarJpegSetState(ext, 0, ZAR_VIDEO_RECORD);
}

NTSTATUS ZarJpegRender(PZAR_DEVICE_EXTENSION ext, const ZAR_JPEG_COMMAND* command)
{
    if (command->Channel == 1 || command->LoopStart != 0 || command->Start != 0) return STATUS_UNSUCCESSFUL;
    ULONG buffer;
    switch (command->RenderBuffer) {
    case 0: buffer = ZarGfxGetReadMode(ext, 1) == 1 ? 1 : 2; break;
    case 1: buffer = 2; break;
    case 2: buffer = 1; break;
    default: return STATUS_UNSUCCESSFUL;
    }
    // Graphics store B shows the buffer the render writes; without it
    // nothing of the render starts.
    NTSTATUS status = ZarGfxSetReadMode(ext, 1, buffer);
    if (!NT_SUCCESS(status)) return status;
    for (ULONG step = 0; step < kRenderScrubSteps && !ZarScrubListIsEmpty(ext); ++step)
        ZarDcIoSynchronizeExecution(ext, 2);
    ext->Jpeg.PathControl |= kPathMeasure;
    ZarDebiPioWrite(ext, ZAR_REG_PATH_CONTROL, ext->Jpeg.PathControl);
    ZarVinSetInputMode(ext, command->VideoInputMode, 0);

    ZAR_VIDEO_CHANNEL_STATE& s = ext->Jpeg.Channel[0].State;
    s.RenderWord[0] = command->RenderRecord;
    s.RenderWord[1] = command->RenderWord164;
    s.RenderWord[2] = command->RenderWord160;
    s.RenderSource = command->RenderSource;
    s.RenderBuffer = command->RenderBuffer;
    ZarJpegSafeSetBitRateControl(ext, command);
    return ZarJpegPlaySetup(ext, command, ZAR_VIDEO_RENDER);
}

NTSTATUS ZarJpegDispatch(PZAR_DEVICE_EXTENSION ext, ZAR_JPEG_COMMAND* command)
{
    const ULONG channel = command->Channel;
    switch (command->Command) {
    case ZAR_JPEG_CMD_INIT: {
        ZarJpegSetState(ext, channel, ZAR_VIDEO_IDLE);
        ZarJpegInitCodecs(ext, channel, command);
        return ZarJpegSetState(ext, channel, ZAR_VIDEO_STOPPED);
    }
    case ZAR_JPEG_CMD_RESET: return ZarJpegResetBoth(ext, command);
    case ZAR_JPEG_CMD_HOLD: return ZarJpegSetState(ext, channel, ZAR_VIDEO_HOLD);
    case ZAR_JPEG_CMD_SCRUB_FRAME:
        if (channel < ZAR_JPEG_CHANNEL_COUNT && ext->Jpeg.Channel[channel].State.StateWord == ZAR_VIDEO_HOLD)
            return ZarScrubListAddVideoPart(ext, kScrubKind[channel], command);
        [[fallthrough]];
    case ZAR_JPEG_CMD_ADD_FRAME:
        if (channel >= ZAR_JPEG_CHANNEL_COUNT) return STATUS_UNSUCCESSFUL;
        ZarJpegSafeSdlAddHead(ext, command);
        return STATUS_SUCCESS;
    case ZAR_JPEG_CMD_PLAY:
    case ZAR_JPEG_CMD_PLAY_AUDIO: return ZarJpegPlaySetup(ext, command, ZAR_VIDEO_PLAY);
    case ZAR_JPEG_CMD_PLAY_VARI: return ZarJpegPlaySetup(ext, command, ZAR_VIDEO_PLAY_VARI);
    case ZAR_JPEG_CMD_RECORD:
    case ZAR_JPEG_CMD_RECORD_MEASURE:
    case ZAR_JPEG_CMD_RECORD_AUDIO: return ZarJpegRecord(ext, command);
    case ZAR_JPEG_CMD_RENDER: return ZarJpegRender(ext, command);
    case ZAR_JPEG_CMD_IDLE: return ZarJpegSetState(ext, channel, ZAR_VIDEO_IDLE);
    default: return STATUS_SUCCESS;
    }
}

struct ZAR_JPEG_STATUS_CALL {
    PZAR_DEVICE_EXTENSION Ext;
    ZAR_PLAYLIST_STATUS* Block;
    NTSTATUS Status;
};

void ZarJpegCopyModule(UCHAR* to, ULONG module, PZAR_DEVICE_EXTENSION ext, ULONG bytes)
{
    const void* state = ZarPlyModuleState(ext, module);
    if (state != nullptr) RtlCopyMemory(to, state, bytes);
}

BOOLEAN ZarJpegCriticalGetPlaylistStatus(PVOID context)
{
    auto* call = static_cast<ZAR_JPEG_STATUS_CALL*>(context);
    PZAR_DEVICE_EXTENSION ext = call->Ext;
    ZAR_PLAYLIST_STATUS* st = call->Block;
    UCHAR* to = st->State;
    switch (st->Kind) {
    case 1:
    case 9:
        // Index 2 names both channels, which one block cannot hold.
        if (st->Index < ZAR_JPEG_CHANNEL_COUNT)
            RtlCopyMemory(to, &ext->Jpeg.Channel[st->Index].State, sizeof(ZAR_VIDEO_CHANNEL_STATE));
        break;
    case 2: {
        const void* audio = ZarAudGetState(ext);
        if (audio == nullptr) {
            // No audio state is kept yet: the block would pass for one.
            call->Status = STATUS_NOT_IMPLEMENTED;
            break;
        }
        RtlCopyMemory(to, audio, kAudioStateBytes);
        if (ext->Jpeg.Channel[0].State.AudioFollows || ext->Jpeg.Channel[1].State.AudioFollows) {
            const ULONG playing = ZAR_VIDEO_PLAY;
            RtlCopyMemory(to + kAudioStateWord, &playing, sizeof(playing));
        }
        break;
    }
    case 3:
        if (st->Index < 2) ZarJpegCopyModule(to, ZAR_PLY_MODULE_GFX0 + st->Index, ext, kModuleStateBytes);
        break;
    case 4:
    case 5:
    case 6:
    case 7: ZarJpegCopyModule(to, ZAR_PLY_MODULE_MIXER, ext, kModuleStateBytes); break;
    case 8: ZarJpegCopyModule(to, ZAR_PLY_MODULE_DVE, ext, kDveStateBytes); break;
    case 10:
    case 11:
    case 12: {
        PULONG mask = ZarPlyEnableMask(ext, ZAR_PLY_MODULE_AUDIO_FX);
        if (mask != nullptr && (*mask & 1)) {
            ZarJpegCopyModule(to, ZAR_PLY_MODULE_AUDIO_FX, ext, kModuleStateBytes);
        } else {
            RtlZeroMemory(to, kModuleStateBytes);
            const void* audio = ZarAudGetState(ext);
            if (audio != nullptr) RtlCopyMemory(to, audio, kAudioFxOverlay);
        }
        break;
    }
    default: break;
    }
    return TRUE;
}

}  // namespace

NTSTATUS ZarJpegCodecErrorReset(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_JPEG_COMMAND reset = {};
    reset.Command = ZAR_JPEG_CMD_RESET;
    reset.Channel = 2;
    NTSTATUS status = ZarJpegResetBoth(ext, &reset);
    for (ZAR_JPEG_CHANNEL& ch : ext->Jpeg.Channel) {
        ch.State.ErrorFlag = 0;
        ch.State.ErrorInCountdown = 0;
    }
    return status;
}

NTSTATUS ZarJpegCommand(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    auto* command = static_cast<ZAR_JPEG_COMMAND*>(buffer);
    const ULONG channel = command->Channel;
    if (channel > 2) return STATUS_UNSUCCESSFUL;
    bool inError = false;
    for (ULONG c = 0; c < ZAR_JPEG_CHANNEL_COUNT; ++c)
        if (ZarJpegAddressed(channel, c) && ext->Jpeg.Channel[c].State.StateWord < 0) inError = true;
    if (inError) ZarJpegCodecErrorReset(ext);

    const ULONG waited = channel == 2 ? 0 : channel;
    const bool wait = command->Wait != 0;
    if (wait) ZarJpegSetCompletion(ext, waited, TRUE);
    NTSTATUS status = ZarJpegDispatch(ext, command);
    if (!wait) return status;
    if (!NT_SUCCESS(status)) {
        ZarJpegSetCompletion(ext, waited, FALSE);
        return status;
    }
    ZAR_JPEG_CHANNEL& ch = ext->Jpeg.Channel[waited];
    LARGE_INTEGER timeout;
    timeout.QuadPart = kCommandWait;
    if (KeWaitForSingleObject(&ch.CommandEvent, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
        ZarJpegSetCompletion(ext, waited, FALSE);
        return STATUS_IO_TIMEOUT;
    }
    if (command->Command == ZAR_JPEG_CMD_RENDER) {
        command->Target[0] = ext->Jpeg.RenderSample[0];
        command->Target[1] = ext->Jpeg.RenderSample[1];
    }
    command->MeasuredSize[0] = ch.Rate.LastSize[0];
    command->MeasuredSize[1] = ch.Rate.LastSize[1];
    return status;
}

NTSTATUS ZarJpegSafeGetPlaylistStatus(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    static_assert(kStatusBytes == sizeof(ZAR_VIDEO_CHANNEL_STATE));
    ZAR_JPEG_STATUS_CALL call{ext, static_cast<ZAR_PLAYLIST_STATUS*>(buffer), STATUS_SUCCESS};
    ZarJpegSynchronize(ext, ZarJpegCriticalGetPlaylistStatus, &call);
    return call.Status;
}
