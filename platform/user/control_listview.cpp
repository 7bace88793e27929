// The list view in report view, with its header control: columns, items
// with sub-item texts, states and data, single or multiple selection with
// LVN_ITEMCHANGING/LVN_ITEMCHANGED, full-row select, sorting by the
// caller's comparison, owner-drawn rows (WM_DRAWITEM) and owner data
// (texts asked for with LVN_GETDISPINFO). Other views lay items out as a
// report without its header.
#include <algorithm>
#include <cstring>
#include <strings.h>

#include "commctrl.h"
#include "user_internal.h"

namespace user {
namespace {

struct Column {
    std::string text;
    int width = 60;
    int format = LVCFMT_LEFT;
    int subItem = 0;
};

struct Item {
    std::vector<std::string> texts;  // per sub-item
    std::vector<bool> callback;       // LPSTR_TEXTCALLBACK per sub-item
    LPARAM param = 0;
    UINT state = 0;
    int image = -1;
};

struct ListViewState : ControlState {
    std::vector<Column> columns;
    std::vector<Item> items;
    int ownerCount = 0;  // LVS_OWNERDATA
    UINT ownerState = 0;
    std::vector<UINT> ownerStates;
    DWORD exStyle = 0;
    COLORREF background = RGB(255, 255, 255), text = RGB(0, 0, 0), textBackground = RGB(255, 255, 255);
    HWND header = nullptr;
    int top = 0;
    int rowHeight = 0;
    HIMAGELIST images[3] = {};
};

DWORD StyleOf(HWND hwnd) { return static_cast<DWORD>(GetWindowLongA(hwnd, GWL_STYLE)); }
bool OwnerData(HWND hwnd) { return (StyleOf(hwnd) & LVS_OWNERDATA) != 0; }
int Count(HWND hwnd, ListViewState* s) { return OwnerData(hwnd) ? s->ownerCount : static_cast<int>(s->items.size()); }
bool Valid(HWND hwnd, ListViewState* s, int i) { return i >= 0 && i < Count(hwnd, s); }

UINT& StateRef(HWND hwnd, ListViewState* s, int i)
{
    if (OwnerData(hwnd)) {
        if (static_cast<int>(s->ownerStates.size()) < s->ownerCount) s->ownerStates.resize(s->ownerCount, 0);
        return s->ownerStates[i];
    }
    return s->items[i].state;
}

int HeaderHeight(HWND hwnd, ListViewState* s)
{
    return s->header && (StyleOf(hwnd) & LVS_TYPEMASK) == LVS_REPORT && !(StyleOf(hwnd) & LVS_NOCOLUMNHEADER) ? 20 : 0;
}

int RowHeight(HWND hwnd, ListViewState* s)
{
    if (s->rowHeight) return s->rowHeight;
    HDC dc = GetDC(hwnd);
    TEXTMETRICA tm{};
    GetTextMetricsA(dc, &tm);
    ReleaseDC(hwnd, dc);
    s->rowHeight = std::max<int>(tm.tmHeight + 2, 14);
    if (StyleOf(hwnd) & LVS_OWNERDRAWFIXED) {
        MEASUREITEMSTRUCT mis{ODT_LISTVIEW, static_cast<UINT>(GetDlgCtrlID(hwnd)), 0, 0, static_cast<UINT>(s->rowHeight), 0};
        SendMessageA(GetParent(hwnd), WM_MEASUREITEM, mis.CtlID, reinterpret_cast<LPARAM>(&mis));
        if (mis.itemHeight > 0) s->rowHeight = static_cast<int>(mis.itemHeight);
    }
    return s->rowHeight;
}

// The text of an item's sub-item, asking the parent when the item keeps none.
std::string TextOf(HWND hwnd, ListViewState* s, int i, int sub)
{
    const bool ask = OwnerData(hwnd) ||
                     (sub < static_cast<int>(s->items[i].callback.size()) && s->items[i].callback[sub]);
    if (!ask) return sub < static_cast<int>(s->items[i].texts.size()) ? s->items[i].texts[sub] : std::string();
    char buffer[260] = {};
    NMLVDISPINFOA info{};
    info.hdr.code = LVN_GETDISPINFOA;
    info.item.mask = LVIF_TEXT;
    info.item.iItem = i;
    info.item.iSubItem = sub;
    info.item.pszText = buffer;
    info.item.cchTextMax = sizeof buffer;
    info.item.lParam = OwnerData(hwnd) ? 0 : s->items[i].param;
    SendNotify(hwnd, &info.hdr);
    return info.item.pszText && info.item.pszText != LPSTR_TEXTCALLBACKA ? std::string(info.item.pszText) : std::string();
}

// Changes an item's state with the notifications; false when the parent
// refused it.
bool ChangeState(HWND hwnd, ListViewState* s, int i, UINT state, UINT mask)
{
    UINT& ref = StateRef(hwnd, s, i);
    const UINT next = (ref & ~mask) | (state & mask);
    if (next == ref) return true;
    NMLISTVIEW nm{};
    nm.hdr.code = LVN_ITEMCHANGING;
    nm.iItem = i;
    nm.uNewState = next;
    nm.uOldState = ref;
    nm.uChanged = LVIF_STATE;
    nm.lParam = OwnerData(hwnd) ? 0 : s->items[i].param;
    if (!OwnerData(hwnd) && SendNotify(hwnd, &nm.hdr)) return false;
    StateRef(hwnd, s, i) = next;
    nm.hdr.code = LVN_ITEMCHANGED;
    SendNotify(hwnd, &nm.hdr);
    InvalidateRect(hwnd, nullptr, TRUE);
    return true;
}

int Width(ListViewState* s)
{
    int w = 0;
    for (const Column& c : s->columns) w += c.width;
    return w;
}

void Paint(HWND hwnd, HDC dc)
{
    auto* s = StateOf<ListViewState>(hwnd);
    RECT r;
    GetClientRect(hwnd, &r);
    HBRUSH back = CreateSolidBrush(s->background == CLR_NONE ? GetSysColor(COLOR_WINDOW) : s->background);
    FillRect(dc, &r, back);
    DeleteObject(back);
    const DWORD style = StyleOf(hwnd);
    const int h = RowHeight(hwnd, s);
    const bool fullRow = (s->exStyle & LVS_EX_FULLROWSELECT) != 0;
    const bool focused = GetFocus() == hwnd;
    const bool showSelection = focused || (style & LVS_SHOWSELALWAYS);
    SetBkMode(dc, TRANSPARENT);
    const int columns = std::max<int>(1, static_cast<int>(s->columns.size()));
    const int rowWidth = s->columns.empty() ? r.right : Width(s);
    for (int i = s->top, y = HeaderHeight(hwnd, s); i < Count(hwnd, s) && y < r.bottom; ++i, y += h) {
        const UINT state = StateRef(hwnd, s, i);
        RECT row{0, y, rowWidth, y + h};
        if (style & LVS_OWNERDRAWFIXED) {
            DRAWITEMSTRUCT dis{ODT_LISTVIEW, static_cast<UINT>(GetDlgCtrlID(hwnd)), static_cast<UINT>(i), ODA_DRAWENTIRE,
                               ((state & LVIS_SELECTED) ? ODS_SELECTED : 0u) | ((state & LVIS_FOCUSED) && focused ? ODS_FOCUS : 0u),
                               hwnd, dc, row, static_cast<ULONG_PTR>(OwnerData(hwnd) ? 0 : s->items[i].param)};
            SendMessageA(GetParent(hwnd), WM_DRAWITEM, dis.CtlID, reinterpret_cast<LPARAM>(&dis));
            continue;
        }
        const bool selected = (state & LVIS_SELECTED) && showSelection;
        int x = 0;
        for (int c = 0; c < columns; ++c) {
            const int width = s->columns.empty() ? r.right : s->columns[c].width;
            const int sub = s->columns.empty() ? 0 : s->columns[c].subItem;
            const std::string text = TextOf(hwnd, s, i, sub);
            RECT cell{x, y, x + width, y + h};
            if (selected && (fullRow || c == 0)) {
                RECT mark = cell;
                if (!fullRow) {
                    // Without full-row select only the label is highlighted.
                    SIZE size{0, 0};
                    GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
                    mark.right = std::min<LONG>(cell.right, cell.left + size.cx + 6);
                }
                FillRect(dc, &mark, GetSysColorBrush(focused ? COLOR_HIGHLIGHT : COLOR_BTNFACE));
            }
            SetTextColor(dc, selected && (fullRow || c == 0) && focused ? GetSysColor(COLOR_HIGHLIGHTTEXT) : s->text);
            RECT inner = cell;
            InflateRect(&inner, -3, 0);
            // The item's small image, if the list has one, before its first column.
            if (c == 0 && s->images[LVSIL_SMALL] && !OwnerData(hwnd) && s->items[i].image >= 0) {
                int cx = 0, cy = 0;
                ImageList_GetIconSize(s->images[LVSIL_SMALL], &cx, &cy);
                ImageList_Draw(s->images[LVSIL_SMALL], s->items[i].image, dc, inner.left, y + (h - cy) / 2,
                               selected ? ILD_SELECTED : ILD_NORMAL);
                inner.left += cx + 2;
            }
            const int fmt = s->columns.empty() ? LVCFMT_LEFT : s->columns[c].format & 3;
            DrawTextA(dc, text.c_str(), -1, &inner,
                      DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS |
                          (fmt == LVCFMT_RIGHT ? DT_RIGHT : fmt == LVCFMT_CENTER ? DT_CENTER : DT_LEFT));
            if (s->exStyle & LVS_EX_GRIDLINES) {
                RECT line{cell.right - 1, cell.top, cell.right, cell.bottom};
                FillRect(dc, &line, GetSysColorBrush(COLOR_BTNFACE));
                RECT under{cell.left, cell.bottom - 1, cell.right, cell.bottom};
                FillRect(dc, &under, GetSysColorBrush(COLOR_BTNFACE));
            }
            x += width;
        }
        if (focused && (state & LVIS_FOCUSED)) DrawFocusRect(dc, &row);
    }
}

int HitTest(HWND hwnd, ListViewState* s, POINT pt, int* subItem)
{
    const int y = pt.y - HeaderHeight(hwnd, s);
    if (y < 0) return -1;
    const int i = s->top + y / RowHeight(hwnd, s);
    if (!Valid(hwnd, s, i)) return -1;
    int x = 0;
    if (subItem) *subItem = 0;
    for (size_t c = 0; c < s->columns.size(); ++c) {
        if (pt.x >= x && pt.x < x + s->columns[c].width) {
            if (subItem) *subItem = static_cast<int>(c);
            return i;
        }
        x += s->columns[c].width;
    }
    return s->columns.empty() ? i : -1;
}

void ClickItem(HWND hwnd, ListViewState* s, int i, int sub, UINT code)
{
    if (i >= 0) {
        // Without full-row select only a click in the first column selects.
        if (sub == 0 || (s->exStyle & LVS_EX_FULLROWSELECT)) {
            // A plain click (no modifier keys here) selects the one item.
            for (int k = 0; k < Count(hwnd, s); ++k)
                if (k != i && (StateRef(hwnd, s, k) & (LVIS_SELECTED | LVIS_FOCUSED)))
                    ChangeState(hwnd, s, k, 0, LVIS_SELECTED | LVIS_FOCUSED);
            ChangeState(hwnd, s, i, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
        }
    }
    NMITEMACTIVATE nm{};
    nm.hdr.code = code;
    nm.iItem = i;
    nm.iSubItem = sub;
    SendNotify(hwnd, &nm.hdr);
}

bool InsertColumn(ListViewState* s, int index, const LVCOLUMNA* col)
{
    if (!col || index < 0) return false;
    Column c;
    if ((col->mask & LVCF_TEXT) && col->pszText) c.text = col->pszText;
    if (col->mask & LVCF_WIDTH) c.width = col->cx;
    if (col->mask & LVCF_FMT) c.format = col->fmt;
    const int at = std::min<int>(index, static_cast<int>(s->columns.size()));
    c.subItem = (col->mask & LVCF_SUBITEM) ? col->iSubItem : at;
    s->columns.insert(s->columns.begin() + at, c);
    return true;
}

void SetText(Item& item, int sub, LPCSTR text)
{
    if (sub < 0) return;
    if (static_cast<int>(item.texts.size()) <= sub) {
        item.texts.resize(sub + 1);
        item.callback.resize(sub + 1, false);
    }
    item.callback[sub] = text == LPSTR_TEXTCALLBACKA;
    item.texts[sub] = text && text != LPSTR_TEXTCALLBACKA ? text : "";
}

LRESULT CALLBACK ListViewProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto* s = StateOf<ListViewState>(hwnd);
    if (!s) return 0;
    const int index = static_cast<int>(wParam);
    switch (msg) {
    case WM_CREATE: {
        RECT r;
        GetClientRect(hwnd, &r);
        s->header = CreateWindowExA(0, WC_HEADERA, "", WS_CHILD | ((StyleOf(hwnd) & LVS_NOCOLUMNHEADER) ? 0u : DWORD(WS_VISIBLE)), 0, 0,
                                    r.right, 20, hwnd, nullptr, nullptr, nullptr);
        if ((StyleOf(hwnd) & LVS_TYPEMASK) != LVS_REPORT) ShowWindow(s->header, SW_HIDE);
        return 0;
    }
    case WM_SIZE:
        if (s->header) MoveWindow(s->header, 0, 0, LOWORD(lParam), 20, TRUE);
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
    case LVM_SETEXTENDEDLISTVIEWSTYLE: {
        const DWORD old = s->exStyle;
        const DWORD mask = wParam ? static_cast<DWORD>(wParam) : 0xFFFFFFFF;
        s->exStyle = (s->exStyle & ~mask) | (static_cast<DWORD>(lParam) & mask);
        InvalidateRect(hwnd, nullptr, TRUE);
        return old;
    }
    case LVM_GETEXTENDEDLISTVIEWSTYLE: return s->exStyle;
    case LVM_SETBKCOLOR: s->background = static_cast<COLORREF>(lParam); InvalidateRect(hwnd, nullptr, TRUE); return TRUE;
    case LVM_GETBKCOLOR: return s->background;
    case LVM_SETTEXTCOLOR: s->text = static_cast<COLORREF>(lParam); InvalidateRect(hwnd, nullptr, TRUE); return TRUE;
    case LVM_GETTEXTCOLOR: return s->text;
    case LVM_SETTEXTBKCOLOR: s->textBackground = static_cast<COLORREF>(lParam); return TRUE;
    case LVM_GETTEXTBKCOLOR: return s->textBackground;
    case LVM_SETIMAGELIST: {
        if (index < 0 || index > 2) return 0;
        HIMAGELIST old = s->images[index];
        s->images[index] = reinterpret_cast<HIMAGELIST>(lParam);
        return reinterpret_cast<LRESULT>(old);
    }
    case LVM_GETIMAGELIST: return index >= 0 && index <= 2 ? reinterpret_cast<LRESULT>(s->images[index]) : 0;
    case LVM_INSERTCOLUMNA:
        if (!InsertColumn(s, index, reinterpret_cast<const LVCOLUMNA*>(lParam))) return -1;
        InvalidateRect(hwnd, nullptr, TRUE);
        if (s->header) InvalidateRect(s->header, nullptr, TRUE);
        return std::min<int>(index, static_cast<int>(s->columns.size()) - 1);
    case LVM_DELETECOLUMN:
        if (index < 0 || index >= static_cast<int>(s->columns.size())) return FALSE;
        s->columns.erase(s->columns.begin() + index);
        InvalidateRect(hwnd, nullptr, TRUE);
        return TRUE;
    case LVM_GETCOLUMNA:
    case LVM_SETCOLUMNA: {
        auto* col = reinterpret_cast<LVCOLUMNA*>(lParam);
        if (!col || index < 0 || index >= static_cast<int>(s->columns.size())) return FALSE;
        Column& c = s->columns[index];
        if (msg == LVM_SETCOLUMNA) {
            if ((col->mask & LVCF_TEXT) && col->pszText) c.text = col->pszText;
            if (col->mask & LVCF_WIDTH) c.width = col->cx;
            if (col->mask & LVCF_FMT) c.format = col->fmt;
            InvalidateRect(hwnd, nullptr, TRUE);
            if (s->header) InvalidateRect(s->header, nullptr, TRUE);
        } else {
            if ((col->mask & LVCF_TEXT) && col->pszText && col->cchTextMax > 0) {
                std::strncpy(col->pszText, c.text.c_str(), col->cchTextMax - 1);
                col->pszText[col->cchTextMax - 1] = 0;
            }
            if (col->mask & LVCF_WIDTH) col->cx = c.width;
            if (col->mask & LVCF_FMT) col->fmt = c.format;
            if (col->mask & LVCF_SUBITEM) col->iSubItem = c.subItem;
        }
        return TRUE;
    }
    case LVM_GETCOLUMNWIDTH: return index >= 0 && index < static_cast<int>(s->columns.size()) ? s->columns[index].width : 0;
    case LVM_SETCOLUMNWIDTH: {
        if (index < 0 || index >= static_cast<int>(s->columns.size())) return FALSE;
        int w = static_cast<short>(LOWORD(lParam));
        if (w == LVSCW_AUTOSIZE || w == LVSCW_AUTOSIZE_USEHEADER) {
            HDC dc = GetDC(hwnd);
            w = 0;
            auto widen = [&](const std::string& t) {
                SIZE size{0, 0};
                GetTextExtentPoint32A(dc, t.c_str(), static_cast<int>(t.size()), &size);
                w = std::max<int>(w, size.cx + 12);
            };
            for (int i = 0; i < Count(hwnd, s); ++i) widen(TextOf(hwnd, s, i, s->columns[index].subItem));
            if (static_cast<short>(LOWORD(lParam)) == LVSCW_AUTOSIZE_USEHEADER) widen(s->columns[index].text);
            ReleaseDC(hwnd, dc);
        }
        s->columns[index].width = w;
        InvalidateRect(hwnd, nullptr, TRUE);
        if (s->header) InvalidateRect(s->header, nullptr, TRUE);
        return TRUE;
    }
    case LVM_GETHEADER: return reinterpret_cast<LRESULT>(s->header);
    case LVM_GETITEMCOUNT: return Count(hwnd, s);
    case LVM_SETITEMCOUNT:
        if (!OwnerData(hwnd)) {
            s->items.reserve(index);
            return TRUE;
        }
        s->ownerCount = std::max(0, index);
        s->ownerStates.resize(s->ownerCount, 0);
        InvalidateRect(hwnd, nullptr, TRUE);
        return TRUE;
    case LVM_INSERTITEMA: {
        auto* it = reinterpret_cast<const LVITEMA*>(lParam);
        if (!it || it->iItem < 0 || it->iSubItem != 0 || OwnerData(hwnd)) return -1;
        Item item;
        if (it->mask & LVIF_TEXT) SetText(item, 0, it->pszText);
        if (it->mask & LVIF_PARAM) item.param = it->lParam;
        if (it->mask & LVIF_STATE) item.state = it->state & it->stateMask;
        if (it->mask & LVIF_IMAGE) item.image = it->iImage;
        int at = std::min<int>(it->iItem, static_cast<int>(s->items.size()));
        const DWORD style = StyleOf(hwnd);
        if (style & (LVS_SORTASCENDING | LVS_SORTDESCENDING)) {
            const bool down = (style & LVS_SORTDESCENDING) != 0;
            at = 0;
            while (at < static_cast<int>(s->items.size())) {
                const int cmp = strcasecmp(s->items[at].texts.empty() ? "" : s->items[at].texts[0].c_str(),
                                           item.texts.empty() ? "" : item.texts[0].c_str());
                if (down ? cmp < 0 : cmp > 0) break;
                ++at;
            }
        }
        s->items.insert(s->items.begin() + at, item);
        NMLISTVIEW nm{};
        nm.hdr.code = LVN_INSERTITEM;
        nm.iItem = at;
        SendNotify(hwnd, &nm.hdr);
        InvalidateRect(hwnd, nullptr, TRUE);
        return at;
    }
    case LVM_SETITEMA:
    case LVM_GETITEMA: {
        auto* it = reinterpret_cast<LVITEMA*>(lParam);
        if (!it || !Valid(hwnd, s, it->iItem)) return FALSE;
        if (msg == LVM_SETITEMA) {
            if (OwnerData(hwnd)) {
                if (it->mask & LVIF_STATE) ChangeState(hwnd, s, it->iItem, it->state, it->stateMask);
                return TRUE;
            }
            Item& item = s->items[it->iItem];
            if (it->mask & LVIF_TEXT) SetText(item, it->iSubItem, it->pszText);
            if (it->iSubItem == 0) {
                if (it->mask & LVIF_PARAM) item.param = it->lParam;
                if (it->mask & LVIF_IMAGE) item.image = it->iImage;
                if (it->mask & LVIF_STATE) ChangeState(hwnd, s, it->iItem, it->state, it->stateMask);
            }
            InvalidateRect(hwnd, nullptr, TRUE);
            return TRUE;
        }
        if ((it->mask & LVIF_TEXT) && it->pszText && it->cchTextMax > 0) {
            const std::string t = TextOf(hwnd, s, it->iItem, it->iSubItem);
            std::strncpy(it->pszText, t.c_str(), it->cchTextMax - 1);
            it->pszText[it->cchTextMax - 1] = 0;
        }
        if (it->mask & LVIF_STATE) it->state = StateRef(hwnd, s, it->iItem) & it->stateMask;
        if (!OwnerData(hwnd)) {
            if (it->mask & LVIF_PARAM) it->lParam = s->items[it->iItem].param;
            if (it->mask & LVIF_IMAGE) it->iImage = s->items[it->iItem].image;
        }
        return TRUE;
    }
    case LVM_SETITEMTEXTA: {
        auto* it = reinterpret_cast<const LVITEMA*>(lParam);
        if (!it || !Valid(hwnd, s, index) || OwnerData(hwnd)) return FALSE;
        SetText(s->items[index], it->iSubItem, it->pszText);
        InvalidateRect(hwnd, nullptr, TRUE);
        return TRUE;
    }
    case LVM_GETITEMTEXTA: {
        auto* it = reinterpret_cast<LVITEMA*>(lParam);
        if (!it || !Valid(hwnd, s, index) || !it->pszText || it->cchTextMax <= 0) return 0;
        const std::string t = TextOf(hwnd, s, index, it->iSubItem);
        std::strncpy(it->pszText, t.c_str(), it->cchTextMax - 1);
        it->pszText[it->cchTextMax - 1] = 0;
        return static_cast<LRESULT>(std::strlen(it->pszText));
    }
    case LVM_SETITEMSTATE: {
        auto* it = reinterpret_cast<const LVITEMA*>(lParam);
        if (!it) return FALSE;
        if (index == -1) {
            for (int i = 0; i < Count(hwnd, s); ++i) ChangeState(hwnd, s, i, it->state, it->stateMask);
            return TRUE;
        }
        if (!Valid(hwnd, s, index)) return FALSE;
        // Selecting one item of a single-selection list deselects the others.
        if ((StyleOf(hwnd) & LVS_SINGLESEL) && (it->stateMask & it->state & LVIS_SELECTED))
            for (int i = 0; i < Count(hwnd, s); ++i)
                if (i != index && (StateRef(hwnd, s, i) & LVIS_SELECTED)) ChangeState(hwnd, s, i, 0, LVIS_SELECTED);
        return ChangeState(hwnd, s, index, it->state, it->stateMask);
    }
    case LVM_GETITEMSTATE: return Valid(hwnd, s, index) ? StateRef(hwnd, s, index) & static_cast<UINT>(lParam) : 0;
    case LVM_GETNEXTITEM: {
        const UINT flags = LOWORD(lParam);
        for (int i = index + 1; i < Count(hwnd, s); ++i) {
            const UINT st = StateRef(hwnd, s, i);
            if ((flags & LVNI_SELECTED) && !(st & LVIS_SELECTED)) continue;
            if ((flags & LVNI_FOCUSED) && !(st & LVIS_FOCUSED)) continue;
            return i;
        }
        return -1;
    }
    case LVM_GETSELECTEDCOUNT: {
        int n = 0;
        for (int i = 0; i < Count(hwnd, s); ++i) n += (StateRef(hwnd, s, i) & LVIS_SELECTED) != 0;
        return n;
    }
    case LVM_DELETEITEM: {
        if (!Valid(hwnd, s, index) || OwnerData(hwnd)) return FALSE;
        NMLISTVIEW nm{};
        nm.hdr.code = LVN_DELETEITEM;
        nm.iItem = index;
        nm.lParam = s->items[index].param;
        SendNotify(hwnd, &nm.hdr);
        s->items.erase(s->items.begin() + index);
        InvalidateRect(hwnd, nullptr, TRUE);
        return TRUE;
    }
    case LVM_DELETEALLITEMS: {
        NMLISTVIEW nm{};
        nm.hdr.code = LVN_DELETEALLITEMS;
        nm.iItem = -1;
        SendNotify(hwnd, &nm.hdr);
        s->items.clear();
        s->ownerCount = 0;
        s->ownerStates.clear();
        s->top = 0;
        InvalidateRect(hwnd, nullptr, TRUE);
        return TRUE;
    }
    case LVM_SORTITEMS: {
        auto compare = reinterpret_cast<PFNLVCOMPARE>(lParam);
        if (!compare || OwnerData(hwnd)) return FALSE;
        std::stable_sort(s->items.begin(), s->items.end(),
                         [&](const Item& a, const Item& b) { return compare(a.param, b.param, static_cast<LPARAM>(wParam)) < 0; });
        InvalidateRect(hwnd, nullptr, TRUE);
        return TRUE;
    }
    case LVM_FINDITEMA: {
        auto* find = reinterpret_cast<const LVFINDINFOA*>(lParam);
        if (!find) return -1;
        for (int i = index + 1; i < Count(hwnd, s); ++i) {
            if ((find->flags & LVFI_PARAM) && !OwnerData(hwnd) && s->items[i].param == find->lParam) return i;
            if ((find->flags & (LVFI_STRING | LVFI_PARTIAL)) && find->psz) {
                const std::string t = TextOf(hwnd, s, i, 0);
                const size_t n = (find->flags & LVFI_PARTIAL) ? std::strlen(find->psz) : std::string::npos;
                if (n == std::string::npos ? strcasecmp(t.c_str(), find->psz) == 0 : strncasecmp(t.c_str(), find->psz, n) == 0)
                    return i;
            }
        }
        return -1;
    }
    case LVM_GETITEMRECT: {
        auto* rect = reinterpret_cast<RECT*>(lParam);
        if (!rect || !Valid(hwnd, s, index)) return FALSE;
        const int h = RowHeight(hwnd, s);
        const int y = HeaderHeight(hwnd, s) + (index - s->top) * h;
        RECT client;
        GetClientRect(hwnd, &client);
        const int first = s->columns.empty() ? client.right : s->columns[0].width;
        *rect = RECT{0, y, rect->left == LVIR_LABEL || rect->left == LVIR_ICON ? first : (s->columns.empty() ? client.right : Width(s)),
                     y + h};
        return TRUE;
    }
    case LVM_GETTOPINDEX: return s->top;
    case LVM_GETCOUNTPERPAGE: {
        RECT r;
        GetClientRect(hwnd, &r);
        return std::max(1, (r.bottom - HeaderHeight(hwnd, s)) / RowHeight(hwnd, s));
    }
    case LVM_ENSUREVISIBLE: {
        if (!Valid(hwnd, s, index)) return FALSE;
        const int page = static_cast<int>(SendMessageA(hwnd, LVM_GETCOUNTPERPAGE, 0, 0));
        if (index < s->top) s->top = index;
        else if (index >= s->top + page) s->top = index - page + 1;
        InvalidateRect(hwnd, nullptr, TRUE);
        return TRUE;
    }
    case LVM_REDRAWITEMS: InvalidateRect(hwnd, nullptr, TRUE); return TRUE;
    case LVM_HITTEST: {
        auto* hit = reinterpret_cast<LVHITTESTINFO*>(lParam);
        if (!hit) return -1;
        hit->iItem = HitTest(hwnd, s, hit->pt, &hit->iSubItem);
        hit->flags = hit->iItem < 0 ? LVHT_NOWHERE : LVHT_ONITEM;
        return hit->iItem;
    }
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDOWN: {
        SetFocus(hwnd);
        const POINT pt{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        int sub = 0;
        const int i = HitTest(hwnd, s, pt, &sub);
        ClickItem(hwnd, s, i, sub, msg == WM_LBUTTONDOWN ? NM_CLICK : msg == WM_RBUTTONDOWN ? NM_RCLICK : NM_DBLCLK);
        return 0;
    }
    case WM_KEYDOWN: {
        int focus = static_cast<int>(SendMessageA(hwnd, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED));
        int next = focus;
        if (wParam == VK_DOWN) next = std::min(Count(hwnd, s) - 1, focus + 1);
        else if (wParam == VK_UP) next = std::max(0, focus - 1);
        else if (wParam == VK_HOME) next = 0;
        else if (wParam == VK_END) next = Count(hwnd, s) - 1;
        if (next != focus && Valid(hwnd, s, next)) {
            ClickItem(hwnd, s, next, 0, LVN_KEYDOWN);
            SendMessageA(hwnd, LVM_ENSUREVISIBLE, next, FALSE);
        }
        return 0;
    }
    case WM_SETFOCUS:
    case WM_KILLFOCUS: {
        InvalidateRect(hwnd, nullptr, TRUE);
        NMHDR nm{nullptr, 0, msg == WM_SETFOCUS ? NM_SETFOCUS : NM_KILLFOCUS};
        SendNotify(hwnd, &nm);
        return 0;
    }
    case kScriptChoose: {
        if (!Valid(hwnd, s, index)) return FALSE;
        SendMessageA(hwnd, LVM_ENSUREVISIBLE, index, FALSE);
        const int y = HeaderHeight(hwnd, s) + (index - s->top) * RowHeight(hwnd, s) + 1;
        SendMessageA(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, y));
        SendMessageA(hwnd, WM_LBUTTONUP, 0, MAKELPARAM(2, y));
        return (StateRef(hwnd, s, index) & LVIS_SELECTED) != 0;
    }
    case WM_USER + 0x7FF2: {  // the header's column click
        if (StyleOf(hwnd) & LVS_NOSORTHEADER) return 0;
        NMLISTVIEW nm{};
        nm.hdr.code = LVN_COLUMNCLICK;
        nm.iItem = -1;
        nm.iSubItem = index;
        SendNotify(hwnd, &nm.hdr);
        return 0;
    }
    default: return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
}

// The header draws its list view's columns and passes clicks on to it.
LRESULT CALLBACK HeaderProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    HWND list = GetParent(hwnd);
    auto* s = list ? StateOf<ListViewState>(list) : nullptr;
    switch (msg) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        RECT r;
        GetClientRect(hwnd, &r);
        FillRect(dc, &r, GetSysColorBrush(COLOR_BTNFACE));
        SetBkMode(dc, TRANSPARENT);
        int x = 0;
        for (const Column& c : s ? s->columns : std::vector<Column>{}) {
            RECT cell{x, 0, x + c.width, r.bottom};
            DrawEdge(dc, &cell, EDGE_RAISED, BF_RECT);
            RECT inner = cell;
            InflateRect(&inner, -4, 0);
            const int fmt = c.format & 3;
            DrawTextA(dc, c.text.c_str(), -1, &inner,
                      DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS |
                          (fmt == LVCFMT_RIGHT ? DT_RIGHT : fmt == LVCFMT_CENTER ? DT_CENTER : DT_LEFT));
            x += c.width;
        }
        EndPaint(hwnd, &ps);
        return 0;
    }
    case HDM_GETITEMCOUNT: return s ? static_cast<LRESULT>(s->columns.size()) : -1;
    case HDM_GETITEMA:
    case HDM_SETITEMA: {
        // The header's items are its list's columns.
        auto* item = reinterpret_cast<HDITEMA*>(lParam);
        if (!s || !item || wParam >= s->columns.size()) return FALSE;
        Column& c = s->columns[wParam];
        if (msg == HDM_SETITEMA) {
            if (item->mask & HDI_WIDTH) c.width = item->cxy;
            if ((item->mask & HDI_TEXT) && item->pszText) c.text = item->pszText;
            if (item->mask & HDI_FORMAT) c.format = item->fmt & 3;
            InvalidateRect(hwnd, nullptr, TRUE);
            InvalidateRect(list, nullptr, TRUE);
            return TRUE;
        }
        if (item->mask & HDI_WIDTH) item->cxy = c.width;
        if ((item->mask & HDI_TEXT) && item->pszText && item->cchTextMax > 0) {
            std::strncpy(item->pszText, c.text.c_str(), item->cchTextMax - 1);
            item->pszText[item->cchTextMax - 1] = 0;
        }
        if (item->mask & HDI_FORMAT) item->fmt = (c.format & 3) | HDF_STRING;
        return TRUE;
    }
    case HDM_GETITEMRECT: {
        auto* rect = reinterpret_cast<RECT*>(lParam);
        if (!s || !rect || wParam >= s->columns.size()) return FALSE;
        RECT client;
        GetClientRect(hwnd, &client);
        int x = 0;
        for (size_t c = 0; c < wParam; ++c) x += s->columns[c].width;
        *rect = RECT{x, 0, x + s->columns[wParam].width, client.bottom};
        return TRUE;
    }
    case WM_LBUTTONDOWN: {
        if (!s) return 0;
        int x = 0;
        for (size_t c = 0; c < s->columns.size(); ++c) {
            if (GET_X_LPARAM(lParam) >= x && GET_X_LPARAM(lParam) < x + s->columns[c].width) {
                SendMessageA(list, WM_USER + 0x7FF2, c, 0);
                break;
            }
            x += s->columns[c].width;
        }
        return 0;
    }
    case kScriptChoose: {
        if (!s || wParam >= s->columns.size()) return FALSE;
        SendMessageA(list, WM_USER + 0x7FF2, wParam, 0);
        return TRUE;
    }
    default: return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
}

}  // namespace

void RegisterListViewClasses()
{
    RegisterSystemClass(WC_LISTVIEWA, ListViewProc, CS_DBLCLKS, 0, nullptr);
    RegisterSystemClass(WC_HEADERA, HeaderProc, CS_DBLCLKS, 0, nullptr);
}

}  // namespace user
