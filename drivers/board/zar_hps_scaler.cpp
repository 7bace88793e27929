// The bridge scaler's settings: the five scaler words a capture request
// gives (horizontal prescale with its filter, fine horizontal scale,
// vertical scale by interpolation or by line accumulation), the prefilter,
// and the scaler's brightness, contrast and saturation.

#include "zar_bridge.h"
#include "zar_extension.h"
#include "zar_hps.h"

namespace {

struct ZAR_HPS_ROW {
    USHORT Value;
    UCHAR Weight;
};

// Horizontal prescale filter by prescale - 1: coefficient byte and weight code.
constexpr ZAR_HPS_ROW kHorizontal[64] = {
    {0x00, 1}, {0x02, 2}, {0x00, 2}, {0x06, 3}, {0x02, 3}, {0x08, 3}, {0x00, 3}, {0x1E, 7},
    {0x0E, 3}, {0x26, 3}, {0x06, 3}, {0x42, 3}, {0x02, 3}, {0x80, 3}, {0x00, 3}, {0xFE, 7},
    {0xFE, 3}, {0x7E, 3}, {0x7E, 3}, {0x3E, 3}, {0x3E, 3}, {0x1E, 3}, {0x1E, 3}, {0x0E, 3},
    {0x0E, 3}, {0x06, 3}, {0x06, 3}, {0x02, 3}, {0x02, 3}, {0x00, 3}, {0x00, 3}, {0xFE, 7},
    {0xFE, 3}, {0xFE, 3}, {0xFE, 3}, {0xFE, 3}, {0xFE, 3}, {0xFE, 3}, {0xFE, 3}, {0xFE, 3},
    {0xFE, 3}, {0xFE, 3}, {0xFE, 3}, {0xFE, 3}, {0xFE, 3}, {0xFE, 3}, {0xFE, 3}, {0xFE, 3},
    {0xFE, 3}, {0x7E, 3}, {0x7E, 3}, {0x3E, 3}, {0x3E, 3}, {0x1E, 3}, {0x1E, 3}, {0x0E, 3},
    {0x0E, 3}, {0x06, 3}, {0x06, 3}, {0x02, 3}, {0x02, 3}, {0x00, 3}, {0x00, 3}, {0xFE, 7},
};

// Vertical accumulation gain by accumulation length: 16-bit gain and weight code.
constexpr ZAR_HPS_ROW kVertical[64] = {
    {0x0100, 0}, {0x0102, 1}, {0x0300, 1}, {0x0106, 2}, {0x0502, 2}, {0x0708, 2}, {0x0F00, 2}, {0x011E, 3},
    {0x110E, 3}, {0x1926, 3}, {0x3906, 3}, {0x3D42, 3}, {0x7D02, 3}, {0x7F80, 3}, {0xFF00, 3}, {0x01FE, 4},
    {0x01FE, 4}, {0x817E, 4}, {0x817E, 4}, {0xC13E, 4}, {0xC13E, 4}, {0xE11E, 4}, {0xE11E, 4}, {0xF10E, 4},
    {0xF10E, 4}, {0xF906, 4}, {0xF906, 4}, {0xFD02, 4}, {0xFD02, 4}, {0xFF00, 4}, {0xFF00, 4}, {0x01FE, 5},
    {0x01FE, 5}, {0x01FE, 5}, {0x01FE, 5}, {0x01FE, 5}, {0x01FE, 5}, {0x01FE, 5}, {0x01FE, 5}, {0x01FE, 5},
    {0x01FE, 5}, {0x01FE, 5}, {0x01FE, 5}, {0x01FE, 5}, {0x01FE, 5}, {0x01FE, 5}, {0x01FE, 5}, {0x01FE, 5},
    {0x01FE, 5}, {0x817E, 5}, {0x817E, 5}, {0xC13E, 5}, {0xC13E, 5}, {0xE11E, 5}, {0xE11E, 5}, {0xF10E, 5},
    {0xF10E, 5}, {0xF906, 5}, {0xF906, 5}, {0xFD02, 5}, {0xFD02, 5}, {0xFF00, 5}, {0xFF00, 5}, {0x01FE, 6},
};

constexpr ULONG kSourcePixels = 720;
constexpr ULONG kHStart525 = 123, kHStart625 = 129, kHStart24Fps = 214;
constexpr ULONG kTopStart525 = 8, kTopStart625 = 6;
constexpr ULONG kUnityScale = 1024;
constexpr ULONGLONG kTwo52 = 1ULL << 52, kTwo42 = 1ULL << 42, kTwo32 = 1ULL << 32;

ULONG Field(ULONG value, ULONG first, ULONG bits) { return (value & ((1u << bits) - 1)) << first; }

}  // namespace

