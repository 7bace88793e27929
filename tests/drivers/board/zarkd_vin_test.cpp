// ZARKD's video input on a simulated board, on the virtual clock: the
// monitor's lock hysteresis driven by the simulated decoder's input, the
// external-lock bit, the mode change and the video-input proc amp.

#include <gtest/gtest.h>

#include <vector>

#include "tests/drivers/board/zarkd_ioctl_machine.h"

namespace {

using sim::VideoInput;

class ZarkdVin : public ZarkdIoctlMachine {
protected:
    void SetUp() override
    {
        ZarkdIoctlMachine::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(ZarSaa7113Init(ext_), STATUS_SUCCESS);
        ZarSetIntMode(ext_, ZAR_INT_FIELD, TRUE);
    }


    // Runs the clock until the board has begun 'fields' more fields and
    // everything they caused has run.
    void RunFields(uint64_t fields)
    {
        uint64_t target = Board().Clock().FieldCount() + fields;
        while (Board().Clock().FieldCount() < target) nt::ClockRunFor(1000000);
        nt::ClockRunUntilIdle();
    }

    // One monitor sample per four fields, each with the decoder seeing 'input'.
    void Samples(VideoInput input, int count)
    {
        Board().Decoder().SetInput(input);
        for (int i = 0; i < count; ++i) RunFields(4);
    }

    NTSTATUS SetMode(ULONG source, ULONG suppression = 0, ULONG word2 = 0, ULONG word3 = 0)
    {
        ZAR_VIN_MODE mode{source, suppression, word2, word3, 0};
        return Send(IOCTL_ZAR_VIN_SET_MODE, &mode, sizeof(mode), &mode, sizeof(mode)).status;
    }

