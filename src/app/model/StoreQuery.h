#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <QByteArray>
#include <QString>

#include "sqlite_recovery/ErrorInfo.h"

struct sqlite3;

namespace talwen {
namespace app {

// The whole result of one SQL statement held in memory, with values read by
// column name. Not thread-safe; one object per query.
class StoreQuery {
public:
    // Runs `sql` on `db` and keeps at most `rowCap` rows (0 keeps every row).
    // A statement that fails to prepare or step leaves the rows read so far and
    // a report in `error` (code -1, the library's message).
    void run(sqlite3* db, int rowCap, const std::string& sql, common::ErrorInfo* error);

    size_t rowCount() const { return rows_.size(); }

    // Value of a column of a row when it is stored as INTEGER (resp. TEXT);
    // false leaves `value` untouched (NULL, another storage class, unknown column).
    bool integerValue(size_t row, const char* column, int64_t* value) const;
    bool textValue(size_t row, const char* column, QString* value) const;
    bool isNull(size_t row, const char* column) const;

    // Reads into a field of a narrower type, keeping it when the value is not an INTEGER.
    template <typename T>
    void readInteger(size_t row, const char* column, T* field) const {
        int64_t value = 0;
        if (integerValue(row, column, &value)) {
            *field = static_cast<T>(value);
        }
    }
    void readText(size_t row, const char* column, QString* field) const { textValue(row, column, field); }

private:
    struct Value {
        int type = 0;  // SQLITE_INTEGER, SQLITE_TEXT, ... ; 0 before any value
        int64_t integer = 0;
        QByteArray text;
    };
    const Value* find(size_t row, const char* column) const;

    std::map<std::string, int> columns_;
    std::vector<std::vector<Value>> rows_;
};

}  // namespace app
}  // namespace talwen
