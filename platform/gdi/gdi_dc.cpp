// Device contexts: memory DCs and DCs on a window's image, what is selected
// into them, their colours, modes, origin and saved states.
#include "gdi_internal.h"

namespace gdi {
namespace {

void Select(Object*& slot, Object* next)
{
    if (slot) --slot->selections;
    slot = next;
    if (next) ++next->selections;
}

template <typename T>
void SelectInto(T*& slot, T* next)
{
    Object* o = slot;
    Select(o, next);
    slot = static_cast<T*>(o);
}

void Defaults(Dc& dc)
{
    SelectInto(dc.state.pen, StockPen(BLACK_PEN));
    SelectInto(dc.state.brush, StockBrush(WHITE_BRUSH));
    SelectInto(dc.state.font, StockFont(SYSTEM_FONT));
}

void Unselect(DcState& s)
{
    SelectInto(s.pen, static_cast<Pen*>(nullptr));
    SelectInto(s.brush, static_cast<Brush*>(nullptr));
    SelectInto(s.font, static_cast<Font*>(nullptr));
    SelectInto(s.bitmap, static_cast<Bitmap*>(nullptr));
}

// A state's selections counted once more (it is saved as well as current).
void Reselect(DcState& s)
{
    for (Object* o : {static_cast<Object*>(s.pen), static_cast<Object*>(s.brush), static_cast<Object*>(s.font),
                      static_cast<Object*>(s.bitmap)})
        if (o) ++o->selections;
}

}  // namespace

HDC CreateSurfaceDc(Surface* surface, POINT origin, const RECT& visible)
{
    auto dc = std::make_unique<Dc>();
    dc->surface = surface;
    dc->state.origin = origin;
    RECT whole{0, 0, surface->width, surface->height};
    IntersectRect(&dc->visible, &visible, &whole);
    Defaults(*dc);
    return reinterpret_cast<HDC>(AddObject(std::move(dc)));
}

std::vector<RECT> ClipRects(const Dc& dc)
{
    if (IsRectEmpty(&dc.visible)) return {};
    std::vector<RECT> v{dc.visible};
    return dc.state.hasClip ? RectsAnd(v, dc.state.clip) : v;
}

std::vector<RECT> RectsAnd(const std::vector<RECT>& a, const std::vector<RECT>& b)
{
    std::vector<RECT> out;
    for (const RECT& x : a)
        for (const RECT& y : b) {
            RECT r;
            if (IntersectRect(&r, &x, &y)) out.push_back(r);
        }
    return out;
}

std::vector<RECT> RectsDiff(const std::vector<RECT>& a, const std::vector<RECT>& b)
{
    std::vector<RECT> cur = a;
    for (const RECT& cut : b) {
        std::vector<RECT> next;
        for (const RECT& r : cur) {
            RECT i;
            if (!IntersectRect(&i, &r, &cut)) {
                next.push_back(r);
                continue;
            }
            // What is left of r around i: the bands above and below, then
            // the pieces left and right of i within its rows.
            if (r.top < i.top) next.push_back({r.left, r.top, r.right, i.top});
            if (i.bottom < r.bottom) next.push_back({r.left, i.bottom, r.right, r.bottom});
            if (r.left < i.left) next.push_back({r.left, i.top, i.left, i.bottom});
            if (i.right < r.right) next.push_back({i.right, i.top, r.right, i.bottom});
        }
        cur.swap(next);
    }
    return cur;
}

std::vector<RECT> RectsOr(const std::vector<RECT>& a, const std::vector<RECT>& b)
{
    std::vector<RECT> out = a;
    for (const RECT& r : RectsDiff(b, a)) out.push_back(r);
    return out;
}

void PlotPixel(const Dc& dc, const std::vector<RECT>& clip, int x, int y, COLORREF color, int rop2)
{
    for (const RECT& r : clip) {
        if (x < r.left || x >= r.right || y < r.top || y >= r.bottom) continue;
        Surface& s = *dc.surface;
        switch (rop2) {
        case R2_NOT: color = ~s.Get(x, y) & 0xFFFFFF; break;
        case R2_XORPEN: color = (s.Get(x, y) ^ color) & 0xFFFFFF; break;
        case R2_BLACK: color = 0; break;
        case R2_WHITE: color = 0xFFFFFF; break;
        default: break;
        }
        s.Put(x, y, color);
        return;
    }
}

void FillSpan(const Dc& dc, const std::vector<RECT>& clip, int y, int x0, int x1, COLORREF color, int rop2)
{
    for (const RECT& r : clip) {
        if (y < r.top || y >= r.bottom) continue;
        const int a = std::max(x0, static_cast<int>(r.left));
        const int b = std::min(x1, static_cast<int>(r.right));
        if (rop2 == R2_COPYPEN && dc.surface->bpp == 32) {
            auto* p = reinterpret_cast<uint32_t*>(dc.surface->Row(y));
            const uint32_t v = (GetRValue(color) << 16) | (GetGValue(color) << 8) | GetBValue(color);
            for (int x = a; x < b; ++x) p[x] = v;
        } else {
            for (int x = a; x < b; ++x) PlotPixel(dc, {r}, x, y, color, rop2);
        }
    }
}

}  // namespace gdi

