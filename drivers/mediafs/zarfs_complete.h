// Finishing a request of ZARFSKD: every request the driver completes goes
// through ZarFsCompleteRequest, so the byte count it returns follows one
// rule everywhere.
#pragma once

#include "platform/nt/kernel.h"

// Completes 'irp' with 'status'. An error returns no bytes, whatever the
// routine had counted; success and warnings (a record cut short with
// STATUS_BUFFER_OVERFLOW) return 'information', the bytes filled.
NTSTATUS ZarFsCompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information, CCHAR boost = IO_NO_INCREMENT);
// The buffer of a request: its MDL's, its system buffer, or the caller's.
PVOID ZarFsRequestBuffer(PIRP irp);
