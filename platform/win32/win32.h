// The Win32 API as the system's user-mode code calls it: types, constants and
// the functions this layer provides, each with its documented Win32 contract
// (return values, GetLastError codes, what is written on failure).
//
// The layer stands on the kernel's system-call seam only. Constants whose
// values NT and Win32 share (access rights, share modes, file attributes,
// page protections, registry value types, control-code macros) come from the
// seam's type header (nt_user.h), so one name never has two definitions.
// Nothing of the kernel is declared here: user code calls only the
// functions below.
//
// Character sets: the A functions take the ANSI code page, which here is
// Windows-1252 (every byte round-trips); the W functions take UTF-16
// (char16_t, written u"...").
#pragma once

#include "../nt/nt_user.h"

#include <cstdarg>

#define WINAPI
#define APIENTRY
#define CALLBACK

using BOOL = int;
using PBOOL = BOOL*;
using LPBOOL = BOOL*;
using BYTE = uint8_t;
using PBYTE = BYTE*;
using LPBYTE = BYTE*;
using WORD = uint16_t;
using PWORD = WORD*;
using LPWORD = WORD*;
using DWORD = ULONG;
using PDWORD = DWORD*;
using LPDWORD = DWORD*;
using INT = int;
using UINT = unsigned int;
using PLONG = LONG*;
using LPLONG = LONG*;
using DWORD_PTR = ULONG_PTR;
using UINT_PTR = uintptr_t;
using INT_PTR = intptr_t;
using DWORDLONG = ULONGLONG;
using DWORD64 = ULONGLONG;
using LPVOID = void*;
using LPCVOID = const void*;
using LPSTR = char*;
using LPCSTR = const char*;
using LPWSTR = char16_t*;
using LPCWSTR = const char16_t*;
using TCHAR = char;
using LPTSTR = char*;
using LPCTSTR = const char*;
using LPHANDLE = HANDLE*;
using HMODULE = void*;
using HINSTANCE = void*;
using HLOCAL = void*;
using ATOM = WORD;
using FARPROC = INT_PTR (*)();
using LSTATUS = LONG;
using REGSAM = ACCESS_MASK;

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define MAKEWORD(a, b) ((WORD)(((BYTE)(a)) | ((WORD)((BYTE)(b))) << 8))
#define MAKELONG(a, b) ((LONG)(((WORD)(a)) | ((DWORD)((WORD)(b))) << 16))
#define LOWORD(l) ((WORD)((DWORD_PTR)(l) & 0xffff))
#define HIWORD(l) ((WORD)((DWORD_PTR)(l) >> 16))
#define LOBYTE(w) ((BYTE)((DWORD_PTR)(w) & 0xff))
#define HIBYTE(w) ((BYTE)((DWORD_PTR)(w) >> 8))

enum : DWORD { MAX_PATH = 260 };

// ---- Error codes ----

