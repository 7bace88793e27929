// ZARKD's board set-up after the FPGA load, on a machine with a simulated
// board: the registers and chips the post-load sequence leaves, the
// calibration EEPROM and DACs, genlock, the audio sample clock and the
// field wait, driven from user mode where a control code exists.

#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <vector>

#include "zarkd_ioctl_machine.h"

namespace {

class ZarkdBoardSetup : public ZarkdIoctlMachine {
protected:
    sim::Eeprom& Eeprom() { return Board().EepromUnit(); }
    uint16_t Reg(uint32_t address) { return Board().Regs().Peek(address); }

    void ConfigureFpgas()
    {
        ULONG io[4] = {0, 0, 0, 0};
        ASSERT_EQ(Send(IOCTL_ZAR_FLEX_DOWNLOAD, io, sizeof(io), io, sizeof(io)).status, STATUS_SUCCESS);
    }
    NTSTATUS PostInit() { return Send(IOCTL_ZAR_POST_FPGA_INIT, nullptr, 0, nullptr, 0).status; }
    // The mixer, graphics and video-preference units are not written
    // yet: the set-up does all the rest and the board runs, which the
    // file-system driver's start-up relies on.
    static constexpr NTSTATUS kSetUpStatus = STATUS_SUCCESS;
    void StartBoard()
    {
        ConfigureFpgas();
        ASSERT_EQ(PostInit(), kSetUpStatus);
    }
    // Keeps the video-input monitor from changing genlock and the board
    // control word behind a test that sets them itself.
    void StartBoardQuiet()
    {
        StartBoard();
        ext_->VinMonitorPaused = TRUE;
    }

    // Every value written to one board register while 'body' runs.
    template <typename Body>
    std::vector<uint16_t> WritesTo(uint32_t address, Body body)
    {
        std::vector<uint16_t> values;
        std::mutex lock;
        sim::Trace& trace = Board().Regs().GetTrace();
        trace.SetSink([&](const std::string& line) {
            unsigned a = 0, v = 0;
            if (std::sscanf(line.c_str(), "board-regs: write 0x%x := 0x%x", &a, &v) == 2 && a == address) {
                std::lock_guard guard(lock);
                values.push_back(uint16_t(v));
            }
        });
        trace.Enable(true);
        body();
        trace.Enable(false);
        trace.SetSink(nullptr);
        return values;
    }

    NTSTATUS SetCalibration(std::array<ULONG, 4> values)
    {
        return Send(IOCTL_ZAR_SET_CALIBRATION, values.data(), 16, nullptr, 0).status;
    }
    std::array<uint8_t, 4> EepromCalibration()
    {
        return {Eeprom().Byte(20), Eeprom().Byte(21), Eeprom().Byte(22), Eeprom().Byte(23)};
    }
    NTSTATUS SetGenlock(ZAR_GENLOCK genlock)
    {
        return Send(IOCTL_ZAR_SET_GENLOCK, &genlock, sizeof(genlock), nullptr, 0).status;
    }

