// The four audio DSPs that carry the eight play tracks (track t on DSP
// t AND 3, channel (t >> 2) AND 1), the board's per-track pan and master
// gains, and the DSP command thread that alone talks to the DSPs, so that
// callers at interrupt level only store values and wake it.
//
// A command goes out as one 32-bit word (14-bit address, 18-bit value) in
// two DEBI writes; the DSP answers with its interrupt, the interrupt routine
// acknowledges it and the DSP DPC sets the idle event the thread waits on.

#include <cstring>

#include "include/zar_audio_hw.h"
#include "zar_audio.h"
#include "zar_board_regs.h"
#include "zar_bridge.h"
#include "zar_debi.h"
#include "zar_dpc.h"
#include "zar_extension.h"
#include "zar_isr.h"

using namespace zar_audio_hw;

namespace {

constexpr LONGLONG kIdleWait = -1000000LL;      // 100 ms
constexpr LONGLONG kDspStartWait = -100000LL;   // 10 ms
constexpr ULONG kInitialControl = 0x80;
constexpr ULONG kRunControl = 152;
constexpr ULONG kDeemphasisOff = 0x1FFFF;
constexpr ULONG kEqFlat = 32767;
constexpr ULONG kGainInitial[4] = {0x1FFFF, 0, 0x1FFFF, 0};
constexpr ULONG kLevelSection = 4;
constexpr ULONG kBoardStatusDspIrqN = 0x0400;

ZAR_AUDIO_DSP_STATE& Dsp(PZAR_DEVICE_EXTENSION ext) { return ext->AudioUsers.Dsp; }

void ZarDspMarkChanged(PZAR_DEVICE_EXTENSION ext, ULONG tracks)
{
    __atomic_fetch_or(&Dsp(ext).Changed, tracks & 0xFF, __ATOMIC_SEQ_CST);
}

struct ZAR_DSP_WORDS {
    PZAR_DEVICE_EXTENSION Ext;
    const ULONG* Words;
    ULONG Count;
};

BOOLEAN ZarYssWriteWordsSynchronized(PVOID context)
{
    auto* w = static_cast<ZAR_DSP_WORDS*>(context);
    for (ULONG i = 0; i < w->Count; ++i) {
        ZarDebiPioWrite(w->Ext, kRegDspData, w->Words[i] & 0xFFFF);
        ZarDebiPioWrite(w->Ext, kRegDspData, w->Words[i] >> 16);
    }
    return TRUE;
}

void ZarYssWaitIdle(PZAR_DEVICE_EXTENSION ext)
{
    LARGE_INTEGER t;
    t.QuadPart = kIdleWait;
    if (KeWaitForSingleObject(&Dsp(ext).Idle, Executive, KernelMode, FALSE, &t) == STATUS_TIMEOUT)
        ++Dsp(ext).CommandsTimedOut;
}

void ZarYssSendWord(PZAR_DEVICE_EXTENSION ext, ULONG word)
{
    KeClearEvent(&Dsp(ext).Idle);
    ZAR_DSP_WORDS w{ext, &word, 1};
    ZarRunSynchronized(ext, ZarYssWriteWordsSynchronized, &w);
    ZarYssWaitIdle(ext);
}

// One command: select, the word(s) each answered, deselect, then the
// command delay (a null word the board's DSP interface answers).
void ZarYssCommand(PZAR_DEVICE_EXTENSION ext, ULONG dsp, const ULONG* words, ULONG count)
{
    ZarDebiPioWrite(ext, kRegDspSelect, kDspSelectCode[dsp & 3]);
    for (ULONG i = 0; i < count; ++i) ZarYssSendWord(ext, words[i]);
    ZarDebiPioWrite(ext, kRegDspSelect, kDspSelectNone);
    ZarYssSendWord(ext, 0);
}

void ZarYssSetControl(PZAR_DEVICE_EXTENSION ext, ULONG dsp, ULONG control)
{
    ZarDebiPioWrite(ext, kRegDspSelect, kDspSelectCode[dsp & 3]);
    ZarDebiPioWrite(ext, kRegDspControl, control);
    ZarDebiPioWrite(ext, kRegDspSelect, kDspSelectNone);
    ZarYssSendWord(ext, 0);
}

void ZarYssSetEqLevelOnly(PZAR_DEVICE_EXTENSION ext, ULONG dsp, ULONG section, ULONG channel, ULONG value)
{
    ULONG word = DspCommand(DspSectionAddress(section, channel), value);
    ZarYssCommand(ext, dsp, &word, 1);
}

// A whole section: its level word, then the four coefficients one word each
// at the following addresses.
void ZarYssSetEqualizer(PZAR_DEVICE_EXTENSION ext, ULONG dsp, ULONG section, ULONG channel,
                        const ZAR_AUDIO_EQ_SECTION& block)
{
    ULONG base = DspSectionAddress(section, channel);
    ULONG words[5] = {DspCommand(base, block.Gain)};
    for (ULONG k = 0; k < 4; ++k) words[k + 1] = DspCommand(base + 1 + k, block.Coefficient[k]);
    ZarYssCommand(ext, dsp, words, 5);
}

void ZarYssSetGain(PZAR_DEVICE_EXTENSION ext, ULONG dsp, ULONG channel, const ULONG gain[4])
{
    ULONG words[4];
    for (ULONG k = 0; k < 4; ++k) words[k] = DspCommand(kDspGain[k][channel], gain[k]);
    ZarYssCommand(ext, dsp, words, 4);
}

void ZarYssSetGainTrimOnly(PZAR_DEVICE_EXTENSION ext, ULONG dsp, ULONG channel, ULONG trim)
{
    ULONG word = DspCommand(kDspGain[0][channel], trim);
    ZarYssCommand(ext, dsp, &word, 1);
}

void ZarYssSetDeemphasis(PZAR_DEVICE_EXTENSION ext, ULONG dsp, ULONG channel, ULONG value)
{
    ULONG word = DspCommand(kDspDeemphasis[channel], value);
    ZarYssCommand(ext, dsp, &word, 1);
}

ULONG DspOf(ULONG track) { return track & 3; }
ULONG ChannelOf(ULONG track) { return (track >> 2) & 1; }

// One pass over the changed tracks; true while a track still moves.
bool ZarAudDspPass(PZAR_DEVICE_EXTENSION ext, ULONG tracks)
{
    ZAR_AUDIO_USERS_STATE& u = ext->AudioUsers;
    ZAR_AUDIO_DSP_STATE& d = u.Dsp;
    const ZAR_AUDIO_SETTINGS* s = ZarAudUserSet(ext, ext->Setup.AudioOwner);
    bool moving = false;
    for (ULONG t = 0; t < ZAR_AUDIO_TRACKS; ++t) {
        if (!(tracks & (1u << t))) continue;
        const ZAR_AUDIO_TRACK_CONTROL& c = s->Track[t];
        if (c.Trim != d.AppliedTrim[t] || !d.Valid) {
            ZarYssSetGainTrimOnly(ext, DspOf(t), ChannelOf(t), ULONG(u.TrimGain[c.Trim]));
            d.AppliedTrim[t] = c.Trim;
        }
        ULONG level = d.AppliedLevel[t], mult = d.AppliedMult[t];
        if (level == c.Level && mult == s->LevelMult[t] && d.Valid) continue;
        level = d.Smoothing && d.Valid ? ZarAudStepLevel(level, c.Level) : c.Level;
        mult = d.Smoothing && d.Valid ? ZarAudStepMult(mult, s->LevelMult[t]) : s->LevelMult[t];
        d.AppliedLevel[t] = UCHAR(level);
        d.AppliedMult[t] = mult;
        ZarYssSetEqLevelOnly(ext, DspOf(t), kLevelSection, ChannelOf(t), ZarAudOutputGain(&u, level, mult));
        if (level != c.Level || mult != s->LevelMult[t]) moving = true;
    }
    return moving;
}

void ZarAudDspApply(PZAR_DEVICE_EXTENSION ext, ULONG tracks)
{
    ZAR_AUDIO_DSP_STATE& d = Dsp(ext);
    while (ZarAudDspPass(ext, tracks) && !ext->DspThread.Stop) {
    }
    const ZAR_AUDIO_SETTINGS* s = ZarAudUserSet(ext, ext->Setup.AudioOwner);
    for (ULONG t = 0; t < ZAR_AUDIO_TRACKS; ++t) {
        if (!(tracks & (1u << t))) continue;
        for (ULONG n = 0; n < ZAR_AUDIO_EQ_SECTIONS; ++n) {
            const ZAR_AUDIO_EQ_SECTION& want = s->Track[t].Eq[n];
            if (d.Valid && std::memcmp(&want, &d.AppliedEq[t][n], sizeof(want)) == 0) continue;
            ZarYssSetEqualizer(ext, DspOf(t), n, ChannelOf(t), want);
            d.AppliedEq[t][n] = want;
        }
    }
    d.Valid = TRUE;
}

}  // namespace

