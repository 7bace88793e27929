// What user mode sees of the kernel: the types, records and constants of
// the system calls (object attributes, status blocks, access rights, file,
// registry and section records, control-code macros). The Win32 layer and
// the kernel's own headers both include it, so each name has one
// definition; nothing here declares a kernel routine or a kernel object.
#pragma once

#include "nt_types.h"

// ---- Objects and access rights ----

// Statuses of the seam itself (a host's client process ending, a call the
// host does not know, a thread's suspensions past their limit).
enum : NTSTATUS {
    STATUS_INVALID_SYSTEM_SERVICE = (NTSTATUS)0xC000001C,
    STATUS_SUSPEND_COUNT_EXCEEDED = (NTSTATUS)0xC000004A,
    STATUS_THREAD_IS_TERMINATING = (NTSTATUS)0xC000004B,
    // The calling thread was terminated (NtTerminateThread): a safe point
    // (a wait, a delay, a suspension, a call to the host) answers it, and
    // the Win32 layer ends the thread there. No program ever sees it.
    STATUS_THREAD_TERMINATE_PENDING = (NTSTATUS)0xE000004B,
};

// The most suspensions a thread may hold (NtSuspendThread).
constexpr ULONG MAXIMUM_SUSPEND_COUNT = 127;

struct OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
};
using POBJECT_ATTRIBUTES = OBJECT_ATTRIBUTES*;

enum : ULONG {
    OBJ_INHERIT = 0x02,
    OBJ_PERMANENT = 0x10,
    OBJ_EXCLUSIVE = 0x20,
    OBJ_CASE_INSENSITIVE = 0x40,
    OBJ_OPENIF = 0x80,
    OBJ_OPENLINK = 0x100,
    OBJ_KERNEL_HANDLE = 0x200,
};

inline void InitializeObjectAttributes(POBJECT_ATTRIBUTES p, PUNICODE_STRING name, ULONG attributes, HANDLE root,
                                       PVOID security)
{
    p->Length = sizeof(OBJECT_ATTRIBUTES);
    p->RootDirectory = root;
    p->ObjectName = name;
    p->Attributes = attributes;
    p->SecurityDescriptor = security;
    p->SecurityQualityOfService = nullptr;
}

// Access rights.
enum : ACCESS_MASK {
    DELETE = 0x00010000,
    READ_CONTROL = 0x00020000,
    WRITE_DAC = 0x00040000,
    WRITE_OWNER = 0x00080000,
    SYNCHRONIZE = 0x00100000,
    STANDARD_RIGHTS_REQUIRED = 0x000F0000,
    GENERIC_READ = 0x80000000,
    GENERIC_WRITE = 0x40000000,
    GENERIC_EXECUTE = 0x20000000,
    GENERIC_ALL = 0x10000000,
    MAXIMUM_ALLOWED = 0x02000000,
    ACCESS_SYSTEM_SECURITY = 0x01000000,
    EVENT_QUERY_STATE = 0x0001,
    EVENT_MODIFY_STATE = 0x0002,
    EVENT_ALL_ACCESS = 0x001F0003,
    SEMAPHORE_QUERY_STATE = 0x0001,
    SEMAPHORE_MODIFY_STATE = 0x0002,
    SEMAPHORE_ALL_ACCESS = 0x001F0003,
    MUTANT_QUERY_STATE = 0x0001,
    MUTANT_ALL_ACCESS = 0x001F0001,
    THREAD_ALL_ACCESS = 0x001F03FF,
    PROCESS_ALL_ACCESS = 0x001F0FFF,
    FILE_READ_DATA = 0x0001,
    FILE_LIST_DIRECTORY = 0x0001,
    FILE_WRITE_DATA = 0x0002,
    FILE_ADD_FILE = 0x0002,
    FILE_APPEND_DATA = 0x0004,
    FILE_READ_EA = 0x0008,
    FILE_WRITE_EA = 0x0010,
    FILE_EXECUTE = 0x0020,
    FILE_TRAVERSE = 0x0020,
    FILE_READ_ATTRIBUTES = 0x0080,
    FILE_WRITE_ATTRIBUTES = 0x0100,
    FILE_ALL_ACCESS = 0x001F01FF,
    FILE_GENERIC_READ = 0x00120089,
    FILE_GENERIC_WRITE = 0x00120116,
    FILE_GENERIC_EXECUTE = 0x001200A0,
    SECTION_QUERY = 0x0001,
    SECTION_MAP_WRITE = 0x0002,
    SECTION_MAP_READ = 0x0004,
    SECTION_ALL_ACCESS = 0x000F001F,
    KEY_QUERY_VALUE = 0x0001,
    KEY_SET_VALUE = 0x0002,
    KEY_CREATE_SUB_KEY = 0x0004,
    KEY_ENUMERATE_SUB_KEYS = 0x0008,
    KEY_READ = 0x00020019,
    KEY_WRITE = 0x00020006,
    KEY_ALL_ACCESS = 0x000F003F,
    DIRECTORY_ALL_ACCESS = 0x000F000F,
    SYMBOLIC_LINK_ALL_ACCESS = 0x000F0001,
};

