// The one DEBI engine shared by the queued DEBI requests and the SCSI
// engine's SDRAM copies, on a machine with a simulated drive and the
// virtual clock: a request that arrives while a copy runs waits for the
// copy's end, a copy that starts while a request runs waits for the
// request's end, and both sides' data arrive byte for byte.

#include <gtest/gtest.h>

#include <cstring>
#include <deque>

#include "zarkd_scsi_machine.h"

namespace {

constexpr ULONG kWindow = 0x9000;
constexpr ULONG kWindowBlock = 0xB404;
constexpr ULONG kWindowMode = 0xB408;
constexpr ULONG kPort = 0x7FF8;      // a board register the test turns into a FIFO
constexpr ULONG kWindowConfig = 0x104A0000;
constexpr DWORD kWaitMs = 20000;     // virtual time

class ZarkdDebiArbitration : public ZarkdReadyDriveMachine<12288> {
protected:
    void TearDown() override
    {
        for (Pending& p : pending_) CloseHandle(p.ov.hEvent);
        ZarkdReadyDriveMachine::TearDown();
    }

    sim::Debi& Unit() { return TheBoard().DebiUnit(); }

    // A request left with the driver; Finish waits for it.
    struct Pending {
        OVERLAPPED ov{};
    };
    Pending& Start(ULONG code, void* in, ULONG inLength, void* out, ULONG outLength)
    {
        Pending& p = pending_.emplace_back();
        p.ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        BOOL done = DeviceIoControl(handle_, code, in, inLength, out, outLength, nullptr, &p.ov);
        EXPECT_TRUE(done || GetLastError() == ERROR_IO_PENDING);
        return p;
    }
    static Result Finish(Pending& p)
    {
        if (WaitForSingleObject(p.ov.hEvent, kWaitMs) != WAIT_OBJECT_0) return {STATUS_PENDING, 0};
        return {NTSTATUS(p.ov.Internal), ULONG(p.ov.InternalHigh)};
    }

    // DEBI DMA in mode 0 (chunks of at most 32,752 bytes).
    Pending& StartDebiDma(ULONG operation, ULONG address, UCHAR* buffer, ULONG length)
    {
        debiIn_.push_back({operation, ZAR_DEBI_DMA_USER_PAGES, address, length, 0,
                           ULONG(reinterpret_cast<ULONG_PTR>(buffer)), 0});
        debiOut_.emplace_back();
        return Start(IOCTL_ZAR_DEBI_IO, &debiIn_.back(), 28, &debiOut_.back(), 28);
    }
    Pending& StartDisk(ULONG operation, ULONG first, ULONG blocks, UCHAR* buffer)
    {
        ZAR_DISK_REQUEST& r = diskIn_.emplace_back(Request(operation, 0, first, blocks));
        r.UserBuffer = ULONG(reinterpret_cast<ULONG_PTR>(buffer));
        r.UserBufferLength = blocks * kBlock;
        return Start(IOCTL_ZAR_DISK_REQUEST, &r, sizeof(r), &diskOut_.emplace_back(), sizeof(r));
    }
    void Pio(ULONG address, ULONG value)
    {
        ZAR_DEBI_REQUEST in{ZAR_DEBI_OP_PIO_WRITE, 0, address, 0, value, 0, 0}, out{};
        ASSERT_EQ(Send(IOCTL_ZAR_DEBI_IO, &in, 28, &out, 28).status, STATUS_SUCCESS);
    }
    void WindowAt(ULONG block)
    {
        Pio(kWindowMode, 0);
        Pio(kWindowBlock, block);
    }
    std::vector<UCHAR> Sdram(ULONG block, ULONG length)
    {
        std::vector<UCHAR> bytes(length);
        TheBoard().Memory().Read(block, sim::Sdram::kModeLinear, 0, bytes.data(), length);
        return bytes;
    }

    // kPort as a FIFO: words written are kept, words read come from 'supply'.
    void MapPort(std::vector<UCHAR> supply)
    {
        supply_ = std::move(supply);
        TheBoard().Regs().MapRange(
            kPort, kPort,
            [this](uint32_t) {
                uint16_t word = uint16_t(supply_[readAt_] | supply_[readAt_ + 1] << 8);
                readAt_ = (readAt_ + 2) % supply_.size();
                return word;
            },
            [this](uint32_t, uint16_t word) {
                received_.push_back(UCHAR(word));
                received_.push_back(UCHAR(word >> 8));
            });
    }

