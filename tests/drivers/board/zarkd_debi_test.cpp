// ZARKD's DEBI bus on a machine with a simulated board, on the virtual
// clock: the DEBI configuration each programmed access takes, the audio wait
// states by board revision, accesses that find the bus stuck, the queued
// DEBI request (programmed accesses and DMA in all three modes round trip
// through the board's SDRAM window), requests the channel cannot run, the
// SDRAM window starts of the SCSI engine, and the BRS command rules.

#include <gtest/gtest.h>

#include <deque>
#include <numeric>
#include <random>

#include "zarkd_ioctl_machine.h"

namespace {

constexpr ULONG kWindow = 0x9000;          // the SDRAM window's first board address
constexpr ULONG kWindowBlock = 0xB404;
constexpr ULONG kWindowMode = 0xB408;
constexpr ULONG kPlain = 0x008A0000;
constexpr DWORD kWaitMs = 2000;            // virtual time; a transfer takes microseconds

class ZarkdDebi : public ZarkdIoctlMachine {
protected:
    sim::Debi& Unit() { return Board().DebiUnit(); }

    ZAR_DEBI_REQUEST Pio(ULONG operation, ULONG address, ULONG value = 0)
    {
        ZAR_DEBI_REQUEST in{operation, 0, address, 0, value, 0, 0}, out{};
        Result r = Send(IOCTL_ZAR_DEBI_IO, &in, 28, &out, 28);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.bytes, 28u);
        return out;
    }
    Result Dma(ULONG operation, ULONG mode, ULONG address, const void* buffer, ULONG length, bool wait = true)
    {
        ZAR_DEBI_REQUEST in{operation, mode, address, length, 0, ULONG(reinterpret_cast<ULONG_PTR>(buffer)), 0};
        // A request left pending writes its record back when it ends, so the
        // record lives as long as the fixture.
        ZAR_DEBI_REQUEST& out = replies_.emplace_back();
        return Send(IOCTL_ZAR_DEBI_IO, &in, 28, &out, 28, wait);
    }
    std::deque<ZAR_DEBI_REQUEST> replies_;
    // Points the SDRAM window at 'block', linear layout.
    void WindowAt(ULONG block)
    {
        Pio(ZAR_DEBI_OP_PIO_WRITE, kWindowMode, 0);
        Pio(ZAR_DEBI_OP_PIO_WRITE, kWindowBlock, block);
    }
    std::vector<UCHAR> Sdram(ULONG block, ULONG length)
    {
        std::vector<UCHAR> bytes(length);
        Board().Memory().Read(block, sim::Sdram::kModeLinear, 0, bytes.data(), length);
        return bytes;
    }

    // The DEBI queue made busy, so requests wait in it; StartNext hands the
    // first waiting one to the start routine as the channel's DPC would.
    void HoldDebiQueue()
    {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KDEVICE_QUEUE_ENTRY dummy{};
        EXPECT_FALSE(KeInsertDeviceQueue(&ext_->DebiQueue, &dummy));
        KeLowerIrql(old);
    }
    ZAR_DEBI_ENTRY* Queued(ULONG index)
    {
        PLIST_ENTRY e = ext_->DebiQueue.DeviceListHead.Flink;
        while (index--) e = e->Flink;
        return CONTAINING_RECORD(e, ZAR_DEBI_ENTRY, QueueEntry.DeviceListEntry);
    }
    void StartNext()
    {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        PKDEVICE_QUEUE_ENTRY next = KeRemoveDeviceQueue(&ext_->DebiQueue);
        ASSERT_NE(next, nullptr);
        ZarDebiIoStartIo(ext_, CONTAINING_RECORD(next, ZAR_DEBI_ENTRY, QueueEntry));
        KeLowerIrql(old);
    }
    // Waits for the request whose OVERLAPPED is 'ov' (virtual time).
    static Result Finish(OVERLAPPED& ov, HANDLE event)
    {
        if (WaitForSingleObject(event, kWaitMs) != WAIT_OBJECT_0) return {STATUS_PENDING, 0};
        return {NTSTATUS(ov.Internal), ULONG(ov.InternalHigh)};
    }

