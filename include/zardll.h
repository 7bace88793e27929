// The library ZarDll as applications call it: result codes, the board
// handle's public head, the exception packet, the shared section
// KIV_SOLVANE_DLL that every process of the machine maps, and the exported
// functions of the library's frame.
//
// Stands on <cstdint>/<cstddef> only: handles are plain 32-bit words here,
// as the records that cross carry them.
#pragma once

#include <cstddef>
#include <cstdint>

#define ZAR_API extern "C" __attribute__((visibility("default")))

// ---- Result codes ----

enum : int32_t {
    ZAR_OK = 0,
    ZAR_E_DRIVER = -1,             // a driver request or a system call failed
    ZAR_E_BAD_ARGUMENT = -2,       // a record not accessible at its size, or a value out of range
    ZAR_E_NO_MEMORY = -4,
    ZAR_E_FIRMWARE = -6,           // the board gave no usable firmware answer
    ZAR_E_SCSI_DEVICE_STATE = -7,
    ZAR_E_BLOCK_RANGE = -8,
    ZAR_E_BAD_HANDLE = -9,         // null, -1, stale, foreign or of the wrong class
    ZAR_E_NO_DEVICE = -20,         // board open: device not reachable or board never initialised
    ZAR_E_NO_BOARD = -21,          // board open: the driver reports no board
    ZAR_E_BOARD_UNKNOWN = -22,     // board open: a bridge of the family, not this board
    ZAR_E_BOARD_UNAVAILABLE = -23, // board open: board state 2
    ZAR_E_NOT_CAPABLE = -40,
    ZAR_E_AUDIO_LOCK = -73,        // the board's audio lock was not granted in time
};

// ---- Boards ----

inline constexpr uint32_t ZAR_DLL_MAX_BOARDS = 10;  // board numbers 0..9

// A board handle is the address of the library's connection to the board.
// Its first four words are public: the board number and the three device
// handles (board driver, file-system control device, digital-I/O option;
// an unopened one is -1), which the control panel uses directly.
struct ZAR_BOARD_CONNECTION_HEAD {
    uint32_t Board;
    uint32_t BoardDevice;       // \\.\KIVZAR<n>
    uint32_t FileSystemDevice;  // \\.\ZarFsDevice<n>
    uint32_t IoDevice;          // \\.\ZARIO<n>
};
static_assert(sizeof(ZAR_BOARD_CONNECTION_HEAD) == 16);
using ZAR_BOARD = ZAR_BOARD_CONNECTION_HEAD*;
#define ZAR_INVALID_BOARD (reinterpret_cast<ZAR_BOARD>(static_cast<uintptr_t>(-1)))

// ---- Exception packets ----

// Errors of the library's worker threads, fetched after the semaphore of
// ZarExInitializeExceptionHandler was signalled once per packet.
struct ZAR_EXCEPTION_PACKET {
    uint32_t Kind;
    uint32_t Field;       // the field or frame concerned
    uint32_t One;         // 1
    uint32_t Stream;      // handle of the stream concerned
    uint32_t Item;        // item or buffer concerned
    uint32_t Words[4];    // the kind's own words
};
static_assert(sizeof(ZAR_EXCEPTION_PACKET) == 36);

// ---- The shared section KIV_SOLVANE_DLL ----
// Made by the first process that loads the library and filled under the
// named mutex KIV_SOLVANE_DLL_MUTEX; it lives while any process maps it.

inline constexpr char ZAR_SHARED_SECTION_NAME[] = "KIV_SOLVANE_DLL";
inline constexpr char ZAR_SHARED_MUTEX_NAME[] = "KIV_SOLVANE_DLL_MUTEX";
inline constexpr uint32_t ZAR_SHARED_SECTION_SIZE = 0x16000;
inline constexpr uint32_t ZAR_SHARED_VIEW_SIZE = 87440;
inline constexpr uint32_t ZAR_SHARED_BOARDS_OFFSET = 8;
inline constexpr uint32_t ZAR_SHARED_KEY_GAIN_OFFSET = 46408;      // 256 u32
inline constexpr uint32_t ZAR_SHARED_GAIN_LEVEL_OFFSET = 47432;    // 40,001 bytes
inline constexpr uint32_t ZAR_KEY_GAIN_ENTRIES = 256;
inline constexpr uint32_t ZAR_GAIN_LEVEL_ENTRIES = 40001;          // gain 0.0000 .. 4.0000

// Board states of ZAR_BOARD_SHARED::BoardState.
enum : uint32_t {
    ZAR_SHARED_STATE_NEVER = 0,
    ZAR_SHARED_STATE_UNAVAILABLE = 2,
    ZAR_SHARED_STATE_NO_BOARD = 4,
    ZAR_SHARED_STATE_BRIDGE_ONLY = 5,
    ZAR_SHARED_STATE_PROGRAMMING = 16,
    ZAR_SHARED_STATE_FIRMWARE = 64,      // firmware answer 1
    ZAR_SHARED_STATE_FIRMWARE_DVE = 128, // firmware answer 3, or a DVE answered
};

// Capability word bits (ZAR_BOARD_SHARED::Capabilities).
enum : uint32_t {
    ZAR_CAP_BASE = 0xDFF7,
    ZAR_CAP_SDI_AUDIO_IN = 0x10000,
    ZAR_CAP_DV = 0x20000,
    ZAR_CAP_SDI_OUT = 0x40000,
    ZAR_CAP_AES_IN = 0x100000,
    ZAR_CAP_FOURTH_SOURCE = 0x200000,
    ZAR_CAP_AES_OUT = 0x400000,
    ZAR_CAP_24FPS = 0x20000000,
    ZAR_CAP_625_DUAL = 0x40000000,
    ZAR_CAP_625 = 0x80000000,
};

