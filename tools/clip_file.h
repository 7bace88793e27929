// A clip recorded as a media file on board 0's media drive, as a recorder
// built on the system stores one: the file made on the drive letter, its
// space reserved through the file system's control device, the fields
// written by the board into the file's own runs (field k on the volume's
// drive k mod D, one after another on each drive, from the run's first
// block), its body table written into the file's table run, and the file
// settled with the blocks and frames it holds. User-mode code only: the
// drive letter, Win32 files and the control codes of include/zarfs.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "include/zarfs.h"

struct ClipFileField {
    uint32_t drive;       // SCSI id
    uint32_t firstBlock;
    uint32_t blocks;
};

class ClipFile {
public:
    ClipFile() = default;
    ~ClipFile();
    ClipFile(const ClipFile&) = delete;
    ClipFile& operator=(const ClipFile&) = delete;

    // Makes (again) the file 'name' in the first folder of the first
    // volume of board 0's media drive (a volume without folders gets
    // "Clips") and reserves room for 'fields' fields of up to
    // 'blocksPerField' blocks; false with the reason in *why.
    bool Create(const std::string& name, uint32_t fields, uint32_t blocksPerField, bool is625, std::string* why);

    // Where the next field of 'blocks' blocks goes; false when the
    // reserved run has no room left for it on its drive.
    bool Place(uint32_t blocks, ClipFileField* field) const;
    // Counts a written field in.
    void Add(const ClipFileField& field) { fields_.push_back(field); }
    const std::vector<ClipFileField>& Fields() const { return fields_; }

    // The body table: one 32-bit entry a field, its blocks in two 16-bit
    // counts that add up, in whole blocks, for the table run on the
    // volume's first drive.
    std::vector<uint8_t> BodyTable() const;
    uint32_t TableFirstBlock() const { return tableFirst_; }
    uint32_t TableDrive() const { return volume_.ScsiIds[0]; }

    // Settles the file (whole frames only, the unused space given back) and
    // closes it: the recording is done, and readers may open it.
    bool Settle(std::string* why);
    uint32_t Frames() const { return uint32_t(fields_.size() / 2); }

    const std::string& Path() const { return path_; }
    const std::string& Folder() const { return folder_; }
    const std::string& VolumeName() const { return volumeName_; }
    uint32_t DriveCount() const { return volume_.DriveCount; }

private:
    bool Control(uint32_t code, void* record, uint32_t bytes, std::string* why, const char* what);

    void* file_ = nullptr;      // HANDLE
    void* control_ = nullptr;   // HANDLE of \\.\ZarFsDevice0
    std::string path_, folder_, volumeName_;
    ZAR_VOLUME_INFO volume_{};
    uint32_t dataFirst_ = 0, dataBlocks_ = 0, tableFirst_ = 0, tableBlocks_ = 0;
    std::vector<ClipFileField> fields_;
};

// Board 0's media drive letter, from the file system's preferences; 0 when
// the file system does not answer.
char MediaDriveLetter();
