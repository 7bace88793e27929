// ZarDll as a program loads it, on a machine with two simulated boards
// (the board driver, the media file system and the digital-I/O option) and
// a stand-in board 7 whose answers the tests order. Each test loads the
// library afresh and unloads it at its end: the section goes with its last
// mapping, so every test starts from a fresh one.
#include <gtest/gtest.h>
#include <unistd.h>

#include <elf.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <vector>
#include <cstring>
#include <string>

#include "include/zardll.h"
#include "lib/api/zar_export_table.h"
#include "outside/fpga_images.h"
#include "platform/host/embedded_machine.h"
#include "platform/user/script.h"
#include "platform/win32/win32.h"
#include "sim/pci_layouts.h"
#include "tests/lib/api/fake_board.h"

namespace {

constexpr uint32_t kFakeBoard = 7;
constexpr char kParameters[] = "System\\CurrentControlSet\\Services\\ZARKD\\Parameters";

std::string folder;
sim::BuiltTopology hardware;

class BoardsEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        folder = (std::filesystem::temp_directory_path() / ("zardll-test-" + std::to_string(getpid()))).string();
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        std::string why;
        ASSERT_TRUE(fpgaimages::InstallImageFiles(std::filesystem::path(folder) / "drives/C/WINNT/system32/drivers", 0,
                                                  &why))
            << why;
        hardware = sim::BuildTopology(sim::BoardsLayout(2));
        embedded::MachineOptions options;
        options.folder = folder;
        options.pci = hardware.topology;
        options.drivers = {"ZARIOKD", "ZARKD", "ZARFSKD"};
        ASSERT_TRUE(embedded::BootMachine(options, &why)) << why;
        fakeboard::Install(kFakeBoard);
        fakeboard::SetFileSystemLink(true);
    }
    void TearDown() override
    {
        embedded::ShutdownMachine();
        std::filesystem::remove_all(folder);
    }
};
const bool registered = (::testing::AddGlobalTestEnvironment(new BoardsEnvironment), true);

// The library's exports, as a program that loads it by name finds them.
struct ZarDll {
    HMODULE module = nullptr;
    decltype(&::ZarDcOpen) DcOpen = nullptr;
    decltype(&::ZarDcOpenEx) DcOpenEx = nullptr;
    decltype(&::ZarDcClose) DcClose = nullptr;
    decltype(&::ZarDcInitialize) DcInitialize = nullptr;
    decltype(&::ZarDereferenceObject) DereferenceObject = nullptr;
    decltype(&::ZarExInitializeExceptionHandler) ExInitializeExceptionHandler = nullptr;
    decltype(&::ZarExGetExceptionPacket) ExGetExceptionPacket = nullptr;

    bool Load()
    {
        module = LoadLibraryA(ZARDLL_PATH);
        if (!module) return false;
        auto find = [this](auto& f, const char* name) {
            // Through void (*)(), the cast a function pointer of any type takes.
            f = reinterpret_cast<std::remove_reference_t<decltype(f)>>(
                reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
            return f != nullptr;
        };
        return find(DcOpen, "ZarDcOpen") && find(DcOpenEx, "ZarDcOpenEx") && find(DcClose, "ZarDcClose") &&
               find(DcInitialize, "ZarDcInitialize") && find(DereferenceObject, "ZarDereferenceObject") &&
               find(ExInitializeExceptionHandler, "ZarExInitializeExceptionHandler") &&
               find(ExGetExceptionPacket, "ZarExGetExceptionPacket");
    }
    void Unload()
    {
        if (module) FreeLibrary(module);
        module = nullptr;
    }
};

// The section as another program of the machine sees it.
class SectionView {
public:
    SectionView()
    {
        mapping_ = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, ZAR_SHARED_SECTION_NAME);
        if (mapping_) view_ = MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, ZAR_SHARED_VIEW_SIZE);
    }
    ~SectionView()
    {
        if (view_) UnmapViewOfFile(view_);
        if (mapping_) CloseHandle(mapping_);
    }
    SectionView(const SectionView&) = delete;
    SectionView& operator=(const SectionView&) = delete;
    bool Mapped() const { return view_ != nullptr; }
    ZAR_BOARD_SHARED& Board(uint32_t board) { return *ZarSharedBoard(view_, board); }

private:
    HANDLE mapping_ = nullptr;
    void* view_ = nullptr;
};

