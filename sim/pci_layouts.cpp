#include "pci_layouts.h"

#include <cstring>

namespace sim {

namespace {

LayoutSlot BoardAt(uint32_t bus, uint32_t device, uint32_t line, BoardOptions o = {})
{
    LayoutSlot s;
    s.at = {bus, device, 0};
    s.kind = SlotKind::Board;
    s.board = o;
    s.interruptLine = line;
    return s;
}

LayoutSlot ForeignAt(uint32_t bus, uint32_t device, uint32_t line)
{
    LayoutSlot s = BoardAt(bus, device, line, BoardOptions::Foreign());
    s.kind = SlotKind::ForeignBridge;
    return s;
}

LayoutSlot OtherAt(uint32_t bus, uint32_t device, uint32_t function, uint16_t vendor, uint16_t id)
{
    LayoutSlot s;
    s.at = {bus, device, function};
    s.kind = SlotKind::Other;
    s.vendorId = vendor;
    s.deviceId = id;
    return s;
}

BoardOptions Opt(int standard, uint16_t subsystemId = 0x0202)
{
    BoardOptions o;
    o.standard = standard;
    o.subsystemId = subsystemId;
    return o;
}

std::vector<PciLayout> MakeLayouts()
{
    std::vector<PciLayout> all;
    auto add = [&](std::string name, std::string description, uint32_t buses, std::vector<LayoutSlot> slots,
                   uint32_t records, uint32_t boards) {
        all.push_back({std::move(name), std::move(description), buses, std::move(slots), records, boards});
    };

    // A host bridge and an unrelated multi-function device beside the board,
    // as a workstation has them.
    add("one-board", "one board (0x0202, 525 lines) at bus 0 device 4", 1,
        {OtherAt(0, 0, 0, 0x5A00, 0x0001), BoardAt(0, 4, 16)}, 1, 1);
    add("one-board-625", "one board (0x0203, 625 lines) at bus 0 device 4", 1,
        {OtherAt(0, 0, 0, 0x5A00, 0x0001), BoardAt(0, 4, 16, Opt(625, 0x0203))}, 1, 1);
    add("empty", "no devices at all on bus 0", 1, {}, 0, 0);
    add("no-bus", "no PCI bus exists", 0, {}, 0, 0);
    add("no-board", "only unrelated devices, one of them multi-function", 1,
        {OtherAt(0, 0, 0, 0x5A00, 0x0001), OtherAt(0, 7, 0, 0x5A00, 0x0010), OtherAt(0, 7, 1, 0x5A00, 0x0011)}, 0, 0);
    add("foreign-only", "one SAA7146 with foreign subsystem ids", 1, {ForeignAt(0, 5, 17)}, 1, 0);
    add("foreign-then-board", "a foreign SAA7146 found before the board: the board becomes board 0", 1,
        {ForeignAt(0, 3, 17), BoardAt(0, 6, 16)}, 1, 1);
    add("board-then-foreign", "the board found before a foreign SAA7146: the foreign one is dropped", 1,
        {BoardAt(0, 3, 16), ForeignAt(0, 6, 17)}, 1, 1);
    add("board-after-function-0", "the board as function 1 of a multi-function device", 1,
        {OtherAt(0, 9, 0, 0x5A01, 0x0020), BoardAt(0, 9, 16)}, 1, 1);
    all.back().slots[1].at.function = 1;
    add("board-on-bus-2", "buses 0-2 exist, bus 1 empty, the board on bus 2", 3,
        {OtherAt(0, 0, 0, 0x5A00, 0x0001), BoardAt(2, 1, 18)}, 1, 1);
    add("board-past-missing-bus", "only bus 0 exists; a board plugged on bus 2 is never reached", 1,
        {OtherAt(0, 0, 0, 0x5A00, 0x0001), BoardAt(2, 1, 18)}, 0, 0);
    add("three-boards", "three boards on bus 0 in slot order 4, 5, 6; 525, 625, 525", 1,
        {BoardAt(0, 4, 16), BoardAt(0, 5, 17, Opt(625, 0x0203)), BoardAt(0, 6, 18)}, 3, 3);
    add("boards-across-buses", "board 0 on bus 0 device 12, board 1 on bus 1 device 2", 2,
        {BoardAt(0, 12, 16), BoardAt(1, 2, 17, Opt(525, 0x0203))}, 2, 2);
    add("boards-shared-line", "two boards sharing one interrupt line", 1,
        {BoardAt(0, 4, 16), BoardAt(0, 5, 16)}, 2, 2);
    {
        PciLayout eleven = BoardsLayout(11);
        eleven.name = "eleven-boards";
        eleven.description = "eleven boards: the scan keeps ten";
        eleven.expectedRecords = 10;
        eleven.expectedBoards = 10;
        all.push_back(eleven);
    }
    return all;
}

}  // namespace

PciLayout BoardsLayout(uint32_t count, uint32_t firstDevice, BoardOptions options)
{
    PciLayout layout;
    layout.name = std::to_string(count) + "-boards";
    layout.description = std::to_string(count) + " boards on bus 0";
    for (uint32_t i = 0; i < count; ++i) layout.slots.push_back(BoardAt(0, firstDevice + i, 16 + i % 8, options));
    layout.expectedRecords = count < 10 ? count : 10;
    layout.expectedBoards = layout.expectedRecords;
    return layout;
}

const std::vector<PciLayout>& PciLayouts()
{
    static const std::vector<PciLayout> layouts = MakeLayouts();
    return layouts;
}

const PciLayout* FindPciLayout(std::string_view name)
{
    for (const PciLayout& l : PciLayouts())
        if (l.name == name) return &l;
    return nullptr;
}

BuiltTopology BuildTopology(const PciLayout& layout)
{
    BuiltTopology built;
    built.topology = std::make_shared<hw::PciTopology>();
    for (const LayoutSlot& slot : layout.slots) {
        std::shared_ptr<hw::PciFunction> fn;
        if (slot.kind == SlotKind::Other) {
            fn = std::make_shared<PlainPciFunction>(slot.vendorId, slot.deviceId);
        } else {
            auto board = std::make_shared<Board>(slot.board);
            built.boards.push_back(board);
            fn = board;
        }
        built.topology->Plug(slot.at, fn, slot.interruptLine);
    }
    // Plugging grows the bus count; the layout's count is what exists.
    built.topology->SetBusCount(layout.busCount);
    return built;
}

PlainPciFunction::PlainPciFunction(uint16_t vendorId, uint16_t deviceId, uint32_t classCode)
{
    config_[0] = uint8_t(vendorId);
    config_[1] = uint8_t(vendorId >> 8);
    config_[2] = uint8_t(deviceId);
    config_[3] = uint8_t(deviceId >> 8);
    config_[9] = uint8_t(classCode);
    config_[10] = uint8_t(classCode >> 8);
    config_[11] = uint8_t(classCode >> 16);
    config_[14] = 0x80;  // header type: multi-function allowed
}

void PlainPciFunction::ConfigRead(uint32_t offset, void* data, uint32_t length)
{
    auto* out = static_cast<uint8_t*>(data);
    for (uint32_t i = 0; i < length; ++i) out[i] = offset + i < 256 ? config_[offset + i] : 0xFF;
}

}  // namespace sim
