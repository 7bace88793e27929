#include "input_framestore.h"

#include "board_regs.h"
#include "video_io.h"

namespace sim {

using namespace framestore;

InputFrameStore::InputFrameStore(BoardRegs& regs, VideoFeed& input) : regs_(regs), input_(input)
{
    regs_.MapRange(kPort, kPort, [this](uint32_t) { return ReadPort(); }, nullptr);
    regs_.MapRange(kFieldSelect, kFieldSelect, nullptr, [this](uint32_t, uint16_t v) { SelectField(v); });
    regs_.MapRange(kLineAddress, kLineAddress, nullptr, [this](uint32_t, uint16_t) { word_ = 0; });
    regs_.WatchRange(kVideoControl, kVideoControl, [this](uint32_t, uint16_t v) { WatchVideoControl(v); });
}

void InputFrameStore::Reset()
{
    anyEnded_ = false;
    lastEnded_ = 0;
    held_ = false;
    field_ = 0;
    word_ = 0;
    key_ = 255;
}

void InputFrameStore::OnField(uint64_t field)
{
    if (held_ || field < 2) return;
    lastEnded_ = field - 1;
    anyEnded_ = true;
}

uint64_t InputFrameStore::FieldHeld(int which) const
{
    // The last whole frame: fields 2k + 1 (parity 1) and 2k + 2 (parity 0).
    uint64_t parity0 = anyEnded_ && lastEnded_ >= 2 ? lastEnded_ & ~uint64_t(1) : 2;
    bool firstIsParity0 = input_.Geometry().standard == 525;
    bool wantParity0 = (which == 0) == firstIsParity0;
    return wantParity0 ? parity0 : parity0 - 1;
}

void InputFrameStore::SelectField(uint16_t value)
{
    field_ = value >= kSecondField ? 1 : 0;
    word_ = 0;
    trace_("read field %d from address %u", field_, unsigned(value));
}

void InputFrameStore::WatchVideoControl(uint16_t value)
{
    bool hold = (value & kHold) != 0;
    if (hold != held_) trace_(hold ? "held" : "released");
    held_ = hold;
}

uint16_t InputFrameStore::ReadPort()
{
    const VideoField& f = input_.Field(FieldHeld(field_));
    const uint32_t lines = uint32_t(f.Geometry().activeLines);
    const uint32_t line = word_ / kLineWords;
    if (line >= lines) return 0;
    const uint32_t inLine = word_ % kLineWords;
    ++word_;
    const uint32_t pair = inLine / 4;
    const uint8_t* y = f.Y() + line * VideoGeometry::kWidth;
    const uint8_t* cb = f.Cb() + line * VideoGeometry::kChromaWidth;
    const uint8_t* cr = f.Cr() + line * VideoGeometry::kChromaWidth;
    uint8_t low = 0;
    switch (inLine % 4) {
    case 0: low = cb[pair]; break;
    case 1: low = y[2 * pair]; break;
    case 2: low = cr[pair]; break;
    default: low = y[2 * pair + 1]; break;
    }
    // Words 0 and 2 carry a key's high nibble, words 1 and 3 its low one.
    const uint8_t nibble = (inLine % 2 == 0) ? uint8_t(key_ >> 4) : uint8_t(key_ & 0xF);
    return uint16_t(low | (nibble << 8));
}

}  // namespace sim
