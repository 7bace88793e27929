#include "board_regs.h"

#include "saa7146.h"

namespace sim {

using namespace board_regs;

namespace {

struct SourceBits {
    uint16_t mask;
    uint16_t statusN;
};

SourceBits BitsOf(BoardIrqSource source)
{
    switch (source) {
    case BoardIrqSource::TimeCode: return {kMaskTimeCode, kStatusTimeCodeIrqN};
    case BoardIrqSource::Scsi: return {kMaskScsi, kStatusScsiIrqN};
    case BoardIrqSource::Dsp: return {kMaskDsp, kStatusDspIrqN};
    }
    return {0, 0};
}

constexpr uint16_t kAllIrqStatusN = kStatusScsiIrqN | kStatusTimeCodeIrqN | kStatusDspIrqN;

}  // namespace

BoardRegs::BoardRegs(Saa7146& bridge) : bridge_(bridge), store_(0x10000, 0) {}

void BoardRegs::Reset()
{
    std::lock_guard lock(bridge_.Lock());
    std::fill(store_.begin(), store_.end(), 0);
    statusBits_ = 0;
    sources_ = 0;
    trace_("reset");
    UpdateSharedLine();
}

const BoardRegs::Range* BoardRegs::Find(uint32_t address) const
{
    for (const Range& r : ranges_)
        if (address >= r.first && address <= r.last) return &r;
    return nullptr;
}

void BoardRegs::MapRange(uint32_t first, uint32_t last, ReadFn read, WriteFn write)
{
    std::lock_guard lock(bridge_.Lock());
    ranges_.push_back({first, last, std::move(read), std::move(write)});
}

void BoardRegs::WatchRange(uint32_t first, uint32_t last, WriteFn watch)
{
    std::lock_guard lock(bridge_.Lock());
    watches_.push_back({first, last, nullptr, std::move(watch)});
}

uint16_t BoardRegs::Status() const
{
    uint16_t status = uint16_t(statusBits_ & ~kAllIrqStatusN);
    for (BoardIrqSource s : {BoardIrqSource::TimeCode, BoardIrqSource::Scsi, BoardIrqSource::Dsp}) {
        SourceBits b = BitsOf(s);
        if (!(sources_ & b.mask)) status |= b.statusN;  // active low
    }
    return status;
}

uint16_t BoardRegs::Read(uint32_t address)
{
    std::lock_guard lock(bridge_.Lock());
    address &= 0xFFFF;
    uint16_t value;
    if (address == kStatus) value = Status();
    else if (const Range* r = Find(address); r && r->read) value = r->read(address);
    else value = store_[address];
    trace_("read 0x%04x -> 0x%04x", address, value);
    return value;
}

void BoardRegs::Write(uint32_t address, uint16_t value)
{
    std::lock_guard lock(bridge_.Lock());
    address &= 0xFFFF;
    trace_("write 0x%04x := 0x%04x", address, value);
    if (address == kStatus) return;  // read-only
    if (const Range* r = Find(address); r && r->write) {
        r->write(address, value);
        return;
    }
    store_[address] = value;
    if (address == kSharedIrqMask) UpdateSharedLine();
    for (const Range& w : watches_)
        if (address >= w.first && address <= w.last) w.write(address, value);
}

void BoardRegs::SetSourceAsserted(BoardIrqSource source, bool asserted)
{
    std::lock_guard lock(bridge_.Lock());
    uint16_t bit = BitsOf(source).mask;
    sources_ = asserted ? uint16_t(sources_ | bit) : uint16_t(sources_ & ~bit);
    trace_("source 0x%x %s", bit, asserted ? "asserted" : "released");
    UpdateSharedLine();
}

bool BoardRegs::SourceAsserted(BoardIrqSource source) const
{
    return (sources_ & BitsOf(source).mask) != 0;
}

bool BoardRegs::SharedLineAsserted() const
{
    return (sources_ & store_[kSharedIrqMask]) != 0;
}

void BoardRegs::SetStatusBits(uint16_t mask, bool set)
{
    std::lock_guard lock(bridge_.Lock());
    mask &= uint16_t(~kAllIrqStatusN);
    statusBits_ = set ? uint16_t(statusBits_ | mask) : uint16_t(statusBits_ & ~mask);
}

void BoardRegs::UpdateSharedLine()
{
    bool asserted = SharedLineAsserted();
    if (asserted == lineAsserted_) return;
    lineAsserted_ = asserted;
    bridge_.SetSharedLine(asserted);
}

}  // namespace sim
