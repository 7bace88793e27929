// Named PCI layouts of a machine: which boards, foreign bridges and other
// devices sit at which bus/device/function, and how many buses exist. Tests
// pick a layout by name; the machine options name one for the command line.
//
// What this unit assumes:
// - Bus numbers past BusCount do not exist (configuration reads return 0
//   bytes). A layout may place a device on such a bus on purpose: it is
//   plugged but unreachable, as a device behind a missing bus is.
// - An "other" device is a bare function with the given ids, no BARs and no
//   interrupt; it stands for whatever else the machine carries.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "board.h"
#include "platform/hw/hw.h"

namespace sim {

enum class SlotKind {
    Board,          // the board (bridge with the board's subsystem ids by its options)
    ForeignBridge,  // the same bridge chip with someone else's subsystem ids
    Other,          // an unrelated function
};

struct LayoutSlot {
    hw::PciLocation at;
    SlotKind kind = SlotKind::Board;
    BoardOptions board;        // Board and ForeignBridge
    uint16_t vendorId = 0;     // Other
    uint16_t deviceId = 0;     // Other
    uint32_t interruptLine = 0;
};

struct PciLayout {
    std::string name;
    std::string description;
    uint32_t busCount = 1;
    std::vector<LayoutSlot> slots;
    // How many boards the driver's scan is expected to record, and how many
    // of them as the board (state 2): what a test of the scan checks.
    uint32_t expectedRecords = 0;
    uint32_t expectedBoards = 0;
};

const std::vector<PciLayout>& PciLayouts();
const PciLayout* FindPciLayout(std::string_view name);

// A layout of n boards on bus 0, devices first.. in order, each on its own
// interrupt line.
PciLayout BoardsLayout(uint32_t count, uint32_t firstDevice = 4, BoardOptions options = {});

struct BuiltTopology {
    std::shared_ptr<hw::PciTopology> topology;
    // The layout's boards and foreign bridges in slot order.
    std::vector<std::shared_ptr<Board>> boards;
};
BuiltTopology BuildTopology(const PciLayout& layout);

// A bare PCI function with fixed ids and nothing behind it.
class PlainPciFunction : public hw::PciFunction {
public:
    PlainPciFunction(uint16_t vendorId, uint16_t deviceId, uint32_t classCode = 0xFF0000);
    std::string Name() const override { return "plain-function"; }
    void ConfigRead(uint32_t offset, void* data, uint32_t length) override;
    void ConfigWrite(uint32_t, const void*, uint32_t) override {}
    uint32_t MmioRead(int, uint32_t, int) override { return 0xFFFFFFFF; }
    void MmioWrite(int, uint32_t, uint32_t, int) override {}
    void Attach(hw::Host*) override {}
    void Reset() override {}

private:
    uint8_t config_[256] = {};
};

}  // namespace sim
