// The volume optimiser, the media-file scan and the two queries, all sent
// to the board connection's file-system device.

#include "zar_volume_maintenance.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "include/zarfs.h"
#include "zar_app.h"
#include "zar_connection.h"

namespace zarapi {

namespace {

void SortByFirst(std::vector<OptimizeSegment>& list)
{
    std::stable_sort(list.begin(), list.end(),
                     [](const OptimizeSegment& a, const OptimizeSegment& b) { return a.first < b.first; });
}

bool MoveTo(std::vector<OptimizeSegment>& list, size_t i, uint32_t destination, CSegmentMover& mover)
{
    if (!mover.Move(list[i], destination)) return false;
    list[i].first = destination;
    return true;
}

int32_t UpperPass(std::vector<OptimizeSegment>& upper, uint32_t top, CSegmentMover& mover)
{
    uint32_t limit = top;
    for (size_t k = upper.size(); k-- > 0;) {
        OptimizeSegment& s = upper[k];
        if (uint64_t(s.first) + s.length < limit && !MoveTo(upper, k, limit - s.length, mover)) return ZAR_E_DRIVER;
        limit = s.first;
    }
    return ZAR_OK;
}

// ---- the process's optimiser ----

ZAR_OPTIMIZE_PROGRESS progress{};
std::atomic<uint32_t> running{0};  // 1 from the start of a run's planning to the end of its worker
HANDLE worker = nullptr;
HANDLE workerLeft = nullptr;  // set once the worker's routine has returned

std::u16string Wide(const std::string& s)
{
    std::u16string w(s.size() + 1, u'\0');
    const int n = MultiByteToWideChar(0, 0, s.c_str(), int(s.size()), reinterpret_cast<LPWSTR>(w.data()),
                                      int(w.size()));
    w.resize(n > 0 ? size_t(n) : 0);
    return w;
}

void CopyName(char16_t* to, const std::string& name)
{
    const std::u16string w = Wide(name);
    const size_t n = std::min<size_t>(w.size(), 259);
    std::memset(to, 0, 260 * sizeof(char16_t));
    std::memcpy(to, w.data(), n * sizeof(char16_t));
}

bool FileSystemRequest(CBoardConnection& c, DWORD code, void* record, DWORD bytes)
{
    DWORD returned = 0;
    return SendDeviceRequest(c.m_hFileSystem, code, record, bytes, record, bytes, &returned, nullptr) != FALSE;
}

// Moves through the file system (real) or only books the move (planning).
class CProgressMover : public CSegmentMover {
public:
    CProgressMover(CBoardConnection& connection, const std::string& volume, bool real)
        : m_connection(connection), m_volume(volume), m_real(real)
    {
    }
    bool Move(const OptimizeSegment& s, uint32_t destination) override
    {
        CopyName(progress.Folder, s.folder);
        CopyName(progress.File, s.file);
        progress.Source = s.first;
        progress.Destination = destination;
        progress.Blocks = s.length;
        progress.Done = 0;
        if (m_real && !MoveNow(s, destination)) return false;
        progress.Moved += s.length;
        return true;
    }

private:
    bool MoveNow(const OptimizeSegment& s, uint32_t destination)
    {
        const std::string path = m_volume + s.folder + "\\" + s.file;
        // Opened for reading and writing and shared with nobody: the file
        // system moves a file's blocks only then.
        HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) return false;
        static constexpr uint32_t kPiece[5] = {1, 3, 2, 4, 0};  // segment kind -> the record's piece
        ZARFS_MOVE_FILE_SEGMENTS move{};
        move.Handle = uint32_t(uintptr_t(file));
        move.Target[kPiece[s.kind]] = destination;
        move.ProgressAddress = uint32_t(uintptr_t(&progress.Done));
        const bool sent = FileSystemRequest(m_connection, IOCTL_ZARFS_MOVE_FILE_SEGMENTS, &move, sizeof move);
        CloseHandle(file);
        // The request succeeds whatever became of the piece: its own result
        // says whether it moved.
        return sent && move.Result[kPiece[s.kind]] == ZARFS_MOVE_OK;
    }

    CBoardConnection& m_connection;
    std::string m_volume;
    bool m_real;
};

// The folders of a volume (directories) and the files in each.
template <class Visit>
bool WalkMediaFiles(const std::string& volume, Visit visit)
{
    std::vector<std::string> folders;
    WIN32_FIND_DATAA found{};
    HANDLE find = FindFirstFileA((volume + "*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return true;
    do {
        const std::string name = found.cFileName;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name != "." && name != "..") folders.push_back(name);
    } while (FindNextFileA(find, &found));
    FindClose(find);
    for (const std::string& folder : folders) {
        find = FindFirstFileA((volume + folder + "\\*").c_str(), &found);
        if (find == INVALID_HANDLE_VALUE) continue;
        bool go = true;
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) go = visit(folder, std::string(found.cFileName));
        } while (go && FindNextFileA(find, &found));
        FindClose(find);
        if (!go) return false;
    }
    return true;
}

