// The still capture's geometry and request mapping, and the volume
// optimiser's plan, on their own: no machine, a mover that records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "lib/api/zar_preview.h"
#include "lib/api/zar_still_capture.h"
#include "lib/api/zar_volume_maintenance.h"
#include "platform/gdi/gdi.h"

namespace {

using zarapi::OptimizeSegment;

ZAR_HPS_CAPTURE_IMAGE Still(uint32_t width, uint32_t height, uint32_t format = ZAR_HPS_FORMAT_BGRA,
                            uint32_t source = 3)
{
    ZAR_HPS_CAPTURE_IMAGE r{};
    r.Command = ZAR_HPS_CAPTURE_STILL;
    r.Source = source;
    r.PixelFormat = format;
    r.Width = width;
    r.Height = height;
    r.Contrast = 64;
    r.Brightness = 128;
    r.Saturation = 64;
    return r;
}

TEST(StillCaptureGeometry, BytesStrideAndSizeByFormat)
{
    struct Case {
        uint32_t format, width, height, bytes, stride, size;
    } cases[] = {
        {ZAR_HPS_FORMAT_BGR, 17, 20, 3, 52, 1040},  // 51 rounded up
        {ZAR_HPS_FORMAT_BGRA, 17, 20, 4, 68, 1360},
        {ZAR_HPS_FORMAT_UYVY, 17, 20, 2, 36, 720},
        {ZAR_HPS_FORMAT_RGB555, 720, 486, 2, 1440, 699840},
        {7, 720, 486, 4, 2880, 1399680},  // any other code counts four bytes
    };
    for (const Case& c : cases) {
        ZAR_HPS_CAPTURE_IMAGE r = Still(c.width, c.height, c.format);
        EXPECT_EQ(zarapi::HpsCaptureQuery(r, ZAR_HPS_QUERY_BYTES_PER_PIXEL), int32_t(c.bytes)) << c.format;
        EXPECT_EQ(zarapi::HpsCaptureQuery(r, ZAR_HPS_QUERY_STRIDE), int32_t(c.stride)) << c.format;
        EXPECT_EQ(zarapi::HpsCaptureQuery(r, ZAR_HPS_QUERY_IMAGE_SIZE), int32_t(c.size)) << c.format;
    }
    EXPECT_EQ(zarapi::HpsCaptureQuery(Still(720, 486), 3), ZAR_E_BAD_ARGUMENT);
}

TEST(StillCaptureGeometry, HeaderBytes)
{
    uint8_t header[40];
    std::memset(header, 0xCC, sizeof header);
    zarapi::FillCaptureHeader(Still(17, 20, ZAR_HPS_FORMAT_BGR), header);
    const uint8_t bgr[40] = {40, 0, 0, 0, 17, 0, 0, 0, 20, 0, 0, 0, 1, 0, 24, 0, 0, 0, 0, 0,
                             0x10, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(header, bgr, 40), 0);
    zarapi::FillCaptureHeader(Still(720, 243, ZAR_HPS_FORMAT_UYVY), header);
    const uint8_t uyvy[40] = {40, 0, 0, 0, 0xD0, 2, 0, 0, 243, 0, 0, 0, 1, 0, 16, 0, 'U', 'Y', 'V', 'Y',
                              0xE0, 0x56, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(header, uyvy, 40), 0);
}

TEST(StillCaptureGeometry, FieldsOutsideTheirLimitsAreRefused)
{
    const zarapi::ActiveLines ntsc{243, 486}, pal{288, 576};
    struct Case {
        const char* what;
        ZAR_HPS_CAPTURE_IMAGE r;
        zarapi::ActiveLines lines;
        bool valid;
    } cases[] = {
        {"the widest", Still(1280, 486), ntsc, true},
        {"width 1281", Still(1281, 486), ntsc, false},
        {"width 15", Still(15, 486), ntsc, false},
        {"a frame's lines", Still(720, 486), ntsc, true},
        {"one line more than a frame", Still(720, 487), ntsc, false},
        {"625 lines", Still(720, 576), pal, true},
        {"one field, its lines", Still(720, 243, 0, 1), ntsc, true},
        {"one field, a line more", Still(720, 244, 0, 2), ntsc, false},
        {"a ring of 24", [] { auto r = Still(720, 486); r.Command = ZAR_HPS_CAPTURE_RING; r.RingCount = 24; return r; }(),
         ntsc, false},
        {"a ring of 32", [] { auto r = Still(720, 486); r.Command = ZAR_HPS_CAPTURE_RING; r.RingCount = 32; return r; }(),
         ntsc, true},
        {"margin 97", [] { auto r = Still(720, 486); r.TopMargin = 97; return r; }(), ntsc, false},
        {"contrast 128", [] { auto r = Still(720, 486); r.Contrast = 128; return r; }(), ntsc, false},
        {"field mode 3", [] { auto r = Still(720, 486); r.FieldMode = 3; return r; }(), ntsc, false},
        {"two-window preview, a field's lines",
         [] { auto r = Still(720, 243); r.Command = ZAR_HPS_CAPTURE_PREVIEW_TWO; return r; }(), ntsc, true},
        {"two-window preview, a frame's lines",
         [] { auto r = Still(720, 486); r.Command = ZAR_HPS_CAPTURE_PREVIEW_TWO; return r; }(), ntsc, false},
    };
    for (const Case& c : cases) EXPECT_EQ(zarapi::CaptureFieldsValid(c.r, c.lines), c.valid) << c.what;
}

TEST(StillCaptureGeometry, RequestByteMap)
{
    ZAR_HPS_CAPTURE_IMAGE r{};
    uint32_t* words = reinterpret_cast<uint32_t*>(&r);
    for (uint32_t i = 0; i < 30; ++i) words[i] = 1000 + i * 4;  // each word says its own offset
    r.PixelFormat = ZAR_HPS_FORMAT_BGR;
    r.Width = 17;
    r.Height = 20;
    ZAR_HPS_CAPTURE_REQUEST s = zarapi::ScalerRequest(r, {243, 486}, 77);
    const uint32_t* out = reinterpret_cast<const uint32_t*>(&s);
    // Request offset -> record offset (or a value of its own).
    const struct {
        uint32_t at, value;
    } expected[] = {{0, 0},           {4, 1004},        {8, 1012},  {12, 1016}, {16, 1020},   {20, 1},
                    {24, 1028},       {28, 1032},       {32, 17},   {36, 20},   {40, 1044},   {44, 1048},
                    {48, 1052},       {52, 1056},       {56, 1040}, {88, 1108}, {92, 1112},   {96, 1116},
                    {100, 77}};
    for (const auto& e : expected) EXPECT_EQ(out[e.at / 4], e.value) << "request offset " << e.at;
    r.FieldMode = 0;
    EXPECT_EQ(zarapi::ScalerRequest(r, {243, 486}, 0).FieldOrder, 2u);
    EXPECT_EQ(zarapi::ScalerRequest(r, {288, 576}, 0).FieldOrder, 1u);
}

TEST(PreviewFormats, SurfaceLayoutsToScalerFormats)
{
    EXPECT_EQ(zarapi::PreviewFormatOf(32, 0xFF0000, 0xFF00, 0xFF), 0);
    EXPECT_EQ(zarapi::PreviewFormatOf(24, 0xFF0000, 0xFF00, 0xFF), 1);
    EXPECT_EQ(zarapi::PreviewFormatOf(16, 0xF800, 0x7E0, 0x1F), 2);
    EXPECT_EQ(zarapi::PreviewFormatOf(16, 0x7C00, 0x3E0, 0x1F), 3);
    EXPECT_EQ(zarapi::PreviewFormatOf(16, 0xF800, 0x7C0, 0x1F), 4);
    EXPECT_EQ(zarapi::PreviewFormatOf(32, 0xFF, 0xFF00, 0xFF0000), -1);
    EXPECT_EQ(zarapi::PreviewFormatOf(8, 0, 0, 0), -1);
}

// ---- the optimiser's plan ----

struct RecordingMover : zarapi::CSegmentMover {
    struct Move {
        uint32_t kind, from, to;
    };
    std::vector<Move> moves;
    int failAt = -1;
    bool Move(const OptimizeSegment& s, uint32_t to) override
    {
        if (int(moves.size()) == failAt) return false;
        moves.push_back({s.kind, s.first, to});
        return true;
    }
};

OptimizeSegment Data(uint32_t first, uint32_t length) { return {"F", "f", first, length, zarapi::ZAR_SEGMENT_VIDEO_DATA}; }
OptimizeSegment Meta(uint32_t first, uint32_t length)
{
    return {"F", "f", first, length, zarapi::ZAR_SEGMENT_FILE_ENTRY};
}

TEST(OptimizePlan, ACompactVolumeMovesOnlyItsMetadata)
{
    std::vector<OptimizeSegment> lower{Data(1024, 100), Data(1124, 50), Data(1174, 10)};
    std::vector<OptimizeSegment> upper{Meta(9000, 2), Meta(9500, 2), Meta(9998, 2)};
    const uint32_t abort = 0;
    for (uint32_t option : {0u, 1u, 2u}) {
        RecordingMover mover;
        auto l = lower;
        auto u = upper;
        EXPECT_EQ(zarapi::RunOptimizeMethod(option, l, u, 10000, mover, &abort), ZAR_OK);
        // The metadata packs down from the top: 9500 to 9996, 9000 to 9994.
        ASSERT_EQ(mover.moves.size(), 2u) << option;
        EXPECT_EQ(mover.moves[0].from, 9500u);
        EXPECT_EQ(mover.moves[0].to, 9996u);
        EXPECT_EQ(mover.moves[1].from, 9000u);
        EXPECT_EQ(mover.moves[1].to, 9994u);
    }
}

TEST(OptimizePlan, CompactionPacksFromTheFirstDataBlock)
{
    std::vector<OptimizeSegment> lower{Data(2000, 100), Data(1500, 10), Data(5000, 7)}, upper;
    std::sort(lower.begin(), lower.end(), [](auto& a, auto& b) { return a.first < b.first; });
    RecordingMover mover;
    const uint32_t abort = 0;
    EXPECT_EQ(zarapi::RunOptimizeMethod(0, lower, upper, 10000, mover, &abort), ZAR_OK);
    ASSERT_EQ(mover.moves.size(), 3u);
    EXPECT_EQ(mover.moves[0].to, 1024u);
    EXPECT_EQ(mover.moves[1].to, 1034u);
    EXPECT_EQ(mover.moves[2].to, 1134u);
}

TEST(OptimizePlan, GainDecidesBySelectiveOption)
{
    // A 100-block segment 60 blocks above the end of its predecessor: gain
    // 60, or 120 when it is the last.
    struct Case {
        const char* what;
        uint32_t option;
        bool last;
        bool moves;
    } cases[] = {
        {"option 1, not last", 1, false, true}, {"option 1, last", 1, true, true},
        {"option 2, not last", 2, false, false}, {"option 2, last", 2, true, true},
    };
    for (const Case& c : cases) {
        std::vector<OptimizeSegment> lower{Data(1024, 200), Data(1284, 100)}, upper;
        if (!c.last) lower.push_back(Data(1384, 1000));
        ASSERT_EQ(zarapi::SelectiveTarget(lower, 1), 1224u);
        RecordingMover mover;
        const uint32_t abort = 0;
        EXPECT_EQ(zarapi::RunOptimizeMethod(c.option, lower, upper, 100000, mover, &abort), ZAR_OK);
        const bool moved = !mover.moves.empty() && mover.moves[0].from == 1284 && mover.moves[0].to == 1224;
        EXPECT_EQ(moved, c.moves) << c.what;
    }
}

TEST(OptimizePlan, GapsBeforeAreTakenAndGainsDoNotOverflow)
{
    // A gap of 500 blocks at 1024 holds the 400-block segment lying far up.
    std::vector<OptimizeSegment> lower{Data(1524, 10), Data(3000000000u, 400)}, upper;
    EXPECT_EQ(zarapi::SelectiveTarget(lower, 1), 1024u);
    // (3e9 - 1024) x 100 passes 32 bits on the way; the gain, doubled for
    // the last segment, is exact.
    EXPECT_EQ(zarapi::SelectiveGain(lower, 1, 1024), int64_t(1499999488));
    RecordingMover mover;
    const uint32_t abort = 0;
    EXPECT_EQ(zarapi::RunOptimizeMethod(1, lower, upper, 4000000000u, mover, &abort), ZAR_OK);
    ASSERT_FALSE(mover.moves.empty());
    EXPECT_EQ(mover.moves[0].from, 3000000000u);
    EXPECT_EQ(mover.moves[0].to, 1024u);
}

TEST(OptimizePlan, AbortAndFailure)
{
    const uint32_t aborted = 1, go = 0;
    for (uint32_t option : {0u, 1u}) {
        std::vector<OptimizeSegment> lower{Data(2000, 100)}, upper{Meta(5000, 2)};
        RecordingMover mover;
        EXPECT_EQ(zarapi::RunOptimizeMethod(option, lower, upper, 10000, mover, &aborted), ZAR_OPTIMIZE_ABORTED);
        EXPECT_TRUE(mover.moves.empty()) << "no upper pass after an abort";
    }
    std::vector<OptimizeSegment> lower{Data(2000, 100), Data(3000, 5)}, upper{Meta(5000, 2)};
    RecordingMover mover;
    mover.failAt = 1;
    EXPECT_EQ(zarapi::RunOptimizeMethod(0, lower, upper, 10000, mover, &go), ZAR_E_DRIVER);
    EXPECT_EQ(lower[0].first, 1024u) << "a move done stays done";
    EXPECT_EQ(lower[1].first, 3000u);
}

}  // namespace
