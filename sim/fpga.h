// The board's four FPGAs and the configuration stream that loads them.
//
// How a configuration arrives (the driver's side):
// - GPIO pin 0 of the bridge is the FPGAs' program line, active low (the
//   board wires the GPIO unit's pin to SetProgramLine). A falling edge
//   clears all four FPGAs; the rising edge that follows starts a new
//   configuration.
// - Every DEBI write to board address 0xFFFE is one configuration clock:
//   bit d of the 16-bit value is the data bit of FPGA d (bits 4-15 unused).
//   Each FPGA assembles bytes least significant bit first.
// - PSR bit 0x10 (FPGAs configured) shows when all four run. Board status
//   bit 0x2000 (the DVE FPGA answers) shows when FPGA 3 runs an image built
//   for the DVE module and the board has the module fitted.
// - A DEBI read of 0xFFFE returns bit d set for each FPGA d that runs.
//
// The image an FPGA accepts (this system's own format; the image file only
// wraps these images, one after another, see outside/fpga_images.h):
//
//   offset size
//   0      4    magic "ZFPG"
//   4      1    FPGA (0-3) the image is built for
//   5      1    board revision (2 or 3)
//   6      2    video standard: 525, 625, or 0 for either
//   8      4    flags: bit 0 the image drives the DVE module (FPGA 3)
//   12     4    payload length in bytes (at most kMaxPayload)
//   16     4    design id (free; not checked)
//   20     8    reserved, 0
//   28     4    CRC-32 (IEEE, reflected, as zlib computes it) of bytes 0-27
//               followed by the payload
//   32     n    payload (the logic; any bytes)
//   all fields little-endian.
//
// What the FPGAs do with a stream (where the driver leaves the hardware
// open, this model's choice):
// - After a power-on or a program pulse each FPGA waits for its image.
//   The first 4 bytes must be the magic, else the FPGA stops in error (a
//   stream sent in the wrong bit order or to the wrong data line fails
//   here). At 32 bytes the header is checked: the FPGA number, the board's
//   revision, the standard (0 or the board's), the payload limit; a mismatch
//   is an error. After the payload the CRC is checked.
// - A correct image is followed by a start-up of kStartupClocks clocks
//   (whatever their data); then the FPGA runs and ignores further clocks
//   until the next program pulse. The driver's 64 trailing zero writes
//   cover the start-up of the longest image; shorter ones start up on the
//   clocks of the longer images' tails.
// - A program pulse also takes down what the FPGAs implement: the codec
//   control returns to its power-on state, which holds both codecs.
// - An FPGA in error ignores clocks until the next program pulse. A stream
//   that stops early leaves the FPGA waiting (not configured).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "trace.h"

namespace sim {

class Saa7146;
class BoardRegs;

namespace fpga {
inline constexpr int kCount = 4;
inline constexpr int kDveFpga = 3;
inline constexpr uint32_t kDataAddress = 0xFFFE;
inline constexpr uint16_t kStatusDveAnswers = 0x2000;
inline constexpr uint32_t kStartupClocks = 16;

inline constexpr uint32_t kMagic = 0x4750465A;  // "ZFPG"
inline constexpr uint32_t kHeaderSize = 32;
inline constexpr uint32_t kMaxPayload = 0x100000 - kHeaderSize;
inline constexpr uint32_t kFlagDve = 0x1;

struct ImageHeader {
    uint32_t magic = kMagic;
    uint8_t device = 0;
    uint8_t boardRevision = 3;
    uint16_t standard = 0;
    uint32_t flags = 0;
    uint32_t payloadLength = 0;
    uint32_t designId = 0;
    uint32_t reserved[2] = {0, 0};
    uint32_t crc = 0;
};
static_assert(sizeof(ImageHeader) == kHeaderSize);

uint32_t Crc32(const uint8_t* data, size_t length, uint32_t crc = 0);
// The CRC an image of this header and payload carries.
uint32_t ImageCrc(const ImageHeader& header, const uint8_t* payload, size_t length);
// Reads a header from the first kHeaderSize bytes (little-endian host).
ImageHeader ReadImageHeader(const uint8_t* bytes);
}  // namespace fpga

struct FpgaBoardConfig {
    int boardRevision = 3;
    int standard = 525;
    bool dvePresent = false;
};

class Fpgas {
public:
    enum class State { Cleared, Waiting, StartUp, Running, Error };

    Fpgas(Saa7146& bridge, BoardRegs& regs, FpgaBoardConfig config = {});

    // Power-on: all four lose their configuration and wait for a stream.
    void Reset();
    void SetConfig(const FpgaBoardConfig& config) { config_ = config; }
    const FpgaBoardConfig& Config() const { return config_; }

    // The program line (GPIO pin 0) and the data clock (a write to 0xFFFE).
    void SetProgramLine(bool high);
    void Clock(uint16_t dataBits);
    // Logic that lives in the FPGAs and goes with their configuration (the
    // codec control): 'hook' runs at each program pulse.
    void OnProgramPulse(std::function<void()> hook) { pulseHooks_.push_back(std::move(hook)); }

    State StateOf(int fpga) const { return units_[fpga].state; }
    // Why an FPGA stopped in error ("" otherwise).
    const std::string& ErrorOf(int fpga) const { return units_[fpga].error; }
    // The header of the image an FPGA runs or receives.
    const fpga::ImageHeader& HeaderOf(int fpga) const { return units_[fpga].header; }
    bool AllRunning() const;
    bool DveAnswers() const;
    uint64_t Clocks() const { return clocks_; }
    uint32_t ProgramPulses() const { return pulses_; }

    Trace& GetTrace() { return trace_; }

private:
    struct Unit {
        State state = State::Waiting;
        uint32_t bits = 0;         // bits of the byte being assembled
        uint8_t byte = 0;
        std::vector<uint8_t> received;
        fpga::ImageHeader header{};
        uint32_t crc = 0;          // running CRC of header bytes 0-27 and payload
        uint32_t startupLeft = 0;
        std::string error;
    };

    void ClearAll();
    void TakeByte(int index, uint8_t value);
    void Fail(int index, std::string why);
    void UpdateOutputs();

    Saa7146& bridge_;
    BoardRegs& regs_;
    FpgaBoardConfig config_;
    std::array<Unit, fpga::kCount> units_{};
    bool programHigh_ = true;
    uint64_t clocks_ = 0;
    uint32_t pulses_ = 0;
    std::vector<std::function<void()>> pulseHooks_;
    Trace trace_{"fpga"};
};

}  // namespace sim