enum : DWORD {
    ERROR_SUCCESS = 0,
    NO_ERROR = 0,
    ERROR_INVALID_FUNCTION = 1,
    ERROR_FILE_NOT_FOUND = 2,
    ERROR_PATH_NOT_FOUND = 3,
    ERROR_TOO_MANY_OPEN_FILES = 4,
    ERROR_ACCESS_DENIED = 5,
    ERROR_INVALID_HANDLE = 6,
    ERROR_NOT_ENOUGH_MEMORY = 8,
    ERROR_BAD_ENVIRONMENT = 10,
    ERROR_BAD_FORMAT = 11,
    ERROR_INVALID_ACCESS = 12,
    ERROR_INVALID_DATA = 13,
    ERROR_OUTOFMEMORY = 14,
    ERROR_INVALID_DRIVE = 15,
    ERROR_NOT_SAME_DEVICE = 17,
    ERROR_NO_MORE_FILES = 18,
    ERROR_WRITE_PROTECT = 19,
    ERROR_NOT_READY = 21,
    ERROR_BAD_COMMAND = 22,
    ERROR_CRC = 23,
    ERROR_BAD_LENGTH = 24,
    ERROR_SEEK = 25,
    ERROR_WRITE_FAULT = 29,
    ERROR_READ_FAULT = 30,
    ERROR_GEN_FAILURE = 31,
    ERROR_SHARING_VIOLATION = 32,
    ERROR_LOCK_VIOLATION = 33,
    ERROR_HANDLE_EOF = 38,
    ERROR_HANDLE_DISK_FULL = 39,
    ERROR_NOT_SUPPORTED = 50,
    ERROR_BAD_NETPATH = 53,
    ERROR_DEV_NOT_EXIST = 55,
    ERROR_FILE_EXISTS = 80,
    ERROR_CANNOT_MAKE = 82,
    ERROR_INVALID_PARAMETER = 87,
    ERROR_BROKEN_PIPE = 109,
    ERROR_OPEN_FAILED = 110,
    ERROR_BUFFER_OVERFLOW = 111,
    ERROR_DISK_FULL = 112,
    ERROR_CALL_NOT_IMPLEMENTED = 120,
    ERROR_SEM_TIMEOUT = 121,
    ERROR_INSUFFICIENT_BUFFER = 122,
    ERROR_INVALID_NAME = 123,
    ERROR_INVALID_LEVEL = 124,
    ERROR_MOD_NOT_FOUND = 126,
    ERROR_PROC_NOT_FOUND = 127,
    ERROR_NEGATIVE_SEEK = 131,
    ERROR_DIR_NOT_EMPTY = 145,
    ERROR_TOO_MANY_TCBS = 155,
    ERROR_SIGNAL_REFUSED = 156,
    ERROR_BAD_PATHNAME = 161,
    ERROR_BUSY = 170,
    ERROR_ALREADY_EXISTS = 183,
    ERROR_BAD_EXE_FORMAT = 193,
    ERROR_FILENAME_EXCED_RANGE = 206,
    ERROR_NO_DATA = 232,
    ERROR_MORE_DATA = 234,
    WAIT_TIMEOUT = 258,
    ERROR_NO_MORE_ITEMS = 259,
    ERROR_DIRECTORY = 267,
    ERROR_NOT_OWNER = 288,
    ERROR_TOO_MANY_POSTS = 298,
    ERROR_PARTIAL_COPY = 299,
    ERROR_MR_MID_NOT_FOUND = 317,
    ERROR_INVALID_ADDRESS = 487,
    ERROR_ARITHMETIC_OVERFLOW = 534,
    ERROR_ABANDONED_WAIT_0 = 735,
    ERROR_USER_APC = 737,
    ERROR_ALERTED = 739,
    ERROR_REPARSE = 741,
    ERROR_NOTIFY_CLEANUP = 745,
    ERROR_OPERATION_ABORTED = 995,
    ERROR_IO_INCOMPLETE = 996,
    ERROR_IO_PENDING = 997,
    ERROR_NOACCESS = 998,
    ERROR_INVALID_FLAGS = 1004,
    ERROR_UNRECOGNIZED_VOLUME = 1005,
    ERROR_FILE_INVALID = 1006,
    ERROR_BADKEY = 1010,
    ERROR_CANTOPEN = 1011,
    ERROR_CANTREAD = 1012,
    ERROR_CANTWRITE = 1013,
    ERROR_REGISTRY_CORRUPT = 1015,
    ERROR_REGISTRY_IO_FAILED = 1016,
    ERROR_KEY_DELETED = 1018,
    ERROR_CHILD_MUST_BE_VOLATILE = 1021,
    ERROR_NOTIFY_ENUM_DIR = 1022,
    ERROR_MEDIA_CHANGED = 1110,
    ERROR_DLL_INIT_FAILED = 1114,
    ERROR_IO_DEVICE = 1117,
    ERROR_MAPPED_ALIGNMENT = 1132,
    ERROR_INVALID_SERVICE_CONTROL = 1052,
    ERROR_SERVICE_REQUEST_TIMEOUT = 1053,
    ERROR_SERVICE_NO_THREAD = 1054,
    ERROR_SERVICE_DATABASE_LOCKED = 1055,
    ERROR_SERVICE_ALREADY_RUNNING = 1056,
    ERROR_SERVICE_DISABLED = 1058,
    ERROR_SERVICE_DOES_NOT_EXIST = 1060,
    ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061,
    ERROR_SERVICE_NOT_ACTIVE = 1062,
    ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063,
    ERROR_INVALID_SERVICE_LOCK = 1071,
    ERROR_SERVICE_MARKED_FOR_DELETE = 1072,
    ERROR_SERVICE_EXISTS = 1073,
    ERROR_SERVICE_NOT_IN_EXE = 1083,
    ERROR_DEVICE_NOT_CONNECTED = 1167,
    ERROR_NOT_FOUND = 1168,
    ERROR_UNKNOWN_REVISION = 1305,
    ERROR_PRIVILEGE_NOT_HELD = 1314,
    ERROR_INVALID_SECURITY_DESCR = 1338,
    ERROR_NO_SYSTEM_RESOURCES = 1450,
    ERROR_TIMEOUT = 1460,
    ERROR_INVALID_USER_BUFFER = 1784,
    ERROR_BAD_DRIVER = 2001,
};

// ---- Handles, waits, objects ----

enum : DWORD {
    INFINITE = 0xFFFFFFFF,
    WAIT_OBJECT_0 = 0x00000000,
    WAIT_ABANDONED = 0x00000080,
    WAIT_ABANDONED_0 = 0x00000080,
    WAIT_IO_COMPLETION = 0x000000C0,
    WAIT_FAILED = 0xFFFFFFFF,
    STILL_ACTIVE = 0x00000103,
};

enum : ACCESS_MASK {
    STANDARD_RIGHTS_READ = READ_CONTROL,
    STANDARD_RIGHTS_WRITE = READ_CONTROL,
    STANDARD_RIGHTS_EXECUTE = READ_CONTROL,
    STANDARD_RIGHTS_ALL = 0x001F0000,
    MUTEX_MODIFY_STATE = 0x0001,
    MUTEX_ALL_ACCESS = 0x001F0001,
    FILE_MAP_COPY = 0x0001,
    FILE_MAP_WRITE = 0x0002,
    FILE_MAP_READ = 0x0004,
    FILE_MAP_ALL_ACCESS = 0x000F001F,
    KEY_NOTIFY = 0x0010,
    KEY_CREATE_LINK = 0x0020,
    KEY_EXECUTE = 0x00020019,
    KEY_WOW64_64KEY = 0x0100,
    KEY_WOW64_32KEY = 0x0200,
};

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
using PSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

