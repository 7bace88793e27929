// The four FPGAs: the program pulse on GPIO pin 0, the interleaved stream on
// board address 0xFFFE, and "configured" only for images they accept.
#include "sim/fpga.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "tests/support/fake_host.h"
#include "sim/board.h"

using namespace sim;
using namespace sim::saa7146;

namespace {

using Bytes = std::vector<uint8_t>;

struct Spec {
    int device = 0;
    int revision = 3;
    int standard = 525;
    uint32_t flags = 0;
    uint32_t payload = 100;
};

Bytes Image(const Spec& s)
{
    fpga::ImageHeader h;
    h.device = uint8_t(s.device);
    h.boardRevision = uint8_t(s.revision);
    h.standard = uint16_t(s.standard);
    h.flags = s.flags;
    h.payloadLength = s.payload;
    h.designId = 0x100 + uint32_t(s.device);
    Bytes payload(s.payload);
    for (uint32_t i = 0; i < s.payload; ++i) payload[i] = uint8_t(i * 7 + s.device);
    h.crc = fpga::ImageCrc(h, payload.data(), payload.size());
    Bytes out(sizeof h + payload.size());
    std::memcpy(out.data(), &h, sizeof h);
    std::copy(payload.begin(), payload.end(), out.begin() + sizeof h);
    return out;
}

std::array<Bytes, 4> GoodSet(int revision = 3, int standard = 525, bool dve = false)
{
    std::array<Bytes, 4> set;
    for (int d = 0; d < 4; ++d)
        set[d] = Image({d, revision, standard, d == 3 && dve ? fpga::kFlagDve : 0u, 100 + 20 * uint32_t(d)});
    return set;
}

// The stream as the loader builds it: bit j of every source byte becomes
// stream byte j, on data line d for FPGA d; the lines are ORed.
Bytes Interleave(const std::array<Bytes, 4>& images, bool msbFirst = false)
{
    size_t longest = 0;
    for (const Bytes& b : images) longest = std::max(longest, b.size());
    Bytes stream(longest * 8, 0);
    for (int d = 0; d < 4; ++d)
        for (size_t i = 0; i < images[d].size(); ++i)
            for (int j = 0; j < 8; ++j) {
                int bit = msbFirst ? 7 - j : j;
                stream[i * 8 + j] |= uint8_t(((images[d][i] >> bit) & 1) << d);
            }
    return stream;
}

struct FpgaFixture : ::testing::Test {
    simtest::FakeHost host;
    std::unique_ptr<Board> board;

    void Make(BoardOptions o = {})
    {
        board = std::make_unique<Board>(o);
        board->Attach(&host);
        board->Reset();
    }
    void SetUp() override { Make(); }

    void Write(uint32_t off, uint32_t v) { board->MmioWrite(0, off, v, 4); }
    uint32_t Read(uint32_t off) { return board->MmioRead(0, off, 4); }
    Fpgas& F() { return board->FpgaUnit(); }

    // The program pulse through GPIO_CTRL: pin 0 out high, low, high.
    void Pulse()
    {
        uint32_t g = Read(kGpioCtrl);
        Write(kGpioCtrl, (g & ~0xAFu) | 0x50);
        Write(kGpioCtrl, (g & ~0xBFu) | 0x40);
        Write(kGpioCtrl, (g & ~0xAFu) | 0x50);
    }
    // The stream straight onto the board's register bus, then the loader's
    // 64 trailing clocks.
    void Send(const Bytes& stream, int trailing = 64)
    {
        for (uint8_t b : stream) board->Regs().Write(fpga::kDataAddress, b);
        for (int i = 0; i < trailing; ++i) board->Regs().Write(fpga::kDataAddress, 0);
    }
    bool Configured() { return (Read(kPsr) & kPsrFpgasConfigured) != 0; }
    bool DveAnswers() { return (board->Regs().Read(0xBC00) & fpga::kStatusDveAnswers) != 0; }
};

}  // namespace

