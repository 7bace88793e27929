// Benchmark: the media file system's start-up scan of a striped volume that
// holds 1,000 clips (bus scan, volume entries, 256 folder entries, every
// file entry read and its space claimed), and the flush of one body table of
// a 216,000-frame clip (two hours at 30 frames a second), each against a
// plain read or write of the same bytes from the drive image in the same
// process.
//
//   mediafs_scan [clips]

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/bench_host.h"
#include "bench/bench_machine.h"
#include "drivers/mediafs/zarfs_driver.h"
#include "outside/fpga_images.h"
#include "platform/nt/clock.h"

namespace {

constexpr ULONG kBlock = 512;
constexpr ULONG kFolders = 4;
constexpr ULONG kLongClipFrames = 216000;

double HostSeconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Reads (or writes) 'count' blocks at each of 'firsts' straight from the image.
double PlainIo(const std::string& image, const std::vector<std::pair<ULONG, ULONG>>& runs, bool write)
{
    int fd = ::open(image.c_str(), write ? O_RDWR : O_RDONLY);
    std::vector<char> buffer;
    auto start = std::chrono::steady_clock::now();
    for (auto [first, count] : runs) {
        buffer.resize(size_t(count) * kBlock);
        if (write)
            (void)!::pwrite(fd, buffer.data(), buffer.size(), off_t(first) * kBlock);
        else
            (void)!::pread(fd, buffer.data(), buffer.size(), off_t(first) * kBlock);
    }
    if (write) ::fsync(fd);
    double seconds = HostSeconds(start);
    ::close(fd);
    return seconds;
}

NTSTATUS LoadFileSystem()
{
    RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(u"ZARFSKD"));
    ULONG one = 1;
    const char16_t image[] = u"System32\\drivers\\ZARFSKD.sys";
    RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"ZARFSKD", u"Type", REG_DWORD, &one, 4);
    RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"ZARFSKD", u"ImagePath", REG_EXPAND_SZ,
                          const_cast<char16_t*>(image), sizeof image);
    return nt::IoLoadDriver(u"ZARFSKD");
}

}  // namespace

