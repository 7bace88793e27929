// The SAA7146 bridge's registers and bits that the driver uses, each named
// once, and the access helpers every module uses for the bridge. The
// board's own registers behind DEBI: zar_board_regs.h.
#pragma once

#include "zar_board_regs.h"
#include "zar_extension.h"

// ---- bridge registers (byte offsets in the mapped window) ----
inline constexpr ULONG ZAR_BRIDGE_PCI_BT_V1 = 0x48;     // PCI burst thresholds, video
inline constexpr ULONG ZAR_BRIDGE_PCI_BT_A = 0x4C;      // and audio
inline constexpr ULONG ZAR_BRIDGE_DEBI_CONFIG = 0x7C;
inline constexpr ULONG ZAR_BRIDGE_DEBI_PAGE = 0x84;
inline constexpr ULONG ZAR_BRIDGE_I2C_TRANSFER = 0x8C;
inline constexpr ULONG ZAR_BRIDGE_I2C_STATUS = 0x90;
inline constexpr ULONG ZAR_BRIDGE_GPIO_CTRL = 0xE0;
inline constexpr ULONG ZAR_BRIDGE_PSR = 0x110;           // primary status
inline constexpr ULONG ZAR_BRIDGE_SSR = 0x114;           // secondary status
inline constexpr ULONG ZAR_BRIDGE_AUDIO_PLAY_A = 0x12C;  // where the audio play DMA reads now, channel A
inline constexpr ULONG ZAR_BRIDGE_AUDIO_PLAY_B = 0x134;  // and channel B
inline constexpr ULONG ZAR_BRIDGE_AUDIO_RECORD = 0x138;  // where the audio record DMA writes now
// DEBI_COMMAND, DEBI_AD, IER, MC1, MC2 and ISR: zar_extension.h.

// ---- bits ----
inline constexpr ULONG ZAR_PSR_DEBI_BUSY = 0x80000;
inline constexpr ULONG ZAR_MC2_UPLOAD_I2C = 0x00010001;  // MC2: upload the I2C shadow registers
inline constexpr ULONG ZAR_MC2_UPLOAD_DEBI = 0x00020002; // MC2: upload the DEBI set-up, starting it

// ---- access ----
inline ULONG ZarBridgeRead(PZAR_DEVICE_EXTENSION ext, ULONG offset)
{
    return READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(ext->Registers + offset));
}
inline void ZarBridgeWrite(PZAR_DEVICE_EXTENSION ext, ULONG offset, ULONG value)
{
    WRITE_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(ext->Registers + offset), value);
}

// Runs 'routine' synchronised with the board interrupt: under the
// interrupt's lock below device IRQL; directly at or above it (the ISR or a
// synchronised routine already holds that lock) and while no interrupt is
// connected.
inline BOOLEAN ZarRunSynchronized(PZAR_DEVICE_EXTENSION ext, PKSYNCHRONIZE_ROUTINE routine, PVOID context)
{
    if (ext->InterruptObject != nullptr && KeGetCurrentIrql() <= DISPATCH_LEVEL)
        return KeSynchronizeExecution(ext->InterruptObject, routine, context);
    return routine(context);
}

// ---- interrupt sources the driver acts on ----
inline constexpr ULONG ZAR_INT_SHARED_LINE = 0x40;
inline constexpr ULONG ZAR_INT_FIELD = 0x100;
inline constexpr ULONG ZAR_INT_AUDIO_PLAY_A = 0x1000;
inline constexpr ULONG ZAR_INT_AUDIO_PLAY_B = 0x4000;
inline constexpr ULONG ZAR_INT_AUDIO_RECORD = 0x8000;
inline constexpr ULONG ZAR_INT_I2C_ERROR = 0x10000;
inline constexpr ULONG ZAR_INT_I2C_DONE = 0x20000;
inline constexpr ULONG ZAR_INT_I2C = ZAR_INT_I2C_ERROR | ZAR_INT_I2C_DONE;
inline constexpr ULONG ZAR_INT_DEBI_DONE = 0x80000;
inline constexpr ULONG ZAR_INT_BRS = 0x8000000;

// The bridge register at 'offset' of the mapped window.
inline volatile ULONG* ZarBridgeRegister(PZAR_DEVICE_EXTENSION ext, ULONG offset)
{
    return reinterpret_cast<volatile ULONG*>(ext->Registers + offset);
}
