#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "common/ErrorInfo.h"
#include "sqldb/ResultSet.h"

namespace talwen {
namespace sqldb {

// Every access through the SQLite library: opening and closing connections,
// running SQL text without results, and reading a statement's rows into a
// ResultSet. Holds no state and takes no locks; a connection is used by one thread
// at a time (the recovery store's writer serialises its own users).
class SqliteAssistant {
public:
    // Turns off the library's memory statistics before its first use: with them on,
    // every allocation and free of every connection takes one process-wide lock,
    // which a recovery pays millions of times. Call once at the start of a
    // program, before any thread uses the library; false when the library was
    // already in use (nothing changes then).
    static bool tuneLibrary();
    SqliteAssistant() = delete;

    // Returns null on failure, the ErrorInfo untouched on success.
    static sqlite3* openDatabaseReadOnly(const std::string& path, common::ErrorInfo* error);
    // Read-only and immutable, for a file that must stay untouched (a database inside
    // a device backup): the library takes no locks and creates no journal, WAL or
    // shared-memory file beside it. Reports as openDatabaseReadOnly does.
    static sqlite3* openDatabaseImmutable(const std::string& path, common::ErrorInfo* error);
    // The read-only immutable "file:" URI of a path (absolute, percent-encoded), to
    // open with SQLITE_OPEN_READONLY | SQLITE_OPEN_URI: nothing is ever written
    // beside the file, not even a journal.
    static std::string immutableUri(const std::string& path);
    // An empty path opens a private temporary database without a file name.
    static sqlite3* openDatabase(const std::string& path, common::ErrorInfo* error);
    // The library's result code; a connection with unfinalized statements stays open.
    static int closeDatabase(sqlite3* db);

    static void executeSql(sqlite3* db, const std::string& sql, common::ErrorInfo* error);

    // maxRows 0 = no limit. Does not clear the ErrorInfo on success; a failing prepare
    // leaves resultSet as it was.
    static void query(sqlite3* db, uint32_t maxRows, const std::string& sql, ResultSet& resultSet,
                      common::ErrorInfo* error);
    // The text of the single column of every row; a NULL value reads as the empty text.
    static std::vector<std::string> queryTextValuesFromSingleField(sqlite3* db, uint32_t maxRows,
                                                                   const std::string& sql,
                                                                   common::ErrorInfo* error);
};

}  // namespace sqldb
}  // namespace talwen