std::string KeyOf(uint32_t board) { return board ? kParameters + std::to_string(board) : kParameters; }

void RemoveParameters(uint32_t board) { RegDeleteKeyA(HKEY_LOCAL_MACHINE, KeyOf(board).c_str()); }

void WriteParameter(uint32_t board, const char* name, DWORD value)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, KeyOf(board).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
}

// The value, or -1 when the key or the value is missing.
long ReadParameter(uint32_t board, const char* name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, KeyOf(board).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return -1;
    DWORD value = 0, size = sizeof value, type = 0;
    const LSTATUS read = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    return read == ERROR_SUCCESS ? long(value) : -1;
}

bool EventExists(const std::string& name)
{
    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, name.c_str());
    if (event) CloseHandle(event);
    return event != nullptr;
}

class ZarDllTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fakeboard::ResetOrders();
        fakeboard::SetFileSystemLink(true);
        ASSERT_TRUE(dll.Load()) << "ZarDll did not load: error " << GetLastError();
    }
    void TearDown() override { dll.Unload(); }

    // Unloaded and loaded again: with no other user, a fresh section.
    void Reload()
    {
        dll.Unload();
        ASSERT_TRUE(dll.Load());
    }

    ZarDll dll;
};

TEST_F(ZarDllTest, FirstOpenWithoutAParametersKeyTakes525LinesAndWritesNoKey)
{
    RemoveParameters(0);
    ZAR_BOARD board = nullptr;
    ASSERT_EQ(dll.DcOpen(0, &board), ZAR_OK);
    EXPECT_EQ(board->Board, 0u);
    EXPECT_NE(board->BoardDevice, 0xFFFFFFFFu);
    EXPECT_NE(board->FileSystemDevice, 0xFFFFFFFFu);
    SectionView section;
    ASSERT_TRUE(section.Mapped());
    ZAR_BOARD_SHARED& r = section.Board(0);
    EXPECT_EQ(r.Standard, 525u);
    EXPECT_EQ(r.FrameLines, 486u);
    EXPECT_EQ(r.FieldLines, 243u);
    EXPECT_EQ(r.FrameMicroseconds, 33367u);
    EXPECT_EQ(r.OverBudget, 30u);
    EXPECT_EQ(r.SystemPrefsBatch, 32u);
    EXPECT_GE(r.BoardState, uint32_t(ZAR_SHARED_STATE_FIRMWARE));
    EXPECT_EQ(r.Capabilities & ZAR_CAP_BASE, uint32_t(ZAR_CAP_BASE));
    EXPECT_EQ(r.IoBoardPresent, 1u) << "the machine carries the digital-I/O option";
    EXPECT_EQ(r.MixDve[3], 7u);
    EXPECT_EQ(r.MixEffects[8], 0xC00000u);
    EXPECT_EQ(r.MediaDriveLetter, 'P');
    EXPECT_EQ(ReadParameter(0, "AllowDataOverruns"), -1) << "no key was made";
    EXPECT_TRUE(EventExists("ZarEventAudioDmaOneShotRecord0"));
    EXPECT_EQ(dll.DcClose(board), ZAR_OK);
    EXPECT_EQ(dll.DcClose(board), ZAR_E_BAD_HANDLE);
}

TEST_F(ZarDllTest, AllowDataOverrunsIsWrittenOnceAndCapsTheOverBudgetWithIt)
{
    struct Case {
        long overBudget;  // -1: no value
        bool allowStored;
        uint32_t shared;
        long stored;
    } cases[] = {
        {45, false, 30, 30}, {31, false, 30, 30}, {30, false, 30, 30},
        {25, false, 25, 25}, {-1, false, 30, -1}, {45, true, 45, 45},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("OverBudget " + std::to_string(c.overBudget) + (c.allowStored ? ", allowed" : ""));
        RemoveParameters(1);
        WriteParameter(1, "Standard", 625);
        if (c.overBudget >= 0) WriteParameter(1, "OverBudget", DWORD(c.overBudget));
        if (c.allowStored) WriteParameter(1, "AllowDataOverruns", 0);
        Reload();
        ZAR_BOARD board = nullptr;
        ASSERT_EQ(dll.DcOpen(1, &board), ZAR_OK);
        SectionView section;
        EXPECT_EQ(section.Board(1).OverBudget, c.shared);
        EXPECT_EQ(section.Board(1).Standard, 625u);
        EXPECT_EQ(section.Board(1).FrameLines, 576u);
        EXPECT_EQ(ReadParameter(1, "OverBudget"), c.stored);
        EXPECT_EQ(ReadParameter(1, "AllowDataOverruns"), c.allowStored ? 0 : 1);
        EXPECT_EQ(dll.DcClose(board), ZAR_OK);
    }
    RemoveParameters(1);
}