    // The DEBI_CONFIG of the next programmed read of 'address'.
    ULONG ConfigOfRead(ULONG address)
    {
        Unit().EnableAccessLog(true);
        Unit().ClearAccessLog();
        ZarDebiPioRead(ext_, address);
        const auto& log = Unit().AccessLog();
        EXPECT_EQ(log.size(), 1u);
        return log.empty() ? 0 : log.back().config;
    }
};

// A buffer of 'length' bytes at 'offset' into a page, filled with a pattern.
struct PageBuffer {
    PageBuffer(ULONG length, ULONG offset, unsigned seed)
        : storage(length + offset + 2 * PAGE_SIZE)
    {
        auto base = reinterpret_cast<ULONG_PTR>(storage.data());
        data = reinterpret_cast<UCHAR*>(ROUND_TO_PAGES(base) + offset);
        size = length;
        std::mt19937 random(seed);
        for (ULONG i = 0; i < length; ++i) data[i] = UCHAR(random());
    }
    std::vector<UCHAR> Bytes() const { return {data, data + size}; }
    std::vector<UCHAR> storage;
    UCHAR* data;
    ULONG size;
};

// ---- programmed access ----

TEST_F(ZarkdDebi, ProgrammedAccessTakesTheConfigOfItsAddressRange)
{
    // (The audio ranges follow the board revision: next test.)
    const struct {
        ULONG address;
        ULONG config;
    } cases[] = {
        {0xA000, 0x014A0000}, {0xA03C, 0x014A0000},  // SCSI controller
        {0xAC00, 0x01CE0000}, {0xAC0C, 0x01CE0000}, {0xB000, 0x01CE0000}, {0xB3FE, 0x01CE0000},  // time code
        {0x5474, kPlain}, {0x9000, kPlain}, {0xA400, kPlain}, {0xB400, kPlain}, {0xBC00, kPlain},
        {0x1A000, 0x014A0000},  // only the low 16 bits address the board
    };
    for (const auto& c : cases) EXPECT_EQ(ConfigOfRead(c.address), c.config) << std::hex << c.address;

    // A programmed access reads and writes one 16-bit register.
    ZarDebiPioWrite(ext_, 0x5474, 0x1BEEF);
    EXPECT_EQ(Board().Regs().Peek(0x5474), 0xBEEF);
    EXPECT_EQ(ZarDebiPioRead(ext_, 0x5474), 0xBEEF);
}

TEST_F(ZarkdDebi, AudioRangesTakeTheWaitStatesOfTheBoardRevision)
{
    const ULONG old1[] = {0x00CA0000, 0x010A0000, 0x014A0000, 0x020A0000, 0x03CA0000};
    const ULONG old2[] = {0x014A0000, 0x018A0000, 0x028A0000, 0x03CA0000, 0x03CA0000};
    // A setting outside 0..4 takes the first entry.
    const ULONG settings[] = {0, 1, 2, 3, 4, 5, 0xFFFFFFFF};
    for (ULONG revision : {2u, 3u, 4u}) {
        ext_->BoardRevision = revision;
        ZarDebiInitAudioWaitStates(ext_);
        for (ULONG setting : settings) {
            SCOPED_TRACE(testing::Message() << "revision " << revision << ", setting " << setting);
            ext_->Debi.WaitStateIndex = setting;
            ULONG entry = setting < 5 ? setting : 0;
            ULONG first = revision >= 3 ? kPlain : old1[entry];
            ULONG second = revision >= 3 ? kPlain : old2[entry];
            EXPECT_EQ(ConfigOfRead(0x8404), first);
            EXPECT_EQ(ConfigOfRead(0x8C08), first);
            EXPECT_EQ(ConfigOfRead(0x9800), first);
            EXPECT_EQ(ConfigOfRead(0x8800), second);
            EXPECT_EQ(ConfigOfRead(0xA000), 0x014A0000u);  // other ranges keep theirs
        }
    }
}

