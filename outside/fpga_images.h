// FPGA image files for the simulated board: a generator of the files the
// board driver's loader reads from the system's drivers folder
// (Zar10kr<rev>.mbf), filled with images the simulated FPGAs accept (their
// format is the hardware's, in sim/fpga.h), and a reader that parses a file
// the way the loader does.
//
// File layout (little-endian):
//   0     4      "Copy" (the file starts with a short text, NUL-padded to 32)
//   32    4      version word A
//   36    4      version word B
//   40    4      video standard of the images: 525, 625, or 0 for either
//   44    4      number of FPGAs: 4
//   48    4 x 4  number of images of FPGA 0..3 (each at most 16)
//   112   4 each size of image i, numbered across the FPGAs (FPGA 0's first)
//   1136  4      size of the largest image
//   1140  ...    the images, one after another in the same order
//
// The installed set holds, for each FPGA, one image per standard it serves;
// FPGA 3 has a plain image and one that drives the DVE module, plain first,
// so a board without the module is configured by the first combination and
// one with it by a later one the loader's search finds.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace fpgaimages {

inline constexpr uint32_t kHeaderBytes = 1140;
inline constexpr uint32_t kMaxImagesPerFpga = 16;
inline constexpr uint32_t kMaxImageBytes = 0x100000;
inline constexpr uint32_t kFpgaCount = 4;

// Ways to spoil an image, for tests of the FPGAs and of the loader's search.
enum class Fault {
    None,
    BadMagic,       // the first bytes are not the image magic
    WrongDevice,    // built for another FPGA
    WrongRevision,  // built for the other board revision
    WrongStandard,  // built for the other standard
    BadCrc,         // one payload byte changed after the CRC was taken
    Truncated,      // the last quarter of the image is missing
};

struct ImageSpec {
    int device = 0;          // FPGA 0..3
    int boardRevision = 3;
    int standard = 525;      // 525, 625, or 0 for either
    bool dve = false;        // drives the DVE module (FPGA 3)
    uint32_t designId = 0;   // 0: derived from the other fields
    uint32_t payloadBytes = 512;
    Fault fault = Fault::None;
};

// One FPGA image (header, payload, CRC) as the FPGA takes it.
std::vector<uint8_t> BuildImage(const ImageSpec& spec);

// An image file's contents. Write serialises whatever it is given (a test
// may build a file the loader must refuse); Read checks what the loader
// checks.
struct ImageFile {
    uint32_t versionA = 0;
    uint32_t versionB = 0;
    uint32_t standard = 0;
    uint32_t fpgaCount = kFpgaCount;
    std::array<std::vector<std::vector<uint8_t>>, kFpgaCount> images;
    // Overrides the largest-image field when non-zero (to build bad headers).
    uint32_t largestOverride = 0;

    uint32_t ImageCount() const;
    // The global number of FPGA f's image i.
    uint32_t GlobalIndex(int fpga, uint32_t image) const;
};

std::vector<uint8_t> WriteImageFile(const ImageFile& file);
// Parses 'bytes' as the loader reads it; false with a reason when the
// loader would refuse the header.
bool ReadImageFile(const std::vector<uint8_t>& bytes, ImageFile* out, std::string* error);

// "Zar10kr<rev>.mbf".
std::string ImageFileName(int boardRevision);

// The installed set for a board revision; standard 525 or 625, or 0 for a
// file with images of both standards (its standard field 0).
ImageFile StandardImageSet(int boardRevision, int standard = 0);
// The same set with spoiled images in front of the good ones in every FPGA's
// list: a loader search must step over them.
ImageFile DecoyImageSet(int boardRevision, int standard = 0);

// Version words of the generated sets.
inline constexpr uint32_t kVersionA = 0x00030001;
inline constexpr uint32_t kVersionB = 0x20000101;

// Writes Zar10kr2.mbf and Zar10kr3.mbf (the standard set) into 'driversDir'
// (created when missing). False with a reason on failure. WhereMissing
// leaves a file that is there alone, whatever it holds: it may be the
// user's own, and a damaged one is for the loader to refuse.
enum class Install { Replace, WhereMissing };
bool InstallImageFiles(const std::filesystem::path& driversDir, int standard, std::string* error,
                       Install how = Install::Replace);

}  // namespace fpgaimages
