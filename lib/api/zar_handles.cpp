// The process-wide handle map. Every change of either count is made under
// the handle lock, so a holders' count that reaches zero and the map entry
// that goes with it change together: a lookup either finds the object and
// keeps it alive or does not find it, and exactly one caller sees the
// object unheld and unused, and deletes it (outside the lock, since a
// destructor may release other handles).

#include "zar_handles.h"

#include <map>

#include "include/zardll.h"

namespace {

// Made on first use, so objects built by any static initialiser find it.
struct HandleTable {
    HandleTable() { InitializeCriticalSection(&lock); }
    CRITICAL_SECTION lock;
    std::map<uint32_t, CHandleObject*> objects;
    uint32_t next = 0x00010000;  // low values are never handles, so a small integer passed by mistake is refused
};

HandleTable& Table()
{
    static HandleTable* table = new HandleTable;  // never destroyed: objects may outlive static destruction
    return *table;
}

class Locked {
public:
    Locked() { EnterCriticalSection(&Table().lock); }
    ~Locked() { LeaveCriticalSection(&Table().lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
};

}  // namespace

CHandleObject::CHandleObject() { Enter(); }

CHandleObject::CHandleObject(const CHandleObject&) { Enter(); }

CHandleObject::~CHandleObject() = default;

void CHandleObject::Enter()
{
    HandleTable& t = Table();
    Locked held;
    // Skip 0, -1 and any value still in use after the counter wrapped.
    do {
        m_handle = t.next++;
    } while (m_handle == 0 || m_handle == 0xFFFFFFFF || t.objects.count(m_handle) != 0);
    t.objects[m_handle] = this;
}

void CHandleObject::Reference()
{
    Locked held;
    InterlockedIncrement(&m_references);
}

void CHandleObject::Release()
{
    {
        Locked held;
        if (InterlockedDecrement(&m_references) > 0) return;
        Table().objects.erase(m_handle);
        if (m_lookups > 0) return;  // the last lookup deletes it
    }
    delete this;
}

void CHandleObject::EndLookup()
{
    {
        Locked held;
        if (InterlockedDecrement(&m_lookups) > 0 || m_references > 0) return;
    }
    delete this;
}

bool CHandleObject::LookupHandle(uint32_t handle, CHandleObject** object)
{
    HandleTable& t = Table();
    Locked held;
    auto it = t.objects.find(handle);
    if (it == t.objects.end()) return false;
    InterlockedIncrement(&it->second->m_lookups);
    *object = it->second;
    return true;
}

int32_t CHandleObject::DereferenceHandle(uint32_t handle)
{
    CHandleObject* gone = nullptr;
    {
        HandleTable& t = Table();
        Locked held;
        auto it = t.objects.find(handle);
        if (it == t.objects.end()) return ZAR_E_BAD_HANDLE;
        CHandleObject* object = it->second;
        if (InterlockedDecrement(&object->m_references) == 0) {
            t.objects.erase(it);
            if (object->m_lookups == 0) gone = object;
        }
    }
    delete gone;
    return ZAR_OK;
}

size_t CHandleObject::LiveHandles()
{
    Locked held;
    return Table().objects.size();
}
