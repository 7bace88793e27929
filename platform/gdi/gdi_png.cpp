// Pictures of images as PNG files, through libpng.
#include <png.h>

#include <cstdio>
#include <memory>

#include "gdi_surface.h"

namespace gdi {

bool WritePng(const Surface& surface, const std::string& path, std::string* why)
{
    if (surface.width <= 0 || surface.height <= 0 || !surface.bits) {
        if (why) *why = "empty image";
        return false;
    }
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb"), std::fclose);
    if (!file) {
        if (why) *why = "cannot create " + path;
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        if (why) *why = "libpng could not start";
        return false;
    }
    std::vector<uint8_t> row(static_cast<size_t>(surface.width) * 3);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        if (why) *why = "libpng failed writing " + path;
        return false;
    }
    png_init_io(png, file.get());
    png_set_IHDR(png, info, surface.width, surface.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    // Pictures are written often (every test's, every demo step's) and read
    // rarely: the fastest compression is worth its larger files.
    png_set_compression_level(png, 1);
    png_write_info(png, info);
    const int step = surface.bpp / 8;
    for (int y = 0; y < surface.height; ++y) {
        const uint8_t* p = surface.Row(y);
        for (int x = 0; x < surface.width; ++x, p += step) {
            row[x * 3] = p[2];
            row[x * 3 + 1] = p[1];
            row[x * 3 + 2] = p[0];
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace gdi