    // 'count' bytes starting 'skew' bytes into a page.
    struct Buffer {
        std::vector<UCHAR> storage;
        UCHAR* data;
        Buffer(const std::vector<UCHAR>& bytes, size_t skew) : storage(bytes.size() + skew + 4096)
        {
            auto base = reinterpret_cast<ULONG_PTR>(storage.data());
            data = reinterpret_cast<UCHAR*>((base + 4095) & ~ULONG_PTR(4095)) + skew;
            std::memcpy(data, bytes.data(), bytes.size());
        }
    };

    // The block transfers of the access log as runs of one kind: the SDRAM
    // copies' window blocks (true) or the DEBI requests' chunks (false),
    // with the bytes of each run.
    std::vector<std::pair<bool, ULONG>> BlockRuns()
    {
        std::vector<std::pair<bool, ULONG>> runs;
        for (const sim::DebiAccess& a : Unit().AccessLog()) {
            if (!a.IsBlock() || a.refused) continue;
            bool copy = a.config == kWindowConfig;
            if (runs.empty() || runs.back().first != copy) runs.push_back({copy, 0});
            runs.back().second += a.Bytes();
        }
        return runs;
    }

    std::deque<Pending> pending_;
    std::deque<ZAR_DEBI_REQUEST> debiIn_, debiOut_;
    std::deque<ZAR_DISK_REQUEST> diskIn_, diskOut_;
    std::vector<UCHAR> supply_, received_;
    size_t readAt_ = 0;
};

TEST_F(ZarkdDebiArbitration, RequestsQueuedDuringALargeStagedWriteWaitForEachCopyAndArriveWhole)
{
    // 600 blocks: three sub-commands, each a host-to-SDRAM copy of 256, 256
    // and 88 blocks followed by its WRITE(10). Two DEBI requests of 65
    // chunks each arrive while the first copy runs; each takes many times
    // longer than a WRITE(10), so the next copy finds the first request
    // running and the second one queued behind it.
    const ULONG blocks = 600, debiBytes = 0x200000;
    const std::vector<ULONG> copies = {256 * kBlock, 256 * kBlock, 88 * kBlock};
    std::vector<UCHAR> disk = RandomBytes(blocks * kBlock, 21);
    std::vector<UCHAR> toBoard = RandomBytes(debiBytes, 22);
    MapPort(RandomBytes(debiBytes, 23));
    Buffer diskBuffer(disk, 0), outBuffer(toBoard, 0x40), inBuffer(std::vector<UCHAR>(debiBytes), 0x80);
    Unit().EnableAccessLog(true);
    Unit().ClearAccessLog();
    const ULONG spurious = ext_->Debi.SpuriousDpcs;

    Pending& write = StartDisk(ZAR_DISK_OP_WRITE, 100, blocks, diskBuffer.data);
    for (int step = 0; !ext_->Scsi.SdramCopyRunning && step < 100000; ++step) nt::ClockRunFor(2000);
    ASSERT_TRUE(ext_->Scsi.SdramCopyRunning) << "the first copy never started";
    Pending& out = StartDebiDma(ZAR_DEBI_OP_DMA_TO_BOARD, kPort, outBuffer.data, debiBytes);
    Pending& in = StartDebiDma(ZAR_DEBI_OP_DMA_TO_HOST, kPort, inBuffer.data, debiBytes);

    for (Pending* p : {&out, &in}) {
        Result r = Finish(*p);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.bytes, 28u);
    }
    Result w = Finish(write);
    ASSERT_EQ(w.status, STATUS_SUCCESS);
    EXPECT_EQ(diskOut_.back().ScsiStatus, 0u);
    EXPECT_EQ(diskOut_.back().FirstBlock, 100 + blocks);
    EXPECT_EQ(ImageBlocks(0, 100, blocks), disk);
    EXPECT_EQ(received_, toBoard);
    EXPECT_EQ(std::vector<UCHAR>(inBuffer.data, inBuffer.data + debiBytes), supply_);

