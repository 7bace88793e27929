// ZarDll in client processes of a machine host that serves a stand-in board:
// the second process finds the board set up in the shared section and does
// not set it up again; once every process has gone the next finds the
// section fresh.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/host/embedded_machine.h"
#include "platform/host/host_server.h"
#include "platform/win32/win32.h"
#include "tests/lib/api/fake_board.h"
#include "tests/platform/host/child_process.h"

namespace {

constexpr char kParameters7[] = "System\\CurrentControlSet\\Services\\ZARKD\\Parameters7";
std::string folder;

class HostEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        folder = (std::filesystem::temp_directory_path() / ("zardll-host-" + std::to_string(getpid()))).string();
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        std::string why;
        embedded::MachineOptions options;
        options.folder = folder;
        options.virtualClock = false;  // clients wait in real time
        ASSERT_TRUE(embedded::BootMachine(options, &why)) << why;
        fakeboard::Install(7);
        fakeboard::SetFileSystemLink(true);
        ASSERT_TRUE(host::StartServer(folder, &why)) << why;
    }
    void TearDown() override
    {
        host::StopServer();
        embedded::ShutdownMachine();
        std::filesystem::remove_all(folder);
    }
};
const bool registered = (::testing::AddGlobalTestEnvironment(new HostEnvironment), true);

void WriteStandard(DWORD standard)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kParameters7, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, "Standard", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&standard), sizeof standard);
    RegCloseKey(key);
}

// The body-table backup a recorder of board 7 keeps in the machine's
// drivers folder, and board 0's beside it, which board 7 never touches.
constexpr char kBackupFile[] = "C:\\WINNT\\system32\\drivers\\!KIVBKUP7.!BT";
constexpr char kBoardZeroBackupFile[] = "C:\\WINNT\\system32\\drivers\\!KIVBKUP.!BT";

void WriteBackupFile(const char* path = kBackupFile)
{
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD written = 0;
    WriteFile(file, "KIV", 3, &written, nullptr);
    CloseHandle(file);
}

bool BackupFileExists(const char* path = kBackupFile) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

TEST(ZarDllClients, TheSecondProcessFindsTheBoardSetUpAndTheLastOneLeavesNothingBehind)
{
    WriteBackupFile();
    WriteBackupFile(kBoardZeroBackupFile);
    WriteStandard(625);
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, "ZarDllTestRelease");
    ASSERT_NE(release, nullptr);
    hosttest::Child first(ZARDLL_CLIENT_PATH, {"hold", "7"}, folder);
    ASSERT_TRUE(first.Started());
    EXPECT_EQ(first.Line(120000), "opened 0 before 0 standard 625 state 64 keygain 4");
    EXPECT_FALSE(BackupFileExists()) << "the first open in the machine deletes a stale backup";
    EXPECT_TRUE(BackupFileExists(kBoardZeroBackupFile)) << "another board's backup is left alone";
    WriteBackupFile();  // as the first process's recorder would
    EXPECT_EQ(fakeboard::CountOf(IOCTL_ZAR_AUD_REGISTER_EVENTS), 1u);
    EXPECT_EQ(fakeboard::CountOf(IOCTL_ZAR_POST_FPGA_INIT), 1u);

    // The registry changes meanwhile; a process that finds the board set up
    // does not read it again, nor zero the section, nor hand the events over.
    WriteStandard(525);
    hosttest::Child second(ZARDLL_CLIENT_PATH, {"open", "7"}, folder);
    EXPECT_EQ(second.Line(120000), "opened 0 before 625 standard 625 state 64 keygain 4");
    EXPECT_EQ(second.Wait(120000), 0);
    EXPECT_EQ(fakeboard::CountOf(IOCTL_ZAR_AUD_REGISTER_EVENTS), 1u);
    EXPECT_EQ(fakeboard::CountOf(IOCTL_ZAR_POST_FPGA_INIT), 1u);
    EXPECT_EQ(fakeboard::CountOf(IOCTL_ZAR_GET_SCSI_DEVICE), 32u) << "each process reads the SCSI table once";
    EXPECT_TRUE(BackupFileExists()) << "deleted while another process kept the board";

    SetEvent(release);
    EXPECT_EQ(first.Wait(120000), 0);
    // Every process has gone: the section went with the last, and the next
    // process sets the board up from the registry as it now reads.
    hosttest::Child third(ZARDLL_CLIENT_PATH, {"open", "7"}, folder);
    EXPECT_EQ(third.Line(120000), "opened 0 before 0 standard 525 state 64 keygain 4");
    EXPECT_FALSE(BackupFileExists());
    EXPECT_EQ(third.Wait(120000), 0);
    CloseHandle(release);
}

}  // namespace

TEST(ZarDllClients, AnExportAsTheProcesssFirstCallFindsTheLibrarySetUp)
{
    hosttest::Child client(ZARDLL_CLIENT_PATH, {"first", "7"}, folder);
    ASSERT_TRUE(client.Started());
    EXPECT_EQ(client.Line(120000), "opened 0");
    EXPECT_EQ(client.Wait(120000), 0);
}
