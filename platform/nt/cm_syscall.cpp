// The registry's system calls for user mode (the Win32 layer's Reg*
// functions): every argument is captured from the caller's memory under
// SehTry with the probes NT does, the work runs with previous mode UserMode
// (so kernel handles are refused and access is checked), and results go
// back only through the caller's pointers. A buffer that faults gives
// STATUS_ACCESS_VIOLATION; a query that fills part of a record writes only
// the bytes NT writes (the rest of the caller's buffer is left as it was).
#include "cm_internal.h"
#include "nt_mm.h"
#include "nt_syscall.h"
#include "nt_zw.h"

namespace {

constexpr ULONG kMaxValueBytes = 64u << 20;  // far above any value the system stores

NTSTATUS CaptureString(PUNICODE_STRING user, std::u16string* out)
{
    out->clear();
    if (!user) return STATUS_SUCCESS;
    return SehTry([&] {
        ProbeForRead(user, sizeof(UNICODE_STRING), sizeof(ULONG));
        UNICODE_STRING copy = *user;
        if (copy.Length % 2 || copy.Length > copy.MaximumLength) ExRaiseStatus(STATUS_INVALID_PARAMETER);
        ProbeForRead(copy.Buffer, copy.Length, sizeof(WCHAR));
        out->resize(copy.Length / 2);
        if (copy.Length) std::memcpy(out->data(), copy.Buffer, copy.Length);
    });
}

struct CapturedAttributes {
    HANDLE root = nullptr;
    ULONG attributes = 0;
    std::u16string name;
};

NTSTATUS CaptureAttributes(POBJECT_ATTRIBUTES user, CapturedAttributes* out)
{
    OBJECT_ATTRIBUTES copy{};
    NTSTATUS status = SehTry([&] {
        ProbeForRead(user, sizeof(OBJECT_ATTRIBUTES), sizeof(ULONG));
        copy = *user;
    });
    if (!NT_SUCCESS(status)) return status;
    if (copy.Length != sizeof(OBJECT_ATTRIBUTES)) return STATUS_INVALID_PARAMETER;
    out->root = copy.RootDirectory;
    out->attributes = copy.Attributes & ~OBJ_KERNEL_HANDLE;  // never for user mode
    return CaptureString(copy.ObjectName, &out->name);
}

NTSTATUS ProbeOut(void* p, SIZE_T size)
{
    return SehTry([&] { ProbeForWrite(p, size, sizeof(ULONG)); });
}

// Runs a query into a kernel copy of the caller's buffer and copies the
// copy back, so bytes the query does not write stay as they were.
template <typename Query>
NTSTATUS QueryToUser(PVOID info, ULONG length, PULONG resultLength, Query query)
{
    NTSTATUS status = SehTry([&] {
        ProbeForWrite(info, length, sizeof(ULONG));
        ProbeForWrite(resultLength, sizeof(ULONG), sizeof(ULONG));
    });
    if (!NT_SUCCESS(status)) return status;
    std::vector<UCHAR> buffer(length);
    status = SehTry([&] {
        if (length) std::memcpy(buffer.data(), info, length);
    });
    if (!NT_SUCCESS(status)) return status;
    ULONG result = 0;
    NTSTATUS queried = query(buffer.data(), length, &result);
    bool sized = NT_SUCCESS(queried) || queried == STATUS_BUFFER_OVERFLOW || queried == STATUS_BUFFER_TOO_SMALL;
    status = SehTry([&] {
        if (length && (NT_SUCCESS(queried) || queried == STATUS_BUFFER_OVERFLOW))
            std::memcpy(info, buffer.data(), length);
        if (sized) *resultLength = result;
    });
    return NT_SUCCESS(status) ? queried : status;
}

}  // namespace

