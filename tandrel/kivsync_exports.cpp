// The Kiv<Object>_<Op> exports: each checks its arguments, packs them into
// the record of one control code of the time-code devices and sends it
// through the library's frame; a failed check sends nothing.

#include "tandrel/kivsync_frame.h"

#define KIV_API extern "C" __attribute__((visibility("default")))

namespace {

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

BOOL Send(KIV_HANDLE h, DWORD code, const void* in, DWORD inLength, void* out = nullptr, DWORD outLength = 0)
{
    return KivSyncApp().SendRequest(h, code, const_cast<void*>(in), inLength, out, outLength, nullptr);
}

// A record of u32 words, as most codes take.
template <class... Words>
BOOL SendWords(KIV_HANDLE h, DWORD code, Words... words)
{
    uint32_t in[] = {uint32_t(words)...};
    return Send(h, code, in, sizeof in);
}

uint32_t Value(const void* handle) { return uint32_t(reinterpret_cast<uintptr_t>(handle)); }
bool Writable(void* p, DWORD n) { return p != nullptr && !IsBadWritePtr(p, n); }
bool Readable(const void* p, DWORD n) { return p != nullptr && !IsBadReadPtr(p, n); }

// A caller's record filled by a reply of exactly its size.
BOOL Receive(KIV_HANDLE h, DWORD code, void* out, DWORD size, const void* in = nullptr, DWORD inLength = 0)
{
    if (!Writable(out, size)) return Fail(ERROR_INVALID_PARAMETER);
    return Send(h, code, in, inLength, out, size);
}
// A caller's record sent as it is.
BOOL Give(KIV_HANDLE h, DWORD code, const void* in, DWORD size)
{
    if (!Readable(in, size)) return Fail(ERROR_INVALID_PARAMETER);
    return Send(h, code, in, size);
}

BOOL Open(const char* path, KIV_HANDLE* handle, DWORD access)
{
    if (path == nullptr || IsBadReadPtr(path, 1) || *path == 0 || !Writable(handle, sizeof *handle))
        return Fail(ERROR_INVALID_PARAMETER);
    *handle = KivSyncApp().OpenStream(path, access);
    return *handle != INVALID_HANDLE_VALUE;
}

// Deck commands 1-3 are event kinds 3-5.
bool CommandKind(uint32_t command, uint32_t* kind)
{
    if (command < 1 || command > 3) return false;
    *kind = command + 2;
    return true;
}

}  // namespace

// ---- Sync: any stream ----

KIV_API KIV_BOOL KivSync_Open(const char* path, KIV_HANDLE* handle) { return Open(path, handle, GENERIC_READ | GENERIC_WRITE); }
KIV_API KIV_BOOL KivSync_Monitor(const char* path, KIV_HANDLE* handle) { return Open(path, handle, GENERIC_READ); }
KIV_API KIV_BOOL KivSync_Close(KIV_HANDLE h) { return KivSyncApp().CloseStream(h); }

KIV_API KIV_BOOL KivSync_GetDeviceInfo(KIV_HANDLE h, KIV_DEVICE_INFO* info)
{
    if (!Writable(info, sizeof *info)) return Fail(ERROR_INVALID_PARAMETER);
    uint32_t w = 0;
    if (!Send(h, IOCTL_TANDREL_GET_DEVICE_INFO, nullptr, 0, &w, sizeof w)) return FALSE;
    const uint32_t rate = w & 0xFF;
    uint32_t capabilities = 0;
    const int bits[6] = {16, 17, 18, 24, 25, 26};
    for (int i = 0; i < 6; ++i) capabilities |= ((w >> bits[i]) & 1u) << i;
    *info = {rate, rate == 29 ? 30u : rate, (w >> 8) & 1u, capabilities};
    return TRUE;
}

