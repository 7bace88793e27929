// ZARKD's video chips on a simulated board: what the bridge holds after its
// initialisation, the encoders' images per line standard, the encoder
// register edit and the decoder's input selection, read back from the
// simulated chips.

#include <gtest/gtest.h>

#include <array>

#include "tests/drivers/board/zarkd_ioctl_machine.h"

namespace {

constexpr uint64_t kI2cSettle = 5000000;  // ns

class ZarkdVideoChips : public ZarkdIoctlMachine {
protected:

    std::array<uint8_t, 256> EncoderRegisters(int encoder)
    {
        std::array<uint8_t, 256> regs{};
        for (int r = 0; r < 256; ++r) regs[r] = Board().Encoder(encoder).Register(uint8_t(r));
        return regs;
    }
};

TEST_F(ZarkdVideoChips, BridgeInitialisationLeavesTheBridgeSetUp)
{
    const struct {
        const char* name;
        ULONG tweakV, tweakA;
        ULONG burstV, burstA;
    } cases[] = {
        {"registry unset", ZAR_REG_UNSET, ZAR_REG_UNSET, 0x100C0C10, 0x13111311},
        {"registry values", 0x04080808, 0x0A0B0C0D, 0x04080808, 0x0A0B0C0D},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ext_->DmaTweakV = c.tweakV;
        ext_->DmaTweakA = c.tweakA;
        ASSERT_EQ(Send(IOCTL_ZAR_SAA7146_INIT, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);

        sim::Saa7146& bridge = Board().Bridge();
        const struct {
            ULONG offset;
            ULONG value;
        } expected[] = {
            {0x48, c.burstV},
            {0x4C, c.burstA},
            {0x14, ((243u + 2) << 16) | 720},
            {0x58, 0xE0000504},
            {0x6C, 0x8040007B},  // unity horizontal scale, 525-line start
            {0x70, 0x80400040},  // neutral scaler proc amp
            {0x78, 0x81000000},
            {0xF4, 0x1FC04CC0},
            {0xF8, 0x108C0000},
            {0xE4, 0x00010101},
            {0xE8, 0x00010101},
            {0xEC, 0xFFFFFFFF},
            {0xF0, 0xFFFFFFFF},
            {0x104, ext_->BridgePage[0].LogicalAddress.LowPart},
            {0x108, ext_->BridgePage[1].LogicalAddress.LowPart},
        };
        for (const auto& e : expected) EXPECT_EQ(bridge.Active(e.offset), e.value) << std::hex << "0x" << e.offset;
        // Only the I2C engine's sources, which the decoder set-up after it turned on.
        EXPECT_EQ(bridge.Ier() & ~ZAR_INT_I2C, 0u);
        EXPECT_EQ(ext_->InterruptEnable, bridge.Ier());

        // Each bridge program ends with its own bus address.
        const ULONG programs[2][5] = {
            {0x100, 0x20000100, 0x60000000, 0x80000000, ext_->BridgePage[0].LogicalAddress.LowPart},
            {0x4, 0x20000004, 0x40000004, 0x80000000, ext_->BridgePage[1].LogicalAddress.LowPart},
        };
        for (int p = 0; p < 2; ++p) {
            auto* words = static_cast<const ULONG*>(ext_->BridgePage[p].VirtualAddress);
            for (int i = 0; i < 5; ++i) EXPECT_EQ(words[i], programs[p][i]) << "program " << p << " word " << i;
        }
    }
}

TEST_F(ZarkdVideoChips, EncoderImagesFollowTheLineStandard)
{
    const struct {
        ULONG standard;
        uint8_t subcarrier[4];
        uint8_t chromaPhase;  // input not declared locked
        uint8_t r61;          // encoder 0 with its set-up flag
    } cases[] = {
        {525, {0x1F, 0x7C, 0xF0, 0x21}, 0x74, 0x35},
        {625, {0xCB, 0x8A, 0x09, 0x2A}, 0x80, 0x26},
    };
    const ULONG parameters[ZAR_SAA7125_PARAMETER_WORDS] = {1, 0, 1};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.standard);
        ext_->Standard = c.standard;
        for (ULONG e = 0; e < 2; ++e) {
            SCOPED_TRACE(e);
            ASSERT_EQ(ZarSaa7125Init(ext_, e, parameters), STATUS_SUCCESS);
            sim::VideoEncoder& encoder = Board().Encoder(int(e));
            for (int i = 0; i < 4; ++i) EXPECT_EQ(encoder.Register(uint8_t(0x63 + i)), c.subcarrier[i]);
            EXPECT_EQ(encoder.Register(0x5A), c.chromaPhase);
        }
        EXPECT_EQ(Board().Encoder(0).Register(0x61), c.r61);
    }
}

