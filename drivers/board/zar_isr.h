// The interrupt routine: the bridge's interrupt sources, the per-field
// module hooks in their fixed order, the shared line's poll, and the
// interrupt enable word.
#pragma once

#include "zar_extension.h"

BOOLEAN ZarIsr(PKINTERRUPT interrupt, PVOID context);
void ZarSetIntMode(PZAR_DEVICE_EXTENSION ext, ULONG mask, BOOLEAN set);
void ZarSetIntModeAtIrql(PZAR_DEVICE_EXTENSION ext, ULONG mask, BOOLEAN set);
void ZarDpcForIsr(PKDPC dpc, PDEVICE_OBJECT device, PIRP irp, PVOID context);
void ZarSetSharedIrqMask(PZAR_DEVICE_EXTENSION ext, ULONG mask, BOOLEAN set);

// What HookTrace records: one byte per call, in call order (the first
// ZAR_HOOK_TRACE_SIZE calls; HookTraceCount counts them all).
enum ZAR_HOOK : UCHAR {
    ZAR_HOOK_NONE,
    ZAR_HOOK_SCRUB_LIST,
    ZAR_HOOK_PRE_JPEG, ZAR_HOOK_PRE_PROC_AMP, ZAR_HOOK_PRE_DVE, ZAR_HOOK_PRE_MIX,
    ZAR_HOOK_PRE_GFX, ZAR_HOOK_PRE_BUS, ZAR_HOOK_PRE_AUD_FX,
    ZAR_HOOK_JPEG, ZAR_HOOK_PROC_AMP, ZAR_HOOK_DVE, ZAR_HOOK_MIX,
    ZAR_HOOK_GFX, ZAR_HOOK_BUS, ZAR_HOOK_AUD_FX,
    ZAR_HOOK_POST_JPEG, ZAR_HOOK_POST_PROC_AMP, ZAR_HOOK_POST_DVE, ZAR_HOOK_POST_MIX,
    ZAR_HOOK_POST_GFX, ZAR_HOOK_POST_BUS, ZAR_HOOK_POST_AUD_FX,
    ZAR_HOOK_AUD_PLAY_VBI,
    ZAR_HOOK_MASTER_CLOCK,
    ZAR_HOOK_CAPTURE_STATE,
    ZAR_HOOK_VBI_DPC_QUEUED,
    ZAR_HOOK_CAPTURE_RING,
    ZAR_HOOK_SCSI_ISR,
    ZAR_HOOK_YSS_ISR,
    ZAR_HOOK_ICS_ISR,
};
inline void ZarTraceHook(PZAR_DEVICE_EXTENSION ext, ZAR_HOOK hook)
{
    if (__builtin_expect(ext->HookTraceOn, 0)) {
        if (ext->HookTraceCount < ZAR_HOOK_TRACE_SIZE) ext->HookTrace[ext->HookTraceCount] = hook;
        ++ext->HookTraceCount;
    }
}
ULONG ZarI2cErrorCleanup(PZAR_DEVICE_EXTENSION ext);

inline constexpr ULONG ZAR_SHARED_POLL_LIMIT = 255;
inline constexpr ULONG ZAR_BRS_TIMEOUT_FIELDS = 10;
using PZAR_FIELD_HOOK = void (*)(PZAR_DEVICE_EXTENSION ext);
