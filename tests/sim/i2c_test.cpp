// The bridge's I2C master with the board's devices behind it: transfer
// words as the driver programs them (a write, a read in two phases), the
// modelled time, completion and error status, and what the EEPROM, decoder
// and encoders keep.
#include "sim/i2c.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include <unistd.h>

#include "tests/support/fake_host.h"
#include "sim/board.h"

using namespace sim;
using namespace sim::saa7146;

namespace {

constexpr uint32_t kWriteAttrs = 0xE4;  // start, continue, stop
constexpr uint32_t kReadAttrs = 0xEC;   // start, continue, repeated start
constexpr uint32_t kSecondPhase = 0x40; // clock in byte 3, stop

uint32_t WriteWord(uint8_t device, uint8_t reg, uint8_t data)
{
    return uint32_t(device) << 24 | uint32_t(reg) << 16 | uint32_t(data) << 8 | kWriteAttrs;
}
uint32_t ReadWord(uint8_t device, uint8_t reg)
{
    return uint32_t(device) << 24 | uint32_t(reg) << 16 | uint32_t(device | 1) << 8 | kReadAttrs;
}

struct I2cFixture : ::testing::Test {
    simtest::FakeHost host;
    std::unique_ptr<Board> board;

    void Make(BoardOptions options = {})
    {
        board = std::make_unique<Board>(options);
        board->Attach(&host);
        board->Reset();
    }
    void SetUp() override { Make(); }

    void Write(uint32_t off, uint32_t v) { board->MmioWrite(0, off, v, 4); }
    uint32_t Read(uint32_t off) { return board->MmioRead(0, off, 4); }

    // Programs one word and uploads it, as the driver's start routine does.
    void Start(uint32_t word)
    {
        Write(kI2cTransfer, word);
        Write(kMc2, 0x00010001);
    }
    // Runs the machine until the engine latches a result; returns the ISR
    // bits it latched (then acknowledged).
    uint32_t Finish()
    {
        for (int i = 0; i < 10 && !(Read(kIsr) & (kIrqI2cDone | kIrqI2cError)); ++i) host.Step();
        uint32_t isr = Read(kIsr) & (kIrqI2cDone | kIrqI2cError);
        Write(kIsr, isr);
        return isr;
    }
    uint32_t Transfer(uint32_t word)
    {
        Start(word);
        return Finish();
    }
    // The driver's register write: true when it completed without error.
    bool RegWrite(uint8_t device, uint8_t reg, uint8_t data) { return Transfer(WriteWord(device, reg, data)) == kIrqI2cDone; }
    // The driver's register read, both phases; -1 on an error.
    int RegRead(uint8_t device, uint8_t reg)
    {
        if (Transfer(ReadWord(device, reg)) != kIrqI2cDone) return -1;
        if (Transfer(kSecondPhase) != kIrqI2cDone) return -1;
        return int(Read(kI2cTransfer) >> 24);
    }
    // Lets an EEPROM write cycle end.
    void Wait(uint64_t ns) { host.RunUntil(host.Now() + ns); }
};

}  // namespace

