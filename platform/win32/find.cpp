// FindFirstFile / FindNextFile / FindClose: a folder opened for listing,
// read in batches through NtQueryDirectoryFile. The last component of the
// path becomes the query's expression as Win32 has always turned it into
// one: '?' is the DOS '>', a '*' before a dot the DOS '<', a dot before a
// wildcard the DOS '"', "*.*" plain '*' and a trailing dot dropped. The
// file system matches it with the system's wildcard rules. A find handle is
// this layer's own object, not a kernel handle.
#include "w32_internal.h"

#include <algorithm>
#include <mutex>
#include <set>
#include <vector>

namespace {

struct FindState {
    HANDLE dir = nullptr;
    std::u16string expression;  // handed to the file system at the first query
    std::vector<UCHAR> buffer;
    ULONG offset = 0;    // of the next entry in buffer
    bool filled = false; // buffer holds entries from offset on
    bool restart = true;
};

std::mutex findLock;
std::set<FindState*> liveFinds;

// A Win32 pattern as the expression a file system matches ("*." names the
// files without an extension, "x.*" finds "x" too, "?" stops at a dot).
// Trailing dots and spaces go, as from any path's last component; the
// character before a dropped dot still reads as followed by one.
std::u16string DosExpression(std::u16string pattern)
{
    bool endsInDot = !pattern.empty() && pattern.back() == u'.';
    while (!pattern.empty() && (pattern.back() == u'.' || pattern.back() == u' ')) pattern.pop_back();
    if (pattern == u"*.*") return u"*";
    std::u16string out = pattern;
    for (size_t i = 0; i < pattern.size(); ++i) {
        char16_t next = i + 1 < pattern.size() ? pattern[i + 1] : endsInDot ? u'.' : u'\0';
        if (pattern[i] == u'?') out[i] = u'>';
        else if (pattern[i] == u'*' && next == u'.') out[i] = u'<';
        else if (pattern[i] == u'.' && (next == u'?' || next == u'*')) out[i] = u'"';
    }
    return out;
}

FILETIME ToFileTime(const LARGE_INTEGER& t)
{
    return FILETIME{t.LowPart, static_cast<DWORD>(t.HighPart)};
}

// The next matching entry; false at the end (ERROR_NO_MORE_FILES) or on a
// failure (its error).
bool NextEntry(FindState* f, WIN32_FIND_DATAW* out)
{
    for (;;) {
        if (!f->filled) {
            f->buffer.resize(16384);
            IO_STATUS_BLOCK iosb{};
            UNICODE_STRING expression{static_cast<USHORT>(f->expression.size() * 2),
                                      static_cast<USHORT>(f->expression.size() * 2), f->expression.data()};
            NTSTATUS status = NtQueryDirectoryFile(f->dir, nullptr, nullptr, nullptr, &iosb, f->buffer.data(),
                                                   static_cast<ULONG>(f->buffer.size()), FileBothDirectoryInformation,
                                                   FALSE, f->restart ? &expression : nullptr, f->restart ? TRUE : FALSE);
            f->restart = false;
            if (status == STATUS_NO_MORE_FILES || status == STATUS_NO_SUCH_FILE ||
                (NT_SUCCESS(status) && iosb.Information == 0)) {
                SetLastError(ERROR_NO_MORE_FILES);
                return false;
            }
            if (!NT_SUCCESS(status)) {
                w32::SetLastNtError(status);
                return false;
            }
            f->offset = 0;
            f->filled = true;
        }
        auto* e = reinterpret_cast<FILE_BOTH_DIR_INFORMATION*>(f->buffer.data() + f->offset);
        if (e->NextEntryOffset) f->offset += e->NextEntryOffset;
        else f->filled = false;

        std::u16string name(e->FileName, e->FileNameLength / 2);
        std::memset(out, 0, sizeof *out);
        out->dwFileAttributes = e->FileAttributes;
        out->ftCreationTime = ToFileTime(e->CreationTime);
        out->ftLastAccessTime = ToFileTime(e->LastAccessTime);
        out->ftLastWriteTime = ToFileTime(e->LastWriteTime);
        out->nFileSizeHigh = static_cast<DWORD>(e->EndOfFile.HighPart);
        out->nFileSizeLow = e->EndOfFile.LowPart;
        std::memcpy(out->cFileName, name.data(), std::min<size_t>(name.size(), MAX_PATH - 1) * 2);
        size_t shortLength = std::min<size_t>(static_cast<UCHAR>(e->ShortNameLength) / 2, 12);
        std::memcpy(out->cAlternateFileName, e->ShortName, shortLength * 2);
        return true;
    }
}

void ToAnsi(const WIN32_FIND_DATAW& w, WIN32_FIND_DATAA* a)
{
    std::memset(a, 0, sizeof *a);
    a->dwFileAttributes = w.dwFileAttributes;
    a->ftCreationTime = w.ftCreationTime;
    a->ftLastAccessTime = w.ftLastAccessTime;
    a->ftLastWriteTime = w.ftLastWriteTime;
    a->nFileSizeHigh = w.nFileSizeHigh;
    a->nFileSizeLow = w.nFileSizeLow;
    std::string name = w32::WideToAnsi(w.cFileName, w32::WideLength(w.cFileName));
    std::string alt = w32::WideToAnsi(w.cAlternateFileName, w32::WideLength(w.cAlternateFileName));
    std::memcpy(a->cFileName, name.c_str(), name.size() + 1);
    std::memcpy(a->cAlternateFileName, alt.c_str(), alt.size() + 1);
}

FindState* Lookup(HANDLE h)
{
    auto* f = static_cast<FindState*>(h);
    std::lock_guard<std::mutex> lock(findLock);
    return liveFinds.count(f) ? f : nullptr;
}

}  // namespace

