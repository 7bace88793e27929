// The demo machine's folder: a reset deletes nothing but a machine's own
// files, and a damaged or unreadable board file is reported with its path,
// stops the boot when it cannot be read, and is never overwritten.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "drivers/board/zar_driver.h"
#include "outside/fpga_images.h"
#include "platform/nt/machine.h"
#include "platform/win32/win32.h"
#include "sim/board.h"
#include "tools/machine_folder.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;


void Write(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

std::string Read(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool AnyContains(const std::vector<std::string>& lines, const std::string& text)
{
    for (const std::string& line : lines)
        if (line.find(text) != std::string::npos) return true;
    return false;
}

std::string Joined(const std::vector<std::string>& lines)
{
    std::string out;
    for (const std::string& line : lines) out += line + "\n";
    return out;
}

TEST(ResetMachineFolder, DeletesOnlyAFolderThatHoldsNothingButAMachine)
{
    const struct {
        const char* name;
        std::vector<const char*> files;  // created with a line of text each
        std::vector<const char*> folders;
        bool deleted;
    } cases[] = {
        {"an empty folder", {}, {}, true},
        {"a machine",
         {"registry.txt", "eventlog.txt", "drives/C/WINNT/system32/drivers/Zar10kr3.mbf", "drives/D/clip.txt",
          "boards/0/drives.txt", "boards/0/drive0.img", "output/frame-000.ppm"},
         {},
         true},
        {"an empty drives folder beside the user's photos", {"photos/a.txt"}, {"drives"}, false},
        {"a machine with a file of the user's beside it", {"registry.txt", "notes.doc"}, {}, false},
        {"a folder of the user's among the drive letters", {"registry.txt", "drives/photos/a.txt"}, {}, false},
        {"a folder of the user's among the boards", {"eventlog.txt", "boards/old/a.txt"}, {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder temp;
        const fs::path folder = temp.Path() / "machine";
        fs::create_directories(folder);
        for (const char* file : c.files) Write(folder / file, "kept\n");
        for (const char* sub : c.folders) fs::create_directories(folder / sub);
        std::string why;
        EXPECT_EQ(ResetMachineFolder(folder, &why), c.deleted) << why;
        EXPECT_EQ(fs::exists(folder), !c.deleted);
        if (!c.deleted) {
            EXPECT_NE(why.find("not deleting"), std::string::npos) << why;
            for (const char* file : c.files) EXPECT_EQ(Read(folder / file), "kept\n") << file;
        }
    }
    std::string why;
    TempFolder temp;
    EXPECT_TRUE(ResetMachineFolder(temp.Path() / "never-made", &why)) << why;
}

// A machine folder with one board, damaged in one way, made ready as the
// front does it before a boot.
struct Prepared {
    MachineFolderReport report;
    sim::BuiltTopology hardware;
    bool ok = false;
};

Prepared Prepare(const fs::path& folder)
{
    Prepared p;
    sim::PciLayout layout = sim::BoardsLayout(1);
    p.ok = PrepareMachineFolder(folder, layout, p.report);
    if (!p.ok) return p;
    p.hardware = sim::BuildTopology(layout);
    p.ok = CheckBoardFiles(p.hardware, p.report);
    return p;
}

TEST(PrepareMachineFolder, ADamagedBoardFileIsReportedWithItsPathAndKept)
{
    const std::string kSmallDrive = "id=0 blocks=2048\n";
    const struct {
        const char* name;
        std::function<void(const fs::path& board)> damage;
        const char* error;  // in an error (no boot), or null
        const char* note;   // in a note (boot goes on), or null
        std::function<void(const fs::path& board, sim::Board* hardware)> kept;
    } cases[] = {
        {"an EEPROM file that is a folder",
         [](const fs::path& b) { fs::create_directories(b / "eeprom.bin/inside"); }, "eeprom.bin: cannot read",
         nullptr, [](const fs::path& b, sim::Board*) { EXPECT_TRUE(fs::is_directory(b / "eeprom.bin/inside")); }},
        {"an EEPROM file cut short with its signature intact",
         [](const fs::path& b) { Write(b / "eeprom.bin", std::string("\xFF\xFF\x5A\x52\xFF\xFF\xFF\xFF\xFF\xFF", 10)); },
         nullptr, "eeprom.bin: 10 bytes, not 256",
         [](const fs::path& b, sim::Board* board) {
             EXPECT_EQ(fs::file_size(b / "eeprom.bin"), 10u);
             ASSERT_NE(board, nullptr);
             // An erased part: the driver's defaults, not 0xFF padding as values.
             EXPECT_EQ(board->EepromUnit().Contents(), sim::BlankEepromImage());
         }},
        {"a drive list that is a folder", [](const fs::path& b) { fs::create_directories(b / "drives.txt"); },
         "drives.txt: cannot read", nullptr,
         [](const fs::path& b, sim::Board*) { EXPECT_TRUE(fs::is_directory(b / "drives.txt")); }},
        {"a drive whose blocks overflow its size",
         [](const fs::path& b) { Write(b / "drives.txt", "id=0 blocks=36028797018963968\n"); }, nullptr,
         "drives.txt:1: blocks above 4294967296",
         [](const fs::path& b, sim::Board* board) {
             ASSERT_NE(board, nullptr);
             EXPECT_EQ(board->Drive(0), nullptr);
             EXPECT_FALSE(fs::exists(b / "drive0.img"));
         }},
        {"a drive larger than a drive can report",
         [](const fs::path& b) { Write(b / "drives.txt", "id=0 size=100T\n"); }, nullptr, "drives.txt:1: size above 2T",
         [](const fs::path& b, sim::Board* board) {
             ASSERT_NE(board, nullptr);
             EXPECT_EQ(board->Drive(0), nullptr);
             EXPECT_FALSE(fs::exists(b / "drive0.img"));
         }},
        {"a drive image that cannot be opened",
         [&](const fs::path& b) {
             Write(b / "drives.txt", kSmallDrive);
             fs::create_directories(b / "drive0.img");
         },
         nullptr, "SCSI id 0 not attached: ",
         [](const fs::path& b, sim::Board* board) {
             ASSERT_NE(board, nullptr);
             EXPECT_EQ(board->Drive(0), nullptr);
             EXPECT_TRUE(fs::is_directory(b / "drive0.img"));
         }},
        {"a drive image that held data and is gone",
         [&](const fs::path& b) {
             Write(b / "drives.txt", kSmallDrive);
             Write(b / "images.txt", (b / "drive0.img").string() + "\n");
         },
         nullptr, "drive0.img: missing, and this drive had data in it",
         [](const fs::path& b, sim::Board* board) {
             ASSERT_NE(board, nullptr);
             EXPECT_EQ(board->Drive(0), nullptr);
             EXPECT_FALSE(fs::exists(b / "drive0.img"));
         }},
        {"a drive image that held data and was cut short",
         [&](const fs::path& b) {
             Write(b / "drives.txt", kSmallDrive);
             Write(b / "images.txt", (b / "drive0.img").string() + "\n");
             Write(b / "drive0.img", std::string(4096, 'x'));
         },
         nullptr, "drive0.img: 4096 bytes, shorter than its drive's 1048576, and this drive had data in it",
         [](const fs::path& b, sim::Board* board) {
             ASSERT_NE(board, nullptr);
             EXPECT_EQ(board->Drive(0), nullptr);
             EXPECT_EQ(fs::file_size(b / "drive0.img"), 4096u) << "not grown back";
         }},
        {"an FPGA image file of the user's",
         [](const fs::path& b) {
             Write(b.parent_path().parent_path() / "drives/C/WINNT/system32/drivers/Zar10kr3.mbf", "damaged");
         },
         nullptr, nullptr,
         [](const fs::path& b, sim::Board*) {
             const fs::path drivers = b.parent_path().parent_path() / "drives/C/WINNT/system32/drivers";
             EXPECT_EQ(Read(drivers / "Zar10kr3.mbf"), "damaged");
             EXPECT_TRUE(fs::exists(drivers / "Zar10kr2.mbf"));  // the missing one is installed
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder temp;
        const fs::path board = temp.Path() / "boards/0";
        fs::create_directories(board);
        c.damage(board);
        Prepared p = Prepare(temp.Path());
        EXPECT_EQ(p.ok, c.error == nullptr) << Joined(p.report.errors);
        if (c.error) {
            EXPECT_TRUE(AnyContains(p.report.errors, c.error)) << Joined(p.report.errors);
        }
        if (c.note) {
            EXPECT_TRUE(AnyContains(p.report.notes, c.note)) << Joined(p.report.notes);
        } else {
            EXPECT_TRUE(p.report.notes.empty()) << Joined(p.report.notes);
        }
        c.kept(board, p.hardware.boards.empty() ? nullptr : p.hardware.boards[0].get());
    }
}

TEST(PrepareMachineFolder, ANewDriveImageIsRecordedAndNotMadeAgainOnceItHeldData)
{
    TempFolder temp;
    const fs::path board = temp.Path() / "boards/0";
    Write(board / "drives.txt", "id=0 blocks=2048\n");
    {
        Prepared p = Prepare(temp.Path());
        ASSERT_TRUE(p.ok) << Joined(p.report.errors);
        EXPECT_TRUE(p.report.notes.empty()) << Joined(p.report.notes);
        ASSERT_NE(p.hardware.boards[0]->Drive(0), nullptr);
    }
    EXPECT_EQ(fs::file_size(board / "drive0.img"), 2048u * 512);
    {
        Prepared again = Prepare(temp.Path());  // the image is there: opened, not recorded twice
        ASSERT_NE(again.hardware.boards[0]->Drive(0), nullptr);
    }
    EXPECT_EQ(Read(board / "images.txt"), (board / "drive0.img").string() + "\n");
    fs::remove(board / "drive0.img");
    Prepared gone = Prepare(temp.Path());
    EXPECT_EQ(gone.hardware.boards[0]->Drive(0), nullptr);
    EXPECT_FALSE(fs::exists(board / "drive0.img"));
}

// The board driver's service key in a booted machine, as the front writes it.
void InstallBoardDriverKey()
{
    const std::u16string key = u"ZARKD";
    ULONG one = 1;
    const char16_t image[] = u"System32\\drivers\\ZARKD.sys";
    RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(key.c_str()));
    RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, key.c_str(), u"Type", REG_DWORD, &one, sizeof one);
    RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, key.c_str(), u"ImagePath", REG_EXPAND_SZ,
                          const_cast<char16_t*>(image), sizeof image);
}

// A damaged FPGA image file reaches the loader, which refuses it; the file
// stays as the user left it.
TEST(PrepareMachineFolder, ADamagedFpgaImageFileIsRefusedByTheLoaderAndKept)
{
    TempFolder temp;
    const fs::path drivers = temp.Path() / "drives/C/WINNT/system32/drivers";
    // Cut in the middle of its images, as an interrupted copy leaves it.
    std::vector<uint8_t> bytes = fpgaimages::WriteImageFile(fpgaimages::StandardImageSet(3));
    const std::string damaged(bytes.begin(), bytes.begin() + bytes.size() / 2);
    Write(drivers / "Zar10kr3.mbf", damaged);
    Write(temp.Path() / "boards/0/drives.txt", "");

    Prepared p = Prepare(temp.Path());
    ASSERT_TRUE(p.ok) << Joined(p.report.errors);
    nt::MachineOptions options;
    options.folder = temp.Path().string();
    options.pci = p.hardware.topology;
    options.loadDrivers = false;
    ASSERT_EQ(nt::Machine::Boot(options), STATUS_SUCCESS);
    InstallBoardDriverKey();
    ASSERT_EQ(nt::IoLoadDriver(u"ZARKD"), STATUS_SUCCESS);
    HANDLE handle = CreateFileA("\\\\.\\KIVZAR0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    ULONG flex[4] = {};
    DWORD bytesBack = 0;
    EXPECT_FALSE(DeviceIoControl(handle, IOCTL_ZAR_FLEX_DOWNLOAD, flex, sizeof flex, flex, sizeof flex, &bytesBack,
                                 nullptr));
    CloseHandle(handle);
    nt::Machine::Shutdown();
    EXPECT_EQ(Read(drivers / "Zar10kr3.mbf"), damaged);
}

// Board 0 carries the DVE module and the board after it does not. Each
// board's FPGA download must configure it as it is fitted: the second board,
// which would take board 0's DvePresent when it has none of its own, gets 0
// and still downloads. A value the user set is left as found.
TEST(FitDveModule, EachBoardDownloadsAsItsDveIsFitted)
{
    const struct {
        const char* name;
        bool boardZeroSetOff;      // DvePresent 0 already in board 0's key
        ULONG boardZeroState;      // 3: configured, DVE answering; 1: configured
    } cases[] = {
        {"a new machine", false, 3},
        {"board 0's DVE turned off by the user", true, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder temp;
        Write(temp.Path() / "boards/0/drives.txt", "");
        Write(temp.Path() / "boards/1/drives.txt", "");
        sim::PciLayout layout = sim::BoardsLayout(2);
        FitDveModule(layout);
        MachineFolderReport report;
        ASSERT_TRUE(PrepareMachineFolder(temp.Path(), layout, report)) << Joined(report.errors);
        sim::BuiltTopology hardware = sim::BuildTopology(layout);
        nt::MachineOptions options;
        options.folder = temp.Path().string();
        options.pci = hardware.topology;
        options.loadDrivers = false;
        ASSERT_EQ(nt::Machine::Boot(options), STATUS_SUCCESS);
        InstallBoardDriverKey();
        if (c.boardZeroSetOff) {
            ULONG off = 0;
            RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(u"ZARKD\\Parameters"));
            RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"ZARKD\\Parameters", u"DvePresent", REG_DWORD, &off,
                                  sizeof off);
        }
        WriteDvePresentValues(2);
        EXPECT_EQ(nt::IoLoadDriver(u"ZARKD"), STATUS_SUCCESS);
        for (ULONG board = 0; board < 2; ++board) {
            SCOPED_TRACE("board " + std::to_string(board));
            const std::string name = "\\\\.\\KIVZAR" + std::to_string(board);
            HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                        nullptr);
            ASSERT_NE(handle, INVALID_HANDLE_VALUE);
            ULONG flex[4] = {};
            DWORD bytesBack = 0;
            EXPECT_TRUE(DeviceIoControl(handle, IOCTL_ZAR_FLEX_DOWNLOAD, flex, sizeof flex, flex, sizeof flex,
                                        &bytesBack, nullptr));
            EXPECT_EQ(flex[1], board == 0 ? c.boardZeroState : 1u);
            CloseHandle(handle);
        }
        nt::Machine::Shutdown();
    }
}

}  // namespace
