// Benchmark: sustained sequential disk transfers through IOCTL_ZAR_DISK_REQUEST
// on the simulated board, against a plain pread/pwrite of the same image
// file in the same process.
//
// - Staged: READ/WRITE with a host buffer (access mode 0): each request moves
//   one chunk between the caller's buffer and the drive through the SDRAM
//   staging area, in commands of 256 blocks.
// - Direct: READ/WRITE without a host buffer (access mode 1): the blocks go
//   between the drive and SDRAM only, as clip fields do.
// Figures are bytes per second of host time; the bus time the simulated
// board charges (virtual clock) is printed beside them.
//
//   scsi_throughput [megabytes] [chunk-kilobytes]
//
// It writes over its drive, so it runs only on a machine of its own, never
// as a client of a machine host.

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
#include "sim/drive_config.h"

namespace {

constexpr ULONG kBlock = 512;

template <typename F>
double Seconds(F f)
{
    auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool Disk(HANDLE h, ULONG operation, ULONG first, ULONG blocks, ULONG mode, void* buffer, ULONG length)
{
    ZAR_DISK_REQUEST r{};
    r.Operation = operation;
    r.FirstBlock = first;
    r.BlockCount = blocks;
    r.AccessMode = mode;
    r.OwnsScsi = 1;
    r.SdramAddress = 0x100000;
    r.UserBuffer = ULONG(reinterpret_cast<ULONG_PTR>(buffer));
    r.UserBufferLength = length;
    DWORD returned = 0;
    return DeviceIoControl(h, IOCTL_ZAR_DISK_REQUEST, &r, sizeof r, &r, sizeof r, &returned, nullptr) &&
           returned == sizeof r && r.ScsiStatus == 0;
}

struct Figures {
    double hostBytesPerSecond;
    double busBytesPerSecond;
    bool ok;
};

Figures Run(HANDLE h, ULONG operation, ULONG mode, ULONG totalBytes, ULONG chunkBytes, std::vector<UCHAR>& buffer)
{
    bool ok = true;
    double machineStart = MachineSeconds();
    double seconds = Seconds([&] {
        for (ULONG at = 0; at < totalBytes; at += chunkBytes) {
            bool staged = mode == ZAR_DISK_ACCESS_STAGED;
            ok &= Disk(h, operation, at / kBlock, chunkBytes / kBlock, mode, staged ? buffer.data() : nullptr,
                       staged ? chunkBytes : 0);
        }
    });
    double virtualSeconds = MachineSeconds() - machineStart;
    return {totalBytes / seconds, totalBytes / virtualSeconds, ok};
}

double PlainFile(const std::string& image, bool write, ULONG totalBytes, ULONG chunkBytes, std::vector<UCHAR>& buffer)
{
    int fd = ::open(image.c_str(), O_RDWR);
    if (fd < 0) return 0;
    double seconds = Seconds([&] {
        for (ULONG at = 0; at < totalBytes; at += chunkBytes) {
            ssize_t n = write ? ::pwrite(fd, buffer.data(), chunkBytes, at) : ::pread(fd, buffer.data(), chunkBytes, at);
            if (n != ssize_t(chunkBytes)) break;
        }
    });
    ::close(fd);
    return totalBytes / seconds;
}

}  // namespace

int main(int argc, char** argv)
{
    PrintHowRun("scsi_throughput");
    const ULONG megabytes = argc > 1 ? ULONG(std::atol(argv[1])) : 64;
    const ULONG chunkBytes = (argc > 2 ? ULONG(std::atol(argv[2])) : 1024) * 1024;
    const ULONG totalBytes = megabytes << 20;
    BenchMachine machine("zar-scsi");

    sim::BoardOptions board;
    sim::DriveConfig drive;
    drive.id = 0;
    drive.blocks = (uint64_t(totalBytes) + (8u << 20)) / kBlock;
    drive.image = machine.Folder() + "/drive0.img";
    board.drives = {drive};
    if (w32host::IsClient()) {
        std::fprintf(stderr, "scsi_throughput: it writes over drive 0, so it does not run on a machine host's "
                             "machine; unset ZAR_MACHINE\n");
        return 1;
    }
    if (!machine.Start("scsi_throughput", sim::BoardsLayout(1, 4, board))) return 1;
    HANDLE h = machine.Board();
    if (!Disk(h, ZAR_DISK_OP_SCAN, 0, 0, 0, nullptr, 0)) {
        std::fprintf(stderr, "scan failed\n");
        return 1;
    }

    std::vector<UCHAR> buffer(chunkBytes);
    for (ULONG i = 0; i < chunkBytes; ++i) buffer[i] = UCHAR(i * 13 + 5);

    struct Row {
        const char* name;
        ULONG operation, mode;
        bool write;
    } rows[] = {
        {"staged write", ZAR_DISK_OP_WRITE, ZAR_DISK_ACCESS_STAGED, true},
        {"staged read ", ZAR_DISK_OP_READ, ZAR_DISK_ACCESS_STAGED, false},
        {"direct write", ZAR_DISK_OP_WRITE, ZAR_DISK_ACCESS_1, true},
        {"direct read ", ZAR_DISK_OP_READ, ZAR_DISK_ACCESS_1, false},
    };
    std::printf("sequential transfers of %u MB in requests of %u KB, one drive:\n", megabytes, chunkBytes >> 10);
    for (const Row& row : rows) {
        // Direct requests are single commands of at most 256 blocks.
        ULONG chunk = row.mode == ZAR_DISK_ACCESS_STAGED ? chunkBytes : 256 * kBlock;
        Figures f = Run(h, row.operation, row.mode, totalBytes, chunk, buffer);
        double plain = PlainFile(drive.image, row.write, totalBytes, chunk, buffer);
        std::printf("  %s: %8.1f MB/s host (%8.1f MB/s bus time)%s; plain %s of the image %8.1f MB/s; ratio %.1fx\n",
                    row.name, f.hostBytesPerSecond / 1e6, f.busBytesPerSecond / 1e6, f.ok ? "" : " FAILED",
                    row.write ? "pwrite" : "pread ", plain / 1e6, plain / f.hostBytesPerSecond);
    }

    return 0;
}
