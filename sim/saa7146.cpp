#include "saa7146.h"

#include <algorithm>
#include <cstring>

namespace sim {

using namespace saa7146;

namespace {

// Status inputs driven from outside the chip; a master reset leaves them.
constexpr uint32_t kPsrInputs = kPsrFpgasConfigured | kPsrSharedLineHigh | kPsrFieldParityInverted;

void Put16(std::array<uint8_t, 256>& a, uint32_t at, uint16_t v)
{
    a[at] = uint8_t(v);
    a[at + 1] = uint8_t(v >> 8);
}
void Put32(std::array<uint8_t, 256>& a, uint32_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i) a[at + i] = uint8_t(v >> (8 * i));
}

// MC1/MC2: bits 16-31 say which of bits 0-15 the write changes.
uint32_t MaskedWrite(uint32_t old, uint32_t value)
{
    uint32_t enable = value >> 16;
    return (old & ~enable) | (value & enable & 0xFFFF);
}

}  // namespace

Saa7146::Saa7146(BridgeIds ids) : ids_(ids)
{
    ResetConfig();
    ResetRegisters(false);
}

void Saa7146::Attach(hw::Host* host)
{
    std::lock_guard lock(mutex_);
    host_ = host;
}

void Saa7146::Reset()
{
    std::lock_guard lock(mutex_);
    trace_("power-on reset");
    ResetConfig();
    ResetRegisters(false);
    UpdateLine();
}

void Saa7146::ResetConfig()
{
    config_.fill(0);
    configWriteMask_.fill(0);
    Put16(config_, 0x00, kVendorId);
    Put16(config_, 0x02, kDeviceId);
    Put16(config_, 0x04, 0x0006);           // memory space and bus master, as the BIOS leaves them
    Put16(config_, 0x06, 0x0280);           // medium DEVSEL, fast back-to-back capable
    config_[0x08] = ids_.revision;
    config_[0x09] = uint8_t(kClassCode);
    config_[0x0A] = uint8_t(kClassCode >> 8);
    config_[0x0B] = uint8_t(kClassCode >> 16);
    config_[0x0D] = ids_.latencyTimer;
    Put16(config_, 0x2C, ids_.subsystemVendor);
    Put16(config_, 0x2E, ids_.subsystemId);
    config_[0x3D] = 1;                      // INTA#
    config_[0x3E] = 0x0F;                   // min grant
    config_[0x3F] = 0x26;                   // max latency

    Put16(configWriteMask_, 0x04, 0x0146);  // memory, bus master, parity, SERR
    configWriteMask_[0x0C] = 0xFF;          // cache line size
    configWriteMask_[0x0D] = 0xFF;          // latency timer
    Put32(configWriteMask_, 0x10, kBar0Mask);  // 512-byte memory BAR, 32-bit, not prefetchable
    configWriteMask_[0x3C] = 0xFF;          // interrupt line
}

void Saa7146::ResetRegisters(bool keepInputs)
{
    uint32_t inputs = keepInputs ? (psr_ & kPsrInputs) : (kPsrSharedLineHigh | kPsrFieldParityInverted);
    active_.fill(0);
    written_.fill(0);
    ier_ = 0;
    isr_ = 0;
    psr_ = inputs;
    ssr_ = 0;
    mc1_ = kMc1MasterResetN;
    mc2_ = 0;
    for (auto& hook : resetHooks_) hook();
}

void Saa7146::SetSubsystemIds(uint16_t vendor, uint16_t id)
{
    std::lock_guard lock(mutex_);
    ids_.subsystemVendor = vendor;
    ids_.subsystemId = id;
    Put16(config_, 0x2C, vendor);
    Put16(config_, 0x2E, id);
}

void Saa7146::SetRevision(uint8_t revision)
{
    std::lock_guard lock(mutex_);
    ids_.revision = revision;
    config_[0x08] = revision;
}

void Saa7146::ConfigRead(uint32_t offset, void* data, uint32_t length)
{
    std::lock_guard lock(mutex_);
    auto* out = static_cast<uint8_t*>(data);
    for (uint32_t i = 0; i < length; ++i)
        out[i] = offset + i < config_.size() ? config_[offset + i] : 0xFF;
}

void Saa7146::ConfigWrite(uint32_t offset, const void* data, uint32_t length)
{
    std::lock_guard lock(mutex_);
    auto* in = static_cast<const uint8_t*>(data);
    for (uint32_t i = 0; i < length && offset + i < config_.size(); ++i) {
        uint32_t at = offset + i;
        uint8_t mask = configWriteMask_[at];
        config_[at] = uint8_t((config_[at] & ~mask) | (in[i] & mask));
    }
    trace_("config write 0x%02x len %u", offset, length);
}

