// The board's own registers, reached over the bridge's DEBI bus, each named
// once, in one section per unit of the board. Offsets are DEBI board
// addresses; bits are named under the register they belong to. A module
// that adds a unit adds its section here rather than local constants.
#pragma once

#include "platform/nt/kernel.h"

// ---- board status and interrupts ----
inline constexpr ULONG ZAR_REG_BOARD_STATUS = 0xBC00;         // read-only status word
inline constexpr ULONG ZAR_STATUS_PROBE = 0x8000;             // reads set on a board that answers
inline constexpr ULONG ZAR_STATUS_WATCHED = 0x4000;           // kept by the ISR when it changes
inline constexpr ULONG ZAR_STATUS_DVE_ANSWERS = 0x2000;       // the DVE's FPGAs are configured
inline constexpr ULONG ZAR_STATUS_DEBI_BUSY = 0x0800;         // the board's DEBI state machine is busy
inline constexpr ULONG ZAR_REG_SHARED_IRQ_MASK = 0xB840;      // board sources let onto the bridge's line
inline constexpr ULONG ZAR_REG_BOARD_CONTROL = 0xB820;        // shadow ext->Setup.AudioControl
inline constexpr ULONG ZAR_BOARD_CONTROL_NO_INTERLACE = 0x40; // the inverse of the decoder's interlace status

// ---- FPGA download ----
inline constexpr ULONG ZAR_REG_FPGA_DATA = 0xFFFE;

// ---- video path ----
inline constexpr ULONG ZAR_REG_PATH_CONTROL = 0x4400;         // JPEG path; reads back the render's samples
inline constexpr ULONG ZAR_REG_VIDEO_CONTROL = 0x4C40;        // video control word; the ISR's deferred write
inline constexpr ULONG ZAR_REG_INPUT_CONTROL = 0x5474;        // input control word, shadow ext->DebiShadow5474
inline constexpr ULONG ZAR_INPUT_EXTERNAL_LOCKED = 0x2;
inline constexpr ULONG ZAR_REG_VIDEO_INPUT_CONTROL = 0x5C00;  // shadow ext->DebiShadow5C00
inline constexpr ULONG ZAR_REG_SYSTEM_PREFS = 0x5468;         // system-preference word
inline constexpr ULONG ZAR_REG_M2_ROUTING = 0x5478;
inline constexpr ULONG ZAR_REG_CAPTURE_CONTROL = 0x5498;
inline constexpr ULONG ZAR_REG_CALIBRATION_DAC = 0xB804;      // low byte the value, bits 8-9 the DAC
inline constexpr ULONG ZAR_REG_GENLOCK_CONTROL = 0xB848;      // bits 0-5 horizontal position, bit 6 genlock

// ---- JPEG codecs ----
inline constexpr ULONG ZAR_REG_CODEC_PORT_BASE[2] = {0xA404, 0xA414};   // +0 address high, +4 low, +8 data
inline constexpr ULONG ZAR_REG_CODEC_SDRAM_ADDRESS[2] = {0xA800, 0xA810};
inline constexpr ULONG ZAR_REG_CODEC_CONTROL = 0xB880;
inline constexpr ULONG ZAR_REG_CODEC_DIRECTION = 0xB900;      // codec 0: set while it encodes

// ---- SDRAM window ----
inline constexpr ULONG ZAR_REG_SDRAM_WINDOW = 0x9000;         // 512 bytes of SDRAM, through 0x93FF
inline constexpr ULONG ZAR_REG_SDRAM_BLOCK = 0xB404;          // the window's block, in 512-byte units
inline constexpr ULONG ZAR_REG_SDRAM_MODE = 0xB408;           // bits 10-13 the address mode

