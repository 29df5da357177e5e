#pragma once

#include <string>

#include <sqlite3.h>

#include "common/ErrorInfo.h"

namespace talwen {
namespace wchat {

// A prepared statement of the store, finalised when it goes. A statement that
// cannot be prepared sets the error, naming the caller's unit and function, and
// tests false.
class StoreStatement {
public:
    StoreStatement(sqlite3* db, const char* sql, common::ErrorInfo* error, const char* unit, const char* function) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
            error->set(-1, std::string("sqlite3_prepare_v2: ") + sqlite3_errmsg(db), unit, function, __LINE__);
            stmt_ = nullptr;
        }
    }
    ~StoreStatement() { sqlite3_finalize(stmt_); }
    StoreStatement(const StoreStatement&) = delete;
    StoreStatement& operator=(const StoreStatement&) = delete;
    sqlite3_stmt* get() const { return stmt_; }
    explicit operator bool() const { return stmt_ != nullptr; }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace wchat
}  // namespace talwen
