// HAL: PCI configuration and scan, slot resources, interrupt vectors,
// mapped registers, interrupts from a device to a connected routine, and
// bus-master DMA through common buffers and mapped MDLs.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "tests/support/bugcheck.h"
#include "platform/nt/clock.h"
#include "platform/nt/nt_internal.h"
#include "platform/nt/nt_hal.h"
#include "tests/platform/nt/test_pci_device.h"

namespace {


ULONG Slot(ULONG device, ULONG function) { return device | function << 5; }

// Bus 0: device 3 (line 5) and device 7 function 2 (line 5, shares it).
// Bus 1 exists and is empty.
class HalTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        nt::ClockStart(nt::ClockMode::Virtual);
        topology->Plug({0, 3, 0}, a, 5);
        topology->Plug({0, 7, 2}, b, 5);
        topology->SetBusCount(2);
        HalAttachTopology(topology);
    }
    void TearDown() override
    {
        HalDetachTopology();
        nt::ClockStop();
    }

    // The memory aperture and the interrupt descriptor of an assigned slot.
    struct Resources {
        CM_PARTIAL_RESOURCE_DESCRIPTOR memory{}, interrupt{};
    };
    Resources Assign(ULONG slot)
    {
        PCM_RESOURCE_LIST list = nullptr;
        EXPECT_EQ(HalAssignSlotResources(nullptr, nullptr, nullptr, nullptr, PCIBus, 0, slot, &list), STATUS_SUCCESS);
        Resources r;
        if (!list) return r;
        auto& partial = list->List[0].PartialResourceList;
        for (ULONG i = 0; i < partial.Count; i++) {
            auto& d = partial.PartialDescriptors[i];
            (d.Type == CmResourceTypeMemory ? r.memory : r.interrupt) = d;
        }
        ExFreePool(list);
        return r;
    }
    volatile ULONG* MapRegisters(ULONG slot)
    {
        auto r = Assign(slot);
        return static_cast<volatile ULONG*>(MmMapIoSpace(r.memory.u.Memory.Start, r.memory.u.Memory.Length, MmNonCached));
    }
    static volatile ULONG* Reg(volatile ULONG* base, ULONG offset) { return base + offset / 4; }

    std::shared_ptr<TestPciDevice> a = std::make_shared<TestPciDevice>(0x1000);
    std::shared_ptr<TestPciDevice> b = std::make_shared<TestPciDevice>(0x10000);
    std::shared_ptr<hw::PciTopology> topology = std::make_shared<hw::PciTopology>();
};

TEST_F(HalTest, ConfigurationReadsTellPresentEmptyAndMissing)
{
    struct Case {
        const char* what;
        ULONG bus, slot;
        ULONG bytes;
        USHORT vendor;
    } cases[] = {
        {"present", 0, Slot(3, 0), 256, TestPciDevice::kVendor},
        {"present at function 2", 0, Slot(7, 2), 256, TestPciDevice::kVendor},
        {"empty function", 0, Slot(3, 1), 2, PCI_INVALID_VENDORID},
        {"empty slot on an empty bus", 1, Slot(0, 0), 2, PCI_INVALID_VENDORID},
        {"missing bus", 2, Slot(0, 0), 0, 0},
    };
    for (auto& c : cases) {
        PCI_COMMON_CONFIG config{};
        EXPECT_EQ(HalGetBusData(PCIConfiguration, c.bus, c.slot, &config, sizeof config), c.bytes) << c.what;
        EXPECT_EQ(config.VendorID, c.vendor) << c.what;
    }
    UCHAR latency = 0x40;
    EXPECT_EQ(HalSetBusDataByOffset(PCIConfiguration, 0, Slot(3, 0), &latency, 0x0D, 1), 1u);
    UCHAR back = 0;
    EXPECT_EQ(HalGetBusDataByOffset(PCIConfiguration, 0, Slot(3, 0), &back, 0x0D, 1), 1u);
    EXPECT_EQ(back, 0x40);
    EXPECT_EQ(HalSetBusDataByOffset(PCIConfiguration, 0, Slot(3, 1), &latency, 0x0D, 1), 0u);
}

