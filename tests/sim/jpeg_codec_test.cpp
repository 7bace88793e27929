// The JPEG codecs on a whole board: register ports, load and reset, the
// per-field latch on the field clock, real compression into SDRAM and back,
// uncompressed fields, the activity readback and the designed scale response
// with its expected-size table.
#include "sim/board.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/fake_host.h"
#include "tests/support/jpeg_programme.h"

using namespace sim;

namespace {

struct JpegFixture : ::testing::Test {
    simtest::FakeHost host;
    std::unique_ptr<Board> board;

    void Power(int standard = 525)
    {
        if (board) board->PowerOff();  // its field event must not outlive it
        BoardOptions o;
        o.standard = standard;
        board = std::make_unique<Board>(o);
        board->Attach(&host);
        board->Reset();
    }
    void SetUp() override { Power(); }

    BoardRegs& Regs() { return board->Regs(); }
    JpegCodec& Codec(int c) { return board->Jpeg().Codec(c); }

    // The driver's register access: address high, address low, data.
    void RegWrite(int c, uint32_t reg, uint8_t value)
    {
        Regs().Write(jpeg::kPortBase[c], uint16_t(reg >> 8));
        Regs().Write(jpeg::kPortBase[c] + 4, uint16_t(reg));
        Regs().Write(jpeg::kPortBase[c] + 8, value);
    }
    uint16_t RegRead(int c, uint32_t reg)
    {
        Regs().Write(jpeg::kPortBase[c], uint16_t(reg >> 8));
        Regs().Write(jpeg::kPortBase[c] + 4, uint16_t(reg));
        return Regs().Read(jpeg::kPortBase[c] + 8);
    }
    void Programme(int c, bool record, int standard = 525)
    {
        for (auto [reg, value] : simtest::CodecProgramme(standard, record)) RegWrite(c, reg, value);
    }
    void SetScale(int c, uint16_t scale)
    {
        RegWrite(c, jpeg::kRegScale, uint8_t(scale >> 8));
        RegWrite(c, jpeg::kRegScale + 1, uint8_t(scale));
    }
    uint32_t Bits(int c)
    {
        return (uint32_t(RegRead(c, 0x17)) << 16) | (uint32_t(RegRead(c, 0x18)) << 8) | RegRead(c, 0x19);
    }
    // The reset sequence of the driver, leaving both codecs running.
    void ResetCodecs()
    {
        for (uint16_t v : {0x4, 0xC, 0x8, 0xC}) Regs().Write(jpeg::kCodecControl, v);
    }
    void Realtime(uint16_t bits) { Regs().Write(jpeg::kCodecControl, uint16_t(0xC | bits)); }
    void Field() { host.RunUntil(board->Clock().NextFieldTime()); }
    void Fields(int n)
    {
        for (int i = 0; i < n; ++i) Field();
    }
    // Codec 0 records into 'block', codec 1 idle.
    void Record(uint32_t block, bool uncompressed = false)
    {
        Regs().Write(jpeg::kSdramAddress[0], uint16_t(block | (uncompressed ? 0x8000 : 0)));
        Regs().Write(jpeg::kDirection, 1);
    }
    void Play(int c, uint32_t block, bool uncompressed = false)
    {
        Regs().Write(jpeg::kSdramAddress[c], uint16_t(block | (uncompressed ? 0x8000 : 0)));
        if (c == 0) Regs().Write(jpeg::kDirection, 0);
    }
    std::vector<uint8_t> SdramBytes(uint32_t block, uint32_t bytes)
    {
        std::vector<uint8_t> v(bytes);
        board->Memory().Read(block, Sdram::kModeRing, 0, v.data(), bytes);
        return v;
    }
    // What codec 0 recorded at the 13-bit 'block' it was given: bit 12 names
    // the parity's bank.
    std::vector<uint8_t> RecordedBytes(uint32_t block, uint32_t bytes)
    {
        std::vector<uint8_t> v(bytes);
        board->Memory().Read(block & 0xFFF, Sdram::RecordBankMode(block >> 12), 0, v.data(), bytes);
        return v;
    }
    // The input field the codec took during the field that ended last.
    const VideoField& LastInput() { return board->VideoIn().Field(board->Clock().FieldCount() - 1); }
};

}  // namespace

