// Media volumes from the command-line front: ZARFSKD started over the
// boards, volumes formatted and listed through its control device, and the
// demo's section (the blank drives of each board formatted as one striped
// volume when no volume is found at all, so a second run finds the first
// run's volume; each volume's name, drives, space and folders). zar-volumes
// formats and lists from the shell.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "include/zarfs.h"
#include "sim/pci_layouts.h"

// The volumes of a board as its control device \\.\ZarFsDevice<board> lists
// them; false when the device cannot be opened or the request fails.
bool ListMediaVolumes(unsigned long board, std::vector<ZAR_VOLUME_INFO>* volumes);
// Formats 'ids' (in drive-index order) as one volume through the control
// device; returns the format's result code (0, or ZARFS_FORMAT_E_...), or
// 1 when the request itself could not be made.
int32_t FormatMediaVolume(unsigned long board, const std::u16string& name, const std::vector<uint32_t>& ids);

// The words for a format's result code.
const char* MediaFormatResultName(int32_t result);
// ZARFSKD's service key (written once) and the driver loaded; false when it
// did not load.
bool StartMediaFileSystem();
// One volume as a listing shows it: drives, flags, space and folders.
void PrintMediaVolume(unsigned long board, const ZAR_VOLUME_INFO& volume);
// The newest event-log entry's sequence number (0 when the log is empty):
// entries after it are those of what happens next.
uint64_t LastEventSequence();
// What discovery left out of the board's volumes since the entry 'after'
// (folder slots that named a file another slot holds), one line each.
void PrintLeftOutAtDiscovery(unsigned long board, const std::vector<ZAR_VOLUME_INFO>& volumes, uint64_t after);
// Prints the demo's section for the given boards (those the board driver set
// up). A board without a usable volume has its drives formatted only when
// all of them are blank; else the section names the drives missing or
// damaged (with their images when 'hardware' is given) and formats nothing.
void ShowMediaVolumes(const std::vector<unsigned long>& boards, const sim::BuiltTopology* hardware = nullptr);