TEST_F(HalTest, SlotResourcesAreSizedPlacedAndWrittenToTheFunction)
{
    auto ra = Assign(Slot(3, 0));
    auto rb = Assign(Slot(7, 2));
    for (auto* r : {&ra, &rb}) {
        EXPECT_EQ(r->memory.Type, CmResourceTypeMemory);
        EXPECT_EQ(r->memory.Flags, CM_RESOURCE_MEMORY_READ_WRITE);
        EXPECT_EQ(r->interrupt.Type, CmResourceTypeInterrupt);
        EXPECT_EQ(r->interrupt.Flags, CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE);
        EXPECT_EQ(r->interrupt.ShareDisposition, CmResourceShareShared);
        EXPECT_EQ(r->interrupt.u.Interrupt.Level, 5u);
    }
    ULONGLONG aStart = ra.memory.u.Memory.Start.QuadPart, bStart = rb.memory.u.Memory.Start.QuadPart;
    EXPECT_EQ(ra.memory.u.Memory.Length, 0x1000u);
    EXPECT_EQ(rb.memory.u.Memory.Length, 0x10000u);
    EXPECT_EQ(aStart % 0x1000, 0u);
    EXPECT_EQ(bStart % 0x10000, 0u);
    EXPECT_TRUE(aStart + 0x1000 <= bStart || bStart + 0x10000 <= aStart) << "apertures overlap";
    EXPECT_LT(bStart, 0x100000000ull);

    PCI_COMMON_CONFIG config{};
    HalGetBusData(PCIConfiguration, 0, Slot(3, 0), &config, sizeof config);
    EXPECT_EQ(config.BaseAddresses[0], aStart);
    EXPECT_EQ(config.InterruptLine, 5);
    EXPECT_EQ(config.Command & 0x6, 0x6) << "memory decoding and bus mastering on";

    // Asking again gives the same aperture; an empty slot gives none.
    EXPECT_EQ(Assign(Slot(3, 0)).memory.u.Memory.Start.QuadPart, static_cast<LONGLONG>(aStart));
    PCM_RESOURCE_LIST list = nullptr;
    EXPECT_EQ(HalAssignSlotResources(nullptr, nullptr, nullptr, nullptr, PCIBus, 0, Slot(4, 0), &list),
              STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(list, nullptr);
}

TEST_F(HalTest, InterruptVectorsAndAddressTranslation)
{
    struct Case {
        INTERFACE_TYPE bus;
        ULONG level;
        ULONG vector;
        KIRQL irql;
    } cases[] = {{PCIBus, 5, 0x35, 21}, {PCIBus, 0, 0x30, 26}, {Isa, 23, 0x47, 3}, {PCIBus, 24, 0, 0}};
    for (auto& c : cases) {
        KIRQL irql = 0xFF;
        KAFFINITY affinity = 0;
        EXPECT_EQ(HalGetInterruptVector(c.bus, 0, c.level, c.level, &irql, &affinity), c.vector) << c.level;
        EXPECT_EQ(irql, c.irql) << c.level;
        if (c.vector) {
            EXPECT_GT(irql, DISPATCH_LEVEL);
            EXPECT_EQ(affinity, 1u);
        }
    }
    PHYSICAL_ADDRESS bus, translated;
    bus.QuadPart = 0xE0001000;
    ULONG space = 0;
    EXPECT_TRUE(HalTranslateBusAddress(PCIBus, 0, bus, &space, &translated));
    EXPECT_EQ(translated.QuadPart, bus.QuadPart);
    EXPECT_FALSE(HalTranslateBusAddress(PCIBus, 9, bus, &space, &translated));
}

TEST_F(HalTest, MappedRegistersReachTheDeviceAndNothingElse)
{
    volatile ULONG* regs = MapRegisters(Slot(3, 0));
    ASSERT_NE(regs, nullptr);
    EXPECT_EQ(READ_REGISTER_ULONG(Reg(regs, TestPciDevice::kId)), 0xC0FFEE01u);
    WRITE_REGISTER_ULONG(Reg(regs, TestPciDevice::kScratch), 0x11223344);
    EXPECT_EQ(READ_REGISTER_ULONG(Reg(regs, TestPciDevice::kScratch)), 0x11223344u);
    auto bytes = reinterpret_cast<volatile UCHAR*>(Reg(regs, TestPciDevice::kScratch));
    WRITE_REGISTER_UCHAR(bytes + 1, 0xAB);
    EXPECT_EQ(READ_REGISTER_USHORT(reinterpret_cast<volatile USHORT*>(bytes)), 0xAB44);
    EXPECT_EQ(READ_REGISTER_ULONG(Reg(regs, TestPciDevice::kScratch)), 0x1122AB44u);

    // Two mappings of one device are distinct addresses for the same registers.
    volatile ULONG* again = MapRegisters(Slot(3, 0));
    EXPECT_NE(again, regs);
    EXPECT_EQ(READ_REGISTER_ULONG(Reg(again, TestPciDevice::kScratch)), 0x1122AB44u);

    // A driver that dereferences the mapping itself faults loudly.
    EXPECT_EQ(SehTry([&] { (void)*Reg(regs, TestPciDevice::kId); }), STATUS_ACCESS_VIOLATION);
    // A register call on an address nobody mapped stops the machine.
    MmUnmapIoSpace(const_cast<ULONG*>(again), 0x1000);
    EXPECT_EQ(BugCheckOf([&] { READ_REGISTER_ULONG(again); }), ULONG{PAGE_FAULT_IN_NONPAGED_AREA});
    EXPECT_EQ(BugCheckOf([&] { WRITE_REGISTER_ULONG(Reg(regs, 0x1000), 0); }), ULONG{PAGE_FAULT_IN_NONPAGED_AREA});
    // Only assigned apertures can be mapped.
    PHYSICAL_ADDRESS nowhere;
    nowhere.QuadPart = 0x1000;
    EXPECT_EQ(MmMapIoSpace(nowhere, 16, MmNonCached), nullptr);
    MmUnmapIoSpace(const_cast<ULONG*>(regs), 0x1000);
}

struct IsrContext {
    volatile ULONG* regs;
    std::atomic<int> claimed{0};
    std::atomic<int> called{0};
    KIRQL irql = 0;
};

BOOLEAN TestIsr(PKINTERRUPT, PVOID context)
{
    auto* c = static_cast<IsrContext*>(context);
    c->called++;
    c->irql = KeGetCurrentIrql();
    ULONG status = READ_REGISTER_ULONG(c->regs + TestPciDevice::kStatus / 4);
    if (!status) return FALSE;
    WRITE_REGISTER_ULONG(c->regs + TestPciDevice::kStatus / 4, status);  // acknowledge: the line drops
    c->claimed++;
    return TRUE;
}

TEST_F(HalTest, ASharedLineReachesEachConnectedRoutine)
{
    IsrContext ca, cb;
    ca.regs = MapRegisters(Slot(3, 0));
    cb.regs = MapRegisters(Slot(7, 2));
    auto r = Assign(Slot(3, 0));
    KIRQL irql;
    KAFFINITY affinity;
    ULONG vector = HalGetInterruptVector(PCIBus, 0, r.interrupt.u.Interrupt.Level, r.interrupt.u.Interrupt.Vector,
                                         &irql, &affinity);
    PKINTERRUPT ia = nullptr, ib = nullptr;
    ASSERT_EQ(IoConnectInterrupt(&ia, TestIsr, &ca, nullptr, vector, irql, irql, LevelSensitive, TRUE, affinity, FALSE),
              STATUS_SUCCESS);
    ASSERT_EQ(IoConnectInterrupt(&ib, TestIsr, &cb, nullptr, vector, irql, irql, LevelSensitive, TRUE, affinity, FALSE),
              STATUS_SUCCESS);
    WRITE_REGISTER_ULONG(ca.regs + TestPciDevice::kEnable / 4, TestPciDevice::kSoftware);
    WRITE_REGISTER_ULONG(cb.regs + TestPciDevice::kEnable / 4, TestPciDevice::kSoftware);

    WRITE_REGISTER_ULONG(cb.regs + TestPciDevice::kForce / 4, 1);
    nt::ClockRunUntilIdle();
    EXPECT_EQ(cb.claimed, 1);
    EXPECT_EQ(ca.claimed, 0);
    EXPECT_EQ(cb.irql, irql);
    EXPECT_FALSE(b->LineAsserted());

    // Both functions assert: the line stays up until both are served.
    WRITE_REGISTER_ULONG(ca.regs + TestPciDevice::kForce / 4, 1);
    WRITE_REGISTER_ULONG(cb.regs + TestPciDevice::kForce / 4, 1);
    nt::ClockRunUntilIdle();
    EXPECT_EQ(ca.claimed, 1);
    EXPECT_EQ(cb.claimed, 2);
    EXPECT_FALSE(a->LineAsserted() || b->LineAsserted());

    IoDisconnectInterrupt(ia);
    IoDisconnectInterrupt(ib);
}

class DmaTest : public HalTest {
public:
    void SetUp() override
    {
        HalTest::SetUp();
        regs = MapRegisters(Slot(3, 0));
        DEVICE_DESCRIPTION d{};
        d.Version = DEVICE_DESCRIPTION_VERSION;
        d.Master = TRUE;
        d.ScatterGather = TRUE;
        d.Dma32BitAddresses = TRUE;
        d.InterfaceType = PCIBus;
        d.DmaWidth = Width32Bits;
        d.MaximumLength = 0x400000;
        adapter = HalGetAdapter(&d, &mapRegisters);
    }
    // Has the device copy 'length' bytes and returns its result register.
    ULONG Copy(ULONG_PTR from, ULONG_PTR to, ULONG length)
    {
        WRITE_REGISTER_ULONG(regs + TestPciDevice::kDmaSrc / 4, static_cast<ULONG>(from));
        WRITE_REGISTER_ULONG(regs + TestPciDevice::kDmaDst / 4, static_cast<ULONG>(to));
        WRITE_REGISTER_ULONG(regs + TestPciDevice::kDmaLen / 4, length);
        WRITE_REGISTER_ULONG(regs + TestPciDevice::kDmaGo / 4, 1);
        return READ_REGISTER_ULONG(regs + TestPciDevice::kDmaResult / 4);
    }
    volatile ULONG* regs = nullptr;
    PADAPTER_OBJECT adapter = nullptr;
    ULONG mapRegisters = 0;
};

TEST_F(DmaTest, AdapterGrantsMapRegistersForItsLongestTransfer)
{
    ASSERT_NE(adapter, nullptr);
    EXPECT_EQ(mapRegisters, 0x400000 / PAGE_SIZE + 1);
    DEVICE_DESCRIPTION huge{};
    huge.Master = TRUE;
    huge.ScatterGather = TRUE;
    huge.InterfaceType = PCIBus;
    huge.MaximumLength = 0x40000000;
    ULONG granted = 0;
    EXPECT_NE(HalGetAdapter(&huge, &granted), nullptr);
    EXPECT_EQ(granted, ULONG{HAL_MAXIMUM_MAP_REGISTERS});
    DEVICE_DESCRIPTION slave{};
    slave.InterfaceType = Isa;
    EXPECT_EQ(HalGetAdapter(&slave, &granted), nullptr);
}

TEST_F(DmaTest, CommonBufferIsReachableUntilFreed)
{
    PHYSICAL_ADDRESS logical;
    auto* buffer = static_cast<UCHAR*>(HalAllocateCommonBuffer(adapter, 2 * PAGE_SIZE, &logical, FALSE));
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(buffer) % PAGE_SIZE, 0u);
    EXPECT_LT(logical.QuadPart, 0x100000000ll);
    EXPECT_EQ(buffer[PAGE_SIZE + 7], 0);
    for (ULONG i = 0; i < PAGE_SIZE; i++) buffer[i] = static_cast<UCHAR>(i * 7);
    EXPECT_EQ(Copy(logical.LowPart, logical.LowPart + PAGE_SIZE, PAGE_SIZE), 0u);
    EXPECT_EQ(std::memcmp(buffer, buffer + PAGE_SIZE, PAGE_SIZE), 0);
    HalFreeCommonBuffer(adapter, 2 * PAGE_SIZE, logical, buffer, FALSE);
    // The freed pages are no longer the device's to touch.
    EXPECT_EQ(Copy(logical.LowPart, logical.LowPart, 16), 1u);
}

