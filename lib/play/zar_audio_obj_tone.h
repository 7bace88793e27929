// A generated sine tone: endless, mono, 16-bit, at whatever rate the
// output runs. One whole number of cycles is kept in a table (at least
// 1,000 samples long), rebuilt only when the output rate changes.
#pragma once

#include <vector>

#include "zar_audio_obj.h"

class CAudioObjTone : public CAudioObj {
public:
    CAudioObjTone(uint32_t frequency, uint32_t amplitude) : m_frequency(frequency), m_amplitude(amplitude) {}

    int32_t Open(ZAR_AUDIO_SOURCE_FORMAT* format) override;
    int32_t Read(int64_t position, uint32_t frames, uint32_t bytes, void* buffer, uint32_t outputRate) override;
    int32_t Close() override { return 0; }

    // The table for an output rate: empty when the tone cannot be made
    // (no frequency or amplitude, or fewer than two samples a cycle).
    const std::vector<int16_t>& Table(uint32_t outputRate);

private:
    uint32_t m_frequency;
    uint32_t m_amplitude;
    uint32_t m_tableRate = 0;
    std::vector<int16_t> m_table;
};
