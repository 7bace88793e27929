// Lines and shapes: pixels, pen lines, rectangles, ellipses, polygons and
// brush fills, all clipped to the DC's clip rectangles.
#include <algorithm>
#include <cmath>

#include "gdi_internal.h"

using namespace gdi;

namespace {

struct Target {
    Dc* dc = nullptr;
    std::vector<RECT> clip;
    POINT org{0, 0};
};

bool Open(HDC h, Target& t)
{
    t.dc = FindDc(h);
    if (!t.dc) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    t.clip = ClipRects(*t.dc);
    t.org = t.dc->state.origin;
    return true;
}

bool PenVisible(const Dc& dc) { return dc.state.pen && dc.state.pen->style != PS_NULL; }

// A dashed or dotted pen draws every other run of pixels along the line.
bool PenOn(const Pen& pen, int step)
{
    switch (pen.style) {
    case PS_DASH: return step % 24 < 18;
    case PS_DOT: return step % 6 < 3;
    default: return true;
    }
}

void PenDot(const Target& t, int x, int y)
{
    const Pen& pen = *t.dc->state.pen;
    if (pen.width <= 1) {
        PlotPixel(*t.dc, t.clip, x, y, pen.color, t.dc->state.rop2);
        return;
    }
    const int half = pen.width / 2;
    for (int dy = -half; dy < pen.width - half; ++dy)
        FillSpan(*t.dc, t.clip, y + dy, x - half, x - half + pen.width, pen.color, t.dc->state.rop2);
}

// Bresenham from (x0,y0) to (x1,y1) in device pixels; the last point is not
// drawn, as Windows leaves it for the next line.
void Line(const Target& t, int x0, int y0, int x1, int y1)
{
    const int dx = std::abs(x1 - x0), sx = x0 < x1 ? 1 : -1;
    const int dy = -std::abs(y1 - y0), sy = y0 < y1 ? 1 : -1;
    int err = dx + dy;
    for (int step = 0; x0 != x1 || y0 != y1; ++step) {
        if (PenOn(*t.dc->state.pen, step)) PenDot(t, x0, y0);
        const int e2 = 2 * err;
        if (e2 >= dy) {
            err += dy;
            x0 += sx;
        }
        if (e2 <= dx) {
            err += dx;
            y0 += sy;
        }
    }
}

void Fill(const Target& t, int y, int x0, int x1)
{
    const Brush* b = t.dc->state.brush;
    if (!b || b->hollow || x1 <= x0) return;
    FillSpan(*t.dc, t.clip, y, x0, x1, b->color, R2_COPYPEN);
}

RECT Normalised(int l, int t, int r, int b) { return RECT{std::min(l, r), std::min(t, b), std::max(l, r), std::max(t, b)}; }

// The columns [x0, x1) an ellipse inscribed in w x h covers on row y
// (0-based within the box).
bool EllipseRow(int w, int h, int y, int& x0, int& x1)
{
    const double a = w / 2.0, b = h / 2.0;
    const double cy = y + 0.5 - b;
    const double k = 1.0 - (cy * cy) / (b * b);
    if (k < 0) return false;
    const double half = a * std::sqrt(k);
    x0 = static_cast<int>(std::lround(a - half));
    x1 = static_cast<int>(std::lround(a + half));
    return x1 > x0;
}

}  // namespace

COLORREF SetPixel(HDC h, int x, int y, COLORREF color)
{
    Target t;
    if (!Open(h, t)) return CLR_INVALID;
    const int px = x + t.org.x, py = y + t.org.y;
    for (const RECT& r : t.clip)
        if (PtInRect(&r, POINT{px, py})) {
            t.dc->surface->Put(px, py, color & 0xFFFFFF);
            return color & 0xFFFFFF;
        }
    return CLR_INVALID;
}

COLORREF GetPixel(HDC h, int x, int y)
{
    Target t;
    if (!Open(h, t)) return CLR_INVALID;
    const int px = x + t.org.x, py = y + t.org.y;
    if (!t.dc->surface || !PtInRect(&t.dc->visible, POINT{px, py})) return CLR_INVALID;
    return t.dc->surface->Get(px, py);
}

BOOL MoveToEx(HDC h, int x, int y, LPPOINT old)
{
    Dc* dc = FindDc(h);
    if (!dc) return FALSE;
    if (old) *old = dc->state.position;
    dc->state.position = POINT{x, y};
    return TRUE;
}

BOOL LineTo(HDC h, int x, int y)
{
    Target t;
    if (!Open(h, t)) return FALSE;
    if (PenVisible(*t.dc))
        Line(t, t.dc->state.position.x + t.org.x, t.dc->state.position.y + t.org.y, x + t.org.x, y + t.org.y);
    t.dc->state.position = POINT{x, y};
    return TRUE;
}

BOOL Polyline(HDC h, const POINT* pts, int count)
{
    Target t;
    if (!Open(h, t) || !pts || count < 2) return FALSE;
    if (!PenVisible(*t.dc)) return TRUE;
    for (int i = 1; i < count; ++i)
        Line(t, pts[i - 1].x + t.org.x, pts[i - 1].y + t.org.y, pts[i].x + t.org.x, pts[i].y + t.org.y);
    return TRUE;
}

