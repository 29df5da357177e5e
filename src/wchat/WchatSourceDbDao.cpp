#include "wchat/WchatSourceDbDao.h"

#include "sqldb/ColValue.h"
#include "sqldb/ResultSet.h"
#include "sqldb/SqliteAssistant.h"
#include "wchat/WchatTranslator.h"

namespace talwen {
namespace wchat {

namespace {

// Every row of sql, translated; an empty list with the query's report when the
// query fails.
template <class Entity>
std::vector<std::shared_ptr<Entity>> selectTranslated(
    sqlite3* db, const std::string& sql,
    std::vector<std::shared_ptr<Entity>> (*translate)(const sqldb::ResultSet&, common::ErrorInfo*),
    common::ErrorInfo* error) {
    error->clear();
    sqldb::ResultSet resultSet;
    sqldb::SqliteAssistant::query(db, 0, sql, resultSet, error);
    if (!error->isSuccess()) return {};
    return translate(resultSet, error);
}

}  // namespace

const char* const WchatSourceDbDao::kSelectFriendsSql =
    "SELECT * FROM Friend LEFT JOIN Friend_Ext ON Friend.UsrName = Friend_Ext.UsrName;";
const char* const WchatSourceDbDao::kSelectChatTablesSql =
    "SELECT tbl_name, rootpage FROM sqlite_master WHERE (type='table') AND (tbl_name LIKE "
    "'Chat\\_%' ESCAPE '\\');";

std::string WchatSourceDbDao::quoteIdentifier(const std::string& name) {
    std::string quoted = "\"";
    for (char c : name) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

std::string WchatSourceDbDao::buildSelectChatsSql(const std::string& tableName, uint32_t offset,
                                                  uint32_t limit) {
    return "SELECT * FROM " + quoteIdentifier(tableName) + " LIMIT " + std::to_string(limit) +
           " OFFSET " + std::to_string(offset) + ";";
}

std::vector<std::shared_ptr<WchatChat>> WchatSourceDbDao::selectChats(sqlite3* db,
                                                                      const std::string& tableName,
                                                                      uint32_t offset,
                                                                      uint32_t limit,
                                                                      common::ErrorInfo* error) {
    return selectTranslated(db, buildSelectChatsSql(tableName, offset, limit),
                            &WchatTranslator::translateResultSetToWchatChats, error);
}

const char* const WchatSourceDbDao::kRowIdColumn = "wcr_rowid_";

std::string WchatSourceDbDao::buildSelectChatsAfterSql(const std::string& tableName, int64_t afterRowId,
                                                       uint32_t limit) {
    // The row id goes last: lookups by name find a table's own column first.
    return std::string("SELECT *, rowid AS ") + kRowIdColumn + " FROM " + quoteIdentifier(tableName) +
           " WHERE rowid > " + std::to_string(afterRowId) + " ORDER BY rowid LIMIT " + std::to_string(limit) + ";";
}

std::vector<std::shared_ptr<WchatChat>> WchatSourceDbDao::selectChatsAfter(sqlite3* db, const std::string& tableName,
                                                                           int64_t afterRowId, uint32_t limit,
                                                                           int64_t* lastRowId,
                                                                           common::ErrorInfo* error) {
    error->clear();
    sqldb::ResultSet resultSet;
    sqldb::SqliteAssistant::query(db, 0, buildSelectChatsAfterSql(tableName, afterRowId, limit), resultSet, error);
    if (!error->isSuccess()) return {};
    const size_t rows = resultSet.getRowCount();
    if (rows > 0) {
        const std::shared_ptr<sqldb::ColValue> last =
            resultSet.getValue(static_cast<uint32_t>(rows - 1), static_cast<uint32_t>(resultSet.getColCount() - 1));
        *lastRowId = last->isInteger() ? last->getIntegerValue() : afterRowId;
    }
    return WchatTranslator::translateResultSetToWchatChats(resultSet, error);
}

std::vector<std::shared_ptr<WchatFriend>> WchatSourceDbDao::selectFriends(
    sqlite3* db, common::ErrorInfo* error) {
    return selectTranslated(db, kSelectFriendsSql,
                            &WchatTranslator::translateResultSetToWchatFriends, error);
}

std::vector<std::shared_ptr<sqlite::TableBtree>> WchatSourceDbDao::selectChatTableBtrees(
    sqlite3* db, common::ErrorInfo* error) {
    return selectTranslated(db, kSelectChatTablesSql,
                            &WchatTranslator::translateResultSetToTableBtrees, error);
}

}  // namespace wchat
}  // namespace talwen
