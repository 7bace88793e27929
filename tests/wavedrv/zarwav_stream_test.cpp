// Wave-out and wave-in through WinMM: the header rules, the formats each
// direction takes, and a tone played while the board's loop-back is
// recorded, with nothing lost or repeated on the way.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tests/support/temp_folder.h"
#include "tests/wavedrv/zarwav_machine.h"
#include "tools/wave_file.h"

namespace {

WAVEFORMATEX Pcm(DWORD rate, WORD channels = 2, WORD bits = 16)
{
    WORD block = WORD(channels * bits / 8);
    return WAVEFORMATEX{WAVE_FORMAT_PCM, channels, rate, rate * block, block, bits, 0};
}

class ZarWavStream : public ZarWavMachine {
protected:
    void SetUp() override
    {
        ZarWavMachine::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(waveOutGetNumDevs(), 1u);
        ASSERT_EQ(waveInGetNumDevs(), 1u);
        event_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    void TearDown() override
    {
        if (event_ != nullptr) CloseHandle(event_);
        ZarWavMachine::TearDown();
    }
    // Waits for the driver to return a header.
    void WaitDone(const WAVEHDR& h)
    {
        for (int i = 0; i < 1000 && !(h.dwFlags & WHDR_DONE); ++i) WaitForSingleObject(event_, 1000);
        ASSERT_TRUE(h.dwFlags & WHDR_DONE);
    }
    HANDLE event_ = nullptr;
};

TEST_F(ZarWavStream, CapabilitiesNameBothDevices)
{
    WAVEOUTCAPSA out{};
    ASSERT_EQ(waveOutGetDevCapsA(0, &out, sizeof out), MMSYSERR_NOERROR);
    EXPECT_STREQ(out.szPname, "Solvane Wave Out");
    EXPECT_EQ(out.wMid, 191);
    EXPECT_EQ(out.dwFormats, 0xFFFu);
    EXPECT_EQ(out.wChannels, 2);
    EXPECT_EQ(out.dwSupport, DWORD(WAVECAPS_VOLUME | WAVECAPS_LRVOLUME));
    WAVEINCAPSA in{};
    ASSERT_EQ(waveInGetDevCapsA(0, &in, sizeof in), MMSYSERR_NOERROR);
    EXPECT_STREQ(in.szPname, "Solvane Wave In");
    EXPECT_EQ(waveOutGetDevCapsA(1, &out, sizeof out), MMSYSERR_BADDEVICEID);
}

TEST_F(ZarWavStream, EachDirectionTakesItsFormats)
{
    struct Row {
        bool out;
        WAVEFORMATEX format;
        MMRESULT expected;
    } rows[] = {
        {false, Pcm(8000), WAVERR_BADFORMAT},
        {true, Pcm(8000), MMSYSERR_NOERROR},
        {false, Pcm(11025, 1, 8), MMSYSERR_NOERROR},
        {false, Pcm(48000), MMSYSERR_NOERROR},
        {true, Pcm(3999), WAVERR_BADFORMAT},
        {true, Pcm(96000), MMSYSERR_NOERROR},
        {true, Pcm(96001), WAVERR_BADFORMAT},
        {true, Pcm(44100, 3), WAVERR_BADFORMAT},
        {true, Pcm(44100, 2, 24), WAVERR_BADFORMAT},
    };
    for (const Row& r : rows) {
        WAVEFORMATEX f = r.format;
        // The query answers without opening, the open as the query did.
        if (r.out) {
            EXPECT_EQ(waveOutOpen(nullptr, 0, &f, 0, 0, WAVE_FORMAT_QUERY), r.expected) << f.nSamplesPerSec;
            HWAVEOUT h = nullptr;
            ASSERT_EQ(waveOutOpen(&h, 0, &f, 0, 0, 0), r.expected) << f.nSamplesPerSec;
            if (h != nullptr) {
                EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
            }
        } else {
            EXPECT_EQ(waveInOpen(nullptr, 0, &f, 0, 0, WAVE_FORMAT_QUERY), r.expected) << f.nSamplesPerSec;
            HWAVEIN h = nullptr;
            ASSERT_EQ(waveInOpen(&h, 0, &f, 0, 0, 0), r.expected) << f.nSamplesPerSec;
            if (h != nullptr) {
                EXPECT_EQ(waveInClose(h), MMSYSERR_NOERROR);
            }
        }
    }
    // One program at a time on a device.
    WAVEFORMATEX f = Pcm(48000);
    HWAVEOUT first = nullptr, second = nullptr;
    ASSERT_EQ(waveOutOpen(&first, 0, &f, 0, 0, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutOpen(&second, 0, &f, 0, 0, 0), MMSYSERR_ALLOCATED);
    EXPECT_EQ(waveOutClose(first), MMSYSERR_NOERROR);
}

TEST_F(ZarWavStream, AHeaderMustBePreparedAndQueuedOnce)
{
    WAVEFORMATEX f = Pcm(48000);
    HWAVEOUT h = nullptr;
    ASSERT_EQ(waveOutOpen(&h, 0, &f, DWORD_PTR(event_), 0, CALLBACK_EVENT), MMSYSERR_NOERROR);
    std::vector<char> data(16384);
    WAVEHDR header = MakeHeader(data.data(), DWORD(data.size()));
    EXPECT_EQ(waveOutWrite(h, &header, sizeof header), WAVERR_UNPREPARED);
    ASSERT_EQ(waveOutPrepareHeader(h, &header, sizeof header), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(h, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutWrite(h, &header, sizeof header), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutUnprepareHeader(h, &header, sizeof header), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutClose(h), WAVERR_STILLPLAYING) << "a close would lose the queued buffer";
    WaitDone(header);
    MMTIME t{};
    t.wType = TIME_BYTES;
    ASSERT_EQ(waveOutGetPosition(h, &t, sizeof t), MMSYSERR_NOERROR);
    EXPECT_EQ(t.wType, UINT(TIME_BYTES));
    EXPECT_EQ(t.u.cb, 16384u);
    t.wType = TIME_MS;
    ASSERT_EQ(waveOutGetPosition(h, &t, sizeof t), MMSYSERR_NOERROR);
    EXPECT_EQ(t.wType, UINT(TIME_SAMPLES));
    EXPECT_EQ(t.u.sample, 4096u);
    EXPECT_EQ(waveOutGetPosition(h, &t, 8), MMSYSERR_ERROR);
    EXPECT_EQ(waveOutUnprepareHeader(h, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

TEST_F(ZarWavStream, ResetReturnsEveryQueuedBuffer)
{
    WAVEFORMATEX f = Pcm(48000);
    HWAVEOUT h = nullptr;
    ASSERT_EQ(waveOutOpen(&h, 0, &f, DWORD_PTR(event_), 0, CALLBACK_EVENT), MMSYSERR_NOERROR);
    std::vector<std::vector<char>> data(8, std::vector<char>(32768));
    std::vector<WAVEHDR> headers(8);
    for (size_t i = 0; i < headers.size(); ++i) {
        headers[i] = MakeHeader(data[i].data(), DWORD(data[i].size()));
        ASSERT_EQ(waveOutPrepareHeader(h, &headers[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(h, &headers[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
    for (const WAVEHDR& hd : headers) EXPECT_EQ(hd.dwFlags & (WHDR_DONE | WHDR_INQUEUE), DWORD(WHDR_DONE));
    EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

// Frequency by zero crossings, peak, and the largest step between
// neighbouring samples against what the tone allows.
struct Tone {
    double hz = 0, peak = 0, amplitude = 0, worstStep = 0;
};
Tone Measure(const std::vector<int16_t>& s, size_t from, size_t count, double rate)
{
    Tone t;
    size_t crossings = 0;
    double power = 0;
    for (size_t n = from + 1; n < from + count; ++n) {
        if ((s[n - 1] < 0) != (s[n] < 0)) ++crossings;
        t.peak = std::max(t.peak, std::fabs(double(s[n])));
        t.worstStep = std::max(t.worstStep, std::fabs(double(s[n]) - s[n - 1]));
        power += double(s[n]) * s[n];
    }
    t.hz = crossings / 2.0 / (count / rate);
    t.amplitude = std::sqrt(2 * power / (count - 1));
    return t;
}

TEST_F(ZarWavStream, ATonePlayedComesBackThroughTheLoopBackWhole)
{
    // The record mix: the digital wave, the play mix looped back.
    HMIXER mixer = nullptr;
    ASSERT_EQ(mixerOpen(&mixer, 0, 0, 0, 0), MMSYSERR_NOERROR);
    std::vector<DWORD> items{0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
    MIXERCONTROLDETAILS d{sizeof d, 4, 1, {}, sizeof(DWORD), items.data()};
    d.cMultipleItems = 10;
    ASSERT_EQ(mixerSetControlDetails(reinterpret_cast<HMIXEROBJ>(mixer), &d, MIXER_OBJECTF_HMIXER), MMSYSERR_NOERROR);

    constexpr double kHz = 997;  // no whole number of cycles in a buffer: a lost one shows
    constexpr DWORD kRate = 48000, kPlayBuffers = 12, kPlayFrames = 4000, kRecBuffers = 8, kRecFrames = 2048;
    WAVEFORMATEX f = Pcm(kRate);
    HWAVEIN in = nullptr;
    HWAVEOUT out = nullptr;
    ASSERT_EQ(waveInOpen(&in, 0, &f, DWORD_PTR(event_), 0, CALLBACK_EVENT), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutOpen(&out, 0, &f, DWORD_PTR(event_), 0, CALLBACK_EVENT), MMSYSERR_NOERROR);

    std::vector<std::vector<int16_t>> recData(kRecBuffers, std::vector<int16_t>(2 * kRecFrames));
    std::vector<WAVEHDR> rec(kRecBuffers);
    for (DWORD i = 0; i < kRecBuffers; ++i) {
        rec[i] = MakeHeader(reinterpret_cast<LPSTR>(recData[i].data()), 4 * kRecFrames);
        ASSERT_EQ(waveInPrepareHeader(in, &rec[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInAddBuffer(in, &rec[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    }
    std::vector<std::vector<int16_t>> playData(kPlayBuffers, std::vector<int16_t>(2 * kPlayFrames));
    std::vector<WAVEHDR> play(kPlayBuffers);
    for (DWORD b = 0; b < kPlayBuffers; ++b) {
        for (DWORD n = 0; n < kPlayFrames; ++n) {
            const int16_t v = int16_t(std::lround(4000 * std::sin(2 * M_PI * kHz * (b * kPlayFrames + n) / kRate)));
            playData[b][2 * n] = playData[b][2 * n + 1] = v;
        }
        play[b] = MakeHeader(reinterpret_cast<LPSTR>(playData[b].data()), 4 * kPlayFrames);
        ASSERT_EQ(waveOutPrepareHeader(out, &play[b], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    for (WAVEHDR& h : play) ASSERT_EQ(waveOutWrite(out, &h, sizeof h), MMSYSERR_NOERROR);

    // Recorded buffers in the order they come back, each queued again.
    std::vector<int16_t> recorded;
    DWORD next = 0;
    while (recorded.size() < 2 * kRate * 1.2) {
        WAVEHDR& h = rec[next % kRecBuffers];
        WaitDone(h);
        if (HasFatalFailure()) break;
        ASSERT_EQ(h.dwBytesRecorded, 4 * kRecFrames) << "buffer " << next;
        const auto* s = reinterpret_cast<const int16_t*>(h.lpData);
        recorded.insert(recorded.end(), s, s + h.dwBytesRecorded / 2);
        h.dwFlags &= ~WHDR_DONE;
        ASSERT_EQ(waveInAddBuffer(in, &h, sizeof h), MMSYSERR_NOERROR);
        ++next;
    }
    for (WAVEHDR& h : play) WaitDone(h);
    MMTIME t{};
    t.wType = TIME_BYTES;
    ASSERT_EQ(waveOutGetPosition(out, &t, sizeof t), MMSYSERR_NOERROR);
    EXPECT_EQ(t.u.cb, kPlayBuffers * kPlayFrames * 4);
    ASSERT_EQ(waveInReset(in), MMSYSERR_NOERROR);
    for (WAVEHDR& h : rec) EXPECT_TRUE(h.dwFlags & WHDR_DONE);
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    mixerClose(mixer);

    // The left channel from where the tone starts, half a second of it.
    std::vector<int16_t> left;
    for (size_t n = 0; n < recorded.size(); n += 2) left.push_back(recorded[n]);
    size_t start = 0;
    while (start < left.size() && std::abs(left[start]) < 500) ++start;
    ASSERT_LT(start + kRate / 2, left.size()) << "no tone came back";
    Tone tone = Measure(left, start + 100, kRate / 2, kRate);
    EXPECT_NEAR(tone.hz, kHz, kHz * 0.01);
    EXPECT_GT(tone.amplitude, 1000) << "the tone comes back at a level";
    EXPECT_LT(tone.peak, 32000) << "and unclipped";
    // A lost or repeated stretch would jump; a whole tone never steps more
    // than its slope allows.
    EXPECT_LT(tone.worstStep, tone.amplitude * 2 * M_PI * kHz / kRate * 1.2);

    // Written as a WAVE file, the recording opens in an ordinary tool.
    TempFolder folder;
    const std::string file = folder.Path().string() + "/loopback.wav";
    std::string error;
    ASSERT_TRUE(wavefile::Write(file, recorded.data(), uint32_t(recorded.size() / 2), 2, kRate, &error)) << error;
    if (std::system("python3 -c 'import wave' 2>/dev/null") != 0) GTEST_SKIP() << "no python3 to open the file with";
    const std::string check = "python3 -c \"import sys, wave; w = wave.open(sys.argv[1]); "
                              "sys.exit(0 if (w.getnchannels(), w.getsampwidth(), w.getframerate(), w.getnframes()) == "
                              "(2, 2, 48000, " + std::to_string(recorded.size() / 2) + ") else 1)\" " + file;
    EXPECT_EQ(std::system(check.c_str()), 0) << check;
}

}  // namespace
