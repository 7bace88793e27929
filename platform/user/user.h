// Windows, messages, dialogs and controls for the system's user interfaces,
// headless: every top-level window draws into its own image (see
// snapshot.h), input comes from scripts (script.h), and time is the
// machine's clock (timers fire on it).
//
// The calls keep Windows' contracts: a bad or destroyed window handle, a
// missing control or an unknown class answers 0 or null with the error
// code Windows gives (ERROR_INVALID_WINDOW_HANDLE, ERROR_CONTROL_ID_NOT_FOUND,
// ERROR_CANNOT_FIND_WND_CLASS). Text is the ANSI code page.
//
// A window belongs to the thread that made it, as on Windows: a message
// sent from that thread calls its procedure at once; one sent from another
// thread waits until the owner looks at its queue (GetMessage, PeekMessage,
// a modal loop) and runs it there. Posted messages, timers and paints go
// through the owner's queue.
#pragma once

#include "../gdi/gdi.h"

struct HWND__;
using HWND = HWND__*;
struct HMENU__;
using HMENU = HMENU__*;
struct HICON__;
using HICON = HICON__*;
using HCURSOR = HICON;
using WPARAM = UINT_PTR;
using LPARAM = LONG_PTR;
using LRESULT = LONG_PTR;
using LPINT = int*;
using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);
using DLGPROC = INT_PTR (*)(HWND, UINT, WPARAM, LPARAM);
using TIMERPROC = void (*)(HWND, UINT, UINT_PTR, DWORD);

#define MAKEWPARAM(l, h) ((WPARAM)(DWORD)MAKELONG(l, h))
#define MAKELPARAM(l, h) ((LPARAM)(DWORD)MAKELONG(l, h))
#define MAKEINTRESOURCEA(i) ((LPSTR)((ULONG_PTR)((WORD)(i))))
#define MAKEINTRESOURCE MAKEINTRESOURCEA
#define IS_INTRESOURCE(p) ((((ULONG_PTR)(p)) >> 16) == 0)
#define GET_X_LPARAM(lp) ((int)(short)LOWORD(lp))
#define GET_Y_LPARAM(lp) ((int)(short)HIWORD(lp))

inline constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
inline constexpr DWORD ERROR_INVALID_MENU_HANDLE = 1401;
inline constexpr DWORD ERROR_CANNOT_FIND_WND_CLASS = 1407;
inline constexpr DWORD ERROR_WINDOW_OF_OTHER_THREAD = 1408;
inline constexpr DWORD ERROR_CLASS_ALREADY_EXISTS = 1410;
inline constexpr DWORD ERROR_CLASS_DOES_NOT_EXIST = 1411;
inline constexpr DWORD ERROR_CONTROL_ID_NOT_FOUND = 1421;
inline constexpr DWORD ERROR_INVALID_INDEX = 1413;
inline constexpr DWORD ERROR_TLW_WITH_WSCHILD = 1406;
inline constexpr DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;

// ---- Messages ----
enum : UINT {
    WM_NULL = 0x0000,
    WM_CREATE = 0x0001,
    WM_DESTROY = 0x0002,
    WM_MOVE = 0x0003,
    WM_SIZE = 0x0005,
    WM_ACTIVATE = 0x0006,
    WM_SETFOCUS = 0x0007,
    WM_KILLFOCUS = 0x0008,
    WM_ENABLE = 0x000A,
    WM_SETREDRAW = 0x000B,
    WM_SETTEXT = 0x000C,
    WM_GETTEXT = 0x000D,
    WM_GETTEXTLENGTH = 0x000E,
    WM_PAINT = 0x000F,
    WM_CLOSE = 0x0010,
    WM_QUIT = 0x0012,
    WM_ERASEBKGND = 0x0014,
    WM_SHOWWINDOW = 0x0018,
    WM_SETCURSOR = 0x0020,
    WM_DRAWITEM = 0x002B,
    WM_MEASUREITEM = 0x002C,
    WM_DELETEITEM = 0x002D,
    WM_SETFONT = 0x0030,
    WM_GETFONT = 0x0031,
    WM_WINDOWPOSCHANGING = 0x0046,
    WM_WINDOWPOSCHANGED = 0x0047,
    WM_NOTIFY = 0x004E,
    WM_NCCREATE = 0x0081,
    WM_NCDESTROY = 0x0082,
    WM_NCHITTEST = 0x0084,
    WM_NCPAINT = 0x0085,
    WM_GETDLGCODE = 0x0087,
    WM_KEYDOWN = 0x0100,
    WM_KEYUP = 0x0101,
    WM_CHAR = 0x0102,
    WM_INITDIALOG = 0x0110,
    WM_COMMAND = 0x0111,
    WM_SYSCOMMAND = 0x0112,
    WM_TIMER = 0x0113,
    WM_HSCROLL = 0x0114,
    WM_VSCROLL = 0x0115,
    WM_CTLCOLORMSGBOX = 0x0132,
    WM_CTLCOLOREDIT = 0x0133,
    WM_CTLCOLORLISTBOX = 0x0134,
    WM_CTLCOLORBTN = 0x0135,
    WM_CTLCOLORDLG = 0x0136,
    WM_CTLCOLORSCROLLBAR = 0x0137,
    WM_CTLCOLORSTATIC = 0x0138,
    WM_MOUSEMOVE = 0x0200,
    WM_LBUTTONDOWN = 0x0201,
    WM_LBUTTONUP = 0x0202,
    WM_LBUTTONDBLCLK = 0x0203,
    WM_RBUTTONDOWN = 0x0204,
    WM_RBUTTONUP = 0x0205,
    WM_PARENTNOTIFY = 0x0210,
    WM_CONTEXTMENU = 0x007B,
    WM_DEVICECHANGE = 0x0219,
    WM_COPY = 0x0301,
    WM_USER = 0x0400,
    WM_APP = 0x8000,
};
enum : UINT { SIZE_RESTORED = 0 };
enum : UINT { WA_INACTIVE = 0, WA_ACTIVE = 1 };
enum : UINT { SC_CLOSE = 0xF060 };
enum : UINT { MK_LBUTTON = 1 };
enum : UINT {
    VK_BACK = 0x08,
    VK_TAB = 0x09,
    VK_RETURN = 0x0D,
    VK_SHIFT = 0x10,
    VK_ESCAPE = 0x1B,
    VK_SPACE = 0x20,
    VK_PRIOR = 0x21,
    VK_NEXT = 0x22,
    VK_END = 0x23,
    VK_HOME = 0x24,
    VK_LEFT = 0x25,
    VK_UP = 0x26,
    VK_RIGHT = 0x27,
    VK_DOWN = 0x28,
    VK_DELETE = 0x2E,
};
enum : UINT { DLGC_WANTARROWS = 1, DLGC_WANTTAB = 2, DLGC_WANTALLKEYS = 4, DLGC_HASSETSEL = 8, DLGC_DEFPUSHBUTTON = 0x10,
              DLGC_UNDEFPUSHBUTTON = 0x20, DLGC_RADIOBUTTON = 0x40, DLGC_WANTCHARS = 0x80, DLGC_STATIC = 0x100, DLGC_BUTTON = 0x2000 };

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};
using LPMSG = MSG*;

