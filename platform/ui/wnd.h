// The window classes the system's applets and dialogs derive from: CWnd
// wraps a window handle, routes commands and notifications to handlers
// registered by control id, and gives the virtual handlers the dialogs
// override; thin wrappers for the controls they drive; CBrush.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <tuple>

#include "platform/user/commctrl.h"
#include "platform/user/user.h"

class CObject {
public:
    virtual ~CObject() = default;
};

class CWnd : public CObject {
public:
    CWnd() = default;
    ~CWnd() override;
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    HWND m_hWnd = nullptr;
    HWND GetSafeHwnd() const { return m_hWnd; }
    operator HWND() const { return m_hWnd; }

    // The object of a window: the one attached, or a temporary wrapper kept
    // until the window is destroyed.
    static CWnd* FromHandle(HWND hwnd);
    static CWnd* FromHandlePermanent(HWND hwnd);
    BOOL Attach(HWND hwnd);
    HWND Detach();
    // Routes a window made elsewhere (a dialog's control) through this
    // object's WindowProc, keeping its own procedure as the default.
    BOOL SubclassWindow(HWND hwnd);
    BOOL SubclassDlgItem(UINT id, CWnd* parent);

    CWnd* GetDlgItem(int id) const;
    CWnd* GetParent() const;
    int GetDlgCtrlID() const { return ::GetDlgCtrlID(m_hWnd); }
    void SetWindowText(const std::string& text) { ::SetWindowTextA(m_hWnd, text.c_str()); }
    std::string GetWindowText() const;
    int GetWindowTextLength() const { return ::GetWindowTextLengthA(m_hWnd); }
    void SetDlgItemText(int id, const std::string& text) { ::SetDlgItemTextA(m_hWnd, id, text.c_str()); }
    std::string GetDlgItemText(int id) const;
    void SetDlgItemInt(int id, UINT value, BOOL isSigned = TRUE) { ::SetDlgItemInt(m_hWnd, id, value, isSigned); }
    UINT GetDlgItemInt(int id, BOOL* ok = nullptr, BOOL isSigned = TRUE) const { return ::GetDlgItemInt(m_hWnd, id, ok, isSigned); }
    void CheckDlgButton(int id, UINT check) { ::CheckDlgButton(m_hWnd, id, check); }
    UINT IsDlgButtonChecked(int id) const { return ::IsDlgButtonChecked(m_hWnd, id); }
    BOOL EnableWindow(BOOL enable = TRUE) { return ::EnableWindow(m_hWnd, enable); }
    BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
    BOOL ShowWindow(int cmd) { return ::ShowWindow(m_hWnd, cmd); }
    BOOL IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }
    void MoveWindow(int x, int y, int w, int h, BOOL repaint = TRUE) { ::MoveWindow(m_hWnd, x, y, w, h, repaint); }
    void MoveWindow(const RECT& r, BOOL repaint = TRUE) { MoveWindow(r.left, r.top, r.right - r.left, r.bottom - r.top, repaint); }
    BOOL SetWindowPos(const CWnd* after, int x, int y, int cx, int cy, UINT flags)
    {
        return ::SetWindowPos(m_hWnd, after ? after->m_hWnd : nullptr, x, y, cx, cy, flags);
    }
    void GetWindowRect(LPRECT r) const { ::GetWindowRect(m_hWnd, r); }
    void GetClientRect(LPRECT r) const { ::GetClientRect(m_hWnd, r); }
    void ScreenToClient(LPRECT r) const;
    void ClientToScreen(LPRECT r) const;
    void ScreenToClient(LPPOINT p) const { ::ScreenToClient(m_hWnd, p); }
    void ClientToScreen(LPPOINT p) const { ::ClientToScreen(m_hWnd, p); }
    LRESULT SendMessage(UINT msg, WPARAM w = 0, LPARAM l = 0) const { return ::SendMessageA(m_hWnd, msg, w, l); }
    BOOL PostMessage(UINT msg, WPARAM w = 0, LPARAM l = 0) const { return ::PostMessageA(m_hWnd, msg, w, l); }
    LRESULT SendDlgItemMessage(int id, UINT msg, WPARAM w = 0, LPARAM l = 0) const
    {
        return ::SendDlgItemMessageA(m_hWnd, id, msg, w, l);
    }
    void Invalidate(BOOL erase = TRUE) { ::InvalidateRect(m_hWnd, nullptr, erase); }
    void InvalidateRect(const RECT* r, BOOL erase = TRUE) { ::InvalidateRect(m_hWnd, r, erase); }
    void UpdateWindow() { ::UpdateWindow(m_hWnd); }
    void SetFont(HFONT font, BOOL redraw = TRUE) { SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(font), redraw); }
    HFONT GetFont() const { return reinterpret_cast<HFONT>(SendMessage(WM_GETFONT)); }
    UINT_PTR SetTimer(UINT_PTR id, UINT elapse, TIMERPROC proc = nullptr) { return ::SetTimer(m_hWnd, id, elapse, proc); }
    BOOL KillTimer(UINT_PTR id) { return ::KillTimer(m_hWnd, id); }
    CWnd* SetFocus();
    int MessageBox(const std::string& text, const std::string& caption = "", UINT type = MB_OK) const;
    BOOL CreateEx(DWORD exStyle, const char* cls, const char* name, DWORD style, const RECT& r, CWnd* parent, UINT id);
    BOOL Create(const char* cls, const char* name, DWORD style, const RECT& r, CWnd* parent, UINT id)
    {
        return CreateEx(0, cls, name, style, r, parent, id);
    }
    virtual BOOL DestroyWindow();

    // Routing by id: a handler for one control's command code (BN_CLICKED,
    // EN_CHANGE, ...), one control's notification code (WM_NOTIFY), or a
    // message to the window itself. Registered handlers run before the
    // virtual defaults below.
    void OnCommandRoute(UINT id, UINT code, std::function<void()> handler);
    void OnNotifyRoute(UINT id, UINT code, std::function<LRESULT(NMHDR*)> handler);
    void OnMessageRoute(UINT msg, std::function<LRESULT(WPARAM, LPARAM)> handler);

    // Reflection: what a control tells its parent (WM_NOTIFY, WM_COMMAND,
    // WM_DRAWITEM, WM_MEASUREITEM, WM_CTLCOLOR*, WM_HSCROLL/WM_VSCROLL) is
    // first offered to the control's own object; TRUE when it took it.
    virtual BOOL OnChildNotify(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result);
    // A notification code of this control handled by the control itself.
    void OnReflectRoute(UINT code, std::function<LRESULT(NMHDR*)> handler);
    // The colours of this control, reflected from its parent's WM_CTLCOLOR*:
    // null leaves them to the parent.
    virtual HBRUSH CtlColor(HDC dc, UINT kind)
    {
        (void)dc, (void)kind;
        return nullptr;
    }

    virtual LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam);
    virtual LRESULT DefWindowProc(UINT msg, WPARAM wParam, LPARAM lParam);
    // True when handled; *result the answer.
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
    virtual BOOL OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* result);
    virtual HBRUSH OnCtlColor(HDC dc, CWnd* control, UINT kind);  // kind: WM_CTLCOLOR*
    virtual void OnDrawItem(int id, LPDRAWITEMSTRUCT dis);
    virtual void OnMeasureItem(int id, LPMEASUREITEMSTRUCT mis);
    virtual void OnTimer(UINT_PTR id) { (void)id; }
    virtual void OnHScroll(UINT code, UINT pos, CWnd* bar) { (void)code, (void)pos, (void)bar; }
    virtual void OnVScroll(UINT code, UINT pos, CWnd* bar) { (void)code, (void)pos, (void)bar; }
    virtual void OnDestroy() {}
    // Called last for a window this object owned: the object may delete itself.
    virtual void PostNcDestroy() {}

