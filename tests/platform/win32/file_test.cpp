// Files on drive C: through the kernel's host file system: dispositions,
// reading, writing and seeking, overlapped file I/O, the current directory,
// name operations and wildcard listing.
#include <fstream>
#include <set>

#include "w32_machine.h"

namespace {

std::string HostPath(const std::string& relative) { return nt::Machine::DriveFolder('C') + "/" + relative; }

class Files : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SetCurrentDirectoryA("C:\\"));
        RemoveTree("w32files");
        ASSERT_TRUE(CreateDirectoryA("C:\\w32files", nullptr)) << GetLastError();
    }
    void TearDown() override { RemoveTree("w32files"); }
    static void RemoveTree(const char* name) { std::filesystem::remove_all(HostPath(name)); }
};

HANDLE Open(const char* path, DWORD disposition, DWORD access = GENERIC_READ | GENERIC_WRITE, DWORD flags = 0)
{
    return CreateFileA(path, access, FILE_SHARE_READ, nullptr, disposition, flags, nullptr);
}

TEST_F(Files, DispositionsAndTheirErrors)
{
    struct Case {
        const char* what;
        bool exists;
        DWORD disposition;
        bool opens;
        DWORD error;       // GetLastError after the call
        bool truncated;    // an existing file's data is gone
    } cases[] = {
        {"create new, absent", false, CREATE_NEW, true, ERROR_SUCCESS, false},
        {"create new, present", true, CREATE_NEW, false, ERROR_FILE_EXISTS, false},
        {"create always, absent", false, CREATE_ALWAYS, true, ERROR_SUCCESS, false},
        {"create always, present", true, CREATE_ALWAYS, true, ERROR_ALREADY_EXISTS, true},
        {"open existing, absent", false, OPEN_EXISTING, false, ERROR_FILE_NOT_FOUND, false},
        {"open existing, present", true, OPEN_EXISTING, true, ERROR_SUCCESS, false},
        {"open always, absent", false, OPEN_ALWAYS, true, ERROR_SUCCESS, false},
        {"open always, present", true, OPEN_ALWAYS, true, ERROR_ALREADY_EXISTS, false},
        {"truncate existing, absent", false, TRUNCATE_EXISTING, false, ERROR_FILE_NOT_FOUND, false},
        {"truncate existing, present", true, TRUNCATE_EXISTING, true, ERROR_SUCCESS, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DeleteFileA("C:\\w32files\\d.bin");
        if (c.exists) std::ofstream(HostPath("w32files/d.bin")) << "12345";
        SetLastError(0x1234);
        HANDLE h = Open("C:\\w32files\\d.bin", c.disposition);
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.opens);
        EXPECT_EQ(GetLastError(), c.error);
        if (h != INVALID_HANDLE_VALUE) {
            EXPECT_EQ(GetFileSize(h, nullptr), c.exists && !c.truncated ? 5u : 0u);
            CloseHandle(h);
        }
    }
    EXPECT_EQ(Open("C:\\no\\such\\folder\\x", CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(Open("C:\\w32files", OPEN_EXISTING), INVALID_HANDLE_VALUE);  // a folder is no file
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(Files, MoveFileExReplacesOnlyWhenAskedAndPutsRenamesOffUntilTheNextBoot)
{
    for (const char* name : {"a", "b", "c", "d"}) std::ofstream(HostPath(std::string("w32files/") + name)) << name;
    auto contents = [](const char* relative) {
        std::ifstream in(HostPath(relative));
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_FALSE(MoveFileExA("C:\\w32files\\a", "C:\\w32files\\b", 0));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(MoveFileExA("C:\\w32files\\a", "C:\\w32files\\b", MOVEFILE_REPLACE_EXISTING)) << GetLastError();
    EXPECT_EQ(contents("w32files/b"), "a");
    EXPECT_FALSE(MoveFileExA("C:\\w32files\\b", nullptr, 0)) << "only a rename at the next boot deletes";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(MoveFileExA("C:\\w32files\\b", "C:\\w32files\\e",
                             MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_COPY_ALLOWED));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    ASSERT_TRUE(MoveFileExA("C:\\w32files\\c", "C:\\w32files\\e", MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(MoveFileExA("C:\\w32files\\d", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(MoveFileExA("C:\\w32files\\b", "C:\\w32files\\e",
                            MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(contents("w32files/c"), "c") << "nothing happens before the boot";
    EXPECT_TRUE(std::filesystem::exists(HostPath("w32files/d")));

    W32_EMBEDDED_ONLY("the test reboots the machine");
    nt::MachineOptions options;
    options.folder = nt::Machine::Folder();
    options.loadDrivers = false;
    nt::Machine::Shutdown();
    ASSERT_EQ(nt::Machine::Boot(options), STATUS_SUCCESS);
    EXPECT_FALSE(std::filesystem::exists(HostPath("w32files/c")));
    EXPECT_FALSE(std::filesystem::exists(HostPath("w32files/d"))) << "an empty target deletes";
    EXPECT_FALSE(std::filesystem::exists(HostPath("w32files/b")));
    EXPECT_EQ(contents("w32files/e"), "a") << "in order: c became e, then b replaced it";
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND)
        << "done once";
    RegCloseKey(key);
}

TEST_F(Files, ReadWriteSeekAndSize)
{
    HANDLE h = Open("C:\\w32files\\data.bin", CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "hello, world", 12, &n, nullptr));
    EXPECT_EQ(n, 12u);
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 12u);
    EXPECT_EQ(SetFilePointer(h, -5, nullptr, FILE_END), 7u);
    char buf[16] = {};
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "world");
    // At the end a synchronous read succeeds with nothing.
    n = 99;
    EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(n, 0u);

    EXPECT_EQ(SetFilePointer(h, -1, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
    LARGE_INTEGER far, at;
    far.QuadPart = 0x100000005LL;
    ASSERT_TRUE(SetFilePointerEx(h, far, &at, FILE_BEGIN));
    EXPECT_EQ(at.QuadPart, far.QuadPart);
    LONG high = 0;
    EXPECT_EQ(SetFilePointer(h, 0, &high, FILE_CURRENT), 5u);
    EXPECT_EQ(high, 1);
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);  // does not fit
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    ASSERT_NE(SetFilePointer(h, 5, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    ASSERT_TRUE(SetEndOfFile(h));
    LARGE_INTEGER size;
    ASSERT_TRUE(GetFileSizeEx(h, &size));
    EXPECT_EQ(size.QuadPart, 5);
    EXPECT_TRUE(FlushFileBuffers(h));
    CloseHandle(h);
    std::ifstream host(HostPath("w32files/data.bin"));
    std::string content((std::istreambuf_iterator<char>(host)), {});
    EXPECT_EQ(content, "hello");
}

// A null buffer with a length is refused before anything moves, in the
// middle of a file and at its end alike; with no length there is nothing
// to refuse.
TEST_F(Files, NullBuffersWithALengthAreRefused)
{
    HANDLE h = Open("C:\\w32files\\null.bin", CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD n = 99;
    EXPECT_TRUE(WriteFile(h, nullptr, 0, &n, nullptr));
    EXPECT_EQ(n, 0u);
    n = 99;
    EXPECT_FALSE(WriteFile(h, nullptr, 10, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
    EXPECT_EQ(n, 0u);
    ASSERT_TRUE(WriteFile(h, "0123456789", 10, &n, nullptr));
    struct Case {
        const char* what;
        LONG position;
    } cases[] = {{"inside the data", 0}, {"at the end", 10}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(SetFilePointer(h, c.position, nullptr, FILE_BEGIN), DWORD(c.position));
        n = 99;
        EXPECT_TRUE(ReadFile(h, nullptr, 0, &n, nullptr));
        EXPECT_EQ(n, 0u);
        n = 99;
        EXPECT_FALSE(ReadFile(h, nullptr, 10, &n, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_NOACCESS);
        EXPECT_EQ(n, 0u);
        EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), DWORD(c.position));  // nothing was consumed
    }
    CloseHandle(h);
    EXPECT_EQ(std::filesystem::file_size(HostPath("w32files/null.bin")), 10u);
}

// Offsets past 4 GB reach the host file whole, not cut to 32 bits.
TEST_F(Files, AWriteBeyondFourGigabytesLandsThereOnTheHost)
{
    HANDLE h = Open("C:\\w32files\\far.bin", CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    LARGE_INTEGER far;
    far.QuadPart = 0x100000005LL;
    ASSERT_TRUE(SetFilePointerEx(h, far, nullptr, FILE_BEGIN));
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "x", 1, &n, nullptr));
    LARGE_INTEGER size;
    ASSERT_TRUE(GetFileSizeEx(h, &size));
    EXPECT_EQ(size.QuadPart, 0x100000006LL);
    ASSERT_TRUE(SetFilePointerEx(h, far, nullptr, FILE_BEGIN));
    char back = 0;
    ASSERT_TRUE(ReadFile(h, &back, 1, &n, nullptr));
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(back, 'x');
    CloseHandle(h);
    EXPECT_EQ(std::filesystem::file_size(HostPath("w32files/far.bin")), 0x100000006ULL);
}

TEST_F(Files, OverlappedFileIoUsesTheOffsetOfTheRecord)
{
    std::ofstream(HostPath("w32files/o.bin")) << "0123456789";
    HANDLE h = Open("C:\\w32files\\o.bin", OPEN_EXISTING, GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = e;
    ov.Offset = 6;
    char buf[8] = {};
    DWORD n = 0;
    if (!ReadFile(h, buf, 3, &n, &ov)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(std::string(buf, n), "678");
    ov.Offset = 20;  // past the end
    BOOL ok = ReadFile(h, buf, 3, &n, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(h, &ov, &n, TRUE);
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), ERROR_HANDLE_EOF);
    CloseHandle(e);
    CloseHandle(h);
}

TEST_F(Files, RelativePathsFollowTheCurrentDirectory)
{
    char dir[MAX_PATH];
    ASSERT_TRUE(SetCurrentDirectoryA("w32files"));
    EXPECT_EQ(GetCurrentDirectoryA(sizeof dir, dir), 11u);
    EXPECT_STREQ(dir, "C:\\w32files");
    EXPECT_EQ(GetCurrentDirectoryA(5, dir), 12u);  // too small: the size it needs
    HANDLE h = Open("sub.txt", CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_TRUE(std::filesystem::exists(HostPath("w32files/sub.txt")));
    EXPECT_NE(GetFileAttributesA("..\\w32files\\.\\SUB.TXT"), INVALID_FILE_ATTRIBUTES);  // names ignore case
    EXPECT_FALSE(SetCurrentDirectoryA("C:\\w32files\\sub.txt"));
    EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
    EXPECT_FALSE(SetCurrentDirectoryA("C:\\nowhere"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(Files, NameOperationsAndWildcardListing)
{
    for (const char* name : {"a.txt", "b.txt", "c.dat", "noext"}) {
        HANDLE h = Open((std::string("C:\\w32files\\") + name).c_str(), CREATE_NEW);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << name;
        CloseHandle(h);
    }
    ASSERT_TRUE(CreateDirectoryA("C:\\w32files\\sub", nullptr));
    EXPECT_FALSE(CreateDirectoryA("C:\\w32files\\sub", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(GetFileAttributesA("C:\\w32files\\sub") & FILE_ATTRIBUTE_DIRECTORY, DWORD{FILE_ATTRIBUTE_DIRECTORY});
    EXPECT_EQ(GetFileAttributesA("C:\\w32files\\missing"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    auto list = [](const char* pattern) {
        std::set<std::string> names;
        WIN32_FIND_DATAA fd;
        HANDLE f = FindFirstFileA(pattern, &fd);
        if (f == INVALID_HANDLE_VALUE) return names;
        do {
            if (std::string(fd.cFileName) != "." && std::string(fd.cFileName) != "..") names.insert(fd.cFileName);
        } while (FindNextFileA(f, &fd));
        EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
        EXPECT_TRUE(FindClose(f));
        return names;
    };
    using S = std::set<std::string>;
    EXPECT_EQ(list("C:\\w32files\\*.txt"), (S{"a.txt", "b.txt"}));
    EXPECT_EQ(list("C:\\w32files\\*.*"), (S{"a.txt", "b.txt", "c.dat", "noext", "sub"}));
    EXPECT_EQ(list("C:\\w32files\\?.TXT"), (S{"a.txt", "b.txt"}));
    EXPECT_EQ(list("C:\\w32files\\noext.*"), (S{"noext"}));
    WIN32_FIND_DATAA fd;
    EXPECT_EQ(FindFirstFileA("C:\\w32files\\*.none", &fd), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(FindFirstFileA("C:\\nowhere\\*", &fd), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

    EXPECT_TRUE(MoveFileA("C:\\w32files\\a.txt", "C:\\w32files\\sub\\moved.txt"));
    EXPECT_FALSE(MoveFileA("C:\\w32files\\b.txt", "C:\\w32files\\sub\\moved.txt"));  // never replaces
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(std::filesystem::exists(HostPath("w32files/sub/moved.txt")));
    EXPECT_FALSE(RemoveDirectoryA("C:\\w32files\\sub"));
    EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
    EXPECT_FALSE(DeleteFileA("C:\\w32files\\sub"));  // a folder is no file
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(DeleteFileA("C:\\w32files\\sub\\moved.txt"));
    EXPECT_FALSE(DeleteFileA("C:\\w32files\\sub\\moved.txt"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(RemoveDirectoryA("C:\\w32files\\sub"));
    EXPECT_FALSE(std::filesystem::exists(HostPath("w32files/sub")));
}

// A listing's pattern means what it has always meant on the system: '?'
// and a '*' before a dot stop at the last dot, "*." names the files without
// an extension, "x.*" finds "x" too, a trailing dot or space is dropped, and
// the DOS wildcards '<', '>' and '"' may be written directly.
TEST_F(Files, FindFirstFilePatternsFollowTheDosWildcardRules)
{
    std::filesystem::create_directory(HostPath("w32files/pat"));
    for (const char* name : {"a", "ab", "a.a", ".a", "a..a", "a.b.c", "b.txt"})
        std::ofstream(HostPath(std::string("w32files/pat/") + name)) << "x";
    using S = std::set<std::string>;
    const S all{".", "..", "a", "ab", "a.a", ".a", "a..a", "a.b.c", "b.txt"};
    struct Case {
        const char* pattern;
        S found;
    } cases[] = {
        {"*", all},
        {"*.*", all},
        {"*.*.*", all},
        {"*.", {".", "..", "a", "ab"}},
        {"a*.", {"a", "ab"}},
        {"?", {"a"}},
        {"??", {"a", "ab"}},
        {"a.*", {"a", "a.a", "a..a", "a.b.c"}},
        {"*.a", {"a.a", ".a", "a..a"}},
        {"*a", {"a", "a.a", ".a", "a..a"}},
        {".*", {".", "..", ".a"}},
        {"*.?", {".", "..", "a", "ab", "a.a", ".a", "a..a", "a.b.c"}},
        {"b.txt.", {"b.txt"}},
        {"b.txt ", {"b.txt"}},
        {"B.TX?", {"b.txt"}},
        {"<.txt", {"b.txt"}},
        {"B.TX>", {"b.txt"}},
        {"a\"", {"a"}},
        {"*.none", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        S names;
        WIN32_FIND_DATAA fd;
        HANDLE f = FindFirstFileA((std::string("C:\\w32files\\pat\\") + c.pattern).c_str(), &fd);
        if (f == INVALID_HANDLE_VALUE) {
            EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
        } else {
            do names.insert(fd.cFileName);
            while (FindNextFileA(f, &fd));
            EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
            FindClose(f);
        }
        EXPECT_EQ(names, c.found);
    }
    // A path with no name in it: a folder that is there has nothing to find,
    // a missing one is a missing path.
    WIN32_FIND_DATAA fd;
    EXPECT_EQ(FindFirstFileA("C:\\w32files\\pat\\", &fd), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(FindFirstFileA("C:\\nonexistent\\", &fd), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

}  // namespace