// Security descriptors: the machine checks no access against a DACL, so
// every object is as open as a null DACL makes it. A descriptor with a null
// DACL (or none) is accepted wherever SECURITY_ATTRIBUTES are passed; a
// DACL with entries cannot be set (ERROR_NOT_SUPPORTED), so none is ever
// ignored unnoticed. bInheritHandle is honoured.
enum : DWORD { SECURITY_DESCRIPTOR_REVISION = 1, SECURITY_DESCRIPTOR_MIN_LENGTH = 20 };
enum : WORD { SE_DACL_PRESENT = 0x0004, SE_DACL_DEFAULTED = 0x0008 };
struct ACL;
using PACL = ACL*;
struct SECURITY_DESCRIPTOR {
    BYTE Revision;
    BYTE Sbz1;
    WORD Control;
    void* Owner;
    void* Group;
    PACL Sacl;
    PACL Dacl;
};
static_assert(sizeof(SECURITY_DESCRIPTOR) == SECURITY_DESCRIPTOR_MIN_LENGTH);
using PSECURITY_DESCRIPTOR = void*;
// ERROR_UNKNOWN_REVISION for another revision.
BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision);
// A null pDacl with bDaclPresent: everyone has every access (as here always).
BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, PACL pDacl,
                               BOOL bDaclDefaulted);
BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, LPBOOL lpbDaclPresent, PACL* pDacl,
                               LPBOOL lpbDaclDefaulted);
BOOL IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor);

BOOL CloseHandle(HANDLE hObject);
BOOL DuplicateHandle(HANDLE hSourceProcess, HANDLE hSourceHandle, HANDLE hTargetProcess, LPHANDLE lpTargetHandle,
                     DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwOptions);
// Pseudo handles: (HANDLE)-1 and (HANDLE)-2, valid only in the calling
// process and thread.
HANDLE GetCurrentProcess();
HANDLE GetCurrentThread();
DWORD GetCurrentProcessId();
DWORD GetCurrentThreadId();

DWORD GetLastError();
void SetLastError(DWORD dwErrCode);
// Win32 error for an NT status, as the system's own table gives it;
// ERROR_MR_MID_NOT_FOUND for a status it does not know.
ULONG RtlNtStatusToDosError(NTSTATUS status);

// ---- Synchronisation ----

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName);
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName);
HANDLE OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
HANDLE OpenEventW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);
BOOL PulseEvent(HANDLE hEvent);
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName);
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName);
HANDLE OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
BOOL ReleaseMutex(HANDLE hMutex);
HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES lpSemaphoreAttributes, LONG lInitialCount, LONG lMaximumCount,
                        LPCSTR lpName);
HANDLE CreateSemaphoreW(LPSECURITY_ATTRIBUTES lpSemaphoreAttributes, LONG lInitialCount, LONG lMaximumCount,
                        LPCWSTR lpName);
HANDLE OpenSemaphoreA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
BOOL ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount, LPLONG lpPreviousCount);

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
DWORD WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL bAlertable);
DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds);
DWORD WaitForMultipleObjectsEx(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds,
                               BOOL bAlertable);
void Sleep(DWORD dwMilliseconds);
DWORD SleepEx(DWORD dwMilliseconds, BOOL bAlertable);

// Recursive, process-local lock. Uncontended it never enters the kernel;
// a contended Enter waits on a kernel event, so a thread blocked here counts
// as waiting for the machine's virtual clock.
struct CRITICAL_SECTION {
    PVOID DebugInfo;
    LONG LockCount;       // -1 free; otherwise threads holding or waiting, less one
    LONG RecursionCount;  // the owner's nested entries
    HANDLE OwningThread;  // owner's thread id
    HANDLE LockSemaphore; // kernel event, made on first contention
    ULONG_PTR SpinCount;
};
static_assert(sizeof(CRITICAL_SECTION) == 24);
using LPCRITICAL_SECTION = CRITICAL_SECTION*;
using PCRITICAL_SECTION = CRITICAL_SECTION*;
void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount);
void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

// ---- Files and devices ----

enum : DWORD {
    CREATE_NEW = 1,
    CREATE_ALWAYS = 2,
    OPEN_EXISTING = 3,
    OPEN_ALWAYS = 4,
    TRUNCATE_EXISTING = 5,
};
enum : DWORD {
    FILE_FLAG_WRITE_THROUGH = 0x80000000,
    FILE_FLAG_OVERLAPPED = 0x40000000,
    FILE_FLAG_NO_BUFFERING = 0x20000000,
    FILE_FLAG_RANDOM_ACCESS = 0x10000000,
    FILE_FLAG_SEQUENTIAL_SCAN = 0x08000000,
    FILE_FLAG_DELETE_ON_CLOSE = 0x04000000,
    FILE_FLAG_BACKUP_SEMANTICS = 0x02000000,
    FILE_ATTRIBUTE_DEVICE = 0x00000040,
    FILE_ATTRIBUTE_TEMPORARY = 0x00000100,
    FILE_ATTRIBUTE_OFFLINE = 0x00001000,
    FILE_ATTRIBUTE_NOT_CONTENT_INDEXED = 0x00002000,
    INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF,
    INVALID_FILE_SIZE = 0xFFFFFFFF,
    INVALID_SET_FILE_POINTER = 0xFFFFFFFF,
    FILE_BEGIN = 0,
    FILE_CURRENT = 1,
    FILE_END = 2,
};

