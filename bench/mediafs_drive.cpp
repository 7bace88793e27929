// Benchmark: the media drive as user-mode programs use it, through Win32
// calls on P: only, each path against a plain read of the same bytes from
// the drive images in the same process.
//
// - A recorded clip read whole as a clip file with ReadFile (1 MB a call):
//   the view's header from memory, the fields from the two drives they are
//   striped over; the baseline is pread of the same field runs.
// - Two readers of that clip at once, each on its own handle and thread;
//   the baseline is the same two reads one after the other.
// - The same clip file written to a new name with WriteFile (1 MB a call):
//   the drive stores it as a clip (header checked, space reserved, fields
//   striped onto the drives); the baseline is pwrite of the same bytes to
//   a host file.
// - Folders of 200 and 2,000 clips made (an empty clip a CreateFile) and
//   listed with FindFirstFile/FindNextFile; the baselines are open+close of
//   as many host files in a host folder, and readdir+stat of that folder.
// The machine and the volume are set up through the board's and the file
// system's control codes, the clips' fields and body tables written into
// the images where the allocation put them.
//
//   mediafs_drive [clip-frames] [folder-clips...]

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_host.h"
#include "bench/bench_board.h"
#include "bench/bench_mediafs.h"
#include "include/zarfs.h"
#include "platform/win32/win32.h"

namespace {

constexpr uint32_t kBlock = 512;
constexpr uint32_t kFieldBlocks = 60;  // the demo's record rate
constexpr uint32_t kDrives = 2;

double Since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The benchmark's own machine, booted in a temporary folder that goes with it.
class DriveMachine {
public:
    DriveMachine()
        : folder_((std::filesystem::temp_directory_path() / ("mediafs_drive-" + std::to_string(getpid()))).string())
    {
        std::filesystem::create_directories(folder_);
    }
    ~DriveMachine()
    {
        if (booted_) embedded::ShutdownMachine();
        std::filesystem::remove_all(folder_);
    }
    DriveMachine(const DriveMachine&) = delete;
    DriveMachine& operator=(const DriveMachine&) = delete;

    const std::string& Folder() const { return folder_; }
    bool Boot(const sim::BoardOptions& board, std::string* why)
    {
        booted_ = BootBenchMachine(folder_, sim::BoardsLayout(1, 4, board), {"ZARKD", "ZARFSKD"}, &hardware_, why);
        return booted_;
    }

private:
    std::string folder_;
    sim::BuiltTopology hardware_;
    bool booted_ = false;
};

struct Images {
    std::string path[kDrives];
    void Write(uint32_t drive, uint32_t first, const void* data, size_t bytes) const
    {
        int fd = ::open(path[drive].c_str(), O_WRONLY);
        (void)!::pwrite(fd, data, bytes, off_t(first) * kBlock);
        ::close(fd);
    }
};

// A clip of 'frames' frames in 'path': allocated, its fields (filled with
// 'fill') and body table put into the images, settled. Each field's run
// goes into 'runs' as (drive, first block) when asked for.
bool MakeClip(Drive& drive, const Images& images, const std::string& path, uint32_t frames, bool writeData,
              std::vector<std::pair<uint32_t, uint32_t>>* runs, uint32_t* entryBlock)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const uint32_t fields = 2 * frames;
    const uint32_t tableBlocks = (frames * 8 + kBlock - 1) / kBlock;
    ZARFS_ALLOCATE_VIDEO_SPACE space{};
    space.DataBlocks = (fields + kDrives - 1) / kDrives * kFieldBlocks;
    space.TableBlocks = tableBlocks;
    bool ok = drive.FileControl(IOCTL_ZARFS_ALLOCATE_VIDEO_SPACE, file, &space) && space.Result == 0;
    if (ok) {
        std::vector<uint8_t> table(size_t(tableBlocks) * kBlock);
        std::vector<uint8_t> field(size_t(kFieldBlocks) * kBlock);
        for (uint32_t k = 0; k < fields; ++k) {
            const uint32_t entry = kFieldBlocks;
            std::memcpy(&table[4 * k], &entry, 4);
            const uint32_t first = space.DataFirstOut + (k / kDrives) * kFieldBlocks;
            if (runs != nullptr) runs->push_back({k % kDrives, first});
            if (!writeData) continue;
            std::memset(field.data(), int(k), field.size());
            images.Write(k % kDrives, first, field.data(), field.size());
        }
        images.Write(0, space.TableFirstOut, table.data(), table.size());
        ZARFS_UPDATE_VIDEO_FILE update{};
        update.FrameCount = frames;
        const uint32_t data = (fields + kDrives - 1) / kDrives * kFieldBlocks;
        update.Video = {space.TableBlocksOut, space.DataBlocksOut, tableBlocks, data, fields * kFieldBlocks, 0};
        update.Parts = ZARFS_UPDATE_VIDEO;
        ok = drive.FileControl(IOCTL_ZARFS_UPDATE_VIDEO_FILE, file, &update);
    }
    if (ok && entryBlock != nullptr) {
        ZAR_FILE_LOCATION location{};
        ok = drive.FileControl(IOCTL_ZARFS_GET_FILE_LOCATION_INFO, file, &location);
        *entryBlock = location.EntryBlock;
    }
    CloseHandle(file);
    return ok;
}

