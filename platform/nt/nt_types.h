// Basic kernel types, status codes, lists and counted strings that every
// driver and the kernel layer itself are written against. The build is
// i386, so pointers, handles and ULONG_PTR are 32 bits wide as the drivers'
// records expect.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

static_assert(sizeof(void*) == 4, "the system is built for i386 (-m32)");

using UCHAR = uint8_t;
using CHAR = char;
using BOOLEAN = uint8_t;
using USHORT = uint16_t;
using SHORT = int16_t;
using ULONG = uint32_t;
using LONG = int32_t;
using ULONGLONG = uint64_t;
using LONGLONG = int64_t;
using ULONG_PTR = uintptr_t;
using LONG_PTR = intptr_t;
using SIZE_T = size_t;
using PSIZE_T = SIZE_T*;
using WCHAR = char16_t;
using PVOID = void*;
using HANDLE = void*;
using NTSTATUS = int32_t;
using CCHAR = char;
using PUCHAR = UCHAR*;
using PUSHORT = USHORT*;
using PULONG = ULONG*;
using PLONG = LONG*;
using PCHAR = CHAR*;
using PWCHAR = WCHAR*;
using PCWSTR = const WCHAR*;
using PWSTR = WCHAR*;
using PCSTR = const char*;
using PBOOLEAN = BOOLEAN*;
using PHANDLE = HANDLE*;
using ACCESS_MASK = ULONG;
using KPRIORITY = LONG;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define NT_SUCCESS(s) (static_cast<NTSTATUS>(s) >= 0)
#define NT_INFORMATION(s) ((static_cast<ULONG>(s) >> 30) == 1)
#define NT_WARNING(s) ((static_cast<ULONG>(s) >> 30) == 2)
#define NT_ERROR(s) ((static_cast<ULONG>(s) >> 30) == 3)

