// The board's PCI bridge, an SAA7146-family function: configuration space,
// the 512-byte register window, the interrupt status/enable pair with its
// level-sensitive INTA# line, the main-control registers with their write
// masks and the upload of shadowed register groups.
//
// What this unit assumes where the driver's side leaves the chip open:
// - Configuration space is a power-on image as a BIOS leaves it: memory
//   decoding and bus mastering on, latency timer preset (BridgeIds), the
//   interrupt line register writable and left 0. Registers answer whether or
//   not memory decoding is on.
// - ISR bits latch on their source's event whether IER enables them or not;
//   writing ones clears them. INTA# is (ISR & IER) != 0, level-sensitive, and
//   the host hears every change of that level.
// - MC1/MC2 take a write-enable mask in bits 16-31 and read back bits 0-15.
//   Clearing MC1 bit 15 (master reset, active low) puts the register window
//   back to its power-on state except the status inputs driven from outside
//   (field parity, the board's shared line, FPGAs configured).
// - MC2 bits 0-10 are upload strobes. An upload copies the written (shadow)
//   values of its group into the active registers at once (the real chip may
//   wait for a sync for the video groups); strobes read back 0. Groups:
//   bit 0 I2C 0x8C-0x90, bit 1 DEBI 0x7C-0x88, bits 2/3/4 video DMA 1/2/3
//   (0x00-0x14, 0x18-0x2C, 0x30-0x44), bit 5 scaler horizontal and colour
//   0x68-0x78, bit 6 scaler vertical 0x5C-0x64, bit 8 BRS 0x58. Bits 7, 9
//   and 10 are accepted with no shadowed register behind them; bits 11-15
//   are plain bits. Reads return the active value; every other register is
//   plain (active = written).
// - The board's shared line enters as PSR bit 6, active low; its falling edge
//   latches ISR bit 6. A line held low does not latch again.
// - The audio and BRS current-address registers are plain registers until
//   their DMA units come.
// - PCI_BT_V1 (0x48) and PCI_BT_A (0x4C), the burst/threshold settings of
//   the video and audio DMA, keep only their burst (3-bit) and threshold
//   (2-bit) fields; the reserved bits between them read 0. They change no
//   timing here.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "fair_mutex.h"
#include "platform/hw/hw.h"
#include "trace.h"

namespace sim {

namespace saa7146 {
// Register window offsets.
inline constexpr uint32_t kBarSize = 512;
inline constexpr uint32_t kDebiConfig = 0x7C;
inline constexpr uint32_t kDebiCommand = 0x80;
inline constexpr uint32_t kDebiPage = 0x84;
inline constexpr uint32_t kDebiAd = 0x88;
inline constexpr uint32_t kI2cTransfer = 0x8C;
inline constexpr uint32_t kI2cStatus = 0x90;
inline constexpr uint32_t kIer = 0xDC;
inline constexpr uint32_t kMc1 = 0xFC;
inline constexpr uint32_t kMc2 = 0x100;
inline constexpr uint32_t kIsr = 0x10C;
inline constexpr uint32_t kPsr = 0x110;
inline constexpr uint32_t kSsr = 0x114;
inline constexpr uint32_t kAudioPlayAddress = 0x12C;
inline constexpr uint32_t kAudioPlay2Address = 0x134;
inline constexpr uint32_t kAudioRecordAddress = 0x138;
inline constexpr uint32_t kPciBtV1 = 0x48;
inline constexpr uint32_t kPciBtA = 0x4C;
inline constexpr uint32_t kGpioCtrl = 0xE0;

// Bits of the burst/threshold registers that hold a field.
inline constexpr uint32_t kPciBtV1Fields = 0x1C1F1F1F;
inline constexpr uint32_t kPciBtAFields = 0x1F1F1F1F;

// Interrupt status / enable bits.
inline constexpr uint32_t kIrqSharedLine = 0x40;
inline constexpr uint32_t kIrqField = 0x100;
inline constexpr uint32_t kIrqI2cError = 0x10000;
inline constexpr uint32_t kIrqI2cDone = 0x20000;
inline constexpr uint32_t kIrqDebiDone = 0x80000;

// Primary status bits.
inline constexpr uint32_t kPsrFpgasConfigured = 0x10;
inline constexpr uint32_t kPsrSharedLineHigh = 0x40;     // low = a board source is asserting
inline constexpr uint32_t kPsrFieldParityInverted = 0x100;  // clear on an odd field
inline constexpr uint32_t kPsrDebiBusy = 0x80000;

// MC1 bits.
inline constexpr uint32_t kMc1MasterResetN = 0x8000;

// MC2 upload strobes.
inline constexpr uint32_t kUploadI2c = 0x1;
inline constexpr uint32_t kUploadDebi = 0x2;
inline constexpr uint32_t kUploadDma1 = 0x4;
inline constexpr uint32_t kUploadDma2 = 0x8;
inline constexpr uint32_t kUploadDma3 = 0x10;
inline constexpr uint32_t kUploadHpsHorizontal = 0x20;
inline constexpr uint32_t kUploadHpsVertical = 0x40;
inline constexpr uint32_t kUploadBrs = 0x100;
inline constexpr uint32_t kUploadStrobes = 0x7FF;

// Configuration space.
inline constexpr uint16_t kVendorId = 0x1131;
inline constexpr uint16_t kDeviceId = 0x7146;
inline constexpr uint32_t kClassCode = 0x048000;  // multimedia, other
inline constexpr uint32_t kBar0Mask = ~(kBarSize - 1);
}  // namespace saa7146

struct BridgeIds {
    uint16_t subsystemVendor = 0x5A52;
    uint16_t subsystemId = 0x0202;
    uint8_t revision = 0x01;
    uint8_t latencyTimer = 64;  // as the BIOS leaves it
};

class Saa7146 : public hw::PciFunction {
public:
    explicit Saa7146(BridgeIds ids = {});

