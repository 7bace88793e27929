#include "eeprom.h"

#include <fstream>
#include <iterator>
#include <vector>

namespace sim {

using namespace eeprom;

EepromImage MakeEepromImage(const EepromContents& c)
{
    EepromImage image = BlankEepromImage();
    image[kIdHigh] = uint8_t(c.subsystemVendor >> 8);
    image[kIdLow] = uint8_t(c.subsystemVendor);
    image[kSupport625] = c.support625;
    for (int i = 0; i < 4; ++i) image[kCalibration + i] = c.calibration[i];
    for (uint32_t i = 0; i <= kHardwareIdMax; ++i)
        image[kHardwareId + i] = i < c.hardwareId.size() && i < kHardwareIdMax ? uint8_t(c.hardwareId[i]) : 0;
    image[kSubRevision] = c.subRevision;
    image[kBoardRevision] = c.boardRevision;
    for (int i = 0; i < 4; ++i) image[kFpgaChoice + i] = c.fpgaChoice[i];
    image[kSupport24Fps] = c.support24Fps;
    return image;
}

EepromImage BlankEepromImage()
{
    EepromImage image;
    image.fill(0xFF);
    return image;
}

Eeprom::Eeprom(const EepromImage& image) : image_(image) {}

bool Eeprom::UseFile(const std::string& path)
{
    path_ = path;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        trace_("no file %s: keeping the present contents", path.c_str());
        return true;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return false;
    image_.fill(0xFF);
    for (size_t i = 0; i < bytes.size() && i < kSize; ++i) image_[i] = bytes[i];
    trace_("loaded %zu bytes from %s", bytes.size(), path.c_str());
    return true;
}

bool Eeprom::Save() const
{
    if (path_.empty()) return true;
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image_.data()), image_.size());
    return bool(out);
}

void Eeprom::Reset()
{
    ResetPointer();
    busyUntil_ = 0;
    dataWritten_ = false;
}

bool Eeprom::Select(bool read, uint64_t now)
{
    if (Busy(now)) {
        trace_("busy in its write cycle: no acknowledge");
        return false;
    }
    dataWritten_ = false;
    return SubAddressDevice::Select(read, now);
}

void Eeprom::WriteRegister(uint8_t reg, uint8_t value)
{
    trace_("byte %u := 0x%02x", reg, value);
    image_[reg] = value;
    dataWritten_ = true;
}

uint8_t Eeprom::NextPointer(uint8_t reg, bool write)
{
    if (!write) return uint8_t(reg + 1);
    return uint8_t((reg & ~(kPageSize - 1)) | ((reg + 1) & (kPageSize - 1)));
}

void Eeprom::Stop(uint64_t now)
{
    if (!dataWritten_) return;
    dataWritten_ = false;
    busyUntil_ = now + kWriteCycleNs;
    ++writeCycles_;
    if (!Save()) trace_("could not write %s", path_.c_str());
}

}  // namespace sim
