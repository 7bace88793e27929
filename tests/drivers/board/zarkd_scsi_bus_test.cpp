// The host adapter's bus protocol against the simulated drives, on the
// virtual clock: the bus scan and each target's record, wide and
// synchronous negotiation from the registry options and the drives'
// limits, the cache and SMART settings, sense handling, and every injected
// drive fault ending as a failed status byte with the bus usable again.

#include <gtest/gtest.h>

#include <cstring>

#include "zarkd_scsi_machine.h"

namespace {

constexpr uint64_t kSec = 1'000'000'000;

// ---- the scan ----

class ZarkdScsiScan : public ZarkdScsiMachine {
protected:
    std::vector<sim::DriveConfig> Drives() override
    {
        sim::DriveConfig slow = Drive(2, 4096);
        slow.startAtPowerOn = false;  // spins up only at START UNIT, and takes 40 s
        slow.spinUpNs = 40 * kSec;
        sim::DriveConfig never = Drive(5, 4096);
        never.spinUpNs = 200 * kSec;
        return {Drive(0, 10000), slow, never};
    }
};

TEST_F(ZarkdScsiScan, FindsPresentAbsentSlowAndNeverReadyTargets)
{
    // The outcome is the table: the absent ids' failed probes are not the scan's.
    EXPECT_EQ(Run(Request(ZAR_DISK_OP_SCAN)).ScsiStatus, 0u);
    struct Row {
        ULONG id;
        ULONG state;
        ULONG lastBlock;
    } rows[] = {
        {0, ZAR_SCSI_DEVICE_READY, 9999},    {1, ZAR_SCSI_DEVICE_NONE, 0},  {2, ZAR_SCSI_DEVICE_READY, 4095},
        {5, ZAR_SCSI_DEVICE_NOT_READY, 0},   {6, ZAR_SCSI_DEVICE_NONE, 0},  {15, ZAR_SCSI_DEVICE_NONE, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.id);
        ZAR_SCSI_DEVICE_INFO info = Device(row.id);
        EXPECT_EQ(info.State, row.state);
        EXPECT_EQ(info.LastBlock, row.lastBlock);
        if (row.state != ZAR_SCSI_DEVICE_NONE) {
            EXPECT_EQ(info.ScsiId, row.id);
            EXPECT_STREQ(info.VendorId, "ACME    ");
            EXPECT_STREQ(info.ProductId, ("TESTDISK " + std::to_string(row.id) + std::string(6, ' ')).c_str());
            EXPECT_STREQ(info.Revision, "0102");
        }
    }
    ZAR_SCSI_DEVICE_INFO host = Device(ZAR_SCSI_HOST_ADAPTER_ID);
    EXPECT_EQ(host.State, ZAR_SCSI_DEVICE_READY);
    EXPECT_STREQ(host.VendorId, "KIV");
    EXPECT_STREQ(host.ProductId, "Host Adapter");
    EXPECT_STREQ(host.Revision, "1.00");
    EXPECT_EQ(host.NegotiatedPeriod, 12u);
    EXPECT_EQ(host.NegotiatedOffset, 15u);
    EXPECT_EQ(host.NegotiatedWide, 1u);
}

TEST_F(ZarkdScsiScan, DeviceIndexBeyondTheTableIsRefused)
{
    for (ULONG index : {16u, 17u, 0xFFFFFFFFu}) {
        ZAR_SCSI_DEVICE_INFO info{};
        info.ScsiId = index;
        EXPECT_EQ(Send(IOCTL_ZAR_GET_SCSI_DEVICE, &info, sizeof(info), &info, sizeof(info)).status,
                  STATUS_INVALID_PARAMETER)
            << index;
    }
}

}  // namespace

