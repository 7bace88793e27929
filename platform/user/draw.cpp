// What windows and controls draw beyond GDI: window frames and captions,
// text laid out in a rectangle, 3-D edges, focus rectangles and the stock
// icons (drawn as simple shapes, the system having no icon files).
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "user_internal.h"

namespace {

void Fill(HDC dc, RECT r, int sysColor) { FillRect(dc, &r, GetSysColorBrush(sysColor)); }

void Line(HDC dc, int x0, int y0, int x1, int y1, COLORREF c)
{
    HPEN pen = CreatePen(PS_SOLID, 1, c);
    HGDIOBJ old = SelectObject(dc, pen);
    MoveToEx(dc, x0, y0, nullptr);
    LineTo(dc, x1, y1);
    SelectObject(dc, old);
    DeleteObject(pen);
}

// Strips the '&' that marks a mnemonic ("&&" stands for one '&').
std::string WithoutPrefix(const std::string& s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '&' && i + 1 < s.size()) ++i;
        else if (s[i] == '&') continue;
        out += s[i];
    }
    return out;
}

int TextWidth(HDC dc, const std::string& s)
{
    SIZE sz{0, 0};
    GetTextExtentPoint32A(dc, s.c_str(), static_cast<int>(s.size()), &sz);
    return sz.cx;
}

// Breaks text into lines: at line ends, and at spaces where a line would
// be wider than 'width' (when wrapping).
std::vector<std::string> Lines(HDC dc, const std::string& text, bool wrap, int width)
{
    std::vector<std::string> out;
    std::string line;
    size_t i = 0;
    auto flush = [&] {
        out.push_back(line);
        line.clear();
    };
    while (i < text.size()) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            flush();
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            ++i;
            continue;
        }
        if (!wrap) {
            line += c;
            ++i;
            continue;
        }
        // The next word with the spaces before it.
        size_t j = i;
        while (j < text.size() && text[j] == ' ') ++j;
        while (j < text.size() && text[j] != ' ' && text[j] != '\r' && text[j] != '\n') ++j;
        const std::string word = text.substr(i, j - i);
        if (!line.empty() && TextWidth(dc, line + word) > width) {
            flush();
            size_t k = 0;
            while (k < word.size() && word[k] == ' ') ++k;
            line = word.substr(k);
        } else {
            line += word;
        }
        i = j;
    }
    if (!line.empty() || out.empty()) flush();
    return out;
}

