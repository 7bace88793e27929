// The button control: push buttons, check boxes, radio buttons, group
// boxes and owner-drawn buttons, with their check state and BN_CLICKED.
#include <strings.h>

#include "user_internal.h"

namespace user {
namespace {

struct ButtonState : ControlState {
    UINT check = BST_UNCHECKED;
    bool pushed = false;
    bool tracking = false;
    HANDLE image = nullptr;
};

DWORD TypeOf(HWND hwnd) { return static_cast<DWORD>(GetWindowLongA(hwnd, GWL_STYLE)) & BS_TYPEMASK; }

bool IsRadio(DWORD type) { return type == BS_RADIOBUTTON || type == BS_AUTORADIOBUTTON; }
bool IsCheck(DWORD type) { return type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_3STATE || type == BS_AUTO3STATE; }

void Redraw(HWND hwnd) { InvalidateRect(hwnd, nullptr, TRUE); }

void Click(HWND hwnd)
{
    auto* s = StateOf<ButtonState>(hwnd);
    const DWORD type = TypeOf(hwnd);
    if (type == BS_AUTOCHECKBOX) {
        SendMessageA(hwnd, BM_SETCHECK, s->check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED, 0);
    } else if (type == BS_AUTO3STATE) {
        SendMessageA(hwnd, BM_SETCHECK, (s->check + 1) % 3, 0);
    } else if (type == BS_AUTORADIOBUTTON) {
        // Checking one radio button of a group unchecks the others.
        HWND parent = GetParent(hwnd);
        SendMessageA(hwnd, BM_SETCHECK, BST_CHECKED, 0);
        for (HWND other = GetNextDlgGroupItem(parent, hwnd, FALSE); other && other != hwnd;
             other = GetNextDlgGroupItem(parent, other, FALSE)) {
            if (TypeOf(other) == BS_AUTORADIOBUTTON) SendMessageA(other, BM_SETCHECK, BST_UNCHECKED, 0);
        }
    }
    NotifyParent(hwnd, BN_CLICKED);
}

void Paint(HWND hwnd, HDC dc)
{
    Window* w = FindQuiet(hwnd);
    auto* s = StateOf<ButtonState>(hwnd);
    RECT r;
    GetClientRect(hwnd, &r);
    const DWORD style = static_cast<DWORD>(w->style);
    const DWORD type = style & BS_TYPEMASK;
    const bool enabled = IsWindowEnabled(hwnd);
    const bool focused = GetFocus() == hwnd;
    if (type == BS_OWNERDRAW) {
        DRAWITEMSTRUCT dis{ODT_BUTTON, static_cast<UINT>(w->id), 0, ODA_DRAWENTIRE,
                           (s->pushed ? ODS_SELECTED : 0u) | (focused ? ODS_FOCUS : 0u) | (enabled ? 0u : ODS_DISABLED),
                           hwnd, dc, r, 0};
        SendMessageA(GetParent(hwnd), WM_DRAWITEM, static_cast<WPARAM>(w->id), reinterpret_cast<LPARAM>(&dis));
        return;
    }
    const bool push = type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON;
    HBRUSH brush = ControlColors(hwnd, dc, push ? WM_CTLCOLORBTN : WM_CTLCOLORSTATIC);
    // A group box is drawn round other controls: it paints its frame and
    // title only, never over what it holds.
    if (type != BS_GROUPBOX) FillRect(dc, &r, brush);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, enabled ? GetTextColor(dc) : GetSysColor(COLOR_GRAYTEXT));
    const std::string text = w->text;
    if (push) {
        if (push && (type == BS_DEFPUSHBUTTON)) {
            FrameRect(dc, &r, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
            InflateRect(&r, -1, -1);
        }
        RECT face = r;
        if (s->pushed || s->check == BST_CHECKED) {
            FrameRect(dc, &face, GetSysColorBrush(COLOR_BTNSHADOW));
        } else {
            DrawEdge(dc, &face, EDGE_RAISED, BF_RECT);
        }
        RECT textRect = r;
        if (s->pushed) OffsetRect(&textRect, 1, 1);
        if (w->style & BS_BITMAP && s->image) {
            // A bitmap button draws its picture centred.
            BITMAP bm{};
            GetObjectA(static_cast<HGDIOBJ>(s->image), sizeof bm, &bm);
            HDC mem = CreateCompatibleDC(dc);
            HGDIOBJ old = SelectObject(mem, static_cast<HGDIOBJ>(s->image));
            BitBlt(dc, (r.left + r.right - bm.bmWidth) / 2, (r.top + r.bottom - bm.bmHeight) / 2, bm.bmWidth,
                   bm.bmHeight, mem, 0, 0, SRCCOPY);
            SelectObject(mem, old);
            DeleteDC(mem);
        } else {
            DrawTextA(dc, text.c_str(), -1, &textRect, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        }
        if (focused) {
            RECT f = r;
            InflateRect(&f, -3, -3);
            DrawFocusRect(dc, &f);
        }
        return;
    }
    if (type == BS_GROUPBOX) {
        TEXTMETRICA tm;
        GetTextMetricsA(dc, &tm);
        RECT frame{r.left, r.top + tm.tmHeight / 2, r.right, r.bottom};
        DrawEdge(dc, &frame, EDGE_ETCHED, BF_RECT);
        if (!text.empty()) {
            RECT label{r.left + 8, r.top, r.right - 8, r.top + tm.tmHeight};
            RECT measure = label;
            DrawTextA(dc, text.c_str(), -1, &measure, DT_SINGLELINE | DT_CALCRECT);
            measure.left -= 2;
            measure.right += 2;
            FillRect(dc, &measure, brush);
            DrawTextA(dc, text.c_str(), -1, &label, DT_SINGLELINE);
        }
        return;
    }
    // Check boxes and radio buttons: a 13-pixel mark, the text beside it.
    const int box = 13;
    const bool leftText = (style & BS_LEFTTEXT) != 0;
    const int top = (r.top + r.bottom - box) / 2;
    RECT mark = leftText ? RECT{r.right - box, top, r.right, top + box} : RECT{r.left, top, r.left + box, top + box};
    HBRUSH field = GetSysColorBrush(enabled ? COLOR_WINDOW : COLOR_BTNFACE);
    if (IsRadio(type)) {
        HGDIOBJ oldBrush = SelectObject(dc, field);
        HPEN pen = CreatePen(PS_SOLID, 1, GetSysColor(COLOR_BTNSHADOW));
        HGDIOBJ oldPen = SelectObject(dc, pen);
        Ellipse(dc, mark.left, mark.top, mark.right, mark.bottom);
        if (s->check == BST_CHECKED) {
            SelectObject(dc, GetStockObject(BLACK_BRUSH));
            SelectObject(dc, GetStockObject(BLACK_PEN));
            Ellipse(dc, mark.left + 4, mark.top + 4, mark.right - 4, mark.bottom - 4);
        }
        SelectObject(dc, oldPen);
        SelectObject(dc, oldBrush);
        DeleteObject(pen);
    } else {
        RECT inner = mark;
        DrawEdge(dc, &inner, EDGE_SUNKEN, BF_RECT | BF_ADJUST);
        FillRect(dc, &inner, s->check == BST_INDETERMINATE ? GetSysColorBrush(COLOR_BTNFACE) : field);
        if (s->check != BST_UNCHECKED) {
            // The tick: two strokes three pixels thick.
            const COLORREF c = s->check == BST_INDETERMINATE ? GetSysColor(COLOR_BTNSHADOW) : 0;
            for (int i = 0; i < 3; ++i) {
                const int x = inner.left + 2, y = inner.top + 4 + i;
                for (int k = 0; k < 3; ++k) SetPixel(dc, x + k, y + k, c);
                for (int k = 0; k < 5; ++k) SetPixel(dc, x + 2 + k, y + 2 - k, c);
            }
        }
    }
    RECT textRect = leftText ? RECT{r.left, r.top, mark.left - 4, r.bottom} : RECT{mark.right + 4, r.top, r.right, r.bottom};
    UINT format = (style & BS_MULTILINE) ? DT_WORDBREAK : DT_SINGLELINE | DT_VCENTER;
    DrawTextA(dc, text.c_str(), -1, &textRect, format);
    if (focused) {
        RECT f = textRect;
        DrawTextA(dc, text.c_str(), -1, &f, DT_SINGLELINE | DT_CALCRECT);
        OffsetRect(&f, 0, (textRect.bottom - textRect.top - (f.bottom - f.top)) / 2);
        InflateRect(&f, 1, 1);
        DrawFocusRect(dc, &f);
    }
}

LRESULT CALLBACK ButtonProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto* s = StateOf<ButtonState>(hwnd);
    if (!s) return 0;
    const DWORD type = TypeOf(hwnd);
    switch (msg) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        Paint(hwnd, dc);
        EndPaint(hwnd, &ps);
        return 0;
    }
    case WM_ERASEBKGND: return 1;
    case WM_GETDLGCODE:
        if (type == BS_GROUPBOX) return DLGC_STATIC;
        if (IsRadio(type)) return DLGC_BUTTON | DLGC_RADIOBUTTON;
        if (type == BS_DEFPUSHBUTTON) return DLGC_BUTTON | DLGC_DEFPUSHBUTTON;
        if (type == BS_PUSHBUTTON) return DLGC_BUTTON | DLGC_UNDEFPUSHBUTTON;
        return DLGC_BUTTON;
    case BM_GETCHECK: return IsCheck(type) || IsRadio(type) ? s->check : 0;
    case BM_SETCHECK:
        if ((IsCheck(type) || IsRadio(type)) && s->check != wParam) {
            s->check = static_cast<UINT>(wParam) > BST_INDETERMINATE ? BST_CHECKED : static_cast<UINT>(wParam);
            if (s->check == BST_INDETERMINATE && type != BS_3STATE && type != BS_AUTO3STATE) s->check = BST_CHECKED;
            Redraw(hwnd);
        }
        // A checked radio button is the group's tab stop.
        if (type == BS_AUTORADIOBUTTON) {
            LONG style = GetWindowLongA(hwnd, GWL_STYLE);
            SetWindowLongA(hwnd, GWL_STYLE, s->check ? (style | WS_TABSTOP) : (style & ~WS_TABSTOP));
        }
        return 0;
    case BM_GETSTATE: return s->check | (s->pushed ? UINT(BST_PUSHED) : 0u) | (GetFocus() == hwnd ? UINT(BST_FOCUS) : 0u);
    case BM_SETSTATE:
        s->pushed = wParam != 0;
        Redraw(hwnd);
        return 0;
    case BM_SETSTYLE: {
        LONG style = GetWindowLongA(hwnd, GWL_STYLE);
        SetWindowLongA(hwnd, GWL_STYLE, static_cast<LONG>((style & 0xFFFF0000) | (wParam & 0xFFFF)));
        if (LOWORD(lParam)) Redraw(hwnd);
        return 0;
    }
    case BM_SETIMAGE: {
        HANDLE old = s->image;
        s->image = reinterpret_cast<HANDLE>(lParam);
        Redraw(hwnd);
        return reinterpret_cast<LRESULT>(old);
    }
    case BM_GETIMAGE: return reinterpret_cast<LRESULT>(s->image);
    case BM_CLICK:
        if (!IsWindowEnabled(hwnd)) return 0;
        SendMessageA(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, 0);
        SendMessageA(hwnd, WM_LBUTTONUP, 0, 0);
        return 0;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
        if (type == BS_GROUPBOX) return 0;
        s->tracking = true;
        s->pushed = true;
        SetCapture(hwnd);
        if (GetFocus() != hwnd) SetFocus(hwnd);
        Redraw(hwnd);
        return 0;
    case WM_LBUTTONUP: {
        if (!s->tracking) return 0;
        s->tracking = false;
        s->pushed = false;
        ReleaseCapture();
        RECT r;
        GetClientRect(hwnd, &r);
        Redraw(hwnd);
        if (PtInRect(&r, POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)})) Click(hwnd);
        return 0;
    }
    case WM_KEYDOWN:
        if (wParam == VK_SPACE && type != BS_GROUPBOX) Click(hwnd);
        return 0;
    case WM_CHAR: return 0;
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
        Redraw(hwnd);
        if (GetWindowLongA(hwnd, GWL_STYLE) & BS_NOTIFY) NotifyParent(hwnd, msg == WM_SETFOCUS ? BN_SETFOCUS : BN_KILLFOCUS);
        return 0;
    case WM_SETTEXT:
    case WM_ENABLE: {
        LRESULT r = DefWindowProcA(hwnd, msg, wParam, lParam);
        Redraw(hwnd);
        return r;
    }
    default: return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
}

}  // namespace

void RegisterButtonClass() { RegisterSystemClass("Button", ButtonProc, CS_DBLCLKS, 0, nullptr); }

}  // namespace user