TEST_F(I2cFixture, WriteTakesItsBusTimeThenLatchesDone)
{
    Write(kIer, kIrqI2cDone | kIrqI2cError);
    uint64_t t0 = host.Now();
    Start(WriteWord(0x4A, 0x08, 0x69));
    EXPECT_EQ(Read(kI2cStatus) & 0xFF, i2c::kStatusBusy);
    // Start + 3 bytes + stop at 10 us a bit.
    uint64_t duration = I2cMaster::TransferNs(WriteWord(0x4A, 0x08, 0x69));
    EXPECT_EQ(duration, 29u * 10'000u);
    host.RunUntil(t0 + duration - 1);
    EXPECT_EQ(Read(kIsr) & (kIrqI2cDone | kIrqI2cError), 0u);
    EXPECT_EQ(board->Decoder().Register(0x08), 0u) << "bytes move at the end";
    EXPECT_FALSE(host.Line(board.get()));

    host.RunUntil(t0 + duration);
    EXPECT_EQ(Read(kIsr) & (kIrqI2cDone | kIrqI2cError), kIrqI2cDone);
    EXPECT_TRUE(host.Line(board.get()));
    EXPECT_EQ(Read(kI2cStatus) & 0xFF, 0u);
    EXPECT_EQ(board->Decoder().Register(0x08), 0x69);
    EXPECT_EQ(board->Decoder().WriteCount(0x08), 1u);
}

TEST_F(I2cFixture, ReadRunsInTwoPhasesAndLeavesTheByteOnTop)
{
    board->EepromUnit().SetByte(41, 0x02);
    EXPECT_EQ(Transfer(ReadWord(0xA0, 41)), kIrqI2cDone);
    // First phase: address, sub-address and the read address go out; no data yet.
    EXPECT_EQ(Read(kI2cTransfer), ReadWord(0xA0, 41));
    EXPECT_EQ(Transfer(kSecondPhase), kIrqI2cDone);
    EXPECT_EQ(Read(kI2cTransfer), 0x02000000u | kSecondPhase);
    EXPECT_EQ(Read(kI2cStatus) & 0xFF, 0u);

    // The stop released the bus: a second-phase word alone is a sequence error.
    EXPECT_EQ(Transfer(kSecondPhase), kIrqI2cError);
    EXPECT_EQ(Read(kI2cStatus) & 0xFF, i2c::kStatusError | i2c::kStatusSequence);
}

TEST_F(I2cFixture, RefusalsSetTheErrorBitsAndLatchOnlyTheErrorStatus)
{
    struct Case {
        const char* what;
        uint32_t word;
        uint32_t bits;
    };
    const Case cases[] = {
        {"nobody at the address", WriteWord(0x5A, 0x8C, 0x80), i2c::kStatusNoAddressAck},
        {"nobody at a read address", ReadWord(0x62, 0x8C), i2c::kStatusNoAddressAck},
        {"continue on an idle bus", 0x00004800 | 0x08, i2c::kStatusSequence},
    };
    Write(kIer, kIrqI2cDone | kIrqI2cError);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Transfer(c.word), kIrqI2cError);
        EXPECT_EQ(Read(kI2cStatus) & 0xFF, i2c::kStatusError | c.bits);
        // The bus is free again: the next register read works.
        EXPECT_EQ(RegRead(0xA0, 3), 0x52);
    }
    EXPECT_EQ(board->I2c().GetStats().errors, 3u);
}

TEST_F(I2cFixture, EepromRefusesItsAddressDuringTheWriteCycle)
{
    EXPECT_TRUE(RegWrite(0xA0, 42, 7));
    EXPECT_EQ(Transfer(ReadWord(0xA0, 42)), kIrqI2cError);
    EXPECT_EQ(Read(kI2cStatus) & 0xFF, i2c::kStatusError | i2c::kStatusNoAddressAck);
    Wait(eeprom::kWriteCycleNs);
    EXPECT_EQ(RegRead(0xA0, 42), 7);
    EXPECT_EQ(board->EepromUnit().WriteCycles(), 1u);
    // A read starts no write cycle.
    EXPECT_EQ(RegRead(0xA0, 43), 0xFF);
}

TEST_F(I2cFixture, TransactionsSpanWordsUntilAStop)
{
    // Two data bytes across two words: the pointer advances and wraps in its
    // 8-byte page.
    Start(0xA0000000u | 7u << 16 | 0x11u << 8 | 0xE8);  // start, sub 7, data, no stop
    ASSERT_EQ(Finish(), kIrqI2cDone);
    Start(0x22000000u | kSecondPhase);  // data with stop
    ASSERT_EQ(Finish(), kIrqI2cDone);
    Wait(eeprom::kWriteCycleNs);
    EXPECT_EQ(board->EepromUnit().Byte(7), 0x11);
    EXPECT_EQ(board->EepromUnit().Byte(0), 0x22);
    EXPECT_EQ(board->EepromUnit().Byte(8), 0xFF);

    // Sequential read: each further word clocks in the next byte.
    ASSERT_EQ(Transfer(ReadWord(0xA0, 2)), kIrqI2cDone);
    ASSERT_EQ(Transfer(0x80), kIrqI2cDone);  // continue: byte 3, master acknowledges
    EXPECT_EQ(Read(kI2cTransfer) >> 24, 0x5Au);
    ASSERT_EQ(Transfer(kSecondPhase), kIrqI2cDone);
    EXPECT_EQ(Read(kI2cTransfer) >> 24, 0x52u);
}

