// The audio resampler: its kernels, its cycle tables, and how closely a
// sine comes through a rate change at each order.
#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <cstdio>
#include <numbers>
#include <vector>

#include "lib/play/zar_audio_interp.h"
#include "lib/play/zar_audio_kernels.h"
#include "lib/play/zar_audio_obj.h"

TEST(AudioKernels, RowsHaveUnityGainAndMirrorAroundTheHalfSample)
{
    for (uint32_t order = 1; order <= kAudioMaxOrder; ++order) {
        const uint32_t taps = AudioKernelTaps(order);
        for (uint32_t p = 1; p < kAudioKernelPhases; ++p) {
            const int16_t* row = AudioKernelRow(order, p);
            const int16_t* mirror = AudioKernelRow(order, kAudioKernelPhases - p);
            int32_t sum = 0;
            for (uint32_t k = 0; k < taps; ++k) {
                sum += row[k];
                EXPECT_EQ(row[k], mirror[taps - 1 - k]) << "order " << order << " phase " << p << " tap " << k;
            }
            EXPECT_NEAR(sum, 32768, 8) << "order " << order << " phase " << p;
        }
    }
    const int16_t half4[] = {-10124, 26508, 26508, -10124};
    const int16_t half8[] = {-1822, 3035, -6427, 21599, 21599, -6427, 3035, -1822};
    EXPECT_TRUE(std::equal(half4, half4 + 4, AudioKernelRow(1, 32)));
    EXPECT_TRUE(std::equal(half8, half8 + 8, AudioKernelRow(2, 32)));
}

TEST(AudioInterp, CycleTablesPlaceEveryOutputSampleAndReturnToTheNextCycle)
{
    CAudioInterp interp;
    EXPECT_FALSE(interp.Setup(0, 48000, 2));
    ASSERT_TRUE(interp.Setup(44100, 48000, 2));
    EXPECT_EQ(interp.Up(), 147u);
    EXPECT_EQ(interp.Down(), 160u);
    // Output sample u lies at u x 147 / 160 source samples, to 1/64.
    for (int64_t u : {0, 1, 159, 160, 161, 1000, -1, -161}) {
        int64_t whole;
        uint32_t phase;
        interp.Locate(u, &whole, &phase);
        const double at = double(u) * 147 / 160;
        EXPECT_NEAR(double(whole) + phase / 64.0, at, 1.0 / 128 + 1e-9) << u;
    }
    ASSERT_TRUE(interp.Setup(96000, 48000, 2));
    EXPECT_TRUE(interp.IntegerRatio());
    EXPECT_EQ(interp.Ratio(), 2u);
}

TEST(AudioInterp, ASineResampledFrom44100To48000StaysWithinEachOrdersBound)
{
    // A 1 kHz sine at half scale. Points fall on a grid of 1/64 sample, so
    // even a perfect filter is off by up to about 18 here (half a grid step
    // of the sine's slope); the two long kernels come within that.
    constexpr double kAmplitude = 16384.0, kFrequency = 1000.0;
    const double bound[] = {1300.0, 200.0, 150.0, 24.0, 24.0};
    std::vector<int16_t> source(44100 / 10);
    for (size_t i = 0; i < source.size(); ++i)
        source[i] = int16_t(std::lround(kAmplitude * std::sin(2 * std::numbers::pi * kFrequency * i / 44100.0)));
    for (uint32_t order = 0; order <= kAudioMaxOrder; ++order) {
        CAudioInterp interp;
        ASSERT_TRUE(interp.Setup(44100, 48000, order));
        constexpr uint32_t kCount = 3000;
        std::vector<int16_t> out(kCount);
        interp.Run(100, kCount, 1, source.data(), 0, int64_t(source.size()), 0, int64_t(source.size()), out.data(), 1);
        double worst = 0.0;
        for (uint32_t k = 0; k < kCount; ++k) {
            const double ideal = kAmplitude * std::sin(2 * std::numbers::pi * kFrequency * (100 + k) / 48000.0);
            worst = std::max(worst, std::fabs(out[k] - ideal));
        }
        EXPECT_LT(worst, bound[order]) << "order " << order;
        std::printf("order %u: largest error %.1f\n", order, worst);
    }
}

TEST(AudioInterp, PointsOutsideTheSourceAreSilence)
{
    // Source samples 0-99 hold 1000, read with the margin of 16 either
    // side; the walk starts 10 before them and ends 10 after.
    std::vector<int16_t> source(132, 0);
    std::fill(source.begin() + 16, source.begin() + 116, int16_t(1000));
    for (uint32_t order : {0u, 4u}) {
        CAudioInterp interp;
        ASSERT_TRUE(interp.Setup(48000, 48000, order));
        std::vector<int16_t> out(120, -1);
        interp.Run(-10, 120, 1, source.data(), -16, 132, 0, 100, out.data(), 1);
        for (int i = 0; i < 120; ++i) EXPECT_EQ(out[size_t(i)], (i >= 10 && i < 110) ? 1000 : 0) << i;
        // Walking back from the last sample.
        interp.Run(99, 3, -1, source.data(), -16, 132, 0, 100, out.data(), 1);
        EXPECT_EQ(out[0], 1000);
        EXPECT_EQ(out[2], 1000);
    }
}

TEST(AudioObj, StepAndOrderFollowSpeedQualityAndRatio)
{
    EXPECT_EQ(CAudioObj::ComputeStep(44100, 1.0, false), 44100);
    EXPECT_EQ(CAudioObj::ComputeStep(44100, 0.5, false), 22050);
    EXPECT_EQ(CAudioObj::ComputeStep(44100, -2.0, false), -88200);
    EXPECT_EQ(CAudioObj::ComputeStep(44100, -0.5, true), -44100);
    // A speed that moves less than a sample a second gives no step.
    EXPECT_EQ(CAudioObj::ComputeStep(1000, 0.0005, false), 0);
    struct Case {
        uint32_t quality, step, rate, order;
    } cases[] = {
        {1, 44100, 48000, 3}, {1, 48000, 48000, 2}, {1, 96000, 48000, 1}, {1, 200000, 48000, 0},
        {2, 44100, 48000, 4}, {0, 44100, 48000, 1}, {0, 48000, 48000, 0}, {4, 600000, 48000, 4},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CAudioObj::ComputeOrder(c.quality, c.step, c.rate), c.order) << c.quality << " " << c.step;
}