// ---- Threads and waits ----

enum : ULONG { DUPLICATE_CLOSE_SOURCE = 1, DUPLICATE_SAME_ACCESS = 2 };
struct CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
};
using PCLIENT_ID = CLIENT_ID*;

// Pseudo handle for the calling thread in the thread calls of the seam.
#define NtCurrentThread() ((HANDLE)(LONG_PTR)-2)

// A user thread's routine (NtCreateUserThread); its result is the exit code.
using PUSER_THREAD_ROUTINE = ULONG (*)(PVOID context);
using PKUSER_APC_ROUTINE = void (*)(PVOID context, PVOID arg1, PVOID arg2);

enum { MAXIMUM_WAIT_OBJECTS = 64 };

// ---- The machine's own accounts ----

enum SYSTEM_INFORMATION_CLASS { SystemInterruptRunTimeInformation = 0x100 };
// One record per interrupt vector that has run, in vector order; vector 0
// stands for the DPCs no interrupt caused (timers, threads). A vector's
// DPCs are those its service routines queued, and those these queued in
// turn. Times are the host's nanoseconds spent in the routines: wall time,
// and the running thread's CPU time, which leaves out what preempted it.
struct SYSTEM_INTERRUPT_RUN_TIME {
    ULONG Vector;
    ULONG Reserved;
    ULONGLONG Interrupts;   // deliveries to the vector's chain of service routines
    ULONGLONG InterruptNs;
    ULONGLONG Dpcs;         // DPC routines run
    ULONGLONG DpcNs;
    ULONGLONG InterruptCpuNs;
    ULONGLONG DpcCpuNs;
};

// ---- Files and devices ----

#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016)
struct IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
};
using PIO_STATUS_BLOCK = IO_STATUS_BLOCK*;

using PIO_APC_ROUTINE = void (*)(PVOID apcContext, PIO_STATUS_BLOCK iosb, ULONG reserved);

// Control codes.
#define CTL_CODE(deviceType, function, method, access) \
    (((ULONG)(deviceType) << 16) | ((ULONG)(access) << 14) | ((ULONG)(function) << 2) | (ULONG)(method))
enum : ULONG {
    METHOD_BUFFERED = 0,
    METHOD_IN_DIRECT = 1,
    METHOD_OUT_DIRECT = 2,
    METHOD_NEITHER = 3,
    FILE_ANY_ACCESS = 0,
    FILE_READ_ACCESS = 1,
    FILE_WRITE_ACCESS = 2,
};
#define METHOD_FROM_CTL_CODE(code) ((ULONG)((code) & 3))
enum : ULONG {
    FILE_DEVICE_DISK = 0x07,
    FILE_DEVICE_DISK_FILE_SYSTEM = 0x08,
    FILE_DEVICE_FILE_SYSTEM = 0x09,
    FILE_DEVICE_NULL = 0x15,
    FILE_DEVICE_UNKNOWN = 0x22,
    FILE_DEVICE_SOUND = 0x1d,
};

