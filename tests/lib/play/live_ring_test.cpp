// The live source's frame ring: the writer's and the reader's checks of
// the ring's shape, publishing with a reader that does not read, the
// reader's choice of slot (advance, repeat, nothing new), slot sizes from
// the other side that do not fit, and the recording queue when it laps.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "lib/api/zar_connection.h"
#include "lib/play/zar_live_sink_file.h"
#include "lib/play/zar_live_source_file.h"
#include "lib/play/zar_live_source_record.h"
#include "lib/play/zar_live_source_sync.h"
#include "tests/drivers/mediafs/mediafs_machine.h"

namespace {

constexpr uint32_t kSlot = 0x2000;  // board memory the recorded fields come from, in 512-byte units

struct HostBuffer {
    explicit HostBuffer(size_t n) : bytes(static_cast<uint8_t*>(VirtualAlloc(nullptr, n, MEM_COMMIT, PAGE_READWRITE))) {}
    ~HostBuffer() { VirtualFree(bytes, 0, MEM_RELEASE); }
    uint8_t* bytes;
};

void ReleaseFile(CZarFile* f) { f->Release(); }
template <class T>
using FilePtr = std::unique_ptr<T, void (*)(CZarFile*)>;

// A ring section made by hand, for layouts a writer would never make.
HANDLE HandMadeRing(const char* name, ZAR_LIVE_RING_HEADER header, uint32_t sectionBytes)
{
    HANDLE h = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sectionBytes, name);
    if (!h) return nullptr;
    void* v = MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, sizeof header);
    std::memcpy(v, &header, sizeof header);
    UnmapViewOfFile(v);
    return h;
}

ZAR_LIVE_RING_HEADER Shape(uint32_t slots, uint32_t slotSize = 512, uint32_t standard = 525)
{
    return ZAR_LIVE_RING_HEADER{40, standard, slots, slotSize, 40, liveRing::DataOffset(slots), 0, 0, 0, 0};
}

uint32_t RingBytes(uint32_t slots, uint32_t slotSize = 512) { return liveRing::DataOffset(slots) + slots * slotSize; }

bool NoCounter(CBoardConnection*, uint32_t, uint32_t*) { return false; }

class LiveRing : public MediaFsMachine {
protected:
    void SetUp() override
    {
        MediaFsMachine::SetUp();
        if (HasFatalFailure()) return;
        connection_ = std::make_unique<CBoardConnection>(0);
        ASSERT_NE(connection_->m_hBoard, INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        connection_.reset();
        MediaFsMachine::TearDown();
    }
    // Fills the board's field slot of its first record buffer (where the
    // sink copies from) with 'value' for 'sectors'.
    bool PutField(uint8_t value, uint32_t sectors)
    {
        HostBuffer host(sectors * 512);
        std::memset(host.bytes, value, sectors * 512);
        ZAR_DISK_REQUEST r{};
        r.Operation = ZAR_DISK_OP_SDRAM_WRITE;
        r.BlockCount = sectors;
        r.AccessMode = ZAR_DISK_ACCESS_101;
        r.OwnsScsi = 1;
        r.SdramAddress = kSlot * 512;
        r.UserBuffer = uint32_t(reinterpret_cast<uintptr_t>(host.bytes));
        r.UserBufferLength = sectors * 512;
        DWORD returned = 0;
        return DeviceIoControl(connection_->m_hBoard, IOCTL_ZAR_DISK_REQUEST, &r, sizeof r, &r, sizeof r, &returned,
                               nullptr) &&
               r.ScsiStatus == 0;
    }
    // Records field n of 'sectors' into the sink as a recording stream does.
    int32_t Record(CSysLiveSinkVideoFile& sink, uint32_t n, uint32_t sectors)
    {
        if (int32_t r = sink.CheckFieldWrite(n, sectors); r != ZAR_OK) return r;
        return sink.TransferField(ZAR_FIELD_TRANSFER{n, 0, kSlot, 0, 1, nullptr});
    }
    std::unique_ptr<CBoardConnection> connection_;
};

}  // namespace

