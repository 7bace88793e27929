#include "propsheet.h"

namespace {

// The sheet being shown: its window's first messages come before the
// object can be found by handle.
thread_local CPropertySheet* showing = nullptr;

}  // namespace

CPropertyPage::CPropertyPage(UINT templateId, UINT captionId) : CDialog(templateId)
{
    m_psp.dwSize = sizeof m_psp;
    m_psp.dwFlags = PSP_DEFAULT;
    m_psp.hInstance = ResourceModule();
    m_psp.pszTemplate = MAKEINTRESOURCEA(templateId);
    m_psp.pfnDlgProc = PageProc;
    m_psp.lParam = reinterpret_cast<LPARAM>(this);
    if (captionId) {
        static thread_local char title[256];
        if (LoadStringA(ResourceModule(), captionId, title, sizeof title)) {
            m_psp.dwFlags |= PSP_USETITLE;
            m_psp.pszTitle = title;
        }
    }
}

INT_PTR CALLBACK CPropertyPage::PageProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto* page = static_cast<CPropertyPage*>(FromHandlePermanent(hwnd));
    if (!page && msg == WM_INITDIALOG) {
        page = reinterpret_cast<CPropertyPage*>(reinterpret_cast<PROPSHEETPAGEA*>(lParam)->lParam);
        page->Attach(hwnd);
    }
    return page ? Dispatch(page, hwnd, msg, wParam, lParam) : FALSE;
}

LRESULT CPropertyPage::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_NOTIFY) {
        auto* nm = reinterpret_cast<NMHDR*>(lParam);
        switch (nm->code) {
        case PSN_SETACTIVE: return OnSetActive() ? 0 : -1;
        case PSN_KILLACTIVE: return OnKillActive() ? FALSE : TRUE;
        case PSN_APPLY: return OnApply() ? PSNRET_NOERROR : PSNRET_INVALID_NOCHANGEPAGE;
        case PSN_RESET: OnReset(); return 0;
        case PSN_QUERYCANCEL: return OnQueryCancel() ? FALSE : TRUE;
        default: break;
        }
    }
    return CDialog::WindowProc(msg, wParam, lParam);
}

BOOL CPropertyPage::OnSetActive()
{
    // The first time the page shows, its controls take the members.
    if (m_firstSetActive) {
        m_firstSetActive = false;
        return TRUE;  // OnInitDialog did the exchange
    }
    return TRUE;
}

BOOL CPropertyPage::OnKillActive() { return UpdateData(TRUE); }

BOOL CPropertyPage::OnApply()
{
    OnOK();
    return TRUE;
}

void CPropertyPage::OnReset() { OnCancel(); }

void CPropertyPage::SetModified(BOOL changed)
{
    HWND sheet = ::GetParent(m_hWnd);
    if (sheet) ::SendMessageA(sheet, changed ? PSM_CHANGED : PSM_UNCHANGED, reinterpret_cast<WPARAM>(m_hWnd), 0);
}

LRESULT CPropertyPage::QuerySiblings(WPARAM wParam, LPARAM lParam)
{
    HWND sheet = ::GetParent(m_hWnd);
    return sheet ? ::SendMessageA(sheet, PSM_QUERYSIBLINGS, wParam, lParam) : 0;
}

void CPropertyPage::CancelToClose()
{
    if (HWND sheet = ::GetParent(m_hWnd)) ::SendMessageA(sheet, PSM_CANCELTOCLOSE, 0, 0);
}

CPropertySheet::CPropertySheet(const char* caption, CWnd* parent, UINT selectPage)
    : caption_(caption ? caption : ""), parent_(parent), start_(selectPage)
{
}

void CPropertySheet::AddPage(CPropertyPage* page)
{
    if (!page) return;
    pages_.push_back(page);
    page->m_sheet = this;
    if (m_hWnd) {
        HPROPSHEETPAGE h = CreatePropertySheetPageA(&page->m_psp);
        SendMessage(PSM_ADDPAGE, 0, reinterpret_cast<LPARAM>(h));
    }
}

void CPropertySheet::RemovePage(CPropertyPage* page)
{
    for (size_t i = 0; i < pages_.size(); ++i)
        if (pages_[i] == page) {
            if (m_hWnd) SendMessage(PSM_REMOVEPAGE, i, 0);
            pages_.erase(pages_.begin() + static_cast<ptrdiff_t>(i));
            return;
        }
}

CPropertyPage* CPropertySheet::GetPage(int index) const
{
    return index >= 0 && index < static_cast<int>(pages_.size()) ? pages_[index] : nullptr;
}

CPropertyPage* CPropertySheet::GetActivePage() const
{
    const int i = GetActiveIndex();
    return i >= 0 ? pages_[i] : nullptr;
}

int CPropertySheet::GetActiveIndex() const
{
    if (!m_hWnd) return static_cast<int>(start_);
    HWND page = reinterpret_cast<HWND>(SendMessage(PSM_GETCURRENTPAGEHWND));
    for (size_t i = 0; i < pages_.size(); ++i)
        if (pages_[i]->m_hWnd && pages_[i]->m_hWnd == page) return static_cast<int>(i);
    return -1;
}

BOOL CPropertySheet::SetActivePage(int index)
{
    if (!m_hWnd) {
        start_ = static_cast<UINT>(index);
        return TRUE;
    }
    return static_cast<BOOL>(SendMessage(PSM_SETCURSEL, static_cast<WPARAM>(index), 0));
}

CTabCtrl* CPropertySheet::GetTabControl() const
{
    // A wrapper of the sheet's own tab control, kept as long as the sheet.
    static thread_local CTabCtrl tab;
    HWND h = reinterpret_cast<HWND>(SendMessage(PSM_GETTABCONTROL));
    if (tab.m_hWnd != h) {
        tab.Detach();
        tab.Attach(h);
    }
    return h ? &tab : nullptr;
}

int CALLBACK CPropertySheet::SheetCallback(HWND hwnd, UINT msg, LPARAM)
{
    if (msg != PSCB_INITIALIZED || !showing) return 0;
    // The sheet's window goes through this object from now on.
    CPropertySheet* sheet = showing;
    sheet->SubclassWindow(hwnd);
    sheet->OnInitDialog();
    return 0;
}

INT_PTR CPropertySheet::DoModal()
{
    if (pages_.empty() || m_hWnd) return -1;
    built_.clear();
    for (CPropertyPage* p : pages_) {
        p->m_firstSetActive = true;
        built_.push_back(p->m_psp);
    }
    m_psh.dwSize = sizeof m_psh;
    m_psh.dwFlags |= PSH_PROPSHEETPAGE | PSH_USECALLBACK;
    m_psh.hwndParent = parent_ ? parent_->m_hWnd : nullptr;
    m_psh.hInstance = CDialog::ResourceModule();
    m_psh.pszCaption = caption_.c_str();
    m_psh.nPages = static_cast<UINT>(built_.size());
    m_psh.nStartPage = start_;
    m_psh.ppsp = built_.data();
    m_psh.pfnCallback = SheetCallback;
    CPropertySheet* outer = showing;
    showing = this;
    const INT_PTR r = PropertySheetA(&m_psh);
    showing = outer;
    if (m_hWnd) Detach();
    return r < 0 ? -1 : r > 0 ? IDOK : IDCANCEL;
}