    // hw::PciFunction
    std::string Name() const override { return "saa7146"; }
    void ConfigRead(uint32_t offset, void* data, uint32_t length) override;
    void ConfigWrite(uint32_t offset, const void* data, uint32_t length) override;
    uint32_t MmioRead(int bar, uint32_t offset, int size) override;
    void MmioWrite(int bar, uint32_t offset, uint32_t value, int size) override;
    void Attach(hw::Host* host) override;
    void Reset() override;

    // The function the host knows this bridge as, when a board wraps it.
    void SetIdentity(hw::PciFunction* identity) { identity_ = identity; }
    hw::Host* Host() const { return host_; }

    // Identity fields; take effect at once and survive resets.
    void SetSubsystemIds(uint16_t vendor, uint16_t id);
    void SetRevision(uint8_t revision);
    const BridgeIds& Ids() const { return ids_; }

    // --- What the units behind the bridge drive ---
    // Latches ISR bits (whatever IER says) and updates the line.
    void RaiseStatus(uint32_t isrBits);
    void SetPrimaryStatus(uint32_t mask, bool set);
    void SetSecondaryStatus(uint32_t mask, bool set);
    // The board's shared interrupt line (PSR bit 6, active low).
    void SetSharedLine(bool asserted);
    // 1 odd, 0 even; PSR bit 8 shows it inverted.
    void SetFieldParity(int parity);
    void SetFpgasConfigured(bool configured) { SetPrimaryStatus(saa7146::kPsrFpgasConfigured, configured); }
    void SetDebiBusy(bool busy) { SetPrimaryStatus(saa7146::kPsrDebiBusy, busy); }
    // A DMA unit ends its run: MC1 bits that the unit clears by itself.
    void ClearMc1Bits(uint32_t mask) { mc1_ &= ~mask; }
    // A unit that turns itself off (video DMA 1 at its stop) clears its MC1 bit.
    void ClearMainControl1(uint32_t bits);
    // Result values a unit hands back (DEBI data, I2C status, current addresses).
    void SetActive(uint32_t offset, uint32_t value);

    // Runs after an upload strobe copied its group (DEBI and I2C units).
    void OnUpload(uint32_t strobe, std::function<void()> hook);
    // Runs before a host read of the register (a unit brings its status up
    // to date) and after a host write landed (with the written value; for
    // MC1 its value after the write). Several write hooks of one register
    // all run, in the order they were set; an empty one removes them all.
    void OnRegisterRead(uint32_t offset, std::function<void()> hook);
    void OnRegisterWrite(uint32_t offset, std::function<void(uint32_t written)> hook);
    // Runs whenever the register window returns to its power-on state
    // (machine reset or the master-reset bit of MC1).
    void OnRegistersReset(std::function<void()> hook);

    // --- Inspection ---
    uint32_t Active(uint32_t offset) const;   // as the chip uses it (what a read returns)
    uint32_t Written(uint32_t offset) const;  // as last written (shadow)
    uint32_t Isr() const { return isr_; }
    uint32_t Ier() const { return ier_; }
    uint32_t Psr() const { return psr_; }
    bool InterruptLine() const { return line_; }
    uint32_t UploadCount(uint32_t strobe) const;

    Trace& GetTrace() { return trace_; }
    // Everything the bridge and the units behind it share.
    FairRecursiveMutex& Lock() { return mutex_; }

private:
    uint32_t Read32(uint32_t offset);
    void Write32(uint32_t offset, uint32_t value, uint32_t byteMask);
    void ResetConfig();
    void ResetRegisters(bool keepInputs);
    void Upload(uint32_t strobes);
    void UpdateLine();
    static uint32_t ShadowGroup(uint32_t offset);  // its upload strobe, 0 when not shadowed

    BridgeIds ids_;
    hw::Host* host_ = nullptr;
    hw::PciFunction* identity_ = this;
    mutable FairRecursiveMutex mutex_;
    Trace trace_{"saa7146"};

    std::array<uint8_t, 256> config_{};
    std::array<uint8_t, 256> configWriteMask_{};

    std::array<uint32_t, saa7146::kBarSize / 4> active_{};
    std::array<uint32_t, saa7146::kBarSize / 4> written_{};
    uint32_t ier_ = 0;
    uint32_t isr_ = 0;
    uint32_t psr_ = 0;
    uint32_t ssr_ = 0;
    uint32_t mc1_ = 0;
    uint32_t mc2_ = 0;
    bool line_ = false;
    std::array<std::function<void()>, 16> uploadHooks_{};
    std::array<std::function<void()>, saa7146::kBarSize / 4> readHooks_{};
    std::array<std::function<void(uint32_t)>, saa7146::kBarSize / 4> writeHooks_{};
    std::vector<std::function<void()>> resetHooks_;
    std::array<uint32_t, 16> uploadCounts_{};
};

}  // namespace sim