void ZarHpsScaleWords(const ZAR_HPS_GEOMETRY* g, ZAR_HPS_SCALER* scaler, ZAR_HPS_CAPTURE_REQUEST* r, ULONG words[5])
{
    for (ULONG i = 0; i < 5; ++i) words[i] = 0;
    const bool is525 = g->Standard != 625;
    const ULONG W = kSourcePixels - 2 * r->HorizontalCrop;
    const ULONG w = r->Width;
    ULONG h = r->Height;
    if (r->Fields == 3 && !(r->Kind == 1 && r->FieldSequential == 1)) h /= 2;
    const ULONG room = g->FieldLines > h ? g->FieldLines - h : 0;
    const ULONG t = r->TopCrop < room ? r->TopCrop : room;
    r->TopCrop = t;
    const ULONG L = g->FieldLines - t;

    // Where the picture starts: the crop (to an even pixel) past the line's start, t / 2 lines down.
    ULONG hStart = ((r->HorizontalCrop + 1) & ~1u) + (is525 ? kHStart525 : kHStart625);
    if (g->Hdcam24Fps) hStart += kHStart24Fps;
    words[ZAR_HPS_W_H_SCALE] = Field(hStart, 0, 12);
    words[ZAR_HPS_W_CTRL] = Field(t / 2 + (is525 ? kTopStart525 : kTopStart625), 12, 12);

    // Prescale: an integer step that keeps the scaled source below 768 pixels.
    ULONG p = W > w ? W / w : 1;
    while (W / p >= 768) ++p;
    if (p > 64) p = 64;
    const ZAR_HPS_ROW& hRow = kHorizontal[p - 1];
    ULONG prescale = Field(p - 1, 18, 6) | hRow.Value | ULONG(hRow.Value) << 8;
    prescale |= p > 1 ? Field(hRow.Weight, 27, 3) : 0x20000u;
    words[ZAR_HPS_W_H_PRESCALE] = prescale;

    const ULONG f = W != w ? ULONG(((ULONGLONG(W) * kTwo52 / w) / p) / kTwo42) + 1 : kUnityScale;
    words[ZAR_HPS_W_H_SCALE] |= Field(f, 12, 12) | (f == kUnityScale ? 0x80000000u : 0);

    scaler->PreFilterSelection = w >= W ? 0 : w < W / 2 ? 3 : 4 * W / w - 4;

    ULONG gain;
    if (ULONGLONG(h) * 1024 / L > 512) {
        // Interpolation between lines.
        gain = 0x00FF;
        const ULONG i = L != h ? 1024 * L / (h + 1) - 1024 : 0;
        ULONG a = Field(i / 16, 8, 7), b = Field(i / 16 + i / 32, 1, 7);
        if (r->FieldOrder == 2) {
            a = Field(i / 16 + i / 32, 8, 7);
            b = Field(i / 16, 1, 7);
        }
        words[ZAR_HPS_W_V_SCALE] = Field(i, 21, 10) | a | b;
    } else {
        // Accumulation of several lines into one.
        const ULONGLONG y = ULONGLONG(L - h - 1) * kTwo52 / L;
        const ULONG c = ULONG(y / kTwo42) + (y % kTwo32 != 0 ? 1 : 0);
        ULONG k = c >= 512 ? c / (1024 - c) : 0;
        const ULONG steps = (c + 15) / 16;
        words[ZAR_HPS_W_V_SCALE] = 0x80000000u | Field(k, 15, 6) | Field(c, 21, 10) | Field(steps, 8, 7) | Field(steps, 1, 7);
        if (k > 63) k = 63;
        gain = kVertical[k].Value | Field(kVertical[k].Weight, 16, 3);
    }
    gain = ZarHpsDeterminePreFilter(scaler, gain);
    scaler->LastVerticalGain = gain;
    words[ZAR_HPS_W_V_GAIN] = gain;
}

