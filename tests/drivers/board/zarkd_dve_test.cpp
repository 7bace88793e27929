// ZARKD's DVE module against the simulated DVE's register log: the
// registers of each setting, the perspective set chosen by parity, the
// border ramp, warp banks and look-up words, the freeze strobe, and the
// two-field pipeline of its play-list channels.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "tests/drivers/board/zarkd_fx_machine.h"

namespace {

using Writes = std::vector<std::pair<uint32_t, uint16_t>>;

TEST(ZarkdDveFreeze, FreezeBitsByModeAndTheStrobeSequence)
{
    auto record = [](ULONG mode, ULONG select, ULONG interval) {
        std::vector<UCHAR> r(12);
        std::memcpy(&r[0], &mode, 4);
        std::memcpy(&r[4], &select, 4);
        std::memcpy(&r[8], &interval, 4);
        return r;
    };
    const struct {
        ULONG mode, select;
        ULONG bits;
    } fixed[] = {{0, 1, 0}, {1, 1, 0x1}, {2, 0, 0x5}, {2, 1, 0x7}, {7, 1, 0}};
    for (const auto& f : fixed) {
        ULONG counter = 0;
        EXPECT_EQ(ZarDveFreezeBits(record(f.mode, f.select, 0).data(), &counter), f.bits) << f.mode;
    }
    // Strobe every 2: live, then frozen twice, over and over; bit 1 the interval's low bit.
    ULONG counter = 0;
    std::vector<ULONG> seen;
    for (int i = 0; i < 6; ++i) seen.push_back(ZarDveFreezeBits(record(3, 0, 2).data(), &counter));
    EXPECT_EQ(seen, (std::vector<ULONG>{0x4, 0x5, 0x5, 0x4, 0x5, 0x5}));
    counter = 0;
    EXPECT_EQ(ZarDveFreezeBits(record(3, 0, 3).data(), &counter), 0x6u);
}

class ZarkdDve : public ZarkdFxMachine {
protected:
    template <size_t N>
    NTSTATUS Set(ULONG code, const UCHAR (&record)[N])
    {
        return Send(code, record, N, nullptr, 0).status;
    }
};

TEST_F(ZarkdDve, SettingsWriteTheirRegisters)
{
    const UCHAR pixel[12] = {3, 0, 0, 0, 36, 0, 0, 0};                     // 2^(36 mod 32) - 1 = 15
    const UCHAR filter[12] = {0, 0, 0, 0, 2, 0, 0, 0, 20, 0, 0, 0};         // vertical index out of range
    const UCHAR key[9] = {1, 2, 3, 4, 5, 6, 0x34, 0x12, 9};
    UCHAR cropping[16];
    for (int i = 0; i < 8; ++i) cropping[2 * i] = UCHAR(10 + i), cropping[2 * i + 1] = 0;
    const UCHAR trail[24] = {7, 0, 0, 0, 255, 0, 0, 0, 101, 0x22, 0, 0, 8, 9, 0x34, 0x12, 1, 0, 0, 0, 2, 0, 0, 0};
    const struct {
        const char* what;
        ULONG code;
        const UCHAR* record;
        ULONG length;
        Writes writes;
    } cases[] = {
        {"pixel", IOCTL_ZAR_DVE_SET_PIXEL, pixel, 12, {{0xC000, 3}, {0xC004, 15}}},
        {"filter", IOCTL_ZAR_DVE_SET_FILTER, filter, 12, {{0xC030, 0x68}}},
        {"key", IOCTL_ZAR_DVE_SET_KEY, key, 9,
         {{0x546C, 1}, {0xC008, 2}, {0xC00C, 3}, {0xC010, 4}, {0xC014, 5}, {0xC020, 6}, {0xC024, 0x1234}, {0xC028, 9}}},
        {"cropping", IOCTL_ZAR_DVE_SET_CROPPING, cropping, 16,
         {{0xCC3C, 10}, {0xCC40, 11}, {0xCC44, 12}, {0xCC48, 13}, {0xCC4C, 14}, {0xCC50, 15}, {0xCC54, 16}, {0xCC58, 17}}},
        {"trail and shadow", IOCTL_ZAR_DVE_SET_TRAIL_SHADOW, trail, 24,
         {{0xC07C, 128}, {0xC080, 0x2232}, {0xC078, 7}, {0xC084, 9}, {0xC088, 8}, {0xC08C, 0x1234}, {0xC090, 1}, {0xC094, 2}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Fx().ClearLog();
        std::vector<UCHAR> in(c.record, c.record + c.length);
        ASSERT_EQ(Send(c.code, in.data(), c.length, nullptr, 0).status, STATUS_SUCCESS);
        Writes w;
        for (const auto& x : Logged(0xC000, 0xDC04)) w.push_back(x);
        for (const auto& x : Logged(0x546C, 0x546C)) w.insert(w.begin(), x);
        EXPECT_EQ(w, c.writes);
    }
    // A bus that stays busy fails the code.
    ZarSetIntMode(ext_, ZAR_INT_FIELD, FALSE);
    HoldDebiBusy(true);
    EXPECT_EQ(Set(IOCTL_ZAR_DVE_SET_PIXEL, pixel), STATUS_UNSUCCESSFUL);
    HoldDebiBusy(false);
}

TEST_F(ZarkdDve, AWarpWritesEachOfItsRegistersFromItsOwnField)
{
    // A random warp (type 5): its registers only, no look-up table. Every
    // field holds a value of its own, so a register fed from the wrong one
    // shows.
    ext_->DvePresent = TRUE;
    UCHAR warp[63] = {};
    warp[1] = 5;     // type
    warp[2] = 1;     // control: mode 1
    for (int k = 0; k < 13; ++k) {
        warp[3 + 2 * k] = UCHAR(0x10 + k);
        warp[4 + 2 * k] = UCHAR(0x80 + k);  // signed values
    }
    warp[29] = 0x29, warp[30] = 0x30, warp[31] = 0x31, warp[32] = 0x32;
    warp[33] = 0x01;                         // table scale 1, bank bits rewritten
    warp[34] = 0x34, warp[35] = 0x35;        // random-warp parameter
    warp[58] = 0x58, warp[59] = 0x05;        // extra parameter (its byte: the next is the sine table)
    ASSERT_EQ(Set(IOCTL_ZAR_DVE_SET_WARP, warp), STATUS_SUCCESS);
    Fx().ClearLog();
    RunFields(1);
    auto word = [&](int at) { return uint16_t(warp[at] | warp[at + 1] << 8); };
    const std::vector<std::pair<uint32_t, uint16_t>> expected = {
        {0xCC00, word(3)},  {0xCC04, word(5)},  {0xCC08, word(7)},  {0xCC0C, word(9)},  {0xCC10, word(11)},
        {0xCC14, word(13)}, {0xCC18, 0x11},     {0xCC1C, 0x3534},   {0xCC20, word(15)}, {0xCC24, word(17)},
        {0xCC28, word(19)}, {0xCC2C, word(21)}, {0xCC30, word(23)}, {0xCC34, word(25)}, {0xCC38, word(27)},
        {0xCC5C, 1},        {0xC064, 1},        {0xC068, 0x58},   {0xC06C, 0x3229},   {0xC070, 0x30},
        {0xC074, 0x31},
    };
    for (const auto& [address, value] : expected)
        EXPECT_EQ(Fx().Register(address), value) << std::hex << "register 0x" << address;
    EXPECT_FALSE(Logged(0xCC00, 0xCC38).empty()) << "written at the field";
    EXPECT_TRUE(Logged(0xDC04, 0xDC04).empty()) << "a random warp builds no look-up table";
}

TEST_F(ZarkdDve, TheSameBorderTwiceMakesTheRampOnce)
{
    UCHAR profiles[512] = {};
    for (int i = 0; i < 64; ++i) profiles[64 * 2 + i] = 255;
    ASSERT_EQ(Set(IOCTL_ZAR_DVE_LOAD_COEFFICIENTS, profiles), STATUS_SUCCESS);
    UCHAR border[75] = {};
    border[60] = 2;      // profile
    border[65] = 1;      // amplitude 256
    border[72] = 100;    // base level
    border[73] = 0xF6;   // Cb offset -10
    ASSERT_EQ(Set(IOCTL_ZAR_DVE_SET_BORDER, border), STATUS_SUCCESS);
    ASSERT_EQ(Set(IOCTL_ZAR_DVE_SET_BORDER, border), STATUS_SUCCESS);
    EXPECT_EQ(ext_->Dve.RampsGenerated, 1u);
    const auto* ramp = static_cast<const UCHAR*>(ext_->SmallBuffer.VirtualAddress);
    EXPECT_EQ(ramp[0], 118);   // Cb
    EXPECT_EQ(ramp[1], 227);   // 100 + (127 x 256) / 256
    EXPECT_EQ(ramp[2], 128);
    border[68] = 1;  // inverted: 100 - 127 clamps to 16
    ASSERT_EQ(Set(IOCTL_ZAR_DVE_SET_BORDER, border), STATUS_SUCCESS);
    EXPECT_EQ(ext_->Dve.RampsGenerated, 2u);
    EXPECT_EQ(ramp[1], 16);
    border[60] = 8;  // no such profile: nothing made
    ASSERT_EQ(Set(IOCTL_ZAR_DVE_SET_BORDER, border), STATUS_SUCCESS);
    EXPECT_EQ(ext_->Dve.RampsGenerated, 2u);

    // The kept border goes out with its ramp at the next field.
    ext_->DvePresent = TRUE;
    Fx().ClearLog();
    RunFields(2);
    EXPECT_FALSE(Logged(0xC018, 0xC060).empty());
    EXPECT_EQ(Logged(0xC400, 0xC4FF).size(), 128u) << "the ramp's 256 bytes, 16 bits a write";
}

TEST_F(ZarkdDve, PerspectiveSetsLoadByParityAndWarpBanksAlternate)
{
    ext_->DvePresent = TRUE;
    UCHAR perspective[96] = {};
    perspective[0] = 3;
    perspective[4] = 0x11;           // set 0's first coefficient
    perspective[44] = 0x22;          // set 1's
    RunToParity(1);
    ASSERT_EQ(Set(IOCTL_ZAR_DVE_SET_PERSPECTIVE, perspective), STATUS_SUCCESS);
    Fx().ClearLog();
    RunFields(2);
    auto fieldOf = [&](uint32_t address) -> int64_t {
        for (const sim::FxWrite& w : Fx().Log())
            if (w.address == address) return int64_t(w.field);
        return -1;
    };
    int64_t set1 = fieldOf(0xCCE0), set0 = fieldOf(0xCC80);
    ASSERT_GE(set1, 0);
    ASSERT_GE(set0, 0);
    EXPECT_EQ(set0, set1 + 1) << "set 1 on the parity-0 field, set 0 on the parity-1 field after it";
    EXPECT_EQ(Fx().Register(0xCCE0), 0x22);
    EXPECT_EQ(Fx().Register(0xCC80), 0x11);

    std::vector<uint16_t> banks;
    for (UCHAR control : {0, 0, 2, 2}) {
        UCHAR warp[63] = {};
        warp[2] = control;
        ASSERT_EQ(Set(IOCTL_ZAR_DVE_SET_WARP, warp), STATUS_SUCCESS);
        RunFields(1);
        banks.push_back(Fx().Register(0xCC18));
    }
    EXPECT_EQ(banks, (std::vector<uint16_t>{0x10, 0x00, 0x50, 0x40}));
}

TEST_F(ZarkdDve, APageWarpSendsItsLookUpWordsInBlocks)
{
    ext_->DvePresent = TRUE;
    std::vector<ULONG> table0(32768, 0);
    table0[0] = 0x100;  // entry 0 (16-bit entries) = 256
    ULONG load[3] = {0, 0, ULONG(reinterpret_cast<ULONG_PTR>(table0.data()))};
    ASSERT_EQ(Send(IOCTL_ZAR_DVE_WARP_TABLE_LOAD, load, 12, nullptr, 0).status, STATUS_SUCCESS);
    ULONG bad[3] = {9, 0, load[2]};
    EXPECT_EQ(Send(IOCTL_ZAR_DVE_WARP_TABLE_LOAD, bad, 12, nullptr, 0).status, STATUS_INVALID_PARAMETER);
    ULONG unreadable[3] = {1, 0, ULONG(reinterpret_cast<ULONG_PTR>(noAccess_))};
    EXPECT_NE(Send(IOCTL_ZAR_DVE_WARP_TABLE_LOAD, unreadable, 12, nullptr, 0).status, STATUS_SUCCESS);

    UCHAR warp[63] = {};
    warp[1] = 1;       // page warp
    warp[33] = 3;      // 4,096 >> 3 = 512 steps
    ULONG increment = 0x10000, scale = 0x800000;
    std::memcpy(&warp[34], &increment, 4);
    std::memcpy(&warp[38], &scale, 4);
    ASSERT_EQ(Set(IOCTL_ZAR_DVE_SET_WARP, warp), STATUS_SUCCESS);
    Fx().ClearLog();
    RunFields(1);
    EXPECT_EQ(ext_->Dve.LutWords, 512u);
    EXPECT_EQ(ext_->Dve.LutBlocks, 512u / ext_->DveWticDmaSizeWords);
    auto words = Logged(0xDC00, 0xDC00);
    ASSERT_EQ(words.size(), 1024u) << "two 16-bit writes a word";
    // Step 0: (256 x 256 + 0) x 0x800000 >> 24 = 32,768.
    EXPECT_EQ(words[0].second, 0x8000);
    EXPECT_EQ(words[1].second, 0x0000);
    EXPECT_EQ(Fx().Register(0xDC04), 0x1) << "the bank the warp took";
}

// Channel 301 is written when due; 302-304 two fields later, from their pipeline.
TEST_F(ZarkdDve, PipelinedNodesReachTheHardwareTwoFieldsAfterTheyAreDue)
{
    ext_->DvePresent = TRUE;
    constexpr ULONG kStart = 20;
    std::vector<UCHAR> key(108, 0);
    key[0] = 0x5A;                        // DVE key byte 0 -> 0x546C
    std::vector<UCHAR> trail(24, 0);
    trail[0] = 0x77;                      // trail mode -> 0xC078
    ASSERT_EQ(Insert(ZAR_FX_CHANNEL_DVE_KEY, Nodes(ZAR_FX_CHANNEL_DVE_KEY, {{kStart + 4, key}})), STATUS_SUCCESS);
    ASSERT_EQ(Insert(ZAR_FX_CHANNEL_DVE_TRAIL, Nodes(ZAR_FX_CHANNEL_DVE_TRAIL, {{kStart + 4, trail}})), STATUS_SUCCESS);
    ASSERT_EQ(EnableMask(ZAR_PLY_MODULE_DVE, 0x9), STATUS_SUCCESS);
    RunToParity(0);
    Fx().ClearLog();
    ZAR_PLAY_COMMAND play = Play(kStart, 200);
    play.Wait = 0;
    ASSERT_EQ(Send(IOCTL_ZAR_DVE_PLAY_COMMAND, &play, sizeof(play), &play, sizeof(play)).status, STATUS_SUCCESS);
    RunFields(10);
    auto fieldOf = [&](uint32_t address, uint16_t value) -> int64_t {
        for (const sim::FxWrite& w : Fx().Log())
            if (w.address == address && w.value == value) return int64_t(w.field);
        return -1;
    };
    int64_t keyField = fieldOf(0x546C, 0x5A), trailField = fieldOf(0xC078, 0x77);
    ASSERT_GE(keyField, 0);
    ASSERT_GE(trailField, 0);
    EXPECT_EQ(trailField - keyField, 2);
}


// A vari-play field carries the geometry for both parities it may be shown
// on: the block the driver loads depends on the field's parity against the
// field now shown (inverted for 625 lines), into the set of the next field.
TEST_F(ZarkdDve, AVariPlayFieldLoadsTheCarriedPerspectiveForTheParityItIsShownOn)
{
    ext_->DvePresent = TRUE;
    auto ring = std::make_unique<ZAR_VARIPLAY_BLOCK>();
    ring->Control.Low = 0;
    ring->Control.High = 9;
    for (ULONG i = 0; i < 10; ++i) {
        ring->Entry[i].Field = 200 + i;       // even entries parity 0, odd parity 1
        ring->Entry[i].Address = 7930 + 10 * i;  // from entry 1 on, past the ring's end: wraps to its start
        ring->Entry[i].Size = 10;
    }
    ULONG init[2] = {0, ULONG(reinterpret_cast<ULONG_PTR>(ring.get()))};
    ASSERT_EQ(Send(IOCTL_ZAR_VARIPLAY_INIT, init, 8, init, 8).status, STATUS_SUCCESS);
    // Three blocks at the head of every field: block k's first coefficient
    // is 0x100 * (k + 1) + the entry, its mode byte k + 1.
    for (ULONG i = 0; i < 10; ++i) {
        UCHAR head[156] = {};
        for (ULONG k = 0; k < 3; ++k) {
            USHORT first = USHORT(0x100 * (k + 1) + i);
            std::memcpy(&head[52 * k], &first, 2);
            head[52 * k + 39] = UCHAR(k + 1);
        }
        head[38] = 1;      // block 0 sets the 2D filter: horizontal 0, vertical 3
        head[37] = 3;
        Board().Memory().Write(ring->Entry[i].Address, sim::Sdram::kModeRing, 0, head, sizeof(head));
    }
    ZAR_VIDEO_CHANNEL_STATE& channel = ext_->Jpeg.Channel[0].State;
    channel.StateWord = ZAR_VIDEO_PLAY;
    channel.VariPlay = 1;

    const struct {
        const char* what;
        ULONG standard, entry, parity;  // the field shown, on a field of 'parity'
        ULONG set;                      // 0xCC80 for set 0, 0xCCE0 for set 1
        uint16_t coefficient, mode;
    } cases[] = {
        {"parity-0 field on a parity-0 field: block 0 into set 1", 525, 0, 0, 0xCCE0, 0x100, 1},
        {"parity-1 field on a parity-0 field: block 1", 525, 3, 0, 0xCCE0, 0x203, 2},
        {"parity-1 field on a parity-1 field: block 0 into set 0", 525, 5, 1, 0xCC80, 0x105, 1},
        {"parity-0 field on a parity-1 field: block 1", 525, 4, 1, 0xCC80, 0x204, 2},
        {"625 lines, same parity: block 1", 625, 2, 0, 0xCCE0, 0x202, 2},
        {"625 lines, other parity: block 0", 625, 7, 0, 0xCCE0, 0x107, 1},
    };
    for (const auto& c : cases) {
        ext_->Standard = c.standard;
        ULONG display[2] = {0, c.entry};
        ASSERT_EQ(Send(IOCTL_ZAR_VARIPLAY_DISPLAY_NODE, display, 8, nullptr, 0).status, STATUS_SUCCESS);
        RunToParity(int(c.parity ^ 1));
        Fx().ClearLog();
        RunFields(1);
        auto set = Logged(c.set, c.set);
        ASSERT_EQ(set.size(), 1u) << c.what;
        EXPECT_EQ(set[0].second, c.coefficient) << c.what;
        EXPECT_TRUE(Logged(c.set ^ 0x60, c.set ^ 0x60).empty()) << c.what << ": the set shown now is left alone";
        EXPECT_EQ(Fx().Register(0xCC60), c.mode) << c.what;
        EXPECT_EQ(Logged(0xC02C, 0xC02C).size(), c.mode == 1 ? 1u : 0u) << c.what << ": the block's 2D filter";
    }
    ext_->Standard = 525;
    EXPECT_EQ(Fx().Register(0xC02C), 5) << "vertical filter index 3";

    // A channel that plays its own nodes carries nothing.
    channel.VariPlay = 0;
    Fx().ClearLog();
    RunFields(2);
    EXPECT_TRUE(Logged(0xCC80, 0xCD24).empty());
    channel.StateWord = 0;
    ULONG close = 0;
    EXPECT_EQ(Send(IOCTL_ZAR_VARIPLAY_CLOSE, &close, 4, nullptr, 0).status, STATUS_SUCCESS);
}
}  // namespace
