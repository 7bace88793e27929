// Benchmark: the media file system's start-up scan of a striped volume that
// holds 1,000 clips in 4 folders (the board's start-up, bus scan, volume
// entries, folder entries, every file entry read and its space claimed),
// and the read of one body table of a 216,000-frame clip (two hours at 30
// frames a second) into its section and its flush, each against a plain
// read or write of the same blocks of the drive image in the same process.
//
// Everything goes through interfaces: the machine is booted with its
// drivers, the volume formatted and the clips made through the file
// system's control codes and Win32 calls on P:; the scan is timed as the
// difference between a boot with the board driver alone and a boot with the
// file system after it, in host and machine time, with the kernel's account
// of the board's interrupt meanwhile. It restarts the machine, so it does
// not run as a client of a machine host.
//
//   mediafs_scan [clips]

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_board.h"
#include "bench/bench_host.h"
#include "bench/bench_mediafs.h"

namespace {

constexpr uint32_t kBlock = 512;
constexpr uint32_t kDrives = 2;
constexpr uint32_t kFolders = 4;
constexpr uint32_t kClipFrames = 1800, kFrameBlocks = 16;  // a minute of video each
constexpr uint32_t kLongClipFrames = 216000;               // two hours: its body table, a frame's data

double Since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// What one boot cost: host time, machine time, and the board's interrupt
// vector's account since the boot.
struct BootCost {
    double hostSeconds = 0, machineSeconds = 0;
    machineinspect::InterruptRunTime board;
};

class ScanMachine {
public:
    ScanMachine()
        : folder_((std::filesystem::temp_directory_path() / ("mediafs_scan-" + std::to_string(getpid()))).string())
    {
        for (uint32_t id = 0; id < kDrives; ++id) {
            sim::DriveConfig d;
            d.id = int(id);
            d.blocks = 32ull << 20;  // 16 GB, sparse
            d.image = folder_ + "/drive" + std::to_string(id) + ".img";
            board_.drives.push_back(d);
        }
    }
    ~ScanMachine()
    {
        embedded::ShutdownMachine();
        std::filesystem::remove_all(folder_);
    }
    ScanMachine(const ScanMachine&) = delete;
    ScanMachine& operator=(const ScanMachine&) = delete;

    std::string Image(uint32_t drive) const { return board_.drives[drive].image; }

    // Boots a cold board with 'drivers' loaded in order; false after saying why.
    bool Boot(const std::vector<std::string>& drivers, BootCost* cost)
    {
        embedded::ShutdownMachine();
        std::string why;
        const auto start = std::chrono::steady_clock::now();
        if (!BootBenchMachine(folder_, sim::BoardsLayout(1, 4, board_), drivers, &hardware_, &why)) {
            std::fprintf(stderr, "mediafs_scan: %s\n", why.c_str());
            return false;
        }
        cost->hostSeconds = Since(start);
        cost->machineSeconds = MachineSeconds();
        std::vector<machineinspect::InterruptRunTime> runTimes;
        machineinspect::ReadInterruptRunTimes(&runTimes);
        for (const machineinspect::InterruptRunTime& v : runTimes)
            if (v.vector != 0 && v.interrupts > cost->board.interrupts) cost->board = v;
        return true;
    }

private:
    std::string folder_;
    sim::BoardOptions board_;
    sim::BuiltTopology hardware_;
};

// A clip of 'frames' frames in 'path', its space allocated and settled
// (the frames themselves are not written: the scan reads only entries).
// Its file entry's block goes into 'entryBlock'.
bool MakeClip(Drive& drive, const std::string& path, uint32_t frames, uint32_t dataBlocks, uint32_t* entryBlock)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const uint32_t tableBlocks = (frames * 8 + kBlock - 1) / kBlock;
    ZARFS_ALLOCATE_VIDEO_SPACE space{};
    space.DataBlocks = dataBlocks;
    space.TableBlocks = tableBlocks;
    bool ok = drive.FileControl(IOCTL_ZARFS_ALLOCATE_VIDEO_SPACE, file, &space) && space.Result == 0;
    if (ok) {
        ZARFS_UPDATE_VIDEO_FILE update{};
        update.FrameCount = frames;
        update.Video = {space.TableBlocksOut, space.DataBlocksOut, tableBlocks, dataBlocks, dataBlocks * kDrives, 0};
        update.Parts = ZARFS_UPDATE_VIDEO;
        ok = drive.FileControl(IOCTL_ZARFS_UPDATE_VIDEO_FILE, file, &update);
    }
    ZAR_FILE_LOCATION location{};
    ok = ok && drive.FileControl(IOCTL_ZARFS_GET_FILE_LOCATION_INFO, file, &location);
    *entryBlock = location.EntryBlock;
    CloseHandle(file);
    return ok;
}

