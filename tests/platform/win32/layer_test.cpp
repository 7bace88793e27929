// The layer's own rules: the status-to-error table against every status the
// kernel's headers define, DOS to NT paths, the ANSI code page, the memory
// checks' never-fault policy, and LoadLibrary's search.
#include <sys/mman.h>

#include <fstream>
#include <regex>

#include "platform/win32/w32_internal.h"
#include "w32_machine.h"

namespace {

TEST(StatusTable, EveryStatusTheKernelDefinesHasAnError)
{
    // A status added to a kernel header without a Win32 error would reach
    // callers as ERROR_MR_MID_NOT_FOUND.
    const std::regex definition(R"((STATUS_[A-Z0-9_]+)\s*=\s*(?:\(NTSTATUS\))?(0x[0-9A-Fa-f]+))");
    int seen = 0;
    for (const auto& entry : std::filesystem::directory_iterator(std::string(ZAR_SOURCE_DIR) + "/platform/nt")) {
        if (entry.path().extension() != ".h") continue;
        std::ifstream in(entry.path());
        std::string text((std::istreambuf_iterator<char>(in)), {});
        for (std::sregex_iterator m(text.begin(), text.end(), definition), end; m != end; ++m) {
            auto status = static_cast<NTSTATUS>(std::stoul((*m)[2], nullptr, 16));
            EXPECT_NE(RtlNtStatusToDosError(status), ERROR_MR_MID_NOT_FOUND)
                << (*m)[1] << " in " << entry.path().filename();
            ++seen;
        }
    }
    EXPECT_GT(seen, 50);

    struct Case {
        NTSTATUS status;
        DWORD error;
    } cases[] = {
        {STATUS_SUCCESS, ERROR_SUCCESS},
        {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
        {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
        {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
        {STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
        {STATUS_OBJECT_TYPE_MISMATCH, ERROR_INVALID_HANDLE},
        {STATUS_PENDING, ERROR_IO_PENDING},
        {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
        {static_cast<NTSTATUS>(0xC0070000 | ERROR_BAD_EXE_FORMAT), ERROR_BAD_EXE_FORMAT},
        {static_cast<NTSTATUS>(0xC0FFEE01), ERROR_MR_MID_NOT_FOUND},
    };
    for (const Case& c : cases) EXPECT_EQ(RtlNtStatusToDosError(c.status), c.error) << NtStatusName(c.status);
}

TEST(Paths, DosPathsBecomeNtPaths)
{
    ASSERT_TRUE(SetCurrentDirectoryA("C:\\"));
    struct Case {
        const char16_t* dos;
        const char16_t* nt;
    } cases[] = {
        {u"\\\\.\\KIVZAR0", u"\\??\\KIVZAR0"},
        {u"\\\\?\\C:\\a\\..\\b", u"\\??\\C:\\a\\..\\b"},
        {u"C:\\x\\y.txt", u"\\??\\C:\\x\\y.txt"},
        {u"c:/x//y/./z/../w", u"\\??\\C:\\x\\y\\w"},
        {u"C:\\..\\..\\x", u"\\??\\C:\\x"},
        {u"C:\\x\\name. ", u"\\??\\C:\\x\\name"},
        {u"rel\\f", u"\\??\\C:\\rel\\f"},
        {u"\\rooted", u"\\??\\C:\\rooted"},
        {u"D:rel", u"\\??\\D:\\rel"},
        {u"C:", u"\\??\\C:\\"},
        {u"\\\\server\\share\\f", u"\\??\\UNC\\server\\share\\f"},
    };
    for (const Case& c : cases) {
        std::u16string nt;
        ASSERT_TRUE(w32::DosPathToNtPath(c.dos, &nt)) << NtNarrow(c.dos);
        EXPECT_EQ(nt, c.nt) << NtNarrow(c.dos);
    }
    std::u16string nt;
    EXPECT_FALSE(w32::DosPathToNtPath(u"", &nt));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST(CodePages, AnsiIsWindows1252AndEveryByteRoundTrips)
{
    char all[256];
    for (int i = 0; i < 256; ++i) all[i] = static_cast<char>(i);
    char16_t wide[256];
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, all, 256, wide, 256), 256);
    EXPECT_EQ(wide[0x80], u'\u20AC');
    EXPECT_EQ(wide[0x9F], u'\u0178');
    EXPECT_EQ(wide[0xE9], u'\u00E9');
    char back[256];
    BOOL usedDefault = TRUE;
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, 256, back, 256, nullptr, &usedDefault), 256);
    EXPECT_FALSE(usedDefault);
    EXPECT_EQ(std::memcmp(all, back, 256), 0);

    const char16_t greek[] = u"\u03A9!";
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, greek, -1, back, sizeof back, nullptr, &usedDefault), 3);
    EXPECT_TRUE(usedDefault);
    EXPECT_STREQ(back, "?!");
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, greek, -1, nullptr, 0, nullptr, nullptr), 4);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, wide, 2), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

