#include "board.h"

namespace sim {

namespace {

BridgeIds IdsOf(const BoardOptions& o)
{
    BridgeIds ids;
    ids.subsystemVendor = o.subsystemVendor;
    ids.subsystemId = o.subsystemId;
    ids.revision = o.revision;
    ids.latencyTimer = o.latencyTimer;
    return ids;
}

}  // namespace

Board::Board(BoardOptions options)
    : options_(options), bridge_(IdsOf(options)), regs_(bridge_), debi_(bridge_, regs_), clock_(bridge_, options.standard)
{
    bridge_.SetIdentity(this);
}

void Board::ConfigRead(uint32_t offset, void* data, uint32_t length) { bridge_.ConfigRead(offset, data, length); }
void Board::ConfigWrite(uint32_t offset, const void* data, uint32_t length) { bridge_.ConfigWrite(offset, data, length); }
uint32_t Board::MmioRead(int bar, uint32_t offset, int size) { return bridge_.MmioRead(bar, offset, size); }
void Board::MmioWrite(int bar, uint32_t offset, uint32_t value, int size) { bridge_.MmioWrite(bar, offset, value, size); }

void Board::Attach(hw::Host* host)
{
    host_ = host;
    bridge_.Attach(host);
}

void Board::Reset()
{
    std::lock_guard lock(bridge_.Lock());
    bridge_.Reset();
    regs_.Reset();
    clock_.PowerOn(host_);
}

void Board::PowerOff()
{
    std::lock_guard lock(bridge_.Lock());
    clock_.PowerOff();
}

void Board::SetTraceEnabled(bool on)
{
    bridge_.GetTrace().Enable(on);
    regs_.GetTrace().Enable(on);
    debi_.GetTrace().Enable(on);
    clock_.GetTrace().Enable(on);
}

void Board::SetTraceSink(Trace::Sink sink)
{
    bridge_.GetTrace().SetSink(sink);
    regs_.GetTrace().SetSink(sink);
    debi_.GetTrace().SetSink(sink);
    clock_.GetTrace().SetSink(sink);
}

}  // namespace sim
