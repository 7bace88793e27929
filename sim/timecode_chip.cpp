#include "timecode_chip.h"

#include <algorithm>

#include "board_regs.h"
#include "field_clock.h"
#include "saa7146.h"
#include "video_io.h"

namespace sim {

using namespace timecode;

namespace {

// The sync word's bits in the order they are sent (bit 64 first).
bool SyncBit(int i) { return (kLtcSyncWord >> (15 - i)) & 1; }

uint64_t LinePeriodNs(int standard)
{
    // 262.5 or 312.5 lines a field.
    return standard == 625 ? 64'000 : FieldClock::FieldsToNs(525, 2) / 525;
}

// 5 x 7 glyphs, one row a byte (bit 4 the left column), by character code:
// 0-9 the digits, 10, 11 and 14 "?", 12 and 13 "_", 15 blank.
constexpr uint8_t kGlyphs[16][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x00, 0x04}, {0x0E, 0x11, 0x01, 0x02, 0x04, 0x00, 0x04},
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1F}, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1F},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x00, 0x04}, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
};

}  // namespace

void EncodeLtcFrame(const LtcFrame& frame, std::vector<int8_t>& halfBits)
{
    int8_t level = halfBits.empty() ? 1 : halfBits.back();
    auto send = [&](bool one) {
        level = int8_t(-level);  // every bit cell starts with a transition
        halfBits.push_back(level);
        if (one) level = int8_t(-level);  // a one has a second one mid-cell
        halfBits.push_back(level);
    };
    for (int bit = 0; bit < 64; ++bit) send((frame[bit / 8] >> (bit % 8)) & 1);
    for (int i = 0; i < 16; ++i) send(SyncBit(i));
}

bool DecodeLtcFrame(const std::vector<int8_t>& halfBits, LtcFrame* frame)
{
    // Cells are found where every boundary carries a transition; the value
    // of a cell is whether it changes in its middle.
    for (size_t phase = 0; phase < 2; ++phase) {
        std::vector<uint8_t> bits;
        for (size_t i = phase; i + 1 < halfBits.size(); i += 2) {
            if (i > 0 && halfBits[i] == halfBits[i - 1]) {
                bits.clear();  // no boundary here: out of step, start again
                continue;
            }
            bits.push_back(halfBits[i] != halfBits[i + 1]);
            if (bits.size() < size_t(kLtcBits)) continue;
            size_t start = bits.size() - kLtcBits;
            bool sync = true;
            for (int s = 0; s < 16 && sync; ++s) sync = bits[start + 64 + s] == SyncBit(s);
            if (!sync) continue;
            frame->fill(0);
            for (int b = 0; b < 64; ++b) (*frame)[b / 8] |= uint8_t(bits[start + b] << (b % 8));
            return true;
        }
    }
    return false;
}

TimeCodeChip::TimeCodeChip(Saa7146& bridge, BoardRegs& regs, int standard)
    : bridge_(bridge), regs_(regs), standard_(standard == 625 ? 625 : 525)
{
    regs_.MapRange(kDirect0, kDataPort + 3, [this](uint32_t a) { return Read(a); },
                   [this](uint32_t a, uint16_t v) { Write(a, v); });
}

void TimeCodeChip::Reset()
{
    if (pendingInterrupt_ != 0 && host_) host_->Cancel(pendingInterrupt_);
    pendingInterrupt_ = 0;
    file_.fill(0);
    direct_.fill(0);
    index_ = 0;
    autoIncrement_ = false;
    wire_.clear();
    output_.clear();
    outputLevel_ = 1;
    window_ = {};
    regs_.SetSourceAsserted(BoardIrqSource::TimeCode, false);
    trace_("reset");
}

void TimeCodeChip::PowerOff()
{
    if (pendingInterrupt_ != 0 && host_) host_->Cancel(pendingInterrupt_);
    pendingInterrupt_ = 0;
}

uint16_t TimeCodeChip::Read(uint32_t address)
{
    switch (address & ~3u) {
    case kDirect0: {
        // The read answers the interrupt: the flags go back as they were and the line is released.
        uint8_t flags = direct_[0];
        direct_[0] &= uint8_t(~kDirect0TimeCodeInterrupt);
        regs_.SetSourceAsserted(BoardIrqSource::TimeCode, false);
        return flags;
    }
    case kDirect1: return direct_[1];
    case kIndexPort: return uint16_t(index_ | (autoIncrement_ ? kIndexAutoIncrement : 0));
    case kDataPort: {
        uint8_t value = file_[index_];
        if (autoIncrement_) index_ = uint8_t((index_ + 1) & 63);
        return value;
    }
    }
    return 0;
}

void TimeCodeChip::Write(uint32_t address, uint16_t value)
{
    switch (address & ~3u) {
    case kDirect0:
        // Only the enable is writable; a pending interrupt stays until read.
        direct_[0] = uint8_t((direct_[0] & kDirect0TimeCodeInterrupt) | (value & ~kDirect0TimeCodeInterrupt & 0xFF));
        trace_("direct 0 := 0x%02x", direct_[0]);
        return;
    case kDirect1:
        return;  // reader flags are read-only
    case kIndexPort:
        index_ = uint8_t(value & 63);
        autoIncrement_ = (value & kIndexAutoIncrement) != 0;
        return;
    case kDataPort:
        file_[index_] = uint8_t(value);
        trace_("indirect %u := 0x%02x", index_, uint8_t(value));
        if (autoIncrement_) index_ = uint8_t((index_ + 1) & 63);
        return;
    }
}

