// The least of COM the system's libraries use: per-thread initialisation,
// in-process classes found through the machine's registry
// (HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32, its default value naming
// the library), class factories, and IUnknown's reference rules: every
// interface handed out carries one reference its receiver releases.
#pragma once

#include <cstdint>
#include <cstring>

#include "../win32/win32.h"

using HRESULT = int32_t;
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
enum : HRESULT {
    S_OK = 0,
    S_FALSE = 1,
    E_NOTIMPL = HRESULT(0x80004001),
    E_NOINTERFACE = HRESULT(0x80004002),
    E_POINTER = HRESULT(0x80004003),
    E_FAIL = HRESULT(0x80004005),
    E_OUTOFMEMORY = HRESULT(0x8007000E),
    E_INVALIDARG = HRESULT(0x80070057),
    CLASS_E_NOAGGREGATION = HRESULT(0x80040110),
    CLASS_E_CLASSNOTAVAILABLE = HRESULT(0x80040111),
    REGDB_E_CLASSNOTREG = HRESULT(0x80040154),
    CO_E_NOTINITIALIZED = HRESULT(0x800401F0),
    CO_E_DLLNOTFOUND = HRESULT(0x800401F8),
    CO_E_ERRORINDLL = HRESULT(0x800401F9),
};

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16);
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
inline bool IsEqualGUID(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }
inline bool operator==(const GUID& a, const GUID& b) { return IsEqualGUID(a, b); }

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" with the terminator: 39 characters.
int StringFromGUID2A(const GUID& guid, char* text, int chars);

struct IUnknown {
    virtual HRESULT QueryInterface(REFIID iid, void** object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};
using LPUNKNOWN = IUnknown*;
inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

struct IClassFactory : IUnknown {
    virtual HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) = 0;
    virtual HRESULT LockServer(BOOL lock) = 0;

protected:
    ~IClassFactory() = default;
};
inline constexpr IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

enum : DWORD {
    CLSCTX_INPROC_SERVER = 0x1,
    CLSCTX_INPROC_HANDLER = 0x2,
    CLSCTX_LOCAL_SERVER = 0x4,
    CLSCTX_REMOTE_SERVER = 0x10,
    CLSCTX_ALL = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
};

// Counted per thread: each successful call (S_OK the first time, S_FALSE
// after) is matched by one CoUninitialize.
HRESULT CoInitialize(LPVOID reserved);
void CoUninitialize();
// Only in-process classes exist here: the class's library is loaded (and
// kept for the process's life), its DllGetClassObject gives the factory,
// and the factory makes the object.
HRESULT CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* object);
HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, LPVOID reserved, REFIID iid, LPVOID* object);

// What a server's library exports.
using PDLL_GET_CLASS_OBJECT = HRESULT (*)(REFCLSID clsid, REFIID iid, LPVOID* object);
