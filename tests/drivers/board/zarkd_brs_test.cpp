// ZARKD's BRS DMA channel against the bridge's simulated video DMA 3: the
// line geometry of blocks, where an image field starts and ends, the
// field-synchronous start, refused commands, and the kernel callers' path.

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>
#include <vector>

#include "tests/drivers/board/zarkd_fx_machine.h"

namespace {

TEST(ZarkdBrsGeometry, BlockLinesNeverMoveMoreThanTheLength)
{
    const struct {
        ULONG length, bytesPerLine, lines;
    } cases[] = {
        {4096, 1024, 4},     {64, 16, 4},        {4, 4, 1},           {100, 32, 3},  // and a tail of 4
        {8192, 1024, 8},     {0x400000, 4096, 1024}, {1048576, 1024, 1024}, {1052672, 2048, 514},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        ULONG b = 0, n = 0;
        ZarBrsCalcNumBytesLines(c.length, &b, &n);
        EXPECT_EQ(b, c.bytesPerLine);
        EXPECT_EQ(n, c.lines);
        EXPECT_LE(b * n, c.length);
    }
}

class ZarkdBrs : public ZarkdFxMachine {
protected:
    ZAR_BRS_DMA_COMMAND Block(const std::vector<ULONG>& data, ULONG source = 0)
    {
        ZAR_BRS_DMA_COMMAND c{};
        c.Kind = 0;
        c.Source = source;
        c.ByteLength = ULONG(data.size() * 4);
        c.HostAddress = ULONG(reinterpret_cast<ULONG_PTR>(data.data()));
        return c;
    }
    NTSTATUS Run(ZAR_BRS_DMA_COMMAND& c) { return Send(IOCTL_ZAR_BRS_DMA_COMMAND, &c, sizeof(c), &c, sizeof(c)).status; }
    sim::BrsDma& Dma() { return Board().Brs(); }
    uint64_t Moved()
    {
        uint64_t n = 0;
        for (const sim::BrsTransfer& t : Dma().Transfers()) n += t.bytesMoved;
        return n;
    }
};

TEST_F(ZarkdBrs, BlocksMoveExactlyTheirBytesFromEverySource)
{
    const struct {
        ULONG words;
        ULONG source;
        size_t transfers;
    } cases[] = {
        {1024, 0, 1},   // 4 x 1,024
        {25, 0, 2},     // 100 bytes: 3 x 32, then the 4 left
        {2048, 1, 3},   // page by page from an offset into the first page
        {1024, 2, 1},   // through the bounce buffer
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.words << " words from source " << c.source);
        std::vector<ULONG> data(c.words + 64);
        // Source 1 starts inside a page, so its first chunk ends at the page's end.
        ULONG offset = c.source == 1 ? 16 : 0;
        std::vector<ULONG> slice(data.begin() + offset, data.begin() + offset + c.words);
        ZAR_BRS_DMA_COMMAND cmd = Block(slice, c.source);
        Dma().ClearTransfers();
        ASSERT_EQ(Run(cmd), STATUS_SUCCESS);
        EXPECT_EQ(Moved(), c.words * 4u);
        if (c.source != 1) {
            EXPECT_EQ(Dma().Transfers().size(), c.transfers);
        }
        if (c.words == 1024 && c.source == 0) {
            EXPECT_EQ(Dma().Transfers()[0].lines, 4u);
            EXPECT_EQ(Dma().Transfers()[0].bytesPerLine, 1024u);
        }
    }
    EXPECT_EQ(Dma().HostFaults(), 0u);
}

