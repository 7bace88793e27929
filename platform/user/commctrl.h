// The common controls and property sheets: list view with its header, tree
// view, tab control, trackbar, progress bar, up-down control, tooltips,
// and PropertySheet with its pages. Each control keeps its real state and
// tells its parent what changes through WM_NOTIFY (or WM_HSCROLL for a
// trackbar), as the system's dialogs expect.
#pragma once

#include "user.h"

void InitCommonControls();
struct INITCOMMONCONTROLSEX {
    DWORD dwSize;
    DWORD dwICC;
};
BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* icc);

#define WC_LISTVIEWA "SysListView32"
#define WC_HEADERA "SysHeader32"
#define WC_TREEVIEWA "SysTreeView32"
#define WC_TABCONTROLA "SysTabControl32"
#define TRACKBAR_CLASSA "msctls_trackbar32"
#define PROGRESS_CLASSA "msctls_progress32"
#define UPDOWN_CLASSA "msctls_updown32"
#define TOOLTIPS_CLASSA "tooltips_class32"
#define WC_LISTVIEW WC_LISTVIEWA
#define WC_HEADER WC_HEADERA
#define WC_TREEVIEW WC_TREEVIEWA
#define WC_TABCONTROL WC_TABCONTROLA
#define TRACKBAR_CLASS TRACKBAR_CLASSA
#define PROGRESS_CLASS PROGRESS_CLASSA
#define UPDOWN_CLASS UPDOWN_CLASSA
#define TOOLTIPS_CLASS TOOLTIPS_CLASSA

struct HIMAGELIST__;
using HIMAGELIST = HIMAGELIST__*;
struct HTREEITEM__;
using HTREEITEM = HTREEITEM__*;

// ---- Image lists ----
enum : UINT { ILC_MASK = 1, ILC_COLOR = 0, ILC_COLOR4 = 4, ILC_COLOR8 = 8, ILC_COLOR16 = 0x10, ILC_COLOR24 = 0x18,
              ILC_COLOR32 = 0x20 };
enum : UINT { ILD_NORMAL = 0, ILD_TRANSPARENT = 1, ILD_SELECTED = 4, ILD_FOCUS = 4 };
// Pictures of one size kept side by side, each with its transparent pixels
// (a mask bitmap's set pixels, a mask colour, or an icon's background).
HIMAGELIST ImageList_Create(int cx, int cy, UINT flags, int initial, int grow);
BOOL ImageList_Destroy(HIMAGELIST list);
int ImageList_Add(HIMAGELIST list, HBITMAP image, HBITMAP mask);
int ImageList_AddMasked(HIMAGELIST list, HBITMAP image, COLORREF mask);
int ImageList_ReplaceIcon(HIMAGELIST list, int index, HICON icon);
#define ImageList_AddIcon(list, icon) ImageList_ReplaceIcon(list, -1, icon)
BOOL ImageList_Remove(HIMAGELIST list, int index);
int ImageList_GetImageCount(HIMAGELIST list);
BOOL ImageList_GetIconSize(HIMAGELIST list, int* cx, int* cy);
BOOL ImageList_Draw(HIMAGELIST list, int index, HDC dc, int x, int y, UINT style);

// ---- Header ----
enum : UINT { HDM_FIRST = 0x1200, HDM_GETITEMCOUNT = HDM_FIRST + 0, HDM_GETITEMA = HDM_FIRST + 3,
              HDM_SETITEMA = HDM_FIRST + 4, HDM_GETITEMRECT = HDM_FIRST + 7 };
enum : UINT { HDI_WIDTH = 1, HDI_HEIGHT = 1, HDI_TEXT = 2, HDI_FORMAT = 4, HDI_LPARAM = 8 };
enum : int { HDF_LEFT = 0, HDF_RIGHT = 1, HDF_CENTER = 2, HDF_STRING = 0x4000 };
struct HDITEMA {
    UINT mask;
    int cxy;
    LPSTR pszText;
    HBITMAP hbm;
    int cchTextMax;
    int fmt;
    LPARAM lParam;
};
using HDITEM = HDITEMA;
using HD_ITEM = HDITEMA;
enum : UINT { HDN_FIRST = 0u - 300u, HDN_ITEMCLICKA = HDN_FIRST - 2, HDN_ENDTRACKA = HDN_FIRST - 1 };
struct NMHEADERA {
    NMHDR hdr;
    int iItem;
    int iButton;
    HDITEMA* pitem;
};
using NMHEADER = NMHEADERA;

