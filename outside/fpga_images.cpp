#include "outside/fpga_images.h"

#include <cstring>
#include <fstream>
#include <system_error>

#include "sim/fpga.h"

namespace fpgaimages {

namespace {

constexpr char kFileText[] = "Copy of the Solvane test images";
static_assert(sizeof(kFileText) <= 32);
constexpr uint32_t kOffVersionA = 32;
constexpr uint32_t kOffVersionB = 36;
constexpr uint32_t kOffStandard = 40;
constexpr uint32_t kOffFpgaCount = 44;
constexpr uint32_t kOffCounts = 48;
constexpr uint32_t kOffSizes = 112;
constexpr uint32_t kOffLargest = 1136;
constexpr uint32_t kMaxSizeEntries = (kOffLargest - kOffSizes) / 4;

void Put32(std::vector<uint8_t>& b, uint32_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}
uint32_t Get32(const std::vector<uint8_t>& b, uint32_t at)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t(b[at + i]) << (8 * i);
    return v;
}

int OtherStandard(int standard) { return standard == 625 ? 525 : 625; }

// The standards an image set serves.
std::vector<int> StandardsOf(int standard)
{
    if (standard == 525 || standard == 625) return {standard};
    return {525, 625};
}

}  // namespace

std::vector<uint8_t> BuildImage(const ImageSpec& spec)
{
    sim::fpga::ImageHeader h;
    h.device = uint8_t(spec.device);
    h.boardRevision = uint8_t(spec.boardRevision);
    h.standard = uint16_t(spec.standard);
    h.flags = spec.dve ? sim::fpga::kFlagDve : 0;
    h.payloadLength = spec.payloadBytes;
    h.designId = spec.designId ? spec.designId
                               : (uint32_t(spec.device) << 28) | (uint32_t(spec.boardRevision) << 24) |
                                     (uint32_t(spec.standard) << 8) | (spec.dve ? 1u : 0u);
    switch (spec.fault) {
    case Fault::BadMagic: h.magic ^= 0xFF000000u; break;
    case Fault::WrongDevice: h.device = uint8_t((spec.device + 1) % 4); break;
    case Fault::WrongRevision: h.boardRevision = uint8_t(spec.boardRevision == 2 ? 3 : 2); break;
    case Fault::WrongStandard: h.standard = uint16_t(OtherStandard(spec.standard)); break;
    default: break;
    }

    // The payload stands for the logic: deterministic noise from the design id.
    std::vector<uint8_t> payload(spec.payloadBytes);
    uint32_t x = h.designId * 2654435761u + 1;
    for (uint8_t& b : payload) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = uint8_t(x);
    }
    h.crc = sim::fpga::ImageCrc(h, payload.data(), payload.size());
    if (spec.fault == Fault::BadCrc) {
        if (payload.empty()) h.crc ^= 1;
        else payload[payload.size() / 2] ^= 0x10;
    }

    std::vector<uint8_t> image(sizeof h + payload.size());
    std::memcpy(image.data(), &h, sizeof h);
    std::memcpy(image.data() + sizeof h, payload.data(), payload.size());
    if (spec.fault == Fault::Truncated) image.resize(image.size() * 3 / 4);
    return image;
}

uint32_t ImageFile::ImageCount() const
{
    uint32_t n = 0;
    for (const auto& list : images) n += uint32_t(list.size());
    return n;
}

uint32_t ImageFile::GlobalIndex(int fpga, uint32_t image) const
{
    uint32_t n = 0;
    for (int f = 0; f < fpga; ++f) n += uint32_t(images[f].size());
    return n + image;
}

std::vector<uint8_t> WriteImageFile(const ImageFile& file)
{
    std::vector<uint8_t> out(kHeaderBytes, 0);
    std::memcpy(out.data(), kFileText, sizeof kFileText);
    Put32(out, kOffVersionA, file.versionA);
    Put32(out, kOffVersionB, file.versionB);
    Put32(out, kOffStandard, file.standard);
    Put32(out, kOffFpgaCount, file.fpgaCount);
    uint32_t index = 0, largest = 0;
    for (uint32_t f = 0; f < kFpgaCount; ++f) {
        Put32(out, kOffCounts + 4 * f, uint32_t(file.images[f].size()));
        for (const auto& image : file.images[f]) {
            if (index < kMaxSizeEntries) Put32(out, kOffSizes + 4 * index, uint32_t(image.size()));
            ++index;
            largest = std::max(largest, uint32_t(image.size()));
        }
    }
    Put32(out, kOffLargest, file.largestOverride ? file.largestOverride : largest);
    for (const auto& list : file.images)
        for (const auto& image : list) out.insert(out.end(), image.begin(), image.end());
    return out;
}

