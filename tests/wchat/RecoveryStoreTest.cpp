#include <gtest/gtest.h>

#include <filesystem>

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "SelectRows.h"
#include "common/CommonFacility.h"
#include "sqldb/ResultSet.h"
#include "sqldb/SqliteAssistant.h"
#include "wchat/RecoveryStore.h"

using talwen::common::ErrorInfo;
using talwen::sqldb::ColValue;
using namespace talwen::sqldb;
using namespace talwen::wchat;

namespace {

std::shared_ptr<WchatFriend> makeFriend(const std::string& usrName, const std::string& nickName) {
    auto contact = std::make_shared<WchatFriend>(1);
    contact->setUsrName(usrName);
    contact->setNickName(nickName);
    return contact;
}

std::shared_ptr<WchatChat> makeChat(int32_t createTime, const std::string& message,
                                    uint16_t obtainWay = 1) {
    auto chat = std::make_shared<WchatChat>(obtainWay);
    chat->setCreateTime(createTime);
    chat->setMessage(message);
    return chat;
}

// A fresh store without a file name, as a recovery creates it.
class TargetDbTest : public ::testing::Test {
protected:
    void SetUp() override {
        store = RecoveryStore::create("", &error);
        ASSERT_NE(nullptr, store) << error.getMessage();
        db = store->connection();
    }
    void TearDown() override {
        if (store) {
            EXPECT_EQ(SQLITE_OK, store->close());
        }
    }

    ResultSet select(const std::string& sql) { return wcrtest::selectRows(db, sql); }
    std::shared_ptr<ColValue> scalar(const std::string& sql) {
        ResultSet rs = select(sql);
        EXPECT_EQ(1u, rs.getRowCount()) << sql;
        return rs.getRowCount() ? rs.getValue(0, 0) : std::make_shared<ColValue>();
    }
    int64_t count(const std::string& sql) { return scalar(sql)->getIntegerValue(); }

    // Makes inserts of one table fail for rows matching `when`.
    void refuse(const std::string& table, const std::string& when) {
        SqliteAssistant::executeSql(db,
                                    "CREATE TRIGGER refuse_" + table + " BEFORE INSERT ON " +
                                        table + " WHEN " + when +
                                        " BEGIN SELECT RAISE(ABORT, 'refused'); END;",
                                    &error);
        ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    }

    std::unique_ptr<RecoveryStore> store;
    sqlite3* db = nullptr;
    ErrorInfo error;
};

}  // namespace

TEST_F(TargetDbTest, SchemaHasTablesAndViews) {
    EXPECT_EQ(4, count("SELECT count(*) FROM sqlite_master WHERE type='table' AND name IN "
                       "('WC_Friend','WC_Chat','WC_Chatroom','WC_ChatFriend')"));
    EXPECT_EQ(2, count("SELECT count(*) FROM sqlite_master WHERE type='view' AND name IN "
                       "('WC_ChatInRoom','WC_LostFriendChat')"));
    // A store over a file that already holds one stops at the first statement that fails.
    const std::string path = std::string(WCR_BINARY_DIR) + "/wchat_store_twice_test.sqlite";
    std::remove(path.c_str());
    ASSERT_NE(nullptr, RecoveryStore::create(path, &error));
    EXPECT_EQ(nullptr, RecoveryStore::create(path, &error));
    EXPECT_EQ(-1, error.getCode());
    EXPECT_EQ("table WC_Friend already exists", error.getMessage());
    EXPECT_EQ("executeSql", error.getFunctionName());
    std::remove(path.c_str());
}

