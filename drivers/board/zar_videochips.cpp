// Bridge, decoder and encoder register set-up.
//
// The driver keeps a register image of the decoder and of each encoder,
// fills it for the board's line standard and writes it whole over I2C; later
// changes edit the image and write single registers, so the image always
// says what the chip holds.

#include "zar_audio.h"
#include "zar_board_regs.h"
#include "zar_bridge.h"
#include "zar_debi.h"
#include "zar_extension.h"
#include "zar_i2c.h"
#include "zar_isr.h"
#include "zar_videochips.h"

namespace {

// ---- bridge ----
constexpr ULONG kGpioDefault = 0x20500050;
constexpr ULONG kDma1Pitch = 0x14;       // lines (bits 16 and up) and pixels of video DMA 1
constexpr ULONG kHpsControl = 0x5C;
constexpr ULONG kHpsVScale = 0x60;
constexpr ULONG kHpsVGain = 0x64;
constexpr ULONG kHpsHPrescale = 0x68;
constexpr ULONG kHpsHScale = 0x6C;
constexpr ULONG kBcsControl = 0x70;
constexpr ULONG kBridgeProgram[2] = {0x104, 0x108};

constexpr ULONG kResetAsserted = 0x80000000;   // MC1 master reset (active low) with its write enable
constexpr ULONG kResetReleased = 0x80008000;
constexpr ULONG kCapturePixels = 720;
constexpr LONGLONG kBridgeSettle = -30 * 10000LL;   // 30 ms
constexpr LONGLONG kDecoderSettle = -250 * 10000LL; // 250 ms

// The identity scale of a full 720-pixel capture of both fields: prescale
// 1, fine scale 1024, no vertical interpolation; the horizontal start
// depends on the standard (and the 24 fps mode).
constexpr ULONG kHpsIdentityVGain = 0x000000FF;
constexpr ULONG kHpsNoPrescale = 0x00020000;
constexpr ULONG kHpsUnityHScale = 0x80000000 | (1024u << 12);
constexpr ULONG kHpsHStart525 = 123;
constexpr ULONG kHpsHStart625 = 129;
constexpr ULONG kHpsHStart24Fps = 214;
constexpr ULONG kHpsTopStart525 = 8;
constexpr ULONG kHpsTopStart625 = 6;
// Scaler proc amp {contrast 64, brightness 128, saturation 64}: neutral.
constexpr ULONG kBcsNeutral = (128u << 24) | (64u << 16) | 64u;

// The two five-word bridge programs: each ends by jumping back to itself.
constexpr ULONG kBridgeProgramWords[2][4] = {
    {0x100, 0x20000100, 0x60000000, 0x80000000},
    {0x4, 0x20000004, 0x40000004, 0x80000000},
};
constexpr ULONG kBridgeProgramBytes = 5 * sizeof(ULONG);

// ---- decoder ----
constexpr ULONG kDecoderRtcRegister = 0x0E;
constexpr UCHAR kDecoderRtcReset = 0x80;

// ---- encoders ----
// Image byte i is register kEncoderRegister[i]; byte 0 is never written.
constexpr UCHAR kEncoderRegister[ZAR_SAA7125_IMAGE_SIZE] = {
    0x00, 0x3A, 0x5A, 0x5B, 0x5C, 0x5D, 0x5E, 0x5F, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67,
    0x68, 0x69, 0x6A, 0x6B, 0x6C, 0x6D, 0x6E, 0x6F, 0x70, 0x71, 0x72, 0x7A, 0x7B, 0x7C,
};
// Registers outside the image that a whole write clears first.
constexpr UCHAR kEncoderClearedRegisters[] = {0x00, 0x39, 0x42, 0x59, 0x60, 0x73, 0x74, 0x75,
                                              0x76, 0x77, 0x78, 0x79, 0x7D, 0x7E, 0x7F};
constexpr UCHAR kSubcarrier525[4] = {0x1F, 0x7C, 0xF0, 0x21};
constexpr UCHAR kSubcarrier625[4] = {0xCB, 0x8A, 0x09, 0x2A};
constexpr UCHAR kChromaPhaseUnlocked525 = 0x74;
constexpr UCHAR kChromaPhaseUnlocked625 = 0x80;
constexpr ULONG kTriggerSettingThreshold = 3;   // CoreMode from which 525 lines trigger with 0x10


void ZarDelay(LONGLONG relative)
{
    LARGE_INTEGER interval;
    interval.QuadPart = relative;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

bool Zar525(PZAR_DEVICE_EXTENSION ext) { return ext->Standard != 625; }

ULONG ZarFieldLines(PZAR_DEVICE_EXTENSION ext) { return Zar525(ext) ? 243 : 288; }

// The image index of a decoder register, -1 outside the image.
LONG ZarSaa7113ImageIndex(ULONG reg)
{
    if (reg <= 0x13) return LONG(reg);
    if (reg >= 0x15 && reg <= 0x17) return LONG(reg - 0x15 + 20);
    if (reg >= 0x40 && reg <= 0x5E) return LONG(reg - 0x40 + 24);
    return -1;
}

void ZarSetBits(PUCHAR byte, UCHAR mask, bool set)
{
    *byte = set ? UCHAR(*byte | mask) : UCHAR(*byte & ~mask);
}

void ZarSaa7113FillImage(PZAR_DEVICE_EXTENSION ext)
{
    bool is525 = Zar525(ext);
    auto set = [ext](ULONG reg, UCHAR value) { *ZarSaa7113ImageByte(ext, reg) = value; };
    RtlZeroMemory(ext->Chips.DecoderImage, sizeof(ext->Chips.DecoderImage));
    const UCHAR low[] = {0x00, 0x08, 0xC0, 0x33, 0x00, 0x00, 0xEB, 0xE0, UCHAR(is525 ? 0x69 : 0x29), 0x00,
                         0x80, 0x47, 0x40, 0x00, 0x01, 0x2A, 0x00, 0x0C, 0xA7, 0x01};
    for (ULONG reg = 0; reg < sizeof(low); ++reg) set(reg, low[reg]);
    set(0x40, is525 ? 0x82 : 0x02);
    for (ULONG reg = 0x41; reg <= 0x57; ++reg) set(reg, 0xFF);
    set(0x58, 0x40);
    set(0x59, 0x54);
    set(0x5A, is525 ? 0x0A : 0x07);
    set(0x5B, 0x83);
    set(0x5E, 0x00);
}

NTSTATUS ZarSaa7113WriteImage(PZAR_DEVICE_EXTENSION ext)
{
    for (ULONG reg = 0; reg <= 0x5E; ++reg) {
        LONG index = ZarSaa7113ImageIndex(reg);
        if (index < 0) continue;
        NTSTATUS status =
            ZarI2cWriteByte(ext, ZAR_I2C_DECODER, reg, ext->Chips.DecoderImage[index], TRUE);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

ULONG ZarEncoderAddress(ULONG encoder) { return encoder != 0 ? ZAR_I2C_ENCODER1 : ZAR_I2C_ENCODER0; }

NTSTATUS ZarSaa7125WriteImage(PZAR_DEVICE_EXTENSION ext, ULONG encoder)
{
    ULONG address = ZarEncoderAddress(encoder);
    for (UCHAR reg : kEncoderClearedRegisters) {
        NTSTATUS status = ZarI2cWriteByte(ext, address, reg, 0, TRUE);
        if (!NT_SUCCESS(status)) return status;
    }
    const UCHAR* image = ext->Chips.EncoderImage[encoder != 0];
    for (ULONG i = 1; i < ZAR_SAA7125_IMAGE_SIZE; ++i) {
        NTSTATUS status = ZarI2cWriteByte(ext, address, kEncoderRegister[i], image[i], TRUE);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

void ZarSaa7125FillImage(PZAR_DEVICE_EXTENSION ext, ULONG encoder, const ULONG* parameters)
{
    ULONG e = encoder != 0;
    auto reg = [ext, e](ULONG r) { return ZarSaa7125ImageByte(ext, e, r); };
    bool is525 = Zar525(ext);
    bool rtc = ZarEncoderRtcModeQuery(ext) != FALSE;

    RtlZeroMemory(ext->Chips.EncoderImage[e], ZAR_SAA7125_IMAGE_SIZE);
    *reg(0x3A) = 0x2B;
    *reg(0x6B) = 0x45;
    *reg(0x61) = 0x24;
    *reg(0x6E) = 0x20;
    ZarSetBits(reg(0x5E), 0x40, true);
    if (!ext->Vin.LockOverride) {
        *reg(0x67) = 0x00;
        *reg(0x68) = 0x00;
        *reg(0x6F) = 0x47;
    } else {
        *reg(0x6F) = 0x00;
    }

    const UCHAR* subcarrier = is525 ? kSubcarrier525 : kSubcarrier625;
    if (!is525) {
        *reg(0x61) = 0x26;
        *reg(0x5B) = 0x7D;
        *reg(0x5C) = 0xAF;
        *reg(0x5D) = 0x2D;
        *reg(0x5E) = 0x7F;
        *reg(0x5F) = 0x3F;
        *reg(0x62) = 0x4B;
        *reg(0x6C) = 0x53;
        *reg(0x7A) = 0x16;
        *reg(0x7B) = 0x36;
    } else {
        *reg(0x5E) = 0x7A;
        *reg(0x5F) = 0x3A;
        *reg(0x61) = 0x25;
        *reg(0x6C) = 0x3F;
        *reg(0x7A) = 0x10;
        *reg(0x7B) = 0x06;
    }
    ZarSetBits(reg(0x62), 0x80, rtc);
    *reg(0x6D) &= 0x1F;
    for (ULONG i = 0; i < 4; ++i) *reg(0x63 + i) = subcarrier[i];
    ZarSetBits(reg(0x7C), 0x40, true);
    ZarSetBits(reg(0x7C), 0x10, false);
    ZarSaa7125SetTriggerPhase(ext, e);

    if (is525) {
        ZarSetBits(reg(0x5E), 0x80, false);
        if (parameters[e] != 0) {
            ZarSetBits(reg(0x61), 0x10, true);
            *reg(0x5D) = 0x3C;
            *reg(0x62) = UCHAR((*reg(0x62) & 0xE6) | 0x66);
            *reg(0x5B) = 0x76;
            *reg(0x5C) = 0xA5;
        } else {
            ZarSetBits(reg(0x61), 0x10, false);
            *reg(0x5D) = 0x28;
            *reg(0x62) = UCHAR((*reg(0x62) & 0xEA) | 0x6A);
            *reg(0x5B) = 0x80;
            *reg(0x5C) = 0xB2;
        }
    }

    if (e == 1) {
        ZarSetBits(reg(0x3A), 0x20, false);
        if (parameters[2] == 0) {
            *reg(0x5B) = 0x00;
            *reg(0x5C) = 0x00;
            ZarSetBits(reg(0x5D), 0x80, false);
            ZarSetBits(reg(0x5E), 0x80, false);
            *reg(0x62) &= 0x80;
        }
    }

    // Locked to a source, the encoders take the genlock's subcarrier phase.
    if (ext->Vin.Locked)
        *reg(0x5A) = UCHAR(ext->Genlock.SubcarrierPhase);
    else
        *reg(0x5A) = is525 ? kChromaPhaseUnlocked525 : kChromaPhaseUnlocked625;
}

// Programs the scaler for the default capture and its neutral proc amp.
void ZarSaa7146InitScaler(PZAR_DEVICE_EXTENSION ext)
{
    bool is525 = Zar525(ext);
    ULONG hStart = is525 ? kHpsHStart525 : kHpsHStart625;
    if (ext->Hdcam24FpsMode == 1) hStart += kHpsHStart24Fps;
    ext->Hps.Scaler.Contrast = 64;
    ext->Hps.Scaler.Brightness = 128;
    ext->Hps.Scaler.Saturation = 64;
    ZarBridgeWrite(ext, kBcsControl, kBcsNeutral);
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC2, 0x00400040);
    ZarBridgeWrite(ext, kHpsControl, (is525 ? kHpsTopStart525 : kHpsTopStart625) << 12);
    ZarBridgeWrite(ext, kHpsVScale, 0);
    ZarBridgeWrite(ext, kHpsVGain, kHpsIdentityVGain);
    ZarBridgeWrite(ext, kHpsHPrescale, kHpsNoPrescale);
    ZarBridgeWrite(ext, kHpsHScale, kHpsUnityHScale | hStart);
}

}  // namespace

// ---- bridge ----

void ZarSaa7146Reset(PZAR_DEVICE_EXTENSION ext)
{
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC1, kResetAsserted);
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC1, kResetReleased);
}

// A full set-up after the reset: interrupts off, burst thresholds, GPIO and
// I2C, BRS, DEBI, the scaler, video DMA 1 and the two bridge programs.
NTSTATUS ZarSaa7146Init(PZAR_DEVICE_EXTENSION ext)
{
    if (ext->Registers == nullptr) return STATUS_UNSUCCESSFUL;
    ZarSaa7146Reset(ext);

    ZarSetIntMode(ext, 0xFFFFFFFF, FALSE);
    ZarBridgeWrite(ext, ZAR_BRIDGE_ISR, 0xFFFFFFFF);
    ZarBridgeWrite(ext, 0xF4, 0);
    ZarBridgeWrite(ext, 0x50, 0x00C04500);
    ZarBridgeWrite(ext, 0x54, 0x00008000);
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC2, 0x06000600);
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC1, 0x04000400);

