// The five queued channels (DEBI, BRS, HPS, I2C, SCSI): a request whose
// lengths passed is queued on its channel, started when the channel is
// free and ended on the channel's completion path; SCSI bus ownership.
#pragma once

#include "zar_extension.h"

// Each takes a request whose lengths passed, queues it on its channel and
// returns STATUS_PENDING, or completes it at once with the failure.
NTSTATUS ZarQueueDebiRequest(PZAR_DEVICE_EXTENSION ext, PIRP irp);
NTSTATUS ZarQueueBrsRequest(PZAR_DEVICE_EXTENSION ext, PIRP irp);
NTSTATUS ZarQueueHpsRequest(PZAR_DEVICE_EXTENSION ext, PIRP irp);
NTSTATUS ZarQueueI2cRequest(PZAR_DEVICE_EXTENSION ext, PIRP irp);
NTSTATUS ZarQueueScsiRequest(PZAR_DEVICE_EXTENSION ext, PIRP irp);
// Ends a queued request on a channel's completion path: unlocks and frees
// its MDL, completes the IRP with 'status' and 'bytes', and returns the entry
// to its look-aside list.
void ZarQueueEndRequest(PNPAGED_LOOKASIDE_LIST lookaside, PVOID entry, PIRP irp, PMDL mdl, NTSTATUS status,
                        ULONG bytes);
// SCSI bus ownership between disk requests and the holders of
// IOCTL_ZAR_ACQUIRE_SCSI. Acquire: STATUS_UNSUCCESSFUL after 3 s.
NTSTATUS ZarScsiAcquireOwnership(PZAR_DEVICE_EXTENSION ext);
void ZarScsiReleaseOwnership(PZAR_DEVICE_EXTENSION ext);
inline constexpr LONGLONG ZAR_SCSI_OVERTAKE_WAIT = -10000000LL;  // 1 s, 100 ns units
inline constexpr LONGLONG ZAR_SCSI_ACQUIRE_WAIT = -30000000LL;   // 3 s