TEST_F(ZarkdDebi, AnAccessThatFindsTheBusStuckIsDroppedCountedAndReadsAllOnes)
{
    Board().Regs().Write(0x5474, 0x1234);
    ASSERT_FALSE(Unit().Busy());
    Board().Bridge().SetDebiBusy(true);
    ZarDebiPioWrite(ext_, 0x5474, 0x5678);
    EXPECT_EQ(Board().Regs().Peek(0x5474), 0x1234) << "nothing written";
    EXPECT_EQ(ext_->Debi.PioTimeouts, 1u);
    // A read completes all the same, with the defined value.
    EXPECT_EQ(Pio(ZAR_DEBI_OP_PIO_READ, 0x5474, 0x77).Value, ZAR_DEBI_READ_FAILED);
    EXPECT_EQ(ext_->Debi.PioTimeouts, 2u);

    Board().Bridge().SetDebiBusy(false);
    EXPECT_EQ(ZarDebiPioRead(ext_, 0x5474), 0x1234);
    EXPECT_EQ(ext_->Debi.PioTimeouts, 2u);

    // The board's DEBI state machine has a wait of its own.
    EXPECT_TRUE(ZarDebiWaitStateMachineIdle(ext_));
    Unit().SetWindowStateMachineStuck(true);
    uint64_t start = nt::ClockNow();
    EXPECT_FALSE(ZarDebiWaitStateMachineIdle(ext_));
    EXPECT_GE(nt::ClockNow() - start, 16384u * 1000u) << "16,384 polls of a microsecond";
}

TEST_F(ZarkdDebi, PioWriteCodeWritesTheValueToTheAddress)
{
    // The 24-byte record is the DEBI request without its reserved word.
    ULONG record[6] = {ZAR_DEBI_OP_PIO_WRITE, 0, 0x5C00, 0, 0x00A5, 0};
    ULONG out[6] = {};
    Result r = Send(IOCTL_ZAR_DEBI_PIO_WRITE, record, 24, out, 24);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(Board().Regs().Peek(0x5C00), 0x00A5);
}

// ---- the queued DEBI request ----

TEST_F(ZarkdDebi, ProgrammedRequestsAnswerAtOnceEvenWithADmaQueuedBehind)
{
    Pio(ZAR_DEBI_OP_PIO_WRITE, 0x5474, 0x4321);
    EXPECT_EQ(Board().Regs().Peek(0x5474), 0x4321);
    EXPECT_EQ(Pio(ZAR_DEBI_OP_PIO_READ, 0x5474).Value, 0x4321u);

    WindowAt(40);
    PageBuffer data(8192, 0, 1);
    HoldDebiQueue();
    HANDLE readDone = CreateEventA(nullptr, TRUE, FALSE, nullptr), dmaDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ZAR_DEBI_REQUEST read{ZAR_DEBI_OP_PIO_READ, 0, 0x5474, 0, 0, 0, 0}, readOut{};
    ZAR_DEBI_REQUEST dma{ZAR_DEBI_OP_DMA_TO_BOARD, 0, kWindow, 8192, 0, ULONG(reinterpret_cast<ULONG_PTR>(data.data)), 0},
        dmaOut{};
    OVERLAPPED readOv{}, dmaOv{};
    readOv.hEvent = readDone;
    dmaOv.hEvent = dmaDone;
    ASSERT_FALSE(DeviceIoControl(handle_, IOCTL_ZAR_DEBI_IO, &read, 28, &readOut, 28, nullptr, &readOv));
    ASSERT_FALSE(DeviceIoControl(handle_, IOCTL_ZAR_DEBI_IO, &dma, 28, &dmaOut, 28, nullptr, &dmaOv));

    StartNext();
    // The read completed inside the start routine, before the DMA moved a byte.
    ASSERT_EQ(WaitForSingleObject(readDone, 0), DWORD(WAIT_OBJECT_0));
    EXPECT_EQ(NTSTATUS(readOv.Internal), STATUS_SUCCESS);
    EXPECT_EQ(readOv.InternalHigh, 28u);
    EXPECT_EQ(readOut.Value, 0x4321u);
    EXPECT_EQ(ext_->Debi.State, ZAR_DEBI_RUNNING) << "the DMA behind it started";

    Result r = Finish(dmaOv, dmaDone);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 28u);
    EXPECT_EQ(Sdram(40, 8192), data.Bytes());
    EXPECT_FALSE(ext_->DebiQueue.Busy);
    CloseHandle(readDone);
    CloseHandle(dmaDone);
}

