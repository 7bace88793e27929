// The host file system: small helpers, names and paths resolved against
// the host folder, the wildcard rules, and the FCBs and CCBs.
#include "hostfs_internal.h"

namespace hostfs {

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

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
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

}  // namespace hostfs
