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
        // Values past 32 bits in the computation clamp at the top, not the bottom.
        {0, 0x02000000, 0, 0, 0xFF000000}, {0xFFFFFFFF, 64, 0, 0, 0xFF400000}, {0, 0x40000000, 0, 2, 0xFF7F0000},
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

namespace {

// ---- the capture channel on the virtual clock ----

class ZarkdCapture : public ZarkdIoctlMachine {
protected:
    void SetUp() override
    {
        ZarkdIoctlMachine::SetUp();
        if (HasFatalFailure()) return;
        ULONG io[4] = {0, 0, 0, 0};
        ASSERT_EQ(Send(IOCTL_ZAR_FLEX_DOWNLOAD, io, sizeof(io), io, sizeof(io)).status, STATUS_SUCCESS);
        ASSERT_EQ(Send(IOCTL_ZAR_POST_FPGA_INIT, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
        ext_->VinMonitorPaused = TRUE;
        WaitQueuesIdle();
    }
    sim::Board& Board() { return *built_.boards[0]; }

    static ZAR_HPS_CAPTURE_REQUEST Still(void* buffer, ULONG size, ULONG fields = 1, ULONG width = 360, ULONG height = 243)
    {
        ZAR_HPS_CAPTURE_REQUEST r = Request(width, height, fields);
        r.BufferAddress = ULONG(reinterpret_cast<ULONG_PTR>(buffer));
        r.BufferSize = size;
        r.Contrast = 64;
        r.Brightness = 128;
        r.Saturation = 64;
        return r;
    }
    // Sends without waiting; the request's OVERLAPPED is the last one.
    NTSTATUS Start(ZAR_HPS_CAPTURE_REQUEST* r)
    {
        return Send(IOCTL_ZAR_HPS_CAPTURE, r, sizeof(*r), r, sizeof(*r), false).status;
    }
    bool Done() { return overlapped_.back().Internal != ULONG_PTR(STATUS_PENDING); }
    void RunFields(uint64_t fields)
    {
        uint64_t target = Board().Clock().FieldCount() + fields;
        while (Board().Clock().FieldCount() < target) nt::ClockRunFor(1000000);
        nt::ClockRunUntilIdle();
    }
    void RunToParity(int parity)
    {
        do RunFields(1);
        while (Board().Clock().Parity() != parity);
    }

    // The input field 'field' scaled to w x h the nearest way, as BGRA,
    // through a BT.601 studio-range conversion in floating point.
    std::vector<uint8_t> Expected(uint64_t field, int w, int h)
    {
        const sim::VideoField& f = Board().VideoIn().Field(field);
        std::vector<uint8_t> out(size_t(w) * h * 4);
        const int L = f.Geometry().activeLines;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                int sx = x * 720 / w, sy = y * L / h;
                double Y = f.Y()[sy * 720 + sx] - 16.0, cb = f.Cb()[sy * 360 + sx / 2] - 128.0,
                       cr = f.Cr()[sy * 360 + sx / 2] - 128.0;
                auto clamp = [](double v) { return uint8_t(std::min(255.0, std::max(0.0, v + 0.5))); };
                uint8_t* o = &out[(size_t(y) * w + x) * 4];
                o[0] = clamp(1.164 * Y + 2.018 * cb);
                o[1] = clamp(1.164 * Y - 0.813 * cr - 0.392 * cb);
                o[2] = clamp(1.164 * Y + 1.596 * cr);
                o[3] = 255;
            }
        return out;
    }
    static int MaxDifference(const std::vector<uint8_t>& a, const uint8_t* b)
    {
        int most = 0;
        for (size_t i = 0; i < a.size(); ++i) most = std::max(most, std::abs(int(a[i]) - int(b[i])));
        return most;
    }
};

TEST_F(ZarkdCapture, RequestsOutsideTheTableAreRefused)
{
    std::vector<uint8_t> buffer(720 * 576 * 4);
    struct Case {
        const char* what;
        void (*edit)(ZAR_HPS_CAPTURE_REQUEST&);
        NTSTATUS status;
    } cases[] = {
        {"fields 4", [](ZAR_HPS_CAPTURE_REQUEST& r) { r.Fields = 4; }, STATUS_INVALID_DEVICE_REQUEST},
        {"width 15", [](ZAR_HPS_CAPTURE_REQUEST& r) { r.Width = 15; }, STATUS_INVALID_DEVICE_REQUEST},
        {"one field of 244 lines", [](ZAR_HPS_CAPTURE_REQUEST& r) { r.Height = 244; }, STATUS_INVALID_DEVICE_REQUEST},
        {"crop 97", [](ZAR_HPS_CAPTURE_REQUEST& r) { r.HorizontalCrop = 97; }, STATUS_INVALID_DEVICE_REQUEST},
        {"format 5", [](ZAR_HPS_CAPTURE_REQUEST& r) { r.PixelFormat = 5; }, STATUS_INVALID_DEVICE_REQUEST},
        {"buffer one byte short", [](ZAR_HPS_CAPTURE_REQUEST& r) { r.BufferSize = 360 * 4 * 243 - 1; },
         STATUS_INVALID_DEVICE_REQUEST},
        {"continuous with pitch 0", [](ZAR_HPS_CAPTURE_REQUEST& r) { r.Kind = 1; r.Pitch = 0; },
         STATUS_INVALID_DEVICE_REQUEST},
        {"continuous with pitch 1442", [](ZAR_HPS_CAPTURE_REQUEST& r) { r.Kind = 1; r.Pitch = 1442; },
         STATUS_INVALID_DEVICE_REQUEST},
        // A pitch below one line's 1,440 bytes: the lines would overlap and
        // the last one run past the buffer (bottom-up past its start).
        {"continuous with a pitch below a line, top-down",
         [](ZAR_HPS_CAPTURE_REQUEST& r) { r.Kind = 1; r.Pitch = 1436; }, STATUS_INVALID_DEVICE_REQUEST},
        {"continuous with a pitch below a line, bottom-up",
         [](ZAR_HPS_CAPTURE_REQUEST& r) { r.Kind = 1; r.Pitch = 4; r.BottomUp = 1; r.Height = 16; r.BufferSize = 64; },
         STATUS_INVALID_DEVICE_REQUEST},
        {"continuous in three bytes a pixel with a pitch below a line",
         [](ZAR_HPS_CAPTURE_REQUEST& r) { r.Kind = 1; r.PixelFormat = 1; r.Pitch = 1076; },
         STATUS_INVALID_DEVICE_REQUEST},
        {"ring of 3", [](ZAR_HPS_CAPTURE_REQUEST& r) { r.RingCount = 3; }, STATUS_UNSUCCESSFUL},
        {"ring of 64", [](ZAR_HPS_CAPTURE_REQUEST& r) { r.RingCount = 64; }, STATUS_UNSUCCESSFUL},
        {"ring address array unreadable", [](ZAR_HPS_CAPTURE_REQUEST& r) { r.RingCount = 2; r.RingAddresses = 16; },
         STATUS_ACCESS_VIOLATION},
        {"re-arm without a ring", [](ZAR_HPS_CAPTURE_REQUEST& r) { r.Kind = 5; }, STATUS_INVALID_DEVICE_REQUEST},
        {"ring stop without a ring", [](ZAR_HPS_CAPTURE_REQUEST& r) { r.Kind = 4; }, STATUS_SUCCESS},
        {"continuous stop with none running", [](ZAR_HPS_CAPTURE_REQUEST& r) { r.Kind = 2; }, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        ZAR_HPS_CAPTURE_REQUEST r = Still(buffer.data(), ULONG(buffer.size()));
        c.edit(r);
        Result res = Send(IOCTL_ZAR_HPS_CAPTURE, &r, sizeof(r), &r, sizeof(r));
        EXPECT_EQ(res.status, c.status) << c.what;
    }
    // Order 0 comes back as the board's default.
    ZAR_HPS_CAPTURE_REQUEST r = Still(buffer.data(), ULONG(buffer.size()));
    r.FieldOrder = 0;
    ASSERT_EQ(Send(IOCTL_ZAR_HPS_CAPTURE, &r, sizeof(r), &r, sizeof(r)).status, STATUS_SUCCESS);
    EXPECT_EQ(r.FieldOrder, 2u);
}

TEST_F(ZarkdCapture, SingleFieldCaptureEndsByParityAndHoldsTheScaledInput)
{
    struct Case {
        int startParity;
        uint64_t fields;  // field starts until the request completes
    } cases[] = {{1, 2}, {0, 3}};
    for (const Case& c : cases) {
        std::vector<uint8_t> buffer(360 * 243 * 4, 0xEE);
        ZAR_HPS_CAPTURE_REQUEST r = Still(buffer.data(), ULONG(buffer.size()));
        RunToParity(c.startParity);
        ASSERT_EQ(Start(&r), STATUS_PENDING);
        uint64_t begun = Board().Clock().FieldCount();
        while (!Done() && Board().Clock().FieldCount() < begun + 10) RunFields(1);
        ASSERT_TRUE(Done());
        EXPECT_EQ(Board().Clock().FieldCount() - begun, c.fields) << "started on parity " << c.startParity;
        EXPECT_EQ(NTSTATUS(overlapped_.back().Internal), STATUS_SUCCESS);
        // A parity-1 field (odd field numbers), scaled to 360 x 243.
        EXPECT_LE(MaxDifference(Expected(1, 360, 243), buffer.data()), 2) << "started on parity " << c.startParity;
        EXPECT_EQ(ext_->Hps.Current, nullptr);
    }
}

TEST_F(ZarkdCapture, EightBufferRingFillsHoldsThePlayEngineAndResumes)
{
    constexpr ULONG kBytes = 360 * 243 * 4;
    std::vector<std::vector<uint8_t>> buffers(8, std::vector<uint8_t>(kBytes, 0xEE));
    ULONG addresses[8];
    for (int i = 0; i < 8; ++i) addresses[i] = ULONG(reinterpret_cast<ULONG_PTR>(buffers[i].data()));
    volatile LONG status[4] = {7, 7, 7, 7};
    ZAR_HPS_CAPTURE_REQUEST r = Still(nullptr, kBytes);
    r.RingCount = 8;
    r.RingAddresses = ULONG(reinterpret_cast<ULONG_PTR>(addresses));
    r.RingStatus = ULONG(reinterpret_cast<ULONG_PTR>(status));
    ASSERT_EQ(Send(IOCTL_ZAR_HPS_CAPTURE, &r, sizeof(r), &r, sizeof(r)).status, STATUS_SUCCESS);
    EXPECT_EQ(status[0], 0);
    EXPECT_EQ(status[1], 0);
    RunToParity(1);
    RunFields(4);
    EXPECT_EQ(status[0], 0) << "waits for the play engine's go";
    ext_->Hps.RingFlags |= ZAR_HPS_RING_GO;  // the play position reached the start + 2

    struct Frame {
        LONG filled;
        bool full, held;
        LONG consume;  // what the caller has consumed after the frame
    } frames[] = {
        {1, false, false, 0}, {2, false, false, 0}, {3, false, false, 0}, {4, true, false, 0},  // 4 behind: full
        {5, true, true, 0},   {5, true, true, 1},   {5, false, true, 1},  {5, false, false, 1},  // held until 4 behind
        {6, true, false, 5},  {7, true, true, 5},   {7, false, true, 5},  {7, false, false, 7},
        {8, false, false, 8},
    };
    RunToParity(1);  // the go flag is seen here
    for (size_t i = 0; i < std::size(frames); ++i) {
        RunToParity(1);
        const Frame& f = frames[i];
        EXPECT_EQ(status[0], f.filled) << "frame " << i;
        EXPECT_EQ(bool(ext_->Hps.RingFlags & ZAR_HPS_RING_FULL), f.full) << "frame " << i;
        EXPECT_EQ(bool(ext_->Hps.RingFlags & ZAR_HPS_RING_PLAY_HELD), f.held) << "frame " << i;
        status[1] = f.consume;
    }
    // Every buffer the ring filled holds the scaled input.
    for (int i = 0; i < 6; ++i) EXPECT_LE(MaxDifference(Expected(1, 360, 243), buffers[i].data()), 2) << i;

    ZAR_HPS_CAPTURE_REQUEST stop = r;
    stop.Kind = 4;
    ASSERT_EQ(Send(IOCTL_ZAR_HPS_CAPTURE, &stop, sizeof(stop), &stop, sizeof(stop)).status, STATUS_SUCCESS);
    EXPECT_EQ(status[0], -1);
    EXPECT_FALSE(ext_->HpsCircularRunning);
    EXPECT_EQ(ext_->Hps.RingCount, 0u);
}

TEST_F(ZarkdCapture, SmallRingsFillOnlyWhenTheCallerFallsBehind)
{
    struct Case {
        ULONG count;
        LONG fullAtLag;
    } cases[] = {{2, 2}, {4, 2}, {16, 12}};
    for (const Case& c : cases) {
        constexpr ULONG kBytes = 64 * 16 * 4;
        std::vector<std::vector<uint8_t>> buffers(c.count, std::vector<uint8_t>(kBytes));
        std::vector<ULONG> addresses(c.count);
        for (ULONG i = 0; i < c.count; ++i) addresses[i] = ULONG(reinterpret_cast<ULONG_PTR>(buffers[i].data()));
        volatile LONG status[4] = {};
        ZAR_HPS_CAPTURE_REQUEST r = Still(nullptr, kBytes, 1, 64, 16);
        r.RingCount = c.count;
        r.RingAddresses = ULONG(reinterpret_cast<ULONG_PTR>(addresses.data()));
        r.RingStatus = ULONG(reinterpret_cast<ULONG_PTR>(status));
        ASSERT_EQ(Send(IOCTL_ZAR_HPS_CAPTURE, &r, sizeof(r), &r, sizeof(r)).status, STATUS_SUCCESS);
        ext_->Hps.RingFlags |= ZAR_HPS_RING_GO;
        RunToParity(1);
        // A caller that takes each buffer as it is filled never fills the ring.
        for (int frame = 0; frame < 6; ++frame) {
            RunToParity(1);
            EXPECT_FALSE(ext_->Hps.RingFlags & ZAR_HPS_RING_FULL) << c.count << " frame " << frame;
            status[1] = status[0];
        }
        // One that stops taking them fills it at the high-water mark.
        LONG taken = status[1];
        for (int frame = 0; frame < 40 && !(ext_->Hps.RingFlags & ZAR_HPS_RING_FULL); ++frame) RunToParity(1);
        EXPECT_TRUE(ext_->Hps.RingFlags & ZAR_HPS_RING_FULL) << c.count;
        EXPECT_EQ(status[0] - taken, c.fullAtLag) << c.count;
        ZAR_HPS_CAPTURE_REQUEST stop = r;
        stop.Kind = 4;
        ASSERT_EQ(Send(IOCTL_ZAR_HPS_CAPTURE, &stop, sizeof(stop), &stop, sizeof(stop)).status, STATUS_SUCCESS);
    }
}

// A free-running ring fills without the play engine's go, from the frame
// after its request (here one that comes in a parity-0 field, which a
// capture of parity-1 fields would have left its first buffer without),
// counts the frames it drops while the caller is 4 behind, and each overflow
// the bridge reports.
TEST_F(ZarkdCapture, FreeRunningRingDropsFramesWhileFullAndCountsOverflows)
{
    constexpr ULONG kBytes = 64 * 16 * 4;
    std::vector<std::vector<uint8_t>> buffers(8, std::vector<uint8_t>(kBytes));
    ULONG addresses[8];
    for (int i = 0; i < 8; ++i) addresses[i] = ULONG(reinterpret_cast<ULONG_PTR>(buffers[i].data()));
    volatile LONG status[4] = {};
    ZAR_HPS_CAPTURE_REQUEST r = Still(nullptr, kBytes, 1, 64, 16);
    r.RingCount = 8;
    r.RingAddresses = ULONG(reinterpret_cast<ULONG_PTR>(addresses));
    r.RingStatus = ULONG(reinterpret_cast<ULONG_PTR>(status));
    r.FreeRunning = 1;
    RunToParity(0);
    ASSERT_EQ(Send(IOCTL_ZAR_HPS_CAPTURE, &r, sizeof(r), &r, sizeof(r)).status, STATUS_SUCCESS);
    RunToParity(1);
    EXPECT_EQ(status[0], 0) << "starts filling at the next frame";

    struct Frame {
        bool overflow;  // reported with the frame's field
        LONG filled, dropped, overflows;
        LONG consume;   // what the caller has consumed after the frame
    } frames[] = {
        {false, 1, 0, 0, 0}, {false, 2, 0, 0, 0}, {false, 3, 0, 0, 0}, {false, 4, 0, 0, 0},  // 4 behind
        {false, 4, 1, 0, 0}, {true, 4, 2, 1, 0},  {false, 4, 3, 1, 2},                        // dropped while full
        {false, 5, 3, 1, 2}, {false, 6, 3, 1, 2}, {true, 6, 4, 2, 6},  {false, 7, 4, 2, 7},
    };
    for (size_t i = 0; i < std::size(frames); ++i) {
        const Frame& f = frames[i];
        if (f.overflow) Board().Capture().InjectOverflow();
        RunToParity(1);
        EXPECT_EQ(status[0], f.filled) << "frame " << i;
        EXPECT_EQ(status[3], f.dropped) << "frame " << i;
        EXPECT_EQ(status[2], f.overflows) << "frame " << i;
        if (i == 0) {
            EXPECT_LE(MaxDifference(Expected(1, 64, 16), buffers[0].data()), 2) << "the first buffer";
        }
        status[1] = f.consume;
    }
    ZAR_HPS_CAPTURE_REQUEST stop = r;
    stop.Kind = 4;
    ASSERT_EQ(Send(IOCTL_ZAR_HPS_CAPTURE, &stop, sizeof(stop), &stop, sizeof(stop)).status, STATUS_SUCCESS);
    EXPECT_EQ(status[0], -1);
}

// A ring asked to stop at the first overflow stops there and keeps its
// buffers; a re-arm starts it over from the first buffer at the next go,
// and the buffers it fills then hold the input again.
TEST_F(ZarkdCapture, RingStoppedByAnOverflowIsRearmedAndFillsAgain)
{
    constexpr ULONG kBytes = 360 * 243 * 4;
    std::vector<std::vector<uint8_t>> buffers(4, std::vector<uint8_t>(kBytes, 0xEE));
    ULONG addresses[4];
    for (int i = 0; i < 4; ++i) addresses[i] = ULONG(reinterpret_cast<ULONG_PTR>(buffers[i].data()));
    volatile LONG status[4] = {};
    ZAR_HPS_CAPTURE_REQUEST r = Still(nullptr, kBytes);
    r.RingCount = 4;
    r.RingAddresses = ULONG(reinterpret_cast<ULONG_PTR>(addresses));
    r.RingStatus = ULONG(reinterpret_cast<ULONG_PTR>(status));
    r.Overflow = 1;
    ASSERT_EQ(Send(IOCTL_ZAR_HPS_CAPTURE, &r, sizeof(r), &r, sizeof(r)).status, STATUS_SUCCESS);
    ZAR_HPS_CAPTURE_REQUEST rearm = r;
    rearm.Kind = 5;
    rearm.StartPosition = 40;
    EXPECT_EQ(Send(IOCTL_ZAR_HPS_CAPTURE, &rearm, sizeof(rearm), &rearm, sizeof(rearm)).status, STATUS_UNSUCCESSFUL)
        << "a running ring is not re-armed";
    ext_->Hps.RingFlags |= ZAR_HPS_RING_GO;
    RunToParity(1);
    for (int frame = 0; frame < 3; ++frame) {
        RunToParity(1);
        status[1] = status[0];
    }
    ASSERT_EQ(status[0], 3);
    Board().Capture().InjectOverflow();
    RunToParity(1);
    EXPECT_EQ(status[2], 1);
    EXPECT_EQ(status[0], 3) << "no advance past the overflow";
    for (auto& b : buffers) std::fill(b.begin(), b.end(), 0xEE);
    RunFields(6);
    EXPECT_EQ(status[0], 3);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(buffers[i][0], 0xEE) << "buffer " << i << " written while stopped";

    ASSERT_EQ(Send(IOCTL_ZAR_HPS_CAPTURE, &rearm, sizeof(rearm), &rearm, sizeof(rearm)).status, STATUS_SUCCESS);
    EXPECT_EQ(status[0], 0);
    EXPECT_EQ(status[2], 0);
    EXPECT_EQ(ext_->Hps.StartPosition, 40u);
    RunFields(4);
    EXPECT_EQ(status[0], 0) << "waits for the go again";
    ext_->Hps.RingFlags |= ZAR_HPS_RING_GO;
    RunToParity(1);
    for (int frame = 0; frame < 3; ++frame) {
        RunToParity(1);
        status[1] = status[0];
    }
    EXPECT_EQ(status[0], 3);
    for (int i = 1; i < 3; ++i) EXPECT_LE(MaxDifference(Expected(1, 360, 243), buffers[i].data()), 2) << "buffer " << i;

    ZAR_HPS_CAPTURE_REQUEST stop = r;
    stop.Kind = 4;
    ASSERT_EQ(Send(IOCTL_ZAR_HPS_CAPTURE, &stop, sizeof(stop), &stop, sizeof(stop)).status, STATUS_SUCCESS);
    EXPECT_EQ(status[0], -1);
}

TEST_F(ZarkdCapture, StillPreemptsTheContinuousCaptureWhichResumesByItself)
{
    std::vector<uint8_t> preview(180 * 120 * 4, 0xEE), still(360 * 243 * 4, 0xEE);
    ZAR_HPS_CAPTURE_REQUEST cont = Still(preview.data(), ULONG(preview.size()), 1, 180, 120);
    cont.Kind = 1;
    cont.Pitch = 180 * 4;
    ASSERT_EQ(Send(IOCTL_ZAR_HPS_CAPTURE, &cont, sizeof(cont), &cont, sizeof(cont)).status, STATUS_SUCCESS);
    RunFields(4);
    EXPECT_EQ(ULONG(ext_->CaptureState), ULONG(ZAR_HPS_CONTINUOUS));
    EXPECT_LE(MaxDifference(Expected(1, 180, 120), preview.data()), 2);

    ZAR_HPS_CAPTURE_REQUEST r = Still(still.data(), ULONG(still.size()));
    ASSERT_EQ(Send(IOCTL_ZAR_HPS_CAPTURE, &r, sizeof(r), &r, sizeof(r)).status, STATUS_SUCCESS);
    EXPECT_LE(MaxDifference(Expected(1, 360, 243), still.data()), 2);
    RunFields(4);
    EXPECT_EQ(ULONG(ext_->CaptureState), ULONG(ZAR_HPS_CONTINUOUS)) << "resumed without a request";
    std::fill(preview.begin(), preview.end(), 0xEE);
    RunFields(4);
    EXPECT_LE(MaxDifference(Expected(1, 180, 120), preview.data()), 2);

    ZAR_HPS_CAPTURE_REQUEST stop = cont;
    stop.Kind = 2;
    ASSERT_EQ(Send(IOCTL_ZAR_HPS_CAPTURE, &stop, sizeof(stop), &stop, sizeof(stop)).status, STATUS_SUCCESS);
    EXPECT_FALSE(ext_->Hps.Continuous);
    std::fill(preview.begin(), preview.end(), 0xEE);
    RunFields(4);
    EXPECT_EQ(preview[0], 0xEE) << "nothing written after the stop";
}

TEST_F(ZarkdCapture, TheCapturePageTablesGoWithTheDriver)
{
    std::vector<uint8_t> buffer(360 * 243 * 4);
    ZAR_HPS_CAPTURE_REQUEST r = Still(buffer.data(), ULONG(buffer.size()));
    ASSERT_EQ(Start(&r), STATUS_PENDING);
    for (int i = 0; i < 10 && !Done(); ++i) RunFields(1);
    ASSERT_TRUE(Done());
    PADAPTER_OBJECT adapter = ext_->DmaAdapter[ZAR_PREVIEW_ADAPTER];
    EXPECT_GT(HalCommonBufferCount(adapter), 0u);
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    ASSERT_EQ(nt::IoUnloadDriver(u"ZARKD"), STATUS_SUCCESS);
    EXPECT_EQ(HalCommonBufferCount(adapter), 0u);
}

// The play engine's node timing: the ring's go flag when the play reaches
// the start position + 2, and a node that is due waits while the ring holds
// the play.
TEST_F(ZarkdCapture, ThePlayStartsTheRingAndWaitsWhileItIsFull)
{
    ZAR_HPS_STATE& h = ext_->Hps;
    const ULONG saved = h.RingFlags;
    h.StartPosition = 100;
    h.RingFlags = ZAR_HPS_RING_RUNNING;
    ZAR_PLAY_STATE play{};
    ZAR_NODE_RECORD node{};
    for (ULONG position : {100u, 101u}) {
        play.Position = position;
        ZarPlIsNodePlaytime(ext_, &play, &node, 0);
        EXPECT_FALSE(h.RingFlags & ZAR_HPS_RING_GO) << "position " << position;
    }
    play.Position = 102;
    node.Field = 200;  // not due yet
    EXPECT_EQ(ZarPlIsNodePlaytime(ext_, &play, &node, 0), 0u);
    EXPECT_TRUE(h.RingFlags & ZAR_HPS_RING_GO);

    node.Field = 102;
    for (UCHAR kind : {UCHAR(0), UCHAR(1)}) {
        node.TimingKind = kind;
        node.Flags = 0;
        play.Position = kind == 0 ? 102 : 104;
        h.RingFlags |= ZAR_HPS_RING_PLAY_HELD;
        EXPECT_EQ(ZarPlIsNodePlaytime(ext_, &play, &node, 0), 0u) << "timing kind " << int(kind);
        EXPECT_EQ(play.Held, 1u);
        h.RingFlags &= ~ZAR_HPS_RING_PLAY_HELD;
        EXPECT_EQ(ZarPlIsNodePlaytime(ext_, &play, &node, 0), 1u) << "timing kind " << int(kind);
        EXPECT_EQ(play.Held, 0u);
    }
    h.RingFlags = saved;
}

}  // namespace

