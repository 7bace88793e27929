#include "drive_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace sim {

namespace {

constexpr uint64_t kBlock = 512;
// The most a drive can report: READ CAPACITY gives the last block in 32 bits.
constexpr uint64_t kMaxBlocks = 1ull << 32;
constexpr char kImageRecordName[] = "images.txt";

// Splits a line into key=value fields; quotes group spaces into a value.
bool SplitFields(std::string_view line, std::vector<std::pair<std::string, std::string>>& fields, std::string& error)
{
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        if (i >= line.size()) break;
        size_t keyStart = i;
        while (i < line.size() && line[i] != '=' && line[i] != ' ' && line[i] != '\t') ++i;
        if (i >= line.size() || line[i] != '=') {
            error = "expected key=value at '" + std::string(line.substr(keyStart, i - keyStart)) + "'";
            return false;
        }
        std::string key(line.substr(keyStart, i - keyStart));
        ++i;
        std::string value;
        if (i < line.size() && line[i] == '"') {
            size_t close = line.find('"', i + 1);
            if (close == std::string_view::npos) {
                error = "unclosed quote in " + key;
                return false;
            }
            value = std::string(line.substr(i + 1, close - i - 1));
            i = close + 1;
        } else {
            size_t start = i;
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
            value = std::string(line.substr(start, i - start));
        }
        fields.emplace_back(std::move(key), std::move(value));
    }
    return true;
}

bool ParseUnsigned(const std::string& s, uint64_t& out)
{
    if (s.empty()) return false;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        if (v > (UINT64_MAX - 9) / 10) return false;
        v = v * 10 + uint64_t(c - '0');
    }
    out = v;
    return true;
}

bool ParseSize(const std::string& s, uint64_t& bytes)
{
    if (s.empty()) return false;
    uint64_t scale = 1;
    std::string digits = s;
    switch (s.back()) {
    case 'K': case 'k': scale = 1ull << 10; break;
    case 'M': case 'm': scale = 1ull << 20; break;
    case 'G': case 'g': scale = 1ull << 30; break;
    case 'T': case 't': scale = 1ull << 40; break;
    default: break;
    }
    if (scale != 1) digits.pop_back();
    uint64_t n;
    if (!ParseUnsigned(digits, n) || n > UINT64_MAX / scale) return false;
    bytes = n * scale;
    return true;
}

bool ParseBit(const std::string& s, bool& out)
{
    if (s == "0") out = false;
    else if (s == "1") out = true;
    else return false;
    return true;
}

std::string ParseLine(std::string_view line, const std::string& boardFolder, DriveConfig& d)
{
    std::vector<std::pair<std::string, std::string>> fields;
    std::string error;
    if (!SplitFields(line, fields, error)) return error;

    bool haveId = false, haveSize = false;
    for (auto& [key, value] : fields) {
        uint64_t n = 0;
        if (key == "id") {
            if (!ParseUnsigned(value, n) || n > 15) return "id must be 0..15";
            if (n == 7) return "id 7 is the host adapter's";
            d.id = int(n);
            haveId = true;
        } else if (key == "size") {
            if (!ParseSize(value, n) || n == 0 || n % kBlock) return "size must be a whole number of 512-byte blocks";
            if (n / kBlock > kMaxBlocks) return "size above 2T, the most a drive can report";
            d.blocks = n / kBlock;
            haveSize = true;
        } else if (key == "blocks") {
            if (!ParseUnsigned(value, n) || n == 0) return "blocks must be a positive number";
            if (n > kMaxBlocks) return "blocks above 4294967296, the most a drive can report";
            d.blocks = n;
            haveSize = true;
        } else if (key == "vendor" || key == "product" || key == "revision" || key == "serial") {
            size_t limit = key == "vendor" ? 8 : key == "product" ? 16 : key == "revision" ? 4 : 20;
            if (value.size() > limit) return key + " longer than " + std::to_string(limit) + " characters";
            (key == "vendor" ? d.vendor : key == "product" ? d.product : key == "revision" ? d.revision : d.serial) = value;
        } else if (key == "image") {
            if (value.empty()) return "empty image path";
            d.image = value;
        } else if (key == "spinup") {
            char* end = nullptr;
            double seconds = std::strtod(value.c_str(), &end);
            if (value.empty() || *end || !(seconds >= 0) || seconds > 3600) return "spinup must be 0..3600 seconds";
            d.spinUpNs = uint64_t(std::llround(seconds * 1e9));
        } else if (key == "start") {
            if (value == "power-on") d.startAtPowerOn = true;
            else if (value == "command") d.startAtPowerOn = false;
            else return "start must be power-on or command";
        } else if (key == "width") {
            if (value == "8") d.wide = false;
            else if (value == "16") d.wide = true;
            else return "width must be 8 or 16";
        } else if (key == "period") {
            if (!ParseUnsigned(value, n) || n == 0 || n > 255) return "period must be 1..255";
            d.minPeriod = uint8_t(n);
        } else if (key == "offset") {
            if (!ParseUnsigned(value, n) || n > 255) return "offset must be 0..255";
            d.maxOffset = uint8_t(n);
        } else if (key == "rcd" || key == "wce" || key == "dexcpt") {
            bool bit;
            if (!ParseBit(value, bit)) return key + " must be 0 or 1";
            (key == "rcd" ? d.rcd : key == "wce" ? d.wce : d.dexcpt) = bit;
        } else if (key == "fixed") {
            std::stringstream list(value);
            std::string name;
            while (std::getline(list, name, ',')) {
                if (name == "rcd") d.rcdChangeable = false;
                else if (name == "wce") d.wceChangeable = false;
                else if (name == "dexcpt") d.dexcptChangeable = false;
                else return "fixed lists rcd, wce or dexcpt, not '" + name + "'";
            }
        } else {
            return "unknown key '" + key + "'";
        }
    }
    if (!haveId) return "missing id";
    if (!haveSize) return "missing size or blocks";
    if (d.image.empty()) d.image = "drive" + std::to_string(d.id) + ".img";
    if (d.image[0] != '/' && !boardFolder.empty()) d.image = boardFolder + "/" + d.image;
    return {};
}

}  // namespace