uint32_t Saa7146::MmioRead(int bar, uint32_t offset, int size)
{
    std::lock_guard lock(mutex_);
    if (bar != 0 || offset >= kBarSize) {
        trace_("read outside the register window: bar %d offset 0x%x", bar, offset);
        return 0xFFFFFFFF;
    }
    if (auto& hook = readHooks_[offset / 4]) hook();
    uint32_t value = Read32(offset & ~3u) >> (8 * (offset & 3));
    if (size == 1) value &= 0xFF;
    else if (size == 2) value &= 0xFFFF;
    return value;
}

void Saa7146::MmioWrite(int bar, uint32_t offset, uint32_t value, int size)
{
    std::lock_guard lock(mutex_);
    if (bar != 0 || offset >= kBarSize) {
        trace_("write outside the register window: bar %d offset 0x%x", bar, offset);
        return;
    }
    uint32_t shift = 8 * (offset & 3);
    uint32_t bytes = size == 1 ? 0xFFu : size == 2 ? 0xFFFFu : 0xFFFFFFFFu;
    Write32(offset & ~3u, (value << shift) & (bytes << shift), bytes << shift);
}

uint32_t Saa7146::Read32(uint32_t offset)
{
    switch (offset) {
    case kIer: return ier_;
    case kIsr: return isr_;
    case kPsr: return psr_;
    case kSsr: return ssr_;
    case kMc1: return mc1_;
    case kMc2: return mc2_;
    default: return active_[offset / 4];
    }
}

void Saa7146::Write32(uint32_t offset, uint32_t value, uint32_t byteMask)
{
    auto merge = [&](uint32_t old) { return (old & ~byteMask) | (value & byteMask); };
    switch (offset) {
    case kIer:
        ier_ = merge(ier_);
        trace_("IER := 0x%08x", ier_);
        UpdateLine();
        return;
    case kIsr:
        isr_ &= ~value;
        trace_("ISR clear 0x%08x -> 0x%08x", value, isr_);
        UpdateLine();
        return;
    case kPsr:
    case kSsr:
        trace_("write to read-only status 0x%03x ignored", offset);
        return;
    case kMc1: {
        uint32_t next = MaskedWrite(mc1_, value);
        if (!(next & kMc1MasterResetN)) {
            // Held in reset: the window returns to its power-on state; the
            // write's own bits still land in MC1.
            trace_("master reset");
            ResetRegisters(true);
            UpdateLine();
        }
        mc1_ = next;
        trace_("MC1 := 0x%04x", mc1_);
        // The DMA units behind the bridge follow their enable bits.
        if (auto& hook = writeHooks_[kMc1 / 4]) hook(mc1_);
        return;
    }
    case kMc2: {
        uint32_t next = MaskedWrite(mc2_, value);
        uint32_t strobes = next & kUploadStrobes;
        mc2_ = next & ~kUploadStrobes;
        trace_("MC2 := 0x%04x, upload 0x%03x", mc2_, strobes);
        if (strobes) Upload(strobes);
        return;
    }
    default:
        break;
    }
    uint32_t i = offset / 4;
    written_[i] = merge(written_[i]);
    if (ShadowGroup(offset) == 0) {
        uint32_t fields = offset == kPciBtV1 ? kPciBtV1Fields : offset == kPciBtA ? kPciBtAFields : ~0u;
        active_[i] = written_[i] & fields;
    }
    trace_("reg 0x%03x := 0x%08x%s", offset, written_[i], ShadowGroup(offset) ? " (shadow)" : "");
    if (auto& hook = writeHooks_[i]) hook(written_[i]);
}

uint32_t Saa7146::ShadowGroup(uint32_t offset)
{
    if (offset <= 0x14) return kUploadDma1;
    if (offset >= 0x18 && offset <= 0x2C) return kUploadDma2;
    if (offset >= 0x30 && offset <= 0x44) return kUploadDma3;
    if (offset == 0x58) return kUploadBrs;
    if (offset >= 0x5C && offset <= 0x64) return kUploadHpsVertical;
    if (offset >= 0x68 && offset <= 0x78) return kUploadHpsHorizontal;
    if (offset >= kDebiConfig && offset <= kDebiAd) return kUploadDebi;
    if (offset == kI2cTransfer || offset == kI2cStatus) return kUploadI2c;
    return 0;
}

