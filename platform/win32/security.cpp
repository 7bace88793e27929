// Security descriptors in absolute form. The machine checks no access
// against a DACL (every object is as open as a null DACL makes it), so the
// only DACL that can be set is the null one; one with entries is refused
// rather than silently ignored.
#include "w32_internal.h"

namespace {

SECURITY_DESCRIPTOR* Descriptor(PSECURITY_DESCRIPTOR p)
{
    if (!p || IsBadWritePtr(p, sizeof(SECURITY_DESCRIPTOR))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* sd = static_cast<SECURITY_DESCRIPTOR*>(p);
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return nullptr;
    }
    return sd;
}

}  // namespace

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision)
{
    if (dwRevision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    if (!pSecurityDescriptor || IsBadWritePtr(pSecurityDescriptor, sizeof(SECURITY_DESCRIPTOR))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor) =
        SECURITY_DESCRIPTOR{SECURITY_DESCRIPTOR_REVISION, 0, 0, nullptr, nullptr, nullptr, nullptr};
    return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, PACL pDacl,
                               BOOL bDaclDefaulted)
{
    SECURITY_DESCRIPTOR* sd = Descriptor(pSecurityDescriptor);
    if (!sd) return FALSE;
    if (bDaclPresent && pDacl) {
        w32::Unsupported("a DACL with entries");
        return FALSE;
    }
    sd->Control = WORD(sd->Control & ~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
    if (bDaclPresent) sd->Control |= SE_DACL_PRESENT | (bDaclDefaulted ? SE_DACL_DEFAULTED : 0);
    sd->Dacl = nullptr;
    return TRUE;
}

BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, LPBOOL lpbDaclPresent, PACL* pDacl,
                               LPBOOL lpbDaclDefaulted)
{
    SECURITY_DESCRIPTOR* sd = Descriptor(pSecurityDescriptor);
    if (!sd) return FALSE;
    if (!lpbDaclPresent || !pDacl || !lpbDaclDefaulted) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpbDaclPresent = (sd->Control & SE_DACL_PRESENT) != 0;
    *pDacl = sd->Dacl;
    *lpbDaclDefaulted = (sd->Control & SE_DACL_DEFAULTED) != 0;
    return TRUE;
}

BOOL IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor)
{
    if (!pSecurityDescriptor || IsBadReadPtr(pSecurityDescriptor, sizeof(SECURITY_DESCRIPTOR))) return FALSE;
    auto* sd = static_cast<const SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
    return sd->Revision == SECURITY_DESCRIPTOR_REVISION && !sd->Dacl;
}