    // Runs the clock until the board has begun 'fields' more fields.
    void RunFields(uint64_t fields)
    {
        uint64_t target = Board().Clock().FieldCount() + fields;
        while (Board().Clock().FieldCount() < target) nt::ClockRunFor(1000000);
        nt::ClockRunUntilIdle();
    }
};

// ---- the post-load sequence ----

TEST_F(ZarkdBoardSetup, PostFpgaInitLeavesEveryUnitInItsKnownState)
{
    const std::array<uint8_t, 4> stored = {100, 150, 90, 200};
    for (ULONG i = 0; i < 4; ++i) Eeprom().SetByte(uint8_t(20 + i), stored[i]);
    ConfigureFpgas();
    std::vector<uint16_t> dacs = WritesTo(0xB804, [&] { ASSERT_EQ(PostInit(), kSetUpStatus); });

    EXPECT_TRUE(ext_->BoardReady);
    EXPECT_FALSE(ext_->VinMonitorPaused);
    EXPECT_TRUE(ext_->Setup.AudioReady);
    EXPECT_EQ(ext_->Setup.AudioOwner, 1u);  // the library asked

    // The probe leaves bit 7 clear on a board whose status bit 15 stays clear;
    // the decoder set-up leaves bits 0-2 for 525 lines.
    EXPECT_EQ(Reg(0xB820), ext_->Setup.AudioControl);
    EXPECT_EQ(Reg(0xB820) & 0x80, 0);
    EXPECT_EQ(Reg(0xB820) & 0x7, 0x3);
    // Video-input control: 525 lines, bits 1 and 2, no 24 fps timing.
    EXPECT_EQ(Reg(0x5C00) & 0x2F, 0x07);
    // M2 routing {1, 1, 0, 1, 0}; genlock position 32, genlock off.
    EXPECT_EQ(Reg(0x5478), 0x45);
    EXPECT_EQ(Reg(0xB848), 0x20);
    // Audio clock: standard 1, free-running.
    EXPECT_EQ(Reg(0x8E04), 28224);
    EXPECT_EQ(Reg(0x8E08), 26260);
    EXPECT_EQ(Reg(0x8C20), 0x10);
    EXPECT_EQ(Reg(0x8C04), 0xFF);
    // The DSPs' interrupt, which their initialisation enables, and the
    // time-code chip's source, which its reset unmasks.
    EXPECT_EQ(Reg(0xB840), ZAR_SHARED_DSP | ZAR_TC_SHARED_SOURCE);
    EXPECT_EQ(Reg(0x5498) & 1, 0);
    EXPECT_EQ(ext_->InterruptEnable & (ZAR_INT_FIELD | ZAR_INT_SHARED_LINE), ZAR_INT_FIELD | ZAR_INT_SHARED_LINE);
    EXPECT_EQ(ext_->Setup.LevelTable[0], 0);
    EXPECT_EQ(ext_->Setup.LevelTable[254], 127);
    EXPECT_EQ(ext_->Setup.LevelTable[255], 128);

    // The EEPROM's calibration reaches the block and the DACs (neutral
    // proc amp: DACs 0 and 1 take the values as they are).
    for (ULONG i = 0; i < 4; ++i) EXPECT_EQ(ext_->Calibration.Value[i], stored[i]) << i;
    ASSERT_GE(dacs.size(), 4u);
    std::vector<uint16_t> last(dacs.end() - 4, dacs.end());
    EXPECT_EQ(last, (std::vector<uint16_t>{0x064, 0x196, 0x25A, 0x3C8}));

    // Both encoders: chroma phase 116 (no override at 525 lines), real-time
    // control off while the input is not declared locked.
    for (int e = 0; e < 2; ++e) {
        EXPECT_EQ(Board().Encoder(e).Register(0x5A), 116) << e;
        EXPECT_EQ(Board().Encoder(e).Register(0x62) & 0x80, 0) << e;
    }
}

TEST_F(ZarkdBoardSetup, DveStandardRegistersAreWrittenOnlyWithTheModule)
{
    const struct {
        bool dve;
        uint16_t expected;
    } cases[] = {{false, 0}, {true, 1}};
    StartBoard();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dve);
        Board().Regs().Write(0xDC08, 0);
        Board().Regs().Write(0xC808, 0);
        ext_->DvePresent = c.dve;
        ASSERT_EQ(PostInit(), kSetUpStatus);
        EXPECT_EQ(Reg(0xDC08), c.expected);
        EXPECT_EQ(Reg(0xC808), c.expected);
    }
}

// ---- calibration EEPROM ----

