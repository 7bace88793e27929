// Installing and removing the driver through its DriverProc, as an
// installer reaches it (OpenDriver, SendDriverMessage), and the
// configuration dialog 101.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "script.h"
#include "snapshot.h"
#include "tests/wavedrv/zarwav_machine.h"
#include "wavedrv/zarwav.h"

namespace {

constexpr char kSessionManager[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";

std::vector<std::u16string> PendingOperations()
{
    std::vector<std::u16string> list;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_READ, &key) != ERROR_SUCCESS) return list;
    std::vector<char16_t> value(4096);
    DWORD type = 0, size = DWORD(value.size() * 2);
    if (RegQueryValueExW(key, u"PendingFileRenameOperations", nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &size) ==
        ERROR_SUCCESS) {
        // Source and target strings in pairs; an empty source ends the list.
        std::u16string current;
        for (size_t i = 0; i < size / 2; ++i) {
            if (value[i] != 0) {
                current += value[i];
                continue;
            }
            if (current.empty() && list.size() % 2 == 0) break;
            list.push_back(current);
            current.clear();
        }
    }
    RegCloseKey(key);
    return list;
}

class ZarWavInstallation : public ZarWavMachine {
protected:
    void SetUp() override
    {
        ZarWavMachine::SetUp();
        if (HasFatalFailure()) return;
        driver_ = OpenDriver(u"ZARWAV.dll", nullptr, 0);
        ASSERT_NE(driver_, nullptr);
    }
    void TearDown() override
    {
        user::script::ClearIdleSteps();
        if (driver_ != nullptr) CloseDriver(driver_, 0, 0);
        ZarWavMachine::TearDown();
    }
    static std::string Library()
    {
        char folder[MAX_PATH] = {};
        GetSystemDirectoryA(folder, sizeof folder);
        return std::string(folder) + "\\ZARWAV.dll";
    }
    HDRVR driver_ = nullptr;
};

