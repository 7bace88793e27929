// The board's interrupt: the bridge's enable word and shared-interrupt mask,
// the interrupt routine that runs for every bridge interrupt, and the I2C
// engine's error clean-up.
//
// ZarIsr runs once per field at least, so it does only what must happen at
// device IRQL: it acknowledges the bridge, takes the audio DMA decisions,
// runs the per-field play-list sequence of the modules, polls the board's
// shared line, and queues one DPC per source for everything else. A status
// bit counts only while the enable word enables it: the bridge latches its
// sources whether enabled or not, and a disabled source must not run its
// work (nor lose the bit a polling caller waits for).

#include "zar_audio.h"
#include "zar_board_regs.h"
#include "zar_bridge.h"
#include "zar_brs.h"
#include "zar_debi.h"
#include "zar_dve.h"
#include "zar_extension.h"
#include "zar_gfx.h"
#include "zar_hps.h"
#include "zar_isr.h"
#include "zar_jpeg.h"
#include "zar_mix.h"
#include "zar_scrub.h"
#include "zar_scsi.h"
#include "zar_timecode.h"

namespace {

constexpr ULONG kPsrSharedLineHigh = 0x40;      // clear while a board source asserts the line
constexpr ULONG kPsrFieldParityInverted = 0x100;
constexpr ULONG kSsrAudioFifoError = 0x280;
constexpr ULONG kMc1CaptureRunning = 0x40;

constexpr ULONG kAudioRecording = 64;


// The per-field hooks of the seven play-list modules, in their fixed order:
// every pre-process hook, then every process hook, then every post-process hook.
struct ZAR_FIELD_HOOK_ENTRY {
    PZAR_FIELD_HOOK Hook;
    ZAR_HOOK Id;
};
constexpr ZAR_FIELD_HOOK_ENTRY kFieldHooks[] = {
    {ZarPlyJpegPreProcessNode, ZAR_HOOK_PRE_JPEG},
    {ZarPlyProcAmpPreProcessNode, ZAR_HOOK_PRE_PROC_AMP},
    {ZarPlyDvePreProcessNode, ZAR_HOOK_PRE_DVE},
    {ZarPlyMixPreProcessNode, ZAR_HOOK_PRE_MIX},
    {ZarPlyGfxPreProcessNode, ZAR_HOOK_PRE_GFX},
    {ZarPlyBusPreProcessNode, ZAR_HOOK_PRE_BUS},
    {ZarPlyAudFxPreProcessNode, ZAR_HOOK_PRE_AUD_FX},
    {ZarPlyJpegProcessNode, ZAR_HOOK_JPEG},
    {ZarPlyProcAmpProcessNode, ZAR_HOOK_PROC_AMP},
    {ZarPlyDveProcessNode, ZAR_HOOK_DVE},
    {ZarPlyMixProcessNode, ZAR_HOOK_MIX},
    {ZarPlyGfxProcessNode, ZAR_HOOK_GFX},
    {ZarPlyBusProcessNode, ZAR_HOOK_BUS},
    {ZarPlyAudFxProcessNode, ZAR_HOOK_AUD_FX},
    {ZarPlyJpegPostProcessNode, ZAR_HOOK_POST_JPEG},
    {ZarPlyProcAmpPostProcessNode, ZAR_HOOK_POST_PROC_AMP},
    {ZarPlyDvePostProcessNode, ZAR_HOOK_POST_DVE},
    {ZarPlyMixPostProcessNode, ZAR_HOOK_POST_MIX},
    {ZarPlyGfxPostProcessNode, ZAR_HOOK_POST_GFX},
    {ZarPlyBusPostProcessNode, ZAR_HOOK_POST_BUS},
    {ZarPlyAudFxPostProcessNode, ZAR_HOOK_POST_AUD_FX},
};

// Which half of a double buffer 'address' lies in, and whether that differs
// from the half last seen (the counter then advances).
bool ZarAdvanceHalf(ULONG address, ULONG bufferStart, ULONG halfSize, ULONG* half, ULONG* counter)
{
    ULONG now = (address - bufferStart) >= halfSize ? 1 : 0;
    if (now == *half) return false;
    *half = now;
    ++*counter;
    return true;
}

void ZarIsrAudioPlayback(PZAR_DEVICE_EXTENSION ext, ULONG status)
{
    bool counts = true;
    if (ext->AudioPlayDualChannel) {
        if (ext->AudioPlayMode == ZAR_AUDIO_PLAY_SINGLE_DMA) {
            // One-shot DMA on both channels: the event is both channels done.
            ext->AudioPlayBitsSeen |= status & (ZAR_INT_AUDIO_PLAY_A | ZAR_INT_AUDIO_PLAY_B);
            counts = ext->AudioPlayBitsSeen == (ZAR_INT_AUDIO_PLAY_A | ZAR_INT_AUDIO_PLAY_B);
            if (counts) ext->AudioPlayBitsSeen = 0;
        } else {
            // The two channels move in step: count once per page both have reached.
            ULONG page = ZarBridgeRead(ext, ZAR_BRIDGE_AUDIO_PLAY_A) >> PAGE_SHIFT;
            ULONG page2 = ZarBridgeRead(ext, ZAR_BRIDGE_AUDIO_PLAY_B) >> PAGE_SHIFT;
            if (ext->AudioPlaySizesDiffer) page2 >>= 1;
            counts = page == page2 && page != ext->AudioLastPlayPage;
            if (counts) ext->AudioLastPlayPage = page;
        }
    }

    if (counts) {
        switch (ext->AudioPlayMode) {
        case ZAR_AUDIO_PLAY_DOUBLE_BUFFERED:
            if (ZarAdvanceHalf(ZarBridgeRead(ext, ZAR_BRIDGE_AUDIO_PLAY_A), ext->AudioPlayBufferStart, ext->AudioPlayHalfSize,
                               &ext->AudioPlayHalf, &ext->AudioPlayHalfCounter))
                KeInsertQueueDpc(&ext->DpcAudioPlayback, nullptr, nullptr);
            break;
        case ZAR_AUDIO_PLAY_SINGLE_DMA:
            if (ext->AudioPlaySingleArmed)
                KeInsertQueueDpc(&ext->DpcAudioPlaybackSingleDma, nullptr, nullptr);
            else
                ext->AudioPlaySingleArmed = TRUE;
            break;
        case ZAR_AUDIO_PLAY_DATA_SERVER: {
            ULONG address = ZarBridgeRead(ext, ZAR_BRIDGE_AUDIO_PLAY_A);
            bool queue = ZarAdvanceHalf(address, ext->AudioPlayBufferStart, ext->AudioPlayHalfSize,
                                        &ext->AudioPlayHalf, &ext->AudioPlayHalfCounter);
            if (ext->AudioDSrvStopPending) {
                ULONG offset = address - ext->AudioPlayBufferStart;
                if (ext->AudioPlayHalfCounter > ext->AudioDSrvStopHalfCounter ||
                    (ext->AudioPlayHalfCounter == ext->AudioDSrvStopHalfCounter &&
                     offset >= ext->AudioDSrvStopOffset)) {
                    ext->AudioDSrvStopPending = FALSE;
                    ext->AudioDSrvStopReached = TRUE;
                    queue = true;
                }
            }
            if (queue) KeInsertQueueDpc(&ext->DpcAudDSrv, nullptr, nullptr);
            break;
        }
        case ZAR_AUDIO_PLAY_WAVE_DRIVER:
            if (ZarAdvanceHalf(ZarBridgeRead(ext, ZAR_BRIDGE_AUDIO_PLAY_A), ext->AudioPlayBufferStart, ext->AudioPlayHalfSize,
                               &ext->AudioPlayHalf, &ext->AudioPlayHalfCounter))
                KeInsertQueueDpc(&ext->DpcWaveDrvPlayback, nullptr, nullptr);
            break;
        default:
            break;
        }
    }

    // A one-shot DMA ends by itself; the others run on and must be put back
    // in step after the FIFO ran dry.
    if (ext->AudioPlayMode != ZAR_AUDIO_PLAY_SINGLE_DMA && (ZarBridgeRead(ext, ZAR_BRIDGE_SSR) & kSsrAudioFifoError)) {
        ZarAudPlayResynchronizeDma(ext);
        KeInsertQueueDpc(&ext->DpcAudioFifoUnderflowLog, nullptr, nullptr);
    }
}

void ZarIsrAudioRecord(PZAR_DEVICE_EXTENSION ext)
{
    switch (ext->AudioRecMode) {
    case ZAR_AUDIO_REC_DOUBLE_BUFFERED:
    case ZAR_AUDIO_REC_WAVE_DRIVER: {
        if (ext->AudioRecState != kAudioRecording) break;
        ULONG finished = ext->AudioRecHalf;
        if (!ZarAdvanceHalf(ZarBridgeRead(ext, ZAR_BRIDGE_AUDIO_RECORD), ext->AudioRecBufferStart, ext->Audio.RecDmaHalfSize,
                            &ext->AudioRecHalf, &ext->AudioRecHalfCounter))
            break;
        if (ext->AudioRecMode == ZAR_AUDIO_REC_DOUBLE_BUFFERED) {
            ext->AudioRecHalfComplete = finished;
            KeInsertQueueDpc(&ext->DpcAudioRecord, nullptr, nullptr);
        } else {
            KeInsertQueueDpc(&ext->DpcWaveDrvCapture, nullptr, nullptr);
        }
        break;
    }
    case ZAR_AUDIO_REC_SINGLE_DMA:
        if (ext->AudioRecSingleArmed)
            KeInsertQueueDpc(&ext->DpcAudioRecordSingleDma, nullptr, nullptr);
        else
            ext->AudioRecSingleArmed = TRUE;
        break;
    default:
        break;
    }
}

void ZarIsrBrsComplete(PZAR_DEVICE_EXTENSION ext)
{
    ext->BrsWaiting = FALSE;
    KeInsertQueueDpc(&ext->DpcBrsDma, nullptr, nullptr);
}

void ZarIsrField(PZAR_DEVICE_EXTENSION ext)
{
    ++ext->FieldCounter;
    ext->FieldParity = (ZarBridgeRead(ext, ZAR_BRIDGE_PSR) & kPsrFieldParityInverted) ? 0 : 1;

    if (ext->DeferredRegisterPending) {
        ZarDebiPioWrite(ext, ZAR_REG_VIDEO_CONTROL, ext->DeferredRegisterValue);
        ext->DeferredRegisterPending = FALSE;
    }
    ULONG boardStatus = ZarDebiPioRead(ext, ZAR_REG_BOARD_STATUS);
    if ((boardStatus ^ ext->BoardStatus) & ZAR_STATUS_WATCHED) ext->BoardStatus = boardStatus;

    ZarTraceHook(ext, ZAR_HOOK_SCRUB_LIST);
    ZarScrubListIsr(ext);
    for (const ZAR_FIELD_HOOK_ENTRY& h : kFieldHooks) {
        ZarTraceHook(ext, h.Id);
        h.Hook(ext);
    }
    if (ext->AudioPlayMode == ZAR_AUDIO_PLAY_DOUBLE_BUFFERED || ext->AudioPlayMode == ZAR_AUDIO_PLAY_DATA_SERVER) {
        ZarTraceHook(ext, ZAR_HOOK_AUD_PLAY_VBI);
        ZarAudPlayVbi(ext);
    }
    ZarTraceHook(ext, ZAR_HOOK_MASTER_CLOCK);
    ZarTandrelMasterClock_OnVerticalInterrupt(ext);
    ZarTraceHook(ext, ZAR_HOOK_CAPTURE_STATE);
    ZarHpsCaptureStateMachine(ext);

    if (ext->BrsWaiting && ext->FieldCounter - ext->BrsStartField > ZAR_BRS_TIMEOUT_FIELDS) {
        ++ext->BrsTimeoutCount;
        ZarIsrBrsComplete(ext);
    }

    ZarTraceHook(ext, ZAR_HOOK_VBI_DPC_QUEUED);
    KeInsertQueueDpc(&ext->DpcVbi, nullptr, nullptr);

    if (ext->FieldParity == 1) {
        ZarTraceHook(ext, ZAR_HOOK_CAPTURE_RING);
        ZarHpsCaptureRingStep(ext);
    }
}

bool ZarBrsReachedEnd(PZAR_DEVICE_EXTENSION ext)
{
    ULONG current = ZarBridgeRead(ext, ZAR_BRIDGE_BRS_CURRENT);
    return ext->BrsPitch >= 0 ? current >= ext->BrsEndAddress : current <= ext->BrsEndAddress;
}

void ZarIsrSharedLine(PZAR_DEVICE_EXTENSION ext)
{
    ULONG mask = ext->SharedIrqMask;
    ULONG passes = 0;
    while (passes < ZAR_SHARED_POLL_LIMIT && !(ZarBridgeRead(ext, ZAR_BRIDGE_PSR) & kPsrSharedLineHigh)) {
        ++passes;
        if (mask & ZAR_SHARED_SCSI) {
            ZarTraceHook(ext, ZAR_HOOK_SCSI_ISR);
            ZarScsiIsr(ext);
        }
        if (mask & ZAR_SHARED_DSP) {
            ZarTraceHook(ext, ZAR_HOOK_YSS_ISR);
            ZarYssIsr(ext);
        }
        if (mask & ZAR_SHARED_TIMECODE) {
            ZarTraceHook(ext, ZAR_HOOK_ICS_ISR);
            ZarICS2008A_OnInterrupt(ext);
        }
        KeStallExecutionProcessor(1);
    }
    ext->SharedPollPasses = passes;
}

}  // namespace

