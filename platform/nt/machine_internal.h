// Boot and shutdown entry points of the machine's own modules (registry,
// event log, host file system), called by machine.cpp only.
#pragma once

#include <string>

#include "nt_types.h"

namespace nt {

// Registry (cm_*.cpp): load <folder>/registry.txt (or write the default),
// then put \Registry into the name space once the object manager runs.
NTSTATUS CmBootLoad(const std::string& folder);
NTSTATUS CmBootInitialize();
// Writes what is pending, takes \Registry out of the name space and forgets
// the tree.
void CmShutdown();

// Event log (eventlog.cpp) over <folder>/eventlog.txt; fails (said on
// stderr with the path) when the file is there but cannot be read.
NTSTATUS EventLogOpen(const std::string& folder);
void EventLogCloseFile();

// Host file system (hostfs.cpp): the built-in driver and its volumes. The
// driver is listed among the loaded drivers under kHostFsDriverName; the
// machine unloads it (HostFsShutdown) only after the user processes ended.
extern const char16_t kHostFsDriverName[];
NTSTATUS HostFsInitialize();
NTSTATUS HostFsMapDrive(char letter, const std::string& hostFolder);  // empty folder: unmap
std::string HostFsDriveFolder(char letter);
void HostFsShutdown();

// Renames put off until the next boot (machine_renames.cpp): carried out
// once the drives are mapped, before any driver starts.
void RunPendingFileRenames();

}  // namespace nt
