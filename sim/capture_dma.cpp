#include "capture_dma.h"

#include <algorithm>
#include <vector>

#include "saa7146.h"
#include "video_io.h"

namespace sim {

using namespace capture;

namespace {

uint8_t Clamp(int v) { return uint8_t(std::clamp(v, 0, 255)); }

// BT.601 studio range, in 1/256 steps.
void ToRgb(int y, int cb, int cr, uint8_t* r, uint8_t* g, uint8_t* b)
{
    int c = 298 * (y - 16), d = cb - 128, e = cr - 128;
    *r = Clamp((c + 409 * e + 128) >> 8);
    *g = Clamp((c - 100 * d - 208 * e + 128) >> 8);
    *b = Clamp((c + 516 * d + 128) >> 8);
}

}  // namespace

void CaptureDma::Reset()
{
    overflowPending_ = false;
    rpsRunning_ = false;
    rpsPc_ = 0;
}

void CaptureDma::OutputSize(int* width, int* lines) const
{
    const uint32_t nlb = bridge_.Active(kNumLineByte1);
    const int W = int(nlb & 0xFFF);
    const int L = int((nlb >> 16) & 0xFFF) - 2;
    const uint32_t pre = bridge_.Active(kHpsHPrescale), hs = bridge_.Active(kHpsHScale);
    const int p = int((pre >> 18) & 63) + 1;
    const int f = int((hs >> 12) & 0xFFF);
    *width = (hs & 0x80000000u) || f <= 1 ? W / p : int(int64_t(W) * 1024 / (int64_t(p) * (f - 1)));
    const uint32_t vs = bridge_.Active(kHpsVScale);
    const int c = int((vs >> 21) & 0x3FF);
    if (vs & 0x80000000u)
        *lines = L - 1 - c * L / 1024;  // lines accumulated
    else
        *lines = c == 0 ? L : int(int64_t(1024) * L / (c + 1024)) - 1;  // interpolated
}

void CaptureDma::OnField(uint64_t field, int parity)
{
    const uint32_t mc1 = bridge_.Active(saa7146::kMc1);
    if (mc1 & kMc1Dma1) {
        if (bridge_.Active(kBasePage1) & kPageStop) {
            bridge_.ClearMainControl1(kMc1Dma1);
            trace_("stopped");
        } else if (field > 0) {
            Transfer(field - 1, parity ^ 1);
        }
    }
    if (mc1 & kMc1Rps1) {
        if (!rpsRunning_) {
            rpsRunning_ = true;
            rpsPc_ = bridge_.Active(kRpsAddr1);
        }
        RunRps(parity);
    } else {
        rpsRunning_ = false;
    }
}

bool CaptureDma::HostWrite(uint32_t linear, const uint8_t* data, uint32_t length)
{
    hw::Host* host = bridge_.Host();
    if (!host) return false;
    const uint32_t page = bridge_.Active(kBasePage1);
    while (length > 0) {
        uint32_t piece = std::min<uint32_t>(length, 4096 - (linear & 4095));
        uint32_t bus = linear;
        if (page & kPageMmu) {
            uint32_t entry = 0;
            if (!host->DmaRead((page & ~0xFFFu) + 4 * (linear >> 12), &entry, 4)) return false;
            bus = (entry & ~0xFFFu) + (linear & 4095);
        }
        if (!host->DmaWrite(bus, data, piece)) return false;
        linear += piece;
        data += piece;
        length -= piece;
    }
    return true;
}

void CaptureDma::Transfer(uint64_t field, int parity)
{
    const uint32_t base = bridge_.Active(parity == 1 ? kBaseOdd1 : kBaseEven1);
    const uint32_t prot = bridge_.Active(kProtAddr1);
    if (base == prot) return;
    const int32_t pitch = int32_t(bridge_.Active(kPitch1));
    const uint32_t format = (bridge_.Active(kClipFormat) >> 24) & 7;
    const int bpp = format == 2 ? 4 : format == 1 ? 3 : 2;

    const uint32_t nlb = bridge_.Active(kNumLineByte1);
    const VideoField& src = played_.FieldsShown(0) > 0 ? played_.Field(0, parity) : input_.Field(field);
    const int fieldLines = src.Geometry().activeLines;
    const int W = std::clamp(int(nlb & 0xFFF), 1, VideoGeometry::kWidth);
    const int L = std::clamp(int((nlb >> 16) & 0xFFF) - 2, 1, fieldLines);
    const int crop = (VideoGeometry::kWidth - W) / 2;
    const int top = fieldLines - L;
    int w = 0, h = 0;
    OutputSize(&w, &h);
    if (w <= 0 || h <= 0) return;

    if (overflowPending_) {
        overflowPending_ = false;
        bridge_.SetSecondaryStatus(kSsrOverflow, true);
        bridge_.RaiseStatus(kIsrOverflow);
    } else {
        bridge_.SetSecondaryStatus(kSsrOverflow, false);
    }

    std::vector<uint8_t> line(size_t(w) * bpp + 4);
    for (int y = 0; y < h; ++y) {
        const uint32_t at = pitch >= 0 ? base + uint32_t(y) * uint32_t(pitch) : base + uint32_t((y + 1) * pitch);
        const uint32_t bytes = uint32_t(w * bpp);
        if (pitch >= 0 ? (prot > base && at + bytes > prot) : (at < prot || at > base)) break;
        const int sy = top + y * L / h;
        const uint8_t* Y = src.Y() + sy * VideoGeometry::kWidth;
        const uint8_t* Cb = src.Cb() + sy * VideoGeometry::kChromaWidth;
        const uint8_t* Cr = src.Cr() + sy * VideoGeometry::kChromaWidth;
        for (int x = 0; x < w; ++x) {
            const int sx = crop + x * W / w;
            const int yy = Y[sx], cb = Cb[sx / 2], cr = Cr[sx / 2];
            uint8_t* o = &line[size_t(x) * bpp];
            if (format == 0) {
                // Cb Y Cr Y: the pair's chrominance from its first pixel.
                o[0] = x % 2 == 0 ? uint8_t(cb) : uint8_t(cr);
                o[1] = uint8_t(yy);
                continue;
            }
            uint8_t r, g, b;
            ToRgb(yy, cb, cr, &r, &g, &b);
            if (format == 2 || format == 1) {
                o[0] = b;
                o[1] = g;
                o[2] = r;
                if (format == 2) o[3] = 255;
            } else {
                // Code 3: x-R5-G5-B5; code 4: R5-G5-x-B5 (green one bit up).
                uint16_t v = format == 3 ? uint16_t((r >> 3) << 10 | (g >> 3) << 5 | b >> 3)
                                         : uint16_t((r >> 3) << 11 | (g >> 3) << 6 | b >> 3);
                o[0] = uint8_t(v);
                o[1] = uint8_t(v >> 8);
            }
        }
        if (!HostWrite(at, line.data(), bytes)) {
            trace_("field %llu line %d at 0x%08x: not writable", (unsigned long long)field, y, at);
            break;
        }
    }
    ++transferred_;
    trace_("field %llu (parity %d) %dx%d to 0x%08x pitch %d", (unsigned long long)field, parity, w, h, base, pitch);
}

void CaptureDma::RunRps(int parity)
{
    hw::Host* host = bridge_.Host();
    if (!host) return;
    uint32_t events = 0x100 | (parity == 1 ? 0x4 : 0);
    for (int step = 0; step < 32; ++step) {
        uint32_t cmd = 0;
        if (!host->DmaRead(rpsPc_, &cmd, 4)) {
            trace_("RPS1: program at 0x%08x not readable", rpsPc_);
            rpsRunning_ = false;
            return;
        }
        switch (cmd >> 28) {
        case 0x0: rpsPc_ += 4; break;
        case 0x2:
            if (!(cmd & events & 0xFFFFFF)) return;  // waits for its event
            events = 0;
            rpsPc_ += 4;
            break;
        case 0x4:
            bridge_.MmioWrite(0, saa7146::kMc2, (cmd & 0x7FF) << 16 | (cmd & 0x7FF), 4);
            ++rpsUploads_;
            rpsPc_ += 4;
            break;
        case 0x8: {
            uint32_t target = 0;
            host->DmaRead(rpsPc_ + 4, &target, 4);
            rpsPc_ = target;
            break;
        }
        default: rpsPc_ += 4; break;
        }
    }
}

}  // namespace sim
