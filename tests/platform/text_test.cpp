#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace vorn::platform {
namespace {

struct Pair {
    std::string_view ansi;
    std::u16string utf16;
};

TEST(TextConversion, RoundTripsEveryEncodedLength) {
    using namespace std::string_view_literals;
    const std::vector<Pair> pairs{
        {""sv, u""},
        {"Version 1.0"sv, u"Version 1.0"},
        {"a\0b"sv, std::u16string{u'a', 0, u'b'}},  // lengths, not terminators
        {"\x7F"sv, {0x7F}},
        {"\xC2\x80"sv, {0x80}},
        {"\xDF\xBF"sv, {0x7FF}},
        {"\xE0\xA0\x80"sv, {0x800}},
        {"\xED\x9F\xBF"sv, {0xD7FF}},
        {"\xEE\x80\x80"sv, {0xE000}},
        {"\xEF\xBF\xBF"sv, {0xFFFF}},
        {"\xF0\x90\x80\x80"sv, {0xD800, 0xDC00}},
        {"\xF4\x8F\xBF\xBF"sv, {0xDBFF, 0xDFFF}},
        // 15 bytes make 10 UTF-16 units.
        {"caf\xC3\xA9 \xE2\x82\xAC\xF0\x9F\x98\x80ok"sv, {u'c', u'a', u'f', 0xE9, u' ', 0x20AC, 0xD83D, 0xDE00, u'o', u'k'}},
    };
    for (const Pair& pair : pairs) {
        const auto wide = AnsiToWide(pair.ansi);
        ASSERT_TRUE(wide.has_value()) << testing::PrintToString(pair.ansi);
        EXPECT_EQ(*wide, pair.utf16) << testing::PrintToString(pair.ansi);
        const auto ansi = WideToAnsi(pair.utf16);
        ASSERT_TRUE(ansi.has_value()) << testing::PrintToString(pair.ansi);
        EXPECT_EQ(*ansi, pair.ansi);
    }
}

TEST(TextConversion, RefusesMalformedUtf8) {
    using namespace std::string_view_literals;
    for (const std::string_view bad : {
             "\xC0\x80"sv, "\xC1\xBF"sv, "\xE0\x9F\xBF"sv, "\xF0\x8F\xBF\xBF"sv,  // overlong
             "\x80"sv, "a\xBF"sv, "\xC3\xA9\xA9"sv,                              // lone continuation
             "\xC3"sv, "\xE2\x82"sv, "\xF0\x9F\x98"sv, "ab\xF0"sv,                // truncated
             "\xC3" "A"sv, "\xE2\x82" "A"sv,                                      // missing continuation
             "\xED\xA0\x80"sv, "\xED\xBF\xBF"sv,                                  // encoded surrogates
             "\xED\xA0\xBD\xED\xB8\x80"sv,                                        // an encoded pair
             "\xF4\x90\x80\x80"sv, "\xF7\xBF\xBF\xBF"sv,                          // above U+10FFFF
             "\xF8\x88\x80\x80\x80"sv, "\xFE"sv, "\xFF"sv}) {
        EXPECT_FALSE(AnsiToWide(bad).has_value()) << testing::PrintToString(bad);
    }
}

TEST(TextConversion, RefusesUnpairedSurrogates) {
    for (const std::u16string& bad : {std::u16string{0xD800}, std::u16string{0xDBFF, u'a'},
                                      std::u16string{u'a', 0xDC00}, std::u16string{0xDFFF, 0xD800},
                                      std::u16string{0xD800, 0xD800, 0xDC00}}) {
        EXPECT_FALSE(WideToAnsi(bad).has_value()) << testing::PrintToString(bad);
    }
}

int Sign(int value) { return (value > 0) - (value < 0); }

TEST(CompareIgnoreAsciiCase, FoldsOnlyAsciiLetters) {
    EXPECT_EQ(CompareIgnoreAsciiCase("Icon_Group", "ICON_group"), 0);
    EXPECT_LT(Sign(CompareIgnoreAsciiCase("a", "B")), 0);
    EXPECT_GT(Sign(CompareIgnoreAsciiCase("Z", "y")), 0);
    // Folding goes to lower case: '_' (0x5F) sorts before every letter.
    EXPECT_LT(Sign(CompareIgnoreAsciiCase("_", "A")), 0);
    EXPECT_LT(Sign(CompareIgnoreAsciiCase("_", "z")), 0);
    // Neighbours of the letters differ by 0x20 too but are not letters.
    EXPECT_NE(CompareIgnoreAsciiCase("@", "`"), 0);
    EXPECT_NE(CompareIgnoreAsciiCase("[", "{"), 0);
    EXPECT_NE(CompareIgnoreAsciiCase("^", "~"), 0);
}

TEST(CompareIgnoreAsciiCase, PrefixFirstAndBytesUnsigned) {
    EXPECT_EQ(CompareIgnoreAsciiCase("", ""), 0);
    EXPECT_LT(Sign(CompareIgnoreAsciiCase("", "a")), 0);
    EXPECT_LT(Sign(CompareIgnoreAsciiCase("ICON", "icons")), 0);
    EXPECT_GT(Sign(CompareIgnoreAsciiCase("icons", "ICON")), 0);
    // High bytes are above every ASCII byte and are never folded.
    EXPECT_GT(Sign(CompareIgnoreAsciiCase("\x80", "z")), 0);
    EXPECT_GT(Sign(CompareIgnoreAsciiCase("\xFF", "\x7F")), 0);
    EXPECT_NE(CompareIgnoreAsciiCase("caf\xC3\xA9", "CAF\xC3\x89"), 0);
    EXPECT_NE(CompareIgnoreAsciiCase("\xE9", "\xC9"), 0);
}

}  // namespace
}  // namespace vorn::platform
