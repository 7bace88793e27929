// Still capture through the board's scaler: the caller's 120-byte request
// checked, turned into the driver's capture request and sent; the image
// geometry that callers size their buffers by; the waveform bitmap and the
// proc-amp dialog's argument checks.
#pragma once

#include <cstdint>

#include "include/zardll.h"
#include "include/zarkd.h"

class CBoardConnection;

namespace zarapi {

// Bytes a pixel of a capture format: 3 for 24 bits, 2 for the 16-bit
// formats, 4 for anything else.
uint32_t CaptureBytesPerPixel(uint32_t format);
// A line's bytes rounded up to a multiple of 4, and the image's bytes.
uint32_t CaptureStride(uint32_t format, uint32_t width);
uint32_t CaptureImageSize(uint32_t format, uint32_t width, uint32_t height);
// The 40-byte device-independent bitmap header of a capture.
void FillCaptureHeader(const ZAR_HPS_CAPTURE_IMAGE& request, void* header);

// The active lines of a field and of a frame of the board's standard.
struct ActiveLines {
    uint32_t field;
    uint32_t frame;
};
ActiveLines BoardActiveLines(const CBoardConnection& connection);

// The request's fields against their limits (commands 0, 1, 2 and 4).
bool CaptureFieldsValid(const ZAR_HPS_CAPTURE_IMAGE& request, ActiveLines lines);
// The scaler's request for the caller's one: every capture parameter
// passed on, the field mode's default applied. Buffer, ring and kind are
// left for the caller to set.
ZAR_HPS_CAPTURE_REQUEST ScalerRequest(const ZAR_HPS_CAPTURE_IMAGE& request, ActiveLines lines, uint32_t extra);

// The body of ZarHpsCaptureImage and of the export engine's grabs; the
// request is accessible at its size. 0, -1 (the driver refused) or -2.
int32_t HpsCaptureImage(CBoardConnection& connection, ZAR_HPS_CAPTURE_IMAGE* request, uint32_t extra);
int32_t HpsCaptureQuery(const ZAR_HPS_CAPTURE_IMAGE& request, uint32_t kind);
int32_t HpsGetWaveformBitmap(CBoardConnection& connection, ZAR_WAVEFORM_REQUEST* request);
int32_t ProcAmpWaveformDlg(CBoardConnection& connection, ZAR_PROC_AMP_WAVEFORM_DLG* request);

}  // namespace zarapi
