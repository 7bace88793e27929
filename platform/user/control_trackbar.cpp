// The trackbar: a thumb on a channel between a minimum and a maximum; the
// keyboard, clicks and drags move it and tell the parent through
// WM_HSCROLL (WM_VSCROLL when vertical) with the trackbar as lParam.
#include <algorithm>

#include "commctrl.h"
#include "user_internal.h"

namespace user {
namespace {

struct TrackbarState : ControlState {
    int min = 0, max = 100, pos = 0;
    int line = 1, page = 20, ticFrequency = 1;
};

bool Vertical(HWND hwnd) { return (GetWindowLongA(hwnd, GWL_STYLE) & TBS_VERT) != 0; }

void Notify(HWND hwnd, UINT code, int pos)
{
    SendMessageA(GetParent(hwnd), Vertical(hwnd) ? WM_VSCROLL : WM_HSCROLL, MAKEWPARAM(code, static_cast<WORD>(pos)),
                 reinterpret_cast<LPARAM>(hwnd));
}

void Move(HWND hwnd, TrackbarState* s, int to, UINT code)
{
    s->pos = std::clamp(to, s->min, s->max);
    InvalidateRect(hwnd, nullptr, TRUE);
    Notify(hwnd, code, s->pos);
    Notify(hwnd, TB_ENDTRACK, 0);
}

// The channel's length in pixels and where a position sits on it.
RECT Channel(HWND hwnd)
{
    RECT r;
    GetClientRect(hwnd, &r);
    if (Vertical(hwnd)) return RECT{r.right / 2 - 2, r.top + 8, r.right / 2 + 2, r.bottom - 8};
    return RECT{r.left + 8, r.bottom / 2 - 2, r.right - 8, r.bottom / 2 + 2};
}

int Offset(HWND hwnd, const TrackbarState* s, int pos)
{
    const RECT c = Channel(hwnd);
    const int length = Vertical(hwnd) ? c.bottom - c.top : c.right - c.left;
    return length * (pos - s->min) / std::max(1, s->max - s->min);
}

void Paint(HWND hwnd, HDC dc)
{
    auto* s = StateOf<TrackbarState>(hwnd);
    RECT r;
    GetClientRect(hwnd, &r);
    FillRect(dc, &r, ControlColors(hwnd, dc, WM_CTLCOLORSTATIC));
    RECT c = Channel(hwnd);
    DrawEdge(dc, &c, EDGE_SUNKEN, BF_RECT);
    const bool vertical = Vertical(hwnd);
    const DWORD style = static_cast<DWORD>(GetWindowLongA(hwnd, GWL_STYLE));
    if ((style & TBS_AUTOTICKS) && !(style & TBS_NOTICKS))
        for (int p = s->min; p <= s->max; p += std::max(1, s->ticFrequency)) {
            const int o = Offset(hwnd, s, p);
            RECT tick = vertical ? RECT{r.right - 4, c.top + o, r.right - 1, c.top + o + 1}
                                 : RECT{c.left + o, r.bottom - 4, c.left + o + 1, r.bottom - 1};
            FillRect(dc, &tick, GetSysColorBrush(COLOR_BTNTEXT));
        }
    const int o = Offset(hwnd, s, s->pos);
    RECT thumb = vertical ? RECT{r.left + 2, c.top + o - 5, r.right - 2, c.top + o + 5}
                          : RECT{c.left + o - 5, r.top + 2, c.left + o + 5, r.bottom - 2};
    FillRect(dc, &thumb, GetSysColorBrush(COLOR_BTNFACE));
    DrawEdge(dc, &thumb, EDGE_RAISED, BF_RECT);
    if (GetFocus() == hwnd) {
        RECT f = r;
        DrawFocusRect(dc, &f);
    }
}

LRESULT CALLBACK TrackbarProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto* s = StateOf<TrackbarState>(hwnd);
    if (!s) return 0;
    const BOOL redraw = static_cast<BOOL>(wParam);
    switch (msg) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        Paint(hwnd, dc);
        EndPaint(hwnd, &ps);
        return 0;
    }
    case WM_ERASEBKGND: return 1;
    case WM_GETDLGCODE: return DLGC_WANTARROWS;
    case TBM_GETPOS: return s->pos;
    case TBM_GETRANGEMIN: return s->min;
    case TBM_GETRANGEMAX: return s->max;
    case TBM_SETPOS:
        s->pos = std::clamp(static_cast<int>(lParam), s->min, s->max);
        if (redraw) InvalidateRect(hwnd, nullptr, TRUE);
        return 0;
    case TBM_SETRANGE:
        s->min = static_cast<short>(LOWORD(lParam));
        s->max = static_cast<short>(HIWORD(lParam));
        s->pos = std::clamp(s->pos, s->min, std::max(s->min, s->max));
        if (redraw) InvalidateRect(hwnd, nullptr, TRUE);
        return 0;
    case TBM_SETRANGEMIN:
    case TBM_SETRANGEMAX:
        (msg == TBM_SETRANGEMIN ? s->min : s->max) = static_cast<int>(lParam);
        s->pos = std::clamp(s->pos, s->min, std::max(s->min, s->max));
        if (redraw) InvalidateRect(hwnd, nullptr, TRUE);
        return 0;
    case TBM_SETTICFREQ: s->ticFrequency = static_cast<int>(wParam); InvalidateRect(hwnd, nullptr, TRUE); return 0;
    case TBM_SETTIC:
    case TBM_CLEARTICS: return TRUE;
    case TBM_SETPAGESIZE: {
        const int old = s->page;
        s->page = static_cast<int>(lParam);
        return old;
    }
    case TBM_GETPAGESIZE: return s->page;
    case TBM_SETLINESIZE: {
        const int old = s->line;
        s->line = static_cast<int>(lParam);
        return old;
    }
    case TBM_GETLINESIZE: return s->line;
    case WM_KEYDOWN:
        switch (wParam) {
        case VK_LEFT:
        case VK_UP: Move(hwnd, s, s->pos - s->line, TB_LINEUP); break;
        case VK_RIGHT:
        case VK_DOWN: Move(hwnd, s, s->pos + s->line, TB_LINEDOWN); break;
        case VK_PRIOR: Move(hwnd, s, s->pos - s->page, TB_PAGEUP); break;
        case VK_NEXT: Move(hwnd, s, s->pos + s->page, TB_PAGEDOWN); break;
        case VK_HOME: Move(hwnd, s, s->min, TB_TOP); break;
        case VK_END: Move(hwnd, s, s->max, TB_BOTTOM); break;
        default: break;
        }
        return 0;
    case WM_LBUTTONDOWN: {
        // A click beside the thumb moves it a page towards the click.
        SetFocus(hwnd);
        const RECT c = Channel(hwnd);
        const int at = Vertical(hwnd) ? GET_Y_LPARAM(lParam) - c.top : GET_X_LPARAM(lParam) - c.left;
        const int thumb = Offset(hwnd, s, s->pos);
        if (at < thumb - 5) Move(hwnd, s, s->pos - s->page, TB_PAGEUP);
        else if (at > thumb + 5) Move(hwnd, s, s->pos + s->page, TB_PAGEDOWN);
        return 0;
    }
    case WM_SETFOCUS:
    case WM_KILLFOCUS: InvalidateRect(hwnd, nullptr, TRUE); return 0;
    case kScriptDrag: {
        // A drag: the thumb tracks to the point, then is let go there.
        const int to = std::clamp(static_cast<int>(wParam), s->min, s->max);
        SetFocus(hwnd);
        s->pos = to;
        InvalidateRect(hwnd, nullptr, TRUE);
        Notify(hwnd, TB_THUMBTRACK, to);
        Notify(hwnd, TB_THUMBPOSITION, to);
        Notify(hwnd, TB_ENDTRACK, 0);
        return TRUE;
    }
    default: return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
}

