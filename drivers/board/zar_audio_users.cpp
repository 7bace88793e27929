// The two audio users (the library, caller kind 1; the wave devices, caller
// kind 2), each with its own complete set of audio settings, the set the
// hardware holds (index 0), and the audio lock whose two resources (play,
// record) decide which user the board is programmed for.
//
// A settings request stores its value in the caller's set and reaches the
// board only while that user owns the audio; the audio mutex orders those
// applications and every change of owner.

#include <cmath>
#include <cstring>

#include "zar_audio.h"
#include "zar_boardsetup.h"
#include "zar_bridge.h"
#include "zar_extension.h"
#include "zar_ioctl.h"

namespace {

constexpr ULONG kLockPlay = 0, kLockRecord = 1, kLockBoth = 2;
constexpr UCHAR kInitialLevel = 192;
constexpr UCHAR kInitialTrim = 255;
constexpr ULONG kEqFlat = 32767;
constexpr USHORT kCodecMutedUnity = 0x8808;
constexpr ULONG kInitialRecordSource = 5;
constexpr ULONG kMasterLevelMax = 255;

ZAR_AUDIO_USERS_STATE& Users(PZAR_DEVICE_EXTENSION ext) { return ext->AudioUsers; }

ULONG UserOf(ZAR_CALLER_KIND kind) { return kind == ZAR_CALLER_WAVE_DEVICE ? 2 : 1; }

void ZarAudInitSettings(ZAR_AUDIO_SETTINGS* s)
{
    RtlZeroMemory(s, sizeof(*s));
    s->Source = 0;
    s->Codec[0] = 0;
    s->Codec[1] = 0;
    for (ULONG i = 2; i < ZAR_AUDIO_CODEC_REGISTERS; ++i) s->Codec[i] = kCodecMutedUnity;
    s->RecordSource = kInitialRecordSource;
    s->Master[0] = s->Master[1] = kMasterLevelMax;
    for (ULONG t = 0; t < ZAR_AUDIO_TRACKS; ++t) {
        ZAR_AUDIO_TRACK_CONTROL& c = s->Track[t];
        c.Pan = (t & 1) ? 255 : 0;
        c.Level = kInitialLevel;
        c.Trim = kInitialTrim;
        for (ZAR_AUDIO_EQ_SECTION& e : c.Eq) e.Gain = kEqFlat;
        s->LevelMult[t] = ZAR_AUDIO_MULT_UNITY;
    }
}

void ZarAudMutexAcquire(PZAR_DEVICE_EXTENSION ext)
{
    KeWaitForSingleObject(&Users(ext).Mutex, Executive, KernelMode, FALSE, nullptr);
}
void ZarAudMutexRelease(PZAR_DEVICE_EXTENSION ext) { KeReleaseMutex(&Users(ext).Mutex, FALSE); }

bool LockEventsReady(PZAR_DEVICE_EXTENSION ext) { return ext->CleanupEventsReady == 2; }

void ZarAudApplyPassive(PZAR_DEVICE_EXTENSION ext, ULONG user)
{
    ZAR_AUDIO_RECORD_COMMAND command{};
    bool on = Users(ext).Set[user].PassiveEE != 0;
    if (on && !ext->AudioRecording) {
        command.Command = ZAR_AUDIO_REC_PASSIVE;
        ZarAudRecordCommand(ext, &command);
    } else if (!on && ext->AudioRecording && ext->AudioEngine.RecordMode == ZAR_AUDIO_REC_PASSIVE) {
        command.Command = ZAR_AUDIO_REC_OFF;
        ZarAudRecordCommand(ext, &command);
    }
}

// Everything of the user's set onto the board (under the audio mutex).
void ZarAudioFullStateChange(PZAR_DEVICE_EXTENSION ext, ULONG user)
{
    ZAR_AUDIO_USERS_STATE& u = Users(ext);
    ZarDcIoSetAudioStandards(ext);
    ZarAudIoSetSource(ext, u.Set[user].Source);
    ZarAudIoSetCodec(ext, false);
    ZarAudSetMasterLevel(ext);
    ZarAudIoSetTrackControls(ext, 0xFF);
    ZarAudApplyPassive(ext, user);
}

enum class Part { Standards, Source, Codec, Master, Tracks, Passive };

// Stores nothing itself: the caller stored the value in the user's set.
void ZarAudApplyForUser(PZAR_DEVICE_EXTENSION ext, ULONG user, Part part, ULONG trackMask = 0xFF)
{
    ZarAudMutexAcquire(ext);
    ZAR_CALLER_KIND kind = user == 2 ? ZAR_CALLER_WAVE_DEVICE : ZAR_CALLER_LIBRARY;
    if (ZarAudioHardwareAvailable(ext, kind)) {
        if (ext->Setup.AudioOwner == kind) {
            switch (part) {
            case Part::Standards: ZarDcIoSetAudioStandards(ext); break;
            case Part::Source: ZarAudIoSetSource(ext, Users(ext).Set[user].Source); break;
            case Part::Codec: ZarAudIoSetCodec(ext, false); break;
            case Part::Master: ZarAudSetMasterLevel(ext); break;
            case Part::Tracks: ZarAudIoSetTrackControls(ext, trackMask); break;
            case Part::Passive: ZarAudApplyPassive(ext, user); break;
            }
        } else {
            ext->Setup.AudioOwner = kind;
            ZarAudioFullStateChange(ext, user);
        }
    }
    ZarAudMutexRelease(ext);
}

}  // namespace

