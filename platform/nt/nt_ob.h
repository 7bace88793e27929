// Object manager: typed, reference-counted kernel objects, the name space
// (\Device, \??, \BaseNamedObjects, \Driver, \FileSystem, \KernelObjects),
// symbolic links, and per-process handle tables.
#pragma once

#include "nt_ke.h"

struct OBJECT_TYPE;
using POBJECT_TYPE = OBJECT_TYPE*;

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
    SYNCHRONIZE = 0x00100000,
    STANDARD_RIGHTS_REQUIRED = 0x000F0000,
    GENERIC_READ = 0x80000000,
    GENERIC_WRITE = 0x40000000,
    GENERIC_EXECUTE = 0x20000000,
    GENERIC_ALL = 0x10000000,
    MAXIMUM_ALLOWED = 0x02000000,
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

struct OBJECT_HANDLE_INFORMATION {
    ULONG HandleAttributes;
    ACCESS_MASK GrantedAccess;
};
using POBJECT_HANDLE_INFORMATION = OBJECT_HANDLE_INFORMATION*;

// Object types the drivers name. Each module that owns a type defines it.
extern POBJECT_TYPE IoFileObjectType;
extern POBJECT_TYPE IoDeviceObjectType;
extern POBJECT_TYPE IoDriverObjectType;
extern POBJECT_TYPE ExEventObjectType;
extern POBJECT_TYPE ExSemaphoreObjectType;
extern POBJECT_TYPE ExMutantObjectType;
extern POBJECT_TYPE ExTimerObjectType;
extern POBJECT_TYPE PsThreadType;
extern POBJECT_TYPE PsProcessType;
extern POBJECT_TYPE MmSectionObjectType;
extern POBJECT_TYPE ObSymbolicLinkType;
extern POBJECT_TYPE ObDirectoryType;
extern POBJECT_TYPE CmKeyObjectType;

// Handles: a handle with the top bit set (OBJ_KERNEL_HANDLE) belongs to the
// system process; any other to the current thread's process. A user-mode
// caller (mode UserMode) may not use kernel handles.
NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK desiredAccess, POBJECT_TYPE type,
                                   KPROCESSOR_MODE accessMode, PVOID* object,
                                   POBJECT_HANDLE_INFORMATION handleInformation);
NTSTATUS ObReferenceObjectByPointer(PVOID object, ACCESS_MASK desiredAccess, POBJECT_TYPE type,
                                    KPROCESSOR_MODE accessMode);
NTSTATUS ObReferenceObjectByName(PUNICODE_STRING name, ULONG attributes, PVOID accessState,
                                 ACCESS_MASK desiredAccess, POBJECT_TYPE type, KPROCESSOR_MODE accessMode,
                                 PVOID parseContext, PVOID* object);
LONG_PTR ObfReferenceObject(PVOID object);
LONG_PTR ObfDereferenceObject(PVOID object);
#define ObReferenceObject(o) ObfReferenceObject(o)
#define ObDereferenceObject(o) ObfDereferenceObject(o)
void ObMakeTemporaryObject(PVOID object);
NTSTATUS ObOpenObjectByPointer(PVOID object, ULONG handleAttributes, PVOID accessState, ACCESS_MASK desiredAccess,
                               POBJECT_TYPE type, KPROCESSOR_MODE accessMode, PHANDLE handle);
NTSTATUS ZwClose(HANDLE handle);
NTSTATUS ZwMakeTemporaryObject(HANDLE handle);
NTSTATUS ZwCreateSymbolicLinkObject(PHANDLE linkHandle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                                    PUNICODE_STRING target);
NTSTATUS ZwOpenSymbolicLinkObject(PHANDLE linkHandle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes);
NTSTATUS ZwQuerySymbolicLinkObject(HANDLE linkHandle, PUNICODE_STRING target, PULONG returnedLength);
