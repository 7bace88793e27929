// The host file system: directory enumeration.
#include "hostfs_internal.h"
#include "nt_fsrtl.h"

namespace hostfs {

// ---- Directory enumeration ----

// The query's expression (with the DOS wildcards Win32 patterns become)
// against a name, by the system's rules, case ignored.
static bool Matches(const std::u16string& expression, const std::u16string& name)
{
    UNICODE_STRING e{USHORT(expression.size() * 2), USHORT(expression.size() * 2),
                     const_cast<PWSTR>(expression.data())};
    UNICODE_STRING n{USHORT(name.size() * 2), USHORT(name.size() * 2), const_cast<PWSTR>(name.data())};
    return FsRtlIsNameInExpression(&e, &n, TRUE, nullptr);
}

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
            if (Matches(ccb->pattern, e->name)) ccb->entries.push_back(*e);
    }
    std::vector<std::string> names;
    if (int error = ReadDirectory(fcb->hostPath, &names)) {
        ccb->entries.clear();
        return FromErrno(error);
    }
    for (const auto& n : names) {
        DirEntry entry{NtWiden(n), {}};
        if (!Matches(ccb->pattern, entry.name)) continue;
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

}  // namespace hostfs
