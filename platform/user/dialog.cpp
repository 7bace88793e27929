// Dialogs from templates: creation with their controls laid out in dialog
// units, the dialog window procedure, the modal loop, keyboard navigation
// and the GetDlgItem family.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "user_internal.h"

namespace user {
namespace {

LRESULT CALLBACK DialogWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    Window* w = FindQuiet(hwnd);
    if (!w) return 0;
    DLGPROC proc = w->dialogProc;
    if (proc) {
        w->msgResult = 0;
        const INT_PTR handled = proc(hwnd, msg, wParam, lParam);
        if (handled) {
            // These answer with the procedure's own value; the rest with
            // what it set as the message result.
            switch (msg) {
            case WM_CTLCOLORMSGBOX:
            case WM_CTLCOLOREDIT:
            case WM_CTLCOLORLISTBOX:
            case WM_CTLCOLORBTN:
            case WM_CTLCOLORDLG:
            case WM_CTLCOLORSCROLLBAR:
            case WM_CTLCOLORSTATIC:
            case WM_INITDIALOG: return handled;
            default: break;
            }
            Window* still = FindQuiet(hwnd);
            return still ? still->msgResult : 0;
        }
    }
    return DefDlgProcA(hwnd, msg, wParam, lParam);
}

// The controls of a dialog in tab order: its children, and those of a
// child dialog (a property page) in place of the child.
void TabOrder(Window& w, std::vector<Window*>& out)
{
    for (Window* c : w.children) {
        if (c->dead) continue;
        if ((c->exStyle & WS_EX_CONTROLPARENT) || (c->dialog && (c->style & WS_CHILD))) {
            if (c->style & WS_VISIBLE) TabOrder(*c, out);
        } else {
            out.push_back(c);
        }
    }
}

// A control counts by its own style: a dialog still hidden at its start
// has its first tab stop all the same.
bool Usable(const Window* c) { return (c->style & WS_VISIBLE) && !(c->style & WS_DISABLED); }

bool IsPushButton(HWND hwnd)
{
    Window* w = FindQuiet(hwnd);
    if (!w || strcasecmp(w->cls->name.c_str(), "Button") != 0) return false;
    const DWORD type = w->style & BS_TYPEMASK;
    return type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON;
}

void ClickCommand(HWND dialog, int id)
{
    HWND button = GetDlgItem(dialog, id);
    if (button && !IsWindowEnabled(button)) return;
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
}

}  // namespace

void RegisterDialogClass()
{
    RegisterSystemClass("#32770", DialogWndProc, CS_DBLCLKS, 0, nullptr);
}

}  // namespace user

using namespace user;

