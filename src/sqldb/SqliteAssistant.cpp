#include "sqldb/SqliteAssistant.h"

#include <filesystem>
#include <memory>
#include <system_error>

#define WCR_UNIT "sqldb/SqliteAssistant"

namespace talwen {
namespace sqldb {

namespace {

sqlite3* openWithFlags(const std::string& path, int flags, const std::string& shownPath,
                       const char* function, common::ErrorInfo* error) {
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    if (rc == SQLITE_OK) return db;
    // sqlite3_errmsg copes with a null handle (out of memory).
    const std::string text = sqlite3_errmsg(db);
    sqlite3_close(db);
    WCR_SET_ERROR(error, -1, "Open database" + shownPath + ": " + text, function);
    return nullptr;
}

sqlite3_stmt* prepare(sqlite3* db, const std::string& sql, const char* function,
                      common::ErrorInfo* error) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
        const std::string text = sqlite3_errmsg(db);
        sqlite3_finalize(stmt);
        WCR_SET_ERROR(error, -1, "Prepare statement[" + sql + "]: " + text, function);
        return nullptr;
    }
    return stmt;
}

// A "file:" URI of the absolute path. Every byte outside the unreserved set and "/"
// is percent-encoded, so "?", "#" and "%" in a file name cannot end the path early;
// SQLite decodes them again.
std::string fileUri(const std::string& path) {
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(std::filesystem::u8path(path), ec);
    if (ec) absolute = std::filesystem::u8path(path);
    std::string generic = absolute.generic_u8string();
    // A Windows drive path "C:/x" becomes "file:///C:/x".
    if (generic.empty() || generic.front() != '/') generic.insert(generic.begin(), '/');
    static const char kHex[] = "0123456789ABCDEF";
    // An empty authority ("file://" + "/path") keeps a path that starts with "//" a path.
    std::string uri = "file://";
    for (const char c : generic) {
        const unsigned char byte = static_cast<unsigned char>(c);
        const bool plain = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                           (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' ||
                           byte == '_' || byte == '~' || byte == '/' || byte == ':';
        if (plain) {
            uri.push_back(c);
        } else {
            uri.push_back('%');
            uri.push_back(kHex[byte >> 4]);
            uri.push_back(kHex[byte & 0xF]);
        }
    }
    return uri;
}

std::string columnText(sqlite3_stmt* stmt, int column) {
    const unsigned char* text = sqlite3_column_text(stmt, column);
    return text ? std::string(reinterpret_cast<const char*>(text)) : std::string();
}

}  // namespace

sqlite3* SqliteAssistant::openDatabaseReadOnly(const std::string& path, common::ErrorInfo* error) {
    return openWithFlags(path, SQLITE_OPEN_READONLY, "[" + path + "]", "openDatabaseReadOnly",
                         error);
}

sqlite3* SqliteAssistant::openDatabaseImmutable(const std::string& path, common::ErrorInfo* error) {
    return openWithFlags(immutableUri(path), SQLITE_OPEN_READONLY | SQLITE_OPEN_URI,
                         "[" + path + "]", "openDatabaseImmutable", error);
}

std::string SqliteAssistant::immutableUri(const std::string& path) {
    return fileUri(path) + "?immutable=1";
}

bool SqliteAssistant::tuneLibrary() {
    return sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0) == SQLITE_OK;
}

sqlite3* SqliteAssistant::openDatabase(const std::string& path, common::ErrorInfo* error) {
    // The empty file name asks the library for a private temporary database.
    const std::string shown = path.empty() ? std::string("[in Memory]") : "[" + path + "]";
    return openWithFlags(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, shown, "openDatabase",
                         error);
}

int SqliteAssistant::closeDatabase(sqlite3* db) {
    return sqlite3_close(db);
}

void SqliteAssistant::executeSql(sqlite3* db, const std::string& sql, common::ErrorInfo* error) {
    error->clear();
    char* message = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string text = message ? message : sqlite3_errmsg(db);
        sqlite3_free(message);
        WCR_SET_ERROR(error, -1, text, "executeSql");
    }
}

