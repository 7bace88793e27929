#include "eeprom.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
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

bool Eeprom::UseFile(const std::string& path, std::string* problem)
{
    path_ = path;
    if (problem) problem->clear();
    auto fail = [&](const std::string& what) {
        if (problem) *problem = path + ": " + what;
        trace_("%s: %s", path.c_str(), what.c_str());
        return false;
    };
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        trace_("no file %s: keeping the present contents", path.c_str());
        return true;
    }
    if (fd < 0) return fail(std::string("cannot open: ") + std::strerror(errno));
    // One byte more than the part holds tells a long file from a whole one.
    std::vector<uint8_t> bytes(kSize + 1);
    size_t got = 0;
    while (got < bytes.size()) {
        ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int error = errno;
            ::close(fd);
            return fail(std::string("cannot read: ") + std::strerror(error));
        }
        if (n == 0) break;
        got += size_t(n);
    }
    ::close(fd);
    if (got != kSize) {
        // Not what this part holds: an erased part, as the driver treats
        // one, and the file stays as the user left it.
        image_ = BlankEepromImage();
        path_.clear();
        if (problem)
            *problem = path + ": " + (got > kSize ? "more" : std::to_string(got)) + " bytes, not " +
                       std::to_string(kSize) + ": the EEPROM reads as erased and the file is not written";
        trace_("%s: %zu bytes: taken as an erased part", path.c_str(), got);
        return true;
    }
    std::copy(bytes.begin(), bytes.begin() + kSize, image_.begin());
    trace_("loaded %s", path.c_str());
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
