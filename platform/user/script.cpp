// Scripted input: the mouse and keyboard as a user would use them, the
// modal loops' idle hook, and the record of message boxes.
#include "script.h"

#include <cstring>
#include <deque>
#include <strings.h>

#include "user_internal.h"

namespace user {
namespace {

std::deque<script::Step>& Steps()
{
    static std::deque<script::Step> steps;
    return steps;
}
bool shiftDown = false;
POINT cursor{0, 0};

std::string ClassOf(HWND hwnd)
{
    char name[64] = {};
    GetClassNameA(hwnd, name, sizeof name);
    return name;
}

bool Is(HWND hwnd, const char* cls) { return strcasecmp(ClassOf(hwnd).c_str(), cls) == 0; }

}  // namespace

bool RunIdleHook(HWND modal)
{
    script::Step step;
    {
        std::lock_guard guard(Lock());
        if (Steps().empty()) return false;
        step = std::move(Steps().front());
        Steps().pop_front();
    }
    step(modal);
    return true;
}

}  // namespace user

BOOL GetCursorPos(LPPOINT pt)
{
    if (!pt) return FALSE;
    *pt = user::cursor;
    return TRUE;
}

BOOL SetCursorPos(int x, int y)
{
    user::cursor = POINT{x, y};
    return TRUE;
}

short GetKeyState(int key) { return key == VK_SHIFT && user::shiftDown ? static_cast<short>(0x8000) : 0; }