    // No request chunk between two blocks of a copy, no copy block between
    // two chunks of a request, and a copy that waits for the engine takes
    // it before the next queued request does.
    auto runs = BlockRuns();
    size_t nextCopy = 0;
    ULONG requestBytes = 0;
    for (const auto& [copy, bytes] : runs) {
        if (!copy) {
            EXPECT_EQ(bytes, debiBytes) << "a request was split, or a waiting copy was passed over";
            requestBytes += bytes;
            continue;
        }
        ULONG whole = 0;
        while (whole < bytes && nextCopy < copies.size()) whole += copies[nextCopy++];
        EXPECT_EQ(whole, bytes) << "a copy was split";
    }
    EXPECT_EQ(nextCopy, copies.size());
    EXPECT_EQ(requestBytes, 2 * debiBytes);
    EXPECT_EQ(ext_->Debi.Owner, ZAR_DEBI_OWNER_NONE);
    EXPECT_EQ(ext_->Debi.WaitingEntry, nullptr);
    EXPECT_EQ(ext_->Debi.SpuriousDpcs, spurious) << "every done interrupt reached its owner";
}

TEST_F(ZarkdDebiArbitration, CopyArrivingWhileARequestUsesTheWindowWaitsForItsEnd)
{
    // A DEBI request of 65 chunks streams through the SDRAM window (its
    // pointer moves on from chunk to chunk); a disk request's copy sets the
    // window to the staging area. Short copies run polled, longer ones
    // block by block through the DEBI DPC.
    struct Row {
        const char* what;
        ULONG debiOperation;
        ULONG diskOperation;
        ULONG blocks;
    } rows[] = {
        {"interrupt-driven copy to SDRAM", ZAR_DEBI_OP_DMA_TO_BOARD, ZAR_DISK_OP_WRITE, 24},
        {"polled copy to SDRAM", ZAR_DEBI_OP_DMA_TO_BOARD, ZAR_DISK_OP_WRITE, 4},
        {"polled copy to the host", ZAR_DEBI_OP_DMA_TO_HOST, ZAR_DISK_OP_READ, 8},
        {"interrupt-driven copy to the host", ZAR_DEBI_OP_DMA_TO_HOST, ZAR_DISK_OP_READ, 40},
    };
    const ULONG debiBytes = 0x200000 - 64, debiBlock = 300;
    uint32_t seed = 40;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const bool debiToBoard = row.debiOperation == ZAR_DEBI_OP_DMA_TO_BOARD;
        const bool diskWrite = row.diskOperation == ZAR_DISK_OP_WRITE;
        const ULONG first = 1000 + seed;
        std::vector<UCHAR> debiData = RandomBytes(debiBytes, ++seed);
        std::vector<UCHAR> diskData = RandomBytes(row.blocks * kBlock, ++seed);
        if (!debiToBoard) TheBoard().Memory().Write(debiBlock, sim::Sdram::kModeLinear, 0, debiData.data(), debiBytes);
        if (!diskWrite) WriteImageBlocks(0, first, diskData);
        Buffer debiBuffer(debiToBoard ? debiData : std::vector<UCHAR>(debiBytes), 0x20);
        Buffer diskBuffer(diskWrite ? diskData : std::vector<UCHAR>(diskData.size()), 0);

        WindowAt(debiBlock);
        Pending& debi = StartDebiDma(row.debiOperation, kWindow, debiBuffer.data, debiBytes);
        ASSERT_TRUE(Unit().Busy()) << "the first chunk is on the bus";
        Pending& disk = StartDisk(row.diskOperation, first, row.blocks, diskBuffer.data);

        Result d = Finish(debi);
        EXPECT_EQ(d.status, STATUS_SUCCESS);
        Result r = Finish(disk);
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(diskOut_.back().ScsiStatus, 0u);

        if (debiToBoard)
            EXPECT_EQ(Sdram(debiBlock, debiBytes), debiData);
        else
            EXPECT_EQ(std::vector<UCHAR>(debiBuffer.data, debiBuffer.data + debiBytes), debiData);
        if (diskWrite)
            EXPECT_EQ(ImageBlocks(0, first, row.blocks), diskData);
        else
            EXPECT_EQ(std::vector<UCHAR>(diskBuffer.data, diskBuffer.data + diskData.size()), diskData);
        EXPECT_EQ(ext_->Debi.Owner, ZAR_DEBI_OWNER_NONE);
    }
}

