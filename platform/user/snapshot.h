// Pictures of windows: a top-level window's image (or the whole desktop,
// every visible top-level window in z-order) written as a PNG.
#pragma once

#include <string>

#include "user.h"

namespace user {

// Paints what is waiting to be painted in the window's tree, then writes
// its top-level window's image. False with the reason in 'why'.
bool WriteWindowPng(HWND hwnd, const std::string& path, std::string* why = nullptr);
bool WriteDesktopPng(const std::string& path, std::string* why = nullptr);
// The folder pictures go into by name: the machine folder's output/ as
// ZAR_MACHINE names it, unless set here.
void SetPictureFolder(const std::string& folder);
std::string PictureFolder();
// WriteWindowPng into PictureFolder()/<name>.png; the path written, or
// empty.
std::string Snapshot(HWND hwnd, const std::string& name);

// A pixel of a window as it was last painted (window coordinates), for
// tests; CLR_INVALID outside it.
COLORREF WindowPixel(HWND hwnd, int x, int y);

}  // namespace user