// ---- List view ----
inline constexpr DWORD LVS_ICON = 0;
inline constexpr DWORD LVS_REPORT = 1;
inline constexpr DWORD LVS_SMALLICON = 2;
inline constexpr DWORD LVS_LIST = 3;
inline constexpr DWORD LVS_TYPEMASK = 3;
inline constexpr DWORD LVS_SINGLESEL = 4;
inline constexpr DWORD LVS_SHOWSELALWAYS = 8;
inline constexpr DWORD LVS_SORTASCENDING = 0x10;
inline constexpr DWORD LVS_SORTDESCENDING = 0x20;
inline constexpr DWORD LVS_SHAREIMAGELISTS = 0x40;
inline constexpr DWORD LVS_NOLABELWRAP = 0x80;
inline constexpr DWORD LVS_AUTOARRANGE = 0x100;
inline constexpr DWORD LVS_EDITLABELS = 0x200;
inline constexpr DWORD LVS_OWNERDRAWFIXED = 0x400;
inline constexpr DWORD LVS_OWNERDATA = 0x1000;
inline constexpr DWORD LVS_NOSCROLL = 0x2000;
inline constexpr DWORD LVS_NOCOLUMNHEADER = 0x4000;
inline constexpr DWORD LVS_NOSORTHEADER = 0x8000;
inline constexpr DWORD LVS_EX_GRIDLINES = 1;
inline constexpr DWORD LVS_EX_CHECKBOXES = 4;
inline constexpr DWORD LVS_EX_FULLROWSELECT = 0x20;
enum : UINT {
    LVM_FIRST = 0x1000,
    LVM_GETBKCOLOR = LVM_FIRST + 0,
    LVM_SETBKCOLOR = LVM_FIRST + 1,
    LVM_GETIMAGELIST = LVM_FIRST + 2,
    LVM_SETIMAGELIST = LVM_FIRST + 3,
    LVM_GETITEMCOUNT = LVM_FIRST + 4,
    LVM_GETITEMA = LVM_FIRST + 5,
    LVM_SETITEMA = LVM_FIRST + 6,
    LVM_INSERTITEMA = LVM_FIRST + 7,
    LVM_DELETEITEM = LVM_FIRST + 8,
    LVM_DELETEALLITEMS = LVM_FIRST + 9,
    LVM_GETNEXTITEM = LVM_FIRST + 12,
    LVM_FINDITEMA = LVM_FIRST + 13,
    LVM_GETITEMRECT = LVM_FIRST + 14,
    LVM_ENSUREVISIBLE = LVM_FIRST + 19,
    LVM_REDRAWITEMS = LVM_FIRST + 21,
    LVM_GETCOLUMNA = LVM_FIRST + 25,
    LVM_SETCOLUMNA = LVM_FIRST + 26,
    LVM_INSERTCOLUMNA = LVM_FIRST + 27,
    LVM_DELETECOLUMN = LVM_FIRST + 28,
    LVM_GETCOLUMNWIDTH = LVM_FIRST + 29,
    LVM_SETCOLUMNWIDTH = LVM_FIRST + 30,
    LVM_GETHEADER = LVM_FIRST + 31,
    LVM_GETTOPINDEX = LVM_FIRST + 39,
    LVM_GETTEXTCOLOR = LVM_FIRST + 35,
    LVM_SETTEXTCOLOR = LVM_FIRST + 36,
    LVM_GETTEXTBKCOLOR = LVM_FIRST + 37,
    LVM_SETTEXTBKCOLOR = LVM_FIRST + 38,
    LVM_GETCOUNTPERPAGE = LVM_FIRST + 40,
    LVM_SETITEMSTATE = LVM_FIRST + 43,
    LVM_GETITEMSTATE = LVM_FIRST + 44,
    LVM_GETITEMTEXTA = LVM_FIRST + 45,
    LVM_SETITEMTEXTA = LVM_FIRST + 46,
    LVM_SETITEMCOUNT = LVM_FIRST + 47,
    LVM_SORTITEMS = LVM_FIRST + 48,
    LVM_GETSELECTEDCOUNT = LVM_FIRST + 50,
    LVM_SETEXTENDEDLISTVIEWSTYLE = LVM_FIRST + 54,
    LVM_GETEXTENDEDLISTVIEWSTYLE = LVM_FIRST + 55,
    LVM_HITTEST = LVM_FIRST + 18,
};
enum : UINT { LVIF_TEXT = 1, LVIF_IMAGE = 2, LVIF_PARAM = 4, LVIF_STATE = 8, LVIF_INDENT = 0x10 };
enum : UINT { LVIS_FOCUSED = 1, LVIS_SELECTED = 2, LVIS_CUT = 4, LVIS_DROPHILITED = 8, LVIS_STATEIMAGEMASK = 0xF000 };
enum : UINT { LVNI_ALL = 0, LVNI_FOCUSED = 1, LVNI_SELECTED = 2 };
enum : int { LVIR_BOUNDS = 0, LVIR_ICON = 1, LVIR_LABEL = 2, LVIR_SELECTBOUNDS = 3 };
enum : int { LVSIL_NORMAL = 0, LVSIL_SMALL = 1, LVSIL_STATE = 2 };
#define LPSTR_TEXTCALLBACKA ((LPSTR)-1)
#define LPSTR_TEXTCALLBACK LPSTR_TEXTCALLBACKA
#define CLR_NONE 0xFFFFFFFF
#define CLR_DEFAULT 0xFF000000
struct LVITEMA {
    UINT mask;
    int iItem;
    int iSubItem;
    UINT state;
    UINT stateMask;
    LPSTR pszText;
    int cchTextMax;
    int iImage;
    LPARAM lParam;
    int iIndent;
};
using LVITEM = LVITEMA;
using LV_ITEM = LVITEMA;
enum : UINT { LVCF_FMT = 1, LVCF_WIDTH = 2, LVCF_TEXT = 4, LVCF_SUBITEM = 8 };
enum : int { LVCFMT_LEFT = 0, LVCFMT_RIGHT = 1, LVCFMT_CENTER = 2 };
enum : int { LVSCW_AUTOSIZE = -1, LVSCW_AUTOSIZE_USEHEADER = -2 };
struct LVCOLUMNA {
    UINT mask;
    int fmt;
    int cx;
    LPSTR pszText;
    int cchTextMax;
    int iSubItem;
};
using LVCOLUMN = LVCOLUMNA;
using LV_COLUMN = LVCOLUMNA;
enum : UINT { LVFI_PARAM = 1, LVFI_STRING = 2, LVFI_PARTIAL = 8 };
struct LVFINDINFOA {
    UINT flags;
    LPCSTR psz;
    LPARAM lParam;
    POINT pt;
    UINT vkDirection;
};
enum : UINT { LVHT_NOWHERE = 1, LVHT_ONITEMLABEL = 4, LVHT_ONITEM = 0xE };
struct LVHITTESTINFO {
    POINT pt;
    UINT flags;
    int iItem;
    int iSubItem;
};
using PFNLVCOMPARE = int (*)(LPARAM, LPARAM, LPARAM);
enum : UINT {
    LVN_FIRST = 0u - 100u,
    LVN_ITEMCHANGING = LVN_FIRST - 0,
    LVN_ITEMCHANGED = LVN_FIRST - 1,
    LVN_INSERTITEM = LVN_FIRST - 2,
    LVN_DELETEITEM = LVN_FIRST - 3,
    LVN_DELETEALLITEMS = LVN_FIRST - 4,
    LVN_COLUMNCLICK = LVN_FIRST - 8,
    LVN_KEYDOWN = LVN_FIRST - 55,
    LVN_GETDISPINFOA = LVN_FIRST - 50,
    LVN_ODCACHEHINT = LVN_FIRST - 13,
};
#define LVN_GETDISPINFO LVN_GETDISPINFOA
struct NMLISTVIEW {
    NMHDR hdr;
    int iItem;
    int iSubItem;
    UINT uNewState;
    UINT uOldState;
    UINT uChanged;
    POINT ptAction;
    LPARAM lParam;
};
using NM_LISTVIEW = NMLISTVIEW;
using LPNMLISTVIEW = NMLISTVIEW*;
struct NMITEMACTIVATE {
    NMHDR hdr;
    int iItem;
    int iSubItem;
    UINT uNewState;
    UINT uOldState;
    UINT uChanged;
    POINT ptAction;
    LPARAM lParam;
    UINT uKeyFlags;
};
struct NMLVDISPINFOA {
    NMHDR hdr;
    LVITEMA item;
};
using LV_DISPINFO = NMLVDISPINFOA;
using NMLVDISPINFO = NMLVDISPINFOA;