ULONG ZarHpsDeterminePreFilter(const ZAR_HPS_SCALER* scaler, ULONG gain)
{
    gain &= 0x00FFFFFF;
    switch (scaler->PreFilterMode) {
    case 1: return gain;
    case 2: return gain | 0xFE000000;
    default: return gain | (scaler->PreFilterSelection & 15) << 28 | (scaler->PreFilterSelection & 15) << 24;
    }
}

ULONG ZarHpsProcAmpWord(const ZAR_HPS_SCALER* s)
{
    // The caller's words are unchecked 32-bit values: computed in 64 bits,
    // a large one clamps at the top instead of wrapping to the bottom.
    LONGLONG brightness = LONGLONG(s->Brightness) + LONGLONG(s->Contrast) * 112 / 64 - 112;
    if (brightness < 0) brightness = 0;
    if (brightness > 255) brightness = 255;
    ULONG contrast = s->Contrast, saturation = s->Saturation;
    auto boosted = [](ULONG v) { return ULONGLONG(v) * 8 / 7 > 127 ? 127u : ULONG(ULONGLONG(v) * 8 / 7); };
    if (s->PreFilterMode == 2) {
        contrast = boosted(contrast);
        saturation = boosted(saturation);
    }
    return ULONG(brightness) << 24 | (contrast & 0xFF) << 16 | (saturation & 0xFF);
}

void ZarHpsScaleRegister(PZAR_DEVICE_EXTENSION ext, ZAR_HPS_CAPTURE_REQUEST* request, ULONG words[5])
{
    ZAR_HPS_GEOMETRY g{ext->Standard, ext->ActiveLinesPerField, ext->Hdcam24FpsMode == 1};
    ZarHpsScaleWords(&g, &ext->Hps.Scaler, request, words);
}

void ZarHpsApplyProcAmps(PZAR_DEVICE_EXTENSION ext)
{
    if (ext->Registers == nullptr) return;
    ZarBridgeWrite(ext, ZAR_HPS_BCS_CTRL, ZarHpsProcAmpWord(&ext->Hps.Scaler));
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC2, ZAR_HPS_UPLOAD_SCALER_V);
}

void ZarHpsApplyPreFilter(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_HPS_SCALER& s = ext->Hps.Scaler;
    s.LastVerticalGain = ZarHpsDeterminePreFilter(&s, s.LastVerticalGain);
    if (ext->Registers == nullptr) return;
    ZarBridgeWrite(ext, ZAR_HPS_V_GAIN, s.LastVerticalGain);
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC2, ZAR_HPS_UPLOAD_SCALER_H);
}

// {contrast, brightness, saturation}, kept for later captures and applied now.
NTSTATUS ZarSaa7146SetHpsProcAmps(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    auto* words = static_cast<PULONG>(buffer);
    ZAR_HPS_SCALER& s = ext->Hps.Scaler;
    s.Contrast = words[0];
    s.Brightness = words[1];
    s.Saturation = words[2];
    ZarHpsApplyProcAmps(ext);
    return STATUS_SUCCESS;
}

NTSTATUS ZarSaa7146SetHpsPreFilter(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ext->Hps.Scaler.PreFilterMode = *static_cast<PULONG>(buffer);
    ZarHpsApplyPreFilter(ext);
    ZarHpsApplyProcAmps(ext);
    return STATUS_SUCCESS;
}