TEST_F(ZarkdVideoChips, EncoderOneWithItsOutputOffIsBlanked)
{
    ext_->Standard = 525;
    const ULONG parameters[ZAR_SAA7125_PARAMETER_WORDS] = {0, 1, 0};
    ASSERT_EQ(ZarSaa7125Init(ext_, 1, parameters), STATUS_SUCCESS);
    sim::VideoEncoder& encoder = Board().Encoder(1);
    EXPECT_EQ(encoder.Register(0x5B), 0x00);
    EXPECT_EQ(encoder.Register(0x5C), 0x00);
    EXPECT_EQ(encoder.Register(0x5D) & 0x80, 0x00);
    EXPECT_EQ(encoder.Register(0x62) & 0x7F, 0x00);
    EXPECT_EQ(encoder.Register(0x3A), 0x0B);  // 0x2B without bit 5
}

TEST_F(ZarkdVideoChips, EncoderRegisterEdit)
{
    const ULONG parameters[ZAR_SAA7125_PARAMETER_WORDS] = {0, 0, 1};
    ASSERT_EQ(ZarSaa7125Init(ext_, 0, parameters), STATUS_SUCCESS);
    ASSERT_EQ(ZarSaa7125Init(ext_, 1, parameters), STATUS_SUCCESS);

    const struct {
        const char* name;
        ZAR_SAA7125_REGISTER_EDIT edit;
        NTSTATUS status;
        int encoder;      // the chip that changes, -1 none
        uint8_t reg;
        uint8_t value;
    } cases[] = {
        {"encoder 0", {0, 0x7C, 0x01, 0xFE}, STATUS_SUCCESS, 0, 0x7C, 0x40 | 0x01},
        {"any non-zero encoder is encoder 1", {7, 0x6E, 0x05, 0x00}, STATUS_SUCCESS, 1, 0x6E, 0x05},
        {"register outside the image", {0, 0x60, 0xFF, 0xFF}, STATUS_INVALID_DEVICE_REQUEST, -1, 0, 0},
        {"register outside the image, encoder 1", {1, 0x80, 0xFF, 0x00}, STATUS_INVALID_DEVICE_REQUEST, -1, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto before0 = EncoderRegisters(0), before1 = EncoderRegisters(1);
        ZAR_SAA7125_REGISTER_EDIT edit = c.edit, out{};
        EXPECT_EQ(Send(IOCTL_ZAR_SAA7125_REGISTER_WRITE, &edit, sizeof(edit), &out, sizeof(out)).status, c.status);
        auto after0 = EncoderRegisters(0), after1 = EncoderRegisters(1);
        if (c.encoder == 0) before0[c.reg] = c.value;
        if (c.encoder == 1) before1[c.reg] = c.value;
        EXPECT_EQ(after0, before0);
        EXPECT_EQ(after1, before1);
    }
}

TEST_F(ZarkdVideoChips, DecoderInputSelection)
{
    ext_->Standard = 525;
    ASSERT_EQ(ZarSaa7113Init(ext_), STATUS_SUCCESS);
    const struct {
        ULONG source;
        NTSTATUS status;
        uint8_t r02, r08, r09, r13;
    } cases[] = {
        {2, STATUS_SUCCESS, 0xC2, 0x61, 0x80, 0x02},  // S-video: 0x13 bit 1, 0x08 bits 3-4 clear
        {1, STATUS_SUCCESS, 0xC9, 0x69, 0x80, 0x01},
        {0, STATUS_SUCCESS, 0xC0, 0x69, 0x00, 0x01},
        {2, STATUS_SUCCESS, 0xC2, 0x61, 0x80, 0x02},
        {7, STATUS_SUCCESS, 0xC0, 0x69, 0x00, 0x01},  // digital I/O: the composite set-up
        {9, STATUS_UNSUCCESSFUL, 0xC0, 0x69, 0x00, 0x01},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        ZAR_VIN_MODE mode{c.source, 0, 0, 0, 0};
        EXPECT_EQ(Send(IOCTL_ZAR_SAA7113_SET_INPUT, &mode, sizeof(mode), nullptr, 0).status, c.status);
        sim::VideoDecoder& decoder = Board().Decoder();
        EXPECT_EQ(decoder.Register(0x02), c.r02);
        EXPECT_EQ(decoder.Register(0x08), c.r08);
        EXPECT_EQ(decoder.Register(0x09), c.r09);
        EXPECT_EQ(decoder.Register(0x13), c.r13);
        EXPECT_EQ(decoder.Register(0x10), 0x00);
    }
}

// A selection the decoder did not take is not remembered as made: selecting
// the same source again "only if changed" still writes it.
TEST_F(ZarkdVideoChips, FailedInputSelectionIsWrittenAgain)
{
    ext_->Standard = 525;
    ASSERT_EQ(ZarSaa7113Init(ext_), STATUS_SUCCESS);
    Board().I2c().Connect(0x4A, nullptr);
    EXPECT_FALSE(NT_SUCCESS(ZarSaa7113SetInput(ext_, 2, FALSE)));
    Board().I2c().Connect(0x4A, &Board().Decoder());
    EXPECT_EQ(Board().Decoder().Register(0x13), 0x01);

    EXPECT_EQ(ZarSaa7113SetInput(ext_, 2, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(Board().Decoder().Register(0x13), 0x02);
    EXPECT_EQ(Board().Decoder().Register(0x08), 0x61);
}

TEST_F(ZarkdVideoChips, DecoderInitialisationWritesTheImageForTheStandard)
{
    const struct {
        ULONG standard;
        uint8_t r08, r40, r5a;
        USHORT control;  // board register 0xB820, bits 0-2
    } cases[] = {
        {525, 0x69, 0x82, 0x0A, 0x3},
        {625, 0x29, 0x02, 0x07, 0x2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.standard);
        ext_->Standard = c.standard;
        ASSERT_EQ(ZarSaa7113Init(ext_), STATUS_SUCCESS);
        sim::VideoDecoder& decoder = Board().Decoder();
        EXPECT_EQ(decoder.Register(0x08), c.r08);
        EXPECT_EQ(decoder.Register(0x40), c.r40);
        EXPECT_EQ(decoder.Register(0x5A), c.r5a);
        EXPECT_EQ(decoder.Register(0x12), 0xA7);
        EXPECT_EQ(decoder.Register(0x57), 0xFF);
        EXPECT_EQ(decoder.Register(0x5B), 0x83);
        EXPECT_EQ(Board().Regs().Read(0xB820) & 0x7, c.control);
        EXPECT_TRUE(ext_->Vin.DecoderPresent);
    }
}

TEST_F(ZarkdVideoChips, DecoderRealTimeControlResetLeavesTheImage)
{
    ASSERT_EQ(ZarSaa7113Init(ext_), STATUS_SUCCESS);
    ASSERT_EQ(Send(IOCTL_ZAR_SAA7113_RESET_RTC, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
    nt::ClockRunFor(kI2cSettle);  // the write does not wait for the bus
    EXPECT_EQ(Board().Decoder().Register(0x0E), 0x81);
    EXPECT_EQ(*ZarSaa7113ImageByte(ext_, 0x0E), 0x01);
}

}  // namespace
