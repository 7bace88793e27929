// The bridge's DMA page tables and the starts of the SCSI and I2C channels.
//
// A page table is one 4 KB common-buffer page of 32-bit bus addresses, one
// per 4 KB page of the transfer, the first pointing into the first page at
// the buffer's offset. The bridge may fetch one entry past the last piece,
// so a table with room left repeats the last piece's address there.

#include "zar_driver.h"

namespace {

constexpr ULONG kI2cTransfer = 0x8C;
constexpr ULONG kUploadI2c = 0x00010001;
constexpr ULONG kI2cWriteAttributes = 0xE4;  // start, continue, stop
constexpr ULONG kI2cReadAttributes = 0xEC;   // start, continue, repeated start
constexpr ULONG kScsiLargePass = ZAR_DMA_MAX_TRANSFER;
constexpr ULONG kBlockSize = 512;

}  // namespace

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

NTSTATUS ZarScsiInitDcb(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_SCSI_DCB* dcb = &ext->ScsiDcb;
    auto* entry = static_cast<ZAR_SCSI_ENTRY*>(dcb->CurrentEntry);
    auto* request = static_cast<ZAR_DISK_REQUEST*>(entry->SystemBuffer);

    dcb->WriteToDevice = (request->Operation & 1) != 0;
    dcb->Bounce = FALSE;
    dcb->Failed = FALSE;
    dcb->SystemVa = nullptr;
    dcb->MapRegisterBase = nullptr;
    if (entry->Mdl == nullptr) {
        dcb->CurrentVa = nullptr;
        dcb->Remaining = dcb->PassLength = dcb->PageCount = 0;
        return STATUS_SUCCESS;
    }

    PVOID start = MmGetMdlVirtualAddress(entry->Mdl);
    ULONG length = MmGetMdlByteCount(entry->Mdl);
    dcb->CurrentVa = start;
    dcb->Remaining = length;
    // A pass is limited by the 1,024 entries of the channel's page table.
    ULONG pass = length;
    if (ADDRESS_AND_SIZE_TO_SPAN_PAGES(start, length) > ZAR_PAGE_TABLE_ENTRIES)
        pass = (kScsiLargePass - BYTE_OFFSET(start)) & ~(kBlockSize - 1);

    if (reinterpret_cast<ULONG_PTR>(start) & 3) {
        // Only a staged request copies through the driver's own buffer and
        // so can take a start the bridge cannot.
        if (request->AccessMode != ZAR_DISK_ACCESS_STAGED) return STATUS_DATATYPE_MISALIGNMENT;
        dcb->SystemVa = MmGetSystemAddressForMdlSafe(entry->Mdl, NormalPagePriority);
        if (dcb->SystemVa == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        dcb->Bounce = TRUE;
    }
    if (pass & 3) return STATUS_DATATYPE_MISALIGNMENT;
    dcb->PassLength = pass;
    dcb->PageCount = ADDRESS_AND_SIZE_TO_SPAN_PAGES(start, pass);
    return STATUS_SUCCESS;
}

IO_ALLOCATION_ACTION ZarScsiAdapterControl(PDEVICE_OBJECT, PIRP, PVOID mapRegisterBase, PVOID context)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    ext->ScsiDcb.MapRegisterBase = mapRegisterBase;
    if (ext->ScsiDcb.PassLength != 0) ZarBuildPageTableForMdl(ext);
    KeSetEvent(&ext->ScsiThread.Wake, IO_NO_INCREMENT, FALSE);
    // The adapter is free for the next request at once; the map registers
    // stay until the request-complete DPC frees them.
    return DeallocateObjectKeepRegisters;
}

void ZarScsiIoStartIo(PZAR_DEVICE_EXTENSION ext, ZAR_SCSI_ENTRY* entry)
{
    ZAR_SCSI_DCB* dcb = &ext->ScsiDcb;
    dcb->CurrentEntry = entry;
    NTSTATUS status = ZarScsiInitDcb(ext);
    if (NT_SUCCESS(status)) {
        KIRQL oldIrql;
        KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
        status = IoAllocateAdapterChannel(ext->DmaAdapter[ZAR_SCSI_ADAPTER], ext->DeviceObject, dcb->PageCount,
                                          ZarScsiAdapterControl, ext);
        KeLowerIrql(oldIrql);
    }
    if (!NT_SUCCESS(status)) {
        dcb->Failed = TRUE;
        KeInsertQueueDpc(&ext->DpcScsiRequestComplete, nullptr, nullptr);
    }
}

BOOLEAN ZarI2cStartDevice(PVOID context)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    auto* entry = static_cast<ZAR_I2C_ENTRY*>(ext->I2cCurrentEntry);
    const ZAR_I2C_COMMAND& c = entry->Command;
    ULONG word = ((c.Device & 0xFF) << 24) | ((c.Register & 0xFF) << 16);
    if (c.Kind == 1)
        word |= (((c.Device | 1) & 0xFF) << 8) | kI2cReadAttributes;
    else
        word |= ((c.Data & 0xFF) << 8) | kI2cWriteAttributes;
    WRITE_REGISTER_ULONG(ZarBridgeRegister(ext, kI2cTransfer), word);
    WRITE_REGISTER_ULONG(ZarBridgeRegister(ext, ZAR_BRIDGE_MC2), kUploadI2c);
    return TRUE;
}

void ZarI2cStartIo(PZAR_DEVICE_EXTENSION ext, ZAR_I2C_ENTRY* entry)
{
    if (!(ext->InterruptEnable & ZAR_INT_I2C_DONE)) ZarSetIntMode(ext, ZAR_INT_I2C, TRUE);
    ext->I2cCurrentEntry = entry;
    ext->I2cState = 1;
    if (ext->InterruptObject != nullptr)
        KeSynchronizeExecution(ext->InterruptObject, ZarI2cStartDevice, ext);
    else
        ZarI2cStartDevice(ext);
}
