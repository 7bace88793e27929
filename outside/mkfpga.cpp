// mkfpga: writes and inspects FPGA image files for the simulated board.
//
//   mkfpga install <drivers-dir> [--standard 525|625|0]
//       writes Zar10kr2.mbf and Zar10kr3.mbf (the standard sets)
//   mkfpga write <file> [--revision 2|3] [--standard 525|625|0] [--decoys]
//       writes one file; --decoys puts spoiled images before the good ones
//   mkfpga show <file>
//       prints the header and every image's own header as the FPGAs read it
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "outside/fpga_images.h"
#include "sim/fpga.h"

namespace {

int Usage()
{
    std::fprintf(stderr,
                 "usage: mkfpga install <drivers-dir> [--standard 525|625|0]\n"
                 "       mkfpga write <file> [--revision 2|3] [--standard 525|625|0] [--decoys]\n"
                 "       mkfpga show <file>\n");
    return 2;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return bool(out);
}

int Show(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "mkfpga: cannot open %s\n", path.c_str());
        return 1;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    fpgaimages::ImageFile file;
    std::string error;
    if (!fpgaimages::ReadImageFile(bytes, &file, &error)) {
        std::fprintf(stderr, "mkfpga: %s: %s\n", path.c_str(), error.c_str());
        return 1;
    }
    std::printf("%s: %zu bytes, versions 0x%08x 0x%08x, standard %u, largest image %u\n", path.c_str(), bytes.size(),
                file.versionA, file.versionB, file.standard, file.largestOverride);
    uint32_t global = 0;
    for (int f = 0; f < 4; ++f) {
        for (const auto& image : file.images[f]) {
            std::printf("  image %2u  FPGA %d  %6zu bytes", global++, f, image.size());
            if (image.size() >= sim::fpga::kHeaderSize) {
                sim::fpga::ImageHeader h = sim::fpga::ReadImageHeader(image.data());
                bool magic = h.magic == sim::fpga::kMagic;
                bool whole = image.size() == sim::fpga::kHeaderSize + uint64_t(h.payloadLength);
                bool crc = whole && sim::fpga::ImageCrc(h, image.data() + sim::fpga::kHeaderSize, h.payloadLength) == h.crc;
                std::printf("  for FPGA %u, rev %u, %u lines%s, design 0x%08x%s%s%s", h.device, h.boardRevision,
                            h.standard, (h.flags & sim::fpga::kFlagDve) ? ", DVE" : "", h.designId,
                            magic ? "" : ", NO MAGIC", whole ? "" : ", TRUNCATED", whole && !crc ? ", BAD CRC" : "");
            }
            std::printf("\n");
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) return Usage();
    std::string command = argv[1];
    std::string target = argv[2];
    int revision = 3;
    int standard = 0;
    bool decoys = false;
    for (int i = 3; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--revision") && i + 1 < argc) revision = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--standard") && i + 1 < argc) standard = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--decoys")) decoys = true;
        else return Usage();
    }

    if (command == "install") {
        std::string error;
        if (!fpgaimages::InstallImageFiles(target, standard, &error)) {
            std::fprintf(stderr, "mkfpga: %s\n", error.c_str());
            return 1;
        }
        return 0;
    }
    if (command == "write") {
        fpgaimages::ImageFile file =
            decoys ? fpgaimages::DecoyImageSet(revision, standard) : fpgaimages::StandardImageSet(revision, standard);
        if (!WriteFile(target, fpgaimages::WriteImageFile(file))) {
            std::fprintf(stderr, "mkfpga: cannot write %s\n", target.c_str());
            return 1;
        }
        return 0;
    }
    if (command == "show") return Show(target);
    return Usage();
}
