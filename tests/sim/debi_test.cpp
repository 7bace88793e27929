// The DEBI engine as the driver drives it: programmed accesses with the
// configuration of each address range, busy time and the done interrupt,
// block transfers through a page table or one contiguous buffer, and the
// board's SDRAM window.
#include "sim/debi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <vector>

#include "tests/support/fake_host.h"
#include "sim/board.h"

using namespace sim;
using namespace sim::saa7146;
using namespace sim::debi;

namespace {

// A fake host with one range of bus memory; anything else is unmapped.
class MemoryHost : public simtest::FakeHost {
public:
    static constexpr uint32_t kBase = 0x00100000;
    static constexpr uint32_t kSize = 0x00100000;
    std::vector<uint8_t> memory = std::vector<uint8_t>(kSize, 0);

    bool DmaRead(uint32_t bus, void* data, uint32_t length) override
    {
        if (!Mapped(bus, length)) {
            std::memset(data, 0xFF, length);
            return false;
        }
        std::memcpy(data, &memory[bus - kBase], length);
        return true;
    }
    bool DmaWrite(uint32_t bus, const void* data, uint32_t length) override
    {
        if (!Mapped(bus, length)) return false;
        std::memcpy(&memory[bus - kBase], data, length);
        return true;
    }
    uint8_t* At(uint32_t bus) { return &memory[bus - kBase]; }

private:
    static bool Mapped(uint32_t bus, uint32_t length)
    {
        return bus >= kBase && uint64_t(bus) + length <= uint64_t(kBase) + kSize;
    }
};

constexpr uint32_t kConfigDefault = 0x008A0000;
constexpr uint32_t kConfigScsi = 0x014A0000;
constexpr uint32_t kConfigTimeCode = 0x01CE0000;
constexpr uint32_t kConfigSdram = 0x104A0000;

struct DebiFixture : ::testing::Test {
    MemoryHost host;
    Board board;
    Debi& debi = board.DebiUnit();

