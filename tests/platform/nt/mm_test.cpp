// Memory manager: structured exception handling, user-buffer probes, MDLs
// and page locking, sections.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/support/bugcheck.h"
#include "platform/nt/nt_internal.h"
#include "platform/nt/nt_mm.h"
#include "platform/nt/nt_syscall.h"

namespace {

// Runs 'f' and returns the stop code it bug-checked with (0: none).

// Three pages: read/write, read-only, no access.
struct Pages {
    Pages()
    {
        base = static_cast<char*>(mmap(nullptr, 3 * PAGE_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        std::memset(base, 0x5A, 2 * PAGE_SIZE);
        mprotect(readOnly(), PAGE_SIZE, PROT_READ);
        mprotect(noAccess(), PAGE_SIZE, PROT_NONE);
    }
    ~Pages() { munmap(base, 3 * PAGE_SIZE); }
    char* readWrite() { return base; }
    char* readOnly() { return base + PAGE_SIZE; }
    char* noAccess() { return base + 2 * PAGE_SIZE; }
    char* base;
};

TEST(SehTry, ProbesGiveTheStatusOfTheirFirstFault)
{
    Pages p;
    auto top = reinterpret_cast<char*>(MmUserProbeAddress);
    struct Case {
        const char* what;
        volatile void* address;
        SIZE_T length;
        ULONG alignment;
        bool write;
        NTSTATUS expected;
    } cases[] = {
        {"good read", p.readWrite() + 8, 64, 4, false, STATUS_SUCCESS},
        {"good write", p.readWrite() + 8, 64, 4, true, STATUS_SUCCESS},
        {"read of read-only", p.readOnly(), PAGE_SIZE, 1, false, STATUS_SUCCESS},
        {"write of read-only", p.readOnly(), 16, 1, true, STATUS_ACCESS_VIOLATION},
        {"range runs into a no-access page", p.readOnly() + PAGE_SIZE - 8, 16, 1, false, STATUS_ACCESS_VIOLATION},
        {"no-access page", p.noAccess(), 4, 4, false, STATUS_ACCESS_VIOLATION},
        {"misaligned", p.readWrite() + 2, 8, 4, false, STATUS_DATATYPE_MISALIGNMENT},
        {"misaligned and bad: alignment first", p.noAccess() + 1, 4, 4, true, STATUS_DATATYPE_MISALIGNMENT},
        {"above the user-probe limit", top, 16, 1, false, STATUS_ACCESS_VIOLATION},
        {"wraps", reinterpret_cast<void*>(0xFFFFF000), 0x2000, 1, false, STATUS_ACCESS_VIOLATION},
        {"zero length at a bad address", p.noAccess(), 0, 4, true, STATUS_SUCCESS},
    };
    for (auto& c : cases) {
        NTSTATUS status = SehTry([&] {
            if (c.write) ProbeForWrite(c.address, c.length, c.alignment);
            else ProbeForRead(c.address, c.length, c.alignment);
        });
        EXPECT_EQ(status, c.expected) << c.what;
    }
    // A write probe changes nothing it touches.
    EXPECT_EQ(p.readWrite()[8], 0x5A);
    // And the process goes on using memory normally.
    p.readWrite()[0] = 1;
    EXPECT_EQ(p.readWrite()[0], 1);
}

TEST(SehTry, DirectFaultsAndRaisesUnwindOnlyTheInnermostFrame)
{
    Pages p;
    std::vector<std::string> trail;
    NTSTATUS outer = SehTry([&] {
        NTSTATUS inner = SehTry([&] {
            trail.push_back("inner");
            *reinterpret_cast<volatile char*>(p.noAccess()) = 1;
            trail.push_back("not reached");
        });
        trail.push_back(NtStatusName(inner));
        inner = SehTry([&] { ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES); });
        trail.push_back(NtStatusName(inner));
        EXPECT_EQ(SehTry([] {}), STATUS_SUCCESS);
        // With the inner frames gone, the next raise reaches the outer one.
        ExRaiseStatus(STATUS_DATATYPE_MISALIGNMENT);
    });
    EXPECT_EQ(outer, STATUS_DATATYPE_MISALIGNMENT);
    EXPECT_EQ(trail, (std::vector<std::string>{"inner", "STATUS_ACCESS_VIOLATION", "STATUS_INSUFFICIENT_RESOURCES"}));
}

TEST(SehTry, RaiseWithoutAFrameIsABugCheckEvenAfterAnExceptionLeftOne)
{
    EXPECT_EQ(BugCheckOf([] { ExRaiseStatus(STATUS_ACCESS_VIOLATION); }), ULONG{KMODE_EXCEPTION_NOT_HANDLED});
    // A C++ exception thrown through a frame must not leave the frame behind.
    EXPECT_THROW(SehTry([] { throw std::runtime_error("x"); }), std::runtime_error);
    EXPECT_EQ(BugCheckOf([] { ExRaiseStatus(STATUS_UNSUCCESSFUL); }), ULONG{KMODE_EXCEPTION_NOT_HANDLED});
}

TEST(SehTry, EachThreadFaultsIntoItsOwnFrame)
{
    Pages p;
    std::atomic<int> caught{0}, wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; i++) {
                NTSTATUS s = SehTry([&] {
                    if (i % 2) (void)*reinterpret_cast<volatile char*>(p.noAccess() + i);
                    else ExRaiseStatus(STATUS_END_OF_FILE);
                });
                if (s == (i % 2 ? STATUS_ACCESS_VIOLATION : STATUS_END_OF_FILE)) caught++;
                else wrong++;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(caught, 800);
    EXPECT_EQ(wrong, 0);
}

TEST(SehTryDeathTest, FaultOutsideAFrameStillCrashes)
{
    SehTry([] {});  // the handler is installed
    static volatile ULONG_PTR nowhere = 0x10;
    EXPECT_DEATH(*reinterpret_cast<volatile int*>(nowhere) = 1, "");
}

TEST(Mdl, DescribesTheBufferAndLinksIntoTheIrp)
{
    alignas(4096) static char buffer[3 * PAGE_SIZE];
    IRP irp{};
    PMDL first = IoAllocateMdl(buffer + 100, 2 * PAGE_SIZE, FALSE, FALSE, &irp);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(irp.MdlAddress, first);
    EXPECT_EQ(first->StartVa, buffer);
    EXPECT_EQ(MmGetMdlByteOffset(first), 100u);
    EXPECT_EQ(MmGetMdlByteCount(first), 2 * PAGE_SIZE);
    EXPECT_EQ(MmGetMdlVirtualAddress(first), buffer + 100);
    EXPECT_EQ(first->Size, static_cast<SHORT>(sizeof(MDL) + 3 * sizeof(PFN_NUMBER)));
    PMDL second = IoAllocateMdl(buffer, 10, TRUE, FALSE, &irp);
    EXPECT_EQ(irp.MdlAddress, first);
    EXPECT_EQ(first->Next, second);

    MmBuildMdlForNonPagedPool(first);
    for (ULONG i = 0; i < 3; i++)
        EXPECT_EQ(MmGetMdlPfnArray(first)[i], (reinterpret_cast<ULONG_PTR>(buffer) >> PAGE_SHIFT) + i);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(first, NormalPagePriority), buffer + 100);
    EXPECT_EQ(MmGetPhysicalAddress(buffer + 5).QuadPart, static_cast<LONGLONG>(reinterpret_cast<ULONG_PTR>(buffer + 5)));
    IoFreeMdl(first);
    IoFreeMdl(second);
}

TEST(Mdl, LockingChecksTheAccessAskedFor)
{
    Pages p;
    struct Case {
        const char* what;
        char* address;
        LOCK_OPERATION operation;
        NTSTATUS expected;
    } cases[] = {
        {"read-only memory for reading", p.readOnly(), IoReadAccess, STATUS_SUCCESS},
        {"read-only memory for writing", p.readOnly(), IoWriteAccess, STATUS_ACCESS_VIOLATION},
        {"read-only memory for modifying", p.readOnly(), IoModifyAccess, STATUS_ACCESS_VIOLATION},
        {"writable memory for writing", p.readWrite(), IoWriteAccess, STATUS_SUCCESS},
        {"read-only then no-access", p.readOnly() + PAGE_SIZE / 2, IoReadAccess, STATUS_ACCESS_VIOLATION},
    };
    for (auto& c : cases) {
        PMDL mdl = IoAllocateMdl(c.address, PAGE_SIZE, FALSE, FALSE, nullptr);
        NTSTATUS status = SehTry([&] { MmProbeAndLockPages(mdl, UserMode, c.operation); });
        EXPECT_EQ(status, c.expected) << c.what;
        EXPECT_EQ((mdl->MdlFlags & MDL_PAGES_LOCKED) != 0, NT_SUCCESS(status)) << c.what;
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), c.address);
            EXPECT_TRUE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
            MmUnlockPages(mdl);
            EXPECT_EQ(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA), 0);
        }
        IoFreeMdl(mdl);
    }
    EXPECT_EQ(p.readWrite()[0], 0x5A);  // the write probe left the data alone
}

