// The device-control, video-input, SCSI, version and audio exports on a
// machine with one simulated board (a drive at SCSI id 0 whose image file
// the test wrote) and a stand-in board 7 whose requests the tests read back
// or make fail. The library's own archive runs in this program.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "include/zardll.h"
#include "lib/api/zar_app.h"
#include "include/zarkd.h"
#include "lib/api/zar_connection.h"
#include "outside/fpga_images.h"
#include "platform/host/embedded_machine.h"
#include "sim/pci_layouts.h"
#include "tests/lib/api/fake_board.h"

namespace {

constexpr uint32_t kFake = 7;
constexpr uint32_t kDriveBlocks = 1024;
constexpr uint32_t kAbsentId = 5;

std::string folder;
CZarDll* app = nullptr;
std::string imagePath;

// Block n of the drive image: its number in every word.
std::vector<uint8_t> ImageBlock(uint32_t n)
{
    std::vector<uint32_t> words(128, n * 0x01010101u ^ 0xC0DE0000u);
    std::vector<uint8_t> bytes(512);
    std::memcpy(bytes.data(), words.data(), 512);
    return bytes;
}

class MachineEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        folder = (std::filesystem::temp_directory_path() / ("zardll-device-" + std::to_string(getpid()))).string();
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        std::string why;
        ASSERT_TRUE(fpgaimages::InstallImageFiles(std::filesystem::path(folder) / "drives/C/WINNT/system32/drivers", 0,
                                                  &why))
            << why;
        imagePath = folder + "/drive0.img";
        {
            std::ofstream image(imagePath, std::ios::binary);
            for (uint32_t n = 0; n < kDriveBlocks; ++n) {
                const auto block = ImageBlock(n);
                image.write(reinterpret_cast<const char*>(block.data()), 512);
            }
        }
        sim::BoardOptions board;
        sim::DriveConfig drive;
        drive.id = 0;
        drive.blocks = kDriveBlocks;
        drive.image = imagePath;
        drive.createImage = false;
        board.drives = {drive};
        embedded::MachineOptions options;
        options.folder = folder;
        options.pci = sim::BuildTopology(sim::BoardsLayout(1, 4, board)).topology;
        options.drivers = {"ZARIOKD", "ZARKD", "ZARFSKD"};
        ASSERT_TRUE(embedded::BootMachine(options, &why)) << why;
        fakeboard::Install(kFake);
        fakeboard::SetFileSystemLink(true);
        // The library as its loader sets it up; linked into this program, it
        // is made here, once the machine runs.
        app = new CZarDll;
        ASSERT_TRUE(app->InitInstance());
    }
    void TearDown() override
    {
        app->ExitInstance();
        delete app;
        embedded::ShutdownMachine();
        std::filesystem::remove_all(folder);
    }
};
const bool registered = (::testing::AddGlobalTestEnvironment(new MachineEnvironment), true);

ZAR_BOARD_SHARED& SharedOf(ZAR_BOARD board) { return *CBoardConnection::FromHandle(board)->m_pShared; }

class DeviceExports : public ::testing::Test {
protected:
    void SetUp() override
    {
        fakeboard::ResetOrders();
        ASSERT_EQ(ZarDcOpenEx(kFake, &fake_), ZAR_OK);
        fakeboard::ResetOrders();  // the requests of the open are not the test's
    }
    void TearDown() override { ZarDcClose(fake_); }
    ZAR_BOARD fake_ = nullptr;
};

// ---- Argument rules that send nothing ----