#pragma pack(push, 1)
// One board's record, shared by every process (board n at 8 + n x 4,640).
// Reserved ranges belong to the play engine and the effects code.
struct ZAR_BOARD_SHARED {
    uint32_t SystemPrefsBatch;      // 1..40, 32 once the board is initialised
    uint32_t WaveformClipFlags[2];
    char MediaDriveLetter;          // 'P' when the file system names none
    uint32_t SystemPrefsWord13;
    uint8_t Reserved17[3];
    uint32_t BoardState;            // ZAR_SHARED_STATE_...
    uint8_t ScsiDevices[16][196];   // ZAR_SCSI_DEVICE_INFO per SCSI id
    uint32_t Standard;              // 525 or 625; 0 until a process read it
    uint32_t FrameLines;
    uint32_t LastFrameLine;
    uint32_t FieldLines;
    uint32_t LastFieldLine;
    uint32_t FramesPerSecond;
    uint32_t FrameMicroseconds;
    uint32_t Reserved3188;
    double FrameRate;
    uint32_t FirstActiveLine;
    uint32_t FieldWindow[4];
    uint32_t FieldWindowLines;
    uint32_t FieldWindowStart;
    uint32_t SamplesPerLine;
    double PixelAspect;
    double LineScale;
    uint32_t OverBudget;            // percent
    uint32_t WaveformDefaults[11];
    uint32_t MixDve[9];
    uint32_t MixDownStreamKey[9];
    uint32_t MixEffects[9];
    uint8_t MixEffectsBoard[9];
    uint8_t MixDveBoard[11];
    uint8_t MixDownStreamKeyBoard[11];
    uint8_t MasterFade;
    uint8_t Reserved3436[592];
    uint32_t VinMode[5];            // the video-input mode last set (the board cannot read it back)
    uint32_t ScalerProcAmp[3];
    uint32_t ScalerPreFilter;
    uint32_t IoBoardPresent;
    uint32_t Capabilities;          // ZAR_CAP_...
    uint32_t AudioSource;
    uint32_t AudioPlayDmaSize;
    uint32_t SampleRate;            // Hz
    uint32_t AudioTrackMasks[4];
    uint32_t AudioLockWord;
    uint32_t Fps24Mode;
    uint32_t Fps24Option;           // bit 0: the 24 fps mode is allowed
    uint32_t IoFps24Answer;
    uint16_t UserVirtualFrame[260];
    uint32_t Reserved4636;
};
#pragma pack(pop)
static_assert(sizeof(ZAR_BOARD_SHARED) == 4640);
static_assert(offsetof(ZAR_BOARD_SHARED, MediaDriveLetter) == 12);
static_assert(offsetof(ZAR_BOARD_SHARED, BoardState) == 20);
static_assert(offsetof(ZAR_BOARD_SHARED, ScsiDevices) == 24);
static_assert(offsetof(ZAR_BOARD_SHARED, Standard) == 3160);
static_assert(offsetof(ZAR_BOARD_SHARED, FrameRate) == 3192);
static_assert(offsetof(ZAR_BOARD_SHARED, FirstActiveLine) == 3200);
static_assert(offsetof(ZAR_BOARD_SHARED, FieldWindowLines) == 3220);
static_assert(offsetof(ZAR_BOARD_SHARED, SamplesPerLine) == 3228);
static_assert(offsetof(ZAR_BOARD_SHARED, PixelAspect) == 3232);
static_assert(offsetof(ZAR_BOARD_SHARED, OverBudget) == 3248);
static_assert(offsetof(ZAR_BOARD_SHARED, WaveformDefaults) == 3252);
static_assert(offsetof(ZAR_BOARD_SHARED, MixDve) == 3296);
static_assert(offsetof(ZAR_BOARD_SHARED, MixDownStreamKey) == 3332);
static_assert(offsetof(ZAR_BOARD_SHARED, MixEffects) == 3368);
static_assert(offsetof(ZAR_BOARD_SHARED, MixEffectsBoard) == 3404);
static_assert(offsetof(ZAR_BOARD_SHARED, MixDveBoard) == 3413);
static_assert(offsetof(ZAR_BOARD_SHARED, MixDownStreamKeyBoard) == 3424);
static_assert(offsetof(ZAR_BOARD_SHARED, MasterFade) == 3435);
static_assert(offsetof(ZAR_BOARD_SHARED, VinMode) == 4028);
static_assert(offsetof(ZAR_BOARD_SHARED, ScalerProcAmp) == 4048);
static_assert(offsetof(ZAR_BOARD_SHARED, IoBoardPresent) == 4064);
static_assert(offsetof(ZAR_BOARD_SHARED, Capabilities) == 4068);
static_assert(offsetof(ZAR_BOARD_SHARED, AudioSource) == 4072);
static_assert(offsetof(ZAR_BOARD_SHARED, SampleRate) == 4080);
static_assert(offsetof(ZAR_BOARD_SHARED, AudioLockWord) == 4100);
static_assert(offsetof(ZAR_BOARD_SHARED, Fps24Option) == 4108);
static_assert(offsetof(ZAR_BOARD_SHARED, IoFps24Answer) == 4112);
static_assert(offsetof(ZAR_BOARD_SHARED, UserVirtualFrame) == 4116);

// Board n's record in a view of the section.
inline ZAR_BOARD_SHARED* ZarSharedBoard(void* view, uint32_t board)
{
    return reinterpret_cast<ZAR_BOARD_SHARED*>(static_cast<uint8_t*>(view) + ZAR_SHARED_BOARDS_OFFSET) + board;
}

// Named objects of a board, each name followed by the board's digit.
inline constexpr char ZAR_ABORT_EVENT_PREFIX[] = "KIVZARRECEVENTABORT";
inline constexpr char ZAR_FIELD_SYNC_MUTEX_PREFIX[] = "ZAR_FIELD_SYNC_MUTEX";
inline constexpr const char* ZAR_AUDIO_DMA_EVENT_PREFIXES[6] = {
    "ZarEventAudioDmaEmptyA", "ZarEventAudioDmaEmptyB",      "ZarEventAudioDmaFullA",
    "ZarEventAudioDmaFullB",  "ZarEventAudioDmaOneShotPlay", "ZarEventAudioDmaOneShotRecord",
};

// ---- Exported functions of the frame ----

// Opens board 0..9: ZAR_OK and the handle, or a negative code with the
// handle set to -1. The first open of a board in a process prepares it.
ZAR_API int32_t ZarDcOpen(uint32_t board, ZAR_BOARD* handle);
// The same; the handle is marked as opened by the extended call.
ZAR_API int32_t ZarDcOpenEx(uint32_t board, ZAR_BOARD* handle);
// ZAR_E_BAD_HANDLE for a handle this process does not hold open.
ZAR_API int32_t ZarDcClose(ZAR_BOARD handle);
// Mode 0 checks the board's firmware, mode 1 programs it and sets the board up.
ZAR_API int32_t ZarDcInitialize(ZAR_BOARD handle, uint32_t mode);
// Drops one reference of an item or stream handle.
ZAR_API int32_t ZarDereferenceObject(uint32_t handle);
// The process's exception queue, made at the first call; its semaphore
// handle (the same one every time).
ZAR_API int32_t ZarExInitializeExceptionHandler(ZAR_BOARD handle, uint32_t* semaphore);
// The oldest waiting packet; ZAR_E_DRIVER when none waits or there is no queue.
ZAR_API int32_t ZarExGetExceptionPacket(ZAR_BOARD handle, ZAR_EXCEPTION_PACKET* packet);

// ---- The other exports ----
// Each returns ZAR_OK or a negative code. A record is tested for read and
// write access at its size before anything is done (ZAR_E_BAD_ARGUMENT,
// nothing written); a board handle this process does not hold open gives
// ZAR_E_BAD_HANDLE.

