// DOS paths to NT paths and the process's current directory.
//
//   \\.\NAME        -> \??\NAME            (a device; taken as it is)
//   \\?\C:\x        -> \??\C:\x            (taken as it is)
//   \\server\share  -> \??\UNC\server\share
//   C:\x\..\y       -> \??\C:\y            (normalised: '/', '.', '..', '\\')
//   \x              -> the current drive's \x
//   x, C:x          -> against the current directory (C:\ at first)
//
// Each process of the machine has its own current directory.
#include "w32_internal.h"

#include <map>
#include <mutex>
#include <vector>

namespace {

std::mutex currentDirLock;
std::map<DWORD, std::u16string> currentDirs;  // per process id: "C:\" or "C:\dir"

std::u16string CurrentDirectory()
{
    std::lock_guard<std::mutex> lock(currentDirLock);
    auto it = currentDirs.find(w32::CurrentProcessId());
    return it == currentDirs.end() ? std::u16string(u"C:\\") : it->second;
}

bool IsLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }
char16_t Upper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

// Joins "root" (e.g. "C:" or "UNC\server\share") with the components of
// 'rest', applying '.' and '..' (never above the root).
std::u16string Normalise(const std::u16string& root, const std::u16string& rest)
{
    std::vector<std::u16string> parts;
    size_t i = 0;
    while (i <= rest.size()) {
        size_t j = rest.find(u'\\', i);
        if (j == std::u16string::npos) j = rest.size();
        std::u16string part = rest.substr(i, j - i);
        if (part == u"..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != u".") {
            parts.push_back(std::move(part));
        }
        i = j + 1;
    }
    // Trailing dots and spaces of the last name are dropped, as Win32 does.
    if (!parts.empty()) {
        std::u16string& last = parts.back();
        while (!last.empty() && (last.back() == u'.' || last.back() == u' ')) last.pop_back();
        if (last.empty()) parts.pop_back();
    }
    std::u16string out = root;
    for (const auto& p : parts) out += u"\\" + p;
    if (parts.empty()) out += u"\\";
    return out;
}

}  // namespace

namespace w32 {

bool FullDosPath(const std::u16string& input, std::u16string* full)
{
    if (input.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    std::u16string p = input;
    for (auto& c : p)
        if (c == u'/') c = u'\\';

    if (p.size() >= 4 && p[0] == u'\\' && p[1] == u'\\' && (p[2] == u'.' || p[2] == u'?') && p[3] == u'\\') {
        *full = p;  // device or verbatim path: no normalisation
        return true;
    }
    if (p.size() >= 2 && p[0] == u'\\' && p[1] == u'\\') {
        // \\server\share\rest: the root is the share.
        size_t server = p.find(u'\\', 2);
        if (server == std::u16string::npos || server == 2) {
            SetLastError(ERROR_BAD_PATHNAME);
            return false;
        }
        size_t share = p.find(u'\\', server + 1);
        if (share == std::u16string::npos) share = p.size();
        *full = Normalise(p.substr(0, share), share < p.size() ? p.substr(share + 1) : std::u16string());
        return true;
    }
    const std::u16string cwd = CurrentDirectory();  // "C:\..." always
    if (p.size() >= 2 && IsLetter(p[0]) && p[1] == u':') {
        std::u16string drive{Upper(p[0]), u':'};
        if (p.size() >= 3 && p[2] == u'\\') {
            *full = Normalise(drive, p.substr(3));
        } else if (Upper(cwd[0]) == drive[0]) {
            *full = Normalise(drive, cwd.substr(3) + u"\\" + p.substr(2));
        } else {
            *full = Normalise(drive, p.substr(2));
        }
        return true;
    }
    if (p[0] == u'\\') {
        *full = Normalise(cwd.substr(0, 2), p.substr(1));
        return true;
    }
    *full = Normalise(cwd.substr(0, 2), cwd.substr(3) + u"\\" + p);
    return true;
}

bool DosPathToNtPath(const std::u16string& dos, std::u16string* nt)
{
    std::u16string full;
    if (!FullDosPath(dos, &full)) return false;
    if (full.size() >= 4 && full[0] == u'\\' && full[1] == u'\\' && (full[2] == u'.' || full[2] == u'?'))
        *nt = u"\\??\\" + full.substr(4);
    else if (full.size() >= 2 && full[0] == u'\\' && full[1] == u'\\')
        *nt = u"\\??\\UNC\\" + full.substr(2);
    else
        *nt = u"\\??\\" + full;
    if (nt->size() * 2 > 0xFFFE) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return true;
}

}  // namespace w32

DWORD GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer)
{
    std::string dir = w32::WideToAnsi(CurrentDirectory());
    if (nBufferLength < dir.size() + 1 || !lpBuffer) return static_cast<DWORD>(dir.size() + 1);
    std::memcpy(lpBuffer, dir.c_str(), dir.size() + 1);
    return static_cast<DWORD>(dir.size());
}

BOOL SetCurrentDirectoryA(LPCSTR lpPathName)
{
    if (!lpPathName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::u16string full, nt;
    if (!w32::FullDosPath(w32::AnsiToWide(lpPathName), &full) || !w32::DosPathToNtPath(full, &nt)) return FALSE;
    if (full.size() < 3 || full[1] != u':') {
        // Only drive-letter folders can be current here.
        SetLastError(ERROR_INVALID_NAME);
        return FALSE;
    }
    // It must be an existing folder.
    w32::NtName name(nt, OBJ_CASE_INSENSITIVE);
    IO_STATUS_BLOCK iosb{};
    HANDLE h = nullptr;
    NTSTATUS status = NtCreateFile(&h, FILE_LIST_DIRECTORY | SYNCHRONIZE, &name.oa, &iosb, nullptr, 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                   FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (!NT_SUCCESS(status)) {
        w32::SetLastNtError(status);
        return FALSE;
    }
    NtClose(h);
    std::lock_guard<std::mutex> lock(currentDirLock);
    currentDirs[w32::CurrentProcessId()] = full;
    return TRUE;
}
