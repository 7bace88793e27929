// Window classes and windows: creation and destruction, the tree of
// parents, children and owners, rectangles, text, window longs, showing,
// enabling and focus.
#include <algorithm>
#include <cstring>
#include <strings.h>

#include "user_internal.h"

namespace user {
namespace {

std::map<uintptr_t, std::unique_ptr<Window>>& Windows()
{
    static std::map<uintptr_t, std::unique_ptr<Window>> windows;
    return windows;
}
std::vector<std::unique_ptr<WindowClass>>& Classes()
{
    static std::vector<std::unique_ptr<WindowClass>> classes;
    return classes;
}
uintptr_t nextWindow = 0x20000;
HWND focus = nullptr;
HWND active = nullptr;
HWND capture = nullptr;

constexpr int kScreenWidth = 1024, kScreenHeight = 768;

std::string Lower(std::string s)
{
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string ClassNameOf(LPCSTR name)
{
    if (IS_INTRESOURCE(name)) return "#" + std::to_string(reinterpret_cast<uintptr_t>(name));
    return name;
}

void Unlink(Window& w)
{
    auto& list = w.parent ? w.parent->children : TopLevel();
    list.erase(std::remove(list.begin(), list.end(), &w), list.end());
}

void DestroyTree(Window& w)
{
    // WM_DESTROY goes to the window before its children, WM_NCDESTROY after.
    SendMessageA(w.handle, WM_DESTROY, 0, 0);
    std::vector<Window*> kids;
    {
        std::lock_guard guard(Lock());
        kids = w.children;
    }
    for (Window* k : kids)
        if (!k->dead) {
            k->destroying = true;
            DestroyTree(*k);
        }
    SendMessageA(w.handle, WM_NCDESTROY, 0, 0);
    std::lock_guard guard(Lock());
    if (focus == w.handle) focus = nullptr;
    if (active == w.handle) active = nullptr;
    if (capture == w.handle) capture = nullptr;
    KillWindowTimers(w.handle);
    RemoveWindowMessages(w.handle);
    Unlink(w);
    w.dead = true;
    w.control.reset();
    w.image.reset();
}

void ParentNotify(Window& w, UINT event)
{
    if (!(w.style & WS_CHILD) || (w.exStyle & WS_EX_NOPARENTNOTIFY)) return;
    for (Window* p = w.parent; p && !p->dead; p = p->parent) {
        SendMessageA(p->handle, WM_PARENTNOTIFY, MAKEWPARAM(event, static_cast<WORD>(w.id)),
                     reinterpret_cast<LPARAM>(w.handle));
        if (!(p->style & WS_CHILD) || (p->exStyle & WS_EX_NOPARENTNOTIFY)) break;
    }
}

}  // namespace

std::recursive_mutex& Lock()
{
    static std::recursive_mutex lock;
    return lock;
}

Window* FindQuiet(HWND hwnd)
{
    std::lock_guard guard(Lock());
    auto it = Windows().find(reinterpret_cast<uintptr_t>(hwnd));
    if (it == Windows().end() || it->second->dead) return nullptr;
    return it->second.get();
}

Window* Find(HWND hwnd)
{
    Window* w = FindQuiet(hwnd);
    if (!w) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return w;
}

std::vector<Window*>& TopLevel()
{
    static std::vector<Window*> top;
    return top;
}

WindowClass* FindClass(const std::string& name)
{
    std::lock_guard guard(Lock());
    RegisterControlClasses();
    const std::string key = Lower(name);
    for (auto& c : Classes())
        if (Lower(c->name) == key) return c.get();
    return nullptr;
}

void RegisterSystemClass(const char* name, WNDPROC proc, UINT style, int extra, HBRUSH background)
{
    auto c = std::make_unique<WindowClass>();
    c->name = name;
    c->proc = proc;
    c->style = style | CS_GLOBALCLASS;
    c->windowExtra = extra;
    c->background = background;
    c->system = true;
    Classes().push_back(std::move(c));
}

RECT ClientRectInWindow(const Window& w)
{
    RECT r{0, 0, w.rect.right - w.rect.left, w.rect.bottom - w.rect.top};
    int frame = 0, caption = 0;
    if ((w.style & WS_CAPTION) == WS_CAPTION) caption = 18;
    if (w.style & WS_THICKFRAME)
        frame = 4;
    else if ((w.style & WS_DLGFRAME) || (w.exStyle & WS_EX_DLGMODALFRAME))
        frame = 3;
    else if (w.style & WS_BORDER)
        frame = 1;
    if (w.exStyle & WS_EX_CLIENTEDGE) frame += 2;
    if (w.exStyle & WS_EX_STATICEDGE) frame += 1;
    InflateRect(&r, -frame, -frame);
    r.top += caption;
    if (w.style & WS_VSCROLL) r.right -= 16;
    if (w.style & WS_HSCROLL) r.bottom -= 16;
    if (r.right < r.left) r.right = r.left;
    if (r.bottom < r.top) r.bottom = r.top;
    return r;
}

Window* TopOf(Window* w)
{
    while (w && w->parent) w = w->parent;
    return w;
}

POINT ClientOriginInTop(const Window& w)
{
    // Walks up: each window's client origin inside its window rectangle,
    // plus its rectangle's place in the parent's client area.
    const RECT c = ClientRectInWindow(w);
    POINT p{c.left, c.top};
    for (const Window* x = &w; x->parent; x = x->parent) {
        p.x += x->rect.left;
        p.y += x->rect.top;
        const RECT pc = ClientRectInWindow(*x->parent);
        p.x += pc.left;
        p.y += pc.top;
    }
    return p;
}

void ResizeImage(Window& top)
{
    const int w = std::max<LONG>(1, top.rect.right - top.rect.left);
    const int h = std::max<LONG>(1, top.rect.bottom - top.rect.top);
    if (!top.image) top.image = std::make_unique<gdi::Surface>();
    if (top.image->width != w || top.image->height != h) top.image->Allocate(w, h);
}

bool ReallyVisible(const Window& w)
{
    for (const Window* x = &w; x; x = x->parent)
        if (!(x->style & WS_VISIBLE) || x->dead) return false;
    return true;
}

}  // namespace user

using namespace user;

ATOM RegisterClassA(const WNDCLASSA* wc)
{
    if (!wc || !wc->lpszClassName || !wc->lpfnWndProc || wc->cbWndExtra < 0 || wc->cbClsExtra < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::lock_guard guard(Lock());
    const std::string name = ClassNameOf(wc->lpszClassName);
    if (WindowClass* old = FindClass(name)) {
        if (!old->system) {
            SetLastError(ERROR_CLASS_ALREADY_EXISTS);
            return 0;
        }
    }
    auto c = std::make_unique<WindowClass>();
    c->name = name;
    c->proc = wc->lpfnWndProc;
    c->style = wc->style;
    c->classExtra = wc->cbClsExtra;
    c->windowExtra = wc->cbWndExtra;
    c->instance = wc->hInstance;
    c->background = wc->hbrBackground;
    c->icon = wc->hIcon;
    c->cursor = wc->hCursor;
    // A class of the application's own hides a system class of the same name.
    Classes().insert(Classes().begin(), std::move(c));
    return static_cast<ATOM>(0xC000 + Classes().size());
}

BOOL UnregisterClassA(LPCSTR name, HINSTANCE)
{
    std::lock_guard guard(Lock());
    if (!name) return FALSE;
    WindowClass* c = FindClass(ClassNameOf(name));
    if (!c || c->system) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    for (auto& [h, w] : Windows())
        if (!w->dead && w->cls == c) {
            SetLastError(1412);  // ERROR_CLASS_HAS_WINDOWS
            return FALSE;
        }
    auto& list = Classes();
    list.erase(std::remove_if(list.begin(), list.end(), [c](auto& p) { return p.get() == c; }), list.end());
    return TRUE;
}

BOOL GetClassInfoA(HINSTANCE instance, LPCSTR name, WNDCLASSA* wc)
{
    if (!name || !wc) return FALSE;
    WindowClass* c = FindClass(ClassNameOf(name));
    if (!c) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    *wc = WNDCLASSA{c->style, c->proc, c->classExtra, c->windowExtra, c->system ? instance : c->instance,
                    c->icon, c->cursor, c->background, nullptr, name};
    return TRUE;
}

int GetClassNameA(HWND hwnd, LPSTR name, int max)
{
    Window* w = Find(hwnd);
    if (!w || !name || max <= 0) return 0;
    const std::string& n = w->cls->name;
    const int len = std::min<int>(static_cast<int>(n.size()), max - 1);
    std::memcpy(name, n.data(), len);
    name[len] = 0;
    return len;
}

HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y, int width,
                     int height, HWND parentHandle, HMENU menuOrId, HINSTANCE instance, LPVOID param)
{
    if (!className) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    WindowClass* cls = FindClass(ClassNameOf(className));
    if (!cls) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    Window* parent = nullptr;
    if (parentHandle && parentHandle != HWND_DESKTOP) {
        parent = Find(parentHandle);
        if (!parent) return nullptr;
    }
    if ((style & WS_CHILD) && !parent) {
        SetLastError(ERROR_TLW_WITH_WSCHILD);
        return nullptr;
    }
    auto owned = std::make_unique<Window>();
    Window* w = owned.get();
    HWND handle;
    {
        std::lock_guard guard(Lock());
        nextWindow += 4;
        handle = reinterpret_cast<HWND>(nextWindow);
        w->handle = handle;
        w->cls = cls;
        w->proc = cls->proc;
        w->style = style;
        w->exStyle = exStyle;
        w->text = windowName && !IS_INTRESOURCE(windowName) ? windowName : "";
        w->instance = instance;
        w->thread = std::this_thread::get_id();
        w->extra.assign(cls->windowExtra, 0);
        if (style & WS_CHILD) {
            w->parent = parent;
            w->id = reinterpret_cast<INT_PTR>(menuOrId);
        } else {
            w->owner = TopOf(parent);
            // Overlapped windows always have a caption and a border.
            if (!(style & WS_POPUP)) w->style |= WS_CAPTION | WS_CLIPSIBLINGS;
        }
        if (x == CW_USEDEFAULT) x = y = 32;
        if (width == CW_USEDEFAULT) {
            width = 400;
            height = 300;
        }
        w->rect = RECT{x, y, x + std::max(0, width), y + std::max(0, height)};
        Windows()[reinterpret_cast<uintptr_t>(handle)] = std::move(owned);
        // New children go below their siblings (so a dialog's first control
        // stays first); a new top-level window goes on top.
        if (parent)
            parent->children.push_back(w);
        else
            TopLevel().insert(TopLevel().begin(), w);
        if (!parent) ResizeImage(*w);
    }
    CREATESTRUCTA cs{param, instance, menuOrId, parentHandle, height, width, y, x, static_cast<LONG>(style),
                     windowName, className, exStyle};
    if (!SendMessageA(handle, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&cs)) ||
        SendMessageA(handle, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
        DestroyWindow(handle);
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!FindQuiet(handle)) return nullptr;  // destroyed itself while being created
    w->created = true;
    SendMessageA(handle, WM_SIZE, SIZE_RESTORED,
                 MAKELPARAM(ClientRectInWindow(*w).right - ClientRectInWindow(*w).left,
                            ClientRectInWindow(*w).bottom - ClientRectInWindow(*w).top));
    ParentNotify(*w, WM_CREATE);
    if (w->style & WS_VISIBLE) InvalidateTree(*w, nullptr, true);
    return handle;
}

BOOL DestroyWindow(HWND hwnd)
{
    Window* w = Find(hwnd);
    if (!w) return FALSE;
    if (w->destroying) return TRUE;
    w->destroying = true;
    // Owned windows go first.
    std::vector<HWND> ownedWindows;
    {
        std::lock_guard guard(Lock());
        for (Window* t : TopLevel())
            if (t->owner == w) ownedWindows.push_back(t->handle);
    }
    for (HWND o : ownedWindows) DestroyWindow(o);
    if (w->style & WS_VISIBLE) ShowWindow(hwnd, SW_HIDE);
    ParentNotify(*w, WM_DESTROY);
    DestroyTree(*w);
    return TRUE;
}

BOOL IsWindow(HWND hwnd) { return FindQuiet(hwnd) != nullptr; }

BOOL IsChild(HWND parent, HWND hwnd)
{
    Window* w = FindQuiet(hwnd);
    for (Window* p = w ? w->parent : nullptr; p; p = p->parent)
        if (p->handle == parent) return TRUE;
    return FALSE;
}

HWND GetParent(HWND hwnd)
{
    Window* w = Find(hwnd);
    if (!w) return nullptr;
    if (w->style & WS_CHILD) return w->parent ? w->parent->handle : nullptr;
    return w->owner ? w->owner->handle : nullptr;
}

HWND SetParent(HWND hwnd, HWND parentHandle)
{
    Window* w = Find(hwnd);
    Window* p = parentHandle ? Find(parentHandle) : nullptr;
    if (!w || (parentHandle && !p)) return nullptr;
    std::lock_guard guard(Lock());
    HWND old = w->parent ? w->parent->handle : GetDesktopWindow();
    Unlink(*w);
    w->parent = p;
    if (p)
        p->children.insert(p->children.begin(), w);
    else {
        TopLevel().insert(TopLevel().begin(), w);
        ResizeImage(*w);
    }
    return old;
}

HWND GetAncestor(HWND hwnd, UINT flags)
{
    Window* w = Find(hwnd);
    if (!w) return nullptr;
    switch (flags) {
    case GA_PARENT: return w->parent ? w->parent->handle : GetDesktopWindow();
    case GA_ROOT: return TopOf(w)->handle;
    case GA_ROOTOWNER: {
        Window* r = TopOf(w);
        while (r->owner) r = TopOf(r->owner);
        return r->handle;
    }
    default: return nullptr;
    }
}

HWND GetWindow(HWND hwnd, UINT cmd)
{
    std::lock_guard guard(Lock());
    Window* w = Find(hwnd);
    if (!w) return nullptr;
    const auto& siblings = w->parent ? w->parent->children : TopLevel();
    auto it = std::find(siblings.begin(), siblings.end(), w);
    switch (cmd) {
    case GW_HWNDFIRST: return siblings.empty() ? nullptr : siblings.front()->handle;
    case GW_HWNDLAST: return siblings.empty() ? nullptr : siblings.back()->handle;
    case GW_HWNDNEXT: return it != siblings.end() && it + 1 != siblings.end() ? (*(it + 1))->handle : nullptr;
    case GW_HWNDPREV: return it != siblings.begin() && it != siblings.end() ? (*(it - 1))->handle : nullptr;
    case GW_OWNER: return w->owner ? w->owner->handle : nullptr;
    case GW_CHILD: return w->children.empty() ? nullptr : w->children.front()->handle;
    default: SetLastError(ERROR_INVALID_PARAMETER); return nullptr;
    }
}

HWND GetDesktopWindow() { return reinterpret_cast<HWND>(static_cast<uintptr_t>(0x10010)); }

BOOL EnumChildWindows(HWND parent, WNDENUMPROC proc, LPARAM param)
{
    Window* p = Find(parent);
    if (!p || !proc) return FALSE;
    std::vector<HWND> all;
    std::function<void(Window&)> walk = [&](Window& x) {
        for (Window* c : x.children) {
            all.push_back(c->handle);
            walk(*c);
        }
    };
    {
        std::lock_guard guard(Lock());
        walk(*p);
    }
    for (HWND h : all)
        if (IsWindow(h) && !proc(h, param)) break;
    return TRUE;
}

BOOL EnumWindows(WNDENUMPROC proc, LPARAM param)
{
    if (!proc) return FALSE;
    std::vector<HWND> all;
    {
        std::lock_guard guard(Lock());
        for (Window* t : TopLevel()) all.push_back(t->handle);
    }
    for (HWND h : all)
        if (IsWindow(h) && !proc(h, param)) break;
    return TRUE;
}

HWND FindWindowA(LPCSTR className, LPCSTR windowName)
{
    std::lock_guard guard(Lock());
    for (Window* t : TopLevel()) {
        if (className && strcasecmp(t->cls->name.c_str(), ClassNameOf(className).c_str()) != 0) continue;
        if (windowName && t->text != windowName) continue;
        return t->handle;
    }
    return nullptr;
}

DWORD GetWindowThreadProcessId(HWND hwnd, LPDWORD processId)
{
    Window* w = Find(hwnd);
    if (!w) return 0;
    if (processId) *processId = GetCurrentProcessId();
    return static_cast<DWORD>(std::hash<std::thread::id>{}(w->thread));
}

LONG_PTR GetWindowLongPtrA(HWND hwnd, int index)
{
    std::lock_guard guard(Lock());
    Window* w = Find(hwnd);
    if (!w) return 0;
    switch (index) {
    case GWL_WNDPROC: return reinterpret_cast<LONG_PTR>(w->proc);
    case GWL_HINSTANCE: return reinterpret_cast<LONG_PTR>(w->instance);
    case GWL_HWNDPARENT: return reinterpret_cast<LONG_PTR>(w->parent ? w->parent->handle : w->owner ? w->owner->handle : nullptr);
    case GWL_ID: return w->id;
    case GWL_STYLE: return static_cast<LONG_PTR>(w->style);
    case GWL_EXSTYLE: return static_cast<LONG_PTR>(w->exStyle);
    case GWL_USERDATA: return w->userData;
    default: break;
    }
    if (w->dialog && index >= 0 && index <= DWL_USER && index % 4 == 0 && w->extra.size() < 12) {
        if (index == DWL_MSGRESULT) return w->msgResult;
        if (index == DWL_DLGPROC) return reinterpret_cast<LONG_PTR>(w->dialogProc);
        return w->dialogUser;
    }
    if (index < 0 || index + static_cast<int>(sizeof(LONG_PTR)) > static_cast<int>(w->extra.size())) {
        SetLastError(ERROR_INVALID_INDEX);
        return 0;
    }
    LONG_PTR v;
    std::memcpy(&v, w->extra.data() + index, sizeof v);
    return v;
}

LONG_PTR SetWindowLongPtrA(HWND hwnd, int index, LONG_PTR value)
{
    std::lock_guard guard(Lock());
    Window* w = Find(hwnd);
    if (!w) return 0;
    LONG_PTR old = GetWindowLongPtrA(hwnd, index);
    switch (index) {
    case GWL_WNDPROC:
        // Sub-classing: the new procedure gets every message from now on.
        if (!value) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        w->proc = reinterpret_cast<WNDPROC>(value);
        return old;
    case GWL_HINSTANCE: w->instance = reinterpret_cast<HINSTANCE>(value); return old;
    case GWL_ID: w->id = value; return old;
    case GWL_STYLE: w->style = static_cast<DWORD>(value); return old;
    case GWL_EXSTYLE: w->exStyle = static_cast<DWORD>(value); return old;
    case GWL_USERDATA: w->userData = value; return old;
    case GWL_HWNDPARENT: return old;
    default: break;
    }
    if (w->dialog && index >= 0 && index <= DWL_USER && index % 4 == 0 && w->extra.size() < 12) {
        if (index == DWL_MSGRESULT) w->msgResult = value;
        else if (index == DWL_DLGPROC) w->dialogProc = reinterpret_cast<DLGPROC>(value);
        else w->dialogUser = value;
        return old;
    }
    if (index < 0 || index + static_cast<int>(sizeof(LONG_PTR)) > static_cast<int>(w->extra.size())) {
        SetLastError(ERROR_INVALID_INDEX);
        return 0;
    }
    std::memcpy(w->extra.data() + index, &value, sizeof value);
    return old;
}

LONG GetWindowLongA(HWND hwnd, int index) { return static_cast<LONG>(GetWindowLongPtrA(hwnd, index)); }
LONG SetWindowLongA(HWND hwnd, int index, LONG value) { return static_cast<LONG>(SetWindowLongPtrA(hwnd, index, value)); }

int GetDlgCtrlID(HWND hwnd)
{
    Window* w = Find(hwnd);
    return w && (w->style & WS_CHILD) ? static_cast<int>(w->id) : 0;
}

BOOL SetPropA(HWND hwnd, LPCSTR name, HANDLE data)
{
    std::lock_guard guard(Lock());
    Window* w = Find(hwnd);
    if (!w || !name) return FALSE;
    w->props[ClassNameOf(name)] = data;
    return TRUE;
}

HANDLE GetPropA(HWND hwnd, LPCSTR name)
{
    std::lock_guard guard(Lock());
    Window* w = Find(hwnd);
    if (!w || !name) return nullptr;
    auto it = w->props.find(ClassNameOf(name));
    return it == w->props.end() ? nullptr : it->second;
}

HANDLE RemovePropA(HWND hwnd, LPCSTR name)
{
    std::lock_guard guard(Lock());
    Window* w = Find(hwnd);
    if (!w || !name) return nullptr;
    auto it = w->props.find(ClassNameOf(name));
    if (it == w->props.end()) return nullptr;
    HANDLE h = it->second;
    w->props.erase(it);
    return h;
}

BOOL SetWindowTextA(HWND hwnd, LPCSTR text)
{
    if (!Find(hwnd)) return FALSE;
    return SendMessageA(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text ? text : "")) != 0;
}