// ---- Tree view ----
inline constexpr DWORD TVS_HASBUTTONS = 1;
inline constexpr DWORD TVS_HASLINES = 2;
inline constexpr DWORD TVS_LINESATROOT = 4;
inline constexpr DWORD TVS_EDITLABELS = 8;
inline constexpr DWORD TVS_SHOWSELALWAYS = 0x20;
inline constexpr DWORD TVS_FULLROWSELECT = 0x1000;
enum : UINT {
    TV_FIRST = 0x1100,
    TVM_INSERTITEMA = TV_FIRST + 0,
    TVM_DELETEITEM = TV_FIRST + 1,
    TVM_EXPAND = TV_FIRST + 2,
    TVM_GETITEMRECT = TV_FIRST + 4,
    TVM_GETCOUNT = TV_FIRST + 5,
    TVM_SETIMAGELIST = TV_FIRST + 9,
    TVM_GETNEXTITEM = TV_FIRST + 10,
    TVM_SELECTITEM = TV_FIRST + 11,
    TVM_GETITEMA = TV_FIRST + 12,
    TVM_SETITEMA = TV_FIRST + 13,
    TVM_ENSUREVISIBLE = TV_FIRST + 20,
    TVM_SORTCHILDREN = TV_FIRST + 19,
};
#define TVI_ROOT ((HTREEITEM)(ULONG_PTR)-0x10000)
#define TVI_FIRST ((HTREEITEM)(ULONG_PTR)-0x0FFFF)
#define TVI_LAST ((HTREEITEM)(ULONG_PTR)-0x0FFFE)
#define TVI_SORT ((HTREEITEM)(ULONG_PTR)-0x0FFFD)
enum : UINT { TVIF_TEXT = 1, TVIF_IMAGE = 2, TVIF_PARAM = 4, TVIF_STATE = 8, TVIF_HANDLE = 0x10,
              TVIF_SELECTEDIMAGE = 0x20, TVIF_CHILDREN = 0x40 };
