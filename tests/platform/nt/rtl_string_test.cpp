// Counted strings and the UTF-8/UTF-16 helpers.
#include <gtest/gtest.h>

#include "platform/nt/nt_ex.h"

namespace {

TEST(RtlString, AnsiAndUnicodeConvertBothWaysAndRespectBuffers)
{
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, "Caf\xe9");
    UNICODE_STRING wide;
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(wide.Buffer, wide.Length / 2), u"Caf\u00e9");
    EXPECT_EQ(wide.Buffer[4], 0);

    WCHAR small[2];
    UNICODE_STRING tooSmall{0, sizeof small, small};
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&tooSmall, &ansi, FALSE), STATUS_BUFFER_OVERFLOW);

    CHAR out[3];
    ANSI_STRING narrow{0, sizeof out, out};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&narrow, &wide, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::string(out, narrow.Length), "Caf") << "what fits is converted";
    RtlFreeUnicodeString(&wide);
    EXPECT_EQ(wide.Buffer, nullptr);
}

TEST(RtlString, AppendCopyAndCompare)
{
    WCHAR buffer[8];
    UNICODE_STRING s{0, sizeof buffer, buffer};
    EXPECT_EQ(RtlAppendUnicodeToString(&s, u"\\Dev"), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(&s, u"ice"), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(&s, u"XX"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(s.Length, 14);
    UNICODE_STRING upper = RTL_CONSTANT_STRING(u"\\DEVICE");
    EXPECT_TRUE(RtlEqualUnicodeString(&s, &upper, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&s, &upper, FALSE));
    UNICODE_STRING prefix = RTL_CONSTANT_STRING(u"\\dev");
    EXPECT_TRUE(RtlPrefixUnicodeString(&prefix, &s, TRUE));
    EXPECT_LT(RtlCompareUnicodeString(&prefix, &s, TRUE), 0) << "a prefix sorts first";

    WCHAR shortBuffer[3];
    UNICODE_STRING copy{0, sizeof shortBuffer, shortBuffer};
    RtlCopyUnicodeString(&copy, &s);
    EXPECT_EQ(std::u16string(copy.Buffer, copy.Length / 2), u"\\De") << "truncated to the buffer";
}

TEST(RtlString, IntegersInAndOut)
{
    struct Case {
        const char16_t* text;
        ULONG base;
        ULONG value;
    } cases[] = {
        {u"123", 10, 123}, {u"  -5", 10, 0xFFFFFFFBu}, {u"0x1F", 0, 31}, {u"0b101", 0, 5},
        {u"ff", 16, 255},  {u"12z", 10, 12},          {u"", 10, 0},     {u"017", 0, 17},
    };
    for (auto& c : cases) {
        UNICODE_STRING s;
        RtlInitUnicodeString(&s, c.text);
        ULONG value = 77;
        EXPECT_EQ(RtlUnicodeStringToInteger(&s, c.base, &value), STATUS_SUCCESS) << NtNarrow(&s);
        EXPECT_EQ(value, c.value) << NtNarrow(&s);
    }
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, u"1");
    ULONG value;
    EXPECT_EQ(RtlUnicodeStringToInteger(&s, 7, &value), STATUS_INVALID_PARAMETER);

    WCHAR buffer[4];
    UNICODE_STRING out{0, sizeof buffer, buffer};
    EXPECT_EQ(RtlIntegerToUnicodeString(0xBEEF, 16, &out), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(out.Buffer, out.Length / 2), u"BEEF");
    EXPECT_EQ(RtlIntegerToUnicodeString(12345, 10, &out), STATUS_BUFFER_OVERFLOW);
}

TEST(RtlString, Utf8RoundTripAndReplacement)
{
    std::string text = "A\xc3\xa9\xe2\x82\xac\xf0\x9f\x8e\xac";  // A é € 🎬
    std::u16string wide = NtWiden(text);
    EXPECT_EQ(wide, u"A\u00e9\u20ac\U0001F3AC");
    EXPECT_EQ(NtNarrow(wide), text);
    EXPECT_EQ(NtWiden("a\xff" "b\xc0\xafz"), u"a\uFFFDb\uFFFD\uFFFDz") << "invalid and overlong bytes";
    EXPECT_EQ(NtNarrow(std::u16string(1, char16_t(0xD800)) + u"x"), "\xef\xbf\xbdx") << "lone surrogate";
    EXPECT_STREQ(NtStatusName(STATUS_TIMEOUT), "STATUS_TIMEOUT");
    EXPECT_STREQ(NtStatusName(static_cast<NTSTATUS>(0xC0DE0001)), "0xC0DE0001");
}

}  // namespace