// Record sizes of the device-control calls whose records the board driver's
// interface does not already describe.
inline constexpr uint32_t ZAR_SYSTEM_PREFS_SIZE = 17;   // word 0 batch 1..40, words 1 and 2 flags, byte 12 drive letter
inline constexpr uint32_t ZAR_VIDEO_PREFS_SIZE = 16;
inline constexpr uint32_t ZAR_VIN_MODE_OLDER_SIZE = 16; // the video-input mode of a ZarDcOpen handle
inline constexpr uint32_t ZAR_VERSION_INFO_SIZE = 97;
inline constexpr uint32_t ZAR_VERSION_INFO_EX_SIZE = 101;

// ZarDcSetJpegMode / ZarDcGetJpegMode: one mode a codec channel (0 and 1).
enum : uint32_t {
    ZAR_JPEG_MODE_IDLE = 0,
    ZAR_JPEG_MODE_INITIALISED = 100,
    ZAR_JPEG_MODE_HOLD = 101,
    ZAR_JPEG_MODE_RECORD = 200,
};

// ZarScsiCommand / ZarScsiCommandEx.
enum : uint32_t {
    ZAR_SCSI_OP_READ = 0,
    ZAR_SCSI_OP_WRITE = 1,
    ZAR_SCSI_OP_MODE_SENSE = 2,
    ZAR_SCSI_OP_MODE_SELECT = 3,
    ZAR_SCSI_OP_BUS_SCAN = 4,
    ZAR_SCSI_OP_SEQ_READ = 5,
    ZAR_SCSI_OP_SEQ_WRITE = 6,
    ZAR_SCSI_OP_SEQ_STATUS = 7,
    ZAR_SCSI_OP_SEQ_END = 8,
    ZAR_SCSI_OP_BOARD_READ = 100,   // drive to board memory, at a block offset
    ZAR_SCSI_OP_BOARD_WRITE = 101,  // board memory to drive
};
inline constexpr uint32_t ZAR_SCSI_BOARD_BLOCKS = 16384;  // board memory the 100/101 operations reach
struct ZAR_SCSI_COMMAND {
    uint32_t Operation;
    uint32_t ScsiId;        // below 16
    uint32_t FirstBlock;    // 512-byte blocks
    uint32_t EndBlock;      // sequential operations: the end block
    uint32_t BlockCount;
    uint32_t Status[2];     // ZAR_SCSI_OP_SEQ_STATUS: done count, finished
    uint32_t Buffer;        // address of the data, or 0
    uint32_t BufferOffset;  // operations 100/101: blocks into board memory
    uint32_t RequestMode;   // 0, 1, 2, 101, 102 or 255
    uint32_t ModeSensePage;
    uint32_t ModeSelect[2];
};
static_assert(sizeof(ZAR_SCSI_COMMAND) == 52);
// ZarScsiCommandEx's second block: the caller's overlapped record (its event
// signalled when the request completes) and the request area the library
// fills; both must live until then.
inline constexpr uint32_t ZAR_SCSI_EXTENDED_SIZE = 20 + 104;

// The block of the insert, remove and reposition calls of every stream kind.
struct ZAR_STREAM_ITEM {
    uint32_t Stream;
    uint32_t Item;
    uint32_t Position;
};
static_assert(sizeof(ZAR_STREAM_ITEM) == 12);

// Device control
ZAR_API int32_t ZarDcReset(ZAR_BOARD board, uint32_t value);
ZAR_API int32_t ZarDcGetVersionInfo(ZAR_BOARD board, void* record);  // 97-byte record
ZAR_API int32_t ZarDcGetVersionInfoEx(ZAR_BOARD board, void* record);  // 101-byte record
ZAR_API int32_t ZarDcSetGenlock(ZAR_BOARD board, void* record);  // 20-byte record
ZAR_API int32_t ZarDcGetGenlock(ZAR_BOARD board, void* record);  // 20-byte record
ZAR_API int32_t ZarDcSetSystemPrefs(ZAR_BOARD board, void* record);  // 17-byte record
ZAR_API int32_t ZarDcGetSystemPrefs(ZAR_BOARD board, void* record);  // 17-byte record
ZAR_API int32_t ZarDcSetAudioStandards(ZAR_BOARD board, void* record);  // 4-byte record
ZAR_API int32_t ZarDcGetAudioStandards(ZAR_BOARD board, void* record);  // 4-byte record
ZAR_API int32_t ZarDcSetM2Routing(ZAR_BOARD board, void* record);  // 20-byte record
ZAR_API int32_t ZarDcGetM2Routing(ZAR_BOARD board, void* record);  // 20-byte record
ZAR_API int32_t ZarDcSetVideoPrefs(ZAR_BOARD board, void* record);  // 16-byte record
ZAR_API int32_t ZarDcGetVideoPrefs(ZAR_BOARD board, void* record);  // 16-byte record
ZAR_API int32_t ZarDcSetEncoder(ZAR_BOARD board, void* record);  // 12-byte record
ZAR_API int32_t ZarDcGetEncoder(ZAR_BOARD board, void* record);  // 12-byte record
ZAR_API int32_t ZarDcSetJpegMode(ZAR_BOARD board, void* record);  // 8-byte record
ZAR_API int32_t ZarDcGetJpegMode(ZAR_BOARD board, void* record);  // 8-byte record
ZAR_API int32_t ZarDcSetCalibration(ZAR_BOARD board, void* record);  // 16-byte record
ZAR_API int32_t ZarDcGetCalibration(ZAR_BOARD board, void* record);  // 16-byte record
ZAR_API int32_t ZarDcSynchronizeExecution(ZAR_BOARD board, uint32_t value);
ZAR_API int32_t ZarDcFormatVolume(ZAR_BOARD board, void* record);  // 584-byte record
ZAR_API int32_t ZarDcGetFileInfo(ZAR_BOARD board, void* record, void* second);
ZAR_API int32_t ZarDcSetAppInfo(ZAR_BOARD board, void* record, void* second);
ZAR_API int32_t ZarDcSetSDTIType(ZAR_BOARD board, void* record, uint32_t value, uint32_t value2);
ZAR_API int32_t ZarDcQueryVolumeInfo(ZAR_BOARD board, void* record);
ZAR_API int32_t ZarDcQueryVolumeSpace(ZAR_BOARD board, void* record);  // 32-byte record
ZAR_API int32_t ZarDcGetFileSystemPrefs(ZAR_BOARD board, void* record);  // 41-byte record
ZAR_API int32_t ZarDcSetFileSystemPrefs(ZAR_BOARD board, void* record);  // 41-byte record

