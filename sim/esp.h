// The board's SCSI host adapter: an ESP-family controller whose sixteen
// byte-wide registers sit on DEBI at 0xA000 + 4n, with the board logic that
// moves its data phase to and from SDRAM (0x9400 control, 0x9C00 block).
// The drives on its bus are ScsiDisk targets.
//
// What this unit assumes where the driver's side leaves the hardware open:
// - Registers read: 0, 1, 14, 15 the live transfer counter (bits 0-31);
//   2 the FIFO (one byte a read, low 8 bits); 3 the last command; 4 status:
//   bit 7 interrupt pending, bit 4 counter reached zero, bits 0-2 the bus
//   phase; 5 the interrupt bits (reading returns and clears them, with
//   status bit 7, and releases the request); 6 the sequence step (kept
//   until the next selection); 7 the FIFO count in bits 0-4, in bytes (in
//   the 8-bit message and status phases, where the FIFO is read, an entry
//   is a byte); 8-13 read back what was written.
// - Registers written: 0, 1, 14, 15 the start count, loaded into the counter
//   by every command with bit 7 (DMA) set (0 loads the largest count, 2^32);
//   2 pushes a byte into the 16-byte FIFO; 4 destination id (bits 0-3);
//   5 selection time-out; 6 period; 7 offset (bits 0-3); 8 configuration 1
//   (bit 6 set: no interrupt on a bus reset); 12 configuration 3 (bit 6
//   wide). All are kept; 9-11 and 13 change nothing in the model.
// - With no target on the bus the phase bits read 4, a reserved phase: no
//   wait for a data phase is satisfied by an empty bus.
// - Timing on the machine clock: a selection takes 5 us; each message,
//   command or status step 1-2 us; a data phase 2 us whatever its length
//   (throughput is the image file's). Selecting an id nobody answers ends in
//   a disconnect interrupt after (register 5, 0 = 256) x 8 us, about 2 ms at
//   the driver's 255, so a bus scan stays far inside its time limits.
// - Commands: 0x00 nop; 0x01 flush FIFO; 0x02 reset controller (registers
//   to 0, interrupt released, a data phase in progress stopped; the bus is
//   left as it is: a target holding it keeps it, in its phase, and
//   selections are illegal until a bus reset frees it); 0x03 reset SCSI bus (targets lose their
//   agreements, get a unit attention; interrupt 0x80 unless configuration 1
//   bit 6); 0x10 transfer information: message out sends the whole FIFO and
//   drops ATN, command sends the FIFO as the CDB, message in takes one byte
//   into the FIFO and holds ACK (function complete), status takes the
//   status byte; 0x11 status and message into the FIFO (function complete,
//   ACK held on the message); 0x12 message accepted (bus service, or
//   disconnect when the target lets the bus go; outside message in it does
//   nothing); 0x1A/0x1B set/reset ATN;
//   0x42 select with ATN, identify and CDB from the FIFO (0x18, step 4; step
//   3 when the FIFO holds too few CDB bytes); 0x43 select with ATN, identify,
//   stop in message out with ATN (0x18, step 1); 0x80 DMA nop; 0x90 the DMA
//   data phase. Initiator commands while disconnected, selections while
//   connected, 0x11 outside the status phase, programmed data transfers,
//   unknown codes and commands issued while one is in progress raise 0x40
//   (illegal command).
// - Data phase (0x90): bytes move between the target and SDRAM only. 0x9400
//   bit 9 arms the SDRAM side: its rising edge latches the block in 0x9C00
//   and the access mode (bits 10-13: 1010b the 7,936-block ring, which wraps
//   inside a transfer; anything else linear); bit 8 set means SDRAM is the
//   source. The phase ends with bus service when the counter reaches 0 or
//   when the target changes phase first (the counter keeps the rest).
//   Bit 14 (flush of the last bytes) has nothing to flush here; bit 15 is kept.
// - A data phase that cannot run stalls with no interrupt, as the bus would
//   hang: SDRAM side not armed, direction opposite to the phase, or the
//   controller's width (config 3 bit 6) or offset (register 7) differing
//   from what the target agreed. Each stall is traced.
// - Faults (ScsiDisk::Faults): a drive that stops answering is dropped from
//   the bus at its next step (disconnect interrupt) and ignores selection;
//   selection time-outs and hung data phases as above; bad blocks end in a
//   status phase with CHECK CONDITION.
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "scsi_disk.h"
#include "sdram.h"
#include "trace.h"

