// Image lists: pictures of one size with their transparent pixels, drawn
// by the list and tree views beside their items' texts.
#include <memory>
#include <set>
#include <vector>

#include "commctrl.h"
#include "user_internal.h"

namespace {

struct Image {
    std::vector<COLORREF> pixels;
    std::vector<bool> clear;  // transparent
};

struct ImageList {
    int cx = 16, cy = 16;
    bool masked = false;
    std::vector<Image> images;
};

std::set<ImageList*>& Lists()
{
    static std::set<ImageList*> lists;
    return lists;
}

ImageList* Find(HIMAGELIST h)
{
    std::lock_guard guard(user::Lock());
    auto* list = reinterpret_cast<ImageList*>(h);
    return Lists().count(list) ? list : nullptr;
}

// Reads a bitmap's pixels through a memory DC.
bool Pixels(HBITMAP bitmap, int& w, int& h, std::vector<COLORREF>& out)
{
    BITMAP bm{};
    if (!GetObjectA(bitmap, sizeof bm, &bm)) return false;
    w = bm.bmWidth;
    h = bm.bmHeight;
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, bitmap);
    out.resize(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) out[static_cast<size_t>(y) * w + x] = GetPixel(dc, x, y);
    SelectObject(dc, old);
    DeleteDC(dc);
    return true;
}

int AddSplit(ImageList* list, const std::vector<COLORREF>& pixels, int w, int h, const std::vector<COLORREF>* mask,
             const COLORREF* key)
{
    if (h < list->cy || w < list->cx) return -1;
    const int first = static_cast<int>(list->images.size());
    for (int left = 0; left + list->cx <= w; left += list->cx) {
        Image img;
        for (int y = 0; y < list->cy; ++y)
            for (int x = 0; x < list->cx; ++x) {
                const size_t at = static_cast<size_t>(y) * w + left + x;
                img.pixels.push_back(pixels[at]);
                // A set (white) mask pixel, or the key colour, is clear.
                img.clear.push_back(list->masked && ((mask && (*mask)[at] != 0) || (key && pixels[at] == *key)));
            }
        list->images.push_back(std::move(img));
    }
    return first;
}

}  // namespace

HIMAGELIST ImageList_Create(int cx, int cy, UINT flags, int, int)
{
    if (cx <= 0 || cy <= 0 || cx > 256 || cy > 256) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* list = new ImageList;
    list->cx = cx;
    list->cy = cy;
    list->masked = (flags & ILC_MASK) != 0;
    std::lock_guard guard(user::Lock());
    Lists().insert(list);
    return reinterpret_cast<HIMAGELIST>(list);
}

BOOL ImageList_Destroy(HIMAGELIST h)
{
    ImageList* list = Find(h);
    if (!list) return FALSE;
    {
        std::lock_guard guard(user::Lock());
        Lists().erase(list);
    }
    delete list;
    return TRUE;
}

int ImageList_Add(HIMAGELIST h, HBITMAP image, HBITMAP mask)
{
    ImageList* list = Find(h);
    int w, hgt, mw, mh;
    std::vector<COLORREF> pixels, maskPixels;
    if (!list || !Pixels(image, w, hgt, pixels)) return -1;
    const bool hasMask = mask && Pixels(mask, mw, mh, maskPixels) && mw == w && mh == hgt;
    return AddSplit(list, pixels, w, hgt, hasMask ? &maskPixels : nullptr, nullptr);
}

int ImageList_AddMasked(HIMAGELIST h, HBITMAP image, COLORREF mask)
{
    ImageList* list = Find(h);
    int w, hgt;
    std::vector<COLORREF> pixels;
    if (!list || !Pixels(image, w, hgt, pixels)) return -1;
    return AddSplit(list, pixels, w, hgt, nullptr, &mask);
}

int ImageList_ReplaceIcon(HIMAGELIST h, int index, HICON icon)
{
    ImageList* list = Find(h);
    if (!list || index < -1 || index >= static_cast<int>(list->images.size())) return -1;
    // The icon drawn at its 32 pixels over a key colour, then scaled to the
    // list's size; the key colour is its background.
    const COLORREF key = RGB(255, 0, 255);
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP big = CreateBitmap(32, 32, 1, 32, nullptr);
    HBITMAP small = CreateBitmap(list->cx, list->cy, 1, 32, nullptr);
    HGDIOBJ old = SelectObject(dc, big);
    HBRUSH brush = CreateSolidBrush(key);
    RECT all{0, 0, 32, 32};
    FillRect(dc, &all, brush);
    DeleteObject(brush);
    const BOOL drawn = DrawIcon(dc, 0, 0, icon);
    HDC sdc = CreateCompatibleDC(nullptr);
    HGDIOBJ oldSmall = SelectObject(sdc, small);
    StretchBlt(sdc, 0, 0, list->cx, list->cy, dc, 0, 0, 32, 32, SRCCOPY);
    SelectObject(sdc, oldSmall);
    SelectObject(dc, old);
    DeleteDC(sdc);
    DeleteDC(dc);
    DeleteObject(big);
    int result = -1;
    if (drawn) {
        int w, hgt;
        std::vector<COLORREF> pixels;
        Pixels(small, w, hgt, pixels);
        const bool wasMasked = list->masked;
        list->masked = true;
        ImageList scratch = *list;
        scratch.images.clear();
        AddSplit(&scratch, pixels, w, hgt, nullptr, &key);
        list->masked = wasMasked;
        if (index == -1) {
            list->images.push_back(scratch.images[0]);
            result = static_cast<int>(list->images.size()) - 1;
        } else {
            list->images[index] = scratch.images[0];
            result = index;
        }
    }
    DeleteObject(small);
    return result;
}

BOOL ImageList_Remove(HIMAGELIST h, int index)
{
    ImageList* list = Find(h);
    if (!list) return FALSE;
    if (index == -1) {
        list->images.clear();
        return TRUE;
    }
    if (index < 0 || index >= static_cast<int>(list->images.size())) return FALSE;
    list->images.erase(list->images.begin() + index);
    return TRUE;
}

int ImageList_GetImageCount(HIMAGELIST h)
{
    ImageList* list = Find(h);
    return list ? static_cast<int>(list->images.size()) : 0;
}

BOOL ImageList_GetIconSize(HIMAGELIST h, int* cx, int* cy)
{
    ImageList* list = Find(h);
    if (!list || !cx || !cy) return FALSE;
    *cx = list->cx;
    *cy = list->cy;
    return TRUE;
}

BOOL ImageList_Draw(HIMAGELIST h, int index, HDC dc, int x, int y, UINT style)
{
    ImageList* list = Find(h);
    if (!list || index < 0 || index >= static_cast<int>(list->images.size())) return FALSE;
    const Image& img = list->images[index];
    const COLORREF highlight = GetSysColor(COLOR_HIGHLIGHT);
    for (int row = 0; row < list->cy; ++row)
        for (int col = 0; col < list->cx; ++col) {
            const size_t at = static_cast<size_t>(row) * list->cx + col;
            if (img.clear[at]) continue;
            COLORREF c = img.pixels[at];
            if (style & ILD_SELECTED) {
                // Selected: blended half way with the highlight colour.
                c = RGB((GetRValue(c) + GetRValue(highlight)) / 2, (GetGValue(c) + GetGValue(highlight)) / 2,
                        (GetBValue(c) + GetBValue(highlight)) / 2);
            }
            SetPixel(dc, x + col, y + row, c);
        }
    return TRUE;
}
