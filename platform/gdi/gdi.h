// The drawing calls of the system's user interfaces: device contexts for
// windows and memory, pens, brushes, fonts, bitmaps and DIB sections, lines,
// shapes, text and blits, clipping by regions. Everything draws into images
// in memory (there is no screen); a window's device context draws into its
// top-level window's image. Colours are COLORREF (0x00BBGGRR); pixels are
// kept as 32-bit BGRX or 24-bit BGR, as Windows keeps DIBs.
//
// Failure answers are Windows': 0, null or CLR_INVALID, with the error code
// where Windows sets one. Text is drawn by FreeType from one font file of the
// distribution, without smoothing, so a picture is the same on every host.
#pragma once

#include "../win32/win32.h"

using COLORREF = DWORD;
#define RGB(r, g, b) ((COLORREF)(((BYTE)(r)) | ((WORD)((BYTE)(g)) << 8) | (((DWORD)(BYTE)(b)) << 16)))
#define GetRValue(c) ((BYTE)(c))
#define GetGValue(c) ((BYTE)((c) >> 8))
#define GetBValue(c) ((BYTE)((c) >> 16))
#define CLR_INVALID 0xFFFFFFFF

struct HGDIOBJ__;
using HGDIOBJ = HGDIOBJ__*;
struct HDC__;
using HDC = HDC__*;
using HBITMAP = HGDIOBJ;
using HBRUSH = HGDIOBJ;
using HPEN = HGDIOBJ;
using HFONT = HGDIOBJ;
using HRGN = HGDIOBJ;

struct POINT {
    LONG x;
    LONG y;
};
using LPPOINT = POINT*;
struct SIZE {
    LONG cx;
    LONG cy;
};
using LPSIZE = SIZE*;
struct RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};
using LPRECT = RECT*;
using LPCRECT = const RECT*;

// ---- Rectangles (USER's helpers, needed by both layers) ----
BOOL SetRect(LPRECT r, int left, int top, int right, int bottom);
BOOL SetRectEmpty(LPRECT r);
BOOL IsRectEmpty(const RECT* r);
BOOL CopyRect(LPRECT dst, const RECT* src);
BOOL OffsetRect(LPRECT r, int dx, int dy);
BOOL InflateRect(LPRECT r, int dx, int dy);
BOOL IntersectRect(LPRECT dst, const RECT* a, const RECT* b);
BOOL UnionRect(LPRECT dst, const RECT* a, const RECT* b);
BOOL PtInRect(const RECT* r, POINT pt);
BOOL EqualRect(const RECT* a, const RECT* b);

// ---- Bitmaps and DIBs ----
struct BITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;  // positive: bottom-up rows; negative: top-down
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
};
static_assert(sizeof(BITMAPINFOHEADER) == 40);
struct RGBQUAD {
    BYTE rgbBlue;
    BYTE rgbGreen;
    BYTE rgbRed;
    BYTE rgbReserved;
};
struct BITMAPINFO {
    BITMAPINFOHEADER bmiHeader;
    RGBQUAD bmiColors[1];
};
struct BITMAP {
    LONG bmType;
    LONG bmWidth;
    LONG bmHeight;
    LONG bmWidthBytes;
    WORD bmPlanes;
    WORD bmBitsPixel;
    LPVOID bmBits;
};
enum : DWORD { BI_RGB = 0 };
enum : UINT { DIB_RGB_COLORS = 0, DIB_PAL_COLORS = 1 };

// ---- Pens, brushes, fonts ----
enum : int { PS_SOLID = 0, PS_DASH = 1, PS_DOT = 2, PS_NULL = 5, PS_INSIDEFRAME = 6 };
enum : UINT { BS_SOLID = 0, BS_NULL = 1, BS_HOLLOW = 1 };
struct LOGBRUSH {
    UINT lbStyle;
    COLORREF lbColor;
    ULONG_PTR lbHatch;
};
struct LOGPEN {
    UINT lopnStyle;
    POINT lopnWidth;
    COLORREF lopnColor;
};
enum { LF_FACESIZE = 32 };
struct LOGFONTA {
    LONG lfHeight;  // negative: character height in pixels; positive: cell height
    LONG lfWidth;
    LONG lfEscapement;
    LONG lfOrientation;
    LONG lfWeight;
    BYTE lfItalic;
    BYTE lfUnderline;
    BYTE lfStrikeOut;
    BYTE lfCharSet;
    BYTE lfOutPrecision;
    BYTE lfClipPrecision;
    BYTE lfQuality;
    BYTE lfPitchAndFamily;
    char lfFaceName[LF_FACESIZE];
};
using LOGFONT = LOGFONTA;
enum : LONG { FW_NORMAL = 400, FW_BOLD = 700 };
struct TEXTMETRICA {
    LONG tmHeight;
    LONG tmAscent;
    LONG tmDescent;
    LONG tmInternalLeading;
    LONG tmExternalLeading;
    LONG tmAveCharWidth;
    LONG tmMaxCharWidth;
    LONG tmWeight;
};
using TEXTMETRIC = TEXTMETRICA;