TEST_F(ZarDllTest, AFailedOpenGivesItsCodeAndMinusOneInTheHandle)
{
    struct Case {
        const char* what;
        uint32_t board;
        uint32_t driverState;
        bool allFail;
        uint32_t presetState;
        int32_t result;
    } cases[] = {
        {"board number 10", 10, 2, false, 0, ZAR_E_BAD_ARGUMENT},
        {"no device", 5, 2, false, 0, ZAR_E_NO_DEVICE},
        {"driver: no board", kFakeBoard, ZAR_BOARD_STATE_NONE, false, 0, ZAR_E_NO_BOARD},
        {"driver: bridge only", kFakeBoard, ZAR_BOARD_STATE_BRIDGE_ONLY, false, 0, ZAR_E_BOARD_UNKNOWN},
        {"board unavailable", kFakeBoard, 2, true, ZAR_SHARED_STATE_UNAVAILABLE, ZAR_E_BOARD_UNAVAILABLE},
        {"never initialised", kFakeBoard, 2, true, ZAR_SHARED_STATE_NEVER, ZAR_E_NO_DEVICE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reload();
        fakeboard::ResetOrders();
        fakeboard::orders.boardState = c.driverState;
        SectionView section;
        ASSERT_TRUE(section.Mapped());
        if (c.board < ZAR_DLL_MAX_BOARDS) section.Board(c.board).BoardState = c.presetState;
        fakeboard::orders.allFail = c.allFail;
        ZAR_BOARD board = nullptr;
        EXPECT_EQ(dll.DcOpen(c.board, &board), c.result);
        EXPECT_EQ(board, ZAR_INVALID_BOARD);
        EXPECT_EQ(dll.DcOpenEx(c.board, &board), c.result);
        EXPECT_EQ(board, ZAR_INVALID_BOARD);
    }
    EXPECT_EQ(dll.DcOpen(0, nullptr), ZAR_E_BAD_ARGUMENT);
}

TEST_F(ZarDllTest, AFirmwareThatCannotBeProgrammedIsReportedAndLeavesNoProgrammingState)
{
    fakeboard::orders.reportAnswer = 0;  // nothing loaded: the open programs it
    user::script::AnswerMessageBoxes(IDOK);
    struct Case {
        bool requestFails;
        uint32_t programAnswer;
    } cases[] = {{true, 1}, {false, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.requestFails ? "the request fails" : "no firmware after it");
        fakeboard::orders.firmwareFails = c.requestFails;
        fakeboard::orders.programAnswer = c.programAnswer;
        ZAR_BOARD board = nullptr;
        EXPECT_EQ(dll.DcOpen(kFakeBoard, &board), ZAR_E_FIRMWARE);
        EXPECT_EQ(board, ZAR_INVALID_BOARD);
        SectionView section;
        EXPECT_NE(section.Board(kFakeBoard).BoardState, uint32_t(ZAR_SHARED_STATE_PROGRAMMING));
        const auto boxes = user::script::TakeAnsweredMessageBoxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, "Firmware programming failed.");
        EXPECT_EQ(boxes[0].type & 0xF0, UINT(MB_ICONSTOP));
    }
    user::script::AnswerMessageBoxes(0);
    // Once the firmware programs, the same board opens and is set up.
    fakeboard::orders.firmwareFails = false;
    fakeboard::orders.programAnswer = 1;
    ZAR_BOARD board = nullptr;
    ASSERT_EQ(dll.DcOpen(kFakeBoard, &board), ZAR_OK);
    SectionView section;
    EXPECT_EQ(section.Board(kFakeBoard).BoardState, uint32_t(ZAR_SHARED_STATE_FIRMWARE));
    EXPECT_EQ(fakeboard::CountOf(IOCTL_ZAR_POST_FPGA_INIT), 1u);
    EXPECT_EQ(dll.DcInitialize(board, 2), ZAR_E_BAD_ARGUMENT);
    EXPECT_EQ(dll.DcInitialize(board, 0), ZAR_OK);
    EXPECT_EQ(dll.DcClose(board), ZAR_OK);
    EXPECT_EQ(dll.DcInitialize(board, 0), ZAR_E_BAD_HANDLE);
}

