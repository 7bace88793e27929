// RAM files of a media volume. Every byte of a buffer past the end of file
// is kept zero, so that growing the end of file or writing past it never
// shows what an earlier, longer version of the file held.

#include "zarfs_ramfile.h"
#include "zarfs_driver.h"

#include "include/zarfs_msg.h"
#include "zarfs_eventlog.h"
#include "zarfs_tag.h"

namespace {

constexpr ULONG kRamTag = ZarFsTag("Ifs ");

bool NamesEqual(PCUNICODE_STRING a, PCUNICODE_STRING b)
{
    if (a->Length != b->Length) return false;
    for (ULONG i = 0; i < a->Length / sizeof(WCHAR); ++i)
        if (RtlUpcaseUnicodeChar(a->Buffer[i]) != RtlUpcaseUnicodeChar(b->Buffer[i])) return false;
    return true;
}

ULONGLONG Smaller(ULONGLONG a, ULONGLONG b) { return a < b ? a : b; }

}  // namespace

void ZarFsVFInitHandler(ZARFS_RAM_FILE_LIST* list)
{
    InitializeListHead(&list->Files);
    list->Count = 0;
    list->Flags = ZARFS_RAM_LIST_INITIALIZED;
}

void ZarFsVFFreeHandler(ZARFS_RAM_FILE_LIST* list)
{
    if (!(list->Flags & ZARFS_RAM_LIST_INITIALIZED)) return;
    while (!IsListEmpty(&list->Files)) {
        PLIST_ENTRY e = RemoveHeadList(&list->Files);
        ZarFsVFFreeFile(CONTAINING_RECORD(e, ZARFS_RAM_FILE, Link));
    }
    list->Count = 0;
    list->Flags &= ~ZARFS_RAM_LIST_INITIALIZED;
}