TEST_F(ZarWavInstallation, ConfigureRightAfterInstallAsksForARestartWithoutTheDialog)
{
    bool shown = false;
    user::script::SetIdleSteps({[&](HWND modal) {
        shown = true;
        EndDialog(modal, IDCANCEL);
    }});
    EXPECT_EQ(SendDriverMessage(driver_, DRV_INSTALL, 0, 0), DRVCNF_RESTART);
    EXPECT_EQ(SendDriverMessage(driver_, DRV_CONFIGURE, 0, 0), DRVCNF_RESTART);
    EXPECT_FALSE(shown);
    // The event source the kernel service reports under.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\ZARWAV", 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
    char file[512] = {};
    DWORD type = 0, size = sizeof file, types = 0, typesSize = sizeof types;
    ASSERT_EQ(RegQueryValueExA(key, "EventMessageFile", nullptr, &type, reinterpret_cast<BYTE*>(file), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_EXPAND_SZ);
    EXPECT_STREQ(file, "%SystemRoot%\\System32\\IoLogMsg.dll;%SystemRoot%\\System32\\Drivers\\ZARWAV.sys");
    ASSERT_EQ(RegQueryValueExA(key, "TypesSupported", nullptr, &type, reinterpret_cast<BYTE*>(&types), &typesSize), ERROR_SUCCESS);
    EXPECT_EQ(types, 7u);
    RegCloseKey(key);
}

TEST_F(ZarWavInstallation, TheDialogNamesTheDriverAndItsVersionWithOkFocused)
{
    struct Seen {
        std::string caption, title, text, ok, cancel, focus;
        RECT box{};
    } seen;
    user::script::SetIdleSteps({[&](HWND modal) {
        char text[256] = {};
        GetWindowTextA(modal, text, sizeof text);
        seen.caption = text;
        seen.title = user::script::Text(GetDlgItem(modal, 1003));
        seen.ok = user::script::Text(GetDlgItem(modal, IDOK));
        seen.cancel = user::script::Text(GetDlgItem(modal, IDCANCEL));
        for (HWND c = GetWindow(modal, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT))
            if (GetDlgCtrlID(c) == IDC_STATIC) seen.text = user::script::Text(c);
        HWND focus = GetFocus();
        seen.focus = focus != nullptr ? user::script::Text(focus) : "";
        GetWindowRect(modal, &seen.box);
        user::script::Click(GetDlgItem(modal, IDOK));
    }});
    EXPECT_EQ(SendDriverMessage(driver_, DRV_CONFIGURE, 0, 0), DRVCNF_CANCEL);
    EXPECT_EQ(user::script::PendingSteps(), 0);
    EXPECT_EQ(seen.caption, "Solvane System Wave Driver");
    EXPECT_EQ(seen.title, "Solvane System Wave Driver v1.2.0.0");
    EXPECT_EQ(seen.text, "Use the KIV Hardware Manager (in Control Panel) to adjust wave driver settings.");
    EXPECT_EQ(seen.ok, "OK");
    EXPECT_EQ(seen.cancel, "Cancel");
    EXPECT_EQ(seen.focus, "OK");
    // Centred on the screen, as it has no parent.
    const int cx = GetSystemMetrics(SM_CXSCREEN), cy = GetSystemMetrics(SM_CYSCREEN);
    EXPECT_NEAR((seen.box.left + seen.box.right) / 2, cx / 2, 1);
    EXPECT_NEAR((seen.box.top + seen.box.bottom) / 2, cy / 2, 1);

    // Cancel closes it too.
    user::script::SetIdleSteps({[&](HWND modal) { user::script::Click(GetDlgItem(modal, IDCANCEL)); }});
    EXPECT_EQ(SendDriverMessage(driver_, DRV_CONFIGURE, 0, 0), DRVCNF_CANCEL);
    EXPECT_EQ(user::script::PendingSteps(), 0);
}

TEST_F(ZarWavInstallation, RemovalDeletesTheLibraryOrPutsItOffAndAnInstallCancelsThat)
{
    const std::string library = Library();
    auto make = [&] {
        HANDLE f = CreateFileA(library.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(f, INVALID_HANDLE_VALUE);
        CloseHandle(f);
    };
    make();
    EXPECT_EQ(SendDriverMessage(driver_, DRV_REMOVE, 0, 0), DRVCNF_OK);
    EXPECT_EQ(GetFileAttributesA(library.c_str()), INVALID_FILE_ATTRIBUTES);

    // Other operations pending around it.
    ASSERT_TRUE(MoveFileExA("C:\\one.txt", "C:\\two.txt", MOVEFILE_DELAY_UNTIL_REBOOT));
    make();
    HANDLE busy = CreateFileA(library.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(busy, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SendDriverMessage(driver_, DRV_REMOVE, 0, 0), DRVCNF_OK);
    CloseHandle(busy);
    ASSERT_TRUE(MoveFileExA("C:\\three.txt", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    std::vector<std::u16string> before = PendingOperations();
    ASSERT_EQ(before.size(), 6u);
    EXPECT_EQ(before[2], u"\\??\\C:\\WINNT\\system32\\ZARWAV.dll");

    EXPECT_EQ(SendDriverMessage(driver_, DRV_INSTALL, 0, 0), DRVCNF_RESTART);
    std::vector<std::u16string> after = PendingOperations();
    EXPECT_EQ(after, (std::vector<std::u16string>{before[0], before[1], before[4], before[5]}));
}

// The kernel service's key as the service manager keeps it.
struct ServiceKey {
    DWORD type = 0, start = 0, errorControl = 0;
    std::string image, display;
};
bool ReadServiceKey(ServiceKey* k)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\ZARWAV", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    auto dword = [&](const char* name) {
        DWORD v = 0, size = sizeof v, type = 0;
        RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&v), &size);
        return v;
    };
    auto text = [&](const char* name) {
        char v[512] = {};
        DWORD size = sizeof v - 1, type = 0;
        RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(v), &size);
        return std::string(v);
    };
    k->type = dword("Type");
    k->start = dword("Start");
    k->errorControl = dword("ErrorControl");
    k->image = text("ImagePath");
    k->display = text("DisplayName");
    RegCloseKey(key);
    return true;
}