namespace sim {

class Saa7146;
class BoardRegs;

namespace esp {
inline constexpr uint32_t kBase = 0xA000;
inline constexpr uint32_t kLast = 0xA03F;
inline constexpr uint32_t kSdramControl = 0x9400;
inline constexpr uint32_t kSdramBlock = 0x9C00;

enum Reg : uint8_t {
    kCount0 = 0, kCount1 = 1, kFifo = 2, kCommand = 3,
    kStatus = 4, kDestId = 4, kInterrupt = 5, kSelTimeout = 5,
    kSeqStep = 6, kPeriod = 6, kFifoFlags = 7, kOffset = 7,
    kConfig1 = 8, kClock = 9, kTiming = 10, kConfig2 = 11, kConfig3 = 12, kDmaThreshold = 13,
    kCount2 = 14, kCount3 = 15,
};

inline constexpr uint8_t kCmdNop = 0x00;
inline constexpr uint8_t kCmdFlushFifo = 0x01;
inline constexpr uint8_t kCmdResetChip = 0x02;
inline constexpr uint8_t kCmdResetBus = 0x03;
inline constexpr uint8_t kCmdTransferInfo = 0x10;
inline constexpr uint8_t kCmdCommandComplete = 0x11;
inline constexpr uint8_t kCmdMessageAccepted = 0x12;
inline constexpr uint8_t kCmdSetAtn = 0x1A;
inline constexpr uint8_t kCmdResetAtn = 0x1B;
inline constexpr uint8_t kCmdSelectAtn = 0x42;
inline constexpr uint8_t kCmdSelectAtnStop = 0x43;
inline constexpr uint8_t kCmdDma = 0x80;

inline constexpr uint8_t kIrqFunctionComplete = 0x08;
inline constexpr uint8_t kIrqBusService = 0x10;
inline constexpr uint8_t kIrqDisconnect = 0x20;
inline constexpr uint8_t kIrqIllegalCommand = 0x40;
inline constexpr uint8_t kIrqBusReset = 0x80;

inline constexpr uint8_t kStatusInterrupt = 0x80;
inline constexpr uint8_t kStatusCountZero = 0x10;
inline constexpr uint8_t kStatusPhaseMask = 0x07;

inline constexpr uint8_t kConfig1NoResetIrq = 0x40;
inline constexpr uint8_t kConfig3Wide = 0x40;

inline constexpr uint16_t kSdramFromMemory = 0x0100;  // 0x9400 bit 8: SDRAM is the source
inline constexpr uint16_t kSdramArm = 0x0200;
inline constexpr uint16_t kSdramModeShift = 10;
inline constexpr uint16_t kSdramModeMask = 0x3C00;
inline constexpr uint16_t kSdramModeRing = 0xA;       // 1010b
inline constexpr uint16_t kSdramModeRecordBank0 = 0x3;  // 0011b
inline constexpr uint16_t kSdramModeRecordBank1 = 0x7;  // 0111b
inline constexpr uint16_t kSdramStrobe = 0x4000;

inline constexpr uint64_t kSelectNs = 5'000;
inline constexpr uint64_t kStepNs = 1'000;
inline constexpr uint64_t kDataNs = 2'000;
inline constexpr uint64_t kSelTimeoutUnitNs = 8'000;
}  // namespace esp

class Esp {
public:
    Esp(Saa7146& bridge, BoardRegs& regs, Sdram& memory);
    ~Esp();
    Esp(const Esp&) = delete;
    Esp& operator=(const Esp&) = delete;

    // Puts a drive on the bus at its id (replacing any drive there).
    void AttachTarget(ScsiDisk* disk);
    ScsiDisk* Target(int id) const { return id >= 0 && id < 16 ? targets_[id] : nullptr; }

    // Machine power-on: controller and board DMA logic reset, bus free,
    // every drive powered on.
    void Reset();

    // The mapped DEBI ranges (controller registers, 0x9400, 0x9C00).
    uint16_t Read(uint32_t address);
    void Write(uint32_t address, uint16_t value);

    // Inspection for tests.
    scsi::Phase BusPhase() const { return s_.phase; }
    int ConnectedId() const { return s_.connected; }
    bool Stalled() const { return s_.stalled; }
    bool InterruptRequested() const { return s_.interrupt != 0; }

    Trace& GetTrace() { return trace_; }
    // The controller's trace and every attached drive's.
    void SetTraceEnabled(bool on);
    void SetTraceSink(Trace::Sink sink);

private:
    struct State {
        // As the driver reads them.
        uint64_t counter;           // regs 0, 1, 14, 15
        std::array<uint8_t, 16> fifo;
        uint8_t fifoCount;
        uint8_t command;            // reg 3
        uint8_t status;             // reg 4 without the phase bits
        uint8_t interrupt;          // reg 5
        uint8_t seqStep;            // reg 6
        // As the driver wrote them (0, 1, 14, 15: the start count).
        std::array<uint8_t, 16> written;
        // The bus as the controller sees it.
        int connected;              // target id, -1 when the bus is free
        scsi::Phase phase;
        bool atn;
        bool stalled;               // a data phase that will not end
        uint64_t pendingEvent;      // the timed step in progress, 0 none
        // Board logic between the data phase and SDRAM.
        uint16_t sdramControl;      // 0x9400
        uint16_t sdramBlock;        // 0x9C00
        uint32_t dmaBlock;          // latched when armed
        uint32_t dmaMode;           // Sdram::kModeLinear or kModeRing
        uint32_t dmaOffset;         // bytes moved since armed
    };

    uint8_t ReadRegister(int n);
    void WriteRegister(int n, uint8_t value);
    void WriteSdramControl(uint16_t value);

    // Controller commands.
    void RunCommand(uint8_t command);
    void CmdFlushFifo();
    void CmdResetChip();
    void CmdResetBus();
    void CmdTransferInfo(bool dma);
    void CmdCommandComplete();
    void CmdMessageAccepted();
    void CmdSetAtn(bool on);
    void CmdSelectAtn(bool stop);
    void StartDataPhase();

    // Steps that end a timed command.
    void FinishSelection(bool stop);
    void EndCommandPhase(uint64_t hold);
    void EndDataPhase();
    void SelectionTimedOut();

    void RaiseInterrupt(uint8_t bits);
    void LowerInterrupt();
    void Illegal(const char* why);
    void Stall(const char* why);
    void After(uint64_t ns, std::function<void()> step);
    void CancelPending();
    ScsiDisk* Connected() const { return s_.connected >= 0 ? targets_[s_.connected] : nullptr; }
    bool DropIfGone();
    void FollowTarget();
    void SetPhase(scsi::Phase phase);
    void FifoPush(uint8_t byte);
    uint8_t FifoPop();
    void ResetRegisters();

    Saa7146& bridge_;
    BoardRegs& regs_;
    Sdram& memory_;
    std::array<ScsiDisk*, 16> targets_{};
    State s_{};
    Trace trace_{"esp"};
};

}  // namespace sim