    ZarBridgeWrite(ext, ZAR_BRIDGE_PCI_BT_V1, ZarBurstStartValue(ext->DmaTweakV, ZAR_BURST_DEFAULT_V1));
    ZarBridgeWrite(ext, ZAR_BRIDGE_PCI_BT_A, ZarBurstStartValue(ext->DmaTweakA, ZAR_BURST_DEFAULT_A));

    ZarGpioChange(ext, kGpioDefault, ZAR_GPIO_WHOLE_WORD);
    ZarBridgeWrite(ext, ZAR_BRIDGE_I2C_STATUS, 0);
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC2, 0x00010001);
    ZarBridgeWrite(ext, ZAR_BRIDGE_ISR, 0xFFFFFFFF);

    ZarBridgeWrite(ext, 0x58, 0xE0000504);
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC2, 0x01000100);

    ZarBridgeWrite(ext, ZAR_BRIDGE_DEBI_CONFIG, 0x008A0000);
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC1, 0x08000800);
    ZarBridgeWrite(ext, ZAR_BRIDGE_DEBI_COMMAND, 0x00040000);
    ZarBridgeWrite(ext, ZAR_BRIDGE_DEBI_PAGE, 0);
    ZarBridgeWrite(ext, ZAR_BRIDGE_DEBI_AD, 0);
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC1, 0x00800080);
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC2, 0x00020002);
    ZarDebiInitAudioWaitStates(ext);

    ZarSaa7146InitScaler(ext);
    ZarBridgeWrite(ext, 0x78, 0x81000000);
    ZarBridgeWrite(ext, 0x74, 0);
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC2, 0x00200020);
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC2, 0x00400040);

    ZarBridgeWrite(ext, kDma1Pitch, ((ZarFieldLines(ext) + 2) << 16) | kCapturePixels);
    for (ULONG offset = 0x00; offset <= 0x10; offset += sizeof(ULONG)) ZarBridgeWrite(ext, offset, 0);
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC2, 0x00040004);
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC1, 0x01000100);

    for (ULONG p = 0; p < 2; ++p) {
        ZAR_COMMON_BUFFER& page = ext->BridgePage[p];
        ULONG address = 0;
        if (page.VirtualAddress != nullptr && page.Length >= kBridgeProgramBytes) {
            auto* words = static_cast<PULONG>(page.VirtualAddress);
            address = page.LogicalAddress.LowPart;
            for (ULONG i = 0; i < 4; ++i) words[i] = kBridgeProgramWords[p][i];
            words[4] = address;
        }
        ZarBridgeWrite(ext, kBridgeProgram[p], address);
    }
    ZarBridgeWrite(ext, 0xC4, 0);
    ZarBridgeWrite(ext, 0xD4, 0);
    ZarBridgeWrite(ext, 0xC8, 0);
    ZarBridgeWrite(ext, 0xD8, 0);

    ZarBridgeWrite(ext, 0xF4, 0x1FC04CC0);
    ZarBridgeWrite(ext, 0xF8, 0x108C0000);
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC1, 0x02000200);
    ZarBridgeWrite(ext, 0xE4, 0x00010101);
    ZarBridgeWrite(ext, 0xE8, 0x00010101);
    ZarBridgeWrite(ext, 0xEC, 0xFFFFFFFF);
    ZarBridgeWrite(ext, 0xF0, 0xFFFFFFFF);

    ZarDelay(kBridgeSettle);
    ZarBridgeWrite(ext, ZAR_BRIDGE_ISR, 0xFFFFFFFF);
    return STATUS_SUCCESS;
}

