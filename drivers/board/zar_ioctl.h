// One control request as the board device's dispatch hands it to the routine
// of its code, and the kernel-side row that names that routine. The public
// table (include/zarkd.h) keeps each code's lengths, gate and kind of work;
// the driver's route table keeps, in the same order, the routine that does
// the work, so the two cannot drift apart.

#ifndef ZAR_IOCTL_H
#define ZAR_IOCTL_H

#include "zar_extension.h"

struct ZAR_IOCTL_REQUEST {
    PZAR_DEVICE_EXTENSION Ext;
    PIRP Irp;
    PIO_STACK_LOCATION Stack;
    PVOID Buffer;               // the system buffer of a buffered code
    ZAR_CALLER_KIND CallerKind;
    ULONG Bytes;                // completed with on success; preset to the code's output length
};

// Serves one request. A routine of a queued code owns the IRP and returns
// its status without completing it here; every other routine's status is
// completed by the dispatch with Bytes.
typedef NTSTATUS (*ZAR_IOCTL_ROUTINE)(ZAR_IOCTL_REQUEST& request);

struct ZAR_IOCTL_ROUTE {
    ULONG Code;
    ZAR_IOCTL_ROUTINE Routine;  // nullptr for codes the dispatch does not serve itself
};

#endif
