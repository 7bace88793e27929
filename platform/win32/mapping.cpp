// File mappings over the kernel's sections. Sections here are backed by the
// page file only; a mapping of a real file fails loudly. Views of one
// section share their memory across processes.
#include "w32_internal.h"

namespace {

constexpr DWORD kGranularity = 0x10000;  // the allocation granularity of views

ULONG ViewProtection(DWORD access)
{
    if (access & FILE_MAP_WRITE) return PAGE_READWRITE;
    if (access & FILE_MAP_READ) return PAGE_READONLY;
    if (access == FILE_MAP_COPY) return PAGE_WRITECOPY;
    return 0;
}

}  // namespace

HANDLE CreateFileMappingW(HANDLE hFile, LPSECURITY_ATTRIBUTES lpAttributes, DWORD flProtect, DWORD dwMaximumSizeHigh,
                          DWORD dwMaximumSizeLow, LPCWSTR lpName)
{
    if (hFile != INVALID_HANDLE_VALUE) {
        w32::Unsupported("CreateFileMapping of a file (sections are page-file backed)");
        return nullptr;
    }
    const DWORD protect = flProtect & 0xFF;
    const DWORD attributes = flProtect & 0xFFFFFF00;
    if ((protect != PAGE_READONLY && protect != PAGE_READWRITE && protect != PAGE_WRITECOPY) ||
        (attributes & ~(DWORD{SEC_COMMIT} | DWORD{SEC_RESERVE}))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    LARGE_INTEGER size;
    size.LowPart = dwMaximumSizeLow;
    size.HighPart = static_cast<LONG>(dwMaximumSizeHigh);
    if (size.QuadPart == 0) {  // a page-file section needs its size
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    ACCESS_MASK access = STANDARD_RIGHTS_REQUIRED | SECTION_QUERY | SECTION_MAP_READ;
    if (protect == PAGE_READWRITE) access |= SECTION_MAP_WRITE;
    w32::NtName n;
    w32::NamedObjectAttributes(n, lpName, lpAttributes, OBJ_OPENIF);
    HANDLE h = nullptr;
    NTSTATUS status = NtCreateSection(&h, access, &n.oa, &size, protect, attributes ? attributes : SEC_COMMIT, nullptr);
    W32_TRACE("CreateFileMapping(%s, %#x, %lld bytes) -> %p %s", NtNarrow(n.text).c_str(), flProtect,
              static_cast<long long>(size.QuadPart), h, NtStatusName(status));
    if (!NT_SUCCESS(status)) {
        w32::SetLastNtError(status);
        return nullptr;
    }
    SetLastError(status == STATUS_OBJECT_NAME_EXISTS ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

HANDLE CreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES lpAttributes, DWORD flProtect, DWORD dwMaximumSizeHigh,
                          DWORD dwMaximumSizeLow, LPCSTR lpName)
{
    std::u16string name = w32::AnsiToWide(lpName);
    return CreateFileMappingW(hFile, lpAttributes, flProtect, dwMaximumSizeHigh, dwMaximumSizeLow,
                              lpName ? name.c_str() : nullptr);
}

HANDLE OpenFileMappingW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName)
{
    if (!lpName || !*lpName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, bInheritHandle};
    w32::NtName n;
    w32::NamedObjectAttributes(n, lpName, &sa, 0);
    // FILE_MAP_ALL_ACCESS is SECTION_ALL_ACCESS and the other FILE_MAP_
    // rights are the section's map rights, except that Win32's write right
    // is read/write.
    ACCESS_MASK access = dwDesiredAccess;
    if (access & FILE_MAP_WRITE) access |= SECTION_MAP_READ;
    HANDLE h = nullptr;
    NTSTATUS status = NtOpenSection(&h, access, &n.oa);
    if (!NT_SUCCESS(status)) {
        w32::SetLastNtError(status);
        return nullptr;
    }
    return h;
}

HANDLE OpenFileMappingA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName)
{
    std::u16string name = w32::AnsiToWide(lpName);
    return OpenFileMappingW(dwDesiredAccess, bInheritHandle, lpName ? name.c_str() : nullptr);
}

LPVOID MapViewOfFileEx(HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh,
                       DWORD dwFileOffsetLow, SIZE_T dwNumberOfBytesToMap, LPVOID lpBaseAddress)
{
    const ULONG protect = ViewProtection(dwDesiredAccess);
    if (!protect) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (dwFileOffsetLow % kGranularity) {
        SetLastError(ERROR_MAPPED_ALIGNMENT);
        return nullptr;
    }
    LARGE_INTEGER offset;
    offset.LowPart = dwFileOffsetLow;
    offset.HighPart = static_cast<LONG>(dwFileOffsetHigh);
    PVOID base = lpBaseAddress;
    SIZE_T viewSize = dwNumberOfBytesToMap;  // 0: from the offset to the end of the section
    NTSTATUS status = NtMapViewOfSection(hFileMappingObject, NtCurrentProcess(), &base, 0, 0, &offset, &viewSize,
                                         ViewShare, 0, protect);
    W32_TRACE("MapViewOfFile(%p, %#x, offset %lld, %zu bytes) -> %p %s", hFileMappingObject, dwDesiredAccess,
              static_cast<long long>(offset.QuadPart), dwNumberOfBytesToMap, base, NtStatusName(status));
    if (!NT_SUCCESS(status)) {
        w32::SetLastNtError(status);
        return nullptr;
    }
    return base;
}

LPVOID MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh, DWORD dwFileOffsetLow,
                     SIZE_T dwNumberOfBytesToMap)
{
    return MapViewOfFileEx(hFileMappingObject, dwDesiredAccess, dwFileOffsetHigh, dwFileOffsetLow,
                           dwNumberOfBytesToMap, nullptr);
}

BOOL UnmapViewOfFile(LPCVOID lpBaseAddress)
{
    NTSTATUS status = NtUnmapViewOfSection(NtCurrentProcess(), const_cast<PVOID>(lpBaseAddress));
    if (!NT_SUCCESS(status)) {
        w32::SetLastNtError(status);
        return FALSE;
    }
    return TRUE;
}
