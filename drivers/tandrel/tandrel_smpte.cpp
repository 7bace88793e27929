// SMPTE 12M counting: frames a day at 24, 25, 29.97 (drop frame or not)
// and 30 frames a second, adding frames and fields within the day, the
// 8-byte time-code word to and from a sample, and the change mask between
// two samples that poll triggers test.

#include "tandrel_driver.h"

namespace {

constexpr LONG kDropHour = 107892;        // frames in an hour at 29.97 drop frame
constexpr LONG kDropTenMinutes = 17982;
constexpr LONG kDropMinute = 1798;        // a minute that drops frames 0 and 1

// Frames a second as digits count them: 29.97 counts 30 labels a second.
ULONG DigitRate(ULONG flags)
{
    ULONG rate = flags & TANDREL_FLAG_RATE_MASK;
    return rate == 29 ? 30 : rate;
}

BOOLEAN DropFrame(ULONG flags)
{
    return (flags & TANDREL_FLAG_RATE_MASK) == 29 && (flags & TANDREL_FLAG_DROP_FRAME) != 0;
}

// Brings a negative count into 0 .. modulus - 1 the way the day wraps.
LONGLONG Wrap(LONGLONG n, LONGLONG modulus)
{
    if (n < 0) n = modulus - ((-n) % modulus);
    return n % modulus;
}

// One BCD field: units above 9 become 9, tens above limit / 10 become that,
// and a value above the limit becomes the limit; *clamped says so.
ULONG Digits(UCHAR unitsByte, UCHAR tensByte, UCHAR tensMask, ULONG limit, BOOLEAN* clamped)
{
    ULONG units = unitsByte & 0x0F, tens = tensByte & tensMask;
    if (units > 9) units = 9, *clamped = TRUE;
    if (tens > limit / 10) tens = limit / 10, *clamped = TRUE;
    ULONG value = tens * 10 + units;
    if (value > limit) value = limit, *clamped = TRUE;
    return value;
}

// Where a flag bit lives in the word: (byte, bit) by rate.
struct WordBit {
    UCHAR Byte, Bit;
};
WordBit FieldMarkBit(ULONG rate) { return rate == 25 ? WordBit{7, 3} : WordBit{3, 3}; }
WordBit GroupFlagBit(ULONG rate, int group)
{
    if (rate == 25) {
        const WordBit bits[3] = {{3, 3}, {7, 2}, {5, 3}};
        return bits[group];
    }
    const WordBit bits[3] = {{5, 3}, {7, 2}, {7, 3}};
    return bits[group];
}
BOOLEAN TestBit(const UCHAR word[8], WordBit b) { return (word[b.Byte] >> b.Bit) & 1; }
void SetBit(UCHAR word[8], WordBit b) { word[b.Byte] = UCHAR(word[b.Byte] | (1u << b.Bit)); }

}  // namespace

LONG TandrelAddFrames(LONG start, LONG offset, LONG day)
{
    if (day <= 0) return start;
    return LONG(Wrap(Wrap(start, day) + Wrap(offset, day), day));
}

LONG TandrelFieldPosition(const TANDREL_SAMPLE& sample)
{
    return sample.Frame * 2 + ((sample.Flags & TANDREL_FLAG_FIELD2) ? 1 : 0);
}

TANDREL_SAMPLE TandrelAddFields(const TANDREL_SAMPLE& sample, LONG fields)
{
    TANDREL_SAMPLE out = sample;
    const LONGLONG day = TandrelFramesPerDay(sample.Flags);
    if (day == 0) return out;
    const LONGLONG position = Wrap(Wrap(TandrelFieldPosition(sample), 2 * day) + Wrap(fields, 2 * day), 2 * day);
    out.Frame = LONG(position / 2);
    out.Flags = (position & 1) ? out.Flags | TANDREL_FLAG_FIELD2 : out.Flags & ~TANDREL_FLAG_FIELD2;
    return out;
}

void TandrelSplitFrame(LONG frame, ULONG flags, ULONG* h, ULONG* m, ULONG* s, ULONG* f)
{
    const LONG day = TandrelFramesPerDay(flags);
    LONG c = day > 0 ? LONG(Wrap(frame, day)) : 0;
    if (DropFrame(flags)) {
        *h = ULONG(c / kDropHour);
        LONG r = c % kDropHour;
        LONG block = r / kDropTenMinutes, q = r % kDropTenMinutes;
        if (q < 1800) {
            *m = ULONG(block * 10);
            *s = ULONG(q / 30);
            *f = ULONG(q % 30);
            return;
        }
        q -= 1800;
        *m = ULONG(block * 10 + q / kDropMinute + 1);
        LONG t = q % kDropMinute - 28;
        if (t < 0) {
            *s = 0;
            *f = ULONG(t + 30);
        } else {
            *s = ULONG(t / 30 + 1);
            *f = ULONG(t % 30);
        }
        return;
    }
    const LONG fps = LONG(DigitRate(flags));
    if (fps == 0) {
        *h = *m = *s = *f = 0;
        return;
    }
    *f = ULONG(c % fps);
    c /= fps;
    *s = ULONG(c % 60);
    c /= 60;
    *m = ULONG(c % 60);
    *h = ULONG(c / 60);
}

LONG TandrelJoinFrame(ULONG h, ULONG m, ULONG s, ULONG f, ULONG flags, BOOLEAN* nonexistent)
{
    if (nonexistent != nullptr) *nonexistent = FALSE;
    if (!DropFrame(flags)) return LONG(((h * 3600 + m * 60 + s) * DigitRate(flags)) + f);
    LONG count = LONG(h) * kDropHour + LONG(m / 10) * kDropTenMinutes;
    if (m % 10 == 0) return count + LONG(s * 30 + f);
    count += LONG(m % 10) * kDropMinute + 2;
    if (s > 0) return count + LONG(s * 30 + f) - 2;
    if (f > 1) return count + LONG(f) - 2;
    // Frames 0 and 1 of such a minute are never labelled: the minute's start.
    if (nonexistent != nullptr) *nonexistent = TRUE;
    return count;
}

