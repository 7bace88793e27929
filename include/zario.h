// The digital-I/O option driver as the system reaches it: the control codes
// of its devices \\.\ZARIO<n> (library) and \Device\ZarIo<n> (board driver)
// and the record length each carries. The driver lies outside the system;
// its codes reuse values of the board driver's, and only the handle tells
// them apart. Every request is buffered and passes one record as both
// input and output; callers rely only on success or failure and on the
// answer copied back.
#pragma once

#include <cstdint>

inline constexpr uint32_t IOCTL_ZARIO_GET_BOARD_STATE = 0x222054;       // 0 in, 4 out
inline constexpr uint32_t IOCTL_ZARIO_FIRMWARE = 0x22202C;              // 16
inline constexpr uint32_t IOCTL_ZARIO_FIRMWARE_DONE = 0x222058;         // none
inline constexpr uint32_t IOCTL_ZARIO_GET_CAPABILITIES = 0x2220B8;      // 12
inline constexpr uint32_t IOCTL_ZARIO_GET_24FPS_SUPPORT = 0x222118;     // 4
inline constexpr uint32_t IOCTL_ZARIO_SET_24FPS_MODE = 0x222114;        // 4
inline constexpr uint32_t IOCTL_ZARIO_SET_M2_ROUTING = 0x222060;        // 20
inline constexpr uint32_t IOCTL_ZARIO_SET_VIDEO_INPUT_MODE = 0x222064;  // 20
inline constexpr uint32_t IOCTL_ZARIO_GET_DV_VCR_STATUS = 0x22207C;     // 20
inline constexpr uint32_t IOCTL_ZARIO_QUERY_DV_VCR_TIMECODE = 0x222080; // 8
inline constexpr uint32_t IOCTL_ZARIO_DV_FCP_COMMAND = 0x222084;        // 33
inline constexpr uint32_t IOCTL_ZARIO_SET_DV_CODEC = 0x222088;          // 12
inline constexpr uint32_t IOCTL_ZARIO_GET_DV_CODEC = 0x2220CC;          // 12
inline constexpr uint32_t IOCTL_ZARIO_DV_SET_AUDIO_MIX = 0x222104;      // 4 in, 0 out
inline constexpr uint32_t IOCTL_ZARIO_SDI_QUERY_EDH = 0x22205C;         // 20
inline constexpr uint32_t IOCTL_ZARIO_SET_CAPTURE_PROC_AMP = 0x2220D0;  // 10
inline constexpr uint32_t IOCTL_ZARIO_GET_CAPTURE_PROC_AMP = 0x2220D4;  // 10
inline constexpr uint32_t IOCTL_ZARIO_SET_FRAMESTORE = 0x222098;        // 8
inline constexpr uint32_t IOCTL_ZARIO_GET_FRAMESTORE = 0x22209C;        // 8
inline constexpr uint32_t IOCTL_ZARIO_SET_SDI_OUTPUT = 0x222108;        // 8
inline constexpr uint32_t IOCTL_ZARIO_SET_SDI_MODE = 0x22210C;          // 4
inline constexpr uint32_t IOCTL_ZARIO_GET_SDI_MODE = 0x222110;          // 4
inline constexpr uint32_t IOCTL_ZARIO_SET_SDI_AUDIO_RECEIVE = 0x2220A0; // 16
inline constexpr uint32_t IOCTL_ZARIO_GET_SDI_AUDIO_RECEIVE = 0x2220A4; // 16
inline constexpr uint32_t IOCTL_ZARIO_SET_SDI_AUDIO_TRANSMIT = 0x2220A8;// 16
inline constexpr uint32_t IOCTL_ZARIO_GET_SDI_AUDIO_TRANSMIT = 0x2220AC;// 16
inline constexpr uint32_t IOCTL_ZARIO_SET_AES_TRANSMIT = 0x2220B0;      // 8
inline constexpr uint32_t IOCTL_ZARIO_GET_AES_TRANSMIT = 0x2220B4;      // 8
inline constexpr uint32_t IOCTL_ZARIO_GET_AES_RECEIVE_STATUS = 0x2220D8;// 4
inline constexpr uint32_t IOCTL_ZARIO_HPS_CAPTURE_IMAGE = 0x222024;     // 56
inline constexpr uint32_t IOCTL_ZARIO_DV_CAPTURE_START = 0x2220BC;      // 44
inline constexpr uint32_t IOCTL_ZARIO_DV_CAPTURE_STATUS = 0x2220C0;     // 136
inline constexpr uint32_t IOCTL_ZARIO_DV_CAPTURE_FRAME = 0x2220C4;      // 1,028
inline constexpr uint32_t IOCTL_ZARIO_DV_CAPTURE_STOP = 0x2220C8;       // none
inline constexpr uint32_t IOCTL_ZARIO_SET_24FPS = 0x22211C;             // 12, from the board driver
inline constexpr uint32_t IOCTL_ZARIO_SET_AUDIO_SOURCE = 0x22208C;      // 4, from the board driver

// The answer of IOCTL_ZARIO_GET_BOARD_STATE when the option board is fitted.
inline constexpr uint32_t ZARIO_BOARD_PRESENT = 2;

// IOCTL_ZARIO_FIRMWARE: word 0 the command, word 1 the answer, words 2 and 3
// the firmware's identification.
enum ZARIO_FIRMWARE_COMMAND : uint32_t { ZARIO_FIRMWARE_PROGRAM = 0, ZARIO_FIRMWARE_REPORT = 1 };
enum ZARIO_FIRMWARE_ANSWER : uint32_t { ZARIO_FIRMWARE_NONE = 0, ZARIO_FIRMWARE_LOADED = 1 };
struct ZARIO_FIRMWARE_REQUEST {
    uint32_t Command;
    uint32_t Answer;
    uint32_t Identification[2];
};
static_assert(sizeof(ZARIO_FIRMWARE_REQUEST) == 16);

// Reply of IOCTL_ZARIO_SET_24FPS. The real option's record is not known to
// the system beyond its size; the stand-in fills it so a caller that keeps
// it has something recognisable.
struct ZARIO_24FPS_REPLY {
    uint32_t Revision;  // the option's revision, 0x00010000 (1.0)
    uint32_t Mode;      // the first input dword, taken as the mode now in force
    uint32_t Board;     // the board number the option device belongs to
};
static_assert(sizeof(ZARIO_24FPS_REPLY) == 12);
inline constexpr uint32_t ZARIO_REVISION = 0x00010000;

// AV/C response codes in the low four bits of an FCP answer's first byte.
inline constexpr uint8_t ZARIO_AVC_ACCEPTED = 9;
inline constexpr uint8_t ZARIO_AVC_STABLE = 12;
inline constexpr uint8_t ZARIO_AVC_CTYPE_STATUS = 1;