TEST_F(I2cFixture, CleanupAbortsAHungTransferAndZeroWordsDoNothing)
{
    board->I2c().SetHang(true);
    Start(WriteWord(0x8C, 0x3A, 0x2B));
    host.RunUntil(host.Now() + 1'000'000'000);
    EXPECT_EQ(Read(kI2cStatus) & i2c::kStatusBusy, i2c::kStatusBusy);
    EXPECT_EQ(Read(kIsr) & (kIrqI2cDone | kIrqI2cError), 0u);
    // A new word while busy is refused.
    Start(WriteWord(0x88, 0x3A, 0x2B));
    EXPECT_EQ(board->I2c().GetStats().refused, 1u);

    // The driver's error clean-up: abort, then zero words and status.
    Write(kI2cStatus, i2c::kStatusAbort);
    Write(kMc2, 0x00010001);
    for (int pass = 0; pass < 2; ++pass) {
        Write(kI2cTransfer, 0);
        Write(kMc2, 0x00010001);
        Write(kI2cStatus, 0);
        Write(kMc2, 0x00010001);
    }
    EXPECT_FALSE(board->I2c().Busy());
    EXPECT_EQ(Read(kI2cStatus) & 0xFF, 0u);
    EXPECT_EQ(host.PendingEvents(), size_t(1)) << "only the field clock";
    EXPECT_EQ(Read(kIsr) & (kIrqI2cDone | kIrqI2cError), 0u);
    EXPECT_EQ(board->Encoder(0).TotalWrites(), 0u);

    board->I2c().SetHang(false);
    EXPECT_TRUE(RegWrite(0x88, 0x3A, 0x2B));
    EXPECT_EQ(board->Encoder(1).Register(0x3A), 0x2B);
}

TEST_F(I2cFixture, MasterResetDropsTheTransferInFlight)
{
    Start(WriteWord(0x4A, 0x02, 0xC0));
    Write(kMc1, 0x80000000);  // master reset
    Write(kMc1, 0x80008000);
    host.RunUntil(host.Now() + 1'000'000);
    EXPECT_EQ(Read(kIsr) & (kIrqI2cDone | kIrqI2cError), 0u);
    EXPECT_EQ(board->Decoder().Register(0x02), 0u);
    EXPECT_TRUE(RegWrite(0x4A, 0x02, 0xC0));
}

// ---- EEPROM contents ----

TEST_F(I2cFixture, DefaultEepromIsValidWithTheBoardsOptions)
{
    BoardOptions o;
    o.boardRevision = 2;
    o.eeprom.support625 = 0;
    o.eeprom.support24Fps = 1;
    o.eeprom.calibration = {120, 130, 140, 150};
    o.eeprom.hardwareId = "SN123456";
    Make(o);
    EXPECT_EQ(RegRead(0xA0, 2), 0x5A);
    EXPECT_EQ(RegRead(0xA0, 3), 0x52);
    EXPECT_EQ(RegRead(0xA0, 16), 0);
    EXPECT_EQ(RegRead(0xA0, 48), 1);
    EXPECT_EQ(RegRead(0xA0, 41), 2);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(RegRead(0xA0, uint8_t(20 + i)), 120 + 10 * i);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(RegRead(0xA0, uint8_t(42 + i)), 0xFF) << "no image chosen yet";
    std::string id;
    for (int at = 24; at < 41; ++at) {
        int c = RegRead(0xA0, uint8_t(at));
        if (c == 0) break;
        id += char(c);
    }
    EXPECT_EQ(id, "SN123456");

    // The factory defaults: 625 lines and 24 fps allowed, revision 3.
    EepromImage factory = MakeEepromImage();
    EXPECT_EQ(factory[16], 1);
    EXPECT_EQ(factory[48] & 1, 1);
    EXPECT_EQ(factory[41], 3);
}

TEST_F(I2cFixture, BlankEepromFailsTheValidityBytes)
{
    BoardOptions o;
    o.eepromBlank = true;
    Make(o);
    EXPECT_NE((RegRead(0xA0, 2) << 8) | RegRead(0xA0, 3), 0x5A52);
    EXPECT_EQ(RegRead(0xA0, 41), 0xFF);
}

TEST_F(I2cFixture, EepromFileKeepsWritesAcrossBoards)
{
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 ("zar_eeprom_" + std::to_string(::getpid()) + ".bin");
    std::filesystem::remove(path);
    BoardOptions o;
    o.eepromPath = path.string();
    o.boardRevision = 2;
    Make(o);
    EXPECT_FALSE(std::filesystem::exists(path)) << "created at the first write";
    ASSERT_TRUE(RegWrite(0xA0, 44, 5));
    Wait(eeprom::kWriteCycleNs);
    ASSERT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(std::filesystem::file_size(path), 256u);

    // A new board on the same file (different option fields) reads the file.
    o.boardRevision = 3;
    Make(o);
    EXPECT_EQ(RegRead(0xA0, 44), 5);
    EXPECT_EQ(RegRead(0xA0, 41), 2);
    std::filesystem::remove(path);
}

// ---- Video chips ----

TEST_F(I2cFixture, VideoChipsKeepTheirOwnRegisters)
{
    EXPECT_TRUE(RegWrite(0x4A, 0x10, 0x0C));
    EXPECT_TRUE(RegWrite(0x8C, 0x63, 0x1F));
    EXPECT_TRUE(RegWrite(0x88, 0x63, 0xCB));
    EXPECT_TRUE(RegWrite(0x88, 0x63, 0xCB));
    EXPECT_EQ(board->Decoder().Register(0x10), 0x0C);
    EXPECT_EQ(board->Encoder(0).Register(0x63), 0x1F);
    EXPECT_EQ(board->Encoder(1).Register(0x63), 0xCB);
    EXPECT_EQ(board->Encoder(1).WriteCount(0x63), 2u);
    EXPECT_EQ(board->Encoder(0).Register(0x10), 0u);
    EXPECT_EQ(RegRead(0x8C, 0x63), 0x1F);

    // The status registers are read-only.
    EXPECT_TRUE(RegWrite(0x4A, 0x1F, 0x00));
    EXPECT_EQ(RegRead(0x4A, 0x1F), 0xA0);

    board->Reset();
    EXPECT_EQ(board->Decoder().Register(0x10), 0u);
    EXPECT_EQ(board->Encoder(1).Register(0x63), 0u);
}

TEST_F(I2cFixture, DecoderStatusFollowsTheInput)
{
    struct Case {
        VideoInput input;
        int lines;
        int status;   // 0x1F
        int quality;  // 0x60
    };
    const Case cases[] = {
        {VideoInput::Locked, 525, 0xA0, 0x00},
        {VideoInput::Locked, 625, 0x80, 0x00},
        {VideoInput::Noisy, 525, 0xA0, 0x04},
        {VideoInput::Absent, 525, 0x40, 0x04},
        {VideoInput::Absent, 625, 0x40, 0x04},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.input) << " " << c.lines);
        board->Decoder().SetInput(c.input, c.lines);
        EXPECT_EQ(RegRead(0x4A, 0x1F), c.status);
        EXPECT_EQ(RegRead(0x4A, 0x60), c.quality);
    }

    // The machine's option: no signal at a 625-line board.
    BoardOptions o;
    o.standard = 625;
    o.videoInput = VideoInput::Absent;
    Make(o);
    EXPECT_EQ(RegRead(0x4A, 0x1F) & 0x40, 0x40);
    board->Decoder().SetInput(VideoInput::Locked, 625);
    EXPECT_EQ(RegRead(0x4A, 0x1F), 0x80);
}