int GetWindowTextA(HWND hwnd, LPSTR text, int max)
{
    if (!text || max <= 0) return 0;
    text[0] = 0;
    if (!Find(hwnd)) return 0;
    return static_cast<int>(SendMessageA(hwnd, WM_GETTEXT, max, reinterpret_cast<LPARAM>(text)));
}

int GetWindowTextLengthA(HWND hwnd)
{
    if (!Find(hwnd)) return 0;
    return static_cast<int>(SendMessageA(hwnd, WM_GETTEXTLENGTH, 0, 0));
}

BOOL GetWindowRect(HWND hwnd, LPRECT rect)
{
    std::lock_guard guard(Lock());
    Window* w = Find(hwnd);
    if (!w || !rect) return FALSE;
    *rect = w->rect;
    if (w->parent) {
        POINT o = ClientOriginInTop(*w->parent);
        Window* top = TopOf(w);
        OffsetRect(rect, o.x + top->rect.left, o.y + top->rect.top);
    }
    return TRUE;
}

BOOL GetClientRect(HWND hwnd, LPRECT rect)
{
    std::lock_guard guard(Lock());
    Window* w = Find(hwnd);
    if (!w || !rect) return FALSE;
    RECT c = ClientRectInWindow(*w);
    *rect = RECT{0, 0, c.right - c.left, c.bottom - c.top};
    return TRUE;
}