TEST_F(DmaTest, UnmappedMemoryIsRefusedBothWays)
{
    PHYSICAL_ADDRESS logical;
    auto* buffer = static_cast<UCHAR*>(HalAllocateCommonBuffer(adapter, PAGE_SIZE, &logical, FALSE));
    alignas(4096) static UCHAR privateMemory[2 * PAGE_SIZE];
    std::memset(privateMemory, 0x33, sizeof privateMemory);
    auto priv = reinterpret_cast<ULONG_PTR>(privateMemory);
    EXPECT_EQ(Copy(priv, logical.LowPart, 64), 1u) << "read from memory never mapped";
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(Copy(logical.LowPart, priv, 64), 2u) << "write to memory never mapped";
    EXPECT_EQ(privateMemory[0], 0x33);
    EXPECT_EQ(Copy(logical.LowPart + PAGE_SIZE - 8, logical.LowPart, 16), 1u) << "runs off the end of the buffer";
    HalFreeCommonBuffer(adapter, PAGE_SIZE, logical, buffer, FALSE);
}

// What the execution routine of the MDL transfer sees and does.
struct Transfer {
    DmaTest* test;
    PADAPTER_OBJECT adapter;
    PMDL mdl;
    ULONG_PTR destination;
    std::vector<ULONG> pieces;
    std::vector<ULONG> results;
    PVOID mapRegisterBase = nullptr;
    KIRQL irql = 0;
    ULONG_PTR firstBus = 0;
};

