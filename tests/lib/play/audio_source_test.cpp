// The audio sources: WAVE and AVI files, tones, application callbacks and
// shared-memory WAVE rings, read through the base's speed, fades and
// sample range; and the frame times their in and out points are kept in.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "lib/play/zar_audio_obj_avi.h"
#include "lib/play/zar_audio_obj_mem_file.h"
#include "lib/play/zar_audio_obj_tone.h"
#include "lib/play/zar_audio_obj_user.h"
#include "lib/play/zar_audio_obj_wav.h"
#include "lib/play/zar_frame_time.h"
#include "tests/platform/win32/w32_machine.h"

namespace {

void Put16(std::vector<uint8_t>& b, uint32_t v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)}); }
void Put32(std::vector<uint8_t>& b, uint32_t v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}); }
void PutId(std::vector<uint8_t>& b, const char* id)
{
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(id[i]));
}
void Patch32(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

struct WaveSpec {
    uint16_t tag = 1, channels = 1;
    uint32_t rate = 48000;
    uint16_t bits = 16;
    uint32_t fmtBytes = 16;
    std::vector<uint8_t> data;
};

std::vector<uint8_t> Fmt(const WaveSpec& w)
{
    std::vector<uint8_t> f;
    Put16(f, w.tag);
    Put16(f, w.channels);
    Put32(f, w.rate);
    Put32(f, w.rate * w.channels * w.bits / 8);
    Put16(f, uint16_t(w.channels * w.bits / 8));
    Put16(f, w.bits);
    f.resize(w.fmtBytes);
    return f;
}

std::vector<uint8_t> WaveImage(const WaveSpec& w)
{
    std::vector<uint8_t> b;
    PutId(b, "RIFF");
    Put32(b, 0);
    PutId(b, "WAVE");
    const std::vector<uint8_t> fmt = Fmt(w);
    PutId(b, "fmt ");
    Put32(b, uint32_t(fmt.size()));
    b.insert(b.end(), fmt.begin(), fmt.end());
    PutId(b, "data");
    Put32(b, uint32_t(w.data.size()));
    b.insert(b.end(), w.data.begin(), w.data.end());
    if (w.data.size() & 1) b.push_back(0);
    Patch32(b, 4, uint32_t(b.size() - 8));
    return b;
}

std::vector<uint8_t> Samples16(std::initializer_list<int16_t> values)
{
    std::vector<uint8_t> b;
    for (int16_t v : values) Put16(b, uint16_t(v));
    return b;
}

void WriteFileBytes(const char* path, const std::vector<uint8_t>& bytes)
{
    HANDLE f = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(f, bytes.data(), DWORD(bytes.size()), &written, nullptr));
    CloseHandle(f);
}


// A source of constant samples through the application's callbacks.
int16_t g_constant = 1000;
uint32_t g_userFrames = 48000;
uint32_t g_closed = 0;
uint32_t UserOpen(uint32_t, uint32_t* rate, uint32_t* bits, uint32_t* channels, uint32_t* bytes)
{
    *rate = 48000;
    *bits = 16;
    *channels = 1;
    *bytes = g_userFrames * 2;
    return 1;
}
uint32_t UserRead(uint32_t, void* buffer, uint32_t, uint32_t bytes)
{
    auto* s = static_cast<int16_t*>(buffer);
    for (uint32_t i = 0; i < bytes / 2; ++i) s[i] = g_constant;
    return 1;
}
void UserClose(uint32_t) { ++g_closed; }

CAudioUserClipParams ConstantSource() { return CAudioUserClipParams{7, UserOpen, UserRead, UserClose, true}; }

class AudioSource : public ::testing::Test {
protected:
    void SetUp() override { CreateDirectoryA("C:\\audio", nullptr); }
};

}  // namespace

