// One copy per message: stale carved copies merge, distinct messages stay apart.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "SelectRows.h"
#include "wchat/DuplicateMerger.h"
#include "wchat/RecoveryStore.h"

using talwen::common::ErrorInfo;
using namespace talwen::wchat;

namespace {

class DuplicateMergerTest : public ::testing::Test {
protected:
    void SetUp() override {
        store = RecoveryStore::create("", &error);
        ASSERT_NE(nullptr, store) << error.getMessage();
        for (const char* name : {"alice", "bob"}) {
            WchatFriend contact(1);
            contact.setUsrName(name);
            ids.push_back(store->insertFriend(contact, &error));
        }
    }
    void TearDown() override { store->close(); }

    // A carved message; withStatus adds one more column read.
    int64_t chat(int64_t svrId, int32_t createTime, const std::string& text, bool withStatus = false,
                 uint16_t obtainWay = 2) {
        auto c = std::make_shared<WchatChat>(obtainWay);
        c->setMesSvrId(svrId);
        c->setCreateTime(createTime);
        c->setType(1);
        c->setDes(1);
        c->setMessage(text);
        if (withStatus) c->setStatus(4);
        store->insertChats({c}, &error);
        return c->getRcChatId();
    }
    void room(int64_t rcChatId, int64_t rcFriendId, uint16_t type) {
        store->insertChatRoomsOfChat(type, rcChatId, {rcFriendId}, &error);
    }
    int64_t count(const std::string& sql) {
        return wcrtest::selectRows(store->connection(), sql).getValue(0, 0u)->getIntegerValue();
    }

    ErrorInfo error;
    std::unique_ptr<RecoveryStore> store;
    std::vector<int64_t> ids;
};

TEST_F(DuplicateMergerTest, StaleCopiesBecomeOneWithTheStrongestTieAndTheMostCompleteRow) {
    const int64_t tiedWeakly = chat(77, 1500000000, "hi");
    const int64_t complete = chat(77, 1500000000, "hi", true);
    const int64_t onLeaf = chat(77, 1500000000, "hi");
    room(tiedWeakly, ids[1], 3);
    room(onLeaf, ids[0], 2);
    store->insertChatFriendsOfChat(11, onLeaf, {ids[0]}, &error);
    // Distinct messages: another text, another time, a live row.
    chat(77, 1500000000, "hi!");
    chat(77, 1500000001, "hi");
    chat(77, 1500000000, "hi", false, 1);

    EXPECT_EQ(2, DuplicateMerger::merge(store->connection(), &error));
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    EXPECT_EQ(1, count("SELECT count(*) FROM WC_Chat WHERE rcChatId IN (" + std::to_string(tiedWeakly) + "," +
                       std::to_string(complete) + "," + std::to_string(onLeaf) + ")"));
    // The most complete row stays and takes the leaf page's tie and the sender.
    const std::string kept = std::to_string(complete);
    EXPECT_EQ(1, count("SELECT count(*) FROM WC_Chat WHERE rcChatId = " + kept));
    EXPECT_EQ(ids[0], count("SELECT rcFriendId FROM WC_Chatroom WHERE rcChatId = " + kept));
    EXPECT_EQ(2, count("SELECT deduceType FROM WC_Chatroom WHERE rcChatId = " + kept));
    EXPECT_EQ(1, count("SELECT count(*) FROM WC_ChatFriend WHERE rcChatId = " + kept));
    // No tie is left behind for a deleted copy.
    EXPECT_EQ(0, count("SELECT count(*) FROM WC_Chatroom WHERE rcChatId NOT IN (SELECT rcChatId FROM WC_Chat)"));
    EXPECT_EQ(4, count("SELECT count(*) FROM WC_Chat"));
    // The links stay indexed by message for what comes after; the merge's own index goes.
    EXPECT_EQ(1, count("SELECT count(*) FROM sqlite_master WHERE name = 'Chatroom_RcChatId_Index'"));
    EXPECT_EQ(0, count("SELECT count(*) FROM sqlite_master WHERE name = 'WC_MergeChatFriendChat'"));
}

TEST_F(DuplicateMergerTest, WithoutServerIdOnlyCopiesOfOneConversationMerge) {
    // The same notice at the same second in two conversations is two messages.
    const int64_t a1 = chat(0, 1500000000, "你撤回了一条消息");
    const int64_t a2 = chat(0, 1500000000, "你撤回了一条消息");
    const int64_t b = chat(0, 1500000000, "你撤回了一条消息");
    const int64_t loose = chat(0, 1500000000, "你撤回了一条消息");
    room(a1, ids[0], 2);
    room(a2, ids[0], 2);
    room(b, ids[1], 2);
    EXPECT_EQ(2, DuplicateMerger::merge(store->connection(), &error));
    EXPECT_EQ(2, count("SELECT count(*) FROM WC_Chat"));
    EXPECT_EQ(1, count("SELECT count(*) FROM WC_Chatroom WHERE rcFriendId = " + std::to_string(ids[0])));
    EXPECT_EQ(1, count("SELECT count(*) FROM WC_Chatroom WHERE rcFriendId = " + std::to_string(ids[1])));
    (void)loose;
    // Nothing left to merge.
    EXPECT_EQ(0, DuplicateMerger::merge(store->connection(), &error));
}

}  // namespace

