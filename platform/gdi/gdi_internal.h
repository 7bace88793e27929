// The drawing layer's objects behind their handles. One lock guards the
// handle table; a DC and what is selected into it belong to the thread that
// draws with it, as on Windows.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "gdi.h"
#include "gdi_surface.h"

namespace gdi {

enum class Kind { Pen, Brush, Font, Bitmap, Region, Dc };

struct Object {
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    Kind kind;
    bool stock = false;
    int selections = 0;  // DCs this object is selected into: such an object is not deleted
};

struct Pen : Object {
    Pen() : Object(Kind::Pen) {}
    int style = PS_SOLID;
    int width = 1;
    COLORREF color = 0;
};

struct Brush : Object {
    Brush() : Object(Kind::Brush) {}
    bool hollow = false;
    COLORREF color = 0;
};

struct Face;
struct Font : Object {
    Font() : Object(Kind::Font) {}
    LOGFONTA logFont{};
    Face* face = nullptr;  // resolved on first use
};

struct Bitmap : Object {
    Bitmap() : Object(Kind::Bitmap) {}
    Surface surface;
    bool dib = false;
};

// A region is a set of disjoint rectangles.
struct Region : Object {
    Region() : Object(Kind::Region) {}
    std::vector<RECT> rects;
};

struct DcState {
    Pen* pen = nullptr;
    Brush* brush = nullptr;
    Font* font = nullptr;
    Bitmap* bitmap = nullptr;
    COLORREF textColor = 0;
    COLORREF bkColor = 0xFFFFFF;
    int bkMode = OPAQUE;
    UINT textAlign = TA_LEFT | TA_TOP;
    int rop2 = R2_COPYPEN;
    int stretchMode = BLACKONWHITE;
    POINT origin{0, 0};  // device pixels of logical (0,0)
    POINT position{0, 0};
    bool hasClip = false;
    std::vector<RECT> clip;  // device pixels, when hasClip
};

struct Dc : Object {
    Dc() : Object(Kind::Dc) {}
    Surface* surface = nullptr;  // null for a memory DC with no bitmap yet
    bool memory = false;
    RECT visible{0, 0, 0, 0};  // device pixels the DC may touch at all
    DcState state;
    std::vector<DcState> saved;
};

// The handle table. Handles are never reused, so a stale one is refused.
std::recursive_mutex& Lock();
HGDIOBJ AddObject(std::unique_ptr<Object> object);
Object* Find(HGDIOBJ handle, Kind kind);
Dc* FindDc(HDC dc);
HGDIOBJ HandleOf(const Object* object);

// The rectangles a DC may draw into (device pixels), clip and visible
// area combined.
std::vector<RECT> ClipRects(const Dc& dc);
// Region arithmetic on rectangle sets.
std::vector<RECT> RectsAnd(const std::vector<RECT>& a, const std::vector<RECT>& b);
std::vector<RECT> RectsDiff(const std::vector<RECT>& a, const std::vector<RECT>& b);
std::vector<RECT> RectsOr(const std::vector<RECT>& a, const std::vector<RECT>& b);

// Fills device pixels [x0, x1) of row y within the clip with a colour (or
// the pen mix).
void FillSpan(const Dc& dc, const std::vector<RECT>& clip, int y, int x0, int x1, COLORREF color, int rop2);
void PlotPixel(const Dc& dc, const std::vector<RECT>& clip, int x, int y, COLORREF color, int rop2);

Pen* StockPen(int index);
Brush* StockBrush(int index);
Font* StockFont(int index);

}  // namespace gdi