enum : ULONG { FILE_SHARE_READ = 1, FILE_SHARE_WRITE = 2, FILE_SHARE_DELETE = 4 };

// ---- Files: create parameters, information classes and records ----
// (shared by the system-call seam and the drivers that serve files)

enum : ULONG {  // create dispositions
    FILE_SUPERSEDE = 0,
    FILE_OPEN = 1,
    FILE_CREATE = 2,
    FILE_OPEN_IF = 3,
    FILE_OVERWRITE = 4,
    FILE_OVERWRITE_IF = 5,
};
enum : ULONG {  // create options
    FILE_DIRECTORY_FILE = 0x00000001,
    FILE_WRITE_THROUGH = 0x00000002,
    FILE_SEQUENTIAL_ONLY = 0x00000004,
    FILE_SYNCHRONOUS_IO_ALERT = 0x00000010,
    FILE_SYNCHRONOUS_IO_NONALERT = 0x00000020,
    FILE_NON_DIRECTORY_FILE = 0x00000040,
    FILE_DELETE_ON_CLOSE = 0x00001000,
};
enum : ULONG {  // IO_STATUS_BLOCK.Information of a create
    FILE_SUPERSEDED = 0,
    FILE_OPENED = 1,
    FILE_CREATED = 2,
    FILE_OVERWRITTEN = 3,
    FILE_EXISTS = 4,
    FILE_DOES_NOT_EXIST = 5,
};
enum : ULONG {
    FILE_ATTRIBUTE_READONLY = 0x01,
    FILE_ATTRIBUTE_HIDDEN = 0x02,
    FILE_ATTRIBUTE_SYSTEM = 0x04,
    FILE_ATTRIBUTE_DIRECTORY = 0x10,
    FILE_ATTRIBUTE_ARCHIVE = 0x20,
    FILE_ATTRIBUTE_NORMAL = 0x80,
};

