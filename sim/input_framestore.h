// The board's video-input frame store as the host reads it back: a frame
// of the live input, fetched line by line through a DEBI port.
//
// What this unit assumes where the driver's side leaves the hardware open:
// - The store follows the input: at each field it holds the last whole
//   frame (the field that just ended and the one before it). Bit 7 of the
//   video control word 0x4C40 holds it: from the write that sets the bit
//   the store keeps the frame it had until the bit is cleared.
// - 0x4C10 selects the field to read, 0 the first and 1024 the second; a
//   write of 0x4C10 or 0x4C20 puts the read pointer at the field's first
//   line. The first field is the one a bottom-up reader places one line
//   lower: at 525 lines the frame's odd lines (the parity-0 field), at 625
//   the even ones (the parity-1 field), as the video input's frames weave
//   them.
// - Each 16-bit read of the port 0x4800 returns the next word of the line:
//   per pixel pair Cb, Y0, Cr, Y1 in the low bytes, the pair's two keys in
//   the high bytes' low nibbles (first key: words 0 and 1, second: words 2
//   and 3, high nibble first). A line is 1,440 words; the pointer goes on to
//   the next line and stays at the field's end after its last.
// - The input carries no key: every pixel's key is the one SetKey gives
//   (255 at power-on), so a test can tell the key modes apart.
#pragma once

#include <cstdint>

#include "trace.h"

namespace sim {

class BoardRegs;
class VideoFeed;

namespace framestore {
inline constexpr uint32_t kPort = 0x4800;
inline constexpr uint32_t kFieldSelect = 0x4C10;
inline constexpr uint32_t kLineAddress = 0x4C20;
inline constexpr uint32_t kVideoControl = 0x4C40;
inline constexpr uint16_t kHold = 0x0080;
inline constexpr uint16_t kSecondField = 1024;
inline constexpr uint32_t kLineWords = 1440;
}  // namespace framestore

class InputFrameStore {
public:
    InputFrameStore(BoardRegs& regs, VideoFeed& input);

    void Reset();
    // The field clock's start of field 'field'.
    void OnField(uint64_t field);
    void SetKey(uint8_t key) { key_ = key; }

    // The field number of the input that the store's first / second field
    // holds now (for a test's expected picture).
    uint64_t FieldHeld(int which) const;
    bool Held() const { return held_; }

    Trace& GetTrace() { return trace_; }

private:
    uint16_t ReadPort();
    void SelectField(uint16_t value);
    void WatchVideoControl(uint16_t value);

    BoardRegs& regs_;
    VideoFeed& input_;
    uint64_t lastEnded_ = 0;  // the input field that ended last
    bool anyEnded_ = false;
    bool held_ = false;
    int field_ = 0;           // 0 first, 1 second
    uint32_t word_ = 0;       // next word of the field
    uint8_t key_ = 255;
    Trace trace_{"framestore"};
};

}  // namespace sim
