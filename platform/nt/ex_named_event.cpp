// Named events for drivers: the same \BaseNamedObjects event objects that
// user mode creates and opens by name, reached from kernel mode. A driver
// that lets user mode wait for something it does (a device's start or stop)
// makes the event here and keeps the object pointer; user mode opens it by
// name through the Win32 layer and waits on it like any other event.
#include "nt_internal.h"
#include "nt_syscall.h"
#include "nt_zw.h"

NTSTATUS ZwCreateEvent(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, EVENT_TYPE type,
                       BOOLEAN initialState)
{
    if (!handle) return STATUS_ACCESS_VIOLATION;
    if (type != NotificationEvent && type != SynchronizationEvent) return STATUS_INVALID_PARAMETER;
    PVOID body = nullptr;
    NTSTATUS status = ObCreateObject(ExEventObjectType, attributes, KernelMode, sizeof(KEVENT), &body);
    if (!NT_SUCCESS(status)) return status;
    KeInitializeEvent(static_cast<PKEVENT>(body), type, initialState);
    return ObInsertObject(body, access, attributes ? attributes->Attributes : 0, handle);
}

NTSTATUS ZwOpenEvent(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes)
{
    if (!attributes) return STATUS_INVALID_PARAMETER;
    return ObOpenObjectByName(attributes, ExEventObjectType, KernelMode, access, nullptr, handle);
}

namespace {

// Opens the named event, or creates it signalled when it does not exist
// yet. The handle is a kernel handle, so a driver making the event in a
// client's request never leaves it in that client's handle table; it keeps
// the object alive, and the returned pointer stays good until it is closed.
PKEVENT CreateOrOpenNamedEvent(PUNICODE_STRING name, PHANDLE handle, EVENT_TYPE type)
{
    if (!name || !handle) return nullptr;
    *handle = nullptr;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, name, OBJ_OPENIF | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE opened = nullptr;
    NTSTATUS status = ZwCreateEvent(&opened, EVENT_ALL_ACCESS, &attributes, type, TRUE);
    if (!NT_SUCCESS(status)) return nullptr;
    PVOID event = nullptr;
    status = ObReferenceObjectByHandle(opened, 0, ExEventObjectType, KernelMode, &event, nullptr);
    if (!NT_SUCCESS(status)) {
        ZwClose(opened);
        return nullptr;
    }
    ObDereferenceObject(event);
    *handle = opened;
    return static_cast<PKEVENT>(event);
}

}  // namespace

PKEVENT IoCreateNotificationEvent(PUNICODE_STRING name, PHANDLE handle)
{
    return CreateOrOpenNamedEvent(name, handle, NotificationEvent);
}

PKEVENT IoCreateSynchronizationEvent(PUNICODE_STRING name, PHANDLE handle)
{
    return CreateOrOpenNamedEvent(name, handle, SynchronizationEvent);
}
