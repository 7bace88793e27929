// Benchmark: a clip of 300 fields recorded and read through the library's
// clip files, on the board's media volume (CZarLocalFile: each field's
// place checked, then written from board memory to the drives; read back
// from the drives into a host buffer) and on an ordinary volume
// (CZarSystemFile: each field copied from board memory into the file's
// buffer and written to the file; read back from the file). Host time a
// field against the field period, and against pwrite/pread of the same
// bytes in a host file.
//
//   clip_files [fields] [blocks-a-field]

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_board.h"
#include "bench/bench_host.h"
#include "bench/bench_mediafs.h"
#include "include/zarfs.h"
#include "lib/api/zar_connection.h"
#include "lib/play/zar_local_file.h"
#include "lib/play/zar_system_file.h"

namespace {

constexpr uint32_t kBlock = 512;
constexpr uint32_t kDrives = 2;
constexpr uint32_t kSlot = 0x2000;  // board memory the field is staged in, in blocks

double Since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Figures {
    double record, read;  // seconds for all fields
};

// pwrite and pread of the same fields in a host file.
Figures Plain(const std::string& folder, uint32_t fields, uint32_t blocks, const uint8_t* data)
{
    const std::string path = folder + "/plain.bin";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    const size_t bytes = size_t(blocks) * kBlock;
    auto start = std::chrono::steady_clock::now();
    for (uint32_t k = 0; k < fields; ++k) (void)!::pwrite(fd, data, bytes, off_t(k) * off_t(bytes));
    const double record = Since(start);
    std::vector<uint8_t> back(bytes);
    start = std::chrono::steady_clock::now();
    for (uint32_t k = 0; k < fields; ++k) (void)!::pread(fd, back.data(), bytes, off_t(k) * off_t(bytes));
    const double read = Since(start);
    ::close(fd);
    ::unlink(path.c_str());
    return {record, read};
}

bool Bus(CBoardConnection& c, uint32_t code)
{
    DWORD returned = 0;
    return DeviceIoControl(c.m_hBoard, code, nullptr, 0, nullptr, 0, &returned, nullptr);
}

// Records 'fields' fields of 'blocks' blocks from board memory into the file
// and reads them back; false when a step failed.
bool RecordAndRead(CZarFile& file, CBoardConnection& c, uint32_t fields, uint32_t blocks, uint8_t* host,
                   Figures* figures)
{
    if (!Bus(c, IOCTL_ZAR_ACQUIRE_SCSI)) return false;
    auto start = std::chrono::steady_clock::now();
    for (uint32_t k = 0; k < fields; ++k) {
        ZAR_DISK_REQUEST request{};
        request.Operation = ZAR_DISK_OP_WRITE;
        request.AccessMode = ZAR_DISK_ACCESS_1;
        request.OwnsScsi = 1;
        if (file.CheckFieldWrite(k, blocks) != ZAR_OK || file.TransferField({k, 0, kSlot, 0, 0, &request}) != ZAR_OK) {
            Bus(c, IOCTL_ZAR_RELEASE_SCSI);
            return false;
        }
    }
    figures->record = Since(start);
    Bus(c, IOCTL_ZAR_RELEASE_SCSI);
    start = std::chrono::steady_clock::now();
    for (uint32_t k = 0; k < fields; ++k)
        if (file.ReadFillField(k, host, blocks * kBlock) != ZAR_OK) return false;
    figures->read = Since(start);
    return true;
}

void Print(const char* what, const Figures& f, const Figures& plain, uint32_t fields)
{
    const double recordField = f.record / fields, readField = f.read / fields;
    std::printf("%s: record %.3f ms a field (%.1f%% of the field period; pwrite x%.0f), read %.3f ms a field "
                "(%.1f%%; pread x%.0f)\n",
                what, recordField * 1e3, 100 * recordField / kFieldPeriod, f.record / plain.record, readField * 1e3,
                100 * readField / kFieldPeriod, f.read / plain.read);
}

}  // namespace

