// A WAVE file of 16-bit PCM samples: what the board records is written in
// the form ordinary audio tools open.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace wavefile {

// Writes interleaved 16-bit samples (frames x channels) to 'path'. False
// with the reason in 'error' when the file cannot be written whole.
bool Write(const std::string& path, const int16_t* samples, uint32_t frames, uint16_t channels, uint32_t rate,
           std::string* error);

struct Contents {
    uint16_t channels = 0;
    uint32_t rate = 0;
    uint16_t bitsPerSample = 0;
    std::vector<int16_t> samples;
};
// Reads a 16-bit PCM file as Write makes it (chunks other than "fmt " and
// "data" are skipped). False with the reason when it is not one.
bool Read(const std::string& path, Contents* contents, std::string* error);

}  // namespace wavefile