TEST_F(ZarkdDebi, DmaRoundTripsThroughTheSdramWindowInEveryMode)
{
    const struct {
        const char* what;
        ULONG mode;
        ULONG length;
        ULONG offset;                // of the buffer in its first page
        std::vector<ULONG> chunks;   // DEBI blocks each way
    } cases[] = {
        {"user pages, three chunks", ZAR_DEBI_DMA_USER_PAGES, 70000, 0x30, {32752, 32752, 4496}},
        {"user pages, one short chunk", ZAR_DEBI_DMA_USER_PAGES, 64, 0xFF0, {64}},
        {"page by page", ZAR_DEBI_DMA_USER_PAGE_BY_PAGE, 10000, 0x830, {2000, 4096, 3904}},
        {"page by page, page-aligned", ZAR_DEBI_DMA_USER_PAGE_BY_PAGE, 8192, 0, {4096, 4096}},
        // Four bytes or less go through DEBI_AD, not by DMA.
        {"page by page, a word before the page end", ZAR_DEBI_DMA_USER_PAGE_BY_PAGE, 4100, 0xFFC, {4, 4096}},
        {"user pages, one word", ZAR_DEBI_DMA_USER_PAGES, 4, 0x10, {4}},
        {"bounce, largest", ZAR_DEBI_DMA_BOUNCE, 32752, 4, {32752}},
        {"bounce, smallest", ZAR_DEBI_DMA_BOUNCE, 4, 0xFFC, {4}},
    };
    unsigned seed = 10;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ULONG block = 300 + seed;
        PageBuffer out(c.length, c.offset, ++seed);
        WindowAt(block);
        Unit().EnableAccessLog(true);
        Unit().ClearAccessLog();
        Result r = Dma(ZAR_DEBI_OP_DMA_TO_BOARD, c.mode, kWindow, out.data, c.length);
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.bytes, 28u);
        EXPECT_EQ(Sdram(block, c.length), out.Bytes());
        std::vector<ULONG> chunks;
        for (const sim::DebiAccess& a : Unit().AccessLog()) {
            EXPECT_EQ(a.Address(), kWindow) << "every chunk goes through the window";
            EXPECT_FALSE(a.IsRead());
            EXPECT_EQ(a.config, kPlain);
            chunks.push_back(a.Bytes());
        }
        EXPECT_EQ(chunks, c.chunks);

        PageBuffer in(c.length, c.offset, 0);
        std::fill(in.data, in.data + c.length, 0);
        WindowAt(block);
        Unit().ClearAccessLog();
        r = Dma(ZAR_DEBI_OP_DMA_TO_HOST, c.mode, kWindow, in.data, c.length);
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(in.Bytes(), out.Bytes());
        EXPECT_EQ(Unit().AccessLog().size(), c.chunks.size());
        for (const sim::DebiAccess& a : Unit().AccessLog()) EXPECT_TRUE(a.IsRead());
        EXPECT_EQ(Unit().GetStats().hostFaults, 0u);
    }
    EXPECT_EQ(ext_->Debi.State, ZAR_DEBI_IDLE);
    EXPECT_EQ(ext_->Debi.MapRegisterBase, nullptr);
}