struct OVERLAPPED {
    ULONG_PTR Internal;      // the request's NTSTATUS; STATUS_PENDING until it completes
    ULONG_PTR InternalHigh;  // bytes transferred
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        PVOID Pointer;
    };
    HANDLE hEvent;
};
static_assert(sizeof(OVERLAPPED) == 20);
using LPOVERLAPPED = OVERLAPPED*;
using LPOVERLAPPED_COMPLETION_ROUTINE = void (*)(DWORD dwErrorCode, DWORD dwNumberOfBytesTransfered,
                                                 LPOVERLAPPED lpOverlapped);

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
using PFILETIME = FILETIME*;
using LPFILETIME = FILETIME*;

struct WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    CHAR cFileName[MAX_PATH];
    CHAR cAlternateFileName[14];
};
static_assert(sizeof(WIN32_FIND_DATAA) == 320);
using PWIN32_FIND_DATAA = WIN32_FIND_DATAA*;
using LPWIN32_FIND_DATAA = WIN32_FIND_DATAA*;
struct WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    WCHAR cFileName[MAX_PATH];
    WCHAR cAlternateFileName[14];
};
static_assert(sizeof(WIN32_FIND_DATAW) == 592);
using PWIN32_FIND_DATAW = WIN32_FIND_DATAW*;
using LPWIN32_FIND_DATAW = WIN32_FIND_DATAW*;

// "\\.\NAME" opens the device behind \??\NAME; "C:\x" and relative paths
// (against the process's current directory, C:\ at first) open files of
// the drive letters that the kernel's host file system serves.
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped);
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped);
// The completion routine runs in the issuing thread during one of its
// alertable waits (SleepEx, Wait...Ex with bAlertable), which then return
// WAIT_IO_COMPLETION.
BOOL ReadFileEx(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPOVERLAPPED lpOverlapped,
                LPOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine);
BOOL WriteFileEx(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPOVERLAPPED lpOverlapped,
                 LPOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine);
BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
BOOL CancelIo(HANDLE hFile);
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod);
BOOL SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, PLARGE_INTEGER lpNewFilePointer,
                      DWORD dwMoveMethod);
DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);
BOOL GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize);
BOOL SetEndOfFile(HANDLE hFile);
BOOL FlushFileBuffers(HANDLE hFile);
BOOL DeleteFileA(LPCSTR lpFileName);
BOOL DeleteFileW(LPCWSTR lpFileName);
BOOL MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName);
enum : DWORD {
    MOVEFILE_REPLACE_EXISTING = 0x1,
    MOVEFILE_COPY_ALLOWED = 0x2,
    MOVEFILE_DELAY_UNTIL_REBOOT = 0x4,
    MOVEFILE_WRITE_THROUGH = 0x8,
};
// Renames at once (replacing an existing target only when asked), or with
// MOVEFILE_DELAY_UNTIL_REBOOT at the machine's next boot, where a null new
// name deletes the file. Nothing is copied across volumes: with
// MOVEFILE_COPY_ALLOWED too, a rename is all that is tried.
BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags);
BOOL CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
BOOL RemoveDirectoryA(LPCSTR lpPathName);
DWORD GetFileAttributesA(LPCSTR lpFileName);
// The drive's size figures, each cut to 32 bits as the call has always done.
BOOL GetDiskFreeSpaceA(LPCSTR lpRootPathName, LPDWORD lpSectorsPerCluster, LPDWORD lpBytesPerSector,
                       LPDWORD lpNumberOfFreeClusters, LPDWORD lpTotalNumberOfClusters);
HANDLE FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData);
HANDLE FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData);
BOOL FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData);
BOOL FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData);
BOOL FindClose(HANDLE hFindFile);
DWORD GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer);
BOOL SetCurrentDirectoryA(LPCSTR lpPathName);

// ---- File mappings ----

enum : DWORD {
    PAGE_WRITECOPY = 0x08,
    PAGE_EXECUTE = 0x10,
    PAGE_EXECUTE_READ = 0x20,
    PAGE_EXECUTE_READWRITE = 0x40,
    SEC_RESERVE = 0x04000000,
};
// hFile INVALID_HANDLE_VALUE: a section backed by the page file, the only
// kind the kernel has. Named mappings live in \BaseNamedObjects.
HANDLE CreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES lpAttributes, DWORD flProtect,
                          DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow, LPCSTR lpName);
HANDLE CreateFileMappingW(HANDLE hFile, LPSECURITY_ATTRIBUTES lpAttributes, DWORD flProtect,
                          DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow, LPCWSTR lpName);