enum : UINT { TVIS_SELECTED = 2, TVIS_BOLD = 0x10, TVIS_EXPANDED = 0x20 };
enum : UINT { TVGN_ROOT = 0, TVGN_NEXT = 1, TVGN_PREVIOUS = 2, TVGN_PARENT = 3, TVGN_CHILD = 4,
              TVGN_FIRSTVISIBLE = 5, TVGN_NEXTVISIBLE = 6, TVGN_CARET = 9 };
enum : UINT { TVE_COLLAPSE = 1, TVE_EXPAND = 2, TVE_TOGGLE = 3 };
enum : UINT { TVC_UNKNOWN = 0, TVC_BYMOUSE = 1, TVC_BYKEYBOARD = 2 };
struct TVITEMA {
    UINT mask;
    HTREEITEM hItem;
    UINT state;
    UINT stateMask;
    LPSTR pszText;
    int cchTextMax;
    int iImage;
    int iSelectedImage;
    int cChildren;
    LPARAM lParam;
};
using TVITEM = TVITEMA;
using TV_ITEM = TVITEMA;
struct TVINSERTSTRUCTA {
    HTREEITEM hParent;
    HTREEITEM hInsertAfter;
    TVITEMA item;
};
using TVINSERTSTRUCT = TVINSERTSTRUCTA;
using TV_INSERTSTRUCT = TVINSERTSTRUCTA;
enum : UINT {
    TVN_FIRST = 0u - 400u,
    TVN_SELCHANGINGA = TVN_FIRST - 1,
    TVN_SELCHANGEDA = TVN_FIRST - 2,
    TVN_GETDISPINFOA = TVN_FIRST - 3,
    TVN_ITEMEXPANDINGA = TVN_FIRST - 5,
    TVN_ITEMEXPANDEDA = TVN_FIRST - 6,
    TVN_DELETEITEMA = TVN_FIRST - 9,
};
#define TVN_SELCHANGING TVN_SELCHANGINGA
#define TVN_SELCHANGED TVN_SELCHANGEDA
#define TVN_ITEMEXPANDING TVN_ITEMEXPANDINGA
#define TVN_ITEMEXPANDED TVN_ITEMEXPANDEDA
struct NMTREEVIEWA {
    NMHDR hdr;
    UINT action;
    TVITEMA itemOld;
    TVITEMA itemNew;
    POINT ptDrag;
};
using NMTREEVIEW = NMTREEVIEWA;
using NM_TREEVIEW = NMTREEVIEWA;
using LPNMTREEVIEW = NMTREEVIEWA*;