enum FILE_INFORMATION_CLASS {
    FileDirectoryInformation = 1,
    FileFullDirectoryInformation = 2,
    FileBothDirectoryInformation = 3,
    FileBasicInformation = 4,
    FileStandardInformation = 5,
    FileNameInformation = 9,
    FileRenameInformation = 10,
    FileNamesInformation = 12,
    FileDispositionInformation = 13,
    FilePositionInformation = 14,
    FileAllInformation = 18,
    FileAllocationInformation = 19,
    FileEndOfFileInformation = 20,
    FileNetworkOpenInformation = 34,
};
struct FILE_BASIC_INFORMATION {
    LARGE_INTEGER CreationTime, LastAccessTime, LastWriteTime, ChangeTime;
    ULONG FileAttributes;
};
struct FILE_STANDARD_INFORMATION {
    LARGE_INTEGER AllocationSize, EndOfFile;
    ULONG NumberOfLinks;
    BOOLEAN DeletePending;
    BOOLEAN Directory;
};
struct FILE_POSITION_INFORMATION {
    LARGE_INTEGER CurrentByteOffset;
};
struct FILE_END_OF_FILE_INFORMATION {
    LARGE_INTEGER EndOfFile;
};
struct FILE_DISPOSITION_INFORMATION {
    BOOLEAN DeleteFile;
};
struct FILE_RENAME_INFORMATION {
    BOOLEAN ReplaceIfExists;
    HANDLE RootDirectory;
    ULONG FileNameLength;
    WCHAR FileName[1];
};
struct FILE_NAME_INFORMATION {
    ULONG FileNameLength;
    WCHAR FileName[1];
};
struct FILE_BOTH_DIR_INFORMATION {
    ULONG NextEntryOffset;
    ULONG FileIndex;
    LARGE_INTEGER CreationTime, LastAccessTime, LastWriteTime, ChangeTime;
    LARGE_INTEGER EndOfFile, AllocationSize;
    ULONG FileAttributes;
    ULONG FileNameLength;
    ULONG EaSize;
    CCHAR ShortNameLength;
    WCHAR ShortName[12];
    WCHAR FileName[1];
};
// Directory, volume and combined information records.
struct FILE_NETWORK_OPEN_INFORMATION {
    LARGE_INTEGER CreationTime, LastAccessTime, LastWriteTime, ChangeTime, AllocationSize, EndOfFile;
    ULONG FileAttributes;
};
struct FILE_ALL_INFORMATION {
    FILE_BASIC_INFORMATION Basic;
    FILE_STANDARD_INFORMATION Standard;
    LARGE_INTEGER IndexNumber;
    ULONG EaSize;
    ACCESS_MASK AccessFlags;
    LARGE_INTEGER CurrentByteOffset;
    ULONG Mode;
    ULONG AlignmentRequirement;
    FILE_NAME_INFORMATION Name;
};
struct FILE_DIRECTORY_INFORMATION {
    ULONG NextEntryOffset, FileIndex;
    LARGE_INTEGER CreationTime, LastAccessTime, LastWriteTime, ChangeTime, EndOfFile, AllocationSize;
    ULONG FileAttributes, FileNameLength;
    WCHAR FileName[1];
};
struct FILE_FULL_DIR_INFORMATION {
    ULONG NextEntryOffset, FileIndex;
    LARGE_INTEGER CreationTime, LastAccessTime, LastWriteTime, ChangeTime, EndOfFile, AllocationSize;
    ULONG FileAttributes, FileNameLength, EaSize;
    WCHAR FileName[1];
};
struct FILE_NAMES_INFORMATION {
    ULONG NextEntryOffset, FileIndex, FileNameLength;
    WCHAR FileName[1];
};
struct FILE_FS_VOLUME_INFORMATION {
    LARGE_INTEGER VolumeCreationTime;
    ULONG VolumeSerialNumber, VolumeLabelLength;
    BOOLEAN SupportsObjects;
    WCHAR VolumeLabel[1];
};
struct FILE_FS_SIZE_INFORMATION {
    LARGE_INTEGER TotalAllocationUnits, AvailableAllocationUnits;
    ULONG SectorsPerAllocationUnit, BytesPerSector;
};
struct FILE_FS_FULL_SIZE_INFORMATION {
    LARGE_INTEGER TotalAllocationUnits, CallerAvailableAllocationUnits, ActualAvailableAllocationUnits;
    ULONG SectorsPerAllocationUnit, BytesPerSector;
};
struct FILE_FS_DEVICE_INFORMATION {
    ULONG DeviceType, Characteristics;
};
struct FILE_FS_ATTRIBUTE_INFORMATION {
    ULONG FileSystemAttributes;
    LONG MaximumComponentNameLength;
    ULONG FileSystemNameLength;
    WCHAR FileSystemName[1];
};
static_assert(offsetof(FILE_DIRECTORY_INFORMATION, FileName) == 64);
static_assert(offsetof(FILE_FULL_DIR_INFORMATION, FileName) == 68);
static_assert(offsetof(FILE_BOTH_DIR_INFORMATION, FileName) == 94);
static_assert(offsetof(FILE_NAMES_INFORMATION, FileName) == 12);
static_assert(offsetof(FILE_FS_VOLUME_INFORMATION, VolumeLabel) == 18);
static_assert(offsetof(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName) == 12);
enum FS_INFORMATION_CLASS { FileFsVolumeInformation = 1, FileFsSizeInformation = 3, FileFsDeviceInformation = 4, FileFsAttributeInformation = 5, FileFsFullSizeInformation = 7 };

// ---- Registry ----

enum : ULONG {
    REG_NONE = 0,
    REG_SZ = 1,
    REG_EXPAND_SZ = 2,
    REG_BINARY = 3,
    REG_DWORD = 4,
    REG_MULTI_SZ = 7,
    REG_QWORD = 11,
};
enum : ULONG { REG_OPTION_NON_VOLATILE = 0, REG_OPTION_VOLATILE = 1 };
enum : ULONG { REG_CREATED_NEW_KEY = 1, REG_OPENED_EXISTING_KEY = 2 };