// The groups found by hashing are those of SQL's GROUP BY over the same columns,
// in its order: NULLs, server ids missing and 0 alike, texts that differ in one
// byte, in length or above ASCII, live rows and rows before the first carved id
// left out; and with a value of another kind (a real time), SQL's own answer.
TEST_F(DuplicateMergerTest, GroupsByHashAreThoseOfGroupBy) {
    auto add = [&](std::optional<int64_t> svrId, std::optional<int32_t> time, std::optional<std::string> text,
                   uint16_t obtainWay = 2) {
        auto c = std::make_shared<WchatChat>(obtainWay);
        if (svrId) c->setMesSvrId(*svrId);
        if (time) c->setCreateTime(*time);
        c->setType(1);
        if (text) c->setMessage(*text);
        store->insertChats({c}, &error);
        ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    };
    add(5, 1500000000, "before the first carved id");
    add(5, 1500000000, "before the first carved id");
    const int64_t first = count("SELECT max(rcChatId) FROM WC_Chat") + 1;
    const std::vector<std::string> texts = {"a", "a", "ab", "b", "\xe4\xbd\xa0", "\xe4\xbd\xa0", "A", "a "};
    for (int round = 0; round < 3; ++round) {
        for (const std::string& text : texts) add(round == 2 ? 0 : 7, 1500000000 + round % 2, text);
        add(std::nullopt, 1500000001, "no server id");
        add(0, 1500000001, "no server id");
        add(9, std::nullopt, std::nullopt);
        add(9, 1500000002, "live", 1);
    }
    const std::string groupBy =
        "SELECT group_concat(rcChatId) FROM WC_Chat WHERE rcChatId >= " + std::to_string(first) +
        " AND obtainWay = 2 GROUP BY ifnull(mesSvrId, 0), createTime, type, des, message HAVING count(*) > 1;";
    auto bySql = [&] {
        std::vector<std::string> groups;
        const auto rows = wcrtest::selectRows(store->connection(), groupBy);
        for (uint32_t r = 0; r < rows.getRowCount(); ++r) {
            std::vector<int64_t> ids;
            std::string list = rows.getValue(r, 0u)->getTextValue() + ",";
            for (size_t at = 0, comma; (comma = list.find(',', at)) != std::string::npos; at = comma + 1)
                ids.push_back(std::stoll(list.substr(at, comma - at)));
            std::sort(ids.begin(), ids.end());
            std::string group;
            for (int64_t id : ids) group += std::to_string(id) + " ";
            groups.push_back(group);
        }
        return groups;
    };
    auto byHash = [&] {
        std::vector<std::string> groups;
        for (const auto& ids : DuplicateMerger::groupsOfCopies(store->connection(), first, &error)) {
            std::string group;
            for (int64_t id : ids) group += std::to_string(id) + " ";
            groups.push_back(group);
        }
        return groups;
    };
    const std::vector<std::string> expected = bySql();
    EXPECT_GE(expected.size(), 8u);
    EXPECT_EQ(expected, byHash());
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();

    // A time stored as a real equal to the integer of its copies: SQL still groups
    // them all, and so does the merge.
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(store->connection(),
                                      ("UPDATE WC_Chat SET createTime = 1500000001.0 WHERE rcChatId = " +
                                       std::to_string(first + 8))
                                          .c_str(),
                                      nullptr, nullptr, nullptr));
    EXPECT_EQ(expected, bySql());
    EXPECT_EQ(expected, byHash());
}