struct NMHDR {
    HWND hwndFrom;
    UINT_PTR idFrom;
    UINT code;
};
using LPNMHDR = NMHDR*;
enum : UINT { NM_FIRST = 0u, NM_CLICK = NM_FIRST - 2, NM_DBLCLK = NM_FIRST - 3, NM_RETURN = NM_FIRST - 4,
              NM_RCLICK = NM_FIRST - 5, NM_SETFOCUS = NM_FIRST - 7, NM_KILLFOCUS = NM_FIRST - 8, NM_CUSTOMDRAW = NM_FIRST - 12 };

// ---- Window styles ----
inline constexpr DWORD WS_OVERLAPPED = 0x00000000;
inline constexpr DWORD WS_POPUP = 0x80000000;
inline constexpr DWORD WS_CHILD = 0x40000000;
inline constexpr DWORD WS_MINIMIZE = 0x20000000;
inline constexpr DWORD WS_VISIBLE = 0x10000000;
inline constexpr DWORD WS_DISABLED = 0x08000000;
inline constexpr DWORD WS_CLIPSIBLINGS = 0x04000000;
inline constexpr DWORD WS_CLIPCHILDREN = 0x02000000;
inline constexpr DWORD WS_MAXIMIZE = 0x01000000;
inline constexpr DWORD WS_CAPTION = 0x00C00000;
inline constexpr DWORD WS_BORDER = 0x00800000;
inline constexpr DWORD WS_DLGFRAME = 0x00400000;
inline constexpr DWORD WS_VSCROLL = 0x00200000;
inline constexpr DWORD WS_HSCROLL = 0x00100000;
inline constexpr DWORD WS_SYSMENU = 0x00080000;
inline constexpr DWORD WS_THICKFRAME = 0x00040000;
inline constexpr DWORD WS_GROUP = 0x00020000;
inline constexpr DWORD WS_TABSTOP = 0x00010000;
inline constexpr DWORD WS_MINIMIZEBOX = 0x00020000;
inline constexpr DWORD WS_MAXIMIZEBOX = 0x00010000;
inline constexpr DWORD WS_OVERLAPPEDWINDOW = 0x00CF0000;
inline constexpr DWORD WS_POPUPWINDOW = 0x80880000;
inline constexpr DWORD WS_EX_DLGMODALFRAME = 0x00000001;
inline constexpr DWORD WS_EX_NOPARENTNOTIFY = 0x00000004;
inline constexpr DWORD WS_EX_TOPMOST = 0x00000008;
inline constexpr DWORD WS_EX_TRANSPARENT = 0x00000020;
inline constexpr DWORD WS_EX_TOOLWINDOW = 0x00000080;
inline constexpr DWORD WS_EX_WINDOWEDGE = 0x00000100;
inline constexpr DWORD WS_EX_CLIENTEDGE = 0x00000200;
inline constexpr DWORD WS_EX_CONTROLPARENT = 0x00010000;
inline constexpr DWORD WS_EX_STATICEDGE = 0x00020000;
#define CW_USEDEFAULT ((int)0x80000000)
#define HWND_DESKTOP ((HWND)0)
#define HWND_TOP ((HWND)0)
#define HWND_BOTTOM ((HWND)1)
#define HWND_TOPMOST ((HWND)-1)
#define HWND_NOTOPMOST ((HWND)-2)
// To every top-level window of the process.
#define HWND_BROADCAST ((HWND)0xFFFF)

// ---- Classes ----
enum : UINT { CS_VREDRAW = 1, CS_HREDRAW = 2, CS_DBLCLKS = 8, CS_GLOBALCLASS = 0x4000 };
struct WNDCLASSA {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
};
using WNDCLASS = WNDCLASSA;
struct CREATESTRUCTA {
    LPVOID lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy;
    int cx;
    int y;
    int x;
    LONG style;
    LPCSTR lpszName;
    LPCSTR lpszClass;
    DWORD dwExStyle;
};
using CREATESTRUCT = CREATESTRUCTA;
ATOM RegisterClassA(const WNDCLASSA* wc);
BOOL UnregisterClassA(LPCSTR name, HINSTANCE instance);
BOOL GetClassInfoA(HINSTANCE instance, LPCSTR name, WNDCLASSA* wc);
int GetClassNameA(HWND hwnd, LPSTR name, int max);
#define RegisterClass RegisterClassA
#define UnregisterClass UnregisterClassA
#define GetClassInfo GetClassInfoA
#define GetClassName GetClassNameA

