// Counted strings (Rtl...String) and the layers' UTF-8/UTF-16 helpers.
// The "ANSI" code page is Latin-1: each byte is one code unit, and code
// units beyond it become '?'. Allocating conversions use the pool (freed
// by RtlFree...String).
#include "nt_ex.h"

namespace {

enum : ULONG { StringTag = 0x67727453 };  // "Strg"
enum : USHORT { MaxStringBytes = 0xFFFE };

size_t WideLength(PCWSTR s)
{
    size_t n = 0;
    while (s[n]) n++;
    return n;
}

void Terminate(PUNICODE_STRING s)
{
    if (s->Length + sizeof(WCHAR) <= s->MaximumLength) s->Buffer[s->Length / sizeof(WCHAR)] = 0;
}

NTSTATUS Append(PUNICODE_STRING dest, PCWSTR source, size_t bytes)
{
    if (bytes == 0) return STATUS_SUCCESS;
    if (dest->Length + bytes > dest->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    std::memmove(reinterpret_cast<char*>(dest->Buffer) + dest->Length, source, bytes);
    dest->Length = static_cast<USHORT>(dest->Length + bytes);
    Terminate(dest);
    return STATUS_SUCCESS;
}

WCHAR Downcase(WCHAR c)
{
    if (c >= u'A' && c <= u'Z') return static_cast<WCHAR>(c + 32);
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<WCHAR>(c + 32);
    return c;
}

int DigitValue(WCHAR c)
{
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'z') return c - u'a' + 10;
    if (c >= u'A' && c <= u'Z') return c - u'A' + 10;
    return 99;
}

void AppendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string Narrow(const WCHAR* s, size_t n)
{
    std::string out;
    out.reserve(n);
    for (size_t i = 0; i < n; i++) {
        char32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            i++;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        AppendUtf8(out, c);
    }
    return out;
}

}  // namespace

void RtlInitUnicodeString(PUNICODE_STRING dest, PCWSTR source)
{
    dest->Buffer = const_cast<PWSTR>(source);
    if (!source) {
        dest->Length = dest->MaximumLength = 0;
        return;
    }
    size_t bytes = WideLength(source) * sizeof(WCHAR);
    if (bytes > MaxStringBytes - sizeof(WCHAR)) bytes = MaxStringBytes - sizeof(WCHAR);
    dest->Length = static_cast<USHORT>(bytes);
    dest->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

void RtlInitAnsiString(PANSI_STRING dest, PCSTR source)
{
    dest->Buffer = const_cast<PCHAR>(source);
    if (!source) {
        dest->Length = dest->MaximumLength = 0;
        return;
    }
    size_t bytes = std::strlen(source);
    if (bytes > MaxStringBytes - 1u) bytes = MaxStringBytes - 1u;
    dest->Length = static_cast<USHORT>(bytes);
    dest->MaximumLength = static_cast<USHORT>(bytes + 1);
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING dest, const ANSI_STRING* source, BOOLEAN allocate)
{
    size_t bytes = static_cast<size_t>(source->Length) * sizeof(WCHAR);
    if (bytes > MaxStringBytes) return STATUS_INVALID_PARAMETER;
    if (allocate) {
        auto buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), StringTag));
        if (!buffer) return STATUS_NO_MEMORY;
        dest->Buffer = buffer;
        dest->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    } else if (bytes > dest->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (USHORT i = 0; i < source->Length; i++) dest->Buffer[i] = static_cast<UCHAR>(source->Buffer[i]);
    dest->Length = static_cast<USHORT>(bytes);
    Terminate(dest);
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING dest, PCUNICODE_STRING source, BOOLEAN allocate)
{
    size_t chars = source->Length / sizeof(WCHAR);
    NTSTATUS status = STATUS_SUCCESS;
    if (allocate) {
        auto buffer = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, chars + 1, StringTag));
        if (!buffer) return STATUS_NO_MEMORY;
        dest->Buffer = buffer;
        dest->MaximumLength = static_cast<USHORT>(chars + 1);
    } else if (chars > dest->MaximumLength) {
        // What fits is converted, as the caller may still use it.
        chars = dest->MaximumLength;
        status = STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < chars; i++) {
        WCHAR c = source->Buffer[i];
        dest->Buffer[i] = static_cast<CHAR>(c <= 0xFF ? c : u'?');
    }
    dest->Length = static_cast<USHORT>(chars);
    if (chars < dest->MaximumLength) dest->Buffer[chars] = 0;
    return status;
}

void RtlFreeUnicodeString(PUNICODE_STRING s)
{
    if (s->Buffer) ExFreePoolWithTag(s->Buffer, StringTag);
    s->Buffer = nullptr;
    s->Length = s->MaximumLength = 0;
}

void RtlFreeAnsiString(PANSI_STRING s)
{
    if (s->Buffer) ExFreePoolWithTag(s->Buffer, StringTag);
    s->Buffer = nullptr;
    s->Length = s->MaximumLength = 0;
}

void RtlCopyUnicodeString(PUNICODE_STRING dest, PCUNICODE_STRING source)
{
    if (!source || !source->Buffer) {
        dest->Length = 0;
        return;
    }
    USHORT bytes = source->Length < dest->MaximumLength ? source->Length : dest->MaximumLength;
    bytes &= ~1u;
    std::memmove(dest->Buffer, source->Buffer, bytes);
    dest->Length = bytes;
    Terminate(dest);
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING dest, PCWSTR source)
{
    if (!source) return STATUS_SUCCESS;
    return Append(dest, source, WideLength(source) * sizeof(WCHAR));
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING dest, PCUNICODE_STRING source)
{
    return Append(dest, source->Buffer, source->Length);
}