DriveList ParseDrives(std::string_view text, const std::string& boardFolder, const std::string& fileName)
{
    DriveList list;
    int lineNo = 0;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        ++lineNo;
        if (size_t hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
        if (line.find_first_not_of(" \t\r") == std::string_view::npos) continue;

        DriveConfig d;
        std::string error = ParseLine(line, boardFolder, d);
        if (error.empty())
            for (const DriveConfig& other : list.drives)
                if (other.id == d.id) error = "id " + std::to_string(d.id) + " given twice";
        if (!error.empty()) {
            list.errors.push_back(fileName + ":" + std::to_string(lineNo) + ": " + error);
            continue;
        }
        list.drives.push_back(std::move(d));
    }
    return list;
}

namespace {

// The whole file; 0, or the errno of the failed open or read.
int ReadWholeFile(const std::string& path, std::string* text)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int error = errno;
            ::close(fd);
            return error;
        }
        if (n == 0) break;
        text->append(buffer, size_t(n));
    }
    ::close(fd);
    return 0;
}

}  // namespace

DriveList LoadDrives(const std::string& machineFolder, int board)
{
    std::string folder = machineFolder + "/boards/" + std::to_string(board);
    std::string path = folder + "/drives.txt";
    std::string text;
    if (int error = ReadWholeFile(path, &text)) {
        DriveList list;
        if (error != ENOENT) list.fileError = path + ": cannot read: " + std::strerror(error);
        return list;
    }
    DriveList list = ParseDrives(text, folder, path);
    // The images this board's drives have held: one named there that is
    // missing had data, and is not silently made again, empty.
    std::string record = folder + "/" + kImageRecordName, recorded;
    if (int error = ReadWholeFile(record, &recorded); error && error != ENOENT) {
        list.fileError = record + ": cannot read: " + std::strerror(error);
        list.drives.clear();
        return list;
    }
    for (DriveConfig& d : list.drives) {
        d.imageRecord = record;
        size_t at = 0;
        while ((at = recorded.find(d.image, at)) != std::string::npos) {
            const bool lineStart = at == 0 || recorded[at - 1] == '\n';
            const size_t end = at + d.image.size();
            if (lineStart && (end == recorded.size() || recorded[end] == '\n')) {
                d.createImage = false;
                break;
            }
            at = end;
        }
    }
    return list;
}

int OpenDriveImage(const DriveConfig& config, std::string* error)
{
    auto fail = [&](const char* what) {
        if (error) *error = config.image + ": " + what + ": " + std::strerror(errno);
        return -1;
    };
    int fd = ::open(config.image.c_str(), O_RDWR | (config.createImage ? O_CREAT : 0) | O_LARGEFILE | O_CLOEXEC, 0644);
    if (fd < 0 && errno == ENOENT && !config.createImage) {
        if (error)
            *error = config.image + ": missing, and this drive had data in it: not made again empty (take its "
                     "line out of " + config.imageRecord + " to start the drive empty)";
        return -1;
    }
    if (fd < 0) return fail("cannot open");
    struct stat64 st;
    if (::fstat64(fd, &st) != 0) {
        int e = errno;
        ::close(fd);
        errno = e;
        return fail("cannot stat");
    }
    uint64_t bytes = config.blocks * kBlock;
    // An image that held data and is now shorter than its drive was cut
    // (or the drive's size changed): growing it back would pass zeros off
    // as the lost blocks, so it is refused, as a missing one is.
    if (uint64_t(st.st_size) < bytes && !config.createImage) {
        ::close(fd);
        if (error)
            *error = config.image + ": " + std::to_string(st.st_size) + " bytes, shorter than its drive's " +
                     std::to_string(bytes) + ", and this drive had data in it: not grown back (give the drive " +
                     std::to_string(st.st_size / kBlock) + " blocks in drives.txt, or take its line out of " +
                     config.imageRecord + " to grow it)";
        return -1;
    }
    // ftruncate leaves a hole: the image costs only what has been written.
    if (uint64_t(st.st_size) < bytes && ::ftruncate64(fd, off64_t(bytes)) != 0) {
        int e = errno;
        ::close(fd);
        errno = e;
        return fail("cannot set size");
    }
    if (config.createImage && !config.imageRecord.empty()) {
        // Remembered from now on; a record that cannot be written only
        // loses that protection, so the drive still comes up.
        int record = ::open(config.imageRecord.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        std::string line = config.image + "\n";
        if (record < 0 || ::write(record, line.data(), line.size()) != ssize_t(line.size()))
            std::fprintf(stderr, "board: %s: %s\n", config.imageRecord.c_str(), std::strerror(errno));
        if (record >= 0) ::close(record);
    }
    return fd;
}

}  // namespace sim