TEST_F(FpgaFixture, AcceptedImagesConfigureAllFour)
{
    EXPECT_FALSE(Configured());
    Pulse();
    EXPECT_EQ(F().ProgramPulses(), 1u);
    Send(Interleave(GoodSet()));
    EXPECT_TRUE(Configured());
    EXPECT_FALSE(DveAnswers());
    for (int d = 0; d < 4; ++d) {
        EXPECT_EQ(F().StateOf(d), Fpgas::State::Running) << d;
        EXPECT_EQ(F().HeaderOf(d).designId, 0x100u + d);
    }
    EXPECT_EQ(board->Regs().Read(fpga::kDataAddress), 0xF);

    // Later clocks are ignored until the next pulse; the pulse clears.
    Send(Interleave(GoodSet(2)));
    EXPECT_TRUE(Configured());
    Pulse();
    EXPECT_FALSE(Configured());
    EXPECT_EQ(board->Regs().Read(fpga::kDataAddress), 0);

    // A power-on loses the configuration too.
    Send(Interleave(GoodSet()));
    ASSERT_TRUE(Configured());
    board->Reset();
    EXPECT_FALSE(Configured());
}

TEST_F(FpgaFixture, DveBitNeedsTheModuleAndTheDveImage)
{
    struct Case {
        bool module;
        bool dveImage;
        bool answers;
    };
    for (Case c : {Case{false, false, false}, Case{false, true, false}, Case{true, false, false}, Case{true, true, true}}) {
        SCOPED_TRACE(testing::Message() << "module " << c.module << " image " << c.dveImage);
        BoardOptions o;
        o.dvePresent = c.module;
        Make(o);
        Pulse();
        Send(Interleave(GoodSet(3, 525, c.dveImage)));
        EXPECT_TRUE(Configured());
        EXPECT_EQ(DveAnswers(), c.answers);
    }
    Pulse();
    EXPECT_FALSE(DveAnswers());
}

TEST_F(FpgaFixture, RefusedImagesLeaveTheBoardUnconfigured)
{
    struct Case {
        const char* what;
        int fpga;               // the FPGA that refuses
        Fpgas::State state;
        const char* reason;
    };
    auto set = [](int which, auto spoil) {
        auto s = GoodSet();
        spoil(s[which]);
        return s;
    };
    const std::vector<std::pair<Case, std::array<Bytes, 4>>> cases = {
        {{"bad CRC", 1, Fpgas::State::Error, "CRC"}, set(1, [](Bytes& b) { b[40] ^= 1; })},
        {{"bad magic", 2, Fpgas::State::Error, "magic"}, set(2, [](Bytes& b) { b[0] = 'X'; })},
        {{"other revision", 0, Fpgas::State::Error, "revision"}, [] { auto s = GoodSet(); s[0] = Image({0, 2, 525}); return s; }()},
        {{"other standard", 3, Fpgas::State::Error, "625"}, [] { auto s = GoodSet(); s[3] = Image({3, 3, 625}); return s; }()},
        {{"image on the wrong line", 0, Fpgas::State::Error, "FPGA 1"},
         [] { auto s = GoodSet(); s[0] = s[1]; return s; }()},
        // The longest image cut short: the stream ends before it does.
        {{"truncated", 3, Fpgas::State::Waiting, ""}, set(3, [](Bytes& b) { b.resize(b.size() - 20); })},
        // A shorter one cut short takes the zero bits of the tail as its own.
        {{"truncated, padded by the tail", 2, Fpgas::State::Error, "CRC"},
         set(2, [](Bytes& b) { b.resize(b.size() - 10); })},
        {{"payload past the limit", 1, Fpgas::State::Error, "too long"},
         set(1, [](Bytes& b) { uint32_t n = fpga::kMaxPayload + 1; std::memcpy(&b[12], &n, 4); })},
    };
    for (const auto& [c, images] : cases) {
        SCOPED_TRACE(c.what);
        Pulse();
        Send(Interleave(images));
        EXPECT_FALSE(Configured());
        EXPECT_EQ(F().StateOf(c.fpga), c.state);
        EXPECT_NE(F().ErrorOf(c.fpga).find(c.reason), std::string::npos) << F().ErrorOf(c.fpga);
        for (int d = 0; d < 4; ++d) {
            if (d == c.fpga) continue;
            EXPECT_NE(F().StateOf(d), Fpgas::State::Error) << d;
        }
    }

    // Bits sent most significant first: every FPGA misses the magic.
    Pulse();
    Send(Interleave(GoodSet(), true));
    EXPECT_FALSE(Configured());
    for (int d = 0; d < 4; ++d) EXPECT_EQ(F().StateOf(d), Fpgas::State::Error);

    // A stream sent without the pulse after an error is not taken.
    Send(Interleave(GoodSet()));
    EXPECT_FALSE(Configured());
}

