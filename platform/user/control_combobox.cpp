// The combo box, shown closed: its list keeps strings and data, the field
// shows the selection (or, with an edit field, what was typed). Choosing
// an item from the keyboard or a script says CBN_SELCHANGE.
#include <algorithm>
#include <cstring>

#include "item_list.h"
#include "user_internal.h"

namespace user {
namespace {

struct ComboState : ControlState {
    ItemList items;
    int current = -1;
    bool dropped = false;
};

DWORD StyleOf(HWND hwnd) { return static_cast<DWORD>(GetWindowLongA(hwnd, GWL_STYLE)); }
bool HasEdit(DWORD style) { return (style & 3) == CBS_DROPDOWN || (style & 3) == CBS_SIMPLE; }
bool OwnerDraw(DWORD style) { return (style & CBS_OWNERDRAWFIXED) != 0; }

void ShowCurrent(HWND hwnd, ComboState* s)
{
    // The field's text follows the selection.
    Window* w = FindQuiet(hwnd);
    if (w) {
        std::lock_guard guard(Lock());
        w->text = s->items.Valid(s->current) ? s->items.At(s->current).text : std::string();
    }
    InvalidateRect(hwnd, nullptr, TRUE);
}

void Paint(HWND hwnd, HDC dc)
{
    Window* w = FindQuiet(hwnd);
    auto* s = StateOf<ComboState>(hwnd);
    const DWORD style = w->style;
    RECT r;
    GetClientRect(hwnd, &r);
    FillRect(dc, &r, GetSysColorBrush(COLOR_BTNFACE));
    RECT field = r;
    DrawEdge(dc, &field, EDGE_SUNKEN, BF_RECT | BF_ADJUST);
    HBRUSH brush = ControlColors(hwnd, dc, HasEdit(style) ? WM_CTLCOLOREDIT : WM_CTLCOLORLISTBOX);
    FillRect(dc, &field, brush);
    // The drop-down button at the right.
    RECT button{field.right - 16, field.top, field.right, field.bottom};
    FillRect(dc, &button, GetSysColorBrush(COLOR_BTNFACE));
    DrawEdge(dc, &button, EDGE_RAISED, BF_RECT);
    const int cx = (button.left + button.right) / 2, cy = (button.top + button.bottom) / 2;
    const POINT arrow[3] = {{cx - 4, cy - 2}, {cx + 4, cy - 2}, {cx, cy + 2}};
    HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(BLACK_BRUSH));
    HGDIOBJ oldPen = SelectObject(dc, GetStockObject(BLACK_PEN));
    Polygon(dc, arrow, 3);
    SelectObject(dc, oldPen);
    SelectObject(dc, oldBrush);
    RECT text{field.left + 2, field.top, button.left - 1, field.bottom};
    const bool focused = GetFocus() == hwnd;
    if (OwnerDraw(style) && s->items.Valid(s->current)) {
        DRAWITEMSTRUCT dis{ODT_COMBOBOX, static_cast<UINT>(w->id), static_cast<UINT>(s->current), ODA_DRAWENTIRE,
                           focused ? ODS_SELECTED | ODS_FOCUS : 0u, hwnd, dc, text, s->items.At(s->current).data};
        SendMessageA(GetParent(hwnd), WM_DRAWITEM, dis.CtlID, reinterpret_cast<LPARAM>(&dis));
        return;
    }
    if (focused && !HasEdit(style)) {
        FillRect(dc, &text, GetSysColorBrush(COLOR_HIGHLIGHT));
        SetTextColor(dc, GetSysColor(COLOR_HIGHLIGHTTEXT));
    }
    if (!IsWindowEnabled(hwnd)) SetTextColor(dc, GetSysColor(COLOR_GRAYTEXT));
    SetBkMode(dc, TRANSPARENT);
    DrawTextA(dc, w->text.c_str(), -1, &text, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
}

void Choose(HWND hwnd, ComboState* s, int index)
{
    if (!s->items.Valid(index) || index == s->current) return;
    s->current = index;
    ShowCurrent(hwnd, s);
    NotifyParent(hwnd, CBN_SELCHANGE);
    NotifyParent(hwnd, CBN_SELENDOK);
}

LRESULT CALLBACK ComboProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto* s = StateOf<ComboState>(hwnd);
    if (!s) return 0;
    const DWORD style = StyleOf(hwnd);
    const int index = static_cast<int>(wParam);
    switch (msg) {
    case WM_CREATE:
        // The height a template gives a drop-down combo box includes its
        // list; the window itself is as tall as its field.
        if ((style & 3) != CBS_SIMPLE) {
            RECT r;
            GetWindowRect(hwnd, &r);
            SetWindowPos(hwnd, nullptr, 0, 0, r.right - r.left, 21, SWP_NOMOVE | SWP_NOZORDER | SWP_NOREDRAW);
        }
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        Paint(hwnd, dc);
        EndPaint(hwnd, &ps);
        return 0;
    }
    case WM_ERASEBKGND: return 1;
    case WM_GETDLGCODE: return DLGC_WANTARROWS | DLGC_WANTCHARS;
    case CB_ADDSTRING:
    case CB_INSERTSTRING: {
        const bool strings = !OwnerDraw(style) || (style & CBS_HASSTRINGS);
        const std::string text = strings && lParam ? reinterpret_cast<LPCSTR>(lParam) : "";
        const int at = s->items.Insert(msg == CB_ADDSTRING ? -1 : index, text, msg == CB_ADDSTRING && (style & CBS_SORT));
        if (at < 0) return CB_ERR;
        if (!strings) s->items.At(at).data = static_cast<ULONG_PTR>(lParam);
        if (s->current >= at) ++s->current;
        return at;
    }
    case CB_DELETESTRING:
        if (!s->items.Remove(index)) return CB_ERR;
        if (s->current == index) {
            s->current = -1;
            ShowCurrent(hwnd, s);
        } else if (s->current > index) {
            --s->current;
        }
        return s->items.Count();
    case CB_RESETCONTENT:
        s->items.Clear();
        s->current = -1;
        ShowCurrent(hwnd, s);
        return CB_OKAY;
    case CB_GETCOUNT: return s->items.Count();
    case CB_GETCURSEL: return s->current;
    case CB_SETCURSEL:
        s->current = s->items.Valid(index) ? index : -1;
        ShowCurrent(hwnd, s);
        return s->current == -1 ? CB_ERR : s->current;
    case CB_GETLBTEXT:
        if (!s->items.Valid(index) || !lParam) return CB_ERR;
        std::strcpy(reinterpret_cast<char*>(lParam), s->items.At(index).text.c_str());
        return static_cast<LRESULT>(s->items.At(index).text.size());
    case CB_GETLBTEXTLEN: return s->items.Valid(index) ? static_cast<LRESULT>(s->items.At(index).text.size()) : CB_ERR;
    case CB_FINDSTRING:
    case CB_FINDSTRINGEXACT:
    case CB_SELECTSTRING: {
        if (!lParam) return CB_ERR;
        const int found = s->items.Find(index, reinterpret_cast<LPCSTR>(lParam), msg == CB_FINDSTRINGEXACT);
        if (found >= 0 && msg == CB_SELECTSTRING) {
            s->current = found;
            ShowCurrent(hwnd, s);
        }
        return found;
    }
    case CB_GETITEMDATA: return s->items.Valid(index) ? static_cast<LRESULT>(s->items.At(index).data) : CB_ERR;
    case CB_SETITEMDATA:
        if (!s->items.Valid(index)) return CB_ERR;
        s->items.At(index).data = static_cast<ULONG_PTR>(lParam);
        return CB_OKAY;
    case CB_SHOWDROPDOWN:
        if (s->dropped != (wParam != 0)) {
            s->dropped = wParam != 0;
            NotifyParent(hwnd, s->dropped ? CBN_DROPDOWN : CBN_CLOSEUP);
        }
        return TRUE;
    case CB_GETDROPPEDSTATE: return s->dropped;
    case CB_LIMITTEXT:
    case CB_SETEDITSEL:
    case CB_SETITEMHEIGHT: return HasEdit(style) || msg == CB_SETITEMHEIGHT ? TRUE : CB_ERR;
    case CB_GETITEMHEIGHT: return 13;
    case WM_CHAR: {
        if (!HasEdit(style)) {
            // A list without a field jumps to the next item starting with the key.
            const int found = s->items.Find(s->current, std::string(1, static_cast<char>(wParam)), false);
            if (found >= 0) Choose(hwnd, s, found);
            return 0;
        }
        Window* w = FindQuiet(hwnd);
        {
            std::lock_guard guard(Lock());
            if (wParam == '\b') {
                if (!w->text.empty()) w->text.pop_back();
            } else if (wParam >= 0x20) {
                w->text += static_cast<char>(wParam);
            }
        }
        s->current = s->items.Find(-1, w->text, true);
        InvalidateRect(hwnd, nullptr, TRUE);
        NotifyParent(hwnd, CBN_EDITUPDATE);
        NotifyParent(hwnd, CBN_EDITCHANGE);
        return 0;
    }
    case WM_KEYDOWN:
        if (wParam == VK_DOWN) Choose(hwnd, s, s->current + 1);
        else if (wParam == VK_UP) Choose(hwnd, s, std::max(0, s->current - 1));
        else if (wParam == VK_HOME) Choose(hwnd, s, 0);
        else if (wParam == VK_END) Choose(hwnd, s, s->items.Count() - 1);
        return 0;
    case WM_LBUTTONDOWN:
        SetFocus(hwnd);
        return 0;
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
        InvalidateRect(hwnd, nullptr, TRUE);
        NotifyParent(hwnd, msg == WM_SETFOCUS ? CBN_SETFOCUS : CBN_KILLFOCUS);
        return 0;
    case WM_SETTEXT: {
        LRESULT r = DefWindowProcA(hwnd, msg, wParam, lParam);
        if (!HasEdit(style)) {
            // A list without a field shows only its items.
            const int found = lParam ? s->items.Find(-1, reinterpret_cast<LPCSTR>(lParam), true) : -1;
            s->current = found;
            ShowCurrent(hwnd, s);
            return found >= 0 ? TRUE : CB_ERR;
        }
        InvalidateRect(hwnd, nullptr, TRUE);
        return r;
    }
    default: return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
}

}  // namespace

void RegisterComboBoxClass() { RegisterSystemClass("ComboBox", ComboProc, CS_DBLCLKS, 0, nullptr); }

}  // namespace user
