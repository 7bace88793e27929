// ZARKD's scaled capture: the scaler words over widths, heights, standards
// and crops, the prefilter and the scaler proc amp as tables, and the two
// scaler codes on a simulated board.

#include <gtest/gtest.h>

#include "tests/drivers/board/zarkd_ioctl_machine.h"

namespace {

ZAR_HPS_CAPTURE_REQUEST Request(ULONG width, ULONG height, ULONG fields = 1, ULONG crop = 0, ULONG top = 0,
                                ULONG order = 1)
{
    ZAR_HPS_CAPTURE_REQUEST r{};
    r.Fields = fields;
    r.FieldOrder = order;
    r.HorizontalCrop = crop;
    r.TopCrop = top;
    r.Width = width;
    r.Height = height;
    return r;
}

TEST(HpsScaler, FiveWordsOverWidthsHeightsStandardsAndCrops)
{
    const ZAR_HPS_GEOMETRY ntsc{525, 243, FALSE}, pal{625, 288, FALSE}, hdcam{525, 243, TRUE};
    struct Case {
        const char* what;
        ZAR_HPS_GEOMETRY g;
        ZAR_HPS_CAPTURE_REQUEST r;
        ULONG ctrl, vScale, vGain, hPrescale, hScale;
        ULONG topApplied, selection;
    } cases[] = {
        {"full width: no prescale, unity fine scale", ntsc, Request(720, 243), 0x8000, 0, 0x000000FF, 0x00020000,
         0x8040007B, 0, 0},
        {"half width: exactly half is not below half", ntsc, Request(360, 243), 0x8000, 0, 0x440000FF, 0x10040202,
         0x0040107B, 0, 4},
        {"just below half", ntsc, Request(359, 243), 0x8000, 0, 0x330000FF, 0x10040202, 0x0040307B, 0, 3},
        {"wider than the source", ntsc, Request(1280, 243), 0x8000, 0, 0x000000FF, 0x00020000, 0x0024107B, 0, 0},
        {"crop rounded up to even", ntsc, Request(702, 243, 1, 9), 0x8000, 0, 0x000000FF, 0x00020000, 0x80400085, 0,
         0},
        {"625 lines, top crop limited to the room left", pal, Request(720, 240, 1, 0, 96), 0x1E000, 0,
         0x000000FF, 0x00020000, 0x80400081, 48, 0},
        {"both fields: half the height a field", ntsc, Request(720, 486, 3), 0x8000, 0, 0x000000FF, 0x00020000,
         0x8040007B, 0, 0},
        {"24 fps mode 1 moves the start", hdcam, Request(720, 243), 0x8000, 0, 0x000000FF, 0x00020000, 0x80400151, 0,
         0},
        {"interpolation", ntsc, Request(720, 200), 0x8000, 0x1AA00D26, 0x000000FF, 0x00020000, 0x8040007B, 0, 0},
        {"interpolation, field order 2 swaps", ntsc, Request(720, 200, 1, 0, 0, 2), 0x8000, 0x1AA0131A, 0x000000FF,
         0x00020000, 0x8040007B, 0, 0},
        {"accumulation", ntsc, Request(720, 100), 0x8000, 0xCAE0A64C, 0x00010102, 0x00020000, 0x8040007B, 0, 0},
    };
    for (const Case& c : cases) {
        ZAR_HPS_SCALER s{};
        ZAR_HPS_CAPTURE_REQUEST r = c.r;
        ULONG w[5];
        ZarHpsScaleWords(&c.g, &s, &r, w);
        EXPECT_EQ(w[ZAR_HPS_W_CTRL], c.ctrl) << c.what;
        EXPECT_EQ(w[ZAR_HPS_W_V_SCALE], c.vScale) << c.what;
        EXPECT_EQ(w[ZAR_HPS_W_V_GAIN], c.vGain) << c.what;
        EXPECT_EQ(w[ZAR_HPS_W_H_PRESCALE], c.hPrescale) << c.what;
        EXPECT_EQ(w[ZAR_HPS_W_H_SCALE], c.hScale) << c.what;
        EXPECT_EQ(r.TopCrop, c.topApplied) << c.what;
        EXPECT_EQ(s.PreFilterSelection, c.selection) << c.what;
        EXPECT_EQ(s.LastVerticalGain, c.vGain) << c.what;
    }
}

TEST(HpsScaler, PrefilterModesAndProcAmp)
{
    struct Filter {
        ULONG mode, selection, gain, result;
    } filters[] = {
        {0, 4, 0x000000FF, 0x440000FF}, {0, 3, 0xFF0000FF, 0x330000FF}, {1, 4, 0x440000FF, 0x000000FF},
        {2, 0, 0x00010102, 0xFE010102}, {7, 2, 0x000000FF, 0x220000FF},
    };
    for (const Filter& f : filters) {
        ZAR_HPS_SCALER s{};
        s.PreFilterMode = f.mode;
        s.PreFilterSelection = f.selection;
        EXPECT_EQ(ZarHpsDeterminePreFilter(&s, f.gain), f.result) << f.mode << " " << f.selection;
    }

    struct Amp {
        ULONG brightness, contrast, saturation, mode, word;
    } amps[] = {
        {128, 64, 64, 0, 0x80400040}, {128, 0, 64, 0, 0x10000040},   {128, 100, 64, 2, 0xBF720049},
        {128, 120, 64, 2, 0xE27F0049}, {250, 127, 0, 0, 0xFF7F0000}, {0, 0, 0, 0, 0x00000000},
    };
    for (const Amp& a : amps) {
        ZAR_HPS_SCALER s{};
        s.Brightness = a.brightness;
        s.Contrast = a.contrast;
        s.Saturation = a.saturation;
        s.PreFilterMode = a.mode;
        EXPECT_EQ(ZarHpsProcAmpWord(&s), a.word) << a.brightness << " " << a.contrast << " " << a.mode;
    }
}

class ZarkdHps : public ZarkdIoctlMachine {
protected:
    sim::Board& Board() { return *built_.boards[0]; }
};

TEST_F(ZarkdHps, ScalerCodesReachTheBridge)
{
    ULONG amps[3] = {100, 128, 64};
    ASSERT_EQ(Send(IOCTL_ZAR_HPS_SET_PROC_AMPS, amps, 12, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Board().Bridge().Written(ZAR_HPS_BCS_CTRL), 0xBF640040u);
    ULONG mode = 2;
    ASSERT_EQ(Send(IOCTL_ZAR_HPS_SET_PRE_FILTER, &mode, 4, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Board().Bridge().Written(ZAR_HPS_V_GAIN) >> 24, 0xFEu);
    EXPECT_EQ(Board().Bridge().Written(ZAR_HPS_BCS_CTRL), 0xBF720049u);
}

}  // namespace