double PlainReads(const Images& images, const std::vector<std::pair<uint32_t, uint32_t>>& runs, uint32_t blocks)
{
    int fd[kDrives];
    for (uint32_t d = 0; d < kDrives; ++d) fd[d] = ::open(images.path[d].c_str(), O_RDONLY);
    std::vector<char> buffer(size_t(blocks) * kBlock);
    const auto start = std::chrono::steady_clock::now();
    for (auto [drive, first] : runs) (void)!::pread(fd[drive], buffer.data(), buffer.size(), off_t(first) * kBlock);
    const double seconds = Since(start);
    for (int f : fd) ::close(f);
    return seconds;
}

// Reads the clip file whole on its own handle; the bytes read.
uint64_t ReadWhole(const char* path)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    std::vector<uint8_t> chunk(1 << 20);
    uint64_t total = 0;
    DWORD got = 0;
    while (ReadFile(file, chunk.data(), DWORD(chunk.size()), &got, nullptr) && got > 0) total += got;
    CloseHandle(file);
    return total;
}

const char kTakePath[] = "P:\\KIV\\Media\\Take\\take.kiv";

DWORD WINAPI Reader(LPVOID result)
{
    *static_cast<uint64_t*>(result) = ReadWhole(kTakePath);
    return 0;
}

// Two whole reads of the clip at once, on two threads: host seconds.
double TwoReaders(uint64_t* bytes)
{
    uint64_t got[2] = {};
    const auto start = std::chrono::steady_clock::now();
    HANDLE threads[2];
    for (int i = 0; i < 2; ++i) threads[i] = CreateThread(nullptr, 0, Reader, &got[i], 0, nullptr);
    WaitForMultipleObjects(2, threads, TRUE, INFINITE);
    const double seconds = Since(start);
    for (HANDLE t : threads) CloseHandle(t);
    *bytes = got[0] + got[1];
    return seconds;
}

