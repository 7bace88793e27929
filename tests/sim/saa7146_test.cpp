// The bridge function: configuration space, interrupt status/enable and the
// line, main-control write masks and uploads.
#include "sim/saa7146.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/fake_host.h"

using namespace sim;
using namespace sim::saa7146;

namespace {

uint32_t Cfg32(Saa7146& b, uint32_t at)
{
    uint32_t v = 0;
    b.ConfigRead(at, &v, 4);
    return v;
}
void SetCfg32(Saa7146& b, uint32_t at, uint32_t v) { b.ConfigWrite(at, &v, 4); }

struct BridgeFixture : ::testing::Test {
    simtest::FakeHost host;
    Saa7146 bridge;
    void SetUp() override
    {
        bridge.Attach(&host);
        bridge.Reset();
    }
    uint32_t Read(uint32_t off) { return bridge.MmioRead(0, off, 4); }
    void Write(uint32_t off, uint32_t v) { bridge.MmioWrite(0, off, v, 4); }
};

}  // namespace

TEST(Saa7146Config, IdentityAndBarSizing)
{
    Saa7146 b(BridgeIds{0x5A52, 0x0203, 0x02, 32});
    EXPECT_EQ(Cfg32(b, 0x00), 0x71461131u);
    EXPECT_EQ(Cfg32(b, 0x08), 0x04800002u);  // class 04 80 00, revision 2
    EXPECT_EQ(Cfg32(b, 0x2C), 0x02035A52u);
    uint8_t pin = 0, latency = 0;
    b.ConfigRead(0x3D, &pin, 1);
    b.ConfigRead(0x0D, &latency, 1);
    EXPECT_EQ(pin, 1);
    EXPECT_EQ(latency, 32);

    // Sizing the PCI way: all ones reads back the size mask of 512 bytes.
    SetCfg32(b, 0x10, 0xFFFFFFFF);
    EXPECT_EQ(Cfg32(b, 0x10), 0xFFFFFE00u);
    EXPECT_EQ(~(Cfg32(b, 0x10) & ~0xFu) + 1, 512u);
    // The other BARs are not implemented.
    for (uint32_t bar = 0x14; bar <= 0x24; bar += 4) {
        SetCfg32(b, bar, 0xFFFFFFFF);
        EXPECT_EQ(Cfg32(b, bar), 0u) << std::hex << bar;
    }
    SetCfg32(b, 0x10, 0xFEBFF1FF);
    EXPECT_EQ(Cfg32(b, 0x10), 0xFEBFF000u);
}

TEST(Saa7146Config, WriteMasksKeepReadOnlyFields)
{
    Saa7146 b;
    uint8_t before[256];
    b.ConfigRead(0, before, 256);

    // The driver writes its whole 256-byte copy back after changing the
    // latency timer; a copy full of junk may only change the writable fields.
    uint8_t junk[256];
    std::memset(junk, 0xA5, sizeof junk);
    b.ConfigWrite(0, junk, 256);
    uint8_t after[256];
    b.ConfigRead(0, after, 256);

    struct Field {
        uint32_t at;
        bool writable;
    } fields[] = {
        {0x00, false}, {0x01, false}, {0x02, false}, {0x03, false},  // ids
        {0x08, false}, {0x09, false}, {0x0A, false}, {0x0B, false},  // revision, class
        {0x0C, true},  {0x0D, true},                                 // cache line, latency
        {0x0E, false},                                               // header type
        {0x2C, false}, {0x2D, false}, {0x2E, false}, {0x2F, false},  // subsystem ids
        {0x3C, true},  {0x3D, false},                                // line, pin
        {0x40, false}, {0xFF, false},
    };
    for (const Field& f : fields) {
        if (f.writable) EXPECT_EQ(after[f.at], 0xA5) << std::hex << f.at;
        else EXPECT_EQ(after[f.at], before[f.at]) << std::hex << f.at;
    }
    // Command register: only memory, bus master, parity and SERR change.
    uint16_t commandBefore = uint16_t(before[4] | before[5] << 8);
    uint16_t command = uint16_t(after[4] | after[5] << 8);
    EXPECT_EQ(command, (commandBefore & ~0x0146) | (0xA5A5 & 0x0146));
}

TEST(Saa7146Config, SubsystemIdsSettableAndSurviveReset)
{
    Saa7146 b;
    b.SetSubsystemIds(0x1131, 0x0000);
    b.Reset();
    EXPECT_EQ(Cfg32(b, 0x2C), 0x00001131u);
}

TEST_F(BridgeFixture, StatusLatchesWhateverIerSaysAndLineIsIsrAndIer)
{
    bridge.RaiseStatus(kIrqField);
    EXPECT_EQ(Read(kIsr), kIrqField);
    EXPECT_FALSE(bridge.InterruptLine());
    EXPECT_TRUE(host.changes.empty());

    Write(kIer, kIrqField | kIrqDebiDone);
    EXPECT_TRUE(host.Line(&bridge));

    bridge.RaiseStatus(kIrqDebiDone);   // second enabled source: line already up
    Write(kIsr, kIrqField);             // clear one: the other keeps the line
    EXPECT_TRUE(host.Line(&bridge));
    EXPECT_EQ(Read(kIsr), kIrqDebiDone);

    Write(kIsr, kIrqI2cDone);           // clearing a bit that is not set changes nothing
    EXPECT_EQ(Read(kIsr), kIrqDebiDone);

    Write(kIsr, 0xFFFFFFFF);
    EXPECT_EQ(Read(kIsr), 0u);
    EXPECT_FALSE(host.Line(&bridge));

    // A pending bit whose enable goes away drops the line, and comes back with it.
    bridge.RaiseStatus(kIrqField);
    Write(kIer, 0);
    EXPECT_FALSE(host.Line(&bridge));
    EXPECT_EQ(Read(kIsr), kIrqField);
    Write(kIer, kIrqField);
    EXPECT_TRUE(host.Line(&bridge));

    // The host heard each level change once, no repeats.
    ASSERT_EQ(host.changes.size(), 5u);
    bool expected[] = {true, false, true, false, true};
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(host.changes[i].asserted, expected[i]) << i;
}

