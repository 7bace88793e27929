// Media-volume upkeep from the library: the optimiser that plans which file
// segment moves where and has the file system move it, on a worker with
// progress and abort; the scan of a volume's media files; a file's
// location and a volume's space.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "include/zardll.h"

class CBoardConnection;

namespace zarapi {

// One non-empty run of a media file.
enum : uint32_t {
    ZAR_SEGMENT_VIDEO_DATA = 0,
    ZAR_SEGMENT_ALPHA_DATA = 1,
    ZAR_SEGMENT_VIDEO_TABLE = 2,
    ZAR_SEGMENT_ALPHA_TABLE = 3,
    ZAR_SEGMENT_FILE_ENTRY = 4,
};
struct OptimizeSegment {
    std::string folder;
    std::string file;
    uint32_t first;
    uint32_t length;
    uint32_t kind;
};

// Data runs start here; everything below belongs to the volume's metadata.
inline constexpr uint32_t kFirstDataBlock = 1024;

// Moves one segment to a destination; false when the move failed. The
// planner sets the segment's first block itself after a move.
class CSegmentMover {
public:
    virtual ~CSegmentMover() = default;
    virtual bool Move(const OptimizeSegment& segment, uint32_t destination) = 0;
};

// The optimiser's plan over the two lists (each in ascending order of first
// block, kept so), with the abort word read between moves of the lower
// list. The result: 0, -1 a move failed, -80 aborted (no upper pass then).
int32_t RunOptimizeMethod(uint32_t option, std::vector<OptimizeSegment>& lower, std::vector<OptimizeSegment>& upper,
                          uint32_t top, CSegmentMover& mover, const volatile uint32_t* abort);
// Where selective moves would put lower segment i, and the gain of that move.
uint32_t SelectiveTarget(const std::vector<OptimizeSegment>& lower, size_t i);
int64_t SelectiveGain(const std::vector<OptimizeSegment>& lower, size_t i, uint32_t target);

// The exports' bodies; records are accessible at their sizes.
int32_t OptimizeVolume(CBoardConnection& connection, const ZAR_OPTIMIZE_VOLUME& request);
int32_t QueryOptimizeProgress(ZAR_OPTIMIZE_PROGRESS* progress);
int32_t AbortOptimizeVolume();
int32_t ScanMediaFiles(const ZAR_SCAN_MEDIA_FILES& request);
int32_t GetFileLocation(CBoardConnection& connection, const char* path, ZAR_FILE_LOCATION* location);
int32_t GetVolumeSpaceInfoEx(CBoardConnection& connection, ZAR_VOLUME_SPACE_INFO* space);
// At unload: a running optimiser aborted and waited for.
void EndVolumeOptimizer();

}  // namespace zarapi