HANDLE OpenFileMappingA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
HANDLE OpenFileMappingW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName);
LPVOID MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh,
                     DWORD dwFileOffsetLow, SIZE_T dwNumberOfBytesToMap);
LPVOID MapViewOfFileEx(HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh,
                       DWORD dwFileOffsetLow, SIZE_T dwNumberOfBytesToMap, LPVOID lpBaseAddress);
BOOL UnmapViewOfFile(LPCVOID lpBaseAddress);

// ---- Memory ----

enum : DWORD {
    MEM_COMMIT = 0x1000,
    MEM_RESERVE = 0x2000,
    MEM_RELEASE = 0x8000,
};
// Whole pages, zeroed, read-write: lpAddress null, MEM_COMMIT and/or
// MEM_RESERVE, PAGE_READWRITE. In a client of a machine host they come from
// the memory it shares with the host, so a driver writing into such a
// buffer while a request is pending is seen at once (platform/HOSTMODE.txt).
LPVOID VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType, DWORD flProtect);
// MEM_RELEASE with dwSize 0 of what VirtualAlloc returned.
BOOL VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType);

// ---- Threads ----

using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID lpThreadParameter);
using PTHREAD_START_ROUTINE = LPTHREAD_START_ROUTINE;
using PAPCFUNC = void (*)(ULONG_PTR dwParam);
enum : DWORD { CREATE_SUSPENDED = 0x00000004 };
enum : int {
    THREAD_PRIORITY_IDLE = -15,
    THREAD_PRIORITY_LOWEST = -2,
    THREAD_PRIORITY_BELOW_NORMAL = -1,
    THREAD_PRIORITY_NORMAL = 0,
    THREAD_PRIORITY_ABOVE_NORMAL = 1,
    THREAD_PRIORITY_HIGHEST = 2,
    THREAD_PRIORITY_TIME_CRITICAL = 15,
    THREAD_PRIORITY_ERROR_RETURN = 0x7FFFFFFF,
};
HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                    LPDWORD lpThreadId);
// The previous suspend count, or (DWORD)-1. Suspensions nest, up to 127
// (ERROR_SIGNAL_REFUSED past it); an ended thread gives ERROR_ACCESS_DENIED.
// A thread stops at its next safe point: a wait, a sleep (a wait it is in
// goes on and stops it when it ends), or in a host's client any call into
// the machine. A thread that suspends itself stops at once.
DWORD SuspendThread(HANDLE hThread);
DWORD ResumeThread(HANDLE hThread);
BOOL SetThreadPriority(HANDLE hThread, int nPriority);
int GetThreadPriority(HANDLE hThread);
BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
// For a thread CreateThread made: the event is set once the thread's start
// routine has returned, before the libraries see the thread end. A library
// that ends its worker while the process detaches it (the loader lock held,
// so the thread's end cannot come) waits for this instead, knowing none of
// its code runs on that thread any more. FALSE for another thread.
BOOL SetEventWhenThreadReturns(HANDLE hEvent);
DWORD QueueUserAPC(PAPCFUNC pfnAPC, HANDLE hThread, ULONG_PTR dwData);
// Ends a thread CreateThread made, with 'dwExitCode' as its exit code; its
// waiters are released when it ends. It ends at its next safe point (as
// for SuspendThread): at once when it waits, sleeps or is suspended,
// otherwise at its next wait, sleep or (in a client) call into the
// machine. Its stack unwinds from there; its libraries are not told. A
// thread that terminates itself does not return. ERROR_ACCESS_DENIED for
// a process's first thread (not made by CreateThread); an ended thread
// keeps its exit code.
BOOL TerminateThread(HANDLE hThread, DWORD dwExitCode);

// ---- Registry ----
// HKEY_LOCAL_MACHINE is \Registry\Machine, HKEY_CURRENT_USER
// \Registry\User\.Default, HKEY_USERS \Registry\User and HKEY_CLASSES_ROOT
// \Registry\Machine\Software\Classes. The functions return their error
// code and leave the thread's last error alone.

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)0x80000000)
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)0x80000001)
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)0x80000002)
#define HKEY_USERS ((HKEY)(ULONG_PTR)0x80000003)
enum : DWORD {
    REG_DWORD_LITTLE_ENDIAN = 4,
    REG_DWORD_BIG_ENDIAN = 5,
    REG_LINK = 6,
    REG_QWORD_LITTLE_ENDIAN = 11,
};
LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                        REGSAM samDesired, const SECURITY_ATTRIBUTES* lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition);
LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                        REGSAM samDesired, const SECURITY_ATTRIBUTES* lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition);
LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData);
LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData);
LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                       DWORD cbData);
LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                       DWORD cbData);
LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                      LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime);
LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                      LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
LSTATUS RegCloseKey(HKEY hKey);
LSTATUS RegFlushKey(HKEY hKey);

