// The window layer's state: classes, windows, thread queues and timers.
//
// Locking: one recursive lock (Lock()) guards every table here. It is never
// held while a window procedure runs, so a procedure may call anything.
// Window records are never freed: a destroyed window stays in the table
// marked dead, so a handle to it is refused rather than reused, and a
// procedure still running on it after DestroyWindow touches valid memory.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../gdi/gdi_surface.h"
#include "user.h"

namespace user {

struct WindowClass {
    std::string name;  // as registered; looked up without regard to case
    WNDPROC proc = nullptr;
    UINT style = 0;
    int classExtra = 0;
    int windowExtra = 0;
    HINSTANCE instance = nullptr;
    HBRUSH background = nullptr;
    HICON icon = nullptr;
    HCURSOR cursor = nullptr;
    bool system = false;
};

// Per-control state kept by a predefined control's procedure.
struct ControlState {
    virtual ~ControlState() = default;
};

struct ScrollState {
    int min = 0, max = 100, page = 0, pos = 0;
};

struct Window {
    HWND handle = nullptr;
    WindowClass* cls = nullptr;
    WNDPROC proc = nullptr;
    DWORD style = 0;
    DWORD exStyle = 0;
    std::string text;
    Window* parent = nullptr;  // null for a top-level window
    Window* owner = nullptr;
    std::vector<Window*> children;  // z-order, top first
    RECT rect{};                    // window rectangle: parent's client coordinates, or the screen's
    INT_PTR id = 0;
    HINSTANCE instance = nullptr;
    LONG_PTR userData = 0;
    std::vector<uint8_t> extra;
    std::thread::id thread;
    bool dead = false;
    bool destroying = false;
    bool created = false;
    RECT update{};  // client coordinates; empty: nothing to paint
    bool erase = false;
    HFONT font = nullptr;
    std::unique_ptr<gdi::Surface> image;  // top-level windows only
    std::map<std::string, HANDLE> props;
    std::unique_ptr<ControlState> control;
    ScrollState hscroll, vscroll;
    // Dialogs
    bool dialog = false;
    DLGPROC dialogProc = nullptr;
    LONG_PTR msgResult = 0;
    LONG_PTR dialogUser = 0;
    bool dialogEnded = false;
    INT_PTR dialogResult = 0;
    int defaultId = IDOK;
    HWND lastFocus = nullptr;
};

std::recursive_mutex& Lock();
Window* Find(HWND hwnd);           // null (and ERROR_INVALID_WINDOW_HANDLE) for a bad or dead handle
Window* FindQuiet(HWND hwnd);      // the same without touching the error code
WindowClass* FindClass(const std::string& name);
void RegisterSystemClass(const char* name, WNDPROC proc, UINT style, int extra, HBRUSH background);
// Every window, top-level ones in z-order (top first).
std::vector<Window*>& TopLevel();

// Non-client geometry.
RECT ClientRectInWindow(const Window& w);  // client area relative to the window rectangle
POINT ClientOriginInTop(const Window& w);  // client (0,0) in the top-level window's image
Window* TopOf(Window* w);
void ResizeImage(Window& top);
bool ReallyVisible(const Window& w);

// The thread queues.
void PostTo(std::thread::id thread, const MSG& msg);
void RemoveWindowMessages(HWND hwnd);
void KillWindowTimers(HWND hwnd);
bool AnyPaintPending(std::thread::id thread);

// Painting.
void DrawNonClient(Window& w);
void InvalidateTree(Window& w, const RECT* rect, bool erase);
void PaintNow(Window& w);  // paints the window and its children that need it, parents first

// Notifications to the parent.
LRESULT NotifyParent(HWND control, WORD code);  // WM_COMMAND
LRESULT SendNotify(HWND control, NMHDR* header);  // WM_NOTIFY
// The brush and colours a parent picks for a control (WM_CTLCOLOR*).
HBRUSH ControlColors(HWND control, HDC dc, UINT message);

// Controls.
void RegisterControlClasses();
template <typename T>
T* StateOf(HWND hwnd)
{
    Window* w = FindQuiet(hwnd);
    if (!w) return nullptr;
    if (!w->control) w->control = std::make_unique<T>();
    return dynamic_cast<T*>(w->control.get());
}
HFONT FontOf(HWND hwnd);
void SelectControlFont(HWND hwnd, HDC dc);

// The dialog font's base units, fixed so layout is the same on every host.
constexpr int kBaseUnitX = 6;
constexpr int kBaseUnitY = 13;

// Message boxes: the hook a test sets to catch them.
using MessageBoxHook = std::function<int(HWND owner, const std::string& text, const std::string& caption, UINT type)>;

// What scripts ask of the common controls (script.h): choose the item at
// wParam as a click would, or move to the position at wParam as a drag would.
constexpr UINT kScriptChoose = WM_APP + 0x3FF0;
constexpr UINT kScriptDrag = WM_APP + 0x3FF1;

// Idle hook of the modal loops (script.h).
bool RunIdleHook(HWND modal);

}  // namespace user
