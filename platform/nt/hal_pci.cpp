// HAL over the machine's PCI hardware: configuration space, slot resource
// assignment, interrupt vectors and bus address translation, and the Host
// through which devices raise interrupt lines, do DMA and use the clock.
//
// Apertures are assigned the way firmware would: each memory BAR sized by
// writing all ones, aligned to its size, from a window just below 4 GB
// (I/O BARs from a port window), never overlapping, and kept for the slot,
// so asking again gives the same resources.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "clock.h"
#include "hal_private.h"
#include "nt_internal.h"

namespace {

constexpr ULONG kMemoryWindowBase = 0xE0000000;
constexpr ULONG kMemoryWindowEnd = 0xFEC00000;
constexpr ULONG kIoWindowBase = 0x1000;
constexpr ULONG kIoWindowEnd = 0x10000;
constexpr ULONG kPrimaryVector = 0x30;
constexpr ULONG kInterruptLines = 24;
constexpr ULONG kHalTag = 0x206c6148;  // "Hal "

ULONG SystemVector(ULONG line) { return kPrimaryVector + line; }
KIRQL LineIrql(ULONG line) { return static_cast<KIRQL>(PROFILE_LEVEL - 1 - line); }

// The devices' view of the machine. Interrupt lines are wired-OR: a line
// is asserted while any function on it asserts, and only its changes go to
// the kernel.
class MachineHost final : public hw::Host {
public:
    explicit MachineHost(const hw::PciTopology& topology)
    {
        for (auto& slot : topology.Slots()) members_.push_back({slot.fn.get(), slot.interruptLine, false});
    }

    void Detach() { attached_ = false; }

    void SetInterruptLine(hw::PciFunction* fn, bool asserted) override
    {
        std::lock_guard<std::recursive_mutex> g(lineLock_);
        if (!attached_) return;
        auto m = std::find_if(members_.begin(), members_.end(), [&](const Member& x) { return x.fn == fn; });
        if (m == members_.end() || m->asserted == asserted) return;
        m->asserted = asserted;
        if (m->line >= kInterruptLines) {
            fprintf(stderr, "hal: %s drives interrupt line %u, which has no vector\n", fn->Name().c_str(), m->line);
            return;
        }
        ULONG& count = assertedOnLine_[m->line];
        count += asserted ? 1 : -1;
        // Held across the report so two devices' changes reach the kernel
        // in the order they happened.
        if (count == (asserted ? 1u : 0u)) KiSetInterruptLine(SystemVector(m->line), asserted);
    }

    bool DmaRead(uint32_t busAddress, void* data, uint32_t length) override
    {
        if (attached_) return HalpDmaRead(busAddress, data, length);
        std::memset(data, 0xFF, length);
        return false;
    }
    bool DmaWrite(uint32_t busAddress, const void* data, uint32_t length) override
    {
        return attached_ && HalpDmaWrite(busAddress, data, length);
    }

