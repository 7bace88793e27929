// The FPGA image file generator: the files parse back as the loader reads
// them, the header refusals the loader makes are seen, and the generated
// images configure the simulated FPGAs exactly where they should, also
// through a search over the images like the loader's.
#include "outside/fpga_images.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include <unistd.h>

#include "sim/board_regs.h"
#include "sim/fpga.h"
#include "sim/saa7146.h"

using namespace fpgaimages;

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t At32(const Bytes& b, size_t at)
{
    uint32_t v;
    std::memcpy(&v, &b[at], 4);
    return v;
}

// The four FPGAs of one board, fed as the loader feeds them.
struct Rig {
    sim::Saa7146 bridge;
    sim::BoardRegs regs{bridge};
    sim::Fpgas fpgas{bridge, regs};

    explicit Rig(sim::FpgaBoardConfig config)
    {
        fpgas.SetConfig(config);
        fpgas.Reset();
    }
    // Interleave (bit j of byte i to stream byte 8i + j, line d), send, 64 zeros.
    bool Load(const std::array<const Bytes*, 4>& images)
    {
        size_t longest = 0;
        for (const Bytes* b : images) longest = std::max(longest, b->size());
        Bytes stream(longest * 8 + 64, 0);
        for (int d = 0; d < 4; ++d)
            for (size_t i = 0; i < images[d]->size(); ++i)
                for (int j = 0; j < 8; ++j) stream[i * 8 + j] |= uint8_t((((*images[d])[i] >> j) & 1) << d);
        fpgas.SetProgramLine(false);
        fpgas.SetProgramLine(true);
        for (uint8_t b : stream) fpgas.Clock(b);
        return (bridge.Psr() & sim::saa7146::kPsrFpgasConfigured) != 0;
    }
    bool Dve() { return (regs.Read(0xBC00) & sim::fpga::kStatusDveAnswers) != 0; }

    // The loader's search: FPGA 0's choice steps fastest. Returns the first
    // combination that configures (and, with the DVE module, answers).
    bool Search(const ImageFile& file, std::array<uint32_t, 4>* choice, int* attempts)
    {
        std::array<uint32_t, 4> c{};
        *attempts = 0;
        for (;;) {
            ++*attempts;
            bool ok = Load({&file.images[0][c[0]], &file.images[1][c[1]], &file.images[2][c[2]], &file.images[3][c[3]]});
            if (ok && (Dve() || !fpgas.Config().dvePresent)) {
                *choice = c;
                return true;
            }
            int f = 0;
            while (f < 4 && ++c[f] == file.images[f].size()) c[f++] = 0;
            if (f == 4) return false;
        }
    }
};

}  // namespace

TEST(FpgaImageFile, LayoutAndRoundTrip)
{
    ImageFile set = StandardImageSet(3, 625);
    Bytes bytes = WriteImageFile(set);

    EXPECT_EQ(std::memcmp(bytes.data(), "Copy", 4), 0);
    EXPECT_EQ(At32(bytes, 32), kVersionA);
    EXPECT_EQ(At32(bytes, 36), kVersionB);
    EXPECT_EQ(At32(bytes, 40), 625u);
    EXPECT_EQ(At32(bytes, 44), 4u);
    uint32_t total = 0, largest = 0, index = 0;
    size_t at = kHeaderBytes;
    for (int f = 0; f < 4; ++f) {
        EXPECT_EQ(At32(bytes, 48 + 4 * f), set.images[f].size());
        for (const Bytes& image : set.images[f]) {
            EXPECT_EQ(At32(bytes, 112 + 4 * index++), image.size());
            EXPECT_EQ(std::memcmp(&bytes[at], image.data(), image.size()), 0);
            at += image.size();
            total += uint32_t(image.size());
            largest = std::max(largest, uint32_t(image.size()));
        }
    }
    EXPECT_EQ(At32(bytes, 1136), largest);
    EXPECT_EQ(bytes.size(), kHeaderBytes + total);

    ImageFile back;
    std::string error;
    ASSERT_TRUE(ReadImageFile(bytes, &back, &error)) << error;
    EXPECT_EQ(back.versionA, kVersionA);
    EXPECT_EQ(back.standard, 625u);
    EXPECT_EQ(back.images, set.images);
    // One image a standard for FPGAs 0-2, plain and DVE for FPGA 3.
    EXPECT_EQ(set.images[0].size(), 1u);
    EXPECT_EQ(set.images[3].size(), 2u);
    EXPECT_EQ(StandardImageSet(3, 0).images[3].size(), 4u);
    EXPECT_EQ(StandardImageSet(3, 0).standard, 0u);
}

TEST(FpgaImageFile, HeadersTheLoaderRefuses)
{
    struct Case {
        const char* what;
        void (*spoil)(Bytes&);
    };
    const Case cases[] = {
        {"no Copy", [](Bytes& b) { b[0] = 'c'; }},
        {"three FPGAs", [](Bytes& b) { b[44] = 3; }},
        {"17 images", [](Bytes& b) { b[48 + 8] = 17; }},
        {"an image of 0x100001 bytes", [](Bytes& b) { uint32_t n = 0x100001; std::memcpy(&b[112], &n, 4); }},
        {"largest field too big", [](Bytes& b) { uint32_t n = 0x100001; std::memcpy(&b[1136], &n, 4); }},
        {"file ends inside an image", [](Bytes& b) { b.resize(b.size() - 1); }},
        {"header cut", [](Bytes& b) { b.resize(1000); }},
    };
    const Bytes good = WriteImageFile(StandardImageSet(2, 525));
    ASSERT_TRUE(ReadImageFile(good, nullptr, nullptr));
    for (const Case& c : cases) {
        Bytes b = good;
        c.spoil(b);
        std::string error;
        EXPECT_FALSE(ReadImageFile(b, nullptr, &error)) << c.what;
        EXPECT_FALSE(error.empty()) << c.what;
    }
}

