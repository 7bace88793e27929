// The DrawDib calls of Video for Windows: a device-independent bitmap drawn
// into a device context, stretched when the sizes differ.
#pragma once

#include "../gdi/gdi.h"

struct HDRAWDIB__;
using HDRAWDIB = HDRAWDIB__*;

HDRAWDIB DrawDibOpen();
BOOL DrawDibClose(HDRAWDIB hdd);
// dxDst/dyDst -1: the source's size; dxSrc/dySrc -1: the whole bitmap.
BOOL DrawDibDraw(HDRAWDIB hdd, HDC dc, int xDst, int yDst, int dxDst, int dyDst, const BITMAPINFOHEADER* header,
                 const void* bits, int xSrc, int ySrc, int dxSrc, int dySrc, UINT flags);
