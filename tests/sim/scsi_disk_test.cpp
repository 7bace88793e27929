// The drives on the board's SCSI bus, through the host adapter as the driver
// uses it: INQUIRY text, spin-up, capacity and range checks, the caching and
// exceptions mode pages; and the machine folder's drive list with its images.
#include "sim/scsi_disk.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "scsi_initiator.h"

using namespace sim;
using namespace simtest;

namespace {

struct DiskFixture : ::testing::Test, ScsiBoard {
    Initiator& B() { return *bus; }
    const uint8_t* At(uint32_t block) { return board->Memory().Raw() + block * 512; }

    // MODE SENSE(6) of a page byte into SDRAM block 0x500; the mode data.
    std::vector<uint8_t> ModeSense(int id, uint8_t pageByte)
    {
        auto r = B().Run(id, {0x1A, 0, pageByte, 0, 0xFF, 0}, 256, true, 0x500);
        if (r.status != 0) return {};
        return std::vector<uint8_t>(At(0x500), At(0x500) + At(0x500)[0] + 1);
    }
    // MODE SELECT(6) of 'list' (PF, SP as asked), with the driver's 512-byte count.
    uint8_t ModeSelect(int id, const std::vector<uint8_t>& list, bool save)
    {
        board->Memory().Write(0x600, 0, 0, list.data(), uint32_t(list.size()));
        return B().Run(id, {0x15, uint8_t(save ? 0x11 : 0x10), 0, 0, uint8_t(list.size()), 0}, 512, false, 0x600).status;
    }
};

std::string Text(const uint8_t* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

}  // namespace

TEST_F(DiskFixture, InquiryAndCapacityDescribeTheDrive)
{
    DriveConfig narrow = Drive(3, 123456);
    narrow.wide = false;
    narrow.serial = "";
    PowerOn({Drive(0, 1000), narrow});
    ASSERT_TRUE(Ready(0).ok);
    ASSERT_TRUE(Ready(3).ok);

    auto r = B().Run(0, {0x12, 0, 0, 0, 0xFF, 0}, 256, true, 0x100);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.residual, 320u - 96u);
    const uint8_t* d = At(0x100);
    EXPECT_EQ(d[0], 0x00) << "direct access";
    EXPECT_EQ(d[2], 0x02);
    EXPECT_EQ(d[4], 91);
    EXPECT_EQ(d[7], 0x30) << "wide and synchronous";
    EXPECT_EQ(Text(d + 8, 8), "ACME    ");
    EXPECT_EQ(Text(d + 16, 16), "TESTDISK 0      ");
    EXPECT_EQ(Text(d + 32, 4), "0102");
    EXPECT_EQ(Text(d + 36, 8), "SN00000 ");

    ASSERT_EQ(B().Run(3, {0x12, 0, 0, 0, 0xFF, 0}, 256, true, 0x100).status, 0);
    EXPECT_EQ(d[7], 0x10) << "narrow";
    EXPECT_EQ(Text(d + 36, 8), "        ");

    ASSERT_EQ(B().Run(3, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 256, true, 0x100).status, 0);
    EXPECT_EQ(std::vector<uint8_t>(d, d + 8), (std::vector<uint8_t>{0, 0x01, 0xE2, 0x3F, 0, 0, 0x02, 0}));

    // An allocation length shorter than the data cuts the reply.
    auto shortReply = B().Run(0, {0x12, 0, 0, 0, 36, 0}, 256, true, 0x100);
    EXPECT_EQ(shortReply.residual, 320u - 36u);
}

