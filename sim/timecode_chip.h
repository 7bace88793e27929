// The board's sync/time-code chip behind DEBI: two direct registers, an
// index port and a data port over a 64-byte indirect register file, the
// longitudinal (LTC) and vertical-interval (VITC) readers and generators,
// a video interrupt at a programmed line and the burn-in window keyed into
// the board's output picture.
//
// What this unit assumes where the driver's side leaves the chip open:
// - DEBI 0xAC00 is direct register 0 (bit 5 interrupt enable, bit 2 the
//   time-code interrupt; a read returns the flags and releases the line),
//   0xAC04 direct register 1 (reader flags: bit 2 LTC present, bit 3 the
//   second reader's flag), 0xAC08 the index port (bits 0-5 the register,
//   bit 7 auto-increment after each data access), 0xAC0C the data port.
// - Indirect register 50's second byte (register 51) bits 0-5 hold the
//   interrupt line - 1; the chip interrupts that many line periods into each
//   field while bit 5 of direct register 0 is set.
// - LTC runs once a frame: at the start of each parity-1 field the reader
//   decodes the frame the wire carried during the frame that ended (into
//   registers 0-7, direct register 1 bit 2 set when a sync word was found),
//   then the generator starts sending registers 8-15 as they stand, while its
//   output gain step (register 53 bits 0-3) is not 0. The wire is a real
//   biphase-mark stream, two half-bit levels a bit, 80 bits a frame with the
//   sync word last; the 8 register bytes are bits 0-63 low bit first.
// - The reader hears the generator looped back, or frames a test feeds in
//   (FeedLtc, kept in a queue and sent one a frame), or nothing.
// - VITC: in each field the generator inserts registers 32-39 at the line of
//   register 46 (parity 1) or 47 (parity 0) when its bit 7 is set; the reader
//   (registers 48/49, bit 7 on, bits 0-4 line - 10, 31 search) finds it in
//   the same field and copies the eight bytes into registers 16-23, the line
//   found - 10 into register 24 (0xFF when nothing was found).
// - Burn-in: register 40 is the window's column (255 hides it), 41 its line
//   (0 hides it), 42-45 the eight character codes (high nibble of 45 first),
//   60 bit 0 the large-font cell, 62 bit 0 the indicator. The window is drawn
//   white on a black box over the output picture: a column is 3 pixels, a
//   line one field line; small characters are 12 x 16 pixels, large 18 x 24.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <vector>

#include "platform/hw/hw.h"
#include "trace.h"

namespace sim {

class BoardRegs;
class Saa7146;
class VideoField;

namespace timecode {
inline constexpr uint32_t kDirect0 = 0xAC00;
inline constexpr uint32_t kDirect1 = 0xAC04;
inline constexpr uint32_t kIndexPort = 0xAC08;
inline constexpr uint32_t kDataPort = 0xAC0C;

inline constexpr uint8_t kDirect0InterruptEnable = 0x20;
inline constexpr uint8_t kDirect0TimeCodeInterrupt = 0x04;
inline constexpr uint8_t kDirect1LtcPresent = 0x04;
inline constexpr uint8_t kIndexAutoIncrement = 0x80;

inline constexpr int kLtcReader = 0;
inline constexpr int kLtcGenerator = 8;
inline constexpr int kVitcReader = 16;
inline constexpr int kVitcGenerator = 32;
inline constexpr int kBurnInColumn = 40;
inline constexpr int kBurnInLine = 41;
inline constexpr int kBurnInCodes = 42;
inline constexpr int kVitcGeneratorLines = 46;
inline constexpr int kVitcReaderLines = 48;
inline constexpr int kVideoSetup = 50;
inline constexpr int kLtcGain = 53;
inline constexpr int kBurnInControl = 60;
inline constexpr int kExchangeControl = 62;

inline constexpr int kLtcBits = 80;
// Bits 64-79 of an LTC frame, in the order they are sent.
inline constexpr uint16_t kLtcSyncWord = 0x3FFD;
}  // namespace timecode

// One LTC frame's 64 data bits as the chip's eight register bytes.
using LtcFrame = std::array<uint8_t, 8>;

// Appends one frame to a biphase-mark stream (two half-bit levels, +1/-1,
// a bit; the level goes on from the stream's last one).
void EncodeLtcFrame(const LtcFrame& frame, std::vector<int8_t>& halfBits);

class TimeCodeChip {
public:
    enum class LtcSource { None, Loopback, Fed };

    TimeCodeChip(Saa7146& bridge, BoardRegs& regs, int standard);

    void Attach(hw::Host* host) { host_ = host; }
    void Reset();
    void PowerOff();  // no more interrupts fall
    void SetStandard(int standard) { standard_ = standard == 625 ? 625 : 525; }

    // The start of each field (after the count and parity moved on).
    void OnField(uint64_t field, int parity);

    // --- What reaches the chip from outside ---
    void SetLtcSource(LtcSource source) { ltcSource_ = source; }
    void FeedLtc(const LtcFrame& frame) { fed_.push_back(frame); }

    // --- Inspection ---
    uint8_t Indirect(int index) const { return file_[index & 63]; }
    uint8_t Direct(int index) const { return direct_[index & 1]; }
    bool InterruptAsserted() const { return (direct_[0] & timecode::kDirect0TimeCodeInterrupt) != 0; }
    uint64_t InterruptCount() const { return interrupts_; }
    // The LTC output since the last take, as half-bit levels.
    std::vector<int8_t> TakeLtcOutput();
    // Keys the burn-in window of the field of 'parity' into 'field'.
    void KeyBurnIn(int parity, VideoField& field) const;

    Trace& GetTrace() { return trace_; }

private:
    uint16_t Read(uint32_t address);
    void Write(uint32_t address, uint16_t value);
    void RaiseInterrupt();
    void LtcFrameStart();
    void VitcField(int parity);

    Saa7146& bridge_;
    BoardRegs& regs_;
    hw::Host* host_ = nullptr;
    int standard_;
    std::array<uint8_t, 64> file_{};
    std::array<uint8_t, 2> direct_{};
    uint8_t index_ = 0;
    bool autoIncrement_ = false;
    uint64_t interrupts_ = 0;
    uint64_t pendingInterrupt_ = 0;

    LtcSource ltcSource_ = LtcSource::Loopback;
    std::deque<LtcFrame> fed_;
    std::vector<int8_t> wire_;       // the frame on the reader's input during this frame
    std::vector<int8_t> output_;     // the generator's output not yet taken
    int8_t outputLevel_ = 1;
    // Burn-in as it stood at each parity's field start.
    struct Window {
        uint8_t column = 255, line = 0, control = 0, indicator = 0;
        std::array<uint8_t, 4> codes{};
    };
    std::array<Window, 2> window_{};

    Trace trace_{"timecode"};
};

// A biphase-mark decoder as the chip's reader runs it: the first frame whose
// sync word ends the 80 bits found in the stream, false when none.
bool DecodeLtcFrame(const std::vector<int8_t>& halfBits, LtcFrame* frame);

}  // namespace sim
