// The bridge's video DMA 3 as the BRS path uses it: lines read from host
// memory (through the bridge's page table or from one contiguous piece) and
// handed to the board's graphics frame stores.
//
// What this unit assumes where the driver's side leaves the chip open:
// - MC1 bit 4 (write-enabled by bit 20) starts a transfer with the active
//   DMA 3 registers (uploaded by the MC2 strobe 0x10): NUM_LINE_BYTE3 bits
//   16-27 lines less one, bits 0-11 bytes a line less one; BASE_ODD3 the
//   first address; PITCH3 a signed step; BASE_PAGE3 bit 11 (0x800) reads the
//   address through the page table at BASE_PAGE3 bits 12-31 (address bits
//   0-21 linear, one 32-bit entry per 4 KB page; bit 31 marks it linear),
//   else the address is a whole 32-bit bus address, bit 31 included (memory
//   above 2 GB is as readable as below).
// - A positive pitch reads line k at base + k x pitch. A negative pitch
//   moves first: line k is read at base + (k + 1) x pitch, so a bottom-up
//   image is sent from the address just past the line wanted (this is what
//   makes both of the driver's bottom-up starts, S and S + P, land inside
//   the image). PROT_ADDR3 is a bound the lines never cross: above it with a
//   positive pitch, below it with a negative one (the line is not read).
// - The data moves at the start; the transfer takes 10 ns a byte of bus
//   time. At its end the current-address register 0x128 holds the address
//   of the last line read, MC1 bit 4 clears and ISR bit 27 (0x8000000)
//   latches.
// - Each line goes to the sink the board connects (the graphics stores);
//   the last transfer's geometry is kept for tests.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "trace.h"

namespace sim {

class Saa7146;

namespace brs {
inline constexpr uint32_t kBaseOdd3 = 0x30;
inline constexpr uint32_t kBaseEven3 = 0x34;
inline constexpr uint32_t kProtAddr3 = 0x38;
inline constexpr uint32_t kPitch3 = 0x3C;
inline constexpr uint32_t kBasePage3 = 0x40;
inline constexpr uint32_t kNumLineByte3 = 0x44;
inline constexpr uint32_t kCurrentAddress = 0x128;
inline constexpr uint32_t kMc1Dma3 = 0x10;
inline constexpr uint32_t kPageMmu = 0x800;
inline constexpr uint32_t kLinear = 0x80000000;
inline constexpr uint32_t kIrqBrs = 0x8000000;
inline constexpr uint64_t kNsPerByte = 10;
}  // namespace brs

struct BrsTransfer {
    uint32_t lines = 0;
    uint32_t bytesPerLine = 0;
    int32_t pitch = 0;
    uint32_t base = 0;
    uint32_t page = 0;
    uint64_t bytesMoved = 0;
    uint32_t linesRefused = 0;   // beyond the protection address
    int parity = 0;              // of the field the transfer started in
};

class BrsDma {
public:
    explicit BrsDma(Saa7146& bridge);
    void Reset();

    // Where each line goes: its bytes and its index in the transfer.
    using LineSink = std::function<void(const uint8_t* data, uint32_t bytes, uint32_t line)>;
    void SetSink(LineSink sink) { sink_ = std::move(sink); }

    const std::vector<BrsTransfer>& Transfers() const { return transfers_; }
    void ClearTransfers() { transfers_.clear(); }
    uint64_t HostFaults() const { return hostFaults_; }
    Trace& GetTrace() { return trace_; }

private:
    void OnMc1(uint32_t mc1);
    void Run();
    bool ReadHost(uint32_t address, uint32_t page, uint8_t* out, uint32_t bytes);

    Saa7146& bridge_;
    LineSink sink_;
    std::vector<BrsTransfer> transfers_;
    std::vector<uint8_t> line_;
    uint64_t timerId_ = 0;
    bool running_ = false;
    uint64_t hostFaults_ = 0;
    Trace trace_{"brs"};
};

}  // namespace sim
