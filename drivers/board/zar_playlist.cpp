// Play-list engine core.
// (Entry points start as the least that keeps their callers honest.)

#include "zar_driver.h"

// Will allocate the play-list node and slot buffers.
NTSTATUS ZarPlyBufferAlloc(PZAR_DEVICE_EXTENSION ext)
{
    ext->PlaylistBuffersAllocated = TRUE;
    return STATUS_SUCCESS;
}
// Will free the play-list buffers.
void ZarPlyBufferDeAlloc(PZAR_DEVICE_EXTENSION ext) { ext->PlaylistBuffersAllocated = FALSE; }
// The notification database holds nothing; freeing it has nothing to do.
void ZarPlyFreeNotificationDatabase(PZAR_DEVICE_EXTENSION) {}
NTSTATUS ZarPlyPostNodeCommand(PZAR_DEVICE_EXTENSION, const ZAR_NODE_COMMAND*, const ULONG*) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarPlyResetPlaylist(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarPlyRegisterNotification(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarPlySetEnableMask(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarPlyNodeInsert(PZAR_DEVICE_EXTENSION, PIRP) { return STATUS_NOT_IMPLEMENTED; }