namespace {

bool ClientOriginOnScreen(HWND hwnd, POINT& p)
{
    Window* w = Find(hwnd);
    if (!w) return false;
    p = ClientOriginInTop(*w);
    Window* top = TopOf(w);
    p.x += top->rect.left;
    p.y += top->rect.top;
    return true;
}

}  // namespace

BOOL ClientToScreen(HWND hwnd, LPPOINT pt)
{
    std::lock_guard guard(Lock());
    POINT o;
    if (!pt || !ClientOriginOnScreen(hwnd, o)) return FALSE;
    pt->x += o.x;
    pt->y += o.y;
    return TRUE;
}

BOOL ScreenToClient(HWND hwnd, LPPOINT pt)
{
    std::lock_guard guard(Lock());
    POINT o;
    if (!pt || !ClientOriginOnScreen(hwnd, o)) return FALSE;
    pt->x -= o.x;
    pt->y -= o.y;
    return TRUE;
}

int MapWindowPoints(HWND from, HWND to, LPPOINT pts, UINT count)
{
    std::lock_guard guard(Lock());
    POINT a{0, 0}, b{0, 0};
    if (from && from != GetDesktopWindow() && !ClientOriginOnScreen(from, a)) return 0;
    if (to && to != GetDesktopWindow() && !ClientOriginOnScreen(to, b)) return 0;
    const int dx = a.x - b.x, dy = a.y - b.y;
    for (UINT i = 0; pts && i < count; ++i) {
        pts[i].x += dx;
        pts[i].y += dy;
    }
    SetLastError(0);
    return MAKELONG(static_cast<WORD>(dx), static_cast<WORD>(dy));
}

