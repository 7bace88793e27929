#include "tools/wave_file.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace wavefile {

namespace {

constexpr uint16_t kPcm = 1;

void Put16(std::vector<uint8_t>& b, uint16_t v)
{
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void Put32(std::vector<uint8_t>& b, uint32_t v)
{
    Put16(b, uint16_t(v));
    Put16(b, uint16_t(v >> 16));
}
void PutTag(std::vector<uint8_t>& b, const char* tag) { b.insert(b.end(), tag, tag + 4); }
uint16_t Get16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) { return Get16(p) | (uint32_t(Get16(p + 2)) << 16); }

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

bool Write(const std::string& path, const int16_t* samples, uint32_t frames, uint16_t channels, uint32_t rate,
           std::string* error)
{
    const uint64_t dataBytes = uint64_t(frames) * channels * 2;
    if (channels == 0 || dataBytes > 0xFFFFFFFFull - 36) {
        *error = "no channels, or more samples than a WAVE file holds";
        return false;
    }
    std::vector<uint8_t> b;
    PutTag(b, "RIFF");
    Put32(b, uint32_t(36 + dataBytes));
    PutTag(b, "WAVE");
    PutTag(b, "fmt ");
    Put32(b, 16);
    Put16(b, kPcm);
    Put16(b, channels);
    Put32(b, rate);
    Put32(b, rate * channels * 2);
    Put16(b, uint16_t(channels * 2));
    Put16(b, 16);
    PutTag(b, "data");
    Put32(b, uint32_t(dataBytes));
    for (uint64_t i = 0; i < uint64_t(frames) * channels; ++i) Put16(b, uint16_t(samples[i]));
    std::unique_ptr<std::FILE, FileCloser> f(std::fopen(path.c_str(), "wb"));
    if (!f) {
        *error = path + ": cannot be created";
        return false;
    }
    if (std::fwrite(b.data(), 1, b.size(), f.get()) != b.size() || std::fflush(f.get()) != 0) {
        *error = path + ": could not be written whole";
        return false;
    }
    return true;
}

bool Read(const std::string& path, Contents* contents, std::string* error)
{
    std::unique_ptr<std::FILE, FileCloser> f(std::fopen(path.c_str(), "rb"));
    if (!f) {
        *error = path + ": cannot be opened";
        return false;
    }
    std::vector<uint8_t> b;
    uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof(chunk), f.get())) > 0) b.insert(b.end(), chunk, chunk + n);
    if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0 || std::memcmp(b.data() + 8, "WAVE", 4) != 0) {
        *error = path + ": not a RIFF WAVE file";
        return false;
    }
    bool haveFormat = false;
    for (size_t at = 12; at + 8 <= b.size();) {
        uint32_t size = Get32(b.data() + at + 4);
        const uint8_t* body = b.data() + at + 8;
        if (size > b.size() - at - 8) {
            *error = path + ": a chunk runs past the end of the file";
            return false;
        }
        if (std::memcmp(b.data() + at, "fmt ", 4) == 0 && size >= 16) {
            if (Get16(body) != kPcm || Get16(body + 14) != 16) {
                *error = path + ": not 16-bit PCM";
                return false;
            }
            contents->channels = Get16(body + 2);
            contents->rate = Get32(body + 4);
            contents->bitsPerSample = 16;
            haveFormat = true;
        } else if (std::memcmp(b.data() + at, "data", 4) == 0) {
            if (!haveFormat) {
                *error = path + ": data before its format";
                return false;
            }
            contents->samples.resize(size / 2);
            for (uint32_t i = 0; i < size / 2; ++i) contents->samples[i] = int16_t(Get16(body + 2 * i));
            return true;
        }
        at += 8 + size + (size & 1);
    }
    *error = path + ": no data chunk";
    return false;
}

}  // namespace wavefile
