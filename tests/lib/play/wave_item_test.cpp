// The wave record item writing WAVE files and shared-memory wave rings on a
// machine: its header, the sample conversion, the refusals, and that it
// removes only what it made.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "include/zarply.h"
#include "lib/play/zar_wave_item.h"
#include "tests/platform/win32/w32_machine.h"

namespace {

// Board sample frames: left = k * 256 + 1, right = -(k * 256) - 2, k = frame index.
std::vector<uint8_t> BoardFrames(uint32_t frames)
{
    std::vector<uint8_t> out(size_t(frames) * 4);
    for (uint32_t k = 0; k < frames; ++k) {
        const int16_t left = int16_t(k * 256 + 1), right = int16_t(-int32_t(k * 256) - 2);
        std::memcpy(&out[k * 4], &left, 2);
        std::memcpy(&out[k * 4 + 2], &right, 2);
    }
    return out;
}

std::string HostPath(const char* name) { return nt::Machine::Folder() + "/drives/C/" + name; }

std::vector<uint8_t> HostFile(const char* name)
{
    std::ifstream in(HostPath(name), std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

ZAR_WAVE_CREATE FileRequest(const char* name, uint32_t rate, uint32_t channelCode, uint32_t eightBit,
                            uint32_t samples = 0, uint32_t flags = ZAR_WAVE_CREATE_ALWAYS)
{
    ZAR_WAVE_CREATE r{};
    r.mode = ZAR_WAVE_MODE_FILE;
    r.path = std::string("C:\\") + name;
    r.rate = rate;
    r.channelCode = channelCode;
    r.eightBit = eightBit;
    r.samples = samples;
    r.flags = flags;
    return r;
}

}  // namespace

TEST(WaveItem, AFileStartsWithTheFortyFourByteHeader)
{
    std::vector<uint8_t> file;
    {
        CWaveItem item;
        ASSERT_EQ(item.Create(FileRequest("golden.wav", 16000, ZAR_WAVE_STEREO, 0, 100)), 0);
        file = HostFile("golden.wav");
    }
    ASSERT_EQ(file.size(), 444u);  // sized to the planned length at once
    const uint8_t golden[44] = {'R', 'I', 'F', 'F', 0xB4, 0x01, 0, 0,  'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
                                16,  0,   0,   0,   1,    0,    2, 0,  0x80, 0x3E, 0, 0, 0x00, 0xFA, 0, 0,
                                4,   0,   16,  0,   'd',  'a',  't', 'a', 0x90, 0x01, 0, 0};
    EXPECT_EQ(std::memcmp(file.data(), golden, 44), 0);
    // Nothing was written: the item's own file goes.
    EXPECT_FALSE(std::filesystem::exists(HostPath("golden.wav")));
}

TEST(WaveItem, SamplesAreDecimatedAndReducedAsAsked)
{
    struct Case {
        const char* what;
        uint32_t rate, channelCode, eightBit, boardRate;
        int32_t prepared;
        std::vector<uint8_t> expected;  // the data of the first frames written
    };
    const Case cases[] = {
        {"48 kHz into 16 kHz keeps every third frame, stereo", 16000, ZAR_WAVE_STEREO, 0, 48000, 0,
         {0x01, 0x00, 0xFE, 0xFF, 0x01, 0x03, 0xFE, 0xFC, 0x01, 0x06, 0xFE, 0xF9}},
        {"mono left 16-bit", 48000, ZAR_WAVE_MONO_LEFT, 0, 48000, 0, {0x01, 0x00, 0x01, 0x01, 0x01, 0x02}},
        {"mono right 8-bit: the high byte plus 128", 48000, ZAR_WAVE_MONO_RIGHT, 1, 48000, 0,
         {0x7F, 0x7E, 0x7D, 0x7C}},
        {"stereo 8-bit", 24000, ZAR_WAVE_STEREO, 1, 48000, 0, {0x80, 0x7F, 0x82, 0x7D}},
        {"44.1 kHz does not divide 48 kHz", 44100, ZAR_WAVE_STEREO, 0, 48000, ZAR_E_SAMPLE_RATE, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        {
            CWaveItem item;
            ASSERT_EQ(item.Create(FileRequest("cases.wav", c.rate, c.channelCode, c.eightBit)), 0);
            ASSERT_EQ(item.PrepareForRecord(c.boardRate), c.prepared);
            if (c.prepared != 0) continue;
            const std::vector<uint8_t> board = BoardFrames(12);
            ASSERT_EQ(item.Write(board.data(), uint32_t(board.size())), 0);
            ASSERT_EQ(item.Finish(), 0);
        }
        const std::vector<uint8_t> file = HostFile("cases.wav");
        ASSERT_GE(file.size(), 44 + c.expected.size());
        EXPECT_EQ(std::vector<uint8_t>(file.begin() + 44, file.begin() + 44 + long(c.expected.size())), c.expected);
        uint32_t dataSize = 0;
        std::memcpy(&dataSize, &file[40], 4);
        EXPECT_EQ(dataSize, file.size() - 44);
    }
}

TEST(WaveItem, OneCallsWholeOutputIsWrittenAtRatioOne)
{
    // 8,192 board frames (32,768 bytes) into 16-bit mono: 16,384 bytes out.
    {
        CWaveItem item;
        ASSERT_EQ(item.Create(FileRequest("mono.wav", 48000, ZAR_WAVE_MONO_LEFT, 0)), 0);
        ASSERT_EQ(item.PrepareForRecord(48000), 0);
        const std::vector<uint8_t> board = BoardFrames(8192);
        ASSERT_EQ(item.Write(board.data(), uint32_t(board.size())), 0);
        ASSERT_EQ(item.Write(board.data(), uint32_t(board.size())), 0);
        ASSERT_EQ(item.Finish(), 0);
    }
    const std::vector<uint8_t> file = HostFile("mono.wav");
    ASSERT_EQ(file.size(), 44u + 2 * 16384);
    for (uint32_t k = 0; k < 2 * 8192; ++k) {
        int16_t v;
        std::memcpy(&v, &file[44 + 2 * k], 2);
        ASSERT_EQ(v, int16_t((k % 8192) * 256 + 1)) << k;
    }
}

TEST(WaveItem, TheFileOpensInAnOutsideWaveReader)
{
    if (std::system("python3 -c 'import wave' >/dev/null 2>&1") != 0) GTEST_SKIP() << "no python3 with wave";
    {
        CWaveItem item;
        ASSERT_EQ(item.Create(FileRequest("outside.wav", 16000, ZAR_WAVE_STEREO, 0, 4000)), 0);
        ASSERT_EQ(item.PrepareForRecord(48000), 0);
        const std::vector<uint8_t> board = BoardFrames(3 * 1000);
        ASSERT_EQ(item.Write(board.data(), uint32_t(board.size())), 0);
        ASSERT_EQ(item.Finish(), 0);
    }
    const std::string script = "python3 -c \"import wave,sys; w=wave.open(sys.argv[1]); "
                               "sys.exit(0 if (w.getnchannels(),w.getframerate(),w.getsampwidth(),w.getnframes())"
                               "==(2,16000,2,1000) else 1)\" '" +
                               HostPath("outside.wav") + "'";
    EXPECT_EQ(std::system(script.c_str()), 0);
}

TEST(WaveItem, AFileOpenedToAppendToIsNeverCutOrDeleted)
{
    {
        std::ofstream out(HostPath("existing.wav"), std::ios::binary);
        std::vector<uint8_t> old(44 + 400, 0x33);
        out.write(reinterpret_cast<const char*>(old.data()), std::streamsize(old.size()));
    }
    {
        // Opened to append with a planned length, nothing written.
        CWaveItem item;
        ASSERT_EQ(item.Create(FileRequest("existing.wav", 48000, ZAR_WAVE_STEREO, 0, 1000, ZAR_WAVE_OPEN_EXISTING)),
                  0);
        ASSERT_EQ(item.PrepareForRecord(48000), 0);
    }
    EXPECT_EQ(HostFile("existing.wav").size(), 444u);
    {
        CWaveItem item;
        ASSERT_EQ(item.Create(FileRequest("existing.wav", 48000, ZAR_WAVE_STEREO, 0, 0, ZAR_WAVE_OPEN_EXISTING)), 0);
        ASSERT_EQ(item.PrepareForRecord(48000), 0);
        const std::vector<uint8_t> board = BoardFrames(25);
        ASSERT_EQ(item.Write(board.data(), uint32_t(board.size())), 0);
        ASSERT_EQ(item.Finish(), 0);
    }
    const std::vector<uint8_t> file = HostFile("existing.wav");
    ASSERT_EQ(file.size(), 544u);
    EXPECT_EQ(file[44], 0x33);  // what was there stays
    uint32_t dataSize = 0;
    std::memcpy(&dataSize, &file[40], 4);
    EXPECT_EQ(dataSize, 500u);
}

TEST(WaveItem, ASectionRingWrapsAndTellsWhereTheWriterIs)
{
    ZAR_WAVE_CREATE r{};
    r.mode = ZAR_WAVE_MODE_SECTION;
    r.rate = 48000;
    r.channelCode = ZAR_WAVE_STEREO;
    r.sectionName = "WaveRingTest";
    r.samples = 10;
    CWaveItem item;
    ASSERT_EQ(item.Create(r), 0);
    ASSERT_EQ(item.PrepareForRecord(48000, 0, 10, 0), 0);
    EXPECT_EQ(item.PrepareForRecord(48000, 0, 11, 0), ZAR_E_DRIVER);
    const std::vector<uint8_t> board = BoardFrames(14);
    ASSERT_EQ(item.Write(board.data(), uint32_t(board.size())), 0);

    HANDLE other = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, "WaveRingTest");
    ASSERT_NE(other, nullptr);
    auto* view = static_cast<uint8_t*>(MapViewOfFile(other, FILE_MAP_ALL_ACCESS, 0, 0, 84 + 40));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(std::memcmp(view + 36, "mrec", 4), 0);
    EXPECT_EQ(std::memcmp(view + 76, "data", 4), 0);
    uint32_t ring = 0;
    std::memcpy(&ring, view + 80, 4);
    EXPECT_EQ(ring, 40u);
    int64_t position = 0;
    std::memcpy(&position, view + kWaveLivePositionOffset, 8);
    EXPECT_EQ(position, 14);
    // Frames 10-13 wrapped onto the ring's first four places; 4-9 stay.
    EXPECT_EQ(std::memcmp(view + 84, &board[40], 16), 0);
    EXPECT_EQ(std::memcmp(view + 84 + 16, &board[16], 24), 0);
    UnmapViewOfFile(view);
    CloseHandle(other);
}

TEST(WaveItem, ASectionNameInUseIsRefusedAndLeftAsItWas)
{
    HANDLE taken = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, "WaveTaken");
    ASSERT_NE(taken, nullptr);
    auto* view = static_cast<uint8_t*>(MapViewOfFile(taken, FILE_MAP_ALL_ACCESS, 0, 0, 4096));
    ASSERT_NE(view, nullptr);
    std::memset(view, 0x5A, 4096);
    {
        std::ofstream out(HostPath("backing-old.bin"), std::ios::binary);
        out << "kept";
    }
    struct Case {
        const char* what;
        const char* backing;
        uint32_t flags;
        bool backingRemains;
    } cases[] = {
        {"in the page file", "", 0, false},
        {"over a backing file it made", "backing-new.bin", ZAR_WAVE_CREATE_ALWAYS, false},
        {"over a backing file that was there", "backing-old.bin", ZAR_WAVE_OPEN_EXISTING, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ZAR_WAVE_CREATE r{};
        r.mode = ZAR_WAVE_MODE_SECTION;
        r.rate = 48000;
        r.sectionName = "WaveTaken";
        r.samples = 100;
        r.flags = c.flags;
        if (*c.backing) r.path = std::string("C:\\") + c.backing;
        CWaveItem item;
        EXPECT_EQ(item.Create(r), ZAR_E_CLIP_EXISTS);
        if (*c.backing) {
            EXPECT_EQ(std::filesystem::exists(HostPath(c.backing)), c.backingRemains);
        }
    }
    for (int k = 0; k < 4096; ++k) ASSERT_EQ(view[k], 0x5A) << k;
    UnmapViewOfFile(view);
    CloseHandle(taken);
}

TEST(WaveItem, MissingPathsAndLengthsAreRefused)
{
    CWaveItem file;
    ZAR_WAVE_CREATE r = FileRequest("", 48000, 0, 0);
    r.path.clear();
    EXPECT_EQ(file.Create(r), ZAR_E_BAD_ARGUMENT);
    CWaveItem section;
    ZAR_WAVE_CREATE s{};
    s.mode = ZAR_WAVE_MODE_SECTION;
    s.rate = 48000;
    s.sectionName = "WaveNoLength";
    EXPECT_EQ(section.Create(s), ZAR_E_BAD_ARGUMENT);
    CWaveItem huge;
    EXPECT_EQ(huge.Create(FileRequest("huge.wav", 48000, 0, 0, 0x40000000)), ZAR_E_DRIVER);
}
