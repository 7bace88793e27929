// The demo's audio section: two tones played on tracks 0 and 1 through the
// board's audio DMA, track 1 faded in by a level ramp, the board's loop-back
// recorded through the caller's record ring and written as a WAVE file,
// then the recording measured. Everything goes through the board's
// user-mode control codes.

#include "demo_audio.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "include/zarkd.h"
#include "include/zarkd_audio.h"
#include "demo_board.h"
#include "wave_file.h"
#include "win32.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kRate = 48000;
constexpr uint32_t kHalfSamples = ZAR_AUDIO_SAMPLES_DEFAULT / 2;
constexpr uint32_t kRecordSource = 5;  // the board's play mix, looped back
constexpr uint32_t kRampFields = 30;   // track 1's fade in: half a second

uint32_t Address(const void* p) { return uint32_t(reinterpret_cast<uintptr_t>(p)); }

// A tone with a whole number of cycles in a bank half, so the halves
// repeat without a seam.
std::vector<int16_t> Tone(uint32_t cycles, double amplitude)
{
    std::vector<int16_t> s(kHalfSamples);
    for (uint32_t i = 0; i < kHalfSamples; ++i)
        s[i] = int16_t(std::lround(amplitude * std::sin(2 * M_PI * cycles * i / kHalfSamples)));
    return s;
}

struct Measure {
    double hz = 0, dbfs = -120;
};

// Frequency by zero crossings and RMS level of one channel over [from, to).
Measure MeasureChannel(const std::vector<int16_t>& frames, int channel, size_t from, size_t to)
{
    Measure m;
    double power = 0;
    size_t crossings = 0;
    for (size_t n = from + 1; n < to; ++n) {
        const int16_t a = frames[2 * (n - 1) + channel], b = frames[2 * n + channel];
        power += double(b) * b;
        if ((a < 0) != (b < 0)) ++crossings;
    }
    const size_t count = to > from + 1 ? to - from - 1 : 1;
    m.hz = crossings / 2.0 / (double(count) / kRate);
    if (power > 0) m.dbfs = 10 * std::log10(power / count / (32768.0 * 32768.0)) + 3.01;  // a full-scale sine: 0 dB
    return m;
}

}  // namespace

