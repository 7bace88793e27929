// Operations on files and folders by name: DeleteFile, MoveFile,
// CreateDirectory, RemoveDirectory, GetFileAttributes and GetDiskFreeSpace. Each opens the
// object for the one right it needs and asks the file system through the
// handle, as Win32 does over NT.
#include "w32_internal.h"

#include <vector>

namespace {

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens a DOS path with 'access'; false with the last error set.
bool OpenPath(const std::u16string& dos, ACCESS_MASK access, ULONG disposition, ULONG options, HANDLE* h,
              ULONG attributes = 0)
{
    std::u16string nt;
    if (!w32::DosPathToNtPath(dos, &nt)) return false;
    w32::NtName name(nt, OBJ_CASE_INSENSITIVE);
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = NtCreateFile(h, access | SYNCHRONIZE, &name.oa, &iosb, nullptr, attributes, kShareAll,
                                   disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (!NT_SUCCESS(status)) {
        w32::SetLastNtError(status);
        return false;
    }
    return true;
}

BOOL DeleteOpened(HANDLE h)
{
    FILE_DISPOSITION_INFORMATION disposition{};
    disposition.DeleteFile = TRUE;
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = NtSetInformationFile(h, &iosb, &disposition, sizeof disposition, FileDispositionInformation);
    NtClose(h);
    if (!NT_SUCCESS(status)) {
        w32::SetLastNtError(status);
        return FALSE;
    }
    return TRUE;
}

}  // namespace

BOOL DeleteFileW(LPCWSTR lpFileName)
{
    if (!lpFileName) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    HANDLE h;
    // A folder is not a file: the open refuses it (ERROR_ACCESS_DENIED).
    if (!OpenPath(lpFileName, DELETE, FILE_OPEN, FILE_NON_DIRECTORY_FILE, &h)) return FALSE;
    return DeleteOpened(h);
}

BOOL DeleteFileA(LPCSTR lpFileName)
{
    std::u16string name = w32::AnsiToWide(lpFileName);
    return DeleteFileW(lpFileName ? name.c_str() : nullptr);
}

BOOL RemoveDirectoryA(LPCSTR lpPathName)
{
    if (!lpPathName) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    HANDLE h;
    if (!OpenPath(w32::AnsiToWide(lpPathName), DELETE, FILE_OPEN, FILE_DIRECTORY_FILE, &h)) return FALSE;
    return DeleteOpened(h);
}

BOOL CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES)
{
    if (!lpPathName) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    HANDLE h;
    if (!OpenPath(w32::AnsiToWide(lpPathName), FILE_LIST_DIRECTORY, FILE_CREATE, FILE_DIRECTORY_FILE, &h,
                  FILE_ATTRIBUTE_NORMAL))
        return FALSE;
    NtClose(h);
    return TRUE;
}

namespace {

bool RenameNow(LPCSTR existing, LPCSTR newName, bool replace)
{
    std::u16string target;
    if (!w32::DosPathToNtPath(w32::AnsiToWide(newName), &target)) return false;
    HANDLE h;
    if (!OpenPath(w32::AnsiToWide(existing), DELETE, FILE_OPEN, 0, &h)) return false;

    std::vector<UCHAR> buffer(offsetof(FILE_RENAME_INFORMATION, FileName) + target.size() * 2);
    auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
    rename->ReplaceIfExists = replace;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<ULONG>(target.size() * 2);
    std::memcpy(rename->FileName, target.data(), target.size() * 2);
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = NtSetInformationFile(h, &iosb, rename, static_cast<ULONG>(buffer.size()), FileRenameInformation);
    NtClose(h);
    if (!NT_SUCCESS(status)) {
        w32::SetLastNtError(status);
        return false;
    }
    return true;
}

// Adds the pair to the Session Manager's list, which the next boot carries
// out: NT paths, the target "" to delete and '!'-prefixed to replace.
bool RenameAtNextBoot(LPCSTR existing, LPCSTR newName, bool replace)
{
    std::u16string source, target;
    if (!w32::DosPathToNtPath(w32::AnsiToWide(existing), &source)) return false;
    if (newName && !w32::DosPathToNtPath(w32::AnsiToWide(newName), &target)) return false;
    if (newName && replace) target.insert(0, 1, u'!');
    HKEY key;
    LSTATUS error = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", 0,
                                    nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (error != ERROR_SUCCESS) {
        SetLastError(DWORD(error));
        return false;
    }
    std::vector<char16_t> list;
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key, u"PendingFileRenameOperations", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        type == REG_MULTI_SZ && size >= 2) {
        list.resize(size / 2);
        RegQueryValueExW(key, u"PendingFileRenameOperations", nullptr, &type, reinterpret_cast<LPBYTE>(list.data()),
                         &size);
        list.resize(size / 2);
        if (!list.empty() && list.back() == 0) list.pop_back();  // the list's closing empty string
    }
    list.insert(list.end(), source.begin(), source.end());
    list.push_back(0);
    list.insert(list.end(), target.begin(), target.end());
    list.push_back(0);
    list.push_back(0);
    error = RegSetValueExW(key, u"PendingFileRenameOperations", 0, REG_MULTI_SZ,
                           reinterpret_cast<const BYTE*>(list.data()), DWORD(list.size() * 2));
    RegCloseKey(key);
    if (error != ERROR_SUCCESS) {
        SetLastError(DWORD(error));
        return false;
    }
    return true;
}

}  // namespace