// ---- board control word ----

// The decoder set-up and the video-input monitor change different bits from
// different threads: the shadow's update and its write go together.
void ZarSetBoardControl(PZAR_DEVICE_EXTENSION ext, ULONG mask, ULONG bits)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&ext->Lock, &oldIrql);
    ext->Setup.AudioControl = (ext->Setup.AudioControl & ~mask) | (bits & mask);
    ZarDebiPioWrite(ext, ZAR_REG_BOARD_CONTROL, ext->Setup.AudioControl);
    KeReleaseSpinLock(&ext->Lock, oldIrql);
}

// ---- decoder ----

PUCHAR ZarSaa7113ImageByte(PZAR_DEVICE_EXTENSION ext, ULONG reg)
{
    LONG index = ZarSaa7113ImageIndex(reg);
    return index < 0 ? nullptr : &ext->Chips.DecoderImage[index];
}

NTSTATUS ZarSaa7113Init(PZAR_DEVICE_EXTENSION ext)
{
    ZarSetBoardControl(ext, 0x7, Zar525(ext) ? 0x3 : 0x2);
    ZarDelay(kDecoderSettle);

    ZarSaa7113FillImage(ext);
    ext->Chips.DecoderInput = ZAR_SAA7113_NO_INPUT;
    NTSTATUS status = ZarSaa7113WriteImage(ext);
    ext->Vin.DecoderPresent = NT_SUCCESS(status);
    return status;
}

