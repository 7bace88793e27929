// The wave-out converter on its own: rates and qualities keep a tone's
// frequency and level, a stream converts the same in chunks as whole, and
// frames made up at a flush are made again from the real samples.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "wavedrv/zarwav_resample.h"

namespace {

std::vector<BYTE> ToneBytes(double hz, double rate, size_t frames, int channels, int bytes, double amplitude = 16000)
{
    std::vector<BYTE> out;
    for (size_t n = 0; n < frames; ++n) {
        const double v = amplitude * std::sin(2 * M_PI * hz * n / rate);
        for (int c = 0; c < channels; ++c) {
            if (bytes == 2) {
                const int16_t s = int16_t(std::lround(v));
                out.push_back(BYTE(s & 0xFF));
                out.push_back(BYTE((s >> 8) & 0xFF));
            } else {
                out.push_back(BYTE(std::lround(v / 256) + 128));
            }
        }
    }
    return out;
}

TEST(ZarWavConverter, KeepsAToneAcrossRatesAndQualities)
{
    struct Row {
        ULONG in, out, channels, bytes, quality;
    } rows[] = {{44100, 48000, 2, 2, 3}, {8000, 22050, 1, 2, 2}, {96000, 48000, 2, 2, 3}, {22050, 32000, 2, 1, 1},
                {11025, 44100, 1, 1, 0}, {32000, 44100, 2, 2, 3}};
    for (const Row& r : rows) {
        const double hz = 440;
        const size_t frames = r.in;  // one second
        std::vector<BYTE> in = ToneBytes(hz, r.in, frames, int(r.channels), int(r.bytes));
        ZarWavConverter c(r.in, r.out, r.channels, r.bytes, r.quality);
        std::vector<SHORT> out, substitute;
        c.Convert(in.data(), ULONG(frames), true, out, substitute);
        EXPECT_TRUE(substitute.empty());
        const size_t produced = out.size() / 2;
        EXPECT_NEAR(double(produced), double(r.out), 2.0 + r.out * 0.001) << r.in << "->" << r.out;
        size_t crossings = 0;
        double peak = 0, rms = 0;
        const size_t from = r.out / 10, to = produced - r.out / 10;
        for (size_t n = from + 1; n < to; ++n) {
            if ((out[2 * (n - 1)] < 0) != (out[2 * n] < 0)) ++crossings;
            peak = std::max(peak, std::fabs(double(out[2 * n])));
            rms += double(out[2 * n]) * out[2 * n];
            EXPECT_EQ(out[2 * n], out[2 * n + 1]) << "both channels carry the tone";
        }
        rms = std::sqrt(rms / (to - from - 1));
        EXPECT_NEAR(crossings / 2.0 / (double(to - from - 1) / r.out), hz, 2) << r.in << "->" << r.out;
        EXPECT_NEAR(rms, 16000 / std::sqrt(2.0), 16000 * 0.03) << r.in << "->" << r.out << " quality " << r.quality;
        EXPECT_LE(peak, 16000 * 1.03);
    }
}

TEST(ZarWavConverter, ConvertsTheSameInChunksAsWhole)
{
    std::vector<BYTE> in = ToneBytes(1000, 44100, 20000, 2, 2);
    ZarWavConverter whole(44100, 48000, 2, 2, 3), chunked(44100, 48000, 2, 2, 3);
    std::vector<SHORT> a, b, substitute;
    whole.Convert(in.data(), 20000, false, a, substitute);
    for (ULONG at = 0; at < 20000; at += 2048) {
        ULONG n = std::min<ULONG>(2048, 20000 - at);
        chunked.Convert(in.data() + at * 4, n, false, b, substitute);
        EXPECT_TRUE(substitute.empty());
    }
    EXPECT_EQ(a, b);
}

TEST(ZarWavConverter, FramesGuessedAtAFlushAreMadeAgainFromTheRealSamples)
{
    std::vector<BYTE> in = ToneBytes(1000, 44100, 8000, 2, 2);
    ZarWavConverter reference(44100, 48000, 2, 2, 3), flushed(44100, 48000, 2, 2, 3);
    std::vector<SHORT> expected, out, substitute;
    reference.Convert(in.data(), 8000, false, expected, substitute);
    // The first half flushed as if the program's data ended there.
    flushed.Convert(in.data(), 4000, true, out, substitute);
    const size_t firstPart = out.size();
    std::vector<SHORT> rest;
    flushed.Convert(in.data() + 4000 * 4, 4000, false, rest, substitute);
    ASSERT_FALSE(substitute.empty()) << "the guessed frames come again";
    ASSERT_LE(substitute.size(), firstPart);
    // Guessed frames replaced by their substitutes give the whole stream's output.
    std::vector<SHORT> mended(out.begin(), out.end() - substitute.size());
    mended.insert(mended.end(), substitute.begin(), substitute.end());
    mended.insert(mended.end(), rest.begin(), rest.end());
    ASSERT_EQ(mended.size(), expected.size());
    EXPECT_EQ(mended, expected);
}

TEST(ZarWavConverter, QualityZeroAndEqualPhasesCopyTheInput)
{
    std::vector<BYTE> in = ToneBytes(500, 24000, 100, 2, 2);
    ZarWavConverter c(24000, 48000, 2, 2, 0);
    std::vector<SHORT> out, substitute;
    c.Convert(in.data(), 100, false, out, substitute);
    for (size_t n = 0; n + 1 < out.size() / 2; ++n) {
        SHORT s;
        std::memcpy(&s, &in[(n / 2) * 4], 2);
        EXPECT_EQ(out[2 * n], s) << n;
    }
}

}  // namespace