int main(int argc, char** argv)
{
    PrintHowRun("clip_files");
    const uint32_t fields = argc > 1 ? uint32_t(std::atoi(argv[1])) & ~1u : 300;
    const uint32_t blocks = argc > 2 ? uint32_t(std::atoi(argv[2])) : 60;
    if (fields == 0 || blocks == 0 || blocks > CZarSystemFile::kMaxFieldSectors) {
        std::fprintf(stderr, "clip_files: fields must be even and above 0, blocks 1-810\n");
        return 2;
    }
    const std::string folder =
        (std::filesystem::temp_directory_path() / ("clip_files-" + std::to_string(getpid()))).string();
    const sim::BoardOptions board = BoardWithDrives(folder, kDrives, 8ull << 20);  // 4 GB a drive, sparse
    sim::BuiltTopology hardware;
    std::string why;
    if (!BootBenchMachine(folder, sim::BoardsLayout(1, 4, board), {"ZARKD", "ZARFSKD"}, &hardware, &why)) {
        std::fprintf(stderr, "clip_files: the machine did not start: %s\n", why.c_str());
        std::filesystem::remove_all(folder);
        return 1;
    }
    int status = 1;
    {
        const bool formatted = FormatMediaVolume(kDrives);
        CBoardConnection connection(0);
        auto* host = static_cast<uint8_t*>(VirtualAlloc(nullptr, CZarSystemFile::kBufferBytes, MEM_COMMIT,
                                                        PAGE_READWRITE));
        for (uint32_t i = 0; i < blocks * kBlock; ++i) host[i] = uint8_t(i * 7);
        // The field the board holds, staged once.
        ZAR_DISK_REQUEST stage{};
        stage.Operation = ZAR_DISK_OP_SDRAM_WRITE;
        stage.BlockCount = blocks;
        stage.AccessMode = ZAR_DISK_ACCESS_1;
        stage.SdramAddress = kSlot * kBlock;
        stage.UserBuffer = uint32_t(reinterpret_cast<uintptr_t>(host));
        stage.UserBufferLength = blocks * kBlock;
        DWORD returned = 0;
        const bool staged = DeviceIoControl(connection.m_hBoard, IOCTL_ZAR_DISK_REQUEST, &stage, sizeof stage, &stage,
                                            sizeof stage, &returned, nullptr) &&
                            stage.ScsiStatus == 0;
        if (!formatted || !CreateDirectoryA("P:\\KIV\\Media\\Clips", nullptr) || !staged ||
            !CreateDirectoryA("C:\\clips", nullptr)) {
            std::fprintf(stderr, "clip_files: the volume, the folders or the staged field could not be made\n");
        } else {
            const Figures plain = Plain(folder, fields, blocks, host);
            std::printf("%u fields of %u blocks (%u KB); field period %.3f ms; pwrite %.3f ms and pread %.3f ms a "
                        "field\n",
                        fields, blocks, blocks / 2, kFieldPeriod * 1e3, plain.record / fields * 1e3,
                        plain.read / fields * 1e3);
            Figures media{}, ordinary{};
            auto* local = new CZarLocalFile(u"P:\\KIV\\Media\\Clips\\bench.kiv", &connection);
            bool ok = local->CreateFill(blocks, fields / 2, 0, 0) == ZAR_OK &&
                      RecordAndRead(*local, connection, fields, blocks, host, &media);
            local->Release();
            auto* system = new CZarSystemFile(u"C:\\clips\\bench.kiv", &connection);
            ok = ok && system->CreateFill(blocks, fields / 2, 0, 0) == ZAR_OK &&
                 RecordAndRead(*system, connection, fields, blocks, host, &ordinary);
            system->Release();
            if (ok) {
                Print("media volume (P:, 2 drives)", media, plain, fields);
                Print("ordinary volume (C:)", ordinary, plain, fields);
                status = 0;
            } else {
                std::fprintf(stderr, "clip_files: a clip could not be recorded or read\n");
            }
        }
        VirtualFree(host, 0, MEM_RELEASE);
    }
    embedded::ShutdownMachine();
    std::filesystem::remove_all(folder);
    return status;
}
