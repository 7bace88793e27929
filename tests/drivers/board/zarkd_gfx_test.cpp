// ZARKD's graphics frame stores against the simulated stores: settings and
// their read registers, pictures loaded through the BRS channel, erase, and
// the programme output of a keyed store.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/drivers/board/zarkd_fx_machine.h"

namespace {

// A DIB of 32-bit pixels (Cb | Y << 8 | Cr << 16 | key << 24), bottom-up.
struct Picture {
    ULONG width, height;
    std::vector<UCHAR> header = std::vector<UCHAR>(40, 0);
    std::vector<ULONG> pixels;  // memory order: the bottom line first

    Picture(ULONG w, ULONG h, ULONG (*at)(ULONG x, ULONG line)) : width(w), height(h), pixels(size_t(w) * h)
    {
        std::memcpy(&header[4], &w, 4);
        std::memcpy(&header[8], &h, 4);
        USHORT bits = 32;
        std::memcpy(&header[14], &bits, 2);
        for (ULONG l = 0; l < h; ++l)
            for (ULONG x = 0; x < w; ++x) pixels[size_t(h - 1 - l) * w + x] = at(x, l);
    }
};

class ZarkdGfx : public ZarkdFxMachine {
protected:
    NTSTATUS Load(Picture& p, ULONG store, ULONG target, ULONG flip = 0)
    {
        ULONG r[18] = {};
        r[0] = 1;
        r[4] = flip;
        r[1] = target;
        r[2] = store;
        r[5] = ULONG(reinterpret_cast<ULONG_PTR>(p.header.data()));
        r[10] = ULONG(reinterpret_cast<ULONG_PTR>(p.pixels.data()));
        return Send(IOCTL_ZAR_GFX_LOAD_IMAGE, r, 72, r, 72).status;
    }
    NTSTATUS Settings(ZAR_GFX_SETTINGS s) { return Send(IOCTL_ZAR_GFX_SET_FRAMESTORE, &s, 36, &s, 36).status; }
    // Display line 'line' of a frame in a store's buffer, pixel x (origin at 0, 0).
    ULONG StoreAt(int store, int buffer, ULONG x, ULONG line)
    {
        ULONG base = (line & 1) ? sim::fx::kSecondFieldPixels : 0;
        return Fx().StorePixel(store, buffer, base + (line / 2) * 720 + x);
    }
};

TEST_F(ZarkdGfx, SettingsAreCheckedKeptAndWrittenToTheReadRegisters)
{
    const struct {
        const char* what;
        ZAR_GFX_SETTINGS s;
        NTSTATUS status;
    } cases[] = {
        {"store A, bad mode", {0, 0, 0, 0, 1, 0, 0, 0, 1}, STATUS_UNSUCCESSFUL},
        {"store A, bad selection", {1, 4, 0, 0, 1, 0, 0, 0, 1}, STATUS_UNSUCCESSFUL},
        {"store B off with no buffer", {0, 0, 0, 0, 255, 10, 0, 0, 2}, STATUS_SUCCESS},
        {"store B, mode 255 only with store B", {255, 0, 0, 0, 1, 0, 0, 0, 1}, STATUS_UNSUCCESSFUL},
        {"nothing flagged: anything goes", {9, 9, 0, 0, 9, 9, 0, 0, 0}, STATUS_SUCCESS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Settings(c.s), c.status);
    }
    Fx().ClearLog();
    // (100, 10): pair address (10 x 720 + 100) / 2 = 3,650: column 66, row 28.
    ASSERT_EQ(Settings({1, 3, 100, 10, 0, 0, 0, 0, 1}), STATUS_SUCCESS);
    EXPECT_EQ(Logged(0x547C, 0x5484), (std::vector<std::pair<uint32_t, uint16_t>>{{0x547C, 66}, {0x5480, 28}, {0x5484, 0x30}}));
    ZAR_GFX_SETTINGS back{};
    ASSERT_EQ(Send(IOCTL_ZAR_GFX_GET_FRAMESTORE, &back, 36, &back, 36).status, STATUS_SUCCESS);
    EXPECT_EQ(back.ModeA, 1u);
    EXPECT_EQ(back.SelectionA, 3u);
    EXPECT_EQ(back.ModeB, 255u) << "store B as last set";
    EXPECT_EQ(back.SelectionB, 10u);
    // Unchanged registers are not written again each field.
    Fx().ClearLog();
    RunFields(3);
    EXPECT_TRUE(Logged(0x547C, 0x5484).empty());
}

TEST_F(ZarkdGfx, StoreARowBitsFollowTheSelectionAndTheFieldParity)
{
    // (col 0, row 456): pair address 164,160, row address 1,282 = 0x502:
    // bits 8-10 give 5. Selection 1 shows the other bank on parity-0 fields,
    // selection 2 on parity-1 fields (bit 2 inverted: 1); 3 is buffer 2.
    const struct {
        ULONG selection;
        uint16_t parity0, parity1;  // the control register's bits 0-5
    } cases[] = {{0, 0x15, 0x15}, {1, 0x11, 0x15}, {2, 0x15, 0x11}, {3, 0x35, 0x35}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "selection " << c.selection);
        ASSERT_EQ(Settings({1, c.selection, 0, 456, 0, 0, 0, 0, 1}), STATUS_SUCCESS);
        for (int i = 0; i < 2; ++i) {
            RunFields(1);
            const ULONG parity = ext_->FieldParity & 1;
            EXPECT_EQ(Fx().Register(0x5480), 0x502);
            EXPECT_EQ(Fx().Register(0x5484) & 0x3F, parity ? c.parity1 : c.parity0) << "parity " << parity;
        }
    }
}

