// The drawing object's in-process server: its class factory, the object,
// its surfaces in system memory and the clipper that names the window a
// primary surface draws into.

#include <atomic>
#include <string>
#include <cstring>
#include <new>
#include <vector>

#include "ddraw.h"

#define DDRAW_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

template <class Interface>
class RefCounted : public Interface {
public:
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override
    {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

protected:
    virtual ~RefCounted() = default;
    HRESULT Answer(REFIID iid, REFIID own, void** object)
    {
        if (!object) return E_POINTER;
        if (iid == IID_IUnknown || iid == own) {
            *object = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }

private:
    std::atomic<ULONG> refs_{1};
};

DWORD ReadDisplayValue(HKEY key, const char* name, DWORD fallback)
{
    DWORD value = 0, size = sizeof value, type = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        return fallback;
    return value;
}

// The machine's display setting.
DDPIXELFORMAT DisplayFormat()
{
    DDPIXELFORMAT f{sizeof f, DDPF_RGB, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0};
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, DDRAW_DISPLAY_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) return f;
    f.dwRGBBitCount = ReadDisplayValue(key, "BitsPerPixel", 32);
    if (f.dwRGBBitCount <= 8) {
        f.dwFlags = DDPF_PALETTEINDEXED8;
        f.dwRGBBitCount = 8;
        f.dwRBitMask = f.dwGBitMask = f.dwBBitMask = 0;
    } else {
        const bool sixteen = f.dwRGBBitCount == 16;
        f.dwRBitMask = ReadDisplayValue(key, "RedMask", sixteen ? 0xF800 : 0xFF0000);
        f.dwGBitMask = ReadDisplayValue(key, "GreenMask", sixteen ? 0x7E0 : 0xFF00);
        f.dwBBitMask = ReadDisplayValue(key, "BlueMask", sixteen ? 0x1F : 0xFF);
    }
    RegCloseKey(key);
    return f;
}

class Clipper final : public RefCounted<IDirectDrawClipper> {
public:
    HRESULT QueryInterface(REFIID iid, void** object) override { return Answer(iid, IID_IDirectDrawClipper, object); }
    HRESULT SetHWnd(DWORD, HWND hwnd) override
    {
        hwnd_ = hwnd;
        return DD_OK;
    }
    HRESULT GetHWnd(HWND* hwnd) override
    {
        if (!hwnd) return DDERR_INVALIDPARAMS;
        *hwnd = hwnd_;
        return DD_OK;
    }

private:
    HWND hwnd_ = nullptr;
};

// One channel of a masked pixel scaled to 8 bits.
struct Channel {
    explicit Channel(DWORD mask)
    {
        while (mask && !(mask & 1)) mask >>= 1, ++shift;
        max = mask;
    }
    uint8_t Of(DWORD pixel) const { return max ? uint8_t(((pixel >> shift) & max) * 255 / max) : 0; }
    int shift = 0;
    DWORD max = 0;
};

class Surface final : public RefCounted<IDirectDrawSurface> {
public:
    // A primary surface has no memory of its own: it stands for the screen.
    static Surface* Make(const DDSURFACEDESC& desc, const DDPIXELFORMAT& display)
    {
        auto* s = new (std::nothrow) Surface;
        if (!s) return nullptr;
        s->caps_ = desc.ddsCaps.dwCaps;
        s->format_ = (desc.dwFlags & DDSD_PIXELFORMAT) ? desc.ddpfPixelFormat : display;
        if (s->caps_ & DDSCAPS_PRIMARYSURFACE) return s;
        s->width_ = desc.dwWidth;
        s->height_ = desc.dwHeight;
        s->pitch_ = LONG(((desc.dwWidth * s->format_.dwRGBBitCount / 8) + 3) & ~3u);
        s->bytes_ = size_t(s->pitch_) * s->height_;
        // From VirtualAlloc: memory a machine host can reach, so a device may
        // write into it, and fixed until the surface goes.
        s->memory_ = s->bytes_ ? VirtualAlloc(nullptr, s->bytes_, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE) : nullptr;
        if (!s->memory_) {
            s->Release();
            return nullptr;
        }
        return s;
    }