TEST(Mdl, ContractBreachesStopTheMachine)
{
    Pages p;
    PMDL mdl = IoAllocateMdl(p.readWrite(), 64, FALSE, FALSE, nullptr);
    // Mapping or unlocking pages that were never locked.
    EXPECT_EQ(BugCheckOf([&] { MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority); }), ULONG{MEMORY_MANAGEMENT});
    EXPECT_EQ(BugCheckOf([&] { MmUnlockPages(mdl); }), ULONG{MEMORY_MANAGEMENT});
    // Freeing an MDL whose pages are still locked.
    ASSERT_EQ(SehTry([&] { MmProbeAndLockPages(mdl, KernelMode, IoReadAccess); }), STATUS_SUCCESS);
    EXPECT_EQ(BugCheckOf([&] { IoFreeMdl(mdl); }), ULONG{PROCESS_HAS_LOCKED_PAGES});
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
}

TEST(Mm, AddressValidity)
{
    Pages p;
    EXPECT_TRUE(MmIsAddressValid(p.readOnly()));
    EXPECT_FALSE(MmIsAddressValid(p.noAccess()));
    EXPECT_FALSE(MmIsAddressValid(nullptr));
}

class SectionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ObInitialize(); }
    NTSTATUS Create(PHANDLE h, const char16_t* name, LONGLONG size, ULONG protection, ULONG attributes = 0)
    {
        UNICODE_STRING n;
        if (name) RtlInitUnicodeString(&n, name);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, name ? &n : nullptr, attributes, nullptr, nullptr);
        LARGE_INTEGER max;
        max.QuadPart = size;
        return ZwCreateSection(h, SECTION_ALL_ACCESS, &oa, &max, protection, SEC_COMMIT, nullptr);
    }
    NTSTATUS Map(HANDLE h, PVOID* base, SIZE_T* size, LONGLONG offset = 0, ULONG protect = PAGE_READWRITE)
    {
        LARGE_INTEGER o;
        o.QuadPart = offset;
        return ZwMapViewOfSection(h, ZwCurrentProcess(), base, 0, 0, &o, size, ViewShare, 0, protect);
    }
};

