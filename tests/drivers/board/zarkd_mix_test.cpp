// ZARKD's mixer, bus and proc-amp modules against the simulated effect
// units: the registers each setting writes, what is kept and read back, a
// bus that stays busy, and play-list nodes reaching the hardware on their
// fields.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/drivers/board/zarkd_fx_machine.h"

namespace {

using Writes = std::vector<std::pair<uint32_t, uint16_t>>;

std::vector<UCHAR> ProcAmpLevels(UCHAR a, UCHAR b, UCHAR c, UCHAR d, UCHAR e)
{
    std::vector<UCHAR> r(10, 0);
    r[4] = a, r[5] = b, r[6] = c, r[8] = d, r[9] = e;
    return r;
}
std::vector<UCHAR> ProcAmpMatte(ULONG colour)
{
    std::vector<UCHAR> r(10, 0);
    ULONG one = 1;
    std::memcpy(&r[0], &one, 4);
    std::memcpy(&r[4], &colour, 4);
    return r;
}

TEST(ZarkdMixConversion, RgbToYuvAndTheHalvingTable)
{
    const struct {
        ULONG colour;
        UCHAR cb, y, cr;
    } colours[] = {
        {0x000000, 128, 16, 128},
        {0xFFFFFF, 128, 235, 128},
        {0x0000FF, 90, 81, 240},   // red
        {0x00FF00, 54, 145, 34},   // green
        {0xFF0000, 240, 41, 110},  // blue
    };
    for (const auto& c : colours) {
        SCOPED_TRACE(c.colour);
        UCHAR out[4];
        ZarMixRgbToYuv(c.colour, out);
        EXPECT_EQ(out[0], c.cb);
        EXPECT_EQ(out[1], c.y);
        EXPECT_EQ(out[2], c.cr);
        EXPECT_EQ(out[3], 255);
    }
    EXPECT_EQ(ZarMixHalve(0), 0);
    EXPECT_EQ(ZarMixHalve(101), 50);
    EXPECT_EQ(ZarMixHalve(254), 127);
    EXPECT_EQ(ZarMixHalve(255), 128);
}

TEST(ZarkdMixConversion, PreviewRegisterBySourceAndMode)
{
    const struct {
        ULONG source, mode, value;
    } cases[] = {
        {5, 0, 0x1D}, {2, 0, 0x02}, {3, 1, 0x13}, {2, 1, 0x02}, {2, 2, 0x1A},
        {1, 3, 0x31}, {1, 4, 0x51}, {7, 9, 0x07}, {0xF, 0, 0x1F},  // only the low 3 bits of the source
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "source " << c.source << " mode " << c.mode);
        EXPECT_EQ(ZarMixPreviewValue(c.source, c.mode), c.value);
    }
}

class ZarkdMix : public ZarkdFxMachine {};