LRESULT DefDlgProcA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    Window* w = FindQuiet(hwnd);
    if (!w) return 0;
    switch (msg) {
    case WM_ERASEBKGND: {
        HDC dc = reinterpret_cast<HDC>(wParam);
        HBRUSH brush = ControlColors(hwnd, dc, WM_CTLCOLORDLG);
        // A dialog asks itself (not its parent) for its own colour.
        if (w->dialogProc) {
            if (INT_PTR own = w->dialogProc(hwnd, WM_CTLCOLORDLG, wParam, reinterpret_cast<LPARAM>(hwnd)))
                brush = reinterpret_cast<HBRUSH>(own);
        }
        RECT r;
        GetClientRect(hwnd, &r);
        FillRect(dc, &r, brush ? brush : GetSysColorBrush(COLOR_BTNFACE));
        return 1;
    }
    case WM_CLOSE: ClickCommand(hwnd, IDCANCEL); return 0;
    case WM_SETFOCUS:
        if (w->lastFocus && IsChild(hwnd, w->lastFocus))
            SetFocus(w->lastFocus);
        else if (HWND first = GetNextDlgTabItem(hwnd, nullptr, FALSE))
            SetFocus(first);
        return 0;
    case DM_GETDEFID: return MAKELONG(w->defaultId, DC_HASDEFID);
    case DM_SETDEFID: {
        // The old default button loses its look, the new one takes it.
        if (HWND old = GetDlgItem(hwnd, w->defaultId); old && IsPushButton(old))
            SendMessageA(old, BM_SETSTYLE, BS_PUSHBUTTON, TRUE);
        w->defaultId = static_cast<int>(wParam);
        if (HWND now = GetDlgItem(hwnd, w->defaultId); now && IsPushButton(now))
            SendMessageA(now, BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
        return TRUE;
    }
    case WM_GETDLGCODE: return 0;
    default: return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
}

namespace {

// Dialog units to pixels, rounded to nearest as Windows does.
LONG Scale(LONG value, int units, int per)
{
    const long long n = static_cast<long long>(value) * units;
    return static_cast<LONG>(n >= 0 ? (n + per / 2) / per : -((-n + per / 2) / per));
}

}  // namespace

BOOL MapDialogRect(HWND, LPRECT rect)
{
    if (!rect) return FALSE;
    rect->left = Scale(rect->left, kBaseUnitX, 4);
    rect->right = Scale(rect->right, kBaseUnitX, 4);
    rect->top = Scale(rect->top, kBaseUnitY, 8);
    rect->bottom = Scale(rect->bottom, kBaseUnitY, 8);
    return TRUE;
}

HWND CreateDialogIndirectParamA(HINSTANCE module, const DLGTEMPLATEA* t, HWND owner, DLGPROC proc, LPARAM param)
{
    if (!t || (t->itemCount > 0 && !t->items)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (owner && !Find(owner)) return nullptr;
    DWORD style = t->style & ~WS_VISIBLE;
    DWORD exStyle = t->exStyle;
    if (style & DS_MODALFRAME) exStyle |= WS_EX_DLGMODALFRAME;
    if (style & DS_CONTROL) {
        style = (style & ~(WS_CAPTION | WS_SYSMENU | WS_POPUP | WS_THICKFRAME)) | WS_CHILD;
        exStyle |= WS_EX_CONTROLPARENT;
    }
    // The client area from the template; the frame is added round it.
    RECT client{t->x, t->y, t->x + t->cx, t->y + t->cy};
    MapDialogRect(nullptr, &client);
    Window probe;
    probe.style = style;
    probe.exStyle = exStyle;
    probe.rect = RECT{0, 0, 1000, 1000};
    const RECT inner = ClientRectInWindow(probe);
    const int frameW = 1000 - (inner.right - inner.left), frameH = 1000 - (inner.bottom - inner.top);
    int width = (client.right - client.left) + frameW, height = (client.bottom - client.top) + frameH;
    int x = client.left, y = client.top;
    if (!(style & WS_CHILD)) {
        if (style & DS_CENTER) {
            RECT area{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
            if (owner) GetWindowRect(GetAncestor(owner, GA_ROOT), &area);
            x = area.left + ((area.right - area.left) - width) / 2;
            y = area.top + ((area.bottom - area.top) - height) / 2;
        } else if (owner && !(style & DS_ABSALIGN)) {
            POINT o{0, 0};
            ClientToScreen(owner, &o);
            x += o.x;
            y += o.y;
        }
    }
    const char* cls = t->className ? t->className : "#32770";
    WindowClass* windowClass = FindClass(cls);
    if (!windowClass) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    // The dialog procedure must see WM_NCCREATE and WM_CREATE's followers,
    // so the record is marked as a dialog before anything is sent: it is
    // created with no procedure and given one at once.
    HWND dlg = CreateWindowExA(exStyle, cls, t->caption, style, x, y, width, height, owner, nullptr, module, nullptr);
    if (!dlg) return nullptr;
    Window* w = FindQuiet(dlg);
    w->dialog = true;
    w->dialogProc = proc;
    SendMessageA(dlg, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), FALSE);
    HFONT font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    for (int i = 0; i < t->itemCount; ++i) {
        const DLGITEM& item = t->items[i];
        // Dialogs draw a bordered edit, list or tree sunken, as the 3-D
        // dialogs of the system do.
        DWORD itemStyle = item.style, itemExStyle = item.exStyle;
        if ((itemStyle & WS_BORDER) && item.className && !IS_INTRESOURCE(item.className)) {
            for (const char* sunken : {"Edit", "ListBox", "ComboBox", "SysListView32", "SysTreeView32"})
                if (strcasecmp(item.className, sunken) == 0) {
                    itemStyle &= ~WS_BORDER;
                    itemExStyle |= WS_EX_CLIENTEDGE;
                }
        }
        RECT r{item.x, item.y, item.x + item.cx, item.y + item.cy};
        MapDialogRect(dlg, &r);
        HWND control = CreateWindowExA(itemExStyle, item.className, item.text ? item.text : "",
                                       itemStyle | WS_CHILD | (item.hidden ? 0u : DWORD(WS_VISIBLE)), r.left, r.top,
                                       r.right - r.left,
                                       r.bottom - r.top, dlg, reinterpret_cast<HMENU>(static_cast<INT_PTR>(item.id)),
                                       module, nullptr);
        if (!control) {
            // A template naming a class nobody registered fails the dialog,
            // as on Windows; the reason is kept for the caller.
            const DWORD why = GetLastError();
            DestroyWindow(dlg);
            SetLastError(why ? why : ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        if (IsPushButton(control) && (item.style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) w->defaultId = item.id;
    }
    HWND first = GetNextDlgTabItem(dlg, nullptr, FALSE);
    if (SendMessageA(dlg, WM_INITDIALOG, reinterpret_cast<WPARAM>(first), param) && first && IsWindow(first))
        SetFocus(first);
    if (!IsWindow(dlg)) return nullptr;
    if (t->style & WS_VISIBLE) ShowWindow(dlg, SW_SHOW);
    return dlg;
}

HWND CreateDialogParamA(HINSTANCE module, LPCSTR name, HWND owner, DLGPROC proc, LPARAM param)
{
    const DLGTEMPLATEA* t = FindDialogTemplate(module, name);
    return t ? CreateDialogIndirectParamA(module, t, owner, proc, param) : nullptr;
}

INT_PTR DialogBoxIndirectParamA(HINSTANCE module, const DLGTEMPLATEA* t, HWND owner, DLGPROC proc, LPARAM param)
{
    if (owner && !Find(owner)) return -1;
    HWND ownerTop = owner ? GetAncestor(owner, GA_ROOT) : nullptr;
    HWND dlg = CreateDialogIndirectParamA(module, t, owner, proc, param);
    if (!dlg) return -1;
    Window* w = FindQuiet(dlg);
    const bool ownerWasEnabled = ownerTop && IsWindowEnabled(ownerTop);
    if (ownerWasEnabled) EnableWindow(ownerTop, FALSE);
    if (!w->dialogEnded) {
        ShowWindow(dlg, SW_SHOW);
        UpdateWindow(dlg);
    }
    bool quit = false;
    int quitCode = 0;
    while (IsWindow(dlg) && !w->dialogEnded) {
        MSG msg;
        if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (RunIdleHook(dlg)) continue;
            if (!GetMessageA(&msg, nullptr, 0, 0)) {
                quit = true;
                quitCode = static_cast<int>(msg.wParam);
                break;
            }
        } else if (msg.message == WM_QUIT) {
            quit = true;
            quitCode = static_cast<int>(msg.wParam);
            break;
        }
        if (!IsDialogMessageA(dlg, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    const INT_PTR result = w->dialogEnded ? w->dialogResult : 0;
    if (ownerWasEnabled) EnableWindow(ownerTop, TRUE);
    if (IsWindow(dlg)) DestroyWindow(dlg);
    if (ownerTop && IsWindow(ownerTop)) SetActiveWindow(ownerTop);
    if (quit) PostQuitMessage(quitCode);  // the loop that owns the quit sees it too
    return result;
}

INT_PTR DialogBoxParamA(HINSTANCE module, LPCSTR name, HWND owner, DLGPROC proc, LPARAM param)
{
    const DLGTEMPLATEA* t = FindDialogTemplate(module, name);
    return t ? DialogBoxIndirectParamA(module, t, owner, proc, param) : -1;
}

BOOL EndDialog(HWND dialog, INT_PTR result)
{
    Window* w = Find(dialog);
    if (!w || !w->dialog) return FALSE;
    w->dialogEnded = true;
    w->dialogResult = result;
    ShowWindow(dialog, SW_HIDE);
    return TRUE;
}

HWND GetNextDlgTabItem(HWND dialog, HWND control, BOOL previous)
{
    Window* d = Find(dialog);
    if (!d) return nullptr;
    std::vector<Window*> order;
    {
        std::lock_guard guard(Lock());
        TabOrder(*d, order);
    }
    std::vector<Window*> stops;
    for (Window* c : order)
        if (Usable(c) && (c->style & WS_TABSTOP)) stops.push_back(c);
    if (stops.empty()) return nullptr;
    Window* current = control ? FindQuiet(control) : nullptr;
    auto it = std::find(stops.begin(), stops.end(), current);
    if (it == stops.end()) return previous ? stops.back()->handle : stops.front()->handle;
    const size_t i = static_cast<size_t>(it - stops.begin());
    const size_t n = stops.size();
    return stops[previous ? (i + n - 1) % n : (i + 1) % n]->handle;
}

HWND GetNextDlgGroupItem(HWND dialog, HWND control, BOOL previous)
{
    Window* d = Find(dialog);
    Window* c = FindQuiet(control);
    if (!d || !c) return nullptr;
    std::vector<Window*> order;
    TabOrder(*d, order);
    auto it = std::find(order.begin(), order.end(), c);
    if (it == order.end()) return nullptr;
    // The group: from the last WS_GROUP at or before the control to the
    // next WS_GROUP after it.
    size_t start = static_cast<size_t>(it - order.begin());
    while (start > 0 && !(order[start]->style & WS_GROUP)) --start;
    size_t end = static_cast<size_t>(it - order.begin()) + 1;
    while (end < order.size() && !(order[end]->style & WS_GROUP)) ++end;
    const size_t n = end - start, at = static_cast<size_t>(it - order.begin()) - start;
    for (size_t step = 1; step <= n; ++step) {
        Window* x = order[start + (previous ? (at + n - step) % n : (at + step) % n)];
        if (Usable(x)) return x->handle;
    }
    return control;
}

BOOL IsDialogMessageA(HWND dialog, LPMSG msg)
{
    if (!msg || !IsWindow(dialog)) return FALSE;
    if (msg->hwnd != dialog && !IsChild(dialog, msg->hwnd)) return FALSE;
    if (msg->message == WM_KEYDOWN) {
        HWND focus = GetFocus();
        const LRESULT code = focus ? SendMessageA(focus, WM_GETDLGCODE, msg->wParam, reinterpret_cast<LPARAM>(msg)) : 0;
        switch (msg->wParam) {
        case VK_TAB:
            if (code & (DLGC_WANTTAB | DLGC_WANTALLKEYS)) break;
            if (HWND next = GetNextDlgTabItem(dialog, focus, GetKeyState(VK_SHIFT) < 0)) SetFocus(next);
            return TRUE;
        case VK_RETURN: {
            if (code & DLGC_WANTALLKEYS) break;
            int id = LOWORD(SendMessageA(dialog, DM_GETDEFID, 0, 0));
            if (focus && IsPushButton(focus) && IsChild(dialog, focus)) id = GetDlgCtrlID(focus);
            ClickCommand(dialog, id);
            return TRUE;
        }
        case VK_ESCAPE:
            if (code & DLGC_WANTALLKEYS) break;
            ClickCommand(dialog, IDCANCEL);
            return TRUE;
        case VK_LEFT:
        case VK_UP:
        case VK_RIGHT:
        case VK_DOWN:
            if (code & (DLGC_WANTARROWS | DLGC_WANTALLKEYS)) break;
            if (focus)
                if (HWND next = GetNextDlgGroupItem(dialog, focus, msg->wParam == VK_LEFT || msg->wParam == VK_UP)) {
                    SetFocus(next);
                    if (SendMessageA(next, WM_GETDLGCODE, 0, 0) & DLGC_RADIOBUTTON) SendMessageA(next, BM_CLICK, 0, 0);
                }
            return TRUE;
        default: break;
        }
    }
    TranslateMessage(msg);
    DispatchMessageA(msg);
    return TRUE;
}

HWND GetDlgItem(HWND dialog, int id)
{
    std::lock_guard guard(Lock());
    Window* d = Find(dialog);
    if (!d) return nullptr;
    for (Window* c : d->children)
        if (!c->dead && static_cast<int>(c->id) == id) return c->handle;
    SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
    return nullptr;
}

BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text)
{
    HWND c = GetDlgItem(dialog, id);
    return c ? SetWindowTextA(c, text) : FALSE;
}

UINT GetDlgItemTextA(HWND dialog, int id, LPSTR text, int max)
{
    if (text && max > 0) text[0] = 0;
    HWND c = GetDlgItem(dialog, id);
    return c ? static_cast<UINT>(GetWindowTextA(c, text, max)) : 0;
}

BOOL SetDlgItemInt(HWND dialog, int id, UINT value, BOOL isSigned)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, isSigned ? "%d" : "%u", value);
    return SetDlgItemTextA(dialog, id, buffer);
}

UINT GetDlgItemInt(HWND dialog, int id, BOOL* translated, BOOL isSigned)
{
    if (translated) *translated = FALSE;
    char buffer[64];
    if (!GetDlgItemTextA(dialog, id, buffer, sizeof buffer) && !GetDlgItem(dialog, id)) return 0;
    // Leading and trailing blanks are allowed; anything else fails, as does
    // a value out of range.
    const char* p = buffer;
    while (*p == ' ') ++p;
    if (!*p) return 0;
    char* end = nullptr;
    errno = 0;
    long long v = isSigned ? std::strtoll(p, &end, 10) : static_cast<long long>(std::strtoull(p, &end, 10));
    while (end && *end == ' ') ++end;
    if (!end || *end || errno == ERANGE || (!isSigned && *p == '-')) return 0;
    if (isSigned ? (v < INT32_MIN || v > INT32_MAX) : (v < 0 || v > static_cast<long long>(UINT32_MAX))) return 0;
    if (translated) *translated = TRUE;
    return static_cast<UINT>(v);
}

LRESULT SendDlgItemMessageA(HWND dialog, int id, UINT msg, WPARAM wParam, LPARAM lParam)
{
    HWND c = GetDlgItem(dialog, id);
    return c ? SendMessageA(c, msg, wParam, lParam) : 0;
}

BOOL CheckDlgButton(HWND dialog, int id, UINT check)
{
    HWND c = GetDlgItem(dialog, id);
    if (!c) return FALSE;
    SendMessageA(c, BM_SETCHECK, check, 0);
    return TRUE;
}

UINT IsDlgButtonChecked(HWND dialog, int id)
{
    HWND c = GetDlgItem(dialog, id);
    return c ? static_cast<UINT>(SendMessageA(c, BM_GETCHECK, 0, 0)) : 0;
}

BOOL CheckRadioButton(HWND dialog, int first, int last, int check)
{
    if (!Find(dialog)) return FALSE;
    for (int id = first; id <= last; ++id)
        if (HWND c = GetDlgItem(dialog, id)) SendMessageA(c, BM_SETCHECK, id == check ? BST_CHECKED : BST_UNCHECKED, 0);
    return TRUE;
}