    bool ExternalLockedBit() { return (Board().Regs().Read(ZAR_REG_INPUT_CONTROL) & 0x2) != 0; }
};

TEST_F(ZarkdVin, FlickeringSourceNeverDeclaresLock)
{
    ext_->BoardReady = TRUE;
    for (int i = 0; i < 12; ++i) {
        Samples(VideoInput::Locked, 3);
        Samples(VideoInput::Absent, 1);
        ASSERT_FALSE(ext_->Vin.Locked) << "round " << i;
    }
}

TEST_F(ZarkdVin, LockNeedsFourSamplesAndSurvivesFifteenUnlocked)
{
    ext_->BoardReady = TRUE;
    Samples(VideoInput::Locked, 3);
    EXPECT_FALSE(ext_->Vin.Locked);
    Samples(VideoInput::Locked, 1);
    ASSERT_TRUE(ext_->Vin.Locked);
    EXPECT_TRUE(ZarEncoderRtcModeQuery(ext_));

    // A locked sample in between starts the count again.
    Samples(VideoInput::Absent, 10);
    Samples(VideoInput::Locked, 1);
    Samples(VideoInput::Absent, 15);
    EXPECT_TRUE(ext_->Vin.Locked);
    Samples(VideoInput::Absent, 1);
    EXPECT_FALSE(ext_->Vin.Locked);
    EXPECT_FALSE(ExternalLockedBit());
}

TEST_F(ZarkdVin, MonitorWaitsForTheBoard)
{
    const struct {
        const char* name;
        BOOLEAN ready, paused;
        bool declares;
    } cases[] = {
        {"board not started", FALSE, FALSE, false},
        {"paused for a download", TRUE, TRUE, false},
        {"running", TRUE, FALSE, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ext_->BoardReady = c.ready;
        ext_->VinMonitorPaused = c.paused;
        ext_->Vin.Locked = FALSE;
        ext_->Vin.LockCounter = 0;
        Samples(VideoInput::Locked, 4);
        EXPECT_EQ(ext_->Vin.Locked != FALSE, c.declares);
    }
}

TEST_F(ZarkdVin, LockBitSuppressionKeepsTheExternalLockBitClear)
{
    const struct {
        ULONG suppression;
        bool bitSet;
    } cases[] = {{0, true}, {1, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.suppression);
        ext_->BoardReady = FALSE;
        Board().Decoder().SetInput(VideoInput::Absent);
        ASSERT_EQ(SetMode(3), STATUS_SUCCESS);
        ASSERT_EQ(SetMode(0, c.suppression), STATUS_SUCCESS);
        EXPECT_FALSE(ext_->Vin.Locked);
        // Start from a clear bit, as a user-mode write can leave it.
        ULONG input = ext_->DebiShadow5474 & ~0x2u;
        ASSERT_EQ(Send(IOCTL_ZAR_SET_DEBI_REG_5474, &input, sizeof(input), &input, sizeof(input)).status,
                  STATUS_SUCCESS);
        ASSERT_FALSE(ExternalLockedBit());

        ext_->BoardReady = TRUE;
        Samples(VideoInput::Locked, 1);  // the change to an external source makes one sample enough
        EXPECT_TRUE(ext_->Vin.Locked);
        EXPECT_EQ(ExternalLockedBit(), c.bitSet);
    }
}

TEST_F(ZarkdVin, SameModeAgainChangesNothing)
{
    ASSERT_EQ(SetMode(1, 0, 1), STATUS_SUCCESS);
    EXPECT_EQ(ext_->Vin.Mode.Source, 1u);
    EXPECT_EQ(ext_->Vin.SavedSource, 1u);
    RunFields(1);

    // Sentinels the FPGA mode would overwrite.
    Board().Regs().Write(ZAR_REG_INPUT_CONTROL, 0x8000);
    Board().Regs().Write(ZAR_REG_VIDEO_CONTROL, 0x8000);
    ASSERT_EQ(SetMode(1, 0, 1, 77), STATUS_SUCCESS);
    RunFields(1);
    EXPECT_EQ(Board().Regs().Read(ZAR_REG_INPUT_CONTROL), 0x8000);
    EXPECT_EQ(Board().Regs().Read(ZAR_REG_VIDEO_CONTROL), 0x8000);
    EXPECT_EQ(ext_->Vin.Mode.Word3, 0u);

    // Word 2 alone is a change.
    ASSERT_EQ(SetMode(1, 0, 0), STATUS_SUCCESS);
    RunFields(1);
    EXPECT_NE(Board().Regs().Read(ZAR_REG_INPUT_CONTROL), 0x8000);
}

TEST_F(ZarkdVin, FpgaModeBySource)
{
    const struct {
        ULONG source, suppression, word2;
        ULONG inputBits;  // input control word bits 0-4
        ULONG videoBits;  // video control word bits 0-7
    } cases[] = {
        // In order: bits a source leaves alone keep the previous source's.
        {1, 0, 0, 0x07, 0x00},
        {2, 1, 0, 0x04, 0x14},  // input set-up 0: bit 4 follows source 2
        {3, 0, 0, 0x14, 0x03},
        {5, 1, 1, 0x06, 0x22},
        {6, 0, 0, 0x17, 0x42},
        {8, 0, 0, 0x07, 0x01},
        {100, 1, 0, 0x16, 0x82},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        ext_->Vin.InputSetup = 0;
        ASSERT_EQ(SetMode(c.source, c.suppression, c.word2), STATUS_SUCCESS);
        RunFields(1);
        EXPECT_EQ(Board().Regs().Read(ZAR_REG_INPUT_CONTROL) & 0x1F, c.inputBits);
        EXPECT_EQ(Board().Regs().Read(ZAR_REG_VIDEO_CONTROL) & 0xFF, c.videoBits);
    }
}

TEST_F(ZarkdVin, HorizontalPositionGoesToTheVideoControlWordAtOnce)
{
    ULONG step = 0xFD;  // only bits 0-2 count
    ASSERT_EQ(Send(IOCTL_ZAR_SET_VIN_H_POSITION, &step, sizeof(step), nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Board().Regs().Read(ZAR_REG_VIDEO_CONTROL) & 0xE00, 0x5u << 9);
}

// A source switch leaves its video control word for the next field; a
// position set before that field must survive the deferred write.
TEST_F(ZarkdVin, HorizontalPositionSurvivesAPendingSourceSwitch)
{
    RunFields(1);
    ZarVinSetInputMode(ext_, 3, 0);
    ULONG step = 6;
    ASSERT_EQ(Send(IOCTL_ZAR_SET_VIN_H_POSITION, &step, sizeof(step), nullptr, 0).status, STATUS_SUCCESS);
    RunFields(1);
    ULONG word = Board().Regs().Read(ZAR_REG_VIDEO_CONTROL);
    EXPECT_EQ(word & 0xE00, 0x6u << 9);
    EXPECT_EQ(word & 0x7, 0x3u);  // the switch's input path
}

TEST_F(ZarkdVin, ProcAmpArithmetic)
{
    const struct {
        const char* name;
        UCHAR request[4];  // contrast index, brightness, saturation, hue
        ULONG standards, blackAdjust;
        UCHAR decoder[4];  // brightness, contrast, saturation, hue
    } cases[] = {
        {"neutral", {128, 128, 128, 128}, 0, 10, {129, 72, 64, 0x00}},
        {"standards word shifts contrast and gain", {128, 128, 128, 128}, 1, 10, {137, 66, 64, 0x00}},
        {"low contrast floors at 0", {4, 128, 128, 128}, 1, 10, {16, 0, 64, 0x00}},
        {"brightness below 0", {0, 0, 255, 0}, 0, 10, {0, 0, 127, 0xC0}},
        {"brightness above 255", {255, 255, 0, 255}, 0, 10, {255, 127, 0, 0x3F}},
        {"black level", {64, 100, 2, 129}, 0, 30, {71, 40, 1, 0x00}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ext_->Vin.Standards = c.standards;
        ext_->BlackAdjust = c.blackAdjust;
        UCHAR decoder[4];
        ZarVinProcAmpDecoderValues(ext_, c.request, decoder);
        EXPECT_EQ(std::vector<UCHAR>(decoder, decoder + 4), std::vector<UCHAR>(c.decoder, c.decoder + 4));
    }
}

TEST_F(ZarkdVin, ProcAmpReachesTheDecoder)
{
    const struct {
        const char* name;
        bool fieldInterrupt;
    } cases[] = {{"at once", false}, {"at the next field", true}};
    UCHAR request[4] = {128, 128, 128, 128};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ZarSetIntMode(ext_, ZAR_INT_FIELD, c.fieldInterrupt);
        request[1] += 8;
        ASSERT_EQ(Send(IOCTL_ZAR_VIN_SET_PROC_AMP, request, sizeof(request), nullptr, 0).status, STATUS_SUCCESS);
        RunFields(1);  // the decoder writes do not wait for the bus
        UCHAR expected[4];
        ZarVinProcAmpDecoderValues(ext_, request, expected);
        sim::VideoDecoder& decoder = Board().Decoder();
        EXPECT_EQ(decoder.Register(0x0A), expected[0]);
        EXPECT_EQ(decoder.Register(0x0B), expected[1]);
        EXPECT_EQ(decoder.Register(0x0C), expected[2]);
        EXPECT_EQ(decoder.Register(0x0D), expected[3]);

        UCHAR got[4] = {};
        ASSERT_EQ(Send(IOCTL_ZAR_VIN_GET_PROC_AMP, nullptr, 0, got, sizeof(got)).status, STATUS_SUCCESS);
        EXPECT_EQ(std::vector<UCHAR>(got, got + 4), std::vector<UCHAR>(request, request + 4));
    }

    // A decoder re-initialisation puts its defaults back; the next proc amp
    // writes its values again even though they did not change.
    ZarSetIntMode(ext_, ZAR_INT_FIELD, FALSE);
    ASSERT_EQ(ZarSaa7113Init(ext_), STATUS_SUCCESS);
    ASSERT_EQ(Send(IOCTL_ZAR_VIN_SET_PROC_AMP, request, sizeof(request), nullptr, 0).status, STATUS_SUCCESS);
    RunFields(1);
    UCHAR expected[4];
    ZarVinProcAmpDecoderValues(ext_, request, expected);
    EXPECT_EQ(Board().Decoder().Register(0x0A), expected[0]);
    EXPECT_EQ(Board().Decoder().Register(0x0B), expected[1]);
}

TEST_F(ZarkdVin, StandardsWordIsZeroOnA625LineBoard)
{
    const struct {
        ULONG standard, word, kept;
    } cases[] = {{525, 1, 1}, {625, 1, 0}, {525, 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.standard);
        ext_->Standard = c.standard;
        ULONG word = c.word;
        ASSERT_EQ(Send(IOCTL_ZAR_VIN_SET_STANDARDS, &word, sizeof(word), &word, sizeof(word)).status, STATUS_SUCCESS);
        ULONG got = 99;
        ASSERT_EQ(Send(IOCTL_ZAR_VIN_GET_STANDARDS, &got, sizeof(got), &got, sizeof(got)).status, STATUS_SUCCESS);
        EXPECT_EQ(got, c.kept);
    }
}

}  // namespace
