// The configuration dialog 101: the driver's name and version, and where
// its settings are made.
#include <string>

#include "user.h"
#include "zarwav.h"
#include "zarwav_version.h"

namespace {

constexpr int kTitleLine = 1003;

const DLGITEM kItems[] = {
    {"STATIC", "Solvane System Wave Driver", kTitleLine, SS_LEFT, 10, 10, 200, 10, 0},
    {"STATIC", "Use the KIV Hardware Manager (in Control Panel) to adjust wave driver settings.", IDC_STATIC, SS_LEFT,
     10, 28, 200, 20, 0},
    {"BUTTON", "OK", IDOK, BS_DEFPUSHBUTTON | WS_TABSTOP, 52, 58, 50, 14, 0},
    {"BUTTON", "Cancel", IDCANCEL, BS_PUSHBUTTON | WS_TABSTOP, 118, 58, 50, 14, 0},
};
const DLGTEMPLATEA kDialog = {101,  "Solvane System Wave Driver", DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU,
                              0,    0,  220, 80, kItems, int(sizeof kItems / sizeof kItems[0]), 0, nullptr};

// Centred on the parent, or the screen without one, and kept on the screen.
void Centre(HWND dialog)
{
    RECT box{}, around{};
    GetWindowRect(dialog, &box);
    HWND parent = GetParent(dialog);
    if (parent != nullptr) GetWindowRect(parent, &around);
    else around = RECT{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    const int width = box.right - box.left, height = box.bottom - box.top;
    int x = around.left + (around.right - around.left - width) / 2;
    int y = around.top + (around.bottom - around.top - height) / 2;
    const int screenX = GetSystemMetrics(SM_CXSCREEN), screenY = GetSystemMetrics(SM_CYSCREEN);
    if (x + width > screenX) x = screenX - width;
    if (y + height > screenY) y = screenY - height;
    if (x < 0) x = 0;
    if (y < 0) y = 0;
    SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

INT_PTR ConfigureProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG: {
        char title[128] = {};
        GetDlgItemTextA(dialog, kTitleLine, title, sizeof title);
        SetDlgItemTextA(dialog, kTitleLine, (std::string(title) + " v" + kZarWavFileVersion).c_str());
        Centre(dialog);
        SetFocus(GetDlgItem(dialog, IDOK));
        return FALSE;  // the focus is set
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        return FALSE;
    default: return FALSE;
    }
}

}  // namespace

LRESULT ZarWavConfigure(HWND parent)
{
    DialogBoxIndirectParamA(ZarWav.Module, &kDialog, parent, ConfigureProc, 0);
    return DRVCNF_CANCEL;
}
