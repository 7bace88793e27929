// Clip streams and their transfer thread against the board driver over a
// simulated board, on the virtual clock: the empty stream's black field,
// the insertion checks, still frames, and clips fed to the board ahead of
// the field clock and played. Each played clip's fields carry their own
// number in their picture, so the board's output tells which field it shows.
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>

#include "include/zarkd.h"
#include "include/zarkd_jpeg.h"
#include "lib/api/zar_app.h"
#include "lib/api/zar_connection.h"
#include "lib/play/zar_clip_stream.h"
#include "lib/play/zar_transfer.h"
#include "outside/fpga_images.h"
#include "platform/host/embedded_machine.h"
#include "platform/nt/clock.h"
#include "sim/board.h"
#include "sim/pci_layouts.h"
#include "tests/lib/play/memory_clip_file.h"

namespace {

std::string folder;
sim::BuiltTopology hardware;
CZarDll* app = nullptr;
bool packets = false;

class BoardEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        folder = (std::filesystem::temp_directory_path() / ("clip-stream-test-" + std::to_string(getpid()))).string();
        std::filesystem::remove_all(folder);
        std::string why;
        ASSERT_TRUE(fpgaimages::InstallImageFiles(std::filesystem::path(folder) / "drives/C/WINNT/system32/drivers", 0,
                                                  &why))
            << why;
        hardware = sim::BuildTopology(sim::BoardsLayout(1));
        embedded::MachineOptions options;
        options.folder = folder;
        options.pci = hardware.topology;
        options.drivers = {"ZARKD"};
        ASSERT_TRUE(embedded::BootMachine(options, &why)) << why;
        // The codecs run once the board is set up, as the media drive's driver does at its start.
        HANDLE board = CreateFileA("\\\\.\\KIVZAR0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(board, INVALID_HANDLE_VALUE);
        ULONG flex[4] = {};
        DWORD bytes = 0;
        ASSERT_TRUE(DeviceIoControl(board, IOCTL_ZAR_FLEX_DOWNLOAD, flex, sizeof flex, flex, sizeof flex, &bytes, nullptr));
        ASSERT_TRUE(DeviceIoControl(board, IOCTL_ZAR_POST_FPGA_INIT, nullptr, 0, nullptr, 0, &bytes, nullptr));
        // The codecs loaded with their programme, as the board's initialisation leaves them.
        ZAR_JPEG_COMMAND reset{};
        reset.Command = ZAR_JPEG_CMD_RESET;
        reset.Channel = 2;
        ASSERT_TRUE(DeviceIoControl(board, IOCTL_ZAR_JPEG_COMMAND, &reset, sizeof reset, &reset, sizeof reset, &bytes,
                                    nullptr));
        CloseHandle(board);
        // The application object, for the exception packets the transfer posts.
        app = new CZarDll;
        uint32_t semaphore = 0;
        packets = app->InitInstance() && app->ExInitializeExceptionHandler(&semaphore) == ZAR_OK;
    }
    void TearDown() override
    {
        embedded::ShutdownMachine();
        std::filesystem::remove_all(folder);
    }
};
const bool registered = (::testing::AddGlobalTestEnvironment(new BoardEnvironment), true);

constexpr int kLines = 248;  // the field the codec programme describes at 525 lines

