// The tab control: a row of tabs (at the top, or the bottom with
// TCS_BOTTOM) over a panel; choosing a tab asks the parent first
// (TCN_SELCHANGING may refuse) and then tells it (TCN_SELCHANGE).
#include <algorithm>
#include <cstring>

#include "commctrl.h"
#include "user_internal.h"

namespace user {
namespace {

constexpr int kTabHeight = 20;

struct Tab {
    std::string text;
    LPARAM param = 0;
    int image = -1;
};

struct TabState : ControlState {
    std::vector<Tab> tabs;
    int current = -1;
    HIMAGELIST images = nullptr;
};

bool Bottom(HWND hwnd) { return (GetWindowLongA(hwnd, GWL_STYLE) & TCS_BOTTOM) != 0; }

std::vector<RECT> Layout(HWND hwnd, TabState* s)
{
    std::vector<RECT> out;
    HDC dc = GetDC(hwnd);
    RECT client;
    GetClientRect(hwnd, &client);
    const int top = Bottom(hwnd) ? client.bottom - kTabHeight : 0;
    int x = 2;
    for (const Tab& t : s->tabs) {
        SIZE size{0, 0};
        GetTextExtentPoint32A(dc, t.text.c_str(), static_cast<int>(t.text.size()), &size);
        const int w = std::max<int>(size.cx + 12, 40);
        out.push_back(RECT{x, top, x + w, top + kTabHeight});
        x += w;
    }
    ReleaseDC(hwnd, dc);
    return out;
}

bool Select(HWND hwnd, TabState* s, int index, bool notify)
{
    if (index < 0 || index >= static_cast<int>(s->tabs.size()) || index == s->current) return false;
    if (notify) {
        NMHDR changing{nullptr, 0, TCN_SELCHANGING};
        if (SendNotify(hwnd, &changing)) return false;  // the parent refused
    }
    s->current = index;
    InvalidateRect(hwnd, nullptr, TRUE);
    if (notify) {
        NMHDR changed{nullptr, 0, TCN_SELCHANGE};
        SendNotify(hwnd, &changed);
    }
    return true;
}

void Paint(HWND hwnd, HDC dc)
{
    auto* s = StateOf<TabState>(hwnd);
    RECT r;
    GetClientRect(hwnd, &r);
    HBRUSH brush = ControlColors(hwnd, dc, WM_CTLCOLORDLG);
    FillRect(dc, &r, brush ? brush : GetSysColorBrush(COLOR_BTNFACE));
    RECT panel = r;
    if (Bottom(hwnd))
        panel.bottom -= kTabHeight;
    else
        panel.top += kTabHeight;
    DrawEdge(dc, &panel, EDGE_RAISED, BF_RECT);
    SetBkMode(dc, TRANSPARENT);
    const std::vector<RECT> rects = Layout(hwnd, s);
    for (size_t i = 0; i < rects.size(); ++i) {
        RECT t = rects[i];
        const bool current = static_cast<int>(i) == s->current;
        // The current tab stands out of the row and joins the panel.
        if (Bottom(hwnd)) {
            if (current) t.top -= 1;
            else t.bottom -= 2;
        } else {
            if (current) t.bottom += 1;
            else t.top += 2;
        }
        FillRect(dc, &t, GetSysColorBrush(COLOR_BTNFACE));
        DrawEdge(dc, &t, EDGE_RAISED, Bottom(hwnd) ? BF_LEFT | BF_RIGHT | BF_BOTTOM : BF_LEFT | BF_RIGHT | BF_TOP);
        if (current) {
            // No panel edge under the current tab.
            RECT join = Bottom(hwnd) ? RECT{t.left + 1, panel.bottom - 2, t.right - 1, panel.bottom}
                                     : RECT{t.left + 1, panel.top, t.right - 1, panel.top + 2};
            FillRect(dc, &join, GetSysColorBrush(COLOR_BTNFACE));
        }
        DrawTextA(dc, s->tabs[i].text.c_str(), -1, &t, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        if (current && GetFocus() == hwnd) {
            RECT f = t;
            InflateRect(&f, -3, -3);
            DrawFocusRect(dc, &f);
        }
    }
}

LRESULT CALLBACK TabProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto* s = StateOf<TabState>(hwnd);
    if (!s) return 0;
    const int index = static_cast<int>(wParam);
    const bool valid = index >= 0 && index < static_cast<int>(s->tabs.size());
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
    case TCM_GETITEMCOUNT: return static_cast<LRESULT>(s->tabs.size());
    case TCM_INSERTITEMA: {
        auto* item = reinterpret_cast<const TCITEMA*>(lParam);
        if (!item || index < 0) return -1;
        Tab t;
        if ((item->mask & TCIF_TEXT) && item->pszText) t.text = item->pszText;
        if (item->mask & TCIF_PARAM) t.param = item->lParam;
        if (item->mask & TCIF_IMAGE) t.image = item->iImage;
        const int at = std::min<int>(index, static_cast<int>(s->tabs.size()));
        s->tabs.insert(s->tabs.begin() + at, t);
        if (s->current >= at) ++s->current;
        if (s->current < 0) s->current = 0;  // the first tab is selected
        InvalidateRect(hwnd, nullptr, TRUE);
        return at;
    }
    case TCM_SETITEMA:
    case TCM_GETITEMA: {
        auto* item = reinterpret_cast<TCITEMA*>(lParam);
        if (!valid || !item) return FALSE;
        Tab& t = s->tabs[index];
        if (msg == TCM_SETITEMA) {
            if ((item->mask & TCIF_TEXT) && item->pszText) t.text = item->pszText;
            if (item->mask & TCIF_PARAM) t.param = item->lParam;
            if (item->mask & TCIF_IMAGE) t.image = item->iImage;
            InvalidateRect(hwnd, nullptr, TRUE);
        } else {
            if ((item->mask & TCIF_TEXT) && item->pszText && item->cchTextMax > 0) {
                std::strncpy(item->pszText, t.text.c_str(), item->cchTextMax - 1);
                item->pszText[item->cchTextMax - 1] = 0;
            }
            if (item->mask & TCIF_PARAM) item->lParam = t.param;
            if (item->mask & TCIF_IMAGE) item->iImage = t.image;
        }
        return TRUE;
    }
    case TCM_DELETEITEM:
        if (!valid) return FALSE;
        s->tabs.erase(s->tabs.begin() + index);
        if (s->current == index) s->current = s->tabs.empty() ? -1 : 0;
        else if (s->current > index) --s->current;
        InvalidateRect(hwnd, nullptr, TRUE);
        return TRUE;
    case TCM_DELETEALLITEMS:
        s->tabs.clear();
        s->current = -1;
        InvalidateRect(hwnd, nullptr, TRUE);
        return TRUE;
    case TCM_GETCURSEL:
    case TCM_GETCURFOCUS: return s->current;
    case TCM_SETCURSEL:
    case TCM_SETCURFOCUS: {
        if (!valid) return -1;
        const int old = s->current;
        Select(hwnd, s, index, msg == TCM_SETCURFOCUS);
        return old;
    }
    case TCM_GETITEMRECT: {
        const std::vector<RECT> rects = Layout(hwnd, s);
        if (!valid || !lParam) return FALSE;
        *reinterpret_cast<RECT*>(lParam) = rects[index];
        return TRUE;
    }
    case TCM_ADJUSTRECT: {
        auto* r = reinterpret_cast<RECT*>(lParam);
        if (!r) return 0;
        // Window rectangle to display area (FALSE) or back (TRUE).
        const int k = wParam ? -1 : 1;
        r->left += 2 * k;
        r->right -= 2 * k;
        if (Bottom(hwnd)) {
            r->top += 2 * k;
            r->bottom -= (kTabHeight + 2) * k;
        } else {
            r->top += (kTabHeight + 2) * k;
            r->bottom -= 2 * k;
        }
        return 0;
    }
    case TCM_SETIMAGELIST: {
        HIMAGELIST old = s->images;
        s->images = reinterpret_cast<HIMAGELIST>(lParam);
        return reinterpret_cast<LRESULT>(old);
    }
    case TCM_GETIMAGELIST: return reinterpret_cast<LRESULT>(s->images);
    case WM_LBUTTONDOWN: {
        const POINT pt{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        const std::vector<RECT> rects = Layout(hwnd, s);
        for (size_t i = 0; i < rects.size(); ++i)
            if (PtInRect(&rects[i], pt)) {
                if (!(GetWindowLongA(hwnd, GWL_STYLE) & TCS_FOCUSNEVER)) SetFocus(hwnd);
                Select(hwnd, s, static_cast<int>(i), true);
                NMHDR click{nullptr, 0, NM_CLICK};
                SendNotify(hwnd, &click);
                break;
            }
        return 0;
    }
    case WM_KEYDOWN:
        if (wParam == VK_LEFT) Select(hwnd, s, s->current - 1, true);
        if (wParam == VK_RIGHT) Select(hwnd, s, s->current + 1, true);
        return 0;
    case WM_SETFOCUS:
    case WM_KILLFOCUS: InvalidateRect(hwnd, nullptr, TRUE); return 0;
    case kScriptChoose: {
        const std::vector<RECT> rects = Layout(hwnd, s);
        if (!valid) return FALSE;
        SendMessageA(hwnd, WM_LBUTTONDOWN, MK_LBUTTON,
                     MAKELPARAM((rects[index].left + rects[index].right) / 2, (rects[index].top + rects[index].bottom) / 2));
        return s->current == index;
    }
    default: return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
}

}  // namespace

void RegisterTabClass() { RegisterSystemClass(WC_TABCONTROLA, TabProc, CS_DBLCLKS, 0, nullptr); }

}  // namespace user