void SqliteAssistant::query(sqlite3* db, uint32_t maxRows, const std::string& sql,
                            ResultSet& resultSet, common::ErrorInfo* error) {
    sqlite3_stmt* stmt = prepare(db, sql, "query", error);
    if (!stmt) return;

    resultSet.clear();
    const int colCount = sqlite3_column_count(stmt);
    for (int i = 0; i < colCount; ++i) {
        const char* name = sqlite3_column_name(stmt, i);
        resultSet.addColName(name ? name : "");
    }

    for (;;) {
        if (maxRows != 0 && resultSet.getRowCount() >= maxRows) break;
        const int rc = sqlite3_step(stmt);
        if (rc == SQLITE_DONE) break;
        if (rc != SQLITE_ROW) {
            sqlite3_finalize(stmt);
            WCR_SET_ERROR(error, -1, "Step return code[" + std::to_string(rc) + "]!", "query");
            return;
        }
        // The row's values live in one block; each cell shares ownership of it, so
        // a row costs a few allocations instead of one per value.
        const size_t cells = static_cast<size_t>(colCount);
        const std::shared_ptr<ColValue[]> block(new ColValue[cells]);
        ResultSet::Row row;
        row.reserve(cells);
        for (int i = 0; i < colCount; ++i) {
            ColValue& cell = block[static_cast<size_t>(i)];
            const int type = sqlite3_column_type(stmt, i);
            switch (type) {
                case SQLITE_INTEGER:
                    cell = ColValue(static_cast<int64_t>(sqlite3_column_int64(stmt, i)));
                    break;
                case SQLITE_FLOAT:
                    cell = ColValue(sqlite3_column_double(stmt, i));
                    break;
                case SQLITE_TEXT:
                    cell = ColValue(columnText(stmt, i));
                    break;
                case SQLITE_BLOB: {
                    // Bytes first: asking for the size after the pointer may invalidate it.
                    const int length = sqlite3_column_bytes(stmt, i);
                    const void* blob = sqlite3_column_blob(stmt, i);
                    cell = ColValue(static_cast<const uint8_t*>(blob),
                                    blob ? static_cast<size_t>(length) : 0);
                    break;
                }
                case SQLITE_NULL:
                    break;
                default:
                    sqlite3_finalize(stmt);
                    WCR_SET_ERROR(error, -1, "Unknown colType[" + std::to_string(type) + "]!",
                                  "query");
                    return;
            }
            row.push_back(std::shared_ptr<ColValue>(block, &cell));
        }
        resultSet.addRow(std::move(row));
    }
    sqlite3_finalize(stmt);
}

std::vector<std::string> SqliteAssistant::queryTextValuesFromSingleField(sqlite3* db,
                                                                         uint32_t maxRows,
                                                                         const std::string& sql,
                                                                         common::ErrorInfo* error) {
    std::vector<std::string> values;
    sqlite3_stmt* stmt = prepare(db, sql, "queryTextValuesFromSingleField", error);
    if (!stmt) return values;

    const int colCount = sqlite3_column_count(stmt);
    if (colCount != 1) {
        sqlite3_finalize(stmt);
        WCR_SET_ERROR(error, -1, "Query columns[" + std::to_string(colCount) + "] more than 1!",
                      "queryTextValuesFromSingleField");
        return values;
    }
    for (;;) {
        if (maxRows != 0 && values.size() >= maxRows) break;
        const int rc = sqlite3_step(stmt);
        if (rc == SQLITE_DONE) break;
        if (rc != SQLITE_ROW) {
            sqlite3_finalize(stmt);
            WCR_SET_ERROR(error, -1, "Step return code[" + std::to_string(rc) + "]!",
                          "queryTextValuesFromSingleField");
            return values;
        }
        values.push_back(columnText(stmt, 0));
    }
    sqlite3_finalize(stmt);
    return values;
}

}  // namespace sqldb
}  // namespace talwen
