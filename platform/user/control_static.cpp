// The static control: text, icons, bitmaps, rectangles, frames and etched
// lines, and owner-drawn statics.
#include "user_internal.h"

namespace user {
namespace {

struct StaticState : ControlState {
    HANDLE image = nullptr;
    UINT imageType = IMAGE_BITMAP;
};

void Paint(HWND hwnd, HDC dc)
{
    Window* w = FindQuiet(hwnd);
    auto* s = StateOf<StaticState>(hwnd);
    RECT r;
    GetClientRect(hwnd, &r);
    const DWORD style = w->style;
    const DWORD type = style & SS_TYPEMASK;
    switch (type) {
    case SS_OWNERDRAW: {
        DRAWITEMSTRUCT dis{ODT_STATIC, static_cast<UINT>(w->id), 0, ODA_DRAWENTIRE, 0, hwnd, dc, r, 0};
        SendMessageA(GetParent(hwnd), WM_DRAWITEM, static_cast<WPARAM>(w->id), reinterpret_cast<LPARAM>(&dis));
        return;
    }
    case SS_BLACKRECT: FillRect(dc, &r, GetSysColorBrush(COLOR_3DDKSHADOW)); return;
    case SS_GRAYRECT: FillRect(dc, &r, GetSysColorBrush(COLOR_BTNSHADOW)); return;
    case SS_WHITERECT: FillRect(dc, &r, GetSysColorBrush(COLOR_BTNHIGHLIGHT)); return;
    case SS_BLACKFRAME: FrameRect(dc, &r, GetSysColorBrush(COLOR_3DDKSHADOW)); return;
    case SS_GRAYFRAME: FrameRect(dc, &r, GetSysColorBrush(COLOR_BTNSHADOW)); return;
    case SS_WHITEFRAME: FrameRect(dc, &r, GetSysColorBrush(COLOR_BTNHIGHLIGHT)); return;
    case SS_ETCHEDHORZ: DrawEdge(dc, &r, EDGE_ETCHED, BF_TOP); return;
    case SS_ETCHEDVERT: DrawEdge(dc, &r, EDGE_ETCHED, BF_LEFT); return;
    case SS_ETCHEDFRAME: DrawEdge(dc, &r, EDGE_ETCHED, BF_RECT); return;
    default: break;
    }
    HBRUSH brush = ControlColors(hwnd, dc, WM_CTLCOLORSTATIC);
    if (brush) FillRect(dc, &r, brush);
    if (style & SS_SUNKEN) DrawEdge(dc, &r, BDR_SUNKENOUTER, BF_RECT | BF_ADJUST);
    if (type == SS_ICON) {
        if (s->image) DrawIcon(dc, r.left, r.top, static_cast<HICON>(s->image));
        return;
    }
    if (type == SS_BITMAP) {
        if (!s->image) return;
        BITMAP bm{};
        GetObjectA(static_cast<HGDIOBJ>(s->image), sizeof bm, &bm);
        HDC mem = CreateCompatibleDC(dc);
        HGDIOBJ old = SelectObject(mem, static_cast<HGDIOBJ>(s->image));
        int x = r.left, y = r.top;
        if (style & SS_CENTERIMAGE) {
            x = (r.left + r.right - bm.bmWidth) / 2;
            y = (r.top + r.bottom - bm.bmHeight) / 2;
        }
        BitBlt(dc, x, y, bm.bmWidth, bm.bmHeight, mem, 0, 0, SRCCOPY);
        SelectObject(mem, old);
        DeleteDC(mem);
        return;
    }
    SetBkMode(dc, TRANSPARENT);
    if (!IsWindowEnabled(hwnd)) SetTextColor(dc, GetSysColor(COLOR_GRAYTEXT));
    UINT format = (style & SS_NOPREFIX) ? UINT(DT_NOPREFIX) : 0u;
    if (type == SS_CENTER) format |= DT_CENTER | DT_WORDBREAK;
    else if (type == SS_RIGHT) format |= DT_RIGHT | DT_WORDBREAK;
    else if (type == SS_LEFT) format |= DT_WORDBREAK;
    else format |= DT_SINGLELINE;
    if ((style & SS_CENTERIMAGE) && type <= SS_RIGHT) format = (format & ~DT_WORDBREAK) | DT_SINGLELINE | DT_VCENTER;
    DrawTextA(dc, w->text.c_str(), -1, &r, format | DT_EXPANDTABS);
}

LRESULT CALLBACK StaticProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto* s = StateOf<StaticState>(hwnd);
    if (!s) return 0;
    switch (msg) {
    case WM_CREATE: {
        // An icon static names its icon in the template's text.
        auto* cs = reinterpret_cast<CREATESTRUCTA*>(lParam);
        if ((static_cast<DWORD>(cs->style) & SS_TYPEMASK) == SS_ICON && cs->lpszName && IS_INTRESOURCE(cs->lpszName)) {
            s->image = LoadIconA(cs->hInstance, cs->lpszName);
            s->imageType = IMAGE_ICON;
        }
        // A bitmap static names its bitmap so too.
        if ((static_cast<DWORD>(cs->style) & SS_TYPEMASK) == SS_BITMAP && cs->lpszName && IS_INTRESOURCE(cs->lpszName)) {
            s->image = LoadBitmapA(cs->hInstance, cs->lpszName);
            s->imageType = IMAGE_BITMAP;
        }
        return 0;
    }
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        Paint(hwnd, dc);
        EndPaint(hwnd, &ps);
        return 0;
    }
    case WM_ERASEBKGND: return 1;
    case WM_GETDLGCODE: return DLGC_STATIC;
    case WM_NCHITTEST: return (GetWindowLongA(hwnd, GWL_STYLE) & SS_NOTIFY) ? 1 : -1;  // HTTRANSPARENT
    case STM_SETICON:
    case STM_SETIMAGE: {
        HANDLE old = s->image;
        s->image = reinterpret_cast<HANDLE>(msg == STM_SETICON ? wParam : static_cast<WPARAM>(lParam));
        s->imageType = msg == STM_SETICON ? IMAGE_ICON : static_cast<UINT>(wParam);
        InvalidateRect(hwnd, nullptr, TRUE);
        return reinterpret_cast<LRESULT>(old);
    }
    case STM_GETICON:
    case STM_GETIMAGE: return reinterpret_cast<LRESULT>(s->image);
    case WM_LBUTTONDOWN:
        if (GetWindowLongA(hwnd, GWL_STYLE) & SS_NOTIFY) NotifyParent(hwnd, STN_CLICKED);
        return 0;
    case WM_LBUTTONDBLCLK:
        if (GetWindowLongA(hwnd, GWL_STYLE) & SS_NOTIFY) NotifyParent(hwnd, STN_DBLCLK);
        return 0;
    case WM_SETTEXT:
    case WM_ENABLE: {
        LRESULT r = DefWindowProcA(hwnd, msg, wParam, lParam);
        InvalidateRect(hwnd, nullptr, TRUE);
        return r;
    }
    default: return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
}

}  // namespace

void RegisterStaticClass() { RegisterSystemClass("Static", StaticProc, CS_DBLCLKS, 0, nullptr); }

}  // namespace user
