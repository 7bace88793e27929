// Version records of the system's own files, from one table: a file of the
// system, named as the system names it and where it installs it (a driver in
// system32\drivers, a library or program in system32), has its record; any
// other file has none. The record is this layer's own block, read only
// through VerQueryValueA.
#include "w32_internal.h"

#include <cctype>
#include <cstring>
#include <string>

namespace {

struct SystemFile {
    const char* name;
    const char* description;
    DWORD type;  // VFT_*
    WORD version[4];
};

// The system's release, and each built file's record.
constexpr WORD kRelease[4] = {1, 0, 0, 1};
const SystemFile kSystemFiles[] = {
    {"ZARKD.sys", "Solvane board driver", VFT_DRV, {kRelease[0], kRelease[1], kRelease[2], kRelease[3]}},
    {"ZARFSKD.sys", "Solvane media file system", VFT_DRV, {kRelease[0], kRelease[1], kRelease[2], kRelease[3]}},
    {"ZARIOKD.sys", "Solvane digital I/O option driver", VFT_DRV, {kRelease[0], kRelease[1], kRelease[2], kRelease[3]}},
    {"TANDRELKD.sys", "Solvane time-code driver", VFT_DRV, {kRelease[0], kRelease[1], kRelease[2], kRelease[3]}},
    {"ZARWAV.sys", "Solvane System Wave Driver", VFT_DRV, {kRelease[0], kRelease[1], kRelease[2], kRelease[3]}},
    {"ZarDll.dll", "Solvane board library", VFT_DLL, {kRelease[0], kRelease[1], kRelease[2], kRelease[3]}},
    {"KivSync.dll", "Solvane time-code library", VFT_DLL, {kRelease[0], kRelease[1], kRelease[2], kRelease[3]}},
    {"ZARWAV.dll", "Solvane System Wave Driver", VFT_DRV, {kRelease[0], kRelease[1], kRelease[2], kRelease[3]}},
    {"ZarService.exe", "Solvane file-system service", VFT_APP, {kRelease[0], kRelease[1], kRelease[2], kRelease[3]}},
};

constexpr DWORD kMagic = 0x5245565A;      // "ZVER": a block this layer made
constexpr DWORD kTranslation = 0x04B00409;  // US English, Unicode code page

// The block: a header, the fixed information, the translation, then the
// strings as "name\0value\0" pairs.
struct Block {
    DWORD magic;
    DWORD size;
    VS_FIXEDFILEINFO fixed;
    DWORD translation;
};

bool SameText(const std::string& a, const char* b)
{
    if (a.size() != std::strlen(b)) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// The system file a path names, or null (*exists then says whether the path
// names a file at all).
const SystemFile* Find(LPCSTR path, bool* exists)
{
    *exists = false;
    char full[MAX_PATH], system[MAX_PATH];
    LPSTR part = nullptr;
    DWORD n = GetFullPathNameA(path, MAX_PATH, full, &part);
    if (!n || n >= MAX_PATH || !part) return nullptr;
    UINT s = GetSystemDirectoryA(system, MAX_PATH);
    if (!s || s >= MAX_PATH) return nullptr;
    std::string folder(full, size_t(part - full));
    if (!folder.empty() && folder.back() == '\\') folder.pop_back();
    std::string name = part;
    for (const SystemFile& f : kSystemFiles) {
        if (!SameText(name, f.name)) continue;
        bool driver = SameText(name.substr(name.size() - 4), ".sys");
        if (SameText(folder, (std::string(system) + (driver ? "\\drivers" : "")).c_str())) {
            *exists = true;
            return &f;
        }
    }
    *exists = GetFileAttributesA(full) != INVALID_FILE_ATTRIBUTES;
    return nullptr;
}

std::string Strings(const SystemFile& f)
{
    char version[32];
    std::snprintf(version, sizeof version, "%u.%u.%u.%u", f.version[0], f.version[1], f.version[2], f.version[3]);
    std::string file = f.name;
    std::string internal = file.substr(0, file.rfind('.'));
    std::string out;
    for (const auto& [key, value] :
         {std::pair<const char*, std::string>{"FileVersion", version}, {"ProductVersion", version},
          {"FileDescription", f.description}, {"ProductName", "Solvane"}, {"InternalName", internal},
          {"OriginalFilename", file}}) {
        out += key;
        out += '\0';
        out += value;
        out += '\0';
    }
    return out;
}

DWORD SizeOf(const SystemFile& f) { return DWORD(sizeof(Block) + Strings(f).size()); }

}  // namespace

DWORD GetFileVersionInfoSizeA(LPCSTR lptstrFilename, LPDWORD lpdwHandle)
{
    if (lpdwHandle) *lpdwHandle = 0;
    if (!lptstrFilename || !*lptstrFilename) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    bool exists;
    const SystemFile* f = Find(lptstrFilename, &exists);
    if (!f) {
        SetLastError(exists ? DWORD(ERROR_RESOURCE_TYPE_NOT_FOUND) : DWORD(ERROR_FILE_NOT_FOUND));
        return 0;
    }
    return SizeOf(*f);
}

BOOL GetFileVersionInfoA(LPCSTR lptstrFilename, DWORD, DWORD dwLen, LPVOID lpData)
{
    if (!lptstrFilename || !lpData) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    bool exists;
    const SystemFile* f = Find(lptstrFilename, &exists);
    if (!f) {
        SetLastError(exists ? DWORD(ERROR_RESOURCE_TYPE_NOT_FOUND) : DWORD(ERROR_FILE_NOT_FOUND));
        return FALSE;
    }
    std::string strings = Strings(*f);
    DWORD size = DWORD(sizeof(Block) + strings.size());
    if (dwLen < size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    Block b{};
    b.magic = kMagic;
    b.size = size;
    b.fixed.dwSignature = VS_FFI_SIGNATURE;
    b.fixed.dwStrucVersion = VS_FFI_STRUCVERSION;
    b.fixed.dwFileVersionMS = DWORD(f->version[0]) << 16 | f->version[1];
    b.fixed.dwFileVersionLS = DWORD(f->version[2]) << 16 | f->version[3];
    b.fixed.dwProductVersionMS = b.fixed.dwFileVersionMS;
    b.fixed.dwProductVersionLS = b.fixed.dwFileVersionLS;
    b.fixed.dwFileFlagsMask = VS_FFI_FILEFLAGSMASK;
    b.fixed.dwFileOS = VOS_NT_WINDOWS32;
    b.fixed.dwFileType = f->type;
    b.fixed.dwFileSubtype = f->type == VFT_DRV ? DWORD(VFT2_DRV_SYSTEM) : 0;
    b.translation = kTranslation;
    std::memcpy(lpData, &b, sizeof b);
    std::memcpy(static_cast<char*>(lpData) + sizeof b, strings.data(), strings.size());
    return TRUE;
}

BOOL VerQueryValueA(LPCVOID pBlock, LPCSTR lpSubBlock, LPVOID* lplpBuffer, UINT* puLen)
{
    auto* b = static_cast<const Block*>(pBlock);
    if (!b || !lpSubBlock || !lplpBuffer || !puLen || b->magic != kMagic || b->size < sizeof(Block)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string query = lpSubBlock;
    if (query.empty() || query == "\\") {
        *lplpBuffer = const_cast<VS_FIXEDFILEINFO*>(&b->fixed);
        *puLen = sizeof(VS_FIXEDFILEINFO);
        return TRUE;
    }
    if (SameText(query, "\\VarFileInfo\\Translation")) {
        *lplpBuffer = const_cast<DWORD*>(&b->translation);
        *puLen = sizeof(DWORD);
        return TRUE;
    }
    const std::string prefix = "\\StringFileInfo\\040904B0\\";
    if (query.size() > prefix.size() && SameText(query.substr(0, prefix.size()), prefix.c_str())) {
        std::string key = query.substr(prefix.size());
        const char* at = reinterpret_cast<const char*>(b + 1);
        const char* end = reinterpret_cast<const char*>(b) + b->size;
        while (at < end) {
            const char* value = at + std::strlen(at) + 1;
            if (value >= end) break;
            if (SameText(key, at)) {
                *lplpBuffer = const_cast<char*>(value);
                *puLen = UINT(std::strlen(value) + 1);  // characters, with the terminator
                return TRUE;
            }
            at = value + std::strlen(value) + 1;
        }
    }
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    *puLen = 0;
    return FALSE;
}
