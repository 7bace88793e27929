// A time on a play-list in frames with a 1/65,536 fraction. It is kept in
// whichever form it was given (whole frames and fraction, or a double) and
// converted to the other on first use, so a value that went in as fields
// comes back as exactly the same fields.
#pragma once

#include <cstdint>

class CFrameTime {
public:
    CFrameTime() = default;
    static CFrameTime FromField(uint32_t field);
    static CFrameTime FromFixed(uint32_t whole, uint16_t fraction);
    static CFrameTime FromDouble(double frames);

    double AsDouble();
    uint32_t Whole();
    uint16_t Fraction();
    // Whole frames twice, plus the odd field from half a frame on.
    uint32_t AsField();
    // (frames / divisor) * multiplier + offset, truncated: with the frame
    // rate, the output rate and 0.5, the sample where the time falls.
    int64_t ToSamples(double divisor, double multiplier, double offset);
    bool IsZero() const;

private:
    void MakeFixed();

    uint32_t m_whole = 0;
    uint16_t m_fraction = 0;
    double m_value = 0.0;
    bool m_fixedValid = true;
    bool m_doubleValid = false;
};
