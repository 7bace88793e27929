// Interface of the media file-system driver ZARFSKD: the control codes of
// its per-card control device \Device\ZarFsDevice<n> (\\.\ZarFsDevice<n>),
// the records they carry, the format result codes, the 1,024-byte file
// entry that also travels whole through a control code, and the records of
// the request channel to the file-system service.
//
// Shared by kernel and user mode, so it stands on <cstdint>/<cstddef> only;
// every record is i386 layout with its size asserted.
#pragma once

#include <cstddef>
#include <cstdint>

// CTL_CODE(0x22, 0x800 + n, METHOD_BUFFERED, FILE_ANY_ACCESS); the four
// codes ending in 2 or 6 / A / E are METHOD_OUT_DIRECT.
inline constexpr uint32_t IOCTL_ZARFS_DISMOUNT_VOLUME = 0x222000;
inline constexpr uint32_t IOCTL_ZARFS_FORMAT_VOLUME = 0x222004;
inline constexpr uint32_t IOCTL_ZARFS_QUERY_VOLUME_INFO = 0x222008;
inline constexpr uint32_t IOCTL_ZARFS_ALLOCATE_VIDEO_SPACE = 0x22200C;
inline constexpr uint32_t IOCTL_ZARFS_UPDATE_VIDEO_FILE = 0x222010;
inline constexpr uint32_t IOCTL_ZARFS_GET_FILE_INFO = 0x222014;
inline constexpr uint32_t IOCTL_ZARFS_REGISTER_FILE_TYPES = 0x222018;
inline constexpr uint32_t IOCTL_ZARFS_UNREGISTER_FILE_TYPES = 0x22201C;
inline constexpr uint32_t IOCTL_ZARFS_SEND_SERVICE_REQUEST = 0x222020;
inline constexpr uint32_t IOCTL_ZARFS_SEND_SERVICE_RESPONSE = 0x222026;
inline constexpr uint32_t IOCTL_ZARFS_GET_PREFERENCES = 0x222028;
inline constexpr uint32_t IOCTL_ZARFS_SET_PREFERENCES = 0x22202C;
inline constexpr uint32_t IOCTL_ZARFS_GET_FILE_ENTRY = 0x222030;
inline constexpr uint32_t IOCTL_ZARFS_SET_APP_FILE_ENTRY_INFO = 0x222034;
inline constexpr uint32_t IOCTL_ZARFS_GET_VOLUME_SPACE_INFO = 0x222038;
inline constexpr uint32_t IOCTL_ZARFS_REFERENCE_BODY_TABLE = 0x22203E;
inline constexpr uint32_t IOCTL_ZARFS_DEREFERENCE_BODY_TABLE = 0x222040;
inline constexpr uint32_t IOCTL_ZARFS_CREATE_NEW_BODY_TABLE = 0x222044;
inline constexpr uint32_t IOCTL_ZARFS_ADD_VIDEO_NODES_TO_BODY_TABLE = 0x22204A;
inline constexpr uint32_t IOCTL_ZARFS_ADD_ALPHA_NODES_TO_BODY_TABLE = 0x22204E;
inline constexpr uint32_t IOCTL_ZARFS_GET_FILE_LOCATION_INFO = 0x222050;
inline constexpr uint32_t IOCTL_ZARFS_MOVE_FILE_SEGMENTS = 0x222054;
inline constexpr uint32_t IOCTL_ZARFS_REQUEST_BODY_TABLE_FLUSH_SUSPEND = 0x222058;
inline constexpr uint32_t IOCTL_ZARFS_REQUEST_BODY_TABLE_FLUSH_RESUME = 0x22205C;
inline constexpr uint32_t IOCTL_ZARFS_GET_SCSI_PREFS = 0x222060;
inline constexpr uint32_t IOCTL_ZARFS_SET_SCSI_PREFS = 0x222064;
inline constexpr uint32_t IOCTL_ZARFS_SET_SDTI_TYPE = 0x222068;
inline constexpr uint32_t IOCTL_ZARFS_REGISTER_SDTI_FLAGS = 0x22206C;
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

// IOCTL_ZARFS_GET_VOLUME_SPACE_INFO, in and out. The library's export
// header carries the same record under the same guard.
#ifndef ZAR_VOLUME_SPACE_INFO_DEFINED
#define ZAR_VOLUME_SPACE_INFO_DEFINED
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
#endif