// Pages: read/write, read-only, none.
struct Pages {
    Pages()
    {
        base = static_cast<char*>(mmap(nullptr, 3 * 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        std::memset(base, 'x', 2 * 4096);
        base[2 * 4096 - 1] = '\0';
        mprotect(base + 4096, 4096, PROT_READ);
        mprotect(base + 2 * 4096, 4096, PROT_NONE);
    }
    ~Pages() { munmap(base, 3 * 4096); }
    char* base;
};

TEST(MemoryChecks, AnswerWithoutFaulting)
{
    Pages p;
    char onStack[256] = {};
    char* rw = p.base;
    char* ro = p.base + 4096;
    char* none = p.base + 2 * 4096;
    struct Case {
        const char* what;
        void* at;
        UINT_PTR size;
        BOOL badRead, badWrite;
    } cases[] = {
        {"read/write page", rw, 4096, FALSE, FALSE},
        {"the caller's stack", onStack, sizeof onStack, FALSE, FALSE},
        {"read-only page", ro, 4096, FALSE, TRUE},
        {"into the read-only page", rw + 4000, 200, FALSE, TRUE},
        {"no-access page", none, 1, TRUE, TRUE},
        {"runs into the no-access page", ro + 4095, 2, TRUE, TRUE},
        {"zero length anywhere", none, 0, FALSE, FALSE},
        {"null", nullptr, 1, TRUE, TRUE},
        {"wraps", reinterpret_cast<void*>(0xFFFFF000), 0x2000, TRUE, TRUE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(IsBadReadPtr(c.at, c.size), c.badRead);
        EXPECT_EQ(IsBadWritePtr(c.at, c.size), c.badWrite);
    }
    // The write probe changes nothing.
    EXPECT_EQ(rw[0], 'x');
    EXPECT_FALSE(IsBadCodePtr(reinterpret_cast<FARPROC>(&GetTickCount)));
    EXPECT_TRUE(IsBadCodePtr(reinterpret_cast<FARPROC>(none)));
    // A string that ends before the bad page is good; one that runs into it is not.
    EXPECT_FALSE(IsBadStringPtrA(ro, 10000));
    EXPECT_FALSE(IsBadStringPtrA(ro + 4000, 50));  // within the limit, no terminator needed
    ro[-1] = 'x';
    mprotect(ro, 4096, PROT_READ | PROT_WRITE);
    ro[4095] = 'y';
    EXPECT_TRUE(IsBadStringPtrA(ro + 4000, 10000));
}

TEST(Modules, DllNamesFindSharedObjectsNextToTheProgram)
{
    HMODULE m = LoadLibraryA("W32TestMod.dll");  // found as libw32testmod.so
    ASSERT_NE(m, nullptr) << GetLastError();
    using Add = int (*)(int, int);
    auto add = reinterpret_cast<Add>(reinterpret_cast<void*>(GetProcAddress(m, "W32TestAdd")));
    ASSERT_NE(add, nullptr);
    EXPECT_EQ(add(2, 3), 5);
    EXPECT_EQ(GetProcAddress(m, "NoSuchExport"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    EXPECT_TRUE(FreeLibrary(m));
    EXPECT_EQ(LoadLibraryA("NoSuchLibrary.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

// The library shares the program's runtime: what the program made, by name
// or by handle, is the library's too; its entry runs once for each event of
// its life, in order.
TEST(Modules, ALoadedLibrarySharesTheProgramsHandlesAndIsAttachedAndDetachedOnce)
{
    unsetenv("W32TESTMOD_LOG");
    HANDLE named = CreateEventA(nullptr, TRUE, FALSE, "W32TestModEvent");
    ASSERT_NE(named, nullptr);
    HMODULE m = LoadLibraryA("W32TestMod.dll");
    ASSERT_NE(m, nullptr) << GetLastError();
    EXPECT_EQ(WaitForSingleObject(named, 0), WAIT_OBJECT_0) << "the library opened the program's event by name";
    HMODULE again = LoadLibraryA("w32testmod");
    EXPECT_EQ(again, m);
    EXPECT_EQ(GetModuleHandleA("W32TESTMOD.DLL"), m);
    char path[64];
    EXPECT_EQ(GetModuleFileNameA(m, path, sizeof path), 32u);
    EXPECT_STREQ(path, "C:\\WINNT\\system32\\W32TestMod.dll");

    HANDLE mine = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    using SetByHandle = BOOL (*)(HANDLE);
    auto set = reinterpret_cast<SetByHandle>(reinterpret_cast<void*>(GetProcAddress(m, "W32TestSetByHandle")));
    ASSERT_NE(set, nullptr);
    EXPECT_TRUE(set(mine));
    EXPECT_EQ(WaitForSingleObject(mine, 0), WAIT_OBJECT_0) << "the library set the program's event by handle";

    HANDLE thread = CreateThread(nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_TRUE(FreeLibrary(again));
    EXPECT_STREQ(std::getenv("W32TESTMOD_LOG"), "attach,thread-attach,thread-detach") << "loaded twice, attached once";
    EXPECT_TRUE(FreeLibrary(m));
    EXPECT_STREQ(std::getenv("W32TESTMOD_LOG"), "attach,thread-attach,thread-detach,detach");
    EXPECT_FALSE(FreeLibrary(m));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(GetModuleHandleA("W32TestMod"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    CloseHandle(mine);
    CloseHandle(named);
}

TEST(Modules, ALibraryThatRefusesItsAttachIsDetachedAndNotLoaded)
{
    unsetenv("W32TESTMOD_LOG");
    setenv("W32TESTMOD_REFUSE", "1", 1);
    EXPECT_EQ(LoadLibraryA("W32TestMod.dll"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DLL_INIT_FAILED));
    unsetenv("W32TESTMOD_REFUSE");
    EXPECT_STREQ(std::getenv("W32TESTMOD_LOG"), "attach,detach");
    EXPECT_EQ(GetModuleHandleA("W32TestMod"), nullptr);
    // Refused once, it loads afresh the next time.
    HMODULE m = LoadLibraryA("W32TestMod.dll");
    ASSERT_NE(m, nullptr);
    EXPECT_TRUE(FreeLibrary(m));
    EXPECT_STREQ(std::getenv("W32TESTMOD_LOG"), "attach,detach,attach,detach");
}

TEST(SystemInformation, FoldersPathsAndTheProcessHeapAnswerAsWindowsDoes)
{
    char buffer[64];
    EXPECT_EQ(GetWindowsDirectoryA(buffer, sizeof buffer), 8u);
    EXPECT_STREQ(buffer, "C:\\WINNT");
    EXPECT_EQ(GetSystemDirectoryA(buffer, 5), 18u) << "too small: the size needed, terminator included";
    EXPECT_EQ(GetSystemDirectoryA(buffer, 18), 17u);
    EXPECT_STREQ(buffer, "C:\\WINNT\\system32");

    LPSTR part = nullptr;
    EXPECT_EQ(GetFullPathNameA("C:\\a\\..\\b\\name.kiv", sizeof buffer, buffer, &part), 13u);
    EXPECT_STREQ(buffer, "C:\\b\\name.kiv");
    EXPECT_EQ(part, buffer + 5);
    EXPECT_EQ(GetFullPathNameA("C:\\b\\", sizeof buffer, buffer, &part), 5u);
    EXPECT_EQ(part, nullptr);
    EXPECT_EQ(GetFullPathNameA("", sizeof buffer, buffer, &part), 0u);

    SYSTEM_INFO info;
    GetSystemInfo(&info);
    EXPECT_EQ(info.dwPageSize, 4096u);
    EXPECT_EQ(info.dwAllocationGranularity, 65536u);
    EXPECT_GE(info.dwNumberOfProcessors, 1u);

    HANDLE heap = GetProcessHeap();
    auto* block = static_cast<unsigned char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 100));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 8, 0u);
    EXPECT_EQ(HeapSize(heap, 0, block), 100u);
    EXPECT_EQ(block[99], 0);
    block[0] = 42;
    block = static_cast<unsigned char*>(HeapReAlloc(heap, 0, block, 5000));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block[0], 42) << "a reallocation keeps the contents";
    EXPECT_EQ(HeapReAlloc(heap, HEAP_REALLOC_IN_PLACE_ONLY, block, 6000), nullptr);
    EXPECT_EQ(HeapSize(heap, 0, block), 5000u) << "a refused reallocation leaves the block";
    EXPECT_EQ(HeapAlloc(heap, 0, 0x80000000u), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(HeapAlloc(nullptr, 0, 8), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(HeapFree(heap, 0, block));
    EXPECT_TRUE(HeapFree(heap, 0, nullptr));
}

TEST(Time, SystemTimeConversionsAgree)
{
    SYSTEMTIME st{2001, 2, 0, 28, 23, 59, 58, 999};
    FILETIME ft;
    ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
    SYSTEMTIME back;
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
    EXPECT_EQ(back.wYear, 2001);
    EXPECT_EQ(back.wMonth, 2);
    EXPECT_EQ(back.wDay, 28);
    EXPECT_EQ(back.wDayOfWeek, 3);  // a Wednesday
    EXPECT_EQ(back.wSecond, 58);
    EXPECT_EQ(back.wMilliseconds, 999);
    st.wDay = 29;  // 2001 is no leap year
    EXPECT_FALSE(SystemTimeToFileTime(&st, &ft));
    FILETIME epoch{0, 0};
    ASSERT_TRUE(FileTimeToSystemTime(&epoch, &back));
    EXPECT_EQ(back.wYear, 1601);
    EXPECT_EQ(back.wDayOfWeek, 1);  // a Monday
}

}  // namespace

TEST(Security, ANullDaclDescriptorIsAcceptedWhereverAttributesArePassed)
{
    SECURITY_DESCRIPTOR sd;
    EXPECT_FALSE(InitializeSecurityDescriptor(&sd, 2));
    EXPECT_EQ(GetLastError(), ERROR_UNKNOWN_REVISION);
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
    EXPECT_TRUE(IsValidSecurityDescriptor(&sd));
    BOOL present = FALSE, defaulted = TRUE;
    PACL dacl = reinterpret_cast<PACL>(&sd);
    ASSERT_TRUE(GetSecurityDescriptorDacl(&sd, &present, &dacl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_EQ(dacl, nullptr);
    EXPECT_FALSE(defaulted);
    // A DACL with entries would be ignored here: refused instead.
    alignas(8) BYTE entries[32] = {2};
    EXPECT_FALSE(SetSecurityDescriptorDacl(&sd, TRUE, reinterpret_cast<PACL>(entries), FALSE));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    // Objects made with it, named and inheritable, work as with no attributes.
    SECURITY_ATTRIBUTES sa{sizeof sa, &sd, TRUE};
    HANDLE event = CreateEventA(&sa, TRUE, FALSE, "W32TestNullDacl");
    ASSERT_NE(event, nullptr);
    HANDLE opened = OpenEventA(EVENT_ALL_ACCESS, FALSE, "W32TestNullDacl");
    ASSERT_NE(opened, nullptr);
    EXPECT_TRUE(SetEvent(opened));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, 4096, "W32TestNullDaclMap");
    EXPECT_NE(mapping, nullptr);
    CloseHandle(mapping);
    CloseHandle(opened);
    CloseHandle(event);
}

TEST(VersionInfo, TheSystemsOwnFilesHaveARecordAndOtherFilesNone)
{
    char system[MAX_PATH];
    ASSERT_GT(GetSystemDirectoryA(system, MAX_PATH), 0u);
    const std::string folder = system;
    const struct {
        std::string path;
        DWORD error;  // 0: it has a record
        DWORD type;
    } cases[] = {
        {folder + "\\drivers\\ZARKD.SYS", 0, VFT_DRV},
        {folder + "\\drivers\\zarfskd.sys", 0, VFT_DRV},
        {folder + "\\ZarDll.dll", 0, VFT_DLL},
        {folder + "\\ZarService.exe", 0, VFT_APP},
        {folder + "\\ZARKD.sys", ERROR_FILE_NOT_FOUND, 0},          // not where the system puts it
        {folder + "\\drivers\\Other.sys", ERROR_FILE_NOT_FOUND, 0},
        {folder, ERROR_RESOURCE_TYPE_NOT_FOUND, 0},                 // there, but not a file of the system
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        DWORD handle = 7;
        DWORD size = GetFileVersionInfoSizeA(c.path.c_str(), &handle);
        EXPECT_EQ(handle, 0u);
        if (c.error) {
            EXPECT_EQ(size, 0u);
            EXPECT_EQ(GetLastError(), c.error);
            continue;
        }
        ASSERT_GT(size, sizeof(VS_FIXEDFILEINFO));
        std::vector<BYTE> block(size);
        EXPECT_FALSE(GetFileVersionInfoA(c.path.c_str(), 0, size - 1, block.data()));
        EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
        ASSERT_TRUE(GetFileVersionInfoA(c.path.c_str(), 0, size, block.data()));
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<LPVOID*>(&fixed), &length));
        EXPECT_EQ(length, sizeof(VS_FIXEDFILEINFO));
        EXPECT_EQ(fixed->dwSignature, VS_FFI_SIGNATURE);
        EXPECT_EQ(fixed->dwFileType, c.type);
        char text[32];
        std::snprintf(text, sizeof text, "%u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                      HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
        DWORD* translation = nullptr;
        ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", reinterpret_cast<LPVOID*>(&translation),
                                   &length));
        EXPECT_EQ(LOWORD(*translation), 0x0409);
        char* version = nullptr;
        ASSERT_TRUE(VerQueryValueA(block.data(), "\\StringFileInfo\\040904B0\\FileVersion",
                                   reinterpret_cast<LPVOID*>(&version), &length));
        EXPECT_STREQ(version, text);  // the string and the fixed words agree
        EXPECT_FALSE(VerQueryValueA(block.data(), "\\StringFileInfo\\040904B0\\NoSuchName",
                                    reinterpret_cast<LPVOID*>(&version), &length));
    }
}

