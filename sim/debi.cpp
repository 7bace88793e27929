#include "debi.h"

#include <algorithm>
#include <cstring>

#include "board_regs.h"
#include "saa7146.h"
#include "sdram.h"

namespace sim {

using namespace debi;

namespace {

bool InWindow(uint32_t address) { return address >= kWindowFirst && address <= kWindowLast; }

}  // namespace

uint64_t debi::TransferNs(uint32_t config, uint32_t bytes, bool window)
{
    uint64_t cycles = (uint64_t(bytes) + 1) / 2;
    uint64_t perCycle = window ? kWindowWordClocks : 2 + ((config >> kConfigTimeoutShift) & kConfigTimeoutMask);
    return (kStartClocks + cycles * perCycle) * kPciClockNs;
}

int debi::WindowLayout(uint16_t modeRegister)
{
    switch ((modeRegister & kWindowModeBits) >> 10) {
    case 0b0000: return 0;
    case 0b0010: return 1;
    case 0b1010: return 2;
    case 0b0011: return 101;
    case 0b0111: return 102;
    default: return -1;
    }
}

Debi::Debi(Saa7146& bridge, BoardRegs& regs, Sdram& sdram)
    : bridge_(bridge), regs_(regs), sdram_(sdram), staging_(kMaxBlockBytes + 1, 0)
{
    bridge_.OnUpload(saa7146::kUploadDebi, [this] { OnUpload(); });
    bridge_.OnRegisterRead(saa7146::kPsr, [this] { OnStatusRead(); });
    bridge_.OnRegistersReset([this] { OnBridgeReset(); });
    regs_.MapRange(
        kWindowBlock, kWindowBlock, [this](uint32_t) { return s_.blockRegister; },
        [this](uint32_t, uint16_t value) {
            s_.blockRegister = value;
            s_.windowBlock = value;
            s_.windowOffset = 0;
            trace_("window at block %u", value);
        });
    regs_.MapRange(
        kWindowMode, kWindowMode, [this](uint32_t) { return s_.modeRegister; },
        [this](uint32_t, uint16_t value) {
            s_.modeRegister = value;
            trace_("window mode register 0x%04x (layout %d)", value, WindowLayout(value));
        });
}

void Debi::Reset()
{
    std::lock_guard lock(bridge_.Lock());
    Abort();
    uint32_t sequence = s_.sequence;
    s_ = State{};
    s_.sequence = sequence;
    trace_("reset");
}

void Debi::OnBridgeReset()
{
    // The bridge's window went back to power-on: a transfer in flight is cut
    // off without a done status. The board side keeps its window.
    if (s_.busy) trace_("transfer cut off by a bridge reset");
    Abort();
}

void Debi::Abort()
{
    if (s_.timerId != 0) {
        if (hw::Host* host = bridge_.Host()) host->Cancel(s_.timerId);
        s_.timerId = 0;
    }
    s_.busy = false;
}

void Debi::EnableAccessLog(bool on)
{
    std::lock_guard lock(bridge_.Lock());
    logging_ = on;
    if (on) log_.reserve(1024);
}

void Debi::SetWindowStateMachineStuck(bool stuck)
{
    regs_.SetStatusBits(kStatusWindowBusy, stuck);
}

void Debi::LoseBlockDoneStatus(int n)
{
    std::lock_guard lock(bridge_.Lock());
    s_.lostDoneLeft = n;
}

void Debi::HangAfterWriteTo(uint32_t address)
{
    std::lock_guard lock(bridge_.Lock());
    s_.hangAfter = address;
}

void Debi::ReleaseHang()
{
    std::lock_guard lock(bridge_.Lock());
    s_.hung = false;
    if (!s_.busy) bridge_.SetDebiBusy(false);
    trace_("released");
}

bool Debi::Busy()
{
    std::lock_guard lock(bridge_.Lock());
    if (s_.busy) {
        hw::Host* host = bridge_.Host();
        if (!host || host->Now() + s_.creditNs >= s_.endNs) Finish();
    }
    return s_.busy;
}

void Debi::OnStatusRead()
{
    if (!s_.busy) return;
    s_.creditNs += kStatusReadClocks * kPciClockNs;
    hw::Host* host = bridge_.Host();
    if (!host || host->Now() + s_.creditNs >= s_.endNs) Finish();
}

void Debi::Finish()
{
    if (!s_.busy) return;
    s_.busy = false;
    if (s_.timerId != 0) {
        if (hw::Host* host = bridge_.Host()) host->Cancel(s_.timerId);
        s_.timerId = 0;
    }
    bridge_.SetDebiBusy(s_.hung);
    if (s_.loseDone) {
        s_.loseDone = false;
        trace_("idle, done status lost (injected)");
        return;
    }
    // Done latches whether its interrupt is enabled or not, as every source does.
    bridge_.RaiseStatus(saa7146::kIrqDebiDone);
    trace_("idle, done latched");
}

void Debi::OnUpload()
{
    uint32_t command = bridge_.Active(saa7146::kDebiCommand);
    uint32_t count = command >> kCommandCountShift;
    if (count == 0) {
        trace_("upload without a transfer (command 0x%08x)", command);
        return;
    }
    hw::Host* host = bridge_.Host();
    uint64_t now = host ? host->Now() : 0;
    if (s_.busy && (!host || now + s_.creditNs >= s_.endNs)) Finish();

    uint32_t config = bridge_.Active(saa7146::kDebiConfig);
    uint32_t page = bridge_.Active(saa7146::kDebiPage);
    uint32_t ad = bridge_.Active(saa7146::kDebiAd);
    uint32_t address = command & 0xFFFF;
    bool read = (command & kCommandRead) != 0;
    bool window = InWindow(address);
    uint64_t duration = TransferNs(config, count, window);

    bool refused = s_.busy || count > kMaxBlockBytes;
    if (refused) {
        ++stats_.refused;
        trace_("%s refused: command 0x%08x", s_.busy ? "upload while busy" : "block too long", command);
    } else {
        if (config & kConfigSwapMask) trace_("byte swapping 0x%x not modelled", (config & kConfigSwapMask) >> 20);
        s_.busy = true;
        ++s_.sequence;
        s_.endNs = now + duration;
        s_.creditNs = 0;
        // Only a transfer whose end someone waits for costs a timed event;
        // any other ends (and latches done) when it is next looked at.
        s_.timedEnd = (bridge_.Ier() & saa7146::kIrqDebiDone) != 0;
        bridge_.SetDebiBusy(true);
        if (count <= 4) {
            ++stats_.immediates;
            Immediate(address, count, read);
            if (!read && int64_t(address) == s_.hangAfter) {
                s_.hung = true;
                s_.hangAfter = -1;
                trace_("hung after the write to 0x%04x (injected)", address);
            }
            if (read) ad = bridge_.Active(saa7146::kDebiAd);
        } else {
            ++stats_.blocks;
            stats_.blockBytes += count;
            if (s_.lostDoneLeft > 0) {
                --s_.lostDoneLeft;
                s_.loseDone = true;
            }
            if (window) WindowTransfer(page, ad, count, read);
            else Block(address, count, read, page, ad, (config & kConfigIncrement) != 0);
        }
        if (!host) {
            Finish();
        } else if (s_.timedEnd) {
            uint32_t sequence = s_.sequence;
            s_.timerId = host->Schedule(s_.endNs, [this, sequence] {
                std::lock_guard lock(bridge_.Lock());
                if (s_.busy && s_.sequence == sequence) {
                    s_.timerId = 0;
                    Finish();
                }
            });
        }
    }
    if (logging_) log_.push_back({now, config, command, page, ad, duration, refused});
}

void Debi::Immediate(uint32_t address, uint32_t count, bool read)
{
    uint32_t data = read ? 0 : bridge_.Active(saa7146::kDebiAd);
    if (InWindow(address)) {
        uint8_t bytes[4];
        std::memcpy(bytes, &data, 4);
        WindowImmediate(bytes, count, read);
        std::memcpy(&data, bytes, 4);
    } else {
        for (uint32_t i = 0; 2 * i < count; ++i) {
            uint32_t at = (address + 2 * i) & 0xFFFF;
            uint16_t mask = count - 2 * i == 1 ? 0x00FF : 0xFFFF;
            if (read) {
                data |= uint32_t(regs_.Read(at) & mask) << (16 * i);
            } else {
                regs_.Write(at, uint16_t(data >> (16 * i)) & mask);
            }
        }
    }
    if (count < 4) data &= (1u << (8 * count)) - 1;
    if (read) bridge_.SetActive(saa7146::kDebiAd, data);
    trace_("%s 0x%04x %s 0x%0*x", read ? "read" : "write", address, read ? "->" : ":=", int(2 * count), data);
}

template <class F>
void Debi::ForEachHostRun(uint32_t page, uint32_t ad, uint32_t count, F&& piece)
{
    if (!(page & kPageMmu)) {
        piece(ad, 0u, count);
        return;
    }
    hw::Host* host = bridge_.Host();
    uint32_t table = page & ~0xFFFu;
    for (uint32_t offset = 0; offset < count;) {
        uint32_t linear = (ad + offset) & 0x3FFFFF;
        uint32_t inPage = linear & 0xFFF;
        uint32_t n = std::min(count - offset, 0x1000 - inPage);
        uint32_t entry = 0xFFFFFFFF;
        if (!host || !host->DmaRead(table + 4 * (linear >> 12), &entry, 4)) {
            ++stats_.hostFaults;
            trace_("page table entry %u at 0x%08x not readable", linear >> 12, table + 4 * (linear >> 12));
        }
        piece((entry & ~0xFFFu) + inPage, offset, n);
        offset += n;
    }
}

void Debi::Block(uint32_t address, uint32_t count, bool read, uint32_t page, uint32_t ad, bool increment)
{
    hw::Host* host = bridge_.Host();
    uint8_t* staging = staging_.data();
    uint32_t step = increment ? 2 : 0;
    auto hostFault = [&](uint32_t bus, uint32_t n) {
        ++stats_.hostFaults;
        trace_("host memory 0x%08x (+%u) not mapped", bus, n);
    };
    if (!read) {
        ForEachHostRun(page, ad, count, [&](uint32_t bus, uint32_t offset, uint32_t n) {
            if (!host || !host->DmaRead(bus, staging + offset, n)) hostFault(bus, n);
        });
        for (uint32_t i = 0, at = address; i < count; i += 2, at = (at + step) & 0xFFFF) {
            uint16_t word = count - i == 1 ? staging[i] : uint16_t(staging[i] | staging[i + 1] << 8);
            regs_.Write(at, word);
        }
    } else {
        for (uint32_t i = 0, at = address; i < count; i += 2, at = (at + step) & 0xFFFF) {
            uint16_t word = regs_.Read(at);
            staging[i] = uint8_t(word);
            if (count - i > 1) staging[i + 1] = uint8_t(word >> 8);
        }
        ForEachHostRun(page, ad, count, [&](uint32_t bus, uint32_t offset, uint32_t n) {
            if (!host || !host->DmaWrite(bus, staging + offset, n)) hostFault(bus, n);
        });
    }
    trace_("block %s 0x%04x%s, %u bytes, host 0x%08x%s", read ? "read" : "write", address,
           increment ? " incrementing" : "", count, ad, (page & kPageMmu) ? " paged" : "");
}

int Debi::WindowLayoutForTransfer()
{
    int layout = WindowLayout(s_.modeRegister);
    if (layout < 0) {
        trace_("window mode register 0x%04x names no layout: linear", s_.modeRegister);
        layout = 0;
    }
    return layout;
}

void Debi::AdvanceWindow(uint32_t bytes, int layout)
{
    // Keep the pointer as (block, offset inside it) in the layout's own range,
    // so it never overflows however long the window streams.
    uint64_t offset = uint64_t(s_.windowOffset) + bytes;
    uint64_t block = s_.windowBlock + offset / Sdram::kBlockSize;
    s_.windowOffset = uint32_t(offset % Sdram::kBlockSize);
    s_.windowBlock = uint32_t(block % Sdram::RegionOf(uint32_t(layout)).blocks);
}

void Debi::WindowTransfer(uint32_t page, uint32_t ad, uint32_t count, bool read)
{
    hw::Host* host = bridge_.Host();
    int layout = WindowLayoutForTransfer();
    uint32_t mode = uint32_t(layout);
    // Host and SDRAM meet directly: each run stops at a host page and at the
    // point where the layout wraps.
    uint32_t limit = Sdram::RegionEnd(mode);
    uint8_t* raw = sdram_.Raw();
    uint32_t block = s_.windowBlock, start = s_.windowOffset;
    ForEachHostRun(page, ad, count, [&](uint32_t bus, uint32_t offset, uint32_t n) {
        for (uint32_t done = 0; done < n;) {
            uint32_t at = Sdram::Address(block, start + offset + done, mode);
            uint32_t m = std::min(n - done, limit - at);
            bool ok = host && (read ? host->DmaWrite(bus + done, raw + at, m) : host->DmaRead(bus + done, raw + at, m));
            if (!ok) {
                ++stats_.hostFaults;
                trace_("host memory 0x%08x (+%u) not mapped", bus + done, m);
            }
            done += m;
        }
    });
    trace_("window %s, %u bytes at block %u+%u layout %d, host 0x%08x%s", read ? "read" : "write", count, block,
           start, layout, ad, (page & kPageMmu) ? " paged" : "");
    AdvanceWindow(count, layout);
}

void Debi::WindowImmediate(uint8_t* data, uint32_t count, bool read)
{
    int layout = WindowLayoutForTransfer();
    if (read) sdram_.Read(s_.windowBlock, uint32_t(layout), s_.windowOffset, data, count);
    else sdram_.Write(s_.windowBlock, uint32_t(layout), s_.windowOffset, data, count);
    AdvanceWindow(count, layout);
}

}  // namespace sim