// ---- Windows ----
HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y, int width,
                     int height, HWND parent, HMENU menuOrId, HINSTANCE instance, LPVOID param);
#define CreateWindowEx CreateWindowExA
#define CreateWindowA(c, n, s, x, y, w, h, p, m, i, l) CreateWindowExA(0, c, n, s, x, y, w, h, p, m, i, l)
#define CreateWindow CreateWindowA
BOOL DestroyWindow(HWND hwnd);
BOOL IsWindow(HWND hwnd);
BOOL IsChild(HWND parent, HWND hwnd);
HWND GetParent(HWND hwnd);
HWND SetParent(HWND hwnd, HWND parent);
enum : UINT { GA_PARENT = 1, GA_ROOT = 2, GA_ROOTOWNER = 3 };
HWND GetAncestor(HWND hwnd, UINT flags);
enum : UINT { GW_HWNDFIRST = 0, GW_HWNDLAST = 1, GW_HWNDNEXT = 2, GW_HWNDPREV = 3, GW_OWNER = 4, GW_CHILD = 5 };
HWND GetWindow(HWND hwnd, UINT cmd);
HWND GetDesktopWindow();
using WNDENUMPROC = BOOL (*)(HWND, LPARAM);
BOOL EnumChildWindows(HWND parent, WNDENUMPROC proc, LPARAM param);
BOOL EnumWindows(WNDENUMPROC proc, LPARAM param);
HWND FindWindowA(LPCSTR className, LPCSTR windowName);
#define FindWindow FindWindowA
DWORD GetWindowThreadProcessId(HWND hwnd, LPDWORD processId);

enum : int { GWL_WNDPROC = -4, GWL_HINSTANCE = -6, GWL_HWNDPARENT = -8, GWL_ID = -12, GWL_STYLE = -16,
             GWL_EXSTYLE = -20, GWL_USERDATA = -21, DWL_MSGRESULT = 0, DWL_DLGPROC = 4, DWL_USER = 8 };
#define GWLP_WNDPROC GWL_WNDPROC
#define GWLP_HINSTANCE GWL_HINSTANCE
#define GWLP_ID GWL_ID
#define GWLP_USERDATA GWL_USERDATA
#define DWLP_MSGRESULT DWL_MSGRESULT
#define DWLP_DLGPROC DWL_DLGPROC
#define DWLP_USER DWL_USER
LONG GetWindowLongA(HWND hwnd, int index);
LONG SetWindowLongA(HWND hwnd, int index, LONG value);
LONG_PTR GetWindowLongPtrA(HWND hwnd, int index);
LONG_PTR SetWindowLongPtrA(HWND hwnd, int index, LONG_PTR value);
#define GetWindowLong GetWindowLongA
#define SetWindowLong SetWindowLongA
#define GetWindowLongPtr GetWindowLongPtrA
#define SetWindowLongPtr SetWindowLongPtrA
int GetDlgCtrlID(HWND hwnd);
BOOL SetPropA(HWND hwnd, LPCSTR name, HANDLE data);
HANDLE GetPropA(HWND hwnd, LPCSTR name);
HANDLE RemovePropA(HWND hwnd, LPCSTR name);
#define SetProp SetPropA
#define GetProp GetPropA
#define RemoveProp RemovePropA

BOOL SetWindowTextA(HWND hwnd, LPCSTR text);
int GetWindowTextA(HWND hwnd, LPSTR text, int max);
int GetWindowTextLengthA(HWND hwnd);
#define SetWindowText SetWindowTextA
#define GetWindowText GetWindowTextA
#define GetWindowTextLength GetWindowTextLengthA

BOOL GetWindowRect(HWND hwnd, LPRECT rect);
BOOL GetClientRect(HWND hwnd, LPRECT rect);
BOOL ClientToScreen(HWND hwnd, LPPOINT pt);
BOOL ScreenToClient(HWND hwnd, LPPOINT pt);
int MapWindowPoints(HWND from, HWND to, LPPOINT pts, UINT count);
BOOL MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL repaint);
enum : UINT { SWP_NOSIZE = 1, SWP_NOMOVE = 2, SWP_NOZORDER = 4, SWP_NOREDRAW = 8, SWP_NOACTIVATE = 0x10,
              SWP_FRAMECHANGED = 0x20, SWP_SHOWWINDOW = 0x40, SWP_HIDEWINDOW = 0x80 };
BOOL SetWindowPos(HWND hwnd, HWND after, int x, int y, int cx, int cy, UINT flags);
struct WINDOWPOS {
    HWND hwnd;
    HWND hwndInsertAfter;
    int x;
    int y;
    int cx;
    int cy;
    UINT flags;
};
BOOL BringWindowToTop(HWND hwnd);
HWND WindowFromPoint(POINT pt);
HWND ChildWindowFromPoint(HWND parent, POINT pt);

enum : int { SW_HIDE = 0, SW_SHOWNORMAL = 1, SW_NORMAL = 1, SW_SHOWMINIMIZED = 2, SW_SHOWMAXIMIZED = 3,
             SW_SHOWNOACTIVATE = 4, SW_SHOW = 5, SW_MINIMIZE = 6, SW_SHOWNA = 8, SW_RESTORE = 9, SW_SHOWDEFAULT = 10 };
BOOL ShowWindow(HWND hwnd, int cmd);
BOOL IsWindowVisible(HWND hwnd);
BOOL EnableWindow(HWND hwnd, BOOL enable);
BOOL IsWindowEnabled(HWND hwnd);
HWND SetFocus(HWND hwnd);
HWND GetFocus();
HWND SetActiveWindow(HWND hwnd);
HWND GetActiveWindow();
BOOL SetForegroundWindow(HWND hwnd);
HWND GetForegroundWindow();
// Where the pointer is: the last point a script clicked, on the screen.
BOOL GetCursorPos(LPPOINT pt);
BOOL SetCursorPos(int x, int y);
HWND SetCapture(HWND hwnd);
BOOL ReleaseCapture();
// The keyboard as scripts leave it (script.h): negative while a key is down.
short GetKeyState(int key);
HWND GetCapture();

