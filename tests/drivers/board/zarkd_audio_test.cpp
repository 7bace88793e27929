// The board's audio from user mode on the virtual clock: a tone played on a
// track through the play DMA comes back through the loop-back, the record
// ring, the VU meters, the codec and DSP programming, the audio lock
// between the two users, and the pure rules (slots, VU filter, gains).

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "drivers/board/zar_driver.h"
#include "include/zar_audio_hw.h"
#include "tests/drivers/board/zarkd_ioctl_machine.h"

namespace {

using namespace zar_audio_hw;

// ---- pure rules ----

TEST(ZarkdAudioRules, TrackMasksGiveSlotsByPairsAndBankAIsNeverEmpty)
{
    struct Row {
        ULONG mask, forced;
        LONG slot[8];
        ULONG countA, countB;
    } rows[] = {
        {0x00, 0x01, {0, 1, -1, -1, -1, -1, -1, -1}, 2, 0},
        {0x01, 0x01, {0, 1, -1, -1, -1, -1, -1, -1}, 2, 0},
        {0x04, 0x04, {-1, -1, 0, 1, -1, -1, -1, -1}, 2, 0},
        {0x0F, 0x0F, {0, 1, 2, 3, -1, -1, -1, -1}, 4, 0},
        {0x40, 0x41, {0, 1, -1, -1, -1, -1, 0, 1}, 2, 2},
        {0xFF, 0xFF, {0, 1, 2, 3, 0, 1, 2, 3}, 4, 4},
        {0x1F0, 0xF1, {0, 1, -1, -1, 0, 1, 2, 3}, 2, 4},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.mask);
        LONG slot[8];
        ULONG count[2];
        EXPECT_EQ(ZarAudCalcSlots(r.mask, slot, count), r.forced);
        for (int t = 0; t < 8; ++t) EXPECT_EQ(slot[t], r.slot[t]) << "track " << t;
        EXPECT_EQ(count[0], r.countA);
        EXPECT_EQ(count[1], r.countB);
    }
}

TEST(ZarkdAudioRules, SlotListsPlayTheBankThenRecordAndEndOnTheirLastEntry)
{
    LONG slot[8];
    ULONG count[2];
    ZarAudCalcSlots(0x3F, slot, count);  // bank A 0-3, bank B tracks 4, 5
    ULONG list[16];
    ASSERT_EQ(ZarAudBuildSlotList(list, 0, slot, 0), 4u);
    EXPECT_EQ(list[0], PlaySlot(0));
    EXPECT_EQ(list[3], PlaySlot(3) | kSlotEnd);
    EXPECT_EQ(ZarAudBuildSlotList(list, 1, slot, 0), 2u);
    EXPECT_EQ(list[1], PlaySlot(5) | kSlotEnd);
    ASSERT_EQ(ZarAudBuildSlotList(list, 1, slot, 2), 2u);  // record only
    EXPECT_EQ(list[0], RecordSlot(0));
    EXPECT_EQ(list[1], RecordSlot(1) | kSlotEnd);
    ASSERT_EQ(ZarAudBuildSlotList(list, 1, slot, 3), 4u);  // bank B, then record
    EXPECT_EQ(list[1], PlaySlot(5));
    EXPECT_EQ(list[3], RecordSlot(1) | kSlotEnd);
}

TEST(ZarkdAudioRules, VuFilterFollowsRisesAtOnceFallsByHalvesAndHoldsThePeak)
{
    ZAR_AUDIO_VU_PAIR pair{};
    struct Step {
        ULONG peak, level, hold;
    } steps[] = {
        {100, 12800, 12800},  // rise: taken at once
        {0, 6400, 12800},     // fall: half way each field
        {0, 3200, 12800},
        {20, 2880, 12800},    // below the level: averaged with it
        {255, 32640, 32640},
        {255, 32640, 32640},  // equal counts as not above: averaged to itself
    };
    for (const Step& s : steps) {
        ZarAudVuFilter(&pair, s.peak);
        EXPECT_EQ(pair.Level, s.level) << "peak " << s.peak;
        EXPECT_EQ(pair.Hold, s.hold) << "peak " << s.peak;
    }
}

TEST(ZarkdAudioRules, GainTablesMeetTheirFixedPointsAndGainsStayInRange)
{
    static ZAR_AUDIO_USERS_STATE users;
    ZarAudBuildGainTables(&users);
    EXPECT_EQ(users.LevelGain[0], 0);
    EXPECT_EQ(users.LevelGain[129], 8192);
    EXPECT_EQ(users.LevelGain[255], 131071);
    for (int i = 1; i < 256; ++i) EXPECT_GT(users.LevelGain[i], users.LevelGain[i - 1]) << i;
    EXPECT_EQ(users.TrimGain[0], 0);
    EXPECT_EQ(users.TrimGain[255], 131071);
    struct Pan {
        ULONG master, pan;
        ULONG left, right;
    } pans[] = {
        {255, 0, 4095, 0},        // hard left; master x pan needs all 32 bits unsigned
        {255, 255, 0, 4095},
        {255, 128, 4095, 4095},   // centre: both at full
        {0, 128, 0, 0},
        {128, 0, 2055, 0},
    };
    for (const Pan& p : pans) {
        EXPECT_EQ(ZarAudTrackGain(&users, p.master, p.pan, false), p.left) << p.master << "/" << p.pan;
        EXPECT_EQ(ZarAudTrackGain(&users, p.master, p.pan, true), p.right) << p.master << "/" << p.pan;
    }
    struct Out {
        ULONG level, mult, gain;
    } outs[] = {
        {129, 0x10000, 8192},
        {129, 0x8000, 4096},
        {255, 0x10000, 131071},
        {255, 0x20000, 0x1FFFF},      // clamped, not wrapped
        {255, 0xFFFFFFFF, 0x1FFFF},   // a product beyond 32 bits is clamped too
        {0, 0x40000, 0},
    };
    for (const Out& o : outs) EXPECT_EQ(ZarAudOutputGain(&users, o.level, o.mult), o.gain) << o.level << "/" << o.mult;
}

TEST(ZarkdAudioRules, SmoothingMovesAtMostEightLevelsOrAQuarterOfUnityAPass)
{
    struct Row {
        ULONG from, to, level;
    } levels[] = {{100, 140, 108}, {140, 100, 132}, {100, 105, 105}, {105, 100, 100}, {7, 7, 7}};
    for (const Row& r : levels) EXPECT_EQ(ZarAudStepLevel(r.from, r.to), r.level) << r.from << "->" << r.to;
    // A change of 40 levels takes five passes.
    ULONG level = 100, passes = 0;
    while (level != 140) level = ZarAudStepLevel(level, 140), ++passes;
    EXPECT_EQ(passes, 5u);
    EXPECT_EQ(ZarAudStepMult(0x10000, 0x20000), 0x11000u);
    EXPECT_EQ(ZarAudStepMult(0x10000, 0x10800), 0x10800u);
}

// ---- on the board ----

class ZarkdAudio : public ZarkdIoctlMachine {
protected:
    static constexpr ULONG kHalfSamples = ZAR_AUDIO_SAMPLES_DEFAULT / 2;