// ---- records of the per-file control codes; +0 is always the handle of a
// media file opened on the media drive ----

// IOCTL_ZARFS_ALLOCATE_VIDEO_SPACE, in and out.
inline constexpr uint32_t ZARFS_ALLOCATE_ALPHA = 0x1;   // the alpha part, else video
inline constexpr uint32_t ZARFS_ALLOCATE_SDTI = 0x2;
inline constexpr uint32_t ZARFS_ALLOCATE_625 = 0x4;     // 625 lines, else 525
inline constexpr int32_t ZARFS_ALLOCATE_E_NO_SPACE = -29;
struct ZARFS_ALLOCATE_VIDEO_SPACE {
    uint32_t Handle;
    uint32_t TableBlocks;            // in: body-table blocks wanted
    uint32_t DataBlocks;             // in: data blocks wanted per drive
    uint32_t Flags;                  // in: ZARFS_ALLOCATE_...
    uint32_t TableFirstOut;
    uint32_t TableBlocksOut;
    uint32_t DataFirstOut;
    uint32_t DataBlocksOut;
    ZAR_VOLUME_INFO Volume;
    int32_t Result;                  // 0, or ZARFS_ALLOCATE_E_NO_SPACE
};
static_assert(sizeof(ZARFS_ALLOCATE_VIDEO_SPACE) == 620);
static_assert(offsetof(ZARFS_ALLOCATE_VIDEO_SPACE, Result) == 616);

// One part of IOCTL_ZARFS_UPDATE_VIDEO_FILE.
struct ZARFS_UPDATE_PART {
    uint32_t TableReserved;
    uint32_t DataReserved;
    uint32_t TableUsed;
    uint32_t DataUsed;
    uint32_t ValueA;                 // blocks of frame data written
    uint32_t ValueB;
};
inline constexpr uint32_t ZARFS_UPDATE_VIDEO = 0x1;
inline constexpr uint32_t ZARFS_UPDATE_ALPHA = 0x2;
struct ZARFS_UPDATE_VIDEO_FILE {
    uint32_t Handle;
    uint32_t FrameCount;
    ZARFS_UPDATE_PART Video;
    ZARFS_UPDATE_PART Alpha;
    uint32_t Parts;                  // ZARFS_UPDATE_...
    uint32_t Result;
};
static_assert(sizeof(ZARFS_UPDATE_VIDEO_FILE) == 64);
static_assert(offsetof(ZARFS_UPDATE_VIDEO_FILE, Alpha) == 32);
static_assert(offsetof(ZARFS_UPDATE_VIDEO_FILE, Parts) == 56);

// IOCTL_ZARFS_GET_FILE_INFO, in and out; fields the entry does not fill
// keep what the caller sent.
struct ZARFS_GET_FILE_INFO {
    uint32_t Handle;
    uint32_t MediaKind;
    uint32_t VideoStandard;
    uint32_t VideoDataFirst;
    uint32_t VideoDataBlocks;
    uint32_t VideoTableBlocks;
    uint32_t VideoTableFirst;
    uint32_t Unused28;
    uint32_t VideoValueA;
    uint32_t VideoValueB;
    uint32_t AlphaDataFirst;
    uint32_t AlphaDataBlocks;
    uint32_t AlphaTableBlocks;
    uint32_t AlphaTableFirst;
    uint32_t AlphaValueA;
    uint32_t AlphaValueB;
    uint32_t FrameCount;
    ZAR_VOLUME_INFO Volume;
    uint32_t Flags;
    uint32_t Result;
    uint32_t Unused660;
};
static_assert(sizeof(ZARFS_GET_FILE_INFO) == 664);
static_assert(offsetof(ZARFS_GET_FILE_INFO, Volume) == 68);
static_assert(offsetof(ZARFS_GET_FILE_INFO, Flags) == 652);