TEST_F(FpgaFixture, StandardFieldZeroServesEitherBoard)
{
    for (int standard : {525, 625}) {
        BoardOptions o;
        o.standard = standard;
        Make(o);
        Pulse();
        Send(Interleave(GoodSet(3, 0)));
        EXPECT_TRUE(Configured()) << standard;
    }
}

TEST_F(FpgaFixture, TheLongestImageNeedsItsStartUpClocks)
{
    Pulse();
    Send(Interleave(GoodSet()), 0);
    EXPECT_FALSE(Configured());
    EXPECT_EQ(F().StateOf(3), Fpgas::State::StartUp) << "the longest image ends with the stream";
    EXPECT_EQ(F().StateOf(0), Fpgas::State::Running) << "the others started on the longer images' tails";
    for (uint32_t i = 0; i + 1 < fpga::kStartupClocks; ++i) board->Regs().Write(fpga::kDataAddress, 0);
    EXPECT_FALSE(Configured());
    board->Regs().Write(fpga::kDataAddress, 0);
    EXPECT_TRUE(Configured());
}

TEST_F(FpgaFixture, ProgramLineHeldLowIgnoresTheStream)
{
    uint32_t g = Read(kGpioCtrl);
    Write(kGpioCtrl, (g & ~0xBFu) | 0x40);
    Send(Interleave(GoodSet()));
    EXPECT_FALSE(Configured());
    for (int d = 0; d < 4; ++d) EXPECT_EQ(F().StateOf(d), Fpgas::State::Cleared);
    Write(kGpioCtrl, (g & ~0xAFu) | 0x50);
    Send(Interleave(GoodSet()));
    EXPECT_TRUE(Configured());
}

TEST_F(FpgaFixture, LoaderSequenceThroughTheBridge)
{
    // GPIO through the bridge, every byte as a programmed DEBI write of two
    // bytes to 0xFFFE, then the read the loader does when it is done.
    Pulse();
    Write(kDebiConfig, 0x8A0000);
    Bytes stream = Interleave(GoodSet());
    stream.insert(stream.end(), 64, 0);
    for (uint8_t b : stream) {
        int polls = 0;
        while (Read(kPsr) & kPsrDebiBusy) ASSERT_LT(++polls, 1000);
        Write(kDebiCommand, 0x4FFFE);
        Write(kDebiAd, b);
        Write(kMc2, 0x00020002);
    }
    EXPECT_TRUE(Configured());
    EXPECT_EQ(F().Clocks(), stream.size());
}

TEST_F(FpgaFixture, AProgramPulseStopsTheCodecsTheFpgasControl)
{
    Pulse();
    Send(Interleave(GoodSet()));
    ASSERT_TRUE(Configured());
    board->Regs().Write(jpeg::kCodecControl, jpeg::kControlResetN | jpeg::kControlRun);
    ASSERT_EQ(board->Jpeg().CodecControl(), jpeg::kControlResetN | jpeg::kControlRun);

    Pulse();
    EXPECT_FALSE(Configured());
    EXPECT_EQ(board->Jpeg().CodecControl(), 0) << "codecs still running on an unconfigured board";
}
