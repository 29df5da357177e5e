// The recovery store written to a file, the database read through its memory map
// and the live messages copied by row id ranges store exactly what the plain ways
// store: a store in memory, and live messages read by LIMIT/OFFSET pages.

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <string>
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