// A compressed field of the board's layout showing number k: the left half
// at luma 16 + 10 (k / 16), the right half at 16 + 10 (k % 16).
std::vector<uint8_t> NumberedField(uint32_t k)
{
    jpeg_compress_struct c;
    jpeg_error_mgr e;
    c.err = jpeg_std_error(&e);
    jpeg_create_compress(&c);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &buffer, &size);
    c.image_width = 720;
    c.image_height = kLines;
    c.input_components = 3;
    c.in_color_space = JCS_YCbCr;
    jpeg_set_defaults(&c);
    jpeg_set_colorspace(&c, JCS_YCbCr);
    jpeg_set_quality(&c, 75, TRUE);
    c.comp_info[0].h_samp_factor = 2;
    c.comp_info[0].v_samp_factor = 1;
    for (int i = 1; i < 3; ++i) c.comp_info[i].h_samp_factor = c.comp_info[i].v_samp_factor = 1;
    c.raw_data_in = TRUE;
    c.write_JFIF_header = FALSE;
    jpeg_start_compress(&c, TRUE);
    std::vector<uint8_t> y(720 * 8), chroma(360 * 8, 128);
    for (int line = 0; line < 8; ++line)
        for (int x = 0; x < 720; ++x) y[line * 720 + x] = uint8_t(16 + 10 * (x < 360 ? k / 16 : k % 16));
    JSAMPROW ry[8], rc[8];
    for (int i = 0; i < 8; ++i) {
        ry[i] = &y[i * 720];
        rc[i] = &chroma[i * 360];
    }
    JSAMPARRAY planes[3] = {ry, rc, rc};
    while (c.next_scanline < c.image_height) jpeg_write_raw_data(&c, planes, 8);
    jpeg_finish_compress(&c);
    std::vector<uint8_t> out(buffer, buffer + size);
    free(buffer);
    jpeg_destroy_compress(&c);
    return out;
}

int FieldNumber(const sim::VideoField& field)
{
    const int left = field.Y()[100 * 720 + 100], right = field.Y()[100 * 720 + 600];
    return int(std::lround((left - 16) / 10.0)) * 16 + int(std::lround((right - 16) / 10.0));
}

// Which numbered fields the board's output showed, in the order first seen:
// both output fields looked at just after every field start.
struct OutputWatch : std::enable_shared_from_this<OutputWatch> {
    std::mutex lock;
    std::vector<int> order;
    std::set<int> seen;
    std::atomic<bool> stop{false};

    void Start()
    {
        auto self = shared_from_this();
        nt::ClockSchedule(nt::ClockNow(), [self] { self->Tick(); });
    }
    void Tick()
    {
        if (stop.load()) return;
        sim::Board& board = *hardware.boards[0];
        {
            std::lock_guard<std::mutex> g(lock);
            for (int p = 0; p < 2; ++p) {
                const int n = FieldNumber(board.VideoOut().Field(0, p));
                if (seen.insert(n).second) order.push_back(n);
            }
        }
        auto self = shared_from_this();
        nt::ClockSchedule(board.Clock().NextFieldTime() + 1000, [self] { self->Tick(); });
    }
};

class ClipStreams : public ::testing::Test {
protected:
    void SetUp() override
    {
        connection_ = std::make_unique<CBoardConnection>(0);
        ASSERT_NE(connection_->m_hBoard, INVALID_HANDLE_VALUE);
        shared_.Standard = 525;
        shared_.SystemPrefsBatch = 8;
        connection_->m_pShared = &shared_;
        stream_ = new CClipStream(connection_.get());
    }
    void TearDown() override
    {
        stream_->Release();
        connection_.reset();
    }

    // A clip item over an in-memory clip of the given fields, on the stream at 'position'.
    CClipItem* Place(MemoryClipFile* file, uint32_t position)
    {
        auto* item = new CClipItem(connection_.get());
        ZAR_CLIP_ITEM_PARAMS p{};
        EXPECT_EQ(item->OpenFile(file, p, GENERIC_READ), 0);
        EXPECT_EQ(stream_->InsertClip(item, position), 0);
        item->Release();  // the stream holds it
        return item;
    }

    ZAR_CHANNEL_STATUS Query(uint32_t channel)
    {
        ZAR_CHANNEL_STATUS status{};
        status.Channel = channel;
        DWORD bytes = 0;
        EXPECT_TRUE(SendDeviceRequest(connection_->m_hBoard, IOCTL_ZAR_JPEG_PLAYLIST_QUERY, &status, sizeof status,
                                      &status, sizeof status, &bytes, nullptr));
        return status;
    }

    bool StartPlay(uint32_t start, uint32_t end)
    {
        ZAR_JPEG_COMMAND play{};
        play.Command = ZAR_JPEG_CMD_PLAY;
        play.Channel = 0;
        play.Start = play.LoopStart = start;
        play.End = end;
        DWORD bytes = 0;
        return SendDeviceRequest(connection_->m_hBoard, IOCTL_ZAR_JPEG_COMMAND, &play, sizeof play, &play, sizeof play,
                                 &bytes, nullptr) != 0;
    }