int main(int argc, char** argv)
{
    PrintHowRun("mediafs_scan");
    const ULONG clips = argc > 1 ? ULONG(std::atoi(argv[1])) : 1000;
    BenchMachine machine("mediafs_scan");
    sim::BoardOptions board;
    for (int id : {0, 1}) {
        sim::DriveConfig d;
        d.id = id;
        d.blocks = 32ull << 20;  // 16 GB, sparse
        d.image = machine.Folder() + "/drive" + std::to_string(id) + ".img";
        board.drives.push_back(d);
    }
    std::string why;
    if (!fpgaimages::InstallImageFiles(std::filesystem::path(machine.Folder()) / "drives/C/WINNT/system32/drivers", 0,
                                       &why) ||
        !machine.Boot(sim::BoardsLayout(1, 4, board), nt::ClockMode::Virtual)) {
        std::fprintf(stderr, "mediafs_scan: the machine did not start %s\n", why.c_str());
        return 1;
    }
    if (!NT_SUCCESS(LoadFileSystem())) {
        std::fprintf(stderr, "mediafs_scan: ZARFSKD did not load\n");
        return 1;
    }

    // The volume and its clips, through the driver's own routines.
    ZARFS_HW_CONTEXT* hw = &ZarFsGlobFindCard(0)->Hw;
    ZAR_VOLUME_INFO request{};
    const char16_t name[] = u"Media";
    std::memcpy(request.Name, name, 10);
    request.DriveCount = 2;
    for (ULONG i = 0; i < ZARFS_MAX_SCSI_IDS; ++i) request.ScsiIds[i] = i < 2 ? i : ZARFS_NO_DRIVE;
    LONG result = 1;
    ZarFsHwFormatVolume(hw, &request, &result);
    auto* volume = CONTAINING_RECORD(hw->Volumes.Flink, ZARFS_HW_VOLUME, Link);
    std::vector<std::pair<ULONG, ULONG>> metadata;
    for (ULONG f = 0; f < kFolders; ++f) {
        ULONG slot = 0;
        std::u16string folder = u"Folder" + std::u16string(1, char16_t(u'A' + f));
        ZarFsHwCreateFolder(hw, volume, folder.data(), ULONG(folder.size()), &slot);
    }
    for (ULONG s = 0; s < ZARFS_FOLDER_SLOTS; ++s)
        metadata.push_back({ZarFsHwFolderBlock(volume->FolderAreaFirst, s), ZARFS_DIR_ENTRY_BLOCKS});
    ULONG longClipEntry = 0;
    ZAR_FILE_INFO longClip{};
    for (ULONG c = 0; c < clips; ++c) {
        // A minute of video each, the last one two hours long.
        // (the long one's frames would not fit on the drives: only its table is made).
        bool last = c + 1 == clips;
        ULONG frames = last ? kLongClipFrames : 1800;
        ULONG tableBlocks = ZarFsHwGetBodyTableSize(frames) / kBlock, dataBlocks = last ? 0 : frames * 16;
        ZARFS_DUAL_ALLOCATION space{};
        NTSTATUS allocated =
            last ? ZarFsVolAllocAllocateUpperSpace(&volume->Alloc, tableBlocks, &space.UpperFirstBlock)
                 : ZarFsVolAllocAllocateDualSpace(&volume->Alloc, dataBlocks, tableBlocks, &space);
        if (!NT_SUCCESS(allocated)) {
            std::fprintf(stderr, "mediafs_scan: no room for clip %lu\n", static_cast<unsigned long>(c));
            return 1;
        }
        ZAR_FILE_INFO clip{};
        clip.CreationTime = 1;
        clip.MediaKind = ZARFS_MEDIA_FRAMES;
        clip.VideoStandard = 525;
        clip.FrameCount = frames;
        clip.VideoFirstBlock = space.LowerFirstBlock;
        clip.VideoBlocksPerDrive = dataBlocks;
        clip.VideoBodyTableFirst = space.UpperFirstBlock;
        clip.VideoBodyTableBlocks = tableBlocks;
        std::string text = "clip" + std::to_string(c) + ".kiv";
        std::u16string clipName(text.begin(), text.end());
        ZarFsHwStoreName(clip.Name, clipName.data(), ULONG(clipName.size()));
        ULONG block = 0;
        if (!NT_SUCCESS(ZarFsHwCreateFileEntry(hw, volume, c % kFolders, &clip, &block))) {
            std::fprintf(stderr, "mediafs_scan: clip %lu could not be made\n", static_cast<unsigned long>(c));
            return 1;
        }
        metadata.push_back({block, ZARFS_FILE_ENTRY_BLOCKS});
        longClipEntry = block;
        longClip = clip;
    }

    // The scan at start-up: the driver loaded again over the volume.
    nt::IoUnloadDriver(u"ZARFSKD");
    auto hostStart = std::chrono::steady_clock::now();
    uint64_t machineStart = nt::ClockNow();
    if (!NT_SUCCESS(nt::IoLoadDriver(u"ZARFSKD"))) return 1;
    double scanHost = HostSeconds(hostStart), scanMachine = double(nt::ClockNow() - machineStart) / 1e9;
    ZARFS_CARD_INSTANCE* card = ZarFsGlobFindCard(0);
    hw = &card->Hw;
    volume = CONTAINING_RECORD(hw->Volumes.Flink, ZARFS_HW_VOLUME, Link);
    ULONG scanRequests = ULONG(hw->RequestsSent);
    double scanPlain = PlainIo(machine.Folder() + "/drive0.img", metadata, false);
    std::printf("start-up scan of a 2-drive volume with %lu clips in %lu folders: %lu requests to the board driver, "
                "%.3f s host time (%.2f ms a request), %.3f s machine time; plain reads of the same %zu runs %.4f s "
                "(x%.0f)\n",
                static_cast<unsigned long>(clips), static_cast<unsigned long>(kFolders),
                static_cast<unsigned long>(scanRequests), scanHost, scanHost * 1e3 / scanRequests, scanMachine,
                metadata.size(), scanPlain, scanHost / scanPlain);

    // One flush of the long clip's body table.
    UNICODE_STRING objectName;
    RtlInitUnicodeString(&objectName, u"\\KIV\\Media\\FolderA\\long.kiv");
    ZarFsHwReadFileEntry(hw, volume, longClipEntry, &longClip);
    ZARFS_BT_OBJECT* object = nullptr;
    hostStart = std::chrono::steady_clock::now();
    if (!NT_SUCCESS(ZarFsBTReferenceObject(&card->BodyTables, &objectName, volume, longClipEntry, &longClip, &object)))
        return 1;
    double loadHost = HostSeconds(hostStart);
    ZarFsBTWriteAccessReference(&card->BodyTables, object);
    auto* nodes = static_cast<ZARFS_BODY_TABLE_NODE*>(object->VideoView);
    for (ULONG k = 0; k < kLongClipFrames * 2; ++k) nodes[k].Counts = 30 + k % 7;
    ULONG before = ULONG(hw->RequestsSent);
    hostStart = std::chrono::steady_clock::now();
    machineStart = nt::ClockNow();
    ZarFsBTFlushObjectByName(&card->BodyTables, &objectName);
    double flushHost = HostSeconds(hostStart), flushMachine = double(nt::ClockNow() - machineStart) / 1e9;
    ULONG flushRequests = ULONG(hw->RequestsSent) - before;
    ULONG tableBlocks = longClip.VideoBodyTableBlocks;
    double flushPlain = PlainIo(machine.Folder() + "/drive0.img", {{longClip.VideoBodyTableFirst, tableBlocks}}, true);
    std::printf("body table of a %lu-frame clip (%lu blocks): read and striped into its section in %.3f s; "
                "flushed with verification in %lu requests, %.3f s host time, %.3f s machine time; a plain write of "
                "the same blocks %.4f s (x%.0f)\n",
                static_cast<unsigned long>(kLongClipFrames), static_cast<unsigned long>(tableBlocks), loadHost,
                static_cast<unsigned long>(flushRequests), flushHost, flushMachine, flushPlain, flushHost / flushPlain);
    ZarFsBTWriteAccessDereference(&card->BodyTables, object);
    ZarFsBTDereferenceObject(&card->BodyTables, object);
    return 0;
}