NTSTATUS ZarSaa7113RegisterWrite(PZAR_DEVICE_EXTENSION ext, ULONG reg, ULONG value, BOOLEAN wait)
{
    if (reg == ZAR_SAA7113_WHOLE_IMAGE) return ZarSaa7113WriteImage(ext);
    PUCHAR byte = ZarSaa7113ImageByte(ext, reg);
    if (byte == nullptr) return STATUS_INVALID_PARAMETER;
    *byte = UCHAR(value);
    return ZarI2cWriteByte(ext, ZAR_I2C_DECODER, reg, *byte, wait);
}

NTSTATUS ZarSaa7113SetInput(PZAR_DEVICE_EXTENSION ext, ULONG source, BOOLEAN onlyIfChanged)
{
    // Register 0x10 bits 0-2 of each analog input, biased by 4.
    static constexpr ULONG kInputWord[3] = {4, 4, 4};
    bool composite = source == 0 || (source >= 3 && source <= 8) || source == 100;
    if (!composite && source != 1 && source != 2) return STATUS_UNSUCCESSFUL;
    if (onlyIfChanged && source == ext->Chips.DecoderInput) return STATUS_SUCCESS;

    auto reg = [ext](ULONG r) { return ZarSaa7113ImageByte(ext, r); };
    ULONG word = kInputWord[composite ? 0 : source];
    if (composite)
        *reg(0x02) &= 0xF0;
    else if (source == 1)
        *reg(0x02) = UCHAR((*reg(0x02) & 0xF9) | 0x09);
    else
        *reg(0x02) = UCHAR((*reg(0x02) & 0xF2) | 0x02);
    *reg(0x10) = UCHAR((*reg(0x10) & ~0x7) | ((word - 4) & 0x7));
    *reg(0x13) = UCHAR((*reg(0x13) & ~0x3) | (source == 2 ? 0x2 : 0x1));
    *reg(0x09) &= 0x7C;
    if (!composite) ZarSetBits(reg(0x09), 0x80, true);
    *reg(0x08) = UCHAR((*reg(0x08) & ~0x18) | (source == 2 ? 0x00 : 0x08));

    for (ULONG r : {0x02u, 0x10u, 0x13u, 0x09u, 0x08u}) {
        NTSTATUS status = ZarI2cWriteByte(ext, ZAR_I2C_DECODER, r, *reg(r), TRUE);
        if (!NT_SUCCESS(status)) {
            // The chip may hold part of the selection: the next one must write.
            ext->Chips.DecoderInput = ZAR_SAA7113_NO_INPUT;
            return status;
        }
    }
    ext->Chips.DecoderInput = source;
    return STATUS_SUCCESS;
}