TANDREL_SAMPLE TandrelWordToSample(const UCHAR word[8], ULONG recordFlags)
{
    TANDREL_SAMPLE sample{0, 0, recordFlags & TANDREL_FLAG_RATE_MASK};
    if (recordFlags & TANDREL_FLAG_VIDEO) sample.Flags |= TANDREL_FLAG_VIDEO;
    if (recordFlags & TANDREL_FLAG_INVALID) {
        sample.Flags |= TANDREL_FLAG_INVALID;
        return sample;
    }
    const ULONG rate = recordFlags & TANDREL_FLAG_RATE_MASK;
    if (!TandrelRateValid(rate)) {
        sample.Flags |= TANDREL_FLAG_INVALID;
        return sample;
    }
    if (rate == 29 && (word[1] & 0x04)) sample.Flags |= TANDREL_FLAG_DROP_FRAME;
    BOOLEAN clamped = FALSE;
    const ULONG frameLimit = DigitRate(sample.Flags) - 1;
    const ULONG f = Digits(word[0], word[1], 0x03, frameLimit, &clamped);
    const ULONG s = Digits(word[2], word[3], 0x07, 59, &clamped);
    const ULONG m = Digits(word[4], word[5], 0x07, 59, &clamped);
    const ULONG h = Digits(word[6], word[7], 0x03, 23, &clamped);
    BOOLEAN nonexistent = FALSE;
    sample.Frame = TandrelJoinFrame(h, m, s, f, sample.Flags, &nonexistent);
    if (clamped) sample.Flags |= TANDREL_FLAG_CLAMPED;
    if (nonexistent) sample.Flags |= TANDREL_FLAG_NONEXISTENT;
    for (int n = 0; n < 8; ++n) sample.UserBits |= ULONG(word[n] >> 4) << (4 * n);
    if (word[1] & 0x08) sample.Flags |= TANDREL_FLAG_COLOUR_FRAME;
    if ((recordFlags & TANDREL_FLAG_VIDEO) && TestBit(word, FieldMarkBit(rate))) sample.Flags |= TANDREL_FLAG_FIELD2;
    for (int g = 0; g < 3; ++g)
        if (TestBit(word, GroupFlagBit(rate, g))) sample.Flags |= TANDREL_FLAG_BGF0 << g;
    return sample;
}

BOOLEAN TandrelSampleToWord(const TANDREL_SAMPLE& sample, BOOLEAN vitc, UCHAR word[8])
{
    for (int i = 0; i < 8; ++i) word[i] = 0;
    const ULONG rate = sample.Flags & TANDREL_FLAG_RATE_MASK;
    if (!TandrelRateValid(rate) || (sample.Flags & TANDREL_FLAG_INVALID)) return FALSE;
    const LONG day = TandrelFramesPerDay(sample.Flags);
    const BOOLEAN normalised = sample.Frame < 0 || sample.Frame >= day;
    ULONG h, m, s, f;
    TandrelSplitFrame(sample.Frame, sample.Flags, &h, &m, &s, &f);
    const ULONG values[4] = {f, s, m, h};
    for (int i = 0; i < 4; ++i) {
        word[2 * i] = UCHAR(values[i] % 10);
        word[2 * i + 1] = UCHAR(values[i] / 10);
    }
    for (int n = 0; n < 8; ++n) word[n] = UCHAR(word[n] | ((sample.UserBits >> (4 * n)) & 0x0F) << 4);
    if (DropFrame(sample.Flags)) word[1] |= 0x04;
    if (sample.Flags & TANDREL_FLAG_COLOUR_FRAME) word[1] |= 0x08;
    for (int g = 0; g < 3; ++g)
        if (sample.Flags & (TANDREL_FLAG_BGF0 << g)) SetBit(word, GroupFlagBit(rate, g));
    if (vitc) {
        if (sample.Flags & TANDREL_FLAG_FIELD2) SetBit(word, FieldMarkBit(rate));
    } else {
        // LTC: the polarity bit makes the 64 bits hold an odd number of ones.
        ULONG ones = 0;
        for (int i = 0; i < 8; ++i) ones += ULONG(__builtin_popcount(word[i]));
        if ((ones & 1) == 0) SetBit(word, FieldMarkBit(rate));
    }
    return normalised;
}

ULONG TandrelChangeMask(const TANDREL_SAMPLE& now, const TANDREL_SAMPLE& before)
{
    ULONG mask = 0;
    const ULONG flags = now.Flags ^ before.Flags;
    if (now.Frame != before.Frame) mask |= TANDREL_CHANGE_FRAME;
    if (flags & TANDREL_FLAG_FIELD2) mask |= TANDREL_CHANGE_FIELD;
    if (now.UserBits != before.UserBits || (flags & TANDREL_FLAG_BINARY_GROUPS)) mask |= TANDREL_CHANGE_USER_BITS;
    if (flags & TANDREL_FLAG_VALIDITY) mask |= TANDREL_CHANGE_VALIDITY;
    if (flags & 0x10060200) mask |= TANDREL_CHANGE_FLAGS;
    // Time code appearing or going away reads as a change of everything shown.
    if (flags == TANDREL_FLAG_INVALID) mask = (mask & ~TANDREL_CHANGE_VALIDITY) | 0x13;
    return mask;
}
