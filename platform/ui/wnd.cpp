#include "wnd.h"

#include <memory>
#include <mutex>

namespace {

// Attached objects by window, and the wrappers made for windows nobody
// attached (kept until asked for again after their window died).
std::map<HWND, CWnd*>& Permanent()
{
    static std::map<HWND, CWnd*> map;
    return map;
}
std::map<HWND, std::unique_ptr<CWnd>>& Temporary()
{
    static std::map<HWND, std::unique_ptr<CWnd>> map;
    return map;
}
std::recursive_mutex& MapLock()
{
    static std::recursive_mutex lock;
    return lock;
}

}  // namespace

CWnd::~CWnd()
{
    if (m_hWnd && !m_temporary) {
        std::lock_guard guard(MapLock());
        auto it = Permanent().find(m_hWnd);
        if (it != Permanent().end() && it->second == this) Permanent().erase(it);
        if (m_superProc && IsWindow(m_hWnd)) SetWindowLongPtrA(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_superProc));
    }
}

CWnd* CWnd::FromHandlePermanent(HWND hwnd)
{
    std::lock_guard guard(MapLock());
    auto it = Permanent().find(hwnd);
    return it == Permanent().end() ? nullptr : it->second;
}

CWnd* CWnd::FromHandle(HWND hwnd)
{
    if (!hwnd) return nullptr;
    if (CWnd* w = FromHandlePermanent(hwnd)) return w;
    std::lock_guard guard(MapLock());
    auto& temp = Temporary()[hwnd];
    if (!temp) {
        temp = std::make_unique<CWnd>();
        temp->m_hWnd = hwnd;
        temp->m_temporary = true;
    }
    return temp.get();
}

BOOL CWnd::Attach(HWND hwnd)
{
    if (!hwnd || m_hWnd || !IsWindow(hwnd)) return FALSE;
    std::lock_guard guard(MapLock());
    m_hWnd = hwnd;
    Permanent()[hwnd] = this;
    Temporary().erase(hwnd);
    return TRUE;
}

HWND CWnd::Detach()
{
    std::lock_guard guard(MapLock());
    HWND h = m_hWnd;
    if (h) Permanent().erase(h);
    m_hWnd = nullptr;
    return h;
}

BOOL CWnd::SubclassWindow(HWND hwnd)
{
    if (!Attach(hwnd)) return FALSE;
    m_superProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(StandardProc)));
    return TRUE;
}

BOOL CWnd::SubclassDlgItem(UINT id, CWnd* parent)
{
    return parent ? SubclassWindow(::GetDlgItem(parent->m_hWnd, static_cast<int>(id))) : FALSE;
}

CWnd* CWnd::GetDlgItem(int id) const { return FromHandle(::GetDlgItem(m_hWnd, id)); }
CWnd* CWnd::GetParent() const { return FromHandle(::GetParent(m_hWnd)); }

std::string CWnd::GetWindowText() const
{
    const int n = ::GetWindowTextLengthA(m_hWnd);
    std::string s(static_cast<size_t>(n) + 1, '\0');
    s.resize(static_cast<size_t>(::GetWindowTextA(m_hWnd, s.data(), n + 1)));
    return s;
}

std::string CWnd::GetDlgItemText(int id) const
{
    HWND item = ::GetDlgItem(m_hWnd, id);
    return item ? FromHandle(item)->GetWindowText() : std::string();
}

void CWnd::ScreenToClient(LPRECT r) const
{
    ::ScreenToClient(m_hWnd, reinterpret_cast<POINT*>(&r->left));
    ::ScreenToClient(m_hWnd, reinterpret_cast<POINT*>(&r->right));
}

void CWnd::ClientToScreen(LPRECT r) const
{
    ::ClientToScreen(m_hWnd, reinterpret_cast<POINT*>(&r->left));
    ::ClientToScreen(m_hWnd, reinterpret_cast<POINT*>(&r->right));
}

