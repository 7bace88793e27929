// The board's 16-bit register file behind the bridge's DEBI bus, with the
// board status word 0xBC00 and the shared interrupt mask 0xB840 that fold
// the board's own interrupt sources into one line to the bridge.
//
// What this unit assumes where the driver's side leaves the hardware open:
// - The address space is 64 K byte addresses of 16-bit registers; a register
//   no unit owns keeps what was last written and reads 0 after reset.
// - 0xBC00 is read-only status. Each interrupt source has an active-low bit
//   in it: the SCSI controller 0x1000 (as the drivers test it); the
//   time-code chip 0x0200 and the audio DSPs 0x0400 are this model's choice.
//   Other status bits (0x2000 DVE FPGA answers, 0x4000, 0x0800, 0x0100) are
//   set by the units that own them; after reset they read 0.
// - 0xB840 bit 0x1 (time code), 0x2 (SCSI), 0x10 (DSP) let an asserted
//   source pull the bridge's shared line low (PSR bit 6), which latches the
//   bridge's ISR bit 6 on its falling edge. The status bits in 0xBC00 follow
//   the sources whatever the mask says.
// - Units that come later own address ranges (MapRange) and see the
//   accesses to them instead of the plain store, or watch writes to plain
//   registers (WatchRange).
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "trace.h"

namespace sim {

class Saa7146;

namespace board_regs {
inline constexpr uint32_t kStatus = 0xBC00;
inline constexpr uint32_t kSharedIrqMask = 0xB840;

inline constexpr uint16_t kStatusScsiIrqN = 0x1000;
inline constexpr uint16_t kStatusTimeCodeIrqN = 0x0200;
inline constexpr uint16_t kStatusDspIrqN = 0x0400;

inline constexpr uint16_t kMaskTimeCode = 0x1;
inline constexpr uint16_t kMaskScsi = 0x2;
inline constexpr uint16_t kMaskDsp = 0x10;
}  // namespace board_regs

enum class BoardIrqSource { TimeCode, Scsi, Dsp };

class BoardRegs {
public:
    explicit BoardRegs(Saa7146& bridge);

    // The programmed access path the DEBI unit uses.
    uint16_t Read(uint32_t address);
    void Write(uint32_t address, uint16_t value);

    void Reset();

    // An interrupt source behind the shared line.
    void SetSourceAsserted(BoardIrqSource source, bool asserted);
    bool SourceAsserted(BoardIrqSource source) const;
    bool SharedLineAsserted() const;
    // Status bits owned by other units (not the interrupt bits).
    void SetStatusBits(uint16_t mask, bool set);

    // A later unit takes over [first, last].
    using ReadFn = std::function<uint16_t(uint32_t address)>;
    using WriteFn = std::function<void(uint32_t address, uint16_t value)>;
    void MapRange(uint32_t first, uint32_t last, ReadFn read, WriteFn write);

    // A later unit that only needs to see writes: after a write to [first,
    // last] lands in the plain store, 'watch' runs with it. The register
    // reads back as written.
    void WatchRange(uint32_t first, uint32_t last, WriteFn watch);

    // The stored value, without side effects.
    uint16_t Peek(uint32_t address) const { return store_[address & 0xFFFF]; }

    Trace& GetTrace() { return trace_; }

private:
    struct Range {
        uint32_t first, last;
        ReadFn read;
        WriteFn write;
    };
    const Range* Find(uint32_t address) const;
    uint16_t Status() const;
    void UpdateSharedLine();

    Saa7146& bridge_;
    std::vector<uint16_t> store_;
    std::vector<Range> ranges_;
    std::vector<Range> watches_;
    uint16_t statusBits_ = 0;   // bits other than the interrupt bits
    uint16_t sources_ = 0;      // asserted sources, as mask bits
    bool lineAsserted_ = false;
    Trace trace_{"board-regs"};
};

}  // namespace sim
