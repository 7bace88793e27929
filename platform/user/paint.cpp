// Painting: update areas, BeginPaint/EndPaint, window DCs on the top-level
// window's image, and painting a window tree on the spot.
#include <algorithm>

#include "user_internal.h"

namespace user {
namespace {

// The part of the top-level image a window's client area may draw into:
// its client rectangle cut by every ancestor's.
RECT VisibleClient(const Window& w)
{
    const POINT o = ClientOriginInTop(w);
    const RECT c = ClientRectInWindow(w);
    RECT v{o.x, o.y, o.x + (c.right - c.left), o.y + (c.bottom - c.top)};
    for (const Window* p = w.parent; p; p = p->parent) {
        const POINT po = ClientOriginInTop(*p);
        const RECT pc = ClientRectInWindow(*p);
        RECT pv{po.x, po.y, po.x + (pc.right - pc.left), po.y + (pc.bottom - pc.top)};
        IntersectRect(&v, &v, &pv);
    }
    return v;
}

HDC ClientDc(Window& w)
{
    Window* top = TopOf(&w);
    ResizeImage(*top);
    HDC dc = gdi::CreateSurfaceDc(top->image.get(), ClientOriginInTop(w), VisibleClient(w));
    SelectControlFont(w.handle, dc);
    return dc;
}

}  // namespace

void InvalidateTree(Window& w, const RECT* rect, bool erase)
{
    std::lock_guard guard(Lock());
    const RECT c = ClientRectInWindow(w);
    RECT all{0, 0, c.right - c.left, c.bottom - c.top};
    RECT r = all;
    if (rect) IntersectRect(&r, rect, &all);
    if (IsRectEmpty(&r)) return;
    UnionRect(&w.update, &w.update, &r);
    w.erase = w.erase || erase;
    for (Window* k : w.children) {
        RECT overlap;
        if (IntersectRect(&overlap, &k->rect, &r)) InvalidateTree(*k, nullptr, erase);
    }
}

void PaintNow(Window& w)
{
    if (w.dead || !ReallyVisible(w)) return;
    if (!IsRectEmpty(&w.update)) {
        SendMessageA(w.handle, WM_PAINT, 0, 0);
        std::lock_guard guard(Lock());
        SetRectEmpty(&w.update);
    }
    std::vector<HWND> kids;
    {
        std::lock_guard guard(Lock());
        // Bottom of the z-order first, so a sibling above paints over it.
        for (auto it = w.children.rbegin(); it != w.children.rend(); ++it) kids.push_back((*it)->handle);
    }
    for (HWND k : kids)
        if (Window* c = FindQuiet(k)) PaintNow(*c);
}

}  // namespace user

using namespace user;

HDC BeginPaint(HWND hwnd, LPPAINTSTRUCT ps)
{
    Window* w = Find(hwnd);
    if (!w || !ps) return nullptr;
    DrawNonClient(*w);
    RECT update;
    bool erase;
    {
        std::lock_guard guard(Lock());
        update = w->update;
        erase = w->erase;
        if (IsRectEmpty(&update)) {
            // Painting outside WM_PAINT gets the whole client area.
            const RECT c = ClientRectInWindow(*w);
            update = RECT{0, 0, c.right - c.left, c.bottom - c.top};
            erase = true;
        }
        SetRectEmpty(&w->update);
        w->erase = false;
        // What the window paints here covers its children there, so they
        // paint again after it, whenever they last painted.
        for (Window* k : w->children) {
            RECT overlap;
            if (IntersectRect(&overlap, &k->rect, &update)) InvalidateTree(*k, nullptr, true);
        }
    }
    HDC dc = ClientDc(*w);
    IntersectClipRect(dc, update.left, update.top, update.right, update.bottom);
    ps->hdc = dc;
    ps->rcPaint = update;
    ps->fRestore = FALSE;
    ps->fIncUpdate = FALSE;
    ps->fErase = erase ? !SendMessageA(hwnd, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0) : FALSE;
    return dc;
}

BOOL EndPaint(HWND, const PAINTSTRUCT* ps)
{
    if (!ps) return FALSE;
    DeleteDC(ps->hdc);
    return TRUE;
}

HDC GetDC(HWND hwnd)
{
    if (!hwnd) {
        // The screen: the desktop picture's image.
        static gdi::Surface screen;
        if (!screen.bits) screen.Allocate(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
        return gdi::CreateSurfaceDc(&screen, POINT{0, 0}, RECT{0, 0, screen.width, screen.height});
    }
    Window* w = Find(hwnd);
    return w ? ClientDc(*w) : nullptr;
}

HDC GetWindowDC(HWND hwnd)
{
    Window* w = Find(hwnd);
    if (!w) return nullptr;
    Window* top = TopOf(w);
    ResizeImage(*top);
    const POINT o = ClientOriginInTop(*w);
    const RECT c = ClientRectInWindow(*w);
    const POINT wo{o.x - c.left, o.y - c.top};
    return gdi::CreateSurfaceDc(top->image.get(), wo,
                                RECT{wo.x, wo.y, wo.x + (w->rect.right - w->rect.left), wo.y + (w->rect.bottom - w->rect.top)});
}

int ReleaseDC(HWND, HDC dc) { return DeleteDC(dc) ? 1 : 0; }

BOOL InvalidateRect(HWND hwnd, const RECT* rect, BOOL erase)
{
    if (!hwnd) {
        std::lock_guard guard(Lock());
        for (Window* t : TopLevel()) InvalidateTree(*t, nullptr, erase);
        return TRUE;
    }
    Window* w = Find(hwnd);
    if (!w) return FALSE;
    InvalidateTree(*w, rect, erase);
    return TRUE;
}

BOOL ValidateRect(HWND hwnd, const RECT* rect)
{
    std::lock_guard guard(Lock());
    Window* w = Find(hwnd);
    if (!w) return FALSE;
    // The update area is kept as one rectangle: validating part of it keeps
    // all of it unless the part covers it.
    RECT cover;
    if (!rect || (UnionRect(&cover, rect, &w->update) && EqualRect(&cover, rect))) SetRectEmpty(&w->update);
    return TRUE;
}

BOOL GetUpdateRect(HWND hwnd, LPRECT rect, BOOL)
{
    std::lock_guard guard(Lock());
    Window* w = Find(hwnd);
    if (!w) return FALSE;
    if (rect) *rect = w->update;
    return !IsRectEmpty(&w->update);
}

BOOL UpdateWindow(HWND hwnd)
{
    Window* w = Find(hwnd);
    if (!w) return FALSE;
    PaintNow(*w);
    return TRUE;
}

BOOL RedrawWindow(HWND hwnd, const RECT* rect, HRGN rgn, UINT flags)
{
    RECT box;
    if (rgn && GetRgnBox(rgn, &box) != ERROR) rect = &box;
    if (flags & (RDW_INVALIDATE | RDW_FRAME) && !InvalidateRect(hwnd, rect, (flags & RDW_ERASE) != 0)) return FALSE;
    if (flags & RDW_UPDATENOW) {
        if (hwnd) return UpdateWindow(hwnd);
        std::vector<HWND> tops;
        {
            std::lock_guard guard(Lock());
            for (Window* t : TopLevel()) tops.push_back(t->handle);
        }
        for (HWND t : tops) UpdateWindow(t);
    }
    return TRUE;
}
