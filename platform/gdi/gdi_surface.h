// What the window layer needs of the drawing layer beyond the Win32 calls:
// the image a top-level window draws into, a device context on part of it,
// and writing an image as a PNG file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gdi.h"

namespace gdi {

// An image in memory: 32-bit BGRX or 24-bit BGR pixels. Row 0 is the top
// row; a bottom-up DIB has a negative stride, so every image is walked the
// same way.
struct Surface {
    int width = 0;
    int height = 0;
    int bpp = 32;
    uint8_t* bits = nullptr;  // address of row 0
    int stride = 0;           // bytes from one row to the next
    std::vector<uint8_t> owned;

    void Allocate(int w, int h);  // 32 bpp, owned, black
    COLORREF Get(int x, int y) const;
    void Put(int x, int y, COLORREF c);
    uint8_t* Row(int y) const { return bits + static_cast<ptrdiff_t>(y) * stride; }
};

// A device context drawing into 'surface' with logical (0,0) at 'origin'
// and nothing drawn outside 'visible' (both in the surface's pixels). The
// window layer makes one for every BeginPaint and GetDC.
HDC CreateSurfaceDc(Surface* surface, POINT origin, const RECT& visible);
// The image of a bitmap (null for another handle).
Surface* SurfaceOfBitmap(HBITMAP bitmap);

// Writes the image as an 8-bit RGB PNG; false with the reason in 'why'.
bool WritePng(const Surface& surface, const std::string& path, std::string* why);

}  // namespace gdi
