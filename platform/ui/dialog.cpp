#include "dialog.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

HINSTANCE resourceModule = nullptr;
// The dialog being made: its window's first messages arrive before the
// object can be found by handle.
thread_local CDialog* creating = nullptr;

}  // namespace

void CDialog::SetResourceModule(HINSTANCE module) { resourceModule = module; }
HINSTANCE CDialog::ResourceModule() { return resourceModule; }

INT_PTR CDialog::Dispatch(CDialog* dialog, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    const bool outer = dialog->m_defaulted;
    dialog->m_defaulted = false;
    const LRESULT r = dialog->WindowProc(msg, wParam, lParam);
    const bool defaulted = dialog->m_defaulted;
    dialog->m_defaulted = outer;
    if (msg == WM_NCDESTROY) {
        dialog->Detach();
        dialog->PostNcDestroy();
    }
    if (defaulted) return FALSE;
    switch (msg) {
    case WM_INITDIALOG:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC: return r;
    default:
        if (IsWindow(hwnd)) SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, r);
        return TRUE;
    }
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto* dialog = static_cast<CDialog*>(FromHandlePermanent(hwnd));
    if (!dialog && creating) {
        dialog = creating;
        creating = nullptr;
        dialog->Attach(hwnd);
    }
    return dialog ? Dispatch(dialog, hwnd, msg, wParam, lParam) : FALSE;
}

LRESULT CDialog::DefWindowProc(UINT, WPARAM, LPARAM)
{
    m_defaulted = true;
    return 0;
}

INT_PTR CDialog::DoModal()
{
    if (m_hWnd) return -1;
    m_modal = true;
    creating = this;
    const INT_PTR r = DialogBoxParamA(resourceModule, MAKEINTRESOURCEA(m_nIDTemplate),
                                      m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr, DialogProc, 0);
    creating = nullptr;
    m_modal = false;
    return r;
}

BOOL CDialog::Create(UINT templateId, CWnd* parent)
{
    if (m_hWnd) return FALSE;
    m_nIDTemplate = templateId;
    m_pParentWnd = parent;
    creating = this;
    HWND hwnd = CreateDialogParamA(resourceModule, MAKEINTRESOURCEA(templateId), parent ? parent->m_hWnd : nullptr,
                                   DialogProc, 0);
    creating = nullptr;
    return hwnd != nullptr;
}

void CDialog::EndDialog(int result)
{
    if (m_modal)
        ::EndDialog(m_hWnd, result);
    else
        DestroyWindow();
}

BOOL CDialog::OnInitDialog()
{
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK()
{
    if (UpdateData(TRUE)) EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

BOOL CDialog::UpdateData(BOOL save)
{
    CDataExchange dx(this, save);
    try {
        DoDataExchange(&dx);
    } catch (const DataExchangeFailure&) {
        return FALSE;
    }
    return TRUE;
}

LRESULT CDialog::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_INITDIALOG) return OnInitDialog();
    if (msg == WM_COMMAND) {
        if (HWND control = reinterpret_cast<HWND>(lParam); control && control != m_hWnd) {
            CWnd* child = FromHandlePermanent(control);
            LRESULT result = 0;
            if (child && child->OnChildNotify(msg, wParam, lParam, &result)) return result;
        }
        // Routes first; then OK and Cancel (buttons, Enter and Escape).
        if (OnCommand(wParam, lParam)) return 0;
        if (HIWORD(wParam) == BN_CLICKED) {
            if (LOWORD(wParam) == IDOK) {
                OnOK();
                return 0;
            }
            if (LOWORD(wParam) == IDCANCEL) {
                OnCancel();
                return 0;
            }
        }
        return DefWindowProc(msg, wParam, lParam);
    }
    return CWnd::WindowProc(msg, wParam, lParam);
}

HWND CDataExchange::PrepareCtrl(int id)
{
    HWND control = ::GetDlgItem(m_pDlgWnd->m_hWnd, id);
    m_hWndLastControl = control;
    return control;
}

void CDataExchange::Fail()
{
    // The control that failed gets the focus, with its text selected.
    if (m_bSaveAndValidate && m_hWndLastControl) {
        ::SetFocus(m_hWndLastControl);
        ::SendMessageA(m_hWndLastControl, EM_SETSEL, 0, -1);
    }
    throw DataExchangeFailure{};
}

namespace {

void Refuse(CDataExchange* dx, const char* text)
{
    ::MessageBoxA(dx->m_pDlgWnd->m_hWnd, text, nullptr, MB_OK | MB_ICONEXCLAMATION);
    dx->Fail();
}

std::string Text(HWND control)
{
    const int n = ::GetWindowTextLengthA(control);
    std::string s(static_cast<size_t>(n) + 1, '\0');
    s.resize(static_cast<size_t>(::GetWindowTextA(control, s.data(), n + 1)));
    return s;
}

template <typename T>
void Number(CDataExchange* dx, int id, T& value, const char* format, bool isSigned)
{
    HWND control = dx->PrepareEditCtrl(id);
    if (!control) return;
    if (!dx->m_bSaveAndValidate) {
        char text[32];
        std::snprintf(text, sizeof text, format, value);
        ::SetWindowTextA(control, text);
        return;
    }
    const std::string text = Text(control);
    char* end = nullptr;
    errno = 0;
    const char* p = text.c_str();
    while (*p == ' ') ++p;
    const long long v = isSigned ? std::strtoll(p, &end, 10) : static_cast<long long>(std::strtoull(p, &end, 10));
    while (end && *end == ' ') ++end;
    if (!*p || !end || *end || errno == ERANGE || (!isSigned && *p == '-') || static_cast<long long>(static_cast<T>(v)) != v)
        Refuse(dx, isSigned ? "Please enter a whole number." : "Please enter a positive whole number.");
    value = static_cast<T>(v);
}

}  // namespace