TEST_F(ZarkdBoardSetup, RejectedEepromIsNeverWrittenAndGivesNeutralCalibration)
{
    const struct {
        const char* name;
        uint8_t high, low;
    } cases[] = {
        {"erased", 0xFF, 0xFF},
        {"old id bytes", 0x11, 0xE8},
        {"id bytes swapped", 0x52, 0x5A},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Eeprom().SetByte(2, c.high);
        Eeprom().SetByte(3, c.low);
        for (ULONG i = 0; i < 4; ++i) Eeprom().SetByte(uint8_t(20 + i), 40);
        EXPECT_FALSE(ZarDcIsValidEeprom(ext_));

        ASSERT_EQ(PostInit(), kSetUpStatus);
        for (ULONG v : ext_->Calibration.Value) EXPECT_EQ(v, 128u);

        uint64_t cycles = Eeprom().WriteCycles();
        EXPECT_EQ(SetCalibration({1, 2, 3, 4}), STATUS_SUCCESS);
        EXPECT_EQ(Eeprom().WriteCycles(), cycles);
        EXPECT_EQ(EepromCalibration(), (std::array<uint8_t, 4>{40, 40, 40, 40}));
        // The DACs still take the session's values.
        EXPECT_EQ(ext_->Calibration.Value[3], 4u);
        EXPECT_EQ(Reg(0xB804), 0x304);
    }
}

