// Object manager: per-process handle tables. A handle is (slot + 1) * 4,
// whatever its two low bits; a handle of the system process carries the top
// bit (OBJ_KERNEL_HANDLE) and is refused to user-mode callers. Closing the
// last handle of a process on an object runs the type's close procedure
// with the count left in that process (file objects send their cleanup
// request from there).
#include "ob_internal.h"

namespace {

ObHandleTable* TableOf(PEPROCESS p) { return p ? p->HandleTable : nullptr; }

// Finds the process and slot of a handle. Pseudo handles are not handled
// here.
bool Decode(HANDLE handle, KPROCESSOR_MODE mode, PEPROCESS* process, ULONG* slot)
{
    ULONG_PTR v = reinterpret_cast<ULONG_PTR>(handle);
    if (v & OB_KERNEL_HANDLE_BIT) {
        if (mode != KernelMode) return false;
        *process = PsInitialSystemProcess;
        v &= ~ULONG_PTR(OB_KERNEL_HANDLE_BIT);
    } else {
        *process = PsGetCurrentProcess();
    }
    // The two low bits are the caller's to tag a handle with; they never
    // name another slot.
    v &= ~ULONG_PTR(3);
    if (v == 0) return false;
    *slot = ULONG(v / 4 - 1);
    return *process && (*process)->HandleTable;
}

// Looks a slot up in 'process' and references its object. ObpLock held.
NTSTATUS LookupLocked(PEPROCESS process, ULONG slot, POBJECT_TYPE type, PVOID* object, ObHandleEntry* entry)
{
    ObHandleTable* t = TableOf(process);
    if (!t || slot >= t->entries.size() || !t->entries[slot].Object) return STATUS_INVALID_HANDLE;
    ObHandleEntry& e = t->entries[slot];
    if (type && ObpHeader(e.Object)->Type != type) return STATUS_OBJECT_TYPE_MISMATCH;
    __atomic_add_fetch(&ObpHeader(e.Object)->PointerCount, 1, __ATOMIC_SEQ_CST);
    *object = e.Object;
    *entry = e;
    return STATUS_SUCCESS;
}

HANDLE Encode(PEPROCESS process, ULONG slot)
{
    ULONG_PTR v = ULONG_PTR(slot + 1) * 4;
    if (process == PsInitialSystemProcess) v |= OB_KERNEL_HANDLE_BIT;
    return reinterpret_cast<HANDLE>(v);
}

NTSTATUS CloseSlot(PEPROCESS process, ULONG slot)
{
    PVOID object;
    ULONG left, total;
    {
        std::lock_guard<std::mutex> lock(ObpLock);
        ObHandleTable* t = TableOf(process);
        if (!t || slot >= t->entries.size() || !t->entries[slot].Object) return STATUS_INVALID_HANDLE;
        object = t->entries[slot].Object;
        t->entries[slot] = ObHandleEntry{};
        t->freeSlots.push_back(slot);
        t->count--;
        total = ULONG(__atomic_sub_fetch(&ObpHeader(object)->HandleCount, 1, __ATOMIC_SEQ_CST));
        left = ObpProcessHandleCount(process, object);
    }
    POBJECT_TYPE type = ObpHeader(object)->Type;
    if (type->CloseProcedure) type->CloseProcedure(process, object, left);
    if (total == 0) ObpHandleCountDropped(object);
    ObfDereferenceObject(object);
    return STATUS_SUCCESS;
}

NTSTATUS CloseHandle(HANDLE handle, KPROCESSOR_MODE mode)
{
    PEPROCESS process;
    ULONG slot;
    if (!Decode(handle, mode, &process, &slot)) return STATUS_INVALID_HANDLE;
    return CloseSlot(process, slot);
}

}  // namespace

ULONG ObpProcessHandleCount(PEPROCESS process, PVOID body)
{
    ObHandleTable* t = TableOf(process);
    if (!t) return 0;
    ULONG n = 0;
    for (auto& e : t->entries)
        if (e.Object == body) n++;
    return n;
}