// ---- Modules ----
// LoadLibraryA("NAME.dll") loads the shared object libNAME.so or NAME.so
// (the name as given, then in lower case), looked for next to the
// executable, then in each folder of ZAR_DLL_PATH (':'-separated), then
// where the dynamic loader looks. A name with a '/' is a host path and is
// loaded as it is.
//
// A library of the system names its entry point with ZAR_DLL_ENTRY; the
// entry is called as Windows calls a library's: process attach when the
// library is first loaded (a FALSE answer fails the load: detach is called
// and the library unloaded), thread attach and detach for each thread
// CreateThread makes while it is loaded (unless DisableThreadLibraryCalls),
// process detach when its last FreeLibrary unloads it (reserved null) or
// the process exits (reserved non-null). A library linked into a program
// at build time is attached at the program's first system call, once the
// machine (embedded or a host) is reachable, and stays loaded.
HMODULE LoadLibraryA(LPCSTR lpLibFileName);
FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
BOOL FreeLibrary(HMODULE hLibModule);
// NULL: the executable; a name: a loaded library, ".dll" optional, any case.
HMODULE GetModuleHandleA(LPCSTR lpModuleName);
// The module's path in the machine: the system's programs and libraries
// live in C:\WINNT\system32 (the executable as NAME.exe, a library as
// NAME.dll under the name it registered).
DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
BOOL DisableThreadLibraryCalls(HMODULE hLibModule);

enum : DWORD {
    DLL_PROCESS_DETACH = 0,
    DLL_PROCESS_ATTACH = 1,
    DLL_THREAD_ATTACH = 2,
    DLL_THREAD_DETACH = 3,
};
using PDLL_ENTRY = BOOL (*)(HINSTANCE instance, DWORD reason, LPVOID reserved);

namespace w32 {
// Made by ZAR_DLL_ENTRY as the library is loaded; not for direct use.
struct DllEntryRegistration {
    DllEntryRegistration(const char* name, PDLL_ENTRY entry);
};
}  // namespace w32

// In one source file of a library: ZAR_DLL_ENTRY("ZarDll", DllMain);
#define ZAR_DLL_ENTRY(name, entry) static const w32::DllEntryRegistration zarDllEntryRegistration_(name, entry)

// ---- System information, paths and the process heap ----

// The machine's Windows folders (C:\WINNT, C:\WINNT\system32, in the
// machine's file tree). Each returns the length without the terminator, or
// with a buffer too small the size it needs including it.
UINT GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize);
UINT GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize);
// The full DOS path; *lpFilePart (when given) points at its last component,
// or is null when the path ends in a separator. Same length rule as above.
DWORD GetFullPathNameA(LPCSTR lpFileName, DWORD nBufferLength, LPSTR lpBuffer, LPSTR* lpFilePart);

struct SYSTEM_INFO {
    WORD wProcessorArchitecture;
    WORD wReserved;
    DWORD dwPageSize;
    LPVOID lpMinimumApplicationAddress;
    LPVOID lpMaximumApplicationAddress;
    DWORD_PTR dwActiveProcessorMask;
    DWORD dwNumberOfProcessors;
    DWORD dwProcessorType;
    DWORD dwAllocationGranularity;
    WORD wProcessorLevel;
    WORD wProcessorRevision;
};
static_assert(sizeof(SYSTEM_INFO) == 36);
using LPSYSTEM_INFO = SYSTEM_INFO*;
enum : WORD { PROCESSOR_ARCHITECTURE_INTEL = 0 };
enum : DWORD { PROCESSOR_INTEL_PENTIUM = 586 };
void GetSystemInfo(LPSYSTEM_INFO lpSystemInfo);

// The process heap: blocks aligned to 8 bytes, HEAP_ZERO_MEMORY honoured,
// a failed allocation null (with HEAP_GENERATE_EXCEPTIONS too: nothing here
// raises). HeapFree of null succeeds; of a block it did not make, fails.
enum : DWORD {
    HEAP_NO_SERIALIZE = 0x00000001,
    HEAP_GENERATE_EXCEPTIONS = 0x00000004,
    HEAP_ZERO_MEMORY = 0x00000008,
    HEAP_REALLOC_IN_PLACE_ONLY = 0x00000010,
};
HANDLE GetProcessHeap();
LPVOID HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes);
LPVOID HeapReAlloc(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem, SIZE_T dwBytes);
BOOL HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem);
SIZE_T HeapSize(HANDLE hHeap, DWORD dwFlags, LPCVOID lpMem);

// ---- Memory checks ----
// Policy: these never fault. Each page of the range is tested by the host
// kernel on our behalf (a read through process_vm_readv, a write as an
// atomic add of zero through a futex operation), so an inaccessible page
// gives TRUE without ever being touched by this process. A zero length is
// never bad; a null pointer with a length, or a range that wraps, is. As
// on Windows the answer is only true at the moment of the call.
BOOL IsBadReadPtr(const void* lp, UINT_PTR ucb);
BOOL IsBadWritePtr(LPVOID lp, UINT_PTR ucb);
BOOL IsBadCodePtr(FARPROC lpfn);
BOOL IsBadStringPtrA(LPCSTR lpsz, UINT_PTR ucchMax);

// The debugger's output: here the process's standard error, the text as given.
void OutputDebugStringA(LPCSTR lpOutputString);

