// The handle table, stock objects, and the calls that make, query and
// delete pens, brushes, fonts and bitmaps.
#include <cstring>
#include <map>

#include "gdi_internal.h"

namespace gdi {
namespace {

std::map<uintptr_t, std::unique_ptr<Object>>& Table()
{
    static std::map<uintptr_t, std::unique_ptr<Object>> table;
    return table;
}
// Even values, starting high, so a handle is never 0 nor a small integer.
uintptr_t nextHandle = 0x10000;

template <typename T>
T* MakeStock(std::unique_ptr<T> object)
{
    object->stock = true;
    T* raw = object.get();
    AddObject(std::move(object));
    return raw;
}

}  // namespace

std::recursive_mutex& Lock()
{
    static std::recursive_mutex lock;
    return lock;
}

HGDIOBJ AddObject(std::unique_ptr<Object> object)
{
    std::lock_guard guard(Lock());
    nextHandle += 4;
    Table()[nextHandle] = std::move(object);
    return reinterpret_cast<HGDIOBJ>(nextHandle);
}

Object* Find(HGDIOBJ handle, Kind kind)
{
    std::lock_guard guard(Lock());
    auto it = Table().find(reinterpret_cast<uintptr_t>(handle));
    if (it == Table().end() || it->second->kind != kind) return nullptr;
    return it->second.get();
}

Dc* FindDc(HDC dc) { return static_cast<Dc*>(Find(reinterpret_cast<HGDIOBJ>(dc), Kind::Dc)); }

HGDIOBJ HandleOf(const Object* object)
{
    std::lock_guard guard(Lock());
    for (auto& [handle, obj] : Table())
        if (obj.get() == object) return reinterpret_cast<HGDIOBJ>(handle);
    return nullptr;
}

Pen* StockPen(int index)
{
    static Pen* pens[3] = {};
    std::lock_guard guard(Lock());
    int i = index - WHITE_PEN;
    if (i < 0 || i > 2) return nullptr;
    if (!pens[i]) {
        auto pen = std::make_unique<Pen>();
        pen->color = i == 0 ? RGB(255, 255, 255) : 0;
        pen->style = i == 2 ? PS_NULL : PS_SOLID;
        pens[i] = MakeStock(std::move(pen));
    }
    return pens[i];
}

Brush* StockBrush(int index)
{
    static Brush* brushes[6] = {};
    static const COLORREF colors[6] = {RGB(255, 255, 255), RGB(192, 192, 192), RGB(128, 128, 128),
                                       RGB(64, 64, 64),    RGB(0, 0, 0),       0};
    std::lock_guard guard(Lock());
    if (index < WHITE_BRUSH || index > NULL_BRUSH) return nullptr;
    if (!brushes[index]) {
        auto brush = std::make_unique<Brush>();
        brush->color = colors[index];
        brush->hollow = index == NULL_BRUSH;
        brushes[index] = MakeStock(std::move(brush));
    }
    return brushes[index];
}

Font* StockFont(int index)
{
    // Every stock font is the dialog font: 8 points at 96 dots an inch.
    static Font* font = nullptr;
    std::lock_guard guard(Lock());
    if (index != ANSI_VAR_FONT && index != SYSTEM_FONT && index != DEFAULT_GUI_FONT) return nullptr;
    if (!font) {
        auto f = std::make_unique<Font>();
        f->logFont.lfHeight = -11;
        f->logFont.lfWeight = FW_NORMAL;
        std::strcpy(f->logFont.lfFaceName, "MS Shell Dlg");
        font = MakeStock(std::move(f));
    }
    return font;
}

}  // namespace gdi

using namespace gdi;

HGDIOBJ GetStockObject(int i)
{
    Object* o = StockPen(i);
    if (!o) o = StockBrush(i);
    if (!o) o = StockFont(i);
    return o ? HandleOf(o) : nullptr;
}

HPEN CreatePen(int style, int width, COLORREF color)
{
    if (style < PS_SOLID || style > PS_INSIDEFRAME) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto pen = std::make_unique<Pen>();
    pen->style = style;
    pen->width = width < 1 ? 1 : width;
    pen->color = color & 0xFFFFFF;
    return AddObject(std::move(pen));
}

HPEN CreatePenIndirect(const LOGPEN* lp)
{
    if (!lp) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return CreatePen(static_cast<int>(lp->lopnStyle), lp->lopnWidth.x, lp->lopnColor);
}

