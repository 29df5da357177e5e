#pragma once

#include <cstdint>
#include <string>

#include <sqlite3.h>

#include "common/EntityBase.h"
#include "common/ErrorInfo.h"

namespace talwen {
namespace sqldb {

// Binds an entity's field to a statement parameter. With honourFlags on, a field
// that was never given or was marked NULL (by its bit `mask`) binds NULL; with it
// off the value is bound and the mask is not consulted. A failure is reported as
// "Bind[" + paramName + "]: " + the library's text; success leaves the ErrorInfo
// untouched, so the result tells the caller whether the bind worked.
class SqliteDao {
public:
    SqliteDao() = delete;

    // paramName is a C string: the store binds over ten values a row, and the
    // name is only needed for a failure's message.
    static bool bindIntValue(const char* paramName, const common::EntityBase& entity,
                             sqlite3_stmt* stmt, uint64_t mask, int paramIndex, int32_t value,
                             bool honourFlags, common::ErrorInfo* error);
    static bool bindInt64Value(const char* paramName, const common::EntityBase& entity,
                               sqlite3_stmt* stmt, uint64_t mask, int paramIndex, int64_t value,
                               bool honourFlags, common::ErrorInfo* error);
    // The text ends at its first NUL byte. The library keeps its own copy, unless
    // borrowed: then `value` must outlive every run of the statement with this
    // binding (the caller binds the parameter again before the next run).
    static bool bindTextValue(const char* paramName, const common::EntityBase& entity,
                              sqlite3_stmt* stmt, uint64_t mask, int paramIndex,
                              const std::string& value, bool honourFlags, common::ErrorInfo* error,
                              bool borrowed = false);
};

}  // namespace sqldb
}  // namespace talwen