// IOCTL_ZARFS_GET_FILE_LOCATION_INFO, in and out; zeros for an absent part.
// The library's export header carries the same record under the same guard.
#ifndef ZAR_FILE_LOCATION_DEFINED
#define ZAR_FILE_LOCATION_DEFINED
struct ZAR_FILE_LOCATION {
    uint32_t Handle;
    uint32_t EntryBlock;
    uint32_t EntryBlocks;            // always 2
    uint32_t VideoDataFirst;
    uint32_t VideoDataBlocks;
    uint32_t VideoTableFirst;
    uint32_t VideoTableBlocks;
    uint32_t AlphaDataFirst;
    uint32_t AlphaDataBlocks;
    uint32_t AlphaTableFirst;
    uint32_t AlphaTableBlocks;
};
static_assert(sizeof(ZAR_FILE_LOCATION) == 44);
#endif

struct ZARFS_SET_APP_FILE_ENTRY_INFO {
    uint32_t Handle;
    uint8_t AppData[256];
};
static_assert(sizeof(ZARFS_SET_APP_FILE_ENTRY_INFO) == 260);

struct ZARFS_SET_SDTI_TYPE {
    uint32_t Handle;
    uint32_t VideoType;
    uint32_t AlphaType;
};
static_assert(sizeof(ZARFS_SET_SDTI_TYPE) == 12);

// IOCTL_ZARFS_REFERENCE_BODY_TABLE and IOCTL_ZARFS_CREATE_NEW_BODY_TABLE.
// Reference reads Table (0 video, else alpha); create reads the whole u32
// as the frame count the new tables hold.
struct ZARFS_BODY_TABLE_REFERENCE {
    uint32_t Handle;
    union {
        uint8_t Table;
        uint32_t FrameCount;
    };
    uint32_t Kept;                   // the caller passes 0
};
static_assert(sizeof(ZARFS_BODY_TABLE_REFERENCE) == 12);

struct ZARFS_BODY_TABLE_DEREFERENCE {
    uint32_t Handle;
    uint32_t Kept;
};
static_assert(sizeof(ZARFS_BODY_TABLE_DEREFERENCE) == 8);

// IOCTL_ZARFS_ADD_VIDEO_NODES_TO_BODY_TABLE / ..._ALPHA_...: the body-table
// run that allocation handed out for the part.
struct ZARFS_BODY_TABLE_ADD_NODES {
    uint32_t Handle;
    uint32_t TableFirst;
    uint32_t TableBlocks;
    uint32_t Kept;
};
static_assert(sizeof(ZARFS_BODY_TABLE_ADD_NODES) == 16);

// IOCTL_ZARFS_MOVE_FILE_SEGMENTS, in and out. Pieces in this order: file
// entry, video data, video body table, alpha data, alpha body table.
inline constexpr uint32_t ZARFS_MOVE_PIECES = 5;
inline constexpr int32_t ZARFS_MOVE_OK = 0;
inline constexpr int32_t ZARFS_MOVE_E_NO_SPACE = -1;
inline constexpr int32_t ZARFS_MOVE_E_NO_PART = -2;
inline constexpr int32_t ZARFS_MOVE_E_COPY = -3;
struct ZARFS_MOVE_FILE_SEGMENTS {
    uint32_t Handle;
    uint32_t Target[ZARFS_MOVE_PIECES];  // new first block; 0 = leave the piece
    uint32_t ProgressAddress;        // a u32 in the caller's memory the copy updates
    int32_t Result[ZARFS_MOVE_PIECES];
    uint32_t Kept[2];
};
static_assert(sizeof(ZARFS_MOVE_FILE_SEGMENTS) == 56);
static_assert(offsetof(ZARFS_MOVE_FILE_SEGMENTS, ProgressAddress) == 24);
static_assert(offsetof(ZARFS_MOVE_FILE_SEGMENTS, Result) == 28);

// ---- the request channel to the file-system service ----

enum ZARFS_SERVICE_REQUEST_TYPE : uint32_t {
    ZARFS_SREQ_OPEN = 1,
    ZARFS_SREQ_CLEANUP = 2,
    ZARFS_SREQ_CLOSE = 3,
    ZARFS_SREQ_READ = 4,
    ZARFS_SREQ_WRITE = 5,
    ZARFS_SREQ_UPDATE_PREFERENCES = 6,
    ZARFS_SREQ_GET_AVAILABLE_SPACE = 7,
    ZARFS_SREQ_CREATE_MEDIA_FILE = 8,
};