// ---- mixer and graphics stores ----
inline constexpr ULONG ZAR_REG_DOWN_STREAM_KEY = 0x5450;      // shadow ext->DebiShadow5450
inline constexpr ULONG ZAR_REG_MASTER_FADE = 0x5464;
inline constexpr ULONG ZAR_REG_PREVIEW = 0x5470;              // shadow ext->DebiShadow5470
inline constexpr ULONG ZAR_REG_MIXER_CONTROL = 0x5800;
inline constexpr ULONG ZAR_REG_FRAME_STORES[6] = {0x547C, 0x5480, 0x5484, 0x549C, 0x54A0, 0x54A4};
inline constexpr ULONG ZAR_REG_PROC_AMP0 = 0x5400;            // five registers, 4 apart (the first written twice)
inline constexpr ULONG ZAR_REG_PROC_AMP1 = 0x5414;
inline constexpr ULONG ZAR_REG_MIX_EFFECTS = 0x5428;          // nine registers, 4 apart
inline constexpr ULONG ZAR_REG_DVE_KEY_LEVEL = 0x544C;        // channel 402's halved level
inline constexpr ULONG ZAR_REG_DOWN_STREAM_KEY_LEVEL = 0x5460;  // channel 403's halved level
inline constexpr ULONG ZAR_REG_DVE_KEY = 0x5488;              // four registers, 4 apart
inline constexpr ULONG ZAR_REG_DVE_KEY_BYTE0 = 0x546C;        // the DVE key record's first byte
inline constexpr ULONG ZAR_VIDEO_INPUT_KEY_FORMAT = 0x8;      // in 0x5C00: the graphics image's format 17
inline constexpr ULONG ZAR_VIDEO_INPUT_UV_FILTER = 0x10;      // in 0x5C00: the chroma filter
inline constexpr ULONG ZAR_MIXER_CONTROL_FRAME_TRANSFER = 0x1;  // in 0x5800: a BRS frame transfer runs
// Store B's read control shares 0x5474 with the input path: bits 3 and 5 are its.
inline constexpr ULONG ZAR_INPUT_CONTROL_GRAB = 0x1;          // store B takes the input (or the BRS data)
inline constexpr ULONG ZAR_INPUT_CONTROL_STORE_B_READ = 0x28;
// The stores' write windows (the column word's shadows are the BRS channel's).
inline constexpr ULONG ZAR_REG_STORE_A_WRITE = 0x5008;        // bits 0-6 column, 8 write enable, 9 write buffer, 10 busy, 11 wide
inline constexpr ULONG ZAR_REG_STORE_A_WRITE_ROW = 0x5004;
inline constexpr ULONG ZAR_REG_STORE_A_WRITE_OFFSET = 0x5010;
inline constexpr ULONG ZAR_REG_STORE_A_WRITE_WIDTH = 0x5020;
inline constexpr ULONG ZAR_REG_STORE_B_WRITE = 0x4C08;        // bits 0-6 column, 8 write buffer, 9 busy, 11 wide
inline constexpr ULONG ZAR_REG_STORE_B_WRITE_ROW = 0x4C04;
inline constexpr ULONG ZAR_REG_STORE_B_WRITE_OFFSET = 0x4C80;
inline constexpr ULONG ZAR_REG_STORE_B_WRITE_WIDTH = 0x4D00;
inline constexpr ULONG ZAR_STORE_WRITE_ENABLE = 0x100;
inline constexpr ULONG ZAR_STORE_WIDE_LAYOUT = 0x800;
inline constexpr ULONG ZAR_STORE_A_BUSY = 0x400;
inline constexpr ULONG ZAR_STORE_A_WRITE_BUFFER = 0x200;
inline constexpr ULONG ZAR_STORE_B_BUSY = 0x200;
inline constexpr ULONG ZAR_STORE_B_WRITE_BUFFER = 0x100;

// ---- DVE ----
inline constexpr ULONG ZAR_REG_DVE_STANDARD[2] = {0xDC08, 0xC808};  // the 525-line flag

// ---- audio ----
// The audio units' registers (codec window, DSP select, data and
// acknowledge, track gains, VU peaks, the audio control bits of 0xB820) and
// the bridge's audio DMA and time-slot lists are named in
// include/zar_audio_hw.h, which the simulated board reads too, so the two
// cannot drift apart; the clock registers the board set-up writes stay here.
inline constexpr ULONG ZAR_REG_DSP_SELECT = 0x8C04;
inline constexpr ULONG ZAR_REG_AUDIO_CLOCK_CONTROL = 0x8C20;
inline constexpr ULONG ZAR_REG_AUDIO_DIVIDER[2] = {0x8E04, 0x8E08};

// ---- time-code chip ----
inline constexpr ULONG ZAR_TC_DIRECT0 = 0xAC00;               // interrupt flags (reading answers the interrupt)
inline constexpr ULONG ZAR_TC_DIRECT1 = 0xAC04;               // reader flags
inline constexpr ULONG ZAR_TC_INDEX_PORT = 0xAC08;            // bit 7: a run, the index steps after each byte
inline constexpr ULONG ZAR_TC_DATA_PORT = 0xAC0C;
inline constexpr ULONG ZAR_TC_RESET_REGISTER = 0xB000;
inline constexpr ULONG ZAR_TC_INDEX_RUN = 0x80;

// ---- SCSI controller ----
inline constexpr ULONG ZAR_REG_SCSI_SDRAM_CONTROL = 0x9400;   // the data phase's SDRAM side, shadow ext->Scsi.SdramControl
inline constexpr ULONG ZAR_SCSI_SDRAM_ENABLE = 0x8000;
inline constexpr ULONG ZAR_SCSI_SDRAM_STROBE = 0x4000;        // pushes the last bytes of a reply into SDRAM
inline constexpr ULONG ZAR_SCSI_SDRAM_MODE_MASK = 0x3C00;     // bits 10-13 the access mode
inline constexpr ULONG ZAR_SCSI_SDRAM_ARM = 0x0200;           // rising edge latches the block
inline constexpr ULONG ZAR_SCSI_SDRAM_FROM_MEMORY = 0x0100;   // SDRAM is the source (data out)
inline constexpr ULONG ZAR_REG_SCSI_SDRAM_BLOCK = 0x9C00;     // the data phase's first SDRAM block
inline constexpr ULONG ZAR_REG_SCSI_CONTROLLER = 0xA000;      // controller register n at + 4n
inline constexpr ULONG ZAR_REG_SCSI_COMMAND = 0xA00C;
inline constexpr ULONG ZAR_STATUS_SCSI_IRQ_N = 0x1000;        // board status: clear while the controller requests

// ---- time code ----

// ---- shared-interrupt mask bits (board register 0xB840) ----
inline constexpr ULONG ZAR_SHARED_TIMECODE = 0x1;
inline constexpr ULONG ZAR_SHARED_SCSI = 0x2;
inline constexpr ULONG ZAR_SHARED_DSP = 0x10;