TEST_F(JpegFixture, PortsAddressTheRegisterFileAsTheDriverWritesIt)
{
    ResetCodecs();  // power-on holds both codecs in reset
    // A 16-bit write across a register-page boundary: the data port keeps the
    // low byte and the low-address port takes only the low byte of 0x100.
    for (auto [port, value] : std::vector<std::pair<uint32_t, uint16_t>>{
             {0xA404, 0}, {0xA408, 0xFF}, {0xA40C, 0x12}, {0xA404, 1}, {0xA408, 0x100}, {0xA40C, 0x1234}})
        Regs().Write(port, value);
    EXPECT_EQ(Codec(0).ReadRegister(0xFF), 0x12);
    EXPECT_EQ(Codec(0).ReadRegister(0x100), 0x34);
    EXPECT_EQ(RegRead(0, 0x100), 0x34) << "data reads the byte in bits 0-7 and 0 above";
    EXPECT_EQ(Regs().Read(0xA408), 0x00) << "the low-address port latched the low byte";
    EXPECT_EQ(Codec(1).ReadRegister(0x100), 0) << "codec 1 has its own file";

    RegWrite(1, 0x3FF, 0x5A);
    EXPECT_EQ(RegRead(1, 0x3FF), 0x5A);
    EXPECT_EQ(RegRead(1, 0x7FF), 0x5A) << "a 1 KB file: address bits above it are not decoded";

    // The identification and the status registers answer for the chip.
    for (int c = 0; c < 2; ++c) {
        RegWrite(c, jpeg::kRegId, 0);
        RegWrite(c, jpeg::kRegBitCount, 0xAB);
        EXPECT_EQ(RegRead(c, jpeg::kRegId), jpeg::kCodecId);
        EXPECT_EQ(RegRead(c, jpeg::kRegBitCount), 0);
        EXPECT_EQ(RegRead(c, jpeg::kRegStatus), 0);
    }
}

TEST_F(JpegFixture, LoadTakesTheProgrammeForEachStandardAndDirection)
{
    struct Case {
        int standard;
        bool record;
        int lines;
    };
    for (Case k : {Case{525, false, 248}, Case{525, true, 248}, Case{625, false, 288}, Case{625, true, 288}}) {
        Power(k.standard);
        ResetCodecs();
        Programme(0, k.record, k.standard);
        Programme(1, k.record, k.standard);
        for (int c = 0; c < 2; ++c) {
            EXPECT_TRUE(Codec(c).Loaded()) << k.standard << " codec " << c << ": " << Codec(c).LoadError();
            EXPECT_EQ(Codec(c).FieldLines(), k.lines);
            EXPECT_EQ(RegRead(c, jpeg::kRegMode), 0) << "the load strobe reads back 0";
        }
    }
}

TEST_F(JpegFixture, AFileThatDoesNotDescribeTheBoardsFieldIsRefusedAndProcessesNothing)
{
    struct Case {
        const char* what;
        uint32_t reg;
        uint8_t value;
    };
    for (Case k : {Case{"625-line field on a 525-line board", 0x66, 0x20}, Case{"4:4:4 sampling", 0x6B, 0x11},
                   Case{"no Huffman table marker", 0x1D5, 0x00}, Case{"12-bit samples", 0x64, 12}}) {
        Power();
        ResetCodecs();
        simtest::Programme p = simtest::CodecProgramme(525, true);
        p.insert(p.end() - 1, {k.reg, k.value});
        for (auto [reg, value] : p) RegWrite(0, reg, value);
        EXPECT_FALSE(Codec(0).Loaded()) << k.what;
        EXPECT_FALSE(Codec(0).LoadError().empty()) << k.what;
        Record(0);
        Realtime(jpeg::kControlRealtime0);
        Fields(3);
        EXPECT_EQ(Codec(0).ProcessCount(), 0u) << k.what;
        EXPECT_EQ(Codec(0).FieldsEncoded(), 0u) << k.what;
    }
}

