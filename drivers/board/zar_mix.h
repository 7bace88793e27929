// Mixer, bus and proc-amp modules: the board mixer's registers behind DEBI
// (mix effects, DVE key, downstream key, master fade, preview, M2 route),
// its two processing amplifiers and the video preferences that govern the
// chroma filter; written by control codes, by the play-list channels 21/31
// (proc amps), 401-404 (mixer) and 500/501 (buses), and by the scrub list.
//
// The modules' per-board state (ZAR_MIX_STATE) lives in the device
// extension as ext->Mix; the preview register's shadow is the extension's
// DebiShadow5470 and the video control register's DebiShadow5C00.
#pragma once

#include "platform/nt/kernel.h"
#include "include/zarkd.h"

struct ZAR_DEVICE_EXTENSION;
using PZAR_DEVICE_EXTENSION = ZAR_DEVICE_EXTENSION*;

inline constexpr ULONG ZAR_PROC_AMP_RECORD_SIZE = 10;
inline constexpr ULONG ZAR_MIX_EFFECTS_SIZE = 9;
inline constexpr ULONG ZAR_MIX_KEY_SIZE = 11;
inline constexpr ULONG ZAR_MIX_PREVIEW_SIZE = 8;
inline constexpr ULONG ZAR_M2_ROUTE_SIZE = 20;
inline constexpr ULONG ZAR_PROC_AMP_PLAY_COMMAND_SIZE = 36;

// UV filter choice (video preferences word 0).
enum ZAR_UV_FILTER : ULONG {
    ZAR_UV_FILTER_AUTOMATIC = 0,
    ZAR_UV_FILTER_OFF = 1,
    ZAR_UV_FILTER_ON = 2,
};

struct ZAR_MIX_STATE {
    UCHAR ProcAmp[2][ZAR_PROC_AMP_RECORD_SIZE];  // the last record each proc amp took
    UCHAR MasterFade;              // 0 = no fade
    BOOLEAN DveKeyActive;
    BOOLEAN DownstreamKeyActive;
    BOOLEAN UvFilterActive;
    ULONG PreviewSource;
    ULONG PreviewMode;
    ULONG M2Route[5];              // path A, path B, bit, mode, enable
    ULONG M2RouteShadow;           // board register 0x5478
    ULONG VideoPrefs[4];
    ULONG DebiSkipped;             // settings not written because DEBI stayed busy
};

// Colour 0x00BBGGRR to Cb, Y, Cr, 255.
void ZarMixRgbToYuv(ULONG colour, UCHAR out[4]);
// The level-halving table: v / 2, and 128 for 255.
UCHAR ZarMixHalve(UCHAR level);
// The five register values of a proc-amp record.
void ZarMixProcAmpValues(const UCHAR record[ZAR_PROC_AMP_RECORD_SIZE], UCHAR values[5]);

// At device IRQL, each after taking DEBI (ZarDveAcquireDebiAtDirql). FALSE
// when DEBI stayed busy or a write did not happen; the kept state then
// stays as it was.
BOOLEAN ZarMixSetProcAmpAtDirql(PZAR_DEVICE_EXTENSION ext, ULONG procAmp, const UCHAR* record);
BOOLEAN ZarMixSetMixEffectsAtDirql(PZAR_DEVICE_EXTENSION ext, const UCHAR* record);
BOOLEAN ZarMixSetDveAtDirql(PZAR_DEVICE_EXTENSION ext, const UCHAR* record);
BOOLEAN ZarMixSetDownStreamKeyAtDirql(PZAR_DEVICE_EXTENSION ext, const UCHAR* record);
BOOLEAN ZarMixSetMasterFadeAtDirql(PZAR_DEVICE_EXTENSION ext, UCHAR level);
BOOLEAN ZarBusSetPreviewAtDirql(PZAR_DEVICE_EXTENSION ext, const UCHAR* record);
BOOLEAN ZarBusSetM2RouteAtDirql(PZAR_DEVICE_EXTENSION ext, const UCHAR* record);
// The preview register's value for a source and mode.
ULONG ZarMixPreviewValue(ULONG source, ULONG mode);

// Scrub parts of a committed scrub entry (device IRQL; each only while the
// module's play state is stopped).
void ZarScrubMixProcessNode(PZAR_DEVICE_EXTENSION ext, const UCHAR* entry);
void ZarScrubBusProcessNode(PZAR_DEVICE_EXTENSION ext, const UCHAR* entry);
void ZarScrubProcAmpProcessNode(PZAR_DEVICE_EXTENSION ext, const UCHAR* entry);

// ---- mixer, buses and proc amps (zar_mix.cpp) ----
void ZarPlyProcAmpPreProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyMixPreProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyBusPreProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyProcAmpProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyMixProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyBusProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyProcAmpPostProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyMixPostProcessNode(PZAR_DEVICE_EXTENSION ext);
void ZarPlyBusPostProcessNode(PZAR_DEVICE_EXTENSION ext);

// Claims the DEBI bus from the interrupt routine (FALSE: busy).
BOOLEAN ZarDveAcquireDebiAtDirql(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarMixIoSetProcAmp(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ULONG procAmp);
NTSTATUS ZarMixIoGetProcAmp(PZAR_DEVICE_EXTENSION ext, PVOID buffer, ULONG procAmp);
NTSTATUS ZarMixIoSetPreview(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarMixIoGetPreview(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarMixIoSetMasterFade(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarMixIoGetMasterFade(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDcIoSetVideoPrefs(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDcIoGetVideoPrefs(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarMixIoSetMixEffects(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarMixPlayCommand(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarMixIoSetDve(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarMixIoSetDownStreamKey(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarBusPlayCommand(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarProcAmpPlayCommand(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