// Digital I/O option
ZAR_API int32_t ZarIoDvAviCommand(ZAR_BOARD board, void* record);  // 40-byte record
ZAR_API int32_t ZarIoDvVcrCommand(ZAR_BOARD board, void* record);  // 12-byte record
ZAR_API int32_t ZarIoDvFcpCommand(ZAR_BOARD board, void* record);  // 33-byte record
ZAR_API int32_t ZarIoGetDvVcrStatus(ZAR_BOARD board, void* record);  // 20-byte record
ZAR_API int32_t ZarIoQueryDvVcrTimecode(ZAR_BOARD board, void* record);  // 8-byte record
ZAR_API int32_t ZarIoSetDvCodec(ZAR_BOARD board, void* record);  // 12-byte record
ZAR_API int32_t ZarIoDvSetAudioMix(ZAR_BOARD board, uint32_t value);
ZAR_API int32_t ZarIoGetDvCodec(ZAR_BOARD board, void* record);  // 12-byte record
ZAR_API int32_t ZarIoSdiQueryEdh(ZAR_BOARD board, void* record);  // 20-byte record
ZAR_API int32_t ZarIoSetCaptureProcAmp(ZAR_BOARD board, void* record);  // 10-byte record
ZAR_API int32_t ZarIoGetCaptureProcAmp(ZAR_BOARD board, void* record);  // 10-byte record
ZAR_API int32_t ZarIoSetFramestore(ZAR_BOARD board, void* record);  // 8-byte record
ZAR_API int32_t ZarIoGetFramestore(ZAR_BOARD board, void* record);  // 8-byte record
ZAR_API int32_t ZarIoSetSDIOutput(ZAR_BOARD board, void* record);  // 8-byte record
ZAR_API int32_t ZarIoSetSDIMode(ZAR_BOARD board, uint32_t value);
ZAR_API int32_t ZarIoGetSDIMode(ZAR_BOARD board, void* record);  // 4-byte record

// SCSI
ZAR_API int32_t ZarScsiCommand(ZAR_BOARD board, void* record);  // 52-byte record
ZAR_API int32_t ZarScsiCommandEx(ZAR_BOARD board, void* record, void* second);  // 52-byte record
ZAR_API int32_t ZarScsiQueryDeviceInfo(ZAR_BOARD board, void* record);  // 196-byte record

// Time code
ZAR_API int32_t ZarTcSetVideoOutputSource(ZAR_BOARD board, void* record);  // 4-byte record
ZAR_API int32_t ZarTcSetBase(ZAR_BOARD board, void* record);  // 16-byte record

// Video input
ZAR_API int32_t ZarVinSetProcAmp(ZAR_BOARD board, void* record);  // 4-byte record
ZAR_API int32_t ZarVinGetProcAmp(ZAR_BOARD board, void* record);  // 4-byte record
ZAR_API int32_t ZarVinSetMode(ZAR_BOARD board, void* record);  // 20-byte record (16 from ZarDcOpen)
ZAR_API int32_t ZarVinGetMode(ZAR_BOARD board, void* record);  // 20-byte record (16 from ZarDcOpen)
ZAR_API int32_t ZarVinSetHorizontalPosition(ZAR_BOARD board, uint32_t value);

// Scaler settings
ZAR_API int32_t ZarHpsSetProcAmps(ZAR_BOARD board, void* record);  // 12-byte record
ZAR_API int32_t ZarHpsGetProcAmps(ZAR_BOARD board, void* record);  // 12-byte record
ZAR_API int32_t ZarHpsSetPreFilter(ZAR_BOARD board, uint32_t value);
ZAR_API int32_t ZarHpsGetPreFilter(ZAR_BOARD board, void* record);  // 4-byte record

// Audio
ZAR_API int32_t ZarAudGetPlayVuLevel(ZAR_BOARD board, void* record);  // 80-byte record
ZAR_API int32_t ZarAudGetRecVuLevel(ZAR_BOARD board, void* record);  // 16-byte record
ZAR_API int32_t ZarAudCalcAudioDB(uint32_t kind, uint32_t value, double* dB, double* gain);
ZAR_API int32_t ZarAudEnableEE(ZAR_BOARD board, uint32_t value);
ZAR_API int32_t ZarAudSetTrackControl(ZAR_BOARD board, void* record);  // 180-byte record
ZAR_API int32_t ZarAudGetTrackControl(ZAR_BOARD board, void* record);  // 180-byte record
ZAR_API int32_t ZarAudSetSource(ZAR_BOARD board, void* record);  // 4-byte record
ZAR_API int32_t ZarAudGetSource(ZAR_BOARD board, void* record);  // 4-byte record
ZAR_API int32_t ZarAudSetSdiRxMode(ZAR_BOARD board, void* record);  // 16-byte record
ZAR_API int32_t ZarAudGetSdiRxMode(ZAR_BOARD board, void* record);  // 16-byte record
ZAR_API int32_t ZarAudSetSdiTxMode(ZAR_BOARD board, void* record);  // 16-byte record
ZAR_API int32_t ZarAudGetSdiTxMode(ZAR_BOARD board, void* record);  // 16-byte record
ZAR_API int32_t ZarAudSetAesTxMode(ZAR_BOARD board, void* record);  // 8-byte record
ZAR_API int32_t ZarAudGetAesTxMode(ZAR_BOARD board, void* record);  // 8-byte record
ZAR_API int32_t ZarAudGetAesRxStatus(ZAR_BOARD board, void* record);  // 4-byte record
ZAR_API int32_t ZarAudSetMasterControl(ZAR_BOARD board, void* record);  // 8-byte record
ZAR_API int32_t ZarAudGetMasterControl(ZAR_BOARD board, void* record);  // 8-byte record
ZAR_API int32_t ZarAudGetEqResponse(ZAR_BOARD board, uint32_t value, void* record);
ZAR_API int32_t ZarAudGetEqResponseEx(ZAR_BOARD board, void* record);  // 60-byte record
ZAR_API int32_t ZarAudSetCodec(ZAR_BOARD board, void* record);  // 22-byte record
ZAR_API int32_t ZarAudGetCodec(ZAR_BOARD board, void* record);  // 22-byte record
ZAR_API int32_t ZarAudCreateLevelItem(ZAR_BOARD board, void* record, void* second);  // 4-byte record
ZAR_API int32_t ZarAudCreateLevelStream(ZAR_BOARD board, void* record);  // 4-byte record
ZAR_API int32_t ZarAudLevelStreamInsertItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarAudLevelStreamRemoveItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarAudLevelStreamRepositionItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarAudCreatePanItem(ZAR_BOARD board, void* record, void* second);  // 4-byte record
ZAR_API int32_t ZarAudCreatePanStream(ZAR_BOARD board, void* record);  // 4-byte record
ZAR_API int32_t ZarAudPanStreamInsertItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarAudPanStreamRemoveItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarAudPanStreamRepositionItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarAudCreateEqItem(ZAR_BOARD board, void* record, void* second);  // 4-byte record
ZAR_API int32_t ZarAudCreateEqStream(ZAR_BOARD board, void* record);  // 4-byte record
ZAR_API int32_t ZarAudEqStreamInsertItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarAudEqStreamRemoveItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarAudEqStreamRepositionItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarAudSetTrackLevelMultiplier(ZAR_BOARD board, int32_t track, double factor);

