// The board's 256-byte serial EEPROM at I2C address 0xA0: calibration,
// option words, board revision, FPGA image choice and the hardware id.
//
// Layout the driver and the library rely on (one byte per sub-address):
//   2, 3     0x5A, 0x52: the board's subsystem vendor id, high byte first;
//            the driver takes the part as valid only with these
//   16       625-line option (non-zero: 625 lines supported)
//   20-23    video calibration values 0-3
//   24-39    hardware id text, NUL-terminated ("SN" and digits), at most
//            15 characters (the library copies 17 bytes from 24 on)
//   40       board sub-revision (the library shows it beside byte 41)
//   41       board revision (2 or 3: picks the FPGA image file)
//   42-45    FPGA image choice, global image numbers; 0xFF = none yet
//   48       24-fps option (bit 0: the 24 fps mode is allowed)
// Everything else reads 0xFF, as an erased part does.
//
// What this unit assumes where the driver's side leaves the hardware open:
// - A two-wire EEPROM of the common 256-byte kind: a write selects the
//   pointer with its first byte and writes at the pointer; a read reads at
//   the pointer; the pointer advances (reads wrap at 256, writes wrap inside
//   their 8-byte page).
// - After a stop that ended a write with data, the part is busy for 5 ms
//   (its internal write cycle) and does not acknowledge its address. The
//   driver waits 15 ms after every byte it writes.
// - When a file backs the part, the contents are read from it at creation
//   (a missing file: the default image, created at the first write) and
//   the whole part is written back at the end of every write cycle. A file
//   of any other size than the part's is damaged: the part reads as erased
//   and the file is left alone.
// - A power-on keeps the contents (it is non-volatile) and resets the pointer.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "i2c.h"

namespace sim {

namespace eeprom {
inline constexpr uint32_t kSize = 256;
inline constexpr uint32_t kPageSize = 8;
inline constexpr uint64_t kWriteCycleNs = 5'000'000;

inline constexpr uint8_t kIdHigh = 2;
inline constexpr uint8_t kIdLow = 3;
inline constexpr uint8_t kSupport625 = 16;
inline constexpr uint8_t kCalibration = 20;  // 4 bytes
inline constexpr uint8_t kHardwareId = 24;   // up to 15 characters and a NUL
inline constexpr uint32_t kHardwareIdMax = 15;
inline constexpr uint8_t kSubRevision = 40;
inline constexpr uint8_t kBoardRevision = 41;
inline constexpr uint8_t kFpgaChoice = 42;   // 4 bytes
inline constexpr uint8_t kSupport24Fps = 48;
inline constexpr uint8_t kNoChoice = 0xFF;
}  // namespace eeprom

using EepromImage = std::array<uint8_t, eeprom::kSize>;

// The fields of a board's factory image.
struct EepromContents {
    uint16_t subsystemVendor = 0x5A52;
    uint8_t boardRevision = 3;
    uint8_t subRevision = 0;
    uint8_t support625 = 1;
    uint8_t support24Fps = 1;
    std::array<uint8_t, 4> calibration{128, 128, 128, 128};
    std::array<uint8_t, 4> fpgaChoice{eeprom::kNoChoice, eeprom::kNoChoice, eeprom::kNoChoice, eeprom::kNoChoice};
    std::string hardwareId = "SN100001";
};

// A valid image with the given fields.
EepromImage MakeEepromImage(const EepromContents& contents = {});
// An erased part (0xFF everywhere): the driver rejects it as not valid.
EepromImage BlankEepromImage();

class Eeprom : public SubAddressDevice {
public:
    explicit Eeprom(const EepromImage& image = MakeEepromImage());

    // Backs the part with a file: loads it when it exists (else keeps the
    // present contents and writes them out at the first write cycle).
    // Returns false when an existing file could not be read; 'problem' then
    // says why, with the path. A file of the wrong size is taken as an
    // erased part: true, with 'problem' saying so.
    bool UseFile(const std::string& path, std::string* problem = nullptr);
    // Writes the contents to the backing file now; false on failure.
    bool Save() const;

    // Power-on: pointer 0, no write cycle running; contents kept.
    void Reset();

    uint8_t Byte(uint8_t at) const { return image_[at]; }
    void SetByte(uint8_t at, uint8_t value) { image_[at] = value; }  // a test's back door, not a write cycle
    const EepromImage& Contents() const { return image_; }
    void SetContents(const EepromImage& image) { image_ = image; }

    bool Busy(uint64_t now) const { return now < busyUntil_; }
    uint64_t WriteCycles() const { return writeCycles_; }

    // I2cDevice
    bool Select(bool read, uint64_t now) override;
    void Stop(uint64_t now) override;

    Trace& GetTrace() { return trace_; }

protected:
    uint8_t ReadRegister(uint8_t reg) override { return image_[reg]; }
    void WriteRegister(uint8_t reg, uint8_t value) override;
    uint8_t NextPointer(uint8_t reg, bool write) override;

private:
    EepromImage image_;
    std::string path_;
    uint64_t busyUntil_ = 0;
    bool dataWritten_ = false;
    uint64_t writeCycles_ = 0;
    Trace trace_{"eeprom"};
};

}  // namespace sim