TEST_F(TargetDbTest, FriendsStoreGivenFieldsAndNullForTheRest) {
    auto full = makeFriend("wxid_full", "Full");
    full->setTableVer(3);
    full->setMobile("123");
    full->setLastChatTime(-5);
    full->setWcFriend(1);
    full->setNull(WchatFriend::kConRemarkFlag);
    auto placeholder = std::make_shared<WchatFriend>(101);
    placeholder->setHashedUsrName("0123456789abcdef0123456789abcdef");
    placeholder->setNickName("未知联系人-1");
    placeholder->setConRemark("未知联系人-1");
    store->insertFriends({full, placeholder}, &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    EXPECT_EQ(1, full->getRcFriendId());
    EXPECT_EQ(2, placeholder->getRcFriendId());
    EXPECT_TRUE(full->isSet(WchatFriend::kRcFriendIdFlag));

    ResultSet rs = select("SELECT * FROM WC_Friend ORDER BY rcFriendId");
    ASSERT_EQ(2u, rs.getRowCount());
    // validFlag is the set-flags word before the id was assigned.
    EXPECT_EQ(0x40000F | 0x4000 | 0x1040, rs.getValue(0, "validFlag")->getIntegerValue());
    EXPECT_EQ(1, rs.getValue(0, "obtainWay")->getIntegerValue());
    EXPECT_EQ(3, rs.getValue(0, "tableVer")->getIntegerValue());
    EXPECT_EQ("wxid_full", rs.getValue(0, "usrName")->getTextValue());
    EXPECT_EQ("123", rs.getValue(0, "mobilePhone")->getTextValue());
    EXPECT_EQ(-5, rs.getValue(0, "lastChatTime")->getIntegerValue());
    EXPECT_EQ(1, rs.getValue(0, "wcFriend")->getIntegerValue());
    EXPECT_TRUE(rs.getValue(0, "conRemark")->isNull());  // marked NULL
    EXPECT_TRUE(rs.getValue(0, "email")->isNull());      // never given
    EXPECT_TRUE(rs.getValue(0, "pageNumber")->isNull());
    EXPECT_TRUE(rs.getValue(0, "chatNum")->isNull());
    EXPECT_TRUE(rs.getValue(0, "rcChatNum")->isNull());

    EXPECT_EQ(0x400C, rs.getValue(1, "validFlag")->getIntegerValue());
    EXPECT_EQ(101, rs.getValue(1, "obtainWay")->getIntegerValue());
    EXPECT_TRUE(rs.getValue(1, "usrName")->isNull());
    EXPECT_TRUE(rs.getValue(1, "tableVer")->isNull());
    EXPECT_EQ("未知联系人-1", rs.getValue(1, "nickName")->getTextValue());
    EXPECT_EQ("未知联系人-1", rs.getValue(1, "conRemark")->getTextValue());

    // The single insert used for contacts made up during the message seek.
    auto later = makeFriend("wxid_later", "Later");
    EXPECT_EQ(3, store->insertFriend(*later, &error));
    EXPECT_TRUE(error.isSuccess());
}

TEST_F(TargetDbTest, ChatsStoreSendersAndNullForMissingServerId) {
    auto live = makeChat(1400000000, "wxid_x:\nhello");
    live->setMesLocalId(7);
    auto carved = makeChat(1400000001, "<msg fromusername=\"wxid_f\"/>", 2);
    carved->setPageNumber(42);
    carved->setMesSvrId(int64_t(1) << 40);
    store->insertChats({live, carved}, &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    EXPECT_EQ(1, live->getRcChatId());
    EXPECT_EQ(2, carved->getRcChatId());

    ResultSet rs = select("SELECT * FROM WC_Chat ORDER BY rcChatId");
    ASSERT_EQ(2u, rs.getRowCount());
    EXPECT_EQ(0x41A, rs.getValue(0, "validFlag")->getIntegerValue());
    EXPECT_TRUE(rs.getValue(0, "mesSvrId")->isNull());
    EXPECT_TRUE(rs.getValue(0, "pageNumber")->isNull());
    EXPECT_TRUE(rs.getValue(0, "tableVer")->isNull());
    EXPECT_EQ("wxid_x", rs.getValue(0, "taggedUserName")->getTextValue());
    EXPECT_TRUE(rs.getValue(0, "fromUserName")->isNull());
    EXPECT_EQ(7, rs.getValue(0, "mesLocalId")->getIntegerValue());

    EXPECT_EQ(2, rs.getValue(1, "obtainWay")->getIntegerValue());
    EXPECT_EQ(42, rs.getValue(1, "pageNumber")->getIntegerValue());
    EXPECT_EQ(int64_t(1) << 40, rs.getValue(1, "mesSvrId")->getIntegerValue());
    EXPECT_EQ("wxid_f", rs.getValue(1, "fromUserName")->getTextValue());
    EXPECT_EQ(1400000001, rs.getValue(1, "createTime")->getIntegerValue());
}

// The third of five friends fails: the two before it are committed and have ids,
// the transaction is closed, and the kept statement serves the next insert.
TEST_F(TargetDbTest, BatchStopsAtFirstFailureAndKeepsEarlierRows) {
    refuse("WC_Friend", "NEW.nickName = 'bad'");
    std::vector<std::shared_ptr<WchatFriend>> friends = {
        makeFriend("a", "A"), makeFriend("b", "B"), makeFriend("c", "bad"), makeFriend("d", "D"),
        makeFriend("e", "E")};
    store->insertFriends(friends, &error);
    EXPECT_EQ(-1, error.getCode());
    EXPECT_EQ("wchat/RecoveryStore", error.getFileName());
    EXPECT_EQ("_insertFriend", error.getFunctionName());
    EXPECT_EQ(std::string("sqlite3_step: ") + sqlite3_errstr(SQLITE_CONSTRAINT),
              error.getMessage());
    EXPECT_EQ(2, count("SELECT count(*) FROM WC_Friend"));
    EXPECT_EQ(1, friends[0]->getRcFriendId());
    EXPECT_EQ(2, friends[1]->getRcFriendId());
    for (size_t i = 2; i < friends.size(); ++i) {
        EXPECT_FALSE(friends[i]->isSet(WchatFriend::kRcFriendIdFlag)) << i;
    }
    EXPECT_NE(0, sqlite3_get_autocommit(db));

    ErrorInfo next;
    EXPECT_EQ(3, store->insertFriend(*makeFriend("f", "F"), &next));
    EXPECT_TRUE(next.isSuccess()) << next.getMessage();
}

TEST_F(TargetDbTest, BulkKeepsBatchesInOneTransactionUntilItEnds) {
    refuse("WC_Chat", "NEW.message = 'bad'");
    store->beginBulk();
    std::vector<std::shared_ptr<WchatChat>> chats = {makeChat(1400000000, "a"), makeChat(1400000001, "bad")};
    store->insertChats(chats, &error);
    EXPECT_FALSE(error.isSuccess());  // the refused row fails its batch ...
    store->insertChats({makeChat(1400000002, "b")}, &error);
    EXPECT_TRUE(error.isSuccess()) << error.getMessage();
    store->insertChatRoomsOfFriend(1, {chats[0]->getRcChatId()}, 1, &error);
    EXPECT_EQ(0, sqlite3_get_autocommit(db));  // ... but not the bulk's transaction
    store->endBulk(&error);
    EXPECT_TRUE(error.isSuccess()) << error.getMessage();
    EXPECT_NE(0, sqlite3_get_autocommit(db));
    EXPECT_EQ(2, count("SELECT count(*) FROM WC_Chat"));
    EXPECT_EQ(1, count("SELECT count(*) FROM WC_Chatroom"));
    store->endBulk(&error);  // nothing open: nothing to do
    EXPECT_TRUE(error.isSuccess());
}

TEST_F(TargetDbTest, BulkWhoseCommitFailsKeepsNothingAndSaysSo) {
    // Foreign keys checked at commit stand for any failing commit (a full disk).
    SqliteAssistant::executeSql(db, "PRAGMA foreign_keys = ON;", &error);
    SqliteAssistant::executeSql(db, "PRAGMA defer_foreign_keys = ON;", &error);
    store->beginBulk();
    store->insertChats({makeChat(1400000000, "a")}, &error);
    store->insertChatRoomsOfFriend(1, {999}, 999, &error);  // neither the message nor the contact exists
    EXPECT_TRUE(error.isSuccess()) << error.getMessage();
    store->endBulk(&error);
    EXPECT_EQ(-1, error.getCode());
    EXPECT_EQ("endBulk", error.getFunctionName());
    EXPECT_NE(std::string::npos, error.getMessage().find("FOREIGN KEY")) << error.getMessage();
    EXPECT_NE(0, sqlite3_get_autocommit(db));
    EXPECT_EQ(0, count("SELECT count(*) FROM WC_Chat"));
}

TEST_F(TargetDbTest, LinkBatchesWriteTheirRatios) {
    store->insertChatRoomsOfChat(2, 10, {3, 1, 2}, &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    ResultSet rs = select("SELECT rcFriendId, rcChatId, deduceType, ratio FROM WC_Chatroom");
    ASSERT_EQ(3u, rs.getRowCount());
    for (uint32_t row = 0; row < 3; ++row) {
        EXPECT_EQ(row + 1, rs.getValue(row, "rcFriendId")->getIntegerValue());
        EXPECT_EQ(10, rs.getValue(row, "rcChatId")->getIntegerValue());
        EXPECT_EQ(2, rs.getValue(row, "deduceType")->getIntegerValue());
        EXPECT_DOUBLE_EQ(1.0 / 3.0, rs.getValue(row, "ratio")->getRealValue());
    }
    store->insertChatRoomsOfChat(2, 11, {}, &error);
    EXPECT_TRUE(error.isSuccess());
    EXPECT_EQ(3, count("SELECT count(*) FROM WC_Chatroom"));

    store->insertChatRoomsOfFriend(1, {20, 21}, 5, &error);
    EXPECT_TRUE(error.isSuccess());
    EXPECT_EQ(2, count("SELECT count(*) FROM WC_Chatroom WHERE rcFriendId = 5 AND ratio = 1.0 AND "
                       "deduceType = 1"));

    store->insertChatFriendsOfChat(11, 30, {7, 8}, &error);
    EXPECT_TRUE(error.isSuccess());
    EXPECT_EQ(2, count("SELECT count(*) FROM WC_ChatFriend WHERE rcChatId = 30 AND ratio = 0.5"));

    store->insertChatFriends({{31, {7, 13}}, {32, {8, 12}}}, &error);
    EXPECT_TRUE(error.isSuccess());
    EXPECT_EQ(8,
              count("SELECT rcFriendId FROM WC_ChatFriend WHERE rcChatId = 32 AND deduceType = 12 "
                    "AND ratio = 1.0"));

    // Ids beyond 32 bits are stored whole.
    const int64_t big = (int64_t(1) << 32) + 9;
    store->insertChatRoomsOfChat(3, big, {big + 1}, &error);
    EXPECT_TRUE(error.isSuccess());
    EXPECT_EQ(big + 1,
              count("SELECT rcFriendId FROM WC_Chatroom WHERE rcChatId = " + std::to_string(big)));
}

// A repeated (rcFriendId, rcChatId) pair fails that link only; the next link
// through the same kept statement succeeds.
TEST_F(TargetDbTest, RepeatedLinkFailsAndNextLinkSucceeds) {
    store->insertChatFriendsOfChat(11, 1, {5}, &error);
    ASSERT_TRUE(error.isSuccess());
    store->insertChatFriendsOfChat(11, 1, {4, 5, 6}, &error);
    EXPECT_EQ("_insertChatFriend", error.getFunctionName());
    EXPECT_EQ(std::string("sqlite3_step: ") + sqlite3_errstr(SQLITE_CONSTRAINT),
              error.getMessage());
    EXPECT_EQ(2, count("SELECT count(*) FROM WC_ChatFriend"));  // 5, then 4; 6 not reached
    store->insertChatFriendsOfChat(11, 2, {5}, &error);
    EXPECT_TRUE(error.isSuccess()) << error.getMessage();
    EXPECT_EQ(3, count("SELECT count(*) FROM WC_ChatFriend"));
}

namespace {

// Every row of a table in id order, as text.
std::string dumpRows(sqlite3* db, const std::string& table) {
    return wcrtest::rowsAsText(db, "SELECT quote(rowid), * FROM " + table + " ORDER BY rowid");
}

// Messages of every shape: fields left unset, NULL, emoji, a WAL frame.
std::vector<std::shared_ptr<WchatChat>> variedChats(size_t count) {
    std::vector<std::shared_ptr<WchatChat>> chats;
    for (size_t i = 0; i < count; ++i) {
        auto chat = makeChat(1400000000 + static_cast<int32_t>(i), "m" + std::to_string(i) + (i % 5 ? "" : "\xF0\x9F\x98\x80"),
                             static_cast<uint16_t>(1 + i % 2));
        if (i % 3 == 0) chat->setMesSvrId(int64_t(1) << 40 | static_cast<int64_t>(i));
        if (i % 4 == 0) chat->setTaggedUserName("wxid_" + std::to_string(i));
        if (i % 7 == 0) chat->setNull(WchatChat::kMessageFlag);
        if (i % 11 == 0) chat->setWalFrame(static_cast<int64_t>(i));
        chat->setType(static_cast<int32_t>(i % 50));
        chat->setDes(static_cast<int32_t>(i % 2));
        chats.push_back(chat);
    }
    return chats;
}

}  // namespace

// Full chunks go in one multi-row statement: the rows, their ids, a refused row
// and a null entry come out exactly as with one insert per row (the reference:
// batches of one, which never fill a chunk).
TEST_F(TargetDbTest, MultiRowInsertsGiveWhatSingleInsertsGive) {
    const size_t n = 2 * RecoveryStore::kChatRowsPerStatement + 7;
    struct Case {
        const char* name;
        std::string refuseWhen;  // a WC_Chat trigger condition, or empty
        size_t nullAt;           // n: no null entry
    } cases[] = {
        {"all rows", "", n},
        {"refused row inside a full chunk", "NEW.message = 'm70'", n},
        {"null entry inside a full chunk", "", RecoveryStore::kChatRowsPerStatement + 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::shared_ptr<WchatChat>> bulkChats = variedChats(n), singleChats = variedChats(n);
        if (c.nullAt < n) bulkChats[c.nullAt] = singleChats[c.nullAt] = nullptr;
        ErrorInfo made;
        std::unique_ptr<RecoveryStore> single = RecoveryStore::create("", &made);
        ASSERT_NE(nullptr, single);
        std::unique_ptr<RecoveryStore> bulk = RecoveryStore::create("", &made);
        ASSERT_NE(nullptr, bulk);
        for (RecoveryStore* s : {single.get(), bulk.get()}) {
            if (c.refuseWhen.empty()) continue;
            SqliteAssistant::executeSql(s->connection(), "CREATE TRIGGER refuse BEFORE INSERT ON WC_Chat WHEN " +
                                        c.refuseWhen + " BEGIN SELECT RAISE(ABORT, 'refused'); END;", &made);
            ASSERT_TRUE(made.isSuccess()) << made.getMessage();
        }
        ErrorInfo bulkError, singleError;
        bulk->insertChats(bulkChats, &bulkError);
        size_t stoppedAt = n;
        for (size_t i = 0; i < n && singleError.isSuccess(); ++i) {
            if (!singleChats[i]) {
                stoppedAt = i;
                break;
            }
            single->insertChats({singleChats[i]}, &singleError);
            if (!singleError.isSuccess()) stoppedAt = i;
        }
        EXPECT_EQ(stoppedAt == n, bulkError.isSuccess()) << bulkError.getMessage();
        if (stoppedAt < n && singleChats[stoppedAt]) {
            EXPECT_EQ(singleError.getMessage(), bulkError.getMessage());
            EXPECT_EQ(singleError.getFunctionName(), bulkError.getFunctionName());
        }
        if (c.nullAt < n) {
            EXPECT_EQ("WchatChat[" + std::to_string(c.nullAt) + "] is null!", bulkError.getMessage());
        }
        EXPECT_EQ(dumpRows(single->connection(), "WC_Chat"), dumpRows(bulk->connection(), "WC_Chat"));
        EXPECT_EQ(dumpRows(single->connection(), "sqlite_sequence"), dumpRows(bulk->connection(), "sqlite_sequence"));
        for (size_t i = 0; i < n; ++i) {
            if (!bulkChats[i]) continue;
            EXPECT_EQ(singleChats[i]->isSet(WchatChat::kRcChatIdFlag), bulkChats[i]->isSet(WchatChat::kRcChatIdFlag)) << i;
            if (bulkChats[i]->isSet(WchatChat::kRcChatIdFlag)) {
                EXPECT_EQ(singleChats[i]->getRcChatId(), bulkChats[i]->getRcChatId()) << i;
            }
        }
        EXPECT_EQ(SQLITE_OK, single->close());
        EXPECT_EQ(SQLITE_OK, bulk->close());
    }
}

// Links likewise: a repeated pair inside a full chunk keeps the links before it.
TEST_F(TargetDbTest, MultiRowLinksGiveWhatSingleLinksGive) {
    const int64_t n = 2 * static_cast<int64_t>(RecoveryStore::kLinkRowsPerStatement) + 5;
    ErrorInfo made;
    std::unique_ptr<RecoveryStore> single = RecoveryStore::create("", &made);
    ASSERT_NE(nullptr, single);
    std::set<int64_t> chatIds;
    RecoveryStore::ChatFriendMap senders;
    for (int64_t id = 1; id <= n; ++id) {
        chatIds.insert(id);
        senders[id] = {id % 9 + 1, static_cast<uint16_t>(id % 3 + 11)};
    }
    for (RecoveryStore* s : {single.get(), store.get()}) {
        s->insertChatRoomsOfChat(1, 150, {4}, &made);  // repeated below, inside the second chunk
        ASSERT_TRUE(made.isSuccess());
    }
    ErrorInfo bulkError, singleError;
    store->insertChatRoomsOfFriend(1, chatIds, 4, &bulkError);
    for (int64_t id = 1; id <= n && singleError.isSuccess(); ++id) single->insertChatRoomsOfChat(1, id, {4}, &singleError);
    EXPECT_EQ("_insertChatRoom", bulkError.getFunctionName());
    EXPECT_EQ(singleError.getMessage(), bulkError.getMessage());
    store->insertChatFriends(senders, &bulkError);
    EXPECT_TRUE(bulkError.isSuccess()) << bulkError.getMessage();
    for (const auto& entry : senders)
        single->insertChatFriendsOfChat(entry.second.second, entry.first, {entry.second.first}, &singleError);
    EXPECT_TRUE(singleError.isSuccess()) << singleError.getMessage();
    for (const char* table : {"WC_Chatroom", "WC_ChatFriend"})
        EXPECT_EQ(dumpRows(single->connection(), table), dumpRows(db, table)) << table;
    EXPECT_EQ(150, count("SELECT count(*) FROM WC_Chatroom"));  // 150 first, then 1 to 149
    EXPECT_EQ(SQLITE_OK, single->close());
}

TEST_F(TargetDbTest, SelectRcFriendIdsByUsrName) {
    store->insertFriends(
        {makeFriend("o'brien", "A"), makeFriend("x", "B"), makeFriend("o'brien", "C")}, &error);
    ASSERT_TRUE(error.isSuccess());
    EXPECT_EQ((std::set<int64_t>{1, 3}), store->selectRcFriendIdsByUsrName("o'brien", &error));
    EXPECT_TRUE(error.isSuccess());
    EXPECT_TRUE(store->selectRcFriendIdsByUsrName("' OR ''='", &error).empty());
    EXPECT_TRUE(error.isSuccess());
}

namespace {

// Two contacts, one chat room; messages tied to conversations or left without one.
void fillSample(RecoveryStore& store, ErrorInfo* error, std::vector<std::shared_ptr<WchatChat>>& chats) {
    auto alice = makeFriend("alice", "Alice");
    auto room = makeFriend("123@chatroom", "Room");
    auto silent = makeFriend("silent", "Silent");
    silent->setLastChatTime(1500000000);  // replaced by the closing statistics
    store.insertFriends({alice, room, silent}, error);
    ASSERT_TRUE(error->isSuccess());

    chats = {makeChat(1400000300, "hi"),                  // 1 alice, live
             makeChat(1400000100, "hello"),               // 2 alice, live
             makeChat(1262304000, "old"),                 // 3 alice, too old to count
             makeChat(1400000200, "alice:\nin room", 2),  // 4 room, carved
             makeChat(1400000400, "lost", 2),             // 5 no conversation
             makeChat(1400000050, "lost too", 2)};        // 6 no conversation
    chats[4]->setPageNumber(9);
    chats[5]->setPageNumber(8);
    store.insertChats(chats, error);
    ASSERT_TRUE(error->isSuccess());
    store.insertChatRoomsOfFriend(1, {1, 2, 3}, alice->getRcFriendId(), error);
    store.insertChatRoomsOfChat(4, 4, {room->getRcFriendId()}, error);
    store.insertChatFriends({{1, {1, 13}}, {2, {1, 13}}, {3, {1, 13}}}, error);
    store.insertChatFriendsOfChat(11, 4, {alice->getRcFriendId()}, error);
    ASSERT_TRUE(error->isSuccess());
}

}  // namespace

TEST_F(TargetDbTest, ViewsListMessagesWithAndWithoutConversation) {
    std::vector<std::shared_ptr<WchatChat>> chats;
    fillSample(*store, &error, chats);

    ResultSet inRoom = select(
        "SELECT rcFriendId, usrName, deduceType, ratio, rcChatId, created "
        "FROM WC_ChatInRoom");
    ASSERT_EQ(4u, inRoom.getRowCount());
    const int64_t expectedOrder[] = {3, 2, 4, 1};  // by createTime
    for (uint32_t row = 0; row < 4; ++row) {
        EXPECT_EQ(expectedOrder[row], inRoom.getValue(row, "rcChatId")->getIntegerValue());
    }
    EXPECT_EQ("123@chatroom", inRoom.getValue(2, "usrName")->getTextValue());
    EXPECT_EQ(4, inRoom.getValue(2, "deduceType")->getIntegerValue());
    EXPECT_EQ(scalar("SELECT datetime(1400000200, 'unixepoch', 'localtime')")->getTextValue(),
              inRoom.getValue(2, "created")->getTextValue());

    ResultSet lost = select("SELECT rcChatId, pageNumber, created, message FROM WC_LostFriendChat");
    ASSERT_EQ(2u, lost.getRowCount());
    EXPECT_EQ(6, lost.getValue(0, "rcChatId")->getIntegerValue());  // page 8 before page 9
    EXPECT_EQ(5, lost.getValue(1, "rcChatId")->getIntegerValue());
    EXPECT_EQ("lost", lost.getValue(1, "message")->getTextValue());

    // Once tied to a conversation, a message is no longer lost.
    store->insertChatRoomsOfChat(3, 5, {3}, &error);
    EXPECT_EQ(1, count("SELECT count(*) FROM WC_LostFriendChat"));
}

TEST_F(TargetDbTest, FinishComputesCountsLastChatTimeAndIndexes) {
    std::vector<std::shared_ptr<WchatChat>> chats;
    fillSample(*store, &error, chats);
    store->finishTargetDb(&error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();

    ResultSet rs =
        select("SELECT chatNum, rcChatNum, lastChatTime FROM WC_Friend ORDER BY rcFriendId");
    ASSERT_EQ(3u, rs.getRowCount());
    // alice: three live messages in her conversation, one of them before 2010.
    EXPECT_EQ(2, rs.getValue(0, "chatNum")->getIntegerValue());
    EXPECT_TRUE(rs.getValue(0, "rcChatNum")->isNull());
    // Her last chat comes from WC_ChatFriend: her own messages and the one she sent in the room.
    EXPECT_EQ(1400000300, rs.getValue(0, "lastChatTime")->getIntegerValue());
    // The room: one carved message.
    EXPECT_EQ(1, rs.getValue(1, "chatNum")->getIntegerValue());
    EXPECT_EQ(1, rs.getValue(1, "rcChatNum")->getIntegerValue());
    EXPECT_TRUE(rs.getValue(1, "lastChatTime")->isNull());
    // No message at all: NULL counts, and the messenger's last chat time is replaced.
    EXPECT_TRUE(rs.getValue(2, "chatNum")->isNull());
    EXPECT_TRUE(rs.getValue(2, "rcChatNum")->isNull());
    EXPECT_TRUE(rs.getValue(2, "lastChatTime")->isNull());

    EXPECT_EQ(2, count("SELECT count(*) FROM sqlite_master WHERE type='index' AND name IN "
                       "('Friend_UsrName_Index','Chat_CreateTime_Index')"));
    // The kept insert statements are gone: the connection closes cleanly.
    EXPECT_EQ(nullptr, sqlite3_next_stmt(db, nullptr));
}

// The counters per contact, each case one contact of the same store: a count
// with nothing to count is NULL, not 0, also when the contact has links; links to
// messages no longer stored and messages without a time count for nothing. The
// same with the links of the first messages tallied by the writer instead of read
// (none, about half, all of them).
TEST_F(TargetDbTest, FinishCountersOfEachKindOfContact) {
    constexpr int64_t kCut = RecoveryStore::kEarliestCountedTime;
    constexpr int64_t kNone = -1;  // a NULL counter or time
    struct Message {
        int64_t createTime;  // kNone: no time
        uint16_t obtainWay;
    };
    struct Case {
        const char* name;
        std::vector<Message> inRoom;        // tied through WC_Chatroom
        std::vector<Message> withFriend;    // tied through WC_ChatFriend
        int missingLinks;                   // links of both kinds to removed messages
        int64_t chatNum, rcChatNum, lastChatTime;
    } const cases[] = {
        {"no links", {}, {}, 0, kNone, kNone, kNone},
        {"links to removed messages only", {}, {}, 2, kNone, kNone, kNone},
        {"only messages up to the cut-off", {{kCut, 1}, {kCut - 9, 2}}, {{kCut, 1}}, 0, kNone, kNone, kCut},
        {"messages without time", {{kNone, 2}}, {{kNone, 1}}, 1, kNone, kNone, kNone},
        {"live and carved", {{kCut + 1, 1}, {kCut + 5, 2}, {kCut + 7, 2}, {kCut, 2}, {kNone, 2}},
         {{kCut + 3, 2}, {kCut + 2, 1}, {kNone, 1}}, 1, 3, 2, kCut + 3},
        {"live only, in the room", {{kCut + 8, 1}}, {}, 0, 1, kNone, kNone},
        {"with the contact only, old times count too", {}, {{kCut - 100, 2}, {kCut - 50, 1}}, 0, kNone, kNone,
         kCut - 50},
    };
    const int64_t removedChatId = 1000000;
    const int64_t allRead = 0, halfTallied = 9, allTallied = removedChatId;
    for (const int64_t firstUncounted : {allRead, halfTallied, allTallied}) {
        SCOPED_TRACE("first uncounted id " + std::to_string(firstUncounted));
        ErrorInfo made;
        std::unique_ptr<RecoveryStore> fresh = RecoveryStore::create("", &made);
        ASSERT_NE(nullptr, fresh);
        RecoveryStore::CountedLinks counted;
        counted.firstUncountedId = firstUncounted;
        for (const Case& c : cases) {
            auto contact = makeFriend(c.name, c.name);
            fresh->insertFriends({contact}, &error);
            ASSERT_TRUE(error.isSuccess()) << c.name;
            const auto insert = [&](const std::vector<Message>& messages) {
                std::vector<std::shared_ptr<WchatChat>> chats;
                for (const Message& m : messages) {
                    chats.push_back(makeChat(0, "m", m.obtainWay));
                    if (m.createTime == kNone) chats.back()->setNull(WchatChat::kCreateTimeFlag);
                    else chats.back()->setCreateTime(m.createTime);
                }
                fresh->insertChats(chats, &error);
                return chats;
            };
            const auto idsOf = [](const std::vector<std::shared_ptr<WchatChat>>& chats) {
                std::set<int64_t> ids;
                for (const auto& chat : chats) ids.insert(chat->getRcChatId());
                return ids;
            };
            const auto inRoom = insert(c.inRoom);
            const auto withFriend = insert(c.withFriend);
            const int64_t id = contact->getRcFriendId();
            fresh->insertChatRoomsOfFriend(1, idsOf(inRoom), id, &error);
            for (const int64_t chatId : idsOf(withFriend)) fresh->insertChatFriendsOfChat(11, chatId, {id}, &error);
            for (const auto& chat : inRoom)
                if (chat->getRcChatId() < firstUncounted) counted.tallies[id].addRoomChat(*chat);
            for (const auto& chat : withFriend)
                if (chat->getRcChatId() < firstUncounted) counted.tallies[id].addSenderChat(*chat);
            for (int i = 0; i < c.missingLinks; ++i) {
                fresh->insertChatRoomsOfChat(1, removedChatId + i, {id}, &error);
                fresh->insertChatFriendsOfChat(11, removedChatId + i, {id}, &error);
            }
            ASSERT_TRUE(error.isSuccess()) << c.name << ": " << error.getMessage();
        }
        sqlite3* const freshDb = fresh->connection();
        ResultSet removed =
            wcrtest::selectRows(freshDb, "SELECT count(*) FROM WC_Chat WHERE rcChatId >= " + std::to_string(removedChatId));
        ASSERT_EQ(0, removed.getValue(0, 0u)->getIntegerValue());

        fresh->finishTargetDb(&error, nullptr, firstUncounted == allRead ? nullptr : &counted);
        ASSERT_TRUE(error.isSuccess()) << error.getMessage();
        ResultSet rs = wcrtest::selectRows(freshDb, "SELECT chatNum, rcChatNum, lastChatTime FROM WC_Friend ORDER BY rcFriendId");
        ASSERT_EQ(sizeof(cases) / sizeof(cases[0]), rs.getRowCount());
        for (uint32_t row = 0; row < rs.getRowCount(); ++row) {
            const Case& c = cases[row];
            const int64_t expected[] = {c.chatNum, c.rcChatNum, c.lastChatTime};
            for (uint32_t column = 0; column < 3; ++column) {
                const std::shared_ptr<ColValue> value = rs.getValue(row, column);
                if (expected[column] == kNone) {
                    EXPECT_TRUE(value->isNull()) << c.name << ", column " << column;
                } else {
                    ASSERT_TRUE(value->isInteger()) << c.name << ", column " << column;
                    EXPECT_EQ(expected[column], value->getIntegerValue()) << c.name << ", column " << column;
                }
            }
        }
        EXPECT_EQ(SQLITE_OK, fresh->close());
    }
}

// A stored time of another type than the store writes (a text): the full
// statement counts, as SQLite compares it.
TEST_F(TargetDbTest, FinishCountersFallBackToTheStatementForOddValues) {
    std::vector<std::shared_ptr<WchatChat>> chats = {makeChat(1400000000, "a"), makeChat(1400000001, "b", 2)};
    store->insertFriends({makeFriend("f", "F")}, &error);
    store->insertChats(chats, &error);
    store->insertChatRoomsOfFriend(1, {1, 2}, 1, &error);
    ASSERT_TRUE(error.isSuccess());
    SqliteAssistant::executeSql(db, "UPDATE WC_Chat SET createTime = 'soon' WHERE rcChatId = 2;", &error);
    ASSERT_TRUE(error.isSuccess());
    RecoveryStore::CountedLinks counted;
    counted.firstUncountedId = 2;
    counted.tallies[1].addRoomChat(*chats[0]);
    store->finishTargetDb(&error, nullptr, &counted);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    EXPECT_EQ(2, count("SELECT chatNum FROM WC_Friend"));  // a text is greater than any number
    EXPECT_EQ(1, count("SELECT rcChatNum FROM WC_Friend"));
}

// Every statement runs; a failure among them is not hidden by later successes.
TEST_F(TargetDbTest, FinishReportsAnEarlierFailure) {
    SqliteAssistant::executeSql(
        db,
        "CREATE TABLE Friend_UsrName_Index_Blocker (a);"
        "CREATE INDEX Friend_UsrName_Index ON Friend_UsrName_Index_Blocker (a);",
        &error);
    ASSERT_TRUE(error.isSuccess());
    store->finishTargetDb(&error);
    EXPECT_EQ(-1, error.getCode());
    EXPECT_EQ("index Friend_UsrName_Index already exists", error.getMessage());
    // The statements after the failing one still ran.
    EXPECT_EQ(1, count("SELECT count(*) FROM sqlite_master WHERE name = 'Chat_CreateTime_Index'"));
}

TEST_F(TargetDbTest, CloseFinalizesKeptStatements) {
    store->insertFriends({makeFriend("a", "A")}, &error);
    store->insertChats({makeChat(1400000000, "x")}, &error);
    store->insertChatRoomsOfChat(2, 1, {1}, &error);
    store->insertChatFriendsOfChat(11, 1, {1}, &error);
    ASSERT_TRUE(error.isSuccess());
    EXPECT_NE(nullptr, sqlite3_next_stmt(db, nullptr));  // kept for the next batch

    // Each store keeps its own statements: a second one neither disturbs nor
    // takes over those of the first.
    std::unique_ptr<RecoveryStore> other = RecoveryStore::create("", &error);
    ASSERT_NE(nullptr, other);
    other->insertFriends({makeFriend("b", "B")}, &error);
    EXPECT_TRUE(error.isSuccess());
    EXPECT_EQ(SQLITE_OK, other->close());
    EXPECT_NE(nullptr, sqlite3_next_stmt(db, nullptr));

    store->releaseKeptStatements();
    EXPECT_EQ(nullptr, sqlite3_next_stmt(db, nullptr));
    EXPECT_EQ(SQLITE_OK, store->close());
    EXPECT_EQ(nullptr, store->connection());
    EXPECT_EQ(SQLITE_OK, store->close());  // a second close does nothing
    db = nullptr;
}

TEST_F(TargetDbTest, SummaryCountsRowsByHowTheyWereObtained) {
    std::vector<std::shared_ptr<WchatChat>> chats;
    fillSample(*store, &error, chats);
    auto madeUp = std::make_shared<WchatFriend>(RecoveryStore::kObtainMadeUp);
    madeUp->setNickName("未知联系人-1");
    store->insertFriends({madeUp}, &error);
    ASSERT_TRUE(error.isSuccess());
    const StoreSummary summary = store->summary(&error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    EXPECT_EQ(count("SELECT count(*) FROM WC_Friend WHERE obtainWay = 1"), summary.liveFriends);
    EXPECT_EQ(0, summary.carvedFriends);
    EXPECT_EQ(1, summary.madeUpFriends);
    EXPECT_EQ(count("SELECT count(*) FROM WC_Chat WHERE obtainWay = 1"), summary.liveChats);
    EXPECT_EQ(count("SELECT count(*) FROM WC_Chat WHERE obtainWay = 2"), summary.carvedChats);
    EXPECT_GT(summary.liveChats, 0);
    EXPECT_GT(summary.carvedChats, 0);
}

// Told where the live copy ended, the summary reads only the later rows and gives
// the counts of a whole reading, with or without an index of the whole table, and
// with live and carved rows after that end.
TEST_F(TargetDbTest, SummaryFromTheLiveCopysEndCountsAsTheWholeTable) {
    store->insertChats({makeChat(1400000000, "a"), makeChat(1400000001, "b"), makeChat(1400000002, "c")}, &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    const int64_t end = count("SELECT max(rcChatId) FROM WC_Chat") + 1;
    store->insertChats({makeChat(1400000100, "carved", 2), makeChat(1400000101, "live later", 1),
                        makeChat(1400000102, "carved last", 2)},
                       &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    for (const char* index : {"", "CREATE INDEX t_time ON WC_Chat (createTime);"}) {
        SCOPED_TRACE(index);
        ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, index, nullptr, nullptr, nullptr));
        store->setLiveCopyEnd(0);
        const StoreSummary whole = store->summary(&error);
        store->setLiveCopyEnd(end);
        const StoreSummary fromEnd = store->summary(&error);
        ASSERT_TRUE(error.isSuccess()) << error.getMessage();
        EXPECT_EQ(4, whole.liveChats);
        EXPECT_EQ(2, whole.carvedChats);
        EXPECT_EQ(whole.liveChats, fromEnd.liveChats);
        EXPECT_EQ(whole.carvedChats, fromEnd.carvedChats);
    }
}

TEST_F(TargetDbTest, OpenKeptRefusesAFileThatIsNotAStore) {
    const std::string path = std::string(WCR_BINARY_DIR) + "/wchat_not_a_store_test.sqlite";
    std::remove(path.c_str());
    {
        sqlite3* other = SqliteAssistant::openDatabase(path, &error);
        ASSERT_NE(nullptr, other);
        SqliteAssistant::executeSql(other, "CREATE TABLE Friend (UsrName TEXT);", &error);
        SqliteAssistant::closeDatabase(other);
    }
    EXPECT_EQ(nullptr, RecoveryStore::openKept(path, &error));
    EXPECT_EQ("not a recovery store[" + path + "]!", error.getMessage());
    std::remove(path.c_str());
}

// All seek threads write through one connection: the lock keeps every batch in one
// piece, so the ids of one batch are consecutive and nothing is lost.
TEST_F(TargetDbTest, ConcurrentBatchesFromTwoThreads) {
    constexpr int kBatches = 40;
    constexpr int kBatchSize = 25;
    std::vector<std::vector<std::shared_ptr<WchatChat>>> batches[2];
    auto writer = [this, &batches](int thread) {
        ErrorInfo threadError;
        for (int b = 0; b < kBatches; ++b) {
            std::vector<std::shared_ptr<WchatChat>> batch;
            for (int i = 0; i < kBatchSize; ++i) {
                batch.push_back(makeChat(1400000000 + i, "t" + std::to_string(thread), 2));
            }
            store->insertChats(batch, &threadError);
            ASSERT_TRUE(threadError.isSuccess()) << threadError.getMessage();
            for (const auto& chat : batch) {
                store->insertChatRoomsOfChat(2, chat->getRcChatId(), {thread + 1, thread + 3},
                                           &threadError);
                ASSERT_TRUE(threadError.isSuccess()) << threadError.getMessage();
            }
            batches[thread].push_back(batch);
        }
    };
    std::thread first(writer, 0);
    std::thread second(writer, 1);
    first.join();
    second.join();

    EXPECT_EQ(2 * kBatches * kBatchSize, count("SELECT count(*) FROM WC_Chat"));
    EXPECT_EQ(2 * 2 * kBatches * kBatchSize, count("SELECT count(*) FROM WC_Chatroom"));
    for (int thread = 0; thread < 2; ++thread) {
        ASSERT_EQ(static_cast<size_t>(kBatches), batches[thread].size());
        for (const auto& batch : batches[thread]) {
            for (int i = 1; i < kBatchSize; ++i) {
                ASSERT_EQ(batch[0]->getRcChatId() + i, batch[i]->getRcChatId());
            }
        }
        EXPECT_EQ(kBatches * kBatchSize, count("SELECT count(*) FROM WC_Chat WHERE message = 't" +
                                               std::to_string(thread) + "'"));
    }
    EXPECT_NE(0, sqlite3_get_autocommit(db));
}

TEST_F(TargetDbTest, SaveKeepsTheStoreAsAFile) {
    std::vector<std::shared_ptr<WchatChat>> chats;
    fillSample(*store, &error, chats);
    store->finishTargetDb(&error);
    const std::string path = std::string(WCR_BINARY_DIR) + "/wchat_saved_store_test.sqlite";
    std::remove(path.c_str());

    store->saveTargetDb(path, &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    EXPECT_FALSE(talwen::common::fileExists(path + ".partial")) << "written under a temporary name, then renamed";
    sqlite3* saved = SqliteAssistant::openDatabaseReadOnly(path, &error);
    ASSERT_NE(nullptr, saved);
    ResultSet rs;
    SqliteAssistant::query(saved, 0, "SELECT count(*) FROM WC_LostFriendChat", rs, &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    EXPECT_EQ(2, rs.getValue(0, 0)->getIntegerValue());
    EXPECT_EQ(SQLITE_OK, SqliteAssistant::closeDatabase(saved));
    // Written under a temporary name, which is gone once the store has its own.
    for (const auto& entry : std::filesystem::directory_iterator(WCR_BINARY_DIR)) {
        EXPECT_EQ(std::string::npos, entry.path().filename().string().find("wchat_saved_store_test.sqlite.partial-"))
            << entry.path();
    }

    // An existing file is never overwritten.
    store->saveTargetDb(path, &error);
    EXPECT_EQ(path + " already exist!", error.getMessage());
    EXPECT_EQ("saveTargetDb", error.getFunctionName());
    std::remove(path.c_str());

    // A copy that cannot be made leaves nothing under the name.
    const std::string blocked = std::string(WCR_BINARY_DIR) + "/wchat_saved_store_test.missing/store.sqlite";
    store->saveTargetDb(blocked, &error);
    EXPECT_FALSE(error.isSuccess());
    EXPECT_FALSE(talwen::common::fileExists(blocked));
}