    ZAR_CUE_STREAMS Cue(uint32_t fields, uint32_t mode, uint32_t flags = 0, HANDLE stop = nullptr)
    {
        ZAR_CUE_STREAMS cue{};
        cue.In = 0;
        cue.Out = int32_t(fields);
        cue.Mode = mode;
        cue.Flags = flags;
        cue.StopEvent = uint32_t(reinterpret_cast<uintptr_t>(stop));
        return cue;
    }

    std::vector<ZAR_EXCEPTION_PACKET> Packets()
    {
        std::vector<ZAR_EXCEPTION_PACKET> out;
        ZAR_EXCEPTION_PACKET p;
        while (packets && app->ExGetExceptionPacket(&p) == ZAR_OK) out.push_back(p);
        return out;
    }

    static std::vector<std::vector<uint8_t>> Numbered(uint32_t count)
    {
        std::vector<std::vector<uint8_t>> fields;
        for (uint32_t k = 0; k < count; ++k) fields.push_back(NumberedField(k));
        return fields;
    }

    ZAR_BOARD_SHARED shared_{};
    std::unique_ptr<CBoardConnection> connection_;
    CClipStream* stream_ = nullptr;
};

}  // namespace

TEST_F(ClipStreams, AnEmptyStreamPlaysTheBlackFieldOfItsStandard)
{
    struct Case {
        uint32_t standard, fps24;
        uint32_t sectors;
    } cases[] = {{525, 0, 9}, {625, 0, 10}, {525, 1, 684}, {625, 2, 10}};
    for (const Case& c : cases) {
        shared_.Standard = c.standard;
        shared_.Fps24Mode = c.fps24;
        EXPECT_EQ(stream_->GetFieldSize(c.fps24 * 1000 + 7), c.sectors) << c.standard << " " << c.fps24;
    }
    // In 24 fps mode an empty stream loads nothing and shows nothing.
    shared_.Fps24Mode = 1;
    EXPECT_EQ(stream_->FieldToBoard(0, 0, 0), ZAR_E_DRIVER);
    EXPECT_EQ(stream_->ShowFrame(connection_.get(), 0, 0, 0, 1), 0);
    shared_.Fps24Mode = 0;
    shared_.Standard = 525;
    EXPECT_EQ(stream_->FieldToBoard(0, 0, 100), 0);
    std::vector<uint8_t> read(4608);
    ASSERT_EQ(stream_->ReadField(3, read.data(), uint32_t(read.size())), 0);
    EXPECT_EQ(read[0], 0xFF);
    EXPECT_EQ(read[1], 0xD8);
}

TEST_F(ClipStreams, InsertionRefusesUnreadableItemsItemsOnAStreamAndOverlaps)
{
    auto* writeOnly = new MemoryClipFile(std::vector<uint16_t>(8, 10));
    CClipItem* item = Place(new MemoryClipFile(std::vector<uint16_t>(8, 10)), 10);
    CClipItem unreadable(connection_.get());
    ZAR_CLIP_ITEM_PARAMS p{};
    ASSERT_EQ(unreadable.OpenFile(writeOnly, p, GENERIC_WRITE), 0);
    EXPECT_EQ(stream_->InsertClip(&unreadable, 40), -1);

    CClipStream* other = new CClipStream(connection_.get());
    EXPECT_EQ(other->InsertClip(item, 100), ZAR_E_ITEM_ON_STREAM);
    EXPECT_EQ(stream_->InsertClip(item, 100), ZAR_E_ITEM_ON_STREAM);
    CClipItem overlapping(connection_.get());
    overlapping.OpenFile(new MemoryClipFile(std::vector<uint16_t>(8, 10)), p, GENERIC_READ);
    EXPECT_EQ(stream_->InsertClip(&overlapping, 16), -1);  // frames 8-11 against 5-8
    EXPECT_EQ(stream_->Entries().size(), 1u);
    EXPECT_EQ(other->Entries().size(), 0u);
    EXPECT_EQ(item->Stream(), stream_);
    other->Release();
    // Where the item stands, and the gaps around it.
    EXPECT_EQ(stream_->Locate(9).item, nullptr);
    EXPECT_EQ(stream_->Locate(10).item, item);
    EXPECT_EQ(stream_->Locate(13).itemField, 3u);
    EXPECT_EQ(stream_->Locate(18).item, nullptr);
}

