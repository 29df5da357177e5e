// The recovery store written to a file, the database read through its memory map
// and the live messages copied by row id ranges store exactly what the plain ways
// store: a store in memory, and live messages read by LIMIT/OFFSET pages.

#include <gtest/gtest.h>

#include <fstream>

#include <sqlite3.h>

#include <cstdlib>
#include <map>
#include <tuple>
#include <string>
#include <utility>
#include <vector>

#include "PipelineTestSupport.h"
#include "common/CommonFacility.h"
#include "wchat/WchatChatToDbSeeker.h"

using talwen::common::ErrorInfo;
using talwen::wchat::WchatChatToDbSeeker;

namespace {

// Every row of every table of the store, in row id order, as text.
std::vector<std::string> dumpStore(sqlite3* db) {
    std::vector<std::string> rows;
    for (const char* table : {"WC_Friend", "WC_Chat", "WC_Chatroom", "WC_ChatFriend"}) {
        sqlite3_stmt* stmt = nullptr;
        const std::string sql = std::string("SELECT * FROM ") + table + " ORDER BY rowid;";
        EXPECT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr)) << sql;
        while (stmt != nullptr && sqlite3_step(stmt) == SQLITE_ROW) {
            std::string row = table;
            for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
                row += '|';
                switch (sqlite3_column_type(stmt, i)) {
                    case SQLITE_NULL: row += "N"; break;
                    case SQLITE_INTEGER: row += "I" + std::to_string(sqlite3_column_int64(stmt, i)); break;
                    case SQLITE_FLOAT: row += "R" + std::to_string(sqlite3_column_double(stmt, i)); break;
                    default: {
                        const auto* text = static_cast<const char*>(sqlite3_column_blob(stmt, i));
                        row += "T" + std::string(text ? text : "", size_t(sqlite3_column_bytes(stmt, i)));
                    }
                }
            }
            rows.push_back(row);
        }
        sqlite3_finalize(stmt);
    }
    return rows;
}

std::vector<std::string> recover(const std::string& source, const std::string& storePath, bool byOffset) {
    WchatChatToDbSeeker seeker(source, storePath, nullptr);
    seeker.setLiveCopyByOffset(byOffset);
    ErrorInfo error;
    // One seek thread: with two, carved rows reach the store in an order that
    // varies from run to run, in either way.
    seeker.run(1, WchatChatToDbSeeker::kSeekFriends | WchatChatToDbSeeker::kSeekChatTables, &error);
    EXPECT_TRUE(error.isSuccess()) << error.getMessage();
    if (seeker.getTargetDb() == nullptr) return {};
    return dumpStore(seeker.getTargetDb());
}

}  // namespace

TEST(BoundedMemoryStore, FileStoreAndRowIdRangesStoreWhatThePlainWaysStore) {
    struct Case {
        const char* profile;
        int seed;
    } const cases[] = {{"tiny", 3}, {"small", 7}, {"small", 11}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.profile) + " seed " + std::to_string(c.seed));
        wcrtest::TempDir dir("bounded");
        ASSERT_TRUE(wcrtest::generateMessengerDb(dir.path(), c.profile, c.seed));
        const std::string source = dir.file("MM.sqlite");
        const std::vector<std::string> plain = recover(source, "", true);
        ASSERT_GT(plain.size(), 10u);
        const std::vector<std::string> bounded = recover(source, dir.file("store.work"), false);
        ASSERT_EQ(plain.size(), bounded.size());
        for (size_t i = 0; i < plain.size(); ++i) ASSERT_EQ(plain[i], bounded[i]) << "row " << i;
    }
}