void ZarAudResumePassive(PZAR_DEVICE_EXTENSION ext, bool wasRunning)
{
    ZarAudMutexAcquire(ext);
    if ((wasRunning || Users(ext).Set[1].PassiveEE != 0) && !ext->AudioRecording) {
        ZAR_AUDIO_RECORD_COMMAND command{};
        command.Command = ZAR_AUDIO_REC_PASSIVE;
        ZarAudRecordCommand(ext, &command);
    }
    ZarAudMutexRelease(ext);
}

// ---- tables ----

void ZarAudBuildGainTables(ZAR_AUDIO_USERS_STATE* users)
{
    // The fader law: level 129 is unity and each step above or below it is
    // the same number of decibels, so that 255 gives 131071 (+24 dB); level
    // 0 is off.
    const double top = 20.0 * std::log10(131071.0 / 8192.0);
    const double step = top / double(255 - ZAR_AUDIO_LEVEL_UNITY);
    users->LevelGain[0] = 0;
    for (ULONG i = 1; i < 256; ++i) {
        double gain = 8192.0 * std::pow(10.0, (double(i) - ZAR_AUDIO_LEVEL_UNITY) * step / 20.0);
        users->LevelGain[i] = LONG(std::lround(gain));
    }
    users->LevelGain[ZAR_AUDIO_LEVEL_UNITY] = 8192;
    users->LevelGain[255] = 131071;
    for (ULONG i = 0; i < 256; ++i) {
        users->TrimGain[i] = LONG(i * 131071u / 255u);
        users->MasterGain[i] = USHORT(i * 65535u / 255u);
        users->PanLeft[i] = i <= 128 ? 65535 : USHORT((255 - i) * 65535u / 127u);
    }
    for (ULONG i = 0; i < 256; ++i) users->PanRight[i] = users->PanLeft[255 - i];
}

ULONG ZarAudTrackGain(const ZAR_AUDIO_USERS_STATE* users, ULONG master, ULONG pan, bool right)
{
    // Both factors are 16-bit unsigned: their product needs all 32 bits.
    ULONG m = users->MasterGain[master & 0xFF];
    ULONG p = right ? users->PanRight[pan & 0xFF] : users->PanLeft[pan & 0xFF];
    return (m * p) >> 20;
}

ULONG ZarAudOutputGain(const ZAR_AUDIO_USERS_STATE* users, ULONG level, ULONG multiplier)
{
    ULONGLONG gain = ULONGLONG(ULONG(users->LevelGain[level & 0xFF]));
    if (multiplier != ZAR_AUDIO_MULT_UNITY) gain = (gain * multiplier) >> 16;
    return gain > 0x1FFFF ? 0x1FFFF : ULONG(gain);
}