// ---- initialisation ----

NTSTATUS ZarYss231Init(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_AUDIO_DSP_STATE& d = Dsp(ext);
    for (ULONG dsp = 0; dsp < 4; ++dsp) {
        LARGE_INTEGER t;
        t.QuadPart = kDspStartWait;
        KeDelayExecutionThread(KernelMode, FALSE, &t);
        ZarDebiPioWrite(ext, kRegDspSelect, kDspSelectNone);
        ZarSetSharedIrqMask(ext, ZAR_SHARED_DSP, TRUE);
        ZarYssSetControl(ext, dsp, kInitialControl);
        ZarYssSetControl(ext, dsp, kRunControl);
        for (ULONG channel = 0; channel < 2; ++channel) {
            ZarYssSetDeemphasis(ext, dsp, channel, kDeemphasisOff);
            ZAR_AUDIO_EQ_SECTION flat{kEqFlat, {0, 0, 0, 0}};
            for (ULONG section = 0; section < kDspSections; ++section)
                ZarYssSetEqualizer(ext, dsp, section, channel, flat);
            ZarYssSetGain(ext, dsp, channel, kGainInitial);
        }
    }
    // The DSPs now hold flat sections: every track is written again.
    d.Valid = FALSE;
    ZarAudSetMasterLevel(ext);
    ZarAudIoSetTrackControls(ext, 0xFF);
    return STATUS_SUCCESS;
}

