// The recovery pipeline's stages over small hand-built messenger databases.

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "PipelineTestSupport.h"
#include "wchat/Md5.h"
#include "wchat/WchatChatToDbSeeker.h"

using talwen::common::ErrorInfo;
using talwen::wchat::Md5;
using talwen::wchat::Stage;
using talwen::wchat::StageObserver;
using talwen::wchat::StageReport;
using talwen::wchat::WchatChatToDbSeeker;
using talwen::wchat::stageCounts;
using talwen::wchat::stageName;

namespace {

const char* const kFriendDdl =
    "CREATE TABLE Friend ( TableVer INTEGER DEFAULT 1 , UsrName TEXT PRIMARY KEY , NickName TEXT , "
    "Uin INTEGER DEFAULT 0 , Email TEXT , Mobile TEXT , Sex INTEGER DEFAULT 0 , FullPY TEXT , "
    "ShortPY TEXT , Img TEXT , Type INTEGER DEFAULT 0 , LastChatTime INTEGER DEFAULT 0 , "
    "Draft TEXT , DefaultRes1 INTEGER DEFAULT 0 , DefaultRes2 INTEGER DEFAULT 0 , "
    "DefaultRes3 TEXT )";
const char* const kFriendExtDdl =
    "CREATE TABLE Friend_Ext ( UsrName TEXT PRIMARY KEY , ConRemark TEXT , ConChatRoomMem TEXT , "
    "ConIntRes1 INTEGER DEFAULT 0 , ConStrRes2 TEXT )";

std::string chatDdl(const std::string& table) {
    return "CREATE TABLE " + table +
           "(TableVer integer default 1, MesLocalID integer primary key autoincrement, MesSvrID "
           "integer default 0, CreateTime integer default 0, Message text, Status integer default "
           "0, ImgStatus integer default 2, Type integer, Des integer)";
}

// Builds a messenger database with the SQLite library.
class SourceBuilder {
public:
    explicit SourceBuilder(const std::string& path) { sqlite3_open(path.c_str(), &db_); }
    ~SourceBuilder() { sqlite3_close(db_); }
    void exec(const std::string& sql) {
        char* message = nullptr;
        ASSERT_EQ(SQLITE_OK, sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message))
            << (message ? message : "") << " in " << sql;
    }
    void contacts(bool withExt = true) {
        exec(kFriendDdl);
        if (withExt) exec(kFriendExtDdl);
    }
    void contact(const std::string& usrName) {
        exec("INSERT INTO Friend (UsrName, NickName) VALUES ('" + usrName + "', 'N " + usrName + "')");
    }
    // A conversation table of `rows` messages; returns its name.
    std::string conversation(const std::string& usrName, int rows, int64_t svrBase) {
        const std::string table = "Chat_" + Md5::hexDigest(usrName);
        exec(chatDdl(table));
        exec("BEGIN");
        for (int i = 0; i < rows; ++i) {
            exec("INSERT INTO " + table + " (MesSvrID, CreateTime, Message, Type, Des) VALUES (" +
                 std::to_string(svrBase + i) + ", " + std::to_string(1500000000 + i) + ", 'm" +
                 std::to_string(i) + "', 1, 1)");
        }
        exec("COMMIT");
        return table;
    }

private:
    sqlite3* db_ = nullptr;
};

// Records every stage's begin ("+name") and end ("name") in order, with what the
// ends report.
struct StageLog : StageObserver {
    std::vector<std::string> events;
    std::map<std::string, uint64_t> values;

    void attach(WchatChatToDbSeeker& s) { s.setStageObserver(this); }
    void onBegin(Stage stage, const StageReport& report) override {
        events.push_back(std::string("+") + stageName(stage));
        if (report.threadCount > 0) values[std::string(stageName(stage)) + ".threads"] = report.threadCount;
    }
    void onEnd(Stage stage, const StageReport& report) override {
        const std::string name = stageName(stage);
        events.push_back(name);
        if (stage == Stage::OpenDatabase) {
            values["pageSize"] = report.pageSize;
            values["pages"] = report.pageCount;
        }
        if (stage == Stage::LoadDatabase) values["bytes"] = report.bytes;
        if (stageCounts(stage)) values[name] = report.count;
    }
    std::string joined() const {
        std::string all;
        for (const std::string& e : events) all += e + " ";
        return all;
    }
};

