// The bridge's DEBI engine and the board's side of the DEBI bus: programmed
// (immediate) accesses to the board's 16-bit registers, block transfers
// between host memory and the board, and the board's SDRAM window.
//
// What this unit assumes where the driver's side leaves the hardware open:
// - A DEBI upload (MC2 strobe 0x2) starts the command in DEBI_COMMAND: board
//   address in bits 0-15, bit 16 set for a read (board to host), byte count
//   in bits 17-31. A count of 1-4 is an immediate transfer through DEBI_AD:
//   counts 1-2 are one 16-bit register access (a count of 1 moves the low
//   byte), counts 3-4 two accesses, at the address and the address + 2, low
//   half of DEBI_AD first. A count of 5-32,752 is a block transfer; a longer
//   one is refused (traced, counted, nothing moves, the engine stays idle).
// - DEBI_CONFIG as the bridge documents it: bits 22-28 the time-out in PCI
//   clocks, bit 18 address increment for blocks, bit 19 16-bit slave, bit 17
//   Intel handshake; byte swapping (bits 20-21) is not modelled (traced).
// - Time. A PCI clock is 30 ns. A transfer takes 4 clocks to start, then
//   one bus cycle per 16 bits: 2 clocks plus the time-out for a register
//   target (the slow chips behind the FPGAs use the whole window the driver
//   gives them), 2 clocks flat for the SDRAM window, whose FIFO answers at
//   once. A programmed read with 0x008A0000 is 240 ns, with the SCSI
//   controller's 0x014A0000 330 ns; 4 KB through the window is 123 us.
// - PSR bit 0x80000 shows busy from the upload until the transfer's end.
//   Every host read of PSR while busy also counts as 4 clocks of bus time,
//   so a driver spinning on the bit without a stall finishes on a virtual
//   clock that does not move by itself.
// - The DEBI done status (ISR 0x80000) latches at the end of every transfer,
//   whether IER enables it or not, as the bridge's sources do; IER only
//   decides whether it raises INTA#. A transfer that started with the
//   interrupt off ends when it is next looked at (status read, next upload).
//   A driver must clear a done left by such a transfer before it enables
//   the interrupt for an interrupt-driven one, or that one would end at once.
// - Data moves when the transfer starts; only busy and done take the time.
//   An upload while busy is refused (traced, counted).
// - Block host side: with DEBI_PAGE bit 11 (MMU) set, DEBI_AD is a linear
//   address whose bits 12-21 index a page table at DEBI_PAGE bits 12-31
//   (one 32-bit entry per 4 KB page, page address in bits 12-31); otherwise
//   DEBI_AD is the bus address of one contiguous buffer. A host address the
//   machine never mapped is traced and counted; the transfer goes on.
// - Block board side: with the increment bit every 16-bit word goes to the
//   next register address, without it every word goes to the same address
//   (a port). An odd last byte is one access of its own.
// - The SDRAM window is board addresses 0x9000-0x93FF. Writing the block
//   register 0xB404 sets the window's pointer to the start of that 512-byte
//   block; every byte moved through the window (block or immediate) advances
//   it, so back-to-back transfers continue where the last one stopped. The
//   mode register 0xB408 bits 10-13, read when a transfer starts, select the
//   layout: 0000b linear (mode 0), 0010b mode 1, 1010b the 7,936-block ring
//   (mode 2, wraps inside a transfer), 0011b mode 101, 0111b mode 102; the
//   memory decides what modes other than 2 mean; an unknown pattern is linear
//   and traced. Both registers read back as written.
// - The board status bit 0xBC00 0x0800 (the board's DEBI state machine busy)
//   reads 0: the window's FIFO drains within the transfer's own time. A test
//   can hold it set (SetWindowStateMachineStuck) to fail the driver's wait.
#pragma once

#include <cstdint>
#include <vector>

#include "trace.h"

namespace sim {

class Saa7146;
class BoardRegs;
class Sdram;

namespace debi {
inline constexpr uint32_t kCommandRead = 0x10000;
inline constexpr uint32_t kCommandCountShift = 17;
inline constexpr uint32_t kMaxBlockBytes = 32752;
inline constexpr uint32_t kPageMmu = 0x800;

inline constexpr uint32_t kConfigIncrement = 1u << 18;
inline constexpr uint32_t kConfigSwapMask = 3u << 20;
inline constexpr uint32_t kConfigTimeoutShift = 22;
inline constexpr uint32_t kConfigTimeoutMask = 0x7F;

inline constexpr uint32_t kPciClockNs = 30;
inline constexpr uint32_t kStartClocks = 4;
inline constexpr uint32_t kWindowWordClocks = 2;
inline constexpr uint32_t kStatusReadClocks = 4;

// The board side.
inline constexpr uint32_t kWindowFirst = 0x9000;
inline constexpr uint32_t kWindowLast = 0x93FF;
inline constexpr uint32_t kWindowBlock = 0xB404;
inline constexpr uint32_t kWindowMode = 0xB408;
inline constexpr uint16_t kWindowModeBits = 0x3C00;
inline constexpr uint16_t kStatusWindowBusy = 0x0800;

// Time a transfer of 'bytes' takes under 'config'; 'window' for the SDRAM window.
uint64_t TransferNs(uint32_t config, uint32_t bytes, bool window);
// The SDRAM layout the mode register selects (0, 1, 2, 101, 102), -1 unknown.
int WindowLayout(uint16_t modeRegister);
}  // namespace debi

// One started (or refused) transfer, as the access log keeps it.
struct DebiAccess {
    uint64_t time;      // machine time of the upload
    uint32_t config;    // DEBI_CONFIG in force
    uint32_t command;   // DEBI_COMMAND as uploaded
    uint32_t page;      // DEBI_PAGE
    uint32_t ad;        // block: the host address; immediate: the data moved
    uint64_t durationNs;
    bool refused;