bool ReadImageFile(const std::vector<uint8_t>& bytes, ImageFile* out, std::string* error)
{
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    if (bytes.size() < kHeaderBytes) return fail("shorter than the header");
    if (std::memcmp(bytes.data(), "Copy", 4) != 0) return fail("no \"Copy\" at the start");
    ImageFile file;
    file.versionA = Get32(bytes, kOffVersionA);
    file.versionB = Get32(bytes, kOffVersionB);
    file.standard = Get32(bytes, kOffStandard);
    file.fpgaCount = Get32(bytes, kOffFpgaCount);
    if (file.fpgaCount != kFpgaCount) return fail("FPGA count " + std::to_string(file.fpgaCount));
    std::array<uint32_t, kFpgaCount> counts{};
    for (uint32_t f = 0; f < kFpgaCount; ++f) {
        counts[f] = Get32(bytes, kOffCounts + 4 * f);
        if (counts[f] > kMaxImagesPerFpga) return fail("FPGA " + std::to_string(f) + " has too many images");
    }
    uint32_t largest = Get32(bytes, kOffLargest);
    if (largest > kMaxImageBytes) return fail("largest image too big");
    size_t at = kHeaderBytes;
    uint32_t index = 0;
    for (uint32_t f = 0; f < kFpgaCount; ++f) {
        for (uint32_t i = 0; i < counts[f]; ++i, ++index) {
            uint32_t size = Get32(bytes, kOffSizes + 4 * index);
            if (size > kMaxImageBytes) return fail("image " + std::to_string(index) + " too big");
            if (bytes.size() - at < size) return fail("file ends inside image " + std::to_string(index));
            file.images[f].emplace_back(bytes.begin() + at, bytes.begin() + at + size);
            at += size;
        }
    }
    file.largestOverride = largest;
    if (out) *out = std::move(file);
    return true;
}

std::string ImageFileName(int boardRevision) { return "Zar10kr" + std::to_string(boardRevision) + ".mbf"; }

ImageFile StandardImageSet(int boardRevision, int standard)
{
    ImageFile file;
    file.versionA = kVersionA;
    file.versionB = kVersionB;
    file.standard = uint32_t(standard == 525 || standard == 625 ? standard : 0);
    std::vector<int> standards = StandardsOf(standard);
    for (int f = 0; f < int(kFpgaCount); ++f) {
        for (bool dve : {false, true}) {
            if (dve && f != sim::fpga::kDveFpga) continue;
            for (int s : standards) {
                ImageSpec spec;
                spec.device = f;
                spec.boardRevision = boardRevision;
                spec.standard = s;
                spec.dve = dve;
                spec.payloadBytes = 384 + 64 * uint32_t(f);  // images of unequal length
                file.images[f].push_back(BuildImage(spec));
            }
        }
    }
    return file;
}

ImageFile DecoyImageSet(int boardRevision, int standard)
{
    ImageFile file = StandardImageSet(boardRevision, standard);
    const Fault decoys[kFpgaCount] = {Fault::BadCrc, Fault::WrongRevision, Fault::WrongDevice, Fault::Truncated};
    for (int f = 0; f < int(kFpgaCount); ++f) {
        ImageSpec spec;
        spec.device = f;
        spec.boardRevision = boardRevision;
        spec.standard = StandardsOf(standard).front();
        spec.dve = f == sim::fpga::kDveFpga;
        spec.fault = decoys[f];
        file.images[f].insert(file.images[f].begin(), BuildImage(spec));
    }
    return file;
}

bool InstallImageFiles(const std::filesystem::path& driversDir, int standard, std::string* error, Install how)
{
    std::error_code ec;
    std::filesystem::create_directories(driversDir, ec);
    if (ec) {
        if (error) *error = "cannot create " + driversDir.string() + ": " + ec.message();
        return false;
    }
    for (int revision : {2, 3}) {
        std::vector<uint8_t> bytes = WriteImageFile(StandardImageSet(revision, standard));
        std::filesystem::path path = driversDir / ImageFileName(revision);
        if (how == Install::WhereMissing) {
            const std::filesystem::file_status status = std::filesystem::symlink_status(path, ec);
            if (std::filesystem::exists(status)) continue;
            if (ec && ec != std::errc::no_such_file_or_directory) {
                if (error) *error = "cannot look at " + path.string() + ": " + ec.message();
                return false;
            }
        }
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        if (!out) {
            if (error) *error = "cannot write " + path.string();
            return false;
        }
    }
    return true;
}

}  // namespace fpgaimages
