// Text escapes of the machine folder's text files (registry.txt,
// eventlog.txt): UTF-16 strings written so that a person can read them and
// any code unit, including NUL and unpaired surrogates, comes back exactly.
#include <cstdio>

#include "cm_internal.h"

namespace cm {

namespace {

bool IsHigh(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLow(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

void AppendUtf8(std::string* out, uint32_t cp)
{
    if (cp < 0x80) {
        out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Reads one UTF-8 sequence at text[*pos]; false on a malformed one.
bool ReadUtf8(const std::string& text, size_t* pos, uint32_t* cp)
{
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char b = byte(*pos);
    int extra = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : -1;
    if (extra < 0 || *pos + extra >= text.size() + (extra == 0 ? 1 : 0)) return false;
    uint32_t v = extra == 0 ? b : extra == 1 ? (b & 0x1F) : extra == 2 ? (b & 0x0F) : (b & 0x07);
    for (int i = 1; i <= extra; i++) {
        unsigned char c = byte(*pos + i);
        if ((c & 0xC0) != 0x80) return false;
        v = (v << 6) | (c & 0x3F);
    }
    *pos += extra + 1;
    *cp = v;
    return true;
}

void AppendUtf16(std::u16string* out, uint32_t cp)
{
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        out->push_back(static_cast<char16_t>(cp));
    }
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ReadHex4(const std::string& text, size_t pos, char16_t* out)
{
    if (pos + 4 > text.size()) return false;
    unsigned v = 0;
    for (size_t i = 0; i < 4; i++) {
        int d = HexDigit(text[pos + i]);
        if (d < 0) return false;
        v = v * 16 + d;
    }
    *out = static_cast<char16_t>(v);
    return true;
}

// Appends s with 'escape' deciding which units need the escape form.
template <typename NeedsEscape, typename WriteEscape>
std::string Encode(const std::u16string& s, NeedsEscape needsEscape, WriteEscape writeEscape)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        char16_t c = s[i];
        if (IsHigh(c) && i + 1 < s.size() && IsLow(s[i + 1])) {
            AppendUtf8(&out, 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00));
            i++;
        } else if (IsHigh(c) || IsLow(c) || c < 0x20 || c == 0x7F || needsEscape(c)) {
            writeEscape(&out, c);
        } else {
            AppendUtf8(&out, c);
        }
    }
    return out;
}

}  // namespace

std::string Quote(const std::u16string& s)
{
    std::string body = Encode(
        s, [](char16_t c) { return c == u'"' || c == u'\\'; },
        [](std::string* out, char16_t c) {
            switch (c) {
            case u'"': *out += "\\\""; break;
            case u'\\': *out += "\\\\"; break;
            case u'\n': *out += "\\n"; break;
            case u'\r': *out += "\\r"; break;
            case u'\t': *out += "\\t"; break;
            default: {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(c));
                *out += buf;
            }
            }
        });
    return "\"" + body + "\"";
}

bool Unquote(const std::string& text, size_t* pos, std::u16string* out)
{
    size_t i = *pos;
    if (i >= text.size() || text[i] != '"') return false;
    i++;
    out->clear();
    while (i < text.size()) {
        char c = text[i];
        if (c == '"') {
            *pos = i + 1;
            return true;
        }
        if (c == '\\') {
            if (i + 1 >= text.size()) return false;
            char e = text[i + 1];
            i += 2;
            switch (e) {
            case '"': out->push_back(u'"'); break;
            case '\\': out->push_back(u'\\'); break;
            case 'n': out->push_back(u'\n'); break;
            case 'r': out->push_back(u'\r'); break;
            case 't': out->push_back(u'\t'); break;
            case 'u': {
                char16_t u;
                if (!ReadHex4(text, i, &u)) return false;
                out->push_back(u);
                i += 4;
                break;
            }
            default: return false;
            }
            continue;
        }
        uint32_t cp;
        if (!ReadUtf8(text, &i, &cp)) return false;
        AppendUtf16(out, cp);
    }
    return false;
}

std::string EscapePath(const std::u16string& s)
{
    return Encode(
        s, [](char16_t c) { return c == u'%' || c == u']'; },
        [](std::string* out, char16_t c) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "%%%04X", static_cast<unsigned>(c));
            *out += buf;
        });
}

bool UnescapePath(const std::string& text, std::u16string* out)
{
    out->clear();
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '%') {
            char16_t u;
            if (!ReadHex4(text, i + 1, &u)) return false;
            out->push_back(u);
            i += 5;
            continue;
        }
        uint32_t cp;
        if (!ReadUtf8(text, &i, &cp)) return false;
        AppendUtf16(out, cp);
    }
    return true;
}

std::string HexBytes(const UCHAR* data, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 3);
    for (size_t i = 0; i < size; i++) {
        if (i) out.push_back(' ');
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 15]);
    }
    return out;
}

bool ParseHexBytes(const std::string& text, std::vector<UCHAR>* out)
{
    out->clear();
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ' || text[i] == '\t') {
            i++;
            continue;
        }
        if (i + 1 >= text.size()) return false;
        int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out->push_back(static_cast<UCHAR>(hi * 16 + lo));
        i += 2;
    }
    return true;
}

}  // namespace cm
