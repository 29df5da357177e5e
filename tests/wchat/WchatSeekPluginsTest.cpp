// Record filters and seek event handlers of the three messenger seeks.

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sqlite_recovery/FieldValue.h"
#include "common/Logger.h"
#include "sqlite_recovery/Record.h"
#include "sqlite_recovery/Table.h"
#include "wchat/NativeWchatChatRecordFilter.h"
#include "wchat/NativeWchatChatTableRecordFilter.h"
#include "wchat/NativeWchatChatTableSeekEventHandler.h"
#include "wchat/NativeWchatChatToDbSeekEventHandler.h"
#include "wchat/NativeWchatFriendRecordFilter.h"
#include "wchat/NativeWchatFriendSeekEventHandler.h"
#include "sqldb/ResultSet.h"
#include "sqldb/SqliteAssistant.h"
#include "sqlite_recovery/Database.h"
#include "sqlite_recovery/SqliteDatabaseSeeker.h"
#include "PipelineTestSupport.h"
#include "wchat/RecoveryStore.h"

using talwen::common::ErrorInfo;
using talwen::sqlite::FieldValue;
using talwen::sqlite::Record;
using namespace talwen::sqldb;
using namespace talwen::wchat;

namespace {

enum class Kind { Absent, Null, Int, Text, Blob };

std::shared_ptr<Record> recordWith(uint32_t page, const std::vector<std::pair<std::string, Kind>>& kinds,
                                   const std::vector<std::string>& texts,
                                   const std::vector<int64_t>& ints = {}) {
    auto record = std::make_shared<Record>();
    for (uint32_t i = 0; i < kinds.size(); ++i) {
        const std::string& name = kinds[i].first;
        const std::string text = i < texts.size() ? texts[i] : std::string();
        const int64_t value = i < ints.size() ? ints[i] : 0;
        switch (kinds[i].second) {
            case Kind::Absent: break;
            case Kind::Null: record->addFieldValue(std::make_shared<FieldValue>(page, i, name)); break;
            case Kind::Int:
                record->addFieldValue(std::make_shared<FieldValue>(page, i, name, 6, 0, 8, value));
                break;
            case Kind::Text:
                record->addFieldValue(std::make_shared<FieldValue>(
                    page, i, name, 13 + 2 * static_cast<int64_t>(text.size()), 0,
                    static_cast<uint32_t>(text.size()), text));
                break;
            case Kind::Blob: {
                talwen::sqlite::ByteArray bytes(new uint8_t[1]{7});
                record->addFieldValue(std::make_shared<FieldValue>(page, i, name, 14, 0, 1, bytes, 1));
                break;
            }
        }
    }
    return record;
}

TEST(RecordFilterTest, MessageMustBeNonEmptyText) {
    NativeWchatChatRecordFilter filter;
    struct Case {
        Kind kind;
        std::string text;
        bool accepted;
    } cases[] = {{Kind::Text, "hi", true}, {Kind::Text, "", false}, {Kind::Null, "", false},
                 {Kind::Int, "", false},   {Kind::Blob, "", false}, {Kind::Absent, "", false}};
    for (const Case& c : cases) {
        auto record = recordWith(2, {{"message", c.kind}}, {c.text});
        EXPECT_EQ(c.accepted, filter.accept(record)) << static_cast<int>(c.kind) << c.text;
    }
}

TEST(RecordFilterTest, UserNamesOfPlainCharactersUpTo32Bytes) {
    NativeWchatFriendRecordFilter filter;
    struct Case {
        std::string name;
        bool accepted;
    } cases[] = {
        {"wxid_abc123", true},  {"WXID_ABC123", true},        {"a|b@c-d", true},
        {"12345@chatroom", true}, {std::string(32, 'a'), true}, {std::string(33, 'a'), false},
        {"a b", false},         {"", false},                  {"caf\xC3\xA9", false},
        {"a.b", false},
    };
    for (const Case& c : cases) {
        auto record = recordWith(2, {{"UsrName", Kind::Text}}, {c.name});
        EXPECT_EQ(c.accepted, filter.accept(record)) << c.name;
    }
    auto blob = recordWith(2, {{"UsrName", Kind::Blob}}, {});
    EXPECT_FALSE(filter.accept(blob));
}

TEST(RecordFilterTest, ConversationTableEntries) {
    NativeWchatChatTableRecordFilter filter;
    const std::string hash(32, 'f');
    struct Case {
        std::string type;
        std::string name;
        Kind rootKind;
        int64_t root;
        bool accepted;
    } cases[] = {
        {"table", "Chat_" + hash, Kind::Int, 2, true},   {"table", "Chat_" + hash, Kind::Int, 1, false},
        {"table", "Chat_" + hash, Kind::Int, 0, false},  {"table", "Chat_" + hash, Kind::Int, -5, false},
        {"table", "chat_" + hash, Kind::Int, 2, false},  {"table", "Chat_" + hash.substr(1), Kind::Int, 2, false},
        {"table", "Chat_" + hash + "f", Kind::Int, 2, false}, {"table", "Chat_" + hash, Kind::Null, 0, false},
        // An index of the table names it too, with the index's root page.
        {"index", "Chat_" + hash, Kind::Int, 2, false},
    };
    for (const Case& c : cases) {
        auto record = recordWith(1, {{"type", Kind::Text}, {"tbl_name", Kind::Text}, {"rootpage", c.rootKind}},
                                 {c.type, c.name}, {0, 0, c.root});
        EXPECT_EQ(c.accepted, filter.accept(record)) << c.type << " " << c.name << " " << c.root;
    }
}

TEST(SeekHandlerTest, CollectingHandlersTranslateAtOnce) {
    NativeWchatFriendSeekEventHandler friends;
    auto record = recordWith(3, {{"UsrName", Kind::Text}, {"NickName", Kind::Text}}, {"bob", "B\x01" "b"});
    EXPECT_EQ(1, friends.onRecord(record));
    record->clear();  // the seek reuses the record
    ASSERT_EQ(1u, friends.getWchatFriends().size());
    EXPECT_EQ("bob", friends.getWchatFriends()[0]->getUsrName());
    EXPECT_EQ("Bb", friends.getWchatFriends()[0]->getNickName());

    NativeWchatChatTableSeekEventHandler tables;
    auto entry = recordWith(1, {{"tbl_name", Kind::Text}, {"rootpage", Kind::Int}}, {"Chat_x"}, {0, 5});
    EXPECT_EQ(1, tables.onRecord(entry));
    ASSERT_EQ(1u, tables.getTableBtrees().size());
    EXPECT_EQ(5u, tables.getTableBtrees()[0]->getRootPage());
}

// Counts what reaches the pipeline's logger.
class CountingLogger : public talwen::common::Logger {
public:
    void begin() override {}
    void log(const std::string&) override { ++lines; }
    void log(uint32_t, uint32_t, uint32_t, uint32_t) override { ++lines; }
    void log(const std::string&, uint32_t, uint32_t, uint32_t) override { ++lines; }
    void log(const ErrorInfo&) override { ++errors; }
    void log(uint32_t) override { ++lines; }
    void end() override {}
    int lines = 0;
    int errors = 0;
};

class ChatToDbHandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        store = RecoveryStore::create("", &error);
        ASSERT_NE(nullptr, store) << error.getMessage();
        db = store->connection();
        auto room = std::make_shared<WchatFriend>(1);
        room->setUsrName("room@chatroom");
        room->addChatRoomMember("alice");
        auto alice = std::make_shared<WchatFriend>(1);
        alice->setUsrName("alice");
        store->insertFriends({room, alice}, &error);
        tracer.indexSavedWchatFriends({room, alice}, {}, &error);
        ASSERT_TRUE(error.isSuccess()) << error.getMessage();
        WchatChat live(1);
        live.setMesSvrId(42);
        saved.add(live);
    }
    std::shared_ptr<Record> message(const std::string& text, int64_t svrId) {
        return recordWith(9, {{"MesSvrID", Kind::Int}, {"Message", Kind::Text}}, {"", text}, {svrId});
    }
    int64_t count(const std::string& sql) {
        ResultSet rs;
        SqliteAssistant::query(db, 0, sql, rs, &error);
        return rs.getValue(0, 0u)->getIntegerValue();
    }
    std::unique_ptr<RecoveryStore> store;
    sqlite3* db = nullptr;
    ErrorInfo error;
    WchatFriendTracer tracer;
    SavedChatIndex saved;
};