// ---- Message calls ----
LRESULT SendMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
BOOL PostMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
BOOL PostThreadMessageA(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam);
BOOL GetMessageA(LPMSG msg, HWND hwnd, UINT first, UINT last);
enum : UINT { PM_NOREMOVE = 0, PM_REMOVE = 1, PM_NOYIELD = 2 };
BOOL PeekMessageA(LPMSG msg, HWND hwnd, UINT first, UINT last, UINT remove);
LRESULT DispatchMessageA(const MSG* msg);
BOOL TranslateMessage(const MSG* msg);
void PostQuitMessage(int exitCode);
BOOL WaitMessage();
LRESULT CallWindowProcA(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT DefWindowProcA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
#define SendMessage SendMessageA
#define PostMessage PostMessageA
#define PostThreadMessage PostThreadMessageA
#define GetMessage GetMessageA
#define PeekMessage PeekMessageA
#define DispatchMessage DispatchMessageA
#define CallWindowProc CallWindowProcA
#define DefWindowProc DefWindowProcA
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc);
BOOL KillTimer(HWND hwnd, UINT_PTR id);

// ---- Painting ----
struct PAINTSTRUCT {
    HDC hdc;
    BOOL fErase;
    RECT rcPaint;
    BOOL fRestore;
    BOOL fIncUpdate;
    BYTE rgbReserved[32];
};
using LPPAINTSTRUCT = PAINTSTRUCT*;
HDC BeginPaint(HWND hwnd, LPPAINTSTRUCT ps);
BOOL EndPaint(HWND hwnd, const PAINTSTRUCT* ps);
HDC GetDC(HWND hwnd);
HDC GetWindowDC(HWND hwnd);
int ReleaseDC(HWND hwnd, HDC dc);
BOOL InvalidateRect(HWND hwnd, const RECT* rect, BOOL erase);
BOOL ValidateRect(HWND hwnd, const RECT* rect);
BOOL UpdateWindow(HWND hwnd);
BOOL GetUpdateRect(HWND hwnd, LPRECT rect, BOOL erase);
enum : UINT { RDW_INVALIDATE = 1, RDW_ERASE = 4, RDW_ALLCHILDREN = 0x80, RDW_UPDATENOW = 0x100, RDW_FRAME = 0x400 };
BOOL RedrawWindow(HWND hwnd, const RECT* rect, HRGN rgn, UINT flags);

// Text and edges drawn the way the controls draw them.
enum : UINT {
    DT_TOP = 0,
    DT_LEFT = 0,
    DT_CENTER = 1,
    DT_RIGHT = 2,
    DT_VCENTER = 4,
    DT_BOTTOM = 8,
    DT_WORDBREAK = 0x10,
    DT_SINGLELINE = 0x20,
    DT_EXPANDTABS = 0x40,
    DT_NOCLIP = 0x100,
    DT_CALCRECT = 0x400,
    DT_NOPREFIX = 0x800,
    DT_END_ELLIPSIS = 0x8000,
};
int DrawTextA(HDC dc, LPCSTR text, int count, LPRECT rect, UINT format);
#define DrawText DrawTextA
LONG TabbedTextOutA(HDC dc, int x, int y, LPCSTR text, int count, int tabCount, const INT* tabs, int origin);
#define TabbedTextOut TabbedTextOutA
enum : UINT { BDR_RAISEDOUTER = 1, BDR_SUNKENOUTER = 2, BDR_RAISEDINNER = 4, BDR_SUNKENINNER = 8,
              EDGE_RAISED = 5, EDGE_SUNKEN = 10, EDGE_ETCHED = 6, EDGE_BUMP = 9 };
enum : UINT { BF_LEFT = 1, BF_TOP = 2, BF_RIGHT = 4, BF_BOTTOM = 8, BF_RECT = 15, BF_ADJUST = 0x2000 };
BOOL DrawEdge(HDC dc, LPRECT rect, UINT edge, UINT flags);
BOOL DrawFocusRect(HDC dc, const RECT* rect);

enum : int { SM_CXSCREEN = 0, SM_CYSCREEN = 1, SM_CXVSCROLL = 2, SM_CYHSCROLL = 3, SM_CYCAPTION = 4, SM_CXBORDER = 5,
             SM_CYBORDER = 6, SM_CXDLGFRAME = 7, SM_CYDLGFRAME = 8, SM_CXICON = 11, SM_CYICON = 12, SM_CXEDGE = 45,
             SM_CYEDGE = 46, SM_CXSMICON = 49, SM_CYSMICON = 50 };
int GetSystemMetrics(int index);
LONG GetDialogBaseUnits();

// ---- Icons (the system's stock ones; drawn as simple shapes) ----
#define IDI_APPLICATION MAKEINTRESOURCE(32512)
#define IDI_HAND MAKEINTRESOURCE(32513)
#define IDI_QUESTION MAKEINTRESOURCE(32514)
#define IDI_EXCLAMATION MAKEINTRESOURCE(32515)
#define IDI_ASTERISK MAKEINTRESOURCE(32516)
#define IDI_WARNING IDI_EXCLAMATION
#define IDI_ERROR IDI_HAND
#define IDI_INFORMATION IDI_ASTERISK
#define IDC_ARROW MAKEINTRESOURCE(32512)
#define IDC_WAIT MAKEINTRESOURCE(32514)
HICON LoadIconA(HINSTANCE instance, LPCSTR name);
HCURSOR LoadCursorA(HINSTANCE instance, LPCSTR name);
HCURSOR SetCursor(HCURSOR cursor);
BOOL DrawIcon(HDC dc, int x, int y, HICON icon);
#define LoadIcon LoadIconA
#define LoadCursor LoadCursorA

