// The exports of the time-code library KivSync: Kiv<Object>_<Op> over the
// time-code devices (\\.\Zar0<stream>). Every export returns non-zero on
// success; a failure's reason is the thread's last error (87 a bad
// argument, 6 a handle the library did not open, 13 a reply of the wrong
// size or value, 29 a short sample write, 8 no memory, or the system's).
// Records are those of tandrelkd.h.
#pragma once

#include <cstdint>

#include "include/tandrelkd.h"

using KIV_BOOL = int32_t;
using KIV_HANDLE = void*;   // a stream handle from KivSync_Open or KivSync_Monitor
using KIV_EVENT = void*;    // an event (or semaphore) handle of the caller

// The device information the library decodes from the device's word.
struct KIV_DEVICE_INFO {
    uint32_t Rate;           // frame-rate code
    uint32_t NominalRate;    // 30 for 29.97
    uint32_t FieldAccurate;  // 1 tied to video fields
    uint32_t Capabilities;
};
static_assert(sizeof(KIV_DEVICE_INFO) == 16);

#define KIVSYNC_EXPORTS(X)                                                                                      \
    X(KivSync_Open) X(KivSync_Monitor) X(KivSync_Close) X(KivSync_GetDeviceInfo) X(KivSync_Start)               \
    X(KivSync_StartOnEvent) X(KivSync_Stop) X(KivSync_StopOnEvent) X(KivSync_SyncStart)                         \
    X(KivSync_SyncStartOnFrame) X(KivSync_SyncStop) X(KivSync_SyncStopOnFrame) X(KivSync_CancelPendingStart)    \
    X(KivSync_CancelPendingStop) X(KivSync_SetEventOnStart) X(KivSync_SetEventOnStop) X(KivSync_SetEventOnFrame) \
    X(KivSync_CancelStartEvent) X(KivSync_CancelStopEvent) X(KivSync_CancelFrameEvent)                          \
    X(KivSync_EnablePeriodicEvent) X(KivSync_DisablePeriodicEvent) X(KivSync_EnablePollTrigger)                 \
    X(KivSync_DisablePollTrigger) X(KivSync_EnableNotifications) X(KivSync_DisableNotifications)               \
    X(KivSmpte12m_GetConfiguration) X(KivSmpte12m_SetConfiguration) X(KivSmpte12m_GetBase)                     \
    X(KivSmpte12m_SetBase) X(KivSmpte12m_GetSample) X(KivSmpte12m_GetReferencedSample)                         \
    X(KivSmpte12m_GetTimestampedSample) X(KivSmpte12m_SetOverride) X(KivSmpte12m_GetSampleFromString)          \
    X(KivSmpte12m_PutSampleToString) X(KivSmpte12mInput_GetCurrentMode) X(KivSmpte12mInput_GetCurrentState)    \
    X(KivSmpte12mInput_GetQueuedNotice) X(KivSmpte12mInput_EnableJamAndRejam) X(KivSmpte12mInput_EnableSpotJam) \
    X(KivSmpte12mInput_DisableJam) X(KivSmpte12mInput_EnableCapture) X(KivSmpte12mInput_DisableCapture)        \
    X(KivSmpte12mInput_GetCapturedSample) X(KivSmpte12mInput_GetCapturedReferencedSample)                      \
    X(KivSmpte12mInput_GetCapturedTimestampedSample) X(KivSmpte12mInput_GetCapturedState)                      \
    X(KivSmpte12mOutput_SetFreezeMode) X(KivSmpte12mOutput_GetFreezeMode) X(KivSmpte12mOutput_GetCurrentState) \
    X(KivSmpte12mOutput_GetQueuedNotice) X(KivSmpte12mOutput_PrepareToGenerate)                                \
    X(KivSmpte12mOutput_PrepareToTrack) X(KivSmpte12mOutput_PrepareToStream) X(KivSmpte12mOutput_WriteToStream) \
    X(KivSmpte12mProxy_SetHintedSample) X(KivSmpte12mProxy_AcquirePumpAccess) X(KivBurninGenerator_Show)       \
    X(KivBurninGenerator_Hide) X(KivBurninGenerator_GetConfiguration) X(KivBurninGenerator_SetConfiguration)   \
    X(KivLtcGenerator_SetGain) X(KivLtcGenerator_Disable) X(KivVitcReader_SetMonitoredLines)                   \
    X(KivVitcGenerator_SetInsertionLines) X(KivVitcReader_Autoscan) X(KivDeckEm_MapBetaSlaveDevice)            \
    X(KivDeckEm_UnmapBetaSlaveDevice) X(KivDeckEm_SetEventOnCommand) X(KivDeckEm_CancelCommandEvent)           \
    X(KivDeckEm_GetCommandReferencedSample)