// IOCTL_ZARFS_SEND_SERVICE_REQUEST's output, filled by the driver.
inline constexpr uint32_t ZARFS_SERVICE_PAYLOAD_BYTES = 1560;
struct ZARFS_SERVICE_REQUEST {
    uint32_t Kind;                   // ZARFS_SERVICE_REQUEST_TYPE
    uint32_t Unused;
    uint8_t Payload[ZARFS_SERVICE_PAYLOAD_BYTES];
};
static_assert(sizeof(ZARFS_SERVICE_REQUEST) == 1568);

// IOCTL_ZARFS_SEND_SERVICE_RESPONSE's input (at least 56 bytes); a read or
// write answer carries or asks for Result bytes in the output buffer.
struct ZARFS_SERVICE_RESPONSE {
    uint32_t Kind;
    uint32_t Status;                 // 0 = success
    uint32_t Result;
    uint8_t More[44];                // preferences answer: file types from here
};
static_assert(sizeof(ZARFS_SERVICE_RESPONSE) == 56);

// The port file: a file "___Port0___" that opens in any folder of the media
// drive. A command written from offset 0 is +0 u32 total length in bytes,
// +4 u32 code, +8 arguments; the reply reads from offset 0 as u32 reply
// length, u32 status, then the command's results.
inline constexpr char16_t ZARFS_PORT_FILE_NAME[] = u"___Port0___";
inline constexpr uint32_t ZARFS_PORT_COMMAND_BYTES = 2048;
inline constexpr uint32_t ZARFS_PORT_CMD_CREATE_MEDIA_FILE = 1;   // arguments: the new file's name, ...
inline constexpr uint32_t ZARFS_PORT_CMD_GET_AVAILABLE_SPACE = 4; // reply: six u32 space figures
inline constexpr uint32_t ZARFS_PORT_CREATE_ARGUMENT_BYTES = 1048;
inline constexpr uint32_t ZARFS_PORT_SPACE_ARGUMENT_BYTES = 1032;
inline constexpr uint32_t ZARFS_PORT_PATH_CHARS = 512;           // a path with its zero
inline constexpr int32_t ZARFS_PORT_REPLY_PENDING = -3;          // a command is being written
inline constexpr int32_t ZARFS_PORT_REPLY_UNKNOWN = -2;          // no such command, or a bad length

// One file type the service registers.
struct ZARFS_FILE_TYPE {
    uint32_t Value;                  // the service's own value, sent back in reads and writes
    uint32_t Presentation;           // 0: media files are files; 2: directories of frame files
    char16_t Extension[4];           // three letters and a zero
    uint32_t FrameSize;              // frame-file sizes by alpha and SDTI type
    uint32_t FrameSizeAlpha;
    uint32_t DotBeforeNumber;        // 1: "<clip>.<number>"
    uint32_t FrameSizeSdti;
    uint32_t FrameSizeSdtiAlpha;
    uint32_t FrameSizeSdtiHigh;
    uint32_t FrameSizeSdtiHighAlpha;
};
static_assert(sizeof(ZARFS_FILE_TYPE) == 44);
inline constexpr uint32_t ZARFS_MAX_FILE_TYPES = 32;

// ---- the control codes as one table ----

// Transfer methods of the codes (their low two bits).
inline constexpr uint32_t ZARFS_METHOD_BUFFERED = 0;
inline constexpr uint32_t ZARFS_METHOD_OUT_DIRECT = 2;

// One control code of the control device: the least input and output it
// takes. A shorter buffer gets STATUS_BUFFER_TOO_SMALL before anything is
// touched (input tested first); a code that returns a record returns
// OutputLength bytes.
struct ZARFS_IOCTL_ENTRY {
    uint32_t Code;
    const char* Name;
    uint32_t Method;                 // ZARFS_METHOD_...
    uint32_t InputLength;            // at least
    uint32_t OutputLength;           // at least
};