// ---- Dialogs ----
inline constexpr DWORD DS_ABSALIGN = 1;
inline constexpr DWORD DS_SYSMODAL = 2;
inline constexpr DWORD DS_SETFONT = 0x40;
inline constexpr DWORD DS_MODALFRAME = 0x80;
inline constexpr DWORD DS_SETFOREGROUND = 0x200;
inline constexpr DWORD DS_3DLOOK = 4;
inline constexpr DWORD DS_FIXEDSYS = 8;
inline constexpr DWORD DS_CONTROL = 0x400;
inline constexpr DWORD DS_CENTER = 0x800;
inline constexpr DWORD DS_CENTERMOUSE = 0x1000;
inline constexpr DWORD DS_CONTEXTHELP = 0x2000;
inline constexpr DWORD DS_SHELLFONT = DS_SETFONT | DS_FIXEDSYS;
enum : int { IDOK = 1, IDCANCEL = 2, IDABORT = 3, IDRETRY = 4, IDIGNORE = 5, IDYES = 6, IDNO = 7, IDCLOSE = 8,
             IDHELP = 9 };
#define IDC_STATIC (-1)

// A dialog template as a table: positions and sizes in dialog units, the
// class names and texts as strings. Classes are the predefined ones
// ("BUTTON", "EDIT", "STATIC", "LISTBOX", "COMBOBOX", "SCROLLBAR", the
// common controls' "SysListView32" and kin) or any registered class.
struct DLGITEM {
    LPCSTR className;
    LPCSTR text;
    int id;
    DWORD style;  // WS_CHILD | WS_VISIBLE are implied
    short x, y, cx, cy;
    DWORD exStyle;
    bool hidden = false;  // made without WS_VISIBLE (the template's "NOT WS_VISIBLE")
};
struct DLGTEMPLATEA {
    int id;
    LPCSTR caption;
    DWORD style;
    short x, y, cx, cy;
    const DLGITEM* items;
    int itemCount;
    DWORD exStyle;
    LPCSTR className;  // null: the dialog class
};
// Templates are found by module and id, as resources are.
BOOL RegisterDialogTemplate(HINSTANCE module, const DLGTEMPLATEA* dialog);
const DLGTEMPLATEA* FindDialogTemplate(HINSTANCE module, LPCSTR name);
INT_PTR DialogBoxParamA(HINSTANCE module, LPCSTR name, HWND owner, DLGPROC proc, LPARAM param);
INT_PTR DialogBoxIndirectParamA(HINSTANCE module, const DLGTEMPLATEA* dialog, HWND owner, DLGPROC proc, LPARAM param);
HWND CreateDialogParamA(HINSTANCE module, LPCSTR name, HWND owner, DLGPROC proc, LPARAM param);
HWND CreateDialogIndirectParamA(HINSTANCE module, const DLGTEMPLATEA* dialog, HWND owner, DLGPROC proc, LPARAM param);
#define DialogBoxParam DialogBoxParamA
#define DialogBox(m, n, o, p) DialogBoxParamA(m, n, o, p, 0)
#define DialogBoxIndirectParam DialogBoxIndirectParamA
#define CreateDialogParam CreateDialogParamA
#define CreateDialog(m, n, o, p) CreateDialogParamA(m, n, o, p, 0)
#define CreateDialogIndirectParam CreateDialogIndirectParamA
BOOL EndDialog(HWND dialog, INT_PTR result);
LRESULT DefDlgProcA(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam);
#define DefDlgProc DefDlgProcA
BOOL IsDialogMessageA(HWND dialog, LPMSG msg);
#define IsDialogMessage IsDialogMessageA
HWND GetDlgItem(HWND dialog, int id);
BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text);
UINT GetDlgItemTextA(HWND dialog, int id, LPSTR text, int max);
BOOL SetDlgItemInt(HWND dialog, int id, UINT value, BOOL isSigned);
UINT GetDlgItemInt(HWND dialog, int id, BOOL* translated, BOOL isSigned);
LRESULT SendDlgItemMessageA(HWND dialog, int id, UINT msg, WPARAM wParam, LPARAM lParam);
#define SetDlgItemText SetDlgItemTextA
#define GetDlgItemText GetDlgItemTextA
#define SendDlgItemMessage SendDlgItemMessageA
BOOL CheckDlgButton(HWND dialog, int id, UINT check);
UINT IsDlgButtonChecked(HWND dialog, int id);
BOOL CheckRadioButton(HWND dialog, int first, int last, int check);
HWND GetNextDlgTabItem(HWND dialog, HWND control, BOOL previous);
HWND GetNextDlgGroupItem(HWND dialog, HWND control, BOOL previous);
BOOL MapDialogRect(HWND dialog, LPRECT rect);
enum : UINT { DM_GETDEFID = WM_USER + 0, DM_SETDEFID = WM_USER + 1 };
enum : WORD { DC_HASDEFID = 0x534B };

// ---- Message boxes ----
enum : UINT {
    MB_OK = 0,
    MB_OKCANCEL = 1,
    MB_ABORTRETRYIGNORE = 2,
    MB_YESNOCANCEL = 3,
    MB_YESNO = 4,
    MB_RETRYCANCEL = 5,
    MB_ICONHAND = 0x10,
    MB_ICONSTOP = 0x10,
    MB_ICONERROR = 0x10,
    MB_ICONQUESTION = 0x20,
    MB_ICONEXCLAMATION = 0x30,
    MB_ICONWARNING = 0x30,
    MB_ICONASTERISK = 0x40,
    MB_ICONINFORMATION = 0x40,
    MB_DEFBUTTON2 = 0x100,
    MB_DEFBUTTON3 = 0x200,
    MB_APPLMODAL = 0,
    MB_SYSTEMMODAL = 0x1000,
    MB_TASKMODAL = 0x2000,
    MB_SETFOREGROUND = 0x10000,
    MB_TOPMOST = 0x40000,
};
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
#define MessageBox MessageBoxA
BOOL MessageBeep(UINT type);