protected:
    // The procedure every attached window is given.
    static LRESULT CALLBACK StandardProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    WNDPROC m_superProc = nullptr;  // what StandardProc passes the rest to
    bool m_temporary = false;

private:
    std::map<std::pair<UINT, UINT>, std::function<void()>> commands_;
    std::map<std::pair<UINT, UINT>, std::function<LRESULT(NMHDR*)>> notifies_;
    std::map<UINT, std::function<LRESULT(WPARAM, LPARAM)>> messages_;
    std::map<UINT, std::function<LRESULT(NMHDR*)>> reflected_;
    friend class CDialog;
};

// A control that draws its own items (owner draw): WM_DRAWITEM and
// WM_MEASUREITEM reflected from its parent reach DrawItem and MeasureItem.
class COwnerDrawn : public CWnd {
public:
    virtual void DrawItem(LPDRAWITEMSTRUCT dis) { (void)dis; }
    virtual void MeasureItem(LPMEASUREITEMSTRUCT mis) { (void)mis; }
    BOOL OnChildNotify(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result) override;
};

class CStatic : public COwnerDrawn {
public:
    HICON SetIcon(HICON icon) { return reinterpret_cast<HICON>(SendMessage(STM_SETICON, reinterpret_cast<WPARAM>(icon))); }
    HBITMAP SetBitmap(HBITMAP b)
    {
        return reinterpret_cast<HBITMAP>(SendMessage(STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(b)));
    }
};

class CTabCtrl : public CWnd {
public:
    int InsertItem(int index, const char* text);
    int GetItemCount() const { return static_cast<int>(SendMessage(TCM_GETITEMCOUNT)); }
    int GetCurSel() const { return static_cast<int>(SendMessage(TCM_GETCURSEL)); }
    int SetCurSel(int index) { return static_cast<int>(SendMessage(TCM_SETCURSEL, index)); }
    BOOL GetItemRect(int index, LPRECT r) const { return static_cast<BOOL>(SendMessage(TCM_GETITEMRECT, index, reinterpret_cast<LPARAM>(r))); }
    void AdjustRect(BOOL larger, LPRECT r) { SendMessage(TCM_ADJUSTRECT, larger, reinterpret_cast<LPARAM>(r)); }
    BOOL DeleteAllItems() { return static_cast<BOOL>(SendMessage(TCM_DELETEALLITEMS)); }
};