BOOL SetWindowPos(HWND hwnd, HWND after, int x, int y, int cx, int cy, UINT flags)
{
    Window* w = Find(hwnd);
    if (!w) return FALSE;
    WINDOWPOS pos{hwnd, after, x, y, cx, cy, flags};
    SendMessageA(hwnd, WM_WINDOWPOSCHANGING, 0, reinterpret_cast<LPARAM>(&pos));
    bool moved = false, sized = false;
    {
        std::lock_guard guard(Lock());
        RECT r = w->rect;
        if (!(flags & SWP_NOMOVE)) {
            OffsetRect(&r, pos.x - r.left, pos.y - r.top);
        }
        if (!(flags & SWP_NOSIZE)) {
            r.right = r.left + std::max(0, pos.cx);
            r.bottom = r.top + std::max(0, pos.cy);
        }
        moved = r.left != w->rect.left || r.top != w->rect.top;
        sized = r.right - r.left != w->rect.right - w->rect.left || r.bottom - r.top != w->rect.bottom - w->rect.top;
        w->rect = r;
        if (!w->parent) ResizeImage(*w);
        if (!(flags & SWP_NOZORDER)) {
            auto& list = w->parent ? w->parent->children : TopLevel();
            list.erase(std::remove(list.begin(), list.end(), w), list.end());
            if (after == HWND_BOTTOM)
                list.push_back(w);
            else if (after == HWND_TOP || after == HWND_TOPMOST || after == HWND_NOTOPMOST)
                list.insert(list.begin(), w);
            else {
                Window* a = FindQuiet(after);
                auto it = a ? std::find(list.begin(), list.end(), a) : list.end();
                list.insert(it == list.end() ? list.begin() : it + 1, w);
            }
        }
    }
    if (flags & SWP_SHOWWINDOW) ShowWindow(hwnd, SW_SHOWNA);
    if (flags & SWP_HIDEWINDOW) ShowWindow(hwnd, SW_HIDE);
    SendMessageA(hwnd, WM_WINDOWPOSCHANGED, 0, reinterpret_cast<LPARAM>(&pos));
    if (moved) {
        POINT o{0, 0};
        RECT c = ClientRectInWindow(*w);
        o.x = w->rect.left + c.left;
        o.y = w->rect.top + c.top;
        SendMessageA(hwnd, WM_MOVE, 0, MAKELPARAM(o.x, o.y));
    }
    if (sized) {
        RECT c = ClientRectInWindow(*w);
        SendMessageA(hwnd, WM_SIZE, SIZE_RESTORED, MAKELPARAM(c.right - c.left, c.bottom - c.top));
    }
    if ((moved || sized || !(flags & SWP_NOZORDER)) && !(flags & SWP_NOREDRAW)) {
        Window* repaint = w->parent ? w->parent : w;
        InvalidateTree(*repaint, nullptr, true);
    }
    return TRUE;
}

