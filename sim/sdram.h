// The board's SDRAM: 8 MB of memory shared by the DEBI window, the SCSI
// host adapter's data phase and the two JPEG codecs, addressed in 512-byte
// blocks.
//
// What this unit assumes where the driver's side leaves the hardware open:
// - Size 8 MB (16,384 blocks); an access past the end wraps to the start, as
//   an address decoder that ignores the upper bits does.
// - Access mode 0 is linear; mode 2 addresses the compressed-field ring of
//   7,936 blocks starting at block 0 and wraps to its start inside one
//   transfer. Modes 101 and 102 address the record banks of field parity 0
//   and 1: 4,096 blocks each, right behind the ring (blocks 7,936-12,031
//   and 12,032-16,127, below the staging area at 0x7E0000), each wrapping
//   inside itself, so a parity's fields never run into the other's or into
//   the play ring. Other modes are treated as linear and traced by the
//   caller.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace sim {

class Sdram {
public:
    static constexpr uint32_t kBlockSize = 512;
    static constexpr uint32_t kBytes = 8u << 20;
    static constexpr uint32_t kBlocks = kBytes / kBlockSize;
    static constexpr uint32_t kRingBlocks = 7936;
    static constexpr uint32_t kModeLinear = 0;
    static constexpr uint32_t kModeRing = 2;
    static constexpr uint32_t kModeRecordBank0 = 101;
    static constexpr uint32_t kModeRecordBank1 = 102;
    static constexpr uint32_t kRecordBankBlocks = 4096;
    static constexpr uint32_t kRecordBankFirst = kRingBlocks;

    // The blocks a mode addresses: its first block and how many before it wraps.
    struct Region {
        uint32_t first, blocks;
    };
    static Region RegionOf(uint32_t mode)
    {
        switch (mode) {
        case kModeRing: return {0, kRingBlocks};
        case kModeRecordBank0: return {kRecordBankFirst, kRecordBankBlocks};
        case kModeRecordBank1: return {kRecordBankFirst + kRecordBankBlocks, kRecordBankBlocks};
        default: return {0, kBlocks};
        }
    }
    // The byte address where 'mode' wraps back to its first block.
    static uint32_t RegionEnd(uint32_t mode)
    {
        Region r = RegionOf(mode);
        return (r.first + r.blocks) * kBlockSize;
    }
    // The record bank of a field parity.
    static uint32_t RecordBankMode(uint32_t parity) { return parity & 1 ? kModeRecordBank1 : kModeRecordBank0; }

    Sdram() : bytes_(kBytes, 0) {}

    // Byte address of byte 'offset' of a transfer that starts at 'block' in
    // 'mode' (the ring wraps inside the transfer).
    static uint32_t Address(uint32_t block, uint32_t offset, uint32_t mode)
    {
        Region r = RegionOf(mode);
        uint64_t b = (uint64_t(block) + offset / kBlockSize) % r.blocks;
        return uint32_t((r.first + b) * kBlockSize + offset % kBlockSize);
    }

    void Read(uint32_t block, uint32_t mode, uint32_t offset, void* data, uint32_t length) const
    {
        Copy(block, mode, offset, length, [&](uint32_t at, uint32_t done, uint32_t n) {
            std::memcpy(static_cast<uint8_t*>(data) + done, &bytes_[at], n);
        });
    }
    void Write(uint32_t block, uint32_t mode, uint32_t offset, const void* data, uint32_t length)
    {
        Copy(block, mode, offset, length, [&](uint32_t at, uint32_t done, uint32_t n) {
            std::memcpy(&bytes_[at], static_cast<const uint8_t*>(data) + done, n);
        });
    }
    uint8_t* Raw() { return bytes_.data(); }
    void Reset() { std::fill(bytes_.begin(), bytes_.end(), 0); }

private:
    // Walks the transfer in pieces that never cross a wrap point.
    template <class F>
    void Copy(uint32_t block, uint32_t mode, uint32_t offset, uint32_t length, F&& piece) const
    {
        uint32_t done = 0;
        while (done < length) {
            uint32_t at = Address(block, offset + done, mode);
            uint32_t n = std::min(length - done, RegionEnd(mode) - at);
            piece(at, done, n);
            done += n;
        }
    }

    std::vector<uint8_t> bytes_;
};

}  // namespace sim
