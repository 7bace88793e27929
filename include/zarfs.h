// Interface of the media file-system driver ZARFSKD: the control codes of
// its per-card control device \Device\ZarFsDevice<n> (\\.\ZarFsDevice<n>)
// that exist so far, the volume record they carry, the format result codes,
// and the 1,024-byte file entry that also travels whole through a control
// code.
//
// Shared by kernel and user mode, so it stands on <cstdint>/<cstddef> only;
// every record is i386 layout with its size asserted.
#pragma once

#include <cstddef>
#include <cstdint>

// CTL_CODE(0x22, 0x800 + n, METHOD_BUFFERED, FILE_ANY_ACCESS).
inline constexpr uint32_t IOCTL_ZARFS_FORMAT_VOLUME = 0x222004;
inline constexpr uint32_t IOCTL_ZARFS_QUERY_VOLUME_INFO = 0x222008;
inline constexpr uint32_t IOCTL_ZARFS_GET_PREFERENCES = 0x222028;
inline constexpr uint32_t IOCTL_ZARFS_SET_PREFERENCES = 0x22202C;
inline constexpr uint32_t IOCTL_ZARFS_GET_FILE_ENTRY = 0x222030;
inline constexpr uint32_t IOCTL_ZARFS_GET_VOLUME_SPACE_INFO = 0x222038;
inline constexpr uint32_t IOCTL_ZARFS_REQUEST_BODY_TABLE_FLUSH_SUSPEND = 0x222058;
inline constexpr uint32_t IOCTL_ZARFS_REQUEST_BODY_TABLE_FLUSH_RESUME = 0x22205C;
inline constexpr uint32_t IOCTL_ZARFS_GET_SCSI_PREFS = 0x222060;
inline constexpr uint32_t IOCTL_ZARFS_SET_SCSI_PREFS = 0x222064;
inline constexpr uint32_t IOCTL_ZARFS_LOCK_FILE_SYSTEM = 0x222070;
inline constexpr uint32_t IOCTL_ZARFS_UNLOCK_FILE_SYSTEM = 0x222074;

// Result codes of a format (the status of IOCTL_ZARFS_FORMAT_VOLUME).
inline constexpr int32_t ZARFS_FORMAT_OK = 0;
inline constexpr int32_t ZARFS_FORMAT_E_DRIVE_COUNT = -24;
inline constexpr int32_t ZARFS_FORMAT_E_DRIVE_UNUSABLE = -25;
inline constexpr int32_t ZARFS_FORMAT_E_VOLUME_IN_USE = -26;
inline constexpr int32_t ZARFS_FORMAT_E_BAD_NAME = -27;
inline constexpr int32_t ZARFS_FORMAT_E_NAME_CONFLICT = -28;

inline constexpr uint32_t ZARFS_MAX_DRIVES = 14;       // a volume's drives: 1, or an even 2..14
inline constexpr uint32_t ZARFS_MAX_SCSI_IDS = 16;
inline constexpr uint32_t ZARFS_NAME_CHARS = 256;      // names: 1..256 UTF-16 characters
inline constexpr uint32_t ZARFS_NO_DRIVE = 0xFFFFFFFF; // an empty slot of a volume's id list

// One media volume: the format request, and each item of a volume listing.
struct ZAR_VOLUME_INFO {
    char16_t Name[ZARFS_NAME_CHARS];    // UTF-16, zero-padded
    uint32_t DriveCount;
    uint32_t ScsiIds[ZARFS_MAX_SCSI_IDS];  // by drive index; ZARFS_NO_DRIVE beyond the count
    uint32_t Flags;                     // ZARFS_VOLUME_...
};
static_assert(sizeof(ZAR_VOLUME_INFO) == 584);
static_assert(offsetof(ZAR_VOLUME_INFO, DriveCount) == 512);
static_assert(offsetof(ZAR_VOLUME_INFO, ScsiIds) == 516);
static_assert(offsetof(ZAR_VOLUME_INFO, Flags) == 580);

inline constexpr uint32_t ZARFS_VOLUME_INCOMPLETE = 0x1;     // a member drive is missing
inline constexpr uint32_t ZARFS_VOLUME_NAME_CONFLICT = 0x2;  // another usable volume has the name

// IOCTL_ZARFS_QUERY_VOLUME_INFO's buffer: the count of all volumes, then
// as many records as the output length has room for.
struct ZAR_VOLUME_LIST_HEAD {
    uint32_t Count;
};
static_assert(sizeof(ZAR_VOLUME_LIST_HEAD) == 4);

