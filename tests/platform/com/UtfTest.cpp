#include "platform/com/Utf.h"

#include <gtest/gtest.h>

namespace {

struct Utf8Row {
    const char* name;
    std::string_view utf8;
    std::u16string_view utf16;
};

TEST(ComUtf, Utf8ToUtf16ReplacesEachIllFormedSubsequence) {
    const Utf8Row rows[] = {
        {"ascii", "abc", u"abc"},
        {"two-byte", "\xC3\xA9", u"\u00E9"},
        {"three-byte", "\xE2\x82\xAC", u"\u20AC"},
        {"four-byte becomes a pair", "\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
        {"largest code point", "\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},
        {"stray continuation", "a\x80z", u"a\uFFFDz"},
        {"overlong two-byte", "\xC0\xAF", u"\uFFFD\uFFFD"},
        {"overlong three-byte", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
        {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"truncated at end", "ab\xE2\x82", u"ab\uFFFD"},
        {"truncated before ascii", "\xF0\x9F\x98z", u"\uFFFDz"},
        {"invalid lead F5", "\xF5z", u"\uFFFDz"},
        {"embedded NUL", std::string_view("a\0b", 3), std::u16string_view(u"a\0b", 3)},
    };
    for (const Utf8Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Utf8ToUtf16(row.utf8), row.utf16);
    }
}

TEST(ComUtf, Utf16ToUtf8PairsSurrogatesAndReplacesLoneOnes) {
    EXPECT_EQ(Utf16ToUtf8(u"\xD83D\xDE00"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(Utf16ToUtf8(u"\u00E9\u20AC"), "\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(Utf16ToUtf8(u"a\xD800"), "a\xEF\xBF\xBD");  // high at end
    EXPECT_EQ(Utf16ToUtf8(u"\xDC00z"), "\xEF\xBF\xBDz");  // low alone
    EXPECT_EQ(Utf16ToUtf8(u"\xD800\xD800\xDC00"), "\xEF\xBF\xBD\xF0\x90\x80\x80");
    // Round trip over the boundaries of each encoding length.
    const std::u16string edges = u"\u007F\u0080\u07FF\u0800\uFFFF\xD800\xDC00\xDBFF\xDFFF";
    EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(edges)), edges);
}

// The status block's fields are written from the prefix: it must be the
// full conversion cut at any length, a surrogate pair cut in half included.
TEST(ComUtf, PrefixIsTheConversionCutAtEveryLength) {
    const std::string_view texts[] = {"plain",
                                      "caf\xC3\xA9 \xE2\x82\xAC",
                                      "a\xF0\x9F\x98\x80z",
                                      "\xF0\x9F\x98\x80\xF0\x9F\x98\x81",
                                      "x\xE2\x82y\x80\xC0",
                                      ""};
    for (const std::string_view text : texts) {
        const std::u16string full = Utf8ToUtf16(text);
        for (std::size_t capacity = 0; capacity <= full.size() + 1; ++capacity) {
            char16_t out[32] = {};
            const std::size_t n = Utf8ToUtf16Prefix(text, out, capacity);
            EXPECT_EQ(std::u16string(out, n), full.substr(0, capacity))
                << "text " << text << ", capacity " << capacity;
        }
    }
}

}  // namespace