BOOL Polygon(HDC h, const POINT* pts, int count)
{
    Target t;
    if (!Open(h, t) || !pts || count < 2) return FALSE;
    // Even-odd fill, sampling each row at its pixel centres.
    int top = pts[0].y, bottom = pts[0].y;
    for (int i = 1; i < count; ++i) {
        top = std::min(top, static_cast<int>(pts[i].y));
        bottom = std::max(bottom, static_cast<int>(pts[i].y));
    }
    std::vector<double> xs;
    for (int y = top; y < bottom; ++y) {
        const double cy = y + 0.5;
        xs.clear();
        for (int i = 0; i < count; ++i) {
            const POINT& a = pts[i];
            const POINT& b = pts[(i + 1) % count];
            if ((a.y <= cy) == (b.y <= cy)) continue;
            xs.push_back(a.x + (cy - a.y) * (b.x - a.x) / static_cast<double>(b.y - a.y));
        }
        std::sort(xs.begin(), xs.end());
        for (size_t i = 0; i + 1 < xs.size(); i += 2)
            Fill(t, y + t.org.y, static_cast<int>(std::lround(xs[i])) + t.org.x,
                 static_cast<int>(std::lround(xs[i + 1])) + t.org.x);
    }
    if (PenVisible(*t.dc))
        for (int i = 0; i < count; ++i) {
            const POINT& a = pts[i];
            const POINT& b = pts[(i + 1) % count];
            Line(t, a.x + t.org.x, a.y + t.org.y, b.x + t.org.x, b.y + t.org.y);
        }
    return TRUE;
}

BOOL Rectangle(HDC h, int left, int top, int right, int bottom)
{
    Target t;
    if (!Open(h, t)) return FALSE;
    RECT r = Normalised(left, top, right, bottom);
    OffsetRect(&r, t.org.x, t.org.y);
    const bool pen = PenVisible(*t.dc);
    const int inset = pen ? 1 : 0;
    for (int y = r.top + inset; y < r.bottom - inset; ++y) Fill(t, y, r.left + inset, r.right - inset);
    if (pen) {
        const int x1 = r.right - 1, y1 = r.bottom - 1;
        Line(t, r.left, r.top, x1, r.top);
        Line(t, x1, r.top, x1, y1);
        Line(t, x1, y1, r.left, y1);
        Line(t, r.left, y1, r.left, r.top);
    }
    return TRUE;
}

BOOL Ellipse(HDC h, int left, int top, int right, int bottom)
{
    Target t;
    if (!Open(h, t)) return FALSE;
    RECT r = Normalised(left, top, right, bottom);
    OffsetRect(&r, t.org.x, t.org.y);
    const int w = r.right - r.left, hgt = r.bottom - r.top;
    const bool pen = PenVisible(*t.dc);
    auto span = [&](int y, int& x0, int& x1) {
        if (y < 0 || y >= hgt || !EllipseRow(w, hgt, y, x0, x1)) {
            x0 = x1 = w / 2;  // an empty row: every pixel of its neighbour is an edge
            return false;
        }
        return true;
    };
    for (int y = 0; y < hgt; ++y) {
        int x0, x1;
        if (!span(y, x0, x1)) continue;
        Fill(t, r.top + y, r.left + x0, r.left + x1);
        if (!pen) continue;
        // The outline is every covered pixel with an uncovered neighbour:
        // the row's ends, stretched to where the rows above and below end.
        int a0, a1, b0, b1;
        span(y - 1, a0, a1);
        span(y + 1, b0, b1);
        const int leftEnd = std::max(x0 + 1, std::max(a0, b0));
        const int rightStart = std::min(x1 - 1, std::min(a1, b1));
        const COLORREF c = t.dc->state.pen->color;
        if (leftEnd >= rightStart) {
            FillSpan(*t.dc, t.clip, r.top + y, r.left + x0, r.left + x1, c, t.dc->state.rop2);
        } else {
            FillSpan(*t.dc, t.clip, r.top + y, r.left + x0, r.left + leftEnd, c, t.dc->state.rop2);
            FillSpan(*t.dc, t.clip, r.top + y, r.left + rightStart, r.left + x1, c, t.dc->state.rop2);
        }
    }
    return TRUE;
}

int FillRect(HDC h, const RECT* rect, HBRUSH brush)
{
    Target t;
    if (!Open(h, t) || !rect) return 0;
    // A system colour index plus one stands for its brush, as on Windows.
    const auto value = reinterpret_cast<uintptr_t>(brush);
    auto* b = value > 0 && value <= 31 ? static_cast<Brush*>(Find(GetSysColorBrush(static_cast<int>(value - 1)), Kind::Brush))
                                       : static_cast<Brush*>(Find(brush, Kind::Brush));
    if (!b) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (b->hollow) return 1;
    RECT r = *rect;
    OffsetRect(&r, t.org.x, t.org.y);
    for (int y = r.top; y < r.bottom; ++y) FillSpan(*t.dc, t.clip, y, r.left, r.right, b->color, R2_COPYPEN);
    return 1;
}

int FrameRect(HDC h, const RECT* rect, HBRUSH brush)
{
    if (!rect) return 0;
    const RECT edges[4] = {{rect->left, rect->top, rect->right, rect->top + 1},
                           {rect->left, rect->bottom - 1, rect->right, rect->bottom},
                           {rect->left, rect->top, rect->left + 1, rect->bottom},
                           {rect->right - 1, rect->top, rect->right, rect->bottom}};
    for (const RECT& e : edges)
        if (!FillRect(h, &e, brush)) return 0;
    return 1;
}

BOOL InvertRect(HDC h, const RECT* rect)
{
    Target t;
    if (!Open(h, t) || !rect) return FALSE;
    RECT r = *rect;
    OffsetRect(&r, t.org.x, t.org.y);
    for (int y = r.top; y < r.bottom; ++y) FillSpan(*t.dc, t.clip, y, r.left, r.right, 0, R2_NOT);
    return TRUE;
}

BOOL FillRgn(HDC h, HRGN rgn, HBRUSH brush)
{
    auto* region = static_cast<Region*>(Find(rgn, Kind::Region));
    if (!region) return FALSE;
    for (const RECT& r : region->rects)
        if (!FillRect(h, &r, brush)) return FALSE;
    return TRUE;
}