KIV_API KIV_BOOL KivSync_Start(KIV_HANDLE h) { return SendWords(h, IOCTL_TANDREL_START, 0); }
KIV_API KIV_BOOL KivSync_StartOnEvent(KIV_HANDLE h, KIV_EVENT event)
{
    if (event == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    return SendWords(h, IOCTL_TANDREL_START, Value(event));
}
KIV_API KIV_BOOL KivSync_Stop(KIV_HANDLE h) { return SendWords(h, IOCTL_TANDREL_STOP, 0); }
KIV_API KIV_BOOL KivSync_StopOnEvent(KIV_HANDLE h, KIV_EVENT event) { return SendWords(h, IOCTL_TANDREL_STOP, Value(event)); }

KIV_API KIV_BOOL KivSync_SyncStart(KIV_HANDLE h, KIV_HANDLE other)
{
    if (other == h) return Fail(ERROR_INVALID_PARAMETER);
    return SendWords(h, IOCTL_TANDREL_SYNC_START_STOP, 1, Value(other), TANDREL_EVENT_ON_START, 0);
}
KIV_API KIV_BOOL KivSync_SyncStartOnFrame(KIV_HANDLE h, KIV_HANDLE other, uint32_t frame)
{
    return SendWords(h, IOCTL_TANDREL_SYNC_START_STOP, 1, Value(other), TANDREL_EVENT_ON_FRAME, frame);
}
KIV_API KIV_BOOL KivSync_SyncStop(KIV_HANDLE h, KIV_HANDLE other)
{
    if (other == h) return Fail(ERROR_INVALID_PARAMETER);
    return SendWords(h, IOCTL_TANDREL_SYNC_START_STOP, 0, Value(other), TANDREL_EVENT_ON_STOP, 0);
}
KIV_API KIV_BOOL KivSync_SyncStopOnFrame(KIV_HANDLE h, KIV_HANDLE other, uint32_t frame)
{
    return SendWords(h, IOCTL_TANDREL_SYNC_START_STOP, 0, Value(other), TANDREL_EVENT_ON_FRAME, frame);
}
KIV_API KIV_BOOL KivSync_CancelPendingStart(KIV_HANDLE h) { return SendWords(h, IOCTL_TANDREL_CANCEL_PENDING, 1, 0, 0, 0); }
KIV_API KIV_BOOL KivSync_CancelPendingStop(KIV_HANDLE h) { return SendWords(h, IOCTL_TANDREL_CANCEL_PENDING, 0, 0, 0, 0); }

KIV_API KIV_BOOL KivSync_SetEventOnStart(KIV_HANDLE h, KIV_EVENT event, uint32_t parameter)
{
    return SendWords(h, IOCTL_TANDREL_SET_EVENT, TANDREL_EVENT_ON_START, Value(event), parameter, 0);
}
KIV_API KIV_BOOL KivSync_SetEventOnStop(KIV_HANDLE h, KIV_EVENT event, uint32_t parameter)
{
    return SendWords(h, IOCTL_TANDREL_SET_EVENT, TANDREL_EVENT_ON_STOP, Value(event), parameter, 0);
}
KIV_API KIV_BOOL KivSync_SetEventOnFrame(KIV_HANDLE h, KIV_EVENT event, uint32_t frame, uint32_t parameter)
{
    return SendWords(h, IOCTL_TANDREL_SET_EVENT, TANDREL_EVENT_ON_FRAME, Value(event), parameter, frame);
}
KIV_API KIV_BOOL KivSync_CancelStartEvent(KIV_HANDLE h, KIV_EVENT event)
{
    return SendWords(h, IOCTL_TANDREL_CANCEL_EVENT, TANDREL_EVENT_ON_START, Value(event));
}
KIV_API KIV_BOOL KivSync_CancelStopEvent(KIV_HANDLE h, KIV_EVENT event)
{
    return SendWords(h, IOCTL_TANDREL_CANCEL_EVENT, TANDREL_EVENT_ON_STOP, Value(event));
}
KIV_API KIV_BOOL KivSync_CancelFrameEvent(KIV_HANDLE h, KIV_EVENT event)
{
    return SendWords(h, IOCTL_TANDREL_CANCEL_EVENT, TANDREL_EVENT_ON_FRAME, Value(event));
}
KIV_API KIV_BOOL KivSync_EnablePeriodicEvent(KIV_HANDLE h, KIV_EVENT event, uint16_t period, uint16_t phase)
{
    const TANDREL_PERIODIC_EVENT record{Value(event), period, phase};
    return Send(h, IOCTL_TANDREL_ENABLE_PERIODIC_EVENT, &record, sizeof record);
}
KIV_API KIV_BOOL KivSync_DisablePeriodicEvent(KIV_HANDLE h, KIV_EVENT event)
{
    return SendWords(h, IOCTL_TANDREL_DISABLE_PERIODIC_EVENT, Value(event));
}
KIV_API KIV_BOOL KivSync_EnablePollTrigger(KIV_HANDLE h, uint32_t first, uint32_t second)
{
    return SendWords(h, IOCTL_TANDREL_ENABLE_POLL_TRIGGER, second, first);
}
KIV_API KIV_BOOL KivSync_DisablePollTrigger(KIV_HANDLE h, uint32_t first) { return SendWords(h, IOCTL_TANDREL_DISABLE_POLL_TRIGGER, first); }
KIV_API KIV_BOOL KivSync_EnableNotifications(KIV_HANDLE h, KIV_EVENT semaphore)
{
    return SendWords(h, IOCTL_TANDREL_ENABLE_NOTIFICATIONS, Value(semaphore));
}
KIV_API KIV_BOOL KivSync_DisableNotifications(KIV_HANDLE h) { return Send(h, IOCTL_TANDREL_DISABLE_NOTIFICATIONS, nullptr, 0); }

// ---- Smpte12m: time-code streams ----

KIV_API KIV_BOOL KivSmpte12m_GetConfiguration(KIV_HANDLE h, TANDREL_CONFIGURATION* c)
{
    return Receive(h, IOCTL_TANDREL_SMPTE12M_GET_CONFIGURATION, c, sizeof *c);
}
KIV_API KIV_BOOL KivSmpte12m_SetConfiguration(KIV_HANDLE h, const TANDREL_CONFIGURATION* c)
{
    return Give(h, IOCTL_TANDREL_SMPTE12M_SET_CONFIGURATION, c, sizeof *c);
}
KIV_API KIV_BOOL KivSmpte12m_GetBase(KIV_HANDLE h, TANDREL_SAMPLE* s) { return Receive(h, IOCTL_TANDREL_SMPTE12M_GET_BASE, s, sizeof *s); }
KIV_API KIV_BOOL KivSmpte12m_SetBase(KIV_HANDLE h, const TANDREL_SAMPLE* s) { return Give(h, IOCTL_TANDREL_SMPTE12M_SET_BASE, s, sizeof *s); }
KIV_API KIV_BOOL KivSmpte12m_GetSample(KIV_HANDLE h, TANDREL_SAMPLE* s) { return Receive(h, IOCTL_TANDREL_SMPTE12M_GET_SAMPLE, s, sizeof *s); }
KIV_API KIV_BOOL KivSmpte12m_GetReferencedSample(KIV_HANDLE h, TANDREL_REFERENCED_SAMPLE* s)
{
    return Receive(h, IOCTL_TANDREL_SMPTE12M_GET_SAMPLE, s, sizeof *s);
}
KIV_API KIV_BOOL KivSmpte12m_GetTimestampedSample(KIV_HANDLE h, TANDREL_TIMESTAMPED_SAMPLE* s)
{
    return Receive(h, IOCTL_TANDREL_SMPTE12M_GET_SAMPLE, s, sizeof *s);
}
KIV_API KIV_BOOL KivSmpte12m_SetOverride(KIV_HANDLE h, const TANDREL_OVERRIDE* o)
{
    return Give(h, IOCTL_TANDREL_SMPTE12M_SET_OVERRIDE, o, sizeof *o);
}

// ---- Smpte12mInput: readers ----

KIV_API KIV_BOOL KivSmpte12mInput_GetCurrentMode(KIV_HANDLE h, uint32_t* mode)
{
    return Receive(h, IOCTL_TANDREL_SMPTE12M_INPUT_GET_MODE, mode, sizeof *mode);
}
KIV_API KIV_BOOL KivSmpte12mInput_GetCurrentState(KIV_HANDLE h, TANDREL_INPUT_STATE* s)
{
    return Receive(h, IOCTL_TANDREL_SMPTE12M_GET_SAMPLE, s, sizeof *s);
}
KIV_API KIV_BOOL KivSmpte12mInput_GetQueuedNotice(KIV_HANDLE h, TANDREL_INPUT_STATE* s)
{
    return Receive(h, IOCTL_TANDREL_GET_QUEUED_NOTICE, s, sizeof *s);
}
KIV_API KIV_BOOL KivSmpte12mInput_EnableJamAndRejam(KIV_HANDLE h, uint32_t count)
{
    if (count < 2) return Fail(ERROR_INVALID_PARAMETER);
    return SendWords(h, IOCTL_TANDREL_SMPTE12M_INPUT_SET_JAM, 2, count * 2);
}
KIV_API KIV_BOOL KivSmpte12mInput_EnableSpotJam(KIV_HANDLE h, uint32_t count)
{
    return SendWords(h, IOCTL_TANDREL_SMPTE12M_INPUT_SET_JAM, 1, count * 2);
}
KIV_API KIV_BOOL KivSmpte12mInput_DisableJam(KIV_HANDLE h, uint32_t count)
{
    if (count < 2) return Fail(ERROR_INVALID_PARAMETER);
    return SendWords(h, IOCTL_TANDREL_SMPTE12M_INPUT_SET_JAM, 0, count * 2);
}
KIV_API KIV_BOOL KivSmpte12mInput_EnableCapture(KIV_HANDLE h, uint32_t value)
{
    return SendWords(h, IOCTL_TANDREL_SMPTE12M_INPUT_ENABLE_CAPTURE, value);
}
KIV_API KIV_BOOL KivSmpte12mInput_DisableCapture(KIV_HANDLE h) { return Send(h, IOCTL_TANDREL_SMPTE12M_INPUT_DISABLE_CAPTURE, nullptr, 0); }
KIV_API KIV_BOOL KivSmpte12mInput_GetCapturedSample(KIV_HANDLE h, TANDREL_SAMPLE* s)
{
    return Receive(h, IOCTL_TANDREL_SMPTE12M_INPUT_GET_CAPTURED, s, sizeof *s);
}
KIV_API KIV_BOOL KivSmpte12mInput_GetCapturedReferencedSample(KIV_HANDLE h, TANDREL_REFERENCED_SAMPLE* s)
{
    return Receive(h, IOCTL_TANDREL_SMPTE12M_INPUT_GET_CAPTURED, s, sizeof *s);
}
KIV_API KIV_BOOL KivSmpte12mInput_GetCapturedTimestampedSample(KIV_HANDLE h, TANDREL_TIMESTAMPED_SAMPLE* s)
{
    return Receive(h, IOCTL_TANDREL_SMPTE12M_INPUT_GET_CAPTURED, s, sizeof *s);
}
KIV_API KIV_BOOL KivSmpte12mInput_GetCapturedState(KIV_HANDLE h, TANDREL_INPUT_STATE* s)
{
    return Receive(h, IOCTL_TANDREL_SMPTE12M_INPUT_GET_CAPTURED, s, sizeof *s);
}

// ---- Smpte12mOutput: generators ----

KIV_API KIV_BOOL KivSmpte12mOutput_SetFreezeMode(KIV_HANDLE h, uint32_t mode)
{
    return SendWords(h, IOCTL_TANDREL_SMPTE12M_OUTPUT_SET_FREEZE_MODE, mode);
}
KIV_API KIV_BOOL KivSmpte12mOutput_GetFreezeMode(KIV_HANDLE h, uint32_t* mode)
{
    if (!Writable(mode, sizeof *mode)) return Fail(ERROR_INVALID_PARAMETER);
    uint32_t got = 0;
    if (!Send(h, IOCTL_TANDREL_SMPTE12M_OUTPUT_GET_FREEZE_MODE, nullptr, 0, &got, sizeof got)) return FALSE;
    if (got > 1) return Fail(ERROR_INVALID_DATA);
    *mode = got;
    return TRUE;
}
KIV_API KIV_BOOL KivSmpte12mOutput_GetCurrentState(KIV_HANDLE h, TANDREL_OUTPUT_STATE* s)
{
    return Receive(h, IOCTL_TANDREL_SMPTE12M_GET_SAMPLE, s, sizeof *s);
}
KIV_API KIV_BOOL KivSmpte12mOutput_GetQueuedNotice(KIV_HANDLE h, TANDREL_OUTPUT_STATE* s)
{
    return Receive(h, IOCTL_TANDREL_SMPTE12M_OUTPUT_GET_QUEUED_NOTICE, s, sizeof *s);
}
KIV_API KIV_BOOL KivSmpte12mOutput_PrepareToGenerate(KIV_HANDLE h, const TANDREL_SAMPLE* from)
{
    return Send(h, IOCTL_TANDREL_SMPTE12M_OUTPUT_PREPARE_TO_GENERATE, from, sizeof *from);
}
KIV_API KIV_BOOL KivSmpte12mOutput_PrepareToTrack(KIV_HANDLE h, uint32_t first, uint32_t second)
{
    return SendWords(h, IOCTL_TANDREL_SMPTE12M_OUTPUT_PREPARE_TO_TRACK, first, second);
}
KIV_API KIV_BOOL KivSmpte12mOutput_PrepareToStream(KIV_HANDLE h, const TANDREL_SAMPLE* from)
{
    return Give(h, IOCTL_TANDREL_SMPTE12M_OUTPUT_PREPARE_TO_STREAM, from, sizeof *from);
}
KIV_API KIV_BOOL KivSmpte12mOutput_WriteToStream(KIV_HANDLE h, const TANDREL_SAMPLE* samples, uint32_t count, void* overlapped)
{
    if (count == 0 || !Readable(samples, sizeof *samples)) return Fail(ERROR_INVALID_PARAMETER);
    return KivSyncApp().WriteSamples(h, samples, count * sizeof *samples, static_cast<OVERLAPPED*>(overlapped));
}

// ---- Smpte12mProxy: the reader proxy ----

KIV_API KIV_BOOL KivSmpte12mProxy_SetHintedSample(KIV_HANDLE h, const TANDREL_HINT* hint)
{
    return Give(h, IOCTL_TANDREL_SMPTE12M_PROXY_SET_HINTED_SAMPLE, hint, sizeof *hint);
}
KIV_API KIV_BOOL KivSmpte12mProxy_AcquirePumpAccess(KIV_HANDLE h)
{
    // The current sample as a hint of mode 0: ownership of the hints, nothing pumped yet.
    TANDREL_HINT hint{};
    if (!Send(h, IOCTL_TANDREL_SMPTE12M_GET_SAMPLE, nullptr, 0, &hint.Sample, sizeof hint.Sample)) return FALSE;
    hint.Mode = 0;
    return Send(h, IOCTL_TANDREL_SMPTE12M_PROXY_SET_HINTED_SAMPLE, &hint, sizeof hint);
}

// ---- Served by the board behind the stream device ----

KIV_API KIV_BOOL KivBurninGenerator_Show(KIV_HANDLE h) { return SendWords(h, IOCTL_TANDREL_BURNIN_SHOW_HIDE, 1); }
KIV_API KIV_BOOL KivBurninGenerator_Hide(KIV_HANDLE h) { return SendWords(h, IOCTL_TANDREL_BURNIN_SHOW_HIDE, 0); }
KIV_API KIV_BOOL KivBurninGenerator_GetConfiguration(KIV_HANDLE h, void* c)
{
    return Receive(h, IOCTL_TANDREL_BURNIN_GET_CONFIGURATION, c, 128);
}
KIV_API KIV_BOOL KivBurninGenerator_SetConfiguration(KIV_HANDLE h, const void* c)
{
    return Give(h, IOCTL_TANDREL_BURNIN_SET_CONFIGURATION, c, 128);
}
KIV_API KIV_BOOL KivLtcGenerator_SetGain(KIV_HANDLE h, int32_t gain)
{
    if (gain < -24 || gain > 9) return Fail(ERROR_INVALID_PARAMETER);
    return SendWords(h, IOCTL_TANDREL_LTC_GENERATOR_CONTROL, gain);
}
KIV_API KIV_BOOL KivLtcGenerator_Disable(KIV_HANDLE h) { return SendWords(h, IOCTL_TANDREL_LTC_GENERATOR_CONTROL, -100); }
KIV_API KIV_BOOL KivVitcReader_SetMonitoredLines(KIV_HANDLE h, int32_t first, int32_t second)
{
    return SendWords(h, IOCTL_TANDREL_VITC_CONTROL, first, second);
}
// One entry point under two names: a generator's insertion lines travel the same way.
extern "C" __attribute__((visibility("default"), alias("KivVitcReader_SetMonitoredLines"))) KIV_BOOL
KivVitcGenerator_SetInsertionLines(KIV_HANDLE h, int32_t first, int32_t second);
KIV_API KIV_BOOL KivVitcReader_Autoscan(KIV_HANDLE h) { return SendWords(h, IOCTL_TANDREL_VITC_CONTROL, -1, -1); }

// ---- DeckEm: deck emulation on a field counter ----

KIV_API KIV_BOOL KivDeckEm_MapBetaSlaveDevice(KIV_HANDLE h, uint32_t value)
{
    return SendWords(h, IOCTL_TANDREL_DECKEM_MAP_BETA_SLAVE_DEVICE, value, TANDREL_DECK_BLOCK_MIN);
}
KIV_API KIV_BOOL KivDeckEm_UnmapBetaSlaveDevice(KIV_HANDLE h, uint32_t value)
{
    return SendWords(h, IOCTL_TANDREL_DECKEM_UNMAP_BETA_SLAVE_DEVICE, value, TANDREL_DECK_BLOCK_MIN);
}
KIV_API KIV_BOOL KivDeckEm_SetEventOnCommand(KIV_HANDLE h, uint32_t command, KIV_EVENT event, uint32_t parameter)
{
    uint32_t kind;
    if (!CommandKind(command, &kind)) return Fail(ERROR_INVALID_PARAMETER);
    return SendWords(h, IOCTL_TANDREL_SET_EVENT, kind, Value(event), parameter, 0);
}
KIV_API KIV_BOOL KivDeckEm_CancelCommandEvent(KIV_HANDLE h, uint32_t command, KIV_EVENT event)
{
    uint32_t kind;
    if (!CommandKind(command, &kind)) return Fail(ERROR_INVALID_PARAMETER);
    return SendWords(h, IOCTL_TANDREL_CANCEL_EVENT, kind, Value(event), 0, 0);
}
KIV_API KIV_BOOL KivDeckEm_GetCommandReferencedSample(KIV_HANDLE h, uint32_t command, TANDREL_COMMAND_SAMPLE* sample)
{
    uint32_t kind;
    if (!CommandKind(command, &kind)) return Fail(ERROR_INVALID_PARAMETER);
    return Receive(h, IOCTL_TANDREL_DECKEM_GET_COMMAND_REFERENCED_SAMPLE, sample, sizeof *sample, &kind, sizeof kind);
}
