#include <gtest/gtest.h>

#include <string>

#include "common/CommonFacility.h"

using talwen::common::isPrintableCodePoint;
using talwen::common::sanitizeText;

TEST(SanitizeText, PrintableTableFollowsUnicode62Categories) {
    struct Case {
        uint32_t codePoint;
        bool printable;
        const char* why;
    };
    const Case cases[] = {
        {0x0041, true, "Lu"},
        {0x4E2D, true, "Lo"},
        {0x000A, true, "line feed is kept"},
        {0x0020, true, "Zs"},
        {0x00A0, true, "Zs"},
        {0x20AC, true, "Sc, euro sign"},
        {0xFFFD, true, "So, replacement character"},
        {0x0009, false, "Cc tab"},
        {0x000D, false, "Cc carriage return"},
        {0x0000, false, "Cc"},
        {0x007F, false, "Cc delete"},
        {0x0085, false, "Cc"},
        {0x200B, false, "Cf zero-width space"},
        {0xFEFF, false, "Cf byte order mark"},
        {0xD800, false, "Cs"},
        {0xE000, false, "Co"},
        {0xF8FF, false, "Co"},
        {0x0378, false, "Cn"},
        {0xFFFF, false, "Cn noncharacter"},
        {0x20BA, true, "Sc, Turkish lira sign, new in Unicode 6.2"},
        {0x20BB, false, "Cn in 6.2 (assigned in 7.0)"},
        {0x061C, false, "Cn in 6.2 (Cf from 6.3 on)"},
        {0x10000, false, "beyond the plane"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.printable, isPrintableCodePoint(c.codePoint))
            << std::hex << c.codePoint << " " << c.why;
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
        {"a\tb\r\n", "ab\n", "tab and carriage return dropped"},
        {"\xE4\xB8\xAD\xE6\x96\x87", "\xE4\xB8\xAD\xE6\x96\x87", "CJK kept"},
        {"\xC3\xA9", "\xC3\xA9", "two-byte form kept"},
        {"a\xE2\x80\x8B" "b", "ab", "U+200B dropped"},
        {"a\xEE\x80\x80" "b", "ab", "U+E000 dropped"},
        {"a\xCD\xB8" "b", "ab", "U+0378 dropped"},
        {"a\xF0\x9F\x98\x80" "b", "ab", "U+1F600 dropped as beyond U+FFFF"},
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

TEST(SanitizeText, EveryPrintableBmpCodePointRoundTrips) {
    std::string all;
    std::string printable;
    for (uint32_t cp = 0; cp <= 0xFFFF; ++cp) {
        std::string encoded;
        if (cp < 0x80) {
            encoded = std::string(1, char(cp));
        } else if (cp < 0x800) {
            encoded = {char(0xC0 | (cp >> 6)), char(0x80 | (cp & 0x3F))};
        } else {
            encoded = {char(0xE0 | (cp >> 12)), char(0x80 | ((cp >> 6) & 0x3F)), char(0x80 | (cp & 0x3F))};
        }
        all += encoded;
        if (isPrintableCodePoint(cp)) printable += encoded;
    }
    EXPECT_EQ(printable, sanitizeText(all));
}