enum : int {
    WHITE_BRUSH = 0,
    LTGRAY_BRUSH = 1,
    GRAY_BRUSH = 2,
    DKGRAY_BRUSH = 3,
    BLACK_BRUSH = 4,
    NULL_BRUSH = 5,
    HOLLOW_BRUSH = 5,
    WHITE_PEN = 6,
    BLACK_PEN = 7,
    NULL_PEN = 8,
    ANSI_VAR_FONT = 12,
    SYSTEM_FONT = 13,
    DEFAULT_GUI_FONT = 17,
};
enum : int { OBJ_PEN = 1, OBJ_BRUSH = 2, OBJ_DC = 3, OBJ_FONT = 6, OBJ_BITMAP = 7, OBJ_REGION = 8, OBJ_MEMDC = 10 };

HGDIOBJ GetStockObject(int i);
HPEN CreatePen(int style, int width, COLORREF color);
HPEN CreatePenIndirect(const LOGPEN* lp);
HBRUSH CreateSolidBrush(COLORREF color);
HBRUSH CreateBrushIndirect(const LOGBRUSH* lb);
HFONT CreateFontIndirectA(const LOGFONTA* lf);
HFONT CreateFontA(int height, int width, int escapement, int orientation, int weight, DWORD italic,
                  DWORD underline, DWORD strikeOut, DWORD charSet, DWORD outPrecision, DWORD clipPrecision,
                  DWORD quality, DWORD pitchAndFamily, LPCSTR face);
#define CreateFontIndirect CreateFontIndirectA
#define CreateFont CreateFontA
HBITMAP CreateBitmap(int width, int height, UINT planes, UINT bitCount, const void* bits);
HBITMAP CreateCompatibleBitmap(HDC dc, int width, int height);
HBITMAP CreateDIBSection(HDC dc, const BITMAPINFO* bmi, UINT usage, void** bits, HANDLE section, DWORD offset);
BOOL DeleteObject(HGDIOBJ obj);
int GetObjectA(HGDIOBJ obj, int size, LPVOID out);
#define GetObject GetObjectA
DWORD GetObjectType(HGDIOBJ obj);

// ---- Device contexts ----
HDC CreateCompatibleDC(HDC dc);
BOOL DeleteDC(HDC dc);
HGDIOBJ SelectObject(HDC dc, HGDIOBJ obj);
HGDIOBJ GetCurrentObject(HDC dc, UINT type);
int SaveDC(HDC dc);
BOOL RestoreDC(HDC dc, int saved);
COLORREF SetTextColor(HDC dc, COLORREF color);
COLORREF GetTextColor(HDC dc);
COLORREF SetBkColor(HDC dc, COLORREF color);
COLORREF GetBkColor(HDC dc);
enum : int { TRANSPARENT = 1, OPAQUE = 2 };
int SetBkMode(HDC dc, int mode);
int GetBkMode(HDC dc);
BOOL SetViewportOrgEx(HDC dc, int x, int y, LPPOINT old);
BOOL GetViewportOrgEx(HDC dc, LPPOINT org);
BOOL OffsetViewportOrgEx(HDC dc, int dx, int dy, LPPOINT old);
enum : int { R2_BLACK = 1, R2_NOT = 6, R2_XORPEN = 7, R2_COPYPEN = 13, R2_WHITE = 16 };
int SetROP2(HDC dc, int rop2);
enum : int { BLACKONWHITE = 1, COLORONCOLOR = 3, HALFTONE = 4 };
int SetStretchBltMode(HDC dc, int mode);

// ---- Regions and clipping ----
enum : int { ERROR = 0, NULLREGION = 1, SIMPLEREGION = 2, COMPLEXREGION = 3 };
enum : int { RGN_AND = 1, RGN_OR = 2, RGN_XOR = 3, RGN_DIFF = 4, RGN_COPY = 5 };
HRGN CreateRectRgn(int left, int top, int right, int bottom);
HRGN CreateRectRgnIndirect(const RECT* r);
int CombineRgn(HRGN dst, HRGN a, HRGN b, int mode);
BOOL PtInRegion(HRGN rgn, int x, int y);
int GetRgnBox(HRGN rgn, LPRECT box);
int SelectClipRgn(HDC dc, HRGN rgn);
int IntersectClipRect(HDC dc, int left, int top, int right, int bottom);
int ExcludeClipRect(HDC dc, int left, int top, int right, int bottom);
int GetClipBox(HDC dc, LPRECT box);