int64_t scalar(sqlite3* db, const std::string& sql) {
    auto rs = wcrtest::selectRows(db, sql);
    return rs.getValue(0, 0u)->getIntegerValue();
}

class SeekerTest : public ::testing::Test {
protected:
    wcrtest::TempDir dir{"seeker"};
    std::string source = dir.file("MM.sqlite");
    ErrorInfo error;
};

TEST_F(SeekerTest, LiveMessagesAreCopiedInBatchesOfAThousand) {
    const int sizes[] = {1, 999, 1000, 1001, 2500};
    std::vector<std::string> owners;
    {
        SourceBuilder b(source);
        b.contacts();
        for (int i = 0; i < 5; ++i) {
            owners.push_back("user" + std::to_string(i));
            b.contact(owners.back());
            b.conversation(owners.back(), sizes[i], 1000000LL * (i + 1));
        }
    }
    WchatChatToDbSeeker seeker(source, "", nullptr);
    StageLog log;
    log.attach(seeker);
    seeker.run(2, 0, &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();

    // seekFlags 0: no contact or table carving, the message seek still runs.
    EXPECT_EQ(
        "+openSourceDb openSourceDb +createTargetDb createTargetDb +openDatabase openDatabase "
        "+loadDatabase loadDatabase +selectFriends selectFriends +saveFriends saveFriends "
        "+selectChatTables selectChatTables +walkChatTables walkChatTables +indexFriends "
        "indexFriends +dumpChats dumpChats +seekChats seekChats +finishTargetDb finishTargetDb ",
        log.joined());
    EXPECT_EQ(log.values["pageSize"] * log.values["pages"], log.values["bytes"]);
    EXPECT_EQ(static_cast<uint64_t>(std::filesystem::file_size(source)), log.values["bytes"]);
    EXPECT_EQ(5u, log.values["selectFriends"]);
    EXPECT_EQ(5u, log.values["selectChatTables"]);
    EXPECT_EQ(5501u, log.values["dumpChats"]);
    EXPECT_EQ(2u, log.values["seekChats.threads"]);
    // Every live row is live: nothing carved is stored.
    EXPECT_EQ(0u, log.values["seekChats"]);

    sqlite3* store = seeker.getTargetDb();
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(owners[i]);
        const std::string owner = "(SELECT rcFriendId FROM WC_Friend WHERE usrName = '" + owners[i] + "')";
        EXPECT_EQ(sizes[i], scalar(store, "SELECT count(DISTINCT C.mesSvrId) FROM WC_Chat C JOIN "
                                          "WC_Chatroom R ON R.rcChatId = C.rcChatId WHERE R.deduceType = 1 "
                                          "AND R.rcFriendId = " + owner));
        EXPECT_EQ(sizes[i], scalar(store, "SELECT count(*) FROM WC_ChatFriend WHERE deduceType = 13 "
                                          "AND rcFriendId = " + owner));
        EXPECT_EQ(sizes[i], scalar(store, "SELECT chatNum FROM WC_Friend WHERE usrName = '" + owners[i] + "'"));
    }
    EXPECT_EQ(5501, scalar(store, "SELECT count(*) FROM WC_Chat"));
}