IO_ALLOCATION_ACTION MapAndCopy(PDEVICE_OBJECT, PIRP, PVOID mapRegisterBase, PVOID context);

TEST_F(DmaTest, MappedMdlPiecesAreReachableUntilTheRegistersAreFreed)
{
    std::vector<UCHAR> source(3 * PAGE_SIZE);
    for (size_t i = 0; i < source.size(); i++) source[i] = static_cast<UCHAR>(i ^ (i >> 8));
    UCHAR* start = source.data() + 100;
    ULONG length = 2 * PAGE_SIZE + 50;
    PMDL mdl = IoAllocateMdl(start, length, FALSE, FALSE, nullptr);
    ASSERT_EQ(SehTry([&] { MmProbeAndLockPages(mdl, KernelMode, IoReadAccess); }), STATUS_SUCCESS);
    PHYSICAL_ADDRESS logical;
    auto* destination = static_cast<UCHAR*>(HalAllocateCommonBuffer(adapter, 3 * PAGE_SIZE, &logical, FALSE));

    Transfer t{this, adapter, mdl, logical.LowPart, {}, {}};
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(IoAllocateAdapterChannel(adapter, nullptr, ADDRESS_AND_SIZE_TO_SPAN_PAGES(start, length), MapAndCopy, &t),
              STATUS_SUCCESS);
    KeLowerIrql(old);

    EXPECT_EQ(t.irql, DISPATCH_LEVEL);
    ULONG firstPiece = PAGE_SIZE - BYTE_OFFSET(start);
    EXPECT_EQ(t.pieces, (std::vector<ULONG>{firstPiece, PAGE_SIZE, length - firstPiece - PAGE_SIZE}));
    EXPECT_EQ(t.results, (std::vector<ULONG>{0, 0, 0}));
    EXPECT_EQ(std::memcmp(destination, start, length), 0);
    // The registers were kept past the channel: still reachable.
    EXPECT_EQ(Copy(t.firstBus, logical.LowPart, 16), 0u);
    IoFreeMapRegisters(adapter, t.mapRegisterBase, ADDRESS_AND_SIZE_TO_SPAN_PAGES(start, length));
    EXPECT_EQ(Copy(t.firstBus, logical.LowPart, 16), 1u);

    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    HalFreeCommonBuffer(adapter, 3 * PAGE_SIZE, logical, destination, FALSE);
}