TEST_F(JpegFixture, ResetThroughCodecControlClearsBothCodecsAndHoldsThemWhileLow)
{
    ResetCodecs();
    Programme(0, true);
    Programme(1, false);
    Record(0);
    Play(1, 0);
    Realtime(jpeg::kControlRealtime0 | jpeg::kControlRealtime1);
    Fields(3);
    ASSERT_GT(Codec(0).ProcessCount(), 0u);

    Regs().Write(jpeg::kCodecControl, 0x8 | 0x3);  // reset low, clock and real time on
    for (int c = 0; c < 2; ++c) {
        EXPECT_FALSE(Codec(c).Loaded());
        EXPECT_EQ(RegRead(c, 0x30), 0) << "register file cleared";
        EXPECT_EQ(RegRead(c, jpeg::kRegId), jpeg::kCodecId) << "the id answers in reset";
        EXPECT_EQ(Codec(c).ProcessCount(), 0u);
    }
    Programme(0, true);
    EXPECT_FALSE(Codec(0).Loaded()) << "a load while held in reset is lost";
    Fields(2);
    EXPECT_EQ(Codec(0).ProcessCount(), 0u);

    // Released but not clocked: loads, yet processes nothing.
    Regs().Write(jpeg::kCodecControl, 0x4 | 0x1);
    Programme(0, true);
    EXPECT_TRUE(Codec(0).Loaded());
    Fields(2);
    EXPECT_EQ(Codec(0).ProcessCount(), 0u);
    Realtime(jpeg::kControlRealtime0);
    Fields(2);
    EXPECT_EQ(Codec(0).ProcessCount(), 1u) << "latched at the first field, done at the second";
}

TEST_F(JpegFixture, EachFieldLatchesItsSettingsAndIsReportedTwoFieldsLater)
{
    ResetCodecs();
    Programme(0, true);
    Record(100);
    SetScale(0, jpeg::kQuantiserScale[0]);
    Realtime(jpeg::kControlRealtime0);
    Field();  // k: latches block 100, coarsest scale
    Record(2000);
    SetScale(0, jpeg::kQuantiserScale[31]);
    EXPECT_EQ(Codec(0).ProcessCount(), 0u);

    Field();  // k+1: field at 100 done, latches 2000 at the finest scale
    EXPECT_EQ(Codec(0).ProcessCount(), 1u);
    const uint32_t coarse = Bits(0);
    EXPECT_EQ(RecordedBytes(100, 2), (std::vector<uint8_t>{0xFF, 0xD8}));
    EXPECT_EQ(RecordedBytes(2000, 2), (std::vector<uint8_t>{0, 0})) << "not written before its field";

    Field();  // k+2
    EXPECT_EQ(RecordedBytes(2000, 2), (std::vector<uint8_t>{0xFF, 0xD8}));
    EXPECT_GT(Bits(0), coarse * 4) << "the finest scale reports a much larger field";

    // The process count in register 8 bits 6-7 advances once a field, mod 4.
    for (int i = 0; i < 6; ++i) {
        uint32_t before = (RegRead(0, jpeg::kRegStatus) >> 6) & 3;
        Field();
        EXPECT_EQ((RegRead(0, jpeg::kRegStatus) >> 6) & 3, (before + 1) & 3);
    }
    // Real time off: the field already latched still completes, then none.
    const uint32_t count = Codec(0).ProcessCount();
    Realtime(0);
    Fields(3);
    EXPECT_EQ(Codec(0).ProcessCount(), count + 1);
}