NTSTATUS ObCreateHandle(PEPROCESS process, PVOID body, ACCESS_MASK granted, ULONG attributes, PHANDLE handle)
{
    if (!ObpIsObject(body) || !handle) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(ObpLock);
    ObHandleTable* t = TableOf(process);
    if (!t || process->Terminated) return STATUS_INVALID_HANDLE;
    ULONG slot;
    if (!t->freeSlots.empty()) {
        slot = t->freeSlots.back();
        t->freeSlots.pop_back();
    } else {
        if (t->entries.size() >= (1u << 24)) return STATUS_INSUFFICIENT_RESOURCES;
        slot = ULONG(t->entries.size());
        t->entries.push_back({});
    }
    t->entries[slot] = ObHandleEntry{body, granted, attributes & (OBJ_INHERIT | OBJ_KERNEL_HANDLE)};
    t->count++;
    __atomic_add_fetch(&ObpHeader(body)->HandleCount, 1, __ATOMIC_SEQ_CST);
    *handle = Encode(process, slot);
    return STATUS_SUCCESS;
}

NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK desiredAccess, POBJECT_TYPE type,
                                   KPROCESSOR_MODE accessMode, PVOID* object,
                                   POBJECT_HANDLE_INFORMATION handleInformation)
{
    if (!object) return STATUS_INVALID_PARAMETER;
    *object = nullptr;
    if (handle == NtCurrentProcess()) {
        if (type && type != PsProcessType) return STATUS_OBJECT_TYPE_MISMATCH;
        PEPROCESS p = PsGetCurrentProcess();
        if (!ObpIsObject(p)) return STATUS_INVALID_HANDLE;
        ObfReferenceObject(p);
        *object = p;
        if (handleInformation) *handleInformation = {0, PROCESS_ALL_ACCESS};
        return STATUS_SUCCESS;
    }
    if (handle == NtCurrentThread()) {
        PVOID t = KeGetCurrentThread();
        if (!ObpIsObject(t)) return STATUS_INVALID_HANDLE;
        if (type && ObpHeader(t)->Type != type) return STATUS_OBJECT_TYPE_MISMATCH;
        ObfReferenceObject(t);
        *object = t;
        if (handleInformation) *handleInformation = {0, THREAD_ALL_ACCESS};
        return STATUS_SUCCESS;
    }
    PEPROCESS process;
    ULONG slot;
    if (!Decode(handle, accessMode, &process, &slot)) return STATUS_INVALID_HANDLE;
    PVOID found;
    ObHandleEntry e;
    {
        std::lock_guard<std::mutex> lock(ObpLock);
        NTSTATUS s = LookupLocked(process, slot, type, &found, &e);
        if (!NT_SUCCESS(s)) return s;
    }
    if (accessMode == UserMode) {
        ACCESS_MASK wanted = ObpMapAccess(ObpHeader(found)->Type, desiredAccess);
        if (wanted & ~e.GrantedAccess) {
            ObfDereferenceObject(found);
            return STATUS_ACCESS_DENIED;
        }
    }
    *object = found;
    if (handleInformation) *handleInformation = {e.Attributes, e.GrantedAccess};
    return STATUS_SUCCESS;
}

NTSTATUS ObOpenObjectByPointer(PVOID object, ULONG handleAttributes, PVOID accessState, ACCESS_MASK desiredAccess,
                               POBJECT_TYPE type, KPROCESSOR_MODE accessMode, PHANDLE handle)
{
    (void)accessState;
    if (!handle) return STATUS_INVALID_PARAMETER;
    *handle = nullptr;
    NTSTATUS s = ObReferenceObjectByPointer(object, desiredAccess, type, accessMode);
    if (!NT_SUCCESS(s)) return s;
    if (accessMode == UserMode) handleAttributes &= ~ULONG(OBJ_KERNEL_HANDLE);
    PEPROCESS p = (handleAttributes & OBJ_KERNEL_HANDLE) ? PsInitialSystemProcess : PsGetCurrentProcess();
    s = ObCreateHandle(p, object, ObpMapAccess(ObpHeader(object)->Type, desiredAccess), handleAttributes, handle);
    if (!NT_SUCCESS(s)) ObfDereferenceObject(object);
    return s;
}