NTSTATUS ZarFsVFCreateNewFile(ZARFS_RAM_FILE_LIST* list, PCUNICODE_STRING clip, PCUNICODE_STRING name,
                              ULONGLONG time, ULONG mostFiles, PVOID logObject, ZARFS_RAM_FILE** file)
{
    *file = nullptr;
    if (list->Count >= mostFiles) {
        ZarFsGlobLogEvent(logObject, ZARFS_MSG_VIRTUAL_FILE_ERROR, STATUS_ACCESS_DENIED, nullptr, 0,
                          "Virtual file limit exceeded", static_cast<const char*>(nullptr));
        return STATUS_ACCESS_DENIED;
    }
    auto* f = static_cast<ZARFS_RAM_FILE*>(ExAllocatePoolWithTag(PagedPool, sizeof(ZARFS_RAM_FILE), kRamTag));
    if (f == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(f, sizeof *f);
    NTSTATUS status = ZarFsCopyName(&f->ClipName, clip, kRamTag);
    if (NT_SUCCESS(status)) {
        f->Flags |= ZARFS_RAM_CLIP_NAME;
        status = ZarFsCopyName(&f->Name, name, kRamTag);
    }
    if (!NT_SUCCESS(status)) {
        ZarFsVFFreeFile(f);
        return status;
    }
    f->Flags |= ZARFS_RAM_NAME;
    f->Time = time;
    InsertHeadList(&list->Files, &f->Link);
    list->Count++;
    *file = f;
    return STATUS_SUCCESS;
}

BOOLEAN ZarFsVFFindFile(ZARFS_RAM_FILE_LIST* list, PCUNICODE_STRING clip, PCUNICODE_STRING name,
                        ZARFS_RAM_FILE** file, PULONG position)
{
    ULONG before = 0;
    for (PLIST_ENTRY e = list->Files.Flink; e != &list->Files; e = e->Flink) {
        auto* f = CONTAINING_RECORD(e, ZARFS_RAM_FILE, Link);
        if (!NamesEqual(&f->ClipName, clip)) continue;
        if (NamesEqual(&f->Name, name)) {
            *file = f;
            if (position != nullptr) *position = before;
            return TRUE;
        }
        ++before;
    }
    return FALSE;
}

BOOLEAN ZarFsVFFindNextFile(ZARFS_RAM_FILE_LIST* list, PCUNICODE_STRING clip, PULONG position,
                            ZARFS_RAM_FILE** file)
{
    ULONG at = 0;
    for (PLIST_ENTRY e = list->Files.Flink; e != &list->Files; e = e->Flink) {
        auto* f = CONTAINING_RECORD(e, ZARFS_RAM_FILE, Link);
        if (!NamesEqual(&f->ClipName, clip)) continue;
        if (at == *position) {
            *file = f;
            return TRUE;
        }
        ++at;
    }
    return FALSE;
}

NTSTATUS ZarFsVFRenamePath(ZARFS_RAM_FILE_LIST* list, PCUNICODE_STRING oldPath, PCUNICODE_STRING newPath)
{
    ULONG oldChars = oldPath->Length / sizeof(WCHAR);
    for (PLIST_ENTRY e = list->Files.Flink; e != &list->Files; e = e->Flink) {
        auto* f = CONTAINING_RECORD(e, ZARFS_RAM_FILE, Link);
        // The clip's name past its type folder: "\TGA" + "\<volume>\...".
        ULONG chars = f->ClipName.Length / sizeof(WCHAR);
        ULONG typeEnd = 1;
        while (typeEnd < chars && f->ClipName.Buffer[typeEnd] != u'\\') ++typeEnd;
        ULONG rest = chars - typeEnd;
        if (rest < oldChars || (rest > oldChars && f->ClipName.Buffer[typeEnd + oldChars] != u'\\')) continue;
        UNICODE_STRING part{USHORT(oldPath->Length), USHORT(oldPath->Length), f->ClipName.Buffer + typeEnd};
        if (!NamesEqual(&part, oldPath)) continue;
        ULONG newChars = chars - oldChars + newPath->Length / sizeof(WCHAR);
        if (newChars > 0x7FFE) return STATUS_NAME_TOO_LONG;
        auto* buffer =
            static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, (newChars + 1) * sizeof(WCHAR), kRamTag));
        if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        RtlCopyMemory(buffer, f->ClipName.Buffer, typeEnd * sizeof(WCHAR));
        RtlCopyMemory(buffer + typeEnd, newPath->Buffer, newPath->Length);
        RtlCopyMemory(buffer + typeEnd + newPath->Length / sizeof(WCHAR), f->ClipName.Buffer + typeEnd + oldChars,
                      (rest - oldChars) * sizeof(WCHAR));
        buffer[newChars] = 0;
        ExFreePoolWithTag(f->ClipName.Buffer, kRamTag);
        f->ClipName = {USHORT(newChars * sizeof(WCHAR)), USHORT((newChars + 1) * sizeof(WCHAR)), buffer};
    }
    return STATUS_SUCCESS;
}

BOOLEAN ZarFsVFIsOfClip(const ZARFS_RAM_FILE* file, PCUNICODE_STRING clipPath)
{
    ULONG chars = file->ClipName.Length / sizeof(WCHAR);
    ULONG typeEnd = 1;
    while (typeEnd < chars && file->ClipName.Buffer[typeEnd] != u'\\') ++typeEnd;
    UNICODE_STRING part{USHORT((chars - typeEnd) * sizeof(WCHAR)), USHORT((chars - typeEnd) * sizeof(WCHAR)),
                        file->ClipName.Buffer + typeEnd};
    return NamesEqual(&part, clipPath);
}

void ZarFsVFDeleteClipFiles(ZARFS_RAM_FILE_LIST* list, PCUNICODE_STRING clipPath)
{
    for (PLIST_ENTRY e = list->Files.Flink; e != &list->Files;) {
        auto* f = CONTAINING_RECORD(e, ZARFS_RAM_FILE, Link);
        e = e->Flink;
        if (ZarFsVFIsOfClip(f, clipPath)) ZarFsVFDeleteFile(list, f);
    }
}

