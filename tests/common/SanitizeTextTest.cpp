#include <gtest/gtest.h>

#include <string>

#include "common/CommonFacility.h"

using talwen::common::isPrintableCodePoint;
using talwen::common::sanitizeText;

TEST(SanitizeText, KeptTableFollowsTheCurrentUnicodeCategories) {
    struct Case {
        uint32_t codePoint;
        bool kept;
        const char* why;
    };
    const Case cases[] = {
        {0x0041, true, "Lu"},
        {0x4E2D, true, "Lo"},
        {0x000A, true, "line feed is kept"},
        {0x0009, true, "tab is kept"},
        {0x000D, true, "carriage return is kept"},
        {0x0020, true, "Zs"},
        {0x00A0, true, "Zs"},
        {0x20AC, true, "Sc, euro sign"},
        {0xFFFD, true, "So, replacement character"},
        {0x0000, false, "Cc NUL"},
        {0x001B, false, "Cc escape"},
        {0x007F, false, "Cc delete"},
        {0x0085, false, "Cc (C1)"},
        {0x200B, false, "Cf zero-width space"},
        {0x200C, false, "Cf zero-width non-joiner"},
        {0x200D, true, "zero-width joiner, inside emoji sequences"},
        {0x202E, false, "Cf right-to-left override"},
        {0xFEFF, false, "Cf byte order mark"},
        {0xFE0F, true, "Mn variation selector 16"},
        {0xD800, false, "Cs"},
        {0xE000, false, "Co"},
        {0x0378, false, "Cn"},
        {0xFFFF, false, "Cn noncharacter"},
        {0x20BB, true, "Sc, assigned after Unicode 6.2"},
        {0x061C, false, "Cf arabic letter mark"},
        {0x10000, true, "Lo, first code point beyond the BMP"},
        {0x1F600, true, "So, emoji"},
        {0x1F3FB, true, "Sk, skin tone modifier"},
        {0x1FAE9, true, "So, emoji of Unicode 16"},
        {0x20000, true, "Lo, CJK extension B"},
        {0x2EBF0, true, "Lo, CJK extension I"},
        {0xE0100, true, "Mn, variation selector supplement"},
        {0xE0001, false, "Cf language tag"},
        {0xE0067, true, "tag letter of a subdivision flag"},
        {0xE007F, true, "cancel tag ending a subdivision flag"},
        {0xF0000, false, "Co, plane 15"},
        {0x10FFFF, false, "Cn noncharacter, last code point"},
        {0x110000, false, "beyond Unicode"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.kept, isPrintableCodePoint(c.codePoint)) << std::hex << c.codePoint << " " << c.why;
    }
}

TEST(SanitizeText, DropsUnprintableAndMalformedInput) {
    struct Case {
        std::string input;
        std::string expected;
        const char* why;
    };
    const Case cases[] = {
        {"plain ASCII", "plain ASCII", "unchanged"},
        {"a\nb", "a\nb", "line feed kept"},
        {"a\tb\r\n", "a\tb\r\n", "tab and carriage return kept"},
        {std::string("a\x01\x1B\x7F" "b\x00" "c", 7), "abc", "NUL and other C0 controls dropped"},
        {"a\xC2\x85\xC2\x9F" "b", "ab", "C1 controls dropped"},
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80", "U+1F600 kept"},
        {"\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7",
         "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7",
         "family emoji joined by ZWJ kept whole"},
        {"\xE2\x9D\xA4\xEF\xB8\x8F", "\xE2\x9D\xA4\xEF\xB8\x8F", "heart with variation selector kept"},
        {"\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD", "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD", "skin tone kept"},
        {"\xF0\xA0\x80\x80", "\xF0\xA0\x80\x80", "CJK extension B kept"},
        {"a\xF3\xB0\x80\x80" "b", "ab", "plane-15 private use dropped"},
        {"a\xF4\x90\x80\x80" "b", "ab", "above U+10FFFF dropped"},
        {"a\xF0\x9F\x98" "b", "ab", "truncated four-byte sequence"},
        {"\xE4\xB8\xAD\xE6\x96\x87", "\xE4\xB8\xAD\xE6\x96\x87", "CJK kept"},
        {"\xC3\xA9", "\xC3\xA9", "two-byte form kept"},
        {"a\xE2\x80\x8B" "b", "ab", "U+200B dropped"},
        {"a\xEE\x80\x80" "b", "ab", "U+E000 dropped"},
        {"a\xCD\xB8" "b", "ab", "U+0378 dropped"},
        {"a\x80" "b", "ab", "lone continuation byte"},
        {"a\xBF\xBF" "b", "ab", "run of continuation bytes"},
        {"a\xE4\xB8", "a", "truncated lead at the end"},
        {"a\xE4\xB8" "b", "ab", "truncated lead before ASCII: the ASCII survives"},
        {"\xE4\xC3\xA9", "\xC3\xA9", "truncated lead before a valid sequence"},
        {"a\xC0\x80" "b", "ab", "overlong NUL"},
        {"a\xC1\xBF" "b", "ab", "overlong two-byte"},
        {"a\xE0\x80\xAF" "b", "ab", "overlong three-byte"},
        {"a\xF0\x80\x80\xAF" "b", "ab", "overlong four-byte"},
        {"a\xED\xA0\x80" "b", "ab", "encoded surrogate"},
        {"a\xF8\x88\x80\x80\x80" "b", "ab", "five-byte lead cannot start a sequence"},
        {"a\xFF" "b", "ab", "0xFF"},
        {"", "", "empty"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.expected, sanitizeText(c.input)) << c.why;
}

TEST(SanitizeText, EveryKeptCodePointOfEveryPlaneRoundTrips) {
    std::string all;
    std::string kept;
    size_t keptCount = 0;
    for (uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;  // not encodable; covered above
        std::string encoded;
        if (cp < 0x80) {
            encoded = std::string(1, char(cp));
        } else if (cp < 0x800) {
            encoded = {char(0xC0 | (cp >> 6)), char(0x80 | (cp & 0x3F))};
        } else if (cp < 0x10000) {
            encoded = {char(0xE0 | (cp >> 12)), char(0x80 | ((cp >> 6) & 0x3F)), char(0x80 | (cp & 0x3F))};
        } else {
            encoded = {char(0xF0 | (cp >> 18)), char(0x80 | ((cp >> 12) & 0x3F)),
                       char(0x80 | ((cp >> 6) & 0x3F)), char(0x80 | (cp & 0x3F))};
        }
        all += encoded;
        if (isPrintableCodePoint(cp)) {
            kept += encoded;
            ++keptCount;
        }
    }
    EXPECT_EQ(kept, sanitizeText(all));
    // Every plane contributes: far more than the BMP alone holds.
    EXPECT_GT(keptCount, 150000u);
}
