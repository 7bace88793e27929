// A named mutex held for a scope, so set-up that several processes could
// start at once is done by one of them while the others wait. A holder
// that died leaves the mutex abandoned, which still hands it over.
#pragma once

#include "platform/win32/win32.h"

class CNamedMutexHeld {
public:
    CNamedMutexHeld(const char* name, LPSECURITY_ATTRIBUTES attributes)
        : m_mutex(CreateMutexA(attributes, FALSE, name)), m_owned(true)
    {
        Take();
    }
    // A mutex the caller keeps open.
    explicit CNamedMutexHeld(HANDLE mutex) : m_mutex(mutex), m_owned(false) { Take(); }
    ~CNamedMutexHeld()
    {
        if (m_held) ReleaseMutex(m_mutex);
        if (m_mutex && m_owned) CloseHandle(m_mutex);
    }
    CNamedMutexHeld(const CNamedMutexHeld&) = delete;
    CNamedMutexHeld& operator=(const CNamedMutexHeld&) = delete;
    bool Held() const { return m_held; }

private:
    void Take()
    {
        if (!m_mutex) return;
        const DWORD waited = WaitForSingleObject(m_mutex, INFINITE);
        m_held = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    }
    HANDLE m_mutex;
    bool m_owned;
    bool m_held = false;
};