CWnd* CWnd::SetFocus() { return FromHandle(::SetFocus(m_hWnd)); }

int CWnd::MessageBox(const std::string& text, const std::string& caption, UINT type) const
{
    return ::MessageBoxA(m_hWnd, text.c_str(), caption.empty() ? nullptr : caption.c_str(), type);
}

BOOL CWnd::CreateEx(DWORD exStyle, const char* cls, const char* name, DWORD style, const RECT& r, CWnd* parent, UINT id)
{
    if (m_hWnd) return FALSE;
    HWND hwnd = CreateWindowExA(exStyle, cls, name, style, r.left, r.top, r.right - r.left, r.bottom - r.top,
                                parent ? parent->m_hWnd : nullptr,
                                reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id)), nullptr, nullptr);
    return hwnd ? SubclassWindow(hwnd) : FALSE;
}

BOOL CWnd::DestroyWindow() { return m_hWnd ? ::DestroyWindow(m_hWnd) : FALSE; }

void CWnd::OnCommandRoute(UINT id, UINT code, std::function<void()> handler) { commands_[{id, code}] = std::move(handler); }

void CWnd::OnNotifyRoute(UINT id, UINT code, std::function<LRESULT(NMHDR*)> handler)
{
    notifies_[{id, code}] = std::move(handler);
}

void CWnd::OnMessageRoute(UINT msg, std::function<LRESULT(WPARAM, LPARAM)> handler) { messages_[msg] = std::move(handler); }

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM)
{
    auto it = commands_.find({LOWORD(wParam), HIWORD(wParam)});
    if (it == commands_.end()) return FALSE;
    it->second();
    return TRUE;
}

BOOL CWnd::OnNotify(WPARAM, LPARAM lParam, LRESULT* result)
{
    auto* nm = reinterpret_cast<NMHDR*>(lParam);
    if (!nm) return FALSE;
    auto it = notifies_.find({static_cast<UINT>(nm->idFrom), nm->code});
    if (it == notifies_.end()) return FALSE;
    *result = it->second(nm);
    return TRUE;
}

HBRUSH CWnd::OnCtlColor(HDC dc, CWnd* control, UINT kind)
{
    return reinterpret_cast<HBRUSH>(
        DefWindowProc(kind, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(control ? control->m_hWnd : nullptr)));
}

void CWnd::OnDrawItem(int, LPDRAWITEMSTRUCT) {}
void CWnd::OnMeasureItem(int, LPMEASUREITEMSTRUCT) {}

LRESULT CWnd::DefWindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (m_superProc) return CallWindowProcA(m_superProc, m_hWnd, msg, wParam, lParam);
    return ::DefWindowProcA(m_hWnd, msg, wParam, lParam);
}

void CWnd::OnReflectRoute(UINT code, std::function<LRESULT(NMHDR*)> handler) { reflected_[code] = std::move(handler); }

BOOL CWnd::OnChildNotify(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result)
{
    if (msg == WM_NOTIFY) {
        auto* nm = reinterpret_cast<NMHDR*>(lParam);
        auto it = reflected_.find(nm->code);
        if (it == reflected_.end()) return FALSE;
        *result = it->second(nm);
        return TRUE;
    }
    if (msg >= WM_CTLCOLORMSGBOX && msg <= WM_CTLCOLORSTATIC) {
        HBRUSH brush = CtlColor(reinterpret_cast<HDC>(wParam), msg);
        if (!brush) return FALSE;
        *result = reinterpret_cast<LRESULT>(brush);
        return TRUE;
    }
    return FALSE;
}

BOOL COwnerDrawn::OnChildNotify(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result)
{
    if (msg == WM_DRAWITEM) {
        DrawItem(reinterpret_cast<LPDRAWITEMSTRUCT>(lParam));
        *result = TRUE;
        return TRUE;
    }
    if (msg == WM_MEASUREITEM) {
        MeasureItem(reinterpret_cast<LPMEASUREITEMSTRUCT>(lParam));
        *result = TRUE;
        return TRUE;
    }
    return CWnd::OnChildNotify(msg, wParam, lParam, result);
}