std::string ExpandTabs(const std::string& s)
{
    std::string out;
    for (char c : s) {
        if (c == '\t') {
            out.append(8 - out.size() % 8, ' ');
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

int DrawTextA(HDC dc, LPCSTR text, int count, LPRECT rect, UINT format)
{
    if (!text || !rect) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    TEXTMETRICA tm;
    if (!GetTextMetricsA(dc, &tm)) return 0;
    std::string s = count < 0 ? std::string(text) : std::string(text, count);
    if (!(format & DT_NOPREFIX)) s = WithoutPrefix(s);
    if (format & DT_EXPANDTABS) s = ExpandTabs(s);
    const int width = rect->right - rect->left;
    std::vector<std::string> lines;
    if (format & DT_SINGLELINE) {
        for (char& c : s)
            if (c == '\r' || c == '\n') c = ' ';
        lines.push_back(s);
    } else {
        lines = Lines(dc, s, (format & DT_WORDBREAK) != 0, width);
    }
    if ((format & DT_END_ELLIPSIS) && lines.size() == 1 && TextWidth(dc, lines[0]) > width) {
        std::string& l = lines[0];
        while (!l.empty() && TextWidth(dc, l + "...") > width) l.pop_back();
        l += "...";
    }
    const int height = static_cast<int>(lines.size()) * tm.tmHeight;
    if (format & DT_CALCRECT) {
        int widest = 0;
        for (const auto& l : lines) widest = std::max(widest, TextWidth(dc, l));
        rect->right = rect->left + widest;
        rect->bottom = rect->top + height;
        return height;
    }
    int y = rect->top;
    if (format & DT_SINGLELINE) {
        if (format & DT_VCENTER) y = rect->top + (rect->bottom - rect->top - tm.tmHeight) / 2;
        else if (format & DT_BOTTOM) y = rect->bottom - tm.tmHeight;
    }
    const UINT align = GetTextAlign(dc);
    SetTextAlign(dc, TA_LEFT | TA_TOP);
    for (const auto& l : lines) {
        const int w = TextWidth(dc, l);
        int x = rect->left;
        if (format & DT_CENTER) x = rect->left + (width - w) / 2;
        else if (format & DT_RIGHT) x = rect->right - w;
        ExtTextOutA(dc, x, y, (format & DT_NOCLIP) ? 0u : UINT(ETO_CLIPPED), rect, l.c_str(), static_cast<UINT>(l.size()), nullptr);
        y += tm.tmHeight;
    }
    SetTextAlign(dc, align);
    return height;
}

LONG TabbedTextOutA(HDC dc, int x, int y, LPCSTR text, int count, int tabCount, const INT* tabs, int origin)
{
    if (!text || count < 0) return 0;
    TEXTMETRICA tm;
    if (!GetTextMetricsA(dc, &tm)) return 0;
    const int defaultTab = 8 * tm.tmAveCharWidth;
    int pen = x;
    int start = 0, tabIndex = 0;
    for (int i = 0; i <= count; ++i) {
        if (i < count && text[i] != '\t') continue;
        TextOutA(dc, pen, y, text + start, i - start);
        SIZE sz{0, 0};
        GetTextExtentPoint32A(dc, text + start, i - start, &sz);
        pen += sz.cx;
        if (i < count) {
            // The next stop right of the pen: the caller's, then every
            // multiple of the last one (or of eight average characters).
            int stop;
            if (tabs && tabIndex < tabCount) {
                stop = origin + tabs[tabIndex++];
            } else {
                const int step = tabs && tabCount == 1 ? tabs[0] : defaultTab;
                stop = origin + ((pen - origin) / std::max(1, step) + 1) * std::max(1, step);
            }
            pen = std::max(pen, stop);
        }
        start = i + 1;
    }
    return MAKELONG(static_cast<WORD>(pen - x), static_cast<WORD>(tm.tmHeight));
}

BOOL DrawEdge(HDC dc, LPRECT rect, UINT edge, UINT flags)
{
    if (!rect) return FALSE;
    RECT r = *rect;
    auto side = [&](COLORREF topLeft, COLORREF bottomRight) {
        if (flags & BF_TOP) Line(dc, r.left, r.top, r.right, r.top, topLeft);
        if (flags & BF_LEFT) Line(dc, r.left, r.top, r.left, r.bottom, topLeft);
        if (flags & BF_BOTTOM) Line(dc, r.left, r.bottom - 1, r.right, r.bottom - 1, bottomRight);
        if (flags & BF_RIGHT) Line(dc, r.right - 1, r.top, r.right - 1, r.bottom, bottomRight);
        InflateRect(&r, -1, -1);
    };
    const COLORREF light = GetSysColor(COLOR_3DLIGHT), hilight = GetSysColor(COLOR_BTNHIGHLIGHT);
    const COLORREF shadow = GetSysColor(COLOR_BTNSHADOW), dark = GetSysColor(COLOR_3DDKSHADOW);
    if (edge & BDR_RAISEDOUTER) side(light, dark);
    else if (edge & BDR_SUNKENOUTER) side(shadow, hilight);
    if (edge & BDR_RAISEDINNER) side(hilight, shadow);
    else if (edge & BDR_SUNKENINNER) side(dark, light);
    if (flags & BF_ADJUST) *rect = r;
    return TRUE;
}

BOOL DrawFocusRect(HDC dc, const RECT* rect)
{
    if (!rect) return FALSE;
    // A dotted frame drawn by inversion, so drawing it twice removes it.
    for (int x = rect->left; x < rect->right; x += 2) {
        RECT a{x, rect->top, x + 1, rect->top + 1}, b{x, rect->bottom - 1, x + 1, rect->bottom};
        InvertRect(dc, &a);
        InvertRect(dc, &b);
    }
    for (int y = rect->top + 2; y < rect->bottom - 1; y += 2) {
        RECT a{rect->left, y, rect->left + 1, y + 1}, b{rect->right - 1, y, rect->right, y + 1};
        InvertRect(dc, &a);
        InvertRect(dc, &b);
    }
    return TRUE;
}

HICON LoadIconA(HINSTANCE, LPCSTR name)
{
    const auto id = reinterpret_cast<uintptr_t>(name);
    if (IS_INTRESOURCE(name) && id >= 32512 && id <= 32516) return reinterpret_cast<HICON>(id);
    // An application icon not known here is drawn as the application icon.
    if (IS_INTRESOURCE(name)) return reinterpret_cast<HICON>(static_cast<uintptr_t>(32512));
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
}

HCURSOR LoadCursorA(HINSTANCE, LPCSTR name) { return IS_INTRESOURCE(name) ? reinterpret_cast<HCURSOR>(reinterpret_cast<uintptr_t>(name)) : nullptr; }

HCURSOR SetCursor(HCURSOR cursor)
{
    static HCURSOR current = nullptr;
    HCURSOR old = current;
    current = cursor;
    return old;
}

BOOL DrawIcon(HDC dc, int x, int y, HICON icon)
{
    const auto id = reinterpret_cast<uintptr_t>(icon);
    if (id < 32512 || id > 32516) return FALSE;
    HPEN pen = CreatePen(PS_SOLID, 1, RGB(0, 0, 0));
    HGDIOBJ oldPen = SelectObject(dc, pen);
    COLORREF fill = RGB(255, 255, 255);
    const char* mark = "";
    switch (id) {
    case 32513: fill = RGB(255, 0, 0); mark = "X"; break;      // stop
    case 32514: fill = RGB(0, 0, 255); mark = "?"; break;      // question
    case 32515: fill = RGB(255, 255, 0); mark = "!"; break;    // warning
    case 32516: fill = RGB(0, 0, 255); mark = "i"; break;      // information
    default: break;
    }
    HBRUSH brush = CreateSolidBrush(fill);
    HGDIOBJ oldBrush = SelectObject(dc, brush);
    if (id == 32515) {
        const POINT tri[3] = {{x + 16, y + 1}, {x + 31, y + 30}, {x + 1, y + 30}};
        Polygon(dc, tri, 3);
    } else if (id == 32512) {
        Rectangle(dc, x + 2, y + 4, x + 30, y + 28);
    } else {
        Ellipse(dc, x + 1, y + 1, x + 31, y + 31);
    }
    const int mode = SetBkMode(dc, TRANSPARENT);
    const COLORREF color = SetTextColor(dc, id == 32515 ? RGB(0, 0, 0) : RGB(255, 255, 255));
    RECT r{x, y + 4, x + 32, y + 30};
    DrawTextA(dc, mark, -1, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    SetTextColor(dc, color);
    SetBkMode(dc, mode);
    SelectObject(dc, oldBrush);
    SelectObject(dc, oldPen);
    DeleteObject(brush);
    DeleteObject(pen);
    return TRUE;
}

namespace user {

void DrawNonClient(Window& w)
{
    const RECT client = ClientRectInWindow(w);
    const RECT whole{0, 0, w.rect.right - w.rect.left, w.rect.bottom - w.rect.top};
    if (EqualRect(&client, &whole)) return;
    HDC dc = GetWindowDC(w.handle);
    if (!dc) return;
    // The frame only: what the window paints inside stays.
    ExcludeClipRect(dc, client.left, client.top, client.right, client.bottom);
    RECT r = whole;
    if ((w.style & (WS_THICKFRAME | WS_DLGFRAME)) || (w.exStyle & WS_EX_DLGMODALFRAME)) {
        Fill(dc, r, COLOR_BTNFACE);
        DrawEdge(dc, &r, EDGE_RAISED, BF_RECT | BF_ADJUST);
        InflateRect(&r, (w.style & WS_THICKFRAME) ? -2 : -1, (w.style & WS_THICKFRAME) ? -2 : -1);
    } else if (w.style & WS_BORDER) {
        FrameRect(dc, &r, GetSysColorBrush(COLOR_WINDOWFRAME));
        InflateRect(&r, -1, -1);
    }
    if ((w.style & WS_CAPTION) == WS_CAPTION) {
        RECT bar{r.left, r.top, r.right, r.top + 18};
        const bool activeCaption = GetActiveWindow() == w.handle || !w.parent;
        Fill(dc, bar, activeCaption ? COLOR_ACTIVECAPTION : COLOR_INACTIVECAPTION);
        LOGFONTA lf{};
        lf.lfHeight = -11;
        lf.lfWeight = FW_BOLD;
        HFONT bold = CreateFontIndirectA(&lf);
        HGDIOBJ old = SelectObject(dc, bold);
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, GetSysColor(COLOR_CAPTIONTEXT));
        RECT text{bar.left + 4, bar.top, bar.right - 20, bar.bottom};
        DrawTextA(dc, w.text.c_str(), -1, &text, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS);
        SelectObject(dc, old);
        DeleteObject(bold);
        if (w.style & WS_SYSMENU) {
            // The close box.
            RECT box{bar.right - 18, bar.top + 2, bar.right - 2, bar.bottom - 2};
            Fill(dc, box, COLOR_BTNFACE);
            DrawEdge(dc, &box, EDGE_RAISED, BF_RECT);
            Line(dc, box.left + 4, box.top + 3, box.right - 4, box.bottom - 3, 0);
            Line(dc, box.right - 5, box.top + 3, box.left + 3, box.bottom - 3, 0);
        }
        r.top += 18;
    }
    if (w.exStyle & WS_EX_CLIENTEDGE) DrawEdge(dc, &r, EDGE_SUNKEN, BF_RECT | BF_ADJUST);
    if (w.exStyle & WS_EX_STATICEDGE) DrawEdge(dc, &r, BDR_SUNKENOUTER, BF_RECT | BF_ADJUST);
    // Scroll bars: a trough with a thumb where the position is.
    auto bar = [&](RECT area, const ScrollState& s, bool vertical) {
        Fill(dc, area, COLOR_SCROLLBAR);
        const int length = vertical ? area.bottom - area.top : area.right - area.left;
        const int range = std::max(1, s.max - s.min + 1 - std::max(0, s.page - 1));
        const int thumb = std::max(8, s.page > 0 ? length * s.page / std::max(1, s.max - s.min + 1) : 16);
        const int at = (length - thumb) * (s.pos - s.min) / std::max(1, range - 1);
        RECT t = vertical ? RECT{area.left, area.top + at, area.right, area.top + at + thumb}
                          : RECT{area.left + at, area.top, area.left + at + thumb, area.bottom};
        Fill(dc, t, COLOR_BTNFACE);
        DrawEdge(dc, &t, EDGE_RAISED, BF_RECT);
    };
    if (w.style & WS_VSCROLL) bar(RECT{client.right, client.top, client.right + 16, client.bottom}, w.vscroll, true);
    if (w.style & WS_HSCROLL) bar(RECT{client.left, client.bottom, client.right, client.bottom + 16}, w.hscroll, false);
    ReleaseDC(w.handle, dc);
}

}  // namespace user