TEST_F(JpegFixture, RecordedFieldDecodesBackThroughTheOtherCodec)
{
    for (int standard : {525, 625}) {
        Power(standard);
        ResetCodecs();
        Programme(0, true, standard);
        Programme(1, false, standard);
        const uint32_t bankBlock = 0x1000 | (Sdram::kRecordBankBlocks - 6);  // wraps at the end of parity 1's bank
        Record(bankBlock);
        Realtime(jpeg::kControlRealtime0);
        Fields(2);
        Realtime(0);
        Field();  // the field latched with real time still on completes
        ASSERT_EQ(Codec(0).FieldsEncoded(), 2u);
        const VideoField input = LastInput();
        const uint32_t stored = Codec(0).StoredBytes();
        const uint32_t bits = Bits(0);

        std::vector<uint8_t> stream = RecordedBytes(bankBlock, stored);
        EXPECT_EQ(stream[0], 0xFF);
        EXPECT_EQ(stream[1], 0xD8);
        EXPECT_EQ(stream[2], 0xFF);
        EXPECT_EQ(stream[3], 0xE0) << "APP0 follows SOI";
        EXPECT_EQ(stream[stored - 2], 0xFF);
        EXPECT_EQ(stream[stored - 1], 0xD9);
        // The driver's estimate: data + SOI/EOI slack + SOF + SOS + APP0 + DQT.
        EXPECT_GE(bits / 8 + 8 + 19 + 14 + 18 + 134, stored);
        EXPECT_LE(bits / 8 + 8 + 19 + 14 + 18 + 134, stored + 8);

        // Any baseline decoder reads the field without its Huffman tables.
        tjhandle tj = tjInitDecompress();
        int w = 0, h = 0, sub = -1, cs = -1;
        EXPECT_EQ(tjDecompressHeader3(tj, stream.data(), stream.size(), &w, &h, &sub, &cs), 0);
        EXPECT_EQ(w, 720);
        EXPECT_EQ(h, standard == 625 ? 288 : 248);
        EXPECT_EQ(sub, TJSAMP_422);
        VideoField plain(input.Geometry());
        unsigned char* planes[3] = {plain.Y(), plain.Cb(), plain.Cr()};
        int strides[3] = {720, 360, 360};
        EXPECT_EQ(tjDecompressToYUVPlanes(tj, stream.data(), stream.size(), planes, 720, strides, h, 0), 0);
        tjDestroy(tj);

        // Played from the ring, across its end, as the library would load it.
        board->Memory().Write(7900, Sdram::kModeRing, 0, stream.data(), stored);
        Play(1, 7900);
        Realtime(jpeg::kControlRealtime1);
        Fields(2);
        ASSERT_EQ(Codec(1).FieldsDecoded(), 1u) << Codec(1).LastError();
        const int parity = int((board->Clock().FieldCount() - 1) & 1);
        const VideoField& shown = board->VideoOut().Field(1, parity);
        EXPECT_GT(Psnr(input, shown), 30.0) << standard << " lines at the initial scale";
        EXPECT_GT(Psnr(plain, shown), 45.0) << "the codec decodes as a plain decoder does";
    }
}

TEST_F(JpegFixture, UncompressedFieldsPassUntouchedInTheBoardsLineFormat)
{
    struct Case {
        int standard;
        uint32_t blocks;
    };
    for (Case k : {Case{525, 684}, Case{625, 810}}) {
        Power(k.standard);
        ResetCodecs();
        Programme(0, true, k.standard);
        Programme(1, false, k.standard);
        board->Memory().Write(10, Sdram::kModeRecordBank0, 0,
                              std::vector<uint8_t>(k.blocks * 512 + 512, 0xEE).data(), k.blocks * 512 + 512);
        Record(10, true);
        Realtime(jpeg::kControlRealtime0);
        Field();
        Realtime(0);
        Field();
        const VideoField input = LastInput();
        const uint32_t raw = input.Geometry().RawBytes();
        EXPECT_EQ((raw + 511) / 512, k.blocks);

        std::vector<uint8_t> expected(raw);
        input.PackUyvy(expected.data());
        std::vector<uint8_t> stored = RecordedBytes(10, k.blocks * 512 + 512);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), stored.begin()));
        EXPECT_EQ(stored[raw], 0xEE) << "nothing written past the active lines";
        EXPECT_EQ(stored[k.blocks * 512], 0xEE);

        board->Memory().Write(10, Sdram::kModeRing, 0, stored.data(), uint32_t(stored.size()));
        Play(1, 10, true);
        Realtime(jpeg::kControlRealtime1);
        Fields(2);
        const int parity = int((board->Clock().FieldCount() - 1) & 1);
        const VideoField& shown = board->VideoOut().Field(1, parity);
        EXPECT_EQ(Psnr(input, shown), 99.0) << "identical";
        const size_t active = size_t(input.Geometry().activeLines) * 720;
        for (size_t i = active; i < size_t(shown.Lines()) * 720; ++i) ASSERT_EQ(shown.Y()[i], 16) << "black padding";
    }
}