namespace {

// The control a parent's message comes from, for reflection.
HWND ControlOf(HWND parent, UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_NOTIFY: return lParam ? reinterpret_cast<NMHDR*>(lParam)->hwndFrom : nullptr;
    case WM_DRAWITEM: return lParam ? reinterpret_cast<DRAWITEMSTRUCT*>(lParam)->hwndItem : nullptr;
    case WM_MEASUREITEM: return lParam ? GetDlgItem(parent, static_cast<int>(reinterpret_cast<MEASUREITEMSTRUCT*>(lParam)->CtlID)) : nullptr;
    case WM_COMMAND:
    case WM_HSCROLL:
    case WM_VSCROLL:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC: return reinterpret_cast<HWND>(lParam);
    default: (void)wParam; return nullptr;
    }
}

}  // namespace

LRESULT CWnd::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (auto it = messages_.find(msg); it != messages_.end()) return it->second(wParam, lParam);
    if (HWND control = ControlOf(m_hWnd, msg, wParam, lParam); control && control != m_hWnd) {
        CWnd* child = FromHandlePermanent(control);
        LRESULT result = 0;
        if (child && child->OnChildNotify(msg, wParam, lParam, &result)) return result;
    }
    switch (msg) {
    case WM_COMMAND:
        if (OnCommand(wParam, lParam)) return 0;
        break;
    case WM_NOTIFY: {
        LRESULT result = 0;
        if (OnNotify(wParam, lParam, &result)) return result;
        break;
    }
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
        return reinterpret_cast<LRESULT>(
            OnCtlColor(reinterpret_cast<HDC>(wParam), FromHandle(reinterpret_cast<HWND>(lParam)), msg));
    case WM_DRAWITEM: OnDrawItem(static_cast<int>(wParam), reinterpret_cast<LPDRAWITEMSTRUCT>(lParam)); return TRUE;
    case WM_MEASUREITEM: OnMeasureItem(static_cast<int>(wParam), reinterpret_cast<LPMEASUREITEMSTRUCT>(lParam)); return TRUE;
    case WM_TIMER: OnTimer(wParam); return 0;
    case WM_HSCROLL: OnHScroll(LOWORD(wParam), HIWORD(wParam), FromHandle(reinterpret_cast<HWND>(lParam))); return 0;
    case WM_VSCROLL: OnVScroll(LOWORD(wParam), HIWORD(wParam), FromHandle(reinterpret_cast<HWND>(lParam))); return 0;
    case WM_DESTROY: OnDestroy(); break;
    default: break;
    }
    return DefWindowProc(msg, wParam, lParam);
}

LRESULT CALLBACK CWnd::StandardProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    CWnd* w = FromHandlePermanent(hwnd);
    if (!w) return ::DefWindowProcA(hwnd, msg, wParam, lParam);
    const LRESULT r = w->WindowProc(msg, wParam, lParam);
    if (msg == WM_NCDESTROY) {
        w->Detach();
        w->PostNcDestroy();
    }
    return r;
}

int CTabCtrl::InsertItem(int index, const char* text)
{
    TCITEMA item{TCIF_TEXT, 0, 0, const_cast<char*>(text), 0, -1, 0};
    return static_cast<int>(SendMessage(TCM_INSERTITEMA, index, reinterpret_cast<LPARAM>(&item)));
}

int CListCtrl::InsertColumn(int index, const char* heading, int format, int width, int subItem)
{
    LVCOLUMNA col{LVCF_TEXT | LVCF_FMT, format, width, const_cast<char*>(heading), 0, subItem};
    if (width >= 0) col.mask |= LVCF_WIDTH;
    if (subItem >= 0) col.mask |= LVCF_SUBITEM;
    return static_cast<int>(SendMessage(LVM_INSERTCOLUMNA, index, reinterpret_cast<LPARAM>(&col)));
}

