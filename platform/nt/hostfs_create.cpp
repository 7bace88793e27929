// The host file system: create, clean-up and close.
#include "hostfs_internal.h"

namespace hostfs {

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

}  // namespace hostfs
