// File and device handles: CreateFile, ReadFile/WriteFile (synchronous and
// overlapped), ReadFileEx/WriteFileEx with completion routines,
// GetOverlappedResult, CancelIo, the file pointer, size, end and flush.
//
// An OVERLAPPED is the request's status block (Internal = status,
// InternalHigh = bytes), as on NT, so the kernel completes it in place.
#include "w32_internal.h"

namespace {

HANDLE EventOf(const OVERLAPPED* ov)
{
    // The low bit of hEvent only keeps a completion port away; there are none.
    return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(ov->hEvent) & ~static_cast<ULONG_PTR>(1));
}

LARGE_INTEGER OffsetOf(const OVERLAPPED* ov)
{
    LARGE_INTEGER off;
    off.LowPart = ov->Offset;
    off.HighPart = static_cast<LONG>(ov->OffsetHigh);
    return off;
}

// Runs in the issuing thread's alertable wait when a ...FileEx request ends.
void CompletionApc(PVOID context, PIO_STATUS_BLOCK iosb, ULONG)
{
    auto routine = reinterpret_cast<LPOVERLAPPED_COMPLETION_ROUTINE>(context);
    NTSTATUS status = iosb->Status;
    DWORD error = NT_ERROR(status) ? RtlNtStatusToDosError(status) : ERROR_SUCCESS;
    routine(error, static_cast<DWORD>(iosb->Information), reinterpret_cast<LPOVERLAPPED>(iosb));
}

using TransferCall = NTSTATUS (*)(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG,
                                  PLARGE_INTEGER, PULONG);

BOOL Transfer(TransferCall call, bool isRead, HANDLE h, PVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED ov)
{
    if (done) *done = 0;
    if (ov) {
        ov->Internal = static_cast<ULONG_PTR>(STATUS_PENDING);
        LARGE_INTEGER off = OffsetOf(ov);
        NTSTATUS status = call(h, EventOf(ov), nullptr, ov, w32::OverlappedIosb(ov), buffer, length, &off, nullptr);
        if (status == STATUS_PENDING) {
            SetLastError(ERROR_IO_PENDING);
            return FALSE;
        }
        w32::SettleFailedOverlapped(ov, status);
        if (NT_SUCCESS(status)) {
            if (done) *done = static_cast<DWORD>(ov->InternalHigh);
            return TRUE;
        }
        if (NT_WARNING(status) && done) *done = static_cast<DWORD>(ov->InternalHigh);
        w32::SetLastNtError(status);
        return FALSE;
    }
    IO_STATUS_BLOCK iosb;
    iosb.Status = STATUS_PENDING;
    iosb.Information = 0;
    NTSTATUS status = call(h, nullptr, nullptr, nullptr, &iosb, buffer, length, nullptr, nullptr);
    if (status == STATUS_PENDING) status = w32::WaitForRequest(h, &iosb);
    if (NT_SUCCESS(status)) {
        if (done) *done = static_cast<DWORD>(iosb.Information);
        return TRUE;
    }
    // A synchronous read at the end of a file succeeds with nothing read.
    if (isRead && status == STATUS_END_OF_FILE) return TRUE;
    if (NT_WARNING(status) && done) *done = static_cast<DWORD>(iosb.Information);
    w32::SetLastNtError(status);
    return FALSE;
}

