// The host file system as user mode reaches it: the Nt* file calls on
// drive C: of a booted machine, checked against the host folder behind it.
#include <fstream>
#include <sstream>

#include "platform/nt/nt_syscall.h"
#include "tests/support/machine_fixture.h"

namespace {

class HostFsTest : public MachineFixture {
protected:
    std::string Host(const std::string& relative) { return nt::Machine::DriveFolder('C') + "/" + relative; }

    void WriteHost(const std::string& relative, const std::string& content)
    {
        std::filesystem::create_directories(std::filesystem::path(Host(relative)).parent_path());
        std::ofstream(Host(relative), std::ios::binary) << content;
    }
    std::string ReadHost(const std::string& relative)
    {
        std::ifstream in(Host(relative), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    // Opens "\??\C:<path>" synchronously; the status, with Information in *how.
    NTSTATUS Open(const std::u16string& path, HANDLE* h, ULONG disposition = FILE_OPEN,
                  ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE | DELETE, ULONG options = 0,
                  ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, ULONG_PTR* how = nullptr)
    {
        std::u16string full = u"\\??\\C:" + path;
        UNICODE_STRING name{USHORT(full.size() * 2), USHORT(full.size() * 2), full.data()};
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        IO_STATUS_BLOCK iosb{};
        NTSTATUS s = NtCreateFile(h, access | SYNCHRONIZE, &oa, &iosb, nullptr, 0, share, disposition,
                                  options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
        if (how) *how = iosb.Information;
        return s;
    }
    NTSTATUS Write(HANDLE h, const std::string& data, LONGLONG offset = -1)
    {
        IO_STATUS_BLOCK iosb{};
        LARGE_INTEGER at;
        at.QuadPart = offset;
        return NtWriteFile(h, nullptr, nullptr, nullptr, &iosb, const_cast<char*>(data.data()), ULONG(data.size()),
                           offset >= 0 ? &at : nullptr, nullptr);
    }
    NTSTATUS Read(HANDLE h, std::string* out, ULONG length, LONGLONG offset = -1)
    {
        IO_STATUS_BLOCK iosb{};
        LARGE_INTEGER at;
        at.QuadPart = offset;
        out->assign(length, '\0');
        NTSTATUS s = NtReadFile(h, nullptr, nullptr, nullptr, &iosb, out->data(), length, offset >= 0 ? &at : nullptr,
                                nullptr);
        out->resize(NT_SUCCESS(s) ? iosb.Information : 0);
        return s;
    }
    // Names of a directory listing with a pattern, until the listing ends.
    NTSTATUS List(HANDLE dir, const std::u16string& pattern, FILE_INFORMATION_CLASS infoClass,
                  std::vector<std::u16string>* names, ULONG bufferSize = 4096)
    {
        std::u16string p = pattern;
        UNICODE_STRING us{USHORT(p.size() * 2), USHORT(p.size() * 2), p.data()};
        std::vector<UCHAR> buffer(bufferSize);
        for (bool first = true;; first = false) {
            IO_STATUS_BLOCK iosb{};
            NTSTATUS s = NtQueryDirectoryFile(dir, nullptr, nullptr, nullptr, &iosb, buffer.data(), bufferSize,
                                              infoClass, FALSE, first ? &us : nullptr, FALSE);
            if (!NT_SUCCESS(s)) return s;
            for (ULONG at = 0;;) {
                UCHAR* e = buffer.data() + at;
                if (infoClass == FileBothDirectoryInformation) {
                    auto* r = reinterpret_cast<FILE_BOTH_DIR_INFORMATION*>(e);
                    names->emplace_back(r->FileName, r->FileNameLength / 2);
                } else {
                    ULONG length = *reinterpret_cast<ULONG*>(e + 60);  // FileDirectoryInformation
                    names->emplace_back(reinterpret_cast<char16_t*>(e + 64), length / 2);
                }
                ULONG next = *reinterpret_cast<ULONG*>(e);
                if (!next) break;
                EXPECT_EQ(next % 8, 0u);
                at += next;
            }
        }
    }
};

TEST_F(HostFsTest, CreateDispositionsOnExistingAndMissingFiles)
{
    struct Case {
        ULONG disposition;
        bool exists;
        NTSTATUS status;
        ULONG_PTR information;
        std::string contentAfter;  // of a file that held "old"
    };
    const Case cases[] = {
        {FILE_OPEN, true, STATUS_SUCCESS, FILE_OPENED, "old"},
        {FILE_OPEN, false, STATUS_OBJECT_NAME_NOT_FOUND, 0, ""},
        {FILE_CREATE, true, STATUS_OBJECT_NAME_COLLISION, 0, "old"},
        {FILE_CREATE, false, STATUS_SUCCESS, FILE_CREATED, ""},
        {FILE_OPEN_IF, true, STATUS_SUCCESS, FILE_OPENED, "old"},
        {FILE_OPEN_IF, false, STATUS_SUCCESS, FILE_CREATED, ""},
        {FILE_OVERWRITE, true, STATUS_SUCCESS, FILE_OVERWRITTEN, ""},
        {FILE_OVERWRITE, false, STATUS_OBJECT_NAME_NOT_FOUND, 0, ""},
        {FILE_OVERWRITE_IF, true, STATUS_SUCCESS, FILE_OVERWRITTEN, ""},
        {FILE_OVERWRITE_IF, false, STATUS_SUCCESS, FILE_CREATED, ""},
        {FILE_SUPERSEDE, true, STATUS_SUCCESS, FILE_SUPERSEDED, ""},
        {FILE_SUPERSEDE, false, STATUS_SUCCESS, FILE_CREATED, ""},
    };
    int n = 0;
    for (const auto& c : cases) {
        std::string file = "case" + std::to_string(n++) + ".txt";
        SCOPED_TRACE(file);
        if (c.exists) WriteHost(file, "old");
        HANDLE h;
        ULONG_PTR how = 0xDEAD;
        NTSTATUS s = Open(u"\\" + NtWiden(file), &h, c.disposition, GENERIC_READ | GENERIC_WRITE, 0,
                          FILE_SHARE_READ, &how);
        EXPECT_EQ(s, c.status) << NtStatusName(s);
        if (NT_SUCCESS(s)) {
            EXPECT_EQ(how, c.information);
            NtClose(h);
        }
        bool existsAfter = c.exists || NT_SUCCESS(s);
        EXPECT_EQ(std::filesystem::exists(Host(file)), existsAfter);
        if (existsAfter) {
            EXPECT_EQ(ReadHost(file), c.contentAfter);
        }
    }
}

TEST_F(HostFsTest, DirectoriesAndFilesAreToldApart)
{
    HANDLE h;
    ULONG_PTR how;
    ASSERT_EQ(Open(u"\\Media", &h, FILE_CREATE, GENERIC_READ, FILE_DIRECTORY_FILE, FILE_SHARE_READ, &how),
              STATUS_SUCCESS);
    EXPECT_EQ(how, (ULONG_PTR)FILE_CREATED);
    NtClose(h);
    EXPECT_TRUE(std::filesystem::is_directory(Host("Media")));
    WriteHost("plain.txt", "x");
    EXPECT_EQ(Open(u"\\Media", &h, FILE_OPEN, GENERIC_READ, FILE_NON_DIRECTORY_FILE), STATUS_FILE_IS_A_DIRECTORY);
    EXPECT_EQ(Open(u"\\plain.txt", &h, FILE_OPEN, GENERIC_READ, FILE_DIRECTORY_FILE), STATUS_NOT_A_DIRECTORY);
    EXPECT_EQ(Open(u"\\Media", &h, FILE_OVERWRITE_IF), STATUS_FILE_IS_A_DIRECTORY);
    EXPECT_EQ(Open(u"\\No\\file.txt", &h, FILE_OPEN_IF), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Open(u"\\plain.txt\\x", &h, FILE_OPEN_IF), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Open(u"\\bad|name", &h, FILE_OPEN_IF), STATUS_OBJECT_NAME_INVALID);
}

TEST_F(HostFsTest, NamesResolveIgnoringCaseAndNeverLeaveTheDrive)
{
    WriteHost("WINNT/Fpga/Images/Flex525.bin", "fpga");
    std::filesystem::create_directories(Folder() + "/drives/outside");
    HANDLE h;
    ASSERT_EQ(Open(u"\\winnt\\FPGA\\images\\FLEX525.BIN", &h, FILE_OPEN, GENERIC_READ), STATUS_SUCCESS);
    std::vector<UCHAR> buffer(256);
    IO_STATUS_BLOCK iosb{};
    ASSERT_EQ(NtQueryInformationFile(h, &iosb, buffer.data(), 256, FileNameInformation), STATUS_SUCCESS);
    auto* name = reinterpret_cast<FILE_NAME_INFORMATION*>(buffer.data());
    EXPECT_EQ(std::u16string(name->FileName, name->FileNameLength / 2), u"\\WINNT\\Fpga\\Images\\Flex525.bin");
    NtClose(h);

    // Both spellings name one file: the second create finds the first.
    ASSERT_EQ(Open(u"\\WINNT\\.\\Fpga\\..\\New.TXT", &h, FILE_CREATE), STATUS_SUCCESS);
    NtClose(h);
    EXPECT_TRUE(std::filesystem::exists(Host("WINNT/New.TXT")));
    EXPECT_EQ(Open(u"\\winnt\\new.txt", &h, FILE_CREATE), STATUS_OBJECT_NAME_COLLISION);

    EXPECT_EQ(Open(u"\\..\\outside", &h, FILE_OPEN, GENERIC_READ), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(Open(u"\\WINNT\\..\\..\\outside\\x", &h, FILE_OPEN_IF), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_FALSE(std::filesystem::exists(Folder() + "/drives/outside/x"));
}

TEST_F(HostFsTest, ReadAndWriteAtOffsetsAndAtTheFilePosition)
{
    HANDLE h;
    ASSERT_EQ(Open(u"\\clip.dat", &h, FILE_CREATE), STATUS_SUCCESS);
    ASSERT_EQ(Write(h, "hello "), STATUS_SUCCESS);
    ASSERT_EQ(Write(h, "world"), STATUS_SUCCESS);  // at the position the first left
    ASSERT_EQ(Write(h, "W", 6), STATUS_SUCCESS);
    EXPECT_EQ(ReadHost("clip.dat"), "hello World");

    IO_STATUS_BLOCK iosb{};
    FILE_POSITION_INFORMATION pos{};
    ASSERT_EQ(NtQueryInformationFile(h, &iosb, &pos, sizeof pos, FilePositionInformation), STATUS_SUCCESS);
    EXPECT_EQ(pos.CurrentByteOffset.QuadPart, 7);

    std::string data;
    ASSERT_EQ(Read(h, &data, 5, 0), STATUS_SUCCESS);
    EXPECT_EQ(data, "hello");
    ASSERT_EQ(Read(h, &data, 100), STATUS_SUCCESS);  // from the position, short at the end
    EXPECT_EQ(data, " World");
    EXPECT_EQ(Read(h, &data, 10), STATUS_END_OF_FILE);
    EXPECT_EQ(Read(h, &data, 10, 1000), STATUS_END_OF_FILE);

    FILE_STANDARD_INFORMATION standard{};
    ASSERT_EQ(NtQueryInformationFile(h, &iosb, &standard, sizeof standard, FileStandardInformation), STATUS_SUCCESS);
    EXPECT_EQ(standard.EndOfFile.QuadPart, 11);
    EXPECT_FALSE(standard.Directory);
    EXPECT_GE(standard.AllocationSize.QuadPart, 11);

    FILE_END_OF_FILE_INFORMATION eof{};
    eof.EndOfFile.QuadPart = 5;
    ASSERT_EQ(NtSetInformationFile(h, &iosb, &eof, sizeof eof, FileEndOfFileInformation), STATUS_SUCCESS);
    EXPECT_EQ(ReadHost("clip.dat"), "hello");
    IO_STATUS_BLOCK flush{};
    EXPECT_EQ(NtFlushBuffersFile(h, &flush), STATUS_SUCCESS);
    NtClose(h);

    // A handle without write access cannot write.
    ASSERT_EQ(Open(u"\\clip.dat", &h, FILE_OPEN, GENERIC_READ), STATUS_SUCCESS);
    EXPECT_EQ(Write(h, "x", 0), STATUS_ACCESS_DENIED);
    NtClose(h);
}

TEST_F(HostFsTest, InformationClassesDescribeTheFile)
{
    WriteHost("info.bin", std::string(5000, 'x'));
    HANDLE h;
    ASSERT_EQ(Open(u"\\INFO.bin", &h, FILE_OPEN, GENERIC_READ), STATUS_SUCCESS);
    IO_STATUS_BLOCK iosb{};
    FILE_BASIC_INFORMATION basic{};
    ASSERT_EQ(NtQueryInformationFile(h, &iosb, &basic, sizeof basic, FileBasicInformation), STATUS_SUCCESS);
    EXPECT_EQ(basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_GT(basic.LastWriteTime.QuadPart, 116444736000000000LL);  // after 1970

    std::vector<UCHAR> all(512);
    ASSERT_EQ(NtQueryInformationFile(h, &iosb, all.data(), 512, FileAllInformation), STATUS_SUCCESS);
    auto* standard = reinterpret_cast<FILE_STANDARD_INFORMATION*>(all.data() + sizeof(FILE_BASIC_INFORMATION));
    EXPECT_EQ(standard->EndOfFile.QuadPart, 5000);
    EXPECT_EQ(standard->AllocationSize.QuadPart % 4096, 0);

    // A name that does not fit: the fixed part, what fits of the name, overflow.
    std::vector<UCHAR> small(8, 0xCC);
    EXPECT_EQ(NtQueryInformationFile(h, &iosb, small.data(), 8, FileNameInformation), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(*reinterpret_cast<ULONG*>(small.data()), 18u);  // "\INFO.bin" is "\info.bin" on disk
    EXPECT_EQ(small[4], '\\');
    EXPECT_EQ(NtQueryInformationFile(h, &iosb, small.data(), 2, FileNameInformation), STATUS_INFO_LENGTH_MISMATCH);

    std::vector<UCHAR> net(64);
    ASSERT_EQ(NtQueryInformationFile(h, &iosb, net.data(), 64, FileNetworkOpenInformation), STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<LARGE_INTEGER*>(net.data())[5].QuadPart, 5000);  // EndOfFile
    NtClose(h);
}

TEST_F(HostFsTest, ShareAccessIsCheckedAgainstEveryOpenHandle)
{
    HANDLE first, second;
    ASSERT_EQ(Open(u"\\shared.txt", &first, FILE_CREATE, GENERIC_READ | GENERIC_WRITE, 0, FILE_SHARE_READ),
              STATUS_SUCCESS);
    EXPECT_EQ(Open(u"\\SHARED.TXT", &second, FILE_OPEN, GENERIC_WRITE, 0, FILE_SHARE_READ | FILE_SHARE_WRITE),
              STATUS_SHARING_VIOLATION);
    // A reader that shares writing with the writer is fine.
    ASSERT_EQ(Open(u"\\shared.txt", &second, FILE_OPEN, GENERIC_READ, 0, FILE_SHARE_READ | FILE_SHARE_WRITE),
              STATUS_SUCCESS);
    NtClose(second);
    NtClose(first);
    ASSERT_EQ(Open(u"\\shared.txt", &second, FILE_OPEN, GENERIC_WRITE, 0, 0), STATUS_SUCCESS);
    NtClose(second);
}

TEST_F(HostFsTest, DirectoryListingsFilterByPatternAndEnd)
{
    for (auto f : {"b.dat", "a.txt", "C.TXT", "sub/inner.txt"}) WriteHost(std::string("list/") + f, "x");
    HANDLE dir;
    ASSERT_EQ(Open(u"\\list", &dir, FILE_OPEN, FILE_LIST_DIRECTORY, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    std::vector<std::u16string> names;
    EXPECT_EQ(List(dir, u"*.txt", FileBothDirectoryInformation, &names), STATUS_NO_MORE_FILES);
    EXPECT_EQ(names, (std::vector<std::u16string>{u"a.txt", u"C.TXT"}));
    NtClose(dir);

    ASSERT_EQ(Open(u"\\list", &dir, FILE_OPEN, FILE_LIST_DIRECTORY, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    names.clear();
    // A buffer for about one entry at a time still lists everything, in order.
    EXPECT_EQ(List(dir, u"*", FileDirectoryInformation, &names, 96), STATUS_NO_MORE_FILES);
    EXPECT_EQ(names, (std::vector<std::u16string>{u".", u"..", u"a.txt", u"b.dat", u"C.TXT", u"sub"}));
    NtClose(dir);

    // The patterns Win32 produces: "<" up to the last dot, ">" one or none, '"' a dot or the end.
    struct Case {
        std::u16string pattern;
        std::vector<std::u16string> names;
    };
    const Case cases[] = {
        {u"<.TXT", {u"a.txt", u"C.TXT"}},
        {u"?.dat", {u"b.dat"}},
        {u"sub\"<", {u"sub"}},
        {u"a>>>>>>>\">>>", {u"a.txt"}},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(Open(u"\\list", &dir, FILE_OPEN, FILE_LIST_DIRECTORY, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
        names.clear();
        EXPECT_EQ(List(dir, c.pattern, FileBothDirectoryInformation, &names), STATUS_NO_MORE_FILES)
            << NtNarrow(c.pattern);
        EXPECT_EQ(names, c.names) << NtNarrow(c.pattern);
        NtClose(dir);
    }

    ASSERT_EQ(Open(u"\\list", &dir, FILE_OPEN, FILE_LIST_DIRECTORY, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    names.clear();
    EXPECT_EQ(List(dir, u"*.none", FileBothDirectoryInformation, &names), STATUS_NO_SUCH_FILE);
    NtClose(dir);
}

TEST_F(HostFsTest, RenameAndDeleteTakeEffectOnTheHost)
{
    WriteHost("work/old.txt", "data");
    WriteHost("work/taken.txt", "other");
    HANDLE h;
    ASSERT_EQ(Open(u"\\work\\old.txt", &h), STATUS_SUCCESS);
    auto rename = [&](const std::u16string& to, bool replace) {
        std::vector<UCHAR> buffer(sizeof(FILE_RENAME_INFORMATION) + to.size() * 2);
        auto* info = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
        info->ReplaceIfExists = replace;
        info->FileNameLength = ULONG(to.size() * 2);
        std::memcpy(info->FileName, to.data(), to.size() * 2);
        IO_STATUS_BLOCK iosb{};
        return NtSetInformationFile(h, &iosb, buffer.data(), ULONG(buffer.size()), FileRenameInformation);
    };
    EXPECT_EQ(rename(u"taken.txt", false), STATUS_OBJECT_NAME_COLLISION);
    ASSERT_EQ(rename(u"new.txt", false), STATUS_SUCCESS);
    EXPECT_FALSE(std::filesystem::exists(Host("work/old.txt")));
    EXPECT_EQ(ReadHost("work/new.txt"), "data");
    ASSERT_EQ(rename(u"\\??\\C:\\moved.txt", false), STATUS_SUCCESS);
    EXPECT_EQ(ReadHost("moved.txt"), "data");
    std::vector<UCHAR> buffer(256);
    IO_STATUS_BLOCK iosb{};
    ASSERT_EQ(NtQueryInformationFile(h, &iosb, buffer.data(), 256, FileNameInformation), STATUS_SUCCESS);
    auto* name = reinterpret_cast<FILE_NAME_INFORMATION*>(buffer.data());
    EXPECT_EQ(std::u16string(name->FileName, name->FileNameLength / 2), u"\\moved.txt");
    EXPECT_EQ(rename(u"\\??\\D:\\x.txt", false), STATUS_NOT_SAME_DEVICE);  // another drive

    // Delete disposition: the file goes when the last handle is closed.
    HANDLE other;
    ASSERT_EQ(Open(u"\\moved.txt", &other, FILE_OPEN, GENERIC_READ), STATUS_SUCCESS);
    FILE_DISPOSITION_INFORMATION del{TRUE};
    ASSERT_EQ(NtSetInformationFile(h, &iosb, &del, sizeof del, FileDispositionInformation), STATUS_SUCCESS);
    NtClose(h);
    EXPECT_TRUE(std::filesystem::exists(Host("moved.txt")));
    HANDLE third;
    EXPECT_EQ(Open(u"\\moved.txt", &third, FILE_OPEN, GENERIC_READ), STATUS_DELETE_PENDING);
    NtClose(other);
    EXPECT_FALSE(std::filesystem::exists(Host("moved.txt")));

    // A directory with something in it is not deleted; delete-on-close removes a file.
    ASSERT_EQ(Open(u"\\work", &h, FILE_OPEN, DELETE | FILE_LIST_DIRECTORY, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    EXPECT_EQ(NtSetInformationFile(h, &iosb, &del, sizeof del, FileDispositionInformation), STATUS_DIRECTORY_NOT_EMPTY);
    NtClose(h);
    ASSERT_EQ(Open(u"\\work\\taken.txt", &h, FILE_OPEN, GENERIC_READ | DELETE, FILE_DELETE_ON_CLOSE), STATUS_SUCCESS);
    NtClose(h);
    EXPECT_FALSE(std::filesystem::exists(Host("work/taken.txt")));
}

TEST_F(HostFsTest, VolumeQueriesAndFurtherDriveLetters)
{
    HANDLE volume;
    ASSERT_EQ(Open(u"\\", &volume, FILE_OPEN, GENERIC_READ, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    IO_STATUS_BLOCK iosb{};
    std::vector<UCHAR> buffer(128);
    ASSERT_EQ(NtQueryVolumeInformationFile(volume, &iosb, buffer.data(), 128, FileFsAttributeInformation),
              STATUS_SUCCESS);
    ULONG nameLength = reinterpret_cast<ULONG*>(buffer.data())[2];
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(buffer.data() + 12), nameLength / 2), u"NTFS");
    ASSERT_EQ(NtQueryVolumeInformationFile(volume, &iosb, buffer.data(), 128, FileFsSizeInformation), STATUS_SUCCESS);
    auto* sizes = reinterpret_cast<LARGE_INTEGER*>(buffer.data());
    EXPECT_GT(sizes[0].QuadPart, 0);
    EXPECT_LE(sizes[1].QuadPart, sizes[0].QuadPart);
    EXPECT_EQ(reinterpret_cast<ULONG*>(buffer.data())[4] * reinterpret_cast<ULONG*>(buffer.data())[5], 4096u);
    ASSERT_EQ(NtQueryVolumeInformationFile(volume, &iosb, buffer.data(), 128, FileFsDeviceInformation), STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<ULONG*>(buffer.data())[0], (ULONG)FILE_DEVICE_DISK);
    NtClose(volume);

    // Another letter over any host folder, at once and again after a reboot
    // when it lives under drives/.
    std::string media = Folder() + "/drives/M";
    nt::Machine::MapDrive('m', media);
    EXPECT_EQ(nt::Machine::DriveFolder('M'), std::filesystem::canonical(media).string());
    std::u16string path = u"\\??\\M:\\on-m.txt";
    UNICODE_STRING name{USHORT(path.size() * 2), USHORT(path.size() * 2), path.data()};
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE h;
    ASSERT_EQ(NtCreateFile(&h, GENERIC_WRITE | SYNCHRONIZE, &oa, &iosb, nullptr, 0, 0, FILE_CREATE,
                           FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0),
              STATUS_SUCCESS);
    NtClose(h);
    EXPECT_TRUE(std::filesystem::exists(media + "/on-m.txt"));
    Reboot();
    EXPECT_EQ(nt::Machine::DriveFolder('M'), std::filesystem::canonical(media).string());
    EXPECT_EQ(nt::Machine::DriveFolder('Q'), "");
}

}  // namespace