BOOL MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL repaint)
{
    return SetWindowPos(hwnd, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE | (repaint ? 0u : UINT(SWP_NOREDRAW)));
}

BOOL BringWindowToTop(HWND hwnd) { return SetWindowPos(hwnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE); }

HWND ChildWindowFromPoint(HWND parent, POINT pt)
{
    std::lock_guard guard(Lock());
    Window* p = Find(parent);
    if (!p) return nullptr;
    RECT c = ClientRectInWindow(*p);
    RECT client{0, 0, c.right - c.left, c.bottom - c.top};
    if (!PtInRect(&client, pt)) return nullptr;
    for (Window* k : p->children)
        if ((k->style & WS_VISIBLE) && PtInRect(&k->rect, pt)) return k->handle;
    return parent;
}

HWND WindowFromPoint(POINT pt)
{
    std::lock_guard guard(Lock());
    for (Window* t : TopLevel()) {
        if (!(t->style & WS_VISIBLE) || !PtInRect(&t->rect, pt)) continue;
        // Down the tree to the deepest visible, enabled child under the point.
        HWND found = t->handle;
        for (;;) {
            Window* w = FindQuiet(found);
            POINT local = pt;
            ScreenToClient(found, &local);
            HWND child = nullptr;
            for (Window* k : w->children)
                if ((k->style & WS_VISIBLE) && PtInRect(&k->rect, local)) {
                    // A group box is drawn round other controls and never takes their clicks.
                    if (strcasecmp(k->cls->name.c_str(), "Button") == 0 && (k->style & BS_TYPEMASK) == BS_GROUPBOX) continue;
                    child = k->handle;
                    break;
                }
            if (!child) return found;
            found = child;
        }
    }
    return nullptr;
}

