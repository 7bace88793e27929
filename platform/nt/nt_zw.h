// Registry calls of the drivers (over the machine's registry file) and the
// run-time library's registry helpers.
#pragma once

#include "nt_ob.h"

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
    STATUS_CANNOT_DELETE = (NTSTATUS)0xC0000121,
};

// Information-class rules of every query and enumeration here: a buffer
// shorter than the record's fixed part gives STATUS_BUFFER_TOO_SMALL and
// nothing is written; a buffer that holds the fixed part but not the whole
// record gives STATUS_BUFFER_OVERFLOW with the fixed part (and as much of
// the name as fits) written. *resultLength is always the whole size.
// Subkeys enumerate in case-insensitive name order, values in the order
// they were first set.

// Key names are full paths (\Registry\Machine\..., \Registry\User\...) or
// relative to attributes->RootDirectory.
NTSTATUS ZwCreateKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, ULONG titleIndex,
                     PUNICODE_STRING className, ULONG createOptions, PULONG disposition);
NTSTATUS ZwOpenKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes);
NTSTATUS ZwDeleteKey(HANDLE key);
NTSTATUS ZwQueryValueKey(HANDLE key, PUNICODE_STRING valueName, KEY_VALUE_INFORMATION_CLASS infoClass,
                         PVOID info, ULONG length, PULONG resultLength);
NTSTATUS ZwSetValueKey(HANDLE key, PUNICODE_STRING valueName, ULONG titleIndex, ULONG type, PVOID data,
                       ULONG dataSize);
NTSTATUS ZwDeleteValueKey(HANDLE key, PUNICODE_STRING valueName);
NTSTATUS ZwEnumerateKey(HANDLE key, ULONG index, KEY_INFORMATION_CLASS infoClass, PVOID info, ULONG length,
                        PULONG resultLength);
NTSTATUS ZwEnumerateValueKey(HANDLE key, ULONG index, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID info,
                             ULONG length, PULONG resultLength);
NTSTATUS ZwQueryKey(HANDLE key, KEY_INFORMATION_CLASS infoClass, PVOID info, ULONG length, PULONG resultLength);
// Changes are written to the machine folder before the call returns (see
// cm_file.cpp), so a flush only retries a write that failed.
NTSTATUS ZwFlushKey(HANDLE key);
// The user-mode seam's companion of ZwQueryKey (RegQueryInfoKey needs it).
NTSTATUS NtQueryKey(HANDLE key, KEY_INFORMATION_CLASS infoClass, PVOID info, ULONG length, PULONG resultLength);

// RtlQueryRegistryValues and friends, relative to a path kind.
enum : ULONG {
    RTL_REGISTRY_ABSOLUTE = 0,
    RTL_REGISTRY_SERVICES = 1,
    RTL_REGISTRY_CONTROL = 2,
    RTL_REGISTRY_WINDOWS_NT = 3,
    RTL_REGISTRY_DEVICEMAP = 4,
    RTL_REGISTRY_USER = 5,
    RTL_REGISTRY_HANDLE = 0x40000000,
    RTL_REGISTRY_OPTIONAL = 0x80000000,
};
enum : ULONG {
    RTL_QUERY_REGISTRY_SUBKEY = 0x01,
    RTL_QUERY_REGISTRY_TOPKEY = 0x02,
    RTL_QUERY_REGISTRY_REQUIRED = 0x04,
    RTL_QUERY_REGISTRY_NOVALUE = 0x08,
    RTL_QUERY_REGISTRY_NOEXPAND = 0x10,
    RTL_QUERY_REGISTRY_DIRECT = 0x20,
    RTL_QUERY_REGISTRY_DELETE = 0x40,
};
using PRTL_QUERY_REGISTRY_ROUTINE = NTSTATUS (*)(PWSTR valueName, ULONG valueType, PVOID valueData,
                                                 ULONG valueLength, PVOID context, PVOID entryContext);
struct RTL_QUERY_REGISTRY_TABLE {
    PRTL_QUERY_REGISTRY_ROUTINE QueryRoutine;
    ULONG Flags;
    PWSTR Name;
    PVOID EntryContext;
    ULONG DefaultType;
    PVOID DefaultData;
    ULONG DefaultLength;
};
using PRTL_QUERY_REGISTRY_TABLE = RTL_QUERY_REGISTRY_TABLE*;
// DIRECT entries: a REG_DWORD goes into the ULONG at EntryContext; a REG_SZ,
// REG_EXPAND_SZ or REG_MULTI_SZ into the UNICODE_STRING at EntryContext
// (allocated from paged pool when its Buffer is null, else
// STATUS_BUFFER_TOO_SMALL when it does not fit); other data longer than a
// ULONG into a buffer at EntryContext whose first LONG gives its size
// (negative: data only; positive: length, type, then data).
// A missing REQUIRED value fails with STATUS_OBJECT_NAME_NOT_FOUND (entries
// before it have been stored); a missing value with a default type other
// than REG_NONE gets the default. A SUBKEY entry switches to the named
// subkey (missing: STATUS_OBJECT_NAME_NOT_FOUND) until the next SUBKEY or
// TOPKEY entry. REG_EXPAND_SZ is expanded (%SystemRoot%, %SystemDrive%,
// %windir%) unless NOEXPAND; a query routine sees each string of a
// REG_MULTI_SZ separately unless NOEXPAND. 'environment' is not used.
// Paths: RTL_REGISTRY_SERVICES is \Registry\Machine\System\CurrentControlSet\Services,
// RTL_REGISTRY_USER \Registry\User\.Default; a relative kind with a path
// starting with '\' takes the path as absolute. Keys that RtlWrite... and
// RtlCreateRegistryKey open are created when missing (the last component
// only, as ZwCreateKey does).
NTSTATUS RtlQueryRegistryValues(ULONG relativeTo, PCWSTR path, PRTL_QUERY_REGISTRY_TABLE table, PVOID context,
                                PVOID environment);
NTSTATUS RtlWriteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName, ULONG valueType, PVOID valueData,
                               ULONG valueLength);
NTSTATUS RtlCreateRegistryKey(ULONG relativeTo, PWSTR path);
NTSTATUS RtlCheckRegistryKey(ULONG relativeTo, PWSTR path);
NTSTATUS RtlDeleteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName);