TEST_F(JpegFixture, CorruptFieldCountsADecodeErrorAndKeepsTheShownPicture)
{
    ResetCodecs();
    Programme(1, false);
    std::vector<uint8_t> junk(4096);
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = uint8_t(i * 37 + 11);
    junk[0] = 0xFF, junk[1] = 0xD8, junk[2] = 0xFF, junk[3] = 0xC0, junk[4] = 0x00, junk[5] = 0x02;
    board->Memory().Write(50, Sdram::kModeRing, 0, junk.data(), uint32_t(junk.size()));
    board->VideoOut().Field(1, 0).Fill(200, 100, 150);
    board->VideoOut().Field(1, 1).Fill(200, 100, 150);
    VideoField before = board->VideoOut().Field(1, 0);
    Play(1, 50);
    Realtime(jpeg::kControlRealtime1);
    Fields(3);
    EXPECT_EQ(Codec(1).DecodeErrors(), 2u);
    EXPECT_EQ(Codec(1).ProcessCount(), 2u) << "a bad field is still a processed field";
    EXPECT_TRUE(board->VideoOut().Field(1, 0) == before);
}

TEST_F(JpegFixture, ActivityReadsZeroUntilAWholeFieldWasMeasured)
{
    EXPECT_EQ(Regs().Read(jpeg::kPathControl), 0);
    Regs().Write(jpeg::kPathControl, 1);
    EXPECT_EQ(Regs().Read(jpeg::kPathControl), 0);
    Field();  // the field in which the bit was set ends: not a whole one
    EXPECT_EQ(Regs().Read(jpeg::kPathControl), 0);
    Field();
    const uint16_t a = Regs().Read(jpeg::kPathControl);
    EXPECT_EQ(a, jpeg::Activity(LastInput()));
    EXPECT_GT(a, 1000) << "the test pattern is busier than the floor";

    VideoField flat(board->VideoIn().Geometry());
    flat.Fill(128, 128, 128);
    EXPECT_EQ(jpeg::Activity(flat), 0u);

    Regs().Write(jpeg::kPathControl, 0);
    EXPECT_EQ(Regs().Read(jpeg::kPathControl), 0);
}

// The designed response: index 0 coarsest, 31 finest; the table and the
// size law it is built from agree with what the codec produces.
TEST_F(JpegFixture, ScaleResponseAndExpectedSizeTableAgreeWithTheCodec)
{
    ResetCodecs();
    Programme(0, true);
    const VideoField& input = board->VideoIn().Field(1);
    const uint32_t activity = jpeg::Activity(input);
    std::vector<uint8_t> out;
    std::vector<double> bytes(32);
    for (int q = 0; q < 32; ++q) {
        ASSERT_TRUE(Codec(0).EncodeField(input, jpeg::kQuantiserScale[q], out));
        bytes[size_t(q)] = double(out.size());
        if (q > 0) {
            EXPECT_GE(bytes[size_t(q)], bytes[size_t(q - 1)]) << "index " << q;
        }
        const double expected = jpeg::ExpectedFieldBytes(activity, q);
        EXPECT_NEAR(bytes[size_t(q)], expected, expected * 0.25) << "index " << q;
    }
    EXPECT_GT(bytes[31], 5 * bytes[0]);

    const auto& table = jpeg::ExpectedSizeTable();
    for (int row = 0; row < jpeg::kTableRows; ++row) {
        for (int q = 0; q < 32; ++q) {
            ASSERT_LE(table[size_t(row)][size_t(q)], 65535u);
            if (q > 0) {
                ASSERT_LE(table[size_t(row)][size_t(q)], table[size_t(row)][size_t(q - 1)]) << row << "/" << q;
            }
            if (row > 0) {
                ASSERT_GE(table[size_t(row)][size_t(q)], table[size_t(row - 1)][size_t(q)]) << row << "/" << q;
            }
        }
    }
    EXPECT_EQ(table[0][0], 0u);
    EXPECT_EQ(table[1][31], 0u);
    EXPECT_GT(table[127][0], 60000u);
}

