// The video record thread on a media volume: the board's moving test
// picture recorded through the library into a media clip, then cued and
// played back through a clip stream, the played fields compared with the
// picture they came from; and a record stop that waits for its thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>

#include "include/zarkd_jpeg.h"
#include "lib/api/zar_connection.h"
#include "lib/play/zar_clip_item.h"
#include "lib/play/zar_clip_stream.h"
#include "lib/play/zar_local_file.h"
#include "lib/play/zar_record.h"
#include "lib/play/zar_transfer.h"
#include "lib/play/zar_wave_item.h"
#include "platform/nt/clock.h"
#include "platform/user/script.h"
#include "tests/drivers/mediafs/mediafs_machine.h"

namespace {

constexpr char16_t kClip[] = u"P:\\KIV\\Media\\Clips\\recorded.kiv";
constexpr uint32_t kFields = 300;
constexpr int kPatternFrames = 30;

// The best match of a played field among the picture's fields, by PSNR.
double BestPsnr(const sim::VideoFeed& feed, const sim::VideoField& played)
{
    double best = 0;
    for (uint64_t f = 1; f <= 2 * feed.FrameCount(); ++f) best = std::max(best, sim::Psnr(feed.Field(f), played));
    return best;
}

// Copies of the board's output every few fields while a play runs.
struct OutputCopies : std::enable_shared_from_this<OutputCopies> {
    sim::Board* board = nullptr;
    std::mutex lock;
    std::vector<sim::VideoField> copies;
    std::atomic<bool> stop{false};
    uint64_t last = 0;

    void Start()
    {
        auto self = shared_from_this();
        nt::ClockSchedule(nt::ClockNow(), [self] { self->Tick(); });
    }
    void Tick()
    {
        if (stop.load()) return;
        const uint64_t shown = board->VideoOut().FieldsShown(0);
        if (shown >= last + 25) {
            last = shown;
            std::lock_guard<std::mutex> g(lock);
            copies.push_back(board->VideoOut().Field(0, 0));
        }
        auto self = shared_from_this();
        nt::ClockSchedule(board->Clock().NextFieldTime() + 1000, [self] { self->Tick(); });
    }
};

class Recording : public MediaFsMachine {
protected:
    std::vector<sim::DriveConfig> Drives() override { return {Drive(0, 32768), Drive(1, 32768)}; }

    void SetUp() override
    {
        MediaFsMachine::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(Format(u"Media", {0, 1}), ZARFS_FORMAT_OK);
        ASSERT_TRUE(CreateDirectoryA("P:\\KIV\\Media\\Clips", nullptr)) << GetLastError();
        connection_ = std::make_unique<CBoardConnection>(0);
        ASSERT_NE(connection_->m_hBoard, INVALID_HANDLE_VALUE);
        shared_.Standard = 525;
        shared_.SystemPrefsBatch = 8;
        shared_.MediaDriveLetter = 'P';
        connection_->m_pShared = &shared_;
        // The codecs loaded, as the board's initialisation leaves them.
        ZAR_JPEG_COMMAND reset{};
        reset.Command = ZAR_JPEG_CMD_RESET;
        reset.Channel = 2;
        DWORD bytes = 0;
        ASSERT_TRUE(SendDeviceRequest(connection_->m_hBoard, IOCTL_ZAR_JPEG_COMMAND, &reset, sizeof reset, &reset,
                                      sizeof reset, &bytes, nullptr));
        built_.boards[0]->VideoIn().UseMovingTestPattern(kPatternFrames, 24);
    }
    void TearDown() override
    {
        connection_.reset();
        MediaFsMachine::TearDown();
    }

    ZAR_BOARD_SHARED shared_{};
    std::unique_ptr<CBoardConnection> connection_;
};

}  // namespace