// The file entry "FIL0" as it lies on disk (2 blocks on a volume's first
// drive). Bytes 48-79 and 128-255 belong to the library and the control
// codes; the metadata layer neither sets nor reads them.
struct ZAR_FILE_INFO {
    uint8_t Magic[4];                // "FIL0"
    uint32_t Checksum;
    uint64_t CreationTime;           // 100 ns units since 1601
    uint32_t VideoStreamValue[2];    // as the writer's update record gave it
    uint32_t VideoBlocksPerDrive;
    uint32_t VideoFirstBlock;        // the same on every drive
    uint32_t MediaKind;              // ZARFS_MEDIA_...
    uint32_t VideoStandard;          // 525 or 625
    uint64_t FileSize;               // bytes, for a file without media data
    uint8_t Reserved48[32];
    uint32_t FrameCount;
    uint32_t VideoBodyTableFirst;
    uint32_t VideoBodyTableBlocks;
    uint32_t AlphaBodyTableFirst;
    uint32_t AlphaBodyTableBlocks;
    uint32_t AlphaStreamValue[2];
    uint32_t AlphaBlocksPerDrive;
    uint32_t AlphaFirstBlock;
    uint32_t Flags;                  // ZARFS_FILE_...
    uint32_t VideoSdtiType;
    uint32_t AlphaSdtiType;
    uint8_t Reserved128[128];
    uint8_t AppData[256];
    char16_t Name[ZARFS_NAME_CHARS];
};
static_assert(sizeof(ZAR_FILE_INFO) == 1024);
static_assert(offsetof(ZAR_FILE_INFO, Checksum) == 4);
static_assert(offsetof(ZAR_FILE_INFO, CreationTime) == 8);
static_assert(offsetof(ZAR_FILE_INFO, VideoStreamValue) == 16);
static_assert(offsetof(ZAR_FILE_INFO, VideoBlocksPerDrive) == 24);
static_assert(offsetof(ZAR_FILE_INFO, VideoFirstBlock) == 28);
static_assert(offsetof(ZAR_FILE_INFO, MediaKind) == 32);
static_assert(offsetof(ZAR_FILE_INFO, VideoStandard) == 36);
static_assert(offsetof(ZAR_FILE_INFO, FileSize) == 40);
static_assert(offsetof(ZAR_FILE_INFO, FrameCount) == 80);
static_assert(offsetof(ZAR_FILE_INFO, VideoBodyTableFirst) == 84);
static_assert(offsetof(ZAR_FILE_INFO, VideoBodyTableBlocks) == 88);
static_assert(offsetof(ZAR_FILE_INFO, AlphaBodyTableFirst) == 92);
static_assert(offsetof(ZAR_FILE_INFO, AlphaBodyTableBlocks) == 96);
static_assert(offsetof(ZAR_FILE_INFO, AlphaStreamValue) == 100);
static_assert(offsetof(ZAR_FILE_INFO, AlphaBlocksPerDrive) == 108);
static_assert(offsetof(ZAR_FILE_INFO, AlphaFirstBlock) == 112);
static_assert(offsetof(ZAR_FILE_INFO, Flags) == 116);
static_assert(offsetof(ZAR_FILE_INFO, VideoSdtiType) == 120);
static_assert(offsetof(ZAR_FILE_INFO, AlphaSdtiType) == 124);
static_assert(offsetof(ZAR_FILE_INFO, AppData) == 256);
static_assert(offsetof(ZAR_FILE_INFO, Name) == 512);

inline constexpr uint32_t ZARFS_MEDIA_NONE = 0;    // no media data; FileSize holds the size
inline constexpr uint32_t ZARFS_MEDIA_FRAMES = 1;  // frame file with body tables

inline constexpr uint32_t ZARFS_FILE_HAS_ALPHA = 0x1;
inline constexpr uint32_t ZARFS_FILE_VIDEO_SDTI = 0x2;
inline constexpr uint32_t ZARFS_FILE_ALPHA_SDTI = 0x4;
inline constexpr uint32_t ZARFS_FILE_VIDEO_RESERVED = 0x8;   // space taken, not yet settled by the writer
inline constexpr uint32_t ZARFS_FILE_ALPHA_RESERVED = 0x10;

// The file system's preferences (IOCTL_ZARFS_GET_PREFERENCES and
// IOCTL_ZARFS_SET_PREFERENCES), packed; kept per card and in its registry key.
#pragma pack(push, 1)
struct ZAR_FILE_SYSTEM_PREFS {
    uint32_t MinFrameDigits;         // digits of a frame file's number, at least
    uint32_t BaseFrameNumber;        // the number of a clip's first frame
    uint32_t HCrop;
    uint32_t VCrop;
    uint32_t RAMFileMaxSize;         // bytes of one RAM file
    uint32_t TotalRAMFiles;          // RAM files of a volume
    uint8_t DriveLetter;             // ASCII letter of the media drive
    uint8_t Reserved[8];             // kept as the last set request gave them
    uint32_t ImportProcessingVideo;
    uint32_t ImportProcessingAlpha;
};
#pragma pack(pop)
static_assert(sizeof(ZAR_FILE_SYSTEM_PREFS) == 41);
static_assert(offsetof(ZAR_FILE_SYSTEM_PREFS, DriveLetter) == 24);
static_assert(offsetof(ZAR_FILE_SYSTEM_PREFS, ImportProcessingVideo) == 33);

// IOCTL_ZARFS_GET_SCSI_PREFS / IOCTL_ZARFS_SET_SCSI_PREFS.
struct ZAR_SCSI_PREFS {
    uint32_t RetryCount;             // further tries after the first
    uint32_t VerifyWrite;            // nonzero: read back what was written
};
static_assert(sizeof(ZAR_SCSI_PREFS) == 8);

// IOCTL_ZARFS_GET_VOLUME_SPACE_INFO, in and out.
struct ZAR_VOLUME_SPACE_INFO {
    uint32_t Handle;                 // in: a folder or file opened on the media drive
    uint32_t VideoBlocksPerField;    // in: 0 asks for the space figures only
    uint32_t AlphaBlocksPerField;    // in: 0 = no alpha
    uint32_t Frames;                 // out: frames of that size that fit
    uint32_t FreeBlocks[2];          // out: over all drives, 64-bit (low, high)
    uint32_t TotalBlocks[2];         // out: over all drives, 64-bit (low, high)
    uint32_t AllocatorBlocks;        // out: the allocator's total blocks - 1
};
static_assert(sizeof(ZAR_VOLUME_SPACE_INFO) == 36);
