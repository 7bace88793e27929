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

// The modules' handlers that routines call take the request's system
// buffer; those that keep per-caller audio settings also take the caller
// kind (1 library, 2 wave devices). Method-neither handlers take the IRP:
// they reach the caller's memory themselves, under probes.
struct ZAR_IOCTL_ROUTE {
    ULONG Code;
    ZAR_IOCTL_ROUTINE Routine;  // nullptr for codes the dispatch does not serve itself
};


// ---- the caller's memory (zar_ioctl.cpp) ----
NTSTATUS ZarDispatchIoControl(PDEVICE_OBJECT device, PIRP irp);

// The driver's one way to copy from or to a caller's address: a user-mode
// caller's range is probed first, every byte is really touched, and any
// fault becomes the status.
NTSTATUS ZarCaptureFromCaller(KPROCESSOR_MODE mode, const void* address, void* to, ULONG length);
NTSTATUS ZarCopyToCaller(KPROCESSOR_MODE mode, void* address, const void* from, ULONG length);

#endif