// Mixer
ZAR_API int32_t ZarMixSetPreview(ZAR_BOARD board, void* record);  // 8-byte record
ZAR_API int32_t ZarMixGetPreview(ZAR_BOARD board, void* record);  // 8-byte record
ZAR_API int32_t ZarMixSetProcAmp(ZAR_BOARD board, uint32_t value, void* record);  // 10-byte record
ZAR_API int32_t ZarMixGetProcAmp(ZAR_BOARD board, uint32_t value, void* record);  // 10-byte record
ZAR_API int32_t ZarMixSetMasterFade(ZAR_BOARD board, uint32_t value);
ZAR_API int32_t ZarMixGetMasterFade(ZAR_BOARD board, void* record);  // 4-byte record
ZAR_API int32_t ZarMixSetDownStreamKey(ZAR_BOARD board, void* record);  // 36-byte record
ZAR_API int32_t ZarMixGetDownStreamKey(ZAR_BOARD board, void* record);  // 36-byte record
ZAR_API int32_t ZarMixSetDve(ZAR_BOARD board, void* record);  // 36-byte record
ZAR_API int32_t ZarMixGetDve(ZAR_BOARD board, void* record);  // 36-byte record
ZAR_API int32_t ZarMixSetMixEffects(ZAR_BOARD board, void* record);  // 36-byte record
ZAR_API int32_t ZarMixGetMixEffects(ZAR_BOARD board, void* record);  // 36-byte record
ZAR_API int32_t ZarMixLoadWipeFile(ZAR_BOARD board, void* record);
ZAR_API int32_t ZarMixCreateMixEffectsItem(ZAR_BOARD board, void* record);  // 20-byte record
ZAR_API int32_t ZarMixCreateMixerItem(ZAR_BOARD board, void* record);  // 16-byte record
ZAR_API int32_t ZarMixEffectsItemSetVideoRoute(uint32_t handle, uint32_t value, uint32_t value2, uint32_t value3);
ZAR_API int32_t ZarMixerItemSetVideoRoute(uint32_t handle, uint32_t value, uint32_t value2);
ZAR_API int32_t ZarMixCreateMasterFadeItem(ZAR_BOARD board, void* record);  // 16-byte record
ZAR_API int32_t ZarMixCreateProcAmpItem(ZAR_BOARD board, void* record);  // 16-byte record
ZAR_API int32_t ZarMixCreatePreviewBusItem(ZAR_BOARD board, void* record);  // 16-byte record
ZAR_API int32_t ZarMixCreateM2RouteItem(ZAR_BOARD board, void* record);  // 16-byte record

// Graphics
ZAR_API int32_t ZarGfxLoadImage(ZAR_BOARD board, void* record);  // 72-byte record
ZAR_API int32_t ZarGfxLoadImageEx(ZAR_BOARD board, void* record, uint32_t value);  // 72-byte record
ZAR_API int32_t ZarGfxReadFramestore(ZAR_BOARD board, void* record);  // 24-byte record
ZAR_API int32_t ZarGfxEraseFramestore(ZAR_BOARD board, uint32_t value);
ZAR_API int32_t ZarGfxSetFramestore(ZAR_BOARD board, void* record);  // 36-byte record
ZAR_API int32_t ZarGfxGetFramestore(ZAR_BOARD board, void* record);  // 36-byte record
ZAR_API int32_t ZarGfxIsValidFormat(ZAR_BOARD board, void* record, void* second);
ZAR_API int32_t ZarGfxGetFileInfo(ZAR_BOARD board, void* record, void* second);
ZAR_API int32_t ZarGfxCreateScrollItem(ZAR_BOARD board, void* record, void* second, void* third);  // 4-byte record
ZAR_API int32_t ZarGfxCreateCrawlItem(ZAR_BOARD board, void* record, void* second, void* third);  // 4-byte record
ZAR_API int32_t ZarGfxCreateStillItem(ZAR_BOARD board, void* record, uint32_t value);  // 4-byte record
ZAR_API int32_t ZarGfxCreateStream(ZAR_BOARD board, void* record);  // 4-byte record
ZAR_API int32_t ZarGfxStreamInsertItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarGfxStreamRemoveItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarGfxStreamRepositionItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarGfxItemSetDVEFlag(uint32_t handle, uint32_t value);

// JPEG data
ZAR_API int32_t ZarJpgLoadData(ZAR_BOARD board, void* record);  // 16-byte record
ZAR_API int32_t ZarJpgCaptureData(ZAR_BOARD board, void* record);  // 52-byte record

// DVE
ZAR_API int32_t ZarDveSetFreeze(ZAR_BOARD board, void* record);  // 12-byte record
ZAR_API int32_t ZarDveGetFreeze(ZAR_BOARD board, void* record);  // 12-byte record
ZAR_API int32_t ZarDveSetPerspective(ZAR_BOARD board, void* record);  // 128-byte record
ZAR_API int32_t ZarDveGetTransformMatrices(ZAR_BOARD board, void* record, void* second, void* third);
ZAR_API int32_t ZarDveGetPerspective(ZAR_BOARD board, void* record);  // 128-byte record
ZAR_API int32_t ZarDveInitPerspectiveLut(ZAR_BOARD board);
ZAR_API int32_t ZarDveSet2DFilter(ZAR_BOARD board, void* record);  // 12-byte record
ZAR_API int32_t ZarDveGet2DFilter(ZAR_BOARD board, void* record);  // 12-byte record
ZAR_API int32_t ZarDveSetKey(ZAR_BOARD board, void* record);  // 28-byte record
ZAR_API int32_t ZarDveGetKey(ZAR_BOARD board, void* record);  // 28-byte record
ZAR_API int32_t ZarDveSetBorder(ZAR_BOARD board, void* record);  // 36-byte record
ZAR_API int32_t ZarDveGetBorder(ZAR_BOARD board, void* record);  // 36-byte record
ZAR_API int32_t ZarDveGetBorderPreview(ZAR_BOARD board, void* record, void* second);  // 36-byte record
ZAR_API int32_t ZarDveSetPixelEffect(ZAR_BOARD board, void* record);  // 12-byte record
ZAR_API int32_t ZarDveGetPixelEffect(ZAR_BOARD board, void* record);  // 12-byte record
ZAR_API int32_t ZarDveSetCropping(ZAR_BOARD board, void* record);  // 20-byte record
ZAR_API int32_t ZarDveGetCropping(ZAR_BOARD board, void* record);  // 20-byte record
ZAR_API int32_t ZarDveSetTrailShadow(ZAR_BOARD board, void* record);  // 36-byte record
ZAR_API int32_t ZarDveGetTrailShadow(ZAR_BOARD board, void* record);  // 36-byte record
ZAR_API int32_t ZarDveSetWarp(ZAR_BOARD board, void* record);  // 72-byte record
ZAR_API int32_t ZarDveGetWarp(ZAR_BOARD board, void* record);  // 72-byte record
ZAR_API int32_t ZarDveGetCapabilities(ZAR_BOARD board, uint32_t value, void* record);  // 4-byte record
ZAR_API int32_t ZarDveCreateEffectItem(ZAR_BOARD board, void* record, void* second);  // 4-byte record
ZAR_API int32_t ZarDveItemSetKey(ZAR_BOARD board, uint32_t value, void* record);  // 28-byte record
ZAR_API int32_t ZarDveItemSetVideoRoute(uint32_t handle, uint32_t value);
ZAR_API int32_t ZarDveScrubKeyFrame(ZAR_BOARD board, void* record, uint32_t value);  // 384-byte record
ZAR_API int32_t ZarDveCreateEffectItemKF(ZAR_BOARD board, void* record, void* second);  // 4-byte record
ZAR_API int32_t ZarDveCreateVariSpeedItem(ZAR_BOARD board, void* record, uint32_t value, void* second);  // 4-byte record
ZAR_API int32_t ZarDveCreateVariSpeedItemEx1(ZAR_BOARD board, void* record, uint32_t value, void* second, uint32_t value2);  // 4-byte record
ZAR_API int32_t ZarDveCreateVariSpeedItemEx2(ZAR_BOARD board, void* record, void* second);  // 4-byte record
ZAR_API int32_t ZarDveCreateStream(ZAR_BOARD board, void* record);  // 4-byte record
ZAR_API int32_t ZarDveStreamInsertItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarDveStreamRemoveItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarDveStreamRepositionItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record