TEST_F(ClipStreams, AStillFrameStartsOnAnEvenPosition)
{
    auto* file = new MemoryClipFile(Numbered(4), connection_.get());
    Place(file, 0);
    EXPECT_EQ(stream_->ShowFrame(connection_.get(), 1, 0, 0, 1), -1);
    EXPECT_TRUE(file->Loads().empty());
    ASSERT_EQ(stream_->ShowFrame(connection_.get(), 2, 0, 0, 1), 0);
    const std::vector<MemoryClipFile::Load> loads = file->Loads();
    ASSERT_EQ(loads.size(), 2u);
    EXPECT_EQ(loads[0].field, 2u);
    EXPECT_EQ(loads[1].field, 3u);
    // The second field right after the first in the unit's memory.
    EXPECT_EQ(loads[1].block, (loads[0].block + file->GetFillFieldSize(2)) % kTransferRingBlocks);
    // Field mode 2 loads the second field alone.
    ASSERT_EQ(stream_->ShowFrame(connection_.get(), 0, 0, 2, 1), 0);
    ASSERT_EQ(file->Loads().size(), 3u);
    EXPECT_EQ(file->Loads()[2].field, 1u);
}

TEST_F(ClipStreams, CueModeTwoReturnsWithTheFirstFrameLoaded)
{
    auto* file = new MemoryClipFile(Numbered(10), connection_.get());
    Place(file, 0);
    ASSERT_EQ(stream_->Cue(connection_.get(), Cue(10, ZAR_CUE_MODE_FIRST_FRAME), 0), 0);
    // Done on the caller's thread: the first two fields loaded and queued, nothing more.
    const std::vector<MemoryClipFile::Load> loads = file->Loads();
    ASSERT_EQ(loads.size(), 2u);
    EXPECT_EQ(loads[0].field, 0u);
    EXPECT_EQ(loads[1].field, 1u);
    EXPECT_EQ(Query(20).Queue[ZAR_CHANNEL_STATUS_QUEUE_WRITE], 2u);
    EXPECT_EQ(WaitForSingleObject(CClipStream::TransferDoneEvent(0, 0), 0), WAIT_OBJECT_0);
    EXPECT_EQ(LastTransferEnd(0, 0).posted, 2u);
}

