// Objects handed to applications as handles: reference counted, found by
// their handle value in one process-wide map, and tested for their class
// before use. A handle value is a counter, never an address, so a stale
// handle stays unknown even after its memory holds another object.
//
// Two counts: the references of the object's holders (the application, a
// stream holding an item), which keep the handle in the map, and the
// lookups in progress, which keep only the object alive. So a holder that
// drops one reference too many is refused however many lookups run, and
// an object is deleted once, when both reach zero.
#pragma once

#include <cstdint>

#include "platform/win32/win32.h"

class CHandleObject {
public:
    CHandleObject();
    CHandleObject(const CHandleObject& other);  // a new object with a handle of its own
    CHandleObject& operator=(const CHandleObject&) = delete;
    virtual ~CHandleObject();

    uint32_t Handle() const { return m_handle; }
    LONG References() const { return m_references; }
    LONG Lookups() const { return m_lookups; }

    // One more holder's reference, dropped by Release.
    void Reference();
    // Drops a holder's reference; at zero the object leaves the map, and it
    // is deleted as soon as no lookup uses it.
    void Release();

    // The object of a handle, kept alive for the caller until it calls
    // EndLookup; false for a handle not in the map.
    static bool LookupHandle(uint32_t handle, CHandleObject** object);
    void EndLookup();
    // The body of ZarDereferenceObject: ZAR_OK, or ZAR_E_BAD_HANDLE for a
    // handle not in the map.
    static int32_t DereferenceHandle(uint32_t handle);
    // Handles in the map now.
    static size_t LiveHandles();

private:
    void Enter();
    volatile LONG m_references = 1;
    volatile LONG m_lookups = 0;
    uint32_t m_handle = 0;
};

// A looked-up handle of class T, kept alive for the scope;
// empty when the handle is unknown or of another class.
template <class T>
class CHandleRef {
public:
    explicit CHandleRef(uint32_t handle)
    {
        CHandleObject* object = nullptr;
        if (!CHandleObject::LookupHandle(handle, &object)) return;
        m_object = dynamic_cast<T*>(object);
        if (!m_object) object->EndLookup();
    }
    ~CHandleRef()
    {
        if (m_object) m_object->EndLookup();
    }
    CHandleRef(const CHandleRef&) = delete;
    CHandleRef& operator=(const CHandleRef&) = delete;
    explicit operator bool() const { return m_object != nullptr; }
    T* operator->() const { return m_object; }
    T* Get() const { return m_object; }

private:
    T* m_object = nullptr;
};