TEST_F(SeekerTest, SeekFlagsAddTheCarvingStages) {
    {
        SourceBuilder b(source);
        b.contacts();
        b.contact("alice");
        b.conversation("alice", 30, 1);
    }
    WchatChatToDbSeeker seeker(source, "", nullptr);
    StageLog log;
    log.attach(seeker);
    seeker.run(3, WchatChatToDbSeeker::kSeekFriends | WchatChatToDbSeeker::kSeekChatTables, &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    const std::string events = log.joined();
    EXPECT_NE(std::string::npos, events.find("+seekFriends seekFriends +mergeFriends mergeFriends +saveFriends"));
    EXPECT_NE(std::string::npos,
              events.find("+seekChatTables seekChatTables +mergeChatTables mergeChatTables +walkChatTables"));
    EXPECT_EQ(3u, log.values["seekFriends.threads"]);
    // The live contact is carved too; the merge drops it and reports the live count.
    EXPECT_GE(log.values["seekFriends"], 1u);
    EXPECT_EQ(1u, log.values["mergeFriends"]);
    EXPECT_EQ(1, scalar(seeker.getTargetDb(), "SELECT count(*) FROM WC_Friend"));
    // The live table's sqlite_master row is carved as well: its leaves count twice.
    EXPECT_GE(log.values["seekChatTables"], 1u);
    EXPECT_EQ(1u, log.values["mergeChatTables"]);

    // One object, one recovery.
    seeker.run(1, 0, &error);
    EXPECT_FALSE(error.isSuccess());
    EXPECT_EQ("run", error.getFunctionName());
    EXPECT_EQ(30, scalar(seeker.getTargetDb(), "SELECT count(*) FROM WC_Chat"));

    seeker.close();
    EXPECT_EQ(nullptr, seeker.getTargetDb());
}

TEST_F(SeekerTest, FailuresStopAtTheirStage) {
    struct Case {
        const char* name;
        void (*build)(SourceBuilder&);
        const char* lastEvent;
        const char* function;
        const char* messagePart;
    } cases[] = {
        {"no Friend table", [](SourceBuilder& b) { b.exec("CREATE TABLE x (a)"); }, "+selectFriends",
         "query", "no such table: Friend"},
        {"Friend_Ext lacks a column",
         [](SourceBuilder& b) {
             b.exec(kFriendDdl);
             b.exec("CREATE TABLE Friend_Ext (UsrName TEXT, ConRemark TEXT)");
             b.contact("a");
         },
         "+selectFriends", "selectFriends", "colName[ConIntRes1] not exist!"},
        {"conversation table name of the wrong length",
         [](SourceBuilder& b) {
             b.contacts();
             b.exec(chatDdl("Chat_abc"));
             b.exec("INSERT INTO Chat_abc (Message) VALUES ('x')");
         },
         "+dumpChats", "dumpWchatChats", "chatTableName[Chat_abc] invalid!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(source);
        {
            SourceBuilder b(source);
            c.build(b);
        }
        WchatChatToDbSeeker seeker(source, "", nullptr);
        StageLog log;
        log.attach(seeker);
        seeker.run(1, 3, &error);
        EXPECT_FALSE(error.isSuccess());
        EXPECT_EQ(c.lastEvent, log.events.back());
        EXPECT_EQ(c.function, error.getFunctionName());
        EXPECT_NE(std::string::npos, error.getMessage().find(c.messagePart)) << error.getMessage();
    }
}

TEST_F(SeekerTest, AFileWithoutConversationsRecoversItsContacts) {
    {
        SourceBuilder b(source);
        b.contacts();
        b.contact("alice");
    }
    WchatChatToDbSeeker seeker(source, "", nullptr);
    StageLog log;
    log.attach(seeker);
    seeker.run(2, 3, &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    EXPECT_EQ(0u, log.values["dumpChats"]);
    EXPECT_EQ(0u, log.values["seekChats"]);
    EXPECT_EQ("finishTargetDb", log.events.back());
    EXPECT_EQ(1, scalar(seeker.getTargetDb(), "SELECT count(*) FROM WC_Friend"));
}

TEST_F(SeekerTest, AFailedMessageSeekStillFinishesTheStoreAndIsReported) {
    const std::string table = "Chat_" + Md5::hexDigest("alice");
    {
        SourceBuilder b(source);
        b.contacts();
        b.contact("alice");
        // A quoted table name is outside what the definition parser accepts.
        b.exec(chatDdl("\"" + table + "\""));
        b.exec("INSERT INTO " + table + " (MesSvrID, CreateTime, Message) VALUES (1, 1500000000, 'x')");
    }
    WchatChatToDbSeeker seeker(source, "", nullptr);
    StageLog log;
    log.attach(seeker);
    seeker.run(1, 0, &error);
    EXPECT_EQ("Parse WChat Chat DDL fail!", error.getMessage());
    EXPECT_EQ("seekWchatChats", error.getFunctionName());
    EXPECT_EQ("finishTargetDb", log.events.back());
    EXPECT_EQ(1, scalar(seeker.getTargetDb(), "SELECT chatNum FROM WC_Friend"));
}

TEST_F(SeekerTest, AnExistingStoreFileIsNotTouched) {
    {
        SourceBuilder b(source);
        b.contacts();
    }
    const std::string target = dir.file("store.sqlite");
    { std::ofstream(target) << "keep me"; }
    WchatChatToDbSeeker seeker(source, target, nullptr);
    StageLog log;
    log.attach(seeker);
    seeker.run(1, 0, &error);
    EXPECT_EQ(target + " already exist!", error.getMessage());
    EXPECT_EQ("createTargetDb", error.getFunctionName());
    EXPECT_EQ("+createTargetDb", log.events.back());
    std::ifstream in(target);
    std::string content;
    std::getline(in, content);
    EXPECT_EQ("keep me", content);
}

TEST_F(SeekerTest, AStoreFileIsWrittenAndClosedCleanly) {
    {
        SourceBuilder b(source);
        b.contacts();
        b.contact("alice");
        b.conversation("alice", 3, 1);
    }
    const std::string target = dir.file("store.sqlite");
    {
        WchatChatToDbSeeker seeker(source, target, nullptr);
        seeker.run(1, 0, &error);
        ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    }
    // Closed: a new connection can take the write lock and sees every row.
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(target.c_str(), &db));
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, "BEGIN EXCLUSIVE; COMMIT;", nullptr, nullptr, nullptr));
    EXPECT_EQ(3, scalar(db, "SELECT count(*) FROM WC_Chat"));
    sqlite3_close(db);
}

}  // namespace