TEST_F(ZarWavInstallation, InstallingTwiceKeepsTheServiceAndRewritesTheEventSource)
{
    // The service the machine runs now (on demand) stays as it is.
    ServiceKey before;
    ASSERT_TRUE(ReadServiceKey(&before));
    EXPECT_EQ(SendDriverMessage(driver_, DRV_INSTALL, 0, 0), DRVCNF_RESTART);
    HKEY events = nullptr;
    const char* source = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\ZARWAV";
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, source, 0, KEY_ALL_ACCESS, &events), ERROR_SUCCESS);
    RegDeleteValueA(events, "TypesSupported");
    RegCloseKey(events);
    EXPECT_EQ(SendDriverMessage(driver_, DRV_INSTALL, 0, 0), DRVCNF_RESTART);
    ServiceKey after;
    ASSERT_TRUE(ReadServiceKey(&after));
    EXPECT_EQ(after.start, before.start) << "the existing service is kept";
    EXPECT_EQ(after.image, before.image);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, source, 0, KEY_READ, &events), ERROR_SUCCESS);
    DWORD types = 0, size = sizeof types, type = 0;
    EXPECT_EQ(RegQueryValueExA(events, "TypesSupported", nullptr, &type, reinterpret_cast<BYTE*>(&types), &size), ERROR_SUCCESS);
    EXPECT_EQ(types, 7u);
    RegCloseKey(events);
}

TEST_F(ZarWavInstallation, AnInstallWithoutTheServiceCreatesIt)
{
    // The running kernel service's key gone (as after a removal by hand),
    // its subkeys first.
    const std::string service = "SYSTEM\\CurrentControlSet\\Services\\ZARWAV";
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, service.c_str(), 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    std::vector<std::string> subkeys;
    for (DWORD i = 0;; ++i) {
        char name[256] = {};
        DWORD length = sizeof name;
        if (RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        subkeys.push_back(name);
    }
    RegCloseKey(key);
    for (const std::string& sub : subkeys)
        ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, (service + "\\" + sub).c_str()), ERROR_SUCCESS) << sub;
    ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, service.c_str()), ERROR_SUCCESS);
    EXPECT_EQ(SendDriverMessage(driver_, DRV_INSTALL, 0, 0), DRVCNF_RESTART);
    ServiceKey k;
    ASSERT_TRUE(ReadServiceKey(&k));
    EXPECT_EQ(k.type, 1u) << "a kernel driver";
    EXPECT_EQ(k.start, 1u) << "started by the system";
    EXPECT_EQ(k.errorControl, 1u);
    EXPECT_EQ(k.image, "\\SystemRoot\\System32\\Drivers\\ZARWAV.sys");
    EXPECT_EQ(k.display, "Solvane System Wave Driver");
}

TEST(ZarWavPendingRenames, OnlyTheLibrarysPairsLeaveTheList)
{
    auto list = [](std::initializer_list<std::u16string> strings) {
        std::u16string l;
        for (const auto& s : strings) l += s + u'\0';
        return l + u'\0';
    };
    const std::u16string source = u"\\??\\C:\\WINNT\\system32\\ZARWAV.dll";
    struct Row {
        std::u16string in, out;
    } rows[] = {
        {list({u"\\??\\C:\\a", u"", u"\\??\\c:\\winnt\\SYSTEM32\\zarwav.DLL", u"", u"\\??\\C:\\b", u"!\\??\\C:\\c"}),
         list({u"\\??\\C:\\a", u"", u"\\??\\C:\\b", u"!\\??\\C:\\c"})},
        {list({source, u""}), u""},
        {list({u"\\??\\C:\\a", u"\\??\\C:\\b"}), list({u"\\??\\C:\\a", u"\\??\\C:\\b"})},
    };
    for (const Row& r : rows) {
        std::u16string buffer = r.in;
        ULONG left = ZarWavDropPendingRename(buffer.data(), ULONG(buffer.size() * 2), source.c_str());
        EXPECT_EQ(buffer.substr(0, left / 2), r.out);
    }
}

}  // namespace
