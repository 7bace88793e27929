// The demo's clip section. What a recorder and a player built on the board
// do, the recording through the library's clip files, the rest with the
// board's control codes:
//
// - record: the library's media-volume clip file makes the clip on the
//   media drive and reserves its room through the file system's control
//   codes; codec 0 compresses the video input into the board's SDRAM field
//   ring; each field's descriptor is fetched from the record channel, the
//   library places the field and has the board write it from the ring to
//   the volume's drives, and its ring blocks are handed back. The clip
//   table keeps where each field went; the library finishes the clip with
//   what it holds, its index the body table it filled in.
// - play: each field is read from the drive into video channel 0's field
//   area, a node naming it is queued on the channel's play list, and the
//   channel plays them in order, a bounded number of fields ahead of the
//   codec so that the ring is never overwritten under it.
// - the file: listed in its folder on the drive letter and read back with
//   ReadFile as a clip file, its index and first frames checked against the
//   fields on the drives, then copied to a second name with WriteFile.
// - the copy: written through the library's ordinary-volume clip file as a
//   .kiv file on the machine's C:, then the clip and its copy each read
//   through its own kind of clip file and through the other one.
//
// The video input carries a moving pattern so that each played field can
// be matched with the source field it came from. The board's output is
// copied on the interrupt context, right after a field's decode, so the
// copy never sees a half-written field.
#include "demo_clip.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "include/zarkd.h"
#include "include/zarkd_jpeg.h"
#include "tools/clip_copy.h"
#include "tools/clip_file.h"
#include "tools/frame_service.h"
#include "platform/nt/clock.h"
#include "sim/board.h"
#include "tools/demo_clock.h"
#include "win32.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kPlayChannel = 20;          // video channel 0's play list
constexpr uint32_t kVideoChannel = 0;
constexpr uint32_t kDrive = 0;
constexpr char kClipName[] = "demo-take.kiv";
constexpr uint32_t kUpperSize = 60;            // blocks a field: the rate the record aims at
constexpr uint64_t kRecordFields = 180;        // three seconds at 525 lines
// The file's room: the fields that arrive after the stop, and fields up to
// twice the aimed-at size.
constexpr uint32_t kFileFields = kRecordFields + 60;
constexpr uint32_t kFileFieldBlocks = 2 * kUpperSize;
constexpr uint32_t kCheckedFrames = 2;         // compared byte for byte with the drives
constexpr uint32_t kPlayAhead = 24;            // fields queued ahead of the codec
constexpr uint32_t kPreload = 8;               // fields queued before the play starts
constexpr int kPatternFrames = 30;
constexpr int kPatternStep = 24;               // samples a frame: 30 frames move one line width
constexpr uint64_t kSnapshotEvery = 10;        // fields
constexpr size_t kPicturesWritten = 4;
constexpr uint32_t kNoStatus = 0xFF;           // what a command that never reached its status phase leaves
constexpr int kQueueReadIndex = 1;            // the next node the channel considers, in the status's queue words
// What a channel in error most likely means: on the real clock, a host
// that fell behind; on the virtual clock, a fault.
const char* BehindText()
{
    return nt::ClockGetMode() == nt::ClockMode::Real
               ? "  the channel went into error: a codec missed a field (the host fell behind real time)\n"
               : "  the channel went into error: a codec missed a field\n";
}

// Seconds of the host's own clock, for the figures that depend on the host.
double HostSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

const char* TimeKind() { return nt::ClockGetMode() == nt::ClockMode::Real ? "real time" : "machine time"; }

struct ClipField {
    uint32_t position;
    uint32_t drive;
    uint32_t diskBlock;
    uint32_t size;
    uint32_t parity;
};

// A buffer a disk request can name: VirtualAlloc's memory, which a client
// of a machine host shares with it.
class DiskBuffer {
public:
    explicit DiskBuffer(size_t bytes)
        : bytes_(bytes), data_(static_cast<uint8_t*>(VirtualAlloc(nullptr, bytes, MEM_COMMIT, PAGE_READWRITE)))
    {
    }
    ~DiskBuffer()
    {
        if (data_ != nullptr) VirtualFree(data_, 0, MEM_RELEASE);
    }
    DiskBuffer(const DiskBuffer&) = delete;
    DiskBuffer& operator=(const DiskBuffer&) = delete;
    uint8_t* Data() const { return data_; }
    size_t Size() const { return bytes_; }

private:
    size_t bytes_;
    uint8_t* data_;
};

