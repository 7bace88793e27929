// The bridge's DEBI engine, as far as programmed (immediate) accesses go:
// the path every board register access of the driver takes.
//
// What this unit assumes where the driver's side leaves the hardware open:
// - A DEBI upload (MC2 strobe 0x2) starts the command in DEBI_COMMAND:
//   board address in bits 0-15, bit 16 set for a read, byte count in bits
//   17 and up. A count of 1 to 4 is an immediate transfer: a write takes its
//   value from DEBI_AD, a read leaves the 16-bit register in DEBI_AD.
// - Immediate transfers finish at once: PSR's DEBI busy bit never shows and
//   no DEBI-done status latches (the driver polls for them with the DEBI
//   interrupt disabled).
// - Block (DMA) transfers are not modelled yet: they are traced and dropped.
#pragma once

#include <cstdint>

#include "trace.h"

namespace sim {

class Saa7146;
class BoardRegs;

class Debi {
public:
    Debi(Saa7146& bridge, BoardRegs& regs);

    uint64_t ImmediateCount() const { return immediates_; }
    Trace& GetTrace() { return trace_; }

private:
    void OnUpload();

    Saa7146& bridge_;
    BoardRegs& regs_;
    uint64_t immediates_ = 0;
    Trace trace_{"debi"};
};

}  // namespace sim
