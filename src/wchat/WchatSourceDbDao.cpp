#include "wchat/WchatSourceDbDao.h"

#include "wchat/ResultSet.h"
#include "wchat/SqliteAssistant.h"
#include "wchat/WchatTranslator.h"

namespace talwen {
namespace sqlite {
namespace wchat {

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
    error->clear();
    ResultSet resultSet;
    SqliteAssistant::query(db, 0, buildSelectChatsSql(tableName, offset, limit), resultSet, error);
    if (!error->isSuccess()) return {};
    return WchatTranslator::translateResultSetToWchatChats(resultSet, error);
}

std::vector<std::shared_ptr<WchatFriend>> WchatSourceDbDao::selectFriends(
    sqlite3* db, common::ErrorInfo* error) {
    error->clear();
    ResultSet resultSet;
    SqliteAssistant::query(db, 0, kSelectFriendsSql, resultSet, error);
    if (!error->isSuccess()) return {};
    return WchatTranslator::translateResultSetToWchatFriends(resultSet, error);
}

std::vector<std::shared_ptr<TableBtree>> WchatSourceDbDao::selectChatTableBtrees(
    sqlite3* db, common::ErrorInfo* error) {
    error->clear();
    ResultSet resultSet;
    SqliteAssistant::query(db, 0, kSelectChatTablesSql, resultSet, error);
    if (!error->isSuccess()) return {};
    return WchatTranslator::translateResultSetToTableBtrees(resultSet, error);
}

}  // namespace wchat
}  // namespace sqlite
}  // namespace talwen