// ---- Tab control ----
inline constexpr DWORD TCS_BOTTOM = 2;
inline constexpr DWORD TCS_MULTILINE = 0x200;
inline constexpr DWORD TCS_FIXEDWIDTH = 0x400;
inline constexpr DWORD TCS_FOCUSNEVER = 0x8000;
enum : UINT {
    TCM_FIRST = 0x1300,
    TCM_GETIMAGELIST = TCM_FIRST + 2,
    TCM_SETIMAGELIST = TCM_FIRST + 3,
    TCM_GETITEMCOUNT = TCM_FIRST + 4,
    TCM_GETITEMA = TCM_FIRST + 5,
    TCM_SETITEMA = TCM_FIRST + 6,
    TCM_INSERTITEMA = TCM_FIRST + 7,
    TCM_DELETEITEM = TCM_FIRST + 8,
    TCM_DELETEALLITEMS = TCM_FIRST + 9,
    TCM_GETITEMRECT = TCM_FIRST + 10,
    TCM_GETCURSEL = TCM_FIRST + 11,
    TCM_SETCURSEL = TCM_FIRST + 12,
    TCM_ADJUSTRECT = TCM_FIRST + 40,
    TCM_GETCURFOCUS = TCM_FIRST + 47,
    TCM_SETCURFOCUS = TCM_FIRST + 48,
};
enum : UINT { TCIF_TEXT = 1, TCIF_IMAGE = 2, TCIF_PARAM = 8, TCIF_STATE = 0x10 };
struct TCITEMA {
    UINT mask;
    DWORD dwState;
    DWORD dwStateMask;
    LPSTR pszText;
    int cchTextMax;
    int iImage;
    LPARAM lParam;
};
using TCITEM = TCITEMA;
using TC_ITEM = TCITEMA;
enum : UINT { TCN_FIRST = 0u - 550u, TCN_KEYDOWN = TCN_FIRST - 0, TCN_SELCHANGE = TCN_FIRST - 1, TCN_SELCHANGING = TCN_FIRST - 2 };

// ---- Trackbar ----
inline constexpr DWORD TBS_AUTOTICKS = 1;
inline constexpr DWORD TBS_VERT = 2;
inline constexpr DWORD TBS_HORZ = 0;
inline constexpr DWORD TBS_TOP = 4;
inline constexpr DWORD TBS_BOTTOM = 0;
inline constexpr DWORD TBS_BOTH = 8;
inline constexpr DWORD TBS_NOTICKS = 0x10;
inline constexpr DWORD TBS_ENABLESELRANGE = 0x20;
enum : UINT {
    TBM_GETPOS = WM_USER,
    TBM_GETRANGEMIN = WM_USER + 1,
    TBM_GETRANGEMAX = WM_USER + 2,
    TBM_SETTIC = WM_USER + 4,
    TBM_SETPOS = WM_USER + 5,
    TBM_SETRANGE = WM_USER + 6,
    TBM_SETRANGEMIN = WM_USER + 7,
    TBM_SETRANGEMAX = WM_USER + 8,
    TBM_CLEARTICS = WM_USER + 9,
    TBM_SETTICFREQ = WM_USER + 20,
    TBM_SETPAGESIZE = WM_USER + 21,
    TBM_GETPAGESIZE = WM_USER + 22,
    TBM_SETLINESIZE = WM_USER + 23,
    TBM_GETLINESIZE = WM_USER + 24,
};
enum : UINT { TB_LINEUP = 0, TB_LINEDOWN = 1, TB_PAGEUP = 2, TB_PAGEDOWN = 3, TB_THUMBPOSITION = 4,
              TB_THUMBTRACK = 5, TB_TOP = 6, TB_BOTTOM = 7, TB_ENDTRACK = 8 };