TEST_F(LiveRing, TheWriterMakesOnlyRingsOfEightToTwoHundredFiftySixSlotsAndNeverJoinsOne)
{
    struct Case {
        uint32_t slots, sectors;
        int32_t expected;
    } cases[] = {{6, 20, ZAR_E_BAD_ARGUMENT}, {512, 20, ZAR_E_BAD_ARGUMENT}, {4, 20, ZAR_E_BAD_ARGUMENT},
                 {12, 20, ZAR_E_BAD_ARGUMENT}, {8, 0, ZAR_E_BAD_ARGUMENT},  {256, 0xFFFF, ZAR_E_NO_MEMORY},
                 {8, 20, ZAR_OK},               {256, 20, ZAR_OK}};
    int i = 0;
    for (const Case& c : cases) {
        CSysLiveSinkVideoFile sink(connection_.get());
        const std::string name = "LiveRingShape" + std::to_string(i++);
        EXPECT_EQ(sink.OpenRing(c.sectors, c.slots, name, name + "Event"), c.expected) << c.slots << " slots";
        if (c.expected == ZAR_OK) {
            EXPECT_EQ(sink.Header()->Slots, c.slots);
            EXPECT_EQ(sink.Header()->SlotSize, c.sectors * 512);
            EXPECT_EQ(sink.Header()->DataOffset, liveRing::DataOffset(c.slots));
            EXPECT_EQ(sink.OpenRing(c.sectors, c.slots, name + "x", ""), ZAR_E_DRIVER) << "a second ring";
        }
    }
    CSysLiveSinkVideoFile first(connection_.get()), second(connection_.get());
    ASSERT_EQ(first.OpenRing(20, 8, "LiveRingTaken", "LiveRingTakenEvent"), ZAR_OK);
    EXPECT_EQ(second.OpenRing(20, 8, "LiveRingTaken", "LiveRingTakenEvent2"), ZAR_E_DRIVER);
    EXPECT_EQ(first.CheckFieldWrite(3, 21), ZAR_E_NO_ROOM);
}

TEST_F(LiveRing, TheReaderAcceptsFourToTwoHundredFiftySixSlotsOfItsStandardInASectionThatHoldsThem)
{
    struct Case {
        const char* what;
        ZAR_LIVE_RING_HEADER header;
        uint32_t sectionBytes;
        int32_t expected;
    } cases[] = {
        {"4 slots", Shape(4), RingBytes(4), ZAR_OK},
        {"256 slots", Shape(256), RingBytes(256), ZAR_OK},
        {"2 slots", Shape(2), RingBytes(2), ZAR_E_DRIVER},
        {"512 slots", Shape(512), RingBytes(512), ZAR_E_DRIVER},
        {"6 slots", Shape(6), RingBytes(6), ZAR_E_DRIVER},
        {"other standard", Shape(8, 512, 625), RingBytes(8), -23},
        {"slot size not of 512", Shape(8, 700), RingBytes(8, 1024), ZAR_E_DRIVER},
        {"section smaller than its slots", Shape(8), RingBytes(8) - 512, ZAR_E_DRIVER},
    };
    int i = 0;
    for (const Case& c : cases) {
        const std::string name = "LiveRingRead" + std::to_string(i++);
        HANDLE h = HandMadeRing(name.c_str(), c.header, c.sectionBytes);
        ASSERT_TRUE(h) << c.what;
        CSysLiveSourceSync sync(connection_.get());
        CSysLiveSourceRecord queue;
        FilePtr<CSysLiveSourceVideoFile> reader(new CSysLiveSourceVideoFile(connection_.get()), ReleaseFile);
        EXPECT_EQ(reader->OpenRing(&sync, &queue, name), c.expected) << c.what;
        CloseHandle(h);
    }
    CSysLiveSourceSync sync(connection_.get());
    FilePtr<CSysLiveSourceVideoFile> reader(new CSysLiveSourceVideoFile(connection_.get()), ReleaseFile);
    EXPECT_EQ(reader->OpenRing(&sync, nullptr, "LiveRingNone"), ZAR_E_DRIVER);
}

