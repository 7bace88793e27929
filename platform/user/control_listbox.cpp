// The list box: strings with item data, single or multiple selection,
// owner-drawn items (WM_MEASUREITEM, WM_DRAWITEM), tab stops, and
// LBN_SELCHANGE and LBN_DBLCLK for a list box that notifies.
#include <algorithm>
#include <cstring>

#include "item_list.h"
#include "user_internal.h"

namespace user {
namespace {

struct ListBoxState : ControlState {
    ItemList items;
    int current = -1;  // the selection of a single-selection list; the caret otherwise
    int top = 0;
    int itemHeight = 0;
    std::vector<int> tabs;
};

DWORD StyleOf(HWND hwnd) { return static_cast<DWORD>(GetWindowLongA(hwnd, GWL_STYLE)); }
bool Multi(DWORD style) { return (style & (LBS_MULTIPLESEL | LBS_EXTENDEDSEL)) != 0; }
bool OwnerDraw(DWORD style) { return (style & (LBS_OWNERDRAWFIXED | LBS_OWNERDRAWVARIABLE)) != 0; }
bool HasStrings(DWORD style) { return !OwnerDraw(style) || (style & LBS_HASSTRINGS); }

int ItemHeight(HWND hwnd, ListBoxState* s)
{
    if (s->itemHeight) return s->itemHeight;
    HDC dc = GetDC(hwnd);
    TEXTMETRICA tm{};
    GetTextMetricsA(dc, &tm);
    ReleaseDC(hwnd, dc);
    s->itemHeight = tm.tmHeight > 0 ? tm.tmHeight : 13;
    if (OwnerDraw(StyleOf(hwnd))) {
        // The owner says how tall its items are, once for a fixed list.
        MEASUREITEMSTRUCT mis{ODT_LISTBOX, static_cast<UINT>(GetDlgCtrlID(hwnd)), 0, 0, static_cast<UINT>(s->itemHeight), 0};
        SendMessageA(GetParent(hwnd), WM_MEASUREITEM, mis.CtlID, reinterpret_cast<LPARAM>(&mis));
        if (mis.itemHeight > 0) s->itemHeight = static_cast<int>(mis.itemHeight);
    }
    return s->itemHeight;
}

bool IsSelected(ListBoxState* s, DWORD style, int i)
{
    return Multi(style) ? s->items.At(i).selected : i == s->current;
}

void Paint(HWND hwnd, HDC dc)
{
    auto* s = StateOf<ListBoxState>(hwnd);
    const DWORD style = StyleOf(hwnd);
    RECT r;
    GetClientRect(hwnd, &r);
    HBRUSH brush = ControlColors(hwnd, dc, WM_CTLCOLORLISTBOX);
    FillRect(dc, &r, brush);
    const COLORREF text = GetTextColor(dc);
    const int h = ItemHeight(hwnd, s);
    if (style & WS_VSCROLL) {
        SCROLLINFO si{sizeof si, SIF_RANGE | SIF_PAGE | SIF_POS, 0, std::max(0, s->items.Count() - 1),
                      static_cast<UINT>(std::max<LONG>(1, r.bottom / h)), s->top, 0};
        SetScrollInfo(hwnd, SB_VERT, &si, TRUE);
    }
    const bool focused = GetFocus() == hwnd;
    for (int i = s->top, y = 0; i < s->items.Count() && y < r.bottom; ++i, y += h) {
        RECT item{0, y, r.right, y + h};
        const bool sel = IsSelected(s, style, i);
        if (OwnerDraw(style)) {
            DRAWITEMSTRUCT dis{ODT_LISTBOX, static_cast<UINT>(GetDlgCtrlID(hwnd)), static_cast<UINT>(i), ODA_DRAWENTIRE,
                               (sel ? ODS_SELECTED : 0u) | (focused && i == s->current ? ODS_FOCUS : 0u), hwnd, dc, item,
                               s->items.At(i).data};
            SendMessageA(GetParent(hwnd), WM_DRAWITEM, dis.CtlID, reinterpret_cast<LPARAM>(&dis));
            continue;
        }
        if (sel) FillRect(dc, &item, GetSysColorBrush(COLOR_HIGHLIGHT));
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, sel ? GetSysColor(COLOR_HIGHLIGHTTEXT) : text);
        const std::string& t = s->items.At(i).text;
        if (style & LBS_USETABSTOPS) {
            // Tab stops are in dialog units: a quarter of the base width.
            std::vector<int> px;
            for (int stop : s->tabs) px.push_back(stop * kBaseUnitX / 4);
            if (px.empty()) px.push_back(32 * kBaseUnitX / 4);
            TabbedTextOutA(dc, item.left + 2, item.top, t.c_str(), static_cast<int>(t.size()), static_cast<int>(px.size()),
                           px.data(), item.left + 2);
        } else {
            TextOutA(dc, item.left + 2, item.top, t.c_str(), static_cast<int>(t.size()));
        }
        if (focused && i == s->current) DrawFocusRect(dc, &item);
    }
}

void Select(HWND hwnd, ListBoxState* s, int index, bool notify)
{
    const DWORD style = StyleOf(hwnd);
    if (Multi(style)) {
        if (s->items.Valid(index)) s->items.At(index).selected = !s->items.At(index).selected;
        s->current = index;
    } else {
        if (s->current == index) return;
        s->current = index;
    }
    InvalidateRect(hwnd, nullptr, TRUE);
    if (notify && (style & LBS_NOTIFY)) NotifyParent(hwnd, LBN_SELCHANGE);
}

LRESULT Text(ListBoxState* s, DWORD style, int index, char* out)
{
    if (!s->items.Valid(index)) return LB_ERR;
    if (!HasStrings(style)) {
        if (out) std::memcpy(out, &s->items.At(index).data, sizeof(ULONG_PTR));
        return sizeof(ULONG_PTR);
    }
    const std::string& t = s->items.At(index).text;
    if (out) std::memcpy(out, t.c_str(), t.size() + 1);
    return static_cast<LRESULT>(t.size());
}

LRESULT CALLBACK ListBoxProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto* s = StateOf<ListBoxState>(hwnd);
    if (!s) return 0;
    const DWORD style = StyleOf(hwnd);
    const int index = static_cast<int>(wParam);
    switch (msg) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        Paint(hwnd, dc);
        EndPaint(hwnd, &ps);
        return 0;
    }
    case WM_ERASEBKGND: return 1;
    case WM_GETDLGCODE: return DLGC_WANTARROWS | DLGC_WANTCHARS;
    case LB_ADDSTRING:
    case LB_INSERTSTRING: {
        const std::string text = HasStrings(style) ? (lParam ? reinterpret_cast<LPCSTR>(lParam) : "") : "";
        const int at = s->items.Insert(msg == LB_ADDSTRING ? -1 : index, text, msg == LB_ADDSTRING && (style & LBS_SORT) && HasStrings(style));
        if (at < 0) return LB_ERR;
        if (!HasStrings(style)) s->items.At(at).data = static_cast<ULONG_PTR>(lParam);
        if (!Multi(style) && s->current >= at) ++s->current;
        InvalidateRect(hwnd, nullptr, TRUE);
        return at;
    }
    case LB_DELETESTRING:
        if (!s->items.Remove(index)) return LB_ERR;
        if (s->current == index) s->current = -1;
        else if (s->current > index) --s->current;
        InvalidateRect(hwnd, nullptr, TRUE);
        return s->items.Count();
    case LB_RESETCONTENT:
        s->items.Clear();
        s->current = -1;
        s->top = 0;
        InvalidateRect(hwnd, nullptr, TRUE);
        return 0;
    case LB_GETCOUNT: return s->items.Count();
    case LB_GETTEXT: return Text(s, style, index, reinterpret_cast<char*>(lParam));
    case LB_GETTEXTLEN: return Text(s, style, index, nullptr);
    case LB_SETCURSEL:
        if (Multi(style)) return LB_ERR;
        if (index != -1 && !s->items.Valid(index)) {
            s->current = -1;
            InvalidateRect(hwnd, nullptr, TRUE);
            return LB_ERR;
        }
        s->current = index;
        InvalidateRect(hwnd, nullptr, TRUE);
        return index == -1 ? LB_ERR : index;
    case LB_GETCURSEL: return s->current;
    case LB_SETSEL: {
        if (!Multi(style)) return LB_ERR;
        const int i = static_cast<int>(lParam);
        if (i == -1) {
            for (int k = 0; k < s->items.Count(); ++k) s->items.At(k).selected = wParam != 0;
        } else {
            if (!s->items.Valid(i)) return LB_ERR;
            s->items.At(i).selected = wParam != 0;
        }
        InvalidateRect(hwnd, nullptr, TRUE);
        return 0;
    }
    case LB_GETSEL: return s->items.Valid(index) ? (IsSelected(s, style, index) ? 1 : 0) : LB_ERR;
    case LB_GETSELCOUNT: {
        if (!Multi(style)) return LB_ERR;
        int n = 0;
        for (int k = 0; k < s->items.Count(); ++k) n += s->items.At(k).selected;
        return n;
    }
    case LB_GETSELITEMS: {
        if (!Multi(style) || !lParam) return LB_ERR;
        int n = 0;
        for (int k = 0; k < s->items.Count() && n < index; ++k)
            if (s->items.At(k).selected) reinterpret_cast<int*>(lParam)[n++] = k;
        return n;
    }
    case LB_FINDSTRING:
    case LB_FINDSTRINGEXACT:
    case LB_SELECTSTRING: {
        if (!lParam) return LB_ERR;
        const int found = s->items.Find(index, reinterpret_cast<LPCSTR>(lParam), msg == LB_FINDSTRINGEXACT);
        if (found >= 0 && msg == LB_SELECTSTRING && !Multi(style)) {
            s->current = found;
            InvalidateRect(hwnd, nullptr, TRUE);
        }
        return found;
    }
    case LB_GETITEMDATA: return s->items.Valid(index) ? static_cast<LRESULT>(s->items.At(index).data) : LB_ERR;
    case LB_SETITEMDATA:
        if (!s->items.Valid(index)) return LB_ERR;
        s->items.At(index).data = static_cast<ULONG_PTR>(lParam);
        return TRUE;
    case LB_SETTABSTOPS:
        s->tabs.clear();
        if (wParam == 1 && lParam) s->tabs.push_back(*reinterpret_cast<const int*>(lParam));
        for (WPARAM k = 0; wParam > 1 && lParam && k < wParam; ++k) s->tabs.push_back(reinterpret_cast<const int*>(lParam)[k]);
        return (style & LBS_USETABSTOPS) ? TRUE : FALSE;
    case LB_GETTOPINDEX: return s->top;
    case LB_SETTOPINDEX:
        if (!s->items.Valid(index)) return LB_ERR;
        s->top = index;
        InvalidateRect(hwnd, nullptr, TRUE);
        return 0;
    case LB_SETITEMHEIGHT:
        if (LOWORD(lParam) == 0 || LOWORD(lParam) > 255) return LB_ERR;
        s->itemHeight = LOWORD(lParam);
        InvalidateRect(hwnd, nullptr, TRUE);
        return 0;
    case LB_GETITEMHEIGHT: return ItemHeight(hwnd, s);
    case LB_GETITEMRECT: {
        if (!s->items.Valid(index) || !lParam) return LB_ERR;
        RECT r;
        GetClientRect(hwnd, &r);
        const int h = ItemHeight(hwnd, s);
        *reinterpret_cast<RECT*>(lParam) = RECT{0, (index - s->top) * h, r.right, (index - s->top + 1) * h};
        return 0;
    }
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK: {
        SetFocus(hwnd);
        if (style & LBS_NOSEL) return 0;
        const int i = s->top + GET_Y_LPARAM(lParam) / std::max(1, ItemHeight(hwnd, s));
        if (!s->items.Valid(i)) return 0;
        if (msg == WM_LBUTTONDBLCLK) {
            if (style & LBS_NOTIFY) NotifyParent(hwnd, LBN_DBLCLK);
            return 0;
        }
        Select(hwnd, s, i, true);
        return 0;
    }
    case WM_KEYDOWN: {
        int i = s->current;
        switch (wParam) {
        case VK_UP: i = std::max(0, i - 1); break;
        case VK_DOWN: i = std::min(s->items.Count() - 1, i + 1); break;
        case VK_HOME: i = 0; break;
        case VK_END: i = s->items.Count() - 1; break;
        default: return 0;
        }
        if (s->items.Valid(i) && !Multi(style)) Select(hwnd, s, i, true);
        return 0;
    }
    case WM_VSCROLL: {
        const UINT code = LOWORD(wParam);
        int top = s->top;
        if (code == SB_LINEUP) --top;
        else if (code == SB_LINEDOWN) ++top;
        else if (code == SB_THUMBPOSITION || code == SB_THUMBTRACK) top = static_cast<short>(HIWORD(wParam));
        else if (code == SB_TOP) top = 0;
        else if (code == SB_BOTTOM) top = s->items.Count() - 1;
        s->top = std::clamp(top, 0, std::max(0, s->items.Count() - 1));
        InvalidateRect(hwnd, nullptr, TRUE);
        return 0;
    }
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
        InvalidateRect(hwnd, nullptr, TRUE);
        if (style & LBS_NOTIFY) NotifyParent(hwnd, msg == WM_SETFOCUS ? LBN_SETFOCUS : LBN_KILLFOCUS);
        return 0;
    default: return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
}

}  // namespace

void RegisterListBoxClass() { RegisterSystemClass("ListBox", ListBoxProc, CS_DBLCLKS, 0, nullptr); }

}  // namespace user