#define ZARFS_IOCTL_ROW(code, method, in, out) {code, #code, method, in, out}
inline constexpr ZARFS_IOCTL_ENTRY ZarFsIoctlTable[] = {
    ZARFS_IOCTL_ROW(IOCTL_ZARFS_DISMOUNT_VOLUME, ZARFS_METHOD_BUFFERED, 4, 0),  // u8 drive index, padded
    ZARFS_IOCTL_ROW(IOCTL_ZARFS_FORMAT_VOLUME, ZARFS_METHOD_BUFFERED, sizeof(ZAR_VOLUME_INFO), 0),
    ZARFS_IOCTL_ROW(IOCTL_ZARFS_QUERY_VOLUME_INFO, ZARFS_METHOD_BUFFERED, 4, sizeof(ZAR_VOLUME_LIST_HEAD)),
    ZARFS_IOCTL_ROW(IOCTL_ZARFS_ALLOCATE_VIDEO_SPACE, ZARFS_METHOD_BUFFERED, sizeof(ZARFS_ALLOCATE_VIDEO_SPACE),
                    sizeof(ZARFS_ALLOCATE_VIDEO_SPACE)),
    ZARFS_IOCTL_ROW(IOCTL_ZARFS_UPDATE_VIDEO_FILE, ZARFS_METHOD_BUFFERED, sizeof(ZARFS_UPDATE_VIDEO_FILE),
                    sizeof(ZARFS_UPDATE_VIDEO_FILE)),
    ZARFS_IOCTL_ROW(IOCTL_ZARFS_GET_FILE_INFO, ZARFS_METHOD_BUFFERED, sizeof(ZARFS_GET_FILE_INFO),
                    sizeof(ZARFS_GET_FILE_INFO)),
    // A count, then at least one type.
    ZARFS_IOCTL_ROW(IOCTL_ZARFS_REGISTER_FILE_TYPES, ZARFS_METHOD_BUFFERED, 4 + sizeof(ZARFS_FILE_TYPE), 0),
    ZARFS_IOCTL_ROW(IOCTL_ZARFS_UNREGISTER_FILE_TYPES, ZARFS_METHOD_BUFFERED, 0, 0),
    ZARFS_IOCTL_ROW(IOCTL_ZARFS_SEND_SERVICE_REQUEST, ZARFS_METHOD_BUFFERED, 0, sizeof(ZARFS_SERVICE_REQUEST)),
    ZARFS_IOCTL_ROW(IOCTL_ZARFS_SEND_SERVICE_RESPONSE, ZARFS_METHOD_OUT_DIRECT, sizeof(ZARFS_SERVICE_RESPONSE), 0),
    ZARFS_IOCTL_ROW(IOCTL_ZARFS_GET_PREFERENCES, ZARFS_METHOD_BUFFERED, 0, sizeof(ZAR_FILE_SYSTEM_PREFS)),
    ZARFS_IOCTL_ROW(IOCTL_ZARFS_SET_PREFERENCES, ZARFS_METHOD_BUFFERED, sizeof(ZAR_FILE_SYSTEM_PREFS), 0),
    ZARFS_IOCTL_ROW(IOCTL_ZARFS_GET_FILE_ENTRY, ZARFS_METHOD_BUFFERED, 4, sizeof(ZAR_FILE_INFO)),  // in: the handle
    ZARFS_IOCTL_ROW(IOCTL_ZARFS_SET_APP_FILE_ENTRY_INFO, ZARFS_METHOD_BUFFERED, sizeof(ZARFS_SET_APP_FILE_ENTRY_INFO),
                    0),
    ZARFS_IOCTL_ROW(IOCTL_ZARFS_GET_VOLUME_SPACE_INFO, ZARFS_METHOD_BUFFERED, sizeof(ZAR_VOLUME_SPACE_INFO),
                    sizeof(ZAR_VOLUME_SPACE_INFO)),
    ZARFS_IOCTL_ROW(IOCTL_ZARFS_REFERENCE_BODY_TABLE, ZARFS_METHOD_OUT_DIRECT, sizeof(ZARFS_BODY_TABLE_REFERENCE), 0),
    ZARFS_IOCTL_ROW(IOCTL_ZARFS_DEREFERENCE_BODY_TABLE, ZARFS_METHOD_BUFFERED, sizeof(ZARFS_BODY_TABLE_DEREFERENCE),
                    0),
    ZARFS_IOCTL_ROW(IOCTL_ZARFS_CREATE_NEW_BODY_TABLE, ZARFS_METHOD_BUFFERED, sizeof(ZARFS_BODY_TABLE_REFERENCE), 0),
    ZARFS_IOCTL_ROW(IOCTL_ZARFS_ADD_VIDEO_NODES_TO_BODY_TABLE, ZARFS_METHOD_OUT_DIRECT,
                    sizeof(ZARFS_BODY_TABLE_ADD_NODES), 0),
    ZARFS_IOCTL_ROW(IOCTL_ZARFS_ADD_ALPHA_NODES_TO_BODY_TABLE, ZARFS_METHOD_OUT_DIRECT,
                    sizeof(ZARFS_BODY_TABLE_ADD_NODES), 0),
    ZARFS_IOCTL_ROW(IOCTL_ZARFS_GET_FILE_LOCATION_INFO, ZARFS_METHOD_BUFFERED, sizeof(ZAR_FILE_LOCATION),
                    sizeof(ZAR_FILE_LOCATION)),
    ZARFS_IOCTL_ROW(IOCTL_ZARFS_MOVE_FILE_SEGMENTS, ZARFS_METHOD_BUFFERED, sizeof(ZARFS_MOVE_FILE_SEGMENTS),
                    sizeof(ZARFS_MOVE_FILE_SEGMENTS)),
    ZARFS_IOCTL_ROW(IOCTL_ZARFS_REQUEST_BODY_TABLE_FLUSH_SUSPEND, ZARFS_METHOD_BUFFERED, 0, 0),
    ZARFS_IOCTL_ROW(IOCTL_ZARFS_REQUEST_BODY_TABLE_FLUSH_RESUME, ZARFS_METHOD_BUFFERED, 0, 0),
    ZARFS_IOCTL_ROW(IOCTL_ZARFS_GET_SCSI_PREFS, ZARFS_METHOD_BUFFERED, 0, sizeof(ZAR_SCSI_PREFS)),
    ZARFS_IOCTL_ROW(IOCTL_ZARFS_SET_SCSI_PREFS, ZARFS_METHOD_BUFFERED, sizeof(ZAR_SCSI_PREFS), 0),
    ZARFS_IOCTL_ROW(IOCTL_ZARFS_SET_SDTI_TYPE, ZARFS_METHOD_BUFFERED, sizeof(ZARFS_SET_SDTI_TYPE), 0),
    ZARFS_IOCTL_ROW(IOCTL_ZARFS_REGISTER_SDTI_FLAGS, ZARFS_METHOD_BUFFERED, 4, 0),  // u32 flags
    ZARFS_IOCTL_ROW(IOCTL_ZARFS_LOCK_FILE_SYSTEM, ZARFS_METHOD_BUFFERED, 4, 0),     // u32: flush the caches too
    ZARFS_IOCTL_ROW(IOCTL_ZARFS_UNLOCK_FILE_SYSTEM, ZARFS_METHOD_BUFFERED, 0, 0),
};
#undef ZARFS_IOCTL_ROW
inline constexpr size_t ZarFsIoctlCount = sizeof(ZarFsIoctlTable) / sizeof(ZarFsIoctlTable[0]);