TEST(FrameTime, FieldsSplitIntoWholeFramesAndAHalfAndComeBack)
{
    CFrameTime t = CFrameTime::FromField(7);
    EXPECT_EQ(t.Whole(), 3u);
    EXPECT_EQ(t.Fraction(), 32768u);
    EXPECT_DOUBLE_EQ(t.AsDouble(), 3.5);
    EXPECT_EQ(CFrameTime::FromDouble(3.5).AsField(), 7u);
    EXPECT_EQ(CFrameTime::FromDouble(3.49).AsField(), 6u);
    // The half unit added before splitting keeps a value that was fixed.
    CFrameTime fixed = CFrameTime::FromFixed(10, 12345);
    EXPECT_EQ(CFrameTime::FromDouble(fixed.AsDouble()).Fraction(), 12345u);
    // Sample 0.5 rounds: field 7 at 29.97 frames and 48 kHz.
    EXPECT_EQ(CFrameTime::FromField(7).ToSamples(30000.0 / 1001, 48000, 0.5), 5606);
    EXPECT_TRUE(CFrameTime().IsZero());
    EXPECT_FALSE(CFrameTime::FromDouble(std::nan("")).IsZero());
    EXPECT_FALSE(CFrameTime::FromField(1).IsZero());
}

TEST_F(AudioSource, AWaveFileOutsideTheFormatsThatPlayIsRefused)
{
    struct Case {
        const char* what;
        WaveSpec spec;
        int32_t expected;
    } cases[] = {
        {"16-bit mono", {1, 1, 48000, 16, 16, Samples16({1, 2})}, 0},
        {"8-bit stereo at 1000", {1, 2, 1000, 8, 16, {1, 2}}, 0},
        {"rate 384000 with a long fmt", {1, 1, 384000, 16, 18, Samples16({1})}, 0},
        {"3 channels", {1, 3, 48000, 16, 16, Samples16({1, 2, 3})}, ZAR_E_AUDIO_FORMAT},
        {"24 bits", {1, 1, 48000, 24, 16, {1, 2, 3}}, ZAR_E_AUDIO_FORMAT},
        {"rate 999", {1, 1, 999, 16, 16, Samples16({1})}, ZAR_E_AUDIO_FORMAT},
        {"rate 384001", {1, 1, 384001, 16, 16, Samples16({1})}, ZAR_E_AUDIO_FORMAT},
        {"empty data", {1, 1, 48000, 16, 16, {}}, ZAR_E_AUDIO_FORMAT},
        {"less than a frame", {1, 2, 48000, 16, 16, {1, 2}}, ZAR_E_AUDIO_FORMAT},
        {"not PCM", {3, 1, 48000, 16, 16, Samples16({1})}, ZAR_E_AUDIO_FORMAT},
        {"short fmt", {1, 1, 48000, 16, 14, Samples16({1})}, ZAR_E_AUDIO_FORMAT},
    };
    for (const Case& c : cases) {
        WriteFileBytes("C:\\audio\\case.wav", WaveImage(c.spec));
        CAudioObjWav wav(u"C:\\audio\\case.wav");
        EXPECT_EQ(wav.Prepare(29.97), c.expected) << c.what;
        EXPECT_EQ(wav.IsOpen(), c.expected == 0) << c.what;
    }
    // Not a WAVE file, no file, a data chunk longer than the file.
    WriteFileBytes("C:\\audio\\text.wav", {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '!'});
    EXPECT_EQ(CAudioObjWav(u"C:\\audio\\text.wav").Prepare(29.97), ZAR_E_AUDIO_OPEN);
    EXPECT_EQ(CAudioObjWav(u"C:\\audio\\none.wav").Prepare(29.97), ZAR_E_AUDIO_OPEN);
    std::vector<uint8_t> cut = WaveImage(WaveSpec{1, 1, 48000, 16, 16, Samples16({1, 2, 3, 4})});
    Patch32(cut, 40, 4000);
    WriteFileBytes("C:\\audio\\cut.wav", cut);
    EXPECT_EQ(CAudioObjWav(u"C:\\audio\\cut.wav").Prepare(29.97), ZAR_E_AUDIO_FORMAT);
}