uint32_t UserAddress(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

// The board as user mode opens it.
class ClipBoard {
public:
    explicit ClipBoard(unsigned long board)
    {
        const std::string name = "\\\\.\\KIVZAR" + std::to_string(board);
        handle_ = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    ~ClipBoard()
    {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    ClipBoard(const ClipBoard&) = delete;
    ClipBoard& operator=(const ClipBoard&) = delete;
    bool Open() const { return handle_ != INVALID_HANDLE_VALUE; }

    // The Win32 error of one request, 0 on success.
    DWORD Control(DWORD code, void* in, DWORD inLength, void* out, DWORD outLength)
    {
        DWORD returned = 0;
        return DeviceIoControl(handle_, code, in, inLength, out, outLength, &returned, nullptr) ? 0 : GetLastError();
    }

    // A disk request with the bus held; false with the reason printed when
    // the request or its command failed.
    bool Disk(ZAR_DISK_REQUEST& request, const char* what)
    {
        request.OwnsScsi = 1;
        request.ScsiStatus = kNoStatus;
        const DWORD error = Control(IOCTL_ZAR_DISK_REQUEST, &request, sizeof request, &request, sizeof request);
        if (error == 0 && request.ScsiStatus == 0) return true;
        std::printf("  %s failed: error %lu, SCSI status 0x%02X, sense key %u, ASC 0x%02X\n", what,
                    static_cast<unsigned long>(error), request.ScsiStatus, request.SenseKey,
                    request.AdditionalSenseCode);
        return false;
    }

    bool Command(ZAR_JPEG_COMMAND command, const char* what)
    {
        const DWORD error = Control(IOCTL_ZAR_JPEG_COMMAND, &command, sizeof command, &command, sizeof command);
        if (error != 0) std::printf("  JPEG command %s failed: error %lu\n", what, static_cast<unsigned long>(error));
        return error == 0;
    }

    bool Query(uint32_t channel, ZAR_CHANNEL_STATUS& status)
    {
        std::memset(&status, 0, sizeof status);
        status.Channel = channel;
        return Control(IOCTL_ZAR_JPEG_PLAYLIST_QUERY, &status, sizeof status, &status, sizeof status) == 0;
    }

    bool ResetPlaylist(uint32_t channel)
    {
        ZAR_CHANNEL_STATUS status{};
        status.Channel = channel;
        return Control(IOCTL_ZAR_PLY_RESET_PLAYLIST, &status, sizeof status, &status, sizeof status) == 0;
    }

    bool NextEntry(ZAR_JPEG_FIELD_DESCRIPTOR& descriptor)
    {
        ZAR_NODE_COMMAND command{ZAR_JPEG_RECORD_CHANNEL, 0, UserAddress(&descriptor)};
        return Control(IOCTL_ZAR_JPEG_GET_NEXT_ENTRY, nullptr, 0, &command, sizeof command) == 0;
    }

    bool Release(uint32_t parity, uint32_t blocks)
    {
        ZAR_JPEG_RELEASE_FIELD field{parity, blocks};
        return Control(IOCTL_ZAR_JPEG_RELEASE_SDRAM_FIELD, &field, sizeof field, nullptr, 0) == 0;
    }

    bool Insert(const ZAR_JPEG_PLAY_NODE* nodes, uint32_t count)
    {
        ZAR_NODE_SUBMIT submit{kPlayChannel, count, UserAddress(nodes)};
        return Control(IOCTL_ZAR_PLY_NODE_INSERT, &submit, sizeof submit, nullptr, 0) == 0;
    }

    bool Stop(uint32_t channel)
    {
        ULONG word = channel;
        return Control(IOCTL_ZAR_JPEG_PLAYLIST_STOP, &word, sizeof word, &word, sizeof word) == 0;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

ZAR_VIDEO_CHANNEL_STATE VideoState(const ZAR_CHANNEL_STATUS& status)
{
    ZAR_VIDEO_CHANNEL_STATE state;
    std::memcpy(&state, status.VideoState, sizeof state);
    return state;
}

int32_t StateWord(const ZAR_CHANNEL_STATUS& status) { return VideoState(status).StateWord; }

// The output of codec 0 as it stood right after a field's decode.
struct Snapshot {
    uint64_t shown;  // fields decoded by the codec so far
    sim::VideoField field[2];
};

// The clip the section recorded, for another section to play again.
std::vector<ClipField> recordedClip;

// Copies the output every kSnapshotEvery fields while active; the event
// reschedules itself just after each field start until told to stop.
struct SnapshotTaker : std::enable_shared_from_this<SnapshotTaker> {
    sim::Board* board = nullptr;
    std::atomic<bool> active{false};
    std::atomic<bool> stop{false};
    std::mutex lock;
    std::vector<Snapshot> taken;
    uint64_t last = 0;

    void Start()
    {
        auto self = shared_from_this();
        nt::ClockSchedule(nt::ClockNow(), [self] { self->Tick(); });
    }
    void Tick()
    {
        if (stop.load()) return;
        sim::VideoOutput& out = board->VideoOut();
        const uint64_t shown = out.FieldsShown(0);
        // A frame is a parity-1 field then a parity-0 one; the copy waits
        // for the parity-0 field's decode (during a parity-1 field) so that
        // both fields show the same frame.
        if (active.load() && shown - last >= kSnapshotEvery && board->Clock().Parity() == 1) {
            last = shown;
            std::lock_guard<std::mutex> guard(lock);
            taken.push_back({shown, {out.Field(0, 0), out.Field(0, 1)}});
        }
        auto self = shared_from_this();
        nt::ClockSchedule(board->Clock().NextFieldTime() + 1000, [self] { self->Tick(); });
    }
};

// The source field a played field shows: the closest of the pattern's
// fields on a coarse comparison of the luminance, then its PSNR in full.
struct Match {
    uint64_t field = 0;  // the feed's field number
    double psnr = 0;
};

Match MatchSource(const sim::VideoFeed& feed, const sim::VideoField& played)
{
    constexpr int W = sim::VideoGeometry::kWidth;
    const int lines = played.Geometry().activeLines;
    Match best;
    uint64_t bestSad = ~0ull;
    for (uint64_t f = 1; f <= 2 * feed.FrameCount(); ++f) {
        const sim::VideoField& source = feed.Field(f);
        uint64_t sad = 0;
        for (int line = 0; line < lines; line += 8)
            for (int x = 0; x < W; x += 2)
                sad += uint64_t(std::abs(int(played.Y()[line * W + x]) - int(source.Y()[line * W + x])));
        if (sad < bestSad) {
            bestSad = sad;
            best.field = f;
        }
    }
    if (best.field != 0) best.psnr = sim::Psnr(feed.Field(best.field), played);
    return best;
}

class ClipDemo {
public:
    ClipDemo(const DemoClipContext& context, ClipBoard& board)
        : context_(context), board_(board), hw_(*context.hardware)
    {
        standard_ = hw_.VideoIn().Geometry().standard;
        fieldNs_ = sim::FieldClock::FieldsToNs(standard_, 1);
    }

    // Plays a clip recorded before once more, calling 'eachTurn' once a turn
    // of the play loop.
    bool PlayAgain(const std::vector<ClipField>& clip, std::function<void()> eachTurn)
    {
        clip_ = clip;
        eachTurn_ = std::move(eachTurn);
        SnapshotTaker idle;
        return Play(idle);
    }

    void Run()
    {
        if (!DriveReady() || !StartPattern()) return;
        std::string why;
        if (!file_.Create(kClipName, kFileFields, kFileFieldBlocks, standard_ == 625, &why)) {
            std::printf("  (no clip file: %s)\n", why.c_str());
            return;
        }
        std::printf("  clip file %s: room for %u fields of up to %u blocks reserved on the volume's %u drives\n",
                    file_.Path().c_str(), kFileFields, kFileFieldBlocks, file_.DriveCount());
        // The bus is ours while the board records and plays, as a recorder
        // holds it; the file system's own requests come before and after.
        if (!AcquireBus()) return;
        const bool recorded = Record();
        if (recorded) PrintRecord();
        if (recorded && !clip_.empty()) recordedClip = clip_;
        auto taker = std::make_shared<SnapshotTaker>();
        taker->board = &hw_;
        bool played = false;
        if (recorded && !clip_.empty()) {
            taker->Start();
            played = Play(*taker);
            taker->stop.store(true);
        }
        // The clip finished with what it holds: its index is the body table
        // the library filled in, which the file system keeps.
        const bool indexed = recorded;
        board_.Control(IOCTL_ZAR_RELEASE_SCSI, nullptr, 0, nullptr, 0);
        if (played) Report(*taker);
        if (!indexed) return;
        if (!file_.Settle(&why)) {
            std::printf("  %s\n", why.c_str());
            return;
        }
        std::printf("  the clip finished through the library: %u frames\n", file_.Frames());
        ShowFile();
        // A copy as a clip file on the machine's C:, through the library's
        // ordinary-volume clip file, and both read back through each kind.
        std::string copyTo = file_.Path();
        copyTo.insert(copyTo.size() - 4, "-c");
        std::printf("  copied to C:\\%s through the library: %s\n", kClipName,
                    file_.CopyAndCompare(std::string("C:\\") + kClipName, copyTo).c_str());
    }

private:
    bool AcquireBus()
    {
        if (board_.Control(IOCTL_ZAR_ACQUIRE_SCSI, nullptr, 0, nullptr, 0) == 0) return true;
        std::printf("  the SCSI bus could not be acquired\n");
        return false;
    }

    // Drive 0 ready and any unit attention of the scan consumed.
    bool DriveReady()
    {
        ZAR_SCSI_DEVICE_INFO info{};
        info.ScsiId = kDrive;
        if (board_.Control(IOCTL_ZAR_GET_SCSI_DEVICE, &info, sizeof info, &info, sizeof info) != 0 ||
            info.State != ZAR_SCSI_DEVICE_READY) {
            ZAR_DISK_REQUEST scan{};
            scan.Operation = ZAR_DISK_OP_SCAN;
            board_.Disk(scan, "bus scan");
            info = {};
            info.ScsiId = kDrive;
            board_.Control(IOCTL_ZAR_GET_SCSI_DEVICE, &info, sizeof info, &info, sizeof info);
        }
        if (info.State != ZAR_SCSI_DEVICE_READY) {
            std::printf("  (drive %u is not ready: no clip)\n", kDrive);
            return false;
        }
        for (int attempt = 0; attempt < 3; ++attempt) {
            ZAR_DISK_REQUEST ready{};
            ready.Operation = ZAR_DISK_OP_TEST_UNIT_READY;
            ready.TargetId = kDrive;
            ready.OwnsScsi = 1;
            ready.ScsiStatus = kNoStatus;
            board_.Control(IOCTL_ZAR_DISK_REQUEST, &ready, sizeof ready, &ready, sizeof ready);
            if (ready.ScsiStatus == 0) return true;
        }
        std::printf("  (drive %u does not answer TEST UNIT READY: no clip)\n", kDrive);
        return false;
    }

    bool StartPattern()
    {
        sim::VideoFeed& feed = hw_.VideoIn();
        if (!RunBetweenFields([&feed] { feed.UseMovingTestPattern(kPatternFrames, kPatternStep); })) {
            std::printf("  (the video input did not take the moving pattern)\n");
            return false;
        }
        std::printf("  video input: the test pattern moving %d samples a frame (%d frames in a loop), %d lines\n",
                    kPatternStep, kPatternFrames, standard_);
        return true;
    }

    // Fetches every descriptor the record channel has published, writes its
    // field to the drive and gives its blocks back.
    bool Drain()
    {
        ZAR_CHANNEL_STATUS status;
        if (!board_.Query(ZAR_JPEG_RECORD_CHANNEL, status)) {
            std::printf("  record channel query failed\n");
            return false;
        }
        const uint32_t written = status.Queue[ZAR_CHANNEL_STATUS_QUEUE_WRITE];
        while (fetched_ != written) {
            ZAR_JPEG_FIELD_DESCRIPTOR d{};
            if (!board_.NextEntry(d)) {
                std::printf("  descriptor %u of %u could not be fetched\n", fetched_, written);
                return false;
            }
            ++fetched_;
            if (d.Dropped || d.Size == 0) continue;  // counted by the channel
            // The library checks the field's place and has the board write
            // it there; a field the clip has no room for is left out, never
            // written past the clip's own run.
            ClipFileField place{};
            bool room = true;
            std::string why;
            const bool ok = file_.Record(d.Size, d.Address * ZAR_JPEG_BLOCK_BYTES, d.Parity, &place, &room, &why);
            if (!ok) std::printf("  %s\n", why.c_str());
            if (!board_.Release(d.Parity, d.Size)) {
                std::printf("  release of %u blocks of parity %u failed\n", d.Size, d.Parity);
                return false;
            }
            if (!ok) return false;
            if (!room) {
                ++leftOut_;
                continue;
            }
            clip_.push_back({d.Position, place.drive, place.firstBlock, d.Size, d.Parity});
        }
        return true;
    }

    bool Record()
    {
        ZAR_JPEG_COMMAND reset{};
        reset.Command = ZAR_JPEG_CMD_RESET;
        reset.Channel = 2;
        if (!board_.Command(reset, "reset") || !board_.ResetPlaylist(ZAR_JPEG_RECORD_CHANNEL)) return false;

        ZAR_JPEG_COMMAND record{};
        record.Command = ZAR_JPEG_CMD_RECORD;
        record.Channel = kVideoChannel;
        record.RateMode = 1;
        record.UpperSize[0] = record.UpperSize[1] = kUpperSize;
        record.End = ZAR_JPEG_NO_OUT_POINT;
        const uint64_t encodedBefore = hw_.Jpeg().Codec(0).FieldsEncoded();
        recordStart_ = nt::ClockNow();
        recordHostStart_ = HostSeconds();
        if (!board_.Command(record, "record")) return false;

        // The codec runs on the field clock; this loop only has to keep the
        // ring drained, which a few milliseconds a turn does.
        const uint64_t end = recordStart_ + kRecordFields * fieldNs_;
        bool ok = true;
        while (ok && nt::ClockNow() < end) {
            ok = Drain();
            Sleep(4);
        }
        board_.Stop(kVideoChannel);
        recordTime_ = nt::ClockNow() - recordStart_;
        recordHostTime_ = HostSeconds() - recordHostStart_;

        // The last fields arrive within a few fields of the stop.
        const uint64_t settle = nt::ClockNow() + 1000000000ull;
        ZAR_CHANNEL_STATUS status;
        while (ok && nt::ClockNow() < settle) {
            ok = Drain();
            if (!board_.Query(ZAR_JPEG_RECORD_CHANNEL, status)) break;
            if (StateWord(status) != ZAR_VIDEO_RECORD && status.Queue[ZAR_CHANNEL_STATUS_QUEUE_WRITE] == fetched_)
                break;
            Sleep(4);
        }
        if (ok) ok = Drain();
        board_.Query(ZAR_JPEG_RECORD_CHANNEL, status);
        recordState_ = VideoState(status);
        encoded_ = hw_.Jpeg().Codec(0).FieldsEncoded() - encodedBefore;
        if (StateWord(status) == ZAR_VIDEO_RECORD) {
            std::printf("  the record channel did not stop within a second (state %d)\n", StateWord(status));
            // A channel left recording would keep its codec encoding every
            // field until the machine goes: reset the codecs instead.
            ZAR_JPEG_COMMAND reset{};
            reset.Command = ZAR_JPEG_CMD_RESET;
            reset.Channel = 2;
            if (board_.Command(reset, "reset") && board_.Query(ZAR_JPEG_RECORD_CHANNEL, status))
                std::printf("  the codecs were reset: record channel state %d\n", StateWord(status));
            return false;
        }
        if (recordState_.StateWord < 0) std::printf("%s", BehindText());
        return ok;
    }

    void PrintRecord()
    {
        uint64_t blocks = 0;
        for (const ClipField& f : clip_) blocks += f.size;
        const double perSecond = 1e9 / double(fieldNs_);
        const double average = clip_.empty() ? 0 : double(blocks) / double(clip_.size());
        std::printf("  recorded %zu fields in %.2f s of %s, %.2f s of host time (codec 0 encoded %llu; %u dropped, "
                    "state %d, error flag %u)\n",
                    clip_.size(), double(recordTime_) / 1e9, TimeKind(), recordHostTime_,
                    static_cast<unsigned long long>(encoded_),
                    recordState_.DroppedFields, recordState_.StateWord, recordState_.ErrorFlag);
        std::printf("  average field %.1f blocks (%.1f KB), %.2f MB/s; target %u blocks a field, %.2f MB/s (%.0f%%)\n",
                    average, average * ZAR_JPEG_BLOCK_BYTES / 1024, average * ZAR_JPEG_BLOCK_BYTES * perSecond / 1e6,
                    kUpperSize, double(kUpperSize) * ZAR_JPEG_BLOCK_BYTES * perSecond / 1e6,
                    100.0 * average / kUpperSize);
        if (leftOut_ != 0) std::printf("  %u fields left out: the file had no more room for them\n", leftOut_);
        if (!clip_.empty())
            std::printf("  clip table: %zu fields at positions %u-%u, from block %u on the volume's %u drives in "
                        "turn\n",
                        clip_.size(), clip_.front().position, clip_.back().position, clip_.front().diskBlock,
                        file_.DriveCount());
    }

    // The clip file as the drive letter shows it: its folder listed, the
    // file read whole with ReadFile, its index and first frames compared
    // with the body table and the fields on the drives.
    void ShowFile()
    {
        std::printf("  %s\\ (FindFirstFile/FindNextFile):\n", file_.Folder().c_str());
        WIN32_FIND_DATAA data;
        HANDLE find = FindFirstFileA((file_.Folder() + "\\*").c_str(), &data);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                std::printf("    %-32s %12llu bytes\n", data.cFileName,
                            (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
            } while (FindNextFileA(find, &data));
            FindClose(find);
        }
        HANDLE file = CreateFileA(file_.Path().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                  nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            std::printf("  %s cannot be opened: error %lu\n", file_.Path().c_str(),
                        static_cast<unsigned long>(GetLastError()));
            return;
        }
        DWORD high = 0;
        const uint64_t size = GetFileSize(file, &high) | (uint64_t(high) << 32);
        std::vector<uint8_t> view;
        view.reserve(size);
        std::vector<uint8_t> chunk(64 * 1024);
        const double start = HostSeconds();
        DWORD got = 0;
        while (ReadFile(file, chunk.data(), DWORD(chunk.size()), &got, nullptr) && got > 0)
            view.insert(view.end(), chunk.begin(), chunk.begin() + got);
        const double seconds = HostSeconds() - start;
        CloseHandle(file);
        std::printf("  read back with ReadFile: %zu of %llu bytes in %.2f s of host time\n", view.size(),
                    static_cast<unsigned long long>(size), seconds);
        std::printf("  as a clip file: %s\n", CheckView(view).c_str());
        // Copied to a second name in the same folder, as a file-copy program would.
        std::string copy = file_.Path();
        copy.insert(copy.size() - 4, "-copy");
        std::printf("  copied to %s: %s\n", copy.substr(copy.rfind('\\') + 1).c_str(), CopyClipFile(copy, view).c_str());
        ShowFrameFiles();
    }

    // The clip as frame files of a foreign type, which a service renders:
    // the demo's own stand-in serves "JPG" frame files, each the frame's
    // first field as the board stored it.
    void ShowFrameFiles()
    {
        if (file_.Frames() == 0) return;
        FrameService service;
        std::string why;
        if (!service.Start(file_.Path(), kFileFieldBlocks * 512, &why)) {
            std::printf("  (no frame files: %s)\n", why.c_str());
            return;
        }
        // The type shows the clip as a directory of its frame files.
        std::string folder = file_.Path();
        const size_t types = folder.find("\\KIV\\");
        if (types != std::string::npos) folder.replace(types + 1, 3, FrameService::kExtension);
        std::vector<std::string> names;
        WIN32_FIND_DATAA data;
        HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &data);
        if (find != INVALID_HANDLE_VALUE) {
            do names.push_back(data.cFileName);
            while (FindNextFileA(find, &data));
            FindClose(find);
        }
        std::printf("  %s\\ lists %zu frame files", folder.c_str(), names.size());
        for (size_t k = 0; k < names.size() && k < 3; ++k) std::printf("%s %s", k ? "," : ":", names[k].c_str());
        std::printf("%s\n", names.size() > 3 ? ", ..." : "");
        if (names.empty()) {
            service.Stop();
            return;
        }
        std::vector<size_t> picks = {0, names.size() / 2, names.size() - 1};
        picks.erase(std::unique(picks.begin(), picks.end()), picks.end());
        size_t pictures = 0;
        std::string written;
        for (size_t pick : picks) {
            if (pick >= names.size()) continue;
            HANDLE h = CreateFileA((folder + "\\" + names[pick]).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
            if (h == INVALID_HANDLE_VALUE) continue;
            std::vector<uint8_t> picture(GetFileSize(h, nullptr));
            DWORD got = 0;
            const bool read = ReadFile(h, picture.data(), DWORD(picture.size()), &got, nullptr) && got > 3;
            CloseHandle(h);
            if (!read || picture[0] != 0xFF || picture[1] != 0xD8 || picture[2] != 0xFF) continue;
            ++pictures;
            if (pick != names.size() / 2) continue;
            // The middle frame as a picture file any viewer opens.
            const fs::path out = fs::path(context_.machineFolder) / "output" / ("frame-file-" + names[pick]);
            std::error_code error;
            fs::create_directories(out.parent_path(), error);
            if (FILE* f = std::fopen(out.string().c_str(), "wb")) {
                std::fwrite(picture.data(), 1, got, f);
                std::fclose(f);
                written = out.string();
            }
        }
        service.Stop();
        std::printf("  %zu of %zu frame files read start as a JPEG picture (%u reads the service answered)%s%s\n",
                    pictures, picks.size(), service.ReadsAnswered(),
                    written.empty() ? "" : "; the middle one written to ", written.c_str());
    }

    // What the view's header, index and first frames say against the clip.
    std::string CheckView(const std::vector<uint8_t>& view)
    {
        auto u32 = [&view](size_t at) {
            uint32_t v = 0;
            if (at + 4 <= view.size()) std::memcpy(&v, &view[at], 4);
            return v;
        };
        if (view.size() < 360 || std::memcmp(view.data(), "KIV0", 4) != 0) return "no clip-file header";
        const std::vector<uint8_t> table = file_.BodyTable();
        const size_t dataStart = 360 + table.size();
        std::string out = "header \"KIV0\", " + std::to_string(u32(320)) + " frames of " +
                          std::to_string(file_.Frames()) + " settled";
        const bool indexSame = view.size() >= 344 + table.size() &&
                               std::memcmp(&view[344], table.data(), table.size()) == 0;
        out += indexSame ? ", index = the body table" : ", index DIFFERS from the body table";
        // The first frames' fields, read from their drives.
        size_t at = dataStart;
        size_t same = 0;
        const size_t fields = std::min<size_t>(2 * kCheckedFrames, 2 * file_.Frames());
        for (size_t k = 0; k < fields; ++k) {
            const ClipField& f = clip_[k];
            DiskBuffer buffer(size_t(f.size) * 512);
            ZAR_DISK_REQUEST read{};
            read.Operation = ZAR_DISK_OP_READ;
            read.TargetId = f.drive;
            read.FirstBlock = f.diskBlock;
            read.BlockCount = f.size;
            read.UserBuffer = UserAddress(buffer.Data());
            read.UserBufferLength = uint32_t(buffer.Size());
            if (buffer.Data() == nullptr || !board_.Disk(read, "field read")) break;
            if (at + buffer.Size() <= view.size() && std::memcmp(&view[at], buffer.Data(), buffer.Size()) == 0) ++same;
            at += buffer.Size();
        }
        out += ", " + std::to_string(same) + " of the first " + std::to_string(fields) +
               " fields identical to the drives";
        return out;
    }

    // Reads field i from the drive into the channel's field area and names
    // it in a node.
    bool Load(size_t i, ZAR_JPEG_PLAY_NODE& node)
    {
        const ClipField& f = clip_[i];
        ZAR_DISK_REQUEST read{};
        read.Operation = ZAR_DISK_OP_JPEG_FIELD_READ;
        read.TargetId = f.drive;
        read.FirstBlock = f.diskBlock;
        read.BlockCount = f.size;
        read.AccessMode = ZAR_DISK_ACCESS_2;
        read.JpegChannel = kVideoChannel;
        read.FieldOffset = playOffset_;
        if (!board_.Disk(read, "field read")) return false;
        playOffset_ = (playOffset_ + f.size) % ZAR_JPEG_RING_BLOCKS;
        node = {};
        node.Head.Length = sizeof(ZAR_JPEG_PLAY_NODE);
        node.Head.Field = f.position;
        // Where the driver put it, whatever the channel's head was.
        node.Address = read.SdramAddress / ZAR_JPEG_BLOCK_BYTES;
        node.Size = f.size;
        return true;
    }

    bool LoadAndInsert(size_t count)
    {
        std::vector<ZAR_JPEG_PLAY_NODE> nodes(count);
        for (size_t k = 0; k < count; ++k)
            if (!Load(loaded_ + k, nodes[k])) return false;
        if (!board_.Insert(nodes.data(), uint32_t(count))) {
            std::printf("  node insert on channel %u failed\n", kPlayChannel);
            return false;
        }
        loaded_ += count;
        return true;
    }

    bool Play(SnapshotTaker& taker)
    {
        if (!board_.ResetPlaylist(kPlayChannel)) {
            std::printf("  play list reset failed\n");
            return false;
        }
        playOffset_ = 0;
        loaded_ = 0;
        const uint64_t start = nt::ClockNow();
        const double hostStart = HostSeconds();
        if (!LoadAndInsert(std::min<size_t>(kPreload, clip_.size()))) return false;
        const uint64_t decodedBefore = hw_.Jpeg().Codec(0).FieldsDecoded();
        const uint64_t errorsBefore = hw_.Jpeg().Codec(0).DecodeErrors();
        const uint64_t shownBefore = hw_.VideoOut().FieldsShown(0);

        ZAR_JPEG_COMMAND play{};
        play.Command = ZAR_JPEG_CMD_PLAY;
        play.Channel = kVideoChannel;
        play.Start = clip_.front().position;
        play.End = clip_.back().position + 1;
        if (!board_.Command(play, "play")) return false;

        // The whole clip, the start and a margin for late fields.
        const uint64_t deadline = nt::ClockNow() + (clip_.size() + 120) * fieldNs_;
        ZAR_CHANNEL_STATUS status;
        uint32_t taken = 0;
        bool seenPlaying = false;
        bool ended = false;
        while (nt::ClockNow() < deadline) {
            if (!board_.Query(kPlayChannel, status)) {
                std::printf("  play channel query failed\n");
                break;
            }
            const int32_t state = StateWord(status);
            taken = status.Queue[kQueueReadIndex];
            if (eachTurn_) eachTurn_();
            if (state == ZAR_VIDEO_PLAY) seenPlaying = true;
            if (seenPlaying && !taker.active.load() && hw_.VideoOut().FieldsShown(0) - shownBefore >= 4)
                taker.active.store(true);
            if ((seenPlaying && state != ZAR_VIDEO_PLAY) || state < 0) {
                ended = true;
                break;
            }
            if (loaded_ < clip_.size() && loaded_ - taken < kPlayAhead) {
                if (!LoadAndInsert(std::min<size_t>(4, clip_.size() - loaded_))) break;
                continue;
            }
            Sleep(3);
        }
        taker.active.store(false);
        const ZAR_VIDEO_CHANNEL_STATE state = VideoState(status);
        const uint64_t playTime = nt::ClockNow() - start;
        const uint64_t decoded = hw_.Jpeg().Codec(0).FieldsDecoded() - decodedBefore;
        std::printf("  played %u of %zu fields from the drive in %.2f s of %s, %.2f s of host time (codec 0 decoded "
                    "%llu, %llu decode errors, %u late, channel state %d)\n",
                    taken, clip_.size(), double(playTime) / 1e9, TimeKind(), HostSeconds() - hostStart,
                    static_cast<unsigned long long>(decoded),
                    static_cast<unsigned long long>(hw_.Jpeg().Codec(0).DecodeErrors() - errorsBefore),
                    state.DroppedFields, state.StateWord);
        if (state.StateWord == ZAR_VIDEO_HOLD && taken + 1 == clip_.size())
            std::printf("  (the clip's last field stays queued, shown again once as late, while the channel comes "
                        "to hold on it)\n");
        if (state.StateWord < 0) std::printf("%s", BehindText());
        if (!ended) {
            std::printf("  the play did not %s in time (%zu of %zu fields loaded)\n",
                        seenPlaying ? "come to its end" : "start", loaded_, clip_.size());
            board_.Stop(kVideoChannel);
        }
        return seenPlaying;
    }

    void Report(SnapshotTaker& taker)
    {
        std::vector<Snapshot> shots;
        {
            std::lock_guard<std::mutex> guard(taker.lock);
            shots = std::move(taker.taken);
        }
        if (shots.empty()) {
            std::printf("  (no output field was captured)\n");
            return;
        }
        // Each copy's fields against the source fields they show; between
        // two copies the source must have moved on by as many fields as the
        // codec decoded, or fields were lost, repeated or out of order.
        const sim::VideoFeed& feed = hw_.VideoIn();
        const uint64_t cycle = 2 * feed.FrameCount();
        double lowest = 1e9, sum = 0;
        int count = 0;
        size_t inOrder = 0;
        uint64_t previousField = 0, previousShown = 0;
        for (size_t k = 0; k < shots.size(); ++k) {
            const Snapshot& s = shots[k];
            for (const sim::VideoField& field : s.field) {
                const Match match = MatchSource(feed, field);
                lowest = std::min(lowest, match.psnr);
                sum += match.psnr;
                ++count;
            }
            const uint64_t field = MatchSource(feed, s.field[0]).field;
            if (k > 0 && (field + cycle - previousField) % cycle == (s.shown - previousShown) % cycle) ++inOrder;
            previousField = field;
            previousShown = s.shown;
        }
        std::printf("  PSNR of %d played fields against their source fields: min %.1f dB, mean %.1f dB\n", count,
                    lowest, sum / count);
        std::printf("  picture order: %zu of %zu steps between copies moved on by the fields decoded\n", inOrder,
                    shots.size() - 1);

        const fs::path folder = fs::path(context_.machineFolder) / "output";
        std::error_code error;
        fs::create_directories(folder, error);
        sim::VideoOutput picture(standard_);
        std::vector<std::string> written;
        for (size_t k = 0; k < kPicturesWritten && k < shots.size(); ++k) {
            const Snapshot& s = shots[k * shots.size() / std::min(kPicturesWritten, shots.size())];
            picture.Field(0, 0) = s.field[0];
            picture.Field(0, 1) = s.field[1];
            char name[32];
            std::snprintf(name, sizeof name, "frame-%03zu.ppm", k);
            std::string why;
            if (picture.Capture(0, (folder / name).string(), &why))
                written.push_back(name);
            else
                std::printf("  %s\n", why.c_str());
        }
        if (!written.empty()) {
            std::printf("  %zu played frames written to %s:", written.size(), folder.c_str());
            for (const std::string& name : written) std::printf(" %s", name.c_str());
            std::printf("\n");
        }
    }

    const DemoClipContext& context_;
    ClipBoard& board_;
    sim::Board& hw_;
    int standard_ = 525;
    uint64_t fieldNs_ = 0;
    std::vector<ClipField> clip_;
    ClipFile file_;
    uint32_t fetched_ = 0;
    uint32_t leftOut_ = 0;
    uint64_t recordStart_ = 0, recordTime_ = 0, encoded_ = 0;
    double recordHostStart_ = 0, recordHostTime_ = 0;
    ZAR_VIDEO_CHANNEL_STATE recordState_{};
    uint32_t playOffset_ = 0;
    size_t loaded_ = 0;
    std::function<void()> eachTurn_;
};

}  // namespace

void ShowClip(const DemoClipContext& context)
{
    std::printf("\n== Clip: record to disk and play back ==\n");
    if (context.hardware == nullptr) {
        std::printf("  (no simulated board)\n");
        return;
    }
    ClipBoard board(context.board);
    if (!board.Open()) {
        std::printf("  cannot open \\\\.\\KIVZAR%lu (error %lu)\n", context.board,
                    static_cast<unsigned long>(GetLastError()));
        return;
    }
    ClipDemo(context, board).Run();
}

bool RecordedClipPositions(uint32_t* first, uint32_t* last)
{
    if (recordedClip.empty()) return false;
    *first = recordedClip.front().position;
    *last = recordedClip.back().position;
    return true;
}

bool PlayRecordedClip(const DemoClipContext& context, std::function<void()> eachTurn)
{
    if (recordedClip.empty() || context.hardware == nullptr) return false;
    ClipBoard board(context.board);
    if (!board.Open() || board.Control(IOCTL_ZAR_ACQUIRE_SCSI, nullptr, 0, nullptr, 0) != 0) {
        std::printf("  board %lu or its SCSI bus could not be had for the play\n", context.board);
        return false;
    }
    const bool played = ClipDemo(context, board).PlayAgain(recordedClip, std::move(eachTurn));
    board.Control(IOCTL_ZAR_RELEASE_SCSI, nullptr, 0, nullptr, 0);
    return played;
}
