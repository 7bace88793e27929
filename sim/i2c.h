// The bridge's I2C master and the devices on its bus.
//
// The driver programs one transfer word (I2C_TRANSFER, 0x8C) at a time and
// uploads it (MC2 strobe 0x1): bytes 3, 2 and 1 go out in that order, each
// with a 2-bit attribute in the word's low byte (byte 3 in bits 7-6, byte 2
// in bits 5-4, byte 1 in bits 3-2): 11 start (the byte is an address), 10
// continue, 01 stop (the byte, then a stop condition), 00 nothing.
//
// What this unit assumes where the driver's side leaves the hardware open:
// - The bus state survives the end of a transfer word: a word that ends
//   without a stop keeps the addressed device selected, so the next word
//   continues the same transaction. After an address with the read bit the
//   bus is in read mode: a continue or stop byte is then clocked in from the
//   device and lands in that byte of the transfer word (the master
//   acknowledges it, except before a stop). That is how a register read runs:
//   0xEC (start, continue, repeated start with the read address), then the
//   driver's second word 0x40 clocks the data byte into byte 3 and stops.
// - Bits 1-0 of the low byte carry no byte (byte 0 is the attribute byte).
//   A word with no attribute at all moves nothing and raises nothing: the
//   driver's clean-up uploads zero words freely.
// - I2C_STATUS (0x90) as read: bit 0 busy, bit 1 error (any of the next),
//   bit 2 arbitration lost (never happens here, one master), bit 3 a read
//   byte was lost (never), bit 4 a device refused a data byte, bit 5 no
//   device acknowledged an address, bit 6 a byte without a selected device
//   (continue or stop on an idle bus). As written, bit 7 aborts: the upload
//   that carries it stops the transfer in flight, releases the bus and
//   latches nothing. Bits 8-10 (clock select) are kept but the bus always
//   runs at 100 kHz.
// - Time on the machine clock: 10 us a bit, 9 bits a byte, one bit for each
//   start and stop condition. Busy shows from the upload until the end.
//   Bytes move at the end of the transfer (the devices see them then).
// - The end latches ISR 0x20000 (done) when every byte was acknowledged; a
//   refusal ends the transfer at that byte, releases the bus (stop), sets
//   the error bits and latches ISR 0x10000 (error) only.
// - An upload of a non-empty word while busy is refused (traced, counted);
//   the transfer in flight goes on. A master reset or machine reset drops
//   the transfer in flight without latching anything.
// - Fault injection: SetHang makes the engine take transfers and never end
//   them (the driver's 1 s time-out path).
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "trace.h"

namespace sim {

class Saa7146;

namespace i2c {
inline constexpr uint32_t kStatusBusy = 0x01;
inline constexpr uint32_t kStatusError = 0x02;
inline constexpr uint32_t kStatusArbitrationLost = 0x04;
inline constexpr uint32_t kStatusReadLost = 0x08;
inline constexpr uint32_t kStatusDataRefused = 0x10;
inline constexpr uint32_t kStatusNoAddressAck = 0x20;
inline constexpr uint32_t kStatusSequence = 0x40;
inline constexpr uint32_t kStatusAbort = 0x80;
inline constexpr uint32_t kStatusResultBits = 0x7F;

inline constexpr uint32_t kAttrNone = 0;
inline constexpr uint32_t kAttrStop = 1;
inline constexpr uint32_t kAttrContinue = 2;
inline constexpr uint32_t kAttrStart = 3;

inline constexpr uint64_t kBitNs = 10'000;  // 100 kHz

// The bus addresses of the board's devices (8-bit form).
inline constexpr uint8_t kEepromAddress = 0xA0;
inline constexpr uint8_t kDecoderAddress = 0x4A;
inline constexpr uint8_t kEncoder0Address = 0x8C;
inline constexpr uint8_t kEncoder1Address = 0x88;
}  // namespace i2c

// A device on the bus.
class I2cDevice {
public:
    virtual ~I2cDevice() = default;
    // A start condition named this device; false: no acknowledge.
    virtual bool Select(bool read, uint64_t now) = 0;
    // A byte to the device; false: not acknowledged.
    virtual bool WriteByte(uint8_t value) = 0;
    virtual uint8_t ReadByte() = 0;
    // A stop condition ended a transaction with this device.
    virtual void Stop(uint64_t now) { (void)now; }
};

// A device with a register pointer: the first byte written after selection
// sets the pointer (the sub-address), later bytes write registers at the
// pointer, reads come from it; the pointer advances after every access and
// wraps at 256. Counts every register write, so tests can tell "written
// again with the same value" from "not written".
class SubAddressDevice : public I2cDevice {
public:
    bool Select(bool read, uint64_t now) override;
    bool WriteByte(uint8_t value) override;
    uint8_t ReadByte() override;

    uint8_t Pointer() const { return pointer_; }
    uint32_t WriteCount(uint8_t reg) const { return writes_[reg]; }
    uint64_t TotalWrites() const { return totalWrites_; }

protected:
    virtual uint8_t ReadRegister(uint8_t reg) = 0;
    virtual void WriteRegister(uint8_t reg, uint8_t value) = 0;
    // Where the pointer goes after an access at 'reg' (the EEPROM wraps
    // inside its write page).
    virtual uint8_t NextPointer(uint8_t reg, bool write) { (void)write; return uint8_t(reg + 1); }
    void ResetPointer();

private:
    uint8_t pointer_ = 0;
    bool expectSubAddress_ = false;
    std::array<uint32_t, 256> writes_{};
    uint64_t totalWrites_ = 0;
};

class I2cMaster {
public:
    explicit I2cMaster(Saa7146& bridge);

    // Puts a device at an 8-bit address (bit 0 ignored); null takes it off.
    void Connect(uint8_t address, I2cDevice* device);
    I2cDevice* DeviceAt(uint8_t address) const { return devices_[address >> 1]; }

    // Power-on: idle, bus released.
    void Reset();

    bool Busy() const { return busy_; }
    void SetHang(bool hang) { hang_ = hang; }

    struct Stats {
        uint64_t transfers = 0;   // words that moved at least one byte
        uint64_t errors = 0;      // transfers that ended in a refusal
        uint64_t refused = 0;     // uploads while busy
        uint64_t aborts = 0;
    };
    const Stats& GetStats() const { return stats_; }

    // Duration of a transfer word.
    static uint64_t TransferNs(uint32_t word);

    Trace& GetTrace() { return trace_; }

private:
    enum class Mode { Idle, Write, Read };

    void OnUpload();
    void Finish();
    void Drop(const char* why);
    void ReleaseBus(uint64_t now);

    Saa7146& bridge_;
    std::array<I2cDevice*, 128> devices_{};
    Mode mode_ = Mode::Idle;
    I2cDevice* selected_ = nullptr;
    bool busy_ = false;
    bool hang_ = false;
    uint32_t word_ = 0;       // the word in flight, as uploaded
    uint64_t eventId_ = 0;
    Stats stats_;
    Trace trace_{"i2c"};
};

}  // namespace sim
