// The board's SCSI host adapter as the driver programs it: selection and its
// time-out, the interrupt request behind the shared mask, negotiation, the
// SDRAM data phase (linear and ring, ending early), bus reset and faults.
#include "sim/esp.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>

#include "scsi_initiator.h"

using namespace sim;
using namespace simtest;

namespace {

struct EspFixture : ::testing::Test, ScsiBoard {
    Initiator& B() { return *bus; }

    // A target left holding the bus: controller set-up, a bus reset, and
    // each target agreed with again and its unit attention taken.
    void FreeBus(std::vector<int> ids)
    {
        B().Init();
        B().Cmd(esp::kCmdResetBus);
        ASSERT_EQ(B().Phase(), uint8_t(scsi::Phase::BusFree));
        for (int id : ids) ASSERT_TRUE(Ready(id).ok);
    }
};

const std::vector<uint8_t> kInquiry{0x12, 0, 0, 0, 0xFF, 0};
const std::vector<uint8_t> kTestUnitReady{0, 0, 0, 0, 0, 0};

std::vector<uint8_t> Rw10(uint8_t op, uint32_t lba, uint16_t count)
{
    return {op, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba), 0,
            uint8_t(count >> 8), uint8_t(count), 0};
}

}  // namespace

TEST_F(EspFixture, PresentIdsAnswerAtOnceAbsentOnesTimeOutWithinMilliseconds)
{
    PowerOn({Drive(0), Drive(9)});
    struct Case {
        int id;
        uint8_t command;
        uint8_t irq, step, phase;
        uint64_t atMost;
    } cases[] = {
        {0, 0x43, 0x18, 1, 6, 20 * kUs},   // stopped in message out, ATN held
        {9, 0x43, 0x18, 1, 6, 20 * kUs},   // a wide id
        {3, 0x43, 0x20, 0, 4, 5 * kMs},    // nobody there: bus free
        {3, 0x42, 0x20, 0, 4, 5 * kMs},
        {15, 0x42, 0x20, 0, 4, 5 * kMs},
    };
    for (const Case& c : cases) {
        B().Init();
        B().Cmd(esp::kCmdResetBus);  // a bus reset frees any target from the last case
        B().W(esp::kDestId, uint8_t(0x40 | c.id));
        B().LoadFifo(c.command == 0x42 ? std::vector<uint8_t>{0x80, 0, 0, 0, 0, 0, 0} : std::vector<uint8_t>{0x80});
        uint64_t start = host.Now();
        B().Cmd(c.command);
        auto irq = B().WaitIrq();
        ASSERT_TRUE(irq) << "id " << c.id;
        EXPECT_EQ(*irq, c.irq) << "id " << c.id;
        EXPECT_EQ(B().R(esp::kSeqStep) & 7, c.step) << "id " << c.id;
        EXPECT_EQ(B().Phase(), c.phase) << "id " << c.id;
        EXPECT_LE(B().lastIrqTime - start, c.atMost) << "id " << c.id;
        if (c.irq == 0x20) {
            EXPECT_GE(B().lastIrqTime - start, 1 * kMs) << "a time-out, not an instant refusal";
        }
    }

    // A scan of every id but the adapter's own stays far inside 10 s.
    B().Init();
    B().Cmd(esp::kCmdResetBus);
    uint64_t start = host.Now();
    int answered = 0;
    for (int id = 0; id < 16; ++id) {
        if (id == 7) continue;
        if (!B().Negotiate(id, true, 12, 15).ok) {
            B().Init();  // as the driver re-initialises after a time-out
            continue;
        }
        ++answered;
        B().LoadFifo(kTestUnitReady);
        B().Cmd(esp::kCmdTransferInfo);
        EXPECT_EQ(B().WaitIrq(), 0x10);
        EXPECT_EQ(B().StatusPhase(), 2) << "unit attention after power-on";
    }
    EXPECT_EQ(answered, 2);
    EXPECT_LT(host.Now() - start, 200 * kMs);
}