    uint32_t Address() const { return command & 0xFFFF; }
    uint32_t Bytes() const { return command >> debi::kCommandCountShift; }
    bool IsRead() const { return (command & debi::kCommandRead) != 0; }
    bool IsBlock() const { return Bytes() > 4; }
};

class Debi {
public:
    Debi(Saa7146& bridge, BoardRegs& regs, Sdram& sdram);

    // Power-on: idle, the window at block 0 in mode 0.
    void Reset();

    struct Stats {
        uint64_t immediates = 0;
        uint64_t blocks = 0;
        uint64_t blockBytes = 0;
        uint64_t refused = 0;      // upload while busy, or a block too long
        uint64_t hostFaults = 0;   // host addresses nobody mapped
    };
    const Stats& GetStats() const { return stats_; }
    uint64_t ImmediateCount() const { return stats_.immediates; }

    // Busy as the engine stands at the machine's present time (no bus time
    // is counted for asking).
    bool Busy();

    // The access log: off by default; when on, every upload that carried a
    // transfer is appended.
    void EnableAccessLog(bool on);
    const std::vector<DebiAccess>& AccessLog() const { return log_; }
    void ClearAccessLog() { log_.clear(); }

    // Fault injection: the board's DEBI state machine never reports idle.
    void SetWindowStateMachineStuck(bool stuck);
    // Fault injection: the next n block transfers end without latching their
    // done status, so no done interrupt comes (the engine still goes idle).
    void LoseBlockDoneStatus(int n);
    // Fault injection: once an immediate write to 'address' has gone
    // through, the engine reports busy until ReleaseHang (a board bus that
    // hangs in the middle of a run of register writes).
    void HangAfterWriteTo(uint32_t address);
    void ReleaseHang();

    // The window pointer: the block it is in and the byte offset inside it.
    uint32_t WindowBlock() const { return s_.windowBlock; }
    uint32_t WindowOffset() const { return s_.windowOffset; }

    Trace& GetTrace() { return trace_; }

private:
    struct State {
        // The transfer in flight.
        bool busy = false;
        uint64_t endNs = 0;        // machine time it ends
        uint64_t creditNs = 0;     // bus time counted for status reads
        uint64_t timerId = 0;      // end event, when done must latch
        uint32_t sequence = 0;     // transfers started; tells a stale end event
        bool timedEnd = false;     // the done interrupt was enabled at the upload
        bool loseDone = false;     // this transfer's done status is lost (injected)
        int lostDoneLeft = 0;      // block transfers still to lose theirs
        int64_t hangAfter = -1;    // the address whose write hangs the engine (injected)
        bool hung = false;         // busy reported until released
        // The SDRAM window.
        uint16_t blockRegister = 0;
        uint16_t modeRegister = 0;
        uint32_t windowBlock = 0;
        uint32_t windowOffset = 0;
    };

    void OnUpload();
    void OnStatusRead();
    void OnBridgeReset();
    void Finish();
    void Abort();

    void Immediate(uint32_t address, uint32_t count, bool read);
    void Block(uint32_t address, uint32_t count, bool read, uint32_t page, uint32_t ad, bool increment);
    // Host side of a block: calls piece(busAddress, offset, length) per run.
    template <class F>
    void ForEachHostRun(uint32_t page, uint32_t ad, uint32_t count, F&& piece);
    void WindowTransfer(uint32_t page, uint32_t ad, uint32_t count, bool read);
    void WindowImmediate(uint8_t* data, uint32_t count, bool read);
    int WindowLayoutForTransfer();
    void AdvanceWindow(uint32_t bytes, int layout);

    Saa7146& bridge_;
    BoardRegs& regs_;
    Sdram& sdram_;
    State s_;
    Stats stats_;
    bool logging_ = false;
    std::vector<DebiAccess> log_;
    std::vector<uint8_t> staging_;  // register blocks, one transfer's worth
    Trace trace_{"debi"};
};

}  // namespace sim