TEST_F(SectionTest, ViewsOfOneNamedSectionShareTheirMemory)
{
    HANDLE created = nullptr, opened = nullptr;
    ASSERT_EQ(Create(&created, u"\\BaseNamedObjects\\MmTestShared", 3 * MM_ALLOCATION_GRANULARITY, PAGE_READWRITE),
              STATUS_SUCCESS);
    UNICODE_STRING n;
    RtlInitUnicodeString(&n, u"\\BaseNamedObjects\\MmTestShared");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &n, 0, nullptr, nullptr);
    ASSERT_EQ(ZwOpenSection(&opened, SECTION_MAP_READ | SECTION_MAP_WRITE, &oa), STATUS_SUCCESS);

    PVOID a = nullptr, b = nullptr, tail = nullptr;
    SIZE_T aSize = 0, bSize = 100, tailSize = 0;
    ASSERT_EQ(Map(created, &a, &aSize), STATUS_SUCCESS);
    ASSERT_EQ(Map(opened, &b, &bSize), STATUS_SUCCESS);
    ASSERT_EQ(Map(opened, &tail, &tailSize, 2 * MM_ALLOCATION_GRANULARITY), STATUS_SUCCESS);
    EXPECT_NE(a, b);
    EXPECT_EQ(aSize, 3u * MM_ALLOCATION_GRANULARITY);
    EXPECT_EQ(bSize, PAGE_SIZE);  // rounded up to whole pages
    EXPECT_EQ(tailSize, MM_ALLOCATION_GRANULARITY);

    std::strcpy(static_cast<char*>(a), "through view a");
    EXPECT_STREQ(static_cast<char*>(b), "through view a");
    static_cast<char*>(tail)[5] = 'T';
    EXPECT_EQ(static_cast<char*>(a)[2 * MM_ALLOCATION_GRANULARITY + 5], 'T');

    // Any address inside a view unmaps it; the memory lives on in the others.
    EXPECT_EQ(ZwUnmapViewOfSection(ZwCurrentProcess(), static_cast<char*>(a) + 10), STATUS_SUCCESS);
    EXPECT_EQ(ZwUnmapViewOfSection(ZwCurrentProcess(), a), STATUS_NOT_MAPPED_VIEW);
    ZwClose(created);
    ZwClose(opened);
    EXPECT_STREQ(static_cast<char*>(b), "through view a");
    EXPECT_EQ(ZwUnmapViewOfSection(ZwCurrentProcess(), b), STATUS_SUCCESS);
    EXPECT_EQ(ZwUnmapViewOfSection(ZwCurrentProcess(), tail), STATUS_SUCCESS);
    // With every handle and view gone, the name is gone too.
    EXPECT_EQ(ZwOpenSection(&opened, SECTION_MAP_READ, &oa), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(SectionTest, RefusedRequests)
{
    HANDLE rw = nullptr, ro = nullptr, dup = nullptr;
    ASSERT_EQ(Create(&rw, u"\\BaseNamedObjects\\MmTestRefused", PAGE_SIZE * 4, PAGE_READWRITE), STATUS_SUCCESS);
    ASSERT_EQ(Create(&ro, nullptr, PAGE_SIZE, PAGE_READONLY), STATUS_SUCCESS);
    EXPECT_EQ(Create(&dup, u"\\BaseNamedObjects\\MmTestRefused", PAGE_SIZE, PAGE_READWRITE),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Create(&dup, nullptr, 0, PAGE_READWRITE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Create(&dup, nullptr, PAGE_SIZE, 0x40 /* execute-read-write */), STATUS_INVALID_PAGE_PROTECTION);

    struct Case {
        const char* what;
        HANDLE section;
        LONGLONG offset;
        SIZE_T size;
        ULONG protect;
        NTSTATUS expected;
    } cases[] = {
        {"offset off the granularity", rw, PAGE_SIZE, 0, PAGE_READWRITE, STATUS_MAPPED_ALIGNMENT},
        {"view past the end", rw, 0, PAGE_SIZE * 5, PAGE_READWRITE, STATUS_INVALID_VIEW_SIZE},
        {"offset past the end", rw, MM_ALLOCATION_GRANULARITY, 0, PAGE_READWRITE, STATUS_INVALID_VIEW_SIZE},
        {"writable view of a read-only section", ro, 0, 0, PAGE_READWRITE, STATUS_SECTION_PROTECTION},
        {"unknown protection", rw, 0, 0, 0x40, STATUS_INVALID_PAGE_PROTECTION},
        {"not a handle", reinterpret_cast<HANDLE>(0x7770), 0, 0, PAGE_READONLY, STATUS_INVALID_HANDLE},
    };
    for (auto& c : cases) {
        PVOID base = nullptr;
        SIZE_T size = c.size;
        EXPECT_EQ(Map(c.section, &base, &size, c.offset, c.protect), c.expected) << c.what;
    }
    // A read-only view really is read-only.
    PVOID view = nullptr;
    SIZE_T size = 0;
    ASSERT_EQ(Map(ro, &view, &size, 0, PAGE_READONLY), STATUS_SUCCESS);
    EXPECT_EQ(SehTry([&] { *static_cast<volatile char*>(view) = 1; }), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(ZwUnmapViewOfSection(ZwCurrentProcess(), view), STATUS_SUCCESS);
    ZwClose(rw);
    ZwClose(ro);
}

TEST_F(SectionTest, UserModeFormsProbeTheCallersPointers)
{
    Pages p;
    HANDLE h = nullptr;
    LARGE_INTEGER max;
    max.QuadPart = PAGE_SIZE;
    EXPECT_EQ(NtCreateSection(reinterpret_cast<PHANDLE>(p.readOnly()), SECTION_ALL_ACCESS, nullptr, &max,
                              PAGE_READWRITE, SEC_COMMIT, nullptr),
              STATUS_ACCESS_VIOLATION);
    ASSERT_EQ(NtCreateSection(&h, SECTION_ALL_ACCESS, nullptr, &max, PAGE_READWRITE, SEC_COMMIT, nullptr),
              STATUS_SUCCESS);
    SIZE_T size = 0;
    EXPECT_EQ(NtMapViewOfSection(h, NtCurrentProcess(), reinterpret_cast<PVOID*>(p.noAccess()), 0, 0, nullptr, &size,
                                 ViewShare, 0, PAGE_READWRITE),
              STATUS_ACCESS_VIOLATION);
    PVOID base = nullptr;
    ASSERT_EQ(NtMapViewOfSection(h, NtCurrentProcess(), &base, 0, 0, nullptr, &size, ViewShare, 0, PAGE_READWRITE),
              STATUS_SUCCESS);
    EXPECT_EQ(size, PAGE_SIZE);
    EXPECT_EQ(NtUnmapViewOfSection(NtCurrentProcess(), base), STATUS_SUCCESS);
    NtClose(h);
}

}  // namespace