TEST_F(ZarkdDebiArbitration, ClaimFromTheInterruptRoutineFailsWhileATransferOwnsTheEngine)
{
    // The JPEG path claims DEBI from the interrupt routine for one transfer
    // through the window; it cannot wait there, so an owner makes it fail
    // and leaves the owner's transfer alone.
    auto claim = [this] {
        PKSYNCHRONIZE_ROUTINE routine = [](PVOID context) {
            return ZarDebiClaimAtDirql(static_cast<PZAR_DEVICE_EXTENSION>(context));
        };
        return KeSynchronizeExecution(ext_->InterruptObject, routine, ext_);
    };
    ZarSetIntMode(ext_, ZAR_INT_DEBI_DONE, TRUE);
    EXPECT_TRUE(claim());
    EXPECT_FALSE(ext_->InterruptEnable & ZAR_INT_DEBI_DONE) << "the claim's transfer must not latch a done";

    // A DEBI request through the window.
    std::vector<UCHAR> debiData = RandomBytes(0x100000, 61);
    Buffer debiBuffer(debiData, 0);
    WindowAt(500);
    Pending& debi = StartDebiDma(ZAR_DEBI_OP_DMA_TO_BOARD, kWindow, debiBuffer.data, ULONG(debiData.size()));
    ASSERT_EQ(ext_->Debi.Owner, ZAR_DEBI_OWNER_REQUEST);
    EXPECT_FALSE(claim());
    EXPECT_TRUE(ext_->InterruptEnable & ZAR_INT_DEBI_DONE) << "the request's interrupt stays on";
    EXPECT_EQ(Finish(debi).status, STATUS_SUCCESS);
    EXPECT_EQ(Sdram(500, ULONG(debiData.size())), debiData);

    // An SDRAM copy of a staged write.
    std::vector<UCHAR> disk = RandomBytes(300 * kBlock, 62);
    Buffer diskBuffer(disk, 0);
    Pending& write = StartDisk(ZAR_DISK_OP_WRITE, 10, 300, diskBuffer.data);
    for (int step = 0; !ext_->Scsi.SdramCopyRunning && step < 100000; ++step) nt::ClockRunFor(2000);
    ASSERT_EQ(ext_->Debi.Owner, ZAR_DEBI_OWNER_SCSI_COPY);
    EXPECT_FALSE(claim());
    EXPECT_EQ(Finish(write).status, STATUS_SUCCESS);
    EXPECT_EQ(diskOut_.back().ScsiStatus, 0u);
    EXPECT_EQ(ImageBlocks(0, 10, 300), disk);

    EXPECT_TRUE(claim());
}

// The FPGA download turns every bridge interrupt off before it streams the
// images. A request whose transfer was still running then never heard of
// its end: it hung, and held the engine, so every image stream found the
// engine taken and the download failed. The download now waits for it.
TEST_F(ZarkdDebiArbitration, AnFpgaDownloadWaitsForARunningRequest)
{
    const ULONG debiBytes = 0x200000;
    std::vector<UCHAR> toBoard = RandomBytes(debiBytes, 24);
    MapPort(RandomBytes(debiBytes, 25));
    Buffer outBuffer(toBoard, 0x40);
    Pending& out = StartDebiDma(ZAR_DEBI_OP_DMA_TO_BOARD, kPort, outBuffer.data, debiBytes);
    for (int step = 0; ext_->Debi.Owner == ZAR_DEBI_OWNER_NONE && step < 100000; ++step) nt::ClockRunFor(2000);
    ASSERT_NE(ext_->Debi.Owner, ZAR_DEBI_OWNER_NONE) << "the request never started";

    ULONG in[4] = {}, reply[4] = {};
    EXPECT_EQ(Send(IOCTL_ZAR_FLEX_DOWNLOAD, in, sizeof in, reply, sizeof reply).status, STATUS_SUCCESS);
    EXPECT_GE(reply[1], ULONG(ZAR_FPGA_CONFIGURED));
    Result r = Finish(out);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(received_, toBoard);
    EXPECT_EQ(ext_->Debi.Owner, ZAR_DEBI_OWNER_NONE);
}

}  // namespace