class CListCtrl : public COwnerDrawn {
public:
    int InsertColumn(int index, const char* heading, int format = LVCFMT_LEFT, int width = -1, int subItem = -1);
    int InsertItem(int index, const char* text, LPARAM data = 0);
    BOOL SetItemText(int item, int sub, const char* text);
    std::string GetItemText(int item, int sub) const;
    int GetItemCount() const { return static_cast<int>(SendMessage(LVM_GETITEMCOUNT)); }
    BOOL DeleteItem(int item) { return static_cast<BOOL>(SendMessage(LVM_DELETEITEM, item)); }
    BOOL DeleteAllItems() { return static_cast<BOOL>(SendMessage(LVM_DELETEALLITEMS)); }
    int GetNextItem(int start, UINT flags) const { return static_cast<int>(SendMessage(LVM_GETNEXTITEM, start, flags)); }
    BOOL SetItemState(int item, UINT state, UINT mask);
    UINT GetItemState(int item, UINT mask) const { return static_cast<UINT>(SendMessage(LVM_GETITEMSTATE, item, mask)); }
    LPARAM GetItemData(int item) const;
    BOOL SetItemData(int item, LPARAM data);
    BOOL SortItems(PFNLVCOMPARE compare, LPARAM data) { return static_cast<BOOL>(SendMessage(LVM_SORTITEMS, data, reinterpret_cast<LPARAM>(compare))); }
    DWORD SetExtendedStyle(DWORD style) { return static_cast<DWORD>(SendMessage(LVM_SETEXTENDEDLISTVIEWSTYLE, 0, style)); }
    void SetItemCount(int count) { SendMessage(LVM_SETITEMCOUNT, count); }
    BOOL SetColumnWidth(int column, int width) { return static_cast<BOOL>(SendMessage(LVM_SETCOLUMNWIDTH, column, width)); }
    BOOL SetBkColor(COLORREF c) { return static_cast<BOOL>(SendMessage(LVM_SETBKCOLOR, 0, c)); }
    BOOL SetTextColor(COLORREF c) { return static_cast<BOOL>(SendMessage(LVM_SETTEXTCOLOR, 0, c)); }
    BOOL SetTextBkColor(COLORREF c) { return static_cast<BOOL>(SendMessage(LVM_SETTEXTBKCOLOR, 0, c)); }
    BOOL EnsureVisible(int item) { return static_cast<BOOL>(SendMessage(LVM_ENSUREVISIBLE, item)); }
};

class CTreeCtrl : public CWnd {
public:
    HTREEITEM InsertItem(const char* text, HTREEITEM parent = TVI_ROOT, HTREEITEM after = TVI_LAST, LPARAM data = 0);
    HTREEITEM GetSelectedItem() const { return Next(nullptr, TVGN_CARET); }
    HTREEITEM GetRootItem() const { return Next(nullptr, TVGN_ROOT); }
    HTREEITEM GetChildItem(HTREEITEM item) const { return Next(item, TVGN_CHILD); }
    HTREEITEM GetNextSiblingItem(HTREEITEM item) const { return Next(item, TVGN_NEXT); }
    HTREEITEM GetParentItem(HTREEITEM item) const { return Next(item, TVGN_PARENT); }
    BOOL SelectItem(HTREEITEM item) { return static_cast<BOOL>(SendMessage(TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item))); }
    BOOL Expand(HTREEITEM item, UINT code) { return static_cast<BOOL>(SendMessage(TVM_EXPAND, code, reinterpret_cast<LPARAM>(item))); }
    std::string GetItemText(HTREEITEM item) const;
    LPARAM GetItemData(HTREEITEM item) const;
    BOOL DeleteItem(HTREEITEM item) { return static_cast<BOOL>(SendMessage(TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(item))); }
    BOOL DeleteAllItems() { return DeleteItem(TVI_ROOT); }
    UINT GetCount() const { return static_cast<UINT>(SendMessage(TVM_GETCOUNT)); }

private:
    HTREEITEM Next(HTREEITEM item, UINT code) const
    {
        return reinterpret_cast<HTREEITEM>(SendMessage(TVM_GETNEXTITEM, code, reinterpret_cast<LPARAM>(item)));
    }
};

class CToolTipCtrl : public CWnd {
public:
    BOOL Create(CWnd* parent);
    BOOL AddTool(CWnd* tool, const char* text);
    void Activate(BOOL active) { SendMessage(TTM_ACTIVATE, active); }
    int GetToolCount() const { return static_cast<int>(SendMessage(TTM_GETTOOLCOUNT)); }
};

class CBrush : public CObject {
public:
    CBrush() = default;
    explicit CBrush(COLORREF color) { CreateSolidBrush(color); }
    ~CBrush() override { DeleteObject(); }
    BOOL CreateSolidBrush(COLORREF color);
    BOOL DeleteObject();
    operator HBRUSH() const { return m_hObject; }
    HBRUSH m_hObject = nullptr;
};