void ZarSetIntModeAtIrql(PZAR_DEVICE_EXTENSION ext, ULONG mask, BOOLEAN set)
{
    if (set)
        ext->InterruptEnable |= mask;
    else
        ext->InterruptEnable &= ~mask;
    if (ext->Registers != nullptr) ZarBridgeWrite(ext, ZAR_BRIDGE_IER, ext->InterruptEnable);
}

namespace {

struct ZAR_INT_MODE_CHANGE {
    PZAR_DEVICE_EXTENSION Ext;
    ULONG Mask;
    BOOLEAN Set;
};

BOOLEAN ZarSetIntModeSynchronized(PVOID context)
{
    auto* change = static_cast<ZAR_INT_MODE_CHANGE*>(context);
    ZarSetIntModeAtIrql(change->Ext, change->Mask, change->Set);
    return TRUE;
}

}  // namespace

void ZarSetIntMode(PZAR_DEVICE_EXTENSION ext, ULONG mask, BOOLEAN set)
{
    // At device IRQL the interrupt's own lock already orders the change.
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        ZarSetIntModeAtIrql(ext, mask, set);
        return;
    }
    // Below it the change also runs under the interrupt's lock: DEBI starts
    // and programmed accesses change the same word at device IRQL, and a
    // change made beside them could undo theirs.
    KIRQL oldIrql;
    KeAcquireSpinLock(&ext->Lock, &oldIrql);
    ZAR_INT_MODE_CHANGE change{ext, mask, set};
    ZarRunSynchronized(ext, ZarSetIntModeSynchronized, &change);
    KeReleaseSpinLock(&ext->Lock, oldIrql);
}

