// CPropertyPage and CPropertySheet over PropertySheet: a page is a CDialog
// whose template the sheet shows in its tab; it exchanges its data when it
// is left and applied; the sheet's own window can be handled in
// OnInitDialog and WindowProc as a dialog's.
#pragma once

#include <vector>

#include "dialog.h"

class CPropertySheet;

class CPropertyPage : public CDialog {
public:
    explicit CPropertyPage(UINT templateId, UINT captionId = 0);

    // The sheet's questions, answered by default with the page's data
    // exchange: leaving saves and checks the controls; applying keeps them.
    virtual BOOL OnSetActive();
    virtual BOOL OnKillActive();
    virtual BOOL OnApply();
    virtual void OnReset();
    virtual BOOL OnQueryCancel() { return TRUE; }
    void OnOK() override {}
    void OnCancel() override {}

    void SetModified(BOOL changed = TRUE);
    LRESULT QuerySiblings(WPARAM wParam, LPARAM lParam);
    void CancelToClose();
    CPropertySheet* GetSheet() const { return m_sheet; }

    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

    PROPSHEETPAGEA m_psp{};

protected:
    static INT_PTR CALLBACK PageProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    CPropertySheet* m_sheet = nullptr;
    bool m_firstSetActive = true;
    friend class CPropertySheet;
};

class CPropertySheet : public CWnd {
public:
    explicit CPropertySheet(const char* caption, CWnd* parent = nullptr, UINT selectPage = 0);

    void AddPage(CPropertyPage* page);
    void RemovePage(CPropertyPage* page);
    int GetPageCount() const { return static_cast<int>(pages_.size()); }
    CPropertyPage* GetPage(int index) const;
    CPropertyPage* GetActivePage() const;
    int GetActiveIndex() const;
    BOOL SetActivePage(int index);
    CTabCtrl* GetTabControl() const;
    BOOL PressButton(int button) { return PostMessage(PSM_PRESSBUTTON, static_cast<WPARAM>(button)), TRUE; }
    void SetTitle(const char* title) { caption_ = title ? title : ""; if (m_hWnd) SetWindowText(caption_); }

    // IDOK when OK ended the sheet, IDCANCEL when Cancel did, -1 when it
    // could not be shown.
    virtual INT_PTR DoModal();
    virtual BOOL OnInitDialog() { return TRUE; }

    PROPSHEETHEADERA m_psh{};

protected:
    static int CALLBACK SheetCallback(HWND hwnd, UINT msg, LPARAM lParam);
    std::vector<CPropertyPage*> pages_;
    std::vector<PROPSHEETPAGEA> built_;
    std::string caption_;
    CWnd* parent_ = nullptr;
    UINT start_ = 0;
};