// IOCTL_ZAR_SAA7113_SET_INPUT: the record's first word names the source.
NTSTATUS ZarSaa7113SetInput(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ZAR_VIN_MODE mode;
    RtlCopyMemory(&mode, buffer, sizeof(mode));
    return ZarSaa7113SetInput(ext, mode.Source, FALSE);
}

NTSTATUS ZarSaa7113ResetRtc(PZAR_DEVICE_EXTENSION ext)
{
    UCHAR value = UCHAR(*ZarSaa7113ImageByte(ext, kDecoderRtcRegister) | kDecoderRtcReset);
    return ZarI2cWriteByte(ext, ZAR_I2C_DECODER, kDecoderRtcRegister, value, FALSE);
}

// ---- encoders ----

LONG ZarSaa7125GetRegisterIndex(ULONG reg)
{
    for (ULONG i = 0; i < ZAR_SAA7125_IMAGE_SIZE; ++i)
        if (kEncoderRegister[i] == reg) return LONG(i);
    return -1;
}

PUCHAR ZarSaa7125ImageByte(PZAR_DEVICE_EXTENSION ext, ULONG encoder, ULONG reg)
{
    LONG index = ZarSaa7125GetRegisterIndex(reg);
    return index < 0 ? nullptr : &ext->Chips.EncoderImage[encoder != 0][index];
}