    void SetUp() override
    {
        ZarkdIoctlMachine::SetUp();
        if (HasFatalFailure()) return;
        ULONG io[4] = {0, 0, 0, 0};
        ASSERT_EQ(Send(IOCTL_ZAR_FLEX_DOWNLOAD, io, sizeof(io), io, sizeof(io)).status, STATUS_SUCCESS);
        ASSERT_EQ(Send(IOCTL_ZAR_POST_FPGA_INIT, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
        for (HANDLE& e : events_) e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    void TearDown() override
    {
        for (HANDLE e : events_)
            if (e != nullptr) CloseHandle(e);
        ZarkdIoctlMachine::TearDown();
    }

    sim::Board& Board() { return *built_.boards[0]; }
    void RunFields(uint64_t fields)
    {
        const uint64_t target = Board().Clock().FieldCount() + fields;
        while (Board().Clock().FieldCount() < target) nt::ClockRunFor(1000000);
        nt::ClockRunUntilIdle();
    }
    static ULONG U(const void* p) { return ULONG(reinterpret_cast<ULONG_PTR>(p)); }

    NTSTATUS SetTrack(ULONG track, ULONG mask, const ZAR_AUDIO_TRACK_CONTROL& control)
    {
        ULONG in[3] = {track, U(&control), mask};
        return Send(IOCTL_ZAR_AUD_SET_TRACK_CONTROL, in, sizeof(in), nullptr, 0).status;
    }
    NTSTATUS RegisterEvents()
    {
        ULONG in[6];
        for (int i = 0; i < 6; ++i) in[i] = U(events_[i]);
        return Send(IOCTL_ZAR_AUD_REGISTER_EVENTS, in, sizeof(in), nullptr, 0).status;
    }
    NTSTATUS PutWave(ULONG track, ULONG half, const std::vector<int16_t>& samples, ULONG marker = 1)
    {
        ZAR_AUDIO_WAVE_DATA block{};
        block.Track = track;
        block.Half = half;
        block.ByteCount = ULONG(samples.size() * 2);
        block.Samples = U(samples.data());
        block.FilledMarker = marker;
        return Send(IOCTL_ZAR_AUD_PUT_WAVE_DATA, &block, sizeof(block), nullptr, 0).status;
    }
    NTSTATUS Mask(ULONG mask)
    {
        ULONG in[4] = {mask, 0, 0, 0};
        return Send(IOCTL_ZAR_AUD_SET_ACTIVE_TRACK_MASK, in, sizeof(in), nullptr, 0).status;
    }
    NTSTATUS Play(ULONG state, ULONG wait = 1)
    {
        ZAR_AUDIO_PLAY_COMMAND c{};
        c.State = state;
        c.FixedSpeed = 1;
        c.EndField = 1000000;
        c.Wait = wait;
        return Send(IOCTL_ZAR_AUD_PLAY_COMMAND, &c, sizeof(c), &c, sizeof(c)).status;
    }
    NTSTATUS Record(ULONG command)
    {
        ZAR_AUDIO_RECORD_COMMAND c{};
        c.Command = command;
        return Send(IOCTL_ZAR_AUD_RECORD_COMMAND, &c, sizeof(c), &c, sizeof(c)).status;
    }
    NTSTATUS Source(ULONG source) { return Send(IOCTL_ZAR_AUD_SET_SOURCE, &source, 4, nullptr, 0).status; }

    // The caller's record ring: eight half-sized buffers, no event.
    struct Ring {
        std::vector<std::vector<uint8_t>> buffers = std::vector<std::vector<uint8_t>>(8, std::vector<uint8_t>(ZAR_AUDIO_REC_HALF_SIZE));
        ZAR_AUDIO_REC_BLOCK block{};
        // The buffer that holds a sequence number, or null.
        const uint8_t* Holding(LONG sequence) const
        {
            for (int i = 0; i < 8; ++i)
                if (block.Sequence[i] == sequence) return buffers[i].data();
            return nullptr;
        }
    };
    NTSTATUS SetUpRing(Ring& ring)
    {
        for (int i = 0; i < 8; ++i) ring.block.Buffer[i] = U(ring.buffers[i].data());
        return Send(IOCTL_ZAR_AUD_REC_SETUP, &ring.block, sizeof(ring.block), nullptr, 0).status;
    }

    // A tone with a whole number of cycles in each half, so the halves
    // repeat without a seam.
    static std::vector<int16_t> Tone(ULONG cycles, double amplitude)
    {
        std::vector<int16_t> s(kHalfSamples);
        for (ULONG i = 0; i < kHalfSamples; ++i)
            s[i] = int16_t(std::lround(amplitude * std::sin(2 * M_PI * cycles * i / kHalfSamples)));
        return s;
    }

    HANDLE events_[6] = {};
};

TEST_F(ZarkdAudio, ATonePlayedOnATrackComesBackThroughTheLoopBackWholeAtItsFrequencyAndLevel)
{
    ZAR_AUDIO_TRACK_CONTROL unity{};
    unity.Level = ZAR_AUDIO_LEVEL_UNITY;
    ASSERT_EQ(SetTrack(0, ZAR_TRACK_LEVEL, unity), STATUS_SUCCESS);
    ASSERT_EQ(Source(5), STATUS_SUCCESS);
    ASSERT_EQ(RegisterEvents(), STATUS_SUCCESS);
    ASSERT_EQ(Mask(0x03), STATUS_SUCCESS);
    const ULONG cycles = 171;  // 48,000 x 171 / 8,192 = 1,001.95 Hz
    const double amplitude = 16384;
    std::vector<int16_t> tone = Tone(cycles, amplitude);
    ASSERT_EQ(PutWave(0, 0, tone), STATUS_SUCCESS);
    ASSERT_EQ(PutWave(0, 1, tone), STATUS_SUCCESS);

    // The record ring: eight buffers and an event.
    std::vector<std::vector<uint8_t>> buffers(8, std::vector<uint8_t>(ZAR_AUDIO_REC_HALF_SIZE));
    ZAR_AUDIO_REC_BLOCK ring{};
    for (int i = 0; i < 8; ++i) ring.Buffer[i] = U(buffers[i].data());
    HANDLE ringEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ring.Event = U(ringEvent);
    ASSERT_EQ(Send(IOCTL_ZAR_AUD_REC_SETUP, &ring, sizeof(ring), nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(ring.Counter, -1);
    EXPECT_EQ(ring.Sequence[3], -1);
    EXPECT_EQ(Send(IOCTL_ZAR_AUD_REC_SETUP, &ring, sizeof(ring), nullptr, 0).status, STATUS_UNSUCCESSFUL);

    if (getenv("AUDIO_TRACE")) Board().Audio().GetTrace().Enable(true);
    ASSERT_EQ(Play(ZAR_AUDIO_PLAYING), STATUS_SUCCESS);
    ASSERT_EQ(Record(ZAR_AUDIO_REC_EVENTS), STATUS_SUCCESS);
    RunFields(75);  // 1.25 s: seven record halves
    ULONG vu[20];
    ASSERT_EQ(Send(IOCTL_ZAR_AUD_GET_PLAY_VU_LEVEL, vu, sizeof(vu), vu, sizeof(vu)).status, STATUS_SUCCESS);
    ULONG recVu[4];
    ASSERT_EQ(Send(IOCTL_ZAR_AUD_GET_REC_VU_LEVEL, recVu, sizeof(recVu), recVu, sizeof(recVu)).status, STATUS_SUCCESS);
    ASSERT_EQ(Record(ZAR_AUDIO_REC_OFF), STATUS_SUCCESS);
    ASSERT_EQ(Play(ZAR_AUDIO_STOPPED), STATUS_SUCCESS);

    // Track 0 peaks at 16384 >> 7 = 128 (VU level 128 x 128); track 1 is silent; so is the right side.
    EXPECT_EQ(vu[1], 128u * 128u) << "track 0 hold";
    EXPECT_EQ(vu[3], 0u) << "track 1 hold";
    EXPECT_EQ(vu[17], 128u * 128u) << "mix left hold";
    EXPECT_EQ(vu[19], 0u) << "mix right hold";
    EXPECT_EQ(recVu[1], 128u * 128u);
    EXPECT_EQ(recVu[3], 0u);

    // The ring's buffers in sequence order, then the stop's partial half.
    ASSERT_GE(ring.Counter, 6);
    EXPECT_EQ(ring.LastSequence, ring.Counter);
    std::vector<int16_t> left, right;
    for (LONG seq = 0; seq <= ring.Counter; ++seq) {
        int index = -1;
        for (int i = 0; i < 8; ++i)
            if (ring.Sequence[i] == seq) index = i;
        if (index < 0) continue;  // overwritten by a later lap
        ULONG bytes = seq == ring.Counter ? ring.LastBytes : ZAR_AUDIO_REC_HALF_SIZE;
        const auto* s = reinterpret_cast<const int16_t*>(buffers[index].data());
        if (seq < ring.Counter - 7) continue;
        for (ULONG i = 0; i + 1 < bytes / 2; i += 2) {
            left.push_back(s[i]);
            right.push_back(s[i + 1]);
        }
    }
    // From the first sound to the end: every sample follows the tone's
    // recurrence x[n+1] = 2 cos(w) x[n] - x[n-1], so nothing was dropped or
    // repeated, and the level and frequency are the tone's.
    size_t first = 0;
    while (first < left.size() && left[first] == 0) ++first;
    ASSERT_LT(first + 4 * kHalfSamples, left.size());
    const double w = 2 * M_PI * cycles / kHalfSamples;
    size_t breaks = 0;
    for (size_t n = first + 2; n < left.size(); ++n)
        if (std::fabs(left[n] - (2 * std::cos(w) * left[n - 1] - left[n - 2])) > 4) ++breaks;
    EXPECT_EQ(breaks, 0u);
    double power = 0, crossings = 0;
    const size_t span = 4 * kHalfSamples;
    for (size_t n = first + 1; n <= first + span; ++n) {
        power += double(left[n]) * left[n];
        if ((left[n - 1] < 0) != (left[n] < 0)) ++crossings;
    }
    double levelDb = 10 * std::log10(power / span) - 20 * std::log10(amplitude / std::sqrt(2.0));
    EXPECT_NEAR(levelDb, 0.0, 0.1);
    EXPECT_NEAR(crossings / 2 / (double(span) / kSampleRate), 48000.0 * cycles / kHalfSamples, 2.0);
    for (int16_t r : right) ASSERT_EQ(r, 0);
    CloseHandle(ringEvent);
    EXPECT_EQ(Send(IOCTL_ZAR_AUD_REC_RELEASE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
}

TEST_F(ZarkdAudio, PlayNeedsItsEventsAndAHalfLeftUnfilledStopsThePlay)
{
    ASSERT_EQ(Mask(0x03), STATUS_SUCCESS);
    EXPECT_EQ(Play(ZAR_AUDIO_PLAYING), STATUS_UNSUCCESSFUL);  // no half events yet
    ASSERT_EQ(RegisterEvents(), STATUS_SUCCESS);
    std::vector<int16_t> tone = Tone(10, 1000);
    ASSERT_EQ(PutWave(0, 0, tone), STATUS_SUCCESS);
    ASSERT_EQ(PutWave(0, 1, tone, 0), STATUS_SUCCESS);  // half 1 marked empty
    ASSERT_EQ(Play(ZAR_AUDIO_PLAYING), STATUS_SUCCESS);
    EXPECT_EQ(Play(ZAR_AUDIO_PLAYING, 0), STATUS_UNSUCCESSFUL) << "already playing";
    RunFields(15);  // half 0 (171 ms) has played: the DPC signals half B's event
    EXPECT_TRUE(ext_->AudioEngine.PlayDmaRunning);
    EXPECT_EQ(WaitForSingleObject(events_[ZAR_AUDIO_EVENT_PLAY_HALF_B], 0), WAIT_OBJECT_0);
    RunFields(15);  // half 1 played with its marker 0: the feed ran dry
    EXPECT_FALSE(ext_->AudioEngine.PlayDmaRunning);
    EXPECT_EQ(ext_->AudioEngine.PlayState.State, ZAR_AUDIO_STOPPED);
}

TEST_F(ZarkdAudio, BadWaveDataAndDmaSizesAreRefusedWithoutTouchingTheBuffers)
{
    ASSERT_EQ(Mask(0x03), STATUS_SUCCESS);
    std::vector<int16_t> tooLong(kHalfSamples + 1, 1);
    EXPECT_EQ(PutWave(0, 0, tooLong), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(PutWave(8, 0, Tone(1, 10)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(PutWave(4, 0, Tone(1, 10)), STATUS_UNSUCCESSFUL) << "track not in use";
    ZAR_AUDIO_WAVE_DATA block{};
    block.ByteCount = 64;
    block.Samples = U(noAccess_);
    EXPECT_EQ(Send(IOCTL_ZAR_AUD_PUT_WAVE_DATA, &block, sizeof(block), nullptr, 0).status, STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(Send(IOCTL_ZAR_AUD_PUT_WAVE_DATA, noAccess_, sizeof(block), nullptr, 0).status, STATUS_ACCESS_VIOLATION);
    auto* bank = static_cast<const int16_t*>(ext_->AudioEngine.Play[0].Va);
    for (ULONG i = 0; i < 64; ++i) ASSERT_EQ(bank[i], 0);

    struct Row {
        ULONG samples;
        NTSTATUS status;
        ULONG size;
    } rows[] = {
        {0, STATUS_SUCCESS, ZAR_AUDIO_SAMPLES_DEFAULT * 2 * 2},  // 0 keeps the count
        {1024, STATUS_SUCCESS, 1024 * 2 * 2},
        {65536, STATUS_SUCCESS, 0x40000},                       // the whole bank buffer
        {65538, STATUS_INVALID_PARAMETER, 0x40000},
        {0x80000000, STATUS_INVALID_PARAMETER, 0x40000},
    };
    for (const Row& r : rows) {
        ULONG io = r.samples;
        EXPECT_EQ(Send(IOCTL_ZAR_AUD_CALC_PLAY_DMA_SIZE, &io, 4, &io, 4).status, r.status) << r.samples;
        EXPECT_EQ(ext_->AudioEngine.Play[0].Size, r.size) << r.samples;
    }
}

// A mask is sized at the sample count in force: one whose banks would
// outgrow the bank buffer is refused and the slots stay as they were; a
// track clear then zeroes exactly its own slot of the whole bank.
TEST_F(ZarkdAudio, AMaskWhoseBanksWouldOutgrowTheBufferIsRefusedAndATrackClearKeepsToItsSlot)
{
    ASSERT_EQ(Mask(0x03), STATUS_SUCCESS);
    ULONG samples = 65536;
    ASSERT_EQ(Send(IOCTL_ZAR_AUD_CALC_PLAY_DMA_SIZE, &samples, 4, &samples, 4).status, STATUS_SUCCESS);
    ASSERT_EQ(samples, ZAR_AUDIO_PLAY_BUFFER_SIZE);
    const ZAR_AUDIO_ENGINE_STATE& a = ext_->AudioEngine;
    for (ULONG mask : {0xFFu, 0x0Fu, 0xF3u}) {
        EXPECT_EQ(Mask(mask), STATUS_INVALID_PARAMETER) << std::hex << mask;
        EXPECT_EQ(a.ActiveTrackMask, 0x03u);
        EXPECT_EQ(a.Play[0].Slots, 2u);
        EXPECT_EQ(a.Play[1].Slots, 0u);
        EXPECT_EQ(a.Slot[2], -1);
        EXPECT_EQ(a.Play[0].Size, ZAR_AUDIO_PLAY_BUFFER_SIZE);
    }
    ASSERT_EQ(Mask(0x33), STATUS_SUCCESS) << "two slots a bank still fit";
    EXPECT_EQ(a.Play[1].Size, ZAR_AUDIO_PLAY_BUFFER_SIZE);

    // Both banks full of marks, halves whole: track t's sample i is 100 t + i % 97 + 1.
    const ULONG half = 65536 / 2;
    for (ULONG t : {0u, 1u, 4u, 5u}) {
        std::vector<int16_t> marks(half);
        for (ULONG i = 0; i < half; ++i) marks[i] = int16_t(100 * t + i % 97 + 1);
        ASSERT_EQ(PutWave(t, 0, marks), STATUS_SUCCESS) << t;
        ASSERT_EQ(PutWave(t, 1, marks), STATUS_SUCCESS) << t;
    }
    ULONG track = 4;
    ASSERT_EQ(Send(IOCTL_ZAR_AUD_CLEAR_TRACK, &track, 4, nullptr, 0).status, STATUS_SUCCESS);
    auto* bankA = static_cast<const int16_t*>(a.Play[0].Va);
    auto* bankB = static_cast<const int16_t*>(a.Play[1].Va);
    size_t wrong = 0;
    for (ULONG i = 0; i < 65536; ++i) {
        wrong += bankA[2 * i] != int16_t(0 + (i % half) % 97 + 1);
        wrong += bankA[2 * i + 1] != int16_t(100 + (i % half) % 97 + 1);
        wrong += bankB[2 * i] != 0;
        wrong += bankB[2 * i + 1] != int16_t(500 + (i % half) % 97 + 1);
    }
    EXPECT_EQ(wrong, 0u);
    track = 2;
    EXPECT_EQ(Send(IOCTL_ZAR_AUD_CLEAR_TRACK, &track, 4, nullptr, 0).status, STATUS_UNSUCCESSFUL) << "no slot";
    track = 0xFFFFFFFF;
    ASSERT_EQ(Send(IOCTL_ZAR_AUD_CLEAR_TRACK, &track, 4, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(std::count(bankA, bankA + ZAR_AUDIO_PLAY_BUFFER_SIZE / 2, 0), LONG(ZAR_AUDIO_PLAY_BUFFER_SIZE / 2));
    EXPECT_EQ(std::count(bankB, bankB + ZAR_AUDIO_PLAY_BUFFER_SIZE / 2, 0), LONG(ZAR_AUDIO_PLAY_BUFFER_SIZE / 2));
}

// The stop hands the partly recorded half to the ring with the bytes the
// record DMA's position gives, less the 8 still in the bridge.
TEST_F(ZarkdAudio, TheRecordStopReportsThePartHalfByTheDmaPosition)
{
    Board().Audio().SetAnalogueInput([](uint64_t frame, int side) { return int16_t(side ? -int(frame % 20000) : frame % 20000); });
    Ring ring;
    ASSERT_EQ(SetUpRing(ring), STATUS_SUCCESS);
    ASSERT_EQ(Record(ZAR_AUDIO_REC_EVENTS), STATUS_SUCCESS);
    RunFields(13);
    const ULONG position = Board().Bridge().Active(kRecordCurrent);
    const ULONG half = ext_->Audio.RecDmaHalfSize;
    ASSERT_EQ(half, ZAR_AUDIO_REC_HALF_SIZE);
    ASSERT_GT(position % half, 8u);
    ASSERT_EQ(Record(ZAR_AUDIO_REC_OFF), STATUS_SUCCESS);
    EXPECT_EQ(ring.block.LastBytes, position % half - 8);
    EXPECT_EQ(ring.block.LastSequence, ring.block.Counter);
    const uint8_t* last = ring.Holding(ring.block.Counter);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(std::memcmp(last, ext_->AudioEngine.Rec.Va + position / half * half, ring.block.LastBytes), 0);
    EXPECT_EQ(Send(IOCTL_ZAR_AUD_REC_RELEASE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
}

// Two half crossings before one DPC: both halves reach the ring, in order.
TEST_F(ZarkdAudio, TwoHalvesCompletedBeforeOneRecordDpcBothReachTheRing)
{
    Ring ring;
    ASSERT_EQ(SetUpRing(ring), STATUS_SUCCESS);
    ASSERT_EQ(Record(ZAR_AUDIO_REC_EVENTS), STATUS_SUCCESS);
    PUCHAR region = ext_->AudioEngine.Rec.Va;
    const ULONG half = ext_->Audio.RecDmaHalfSize;
    std::memset(region, 0x11, half);
    std::memset(region + half, 0x22, half);
    // What the interrupt leaves after two crossings (0 to 1, 1 to 0) whose DPC has not run yet.
    ext_->AudioRecHalfCounter += 2;
    ext_->AudioRecHalf = 0;
    ext_->AudioRecHalfComplete = 1;
    ZarDpcForAudioRecord(nullptr, ext_, nullptr, nullptr);
    ASSERT_EQ(ring.block.Counter, 1);
    ASSERT_NE(ring.Holding(0), nullptr);
    ASSERT_NE(ring.Holding(1), nullptr);
    EXPECT_EQ(ring.Holding(0)[0], 0x11);
    EXPECT_EQ(ring.Holding(0)[half - 1], 0x11);
    EXPECT_EQ(ring.Holding(1)[0], 0x22);
    EXPECT_EQ(ring.block.Next, 2u);
    ZarDpcForAudioRecord(nullptr, ext_, nullptr, nullptr);
    EXPECT_EQ(ring.block.Counter, 1) << "nothing new: nothing taken";
    ASSERT_EQ(Record(ZAR_AUDIO_REC_OFF), STATUS_SUCCESS);
    EXPECT_EQ(Send(IOCTL_ZAR_AUD_REC_RELEASE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
}

// The loop-back test plays the caller's bank data once and records it
// once: what comes back is the data itself on the left, after the path's
// delay, and both DMAs are stopped and the loop-back source off after it.
TEST_F(ZarkdAudio, TheLoopBackTestRecordsTheCallersBankDataAsPlayed)
{
    ZAR_AUDIO_TRACK_CONTROL unity{};
    unity.Level = ZAR_AUDIO_LEVEL_UNITY;
    ASSERT_EQ(SetTrack(0, ZAR_TRACK_LEVEL, unity), STATUS_SUCCESS);
    ASSERT_EQ(RegisterEvents(), STATUS_SUCCESS);
    ASSERT_EQ(Mask(0x03), STATUS_SUCCESS);
    RunFields(10);  // the DSPs take the level
    const ULONG frames = ZAR_AUDIO_SAMPLES_DEFAULT;
    std::vector<int16_t> bankA(2 * frames), bankB(2 * frames, 5);
    for (ULONG i = 0; i < frames; ++i) bankA[2 * i] = int16_t(i * 7 % 20000 + 1);  // track 0; track 1 silent
    std::vector<int16_t> recorded(ZAR_AUDIO_REC_HALF_SIZE, -1);  // both halves, left and right
    ZAR_AUDIO_PLAYCORD cord{3, U(bankA.data()), U(bankB.data()), U(recorded.data())};
    EXPECT_EQ(Send(IOCTL_ZAR_AUD_PLAYCORD, &cord, sizeof(cord), &cord, sizeof(cord)).status, STATUS_UNSUCCESSFUL) << "mode 3";
    cord.Mode = 1;
    cord.SourceA = U(noAccess_);
    EXPECT_EQ(Send(IOCTL_ZAR_AUD_PLAYCORD, &cord, sizeof(cord), &cord, sizeof(cord)).status, STATUS_ACCESS_VIOLATION);
    cord.SourceA = U(bankA.data());
    ASSERT_EQ(Send(IOCTL_ZAR_AUD_PLAYCORD, &cord, sizeof(cord), &cord, sizeof(cord)).status, STATUS_SUCCESS);
    EXPECT_FALSE(ext_->AudioEngine.PlayDmaRunning);
    EXPECT_FALSE(ext_->AudioRecording);
    EXPECT_EQ(Board().Regs().Peek(kRegAudioControl) & kAudioControlSourceLoop, 0) << "the loop-back is off again";
    EXPECT_EQ(WaitForSingleObject(events_[ZAR_AUDIO_EVENT_ONE_SHOT_PLAY], 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(events_[ZAR_AUDIO_EVENT_ONE_SHOT_REC], 0), WAIT_OBJECT_0);
    size_t first = 0;
    while (first < recorded.size() && recorded[first] == 0) first += 2;
    ASSERT_LT(first + 2 * 1000, recorded.size()) << "nothing came back";
    size_t wrong = 0, compared = 0;
    for (size_t n = first; n < recorded.size() && (n - first) / 2 < frames; n += 2, ++compared) {
        wrong += recorded[n] != bankA[n - first];
        wrong += recorded[n + 1] != 0;
    }
    EXPECT_EQ(wrong, 0u) << "of " << compared << " frames";
}

// A one-shot play of the bank buffers: programmed to stop at its end, it
// plays the buffer once and signals its event; it is refused while a play runs.
TEST_F(ZarkdAudio, AOneShotPlayOfTheBufferPlaysItOnceAndSignalsItsEnd)
{
    ZAR_AUDIO_TRACK_CONTROL unity{};
    unity.Level = ZAR_AUDIO_LEVEL_UNITY;
    ASSERT_EQ(SetTrack(0, ZAR_TRACK_LEVEL, unity), STATUS_SUCCESS);
    ASSERT_EQ(RegisterEvents(), STATUS_SUCCESS);
    ASSERT_EQ(Mask(0x03), STATUS_SUCCESS);
    RunFields(10);
    std::vector<int16_t> marks(kHalfSamples);
    for (ULONG i = 0; i < kHalfSamples; ++i) marks[i] = int16_t(i % 5000 + 1);
    ASSERT_EQ(PutWave(0, 0, marks), STATUS_SUCCESS);
    ASSERT_EQ(PutWave(0, 1, marks), STATUS_SUCCESS);
    Board().Audio().KeepMix(true);
    ASSERT_EQ(Send(IOCTL_ZAR_AUD_PLAY_DMA_BUFFER, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Board().Bridge().Active(kPlayAPage) & 0xFFF, kPageOneShot) << "stops at its end";
    EXPECT_EQ(Board().Bridge().Active(kPlayAProt), ext_->AudioEngine.Play[0].Size);
    EXPECT_EQ(Send(IOCTL_ZAR_AUD_PLAY_DMA_BUFFER, nullptr, 0, nullptr, 0).status, STATUS_UNSUCCESSFUL) << "running";
    RunFields(30);  // 16,384 frames: 20.5 fields
    Board().Audio().KeepMix(false);
    EXPECT_FALSE(ext_->AudioEngine.PlayDmaRunning);
    EXPECT_EQ(ext_->AudioPlayMode, ULONG(ZAR_AUDIO_PLAY_DOUBLE_BUFFERED));
    EXPECT_EQ(WaitForSingleObject(events_[ZAR_AUDIO_EVENT_ONE_SHOT_PLAY], 0), WAIT_OBJECT_0);
    const std::vector<int16_t>& mix = Board().Audio().Mix();
    std::vector<int16_t> left;
    for (size_t i = 0; i < mix.size(); i += 2)
        if (mix[i] != 0) left.push_back(mix[i]);
    ASSERT_EQ(left.size(), 2 * kHalfSamples) << "each frame once";
    for (ULONG i = 0; i < 2 * kHalfSamples; ++i) ASSERT_EQ(left[i], marks[i % kHalfSamples]) << i;
}

// After a FIFO underflow the play DMA is put back on a frame boundary 16
// frames ahead of where it was, then its base register is 0 again.
TEST_F(ZarkdAudio, AFifoUnderflowRestartsThePlayDmaOnAFrameBoundaryAhead)
{
    ASSERT_EQ(RegisterEvents(), STATUS_SUCCESS);
    ASSERT_EQ(Mask(0x03), STATUS_SUCCESS);
    std::vector<int16_t> tone = Tone(10, 1000);
    ASSERT_EQ(PutWave(0, 0, tone), STATUS_SUCCESS);
    ASSERT_EQ(PutWave(0, 1, tone), STATUS_SUCCESS);
    ASSERT_EQ(Play(ZAR_AUDIO_PLAYING), STATUS_SUCCESS);
    RunFields(3);
    std::vector<ULONG> bases;
    Board().Bridge().OnRegisterWrite(kPlayABase, [&](uint32_t value) { bases.push_back(value); });
    const ULONG before = Board().Bridge().Active(kPlayACurrent);
    Board().Audio().InjectPlayUnderflow();
    RunFields(1);
    ASSERT_EQ(bases.size(), 2u) << "the restart frame, then 0";
    const ULONG frameBytes = 2 * sizeof(int16_t), restart = bases[0];
    EXPECT_EQ(restart % (16 * frameBytes), 0u);
    EXPECT_GT(restart, before);
    EXPECT_LE(restart, before + 4096 + 16 * frameBytes) << "within one progress step and 16 frames";
    EXPECT_EQ(bases[1], 0u);
    EXPECT_EQ(Board().Bridge().Active(kPlayABase), 0u);
    EXPECT_TRUE(ext_->AudioEngine.PlayDmaRunning);
    ASSERT_EQ(Play(ZAR_AUDIO_STOPPED), STATUS_SUCCESS);
}

TEST_F(ZarkdAudio, TheCodecIsProgrammedFromTheOwnersSettingsOnlyWhereTheyChanged)
{
    sim::AudioUnit& audio = Board().Audio();
    EXPECT_EQ(audio.CodecRegister(0x1A), 0x0505) << "record source 5 at the reset";
    EXPECT_EQ(audio.CodecRegister(0x0A), 0x8000) << "PC beep muted";
    ZAR_AUDIO_CODEC_RECORD codec{};
    codec.Register[0] = 0x0404;  // master
    codec.Register[6] = 0x0808;  // PCM out
    codec.RecordSource = 4;
    codec.Mask = 0x01 | 0x40;    // master and record source only
    ASSERT_EQ(Send(IOCTL_ZAR_AUD_SET_CODEC, &codec, sizeof(codec), nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(audio.CodecRegister(0x02), 0x0404);
    EXPECT_EQ(audio.CodecRegister(0x1A), 0x0404);
    EXPECT_EQ(audio.CodecRegister(0x18), 0x8808) << "PCM out was not in the mask";
    ZAR_AUDIO_CODEC_RECORD back{};
    ASSERT_EQ(Send(IOCTL_ZAR_AUD_GET_CODEC, nullptr, 0, &back, sizeof(back)).status, STATUS_SUCCESS);
    EXPECT_EQ(back.Register[0], 0x0404);
    EXPECT_EQ(back.RecordSource, 4u);
    // The register read goes through the codec's two-read protocol.
    ULONG read[3] = {0x02, 0, 0};
    ASSERT_EQ(Send(IOCTL_ZAR_CS4297_REG_READ, read, sizeof(read), read, sizeof(read)).status, STATUS_SUCCESS);
    EXPECT_EQ(read[1], 0x0404u);
}

TEST_F(ZarkdAudio, TrackLevelsReachTheDspInStepsOfEightAndPanAndMasterTheBoardGains)
{
    sim::AudioUnit& audio = Board().Audio();
    const uint32_t levelAddress = DspSectionAddress(4, 1);  // track 5: DSP 1, channel 1
    ZAR_AUDIO_TRACK_CONTROL c{};
    c.Level = ZAR_AUDIO_LEVEL_UNITY;
    ASSERT_EQ(SetTrack(5, ZAR_TRACK_LEVEL, c), STATUS_SUCCESS);
    RunFields(30);
    EXPECT_EQ(audio.DspRegister(1, levelAddress), 8192u);
    size_t before = audio.DspLog().size();
    c.Level = ZAR_AUDIO_LEVEL_UNITY + 40;
    ASSERT_EQ(SetTrack(5, ZAR_TRACK_LEVEL, c), STATUS_SUCCESS);
    RunFields(30);
    ULONG writes = 0;
    for (size_t i = before; i < audio.DspLog().size(); ++i)
        if (audio.DspLog()[i].dsp == 1 && audio.DspLog()[i].address == levelAddress) ++writes;
    EXPECT_EQ(writes, 5u);
    EXPECT_EQ(audio.DspRegister(1, levelAddress), ULONG(ext_->AudioUsers.LevelGain[ZAR_AUDIO_LEVEL_UNITY + 40]));

    c.Pan = 255;
    ASSERT_EQ(SetTrack(2, ZAR_TRACK_PAN, c), STATUS_SUCCESS);
    EXPECT_EQ(Board().Regs().Peek(kRegTrackGainLeft + 16), 0);
    EXPECT_EQ(Board().Regs().Peek(kRegTrackGainRight + 16), 4095);
    ULONG master[2] = {0, 255};
    ASSERT_EQ(Send(IOCTL_ZAR_AUD_SET_MASTER_LEVEL, master, 8, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Board().Regs().Peek(kRegTrackGainLeft), 0) << "track 0, pan left, master left 0";
    ULONG tooLoud[2] = {256, 0};
    EXPECT_EQ(Send(IOCTL_ZAR_AUD_SET_MASTER_LEVEL, tooLoud, 8, nullptr, 0).status, STATUS_INVALID_PARAMETER);
    ULONG get[22] = {8};
    EXPECT_EQ(Send(IOCTL_ZAR_AUD_GET_TRACK_CONTROL, get, 88, get, 88).status, STATUS_INVALID_PARAMETER);
    ULONG bad[3] = {0, U(noAccess_), ZAR_TRACK_LEVEL};
    EXPECT_EQ(Send(IOCTL_ZAR_AUD_SET_TRACK_CONTROL, bad, sizeof(bad), nullptr, 0).status, STATUS_ACCESS_VIOLATION);
}

TEST_F(ZarkdAudio, TheAudioLockKeepsTheOtherUserOffTheBoardUntilReleased)
{
    PFILE_OBJECT library = reinterpret_cast<PFILE_OBJECT>(0x1000), wave = reinterpret_cast<PFILE_OBJECT>(0x2000);
    ULONG acquire[3] = {0, 0, 0};
    ASSERT_EQ(ZarAudAcquireAudioLock(ext_, acquire, ZAR_CALLER_LIBRARY, library), STATUS_SUCCESS);
    EXPECT_EQ(acquire[2], 1u);
    // The wave user asks for both with time-out 0: refused at once, nothing taken.
    ULONG both[3] = {2, 0, 0};
    ASSERT_EQ(ZarAudAcquireAudioLock(ext_, both, ZAR_CALLER_WAVE_DEVICE, wave), STATUS_SUCCESS);
    EXPECT_EQ(both[2], 0u);
    EXPECT_NE(KeReadStateEvent(&ext_->AudioLockEvent[1]), 0) << "record stays free";
    EXPECT_FALSE(ZarAudioHardwareAvailable(ext_, ZAR_CALLER_WAVE_DEVICE));
    // A setting of the wave user is kept but does not reach the board.
    ULONG master[2] = {10, 10};
    ASSERT_EQ(ZarAudUserSetMasterLevel(ext_, master, ZAR_CALLER_WAVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Board().Regs().Peek(kRegTrackGainLeft), 4095);
    // Only the holder releases.
    ULONG release[2] = {0, 0};
    ASSERT_EQ(ZarAudReleaseAudioLock(ext_, release, ZAR_CALLER_LIBRARY, wave), STATUS_SUCCESS);
    EXPECT_EQ(release[1], 0u);
    ASSERT_EQ(ZarAudReleaseAudioLock(ext_, release, ZAR_CALLER_LIBRARY, library), STATUS_SUCCESS);
    EXPECT_EQ(release[1], 1u);
    // Now the wave user gets both and the board takes its settings.
    ASSERT_EQ(ZarAudAcquireAudioLock(ext_, both, ZAR_CALLER_WAVE_DEVICE, wave), STATUS_SUCCESS);
    EXPECT_EQ(both[2], 1u);
    EXPECT_EQ(ext_->Setup.AudioOwner, ZAR_CALLER_WAVE_DEVICE);
    EXPECT_EQ(Board().Regs().Peek(kRegTrackGainLeft), ZarAudTrackGain(&ext_->AudioUsers, 10, 0, false));
    ULONG releaseBoth[2] = {2, 0};
    ASSERT_EQ(ZarAudReleaseAudioLock(ext_, releaseBoth, ZAR_CALLER_WAVE_DEVICE, wave), STATUS_SUCCESS);
    EXPECT_EQ(releaseBoth[1], 1u);
}

}  // namespace

namespace {

TEST(ZarkdAudioRules, OverrideRampsRunKeyToKeyAndEndAfterTheLast)
{
    struct Row {
        const char* what;
        ULONG keys;
        ULONG time[3];
        UCHAR value[3];
        ULONG now;                 // when the override starts, from level 100
        struct {
            ULONG field;
            UCHAR value;
            ULONG present;
        } expect[4];
    } rows[] = {
        {"one key ahead", 1, {110}, {200}, 100, {{100, 100, 1}, {105, 150, 1}, {109, 190, 1}, {110, 200, 0}}},
        {"two keys", 2, {110, 120}, {200, 0}, 100, {{110, 200, 1}, {115, 100, 1}, {119, 20, 1}, {125, 0, 0}}},
        {"keys all past end it at once", 2, {50, 60}, {1, 2}, 100, {{100, 100, 0}, {101, 100, 0}}},
        {"a key at the same field as the one before steps to it", 3, {110, 110, 120}, {200, 50, 150}, 100,
         {{110, 50, 1}, {115, 100, 1}, {120, 150, 0}}},
        {"a late start joins the ramp at its running segment", 2, {110, 120}, {200, 0}, 112,
         {{112, 100, 1}, {116, 50, 1}, {120, 0, 0}}},
        {"a wrap to the loop start ramps again from the value reached", 1, {110}, {200}, 100,
         {{105, 150, 1}, {90, 150, 1}, {100, 175, 1}, {110, 200, 0}}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        ZAR_AUDIO_OVERRIDE o{};
        o.KeyCount = r.keys;
        for (ULONG k = 0; k < r.keys; ++k) {
            o.KeyTime[k] = r.time[k];
            o.KeyValue[k] = r.value[k];
        }
        ZarAudOverrideStart(&o, r.now, 100, nullptr);
        for (const auto& e : r.expect) {
            if (e.field == 0) break;
            ZarAudOverrideStep(&o, e.field, nullptr);
            EXPECT_EQ(o.Value, e.value) << "field " << e.field;
            EXPECT_EQ(o.Present, e.present) << "field " << e.field;
        }
    }
}

TEST(ZarkdAudioRules, LevelLookupFindsTheNearestLevelOfAGainAndTheGainLawRampIsInGain)
{
    static ZAR_AUDIO_USERS_STATE users;
    ZarAudBuildGainTables(&users);
    const LONG* g = users.LevelGain;
    struct Row {
        LONG gain;
        ULONG level;
    } rows[] = {{0, 0}, {8192, 129}, {131071, 255}, {200000, 255}, {-5, 0},
                {(g[129] + g[130]) / 2, 129},  // a tie or just under it stays low
                {g[130] - 1, 130}};
    for (const Row& r : rows) EXPECT_EQ(ZarAudLevelLookup(g, r.gain), r.level) << r.gain;
    // Half way in gain from 129 to 255 lies well above half way in level steps.
    ZAR_AUDIO_OVERRIDE o{};
    o.KeyCount = 1;
    o.KeyTime[0] = 10;
    o.KeyValue[0] = 255;
    ZarAudOverrideStart(&o, 0, 129, g);
    ZarAudOverrideStep(&o, 5, g);
    EXPECT_EQ(o.Value, ZarAudLevelLookup(g, (8192 + 131071) / 2));
    EXPECT_GT(o.Value, 200);  // half way in level steps would be 192
}

TEST_F(ZarkdAudio, ALevelOverrideReachesItsValueOnItsField)
{
    ZAR_AUDIO_TRACK_CONTROL c{};
    c.Level = ZAR_AUDIO_LEVEL_UNITY;
    ASSERT_EQ(SetTrack(0, ZAR_TRACK_LEVEL, c), STATUS_SUCCESS);
    ASSERT_EQ(RegisterEvents(), STATUS_SUCCESS);
    ASSERT_EQ(Mask(0x03), STATUS_SUCCESS);
    ASSERT_EQ(PutWave(0, 0, Tone(10, 100)), STATUS_SUCCESS);
    ASSERT_EQ(PutWave(0, 1, Tone(10, 100)), STATUS_SUCCESS);
    ASSERT_EQ(Play(ZAR_AUDIO_PLAYING), STATUS_SUCCESS);
    ZAR_AUDIO_OVERRIDE_REQUEST r{};
    r.Track = 0;
    r.KeyCount = 1;
    r.KeyValue[0] = ZAR_AUDIO_LEVEL_UNITY + 40;
    // The key lies 20 fields after the field the request finds.
    r.KeyTime[0] = ext_->AudioEngine.PlayState.Position + 20;
    ASSERT_EQ(Send(IOCTL_ZAR_AUD_LEVEL_OVERRIDE, &r, sizeof(r), &r, sizeof(r)).status, STATUS_SUCCESS);
    const ULONG due = r.CurrentField + 20;
    ASSERT_EQ(r.KeyTime[0], due);
    auto level = [&] { return ZarAudUserSet(ext_, ext_->Setup.AudioOwner)->Track[0].Level; };
    ULONG reachedAt = 0;
    bool halfway = false;
    while (reachedAt == 0 && ext_->AudioEngine.PlayState.Position < due + 5) {
        RunFields(1);
        ULONG now = ext_->AudioEngine.PlayState.Position;
        if (level() == ZAR_AUDIO_LEVEL_UNITY + 20) halfway = true;
        if (level() == ZAR_AUDIO_LEVEL_UNITY + 40) reachedAt = now;
    }
    EXPECT_TRUE(halfway);
    // The value is set in the field whose position is the key's (the
    // position moves on once more at the end of that field).
    EXPECT_EQ(reachedAt, due + 1);
    EXPECT_FALSE(ext_->AudioFx.Level[0].Present);
    r.KeyCount = 11;
    EXPECT_EQ(Send(IOCTL_ZAR_AUD_LEVEL_OVERRIDE, &r, sizeof(r), &r, sizeof(r)).status, STATUS_INVALID_PARAMETER);
    r.KeyCount = 1;
    r.Track = 8;
    EXPECT_EQ(Send(IOCTL_ZAR_AUD_LEVEL_OVERRIDE, &r, sizeof(r), &r, sizeof(r)).status, STATUS_INVALID_PARAMETER);
    ASSERT_EQ(Play(ZAR_AUDIO_STOPPED), STATUS_SUCCESS);
}

}  // namespace

namespace {

TEST(ZarkdAudioRules, EveryFilterPhasePassesDcAndTheShortFilterHoldsItsGivenRows)
{
    auto table = ZarAudDSrvFilterTable();
    for (ULONG f = 1; f <= ZAR_DSRV_FILTERS; ++f) {
        for (ULONG p = 1; p <= ZAR_DSRV_PHASES; ++p) {
            LONG sum = 0;
            for (ULONG k = 0; k < ZAR_DSRV_TAPS; ++k) {
                sum += table[f - 1][p - 1][k];
                if (k >= ZarAudDSrvTaps(f)) {
                    EXPECT_EQ(table[f - 1][p - 1][k], 0) << f << "/" << p << "/" << k;
                }
            }
            EXPECT_EQ(sum, 32768) << "filter " << f << " phase " << p;
        }
    }
    EXPECT_EQ(sizeof(LONG) * ZAR_DSRV_FILTERS * ZAR_DSRV_PHASES * ZAR_DSRV_TAPS, 12096u);
    const LONG half[4] = {-10124, 26508, 26508, -10124}, first[4] = {-848, 32930, 861, -175};
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(table[0][31][k], half[k]);
        EXPECT_EQ(table[0][0][k], first[k]);
    }
    // The longer filters are symmetric at half way (but for the rounding
    // that keeps the sum) and lean on the nearer sample.
    for (ULONG f = 2; f <= 3; ++f) {
        ULONG taps = ZarAudDSrvTaps(f);
        for (ULONG k = 0; k < taps / 2; ++k) EXPECT_NEAR(table[f - 1][31][k], table[f - 1][31][taps - 1 - k], 8);
        EXPECT_GT(table[f - 1][0][taps / 2 - 1], 32000);
    }
}

TEST(ZarkdAudioRules, FilterChoiceFollowsTheSpeedAroundTheBase)
{
    struct Row {
        ULONG base;
        LONG speed;
        ULONG filter;
    } rows[] = {
        {1, 48001, 3}, {1, 48000, 2}, {1, 24001, 2}, {1, 24000, 1}, {1, 16001, 1}, {1, 16000, 0},
        {1, 9601, 0},  {1, 9600, 0},  {2, 9600, 0},  {3, 9600, 1},  {3, 96000, 3}, {2, -48000, 3},
        {0, 1, 0},
    };
    for (const Row& r : rows) EXPECT_EQ(ZarAudDSrvCalcFilterNum(r.base, r.speed, 48000), r.filter) << r.base << "/" << r.speed;
}

TEST(ZarkdAudioRules, SpeedRatiosReduceExactlyAndLongOnesAreReapproximated)
{
    struct Row {
        ULONG normal;
        LONG speed;
        LONG s;
        ULONG n;
    } rows[] = {
        {48000, 48000, 1, 1},  {48000, 24000, 1, 2},   {48000, 96000, 2, 1},  {48000, -72000, -3, 2},
        {48000, 47999, 1, 1},       // 47,999 : 48,000 is nearest 2,000 : 2,000
        {48000, 33333, 25, 36},     // 11,111 : 16,000 becomes 2,000 : 2,880
        {44100, 48000, 160, 147}, {48000, 0, 0, 1},
    };
    for (const Row& r : rows) {
        ZAR_DSRV_RATIO q = ZarAudDSrvReduceRatio(r.normal, r.speed);
        EXPECT_EQ(q.Speed, r.s) << r.normal << ":" << r.speed;
        EXPECT_EQ(q.Normal, r.n) << r.normal << ":" << r.speed;
    }
    struct Snap {
        LONG speed, snapped;
    } snaps[] = {{480, 480}, {479, 480}, {240, 480}, {239, 0}, {-300, -480}, {-100, 0}, {0, 0}};
    for (const Snap& s : snaps) EXPECT_EQ(ZarAudDSrvSnapSpeed(s.speed, 48000), s.snapped) << s.speed;
    struct Phase {
        ULONG fraction, phase;
    } phases[] = {{0, 0}, {511, 0}, {512, 1}, {0x8000, 32}, {0xFE00, 64}, {0xFFFF, 64}};
    for (const Phase& p : phases) EXPECT_EQ(ZarAudDSrvPhase(p.fraction), p.phase) << p.fraction;
}

// A change of speed keeps the position between two samples where it is:
// the new ratio's terms are scaled until they hold the old fraction.
TEST(ZarkdAudioRules, ASpeedChangeCarriesThePhaseBetweenSamplesExactly)
{
    struct Row {
        const char* what;
        ZAR_DSRV_RATIO old;
        ULONG remainder;
        ZAR_DSRV_RATIO next;
    } rows[] = {
        {"half a sample into 2x", {1, 2}, 1, {2, 1}},
        {"three quarters into 1x", {3, 4}, 3, {1, 1}},
        {"17/36 into 1:2", {25, 36}, 17, {1, 2}},
        {"backwards keeps its sign", {1, 3}, 2, {-3, 2}},
        {"into a stop", {7, 9}, 4, {0, 1}},
        {"on a sample: nothing to carry", {1, 2}, 0, {160, 147}},
        {"a fraction too fine for 2^30 is rounded", {1999, 1000003}, 500001, {2000, 999983}},
    };
    for (const Row& r : rows) {
        ULONG remainder = 99;
        ZAR_DSRV_RATIO q = ZarAudDSrvCarryRatio(r.old, r.remainder, r.next, &remainder);
        // The same speed, and the same fraction of a sample.
        EXPECT_EQ(LONGLONG(q.Speed) * r.next.Normal, LONGLONG(r.next.Speed) * q.Normal) << r.what;
        ASSERT_LT(remainder, q.Normal) << r.what;
        const double before = double(r.remainder) / r.old.Normal, after = double(remainder) / q.Normal;
        if (std::string(r.what).find("rounded") != std::string::npos)
            EXPECT_NEAR(after, before, 1.0 / (1 << 28)) << r.what;
        else
            EXPECT_EQ(LONGLONG(remainder) * r.old.Normal, LONGLONG(r.remainder) * q.Normal) << r.what;
        EXPECT_LE(q.Normal, 1u << 30) << r.what;
    }
}

// Through a ramp of eight speed changes the play position is the exact sum
// of what each fill advanced at its speed: no part of a sample is lost or
// gained at a change.
TEST(ZarkdAudioRules, ARampsPositionIsTheExactSumOfItsFillsAtTheirSpeeds)
{
    auto ext = std::make_unique<ZAR_DEVICE_EXTENSION>();
    std::vector<UCHAR> control(ZAR_DSRV_CONTROL_BYTES);
    std::vector<SHORT> data(64 * 2);
    ZAR_DSRV_STATE_BLOCK& s = ext->AudioDSrv;
    KeInitializeSpinLock(&s.Lock);
    KeInitializeSpinLock(&s.ExceptionLock);
    s.State = ZAR_DSRV_RUNNING;
    s.Prep.Slots = 1;
    s.Prep.BankATracks = 2;
    s.Prep.BankABytes = 64 * 4;
    s.Prep.Loop = 1;
    s.Prep.LoopEnd = 1 << 30;
    s.Prep.NormalSpeed = 48000;
    s.Prep.VariSpeed = 1;
    s.SlotFrames = 64;
    s.Control = control.data();
    s.Slot[0] = reinterpret_cast<PUCHAR>(data.data());
    s.SamplesPerHalf = 1024;
    s.Speed = 24000;
    s.Ratio = ZarAudDSrvReduceRatio(48000, 24000);
    s.Position = 1000;
    s.Remainder = 1;  // half a sample past 1,000
    s.RampStep = ZAR_DSRV_RAMP_FILLS;
    ext->AudioEngine.PlayDmaRunning = TRUE;
    LONG speed[2] = {37003, 2};  // a ramp whose steps are not whole samples a fill
    ASSERT_EQ(ZarAudDSrvSetSpeed(ext.get(), speed), STATUS_SUCCESS);
    double expected = 1000.5;
    for (ULONG k = 1; k <= ZAR_DSRV_RAMP_FILLS + 2; ++k) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);  // as a DPC runs
        ZarAudDSrvDpcFunc(nullptr, ext.get(), nullptr, nullptr);
        KeLowerIrql(old);
        LONG v = k >= ZAR_DSRV_RAMP_FILLS ? 37003 : LONG(24000 + LONGLONG(37003 - 24000) * k / ZAR_DSRV_RAMP_FILLS);
        ZAR_DSRV_RATIO q = ZarAudDSrvReduceRatio(48000, v);
        expected += 1024.0 * q.Speed / q.Normal;
        const double now = double(s.Position) + double(s.Remainder) / s.Ratio.Normal;
        EXPECT_NEAR(now, expected, 1e-6) << "fill " << k;
    }
    EXPECT_EQ(s.Speed, 37003);
}

// At 127/128 of normal the fraction reaches 127/128 of a sample, which
// rounds to phase 64: the next sample itself, not the one before it.
TEST(ZarkdAudioRules, APhaseThatRoundsToSixtyFourPlaysTheNextSample)
{
    constexpr ULONG kFrames = 64;
    auto ext = std::make_unique<ZAR_DEVICE_EXTENSION>();
    std::vector<UCHAR> control(ZAR_DSRV_CONTROL_BYTES);
    std::vector<SHORT> data(kFrames * 2);
    for (ULONG f = 0; f < kFrames; ++f) data[2 * f] = SHORT(100 * f), data[2 * f + 1] = 0;
    ZAR_DSRV_STATE_BLOCK& s = ext->AudioDSrv;
    s.Prep.Slots = 1;
    s.Prep.BankATracks = 2;
    s.Prep.BankABytes = kFrames * 4;
    s.Prep.LoopEnd = kFrames;
    s.Prep.NormalSpeed = 128;
    s.SlotFrames = kFrames;
    s.Control = control.data();
    s.Slot[0] = reinterpret_cast<PUCHAR>(data.data());
    s.Speed = 127;
    s.Ratio = ZarAudDSrvReduceRatio(128, 127);
    s.Filter = 1;
    s.RampStep = ZAR_DSRV_RAMP_FILLS;
    const LONG slot[8] = {0, 1, -1, -1, -1, -1, -1, -1};
    const ULONG stride[2] = {2, 0};
    std::vector<SHORT> out(2 * 4, -1);
    SHORT* const banks[2] = {out.data(), nullptr};
    ZarAudDSrvFill(ext.get(), banks, 4, stride, slot);
    EXPECT_EQ(out[0], 0) << "frame 0 on sample 0";
    EXPECT_EQ(out[2], 100) << "frame 1, 127/128 past sample 0: sample 1";
    EXPECT_NEAR(out[4], 200 - 200.0 / 128, 2) << "frame 2, 126/128 past sample 1, phase 63";
    EXPECT_EQ(s.Position, 3);
    EXPECT_EQ(s.Remainder, 124u);
}

// Every output sample is the filter's sum over the source frames around
// the play position, as the loop folds them and whichever slot holds each:
// also where the taps reach across a slot's end, across the loop's wrap and
// into slots held out of order, forwards and backwards, at every filter
// length, with full-range samples that drive the sum into its clamp.
TEST(ZarkdAudioRules, TheFilterReadsEveryTapAcrossSlotEndsAndTheLoopWrap)
{
    // The loop ends inside the last slot's data, so a run that reaches past
    // the loop's end still lies in a slot: the fold must win.
    constexpr ULONG kSlotFrames = 48, kSlots = 3, kLoop = kSlotFrames * kSlots - 10;
    auto source = [](LONGLONG position, ULONG track) {
        return SHORT(ULONG((ULONG(position) + 7) * 40503u + track * 9973u) * 2654435761u >> 16);
    };
    auto wrap = [](LONGLONG m) { return ((m % LONGLONG(kLoop)) + kLoop) % kLoop; };
    // Slot k holds positions from first[k]: not in the slots' order.
    const LONGLONG first[kSlots] = {2 * kSlotFrames, 0, kSlotFrames};
    std::vector<UCHAR> control(ZAR_DSRV_CONTROL_BYTES);
    std::vector<std::vector<SHORT>> data(kSlots, std::vector<SHORT>(kSlotFrames * 6));
    for (ULONG k = 0; k < kSlots; ++k) {
        std::memcpy(control.data() + 288 + 8 * k, &first[k], sizeof(first[k]));
        for (ULONG f = 0; f < kSlotFrames; ++f) {
            for (ULONG t = 0; t < 4; ++t) data[k][4 * f + t] = source(first[k] + f, t);
            for (ULONG t = 0; t < 2; ++t) data[k][kSlotFrames * 4 + 2 * f + t] = source(first[k] + f, 4 + t);
        }
    }
    struct Case {
        ULONG filter;
        LONG speed;
    };
    const Case cases[] = {{3, 91200}, {3, -62400}, {2, 30000}, {1, -110000}, {0, 48000}, {2, 47999}};
    const LONG slot[8] = {0, 1, 2, 3, 0, 1, -1, -1};
    const ULONG stride[2] = {4, 2};
    for (const Case& c : cases) {
        SCOPED_TRACE("filter " + std::to_string(c.filter) + " speed " + std::to_string(c.speed));
        auto ext = std::make_unique<ZAR_DEVICE_EXTENSION>();
        ZAR_DSRV_STATE_BLOCK& s = ext->AudioDSrv;
        s.Prep.Slots = kSlots;
        s.Prep.BankATracks = 4;
        s.Prep.BankABytes = kSlotFrames * 8;
        s.Prep.BankBTracks = 2;
        s.Prep.BankBBytes = kSlotFrames * 4;
        s.Prep.BankBOffset = kSlotFrames * 4;
        s.Prep.Loop = 1;
        s.Prep.LoopEnd = kLoop;
        s.Prep.NormalSpeed = 48000;
        s.SlotFrames = kSlotFrames;
        s.Control = control.data();
        for (ULONG k = 0; k < kSlots; ++k) s.Slot[k] = reinterpret_cast<PUCHAR>(data[k].data());
        s.Speed = c.speed;
        s.Ratio = ZarAudDSrvReduceRatio(48000, c.speed);
        s.Filter = c.filter;
        s.RampStep = ZAR_DSRV_RAMP_FILLS;
        s.Position = 2 * kSlotFrames - 5;  // in slot 2, near its end
        s.CurrentSlot = 2;
        for (ULONG i = 0; i < 400; ++i) {
            const LONGLONG position = s.Position;
            const ULONG N = s.Ratio.Normal;
            ULONG phase = ZarAudDSrvPhase(ULONG((ULONGLONG(s.Remainder) << 16) / N));
            LONGLONG n = position + (phase == 64 ? 1 : 0);
            if (phase == 64) phase = 0;
            SHORT a[4] = {-1, -1, -1, -1}, b[2] = {-1, -1};
            SHORT* const out[2] = {a, b};
            ZarAudDSrvFill(ext.get(), out, 1, stride, slot);
            const bool copy = c.filter == 0 || phase == 0;
            const LONG taps = copy ? 1 : LONG(ZarAudDSrvTaps(c.filter));
            for (ULONG t = 0; t < 6; ++t) {
                LONGLONG sum = 0;
                if (copy) {
                    sum = LONGLONG(source(wrap(n), t)) << 15;
                } else {
                    const LONG* coefficient = ZarAudDSrvFilterTable()[c.filter - 1][phase - 1];
                    for (LONG k = 0; k < taps; ++k)
                        sum += LONGLONG(coefficient[k]) * source(wrap(n - taps / 2 + 1 + k), t);
                }
                sum >>= 15;
                const SHORT expected = SHORT(sum > 32767 ? 32767 : sum < -32768 ? -32768 : sum);
                ASSERT_EQ(t < 4 ? a[t] : b[t - 4], expected) << "frame " << i << " at " << position << " track " << t;
            }
        }
    }
}

TEST(ZarkdAudioRules, RequestCodesAskForTheSlotsAheadAndMirrorBackwards)
{
    // Eight slots, slot 2 playing.
    const ULONG forward[8] = {1, 2, 3, 6, 5, 4, 0, 0}, backward[8] = {5, 6, 3, 2, 1, 0, 0, 4};
    const ULONG plain[8] = {0, 0, 0, 6, 5, 0, 0, 0};
    for (ULONG slot = 0; slot < 8; ++slot) {
        EXPECT_EQ(ZarAudDSrvRequestCode(slot, 2, 8, true, false), forward[slot]) << slot;
        EXPECT_EQ(ZarAudDSrvRequestCode(slot, 2, 8, true, true), backward[slot]) << slot;
        EXPECT_EQ(ZarAudDSrvRequestCode(slot, 2, 8, false, false), plain[slot]) << slot;
    }
    // Crossing from the last slot to the first, both ways.
    EXPECT_EQ(ZarAudDSrvRequestCode(1, 0, 4, false, false), 6u);
    EXPECT_EQ(ZarAudDSrvRequestCode(3, 0, 4, false, true), 6u);
    EXPECT_EQ(ZarAudDSrvRequestCode(2, 0, 4, false, true), 5u);
}

// One fill writes both banks from the slot data's banks at the same
// position: each DMA track gets its own track of the slot data, tracks the
// slot data lacks play silence, and a missing source silences only the bank
// whose routing names it.
TEST(ZarkdAudioRules, OneFillFeedsBothBanksTrackForTrackFromTheSlotData)
{
    constexpr ULONG kFrames = 64;
    auto ext = std::make_unique<ZAR_DEVICE_EXTENSION>();
    std::vector<UCHAR> control(ZAR_DSRV_CONTROL_BYTES);
    // Slot data: four bank-A tracks, then (at a 16-bit offset past them) two bank-B tracks.
    std::vector<SHORT> data(kFrames * 4 + 8 + kFrames * 2);
    auto sample = [](ULONG bank, ULONG track, ULONG frame) { return SHORT(1000 * (bank + 1) + 100 * track + frame); };
    for (ULONG f = 0; f < kFrames; ++f) {
        for (ULONG t = 0; t < 4; ++t) data[4 * f + t] = sample(0, t, f);
        for (ULONG t = 0; t < 2; ++t) data[kFrames * 4 + 8 + 2 * f + t] = sample(1, t, f);
    }
    ZAR_DSRV_STATE_BLOCK& s = ext->AudioDSrv;
    s.Prep.Slots = 1;
    s.Prep.Sources = 2;
    s.Prep.BankATracks = 4;
    s.Prep.BankABytes = kFrames * 8;
    s.Prep.BankBTracks = 2;
    s.Prep.BankBBytes = kFrames * 4;
    s.Prep.BankBOffset = kFrames * 4 + 8;
    s.Prep.Routing[0][1] = 0x1;  // source 1 feeds track 0 of bank A only
    s.Prep.Routing[1][1] = 0x0;  // ... and all of bank B
    s.Prep.Routing[0][0] = 0x2;
    s.Prep.Routing[1][0] = 0x8;  // source 0: track 1 and track 7 (absent from the slot data)
    s.Prep.LoopEnd = kFrames;
    s.Prep.NormalSpeed = 48000;
    s.SlotFrames = kFrames;
    s.Control = control.data();
    s.Slot[0] = reinterpret_cast<PUCHAR>(data.data());
    s.Speed = 48000;
    s.Ratio = ZarAudDSrvReduceRatio(48000, 48000);
    s.RampStep = ZAR_DSRV_RAMP_FILLS;
    // Bank A plays tracks 0-3 (slots 0-3), bank B tracks 4, 5 and 7 (slots 0-2; 6 unused).
    const LONG slot[8] = {0, 1, 2, 3, 0, 1, -1, 2};
    const ULONG stride[2] = {4, 3};
    std::vector<SHORT> a(16 * 4, -1), b(16 * 3, -1);
    SHORT* const out[2] = {a.data(), b.data()};
    ZarAudDSrvFill(ext.get(), out, 16, stride, slot);
    for (ULONG f = 0; f < 16; ++f) {
        for (ULONG t = 0; t < 4; ++t) EXPECT_EQ(a[4 * f + t], sample(0, t, f)) << "A " << t << "/" << f;
        EXPECT_EQ(b[3 * f + 0], sample(1, 0, f)) << "track 4/" << f;
        EXPECT_EQ(b[3 * f + 1], sample(1, 1, f)) << "track 5/" << f;
        EXPECT_EQ(b[3 * f + 2], 0) << "track 7 has no slot data/" << f;
    }
    EXPECT_EQ(s.Position, 16);

    // Source 1 missing: track 0 and all of bank B fall silent; the rest plays on.
    s.Missing[1] = TRUE;
    ZarAudDSrvFill(ext.get(), out, 16, stride, slot);
    for (ULONG f = 0; f < 16; ++f) {
        EXPECT_EQ(a[4 * f + 0], 0) << f;
        EXPECT_EQ(a[4 * f + 1], sample(0, 1, 16 + f)) << f;
        EXPECT_EQ(b[3 * f + 0], 0) << f;
        EXPECT_EQ(b[3 * f + 1], 0) << f;
    }
    // Without bank B's buffer only bank A is written.
    s.Missing[1] = FALSE;
    std::fill(b.begin(), b.end(), SHORT(-1));
    SHORT* const onlyA[2] = {a.data(), nullptr};
    ZarAudDSrvFill(ext.get(), onlyA, 16, stride, slot);
    EXPECT_EQ(a[0], sample(0, 0, 32));
    for (SHORT v : b) EXPECT_EQ(v, -1);
}

class ZarkdAudioServer : public ZarkdAudio {
protected:
    static constexpr ULONG kSlotFrames = 8192, kSlots = 4, kCycles = 683;  // 1,000.49 Hz at 1x

    // The tone on bank A's first track of the slot data (track 0), or with
    // 'bankB' on bank B's first (track 4) with bank A silent.
    void Prepare(LONG speedTimesTen, bool bankB = false, bool loop = true)
    {
        control_.assign(ZAR_DSRV_CONTROL_BYTES / 4, 0);
        // Each slot: bank A's two tracks, then bank B's two.
        slots_.assign(kSlots, std::vector<int16_t>(kSlotFrames * 4));
        for (ULONG s = 0; s < kSlots; ++s) {
            for (ULONG f = 0; f < kSlotFrames; ++f) {
                double x = 2 * M_PI * kCycles * double(s * kSlotFrames + f) / (kSlots * kSlotFrames);
                slots_[s][(bankB ? 2 * kSlotFrames : 0) + 2 * f] = int16_t(std::lround(12000 * std::sin(x)));
            }
            LONGLONG position = LONGLONG(s) * kSlotFrames;
            std::memcpy(&control_[(288 + 8 * s) / 4], &position, 8);
            control_[(896 + 32 * s) / 4] = 1;  // source 0 valid
        }
        semaphore_ = CreateSemaphoreA(nullptr, 0, 1000, nullptr);
        ZAR_DSRV_PREPARE p{};
        p.ControlBlock = U(control_.data());
        p.TrackMask = 0x03;
        p.Sources = 1;
        p.Slots = kSlots;
        for (ULONG s = 0; s < kSlots; ++s) p.SlotBuffer[s] = U(slots_[s].data());
        p.BankABytes = kSlotFrames * 4;
        p.BankATracks = 2;
        p.BankBBytes = kSlotFrames * 4;
        p.BankBOffset = kSlotFrames * 2;
        p.BankBTracks = 2;
        if (bankB) p.TrackMask = 0x30;
        p.LoopStart = 0;
        p.LoopEnd = kSlots * kSlotFrames;
        p.NormalSpeed = 48000;
        p.VariSpeed = 1;
        p.Loop = loop;
        p.BaseFilter = 1;
        p.Semaphore = U(semaphore_);
        ASSERT_EQ(Send(IOCTL_ZAR_AUD_DSRV_PREP_PLAY, &p, sizeof(p), nullptr, 0).status, STATUS_SUCCESS);
        LONG speed[2] = {48000 * speedTimesTen / 10, 1};
        ASSERT_EQ(Send(IOCTL_ZAR_AUD_DSRV_SET_SPEED, speed, sizeof(speed), nullptr, 0).status, STATUS_SUCCESS);
        ASSERT_EQ(Send(IOCTL_ZAR_AUD_DSRV_INIT_BUFFERS, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
    }
    void TearDown() override
    {
        if (semaphore_ != nullptr) CloseHandle(semaphore_);
        ZarkdAudio::TearDown();
    }
    NTSTATUS StartPlay()
    {
        ZAR_AUDIO_PLAY_COMMAND c{};
        c.FixedSpeed = 1;
        c.EndField = 1000000;
        c.Wait = 1;
        return Send(IOCTL_ZAR_AUD_DSRV_START_PLAY, &c, sizeof(c), nullptr, 0).status;
    }
    std::vector<ZAR_DSRV_EXCEPTION> Exceptions()
    {
        std::vector<ZAR_DSRV_EXCEPTION> all;
        ZAR_DSRV_EXCEPTION e{};
        while (Send(IOCTL_ZAR_AUD_DSRV_GET_EXCEPTION, &e, 16, &e, 16).status == STATUS_SUCCESS) all.push_back(e);
        return all;
    }
    static LONGLONG PositionOf(const ZAR_DSRV_EXCEPTION& e) { return LONGLONG((ULONGLONG(e.PositionHigh) << 32) | e.PositionLow); }

    std::vector<ULONG> control_;
    std::vector<std::vector<int16_t>> slots_;
    HANDLE semaphore_ = nullptr;
};

TEST_F(ZarkdAudioServer, PlaysAtHalfNormalAndDoubleSpeedWithThePitchOfTheSpeed)
{
    ZAR_AUDIO_TRACK_CONTROL unity{};
    unity.Level = ZAR_AUDIO_LEVEL_UNITY;
    ASSERT_EQ(SetTrack(0, ZAR_TRACK_LEVEL, unity), STATUS_SUCCESS);
    ASSERT_EQ(SetTrack(4, ZAR_TRACK_LEVEL, unity), STATUS_SUCCESS);
    ASSERT_EQ(Source(5), STATUS_SUCCESS);
    ASSERT_EQ(RegisterEvents(), STATUS_SUCCESS);
    // Bank A at each speed, then bank B (track 4, its own DMA channel) at 2x.
    struct Run {
        LONG tenths;
        bool bankB;
    } runs[] = {{5, false}, {10, false}, {20, false}, {20, true}};
    for (const Run& run : runs) {
        const LONG tenths = run.tenths;
        SCOPED_TRACE(testing::Message() << tenths << (run.bankB ? " bank B" : " bank A"));
        Prepare(tenths, run.bankB);
        if (HasFatalFailure()) return;
        ZAR_AUDIO_PLAY_COMMAND c{};
        c.FixedSpeed = 1;
        c.EndField = 1000000;
        c.Wait = 1;
        ASSERT_EQ(Send(IOCTL_ZAR_AUD_DSRV_START_PLAY, &c, sizeof(c), nullptr, 0).status, STATUS_SUCCESS);
        RunFields(4);
        Board().Audio().KeepMix(true);
        RunFields(30);
        Board().Audio().KeepMix(false);
        ULONG status[4] = {};
        ASSERT_EQ(Send(IOCTL_ZAR_AUD_DSRV_GET_CURRENT_STATUS, status, 16, status, 16).status, STATUS_SUCCESS);
        EXPECT_EQ(status[0], 1u);
        EXPECT_EQ(LONG(status[3]), 48000 * tenths / 10);
        ASSERT_EQ(Send(IOCTL_ZAR_AUD_DSRV_STOP_PLAY, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
        // The mix's left side carries the track: its zero crossings give the pitch.
        const std::vector<int16_t>& mix = Board().Audio().Mix();
        ASSERT_GE(mix.size(), 2 * 24000u);
        double crossings = 0, power = 0;
        size_t frames = mix.size() / 2;
        for (size_t i = 1; i < frames; ++i) {
            if ((mix[2 * (i - 1)] < 0) != (mix[2 * i] < 0)) ++crossings;
            power += double(mix[2 * i]) * mix[2 * i];
        }
        double hz = crossings / 2 / (double(frames) / kSampleRate);
        double expected = 48000.0 * kCycles / (kSlots * kSlotFrames) * tenths / 10;
        EXPECT_NEAR(hz, expected, expected * 0.01);
        // The level is the slot data's, within the interpolation's ripple.
        EXPECT_NEAR(10 * std::log10(power / frames), 20 * std::log10(12000 / std::sqrt(2.0)), 0.5);
        ZAR_DSRV_EXCEPTION e{};
        NTSTATUS got = Send(IOCTL_ZAR_AUD_DSRV_GET_EXCEPTION, &e, 16, &e, 16).status;
        EXPECT_EQ(got, STATUS_SUCCESS);
        EXPECT_EQ(e.Code, ULONG(ZAR_DSRV_STOPPED));
        CloseHandle(semaphore_);
        semaphore_ = nullptr;
        Board().Audio().KeepMix(false);
        const_cast<std::vector<int16_t>&>(Board().Audio().Mix()).clear();
    }
}

// The library hears of an underflow of the DMA's FIFO (code 10), and a
// play without loop stops the DMA where the data ends, telling the library
// so (code 1 at the end position); the stop then frees what it held.
TEST_F(ZarkdAudioServer, AnUnderflowIsPostedAndAPlayWithoutLoopStopsTheDmaAtItsEnd)
{
    ASSERT_EQ(RegisterEvents(), STATUS_SUCCESS);
    Prepare(10, false, false);
    if (HasFatalFailure()) return;
    ASSERT_EQ(StartPlay(), STATUS_SUCCESS);
    RunFields(4);
    Board().Audio().InjectPlayUnderflow();
    RunFields(2);
    std::vector<ZAR_DSRV_EXCEPTION> seen = Exceptions();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Code, ULONG(ZAR_DSRV_UNDERFLOW));
    EXPECT_GT(PositionOf(seen[0]), 0);
    EXPECT_LT(PositionOf(seen[0]), 48000 * 6 / 60);

    // 32,768 frames of data: 0.68 s, 41 fields from the start.
    const LONGLONG end = kSlots * kSlotFrames;
    RunFields(30);
    EXPECT_TRUE(ext_->AudioEngine.PlayDmaRunning) << "still short of the end";
    for (const ZAR_DSRV_EXCEPTION& e : Exceptions()) ADD_FAILURE() << "exception " << e.Code << " at " << PositionOf(e);
    RunFields(12);
    EXPECT_FALSE(ext_->AudioEngine.PlayDmaRunning) << "stopped at the end";
    seen = Exceptions();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Code, ULONG(ZAR_DSRV_STOPPED));
    EXPECT_EQ(PositionOf(seen[0]), end);
    ULONG status[4] = {};
    ASSERT_EQ(Send(IOCTL_ZAR_AUD_DSRV_GET_CURRENT_STATUS, status, 16, status, 16).status, STATUS_SUCCESS);
    EXPECT_EQ(status[0], 0u);
    EXPECT_EQ(status[1], ULONG(end));
    ASSERT_EQ(Send(IOCTL_ZAR_AUD_DSRV_STOP_PLAY, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(ext_->AudioDSrv.State, ZAR_DSRV_IDLE);
    EXPECT_EQ(ext_->AudioDSrv.ControlMdl, nullptr);
}

TEST_F(ZarkdAudioServer, PreparationRefusesCountsBeyondItsTablesAndASpeedOfZero)
{
    control_.assign(ZAR_DSRV_CONTROL_BYTES / 4, 0);
    std::vector<int16_t> slot(1024);
    ZAR_DSRV_PREPARE good{};
    good.ControlBlock = U(control_.data());
    good.Sources = 1;
    good.Slots = 1;
    good.SlotBuffer[0] = U(slot.data());
    good.BankABytes = 2048;
    good.BankATracks = 2;
    good.NormalSpeed = 48000;
    struct Row {
        const char* what;
        void (*change)(ZAR_DSRV_PREPARE&);
    } rows[] = {
        {"normal speed 0", [](ZAR_DSRV_PREPARE& p) { p.NormalSpeed = 0; }},
        {"normal speed above 2^30", [](ZAR_DSRV_PREPARE& p) { p.NormalSpeed = (1u << 30) + 1; }},
        {"nine sources", [](ZAR_DSRV_PREPARE& p) { p.Sources = 9; }},
        {"nine slots", [](ZAR_DSRV_PREPARE& p) { p.Slots = 9; }},
        {"filter 4", [](ZAR_DSRV_PREPARE& p) { p.BaseFilter = 4; }},
        {"bank B shorter than bank A", [](ZAR_DSRV_PREPARE& p) { p.BankBTracks = 2, p.BankBBytes = 1024; }},
        {"bank B past 2 GB", [](ZAR_DSRV_PREPARE& p) { p.BankBTracks = 4, p.BankBBytes = 4096, p.BankBOffset = 0x40000000; }},
    };
    for (const Row& r : rows) {
        ZAR_DSRV_PREPARE p = good;
        r.change(p);
        EXPECT_EQ(Send(IOCTL_ZAR_AUD_DSRV_PREP_PLAY, &p, sizeof(p), nullptr, 0).status, STATUS_INVALID_PARAMETER) << r.what;
    }
    ZAR_DSRV_PREPARE faulting = good;
    faulting.SlotBuffer[0] = U(noAccess_);
    EXPECT_EQ(Send(IOCTL_ZAR_AUD_DSRV_PREP_PLAY, &faulting, sizeof(faulting), nullptr, 0).status,
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ext_->AudioDSrv.State, ZAR_DSRV_IDLE);
    ASSERT_EQ(Send(IOCTL_ZAR_AUD_DSRV_PREP_PLAY, &good, sizeof(good), nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Send(IOCTL_ZAR_AUD_DSRV_PREP_PLAY, &good, sizeof(good), nullptr, 0).status, STATUS_UNSUCCESSFUL);
    LONG speed[2] = {24000, 1};
    EXPECT_EQ(Send(IOCTL_ZAR_AUD_DSRV_SET_SPEED, speed, 8, nullptr, 0).status, STATUS_UNSUCCESSFUL) << "not vari-speed";
    ZAR_DSRV_EXCEPTION e{};
    EXPECT_EQ(Send(IOCTL_ZAR_AUD_DSRV_GET_EXCEPTION, &e, 16, &e, 16).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Send(IOCTL_ZAR_AUD_DSRV_UNPREP_PLAY, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
}

}  // namespace