TEST_F(ZarkdGfx, APictureLoadedThroughBrsReadsBackIdenticalAndEraseBlackensBothBuffers)
{
    Picture p(64, 12, [](ULONG x, ULONG line) { return 0x80000000u | (line << 16) | (x << 8) | 0x40; });
    ASSERT_EQ(Settings({1, 0, 0, 0, 1, 0, 0, 0, 3}), STATUS_SUCCESS);
    ASSERT_EQ(Load(p, 0, 2), STATUS_SUCCESS);  // selection 2: buffer 1
    ASSERT_EQ(Load(p, 0, 1), STATUS_SUCCESS);  // selection 1: buffer 2
    for (int buffer = 0; buffer < 2; ++buffer)
        for (ULONG l = 0; l < p.height; ++l)
            for (ULONG x = 0; x < p.width; ++x)
                ASSERT_EQ(StoreAt(0, buffer, x, l), p.pixels[size_t(p.height - 1 - l) * p.width + x])
                    << "buffer " << buffer << " line " << l << " x " << x;

    ULONG store = 0;
    ASSERT_EQ(Send(IOCTL_ZAR_GFX_ERASE_FRAMESTORE, &store, 4, nullptr, 0).status, STATUS_SUCCESS);
    for (int buffer = 0; buffer < 2; ++buffer)
        for (ULONG l : {0u, 1u, 11u, 729u})
            for (ULONG x : {0u, 63u, 719u}) EXPECT_EQ(StoreAt(0, buffer, x, l), ZAR_GFX_BLACK) << buffer << "," << l << "," << x;
}

TEST_F(ZarkdGfx, BadImagesAreRefusedWithInvalidParameter)
{
    auto any = [](ULONG, ULONG) { return 0u; };
    const struct {
        ULONG width, height;
        NTSTATUS status;
    } cases[] = {{722, 2, STATUS_INVALID_PARAMETER}, {63, 2, STATUS_INVALID_PARAMETER},
                 {8, 731, STATUS_INVALID_PARAMETER}, {720, 730, STATUS_SUCCESS}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height);
        Picture p(c.width, c.height, any);
        EXPECT_EQ(Load(p, 0, 2), c.status);
    }
    Picture p(8, 2, any);
    USHORT bits = 24;
    std::memcpy(&p.header[14], &bits, 2);
    EXPECT_EQ(Load(p, 0, 2), STATUS_INVALID_PARAMETER);
    p.header.assign(40, 0);
    ULONG r[18] = {1, 2, 0};
    r[5] = ULONG(reinterpret_cast<ULONG_PTR>(noAccess_));
    EXPECT_NE(Send(IOCTL_ZAR_GFX_LOAD_IMAGE, r, 72, r, 72).status, STATUS_SUCCESS);
    ULONG grabIntoA[18] = {3, 0, 0};
    EXPECT_EQ(Send(IOCTL_ZAR_GFX_LOAD_IMAGE, grabIntoA, 72, grabIntoA, 72).status, STATUS_UNSUCCESSFUL);
}

