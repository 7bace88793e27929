// Registry calls of the drivers (over the machine's registry file) and the
// run-time library's registry helpers.
#pragma once

#include "nt_ob.h"



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

// Events by name in kernel mode (\BaseNamedObjects\..., the names user
// mode opens). OBJ_KERNEL_HANDLE puts the handle in the system process.
NTSTATUS ZwCreateEvent(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, EVENT_TYPE type,
                       BOOLEAN initialState);
NTSTATUS ZwOpenEvent(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes);

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