BOOL ShowWindow(HWND hwnd, int cmd)
{
    Window* w = Find(hwnd);
    if (!w) return FALSE;
    const bool was = (w->style & WS_VISIBLE) != 0;
    const bool show = cmd != SW_HIDE;
    if (was == show) return was;
    SendMessageA(hwnd, WM_SHOWWINDOW, show, 0);
    {
        std::lock_guard guard(Lock());
        if (show)
            w->style |= WS_VISIBLE;
        else
            w->style &= ~WS_VISIBLE;
    }
    if (show) {
        InvalidateTree(*w, nullptr, true);
        if (!w->parent && cmd != SW_SHOWNA && cmd != SW_SHOWNOACTIVATE) SetActiveWindow(hwnd);
    } else {
        if (w->parent) InvalidateTree(*w->parent, nullptr, true);
        if (focus && (focus == hwnd || IsChild(hwnd, focus))) SetFocus(w->parent ? w->parent->handle : nullptr);
    }
    return was;
}

BOOL IsWindowVisible(HWND hwnd)
{
    Window* w = FindQuiet(hwnd);
    return w && ReallyVisible(*w);
}

BOOL EnableWindow(HWND hwnd, BOOL enable)
{
    Window* w = Find(hwnd);
    if (!w) return FALSE;
    const bool wasDisabled = (w->style & WS_DISABLED) != 0;
    if (wasDisabled == !enable) return wasDisabled;
    {
        std::lock_guard guard(Lock());
        if (enable)
            w->style &= ~WS_DISABLED;
        else
            w->style |= WS_DISABLED;
    }
    if (!enable && focus && (focus == hwnd || IsChild(hwnd, focus))) SetFocus(nullptr);
    SendMessageA(hwnd, WM_ENABLE, enable, 0);
    InvalidateTree(*w, nullptr, true);
    return wasDisabled;
}