ULONG ZarAudStepLevel(ULONG applied, ULONG target)
{
    if (target > applied) return target - applied > 8 ? applied + 8 : target;
    return applied - target > 8 ? applied - 8 : target;
}

ULONG ZarAudStepMult(ULONG applied, ULONG target)
{
    if (target > applied) return target - applied > 4096 ? applied + 4096 : target;
    return applied - target > 4096 ? applied - 4096 : target;
}

// ---- users ----

void ZarAudUsersInitialize(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_AUDIO_USERS_STATE& u = Users(ext);
    for (ZAR_AUDIO_SETTINGS& s : u.Set) ZarAudInitSettings(&s);
    KeInitializeMutex(&u.Mutex, 0);
    u.LockUser[0] = u.LockUser[1] = 0;
    u.HardwareValid = FALSE;
    ZarAudBuildGainTables(&u);
    KeInitializeEvent(&u.Dsp.Idle, NotificationEvent, FALSE);
    u.Dsp.Smoothing = TRUE;
}

ZAR_AUDIO_SETTINGS* ZarAudUserSet(PZAR_DEVICE_EXTENSION ext, ULONG user)
{
    return &Users(ext).Set[user < ZAR_AUDIO_USERS ? user : 0];
}

BOOLEAN ZarAudioHardwareAvailable(PZAR_DEVICE_EXTENSION ext, ZAR_CALLER_KIND callerKind)
{
    if (ext->Setup.AudioOwner == callerKind || !LockEventsReady(ext)) return TRUE;
    return KeReadStateEvent(&ext->AudioLockEvent[kLockPlay]) != 0 &&
           KeReadStateEvent(&ext->AudioLockEvent[kLockRecord]) != 0;
}

// ---- settings codes ----

NTSTATUS ZarDcIoUserSetAudioStandards(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind)
{
    ext->Setup.AudioStandards[UserOf(callerKind)] = *static_cast<PULONG>(buffer);
    ZarAudApplyForUser(ext, UserOf(callerKind), Part::Standards);
    return STATUS_SUCCESS;
}

NTSTATUS ZarDcIoGetAudioStandards(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind)
{
    *static_cast<PULONG>(buffer) = ext->Setup.AudioStandards[UserOf(callerKind)];
    return STATUS_SUCCESS;
}

NTSTATUS ZarAudIoUserSetSource(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind)
{
    ULONG source = *static_cast<PULONG>(buffer);
    if (source > 5) return STATUS_INVALID_PARAMETER;
    ZarAudUserSet(ext, UserOf(callerKind))->Source = source;
    ZarAudApplyForUser(ext, UserOf(callerKind), Part::Source);
    return STATUS_SUCCESS;
}

NTSTATUS ZarAudIoUserSetCodec(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind)
{
    ZAR_AUDIO_CODEC_RECORD record;
    std::memcpy(&record, buffer, sizeof(record));
    // Record layout order: master, record gain, line-in, aux, video, CD, PCM-out;
    // mask bits: 0x01 master, 0x02 record gain, 0x04 line-in, 0x08 aux,
    // 0x10 video, 0x20 PCM-out, 0x40 record source, 0x80 CD.
    constexpr ULONG kMaskOf[ZAR_AUDIO_CODEC_REGISTERS] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x80, 0x20};
    ZAR_AUDIO_SETTINGS* s = ZarAudUserSet(ext, UserOf(callerKind));
    for (ULONG i = 0; i < ZAR_AUDIO_CODEC_REGISTERS; ++i)
        if (record.Mask & kMaskOf[i]) s->Codec[i] = record.Register[i];
    if (record.Mask & 0x40) s->RecordSource = record.RecordSource & 7;
    if ((record.Mask & 0xFF) == 0) return STATUS_SUCCESS;
    ZarAudApplyForUser(ext, UserOf(callerKind), Part::Codec);
    return STATUS_SUCCESS;
}

