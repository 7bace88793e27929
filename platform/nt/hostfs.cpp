// The host file system: a built-in file-system driver (\Driver\HostFs,
// created at boot with IoCreateDriver, never loaded from a service key)
// that serves drive letters over host folders. Each letter is a device \Device\HostVolume<X>
// with the link \??\<X>:, so "\??\C:\WINNT\x.txt" reaches this driver with
// the file name "\WINNT\x.txt".
//
// What it relies on and assumes:
// - Names are resolved case-insensitively against the host folder (an exact
//   match wins, else the first entry that matches ignoring case); new names
//   keep the case they were given. '.' and '..' are resolved in the name
//   and may not climb above the drive's root (STATUS_OBJECT_PATH_SYNTAX_BAD).
//   Host symbolic links inside the folder are followed as the host sees them.
// - One FCB per open host file (share access, delete pending, open counts),
//   one CCB per file object (host descriptor, directory scan).
// - File times are the host file system's, attributes are derived from the
//   host's mode bits (directory, read-only when the owner may not write,
//   archive otherwise); there are no short names, EAs or streams.
// - Delete on close and delete dispositions take effect when the last
//   handle is cleaned up, as NT's file systems do.
// - The volume reports itself as "NTFS" (case-preserving, Unicode names),
//   what programs of an NT workstation expect of their system drive.
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

namespace {

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

std::mutex fsLock;  // FCBs, volumes; never held across a call into another driver
std::map<std::string, Fcb*> fcbs;
std::string volumeFolders[26];
PDEVICE_OBJECT volumeDevices[26];
PDRIVER_OBJECT hostFsDriver;
}  // namespace

namespace nt {
const char16_t kHostFsDriverName[] = u"HostFs";
}  // namespace nt

namespace {
const std::u16string kDriverName = nt::kHostFsDriverName;

// ---- Small helpers ----

NTSTATUS FromErrno(int e)
{
    switch (e) {
    case ENOENT: return STATUS_OBJECT_NAME_NOT_FOUND;
    case ENOTDIR: return STATUS_OBJECT_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return STATUS_ACCESS_DENIED;
    case EEXIST: return STATUS_OBJECT_NAME_COLLISION;
    case ENOSPC:
    case EDQUOT: return STATUS_DISK_FULL;
    case ENOTEMPTY: return STATUS_DIRECTORY_NOT_EMPTY;
    case EISDIR: return STATUS_FILE_IS_A_DIRECTORY;
    case ENAMETOOLONG: return STATUS_OBJECT_NAME_INVALID;
    case ENOMEM: return STATUS_INSUFFICIENT_RESOURCES;
    default:
        std::fprintf(stderr, "hostfs: host error %d (%s)\n", e, std::strerror(e));
        return STATUS_UNSUCCESSFUL;
    }
}

ACCESS_MASK MapGeneric(ACCESS_MASK a)
{
    if (a & GENERIC_READ) a |= FILE_GENERIC_READ;
    if (a & GENERIC_WRITE) a |= FILE_GENERIC_WRITE;
    if (a & GENERIC_EXECUTE) a |= FILE_GENERIC_EXECUTE;
    if (a & (GENERIC_ALL | MAXIMUM_ALLOWED)) a |= FILE_ALL_ACCESS;
    return a & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
}

LONGLONG FileTime(const struct timespec& t)
{
    return (static_cast<LONGLONG>(t.tv_sec) + 11644473600LL) * 10000000LL + t.tv_nsec / 100;
}

ULONG Attributes(const struct stat& st)
{
    if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
    ULONG a = FILE_ATTRIBUTE_ARCHIVE;
    if (!(st.st_mode & S_IWUSR)) a |= FILE_ATTRIBUTE_READONLY;
    return a;
}

LONGLONG AllocationSize(const struct stat& st)
{
    if (S_ISDIR(st.st_mode)) return 0;
    LONGLONG rounded = (static_cast<LONGLONG>(st.st_size) + kClusterSize - 1) / kClusterSize * kClusterSize;
    return std::max<LONGLONG>(rounded, static_cast<LONGLONG>(st.st_blocks) * 512);
}

ULONG Align8(ULONG n) { return (n + 7) & ~7u; }

std::string Narrow(const std::u16string& s) { return NtNarrow(s); }

// The buffer of a request: MDL, system buffer or (kernel callers) the
// caller's pointer.
PVOID RequestBuffer(PIRP irp)
{
    if (irp->MdlAddress) return MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
    if (irp->AssociatedIrp.SystemBuffer) return irp->AssociatedIrp.SystemBuffer;
    return irp->UserBuffer;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Copies a built record into the request's buffer: STATUS_BUFFER_OVERFLOW
// with what fits when only the fixed part does.
NTSTATUS CompleteWithRecord(PIRP irp, const std::vector<UCHAR>& record, ULONG fixed, ULONG length)
{
    if (length < fixed) return Complete(irp, STATUS_INFO_LENGTH_MISMATCH);
    PVOID buffer = RequestBuffer(irp);
    if (!buffer) return Complete(irp, STATUS_INVALID_PARAMETER);
    ULONG n = std::min<ULONG>(length, static_cast<ULONG>(record.size()));
    std::memcpy(buffer, record.data(), n);
    return Complete(irp, record.size() <= length ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW, n);
}

template <typename T>
T* RecordAt(std::vector<UCHAR>& bytes, size_t offset = 0)
{
    return reinterpret_cast<T*>(bytes.data() + offset);
}

void AppendName(std::vector<UCHAR>* record, const std::u16string& name)
{
    const UCHAR* p = reinterpret_cast<const UCHAR*>(name.data());
    record->insert(record->end(), p, p + name.size() * 2);
}

// ---- Names ----

bool ValidComponent(const std::u16string& c)
{
    if (c.empty() || c.size() > 255) return false;
    for (char16_t ch : c)
        if (ch < 0x20 || ch == u'<' || ch == u'>' || ch == u':' || ch == u'"' || ch == u'/' || ch == u'|' ||
            ch == u'?' || ch == u'*')
            return false;
    return true;
}

// Splits a volume path into its components, resolving '.' and '..'.
NTSTATUS Components(const std::u16string& path, std::vector<std::u16string>* out)
{
    out->clear();
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string::npos) end = path.size();
        std::u16string c = path.substr(start, end - start);
        start = end + 1;
        if (c.empty()) {
            if (end == path.size() || start == 1) continue;  // leading or trailing '\'
            return STATUS_OBJECT_NAME_INVALID;
        }
        if (c == u".") continue;
        if (c == u"..") {
            if (out->empty()) return STATUS_OBJECT_PATH_SYNTAX_BAD;
            out->pop_back();
            continue;
        }
        if (!ValidComponent(c)) return STATUS_OBJECT_NAME_INVALID;
        out->push_back(c);
    }
    return STATUS_SUCCESS;
}

