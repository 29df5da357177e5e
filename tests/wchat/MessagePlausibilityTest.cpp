// Which carved rows may become messages.

#include <gtest/gtest.h>

#include <string>

#include "wchat/MessagePlausibility.h"

using talwen::wchat::MessagePlausibility;
using Verdict = talwen::wchat::MessagePlausibility::Verdict;

namespace {

constexpr int64_t kFileTime = 1609459200;  // 2021-01-01

TEST(MessagePlausibility, JudgesTimeTypeDirectionAndBody) {
    const MessagePlausibility rules(kFileTime);
    struct Case {
        int64_t createTime;
        int64_t type;
        int64_t des;
        const char* message;  // null: not text
        Verdict expected;
        const char* why;
    };
    const std::string xml = "<msg><img length=\"1\"/></msg>";
    const Case cases[] = {
        {1500000000, 1, 0, "hello", Verdict::kPlausible, "text message"},
        {1500000000, 1, 1, "wxid_a1:\nhi 😀", Verdict::kPlausible, "chat-room member's text"},
        {1500000000, 3, 1, xml.c_str(), Verdict::kPlausible, "picture with markup"},
        {1500000000, 3, 1, "wxid_a1:\n<msg/>", Verdict::kPlausible, "member's picture"},
        {1500000000, 268435505, 1, "<msg><appmsg/></msg>", Verdict::kPlausible, "app message with flags (49)"},
        {1500000000, 10000, 1, "你撤回了一条消息", Verdict::kPlausible, "system notice"},
        {MessagePlausibility::kEarliestTime, 1, 0, "x", Verdict::kPlausible, "first second allowed"},
        {kFileTime + 86400, 1, 0, "x", Verdict::kPlausible, "a day after the file still allowed"},
        {kFileTime + 86401, 1, 0, "x", Verdict::kCreateTime, "later than the file plus a day"},
        {0, 1, 0, "wxid_abc", Verdict::kCreateTime, "contact row: CreateTime 0"},
        {1, 1, 0, "x", Verdict::kCreateTime, "CreateTime 1"},
        {MessagePlausibility::kEarliestTime - 1, 1, 0, "x", Verdict::kCreateTime, "before 2011"},
        {1500000000, -26, 0, "x", Verdict::kType, "negative type"},
        {1500000000, 0, 0, "x", Verdict::kType, "type 0"},
        {1500000000, 2, 0, "x", Verdict::kType, "unknown type"},
        {1500000000, 65536 + 1, 0, "x", Verdict::kType, "flags on a non-app type"},
        {1500000000, 1, 2, "x", Verdict::kDes, "direction 2"},
        {1500000000, 1, -1, "x", Verdict::kDes, "direction -1"},
        {1500000000, 1, 0, "", Verdict::kBody, "empty text"},
        {1500000000, 1, 0, nullptr, Verdict::kBody, "no text"},
        {1500000000, 1, 1, "wxid_a1:\n", Verdict::kBody, "prefix without content"},
        {1500000000, 3, 1, "wxid_abcdef", Verdict::kBody, "picture without markup: a user name"},
        {1500000000, 49, 1, "just words", Verdict::kBody, "app message without markup"},
    };
    for (const Case& c : cases) {
        const std::string text = c.message ? c.message : "";
        EXPECT_EQ(c.expected, rules.judge(c.createTime, true, c.type, true, c.des, true, c.message ? &text : nullptr))
            << c.why;
    }
    // A field that is missing or not an integer.
    const std::string text = "x";
    EXPECT_EQ(Verdict::kCreateTime, rules.judge(0, false, 1, true, 0, true, &text));
    EXPECT_EQ(Verdict::kType, rules.judge(1500000000, true, 1, false, 0, true, &text));
    EXPECT_EQ(Verdict::kDes, rules.judge(1500000000, true, 1, true, 0, false, &text));
}

}  // namespace
