// The drawing layer draws the pixels it is asked for: checked at a few
// points of lines, fills, blits, clipping and text, in a memory DC.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/gdi/gdi.h"
#include "platform/gdi/gdi_surface.h"

namespace {

constexpr COLORREF kRed = RGB(255, 0, 0), kBlue = RGB(0, 0, 255), kWhite = RGB(255, 255, 255);

// A 100x80 memory DC on a 32-bit DIB section, cleared to white.
class Canvas : public ::testing::Test {
protected:
    void SetUp() override
    {
        BITMAPINFO bmi{};
        bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        bmi.bmiHeader.biWidth = 100;
        bmi.bmiHeader.biHeight = -80;
        bmi.bmiHeader.biPlanes = 1;
        bmi.bmiHeader.biBitCount = 32;
        dc = CreateCompatibleDC(nullptr);
        bitmap = CreateDIBSection(dc, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0);
        ASSERT_NE(bitmap, nullptr);
        SelectObject(dc, bitmap);
        RECT all{0, 0, 100, 80};
        FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    }
    void TearDown() override
    {
        DeleteDC(dc);
        DeleteObject(bitmap);
    }
    int CountColour(COLORREF c, RECT r)
    {
        int n = 0;
        for (int y = r.top; y < r.bottom; ++y)
            for (int x = r.left; x < r.right; ++x) n += GetPixel(dc, x, y) == c;
        return n;
    }
    HDC dc = nullptr;
    HBITMAP bitmap = nullptr;
    void* bits = nullptr;
};

TEST_F(Canvas, LinesLeaveTheirLastPointAndPensKeepTheirColour)
{
    HPEN pen = CreatePen(PS_SOLID, 1, kRed);
    HGDIOBJ old = SelectObject(dc, pen);
    MoveToEx(dc, 10, 10, nullptr);
    LineTo(dc, 50, 10);
    LineTo(dc, 50, 40);
    EXPECT_EQ(GetPixel(dc, 10, 10), kRed);
    EXPECT_EQ(GetPixel(dc, 49, 10), kRed);
    EXPECT_EQ(GetPixel(dc, 50, 10), kRed);  // drawn by the second line
    EXPECT_EQ(GetPixel(dc, 50, 39), kRed);
    EXPECT_EQ(GetPixel(dc, 50, 40), kWhite);  // the last point is left out
    EXPECT_EQ(GetPixel(dc, 30, 11), kWhite);
    // Diagonal: one pixel a row.
    MoveToEx(dc, 0, 50, nullptr);
    LineTo(dc, 20, 70);
    EXPECT_EQ(CountColour(kRed, {0, 50, 21, 71}), 20);
    SelectObject(dc, old);
    EXPECT_TRUE(DeleteObject(pen));
}

TEST_F(Canvas, TheDeviceIsNinetySixDotsAnInchInTrueColour)
{
    EXPECT_EQ(GetDeviceCaps(dc, LOGPIXELSY), 96);
    EXPECT_EQ(GetDeviceCaps(dc, BITSPIXEL), 32);
    EXPECT_EQ(GetDeviceCaps(dc, HORZRES), 100);
}

TEST_F(Canvas, RectanglesAndEllipsesFrameWithThePenAndFillWithTheBrush)
{
    HBRUSH brush = CreateSolidBrush(kBlue);
    SelectObject(dc, brush);
    SelectObject(dc, CreatePen(PS_SOLID, 1, kRed));
    Rectangle(dc, 10, 10, 30, 20);
    EXPECT_EQ(GetPixel(dc, 10, 10), kRed);
    EXPECT_EQ(GetPixel(dc, 29, 19), kRed);
    EXPECT_EQ(GetPixel(dc, 30, 20), kWhite);
    EXPECT_EQ(GetPixel(dc, 20, 15), kBlue);
    EXPECT_EQ(CountColour(kBlue, {10, 10, 30, 20}), 18 * 8);

    Ellipse(dc, 40, 40, 80, 60);
    EXPECT_EQ(GetPixel(dc, 60, 50), kBlue);      // centre
    EXPECT_EQ(GetPixel(dc, 40, 40), kWhite);     // corner of the box
    EXPECT_EQ(GetPixel(dc, 40, 50), kRed);       // leftmost point of the outline
    EXPECT_EQ(GetPixel(dc, 60, 40), kRed);       // topmost
    const POINT triangle[3] = {{0, 79}, {20, 60}, {40, 79}};
    Polygon(dc, triangle, 3);
    EXPECT_EQ(GetPixel(dc, 20, 75), kBlue);
    EXPECT_EQ(GetPixel(dc, 3, 62), kWhite);
    DeleteObject(SelectObject(dc, GetStockObject(BLACK_PEN)));
    SelectObject(dc, GetStockObject(WHITE_BRUSH));
    EXPECT_TRUE(DeleteObject(brush));
}

TEST_F(Canvas, ClipRegionsKeepDrawingInside)
{
    HRGN left = CreateRectRgn(0, 0, 50, 80);
    HRGN hole = CreateRectRgn(10, 10, 20, 20);
    ASSERT_EQ(CombineRgn(left, left, hole, RGN_DIFF), COMPLEXREGION);
    SelectClipRgn(dc, left);
    RECT all{0, 0, 100, 80};
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    EXPECT_EQ(GetPixel(dc, 5, 5), 0u);
    EXPECT_EQ(GetPixel(dc, 15, 15), kWhite);  // the hole
    EXPECT_EQ(GetPixel(dc, 60, 5), kWhite);   // right of the region
    RECT box;
    EXPECT_EQ(GetClipBox(dc, &box), COMPLEXREGION);
    EXPECT_EQ(box.right, 50);
    SelectClipRgn(dc, nullptr);
    ExcludeClipRect(dc, 0, 0, 100, 40);
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH)));
    EXPECT_EQ(GetPixel(dc, 60, 5), kWhite);
    EXPECT_EQ(GetPixel(dc, 60, 45), RGB(128, 128, 128));
    DeleteObject(left);
    DeleteObject(hole);
}