void DDX_Text(CDataExchange* dx, int id, std::string& value)
{
    HWND control = dx->PrepareEditCtrl(id);
    if (!control) return;
    if (dx->m_bSaveAndValidate)
        value = Text(control);
    else
        ::SetWindowTextA(control, value.c_str());
}

void DDX_Text(CDataExchange* dx, int id, int& value) { Number(dx, id, value, "%d", true); }
void DDX_Text(CDataExchange* dx, int id, UINT& value) { Number(dx, id, value, "%u", false); }
void DDX_Text(CDataExchange* dx, int id, long& value) { Number(dx, id, value, "%ld", true); }

void DDX_Text(CDataExchange* dx, int id, double& value)
{
    HWND control = dx->PrepareEditCtrl(id);
    if (!control) return;
    if (!dx->m_bSaveAndValidate) {
        char text[64];
        std::snprintf(text, sizeof text, "%.15g", value);
        ::SetWindowTextA(control, text);
        return;
    }
    const std::string text = Text(control);
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    while (end && *end == ' ') ++end;
    if (text.empty() || !end || *end) Refuse(dx, "Please enter a number.");
    value = v;
}

void DDX_Check(CDataExchange* dx, int id, int& value)
{
    HWND control = dx->PrepareCtrl(id);
    if (!control) return;
    if (dx->m_bSaveAndValidate)
        value = static_cast<int>(::SendMessageA(control, BM_GETCHECK, 0, 0));
    else
        ::SendMessageA(control, BM_SETCHECK, static_cast<WPARAM>(value), 0);
}

void DDX_Radio(CDataExchange* dx, int firstId, int& value)
{
    HWND first = dx->PrepareCtrl(firstId);
    if (!first) return;
    if (dx->m_bSaveAndValidate) value = -1;
    // The group: from the first button to the next control that starts a group.
    int index = 0;
    for (HWND b = first; b; b = ::GetWindow(b, GW_HWNDNEXT), ++index) {
        if (b != first && (::GetWindowLongA(b, GWL_STYLE) & WS_GROUP)) break;
        if (!(::SendMessageA(b, WM_GETDLGCODE, 0, 0) & DLGC_RADIOBUTTON)) continue;
        if (dx->m_bSaveAndValidate) {
            if (::SendMessageA(b, BM_GETCHECK, 0, 0) == BST_CHECKED) value = index;
        } else {
            ::SendMessageA(b, BM_SETCHECK, index == value ? BST_CHECKED : BST_UNCHECKED, 0);
        }
    }
}

void DDX_CBIndex(CDataExchange* dx, int id, int& index)
{
    HWND control = dx->PrepareCtrl(id);
    if (!control) return;
    if (dx->m_bSaveAndValidate)
        index = static_cast<int>(::SendMessageA(control, CB_GETCURSEL, 0, 0));
    else
        ::SendMessageA(control, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void DDX_CBString(CDataExchange* dx, int id, std::string& value)
{
    HWND control = dx->PrepareCtrl(id);
    if (!control) return;
    if (dx->m_bSaveAndValidate) {
        value = Text(control);
    } else if (::SendMessageA(control, CB_SELECTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(value.c_str())) == CB_ERR) {
        ::SetWindowTextA(control, value.c_str());
    }
}

void DDX_LBIndex(CDataExchange* dx, int id, int& index)
{
    HWND control = dx->PrepareCtrl(id);
    if (!control) return;
    if (dx->m_bSaveAndValidate)
        index = static_cast<int>(::SendMessageA(control, LB_GETCURSEL, 0, 0));
    else
        ::SendMessageA(control, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void DDX_Control(CDataExchange* dx, int id, CWnd& control)
{
    if (control.m_hWnd) return;
    HWND hwnd = dx->PrepareCtrl(id);
    if (hwnd) control.SubclassWindow(hwnd);
}

void DDV_MinMaxInt(CDataExchange* dx, int value, int min, int max)
{
    if (!dx->m_bSaveAndValidate || (value >= min && value <= max)) return;
    char text[96];
    std::snprintf(text, sizeof text, "Please enter a whole number from %d to %d.", min, max);
    Refuse(dx, text);
}

void DDV_MinMaxUInt(CDataExchange* dx, UINT value, UINT min, UINT max)
{
    if (!dx->m_bSaveAndValidate || (value >= min && value <= max)) return;
    char text[96];
    std::snprintf(text, sizeof text, "Please enter a whole number from %u to %u.", min, max);
    Refuse(dx, text);
}

void DDV_MaxChars(CDataExchange* dx, const std::string& value, int count)
{
    if (!dx->m_bSaveAndValidate) {
        if (dx->m_hWndLastControl) ::SendMessageA(dx->m_hWndLastControl, EM_SETLIMITTEXT, static_cast<WPARAM>(count), 0);
        return;
    }
    if (static_cast<int>(value.size()) <= count) return;
    char text[96];
    std::snprintf(text, sizeof text, "Please enter no more than %d characters.", count);
    Refuse(dx, text);
}