// ---- Progress bar ----
inline constexpr DWORD PBS_SMOOTH = 1;
inline constexpr DWORD PBS_VERTICAL = 4;
enum : UINT {
    PBM_SETRANGE = WM_USER + 1,
    PBM_SETPOS = WM_USER + 2,
    PBM_DELTAPOS = WM_USER + 3,
    PBM_SETSTEP = WM_USER + 4,
    PBM_STEPIT = WM_USER + 5,
    PBM_SETRANGE32 = WM_USER + 6,
    PBM_GETRANGE = WM_USER + 7,
    PBM_GETPOS = WM_USER + 8,
    PBM_SETBARCOLOR = WM_USER + 9,
};

// ---- Up-down ----
inline constexpr DWORD UDS_WRAP = 1;
inline constexpr DWORD UDS_SETBUDDYINT = 2;
inline constexpr DWORD UDS_ALIGNRIGHT = 4;
inline constexpr DWORD UDS_ALIGNLEFT = 8;
inline constexpr DWORD UDS_AUTOBUDDY = 0x10;
inline constexpr DWORD UDS_ARROWKEYS = 0x20;
inline constexpr DWORD UDS_HORZ = 0x40;
inline constexpr DWORD UDS_NOTHOUSANDS = 0x80;
enum : UINT {
    UDM_SETRANGE = WM_USER + 101,
    UDM_GETRANGE = WM_USER + 102,
    UDM_SETPOS = WM_USER + 103,
    UDM_GETPOS = WM_USER + 104,
    UDM_SETBUDDY = WM_USER + 105,
    UDM_GETBUDDY = WM_USER + 106,
    UDM_SETRANGE32 = WM_USER + 111,
    UDM_GETRANGE32 = WM_USER + 112,
    UDM_SETPOS32 = WM_USER + 113,
    UDM_GETPOS32 = WM_USER + 114,
};
enum : UINT { UDN_FIRST = 0u - 721u, UDN_DELTAPOS = UDN_FIRST - 1 };
struct NMUPDOWN {
    NMHDR hdr;
    int iPos;
    int iDelta;
};
using NM_UPDOWN = NMUPDOWN;
using LPNMUPDOWN = NMUPDOWN*;

// ---- Tooltips ----
enum : UINT { TTF_IDISHWND = 1, TTF_SUBCLASS = 0x10 };
enum : UINT { TTM_ACTIVATE = WM_USER + 1, TTM_ADDTOOLA = WM_USER + 4, TTM_DELTOOLA = WM_USER + 5,
              TTM_GETTOOLCOUNT = WM_USER + 13, TTM_UPDATETIPTEXTA = WM_USER + 12, TTM_GETTEXTA = WM_USER + 11,
              TTM_SETMAXTIPWIDTH = WM_USER + 24 };
struct TOOLINFOA {
    UINT cbSize;
    UINT uFlags;
    HWND hwnd;
    UINT_PTR uId;
    RECT rect;
    HINSTANCE hinst;
    LPSTR lpszText;
    LPARAM lParam;
};
using TOOLINFO = TOOLINFOA;

