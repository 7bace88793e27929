// Object manager: typed, reference-counted kernel objects, the name space
// (\Device, \??, \BaseNamedObjects, \Driver, \FileSystem, \KernelObjects),
// symbolic links, and per-process handle tables.
#pragma once

#include "nt_ke.h"

struct OBJECT_TYPE;
using POBJECT_TYPE = OBJECT_TYPE*;


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
