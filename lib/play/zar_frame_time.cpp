// Frame times: fields are whole frames plus one half for the second field.

#include "zar_frame_time.h"

#include <cmath>

namespace {
constexpr double kFractionUnit = 1.0 / 65536.0;
}  // namespace

CFrameTime CFrameTime::FromField(uint32_t field)
{
    return FromFixed(field >> 1, (field & 1) ? 32768 : 0);
}

CFrameTime CFrameTime::FromFixed(uint32_t whole, uint16_t fraction)
{
    CFrameTime t;
    t.m_whole = whole;
    t.m_fraction = fraction;
    t.m_fixedValid = true;
    t.m_doubleValid = false;
    return t;
}

CFrameTime CFrameTime::FromDouble(double frames)
{
    CFrameTime t;
    t.m_value = frames;
    t.m_fixedValid = false;
    t.m_doubleValid = true;
    return t;
}

double CFrameTime::AsDouble()
{
    if (!m_doubleValid) {
        m_value = double(m_whole) + double(m_fraction) * kFractionUnit;
        m_doubleValid = true;
    }
    return m_value;
}

void CFrameTime::MakeFixed()
{
    if (m_fixedValid) return;
    // Half a unit first, so that a value that came from a fixed form
    // splits back into the same whole and fraction.
    const double v = m_value + kFractionUnit / 2;
    const double whole = std::floor(v);
    m_whole = whole >= 4294967295.0 ? 0xFFFFFFFFu : whole <= 0.0 ? 0u : uint32_t(whole);
    m_fraction = v <= 0.0 ? 0 : uint16_t((v - whole) * 65536.0);
    m_fixedValid = true;
}

uint32_t CFrameTime::Whole()
{
    MakeFixed();
    return m_whole;
}

uint16_t CFrameTime::Fraction()
{
    MakeFixed();
    return m_fraction;
}

uint32_t CFrameTime::AsField()
{
    MakeFixed();
    return m_whole * 2 + (m_fraction >= 32768 ? 1 : 0);
}

int64_t CFrameTime::ToSamples(double divisor, double multiplier, double offset)
{
    return int64_t(AsDouble() / divisor * multiplier + offset);
}

bool CFrameTime::IsZero() const
{
    if (m_fixedValid) return m_whole == 0 && m_fraction == 0;
    return m_value == 0.0;  // a NaN compares unequal: not zero
}