// Play engine: items
ZAR_API int32_t ZarPlyCreateClipItem(ZAR_BOARD board, void* record);  // 28-byte record
ZAR_API int32_t ZarPlyOpenClipItem(ZAR_BOARD board, void* record);  // 54-byte record
ZAR_API int32_t ZarPlyCreateVirtualItem(ZAR_BOARD board, void* record);  // 16-byte record
ZAR_API int32_t ZarPlyCreateClipCallbackItem(ZAR_BOARD board, void* record);  // 16-byte record
ZAR_API int32_t ZarPlyCreateMemfileClipItem(ZAR_BOARD board, void* record, void* second);  // 16-byte record
ZAR_API int32_t ZarPlyModifyClipItem(uint32_t handle, void* record);  // 42-byte record
ZAR_API int32_t ZarPlyCreateWaveRecItem(ZAR_BOARD board, void* record);  // 40-byte record
ZAR_API int32_t ZarPlyOpenAudioItem(ZAR_BOARD board, void* record, void* second);  // 74-byte record
ZAR_API int32_t ZarPlyOpenAudioItemEx(ZAR_BOARD board, void* record, void* second, uint32_t value);  // 74-byte record
ZAR_API int32_t ZarPlyCloneAudioItem(ZAR_BOARD board, uint32_t value, void* record, uint32_t value2);  // 4-byte record
ZAR_API int32_t ZarPlyCreateAudioCallbackItem(ZAR_BOARD board, void* record);  // 16-byte record
ZAR_API int32_t ZarPlyQueryAudioItem(uint32_t handle, void* record);  // 74-byte record
ZAR_API int32_t ZarPlyModifyAudioItem(uint32_t handle, void* record);  // 54-byte record
ZAR_API int32_t ZarPlyRecordItem(ZAR_BOARD board, void* record);  // 56-byte record

// Play engine: streams
ZAR_API int32_t ZarPlyCreateClipStream(ZAR_BOARD board, void* record);  // 4-byte record
ZAR_API int32_t ZarPlyCreateAudioStream(ZAR_BOARD board, void* record);  // 4-byte record
ZAR_API int32_t ZarPlyCreateMixerStream(ZAR_BOARD board, void* record);  // 4-byte record
ZAR_API int32_t ZarPlyCreateWipeStream(ZAR_BOARD board, void* record);  // 4-byte record
ZAR_API int32_t ZarPlyCreateMasterFadeStream(ZAR_BOARD board, void* record);  // 4-byte record
ZAR_API int32_t ZarPlyCreateProcAmpStream(ZAR_BOARD board, void* record);  // 4-byte record
ZAR_API int32_t ZarPlyCreatePreviewBusStream(ZAR_BOARD board, void* record);  // 4-byte record
ZAR_API int32_t ZarPlyCreateM2RouteStream(ZAR_BOARD board, void* record);  // 4-byte record
ZAR_API int32_t ZarPlyClipStreamInsertItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarPlyAudioStreamInsertItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarPlyWipeStreamInsertItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarPlyMixerStreamInsertItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarPlyMasterFadeStreamInsertItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarPlyProcAmpStreamInsertItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarPlyPreviewBusStreamInsertItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarPlyM2RouteStreamInsertItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarPlyClipStreamRemoveItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarPlyAudioStreamRemoveItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarPlyWipeStreamRemoveItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarPlyMixerStreamRemoveItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarPlyMasterFadeStreamRemoveItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarPlyProcAmpStreamRemoveItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarPlyPreviewBusStreamRemoveItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarPlyM2RouteStreamRemoveItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarPlyClipStreamRepositionItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarPlyAudioStreamRepositionItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarPlyWipeStreamRepositionItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarPlyMixerStreamRepositionItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarPlyMasterFadeStreamRepositionItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarPlyProcAmpStreamRepositionItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarPlyPreviewBusStreamRepositionItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record
ZAR_API int32_t ZarPlyM2RouteStreamRepositionItem(ZAR_BOARD board, ZAR_STREAM_ITEM* entry);  // 12-byte record