// ---- pan and master: the board's gains, written at once ----

namespace {

void ZarAudWriteTrackGains(PZAR_DEVICE_EXTENSION ext, bool all)
{
    ZAR_AUDIO_USERS_STATE& u = ext->AudioUsers;
    ZAR_AUDIO_DSP_STATE& d = u.Dsp;
    const ZAR_AUDIO_SETTINGS* s = ZarAudUserSet(ext, ext->Setup.AudioOwner);
    bool masterChanged = s->Master[0] != d.AppliedMaster[0] || s->Master[1] != d.AppliedMaster[1];
    for (ULONG t = 0; t < ZAR_AUDIO_TRACKS; ++t) {
        UCHAR pan = s->Track[t].Pan;
        if (!all && !masterChanged && u.HardwareValid && pan == d.AppliedPan[t]) continue;
        ZarDebiPioWrite(ext, kRegTrackGainLeft + 8 * t, ZarAudTrackGain(&u, s->Master[0], pan, false));
        ZarDebiPioWrite(ext, kRegTrackGainRight + 8 * t, ZarAudTrackGain(&u, s->Master[1], pan, true));
        d.AppliedPan[t] = pan;
    }
    d.AppliedMaster[0] = s->Master[0];
    d.AppliedMaster[1] = s->Master[1];
}

}  // namespace