    HRESULT QueryInterface(REFIID iid, void** object) override { return Answer(iid, IID_IDirectDrawSurface, object); }
    HRESULT Lock(LPRECT, DDSURFACEDESC* desc, DWORD, HANDLE) override
    {
        if (!desc || !memory_) return DDERR_INVALIDPARAMS;
        Describe(desc);
        ++locks_;
        return DD_OK;
    }
    HRESULT Unlock(LPVOID) override
    {
        if (locks_ == 0) return DDERR_NOTLOCKED;
        --locks_;
        return DD_OK;
    }
    HRESULT GetPixelFormat(DDPIXELFORMAT* format) override
    {
        if (!format) return DDERR_INVALIDPARAMS;
        *format = format_;
        return DD_OK;
    }
    HRESULT GetSurfaceDesc(DDSURFACEDESC* desc) override
    {
        if (!desc) return DDERR_INVALIDPARAMS;
        Describe(desc);
        return DD_OK;
    }
    HRESULT Blt(LPRECT dst, IDirectDrawSurface* source, LPRECT srcRect, DWORD, DDBLTFX*) override;
    HRESULT IsLost() override { return DD_OK; }
    HRESULT Restore() override { return DD_OK; }
    HRESULT SetClipper(IDirectDrawClipper* clipper) override
    {
        if (clipper) clipper->AddRef();
        if (clipper_) clipper_->Release();
        clipper_ = clipper;
        return DD_OK;
    }

private:
    ~Surface() override
    {
        if (clipper_) clipper_->Release();
        if (memory_) VirtualFree(memory_, 0, MEM_RELEASE);
    }
    void Describe(DDSURFACEDESC* desc) const
    {
        desc->dwFlags = DDSD_CAPS | DDSD_HEIGHT | DDSD_WIDTH | DDSD_PITCH | DDSD_PIXELFORMAT | DDSD_LPSURFACE;
        desc->dwWidth = width_;
        desc->dwHeight = height_;
        desc->lPitch = pitch_;
        desc->lpSurface = memory_;
        desc->ddpfPixelFormat = format_;
        desc->ddsCaps.dwCaps = caps_;
    }
    // The rows [top, top + lines) as 32-bit BGRX, top-down.
    const void* AsBgrx(std::vector<uint32_t>& scratch) const;

