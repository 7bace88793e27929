// Scroll bars: the window's own (WS_HSCROLL, WS_VSCROLL) and the scroll-bar
// control, which keeps its range and position the same way and reports a
// drag with WM_HSCROLL or WM_VSCROLL to its parent.
#include <algorithm>

#include "user_internal.h"

namespace user {
namespace {

struct ScrollBarControl : ControlState {
    ScrollState state;
};

bool IsControl(HWND hwnd)
{
    Window* w = FindQuiet(hwnd);
    return w && w->cls->name == "ScrollBar";
}

ScrollState* StateFor(HWND hwnd, int bar)
{
    Window* w = Find(hwnd);
    if (!w) return nullptr;
    if (bar == SB_CTL) {
        if (!IsControl(hwnd)) return nullptr;
        return &StateOf<ScrollBarControl>(hwnd)->state;
    }
    if (bar == SB_HORZ) return &w->hscroll;
    if (bar == SB_VERT) return &w->vscroll;
    return nullptr;
}

int Clamp(const ScrollState& s, int pos)
{
    const int maxPos = s.page > 0 ? s.max - s.page + 1 : s.max;
    return std::clamp(pos, s.min, std::max(s.min, maxPos));
}

void Redraw(HWND hwnd, int bar)
{
    Window* w = FindQuiet(hwnd);
    if (!w) return;
    if (bar == SB_CTL)
        InvalidateRect(hwnd, nullptr, TRUE);
    else
        DrawNonClient(*w);
}

LRESULT CALLBACK ScrollBarProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto* c = StateOf<ScrollBarControl>(hwnd);
    if (!c) return 0;
    ScrollState& s = c->state;
    const bool vertical = (GetWindowLongA(hwnd, GWL_STYLE) & SBS_VERT) != 0;
    switch (msg) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        RECT r;
        GetClientRect(hwnd, &r);
        FillRect(dc, &r, GetSysColorBrush(COLOR_SCROLLBAR));
        const int length = vertical ? r.bottom : r.right;
        const int span = std::max(1, s.max - s.min);
        const int thumb = std::max(8, s.page > 0 ? length * s.page / (span + 1) : 16);
        const int at = (length - thumb) * (s.pos - s.min) / span;
        RECT t = vertical ? RECT{0, at, r.right, at + thumb} : RECT{at, 0, at + thumb, r.bottom};
        FillRect(dc, &t, GetSysColorBrush(COLOR_BTNFACE));
        DrawEdge(dc, &t, EDGE_RAISED, BF_RECT);
        EndPaint(hwnd, &ps);
        return 0;
    }
    case SBM_SETPOS: {
        const int old = s.pos;
        s.pos = Clamp(s, static_cast<int>(wParam));
        if (lParam) InvalidateRect(hwnd, nullptr, TRUE);
        return old;
    }
    case SBM_GETPOS: return s.pos;
    case SBM_SETRANGE:
        s.min = static_cast<int>(wParam);
        s.max = static_cast<int>(lParam);
        s.pos = Clamp(s, s.pos);
        InvalidateRect(hwnd, nullptr, TRUE);
        return 0;
    case SBM_GETRANGE:
        if (wParam) *reinterpret_cast<int*>(wParam) = s.min;
        if (lParam) *reinterpret_cast<int*>(lParam) = s.max;
        return 0;
    case SBM_SETSCROLLINFO: return SetScrollInfo(hwnd, SB_CTL, reinterpret_cast<const SCROLLINFO*>(lParam), static_cast<BOOL>(wParam));
    case SBM_GETSCROLLINFO: return GetScrollInfo(hwnd, SB_CTL, reinterpret_cast<SCROLLINFO*>(lParam));
    case kScriptDrag: {
        const int to = Clamp(s, static_cast<int>(wParam));
        HWND parent = GetParent(hwnd);
        const UINT note = vertical ? WM_VSCROLL : WM_HSCROLL;
        SendMessageA(parent, note, MAKEWPARAM(SB_THUMBTRACK, to), reinterpret_cast<LPARAM>(hwnd));
        SendMessageA(parent, note, MAKEWPARAM(SB_THUMBPOSITION, to), reinterpret_cast<LPARAM>(hwnd));
        SendMessageA(parent, note, MAKEWPARAM(SB_ENDSCROLL, 0), reinterpret_cast<LPARAM>(hwnd));
        return TRUE;
    }
    default: return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
}

}  // namespace

void RegisterScrollBarClass() { RegisterSystemClass("ScrollBar", ScrollBarProc, CS_DBLCLKS, 0, nullptr); }

}  // namespace user

using namespace user;

int SetScrollInfo(HWND hwnd, int bar, const SCROLLINFO* info, BOOL redraw)
{
    ScrollState* s = StateFor(hwnd, bar);
    if (!s || !info) return 0;
    if (info->fMask & SIF_RANGE) {
        s->min = info->nMin;
        s->max = info->nMax;
    }
    if (info->fMask & SIF_PAGE) s->page = static_cast<int>(std::min<UINT>(info->nPage, static_cast<UINT>(s->max - s->min + 1)));
    if (info->fMask & SIF_POS) s->pos = info->nPos;
    s->pos = Clamp(*s, s->pos);
    if (redraw) Redraw(hwnd, bar);
    return s->pos;
}

BOOL GetScrollInfo(HWND hwnd, int bar, LPSCROLLINFO info)
{
    ScrollState* s = StateFor(hwnd, bar);
    if (!s || !info) return FALSE;
    if (info->fMask & SIF_RANGE) {
        info->nMin = s->min;
        info->nMax = s->max;
    }
    if (info->fMask & SIF_PAGE) info->nPage = static_cast<UINT>(s->page);
    if (info->fMask & SIF_POS) info->nPos = s->pos;
    if (info->fMask & SIF_TRACKPOS) info->nTrackPos = s->pos;
    return TRUE;
}

int SetScrollPos(HWND hwnd, int bar, int pos, BOOL redraw)
{
    ScrollState* s = StateFor(hwnd, bar);
    if (!s) return 0;
    const int old = s->pos;
    s->pos = Clamp(*s, pos);
    if (redraw) Redraw(hwnd, bar);
    return old;
}

int GetScrollPos(HWND hwnd, int bar)
{
    ScrollState* s = StateFor(hwnd, bar);
    return s ? s->pos : 0;
}

BOOL SetScrollRange(HWND hwnd, int bar, int min, int max, BOOL redraw)
{
    ScrollState* s = StateFor(hwnd, bar);
    if (!s || max - min > 0x7FFFFFFF / 2) return FALSE;
    s->min = min;
    s->max = max;
    s->pos = Clamp(*s, s->pos);
    if (redraw) Redraw(hwnd, bar);
    return TRUE;
}

BOOL GetScrollRange(HWND hwnd, int bar, LPINT min, LPINT max)
{
    ScrollState* s = StateFor(hwnd, bar);
    if (!s || !min || !max) return FALSE;
    *min = s->min;
    *max = s->max;
    return TRUE;
}
