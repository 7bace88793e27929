// A tiny bus-master PCI function for the HAL's tests: one memory BAR of a
// few registers, an interrupt that software or a finished DMA raises, and a
// DMA engine that copies between two bus addresses through the Host.
//
// Registers (BAR 0):
//   0x00 ID        read-only 0xC0FFEE01
//   0x04 SCRATCH   read/write
//   0x08 STATUS    bit 0 DMA done, bit 1 software interrupt; write 1 to clear
//   0x0C ENABLE    interrupt enable mask for STATUS
//   0x10 DMA_SRC, 0x14 DMA_DST, 0x18 DMA_LEN
//   0x1C DMA_GO    writing 1 copies LEN bytes SRC -> DST at once
//   0x20 DMA_RESULT 0 done, 1 the read was refused, 2 the write was refused
//   0x24 FORCE     writing 1 sets STATUS bit 1
#pragma once

#include <cstring>
#include <mutex>
#include <vector>

#include "platform/hw/hw.h"

class TestPciDevice final : public hw::PciFunction {
public:
    enum : uint32_t {
        kId = 0x00, kScratch = 0x04, kStatus = 0x08, kEnable = 0x0C, kDmaSrc = 0x10, kDmaDst = 0x14,
        kDmaLen = 0x18, kDmaGo = 0x1C, kDmaResult = 0x20, kForce = 0x24,
    };
    enum : uint32_t { kDmaDone = 1, kSoftware = 2 };
    static constexpr uint16_t kVendor = 0xFEED, kDevice = 0x0042;

    explicit TestPciDevice(uint32_t barSize = 0x1000) : barMask_(~(barSize - 1)) { Reset(); }

    std::string Name() const override { return "test-pci"; }

    void ConfigRead(uint32_t offset, void* data, uint32_t length) override
    {
        std::lock_guard<std::recursive_mutex> g(lock_);
        std::memcpy(data, config_ + offset, length);
    }
    void ConfigWrite(uint32_t offset, const void* data, uint32_t length) override
    {
        std::lock_guard<std::recursive_mutex> g(lock_);
        for (uint32_t i = 0; i < length; i++) {
            uint32_t at = offset + i;
            uint8_t byte = static_cast<const uint8_t*>(data)[i];
            if (at >= 0x10 && at < 0x14) {  // BAR 0: only the address bits stick
                uint8_t mask = static_cast<uint8_t>(barMask_ >> (8 * (at - 0x10)));
                config_[at] = byte & mask;
            } else if (at == 0x04 || at == 0x05 || at == 0x0D || at == 0x3C) {
                config_[at] = byte;
            }
        }
    }

    uint32_t MmioRead(int bar, uint32_t offset, int size) override
    {
        std::lock_guard<std::recursive_mutex> g(lock_);
        reads_++;
        if (bar != 0) return ~0u;
        uint32_t v = Register(offset & ~3u);
        return (v >> (8 * (offset & 3))) & (size == 4 ? ~0u : (1u << (8 * size)) - 1);
    }
    void MmioWrite(int bar, uint32_t offset, uint32_t value, int size) override
    {
        std::lock_guard<std::recursive_mutex> g(lock_);
        if (bar != 0) return;
        uint32_t at = offset & ~3u;
        if (size < 4) {  // merge narrow writes into the register
            uint32_t shift = 8 * (offset & 3), mask = ((1u << (8 * size)) - 1) << shift;
            value = (Register(at) & ~mask) | ((value << shift) & mask);
        }
        switch (at) {
        case kScratch: scratch_ = value; break;
        case kStatus: status_ &= ~value; UpdateLine(); break;
        case kEnable: enable_ = value; UpdateLine(); break;
        case kDmaSrc: src_ = value; break;
        case kDmaDst: dst_ = value; break;
        case kDmaLen: len_ = value; break;
        case kDmaGo: if (value & 1) RunDma(); break;
        case kForce: if (value & 1) { status_ |= kSoftware; UpdateLine(); } break;
        default: break;
        }
    }

    void Attach(hw::Host* host) override { host_ = host; }
    void Reset() override
    {
        std::lock_guard<std::recursive_mutex> g(lock_);
        std::memset(config_, 0, sizeof config_);
        Put16(0x00, kVendor);
        Put16(0x02, kDevice);
        config_[0x0B] = 0x04;  // multimedia
        config_[0x3D] = 1;     // INTA#
        scratch_ = status_ = enable_ = src_ = dst_ = len_ = result_ = 0;
        if (host_) host_->SetInterruptLine(this, false);
        lineUp_ = false;
    }

    bool LineAsserted() const { return lineUp_; }

private:
    uint32_t Register(uint32_t at) const
    {
        switch (at) {
        case kId: return 0xC0FFEE01;
        case kScratch: return scratch_;
        case kStatus: return status_;
        case kEnable: return enable_;
        case kDmaSrc: return src_;
        case kDmaDst: return dst_;
        case kDmaLen: return len_;
        case kDmaResult: return result_;
        default: return 0;
        }
    }
    void Put16(uint32_t at, uint16_t v) { std::memcpy(config_ + at, &v, 2); }
    void RunDma()
    {
        std::vector<uint8_t> data(len_);
        if (!host_->DmaRead(src_, data.data(), len_)) result_ = 1;
        else if (!host_->DmaWrite(dst_, data.data(), len_)) result_ = 2;
        else result_ = 0;
        status_ |= kDmaDone;
        UpdateLine();
    }
    void UpdateLine()
    {
        bool up = (status_ & enable_) != 0;
        if (up == lineUp_) return;
        lineUp_ = up;
        if (host_) host_->SetInterruptLine(this, up);
    }

    std::recursive_mutex lock_;
    hw::Host* host_ = nullptr;
    uint32_t barMask_;
    uint8_t config_[256];
    uint32_t scratch_, status_, enable_, src_, dst_, len_, result_;
    bool lineUp_ = false;
    uint64_t reads_ = 0;
};