TEST_F(Canvas, BlitsCopyStretchAndReadBottomUpDibs)
{
    // A 2x2 bottom-up 24-bit DIB: bottom row red, blue; top row white, black.
    const uint8_t dib[2][8] = {{0, 0, 255, 255, 0, 0, 0, 0}, {255, 255, 255, 0, 0, 0, 0, 0}};
    BITMAPINFO bmi{};
    bmi.bmiHeader = {sizeof(BITMAPINFOHEADER), 2, 2, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    EXPECT_EQ(StretchDIBits(dc, 0, 0, 2, 2, 0, 0, 2, 2, dib, &bmi, DIB_RGB_COLORS, SRCCOPY), 2);
    EXPECT_EQ(GetPixel(dc, 0, 0), kWhite);
    EXPECT_EQ(GetPixel(dc, 1, 0), 0u);
    EXPECT_EQ(GetPixel(dc, 0, 1), kRed);
    EXPECT_EQ(GetPixel(dc, 1, 1), kBlue);
    // Stretched 10x: each source pixel becomes a 10x10 block.
    StretchDIBits(dc, 20, 20, 20, 20, 0, 0, 2, 2, dib, &bmi, DIB_RGB_COLORS, SRCCOPY);
    EXPECT_EQ(GetPixel(dc, 29, 39), kRed);
    EXPECT_EQ(GetPixel(dc, 30, 30), kBlue);
    EXPECT_EQ(CountColour(kBlue, {20, 20, 40, 40}), 100);
    // DC to DC, and an inverting blit over it.
    HDC other = CreateCompatibleDC(dc);
    HBITMAP ob = CreateCompatibleBitmap(dc, 10, 10);
    SelectObject(other, ob);
    BitBlt(other, 0, 0, 10, 10, dc, 25, 35, SRCCOPY);
    EXPECT_EQ(GetPixel(other, 0, 0), kRed);
    EXPECT_EQ(GetPixel(other, 5, 0), kBlue);
    BitBlt(dc, 60, 60, 10, 10, other, 0, 0, SRCCOPY);
    EXPECT_EQ(GetPixel(dc, 65, 60), kBlue);
    PatBlt(dc, 60, 60, 10, 10, DSTINVERT);
    EXPECT_EQ(GetPixel(dc, 65, 60), RGB(255, 255, 0));
    DeleteDC(other);
    DeleteObject(ob);
}

TEST_F(Canvas, TextIsDrawnWithTheFontAndAligned)
{
    SIZE size{};
    ASSERT_TRUE(GetTextExtentPoint32(dc, "Device 0", 8, &size)) << "font file missing?";
    EXPECT_GT(size.cx, 30);
    EXPECT_GE(size.cy, 11);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, kBlue);
    TextOut(dc, 5, 5, "Hg", 2);
    const int inked = CountColour(kBlue, {0, 0, 100, 40});
    EXPECT_GT(inked, 15);
    EXPECT_EQ(CountColour(kBlue, {0, 0, 5, 80}), 0);
    // Right-aligned at x=95: nothing right of 95, ink just left of it.
    SetTextAlign(dc, TA_RIGHT);
    TextOut(dc, 95, 50, "Hg", 2);
    EXPECT_EQ(CountColour(kBlue, {95, 40, 100, 80}), 0);
    EXPECT_EQ(CountColour(kBlue, {60, 40, 95, 80}), inked);
    // Clipped to a rectangle with an opaque background.
    SetTextAlign(dc, TA_LEFT);
    SetBkColor(dc, kRed);
    RECT box{5, 30, 12, 45};
    ExtTextOut(dc, 5, 30, ETO_CLIPPED | ETO_OPAQUE, &box, "WWWW", 4, nullptr);
    EXPECT_EQ(CountColour(kRed, {12, 30, 100, 45}) + CountColour(kBlue, {12, 30, 100, 45}), 0);
    EXPECT_GT(CountColour(kRed, box), 0);
}