TEST_F(BridgeFixture, ByteWriteToIsrClearsOnlyItsBits)
{
    bridge.RaiseStatus(kIrqField | kIrqSharedLine | kIrqI2cDone);
    bridge.MmioWrite(0, kIsr + 1, 0x01, 1);  // bit 8
    EXPECT_EQ(Read(kIsr), kIrqSharedLine | kIrqI2cDone);
    EXPECT_EQ(bridge.MmioRead(0, kIsr + 2, 2), kIrqI2cDone >> 16);
}

TEST_F(BridgeFixture, MainControlWriteMasks)
{
    struct Case {
        uint32_t reg, before, write, after;
    } cases[] = {
        {kMc1, 0x0000, 0x00010001, 0x0001},  // set bit 0
        {kMc1, 0x0001, 0x00010000, 0x0000},  // clear bit 0
        {kMc1, 0x0F00, 0x00000001, 0x0F00},  // no mask bits: nothing changes
        {kMc1, 0x0F00, 0x0C000000, 0x0300},  // clear two, keep two
        {kMc1, 0x8000, 0x04000400, 0x8400},  // unrelated bits stay
        {kMc2, 0x0000, 0x08000800, 0x0800},  // plain bit of MC2
        {kMc2, 0x0800, 0x08000000, 0x0000},
    };
    for (const Case& c : cases) {
        bridge.Reset();
        Write(c.reg, 0xFFFF0000 | c.before);
        EXPECT_EQ(Read(c.reg), c.before);
        Write(c.reg, c.write);
        EXPECT_EQ(Read(c.reg), c.after) << std::hex << c.reg << " write " << c.write;
    }
}

TEST_F(BridgeFixture, UploadMakesShadowRegistersActive)
{
    int debiUploads = 0, i2cUploads = 0;
    bridge.OnUpload(kUploadDebi, [&] { ++debiUploads; });
    bridge.OnUpload(kUploadI2c, [&] { ++i2cUploads; });

    Write(kDebiCommand, 0x0004B840);
    Write(kDebiAd, 0x0012);
    Write(kI2cTransfer, 0x12345678);
    EXPECT_EQ(Read(kDebiCommand), 0u) << "a shadowed register is not active before its upload";
    EXPECT_EQ(bridge.Written(kDebiCommand), 0x0004B840u);

    Write(kMc2, 0x00000002);  // strobe without its mask bit: no upload
    EXPECT_EQ(debiUploads, 0);

    Write(kMc2, 0x00020002);
    EXPECT_EQ(debiUploads, 1);
    EXPECT_EQ(Read(kDebiCommand), 0x0004B840u);
    EXPECT_EQ(Read(kDebiAd), 0x12u);
    EXPECT_EQ(Read(kI2cTransfer), 0u) << "the DEBI upload leaves the I2C group alone";
    EXPECT_EQ(Read(kMc2) & kUploadStrobes, 0u) << "upload strobes read back 0";

    Write(kMc2, 0x00010001);
    EXPECT_EQ(i2cUploads, 1);
    EXPECT_EQ(Read(kI2cTransfer), 0x12345678u);

    // The bridge set-up's combined word uploads several groups at once.
    Write(0x5C, 0x11);
    Write(0x6C, 0x22);
    Write(kMc2, 0x00600060);
    EXPECT_EQ(Read(0x5C), 0x11u);
    EXPECT_EQ(Read(0x6C), 0x22u);

    // Plain registers are active at once.
    Write(kAudioPlayAddress, 0x00401000);
    EXPECT_EQ(Read(kAudioPlayAddress), 0x00401000u);
}

TEST_F(BridgeFixture, MasterResetClearsRegistersButKeepsStatusInputs)
{
    bridge.SetFieldParity(1);
    bridge.SetSharedLine(true);
    bridge.SetFpgasConfigured(true);
    Write(kIer, kIrqField);
    bridge.RaiseStatus(kIrqField);
    Write(kDebiCommand, 0x1234);
    ASSERT_TRUE(host.Line(&bridge));

    Write(kMc1, 0x80000000);  // the driver's reset pulse
    Write(kMc1, 0x80008000);
    EXPECT_EQ(Read(kIer), 0u);
    EXPECT_EQ(Read(kIsr), 0u);
    EXPECT_FALSE(host.Line(&bridge));
    EXPECT_EQ(bridge.Written(kDebiCommand), 0u);
    EXPECT_EQ(Read(kPsr) & (kPsrFieldParityInverted | kPsrSharedLineHigh | kPsrFpgasConfigured),
              kPsrFpgasConfigured) << "odd field, shared line low, FPGAs configured";
}

TEST_F(BridgeFixture, StatusRegistersAreReadOnly)
{
    uint32_t psr = Read(kPsr);
    Write(kPsr, ~psr);
    Write(kSsr, 0xFFFFFFFF);
    EXPECT_EQ(Read(kPsr), psr);
    EXPECT_EQ(Read(kSsr), 0u);
    bridge.SetSecondaryStatus(0x280, true);
    EXPECT_EQ(Read(kSsr), 0x280u);
}