enum KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation = 0,
    KeyValueFullInformation = 1,
    KeyValuePartialInformation = 2,
};
struct KEY_VALUE_BASIC_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG NameLength;
    WCHAR Name[1];
};
struct KEY_VALUE_FULL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataOffset;
    ULONG DataLength;
    ULONG NameLength;
    WCHAR Name[1];
};
struct KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
};
enum KEY_INFORMATION_CLASS {
    KeyBasicInformation = 0,
    KeyNodeInformation = 1,
    KeyFullInformation = 2,
    KeyNameInformation = 3,  // ZwQueryKey only: the key's full path
};
struct KEY_BASIC_INFORMATION {
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG NameLength;
    WCHAR Name[1];
};
// ClassOffset is from the start of the record, 0xFFFFFFFF without a class.
struct KEY_NODE_INFORMATION {
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG ClassOffset;
    ULONG ClassLength;
    ULONG NameLength;
    WCHAR Name[1];
};
struct KEY_FULL_INFORMATION {
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG ClassOffset;
    ULONG ClassLength;
    ULONG SubKeys;
    ULONG MaxNameLen;  // bytes, longest subkey name
    ULONG MaxClassLen;
    ULONG Values;
    ULONG MaxValueNameLen;
    ULONG MaxValueDataLen;
    WCHAR Class[1];
};
struct KEY_NAME_INFORMATION {
    ULONG NameLength;
    WCHAR Name[1];
};
static_assert(offsetof(KEY_BASIC_INFORMATION, Name) == 16);
static_assert(offsetof(KEY_NODE_INFORMATION, Name) == 24);
static_assert(offsetof(KEY_FULL_INFORMATION, Class) == 44);
static_assert(offsetof(KEY_VALUE_BASIC_INFORMATION, Name) == 12);
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, Name) == 20);
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12);

// Registry status codes beyond the common ones of nt_types.h.
enum : NTSTATUS {
    STATUS_REGISTRY_CORRUPT = (NTSTATUS)0xC000014C,
    STATUS_REGISTRY_IO_FAILED = (NTSTATUS)0xC000014D,
    STATUS_KEY_DELETED = (NTSTATUS)0xC000017C,
    STATUS_CHILD_MUST_BE_VOLATILE = (NTSTATUS)0xC0000181,
};

// ---- Sections ----

enum SECTION_INHERIT { ViewShare = 1, ViewUnmap = 2 };

enum : ULONG {
    PAGE_NOACCESS = 0x01,
    PAGE_READONLY = 0x02,
    PAGE_READWRITE = 0x04,
    SEC_COMMIT = 0x08000000,
};
// Sections are page-file backed only (no image or data-file sections).
// Views of a section are real shared mappings of one memory object, so
// every view sees every other's writes. View offsets are multiples of the
// 64 KB allocation granularity.
enum : ULONG { MM_ALLOCATION_GRANULARITY = 0x10000, SECTION_MAP_EXECUTE = 0x0008 };
enum : NTSTATUS {
    STATUS_CONFLICTING_ADDRESSES = (NTSTATUS)0xC0000018,
    STATUS_NOT_MAPPED_VIEW = (NTSTATUS)0xC0000019,
    STATUS_INVALID_VIEW_SIZE = (NTSTATUS)0xC000001F,
    STATUS_SECTION_TOO_BIG = (NTSTATUS)0xC0000040,
    STATUS_INVALID_PAGE_PROTECTION = (NTSTATUS)0xC0000045,
    STATUS_SECTION_PROTECTION = (NTSTATUS)0xC000004E,
    STATUS_MAPPED_ALIGNMENT = (NTSTATUS)0xC0000220,
};

#define NtCurrentProcess() ((HANDLE)(LONG_PTR)-1)

// ---- Interlocked ----
// The same operations for the kernel and for user mode (kernel32 exports
// them, and the compiler builds them in).

inline LONG InterlockedIncrement(volatile LONG* p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedDecrement(volatile LONG* p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchange(volatile LONG* p, LONG v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchangeAdd(volatile LONG* p, LONG v) { return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedCompareExchange(volatile LONG* p, LONG exchange, LONG comparand)
{
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* p, PVOID v)
{
    return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* p, PVOID exchange, PVOID comparand)
{
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