NTSTATUS ZarAudIoGetCodec(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind)
{
    const ZAR_AUDIO_SETTINGS* s = ZarAudUserSet(ext, UserOf(callerKind));
    ZAR_AUDIO_CODEC_RECORD record{};
    for (ULONG i = 0; i < ZAR_AUDIO_CODEC_REGISTERS; ++i) record.Register[i] = s->Codec[i];
    record.RecordSource = s->RecordSource;
    std::memcpy(buffer, &record, sizeof(record));
    return STATUS_SUCCESS;
}

NTSTATUS ZarAudUserSetMasterLevel(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind)
{
    auto* levels = static_cast<const ULONG*>(buffer);
    // A level indexes a 256-entry table.
    if (levels[0] > kMasterLevelMax || levels[1] > kMasterLevelMax) return STATUS_INVALID_PARAMETER;
    ZAR_AUDIO_SETTINGS* s = ZarAudUserSet(ext, UserOf(callerKind));
    s->Master[0] = levels[0];
    s->Master[1] = levels[1];
    ZarAudApplyForUser(ext, UserOf(callerKind), Part::Master);
    return STATUS_SUCCESS;
}

NTSTATUS ZarAudIoGetMasterLevel(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind)
{
    std::memcpy(buffer, ZarAudUserSet(ext, UserOf(callerKind))->Master, 2 * sizeof(ULONG));
    return STATUS_SUCCESS;
}

NTSTATUS ZarAudIoUserSetTrackControl(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind)
{
    auto* in = static_cast<const ULONG*>(buffer);
    ULONG track = in[0], address = in[1], mask = in[2];
    if (track >= ZAR_AUDIO_TRACKS) return STATUS_UNSUCCESSFUL;
    ZAR_AUDIO_TRACK_CONTROL from;
    auto* user = reinterpret_cast<const ZAR_AUDIO_TRACK_CONTROL*>(static_cast<ULONG_PTR>(address));
    NTSTATUS status = ZarCaptureFromCaller(UserMode, user, &from, sizeof(from));
    if (!NT_SUCCESS(status)) return status;
    ZAR_AUDIO_TRACK_CONTROL& to = ZarAudUserSet(ext, UserOf(callerKind))->Track[track];
    if (mask & ZAR_TRACK_PAN) to.Pan = from.Pan;
    if (mask & ZAR_TRACK_LEVEL) to.Level = from.Level;
    if (mask & ZAR_TRACK_TRIM) to.Trim = from.Trim;
    for (ULONG n = 0; n < ZAR_AUDIO_EQ_SECTIONS; ++n)
        if (mask & (ZAR_TRACK_EQ0 << n)) to.Eq[n] = from.Eq[n];
    ZarAudApplyForUser(ext, UserOf(callerKind), Part::Tracks, 1u << track);
    return STATUS_SUCCESS;
}

NTSTATUS ZarAudIoGetTrackControl(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind)
{
    ULONG track = *static_cast<PULONG>(buffer);
    if (track >= ZAR_AUDIO_TRACKS) return STATUS_INVALID_PARAMETER;
    std::memcpy(static_cast<PUCHAR>(buffer) + sizeof(ULONG), &ZarAudUserSet(ext, UserOf(callerKind))->Track[track],
                sizeof(ZAR_AUDIO_TRACK_CONTROL));
    return STATUS_SUCCESS;
}

NTSTATUS ZarAudUserSetTrackLevelMult(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind)
{
    auto* in = static_cast<const ULONG*>(buffer);
    ULONG mask = in[ZAR_AUDIO_TRACKS] & 0xFF;
    ZAR_AUDIO_SETTINGS* s = ZarAudUserSet(ext, UserOf(callerKind));
    for (ULONG t = 0; t < ZAR_AUDIO_TRACKS; ++t)
        if (mask & (1u << t)) s->LevelMult[t] = in[t];
    if (mask != 0) ZarAudApplyForUser(ext, UserOf(callerKind), Part::Tracks, mask);
    return STATUS_SUCCESS;
}