TEST_F(ChatToDbHandlerTest, StoresAPageWithItsConversationAndSenders) {
    WchatFriendDeducer deducer(store.get(), &tracer);
    NativeWchatChatToDbSeekEventHandler handler(store.get(), &deducer, &saved, nullptr);
    handler.onPageBegin(9);
    auto copy = message("copy of a live one", 42);
    EXPECT_EQ(0, handler.onRecord(copy));
    auto deleted = message("alice:\nhello", 43);
    EXPECT_EQ(1, handler.onRecord(deleted));
    handler.onPageEnd(9);
    EXPECT_EQ(1, count("SELECT count(*) FROM WC_Chat WHERE obtainWay = 2 AND pageNumber = 9"));
    EXPECT_EQ(1, count("SELECT count(*) FROM WC_Chatroom WHERE rcFriendId = 1 AND deduceType = 4"));
    EXPECT_EQ(1, count("SELECT count(*) FROM WC_ChatFriend WHERE rcFriendId = 2 AND deduceType = 11"));

    // A page of live copies only writes nothing.
    handler.onPageBegin(10);
    EXPECT_EQ(0, handler.onRecord(copy));
    EXPECT_TRUE(handler.getBatch().empty());
    handler.onPageEnd(10);
    EXPECT_EQ(1, count("SELECT count(*) FROM WC_Chat"));
}

