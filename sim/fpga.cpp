#include "fpga.h"

#include <cstring>

#include "board_regs.h"
#include "saa7146.h"

namespace sim {

using namespace fpga;

namespace fpga {

uint32_t Crc32(const uint8_t* data, size_t length, uint32_t crc)
{
    crc = ~crc;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

uint32_t ImageCrc(const ImageHeader& header, const uint8_t* payload, size_t length)
{
    uint32_t crc = Crc32(reinterpret_cast<const uint8_t*>(&header), offsetof(ImageHeader, crc));
    return Crc32(payload, length, crc);
}

ImageHeader ReadImageHeader(const uint8_t* bytes)
{
    ImageHeader h;
    std::memcpy(&h, bytes, sizeof h);
    return h;
}

}  // namespace fpga

namespace {

const char* StateName(Fpgas::State s)
{
    switch (s) {
    case Fpgas::State::Cleared: return "cleared";
    case Fpgas::State::Waiting: return "waiting";
    case Fpgas::State::StartUp: return "start-up";
    case Fpgas::State::Running: return "running";
    case Fpgas::State::Error: return "error";
    }
    return "?";
}

}  // namespace

Fpgas::Fpgas(Saa7146& bridge, BoardRegs& regs, FpgaBoardConfig config) : bridge_(bridge), regs_(regs), config_(config)
{
    regs_.MapRange(
        kDataAddress, kDataAddress,
        [this](uint32_t) {
            uint16_t running = 0;
            for (int i = 0; i < kCount; ++i)
                if (units_[i].state == State::Running) running |= uint16_t(1u << i);
            return running;
        },
        [this](uint32_t, uint16_t value) { Clock(value); });
}

void Fpgas::Reset()
{
    std::lock_guard lock(bridge_.Lock());
    programHigh_ = true;
    ClearAll();
    for (Unit& u : units_) u.state = State::Waiting;
    trace_("power-on: waiting for a configuration");
}

void Fpgas::ClearAll()
{
    for (Unit& u : units_) u = Unit{};
    for (Unit& u : units_) u.state = State::Cleared;
    UpdateOutputs();
}

void Fpgas::SetProgramLine(bool high)
{
    std::lock_guard lock(bridge_.Lock());
    if (high == programHigh_) return;
    programHigh_ = high;
    if (!high) {
        ++pulses_;
        ClearAll();
        for (auto& hook : pulseHooks_) hook();
        trace_("program line low: configuration cleared");
    } else {
        for (Unit& u : units_) u.state = State::Waiting;
        trace_("program line high: waiting for a configuration");
    }
}

void Fpgas::Clock(uint16_t dataBits)
{
    std::lock_guard lock(bridge_.Lock());
    ++clocks_;
    bool changed = false;
    for (int i = 0; i < kCount; ++i) {
        Unit& u = units_[i];
        if (u.state == State::Waiting) {
            u.byte = uint8_t(u.byte | (((dataBits >> i) & 1) << u.bits));
            if (++u.bits == 8) {
                uint8_t value = u.byte;
                u.bits = 0;
                u.byte = 0;
                TakeByte(i, value);
            }
        } else if (u.state == State::StartUp) {
            if (--u.startupLeft == 0) {
                u.state = State::Running;
                trace_("FPGA %d running design 0x%08x", i, u.header.designId);
                changed = true;
            }
        }
    }
    if (changed) UpdateOutputs();
}

void Fpgas::TakeByte(int index, uint8_t value)
{
    Unit& u = units_[index];
    u.received.push_back(value);
    size_t n = u.received.size();
    if (n == 4) {
        uint32_t magic;
        std::memcpy(&magic, u.received.data(), 4);
        if (magic != kMagic) return Fail(index, "no image magic");
    } else if (n == kHeaderSize) {
        u.header = ReadImageHeader(u.received.data());
        const ImageHeader& h = u.header;
        if (h.device != index) return Fail(index, "image for FPGA " + std::to_string(h.device));
        if (h.boardRevision != config_.boardRevision)
            return Fail(index, "image for board revision " + std::to_string(h.boardRevision));
        if (h.standard != 0 && h.standard != config_.standard)
            return Fail(index, "image for " + std::to_string(h.standard) + " lines");
        if (h.payloadLength > kMaxPayload) return Fail(index, "payload too long");
    }
    if (n >= kHeaderSize && n == kHeaderSize + u.header.payloadLength) {
        uint32_t crc = ImageCrc(u.header, u.received.data() + kHeaderSize, u.header.payloadLength);
        if (crc != u.header.crc) return Fail(index, "CRC mismatch");
        u.received.clear();
        u.received.shrink_to_fit();
        u.state = State::StartUp;
        u.startupLeft = kStartupClocks;
        trace_("FPGA %d image complete (%u payload bytes), starting up", index, u.header.payloadLength);
    }
}

void Fpgas::Fail(int index, std::string why)
{
    Unit& u = units_[index];
    u.state = State::Error;
    u.error = std::move(why);
    u.received.clear();
    trace_("FPGA %d error: %s", index, u.error.c_str());
}

bool Fpgas::AllRunning() const
{
    for (const Unit& u : units_)
        if (u.state != State::Running) return false;
    return true;
}

bool Fpgas::DveAnswers() const
{
    const Unit& dve = units_[kDveFpga];
    return config_.dvePresent && dve.state == State::Running && (dve.header.flags & kFlagDve);
}

void Fpgas::UpdateOutputs()
{
    bool all = AllRunning();
    bool dve = DveAnswers();
    bridge_.SetFpgasConfigured(all);
    regs_.SetStatusBits(kStatusDveAnswers, dve);
    trace_("configured %d, DVE answers %d (states %s %s %s %s)", all, dve, StateName(units_[0].state),
           StateName(units_[1].state), StateName(units_[2].state), StateName(units_[3].state));
}

}  // namespace sim
