// The rectangle helpers both layers use. Null pointers are refused with 0.
#include "gdi.h"

#include <algorithm>

BOOL SetRect(LPRECT r, int left, int top, int right, int bottom)
{
    if (!r) return FALSE;
    *r = RECT{left, top, right, bottom};
    return TRUE;
}

BOOL SetRectEmpty(LPRECT r) { return SetRect(r, 0, 0, 0, 0); }

BOOL IsRectEmpty(const RECT* r) { return !r || r->right <= r->left || r->bottom <= r->top; }

BOOL CopyRect(LPRECT dst, const RECT* src)
{
    if (!dst || !src) return FALSE;
    *dst = *src;
    return TRUE;
}

BOOL OffsetRect(LPRECT r, int dx, int dy)
{
    if (!r) return FALSE;
    r->left += dx;
    r->right += dx;
    r->top += dy;
    r->bottom += dy;
    return TRUE;
}

BOOL InflateRect(LPRECT r, int dx, int dy)
{
    if (!r) return FALSE;
    r->left -= dx;
    r->right += dx;
    r->top -= dy;
    r->bottom += dy;
    return TRUE;
}

BOOL IntersectRect(LPRECT dst, const RECT* a, const RECT* b)
{
    if (!dst || !a || !b) return FALSE;
    RECT r{std::max(a->left, b->left), std::max(a->top, b->top), std::min(a->right, b->right),
           std::min(a->bottom, b->bottom)};
    if (IsRectEmpty(&r)) {
        SetRectEmpty(dst);
        return FALSE;
    }
    *dst = r;
    return TRUE;
}

BOOL UnionRect(LPRECT dst, const RECT* a, const RECT* b)
{
    if (!dst || !a || !b) return FALSE;
    if (IsRectEmpty(a)) return CopyRect(dst, b) && !IsRectEmpty(b);
    if (IsRectEmpty(b)) return CopyRect(dst, a);
    *dst = RECT{std::min(a->left, b->left), std::min(a->top, b->top), std::max(a->right, b->right),
                std::max(a->bottom, b->bottom)};
    return TRUE;
}

BOOL PtInRect(const RECT* r, POINT pt)
{
    return r && pt.x >= r->left && pt.x < r->right && pt.y >= r->top && pt.y < r->bottom;
}

BOOL EqualRect(const RECT* a, const RECT* b)
{
    return a && b && a->left == b->left && a->top == b->top && a->right == b->right && a->bottom == b->bottom;
}