namespace {

// ---- negotiation ----

// One target per case: its registry options and the drive's own limits,
// and what the two sides end up agreeing on.
struct NegotiationCase {
    int id;
    const char* name;
    std::vector<std::pair<std::u16string, ULONG>> options;
    bool driveWide;
    uint8_t drivePeriod, driveOffset;
    ULONG wide, period, offset, slowCable;
};
const NegotiationCase kNegotiation[] = {
    {0, "defaults", {}, true, 12, 15, 1, 12, 15, 0},
    {1, "Width 8", {{u"Width", 8}}, true, 12, 15, 0, 12, 15, 0},
    {2, "narrow drive", {}, false, 12, 15, 0, 12, 15, 0},
    {3, "Rate 10", {{u"Rate", 10}}, true, 12, 15, 1, 25, 15, 0},
    {4, "Rate 8", {{u"Rate", 8}}, true, 12, 15, 1, 31, 15, 0},
    {5, "Rate 5", {{u"Rate", 5}}, true, 12, 15, 1, 37, 15, 0},
    {6, "Offset 0", {{u"Offset", 0}}, true, 12, 15, 1, 50, 0, 0},
    {8, "drive answers period 30, offset 20", {}, true, 30, 20, 1, 31, 15, 0},
    {9, "drive too slow for synchronous", {}, true, 50, 15, 1, 50, 0, 0},
    {10, "asynchronous drive", {}, true, 12, 0, 1, 50, 0, 0},
    {11, "drive offset 8", {}, true, 12, 8, 1, 12, 8, 0},
    {12, "Offset 4, drive period 25", {{u"Offset", 4}}, true, 25, 15, 1, 25, 4, 0},
    {13, "SlowCable", {{u"SlowCable", 1}, {u"Offset", 40}}, true, 12, 15, 1, 12, 15, 1},
};

class ZarkdScsiNegotiation : public ZarkdScsiMachine {
protected:
    std::vector<sim::DriveConfig> Drives() override
    {
        std::vector<sim::DriveConfig> drives;
        for (const NegotiationCase& c : kNegotiation) {
            sim::DriveConfig d = Drive(c.id, 1024);
            d.wide = c.driveWide;
            d.minPeriod = c.drivePeriod;
            d.maxOffset = c.driveOffset;
            drives.push_back(d);
        }
        return drives;
    }
};

TEST_F(ZarkdScsiNegotiation, RegistryOptionsAndDriveLimitsGiveTheAgreement)
{
    for (const NegotiationCase& c : kNegotiation)
        for (const auto& [name, value] : c.options) SetScsiOption(c.id, name, value);
    Scan();
    for (const NegotiationCase& c : kNegotiation) {
        SCOPED_TRACE(c.name);
        ZAR_SCSI_DEVICE_INFO info = Device(c.id);
        ASSERT_EQ(info.State, ZAR_SCSI_DEVICE_READY);
        EXPECT_EQ(info.NegotiationPending, 0u);
        EXPECT_EQ(info.NegotiatedWide, c.wide);
        EXPECT_EQ(info.NegotiatedPeriod, c.period);
        EXPECT_EQ(info.NegotiatedOffset, c.offset);
        EXPECT_EQ(info.SlowCableInForce, c.slowCable);
        // The drive holds the same agreement, and data moves under it both ways.
        EXPECT_EQ(Disk(c.id)->NegotiatedWide(), c.wide == 1);
        EXPECT_EQ(Disk(c.id)->NegotiatedOffset(), c.offset);
        std::vector<UCHAR> data = RandomBytes(4 * kBlock, uint32_t(c.id));
        EXPECT_EQ(Run(Request(ZAR_DISK_OP_WRITE, c.id, 8, 4), data.data(), ULONG(data.size())).ScsiStatus, 0u);
        std::vector<UCHAR> back(data.size());
        EXPECT_EQ(Run(Request(ZAR_DISK_OP_READ, c.id, 8, 4), back.data(), ULONG(back.size())).ScsiStatus, 0u);
        EXPECT_EQ(back, data);
    }
}

TEST_F(ZarkdScsiNegotiation, EveryScanRenegotiatesWithTheOptionsThenInForce)
{
    Scan();
    EXPECT_EQ(Device(3).NegotiatedPeriod, 12u);
    SetScsiOption(3, u"Rate", 10);
    SetScsiOption(3, u"Width", 8);
    Scan();
    ZAR_SCSI_DEVICE_INFO info = Device(3);
    EXPECT_EQ(info.WantedPeriod, 25u);
    EXPECT_EQ(info.WantedWide, 0u);
    EXPECT_EQ(info.NegotiatedPeriod, 25u);
    EXPECT_EQ(info.NegotiatedWide, 0u);
}

// ---- cache and SMART settings ----

class ZarkdScsiCaching : public ZarkdScsiMachine {
protected:
    std::vector<sim::DriveConfig> Drives() override
    {
        sim::DriveConfig fixed = Drive(1, 1024);  // read cache off and not changeable
        fixed.rcd = true;
        fixed.rcdChangeable = false;
        sim::DriveConfig smartFixed = Drive(2, 1024);
        smartFixed.dexcptChangeable = false;
        return {Drive(0, 1024), fixed, smartFixed};
    }

