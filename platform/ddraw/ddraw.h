// A DirectDraw-shaped drawing object for a headless machine: an in-process
// COM class (library "ddraw.dll") that makes surfaces in system memory and
// blits them into windows of the window layer. The display's pixel format
// is the machine's display setting (HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Display:
// BitsPerPixel, RedMask, GreenMask, BlueMask; 32-bit 0xFF0000/0xFF00/0xFF
// when unset), which every surface made without a format of its own takes.
//
// A surface's memory is allocated once, with the surface, and stays at the
// same address until its last reference goes: Lock always answers the same
// pointer, and Restore keeps it. A device may be told to write into it for
// as long as the caller holds the surface.
#pragma once

#include "../com/objbase.h"
#include "../user/user.h"

// {5A415201-...}: the drawing object's class and its interfaces.
inline constexpr CLSID CLSID_DirectDraw = {0x5A415201, 0x0D0D, 0x4A11, {0x80, 0x01, 0x53, 0x6F, 0x6C, 0x76, 0x61, 0x01}};
inline constexpr IID IID_IDirectDraw = {0x5A415201, 0x0D0D, 0x4A11, {0x80, 0x01, 0x53, 0x6F, 0x6C, 0x76, 0x61, 0x02}};
inline constexpr IID IID_IDirectDrawSurface = {0x5A415201, 0x0D0D, 0x4A11,
                                               {0x80, 0x01, 0x53, 0x6F, 0x6C, 0x76, 0x61, 0x03}};
inline constexpr IID IID_IDirectDrawClipper = {0x5A415201, 0x0D0D, 0x4A11,
                                               {0x80, 0x01, 0x53, 0x6F, 0x6C, 0x76, 0x61, 0x04}};

enum : HRESULT {
    DD_OK = 0,
    DDERR_GENERIC = E_FAIL,
    DDERR_INVALIDPARAMS = E_INVALIDARG,
    DDERR_OUTOFMEMORY = E_OUTOFMEMORY,
    DDERR_ALREADYINITIALIZED = HRESULT(0x88760005),
    DDERR_NOTINITIALIZED = HRESULT(0x887600F5),
    DDERR_INVALIDPIXELFORMAT = HRESULT(0x88760091),
    DDERR_NOCLIPPER = HRESULT(0x887600B3),
    DDERR_NOTLOCKED = HRESULT(0x887600E8),
    DDERR_SURFACELOST = HRESULT(0x887601C2),
};

enum : DWORD { DDSCL_NORMAL = 0x8 };
enum : DWORD { DDPF_PALETTEINDEXED8 = 0x20, DDPF_RGB = 0x40 };
enum : DWORD { DDSD_CAPS = 0x1, DDSD_HEIGHT = 0x2, DDSD_WIDTH = 0x4, DDSD_PITCH = 0x8, DDSD_PIXELFORMAT = 0x1000,
               DDSD_LPSURFACE = 0x800 };
enum : DWORD { DDSCAPS_OFFSCREENPLAIN = 0x40, DDSCAPS_PRIMARYSURFACE = 0x200, DDSCAPS_SYSTEMMEMORY = 0x800 };
enum : DWORD { DDLOCK_WAIT = 0x1 };
enum : DWORD { DDBLT_WAIT = 0x1000000 };

struct DDPIXELFORMAT {
    DWORD dwSize;
    DWORD dwFlags;           // DDPF_RGB or DDPF_PALETTEINDEXED8
    DWORD dwFourCC;
    DWORD dwRGBBitCount;
    DWORD dwRBitMask;
    DWORD dwGBitMask;
    DWORD dwBBitMask;
    DWORD dwRGBAlphaBitMask;
};
struct DDSCAPS {
    DWORD dwCaps;
};
struct DDSURFACEDESC {
    DWORD dwSize;
    DWORD dwFlags;           // DDSD_...: which fields the caller set, or the answer carries
    DWORD dwHeight;
    DWORD dwWidth;
    LONG lPitch;
    LPVOID lpSurface;
    DDPIXELFORMAT ddpfPixelFormat;
    DDSCAPS ddsCaps;
};
struct DDBLTFX {
    DWORD dwSize;
    DWORD dwFillColor;
};

struct IDirectDrawClipper : IUnknown {
    virtual HRESULT SetHWnd(DWORD flags, HWND hwnd) = 0;
    virtual HRESULT GetHWnd(HWND* hwnd) = 0;

protected:
    ~IDirectDrawClipper() = default;
};

struct IDirectDrawSurface : IUnknown {
    // The surface's memory, pitch and format; the pointer is the same at every lock.
    virtual HRESULT Lock(LPRECT rect, DDSURFACEDESC* desc, DWORD flags, HANDLE event) = 0;
    virtual HRESULT Unlock(LPVOID pointer) = 0;
    virtual HRESULT GetPixelFormat(DDPIXELFORMAT* format) = 0;
    virtual HRESULT GetSurfaceDesc(DDSURFACEDESC* desc) = 0;
    // The primary surface draws a source surface into its clipper's window:
    // the destination rectangle is in screen coordinates.
    virtual HRESULT Blt(LPRECT dst, IDirectDrawSurface* src, LPRECT srcRect, DWORD flags, DDBLTFX* fx) = 0;
    virtual HRESULT IsLost() = 0;
    virtual HRESULT Restore() = 0;
    virtual HRESULT SetClipper(IDirectDrawClipper* clipper) = 0;

protected:
    ~IDirectDrawSurface() = default;
};

struct IDirectDraw : IUnknown {
    virtual HRESULT Initialize(GUID* driver) = 0;
    virtual HRESULT SetCooperativeLevel(HWND hwnd, DWORD flags) = 0;
    virtual HRESULT GetDisplayMode(DDSURFACEDESC* desc) = 0;
    virtual HRESULT CreateSurface(DDSURFACEDESC* desc, IDirectDrawSurface** surface, IUnknown* outer) = 0;
    virtual HRESULT CreateClipper(DWORD flags, IDirectDrawClipper** clipper, IUnknown* outer) = 0;

protected:
    ~IDirectDraw() = default;
};

// The display setting's key and values, and the server's library name.
inline constexpr char DDRAW_DISPLAY_KEY[] = "System\\CurrentControlSet\\Control\\Display";
inline constexpr char DDRAW_SERVER_LIBRARY[] = "ddraw.dll";