// ---- Menus ----
// Headless, a popup menu shows nothing: TrackPopupMenu takes the command a
// script chose for it (script.h), or none.
enum : UINT { MF_STRING = 0, MF_ENABLED = 0, MF_UNCHECKED = 0, MF_BYCOMMAND = 0, MF_GRAYED = 1, MF_DISABLED = 2,
              MF_CHECKED = 8, MF_POPUP = 0x10, MF_BYPOSITION = 0x400, MF_SEPARATOR = 0x800 };
enum : UINT { TPM_LEFTALIGN = 0, TPM_LEFTBUTTON = 0, TPM_RIGHTBUTTON = 2, TPM_NONOTIFY = 0x80, TPM_RETURNCMD = 0x100 };
HMENU CreateMenu();
HMENU CreatePopupMenu();
BOOL DestroyMenu(HMENU menu);
BOOL AppendMenuA(HMENU menu, UINT flags, UINT_PTR idOrPopup, LPCSTR text);
BOOL InsertMenuA(HMENU menu, UINT position, UINT flags, UINT_PTR idOrPopup, LPCSTR text);
BOOL DeleteMenu(HMENU menu, UINT item, UINT flags);
BOOL RemoveMenu(HMENU menu, UINT item, UINT flags);
DWORD CheckMenuItem(HMENU menu, UINT item, UINT flags);  // the old check state, or (DWORD)-1
BOOL EnableMenuItem(HMENU menu, UINT item, UINT flags);   // the old enable state, or -1
UINT GetMenuState(HMENU menu, UINT item, UINT flags);
int GetMenuItemCount(HMENU menu);
UINT GetMenuItemID(HMENU menu, int position);
HMENU GetSubMenu(HMENU menu, int position);
int GetMenuStringA(HMENU menu, UINT item, LPSTR text, int max, UINT flags);
BOOL TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int reserved, HWND owner, const RECT* rect);
// Menus of a module: LoadMenu gives a new copy of the one registered.
BOOL RegisterMenuResource(HINSTANCE module, UINT id, HMENU menu);
HMENU LoadMenuA(HINSTANCE module, LPCSTR name);
#define AppendMenu AppendMenuA
#define InsertMenu InsertMenuA
#define GetMenuString GetMenuStringA
#define LoadMenu LoadMenuA

// ---- Bitmaps of a module (as resources are) ----
// The module's bitmap 'id' is a copy of 'bitmap' (which the caller keeps).
BOOL RegisterBitmapResource(HINSTANCE module, UINT id, HBITMAP bitmap);
// A new bitmap each call, the caller's to delete.
HBITMAP LoadBitmapA(HINSTANCE module, LPCSTR name);
#define LoadBitmap LoadBitmapA
enum : UINT { LR_DEFAULTCOLOR = 0, LR_DEFAULTSIZE = 0x40, LR_SHARED = 0x8000 };
HANDLE LoadImageA(HINSTANCE module, LPCSTR name, UINT type, int cx, int cy, UINT flags);
#define LoadImage LoadImageA

// ---- Strings of a module (string tables as resources are) ----
BOOL RegisterStringResource(HINSTANCE module, UINT id, LPCSTR text);
int LoadStringA(HINSTANCE module, UINT id, LPSTR buffer, int max);
#define LoadString LoadStringA

// ---- Scroll bars ----
enum : int { SB_HORZ = 0, SB_VERT = 1, SB_CTL = 2 };
enum : UINT { SB_LINEUP = 0, SB_LINELEFT = 0, SB_LINEDOWN = 1, SB_LINERIGHT = 1, SB_PAGEUP = 2, SB_PAGELEFT = 2,
              SB_PAGEDOWN = 3, SB_PAGERIGHT = 3, SB_THUMBPOSITION = 4, SB_THUMBTRACK = 5, SB_TOP = 6,
              SB_BOTTOM = 7, SB_ENDSCROLL = 8 };
enum : UINT { SIF_RANGE = 1, SIF_PAGE = 2, SIF_POS = 4, SIF_DISABLENOSCROLL = 8, SIF_TRACKPOS = 0x10, SIF_ALL = 0x17 };
struct SCROLLINFO {
    UINT cbSize;
    UINT fMask;
    int nMin;
    int nMax;
    UINT nPage;
    int nPos;
    int nTrackPos;
};
using LPSCROLLINFO = SCROLLINFO*;
int SetScrollInfo(HWND hwnd, int bar, const SCROLLINFO* info, BOOL redraw);
BOOL GetScrollInfo(HWND hwnd, int bar, LPSCROLLINFO info);
int SetScrollPos(HWND hwnd, int bar, int pos, BOOL redraw);
int GetScrollPos(HWND hwnd, int bar);
BOOL SetScrollRange(HWND hwnd, int bar, int min, int max, BOOL redraw);
BOOL GetScrollRange(HWND hwnd, int bar, LPINT min, LPINT max);
enum : UINT { SBS_HORZ = 0, SBS_VERT = 1 };
enum : UINT { SBM_SETPOS = 0xE0, SBM_GETPOS = 0xE1, SBM_SETRANGE = 0xE2, SBM_GETRANGE = 0xE3,
              SBM_SETSCROLLINFO = 0xE9, SBM_GETSCROLLINFO = 0xEA };

