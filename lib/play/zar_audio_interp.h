// The audio resampler: output sample u of a source read at 'step' source
// samples a second of output at output rate R lies at source position
// u x |step| / R. With up/down the reduced ratio, a cycle of 'down' output
// samples covers 'up' source samples; three tables of 'down' entries give,
// for each output sample of the cycle, its phase (1/64 of a sample), its
// whole source sample and the advance to the next one. Phase 0 takes the
// sample itself; the others run the polyphase kernel of the order.
#pragma once

#include <cstdint>
#include <vector>

class CAudioInterp {
public:
    // False (nothing changed) for a zero step or rate.
    bool Setup(int32_t step, uint32_t outputRate, uint32_t order);
    bool Ready() const { return m_built; }
    uint32_t Order() const { return m_order; }
    uint32_t Up() const { return m_up; }
    uint32_t Down() const { return m_down; }
    bool Reverse() const { return m_reverse; }
    // A whole multiple of the output rate: every ratio-th sample, no filter.
    bool IntegerRatio() const { return m_down == 1; }
    uint32_t Ratio() const { return m_up; }

    // The whole source sample and the phase of output sample u (u may be negative).
    void Locate(int64_t u, int64_t* whole, uint32_t* phase) const;

    // 'count' output samples from output index u on, walking by 'direction'
    // (+1 or -1), from decoded mono source samples: src[i] is source sample
    // first + i, 'frames' of them. Output samples whose source lies outside
    // [validFirst, validEnd) are silence. Written every 'stride' samples.
    void Run(int64_t u, uint32_t count, int direction, const int16_t* src, int64_t first, int64_t frames,
             int64_t validFirst, int64_t validEnd, int16_t* out, uint32_t stride) const;

    // One output sample at a whole source sample and phase; src points at
    // the whole sample and holds taps / 2 samples either side.
    static int16_t Filter(const int16_t* src, uint32_t phase, uint32_t order);

private:
    int32_t m_step = 0;
    uint32_t m_outputRate = 0;
    bool m_reverse = false;
    uint32_t m_up = 1;
    uint32_t m_down = 1;
    uint32_t m_order = 0;
    bool m_built = false;
    std::vector<uint8_t> m_phase;
    std::vector<uint32_t> m_whole;
    std::vector<uint32_t> m_advance;
};
