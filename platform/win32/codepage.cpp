// Code pages: the ANSI code page (Windows-1252, so every byte of an ANSI
// string survives a trip through UTF-16) and UTF-8, for the A functions'
// conversions and MultiByteToWideChar / WideCharToMultiByte.
#include "w32_internal.h"

namespace {

// 0x80..0x9F of Windows-1252; 0 where the code page leaves a byte undefined
// (those map to the same-valued C1 control, as the system's table does).
constexpr char16_t kHigh1252[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char16_t AnsiCharToWide(unsigned char c)
{
    return (c >= 0x80 && c < 0xA0) ? kHigh1252[c - 0x80] : static_cast<char16_t>(c);
}

// -1 when the character has no ANSI form.
int WideCharToAnsi(char16_t w)
{
    if (w < 0x80 || (w >= 0xA0 && w <= 0xFF)) return w;
    for (int i = 0; i < 32; ++i)
        if (kHigh1252[i] == w) return 0x80 + i;
    return -1;
}

}  // namespace

namespace w32 {

size_t WideLength(const char16_t* s)
{
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

std::u16string AnsiToWide(const char* s, size_t n)
{
    std::u16string out(n, u'\0');
    for (size_t i = 0; i < n; ++i) out[i] = AnsiCharToWide(static_cast<unsigned char>(s[i]));
    return out;
}

std::u16string AnsiToWide(const char* s) { return s ? AnsiToWide(s, std::strlen(s)) : std::u16string(); }

std::string WideToAnsi(const char16_t* s, size_t n)
{
    std::string out(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        int c = WideCharToAnsi(s[i]);
        out[i] = static_cast<char>(c < 0 ? '?' : c);
    }
    return out;
}

std::string WideToAnsi(const std::u16string& s) { return WideToAnsi(s.data(), s.size()); }

}  // namespace w32

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr,
                        int cchWideChar)
{
    if (!lpMultiByteStr || cbMultiByte == 0 || cchWideChar < 0 || (cchWideChar && !lpWideCharStr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (dwFlags) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    const size_t n = cbMultiByte < 0 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    std::u16string wide;
    switch (CodePage) {
    case CP_ACP:
    case CP_OEMCP:
    case CP_1252: wide = w32::AnsiToWide(lpMultiByteStr, n); break;
    case CP_UTF8: {
        // NtWiden stops at a NUL; convert piecewise so embedded NULs count.
        size_t start = 0;
        for (size_t i = 0; i <= n; ++i) {
            if (i == n || lpMultiByteStr[i] == '\0') {
                wide += NtWiden(std::string(lpMultiByteStr + start, i - start));
                if (i < n) wide += u'\0';
                start = i + 1;
            }
        }
        break;
    }
    default: SetLastError(ERROR_INVALID_PARAMETER); return 0;
    }
    if (cchWideChar == 0) return static_cast<int>(wide.size());
    if (wide.size() > static_cast<size_t>(cchWideChar)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpWideCharStr, wide.data(), wide.size() * sizeof(char16_t));
    return static_cast<int>(wide.size());
}

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar, LPSTR lpMultiByteStr,
                        int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar)
{
    if (!lpWideCharStr || cchWideChar == 0 || cbMultiByte < 0 || (cbMultiByte && !lpMultiByteStr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (dwFlags) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    const size_t n = cchWideChar < 0 ? w32::WideLength(lpWideCharStr) + 1 : static_cast<size_t>(cchWideChar);
    std::string narrow;
    bool usedDefault = false;
    switch (CodePage) {
    case CP_ACP:
    case CP_OEMCP:
    case CP_1252:
        narrow.resize(n);
        for (size_t i = 0; i < n; ++i) {
            int c = WideCharToAnsi(lpWideCharStr[i]);
            if (c < 0) {
                usedDefault = true;
                c = static_cast<unsigned char>(lpDefaultChar ? *lpDefaultChar : '?');
            }
            narrow[i] = static_cast<char>(c);
        }
        break;
    case CP_UTF8: {
        if (lpDefaultChar || lpUsedDefaultChar) {  // as the system: not allowed for UTF-8
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        size_t start = 0;
        for (size_t i = 0; i <= n; ++i) {
            if (i == n || lpWideCharStr[i] == u'\0') {
                narrow += NtNarrow(std::u16string(lpWideCharStr + start, i - start));
                if (i < n) narrow += '\0';
                start = i + 1;
            }
        }
        break;
    }
    default: SetLastError(ERROR_INVALID_PARAMETER); return 0;
    }
    if (lpUsedDefaultChar) *lpUsedDefaultChar = usedDefault;
    if (cbMultiByte == 0) return static_cast<int>(narrow.size());
    if (narrow.size() > static_cast<size_t>(cbMultiByte)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpMultiByteStr, narrow.data(), narrow.size());
    return static_cast<int>(narrow.size());
}