IO_ALLOCATION_ACTION MapAndCopy(PDEVICE_OBJECT, PIRP, PVOID mapRegisterBase, PVOID context)
{
    auto* t = static_cast<Transfer*>(context);
    t->irql = KeGetCurrentIrql();
    t->mapRegisterBase = mapRegisterBase;
    auto* va = static_cast<UCHAR*>(MmGetMdlVirtualAddress(t->mdl));
    ULONG left = MmGetMdlByteCount(t->mdl), done = 0;
    while (left) {
        ULONG piece = left;
        PHYSICAL_ADDRESS bus = IoMapTransfer(t->adapter, t->mdl, mapRegisterBase, va + done, &piece, TRUE);
        if (!done) t->firstBus = bus.LowPart;
        t->pieces.push_back(piece);
        t->results.push_back(t->test->Copy(bus.LowPart, t->destination + done, piece));
        IoFlushAdapterBuffers(t->adapter, t->mdl, mapRegisterBase, va + done, piece, TRUE);
        done += piece;
        left -= piece;
    }
    return DeallocateObjectKeepRegisters;
}

struct Holder {
    std::vector<int>* order;
    int id;
    IO_ALLOCATION_ACTION action;
    KIRQL irql = 0;
};

IO_ALLOCATION_ACTION Hold(PDEVICE_OBJECT, PIRP, PVOID, PVOID context)
{
    auto* h = static_cast<Holder*>(context);
    h->order->push_back(h->id);
    h->irql = KeGetCurrentIrql();
    return h->action;
}