// Status codes used by the drivers and the I/O manager. Values are the
// system's documented ones; the table of names lives in nt_status.cpp.
enum : NTSTATUS {
    STATUS_SUCCESS = 0x00000000,
    STATUS_WAIT_0 = 0x00000000,
    STATUS_WAIT_1 = 0x00000001,
    STATUS_ABANDONED_WAIT_0 = 0x00000080,
    STATUS_USER_APC = 0x000000C0,
    STATUS_ALERTED = 0x00000101,
    STATUS_TIMEOUT = 0x00000102,
    STATUS_PENDING = 0x00000103,
    STATUS_REPARSE = 0x00000104,
    STATUS_MORE_ENTRIES = 0x00000105,
    STATUS_NOTIFY_CLEANUP = 0x0000010B,
    STATUS_NOTIFY_ENUM_DIR = 0x0000010C,
    STATUS_OBJECT_NAME_EXISTS = 0x40000000,
    STATUS_DATATYPE_MISALIGNMENT = (NTSTATUS)0x80000002,
    STATUS_BUFFER_OVERFLOW = (NTSTATUS)0x80000005,
    STATUS_NO_MORE_FILES = (NTSTATUS)0x80000006,
    STATUS_DEVICE_BUSY = (NTSTATUS)0x80000011,
    STATUS_NO_MORE_ENTRIES = (NTSTATUS)0x8000001A,
    STATUS_UNSUCCESSFUL = (NTSTATUS)0xC0000001,
    STATUS_NOT_IMPLEMENTED = (NTSTATUS)0xC0000002,
    STATUS_INVALID_INFO_CLASS = (NTSTATUS)0xC0000003,
    STATUS_INFO_LENGTH_MISMATCH = (NTSTATUS)0xC0000004,
    STATUS_ACCESS_VIOLATION = (NTSTATUS)0xC0000005,
    STATUS_INVALID_HANDLE = (NTSTATUS)0xC0000008,
    STATUS_INVALID_PARAMETER = (NTSTATUS)0xC000000D,
    STATUS_NO_SUCH_DEVICE = (NTSTATUS)0xC000000E,
    STATUS_NO_SUCH_FILE = (NTSTATUS)0xC000000F,
    STATUS_INVALID_DEVICE_REQUEST = (NTSTATUS)0xC0000010,
    STATUS_END_OF_FILE = (NTSTATUS)0xC0000011,
    STATUS_NO_MEMORY = (NTSTATUS)0xC0000017,
    STATUS_ACCESS_DENIED = (NTSTATUS)0xC0000022,
    STATUS_PRIVILEGE_NOT_HELD = (NTSTATUS)0xC0000061,
    STATUS_BUFFER_TOO_SMALL = (NTSTATUS)0xC0000023,
    STATUS_OBJECT_TYPE_MISMATCH = (NTSTATUS)0xC0000024,
    STATUS_OBJECT_NAME_INVALID = (NTSTATUS)0xC0000033,
    STATUS_OBJECT_NAME_NOT_FOUND = (NTSTATUS)0xC0000034,
    STATUS_OBJECT_NAME_COLLISION = (NTSTATUS)0xC0000035,
    STATUS_OBJECT_PATH_NOT_FOUND = (NTSTATUS)0xC000003A,
    STATUS_OBJECT_PATH_SYNTAX_BAD = (NTSTATUS)0xC000003B,
    STATUS_SHARING_VIOLATION = (NTSTATUS)0xC0000043,
    STATUS_SEMAPHORE_LIMIT_EXCEEDED = (NTSTATUS)0xC0000047,
    STATUS_MUTANT_NOT_OWNED = (NTSTATUS)0xC0000046,
    STATUS_DELETE_PENDING = (NTSTATUS)0xC0000056,
    STATUS_INSUFFICIENT_RESOURCES = (NTSTATUS)0xC000009A,
    STATUS_DEVICE_NOT_READY = (NTSTATUS)0xC00000A3,
    STATUS_DEVICE_NOT_CONNECTED = (NTSTATUS)0xC000009D,
    STATUS_NOT_SUPPORTED = (NTSTATUS)0xC00000BB,
    STATUS_IO_DEVICE_ERROR = (NTSTATUS)0xC0000185,
    STATUS_INVALID_DEVICE_STATE = (NTSTATUS)0xC0000184,
    STATUS_CANCELLED = (NTSTATUS)0xC0000120,
    STATUS_FILE_CLOSED = (NTSTATUS)0xC0000128,
    STATUS_INVALID_BUFFER_SIZE = (NTSTATUS)0xC0000206,
    STATUS_INVALID_USER_BUFFER = (NTSTATUS)0xC00000E8,
    STATUS_NOT_FOUND = (NTSTATUS)0xC0000225,
    STATUS_IO_TIMEOUT = (NTSTATUS)0xC00000B5,
    STATUS_DRIVER_UNABLE_TO_LOAD = (NTSTATUS)0xC000026C,
    STATUS_OBJECT_NAME_INVALID_2 = (NTSTATUS)0xC0000033,
    STATUS_NOT_A_DIRECTORY = (NTSTATUS)0xC0000103,
    STATUS_FILE_IS_A_DIRECTORY = (NTSTATUS)0xC00000BA,
    STATUS_DISK_FULL = (NTSTATUS)0xC000007F,
    STATUS_DIRECTORY_NOT_EMPTY = (NTSTATUS)0xC0000101,
    STATUS_NOT_SAME_DEVICE = (NTSTATUS)0xC00000D4,
    STATUS_CANNOT_DELETE = (NTSTATUS)0xC0000121,
    STATUS_UNRECOGNIZED_VOLUME = (NTSTATUS)0xC000014F,
    STATUS_NAME_TOO_LONG = (NTSTATUS)0xC0000106,
    STATUS_INTEGER_OVERFLOW = (NTSTATUS)0xC0000095,
    STATUS_INVALID_PARAMETER_MIX = (NTSTATUS)0xC0000030,
};

// Name of a status code for traces and test failures ("STATUS_TIMEOUT"),
// or its hex value when it has no name here.
const char* NtStatusName(NTSTATUS status);

union LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    LONGLONG QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER*;
using PHYSICAL_ADDRESS = LARGE_INTEGER;
using PPHYSICAL_ADDRESS = LARGE_INTEGER*;

union ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    ULONGLONG QuadPart;
};

// ---- Doubly and singly linked lists (intrusive, as the drivers use them) ----

struct LIST_ENTRY {
    LIST_ENTRY* Flink;
    LIST_ENTRY* Blink;
};
using PLIST_ENTRY = LIST_ENTRY*;

struct SINGLE_LIST_ENTRY {
    SINGLE_LIST_ENTRY* Next;
};
using PSINGLE_LIST_ENTRY = SINGLE_LIST_ENTRY*;

#define CONTAINING_RECORD(address, type, field) \
    (reinterpret_cast<type*>(reinterpret_cast<char*>(address) - offsetof(type, field)))

