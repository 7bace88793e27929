// LoadLibrary / GetProcAddress / FreeLibrary over the host's dynamic loader.
// "NAME.dll" is looked for as libNAME.so and NAME.so (the name as given,
// then in lower case), in the executable's folder, then in each folder of
// ZAR_DLL_PATH (':'-separated), then wherever dlopen looks by itself. A
// name holding '/' is a host path, loaded as it is. Exports are found by
// name; ordinals do not exist here.
#include "w32_internal.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
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

}  // namespace

HMODULE LoadLibraryA(LPCSTR lpLibFileName)
{
    if (!lpLibFileName || !*lpLibFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string name(lpLibFileName);
    if (name.find('/') != std::string::npos) {
        if (void* h = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL)) return h;
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
            if (void* h = dlopen(full.c_str(), RTLD_NOW | RTLD_LOCAL)) {
                W32_TRACE("LoadLibrary(%s) -> %s", lpLibFileName, full.c_str());
                return h;
            }
            // Present but unloadable (wrong class, missing symbols): say so.
            std::fprintf(stderr, "win32: LoadLibrary(%s): %s\n", lpLibFileName, dlerror());
            SetLastError(ERROR_BAD_EXE_FORMAT);
            return nullptr;
        }
    for (const auto& file : files)
        if (void* h = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL)) return h;
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
    if (!hLibModule || dlclose(hLibModule) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

HMODULE GetModuleHandleA(LPCSTR lpModuleName)
{
    if (lpModuleName) {
        w32::Unsupported("GetModuleHandle of a named module");
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    static void* self = dlopen(nullptr, RTLD_NOW);
    return self;
}
