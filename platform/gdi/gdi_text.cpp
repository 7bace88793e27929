// Text: one face of the distribution's DejaVu family through FreeType,
// rendered without smoothing (hinted, one bit a pixel) so every host draws
// the same pixels. Text arrives in the ANSI code page (Windows-1252).
#include <ft2build.h>
#include FT_FREETYPE_H

#include <cctype>
#include <cstring>
#include <map>
#include <string>

#include "gdi_internal.h"

namespace gdi {

// A face at one pixel size, with the glyphs drawn so far.
struct Glyph {
    int left = 0, top = 0, width = 0, rows = 0, pitch = 0, advance = 0;
    std::vector<uint8_t> bits;  // one bit a pixel, most significant first
};
struct Face {
    FT_Face face = nullptr;
    int ascent = 0, descent = 0, height = 0;
    std::map<uint32_t, Glyph> glyphs;
};

namespace {

constexpr const char* kFontFolder = "/usr/share/fonts/truetype/dejavu/";

// The distribution's face that stands for a requested font: fixed pitch for
// a fixed-pitch request or a known fixed face, serif for a roman one, sans
// otherwise; bold from 600 on.
std::string FileFor(const LOGFONTA& lf)
{
    std::string face = lf.lfFaceName;
    for (char& c : face) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const bool fixed = (lf.lfPitchAndFamily & 3) == 1 /* FIXED_PITCH */ || (lf.lfPitchAndFamily & 0xF0) == 0x30 /* FF_MODERN */ ||
                       face.find("courier") != std::string::npos || face.find("fixedsys") != std::string::npos ||
                       face.find("terminal") != std::string::npos || face.find("mono") != std::string::npos ||
                       face.find("consol") != std::string::npos;
    const bool serif = !fixed && ((lf.lfPitchAndFamily & 0xF0) == 0x10 /* FF_ROMAN */ || face.find("times") != std::string::npos ||
                                  face.find("serif") == 0);
    const bool bold = lf.lfWeight >= 600;
    std::string file = fixed ? "DejaVuSansMono" : serif ? "DejaVuSerif" : "DejaVuSans";
    return std::string(kFontFolder) + file + (bold ? "-Bold" : "") + ".ttf";
}

FT_Library Library()
{
    static FT_Library library = [] {
        FT_Library lib = nullptr;
        return FT_Init_FreeType(&lib) == 0 ? lib : nullptr;
    }();
    return library;
}

// Resolves a font to a face at its pixel size; shared by every font of the
// same size and weight. Null when the font file is missing.
Face* FaceFor(Font& font)
{
    if (font.face) return font.face;
    static std::map<std::pair<int, std::string>, Face> faces;
    const LOGFONTA& lf = font.logFont;
    // A negative height is the character height; a positive one the cell,
    // of which the character is about seven eighths.
    int pixels = lf.lfHeight < 0 ? -lf.lfHeight : (lf.lfHeight * 7 + 4) / 8;
    if (pixels < 4) pixels = 4;
    const std::string file = FileFor(lf);
    Face& f = faces[{pixels, file}];
    if (!f.face) {
        if (!Library() || FT_New_Face(Library(), file.c_str(), 0, &f.face) != 0) {
            f.face = nullptr;
            return nullptr;
        }
        FT_Set_Pixel_Sizes(f.face, 0, pixels);
        f.ascent = static_cast<int>(f.face->size->metrics.ascender >> 6);
        f.descent = static_cast<int>(-(f.face->size->metrics.descender >> 6));
        f.height = f.ascent + f.descent;
    }
    font.face = &f;
    return &f;
}

uint32_t CodePoint(unsigned char c)
{
    static const uint16_t high[32] = {0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x8D,   0x017D, 0x8F,
                                      0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};
    return c >= 0x80 && c < 0xA0 ? high[c - 0x80] : c;
}

const Glyph& GlyphOf(Face& f, unsigned char c)
{
    const uint32_t cp = CodePoint(c);
    auto it = f.glyphs.find(cp);
    if (it != f.glyphs.end()) return it->second;
    Glyph& g = f.glyphs[cp];
    if (FT_Load_Char(f.face, cp, FT_LOAD_RENDER | FT_LOAD_TARGET_MONO | FT_LOAD_MONOCHROME) == 0) {
        const FT_GlyphSlot slot = f.face->glyph;
        g.left = slot->bitmap_left;
        g.top = slot->bitmap_top;
        g.width = static_cast<int>(slot->bitmap.width);
        g.rows = static_cast<int>(slot->bitmap.rows);
        g.pitch = slot->bitmap.pitch < 0 ? -slot->bitmap.pitch : slot->bitmap.pitch;
        g.advance = static_cast<int>((slot->advance.x + 32) >> 6);
        g.bits.assign(slot->bitmap.buffer, slot->bitmap.buffer + static_cast<size_t>(g.pitch) * g.rows);
    }
    return g;
}

Face* CurrentFace(Dc& dc)
{
    Font* font = dc.state.font ? dc.state.font : StockFont(SYSTEM_FONT);
    return FaceFor(*font);
}

int Width(Face& f, const char* text, int count)
{
    int w = 0;
    for (int i = 0; i < count; ++i) w += GlyphOf(f, static_cast<unsigned char>(text[i])).advance;
    return w;
}

}  // namespace
}  // namespace gdi

