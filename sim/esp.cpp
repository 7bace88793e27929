#include "esp.h"

#include <algorithm>
#include <mutex>

#include "board_regs.h"
#include "saa7146.h"

namespace sim {

using namespace esp;
using scsi::Phase;

Esp::Esp(Saa7146& bridge, BoardRegs& regs, Sdram& memory) : bridge_(bridge), regs_(regs), memory_(memory)
{
    ResetRegisters();
    s_.sdramControl = s_.sdramBlock = 0;
    regs_.MapRange(kBase, kLast, [this](uint32_t a) { return Read(a); }, [this](uint32_t a, uint16_t v) { Write(a, v); });
    regs_.MapRange(kSdramControl, kSdramControl, [this](uint32_t a) { return Read(a); },
                   [this](uint32_t a, uint16_t v) { Write(a, v); });
    regs_.MapRange(kSdramBlock, kSdramBlock, [this](uint32_t a) { return Read(a); },
                   [this](uint32_t a, uint16_t v) { Write(a, v); });
}

Esp::~Esp() { CancelPending(); }

void Esp::AttachTarget(ScsiDisk* disk)
{
    if (disk && disk->Id() >= 0 && disk->Id() < 16) targets_[disk->Id()] = disk;
}

void Esp::SetTraceEnabled(bool on)
{
    trace_.Enable(on);
    for (ScsiDisk* t : targets_)
        if (t) t->GetTrace().Enable(on);
}

void Esp::SetTraceSink(Trace::Sink sink)
{
    trace_.SetSink(sink);
    for (ScsiDisk* t : targets_)
        if (t) t->GetTrace().SetSink(sink);
}

// --- Reset ---

void Esp::ResetRegisters()
{
    s_.counter = 0;
    s_.fifo.fill(0);
    s_.fifoCount = 0;
    s_.command = 0;
    s_.status = 0;
    s_.seqStep = 0;
    s_.written.fill(0);
    s_.connected = -1;
    s_.phase = Phase::BusFree;
    s_.atn = false;
    s_.stalled = false;
    LowerInterrupt();
}

void Esp::Reset()
{
    std::lock_guard lock(bridge_.Lock());
    CancelPending();
    ResetRegisters();
    s_.sdramControl = s_.sdramBlock = 0;
    s_.dmaBlock = s_.dmaMode = s_.dmaOffset = 0;
    uint64_t now = bridge_.Host() ? bridge_.Host()->Now() : 0;
    for (ScsiDisk* t : targets_)
        if (t) t->PowerOn(now);
    trace_("power on");
}

// --- Register handlers ---

uint16_t Esp::Read(uint32_t address)
{
    std::lock_guard lock(bridge_.Lock());
    switch (address) {
    case kSdramControl: return s_.sdramControl;
    case kSdramBlock: return s_.sdramBlock;
    default: return ReadRegister(int((address - kBase) >> 2));
    }
}

void Esp::Write(uint32_t address, uint16_t value)
{
    std::lock_guard lock(bridge_.Lock());
    switch (address) {
    case kSdramControl: WriteSdramControl(value); break;
    case kSdramBlock:
        s_.sdramBlock = value;
        trace_("SDRAM block := 0x%04x", value);
        break;
    default: WriteRegister(int((address - kBase) >> 2), uint8_t(value)); break;
    }
}

uint8_t Esp::ReadRegister(int n)
{
    switch (n) {
    case kCount0: return uint8_t(s_.counter);
    case kCount1: return uint8_t(s_.counter >> 8);
    case kCount2: return uint8_t(s_.counter >> 16);
    case kCount3: return uint8_t(s_.counter >> 24);
    case kFifo: return FifoPop();
    case kCommand: return s_.command;
    case kStatus: return uint8_t(s_.status | uint8_t(s_.phase));
    case kInterrupt: {
        uint8_t bits = s_.interrupt;
        LowerInterrupt();
        return bits;
    }
    case kSeqStep: return s_.seqStep;
    case kFifoFlags: return uint8_t(s_.fifoCount & 0x1F);
    default: return s_.written[n];  // configuration registers read back
    }
}

void Esp::WriteRegister(int n, uint8_t value)
{
    switch (n) {
    case kFifo: FifoPush(value); break;
    case kCommand: RunCommand(value); break;
    default:
        s_.written[n] = value;
        trace_("reg %d := 0x%02x", n, value);
        break;
    }
}

namespace {
// The SDRAM layout a 0x9400 mode field selects; any other field is linear.
uint32_t SdramModeOf(uint32_t field)
{
    switch (field) {
    case kSdramModeRing: return Sdram::kModeRing;
    case kSdramModeRecordBank0: return Sdram::kModeRecordBank0;
    case kSdramModeRecordBank1: return Sdram::kModeRecordBank1;
    default: return Sdram::kModeLinear;
    }
}
}  // namespace

void Esp::WriteSdramControl(uint16_t value)
{
    bool arming = (value & kSdramArm) && !(s_.sdramControl & kSdramArm);
    s_.sdramControl = value;
    uint32_t field = (value & kSdramModeMask) >> kSdramModeShift;
    if (arming) {
        s_.dmaBlock = s_.sdramBlock;
        s_.dmaMode = SdramModeOf(field);
        s_.dmaOffset = 0;
        trace_("SDRAM side armed: block 0x%04x, mode field 0x%x (SDRAM mode %u), %s", s_.dmaBlock, field, s_.dmaMode,
               (value & kSdramFromMemory) ? "SDRAM to drive" : "drive to SDRAM");
        if (field != 0 && s_.dmaMode == Sdram::kModeLinear) trace_("mode field 0x%x taken as linear", field);
    } else {
        trace_("SDRAM control := 0x%04x", value);
    }
}

// --- Interrupt helpers ---

void Esp::RaiseInterrupt(uint8_t bits)
{
    s_.interrupt |= bits;
    s_.status |= kStatusInterrupt;
    trace_("interrupt 0x%02x (now 0x%02x), phase %s, step %u", bits, s_.interrupt, scsi::PhaseName(s_.phase),
           s_.seqStep);
    regs_.SetSourceAsserted(BoardIrqSource::Scsi, true);
}

void Esp::LowerInterrupt()
{
    if (s_.interrupt) trace_("interrupt 0x%02x read and cleared", s_.interrupt);
    s_.interrupt = 0;
    s_.status &= uint8_t(~kStatusInterrupt);
    regs_.SetSourceAsserted(BoardIrqSource::Scsi, false);
}

void Esp::Illegal(const char* why)
{
    trace_("illegal command 0x%02x: %s", s_.command, why);
    RaiseInterrupt(kIrqIllegalCommand);
}

void Esp::Stall(const char* why)
{
    s_.stalled = true;
    trace_("data phase stalls: %s", why);
}

// --- Timed steps ---

void Esp::After(uint64_t ns, std::function<void()> step)
{
    hw::Host* host = bridge_.Host();
    if (!host) {  // a board nobody plugged: no clock, the step happens at once
        step();
        return;
    }
    s_.pendingEvent = host->Schedule(host->Now() + ns, [this, step = std::move(step)] {
        std::lock_guard lock(bridge_.Lock());
        s_.pendingEvent = 0;
        step();
    });
}

void Esp::CancelPending()
{
    if (s_.pendingEvent && bridge_.Host()) bridge_.Host()->Cancel(s_.pendingEvent);
    s_.pendingEvent = 0;
}

void Esp::SetPhase(Phase phase)
{
    if (phase == s_.phase) return;
    trace_("bus %s -> %s", scsi::PhaseName(s_.phase), scsi::PhaseName(phase));
    s_.phase = phase;
}

// The controller's view follows the target; a target that let the bus go
// leaves it free.
void Esp::FollowTarget()
{
    ScsiDisk* t = Connected();
    Phase p = t ? t->GetPhase() : Phase::BusFree;
    SetPhase(p);
    if (p == Phase::BusFree && s_.connected >= 0) {
        trace_("target %d left the bus", s_.connected);
        s_.connected = -1;
        s_.atn = false;
    }
}

// A drive that stopped answering drops off the bus at its next step.
bool Esp::DropIfGone()
{
    ScsiDisk* t = Connected();
    if (!t || t->Answering()) return false;
    trace_("target %d stopped answering", s_.connected);
    t->Abandon();
    FollowTarget();
    RaiseInterrupt(kIrqDisconnect);
    return true;
}

void Esp::FifoPush(uint8_t byte)
{
    if (s_.fifoCount >= s_.fifo.size()) {
        trace_("FIFO overflow: 0x%02x lost", byte);
        return;
    }
    s_.fifo[s_.fifoCount++] = byte;
}

uint8_t Esp::FifoPop()
{
    if (s_.fifoCount == 0) {
        trace_("FIFO read while empty");
        return 0;
    }
    uint8_t byte = s_.fifo[0];
    std::copy(s_.fifo.begin() + 1, s_.fifo.begin() + s_.fifoCount, s_.fifo.begin());
    --s_.fifoCount;
    return byte;
}

// --- Commands ---

void Esp::RunCommand(uint8_t command)
{
    s_.command = command;
    trace_("command 0x%02x", command);
    uint8_t code = command & 0x7F;
    bool immediate = code == kCmdNop || code == kCmdFlushFifo || code == kCmdResetChip || code == kCmdResetBus ||
                     code == kCmdSetAtn || code == kCmdResetAtn;
    if (s_.pendingEvent && !immediate) {
        Illegal("a command is still in progress");
        return;
    }
    if (command & kCmdDma) {
        uint32_t start = uint32_t(s_.written[kCount0]) | uint32_t(s_.written[kCount1]) << 8 |
                         uint32_t(s_.written[kCount2]) << 16 | uint32_t(s_.written[kCount3]) << 24;
        s_.counter = start ? start : 1ull << 32;
        s_.status &= uint8_t(~kStatusCountZero);
        trace_("counter := %llu", (unsigned long long)s_.counter);
    }
    switch (code) {
    case kCmdNop: break;
    case kCmdFlushFifo: CmdFlushFifo(); break;
    case kCmdResetChip: CmdResetChip(); break;
    case kCmdResetBus: CmdResetBus(); break;
    case kCmdTransferInfo: CmdTransferInfo(command & kCmdDma); break;
    case kCmdCommandComplete: CmdCommandComplete(); break;
    case kCmdMessageAccepted: CmdMessageAccepted(); break;
    case kCmdSetAtn: CmdSetAtn(true); break;
    case kCmdResetAtn: CmdSetAtn(false); break;
    case kCmdSelectAtn: CmdSelectAtn(false); break;
    case kCmdSelectAtnStop: CmdSelectAtn(true); break;
    default: Illegal("not a command of this controller"); break;
    }
}

void Esp::CmdFlushFifo()
{
    if (s_.fifoCount) trace_("FIFO flushed (%u bytes)", s_.fifoCount);
    s_.fifoCount = 0;
}

// The controller's reset is the chip's own: the bus lines belong to the
// target that holds them, and only a bus reset (or the target) lets them go.
void Esp::CmdResetChip()
{
    CancelPending();
    int holder = s_.connected;
    ResetRegisters();
    s_.command = kCmdResetChip;
    if (holder >= 0) {
        s_.connected = holder;
        FollowTarget();
        trace_("controller reset; target %d still holds the bus in %s", holder, scsi::PhaseName(s_.phase));
    } else {
        trace_("controller reset");
    }
}

void Esp::CmdResetBus()
{
    CancelPending();
    for (ScsiDisk* t : targets_)
        if (t) t->BusReset();
    s_.connected = -1;
    s_.atn = false;
    s_.stalled = false;
    SetPhase(Phase::BusFree);
    trace_("SCSI bus reset");
    if (!(s_.written[kConfig1] & kConfig1NoResetIrq)) After(kStepNs, [this] { RaiseInterrupt(kIrqBusReset); });
}

void Esp::CmdSetAtn(bool on)
{
    s_.atn = on;
    trace_("ATN %s", on ? "asserted" : "released");
}

void Esp::CmdSelectAtn(bool stop)
{
    if (s_.connected >= 0) {
        Illegal("selection while a target holds the bus");
        return;
    }
    int id = s_.written[kDestId] & 0x0F;
    s_.seqStep = 0;
    s_.stalled = false;
    ScsiDisk* t = targets_[id];
    if (!t || !t->Select(true)) {
        uint32_t units = s_.written[kSelTimeout] ? s_.written[kSelTimeout] : 256;
        trace_("selecting id %d: no answer yet", id);
        After(units * kSelTimeoutUnitNs, [this] { SelectionTimedOut(); });
        return;
    }
    s_.connected = id;
    s_.atn = true;
    trace_("selecting id %d with ATN%s", id, stop ? " and stop" : "");
    After(kSelectNs, [this, stop] { FinishSelection(stop); });
}

void Esp::SelectionTimedOut()
{
    trace_("selection time-out");
    SetPhase(Phase::BusFree);
    RaiseInterrupt(kIrqDisconnect);
}

void Esp::FinishSelection(bool stop)
{
    if (DropIfGone()) return;
    ScsiDisk* t = Connected();
    if (s_.fifoCount == 0) {  // nothing to identify with: the target waits in message out
        s_.seqStep = 0;
        FollowTarget();
        RaiseInterrupt(kIrqFunctionComplete | kIrqBusService);
        return;
    }
    uint8_t identify = FifoPop();
    s_.atn = stop;
    t->MessageOut(&identify, 1, stop);
    s_.seqStep = stop ? 1 : 2;
    if (stop || t->GetPhase() != Phase::Command) {
        FollowTarget();
        RaiseInterrupt(kIrqFunctionComplete | kIrqBusService);
        return;
    }
    size_t need = s_.fifoCount ? scsi::CdbLength(s_.fifo[0]) : 1;
    if (s_.fifoCount < need) {
        trace_("FIFO holds %u of %zu CDB bytes: stopping in the command phase", s_.fifoCount, need);
        s_.seqStep = 3;
        FollowTarget();
        RaiseInterrupt(kIrqFunctionComplete | kIrqBusService);
        return;
    }
    uint8_t cdb[16];
    for (size_t i = 0; i < need; ++i) cdb[i] = FifoPop();
    if (s_.fifoCount) trace_("%u bytes left in the FIFO after the CDB", s_.fifoCount);
    s_.seqStep = 4;
    SetPhase(Phase::Command);
    EndCommandPhase(t->Command(cdb, need, bridge_.Host() ? bridge_.Host()->Now() : 0));
}

// The target asks for its next phase, after holding the command phase for
// 'hold' (a START UNIT that waits for the motor).
void Esp::EndCommandPhase(uint64_t hold)
{
    uint8_t bits = s_.seqStep == 4 ? uint8_t(kIrqFunctionComplete | kIrqBusService) : kIrqBusService;
    auto end = [this, bits] {
        if (DropIfGone()) return;
        FollowTarget();
        RaiseInterrupt(bits);
    };
    if (hold) {
        trace_("target holds the command phase for %llu ns", (unsigned long long)hold);
        After(hold, end);
    } else {
        end();
    }
}

void Esp::CmdTransferInfo(bool dma)
{
    ScsiDisk* t = Connected();
    if (!t) {
        Illegal("transfer information while disconnected");
        return;
    }
    switch (s_.phase) {
    case Phase::MessageOut: {
        std::vector<uint8_t> bytes(s_.fifo.begin(), s_.fifo.begin() + s_.fifoCount);
        s_.fifoCount = 0;
        s_.atn = false;  // dropped before the last byte goes out
        After(kStepNs * std::max<size_t>(1, bytes.size()), [this, t, bytes] {
            if (DropIfGone()) return;
            t->MessageOut(bytes.data(), bytes.size(), s_.atn);
            FollowTarget();
            RaiseInterrupt(s_.connected >= 0 ? kIrqBusService : kIrqDisconnect);
        });
        break;
    }
    case Phase::Command: {
        std::vector<uint8_t> cdb(s_.fifo.begin(), s_.fifo.begin() + s_.fifoCount);
        s_.fifoCount = 0;
        if (cdb.empty()) {
            Illegal("command phase with an empty FIFO");
            return;
        }
        After(kStepNs, [this, t, cdb] {
            if (DropIfGone()) return;
            EndCommandPhase(t->Command(cdb.data(), cdb.size(), bridge_.Host() ? bridge_.Host()->Now() : 0));
        });
        break;
    }
    case Phase::MessageIn:
        After(kStepNs, [this, t] {
            if (DropIfGone()) return;
            FifoPush(t->MessageInByte());  // ACK stays asserted until message accepted
            RaiseInterrupt(kIrqFunctionComplete);
        });
        break;
    case Phase::Status:
        After(kStepNs, [this, t] {
            if (DropIfGone()) return;
            FifoPush(t->TakeStatus());
            FollowTarget();
            RaiseInterrupt(kIrqBusService);
        });
        break;
    case Phase::DataIn:
    case Phase::DataOut:
        if (dma) StartDataPhase();
        else Illegal("programmed data transfer is not modelled");
        break;
    default: Illegal("no phase to transfer in"); break;
    }
}

void Esp::CmdCommandComplete()
{
    ScsiDisk* t = Connected();
    if (!t || s_.phase != Phase::Status) {
        Illegal("status and message outside the status phase");
        return;
    }
    After(2 * kStepNs, [this, t] {
        if (DropIfGone()) return;
        FifoPush(t->TakeStatus());
        FifoPush(t->MessageInByte());  // ACK held on the message byte
        FollowTarget();
        RaiseInterrupt(kIrqFunctionComplete);
    });
}

void Esp::CmdMessageAccepted()
{
    ScsiDisk* t = Connected();
    if (!t) {
        Illegal("message accepted while disconnected");
        return;
    }
    if (s_.phase != Phase::MessageIn) {
        trace_("message accepted outside message in: nothing to release");
        return;
    }
    After(kStepNs, [this, t] {
        if (DropIfGone()) return;
        t->MessageAccepted(s_.atn);
        FollowTarget();
        RaiseInterrupt(s_.connected >= 0 ? kIrqBusService : kIrqDisconnect);
    });
}

void Esp::StartDataPhase()
{
    ScsiDisk* t = Connected();
    bool in = s_.phase == Phase::DataIn;
    bool wideSet = s_.written[kConfig3] & kConfig3Wide;
    uint8_t offsetSet = s_.written[kOffset] & 0x0F;
    if (!(s_.sdramControl & kSdramArm)) return Stall("SDRAM side not armed (0x9400 bit 9)");
    if (bool(s_.sdramControl & kSdramFromMemory) == in) return Stall("0x9400 direction opposite to the bus phase");
    if (wideSet != t->NegotiatedWide() || offsetSet != t->NegotiatedOffset()) {
        trace_("controller wide %d offset %u, target %d agreed wide %d offset %u", wideSet, offsetSet, t->Id(),
               t->NegotiatedWide(), t->NegotiatedOffset());
        return Stall("transfer settings differ from the target's agreement");
    }
    if (t->TakeHungDataPhase()) return Stall("target stopped handshaking (injected)");
    After(kDataNs, [this] { EndDataPhase(); });
}

void Esp::EndDataPhase()
{
    if (DropIfGone()) return;
    ScsiDisk* t = Connected();
    Phase phase = s_.phase;
    bool in = phase == Phase::DataIn;
    uint8_t* memory = memory_.Raw();
    uint32_t limit = Sdram::RegionEnd(s_.dmaMode);
    uint64_t moved = 0;
    // Whole pieces up to the next wrap point of SDRAM, straight into or out
    // of the image file.
    while (s_.counter > 0 && t->GetPhase() == phase) {
        uint32_t at = Sdram::Address(s_.dmaBlock, s_.dmaOffset, s_.dmaMode);
        uint32_t n = uint32_t(std::min<uint64_t>(s_.counter, limit - at));
        uint32_t done = in ? t->DataIn(memory + at, n) : t->DataOut(memory + at, n);
        s_.counter -= done;
        s_.dmaOffset += done;
        moved += done;
        if (done < n) break;
    }
    if (s_.counter == 0) s_.status |= kStatusCountZero;
    trace_("data %s: %llu bytes, counter %llu left", in ? "in" : "out", (unsigned long long)moved,
           (unsigned long long)s_.counter);
    FollowTarget();
    RaiseInterrupt(s_.connected >= 0 ? kIrqBusService : kIrqDisconnect);
}

}  // namespace sim
