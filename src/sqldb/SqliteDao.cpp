#include "sqldb/SqliteDao.h"

#define WCR_UNIT "sqldb/SqliteDao"

namespace talwen {
namespace sqldb {

namespace {

bool bindsNull(const common::EntityBase& entity, uint64_t mask, bool honourFlags) {
    return honourFlags && !entity.hasValue(mask);
}

bool report(int rc, const char* paramName, const char* function, common::ErrorInfo* error) {
    if (rc == SQLITE_OK) return true;
    WCR_SET_ERROR(error, -1, std::string("Bind[") + paramName + "]: " + sqlite3_errstr(rc), function);
    return false;
}

}  // namespace

bool SqliteDao::bindIntValue(const char* paramName, const common::EntityBase& entity,
                             sqlite3_stmt* stmt, uint64_t mask, int paramIndex, int32_t value,
                             bool honourFlags, common::ErrorInfo* error) {
    const int rc = bindsNull(entity, mask, honourFlags) ? sqlite3_bind_null(stmt, paramIndex)
                                                        : sqlite3_bind_int(stmt, paramIndex, value);
    return report(rc, paramName, "bindIntValue", error);
}

bool SqliteDao::bindInt64Value(const char* paramName, const common::EntityBase& entity,
                               sqlite3_stmt* stmt, uint64_t mask, int paramIndex, int64_t value,
                               bool honourFlags, common::ErrorInfo* error) {
    const int rc = bindsNull(entity, mask, honourFlags)
                       ? sqlite3_bind_null(stmt, paramIndex)
                       : sqlite3_bind_int64(stmt, paramIndex, static_cast<sqlite3_int64>(value));
    return report(rc, paramName, "bindInt64Value", error);
}

bool SqliteDao::bindTextValue(const char* paramName, const common::EntityBase& entity,
                              sqlite3_stmt* stmt, uint64_t mask, int paramIndex,
                              const std::string& value, bool honourFlags,
                              common::ErrorInfo* error, bool borrowed) {
    const int rc = bindsNull(entity, mask, honourFlags)
                       ? sqlite3_bind_null(stmt, paramIndex)
                       : sqlite3_bind_text(stmt, paramIndex, value.c_str(), -1,
                                           borrowed ? SQLITE_STATIC : SQLITE_TRANSIENT);
    return report(rc, paramName, "bindTextValue", error);
}

}  // namespace sqldb
}  // namespace talwen
