// Security descriptors: built and carried, never checked (the machine has
// no accounts), so only the forms the system's code builds are accepted.
#include "w32_internal.h"

#include <cstring>

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision)
{
    if (!pSecurityDescriptor) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (dwRevision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    auto* sd = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
    std::memset(sd, 0, sizeof *sd);
    sd->Revision = SECURITY_DESCRIPTOR_REVISION;
    return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, PVOID pDacl,
                               BOOL bDaclDefaulted)
{
    auto* sd = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
    if (!sd || sd->Revision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(sd ? ERROR_UNKNOWN_REVISION : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (pDacl) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    sd->Control = WORD(sd->Control & ~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
    if (bDaclPresent) sd->Control |= SE_DACL_PRESENT;
    if (bDaclPresent && bDaclDefaulted) sd->Control |= SE_DACL_DEFAULTED;
    sd->Dacl = nullptr;
    return TRUE;
}