// ---- Owner draw ----
enum : UINT { ODT_MENU = 1, ODT_LISTBOX = 2, ODT_COMBOBOX = 3, ODT_BUTTON = 4, ODT_STATIC = 5, ODT_LISTVIEW = 102 };
enum : UINT { ODA_DRAWENTIRE = 1, ODA_SELECT = 2, ODA_FOCUS = 4 };
enum : UINT { ODS_SELECTED = 1, ODS_GRAYED = 2, ODS_DISABLED = 4, ODS_CHECKED = 8, ODS_FOCUS = 0x10, ODS_DEFAULT = 0x20 };
struct DRAWITEMSTRUCT {
    UINT CtlType;
    UINT CtlID;
    UINT itemID;
    UINT itemAction;
    UINT itemState;
    HWND hwndItem;
    HDC hDC;
    RECT rcItem;
    ULONG_PTR itemData;
};
using LPDRAWITEMSTRUCT = DRAWITEMSTRUCT*;
struct MEASUREITEMSTRUCT {
    UINT CtlType;
    UINT CtlID;
    UINT itemID;
    UINT itemWidth;
    UINT itemHeight;
    ULONG_PTR itemData;
};
using LPMEASUREITEMSTRUCT = MEASUREITEMSTRUCT*;

// ---- Buttons ----
inline constexpr DWORD BS_PUSHBUTTON = 0;
inline constexpr DWORD BS_DEFPUSHBUTTON = 1;
inline constexpr DWORD BS_CHECKBOX = 2;
inline constexpr DWORD BS_AUTOCHECKBOX = 3;
inline constexpr DWORD BS_RADIOBUTTON = 4;
inline constexpr DWORD BS_3STATE = 5;
inline constexpr DWORD BS_AUTO3STATE = 6;
inline constexpr DWORD BS_GROUPBOX = 7;
inline constexpr DWORD BS_AUTORADIOBUTTON = 9;
inline constexpr DWORD BS_OWNERDRAW = 0xB;
inline constexpr DWORD BS_TYPEMASK = 0xF;
inline constexpr DWORD BS_LEFTTEXT = 0x20;
inline constexpr DWORD BS_ICON = 0x40;
inline constexpr DWORD BS_BITMAP = 0x80;
inline constexpr DWORD BS_LEFT = 0x100;
inline constexpr DWORD BS_RIGHT = 0x200;
inline constexpr DWORD BS_CENTER = 0x300;
inline constexpr DWORD BS_MULTILINE = 0x2000;
inline constexpr DWORD BS_NOTIFY = 0x4000;
inline constexpr DWORD BS_FLAT = 0x8000;
enum : UINT { BST_UNCHECKED = 0, BST_CHECKED = 1, BST_INDETERMINATE = 2, BST_PUSHED = 4, BST_FOCUS = 8 };
enum : UINT { BM_GETCHECK = 0xF0, BM_SETCHECK = 0xF1, BM_GETSTATE = 0xF2, BM_SETSTATE = 0xF3, BM_SETSTYLE = 0xF4,
              BM_CLICK = 0xF5, BM_GETIMAGE = 0xF6, BM_SETIMAGE = 0xF7 };
enum : WORD { BN_CLICKED = 0, BN_DBLCLK = 5, BN_SETFOCUS = 6, BN_KILLFOCUS = 7 };

// ---- Statics ----
inline constexpr DWORD SS_LEFT = 0;
inline constexpr DWORD SS_CENTER = 1;
inline constexpr DWORD SS_RIGHT = 2;
inline constexpr DWORD SS_ICON = 3;
inline constexpr DWORD SS_BLACKRECT = 4;
inline constexpr DWORD SS_GRAYRECT = 5;
inline constexpr DWORD SS_WHITERECT = 6;
inline constexpr DWORD SS_BLACKFRAME = 7;
inline constexpr DWORD SS_GRAYFRAME = 8;
inline constexpr DWORD SS_WHITEFRAME = 9;
inline constexpr DWORD SS_SIMPLE = 0xB;
inline constexpr DWORD SS_LEFTNOWORDWRAP = 0xC;
inline constexpr DWORD SS_OWNERDRAW = 0xD;
inline constexpr DWORD SS_BITMAP = 0xE;
inline constexpr DWORD SS_ETCHEDHORZ = 0x10;
inline constexpr DWORD SS_ETCHEDVERT = 0x11;
inline constexpr DWORD SS_ETCHEDFRAME = 0x12;
inline constexpr DWORD SS_TYPEMASK = 0x1F;
inline constexpr DWORD SS_NOPREFIX = 0x80;
inline constexpr DWORD SS_NOTIFY = 0x100;
inline constexpr DWORD SS_CENTERIMAGE = 0x200;
inline constexpr DWORD SS_SUNKEN = 0x1000;
enum : UINT { STM_SETICON = 0x170, STM_GETICON = 0x171, STM_SETIMAGE = 0x172, STM_GETIMAGE = 0x173 };
enum : UINT { IMAGE_BITMAP = 0, IMAGE_ICON = 1 };
enum : WORD { STN_CLICKED = 0, STN_DBLCLK = 1 };

// ---- Edits ----
inline constexpr DWORD ES_LEFT = 0;
inline constexpr DWORD ES_CENTER = 1;
inline constexpr DWORD ES_RIGHT = 2;
inline constexpr DWORD ES_MULTILINE = 4;
inline constexpr DWORD ES_UPPERCASE = 8;
inline constexpr DWORD ES_LOWERCASE = 0x10;
inline constexpr DWORD ES_PASSWORD = 0x20;
inline constexpr DWORD ES_AUTOVSCROLL = 0x40;
inline constexpr DWORD ES_AUTOHSCROLL = 0x80;
inline constexpr DWORD ES_NOHIDESEL = 0x100;
inline constexpr DWORD ES_READONLY = 0x800;
inline constexpr DWORD ES_WANTRETURN = 0x1000;
inline constexpr DWORD ES_NUMBER = 0x2000;
enum : UINT { EM_GETSEL = 0xB0, EM_SETSEL = 0xB1, EM_GETMODIFY = 0xB8, EM_SETMODIFY = 0xB9, EM_GETLINECOUNT = 0xBA,
              EM_LINEINDEX = 0xBB, EM_LINELENGTH = 0xC1, EM_REPLACESEL = 0xC2, EM_GETLINE = 0xC4,
              EM_LIMITTEXT = 0xC5, EM_SETLIMITTEXT = 0xC5, EM_SETREADONLY = 0xCF, EM_GETLIMITTEXT = 0xD5,
              EM_LINESCROLL = 0xB6, EM_SCROLLCARET = 0xB7, EM_GETFIRSTVISIBLELINE = 0xCE };
