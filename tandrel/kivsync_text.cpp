// The SMPTE 12M text forms of a sample: "HH:MM:SS:FF", ";" before the
// frames in drop frame at 29.97, "." or "," for a field-accurate sample's
// first field; parsed with each field clamped into range, formatted with
// the day's wrap.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tandrel/kivsync_frame.h"

#define KIV_API extern "C" __attribute__((visibility("default")))

namespace {

constexpr int kTextLength = 11;
const char kBlank[] = "  :  :  :  ";
constexpr int kDropHour = 107892, kDropTenMinutes = 17982, kDropMinute = 1798;

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

int Clamp(long value, int highest) { return value < 0 ? 0 : value > highest ? highest : int(value); }

// Two characters at 'at' read as a number, as atol reads them.
long Field(const char* text, int at)
{
    char two[3] = {text[at], text[at + 1], 0};
    return std::atol(two);
}

}  // namespace

KIV_API KIV_BOOL KivSmpte12m_GetSampleFromString(KIV_HANDLE h, TANDREL_SAMPLE* sample, const char* text)
{
    if (sample == nullptr || IsBadWritePtr(sample, sizeof *sample) || text == nullptr || IsBadReadPtr(text, kTextLength + 1))
        return Fail(ERROR_INVALID_PARAMETER);
    uint32_t rate, fieldAccurate;
    if (h != nullptr) {
        TANDREL_CONFIGURATION c{};
        if (!KivSyncApp().SendRequest(h, IOCTL_TANDREL_SMPTE12M_GET_CONFIGURATION, nullptr, 0, &c, sizeof c, nullptr))
            return FALSE;
        rate = c.Rate, fieldAccurate = c.Vitc;
    } else {
        rate = sample->Flags & TANDREL_FLAG_RATE_MASK;
        fieldAccurate = (sample->Flags & TANDREL_FLAG_VIDEO) ? 1 : 0;
    }
    *sample = {0, 0, (rate & TANDREL_FLAG_RATE_MASK) | TANDREL_FLAG_INVALID | (fieldAccurate == 1 ? TANDREL_FLAG_VIDEO : 0)};
    if (std::strlen(text) != size_t(kTextLength) || text[0] == ' ') return Fail(ERROR_INVALID_PARAMETER);
    const char separator = text[8];
    const bool drop = rate == 29 && (separator == ';' || separator == ',');
    int highest;
    if (rate == 24 || rate == 25 || rate == 30) highest = int(rate) - 1;
    else if (rate == 29) highest = 29;
    else return Fail(ERROR_INVALID_DATA);
    if (drop) sample->Flags |= TANDREL_FLAG_DROP_FRAME;
    const int hours = Clamp(Field(text, 0), 23), minutes = Clamp(Field(text, 3), 59), seconds = Clamp(Field(text, 6), 59),
              frames = Clamp(Field(text, 9), highest);
    if (fieldAccurate == 1 && (separator == ':' || separator == ';')) sample->Flags |= TANDREL_FLAG_FIELD2;
    int count;
    if (!drop) {
        const int fps = rate == 29 ? 30 : int(rate);
        count = ((hours * 60 + minutes) * 60 + seconds) * fps + frames;
    } else {
        const int base = (hours * 6 + minutes / 10) * kDropTenMinutes, m = minutes % 10;
        if (m == 0) count = base + seconds * 30 + frames;
        else if (seconds != 0) count = base + m * kDropMinute + 2 + seconds * 30 + frames - 2;
        else count = base + m * kDropMinute + 2 + (frames > 2 ? frames - 2 : 0);  // labels 00 and 01 read as 02
    }
    sample->Frame = count;
    sample->Flags &= ~TANDREL_FLAG_INVALID;
    return TRUE;
}

KIV_API KIV_BOOL KivSmpte12m_PutSampleToString(KIV_HANDLE, const TANDREL_SAMPLE* sample, char* text)
{
    if (sample == nullptr || IsBadReadPtr(sample, sizeof *sample) || text == nullptr || IsBadWritePtr(text, kTextLength + 1))
        return Fail(ERROR_INVALID_PARAMETER);
    std::memcpy(text, kBlank, sizeof kBlank);
    const uint32_t flags = sample->Flags;
    if (flags & TANDREL_FLAG_INVALID) return TRUE;
    const uint32_t rate = flags & TANDREL_FLAG_RATE_MASK;
    const bool drop = rate == 29 && (flags & TANDREL_FLAG_DROP_FRAME);
    int hours = 0, minutes = 0, seconds = 0, frames = 0;
    if (sample->Frame != 0) {
        if (rate < 24 || rate > 30 || (rate > 25 && rate < 29)) return Fail(ERROR_INVALID_PARAMETER);
        const long day = TandrelFramesPerDay(flags);
        long c = long(sample->Frame) % day;
        if (c < 0) c += day;
        if (!drop) {
            const int fps = rate == 29 ? 30 : int(rate);
            frames = int(c % fps);
            const long t = c / fps;
            seconds = int(t % 60), minutes = int(t / 60 % 60), hours = int(t / 3600);
        } else {
            hours = int(c / kDropHour);
            const long r = c % kDropHour;
            const int tens = int(r / kDropTenMinutes), q = int(r % kDropTenMinutes);
            if (q < 1800) {
                minutes = tens * 10, seconds = q / 30, frames = q % 30;
            } else {
                const int q2 = q - 1800, p = q2 % kDropMinute;
                minutes = tens * 10 + q2 / kDropMinute + 1;
                if (p < 28) seconds = 0, frames = p + 2;
                else seconds = (p - 28) / 30 + 1, frames = (p - 28) % 30;
            }
        }
    }
    const bool firstField = (flags & TANDREL_FLAG_VIDEO) && !(flags & TANDREL_FLAG_FIELD2);
    const char* separator = firstField ? (drop ? "," : ".") : (drop ? ";" : ":");
    char out[32];
    std::snprintf(out, sizeof out, "%02d:%02d:%02d%s%02d", hours, minutes, seconds, separator, frames);
    std::memcpy(text, out, kTextLength + 1);
    return TRUE;
}
