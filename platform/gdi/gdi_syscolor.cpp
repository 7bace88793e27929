// The system colours of the classic grey scheme, and one brush for each.
#include "gdi_internal.h"

namespace {

const COLORREF kColors[] = {
    RGB(212, 208, 200),  // scroll bar
    RGB(58, 110, 165),   // desktop
    RGB(10, 36, 106),    // active caption
    RGB(128, 128, 128),  // inactive caption
    RGB(212, 208, 200),  // menu
    RGB(255, 255, 255),  // window
    RGB(0, 0, 0),        // window frame
    RGB(0, 0, 0),        // menu text
    RGB(0, 0, 0),        // window text
    RGB(255, 255, 255),  // caption text
    RGB(212, 208, 200),  // active border
    RGB(212, 208, 200),  // inactive border
    RGB(128, 128, 128),  // application workspace
    RGB(10, 36, 106),    // highlight
    RGB(255, 255, 255),  // highlighted text
    RGB(212, 208, 200),  // button face
    RGB(128, 128, 128),  // button shadow
    RGB(128, 128, 128),  // grey text
    RGB(0, 0, 0),        // button text
    RGB(212, 208, 200),  // inactive caption text
    RGB(255, 255, 255),  // button highlight
    RGB(64, 64, 64),     // 3-D dark shadow
    RGB(212, 208, 200),  // 3-D light
    RGB(0, 0, 0),        // tooltip text
    RGB(255, 255, 225),  // tooltip background
    RGB(181, 181, 181),  // (unused index 25)
    RGB(0, 0, 128),      // hot-tracked item
};
constexpr int kCount = sizeof kColors / sizeof kColors[0];

}  // namespace

DWORD GetSysColor(int index) { return index >= 0 && index < kCount ? kColors[index] : 0; }

HBRUSH GetSysColorBrush(int index)
{
    static HBRUSH brushes[kCount] = {};
    std::lock_guard guard(gdi::Lock());
    if (index < 0 || index >= kCount) return nullptr;
    if (!brushes[index]) {
        auto brush = std::make_unique<gdi::Brush>();
        brush->color = kColors[index];
        brush->stock = true;
        brushes[index] = gdi::AddObject(std::move(brush));
    }
    return brushes[index];
}
