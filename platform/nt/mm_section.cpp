// Sections: named or unnamed shared memory backed by the page file. Each
// section is one anonymous memory file (memfd), and every view is a real
// shared mapping of it, so views see each other's writes, and a later host
// mode can hand the same file to a client process. Named sections live in
// the object manager (\BaseNamedObjects), so a name means one section to
// every process and driver. The Zw forms are the kernel's (handles and
// pointers trusted), the Nt forms user mode's (pointers probed, the caller's
// handle rights checked).
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <mutex>

#include "mm_private.h"
#include "nt_internal.h"
#include "nt_mm.h"
#include "nt_syscall.h"
#include "nt_zw.h"

namespace {

struct SectionObject {
    int fd;
    ULONGLONG size;
    ULONG protection;  // PAGE_READONLY or PAGE_READWRITE
};

void DeleteSection(PVOID body)
{
    auto* s = static_cast<SectionObject*>(body);
    if (s->fd > 0) close(s->fd);
    s->fd = -1;
}

OBJECT_TYPE sectionType = {
    "Section",
    DeleteSection,
    nullptr,
    nullptr,
    false,
    ACCESS_MASK{READ_CONTROL} | SECTION_QUERY | SECTION_MAP_READ,
    ACCESS_MASK{READ_CONTROL} | SECTION_MAP_WRITE,
    ACCESS_MASK{READ_CONTROL} | SECTION_MAP_EXECUTE,
    SECTION_ALL_ACCESS,
};

struct View {
    ULONG_PTR end;
    SectionObject* section;  // referenced while mapped
    PEPROCESS process;
};
std::mutex viewLock;
std::map<ULONG_PTR, View>& Views()
{
    static auto* views = new std::map<ULONG_PTR, View>;
    return *views;
}

NTSTATUS CreateSection(KPROCESSOR_MODE mode, PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                       LONGLONG maximumSize, ULONG protection, ULONG allocationAttributes, HANDLE fileHandle)
{
    if (fileHandle) {
        fprintf(stderr, "mm: sections backed by a data file are not supported\n");
        return STATUS_NOT_IMPLEMENTED;
    }
    if (maximumSize <= 0) return STATUS_INVALID_PARAMETER;
    if (static_cast<ULONGLONG>(maximumSize) > 0x7FFF0000u) return STATUS_SECTION_TOO_BIG;
    if (protection != PAGE_READONLY && protection != PAGE_READWRITE) return STATUS_INVALID_PAGE_PROTECTION;
    if (allocationAttributes & ~SEC_COMMIT) return STATUS_INVALID_PARAMETER;

    // Sealed at its size: a process it is handed to (a machine host's
    // client) can neither shrink it under another's view nor grow it.
    int fd = memfd_create("section", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) return STATUS_INSUFFICIENT_RESOURCES;
    if (ftruncate(fd, maximumSize) != 0 || fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
        close(fd);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PVOID body = nullptr;
    NTSTATUS status = ObCreateObject(MmSectionObjectType, attributes, mode, sizeof(SectionObject), &body);
    if (!NT_SUCCESS(status)) {
        close(fd);
        return status;
    }
    auto* s = static_cast<SectionObject*>(body);
    s->fd = fd;
    s->size = static_cast<ULONGLONG>(maximumSize);
    s->protection = protection;
    return ObInsertObject(body, access, attributes ? attributes->Attributes : 0, handle);
}

NTSTATUS ReferenceProcess(HANDLE process, KPROCESSOR_MODE mode, PEPROCESS* referenced)
{
    if (process == NtCurrentProcess()) {
        *referenced = PsGetCurrentProcess();
        ObReferenceObject(*referenced);
        return STATUS_SUCCESS;
    }
    constexpr ACCESS_MASK kProcessVmOperation = 0x0008;
    return ObReferenceObjectByHandle(process, kProcessVmOperation, PsProcessType, mode,
                                     reinterpret_cast<PVOID*>(referenced), nullptr);
}

NTSTATUS MapView(KPROCESSOR_MODE mode, HANDLE sectionHandle, HANDLE processHandle, PVOID* baseAddress,
                 LONGLONG offset, SIZE_T* viewSize, ULONG protect)
{
    bool write = protect == PAGE_READWRITE;
    if (!write && protect != PAGE_READONLY) return STATUS_INVALID_PAGE_PROTECTION;
    PVOID body = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(sectionHandle, ACCESS_MASK{SECTION_MAP_READ} | (write ? ACCESS_MASK{SECTION_MAP_WRITE} : 0),
                                                MmSectionObjectType, mode, &body, nullptr);
    if (!NT_SUCCESS(status)) return status;
    auto* s = static_cast<SectionObject*>(body);
    PEPROCESS process = nullptr;
    status = ReferenceProcess(processHandle, mode, &process);
    auto fail = [&](NTSTATUS why) {
        if (process) ObDereferenceObject(process);
        ObDereferenceObject(body);
        return why;
    };
    if (!NT_SUCCESS(status)) return fail(status);
    if (write && s->protection != PAGE_READWRITE) return fail(STATUS_SECTION_PROTECTION);
    if (offset < 0 || offset % MM_ALLOCATION_GRANULARITY) return fail(STATUS_MAPPED_ALIGNMENT);
    if (static_cast<ULONGLONG>(offset) >= s->size) return fail(STATUS_INVALID_VIEW_SIZE);
    ULONGLONG wanted = *viewSize ? *viewSize : s->size - offset;
    if (offset + wanted > s->size) return fail(STATUS_INVALID_VIEW_SIZE);
    auto size = static_cast<SIZE_T>(ROUND_TO_PAGES(wanted));
    if (*baseAddress && reinterpret_cast<ULONG_PTR>(*baseAddress) % MM_ALLOCATION_GRANULARITY)
        return fail(STATUS_MAPPED_ALIGNMENT);

    int prot = PROT_READ | (write ? PROT_WRITE : 0);
    int flags = MAP_SHARED | (*baseAddress ? MAP_FIXED_NOREPLACE : 0);
    void* at = mmap(*baseAddress, size, prot, flags, s->fd, offset);
    if (at == MAP_FAILED) return fail(errno == EEXIST ? NTSTATUS{STATUS_CONFLICTING_ADDRESSES} : NTSTATUS{STATUS_NO_MEMORY});
    if (*baseAddress && at != *baseAddress) {  // a kernel that took the address as a hint only
        munmap(at, size);
        return fail(STATUS_CONFLICTING_ADDRESSES);
    }
    {
        std::lock_guard<std::mutex> g(viewLock);
        Views()[reinterpret_cast<ULONG_PTR>(at)] = {reinterpret_cast<ULONG_PTR>(at) + size, s, process};
    }
    ObDereferenceObject(process);  // views are per process, but do not keep it alive
    *baseAddress = at;
    *viewSize = size;
    return STATUS_SUCCESS;
}

}  // namespace

// The same memory file opened anew for reading only: a view mapped from it
// can never be made writable, whatever its holder does.
static int ReadOnlyDescriptor(int fd)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    return open(path, O_RDONLY | O_CLOEXEC);
}