void ZarSetSharedIrqMask(PZAR_DEVICE_EXTENSION ext, ULONG mask, BOOLEAN set)
{
    // The write stays under the lock so two callers' values reach the
    // register in the order the mirror took them.
    bool locked = KeGetCurrentIrql() <= DISPATCH_LEVEL;
    KIRQL oldIrql = PASSIVE_LEVEL;
    if (locked) KeAcquireSpinLock(&ext->Lock, &oldIrql);
    if (set)
        ext->SharedIrqMask |= mask;
    else
        ext->SharedIrqMask &= ~mask;
    if (ext->Registers != nullptr) ZarDebiPioWrite(ext, ZAR_REG_SHARED_IRQ_MASK, ext->SharedIrqMask);
    if (locked) KeReleaseSpinLock(&ext->Lock, oldIrql);
}

ULONG ZarI2cErrorCleanup(PZAR_DEVICE_EXTENSION ext)
{
    ext->I2c.FailedEntry = ext->I2c.CurrentEntry;
    ZarBridgeWrite(ext, ZAR_BRIDGE_I2C_STATUS, 0x80);
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC2, ZAR_MC2_UPLOAD_I2C);
    KeStallExecutionProcessor(500);
    for (int pass = 0; pass < 2; ++pass) {
        ZarBridgeWrite(ext, ZAR_BRIDGE_I2C_TRANSFER, 0);
        ZarBridgeWrite(ext, ZAR_BRIDGE_MC2, ZAR_MC2_UPLOAD_I2C);
        ZarBridgeWrite(ext, ZAR_BRIDGE_I2C_STATUS, 0);
        ZarBridgeWrite(ext, ZAR_BRIDGE_MC2, ZAR_MC2_UPLOAD_I2C);
        KeStallExecutionProcessor(100);
    }
    ZarBridgeWrite(ext, ZAR_BRIDGE_ISR, ZAR_INT_I2C);
    return 0;
}

