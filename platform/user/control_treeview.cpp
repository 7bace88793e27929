// The tree view: items under items, expanded or collapsed, one selected;
// selection and expansion by the user ask the parent first and tell it
// after (TVN_SELCHANGING/TVN_SELCHANGED, TVN_ITEMEXPANDING/TVN_ITEMEXPANDED).
#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <strings.h>

#include "commctrl.h"
#include "user_internal.h"

namespace user {
namespace {

struct Node {
    std::string text;
    LPARAM param = 0;
    UINT state = 0;
    int image = -1, selectedImage = -1;
    int children = 0;  // cChildren as the caller gave it (I_CHILDRENCALLBACK not kept)
    Node* parent = nullptr;
    std::vector<std::unique_ptr<Node>> kids;
};

struct TreeState : ControlState {
    Node root;
    Node* selected = nullptr;
    std::set<const Node*> live;
    int top = 0;
    HIMAGELIST images = nullptr;
};

constexpr int kRow = 16, kIndent = 19;

HTREEITEM HandleOf(const Node* n) { return reinterpret_cast<HTREEITEM>(const_cast<Node*>(n)); }

Node* NodeOf(TreeState* s, HTREEITEM h)
{
    auto* n = reinterpret_cast<Node*>(h);
    return s->live.count(n) ? n : nullptr;
}

// The rows shown: every item whose ancestors are all expanded, in order.
void Visible(const Node& n, int depth, std::vector<std::pair<Node*, int>>& out)
{
    for (const auto& k : n.kids) {
        out.push_back({k.get(), depth});
        if (k->state & TVIS_EXPANDED) Visible(*k, depth + 1, out);
    }
}

void Fill(TVITEMA& out, const Node* n)
{
    std::memset(&out, 0, sizeof out);
    if (!n) return;
    out.mask = TVIF_HANDLE | TVIF_TEXT | TVIF_PARAM | TVIF_STATE;
    out.hItem = HandleOf(n);
    out.state = n->state;
    out.lParam = n->param;
}

bool SelectNode(HWND hwnd, TreeState* s, Node* n, UINT action)
{
    if (n == s->selected) return true;
    NMTREEVIEWA nm{};
    nm.action = action;
    Fill(nm.itemOld, s->selected);
    Fill(nm.itemNew, n);
    nm.hdr.code = TVN_SELCHANGINGA;
    if (SendNotify(hwnd, &nm.hdr)) return false;
    if (s->selected && s->live.count(s->selected)) s->selected->state &= ~TVIS_SELECTED;
    s->selected = n;
    if (n) n->state |= TVIS_SELECTED;
    nm.hdr.code = TVN_SELCHANGEDA;
    Fill(nm.itemNew, n);
    SendNotify(hwnd, &nm.hdr);
    InvalidateRect(hwnd, nullptr, TRUE);
    return true;
}

bool Expand(HWND hwnd, TreeState* s, Node* n, UINT code, bool notify)
{
    const bool open = (n->state & TVIS_EXPANDED) != 0;
    const bool want = code == TVE_EXPAND ? true : code == TVE_COLLAPSE ? false : !open;
    if (want == open) return false;
    NMTREEVIEWA nm{};
    nm.action = want ? TVE_EXPAND : TVE_COLLAPSE;
    Fill(nm.itemNew, n);
    if (notify) {
        nm.hdr.code = TVN_ITEMEXPANDINGA;
        if (SendNotify(hwnd, &nm.hdr)) return false;
    }
    if (want) n->state |= TVIS_EXPANDED;
    else n->state &= ~TVIS_EXPANDED;
    // Collapsing over the selection moves it to the collapsed item.
    if (!want && s->selected)
        for (Node* p = s->selected->parent; p; p = p->parent)
            if (p == n) {
                SelectNode(hwnd, s, n, TVC_UNKNOWN);
                break;
            }
    if (notify) {
        nm.hdr.code = TVN_ITEMEXPANDEDA;
        Fill(nm.itemNew, n);
        SendNotify(hwnd, &nm.hdr);
    }
    InvalidateRect(hwnd, nullptr, TRUE);
    return true;
}

void Forget(HWND hwnd, TreeState* s, Node* n)
{
    for (auto& k : n->kids) Forget(hwnd, s, k.get());
    NMTREEVIEWA nm{};
    nm.hdr.code = TVN_DELETEITEMA;
    Fill(nm.itemOld, n);
    SendNotify(hwnd, &nm.hdr);
    s->live.erase(n);
    if (s->selected == n) s->selected = nullptr;
}

void Paint(HWND hwnd, HDC dc)
{
    auto* s = StateOf<TreeState>(hwnd);
    RECT r;
    GetClientRect(hwnd, &r);
    FillRect(dc, &r, GetSysColorBrush(COLOR_WINDOW));
    const DWORD style = static_cast<DWORD>(GetWindowLongA(hwnd, GWL_STYLE));
    std::vector<std::pair<Node*, int>> rows;
    Visible(s->root, 0, rows);
    const int base = (style & TVS_LINESATROOT) ? 1 : 0;
    SetBkMode(dc, TRANSPARENT);
    const bool focused = GetFocus() == hwnd;
    for (size_t i = static_cast<size_t>(s->top); i < rows.size(); ++i) {
        const int y = static_cast<int>(i - s->top) * kRow;
        if (y > r.bottom) break;
        Node* n = rows[i].first;
        const int x = (rows[i].second + base) * kIndent;
        const bool hasKids = !n->kids.empty() || n->children > 0;
        if ((style & TVS_HASBUTTONS) && hasKids && (rows[i].second > 0 || base)) {
            RECT box{x - kIndent + 5, y + 4, x - kIndent + 14, y + 13};
            FillRect(dc, &box, GetSysColorBrush(COLOR_WINDOW));
            FrameRect(dc, &box, GetSysColorBrush(COLOR_BTNSHADOW));
            RECT minus{box.left + 2, y + 8, box.right - 2, y + 9};
            FillRect(dc, &minus, GetSysColorBrush(COLOR_WINDOWTEXT));
            if (!(n->state & TVIS_EXPANDED)) {
                RECT plus{box.left + 4, box.top + 2, box.left + 5, box.bottom - 2};
                FillRect(dc, &plus, GetSysColorBrush(COLOR_WINDOWTEXT));
            }
        }
        SIZE size{0, 0};
        GetTextExtentPoint32A(dc, n->text.c_str(), static_cast<int>(n->text.size()), &size);
        RECT label{x + 2, y, x + 2 + size.cx + 4, y + kRow};
        const bool sel = n == s->selected && (focused || (style & TVS_SHOWSELALWAYS));
        if (sel) FillRect(dc, &label, GetSysColorBrush(focused ? COLOR_HIGHLIGHT : COLOR_BTNFACE));
        SetTextColor(dc, sel && focused ? GetSysColor(COLOR_HIGHLIGHTTEXT) : GetSysColor(COLOR_WINDOWTEXT));
        TextOutA(dc, x + 4, y + 1, n->text.c_str(), static_cast<int>(n->text.size()));
    }
}

LRESULT CALLBACK TreeProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto* s = StateOf<TreeState>(hwnd);
    if (!s) return 0;
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
    case TVM_INSERTITEMA: {
        auto* ins = reinterpret_cast<const TVINSERTSTRUCTA*>(lParam);
        if (!ins) return 0;
        Node* parent = ins->hParent == TVI_ROOT || !ins->hParent ? &s->root : NodeOf(s, ins->hParent);
        if (!parent) return 0;
        auto node = std::make_unique<Node>();
        const TVITEMA& item = ins->item;
        if ((item.mask & TVIF_TEXT) && item.pszText && item.pszText != LPSTR_TEXTCALLBACKA) node->text = item.pszText;
        if (item.mask & TVIF_PARAM) node->param = item.lParam;
        if (item.mask & TVIF_STATE) node->state = item.state & item.stateMask & ~TVIS_SELECTED;
        if (item.mask & TVIF_IMAGE) node->image = item.iImage;
        if (item.mask & TVIF_SELECTEDIMAGE) node->selectedImage = item.iSelectedImage;
        if (item.mask & TVIF_CHILDREN) node->children = item.cChildren;
        node->parent = parent;
        auto& kids = parent->kids;
        size_t at = kids.size();
        if (ins->hInsertAfter == TVI_FIRST) {
            at = 0;
        } else if (ins->hInsertAfter == TVI_SORT) {
            at = 0;
            while (at < kids.size() && strcasecmp(kids[at]->text.c_str(), node->text.c_str()) <= 0) ++at;
        } else if (ins->hInsertAfter != TVI_LAST && ins->hInsertAfter) {
            Node* after = NodeOf(s, ins->hInsertAfter);
            auto it = std::find_if(kids.begin(), kids.end(), [&](const auto& k) { return k.get() == after; });
            at = it == kids.end() ? kids.size() : static_cast<size_t>(it - kids.begin()) + 1;
        }
        Node* raw = node.get();
        kids.insert(kids.begin() + static_cast<ptrdiff_t>(at), std::move(node));
        s->live.insert(raw);
        InvalidateRect(hwnd, nullptr, TRUE);
        return reinterpret_cast<LRESULT>(HandleOf(raw));
    }
    case TVM_DELETEITEM: {
        auto h = reinterpret_cast<HTREEITEM>(lParam);
        Node* n = h == TVI_ROOT || !h ? &s->root : NodeOf(s, h);
        if (!n) return FALSE;
        if (n == &s->root) {
            for (auto& k : s->root.kids) Forget(hwnd, s, k.get());
            s->root.kids.clear();
        } else {
            Forget(hwnd, s, n);
            auto& kids = n->parent->kids;
            kids.erase(std::remove_if(kids.begin(), kids.end(), [&](const auto& k) { return k.get() == n; }), kids.end());
        }
        InvalidateRect(hwnd, nullptr, TRUE);
        return TRUE;
    }
    case TVM_GETCOUNT: return static_cast<LRESULT>(s->live.size());
    case TVM_EXPAND: {
        Node* n = NodeOf(s, reinterpret_cast<HTREEITEM>(lParam));
        if (!n) return FALSE;
        Expand(hwnd, s, n, static_cast<UINT>(wParam) & 3, false);
        return TRUE;
    }
    case TVM_GETNEXTITEM: {
        Node* n = NodeOf(s, reinterpret_cast<HTREEITEM>(lParam));
        auto siblingOf = [&](Node* x, int step) -> Node* {
            if (!x) return nullptr;
            auto& kids = x->parent->kids;
            auto it = std::find_if(kids.begin(), kids.end(), [&](const auto& k) { return k.get() == x; });
            const ptrdiff_t i = (it - kids.begin()) + step;
            return i >= 0 && i < static_cast<ptrdiff_t>(kids.size()) ? kids[static_cast<size_t>(i)].get() : nullptr;
        };
        Node* out = nullptr;
        switch (wParam) {
        case TVGN_ROOT: out = s->root.kids.empty() ? nullptr : s->root.kids.front().get(); break;
        case TVGN_NEXT: out = siblingOf(n, 1); break;
        case TVGN_PREVIOUS: out = siblingOf(n, -1); break;
        case TVGN_PARENT: out = n && n->parent != &s->root ? n->parent : nullptr; break;
        case TVGN_CHILD: {
            Node* p = lParam ? n : &s->root;
            out = p && !p->kids.empty() ? p->kids.front().get() : nullptr;
            break;
        }
        case TVGN_CARET: out = s->selected; break;
        case TVGN_FIRSTVISIBLE:
        case TVGN_NEXTVISIBLE: {
            std::vector<std::pair<Node*, int>> rows;
            Visible(s->root, 0, rows);
            if (wParam == TVGN_FIRSTVISIBLE) {
                out = static_cast<size_t>(s->top) < rows.size() ? rows[static_cast<size_t>(s->top)].first : nullptr;
            } else {
                for (size_t i = 0; i + 1 < rows.size(); ++i)
                    if (rows[i].first == n) out = rows[i + 1].first;
            }
            break;
        }
        default: break;
        }
        return reinterpret_cast<LRESULT>(out ? HandleOf(out) : nullptr);
    }
    case TVM_SELECTITEM: {
        if (wParam != TVGN_CARET) return wParam == TVGN_FIRSTVISIBLE;
        Node* n = lParam ? NodeOf(s, reinterpret_cast<HTREEITEM>(lParam)) : nullptr;
        if (lParam && !n) return FALSE;
        // Selecting an item shows it: its ancestors open.
        for (Node* p = n ? n->parent : nullptr; p && p != &s->root; p = p->parent) p->state |= TVIS_EXPANDED;
        return SelectNode(hwnd, s, n, TVC_UNKNOWN);
    }
    case TVM_GETITEMA:
    case TVM_SETITEMA: {
        auto* item = reinterpret_cast<TVITEMA*>(lParam);
        Node* n = item ? NodeOf(s, item->hItem) : nullptr;
        if (!n) return FALSE;
        if (msg == TVM_SETITEMA) {
            if ((item->mask & TVIF_TEXT) && item->pszText && item->pszText != LPSTR_TEXTCALLBACKA) n->text = item->pszText;
            if (item->mask & TVIF_PARAM) n->param = item->lParam;
            if (item->mask & TVIF_STATE) n->state = (n->state & ~item->stateMask) | (item->state & item->stateMask);
            if (item->mask & TVIF_IMAGE) n->image = item->iImage;
            if (item->mask & TVIF_CHILDREN) n->children = item->cChildren;
            InvalidateRect(hwnd, nullptr, TRUE);
            return TRUE;
        }
        if ((item->mask & TVIF_TEXT) && item->pszText && item->cchTextMax > 0) {
            std::strncpy(item->pszText, n->text.c_str(), item->cchTextMax - 1);
            item->pszText[item->cchTextMax - 1] = 0;
        }
        if (item->mask & TVIF_PARAM) item->lParam = n->param;
        if (item->mask & TVIF_STATE) item->state = n->state & (item->stateMask ? item->stateMask : 0xFFFFFFFF);
        if (item->mask & TVIF_IMAGE) item->iImage = n->image;
        if (item->mask & TVIF_CHILDREN) item->cChildren = n->kids.empty() ? n->children : 1;
        return TRUE;
    }
    case TVM_GETITEMRECT: {
        auto* rect = reinterpret_cast<RECT*>(lParam);
        if (!rect) return FALSE;
        Node* n = NodeOf(s, *reinterpret_cast<HTREEITEM*>(lParam));
        std::vector<std::pair<Node*, int>> rows;
        Visible(s->root, 0, rows);
        for (size_t i = 0; i < rows.size(); ++i)
            if (rows[i].first == n) {
                const int y = static_cast<int>(i) - s->top;
                RECT client;
                GetClientRect(hwnd, &client);
                *rect = wParam ? RECT{(rows[i].second + 1) * kIndent, y * kRow, client.right, (y + 1) * kRow}
                               : RECT{0, y * kRow, client.right, (y + 1) * kRow};
                return TRUE;
            }
        return FALSE;
    }
    case TVM_ENSUREVISIBLE: {
        Node* n = NodeOf(s, reinterpret_cast<HTREEITEM>(lParam));
        if (!n) return FALSE;
        for (Node* p = n->parent; p && p != &s->root; p = p->parent) p->state |= TVIS_EXPANDED;
        InvalidateRect(hwnd, nullptr, TRUE);
        return TRUE;
    }
    case TVM_SORTCHILDREN: {
        Node* n = lParam ? NodeOf(s, reinterpret_cast<HTREEITEM>(lParam)) : &s->root;
        if (!n) return FALSE;
        std::stable_sort(n->kids.begin(), n->kids.end(),
                         [](const auto& a, const auto& b) { return strcasecmp(a->text.c_str(), b->text.c_str()) < 0; });
        InvalidateRect(hwnd, nullptr, TRUE);
        return TRUE;
    }
    case TVM_SETIMAGELIST: {
        HIMAGELIST old = s->images;
        s->images = reinterpret_cast<HIMAGELIST>(lParam);
        return reinterpret_cast<LRESULT>(old);
    }
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK: {
        SetFocus(hwnd);
        std::vector<std::pair<Node*, int>> rows;
        Visible(s->root, 0, rows);
        const size_t i = static_cast<size_t>(s->top + GET_Y_LPARAM(lParam) / kRow);
        if (i >= rows.size()) return 0;
        Node* n = rows[i].first;
        const int base = (GetWindowLongA(hwnd, GWL_STYLE) & TVS_LINESATROOT) ? 1 : 0;
        const int x = (rows[i].second + base) * kIndent;
        // The button left of the label opens or closes; the rest selects.
        if (GET_X_LPARAM(lParam) < x || msg == WM_LBUTTONDBLCLK) {
            if (!n->kids.empty() || n->children > 0) Expand(hwnd, s, n, TVE_TOGGLE, true);
        } else {
            SelectNode(hwnd, s, n, TVC_BYMOUSE);
        }
        NMHDR nm{nullptr, 0, msg == WM_LBUTTONDOWN ? NM_CLICK : NM_DBLCLK};
        SendNotify(hwnd, &nm);
        return 0;
    }
    case WM_KEYDOWN: {
        std::vector<std::pair<Node*, int>> rows;
        Visible(s->root, 0, rows);
        auto it = std::find_if(rows.begin(), rows.end(), [&](const auto& r) { return r.first == s->selected; });
        const ptrdiff_t i = it == rows.end() ? -1 : it - rows.begin();
        if (wParam == VK_DOWN && i + 1 < static_cast<ptrdiff_t>(rows.size())) SelectNode(hwnd, s, rows[static_cast<size_t>(i + 1)].first, TVC_BYKEYBOARD);
        if (wParam == VK_UP && i > 0) SelectNode(hwnd, s, rows[static_cast<size_t>(i - 1)].first, TVC_BYKEYBOARD);
        if (wParam == VK_RIGHT && s->selected) Expand(hwnd, s, s->selected, TVE_EXPAND, true);
        if (wParam == VK_LEFT && s->selected) Expand(hwnd, s, s->selected, TVE_COLLAPSE, true);
        return 0;
    }
    case WM_SETFOCUS:
    case WM_KILLFOCUS: InvalidateRect(hwnd, nullptr, TRUE); return 0;
    case kScriptChoose: {
        // The row'th visible item, clicked on its label.
        std::vector<std::pair<Node*, int>> rows;
        Visible(s->root, 0, rows);
        if (wParam >= rows.size()) return FALSE;
        const int base = (GetWindowLongA(hwnd, GWL_STYLE) & TVS_LINESATROOT) ? 1 : 0;
        const int y = (static_cast<int>(wParam) - s->top) * kRow + 2;
        SendMessageA(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM((rows[wParam].second + base) * kIndent + 4, y));
        return s->selected == rows[wParam].first;
    }
    case WM_DESTROY:
        for (auto& k : s->root.kids) Forget(hwnd, s, k.get());
        s->root.kids.clear();
        return 0;
    default: return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
}

}  // namespace

void RegisterTreeViewClass() { RegisterSystemClass(WC_TREEVIEWA, TreeProc, CS_DBLCLKS, 0, nullptr); }

}  // namespace user