TEST_F(ClipStreams, ACuedClipPlaysEveryFieldOnceInOrderWithABoundedQueue)
{
    struct Case {
        uint32_t fields, flags, limit;
    } cases[] = {{300, 0, kQueueLimit}, {120, ZAR_CUE_FLAG_SHORT_QUEUE, kShortQueueLimit}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.limit);
        auto* file = new MemoryClipFile(Numbered(c.fields), connection_.get());
        CClipItem* item = Place(file, 0);
        Packets();
        sim::JpegCodec& codec = hardware.boards[0]->Jpeg().Codec(0);
        const uint64_t errorsBefore = codec.DecodeErrors(), decodedBefore = codec.FieldsDecoded();
        auto watch = std::make_shared<OutputWatch>();
        watch->Start();
        ASSERT_EQ(stream_->Cue(connection_.get(), Cue(c.fields, ZAR_CUE_MODE_NORMAL, c.flags), 0), 0);
        ASSERT_TRUE(StartPlay(0, c.fields));
        HANDLE done = CClipStream::TransferDoneEvent(0, 0);
        uint32_t deepest = 0, busIdleChecks = 0;
        uint64_t longestBusWait = 0;
        while (WaitForSingleObject(done, 7) == WAIT_TIMEOUT) {
            const ZAR_CHANNEL_STATUS s = Query(20);
            deepest = std::max(deepest, s.Queue[ZAR_CHANNEL_STATUS_QUEUE_WRITE] - s.Queue[1]);
            // The thread gives the bus back while its queue is full: another
            // holder gets it at once, never after a 20 ms idle.
            if (busIdleChecks < 5 && s.Queue[ZAR_CHANNEL_STATUS_QUEUE_WRITE] - s.Queue[1] >= c.limit - 1) {
                ++busIdleChecks;
                const uint64_t before = nt::ClockNow();
                DWORD bytes = 0;
                ASSERT_TRUE(SendDeviceRequest(connection_->m_hBoard, IOCTL_ZAR_ACQUIRE_SCSI, nullptr, 0, nullptr, 0,
                                              &bytes, nullptr));
                longestBusWait = std::max(longestBusWait, nt::ClockNow() - before);
                SendDeviceRequest(connection_->m_hBoard, IOCTL_ZAR_RELEASE_SCSI, nullptr, 0, nullptr, 0, &bytes,
                                  nullptr);
            }
        }
        Sleep(70);  // the last field's decode shows a field or two after the play has ended
        watch->stop.store(true);
        const ZAR_TRANSFER_END end = LastTransferEnd(0, 0);
        EXPECT_EQ(end.result, 0);
        EXPECT_EQ(end.reason, ZAR_END_RANGE_DONE);
        EXPECT_EQ(end.posted, c.fields);
        EXPECT_LE(deepest, c.limit);
        EXPECT_GE(deepest, c.limit - 2);
        EXPECT_GT(busIdleChecks, 0u);
        EXPECT_LT(longestBusWait, 20'000'000u);
        // Every field loaded once, in order.
        const std::vector<MemoryClipFile::Load> loads = file->Loads();
        ASSERT_EQ(loads.size(), c.fields);
        for (uint32_t k = 0; k < c.fields; ++k) ASSERT_EQ(loads[k].field, k);
        EXPECT_EQ(codec.DecodeErrors(), errorsBefore) << codec.LastError();
        EXPECT_GE(codec.FieldsDecoded() - decodedBefore, c.fields);
        // The board showed every field, in order.
        {
            std::lock_guard<std::mutex> g(watch->lock);
            std::vector<int> shown;
            for (int n : watch->order)
                if (n >= 0 && n < int(c.fields)) shown.push_back(n);
            // Every field, each frame after the one before (the two fields
            // of a frame show together, so their first sighting may swap).
            EXPECT_EQ(shown.size(), c.fields) << "last shown " << (shown.empty() ? -1 : shown.back());
            for (size_t i = 1; i < shown.size(); ++i)
                EXPECT_GE(shown[i] / 2, shown[i - 1] / 2) << "at " << i << ": " << shown[i - 1] << " then " << shown[i];
        }
        if (packets) {
            const std::vector<ZAR_EXCEPTION_PACKET> got = Packets();
            ASSERT_FALSE(got.empty());
            EXPECT_EQ(got.back().Kind, 0u);
            EXPECT_EQ(got.back().Words[0], ZAR_END_RANGE_DONE);
        }
        stream_->RemoveItem(item);
    }
}

TEST_F(ClipStreams, TheStopEventEndsPlayWithinAFieldOrTwo)
{
    EXPECT_TRUE(packets) << "no exception queue: the packets go unchecked";
    auto* file = new MemoryClipFile(Numbered(300), connection_.get());
    Place(file, 0);
    Packets();
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_EQ(stream_->Cue(connection_.get(), Cue(300, ZAR_CUE_MODE_NORMAL, 0, stop), 0), 0);
    ASSERT_TRUE(StartPlay(0, 300));
    HANDLE done = CClipStream::TransferDoneEvent(0, 0);
    EXPECT_EQ(WaitForSingleObject(done, 500), WAIT_TIMEOUT);
    const uint64_t stopped = nt::ClockNow();
    SetEvent(stop);
    ASSERT_EQ(WaitForSingleObject(done, 2000), WAIT_OBJECT_0);
    EXPECT_LE(nt::ClockNow() - stopped, 2 * 16'700'000u + 1'000'000u);
    const ZAR_TRANSFER_END end = LastTransferEnd(0, 0);
    EXPECT_EQ(end.reason, ZAR_END_STOPPED);
    EXPECT_LT(end.posted, 300u);
    if (packets) {
        const std::vector<ZAR_EXCEPTION_PACKET> got = Packets();
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got.back().Kind, 0u);
        EXPECT_EQ(got.back().Words[0], ZAR_END_STOPPED);
        EXPECT_EQ(got.back().Field, end.position);
    }
    CloseHandle(stop);
}
