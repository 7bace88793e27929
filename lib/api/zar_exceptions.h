// The process's exception-packet queue: worker threads put packets, the
// application fetches them, one semaphore count per packet stored.
#pragma once

#include <cstdint>

#include "include/zardll.h"
#include "platform/win32/win32.h"

class CExceptionPacketQueue {
public:
    static constexpr uint32_t kCapacity = 32;
    static constexpr DWORD kLockWait = 5000;  // ms

    // Null when the semaphore or the mutex cannot be made (nothing is kept).
    static CExceptionPacketQueue* Create();
    ~CExceptionPacketQueue();
    CExceptionPacketQueue(const CExceptionPacketQueue&) = delete;
    CExceptionPacketQueue& operator=(const CExceptionPacketQueue&) = delete;

    HANDLE Semaphore() const { return m_semaphore; }
    // 1 stored (and the semaphore released once), 0 dropped: ring full or
    // the lock not had within 5 s.
    int PutPacket(const ZAR_EXCEPTION_PACKET& packet);
    // 1 and the oldest packet, 0 when none waits or the lock was not had.
    int GetPacket(ZAR_EXCEPTION_PACKET* packet);

private:
    CExceptionPacketQueue(HANDLE semaphore, HANDLE mutex);
    HANDLE m_mutex;
    HANDLE m_semaphore;
    ZAR_EXCEPTION_PACKET m_ring[kCapacity] = {};
    uint32_t m_count = 0;
    uint32_t m_read = 0;
    uint32_t m_write = 0;
};
