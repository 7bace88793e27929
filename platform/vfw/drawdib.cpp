// DrawDib over the drawing layer's DIB blits.

#include "vfw.h"

#include <new>

struct HDRAWDIB__ {
    int unused = 0;
};

HDRAWDIB DrawDibOpen() { return new (std::nothrow) HDRAWDIB__; }

BOOL DrawDibClose(HDRAWDIB hdd)
{
    if (!hdd) return FALSE;
    delete hdd;
    return TRUE;
}

BOOL DrawDibDraw(HDRAWDIB hdd, HDC dc, int xDst, int yDst, int dxDst, int dyDst, const BITMAPINFOHEADER* header,
                 const void* bits, int xSrc, int ySrc, int dxSrc, int dySrc, UINT)
{
    if (!hdd || !dc || !header || !bits) return FALSE;
    const int width = int(header->biWidth), height = header->biHeight < 0 ? -int(header->biHeight) : int(header->biHeight);
    if (dxSrc < 0) dxSrc = width;
    if (dySrc < 0) dySrc = height;
    if (dxDst < 0) dxDst = dxSrc;
    if (dyDst < 0) dyDst = dySrc;
    BITMAPINFO info{};
    info.bmiHeader = *header;
    return StretchDIBits(dc, xDst, yDst, dxDst, dyDst, xSrc, ySrc, dxSrc, dySrc, bits, &info, DIB_RGB_COLORS,
                         SRCCOPY) != 0;
}
