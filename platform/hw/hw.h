// The one narrow interface between the machine's hardware (the simulated
// boards in sim/, test devices) and the kernel's HAL: a PCI bus of functions
// with configuration space, memory-mapped register ranges, interrupt lines
// and bus-master DMA through 32-bit bus addresses.
//
// Devices never see kernel objects; the kernel never sees device internals.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace hw {

class Host;

// One PCI function. Configuration space is 256 bytes; the device owns its
// read-only fields and write masks. Base address registers are sized the
// PCI way (write all ones, read back the size mask); the HAL assigns an
// address by writing the BAR.
class PciFunction {
public:
    virtual ~PciFunction() = default;

    virtual std::string Name() const = 0;

    virtual void ConfigRead(uint32_t offset, void* data, uint32_t length) = 0;
    virtual void ConfigWrite(uint32_t offset, const void* data, uint32_t length) = 0;

    // Register access inside memory BAR 'bar' (offset relative to the BAR).
    // size is 1, 2 or 4 bytes; little-endian values.
    virtual uint32_t MmioRead(int bar, uint32_t offset, int size) = 0;
    virtual void MmioWrite(int bar, uint32_t offset, uint32_t value, int size) = 0;

    // Called once when the function is plugged into a bus: the device keeps
    // the host to raise its interrupt line, do DMA and schedule its events.
    virtual void Attach(Host* host) = 0;
    // Machine power-on reset (also at shutdown/reboot of the machine).
    virtual void Reset() = 0;
};

// What a device may ask of the machine. Provided by the kernel's HAL.
class Host {
public:
    virtual ~Host() = default;

    // Level of the function's INTA# line (true = asserted). A latched
    // (edge) device asserts and deasserts; the controller sees the edge.
    virtual void SetInterruptLine(PciFunction* fn, bool asserted) = 0;

    // Bus-master transfers. Bus addresses are the 32-bit addresses the HAL
    // handed to the driver (common buffers, map registers). An address the
    // HAL never mapped fails: reads return false and leave 'data' as 0xFF,
    // writes are dropped and return false; the HAL traces the fault.
    virtual bool DmaRead(uint32_t busAddress, void* data, uint32_t length) = 0;
    virtual bool DmaWrite(uint32_t busAddress, const void* data, uint32_t length) = 0;

    // Machine time in ns and timed device events (run on the interrupt
    // context). Cancel returns false when the event already ran.
    virtual uint64_t Now() = 0;
    virtual uint64_t Schedule(uint64_t when, std::function<void()> fn) = 0;
    virtual bool Cancel(uint64_t id) = 0;
};

// Bus/device/function address of a function on the machine's PCI buses.
struct PciLocation {
    uint32_t bus;
    uint32_t device;    // 0..31
    uint32_t function;  // 0..7
};

// The machine's PCI buses. Built before boot (by the machine from its
// configuration, or by a test), read by the HAL.
class PciTopology {
public:
    // Buses 0..busCount-1 exist; a configuration read on a bus past them
    // returns 0 bytes, as a missing bus does.
    void SetBusCount(uint32_t count) { busCount_ = count; }
    uint32_t BusCount() const { return busCount_; }

    // Plugs a function; 'interruptLine' groups functions that share a line.
    void Plug(PciLocation at, std::shared_ptr<PciFunction> fn, uint32_t interruptLine)
    {
        slots_.push_back({at, std::move(fn), interruptLine});
        if (at.bus >= busCount_) busCount_ = at.bus + 1;
    }

    struct Slot {
        PciLocation at;
        std::shared_ptr<PciFunction> fn;
        uint32_t interruptLine;
    };
    const std::vector<Slot>& Slots() const { return slots_; }
    const Slot* Find(PciLocation at) const
    {
        for (auto& s : slots_)
            if (s.at.bus == at.bus && s.at.device == at.device && s.at.function == at.function) return &s;
        return nullptr;
    }
    void Clear() { slots_.clear(); busCount_ = 1; }

private:
    uint32_t busCount_ = 1;
    std::vector<Slot> slots_;
};

}  // namespace hw