// The volume, its folders and clips; the clips' entry blocks go into
// 'entries'. False after saying what failed.
bool MakeVolume(uint32_t clips, std::vector<uint32_t>* entries, std::string* longClip)
{
    Drive drive;
    ZAR_VOLUME_INFO volume{};
    std::memcpy(volume.Name, u"Media", 10);
    volume.DriveCount = kDrives;
    for (uint32_t i = 0; i < ZARFS_MAX_SCSI_IDS; ++i) volume.ScsiIds[i] = i < kDrives ? i : ZARFS_NO_DRIVE;
    if (!drive.Open() || !drive.Control(IOCTL_ZARFS_FORMAT_VOLUME, &volume)) {
        std::fprintf(stderr, "mediafs_scan: the volume could not be made\n");
        return false;
    }
    for (uint32_t f = 0; f < kFolders; ++f) {
        const std::string folder = std::string("P:\\KIV\\Media\\Folder") + char('A' + f);
        if (!CreateDirectoryA(folder.c_str(), nullptr)) {
            std::fprintf(stderr, "mediafs_scan: %s could not be made\n", folder.c_str());
            return false;
        }
    }
    for (uint32_t c = 0; c < clips; ++c) {
        const bool last = c + 1 == clips;
        const std::string path =
            std::string("P:\\KIV\\Media\\Folder") + char('A' + c % kFolders) + "\\clip" + std::to_string(c) + ".kiv";
        const uint32_t frames = last ? kLongClipFrames : kClipFrames;
        uint32_t block = 0;
        if (!MakeClip(drive, path, frames, last ? kFrameBlocks : kClipFrames * kFrameBlocks, &block)) {
            std::fprintf(stderr, "mediafs_scan: clip %u could not be made\n", c);
            return false;
        }
        entries->push_back(block);
        if (last) *longClip = path;
    }
    return true;
}

// Reads two blocks at each entry block straight from the image.
double PlainEntryReads(const std::string& image, const std::vector<uint32_t>& entries)
{
    int fd = ::open(image.c_str(), O_RDONLY);
    std::vector<char> buffer(2 * kBlock);
    const auto start = std::chrono::steady_clock::now();
    for (uint32_t block : entries) (void)!::pread(fd, buffer.data(), buffer.size(), off_t(block) * kBlock);
    const double seconds = Since(start);
    ::close(fd);
    return seconds;
}

}  // namespace

