#include "effects.h"

#include <algorithm>
#include <cstring>

#include "board_regs.h"

namespace sim {

using namespace fx;

namespace {

uint8_t Clamp(int v) { return uint8_t(std::clamp(v, 0, 255)); }

}  // namespace

EffectUnits::EffectUnits(BoardRegs& regs, int standard) : regs_(regs), programme_(standard)
{
    for (auto& store : stores_)
        for (auto& buffer : store) buffer.assign(kStorePixels, 0);
    auto write = [this](uint32_t a, uint16_t v) { Write(a, v); };
    regs_.WatchRange(kProcAmp0, 0x5467, write);
    regs_.WatchRange(0x546C, 0x54A4, write);
    regs_.WatchRange(0x5004, 0x5020, write);
    regs_.WatchRange(0x4C04, 0x4C08, write);
    regs_.WatchRange(0x4C80, 0x4C80, write);
    regs_.WatchRange(0x4D00, 0x4D00, write);
    regs_.WatchRange(kFrameTransfer, kFrameTransfer, write);
    regs_.WatchRange(kDveFirst, kDveLast, write);
}

void EffectUnits::Reset()
{
    log_.clear();
    brsIgnored_ = 0;
    trace_("reset");
}

uint16_t EffectUnits::Register(uint32_t address) const { return regs_.Peek(address); }

void EffectUnits::Write(uint32_t address, uint16_t value)
{
    if (logging_) log_.push_back({field_, address, value});
    trace_("0x%04x := 0x%04x", address, value);
}

uint32_t* EffectUnits::StoreLine(int store, int buffer, uint32_t pixel)
{
    return stores_[store & 1][buffer & 1].data() + (pixel % kStorePixels);
}

uint32_t EffectUnits::StorePixel(int store, int buffer, uint32_t pixel) const
{
    return stores_[store & 1][buffer & 1][pixel % kStorePixels];
}

void EffectUnits::OnBrsLine(const uint8_t* data, uint32_t bytes, uint32_t line)
{
    int store;
    int buffer;
    uint16_t control;
    uint16_t row;
    if (Register(kStoreAWrite) & kABusy) {
        store = 0;
        control = Register(kStoreAWrite);
        buffer = (control & kAWriteBuffer2) ? 1 : 0;
        row = Register(kStoreAWriteRow);
    } else if (Register(kStoreBWrite) & kBBusy) {
        store = 1;
        control = Register(kStoreBWrite);
        buffer = (control & kBWriteBuffer2) ? 1 : 0;
        row = Register(kStoreBWriteRow);
    } else {
        brsIgnored_ += 1;
        return;
    }
    uint32_t lineLength = (control & kWide) ? 1536 : 720;
    uint32_t start = (uint32_t(row) * 128 + (control & 0x7F)) * 2 + line * lineLength;
    uint32_t pixels = std::min<uint32_t>(bytes / 4, kStorePixels - (start % kStorePixels));
    std::memcpy(StoreLine(store, buffer, start), data, pixels * 4);
}

void EffectUnits::Grab(const VideoField& input, int parity)
{
    uint16_t control = Register(kStoreBWrite);
    int buffer = (control & kBWriteBuffer2) ? 1 : 0;
    uint32_t base = (uint32_t(Register(kStoreBWriteRow)) * 128 + (control & 0x7F)) * 2;
    if (parity == 0) base += kSecondFieldPixels;
    const VideoGeometry& g = input.Geometry();
    for (int l = 0; l < g.activeLines; ++l) {
        uint32_t* out = StoreLine(1, buffer, base + uint32_t(l) * 720);
        const uint8_t* y = input.Y() + l * VideoGeometry::kWidth;
        const uint8_t* cb = input.Cb() + l * VideoGeometry::kChromaWidth;
        const uint8_t* cr = input.Cr() + l * VideoGeometry::kChromaWidth;
        for (int x = 0; x < VideoGeometry::kWidth; ++x)
            out[x] = uint32_t(cb[x / 2]) | uint32_t(y[x]) << 8 | uint32_t(cr[x / 2]) << 16 | 0xFFu << 24;
    }
}

void EffectUnits::ProcAmp(VideoField& f, uint32_t base) const
{
    int r[5];
    for (int i = 0; i < 5; ++i) r[i] = Register(base + 4 * i) & 0xFF;
    const VideoGeometry& g = f.Geometry();
    if (r[0] == 255 && r[1] == 0) {
        f.Fill(uint8_t(r[2]), uint8_t((r[3] + 128) & 0xFF), uint8_t((r[4] + 128) & 0xFF));
        return;
    }
    if (r[0] == 128 && r[1] == 128 && r[2] == 16 && r[3] == 0 && r[4] == 0) return;  // neutral
    for (int l = 0; l < g.activeLines; ++l) {
        uint8_t* y = f.Y() + l * VideoGeometry::kWidth;
        for (int x = 0; x < VideoGeometry::kWidth; ++x) y[x] = Clamp((y[x] - 16) * r[0] / 128 + r[2]);
        uint8_t* cb = f.Cb() + l * VideoGeometry::kChromaWidth;
        uint8_t* cr = f.Cr() + l * VideoGeometry::kChromaWidth;
        for (int x = 0; x < VideoGeometry::kChromaWidth; ++x) {
            cb[x] = Clamp(128 + (cb[x] - 128) * r[1] / 128 + int8_t(r[3]));
            cr[x] = Clamp(128 + (cr[x] - 128) * r[1] / 128 + int8_t(r[4]));
        }
    }
}

void EffectUnits::KeyStore(VideoField& f, int parity) const
{
    int level = std::min<int>(Register(kDownstreamKeyLevel) & 0xFF, 128);
    if (level == 0) return;
    uint16_t control = Register(kStoreAControl);
    int buffer = (control & kReadBuffer2) ? 1 : 0;
    uint32_t base = (uint32_t(Register(kStoreARow)) * 128 + (Register(kStoreAColumn) & 0x7F)) * 2;
    if (parity == 0 && (control & kReadFrame)) base += kSecondFieldPixels;
    const VideoGeometry& g = f.Geometry();
    for (int l = 0; l < g.activeLines; ++l) {
        const uint32_t* px = stores_[0][buffer].data();
        uint8_t* y = f.Y() + l * VideoGeometry::kWidth;
        uint8_t* cb = f.Cb() + l * VideoGeometry::kChromaWidth;
        uint8_t* cr = f.Cr() + l * VideoGeometry::kChromaWidth;
        for (int x = 0; x < VideoGeometry::kWidth; ++x) {
            uint32_t p = px[(base + uint32_t(l) * 720 + uint32_t(x)) % kStorePixels];
            int a = int(p >> 24) * level / 128;  // 0-255
            if (a == 0) continue;
            y[x] = uint8_t((y[x] * (255 - a) + int((p >> 8) & 0xFF) * a) / 255);
            if ((x & 1) == 0) {
                cb[x / 2] = uint8_t((cb[x / 2] * (255 - a) + int(p & 0xFF) * a) / 255);
                cr[x / 2] = uint8_t((cr[x / 2] * (255 - a) + int((p >> 16) & 0xFF) * a) / 255);
            }
        }
    }
}

void EffectUnits::Fade(VideoField& f) const
{
    int gain = Register(kMasterFade) & 0xFF;
    if (gain == 255) return;
    const VideoGeometry& g = f.Geometry();
    for (int l = 0; l < g.activeLines; ++l) {
        uint8_t* y = f.Y() + l * VideoGeometry::kWidth;
        for (int x = 0; x < VideoGeometry::kWidth; ++x) y[x] = uint8_t(16 + (y[x] - 16) * gain / 255);
        uint8_t* cb = f.Cb() + l * VideoGeometry::kChromaWidth;
        uint8_t* cr = f.Cr() + l * VideoGeometry::kChromaWidth;
        for (int x = 0; x < VideoGeometry::kChromaWidth; ++x) {
            cb[x] = uint8_t(128 + (cb[x] - 128) * gain / 255);
            cr[x] = uint8_t(128 + (cr[x] - 128) * gain / 255);
        }
    }
}

void EffectUnits::OnField(uint64_t field, int parity, const VideoField& played, bool playedValid,
                          const VideoField& input)
{
    field_ = field;
    if ((regs_.Peek(kStoreBControl) & kGrab) && !(Register(kStoreBWrite) & kBBusy)) Grab(input, parity);
    VideoField& out = programme_.Field(0, parity);
    out = playedValid ? played : input;
    ProcAmp(out, kProcAmp0);
    KeyStore(out, parity);
    Fade(out);
    programme_.CountShown(0);
}

}  // namespace sim