TEST_F(ZarkdBoardSetup, CalibrationWritesOnlyTheBytesThatChange)
{
    StartBoard();
    ASSERT_TRUE(ZarDcIsValidEeprom(ext_));
    const struct {
        std::array<ULONG, 4> values;
        uint64_t writes;
    } cases[] = {
        {{128, 128, 128, 128}, 0},  // the factory values
        {{128, 7, 128, 9}, 2},
        {{128, 7, 128, 9}, 0},
        {{0, 255, 128, 9}, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.values[1]);
        uint64_t cycles = Eeprom().WriteCycles();
        ASSERT_EQ(SetCalibration(c.values), STATUS_SUCCESS);
        EXPECT_EQ(Eeprom().WriteCycles() - cycles, c.writes);
        for (ULONG i = 0; i < 4; ++i) EXPECT_EQ(Eeprom().Byte(uint8_t(20 + i)), c.values[i]) << i;
        ZAR_CALIBRATION back{};
        ASSERT_EQ(Send(IOCTL_ZAR_GET_CALIBRATION, nullptr, 0, &back, sizeof(back)).status, STATUS_SUCCESS);
        for (ULONG i = 0; i < 4; ++i) EXPECT_EQ(back.Value[i], c.values[i]) << i;
    }

    // A value that does not fit a byte would be kept cut down: refused whole.
    uint64_t cycles = Eeprom().WriteCycles();
    EXPECT_EQ(SetCalibration({1, 256, 3, 4}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Eeprom().WriteCycles(), cycles);
    EXPECT_EQ(ext_->Calibration.Value[1], 255u);
}

TEST_F(ZarkdBoardSetup, CalibrationDacsCarryTheProcAmpOffsetWithinAByte)
{
    StartBoard();
    const struct {
        ULONG cal0, cal1;
        uint16_t dac0, dac1;
    } cases[] = {
        {0, 255, 0x000, 0x1FF},
        {17, 200, 0x011, 0x1C8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cal0);
        std::vector<uint16_t> dacs =
            WritesTo(0xB804, [&] { ASSERT_EQ(SetCalibration({c.cal0, c.cal1, 5, 6}), STATUS_SUCCESS); });
        EXPECT_EQ(dacs, (std::vector<uint16_t>{c.dac0, c.dac1, 0x205, 0x306}));
    }
}

// ---- genlock ----

TEST_F(ZarkdBoardSetup, GenlockOutOfRangeIsRefusedWithNoHardwareChange)
{
    StartBoard();
    ASSERT_EQ(SetGenlock({10, 200, 1, 0, 0}), STATUS_SUCCESS);
    EXPECT_EQ(Reg(0xB848) & 0x3F, 10);
    for (int e = 0; e < 2; ++e) EXPECT_EQ(Board().Encoder(e).Register(0x5A), 200) << e;

    const ZAR_GENLOCK refused[] = {{64, 0, 1, 0, 0}, {0, 256, 1, 0, 0}, {0xFFFFFFFF, 128, 0, 0, 0}};
    for (const ZAR_GENLOCK& g : refused) {
        SCOPED_TRACE(g.HorizontalPosition);
        EXPECT_EQ(SetGenlock(g), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(Reg(0xB848) & 0x3F, 10);
        for (int e = 0; e < 2; ++e) EXPECT_EQ(Board().Encoder(e).Register(0x5A), 200) << e;
        ZAR_GENLOCK back{};
        ASSERT_EQ(Send(IOCTL_ZAR_GET_GENLOCK, nullptr, 0, &back, sizeof(back)).status, STATUS_SUCCESS);
        EXPECT_EQ(back.HorizontalPosition, 10u);
        EXPECT_EQ(back.SubcarrierPhase, 200u);
    }

    // Without the override the encoders get the standard's own phase.
    ASSERT_EQ(SetGenlock({63, 200, 0, 0, 0}), STATUS_SUCCESS);
    EXPECT_EQ(Reg(0xB848) & 0x3F, 63);
    for (int e = 0; e < 2; ++e) EXPECT_EQ(Board().Encoder(e).Register(0x5A), 116) << e;
}

TEST_F(ZarkdBoardSetup, SettingTheGenlockRecordRunsTheSelfIdentificationAgain)
{
    StartBoard();
    ext_->VinMonitorPaused = TRUE;  // no decoder sample does it meanwhile
    // The history's low two bits pick the encoders' id and the decoder's
    // active line-control register (0x4A + p at 525 lines).
    for (ULONG p : {2u, 1u, 3u, 0u}) {
        SCOPED_TRACE(p);
        ext_->Vin.History = 0x100 | p;
        ASSERT_EQ(SetGenlock({20, 128, 0, 1, 0}), STATUS_SUCCESS);
        RunFields(2);  // the writes go through the I2C queue
        for (int e = 0; e < 2; ++e) EXPECT_EQ(Board().Encoder(e).Register(0x6F) & 0xDF, 0x40 | (7 + p)) << e;
        for (ULONG i = 0; i < 4; ++i)
            EXPECT_EQ(Board().Decoder().Register(uint8_t(0x4A + i)) & 0x0F, i == p ? 0x05 : 0x0F) << i;
    }
}

TEST_F(ZarkdBoardSetup, GenlockModeFollowsTheBlockButNeverInTheTwentyFourFpsMode)
{
    StartBoardQuiet();
    const struct {
        ULONG genlockOn, mode24;
        uint16_t bit6;
    } cases[] = {{1, 0, 0x40}, {0, 0, 0}, {1, 1, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.genlockOn * 10 + c.mode24);
        ext_->Genlock.GenlockOn = c.genlockOn;
        ext_->Hdcam24FpsMode = c.mode24;
        EXPECT_EQ(ZarDcIoSetGenlockMode(ext_), STATUS_SUCCESS);
        EXPECT_EQ(Reg(0xB848) & 0x40, c.bit6);
        if (!c.genlockOn) {
            EXPECT_EQ(Reg(0x5C00) & 0x4, 0x4);
        }
    }
}

// ---- audio sample clock ----

TEST_F(ZarkdBoardSetup, AudioClockDividersFollowStandardAndGenlock)
{
    StartBoardQuiet();
    const struct {
        ULONG standard;
        bool genlocked;     // genlock on and the board control's bit 6
        ULONG lines;
        uint16_t d0, d1, control;
    } cases[] = {
        {0, false, 525, 29184, 30595, 0x11},
        {2, true, 525, 17920, 24281, 0x12},
        {2, true, 625, 20160, 19357, 0x12},
        {3, false, 525, 28224, 26260, 0x14},
        {3, true, 625, 27097, 27932, 0x14},
        {7, false, 525, 28224, 26260, 0x10},   // outside 0-3: standard 1
        {7, true, 525, 21952, 34888, 0x10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.standard * 1000 + c.lines + c.genlocked);
        ext_->Standard = c.lines;
        ext_->Setup.AudioStandards[ext_->Setup.AudioOwner] = c.standard;
        ext_->Setup.GenlockControl = c.genlocked ? 0x40 : 0;
        ext_->Setup.AudioControl = c.genlocked ? 0x40 : 0;
        ZarDcIoSetAudioStandards(ext_);
        EXPECT_EQ(Reg(0x8E04), c.d0);
        EXPECT_EQ(Reg(0x8E08), c.d1);
        EXPECT_EQ(Reg(0x8C20), c.control);
    }

    // Genlock alone (board control bit 6 clear) keeps the free-running pair.
    ext_->Standard = 525;
    ext_->Setup.AudioStandards[ext_->Setup.AudioOwner] = 2;
    ext_->Setup.GenlockControl = 0x40;
    ext_->Setup.AudioControl = 0;
    ZarDcIoSetAudioStandards(ext_);
    EXPECT_EQ(Reg(0x8E04), 19456);

    // Nothing changed and the audio ready: nothing is written.
    auto writes = WritesTo(0x8C20, [&] { ZarDcIoSetAudioStandards(ext_); });
    EXPECT_TRUE(writes.empty());
    ext_->Setup.AudioReady = FALSE;
    writes = WritesTo(0x8C20, [&] { ZarDcIoSetAudioStandards(ext_); });
    EXPECT_EQ(writes, (std::vector<uint16_t>{0x12}));
}

// ---- field wait ----

// A caller of the field wait on a thread of its own, and fields of a chosen
// parity given to it by hand (the board's own fields are off).
struct SyncCaller {
    PZAR_DEVICE_EXTENSION ext;
    ULONG selector;
    NTSTATUS status;
    KEVENT done;
};

void SyncCallerThread(PVOID context)
{
    auto* c = static_cast<SyncCaller*>(context);
    c->status = ZarDcIoSynchronizeExecution(c->ext, c->selector);
    KeSetEvent(&c->done, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_F(ZarkdBoardSetup, SynchronizeExecutionWaitsForTheAskedParity)
{
    Board().PowerOff();
    ZarSetIntMode(ext_, ZAR_INT_FIELD, TRUE);
    // A field latched before the power-off interrupts as soon as the
    // interrupt is on: let it pass before any caller waits.
    nt::ClockRunUntilIdle();
    const struct {
        const char* name;
        ULONG selector;
        std::vector<ULONG> parities;  // of the fields that come
        ULONG fieldsTaken;
        NTSTATUS status;
    } cases[] = {
        {"odd asked right after an odd field: two fields", 1, {0, 1}, 2, STATUS_SUCCESS},
        {"even asked right after an even field: two fields", 0, {1, 0}, 2, STATUS_SUCCESS},
        {"the asked parity comes next: one field", 1, {1}, 1, STATUS_SUCCESS},
        {"any parity: one field", 2, {0}, 1, STATUS_SUCCESS},
        {"the second field still of the wrong parity", 0, {1, 1}, 2, STATUS_UNSUCCESSFUL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SyncCaller caller{ext_, c.selector, STATUS_PENDING, {}};
        KeInitializeEvent(&caller.done, NotificationEvent, FALSE);
        HANDLE thread = nullptr;
        ASSERT_EQ(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, SyncCallerThread,
                                       &caller),
                  STATUS_SUCCESS);
        ZwClose(thread);
        ULONG taken = 0;
        for (ULONG parity : c.parities) {
            nt::ClockRunUntilIdle();
            if (KeReadStateEvent(&caller.done)) break;
            ASSERT_EQ(ext_->FieldWaiters, 1u);
            ext_->FieldParity = parity;
            ++ext_->FieldCounter;
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ZarDpcForVbi(&ext_->DpcVbi, ext_, nullptr, nullptr);
            KeLowerIrql(old);
            ++taken;
        }
        KeWaitForSingleObject(&caller.done, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(caller.status, c.status);
        EXPECT_EQ(taken, c.fieldsTaken);
        EXPECT_EQ(ext_->FieldWaiters, 0u);
    }
}

TEST_F(ZarkdBoardSetup, SynchronizeExecutionTimesOutAndIsRefusedAtDispatchLevel)
{
    StartBoard();
    Board().PowerOff();
    const struct {
        BOOLEAN shortWait;
        uint64_t ms;
    } cases[] = {{FALSE, 500}, {TRUE, 50}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ms);
        ext_->ShortBlankingWait = c.shortWait;
        uint64_t start = nt::ClockNow();
        EXPECT_EQ(ZarDcIoSynchronizeExecution(ext_, 2), STATUS_IO_TIMEOUT);
        EXPECT_EQ((nt::ClockNow() - start) / 1000000, c.ms);
    }

    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    NTSTATUS status = ZarDcIoSynchronizeExecution(ext_, 2);
    KeLowerIrql(old);
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
}

// ---- unit resets ----

TEST_F(ZarkdBoardSetup, ResetOfTheVideoInputRestoresGenlockAndMarksThePhaseOverride)
{
    StartBoard();
    ASSERT_EQ(SetGenlock({5, 40, 1, 1, 0}), STATUS_SUCCESS);
    ext_->DebiShadow5474 = 0xFF;
    ULONG selector = ZAR_RESET_VIN;
    ASSERT_EQ(Send(IOCTL_ZAR_RESET, &selector, 4, nullptr, 0).status, STATUS_NOT_IMPLEMENTED)
        << "the video preferences";
    EXPECT_EQ(ext_->Genlock.HorizontalPosition, 32u);
    EXPECT_EQ(ext_->Genlock.SubcarrierPhase, 128u);
    EXPECT_EQ(ext_->Genlock.GenlockOn, 0u);
    EXPECT_EQ(ext_->Genlock.PhaseOverride, 1u);
    EXPECT_EQ(Reg(0xB848), 0x20);
    EXPECT_EQ(Reg(0x5474) & 0x2, 0);
    EXPECT_EQ(Reg(0x5C00) & 0xF, 0x7);
    for (int e = 0; e < 2; ++e) EXPECT_EQ(Board().Encoder(e).Register(0x5A), 116) << e;
}

// A unit reset that reaches a module not written yet runs every step it
// can and reports the module's failure; never success.
TEST_F(ZarkdBoardSetup, UnitResetsReportAModuleNotWrittenYet)
{
    StartBoard();
    struct Row {
        const char* name;
        ULONG selector;
        NTSTATUS status;
    } rows[] = {
        {"JPEG", ZAR_RESET_JPEG, STATUS_SUCCESS},
        {"SCSI", ZAR_RESET_SCSI, STATUS_SUCCESS},
        {"mixer", ZAR_RESET_MIXER, STATUS_NOT_IMPLEMENTED},
        {"graphics", ZAR_RESET_GFX, STATUS_NOT_IMPLEMENTED},
        {"video input (its preferences)", ZAR_RESET_VIN, STATUS_NOT_IMPLEMENTED},
        {"audio (codec and DSPs)", ZAR_RESET_AUDIO, STATUS_SUCCESS},
        {"JPEG and SCSI", ZAR_RESET_JPEG | ZAR_RESET_SCSI, STATUS_SUCCESS},
        {"JPEG and audio", ZAR_RESET_JPEG | ZAR_RESET_AUDIO, STATUS_SUCCESS},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ULONG selector = row.selector;
        EXPECT_EQ(Send(IOCTL_ZAR_RESET, &selector, 4, nullptr, 0).status, row.status);
    }
    // The audio reset still brings what exists to its ready state.
    EXPECT_TRUE(ext_->Setup.AudioReady);
}

class ZarkdBoardSetup625 : public ZarkdBoardSetup {
protected:
    const char* Layout() const override { return "one-board-625"; }
};

TEST_F(ZarkdBoardSetup625, PostFpgaInitSetsThe625LineValues)
{
    // The board's registry standard: the driver and the board agree.
    ext_->Standard = 625;
    ZarSetLineCounts(ext_);
    StartBoard();
    EXPECT_EQ(Reg(0x5C00) & 0xF, 0x6);
    for (int e = 0; e < 2; ++e) EXPECT_EQ(Board().Encoder(e).Register(0x5A), 128) << e;
    EXPECT_EQ(ext_->Encoder.Settings[0], 0u);
    EXPECT_EQ(ext_->Encoder.Settings[1], 0u);
}

}  // namespace
