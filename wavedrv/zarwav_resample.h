// The wave-out sample-rate converter: a program's PCM at its rate into
// 16-bit stereo at the board's rate. Per output frame two cyclic tables
// give the filter phase (the input position's fraction in 64ths) and the
// input advance; the filter is a low-pass interpolator of 1, 4, 8 or 16
// taps by quality (0 copies). Input is kept as history between chunks, so
// a stream converts as one whatever its chunks.
#pragma once

#include <vector>

#include "zarwav.h"

class ZarWavConverter {
public:
    ZarWavConverter(ULONG inRate, ULONG outRate, ULONG channels, ULONG bytesPerSample, ULONG quality);

    // Converts whole input frames. With 'flush' (the stream's data ends
    // here for now) the input still missing is taken as silence; the next
    // call then recomputes those provisional frames from the real input
    // and hands them back in 'substitute', the rest of its output in 'out'.
    void Convert(const BYTE* in, ULONG frames, bool flush, std::vector<SHORT>& out, std::vector<SHORT>& substitute);
    // Back to the start: history cleared, tables at their first entry.
    void Restart();
    ULONG Quality() const { return quality_; }
    ULONG Taps() const { return half_ * 2; }

private:
    struct State {
        std::vector<LONG> history;  // stereo frames not yet consumed
        size_t position = 0;        // index of the current output's input frame
        size_t entry = 0;           // into the tables
    };
    void Run(State& s, std::vector<SHORT>& out) const;
    LONG Tap(const State& s, size_t channel) const;

    ULONG channels_, bytesPerSample_, quality_, half_;
    std::vector<UCHAR> phase_;
    std::vector<UCHAR> advance_;
    std::vector<std::vector<LONG>> coefficients_;  // [phase][tap], Q15
    State state_;
    State rollback_;
    size_t provisional_ = 0;
};
