#include "snapshot.h"

#include <cstdlib>
#include <filesystem>

#include "user_internal.h"

namespace user {
namespace {

std::string& Folder()
{
    static std::string folder;
    return folder;
}

}  // namespace

bool WriteWindowPng(HWND hwnd, const std::string& path, std::string* why)
{
    Window* w = Find(hwnd);
    if (!w) {
        if (why) *why = "not a window";
        return false;
    }
    Window* top = TopOf(w);
    DrawNonClient(*top);
    PaintNow(*top);
    ResizeImage(*top);
    return gdi::WritePng(*top->image, path, why);
}

bool WriteDesktopPng(const std::string& path, std::string* why)
{
    gdi::Surface desk;
    desk.Allocate(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    HDC dc = gdi::CreateSurfaceDc(&desk, POINT{0, 0}, RECT{0, 0, desk.width, desk.height});
    RECT all{0, 0, desk.width, desk.height};
    FillRect(dc, &all, GetSysColorBrush(COLOR_BACKGROUND));
    std::vector<HWND> tops;
    {
        std::lock_guard guard(Lock());
        for (auto it = TopLevel().rbegin(); it != TopLevel().rend(); ++it)
            if (((*it)->style & WS_VISIBLE)) tops.push_back((*it)->handle);
    }
    for (HWND h : tops) {
        Window* t = FindQuiet(h);
        if (!t) continue;
        DrawNonClient(*t);
        PaintNow(*t);
        ResizeImage(*t);
        // Each window's own image, copied where it sits on the screen.
        gdi::Surface& img = *t->image;
        for (int y = 0; y < img.height; ++y)
            for (int x = 0; x < img.width; ++x) {
                const int dx = t->rect.left + x, dy = t->rect.top + y;
                if (dx >= 0 && dy >= 0 && dx < desk.width && dy < desk.height) desk.Put(dx, dy, img.Get(x, y));
            }
    }
    DeleteDC(dc);
    return gdi::WritePng(desk, path, why);
}

void SetPictureFolder(const std::string& folder) { Folder() = folder; }

std::string PictureFolder()
{
    if (!Folder().empty()) return Folder();
    const char* machine = std::getenv("ZAR_MACHINE");
    return machine && *machine ? std::string(machine) + "/output" : std::string("output");
}

std::string Snapshot(HWND hwnd, const std::string& name)
{
    const std::string folder = PictureFolder();
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    const std::string path = folder + "/" + name + ".png";
    const bool ok = hwnd ? WriteWindowPng(hwnd, path) : WriteDesktopPng(path);
    return ok ? path : std::string();
}

COLORREF WindowPixel(HWND hwnd, int x, int y)
{
    Window* w = Find(hwnd);
    if (!w) return CLR_INVALID;
    Window* top = TopOf(w);
    PaintNow(*top);
    ResizeImage(*top);
    // From the window's rectangle to its top-level window's image.
    const POINT o = ClientOriginInTop(*w);
    const RECT c = ClientRectInWindow(*w);
    const int ix = o.x - c.left + x, iy = o.y - c.top + y;
    if (ix < 0 || iy < 0 || ix >= top->image->width || iy >= top->image->height) return CLR_INVALID;
    return top->image->Get(ix, iy);
}

}  // namespace user
