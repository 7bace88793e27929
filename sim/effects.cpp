#include "effects.h"

#include <algorithm>
#include <array>
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
    if (store == 0) {
        // A field still to be drawn keys the store as it was.
        std::lock_guard lock(composeLock_);
        for (int parity = 0; parity < 2; ++parity)
            if (shown_[parity].waiting && Keyed(shown_[parity])) Draw(parity);
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

namespace {

using Table = std::array<uint8_t, 256>;

// Each plane's samples of the active lines through its table; the lines
// below them are copied as they are. 'from' may be 'to'.
void MapField(const VideoField& from, VideoField& to, const Table& y, const Table& cb, const Table& cr)
{
    if (&from != &to && !(from.Geometry().codecLines == to.Geometry().codecLines &&
                          from.Geometry().activeLines == to.Geometry().activeLines)) {
        to = from;
        MapField(to, to, y, cb, cr);
        return;
    }
    const VideoGeometry& g = to.Geometry();
    const size_t luma = size_t(g.activeLines) * VideoGeometry::kWidth;
    const size_t chroma = size_t(g.activeLines) * VideoGeometry::kChromaWidth;
    auto map = [](const uint8_t* in, uint8_t* out, size_t n, const Table& t) {
        for (size_t i = 0; i < n; ++i) out[i] = t[in[i]];
    };
    map(from.Y(), to.Y(), luma, y);
    map(from.Cb(), to.Cb(), chroma, cb);
    map(from.Cr(), to.Cr(), chroma, cr);
    if (&from == &to) return;
    const size_t lumaAll = size_t(g.codecLines) * VideoGeometry::kWidth;
    const size_t chromaAll = size_t(g.codecLines) * VideoGeometry::kChromaWidth;
    std::memcpy(to.Y() + luma, from.Y() + luma, lumaAll - luma);
    std::memcpy(to.Cb() + chroma, from.Cb() + chroma, chromaAll - chroma);
    std::memcpy(to.Cr() + chroma, from.Cr() + chroma, chromaAll - chroma);
}

Table Compose(const Table& first, const Table& then)
{
    Table t;
    for (int i = 0; i < 256; ++i) t[i] = then[first[i]];
    return t;
}

}  // namespace

void EffectUnits::KeyStore(VideoField& f, int parity, const Shown& s) const
{
    int level = std::min<int>(s.keyLevel & 0xFF, 128);
    uint16_t control = s.storeAControl;
    int buffer = (control & kReadBuffer2) ? 1 : 0;
    uint32_t base = (uint32_t(s.storeARow) * 128 + (s.storeAColumn & 0x7F)) * 2;
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

bool EffectUnits::Keyed(const Shown& s) { return (s.keyLevel & 0xFF) != 0; }

void EffectUnits::OnField(uint64_t field, int parity, const VideoField& played, bool playedValid,
                          std::shared_ptr<const VideoField> input)
{
    std::lock_guard lock(composeLock_);
    field_ = field;
    if ((regs_.Peek(kStoreBControl) & kGrab) && !(Register(kStoreBWrite) & kBBusy)) Grab(*input, parity);
    // Only what the field needs is kept; it is drawn when read.
    Shown& s = shown_[parity & 1];
    s.waiting = true;
    s.played = playedValid ? &played : nullptr;
    s.input = playedValid ? nullptr : std::move(input);
    for (int i = 0; i < 5; ++i) s.procAmp[i] = uint8_t(Register(kProcAmp0 + 4 * i) & 0xFF);
    s.keyLevel = Register(kDownstreamKeyLevel);
    s.storeAControl = Register(kStoreAControl);
    s.storeARow = Register(kStoreARow);
    s.storeAColumn = Register(kStoreAColumn);
    s.fade = Register(kMasterFade);
    programme_.CountShown(0);
}

void EffectUnits::BeforePlayedChanges(int parity)
{
    std::lock_guard lock(composeLock_);
    if (shown_[parity & 1].waiting && shown_[parity & 1].played) Draw(parity & 1);
}

const VideoOutput& EffectUnits::Programme() const
{
    std::lock_guard lock(composeLock_);
    for (int parity = 0; parity < 2; ++parity)
        if (shown_[parity].waiting) Draw(parity);
    return programme_;
}

// The old field through the proc amp, the key and the master fade. The proc
// amp and the fade are tables of the field's registers, one look-up a sample
// (together one table when nothing is keyed between them).
void EffectUnits::Draw(int parity) const
{
    Shown& s = shown_[parity];
    const VideoField& source = s.played ? *s.played : *s.input;
    VideoField& out = programme_.Field(0, parity);
    const uint8_t* r = s.procAmp;
    const bool matte = r[0] == 255 && r[1] == 0;
    Table procY, procCb, procCr, fadeY, fadeC;
    for (int v = 0; v < 256; ++v) {
        procY[v] = Clamp((v - 16) * r[0] / 128 + r[2]);
        procCb[v] = Clamp(128 + (v - 128) * r[1] / 128 + int8_t(r[3]));
        procCr[v] = Clamp(128 + (v - 128) * r[1] / 128 + int8_t(r[4]));
    }
    const int gain = s.fade & 0xFF;
    for (int v = 0; v < 256; ++v) {
        fadeY[v] = uint8_t(16 + (v - 16) * gain / 255);
        fadeC[v] = uint8_t(128 + (v - 128) * gain / 255);
    }
    if (matte) {
        out = source;
        out.Fill(uint8_t(r[2]), uint8_t((r[3] + 128) & 0xFF), uint8_t((r[4] + 128) & 0xFF));
        if (Keyed(s)) KeyStore(out, parity, s);
        if (gain != 255) MapField(out, out, fadeY, fadeC, fadeC);
    } else if (!Keyed(s)) {
        MapField(source, out, Compose(procY, fadeY), Compose(procCb, fadeC), Compose(procCr, fadeC));
    } else {
        MapField(source, out, procY, procCb, procCr);
        KeyStore(out, parity, s);
        if (gain != 255) MapField(out, out, fadeY, fadeC, fadeC);
    }
    s.waiting = false;
    s.played = nullptr;
    s.input.reset();
}

}  // namespace sim