// The names in a host directory, "." and ".." left out. A read that fails
// part-way is an error, never a shorter listing: a directory that merely
// looked empty could be deleted with everything in it.
int ReadDirectory(const std::string& dir, std::vector<std::string>* names)
{
    DIR* d = ::opendir(dir.c_str());
    if (!d) return errno;
    int error = 0;
    for (;;) {
        errno = 0;
        struct dirent* e = ::readdir(d);
        if (!e) {
            error = errno;
            break;
        }
        if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names->push_back(e->d_name);
    }
    ::closedir(d);
    return error;
}

// The host name of 'name' in 'dir' (exact match first, then ignoring case):
// STATUS_SUCCESS when found, STATUS_OBJECT_NAME_NOT_FOUND when not, another
// status when the directory cannot be read.
NTSTATUS FindEntry(const std::string& dir, const std::u16string& name, std::string* actual, struct stat* st)
{
    std::string exact = Narrow(name);
    if (::stat((dir + "/" + exact).c_str(), st) == 0) {
        *actual = exact;
        return STATUS_SUCCESS;
    }
    std::vector<std::string> names;
    if (int error = ReadDirectory(dir, &names)) return FromErrno(error);
    std::vector<std::string> matches;
    for (auto& n : names)
        if (cm::NamesEqual(NtWiden(n), name)) matches.push_back(std::move(n));
    std::sort(matches.begin(), matches.end());
    for (const auto& m : matches) {
        if (::stat((dir + "/" + m).c_str(), st) == 0) {
            *actual = m;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

struct Resolved {
    std::string hostPath;    // of the object (its parent's plus the leaf name)
    std::string parentHost;  // of the parent directory
    std::u16string path;     // volume path with the case found on disk
    std::u16string leaf;     // last component
    bool exists = false;
    bool root = false;
    struct stat st {};
};

NTSTATUS ResolvePath(const std::string& folder, const std::u16string& volumePath, Resolved* out)
{
    std::vector<std::u16string> parts;
    NTSTATUS status = Components(volumePath, &parts);
    if (!NT_SUCCESS(status)) return status;
    out->hostPath = folder;
    out->path = u"";
    if (parts.empty()) {
        out->root = true;
        out->exists = ::stat(folder.c_str(), &out->st) == 0;
        out->path = u"\\";
        return out->exists ? STATUS_SUCCESS : STATUS_OBJECT_PATH_NOT_FOUND;
    }
    for (size_t i = 0; i < parts.size(); i++) {
        std::string actual;
        struct stat st;
        bool last = i + 1 == parts.size();
        NTSTATUS lookup = FindEntry(out->hostPath, parts[i], &actual, &st);
        if (lookup != STATUS_SUCCESS && lookup != STATUS_OBJECT_NAME_NOT_FOUND) return lookup;
        bool found = lookup == STATUS_SUCCESS;
        if (!last) {
            if (!found || !S_ISDIR(st.st_mode)) return STATUS_OBJECT_PATH_NOT_FOUND;
            out->hostPath += "/" + actual;
            out->path += u"\\" + NtWiden(actual);
            continue;
        }
        out->parentHost = out->hostPath;
        out->exists = found;
        out->leaf = found ? NtWiden(actual) : parts[i];
        out->hostPath += "/" + (found ? actual : Narrow(parts[i]));
        out->path += u"\\" + out->leaf;
        if (found) out->st = st;
    }
    return STATUS_SUCCESS;
}

// ---- Wildcards (the system's rules, including the DOS forms that Win32
// patterns are turned into: '<' DOS_STAR, '>' DOS_QM, '"' DOS_DOT) ----

bool Matches(const std::u16string& pattern, size_t p, const std::u16string& name, size_t n)
{
    while (p < pattern.size()) {
        char16_t c = pattern[p];
        if (c == u'*') {
            for (size_t k = n; k <= name.size(); k++)
                if (Matches(pattern, p + 1, name, k)) return true;
            return false;
        }
        if (c == u'<') {
            // Any run of characters up to (not past) the name's last dot.
            size_t lastDot = name.rfind(u'.');
            size_t limit = lastDot == std::u16string::npos || lastDot < n ? name.size() : lastDot;
            for (size_t k = n; k <= limit; k++)
                if (Matches(pattern, p + 1, name, k)) return true;
            return false;
        }
        if (c == u'>') {
            // One character, or nothing at a dot or the end.
            if (n < name.size() && name[n] != u'.') {
                n++;
                p++;
                continue;
            }
            p++;
            continue;
        }
        if (c == u'"') {
            // A dot, or nothing at the end of the name.
            if (n < name.size() && name[n] == u'.') {
                n++;
                p++;
                continue;
            }
            if (n == name.size()) {
                p++;
                continue;
            }
            return false;
        }
        if (n >= name.size()) return false;
        if (c != u'?' && cm::Upcase(c) != cm::Upcase(name[n])) return false;
        p++;
        n++;
    }
    return n == name.size();
}

// ---- FCBs and CCBs ----

Fcb* FindOrCreateFcb(const Resolved& r, bool directory, bool* created)
{
    auto it = fcbs.find(r.hostPath);
    *created = it == fcbs.end();
    if (!*created) return it->second;
    auto* fcb = new Fcb;
    fcb->hostPath = r.hostPath;
    fcb->path = r.path;
    fcb->directory = directory;
    fcbs[r.hostPath] = fcb;
    return fcb;
}

Ccb* CcbOf(PFILE_OBJECT fo) { return static_cast<Ccb*>(fo->FsContext2); }

char LetterOf(PDEVICE_OBJECT device) { return static_cast<VolumeExtension*>(device->DeviceExtension)->letter; }

bool Stat(const Ccb& ccb, struct stat* st)
{
    if (ccb.fd >= 0) return ::fstat(ccb.fd, st) == 0;
    std::string path = ccb.fcb ? ccb.fcb->hostPath : volumeFolders[ccb.letter - 'A'];
    return ::stat(path.c_str(), st) == 0;
}

// ---- IRP_MJ_CREATE ----

NTSTATUS OpenHostFile(const std::string& path, ACCESS_MASK access, bool truncate, int extraFlags, int* fd)
{
    bool write = (access & (FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA)) || truncate;
    int flags = (write ? O_RDWR : O_RDONLY) | O_CLOEXEC | extraFlags;
    *fd = ::open(path.c_str(), flags, 0644);
    if (*fd < 0 && write && errno == EACCES && !(access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) && !truncate)
        *fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | extraFlags, 0644);  // attributes only
    if (*fd < 0) return FromErrno(errno);
    if (truncate && ::ftruncate(*fd, 0) != 0) {
        NTSTATUS status = FromErrno(errno);
        ::close(*fd);
        *fd = -1;
        return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Create(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT fo = stack->FileObject;
    ULONG disposition = stack->Parameters.Create.Options >> 24;
    ULONG options = stack->Parameters.Create.Options & 0x00FFFFFF;
    ULONG share = stack->Parameters.Create.ShareAccess;
    ACCESS_MASK access =
        MapGeneric(stack->Parameters.Create.SecurityContext ? stack->Parameters.Create.SecurityContext->DesiredAccess
                                                            : 0);
    char letter = LetterOf(device);
    if (disposition > FILE_OVERWRITE_IF) return Complete(irp, STATUS_INVALID_PARAMETER);
    if ((options & FILE_DIRECTORY_FILE) && (options & FILE_NON_DIRECTORY_FILE))
        return Complete(irp, STATUS_INVALID_PARAMETER);

    std::lock_guard<std::mutex> lock(fsLock);
    std::string folder = volumeFolders[letter - 'A'];
    if (folder.empty()) return Complete(irp, STATUS_NO_SUCH_DEVICE);

    std::u16string name(fo->FileName.Buffer ? fo->FileName.Buffer : u"", fo->FileName.Length / sizeof(WCHAR));
    if (fo->RelatedFileObject) {
        Ccb* related = CcbOf(fo->RelatedFileObject);
        if (!related || !related->fcb || !related->fcb->directory) return Complete(irp, STATUS_INVALID_PARAMETER);
        if (!name.empty() && name[0] == u'\\') return Complete(irp, STATUS_OBJECT_NAME_INVALID);
        name = related->fcb->path + u"\\" + name;
    } else if (name.empty()) {
        // The volume itself (volume queries, flushes).
        auto* ccb = new Ccb;
        ccb->letter = letter;
        ccb->access = access;
        fo->FsContext = nullptr;
        fo->FsContext2 = ccb;
        return Complete(irp, STATUS_SUCCESS, FILE_OPENED);
    }

    Resolved r;
    NTSTATUS status = ResolvePath(folder, name, &r);
    if (!NT_SUCCESS(status)) return Complete(irp, status);
    bool wantDirectory = options & FILE_DIRECTORY_FILE;
    ULONG_PTR information;
    bool truncate = false, create = false;
    if (r.exists) {
        bool isDirectory = S_ISDIR(r.st.st_mode);
        if (disposition == FILE_CREATE) return Complete(irp, STATUS_OBJECT_NAME_COLLISION);
        if (isDirectory && (options & FILE_NON_DIRECTORY_FILE)) return Complete(irp, STATUS_FILE_IS_A_DIRECTORY);
        if (!isDirectory && wantDirectory) return Complete(irp, STATUS_NOT_A_DIRECTORY);
        bool overwrite = disposition == FILE_OVERWRITE || disposition == FILE_OVERWRITE_IF ||
                         disposition == FILE_SUPERSEDE;
        if (overwrite && isDirectory) return Complete(irp, STATUS_FILE_IS_A_DIRECTORY);
        truncate = overwrite;
        information = disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : overwrite ? FILE_OVERWRITTEN : FILE_OPENED;
    } else {
        if (r.root) return Complete(irp, STATUS_OBJECT_PATH_NOT_FOUND);
        if (disposition == FILE_OPEN || disposition == FILE_OVERWRITE) return Complete(irp, STATUS_OBJECT_NAME_NOT_FOUND);
        if (wantDirectory && disposition != FILE_CREATE && disposition != FILE_OPEN_IF)
            return Complete(irp, STATUS_INVALID_PARAMETER);
        create = true;
        information = FILE_CREATED;
    }
    bool directory = r.exists ? S_ISDIR(r.st.st_mode) : wantDirectory;

    bool newFcb;
    Fcb* fcb = FindOrCreateFcb(r, directory, &newFcb);
    if (!newFcb) {
        if (fcb->deletePending) return Complete(irp, STATUS_DELETE_PENDING);
        status = IoCheckShareAccess(access, share, fo, &fcb->share, FALSE);
        if (!NT_SUCCESS(status)) return Complete(irp, status);
    }
    auto dropNewFcb = [&] {
        if (newFcb) {
            fcbs.erase(fcb->hostPath);
            delete fcb;
        }
    };

    int fd = -1;
    if (create && directory) {
        if (::mkdir(r.hostPath.c_str(), 0755) != 0) {
            dropNewFcb();
            return Complete(irp, FromErrno(errno));
        }
    } else if (!directory) {
        status = OpenHostFile(r.hostPath, access, truncate, create ? O_CREAT | O_EXCL : 0, &fd);
        if (!NT_SUCCESS(status)) {
            dropNewFcb();
            return Complete(irp, status);
        }
        if (create && (stack->Parameters.Create.FileAttributes & FILE_ATTRIBUTE_READONLY)) ::fchmod(fd, 0444);
    }

    if (newFcb)
        IoSetShareAccess(access, share, fo, &fcb->share);
    else
        IoCheckShareAccess(access, share, fo, &fcb->share, TRUE);
    fcb->opens++;
    fcb->handles++;
    auto* ccb = new Ccb;
    ccb->letter = letter;
    ccb->fcb = fcb;
    ccb->fd = fd;
    ccb->access = access;
    ccb->deleteOnClose = (options & FILE_DELETE_ON_CLOSE) != 0;
    fo->FsContext = fcb;
    fo->FsContext2 = ccb;
    fo->CurrentByteOffset.QuadPart = 0;
    return Complete(irp, STATUS_SUCCESS, information);
}

// ---- Cleanup and close ----

// STATUS_SUCCESS when the host directory holds nothing,
// STATUS_DIRECTORY_NOT_EMPTY when it does, another status when it cannot be read.
NTSTATUS DirectoryEmpty(const std::string& path)
{
    std::vector<std::string> names;
    if (int error = ReadDirectory(path, &names)) return FromErrno(error);
    return names.empty() ? STATUS_SUCCESS : STATUS_DIRECTORY_NOT_EMPTY;
}

NTSTATUS Cleanup(PDEVICE_OBJECT, PIRP irp)
{
    PFILE_OBJECT fo = IoGetCurrentIrpStackLocation(irp)->FileObject;
    std::lock_guard<std::mutex> lock(fsLock);
    Ccb* ccb = CcbOf(fo);
    if (ccb && ccb->fcb) {
        Fcb* fcb = ccb->fcb;
        IoRemoveShareAccess(fo, &fcb->share);
        if (ccb->deleteOnClose) fcb->deletePending = true;
        if (--fcb->handles == 0 && fcb->deletePending) {
            int rc = fcb->directory ? ::rmdir(fcb->hostPath.c_str()) : ::unlink(fcb->hostPath.c_str());
            if (rc != 0) std::fprintf(stderr, "hostfs: deleting %s: %s\n", fcb->hostPath.c_str(), std::strerror(errno));
            fcbs.erase(fcb->hostPath);  // a new file of that name is a new FCB
        }
    }
    fo->Flags |= FO_CLEANUP_COMPLETE;
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS Close(PDEVICE_OBJECT, PIRP irp)
{
    PFILE_OBJECT fo = IoGetCurrentIrpStackLocation(irp)->FileObject;
    std::lock_guard<std::mutex> lock(fsLock);
    Ccb* ccb = CcbOf(fo);
    if (ccb) {
        if (ccb->fd >= 0) ::close(ccb->fd);
        if (ccb->fcb) {
            Fcb* fcb = ccb->fcb;
            if (--fcb->opens == 0) {
                auto it = fcbs.find(fcb->hostPath);
                if (it != fcbs.end() && it->second == fcb) fcbs.erase(it);
                delete fcb;
            }
        }
        delete ccb;
    }
    fo->FsContext = fo->FsContext2 = nullptr;
    return Complete(irp, STATUS_SUCCESS);
}

// ---- Read, write, flush ----

NTSTATUS ReadWrite(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    bool write = stack->MajorFunction == IRP_MJ_WRITE;
    PFILE_OBJECT fo = stack->FileObject;
    Ccb* ccb = CcbOf(fo);
    if (!ccb || !ccb->fcb || ccb->fcb->directory) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    ULONG length = write ? stack->Parameters.Write.Length : stack->Parameters.Read.Length;
    LARGE_INTEGER offset = write ? stack->Parameters.Write.ByteOffset : stack->Parameters.Read.ByteOffset;
    if (write ? !(ccb->access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) : !(ccb->access & FILE_READ_DATA))
        return Complete(irp, STATUS_ACCESS_DENIED);
    if (offset.HighPart == -1 && offset.LowPart == kUseFilePointer) offset = fo->CurrentByteOffset;
    bool appendOnly = write && !(ccb->access & FILE_WRITE_DATA);
    if (write && ((offset.HighPart == -1 && offset.LowPart == kWriteToEndOfFile) || appendOnly)) {
        struct stat st;
        if (::fstat(ccb->fd, &st) != 0) return Complete(irp, FromErrno(errno));
        offset.QuadPart = st.st_size;
    }
    if (offset.QuadPart < 0) return Complete(irp, STATUS_INVALID_PARAMETER);
    if (length == 0) return Complete(irp, STATUS_SUCCESS);
    auto* buffer = static_cast<char*>(RequestBuffer(irp));
    if (!buffer) return Complete(irp, STATUS_INVALID_PARAMETER);
    ULONG done = 0;
    while (done < length) {
        ssize_t n = write ? ::pwrite(ccb->fd, buffer + done, length - done, offset.QuadPart + done)
                          : ::pread(ccb->fd, buffer + done, length - done, offset.QuadPart + done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Complete(irp, FromErrno(errno), done);
        }
        if (n == 0) break;  // end of file
        done += static_cast<ULONG>(n);
    }
    fo->CurrentByteOffset.QuadPart = offset.QuadPart + done;
    if (!write && done == 0) return Complete(irp, STATUS_END_OF_FILE);
    return Complete(irp, STATUS_SUCCESS, done);
}

NTSTATUS Flush(PDEVICE_OBJECT, PIRP irp)
{
    Ccb* ccb = CcbOf(IoGetCurrentIrpStackLocation(irp)->FileObject);
    if (ccb && ccb->fd >= 0 && ::fsync(ccb->fd) != 0) return Complete(irp, FromErrno(errno));
    return Complete(irp, STATUS_SUCCESS);
}

// ---- Query information ----

void FillBasic(const struct stat& st, FILE_BASIC_INFORMATION* b)
{
    b->CreationTime.QuadPart = FileTime(st.st_mtim);
    b->LastAccessTime.QuadPart = FileTime(st.st_atim);
    b->LastWriteTime.QuadPart = FileTime(st.st_mtim);
    b->ChangeTime.QuadPart = FileTime(st.st_ctim);
    b->FileAttributes = Attributes(st);
}

void FillStandard(const struct stat& st, const Fcb* fcb, FILE_STANDARD_INFORMATION* s)
{
    bool directory = S_ISDIR(st.st_mode);
    s->AllocationSize.QuadPart = AllocationSize(st);
    s->EndOfFile.QuadPart = directory ? 0 : st.st_size;
    s->NumberOfLinks = static_cast<ULONG>(st.st_nlink);
    s->DeletePending = fcb && fcb->deletePending;
    s->Directory = directory;
}

NTSTATUS QueryInformation(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT fo = stack->FileObject;
    ULONG length = stack->Parameters.QueryFile.Length;
    Ccb* ccb = CcbOf(fo);
    if (!ccb) return Complete(irp, STATUS_INVALID_PARAMETER);
    struct stat st;
    std::u16string path;
    {
        std::lock_guard<std::mutex> lock(fsLock);
        if (!Stat(*ccb, &st)) return Complete(irp, FromErrno(errno));
        path = ccb->fcb ? ccb->fcb->path : u"\\";
    }
    std::vector<UCHAR> record;
    ULONG fixed;
    switch (stack->Parameters.QueryFile.FileInformationClass) {
    case FileBasicInformation:
        fixed = sizeof(FILE_BASIC_INFORMATION);
        record.resize(fixed);
        FillBasic(st, RecordAt<FILE_BASIC_INFORMATION>(record));
        break;
    case FileStandardInformation:
        fixed = sizeof(FILE_STANDARD_INFORMATION);
        record.resize(fixed);
        FillStandard(st, ccb->fcb, RecordAt<FILE_STANDARD_INFORMATION>(record));
        break;
    case FilePositionInformation:
        fixed = sizeof(FILE_POSITION_INFORMATION);
        record.resize(fixed);
        RecordAt<FILE_POSITION_INFORMATION>(record)->CurrentByteOffset = fo->CurrentByteOffset;
        break;
    case FileNameInformation:
        fixed = offsetof(FILE_NAME_INFORMATION, FileName);
        record.resize(fixed);
        RecordAt<FILE_NAME_INFORMATION>(record)->FileNameLength = static_cast<ULONG>(path.size() * 2);
        AppendName(&record, path);
        break;
    case FileNetworkOpenInformation: {
        fixed = sizeof(FILE_NETWORK_OPEN_INFORMATION);
        record.resize(fixed);
        auto* n = RecordAt<FILE_NETWORK_OPEN_INFORMATION>(record);
        FILE_BASIC_INFORMATION b{};
        FILE_STANDARD_INFORMATION s{};
        FillBasic(st, &b);
        FillStandard(st, ccb->fcb, &s);
        n->CreationTime = b.CreationTime;
        n->LastAccessTime = b.LastAccessTime;
        n->LastWriteTime = b.LastWriteTime;
        n->ChangeTime = b.ChangeTime;
        n->AllocationSize = s.AllocationSize;
        n->EndOfFile = s.EndOfFile;
        n->FileAttributes = b.FileAttributes;
        break;
    }
    case FileAllInformation: {
        fixed = offsetof(FILE_ALL_INFORMATION, Name.FileName);
        record.resize(fixed);
        auto* a = RecordAt<FILE_ALL_INFORMATION>(record);
        FillBasic(st, &a->Basic);
        FillStandard(st, ccb->fcb, &a->Standard);
        a->IndexNumber.QuadPart = static_cast<LONGLONG>(st.st_ino);
        a->AccessFlags = ccb->access;
        a->CurrentByteOffset = fo->CurrentByteOffset;
        a->Mode = (fo->Flags & FO_SYNCHRONOUS_IO) ? ULONG{FILE_SYNCHRONOUS_IO_NONALERT} : 0u;
        a->Name.FileNameLength = static_cast<ULONG>(path.size() * 2);
        AppendName(&record, path);
        break;
    }
    default:
        std::fprintf(stderr, "hostfs: query information class %lu not supported\n",
                     static_cast<unsigned long>(stack->Parameters.QueryFile.FileInformationClass));
        return Complete(irp, STATUS_INVALID_PARAMETER);
    }
    return CompleteWithRecord(irp, record, fixed, length);
}

// ---- Set information ----

void Rekey(const std::string& oldHost, const std::string& newHost, const std::u16string& oldPath,
           const std::u16string& newPath)
{
    std::vector<Fcb*> moved;
    for (auto it = fcbs.begin(); it != fcbs.end();) {
        const std::string& k = it->first;
        if (k == oldHost || (k.size() > oldHost.size() && k.compare(0, oldHost.size(), oldHost) == 0 &&
                             k[oldHost.size()] == '/')) {
            moved.push_back(it->second);
            it = fcbs.erase(it);
        } else {
            ++it;
        }
    }
    for (Fcb* f : moved) {
        f->hostPath = newHost + f->hostPath.substr(oldHost.size());
        f->path = newPath + f->path.substr(oldPath.size());
        fcbs[f->hostPath] = f;
    }
}

NTSTATUS Rename(PIRP irp, Ccb* ccb, const FILE_RENAME_INFORMATION* info, ULONG length, PFILE_OBJECT target)
{
    if (length < offsetof(FILE_RENAME_INFORMATION, FileName) ||
        length - offsetof(FILE_RENAME_INFORMATION, FileName) < info->FileNameLength)
        return STATUS_INFO_LENGTH_MISMATCH;
    Fcb* fcb = ccb->fcb;
    if (!fcb || fcb->path == u"\\") return STATUS_INVALID_PARAMETER;
    std::u16string name(info->FileName, info->FileNameLength / sizeof(WCHAR));
    std::u16string targetPath;
    std::u16string parentOfSource = fcb->path.substr(0, fcb->path.rfind(u'\\'));
    if (target) {
        Ccb* dir = CcbOf(target);
        if (!dir || !dir->fcb || !dir->fcb->directory) return STATUS_INVALID_PARAMETER;
        if (dir->letter != ccb->letter) return STATUS_NOT_SAME_DEVICE;
        targetPath = dir->fcb->path + u"\\" + name.substr(name.rfind(u'\\') + 1);
    } else if (name.find(u'\\') == std::u16string::npos) {
        targetPath = parentOfSource + u"\\" + name;
    } else {
        // "\??\X:\dir\name" or "X:\dir\name" must stay on this drive.
        std::u16string rest = name;
        if (rest.compare(0, 4, u"\\??\\") == 0) rest = rest.substr(4);
        if (rest.size() >= 2 && rest[1] == u':') {
            if (cm::Upcase(rest[0]) != static_cast<WCHAR>(ccb->letter)) return STATUS_NOT_SAME_DEVICE;
            rest = rest.substr(2);
        }
        if (rest.empty() || rest[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
        targetPath = rest;
    }
    (void)irp;
    std::string folder = volumeFolders[ccb->letter - 'A'];
    Resolved r;
    NTSTATUS status = ResolvePath(folder, targetPath, &r);
    if (!NT_SUCCESS(status)) return status;
    if (r.root) return STATUS_OBJECT_NAME_INVALID;
    bool sameFile = r.exists && r.hostPath == fcb->hostPath;
    if (r.exists && !sameFile) {
        if (!info->ReplaceIfExists) return STATUS_OBJECT_NAME_COLLISION;
        if (S_ISDIR(r.st.st_mode) || fcbs.count(r.hostPath)) return STATUS_ACCESS_DENIED;
    }
    std::string newHost = r.parentHost + "/" + Narrow(targetPath.substr(targetPath.rfind(u'\\') + 1));
    std::u16string newPath = r.path.substr(0, r.path.rfind(u'\\')) + targetPath.substr(targetPath.rfind(u'\\'));
    if (r.exists && !sameFile && ::unlink(r.hostPath.c_str()) != 0) return FromErrno(errno);
    if (::rename(fcb->hostPath.c_str(), newHost.c_str()) != 0) return FromErrno(errno);
    Rekey(fcb->hostPath, newHost, fcb->path, newPath);
    return STATUS_SUCCESS;
}

NTSTATUS SetInformation(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT fo = stack->FileObject;
    ULONG length = stack->Parameters.SetFile.Length;
    Ccb* ccb = CcbOf(fo);
    PVOID buffer = RequestBuffer(irp);
    if (!ccb || !buffer) return Complete(irp, STATUS_INVALID_PARAMETER);
    std::lock_guard<std::mutex> lock(fsLock);
    Fcb* fcb = ccb->fcb;
    auto need = [&](ULONG size) { return length >= size; };
    switch (stack->Parameters.SetFile.FileInformationClass) {
    case FilePositionInformation: {
        if (!need(sizeof(FILE_POSITION_INFORMATION))) return Complete(irp, STATUS_INFO_LENGTH_MISMATCH);
        LARGE_INTEGER p = static_cast<FILE_POSITION_INFORMATION*>(buffer)->CurrentByteOffset;
        if (p.QuadPart < 0) return Complete(irp, STATUS_INVALID_PARAMETER);
        fo->CurrentByteOffset = p;
        return Complete(irp, STATUS_SUCCESS);
    }
    case FileEndOfFileInformation:
    case FileAllocationInformation: {
        if (!need(sizeof(LARGE_INTEGER))) return Complete(irp, STATUS_INFO_LENGTH_MISMATCH);
        if (!fcb || fcb->directory || ccb->fd < 0) return Complete(irp, STATUS_INVALID_PARAMETER);
        if (!(ccb->access & FILE_WRITE_DATA)) return Complete(irp, STATUS_ACCESS_DENIED);
        LONGLONG size = static_cast<LARGE_INTEGER*>(buffer)->QuadPart;
        if (size < 0) return Complete(irp, STATUS_INVALID_PARAMETER);
        struct stat st;
        if (::fstat(ccb->fd, &st) != 0) return Complete(irp, FromErrno(errno));
        bool endOfFile = stack->Parameters.SetFile.FileInformationClass == FileEndOfFileInformation;
        // An allocation size only ever cuts the file; it never grows it.
        if ((endOfFile || size < st.st_size) && ::ftruncate(ccb->fd, size) != 0)
            return Complete(irp, FromErrno(errno));
        return Complete(irp, STATUS_SUCCESS);
    }
    case FileDispositionInformation: {
        if (!need(sizeof(FILE_DISPOSITION_INFORMATION))) return Complete(irp, STATUS_INFO_LENGTH_MISMATCH);
        if (!fcb) return Complete(irp, STATUS_INVALID_PARAMETER);
        if (!(ccb->access & DELETE)) return Complete(irp, STATUS_ACCESS_DENIED);
        bool del = static_cast<FILE_DISPOSITION_INFORMATION*>(buffer)->DeleteFile;
        if (del && fcb->path == u"\\") return Complete(irp, STATUS_CANNOT_DELETE);
        if (del && fcb->directory) {
            NTSTATUS empty = DirectoryEmpty(fcb->hostPath);
            if (!NT_SUCCESS(empty)) return Complete(irp, empty);
        }
        fcb->deletePending = del;
        return Complete(irp, STATUS_SUCCESS);
    }
    case FileRenameInformation: {
        if (!(ccb->access & DELETE)) return Complete(irp, STATUS_ACCESS_DENIED);
        NTSTATUS status = Rename(irp, ccb, static_cast<FILE_RENAME_INFORMATION*>(buffer), length,
                                 stack->Parameters.SetFile.FileObject);
        return Complete(irp, status);
    }
    case FileBasicInformation: {
        if (!need(sizeof(FILE_BASIC_INFORMATION))) return Complete(irp, STATUS_INFO_LENGTH_MISMATCH);
        if (!fcb) return Complete(irp, STATUS_INVALID_PARAMETER);
        auto* b = static_cast<FILE_BASIC_INFORMATION*>(buffer);
        auto toTimespec = [](const LARGE_INTEGER& t) {
            struct timespec ts;
            if (t.QuadPart == 0 || t.QuadPart == -1) {
                ts.tv_sec = 0;
                ts.tv_nsec = UTIME_OMIT;
            } else {
                LONGLONG since1970 = t.QuadPart - 116444736000000000LL;
                ts.tv_sec = static_cast<time_t>(since1970 / 10000000);
                ts.tv_nsec = static_cast<long>(since1970 % 10000000) * 100;
            }
            return ts;
        };
        struct timespec times[2] = {toTimespec(b->LastAccessTime), toTimespec(b->LastWriteTime)};
        if (::utimensat(AT_FDCWD, fcb->hostPath.c_str(), times, 0) != 0) return Complete(irp, FromErrno(errno));
        if (b->FileAttributes && !fcb->directory) {
            struct stat st;
            if (::stat(fcb->hostPath.c_str(), &st) == 0) {
                mode_t mode = st.st_mode & 07777;
                mode = (b->FileAttributes & FILE_ATTRIBUTE_READONLY) ? (mode & ~0222) : (mode | S_IWUSR);
                ::chmod(fcb->hostPath.c_str(), mode);
            }
        }
        return Complete(irp, STATUS_SUCCESS);
    }
    default:
        std::fprintf(stderr, "hostfs: set information class %lu not supported\n",
                     static_cast<unsigned long>(stack->Parameters.SetFile.FileInformationClass));
        return Complete(irp, STATUS_INVALID_PARAMETER);
    }
}

// ---- Directory enumeration ----

NTSTATUS Snapshot(Ccb* ccb)
{
    ccb->entries.clear();
    ccb->next = 0;
    const Fcb* fcb = ccb->fcb;
    std::vector<DirEntry> found;
    if (fcb->path != u"\\") {
        // "." and "..", as the system's file systems list them, first.
        DirEntry self{u".", {}}, parent{u"..", {}};
        ::stat(fcb->hostPath.c_str(), &self.st);
        ::stat(fcb->hostPath.substr(0, fcb->hostPath.rfind('/')).c_str(), &parent.st);
        for (auto* e : {&self, &parent})
            if (Matches(ccb->pattern, 0, e->name, 0)) ccb->entries.push_back(*e);
    }
    std::vector<std::string> names;
    if (int error = ReadDirectory(fcb->hostPath, &names)) {
        ccb->entries.clear();
        return FromErrno(error);
    }
    for (const auto& n : names) {
        DirEntry entry{NtWiden(n), {}};
        if (!Matches(ccb->pattern, 0, entry.name, 0)) continue;
        if (::stat((fcb->hostPath + "/" + n).c_str(), &entry.st) != 0) continue;
        found.push_back(std::move(entry));
    }
    std::sort(found.begin(), found.end(),
              [](const DirEntry& a, const DirEntry& b) { return cm::CompareNames(a.name, b.name) < 0; });
    ccb->entries.insert(ccb->entries.end(), found.begin(), found.end());
    return STATUS_SUCCESS;
}

// One directory record of 'infoClass' for an entry; 'fixed' gets its fixed size.
bool BuildEntry(ULONG infoClass, const DirEntry& e, std::vector<UCHAR>* record, ULONG* fixed)
{
    FILE_BASIC_INFORMATION b{};
    FILE_STANDARD_INFORMATION s{};
    FillBasic(e.st, &b);
    FillStandard(e.st, nullptr, &s);
    ULONG nameBytes = static_cast<ULONG>(e.name.size() * 2);
    auto common = [&](auto* r) {
        r->CreationTime = b.CreationTime;
        r->LastAccessTime = b.LastAccessTime;
        r->LastWriteTime = b.LastWriteTime;
        r->ChangeTime = b.ChangeTime;
        r->EndOfFile = s.EndOfFile;
        r->AllocationSize = s.AllocationSize;
        r->FileAttributes = b.FileAttributes;
        r->FileNameLength = nameBytes;
    };
    switch (infoClass) {
    case FileDirectoryInformation:
        *fixed = offsetof(FILE_DIRECTORY_INFORMATION, FileName);
        record->assign(*fixed, 0);
        common(RecordAt<FILE_DIRECTORY_INFORMATION>(*record));
        break;
    case FileFullDirectoryInformation:
        *fixed = offsetof(FILE_FULL_DIR_INFORMATION, FileName);
        record->assign(*fixed, 0);
        common(RecordAt<FILE_FULL_DIR_INFORMATION>(*record));
        break;
    case FileBothDirectoryInformation:
        *fixed = offsetof(FILE_BOTH_DIR_INFORMATION, FileName);
        record->assign(*fixed, 0);
        common(RecordAt<FILE_BOTH_DIR_INFORMATION>(*record));
        break;
    case FileNamesInformation:
        *fixed = offsetof(FILE_NAMES_INFORMATION, FileName);
        record->assign(*fixed, 0);
        RecordAt<FILE_NAMES_INFORMATION>(*record)->FileNameLength = nameBytes;
        break;
    default:
        return false;
    }
    AppendName(record, e.name);
    return true;
}

NTSTATUS DirectoryControl(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction != kMinorQueryDirectory) {
        std::fprintf(stderr, "hostfs: directory control minor %u not supported\n", stack->MinorFunction);
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    Ccb* ccb = CcbOf(stack->FileObject);
    if (!ccb || !ccb->fcb || !ccb->fcb->directory) return Complete(irp, STATUS_INVALID_PARAMETER);
    ULONG infoClass = stack->Parameters.QueryDirectory.FileInformationClass;
    ULONG length = stack->Parameters.QueryDirectory.Length;
    std::vector<UCHAR> probe;
    ULONG fixed = 0;
    if (!BuildEntry(infoClass, DirEntry{}, &probe, &fixed)) {
        std::fprintf(stderr, "hostfs: directory information class %lu not supported\n",
                     static_cast<unsigned long>(infoClass));
        return Complete(irp, STATUS_INVALID_INFO_CLASS);
    }
    if (length < fixed) return Complete(irp, STATUS_INFO_LENGTH_MISMATCH);
    auto* buffer = static_cast<UCHAR*>(RequestBuffer(irp));
    if (!buffer) return Complete(irp, STATUS_INVALID_PARAMETER);

    std::lock_guard<std::mutex> lock(fsLock);
    bool first = !ccb->scanStarted;
    if (first || (stack->Flags & kRestartScan)) {
        PUNICODE_STRING pattern = stack->Parameters.QueryDirectory.FileName;
        if (pattern && pattern->Length)
            ccb->pattern.assign(pattern->Buffer, pattern->Length / sizeof(WCHAR));
        else if (first)
            ccb->pattern = u"*";
        NTSTATUS status = Snapshot(ccb);
        if (!NT_SUCCESS(status)) return Complete(irp, status);
        ccb->scanStarted = true;
    }
    if (ccb->next >= ccb->entries.size())
        return Complete(irp, first && ccb->entries.empty() ? STATUS_NO_SUCH_FILE : STATUS_NO_MORE_FILES);

    ULONG used = 0, previous = 0;
    bool any = false;
    std::vector<UCHAR> record;
    while (ccb->next < ccb->entries.size()) {
        BuildEntry(infoClass, ccb->entries[ccb->next], &record, &fixed);
        ULONG offset = any ? Align8(used) : 0;
        ULONG size = static_cast<ULONG>(record.size());
        if (!any && size > length) {
            // The first entry's name does not fit: what fits, and it is consumed.
            std::memcpy(buffer, record.data(), length);
            ccb->next++;
            return Complete(irp, STATUS_BUFFER_OVERFLOW, length);
        }
        if (offset + size > length) break;
        if (any) *reinterpret_cast<ULONG*>(buffer + previous) = offset - previous;
        std::memcpy(buffer + offset, record.data(), size);
        previous = offset;
        used = offset + size;
        any = true;
        ccb->next++;
        if (stack->Flags & kReturnSingleEntry) break;
    }
    return Complete(irp, STATUS_SUCCESS, used);
}

// ---- Volume information ----

NTSTATUS QueryVolume(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG length = stack->Parameters.QueryVolume.Length;
    std::string folder;
    {
        std::lock_guard<std::mutex> lock(fsLock);
        folder = volumeFolders[LetterOf(device) - 'A'];
    }
    struct statvfs vfs {};
    if (::statvfs(folder.c_str(), &vfs) != 0) return Complete(irp, FromErrno(errno));
    ULONGLONG total = static_cast<ULONGLONG>(vfs.f_blocks) * vfs.f_frsize / kClusterSize;
    ULONGLONG available = static_cast<ULONGLONG>(vfs.f_bavail) * vfs.f_frsize / kClusterSize;
    ULONGLONG free = static_cast<ULONGLONG>(vfs.f_bfree) * vfs.f_frsize / kClusterSize;
    std::vector<UCHAR> record;
    ULONG fixed;
    switch (stack->Parameters.QueryVolume.FsInformationClass) {
    case FileFsVolumeInformation: {
        fixed = offsetof(FILE_FS_VOLUME_INFORMATION, VolumeLabel);
        record.assign(fixed, 0);
        RecordAt<FILE_FS_VOLUME_INFORMATION>(record)->VolumeSerialNumber = 0x534F4C56u ^ static_cast<ULONG>(LetterOf(device));
        break;
    }
    case FileFsSizeInformation: {
        fixed = sizeof(FILE_FS_SIZE_INFORMATION);
        record.assign(fixed, 0);
        auto* s = RecordAt<FILE_FS_SIZE_INFORMATION>(record);
        s->TotalAllocationUnits.QuadPart = total;
        s->AvailableAllocationUnits.QuadPart = available;
        s->SectorsPerAllocationUnit = kClusterSize / kSectorSize;
        s->BytesPerSector = kSectorSize;
        break;
    }
    case FileFsFullSizeInformation: {
        fixed = sizeof(FILE_FS_FULL_SIZE_INFORMATION);
        record.assign(fixed, 0);
        auto* s = RecordAt<FILE_FS_FULL_SIZE_INFORMATION>(record);
        s->TotalAllocationUnits.QuadPart = total;
        s->CallerAvailableAllocationUnits.QuadPart = available;
        s->ActualAvailableAllocationUnits.QuadPart = free;
        s->SectorsPerAllocationUnit = kClusterSize / kSectorSize;
        s->BytesPerSector = kSectorSize;
        break;
    }
    case FileFsDeviceInformation: {
        fixed = sizeof(FILE_FS_DEVICE_INFORMATION);
        record.assign(fixed, 0);
        RecordAt<FILE_FS_DEVICE_INFORMATION>(record)->DeviceType = FILE_DEVICE_DISK;
        break;
    }
    case FileFsAttributeInformation: {
        fixed = offsetof(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName);
        record.assign(fixed, 0);
        auto* a = RecordAt<FILE_FS_ATTRIBUTE_INFORMATION>(record);
        a->FileSystemAttributes = kFileCasePreservedNames | kFileUnicodeOnDisk;
        a->MaximumComponentNameLength = 255;
        std::u16string name = u"NTFS";
        a->FileSystemNameLength = static_cast<ULONG>(name.size() * 2);
        AppendName(&record, name);
        break;
    }
    default:
        std::fprintf(stderr, "hostfs: volume information class %lu not supported\n",
                     static_cast<unsigned long>(stack->Parameters.QueryVolume.FsInformationClass));
        return Complete(irp, STATUS_INVALID_PARAMETER);
    }
    return CompleteWithRecord(irp, record, fixed, length);
}

NTSTATUS Unsupported(PDEVICE_OBJECT, PIRP irp)
{
    std::fprintf(stderr, "hostfs: request 0x%02x not supported\n", IoGetCurrentIrpStackLocation(irp)->MajorFunction);
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

void UnmapAll();

void DriverUnload(PDRIVER_OBJECT) { UnmapAll(); }

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->DriverUnload = DriverUnload;
    for (auto& f : driver->MajorFunction) f = Unsupported;
    driver->MajorFunction[IRP_MJ_CREATE] = Create;
    driver->MajorFunction[IRP_MJ_CLEANUP] = Cleanup;
    driver->MajorFunction[IRP_MJ_CLOSE] = Close;
    driver->MajorFunction[IRP_MJ_READ] = ReadWrite;
    driver->MajorFunction[IRP_MJ_WRITE] = ReadWrite;
    driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = Flush;
    driver->MajorFunction[IRP_MJ_QUERY_INFORMATION] = QueryInformation;
    driver->MajorFunction[IRP_MJ_SET_INFORMATION] = SetInformation;
    driver->MajorFunction[IRP_MJ_DIRECTORY_CONTROL] = DirectoryControl;
    driver->MajorFunction[IRP_MJ_QUERY_VOLUME_INFORMATION] = QueryVolume;
    hostFsDriver = driver;
    return STATUS_SUCCESS;
}

std::u16string DeviceName(char letter) { return u"\\Device\\HostVolume" + std::u16string(1, letter); }
std::u16string LinkName(char letter) { return u"\\??\\" + std::u16string(1, letter) + u":"; }

void Unmap(int index)
{
    PDEVICE_OBJECT device;
    {
        std::lock_guard<std::mutex> lock(fsLock);
        device = volumeDevices[index];
        volumeDevices[index] = nullptr;
        volumeFolders[index].clear();
    }
    if (!device) return;
    std::u16string link = LinkName(static_cast<char>('A' + index));
    UNICODE_STRING us{static_cast<USHORT>(link.size() * 2), static_cast<USHORT>(link.size() * 2), link.data()};
    IoDeleteSymbolicLink(&us);
    IoDeleteDevice(device);
}

void UnmapAll()
{
    for (int i = 0; i < 26; i++) Unmap(i);
}

bool MakeFolders(const std::string& path)
{
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (!partial.empty() && ::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

namespace nt {

NTSTATUS HostFsInitialize()
{
    PDRIVER_OBJECT driver;
    return IoCreateDriver(kDriverName, DriverEntry, &driver);
}

NTSTATUS HostFsMapDrive(char letter, const std::string& hostFolder)
{
    if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
    if (letter < 'A' || letter > 'Z' || !hostFsDriver) return STATUS_INVALID_PARAMETER;
    int index = letter - 'A';
    Unmap(index);
    if (hostFolder.empty()) return STATUS_SUCCESS;
    if (!MakeFolders(hostFolder)) return FromErrno(errno);
    char* real = ::realpath(hostFolder.c_str(), nullptr);
    if (!real) return FromErrno(errno);
    std::string folder = real;
    std::free(real);

    std::u16string deviceName = DeviceName(letter), link = LinkName(letter);
    UNICODE_STRING dn{static_cast<USHORT>(deviceName.size() * 2), static_cast<USHORT>(deviceName.size() * 2),
                      deviceName.data()};
    UNICODE_STRING ln{static_cast<USHORT>(link.size() * 2), static_cast<USHORT>(link.size() * 2), link.data()};
    PDEVICE_OBJECT device;
    NTSTATUS status =
        IoCreateDevice(hostFsDriver, sizeof(VolumeExtension), &dn, FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    static_cast<VolumeExtension*>(device->DeviceExtension)->letter = letter;
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    status = IoCreateSymbolicLink(&ln, &dn);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    std::lock_guard<std::mutex> lock(fsLock);
    volumeFolders[index] = folder;
    volumeDevices[index] = device;
    return STATUS_SUCCESS;
}

std::string HostFsDriveFolder(char letter)
{
    if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
    if (letter < 'A' || letter > 'Z') return {};
    std::lock_guard<std::mutex> lock(fsLock);
    return volumeFolders[letter - 'A'];
}

void HostFsShutdown()
{
    if (hostFsDriver) IoUnloadDriver(kDriverName);  // its unload removes the volumes
    std::lock_guard<std::mutex> lock(fsLock);
    for (auto& [path, fcb] : fcbs) {
        std::fprintf(stderr, "hostfs: %s still open at shutdown\n", path.c_str());
        (void)fcb;
    }
    fcbs.clear();  // the file objects that hold them are gone with the name space
    hostFsDriver = nullptr;
}

}  // namespace nt
