// A clip recorded as a media file on board 0's media drive through the
// library's media-volume clip file: the file made on the drive letter, its
// space reserved and its body table shared by the file system, each field
// written by the board from its memory to the place the library gives it
// (field k on the volume's drive k mod D, one after another on each drive),
// and the file finished with the whole frames it holds. Then a copy through
// the library's ordinary-volume clip file as a .kiv file on C:.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "include/zardll.h"
#include "include/zarfs.h"

class CBoardConnection;
class CZarLocalFile;

struct ClipFileField {
    uint32_t drive;       // SCSI id
    uint32_t firstBlock;
    uint32_t blocks;
};

class ClipFile {
public:
    ClipFile();
    ~ClipFile();
    ClipFile(const ClipFile&) = delete;
    ClipFile& operator=(const ClipFile&) = delete;

    // Makes (again) the file 'name' in the first folder of the first
    // volume of board 0's media drive (a volume without folders gets
    // "Clips") with room for 'fields' fields of up to 'blocksPerField'
    // blocks; false with the reason in *why.
    bool Create(const std::string& name, uint32_t fields, uint32_t blocksPerField, bool is625, std::string* why);

    // The next field, 'blocks' blocks at 'boardAddress' (bytes) of the
    // board's record bank of 'parity', written to its place with the bus
    // held by the caller: *room false (and true returned) when the clip
    // has no room left for it; false with the reason when a step failed.
    bool Record(uint32_t blocks, uint32_t boardAddress, uint32_t parity, ClipFileField* field, bool* room,
                std::string* why);
    const std::vector<ClipFileField>& Fields() const { return fields_; }

    // The clip's index as the clip file shows it: one 32-bit entry a field
    // of whole frames, its sectors used and padding, in whole blocks.
    std::vector<uint8_t> BodyTable() const;

    // Finishes the clip (whole frames only, the unused space given back)
    // and closes it: the recording is done, and readers may open it.
    bool Settle(std::string* why);
    uint32_t Frames() const { return uint32_t(fields_.size() / 2); }

    // Copies the finished clip through the library's ordinary-volume clip
    // file to 'copyPath' (on C:), then reads the media clip and the copy
    // each through its own clip file and through the other kind (the media
    // clip as a clip file on the drive letter, the copy written onto the
    // media drive as 'mediaCopyPath'); a line of what was found.
    std::string CopyAndCompare(const std::string& copyPath, const std::string& mediaCopyPath);

    const std::string& Path() const { return path_; }
    const std::string& Folder() const { return folder_; }
    const std::string& VolumeName() const { return volumeName_; }
    uint32_t DriveCount() const { return drives_; }

private:
    std::unique_ptr<ZAR_BOARD_SHARED> shared_;  // the board's standard, as the library reads it
    std::unique_ptr<CBoardConnection> connection_;
    CZarLocalFile* file_ = nullptr;
    std::string path_, folder_, volumeName_;
    uint32_t drives_ = 0;
    uint32_t blocksPerField_ = 0;
    std::vector<ClipFileField> fields_;
};

// Board 0's media drive letter, from the file system's preferences; 0 when
// the file system does not answer.
char MediaDriveLetter();
