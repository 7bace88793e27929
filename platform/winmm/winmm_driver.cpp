// The installable drivers: the registry's list read once, each library
// loaded as Windows loads it (DRV_LOAD, DRV_ENABLE, DRV_OPEN, then DRVM_INIT
// and the device count of each message entry it exports), the calls the
// drivers make back, and the installer's OpenDriver road.
#include <algorithm>
#include <cctype>
#include <mutex>
#include <set>
#include <string>

#include "user.h"
#include "winmm_internal.h"

namespace mm {
namespace {

constexpr DWORD kMagic = 0x4D4D4844;  // "DHMM"
const char* const kEntryNames[3] = {"wodMessage", "widMessage", "mxdMessage"};

// Guards the lists and the handle set; never held while a driver runs.
std::mutex lock;
bool loaded = false;
std::vector<Driver*> drivers;
std::vector<Device> devices[3];
std::set<Handle*> handles;

// An export by name, as the function type the caller knows it by.
template <typename T>
T Export(HMODULE module, const char* name)
{
    return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

std::string Lower(std::string s)
{
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// How many opens each driver library has: DRV_LOAD and DRV_ENABLE go to
// its first, DRV_DISABLE and DRV_FREE to its last, as one library may be
// both a device driver in the list and an installer's open driver.
std::vector<std::pair<HMODULE, int>> moduleUses;

int CountUse(HMODULE module, int change)
{
    std::lock_guard<std::mutex> g(lock);
    for (auto it = moduleUses.begin(); it != moduleUses.end(); ++it)
        if (it->first == module) {
            int uses = it->second += change;
            if (uses == 0) moduleUses.erase(it);
            return uses;
        }
    if (change > 0) moduleUses.emplace_back(module, change);
    return change > 0 ? change : 0;
}

Driver* OpenLibrary(const char* library, LPARAM param2)
{
    HMODULE module = LoadLibraryA(library);
    if (module == nullptr) return nullptr;  // a driver that refuses to load offers no devices
    auto* d = new Driver;
    d->module = module;
    d->proc = Export<DRIVERPROC>(module, "DriverProc");
    for (int i = 0; i < 3; ++i) d->entry[i] = Export<DRIVERMESSAGEPROC>(module, kEntryNames[i]);
    if (d->proc != nullptr) {
        HDRVR self = reinterpret_cast<HDRVR>(d);
        if (CountUse(module, 1) == 1) {
            if (d->proc(0, self, DRV_LOAD, 0, 0) == 0) {
                CountUse(module, -1);
                FreeLibrary(module);
                delete d;
                return nullptr;
            }
            d->proc(0, self, DRV_ENABLE, 0, 0);
        }
        d->id = DWORD_PTR(d->proc(0, self, DRV_OPEN, 0, param2));
    }
    return d;
}

LRESULT CloseLibrary(Driver* d, LPARAM param1, LPARAM param2)
{
    LRESULT r = 0;
    if (d->proc != nullptr) {
        HDRVR self = reinterpret_cast<HDRVR>(d);
        r = d->proc(d->id, self, DRV_CLOSE, param1, param2);
        if (CountUse(d->module, -1) == 0) {
            d->proc(d->id, self, DRV_DISABLE, 0, 0);
            d->proc(d->id, self, DRV_FREE, 0, 0);
        }
    }
    FreeLibrary(d->module);
    delete d;
    return r;
}

Driver* LoadDriver(const std::string& library) { return OpenLibrary(library.c_str(), 0); }

// The list: "wave", "wave1".. "wave9", "mixer", "mixer1".., each library
// loaded once however often it is named.
void LoadList()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kMmDriversKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    std::vector<std::pair<std::string, Driver*>> byName;
    for (const char* kind : {"wave", "mixer"}) {
        for (int n = 0; n < 10; ++n) {
            std::string value = n == 0 ? kind : kind + std::to_string(n);
            char name[MAX_PATH] = {};
            DWORD type = 0, size = sizeof name - 1;
            if (RegQueryValueExA(key, value.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(name), &size) != ERROR_SUCCESS ||
                (type != REG_SZ && type != REG_EXPAND_SZ) || name[0] == 0)
                continue;
            std::string library = Lower(name);
            auto it = std::find_if(byName.begin(), byName.end(), [&](const auto& p) { return p.first == library; });
            Driver* d = it != byName.end() ? it->second : nullptr;
            if (it == byName.end()) {
                d = LoadDriver(name);
                byName.emplace_back(library, d);
                if (d != nullptr) drivers.push_back(d);
            }
            if (d == nullptr) continue;
            // The classes this value names: wave brings wave-out and wave-in.
            for (int c = 0; c < 3; ++c) {
                if ((c == kMixer) != (std::string(kind) == "mixer") || d->entry[c] == nullptr) continue;
                bool listed = std::any_of(devices[c].begin(), devices[c].end(), [&](const Device& x) { return x.driver == d; });
                if (listed) continue;
                d->entry[c](0, DRVM_INIT, 0, 0, 0);
                UINT count = d->entry[c](0, c == kWaveOut ? WODM_GETNUMDEVS : c == kWaveIn ? WIDM_GETNUMDEVS : MXDM_GETNUMDEVS, 0, 0, 0);
                for (UINT i = 0; i < count; ++i) devices[c].push_back({d, i});
            }
        }
    }
    RegCloseKey(key);
}

}  // namespace

const std::vector<Device>& Devices(Class c)
{
    std::unique_lock<std::mutex> g(lock);
    if (!loaded) {
        loaded = true;
        g.unlock();  // a driver's attach may call back into the layer
        LoadList();
        g.lock();
    }
    return devices[c];
}

Handle* Find(const void* h, Class c)
{
    std::lock_guard<std::mutex> g(lock);
    auto* p = static_cast<Handle*>(const_cast<void*>(h));
    if (handles.count(p) == 0 || p->magic != kMagic || p->kind != c) return nullptr;
    return p;
}

Handle* NewHandle(Class c, const Device& d, UINT id)
{
    auto* h = new Handle{kMagic, c, d, id, 0};
    std::lock_guard<std::mutex> g(lock);
    handles.insert(h);
    return h;
}

void FreeHandle(Handle* h)
{
    std::lock_guard<std::mutex> g(lock);
    handles.erase(h);
    h->magic = 0;
    delete h;
}

DWORD Message(const Device& d, Class c, UINT msg, DWORD_PTR user, DWORD_PTR p1, DWORD_PTR p2)
{
    if (d.driver->entry[c] == nullptr) return MMSYSERR_NOTSUPPORTED;
    return d.driver->entry[c](d.local, msg, user, p1, p2);
}

void Narrow(const WCHAR* from, CHAR* to, int count)
{
    int n = WideCharToMultiByte(CP_ACP, 0, from, -1, to, count, nullptr, nullptr);
    if (n <= 0) to[0] = 0;
    to[count - 1] = 0;
}

}  // namespace mm

void mmReloadDrivers()
{
    std::vector<mm::Driver*> old;
    {
        std::lock_guard<std::mutex> g(mm::lock);
        old.swap(mm::drivers);
        for (auto& list : mm::devices) list.clear();
        mm::loaded = false;
    }
    for (mm::Driver* d : old) mm::CloseLibrary(d, 0, 0);
}

LRESULT DefDriverProc(DWORD_PTR, HDRVR, UINT uMsg, LPARAM, LPARAM)
{
    switch (uMsg) {
    case DRV_LOAD:
    case DRV_FREE:
    case DRV_OPEN:
    case DRV_CLOSE:
    case DRV_ENABLE:
    case DRV_DISABLE: return 1;
    case DRV_INSTALL:
    case DRV_REMOVE: return DRVCNF_OK;
    default: return 0;
    }
}

BOOL DriverCallback(DWORD_PTR dwCallback, DWORD dwFlags, HDRVR hDevice, DWORD dwMsg, DWORD_PTR dwUser,
                    DWORD_PTR dwParam1, DWORD_PTR dwParam2)
{
    if (dwCallback == 0) return FALSE;
    switch (dwFlags & DCB_TYPEMASK) {
    case DCB_FUNCTION:
        reinterpret_cast<LPWAVECALLBACK>(dwCallback)(reinterpret_cast<HANDLE>(hDevice), dwMsg, dwUser, dwParam1, dwParam2);
        return TRUE;
    case DCB_EVENT: return SetEvent(reinterpret_cast<HANDLE>(dwCallback));
    case DCB_WINDOW:
        return PostMessageA(reinterpret_cast<HWND>(dwCallback), dwMsg, WPARAM(hDevice), LPARAM(dwParam1));
    case DCB_TASK: return PostThreadMessageA(DWORD(dwCallback), dwMsg, WPARAM(hDevice), LPARAM(dwParam1));
    default: return FALSE;
    }
}

namespace {
struct TaskStart {
    LPTASKCALLBACK fn;
    DWORD_PTR inst;
};
DWORD TaskThread(LPVOID p)
{
    TaskStart s = *static_cast<TaskStart*>(p);
    delete static_cast<TaskStart*>(p);
    s.fn(s.inst);
    return 0;
}
}  // namespace

UINT mmTaskCreate(LPTASKCALLBACK lpfn, HANDLE* lph, DWORD_PTR dwInst)
{
    auto* start = new TaskStart{lpfn, dwInst};
    HANDLE thread = CreateThread(nullptr, 0, TaskThread, start, 0, nullptr);
    if (thread == nullptr) {
        delete start;
        return 1;
    }
    if (lph != nullptr) *lph = thread;
    else CloseHandle(thread);
    return 0;
}

// ---- the installer's road ----

HDRVR OpenDriver(LPCWSTR szDriverName, LPCWSTR, LPARAM lParam2)
{
    char name[MAX_PATH] = {};
    if (szDriverName == nullptr) return nullptr;
    mm::Narrow(szDriverName, name, MAX_PATH);
    mm::Driver* d = mm::OpenLibrary(name, lParam2);
    if (d != nullptr && d->proc == nullptr) {
        mm::CloseLibrary(d, 0, 0);
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<HDRVR>(d);
}

LRESULT SendDriverMessage(HDRVR hDriver, UINT message, LPARAM lParam1, LPARAM lParam2)
{
    auto* d = reinterpret_cast<mm::Driver*>(hDriver);
    if (d == nullptr || d->proc == nullptr) return 0;
    return d->proc(d->id, hDriver, message, lParam1, lParam2);
}

LRESULT CloseDriver(HDRVR hDriver, LPARAM lParam1, LPARAM lParam2)
{
    auto* d = reinterpret_cast<mm::Driver*>(hDriver);
    return d != nullptr ? mm::CloseLibrary(d, lParam1, lParam2) : 0;
}

HMODULE GetDriverModuleHandle(HDRVR hDriver)
{
    auto* d = reinterpret_cast<mm::Driver*>(hDriver);
    return d != nullptr ? d->module : nullptr;
}