enum : WORD { EN_SETFOCUS = 0x100, EN_KILLFOCUS = 0x200, EN_CHANGE = 0x300, EN_UPDATE = 0x400, EN_MAXTEXT = 0x501 };

// ---- List boxes ----
inline constexpr DWORD LBS_NOTIFY = 1;
inline constexpr DWORD LBS_SORT = 2;
inline constexpr DWORD LBS_NOREDRAW = 4;
inline constexpr DWORD LBS_MULTIPLESEL = 8;
inline constexpr DWORD LBS_OWNERDRAWFIXED = 0x10;
inline constexpr DWORD LBS_OWNERDRAWVARIABLE = 0x20;
inline constexpr DWORD LBS_HASSTRINGS = 0x40;
inline constexpr DWORD LBS_USETABSTOPS = 0x80;
inline constexpr DWORD LBS_NOINTEGRALHEIGHT = 0x100;
inline constexpr DWORD LBS_EXTENDEDSEL = 0x800;
inline constexpr DWORD LBS_DISABLENOSCROLL = 0x1000;
inline constexpr DWORD LBS_NOSEL = 0x4000;
inline constexpr DWORD LBS_STANDARD = 0xA00003;
enum : UINT { LB_ADDSTRING = 0x180, LB_INSERTSTRING = 0x181, LB_DELETESTRING = 0x182, LB_RESETCONTENT = 0x184,
              LB_SETSEL = 0x185, LB_SETCURSEL = 0x186, LB_GETSEL = 0x187, LB_GETCURSEL = 0x188, LB_GETTEXT = 0x189,
              LB_GETTEXTLEN = 0x18A, LB_GETCOUNT = 0x18B, LB_SELECTSTRING = 0x18C, LB_GETTOPINDEX = 0x18E,
              LB_FINDSTRING = 0x18F, LB_GETSELCOUNT = 0x190, LB_GETSELITEMS = 0x191, LB_SETTABSTOPS = 0x192,
              LB_SETTOPINDEX = 0x197, LB_GETITEMRECT = 0x198, LB_GETITEMDATA = 0x199, LB_SETITEMDATA = 0x19A,
              LB_SETITEMHEIGHT = 0x1A0, LB_GETITEMHEIGHT = 0x1A1, LB_FINDSTRINGEXACT = 0x1A2 };
enum : int { LB_OKAY = 0, LB_ERR = -1, LB_ERRSPACE = -2 };
enum : WORD { LBN_ERRSPACE = 0xFFFE, LBN_SELCHANGE = 1, LBN_DBLCLK = 2, LBN_SELCANCEL = 3, LBN_SETFOCUS = 4,
              LBN_KILLFOCUS = 5 };

// ---- Combo boxes ----
inline constexpr DWORD CBS_SIMPLE = 1;
inline constexpr DWORD CBS_DROPDOWN = 2;
inline constexpr DWORD CBS_DROPDOWNLIST = 3;
inline constexpr DWORD CBS_OWNERDRAWFIXED = 0x10;
inline constexpr DWORD CBS_AUTOHSCROLL = 0x40;
inline constexpr DWORD CBS_SORT = 0x100;
inline constexpr DWORD CBS_HASSTRINGS = 0x200;
inline constexpr DWORD CBS_NOINTEGRALHEIGHT = 0x400;
enum : UINT { CB_GETEDITSEL = 0x140, CB_LIMITTEXT = 0x141, CB_SETEDITSEL = 0x142, CB_ADDSTRING = 0x143,
              CB_DELETESTRING = 0x144, CB_GETCOUNT = 0x146, CB_GETCURSEL = 0x147, CB_GETLBTEXT = 0x148,
              CB_GETLBTEXTLEN = 0x149, CB_INSERTSTRING = 0x14A, CB_RESETCONTENT = 0x14B, CB_FINDSTRING = 0x14C,
              CB_SELECTSTRING = 0x14D, CB_SETCURSEL = 0x14E, CB_SHOWDROPDOWN = 0x14F, CB_GETITEMDATA = 0x150,
              CB_SETITEMDATA = 0x151, CB_SETITEMHEIGHT = 0x153, CB_GETITEMHEIGHT = 0x154,
              CB_GETDROPPEDSTATE = 0x157, CB_FINDSTRINGEXACT = 0x158 };
enum : int { CB_OKAY = 0, CB_ERR = -1, CB_ERRSPACE = -2 };
enum : WORD { CBN_SELCHANGE = 1, CBN_DBLCLK = 2, CBN_SETFOCUS = 3, CBN_KILLFOCUS = 4, CBN_EDITCHANGE = 5,
              CBN_EDITUPDATE = 6, CBN_DROPDOWN = 7, CBN_CLOSEUP = 8, CBN_SELENDOK = 9, CBN_SELENDCANCEL = 10 };

// The classes of the predefined controls.
#define WC_BUTTONA "Button"
#define WC_STATICA "Static"
#define WC_EDITA "Edit"
#define WC_LISTBOXA "ListBox"
#define WC_COMBOBOXA "ComboBox"
#define WC_SCROLLBARA "ScrollBar"
#define WC_DIALOG MAKEINTRESOURCE(0x8002)