HANDLE FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData)
{
    if (!lpFileName || !*lpFileName) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // Folder and pattern are split before normalising, which would drop a
    // pattern's trailing dots.
    std::u16string path(lpFileName);
    size_t slash = path.find_last_of(u"\\/");
    std::u16string folder, pattern;
    if (slash == std::u16string::npos) {
        bool drive = path.size() >= 2 && path[1] == u':';
        folder = drive ? path.substr(0, 2) : u".";
        pattern = drive ? path.substr(2) : path;
    } else {
        folder = path.substr(0, slash + 1);
        pattern = path.substr(slash + 1);
    }
    std::u16string expression = DosExpression(pattern);
    std::u16string nt;
    if (!w32::DosPathToNtPath(folder, &nt)) return INVALID_HANDLE_VALUE;
    w32::NtName name(nt, OBJ_CASE_INSENSITIVE);
    IO_STATUS_BLOCK iosb{};
    HANDLE dir = nullptr;
    NTSTATUS status = NtCreateFile(&dir, FILE_LIST_DIRECTORY | SYNCHRONIZE, &name.oa, &iosb, nullptr, 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                   FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (!NT_SUCCESS(status)) {
        // The folder is part of the path: a missing one is a missing path.
        w32::SetLastNtError(status == STATUS_OBJECT_NAME_NOT_FOUND ? STATUS_OBJECT_PATH_NOT_FOUND : status);
        return INVALID_HANDLE_VALUE;
    }
    if (expression.empty()) {
        // The folder is there but no name was given ("dir\\").
        NtClose(dir);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    auto* f = new FindState;
    f->dir = dir;
    f->expression = expression;
    if (!NextEntry(f, lpFindFileData)) {
        DWORD error = GetLastError();
        NtClose(dir);
        delete f;
        SetLastError(error == ERROR_NO_MORE_FILES ? ERROR_FILE_NOT_FOUND : error);
        return INVALID_HANDLE_VALUE;
    }
    std::lock_guard<std::mutex> lock(findLock);
    liveFinds.insert(f);
    return f;
}

HANDLE FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData)
{
    std::u16string name = w32::AnsiToWide(lpFileName);
    WIN32_FIND_DATAW w;
    HANDLE h = FindFirstFileW(lpFileName ? name.c_str() : nullptr, &w);
    if (h != INVALID_HANDLE_VALUE) ToAnsi(w, lpFindFileData);
    return h;
}

BOOL FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData)
{
    FindState* f = Lookup(hFindFile);
    if (!f) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return NextEntry(f, lpFindFileData) ? TRUE : FALSE;
}

BOOL FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData)
{
    WIN32_FIND_DATAW w;
    if (!FindNextFileW(hFindFile, &w)) return FALSE;
    ToAnsi(w, lpFindFileData);
    return TRUE;
}

BOOL FindClose(HANDLE hFindFile)
{
    auto* f = static_cast<FindState*>(hFindFile);
    {
        std::lock_guard<std::mutex> lock(findLock);
        if (!liveFinds.erase(f)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
    }
    NtClose(f->dir);
    delete f;
    return TRUE;
}