TEST_F(ChatToDbHandlerTest, FailuresGoToTheLimitedLoggersAndTheSeekGoesOn) {
    WchatFriendDeducer deducer(store.get(), &tracer);
    CountingLogger logger;
    NativeWchatChatToDbSeekEventHandler handler(store.get(), &deducer, &saved, &logger);
    ErrorInfo e;
    SqliteAssistant::executeSql(db, "DROP VIEW WC_ChatInRoom; DROP VIEW WC_LostFriendChat; DROP TABLE WC_Chat;", &e);
    ASSERT_TRUE(e.isSuccess()) << e.getMessage();
    for (uint32_t page = 1; page <= 12; ++page) {
        handler.onPageBegin(page);
        auto record = message("m", 100 + page);
        handler.onRecord(record);
        handler.onPageEnd(page);
    }
    // Ten failures pass, then the limited logger's trailer line.
    EXPECT_EQ(10, logger.errors);
    EXPECT_EQ(1, logger.lines);
}

}  // namespace

// The serial types the filters refuse, told to the inspector, change nothing the
// carving finds: contacts and conversation tables, live and deleted, of a
// generated messenger file, with and without them.
TEST(RecordFilterTest, TellingTheInspectorWhatTheFiltersRefuseFindsTheSame) {
    wcrtest::TempDir dir("bounds");
    ASSERT_TRUE(wcrtest::generateMessengerDb(dir.path(), "small", 3, 1024));
    talwen::sqlite::Database database;
    ErrorInfo error;
    database.open(dir.file("MM.sqlite"), &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    const auto carve = [&](const talwen::sqlite::Table& table, talwen::sqlite::RecordFilter* filter,
                           talwen::sqlite::SeekEventHandler* handler, const talwen::sqlite::CarveOptions& options) {
        talwen::sqlite::SqliteDatabaseSeeker seeker(&database, &table, filter);
        seeker.setOptions(options);
        talwen::sqlite::SeekEventHandler* handlers[] = {handler};
        seeker.seek(1, nullptr, handlers, &error);
        EXPECT_TRUE(error.isSuccess()) << error.getMessage();
    };

    // The contact table as the file defines it.
    sqlite3* source = SqliteAssistant::openDatabaseReadOnly(dir.file("MM.sqlite"), &error);
    ASSERT_NE(nullptr, source) << error.getMessage();
    const std::vector<std::string> definition = SqliteAssistant::queryTextValuesFromSingleField(
        source, 1, "SELECT sql FROM sqlite_master WHERE type = 'table' AND tbl_name = 'Friend';", &error);
    SqliteAssistant::closeDatabase(source);
    ASSERT_EQ(1u, definition.size());
    // As the pipeline reads it: the messenger stores ShortPY as a blob though it declares it TEXT.
    std::string ddl = definition.front();
    const size_t shortPy = ddl.find(", ShortPY TEXT ,");
    if (shortPy != std::string::npos) ddl.replace(shortPy, 16, ", ShortPY BLOB ,");
    const auto friendTable = talwen::sqlite::Table::parse(ddl);
    NativeWchatFriendRecordFilter friendFilter;
    NativeWchatFriendSeekEventHandler plainFriends;
    NativeWchatFriendSeekEventHandler boundFriends;
    carve(friendTable, &friendFilter, &plainFriends, talwen::sqlite::CarveOptions());
    carve(friendTable, &friendFilter, &boundFriends, NativeWchatFriendRecordFilter::carveOptions(friendTable));
    ASSERT_FALSE(NativeWchatFriendRecordFilter::carveOptions(friendTable).serialTypeBounds.empty());
    const auto names = [](const NativeWchatFriendSeekEventHandler& handler) {
        std::vector<std::pair<int32_t, std::string>> found;
        for (const auto& f : handler.getWchatFriends()) found.emplace_back(f->getPageNumber(), f->getUsrName());
        return found;
    };
    EXPECT_GT(names(plainFriends).size(), 20u);
    EXPECT_EQ(names(plainFriends), names(boundFriends));

    const auto master = talwen::sqlite::Table::parse(
        "CREATE TABLE sqlite_master(type text not null, name text not null primary key, tbl_name text, "
        "rootpage integer not null, sql text);");
    NativeWchatChatTableRecordFilter tableFilter;
    NativeWchatChatTableSeekEventHandler plainTables;
    NativeWchatChatTableSeekEventHandler boundTables;
    carve(master, &tableFilter, &plainTables, talwen::sqlite::CarveOptions());
    carve(master, &tableFilter, &boundTables, NativeWchatChatTableRecordFilter::carveOptions());
    const auto tables = [](const NativeWchatChatTableSeekEventHandler& handler) {
        std::vector<std::pair<std::string, uint32_t>> found;
        for (const auto& t : handler.getTableBtrees()) found.emplace_back(t->getTableName(), t->getRootPage());
        return found;
    };
    EXPECT_GT(tables(plainTables).size(), 5u);
    EXPECT_EQ(tables(plainTables), tables(boundTables));
}