struct OptimizeJob {
    CBoardConnection* connection = nullptr;
    uint32_t option = 0;
    std::string volume;  // with "\" appended
    uint32_t top = 0;
    std::vector<OptimizeSegment> lower, upper;

    ~OptimizeJob() { delete connection; }

    bool Scan()
    {
        lower.clear();
        upper.clear();
        return WalkMediaFiles(volume, [&](const std::string& folder, const std::string& file) {
            ZAR_FILE_LOCATION where{};
            if (GetFileLocation(*connection, (volume + folder + "\\" + file).c_str(), &where) != ZAR_OK) return true;
            // The file entry always; the other runs when they have blocks.
            upper.push_back({folder, file, where.EntryBlock, where.EntryBlocks, ZAR_SEGMENT_FILE_ENTRY});
            const struct {
                uint32_t first, length, kind;
            } runs[] = {{where.VideoDataFirst, where.VideoDataBlocks, ZAR_SEGMENT_VIDEO_DATA},
                        {where.VideoTableFirst, where.VideoTableBlocks, ZAR_SEGMENT_VIDEO_TABLE},
                        {where.AlphaDataFirst, where.AlphaDataBlocks, ZAR_SEGMENT_ALPHA_DATA},
                        {where.AlphaTableFirst, where.AlphaTableBlocks, ZAR_SEGMENT_ALPHA_TABLE}};
            for (const auto& r : runs) {
                if (r.first == 0 || r.length == 0) continue;
                const bool data = r.kind == ZAR_SEGMENT_VIDEO_DATA || r.kind == ZAR_SEGMENT_ALPHA_DATA;
                (data ? lower : upper).push_back({folder, file, r.first, r.length, r.kind});
            }
            return true;
        });
    }
    int32_t Run(bool real)
    {
        Scan();
        SortByFirst(lower);
        SortByFirst(upper);
        CProgressMover mover(*connection, volume, real);
        return RunOptimizeMethod(option, lower, upper, top, mover, &progress.Abort);
    }
};

DWORD WINAPI OptimizeWorker(LPVOID parameter)
{
    // Set once this routine has returned: none of the library's code runs
    // on the thread then, which is what an unload waits for.
    SetEventWhenThreadReturns(workerLeft);
    auto* job = static_cast<OptimizeJob*>(parameter);
    const int32_t result = job->Run(true);
    progress.Result = result;
    progress.Ended = 1;
    ZAR_EXCEPTION_PACKET packet{};
    packet.Kind = 8;
    packet.Field = 0xFFFFFFFF;
    packet.Item = job->connection->m_board;
    if (CZarDll* app = ZarApp()) app->PostExceptionPacket(packet);
    delete job;
    running = 0;
    return 0;
}

}  // namespace

uint32_t SelectiveTarget(const std::vector<OptimizeSegment>& lower, size_t i)
{
    uint32_t position = kFirstDataBlock;
    for (size_t j = 0; j < i; ++j) {
        if (lower[j].first >= position && lower[j].first - position >= lower[i].length) return position;
        position = lower[j].first + lower[j].length;
    }
    return position;
}

int64_t SelectiveGain(const std::vector<OptimizeSegment>& lower, size_t i, uint32_t target)
{
    // In 64 bits: a distance of millions of blocks times 100 passes 32.
    int64_t gain = (int64_t(lower[i].first) - int64_t(target)) * 100 / int64_t(lower[i].length);
    if (i + 1 == lower.size()) gain *= 2;
    return gain;
}

int32_t RunOptimizeMethod(uint32_t option, std::vector<OptimizeSegment>& lower, std::vector<OptimizeSegment>& upper,
                          uint32_t top, CSegmentMover& mover, const volatile uint32_t* abort)
{
    if (option == 0) {
        uint32_t position = kFirstDataBlock;
        for (size_t i = 0; i < lower.size(); ++i) {
            if (*abort) return ZAR_OPTIMIZE_ABORTED;
            if (lower[i].first != position && !MoveTo(lower, i, position, mover)) return ZAR_E_DRIVER;
            position += lower[i].length;
        }
    } else {
        const int64_t threshold = option == 1 ? 50 : 100;
        for (;;) {
            if (*abort) return ZAR_OPTIMIZE_ABORTED;
            size_t best = lower.size();
            int64_t bestGain = 0;
            uint32_t bestTarget = 0;
            for (size_t i = 0; i < lower.size(); ++i) {
                const uint32_t target = i == 0 ? kFirstDataBlock : SelectiveTarget(lower, i);
                const int64_t gain = SelectiveGain(lower, i, target);
                if (best == lower.size() || gain > bestGain) best = i, bestGain = gain, bestTarget = target;
            }
            if (best == lower.size() || bestGain <= threshold) break;
            if (!MoveTo(lower, best, bestTarget, mover)) return ZAR_E_DRIVER;
            SortByFirst(lower);
        }
    }
    return UpperPass(upper, top, mover);
}

