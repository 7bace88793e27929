#include "brs_dma.h"

#include <algorithm>

#include "platform/hw/hw.h"
#include "saa7146.h"

namespace sim {

using namespace brs;

BrsDma::BrsDma(Saa7146& bridge) : bridge_(bridge)
{
    bridge_.OnRegisterWrite(saa7146::kMc1, [this](uint32_t written) { OnMc1(written); });
    bridge_.OnRegistersReset([this] { Reset(); });
}

void BrsDma::Reset()
{
    running_ = false;
    if (timerId_ != 0) {
        if (hw::Host* host = bridge_.Host()) host->Cancel(timerId_);
        timerId_ = 0;
    }
}

void BrsDma::OnMc1(uint32_t mc1)
{
    // Bit 4 coming on starts a transfer; it stays on until the transfer ends.
    if ((mc1 & kMc1Dma3) && !running_) {
        running_ = true;
        Run();
    }
}

bool BrsDma::ReadHost(uint32_t address, uint32_t page, uint8_t* out, uint32_t bytes)
{
    hw::Host* host = bridge_.Host();
    if (host == nullptr) return false;
    if (!(page & kPageMmu)) return host->DmaRead(address, out, bytes);
    uint32_t table = page & ~0xFFFu;
    for (uint32_t done = 0; done < bytes;) {
        uint32_t linear = (address + done) & 0x3FFFFF;
        uint32_t inPage = linear & 0xFFF;
        uint32_t n = std::min(bytes - done, 0x1000 - inPage);
        uint32_t entry = 0;
        if (!host->DmaRead(table + 4 * (linear >> 12), &entry, 4)) return false;
        if (!host->DmaRead((entry & ~0xFFFu) + inPage, out + done, n)) return false;
        done += n;
    }
    return true;
}

void BrsDma::Run()
{
    BrsTransfer t;
    uint32_t numLineByte = bridge_.Active(kNumLineByte3);
    t.lines = ((numLineByte >> 16) & 0xFFF) + 1;
    t.bytesPerLine = (numLineByte & 0xFFF) + 1;
    t.pitch = int32_t(bridge_.Active(kPitch3));
    t.base = bridge_.Active(kBaseOdd3);
    t.page = bridge_.Active(kBasePage3);
    t.parity = (bridge_.Psr() & saa7146::kPsrFieldParityInverted) ? 0 : 1;
    uint32_t protection = bridge_.Active(kProtAddr3);
    trace_("start: %u lines of %u bytes, base 0x%08x pitch %d page 0x%08x", t.lines, t.bytesPerLine, t.base, t.pitch,
           t.page);
    line_.resize(t.bytesPerLine);
    uint32_t last = t.base;
    for (uint32_t k = 0; k < t.lines; ++k) {
        int64_t step = t.pitch >= 0 ? int64_t(k) * t.pitch : int64_t(k + 1) * t.pitch;
        uint32_t at = uint32_t(int64_t(t.base) + step);
        // Through the page table bit 31 only marks the address linear.
        const uint32_t addressBits = (t.page & kPageMmu) ? ~kLinear : 0xFFFFFFFF;
        bool outside = t.pitch >= 0 ? (at & addressBits) > (protection & addressBits)
                                    : (at & addressBits) < (protection & addressBits);
        if (outside && protection != 0xFFFFFFFF) {
            ++t.linesRefused;
            continue;
        }
        if (!ReadHost(at, t.page, line_.data(), t.bytesPerLine)) {
            ++hostFaults_;
            trace_("line %u at 0x%08x not readable", k, at);
            continue;
        }
        if (sink_) sink_(line_.data(), t.bytesPerLine, k);
        t.bytesMoved += t.bytesPerLine;
        last = at;
    }
    transfers_.push_back(t);
    bridge_.SetActive(kCurrentAddress, last);

    hw::Host* host = bridge_.Host();
    auto end = [this] {
        timerId_ = 0;
        running_ = false;
        bridge_.ClearMc1Bits(kMc1Dma3);
        trace_("end");
        bridge_.RaiseStatus(kIrqBrs);
    };
    if (host == nullptr) {
        end();
        return;
    }
    timerId_ = host->Schedule(host->Now() + t.bytesMoved * kNsPerByte + 1000, [this, end] {
        std::lock_guard lock(bridge_.Lock());
        end();
    });
}

}  // namespace sim
