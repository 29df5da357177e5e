// Row translation: live result rows and carved records into messenger records.

#include <gtest/gtest.h>

#include <climits>

#include <sqlite3.h>

#include <string>

#include "common/CommonException.h"
#include "sqlite_recovery/FieldValue.h"
#include "sqlite_recovery/Record.h"
#include "SelectRows.h"
#include "sqldb/ResultSet.h"
#include "sqldb/SqliteAssistant.h"
#include "wchat/WchatSourceDbDao.h"
#include "wchat/WchatTranslator.h"

using talwen::common::CommonException;
using talwen::common::ErrorInfo;
using talwen::sqlite::FieldValue;
using talwen::sqlite::Record;
using talwen::sqlite::TableBtree;
using namespace talwen::sqldb;
using namespace talwen::wchat;

namespace {

// Result sets built from SELECTs of literal values on a private database.
class TranslatorTest : public ::testing::Test {
protected:
    void SetUp() override { db = SqliteAssistant::openDatabase("", &error); }
    void TearDown() override { SqliteAssistant::closeDatabase(db); }
    ResultSet select(const std::string& sql) { return wcrtest::selectRows(db, sql); }
    sqlite3* db = nullptr;
    ErrorInfo error;
};

const char* const kChatColumns[] = {"TableVer", "MesLocalId", "MesSvrId", "CreateTime", "Message",
                                    "Status",   "ImgStatus",  "Type",     "Des"};

// SELECT of one chat row; `override` replaces the value of column `which`.
std::string chatRow(const std::string& which = "", const std::string& value = "") {
    const std::string defaults[] = {"1", "7", "9000000000", "1500000000", "'hi'", "2", "1", "1", "0"};
    std::string sql = "SELECT ";
    for (size_t i = 0; i < 9; ++i) {
        if (i) sql += ", ";
        sql += (kChatColumns[i] == which ? value : defaults[i]) + " AS " + kChatColumns[i];
    }
    return sql;
}

TEST_F(TranslatorTest, LiveChatKeepsLow32BitsButAllOfTheServerId) {
    const ResultSet rs = select(chatRow("CreateTime", "4294967301") + " UNION ALL " +
                                chatRow("MesSvrId", "NULL"));
    const auto chats = WchatTranslator::translateResultSetToWchatChats(rs, &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    ASSERT_EQ(2u, chats.size());
    EXPECT_EQ(5, chats[0]->getCreateTime());
    EXPECT_EQ(9000000000LL, chats[0]->getMesSvrId());
    EXPECT_EQ(1, chats[0]->getObtainWay());
    EXPECT_EQ(0x1FFu, chats[0]->getValidFlag());
    EXPECT_TRUE(chats[1]->isSet(WchatChat::kMesSvrIdFlag));
    EXPECT_TRUE(chats[1]->isFieldNull(WchatChat::kMesSvrIdFlag));
}

TEST_F(TranslatorTest, LiveChatOfTheWrongClassStopsWithItsColumnName) {
    struct Case {
        const char* column;
        const char* value;
        const char* message;
    } cases[] = {
        {"TableVer", "'x'", "'TableVer' type not INTEGER!"},
        {"MesSvrId", "1.5", "'MesSvrId' type not INTEGER!"},
        {"Message", "42", "'Message' type not TEXT!"},
        {"Des", "x'00'", "'Des' type not INTEGER!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.column);
        const ResultSet rs = select(chatRow() + " UNION ALL " + chatRow(c.column, c.value) +
                                    " UNION ALL " + chatRow());
        const auto chats = WchatTranslator::translateResultSetToWchatChats(rs, &error);
        EXPECT_EQ(1u, chats.size());
        EXPECT_EQ(c.message, error.getMessage());
        EXPECT_EQ("wchat/WchatTranslator", error.getFileName());
        EXPECT_EQ("translateResultSetToWchatChats", error.getFunctionName());
    }
}

// A column the result lacks throws only once a row needs it, naming the first missing
// column in reading order; a wrong class met earlier in that row is reported instead.
TEST_F(TranslatorTest, AMissingColumnThrowsOnlyWhenARowReachesIt) {
    struct Case {
        const char* sql;
        const char* thrown;   // empty: no throw
        const char* message;  // the error report when nothing is thrown
        size_t chats;
    } cases[] = {
        {"SELECT 1 AS TableVer WHERE 0", "", "", 0},
        {"SELECT 1 AS TableVer", "colName[MesLocalId] not exist!", "", 0},
        {"SELECT 1 AS tablever, 2 AS MESLOCALID", "colName[MesSvrId] not exist!", "", 0},
        {"SELECT 'x' AS TableVer", "", "'TableVer' type not INTEGER!", 0},
        {"SELECT 1 AS TableVer, 'x' AS MesLocalId, 3 AS Des", "", "'MesLocalId' type not INTEGER!",
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sql);
        const ResultSet rs = select(c.sql);
        std::string thrown;
        size_t chats = 0;
        try {
            chats = WchatTranslator::translateResultSetToWchatChats(rs, &error).size();
        } catch (const CommonException& e) {
            thrown = e.what();
        }
        EXPECT_EQ(c.thrown, thrown);
        if (*c.thrown == '\0') {
            EXPECT_EQ(c.message, error.getMessage());
        }
        EXPECT_EQ(c.chats, chats);
    }
}

// The contact query's shape: Friend joined with Friend_Ext.
class FriendTranslationTest : public TranslatorTest {
protected:
    void SetUp() override {
        TranslatorTest::SetUp();
        SqliteAssistant::executeSql(
            db,
            "CREATE TABLE Friend (TableVer INTEGER, UsrName TEXT, NickName TEXT, Uin INTEGER, "
            "Email TEXT, Mobile TEXT, Sex INTEGER, FullPY TEXT, Img TEXT, Type INTEGER, "
            "LastChatTime INTEGER, Draft TEXT);"
            "CREATE TABLE Friend_Ext (UsrName TEXT, ConRemark TEXT, ConChatRoomMem TEXT, "
            "ConIntRes1 INTEGER, ConStrRes2 TEXT);",
            &error);
        ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    }
    std::vector<std::shared_ptr<WchatFriend>> translate() {
        ResultSet rs = select(WchatSourceDbDao::kSelectFriendsSql);
        return WchatTranslator::translateResultSetToWchatFriends(rs, &error);
    }
    void exec(const std::string& sql) {
        ErrorInfo e;
        SqliteAssistant::executeSql(db, sql, &e);
        ASSERT_TRUE(e.isSuccess()) << e.getMessage();
    }
};

TEST_F(FriendTranslationTest, ContactWithoutExtraRow) {
    exec("INSERT INTO Friend VALUES (1, 'alice', 'Alice', 5, NULL, NULL, 1, 'alice', 'i', 3, "
         "1600000000, '')");
    const auto friends = translate();
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    ASSERT_EQ(1u, friends.size());
    const WchatFriend& f = *friends[0];
    EXPECT_EQ("alice", f.getUsrName());
    EXPECT_TRUE(f.isSet(WchatFriend::kHashedUsrNameFlag));
    for (uint64_t nulled : {WchatFriend::kWcFriendFlag, WchatFriend::kConRemarkFlag,
                            WchatFriend::kHeadImgUrlFlag, WchatFriend::kHeadImgHDUrlFlag,
                            WchatFriend::kEmailFlag}) {
        EXPECT_TRUE(f.isFieldNull(nulled)) << std::hex << nulled;
    }
    for (uint64_t unset : {WchatFriend::kCountryFlag, WchatFriend::kProvinceFlag,
                           WchatFriend::kCityFlag, WchatFriend::kSignFlag,
                           WchatFriend::kDeduceFriendTypeFlag}) {
        EXPECT_FALSE(f.isSet(unset)) << std::hex << unset;
    }
}

TEST_F(FriendTranslationTest, ExtraColumnsGiveFlagTagsAndMembers) {
    exec("INSERT INTO Friend (UsrName, TableVer) VALUES ('room@chatroom', 1), ('bob', 1), "
         "(NULL, 1), ('carol', 1)");
    exec("INSERT INTO Friend_Ext VALUES ('room@chatroom', 'R', 'a;b;;c;', 0, "
         "'<HeadImgUrl></HeadImgUrl><city>Paris</city><sign>a &amp; b</sign>')");
    exec("INSERT INTO Friend_Ext VALUES ('bob', NULL, ';;', 1099511627776, '<country>CN')");
    exec("INSERT INTO Friend_Ext VALUES ('carol', NULL, x'07', 0, NULL)");
    const auto friends = translate();
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    ASSERT_EQ(4u, friends.size());

    const WchatFriend& room = *friends[0];
    EXPECT_EQ("GROUP", room.getDeduceFriendType());
    EXPECT_EQ((std::set<std::string>{"a", "b", "c"}), room.getChatRoomMembers());
    EXPECT_EQ(0, room.getWcFriend());
    EXPECT_FALSE(room.isSet(WchatFriend::kHeadImgUrlFlag));
    EXPECT_EQ("Paris", room.getCity());
    EXPECT_EQ("a &amp; b", room.getSign());

    const WchatFriend& bob = *friends[1];
    EXPECT_FALSE(bob.isSet(WchatFriend::kDeduceFriendTypeFlag));
    EXPECT_TRUE(bob.getChatRoomMembers().empty());
    EXPECT_EQ(1, bob.getWcFriend());
    EXPECT_FALSE(bob.isSet(WchatFriend::kCountryFlag));  // no closing tag

    // A NULL user name marks only its own bit: there is no digest of it.
    const WchatFriend& nameless = *friends[2];
    EXPECT_TRUE(nameless.isFieldNull(WchatFriend::kUsrNameFlag));
    EXPECT_FALSE(nameless.isSet(WchatFriend::kHashedUsrNameFlag));

    // A member list of another class is ignored; a NULL ConStrRes2 marks the two
    // picture addresses only.
    const WchatFriend& carol = *friends[3];
    EXPECT_FALSE(carol.isSet(WchatFriend::kDeduceFriendTypeFlag));
    EXPECT_TRUE(carol.isFieldNull(WchatFriend::kHeadImgUrlFlag | WchatFriend::kHeadImgHDUrlFlag));
    EXPECT_FALSE(carol.isSet(WchatFriend::kCityFlag));
}

TEST_F(FriendTranslationTest, WrongClassReportsTheColumn) {
    exec("INSERT INTO Friend (UsrName, TableVer) VALUES ('a', 1), ('b', 1)");
    exec("INSERT INTO Friend_Ext (UsrName, ConStrRes2) VALUES ('b', x'0c')");
    const auto friends = translate();
    EXPECT_EQ(1u, friends.size());
    EXPECT_EQ("'ConStrRes2' type not TEXT!", error.getMessage());
    EXPECT_EQ("translateResultSetToWchatFriends", error.getFunctionName());
}

TEST_F(TranslatorTest, TableEntries) {
    auto tables = WchatTranslator::translateResultSetToTableBtrees(
        select("SELECT 'Chat_x' AS tbl_name, 4294967299 AS rootpage"), &error);
    ASSERT_EQ(1u, tables.size());
    EXPECT_EQ("Chat_x", tables[0]->getTableName());
    EXPECT_EQ(3u, tables[0]->getRootPage());
    tables = WchatTranslator::translateResultSetToTableBtrees(
        select("SELECT 5 AS tbl_name, 2 AS rootpage"), &error);
    EXPECT_TRUE(tables.empty());
    EXPECT_EQ("'tbl_name' type not TEXT!", error.getMessage());
    tables = WchatTranslator::translateResultSetToTableBtrees(
        select("SELECT 'Chat_x' AS tbl_name, '2' AS rootpage"), &error);
    EXPECT_EQ("'rootpage' type not INTEGER!", error.getMessage());
}

// Carved records built field by field (serial types: 0 NULL, 1 int8, 6 int64,
// odd >= 13 text).
std::shared_ptr<FieldValue> intField(uint32_t index, const std::string& name, int64_t value) {
    return std::make_shared<FieldValue>(12, index, name, 6, 0, 8, value);
}
std::shared_ptr<FieldValue> textField(uint32_t index, const std::string& name,
                                      const std::string& value) {
    return std::make_shared<FieldValue>(12, index, name, 13 + 2 * static_cast<int64_t>(value.size()),
                                        0, static_cast<uint32_t>(value.size()), value);
}
std::shared_ptr<FieldValue> nullField(uint32_t index, const std::string& name) {
    return std::make_shared<FieldValue>(12, index, name);
}

TEST(RecordTranslationTest, CarvedChat) {
    Record record;
    record.addFieldValue(intField(0, "TableVer", 1));
    record.addFieldValue(intField(2, "MesSvrID", 77));
    record.addFieldValue(intField(3, "CreateTime", 1500000000));
    record.addFieldValue(textField(4, "Message", "bob:\nhello\x01\tworld\nbye"));
    record.addFieldValue(textField(5, "Status", "not a number"));
    record.addFieldValue(intField(6, "ImgStatus", 1));
    record.addFieldValue(intField(7, "Type", 1));
    record.addFieldValue(nullField(8, "Des"));

    const auto cleaned = WchatTranslator::translateRecordToWchatChat(record, 1);
    EXPECT_EQ(2, cleaned->getObtainWay());
    // A control character goes; the tab stays, as stored.
    EXPECT_EQ("bob:\nhello\tworld\nbye", cleaned->getMessage());
    EXPECT_EQ("bob", cleaned->getTaggedUserName());
    EXPECT_EQ(12, cleaned->getPageNumber());
    EXPECT_EQ(77, cleaned->getMesSvrId());
    // The row-id column is absent from the record: marked NULL.
    EXPECT_TRUE(cleaned->isFieldNull(WchatChat::kMesLocalIdFlag));
    // Present but of another class, NULL included: left unset.
    EXPECT_FALSE(cleaned->isSet(WchatChat::kStatusFlag));
    EXPECT_FALSE(cleaned->isSet(WchatChat::kDesFlag));

    EXPECT_EQ("bob:\nhello\x01\tworld\nbye",
              WchatTranslator::translateRecordToWchatChat(record, 0)->getMessage());
}

TEST(RecordTranslationTest, CarvedContactAndTable) {
    Record contact;
    contact.addFieldValue(textField(2, "NickName", "A\x1B" "B"));
    contact.addFieldValue(textField(3, "Email", "a\x1B" "b"));
    const auto f = WchatTranslator::translateRecordToWchatFriend(contact, 1);
    EXPECT_EQ("AB", f->getNickName());
    EXPECT_EQ("a\x1B" "b", f->getEmail());
    EXPECT_TRUE(f->isFieldNull(WchatFriend::kUsrNameFlag));
    EXPECT_FALSE(f->isSet(WchatFriend::kHashedUsrNameFlag));
    EXPECT_FALSE(f->isSet(WchatFriend::kConRemarkFlag));

    Record entry;
    entry.addFieldValue(textField(2, "tbl_name", "Chat_abc"));
    entry.addFieldValue(intField(3, "rootpage", 9));
    const auto t = WchatTranslator::translateRecordToTableBtree(entry);
    EXPECT_EQ(2, t->getObtainWay());
    EXPECT_EQ("Chat_abc", t->getTableName());
    EXPECT_EQ(9u, t->getRootPage());
}

TEST_F(TranslatorTest, SelectChatsQuotesTheTableName) {
    EXPECT_EQ("SELECT * FROM \"Chat_a\"\"b\" LIMIT 1000 OFFSET 2000;",
              WchatSourceDbDao::buildSelectChatsSql("Chat_a\"b", 2000, 1000));
    SqliteAssistant::executeSql(db,
                                "CREATE TABLE \"Chat_a\"\"b\" (TableVer, MesLocalId, MesSvrId, "
                                "CreateTime, Message, Status, ImgStatus, Type, Des);"
                                "INSERT INTO \"Chat_a\"\"b\" VALUES (1, 1, 5, 6, 'x', 0, 0, 1, 0);"
                                "CREATE TABLE Victim (x); INSERT INTO Victim VALUES (1);",
                                &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    EXPECT_EQ(1u, WchatSourceDbDao::selectChats(db, "Chat_a\"b", 0, 1000, &error).size());
    // A crafted name is one identifier, never a second statement or clause.
    EXPECT_TRUE(
        WchatSourceDbDao::selectChats(db, "Victim; DROP TABLE Victim", 0, 10, &error).empty());
    EXPECT_FALSE(error.isSuccess());
    EXPECT_TRUE(WchatSourceDbDao::selectChats(db, "Victim LIMIT 0 --", 0, 10, &error).empty());
    EXPECT_FALSE(error.isSuccess());
    EXPECT_EQ(1u, select("SELECT x FROM Victim").getRowCount());
}

// Row id ranges read the rows of the LIMIT/OFFSET pages, in the same order, across
// gaps of deleted rows and an INTEGER PRIMARY KEY; a table without row ids fails
// (the copy then reads it the plain way).
TEST_F(TranslatorTest, RowIdRangesReadWhatOffsetPagesRead) {
    SqliteAssistant::executeSql(db,
                                "CREATE TABLE Chat_r (MesLocalID INTEGER PRIMARY KEY AUTOINCREMENT, TableVer, "
                                "MesSvrId, CreateTime, Message, Status, ImgStatus, Type, Des);"
                                "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 53) "
                                "INSERT INTO Chat_r (TableVer, MesSvrId, CreateTime, Message, Status, ImgStatus, "
                                "Type, Des) SELECT 1, i * 7, 1500000000 + i, 'm' || i, 0, 0, 1, i % 2 FROM n;"
                                "DELETE FROM Chat_r WHERE MesLocalID % 5 = 0 OR MesLocalID BETWEEN 20 AND 31;"
                                "CREATE TABLE Chat_w (k PRIMARY KEY, MesSvrId) WITHOUT ROWID;",
                                &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    auto keys = [](const std::vector<std::shared_ptr<talwen::wchat::WchatChat>>& chats) {
        std::vector<std::string> out;
        for (const auto& c : chats)
            out.push_back(std::to_string(c->getMesLocalId()) + "/" + std::to_string(c->getMesSvrId()) + "/" +
                          c->getMessage());
        return out;
    };
    for (uint32_t limit : {1u, 4u, 7u, 100u}) {
        SCOPED_TRACE(limit);
        std::vector<std::string> byOffset, byRange;
        for (uint32_t offset = 0;; offset += limit) {
            const auto page = WchatSourceDbDao::selectChats(db, "Chat_r", offset, limit, &error);
            ASSERT_TRUE(error.isSuccess()) << error.getMessage();
            for (const auto& k : keys(page)) byOffset.push_back(k);
            if (page.size() < limit) break;
        }
        int64_t last = INT64_MIN;
        for (;;) {
            const auto page = WchatSourceDbDao::selectChatsAfter(db, "Chat_r", last, limit, &last, &error);
            ASSERT_TRUE(error.isSuccess()) << error.getMessage();
            for (const auto& k : keys(page)) byRange.push_back(k);
            if (page.size() < limit) break;
        }
        EXPECT_EQ(byOffset, byRange);
        EXPECT_EQ(34u, byRange.size());
    }
    int64_t last = INT64_MIN;
    EXPECT_TRUE(WchatSourceDbDao::selectChatsAfter(db, "Chat_w", last, 10, &last, &error).empty());
    EXPECT_FALSE(error.isSuccess());
}

}  // namespace
