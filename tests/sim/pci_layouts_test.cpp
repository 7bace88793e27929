// The named PCI layouts: each is what its name says when scanned the way
// the board driver scans (buses until one is missing, device by device,
// function by function, keeping at most ten records; a board drops earlier
// bridge-only records and later ones are dropped after a board).
#include "sim/pci_layouts.h"

#include <gtest/gtest.h>

#include <set>

using namespace sim;

namespace {

struct Found {
    uint32_t bus, device, function;
    bool board;
};

std::vector<Found> Scan(const hw::PciTopology& t)
{
    std::vector<Found> records;
    bool haveBoard = false;
    for (uint32_t bus = 0; bus < t.BusCount(); ++bus)
        for (uint32_t dev = 0; dev < 32; ++dev)
            for (uint32_t fn = 0; fn < 8; ++fn) {
                const hw::PciTopology::Slot* s = t.Find({bus, dev, fn});
                if (!s) break;  // vendor 0xFFFF: next device
                uint8_t cfg[256];
                s->fn->ConfigRead(0, cfg, 256);
                uint16_t vendor = uint16_t(cfg[0] | cfg[1] << 8), device = uint16_t(cfg[2] | cfg[3] << 8);
                if (vendor != 0x1131 || device != 0x7146) continue;
                uint16_t sv = uint16_t(cfg[0x2C] | cfg[0x2D] << 8), si = uint16_t(cfg[0x2E] | cfg[0x2F] << 8);
                bool board = sv == 0x5A52 && (si == 0x0202 || si == 0x0203);
                if (board) {
                    if (!haveBoard) records.clear();
                    haveBoard = true;
                    records.push_back({bus, dev, fn, true});
                } else if (!haveBoard) {
                    records.push_back({bus, dev, fn, false});
                }
                if (records.size() == 10) return records;
            }
    return records;
}

}  // namespace

TEST(PciLayouts, EachLayoutScansAsDescribed)
{
    std::set<std::string> names;
    for (const PciLayout& layout : PciLayouts()) {
        EXPECT_TRUE(names.insert(layout.name).second) << "duplicate " << layout.name;
        BuiltTopology built = BuildTopology(layout);
        EXPECT_EQ(built.topology->BusCount(), layout.busCount) << layout.name;
        std::vector<Found> records = Scan(*built.topology);
        uint32_t boards = 0;
        for (const Found& f : records) boards += f.board;
        EXPECT_EQ(records.size(), layout.expectedRecords) << layout.name;
        EXPECT_EQ(boards, layout.expectedBoards) << layout.name;
    }
}

TEST(PciLayouts, BoardsKeepTheirOrderAndOptions)
{
    const PciLayout* layout = FindPciLayout("three-boards");
    ASSERT_NE(layout, nullptr);
    BuiltTopology built = BuildTopology(*layout);
    ASSERT_EQ(built.boards.size(), 3u);
    int standards[] = {525, 625, 525};
    uint16_t ids[] = {0x0202, 0x0203, 0x0202};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(built.boards[i]->Options().standard, standards[i]);
        EXPECT_EQ(built.boards[i]->Bridge().Ids().subsystemId, ids[i]);
        EXPECT_EQ(built.topology->Find({0, uint32_t(4 + i), 0})->fn.get(), built.boards[i].get());
    }
    // Each board has its own interrupt line here; the shared layout has one.
    std::set<uint32_t> lines;
    for (auto& s : built.topology->Slots()) lines.insert(s.interruptLine);
    EXPECT_EQ(lines.size(), 3u);
    BuiltTopology shared = BuildTopology(*FindPciLayout("boards-shared-line"));
    EXPECT_EQ(shared.topology->Slots()[0].interruptLine, shared.topology->Slots()[1].interruptLine);
}

TEST(PciLayouts, ForeignBridgeIsTheSameChipWithOtherIds)
{
    BuiltTopology built = BuildTopology(*FindPciLayout("foreign-only"));
    ASSERT_EQ(built.boards.size(), 1u);
    uint32_t ids[2];
    built.boards[0]->ConfigRead(0, &ids[0], 4);
    built.boards[0]->ConfigRead(0x2C, &ids[1], 4);
    EXPECT_EQ(ids[0], 0x71461131u);
    EXPECT_NE(ids[1], 0x02025A52u);
    EXPECT_NE(ids[1], 0x02035A52u);
    EXPECT_EQ(FindPciLayout("no-such-layout"), nullptr);
}
