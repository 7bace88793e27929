#include "i2c.h"

#include "saa7146.h"

namespace sim {

using namespace i2c;

namespace {

uint32_t AttrOf(uint32_t word, int byte) { return (word >> (2 * byte)) & 3; }
uint8_t ByteOf(uint32_t word, int byte) { return uint8_t(word >> (8 * byte)); }

}  // namespace

// ---- SubAddressDevice ----

bool SubAddressDevice::Select(bool read, uint64_t)
{
    expectSubAddress_ = !read;
    return true;
}

bool SubAddressDevice::WriteByte(uint8_t value)
{
    if (expectSubAddress_) {
        pointer_ = value;
        expectSubAddress_ = false;
        return true;
    }
    WriteRegister(pointer_, value);
    ++writes_[pointer_];
    ++totalWrites_;
    pointer_ = NextPointer(pointer_, true);
    return true;
}

uint8_t SubAddressDevice::ReadByte()
{
    uint8_t value = ReadRegister(pointer_);
    pointer_ = NextPointer(pointer_, false);
    return value;
}

void SubAddressDevice::ResetPointer()
{
    pointer_ = 0;
    expectSubAddress_ = false;
}

// ---- I2cMaster ----

I2cMaster::I2cMaster(Saa7146& bridge) : bridge_(bridge)
{
    bridge_.OnUpload(saa7146::kUploadI2c, [this] { OnUpload(); });
    bridge_.OnRegistersReset([this] { Drop("register reset"); });
}

void I2cMaster::Connect(uint8_t address, I2cDevice* device)
{
    std::lock_guard lock(bridge_.Lock());
    devices_[address >> 1] = device;
}

void I2cMaster::Reset()
{
    std::lock_guard lock(bridge_.Lock());
    Drop("reset");
    mode_ = Mode::Idle;
    selected_ = nullptr;
}

uint64_t I2cMaster::TransferNs(uint32_t word)
{
    uint64_t bits = 0;
    for (int byte = 3; byte >= 1; --byte) {
        switch (AttrOf(word, byte)) {
        case kAttrStart: bits += 1 + 9; break;
        case kAttrContinue: bits += 9; break;
        case kAttrStop: bits += 9 + 1; break;
        default: break;
        }
    }
    return bits * kBitNs;
}

void I2cMaster::Drop(const char* why)
{
    if (!busy_) return;
    hw::Host* host = bridge_.Host();
    if (eventId_ != 0 && host) host->Cancel(eventId_);
    eventId_ = 0;
    busy_ = false;
    trace_("transfer 0x%08x dropped (%s)", word_, why);
}

void I2cMaster::ReleaseBus(uint64_t now)
{
    if (selected_) selected_->Stop(now);
    selected_ = nullptr;
    mode_ = Mode::Idle;
}

void I2cMaster::OnUpload()
{
    uint32_t status = bridge_.Active(saa7146::kI2cStatus);
    uint32_t word = bridge_.Active(saa7146::kI2cTransfer);
    hw::Host* host = bridge_.Host();
    uint64_t now = host ? host->Now() : 0;

    if (status & kStatusAbort) {
        ++stats_.aborts;
        Drop("abort");
        ReleaseBus(now);
        bridge_.SetActive(saa7146::kI2cStatus, status & ~0xFFu);
        bridge_.SetActive(saa7146::kI2cTransfer, word_);
        trace_("abort: bus released");
        return;
    }
    if ((word & 0xFC) == 0) {
        // Nothing to move; what the registers show is the result of the last
        // transfer, or of the busy one.
        if (busy_) {
            bridge_.SetActive(saa7146::kI2cTransfer, word_);
            bridge_.SetActive(saa7146::kI2cStatus, (status & ~0xFFu) | kStatusBusy);
        }
        return;
    }
    if (busy_) {
        ++stats_.refused;
        trace_("upload of 0x%08x while busy refused", word);
        bridge_.SetActive(saa7146::kI2cTransfer, word_);
        bridge_.SetActive(saa7146::kI2cStatus, (status & ~0xFFu) | kStatusBusy);
        return;
    }

    word_ = word;
    busy_ = true;
    bridge_.SetActive(saa7146::kI2cStatus, (status & ~0xFFu) | kStatusBusy);
    trace_("transfer 0x%08x started", word);
    if (hang_) {
        trace_("hang: the transfer never ends");
        return;
    }
    if (!host) {
        Finish();
        return;
    }
    eventId_ = host->Schedule(now + TransferNs(word), [this] {
        std::lock_guard lock(bridge_.Lock());
        eventId_ = 0;
        Finish();
    });
}

void I2cMaster::Finish()
{
    if (!busy_) return;
    busy_ = false;
    hw::Host* host = bridge_.Host();
    uint64_t now = host ? host->Now() : 0;
    uint32_t result = word_;
    uint32_t error = 0;

    for (int byte = 3; byte >= 1 && error == 0; --byte) {
        uint32_t attr = AttrOf(word_, byte);
        uint8_t value = ByteOf(word_, byte);
        if (attr == kAttrNone) continue;

        if (attr == kAttrStart) {
            // (Repeated) start: the byte is an address. A repeated start to
            // the same device keeps its transaction (and its pointer) open.
            I2cDevice* device = devices_[value >> 1];
            bool read = (value & 1) != 0;
            if (!device || !device->Select(read, now)) {
                trace_("address 0x%02x not acknowledged", value);
                error = kStatusNoAddressAck;
                break;
            }
            if (selected_ && selected_ != device) selected_->Stop(now);
            selected_ = device;
            mode_ = read ? Mode::Read : Mode::Write;
            trace_("start 0x%02x (%s)", value, read ? "read" : "write");
            continue;
        }

        if (mode_ == Mode::Idle || !selected_) {
            trace_("byte 0x%02x with no device selected", value);
            error = kStatusSequence;
            break;
        }
        if (mode_ == Mode::Read) {
            uint8_t in = selected_->ReadByte();
            result = (result & ~(0xFFu << (8 * byte))) | (uint32_t(in) << (8 * byte));
            trace_("read 0x%02x", in);
        } else if (!selected_->WriteByte(value)) {
            trace_("byte 0x%02x not acknowledged", value);
            error = kStatusDataRefused;
            break;
        } else {
            trace_("wrote 0x%02x", value);
        }
        if (attr == kAttrStop) {
            ReleaseBus(now);
            trace_("stop");
        }
    }

    ++stats_.transfers;
    uint32_t status = bridge_.Active(saa7146::kI2cStatus) & ~0xFFu;
    bridge_.SetActive(saa7146::kI2cTransfer, result);
    if (error) {
        ++stats_.errors;
        ReleaseBus(now);
        bridge_.SetActive(saa7146::kI2cStatus, status | kStatusError | error);
        trace_("transfer 0x%08x failed, status 0x%02x", word_, kStatusError | error);
        bridge_.RaiseStatus(saa7146::kIrqI2cError);
    } else {
        bridge_.SetActive(saa7146::kI2cStatus, status);
        trace_("transfer 0x%08x done -> 0x%08x", word_, result);
        bridge_.RaiseStatus(saa7146::kIrqI2cDone);
    }
}

}  // namespace sim