namespace user::script {

void SetIdleSteps(std::vector<Step> steps)
{
    std::lock_guard guard(Lock());
    Steps().assign(steps.begin(), steps.end());
}

void ClearIdleSteps()
{
    std::lock_guard guard(Lock());
    Steps().clear();
}

int PendingSteps()
{
    std::lock_guard guard(Lock());
    return static_cast<int>(Steps().size());
}

bool ClickAt(HWND hwnd, POINT client)
{
    if (!IsWindowVisible(hwnd) || !IsWindowEnabled(hwnd)) return false;
    // The window that would get the click is the one under the point.
    POINT screen = client;
    ClientToScreen(hwnd, &screen);
    HWND target = WindowFromPoint(screen);
    if (!target || (target != hwnd && !IsChild(hwnd, target))) target = hwnd;
    if (!IsWindowEnabled(target)) return false;
    POINT local = screen;
    ScreenToClient(target, &local);
    cursor = screen;
    const LPARAM at = MAKELPARAM(local.x, local.y);
    SendMessageA(target, WM_LBUTTONDOWN, MK_LBUTTON, at);
    if (IsWindow(target)) SendMessageA(target, WM_LBUTTONUP, 0, at);
    return true;
}

bool RightClickAt(HWND hwnd, POINT client)
{
    if (!IsWindowVisible(hwnd) || !IsWindowEnabled(hwnd)) return false;
    POINT screen = client;
    ClientToScreen(hwnd, &screen);
    cursor = screen;
    const LPARAM at = MAKELPARAM(client.x, client.y);
    SendMessageA(hwnd, WM_RBUTTONDOWN, 2, at);
    if (IsWindow(hwnd)) SendMessageA(hwnd, WM_RBUTTONUP, 0, at);
    if (IsWindow(hwnd)) SendMessageA(hwnd, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(hwnd), MAKELPARAM(screen.x, screen.y));
    return true;
}

bool Click(HWND hwnd)
{
    RECT r;
    if (!GetClientRect(hwnd, &r)) return false;
    return ClickAt(hwnd, POINT{r.right / 2, r.bottom / 2});
}

bool DoubleClick(HWND hwnd)
{
    RECT r;
    if (!GetClientRect(hwnd, &r) || !IsWindowEnabled(hwnd)) return false;
    const LPARAM at = MAKELPARAM(r.right / 2, r.bottom / 2);
    SendMessageA(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, at);
    SendMessageA(hwnd, WM_LBUTTONUP, 0, at);
    SendMessageA(hwnd, WM_LBUTTONDBLCLK, MK_LBUTTON, at);
    SendMessageA(hwnd, WM_LBUTTONUP, 0, at);
    return true;
}

bool Key(UINT vk, bool shift)
{
    HWND focus = GetFocus();
    if (!focus) focus = GetActiveWindow();
    if (!focus) return false;
    shiftDown = shift;
    // Posted, so the modal loop's dialog handling sees the key first.
    PostMessageA(focus, WM_KEYDOWN, vk, 1);
    if (vk == VK_RETURN || vk == VK_BACK || vk == VK_ESCAPE || vk == VK_TAB) {
        // WM_CHAR is sent to the control only if the dialog did not take the key.
    }
    PostMessageA(focus, WM_KEYUP, vk, static_cast<LPARAM>(0xC0000001));
    Pump();
    shiftDown = false;
    return true;
}

bool Type(HWND hwnd, const std::string& text)
{
    if (hwnd) {
        if (!IsWindowEnabled(hwnd)) return false;
        SetFocus(hwnd);
    }
    HWND focus = GetFocus();
    if (!focus) return false;
    for (char c : text) SendMessageA(focus, WM_CHAR, static_cast<unsigned char>(c), 1);
    return true;
}

bool Choose(HWND hwnd, int index)
{
    if (!IsWindowEnabled(hwnd) || !IsWindowVisible(hwnd)) return false;
    if (Is(hwnd, "ListBox")) {
        RECT item;
        if (SendMessageA(hwnd, LB_GETITEMRECT, index, reinterpret_cast<LPARAM>(&item)) == LB_ERR) return false;
        RECT client;
        GetClientRect(hwnd, &client);
        if (item.top < 0 || item.bottom > client.bottom) {
            // Scrolled into view first, as a user would.
            SendMessageA(hwnd, LB_SETTOPINDEX, index, 0);
            SendMessageA(hwnd, LB_GETITEMRECT, index, reinterpret_cast<LPARAM>(&item));
        }
        return ClickAt(hwnd, POINT{item.left + 1, item.top + 1});
    }
    if (Is(hwnd, "ComboBox")) {
        if (index < 0 || index >= SendMessageA(hwnd, CB_GETCOUNT, 0, 0)) return false;
        SetFocus(hwnd);
        // As the keyboard would: one item at a time from the top.
        SendMessageA(hwnd, WM_KEYDOWN, VK_HOME, 0);
        for (int i = 0; i < index; ++i) SendMessageA(hwnd, WM_KEYDOWN, VK_DOWN, 0);
        return SendMessageA(hwnd, CB_GETCURSEL, 0, 0) == index;
    }
    // The common controls choose through their own click handling.
    SetFocus(hwnd);
    return SendMessageA(hwnd, kScriptChoose, static_cast<WPARAM>(index), 0) != 0;
}

bool Drag(HWND hwnd, int position)
{
    if (!IsWindowEnabled(hwnd)) return false;
    return SendMessageA(hwnd, kScriptDrag, static_cast<WPARAM>(position), 0) != 0;
}

std::string Text(HWND hwnd)
{
    const int n = GetWindowTextLengthA(hwnd);
    std::string s(static_cast<size_t>(n) + 1, '\0');
    GetWindowTextA(hwnd, s.data(), n + 1);
    s.resize(std::strlen(s.c_str()));
    if (s.empty() && Is(hwnd, "ListBox")) {
        const LRESULT i = SendMessageA(hwnd, LB_GETCURSEL, 0, 0);
        const LRESULT len = SendMessageA(hwnd, LB_GETTEXTLEN, i, 0);
        if (i >= 0 && len >= 0) {
            s.assign(static_cast<size_t>(len) + 1, '\0');
            SendMessageA(hwnd, LB_GETTEXT, i, reinterpret_cast<LPARAM>(s.data()));
            s.resize(static_cast<size_t>(len));
        }
    }
    return s;
}

HWND Item(HWND dialog, int id) { return GetDlgItem(dialog, id); }

void Pump()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        HWND root = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
        Window* r = FindQuiet(root);
        if (r && r->dialog && IsDialogMessageA(root, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

}  // namespace user::script
