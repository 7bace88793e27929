// What the audio level, pan and equaliser effect streams keep for each
// board channel they feed (board x 8 + channel, eight channels a board), in
// tables the whole process shares: the channel's worker thread, its stop
// event, its lock and its busy event. The three streams differ only in
// their tables and their effect kind; the stream base of the effects code
// runs the workers and calls these operations.
//
// Locks: 'm_tableLock' guards the creation of a slot's objects and the
// worker-thread word; the channel lock (a mutex) is held by the channel's
// worker while it feeds the board, and taken by Start to know the worker
// is free.
#pragma once

#include <cstdint>

#include "include/zardll.h"
#include "platform/win32/win32.h"

class CBoardConnection;

class CAudEffectChannels {
public:
    static constexpr uint32_t kChannelsPerBoard = 8;
    static constexpr DWORD kChannelLockWait = 5000;  // ms

    // Effect kind 10 (level), 11 (pan) or 12 (equaliser).
    explicit CAudEffectChannels(uint32_t effectKind, DWORD channelLockWait = kChannelLockWait);
    ~CAudEffectChannels();
    CAudEffectChannels(const CAudEffectChannels&) = delete;
    CAudEffectChannels& operator=(const CAudEffectChannels&) = delete;

    uint32_t EffectKind() const { return m_effectKind; }
    uint32_t ChannelCount() const { return kChannelsPerBoard; }

    // Made at the first use: a manual-reset event, signalled, unnamed.
    // Null for a board or channel out of range.
    HANDLE BusyEvent(uint32_t board, uint32_t channel);
    HANDLE WorkerThread(uint32_t board, uint32_t channel);
    void StoreWorkerThread(uint32_t board, uint32_t channel, HANDLE thread);
    HANDLE StopEvent(uint32_t board, uint32_t channel);
    HANDLE ChannelLock(uint32_t board, uint32_t channel);

    // Resets the stop event, resumes the worker and waits for the channel's
    // lock, at most the wait given at construction. ZAR_OK with the lock
    // held by the caller; ZAR_E_DRIVER when the lock stayed taken (a worker
    // that does not end), with one debug line saying which channel, or when
    // the channel is out of range.
    int32_t Start(uint32_t board, uint32_t channel);
    // Sets the channel's stop event.
    void Stop(uint32_t board, uint32_t channel);

private:
    struct Slot {
        HANDLE worker = nullptr;
        HANDLE stop = nullptr;
        HANDLE lock = nullptr;
        HANDLE busy = nullptr;
    };
    // The slot with its events and lock made; null out of range or when
    // they cannot be made.
    Slot* SlotOf(uint32_t board, uint32_t channel);

    uint32_t m_effectKind;
    DWORD m_channelLockWait;
    CRITICAL_SECTION m_tableLock;
    Slot m_slots[ZAR_DLL_MAX_BOARDS * kChannelsPerBoard];
};

// The three streams' tables.
CAudEffectChannels& AudLevelEffectChannels();
CAudEffectChannels& AudPanEffectChannels();
CAudEffectChannels& AudEqEffectChannels();

// The play command the three share: a zeroed 32-byte audio-effect play
// command to the board. False when the request fails.
bool SendAudioEffectPlayCommand(CBoardConnection& connection);
