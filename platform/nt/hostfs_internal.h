// The host file system's records and the routines its files share: names
// and paths (hostfs_names.cpp), create and clean-up (hostfs_create.cpp),
// information (hostfs_info.cpp), directories (hostfs_directory.cpp), and
// the driver itself with its data path and drive letters (hostfs.cpp).
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "cm_internal.h"
#include "machine.h"
#include "machine_internal.h"
#include "nt_ex.h"
#include "nt_mm.h"
#include "nt_io.h"

namespace hostfs {

// Request details the common headers leave out.
constexpr UCHAR kMinorQueryDirectory = 0x01;      // IRP_MN_QUERY_DIRECTORY
constexpr UCHAR kRestartScan = 0x01;              // SL_RESTART_SCAN
constexpr UCHAR kReturnSingleEntry = 0x02;        // SL_RETURN_SINGLE_ENTRY
constexpr ULONG kUseFilePointer = 0xFFFFFFFE;     // FILE_USE_FILE_POINTER_POSITION
constexpr ULONG kWriteToEndOfFile = 0xFFFFFFFF;   // FILE_WRITE_TO_END_OF_FILE
constexpr ULONG kFileCasePreservedNames = 0x2, kFileUnicodeOnDisk = 0x4;
constexpr ULONG kInternalInformation = 6, kEaInformation = 7, kAccessInformation = 8, kModeInformation = 16,
                kAlignmentInformation = 17;


constexpr ULONG kClusterSize = 4096, kSectorSize = 512;

struct Fcb {
    std::string hostPath;  // absolute host path
    std::u16string path;   // from the volume root, "\" for the root
    bool directory = false;
    SHARE_ACCESS share{};
    ULONG opens = 0;    // file objects not yet closed
    ULONG handles = 0;  // file objects not yet cleaned up
    bool deletePending = false;
};

struct DirEntry {
    std::u16string name;
    struct stat st;
};

struct Ccb {
    char letter = 0;
    Fcb* fcb = nullptr;  // null for an open of the volume itself
    int fd = -1;
    bool deleteOnClose = false;
    ACCESS_MASK access = 0;
    bool scanStarted = false;
    std::u16string pattern;
    std::vector<DirEntry> entries;
    size_t next = 0;
};

struct VolumeExtension {
    char letter;
};

struct Resolved {
    std::string hostPath;    // of the object (its parent's plus the leaf name)
    std::string parentHost;  // of the parent directory
    std::u16string path;     // volume path with the case found on disk
    std::u16string leaf;     // last component
    bool exists = false;
    bool root = false;
    struct stat st {};
};

// FCBs, volumes; never held across a call into another driver.
extern std::mutex fsLock;
extern std::map<std::string, Fcb*> fcbs;
extern std::string volumeFolders[26];
extern PDEVICE_OBJECT volumeDevices[26];
extern PDRIVER_OBJECT hostFsDriver;

template <typename T>
T* RecordAt(std::vector<UCHAR>& bytes, size_t offset = 0)
{
    return reinterpret_cast<T*>(bytes.data() + offset);
}

// ---- helpers, names and paths, wildcards, FCBs and CCBs (hostfs_names.cpp) ----

NTSTATUS FromErrno(int e);
ACCESS_MASK MapGeneric(ACCESS_MASK a);
LONGLONG FileTime(const struct timespec& t);
ULONG Attributes(const struct stat& st);
LONGLONG AllocationSize(const struct stat& st);
ULONG Align8(ULONG n);
std::string Narrow(const std::u16string& s);
PVOID RequestBuffer(PIRP irp);
NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
NTSTATUS CompleteWithRecord(PIRP irp, const std::vector<UCHAR>& record, ULONG fixed, ULONG length);
void AppendName(std::vector<UCHAR>* record, const std::u16string& name);
bool ValidComponent(const std::u16string& c);
NTSTATUS Components(const std::u16string& path, std::vector<std::u16string>* out);
int ReadDirectory(const std::string& dir, std::vector<std::string>* names);
NTSTATUS FindEntry(const std::string& dir, const std::u16string& name, std::string* actual, struct stat* st);
NTSTATUS ResolvePath(const std::string& folder, const std::u16string& volumePath, Resolved* out);
Fcb* FindOrCreateFcb(const Resolved& r, bool directory, bool* created);
Ccb* CcbOf(PFILE_OBJECT fo);
char LetterOf(PDEVICE_OBJECT device);
bool Stat(const Ccb& ccb, struct stat* st);

// ---- create, clean-up and close (hostfs_create.cpp) ----

NTSTATUS OpenHostFile(const std::string& path, ACCESS_MASK access, bool truncate, int extraFlags, int* fd);
NTSTATUS Create(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS DirectoryEmpty(const std::string& path);
NTSTATUS Cleanup(PDEVICE_OBJECT, PIRP irp);
NTSTATUS Close(PDEVICE_OBJECT, PIRP irp);

// ---- read, write and flush (hostfs.cpp) ----

NTSTATUS ReadWrite(PDEVICE_OBJECT, PIRP irp);
NTSTATUS Flush(PDEVICE_OBJECT, PIRP irp);

// ---- information of files and the volume (hostfs_info.cpp) ----

void FillBasic(const struct stat& st, FILE_BASIC_INFORMATION* b);
void FillStandard(const struct stat& st, const Fcb* fcb, FILE_STANDARD_INFORMATION* s);
NTSTATUS QueryInformation(PDEVICE_OBJECT, PIRP irp);
void Rekey(const std::string& oldHost, const std::string& newHost, const std::u16string& oldPath,
           const std::u16string& newPath);
NTSTATUS Rename(PIRP irp, Ccb* ccb, const FILE_RENAME_INFORMATION* info, ULONG length, PFILE_OBJECT target);
NTSTATUS SetInformation(PDEVICE_OBJECT, PIRP irp);
NTSTATUS QueryVolume(PDEVICE_OBJECT device, PIRP irp);

// ---- directories (hostfs_directory.cpp) ----

NTSTATUS Snapshot(Ccb* ccb);
bool BuildEntry(ULONG infoClass, const DirEntry& e, std::vector<UCHAR>* record, ULONG* fixed);
NTSTATUS DirectoryControl(PDEVICE_OBJECT, PIRP irp);

}  // namespace hostfs