void ShowAudio(const DemoAudioContext& context)
{
    std::printf("\n== Audio: two tracks played, looped back and recorded ==\n");
    DemoBoard board(context.board);
    if (!board.Open()) return;
    std::printf("  track 0: 1,002 Hz at -6 dBFS; track 1: 2,004 Hz, faded in over half a second by a level ramp;\n"
                "  the play mix looped back into the record side\n");
    // Track 0 at unity, track 1 silent until its ramp.
    ZAR_AUDIO_TRACK_CONTROL controls[2] = {};
    controls[0].Level = ZAR_AUDIO_LEVEL_UNITY;
    for (uint32_t track = 0; track < 2; ++track) {
        uint32_t in[3] = {track, Address(&controls[track]), ZAR_TRACK_LEVEL};
        if (!board.Call(IOCTL_ZAR_AUD_SET_TRACK_CONTROL, "track level", in, sizeof in)) return;
    }
    uint32_t source = kRecordSource;
    if (!board.Call(IOCTL_ZAR_AUD_SET_SOURCE, "record source", &source, 4)) return;
    HANDLE events[ZAR_AUDIO_EVENT_COUNT];
    uint32_t eventWords[ZAR_AUDIO_EVENT_COUNT];
    for (uint32_t i = 0; i < ZAR_AUDIO_EVENT_COUNT; ++i) {
        events[i] = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        eventWords[i] = Address(events[i]);
    }
    HANDLE ringEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    // Buffers the driver writes while the ring runs: memory a client of a
    // machine host shares with it.
    const size_t ringBytes = size_t(ZAR_AUDIO_RING_BUFFERS) * ZAR_AUDIO_REC_HALF_SIZE;
    auto* ringMemory = static_cast<uint8_t*>(VirtualAlloc(nullptr, ringBytes, MEM_COMMIT, PAGE_READWRITE));
    auto cleanup = [&] {
        for (HANDLE e : events) CloseHandle(e);
        CloseHandle(ringEvent);
        if (ringMemory) VirtualFree(ringMemory, 0, MEM_RELEASE);
    };
    ZAR_AUDIO_REC_BLOCK ring{};
    const std::vector<int16_t> tones[2] = {Tone(171, 16384), Tone(342, 16384)};
    uint32_t mask[4] = {0x03, 0, 0, 0};
    bool ok = ringMemory != nullptr &&
              board.Call(IOCTL_ZAR_AUD_REGISTER_EVENTS, "event registration", eventWords, sizeof eventWords) &&
              board.Call(IOCTL_ZAR_AUD_SET_ACTIVE_TRACK_MASK, "track mask", mask, sizeof mask);
    for (uint32_t track = 0; ok && track < 2; ++track)
        for (uint32_t half = 0; ok && half < 2; ++half) {
            ZAR_AUDIO_WAVE_DATA block{};
            block.Track = track;
            block.Half = half;
            block.ByteCount = kHalfSamples * 2;
            block.Samples = Address(tones[track].data());
            block.FilledMarker = 1;
            ok = board.Call(IOCTL_ZAR_AUD_PUT_WAVE_DATA, "wave data", &block, sizeof block);
        }
    if (ok) {
        for (uint32_t i = 0; i < ZAR_AUDIO_RING_BUFFERS; ++i)
            ring.Buffer[i] = Address(ringMemory + size_t(i) * ZAR_AUDIO_REC_HALF_SIZE);
        ring.Event = Address(ringEvent);
        ok = board.Call(IOCTL_ZAR_AUD_REC_SETUP, "record ring", &ring, sizeof ring);
    }
    if (!ok) {
        cleanup();
        return;
    }
    ZAR_AUDIO_PLAY_COMMAND play{};
    play.State = ZAR_AUDIO_PLAYING;
    play.FixedSpeed = 1;
    play.EndField = 1000000;
    play.Wait = 1;
    ZAR_AUDIO_RECORD_COMMAND record{};
    record.Command = ZAR_AUDIO_REC_EVENTS;
    // A ramp's keys are fields of the play: the first request, which holds
    // track 1 where it is, tells the field the play has reached.
    ZAR_AUDIO_OVERRIDE_REQUEST ramp{};
    ramp.Track = 1;
    ramp.KeyCount = 1;
    ramp.KeyTime[0] = 0;
    ramp.KeyValue[0] = 0;
    ok = board.Call(IOCTL_ZAR_AUD_PLAY_COMMAND, "play", &play, sizeof play, &play, sizeof play) &&
         board.Call(IOCTL_ZAR_AUD_LEVEL_OVERRIDE, "level ramp", &ramp, sizeof ramp, &ramp, sizeof ramp);
    if (ok) {
        ramp.KeyTime[0] = ramp.CurrentField + kRampFields;
        ramp.KeyValue[0] = uint8_t(ZAR_AUDIO_LEVEL_UNITY);
        ok = board.Call(IOCTL_ZAR_AUD_LEVEL_OVERRIDE, "level ramp", &ramp, sizeof ramp, &ramp, sizeof ramp) &&
             board.Call(IOCTL_ZAR_AUD_RECORD_COMMAND, "record", &record, sizeof record, &record, sizeof record);
    }
    if (ok) Sleep(1200);  // machine time: what the record ring holds without a lap
    uint32_t vu[20] = {}, recVu[4] = {};
    if (ok) {
        board.Call(IOCTL_ZAR_AUD_GET_PLAY_VU_LEVEL, "play meters", vu, sizeof vu, vu, sizeof vu);
        board.Call(IOCTL_ZAR_AUD_GET_REC_VU_LEVEL, "record meters", recVu, sizeof recVu, recVu, sizeof recVu);
    }
    record.Command = ZAR_AUDIO_REC_OFF;
    board.Call(IOCTL_ZAR_AUD_RECORD_COMMAND, "record stop", &record, sizeof record, &record, sizeof record);
    play.State = ZAR_AUDIO_STOPPED;
    board.Call(IOCTL_ZAR_AUD_PLAY_COMMAND, "stop", &play, sizeof play, &play, sizeof play);

    // The ring's halves in sequence order (a lap can overwrite the oldest).
    std::vector<int16_t> frames;
    for (int32_t seq = 0; ok && seq <= ring.Counter; ++seq)
        for (uint32_t i = 0; i < ZAR_AUDIO_RING_BUFFERS; ++i)
            if (ring.Sequence[i] == seq) {
                const uint32_t bytes = seq == ring.Counter ? ring.LastBytes : ZAR_AUDIO_REC_HALF_SIZE;
                const auto* s = reinterpret_cast<const int16_t*>(ringMemory + size_t(i) * ZAR_AUDIO_REC_HALF_SIZE);
                frames.insert(frames.end(), s, s + bytes / 4 * 2);
            }
    board.Call(IOCTL_ZAR_AUD_REC_RELEASE, "record release", nullptr, 0);
    cleanup();
    if (!ok) return;

    auto level = [](uint32_t vuWord) { return vuWord ? 20 * std::log10(vuWord / (128.0 * 256.0)) : -120.0; };
    std::printf("  meters (hold, dBFS): track 0 %.1f, track 1 %.1f, mix left %.1f, right %.1f; record left %.1f, "
                "right %.1f\n",
                level(vu[1]), level(vu[3]), level(vu[17]), level(vu[19]), level(recVu[1]), level(recVu[3]));
    const size_t count = frames.size() / 2;
    size_t first = 0;
    while (first < count && frames[2 * first] == 0) ++first;
    if (count < first + kRate) {
        std::printf("  the recording holds %zu sample frames: too short to measure\n", count);
        return;
    }
    const fs::path output = fs::path(context.machineFolder) / "output";
    std::error_code ec;
    fs::create_directories(output, ec);
    const std::string path = (output / "audio-loopback.wav").string();
    std::string error;
    if (wavefile::Write(path, frames.data(), uint32_t(count), 2, kRate, &error))
        std::printf("  recorded %.2f s of stereo at 48 kHz, written to %s\n", double(count) / kRate, path.c_str());
    else
        std::printf("  the recording could not be written: %s\n", error.c_str());
    // The tones measured once the ramp is over; the fade by tenths of a
    // second from the first sound.
    const size_t quarter = kRate / 4;
    for (int channel = 0; channel < 2; ++channel) {
        const Measure m = MeasureChannel(frames, channel, count - quarter, count);
        std::printf("  %s (track %d): %.0f Hz at %.1f dBFS over the last quarter second\n",
                    channel == 0 ? "left " : "right", channel, m.hz, m.dbfs);
    }
    std::printf("  track 1's fade, dBFS by tenth of a second:");
    for (size_t tenth = 0; tenth < 8 && first + (tenth + 1) * kRate / 10 <= count; ++tenth) {
        const size_t from = first + tenth * kRate / 10;
        const Measure m = MeasureChannel(frames, 1, from, from + kRate / 10);
        if (m.dbfs <= -100)
            std::printf(" silent");
        else
            std::printf(" %.1f", m.dbfs);
    }
    std::printf("\n");
}
