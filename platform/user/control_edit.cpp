// The edit control, single and multi-line: its text is the window text;
// typing inserts at the caret over the selection and says EN_CHANGE;
// read-only and number-only edits refuse what they must.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "user_internal.h"

namespace user {
namespace {

struct EditState : ControlState {
    int selStart = 0, selEnd = 0;
    int firstLine = 0;  // of a multi-line edit, the top line shown
    UINT limit = 30000;
    bool modified = false;
};

std::string TextOf(HWND hwnd)
{
    Window* w = FindQuiet(hwnd);
    return w ? w->text : std::string();
}

void SetText(HWND hwnd, const std::string& text, bool notify)
{
    if (Window* w = FindQuiet(hwnd)) {
        std::lock_guard guard(Lock());
        w->text = text;
    }
    InvalidateRect(hwnd, nullptr, TRUE);
    if (notify) {
        NotifyParent(hwnd, EN_UPDATE);
        NotifyParent(hwnd, EN_CHANGE);
    }
}

void Replace(HWND hwnd, EditState* s, const std::string& with, bool notify)
{
    std::string text = TextOf(hwnd);
    const int n = static_cast<int>(text.size());
    const int a = std::clamp(std::min(s->selStart, s->selEnd), 0, n);
    const int b = std::clamp(std::max(s->selStart, s->selEnd), 0, n);
    std::string insert = with;
    const DWORD style = static_cast<DWORD>(GetWindowLongA(hwnd, GWL_STYLE));
    if (!(style & ES_MULTILINE)) insert.erase(std::remove_if(insert.begin(), insert.end(), [](char c) { return c == '\r' || c == '\n'; }), insert.end());
    if (style & ES_UPPERCASE) for (char& c : insert) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (style & ES_LOWERCASE) for (char& c : insert) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const size_t room = s->limit > static_cast<UINT>(n - (b - a)) ? s->limit - (n - (b - a)) : 0;
    if (insert.size() > room) {
        insert.resize(room);
        NotifyParent(hwnd, EN_MAXTEXT);
    }
    text = text.substr(0, a) + insert + text.substr(b);
    s->selStart = s->selEnd = a + static_cast<int>(insert.size());
    s->modified = true;
    SetText(hwnd, text, notify);
}

void Paint(HWND hwnd, HDC dc)
{
    Window* w = FindQuiet(hwnd);
    auto* s = StateOf<EditState>(hwnd);
    RECT r;
    GetClientRect(hwnd, &r);
    const DWORD style = w->style;
    const bool readOnly = (style & ES_READONLY) || !IsWindowEnabled(hwnd);
    // A read-only or disabled edit asks for the static colours, as on Windows.
    HBRUSH brush = ControlColors(hwnd, dc, readOnly ? WM_CTLCOLORSTATIC : WM_CTLCOLOREDIT);
    FillRect(dc, &r, brush);
    if (!IsWindowEnabled(hwnd)) SetTextColor(dc, GetSysColor(COLOR_GRAYTEXT));
    SetBkMode(dc, TRANSPARENT);
    InflateRect(&r, -1, -1);
    std::string text = w->text;
    if (style & ES_PASSWORD) text.assign(text.size(), '*');
    UINT format = DT_NOPREFIX | DT_EXPANDTABS;
    if (style & ES_MULTILINE) format |= (style & ES_AUTOHSCROLL) ? 0u : UINT(DT_WORDBREAK);
    else format |= DT_SINGLELINE;
    if (style & ES_CENTER) format |= DT_CENTER;
    else if (style & ES_RIGHT) format |= DT_RIGHT;
    if (style & ES_MULTILINE) {
        // Scrolled: the text from the first line shown, and the scroll bar
        // (if the edit has one) telling where that is.
        TEXTMETRICA tm;
        GetTextMetricsA(dc, &tm);
        RECT all = r;
        DrawTextA(dc, text.c_str(), -1, &all, format | DT_CALCRECT);
        const int lines = std::max<int>(1, (all.bottom - all.top) / std::max<LONG>(1, tm.tmHeight));
        const int shown = std::max<int>(1, (r.bottom - r.top) / std::max<LONG>(1, tm.tmHeight));
        s->firstLine = std::clamp(s->firstLine, 0, std::max(0, lines - shown));
        if (style & WS_VSCROLL) {
            SCROLLINFO si{sizeof si, SIF_RANGE | SIF_PAGE | SIF_POS, 0, lines - 1, static_cast<UINT>(shown), s->firstLine, 0};
            SetScrollInfo(hwnd, SB_VERT, &si, TRUE);
        }
        RECT shifted = r;
        shifted.top -= s->firstLine * tm.tmHeight;
        const int saved = SaveDC(dc);
        IntersectClipRect(dc, r.left, r.top, r.right, r.bottom);
        DrawTextA(dc, text.c_str(), -1, &shifted, format | DT_NOCLIP);
        RestoreDC(dc, saved);
    } else {
        DrawTextA(dc, text.c_str(), -1, &r, format);
    }
    // The selection, shown inverted on a single line while focused.
    if (GetFocus() == hwnd && !(style & ES_MULTILINE)) {
        const int a = std::min(s->selStart, s->selEnd), b = std::max(s->selStart, s->selEnd);
        SIZE left{0, 0}, right{0, 0};
        GetTextExtentPoint32A(dc, text.c_str(), std::min<int>(a, static_cast<int>(text.size())), &left);
        GetTextExtentPoint32A(dc, text.c_str(), std::min<int>(b, static_cast<int>(text.size())), &right);
        TEXTMETRICA tm;
        GetTextMetricsA(dc, &tm);
        if (b > a) {
            // The selection in the highlight colours over the text drawn above.
            RECT sel{r.left + left.cx, r.top, r.left + right.cx, r.top + tm.tmHeight};
            FillRect(dc, &sel, GetSysColorBrush(COLOR_HIGHLIGHT));
            SetTextColor(dc, GetSysColor(COLOR_HIGHLIGHTTEXT));
            const std::string part = text.substr(std::min<size_t>(a, text.size()), static_cast<size_t>(b - a));
            ExtTextOutA(dc, sel.left, sel.top, ETO_CLIPPED, &sel, part.c_str(), static_cast<UINT>(part.size()), nullptr);
        } else {
            RECT caret{r.left + left.cx, r.top, r.left + left.cx + 1, r.top + tm.tmHeight};
            InvertRect(dc, &caret);
        }
    }
}

LRESULT CALLBACK EditProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto* s = StateOf<EditState>(hwnd);
    if (!s) return 0;
    const DWORD style = static_cast<DWORD>(GetWindowLongA(hwnd, GWL_STYLE));
    switch (msg) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        Paint(hwnd, dc);
        EndPaint(hwnd, &ps);
        return 0;
    }
    case WM_ERASEBKGND: return 1;
    case WM_GETDLGCODE: {
        LRESULT code = DLGC_WANTCHARS | DLGC_HASSETSEL | DLGC_WANTARROWS;
        if ((style & ES_MULTILINE) && (style & ES_WANTRETURN)) code |= DLGC_WANTALLKEYS;
        return code;
    }
    case WM_SETTEXT: {
        std::string t = lParam ? reinterpret_cast<LPCSTR>(lParam) : "";
        if (t.size() > s->limit) t.resize(s->limit);
        s->selStart = s->selEnd = 0;
        s->modified = false;
        SetText(hwnd, t, false);
        // Windows sends EN_CHANGE for WM_SETTEXT too; dialogs rely on it.
        NotifyParent(hwnd, EN_CHANGE);
        return TRUE;
    }
    case WM_CHAR: {
        if (style & ES_READONLY) return 0;
        const char c = static_cast<char>(wParam);
        if (c == '\b') {
            if (s->selStart == s->selEnd && s->selStart > 0) --s->selStart;
            Replace(hwnd, s, "", true);
            return 0;
        }
        if (c == '\r') {
            if (style & ES_MULTILINE) Replace(hwnd, s, "\r\n", true);
            return 0;
        }
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t') return 0;
        if ((style & ES_NUMBER) && !std::isdigit(static_cast<unsigned char>(c))) {
            MessageBeep(0);
            return 0;
        }
        Replace(hwnd, s, std::string(1, c), true);
        return 0;
    }
    case WM_KEYDOWN: {
        const int n = static_cast<int>(TextOf(hwnd).size());
        switch (wParam) {
        case VK_LEFT: s->selStart = s->selEnd = std::max(0, std::min(s->selStart, s->selEnd) - 1); break;
        case VK_RIGHT: s->selStart = s->selEnd = std::min(n, std::max(s->selStart, s->selEnd) + 1); break;
        case VK_HOME: s->selStart = s->selEnd = 0; break;
        case VK_END: s->selStart = s->selEnd = n; break;
        case VK_DELETE:
            if (style & ES_READONLY) break;
            if (s->selStart == s->selEnd && s->selEnd < n) ++s->selEnd;
            Replace(hwnd, s, "", true);
            break;
        default: break;
        }
        InvalidateRect(hwnd, nullptr, TRUE);
        return 0;
    }
    case WM_LBUTTONDOWN:
        SetFocus(hwnd);
        return 0;
    case WM_SETFOCUS:
        // Focus by the keyboard selects everything, as dialogs do.
        s->selStart = 0;
        s->selEnd = static_cast<int>(TextOf(hwnd).size());
        InvalidateRect(hwnd, nullptr, TRUE);
        NotifyParent(hwnd, EN_SETFOCUS);
        return 0;
    case WM_KILLFOCUS:
        InvalidateRect(hwnd, nullptr, TRUE);
        NotifyParent(hwnd, EN_KILLFOCUS);
        return 0;
    case EM_GETSEL:
        if (wParam) *reinterpret_cast<DWORD*>(wParam) = static_cast<DWORD>(std::min(s->selStart, s->selEnd));
        if (lParam) *reinterpret_cast<DWORD*>(lParam) = static_cast<DWORD>(std::max(s->selStart, s->selEnd));
        return MAKELONG(std::min(s->selStart, s->selEnd), std::max(s->selStart, s->selEnd));
    case EM_SETSEL: {
        const int n = static_cast<int>(TextOf(hwnd).size());
        int a = static_cast<int>(wParam), b = static_cast<int>(lParam);
        if (a < 0) {
            a = b = n;  // -1: no selection, the caret at the end
        }
        if (b < 0 || b > n) b = n;
        s->selStart = std::clamp(a, 0, n);
        s->selEnd = std::clamp(b, 0, n);
        InvalidateRect(hwnd, nullptr, TRUE);
        return 0;
    }
    case EM_REPLACESEL:
        Replace(hwnd, s, lParam ? reinterpret_cast<LPCSTR>(lParam) : "", true);
        return 0;
    case EM_SETLIMITTEXT:
        s->limit = wParam ? static_cast<UINT>(wParam) : 0x7FFFFFFE;
        return 0;
    case EM_GETLIMITTEXT: return s->limit;
    case EM_GETMODIFY: return s->modified;
    case EM_SETMODIFY: s->modified = wParam != 0; return 0;
    case EM_SETREADONLY:
        SetWindowLongA(hwnd, GWL_STYLE, static_cast<LONG>(wParam ? (style | ES_READONLY) : (style & ~ES_READONLY)));
        InvalidateRect(hwnd, nullptr, TRUE);
        return TRUE;
    case EM_GETLINECOUNT: {
        const std::string t = TextOf(hwnd);
        return 1 + std::count(t.begin(), t.end(), '\n');
    }
    case EM_LINEINDEX: {
        const std::string t = TextOf(hwnd);
        int line = static_cast<int>(wParam);
        if (line < 0) return 0;
        size_t at = 0;
        for (int i = 0; i < line; ++i) {
            at = t.find('\n', at);
            if (at == std::string::npos) return -1;
            ++at;
        }
        return static_cast<LRESULT>(at);
    }
    case EM_LINELENGTH: {
        const std::string t = TextOf(hwnd);
        size_t start = std::min<size_t>(static_cast<size_t>(wParam), t.size());
        while (start > 0 && t[start - 1] != '\n') --start;
        size_t end = t.find_first_of("\r\n", start);
        return static_cast<LRESULT>((end == std::string::npos ? t.size() : end) - start);
    }
    case EM_GETFIRSTVISIBLELINE: return (style & ES_MULTILINE) ? s->firstLine : 0;
    case EM_LINESCROLL:
        if (!(style & ES_MULTILINE)) return FALSE;
        s->firstLine = std::max(0, s->firstLine + static_cast<int>(lParam));
        InvalidateRect(hwnd, nullptr, TRUE);
        return TRUE;
    case EM_SCROLLCARET: return TRUE;
    case WM_VSCROLL: {
        const UINT code = LOWORD(wParam);
        if (code == SB_LINEUP) --s->firstLine;
        else if (code == SB_LINEDOWN) ++s->firstLine;
        else if (code == SB_PAGEUP) s->firstLine -= 5;
        else if (code == SB_PAGEDOWN) s->firstLine += 5;
        else if (code == SB_THUMBPOSITION || code == SB_THUMBTRACK) s->firstLine = static_cast<short>(HIWORD(wParam));
        else if (code == SB_TOP) s->firstLine = 0;
        s->firstLine = std::max(0, s->firstLine);
        InvalidateRect(hwnd, nullptr, TRUE);
        return 0;
    }
    case WM_ENABLE: InvalidateRect(hwnd, nullptr, TRUE); return 0;
    default: return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
}

}  // namespace

void RegisterEditClass() { RegisterSystemClass("Edit", EditProc, CS_DBLCLKS, 0, nullptr); }

}  // namespace user
