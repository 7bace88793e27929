// One Solvane board as the machine's PCI bus sees it: the bridge function
// with the units behind it (field clock, DEBI programmed access, the board's
// register file). The board is the PCI function that is plugged; the bridge
// answers configuration and register accesses for it.
//
// What this unit assumes where the driver's side leaves the hardware open:
// - The machine's power-on reset (Reset) powers the board: the bridge and the
//   register file return to their power-on state and the field clock starts
//   counting from that moment. PowerOff stops the fields.
// - A board with foreign subsystem ids still carries every unit (it is what
//   a board with an unprogrammed identity looks like); only its ids differ.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "board_regs.h"
#include "debi.h"
#include "field_clock.h"
#include "saa7146.h"

namespace sim {

struct BoardOptions {
    int standard = 525;                 // 525 or 625
    uint16_t subsystemVendor = 0x5A52;
    uint16_t subsystemId = 0x0202;      // 0x0202 or 0x0203 for the board
    uint8_t revision = 0x01;            // bridge revision
    uint8_t latencyTimer = 64;          // as the BIOS leaves it

    // A board whose bridge carries someone else's subsystem ids.
    static BoardOptions Foreign(uint16_t vendor = 0x1131, uint16_t id = 0x0000)
    {
        BoardOptions o;
        o.subsystemVendor = vendor;
        o.subsystemId = id;
        return o;
    }
};

class Board : public hw::PciFunction {
public:
    explicit Board(BoardOptions options = {});

    // hw::PciFunction
    std::string Name() const override { return "solvane-board"; }
    void ConfigRead(uint32_t offset, void* data, uint32_t length) override;
    void ConfigWrite(uint32_t offset, const void* data, uint32_t length) override;
    uint32_t MmioRead(int bar, uint32_t offset, int size) override;
    void MmioWrite(int bar, uint32_t offset, uint32_t value, int size) override;
    void Attach(hw::Host* host) override;
    void Reset() override;

    void PowerOff();

    const BoardOptions& Options() const { return options_; }
    Saa7146& Bridge() { return bridge_; }
    FieldClock& Clock() { return clock_; }
    BoardRegs& Regs() { return regs_; }
    Debi& DebiUnit() { return debi_; }

    // Switches every unit's trace on or off.
    void SetTraceEnabled(bool on);
    void SetTraceSink(Trace::Sink sink);

private:
    BoardOptions options_;
    hw::Host* host_ = nullptr;
    Saa7146 bridge_;
    BoardRegs regs_;
    Debi debi_;
    FieldClock clock_;
};

}  // namespace sim