TEST_F(EspFixture, InterruptRequestShowsMaskedAndReachesTheLineOnlyThroughTheSharedMask)
{
    PowerOn({});
    Saa7146& bridge = board->Bridge();
    auto lineLow = [&] { return !(bridge.Psr() & saa7146::kPsrSharedLineHigh); };

    B().W(esp::kDestId, 0x45);
    B().LoadFifo({0x80});
    B().Cmd(esp::kCmdSelectAtnStop);
    while (!B().RequestPending()) ASSERT_TRUE(host.Step());
    EXPECT_EQ(board->Regs().Read(0xBC00) & 0x1000, 0) << "visible while masked";
    EXPECT_FALSE(lineLow());
    EXPECT_EQ(B().R(esp::kStatus) & esp::kStatusInterrupt, esp::kStatusInterrupt) << "status shows the interrupt";

    board->Regs().Write(0xB840, 0x2);
    EXPECT_TRUE(lineLow());
    board->Regs().Write(0xB840, 0x0);
    EXPECT_FALSE(lineLow());
    board->Regs().Write(0xB840, 0x2);

    EXPECT_EQ(B().R(esp::kInterrupt), esp::kIrqDisconnect);
    EXPECT_FALSE(lineLow()) << "reading register 5 releases the request";
    EXPECT_EQ(board->Regs().Read(0xBC00) & 0x1000, 0x1000);
    EXPECT_EQ(B().R(esp::kInterrupt), 0) << "and cleared it";
    EXPECT_EQ(B().R(esp::kStatus) & esp::kStatusInterrupt, 0);
}