TEST_F(AudioSource, AWaveFileReadsItsChannelAndSilenceOutsideIt)
{
    // Stereo, left = i, right = -i for 100 frames.
    WaveSpec spec{1, 2, 48000, 16, 16, {}};
    for (int i = 0; i < 100; ++i) {
        Put16(spec.data, uint16_t(int16_t(i)));
        Put16(spec.data, uint16_t(int16_t(-i)));
    }
    WriteFileBytes("C:\\audio\\stereo.wav", WaveImage(spec));
    CAudioObjWav wav(u"C:\\audio\\stereo.wav");
    ASSERT_EQ(wav.Prepare(25.0), 0);
    EXPECT_EQ(wav.Format().length, 100);
    std::vector<int16_t> out(20, -7);
    // Ten samples before the source, then its first ten: silence, then 0-9.
    ASSERT_EQ(wav.ReadSamples(-10, 20, 48000, out.data(), 1), 0);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(out[size_t(i)], i < 10 ? 0 : i - 10) << i;
    wav.SetChannel(1);
    std::vector<int16_t> pair(10, 0);  // every second sample of a two-track buffer
    ASSERT_EQ(wav.ReadSamples(95, 5, 48000, pair.data(), 2), 0);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(pair[size_t(2 * i)], -(95 + i));
        EXPECT_EQ(pair[size_t(2 * i + 1)], 0);
    }
    // Past the end: silence.
    ASSERT_EQ(wav.ReadSamples(98, 4, 48000, out.data(), 1), 0);
    EXPECT_EQ(out[0], -98);
    EXPECT_EQ(out[1], -99);
    EXPECT_EQ(out[2], 0);
    EXPECT_EQ(out[3], 0);
    // Reversed, the item runs back from its out point.
    ASSERT_EQ(wav.SetReverse(1), 0);
    EXPECT_EQ(wav.SetReverse(2), -2);
    ASSERT_EQ(wav.ReadSamples(0, 3, 48000, out.data(), 1), 0);
    EXPECT_EQ(out[0], -99);
    EXPECT_EQ(out[1], -98);
    EXPECT_EQ(out[2], -97);
}

TEST(AudioTone, TablesHoldWholeCyclesOfAtLeastAThousandSamples)
{
    struct Case {
        uint32_t frequency, rate;
        size_t length;
    } cases[] = {{440, 48000, 1200}, {1000, 48000, 960}, {30000, 48000, 0}, {24000, 48000, 1000}, {997, 44100, 44100}};
    for (const Case& c : cases) {
        CAudioObjTone tone(c.frequency, 10000);
        const std::vector<int16_t>& table = tone.Table(c.rate);
        EXPECT_EQ(table.size(), c.length) << c.frequency << " at " << c.rate;
        if (table.size() < 2) continue;
        // Whole cycles: the sample after the last is the first again (the
        // step from the last to the first is an ordinary step).
        const double next = std::sin(2 * M_PI * double(c.frequency) * double(table.size()) / c.rate) * 10000;
        EXPECT_NEAR(next, table[0], 1.0) << c.frequency;
    }
    EXPECT_TRUE(CAudioObjTone(0, 10000).Table(48000).empty());
    EXPECT_TRUE(CAudioObjTone(440, 0).Table(48000).empty());

    CAudioObjTone tone(1000, 10000);
    ASSERT_EQ(tone.Prepare(30000.0 / 1001), 0);
    std::vector<int16_t> out(2000);
    ASSERT_EQ(tone.ReadSamples(0, 2000, 48000, out.data(), 1), 0);
    // A quarter cycle is 12 samples; the table wraps without a seam.
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[12], 10000);
    EXPECT_EQ(out[36], -10000);
    EXPECT_EQ(out[960 + 12], 10000);
    for (size_t i = 48; i < 2000; ++i) EXPECT_EQ(out[i], out[i - 48]) << i;
    CAudioObjTone high(30000, 10000);
    ASSERT_EQ(high.Prepare(25.0), 0);
    ASSERT_EQ(high.ReadSamples(0, 100, 48000, out.data(), 1), 0);
    for (size_t i = 0; i < 100; ++i) EXPECT_EQ(out[i], 0);
}

