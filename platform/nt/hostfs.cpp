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
#include "hostfs_internal.h"

namespace hostfs {

std::mutex fsLock;  // FCBs, volumes; never held across a call into another driver
std::map<std::string, Fcb*> fcbs;
std::string volumeFolders[26];
PDEVICE_OBJECT volumeDevices[26];
PDRIVER_OBJECT hostFsDriver;

}  // namespace hostfs

namespace nt {
const char16_t kHostFsDriverName[] = u"HostFs";
}  // namespace nt

namespace hostfs {
namespace {
const std::u16string kDriverName = nt::kHostFsDriverName;
}  // namespace

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

namespace {

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

}  // namespace hostfs

namespace nt {

using namespace hostfs;

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
