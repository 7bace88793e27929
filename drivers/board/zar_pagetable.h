// DMA page tables: the bus addresses of a locked buffer's 4 KB pieces, as
// the bridge's channels read them.
#pragma once

#include "zar_extension.h"

// Fills 'table' with the bus addresses of the 4 KB pieces of the buffer and
// returns the number of entries written (the repeat entry included).
ULONG ZarBuildGenericPageTableForMdl(PADAPTER_OBJECT adapter, PMDL mdl, PVOID virtualAddress, ULONG length,
                                     PULONG table, ULONG tableEntries, PVOID mapRegisterBase, BOOLEAN writeToDevice);
ULONG ZarBuildPageTableForMdl(PZAR_DEVICE_EXTENSION ext);
ULONG ZarBuildPageTableForPreviewMdl(PZAR_DEVICE_EXTENSION ext, PMDL mdl, PVOID virtualAddress, ULONG length,
                                     PVOID mapRegisterBase);

inline constexpr ULONG ZAR_SCSI_ADAPTER = 3;        // adapter and page-table page of the SCSI channel
inline constexpr ULONG ZAR_PREVIEW_ADAPTER = 2;     // and of the preview capture
inline constexpr ULONG ZAR_PAGE_TABLE_ENTRIES = 1024;