BOOL IsWindowEnabled(HWND hwnd)
{
    Window* w = FindQuiet(hwnd);
    return w && !(w->style & WS_DISABLED);
}

HWND SetFocus(HWND hwnd)
{
    if (hwnd && !Find(hwnd)) return nullptr;
    HWND old = focus;
    if (old == hwnd) return old;
    focus = hwnd;
    if (old && IsWindow(old)) SendMessageA(old, WM_KILLFOCUS, reinterpret_cast<WPARAM>(hwnd), 0);
    if (hwnd && focus == hwnd) {
        Window* w = FindQuiet(hwnd);
        Window* top = TopOf(w);
        if (top && top->handle != active) active = top->handle;
        SendMessageA(hwnd, WM_SETFOCUS, reinterpret_cast<WPARAM>(old), 0);
    }
    return old;
}

HWND GetFocus() { return focus && IsWindow(focus) ? focus : nullptr; }

HWND SetActiveWindow(HWND hwnd)
{
    Window* w = Find(hwnd);
    if (!w) return nullptr;
    HWND old = active;
    if (old == hwnd) return old;
    active = TopOf(w)->handle;
    if (old && IsWindow(old)) SendMessageA(old, WM_ACTIVATE, WA_INACTIVE, reinterpret_cast<LPARAM>(hwnd));
    SendMessageA(active, WM_ACTIVATE, WA_ACTIVE, reinterpret_cast<LPARAM>(old));
    return old;
}

