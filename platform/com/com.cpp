// COM's apartment count, the class lookup through the registry and the
// loading of in-process servers.

#include "objbase.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace {

thread_local int initialised = 0;

struct LoadedServer {
    std::string path;
    HMODULE module;
    PDLL_GET_CLASS_OBJECT getClassObject;
};

std::mutex serversLock;
std::vector<LoadedServer>& Servers()
{
    static auto* servers = new std::vector<LoadedServer>;
    return *servers;
}

// The library named by the class's InprocServer32 key, or empty.
std::string ServerPath(REFCLSID clsid)
{
    char id[40];
    StringFromGUID2A(clsid, id, sizeof id);
    const std::string key = std::string("CLSID\\") + id + "\\InprocServer32";
    HKEY hkey = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &hkey) != ERROR_SUCCESS) return {};
    char path[MAX_PATH] = {};
    DWORD size = sizeof path - 1, type = 0;
    const LSTATUS read = RegQueryValueExA(hkey, "", nullptr, &type, reinterpret_cast<BYTE*>(path), &size);
    RegCloseKey(hkey);
    if (read != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return {};
    return path;
}

}  // namespace

int StringFromGUID2A(const GUID& g, char* text, int chars)
{
    if (chars < 39) return 0;
    std::snprintf(text, size_t(chars), "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
                  g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return 39;
}

HRESULT CoInitialize(LPVOID) { return initialised++ == 0 ? S_OK : S_FALSE; }

void CoUninitialize()
{
    if (initialised > 0) --initialised;
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, LPVOID, REFIID iid, LPVOID* object)
{
    if (!object) return E_POINTER;
    *object = nullptr;
    if (initialised == 0) return CO_E_NOTINITIALIZED;
    if (!(context & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
    const std::string path = ServerPath(clsid);
    if (path.empty()) return REGDB_E_CLASSNOTREG;
    PDLL_GET_CLASS_OBJECT entry = nullptr;
    {
        std::lock_guard<std::mutex> hold(serversLock);
        for (const LoadedServer& s : Servers())
            if (s.path == path) entry = s.getClassObject;
        if (!entry) {
            HMODULE module = LoadLibraryA(path.c_str());
            if (!module) return CO_E_DLLNOTFOUND;
            entry = reinterpret_cast<PDLL_GET_CLASS_OBJECT>(
                reinterpret_cast<void (*)()>(GetProcAddress(module, "DllGetClassObject")));
            if (!entry) {
                FreeLibrary(module);
                return CO_E_ERRORINDLL;
            }
            Servers().push_back({path, module, entry});
        }
    }
    return entry(clsid, iid, object);
}

HRESULT CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* object)
{
    if (!object) return E_POINTER;
    *object = nullptr;
    IClassFactory* factory = nullptr;
    HRESULT hr = CoGetClassObject(clsid, context, nullptr, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) return hr;
    hr = factory->CreateInstance(outer, iid, object);
    factory->Release();
    return hr;
}
