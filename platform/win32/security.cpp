// Security descriptors as callers build them for a named object. The
// machine has one user and checks no access, so a descriptor is only kept
// well formed: revision, control bits and the DACL it names.
#include "w32_internal.h"

namespace {
struct Descriptor {
    BYTE Revision;
    BYTE Sbz1;
    WORD Control;
    PVOID Owner, Group, Sacl, Dacl;
};
static_assert(sizeof(Descriptor) == SECURITY_DESCRIPTOR_MIN_LENGTH);
constexpr WORD kDaclPresent = 0x0004, kDaclDefaulted = 0x0008;
}  // namespace

BOOL InitializeSecurityDescriptor(PVOID pSecurityDescriptor, DWORD dwRevision)
{
    if (pSecurityDescriptor == nullptr || dwRevision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *static_cast<Descriptor*>(pSecurityDescriptor) = Descriptor{BYTE(dwRevision), 0, 0, nullptr, nullptr, nullptr, nullptr};
    return TRUE;
}

BOOL SetSecurityDescriptorDacl(PVOID pSecurityDescriptor, BOOL bDaclPresent, PVOID pDacl, BOOL bDaclDefaulted)
{
    auto* d = static_cast<Descriptor*>(pSecurityDescriptor);
    if (d == nullptr || d->Revision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    d->Control = WORD(d->Control & ~(kDaclPresent | kDaclDefaulted));
    if (bDaclPresent) d->Control |= kDaclPresent;
    if (bDaclPresent && bDaclDefaulted) d->Control |= kDaclDefaulted;
    d->Dacl = bDaclPresent ? pDacl : nullptr;  // present and null: everyone has every access
    return TRUE;
}
