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
    uint8_t Reserved3436[612];
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