TEST(FpgaImageFile, StandardSetsConfigureTheirBoardsOnly)
{
    for (int revision : {2, 3})
        for (int standard : {525, 625})
            for (bool dve : {false, true}) {
                SCOPED_TRACE(testing::Message() << "rev " << revision << " " << standard << " dve " << dve);
                ImageFile file = StandardImageSet(revision, standard);
                Rig rig({revision, standard, dve});
                EXPECT_TRUE(rig.Load({&file.images[0][0], &file.images[1][0], &file.images[2][0], &file.images[3][0]}));
                EXPECT_FALSE(rig.Dve());
                EXPECT_TRUE(rig.Load({&file.images[0][0], &file.images[1][0], &file.images[2][0], &file.images[3][1]}));
                EXPECT_EQ(rig.Dve(), dve);

                // The other revision's file, and the other standard's, do not.
                ImageFile other = StandardImageSet(revision == 2 ? 3 : 2, standard);
                EXPECT_FALSE(rig.Load({&other.images[0][0], &other.images[1][0], &other.images[2][0], &other.images[3][0]}));
                ImageFile wrong = StandardImageSet(revision, standard == 525 ? 625 : 525);
                EXPECT_FALSE(rig.Load({&wrong.images[0][0], &wrong.images[1][0], &wrong.images[2][0], &wrong.images[3][0]}));
            }
}

TEST(FpgaImageFile, SearchOverTheInstalledAndDecoySets)
{
    struct Case {
        const char* what;
        ImageFile file;
        sim::FpgaBoardConfig board;
        std::array<uint32_t, 4> choice;
        int attempts;
    };
    // Both-standard files list each FPGA's 525 image before its 625 one, and
    // FPGA 3's plain images before its DVE images.
    const Case cases[] = {
        {"both standards, 525, no DVE", StandardImageSet(3, 0), {3, 525, false}, {0, 0, 0, 0}, 1},
        {"both standards, 625, no DVE", StandardImageSet(3, 0), {3, 625, false}, {1, 1, 1, 1}, 16},
        {"both standards, 625, DVE", StandardImageSet(3, 0), {3, 625, true}, {1, 1, 1, 3}, 32},
        {"decoys, 525, no DVE", DecoyImageSet(2, 525), {2, 525, false}, {1, 1, 1, 1}, 1 + 1 + 2 + 4 + 8},
        {"decoys, 525, DVE", DecoyImageSet(2, 525), {2, 525, true}, {1, 1, 1, 2}, 1 + 1 + 2 + 4 + 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Rig rig(c.board);
        std::array<uint32_t, 4> choice{};
        int attempts = 0;
        ASSERT_TRUE(rig.Search(c.file, &choice, &attempts));
        EXPECT_EQ(choice, c.choice);
        EXPECT_EQ(attempts, c.attempts);
    }
    // Nothing in the other revision's decoy set configures a board.
    Rig rig({3, 525, false});
    std::array<uint32_t, 4> choice{};
    int attempts = 0;
    EXPECT_FALSE(rig.Search(DecoyImageSet(2, 525), &choice, &attempts));
    EXPECT_EQ(attempts, 2 * 2 * 2 * 3);
}

TEST(FpgaImageFile, SpoiledImagesAreRefusedForTheirOwnReason)
{
    struct Case {
        Fault fault;
        sim::Fpgas::State state;
        const char* reason;
    };
    const Case cases[] = {
        {Fault::None, sim::Fpgas::State::Running, ""},
        {Fault::BadMagic, sim::Fpgas::State::Error, "magic"},
        {Fault::WrongDevice, sim::Fpgas::State::Error, "FPGA"},
        {Fault::WrongRevision, sim::Fpgas::State::Error, "revision"},
        {Fault::WrongStandard, sim::Fpgas::State::Error, "lines"},
        {Fault::BadCrc, sim::Fpgas::State::Error, "CRC"},
        {Fault::Truncated, sim::Fpgas::State::Waiting, ""},
    };
    ImageFile good = StandardImageSet(3, 525);
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.fault));
        ImageSpec spec;
        spec.device = 3;  // the longest of the set, so the tail does not pad it
        spec.payloadBytes = 2048;
        spec.fault = c.fault;
        Bytes spoiled = BuildImage(spec);
        Rig rig({3, 525, false});
        rig.Load({&good.images[0][0], &good.images[1][0], &good.images[2][0], &spoiled});
        EXPECT_EQ(rig.fpgas.StateOf(3), c.state);
        EXPECT_NE(rig.fpgas.ErrorOf(3).find(c.reason), std::string::npos) << rig.fpgas.ErrorOf(3);
    }
}

TEST(FpgaImageFile, InstallWritesBothRevisions)
{
    std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                ("zar_fpga_" + std::to_string(::getpid())) / "system32" / "drivers";
    std::string error;
    ASSERT_TRUE(InstallImageFiles(dir, 0, &error)) << error;
    for (int revision : {2, 3}) {
        std::ifstream in(dir / ImageFileName(revision), std::ios::binary);
        ASSERT_TRUE(in) << revision;
        Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ImageFile file;
        ASSERT_TRUE(ReadImageFile(bytes, &file, &error)) << error;
        EXPECT_EQ(file.images, StandardImageSet(revision, 0).images);
    }
    EXPECT_EQ(ImageFileName(2), "Zar10kr2.mbf");
    std::filesystem::remove_all(dir.parent_path().parent_path());
}