using namespace gdi;

BOOL GetTextExtentPoint32A(HDC h, LPCSTR text, int count, LPSIZE size)
{
    std::lock_guard guard(Lock());
    Dc* dc = FindDc(h);
    if (!dc || !size || count < 0 || (count > 0 && !text)) {
        SetLastError(dc ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Face* f = CurrentFace(*dc);
    if (!f) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    size->cx = Width(*f, text, count);
    size->cy = f->height;
    return TRUE;
}

BOOL GetTextMetricsA(HDC h, TEXTMETRICA* tm)
{
    std::lock_guard guard(Lock());
    Dc* dc = FindDc(h);
    if (!dc || !tm) {
        SetLastError(dc ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Face* f = CurrentFace(*dc);
    if (!f) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    std::memset(tm, 0, sizeof *tm);
    tm->tmHeight = f->height;
    tm->tmAscent = f->ascent;
    tm->tmDescent = f->descent;
    // The average width as Windows measures it for dialog units: the 52
    // letters' mean, rounded.
    const char* letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    tm->tmAveCharWidth = (Width(*f, letters, 52) / 26 + 1) / 2;
    tm->tmMaxCharWidth = static_cast<LONG>(f->face->size->metrics.max_advance >> 6);
    tm->tmWeight = dc->state.font ? dc->state.font->logFont.lfWeight : FW_NORMAL;
    return TRUE;
}

BOOL ExtTextOutA(HDC h, int x, int y, UINT options, const RECT* rect, LPCSTR text, UINT count, const INT* dx)
{
    std::lock_guard guard(Lock());
    Dc* dc = FindDc(h);
    if (!dc) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (count > 0 && !text) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Face* f = CurrentFace(*dc);
    if (!f) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (!dc->surface) return TRUE;
    const POINT org = dc->state.origin;
    std::vector<RECT> clip = ClipRects(*dc);
    if (rect && (options & ETO_OPAQUE)) {
        RECT r = *rect;
        OffsetRect(&r, org.x, org.y);
        for (int row = r.top; row < r.bottom; ++row) FillSpan(*dc, clip, row, r.left, r.right, dc->state.bkColor, R2_COPYPEN);
    }
    if (rect && (options & ETO_CLIPPED)) {
        RECT r = *rect;
        OffsetRect(&r, org.x, org.y);
        clip = RectsAnd(clip, {r});
    }
    const int n = static_cast<int>(count);
    int width = 0;
    for (int i = 0; i < n; ++i) width += dx ? dx[i] : GlyphOf(*f, static_cast<unsigned char>(text[i])).advance;
    const UINT align = dc->state.textAlign;
    if (align & TA_UPDATECP) {
        x = dc->state.position.x;
        y = dc->state.position.y;
    }
    int left = x;
    if ((align & TA_CENTER) == TA_CENTER)
        left = x - width / 2;
    else if (align & TA_RIGHT)
        left = x - width;
    int top = y;
    if ((align & TA_BASELINE) == TA_BASELINE)
        top = y - f->ascent;
    else if (align & TA_BOTTOM)
        top = y - f->height;
    if (align & TA_UPDATECP) dc->state.position.x = (align & TA_RIGHT) ? x - width : x + width;
    if (dc->state.bkMode == OPAQUE && !(rect && (options & ETO_OPAQUE)))
        for (int row = top; row < top + f->height; ++row)
            FillSpan(*dc, clip, row + org.y, left + org.x, left + width + org.x, dc->state.bkColor, R2_COPYPEN);
    const COLORREF color = dc->state.textColor;
    int pen = left + org.x;
    const int baseline = top + f->ascent + org.y;
    for (int i = 0; i < n; ++i) {
        const Glyph& g = GlyphOf(*f, static_cast<unsigned char>(text[i]));
        for (int row = 0; row < g.rows; ++row) {
            const uint8_t* line = g.bits.data() + row * g.pitch;
            for (int col = 0; col < g.width; ++col)
                if (line[col >> 3] & (0x80 >> (col & 7)))
                    PlotPixel(*dc, clip, pen + g.left + col, baseline - g.top + row, color, R2_COPYPEN);
        }
        pen += dx ? dx[i] : g.advance;
    }
    const Font* font = dc->state.font;
    if (font && (font->logFont.lfUnderline || font->logFont.lfStrikeOut)) {
        // One-pixel lines under the text or through the middle of its letters.
        const int x0 = left + org.x, x1 = pen;
        if (font->logFont.lfUnderline) FillSpan(*dc, clip, baseline + 1, x0, x1, color, R2_COPYPEN);
        if (font->logFont.lfStrikeOut) FillSpan(*dc, clip, baseline - f->ascent / 3, x0, x1, color, R2_COPYPEN);
    }
    return TRUE;
}

BOOL TextOutA(HDC h, int x, int y, LPCSTR text, int count)
{
    if (count < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return ExtTextOutA(h, x, y, 0, nullptr, text, static_cast<UINT>(count), nullptr);
}