    void SetUp() override
    {
        host.SetNow(5'000);
        board.Attach(&host);
        board.Reset();
    }
    void Write(uint32_t off, uint32_t v) { board.MmioWrite(0, off, v, 4); }
    uint32_t Read(uint32_t off) { return board.MmioRead(0, off, 4); }

    // The driver's wait: PSR polls with a 1-microsecond stall between them.
    // Returns the polls it took; 0 means it was idle at once.
    int WaitIdle(int limit = 100'000)
    {
        for (int polls = 0; polls < limit; ++polls) {
            if (!(Read(kPsr) & kPsrDebiBusy)) return polls;
            host.RunUntil(host.Now() + 1'000);
        }
        ADD_FAILURE() << "DEBI never went idle";
        return limit;
    }
    // The driver's programmed access (interrupt off, configuration per range).
    void Pio(uint32_t config, uint32_t command, uint32_t data = 0)
    {
        WaitIdle();
        Write(kIer, Read(kIer) & ~kIrqDebiDone);
        Write(kDebiConfig, config);
        Write(kDebiCommand, command);
        if (!(command & kCommandRead)) Write(kDebiAd, data);
        Write(kMc2, 0x00020002);
    }
    void PioWrite(uint32_t address, uint16_t value, uint32_t config = kConfigDefault)
    {
        Pio(config, address | 0x40000, value);
    }
    uint16_t PioRead(uint32_t address, uint32_t config = kConfigDefault)
    {
        Pio(config, address | 0x50000);
        WaitIdle();
        return uint16_t(Read(kDebiAd));
    }
    // One block transfer as the DMA start routines program it.
    void StartBlock(uint32_t config, uint32_t address, uint32_t bytes, bool toHost, uint32_t page, uint32_t ad)
    {
        Write(kDebiConfig, config);
        Write(kDebiCommand, (address & 0xFFFF) | (toHost ? kCommandRead : 0) | (bytes << kCommandCountShift));
        Write(kDebiPage, page);
        Write(kDebiAd, ad);
        Write(kMc2, 0x00020002);
    }
    void SetWindow(uint16_t block, uint16_t modeBits)
    {
        PioWrite(kWindowMode, modeBits);
        PioWrite(kWindowBlock, block);
        WaitIdle();
    }
    void Fill(uint32_t bus, uint32_t bytes, uint8_t seed)
    {
        for (uint32_t i = 0; i < bytes; ++i) *host.At(bus + i) = uint8_t(seed + i * 7 + (i >> 8));
    }
    std::vector<uint8_t> SdramBytes(uint32_t block, uint32_t mode, uint32_t bytes)
    {
        std::vector<uint8_t> out(bytes);
        board.Memory().Read(block, mode, 0, out.data(), bytes);
        return out;
    }
};

}  // namespace

TEST_F(DebiFixture, ProgrammedAccessesReachBoardRegistersAtEveryWidth)
{
    PioWrite(0x5C00, 0xBEEF);
    EXPECT_EQ(board.Regs().Peek(0x5C00), 0xBEEF);
    board.Regs().Write(0xB840, 0x0012);
    EXPECT_EQ(PioRead(0xB840), 0x0012);
    EXPECT_EQ(PioRead(0x5C00), 0xBEEF);

    // Immediate transfers are 1 to 4 bytes of DEBI_AD: two registers past 2.
    struct Case {
        uint32_t count;
        uint32_t data;
        uint16_t low, high;   // registers 0x4000 and 0x4002 afterwards
        uint32_t readBack;    // DEBI_AD after a read of the same width
    } cases[] = {
        {1, 0x12345678, 0x0078, 0xAAAA, 0x78},
        {2, 0x12345678, 0x5678, 0xAAAA, 0x5678},
        {3, 0x12345678, 0x5678, 0x0034, 0x345678},
        {4, 0x12345678, 0x5678, 0x1234, 0x12345678},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.count);
        board.Regs().Write(0x4000, 0xAAAA);
        board.Regs().Write(0x4002, 0xAAAA);
        Pio(kConfigDefault, 0x4000 | (c.count << kCommandCountShift), c.data);
        EXPECT_EQ(board.Regs().Peek(0x4000), c.low);
        EXPECT_EQ(board.Regs().Peek(0x4002), c.high);
        Pio(kConfigDefault, 0x4000 | kCommandRead | (c.count << kCommandCountShift));
        WaitIdle();
        EXPECT_EQ(Read(kDebiAd), c.readBack);
    }
    EXPECT_EQ(debi.GetStats().refused, 0u);
}

TEST_F(DebiFixture, BusyLastsTheConfiguredTimeAndDoneLatchesOnlyWhenEnabled)
{
    struct Case {
        uint32_t config;
        uint64_t ns;
    } cases[] = {
        {kConfigDefault, 240},   // (4 + 2 + 2) clocks of 30 ns
        {kConfigScsi, 330},
        {kConfigTimeCode, 390},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.config);
        EXPECT_EQ(TransferNs(c.config, 2, false), c.ns);

        // Interrupt off, as every programmed access runs: busy, then idle;
        // done latches all the same, without raising the line.
        Write(kIsr, 0xFFFFFFFF);
        uint64_t start = host.Now();
        Pio(c.config, 0x5C00 | 0x50000);
        EXPECT_TRUE(debi.Busy());
        host.RunUntil(start + c.ns - 1);
        EXPECT_TRUE(debi.Busy());
        host.RunUntil(start + c.ns);
        EXPECT_FALSE(debi.Busy());
        EXPECT_EQ(Read(kIsr) & kIrqDebiDone, kIrqDebiDone) << "done latches with its interrupt off";
        EXPECT_FALSE(host.Line(&board));
        EXPECT_EQ(host.PendingEvents(), 1u) << "only the field clock: no event for a polled transfer";
        Write(kIsr, kIrqDebiDone);

        // Interrupt on: the done status and INTA# come at the end, by time alone.
        start = host.Now();
        Write(kIer, kIrqDebiDone);
        Write(kDebiConfig, c.config);
        Write(kDebiCommand, 0x5C00 | 0x50000);
        Write(kMc2, 0x00020002);
        host.RunUntil(start + c.ns - 1);
        EXPECT_FALSE(host.Line(&board));
        EXPECT_EQ(board.Bridge().Psr() & kPsrDebiBusy, kPsrDebiBusy);
        host.RunUntil(start + c.ns);
        EXPECT_TRUE(host.Line(&board));
        EXPECT_EQ(Read(kIsr) & kIrqDebiDone, kIrqDebiDone);
        EXPECT_EQ(Read(kPsr) & kPsrDebiBusy, 0u);
        Write(kIsr, kIrqDebiDone);
        Write(kIer, 0);
    }
}

TEST_F(DebiFixture, SpinningOnTheBusyBitEndsWithoutTheClockMoving)
{
    // The FPGA loader spins on PSR with no stall: each read is bus time.
    SetWindow(0, 0);
    Fill(MemoryHost::kBase, 4096, 1);
    StartBlock(kConfigSdram, 0x9000, 4096, false, 0, MemoryHost::kBase);
    uint64_t ns = TransferNs(kConfigSdram, 4096, true);
    EXPECT_EQ(ns, (4 + 2048 * 2) * 30u);
    uint64_t reads = 0;
    while (Read(kPsr) & kPsrDebiBusy) ASSERT_LT(++reads, 10'000u);
    EXPECT_EQ(reads + 1, (ns + 119) / 120) << "one read is 4 PCI clocks";

    // The driver always waits for idle; an upload that does not is refused.
    PioWrite(0x5C00, 1);
    Write(kDebiCommand, 0x5C00 | 0x40000);
    Write(kDebiAd, 2);
    Write(kMc2, 0x00020002);
    EXPECT_EQ(board.Regs().Peek(0x5C00), 1);
    EXPECT_EQ(debi.GetStats().refused, 1u);
}

TEST_F(DebiFixture, BlocksReachHostMemoryThroughThePageTableOrOneBuffer)
{
    // Five 4 KB pages of a user buffer, scattered in reverse order in bus
    // memory; the page table lives in its own page.
    constexpr uint32_t kTable = MemoryHost::kBase;
    constexpr uint32_t kPages = MemoryHost::kBase + 0x10000;
    auto physicalOf = [&](uint32_t index) { return kPages + (4 - index) * 0x2000; };
    for (uint32_t i = 0; i < 5; ++i) {
        uint32_t entry = physicalOf(i);
        std::memcpy(host.At(kTable + 4 * i), &entry, 4);
    }
    constexpr uint32_t kStart = 0xF00;   // offset in the first page
    constexpr uint32_t kBytes = 9000;    // runs over three page boundaries
    std::vector<uint8_t> data(kBytes);
    std::iota(data.begin(), data.end(), uint8_t(3));
    for (uint32_t done = 0, linear = kStart; done < kBytes;) {
        uint32_t n = std::min(kBytes - done, 0x1000 - (linear & 0xFFF));
        std::memcpy(host.At(physicalOf(linear >> 12) + (linear & 0xFFF)), &data[done], n);
        done += n;
        linear += n;
    }

    struct Case {
        const char* name;
        uint32_t page, ad;
    } cases[] = {
        {"paged", kTable | kPageMmu, kStart},
        {"physical", 0, 0},
    };
    // The physical case reads one contiguous copy of the same bytes.
    constexpr uint32_t kContiguous = MemoryHost::kBase + 0x40000;
    std::memcpy(host.At(kContiguous), data.data(), kBytes);
    cases[1].ad = kContiguous;

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        board.Memory().Reset();
        SetWindow(100, 0);
        StartBlock(kConfigSdram, 0x9000, kBytes, false, c.page, c.ad);
        WaitIdle();
        EXPECT_EQ(SdramBytes(100, 0, kBytes), data);

        // And back to the host, over what was there.
        if (c.page & kPageMmu) {
            for (uint32_t i = 0; i < 5; ++i) std::memset(host.At(physicalOf(i)), 0, 0x1000);
        } else {
            std::memset(host.At(kContiguous), 0, kBytes);
        }
        SetWindow(100, 0);
        StartBlock(kConfigSdram, 0x9000, kBytes, true, c.page, c.ad);
        WaitIdle();
        std::vector<uint8_t> back(kBytes);
        if (c.page & kPageMmu) {
            for (uint32_t done = 0, linear = kStart; done < kBytes;) {
                uint32_t n = std::min(kBytes - done, 0x1000 - (linear & 0xFFF));
                std::memcpy(&back[done], host.At(physicalOf(linear >> 12) + (linear & 0xFFF)), n);
                done += n;
                linear += n;
            }
        } else {
            std::memcpy(back.data(), host.At(kContiguous), kBytes);
        }
        EXPECT_EQ(back, data);
        EXPECT_EQ(*host.At(physicalOf(0) + kStart - 1), 0) << "nothing before the buffer";
    }
    EXPECT_EQ(debi.GetStats().hostFaults, 0u);

    // A page table entry pointing nowhere is counted, not fatal.
    uint32_t nowhere = 0x7000'0000;
    std::memcpy(host.At(kTable + 4), &nowhere, 4);
    SetWindow(100, 0);
    StartBlock(kConfigSdram, 0x9000, kBytes, false, kTable | kPageMmu, kStart);
    WaitIdle();
    EXPECT_EQ(debi.GetStats().hostFaults, 1u);
}

TEST_F(DebiFixture, BlockLengthStopsAt32752Bytes)
{
    Fill(MemoryHost::kBase, kMaxBlockBytes + 16, 9);
    struct Case {
        uint32_t bytes;
        bool accepted;
    } cases[] = {{kMaxBlockBytes, true}, {kMaxBlockBytes + 1, false}, {0x7FFF, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        board.Memory().Reset();
        SetWindow(0, 0);
        uint64_t refused = debi.GetStats().refused;
        StartBlock(kConfigSdram, 0x9000, c.bytes, false, 0, MemoryHost::kBase);
        EXPECT_EQ(debi.Busy(), c.accepted);
        WaitIdle();
        auto got = SdramBytes(0, 0, kMaxBlockBytes + 16);
        uint32_t moved = c.accepted ? c.bytes : 0;
        EXPECT_TRUE(std::equal(got.begin(), got.begin() + moved, host.At(MemoryHost::kBase)));
        EXPECT_TRUE(std::all_of(got.begin() + moved, got.end(), [](uint8_t b) { return b == 0; }));
        EXPECT_EQ(debi.GetStats().refused, refused + (c.accepted ? 0 : 1));
    }
}

TEST_F(DebiFixture, SdramWindowFollowsBlockAndModeRegisters)
{
    const uint32_t kBus = MemoryHost::kBase;
    Fill(kBus, 4096, 0x40);

    // Linear (mode 0): a transfer starts at the block register's block and
    // the next one continues behind it.
    SetWindow(10, 0x0000);
    EXPECT_EQ(PioRead(kWindowBlock), 10);
    StartBlock(kConfigSdram, 0x9000, 1024, false, 0, kBus);
    WaitIdle();
    StartBlock(kConfigSdram, 0x9000, 1024, false, 0, kBus + 1024);
    WaitIdle();
    EXPECT_TRUE(std::equal(host.At(kBus), host.At(kBus + 2048), SdramBytes(10, 0, 2048).begin()));
    EXPECT_EQ(debi.WindowBlock(), 14u);

    // Ring (mode 2, bits 13-10 = 1010b): wraps from block 7935 to block 0
    // inside one transfer, and reads back the same way.
    SetWindow(7935, 0x2800);
    EXPECT_EQ(PioRead(kWindowMode), 0x2800);
    StartBlock(kConfigSdram, 0x9000, 1024, false, 0, kBus + 2048);
    WaitIdle();
    auto last = SdramBytes(7935, 0, 512);
    auto first = SdramBytes(0, 0, 512);
    EXPECT_TRUE(std::equal(last.begin(), last.end(), host.At(kBus + 2048)));
    EXPECT_TRUE(std::equal(first.begin(), first.end(), host.At(kBus + 2560)));
    EXPECT_EQ(debi.WindowBlock(), 1u);

    SetWindow(7935, 0x2800);
    StartBlock(kConfigSdram, 0x9000, 1024, true, 0, kBus + 8192);
    WaitIdle();
    EXPECT_TRUE(std::equal(host.At(kBus + 2048), host.At(kBus + 3072), host.At(kBus + 8192)));

    // Programmed accesses in the window move SDRAM words and advance too.
    SetWindow(20, 0x0000);
    PioWrite(0x9000, 0x1234);
    PioWrite(0x9000, 0x5678);
    EXPECT_EQ(SdramBytes(20, 0, 4), (std::vector<uint8_t>{0x34, 0x12, 0x78, 0x56}));
    SetWindow(20, 0x0000);
    EXPECT_EQ(PioRead(0x9000), 0x1234);
    EXPECT_EQ(PioRead(0x9000), 0x5678);

    // The board's DEBI state machine reports idle unless a fault holds it.
    EXPECT_EQ(PioRead(0xBC00) & kStatusWindowBusy, 0);
    debi.SetWindowStateMachineStuck(true);
    EXPECT_EQ(PioRead(0xBC00) & kStatusWindowBusy, kStatusWindowBusy);
}

TEST_F(DebiFixture, AccessLogKeepsTheConfigurationOfEveryAccess)
{
    PioWrite(0x5C00, 1);   // before logging: not kept
    debi.EnableAccessLog(true);
    PioRead(0xA010, kConfigScsi);
    PioWrite(0xAC04, 7, kConfigTimeCode);
    PioWrite(0xB840, 2);
    SetWindow(0, 0);
    StartBlock(kConfigSdram, 0x9000, 512, true, 0, MemoryHost::kBase);
    WaitIdle();
    debi.EnableAccessLog(false);
    PioWrite(0x5C00, 2);

    struct Expect {
        uint32_t address, config, bytes;
        bool read;
    } expect[] = {
        {0xA010, kConfigScsi, 2, true},       {0xAC04, kConfigTimeCode, 2, false},
        {0xB840, kConfigDefault, 2, false},   {kWindowMode, kConfigDefault, 2, false},
        {kWindowBlock, kConfigDefault, 2, false}, {0x9000, kConfigSdram, 512, true},
    };
    const auto& log = debi.AccessLog();
    ASSERT_EQ(log.size(), std::size(expect));
    for (size_t i = 0; i < log.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(log[i].Address(), expect[i].address);
        EXPECT_EQ(log[i].config, expect[i].config);
        EXPECT_EQ(log[i].Bytes(), expect[i].bytes);
        EXPECT_EQ(log[i].IsRead(), expect[i].read);
        EXPECT_FALSE(log[i].refused);
    }
    EXPECT_EQ(log[1].ad, 7u) << "an immediate keeps the data it moved";
    EXPECT_EQ(log[5].ad, MemoryHost::kBase) << "a block keeps its host address";
    EXPECT_EQ(log[5].durationNs, TransferNs(kConfigSdram, 512, true));
}

TEST_F(DebiFixture, RegisterBlocksWriteAPortOrIncrementingAddresses)
{
    std::vector<std::pair<uint32_t, uint16_t>> writes;
    board.Regs().MapRange(0xC000, 0xDFFF, [](uint32_t a) { return uint16_t(a); },
                          [&](uint32_t a, uint16_t v) { writes.push_back({a, v}); });
    const uint32_t kBus = MemoryHost::kBase;
    const uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
    std::memcpy(host.At(kBus), bytes, sizeof bytes);

    StartBlock(0x004A0000, 0xDC04, 7, false, 0, kBus);   // the warp-table port: no increment
    WaitIdle();
    EXPECT_EQ(writes, (std::vector<std::pair<uint32_t, uint16_t>>{
                          {0xDC04, 0x0201}, {0xDC04, 0x0403}, {0xDC04, 0x0605}, {0xDC04, 0x0007}}));

    writes.clear();
    StartBlock(0x004E0000, 0xC000, 6, false, 0, kBus);   // increment bit set
    WaitIdle();
    EXPECT_EQ(writes, (std::vector<std::pair<uint32_t, uint16_t>>{
                          {0xC000, 0x0201}, {0xC002, 0x0403}, {0xC004, 0x0605}}));

    StartBlock(0x004E0000, 0xC010, 6, true, 0, kBus + 64);  // reads come back in order
    WaitIdle();
    EXPECT_EQ(std::vector<uint8_t>(host.At(kBus + 64), host.At(kBus + 70)),
              (std::vector<uint8_t>{0x10, 0xC0, 0x12, 0xC0, 0x14, 0xC0}));

    // A block takes 2 + time-out clocks a word on a register target.
    EXPECT_EQ(TransferNs(kConfigDefault, kMaxBlockBytes, false), (4 + 16376 * 4) * 30u);
}

TEST_F(DebiFixture, BridgeResetCutsOffATransferWithoutDone)
{
    Write(kIer, kIrqDebiDone);
    SetWindow(0, 0);
    StartBlock(kConfigSdram, 0x9000, 4096, false, 0, MemoryHost::kBase);
    Write(kMc1, 0x80000000);   // master reset while busy
    Write(kMc1, 0x80008000);
    host.RunUntil(host.Now() + 1'000'000);
    EXPECT_EQ(Read(kIsr) & kIrqDebiDone, 0u);
    EXPECT_FALSE(debi.Busy());
    EXPECT_EQ(WaitIdle(), 0);
    PioWrite(0x5C00, 0x77);
    EXPECT_EQ(board.Regs().Peek(0x5C00), 0x77) << "the engine takes the next command";
}