TEST_F(LiveRing, AStalledReaderStopsPublishingAtNMinusTwoFieldsAndEveryFurtherFrameIsDropped)
{
    CSysLiveSinkVideoFile sink(connection_.get());
    ASSERT_EQ(sink.OpenRing(9, 8, "LiveRingStall", "LiveRingStallEvent"), ZAR_OK);
    HANDLE published = OpenEventA(SYNCHRONIZE, FALSE, "LiveRingStallEvent");
    ASSERT_TRUE(published);
    ASSERT_TRUE(PutField(0x42, 9));
    for (uint32_t n = 0; n < 20; ++n) ASSERT_EQ(Record(sink, n, n % 2 ? 9 : 7), ZAR_OK) << n;
    // Frames 0-2 published (6 fields: N - 2); frame 3 waits; frames 4-9
    // each dropped the one waiting before them.
    EXPECT_EQ(sink.Header()->WriteCount, 6u);
    EXPECT_EQ(sink.Header()->Dropped, 6u);
    EXPECT_TRUE(sink.PublishPending());
    EXPECT_EQ(WaitForSingleObject(published, 0), WAIT_OBJECT_0);
    const uint32_t* table = reinterpret_cast<const uint32_t*>(reinterpret_cast<uint8_t*>(sink.Header()) + 40);
    EXPECT_EQ(table[0], 7u * 512);
    EXPECT_EQ(table[1], 9u * 512);
    // The reader takes a frame: the waiting one goes out with the next field.
    sink.Header()->ReadCount = 2;
    ASSERT_EQ(Record(sink, 20, 7), ZAR_OK);
    EXPECT_EQ(sink.Header()->WriteCount, 8u);
    EXPECT_EQ(sink.Header()->Dropped, 6u);
    CloseHandle(published);
}

TEST_F(LiveRing, TheReaderPlaysTheWritersFieldsWithTheEmptyFieldWhenNothingIsNewAndRepeatsBelowTheLag)
{
    CSysLiveSinkVideoFile sink(connection_.get());
    ASSERT_EQ(sink.OpenRing(9, 16, "LiveRingPlay", "LiveRingPlayEvent"), ZAR_OK);
    CSysLiveSourceSync sync(connection_.get());
    sync.SetFieldCounter(NoCounter);
    const uint32_t settings[3] = {1, 0, 0};  // a lag of one frame: 4 fields allowed
    sync.Enable(settings, 0);
    CSysLiveSourceRecord queue;
    FilePtr<CSysLiveSourceVideoFile> reader(new CSysLiveSourceVideoFile(connection_.get()), ReleaseFile);
    ASSERT_EQ(reader->OpenRing(&sync, &queue, "LiveRingPlay"), ZAR_OK);
    ZAR_FIELD_LOCATION* node = nullptr;

    // Nothing written yet: the empty field.
    ASSERT_EQ(reader->GetFillNode(100, &node), ZAR_OK);
    EXPECT_EQ(node->used, 9);
    EXPECT_EQ(reader->GetFillFieldSize(100), 9u);
    EXPECT_EQ(sync.Status().UnderRuns, 1u);

    // Three frames written, each field its own fill byte.
    for (uint32_t n = 0; n < 6; ++n) {
        ASSERT_TRUE(PutField(uint8_t(0x10 + n), 9));
        ASSERT_EQ(Record(sink, n, 5), ZAR_OK);
    }
    ASSERT_EQ(sink.Header()->WriteCount, 6u);
    // The reader started at the write count 0: six fields behind, more
    // than the 4 allowed: it advances a frame (to read count 2) and plays
    // slot 2 and 3.
    std::vector<uint8_t> field(9 * 512);
    ASSERT_EQ(reader->ReadFillField(102, field.data(), uint32_t(field.size())), ZAR_OK);
    EXPECT_EQ(field[0], 0x12);
    ASSERT_EQ(reader->ReadFillField(103, field.data(), uint32_t(field.size())), ZAR_OK);
    EXPECT_EQ(field[0], 0x13);
    EXPECT_EQ(reader->GetFillFieldSize(103), 5u);
    EXPECT_EQ(sink.Header()->ReadCount, 2u);
    // Four fields behind now, the allowed lag: advance; then two behind:
    // repeat.
    ASSERT_EQ(reader->ReadFillField(104, field.data(), uint32_t(field.size())), ZAR_OK);
    EXPECT_EQ(field[0], 0x14);
    ASSERT_EQ(reader->ReadFillField(106, field.data(), uint32_t(field.size())), ZAR_OK);
    EXPECT_EQ(field[0], 0x14);
    EXPECT_EQ(sync.Status().Repeats, 1u);
    EXPECT_EQ(sync.Status().Stalls, 1u);

    // Sent to the board, the field is queued for a live recording.
    ASSERT_EQ(reader->FillFieldToBoard(107, kSlot), ZAR_OK);
    ZAR_LIVE_RECORD_ENTRY entry{};
    ASSERT_TRUE(queue.Take(&entry));
    EXPECT_EQ(entry.field, 107u);
    EXPECT_EQ(entry.sectors, 5u);
    EXPECT_EQ(entry.boardAddress, kSlot);

    // A slot size from the writer larger than its slot plays as empty.
    auto* table = reinterpret_cast<uint32_t*>(reinterpret_cast<uint8_t*>(sink.Header()) + 40);
    table[5] = 10 * 512;
    EXPECT_EQ(reader->GetFillFieldSize(109), 9u);
    ASSERT_EQ(reader->ReadFillField(109, field.data(), uint32_t(field.size())), ZAR_OK);
    EXPECT_EQ(std::memcmp(field.data(), GetEmptyFieldImage(false, false).bytes, 4608), 0);
    EXPECT_GE(reader->OversizedSlots(), 1u);
}

