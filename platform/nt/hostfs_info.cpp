// The host file system: query and set information of files, and the
// volume information.
#include "hostfs_internal.h"

namespace hostfs {

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

}  // namespace hostfs
