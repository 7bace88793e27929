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
enum KEY_INFORMATION_CLASS { KeyBasicInformation = 0, KeyNodeInformation = 1, KeyFullInformation = 2 };
struct KEY_BASIC_INFORMATION {
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG NameLength;
    WCHAR Name[1];
};

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
NTSTATUS ZwFlushKey(HANDLE key);

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
// DIRECT entries: a REG_DWORD goes into the ULONG at EntryContext; a REG_SZ
// into the UNICODE_STRING at EntryContext (allocated when its Buffer is null).
// A missing REQUIRED value fails with STATUS_OBJECT_NAME_NOT_FOUND; a missing
// value with a default type other than REG_NONE gets the default.
NTSTATUS RtlQueryRegistryValues(ULONG relativeTo, PCWSTR path, PRTL_QUERY_REGISTRY_TABLE table, PVOID context,
                                PVOID environment);
NTSTATUS RtlWriteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName, ULONG valueType, PVOID valueData,
                               ULONG valueLength);
NTSTATUS RtlCreateRegistryKey(ULONG relativeTo, PWSTR path);
NTSTATUS RtlCheckRegistryKey(ULONG relativeTo, PWSTR path);
NTSTATUS RtlDeleteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName);
