// The board driver on a machine: finding ZARKD's boards while it is loaded,
// and a fixture that boots a machine over a PCI layout with ZARKD installed
// and, once LoadBoardDriver() ran, its boards found by number.
#pragma once

#include <vector>

#include "drivers/board/zar_driver.h"
#include "platform/nt/machine.h"
#include "sim/pci_layouts.h"
#include "tests/support/machine_fixture.h"

// ZARKD's driver object while it is loaded, or nullptr.
inline PDRIVER_OBJECT ZarkdDriver()
{
    for (auto& [name, driver] : nt::IoLoadedDrivers())
        if (name == u"ZARKD") return driver;
    return nullptr;
}

// ZARKD's board extensions by board number (nullptr where no board has the
// number); empty while it is not loaded.
inline std::vector<PZAR_DEVICE_EXTENSION> ZarkdBoards()
{
    std::vector<PZAR_DEVICE_EXTENSION> boards;
    PDRIVER_OBJECT driver = ZarkdDriver();
    if (driver == nullptr) return boards;
    for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) {
        PZAR_DEVICE_EXTENSION ext = ZarExtension(d);
        if (boards.size() <= ext->BoardNumber) boards.resize(ext->BoardNumber + 1);
        boards[ext->BoardNumber] = ext;
    }
    return boards;
}

inline PZAR_DEVICE_EXTENSION ZarkdBoard(ULONG number)
{
    std::vector<PZAR_DEVICE_EXTENSION> boards = ZarkdBoards();
    return number < boards.size() ? boards[number] : nullptr;
}

// A machine on the virtual clock over a PCI layout (a named one, or the one
// Topology() builds), no driver loaded at boot, ZARKD's service key and the
// event-log key it reports under written.
class ZarkdMachineFixture : public MachineFixture {
protected:
    virtual const char* Layout() const { return "one-board"; }
    virtual sim::PciLayout Topology() const
    {
        const sim::PciLayout* layout = sim::FindPciLayout(Layout());
        return layout != nullptr ? *layout : sim::PciLayout{};
    }

    void Configure(nt::MachineOptions& options) override
    {
        sim::PciLayout layout = Topology();
        ASSERT_FALSE(layout.name.empty()) << "no PCI layout named " << Layout();
        built_ = sim::BuildTopology(layout);
        options.pci = built_.topology;
        options.loadDrivers = false;
    }

    void SetUp() override
    {
        MachineFixture::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(u"EventLog\\System")),
                  STATUS_SUCCESS);
        ASSERT_EQ(InstallDriver(u"ZARKD", "ZARKD.sys"), STATUS_SUCCESS);
    }

    // Loads ZARKD; its first board must come up.
    void LoadBoardDriver()
    {
        ASSERT_EQ(LoadDriver(u"ZARKD"), STATUS_SUCCESS);
        ASSERT_NE(ZarkdBoard(0), nullptr);
    }

    sim::Board& Board(size_t index = 0) { return *built_.boards[index]; }

    sim::BuiltTopology built_;
};
