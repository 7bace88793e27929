// The per-channel tables of the audio effect streams.

#include "zar_aud_effect_channels.h"

#include <string>

#include "include/zarkd.h"
#include "zar_connection.h"

CAudEffectChannels::CAudEffectChannels(uint32_t effectKind, DWORD channelLockWait)
    : m_effectKind(effectKind), m_channelLockWait(channelLockWait)
{
    InitializeCriticalSection(&m_tableLock);
}

CAudEffectChannels::~CAudEffectChannels()
{
    for (Slot& slot : m_slots)
        for (HANDLE h : {slot.stop, slot.lock, slot.busy})
            if (h) CloseHandle(h);
    DeleteCriticalSection(&m_tableLock);
}

CAudEffectChannels::Slot* CAudEffectChannels::SlotOf(uint32_t board, uint32_t channel)
{
    if (board >= ZAR_DLL_MAX_BOARDS || channel >= kChannelsPerBoard) return nullptr;
    Slot& slot = m_slots[board * kChannelsPerBoard + channel];
    EnterCriticalSection(&m_tableLock);
    if (!slot.stop) slot.stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!slot.lock) slot.lock = CreateMutexA(nullptr, FALSE, nullptr);
    if (!slot.busy) slot.busy = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    const bool made = slot.stop && slot.lock && slot.busy;
    LeaveCriticalSection(&m_tableLock);
    return made ? &slot : nullptr;
}

HANDLE CAudEffectChannels::BusyEvent(uint32_t board, uint32_t channel)
{
    Slot* slot = SlotOf(board, channel);
    return slot ? slot->busy : nullptr;
}

HANDLE CAudEffectChannels::StopEvent(uint32_t board, uint32_t channel)
{
    Slot* slot = SlotOf(board, channel);
    return slot ? slot->stop : nullptr;
}

HANDLE CAudEffectChannels::ChannelLock(uint32_t board, uint32_t channel)
{
    Slot* slot = SlotOf(board, channel);
    return slot ? slot->lock : nullptr;
}

HANDLE CAudEffectChannels::WorkerThread(uint32_t board, uint32_t channel)
{
    Slot* slot = SlotOf(board, channel);
    if (!slot) return nullptr;
    EnterCriticalSection(&m_tableLock);
    HANDLE worker = slot->worker;
    LeaveCriticalSection(&m_tableLock);
    return worker;
}

void CAudEffectChannels::StoreWorkerThread(uint32_t board, uint32_t channel, HANDLE thread)
{
    Slot* slot = SlotOf(board, channel);
    if (!slot) return;
    EnterCriticalSection(&m_tableLock);
    slot->worker = thread;
    LeaveCriticalSection(&m_tableLock);
}

int32_t CAudEffectChannels::Start(uint32_t board, uint32_t channel)
{
    Slot* slot = SlotOf(board, channel);
    if (!slot) return ZAR_E_DRIVER;
    ResetEvent(slot->stop);
    if (HANDLE worker = WorkerThread(board, channel)) ResumeThread(worker);
    // A worker that never lets its channel go must not hang the caller.
    const DWORD waited = WaitForSingleObject(slot->lock, m_channelLockWait);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) return ZAR_OK;
    OutputDebugStringA(("audio effect " + std::to_string(m_effectKind) + ", board " + std::to_string(board) +
                        " channel " + std::to_string(channel) + ": the channel's lock was not free within " +
                        std::to_string(m_channelLockWait) + " ms\n")
                           .c_str());
    return ZAR_E_DRIVER;
}

void CAudEffectChannels::Stop(uint32_t board, uint32_t channel)
{
    if (HANDLE stop = StopEvent(board, channel)) SetEvent(stop);
}

CAudEffectChannels& AudLevelEffectChannels()
{
    static auto* channels = new CAudEffectChannels(10);  // lives as the process does: never torn down at exit
    return *channels;
}

CAudEffectChannels& AudPanEffectChannels()
{
    static auto* channels = new CAudEffectChannels(11);  // lives as the process does: never torn down at exit
    return *channels;
}

CAudEffectChannels& AudEqEffectChannels()
{
    static auto* channels = new CAudEffectChannels(12);  // lives as the process does: never torn down at exit
    return *channels;
}

bool SendAudioEffectPlayCommand(CBoardConnection& connection)
{
    uint8_t command[32] = {};
    DWORD returned = 0;
    return SendDeviceRequest(connection.m_hBoard, IOCTL_ZAR_AUDFX_PLAY_COMMAND, command, sizeof command, command,
                             sizeof command, &returned, nullptr) != FALSE;
}