// ---- Property sheets ----
struct HPROPSHEETPAGE__;
using HPROPSHEETPAGE = HPROPSHEETPAGE__*;
struct PROPSHEETPAGEA;
using LPFNPSPCALLBACKA = UINT (*)(HWND, UINT, PROPSHEETPAGEA*);
inline constexpr DWORD PSP_DEFAULT = 0;
inline constexpr DWORD PSP_DLGINDIRECT = 1;
inline constexpr DWORD PSP_USETITLE = 8;
inline constexpr DWORD PSP_USECALLBACK = 0x80;
inline constexpr DWORD PSP_HASHELP = 0x20;
struct PROPSHEETPAGEA {
    DWORD dwSize;
    DWORD dwFlags;
    HINSTANCE hInstance;
    LPCSTR pszTemplate;           // a template id of the module...
    const DLGTEMPLATEA* pResource;  // ...or the template itself (PSP_DLGINDIRECT)
    HICON hIcon;
    LPCSTR pszTitle;
    DLGPROC pfnDlgProc;
    LPARAM lParam;
    LPFNPSPCALLBACKA pfnCallback;
    UINT* pcRefParent;
};
using PROPSHEETPAGE = PROPSHEETPAGEA;
using LPCPROPSHEETPAGEA = const PROPSHEETPAGEA*;
inline constexpr DWORD PSH_DEFAULT = 0;
inline constexpr DWORD PSH_PROPTITLE = 1;
inline constexpr DWORD PSH_USEHICON = 2;
inline constexpr DWORD PSH_PROPSHEETPAGE = 8;
inline constexpr DWORD PSH_NOAPPLYNOW = 0x80;
inline constexpr DWORD PSH_USEPSTARTPAGE = 0x800;
inline constexpr DWORD PSH_MODELESS = 0x400;
inline constexpr DWORD PSH_USECALLBACK = 0x100;
struct PROPSHEETHEADERA {
    DWORD dwSize;
    DWORD dwFlags;
    HWND hwndParent;
    HINSTANCE hInstance;
    HICON hIcon;
    LPCSTR pszCaption;
    UINT nPages;
    UINT nStartPage;
    const PROPSHEETPAGEA* ppsp;  // PSH_PROPSHEETPAGE
    HPROPSHEETPAGE* phpage;      // otherwise
    int (*pfnCallback)(HWND, UINT, LPARAM);
};
using PROPSHEETHEADER = PROPSHEETHEADERA;
enum : UINT { PSCB_INITIALIZED = 1, PSCB_PRECREATE = 2 };
enum : UINT { PSPCB_RELEASE = 1, PSPCB_CREATE = 2 };
HPROPSHEETPAGE CreatePropertySheetPageA(const PROPSHEETPAGEA* page);
BOOL DestroyPropertySheetPage(HPROPSHEETPAGE page);
INT_PTR PropertySheetA(const PROPSHEETHEADERA* header);
#define CreatePropertySheetPage CreatePropertySheetPageA
#define PropertySheet PropertySheetA
enum : UINT {
    PSM_SETCURSEL = WM_USER + 101,
    PSM_REMOVEPAGE = WM_USER + 102,
    PSM_ADDPAGE = WM_USER + 103,
    PSM_CHANGED = WM_USER + 104,
    PSM_RESTARTWINDOWS = WM_USER + 105,
    PSM_REBOOTSYSTEM = WM_USER + 106,
    PSM_CANCELTOCLOSE = WM_USER + 107,
    PSM_QUERYSIBLINGS = WM_USER + 108,
    PSM_UNCHANGED = WM_USER + 109,
    PSM_APPLY = WM_USER + 110,
    PSM_SETTITLEA = WM_USER + 111,
    PSM_PRESSBUTTON = WM_USER + 113,
    PSM_SETCURSELID = WM_USER + 114,
    PSM_GETTABCONTROL = WM_USER + 116,
    PSM_ISDIALOGMESSAGE = WM_USER + 117,
    PSM_GETCURRENTPAGEHWND = WM_USER + 118,
};
enum : int { PSBTN_BACK = 0, PSBTN_NEXT = 1, PSBTN_FINISH = 2, PSBTN_OK = 3, PSBTN_APPLYNOW = 4, PSBTN_CANCEL = 5,
             PSBTN_HELP = 6 };
enum : UINT {
    PSN_FIRST = 0u - 200u,
    PSN_SETACTIVE = PSN_FIRST - 0,
    PSN_KILLACTIVE = PSN_FIRST - 1,
    PSN_APPLY = PSN_FIRST - 2,
    PSN_RESET = PSN_FIRST - 3,
    PSN_HELP = PSN_FIRST - 5,
    PSN_QUERYCANCEL = PSN_FIRST - 9,
};
enum : LONG { PSNRET_NOERROR = 0, PSNRET_INVALID = 1, PSNRET_INVALID_NOCHANGEPAGE = 2 };
struct PSHNOTIFY {
    NMHDR hdr;
    LPARAM lParam;
};
// The sheet's buttons.
enum : int { ID_APPLY_NOW = 0x3021, IDC_PROPSHEET_TAB = 0x3020 };
