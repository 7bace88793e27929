// The demo's frame-store section: the frame the video input's store holds,
// read as a bottom-up BGR image through IOCTL_ZAR_VIN_FRAMESTORE_READ,
// written top-down as a PPM picture, with the colours of a few points.

#include "demo_framestore.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "demo_board.h"
#include "include/zarkd.h"
#include "win32.h"

namespace {

constexpr int kWidth = 720;
constexpr int kLineBytes = kWidth * 3;

}  // namespace

void ShowFrameStore(const DemoFrameStoreContext& context)
{
    std::printf("\n== Input frame store ==\n");
    DemoBoard board(context.board);
    if (!board.Open()) return;
    // The store holds a whole frame: 486 lines at 525, 576 at 625; the
    // larger image serves either, filled first with a pattern no converted
    // line gives (a blue, green, red of 1, 2, 3), so the rows the frame
    // leaves alone show where it ends.
    const int lines = 576;
    std::vector<unsigned char> image(size_t(lines) * kLineBytes);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<unsigned char>(1 + i % 3);
    ZAR_FRAMESTORE_READ request{ZAR_FS_KEY_OPAQUE, 0, ZAR_FS_FORMAT_BGR, 0,
                                uint32_t(reinterpret_cast<uintptr_t>(image.data())), 0};
    const auto start = std::chrono::steady_clock::now();
    if (!board.Call(IOCTL_ZAR_VIN_FRAMESTORE_READ, "the read", &request, sizeof request, &request, sizeof request))
        return;
    const double hostMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    // A 525-line frame fills the image's first 486 rows, bottom-up.
    int height = lines;
    while (height > 0) {
        bool untouched = true;
        for (int x = 0; x < kLineBytes && untouched; ++x)
            untouched = image[size_t(height - 1) * kLineBytes + x] == 1 + x % 3;
        if (!untouched) break;
        --height;
    }
    std::printf("  read a %d x %d frame as BGR in %.0f ms of host time\n", kWidth, height, hostMs);
    auto pixel = [&](int x, int y) { return &image[(size_t(height - 1 - y) * kWidth + x) * 3]; };
    std::printf("  colours (R G B) along the middle line:");
    for (int x : {45, 135, 225, 315, 405, 495, 585, 675}) {
        const unsigned char* p = pixel(x, height / 2);
        std::printf(" (%d %d %d)", p[2], p[1], p[0]);
    }
    std::printf("\n");
    const std::filesystem::path output = std::filesystem::path(context.machineFolder) / "output";
    std::error_code ec;
    std::filesystem::create_directories(output, ec);
    const std::string path = (output / "framestore.ppm").string();
    FILE* f = std::fopen(path.c_str(), "wb");
    bool written = f != nullptr && std::fprintf(f, "P6\n%d %d\n255\n", kWidth, height) > 0;
    for (int y = 0; written && y < height; ++y)
        for (int x = 0; written && x < kWidth; ++x) {
            const unsigned char* p = pixel(x, y);
            const unsigned char rgb[3] = {p[2], p[1], p[0]};
            written = std::fwrite(rgb, 1, 3, f) == 3;
        }
    if (f != nullptr && std::fclose(f) != 0) written = false;
    if (written)
        std::printf("  written to %s\n", path.c_str());
    else
        std::printf("  the picture could not be written to %s\n", path.c_str());
}
