// How the window words a damaged database's reasons: one line each whatever
// bytes the file gave, at most five, and the count of the rest.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/gui/PartialResult.h"

using talwen::app::gui::damageReasonsText;
using talwen::app::gui::escapedForDisplay;

TEST(PartialResult, ReasonsAreEscapedOneALine) {
    const struct {
        std::string reason;
        const char* shown;
    } cases[] = {
        {"Friend: 1 of 42 live rows skipped", "Friend: 1 of 42 live rows skipped"},
        {"表 Chat_好友 <i>x</i> & \"q\"", "表 Chat_好友 <i>x</i> & \"q\""},  // markup is kept as text
        {"a\nb\rc\td\x1b[2J\x7f", "a\\x0ab\\x0dc\\x09d\\x1b[2J\\x7f"},
        {"C1 \xc2\x9b and line \xe2\x80\xa8 end", "C1 \\u009b and line \\u2028 end"},
        {"right-to-left \xe2\x80\xae" "txt.exe \xe2\x81\xa6 zero\xe2\x80\x8b" "width",
         "right-to-left \\u202etxt.exe \\u2066 zero\\u200bwidth"},
        {"emoji \xf0\x9f\x98\x80 stays", "emoji \xf0\x9f\x98\x80 stays"},
        {"bad \xff byte", "bad \xef\xbf\xbd byte"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(QString::fromUtf8(c.shown), escapedForDisplay(c.reason)) << c.reason;
    }
}

TEST(PartialResult, AtMostFiveReasonsAndTheCountOfTheRest) {
    auto reasons = [](int count) {
        std::vector<std::string> list;
        for (int i = 1; i <= count; ++i) list.push_back("r" + std::to_string(i));
        return list;
    };
    EXPECT_EQ(QString(), damageReasonsText({}));
    EXPECT_EQ(QString("数据库已损坏，结果不完整：\nr1"), damageReasonsText(reasons(1)));
    EXPECT_EQ(QString("数据库已损坏，结果不完整：\nr1\nr2\nr3\nr4\nr5"), damageReasonsText(reasons(5)));
    EXPECT_EQ(QString("数据库已损坏，结果不完整：\nr1\nr2\nr3\nr4\nr5\n… 还有 1 条"), damageReasonsText(reasons(6)));
    EXPECT_EQ(QString("数据库已损坏，结果不完整：\nr1\nr2\nr3\nr4\nr5\n… 还有 95 条"), damageReasonsText(reasons(100)));
}