TEST_F(Recording, RecordedFieldsPlayBackAsThePictureTheyCameFrom)
{
    auto* item = new CClipItem(connection_.get());
    ASSERT_EQ(item->CreateFill(kClip, 120, kFields / 2, 0, 0), 0);
    ZAR_RECORD_REQUEST request{};
    request.target = item;
    request.out = kFields;
    request.upperSize = 60;
    ASSERT_EQ(StartVideoRecord(connection_.get(), request), 0);
    ASSERT_EQ(connection_->m_workers.size(), 1u);
    ASSERT_EQ(WaitForSingleObject(connection_->m_workers[0], 30000), WAIT_OBJECT_0);
    EXPECT_EQ(StopRecord(connection_.get()), 0);
    EXPECT_TRUE(connection_->m_workers.empty());
    const ZAR_RECORD_END end = LastRecordEnd(0);
    EXPECT_EQ(end.result, 0);
    EXPECT_EQ(end.fieldsWritten, kFields);
    EXPECT_EQ(end.noRoom, 0u);
    EXPECT_FALSE(end.sideFileKept);
    item->Release();  // finishes the clip

    // The clip opened again and played through a clip stream.
    auto* played = new CClipItem(connection_.get());
    ZAR_CLIP_ITEM_PARAMS params{};
    ASSERT_EQ(played->Open(kClip, params, GENERIC_READ), 0);
    ASSERT_EQ(played->Length(), kFields);
    auto* stream = new CClipStream(connection_.get());
    ASSERT_EQ(stream->InsertClip(played, 0), 0);
    played->Release();
    auto copies = std::make_shared<OutputCopies>();
    copies->board = built_.boards[0].get();
    copies->Start();
    ZAR_CUE_STREAMS cue{};
    cue.Out = int32_t(kFields);
    cue.Mode = ZAR_CUE_MODE_NORMAL;
    ASSERT_EQ(stream->Cue(connection_.get(), cue, 0), 0);
    ZAR_JPEG_COMMAND play{};
    play.Command = ZAR_JPEG_CMD_PLAY;
    play.End = kFields;
    DWORD bytes = 0;
    ASSERT_TRUE(SendDeviceRequest(connection_->m_hBoard, IOCTL_ZAR_JPEG_COMMAND, &play, sizeof play, &play,
                                  sizeof play, &bytes, nullptr));
    ASSERT_EQ(WaitForSingleObject(CClipStream::TransferDoneEvent(0, 0), 60000), WAIT_OBJECT_0);
    copies->stop.store(true);
    EXPECT_EQ(LastTransferEnd(0, 0).reason, ZAR_END_RANGE_DONE);
    stream->Release();

    std::lock_guard<std::mutex> g(copies->lock);
    ASSERT_GE(copies->copies.size(), 8u);
    double lowest = 1e9;
    for (const sim::VideoField& f : copies->copies) lowest = std::min(lowest, BestPsnr(built_.boards[0]->VideoIn(), f));
    // What the board's own record and play reach on this picture.
    EXPECT_GT(lowest, 30.0);
}

TEST_F(Recording, AStopEndsTheRecordingAndWaitsForItsThread)
{
    auto* item = new CClipItem(connection_.get());
    ASSERT_EQ(item->CreateFill(kClip, 120, kFields / 2, 0, 0), 0);
    ZAR_RECORD_REQUEST request{};
    request.target = item;
    request.out = 0xFFFFFFFF;
    request.upperSize = 60;
    ASSERT_EQ(StartVideoRecord(connection_.get(), request), 0);
    item->Release();  // the thread holds its own reference
    Sleep(500);
    EXPECT_EQ(StopRecord(connection_.get()), 0);
    EXPECT_TRUE(connection_->m_workers.empty());
    const ZAR_RECORD_END end = LastRecordEnd(0);
    EXPECT_EQ(end.result, 0);
    EXPECT_GT(end.fieldsWritten, 20u);
    EXPECT_LT(end.fieldsWritten, 60u);
}

TEST_F(Recording, BoardAudioIsRecordedIntoAWaveFileUntilTheStop)
{
    auto* wave = new CWaveItem(connection_.get());
    ZAR_WAVE_CREATE create{};
    create.path = "C:\\recorded.wav";
    create.rate = 48000;
    create.flags = ZAR_WAVE_CREATE_ALWAYS;
    ASSERT_EQ(wave->Create(create), 0);
    ZAR_AUDIO_RECORD_REQUEST request{};
    request.wave = wave;
    ASSERT_EQ(StartAudioRecord(connection_.get(), request), 0);
    wave->Release();  // the thread holds its own reference, and finishes the file
    Sleep(1500);  // about four halves of 8,192 sample frames at 48 kHz
    EXPECT_EQ(StopRecord(connection_.get()), 0);
    const ZAR_AUDIO_RECORD_END end = LastAudioRecordEnd(0);
    EXPECT_EQ(end.result, 0);
    EXPECT_GE(end.halves, 3u);
    EXPECT_EQ(end.lost, 0u);
    HANDLE h = CreateFileA("C:\\recorded.wav", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    uint8_t header[44] = {};
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(h, header, sizeof header, &got, nullptr));
    const DWORD size = GetFileSize(h, nullptr);
    CloseHandle(h);
    uint32_t data = 0;
    std::memcpy(&data, header + 40, 4);
    EXPECT_EQ(uint64_t(data), end.bytes);
    EXPECT_EQ(uint64_t(size), 44 + end.bytes);
}