TEST_F(ZarDllTest, AFirstOpenThatCouldNotCompleteIsDoneByTheNextOpen)
{
    fakeboard::SetFileSystemLink(false);
    ZAR_BOARD first = nullptr;
    ASSERT_EQ(dll.DcOpen(kFakeBoard, &first), ZAR_OK);  // the board itself opens
    EXPECT_FALSE(EventExists("ZarEventAudioDmaOneShotRecord7"));
    EXPECT_EQ(fakeboard::CountOf(IOCTL_ZAR_AUD_REGISTER_EVENTS), 0u);
    fakeboard::SetFileSystemLink(true);
    ZAR_BOARD second = nullptr, third = nullptr;
    ASSERT_EQ(dll.DcOpenEx(kFakeBoard, &second), ZAR_OK);
    EXPECT_TRUE(EventExists("ZarEventAudioDmaOneShotRecord7"));
    ASSERT_EQ(dll.DcOpen(kFakeBoard, &third), ZAR_OK);
    // The set-up ran once: the events handed over and the SCSI table read once.
    EXPECT_EQ(fakeboard::CountOf(IOCTL_ZAR_AUD_REGISTER_EVENTS), 1u);
    EXPECT_EQ(fakeboard::CountOf(IOCTL_ZAR_GET_SCSI_DEVICE), 16u);
    EXPECT_NE(first, second);
    for (ZAR_BOARD b : {first, second, third}) EXPECT_EQ(dll.DcClose(b), ZAR_OK);
}

TEST_F(ZarDllTest, LumaAdjustLoadsTheInputGammaTableOnlyInsideItsRange)
{
    struct Case {
        long lumaAdjust;  // -1: no value
        bool loaded;
        int32_t entry64;
    } cases[] = {{12, true, 42}, {0, true, 30}, {10, false, 0}, {21, false, 0}, {-1, false, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE("LumaAdjust " + std::to_string(c.lumaAdjust));
        RemoveParameters(kFakeBoard);
        if (c.lumaAdjust >= 0) WriteParameter(kFakeBoard, "LumaAdjust", DWORD(c.lumaAdjust));
        Reload();
        fakeboard::ResetOrders();
        ZAR_BOARD board = nullptr;
        ASSERT_EQ(dll.DcOpen(kFakeBoard, &board), ZAR_OK);
        EXPECT_EQ(fakeboard::CountOf(IOCTL_ZAR_VIN_LOAD_PROC_AMP_TABLE), c.loaded ? 1u : 0u);
        if (c.loaded) {
            ASSERT_EQ(fakeboard::lastGammaTable.size(), 256u);
            EXPECT_EQ(fakeboard::lastGammaTable[0], 0);
            EXPECT_EQ(fakeboard::lastGammaTable[64], c.entry64);
            EXPECT_EQ(fakeboard::lastGammaTable[255], 127);
        }
        EXPECT_EQ(dll.DcClose(board), ZAR_OK);
    }
    RemoveParameters(kFakeBoard);
}

TEST_F(ZarDllTest, CloseRefusesWhatThisProcessDoesNotHoldOpen)
{
    int local = 0;
    for (ZAR_BOARD bad : {static_cast<ZAR_BOARD>(nullptr), ZAR_INVALID_BOARD, reinterpret_cast<ZAR_BOARD>(&local)})
        EXPECT_EQ(dll.DcClose(bad), ZAR_E_BAD_HANDLE);
    ZAR_BOARD board = nullptr;
    ASSERT_EQ(dll.DcOpen(0, &board), ZAR_OK);
    Reload();  // the library's connections went with it
    EXPECT_EQ(dll.DcClose(board), ZAR_E_BAD_HANDLE);
}

TEST_F(ZarDllTest, TheSectionIsFreshOnceNoProgramMapsIt)
{
    ZAR_BOARD board = nullptr;
    ASSERT_EQ(dll.DcOpen(0, &board), ZAR_OK);
    {
        SectionView section;
        EXPECT_EQ(section.Board(0).Standard, 525u);
    }
    dll.Unload();
    EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, ZAR_SHARED_SECTION_NAME), nullptr);
    ASSERT_TRUE(dll.Load());
    SectionView section;
    EXPECT_EQ(section.Board(0).Standard, 0u);
    EXPECT_EQ(section.Board(0).BoardState, 0u);
}

