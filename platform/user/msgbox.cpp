// MessageBox as a real dialog: icon, text and buttons laid out from the
// text's size. Without a script to answer it, a message box is recorded as
// unexpected and answered with its default button, so a test never hangs
// on one and can fail with its text.
#include <algorithm>
#include <cstdio>

#include "script.h"
#include "user_internal.h"

namespace user {
namespace {

std::vector<script::MessageBoxRecord>& Unexpected()
{
    static std::vector<script::MessageBoxRecord> records;
    return records;
}
std::vector<script::MessageBoxRecord>& Answered()
{
    static std::vector<script::MessageBoxRecord> records;
    return records;
}
int autoAnswer = 0;

struct Buttons {
    std::vector<std::pair<int, const char*>> list;
};

Buttons ButtonsFor(UINT type)
{
    switch (type & 0xF) {
    case MB_OKCANCEL: return {{{IDOK, "OK"}, {IDCANCEL, "Cancel"}}};
    case MB_ABORTRETRYIGNORE: return {{{IDABORT, "&Abort"}, {IDRETRY, "&Retry"}, {IDIGNORE, "&Ignore"}}};
    case MB_YESNOCANCEL: return {{{IDYES, "&Yes"}, {IDNO, "&No"}, {IDCANCEL, "Cancel"}}};
    case MB_YESNO: return {{{IDYES, "&Yes"}, {IDNO, "&No"}}};
    case MB_RETRYCANCEL: return {{{IDRETRY, "&Retry"}, {IDCANCEL, "Cancel"}}};
    default: return {{{IDOK, "OK"}}};
    }
}

INT_PTR CALLBACK MessageBoxProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM)
{
    if (msg == WM_INITDIALOG) return TRUE;
    if (msg == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
        const int id = LOWORD(wParam);
        // A box without Cancel cannot be closed by Escape, except a lone OK.
        if (id == IDCANCEL && !GetDlgItem(hwnd, IDCANCEL)) {
            if (GetDlgItem(hwnd, IDOK) && !GetDlgItem(hwnd, IDYES)) EndDialog(hwnd, IDOK);
            return TRUE;
        }
        EndDialog(hwnd, id);
        return TRUE;
    }
    return FALSE;
}

}  // namespace
}  // namespace user

using namespace user;

namespace user::script {

std::vector<MessageBoxRecord> TakeUnexpectedMessageBoxes()
{
    std::lock_guard guard(Lock());
    auto out = std::move(Unexpected());
    Unexpected().clear();
    return out;
}

void AnswerMessageBoxes(int answer) { autoAnswer = answer; }

std::vector<MessageBoxRecord> TakeAnsweredMessageBoxes()
{
    std::lock_guard guard(Lock());
    auto out = std::move(Answered());
    Answered().clear();
    return out;
}

}  // namespace user::script

BOOL MessageBeep(UINT) { return TRUE; }

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    if (owner && !IsWindow(owner)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    const std::string body = text ? text : "";
    const std::string title = caption ? caption : "Error";
    const Buttons buttons = ButtonsFor(type);
    const int defIndex = std::min<int>(static_cast<int>((type >> 8) & 0xF), static_cast<int>(buttons.list.size()) - 1);
    if (autoAnswer) {
        std::lock_guard guard(Lock());
        Answered().push_back({title, body, type});
        return autoAnswer;
    }
    if (script::PendingSteps() == 0) {
        std::lock_guard guard(Lock());
        Unexpected().push_back({title, body, type});
        std::fprintf(stderr, "unexpected message box \"%s\": %s\n", title.c_str(), body.c_str());
        return buttons.list[defIndex].first;
    }
    // Laid out in dialog units from the text's size in pixels.
    HDC dc = GetDC(nullptr);
    SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
    RECT measure{0, 0, 400, 0};
    DrawTextA(dc, body.c_str(), -1, &measure, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    ReleaseDC(nullptr, dc);
    const bool icon = (type & 0xF0) != 0;
    const short textX = icon ? 44 : 8;
    const short textW = static_cast<short>((measure.right * 4 + kBaseUnitX - 1) / kBaseUnitX + 2);
    const short textH = static_cast<short>(std::max<LONG>(8, (measure.bottom * 8 + kBaseUnitY - 1) / kBaseUnitY));
    const short buttonsW = static_cast<short>(buttons.list.size() * 56 - 6);
    const short width = static_cast<short>(std::max<int>(textX + textW + 8, buttonsW + 16));
    const short textBottom = static_cast<short>(std::max<int>(8 + textH, icon ? 32 : 0));
    const short height = static_cast<short>(textBottom + 8 + 14 + 6);
    std::vector<DLGITEM> items;
    static const char* icons[] = {nullptr, IDI_HAND, IDI_QUESTION, IDI_EXCLAMATION, IDI_ASTERISK};
    if (icon) items.push_back({"Static", icons[std::clamp<int>((type >> 4) & 7, 1, 4)], 20, SS_ICON, 8, 8, 21, 20, 0});
    items.push_back({"Static", body.c_str(), 0xFFFF, SS_LEFT | SS_NOPREFIX, textX, 8, textW, textH, 0});
    short x = static_cast<short>((width - buttonsW) / 2);
    for (size_t i = 0; i < buttons.list.size(); ++i, x = static_cast<short>(x + 56))
        items.push_back({"Button", buttons.list[i].second, buttons.list[i].first,
                         DWORD(WS_TABSTOP) | DWORD(static_cast<int>(i) == defIndex ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON),
                         x, static_cast<short>(textBottom + 8), 50, 14, 0});
    DLGTEMPLATEA t{0, title.c_str(), WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER, 0, 0, width, height,
                   items.data(), static_cast<int>(items.size()), 0, nullptr};
    return static_cast<int>(DialogBoxIndirectParamA(nullptr, &t, owner, MessageBoxProc, 0));
}