TEST_F(ZarkdDebi, ADoneStatusMaskedByAProgrammedAccessStillEndsTheTransfer)
{
    // A programmed access that arrives while a DMA chunk is on the bus waits
    // for it and turns the DEBI interrupt off: the chunk's done status must
    // still reach the DEBI DPC.
    WindowAt(500);
    PageBuffer data(4096, 0, 7);
    ASSERT_EQ(Dma(ZAR_DEBI_OP_DMA_TO_BOARD, ZAR_DEBI_DMA_BOUNCE, kWindow, data.data, 4096, false).status,
              STATUS_PENDING);
    OVERLAPPED& ov = overlapped_.back();
    ASSERT_TRUE(Unit().Busy()) << "the chunk is still on the bus";
    ZarDebiPioRead(ext_, 0x5474);
    EXPECT_FALSE(ext_->InterruptEnable & ZAR_INT_DEBI_DONE) << "a programmed access leaves the interrupt off";
    Result done = Finish(ov, event_);
    EXPECT_EQ(done.status, STATUS_SUCCESS);
    EXPECT_EQ(Sdram(500, 4096), data.Bytes());
    EXPECT_EQ(ext_->Debi.State, ZAR_DEBI_IDLE);
}

TEST_F(ZarkdDebi, RequestsTheChannelCannotRunEndThroughTheDpcWithNothingMoved)
{
    // The dispatch refuses these before they queue; the start routine holds
    // to the same rules for whatever reaches it.
    const struct {
        const char* what;
        ULONG mode;
        ULONG length;
        NTSTATUS status;
    } cases[] = {
        {"unknown mode", 3, 4096, STATUS_UNSUCCESSFUL},
        {"too long", ZAR_DEBI_DMA_USER_PAGES, 0x400004, STATUS_UNSUCCESSFUL},
        {"too long to bounce", ZAR_DEBI_DMA_BOUNCE, 32756, STATUS_UNSUCCESSFUL},
        {"empty", ZAR_DEBI_DMA_USER_PAGES, 0, STATUS_UNSUCCESSFUL},
        {"odd length", ZAR_DEBI_DMA_USER_PAGES, 4094, STATUS_DATATYPE_MISALIGNMENT},
        {"odd length, bounce", ZAR_DEBI_DMA_BOUNCE, 4094, STATUS_DATATYPE_MISALIGNMENT},
    };
    PageBuffer data(4096, 0, 3);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        HoldDebiQueue();
        ASSERT_EQ(Dma(ZAR_DEBI_OP_DMA_TO_HOST, ZAR_DEBI_DMA_USER_PAGES, kWindow, data.data, 4096, false).status,
                  STATUS_PENDING);
        OVERLAPPED& ov = overlapped_.back();
        auto* request = static_cast<ZAR_DEBI_REQUEST*>(Queued(0)->SystemBuffer);
        request->DmaMode = c.mode;
        request->ByteLength = c.length;
        uint64_t blocks = Unit().GetStats().blocks;
        StartNext();
        Result r = Finish(ov, event_);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(Unit().GetStats().blocks, blocks) << "nothing moved";
        EXPECT_FALSE(ext_->DebiQueue.Busy);
        EXPECT_EQ(ext_->Debi.State, ZAR_DEBI_IDLE);
    }

    // A 4 MB buffer that starts inside a page spans 1,025 pages, one more
    // than the page table holds: refused rather than wrapped onto its start.
    PageBuffer big(ZAR_DEBI_MAX_LENGTH, 0x100, 0);
    uint64_t blocks = Unit().GetStats().blocks;
    EXPECT_EQ(Dma(ZAR_DEBI_OP_DMA_TO_BOARD, ZAR_DEBI_DMA_USER_PAGES, kWindow, big.data, ZAR_DEBI_MAX_LENGTH).status,
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Unit().GetStats().blocks, blocks);
    // One page fewer is served.
    WindowAt(0);
    EXPECT_EQ(Dma(ZAR_DEBI_OP_DMA_TO_BOARD, ZAR_DEBI_DMA_USER_PAGES, kWindow, big.data, ZAR_DEBI_MAX_LENGTH - 0x100)
                  .status,
              STATUS_SUCCESS);
    EXPECT_EQ(Sdram(0, 4096), std::vector<UCHAR>(big.data, big.data + 4096));
}