inline void InitializeListHead(PLIST_ENTRY head) { head->Flink = head->Blink = head; }
inline bool IsListEmpty(const LIST_ENTRY* head) { return head->Flink == head; }
inline void InsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry)
{
    entry->Flink = head;
    entry->Blink = head->Blink;
    head->Blink->Flink = entry;
    head->Blink = entry;
}
inline void InsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry)
{
    entry->Flink = head->Flink;
    entry->Blink = head;
    head->Flink->Blink = entry;
    head->Flink = entry;
}
inline bool RemoveEntryList(PLIST_ENTRY entry)
{
    PLIST_ENTRY next = entry->Flink, prev = entry->Blink;
    prev->Flink = next;
    next->Blink = prev;
    return next == prev;
}
inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY head)
{
    PLIST_ENTRY e = head->Flink;
    RemoveEntryList(e);
    return e;
}
inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY head)
{
    PLIST_ENTRY e = head->Blink;
    RemoveEntryList(e);
    return e;
}
inline void PushEntryList(PSINGLE_LIST_ENTRY head, PSINGLE_LIST_ENTRY entry)
{
    entry->Next = head->Next;
    head->Next = entry;
}
inline PSINGLE_LIST_ENTRY PopEntryList(PSINGLE_LIST_ENTRY head)
{
    PSINGLE_LIST_ENTRY e = head->Next;
    if (e) head->Next = e->Next;
    return e;
}

// ---- Counted strings ----

struct UNICODE_STRING {
    USHORT Length;         // bytes, without a terminator
    USHORT MaximumLength;  // bytes
    PWSTR Buffer;
};
using PUNICODE_STRING = UNICODE_STRING*;
using PCUNICODE_STRING = const UNICODE_STRING*;

struct ANSI_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
};
using PANSI_STRING = ANSI_STRING*;

// Compile-time wide literal for kernel code: L"..." is 16-bit on NT but
// 32-bit on Linux, so drivers write u"..." and use these helpers.
#define RTL_CONSTANT_STRING(s) \
    UNICODE_STRING { sizeof(s) - sizeof(s[0]), sizeof(s), const_cast<PWSTR>(s) }

void RtlInitUnicodeString(PUNICODE_STRING dest, PCWSTR source);
void RtlInitAnsiString(PANSI_STRING dest, PCSTR source);
NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING dest, const ANSI_STRING* source, BOOLEAN allocate);
NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING dest, PCUNICODE_STRING source, BOOLEAN allocate);
void RtlFreeUnicodeString(PUNICODE_STRING s);
void RtlFreeAnsiString(PANSI_STRING s);
void RtlCopyUnicodeString(PUNICODE_STRING dest, PCUNICODE_STRING source);
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING dest, PCWSTR source);
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING dest, PCUNICODE_STRING source);
LONG RtlCompareUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive);
NTSTATUS RtlIntegerToUnicodeString(ULONG value, ULONG base, PUNICODE_STRING dest);
NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING s, ULONG base, PULONG value);
// Case folding as the object manager and registry compare names: ASCII and
// Latin-1 letters.
WCHAR RtlUpcaseUnicodeChar(WCHAR c);
NTSTATUS RtlUpcaseUnicodeString(PUNICODE_STRING dest, PCUNICODE_STRING source, BOOLEAN allocate);
BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING prefix, PCUNICODE_STRING s, BOOLEAN caseInsensitive);

#define RtlCopyMemory(d, s, n) std::memcpy((d), (s), (n))
#define RtlMoveMemory(d, s, n) std::memmove((d), (s), (n))
#define RtlZeroMemory(d, n) std::memset((d), 0, (n))
#define RtlFillMemory(d, n, v) std::memset((d), (v), (n))
#define RtlCompareMemory(a, b, n) RtlCompareMemoryBytes((a), (b), (n))
SIZE_T RtlCompareMemoryBytes(const void* a, const void* b, SIZE_T n);

// UTF-8 <-> UTF-16 for the layers' own use (names crossing from user mode,
// trace lines). Invalid input is replaced, never thrown on.
#include <string>
std::u16string NtWiden(const std::string& s);
std::string NtNarrow(const std::u16string& s);
std::string NtNarrow(PCUNICODE_STRING s);

// ---- Kernel processor modes and wait reasons ----

enum KPROCESSOR_MODE : CCHAR { KernelMode = 0, UserMode = 1 };
enum KWAIT_REASON { Executive = 0, UserRequest = 6, WrQueue = 15 };
enum WAIT_TYPE { WaitAll = 0, WaitAny = 1 };
enum POOL_TYPE { NonPagedPool = 0, PagedPool = 1, NonPagedPoolMustSucceed = 2, NonPagedPoolCacheAligned = 4 };
enum EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 };
enum TIMER_TYPE { NotificationTimer = 0, SynchronizationTimer = 1 };
enum INTERFACE_TYPE { InterfaceTypeUndefined = -1, Internal = 0, Isa = 1, PCIBus = 5 };
enum BUS_DATA_TYPE { PCIConfiguration = 4 };
enum KINTERRUPT_MODE { LevelSensitive = 0, Latched = 1 };