int CListCtrl::InsertItem(int index, const char* text, LPARAM data)
{
    LVITEMA item{LVIF_TEXT | LVIF_PARAM, index, 0, 0, 0, const_cast<char*>(text), 0, 0, data, 0};
    return static_cast<int>(SendMessage(LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
}

BOOL CListCtrl::SetItemText(int item, int sub, const char* text)
{
    LVITEMA it{LVIF_TEXT, item, sub, 0, 0, const_cast<char*>(text), 0, 0, 0, 0};
    return static_cast<BOOL>(SendMessage(LVM_SETITEMTEXTA, item, reinterpret_cast<LPARAM>(&it)));
}

std::string CListCtrl::GetItemText(int item, int sub) const
{
    char text[512] = {};
    LVITEMA it{LVIF_TEXT, item, sub, 0, 0, text, sizeof text, 0, 0, 0};
    SendMessage(LVM_GETITEMTEXTA, item, reinterpret_cast<LPARAM>(&it));
    return text;
}

BOOL CListCtrl::SetItemState(int item, UINT state, UINT mask)
{
    LVITEMA it{LVIF_STATE, item, 0, state, mask, nullptr, 0, 0, 0, 0};
    return static_cast<BOOL>(SendMessage(LVM_SETITEMSTATE, item, reinterpret_cast<LPARAM>(&it)));
}

LPARAM CListCtrl::GetItemData(int item) const
{
    LVITEMA it{LVIF_PARAM, item, 0, 0, 0, nullptr, 0, 0, 0, 0};
    SendMessage(LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&it));
    return it.lParam;
}

BOOL CListCtrl::SetItemData(int item, LPARAM data)
{
    LVITEMA it{LVIF_PARAM, item, 0, 0, 0, nullptr, 0, 0, data, 0};
    return static_cast<BOOL>(SendMessage(LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&it)));
}

HTREEITEM CTreeCtrl::InsertItem(const char* text, HTREEITEM parent, HTREEITEM after, LPARAM data)
{
    TVINSERTSTRUCTA ins{parent, after, {TVIF_TEXT | TVIF_PARAM, nullptr, 0, 0, const_cast<char*>(text), 0, 0, 0, 0, data}};
    return reinterpret_cast<HTREEITEM>(SendMessage(TVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&ins)));
}

std::string CTreeCtrl::GetItemText(HTREEITEM item) const
{
    char text[512] = {};
    TVITEMA it{TVIF_TEXT, item, 0, 0, text, sizeof text, 0, 0, 0, 0};
    SendMessage(TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&it));
    return text;
}

LPARAM CTreeCtrl::GetItemData(HTREEITEM item) const
{
    TVITEMA it{TVIF_PARAM, item, 0, 0, nullptr, 0, 0, 0, 0, 0};
    SendMessage(TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&it));
    return it.lParam;
}

BOOL CToolTipCtrl::Create(CWnd* parent)
{
    return CreateEx(0, TOOLTIPS_CLASSA, "", WS_POPUP, RECT{0, 0, 0, 0}, parent, 0);
}

BOOL CToolTipCtrl::AddTool(CWnd* tool, const char* text)
{
    if (!tool) return FALSE;
    TOOLINFOA info{sizeof(TOOLINFOA), TTF_IDISHWND | TTF_SUBCLASS, ::GetParent(tool->m_hWnd),
                   reinterpret_cast<UINT_PTR>(tool->m_hWnd), {0, 0, 0, 0}, nullptr, const_cast<char*>(text), 0};
    return static_cast<BOOL>(SendMessage(TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&info)));
}

BOOL CBrush::CreateSolidBrush(COLORREF color)
{
    DeleteObject();
    m_hObject = ::CreateSolidBrush(color);
    return m_hObject != nullptr;
}

BOOL CBrush::DeleteObject()
{
    if (!m_hObject) return FALSE;
    const BOOL ok = ::DeleteObject(m_hObject);
    m_hObject = nullptr;
    return ok;
}
