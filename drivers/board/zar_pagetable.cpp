// The bridge's DMA page tables.
//
// A page table is one 4 KB common-buffer page of 32-bit bus addresses, one
// per 4 KB page of the transfer, the first pointing into the first page at
// the buffer's offset. The bridge may fetch one entry past the last piece,
// so a table with room left repeats the last piece's address there.

#include "zar_extension.h"
#include "zar_pagetable.h"

ULONG ZarBuildGenericPageTableForMdl(PADAPTER_OBJECT adapter, PMDL mdl, PVOID virtualAddress, ULONG length,
                                     PULONG table, ULONG tableEntries, PVOID mapRegisterBase, BOOLEAN writeToDevice)
{
    auto* current = static_cast<PUCHAR>(virtualAddress);
    ULONG remaining = length;
    ULONG entries = 0;
    ULONG last = 0;
    while (remaining != 0 && entries < tableEntries) {
        ULONG piece = PAGE_SIZE - BYTE_OFFSET(current);
        if (piece > remaining) piece = remaining;
        ULONG mapped = piece;
        PHYSICAL_ADDRESS bus = IoMapTransfer(adapter, mdl, mapRegisterBase, current, &mapped, writeToDevice);
        last = bus.LowPart;
        table[entries++] = last;
        current += piece;
        remaining -= piece;
    }
    if (entries != 0 && entries < tableEntries) table[entries++] = last;
    return entries;
}

ULONG ZarBuildPageTableForMdl(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_SCSI_DCB* dcb = &ext->ScsiDcb;
    auto* entry = static_cast<ZAR_SCSI_ENTRY*>(dcb->CurrentEntry);
    return ZarBuildGenericPageTableForMdl(ext->DmaAdapter[ZAR_SCSI_ADAPTER], entry->Mdl, dcb->CurrentVa,
                                          dcb->PassLength,
                                          static_cast<PULONG>(ext->ChannelPage[ZAR_SCSI_ADAPTER].VirtualAddress),
                                          ZAR_PAGE_TABLE_ENTRIES, dcb->MapRegisterBase, dcb->WriteToDevice);
}

ULONG ZarBuildPageTableForPreviewMdl(PZAR_DEVICE_EXTENSION ext, PMDL mdl, PVOID virtualAddress, ULONG length,
                                     PVOID mapRegisterBase)
{
    // A capture moves data from the board into the buffer.
    return ZarBuildGenericPageTableForMdl(ext->DmaAdapter[ZAR_PREVIEW_ADAPTER], mdl, virtualAddress, length,
                                          static_cast<PULONG>(ext->ChannelPage[ZAR_PREVIEW_ADAPTER].VirtualAddress),
                                          ZAR_PAGE_TABLE_ENTRIES, mapRegisterBase, FALSE);
}
