// CDialog: a dialog from a template of its module, modal (DoModal) or
// modeless (Create), with data exchange between its controls and its
// members (DoDataExchange, UpdateData) and OnOK/OnCancel; CDataExchange
// and the DDX_/DDV_ routines the dialogs call from DoDataExchange.
#pragma once

#include <string>

#include "wnd.h"

class CDataExchange;

class CDialog : public CWnd {
public:
    CDialog() = default;
    explicit CDialog(UINT templateId, CWnd* parent = nullptr) : m_nIDTemplate(templateId), m_pParentWnd(parent) {}

    // The module whose templates and strings the dialogs use; set by the
    // application (or library) once.
    static void SetResourceModule(HINSTANCE module);
    static HINSTANCE ResourceModule();

    virtual INT_PTR DoModal();
    BOOL Create(UINT templateId, CWnd* parent = nullptr);
    void EndDialog(int result);
    // Moves data between the controls and the members: from the controls
    // when 'save' (false, with the failing control focused, when a check
    // refused), to them otherwise.
    BOOL UpdateData(BOOL save = TRUE);

    virtual BOOL OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();
    virtual void DoDataExchange(CDataExchange* dx) { (void)dx; }

    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;
    LRESULT DefWindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

    UINT m_nIDTemplate = 0;
    CWnd* m_pParentWnd = nullptr;

protected:
    // The procedure every CDialog's window has: the object's WindowProc, with
    // what it leaves to the default going back to the dialog manager.
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    static INT_PTR Dispatch(CDialog* dialog, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    bool m_defaulted = false;
    bool m_modal = false;
};

// Thrown by a DDX_/DDV_ routine that refused the control's content, after
// it told the user; UpdateData catches it.
struct DataExchangeFailure {};

class CDataExchange {
public:
    CDataExchange(CWnd* dialog, BOOL save) : m_pDlgWnd(dialog), m_bSaveAndValidate(save) {}
    HWND PrepareCtrl(int id);  // the control, remembered as the one a failure focuses
    HWND PrepareEditCtrl(int id) { return PrepareCtrl(id); }
    [[noreturn]] void Fail();

    CWnd* m_pDlgWnd;
    BOOL m_bSaveAndValidate;
    HWND m_hWndLastControl = nullptr;
};

void DDX_Text(CDataExchange* dx, int id, std::string& value);
void DDX_Text(CDataExchange* dx, int id, int& value);
void DDX_Text(CDataExchange* dx, int id, UINT& value);
void DDX_Text(CDataExchange* dx, int id, long& value);
void DDX_Text(CDataExchange* dx, int id, double& value);
void DDX_Check(CDataExchange* dx, int id, int& value);
void DDX_Radio(CDataExchange* dx, int firstId, int& value);  // index in the group starting at firstId, or -1
void DDX_CBIndex(CDataExchange* dx, int id, int& index);
void DDX_CBString(CDataExchange* dx, int id, std::string& value);
void DDX_LBIndex(CDataExchange* dx, int id, int& index);
void DDX_Control(CDataExchange* dx, int id, CWnd& control);
void DDV_MinMaxInt(CDataExchange* dx, int value, int min, int max);
void DDV_MinMaxUInt(CDataExchange* dx, UINT value, UINT min, UINT max);
void DDV_MaxChars(CDataExchange* dx, const std::string& value, int count);