using namespace gdi;

HDC CreateCompatibleDC(HDC dc)
{
    if (dc && !FindDc(dc)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    auto mem = std::make_unique<Dc>();
    mem->memory = true;
    Defaults(*mem);
    return reinterpret_cast<HDC>(AddObject(std::move(mem)));
}

BOOL DeleteDC(HDC handle)
{
    std::lock_guard guard(Lock());
    Dc* dc = FindDc(handle);
    if (!dc) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Unselect(dc->state);
    for (DcState& s : dc->saved) Unselect(s);
    dc->kind = Kind::Pen;  // no longer a DC to Find, and deletable as a plain object
    dc->selections = 0;
    return DeleteObject(reinterpret_cast<HGDIOBJ>(handle));
}

HGDIOBJ SelectObject(HDC handle, HGDIOBJ obj)
{
    std::lock_guard guard(Lock());
    Dc* dc = FindDc(handle);
    if (!dc) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    DcState& s = dc->state;
    if (auto* pen = static_cast<Pen*>(Find(obj, Kind::Pen))) {
        HGDIOBJ old = HandleOf(s.pen);
        SelectInto(s.pen, pen);
        return old;
    }
    if (auto* brush = static_cast<Brush*>(Find(obj, Kind::Brush))) {
        HGDIOBJ old = HandleOf(s.brush);
        SelectInto(s.brush, brush);
        return old;
    }
    if (auto* font = static_cast<Font*>(Find(obj, Kind::Font))) {
        HGDIOBJ old = HandleOf(s.font);
        SelectInto(s.font, font);
        return old;
    }
    if (auto* bitmap = static_cast<Bitmap*>(Find(obj, Kind::Bitmap))) {
        // Only a memory DC takes a bitmap, and a bitmap sits in one DC at a time.
        if (!dc->memory || (bitmap->selections > 0 && bitmap != s.bitmap)) return nullptr;
        HGDIOBJ old = s.bitmap ? HandleOf(s.bitmap) : nullptr;
        SelectInto(s.bitmap, bitmap);
        dc->surface = &bitmap->surface;
        dc->visible = RECT{0, 0, bitmap->surface.width, bitmap->surface.height};
        // A memory DC's first bitmap is a 1x1 stock one on Windows; callers
        // hand back what they got, so answer something they can select again.
        return old ? old : obj;
    }
    if (auto* region = static_cast<Region*>(Find(obj, Kind::Region))) {
        SelectClipRgn(handle, obj);
        return reinterpret_cast<HGDIOBJ>(static_cast<intptr_t>(region->rects.empty() ? NULLREGION : SIMPLEREGION));
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

HGDIOBJ GetCurrentObject(HDC handle, UINT type)
{
    Dc* dc = FindDc(handle);
    if (!dc) return nullptr;
    switch (type) {
    case OBJ_PEN: return HandleOf(dc->state.pen);
    case OBJ_BRUSH: return HandleOf(dc->state.brush);
    case OBJ_FONT: return HandleOf(dc->state.font);
    case OBJ_BITMAP: return dc->state.bitmap ? HandleOf(dc->state.bitmap) : nullptr;
    default: return nullptr;
    }
}

int SaveDC(HDC handle)
{
    std::lock_guard guard(Lock());
    Dc* dc = FindDc(handle);
    if (!dc) return 0;
    dc->saved.push_back(dc->state);
    Reselect(dc->saved.back());
    return static_cast<int>(dc->saved.size());
}

BOOL RestoreDC(HDC handle, int saved)
{
    std::lock_guard guard(Lock());
    Dc* dc = FindDc(handle);
    if (!dc) return FALSE;
    const int n = static_cast<int>(dc->saved.size());
    const int index = saved < 0 ? n + saved : saved - 1;  // negative: relative to the last save
    if (index < 0 || index >= n) return FALSE;
    Unselect(dc->state);
    dc->state = dc->saved[index];
    for (int i = index + 1; i < n; ++i) Unselect(dc->saved[i]);
    dc->saved.resize(index);
    if (dc->state.bitmap) dc->surface = &dc->state.bitmap->surface;
    return TRUE;
}

#define DC_OR(handle, fail)        \
    Dc* dc = FindDc(handle);       \
    if (!dc) {                     \
        SetLastError(ERROR_INVALID_HANDLE); \
        return fail;               \
    }

COLORREF SetTextColor(HDC h, COLORREF color)
{
    DC_OR(h, CLR_INVALID);
    COLORREF old = dc->state.textColor;
    dc->state.textColor = color & 0xFFFFFF;
    return old;
}
COLORREF GetTextColor(HDC h)
{
    DC_OR(h, CLR_INVALID);
    return dc->state.textColor;
}
COLORREF SetBkColor(HDC h, COLORREF color)
{
    DC_OR(h, CLR_INVALID);
    COLORREF old = dc->state.bkColor;
    dc->state.bkColor = color & 0xFFFFFF;
    return old;
}
COLORREF GetBkColor(HDC h)
{
    DC_OR(h, CLR_INVALID);
    return dc->state.bkColor;
}
int SetBkMode(HDC h, int mode)
{
    DC_OR(h, 0);
    if (mode != TRANSPARENT && mode != OPAQUE) return 0;
    int old = dc->state.bkMode;
    dc->state.bkMode = mode;
    return old;
}
int GetBkMode(HDC h)
{
    DC_OR(h, 0);
    return dc->state.bkMode;
}
int SetROP2(HDC h, int rop2)
{
    DC_OR(h, 0);
    int old = dc->state.rop2;
    dc->state.rop2 = rop2;
    return old;
}
int SetStretchBltMode(HDC h, int mode)
{
    DC_OR(h, 0);
    int old = dc->state.stretchMode;
    dc->state.stretchMode = mode;
    return old;
}
UINT SetTextAlign(HDC h, UINT align)
{
    DC_OR(h, 0xFFFFFFFF);
    UINT old = dc->state.textAlign;
    dc->state.textAlign = align;
    return old;
}
UINT GetTextAlign(HDC h)
{
    DC_OR(h, 0xFFFFFFFF);
    return dc->state.textAlign;
}

BOOL SetViewportOrgEx(HDC h, int x, int y, LPPOINT old)
{
    DC_OR(h, FALSE);
    if (old) *old = dc->state.origin;
    dc->state.origin = POINT{x, y};
    return TRUE;
}
BOOL GetViewportOrgEx(HDC h, LPPOINT org)
{
    DC_OR(h, FALSE);
    if (!org) return FALSE;
    *org = dc->state.origin;
    return TRUE;
}
BOOL OffsetViewportOrgEx(HDC h, int dx, int dy, LPPOINT old)
{
    DC_OR(h, FALSE);
    if (old) *old = dc->state.origin;
    dc->state.origin.x += dx;
    dc->state.origin.y += dy;
    return TRUE;
}

int GetDeviceCaps(HDC h, int index)
{
    Dc* dc = FindDc(h);
    if (!dc) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    const int width = dc->surface ? dc->surface->width : 1, height = dc->surface ? dc->surface->height : 1;
    switch (index) {
    case HORZRES: return width;
    case VERTRES: return height;
    case HORZSIZE: return width * 254 / 960;  // millimetres at 96 dots an inch
    case VERTSIZE: return height * 254 / 960;
    case BITSPIXEL: return 32;
    case PLANES: return 1;
    case NUMCOLORS: return -1;
    case RASTERCAPS: return 0x0001 | 0x0008 | 0x0800;  // bit blits, bitmaps over 64 KB, stretch blits
    case LOGPIXELSX:
    case LOGPIXELSY: return 96;
    default: return 0;
    }
}

// ---- Regions ----

namespace {

Region* FindRegion(HRGN h) { return static_cast<Region*>(Find(h, Kind::Region)); }

int Complexity(const std::vector<RECT>& rects)
{
    return rects.empty() ? NULLREGION : rects.size() == 1 ? SIMPLEREGION : COMPLEXREGION;
}

}  // namespace

HRGN CreateRectRgn(int left, int top, int right, int bottom)
{
    auto region = std::make_unique<Region>();
    RECT r{std::min(left, right), std::min(top, bottom), std::max(left, right), std::max(top, bottom)};
    if (!IsRectEmpty(&r)) region->rects.push_back(r);
    return AddObject(std::move(region));
}

HRGN CreateRectRgnIndirect(const RECT* r)
{
    if (!r) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return CreateRectRgn(r->left, r->top, r->right, r->bottom);
}

int CombineRgn(HRGN dst, HRGN a, HRGN b, int mode)
{
    std::lock_guard guard(Lock());
    Region* d = FindRegion(dst);
    Region* ra = FindRegion(a);
    Region* rb = mode == RGN_COPY ? ra : FindRegion(b);
    if (!d || !ra || !rb) return ERROR;
    std::vector<RECT> out;
    switch (mode) {
    case RGN_AND: out = RectsAnd(ra->rects, rb->rects); break;
    case RGN_OR: out = RectsOr(ra->rects, rb->rects); break;
    case RGN_DIFF: out = RectsDiff(ra->rects, rb->rects); break;
    case RGN_XOR: out = RectsOr(RectsDiff(ra->rects, rb->rects), RectsDiff(rb->rects, ra->rects)); break;
    case RGN_COPY: out = ra->rects; break;
    default: return ERROR;
    }
    d->rects = std::move(out);
    return Complexity(d->rects);
}

BOOL PtInRegion(HRGN h, int x, int y)
{
    Region* r = FindRegion(h);
    if (!r) return FALSE;
    for (const RECT& rect : r->rects)
        if (PtInRect(&rect, POINT{x, y})) return TRUE;
    return FALSE;
}

int GetRgnBox(HRGN h, LPRECT box)
{
    Region* r = FindRegion(h);
    if (!r || !box) return ERROR;
    SetRectEmpty(box);
    for (const RECT& rect : r->rects) UnionRect(box, box, &rect);
    return Complexity(r->rects);
}

int SelectClipRgn(HDC h, HRGN rgn)
{
    DC_OR(h, ERROR);
    if (!rgn) {
        dc->state.hasClip = false;
        dc->state.clip.clear();
        return Complexity(ClipRects(*dc));
    }
    Region* r = FindRegion(rgn);
    if (!r) return ERROR;
    // The region is in device units; a window DC's device is its window, so
    // it is moved by the DC's origin into the image.
    dc->state.hasClip = true;
    dc->state.clip.clear();
    for (RECT rect : r->rects) {
        OffsetRect(&rect, dc->state.origin.x, dc->state.origin.y);
        dc->state.clip.push_back(rect);
    }
    return Complexity(ClipRects(*dc));
}

int IntersectClipRect(HDC h, int left, int top, int right, int bottom)
{
    DC_OR(h, ERROR);
    RECT r{left + dc->state.origin.x, top + dc->state.origin.y, right + dc->state.origin.x,
           bottom + dc->state.origin.y};
    dc->state.clip = dc->state.hasClip ? RectsAnd(dc->state.clip, {r}) : std::vector<RECT>{r};
    if (IsRectEmpty(&r)) dc->state.clip.clear();
    dc->state.hasClip = true;
    return Complexity(ClipRects(*dc));
}

int ExcludeClipRect(HDC h, int left, int top, int right, int bottom)
{
    DC_OR(h, ERROR);
    RECT r{left + dc->state.origin.x, top + dc->state.origin.y, right + dc->state.origin.x,
           bottom + dc->state.origin.y};
    std::vector<RECT> base = dc->state.hasClip ? dc->state.clip : std::vector<RECT>{dc->visible};
    dc->state.clip = RectsDiff(base, {r});
    dc->state.hasClip = true;
    return Complexity(ClipRects(*dc));
}

int GetClipBox(HDC h, LPRECT box)
{
    DC_OR(h, ERROR);
    if (!box) return ERROR;
    std::vector<RECT> rects = ClipRects(*dc);
    SetRectEmpty(box);
    for (const RECT& r : rects) UnionRect(box, box, &r);
    if (!IsRectEmpty(box)) OffsetRect(box, -dc->state.origin.x, -dc->state.origin.y);
    return Complexity(rects);
}
