// RAM files of a volume: the list's limit and per-clip lookup, and the
// contents: growth, cuts at the largest size, end of file, and the zeroes
// that stand past the end of file whatever the file held before. Then RAM
// files on the media drive, inside the media files of a type that shows
// them as directories.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "drivers/mediafs/zarfs_ramfile.h"
#include "tests/drivers/mediafs/mediafs_control.h"
#include "tests/support/machine_fixture.h"

namespace {

constexpr ULONGLONG kLargest = 0x200000;  // the default RAMFileMaxSize

// Over the caller's string, which must outlive it.
UNICODE_STRING Text(const std::u16string& s)
{
    return UNICODE_STRING{USHORT(s.size() * 2), USHORT(s.size() * 2), const_cast<PWCHAR>(s.data())};
}

class ZarFsRamFile : public MachineFixture {
protected:
    void SetUp() override
    {
        MachineFixture::SetUp();
        if (HasFatalFailure()) return;
        ZarFsVFInitHandler(&list_);
    }
    void TearDown() override
    {
        ZarFsVFFreeHandler(&list_);
        EXPECT_EQ(list_.Count, 0u);
        MachineFixture::TearDown();
    }
    ZARFS_RAM_FILE* Create(const std::u16string& clip, const std::u16string& name, ULONG most = 10)
    {
        UNICODE_STRING c = Text(clip), n = Text(name);
        ZARFS_RAM_FILE* file = nullptr;
        NTSTATUS status = ZarFsVFCreateNewFile(&list_, &c, &n, 77, most, nullptr, &file);
        return NT_SUCCESS(status) ? file : nullptr;
    }
    std::vector<std::u16string> Listed(const std::u16string& clip)
    {
        UNICODE_STRING c = Text(clip);
        std::vector<std::u16string> names;
        ZARFS_RAM_FILE* file = nullptr;
        for (ULONG at = 0; ZarFsVFFindNextFile(&list_, &c, &at, &file); ++at)
            names.emplace_back(file->Name.Buffer, file->Name.Length / 2);
        return names;
    }

    ZARFS_RAM_FILE_LIST list_{};
};

TEST_F(ZarFsRamFile, TheListRefusesFilesBeyondItsLimitAndEachClipSeesOnlyItsOwn)
{
    for (int i = 0; i < 10; ++i)
        ASSERT_NE(Create(i % 2 ? u"\\KIV\\V\\F\\B" : u"\\KIV\\V\\F\\A", u"F" + std::u16string(1, u'0' + i)), nullptr);
    EXPECT_EQ(Create(u"\\KIV\\V\\F\\A", u"ELEVEN"), nullptr);
    EXPECT_EQ(list_.Count, 10u);

    // Two clips may each have a file of the same name.
    ZarFsVFFreeHandler(&list_);
    ZarFsVFInitHandler(&list_);
    ZARFS_RAM_FILE* a = Create(u"\\KIV\\V\\F\\A", u"X.TGA");
    ZARFS_RAM_FILE* b = Create(u"\\KIV\\V\\F\\B", u"x.tga");
    ZARFS_RAM_FILE* a2 = Create(u"\\KIV\\V\\F\\A", u"Y.TGA");
    ASSERT_TRUE(a && b && a2);
    EXPECT_EQ(Listed(u"\\kiv\\v\\f\\a"), (std::vector<std::u16string>{u"Y.TGA", u"X.TGA"}));  // newest first
    EXPECT_EQ(Listed(u"\\KIV\\V\\F\\B"), (std::vector<std::u16string>{u"x.tga"}));
    const std::u16string a16 = u"\\KIV\\V\\F\\A", c16 = u"\\KIV\\V\\F\\C", x16 = u"X.tga";
    const std::u16string oldA = u"\\V\\F\\A", newA = u"\\V\\G\\D", oldF = u"\\v\\f", newF = u"\\V\\Folder";
    UNICODE_STRING clipA = Text(a16), name = Text(x16);
    ZARFS_RAM_FILE* found = nullptr;
    ULONG position = 99;
    ASSERT_TRUE(ZarFsVFFindFile(&list_, &clipA, &name, &found, &position));
    EXPECT_EQ(found, a);
    EXPECT_EQ(position, 1u);
    UNICODE_STRING clipC = Text(c16);
    EXPECT_FALSE(ZarFsVFFindFile(&list_, &clipC, &name, &found, &position));

    // A renamed clip takes its files along, whatever type folder they came
    // through; so does a renamed folder; deleting one leaves the others.
    UNICODE_STRING from = Text(oldA), to = Text(newA);
    ASSERT_EQ(ZarFsVFRenamePath(&list_, &from, &to), STATUS_SUCCESS);
    EXPECT_TRUE(Listed(u"\\KIV\\V\\F\\A").empty());
    EXPECT_EQ(Listed(u"\\KIV\\V\\G\\D"), (std::vector<std::u16string>{u"Y.TGA", u"X.TGA"}));
    EXPECT_EQ(Listed(u"\\KIV\\V\\F\\B"), (std::vector<std::u16string>{u"x.tga"}));
    from = Text(oldF);
    to = Text(newF);
    ASSERT_EQ(ZarFsVFRenamePath(&list_, &from, &to), STATUS_SUCCESS);
    EXPECT_EQ(Listed(u"\\KIV\\V\\Folder\\B"), (std::vector<std::u16string>{u"x.tga"}));
    EXPECT_EQ(Listed(u"\\KIV\\V\\G\\D").size(), 2u);  // "\V\G" is not below "\V\F"
    ZarFsVFDeleteFile(&list_, a2);
    EXPECT_EQ(list_.Count, 2u);
    EXPECT_EQ(Listed(u"\\KIV\\V\\G\\D"), (std::vector<std::u16string>{u"X.TGA"}));
}

TEST_F(ZarFsRamFile, WritesGrowTheBufferAndAreCutAtTheLargestSize)
{
    struct Case {
        ULONGLONG offset;
        ULONG length;
        NTSTATUS status;
        ULONG written;
        ULONG allocation;
        ULONGLONG endOfFile;
    } cases[] = {
        {0, 100, STATUS_SUCCESS, 100, 0x10000, 100},                      // at least 64 KiB of growth
        {0x1FFF0, 16, STATUS_SUCCESS, 16, 0x20000, 0x20000},              // grown to just the end
        {0x1FFFF0, 32, STATUS_SUCCESS, 16, 0x200000, 0x200000},           // cut at RAMFileMaxSize
        {0x200000, 8, STATUS_END_OF_FILE, 0, 0x200000, 0x200000},         // entirely beyond it
        {0x300000000ULL, 8, STATUS_END_OF_FILE, 0, 0x200000, 0x200000},   // far beyond, 64-bit
        {5, 0, STATUS_END_OF_FILE, 0, 0x200000, 0x200000},                // nothing to write
    };
    ZARFS_RAM_FILE* file = Create(u"\\KIV\\V\\F\\A", u"W");
    ASSERT_NE(file, nullptr);
    std::vector<UCHAR> data(100, 0x5A);  // the longest write of the table
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offset);
        ULONG length = c.length;
        EXPECT_EQ(ZarFsVFWriteFile(file, data.data(), c.offset, &length, kLargest), c.status);
        EXPECT_EQ(length, c.written);
        EXPECT_EQ(file->Allocation, c.allocation);
        EXPECT_EQ(file->EndOfFile, c.endOfFile);
    }
}