// 'clips' empty clips made in a new folder of the drive and listed, beside
// as many host files made in a host folder and listed with their sizes.
bool FolderOfClips(const std::string& hostFolder, uint32_t clips)
{
    const std::string folder = "P:\\KIV\\Media\\Many" + std::to_string(clips);
    if (!CreateDirectoryA(folder.c_str(), nullptr)) return false;
    auto start = std::chrono::steady_clock::now();
    for (uint32_t c = 0; c < clips; ++c) {
        HANDLE file = CreateFileA((folder + "\\clip" + std::to_string(c) + ".kiv").c_str(),
                                  GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) return false;
        CloseHandle(file);
    }
    const double makeSeconds = Since(start);
    WIN32_FIND_DATAA data;
    uint32_t listed = 0;
    start = std::chrono::steady_clock::now();
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do ++listed;
        while (FindNextFileA(find, &data));
        FindClose(find);
    }
    const double listSeconds = Since(start);

    const std::string host = hostFolder + "/many" + std::to_string(clips);
    std::filesystem::create_directories(host);
    start = std::chrono::steady_clock::now();
    for (uint32_t c = 0; c < clips; ++c)
        ::close(::open((host + "/clip" + std::to_string(c) + ".kiv").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644));
    const double hostMakeSeconds = Since(start);
    uint32_t hostListed = 0;
    start = std::chrono::steady_clock::now();
    if (DIR* dir = ::opendir(host.c_str())) {
        while (dirent* e = ::readdir(dir)) {
            struct stat st;
            if (::stat((host + "/" + e->d_name).c_str(), &st) == 0) ++hostListed;
        }
        ::closedir(dir);
    }
    const double hostListSeconds = Since(start);
    std::printf("%u clips made with CreateFile in one folder: %.3f s host time (%.0f µs a clip); open+close of as "
                "many host files: %.4f s (x%.1f)\n",
                clips, makeSeconds, makeSeconds * 1e6 / clips, hostMakeSeconds, makeSeconds / hostMakeSeconds);
    std::printf("  listed with FindFirstFile/FindNextFile: %u names in %.4f s host time (%.1f µs a name); "
                "readdir+stat of the host folder (%u names): %.4f s (x%.1f)\n",
                listed, listSeconds, listSeconds * 1e6 / std::max<uint32_t>(1, listed), hostListed, hostListSeconds,
                listSeconds / hostListSeconds);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    PrintHowRun("mediafs_drive");
    const uint32_t frames = argc > 1 ? uint32_t(std::atoi(argv[1])) : 150;
    std::vector<uint32_t> folders;
    for (int a = 2; a < argc; ++a) folders.push_back(uint32_t(std::atoi(argv[a])));
    if (folders.empty()) folders = {200, 2000};
    DriveMachine machine;
    sim::BoardOptions board;
    Images images;
    for (uint32_t id = 0; id < kDrives; ++id) {
        sim::DriveConfig d;
        d.id = int(id);
        d.blocks = 8ull << 20;  // 4 GB, sparse
        d.image = images.path[id] = machine.Folder() + "/drive" + std::to_string(id) + ".img";
        board.drives.push_back(d);
    }
    std::string why;
    if (!machine.Boot(board, &why)) {
        std::fprintf(stderr, "mediafs_drive: the machine did not start: %s\n", why.c_str());
        return 1;
    }
    Drive drive;
    ZAR_VOLUME_INFO volume{};
    std::memcpy(volume.Name, u"Media", 10);
    volume.DriveCount = kDrives;
    for (uint32_t i = 0; i < ZARFS_MAX_SCSI_IDS; ++i) volume.ScsiIds[i] = i < kDrives ? i : ZARFS_NO_DRIVE;
    if (!drive.Open() || !drive.Control(IOCTL_ZARFS_FORMAT_VOLUME, &volume) ||
        !CreateDirectoryA("P:\\KIV\\Media\\Take", nullptr)) {
        std::fprintf(stderr, "mediafs_drive: the volume could not be made\n");
        return 1;
    }

    // A clip read whole through ReadFile.
    std::vector<std::pair<uint32_t, uint32_t>> runs;
    if (!MakeClip(drive, images, kTakePath, frames, true, &runs, nullptr)) {
        std::fprintf(stderr, "mediafs_drive: the clip could not be made\n");
        return 1;
    }
    HANDLE file = CreateFileA(kTakePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    std::vector<uint8_t> chunk(1 << 20);
    uint64_t total = 0;
    DWORD got = 0;
    std::vector<uint8_t> view;
    auto start = std::chrono::steady_clock::now();
    while (ReadFile(file, chunk.data(), DWORD(chunk.size()), &got, nullptr) && got > 0) {
        total += got;
        view.insert(view.end(), chunk.begin(), chunk.begin() + got);
    }
    const double viewSeconds = Since(start);
    CloseHandle(file);
    const double plainSeconds = PlainReads(images, runs, kFieldBlocks);
    const uint64_t dataBytes = uint64_t(runs.size()) * kFieldBlocks * kBlock;
    std::printf("clip of %u frames (%zu fields of %u blocks on %u drives) read as a clip file with ReadFile, 1 MB a "
                "call: %.1f MB in %.3f s host time (%.1f MB/s); pread of the same field runs: %.4f s (x%.0f)\n",
                frames, runs.size(), kFieldBlocks, kDrives, double(total) / 1e6, viewSeconds,
                double(total) / 1e6 / viewSeconds, plainSeconds, viewSeconds / plainSeconds);
    if (total < dataBytes) std::printf("  (the view read short: %llu bytes)\n", static_cast<unsigned long long>(total));

    // Two readers of the clip at once, against the same two reads in turn.
    start = std::chrono::steady_clock::now();
    const uint64_t inTurn = ReadWhole(kTakePath) + ReadWhole(kTakePath);
    const double turnSeconds = Since(start);
    uint64_t together = 0;
    const double togetherSeconds = TwoReaders(&together);
    std::printf("two readers of the clip at once, each on its own handle and thread: %.3f s host time; the same two "
                "reads one after the other: %.3f s (x%.2f)%s\n",
                togetherSeconds, turnSeconds, togetherSeconds / turnSeconds,
                together == inTurn && together == 2 * total ? "" : " (a reader read SHORT)");

    // The clip file written back under a new name.
    HANDLE copy = CreateFileA("P:\\KIV\\Media\\Take\\copy.kiv", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    bool written = copy != INVALID_HANDLE_VALUE;
    start = std::chrono::steady_clock::now();
    for (size_t at = 0; written && at < view.size(); at += chunk.size()) {
        DWORD length = DWORD(std::min(chunk.size(), view.size() - at)), done = 0;
        written = WriteFile(copy, view.data() + at, length, &done, nullptr) && done == length;
    }
    const double writeSeconds = Since(start);
    if (copy != INVALID_HANDLE_VALUE) CloseHandle(copy);
    const std::string hostPath = machine.Folder() + "/copy.kiv";
    int fd = ::open(hostPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    start = std::chrono::steady_clock::now();
    for (size_t at = 0; at < view.size(); at += chunk.size())
        (void)!::pwrite(fd, view.data() + at, std::min(chunk.size(), view.size() - at), off_t(at));
    const double pwriteSeconds = Since(start);
    ::close(fd);
    std::printf("the same clip file written to a new name with WriteFile, 1 MB a call: %.1f MB in %.3f s host time "
                "(%.1f MB/s); pwrite of the same bytes to a host file: %.4f s (x%.0f)%s\n",
                double(view.size()) / 1e6, writeSeconds, double(view.size()) / 1e6 / writeSeconds, pwriteSeconds,
                writeSeconds / pwriteSeconds, written ? "" : " (a write was REFUSED)");

    // Folders of clips made and listed.
    for (uint32_t clips : folders)
        if (!FolderOfClips(machine.Folder(), clips)) {
            std::fprintf(stderr, "mediafs_drive: the folder of %u clips could not be made\n", clips);
            return 1;
        }
    return 0;
}