    DWORD caps_ = 0;
    DDPIXELFORMAT format_{};
    DWORD width_ = 0, height_ = 0;
    LONG pitch_ = 0;
    size_t bytes_ = 0;
    void* memory_ = nullptr;
    std::atomic<int> locks_{0};
    IDirectDrawClipper* clipper_ = nullptr;
    friend class DirectDraw;
};

const void* Surface::AsBgrx(std::vector<uint32_t>& scratch) const
{
    const bool native = format_.dwRGBBitCount == 32 && format_.dwRBitMask == 0xFF0000 && format_.dwGBitMask == 0xFF00 &&
                        format_.dwBBitMask == 0xFF && pitch_ == LONG(width_ * 4);
    if (native) return memory_;
    scratch.resize(size_t(width_) * height_);
    const Channel r(format_.dwRBitMask), g(format_.dwGBitMask), b(format_.dwBBitMask);
    const DWORD bytes = format_.dwRGBBitCount / 8;
    for (DWORD y = 0; y < height_; ++y) {
        const auto* row = static_cast<const uint8_t*>(memory_) + size_t(y) * pitch_;
        uint32_t* out = &scratch[size_t(y) * width_];
        for (DWORD x = 0; x < width_; ++x) {
            DWORD p = 0;
            std::memcpy(&p, row + x * bytes, bytes);
            out[x] = uint32_t(b.Of(p)) | uint32_t(g.Of(p)) << 8 | uint32_t(r.Of(p)) << 16;
        }
    }
    return scratch.data();
}

HRESULT Surface::Blt(LPRECT dst, IDirectDrawSurface* source, LPRECT srcRect, DWORD, DDBLTFX*)
{
    if (!(caps_ & DDSCAPS_PRIMARYSURFACE) || !source || !dst) return DDERR_INVALIDPARAMS;
    if (!clipper_) return DDERR_NOCLIPPER;
    HWND hwnd = nullptr;
    clipper_->GetHWnd(&hwnd);
    if (!IsWindow(hwnd)) return DDERR_GENERIC;
    auto* src = static_cast<Surface*>(source);
    if (src->format_.dwFlags != DDPF_RGB || src->format_.dwRGBBitCount < 16) return DDERR_INVALIDPIXELFORMAT;
    RECT from = srcRect ? *srcRect : RECT{0, 0, LONG(src->width_), LONG(src->height_)};
    POINT at{dst->left, dst->top};
    ScreenToClient(hwnd, &at);
    std::vector<uint32_t> scratch;
    const void* bits = src->AsBgrx(scratch);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = LONG(src->width_);
    info.bmiHeader.biHeight = -LONG(src->height_);
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    HDC dc = GetDC(hwnd);
    if (!dc) return DDERR_GENERIC;
    const int drawn = StretchDIBits(dc, at.x, at.y, dst->right - dst->left, dst->bottom - dst->top, from.left,
                                    from.top, from.right - from.left, from.bottom - from.top, bits, &info,
                                    DIB_RGB_COLORS, SRCCOPY);
    ReleaseDC(hwnd, dc);
    return drawn ? DD_OK : DDERR_GENERIC;
}

class DirectDraw final : public RefCounted<IDirectDraw> {
public:
    HRESULT QueryInterface(REFIID iid, void** object) override { return Answer(iid, IID_IDirectDraw, object); }
    HRESULT Initialize(GUID*) override
    {
        if (initialised_) return DDERR_ALREADYINITIALIZED;
        initialised_ = true;
        display_ = DisplayFormat();
        return DD_OK;
    }
    HRESULT SetCooperativeLevel(HWND, DWORD flags) override
    {
        if (!initialised_) return DDERR_NOTINITIALIZED;
        return flags == DDSCL_NORMAL ? DD_OK : DDERR_INVALIDPARAMS;
    }
    HRESULT GetDisplayMode(DDSURFACEDESC* desc) override
    {
        if (!initialised_) return DDERR_NOTINITIALIZED;
        if (!desc) return DDERR_INVALIDPARAMS;
        desc->dwFlags = DDSD_PIXELFORMAT;
        desc->ddpfPixelFormat = display_;
        return DD_OK;
    }
    HRESULT CreateSurface(DDSURFACEDESC* desc, IDirectDrawSurface** surface, IUnknown* outer) override
    {
        if (!initialised_) return DDERR_NOTINITIALIZED;
        if (!desc || !surface || outer) return DDERR_INVALIDPARAMS;
        *surface = nullptr;
        const bool primary = desc->ddsCaps.dwCaps & DDSCAPS_PRIMARYSURFACE;
        if (!primary && (!(desc->dwFlags & DDSD_WIDTH) || !(desc->dwFlags & DDSD_HEIGHT) || desc->dwWidth == 0 ||
                         desc->dwHeight == 0))
            return DDERR_INVALIDPARAMS;
        Surface* s = Surface::Make(*desc, display_);
        if (!s) return DDERR_OUTOFMEMORY;
        *surface = s;
        return DD_OK;
    }
    HRESULT CreateClipper(DWORD, IDirectDrawClipper** clipper, IUnknown* outer) override
    {
        if (!clipper || outer) return DDERR_INVALIDPARAMS;
        *clipper = new (std::nothrow) Clipper;
        return *clipper ? DD_OK : DDERR_OUTOFMEMORY;
    }

private:
    bool initialised_ = false;
    DDPIXELFORMAT display_{};
};

class Factory final : public RefCounted<IClassFactory> {
public:
    HRESULT QueryInterface(REFIID iid, void** object) override { return Answer(iid, IID_IClassFactory, object); }
    HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) override
    {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        auto* made = new (std::nothrow) DirectDraw;
        if (!made) return E_OUTOFMEMORY;
        const HRESULT hr = made->QueryInterface(iid, object);
        made->Release();
        return hr;
    }
    HRESULT LockServer(BOOL) override { return S_OK; }
};

}  // namespace

DDRAW_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* object)
{
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!(clsid == CLSID_DirectDraw)) return CLASS_E_CLASSNOTAVAILABLE;
    auto* factory = new (std::nothrow) Factory;
    if (!factory) return E_OUTOFMEMORY;
    const HRESULT hr = factory->QueryInterface(iid, object);
    factory->Release();
    return hr;
}

// Writes the class's InprocServer32 key, as an installer does.
DDRAW_EXPORT HRESULT DllRegisterServer()
{
    char id[40];
    StringFromGUID2A(CLSID_DirectDraw, id, sizeof id);
    const std::string key = std::string("CLSID\\") + id + "\\InprocServer32";
    HKEY hkey = nullptr;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hkey, nullptr) !=
        ERROR_SUCCESS)
        return E_FAIL;
    const LSTATUS set = RegSetValueExA(hkey, "", 0, REG_SZ, reinterpret_cast<const BYTE*>(DDRAW_SERVER_LIBRARY),
                                       DWORD(sizeof DDRAW_SERVER_LIBRARY));
    RegCloseKey(hkey);
    return set == ERROR_SUCCESS ? S_OK : E_FAIL;
}