HWND GetActiveWindow() { return active && IsWindow(active) ? active : nullptr; }
BOOL SetForegroundWindow(HWND hwnd) { return SetActiveWindow(hwnd) != nullptr || GetActiveWindow() == hwnd; }
HWND GetForegroundWindow() { return GetActiveWindow(); }

HWND SetCapture(HWND hwnd)
{
    HWND old = capture;
    capture = Find(hwnd) ? hwnd : nullptr;
    return old;
}
BOOL ReleaseCapture()
{
    capture = nullptr;
    return TRUE;
}
HWND GetCapture() { return capture && IsWindow(capture) ? capture : nullptr; }

int GetSystemMetrics(int index)
{
    switch (index) {
    case SM_CXSCREEN: return kScreenWidth;
    case SM_CYSCREEN: return kScreenHeight;
    case SM_CXVSCROLL:
    case SM_CYHSCROLL: return 16;
    case SM_CYCAPTION: return 18;
    case SM_CXBORDER:
    case SM_CYBORDER: return 1;
    case SM_CXDLGFRAME:
    case SM_CYDLGFRAME: return 3;
    case SM_CXICON:
    case SM_CYICON: return 32;
    case SM_CXEDGE:
    case SM_CYEDGE: return 2;
    case SM_CXSMICON:
    case SM_CYSMICON: return 16;
    default: return 0;
    }
}

LONG GetDialogBaseUnits() { return MAKELONG(kBaseUnitX, kBaseUnitY); }
