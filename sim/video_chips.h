// The video chips on the board's I2C bus: the decoder at 0x4A that digitises
// the analog input, and the two encoders at 0x8C (encoder 0) and 0x88
// (encoder 1) that produce the analog outputs. The driver keeps a register
// image of each and writes it over I2C; the chips keep what they are sent.
//
// What this unit assumes where the driver's side leaves the hardware open:
// - Each chip is a 256-register file behind a sub-address pointer that
//   advances after every access; all registers read back as written except
//   the decoder's two status registers. Power-on clears every register.
// - Decoder status 0x1F (read-only): bit 7 an interlaced signal is present,
//   bit 6 no horizontal/vertical lock (set while not locked), bit 5 the
//   signal has 60 Hz fields. Decoder status 0x60 (read-only): bit 2 the
//   signal is unstable (poor quality). Both follow the input the machine or
//   a test puts at the decoder (SetInput):
//     Absent:  0x1F = 0x40,          0x60 = 0x04
//     Locked:  0x1F = 0x80 | 60 Hz,  0x60 = 0x00
//     Noisy:   0x1F = 0x80 | 60 Hz,  0x60 = 0x04  (locked, poor quality)
//   where "60 Hz" is 0x20 for a 525-line source.
// - Writes to the read-only registers are counted and dropped.
// - The encoders acknowledge and store every register; only the values
//   written mean anything (the video they produce is not rendered here).
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "i2c.h"

namespace sim {

enum class VideoInput { Absent, Locked, Noisy };

namespace video_chips {
inline constexpr uint8_t kDecoderStatus = 0x1F;
inline constexpr uint8_t kDecoderQuality = 0x60;

inline constexpr uint8_t kStatusInterlaced = 0x80;
inline constexpr uint8_t kStatusNoLock = 0x40;
inline constexpr uint8_t kStatus60Hz = 0x20;
inline constexpr uint8_t kQualityUnstable = 0x04;
}  // namespace video_chips

// A register file on the bus.
class VideoChip : public SubAddressDevice {
public:
    explicit VideoChip(std::string name) : trace_(std::move(name)) {}

    // Power-on: all registers 0, pointer 0.
    virtual void Reset();
    uint8_t Register(uint8_t reg) const { return regs_[reg]; }
    Trace& GetTrace() { return trace_; }

protected:
    uint8_t ReadRegister(uint8_t reg) override { return regs_[reg]; }
    void WriteRegister(uint8_t reg, uint8_t value) override;

    std::array<uint8_t, 256> regs_{};
    Trace trace_;
};

class VideoDecoder : public VideoChip {
public:
    explicit VideoDecoder(VideoInput input = VideoInput::Locked, int sourceStandard = 525);

    // What reaches the analog input; takes effect at the next status read.
    void SetInput(VideoInput input, int sourceStandard = 525);
    VideoInput Input() const { return input_; }

    uint8_t Status() const;    // register 0x1F as read now
    uint8_t Quality() const;   // register 0x60 as read now

protected:
    uint8_t ReadRegister(uint8_t reg) override;
    void WriteRegister(uint8_t reg, uint8_t value) override;

private:
    VideoInput input_;
    int sourceStandard_;
};

class VideoEncoder : public VideoChip {
public:
    explicit VideoEncoder(int index) : VideoChip(index == 0 ? "encoder0" : "encoder1") {}
};

}  // namespace sim
