// DVE module: the digital video effects unit's 16-bit registers behind
// DEBI, written from control codes, from the DVE's play-list channels
// 301-304 (two fields of pipeline on 302-304), from the scrub list and from
// the perspective blocks at the head of the fields vari-play shows; the
// warp tables the library loads, the warp look-up table built from them, and
// the border ramp.
//
// The module's per-board state (ZAR_DVE_STATE) lives in the device extension
// as ext->Dve; the play state is the play-list engine's ext->Playlist.Dve.
#pragma once

#include "platform/nt/kernel.h"
#include "include/zarkd.h"

struct ZAR_DEVICE_EXTENSION;
using PZAR_DEVICE_EXTENSION = ZAR_DEVICE_EXTENSION*;

inline constexpr ULONG ZAR_DVE_PERSPECTIVE_SIZE = 96;
inline constexpr ULONG ZAR_DVE_PERSPECTIVE_BLOCK_SIZE = 40;
inline constexpr ULONG ZAR_DVE_BORDER_SIZE = 75;
inline constexpr ULONG ZAR_DVE_PIXEL_SIZE = 12;
inline constexpr ULONG ZAR_DVE_FILTER_SIZE = 12;
inline constexpr ULONG ZAR_DVE_CROPPING_SIZE = 16;
inline constexpr ULONG ZAR_DVE_TRAIL_SIZE = 24;
inline constexpr ULONG ZAR_DVE_WARP_SIZE = 63;
inline constexpr ULONG ZAR_DVE_FREEZE_SIZE = 12;
inline constexpr ULONG ZAR_DVE_KEY_SIZE = 9;
inline constexpr ULONG ZAR_DVE_PROFILES_SIZE = 512;
inline constexpr ULONG ZAR_DVE_RAMP_SIZE = 256;
inline constexpr ULONG ZAR_DVE_WARP_TABLES = 9;
inline constexpr ULONG ZAR_DVE_SINE_TABLES = 25;

// Board registers of the DVE the module addresses by name.
inline constexpr ULONG ZAR_REG_DVE_PERSPECTIVE_MODE = 0xCC60;
inline constexpr ULONG ZAR_REG_DVE_FREEZE = 0xCC64;
inline constexpr ULONG ZAR_REG_DVE_RAMP_CONTROL = 0xC804;
inline constexpr ULONG ZAR_REG_DVE_RAMP = 0xC400;
inline constexpr ULONG ZAR_REG_DVE_WARP_BANK = 0xDC04;
inline constexpr ULONG ZAR_REG_DVE_WARP_LUT = 0xDC00;   // the look-up table's port

struct ZAR_DVE_STATE {
    UCHAR Perspective[ZAR_DVE_PERSPECTIVE_SIZE];  // kept; word 0's bits 0-1 pending sets 0 and 1
    UCHAR Border[ZAR_DVE_BORDER_SIZE];            // kept; word 0 the pending flag
    UCHAR Warp[ZAR_DVE_WARP_SIZE];
    UCHAR Freeze[ZAR_DVE_FREEZE_SIZE];
    UCHAR Profiles[ZAR_DVE_PROFILES_SIZE];        // 8 border profiles of 64 bytes
    UCHAR RampKey[15];                            // the border bytes the ramp was made from
    BOOLEAN WarpPending;
    BOOLEAN FreezeKept;
    BOOLEAN RampNew;                              // the ramp goes out with the next border write
    BOOLEAN RampValid;
    ULONG StrobeCounter;
    ULONG Bank;                                   // bit 0 toggles each warp; bit 2 the alternate bank
    ULONG RampsGenerated;
    ULONG LutWords;                               // words of the last look-up table sent
    ULONG LutBlocks;
    ULONG DebiSkipped;
    PULONG Table[ZAR_DVE_WARP_TABLES];            // tables 5 and 6 hold 25 tables each
};

// The freeze register's value for a freeze record; the strobe's counter steps.
ULONG ZarDveFreezeBits(const UCHAR freeze[ZAR_DVE_FREEZE_SIZE], PULONG strobeCounter);
// Makes the border ramp from the record's profile when its bytes changed;
// TRUE when a new ramp was made.
BOOLEAN ZarDveBorderGenerateData(PZAR_DEVICE_EXTENSION ext, const UCHAR border[ZAR_DVE_BORDER_SIZE]);
// The scrub list's DVE parts (device IRQL; only while no DVE channel plays).
void ZarScrubDveProcessUpStreamNode(PZAR_DEVICE_EXTENSION ext, const UCHAR* entry);
void ZarScrubDveProcessDownStreamNode(PZAR_DEVICE_EXTENSION ext, const UCHAR* entry);

// ---- the DVE (zar_dve.cpp) ----
NTSTATUS ZarDveWarpTableAlloc(PZAR_DEVICE_EXTENSION ext);
void ZarDveWarpTableFree(PZAR_DEVICE_EXTENSION ext);
void ZarPlyDvePreProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyDveProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyDvePostProcessNode(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarDveIoInitPerspectiveLut(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDveIoSetPerspective(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDveIoLoadCoefficients(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDveIoSetBorder(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDveIoSetPixel(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDveIoSetFilter(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDveIoSetCropping(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDveIoSetTrailShadow(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDveIoSetWarp(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDveWarpTableLoad(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDvePlayCommand(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDveIoSetFreeze(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDveIoGetFreeze(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDveIoSetKey(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