TEST_F(DmaTest, OneHolderAtATimeOthersQueued)
{
    std::vector<int> order;
    Holder first{&order, 1, KeepObject}, second{&order, 2, DeallocateObject}, third{&order, 3, KeepObject};
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoAllocateAdapterChannel(adapter, nullptr, 1, Hold, &first);
    IoAllocateAdapterChannel(adapter, nullptr, 1, Hold, &second);
    IoAllocateAdapterChannel(adapter, nullptr, 1, Hold, &third);
    EXPECT_EQ(order, std::vector<int>{1});
    // Freeing the channel runs the next waiter; one that deallocates at once
    // passes the adapter straight on.
    IoFreeAdapterChannel(adapter);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(second.irql, DISPATCH_LEVEL);
    IoFreeAdapterChannel(adapter);
    EXPECT_EQ(IoAllocateAdapterChannel(adapter, nullptr, mapRegisters + 1, Hold, &first), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(BugCheckOf([&] { IoFreeAdapterChannel(adapter); }), ULONG{DRIVER_VERIFIER_DMA_VIOLATION});
    KeLowerIrql(old);
    EXPECT_EQ(BugCheckOf([&] { IoAllocateAdapterChannel(adapter, nullptr, 1, Hold, &first); }),
              ULONG{IRQL_NOT_GREATER_OR_EQUAL});
}

// A transfer that ends (and frees its map registers) before its execution
// routine has returned, as on another processor, still gives the adapter back.
IO_ALLOCATION_ACTION FreeRegistersThenKeep(PDEVICE_OBJECT, PIRP, PVOID mapRegisterBase, PVOID context)
{
    auto* adapter = static_cast<PADAPTER_OBJECT>(context);
    IoFreeMapRegisters(adapter, mapRegisterBase, 1);
    return DeallocateObjectKeepRegisters;
}

TEST_F(DmaTest, RegistersFreedBeforeTheExecutionRoutineReturnsStillReleaseTheAdapter)
{
    std::vector<int> order;
    Holder next{&order, 1, DeallocateObject};
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoAllocateAdapterChannel(adapter, nullptr, 1, FreeRegistersThenKeep, adapter);
    IoAllocateAdapterChannel(adapter, nullptr, 1, Hold, &next);
    KeLowerIrql(old);
    EXPECT_EQ(order, std::vector<int>{1});
}

}  // namespace