TEST(AudioUser, FadesScaleTheEdgesInSixtyFourBits)
{
    g_closed = 0;
    g_constant = 1000;
    g_userFrames = 48000;
    CAudioObjUser user(ConstantSource());
    ASSERT_EQ(user.Prepare(25.0), 0);
    user.SetFades(100, 100);
    std::vector<int16_t> out(200);
    ASSERT_EQ(user.ReadSamples(-50, 200, 48000, out.data(), 1), 0);
    EXPECT_EQ(out[0], 0);           // before the item
    EXPECT_EQ(out[50], 0);          // position 0
    EXPECT_EQ(out[100], 500);       // position 50: half
    EXPECT_EQ(out[149], 990);
    EXPECT_EQ(out[150], 1000);
    // The last 100 samples before the end fall to 0 at the end.
    ASSERT_EQ(user.ReadSamples(48000 - 100, 101, 48000, out.data(), 1), 0);
    EXPECT_EQ(out[0], 990);
    EXPECT_EQ(out[50], 490);
    EXPECT_EQ(out[99], 0);
    EXPECT_EQ(out[100], 0);
    user.Unprepare();
    EXPECT_EQ(g_closed, 1u);

    // A full-scale sample 300,000 samples into a fade of 400,000: the
    // product does not fit 32 bits.
    g_constant = 32767;
    g_userFrames = 480000;
    CAudioObjUser longer(ConstantSource());
    ASSERT_EQ(longer.Prepare(25.0), 0);
    longer.SetFades(400000, 0);
    ASSERT_EQ(longer.ReadSamples(300000, 1, 48000, out.data(), 1), 0);
    EXPECT_EQ(out[0], 24575);
    longer.Unprepare();
    EXPECT_EQ(g_closed, 2u);
}

TEST(AudioUser, SpeedsThatMoveNoSampleAndExactSpeedAreRefused)
{
    g_constant = 1000;
    g_userFrames = 48000;
    CAudioObjUser user(ConstantSource());
    EXPECT_EQ(user.SetSpeed(0.0), -2);
    ASSERT_EQ(user.Prepare(25.0), 0);
    // 48,000 x 0.00001 is under one sample a second: no step to divide by.
    EXPECT_EQ(user.SetSpeed(0.00001), -2);
    EXPECT_DOUBLE_EQ(user.Speed(), 1.0);
    ASSERT_EQ(user.SetSpeed(2.0), 0);
    std::vector<int16_t> out(100);
    ASSERT_EQ(user.ReadSamples(0, 100, 48000, out.data(), 1), 0);
    EXPECT_EQ(user.Step(), 96000);
    EXPECT_EQ(user.Length(), 24000);
    EXPECT_EQ(out[10], 1000);
    user.SetExactSpeed(1);
    EXPECT_EQ(user.ReadSamples(0, 100, 48000, out.data(), 1), -1);
    EXPECT_EQ(user.ReadSamples(0, 100, 999, out.data(), 1), -1);
    user.SetExactSpeed(0);
    EXPECT_EQ(user.ReadSamples(0, 100, 999, out.data(), 1), -2);
}