// The rate control's table reading picks, for a field of the measured
// activity, an index whose field fits the upper size it was asked for.
TEST_F(JpegFixture, TheTableChoiceKeepsFieldsWithinTheHardLimit)
{
    ResetCodecs();
    Programme(0, true);
    const VideoField& input = board->VideoIn().Field(1);
    const uint32_t target = std::max<uint32_t>(jpeg::Activity(input), 1000);
    std::vector<uint8_t> out;
    for (uint32_t upper : {12u, 20u, 40u, 60u, 100u, 200u, 400u}) {
        const auto& row = jpeg::ExpectedSizeTable()[std::min<uint32_t>(upper / 5, 127)];
        int q;
        if (target <= row[16]) {
            for (q = 16; q < 31 && row[size_t(q + 1)] >= target; ++q) {}
        } else {
            for (q = 15; q > 0 && !(target < row[size_t(q)]); --q) {}
        }
        ASSERT_TRUE(Codec(0).EncodeField(input, jpeg::kQuantiserScale[q], out));
        const uint32_t blocks = uint32_t(out.size() / 512 + 1);
        EXPECT_LE(blocks, upper + upper / 2) << "upper " << upper << " index " << q;
        if (q < 31 && q > 0) {
            EXPECT_GE(blocks, upper / 2) << "upper " << upper << " index " << q;
        }
    }
}

TEST_F(JpegFixture, OutputCapturesAsAPictureThatReadsBackAsInput)
{
    // A frame on output 0: the test pattern's two fields.
    VideoField p1 = board->VideoIn().Field(1), p0 = board->VideoIn().Field(2);
    board->VideoOut().Field(0, 1) = p1;
    board->VideoOut().Field(0, 0) = p0;

    const std::string path = ::testing::TempDir() + "jpeg_codec_capture.ppm";
    std::string error;
    ASSERT_TRUE(board->VideoOut().Capture(0, path, &error)) << error;
    std::vector<uint8_t> rgb = board->VideoOut().FrameRgb(0);
    ASSERT_EQ(rgb.size(), size_t(720 * 486 * 3));
    // The first bar is 75 % white: grey, about 3/4 of full scale.
    EXPECT_NEAR(rgb[30 * 3], rgb[30 * 3 + 1], 3);
    EXPECT_NEAR(rgb[30 * 3], 180, 12);

    VideoFeed feed(525);
    ASSERT_TRUE(feed.LoadFile(path, &error)) << error;
    EXPECT_GT(Psnr(feed.Field(1), p1), 35.0) << "RGB round trip of the parity-1 field";
    EXPECT_GT(Psnr(feed.Field(2), p0), 35.0);
    EXPECT_FALSE(feed.LoadFile(path + ".missing.ppm", &error));
    EXPECT_GT(Psnr(feed.Field(1), p1), 35.0) << "a failed load keeps the frames";
    std::remove(path.c_str());
}

// Frame k of the moving pattern is the still one moved right by k steps,
// the chrominance by half as many samples, wrapping around the line; the
// frames loop.
TEST(VideoFeedTest, MovingPatternShiftsEachFrameAndLoops)
{
    VideoFeed still(525), moving(525);
    moving.UseMovingTestPattern(30, 24);
    ASSERT_EQ(moving.FrameCount(), 30u);
    for (int k : {0, 1, 29}) {
        for (uint64_t half : {1u, 2u}) {
            SCOPED_TRACE("frame " + std::to_string(k) + " field " + std::to_string(half));
            const VideoField& s = still.Field(half);
            const VideoField& m = moving.Field(2 * uint64_t(k) + half);
            const int shift = k * 24 % 720;
            for (int line : {0, 100, 200}) {
                for (int x : {0, 5, 719}) ASSERT_EQ(m.Y()[line * 720 + (x + shift) % 720], s.Y()[line * 720 + x]);
                for (int x : {0, 7, 359})
                    ASSERT_EQ(m.Cb()[line * 360 + (x + shift / 2) % 360], s.Cb()[line * 360 + x]);
            }
        }
    }
    EXPECT_TRUE(moving.Field(61) == moving.Field(1));
    EXPECT_FALSE(moving.Field(3) == moving.Field(1));
}
