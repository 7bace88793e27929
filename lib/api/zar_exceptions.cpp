// The exception-packet ring under its mutex. The semaphore is the only
// object that crosses to the application; fetching does not wait on it, so
// an application that waits once per fetched packet stays in step.

#include "zar_exceptions.h"

CExceptionPacketQueue* CExceptionPacketQueue::Create()
{
    HANDLE semaphore = CreateSemaphoreA(nullptr, 0, LONG(kCapacity), nullptr);
    if (!semaphore) return nullptr;
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    if (!mutex) {
        CloseHandle(semaphore);
        return nullptr;
    }
    return new CExceptionPacketQueue(semaphore, mutex);
}

CExceptionPacketQueue::CExceptionPacketQueue(HANDLE semaphore, HANDLE mutex) : m_mutex(mutex), m_semaphore(semaphore)
{
}

CExceptionPacketQueue::~CExceptionPacketQueue()
{
    CloseHandle(m_mutex);
    CloseHandle(m_semaphore);
}

int CExceptionPacketQueue::PutPacket(const ZAR_EXCEPTION_PACKET& packet)
{
    const DWORD waited = WaitForSingleObject(m_mutex, kLockWait);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) return 0;
    int stored = 0;
    if (m_count < kCapacity) {
        m_ring[m_write] = packet;
        m_write = (m_write + 1) % kCapacity;
        ++m_count;
        ReleaseSemaphore(m_semaphore, 1, nullptr);
        stored = 1;
    }
    ReleaseMutex(m_mutex);
    return stored;
}

int CExceptionPacketQueue::GetPacket(ZAR_EXCEPTION_PACKET* packet)
{
    const DWORD waited = WaitForSingleObject(m_mutex, kLockWait);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) return 0;
    int taken = 0;
    if (m_count > 0) {
        *packet = m_ring[m_read];
        m_read = (m_read + 1) % kCapacity;
        --m_count;
        taken = 1;
    }
    ReleaseMutex(m_mutex);
    return taken;
}