    // Byte 14 of a page as MODE SENSE returns it now.
    UCHAR PageFlags(ULONG id, ULONG page)
    {
        ZAR_DISK_REQUEST q = Request(ZAR_DISK_OP_MODE_SENSE, id);
        q.ModeSensePage = page;
        std::vector<UCHAR> reply(256);
        EXPECT_EQ(Run(q, reply.data(), ULONG(reply.size())).ScsiStatus, 0u);
        EXPECT_EQ(reply[12] & 0x3F, UCHAR(page & 0x3F));
        return reply[14];
    }
};

TEST_F(ZarkdScsiCaching, ScanAppliesTheWantedCachesWhereTheDriveLetsIt)
{
    SetScsiOption(0, u"WriteCache", 0);
    SetScsiOption(0, u"ReadCache", 0);
    Scan();
    // Changed on the drive, through MODE SELECT of the sensed page.
    EXPECT_EQ(PageFlags(0, 0x08) & 0x05, 0x01);  // RCD set, WCE clear
    EXPECT_EQ(Device(0).ReadCache, 0u);
    EXPECT_EQ(Device(0).WriteCache, 0u);
    // A drive that cannot change its read cache reports what it has.
    EXPECT_EQ(Device(1).ReadCache, 0u);
    EXPECT_EQ(Device(1).WriteCache, 1u);
    EXPECT_EQ(PageFlags(1, 0x08) & 0x05, 0x05);
    // Informational exceptions are switched off where they can be.
    EXPECT_EQ(PageFlags(0, 0x1C) & 0x08, 0x08);
    EXPECT_EQ(PageFlags(2, 0x1C) & 0x08, 0x00);
}

TEST_F(ZarkdScsiCaching, AllowSmartLeavesTheExceptionsPageAlone)
{
    SetScsiOption(-1, u"AllowSMART", 1);
    Scan();
    EXPECT_EQ(Device(0).State, ZAR_SCSI_DEVICE_READY);
    EXPECT_EQ(PageFlags(0, 0x1C) & 0x08, 0x00);
}

// ---- sense and faults ----

using ZarkdScsiFaults = ZarkdReadyDriveMachine<2048>;

TEST_F(ZarkdScsiFaults, CheckConditionBringsTheSenseIntoTheRecord)
{
    // A bus reset leaves a unit attention; TEST UNIT READY reports it once.
    Run(Request(ZAR_DISK_OP_BUS_RESET));
    ZAR_DISK_REQUEST r = Run(Request(ZAR_DISK_OP_TEST_UNIT_READY));
    EXPECT_EQ(r.ScsiStatus, 2u);
    EXPECT_EQ(r.SenseResponseCode, 0x70u);
    EXPECT_EQ(r.SenseKey, 6u);
    EXPECT_EQ(r.AdditionalSenseCode, 0x29u);
    r = Run(Request(ZAR_DISK_OP_TEST_UNIT_READY));
    EXPECT_EQ(r.ScsiStatus, 0u);

    // A sequential read is not range-checked: the drive refuses the end.
    ZAR_DISK_REQUEST q = Request(ZAR_DISK_OP_READ_SEQ, 0, 2046, 4);
    q.AccessMode = ZAR_DISK_ACCESS_1;
    q.EndBlock = 2050;
    r = Run(q);
    EXPECT_EQ(r.ScsiStatus, 2u);
    EXPECT_EQ(r.SenseKey, 5u);
    EXPECT_EQ(r.AdditionalSenseCode, 0x21u);

    // REQUEST SENSE asked for by the caller reports the drive's sense, and
    // INQUIRY leaves its reply in SDRAM.
    r = Run(Request(ZAR_DISK_OP_REQUEST_SENSE));
    EXPECT_EQ(r.ScsiStatus, 0u);
    EXPECT_EQ(r.SenseResponseCode, 0x70u);
    EXPECT_EQ(r.SenseKey, 0u);
    r = Run(Request(ZAR_DISK_OP_INQUIRY));
    EXPECT_EQ(r.ScsiStatus, 0u);
    EXPECT_EQ(r.ReplyInSdram, 1u);
    EXPECT_EQ(std::memcmp(TheBoard().Memory().Raw() + ZAR_DISK_STAGING_SDRAM_ADDRESS + 8, "ACME", 4), 0);
}

TEST_F(ZarkdScsiFaults, EveryInjectedFaultEndsAsAFailedStatusAndTheBusRecovers)
{
    std::vector<UCHAR> data = RandomBytes(8 * kBlock, 99);
    WriteImageBlocks(0, 100, data);
    struct Row {
        const char* name;
        void (*inject)(sim::DriveFaults&);
        ULONG status, key, asc;
    } rows[] = {
        {"drive stops answering", [](sim::DriveFaults& f) { f.stopsAnswering = true; }, 0xFF, 0, 0},
        {"selection time-out", [](sim::DriveFaults& f) { f.selectionTimeouts = 1; }, 0xFF, 0, 0},
        {"hung data phase", [](sim::DriveFaults& f) { f.hungDataPhases = 1; }, 0xFF, 0, 0},
        {"medium error", [](sim::DriveFaults& f) { f.badBlock = 103; }, 2, 3, 0x11},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        row.inject(Disk(0)->Faults());
        std::vector<UCHAR> in(data.size());
        uint64_t start = nt::ClockNow();
        ZAR_DISK_REQUEST r = Run(Request(ZAR_DISK_OP_READ, 0, 100, 8), in.data(), ULONG(in.size()));
        // At most the data phase's 3 s, then the bus reset's 3 s settle.
        EXPECT_LT(Seconds(nt::ClockNow() - start), 7.0);
        EXPECT_EQ(r.ScsiStatus, row.status);
        EXPECT_EQ(r.SenseKey, row.key);
        EXPECT_EQ(r.AdditionalSenseCode, row.asc);

        Disk(0)->Faults() = sim::DriveFaults{};
        r = Run(Request(ZAR_DISK_OP_READ, 0, 100, 8), in.data(), ULONG(in.size()));
        EXPECT_EQ(r.ScsiStatus, 0u);
        EXPECT_EQ(in, data);
    }
}

// ---- recovery from a target left holding the bus ----

// Two drives scanned and ready; drive 3 is the one a fault hits.
class ZarkdScsiRecovery : public ZarkdScsiMachine {
protected:
    std::vector<sim::DriveConfig> Drives() override { return {Drive(0, 2048), Drive(3, 2048)}; }

