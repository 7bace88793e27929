// The demo machine's folder as the front keeps it: deleting it on a reset,
// and the board files it holds (EEPROMs, drive lists, the FPGA image files)
// made ready before a boot.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "sim/pci_layouts.h"

// What a look at the folder found: errors stop the boot (a file that is
// there but cannot be read, so the machine would run half-configured);
// notes are damage the machine gets past, reported and left as found.
struct MachineFolderReport {
    std::vector<std::string> errors;
    std::vector<std::string> notes;
};

// Deletes a machine folder: only one that holds nothing but what a machine
// keeps there (or nothing at all). A folder that holds anything else is
// refused whole, with the first stranger named in 'why'.
bool ResetMachineFolder(const std::filesystem::path& folder, std::string* why);

// For each board of 'layout': its folder boards/<n>, its EEPROM file, and its
// drive list (a default one written for a new board). Installs the FPGA
// image files where missing. Returns false when the report has errors.
bool PrepareMachineFolder(const std::filesystem::path& folder, sim::PciLayout& layout, MachineFolderReport& report);

// The boards' own account of their files, once built.
bool CheckBoardFiles(const sim::BuiltTopology& hardware, MachineFolderReport& report);

// The machine's board 0 carries the DVE module; the boards after it do not.
// Every program that boots the folder fits it, so the boards stay the same
// whichever of them runs the machine.
void FitDveModule(sim::PciLayout& layout);

// The board driver's DvePresent value of each board, where the registry has
// none yet: 1 for board 0, 0 for the others (which would otherwise take
// board 0's). A value already there is left as found. Needs the booted
// machine's registry.
void WriteDvePresentValues(uint32_t boards);