NTSTATUS NtCreateKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, ULONG, PUNICODE_STRING className,
                     ULONG createOptions, PULONG disposition)
{
    NTSTATUS status = ProbeOut(key, sizeof(HANDLE));
    if (NT_SUCCESS(status) && disposition) status = ProbeOut(disposition, sizeof(ULONG));
    CapturedAttributes a;
    if (NT_SUCCESS(status)) status = CaptureAttributes(attributes, &a);
    std::u16string cls;
    if (NT_SUCCESS(status)) status = CaptureString(className, &cls);
    if (!NT_SUCCESS(status)) return status;
    HANDLE h = nullptr;
    ULONG how = 0;
    status = cm::OpenKey(UserMode, &h, access, a.root, a.name, a.attributes, true, className ? &cls : nullptr,
                         createOptions, &how);
    if (!NT_SUCCESS(status)) return status;
    NTSTATUS copied = SehTry([&] {
        *key = h;
        if (disposition) *disposition = how;
    });
    return NT_SUCCESS(copied) ? status : copied;
}

NTSTATUS NtOpenKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes)
{
    NTSTATUS status = ProbeOut(key, sizeof(HANDLE));
    CapturedAttributes a;
    if (NT_SUCCESS(status)) status = CaptureAttributes(attributes, &a);
    if (!NT_SUCCESS(status)) return status;
    HANDLE h = nullptr;
    status = cm::OpenKey(UserMode, &h, access, a.root, a.name, a.attributes, false, nullptr, 0, nullptr);
    if (!NT_SUCCESS(status)) return status;
    NTSTATUS copied = SehTry([&] { *key = h; });
    return NT_SUCCESS(copied) ? status : copied;
}

NTSTATUS NtDeleteKey(HANDLE key) { return cm::DeleteKey(UserMode, key); }

NTSTATUS NtQueryValueKey(HANDLE key, PUNICODE_STRING valueName, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID info,
                         ULONG length, PULONG resultLength)
{
    std::u16string name;
    NTSTATUS status = CaptureString(valueName, &name);
    if (!NT_SUCCESS(status)) return status;
    return QueryToUser(info, length, resultLength, [&](PVOID buffer, ULONG size, PULONG result) {
        return cm::QueryValue(UserMode, key, name, infoClass, buffer, size, result);
    });
}

NTSTATUS NtSetValueKey(HANDLE key, PUNICODE_STRING valueName, ULONG, ULONG type, PVOID data, ULONG dataSize)
{
    std::u16string name;
    NTSTATUS status = CaptureString(valueName, &name);
    if (!NT_SUCCESS(status)) return status;
    if (dataSize > kMaxValueBytes) return STATUS_INSUFFICIENT_RESOURCES;
    std::vector<UCHAR> bytes(dataSize);
    status = SehTry([&] {
        ProbeForRead(data, dataSize, 1);
        if (dataSize) std::memcpy(bytes.data(), data, dataSize);
    });
    if (!NT_SUCCESS(status)) return status;
    return cm::SetValue(UserMode, key, name, type, bytes.data(), dataSize);
}

NTSTATUS NtDeleteValueKey(HANDLE key, PUNICODE_STRING valueName)
{
    std::u16string name;
    NTSTATUS status = CaptureString(valueName, &name);
    if (!NT_SUCCESS(status)) return status;
    return cm::DeleteValue(UserMode, key, name);
}

NTSTATUS NtEnumerateKey(HANDLE key, ULONG index, KEY_INFORMATION_CLASS infoClass, PVOID info, ULONG length,
                        PULONG resultLength)
{
    return QueryToUser(info, length, resultLength, [&](PVOID buffer, ULONG size, PULONG result) {
        return cm::EnumerateKey(UserMode, key, index, infoClass, buffer, size, result);
    });
}

NTSTATUS NtEnumerateValueKey(HANDLE key, ULONG index, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID info,
                             ULONG length, PULONG resultLength)
{
    return QueryToUser(info, length, resultLength, [&](PVOID buffer, ULONG size, PULONG result) {
        return cm::EnumerateValue(UserMode, key, index, infoClass, buffer, size, result);
    });
}

NTSTATUS NtQueryKey(HANDLE key, KEY_INFORMATION_CLASS infoClass, PVOID info, ULONG length, PULONG resultLength)
{
    return QueryToUser(info, length, resultLength, [&](PVOID buffer, ULONG size, PULONG result) {
        return cm::QueryKey(UserMode, key, infoClass, buffer, size, result);
    });
}

NTSTATUS NtFlushKey(HANDLE key) { return cm::Flush(UserMode, key); }