// Sorted by code without duplicates; every code is CTL_CODE(0x22, 0x800 + n,
// its method, FILE_ANY_ACCESS).
constexpr bool ZarFsIoctlTableIsWellFormed()
{
    for (size_t i = 0; i < ZarFsIoctlCount; ++i) {
        const ZARFS_IOCTL_ENTRY& e = ZarFsIoctlTable[i];
        if ((e.Code >> 16) != 0x22 || ((e.Code >> 14) & 3) != 0) return false;
        if (((e.Code >> 2) & 0xFFF) < 0x800 || (e.Code & 3) != e.Method) return false;
        if (i > 0 && ZarFsIoctlTable[i - 1].Code >= e.Code) return false;
    }
    return true;
}
static_assert(ZarFsIoctlCount == 30);
static_assert(ZarFsIoctlTableIsWellFormed());

// The entry of a code, or nullptr for a code the driver does not know.
constexpr const ZARFS_IOCTL_ENTRY* ZarFsFindIoctl(uint32_t code)
{
    size_t lo = 0, hi = ZarFsIoctlCount;
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (ZarFsIoctlTable[mid].Code == code) return &ZarFsIoctlTable[mid];
        if (ZarFsIoctlTable[mid].Code < code) lo = mid + 1;
        else hi = mid;
    }
    return nullptr;
}