NTSTATUS NtClose(HANDLE handle) { return CloseHandle(handle, UserMode); }
NTSTATUS ZwClose(HANDLE handle) { return CloseHandle(handle, KernelMode); }

void ObpCloseAllHandles(PEPROCESS process)
{
    for (;;) {
        std::vector<ULONG> slots;
        {
            std::lock_guard<std::mutex> lock(ObpLock);
            ObHandleTable* t = TableOf(process);
            if (!t) return;
            for (ULONG i = 0; i < t->entries.size(); i++)
                if (t->entries[i].Object) slots.push_back(i);
        }
        if (slots.empty()) return;
        // Last opened first, as a process's teardown would meet them.
        for (auto it = slots.rbegin(); it != slots.rend(); ++it) CloseSlot(process, *it);
    }
}

NTSTATUS NtDuplicateObject(HANDLE sourceProcess, HANDLE sourceHandle, HANDLE targetProcess, PHANDLE targetHandle,
                           ACCESS_MASK access, ULONG attributes, ULONG options)
{
    PVOID src = nullptr, dst = nullptr;
    NTSTATUS s = ObReferenceObjectByHandle(sourceProcess, 0x0040 /* PROCESS_DUP_HANDLE */, PsProcessType, UserMode,
                                           &src, nullptr);
    if (!NT_SUCCESS(s)) return s;
    if (targetProcess) {
        s = ObReferenceObjectByHandle(targetProcess, 0x0040, PsProcessType, UserMode, &dst, nullptr);
        if (!NT_SUCCESS(s)) {
            ObfDereferenceObject(src);
            return s;
        }
    }
    auto* sp = static_cast<PEPROCESS>(src);
    ULONG_PTR v = reinterpret_cast<ULONG_PTR>(sourceHandle) & ~ULONG_PTR(3);  // the caller's tag bits
    PVOID object = nullptr;
    ObHandleEntry e{};
    // The caller's own thread or process by its pseudo handle: how a thread
    // hands another a real handle to itself.
    bool pseudo = (sourceHandle == NtCurrentThread() || sourceHandle == NtCurrentProcess()) &&
                  sp == PsGetCurrentProcess();
    if (pseudo) {
        OBJECT_HANDLE_INFORMATION info{};
        s = ObReferenceObjectByHandle(sourceHandle, 0, nullptr, UserMode, &object, &info);
        e.GrantedAccess = info.GrantedAccess;
    } else if (v == 0 || (v & OB_KERNEL_HANDLE_BIT)) {
        s = STATUS_INVALID_HANDLE;
    } else {
        std::lock_guard<std::mutex> lock(ObpLock);
        s = LookupLocked(sp, ULONG(v / 4 - 1), nullptr, &object, &e);
    }
    if (NT_SUCCESS(s) && dst) {
        ACCESS_MASK granted =
            (options & DUPLICATE_SAME_ACCESS) ? e.GrantedAccess : ObpMapAccess(ObpHeader(object)->Type, access);
        HANDLE h;
        s = ObCreateHandle(static_cast<PEPROCESS>(dst), object, granted, attributes & ~ULONG(OBJ_KERNEL_HANDLE), &h);
        if (NT_SUCCESS(s)) {
            object = nullptr;  // the reference went to the new handle
            if (targetHandle) {
                NTSTATUS w = SehTry([&] { *targetHandle = h; });
                if (!NT_SUCCESS(w)) s = w;
            }
        }
    }
    if (object) ObfDereferenceObject(object);
    if (NT_SUCCESS(s) && (options & DUPLICATE_CLOSE_SOURCE) && !pseudo) CloseSlot(sp, ULONG(v / 4 - 1));
    if (dst) ObfDereferenceObject(dst);
    ObfDereferenceObject(src);
    return s;
}