NTSTATUS MmSectionFileForView(HANDLE sectionHandle, ULONG protect, LONGLONG offset, SIZE_T* viewSize, int* fd)
{
    bool write = protect == PAGE_READWRITE;
    if (!write && protect != PAGE_READONLY) return STATUS_INVALID_PAGE_PROTECTION;
    PVOID body = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(sectionHandle, ACCESS_MASK{SECTION_MAP_READ} | (write ? ACCESS_MASK{SECTION_MAP_WRITE} : 0),
                                                MmSectionObjectType, UserMode, &body, nullptr);
    if (!NT_SUCCESS(status)) return status;
    auto* s = static_cast<SectionObject*>(body);
    ULONGLONG wanted = *viewSize ? *viewSize : s->size - (offset >= 0 ? ULONGLONG(offset) : 0);
    if (write && s->protection != PAGE_READWRITE) status = STATUS_SECTION_PROTECTION;
    else if (offset < 0 || offset % MM_ALLOCATION_GRANULARITY) status = STATUS_MAPPED_ALIGNMENT;
    else if (ULONGLONG(offset) >= s->size || offset + wanted > s->size) status = STATUS_INVALID_VIEW_SIZE;
    else if ((*fd = write ? fcntl(s->fd, F_DUPFD_CLOEXEC, 0) : ReadOnlyDescriptor(s->fd)) < 0)
        status = STATUS_INSUFFICIENT_RESOURCES;
    if (NT_SUCCESS(status)) *viewSize = static_cast<SIZE_T>(ROUND_TO_PAGES(wanted));
    ObDereferenceObject(body);
    return status;
}

namespace {

NTSTATUS UnmapView(KPROCESSOR_MODE mode, HANDLE processHandle, PVOID baseAddress)
{
    PEPROCESS process = nullptr;
    NTSTATUS status = ReferenceProcess(processHandle, mode, &process);
    if (!NT_SUCCESS(status)) return status;
    ObDereferenceObject(process);
    auto va = reinterpret_cast<ULONG_PTR>(baseAddress);
    SectionObject* section = nullptr;
    {
        std::lock_guard<std::mutex> g(viewLock);
        auto it = Views().upper_bound(va);
        if (it == Views().begin()) return STATUS_NOT_MAPPED_VIEW;
        --it;
        if (va >= it->second.end || it->second.process != process) return STATUS_NOT_MAPPED_VIEW;
        munmap(reinterpret_cast<void*>(it->first), it->second.end - it->first);
        section = it->second.section;
        Views().erase(it);
    }
    ObDereferenceObject(section);
    return STATUS_SUCCESS;
}

}  // namespace

