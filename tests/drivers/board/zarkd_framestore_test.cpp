// ZARKD's read of the input frame store: the picture, its line order and
// field interleave, colour conversion within one step of BT.601, the key
// modes and their hold, and the refusals.

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "tests/drivers/board/zarkd_ioctl_machine.h"

namespace {

constexpr int kWidth = 720;
constexpr int kLines = 486;  // a 525-line frame

class ZarkdFrameStore : public ZarkdIoctlMachine {
protected:
    sim::Board& Board() { return *built_.boards[0]; }

    NTSTATUS ReadStore(ULONG keyMode, ULONG format, void* fill, void* key = nullptr)
    {
        ZAR_FRAMESTORE_READ r{keyMode, 0, format, 0, ULONG(reinterpret_cast<ULONG_PTR>(fill)),
                              ULONG(reinterpret_cast<ULONG_PTR>(key))};
        return Send(IOCTL_ZAR_VIN_FRAMESTORE_READ, &r, sizeof r, &r, sizeof r).status;
    }

    // The input's Y, Cb, Cr at picture line 'line', pixel 'x', as the store
    // holds them (the second pixel of a pair takes the chroma halfway to the
    // next pair's, except in the last pair).
    struct Ycc {
        int y, cb, cr;
    };
    Ycc Input(int line, int x)
    {
        // Even picture lines are the parity-1 field: at 525 lines the store's second.
        const sim::VideoField& f = Board().VideoIn().Field(Board().FrameStore().FieldHeld(line % 2 == 0 ? 1 : 0));
        const int l = line / 2, p = x / 2;
        const uint8_t* cb = f.Cb() + l * 360;
        const uint8_t* cr = f.Cr() + l * 360;
        const bool between = x % 2 == 1 && p + 1 < 360;
        return {f.Y()[l * kWidth + x], between ? (cb[p] + cb[p + 1] + 1) / 2 : cb[p],
                between ? (cr[p] + cr[p + 1] + 1) / 2 : cr[p]};
    }
    static void Bgr(Ycc c, int out[3])
    {
        auto clamp = [](double v) { return int(std::lround(std::clamp(v, 0.0, 255.0))); };
        out[2] = clamp(1.164 * (c.y - 16) + 1.596 * (c.cr - 128));
        out[1] = clamp(1.164 * (c.y - 16) - 0.813 * (c.cr - 128) - 0.392 * (c.cb - 128));
        out[0] = clamp(1.164 * (c.y - 16) + 2.018 * (c.cb - 128));
    }
    // Points that cover both fields, both pixels of a pair, the last pair,
    // the top and bottom lines and the colour bars.
    static constexpr int kPoints[][2] = {{0, 0}, {1, 1}, {2, 100}, {3, 719}, {240, 718}, {241, 359},
                                         {300, 45}, {484, 2}, {485, 717}};
};

TEST_F(ZarkdFrameStore, FormatsAndKeyModesGiveTheInputPictureBottomUp)
{
    Board().FrameStore().SetKey(0x5A);
    struct Case {
        ULONG keyMode, format;
        int bytes;      // a pixel
        int alpha;      // -1: none
        bool colour;    // BGR; else Cb, Y, Cr
    } cases[] = {
        {ZAR_FS_KEY_OPAQUE, ZAR_FS_FORMAT_BGRA, 4, 255, true},
        {ZAR_FS_KEY_ALPHA, ZAR_FS_FORMAT_BGRA, 4, 0x5A, true},
        {ZAR_FS_KEY_OPAQUE, ZAR_FS_FORMAT_BGR, 3, -1, true},
        {ZAR_FS_KEY_ALPHA, ZAR_FS_FORMAT_CBYCRA, 4, 0x5A, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "key mode " << c.keyMode << ", format " << c.format);
        std::vector<uint8_t> image(size_t(kLines) * kWidth * c.bytes + 16, 0xEE);
        ASSERT_EQ(ReadStore(c.keyMode, c.format, image.data()), STATUS_SUCCESS);
        EXPECT_EQ(image[size_t(kLines) * kWidth * c.bytes], 0xEE) << "written past the frame";
        for (const auto& point : kPoints) {
            const int line = point[0], x = point[1];
            SCOPED_TRACE(testing::Message() << "line " << line << ", pixel " << x);
            const uint8_t* px = &image[(size_t(kLines - 1 - line) * kWidth + x) * c.bytes];
            const Ycc in = Input(line, x);
            if (c.colour) {
                int want[3];
                Bgr(in, want);
                for (int i = 0; i < 3; ++i) EXPECT_NEAR(px[i], want[i], 1) << "component " << i;
            } else {
                EXPECT_EQ(px[0], in.cb);
                EXPECT_EQ(px[1], in.y);
                EXPECT_EQ(px[2], in.cr);
            }
            if (c.alpha >= 0) {
                EXPECT_EQ(px[3], c.alpha);
            }
        }
    }
}

TEST_F(ZarkdFrameStore, EachFieldIsReadFromItsOwnStartAddress)
{
    // The store's field address register, as the read writes it: the first
    // field from 0, the second from 1,024 (the store's own address of it).
    std::vector<std::string> lines;
    Board().FrameStore().GetTrace().Enable(true);
    Board().FrameStore().GetTrace().SetSink([&](const std::string& l) {
        if (l.find("read field") != std::string::npos) lines.push_back(l.substr(l.find("read field")));
    });
    std::vector<uint8_t> image(size_t(kLines) * kWidth * 4);
    ASSERT_EQ(ReadStore(ZAR_FS_KEY_OPAQUE, ZAR_FS_FORMAT_BGRA, image.data()), STATUS_SUCCESS);
    Board().FrameStore().GetTrace().Enable(false);
    EXPECT_EQ(lines, (std::vector<std::string>{"read field 0 from address 0", "read field 1 from address 1024"}));
}

TEST_F(ZarkdFrameStore, TwoImagesHoldTheStoreAndLeaveTheHoldAsItWas)
{
    Board().FrameStore().SetKey(0x5A);
    std::vector<uint8_t> fill(size_t(kLines) * kWidth * 3), key(fill.size());
    for (bool heldBefore : {false, true}) {
        SCOPED_TRACE(heldBefore ? "held before" : "not held before");
        ZarVinSetFrameStoreHold(ext_, heldBefore);
        Board().FrameStore().GetTrace().Enable(true);
        std::vector<std::string> lines;
        Board().FrameStore().GetTrace().SetSink([&](const std::string& l) { lines.push_back(l); });
        ASSERT_EQ(ReadStore(ZAR_FS_KEY_TWO_IMAGES, ZAR_FS_FORMAT_BGR, fill.data(), key.data()), STATUS_SUCCESS);
        Board().FrameStore().GetTrace().Enable(false);
        EXPECT_EQ(Board().FrameStore().Held(), heldBefore);
        EXPECT_EQ((Board().Regs().Peek(ZAR_REG_VIDEO_CONTROL) & 0x80) != 0, heldBefore);
        if (!heldBefore) {
            ASSERT_FALSE(lines.empty());
            EXPECT_NE(lines.front().find("held"), std::string::npos) << "the store was not held for the read";
        }
        // The key bytes (0x05, 0x0A, 0x05, 0x0A a pair) read as a picture.
        int want[3];
        Bgr({0x0A, 0x05, 0x05}, want);
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(key[i], want[i], 1);
        int colour[3];
        Bgr(Input(kLines - 1, 0), colour);
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(fill[i], colour[i], 1);
    }
    ZarVinSetFrameStoreHold(ext_, false);
}

TEST_F(ZarkdFrameStore, BadRequestsAndImagesAreRefusedBeforeAnyLine)
{
    std::vector<uint8_t> image(size_t(kLines) * kWidth * 4, 0xEE);
    EXPECT_EQ(ReadStore(3, ZAR_FS_FORMAT_BGRA, image.data()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ReadStore(ZAR_FS_KEY_OPAQUE, 2, image.data()), STATUS_UNSUCCESSFUL);
    // An image one line short, and a key image that cannot be written.
    const size_t bytes = size_t(kLines) * kWidth * 3;
    const size_t pages = (bytes + 4095) / 4096 + 1;
    auto* area = static_cast<uint8_t*>(::mmap(nullptr, pages * 4096, PROT_READ | PROT_WRITE,
                                              MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(area, MAP_FAILED);
    ASSERT_EQ(::mprotect(area + (pages - 1) * 4096, 4096, PROT_NONE), 0);
    uint8_t* shortImage = area + (pages - 1) * 4096 - (bytes - kWidth * 3);
    shortImage[0] = 0xEE;
    EXPECT_EQ(ReadStore(ZAR_FS_KEY_OPAQUE, ZAR_FS_FORMAT_BGR, shortImage), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(shortImage[0], 0xEE);
    EXPECT_EQ(ReadStore(ZAR_FS_KEY_TWO_IMAGES, ZAR_FS_FORMAT_BGR, image.data(), noAccess_), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(image[0], 0xEE) << "the fill image was written before the key image was checked";
    EXPECT_FALSE(Board().FrameStore().Held());
    ::munmap(area, pages * 4096);
}

}  // namespace