// ---- the SDRAM window starts of the SCSI engine ----

TEST_F(ZarkdDebi, SdramAddressModeSetsBitsTenToThirteen)
{
    const struct {
        ULONG mode;
        ULONG bits;  // 0xB408 bits 10-13 after the call, from 1111b
    } cases[] = {{0, 0b0000}, {1, 0b0010}, {2, 0b1010}, {101, 0b0011}, {102, 0b0111}, {255, 0b1100}, {7, 0b1111}};
    for (const auto& c : cases) {
        ext_->Debi.SdramModeShadow = 0xFFFF;
        ZarDebiSdramSetAddressMode(ext_, c.mode);
        EXPECT_EQ(Board().Regs().Read(kWindowMode), 0xC3FF | (c.bits << 10)) << c.mode;
    }
}

TEST_F(ZarkdDebi, SdramBlockStartsMoveABlockThroughTheWindow)
{
    ZAR_COMMON_BUFFER& source = ext_->WorkPage[0];
    ZAR_COMMON_BUFFER& target = ext_->WorkPage[1];
    auto* table = static_cast<PULONG>(ext_->ChannelPage[ZAR_SCSI_ADAPTER].VirtualAddress);
    ULONG tableBus = ext_->ChannelPage[ZAR_SCSI_ADAPTER].LogicalAddress.LowPart;
    std::iota(static_cast<PUCHAR>(source.VirtualAddress), static_cast<PUCHAR>(source.VirtualAddress) + 4096, 0);
    table[0] = source.LogicalAddress.LowPart;
    ZarDebiSdramSetAddressMode(ext_, 0);
    ZarDebiPioWrite(ext_, kWindowBlock, 77);
    Unit().EnableAccessLog(true);
    Unit().ClearAccessLog();

    // Polled, host to SDRAM, through a page table.
    ASSERT_TRUE(ZarDebiSdramDmaStartDevice(ext_, tableBus, 0, (4096u << 17) | kWindow, FALSE));
    ASSERT_TRUE(ZarDebiWaitIdle(ext_));
    EXPECT_EQ(Sdram(77, 4096), std::vector<UCHAR>(static_cast<PUCHAR>(source.VirtualAddress),
                                                  static_cast<PUCHAR>(source.VirtualAddress) + 4096));
    ASSERT_EQ(Unit().AccessLog().size(), 1u);
    EXPECT_EQ(Unit().AccessLog()[0].config, 0x104A0000u);
    EXPECT_EQ(Unit().AccessLog()[0].page, tableBus | 0x800);
    EXPECT_FALSE(ext_->InterruptEnable & ZAR_INT_DEBI_DONE);

    // The frame-store read: polled, the caller's words, a contiguous target.
    ZarDebiPioWrite(ext_, kWindowBlock, 77);
    ASSERT_TRUE(ZarDebiFsDmaStartDevice(ext_, (4096u << 17) | 0x10000 | kWindow, 0, target.LogicalAddress.LowPart));
    ASSERT_TRUE(ZarDebiWaitIdle(ext_));
    EXPECT_EQ(std::memcmp(target.VirtualAddress, source.VirtualAddress, 4096), 0);
    EXPECT_EQ(Unit().AccessLog().back().config, kPlain);

    // Interrupt-driven: the interrupt goes on and the end reaches the DEBI
    // DPC (no SDRAM copy owns it here, so it counts as spurious).
    ULONG spurious = ext_->Debi.SpuriousDpcs;
    ASSERT_TRUE(ZarDebiSdramDmaStartDevice(ext_, tableBus, 0, (4096u << 17) | kWindow, TRUE));
    EXPECT_TRUE(ext_->InterruptEnable & ZAR_INT_DEBI_DONE);
    Sleep(10);
    EXPECT_EQ(ext_->Debi.SpuriousDpcs, spurious + 1);
}