void Saa7146::Upload(uint32_t strobes)
{
    // Each group is one run of registers; uploads are on the programmed-access
    // path, so the runs are found once instead of scanning the window.
    struct Span {
        uint32_t first = kBarSize, last = 0;
    };
    static const std::array<Span, 11> spans = [] {
        std::array<Span, 11> s{};
        for (uint32_t offset = 0; offset < kBarSize; offset += 4)
            for (uint32_t bit = 0; bit < 11; ++bit)
                if (ShadowGroup(offset) == (1u << bit)) {
                    s[bit].first = std::min(s[bit].first, offset);
                    s[bit].last = std::max(s[bit].last, offset);
                }
        return s;
    }();
    for (uint32_t bit = 0; bit < 11; ++bit) {
        uint32_t strobe = 1u << bit;
        if (!(strobes & strobe)) continue;
        for (uint32_t offset = spans[bit].first; offset <= spans[bit].last; offset += 4)
            if (ShadowGroup(offset) == strobe) active_[offset / 4] = written_[offset / 4];
        ++uploadCounts_[bit];
        if (uploadHooks_[bit]) uploadHooks_[bit]();
    }
}

void Saa7146::OnUpload(uint32_t strobe, std::function<void()> hook)
{
    std::lock_guard lock(mutex_);
    for (uint32_t bit = 0; bit < 16; ++bit)
        if (strobe == (1u << bit)) uploadHooks_[bit] = std::move(hook);
}

void Saa7146::OnRegisterRead(uint32_t offset, std::function<void()> hook)
{
    std::lock_guard lock(mutex_);
    readHooks_[(offset % kBarSize) / 4] = std::move(hook);
}

void Saa7146::OnRegisterWrite(uint32_t offset, std::function<void(uint32_t)> hook)
{
    std::lock_guard lock(mutex_);
    writeHooks_[(offset % kBarSize) / 4] = std::move(hook);
}

void Saa7146::OnRegistersReset(std::function<void()> hook)
{
    std::lock_guard lock(mutex_);
    resetHooks_.push_back(std::move(hook));
}

uint32_t Saa7146::UploadCount(uint32_t strobe) const
{
    std::lock_guard lock(mutex_);
    for (uint32_t bit = 0; bit < 16; ++bit)
        if (strobe == (1u << bit)) return uploadCounts_[bit];
    return 0;
}

uint32_t Saa7146::Active(uint32_t offset) const
{
    std::lock_guard lock(mutex_);
    return const_cast<Saa7146*>(this)->Read32(offset & ~3u);
}

uint32_t Saa7146::Written(uint32_t offset) const
{
    std::lock_guard lock(mutex_);
    switch (offset & ~3u) {
    case kIer: return ier_;
    case kMc1: return mc1_;
    case kMc2: return mc2_;
    default: return written_[(offset & ~3u) / 4];
    }
}

void Saa7146::SetActive(uint32_t offset, uint32_t value)
{
    std::lock_guard lock(mutex_);
    active_[(offset & ~3u) / 4] = value;
    trace_("reg 0x%03x <- 0x%08x (unit)", offset, value);
}

void Saa7146::ClearMainControl1(uint32_t bits)
{
    std::lock_guard lock(mutex_);
    mc1_ &= ~bits;
    trace_("MC1 := 0x%04x (unit)", mc1_);
}

void Saa7146::RaiseStatus(uint32_t isrBits)
{
    std::lock_guard lock(mutex_);
    isr_ |= isrBits;
    trace_("ISR latch 0x%08x -> 0x%08x", isrBits, isr_);
    UpdateLine();
}

void Saa7146::SetPrimaryStatus(uint32_t mask, bool set)
{
    std::lock_guard lock(mutex_);
    psr_ = set ? (psr_ | mask) : (psr_ & ~mask);
}

void Saa7146::SetSecondaryStatus(uint32_t mask, bool set)
{
    std::lock_guard lock(mutex_);
    ssr_ = set ? (ssr_ | mask) : (ssr_ & ~mask);
}

void Saa7146::SetSharedLine(bool asserted)
{
    std::lock_guard lock(mutex_);
    bool wasAsserted = !(psr_ & kPsrSharedLineHigh);
    if (asserted == wasAsserted) return;
    SetPrimaryStatus(kPsrSharedLineHigh, !asserted);
    trace_("shared line %s", asserted ? "low (asserted)" : "high");
    if (asserted) RaiseStatus(kIrqSharedLine);
}

void Saa7146::SetFieldParity(int parity)
{
    SetPrimaryStatus(kPsrFieldParityInverted, parity == 0);
}

void Saa7146::UpdateLine()
{
    bool level = (isr_ & ier_) != 0;
    if (level == line_) return;
    line_ = level;
    trace_("INTA# %s", level ? "asserted" : "deasserted");
    if (host_) host_->SetInterruptLine(identity_, level);
}

}  // namespace sim