TEST(AudioUser, AFailedReadSilencesTheRangeAndReportsIt)
{
    struct Failing {
        static uint32_t Read(uint32_t, void*, uint32_t, uint32_t) { return 0; }
    };
    CAudioUserClipParams params = ConstantSource();
    params.read = Failing::Read;
    CAudioObjUser user(params);
    ASSERT_EQ(user.Prepare(25.0), 0);
    std::vector<int16_t> out(10, 5);
    EXPECT_EQ(user.ReadSamples(0, 10, 48000, out.data(), 1), ZAR_E_AUDIO_READ);
    for (int16_t s : out) EXPECT_EQ(s, 0);
    struct Refusing {
        static uint32_t Open(uint32_t, uint32_t*, uint32_t*, uint32_t*, uint32_t*) { return 0; }
    };
    params.open = Refusing::Open;
    EXPECT_EQ(CAudioObjUser(params).Prepare(25.0), ZAR_E_AUDIO_OPEN);
}

namespace {

// A shared-memory WAVE image of 'ringBytes' in a section of 'sectionBytes'.
HANDLE MakeSection(const char* name, uint32_t ringBytes, uint32_t sectionBytes, uint16_t bits = 16)
{
    HANDLE h = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sectionBytes, name);
    if (!h) return nullptr;
    auto* v = static_cast<uint8_t*>(MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    const WaveSpec spec{1, 1, 48000, bits, 16, {}};
    std::vector<uint8_t> head;
    PutId(head, "RIFF");
    Put32(head, sectionBytes - 8);
    PutId(head, "WAVE");
    PutId(head, "fmt ");
    Put32(head, 16);
    const std::vector<uint8_t> fmt = Fmt(spec);
    head.insert(head.end(), fmt.begin(), fmt.end());
    PutId(head, "mrec");
    Put32(head, 32);
    head.resize(76);
    PutId(head, "data");
    Put32(head, ringBytes);
    std::memcpy(v, head.data(), head.size());
    UnmapViewOfFile(v);
    return h;
}

}  // namespace

TEST(AudioMemFile, ARingLargerThanItsSectionIsRefused)
{
    HANDLE fits = MakeSection("AudioRingFits", 4096, 84 + 4096);
    HANDLE over = MakeSection("AudioRingOver", 65536, 84 + 4096);
    ASSERT_TRUE(fits && over);
    CAudioObjMemFile good("AudioRingFits", false);
    ASSERT_EQ(good.Prepare(25.0), 0);
    EXPECT_EQ(good.Format().length, 2048);
    EXPECT_EQ(CAudioObjMemFile("AudioRingOver", false).Prepare(25.0), ZAR_E_AUDIO_FORMAT);
    EXPECT_EQ(CAudioObjMemFile("AudioRingNone", false).Prepare(25.0), ZAR_E_AUDIO_OPEN);
    CloseHandle(fits);
    CloseHandle(over);
}