POBJECT_TYPE MmSectionObjectType = &sectionType;

NTSTATUS ZwCreateSection(PHANDLE section, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                         PLARGE_INTEGER maximumSize, ULONG pageProtection, ULONG allocationAttributes,
                         HANDLE fileHandle)
{
    return CreateSection(KernelMode, section, access, attributes, maximumSize ? maximumSize->QuadPart : 0,
                         pageProtection, allocationAttributes, fileHandle);
}

NTSTATUS ZwOpenSection(PHANDLE section, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes)
{
    return ObOpenObjectByName(attributes, MmSectionObjectType, KernelMode, access, nullptr, section);
}

NTSTATUS ZwMapViewOfSection(HANDLE section, HANDLE process, PVOID* baseAddress, ULONG_PTR /*zeroBits*/,
                            SIZE_T /*commitSize*/, PLARGE_INTEGER sectionOffset, PSIZE_T viewSize,
                            SECTION_INHERIT /*inherit*/, ULONG /*allocationType*/, ULONG protect)
{
    return MapView(KernelMode, section, process, baseAddress, sectionOffset ? sectionOffset->QuadPart : 0, viewSize,
                   protect);
}

NTSTATUS ZwUnmapViewOfSection(HANDLE process, PVOID baseAddress)
{
    return UnmapView(KernelMode, process, baseAddress);
}

// ---- The system-call forms: every pointer is the caller's and is probed;
// results go back only through them.

NTSTATUS NtCreateSection(PHANDLE section, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                         PLARGE_INTEGER maximumSize, ULONG pageProtection, ULONG allocationAttributes,
                         HANDLE fileHandle)
{
    LONGLONG size = 0;
    NTSTATUS status = SehTry([&] {
        ProbeForWrite(section, sizeof(HANDLE), alignof(HANDLE));
        if (maximumSize) {
            ProbeForRead(maximumSize, sizeof(LARGE_INTEGER), 4);
            size = maximumSize->QuadPart;
        }
    });
    if (!NT_SUCCESS(status)) return status;
    HANDLE handle = nullptr;
    status = CreateSection(UserMode, &handle, access, attributes, size, pageProtection, allocationAttributes,
                           fileHandle);
    if (NT_SUCCESS(status)) *section = handle;
    return status;
}

NTSTATUS NtOpenSection(PHANDLE section, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes)
{
    NTSTATUS status = SehTry([&] { ProbeForWrite(section, sizeof(HANDLE), alignof(HANDLE)); });
    if (!NT_SUCCESS(status)) return status;
    HANDLE handle = nullptr;
    status = ObOpenObjectByName(attributes, MmSectionObjectType, UserMode, access, nullptr, &handle);
    if (NT_SUCCESS(status)) *section = handle;
    return status;
}

NTSTATUS NtMapViewOfSection(HANDLE section, HANDLE process, PVOID* baseAddress, ULONG_PTR /*zeroBits*/,
                            SIZE_T /*commitSize*/, PLARGE_INTEGER sectionOffset, PSIZE_T viewSize,
                            SECTION_INHERIT /*inherit*/, ULONG /*allocationType*/, ULONG protect)
{
    PVOID base = nullptr;
    SIZE_T size = 0;
    LONGLONG offset = 0;
    NTSTATUS status = SehTry([&] {
        ProbeForWrite(baseAddress, sizeof(PVOID), alignof(PVOID));
        ProbeForWrite(viewSize, sizeof(SIZE_T), alignof(SIZE_T));
        base = *baseAddress;
        size = *viewSize;
        if (sectionOffset) {
            ProbeForRead(sectionOffset, sizeof(LARGE_INTEGER), 4);
            offset = sectionOffset->QuadPart;
        }
    });
    if (!NT_SUCCESS(status)) return status;
    status = MapView(UserMode, section, process, &base, offset, &size, protect);
    if (NT_SUCCESS(status)) {
        *baseAddress = base;
        *viewSize = size;
    }
    return status;
}

NTSTATUS NtUnmapViewOfSection(HANDLE process, PVOID baseAddress)
{
    return UnmapView(UserMode, process, baseAddress);
}

void MmUnmapProcessViews(PEPROCESS process)
{
    std::vector<SectionObject*> released;
    {
        std::lock_guard<std::mutex> g(viewLock);
        for (auto it = Views().begin(); it != Views().end();) {
            if (it->second.process != process) {
                ++it;
                continue;
            }
            munmap(reinterpret_cast<void*>(it->first), it->second.end - it->first);
            released.push_back(it->second.section);
            it = Views().erase(it);
        }
    }
    for (auto* s : released) ObDereferenceObject(s);
}