void ZarAudSetTrackPan(PZAR_DEVICE_EXTENSION ext) { ZarAudWriteTrackGains(ext, false); }

void ZarAudSetMasterLevel(PZAR_DEVICE_EXTENSION ext) { ZarAudWriteTrackGains(ext, !ext->AudioUsers.HardwareValid); }

void ZarAudIoSetTrackControls(PZAR_DEVICE_EXTENSION ext, ULONG trackMask)
{
    ZarAudWriteTrackGains(ext, !ext->AudioUsers.HardwareValid);
    ZarDspMarkChanged(ext, trackMask);
    KeSetEvent(&ext->DspThread.Wake, IO_NO_INCREMENT, FALSE);
    ext->AudioUsers.HardwareValid = TRUE;
}

NTSTATUS ZarAudSetTrackControlFromNodes(PZAR_DEVICE_EXTENSION ext, ULONG track, const UCHAR* level, const UCHAR* pan,
                                        ULONG eqMask, const ZAR_AUDIO_TRACK_CONTROL* eq)
{
    if (track >= ZAR_AUDIO_TRACKS) return STATUS_UNSUCCESSFUL;
    ZAR_AUDIO_TRACK_CONTROL& c = ZarAudUserSet(ext, ext->Setup.AudioOwner)->Track[track];
    if (level != nullptr) c.Level = *level;
    if (pan != nullptr && c.Pan != *pan) {
        c.Pan = *pan;
        ext->AudioTrackPanPending = TRUE;  // the VBI DPC writes the gains
    }
    if (eq != nullptr) {
        if (eqMask & ZAR_TRACK_TRIM) c.Trim = eq->Trim;
        for (ULONG n = 0; n < ZAR_AUDIO_EQ_SECTIONS; ++n)
            if (eqMask & (ZAR_TRACK_EQ0 << n)) c.Eq[n] = eq->Eq[n];
    }
    ZarDspMarkChanged(ext, 1u << track);
    // Woken from the VBI DPC: no event is set at interrupt level.
    ZarArmFieldSignal(ext, ZAR_FIELD_SIGNAL_DSP);
    return STATUS_SUCCESS;
}

// ---- the thread, the interrupt and the DPC ----

void ZarDspCommandThread(PVOID context)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    ZAR_SYSTEM_THREAD& thread = ext->DspThread;
    KeSetPriorityThread(KeGetCurrentThread(), 16);
    for (;;) {
        KeWaitForSingleObject(&thread.Wake, Executive, KernelMode, FALSE, nullptr);
        if (thread.Stop) break;
        ULONG changed = ULONG(InterlockedExchange(reinterpret_cast<volatile LONG*>(&Dsp(ext).Changed), 0));
        if (changed == 0 || ext->FpgaState == 0) continue;
        Dsp(ext).Busy = 1;
        ZarAudDspApply(ext, changed);
        Dsp(ext).Busy = 0;
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

void ZarYssIsr(PZAR_DEVICE_EXTENSION ext)
{
    if (ZarDebiPioRead(ext, ZAR_REG_BOARD_STATUS) & kBoardStatusDspIrqN) return;  // not asserting
    ZarDebiPioWrite(ext, kRegDspAck, 0);
    KeInsertQueueDpc(&ext->DpcAudioDsp, nullptr, nullptr);
}

void ZarDpcForAudioDsp(PKDPC, PVOID context, PVOID, PVOID)
{
    KeSetEvent(&Dsp(static_cast<PZAR_DEVICE_EXTENSION>(context)).Idle, IO_NO_INCREMENT, FALSE);
}

NTSTATUS ZarAudIoGetDspState(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    *static_cast<PULONG>(buffer) = Dsp(ext).Busy;
    return STATUS_SUCCESS;
}