BOOL MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName)
{
    if (!lpExistingFileName || !lpNewFileName) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    return RenameNow(lpExistingFileName, lpNewFileName, false);  // MoveFile never replaces
}

BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags)
{
    const bool replace = dwFlags & MOVEFILE_REPLACE_EXISTING;
    if (!lpExistingFileName || (dwFlags & ~DWORD(0xF)) ||
        ((dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT) && (dwFlags & MOVEFILE_COPY_ALLOWED))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT) return RenameAtNextBoot(lpExistingFileName, lpNewFileName, replace);
    if (!lpNewFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return RenameNow(lpExistingFileName, lpNewFileName, replace);
}

DWORD GetFileAttributesA(LPCSTR lpFileName)
{
    if (!lpFileName) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    HANDLE h;
    if (!OpenPath(w32::AnsiToWide(lpFileName), FILE_READ_ATTRIBUTES, FILE_OPEN, 0, &h)) return INVALID_FILE_ATTRIBUTES;
    FILE_BASIC_INFORMATION basic{};
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = NtQueryInformationFile(h, &iosb, &basic, sizeof basic, FileBasicInformation);
    NtClose(h);
    if (!NT_SUCCESS(status)) {
        w32::SetLastNtError(status);
        return INVALID_FILE_ATTRIBUTES;
    }
    return basic.FileAttributes;
}

BOOL GetDiskFreeSpaceA(LPCSTR lpRootPathName, LPDWORD lpSectorsPerCluster, LPDWORD lpBytesPerSector,
                       LPDWORD lpNumberOfFreeClusters, LPDWORD lpTotalNumberOfClusters)
{
    if (!lpRootPathName) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    HANDLE h;
    if (!OpenPath(w32::AnsiToWide(lpRootPathName), FILE_READ_ATTRIBUTES, FILE_OPEN, FILE_DIRECTORY_FILE, &h))
        return FALSE;
    FILE_FS_SIZE_INFORMATION size{};
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = NtQueryVolumeInformationFile(h, &iosb, &size, sizeof size, FileFsSizeInformation);
    NtClose(h);
    if (!NT_SUCCESS(status)) {
        w32::SetLastNtError(status);
        return FALSE;
    }
    auto cut = [](LONGLONG v) { return v > 0xFFFFFFFFLL ? DWORD(0xFFFFFFFF) : DWORD(v); };
    if (lpSectorsPerCluster) *lpSectorsPerCluster = size.SectorsPerAllocationUnit;
    if (lpBytesPerSector) *lpBytesPerSector = size.BytesPerSector;
    if (lpNumberOfFreeClusters) *lpNumberOfFreeClusters = cut(size.AvailableAllocationUnits.QuadPart);
    if (lpTotalNumberOfClusters) *lpTotalNumberOfClusters = cut(size.TotalAllocationUnits.QuadPart);
    return TRUE;
}