// ---- BRS command rules ----

TEST(ZarkdBrsCommand, RulesRefuseABadCommandBeforeAnythingStarts)
{
    const ZAR_BRS_DMA_COMMAND linear{0, 0, 0, 0, 4096, 0x10000, 0, 0, 0, 0, 0, 0, 0, 0};
    const ZAR_BRS_DMA_COMMAND image{2, 1, 1, 0, 720 * 243 * 4, 0x10000, 2, 1, 1, 17, 1, 720, 486, 0};
    auto with = [](ZAR_BRS_DMA_COMMAND c, uint32_t ZAR_BRS_DMA_COMMAND::*field, uint32_t value) {
        c.*field = value;
        return c;
    };
    using C = ZAR_BRS_DMA_COMMAND;
    const struct {
        const char* what;
        ZAR_BRS_DMA_COMMAND command;
        bool valid;
    } cases[] = {
        {"linear block", linear, true},
        {"field of an image", image, true},
        {"kind 1 frame", with(linear, &C::Kind, 1), true},
        {"kind 3", with(linear, &C::Kind, 3), false},
        {"field-synchronous", with(linear, &C::FieldSynchronous, 1), true},
        {"synchronous flag 2", with(linear, &C::FieldSynchronous, 2), false},
        {"kind 0 page by page", with(linear, &C::Source, 1), true},
        {"kind 0 bounce", with(with(linear, &C::Source, 2), &C::ByteLength, 32768), true},
        {"kind 0 bounce 32772", with(with(linear, &C::Source, 2), &C::ByteLength, 32772), false},
        {"kind 0 source 3", with(linear, &C::Source, 3), false},
        {"kind 1 bounce", with(with(linear, &C::Kind, 1), &C::Source, 2), false},
        {"kind 2 page by page", with(image, &C::Source, 1), false},
        {"4 MB", with(linear, &C::ByteLength, 0x400000), true},
        {"4 MB and a word", with(linear, &C::ByteLength, 0x400004), false},
        {"4 MB page by page", with(with(linear, &C::Source, 1), &C::ByteLength, 0x400000), true},
        {"one word", with(linear, &C::ByteLength, 4), true},
        {"empty", with(linear, &C::ByteLength, 0), false},
        {"odd length", with(linear, &C::ByteLength, 4098), false},
        {"odd address", with(linear, &C::HostAddress, 0x10002), false},
        {"field 0", with(image, &C::Field, 0), false},
        {"field 3", with(image, &C::Field, 3), false},
        {"default field order", with(image, &C::FieldOrder, 0), true},
        {"field order 3", with(image, &C::FieldOrder, 3), false},
        {"bottom-up 2", with(image, &C::BottomUp, 2), false},
        {"pixel format 0", with(image, &C::PixelFormat, 0), true},
        {"pixel format 16", with(image, &C::PixelFormat, 16), false},
        {"721 pixels", with(image, &C::Width, 721), false},
        {"731 lines", with(image, &C::Height, 731), false},
        {"730 lines", with(image, &C::Height, 730), true},
        {"image fields ignored for kind 0", with(with(linear, &C::Field, 9), &C::Width, 5000), true},
    };
    for (const auto& c : cases) EXPECT_EQ(ZarBrsIsValidDmaCommand(&c.command) != FALSE, c.valid) << c.what;
}

}  // namespace