TEST_F(ZarkdGfx, AGrabLandsInTheBufferItsTargetNamesWhateverTheLastLoadLeft)
{
    // A picture in store B's buffer 2 leaves the store's write-buffer bit on
    // buffer 2; a grab for buffer 1 must still land in buffer 1.
    Picture p(64, 12, [](ULONG x, ULONG line) { return 0x80000000u | (line << 16) | (x << 8) | 0x40; });
    ASSERT_EQ(Load(p, 1, 1), STATUS_SUCCESS);  // selection 1: buffer 2
    auto grab = [this](ULONG target) {
        ULONG r[18] = {3, target, 1};
        return Send(IOCTL_ZAR_GFX_LOAD_IMAGE, r, 72, r, 72).status;
    };
    auto grabbed = [this](int buffer) { return StoreAt(1, buffer, 10, 4) >> 24 == 0xFF; };  // the input's key
    ASSERT_EQ(grab(0), STATUS_SUCCESS);
    EXPECT_TRUE(grabbed(0)) << "target 0 grabs into buffer 1";
    for (ULONG l = 0; l < p.height; ++l)
        ASSERT_EQ(StoreAt(1, 1, 5, l), p.pixels[size_t(p.height - 1 - l) * p.width + 5]) << "buffer 2 kept, line " << l;
    EXPECT_EQ(Fx().Register(sim::fx::kStoreBWrite) & ZAR_STORE_B_WRITE_BUFFER, 0u);

    ASSERT_EQ(grab(1), STATUS_SUCCESS);
    EXPECT_TRUE(grabbed(1)) << "target 1 grabs into buffer 2";
    EXPECT_EQ(Fx().Register(sim::fx::kStoreBWrite) & ZAR_STORE_B_WRITE_BUFFER, ZAR_STORE_B_WRITE_BUFFER);
}

// Store A keyed over a flat matte by the downstream key, then faded.
TEST_F(ZarkdGfx, TheProgrammeShowsTheKeyedStoreOverTheInputAndTheFade)
{
    // White and opaque in the left half of the picture, transparent elsewhere.
    Picture p(64, 16, [](ULONG x, ULONG) { return x < 32 ? 0xFF80EB80u : 0x00801080u; });
    ASSERT_EQ(Settings({1, 0, 0, 0, 1, 0, 0, 0, 3}), STATUS_SUCCESS);
    // Written away from the shown buffer, then shown.
    ASSERT_EQ(Load(p, 0, 2, 1), STATUS_SUCCESS);
    EXPECT_EQ(Fx().Register(0x5484) & 0x20, 0) << "buffer 1 shown";
    UCHAR matte[10] = {1, 0, 0, 0, 0x40, 0x40, 0x40, 0};  // a dark grey matte under it
    ASSERT_EQ(Send(IOCTL_ZAR_MIX_SET_PROC_AMP0, matte, 10, matte, 10).status, STATUS_SUCCESS);
    UCHAR key[11] = {};
    key[10] = 255;
    ASSERT_EQ(Send(IOCTL_ZAR_MIX_SET_DOWN_STREAM_KEY, key, 11, nullptr, 0).status, STATUS_SUCCESS);
    UCHAR noFade = 0;
    ASSERT_EQ(Send(IOCTL_ZAR_MIX_SET_MASTER_FADE, &noFade, 1, nullptr, 0).status, STATUS_SUCCESS);
    UCHAR yuv[4];
    ZarMixRgbToYuv(0x404040, yuv);

    RunFields(2);
    for (int parity = 0; parity < 2; ++parity) {
        const sim::VideoField& f = Fx().Programme().Field(0, parity);
        for (int line : {0, 5}) {
            EXPECT_EQ(f.Y()[line * 720 + 10], 0xEB) << "keyed store, parity " << parity;
            EXPECT_EQ(f.Y()[line * 720 + 40], yuv[1]) << "matte where the key is 0";
        }
        EXPECT_EQ(f.Y()[100 * 720 + 10], yuv[1]) << "below the picture the store is empty";
    }

    UCHAR fade = 255;  // all the way down
    ASSERT_EQ(Send(IOCTL_ZAR_MIX_SET_MASTER_FADE, &fade, 1, nullptr, 0).status, STATUS_SUCCESS);
    RunFields(1);
    const sim::VideoField& faded = Fx().Programme().Field(0, Board().Clock().Parity());
    EXPECT_EQ(faded.Y()[10], 16);
    EXPECT_EQ(faded.Cb()[5], 128);
}

}  // namespace