// Play engine: transport, status, export and import
ZAR_API int32_t ZarPlyCueStreams(ZAR_BOARD board, void* record);  // 216-byte record
ZAR_API int32_t ZarPlyPlayStreams(ZAR_BOARD board, void* record);  // 20-byte record
ZAR_API int32_t ZarPlyStopStreams(ZAR_BOARD board, uint32_t value);
ZAR_API int32_t ZarPlyStopStreamsEx(ZAR_BOARD board, uint32_t value);
ZAR_API int32_t ZarPlySetSmoothScrubSpeed(ZAR_BOARD board, double speed, uint32_t value);
ZAR_API int32_t ZarPlyGetSmoothScrubStatus(ZAR_BOARD board, void* record);  // 14-byte record
ZAR_API int32_t ZarPlySetVariPlaySpeed(ZAR_BOARD board, void* record);  // 21-byte record
ZAR_API int32_t ZarPlyGetVariPlaySpeed(ZAR_BOARD board, void* record);  // 21-byte record
ZAR_API int32_t ZarPlyRenderVideoStreams(ZAR_BOARD board, void* record);  // 76-byte record
ZAR_API int32_t ZarPlyRenderAudioStreams(ZAR_BOARD board, void* record);  // 160-byte record
ZAR_API int32_t ZarPlyScrubStreams(ZAR_BOARD board, void* record);  // 192-byte record
ZAR_API int32_t ZarPlyGetPlayStatus(ZAR_BOARD board, void* record);  // 24-byte record
ZAR_API int32_t ZarPlyGetRecordStatus(ZAR_BOARD board, void* record);  // 28-byte record
ZAR_API int32_t ZarPlyExport(ZAR_BOARD board, void* record);  // 24-byte record
ZAR_API int32_t ZarPlyExportThumbnail(ZAR_BOARD board, void* record);
ZAR_API int32_t ZarPlyImport(ZAR_BOARD board, void* record);  // 56-byte record (48 from ZarDcOpen)
ZAR_API int32_t ZarPlyJpgExport(ZAR_BOARD board, void* record);  // 20-byte record
ZAR_API int32_t ZarPlyJpgImport(ZAR_BOARD board, void* record);  // 16-byte record
ZAR_API int32_t ZarPlyBuildSubRange(void* record);  // 16-byte record
ZAR_API int32_t ZarPlyCopyStreamRange(ZAR_BOARD board, void* record);  // 44-byte record
ZAR_API int32_t ZarPlyOverrideStream(void* record);  // 20-byte record
ZAR_API int32_t ZarPlyOverrideStreamEx(void* record);  // 24-byte record
ZAR_API int32_t ZarPlyReadAudioStreamData(void* record);  // 28-byte record
ZAR_API int32_t ZarPlySysLiveSourceEnable(ZAR_BOARD board, void* record);  // 90-byte record
ZAR_API int32_t ZarPlySysLiveSourceDisable(ZAR_BOARD board);
ZAR_API int32_t ZarPlySysLiveSourceGetStatus(ZAR_BOARD board, void* record);  // 144-byte record
ZAR_API int32_t ZarPlySysLiveSourceGetSync(ZAR_BOARD board, void* record);  // 12-byte record
ZAR_API int32_t ZarPlySysLiveSourceSetSync(ZAR_BOARD board, void* record);  // 12-byte record

// Other calls
ZAR_API int32_t ZarProcAmpItemSetDVEFlag(uint32_t handle, uint32_t value);
ZAR_API int32_t ZarYUVToRGB(uint32_t width, uint32_t lines, const void* source, void* destination);
ZAR_API int32_t ZarSet24FpsMode(ZAR_BOARD board, void* record);  // 4-byte record
ZAR_API int32_t ZarGet24FpsMode(ZAR_BOARD board, void* record);  // 4-byte record
ZAR_API int32_t ZarSetHDProxyExtensions(ZAR_BOARD board, void* record, void* second);
ZAR_API int32_t ZarGetHDProxyExtensions(ZAR_BOARD board, void* record, void* second);
ZAR_API int32_t ZarSetUserVirtualFrameName(ZAR_BOARD board, void* record);
ZAR_API int32_t ZarLockFileSystem(ZAR_BOARD board, uint32_t value);
ZAR_API int32_t ZarUnlockFileSystem(ZAR_BOARD board);
ZAR_API int32_t ZarGetSoftwareImportCapability(ZAR_BOARD board, void* record);  // 8-byte record

// The option board's still capture and the export engine
ZAR_API int32_t ZarIoHpsCaptureImage(ZAR_BOARD board, void* record);  // 120-byte record
ZAR_API int32_t ZarHpsExport(ZAR_BOARD board, void* record);  // 324-byte record
ZAR_API int32_t ZarHpsExportEx(ZAR_BOARD board, void* record);  // 324-byte record
ZAR_API int32_t ZarHpsLiveExport(ZAR_BOARD board, void* record);  // 120-byte record
ZAR_API int32_t ZarHpsLiveExportEx(ZAR_BOARD board, void* record);  // 120-byte record

// Still capture, volume maintenance, preview and export

// ---- Still capture and the preview (ZarHpsCaptureImage) ----

// Commands of ZAR_HPS_CAPTURE_IMAGE::Command.
enum : uint32_t {
    ZAR_HPS_CAPTURE_STILL = 0,        // one image into ImageBuffer
    ZAR_HPS_CAPTURE_PREVIEW = 1,      // the preview in one window
    ZAR_HPS_CAPTURE_PREVIEW_TWO = 2,  // the preview, one field in each of two windows
    ZAR_HPS_CAPTURE_PREVIEW_STOP = 3,
    ZAR_HPS_CAPTURE_RING = 4,         // a ring of RingCount buffers
    ZAR_HPS_CAPTURE_RING_STOP = 5,    // stops the ring; Answer: 1 when the bridge had overflowed
    ZAR_HPS_CAPTURE_RING_REARM = 6,   // re-arms a ring stopped by an overflow at start position Value
};

// Pixel formats of a capture: 0 32 bits (BGRA), 1 24 bits (BGR), 16 16 bits
// (UYVY); the preview's surfaces also give 2 (565), 3 (555) and 4 (the
// bridge's 16-bit 5-5-5 with a six-bit green at bit 6).
enum : uint32_t {
    ZAR_HPS_FORMAT_BGRA = 0,
    ZAR_HPS_FORMAT_BGR = 1,
    ZAR_HPS_FORMAT_RGB565 = 2,
    ZAR_HPS_FORMAT_RGB555 = 3,
    ZAR_HPS_FORMAT_RGB565_ALT = 4,
    ZAR_HPS_FORMAT_UYVY = 16,
};

struct ZAR_HPS_CAPTURE_IMAGE {
    uint32_t Command;            // ZAR_HPS_CAPTURE_...
    uint32_t ControlBit;         // 0, 1: the board's capture control bit while capturing
    uint32_t ControlBitParity0;  // 0, 1: the same on fields of parity 0 (two-window preview)
    uint32_t Source;             // 1 or 2: one field; else both fields of a frame
    uint32_t FieldMode;          // 0..2; 0: 2 at 525 lines, 1 at 625
    uint32_t BottomUp;           // 0, 1
    uint32_t PixelFormat;        // ZAR_HPS_FORMAT_...: 0, 1 or 16 for stills and rings
    uint32_t HorizontalMargin;   // at most 96 pixels off each side
    uint32_t TopMargin;          // at most 96 lines off the top of a field
    uint32_t Width;              // 16..1280
    uint32_t Height;             // 16 .. the active lines of a field (one field, preview in two windows) or a frame
    uint32_t FormatOption;
    uint32_t Contrast;           // 0..127
    uint32_t Brightness;         // 0..255
    uint32_t Saturation;         // 0..127
    uint32_t BitmapHeader;       // address of a 40-byte bitmap header to fill, or 0
    uint32_t ImageBuffer;        // still: address of the image (0: only the header)
    uint32_t Window;             // preview: the first window
    uint32_t SecondWindow;       // preview in two windows: the second
    int32_t WindowX, WindowY;    // the picture's place in the first window's client area
    int32_t SecondWindowX, SecondWindowY;
    uint32_t Renderer;           // preview: 1 DirectDraw surface, 0 DrawDib bitmap
    uint32_t RingCount;          // ring: 2..32, a power of two
    uint32_t RingBuffers;        // ring: address of the buffer list (first word of each entry: a buffer)
    uint32_t RingStatus;         // ring: address of the 16-byte status block
    uint32_t Answer;             // still: 1 when the bridge overflowed; ring start: stop at the first overflow
    uint32_t Value;              // ring re-arm: the new start position
    uint32_t FreeRunning;        // ring: start at once, drop frames while full
};
static_assert(sizeof(ZAR_HPS_CAPTURE_IMAGE) == 120);
static_assert(offsetof(ZAR_HPS_CAPTURE_IMAGE, BitmapHeader) == 60);
static_assert(offsetof(ZAR_HPS_CAPTURE_IMAGE, Renderer) == 92);
static_assert(offsetof(ZAR_HPS_CAPTURE_IMAGE, Answer) == 108);

