// Still capture: one image or a ring of images through the scaler into the
// caller's memory, and the calls that size and describe those images.

#include "zar_still_capture.h"

#include <cstdio>
#include <cstring>

#include "platform/user/user.h"
#include "zar_connection.h"
#include "zar_preview.h"

namespace zarapi {

namespace {

constexpr uint32_t kFourCcUyvy = 'U' | ('Y' << 8) | ('V' << 16) | ('Y' << 24);

bool Flag(uint32_t v) { return v <= 1; }

bool PowerOfTwoRing(uint32_t count) { return count >= 2 && count <= 32 && (count & (count - 1)) == 0; }

bool CaptureFormat(uint32_t format)
{
    return format == ZAR_HPS_FORMAT_BGRA || format == ZAR_HPS_FORMAT_BGR || format == ZAR_HPS_FORMAT_UYVY;
}

bool Writable(uint32_t address, uint32_t bytes)
{
    return address != 0 && !IsBadWritePtr(reinterpret_cast<void*>(uintptr_t(address)), bytes);
}

bool Send(CBoardConnection& connection, ZAR_HPS_CAPTURE_REQUEST* request)
{
    DWORD returned = 0;
    return SendDeviceRequest(connection.m_hBoard, IOCTL_ZAR_HPS_CAPTURE, request, sizeof *request, request,
                             sizeof *request, &returned, nullptr) != FALSE;
}

// The waveform monitor's pictures: 284 pixels, 24 bits, rows padded to 852 bytes.
constexpr uint32_t kWaveformWidth = 284;
constexpr uint32_t kWaveformRowBytes = 852;
uint32_t WaveformHeight(uint32_t display) { return display == 2 ? 243 : 247; }

}  // namespace

uint32_t CaptureBytesPerPixel(uint32_t format)
{
    switch (format) {
    case 1: return 3;
    case 2:
    case 3:
    case 4:
    case 16: return 2;
    default: return 4;
    }
}

uint32_t CaptureStride(uint32_t format, uint32_t width) { return (width * CaptureBytesPerPixel(format) + 3) & ~3u; }

uint32_t CaptureImageSize(uint32_t format, uint32_t width, uint32_t height)
{
    return CaptureStride(format, width) * height;
}

void FillCaptureHeader(const ZAR_HPS_CAPTURE_IMAGE& request, void* header)
{
    BITMAPINFOHEADER h{};
    h.biSize = sizeof h;
    h.biWidth = LONG(request.Width);
    h.biHeight = LONG(request.Height);
    h.biPlanes = 1;
    h.biBitCount = WORD(CaptureBytesPerPixel(request.PixelFormat) * 8);
    h.biCompression = request.PixelFormat == ZAR_HPS_FORMAT_UYVY ? kFourCcUyvy : BI_RGB;
    h.biSizeImage = CaptureImageSize(request.PixelFormat, request.Width, request.Height);
    std::memcpy(header, &h, sizeof h);
}

ActiveLines BoardActiveLines(const CBoardConnection& connection)
{
    const bool pal = connection.m_pShared && connection.m_pShared->Standard == 625;
    return pal ? ActiveLines{288, 576} : ActiveLines{243, 486};
}

bool CaptureFieldsValid(const ZAR_HPS_CAPTURE_IMAGE& r, ActiveLines lines)
{
    const bool oneField = r.Source == 1 || r.Source == 2 || r.Command == ZAR_HPS_CAPTURE_PREVIEW_TWO;
    const uint32_t maxHeight = oneField ? lines.field : lines.frame;
    if (!Flag(r.ControlBit) || !Flag(r.ControlBitParity0) || r.FieldMode > 2 || !Flag(r.BottomUp)) return false;
    if (r.HorizontalMargin > 96 || r.TopMargin > 96) return false;
    if (r.Width < 16 || r.Width > 1280 || r.Height < 16 || r.Height > maxHeight) return false;
    if (r.Contrast > 127 || r.Brightness > 255 || r.Saturation > 127) return false;
    if ((r.Command == ZAR_HPS_CAPTURE_PREVIEW || r.Command == ZAR_HPS_CAPTURE_PREVIEW_TWO) && !Flag(r.Renderer))
        return false;
    if (r.Command == ZAR_HPS_CAPTURE_RING && !PowerOfTwoRing(r.RingCount)) return false;
    return true;
}

ZAR_HPS_CAPTURE_REQUEST ScalerRequest(const ZAR_HPS_CAPTURE_IMAGE& r, ActiveLines lines, uint32_t extra)
{
    ZAR_HPS_CAPTURE_REQUEST s{};
    s.Kind = 0;
    s.ControlBit = r.ControlBit;
    s.Fields = r.Source;
    s.FieldOrder = r.FieldMode != 0 ? r.FieldMode : lines.field == 288 ? 1 : 2;
    s.BottomUp = r.BottomUp;
    s.PixelFormat = r.PixelFormat;
    s.HorizontalCrop = r.HorizontalMargin;
    s.TopCrop = r.TopMargin;
    s.Width = r.Width;
    s.Height = r.Height;
    s.FormatOption = r.FormatOption;
    s.Contrast = r.Contrast;
    s.Brightness = r.Brightness;
    s.Saturation = r.Saturation;
    s.BufferSize = CaptureImageSize(r.PixelFormat, r.Width, r.Height);
    s.Overflow = r.Answer;
    s.StartPosition = r.Value;
    s.FreeRunning = r.FreeRunning;
    s.ReportOverflows = extra;
    return s;
}

int32_t HpsCaptureImage(CBoardConnection& connection, ZAR_HPS_CAPTURE_IMAGE* request, uint32_t extra)
{
    ZAR_HPS_CAPTURE_IMAGE& r = *request;
    if (r.Command > ZAR_HPS_CAPTURE_RING_REARM) return ZAR_E_BAD_ARGUMENT;

    // A running ring is stopped (the driver answers whether the bridge had
    // overflowed) or re-armed at a new start position; the driver does both
    // with the ring's own request kinds.
    if (r.Command == ZAR_HPS_CAPTURE_RING_STOP || r.Command == ZAR_HPS_CAPTURE_RING_REARM) {
        ZAR_HPS_CAPTURE_REQUEST s{};
        s.Kind = r.Command == ZAR_HPS_CAPTURE_RING_STOP ? 4 : 5;
        s.StartPosition = r.Value;
        if (!Send(connection, &s)) return ZAR_E_DRIVER;
        if (r.Command == ZAR_HPS_CAPTURE_RING_STOP) r.Answer = s.Overflow;
        return ZAR_OK;
    }
    if (r.Command == ZAR_HPS_CAPTURE_PREVIEW_STOP) return StopBoardPreview(connection.m_board);

    if (!CaptureFieldsValid(r, BoardActiveLines(connection))) return ZAR_E_BAD_ARGUMENT;
    if (r.Command == ZAR_HPS_CAPTURE_PREVIEW || r.Command == ZAR_HPS_CAPTURE_PREVIEW_TWO) {
        // The windows are the worker's to draw into for as long as it runs.
        if (!IsWindow(reinterpret_cast<HWND>(uintptr_t(r.Window))) ||
            (r.Command == ZAR_HPS_CAPTURE_PREVIEW_TWO && !IsWindow(reinterpret_cast<HWND>(uintptr_t(r.SecondWindow)))))
            return ZAR_E_BAD_ARGUMENT;
        return StartBoardPreview(connection.m_board, r);
    }

    if (!CaptureFormat(r.PixelFormat)) return ZAR_E_BAD_ARGUMENT;
    if (r.BitmapHeader != 0) {
        if (!Writable(r.BitmapHeader, sizeof(BITMAPINFOHEADER))) return ZAR_E_BAD_ARGUMENT;
        FillCaptureHeader(r, reinterpret_cast<void*>(uintptr_t(r.BitmapHeader)));
    }
    const uint32_t size = CaptureImageSize(r.PixelFormat, r.Width, r.Height);
    ZAR_HPS_CAPTURE_REQUEST s = ScalerRequest(r, BoardActiveLines(connection), extra);
    if (r.Command == ZAR_HPS_CAPTURE_STILL) {
        if (r.ImageBuffer == 0) return ZAR_OK;
        if (!Writable(r.ImageBuffer, size)) return ZAR_E_BAD_ARGUMENT;
        s.BufferAddress = r.ImageBuffer;
    } else {
        if (!Writable(r.RingStatus, sizeof(ZAR_HPS_RING_STATUS))) return ZAR_E_BAD_ARGUMENT;
        if (r.RingBuffers == 0 || IsBadReadPtr(reinterpret_cast<void*>(uintptr_t(r.RingBuffers)), r.RingCount * 4))
            return ZAR_E_BAD_ARGUMENT;
        const auto* list = reinterpret_cast<const uint32_t*>(uintptr_t(r.RingBuffers));
        for (uint32_t i = 0; i < r.RingCount; ++i)
            if (!Writable(list[i], size)) return ZAR_E_BAD_ARGUMENT;
        s.RingCount = r.RingCount;
        s.RingAddresses = r.RingBuffers;
        s.RingStatus = r.RingStatus;
    }
    if (!Send(connection, &s)) return ZAR_E_DRIVER;
    if (r.Command == ZAR_HPS_CAPTURE_STILL) r.Answer = s.Overflow;
    return ZAR_OK;
}

int32_t HpsCaptureQuery(const ZAR_HPS_CAPTURE_IMAGE& r, uint32_t kind)
{
    switch (kind) {
    case ZAR_HPS_QUERY_BYTES_PER_PIXEL: return int32_t(CaptureBytesPerPixel(r.PixelFormat));
    case ZAR_HPS_QUERY_STRIDE: return int32_t(CaptureStride(r.PixelFormat, r.Width));
    case ZAR_HPS_QUERY_IMAGE_SIZE: return int32_t(CaptureImageSize(r.PixelFormat, r.Width, r.Height));
    default: return ZAR_E_BAD_ARGUMENT;
    }
}

int32_t HpsGetWaveformBitmap(CBoardConnection&, ZAR_WAVEFORM_REQUEST* request)
{
    const ZAR_WAVEFORM_REQUEST& r = *request;
    if (r.Display > 2) return ZAR_E_BAD_ARGUMENT;
    if (r.Settings != 0 && !Writable(r.Settings, 44)) return ZAR_E_BAD_ARGUMENT;
    if (!Writable(r.BitmapHeader, sizeof(BITMAPINFOHEADER))) return ZAR_E_BAD_ARGUMENT;
    const uint32_t height = WaveformHeight(r.Display);
    if (r.Bitmap != 0 && !Writable(r.Bitmap, kWaveformRowBytes * height)) return ZAR_E_BAD_ARGUMENT;
    if ((r.Window != 0 || r.DrawInWindow != 0) && !IsWindow(reinterpret_cast<HWND>(uintptr_t(r.Window))))
        return ZAR_E_BAD_ARGUMENT;
    BITMAPINFOHEADER h{};
    h.biSize = sizeof h;
    h.biWidth = kWaveformWidth;
    h.biHeight = LONG(height);
    h.biPlanes = 1;
    h.biBitCount = 24;
    h.biSizeImage = kWaveformRowBytes * height;
    std::memcpy(reinterpret_cast<void*>(uintptr_t(r.BitmapHeader)), &h, sizeof h);
    if (r.Bitmap == 0 && r.DrawInWindow == 0) return ZAR_OK;
    std::fprintf(stderr, "ZarDll: ZarHpsGetWaveformBitmap: the waveform monitor is not part of this library yet\n");
    return ZAR_E_DRIVER;
}

int32_t ProcAmpWaveformDlg(CBoardConnection&, ZAR_PROC_AMP_WAVEFORM_DLG* request)
{
    if (request->ProcAmp != 0 && !Writable(request->ProcAmp, 44)) return ZAR_E_BAD_ARGUMENT;
    std::fprintf(stderr, "ZarDll: ZarProcAmpWaveformDlg: the proc-amp dialog is not part of this library yet\n");
    return ZAR_E_DRIVER;
}

}  // namespace zarapi