TEST(AudioMemFile, ALiveRingReadsAtTheWritersCountAndSilencesWhatItDoesNotHold)
{
    constexpr uint32_t kRing = 1000;  // samples
    HANDLE h = MakeSection("AudioRingLive", kRing * 2, 84 + kRing * 2);
    ASSERT_TRUE(h);
    auto* v = static_cast<uint8_t*>(MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    auto* ring = reinterpret_cast<int16_t*>(v + 84);
    // The writer has written samples 0-2499, each its own count mod 30000:
    // the ring holds 1500-2499.
    for (int64_t s = 1500; s < 2500; ++s) ring[s % kRing] = int16_t(s);
    const int64_t written = 2500;
    std::memcpy(v + 48, &written, 8);
    CAudioObjMemFile live("AudioRingLive", true);
    ASSERT_EQ(live.Prepare(25.0), 0);
    EXPECT_EQ(live.Format().length, 0);  // endless
    std::vector<int16_t> out(30);
    // Across the ring's end (sample 2000 sits at slot 0).
    ASSERT_EQ(live.Read(1990, 20, 40, out.data(), 48000), 0);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(out[size_t(i)], 1990 + i) << i;
    // No longer held, then held.
    ASSERT_EQ(live.Read(1490, 20, 40, out.data(), 48000), 0);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(out[size_t(i)], i < 10 ? 0 : 1490 + i) << i;
    // Held, then not yet written.
    ASSERT_EQ(live.Read(2490, 20, 40, out.data(), 48000), 0);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(out[size_t(i)], i < 10 ? 2490 + i : 0) << i;
    UnmapViewOfFile(v);
    live.Unprepare();
    CloseHandle(h);
}

namespace {

std::vector<uint8_t> Chunk(const char* id, const std::vector<uint8_t>& body)
{
    std::vector<uint8_t> b;
    PutId(b, id);
    Put32(b, uint32_t(body.size()));
    b.insert(b.end(), body.begin(), body.end());
    if (body.size() & 1) b.push_back(0);
    return b;
}

std::vector<uint8_t> List(const char* type, const std::vector<std::vector<uint8_t>>& children, const char* id = "LIST")
{
    std::vector<uint8_t> body;
    PutId(body, type);
    for (const auto& c : children) body.insert(body.end(), c.begin(), c.end());
    std::vector<uint8_t> b;
    PutId(b, id);
    Put32(b, uint32_t(body.size()));
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

std::vector<uint8_t> StreamList(const char* type, uint32_t length, const std::vector<uint8_t>& format)
{
    std::vector<uint8_t> strh;
    PutId(strh, type);
    strh.resize(56, 0);
    Patch32(strh, 20, 1);
    Patch32(strh, 24, 48000);
    Patch32(strh, 32, length);
    return List("strl", {Chunk("strh", strh), Chunk("strf", format)});
}

}  // namespace

TEST_F(AudioSource, AnAviFileReadsItsAudioStreamAcrossChunks)
{
    // Stream 0 video, stream 1 audio of 10 samples in chunks of 4, 4 and 2
    // (the last pair inside a "rec " list), a video chunk between them.
    const std::vector<uint8_t> format = Fmt(WaveSpec{1, 1, 48000, 16, 16, {}});
    std::vector<uint8_t> hdrl = List("hdrl", {Chunk("avih", std::vector<uint8_t>(56, 0)),
                                              StreamList("vids", 1, std::vector<uint8_t>(40, 0)),
                                              StreamList("auds", 10, format)});
    std::vector<uint8_t> movi = List("movi", {Chunk("01wb", Samples16({0, 1, 2, 3})), Chunk("00dc", {9, 9, 9}),
                                              Chunk("01wb", Samples16({4, 5, 6, 7})),
                                              List("rec ", {Chunk("01wb", Samples16({8, 9}))})});
    std::vector<uint8_t> file = List("AVI ", {hdrl, movi}, "RIFF");
    WriteFileBytes("C:\\audio\\clip.avi", file);

    CAudioObjAvi avi(u"C:\\audio\\clip.avi", 0);
    ASSERT_EQ(avi.Prepare(25.0), 0);
    EXPECT_EQ(avi.Format().length, 10);
    std::vector<int16_t> out(12);
    ASSERT_EQ(avi.ReadSamples(0, 12, 48000, out.data(), 1), 0);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(out[size_t(i)], i < 10 ? i : 0) << i;
    std::vector<uint8_t> raw(6);
    ASSERT_EQ(avi.Read(3, 3, 6, raw.data(), 48000), 0);
    EXPECT_EQ(raw[0], 3);
    EXPECT_EQ(raw[4], 5);
    EXPECT_EQ(avi.Read(8, 3, 6, raw.data(), 48000), ZAR_E_AUDIO_READ);

    // No second audio stream; a file that is not an AVI.
    EXPECT_EQ(CAudioObjAvi(u"C:\\audio\\clip.avi", 1).Prepare(25.0), ZAR_E_AUDIO_FORMAT);
    WriteFileBytes("C:\\audio\\sound.wav", WaveImage(WaveSpec{1, 1, 48000, 16, 16, Samples16({1})}));
    EXPECT_EQ(CAudioObjAvi(u"C:\\audio\\sound.wav", 0).Prepare(25.0), ZAR_E_AUDIO_OPEN);
}
