// FsRtl name helpers: expressions with * ? and the DOS wildcards against
// names, wildcard detection, and equality with and without case.

#include <gtest/gtest.h>

#include <string>

#include "platform/nt/kernel.h"

namespace {

UNICODE_STRING Us(std::u16string& s) { return {USHORT(s.size() * 2), USHORT(s.size() * 2), s.data()}; }

TEST(FsRtlName, ExpressionsAgainstNames)
{
    struct Row {
        std::u16string expression, name;
        bool match;
    } rows[] = {
        {u"*", u"ANYTHING.TXT", true},
        {u"*", u"", true},
        {u"*.KIV", u"TAKE1.KIV", true},
        {u"*.KIV", u"TAKE1.KIVX", false},
        {u"T?KE*", u"TAKE1", true},
        {u"T?KE*", u"TKE1", false},
        {u"TAKE1", u"TAKE1", true},
        {u"TAKE1", u"TAKE12", false},
        // DOS_STAR stops at the last dot, taking it or not; DOS_DOT is a
        // dot or the end; DOS_QM is one character or nothing at a dot or
        // the end.
        {u"<.KIV", u"A.B.KIV", true},
        {u"<", u"A.B", false},
        {u"<", u"A.", true},
        {u"<", u"..", true},
        {u"<<", u"A.B", true},
        {u"<.", u"A.", true},
        {u"<.", u"A", false},
        {u"<\"", u"A.B.C", false},
        {u"<\"*", u"A.B", true},
        {u"<\"*", u"AB", true},
        {u"A>>>.TXT", u"AB.TXT", true},
        {u"A>>>.TXT", u"ABCDE.TXT", false},
        {u"NAME\"", u"NAME", true},
        {u"NAME\"", u"NAMEX", false},
    };
    for (Row& row : rows) {
        SCOPED_TRACE(std::string(row.expression.begin(), row.expression.end()) + " vs " +
                     std::string(row.name.begin(), row.name.end()));
        UNICODE_STRING e = Us(row.expression), n = Us(row.name);
        EXPECT_EQ(FsRtlIsNameInExpression(&e, &n, FALSE, nullptr) != FALSE, row.match);
    }
    std::u16string e = u"*.KIV", lower = u"take.kiv";
    UNICODE_STRING ue = Us(e), ul = Us(lower);
    EXPECT_FALSE(FsRtlIsNameInExpression(&ue, &ul, FALSE, nullptr));
    EXPECT_TRUE(FsRtlIsNameInExpression(&ue, &ul, TRUE, nullptr));
}

TEST(FsRtlName, WildcardsAndEquality)
{
    for (std::u16string s : {u"*", u"a?", u"<", u">", u"\""}) {
        UNICODE_STRING u = Us(s);
        EXPECT_TRUE(FsRtlDoesNameContainWildCards(&u));
    }
    std::u16string plain = u"take1.kiv", upper = u"TAKE1.KIV", other = u"take2.kiv";
    UNICODE_STRING p = Us(plain), u = Us(upper), o = Us(other);
    EXPECT_FALSE(FsRtlDoesNameContainWildCards(&p));
    EXPECT_TRUE(FsRtlAreNamesEqual(&p, &u, TRUE, nullptr));
    EXPECT_FALSE(FsRtlAreNamesEqual(&p, &u, FALSE, nullptr));
    EXPECT_FALSE(FsRtlAreNamesEqual(&p, &o, TRUE, nullptr));
}

}  // namespace