int32_t OptimizeVolume(CBoardConnection& connection, const ZAR_OPTIMIZE_VOLUME& request)
{
    if (!request.Path || IsBadStringPtrA(request.Path, 261)) return ZAR_E_BAD_ARGUMENT;
    const size_t length = strnlen(request.Path, 261);
    if (length > 260) return ZAR_E_BAD_ARGUMENT;
    // One run at a time: a second would move the same segments under the first.
    uint32_t idle = 0;
    if (!running.compare_exchange_strong(idle, 1)) return ZAR_E_DRIVER;

    auto refuse = [](int32_t result) {
        running = 0;
        return result;
    };
    const std::string path(request.Path, length);
    HANDLE folder = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE) return refuse(ZAR_E_DRIVER);
    ZAR_VOLUME_SPACE_INFO space{};
    space.Handle = uint32_t(uintptr_t(folder));
    const bool answered = FileSystemRequest(connection, IOCTL_ZARFS_GET_VOLUME_SPACE_INFO, &space, sizeof space);
    CloseHandle(folder);
    if (!answered) return refuse(ZAR_E_DRIVER);

    auto* job = new (std::nothrow) OptimizeJob;
    if (!job) return refuse(ZAR_E_NO_MEMORY);
    job->top = space.AllocatorBlocks + 1;
    job->volume = path + "\\";
    job->option = request.Option;
    job->connection = new (std::nothrow) CBoardConnection(connection.m_board);
    if (!job->connection) {
        delete job;
        return refuse(ZAR_E_NO_MEMORY);
    }

    // The planning pass: the run without moves gives the total.
    std::memset(&progress, 0, sizeof progress);
    const int32_t planned = job->Run(false);
    if (planned != ZAR_OK) {
        delete job;
        return refuse(planned);
    }
    const uint32_t total = progress.Moved;
    std::memset(&progress, 0, sizeof progress);
    progress.Total = total;

    if (worker) CloseHandle(worker);  // the last run's, ended
    if (!workerLeft) workerLeft = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!workerLeft) {
        delete job;
        return refuse(ZAR_E_DRIVER);
    }
    ResetEvent(workerLeft);
    worker = CreateThread(nullptr, 0, OptimizeWorker, job, 0, nullptr);
    if (!worker) {
        delete job;
        return refuse(ZAR_E_DRIVER);
    }
    return ZAR_OK;
}

int32_t QueryOptimizeProgress(ZAR_OPTIMIZE_PROGRESS* out)
{
    std::memcpy(out, &progress, sizeof progress);
    return ZAR_OK;
}

int32_t AbortOptimizeVolume()
{
    progress.Abort = 1;
    return ZAR_OK;
}

void EndVolumeOptimizer()
{
    if (!worker) return;
    if (running) progress.Abort = 1;
    // At unload a thread's end comes only after the library's detach, so
    // the worker's last act is waited for instead. A move in progress
    // finishes first.
    WaitForSingleObject(workerLeft, INFINITE);
    CloseHandle(worker);
    worker = nullptr;
}

int32_t ScanMediaFiles(const ZAR_SCAN_MEDIA_FILES& request)
{
    if (!request.Path || IsBadStringPtrA(request.Path, 261) || !request.Callback) return ZAR_E_BAD_ARGUMENT;
    std::string volume = request.Path;
    if (volume.empty() || volume.back() != '\\') volume += '\\';
    WalkMediaFiles(volume, [&](const std::string& folder, const std::string& file) {
        return request.Callback((volume + folder + "\\" + file).c_str(), request.Context) != 0;
    });
    return ZAR_OK;
}

int32_t GetFileLocation(CBoardConnection& connection, const char* path, ZAR_FILE_LOCATION* location)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return ZAR_E_DRIVER;
    ZAR_FILE_LOCATION record{};
    record.Handle = uint32_t(uintptr_t(file));
    const bool answered = FileSystemRequest(connection, IOCTL_ZARFS_GET_FILE_LOCATION_INFO, &record, sizeof record);
    CloseHandle(file);
    if (!answered) return ZAR_E_DRIVER;
    *location = record;
    return ZAR_OK;
}

int32_t GetVolumeSpaceInfoEx(CBoardConnection& connection, ZAR_VOLUME_SPACE_INFO* space)
{
    return FileSystemRequest(connection, IOCTL_ZARFS_GET_VOLUME_SPACE_INFO, space, sizeof *space) ? ZAR_OK
                                                                                                  : ZAR_E_DRIVER;
}

}  // namespace zarapi