    void SetUp() override
    {
        ZarkdScsiMachine::SetUp();
        if (HasFatalFailure()) return;
        Scan();
        ASSERT_EQ(Device(0).State, ZAR_SCSI_DEVICE_READY);
        ASSERT_EQ(Device(3).State, ZAR_SCSI_DEVICE_READY);
        for (int id : {0, 3}) WriteImageBlocks(id, 40, RandomBytes(4 * kBlock, uint32_t(id)));
    }

    // A read and a write of blocks 40-43 on a drive: their status bytes, and
    // whether the read brought the image's blocks.
    void ExpectDriveWorks(int id)
    {
        SCOPED_TRACE(id);
        std::vector<UCHAR> in(4 * kBlock);
        ZAR_DISK_REQUEST r = Run(Request(ZAR_DISK_OP_READ, id, 40, 4), in.data(), ULONG(in.size()));
        EXPECT_EQ(r.ScsiStatus, 0u) << "sense key " << r.SenseKey;
        EXPECT_EQ(in, ImageBlocks(id, 40, 4));
        std::vector<UCHAR> out = RandomBytes(4 * kBlock, uint32_t(100 + id));
        EXPECT_EQ(Run(Request(ZAR_DISK_OP_WRITE, id, 44, 4), out.data(), ULONG(out.size())).ScsiStatus, 0u);
        EXPECT_EQ(ImageBlocks(id, 44, 4), out);
    }
};

// Each fault leaves drive 3 on the bus, where the controller's own reset
// does not free it. After the failed command the bus is reset; both drives
// agree their transfers again and neither shows the attention of a reset
// the caller never asked for.
TEST_F(ZarkdScsiRecovery, AFailedCommandThatLeavesTheTargetOnTheBusEndsInABusResetBothDrivesSurvive)
{
    struct Row {
        const char* name;
        void (*inject)(sim::DriveFaults&);
        ULONG operation;
    } rows[] = {
        {"hung data phase, read", [](sim::DriveFaults& f) { f.hungDataPhases = 1; }, ZAR_DISK_OP_READ},
        {"hung data phase, write", [](sim::DriveFaults& f) { f.hungDataPhases = 1; }, ZAR_DISK_OP_WRITE},
        {"status phase never comes, read", [](sim::DriveFaults& f) { f.endlessDataPhases = 1; }, ZAR_DISK_OP_READ},
        {"status phase never comes, write", [](sim::DriveFaults& f) { f.endlessDataPhases = 1; },
         ZAR_DISK_OP_WRITE},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        row.inject(Disk(3)->Faults());
        std::vector<UCHAR> buffer(4 * kBlock);
        ZAR_DISK_REQUEST r = Run(Request(row.operation, 3, 40, 4), buffer.data(), ULONG(buffer.size()));
        EXPECT_EQ(r.ScsiStatus, ZAR_SCSI_STATUS_NOT_REACHED);
        EXPECT_EQ(TheBoard().Scsi().ConnectedId(), -1) << "the bus is free";
        for (int id : {0, 3}) {
            SCOPED_TRACE(id);
            EXPECT_FALSE(Disk(id)->UnitAttentionPending());
            EXPECT_EQ(Device(id).NegotiationPending, 0u);
            EXPECT_EQ(Device(id).NegotiatedWide, 1u);
            EXPECT_TRUE(Disk(id)->NegotiatedWide());
        }
        ExpectDriveWorks(3);
        ExpectDriveWorks(0);
    }
}

TEST_F(ZarkdScsiRecovery, ATargetRejectingTheWidthMessageFailsAloneAndTheOtherDriveGoesOn)
{
    // The agreement is made at the first selection after a reset.
    Run(Request(ZAR_DISK_OP_BUS_RESET));
    Disk(3)->Faults().rejectsWidth = true;
    std::vector<UCHAR> in(4 * kBlock);
    // The probe after the first reset fails again on the same target: it
    // keeps its attention, the other drive does not.
    ZAR_DISK_REQUEST r = Run(Request(ZAR_DISK_OP_READ, 3, 40, 4), in.data(), ULONG(in.size()));
    EXPECT_EQ(r.ScsiStatus, ZAR_SCSI_STATUS_NOT_REACHED);
    EXPECT_EQ(TheBoard().Scsi().ConnectedId(), -1);
    EXPECT_EQ(Device(3).NegotiationPending, 1u);
    EXPECT_FALSE(Disk(0)->UnitAttentionPending());
    ExpectDriveWorks(0);
    EXPECT_EQ(Run(Request(ZAR_DISK_OP_TEST_UNIT_READY, 3)).ScsiStatus, ZAR_SCSI_STATUS_NOT_REACHED);

    // Once the drive takes the message, it negotiates and reports the
    // attention of the resets its own failures caused, once.
    Disk(3)->Faults().rejectsWidth = false;
    r = Run(Request(ZAR_DISK_OP_TEST_UNIT_READY, 3));
    EXPECT_EQ(r.ScsiStatus, 2u);
    EXPECT_EQ(r.SenseKey, 6u);
    EXPECT_EQ(Device(3).NegotiationPending, 0u);
    ExpectDriveWorks(3);
    ExpectDriveWorks(0);
}

}  // namespace