TEST_F(Canvas, FontsPickAFaceByPitchAndDrawUnderlines)
{
    auto width = [&](HFONT font, const char* text) {
        HGDIOBJ old = SelectObject(dc, font);
        SIZE size{};
        GetTextExtentPoint32(dc, text, 4, &size);
        SelectObject(dc, old);
        return size.cx;
    };
    HFONT sans = CreateFont(-12, 0, 0, 0, FW_NORMAL, 0, 0, 0, 0, 0, 0, 0, 0, "MS Sans Serif");
    HFONT fixed = CreateFont(-12, 0, 0, 0, FW_NORMAL, 0, 0, 0, 0, 0, 0, 0, 0, "Courier New");
    HFONT bold = CreateFont(-12, 0, 0, 0, FW_BOLD, 0, 0, 0, 0, 0, 0, 0, 0, "MS Sans Serif");
    EXPECT_LT(width(sans, "iiii"), width(sans, "WWWW"));
    EXPECT_EQ(width(fixed, "iiii"), width(fixed, "WWWW"));
    EXPECT_GT(width(bold, "WWWW"), width(sans, "WWWW"));
    HFONT underlined = CreateFont(-12, 0, 0, 0, FW_NORMAL, 0, TRUE, 0, 0, 0, 0, 0, 0, "MS Sans Serif");
    SelectObject(dc, underlined);
    SetBkMode(dc, TRANSPARENT);
    TextOut(dc, 10, 10, "ab", 2);
    TEXTMETRIC tm;
    GetTextMetrics(dc, &tm);
    // The underline: a full row of ink one below the baseline, under both letters.
    SIZE size;
    GetTextExtentPoint32(dc, "ab", 2, &size);
    EXPECT_EQ(CountColour(0, {10, 10 + tm.tmAscent + 1, 10 + size.cx, 10 + tm.tmAscent + 2}), size.cx);
    SelectObject(dc, GetStockObject(SYSTEM_FONT));
    for (HFONT f : {sans, fixed, bold, underlined}) EXPECT_TRUE(DeleteObject(f));
}

TEST(Gdi, BadHandlesAndArgumentsGetTheWindowsAnswer)
{
    HDC bogus = reinterpret_cast<HDC>(0x1234);
    EXPECT_EQ(GetPixel(bogus, 0, 0), CLR_INVALID);
    EXPECT_FALSE(LineTo(bogus, 1, 1));
    EXPECT_EQ(SelectObject(bogus, GetStockObject(BLACK_PEN)), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(DeleteObject(nullptr));
    EXPECT_EQ(GetDeviceCaps(bogus, LOGPIXELSY), 0);
    EXPECT_FALSE(DeleteDC(nullptr));
    HDC dc = CreateCompatibleDC(nullptr);
    EXPECT_FALSE(BitBlt(dc, 0, 0, 1, 1, bogus, 0, 0, SRCCOPY));
    EXPECT_FALSE(BitBlt(dc, 0, 0, 1, 1, dc, 0, 0, 0x12345678));
    BITMAPINFO bmi{};
    bmi.bmiHeader = {sizeof(BITMAPINFOHEADER), 4, 4, 1, 7, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = reinterpret_cast<void*>(1);
    EXPECT_EQ(CreateDIBSection(dc, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0), nullptr);
    EXPECT_EQ(bits, nullptr);
    EXPECT_EQ(StretchDIBits(dc, 0, 0, 1, 1, 0, 0, 1, 1, nullptr, &bmi, DIB_RGB_COLORS, SRCCOPY), 0);
    // A pen selected into a DC is not deleted; a deleted one is a stale handle.
    HPEN pen = CreatePen(PS_SOLID, 1, 0);
    HGDIOBJ old = SelectObject(dc, pen);
    EXPECT_FALSE(DeleteObject(pen));
    SelectObject(dc, old);
    EXPECT_TRUE(DeleteObject(pen));
    EXPECT_EQ(SelectObject(dc, pen), nullptr);
    EXPECT_TRUE(DeleteDC(dc));
    EXPECT_FALSE(DeleteDC(dc));
}

TEST(Gdi, PngPictureOpensInAnOutsideTool)
{
    gdi::Surface s;
    s.Allocate(64, 32);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 64; ++x) s.Put(x, y, RGB(x * 4, y * 8, 128));
    const std::string path =
        (std::filesystem::temp_directory_path() / ("gdi-test-" + std::to_string(getpid()) + ".png")).string();
    std::string why;
    ASSERT_TRUE(gdi::WritePng(s, path, &why)) << why;
    std::string cmd = "file -b '" + path + "'";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char line[256] = {};
    ASSERT_NE(fgets(line, sizeof line, p), nullptr);
    pclose(p);
    EXPECT_NE(std::string(line).find("PNG image data, 64 x 32, 8-bit/color RGB"), std::string::npos) << line;
    std::filesystem::remove(path);
    EXPECT_FALSE(gdi::WritePng(s, "/nonexistent-dir/x.png", &why));
}

}  // namespace