int main(int argc, char** argv)
{
    PrintHowRun("mediafs_scan");
    if (w32host::IsClient()) {
        std::fprintf(stderr, "mediafs_scan: it restarts its machine to time the scan; run it without ZAR_MACHINE\n");
        return 1;
    }
    const uint32_t clips = argc > 1 ? uint32_t(std::atoi(argv[1])) : 1000;
    ScanMachine machine;
    std::vector<uint32_t> entries;
    std::string longClip;
    BootCost made, boardOnly, withFileSystem;
    if (!machine.Boot({"ZARKD", "ZARFSKD"}, &made) || !MakeVolume(clips, &entries, &longClip)) return 1;

    // The scan: a boot with the file system after the board driver, less
    // one with the board driver alone.
    if (!machine.Boot({"ZARKD"}, &boardOnly) || !machine.Boot({"ZARKD", "ZARFSKD"}, &withFileSystem)) return 1;
    const double scanHost = withFileSystem.hostSeconds - boardOnly.hostSeconds;
    const double scanMachine = withFileSystem.machineSeconds - boardOnly.machineSeconds;
    const double driverMs = double(withFileSystem.board.interruptNs + withFileSystem.board.dpcNs -
                                   boardOnly.board.interruptNs - boardOnly.board.dpcNs) /
                            1e6;
    const double plain = PlainEntryReads(machine.Image(0), entries);
    std::printf("start-up scan of a %u-drive volume with %u clips in %u folders (a boot with the file system less "
                "one with the board driver alone): %.3f s host time, %.3f s machine time; the board's interrupt "
                "meanwhile: %llu interrupts, %.1f ms in ZarIsr and its DPCs; plain reads of the %zu file entries "
                "%.4f s (x%.0f)\n",
                kDrives, clips, kFolders, scanHost, scanMachine,
                static_cast<unsigned long long>(withFileSystem.board.interrupts - boardOnly.board.interrupts),
                driverMs, entries.size(), plain, plain > 0 ? scanHost / plain : 0.0);

    // The long clip's body table read and striped into its section, then
    // written back with verification: a move of none of the file's pieces
    // flushes the handle's table first, and moves nothing.
    Drive drive;
    HANDLE file = CreateFileA(longClip.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ZARFS_BODY_TABLE_REFERENCE reference{};
    reference.Table = 0;
    char16_t sectionName[260] = {};
    reference.Handle = uint32_t(reinterpret_cast<uintptr_t>(file));
    double machineStart = MachineSeconds();
    auto start = std::chrono::steady_clock::now();
    const bool referenced = file != INVALID_HANDLE_VALUE && drive.Open() &&
                            drive.Call(IOCTL_ZARFS_REFERENCE_BODY_TABLE, &reference, sizeof reference, sectionName,
                                       sizeof sectionName);
    const double loadHost = Since(start), loadMachine = MachineSeconds() - machineStart;
    uint32_t progress = 0;
    ZARFS_MOVE_FILE_SEGMENTS flush{};
    flush.ProgressAddress = uint32_t(reinterpret_cast<uintptr_t>(&progress));
    machineStart = MachineSeconds();
    start = std::chrono::steady_clock::now();
    const bool flushed = referenced && drive.FileControl(IOCTL_ZARFS_MOVE_FILE_SEGMENTS, file, &flush);
    const double flushHost = Since(start), flushMachine = MachineSeconds() - machineStart;
    const uint32_t tableBlocks = (kLongClipFrames * 8 + kBlock - 1) / kBlock;
    ZAR_FILE_LOCATION location{};
    if (flushed && drive.FileControl(IOCTL_ZARFS_GET_FILE_LOCATION_INFO, file, &location)) {
        std::vector<char> table(size_t(location.VideoTableBlocks) * kBlock);
        int fd = ::open(machine.Image(0).c_str(), O_RDWR);
        auto plainStart = std::chrono::steady_clock::now();
        (void)!::pread(fd, table.data(), table.size(), off_t(location.VideoTableFirst) * kBlock);
        const double plainRead = Since(plainStart);
        plainStart = std::chrono::steady_clock::now();
        (void)!::pwrite(fd, table.data(), table.size(), off_t(location.VideoTableFirst) * kBlock);
        ::fsync(fd);
        const double plainWrite = Since(plainStart);
        ::close(fd);
        std::printf("body table of a %u-frame clip (%u blocks): read and striped into its section through "
                    "IOCTL_ZARFS_REFERENCE_BODY_TABLE in %.3f s host time, %.3f s machine time, a plain read of the "
                    "same blocks %.4f s (x%.0f); flushed with verification through IOCTL_ZARFS_MOVE_FILE_SEGMENTS "
                    "(nothing moved) in %.3f s host time, %.3f s machine time, a plain write %.4f s (x%.0f)\n",
                    kLongClipFrames, tableBlocks, loadHost, loadMachine, plainRead,
                    plainRead > 0 ? loadHost / plainRead : 0.0, flushHost, flushMachine, plainWrite,
                    plainWrite > 0 ? flushHost / plainWrite : 0.0);
    } else {
        std::printf("the long clip's body table could not be read and flushed (error %lu)\n",
                    static_cast<unsigned long>(GetLastError()));
    }
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return flushed ? 0 : 1;
}
