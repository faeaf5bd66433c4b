#include <gtest/gtest.h>

#include "platform/text.h"

using namespace zuvst::platform;

struct Utf8ToWideCase {
    const char* input;
    size_t srcMax;
    size_t dstUnits;
    std::u16string expected;
};

TEST(Text, Utf8ToWideCutsAndReplaces)
{
    const Utf8ToWideCase cases[] = {
        {"abc", 100, 10, u"abc"},
        {"abcdef", 100, 4, u"abc"},                       // cut to capacity - 1
        {"abcdef", 2, 10, u"ab"},                         // never read past srcMax
        {"\xC3\xA9t\xC3\xA9", 100, 10, u"\u00E9t\u00E9"}, // two-byte sequences
        {"\xF0\x9F\x8E\xB5x", 100, 10, u"\U0001F3B5x"},   // a pair from one four-byte sequence
        {"a\xF0\x9F\x8E\xB5", 100, 3, u"a"},              // a pair that does not fit is left out whole
        {"\xFF" "a", 100, 10, u"\uFFFDa"},                // invalid byte
        {"\xE2\x82" "a", 100, 10, u"\uFFFDa"},            // truncated sequence
        {"\xC0\xAF", 100, 10, u"\uFFFD\uFFFD"},           // overlong form
        {"\xED\xA0\x80", 100, 10, u"\uFFFD\uFFFD\uFFFD"}, // encoded surrogate
        {"\xE2\x82", 2, 10, u"\uFFFD"},                   // sequence cut by srcMax
        {"", 100, 1, u""},
    };
    for (const auto& c : cases) {
        char16_t out[16];
        std::fill(std::begin(out), std::end(out), u'#');
        Utf8ToWide(c.input, c.srcMax, out, c.dstUnits);
        EXPECT_EQ(std::u16string(out), c.expected) << c.input;
    }
}

struct WideToUtf8Case {
    std::u16string input;
    size_t dstBytes;
    std::string expected;
};

TEST(Text, WideToUtf8CutsWholeSequences)
{
    const WideToUtf8Case cases[] = {
        {u"abc", 10, "abc"},
        {u"abcdef", 4, "abc"},
        {u"a\u00E9", 3, "a"},                          // the two-byte sequence does not fit
        {u"a\u00E9", 4, "a\xC3\xA9"},
        {u"\U0001F3B5", 5, "\xF0\x9F\x8E\xB5"},
        {u"\U0001F3B5", 4, ""},
        {std::u16string(1, u'\xD800') + u"x", 10, "\xEF\xBF\xBDx"}, // lone high surrogate
        {std::u16string(1, u'\xDC00'), 10, "\xEF\xBF\xBD"},         // lone low surrogate
    };
    for (const auto& c : cases) {
        char out[16];
        std::fill(std::begin(out), std::end(out), '#');
        WideToUtf8(c.input.c_str(), out, c.dstBytes);
        EXPECT_EQ(std::string(out), c.expected);
    }
}

TEST(Text, Comparisons)
{
    EXPECT_EQ(CompareWide(u"abc", u"abc"), 0);
    EXPECT_LT(CompareWide(u"abc", u"abd"), 0);
    EXPECT_NE(CompareWide(u"ABC", u"abc"), 0);
    EXPECT_EQ(CompareWideNoCase(u"WNASPI32.DLL", u"wnaspi32.dll"), 0);
    EXPECT_NE(CompareWideNoCase(u"wnaspi32.dl", u"wnaspi32.dll"), 0);
}
