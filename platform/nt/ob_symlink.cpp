// Object manager: symbolic link objects (\DosDevices, \??\KIVZAR0 and the
// like). A link is resolved by the name lookup: its target plus the rest of
// the path is looked up again from the root.
#include "ob_internal.h"

namespace {

struct OBJECT_SYMBOLIC_LINK {
    std::u16string* Target;
};

void ObpDeleteLink(PVOID body) { delete static_cast<OBJECT_SYMBOLIC_LINK*>(body)->Target; }

OBJECT_TYPE SymbolicLinkType = {
    "SymbolicLink", ObpDeleteLink, nullptr, nullptr, false, 0x00020001, 0x00020000, 0x00020001,
    SYMBOLIC_LINK_ALL_ACCESS,
};

}  // namespace

POBJECT_TYPE ObSymbolicLinkType = &SymbolicLinkType;

std::u16string ObpSymbolicLinkTarget(PVOID link)
{
    auto* l = static_cast<OBJECT_SYMBOLIC_LINK*>(link);
    return l->Target ? *l->Target : std::u16string();
}

static NTSTATUS ObpCreateLink(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                              PUNICODE_STRING target, KPROCESSOR_MODE mode)
{
    if (!target || (target->Length & 1)) return STATUS_INVALID_PARAMETER;
    PVOID body;
    NTSTATUS s = ObCreateObject(&SymbolicLinkType, attributes, mode, sizeof(OBJECT_SYMBOLIC_LINK), &body);
    if (!NT_SUCCESS(s)) return s;
    static_cast<OBJECT_SYMBOLIC_LINK*>(body)->Target = new std::u16string(target->Buffer, target->Length / 2);
    return ObInsertObject(body, access, 0, handle);
}

NTSTATUS ObpCreatePermanentLink(PUNICODE_STRING link, PUNICODE_STRING target)
{
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, link, OBJ_PERMANENT | OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE h;
    NTSTATUS s = ObpCreateLink(&h, SYMBOLIC_LINK_ALL_ACCESS, &oa, target, KernelMode);
    if (NT_SUCCESS(s)) ZwClose(h);
    return s;
}

NTSTATUS ZwCreateSymbolicLinkObject(PHANDLE linkHandle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                                    PUNICODE_STRING target)
{
    if (!linkHandle) return STATUS_INVALID_PARAMETER;
    return ObpCreateLink(linkHandle, access, attributes, target, KernelMode);
}

NTSTATUS ZwOpenSymbolicLinkObject(PHANDLE linkHandle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes)
{
    if (!attributes) return STATUS_INVALID_PARAMETER;
    OBJECT_ATTRIBUTES oa = *attributes;
    oa.Attributes |= OBJ_OPENLINK;
    return ObOpenObjectByName(&oa, &SymbolicLinkType, KernelMode, access, nullptr, linkHandle);
}

NTSTATUS ZwQuerySymbolicLinkObject(HANDLE linkHandle, PUNICODE_STRING target, PULONG returnedLength)
{
    PVOID link;
    NTSTATUS s = ObReferenceObjectByHandle(linkHandle, 0x0001, &SymbolicLinkType, KernelMode, &link, nullptr);
    if (!NT_SUCCESS(s)) return s;
    std::u16string t = ObpSymbolicLinkTarget(link);
    ObfDereferenceObject(link);
    ULONG bytes = ULONG(t.size() * 2);
    if (returnedLength) *returnedLength = bytes + sizeof(WCHAR);
    if (!target || target->MaximumLength < bytes) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(target->Buffer, t.data(), bytes);
    target->Length = USHORT(bytes);
    if (target->MaximumLength >= bytes + sizeof(WCHAR)) target->Buffer[t.size()] = 0;
    return STATUS_SUCCESS;
}