TEST_F(Recording, ARecordingThatFailsLeavesTheSideFileThatRestoresItsBodyTable)
{
    auto* item = new CClipItem(connection_.get());
    ASSERT_EQ(item->CreateFill(kClip, 120, kFields / 2, 0, 0), 0);
    ZAR_RECORD_REQUEST request{};
    request.target = item;
    request.out = 0xFFFFFFFF;
    request.upperSize = 60;
    ASSERT_EQ(StartVideoRecord(connection_.get(), request), 0);
    Sleep(600);
    // The drives stop answering mid-recording: the thread ends on the
    // failed write and keeps the side file, as after a crash.
    for (int d = 0; d < 2; ++d) Disk(d)->Faults().stopsAnswering = true;
    ASSERT_EQ(connection_->m_workers.size(), 1u);
    ASSERT_EQ(WaitForSingleObject(connection_->m_workers[0], 60000), WAIT_OBJECT_0);
    for (int d = 0; d < 2; ++d) Disk(d)->Faults().stopsAnswering = false;
    EXPECT_EQ(StopRecord(connection_.get()), 0);
    const ZAR_RECORD_END end = LastRecordEnd(0);
    EXPECT_EQ(end.result, ZAR_E_DRIVER);
    EXPECT_TRUE(end.sideFileKept);
    ASSERT_GT(end.fieldsWritten, 10u);

    // The side file names the clip and holds every field written with the
    // sectors it uses.
    HANDLE h = CreateFileA(CZarLocalFile::SideFilePath(0).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::vector<uint8_t> side(1056 + 4 * kFields);
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(h, side.data(), DWORD(side.size()), &got, nullptr));
    CloseHandle(h);
    ASSERT_EQ(got, side.size());
    EXPECT_EQ(std::memcmp(side.data(), kClip, sizeof kClip - 2), 0);
    uint32_t count = 0;
    std::memcpy(&count, &side[1032], 4);
    EXPECT_EQ(count, kFields);
    for (uint32_t k = 0; k < end.fieldsWritten; ++k) {
        ZAR_FIELD_LOCATION* node = nullptr;
        ASSERT_EQ(item->File()->GetFillNode(k, &node), 0);
        uint16_t used = 0;
        std::memcpy(&used, &side[1056 + 4 * k], 2);
        EXPECT_EQ(used, node->used) << "field " << k;
        EXPECT_NE(used, 0) << "field " << k;
    }
    item->Release();
}

TEST(RecordStatistics, TheFullnessLinesAreTheAveragesAndMaximaOfBothParities)
{
    ZAR_FULLNESS f;
    f.sum[0] = 2048 + 1024;  // two samples: 50% and 25%
    f.count[0] = 2;
    f.max[0] = 2048;
    f.sum[1] = 4096;
    f.count[1] = 1;
    f.max[1] = 4096;
    char text[256];
    FormatFullness(f, text, sizeof text);
    EXPECT_STREQ(text,
                 "Average Field-1 Buffer Fullness =   38 %\n"
                 "Average Field-2 Buffer Fullness = 1e+02 %\n"
                 "Maximum Field-1 Buffer Fullness =   50 %\n"
                 "Maximum Field-2 Buffer Fullness = 1e+02 %\n");
}

TEST_F(Recording, AskedForStatisticsTheRecordingEndsWithThemInAMessageBox)
{
    user::script::AnswerMessageBoxes(IDOK);
    auto* item = new CClipItem(connection_.get());
    ASSERT_EQ(item->CreateFill(kClip, 120, 20, 0, 0), 0);
    ZAR_RECORD_REQUEST request{};
    request.target = item;
    request.out = 40;
    request.upperSize = 60;
    request.statistics = 1;
    ASSERT_EQ(StartVideoRecord(connection_.get(), request), 0);
    item->Release();
    ASSERT_EQ(WaitForSingleObject(connection_->m_workers[0], 30000), WAIT_OBJECT_0);
    EXPECT_EQ(StopRecord(connection_.get()), 0);
    const auto boxes = user::script::TakeAnsweredMessageBoxes();
    user::script::AnswerMessageBoxes(0);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text.rfind("Average Field-1 Buffer Fullness = ", 0), 0u) << boxes[0].text;
    EXPECT_NE(boxes[0].text.find("\nMaximum Field-2 Buffer Fullness = "), std::string::npos) << boxes[0].text;
    EXPECT_EQ(LastRecordEnd(0).fieldsWritten, 40u);
}
