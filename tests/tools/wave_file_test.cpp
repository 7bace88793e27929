// The WAVE writer: the header fields ordinary tools read, the samples back
// bit for bit, and the files it must refuse to read.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "tests/support/temp_folder.h"
#include "tools/wave_file.h"

namespace {

TEST(WaveFile, WritesAHeaderToolsReadAndTheSamplesBackExactly)
{
    TempFolder folder;
    std::string path = folder.Path().string() + "/tone.wav";
    const int16_t samples[] = {0, -1, 32767, -32768, 1234, -4321};
    std::string error;
    ASSERT_TRUE(wavefile::Write(path, samples, 3, 2, 48000, &error)) << error;
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), {});
    ASSERT_EQ(b.size(), 44u + sizeof(samples));
    auto u32 = [&](size_t at) { return uint32_t(b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24); };
    auto u16 = [&](size_t at) { return uint16_t(b[at] | b[at + 1] << 8); };
    struct Field {
        const char* what;
        size_t at;
        uint32_t value;
        int bytes;
    } fields[] = {
        {"RIFF size", 4, 36 + sizeof(samples), 4}, {"fmt size", 16, 16, 4},       {"PCM", 20, 1, 2},
        {"channels", 22, 2, 2},                     {"rate", 24, 48000, 4},        {"bytes a second", 28, 192000, 4},
        {"block align", 32, 4, 2},                  {"bits", 34, 16, 2},           {"data size", 40, sizeof(samples), 4},
    };
    EXPECT_EQ(std::memcmp(b.data(), "RIFF", 4), 0);
    EXPECT_EQ(std::memcmp(b.data() + 8, "WAVEfmt ", 8), 0);
    EXPECT_EQ(std::memcmp(b.data() + 36, "data", 4), 0);
    for (const Field& f : fields) EXPECT_EQ(f.bytes == 4 ? u32(f.at) : u16(f.at), f.value) << f.what;
    wavefile::Contents c;
    ASSERT_TRUE(wavefile::Read(path, &c, &error)) << error;
    EXPECT_EQ(c.channels, 2);
    EXPECT_EQ(c.rate, 48000u);
    ASSERT_EQ(c.samples.size(), 6u);
    EXPECT_EQ(std::memcmp(c.samples.data(), samples, sizeof(samples)), 0);
}

TEST(WaveFile, RefusesFilesItCannotWriteOrRead)
{
    TempFolder folder;
    std::string error;
    int16_t s = 0;
    EXPECT_FALSE(wavefile::Write(folder.Path().string() + "/no/such/folder.wav", &s, 1, 1, 48000, &error));
    EXPECT_FALSE(wavefile::Write(folder.Path().string() + "/x.wav", &s, 1, 0, 48000, &error));
    struct Bad {
        const char* what;
        std::string bytes;
    } bads[] = {
        {"empty", ""},
        {"not RIFF", std::string("RIFX\0\0\0\0WAVE", 12)},
        {"a chunk past the end", std::string("RIFF\0\0\0\0WAVEfmt \xFF\0\0\0", 20)},
        {"no data", std::string("RIFF\0\0\0\0WAVEfmt \x10\0\0\0\1\0\1\0\x80\xBB\0\0\0\x77\1\0\2\0\x10\0", 36)},
        {"8-bit", std::string("RIFF\0\0\0\0WAVEfmt \x10\0\0\0\1\0\1\0\x80\xBB\0\0\0\x77\1\0\1\0\x08\0", 36)},
    };
    for (const Bad& bad : bads) {
        std::string path = folder.Path().string() + "/bad.wav";
        std::ofstream(path, std::ios::binary) << bad.bytes;
        wavefile::Contents c;
        EXPECT_FALSE(wavefile::Read(path, &c, &error)) << bad.what;
        EXPECT_FALSE(error.empty()) << bad.what;
    }
}

}  // namespace
