// LoadLibrary / GetProcAddress / FreeLibrary over the host's dynamic loader,
// with the entry points of the system's libraries called as Windows calls
// them. "NAME.dll" is looked for as libNAME.so and NAME.so (the name as
// given, then in lower case), in the executable's folder, then in each
// folder of ZAR_DLL_PATH (':'-separated), then wherever dlopen looks by
// itself. A name holding '/' is a host path, loaded as it is. Exports are
// found by name; ordinals do not exist here.
//
// A library registers its entry (ZAR_DLL_ENTRY) from a static constructor,
// so while dlopen runs; the registration is matched to the loaded object by
// the address its code was mapped at. Registrations made outside a
// LoadLibrary are libraries linked into the program, attached at its first
// system call.
#include "w32_internal.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

std::string ExecutableFolder()
{
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return std::string();
    std::string s(path, static_cast<size_t>(n));
    size_t slash = s.rfind('/');
    return slash == std::string::npos ? std::string() : s.substr(0, slash);
}

std::vector<std::string> CandidateFiles(const std::string& name)
{
    std::string base = name;
    size_t slash = base.find_last_of("\\:");
    if (slash != std::string::npos) base = base.substr(slash + 1);  // a Windows folder means nothing here
    if (base.size() > 4) {
        std::string ext = base.substr(base.size() - 4);
        for (auto& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (ext == ".dll") base.resize(base.size() - 4);
    }
    std::string lower = base;
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::vector<std::string> files{"lib" + base + ".so", base + ".so"};
    if (lower != base) {
        files.push_back("lib" + lower + ".so");
        files.push_back(lower + ".so");
    }
    return files;
}

struct Module {
    std::string name;      // as registered ("ZarDll"), or the file's base name
    uintptr_t base = 0;    // where the object is mapped
    void* dl = nullptr;    // dlopen handle: the HMODULE
    PDLL_ENTRY entry = nullptr;
    int loads = 0;         // LoadLibrary calls not yet freed
    bool attached = false;
    bool threadCalls = true;
    bool linked = false;   // linked into the program: never unloaded
};

// The loader lock: held while an entry runs its process attach or detach,
// as on Windows; recursive, so an entry may load another library. Thread
// attach and detach run without it. 'modules' is in load order.
std::recursive_mutex moduleLock;
std::vector<Module*> modules;
thread_local int loadingDepth = 0;
std::atomic<bool> linkedAttachPending{false};
std::once_flag exitHandlerOnce;

Module* FindByBase(uintptr_t base)
{
    for (Module* m : modules)
        if (m->base == base) return m;
    return nullptr;
}

Module* FindByHandle(HMODULE h)
{
    for (Module* m : modules)
        if (m->dl == h) return m;
    return nullptr;
}

uintptr_t BaseOf(void* dl)
{
    struct link_map* map = nullptr;
    if (dlinfo(dl, RTLD_DI_LINKMAP, &map) != 0 || !map) return 0;
    return map->l_addr;
}

std::string Lower(std::string s)
{
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

void DetachAllAtExit()
{
    std::vector<Module*> attached;
    {
        std::lock_guard<std::recursive_mutex> g(moduleLock);
        for (Module* m : modules)
            if (m->attached) attached.push_back(m);
    }
    for (auto it = attached.rbegin(); it != attached.rend(); ++it) {
        (*it)->attached = false;
        (*it)->entry((*it)->dl, DLL_PROCESS_DETACH, reinterpret_cast<LPVOID>(1));
    }
}

// Process attach; a refusal is answered with process detach, as Windows does.
bool Attach(Module* m)
{
    if (!m->entry || m->attached) return true;
    std::call_once(exitHandlerOnce, [] { std::atexit(DetachAllAtExit); });
    W32_TRACE("%s: process attach", m->name.c_str());
    if (!m->entry(m->dl, DLL_PROCESS_ATTACH, nullptr)) {
        m->entry(m->dl, DLL_PROCESS_DETACH, nullptr);
        return false;
    }
    m->attached = true;
    return true;
}

void Forget(Module* m)
{
    std::lock_guard<std::recursive_mutex> g(moduleLock);
    modules.erase(std::remove(modules.begin(), modules.end(), m), modules.end());
    delete m;
}

// Thread attach or detach to every attached library that wants them.
void NotifyThread(DWORD reason)
{
    std::vector<Module*> targets;
    {
        std::lock_guard<std::recursive_mutex> g(moduleLock);
        for (Module* m : modules)
            if (m->attached && m->threadCalls) targets.push_back(m);
    }
    for (Module* m : targets) m->entry(m->dl, reason, nullptr);
}

}  // namespace

w32::DllEntryRegistration::DllEntryRegistration(const char* name, PDLL_ENTRY entry)
{
    Dl_info info{};
    if (!entry || !dladdr(reinterpret_cast<void*>(entry), &info)) return;
    std::lock_guard<std::recursive_mutex> g(moduleLock);
    auto* m = new Module;
    m->name = name ? name : "";
    m->base = reinterpret_cast<uintptr_t>(info.dli_fbase);
    m->entry = entry;
    if (loadingDepth == 0) {
        // Linked into the program: pinned, and attached at the first system call.
        m->linked = true;
        m->dl = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
        linkedAttachPending = true;
    }
    modules.push_back(m);
}

namespace w32 {

void AttachLinkedLibraries()
{
    // Every system call passes here: a plain load, the exchange only once.
    if (!linkedAttachPending.load(std::memory_order_relaxed) || !linkedAttachPending.exchange(false)) return;
    std::vector<Module*> pending;
    {
        std::lock_guard<std::recursive_mutex> g(moduleLock);
        for (Module* m : modules)
            if (m->linked && !m->attached) pending.push_back(m);
    }
    for (Module* m : pending)
        if (!Attach(m)) std::fprintf(stderr, "win32: %s refused its process attach\n", m->name.c_str());
}

void ThreadAttach() { NotifyThread(DLL_THREAD_ATTACH); }
void ThreadDetach() { NotifyThread(DLL_THREAD_DETACH); }

}  // namespace w32

namespace {

// dlopen with the libraries it brings in registered and attached; the
// handle, or null with the last error set.
HMODULE OpenAndAttach(const std::string& path, LPCSTR name)
{
    std::lock_guard<std::recursive_mutex> g(moduleLock);
    size_t before = modules.size();
    ++loadingDepth;
    void* dl = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    --loadingDepth;
    if (!dl) return nullptr;
    uintptr_t base = BaseOf(dl);
    // Registrations made by this dlopen: the library itself and any library
    // of the system it needs, in the order they loaded.
    std::vector<Module*> fresh(modules.begin() + long(before), modules.end());
    Module* self = FindByBase(base);
    if (!self) {
        self = new Module;
        std::string file = path.substr(path.rfind('/') + 1);
        self->name = file.substr(0, file.find('.'));
        self->base = base;
        modules.push_back(self);
    }
    if (!self->dl) self->dl = dl;
    for (Module* m : fresh) {
        if (m == self) continue;
        // A library of the system this one needs: it stays loaded.
        Dl_info info{};
        if (dladdr(reinterpret_cast<void*>(m->entry), &info))
            m->dl = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
        m->linked = true;
        Attach(m);
    }
    ++self->loads;
    if (!Attach(self)) {
        W32_TRACE("LoadLibrary(%s): the library refused its process attach", name);
        --self->loads;
        if (self->loads == 0 && !self->linked) Forget(self);
        dlclose(dl);
        SetLastError(ERROR_DLL_INIT_FAILED);
        return nullptr;
    }
    return self->dl;
}

}  // namespace

HMODULE LoadLibraryA(LPCSTR lpLibFileName)
{
    if (!lpLibFileName || !*lpLibFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string name(lpLibFileName);
    if (name.find('/') != std::string::npos) {
        if (HMODULE h = OpenAndAttach(name, lpLibFileName)) return h;
        if (GetLastError() == ERROR_DLL_INIT_FAILED) return nullptr;
        W32_TRACE("LoadLibrary(%s): %s", lpLibFileName, dlerror());
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    std::vector<std::string> folders;
    std::string exe = ExecutableFolder();
    if (!exe.empty()) folders.push_back(exe);
    if (const char* path = std::getenv("ZAR_DLL_PATH")) {
        std::string p(path);
        size_t start = 0;
        while (start <= p.size()) {
            size_t colon = p.find(':', start);
            if (colon == std::string::npos) colon = p.size();
            if (colon > start) folders.push_back(p.substr(start, colon - start));
            start = colon + 1;
        }
    }
    const std::vector<std::string> files = CandidateFiles(name);
    for (const auto& folder : folders)
        for (const auto& file : files) {
            std::string full = folder + "/" + file;
            if (access(full.c_str(), F_OK) != 0) continue;
            SetLastError(ERROR_SUCCESS);
            if (HMODULE h = OpenAndAttach(full, lpLibFileName)) {
                W32_TRACE("LoadLibrary(%s) -> %s", lpLibFileName, full.c_str());
                return h;
            }
            if (GetLastError() == ERROR_DLL_INIT_FAILED) return nullptr;
            // Present but unloadable (wrong class, missing symbols): say so.
            std::fprintf(stderr, "win32: LoadLibrary(%s): %s\n", lpLibFileName, dlerror());
            SetLastError(ERROR_BAD_EXE_FORMAT);
            return nullptr;
        }
    for (const auto& file : files) {
        SetLastError(ERROR_SUCCESS);
        if (HMODULE h = OpenAndAttach(file, lpLibFileName)) return h;
        if (GetLastError() == ERROR_DLL_INIT_FAILED) return nullptr;
    }
    W32_TRACE("LoadLibrary(%s): not found", lpLibFileName);
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    if (!hModule) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (reinterpret_cast<ULONG_PTR>(lpProcName) <= 0xFFFF) {
        w32::Unsupported("GetProcAddress by ordinal");
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    dlerror();
    void* p = dlsym(hModule, lpProcName);
    if (!p) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(p);
}

BOOL FreeLibrary(HMODULE hLibModule)
{
    std::unique_lock<std::recursive_mutex> g(moduleLock);
    Module* m = hLibModule ? FindByHandle(hLibModule) : nullptr;
    if (!m || m->loads == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (--m->loads == 0 && !m->linked) {
        if (m->attached) {
            m->attached = false;
            m->entry(m->dl, DLL_PROCESS_DETACH, nullptr);
        }
        Forget(m);
    }
    dlclose(hLibModule);
    return TRUE;
}

namespace {

// "ZarDll", "zardll.dll", "C:\\WINNT\\system32\\ZarDll.dll" all name ZarDll.
std::string ModuleKey(std::string name)
{
    size_t cut = name.find_last_of("\\/:");
    if (cut != std::string::npos) name = name.substr(cut + 1);
    name = Lower(name);
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".dll") == 0) name.resize(name.size() - 4);
    return name;
}

}  // namespace

HMODULE GetModuleHandleA(LPCSTR lpModuleName)
{
    if (!lpModuleName) {
        static void* self = dlopen(nullptr, RTLD_NOW);
        return self;
    }
    std::string key = ModuleKey(lpModuleName);
    std::lock_guard<std::recursive_mutex> g(moduleLock);
    for (Module* m : modules)
        if (m->dl && Lower(m->name) == key) return m->dl;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize)
{
    std::string path;
    if (!hModule || hModule == GetModuleHandleA(nullptr)) {
        char exe[4096];
        ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
        std::string file = n > 0 ? std::string(exe, size_t(n)) : std::string("program");
        file = file.substr(file.rfind('/') + 1);
        path = "C:\\WINNT\\system32\\" + file + ".exe";
    } else {
        std::lock_guard<std::recursive_mutex> g(moduleLock);
        Module* m = FindByHandle(hModule);
        if (!m) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        path = "C:\\WINNT\\system32\\" + m->name + ".dll";
    }
    if (!lpFilename || nSize == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    // As Windows: a short buffer gets the truncated, terminated name, the
    // size as result and ERROR_INSUFFICIENT_BUFFER.
    if (path.size() >= nSize) {
        std::memcpy(lpFilename, path.data(), nSize - 1);
        lpFilename[nSize - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    std::memcpy(lpFilename, path.c_str(), path.size() + 1);
    return DWORD(path.size());
}

BOOL DisableThreadLibraryCalls(HMODULE hLibModule)
{
    std::lock_guard<std::recursive_mutex> g(moduleLock);
    Module* m = hLibModule ? FindByHandle(hLibModule) : nullptr;
    if (!m) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    m->threadCalls = false;
    return TRUE;
}
