// File mappings: a named page-file section whose views share memory within
// a process and across processes, its offsets and its refusals.
#include "w32_machine.h"

namespace {

using w32test::InProcess;

TEST(FileMappings, ViewsOfOneNamedSectionShareMemoryAcrossProcesses)
{
    W32_EMBEDDED_ONLY("the test maps views in NT processes it makes; a client's calls run in its own");
    constexpr DWORD kSize = 0x16000;
    PEPROCESS other = PsCreateUserProcess("other.exe");
    HANDLE mine = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSize, "W32TestSection");
    ASSERT_NE(mine, nullptr) << GetLastError();
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    auto* view = static_cast<volatile UCHAR*>(MapViewOfFile(mine, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_NE(view, nullptr) << GetLastError();
    EXPECT_EQ(view[kSize - 1], 0);  // new memory is zero
    view[8] = 0x42;
    view[0x10000 + 3] = 0x99;

    // A second view in this process, from the 64 KB offset on.
    auto* tail = static_cast<volatile UCHAR*>(MapViewOfFile(mine, FILE_MAP_READ, 0, 0x10000, 0x1000));
    ASSERT_NE(tail, nullptr);
    EXPECT_EQ(tail[3], 0x99);
    EXPECT_TRUE(IsBadWritePtr(const_cast<UCHAR*>(tail), 1));  // a read view refuses writes
    EXPECT_FALSE(IsBadReadPtr(const_cast<UCHAR*>(tail), 0x1000));

    {
        InProcess in(other);
        HANDLE again = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSize, "W32TestSection");
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);  // the library zeroes only a new one
        HANDLE opened = OpenFileMappingA(FILE_MAP_WRITE, FALSE, "W32TestSection");
        ASSERT_NE(opened, nullptr);
        auto* theirs = static_cast<volatile UCHAR*>(MapViewOfFile(opened, FILE_MAP_WRITE, 0, 0, 87440));
        ASSERT_NE(theirs, nullptr) << GetLastError();
        EXPECT_EQ(theirs[8], 0x42);
        theirs[9] = 0x24;
        EXPECT_TRUE(UnmapViewOfFile(const_cast<UCHAR*>(theirs)));
        CloseHandle(opened);
        CloseHandle(again);
    }
    EXPECT_EQ(view[9], 0x24);

    EXPECT_TRUE(UnmapViewOfFile(const_cast<UCHAR*>(tail)));
    EXPECT_TRUE(UnmapViewOfFile(const_cast<UCHAR*>(view)));
    EXPECT_FALSE(UnmapViewOfFile(const_cast<UCHAR*>(view)));
    CloseHandle(mine);
    PsTerminateUserProcess(other, 0);
}

TEST(FileMappings, RefusalsAndTheirErrors)
{
    HANDLE m = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0x20000, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(MapViewOfFile(m, FILE_MAP_READ, 0, 0x1000, 0x1000), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MAPPED_ALIGNMENT);
    EXPECT_EQ(MapViewOfFile(m, 0, 0, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    CloseHandle(m);

    EXPECT_EQ(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    HANDLE file = reinterpret_cast<HANDLE>(0x40);
    EXPECT_EQ(CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, 0x1000, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, "W32NoSuchSection"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

}  // namespace