// A page-by-page transfer hands the bridge whole bus addresses: memory above
// 2 GB (bit 31 set) is read where it is, not 2 GB lower.
TEST_F(ZarkdBrs, PageByPageBlocksReadMemoryAboveTwoGigabytes)
{
    constexpr size_t kBytes = 2 * 4096;
    void* high = MAP_FAILED;
    for (ULONG_PTR hint : {0xA0000000u, 0xB0000000u, 0xC0000000u, 0x90000000u}) {
        high = ::mmap(reinterpret_cast<void*>(hint), kBytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
        if (high != MAP_FAILED) break;
    }
    ASSERT_NE(high, MAP_FAILED) << "no free pages above 2 GB";
    ASSERT_GE(reinterpret_cast<ULONG_PTR>(high), 0x80000000u);
    std::memset(high, 0x5A, kBytes);
    ZAR_BRS_DMA_COMMAND cmd{};
    cmd.Source = 1;
    cmd.ByteLength = ULONG(kBytes);
    cmd.HostAddress = ULONG(reinterpret_cast<ULONG_PTR>(high));
    Dma().ClearTransfers();
    EXPECT_EQ(Run(cmd), STATUS_SUCCESS);
    EXPECT_EQ(Moved(), kBytes);
    EXPECT_EQ(Dma().HostFaults(), 0u);
    ::munmap(high, kBytes);
}

TEST_F(ZarkdBrs, RefusedCommandsAndFailedSetUps)
{
    std::vector<ULONG> data(16);
    ZAR_BRS_DMA_COMMAND big = Block(data);
    big.ByteLength = 8 * 1024 * 1024;
    EXPECT_EQ(Run(big), STATUS_INVALID_DEVICE_REQUEST);
    ZAR_BRS_DMA_COMMAND badKind = Block(data);
    badKind.Kind = 3;
    EXPECT_EQ(Run(badKind), STATUS_INVALID_DEVICE_REQUEST);
    ZAR_BRS_DMA_COMMAND unreadable = Block(data);
    unreadable.HostAddress = ULONG(reinterpret_cast<ULONG_PTR>(noAccess_));
    EXPECT_NE(Run(unreadable), STATUS_SUCCESS);

    // An image larger than the data given would be read past its end: nothing moves.
    Dma().ClearTransfers();
    ZAR_BRS_DMA_COMMAND image = Block(data);
    image.Kind = 2;
    image.Field = 1;
    image.FieldOrder = 2;
    image.Width = 16;
    image.Height = 16;
    EXPECT_EQ(Run(image), STATUS_SUCCESS);
    EXPECT_TRUE(Dma().Transfers().empty());
    EXPECT_EQ(ext_->Brs.State, ZAR_BRS_IDLE);
}

// Kind 2 sends every other line of one field; bottom-up images land on the
// same lines of the store as the same picture sent top-down.
TEST_F(ZarkdBrs, ImageFieldsLandOnTheirLinesInBothDirectionsAndOrders)
{
    constexpr ULONG kWidth = 8, kHeight = 6;
    // Pixel (x, line) of the picture as displayed: line in byte 1, x in byte 0.
    auto pixel = [](ULONG x, ULONG line) { return (line << 8) | x | 0xFF000000u; };
    std::vector<ULONG> topDown(kWidth * kHeight), bottomUp(kWidth * kHeight);
    for (ULONG l = 0; l < kHeight; ++l)
        for (ULONG x = 0; x < kWidth; ++x) {
            topDown[l * kWidth + x] = pixel(x, l);
            bottomUp[(kHeight - 1 - l) * kWidth + x] = pixel(x, l);
        }
    const struct {
        ULONG field, order;
        ULONG firstLine;  // the picture's line the field starts with
    } cases[] = {{1, 2, 1}, {2, 2, 0}, {1, 1, 0}, {2, 1, 1}};
    for (const auto& c : cases) {
        for (ULONG up = 0; up < 2; ++up) {
            SCOPED_TRACE(testing::Message() << "field " << c.field << " order " << c.order << " bottom-up " << up);
            ZAR_BRS_DMA_COMMAND cmd = Block(up ? bottomUp : topDown);
            cmd.Kind = 2;
            cmd.DestinationStore = 0;
            cmd.Field = c.field;
            cmd.FieldOrder = c.order;
            cmd.BottomUp = up;
            cmd.Width = kWidth;
            cmd.Height = kHeight;
            cmd.WriteBuffer = up;  // each direction into a buffer of its own
            Dma().ClearTransfers();
            ASSERT_EQ(Run(cmd), STATUS_SUCCESS);
            ASSERT_EQ(Dma().Transfers().size(), 1u);
            const sim::BrsTransfer& t = Dma().Transfers()[0];
            EXPECT_EQ(t.lines, kHeight / 2);
            EXPECT_EQ(t.bytesPerLine, kWidth * 4);
            EXPECT_EQ(t.pitch, up ? -LONG(2 * kWidth * 4) : LONG(2 * kWidth * 4));
            for (ULONG k = 0; k < kHeight / 2; ++k)
                for (ULONG x = 0; x < kWidth; x += 3)
                    EXPECT_EQ(Fx().StorePixel(0, int(up), k * 720 + x), pixel(x, c.firstLine + 2 * k)) << k << "," << x;
            // The store's busy bit is down again.
            EXPECT_EQ(Fx().Register(0x5008) & 0x400, 0);
        }
    }
}

TEST_F(ZarkdBrs, AFieldSynchronousStartWaitsForItsParity)
{
    std::vector<ULONG> data(256);
    for (ULONG field : {1u, 2u}) {
        for (int startParity : {0, 1}) {
            SCOPED_TRACE(testing::Message() << "field word " << field << ", queued in a field of parity " << startParity);
            RunToParity(startParity);
            ZAR_BRS_DMA_COMMAND cmd = Block(data);
            cmd.FieldSynchronous = 1;
            cmd.Field = field;
            Dma().ClearTransfers();
            ASSERT_EQ(Run(cmd), STATUS_SUCCESS);
            ASSERT_EQ(Dma().Transfers().size(), 1u);
            EXPECT_EQ(Dma().Transfers()[0].parity, field == 1 ? 1 : 0);
        }
    }
}

TEST_F(ZarkdBrs, KernelCallersGetTheDefaultFieldOrderAndTheirEvent)
{
    std::vector<ULONG> data(1024, 0x12345678);
    ZAR_BRS_DMA_COMMAND cmd = Block(data);
    Dma().ClearTransfers();
    ASSERT_EQ(ZarBrsDmaCommand(ext_, &cmd, KernelMode), STATUS_SUCCESS);
    EXPECT_EQ(cmd.FieldOrder, 2u) << "a 525-line board";
    EXPECT_EQ(Moved(), 4096u);
    cmd.Kind = 9;
    EXPECT_EQ(ZarBrsDmaCommand(ext_, &cmd, KernelMode), STATUS_INVALID_DEVICE_REQUEST);
}

// A kernel caller that gave up (the channel held by another transfer) gets
// STATUS_IO_TIMEOUT; its entry never runs later against its stack.
TEST_F(ZarkdBrs, AKernelCallerThatTimesOutIsNeverTouchedAgain)
{
    HoldQueues();
    std::vector<ULONG> data(1024);
    {
        ZAR_BRS_DMA_COMMAND cmd = Block(data);
        EXPECT_EQ(ZarBrsDmaCommand(ext_, &cmd, KernelMode), STATUS_IO_TIMEOUT);
    }
    EXPECT_EQ(Waiting(&ext_->BrsQueue), 0u) << "the given-up entry left the queue";
    DrainQueues(STATUS_CANCELLED);
}

}  // namespace