TEST_F(ZarFsRamFile, ReadsStopAtTheEndOfFileAndShowZeroesWhereNothingWasWritten)
{
    ZARFS_RAM_FILE* file = Create(u"\\KIV\\V\\F\\A", u"R");
    ASSERT_NE(file, nullptr);
    std::vector<UCHAR> ones(300, 0xFF), out(400, 0xEE);
    ULONG length = 300;
    ASSERT_EQ(ZarFsVFWriteFile(file, ones.data(), 0, &length, kLargest), STATUS_SUCCESS);

    length = 400;
    ASSERT_EQ(ZarFsVFReadFile(file, out.data(), 250, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 50u);
    length = 10;
    EXPECT_EQ(ZarFsVFReadFile(file, out.data(), 300, &length), STATUS_END_OF_FILE);
    EXPECT_EQ(length, 0u);

    // Shrink, then grow again through the end of file and by a write past
    // it: the bytes the longer file held must not come back.
    ASSERT_EQ(ZarFsVFSetEndOfFile(file, kLargest, 100), STATUS_SUCCESS);
    ASSERT_EQ(ZarFsVFSetEndOfFile(file, kLargest, 200), STATUS_SUCCESS);
    length = 1;
    ASSERT_EQ(ZarFsVFWriteFile(file, ones.data(), 260, &length, kLargest), STATUS_SUCCESS);
    EXPECT_EQ(file->EndOfFile, 261u);
    length = 400;
    ASSERT_EQ(ZarFsVFReadFile(file, out.data(), 0, &length), STATUS_SUCCESS);
    ASSERT_EQ(length, 261u);
    for (ULONG i = 0; i < 261; ++i)
        ASSERT_EQ(out[i], (i < 100 || i == 260) ? 0xFF : 0x00) << "byte " << i;

    // A new allocation beyond the old end of file is zero as well, and one
    // below it cuts the end of file so no read reaches past the buffer.
    ASSERT_EQ(ZarFsVFSetFileAllocation(file, kLargest, 0x30000), STATUS_SUCCESS);
    EXPECT_EQ(file->EndOfFile, 261u);
    ASSERT_EQ(ZarFsVFSetEndOfFile(file, kLargest, 0x30000), STATUS_SUCCESS);
    EXPECT_EQ(file->Buffer[0x2FFFF], 0);
    ASSERT_EQ(ZarFsVFSetFileAllocation(file, kLargest, 50), STATUS_SUCCESS);
    EXPECT_EQ(file->EndOfFile, 50u);
    length = 400;
    ASSERT_EQ(ZarFsVFReadFile(file, out.data(), 0, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 50u);
    // Sizes above the largest are cut to it.
    ASSERT_EQ(ZarFsVFSetEndOfFile(file, kLargest, 0x900000), STATUS_SUCCESS);
    EXPECT_EQ(file->EndOfFile, kLargest);
    EXPECT_EQ(file->Allocation, kLargest);
}

// The drive with a foreign type "TGA" whose media files are directories,
// and two empty media files in "Clips".
class RamFileDrive : public ControlDrive {
protected:
    void SetUp() override
    {
        ControlDrive::SetUp();
        if (HasFatalFailure()) return;
        UCHAR in[4 + sizeof(ZARFS_FILE_TYPE)] = {};
        ZARFS_FILE_TYPE type{};
        type.Presentation = 2;
        std::memcpy(type.Extension, u"TGA", 6);
        ULONG count = 1;
        std::memcpy(in, &count, 4);
        std::memcpy(in + 4, &type, sizeof type);
        ASSERT_EQ(Control(IOCTL_ZARFS_REGISTER_FILE_TYPES, in, sizeof in, nullptr, 0), STATUS_SUCCESS);
        for (const char* clip : {"P:\\KIV\\Media\\Clips\\One", "P:\\KIV\\Media\\Clips\\Two"}) {
            HANDLE h = CreateFileA(clip, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
            ASSERT_NE(h, INVALID_HANDLE_VALUE) << clip;
            CloseHandle(h);
        }
    }
    static HANDLE OpenRam(const std::string& path, DWORD disposition)
    {
        return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition, 0,
                           nullptr);
    }
    static bool Write(const std::string& path, const std::string& text)
    {
        HANDLE h = OpenRam(path, OPEN_ALWAYS);
        if (h == INVALID_HANDLE_VALUE) return false;
        DWORD done = 0;
        BOOL ok = WriteFile(h, text.data(), DWORD(text.size()), &done, nullptr);
        CloseHandle(h);
        return ok && done == text.size();
    }
};

TEST_F(RamFileDrive, RamFilesAreWrittenListedReadAndDeletedInsideTheirClip)
{
    // Through the foreign type the media files are directories; no new media file is made there.
    EXPECT_EQ(List("P:\\TGA\\Media\\Clips\\*"), (std::vector<Found>{{"One", 0, true}, {"Two", 0, true}}));
    EXPECT_EQ(OpenRam("P:\\TGA\\Media\\Clips\\Three", CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));

    const std::string one = "P:\\TGA\\Media\\Clips\\One\\";
    HANDLE h = OpenRam(one + "Pic.tga", CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    std::string text(100, 'r');
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(h, text.data(), 100, &done, nullptr));
    EXPECT_EQ(done, 100u);
    EXPECT_EQ(GetFileSize(h, nullptr), 100u);
    // A longer end of file reads as zeroes; a shorter one cuts the file.
    ASSERT_EQ(SetFilePointer(h, 150, nullptr, FILE_BEGIN), 150u);
    ASSERT_TRUE(SetEndOfFile(h));
    EXPECT_EQ(GetFileSize(h, nullptr), 150u);
    CloseHandle(h);
    ASSERT_TRUE(Write("P:\\TGA\\Media\\Clips\\Two\\PIC.TGA", "two"));

    // Each clip lists only its own; the newest file comes first.
    ASSERT_TRUE(Write(one + "Second", "22"));
    EXPECT_EQ(List((one + "*").c_str()), (std::vector<Found>{{"Second", 2, false}, {"Pic.tga", 150, false}}));
    EXPECT_EQ(List("P:\\TGA\\Media\\Clips\\Two\\*"), (std::vector<Found>{{"PIC.TGA", 3, false}}));

    h = OpenRam(one + "PIC.TGA", OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::string back(400, '?');
    ASSERT_TRUE(ReadFile(h, back.data(), 400, &done, nullptr));
    ASSERT_EQ(done, 150u);
    EXPECT_EQ(back.substr(0, 150), text + std::string(50, '\0'));
    ASSERT_TRUE(ReadFile(h, back.data(), 400, &done, nullptr));  // at the end of file
    EXPECT_EQ(done, 0u);
    CloseHandle(h);

    // Renaming the clip or its folder through the native folder takes its RAM files along.
    ASSERT_TRUE(MoveFileA("P:\\KIV\\Media\\Clips\\One", "P:\\KIV\\Media\\Clips\\Uno")) << GetLastError();
    ASSERT_TRUE(MoveFileA("P:\\KIV\\Media\\Clips", "P:\\KIV\\Media\\Takes")) << GetLastError();
    const std::string uno = "P:\\TGA\\Media\\Takes\\Uno\\";
    EXPECT_EQ(List((uno + "*").c_str()), (std::vector<Found>{{"Second", 2, false}, {"Pic.tga", 150, false}}));

    ASSERT_TRUE(DeleteFileA((uno + "pic.tga").c_str()));
    EXPECT_EQ(List((uno + "*").c_str()), (std::vector<Found>{{"Second", 2, false}}));
    EXPECT_EQ(OpenRam(uno + "Pic.tga", OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(List("P:\\KIV\\Media\\Takes\\*").size(), 2u);  // the media files stay
}

TEST_F(RamFileDrive, TheEleventhRamFileOfAVolumeIsRefusedWithOneLogEntry)
{
    nt::EventLogClear();
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(Write("P:\\TGA\\Media\\Clips\\" + std::string(i % 2 ? "One" : "Two") + "\\F" +
                              std::to_string(i), "x"))
            << i;
    EXPECT_EQ(OpenRam("P:\\TGA\\Media\\Clips\\One\\Eleventh", CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(FsEvents(ZARFS_MSG_VIRTUAL_FILE_ERROR).size(), 1u);
    // Deleting one makes room again.
    ASSERT_TRUE(DeleteFileA("P:\\TGA\\Media\\Clips\\One\\F1"));
    EXPECT_TRUE(Write("P:\\TGA\\Media\\Clips\\One\\Eleventh", "y"));
}

}  // namespace

namespace {

TEST_F(RamFileDrive, SettingTheLastWriteTimeReachesRamFilesAndNativeMediaFilesOnly)
{
    ASSERT_TRUE(Write("P:\\TGA\\Media\\Clips\\One\\Pic.tga", "image"));
    constexpr LONGLONG kTime = 0x01D5000012345678LL;
    auto set = [](const std::u16string& path, LONGLONG time) {
        HANDLE h;
        NTSTATUS status = Open(path, FILE_OPEN, 0, &h, nullptr, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE);
        if (!NT_SUCCESS(status)) return status;
        // The record as the system lays it out: 40 bytes, the last write time at 16.
        UCHAR basic[40] = {};
        LONGLONG unused = 5;
        std::memcpy(basic, &unused, 8);
        std::memcpy(basic + 16, &time, 8);
        IO_STATUS_BLOCK iosb{};
        status = NtSetInformationFile(h, &iosb, basic, sizeof basic, FileBasicInformation);
        NtClose(h);
        return status;
    };
    auto lastWrite = [](const char* path) {
        WIN32_FIND_DATAA data;
        HANDLE h = FindFirstFileA(path, &data);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << path;
        FindClose(h);
        return LONGLONG((ULONGLONG(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime);
    };
    const LONGLONG twoBefore = lastWrite("P:\\KIV\\Media\\Clips\\Two");
    const LONGLONG folderBefore = lastWrite("P:\\KIV\\Media\\Clips");
    struct Case {
        const char16_t* path;
        LONGLONG time;
        const char* listed;
        LONGLONG want;
    } cases[] = {
        {u"\\KIV\\Media\\Clips\\One", kTime, "P:\\KIV\\Media\\Clips\\One", kTime},
        {u"\\TGA\\Media\\Clips\\One\\Pic.tga", kTime + 1, "P:\\TGA\\Media\\Clips\\One\\Pic.tga", kTime + 1},
        // Through a type that shows it as a directory, the media file keeps its time.
        {u"\\TGA\\Media\\Clips\\Two", kTime + 2, "P:\\KIV\\Media\\Clips\\Two", twoBefore},
        {u"\\KIV\\Media\\Clips", kTime + 3, "P:\\KIV\\Media\\Clips", folderBefore},
        // 0 changes nothing.
        {u"\\KIV\\Media\\Clips\\One", 0, "P:\\KIV\\Media\\Clips\\One", kTime},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.listed);
        EXPECT_EQ(set(c.path, c.time), STATUS_SUCCESS);
        EXPECT_EQ(lastWrite(c.listed), c.want);
    }
    EXPECT_EQ(lastWrite("P:\\TGA\\Media\\Clips\\One"), kTime) << "every folder shows the media file's one time";
    // The media file's time is its entry's, on the disk as well.
    CloseHandle(control_);
    control_ = INVALID_HANDLE_VALUE;
    ASSERT_EQ(RestartFs(), STATUS_SUCCESS);
    EXPECT_EQ(lastWrite("P:\\KIV\\Media\\Clips\\One"), kTime);
}

}  // namespace