TEST_F(ZarDllTest, ExceptionExportsShareOneQueueAndOneSemaphore)
{
    ZAR_EXCEPTION_PACKET packet{};
    EXPECT_EQ(dll.ExGetExceptionPacket(nullptr, &packet), ZAR_E_DRIVER) << "no queue yet";
    uint32_t first = 0, second = 0;
    EXPECT_EQ(dll.ExInitializeExceptionHandler(nullptr, nullptr), ZAR_E_BAD_ARGUMENT);
    ASSERT_EQ(dll.ExInitializeExceptionHandler(nullptr, &first), ZAR_OK);
    ASSERT_EQ(dll.ExInitializeExceptionHandler(ZAR_INVALID_BOARD, &second), ZAR_OK);
    EXPECT_NE(first, 0u);
    EXPECT_EQ(first, second);
    EXPECT_EQ(dll.ExGetExceptionPacket(nullptr, &packet), ZAR_E_DRIVER) << "an empty queue";
    EXPECT_EQ(dll.ExGetExceptionPacket(nullptr, nullptr), ZAR_E_BAD_ARGUMENT);
    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(uintptr_t(first)), 0), WAIT_TIMEOUT);
}

TEST_F(ZarDllTest, OnlyTheExportsAreVisible)
{
    for (const char* hidden : {"ZarApp", "ZarSharedView", "SendDeviceRequest", "_ZN14CHandleObject7ReleaseEv"})
        EXPECT_EQ(GetProcAddress(dll.module, hidden), nullptr) << hidden;
    EXPECT_EQ(dll.DereferenceObject(0), ZAR_E_BAD_HANDLE);
    EXPECT_EQ(dll.DereferenceObject(0x10000), ZAR_E_BAD_HANDLE);
}

// The names of the export table.
std::set<std::string> TableNames()
{
#define ZAR_NAME_ROW(group, name, shape, type, size, older) #name,
    return {ZAR_EXPORT_TABLE(ZAR_NAME_ROW)};
#undef ZAR_NAME_ROW
}

// The defined global names of a 32-bit shared object's dynamic symbol
// table, read from the file as the dynamic loader reads it.
std::set<std::string> DynamicSymbols(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::set<std::string> names;
    if (file.size() < sizeof(Elf32_Ehdr)) return names;
    Elf32_Ehdr header;
    std::memcpy(&header, file.data(), sizeof header);
    std::vector<Elf32_Shdr> sections(header.e_shnum);
    std::memcpy(sections.data(), file.data() + header.e_shoff, header.e_shnum * sizeof(Elf32_Shdr));
    for (const Elf32_Shdr& section : sections) {
        if (section.sh_type != SHT_DYNSYM) continue;
        const char* strings = file.data() + sections[section.sh_link].sh_offset;
        for (uint32_t i = 0; i < section.sh_size / sizeof(Elf32_Sym); ++i) {
            Elf32_Sym symbol;
            std::memcpy(&symbol, file.data() + section.sh_offset + i * sizeof symbol, sizeof symbol);
            const int binding = ELF32_ST_BIND(symbol.st_info);
            if (symbol.st_shndx == SHN_UNDEF || (binding != STB_GLOBAL && binding != STB_WEAK)) continue;
            names.insert(strings + symbol.st_name);
        }
    }
    return names;
}

TEST(ZarDllSymbols, TheDynamicSymbolTableHoldsExactlyTheTablesNames)
{
    const std::set<std::string> table = TableNames();
    EXPECT_EQ(table.size(), 281u);
    EXPECT_EQ(DynamicSymbols(ZARDLL_PATH), table);
}

TEST_F(ZarDllTest, AProgramResolvingEveryExportByNameBindsAllOfThem)
{
    size_t bound = 0;
    for (const std::string& name : TableNames()) {
        EXPECT_NE(GetProcAddress(dll.module, name.c_str()), nullptr) << name;
        bound += GetProcAddress(dll.module, name.c_str()) != nullptr;
    }
    EXPECT_EQ(bound, 281u);
}

}  // namespace
