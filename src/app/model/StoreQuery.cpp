#include "app/model/StoreQuery.h"

#include <sqlite3.h>

#define WCR_UNIT "app/StoreQuery"

namespace talwen {
namespace app {

void StoreQuery::run(sqlite3* db, int rowCap, const std::string& sql, common::ErrorInfo* error) {
    error->clear();
    columns_.clear();
    rows_.clear();
    sqlite3_stmt* statement = nullptr;
    int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr);
    if (rc != SQLITE_OK) {
        WCR_SET_ERROR(error, -1, std::string("sqlite3_prepare_v2: ") + sqlite3_errmsg(db), "query");
        sqlite3_finalize(statement);
        return;
    }
    const int columnCount = sqlite3_column_count(statement);
    for (int i = 0; i < columnCount; ++i) {
        const char* name = sqlite3_column_name(statement, i);
        // The first column of a name wins, as a by-name lookup of a result set does.
        columns_.emplace(name ? name : "", i);
    }
    while (rowCap <= 0 || rows_.size() < static_cast<size_t>(rowCap)) {
        rc = sqlite3_step(statement);
        if (rc == SQLITE_DONE) {
            break;
        }
        if (rc != SQLITE_ROW) {
            WCR_SET_ERROR(error, -1, std::string("sqlite3_step: ") + sqlite3_errmsg(db), "query");
            break;
        }
        std::vector<Value> row(static_cast<size_t>(columnCount));
        for (int i = 0; i < columnCount; ++i) {
            Value& value = row[static_cast<size_t>(i)];
            value.type = sqlite3_column_type(statement, i);
            if (value.type == SQLITE_INTEGER) {
                value.integer = sqlite3_column_int64(statement, i);
            } else if (value.type == SQLITE_TEXT) {
                const unsigned char* text = sqlite3_column_text(statement, i);
                const int bytes = sqlite3_column_bytes(statement, i);
                value.text = QByteArray(reinterpret_cast<const char*>(text), bytes);
            }
        }
        rows_.push_back(std::move(row));
    }
    sqlite3_finalize(statement);
}

const StoreQuery::Value* StoreQuery::find(size_t row, const char* column) const {
    if (row >= rows_.size()) {
        return nullptr;
    }
    auto it = columns_.find(column);
    if (it == columns_.end()) {
        return nullptr;
    }
    return &rows_[row][static_cast<size_t>(it->second)];
}

bool StoreQuery::integerValue(size_t row, const char* column, int64_t* value) const {
    const Value* cell = find(row, column);
    if (!cell || cell->type != SQLITE_INTEGER) {
        return false;
    }
    *value = cell->integer;
    return true;
}

bool StoreQuery::textValue(size_t row, const char* column, QString* value) const {
    const Value* cell = find(row, column);
    if (!cell || cell->type != SQLITE_TEXT) {
        return false;
    }
    *value = QString::fromUtf8(cell->text);
    return true;
}

bool StoreQuery::isNull(size_t row, const char* column) const {
    const Value* cell = find(row, column);
    return !cell || cell->type == SQLITE_NULL;
}

}  // namespace app
}  // namespace talwen