struct ProgressState : ControlState {
    int min = 0, max = 100, pos = 0, step = 10;
    COLORREF bar = CLR_DEFAULT;
};

LRESULT CALLBACK ProgressProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto* s = StateOf<ProgressState>(hwnd);
    if (!s) return 0;
    auto set = [&](int to) {
        const int old = s->pos;
        s->pos = std::clamp(to, s->min, s->max);
        if (s->pos != old) InvalidateRect(hwnd, nullptr, TRUE);
        return old;
    };
    switch (msg) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        RECT r;
        GetClientRect(hwnd, &r);
        FillRect(dc, &r, GetSysColorBrush(COLOR_BTNFACE));
        DrawEdge(dc, &r, BDR_SUNKENOUTER, BF_RECT | BF_ADJUST);
        const bool vertical = (GetWindowLongA(hwnd, GWL_STYLE) & PBS_VERTICAL) != 0;
        const int length = vertical ? r.bottom - r.top : r.right - r.left;
        const int filled = length * (s->pos - s->min) / std::max(1, s->max - s->min);
        RECT bar = vertical ? RECT{r.left, r.bottom - filled, r.right, r.bottom} : RECT{r.left, r.top, r.left + filled, r.bottom};
        HBRUSH brush = s->bar == CLR_DEFAULT ? GetSysColorBrush(COLOR_HIGHLIGHT) : CreateSolidBrush(s->bar);
        FillRect(dc, &bar, brush);
        if (s->bar != CLR_DEFAULT) DeleteObject(brush);
        EndPaint(hwnd, &ps);
        return 0;
    }
    case PBM_SETRANGE:
    case PBM_SETRANGE32: {
        const LRESULT old = MAKELONG(s->min, s->max);
        s->min = msg == PBM_SETRANGE ? LOWORD(lParam) : static_cast<int>(wParam);
        s->max = msg == PBM_SETRANGE ? HIWORD(lParam) : static_cast<int>(lParam);
        set(s->pos);
        InvalidateRect(hwnd, nullptr, TRUE);
        return old;
    }
    case PBM_GETRANGE: return wParam ? s->min : s->max;
    case PBM_SETPOS: return set(static_cast<int>(wParam));
    case PBM_DELTAPOS: return set(s->pos + static_cast<int>(wParam));
    case PBM_SETSTEP: {
        const int old = s->step;
        s->step = static_cast<int>(wParam);
        return old;
    }
    case PBM_STEPIT: {
        // Stepping past the end starts again from the beginning.
        const int old = s->pos;
        int next = s->pos + s->step;
        if (next > s->max) next = s->min + (next - s->max);
        set(next);
        return old;
    }
    case PBM_GETPOS: return s->pos;
    case PBM_SETBARCOLOR: {
        const COLORREF old = s->bar;
        s->bar = static_cast<COLORREF>(lParam);
        InvalidateRect(hwnd, nullptr, TRUE);
        return old;
    }
    default: return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
}

}  // namespace

void RegisterTrackbarClasses()
{
    RegisterSystemClass(TRACKBAR_CLASSA, TrackbarProc, 0, 0, nullptr);
    RegisterSystemClass(PROGRESS_CLASSA, ProgressProc, 0, 0, nullptr);
}

}  // namespace user
