// The default answers: DefWindowProc, the notifications controls send to
// their parents, the colours a parent picks for a control, and fonts.
#include <cstring>

#include "user_internal.h"

namespace user {

LRESULT NotifyParent(HWND control, WORD code)
{
    Window* w = FindQuiet(control);
    if (!w || !w->parent) return 0;
    return SendMessageA(w->parent->handle, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(w->id), code),
                        reinterpret_cast<LPARAM>(control));
}

LRESULT SendNotify(HWND control, NMHDR* header)
{
    Window* w = FindQuiet(control);
    if (!w || !w->parent) return 0;
    header->hwndFrom = control;
    header->idFrom = static_cast<UINT_PTR>(w->id);
    return SendMessageA(w->parent->handle, WM_NOTIFY, static_cast<WPARAM>(w->id), reinterpret_cast<LPARAM>(header));
}

HBRUSH ControlColors(HWND control, HDC dc, UINT message)
{
    Window* w = FindQuiet(control);
    HWND parent = w && w->parent ? w->parent->handle : nullptr;
    LRESULT r = parent ? SendMessageA(parent, message, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(control))
                       : DefWindowProcA(control, message, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(control));
    if (r) return reinterpret_cast<HBRUSH>(r);
    return reinterpret_cast<HBRUSH>(DefWindowProcA(control, message, reinterpret_cast<WPARAM>(dc),
                                                   reinterpret_cast<LPARAM>(control)));
}

HFONT FontOf(HWND hwnd)
{
    Window* w = FindQuiet(hwnd);
    if (w && w->font) return w->font;
    // A control without a font of its own uses its dialog's.
    for (Window* p = w ? w->parent : nullptr; p; p = p->parent)
        if (p->font) return p->font;
    return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

void SelectControlFont(HWND hwnd, HDC dc) { SelectObject(dc, FontOf(hwnd)); }

}  // namespace user

using namespace user;

LRESULT DefWindowProcA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    Window* w = FindQuiet(hwnd);
    if (!w) return 0;
    switch (msg) {
    case WM_NCCREATE: {
        auto* cs = reinterpret_cast<CREATESTRUCTA*>(lParam);
        if (cs && cs->lpszName && !IS_INTRESOURCE(cs->lpszName)) {
            std::lock_guard guard(Lock());
            w->text = cs->lpszName;
        }
        return TRUE;
    }
    case WM_SETTEXT: {
        {
            std::lock_guard guard(Lock());
            w->text = lParam ? reinterpret_cast<LPCSTR>(lParam) : "";
        }
        if (!w->parent) DrawNonClient(*w);
        return TRUE;
    }
    case WM_GETTEXT: {
        if (!lParam || wParam == 0) return 0;
        std::lock_guard guard(Lock());
        const size_t n = std::min(w->text.size(), static_cast<size_t>(wParam) - 1);
        std::memcpy(reinterpret_cast<char*>(lParam), w->text.data(), n);
        reinterpret_cast<char*>(lParam)[n] = 0;
        return static_cast<LRESULT>(n);
    }
    case WM_GETTEXTLENGTH: return static_cast<LRESULT>(w->text.size());
    case WM_CLOSE: DestroyWindow(hwnd); return 0;
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == SC_CLOSE) SendMessageA(hwnd, WM_CLOSE, 0, 0);
        return 0;
    case WM_ERASEBKGND: {
        HBRUSH brush = w->cls->background;
        if (!brush) return 0;
        RECT r;
        GetClientRect(hwnd, &r);
        FillRect(reinterpret_cast<HDC>(wParam), &r, brush);
        return 1;
    }
    case WM_PAINT: {
        PAINTSTRUCT ps;
        BeginPaint(hwnd, &ps);
        EndPaint(hwnd, &ps);
        return 0;
    }
    case WM_SETFONT:
        w->font = reinterpret_cast<HFONT>(wParam);
        if (LOWORD(lParam)) InvalidateRect(hwnd, nullptr, TRUE);
        return 0;
    case WM_GETFONT: return reinterpret_cast<LRESULT>(w->font);
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORSCROLLBAR: {
        HDC dc = reinterpret_cast<HDC>(wParam);
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX: {
        HDC dc = reinterpret_cast<HDC>(wParam);
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        SetBkColor(dc, GetSysColor(COLOR_WINDOW));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
    }
    case WM_NCHITTEST: return 1;  // HTCLIENT
    case WM_CONTEXTMENU:
        // A child that does not show a menu of its own lets its parent.
        if (w->parent && (w->style & WS_CHILD)) return SendMessageA(w->parent->handle, msg, wParam, lParam);
        return 0;
    case WM_WINDOWPOSCHANGED: return 0;
    default: return 0;
    }
}