// ---- Time ----

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};
using PSYSTEMTIME = SYSTEMTIME*;
using LPSYSTEMTIME = SYSTEMTIME*;
// Every time is the machine clock's (virtual in tests). The machine keeps
// UTC, so local time is system time.
DWORD GetTickCount();
BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount);
BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency);
void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime);
void GetSystemTime(LPSYSTEMTIME lpSystemTime);
void GetLocalTime(LPSYSTEMTIME lpSystemTime);
BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime);
BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime);

// ---- Code pages ----

enum : UINT { CP_ACP = 0, CP_OEMCP = 1, CP_UTF8 = 65001, CP_1252 = 1252 };
// CP_ACP and CP_OEMCP are Windows-1252 here; flags must be 0.
int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar);
int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar);

// ---- The service manager ----
// Services are the machine's: their keys under
// HKLM\System\CurrentControlSet\Services (Type, Start, ErrorControl,
// ImagePath, DisplayName), their running state in a volatile subkey of
// each, so every process of the machine (embedded or a host's client) sees
// the same services. Starting a kernel or file-system driver loads its
// driver in the machine (through the host for a client); starting a
// program's service runs its ImagePath as a client process of the machine's
// host (a host path, or a path in the machine's drives; %SystemRoot% is
// C:\WINNT), which must call StartServiceCtrlDispatcher. A driver started
// at boot (Start 0-2) counts as running until it is stopped.

struct SC_HANDLE__;
using SC_HANDLE = SC_HANDLE__*;
using LPSC_HANDLE = SC_HANDLE*;
struct SERVICE_STATUS_HANDLE__;
using SERVICE_STATUS_HANDLE = SERVICE_STATUS_HANDLE__*;
using SC_LOCK = LPVOID;

enum : DWORD {
    SC_MANAGER_CONNECT = 0x0001,
    SC_MANAGER_CREATE_SERVICE = 0x0002,
    SC_MANAGER_ENUMERATE_SERVICE = 0x0004,
    SC_MANAGER_LOCK = 0x0008,
    SC_MANAGER_QUERY_LOCK_STATUS = 0x0010,
    SC_MANAGER_MODIFY_BOOT_CONFIG = 0x0020,
    SC_MANAGER_ALL_ACCESS = 0x000F003F,
    SERVICE_QUERY_CONFIG = 0x0001,
    SERVICE_CHANGE_CONFIG = 0x0002,
    SERVICE_QUERY_STATUS = 0x0004,
    SERVICE_ENUMERATE_DEPENDENTS = 0x0008,
    SERVICE_START = 0x0010,
    SERVICE_STOP = 0x0020,
    SERVICE_PAUSE_CONTINUE = 0x0040,
    SERVICE_INTERROGATE = 0x0080,
    SERVICE_USER_DEFINED_CONTROL = 0x0100,
    SERVICE_ALL_ACCESS = 0x000F01FF,
};
enum : DWORD {
    SERVICE_KERNEL_DRIVER = 0x00000001,
    SERVICE_FILE_SYSTEM_DRIVER = 0x00000002,
    SERVICE_WIN32_OWN_PROCESS = 0x00000010,
    SERVICE_WIN32_SHARE_PROCESS = 0x00000020,
    SERVICE_INTERACTIVE_PROCESS = 0x00000100,
    SERVICE_BOOT_START = 0,
    SERVICE_SYSTEM_START = 1,
    SERVICE_AUTO_START = 2,
    SERVICE_DEMAND_START = 3,
    SERVICE_DISABLED = 4,
    SERVICE_ERROR_IGNORE = 0,
    SERVICE_ERROR_NORMAL = 1,
    SERVICE_ERROR_SEVERE = 2,
    SERVICE_ERROR_CRITICAL = 3,
    SERVICE_NO_CHANGE = 0xFFFFFFFF,
};
enum : DWORD {
    SERVICE_STOPPED = 1,
    SERVICE_START_PENDING = 2,
    SERVICE_STOP_PENDING = 3,
    SERVICE_RUNNING = 4,
    SERVICE_CONTINUE_PENDING = 5,
    SERVICE_PAUSE_PENDING = 6,
    SERVICE_PAUSED = 7,
    SERVICE_CONTROL_STOP = 1,
    SERVICE_CONTROL_PAUSE = 2,
    SERVICE_CONTROL_CONTINUE = 3,
    SERVICE_CONTROL_INTERROGATE = 4,
    SERVICE_CONTROL_SHUTDOWN = 5,
    SERVICE_ACCEPT_STOP = 0x00000001,
    SERVICE_ACCEPT_PAUSE_CONTINUE = 0x00000002,
    SERVICE_ACCEPT_SHUTDOWN = 0x00000004,
};

struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};
using LPSERVICE_STATUS = SERVICE_STATUS*;
using LPSERVICE_MAIN_FUNCTIONA = void (*)(DWORD dwNumServicesArgs, LPSTR* lpServiceArgVectors);
using LPHANDLER_FUNCTION = void (*)(DWORD dwControl);
struct SERVICE_TABLE_ENTRYA {
    LPSTR lpServiceName;
    LPSERVICE_MAIN_FUNCTIONA lpServiceProc;
};
using LPSERVICE_TABLE_ENTRYA = SERVICE_TABLE_ENTRYA*;
using LPSERVICE_MAIN_FUNCTIONW = void (*)(DWORD dwNumServicesArgs, LPWSTR* lpServiceArgVectors);
struct SERVICE_TABLE_ENTRYW {
    LPWSTR lpServiceName;
    LPSERVICE_MAIN_FUNCTIONW lpServiceProc;
};
using LPSERVICE_TABLE_ENTRYW = SERVICE_TABLE_ENTRYW*;