NTSTATUS ZarAudUserSetPassiveEE(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind)
{
    ZarAudUserSet(ext, UserOf(callerKind))->PassiveEE = *static_cast<PULONG>(buffer);
    ZarAudApplyForUser(ext, UserOf(callerKind), Part::Passive);
    return STATUS_SUCCESS;
}

// ---- the audio lock ----

NTSTATUS ZarAudAcquireAudioLock(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind, PFILE_OBJECT owner)
{
    auto* io = static_cast<PULONG>(buffer);
    ULONG resource = io[0];
    if (resource > kLockBoth) return STATUS_INVALID_PARAMETER;
    if (!LockEventsReady(ext)) return STATUS_UNSUCCESSFUL;
    ZAR_AUDIO_USERS_STATE& u = Users(ext);
    ULONG user = UserOf(callerKind);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -LONGLONG(io[1]) * 10000;
    // The lock events reset as a wait is satisfied, so taking a resource
    // tests and takes it in one step; with both, either both are taken or none.
    NTSTATUS status;
    if (resource == kLockBoth) {
        PVOID objects[2] = {&ext->AudioLockEvent[kLockPlay], &ext->AudioLockEvent[kLockRecord]};
        KWAIT_BLOCK blocks[2];
        status = KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &timeout, blocks);
    } else {
        status = KeWaitForSingleObject(&ext->AudioLockEvent[resource], Executive, KernelMode, FALSE, &timeout);
    }
    if (status == STATUS_TIMEOUT || !NT_SUCCESS(status)) {
        io[2] = 0;
        return STATUS_SUCCESS;
    }
    ZarAudMutexAcquire(ext);
    for (ULONG r = 0; r < 2; ++r) {
        if (resource != kLockBoth && resource != r) continue;
        u.LockUser[r] = user;
        ext->AudioLockOwner[r] = owner;
    }
    if (user == 1 && resource != kLockRecord) ext->AudioPlayMode = ZAR_AUDIO_PLAY_DOUBLE_BUFFERED;
    if (user == 1 && resource != kLockPlay && ext->AudioRecording) ZarRunSynchronized(ext, ZarAudRecStopDma, ext);
    ULONG other = resource == kLockPlay ? kLockRecord : kLockPlay;
    bool otherHeldByAnother = resource != kLockBoth && u.LockUser[other] != 0 && u.LockUser[other] != user;
    ZAR_CALLER_KIND kind = user == 2 ? ZAR_CALLER_WAVE_DEVICE : ZAR_CALLER_LIBRARY;
    if (!otherHeldByAnother && ext->Setup.AudioOwner != kind) {
        ext->Setup.AudioOwner = kind;
        ZarAudioFullStateChange(ext, user);
    }
    ZarAudMutexRelease(ext);
    io[2] = 1;
    return STATUS_SUCCESS;
}

NTSTATUS ZarAudReleaseAudioLock(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ZAR_CALLER_KIND callerKind, PFILE_OBJECT owner)
{
    auto* io = static_cast<PULONG>(buffer);
    ULONG resource = io[0];
    if (resource > kLockBoth) return STATUS_INVALID_PARAMETER;
    io[1] = 0;
    if (!LockEventsReady(ext)) return STATUS_SUCCESS;
    ZAR_AUDIO_USERS_STATE& u = Users(ext);
    ULONG user = UserOf(callerKind);
    ZarAudMutexAcquire(ext);
    bool holder = true;
    for (ULONG r = 0; r < 2; ++r)
        if ((resource == kLockBoth || resource == r) && (u.LockUser[r] != user || ext->AudioLockOwner[r] != owner))
            holder = false;
    if (holder) {
        for (ULONG r = 0; r < 2; ++r) {
            if (resource != kLockBoth && resource != r) continue;
            u.LockUser[r] = 0;
            ext->AudioLockOwner[r] = nullptr;
            KeSetEvent(&ext->AudioLockEvent[r], IO_NO_INCREMENT, FALSE);
        }
        io[1] = 1;
    }
    ZarAudMutexRelease(ext);
    return STATUS_SUCCESS;
}
