// Reading the body-table backup file.

#include "zarfs_backup.h"

#include <cstring>

namespace {

constexpr ULONG kTag = ZarFsTag("BTBK");

// The next path element from 'pos' up to '\' or the end; false when empty
// or longer than a name.
bool TakeElement(const WCHAR* path, ULONG* pos, WCHAR (&out)[ZARFS_NAME_CHARS], PULONG chars)
{
    ULONG start = *pos, end = start;
    while (end < ZARFS_BACKUP_PATH_CHARS && path[end] != 0 && path[end] != u'\\') ++end;
    ULONG n = end - start;
    if (n == 0 || n > ZARFS_NAME_CHARS) return false;
    ZarFsHwStoreName(out, path + start, n);
    *chars = n;
    *pos = end < ZARFS_BACKUP_PATH_CHARS && path[end] == u'\\' ? end + 1 : end;
    return true;
}

}  // namespace

BOOLEAN ZarFsParseBTBackup(const UCHAR* bytes, ULONG length, ZARFS_BT_BACKUP** backup)
{
    *backup = nullptr;
    if (length <= ZARFS_BACKUP_HEADER_BYTES) return FALSE;
    WCHAR path[ZARFS_BACKUP_PATH_CHARS];
    std::memcpy(path, bytes, sizeof path);
    if (path[1] != u':' || path[2] != u'\\' || path[6] != u'\\') return FALSE;
    ULONG count;
    std::memcpy(&count, bytes + ZARFS_BACKUP_COUNT_OFFSET, sizeof count);
    ULONG dataBytes = length - ZARFS_BACKUP_HEADER_BYTES;
    // The node data must hold every node the header counts.
    if (count == 0 || count > dataBytes / sizeof(ULONG)) return FALSE;

    auto* b = static_cast<ZARFS_BT_BACKUP*>(ExAllocatePoolWithTag(PagedPool, sizeof(ZARFS_BT_BACKUP), kTag));
    if (b == nullptr) return FALSE;
    RtlZeroMemory(b, sizeof *b);
    ULONG pos = 7;
    if (!TakeElement(path, &pos, b->Volume, &b->VolumeChars) || !TakeElement(path, &pos, b->Folder, &b->FolderChars) ||
        !TakeElement(path, &pos, b->File, &b->FileChars)) {
        ExFreePoolWithTag(b, kTag);
        return FALSE;
    }
    b->DriveLetter = RtlUpcaseUnicodeChar(path[0]);
    b->Alpha = bytes[ZARFS_BACKUP_ALPHA_OFFSET] != 0;
    b->NodeCount = count;
    b->NodeBytes = dataBytes;
    b->Nodes = static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, dataBytes, kTag));
    if (b->Nodes == nullptr) {
        ExFreePoolWithTag(b, kTag);
        return FALSE;
    }
    std::memcpy(b->Nodes, bytes + ZARFS_BACKUP_HEADER_BYTES, dataBytes);
    *backup = b;
    return TRUE;
}

void ZarFsFreeBTBackup(ZARFS_BT_BACKUP* backup)
{
    if (backup == nullptr) return;
    if (backup->Nodes != nullptr) ExFreePoolWithTag(backup->Nodes, kTag);
    ExFreePoolWithTag(backup, kTag);
}

void ZarFsBTBackupFileName(ULONG card, WCHAR (&name)[ZARFS_BACKUP_NAME_CHARS])
{
    // Board 0 keeps the name recorders have always used.
    const char* head = "\\SystemRoot\\system32\\drivers\\!KIVBKUP";
    ULONG i = 0;
    for (const char* p = head; *p; ++p) name[i++] = WCHAR(*p);
    if (card != 0) {
        WCHAR digits[10];
        ULONG n = 0;
        for (ULONG v = card; v != 0; v /= 10) digits[n++] = WCHAR(u'0' + v % 10);
        while (n > 0) name[i++] = digits[--n];
    }
    for (const char* p = ".!BT"; *p; ++p) name[i++] = WCHAR(*p);
    name[i] = 0;
}

NTSTATUS ZarFsGetBTBackupFileDetails(ULONG card, ZARFS_BT_BACKUP** backup)
{
    *backup = nullptr;
    WCHAR path[ZARFS_BACKUP_NAME_CHARS];
    ZarFsBTBackupFileName(card, path);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb;
    HANDLE file = nullptr;
    // Deleted when closed: a backup is restored at most once.
    NTSTATUS status = ZwCreateFile(&file, GENERIC_READ | DELETE | SYNCHRONIZE, &attributes, &iosb, nullptr, 0,
                                   FILE_SHARE_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT | FILE_DELETE_ON_CLOSE,
                                   nullptr, 0);
    if (!NT_SUCCESS(status)) return STATUS_SUCCESS;

    FILE_STANDARD_INFORMATION info{};
    status = ZwQueryInformationFile(file, &iosb, &info, sizeof info, FileStandardInformation);
    ULONGLONG size = NT_SUCCESS(status) ? ULONGLONG(info.EndOfFile.QuadPart) : 0;
    if (size > ZARFS_BACKUP_HEADER_BYTES && size < 0x10000000ULL) {
        auto* bytes = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, ULONG(size), kTag));
        if (bytes != nullptr) {
            LARGE_INTEGER offset{};
            status = ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, bytes, ULONG(size), &offset, nullptr);
            if (NT_SUCCESS(status) && iosb.Information == size) ZarFsParseBTBackup(bytes, ULONG(size), backup);
            ExFreePoolWithTag(bytes, kTag);
        }
    }
    ZwClose(file);
    return STATUS_SUCCESS;
}
