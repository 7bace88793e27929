// Blits: pattern fills, DC to DC copies with or without stretching, and
// DIB bits drawn straight from the caller's memory. Each destination pixel
// is clipped; a source pixel outside its image reads as black.
#include <algorithm>
#include <cstring>

#include "gdi_internal.h"

using namespace gdi;

namespace {

bool RopNeedsSource(DWORD rop) { return rop != PATCOPY && rop != DSTINVERT && rop != BLACKNESS && rop != WHITENESS; }

bool KnownRop(DWORD rop)
{
    switch (rop) {
    case SRCCOPY:
    case SRCPAINT:
    case SRCAND:
    case SRCINVERT:
    case PATCOPY:
    case DSTINVERT:
    case BLACKNESS:
    case WHITENESS: return true;
    default: return false;
    }
}

COLORREF Mix(DWORD rop, COLORREF src, COLORREF dst, COLORREF pattern)
{
    switch (rop) {
    case SRCCOPY: return src;
    case SRCPAINT: return src | dst;
    case SRCAND: return src & dst;
    case SRCINVERT: return (src ^ dst) & 0xFFFFFF;
    case PATCOPY: return pattern;
    case DSTINVERT: return ~dst & 0xFFFFFF;
    case BLACKNESS: return 0;
    default: return 0xFFFFFF;  // WHITENESS
    }
}

// Reads a source image pixel by pixel; a plain view of a Surface or of a
// caller's DIB bits.
struct Source {
    const Surface* surface = nullptr;
    COLORREF Get(int x, int y) const
    {
        if (!surface || x < 0 || y < 0 || x >= surface->width || y >= surface->height) return 0;
        return surface->Get(x, y);
    }
};

// The general blit: destination rectangle (device pixels) filled from the
// source rectangle, nearest pixel, with a mirror for negative extents.
void Blit(Dc& dst, int x, int y, int w, int h, const Source& src, int sx, int sy, int sw, int sh, DWORD rop)
{
    const COLORREF pattern = dst.state.brush && !dst.state.brush->hollow ? dst.state.brush->color : 0;
    const bool flipX = (w < 0) != (sw < 0), flipY = (h < 0) != (sh < 0);
    if (w < 0) {
        x += w;
        w = -w;
    }
    if (h < 0) {
        y += h;
        h = -h;
    }
    if (sw < 0) {
        sx += sw;
        sw = -sw;
    }
    if (sh < 0) {
        sy += sh;
        sh = -sh;
    }
    if (w == 0 || h == 0) return;
    Surface& d = *dst.surface;
    const bool plainCopy = rop == SRCCOPY && w == sw && h == sh && !flipX && !flipY && src.surface &&
                           src.surface->bpp == 32 && d.bpp == 32;
    for (const RECT& clip : ClipRects(dst)) {
        RECT area{x, y, x + w, y + h}, part;
        if (!IntersectRect(&part, &area, &clip)) continue;
        if (plainCopy) {
            // The common case (a picture painted at its own size) goes row by
            // row through memcpy, clipped to the source as well.
            const int sx0 = sx + (part.left - x), sy0 = sy + (part.top - y);
            const int left = std::max(0, -sx0), right = std::min<int>(part.right - part.left, src.surface->width - sx0);
            for (int row = part.top; row < part.bottom; ++row) {
                const int syr = sy0 + (row - part.top);
                if (syr < 0 || syr >= src.surface->height || right <= left) {
                    std::memset(d.Row(row) + part.left * 4, 0, (part.right - part.left) * 4);
                    continue;
                }
                std::memcpy(d.Row(row) + (part.left + left) * 4, src.surface->Row(syr) + (sx0 + left) * 4,
                            (right - left) * 4);
            }
            continue;
        }
        for (int py = part.top; py < part.bottom; ++py) {
            int oy = py - y;
            if (flipY) oy = h - 1 - oy;
            const int srcY = sy + static_cast<int>(static_cast<long long>(oy) * sh / h);
            for (int px = part.left; px < part.right; ++px) {
                int ox = px - x;
                if (flipX) ox = w - 1 - ox;
                const int srcX = sx + static_cast<int>(static_cast<long long>(ox) * sw / w);
                const COLORREF s = RopNeedsSource(rop) ? src.Get(srcX, srcY) : 0;
                const COLORREF old = rop == SRCCOPY || rop == PATCOPY ? 0 : d.Get(px, py);
                d.Put(px, py, Mix(rop, s, old, pattern));
            }
        }
    }
}

bool OpenBlit(HDC h, DWORD rop, Dc*& dc)
{
    dc = FindDc(h);
    if (!dc) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (!KnownRop(rop)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

// A view of a caller's packed DIB as a Surface (no copy).
bool DibView(const void* bits, const BITMAPINFO* bmi, UINT usage, Surface& view)
{
    if (!bits || !bmi || usage != DIB_RGB_COLORS || bmi->bmiHeader.biCompression != BI_RGB ||
        (bmi->bmiHeader.biBitCount != 24 && bmi->bmiHeader.biBitCount != 32) || bmi->bmiHeader.biWidth <= 0 ||
        bmi->bmiHeader.biHeight == 0)
        return false;
    view.width = bmi->bmiHeader.biWidth;
    view.height = bmi->bmiHeader.biHeight < 0 ? -bmi->bmiHeader.biHeight : bmi->bmiHeader.biHeight;
    view.bpp = bmi->bmiHeader.biBitCount;
    const int stride = ((view.width * view.bpp + 31) / 32) * 4;
    auto* base = static_cast<uint8_t*>(const_cast<void*>(bits));
    if (bmi->bmiHeader.biHeight > 0) {
        view.bits = base + static_cast<size_t>(stride) * (view.height - 1);
        view.stride = -stride;
    } else {
        view.bits = base;
        view.stride = stride;
    }
    return true;
}

}  // namespace

BOOL PatBlt(HDC h, int x, int y, int w, int hgt, DWORD rop)
{
    Dc* dc;
    if (!OpenBlit(h, rop, dc) || RopNeedsSource(rop)) return FALSE;
    Blit(*dc, x + dc->state.origin.x, y + dc->state.origin.y, w, hgt, Source{}, 0, 0, w, hgt, rop);
    return TRUE;
}

BOOL StretchBlt(HDC dst, int x, int y, int w, int h, HDC src, int sx, int sy, int sw, int sh, DWORD rop)
{
    std::lock_guard guard(Lock());
    Dc* d;
    if (!OpenBlit(dst, rop, d)) return FALSE;
    Source source;
    if (RopNeedsSource(rop)) {
        Dc* s = FindDc(src);
        if (!s) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (!s->surface) return FALSE;
        source.surface = s->surface;
        sx += s->state.origin.x;
        sy += s->state.origin.y;
    }
    if (!d->surface) return FALSE;
    Blit(*d, x + d->state.origin.x, y + d->state.origin.y, w, h, source, sx, sy, sw, sh, rop);
    return TRUE;
}

BOOL BitBlt(HDC dst, int x, int y, int w, int h, HDC src, int sx, int sy, DWORD rop)
{
    return StretchBlt(dst, x, y, w, h, src, sx, sy, w, h, rop);
}

int StretchDIBits(HDC h, int x, int y, int w, int hgt, int sx, int sy, int sw, int sh, const void* bits,
                  const BITMAPINFO* bmi, UINT usage, DWORD rop)
{
    Dc* dc;
    if (!OpenBlit(h, rop, dc)) return 0;
    Surface view;
    if (!DibView(bits, bmi, usage, view)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!dc->surface) return 0;
    // DIB source coordinates count from the bottom row for a bottom-up DIB.
    const int top = bmi->bmiHeader.biHeight > 0 ? view.height - sy - sh : sy;
    Surface* s = &view;
    if (s->bpp == 24 && rop == SRCCOPY && w == sw && hgt == sh && dc->surface->bpp == 32) {
        // Unstretched 24-bit pictures (the preview's) expand row by row.
        Surface& d = *dc->surface;
        const int ox = x + dc->state.origin.x, oy = y + dc->state.origin.y;
        for (const RECT& clip : ClipRects(*dc)) {
            RECT area{ox, oy, ox + w, oy + hgt}, part;
            if (!IntersectRect(&part, &area, &clip)) continue;
            for (int row = part.top; row < part.bottom; ++row) {
                const int srow = top + (row - oy);
                if (srow < 0 || srow >= view.height) continue;
                const uint8_t* sp = view.Row(srow);
                auto* dp = reinterpret_cast<uint32_t*>(d.Row(row));
                for (int col = part.left; col < part.right; ++col) {
                    const int scol = sx + (col - ox);
                    if (scol < 0 || scol >= view.width) continue;
                    const uint8_t* p = sp + scol * 3;
                    dp[col] = p[0] | (p[1] << 8) | (p[2] << 16);
                }
            }
        }
        return sh;
    }
    Blit(*dc, x + dc->state.origin.x, y + dc->state.origin.y, w, hgt, Source{s}, sx, top, sw, sh, rop);
    return sh;
}

int SetDIBitsToDevice(HDC h, int x, int y, DWORD w, DWORD hgt, int sx, int sy, UINT startScan, UINT lines,
                      const void* bits, const BITMAPINFO* bmi, UINT usage)
{
    if (startScan != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    (void)lines;
    return StretchDIBits(h, x, y, static_cast<int>(w), static_cast<int>(hgt), sx, sy, static_cast<int>(w),
                         static_cast<int>(hgt), bits, bmi, usage, SRCCOPY);
}