NTSTATUS ZarSaa7125WriteRegister(PZAR_DEVICE_EXTENSION ext, ULONG encoder, ULONG reg, BOOLEAN wait)
{
    if (reg == ZAR_SAA7125_WHOLE_IMAGE) return ZarSaa7125WriteImage(ext, encoder);
    PUCHAR byte = ZarSaa7125ImageByte(ext, encoder, reg);
    if (byte == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    return ZarI2cWriteByte(ext, ZarEncoderAddress(encoder), reg, *byte, wait);
}

NTSTATUS ZarSaa7125Init(PZAR_DEVICE_EXTENSION ext, ULONG encoder, const ULONG* parameters)
{
    ZarSaa7125FillImage(ext, encoder, parameters);
    return ZarSaa7125WriteImage(ext, encoder);
}

void ZarSaa7125SetTriggerPhase(PZAR_DEVICE_EXTENSION ext, ULONG encoder)
{
    PUCHAR r6b = ZarSaa7125ImageByte(ext, encoder, 0x6B);
    PUCHAR r6d = ZarSaa7125ImageByte(ext, encoder, 0x6D);
    if (!Zar525(ext)) {
        ZarSetBits(r6b, 0x08, false);
        *r6d = UCHAR((*r6d & 0xE1) | 0x01);
    } else if (ext->Vin.EncoderTrigger == 0) {
        ZarSetBits(r6b, 0x08, true);
        if (ext->CoreMode >= kTriggerSettingThreshold)
            *r6d = UCHAR((*r6d & 0xF0) | 0x10);
        else
            *r6d &= 0xE0;
    } else {
        ZarSetBits(r6b, 0x08, false);
        *r6d &= 0xE0;
    }
}

BOOLEAN ZarEncoderRtcModeQuery(PZAR_DEVICE_EXTENSION ext)
{
    return ext->Vin.Locked && ext->Vin.Mode.Source != 2;
}

// IOCTL_ZAR_SAA7125_REGISTER_WRITE.
NTSTATUS ZarSaa7125RegisterWrite(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ZAR_SAA7125_REGISTER_EDIT edit;
    RtlCopyMemory(&edit, buffer, sizeof(edit));
    ULONG encoder = edit.Encoder != 0;
    if (edit.Register != ZAR_SAA7125_WHOLE_IMAGE) {
        PUCHAR byte = ZarSaa7125ImageByte(ext, encoder, edit.Register);
        if (byte == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
        *byte = UCHAR((*byte & edit.AndMask) | edit.OrValue);
    }
    return ZarSaa7125WriteRegister(ext, encoder, edit.Register, TRUE);
}