void TimeCodeChip::OnField(uint64_t field, int parity)
{
    (void)field;
    if (parity == 1) LtcFrameStart();
    VitcField(parity);
    Window& w = window_[parity & 1];
    w.column = file_[kBurnInColumn];
    w.line = file_[kBurnInLine];
    w.control = file_[kBurnInControl];
    w.indicator = file_[kExchangeControl] & 1;
    std::copy_n(&file_[kBurnInCodes], 4, w.codes.begin());

    if (!host_) return;
    uint64_t line = (file_[kVideoSetup + 1] & 0x3F) + 1;
    if (pendingInterrupt_ != 0) host_->Cancel(pendingInterrupt_);
    pendingInterrupt_ = host_->Schedule(host_->Now() + line * LinePeriodNs(standard_), [this] {
        std::lock_guard lock(bridge_.Lock());
        pendingInterrupt_ = 0;
        RaiseInterrupt();
    });
}

void TimeCodeChip::RaiseInterrupt()
{
    if (!(direct_[0] & kDirect0InterruptEnable)) return;
    direct_[0] |= kDirect0TimeCodeInterrupt;
    ++interrupts_;
    regs_.SetSourceAsserted(BoardIrqSource::TimeCode, true);
}

void TimeCodeChip::LtcFrameStart()
{
    LtcFrame read{};
    if (DecodeLtcFrame(wire_, &read)) {
        std::copy(read.begin(), read.end(), &file_[kLtcReader]);
        direct_[1] |= kDirect1LtcPresent;
    } else {
        direct_[1] &= uint8_t(~kDirect1LtcPresent);
    }
    wire_.clear();

    bool sending = (file_[kLtcGain] & 0x0F) != 0;
    if (sending) {
        LtcFrame frame;
        std::copy_n(&file_[kLtcGenerator], 8, frame.begin());
        std::vector<int8_t> bits{outputLevel_};
        EncodeLtcFrame(frame, bits);
        outputLevel_ = bits.back();
        output_.insert(output_.end(), bits.begin() + 1, bits.end());
        // Keep at most a few minutes of output for a test to take.
        constexpr size_t kKeep = 160 * 30 * 600;
        if (output_.size() > kKeep) output_.erase(output_.begin(), output_.begin() + (output_.size() - kKeep));
        if (ltcSource_ == LtcSource::Loopback) wire_.assign(bits.begin() + 1, bits.end());
    }
    if (ltcSource_ == LtcSource::Fed && !fed_.empty()) {
        EncodeLtcFrame(fed_.front(), wire_);
        fed_.pop_front();
    }
}

void TimeCodeChip::VitcField(int parity)
{
    uint8_t generator = file_[kVitcGeneratorLines + (parity ? 0 : 1)];
    uint8_t reader = file_[kVitcReaderLines + (parity ? 0 : 1)];
    bool inserted = (generator & 0x80) != 0;
    int insertedLine = generator & 0x1F;
    bool found = false;
    if ((reader & 0x80) && inserted) {
        int wanted = reader & 0x1F;
        found = wanted == 31 || wanted == insertedLine;
    }
    if (found) {
        std::copy_n(&file_[kVitcGenerator], 8, &file_[kVitcReader]);
        file_[kVitcReader + 8] = uint8_t(insertedLine);
    } else {
        file_[kVitcReader + 8] = 0xFF;
    }
}

std::vector<int8_t> TimeCodeChip::TakeLtcOutput()
{
    std::lock_guard lock(bridge_.Lock());
    std::vector<int8_t> out;
    out.swap(output_);
    return out;
}

void TimeCodeChip::KeyBurnIn(int parity, VideoField& field) const
{
    const Window& w = window_[parity & 1];
    if (w.column == 255 || w.line == 0) return;
    const int scale = (w.control & 1) ? 3 : 2;
    const int cellW = 6 * scale, cellH = 8 * scale;
    const int x0 = w.column * 3, y0 = w.line;
    const int lines = field.Geometry().activeLines;
    auto put = [&](int x, int y, bool on) {
        if (x < 0 || x >= VideoGeometry::kWidth || y < 0 || y >= lines) return;
        field.Y()[y * VideoGeometry::kWidth + x] = on ? 235 : 16;
        field.Cb()[y * VideoGeometry::kChromaWidth + x / 2] = 128;
        field.Cr()[y * VideoGeometry::kChromaWidth + x / 2] = 128;
    };
    for (int c = 0; c < 9; ++c) {
        // Eight characters, high nibble of register 45 first, then the indicator cell.
        int code = 15;
        if (c < 8) {
            uint8_t pair = w.codes[3 - c / 2];
            code = c % 2 == 0 ? pair >> 4 : pair & 15;
        }
        for (int y = 0; y < cellH; ++y)
            for (int x = 0; x < cellW; ++x) {
                int gx = x / scale, gy = y / scale - 0;
                bool on = false;
                if (c < 8 && gx < 5 && gy < 7) on = (kGlyphs[code][gy] >> (4 - gx)) & 1;
                if (c == 8) on = w.indicator && gx >= 1 && gx < 4 && gy >= 2 && gy < 5;
                put(x0 + c * cellW + x, y0 + y, on);
            }
    }
}

}  // namespace sim
