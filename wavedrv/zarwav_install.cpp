// Installation and removal: the kernel wave service ZARWAV and its event
// source, a deletion of this library put off to the next boot cancelled
// on a new install, and the library deleted (or its deletion put off) at
// removal.
#include <cstring>
#include <string>
#include <vector>

#include "user.h"
#include "zarwav.h"

namespace {

constexpr char kTitle[] = "Solvane System Wave Driver";
constexpr char kEventKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\ZARWAV";
constexpr char kSessionManager[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr char kEventMessageFile[] = "%SystemRoot%\\System32\\IoLogMsg.dll;%SystemRoot%\\System32\\Drivers\\ZARWAV.sys";
constexpr DWORD kMaxPendingBytes = 2048;

std::string SystemLibrary()
{
    char folder[MAX_PATH] = {};
    GetSystemDirectoryA(folder, sizeof folder);
    return std::string(folder) + "\\ZARWAV.dll";
}

BOOL WriteEventSource()
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kEventKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return FALSE;
    DWORD types = 7;
    RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(kEventMessageFile),
                   DWORD(sizeof kEventMessageFile));
    RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof types);
    RegCloseKey(key);
    return TRUE;
}

bool SameNoCase(const WCHAR* a, const WCHAR* b)
{
    for (;; ++a, ++b) {
        WCHAR x = *a >= u'a' && *a <= u'z' ? WCHAR(*a - 32) : *a, y = *b >= u'a' && *b <= u'z' ? WCHAR(*b - 32) : *b;
        if (x != y) return false;
        if (x == 0) return true;
    }
}

void CancelPendingDeletion()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    std::vector<WCHAR> list(kMaxPendingBytes / sizeof(WCHAR) + 1, 0);
    DWORD type = 0, size = kMaxPendingBytes;
    if (RegQueryValueExW(key, u"PendingFileRenameOperations", nullptr, &type, reinterpret_cast<BYTE*>(list.data()), &size) ==
            ERROR_SUCCESS &&
        size >= 5) {
        std::string ansi = "\\??\\" + SystemLibrary();
        std::vector<WCHAR> source(ansi.size() + 1, 0);
        MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, source.data(), int(source.size()));
        ULONG left = ZarWavDropPendingRename(list.data(), size, source.data());
        if (left < 5) RegDeleteValueA(key, "PendingFileRenameOperations");
        else if (left != size)
            RegSetValueExW(key, u"PendingFileRenameOperations", 0, type, reinterpret_cast<const BYTE*>(list.data()), left);
    }
    RegCloseKey(key);
}

// The service: opened, or created under a lock of the service database.
BOOL InstallService()
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) return FALSE;
    SC_HANDLE service = OpenServiceA(manager, "ZARWAV", SERVICE_ALL_ACCESS);
    if (service == nullptr && GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) {
        CloseServiceHandle(manager);
        return FALSE;
    }
    if (service == nullptr) {
        SC_LOCK lock = nullptr;
        for (ULONG tries = 1; (lock = LockServiceDatabase(manager)) == nullptr; ++tries) {
            Sleep(100);
            if (tries % 100 != 0) continue;
            if (MessageBoxA(nullptr, "Unable to lock Service database. It may be in use by another process.", kTitle,
                            MB_RETRYCANCEL) != IDRETRY) {
                CloseServiceHandle(manager);
                return FALSE;
            }
        }
        DWORD tag = 0;
        service = CreateServiceA(manager, "ZARWAV", kTitle, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER, SERVICE_SYSTEM_START,
                                 SERVICE_ERROR_NORMAL, "\\SystemRoot\\System32\\Drivers\\ZARWAV.sys", "KIV WEK3", &tag,
                                 nullptr, nullptr, nullptr);
        UnlockServiceDatabase(lock);
        if (service == nullptr) {
            CloseServiceHandle(manager);
            return FALSE;
        }
    }
    WriteEventSource();
    StartServiceA(service, 0, nullptr);  // already running, or starting at the next boot: either is fine
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return TRUE;
}

}  // namespace

ULONG ZarWavDropPendingRename(WCHAR* list, ULONG length, const WCHAR* source)
{
    const ULONG count = length / sizeof(WCHAR);
    std::vector<WCHAR> kept;
    ULONG at = 0;
    // Pairs of strings up to the list's closing empty string (or its end).
    while (at < count && list[at] != 0) {
        const WCHAR* from = list + at;
        ULONG fromEnd = at;
        while (fromEnd < count && list[fromEnd] != 0) ++fromEnd;
        ULONG toEnd = fromEnd + 1;
        while (toEnd < count && list[toEnd] != 0) ++toEnd;
        if (fromEnd >= count) break;  // a torn last string: left out
        std::vector<WCHAR> name(from, static_cast<const WCHAR*>(list + fromEnd));
        name.push_back(0);
        if (!SameNoCase(name.data(), source)) kept.insert(kept.end(), list + at, list + (toEnd < count ? toEnd + 1 : count));
        at = toEnd + 1;
    }
    if (kept.empty()) return 0;
    kept.push_back(0);
    std::memcpy(list, kept.data(), kept.size() * sizeof(WCHAR));
    return ULONG(kept.size() * sizeof(WCHAR));
}

LRESULT ZarWavInstall()
{
    if (!InstallService()) return DRVCNF_CANCEL;
    CancelPendingDeletion();
    return DRVCNF_RESTART;
}

LRESULT ZarWavRemove()
{
    const std::string library = SystemLibrary();
    HANDLE file = CreateFileA(library.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        if (!DeleteFileA(library.c_str())) MoveFileExA(library.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
    return DRVCNF_OK;
}
