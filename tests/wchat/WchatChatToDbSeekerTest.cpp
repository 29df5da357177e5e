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

// What is still fatal: a source that is no database at all, another program's
// database (a readable schema without one messenger table), a store that exists.
TEST_F(SeekerTest, ASourceThatIsNoMessengerDatabaseStopsTheRun) {
    for (const bool sqliteFile : {false, true}) {
        SCOPED_TRACE(sqliteFile);
        std::filesystem::remove(source);
        if (sqliteFile) {
            SourceBuilder b(source);
            b.exec("CREATE TABLE notes (a)");
        } else {
            std::ofstream(source) << std::string(4096, 'x');
        }
        WchatChatToDbSeeker seeker(source, "", nullptr);
        StageLog log;
        log.attach(seeker);
        seeker.run(1, 3, &error);
        EXPECT_FALSE(error.isSuccess());
        if (sqliteFile) {
            EXPECT_EQ("No messenger table (Friend, Chat_...) in the database!", error.getMessage());
        }
        EXPECT_TRUE(seeker.getPartialReasons().empty());
        EXPECT_EQ(std::string::npos, log.joined().find("finishTargetDb")) << log.joined();
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

TEST_F(SeekerTest, AMessageTableWithoutRowIdIsCopiedButNotCarved) {
    const std::string table = "Chat_" + Md5::hexDigest("alice");
    {
        SourceBuilder b(source);
        b.contacts();
        b.contact("alice");
        b.exec("CREATE TABLE " + table +
               " (TableVer integer default 1, MesLocalID integer primary key, MesSvrID integer default 0, "
               "CreateTime integer default 0, Message text, Status integer default 0, ImgStatus integer "
               "default 2, Type integer, Des integer) WITHOUT ROWID");
        b.exec("INSERT INTO " + table + " (MesLocalID, MesSvrID, CreateTime, Message) VALUES (1, 1, 1500000000, 'x')");
    }
    WchatChatToDbSeeker seeker(source, "", nullptr);
    StageLog log;
    log.attach(seeker);
    seeker.run(1, 0, &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    EXPECT_EQ("finishTargetDb", log.events.back());
    EXPECT_EQ(1, scalar(seeker.getTargetDb(), "SELECT chatNum FROM WC_Friend"));
    ASSERT_EQ(1u, seeker.getPartialReasons().size());
    EXPECT_NE(std::string::npos, seeker.getPartialReasons()[0].find("WITHOUT ROWID")) << seeker.getPartialReasons()[0];
    EXPECT_EQ(seeker.getPartialReasons(), seeker.getStore()->summary(&error).partialReasons);
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

namespace {

// The bytes of page `page` (from 1) of a database file, for damaging it in place.
void damagePage(const std::string& path, uint32_t pageSize, uint32_t page, uint32_t offset, uint8_t value) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(page - 1) * pageSize + offset);
    file.put(static_cast<char>(value));
}

// The last leaf of a table b-tree whose root is an interior page: its right-most child.
uint32_t lastLeafOf(const std::string& path, uint32_t pageSize, uint32_t root) {
    std::ifstream file(path, std::ios::binary);
    std::vector<unsigned char> page(pageSize);
    file.seekg(static_cast<std::streamoff>(root - 1) * pageSize);
    file.read(reinterpret_cast<char*>(page.data()), pageSize);
    const size_t header = root == 1 ? 100 : 0;
    if (page[header] != 5) return 0;  // not an interior table page
    return (uint32_t(page[header + 8]) << 24) | (uint32_t(page[header + 9]) << 16) |
           (uint32_t(page[header + 10]) << 8) | page[header + 11];
}

bool anyReasonHas(const std::vector<std::string>& reasons, const std::string& part) {
    for (const std::string& reason : reasons)
        if (reason.find(part) != std::string::npos) return true;
    return false;
}

std::string joinedReasons(const std::vector<std::string>& reasons) {
    std::string all;
    for (const std::string& reason : reasons) all += reason + " | ";
    return all;
}

}  // namespace

// Each table's first batch is read while the last batch of the table before it
// is stored; the store gets the rows of the plain copy (LIMIT/OFFSET pages, no
// read ahead) in the same order, also around a table whose read fails and
// whose rows are then read one by one.
TEST_F(SeekerTest, TablesReadAheadStoreWhatThePlainCopyStores) {
    {
        SourceBuilder b(source);
        b.contacts();
        const struct {
            const char* owner;
            int rows;
        } tables[] = {{"empty", 0}, {"few", 3}, {"range", 5000}, {"range1", 5001}, {"broken", 1500}, {"last", 2}};
        for (const auto& t : tables) {
            b.contact(t.owner);
            const std::string table = b.conversation(t.owner, t.rows, 1000000LL * (&t - tables + 1));
            if (std::string(t.owner) == "broken") {
                b.exec("UPDATE " + table + " SET CreateTime = 'yesterday' WHERE MesLocalID = 700");
            }
        }
    }
    const auto copy = [&](bool byOffset, std::vector<std::string>* reasons) {
        WchatChatToDbSeeker seeker(source, "", nullptr);
        seeker.setLiveCopyByOffset(byOffset);
        ErrorInfo runError;
        seeker.run(1, 0, &runError);
        EXPECT_TRUE(runError.isSuccess()) << runError.getMessage();
        *reasons = seeker.getPartialReasons();
        std::vector<std::string> rows;
        for (const char* sql :
             {"SELECT rcChatId || '|' || mesSvrId || '|' || createTime || '|' || message FROM WC_Chat ORDER BY rowid",
              "SELECT rcFriendId || '|' || rcChatId || '|' || deduceType FROM WC_Chatroom ORDER BY rowid",
              "SELECT rcFriendId || '|' || rcChatId || '|' || deduceType FROM WC_ChatFriend ORDER BY rowid"}) {
            const auto rs = wcrtest::selectRows(seeker.getTargetDb(), sql);
            for (uint32_t r = 0; r < rs.getRowCount(); ++r) rows.push_back(rs.getValue(r, 0u)->getTextValue());
        }
        return rows;
    };
    std::vector<std::string> plainReasons, aheadReasons;
    const std::vector<std::string> plain = copy(true, &plainReasons);
    const std::vector<std::string> ahead = copy(false, &aheadReasons);
    ASSERT_EQ(3 * (3 + 5000 + 5001 + 1499 + 2), static_cast<int>(plain.size()));
    ASSERT_EQ(plain.size(), ahead.size());
    for (size_t i = 0; i < plain.size(); ++i) ASSERT_EQ(plain[i], ahead[i]) << "row " << i;
    EXPECT_EQ(plainReasons, aheadReasons);
    EXPECT_TRUE(anyReasonHas(aheadReasons, " 1 live rows skipped (first: ")) << joinedReasons(aheadReasons);
}

// One unexpected item of the messenger's database is skipped with a reason; the
// run goes on and the store holds everything else the file has.
TEST_F(SeekerTest, ADamagedSourceGivesWhatItHoldsAndSaysWhatItLost) {
    const std::string alice = "Chat_" + Md5::hexDigest("alice");
    const uint32_t kPageSize = 1024;
    struct Case {
        const char* name;
        void (*build)(SourceBuilder&);
        // Damages the closed file; may be null.
        void (*damage)(const std::string& path);
        const char* reasonPart;  // empty: the result is complete
        int64_t minLiveChats;
        int64_t minAllChats;
        int64_t friends;
    } const cases[] = {
        {"no Friend table",
         [](SourceBuilder& b) { b.conversation("alice", 5, 1); }, nullptr, "live contacts not read", 5, 5, 1},
        {"Friend_Ext lacks a column",
         [](SourceBuilder& b) {
             b.exec(kFriendDdl);
             b.exec("CREATE TABLE Friend_Ext (UsrName TEXT, ConRemark TEXT)");
             b.contact("alice");
             b.conversation("alice", 5, 1);
         },
         nullptr, "Friend: 1 of 1 live rows skipped (first: ", 5, 5, 1},
        {"a conversation table named Chat_abc",
         [](SourceBuilder& b) {
             b.contacts();
             b.contact("alice");
             b.conversation("alice", 5, 1);
             b.exec(chatDdl("Chat_abc"));
             b.exec("INSERT INTO Chat_abc (Message) VALUES ('x')");
         },
         nullptr, "Chat_abc: chatTableName[Chat_abc] invalid!", 5, 5, 1},
        {"a message whose CreateTime is text",
         [](SourceBuilder& b) {
             b.contacts();
             b.contact("alice");
             const std::string table = b.conversation("alice", 1500, 1);
             b.exec("UPDATE " + table + " SET CreateTime = 'yesterday' WHERE MesLocalID = 1200");
         },
         nullptr, " 1 live rows skipped (first: ", 1499, 1499, 1},
        {"a conversation table the translation cannot read at all",
         [](SourceBuilder& b) {
             b.contacts();
             b.contact("alice");
             b.conversation("alice", 5, 1);
             const std::string table = "Chat_" + Md5::hexDigest("bob");
             b.exec("CREATE TABLE " + table + "(TableVer integer default 1, MesLocalID integer primary key, "
                    "MesSvrID integer default 0, CreateTime integer default 0, Message text)");
             b.exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2500) INSERT INTO " +
                    table + " (MesSvrID, CreateTime, Message) SELECT 100000 + i, 1500000000 + i, 'b' || i FROM n");
         },
         nullptr, "no row of 1000 readable (first: ", 5, 5, 1},
        {"a contact whose UsrName is a blob",
         [](SourceBuilder& b) {
             b.contacts();
             b.contact("alice");
             b.contact("bob");
             b.exec("UPDATE Friend SET UsrName = x'00ff' WHERE UsrName = 'bob'");
             b.conversation("alice", 5, 1);
         },
         nullptr, "Friend: 1 of 2 live rows skipped (first: ", 5, 5, 1},
        {"CHECK, a table constraint, a column without a type, STRICT",
         [](SourceBuilder& b) {
             b.contacts();
             b.contact("alice");
             const std::string table = "Chat_" + Md5::hexDigest("alice");
             b.exec("CREATE TABLE " + table +
                    " (TableVer INTEGER DEFAULT 1, MesLocalID INTEGER PRIMARY KEY AUTOINCREMENT, MesSvrID "
                    "INTEGER DEFAULT 0 CHECK (MesSvrID >= 0), CreateTime INTEGER DEFAULT 0, Message TEXT, "
                    "Status INTEGER DEFAULT 0, ImgStatus INTEGER DEFAULT 2, Type INTEGER, Des ANY, "
                    "UNIQUE (MesSvrID, CreateTime)) STRICT");
             for (int i = 0; i < 200; ++i) {
                 b.exec("INSERT INTO " + table + " (MesSvrID, CreateTime, Message, Type, Des) VALUES (" +
                        std::to_string(1000 + i) + ", " + std::to_string(1500000000 + i) +
                        ", 'a message that is long enough to fill a page with a few of its kind, number " +
                        std::to_string(i) + "', 1, 1)");
             }
             b.exec("DELETE FROM " + table + " WHERE MesLocalID BETWEEN 51 AND 150");
         },
         nullptr, "", 100, 101, 1},
        {"a file missing its last pages",
         [](SourceBuilder& b) {
             b.contacts();
             b.contact("alice");
             b.conversation("alice", 400, 1);
         },
         [](const std::string& path) {
             std::filesystem::resize_file(path, std::filesystem::file_size(path) - 3 * 1024);
         },
         "whole pages of the", 0, 100, 1},
        {"a corrupt leaf page of a conversation",
         [](SourceBuilder& b) {
             b.contacts();
             b.contact("alice");
             b.conversation("alice", 400, 1);
         },
         nullptr, "Step return code[11]!", 0, 100, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(source);
        {
            SourceBuilder b(source);
            b.exec("PRAGMA page_size = " + std::to_string(kPageSize));
            b.exec("PRAGMA secure_delete = OFF");
            c.build(b);
        }
        if (c.damage) c.damage(source);
        if (std::string(c.name) == "a corrupt leaf page of a conversation") {
            sqlite3* db = nullptr;
            ASSERT_EQ(SQLITE_OK, sqlite3_open(source.c_str(), &db));
            const int64_t root = scalar(db, "SELECT rootpage FROM sqlite_master WHERE name = '" + alice + "'");
            sqlite3_close(db);
            const uint32_t leaf = lastLeafOf(source, kPageSize, static_cast<uint32_t>(root));
            ASSERT_NE(0u, leaf);
            damagePage(source, kPageSize, leaf, 0, 0x07);  // no such page type
        }
        WchatChatToDbSeeker seeker(source, "", nullptr);
        StageLog log;
        log.attach(seeker);
        seeker.run(2, 3, &error);
        ASSERT_TRUE(error.isSuccess()) << error.getMessage();
        EXPECT_EQ("finishTargetDb", log.events.back()) << log.joined();
        const std::vector<std::string>& reasons = seeker.getPartialReasons();
        if (*c.reasonPart == '\0') {
            EXPECT_TRUE(reasons.empty()) << joinedReasons(reasons);
        } else {
            EXPECT_TRUE(anyReasonHas(reasons, c.reasonPart)) << joinedReasons(reasons);
        }
        const talwen::wchat::StoreSummary summary = seeker.getStore()->summary(&error);
        ASSERT_TRUE(error.isSuccess());
        EXPECT_EQ(reasons, summary.partialReasons) << "the store keeps the reasons";
        EXPECT_GE(summary.liveChats, c.minLiveChats);
        EXPECT_GE(summary.liveChats + summary.carvedChats, c.minAllChats);
        // A contact the copy lost may still be carved; its conversation is then tied to that row.
        EXPECT_EQ(c.friends, summary.liveFriends + summary.madeUpFriends + summary.carvedFriends);
    }
}
