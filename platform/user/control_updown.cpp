// The up-down control beside its buddy, and tooltips (kept as a list of
// tools with their texts; with no pointer to hover, none is ever shown).
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "commctrl.h"
#include "user_internal.h"

namespace user {
namespace {

struct UpDownState : ControlState {
    int lower = 100, upper = 0, pos = 0;  // Windows' default range runs backwards
    HWND buddy = nullptr;
};

void ShowInBuddy(HWND hwnd, UpDownState* s)
{
    if (s->buddy && (GetWindowLongA(hwnd, GWL_STYLE) & UDS_SETBUDDYINT)) {
        char text[16];
        std::snprintf(text, sizeof text, "%d", s->pos);
        SetWindowTextA(s->buddy, text);
    }
}

void Step(HWND hwnd, UpDownState* s, int delta)
{
    // Up is towards 'upper', whichever way the range runs.
    const int direction = s->upper >= s->lower ? 1 : -1;
    NMUPDOWN nm{{nullptr, 0, UDN_DELTAPOS}, s->pos, delta * direction};
    if (SendNotify(hwnd, &nm.hdr)) return;  // the parent refused the step
    const int lo = std::min(s->lower, s->upper), hi = std::max(s->lower, s->upper);
    int to = s->pos + nm.iDelta;
    if (to < lo || to > hi) {
        if (GetWindowLongA(hwnd, GWL_STYLE) & UDS_WRAP) to = to < lo ? hi : lo;
        else to = std::clamp(to, lo, hi);
    }
    s->pos = to;
    ShowInBuddy(hwnd, s);
    SendMessageA(GetParent(hwnd), (GetWindowLongA(hwnd, GWL_STYLE) & UDS_HORZ) ? WM_HSCROLL : WM_VSCROLL,
                 MAKEWPARAM(SB_THUMBPOSITION, static_cast<WORD>(s->pos)), reinterpret_cast<LPARAM>(hwnd));
    SendMessageA(GetParent(hwnd), (GetWindowLongA(hwnd, GWL_STYLE) & UDS_HORZ) ? WM_HSCROLL : WM_VSCROLL,
                 MAKEWPARAM(SB_ENDSCROLL, static_cast<WORD>(s->pos)), reinterpret_cast<LPARAM>(hwnd));
}

void Attach(HWND hwnd, UpDownState* s, HWND buddy)
{
    s->buddy = buddy;
    const DWORD style = static_cast<DWORD>(GetWindowLongA(hwnd, GWL_STYLE));
    if (!buddy || !(style & (UDS_ALIGNRIGHT | UDS_ALIGNLEFT))) return;
    // Sits against the buddy's side, as tall as it, taking its width from it.
    RECT b;
    GetWindowRect(buddy, &b);
    POINT p{b.left, b.top};
    ScreenToClient(GetParent(hwnd), &p);
    const int w = 16, h = b.bottom - b.top, bw = b.right - b.left - w;
    if (style & UDS_ALIGNRIGHT) {
        MoveWindow(buddy, p.x, p.y, bw, h, TRUE);
        MoveWindow(hwnd, p.x + bw, p.y, w, h, TRUE);
    } else {
        MoveWindow(buddy, p.x + w, p.y, bw, h, TRUE);
        MoveWindow(hwnd, p.x, p.y, w, h, TRUE);
    }
}

LRESULT CALLBACK UpDownProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto* s = StateOf<UpDownState>(hwnd);
    if (!s) return 0;
    switch (msg) {
    case WM_CREATE:
        if (reinterpret_cast<CREATESTRUCTA*>(lParam)->style & UDS_AUTOBUDDY)
            Attach(hwnd, s, GetWindow(hwnd, GW_HWNDPREV));
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        RECT r;
        GetClientRect(hwnd, &r);
        RECT up{r.left, r.top, r.right, r.bottom / 2}, down{r.left, r.bottom / 2, r.right, r.bottom};
        for (RECT* b : {&up, &down}) {
            FillRect(dc, b, GetSysColorBrush(COLOR_BTNFACE));
            DrawEdge(dc, b, EDGE_RAISED, BF_RECT);
        }
        const int cx = r.right / 2;
        HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(BLACK_BRUSH));
        const POINT a[3] = {{cx - 3, up.bottom - 3}, {cx + 3, up.bottom - 3}, {cx, up.top + 2}};
        const POINT b[3] = {{cx - 3, down.top + 3}, {cx + 3, down.top + 3}, {cx, down.bottom - 2}};
        Polygon(dc, a, 3);
        Polygon(dc, b, 3);
        SelectObject(dc, oldBrush);
        EndPaint(hwnd, &ps);
        return 0;
    }
    case UDM_SETRANGE:
        s->upper = static_cast<short>(LOWORD(lParam));
        s->lower = static_cast<short>(HIWORD(lParam));
        return 0;
    case UDM_GETRANGE: return MAKELONG(s->upper, s->lower);
    case UDM_SETRANGE32:
        s->lower = static_cast<int>(wParam);
        s->upper = static_cast<int>(lParam);
        return 0;
    case UDM_GETRANGE32:
        if (wParam) *reinterpret_cast<int*>(wParam) = s->lower;
        if (lParam) *reinterpret_cast<int*>(lParam) = s->upper;
        return 0;
    case UDM_SETPOS:
    case UDM_SETPOS32: {
        const int old = s->pos;
        const int to = msg == UDM_SETPOS ? static_cast<short>(LOWORD(lParam)) : static_cast<int>(lParam);
        s->pos = std::clamp(to, std::min(s->lower, s->upper), std::max(s->lower, s->upper));
        ShowInBuddy(hwnd, s);
        return old;
    }
    case UDM_GETPOS:
    case UDM_GETPOS32: return msg == UDM_GETPOS ? MAKELONG(static_cast<WORD>(s->pos), 0) : s->pos;
    case UDM_SETBUDDY: {
        HWND old = s->buddy;
        Attach(hwnd, s, reinterpret_cast<HWND>(wParam));
        return reinterpret_cast<LRESULT>(old);
    }
    case UDM_GETBUDDY: return reinterpret_cast<LRESULT>(s->buddy);
    case WM_LBUTTONDOWN: {
        RECT r;
        GetClientRect(hwnd, &r);
        Step(hwnd, s, GET_Y_LPARAM(lParam) < r.bottom / 2 ? 1 : -1);
        return 0;
    }
    case kScriptDrag: {
        // A script steps to the position one click at a time.
        const int target = static_cast<int>(wParam);
        for (int guard = 0; s->pos != target && guard < 100000; ++guard) {
            const int before = s->pos;
            const bool towardsUpper = (target > s->pos) == (s->upper >= s->lower);
            Step(hwnd, s, towardsUpper ? 1 : -1);
            if (s->pos == before) break;
        }
        return s->pos == target;
    }
    default: return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
}