// A cancel request stops the run at the next stage or batch boundary: the stage
// it interrupts reports no end, and nothing after it runs.
TEST_F(SeekerTest, ACancelRequestStopsAtTheNextBoundary) {
    {
        SourceBuilder b(source);
        b.contacts();
        b.contact("alice");
        b.conversation("alice", 2500, 1);
    }
    struct Case {
        Stage cancelAt;
        const char* lastEvent;
    } const cases[] = {
        {Stage::OpenDatabase, "openDatabase"},  // before the file is loaded
        {Stage::DumpChats, "+dumpChats"},       // between batches of the live copy
        {Stage::SeekChats, "finishTargetDb"},   // the message seek: the store is finished
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(stageName(c.cancelAt));
        std::atomic<bool> cancel{false};
        struct Canceller : StageLog {
            std::atomic<bool>* flag = nullptr;
            talwen::sqlite::SeekProgressIndicator* progress = nullptr;
            Stage at = Stage::OpenSourceDb;
            void onBegin(Stage stage, const StageReport& report) override {
                StageLog::onBegin(stage, report);
                if (stage != at) return;
                flag->store(true);
                progress->requestStop();
            }
        } log;
        talwen::sqlite::SeekProgressIndicator chatProgress;
        log.flag = &cancel;
        log.progress = &chatProgress;
        log.at = c.cancelAt;
        WchatChatToDbSeeker seeker(source, "", nullptr);
        log.attach(seeker);
        seeker.setChatSeekProgress(&chatProgress);
        seeker.setCancelFlag(&cancel);
        seeker.run(2, WchatChatToDbSeeker::kSeekFriends, &error);
        EXPECT_EQ("Recovery cancelled!", error.getMessage());
        EXPECT_EQ(-1, error.getCode());
        ASSERT_FALSE(log.events.empty());
        EXPECT_EQ(c.lastEvent, log.events.back()) << log.joined();
        if (c.cancelAt == Stage::SeekChats) {
            // The stopped seek scanned no page; the live messages are all there.
            EXPECT_EQ(0u, log.values["seekChats"]);
            EXPECT_EQ(2500, scalar(seeker.getTargetDb(), "SELECT count(*) FROM WC_Chat"));
        }
    }
}