TEST_F(ZarkdMix, ProcAmpSettingsWriteTheirFiveRegisters)
{
    const struct {
        const char* what;
        ULONG code;
        std::vector<UCHAR> record;
        Writes writes;
    } cases[] = {
        {"neutral levels", IOCTL_ZAR_MIX_SET_PROC_AMP0, ProcAmpLevels(128, 128, 128, 128, 128),
         {{0x5400, 128}, {0x5400, 128}, {0x5404, 128}, {0x5408, 16}, {0x540C, 0}, {0x5410, 0}}},
        {"level A 255 stays below the matte mark", IOCTL_ZAR_MIX_SET_PROC_AMP0, ProcAmpLevels(255, 0, 0, 0, 255),
         {{0x5400, 254}, {0x5400, 254}, {0x5404, 0}, {0x5408, 0xD0}, {0x540C, 0xC0}, {0x5410, 63}}},
        {"white matte", IOCTL_ZAR_MIX_SET_PROC_AMP1, ProcAmpMatte(0xFFFFFF),
         {{0x5414, 255}, {0x5418, 0}, {0x541C, 235}, {0x5420, 0}, {0x5424, 0}}},
        {"red matte", IOCTL_ZAR_MIX_SET_PROC_AMP1, ProcAmpMatte(0x0000FF),
         {{0x5414, 255}, {0x5418, 0}, {0x541C, 81}, {0x5420, 218}, {0x5424, 112}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Fx().ClearLog();
        std::vector<UCHAR> record = c.record;
        ASSERT_EQ(Send(c.code, record.data(), 10, record.data(), 10).status, STATUS_SUCCESS);
        EXPECT_EQ(Logged(0x5400, 0x5424), c.writes);
        std::vector<UCHAR> back(10);
        ULONG get = c.code == IOCTL_ZAR_MIX_SET_PROC_AMP0 ? IOCTL_ZAR_MIX_GET_PROC_AMP0 : IOCTL_ZAR_MIX_GET_PROC_AMP1;
        ASSERT_EQ(Send(get, nullptr, 0, back.data(), 10).status, STATUS_SUCCESS);
        EXPECT_EQ(back, c.record);
    }
    UCHAR record[10] = {};
    EXPECT_EQ(ZarMixIoSetProcAmp(ext_, record, 2), STATUS_UNSUCCESSFUL);
}

TEST_F(ZarkdMix, MixerSettingsWriteTheirRegisters)
{
    UCHAR effects[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    ASSERT_EQ(Send(IOCTL_ZAR_MIX_SET_MIX_EFFECTS, effects, 9, nullptr, 0).status, STATUS_SUCCESS);
    Writes expected;
    for (ULONG i = 0; i < 9; ++i) expected.emplace_back(0x5428 + 4 * i, i + 1);
    EXPECT_EQ(Logged(0x5428, 0x5448), expected);

    const struct {
        ULONG code;
        uint32_t first;
        uint32_t level;
    } keys[] = {{IOCTL_ZAR_MIX_SET_DVE, 0x5488, 0x544C}, {IOCTL_ZAR_MIX_SET_DOWN_STREAM_KEY, 0x5450, 0x5460}};
    for (const auto& k : keys) {
        Fx().ClearLog();
        UCHAR key[11] = {0x34, 0x12, 0, 0, 0x56, 0x78, 0xBC, 0x9A, 0, 0, 255};
        ASSERT_EQ(Send(k.code, key, 11, nullptr, 0).status, STATUS_SUCCESS);
        Writes writes = Logged(0x5428, 0x5494);
        EXPECT_EQ(writes, (Writes{{k.first, 0x1234}, {k.first + 4, 0x56}, {k.first + 8, 0x78}, {k.first + 12, 0x9ABC},
                                  {k.level, 128}}));
    }

    const struct {
        UCHAR level;
        uint16_t reg;
    } fades[] = {{0, 255}, {255, 0}, {100, 155}};
    for (const auto& f : fades) {
        Fx().ClearLog();
        UCHAR level = f.level;
        ASSERT_EQ(Send(IOCTL_ZAR_MIX_SET_MASTER_FADE, &level, 1, nullptr, 0).status, STATUS_SUCCESS);
        EXPECT_EQ(Logged(0x5464, 0x5464), (Writes{{0x5464, f.reg}}));
        UCHAR back = 0;
        ASSERT_EQ(Send(IOCTL_ZAR_MIX_GET_MASTER_FADE, &back, 1, &back, 1).status, STATUS_SUCCESS);
        EXPECT_EQ(back, f.level);
    }

    ULONG preview[2] = {5, 0};
    ASSERT_EQ(Send(IOCTL_ZAR_MIX_SET_PREVIEW, preview, 8, preview, 8).status, STATUS_SUCCESS);
    EXPECT_EQ(Fx().Register(0x5470), 0x1D);
    ULONG back[2] = {};
    ASSERT_EQ(Send(IOCTL_ZAR_MIX_GET_PREVIEW, back, 8, back, 8).status, STATUS_SUCCESS);
    EXPECT_EQ(back[0], 5u);
    EXPECT_EQ(back[1], 0u);
}

TEST_F(ZarkdMix, AutomaticUvFilterFollowsBothKeys)
{
    auto setPrefs = [&](ULONG uv) {
        ULONG prefs[4] = {uv, 4, 4, 4};
        return Send(IOCTL_ZAR_SET_VIDEO_PREFS, prefs, 16, prefs, 16).status;
    };
    auto setKey = [&](ULONG code, UCHAR level) {
        UCHAR key[11] = {};
        key[10] = level;
        return Send(code, key, 11, nullptr, 0).status;
    };
    auto filterOn = [&] { return (Board().Regs().Peek(0x5C00) & 0x10) != 0; };
    ASSERT_EQ(setPrefs(0), STATUS_SUCCESS);
    EXPECT_FALSE(filterOn());
    ASSERT_EQ(setKey(IOCTL_ZAR_MIX_SET_DVE, 40), STATUS_SUCCESS);
    EXPECT_TRUE(filterOn());
    ASSERT_EQ(setKey(IOCTL_ZAR_MIX_SET_DOWN_STREAM_KEY, 40), STATUS_SUCCESS);
    ASSERT_EQ(setKey(IOCTL_ZAR_MIX_SET_DOWN_STREAM_KEY, 0), STATUS_SUCCESS);
    EXPECT_TRUE(filterOn()) << "the DVE key still needs it";
    ASSERT_EQ(setKey(IOCTL_ZAR_MIX_SET_DVE, 0), STATUS_SUCCESS);
    EXPECT_FALSE(filterOn());
    ASSERT_EQ(setPrefs(2), STATUS_SUCCESS);
    EXPECT_TRUE(filterOn());
    ASSERT_EQ(setKey(IOCTL_ZAR_MIX_SET_DVE, 0), STATUS_SUCCESS);
    EXPECT_TRUE(filterOn()) << "a filter chosen on stays on";
    ASSERT_EQ(setPrefs(1), STATUS_SUCCESS);
    ASSERT_EQ(setKey(IOCTL_ZAR_MIX_SET_DVE, 90), STATUS_SUCCESS);
    EXPECT_FALSE(filterOn());
    ULONG prefs[4] = {};
    ASSERT_EQ(Send(IOCTL_ZAR_GET_VIDEO_PREFS, prefs, 16, prefs, 16).status, STATUS_SUCCESS);
    EXPECT_EQ(prefs[0], 1u);
}

// A key whose registers went out but whose filter write did not: the key
// is not taken as on, and the filter and the video control shadow stay as
// they were, so the next key setting finds them true.
TEST_F(ZarkdMix, AKeyWhoseFilterWriteFailsChangesNothingItKeeps)
{
    ULONG prefs[4] = {0, 4, 4, 4};  // automatic filter
    ASSERT_EQ(Send(IOCTL_ZAR_SET_VIDEO_PREFS, prefs, 16, prefs, 16).status, STATUS_SUCCESS);
    const ULONG shadow = ext_->DebiShadow5C00;
    ASSERT_EQ(shadow & ZAR_VIDEO_INPUT_UV_FILTER, 0u);

    ZarSetIntMode(ext_, ZAR_INT_FIELD, FALSE);  // no field's accesses meanwhile
    nt::ClockRunUntilIdle();
    Board().DebiUnit().HangAfterWriteTo(ZAR_REG_DVE_KEY_LEVEL);
    UCHAR key[11] = {};
    key[10] = 40;
    EXPECT_EQ(Send(IOCTL_ZAR_MIX_SET_DVE, key, 11, nullptr, 0).status, STATUS_UNSUCCESSFUL);
    Board().DebiUnit().ReleaseHang();
    EXPECT_EQ(Fx().Register(ZAR_REG_DVE_KEY_LEVEL), 20) << "the key's own registers went out";
    EXPECT_FALSE(ext_->Mix.DveKeyActive);
    EXPECT_FALSE(ext_->Mix.UvFilterActive);
    EXPECT_EQ(ext_->DebiShadow5C00, shadow);

    // Tried again, it goes through whole.
    ASSERT_EQ(Send(IOCTL_ZAR_MIX_SET_DVE, key, 11, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_TRUE(ext_->Mix.DveKeyActive);
    EXPECT_NE(Board().Regs().Peek(0x5C00) & ZAR_VIDEO_INPUT_UV_FILTER, 0u);
    ZarSetIntMode(ext_, ZAR_INT_FIELD, TRUE);
}

// A setting that could not reach the board is neither reported as done nor kept.
TEST_F(ZarkdMix, ABusThatStaysBusyFailsTheSettingAndKeepsTheOldOne)
{
    std::vector<UCHAR> before = ProcAmpLevels(100, 110, 120, 130, 140);
    ASSERT_EQ(Send(IOCTL_ZAR_MIX_SET_PROC_AMP0, before.data(), 10, before.data(), 10).status, STATUS_SUCCESS);
    UCHAR fade = 30;
    ASSERT_EQ(Send(IOCTL_ZAR_MIX_SET_MASTER_FADE, &fade, 1, nullptr, 0).status, STATUS_SUCCESS);

    // No field may run meanwhile: its own accesses end the held state.
    ZarSetIntMode(ext_, ZAR_INT_FIELD, FALSE);
    HoldDebiBusy(true);
    std::vector<UCHAR> after = ProcAmpLevels(1, 2, 3, 4, 5);
    EXPECT_EQ(Send(IOCTL_ZAR_MIX_SET_PROC_AMP0, after.data(), 10, after.data(), 10).status, STATUS_UNSUCCESSFUL);
    UCHAR newFade = 200;
    EXPECT_EQ(Send(IOCTL_ZAR_MIX_SET_MASTER_FADE, &newFade, 1, nullptr, 0).status, STATUS_UNSUCCESSFUL);
    HoldDebiBusy(false);

    std::vector<UCHAR> back(10);
    ASSERT_EQ(Send(IOCTL_ZAR_MIX_GET_PROC_AMP0, nullptr, 0, back.data(), 10).status, STATUS_SUCCESS);
    EXPECT_EQ(back, before);
    UCHAR fadeBack = 0;
    ASSERT_EQ(Send(IOCTL_ZAR_MIX_GET_MASTER_FADE, &fadeBack, 1, &fadeBack, 1).status, STATUS_SUCCESS);
    EXPECT_EQ(fadeBack, 30);
    EXPECT_EQ(Fx().Register(0x5464), 225);
}

// Nodes of the mixer, the bus and the proc amps are written in the field the
// module's position reaches theirs, each once, in order.
TEST_F(ZarkdMix, NodesReachTheHardwareOnTheirFields)
{
    constexpr ULONG kStart = 10;
    ASSERT_EQ(Insert(ZAR_FX_CHANNEL_MASTER_FADE, Nodes(ZAR_FX_CHANNEL_MASTER_FADE, {{kStart + 2, {0}}, {kStart + 5, {255}}})),
              STATUS_SUCCESS);
    ASSERT_EQ(EnableMask(ZAR_PLY_MODULE_MIXER, 0x8), STATUS_SUCCESS);
    ASSERT_EQ(Insert(ZAR_FX_CHANNEL_PREVIEW_BUS, Nodes(ZAR_FX_CHANNEL_PREVIEW_BUS, {{kStart + 3, {2, 0, 0, 0, 2, 0, 0, 0}}})),
              STATUS_SUCCESS);
    ASSERT_EQ(EnableMask(ZAR_PLY_MODULE_BUS, 0x1), STATUS_SUCCESS);
    ASSERT_EQ(Insert(ZAR_FX_CHANNEL_PROC_AMP1, Nodes(ZAR_FX_CHANNEL_PROC_AMP1, {{kStart + 4, ProcAmpMatte(0xFFFFFF)}})),
              STATUS_SUCCESS);
    // The proc amps' channel is bit 1 of their mask: bit 0 alone plays nothing.
    ASSERT_EQ(EnableMask(ZAR_PLY_MODULE_PROC_AMP1, 0x1), STATUS_SUCCESS);

    // All three start at the same parity-1 field.
    RunToParity(0);
    Fx().ClearLog();
    ZAR_PLAY_COMMAND play = Play(kStart, 100);
    play.Wait = 0;
    ASSERT_EQ(Send(IOCTL_ZAR_MIX_PLAY_COMMAND, &play, sizeof(play), &play, sizeof(play)).status, STATUS_SUCCESS);
    ASSERT_EQ(Send(IOCTL_ZAR_BUS_PLAY_COMMAND, &play, sizeof(play), &play, sizeof(play)).status, STATUS_SUCCESS);
    UCHAR procPlay[36] = {};
    ULONG words[9] = {ZAR_PLAY_START, 1, 1, 0, kStart, kStart, 100, 0, 0};
    std::memcpy(procPlay, words, sizeof(words));
    ASSERT_EQ(Send(IOCTL_ZAR_PROC_AMP_PLAY_COMMAND, procPlay, 36, procPlay, 36).status, STATUS_SUCCESS);
    RunFields(8);

    // The field (as the board counts them) of each logged write.
    auto fieldOf = [&](uint32_t address, uint16_t value) -> int64_t {
        for (const sim::FxWrite& w : Fx().Log())
            if (w.address == address && w.value == value) return int64_t(w.field);
        return -1;
    };
    int64_t fadeIn = fieldOf(0x5464, 255);
    int64_t fadeOut = fieldOf(0x5464, 0);
    int64_t preview = fieldOf(0x5470, 0x1A);
    ASSERT_GE(fadeIn, 0);
    ASSERT_GE(fadeOut, 0);
    ASSERT_GE(preview, 0);
    EXPECT_EQ(fadeOut - fadeIn, 3);
    EXPECT_EQ(preview - fadeIn, 1);
    EXPECT_EQ(Logged(0x5464, 0x5464).size(), 2u) << "each node once";
    EXPECT_TRUE(Logged(0x5414, 0x5424).empty()) << "proc amp 1 played with bit 1 of its mask clear";

    ASSERT_EQ(EnableMask(ZAR_PLY_MODULE_PROC_AMP1, 0x2), STATUS_SUCCESS);
    RunFields(2);
    EXPECT_EQ(Logged(0x5414, 0x5424), (Writes{{0x5414, 255}, {0x5418, 0}, {0x541C, 235}, {0x5420, 0}, {0x5424, 0}}));
}

}  // namespace
