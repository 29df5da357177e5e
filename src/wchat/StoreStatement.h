#pragma once

#include <cstdint>
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

// The index of WC_Chatroom by message, which the store keeps once the duplicate
// merge made it: what comes after the seek looks links up by message, and the
// table's own key starts with the contact. False with the error set when it is
// missing and cannot be made.
inline bool ensureChatroomByChatIndex(sqlite3* db, common::ErrorInfo* error, const char* unit, const char* function) {
    if (sqlite3_exec(db, "CREATE INDEX IF NOT EXISTS Chatroom_RcChatId_Index ON WC_Chatroom (rcChatId);", nullptr,
                     nullptr, nullptr) == SQLITE_OK)
        return true;
    error->set(-1, std::string("CREATE INDEX: ") + sqlite3_errmsg(db), unit, function, __LINE__);
    return false;
}

// Ties messages to conversations (WC_Chatroom rows of one deduce type, ratio 1.0;
// a tie that exists is left as it is).
class RoomTieWriter {
public:
    RoomTieWriter(sqlite3* db, uint16_t deduceType, common::ErrorInfo* error, const char* unit, const char* function)
        : db_(db), deduceType_(deduceType), error_(error), unit_(unit), function_(function),
          insert_(db,
                  "INSERT OR IGNORE INTO WC_Chatroom (rcFriendId, rcChatId, deduceType, ratio) VALUES (?, ?, ?, 1.0);",
                  error, unit, function) {}
    explicit operator bool() const { return static_cast<bool>(insert_); }

    // False with the error set when the row could not be written.
    bool tie(int64_t rcFriendId, int64_t rcChatId) {
        sqlite3_stmt* insert = insert_.get();
        sqlite3_bind_int64(insert, 1, rcFriendId);
        sqlite3_bind_int64(insert, 2, rcChatId);
        sqlite3_bind_int(insert, 3, deduceType_);
        const int rc = sqlite3_step(insert);
        sqlite3_reset(insert);
        if (rc == SQLITE_DONE) return true;
        error_->set(-1, std::string("sqlite3_step: ") + sqlite3_errmsg(db_), unit_, function_, __LINE__);
        return false;
    }

private:
    sqlite3* db_;
    uint16_t deduceType_;
    common::ErrorInfo* error_;
    const char* unit_;
    const char* function_;
    StoreStatement insert_;
};

// Ends a transaction of the store: COMMIT, or ROLLBACK when `ok` is false or the
// commit fails (the error then says why). Returns whether the work was kept.
inline bool endStoreTransaction(sqlite3* db, bool ok, common::ErrorInfo* error, const char* unit,
                                const char* function) {
    if (ok && sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr) == SQLITE_OK) return true;
    if (ok) error->set(-1, std::string("COMMIT: ") + sqlite3_errmsg(db), unit, function, __LINE__);
    sqlite3_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr);
    return false;
}

}  // namespace wchat
}  // namespace talwen