// A database in WAL mode: every message that only the log holds is stored as
// live; deleted rows whose page images survive only in older frames are carved
// from the log, each with its frame; rows carved from the file say frame 0 and
// live rows none. A page found in many frames gives its deleted rows once.
TEST(BoundedMemoryStore, MessagesOfTheWriteAheadLog) {
    wcrtest::TempDir dir("walstore");
    const std::string command = std::string("python3 '") + WCR_TOOLS_DIR + "/gen_messenger_db.py' --out '" +
                                dir.path() + "' --profile small --seed 7 --wal > /dev/null";
    ASSERT_EQ(0, std::system(command.c_str()));
    const wcrtest::JsonValue truth = wcrtest::readTruth(dir.path());
    WchatChatToDbSeeker seeker(dir.file("MM.sqlite"), dir.file("store.work"), nullptr);
    ErrorInfo error;
    seeker.run(2, WchatChatToDbSeeker::kSeekFriends | WchatChatToDbSeeker::kSeekChatTables, &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    ASSERT_NE(nullptr, seeker.getWal());
    if (const char* keep = std::getenv("WCR_KEEP_STORE")) {
        ErrorInfo saveError;
        seeker.getStore()->saveTargetDb(keep, &saveError);
    }
    sqlite3* store = seeker.getTargetDb();

    // (mesSvrId, createTime, message) -> (obtainWay, walFrame or -1) of every stored
    // message. A misread of a partly overwritten copy (other type, cut text) is
    // another message.
    std::multimap<std::tuple<int64_t, int64_t, std::string>, std::pair<int, int64_t>> stored;
    const auto rs = wcrtest::selectRows(store, "SELECT ifnull(mesSvrId, -1), ifnull(createTime, -1), obtainWay, "
                                               "ifnull(walFrame, -1), ifnull(message, '') FROM WC_Chat");
    for (size_t i = 0; i < rs.getRowCount(); ++i) {
        const auto r = static_cast<uint32_t>(i);
        stored.insert({{rs.getValue(r, 0u)->getIntegerValue(), rs.getValue(r, 1u)->getIntegerValue(),
                        rs.getValue(r, 4u)->getTextValue()},
                       {int(rs.getValue(r, 2u)->getIntegerValue()), rs.getValue(r, 3u)->getIntegerValue()}});
    }
    int liveInLog = 0, deletedInLog = 0, deletedFound = 0;
    for (const wcrtest::JsonValue& m : truth["messages"].array()) {
        if (!m["wal"].boolean()) continue;
        const auto found =
            stored.equal_range(std::make_tuple(m["mesSvrId"].integer(), m["createTime"].integer(), m["message"].str()));
        std::vector<std::pair<int, int64_t>> rows;
        for (auto it = found.first; it != found.second; ++it) rows.push_back(it->second);
        if (!m["deleted"].boolean()) {
            ++liveInLog;
            ASSERT_EQ(1u, rows.size()) << m["message"].str();
            EXPECT_EQ(1, rows[0].first);
            EXPECT_EQ(-1, rows[0].second);
        } else {
            ++deletedInLog;
            // Carved as the file's pages are: a row the seek passes over in a page
            // image (as it can in the file) is missed, so most, not all.
            EXPECT_GE(1u, rows.size()) << "once, however many frames hold it: " << m["message"].str();
            if (rows.empty()) continue;
            ++deletedFound;
            EXPECT_EQ(2, rows[0].first);
            EXPECT_GT(rows[0].second, 0) << "carved from a frame of the log";
        }
    }
    EXPECT_GT(liveInLog, 50);
    EXPECT_GT(deletedInLog, 20);
    EXPECT_GE(deletedFound * 10, deletedInLog * 8) << deletedFound << " of " << deletedInLog;
    EXPECT_EQ(0, wcrtest::selectRows(store, "SELECT count(*) FROM WC_Chat WHERE obtainWay = 2 AND walFrame IS NULL")
                     .getValue(0, 0u)->getIntegerValue());
    EXPECT_EQ(0, wcrtest::selectRows(store, "SELECT count(*) FROM WC_Chat WHERE obtainWay = 1 AND walFrame IS NOT NULL")
                     .getValue(0, 0u)->getIntegerValue());
    EXPECT_GT(wcrtest::selectRows(store, "SELECT count(*) FROM WC_Chat WHERE walFrame = 0").getValue(0, 0u)->getIntegerValue(),
              0);
}

// A log whose last frame is torn (the phone stopped while writing it) is read as
// far as it is sound, and the result names what was left out.
TEST(BoundedMemoryStore, TornWriteAheadLogIsReadAsFarAsItIsSound) {
    wcrtest::TempDir dir("torn-wal");
    const std::string command = std::string("python3 '") + WCR_TOOLS_DIR + "/gen_messenger_db.py' --out '" +
                                dir.path() + "' --profile tiny --seed 3 --wal > /dev/null";
    ASSERT_EQ(0, std::system(command.c_str()));
    {
        std::ofstream wal(dir.file("MM.sqlite-wal"), std::ios::binary | std::ios::app);
        wal << std::string(100, '\x5a');  // a frame header and part of its page
    }
    WchatChatToDbSeeker seeker(dir.file("MM.sqlite"), dir.file("store.work"), nullptr);
    ErrorInfo error;
    seeker.run(2, WchatChatToDbSeeker::kSeekFriends | WchatChatToDbSeeker::kSeekChatTables, &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    ASSERT_NE(nullptr, seeker.getWal());
    EXPECT_FALSE(seeker.getWal()->getFrames().empty());
    ASSERT_EQ(1u, seeker.getPartialReasons().size());
    EXPECT_EQ(0u, seeker.getPartialReasons()[0].find("MM.sqlite-wal: write-ahead log ends in a torn frame"))
        << seeker.getPartialReasons()[0];
}