void ZarFsVFDeleteFile(ZARFS_RAM_FILE_LIST* list, ZARFS_RAM_FILE* file)
{
    RemoveEntryList(&file->Link);
    if (list->Count != 0) list->Count--;
    ZarFsVFFreeFile(file);
}

void ZarFsVFFreeFile(ZARFS_RAM_FILE* file)
{
    if (file->Flags & ZARFS_RAM_BUFFER) ExFreePoolWithTag(file->Buffer, kRamTag);
    if (file->Flags & ZARFS_RAM_NAME) ExFreePoolWithTag(file->Name.Buffer, kRamTag);
    if (file->Flags & ZARFS_RAM_CLIP_NAME) ExFreePoolWithTag(file->ClipName.Buffer, kRamTag);
    ExFreePoolWithTag(file, kRamTag);
}

NTSTATUS ZarFsVFSetFileAllocation(ZARFS_RAM_FILE* file, ULONGLONG largest, ULONGLONG size)
{
    size = Smaller(size, largest);
    PUCHAR buffer = nullptr;
    if (size != 0) {
        buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, SIZE_T(size), kRamTag));
        if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    }
    // A shorter allocation cuts the end of file too: nothing may lie past the buffer.
    ULONGLONG kept = Smaller(file->EndOfFile, size);
    if (kept != 0) RtlCopyMemory(buffer, file->Buffer, SIZE_T(kept));
    if (size > kept) RtlZeroMemory(buffer + kept, SIZE_T(size - kept));
    if (file->Flags & ZARFS_RAM_BUFFER) ExFreePoolWithTag(file->Buffer, kRamTag);
    file->Buffer = buffer;
    file->Flags = buffer != nullptr ? file->Flags | ZARFS_RAM_BUFFER : file->Flags & ~ZARFS_RAM_BUFFER;
    file->Allocation = ULONG(size);
    file->EndOfFile = kept;
    return STATUS_SUCCESS;
}

NTSTATUS ZarFsVFSetEndOfFile(ZARFS_RAM_FILE* file, ULONGLONG largest, ULONGLONG size)
{
    size = Smaller(size, largest);
    if (size > file->Allocation) {
        NTSTATUS status = ZarFsVFSetFileAllocation(file, largest, size);
        if (!NT_SUCCESS(status)) return status;
    }
    if (size < file->EndOfFile) RtlZeroMemory(file->Buffer + size, SIZE_T(file->EndOfFile - size));
    file->EndOfFile = size;
    return STATUS_SUCCESS;
}

NTSTATUS ZarFsVFReadFile(ZARFS_RAM_FILE* file, PUCHAR buffer, ULONGLONG offset, PULONG length)
{
    if (*length == 0 || offset >= file->EndOfFile) {
        *length = 0;
        return STATUS_END_OF_FILE;
    }
    ULONG count = ULONG(Smaller(*length, file->EndOfFile - offset));
    RtlCopyMemory(buffer, file->Buffer + offset, count);
    *length = count;
    return STATUS_SUCCESS;
}

NTSTATUS ZarFsVFWriteFile(ZARFS_RAM_FILE* file, const UCHAR* buffer, ULONGLONG offset, PULONG length,
                          ULONGLONG largest)
{
    ULONGLONG end = offset + *length;
    if (end > file->Allocation && file->Allocation < largest) {
        ULONGLONG grown = ULONGLONG(file->Allocation) + ZARFS_RAM_GROWTH;
        NTSTATUS status = ZarFsVFSetFileAllocation(file, largest, end > grown ? end : grown);
        if (!NT_SUCCESS(status)) {
            *length = 0;
            return status;
        }
    }
    if (*length == 0 || offset >= file->Allocation) {
        *length = 0;
        return STATUS_END_OF_FILE;
    }
    ULONG count = ULONG(Smaller(*length, file->Allocation - offset));
    RtlCopyMemory(file->Buffer + offset, buffer, count);
    if (offset + count > file->EndOfFile) file->EndOfFile = offset + count;
    *length = count;
    return STATUS_SUCCESS;
}