TEST_F(DiskFixture, NotReadyWhileSpinningUpThenReady)
{
    DriveConfig slow = Drive(0);
    slow.spinUpNs = 5 * kSec;
    DriveConfig stopped = Drive(1);
    stopped.spinUpNs = 40 * kSec;
    stopped.startAtPowerOn = false;
    PowerOn({slow, stopped});
    uint64_t powerOn = host.Now();
    ASSERT_TRUE(Ready(0).ok);
    ASSERT_TRUE(Ready(1).ok);

    EXPECT_EQ(B().Run(0, {0, 0, 0, 0, 0, 0}).status, 2);
    EXPECT_EQ(B().Sense(0), (std::vector<uint8_t>{0x02, 0x04, 0x01})) << "becoming ready";
    EXPECT_EQ(B().Run(0, {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 512).status, 2) << "no media access meanwhile";
    EXPECT_EQ(B().Run(1, {0, 0, 0, 0, 0, 0}).status, 2);
    EXPECT_EQ(B().Sense(1), (std::vector<uint8_t>{0x02, 0x04, 0x02})) << "waits for START UNIT";

    host.RunUntil(powerOn + 5 * kSec);
    EXPECT_EQ(B().Run(0, {0, 0, 0, 0, 0, 0}).status, 0);

    // START UNIT without the immediate bit holds the bus until the motor is
    // up: the selection's interrupt arrives after the spin-up time.
    B().ArmSdram(0, 0, false);
    uint64_t start = host.Now();
    ASSERT_EQ(B().Select(1, {0x1B, 0, 0, 0, 0x01, 0}, 60 * kSec), 0x18);
    EXPECT_GE(B().lastIrqTime - start, 40 * kSec);
    EXPECT_LE(B().lastIrqTime - start, 40 * kSec + kMs);
    EXPECT_EQ(B().StatusPhase(), 0);
    EXPECT_EQ(B().Run(1, {0, 0, 0, 0, 0, 0}).status, 0);
}

TEST_F(DiskFixture, CommandErrorsEndInCheckConditionWithTheirSense)
{
    PowerOn({Drive(0, 1000)});
    ASSERT_TRUE(Ready(0).ok);
    struct Case {
        const char* what;
        std::vector<uint8_t> cdb;
        uint8_t status;
        std::vector<uint8_t> sense;
    } cases[] = {
        {"read ending on the last block", {0x28, 0, 0, 0, 0x03, 0xE0, 0, 0, 8, 0}, 0, {0, 0, 0}},
        {"read one block past the end", {0x28, 0, 0, 0, 0x03, 0xE1, 0, 0, 8, 0}, 2, {0x05, 0x21, 0}},
        {"read starting past the end", {0x28, 0, 0, 0, 0x03, 0xE8, 0, 0, 1, 0}, 2, {0x05, 0x21, 0}},
        {"read whose range wraps 32 bits", {0x28, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 2, 0}, 2, {0x05, 0x21, 0}},
        {"write past the end", {0x2A, 0, 0, 0, 0x03, 0xE7, 0, 0, 2, 0}, 2, {0x05, 0x21, 0}},
        {"unknown opcode", {0xC5, 0, 0, 0, 0, 0}, 2, {0x05, 0x20, 0}},
        {"vital product data not offered", {0x12, 1, 0x80, 0, 0xFF, 0}, 2, {0x05, 0x24, 0}},
        {"mode page not offered", {0x1A, 0, 0x05, 0, 0xFF, 0}, 2, {0x05, 0x24, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        bool write = c.cdb[0] == 0x2A;
        auto r = B().Run(0, c.cdb, c.cdb[0] == 0x28 || write ? c.cdb[8] * 512u : 256u, !write);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(B().Sense(0), c.sense);
    }
}

TEST_F(DiskFixture, CachingAndExceptionsPagesSenseAndSelect)
{
    DriveConfig fixedRcd = Drive(1);
    fixedRcd.rcd = true;
    fixedRcd.rcdChangeable = false;
    PowerOn({Drive(0), fixedRcd});
    ASSERT_TRUE(Ready(0).ok);
    ASSERT_TRUE(Ready(1).ok);

    // Layout as read: header, 8-byte block descriptor, page at byte 12.
    std::vector<uint8_t> caching = ModeSense(0, 0x08);
    ASSERT_EQ(caching.size(), 24u);
    EXPECT_EQ(caching[3], 8);
    EXPECT_EQ(caching[10], 0x02) << "512-byte blocks";
    EXPECT_EQ(caching[12], 0x88) << "caching page, savable";
    EXPECT_EQ(caching[13], 10);
    EXPECT_EQ(caching[14], 0x04) << "WCE set, RCD clear";
    EXPECT_EQ(ModeSense(0, 0x48)[14], 0x05) << "both changeable";
    EXPECT_EQ(ModeSense(1, 0x48)[14], 0x04) << "RCD fixed";
    EXPECT_EQ(ModeSense(1, 0x08)[14], 0x05);
    std::vector<uint8_t> exceptions = ModeSense(0, 0x1C);
    EXPECT_EQ(exceptions[12], 0x9C);
    EXPECT_EQ(exceptions[14], 0x00);
    EXPECT_EQ(ModeSense(0, 0x5C)[14], 0x08) << "DEXCPT changeable";
    EXPECT_EQ(ModeSense(0, 0x3F).size(), 36u) << "both pages";
    EXPECT_EQ(ModeSense(0, 0x08 | 0x80)[14], 0x04) << "defaults";

    // Select as the driver writes it back: length byte zeroed, PS cleared.
    auto asSelected = [](std::vector<uint8_t> page) {
        page[0] = 0;
        page[12] &= 0x7F;
        return page;
    };
    std::vector<uint8_t> noCache = asSelected(caching);
    noCache[14] = 0x01;  // RCD on, WCE off
    EXPECT_EQ(ModeSelect(0, noCache, false), 0);
    EXPECT_EQ(ModeSense(0, 0x08)[14], 0x01);
    EXPECT_EQ(ModeSense(0, 0xC8)[14], 0x04) << "not saved";
    std::vector<uint8_t> smartOff = asSelected(exceptions);
    smartOff[14] = 0x08;
    EXPECT_EQ(ModeSelect(0, smartOff, true), 0);
    EXPECT_EQ(ModeSense(0, 0xDC)[14], 0x08) << "saved";

    struct Bad {
        const char* what;
        int byte;
        uint8_t value;
        int drive;
    } bad[] = {
        {"mode data length not zero", 0, 23, 0},
        {"PS bit set", 12, 0x88, 0},
        {"block length not 512", 10, 0x04, 0},
        {"page length wrong", 13, 6, 0},
        {"a bit that is not changeable", 14, 0x04, 1},  // drive 1 keeps RCD set
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.what);
        std::vector<uint8_t> list = asSelected(ModeSense(b.drive, 0x08));
        list[b.byte] = b.value;
        EXPECT_EQ(ModeSelect(b.drive, list, false), 2);
        EXPECT_EQ(B().Sense(b.drive), (std::vector<uint8_t>{0x05, 0x26, 0x00}));
    }

    // Power-on brings the saved values back and drops the unsaved ones.
    board->Reset();
    B().Init();
    ASSERT_TRUE(Ready(0).ok);
    EXPECT_EQ(ModeSense(0, 0x08)[14], 0x04);
    EXPECT_EQ(ModeSense(0, 0x1C)[14], 0x08);
}

TEST(DriveList, ParsesTheMachineFoldersDrivesAndReportsBadLines)
{
    DriveList list = ParseDrives(
        "# board 0\n"
        "id=0 size=4G vendor=ACME product=\"FAST DISK 4000\" revision=0102 spinup=8.5\n"
        "\n"
        "id=2 blocks=2097152 width=8 period=25 offset=8 fixed=rcd,dexcpt rcd=1 start=command image=/abs/d2.img\n"
        "id=7 size=1G\n"
        "id=3 size=1000\n"
        "id=4 size=1G colour=blue\n"
        "id=0 size=1G\n"
        "id=5 size=1M product=\"TOO LONG A PRODUCT NAME\"\n"
        "size=1M\n"
        "id=6 size=1M vendor=\"OPEN\n",
        "/m/boards/0");
    ASSERT_EQ(list.drives.size(), 2u);
    const DriveConfig& a = list.drives[0];
    EXPECT_EQ(a.id, 0);
    EXPECT_EQ(a.blocks, 8u << 20);
    EXPECT_EQ(a.product, "FAST DISK 4000");
    EXPECT_EQ(a.spinUpNs, 8'500'000'000u);
    EXPECT_TRUE(a.startAtPowerOn);
    EXPECT_EQ(a.image, "/m/boards/0/drive0.img");
    EXPECT_TRUE(a.wide);
    const DriveConfig& b = list.drives[1];
    EXPECT_EQ(b.blocks, 2097152u);
    EXPECT_FALSE(b.wide);
    EXPECT_EQ(b.minPeriod, 25);
    EXPECT_EQ(b.maxOffset, 8);
    EXPECT_TRUE(b.rcd);
    EXPECT_FALSE(b.rcdChangeable);
    EXPECT_TRUE(b.wceChangeable);
    EXPECT_FALSE(b.dexcptChangeable);
    EXPECT_FALSE(b.startAtPowerOn);
    EXPECT_EQ(b.image, "/abs/d2.img");

    ASSERT_EQ(list.errors.size(), 7u);
    const char* lines[] = {"drives.txt:5:", "drives.txt:6:", "drives.txt:7:", "drives.txt:8:",
                           "drives.txt:9:", "drives.txt:10:", "drives.txt:11:"};
    for (size_t i = 0; i < 7; ++i) EXPECT_EQ(list.errors[i].rfind(lines[i], 0), 0u) << list.errors[i];
}

TEST(DriveList, ImagesAreCreatedSparseAndKeptAcrossRuns)
{
    TempFolder machine;
    std::string folder = machine.path + "/boards/1";
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/drives.txt") << "id=0 size=1G\n";
    DriveList list = LoadDrives(machine.path, 1);
    ASSERT_TRUE(list.errors.empty());
    ASSERT_EQ(list.drives.size(), 1u);
    EXPECT_TRUE(LoadDrives(machine.path, 0).drives.empty()) << "no file: no drives";

    {
        ScsiDisk disk(list.drives[0]);
        ASSERT_TRUE(disk.Open(nullptr));
    }
    struct stat64 st {};  // 64-bit sizes in this 32-bit build
    ASSERT_EQ(::stat64((folder + "/drive0.img").c_str(), &st), 0);
    EXPECT_EQ(uint64_t(st.st_size), 1ull << 30);
    EXPECT_LT(uint64_t(st.st_blocks) * 512, 1ull << 20) << "sparse";

    // Written data stays; a larger size grows the image, a smaller one keeps it.
    {
        std::ofstream f(folder + "/drive0.img", std::ios::in | std::ios::out | std::ios::binary);
        f.write("kept", 4);
    }
    for (uint64_t blocks : {uint64_t(4) << 20, uint64_t(1) << 10}) {
        DriveConfig c = list.drives[0];
        c.blocks = blocks;
        ScsiDisk disk(c);
        ASSERT_TRUE(disk.Open(nullptr));
    }
    ASSERT_EQ(::stat64((folder + "/drive0.img").c_str(), &st), 0);
    EXPECT_EQ(uint64_t(st.st_size), 2ull << 30);
    char head[4];
    std::ifstream(folder + "/drive0.img", std::ios::binary).read(head, 4);
    EXPECT_EQ(std::string(head, 4), "kept");
}
