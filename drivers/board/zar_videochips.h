// Bridge, decoder and encoder register set-up (the chips' register images).
//
// The module's per-board state (ZAR_VIDEO_CHIPS_STATE) lives in the device extension as
// ext->Chips; its entry points used by other modules are declared below.
#pragma once

#include "platform/nt/kernel.h"
#include "include/zarkd.h"
#include "zar_board_regs.h"

struct ZAR_DEVICE_EXTENSION;
using PZAR_DEVICE_EXTENSION = ZAR_DEVICE_EXTENSION*;

inline constexpr ULONG ZAR_SAA7113_IMAGE_SIZE = 56;
inline constexpr ULONG ZAR_SAA7125_IMAGE_SIZE = 29;
inline constexpr ULONG ZAR_SAA7113_WHOLE_IMAGE = 0xFFFFFFFF;
inline constexpr ULONG ZAR_SAA7113_NO_INPUT = 0xFFFFFFFF;


struct ZAR_VIDEO_CHIPS_STATE {
    UCHAR DecoderImage[ZAR_SAA7113_IMAGE_SIZE];
    UCHAR EncoderImage[2][ZAR_SAA7125_IMAGE_SIZE];
    ULONG DecoderInput;            // source last selected, ZAR_SAA7113_NO_INPUT after an initialisation
};

// Decoder.
NTSTATUS ZarSaa7113Init(PZAR_DEVICE_EXTENSION ext);
// One register (image byte := value, then written) or, with
// ZAR_SAA7113_WHOLE_IMAGE, the whole image. STATUS_INVALID_PARAMETER for a
// register outside the image.
NTSTATUS ZarSaa7113RegisterWrite(PZAR_DEVICE_EXTENSION ext, ULONG reg, ULONG value, BOOLEAN wait);
// Selects the decoder input for a video source; with onlyIfChanged nothing
// happens when the source is the one last selected. STATUS_UNSUCCESSFUL for
// a source without an input.
NTSTATUS ZarSaa7113SetInput(PZAR_DEVICE_EXTENSION ext, ULONG source, BOOLEAN onlyIfChanged);
NTSTATUS ZarSaa7113ResetRtc(PZAR_DEVICE_EXTENSION ext);
// The decoder image byte of a register (callers edit the image, then write).
PUCHAR ZarSaa7113ImageByte(PZAR_DEVICE_EXTENSION ext, ULONG reg);

// Encoders (0 at 0x8C, 1 at 0x88), set up from the three words of the
// encoder block {set-up flag of encoder 0, set-up flag of encoder 1,
// output enable of encoder 1}.
NTSTATUS ZarSaa7125Init(PZAR_DEVICE_EXTENSION ext, ULONG encoder, const ULONG* parameters);
inline NTSTATUS ZarSaa7125Init(PZAR_DEVICE_EXTENSION ext, ULONG encoder, const ZAR_ENCODER* block)
{
    return ZarSaa7125Init(ext, encoder, block->Settings);
}
// The image index of an encoder register, -1 when the image has none.
LONG ZarSaa7125GetRegisterIndex(ULONG reg);
// Writes one image register (or, with ZAR_SAA7125_WHOLE_IMAGE, the image).
NTSTATUS ZarSaa7125WriteRegister(PZAR_DEVICE_EXTENSION ext, ULONG encoder, ULONG reg, BOOLEAN wait);
// Sets the trigger-phase bits of the encoder's image from the line standard
// and the encoder trigger state (the caller writes them).
void ZarSaa7125SetTriggerPhase(PZAR_DEVICE_EXTENSION ext, ULONG encoder);
PUCHAR ZarSaa7125ImageByte(PZAR_DEVICE_EXTENSION ext, ULONG encoder, ULONG reg);
// TRUE when the video input is declared locked and the source is not 2.
BOOLEAN ZarEncoderRtcModeQuery(PZAR_DEVICE_EXTENSION ext);

// Board control register 0xB820 through its shadow: bits in 'mask' := 'bits'.
void ZarSetBoardControl(PZAR_DEVICE_EXTENSION ext, ULONG mask, ULONG bits);

// ---- bridge, decoder and encoder set-up (zar_videochips.cpp) ----
NTSTATUS ZarSaa7146Init(PZAR_DEVICE_EXTENSION ext);
void ZarSaa7146Reset(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarSaa7113Init(PZAR_DEVICE_EXTENSION ext);
// Encoder 0 or 1 from the caller's parameter block {set-up flag of encoder
// 0, set-up flag of encoder 1, output enable of encoder 1}.
inline constexpr ULONG ZAR_SAA7125_PARAMETER_WORDS = 3;
NTSTATUS ZarSaa7125Init(PZAR_DEVICE_EXTENSION ext, ULONG encoder, const ULONG* parameters);
NTSTATUS ZarSaa7113ResetRtc(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarSaa7125RegisterWrite(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarSaa7113SetInput(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
