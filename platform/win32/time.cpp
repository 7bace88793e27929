// Time on the machine clock: the tick count, the performance counter and
// the system time (UTC; the machine has no time zone, so local time is the
// same), with the FILETIME <-> SYSTEMTIME conversions.
#include "w32_internal.h"

namespace {

constexpr LONGLONG kTicksPerDay = 864000000000LL;  // 100 ns units
// FILETIME counts from 1601-01-01, a Monday.

// Days since 1970-01-01 to a civil date and back (proleptic Gregorian).
void CivilFromDays(LONGLONG z, int* y, unsigned* m, unsigned* d)
{
    z += 719468;
    const LONGLONG era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<int>(yoe + era * 400) + (*m <= 2);
}

LONGLONG DaysFromCivil(int y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const LONGLONG era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<LONGLONG>(doe) - 719468;
}

constexpr LONGLONG kDays1601To1970 = 134774;

}  // namespace

DWORD GetTickCount() { return NtGetTickCount(); }

BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount)
{
    NTSTATUS status = NtQueryPerformanceCounter(lpPerformanceCount, nullptr);
    if (!NT_SUCCESS(status)) {
        w32::SetLastNtError(status);
        return FALSE;
    }
    return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency)
{
    LARGE_INTEGER counter;
    NTSTATUS status = NtQueryPerformanceCounter(&counter, lpFrequency);
    if (!NT_SUCCESS(status)) {
        w32::SetLastNtError(status);
        return FALSE;
    }
    return TRUE;
}

void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime)
{
    LARGE_INTEGER now{};
    NtQuerySystemTime(&now);
    lpSystemTimeAsFileTime->dwLowDateTime = now.LowPart;
    lpSystemTimeAsFileTime->dwHighDateTime = static_cast<DWORD>(now.HighPart);
}

BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime)
{
    ULARGE_INTEGER t;
    t.LowPart = lpFileTime->dwLowDateTime;
    t.HighPart = lpFileTime->dwHighDateTime;
    if (t.QuadPart > 0x7FFFFFFFFFFFFFFFULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const LONGLONG days = static_cast<LONGLONG>(t.QuadPart) / kTicksPerDay;
    LONGLONG rest = static_cast<LONGLONG>(t.QuadPart) % kTicksPerDay;
    int year;
    unsigned month, day;
    CivilFromDays(days - kDays1601To1970, &year, &month, &day);
    lpSystemTime->wYear = static_cast<WORD>(year);
    lpSystemTime->wMonth = static_cast<WORD>(month);
    lpSystemTime->wDay = static_cast<WORD>(day);
    lpSystemTime->wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
    lpSystemTime->wHour = static_cast<WORD>(rest / 36000000000LL);
    rest %= 36000000000LL;
    lpSystemTime->wMinute = static_cast<WORD>(rest / 600000000);
    rest %= 600000000;
    lpSystemTime->wSecond = static_cast<WORD>(rest / 10000000);
    lpSystemTime->wMilliseconds = static_cast<WORD>(rest % 10000000 / 10000);
    return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* st, LPFILETIME lpFileTime)
{
    static const unsigned kDaysIn[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (st->wYear % 4 == 0 && st->wYear % 100 != 0) || st->wYear % 400 == 0;
    if (st->wYear < 1601 || st->wYear > 30827 || st->wMonth < 1 || st->wMonth > 12 || st->wDay < 1 ||
        st->wDay > kDaysIn[st->wMonth - 1] || (st->wMonth == 2 && st->wDay == 29 && !leap) || st->wHour > 23 ||
        st->wMinute > 59 || st->wSecond > 59 || st->wMilliseconds > 999) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const LONGLONG days = DaysFromCivil(st->wYear, st->wMonth, st->wDay) + kDays1601To1970;
    const LONGLONG t = days * kTicksPerDay + st->wHour * 36000000000LL + st->wMinute * 600000000LL +
                       st->wSecond * 10000000LL + st->wMilliseconds * 10000LL;
    lpFileTime->dwLowDateTime = static_cast<DWORD>(t);
    lpFileTime->dwHighDateTime = static_cast<DWORD>(t >> 32);
    return TRUE;
}

void GetSystemTime(LPSYSTEMTIME lpSystemTime)
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    FileTimeToSystemTime(&ft, lpSystemTime);
}

void GetLocalTime(LPSYSTEMTIME lpSystemTime) { GetSystemTime(lpSystemTime); }