TEST_F(LiveRing, ALappedRecordingQueueCountsWhatItLostAndGoesOnFromTheOldestEntryItHolds)
{
    CSysLiveSourceRecord queue;
    ASSERT_EQ(queue.Init(4), ZAR_OK);
    ZAR_LIVE_RECORD_ENTRY e{};
    EXPECT_FALSE(queue.Take(&e));
    for (uint32_t n = 0; n < 3; ++n) queue.Append({n, 0, 0, 0, 1});
    ASSERT_TRUE(queue.Take(&e));
    EXPECT_EQ(e.field, 0u);
    // Seven more: entries 1-5 are overwritten by 5-9 before they are taken.
    for (uint32_t n = 3; n < 10; ++n) queue.Append({n, 0, 0, 0, 1});
    ASSERT_TRUE(queue.Take(&e));
    EXPECT_EQ(e.field, 6u);
    EXPECT_EQ(queue.Lapped(), 5u);
    for (uint32_t expected = 7; expected < 10; ++expected) {
        ASSERT_TRUE(queue.Take(&e));
        EXPECT_EQ(e.field, expected);
    }
    EXPECT_FALSE(queue.Take(&e));
    EXPECT_EQ(WaitForSingleObject(queue.Event(), 0), WAIT_OBJECT_0);
}

TEST_F(LiveRing, LiveAudioReadsFollowTheVideoFramesAndCountWhatTheAudioRingCannotGive)
{
    ZAR_LIVE_RING_HEADER ring = Shape(8);
    CSysLiveSourceSync sync(connection_.get());
    sync.SetFieldCounter(NoCounter);
    const uint32_t settings[3] = {0, 100, 0};  // 100 samples of audio offset
    sync.Enable(settings, 0);
    // Before any video frame: no frame offset.
    uint64_t p = 1000;
    EXPECT_EQ(sync.AlignAudio(50000, 48000, 48000, &p, 1600, &ring, 25.0), 1u);
    EXPECT_EQ(p, 1100u);
    // Field 6 finds nothing new (frame 3); the reader then stands at read
    // count 10 with one frame dropped: the video is 5 - 3 + 1 = 3 frames on.
    EXPECT_EQ(sync.MapField(6, &ring, 8), 8u);
    ring.ReadCount = 10;
    ring.Dropped = 1;
    p = 2000;
    EXPECT_EQ(sync.AlignAudio(50000, 48000, 48000, &p, 1600, &ring, 25.0), 1u);
    EXPECT_EQ(p, 2000u + 3 * 1920 + 100);
    ZAR_LIVE_SOURCE_STATUS status = sync.Status();
    EXPECT_EQ(status.AudioFrameOffset, 3u);
    EXPECT_EQ(status.MostReadSamples, 1600u);
    // A writer at 90,000 holds its last 48,000 samples, from 42,000 on: all
    // 1,600 samples read at 6,860 are gone.
    p = 1000;
    sync.AlignAudio(90000, 48000, 48000, &p, 1600, &ring, 25.0);
    status = sync.Status();
    EXPECT_EQ(status.NoLongerHeld, 1600u);
    EXPECT_EQ(status.NotYetWritten, 0u);
    // Reading ahead of the writer.
    p = 49000;
    sync.AlignAudio(50000, 48000, 48000, &p, 1600, &ring, 25.0);
    EXPECT_EQ(sync.Status().NotYetWritten, 1600u);
    // The video falls back a frame: the read steps back and plays silence.
    ring.ReadCount = 8;
    p = 3000;
    EXPECT_EQ(sync.AlignAudio(50000, 48000, 48000, &p, 1600, &ring, 25.0), 0u);
    status = sync.Status();
    EXPECT_EQ(status.SteppedBackSamples, 1600u);
    EXPECT_EQ(status.TotalSteppedBack, 1600u);
    // A large read raises the automatic lag: 48,000 samples is 37.5 frames at 1.5 x 25.
    p = 5000;
    sync.AlignAudio(50000, 48000, 48000, &p, 48000, &ring, 25.0);
    EXPECT_EQ(sync.Status().AutomaticLag, 37u);
}