TEST_F(DeviceExports, ValuesOutOfRangeOrMissingCapabilitiesAreRefusedBeforeAnyRequest)
{
    struct Case {
        const char* what;
        int32_t result;
        int32_t (*call)(ZAR_BOARD);
    } cases[] = {
        {"genlock horizontal position 64", ZAR_E_BAD_ARGUMENT,
         [](ZAR_BOARD b) { uint32_t r[5] = {64, 128, 0, 0, 0}; return ZarDcSetGenlock(b, r); }},
        {"genlock phase 256", ZAR_E_BAD_ARGUMENT,
         [](ZAR_BOARD b) { uint32_t r[5] = {32, 256, 0, 0, 0}; return ZarDcSetGenlock(b, r); }},
        {"video-input mode 9", ZAR_E_BAD_ARGUMENT,
         [](ZAR_BOARD b) { uint32_t r[5] = {9, 0, 0, 0, 0}; return ZarVinSetMode(b, r); }},
        {"video-input mode 8 without the DV capability", ZAR_E_NOT_CAPABLE,
         [](ZAR_BOARD b) { uint32_t r[5] = {8, 0, 0, 0, 0}; return ZarVinSetMode(b, r); }},
        {"video-input mode 7 without SDI audio input", ZAR_E_NOT_CAPABLE,
         [](ZAR_BOARD b) { uint32_t r[5] = {7, 0, 0, 0, 0}; return ZarVinSetMode(b, r); }},
        {"system preferences batch 0", ZAR_E_BAD_ARGUMENT,
         [](ZAR_BOARD b) { uint8_t r[17] = {}; return ZarDcSetSystemPrefs(b, r); }},
        {"system preferences batch 41", ZAR_E_BAD_ARGUMENT,
         [](ZAR_BOARD b) { uint8_t r[17] = {41}; return ZarDcSetSystemPrefs(b, r); }},
        {"M2 routing word 0 = 4", ZAR_E_BAD_ARGUMENT,
         [](ZAR_BOARD b) { uint32_t r[5] = {4, 0, 0, 0, 0}; return ZarDcSetM2Routing(b, r); }},
        {"M2 routing word 2 = 2", ZAR_E_BAD_ARGUMENT,
         [](ZAR_BOARD b) { uint32_t r[5] = {0, 0, 2, 0, 0}; return ZarDcSetM2Routing(b, r); }},
        {"audio standard 4", ZAR_E_BAD_ARGUMENT,
         [](ZAR_BOARD b) { uint32_t r = 4; return ZarDcSetAudioStandards(b, &r); }},
        {"synchronise mode 3", ZAR_E_BAD_ARGUMENT, [](ZAR_BOARD b) { return ZarDcSynchronizeExecution(b, 3); }},
        {"master fade 256", ZAR_E_BAD_ARGUMENT, [](ZAR_BOARD b) { return ZarMixSetMasterFade(b, 256); }},
        {"time-code output source 2", ZAR_E_BAD_ARGUMENT,
         [](ZAR_BOARD b) { uint32_t r = 2; return ZarTcSetVideoOutputSource(b, &r); }},
        {"scaler proc amp 128", ZAR_E_BAD_ARGUMENT,
         [](ZAR_BOARD b) { uint32_t r[3] = {128, 0, 0}; return ZarHpsSetProcAmps(b, r); }},
        {"SDI mode without SDI output", ZAR_E_NOT_CAPABLE, [](ZAR_BOARD b) { return ZarIoSetSDIMode(b, 1); }},
        {"SCSI id 16", ZAR_E_BAD_ARGUMENT,
         [](ZAR_BOARD b) { ZAR_SCSI_COMMAND c{}; c.ScsiId = 16; return ZarScsiCommand(b, &c); }},
        {"SCSI query id 16", ZAR_E_BAD_ARGUMENT,
         [](ZAR_BOARD b) { uint8_t r[196] = {16}; return ZarScsiQueryDeviceInfo(b, r); }},
        {"audio track 8", ZAR_E_BAD_ARGUMENT,
         [](ZAR_BOARD b) { uint32_t r[45] = {8}; return ZarAudSetTrackControl(b, r); }},
        {"audio source 6", ZAR_E_BAD_ARGUMENT, [](ZAR_BOARD b) { uint32_t r = 6; return ZarAudSetSource(b, &r); }},
        {"audio source 2 without DV", ZAR_E_NOT_CAPABLE,
         [](ZAR_BOARD b) { uint32_t r = 2; return ZarAudSetSource(b, &r); }},
        {"level multiplier track 8", ZAR_E_BAD_ARGUMENT,
         [](ZAR_BOARD b) { return ZarAudSetTrackLevelMultiplier(b, 8, 1.0); }},
        {"level multiplier factor 129", ZAR_E_BAD_ARGUMENT,
         [](ZAR_BOARD b) { return ZarAudSetTrackLevelMultiplier(b, -1, 129.0); }},
        {"SDI receive without the option", ZAR_E_NOT_CAPABLE,
         [](ZAR_BOARD b) { uint32_t r[4] = {}; return ZarAudSetSdiRxMode(b, r); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fakeboard::ResetOrders();
        EXPECT_EQ(c.call(fake_), c.result);
        EXPECT_TRUE(fakeboard::Codes().empty());
    }
}

// ---- What reaches the shared record, and when ----

TEST_F(DeviceExports, SettingsReachTheSharedRecordOnlyWhenTheBoardTookThem)
{
    ZAR_BOARD_SHARED& shared = SharedOf(fake_);
    uint8_t prefs[17] = {12, 0, 0, 0, 1};
    prefs[12] = 'Q';
    const uint32_t batchBefore = shared.SystemPrefsBatch;
    const uint8_t fadeBefore = shared.MasterFade;
    fakeboard::orders.allFail = true;
    EXPECT_EQ(ZarDcSetSystemPrefs(fake_, prefs), ZAR_E_DRIVER);
    EXPECT_EQ(ZarMixSetMasterFade(fake_, 77), ZAR_E_DRIVER);
    uint32_t procAmps[3] = {1, 2, 3};
    EXPECT_EQ(ZarHpsSetProcAmps(fake_, procAmps), ZAR_E_DRIVER);
    const int32_t layer[9] = {1, 0, 0, 5, 2, 10, 20, 200, 100};  // kind 0, mode 5, source 2
    EXPECT_EQ(ZarMixSetDve(fake_, const_cast<int32_t*>(layer)), ZAR_E_DRIVER);
    EXPECT_NE(shared.MixDve[7], 200u);
    EXPECT_EQ(shared.SystemPrefsBatch, batchBefore);
    EXPECT_EQ(shared.MasterFade, fadeBefore);
    EXPECT_NE(shared.ScalerProcAmp[2], 3u);

    fakeboard::orders.allFail = false;
    fakeboard::ResetOrders();
    EXPECT_EQ(ZarDcSetSystemPrefs(fake_, prefs), ZAR_OK);
    EXPECT_EQ(fakeboard::CountOf(IOCTL_ZAR_SET_SYSTEM_PREFS), 1u);
    uint8_t back[17] = {};
    EXPECT_EQ(ZarDcGetSystemPrefs(fake_, back), ZAR_OK);
    EXPECT_EQ(std::memcmp(back, prefs, 17), 0);
    EXPECT_EQ(ZarMixSetMasterFade(fake_, 77), ZAR_OK);
    EXPECT_EQ(shared.MasterFade, 77);
    EXPECT_EQ(ZarHpsSetProcAmps(fake_, procAmps), ZAR_OK);
    uint32_t procBack[3] = {};
    EXPECT_EQ(ZarHpsGetProcAmps(fake_, procBack), ZAR_OK);
    EXPECT_EQ(procBack[2], 3u);
    EXPECT_EQ(ZarMixSetDve(fake_, const_cast<int32_t*>(layer)), ZAR_OK);
    int32_t layerBack[9] = {};
    EXPECT_EQ(ZarMixGetDve(fake_, layerBack), ZAR_OK);
    EXPECT_EQ(std::memcmp(layerBack, layer, sizeof layer), 0);
    EXPECT_EQ(shared.MixDveBoard[0] & 0x3F, 5 | (2 << 3));
    EXPECT_EQ(shared.MixDveBoard[4], 200);
    EXPECT_EQ(shared.MixDveBoard[10], 100);
    const int32_t badKind[9] = {1, 3, 0, 0, 0, 0, 0, 0, 0};
    fakeboard::ResetOrders();
    EXPECT_EQ(ZarMixSetDownStreamKey(fake_, const_cast<int32_t*>(badKind)), ZAR_E_BAD_ARGUMENT);
    EXPECT_TRUE(fakeboard::Codes().empty());
}

// With word 3 = 2 the option board is asked first: the stand-in board has
// no option device, so its failure stops the call before the board's
// request; otherwise the board's request (and the synchronisation) come
// first.
TEST_F(DeviceExports, M2RoutingWithWordThreeTwoAsksTheOptionBoardFirst)
{
    SharedOf(fake_).IoBoardPresent = 1;
    uint32_t routing[5] = {1, 1, 1, 2, 0};
    EXPECT_EQ(ZarDcSetM2Routing(fake_, routing), ZAR_E_DRIVER);
    EXPECT_EQ(fakeboard::CountOf(IOCTL_ZAR_SET_M2_ROUTING), 0u);
    routing[3] = 0;
    EXPECT_EQ(ZarDcSetM2Routing(fake_, routing), ZAR_E_DRIVER);
    const auto codes = fakeboard::Codes();
    ASSERT_EQ(codes.size(), 2u);
    EXPECT_EQ(codes[0], IOCTL_ZAR_SET_M2_ROUTING);
    EXPECT_EQ(codes[1], IOCTL_ZAR_SYNCHRONIZE_EXECUTION);
    SharedOf(fake_).IoBoardPresent = 0;
}

// Two pages, the second inaccessible: a record at the end of the first
// faults on any byte past its size.
struct GuardedRecord {
    GuardedRecord()
    {
        base = static_cast<uint8_t*>(mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(base + 4096, 4096, PROT_NONE);
    }
    ~GuardedRecord() { munmap(base, 8192); }
    uint32_t* At(size_t bytes) { return reinterpret_cast<uint32_t*>(base + 4096 - bytes); }
    uint8_t* base;
};

TEST_F(DeviceExports, TheVideoInputModeOfAnOlderHandleIsFourWordsAndGetAnswersTheLastModeSet)
{
    ZAR_BOARD older = nullptr;
    ASSERT_EQ(ZarDcOpen(kFake, &older), ZAR_OK);
    GuardedRecord guard;
    uint32_t* record = guard.At(16);
    const uint32_t mode[4] = {4, 1, 0, 3};
    std::memcpy(record, mode, sizeof mode);
    fakeboard::ResetOrders();
    EXPECT_EQ(ZarVinSetMode(older, record), ZAR_OK);
    std::memset(record, 0xEE, 16);
    EXPECT_EQ(ZarVinGetMode(older, record), ZAR_OK);
    EXPECT_EQ(std::memcmp(record, mode, sizeof mode), 0);
    EXPECT_EQ(fakeboard::CountOf(IOCTL_ZAR_I2C_COMMAND), 0u) << "the caller's record is never an I2C command";

    // The current layout: the fifth word asks for the input's set-up removal.
    uint32_t current[5] = {5, 0, 0, 0, 0x80000001u};
    fakeboard::ResetOrders();
    EXPECT_EQ(ZarVinSetMode(fake_, current), ZAR_OK);
    EXPECT_EQ(fakeboard::CountOf(IOCTL_ZAR_VIN_SET_STANDARDS), 1u);
    uint32_t back[5] = {};
    EXPECT_EQ(ZarVinGetMode(fake_, back), ZAR_OK);
    EXPECT_EQ(back[0], 5u);
    EXPECT_EQ(back[4], 0u) << "the stand-in board answers 0: no set-up removal";
    ZarDcClose(older);
}

TEST_F(DeviceExports, TheRecordMonitoringSwitchNeedsTheAudioLock)
{
    EXPECT_EQ(ZarAudEnableEE(fake_, 1), ZAR_E_AUDIO_LOCK) << "the stand-in board never grants the lock";
    EXPECT_EQ(fakeboard::CountOf(IOCTL_ZAR_AUD_ACQUIRE_AUDIO_LOCK), 1u);
    EXPECT_EQ(fakeboard::CountOf(IOCTL_ZAR_AUD_RECORD_COMMAND), 0u);
}

TEST_F(DeviceExports, AnUnreadableEepromGivesTheFallbackIdentification)
{
    uint8_t info[ZAR_VERSION_INFO_SIZE];
    std::memset(info, 0xCC, sizeof info);
    fakeboard::orders.allFail = true;
    ASSERT_EQ(ZarDcGetVersionInfo(fake_, info), ZAR_OK);
    EXPECT_STREQ(reinterpret_cast<const char*>(info + 48), "SN000000");
    for (int i = 8; i < 17; ++i) EXPECT_EQ(info[48 + i], 0) << i;
}

// ---- The level conversion ----

TEST(AudioLevels, EachKindConvertsItsRangeAndRefusesTheRest)
{
    struct Case {
        uint32_t kind, value;
        int32_t result;
        double db, gain;
    } cases[] = {
        {0, 0, ZAR_OK, -90.309, 0.0},
        {0, 1, ZAR_OK, -76.690919, 0.00014637},
        {0, 192, ZAR_OK, 0.0, 1.0},
        {0, 254, ZAR_OK, 11.823417, 3.900954},
        {0, 255, ZAR_OK, 12.041200, 4.0},
        {1, 128, ZAR_OK, 0.0, 1.0},
        {1, 255, ZAR_OK, -70.0, 0.0},
        {2, 1, ZAR_OK, -70.0, 0.0},
        {3, 255, ZAR_OK, 0.0, 1.0},
        {4, 0, ZAR_OK, -70.0, 0.0},
        {5, 8, ZAR_OK, 0.0, 1.0},
        {6, 15, ZAR_OK, 22.5, std::pow(10.0, 22.5 / 20)},
        {7, 63, ZAR_OK, -94.5, std::pow(10.0, -94.5 / 20)},
        {0, 256, ZAR_E_BAD_ARGUMENT, 0, 0},
        {5, 32, ZAR_E_BAD_ARGUMENT, 0, 0},
        {8, 0, ZAR_E_BAD_ARGUMENT, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("kind " + std::to_string(c.kind) + " value " + std::to_string(c.value));
        double db = 1234, gain = 1234;
        ASSERT_EQ(ZarAudCalcAudioDB(c.kind, c.value, &db, &gain), c.result);
        if (c.result != ZAR_OK) {
            EXPECT_EQ(db, 1234);
            continue;
        }
        EXPECT_NEAR(db, c.db, 1e-5);
        EXPECT_NEAR(gain, c.gain, 1e-6);
    }
    EXPECT_EQ(ZarAudCalcAudioDB(0, 100, nullptr, nullptr), ZAR_OK);
}

// ---- The simulated board ----

class SimulatedBoard : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(ZarDcOpenEx(0, &board_), ZAR_OK); }
    void TearDown() override { ZarDcClose(board_); }
    ZAR_BOARD board_ = nullptr;
};

TEST_F(SimulatedBoard, TheDeviceTableShowsTheDriveAndItsLastBlockIsReachable)
{
    ZAR_SCSI_DEVICE_INFO info{};
    info.ScsiId = 0;
    ASSERT_EQ(ZarScsiQueryDeviceInfo(board_, &info), ZAR_OK);
    EXPECT_EQ(info.State, ZAR_SCSI_DEVICE_READY);
    EXPECT_EQ(info.LastBlock, kDriveBlocks - 1);

    std::vector<uint8_t> buffer(1024);
    struct Case {
        const char* what;
        uint32_t operation, id, first, count, offset;
        int32_t result;
    } cases[] = {
        {"the last block", ZAR_SCSI_OP_READ, 0, kDriveBlocks - 1, 1, 0, ZAR_OK},
        {"block 517", ZAR_SCSI_OP_READ, 0, 517, 1, 0, ZAR_OK},
        {"one past the last block", ZAR_SCSI_OP_READ, 0, kDriveBlocks, 1, 0, ZAR_E_BLOCK_RANGE},
        {"a write running past the end", ZAR_SCSI_OP_WRITE, 0, kDriveBlocks - 1, 2, 0, ZAR_E_BLOCK_RANGE},
        {"no drive at the id", ZAR_SCSI_OP_READ, kAbsentId, 0, 1, 0, ZAR_E_SCSI_DEVICE_STATE},
        {"board memory past its 16,384 blocks", ZAR_SCSI_OP_BOARD_READ, 0, 0, 1, 16384, ZAR_E_BAD_ARGUMENT},
        {"status without a sequential transfer", ZAR_SCSI_OP_SEQ_STATUS, 0, 0, 0, 0, ZAR_E_BAD_ARGUMENT},
        {"operation 9", 9, 0, 0, 0, 0, ZAR_E_BAD_ARGUMENT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ZAR_SCSI_COMMAND command{};
        command.Operation = c.operation;
        command.ScsiId = c.id;
        command.FirstBlock = c.first;
        command.BlockCount = c.count;
        command.BufferOffset = c.offset;
        command.Buffer = c.count ? uint32_t(reinterpret_cast<uintptr_t>(buffer.data())) : 0;
        std::fill(buffer.begin(), buffer.end(), 0);
        ASSERT_EQ(ZarScsiCommand(board_, &command), c.result);
        if (c.result == ZAR_OK && c.operation == ZAR_SCSI_OP_READ) {
            EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 512), ImageBlock(c.first));
        }
    }
}

TEST_F(SimulatedBoard, AJpegModeSetIsTheModeGetAnswers)
{
    for (uint32_t mode : {ZAR_JPEG_MODE_INITIALISED, ZAR_JPEG_MODE_HOLD, ZAR_JPEG_MODE_IDLE}) {
        SCOPED_TRACE(mode);
        uint32_t modes[2] = {mode, mode};
        ASSERT_EQ(ZarDcSetJpegMode(board_, modes), ZAR_OK);
        uint32_t back[2] = {12345, 12345};
        ASSERT_EQ(ZarDcGetJpegMode(board_, back), ZAR_OK);
        EXPECT_EQ(back[0], mode);
        EXPECT_EQ(back[1], mode);
    }
}

TEST_F(SimulatedBoard, TheVersionRecordCarriesTheFilesTheBoardAndItsIdentification)
{
    uint8_t info[ZAR_VERSION_INFO_EX_SIZE] = {};
    ASSERT_EQ(ZarDcGetVersionInfoEx(board_, info), ZAR_OK);
    uint32_t library[2], standard, capabilities;
    std::memcpy(library, info, 8);
    std::memcpy(&standard, info + 40, 4);
    std::memcpy(&capabilities, info + 85, 4);
    EXPECT_NE(library[0], 0u);
    EXPECT_EQ(standard, 525u);
    EXPECT_EQ(capabilities, SharedOf(board_).Capabilities);
    EXPECT_GT(std::strlen(reinterpret_cast<const char*>(info + 48)), 0u);
    EXPECT_LT(std::strlen(reinterpret_cast<const char*>(info + 48)), 17u);
    uint8_t plain[ZAR_VERSION_INFO_SIZE] = {};
    ASSERT_EQ(ZarDcGetVersionInfo(board_, plain), ZAR_OK);
    EXPECT_EQ(std::memcmp(plain, info, 85), 0);
}

}  // namespace