TEST_F(EspFixture, NegotiationFollowsEachTargetsCapabilities)
{
    struct Case {
        const char* what;
        bool driveWide;
        uint8_t minPeriod, maxOffset;
        bool wantWide;
        int wantPeriod, wantOffset;
        Agreement expected;
    } cases[] = {
        {"fast wide drive", true, 12, 15, true, 12, 15, {true, true, 12, 15}},
        {"narrow drive: width retried at 8 bits", false, 12, 15, true, 12, 15, {true, false, 12, 15}},
        {"narrow wanted of a wide drive", true, 12, 15, false, 12, 15, {true, false, 12, 15}},
        {"slower drive: its period and offset", true, 25, 8, true, 12, 15, {true, true, 25, 8}},
        {"period 30 offset 20: next table period, offset 15", true, 30, 20, true, 12, 15, {true, true, 31, 15}},
        {"asynchronous-only drive", true, 12, 0, true, 12, 15, {true, true, 50, 0}},
        {"asynchronous wanted", true, 12, 15, true, 12, 0, {true, true, 50, 0}},
        {"too slow for synchronous: asynchronous", true, 62, 15, true, 12, 15, {true, true, 50, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DriveConfig d = Drive(2);
        d.wide = c.driveWide;
        d.minPeriod = c.minPeriod;
        d.maxOffset = c.maxOffset;
        PowerOn({d});
        Agreement a = Ready(2, c.wantWide, c.wantPeriod, c.wantOffset);
        EXPECT_EQ(a.ok, c.expected.ok);
        EXPECT_EQ(a.wide, c.expected.wide);
        EXPECT_EQ(a.period, c.expected.period);
        EXPECT_EQ(a.offset, c.expected.offset);
        EXPECT_EQ(board->Drive(2)->NegotiatedWide(), c.expected.wide);
        EXPECT_EQ(board->Drive(2)->NegotiatedOffset(), c.expected.offset);
        // The controller set as agreed moves data.
        auto r = B().Run(2, Rw10(0x28, 0, 4), 4 * 512);
        EXPECT_EQ(r.status, 0);
    }
}

TEST_F(EspFixture, WritesAndReadsGoThroughSdramLinearAndAcrossTheRingsWrap)
{
    PowerOn({Drive(0, 1 << 16)});
    ASSERT_TRUE(Ready(0).ok);
    Sdram& mem = board->Memory();
    std::mt19937 random(7);
    struct Case {
        const char* what;
        uint32_t writeBlock, readBlock, lba;
        uint16_t blocks, mode;
    } cases[] = {
        {"linear", 100, 5000, 10, 8, 0},
        {"ring, write wraps", 7930, 300, 777, 16, 0xA},
        {"ring, read wraps", 40, 7934, 2000, 9, 0xA},
        {"large linear", 0, 8192, 4096, 256, 0},
        {"record bank 0, write wraps inside it", 4090, 12, 3000, 12, 0x3},
        {"record bank 1, read wraps inside it", 200, 4093, 3100, 7, 0x7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        uint32_t mode = c.mode == 0xA   ? Sdram::kModeRing
                        : c.mode == 0x3 ? Sdram::kModeRecordBank0
                        : c.mode == 0x7 ? Sdram::kModeRecordBank1
                                        : Sdram::kModeLinear;
        std::vector<uint8_t> data(c.blocks * 512u);
        for (auto& b : data) b = uint8_t(random());
        mem.Write(c.writeBlock, mode, 0, data.data(), uint32_t(data.size()));

        auto w = B().Run(0, Rw10(0x2A, c.lba, c.blocks), uint32_t(data.size()), false, c.writeBlock, c.mode);
        EXPECT_EQ(w.status, 0);
        EXPECT_EQ(w.dataIrq, 0x10);
        EXPECT_EQ(w.residual, 0u);
        EXPECT_EQ(B().R(esp::kStatus) & esp::kStatusCountZero, esp::kStatusCountZero) << "count reached zero";

        // The image holds the bytes.
        std::vector<uint8_t> onDisk(data.size());
        int fd = ::open(board->Drive(0)->Config().image.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(::pread(fd, onDisk.data(), onDisk.size(), off_t(c.lba) * 512), ssize_t(onDisk.size()));
        ::close(fd);
        EXPECT_EQ(onDisk, data);

        auto r = B().Run(0, Rw10(0x28, c.lba, c.blocks), uint32_t(data.size()), true, c.readBlock, c.mode);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.residual, 64u) << "data in programmed 64 bytes long ends early";
        std::vector<uint8_t> back(data.size());
        mem.Read(c.readBlock, mode, 0, back.data(), uint32_t(back.size()));
        EXPECT_EQ(back, data);
    }
}

TEST_F(EspFixture, DataPhaseEndsWithBusServiceAtCountZeroOrWhenTheTargetMovesOn)
{
    PowerOn({Drive(0)});
    ASSERT_TRUE(Ready(0).ok);

    // A reply shorter than the count: the target goes to status first.
    B().ArmSdram(0x100, 0, false);
    ASSERT_EQ(B().Select(0, kInquiry), 0x18);
    EXPECT_EQ(B().Phase(), uint8_t(scsi::Phase::DataIn));
    EXPECT_EQ(B().DataPhase(256 + 64), 0x10);
    EXPECT_EQ(B().Phase(), uint8_t(scsi::Phase::Status));
    EXPECT_EQ(B().Counter(), 320u - 96u);
    EXPECT_EQ(B().R(esp::kStatus) & esp::kStatusCountZero, 0) << "count did not reach zero";
    EXPECT_EQ(B().StatusPhase(), 0);

    // MODE SELECT programmed for 512 bytes takes only its parameter list.
    std::vector<uint8_t> list(24, 0);
    list[3] = 8;
    list[10] = 0x02;  // block length 512
    list[12] = 0x08;
    list[13] = 0x0A;
    list[14] = 0x04;  // WCE as it is
    board->Memory().Write(0x200, 0, 0, list.data(), uint32_t(list.size()));
    auto r = B().Run(0, {0x15, 0x10, 0, 0, 24, 0}, 512, false, 0x200);
    EXPECT_EQ(r.dataIrq, 0x10);
    EXPECT_EQ(r.residual, 512u - 24u);
    EXPECT_EQ(r.status, 0);

    // A count shorter than the data: bus service in the same phase; the next
    // DMA phase carries on where SDRAM was left.
    std::vector<uint8_t> pattern(1024);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = uint8_t(i * 7);
    board->Memory().Write(0x300, 0, 0, pattern.data(), 1024);
    ASSERT_EQ(B().Run(0, Rw10(0x2A, 50, 2), 1024, false, 0x300).status, 0);
    B().ArmSdram(0x400, 0, false);
    ASSERT_EQ(B().Select(0, Rw10(0x28, 50, 2)), 0x18);
    EXPECT_EQ(B().DataPhase(512), 0x10);
    EXPECT_EQ(B().Phase(), uint8_t(scsi::Phase::DataIn)) << "still data in";
    EXPECT_EQ(B().R(esp::kStatus) & esp::kStatusCountZero, esp::kStatusCountZero);
    EXPECT_EQ(B().DataPhase(512 + 64), 0x10);
    EXPECT_EQ(B().Phase(), uint8_t(scsi::Phase::Status));
    EXPECT_EQ(B().StatusPhase(), 0);
    std::vector<uint8_t> back(1024);
    board->Memory().Read(0x400, 0, 0, back.data(), 1024);
    EXPECT_EQ(back, pattern);
}

TEST_F(EspFixture, BusResetDropsAgreementsAndLeavesUnitAttention)
{
    for (uint8_t config1 : {uint8_t(0x57), uint8_t(0x17)}) {
        SCOPED_TRACE(config1);
        PowerOn({Drive(0), Drive(4)});
        ASSERT_TRUE(Ready(0).ok);
        ASSERT_TRUE(Ready(4).ok);
        B().W(esp::kConfig1, config1);
        B().Cmd(esp::kCmdResetBus);
        auto irq = B().WaitIrq(10 * kMs);
        if (config1 & 0x40) EXPECT_FALSE(irq) << "reset interrupt disabled";
        else EXPECT_EQ(irq, 0x80);
        for (int id : {0, 4}) {
            EXPECT_FALSE(board->Drive(id)->NegotiatedWide());
            EXPECT_EQ(board->Drive(id)->NegotiatedOffset(), 0);
        }
        // Old settings no longer match: renegotiate, then the attention shows once.
        ASSERT_TRUE(B().Negotiate(0, true, 12, 15).ok);
        B().LoadFifo(kTestUnitReady);
        B().Cmd(esp::kCmdTransferInfo);
        ASSERT_EQ(B().WaitIrq(), 0x10);
        EXPECT_EQ(B().StatusPhase(), 2);
        EXPECT_EQ(B().Sense(0), (std::vector<uint8_t>{0x06, 0x29, 0x00}));
        EXPECT_EQ(B().Run(0, kTestUnitReady).status, 0);

        // An initiator need not fetch the sense: the attention is reported
        // once and the next read's status is its own, not the one before.
        B().Cmd(esp::kCmdResetBus);
        B().WaitIrq(10 * kMs);
        ASSERT_TRUE(B().Negotiate(4, true, 12, 15).ok);
        B().LoadFifo(kTestUnitReady);
        B().Cmd(esp::kCmdTransferInfo);
        ASSERT_EQ(B().WaitIrq(), 0x10);
        EXPECT_EQ(B().StatusPhase(), 2);
        auto r = B().Run(4, Rw10(0x28, 0, 2), 1024);
        EXPECT_EQ(r.residual, 64u);
        EXPECT_EQ(r.status, 0);
    }
}

TEST_F(EspFixture, EveryInjectedFaultEndsInADefinedInterruptOrStatus)
{
    PowerOn({Drive(0), Drive(1)});
    ASSERT_TRUE(Ready(0).ok);
    ASSERT_TRUE(Ready(1).ok);
    ScsiDisk& d = *board->Drive(0);

    // Selection time-out: a disconnect interrupt, then the drive is back.
    d.Faults().selectionTimeouts = 1;
    EXPECT_EQ(B().Select(0, kTestUnitReady), 0x20);
    EXPECT_EQ(B().Phase(), uint8_t(scsi::Phase::BusFree));
    EXPECT_EQ(B().Run(0, kTestUnitReady).status, 0);

    // Medium error: the blocks before the bad one arrive, then CHECK CONDITION 03/11.
    d.Faults().badBlock = 103;
    auto r = B().Run(0, Rw10(0x28, 100, 8), 8 * 512);
    EXPECT_EQ(r.dataIrq, 0x10);
    EXPECT_EQ(r.residual, 8u * 512 + 64 - 3 * 512);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(B().Sense(0), (std::vector<uint8_t>{0x03, 0x11, 0x00}));
    EXPECT_EQ(B().Run(0, Rw10(0x2A, 96, 8), 8 * 512, false).status, 2);
    EXPECT_EQ(B().Sense(0), (std::vector<uint8_t>{0x03, 0x0C, 0x00}));
    d.Faults().badBlock = -1;

    // Hung data phase: no interrupt within the driver's 3 s. The controller's
    // own reset leaves the target holding the bus; only a bus reset frees
    // it, and then the agreements are gone and a unit attention waits.
    d.Faults().hungDataPhases = 1;
    r = B().Run(0, Rw10(0x28, 0, 1), 512);
    EXPECT_FALSE(r.dataIrq);
    EXPECT_TRUE(board->Scsi().Stalled());
    EXPECT_EQ(B().Select(1, kTestUnitReady), 0x40) << "the bus is still held";
    B().Init();
    EXPECT_EQ(B().Phase(), uint8_t(scsi::Phase::DataIn)) << "still in data in after the controller's reset";
    EXPECT_EQ(board->Scsi().ConnectedId(), 0);
    EXPECT_FALSE(board->Scsi().Stalled());
    EXPECT_EQ(B().Select(1, kTestUnitReady), 0x40) << "the bus is still held";
    B().Cmd(esp::kCmdResetBus);
    EXPECT_FALSE(B().WaitIrq(10 * kMs)) << "no reset interrupt with configuration 1 bit 6";
    EXPECT_EQ(B().Phase(), uint8_t(scsi::Phase::BusFree));
    EXPECT_TRUE(d.UnitAttentionPending());
    EXPECT_FALSE(d.NegotiatedWide());
    ASSERT_TRUE(Ready(0).ok);
    ASSERT_TRUE(Ready(1).ok);
    EXPECT_EQ(B().Run(0, Rw10(0x28, 0, 1), 512).status, 0);

    // A data phase that never goes on to status: bus service once the drive
    // stops taking bytes, the bus still held in the data phase.
    d.Faults().endlessDataPhases = 1;
    r = B().Run(0, Rw10(0x28, 0, 2), 1024);
    EXPECT_EQ(r.dataIrq, 0x10);
    EXPECT_EQ(r.residual, 64u);
    EXPECT_FALSE(r.reachedStatus);
    EXPECT_EQ(B().Phase(), uint8_t(scsi::Phase::DataIn));
    B().Init();
    B().Cmd(esp::kCmdResetBus);
    EXPECT_EQ(B().Phase(), uint8_t(scsi::Phase::BusFree));
    ASSERT_TRUE(Ready(0).ok);
    ASSERT_TRUE(Ready(1).ok);

    // A drive that stops answering mid-command drops off the bus: disconnect.
    B().ArmSdram(0x100, 0, false);
    ASSERT_EQ(B().Select(0, Rw10(0x28, 0, 1)), 0x18);
    d.Faults().stopsAnswering = true;
    EXPECT_EQ(B().DataPhase(512 + 64), 0x20);
    EXPECT_EQ(B().Phase(), uint8_t(scsi::Phase::BusFree));
    // ... and from then on ignores selection.
    EXPECT_EQ(B().Select(0, kTestUnitReady), 0x20);
    EXPECT_EQ(B().Run(1, kTestUnitReady).status, 0) << "the other drive is unaffected";
}

TEST_F(EspFixture, DataPhasesThatCannotRunStallInsteadOfMovingData)
{
    PowerOn({Drive(0)});
    ASSERT_TRUE(Ready(0).ok);
    struct Case {
        const char* what;
        bool arm, directionToDrive, wide;
        uint8_t offset;
    } cases[] = {
        {"SDRAM side not armed", false, false, true, 15},
        {"SDRAM direction opposite", true, true, true, 15},
        {"controller narrow, target agreed wide", true, false, false, 15},
        {"controller offset differs", true, false, true, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        B().Init();
        B().SetTransferMode({true, c.wide, 12, c.offset});
        if (c.arm) B().ArmSdram(0x100, 0, c.directionToDrive);
        else board->Regs().Write(0x9400, 0x8000);
        ASSERT_EQ(B().Select(0, Rw10(0x28, 0, 1)), 0x18);
        EXPECT_FALSE(B().DataPhase(512 + 64));
        EXPECT_TRUE(board->Scsi().Stalled());
        EXPECT_EQ(B().Counter(), 576u) << "nothing moved";
        FreeBus({0});
    }
}

TEST_F(EspFixture, CommandsThatDoNotFitTheBusStateAreIllegal)
{
    PowerOn({Drive(0)});
    ASSERT_TRUE(Ready(0).ok);
    struct Case {
        const char* what;
        uint8_t command;
        bool connected;
    } cases[] = {
        {"transfer information while disconnected", 0x10, false},
        {"status and message while disconnected", 0x11, false},
        {"DMA data phase while disconnected", 0x90, false},
        {"selection while connected", 0x42, true},
        {"status and message in the data phase", 0x11, true},
        {"unknown command", 0x7F, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        B().Init();
        B().SetTransferMode({true, true, 12, 15});
        if (c.connected) {
            B().ArmSdram(0x100, 0, false);
            ASSERT_EQ(B().Select(0, Rw10(0x28, 0, 1)), 0x18);
        }
        B().Cmd(c.command);
        EXPECT_EQ(B().WaitIrq(), 0x40);
        if (c.connected) FreeBus({0});
    }
}