// ZarHpsCaptureQuery kinds.
enum : uint32_t { ZAR_HPS_QUERY_BYTES_PER_PIXEL = 0, ZAR_HPS_QUERY_STRIDE = 1, ZAR_HPS_QUERY_IMAGE_SIZE = 2 };

// ZarHpsGetWaveformBitmap's record.
struct ZAR_WAVEFORM_REQUEST {
    uint32_t Display;        // 0 composite, 1 vectorscope, 2 component
    uint32_t Settings;       // address of the 44-byte settings, or 0: the board's defaults
    uint32_t BitmapHeader;   // address of a writable 40-byte bitmap header
    uint32_t Bitmap;         // address of the picture, or 0: only the header
    uint32_t Window;         // a window to draw into, or 0
    uint32_t DrawInWindow;
    uint32_t CaptureFirst;
};
static_assert(sizeof(ZAR_WAVEFORM_REQUEST) == 28);

// ZarProcAmpWaveformDlg's record; word 4 addresses a 44-byte proc-amp
// block (0: the neutral one).
struct ZAR_PROC_AMP_WAVEFORM_DLG {
    uint32_t Words[4];
    uint32_t ProcAmp;
    uint32_t Word5;
};
static_assert(sizeof(ZAR_PROC_AMP_WAVEFORM_DLG) == 24);

// ---- Volume maintenance ----

struct ZAR_OPTIMIZE_VOLUME {
    uint32_t Option;       // 0 compaction; 1 selective moves (gain above 50), else selective (gain above 100)
    const char* Path;      // the volume's folder on the media drive, up to 260 characters
};
static_assert(sizeof(ZAR_OPTIMIZE_VOLUME) == 8);

// The optimiser's progress, copied out by ZarQueryOptimizeProgress.
struct ZAR_OPTIMIZE_PROGRESS {
    char16_t Folder[260];      // of the segment being moved
    char16_t File[260];
    uint32_t Zero;
    uint32_t Source;           // first block of the current move
    uint32_t Destination;
    uint32_t Blocks;           // of the current move
    uint32_t Done;             // percent of the current move copied, as the file system counts it
    uint32_t Total;            // blocks the whole run moves
    uint32_t Moved;            // blocks moved so far
    int32_t Result;            // of the run: 0, -1 a move failed, -80 aborted
    uint32_t Abort;            // non-zero stops the run
    uint32_t Ended;            // 1 once the run has ended
};
static_assert(sizeof(ZAR_OPTIMIZE_PROGRESS) == 1080);
static_assert(offsetof(ZAR_OPTIMIZE_PROGRESS, Done) == 1056);
static_assert(offsetof(ZAR_OPTIMIZE_PROGRESS, Ended) == 1076);
inline constexpr int32_t ZAR_OPTIMIZE_ABORTED = -80;

// ZarScanMediaFiles: the callback gets each media file's full path and the
// context; returning 0 stops the walk.
using ZAR_MEDIA_FILE_CALLBACK = int32_t (*)(const char* path, void* context);
struct ZAR_SCAN_MEDIA_FILES {
    const char* Path;
    ZAR_MEDIA_FILE_CALLBACK Callback;
    void* Context;
};
static_assert(sizeof(ZAR_SCAN_MEDIA_FILES) == 12);

// The file system's records, the same as its interface header carries.
#ifndef ZAR_FILE_LOCATION_DEFINED
#define ZAR_FILE_LOCATION_DEFINED
struct ZAR_FILE_LOCATION {
    uint32_t Handle;
    uint32_t EntryBlock;
    uint32_t EntryBlocks;
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
#ifndef ZAR_VOLUME_SPACE_INFO_DEFINED
#define ZAR_VOLUME_SPACE_INFO_DEFINED
struct ZAR_VOLUME_SPACE_INFO {
    uint32_t Handle;
    uint32_t VideoBlocksPerField;
    uint32_t AlphaBlocksPerField;
    uint32_t Frames;
    uint32_t FreeBlocks[2];
    uint32_t TotalBlocks[2];
    uint32_t AllocatorBlocks;
};
static_assert(sizeof(ZAR_VOLUME_SPACE_INFO) == 36);
#endif

// ---- The exports ----

// Commands 0 and 4 capture through the scaler; 1, 2 and 3 start and stop
// the board's preview; 5 and 6 stop and re-arm a ring.
ZAR_API int32_t ZarHpsCaptureImage(ZAR_BOARD handle, ZAR_HPS_CAPTURE_IMAGE* request);
// Bytes a pixel, the stride or the image size of a request.
ZAR_API int32_t ZarHpsCaptureQuery(ZAR_HPS_CAPTURE_IMAGE* request, uint32_t kind);
ZAR_API int32_t ZarHpsGetWaveformBitmap(ZAR_BOARD handle, ZAR_WAVEFORM_REQUEST* request);
ZAR_API int32_t ZarProcAmpWaveformDlg(ZAR_BOARD handle, ZAR_PROC_AMP_WAVEFORM_DLG* request);
// Plans the run (its result at once when it fails) and starts the worker.
ZAR_API int32_t ZarOptimizeVolume(ZAR_BOARD handle, ZAR_OPTIMIZE_VOLUME* request);
ZAR_API int32_t ZarQueryOptimizeProgress(ZAR_BOARD handle, ZAR_OPTIMIZE_PROGRESS* progress);
ZAR_API int32_t ZarAbortOptimizeVolume(ZAR_BOARD handle);
ZAR_API int32_t ZarScanMediaFiles(ZAR_BOARD handle, ZAR_SCAN_MEDIA_FILES* request);
ZAR_API int32_t ZarGetFileLocation(ZAR_BOARD handle, const char* path, ZAR_FILE_LOCATION* location);
ZAR_API int32_t ZarGetVolumeSpaceInfoEx(ZAR_BOARD handle, ZAR_VOLUME_SPACE_INFO* space);
