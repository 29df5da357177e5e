#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "common/ErrorInfo.h"
#include "sqlite_recovery/TableBtree.h"
#include "wchat/WchatChat.h"
#include "wchat/WchatFriend.h"

namespace talwen {
namespace wchat {

// The queries that read the live rows of the messenger's database (read-only
// connection) and hand them to WchatTranslator. Each clears the ErrorInfo first; a
// failed query yields an empty vector with its report, a failed translation the
// entities translated so far with its report. A result that lacks an expected
// column throws CommonException (from ResultSet), which the caller handles.
class WchatSourceDbDao {
public:
    WchatSourceDbDao() = delete;

    // One page of a conversation table. The table name comes from the scanned file,
    // so it is quoted as an identifier.
    static std::vector<std::shared_ptr<WchatChat>> selectChats(sqlite3* db,
                                                               const std::string& tableName,
                                                               uint32_t offset, uint32_t limit,
                                                               common::ErrorInfo* error);
    // The next rows of a conversation table by row id: at most `limit` rows whose
    // row id is above afterRowId, in row id order (the order of a plain scan of the
    // table, so the same rows in the same order as the LIMIT/OFFSET pages, without
    // reading the skipped rows again). lastRowId receives the last row's id.
    static std::vector<std::shared_ptr<WchatChat>> selectChatsAfter(sqlite3* db, const std::string& tableName,
                                                                    int64_t afterRowId, uint32_t limit,
                                                                    int64_t* lastRowId, common::ErrorInfo* error);
    static std::string buildSelectChatsAfterSql(const std::string& tableName, int64_t afterRowId, uint32_t limit);
    // The row id column selectChatsAfter adds after the table's own columns.
    static const char* const kRowIdColumn;
    static std::vector<std::shared_ptr<WchatFriend>> selectFriends(sqlite3* db,
                                                                   common::ErrorInfo* error);
    static std::vector<std::shared_ptr<sqlite::TableBtree>> selectChatTableBtrees(
        sqlite3* db, common::ErrorInfo* error);

    // The statement selectChats runs.
    static std::string buildSelectChatsSql(const std::string& tableName, uint32_t offset,
                                           uint32_t limit);
    // "name" with every inner double quote doubled.
    static std::string quoteIdentifier(const std::string& name);

    static const char* const kSelectFriendsSql;
    static const char* const kSelectChatTablesSql;
};

}  // namespace wchat
}  // namespace talwen