BOOL TransferEx(TransferCall call, HANDLE h, PVOID buffer, DWORD length, LPOVERLAPPED ov,
                LPOVERLAPPED_COMPLETION_ROUTINE routine)
{
    if (!ov || !routine) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ov->Internal = static_cast<ULONG_PTR>(STATUS_PENDING);
    LARGE_INTEGER off = OffsetOf(ov);
    NTSTATUS status = call(h, nullptr, CompletionApc, reinterpret_cast<PVOID>(routine), w32::OverlappedIosb(ov),
                           buffer, length, &off, nullptr);
    if (NT_ERROR(status)) {
        w32::SettleFailedOverlapped(ov, status);
        w32::SetLastNtError(status);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL QueryInfo(HANDLE h, void* info, ULONG length, FILE_INFORMATION_CLASS cls)
{
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = NtQueryInformationFile(h, &iosb, info, length, cls);
    if (!NT_SUCCESS(status)) {
        w32::SetLastNtError(status);
        return FALSE;
    }
    return TRUE;
}

BOOL SetInfo(HANDLE h, void* info, ULONG length, FILE_INFORMATION_CLASS cls)
{
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = NtSetInformationFile(h, &iosb, info, length, cls);
    if (!NT_SUCCESS(status)) {
        w32::SetLastNtError(status);
        return FALSE;
    }
    return TRUE;
}

// The position a move would give, without moving.
BOOL NewPosition(HANDLE h, LONGLONG distance, DWORD method, LONGLONG* position)
{
    LONGLONG base = 0;
    switch (method) {
    case FILE_BEGIN: break;
    case FILE_CURRENT: {
        FILE_POSITION_INFORMATION pos{};
        if (!QueryInfo(h, &pos, sizeof pos, FilePositionInformation)) return FALSE;
        base = pos.CurrentByteOffset.QuadPart;
        break;
    }
    case FILE_END: {
        FILE_STANDARD_INFORMATION std{};
        if (!QueryInfo(h, &std, sizeof std, FileStandardInformation)) return FALSE;
        base = std.EndOfFile.QuadPart;
        break;
    }
    default: SetLastError(ERROR_INVALID_PARAMETER); return FALSE;
    }
    if (__builtin_add_overflow(base, distance, position) || *position < 0) {
        SetLastError(ERROR_NEGATIVE_SEEK);
        return FALSE;
    }
    return TRUE;
}

BOOL MoveTo(HANDLE h, LONGLONG position)
{
    FILE_POSITION_INFORMATION pos{};
    pos.CurrentByteOffset.QuadPart = position;
    return SetInfo(h, &pos, sizeof pos, FilePositionInformation);
}

}  // namespace

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE)
{
    ULONG disposition;
    switch (dwCreationDisposition) {
    case CREATE_NEW: disposition = FILE_CREATE; break;
    case CREATE_ALWAYS: disposition = FILE_OVERWRITE_IF; break;
    case OPEN_EXISTING: disposition = FILE_OPEN; break;
    case OPEN_ALWAYS: disposition = FILE_OPEN_IF; break;
    case TRUNCATE_EXISTING: disposition = FILE_OVERWRITE; break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
    }
    if (!lpFileName) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::u16string ntPath;
    if (!w32::DosPathToNtPath(lpFileName, &ntPath)) return INVALID_HANDLE_VALUE;

    ULONG options = 0;
    if (!(dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED)) options |= FILE_SYNCHRONOUS_IO_NONALERT;
    if (!(dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS)) options |= FILE_NON_DIRECTORY_FILE;
    if (dwFlagsAndAttributes & FILE_FLAG_WRITE_THROUGH) options |= FILE_WRITE_THROUGH;
    if (dwFlagsAndAttributes & FILE_FLAG_SEQUENTIAL_SCAN) options |= FILE_SEQUENTIAL_ONLY;
    ACCESS_MASK access = dwDesiredAccess | SYNCHRONIZE | FILE_READ_ATTRIBUTES;
    if (dwFlagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) {
        options |= FILE_DELETE_ON_CLOSE;
        access |= DELETE;
    }
    ULONG attributes = dwFlagsAndAttributes & 0x7FFF;
    if (!attributes) attributes = FILE_ATTRIBUTE_NORMAL;

    w32::NtName name(ntPath, OBJ_CASE_INSENSITIVE |
                                 (lpSecurityAttributes && lpSecurityAttributes->bInheritHandle ? ULONG{OBJ_INHERIT} : 0));
    IO_STATUS_BLOCK iosb{};
    HANDLE h = nullptr;
    NTSTATUS status = NtCreateFile(&h, access, &name.oa, &iosb, nullptr, attributes, dwShareMode, disposition,
                                   options, nullptr, 0);
    W32_TRACE("CreateFile(%s, access %#x, share %#x, disposition %u, flags %#x) -> %p %s",
              NtNarrow(ntPath).c_str(), dwDesiredAccess, dwShareMode, dwCreationDisposition, dwFlagsAndAttributes, h,
              NtStatusName(status));
    if (!NT_SUCCESS(status)) {
        // An existing file met by CREATE_NEW is reported as a file, not an object.
        if (status == STATUS_OBJECT_NAME_COLLISION) SetLastError(ERROR_FILE_EXISTS);
        else w32::SetLastNtError(status);
        return INVALID_HANDLE_VALUE;
    }
    bool existed = (dwCreationDisposition == CREATE_ALWAYS && iosb.Information == FILE_OVERWRITTEN) ||
                   (dwCreationDisposition == OPEN_ALWAYS && iosb.Information == FILE_OPENED);
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    std::u16string name = w32::AnsiToWide(lpFileName);
    return CreateFileW(lpFileName ? name.c_str() : nullptr, dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                       dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped)
{
    return Transfer(NtReadFile, true, hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped)
{
    return Transfer(NtWriteFile, false, hFile, const_cast<LPVOID>(lpBuffer), nNumberOfBytesToWrite,
                    lpNumberOfBytesWritten, lpOverlapped);
}

BOOL ReadFileEx(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPOVERLAPPED lpOverlapped,
                LPOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine)
{
    return TransferEx(NtReadFile, hFile, lpBuffer, nNumberOfBytesToRead, lpOverlapped, lpCompletionRoutine);
}

BOOL WriteFileEx(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPOVERLAPPED lpOverlapped,
                 LPOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine)
{
    return TransferEx(NtWriteFile, hFile, const_cast<LPVOID>(lpBuffer), nNumberOfBytesToWrite, lpOverlapped,
                      lpCompletionRoutine);
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred, BOOL bWait)
{
    if (w32::LoadStatus(lpOverlapped) == STATUS_PENDING) {
        if (!bWait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        if (HANDLE event = EventOf(lpOverlapped)) {
            // The event is the caller's word that the request ended: a status
            // block still pending then reads as success, as on Windows.
            NTSTATUS status = NtWaitForSingleObject(event, FALSE, nullptr);
            if (!NT_SUCCESS(status)) {
                w32::SetLastNtError(status);
                return FALSE;
            }
        } else {
            w32::WaitForRequest(hFile, w32::OverlappedIosb(lpOverlapped));
        }
    }
    if (lpNumberOfBytesTransferred) *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    NTSTATUS status = w32::LoadStatus(lpOverlapped);
    if (NT_SUCCESS(status)) return TRUE;
    w32::SetLastNtError(status);
    return FALSE;
}

BOOL CancelIo(HANDLE hFile)
{
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = NtCancelIoFile(hFile, &iosb);
    if (!NT_SUCCESS(status)) {
        w32::SetLastNtError(status);
        return FALSE;
    }
    return TRUE;
}

BOOL SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, PLARGE_INTEGER lpNewFilePointer,
                      DWORD dwMoveMethod)
{
    LONGLONG position;
    if (!NewPosition(hFile, liDistanceToMove.QuadPart, dwMoveMethod, &position) || !MoveTo(hFile, position))
        return FALSE;
    if (lpNewFilePointer) lpNewFilePointer->QuadPart = position;
    return TRUE;
}

DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod)
{
    LARGE_INTEGER distance;
    if (lpDistanceToMoveHigh) {
        distance.LowPart = static_cast<ULONG>(lDistanceToMove);
        distance.HighPart = *lpDistanceToMoveHigh;
    } else {
        distance.QuadPart = lDistanceToMove;
    }
    LONGLONG position;
    if (!NewPosition(hFile, distance.QuadPart, dwMoveMethod, &position)) return INVALID_SET_FILE_POINTER;
    if (!lpDistanceToMoveHigh && position > 0xFFFFFFFFLL) {
        // The result would not fit the one DWORD the caller can see.
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    if (!MoveTo(hFile, position)) return INVALID_SET_FILE_POINTER;
    LARGE_INTEGER result;
    result.QuadPart = position;
    if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = result.HighPart;
    // The caller tells a real position of 0xFFFFFFFF from failure this way.
    if (result.LowPart == INVALID_SET_FILE_POINTER) SetLastError(NO_ERROR);
    return result.LowPart;
}

BOOL GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize)
{
    FILE_STANDARD_INFORMATION std{};
    if (!QueryInfo(hFile, &std, sizeof std, FileStandardInformation)) return FALSE;
    *lpFileSize = std.EndOfFile;
    return TRUE;
}

DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh)
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(hFile, &size)) return INVALID_FILE_SIZE;
    if (lpFileSizeHigh) *lpFileSizeHigh = static_cast<DWORD>(size.HighPart);
    if (size.LowPart == INVALID_FILE_SIZE) SetLastError(NO_ERROR);
    return size.LowPart;
}

BOOL SetEndOfFile(HANDLE hFile)
{
    FILE_POSITION_INFORMATION pos{};
    if (!QueryInfo(hFile, &pos, sizeof pos, FilePositionInformation)) return FALSE;
    FILE_END_OF_FILE_INFORMATION eof{};
    eof.EndOfFile = pos.CurrentByteOffset;
    return SetInfo(hFile, &eof, sizeof eof, FileEndOfFileInformation);
}

BOOL FlushFileBuffers(HANDLE hFile)
{
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = NtFlushBuffersFile(hFile, &iosb);
    if (!NT_SUCCESS(status)) {
        w32::SetLastNtError(status);
        return FALSE;
    }
    return TRUE;
}