HBRUSH CreateSolidBrush(COLORREF color)
{
    auto brush = std::make_unique<Brush>();
    brush->color = color & 0xFFFFFF;
    return AddObject(std::move(brush));
}

HBRUSH CreateBrushIndirect(const LOGBRUSH* lb)
{
    if (!lb || (lb->lbStyle != BS_SOLID && lb->lbStyle != BS_NULL)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto brush = std::make_unique<Brush>();
    brush->color = lb->lbColor & 0xFFFFFF;
    brush->hollow = lb->lbStyle == BS_NULL;
    return AddObject(std::move(brush));
}

HFONT CreateFontIndirectA(const LOGFONTA* lf)
{
    if (!lf) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto font = std::make_unique<Font>();
    font->logFont = *lf;
    if (font->logFont.lfHeight == 0) font->logFont.lfHeight = -11;
    return AddObject(std::move(font));
}

HFONT CreateFontA(int height, int width, int escapement, int orientation, int weight, DWORD italic,
                  DWORD underline, DWORD strikeOut, DWORD charSet, DWORD outPrecision, DWORD clipPrecision,
                  DWORD quality, DWORD pitchAndFamily, LPCSTR face)
{
    LOGFONTA lf{};
    lf.lfHeight = height;
    lf.lfWidth = width;
    lf.lfEscapement = escapement;
    lf.lfOrientation = orientation;
    lf.lfWeight = weight;
    lf.lfItalic = static_cast<BYTE>(italic);
    lf.lfUnderline = static_cast<BYTE>(underline);
    lf.lfStrikeOut = static_cast<BYTE>(strikeOut);
    lf.lfCharSet = static_cast<BYTE>(charSet);
    lf.lfOutPrecision = static_cast<BYTE>(outPrecision);
    lf.lfClipPrecision = static_cast<BYTE>(clipPrecision);
    lf.lfQuality = static_cast<BYTE>(quality);
    lf.lfPitchAndFamily = static_cast<BYTE>(pitchAndFamily);
    if (face) std::strncpy(lf.lfFaceName, face, LF_FACESIZE - 1);
    return CreateFontIndirectA(&lf);
}

namespace {

bool ValidSize(int width, int height)
{
    // Refuse what would not fit a 32-bit address space rather than fail later.
    return width > 0 && height > 0 && width <= 16384 && height <= 16384;
}

}  // namespace

HBITMAP CreateBitmap(int width, int height, UINT planes, UINT bitCount, const void* bits)
{
    if (!ValidSize(width, height) || planes != 1 || (bitCount != 32 && bitCount != 24)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto bitmap = std::make_unique<Bitmap>();
    bitmap->surface.Allocate(width, height);
    if (bits) {
        // Device-dependent bitmap bits: rows top-down, word aligned.
        const int srcStride = ((width * static_cast<int>(bitCount) + 15) / 16) * 2;
        const auto* src = static_cast<const uint8_t*>(bits);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const uint8_t* p = src + y * srcStride + x * (bitCount / 8);
                bitmap->surface.Put(x, y, RGB(p[2], p[1], p[0]));
            }
    }
    return AddObject(std::move(bitmap));
}

HBITMAP CreateCompatibleBitmap(HDC dc, int width, int height)
{
    if (!FindDc(dc)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return CreateBitmap(width, height, 1, 32, nullptr);
}

HBITMAP CreateDIBSection(HDC, const BITMAPINFO* bmi, UINT usage, void** bits, HANDLE section, DWORD)
{
    if (bits) *bits = nullptr;
    if (!bmi || usage != DIB_RGB_COLORS || section || bmi->bmiHeader.biSize < sizeof(BITMAPINFOHEADER) ||
        bmi->bmiHeader.biCompression != BI_RGB || bmi->bmiHeader.biPlanes != 1 ||
        (bmi->bmiHeader.biBitCount != 32 && bmi->bmiHeader.biBitCount != 24)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const LONG w = bmi->bmiHeader.biWidth;
    const LONG h = bmi->bmiHeader.biHeight < 0 ? -bmi->bmiHeader.biHeight : bmi->bmiHeader.biHeight;
    if (!ValidSize(w, h)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto bitmap = std::make_unique<Bitmap>();
    bitmap->dib = true;
    Surface& s = bitmap->surface;
    s.width = w;
    s.height = h;
    s.bpp = bmi->bmiHeader.biBitCount;
    const int stride = ((w * s.bpp + 31) / 32) * 4;  // DIB rows are DWORD aligned
    s.owned.assign(static_cast<size_t>(stride) * h, 0);
    if (bmi->bmiHeader.biHeight > 0) {  // bottom-up: row 0 of the picture is the last in memory
        s.bits = s.owned.data() + static_cast<size_t>(stride) * (h - 1);
        s.stride = -stride;
    } else {
        s.bits = s.owned.data();
        s.stride = stride;
    }
    if (bits) *bits = s.owned.data();
    return AddObject(std::move(bitmap));
}

BOOL DeleteObject(HGDIOBJ obj)
{
    std::lock_guard guard(Lock());
    auto it = Table().find(reinterpret_cast<uintptr_t>(obj));
    if (it == Table().end() || it->second->kind == Kind::Dc) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Stock objects stay; an object still selected into a DC is not deleted
    // (Windows answers FALSE there too).
    if (it->second->stock) return TRUE;
    if (it->second->selections > 0) return FALSE;
    Table().erase(it);
    return TRUE;
}

int GetObjectA(HGDIOBJ obj, int size, LPVOID out)
{
    std::lock_guard guard(Lock());
    auto it = Table().find(reinterpret_cast<uintptr_t>(obj));
    if (it == Table().end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    Object* o = it->second.get();
    auto copy = [&](const void* data, int n) {
        if (!out) return n;
        if (size < n) return 0;
        std::memcpy(out, data, n);
        return n;
    };
    switch (o->kind) {
    case Kind::Pen: {
        auto* p = static_cast<Pen*>(o);
        LOGPEN lp{static_cast<UINT>(p->style), {p->width, 0}, p->color};
        return copy(&lp, sizeof lp);
    }
    case Kind::Brush: {
        auto* b = static_cast<Brush*>(o);
        LOGBRUSH lb{b->hollow ? BS_NULL : BS_SOLID, b->color, 0};
        return copy(&lb, sizeof lb);
    }
    case Kind::Font: return copy(&static_cast<Font*>(o)->logFont, sizeof(LOGFONTA));
    case Kind::Bitmap: {
        auto* b = static_cast<Bitmap*>(o);
        const Surface& s = b->surface;
        BITMAP bm{0, s.width, s.height, ((s.width * s.bpp + 31) / 32) * 4, 1, static_cast<WORD>(s.bpp),
                  b->dib ? const_cast<uint8_t*>(s.stride < 0 ? s.owned.data() : s.bits) : nullptr};
        return copy(&bm, sizeof bm);
    }
    default: SetLastError(ERROR_INVALID_HANDLE); return 0;
    }
}

DWORD GetObjectType(HGDIOBJ obj)
{
    std::lock_guard guard(Lock());
    auto it = Table().find(reinterpret_cast<uintptr_t>(obj));
    if (it == Table().end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    switch (it->second->kind) {
    case Kind::Pen: return OBJ_PEN;
    case Kind::Brush: return OBJ_BRUSH;
    case Kind::Font: return OBJ_FONT;
    case Kind::Bitmap: return OBJ_BITMAP;
    case Kind::Region: return OBJ_REGION;
    case Kind::Dc: return static_cast<Dc*>(it->second.get())->memory ? OBJ_MEMDC : OBJ_DC;
    }
    return 0;
}

namespace gdi {

Surface* SurfaceOfBitmap(HBITMAP bitmap)
{
    auto* b = static_cast<Bitmap*>(Find(bitmap, Kind::Bitmap));
    return b ? &b->surface : nullptr;
}

void Surface::Allocate(int w, int h)
{
    width = w;
    height = h;
    bpp = 32;
    stride = w * 4;
    owned.assign(static_cast<size_t>(stride) * h, 0);
    bits = owned.data();
}

COLORREF Surface::Get(int x, int y) const
{
    const uint8_t* p = Row(y) + x * (bpp / 8);
    return RGB(p[2], p[1], p[0]);
}

void Surface::Put(int x, int y, COLORREF c)
{
    uint8_t* p = Row(y) + x * (bpp / 8);
    p[0] = GetBValue(c);
    p[1] = GetGValue(c);
    p[2] = GetRValue(c);
}

}  // namespace gdi
