// FsRtl name helpers: wildcard detection, equality and expression
// matching with the DOS wildcards, which Win32 puts in a search pattern
// ("*.*" reaches a file system as "*" or "<.*" style expressions).
#include "nt_fsrtl.h"

namespace {

constexpr WCHAR kDosStar = u'<', kDosQm = u'>', kDosDot = u'"';

struct Matcher {
    const WCHAR* expr;
    ULONG exprLength;
    const WCHAR* name;
    ULONG nameLength;
    bool ignoreCase;
    ULONG lastDot;  // index of the name's last '.', or nameLength

    WCHAR NameChar(ULONG i) const { return ignoreCase ? RtlUpcaseUnicodeChar(name[i]) : name[i]; }

    bool Match(ULONG e, ULONG n) const
    {
        if (e == exprLength) return n == nameLength;
        WCHAR c = expr[e];
        switch (c) {
        case u'*':
            for (ULONG k = n; k <= nameLength; ++k)
                if (Match(e + 1, k)) return true;
            return false;
        case kDosStar: {
            // Any run of characters up to the name's last dot, that dot
            // included ("<" is "a." but not "a.b"); past it, any run.
            ULONG limit = n <= lastDot && lastDot < nameLength ? lastDot + 1 : nameLength;
            for (ULONG k = n; k <= limit; ++k)
                if (Match(e + 1, k)) return true;
            return false;
        }
        case u'?':
            return n < nameLength && Match(e + 1, n + 1);
        case kDosQm:
            // One character, or nothing at a dot or at the end.
            if (n < nameLength && name[n] != u'.') return Match(e + 1, n + 1);
            return Match(e + 1, n);
        case kDosDot:
            // A dot, or nothing at the end.
            if (n < nameLength && name[n] == u'.') return Match(e + 1, n + 1);
            return n == nameLength && Match(e + 1, n);
        default:
            return n < nameLength && NameChar(n) == (ignoreCase ? RtlUpcaseUnicodeChar(c) : c) && Match(e + 1, n + 1);
        }
    }
};

}  // namespace

BOOLEAN FsRtlDoesNameContainWildCards(PCUNICODE_STRING name)
{
    if (name == nullptr || name->Buffer == nullptr) return FALSE;
    for (ULONG i = 0; i < name->Length / sizeof(WCHAR); ++i) {
        WCHAR c = name->Buffer[i];
        if (c == u'*' || c == u'?' || c == kDosStar || c == kDosQm || c == kDosDot) return TRUE;
    }
    return FALSE;
}

BOOLEAN FsRtlAreNamesEqual(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN ignoreCase, const WCHAR* upcaseTable)
{
    (void)upcaseTable;
    if (a->Length != b->Length) return FALSE;
    for (ULONG i = 0; i < a->Length / sizeof(WCHAR); ++i) {
        WCHAR x = a->Buffer[i], y = b->Buffer[i];
        if (ignoreCase) {
            x = RtlUpcaseUnicodeChar(x);
            y = RtlUpcaseUnicodeChar(y);
        }
        if (x != y) return FALSE;
    }
    return TRUE;
}

BOOLEAN FsRtlIsNameInExpression(PCUNICODE_STRING expression, PCUNICODE_STRING name, BOOLEAN ignoreCase,
                                const WCHAR* upcaseTable)
{
    (void)upcaseTable;
    Matcher m{expression->Buffer, ULONG(expression->Length / sizeof(WCHAR)), name->Buffer,
              ULONG(name->Length / sizeof(WCHAR)), ignoreCase != FALSE, 0};
    m.lastDot = m.nameLength;
    for (ULONG i = 0; i < m.nameLength; ++i)
        if (m.name[i] == u'.') m.lastDot = i;
    return m.Match(0, 0) ? TRUE : FALSE;
}