struct Tool {
    HWND hwnd;
    UINT_PTR id;
    std::string text;
};

struct TooltipState : ControlState {
    std::vector<Tool> tools;
    bool active = true;
};

LRESULT CALLBACK TooltipProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto* s = StateOf<TooltipState>(hwnd);
    if (!s) return 0;
    auto* info = reinterpret_cast<TOOLINFOA*>(lParam);
    auto find = [&]() {
        return std::find_if(s->tools.begin(), s->tools.end(),
                            [&](const Tool& t) { return info && t.hwnd == info->hwnd && t.id == info->uId; });
    };
    switch (msg) {
    case TTM_ADDTOOLA:
        if (!info) return FALSE;
        s->tools.push_back({info->hwnd, info->uId,
                            info->lpszText && info->lpszText != LPSTR_TEXTCALLBACKA && !IS_INTRESOURCE(info->lpszText)
                                ? info->lpszText
                                : ""});
        return TRUE;
    case TTM_DELTOOLA: {
        auto it = find();
        if (it != s->tools.end()) s->tools.erase(it);
        return 0;
    }
    case TTM_UPDATETIPTEXTA: {
        auto it = find();
        if (it != s->tools.end() && info->lpszText && !IS_INTRESOURCE(info->lpszText)) it->text = info->lpszText;
        return 0;
    }
    case TTM_GETTEXTA: {
        auto it = find();
        if (it == s->tools.end() || !info->lpszText) return 0;
        std::strcpy(info->lpszText, it->text.c_str());
        return 0;
    }
    case TTM_GETTOOLCOUNT: return static_cast<LRESULT>(s->tools.size());
    case TTM_ACTIVATE: s->active = wParam != 0; return 0;
    case TTM_SETMAXTIPWIDTH: return -1;
    default: return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
}

}  // namespace

void RegisterUpDownClasses()
{
    RegisterSystemClass(UPDOWN_CLASSA, UpDownProc, 0, 0, nullptr);
    RegisterSystemClass(TOOLTIPS_CLASSA, TooltipProc, 0, 0, nullptr);
}

}  // namespace user

void InitCommonControls() { user::RegisterControlClasses(); }

BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* icc)
{
    if (!icc || icc->dwSize != sizeof(INITCOMMONCONTROLSEX)) return FALSE;
    user::RegisterControlClasses();
    return TRUE;
}