// The wide calls are the ANSI ones with their strings converted; a string
// the ANSI code page cannot hold fails the call (ERROR_INVALID_NAME for a
// name, ERROR_INVALID_PARAMETER for any other string) rather than naming
// another service or storing another path.

// lpMachineName must be null (this machine); lpDatabaseName null or "ServicesActive".
SC_HANDLE OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess);
SC_HANDLE OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess);
// ERROR_SERVICE_EXISTS when the service's key is there already.
SC_HANDLE CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName, DWORD dwDesiredAccess,
                         DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl, LPCSTR lpBinaryPathName,
                         LPCSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCSTR lpDependencies,
                         LPCSTR lpServiceStartName, LPCSTR lpPassword);
SC_HANDLE CreateServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, LPCWSTR lpDisplayName, DWORD dwDesiredAccess,
                         DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl, LPCWSTR lpBinaryPathName,
                         LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCWSTR lpDependencies,
                         LPCWSTR lpServiceStartName, LPCWSTR lpPassword);
// ERROR_SERVICE_DOES_NOT_EXIST for an unknown service.
SC_HANDLE OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess);
SC_HANDLE OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess);
// ERROR_SERVICE_ALREADY_RUNNING when it runs; a program's service is
// started once its program called StartServiceCtrlDispatcher (30 s at
// most, else ERROR_SERVICE_REQUEST_TIMEOUT).
BOOL StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR* lpServiceArgVectors);
BOOL StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCWSTR* lpServiceArgVectors);
// A program's service: the control goes to its handler, and the status it
// reported after it comes back. A driver: SERVICE_CONTROL_STOP unloads it.
BOOL ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus);
// The key goes now, or for a running service once it stopped.
BOOL DeleteService(SC_HANDLE hService);
BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus);
BOOL CloseServiceHandle(SC_HANDLE hSCObject);
// One lock for the machine: ERROR_SERVICE_DATABASE_LOCKED while another
// holder has it; no service starts meanwhile except from the holder.
SC_LOCK LockServiceDatabase(SC_HANDLE hSCManager);
BOOL UnlockServiceDatabase(SC_LOCK ScLock);
// In a service's program: runs the first entry's ServiceMain on a thread of
// its own and returns once the service reported SERVICE_STOPPED
// (ERROR_FAILED_SERVICE_CONTROLLER_CONNECT when the program was not
// started as a service).
BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* lpServiceStartTable);
BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* lpServiceStartTable);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR lpServiceName, LPHANDLER_FUNCTION lpHandlerProc);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(LPCWSTR lpServiceName, LPHANDLER_FUNCTION lpHandlerProc);
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus);

// ---- Version information ----
// The system's own files carry a version record (one table in version.cpp):
// the drivers in system32\drivers, the libraries and programs in system32,
// named as the system names them (any case). Another file has none:
// ERROR_RESOURCE_TYPE_NOT_FOUND when it exists, else ERROR_FILE_NOT_FOUND.
// VerQueryValueA answers "\\" (VS_FIXEDFILEINFO), "\\VarFileInfo\\Translation"
// and "\\StringFileInfo\\040904B0\\<name>" (FileVersion, ProductVersion,
// FileDescription, ProductName, InternalName, OriginalFilename).
struct VS_FIXEDFILEINFO {
    DWORD dwSignature;
    DWORD dwStrucVersion;
    DWORD dwFileVersionMS;
    DWORD dwFileVersionLS;
    DWORD dwProductVersionMS;
    DWORD dwProductVersionLS;
    DWORD dwFileFlagsMask;
    DWORD dwFileFlags;
    DWORD dwFileOS;
    DWORD dwFileType;
    DWORD dwFileSubtype;
    DWORD dwFileDateMS;
    DWORD dwFileDateLS;
};
enum : DWORD {
    VS_FFI_SIGNATURE = 0xFEEF04BD,
    VS_FFI_STRUCVERSION = 0x00010000,
    VS_FFI_FILEFLAGSMASK = 0x0000003F,
    VOS_NT_WINDOWS32 = 0x00040004,
    VFT_APP = 1,
    VFT_DLL = 2,
    VFT_DRV = 3,
    VFT2_DRV_SYSTEM = 7,
    ERROR_RESOURCE_DATA_NOT_FOUND = 1812,
    ERROR_RESOURCE_TYPE_NOT_FOUND = 1813,
};
DWORD GetFileVersionInfoSizeA(LPCSTR lptstrFilename, LPDWORD lpdwHandle);
BOOL GetFileVersionInfoA(LPCSTR lptstrFilename, DWORD dwHandle, DWORD dwLen, LPVOID lpData);
BOOL VerQueryValueA(LPCVOID pBlock, LPCSTR lpSubBlock, LPVOID* lplpBuffer, UINT* puLen);