    uint64_t Now() override { return nt::ClockNow(); }
    uint64_t Schedule(uint64_t when, std::function<void()> fn) override
    {
        return attached_ ? nt::ClockScheduleHardware(when, std::move(fn)) : 0;
    }
    bool Cancel(uint64_t id) override { return nt::ClockCancel(id); }

private:
    struct Member {
        hw::PciFunction* fn;
        uint32_t line;
        bool asserted;
    };
    std::vector<Member> members_;
    ULONG assertedOnLine_[kInterruptLines] = {};
    std::recursive_mutex lineLock_;
    std::atomic<bool> attached_{true};
};

struct SlotAssignment {
    hw::PciLocation at;
    ULONG barBase[6];
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> descriptors;
};

std::mutex halLock;
std::shared_ptr<hw::PciTopology> topology;
std::shared_ptr<MachineHost> host;
std::vector<std::shared_ptr<MachineHost>> retiredHosts;  // devices may still hold them
std::vector<HalAperture> apertures;
std::vector<SlotAssignment> assignments;
ULONG nextMemory = kMemoryWindowBase;
ULONG nextIo = kIoWindowBase;

hw::PciLocation Location(ULONG bus, ULONG slot)
{
    PCI_SLOT_NUMBER s;
    s.AsULONG = slot;
    return {bus, s.bits.DeviceNumber, s.bits.FunctionNumber};
}

std::shared_ptr<hw::PciTopology> Topology()
{
    std::lock_guard<std::mutex> g(halLock);
    return topology;
}

ULONG Read32(hw::PciFunction* fn, ULONG offset)
{
    ULONG v = 0;
    fn->ConfigRead(offset, &v, 4);
    return v;
}
void Write32(hw::PciFunction* fn, ULONG offset, ULONG v) { fn->ConfigWrite(offset, &v, 4); }

// Next 'size'-aligned range of a window; 0 when the window is full.
ULONG Carve(ULONG& next, ULONG end, ULONG size)
{
    ULONGLONG base = (static_cast<ULONGLONG>(next) + size - 1) & ~static_cast<ULONGLONG>(size - 1);
    if (base + size > end) return 0;
    next = static_cast<ULONG>(base + size);
    return static_cast<ULONG>(base);
}

CM_PARTIAL_RESOURCE_DESCRIPTOR Descriptor(UCHAR type, UCHAR share, USHORT flags)
{
    CM_PARTIAL_RESOURCE_DESCRIPTOR d;
    std::memset(&d, 0, sizeof d);
    d.Type = type;
    d.ShareDisposition = share;
    d.Flags = flags;
    return d;
}

// Sizes and places every BAR of the function; with 'a' already holding
// bases from an earlier assignment, those are reused.
NTSTATUS AssignBars(hw::PciFunction* fn, SlotAssignment& a, bool reuse)
{
    USHORT command = 0;
    fn->ConfigRead(0x04, &command, 2);
    USHORT decode = command & ~0x3;
    fn->ConfigWrite(0x04, &decode, 2);  // no decoding while BARs move
    command |= 0x4;                    // bus master
    for (int bar = 0; bar < 6; bar++) {
        ULONG offset = 0x10 + 4 * bar;
        ULONG original = Read32(fn, offset);
        Write32(fn, offset, 0xFFFFFFFF);
        ULONG mask = Read32(fn, offset);
        if (mask == 0) {
            Write32(fn, offset, original);
            continue;
        }
        bool io = mask & 1;
        ULONG size = io ? ((~(mask & ~0x3u) & 0xFFFF) + 1) : (~(mask & ~0xFu) + 1);
        ULONG base = reuse ? a.barBase[bar] : 0;
        if (!base) base = io ? Carve(nextIo, kIoWindowEnd, size) : Carve(nextMemory, kMemoryWindowEnd, size);
        if (!base) {
            Write32(fn, offset, original);
            fn->ConfigWrite(0x04, &command, 2);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        a.barBase[bar] = base;
        Write32(fn, offset, base | (mask & (io ? 0x3u : 0xFu)));
        if (io) {
            auto d = Descriptor(CmResourceTypePort, CmResourceShareDeviceExclusive, 1 /* I/O space */);
            d.u.Port.Start.QuadPart = base;
            d.u.Port.Length = size;
            a.descriptors.push_back(d);
            command |= 0x1;
            continue;
        }
        auto d = Descriptor(CmResourceTypeMemory, CmResourceShareDeviceExclusive, CM_RESOURCE_MEMORY_READ_WRITE);
        d.u.Memory.Start.QuadPart = base;
        d.u.Memory.Length = size;
        a.descriptors.push_back(d);
        command |= 0x2;
        bool known = std::any_of(apertures.begin(), apertures.end(),
                                 [&](const HalAperture& x) { return x.function == fn && x.bar == bar; });
        if (!known) apertures.push_back({base, size, fn, bar});
        if (((mask >> 1) & 3) == 2 && bar < 5) Write32(fn, 0x10 + 4 * ++bar, 0);  // 64-bit BAR: high half
    }
    fn->ConfigWrite(0x04, &command, 2);
    return STATUS_SUCCESS;
}

}  // namespace

void HalAttachTopology(std::shared_ptr<hw::PciTopology> machineTopology)
{
    HalDetachTopology();
    if (!machineTopology) machineTopology = std::make_shared<hw::PciTopology>();  // no PCI devices
    auto newHost = std::make_shared<MachineHost>(*machineTopology);
    {
        std::lock_guard<std::mutex> g(halLock);
        topology = machineTopology;
        host = newHost;
        nextMemory = kMemoryWindowBase;
        nextIo = kIoWindowBase;
    }
    for (auto& slot : machineTopology->Slots()) {
        slot.fn->Attach(newHost.get());
        slot.fn->Reset();  // power-on
    }
}

void HalDetachTopology()
{
    std::lock_guard<std::mutex> g(halLock);
    if (host) {
        host->Detach();
        retiredHosts.push_back(host);
    }
    host.reset();
    topology.reset();
    apertures.clear();
    assignments.clear();
    HalpResetMappings();
    HalpResetDma();
}

bool HalpFindAperture(ULONGLONG physical, ULONG bytes, HalAperture* found)
{
    std::lock_guard<std::mutex> g(halLock);
    for (auto& a : apertures) {
        if (physical >= a.base && physical + bytes <= static_cast<ULONGLONG>(a.base) + a.size) {
            *found = a;
            return true;
        }
    }
    return false;
}

ULONG HalGetBusDataByOffset(BUS_DATA_TYPE type, ULONG bus, ULONG slot, PVOID buffer, ULONG offset, ULONG length)
{
    if (type != PCIConfiguration) {
        fprintf(stderr, "hal: bus data of type %d is not supported\n", type);
        return 0;
    }
    auto t = Topology();
    if (!t || bus >= t->BusCount()) return 0;
    const auto* s = t->Find(Location(bus, slot));
    if (!s) {
        if (length < 2) return 0;
        USHORT invalid = PCI_INVALID_VENDORID;
        std::memcpy(buffer, &invalid, 2);
        return 2;
    }
    if (offset >= sizeof(PCI_COMMON_CONFIG)) return 0;
    length = std::min<ULONG>(length, sizeof(PCI_COMMON_CONFIG) - offset);
    s->fn->ConfigRead(offset, buffer, length);
    return length;
}

ULONG HalGetBusData(BUS_DATA_TYPE type, ULONG bus, ULONG slot, PVOID buffer, ULONG length)
{
    return HalGetBusDataByOffset(type, bus, slot, buffer, 0, length);
}

ULONG HalSetBusDataByOffset(BUS_DATA_TYPE type, ULONG bus, ULONG slot, PVOID buffer, ULONG offset, ULONG length)
{
    if (type != PCIConfiguration) {
        fprintf(stderr, "hal: bus data of type %d is not supported\n", type);
        return 0;
    }
    auto t = Topology();
    if (!t || bus >= t->BusCount()) return 0;
    const auto* s = t->Find(Location(bus, slot));
    if (!s || offset >= sizeof(PCI_COMMON_CONFIG)) return 0;
    length = std::min<ULONG>(length, sizeof(PCI_COMMON_CONFIG) - offset);
    s->fn->ConfigWrite(offset, buffer, length);
    return length;
}

ULONG HalSetBusData(BUS_DATA_TYPE type, ULONG bus, ULONG slot, PVOID buffer, ULONG length)
{
    return HalSetBusDataByOffset(type, bus, slot, buffer, 0, length);
}

NTSTATUS HalAssignSlotResources(PUNICODE_STRING /*registryPath*/, PUNICODE_STRING /*driverClassName*/,
                                PDRIVER_OBJECT /*driver*/, PDEVICE_OBJECT /*device*/, INTERFACE_TYPE busType,
                                ULONG busNumber, ULONG slotNumber, PCM_RESOURCE_LIST* allocatedResources)
{
    *allocatedResources = nullptr;
    if (busType != PCIBus) {
        fprintf(stderr, "hal: slot resources on bus type %d are not supported\n", busType);
        return STATUS_NOT_IMPLEMENTED;
    }
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> descriptors;
    {
        std::lock_guard<std::mutex> g(halLock);
        if (!topology || busNumber >= topology->BusCount()) return STATUS_NO_SUCH_DEVICE;
        hw::PciLocation at = Location(busNumber, slotNumber);
        const auto* slot = topology->Find(at);
        if (!slot) return STATUS_NO_SUCH_DEVICE;
        auto previous = std::find_if(assignments.begin(), assignments.end(), [&](const SlotAssignment& a) {
            return a.at.bus == at.bus && a.at.device == at.device && a.at.function == at.function;
        });
        SlotAssignment a{};
        a.at = at;
        if (previous != assignments.end()) std::copy(previous->barBase, previous->barBase + 6, a.barBase);
        NTSTATUS status = AssignBars(slot->fn.get(), a, previous != assignments.end());
        if (!NT_SUCCESS(status)) return status;
        UCHAR pin = 0;
        slot->fn->ConfigRead(0x3D, &pin, 1);
        if (pin) {
            auto line = static_cast<UCHAR>(slot->interruptLine);
            slot->fn->ConfigWrite(0x3C, &line, 1);
            auto d = Descriptor(CmResourceTypeInterrupt, CmResourceShareShared, CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE);
            d.u.Interrupt.Level = slot->interruptLine;
            d.u.Interrupt.Vector = slot->interruptLine;
            d.u.Interrupt.Affinity = 0xFFFFFFFF;
            a.descriptors.push_back(d);
        }
        descriptors = a.descriptors;
        if (previous != assignments.end()) *previous = std::move(a);
        else assignments.push_back(std::move(a));
    }
    ULONG count = static_cast<ULONG>(descriptors.size());
    SIZE_T bytes = sizeof(CM_RESOURCE_LIST) + (count ? count - 1 : 0) * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
    auto list = static_cast<PCM_RESOURCE_LIST>(ExAllocatePoolWithTag(PagedPool, bytes, kHalTag));
    if (!list) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(list, 0, bytes);
    list->Count = 1;
    list->List[0].InterfaceType = PCIBus;
    list->List[0].BusNumber = busNumber;
    list->List[0].PartialResourceList.Version = 1;
    list->List[0].PartialResourceList.Revision = 1;
    list->List[0].PartialResourceList.Count = count;
    std::copy(descriptors.begin(), descriptors.end(), list->List[0].PartialResourceList.PartialDescriptors);
    *allocatedResources = list;
    return STATUS_SUCCESS;
}

ULONG HalGetInterruptVector(INTERFACE_TYPE interfaceType, ULONG /*busNumber*/, ULONG busInterruptLevel,
                            ULONG /*busInterruptVector*/, PKIRQL irql, PKAFFINITY affinity)
{
    bool known = interfaceType == Internal || interfaceType == Isa || interfaceType == PCIBus;
    if (!known || busInterruptLevel >= kInterruptLines) {
        *irql = 0;
        *affinity = 0;
        return 0;
    }
    *irql = LineIrql(busInterruptLevel);
    *affinity = 1;
    return SystemVector(busInterruptLevel);
}

BOOLEAN HalTranslateBusAddress(INTERFACE_TYPE interfaceType, ULONG busNumber, PHYSICAL_ADDRESS busAddress,
                               PULONG /*addressSpace*/, PPHYSICAL_ADDRESS translatedAddress)
{
    // Bus and processor addresses are the same on this machine, memory
    // space and port space alike.
    if (interfaceType == PCIBus) {
        auto t = Topology();
        if (!t || busNumber >= t->BusCount()) return FALSE;
    } else if (interfaceType != Internal && interfaceType != Isa) {
        return FALSE;
    }
    *translatedAddress = busAddress;
    return TRUE;
}