#define KIVSYNC_NAME(name) #name,
inline constexpr const char* KivSyncExportNames[] = {KIVSYNC_EXPORTS(KIVSYNC_NAME)};
#undef KIVSYNC_NAME
static_assert(sizeof(KivSyncExportNames) / sizeof(KivSyncExportNames[0]) == 72);

extern "C" {
KIV_BOOL KivSync_Open(const char* path, KIV_HANDLE* handle);
KIV_BOOL KivSync_Monitor(const char* path, KIV_HANDLE* handle);
KIV_BOOL KivSync_Close(KIV_HANDLE h);
KIV_BOOL KivSync_GetDeviceInfo(KIV_HANDLE h, KIV_DEVICE_INFO* info);
KIV_BOOL KivSync_Start(KIV_HANDLE h);
KIV_BOOL KivSync_StartOnEvent(KIV_HANDLE h, KIV_EVENT event);
KIV_BOOL KivSync_Stop(KIV_HANDLE h);
KIV_BOOL KivSync_StopOnEvent(KIV_HANDLE h, KIV_EVENT event);
KIV_BOOL KivSync_SyncStart(KIV_HANDLE h, KIV_HANDLE other);
KIV_BOOL KivSync_SyncStartOnFrame(KIV_HANDLE h, KIV_HANDLE other, uint32_t frame);
KIV_BOOL KivSync_SyncStop(KIV_HANDLE h, KIV_HANDLE other);
KIV_BOOL KivSync_SyncStopOnFrame(KIV_HANDLE h, KIV_HANDLE other, uint32_t frame);
KIV_BOOL KivSync_CancelPendingStart(KIV_HANDLE h);
KIV_BOOL KivSync_CancelPendingStop(KIV_HANDLE h);
KIV_BOOL KivSync_SetEventOnStart(KIV_HANDLE h, KIV_EVENT event, uint32_t parameter);
KIV_BOOL KivSync_SetEventOnStop(KIV_HANDLE h, KIV_EVENT event, uint32_t parameter);
KIV_BOOL KivSync_SetEventOnFrame(KIV_HANDLE h, KIV_EVENT event, uint32_t frame, uint32_t parameter);
KIV_BOOL KivSync_CancelStartEvent(KIV_HANDLE h, KIV_EVENT event);
KIV_BOOL KivSync_CancelStopEvent(KIV_HANDLE h, KIV_EVENT event);
KIV_BOOL KivSync_CancelFrameEvent(KIV_HANDLE h, KIV_EVENT event);
KIV_BOOL KivSync_EnablePeriodicEvent(KIV_HANDLE h, KIV_EVENT event, uint16_t period, uint16_t phase);
KIV_BOOL KivSync_DisablePeriodicEvent(KIV_HANDLE h, KIV_EVENT event);
KIV_BOOL KivSync_EnablePollTrigger(KIV_HANDLE h, uint32_t first, uint32_t second);
KIV_BOOL KivSync_DisablePollTrigger(KIV_HANDLE h, uint32_t first);
KIV_BOOL KivSync_EnableNotifications(KIV_HANDLE h, KIV_EVENT semaphore);
KIV_BOOL KivSync_DisableNotifications(KIV_HANDLE h);
KIV_BOOL KivSmpte12m_GetConfiguration(KIV_HANDLE h, TANDREL_CONFIGURATION* configuration);
KIV_BOOL KivSmpte12m_SetConfiguration(KIV_HANDLE h, const TANDREL_CONFIGURATION* configuration);
KIV_BOOL KivSmpte12m_GetBase(KIV_HANDLE h, TANDREL_SAMPLE* base);
KIV_BOOL KivSmpte12m_SetBase(KIV_HANDLE h, const TANDREL_SAMPLE* base);
KIV_BOOL KivSmpte12m_GetSample(KIV_HANDLE h, TANDREL_SAMPLE* sample);
KIV_BOOL KivSmpte12m_GetReferencedSample(KIV_HANDLE h, TANDREL_REFERENCED_SAMPLE* sample);
KIV_BOOL KivSmpte12m_GetTimestampedSample(KIV_HANDLE h, TANDREL_TIMESTAMPED_SAMPLE* sample);
KIV_BOOL KivSmpte12m_SetOverride(KIV_HANDLE h, const TANDREL_OVERRIDE* override_);
KIV_BOOL KivSmpte12m_GetSampleFromString(KIV_HANDLE h, TANDREL_SAMPLE* sample, const char* text);
KIV_BOOL KivSmpte12m_PutSampleToString(KIV_HANDLE h, const TANDREL_SAMPLE* sample, char* text);
KIV_BOOL KivSmpte12mInput_GetCurrentMode(KIV_HANDLE h, uint32_t* mode);
KIV_BOOL KivSmpte12mInput_GetCurrentState(KIV_HANDLE h, TANDREL_INPUT_STATE* state);
KIV_BOOL KivSmpte12mInput_GetQueuedNotice(KIV_HANDLE h, TANDREL_INPUT_STATE* notice);
KIV_BOOL KivSmpte12mInput_EnableJamAndRejam(KIV_HANDLE h, uint32_t count);
KIV_BOOL KivSmpte12mInput_EnableSpotJam(KIV_HANDLE h, uint32_t count);
KIV_BOOL KivSmpte12mInput_DisableJam(KIV_HANDLE h, uint32_t count);
KIV_BOOL KivSmpte12mInput_EnableCapture(KIV_HANDLE h, uint32_t value);
KIV_BOOL KivSmpte12mInput_DisableCapture(KIV_HANDLE h);
KIV_BOOL KivSmpte12mInput_GetCapturedSample(KIV_HANDLE h, TANDREL_SAMPLE* sample);
KIV_BOOL KivSmpte12mInput_GetCapturedReferencedSample(KIV_HANDLE h, TANDREL_REFERENCED_SAMPLE* sample);
KIV_BOOL KivSmpte12mInput_GetCapturedTimestampedSample(KIV_HANDLE h, TANDREL_TIMESTAMPED_SAMPLE* sample);
KIV_BOOL KivSmpte12mInput_GetCapturedState(KIV_HANDLE h, TANDREL_INPUT_STATE* state);
KIV_BOOL KivSmpte12mOutput_SetFreezeMode(KIV_HANDLE h, uint32_t mode);
KIV_BOOL KivSmpte12mOutput_GetFreezeMode(KIV_HANDLE h, uint32_t* mode);
KIV_BOOL KivSmpte12mOutput_GetCurrentState(KIV_HANDLE h, TANDREL_OUTPUT_STATE* state);
KIV_BOOL KivSmpte12mOutput_GetQueuedNotice(KIV_HANDLE h, TANDREL_OUTPUT_STATE* notice);
KIV_BOOL KivSmpte12mOutput_PrepareToGenerate(KIV_HANDLE h, const TANDREL_SAMPLE* from);
KIV_BOOL KivSmpte12mOutput_PrepareToTrack(KIV_HANDLE h, uint32_t first, uint32_t second);
KIV_BOOL KivSmpte12mOutput_PrepareToStream(KIV_HANDLE h, const TANDREL_SAMPLE* from);
KIV_BOOL KivSmpte12mOutput_WriteToStream(KIV_HANDLE h, const TANDREL_SAMPLE* samples, uint32_t count, void* overlapped);
KIV_BOOL KivSmpte12mProxy_SetHintedSample(KIV_HANDLE h, const TANDREL_HINT* hint);
KIV_BOOL KivSmpte12mProxy_AcquirePumpAccess(KIV_HANDLE h);
KIV_BOOL KivBurninGenerator_Show(KIV_HANDLE h);
KIV_BOOL KivBurninGenerator_Hide(KIV_HANDLE h);
KIV_BOOL KivBurninGenerator_GetConfiguration(KIV_HANDLE h, void* configuration);
KIV_BOOL KivBurninGenerator_SetConfiguration(KIV_HANDLE h, const void* configuration);
KIV_BOOL KivLtcGenerator_SetGain(KIV_HANDLE h, int32_t gain);
KIV_BOOL KivLtcGenerator_Disable(KIV_HANDLE h);
KIV_BOOL KivVitcReader_SetMonitoredLines(KIV_HANDLE h, int32_t first, int32_t second);
KIV_BOOL KivVitcGenerator_SetInsertionLines(KIV_HANDLE h, int32_t first, int32_t second);
KIV_BOOL KivVitcReader_Autoscan(KIV_HANDLE h);
KIV_BOOL KivDeckEm_MapBetaSlaveDevice(KIV_HANDLE h, uint32_t value);
KIV_BOOL KivDeckEm_UnmapBetaSlaveDevice(KIV_HANDLE h, uint32_t value);
KIV_BOOL KivDeckEm_SetEventOnCommand(KIV_HANDLE h, uint32_t command, KIV_EVENT event, uint32_t parameter);
KIV_BOOL KivDeckEm_CancelCommandEvent(KIV_HANDLE h, uint32_t command, KIV_EVENT event);
KIV_BOOL KivDeckEm_GetCommandReferencedSample(KIV_HANDLE h, uint32_t command, TANDREL_COMMAND_SAMPLE* sample);
}