BOOLEAN ZarIsr(PKINTERRUPT, PVOID context)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    ++ext->InterruptCount;
    ULONG status = ZarBridgeRead(ext, ZAR_BRIDGE_ISR) & ext->InterruptEnable;
    if (status == 0) {
        // Another device on a shared line, or a source that is not enabled.
        ++ext->SpuriousInterruptCount;
        return FALSE;
    }
    ZarBridgeWrite(ext, ZAR_BRIDGE_ISR, status);

    if (status & (ZAR_INT_AUDIO_PLAY_A | ZAR_INT_AUDIO_PLAY_B)) ZarIsrAudioPlayback(ext, status);
    if (status & ZAR_INT_AUDIO_RECORD) ZarIsrAudioRecord(ext);
    if (status & ZAR_INT_FIELD) ZarIsrField(ext);
    if ((status & ZAR_INT_BRS) && ext->BrsWaiting && ZarBrsReachedEnd(ext)) ZarIsrBrsComplete(ext);

    // The capture state machine (per field) decides; completion goes to its DPC.
    bool finished = ext->CaptureState == ZAR_CAPTURE_FINISHING &&
                    !(ZarBridgeRead(ext, ZAR_BRIDGE_MC1) & kMc1CaptureRunning);
    if ((ext->CaptureCompletionAwaited && finished) || ext->CaptureAbandoned) {
        ext->CaptureCompletionAwaited = FALSE;
        ext->CaptureAbandoned = FALSE;
        KeInsertQueueDpc(&ext->DpcHpsDma, nullptr, nullptr);
    }

    if (status & ZAR_INT_DEBI_DONE) KeInsertQueueDpc(&ext->DpcDebiDma, nullptr, nullptr);
    if (status & ZAR_INT_I2C_ERROR) ZarI2cErrorCleanup(ext);
    if (status & ZAR_INT_I2C) KeInsertQueueDpc(&ext->DpcI2c, nullptr, nullptr);

    if (status & ZAR_INT_SHARED_LINE) ZarIsrSharedLine(ext);
    return TRUE;
}

void ZarDpcForIsr(PKDPC, PDEVICE_OBJECT, PIRP, PVOID)
{
    // The device's standard DPC has no work: each source has a DPC of its own.
}