WCHAR RtlUpcaseUnicodeChar(WCHAR c)
{
    if (c >= u'a' && c <= u'z') return static_cast<WCHAR>(c - 32);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<WCHAR>(c - 32);
    if (c == 0xFF) return 0x178;
    return c;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive)
{
    size_t na = a->Length / sizeof(WCHAR), nb = b->Length / sizeof(WCHAR);
    size_t n = na < nb ? na : nb;
    for (size_t i = 0; i < n; i++) {
        WCHAR ca = a->Buffer[i], cb = b->Buffer[i];
        if (caseInsensitive) {
            ca = RtlUpcaseUnicodeChar(ca);
            cb = RtlUpcaseUnicodeChar(cb);
        }
        if (ca != cb) return static_cast<LONG>(ca) - static_cast<LONG>(cb);
    }
    return static_cast<LONG>(na) - static_cast<LONG>(nb);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive)
{
    if (a->Length != b->Length) return FALSE;
    return RtlCompareUnicodeString(a, b, caseInsensitive) == 0;
}

BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING prefix, PCUNICODE_STRING s, BOOLEAN caseInsensitive)
{
    if (prefix->Length > s->Length) return FALSE;
    UNICODE_STRING head{prefix->Length, prefix->Length, s->Buffer};
    return RtlCompareUnicodeString(prefix, &head, caseInsensitive) == 0;
}

NTSTATUS RtlUpcaseUnicodeString(PUNICODE_STRING dest, PCUNICODE_STRING source, BOOLEAN allocate)
{
    if (allocate) {
        auto buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, source->Length + sizeof(WCHAR), StringTag));
        if (!buffer) return STATUS_NO_MEMORY;
        dest->Buffer = buffer;
        dest->MaximumLength = static_cast<USHORT>(source->Length + sizeof(WCHAR));
    } else if (source->Length > dest->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < source->Length / sizeof(WCHAR); i++)
        dest->Buffer[i] = RtlUpcaseUnicodeChar(source->Buffer[i]);
    dest->Length = source->Length;
    if (allocate) Terminate(dest);
    return STATUS_SUCCESS;
}

NTSTATUS RtlIntegerToUnicodeString(ULONG value, ULONG base, PUNICODE_STRING dest)
{
    if (base == 0) base = 10;
    if (base != 2 && base != 8 && base != 10 && base != 16) return STATUS_INVALID_PARAMETER;
    WCHAR digits[33];
    size_t n = 0;
    do {
        ULONG d = value % base;
        digits[n++] = static_cast<WCHAR>(d < 10 ? u'0' + d : u'A' + d - 10);
        value /= base;
    } while (value);
    size_t bytes = n * sizeof(WCHAR);
    if (bytes > dest->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    for (size_t i = 0; i < n; i++) dest->Buffer[i] = digits[n - 1 - i];
    dest->Length = static_cast<USHORT>(bytes);
    Terminate(dest);
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING s, ULONG base, PULONG value)
{
    if (!value) return STATUS_ACCESS_VIOLATION;
    const WCHAR* p = s->Buffer;
    size_t n = s->Length / sizeof(WCHAR), i = 0;
    while (i < n && (p[i] == u' ' || p[i] == u'\t' || p[i] == u'\n' || p[i] == u'\r')) i++;
    bool negative = false;
    if (i < n && (p[i] == u'+' || p[i] == u'-')) negative = p[i++] == u'-';
    if (base == 0) {
        base = 10;
        if (i + 1 < n && p[i] == u'0') {
            WCHAR x = Downcase(p[i + 1]);
            if (x == u'x') base = 16;
            if (x == u'o') base = 8;
            if (x == u'b') base = 2;
            if (base != 10) i += 2;
        }
    } else if (base != 2 && base != 8 && base != 10 && base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG result = 0;
    for (; i < n; i++) {
        int d = DigitValue(p[i]);
        if (d >= static_cast<int>(base)) break;
        result = result * base + static_cast<ULONG>(d);
    }
    *value = negative ? 0u - result : result;
    return STATUS_SUCCESS;
}

SIZE_T RtlCompareMemoryBytes(const void* a, const void* b, SIZE_T n)
{
    auto pa = static_cast<const UCHAR*>(a), pb = static_cast<const UCHAR*>(b);
    SIZE_T i = 0;
    while (i < n && pa[i] == pb[i]) i++;
    return i;
}

std::u16string NtWiden(const std::string& s)
{
    std::u16string out;
    out.reserve(s.size());
    size_t i = 0, n = s.size();
    auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    while (i < n) {
        unsigned char c = byte(i);
        char32_t cp;
        size_t len;
        if (c < 0x80) {
            cp = c;
            len = 1;
        } else if (c >= 0xC2 && c < 0xE0) {
            cp = c & 0x1F;
            len = 2;
        } else if (c >= 0xE0 && c < 0xF0) {
            cp = c & 0x0F;
            len = 3;
        } else if (c >= 0xF0 && c < 0xF5) {
            cp = c & 0x07;
            len = 4;
        } else {
            out += u'\uFFFD';
            i++;
            continue;
        }
        bool ok = i + len <= n;
        for (size_t k = 1; ok && k < len; k++) {
            if ((byte(i + k) & 0xC0) != 0x80)
                ok = false;
            else
                cp = (cp << 6) | (byte(i + k) & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are invalid.
        if (ok && ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
                   (cp >= 0xD800 && cp <= 0xDFFF)))
            ok = false;
        if (!ok) {
            out += u'\uFFFD';
            i++;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += len;
    }
    return out;
}

std::string NtNarrow(const std::u16string& s) { return Narrow(s.data(), s.size()); }

std::string NtNarrow(PCUNICODE_STRING s)
{
    if (!s || !s->Buffer) return {};
    return Narrow(s->Buffer, s->Length / sizeof(WCHAR));
}