// ---- Lines and shapes ----
COLORREF SetPixel(HDC dc, int x, int y, COLORREF color);
COLORREF GetPixel(HDC dc, int x, int y);
BOOL MoveToEx(HDC dc, int x, int y, LPPOINT old);
BOOL LineTo(HDC dc, int x, int y);
BOOL Polyline(HDC dc, const POINT* pts, int count);
BOOL Polygon(HDC dc, const POINT* pts, int count);
BOOL Rectangle(HDC dc, int left, int top, int right, int bottom);
BOOL Ellipse(HDC dc, int left, int top, int right, int bottom);
int FillRect(HDC dc, const RECT* r, HBRUSH brush);
int FrameRect(HDC dc, const RECT* r, HBRUSH brush);
BOOL InvertRect(HDC dc, const RECT* r);
BOOL FillRgn(HDC dc, HRGN rgn, HBRUSH brush);

// ---- Blits ----
enum : DWORD {
    SRCCOPY = 0x00CC0020,
    SRCPAINT = 0x00EE0086,
    SRCAND = 0x008800C6,
    SRCINVERT = 0x00660046,
    PATCOPY = 0x00F00021,
    DSTINVERT = 0x00550009,
    BLACKNESS = 0x00000042,
    WHITENESS = 0x00FF0062,
};
BOOL PatBlt(HDC dc, int x, int y, int w, int h, DWORD rop);
BOOL BitBlt(HDC dst, int x, int y, int w, int h, HDC src, int sx, int sy, DWORD rop);
BOOL StretchBlt(HDC dst, int x, int y, int w, int h, HDC src, int sx, int sy, int sw, int sh, DWORD rop);
int StretchDIBits(HDC dc, int x, int y, int w, int h, int sx, int sy, int sw, int sh, const void* bits,
                  const BITMAPINFO* bmi, UINT usage, DWORD rop);
int SetDIBitsToDevice(HDC dc, int x, int y, DWORD w, DWORD h, int sx, int sy, UINT startScan, UINT lines,
                      const void* bits, const BITMAPINFO* bmi, UINT usage);

// ---- Text ----
enum : UINT {
    TA_LEFT = 0,
    TA_TOP = 0,
    TA_NOUPDATECP = 0,
    TA_UPDATECP = 1,
    TA_RIGHT = 2,
    TA_CENTER = 6,
    TA_BOTTOM = 8,
    TA_BASELINE = 24,
};
UINT SetTextAlign(HDC dc, UINT align);
UINT GetTextAlign(HDC dc);
enum : UINT { ETO_OPAQUE = 2, ETO_CLIPPED = 4 };
BOOL TextOutA(HDC dc, int x, int y, LPCSTR text, int count);
BOOL ExtTextOutA(HDC dc, int x, int y, UINT options, const RECT* r, LPCSTR text, UINT count, const INT* dx);
BOOL GetTextExtentPoint32A(HDC dc, LPCSTR text, int count, LPSIZE size);
BOOL GetTextMetricsA(HDC dc, TEXTMETRICA* tm);
#define TextOut TextOutA
#define ExtTextOut ExtTextOutA
#define GetTextExtentPoint32 GetTextExtentPoint32A
#define GetTextMetrics GetTextMetricsA

// ---- Device capabilities ----
// Every device is the same 96-dot-an-inch, 32-bit true-colour one.
enum : int { HORZSIZE = 4, VERTSIZE = 6, HORZRES = 8, VERTRES = 10, BITSPIXEL = 12, PLANES = 14, NUMCOLORS = 24,
             RASTERCAPS = 38, LOGPIXELSX = 88, LOGPIXELSY = 90 };
int GetDeviceCaps(HDC dc, int index);

// ---- System colours ----
enum : int {
    COLOR_SCROLLBAR = 0,
    COLOR_BACKGROUND = 1,
    COLOR_ACTIVECAPTION = 2,
    COLOR_INACTIVECAPTION = 3,
    COLOR_MENU = 4,
    COLOR_WINDOW = 5,
    COLOR_WINDOWFRAME = 6,
    COLOR_MENUTEXT = 7,
    COLOR_WINDOWTEXT = 8,
    COLOR_CAPTIONTEXT = 9,
    COLOR_ACTIVEBORDER = 10,
    COLOR_INACTIVEBORDER = 11,
    COLOR_APPWORKSPACE = 12,
    COLOR_HIGHLIGHT = 13,
    COLOR_HIGHLIGHTTEXT = 14,
    COLOR_BTNFACE = 15,
    COLOR_BTNSHADOW = 16,
    COLOR_GRAYTEXT = 17,
    COLOR_BTNTEXT = 18,
    COLOR_INACTIVECAPTIONTEXT = 19,
    COLOR_BTNHIGHLIGHT = 20,
    COLOR_3DDKSHADOW = 21,
    COLOR_3DLIGHT = 22,
    COLOR_INFOTEXT = 23,
    COLOR_INFOBK = 24,
    COLOR_HOTLIGHT = 26,
    COLOR_3DFACE = COLOR_BTNFACE,
    COLOR_3DSHADOW = COLOR_BTNSHADOW,
    COLOR_3DHILIGHT = COLOR_BTNHIGHLIGHT,
};
DWORD GetSysColor(int index);
HBRUSH GetSysColorBrush(int index);
