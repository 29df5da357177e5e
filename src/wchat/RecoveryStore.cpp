#include "wchat/RecoveryStore.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "common/CommonFacility.h"
#include "common/PlatformFiles.h"
#include "sqldb/ColValue.h"
#include "sqldb/ResultSet.h"
#include "sqldb/SqliteAssistant.h"
#include "sqldb/SqliteDao.h"
#include "wchat/StoreStatement.h"

#define WCR_UNIT "wchat/RecoveryStore"

namespace talwen {
namespace wchat {

namespace {

const char* const kSchemaStatements[] = {
    "PRAGMA synchronous = OFF",
    "PRAGMA journal_mode = MEMORY",
    "PRAGMA temp_store = MEMORY",
    "PRAGMA page_size = 4096",
    "create table WC_Friend (rcFriendId INTEGER not null PRIMARY KEY AUTOINCREMENT, validFlag "
    "BIGINT not null, obtainWay SMALLINT not null, pageNumber INTEGER, chatNum INTEGER, rcChatNum "
    "INTEGER, usrNamePy VARCHAR(32), nickNamePy VARCHAR(32), wcFriend SMALLINT, deduceFriendType "
    "VARCHAR(32), tableVer INTEGER, usrName VARCHAR(64), nickName VARCHAR(64), uin INTEGER, email "
    "VARCHAR(32), mobilePhone VARCHAR(32), sex SMALLINT, fullPY VARCHAR(32), img VARCHAR(32), type "
    "INTEGER, lastChatTime BIGINT, draft VARCHAR(512), conRemark VARCHAR(64), headImgUrl "
    "VARCHAR(256), headImgHDUrl VARCHAR(256), country VARCHAR(32), province VARCHAR(32), city "
    "VARCHAR(32), sign VARCHAR(256));",
    "create table WC_Chat (rcChatId INTEGER not null PRIMARY KEY AUTOINCREMENT, validFlag BIGINT "
    "not null, obtainWay SMALLINT not null, pageNumber INTEGER, taggedUserName VARCHAR(64), "
    "fromUserName VARCHAR(64), tableVer INTEGER, mesLocalId BIGINT, mesSvrId BIGINT, createTime "
    "BIGINT, message VARCHAR(4096), status INTEGER, imgStatus INTEGER, type INTEGER, des INTEGER, walFrame "
    "INTEGER);",
    "create table WC_Chatroom (rcFriendId INTEGER not null, rcChatId INTEGER not null, deduceType "
    "SMALLINT not null, ratio REAL not null, primary key (rcFriendId, rcChatId), foreign key "
    "(rcChatId) references WC_Chat (rcChatId), foreign key (rcFriendId) references WC_Friend "
    "(rcFriendId));",
    "create table WC_ChatFriend (rcFriendId INTEGER not null, rcChatId INTEGER not null, "
    "deduceType SMALLINT not null, ratio REAL not null, primary key (rcFriendId, rcChatId), "
    "foreign key (rcChatId) references WC_Chat (rcChatId), foreign key (rcFriendId) references "
    "WC_Friend (rcFriendId));",
    "create view WC_ChatInRoom as SELECT DISTINCT F.rcFriendId, F.usrName, F.nickName, "
    "F.conRemark, R.deduceType, R.ratio, C.validFlag, C.obtainWay, C.pageNumber, C.taggedUserName, "
    "C.fromUserName, C.mesLocalId, C.mesSvrId, datetime(C.createTime, 'unixepoch', 'localtime') AS "
    "created, C.message, C.rcChatId, C.status, C.imgStatus, C.type, C.des FROM WC_Chat AS C INNER "
    "JOIN WC_Chatroom AS R ON C.rcChatId = R.rcChatId INNER JOIN WC_Friend AS F ON F.rcFriendId = "
    "R.rcFriendId ORDER BY C.createTime ASC",
    // Freed pages whose messages have no conversation but are one table's
    // (LostPageRuns): each page with the first page of its run.
    "create table WC_LostPageRun (pageNumber INTEGER primary key, runPage INTEGER not null);",
    "create view WC_LostFriendChat as SELECT C.rcChatId, C.validFlag, C.obtainWay, C.pageNumber, "
    "C.taggedUserName, C.fromUserName, C.tableVer, C.mesLocalId, C.mesSvrId, "
    "datetime(C.createTime, 'unixepoch', 'localtime') AS created, C.message, C.status, "
    "C.imgStatus, C.type, C.des FROM WC_Chat C LEFT JOIN WC_Chatroom R ON C.rcChatId = R.rcChatId "
    "WHERE ifnull(R.rcChatId,'') = '' ORDER BY C.pageNumber, C.createTime;",
};

// RecoveryStore::kEarliestCountedTime as the statements below spell it.
#define WCR_EARLIEST_COUNTED_TIME "1262304000"

constexpr int64_t parseDecimal(const char* text, int64_t value = 0) {
    return *text == '\0' ? value : parseDecimal(text + 1, value * 10 + (*text - '0'));
}
static_assert(parseDecimal(WCR_EARLIEST_COUNTED_TIME) == RecoveryStore::kEarliestCountedTime,
              "the counting statements must use the store's cut-off");

// The counters of every contact in one statement: chatNum and rcChatNum from one
// walk of its WC_Chatroom links, lastChatTime from its WC_ChatFriend links. Each
// reads the messages it joins, which is most of the finish on a large store; the
// second walk of a contact finds those pages still in the cache. An aggregate
// without GROUP BY gives one row even without links, so a contact without counted
// messages gets NULL counts, not 0.
const char* const kFinishStatements[] = {
    "UPDATE WC_Friend SET (chatNum, rcChatNum) = (SELECT nullif(sum(C.createTime > " WCR_EARLIEST_COUNTED_TIME
    "), 0), nullif(sum(C.obtainWay = 2 AND C.createTime > " WCR_EARLIEST_COUNTED_TIME "), 0) FROM WC_Chatroom R "
    "JOIN WC_Chat C ON C.rcChatId = R.rcChatId WHERE R.rcFriendId = WC_Friend.rcFriendId), lastChatTime = "
    "(SELECT max(C.createTime) FROM WC_ChatFriend P JOIN WC_Chat C ON C.rcChatId = P.rcChatId WHERE "
    "P.rcFriendId = WC_Friend.rcFriendId);",
    "create index Friend_UsrName_Index on WC_Friend (usrName ASC);",
    "CREATE INDEX Chat_CreateTime_Index ON WC_Chat (createTime ASC);",
    "PRAGMA synchronous = NORMAL",
    "PRAGMA journal_mode = TRUNCATE",
    "PRAGMA temp_store=DEFAULT",
};

const char* const kInsertFriendSql =
    "INSERT INTO WC_Friend (validFlag,   obtainWay,  pageNumber,  chatNum,  usrNamePy,  "
    "nickNamePy,  wcFriend,  deduceFriendType,  tableVer,  usrName,  nickName,  uin,  email,  "
    "mobilePhone, sex,   fullPY,  img,  type,  lastChatTime,  draft,  conRemark,  headImgUrl,  "
    "headImgHDUrl,  country,  province,  city,  sign) VALUES (@validFlag, @obtainWay, @pageNumber, "
    "@chatNum, @usrNamePy, @nickNamePy, @wcFriend, @deduceFriendType, @tableVer, @usrName, "
    "@nickName, @uin, @email, @mobilePhone, @sex, @fullPY, @img, @type, @lastChatTime, @draft, "
    "@conRemark, @headImgUrl, @headImgHDUrl, @country, @province, @city, @sign);";
const char* const kFriendParams[] = {
    "@validFlag", "@obtainWay",   "@pageNumber",   "@chatNum",
    "@usrNamePy", "@nickNamePy",  "@wcFriend",     "@deduceFriendType",
    "@tableVer",  "@usrName",     "@nickName",     "@uin",
    "@email",     "@mobilePhone", "@sex",          "@fullPY",
    "@img",       "@type",        "@lastChatTime", "@draft",
    "@conRemark", "@headImgUrl",  "@headImgHDUrl", "@country",
    "@province",  "@city",        "@sign"};

const char* const kInsertChatSql =
    "INSERT INTO WC_Chat(\t\t\tvalidFlag, \t\t\tobtainWay, \t\t\tpageNumber, \t\t\ttaggedUserName, "
    "\t\t\tfromUserName, \t\t\ttableVer, \t\t\tmesLocalId, \t\t\tmesSvrId, \t\t\tcreateTime, "
    "\t\t\tmessage, \t\t\tstatus, \t\t\timgStatus, \t\t\ttype, \t\t\tdes, walFrame\t\t\t) VALUES "
    "(\t\t\t@validFlag, \t\t\t@obtainWay, \t\t\t@pageNumber, \t\t\t@taggedUserName, "
    "\t\t\t@fromUserName, \t\t\t@tableVer, \t\t\t@mesLocalId, \t\t\t@mesSvrId, \t\t\t@createTime, "
    "\t\t\t@message, \t\t\t@status, \t\t\t@imgStatus, \t\t\t@type, \t\t\t@des, @walFrame);";
const char* const kChatParams[] = {"@validFlag",    "@obtainWay", "@pageNumber", "@taggedUserName",
                                   "@fromUserName", "@tableVer",  "@mesLocalId", "@mesSvrId",
                                   "@createTime",   "@message",   "@status",     "@imgStatus",
                                   "@type",         "@des",       "@walFrame"};

const char* const kInsertChatRoomSql =
    "INSERT INTO WC_Chatroom(rcFriendId, rcChatId, deduceType, ratio) VALUES (@rcFriendId, "
    "@rcChatId, @deduceType, @ratio);";
const char* const kInsertChatFriendSql =
    "INSERT INTO WC_ChatFriend(rcFriendId, rcChatId, deduceType, ratio) VALUES (@rcFriendId, "
    "@rcChatId, @deduceType, @ratio);";
const char* const kLinkParams[] = {"@rcFriendId", "@rcChatId", "@deduceType", "@ratio"};

using KeptStatement = RecoveryStore::KeptStatement;

// Makes the kept statement ready for binding: resets it, or prepares it on first use.
template <size_t N>
bool acquire(KeptStatement& kept, sqlite3* db, const char* sql, const char* const (&params)[N],
             const char* function, common::ErrorInfo* error) {
    if (kept.stmt) {
        const int rc = sqlite3_reset(kept.stmt);
        if (rc != SQLITE_OK) {
            WCR_SET_ERROR(error, -1, std::string("sqlite3_reset: ") + sqlite3_errstr(rc), function);
            return false;
        }
        return true;
    }
    sqlite3_stmt* stmt = nullptr;
    const int rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(stmt);
        WCR_SET_ERROR(error, -1, std::string("sqlite3_prepare_v2: ") + sqlite3_errstr(rc), function);
        return false;
    }
    kept.stmt = stmt;
    kept.indexes.clear();
    for (const char* param : params) kept.indexes.push_back(sqlite3_bind_parameter_index(stmt, param));
    return true;
}

// Runs the bound statement once. A failed step is reset at once: a statement
// prepared with sqlite3_prepare_v2 repeats its last step error from sqlite3_reset,
// which would otherwise make the next, valid insert fail too.
bool stepOnce(KeptStatement& kept, const char* function, common::ErrorInfo* error) {
    const int rc = sqlite3_step(kept.stmt);
    if (rc != SQLITE_DONE) {
        sqlite3_reset(kept.stmt);
        WCR_SET_ERROR(error, -1, std::string("sqlite3_step: ") + sqlite3_errstr(rc), function);
        return false;
    }
    return true;
}

// Runs the bound insert once and returns the new row id, 0 on failure.
int64_t stepForRowId(KeptStatement& kept, sqlite3* db, const char* function, common::ErrorInfo* error) {
    if (!stepOnce(kept, function, error)) return 0;
    const int64_t id = sqlite3_last_insert_rowid(db);
    sqlite3_clear_bindings(kept.stmt);
    return id;
}

// "INSERT INTO <head> VALUES (?, ...), (?, ...), ...": rows groups of columns
// positional parameters; row r's column c is parameter r * columns + c + 1.
std::string multiRowInsertSql(const char* head, size_t columns, size_t rows) {
    std::string group = "(";
    for (size_t c = 0; c < columns; ++c) group += c == 0 ? "?" : ", ?";
    group += ")";
    std::string sql = std::string("INSERT INTO ") + head + " VALUES ";
    for (size_t r = 0; r < rows; ++r) sql += (r == 0 ? "" : ", ") + group;
    return sql + ";";
}

// Prepares the kept multi-row statement on first use, resets it after.
bool acquireMultiRow(KeptStatement& kept, sqlite3* db, const std::string& sql, const char* function,
                     common::ErrorInfo* error) {
    if (kept.stmt) {
        const int rc = sqlite3_reset(kept.stmt);
        if (rc == SQLITE_OK) return true;
        WCR_SET_ERROR(error, -1, std::string("sqlite3_reset: ") + sqlite3_errstr(rc), function);
        return false;
    }
    const int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &kept.stmt, nullptr);
    if (rc == SQLITE_OK) return true;
    sqlite3_finalize(kept.stmt);
    kept.stmt = nullptr;
    WCR_SET_ERROR(error, -1, std::string("sqlite3_prepare_v2: ") + sqlite3_errstr(rc), function);
    return false;
}

// Rows [begin, end) of a batch, written by one multi-row statement when full.
struct Chunk {
    size_t begin;
    size_t end;
};

std::vector<Chunk> chunksOf(size_t count, size_t rowsPerStatement) {
    std::vector<Chunk> chunks;
    chunks.reserve(count / rowsPerStatement + 1);
    for (size_t begin = 0; begin < count; begin += rowsPerStatement)
        chunks.push_back({begin, std::min(count, begin + rowsPerStatement)});
    return chunks;
}

// Writes a full chunk with the kept multi-row statement: binds row i with
// bindRow(stmt, firstParameter, i) and steps once. A row that cannot be bound,
// or a failed step (which SQLite undoes whole), writes nothing of the chunk and
// returns false with error clear: the caller writes the chunk row by row, so that
// a failure keeps the rows before it and reports what the single insert reports.
template <typename BindRow>
bool writeMultiRow(KeptStatement& kept, sqlite3* db, const std::string& sql, size_t columns, const Chunk& chunk,
                   common::ErrorInfo* error, BindRow bindRow) {
    if (!acquireMultiRow(kept, db, sql, "multiRowInsert", error)) {
        error->clear();
        return false;
    }
    bool bound = true;
    for (size_t i = chunk.begin; bound && i < chunk.end; ++i)
        bound = bindRow(kept.stmt, static_cast<int>((i - chunk.begin) * columns + 1), i, error);
    const bool written = bound && sqlite3_step(kept.stmt) == SQLITE_DONE;
    // Every parameter is bound again before the next run, so the bindings are not
    // cleared: clearing them cost as much as binding the texts.
    sqlite3_reset(kept.stmt);
    error->clear();
    return written;
}

// One batch writer's run, with the store's lock held by the caller: clears error
// and calls writeOne for every item in order inside one transaction, stopping at
// the first item it refuses. The results of BEGIN/END are ignored, so the rows
// written before a failure are committed. An empty batch opens a transaction only
// when openWhenEmpty is set.
// Inside a bulk transaction (bulk given and active) the batch runs in that one
// and only counts its rows towards the bulk's next intermediate commit.
// rows is what the items write (items.size() when 0: one row each).
template <typename Items, typename WriteOne>
void writeBatch(sqlite3* db, const Items& items, bool openWhenEmpty, common::ErrorInfo* error,
                WriteOne writeOne, RecoveryStore::Bulk* bulk = nullptr, size_t rows = 0) {
    error->clear();
    if (items.empty() && !openWhenEmpty) return;
    const bool own = bulk == nullptr || !bulk->active;
    if (own) sqlite3_exec(db, "BEGIN TRANSACTION;", nullptr, nullptr, nullptr);
    for (const auto& item : items) {
        if (!writeOne(item)) break;
    }
    if (own) {
        sqlite3_exec(db, "END TRANSACTION;", nullptr, nullptr, nullptr);
        return;
    }
    bulk->pending += rows != 0 ? rows : items.size();
    if (bulk->pending >= RecoveryStore::kBulkCommitRows) {
        // Bounds the journal and the dirty pages; a failed commit is kept for endBulk.
        bulk->pending = 0;
        char* message = nullptr;
        if (sqlite3_exec(db, "COMMIT; BEGIN TRANSACTION;", nullptr, nullptr, &message) != SQLITE_OK &&
            bulk->failure.empty())
            bulk->failure = message ? message : "commit failed";
        sqlite3_free(message);
    }
}

// Stores every entity with insertOne and hands each its new row id through
// setId; a null entry is reported as "<typeName>[<index>] is null!".
template <typename Entity, typename InsertOne, typename SetId>
void insertEntities(sqlite3* db, const std::vector<std::shared_ptr<Entity>>& entities, const char* typeName,
                    const char* function, common::ErrorInfo* error, InsertOne insertOne, SetId setId,
                    RecoveryStore::Bulk* bulk) {
    size_t index = 0;
    writeBatch(db, entities, true, error, [&](const std::shared_ptr<Entity>& entity) {
        if (!entity) {
            WCR_SET_ERROR(error, -1, std::string(typeName) + "[" + std::to_string(index) + "] is null!",
                          function);
            return false;
        }
        const int64_t id = insertOne(*entity, error);
        if (!error->isSuccess()) return false;
        setId(*entity, id);
        ++index;
        return true;
    }, bulk);
}

bool insertLink(KeptStatement& kept, const char* sql, const char* function, sqlite3* db, uint16_t deduceType,
                int64_t rcChatId, int64_t rcFriendId, double ratio, common::ErrorInfo* error) {
    if (!acquire(kept, db, sql, kLinkParams, function, error)) return false;
    // Row ids are bound with all 64 bits: a truncated id would tie the link to
    // another row.
    struct Bind {
        const char* name;
        int rc;
    } binds[] = {
        {"rcFriendId", sqlite3_bind_int64(kept.stmt, kept.indexes[0], rcFriendId)},
        {"rcChatId", SQLITE_OK},
        {"deduceType", SQLITE_OK},
        {"ratio", SQLITE_OK},
    };
    if (binds[0].rc == SQLITE_OK) binds[1].rc = sqlite3_bind_int64(kept.stmt, kept.indexes[1], rcChatId);
    if (binds[1].rc == SQLITE_OK) binds[2].rc = sqlite3_bind_int(kept.stmt, kept.indexes[2], deduceType);
    if (binds[2].rc == SQLITE_OK) binds[3].rc = sqlite3_bind_double(kept.stmt, kept.indexes[3], ratio);
    for (const Bind& bind : binds) {
        if (bind.rc != SQLITE_OK) {
            WCR_SET_ERROR(error, -1, std::string("Bind[") + bind.name + "]: " + sqlite3_errstr(bind.rc),
                          function);
            return false;
        }
    }
    if (!stepOnce(kept, function, error)) return false;
    sqlite3_clear_bindings(kept.stmt);
    return true;
}

int64_t countOf(sqlite3* db, const std::string& sql, common::ErrorInfo* error) {
    sqldb::ResultSet result;
    sqldb::SqliteAssistant::query(db, 1, sql, result, error);
    if (!error->isSuccess() || result.getRowCount() == 0) return 0;
    const std::shared_ptr<sqldb::ColValue> value = result.getValue(0, 0u);
    return value->isInteger() ? value->getIntegerValue() : 0;
}

}  // namespace

void RecoveryStore::KeptStatement::release() {
    sqlite3_finalize(stmt);
    stmt = nullptr;
    indexes.clear();
}

std::unique_ptr<RecoveryStore> RecoveryStore::create(const std::string& path, common::ErrorInfo* error) {
    error->clear();
    sqlite3* db = sqldb::SqliteAssistant::openDatabase(path, error);
    if (!db) return nullptr;
    std::unique_ptr<RecoveryStore> store(new RecoveryStore(db));
    store->createTargetSchema(error);
    if (!error->isSuccess()) return nullptr;
    if (!path.empty()) {
        // A store in a file keeps its memory bounded: sorts and temporary tables
        // spill to files, and the page cache is capped.
        for (const char* sql : {"PRAGMA temp_store = FILE", "PRAGMA cache_size = -32768"}) {
            sqldb::SqliteAssistant::executeSql(db, sql, error);
            if (!error->isSuccess()) return nullptr;
        }
    }
    return store;
}

std::unique_ptr<RecoveryStore> RecoveryStore::openKept(const std::string& path, common::ErrorInfo* error) {
    error->clear();
    sqlite3* db = sqldb::SqliteAssistant::openDatabaseReadOnly(path, error);
    if (!db) return nullptr;
    std::unique_ptr<RecoveryStore> store(new RecoveryStore(db));
    sqldb::ResultSet probe;
    sqldb::SqliteAssistant::query(db, 1, "SELECT rcFriendId FROM WC_Friend LIMIT 1;", probe, error);
    if (!error->isSuccess()) {
        WCR_SET_ERROR(error, -1, "not a recovery store[" + path + "]!", "openKept");
        return nullptr;
    }
    return store;
}

RecoveryStore::~RecoveryStore() { close(); }

void RecoveryStore::createTargetSchema(common::ErrorInfo* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const char* sql : kSchemaStatements) {
        sqldb::SqliteAssistant::executeSql(db_, sql, error);
        if (!error->isSuccess()) return;
    }
}

void RecoveryStore::beginBulk() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (bulk_.active) return;
    bulk_ = Bulk();
    bulk_.active = sqlite3_exec(db_, "BEGIN TRANSACTION;", nullptr, nullptr, nullptr) == SQLITE_OK;
}

void RecoveryStore::endBulk(common::ErrorInfo* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    error->clear();
    if (!bulk_.active) return;
    bulk_.active = false;
    char* message = nullptr;
    if (sqlite3_exec(db_, "COMMIT;", nullptr, nullptr, &message) != SQLITE_OK && bulk_.failure.empty())
        bulk_.failure = message ? message : "commit failed";
    sqlite3_free(message);
    if (!bulk_.failure.empty()) {
        // What was not committed is gone: the store must not look complete.
        sqlite3_exec(db_, "ROLLBACK;", nullptr, nullptr, nullptr);
        WCR_SET_ERROR(error, -1, "Store write fail[" + bulk_.failure + "]!", "endBulk");
    }
}

void RecoveryStore::FriendTally::addRoom(bool hasTime, int64_t time, bool carved) {
    if (!hasTime || time <= kEarliestCountedTime) return;
    ++chatNum;
    if (carved) ++rcChatNum;
}

void RecoveryStore::FriendTally::addSender(bool hasTime, int64_t time) {
    if (!hasTime) return;
    if (!hasLastChatTime || time > lastChatTime) lastChatTime = time;
    hasLastChatTime = true;
}

void RecoveryStore::FriendTally::addRoomChat(const WchatChat& chat) {
    addRoom(chat.hasValue(WchatChat::kCreateTimeFlag), chat.getCreateTime(), chat.getObtainWay() == kObtainCarved);
}

void RecoveryStore::FriendTally::addSenderChat(const WchatChat& chat) {
    addSender(chat.hasValue(WchatChat::kCreateTimeFlag), chat.getCreateTime());
}

bool RecoveryStore::updateCountersLocked(const CountedLinks& counted, common::ErrorInfo* error) {
    std::map<int64_t, FriendTally> tallies = counted.tallies;
    // The later messages' links, found by message (the merge's index on
    // WC_Chatroom; WC_ChatFriend is read whole, it is small beside the messages).
    if (!ensureChatroomByChatIndex(db_, error, WCR_UNIT, "finishTargetDb")) return false;
    struct Pass {
        const char* sql;
        bool sender;
    } const passes[] = {
        {"SELECT R.rcFriendId, C.createTime, C.obtainWay FROM WC_Chat C CROSS JOIN WC_Chatroom R "
         "ON R.rcChatId = C.rcChatId WHERE C.rcChatId >= ?;",
         false},
        {"SELECT P.rcFriendId, C.createTime, C.obtainWay FROM WC_ChatFriend P CROSS JOIN WC_Chat C "
         "ON C.rcChatId = P.rcChatId WHERE P.rcChatId >= ?;",
         true},
    };
    for (const Pass& pass : passes) {
        StoreStatement links(db_, pass.sql, error, WCR_UNIT, "finishTargetDb");
        if (!error->isSuccess()) return false;
        sqlite3_bind_int64(links.get(), 1, counted.firstUncountedId);
        int rc;
        while ((rc = sqlite3_step(links.get())) == SQLITE_ROW) {
            const int timeType = sqlite3_column_type(links.get(), 1);
            if (sqlite3_column_type(links.get(), 0) != SQLITE_INTEGER ||
                sqlite3_column_type(links.get(), 2) != SQLITE_INTEGER ||
                (timeType != SQLITE_INTEGER && timeType != SQLITE_NULL))
                return false;
            const bool hasTime = timeType == SQLITE_INTEGER;
            const int64_t time = sqlite3_column_int64(links.get(), 1);
            FriendTally& tally = tallies[sqlite3_column_int64(links.get(), 0)];
            if (pass.sender) tally.addSender(hasTime, time);
            else tally.addRoom(hasTime, time, sqlite3_column_int64(links.get(), 2) == kObtainCarved);
        }
        if (rc != SQLITE_DONE) {
            WCR_SET_ERROR(error, -1, std::string("sqlite3_step: ") + sqlite3_errmsg(db_), "finishTargetDb");
            return false;
        }
    }
    // Every contact's counters, NULL where there is nothing to count, in one transaction.
    sqlite3_exec(db_, "BEGIN TRANSACTION;", nullptr, nullptr, nullptr);
    sqldb::SqliteAssistant::executeSql(
        db_, "UPDATE WC_Friend SET chatNum = NULL, rcChatNum = NULL, lastChatTime = NULL;", error);
    if (error->isSuccess()) {
        StoreStatement update(db_, "UPDATE WC_Friend SET chatNum = ?, rcChatNum = ?, lastChatTime = ? WHERE rcFriendId = ?;",
                              error, WCR_UNIT, "finishTargetDb");
        for (auto it = tallies.begin(); error->isSuccess() && it != tallies.end(); ++it) {
            const FriendTally& tally = it->second;
            sqlite3_stmt* stmt = update.get();
            sqlite3_reset(stmt);
            const auto bindCount = [stmt](int at, int64_t n) {
                return n != 0 ? sqlite3_bind_int64(stmt, at, n) : sqlite3_bind_null(stmt, at);
            };
            bindCount(1, tally.chatNum);
            bindCount(2, tally.rcChatNum);
            if (tally.hasLastChatTime) sqlite3_bind_int64(stmt, 3, tally.lastChatTime);
            else sqlite3_bind_null(stmt, 3);
            sqlite3_bind_int64(stmt, 4, it->first);
            if (sqlite3_step(stmt) != SQLITE_DONE)
                WCR_SET_ERROR(error, -1, std::string("sqlite3_step: ") + sqlite3_errmsg(db_), "finishTargetDb");
        }
    }
    sqlite3_exec(db_, error->isSuccess() ? "COMMIT;" : "ROLLBACK;", nullptr, nullptr, nullptr);
    return true;
}

void RecoveryStore::finishTargetDb(common::ErrorInfo* error,
                                   const std::function<void(size_t done, size_t total)>& progress,
                                   const CountedLinks* counted) {
    std::lock_guard<std::mutex> lock(mutex_);
    // All messages are in: the kept insert statements are no longer needed, and
    // without them the store's connection closes cleanly whoever closes it.
    releaseKeptLocked();
    common::ErrorInfo firstFailure;
    const size_t total = sizeof(kFinishStatements) / sizeof(kFinishStatements[0]);
    size_t done = 0;
    for (const char* sql : kFinishStatements) {
        error->clear();
        // The counters (the first statement) from the tallies where they serve.
        const bool countedHere = sql == kFinishStatements[0] && counted != nullptr && updateCountersLocked(*counted, error);
        if (!countedHere && error->isSuccess()) sqldb::SqliteAssistant::executeSql(db_, sql, error);
        if (!error->isSuccess() && firstFailure.isSuccess()) firstFailure = *error;
        if (progress) progress(++done, total);
    }
    *error = firstFailure;
}

int64_t RecoveryStore::insertFriendLocked(const WchatFriend& f, common::ErrorInfo* error) {
    static const char* const kFunction = "_insertFriend";
    if (!acquire(keptFriend_, db_, kInsertFriendSql, kFriendParams, kFunction, error)) return 0;
    sqlite3_stmt* stmt = keptFriend_.stmt;
    const std::vector<int>& at = keptFriend_.indexes;
    using D = sqldb::SqliteDao;
    using W = WchatFriend;
    const bool bound =
        D::bindInt64Value("validFlag", f, stmt, 0, at[0], static_cast<int64_t>(f.getValidFlag()),
                          false, error) &&
        D::bindIntValue("obtainWay", f, stmt, 0, at[1], f.getObtainWay(), false, error) &&
        D::bindIntValue("pageNumber", f, stmt, W::kPageNumberFlag, at[2], f.getPageNumber(), true,
                        error) &&
        D::bindIntValue("chatNum", f, stmt, W::kChatNumFlag, at[3], f.getChatNum(), true, error) &&
        D::bindTextValue("usrNamePy", f, stmt, W::kUsrNamePyFlag, at[4], f.getUsrNamePy(), true,
                         error) &&
        D::bindTextValue("nickNamePy", f, stmt, W::kNickNamePyFlag, at[5], f.getNickNamePy(), true,
                         error) &&
        D::bindIntValue("wcFriend", f, stmt, W::kWcFriendFlag, at[6], f.getWcFriend(), true,
                        error) &&
        D::bindTextValue("deduceFriendType", f, stmt, W::kDeduceFriendTypeFlag, at[7],
                         f.getDeduceFriendType(), true, error) &&
        D::bindIntValue("tableVer", f, stmt, W::kTableVerFlag, at[8], f.getTableVer(), true,
                        error) &&
        D::bindTextValue("usrName", f, stmt, W::kUsrNameFlag, at[9], f.getUsrName(), true, error) &&
        D::bindTextValue("nickName", f, stmt, W::kNickNameFlag, at[10], f.getNickName(), true,
                         error) &&
        D::bindIntValue("uin", f, stmt, W::kUinFlag, at[11], f.getUin(), true, error) &&
        D::bindTextValue("email", f, stmt, W::kEmailFlag, at[12], f.getEmail(), true, error) &&
        D::bindTextValue("mobilePhone", f, stmt, W::kMobileFlag, at[13], f.getMobile(), true,
                         error) &&
        D::bindIntValue("sex", f, stmt, W::kSexFlag, at[14], f.getSex(), true, error) &&
        D::bindTextValue("fullPY", f, stmt, W::kFullPYFlag, at[15], f.getFullPY(), true, error) &&
        D::bindTextValue("img", f, stmt, W::kImgFlag, at[16], f.getImg(), true, error) &&
        D::bindIntValue("type", f, stmt, W::kTypeFlag, at[17], f.getType(), true, error) &&
        D::bindInt64Value("lastChatTime", f, stmt, W::kLastChatTimeFlag, at[18],
                          f.getLastChatTime(), true, error) &&
        D::bindTextValue("draft", f, stmt, W::kDraftFlag, at[19], f.getDraft(), true, error) &&
        D::bindTextValue("conRemark", f, stmt, W::kConRemarkFlag, at[20], f.getConRemark(), true,
                         error) &&
        D::bindTextValue("headImgUrl", f, stmt, W::kHeadImgUrlFlag, at[21], f.getHeadImgUrl(), true,
                         error) &&
        D::bindTextValue("headImgHDUrl", f, stmt, W::kHeadImgHDUrlFlag, at[22], f.getHeadImgHDUrl(),
                         true, error) &&
        D::bindTextValue("country", f, stmt, W::kCountryFlag, at[23], f.getCountry(), true,
                         error) &&
        D::bindTextValue("province", f, stmt, W::kProvinceFlag, at[24], f.getProvince(), true,
                         error) &&
        D::bindTextValue("city", f, stmt, W::kCityFlag, at[25], f.getCity(), true, error) &&
        D::bindTextValue("sign", f, stmt, W::kSignFlag, at[26], f.getSign(), true, error);
    return bound ? stepForRowId(keptFriend_, db_, kFunction, error) : 0;
}

namespace {

// Binds a message to the parameters at[0..14] of stmt, in kChatParams order.
// The texts are borrowed from c, which outlives the statement's run: every caller
// binds all parameters again before the next.
bool bindChat(sqlite3_stmt* stmt, const int* at, const WchatChat& c, common::ErrorInfo* error) {
    static const char* const kFunction = "_insertChat";
    using D = sqldb::SqliteDao;
    using W = WchatChat;
    const bool bound =
        D::bindInt64Value("validFlag", c, stmt, 0, at[0], static_cast<int64_t>(c.getValidFlag()),
                          false, error) &&
        D::bindIntValue("obtainWay", c, stmt, 0, at[1], c.getObtainWay(), false, error) &&
        D::bindIntValue("pageNumber", c, stmt, W::kPageNumberFlag, at[2], c.getPageNumber(), true,
                        error) &&
        D::bindTextValue("taggedUserName", c, stmt, W::kTaggedUserNameFlag, at[3],
                         c.getTaggedUserName(), true, error, true) &&
        D::bindTextValue("fromUserName", c, stmt, W::kFromUserNameFlag, at[4], c.getFromUserName(),
                         true, error, true) &&
        D::bindIntValue("tableVer", c, stmt, W::kTableVerFlag, at[5], c.getTableVer(), true,
                        error) &&
        D::bindIntValue("mesLocalId", c, stmt, W::kMesLocalIdFlag, at[6], c.getMesLocalId(), true,
                        error) &&
        D::bindInt64Value("mesSvrId", c, stmt, W::kMesSvrIdFlag, at[7], c.getMesSvrId(), true,
                          error) &&
        D::bindInt64Value("createTime", c, stmt, W::kCreateTimeFlag, at[8], c.getCreateTime(), true,
                          error) &&
        D::bindTextValue("message", c, stmt, W::kMessageFlag, at[9], c.getMessage(), true, error, true) &&
        D::bindIntValue("status", c, stmt, W::kStatusFlag, at[10], c.getStatus(), true, error) &&
        D::bindIntValue("imgStatus", c, stmt, W::kImgStatusFlag, at[11], c.getImgStatus(), true,
                        error) &&
        D::bindIntValue("type", c, stmt, W::kTypeFlag, at[12], c.getType(), true, error) &&
        D::bindIntValue("des", c, stmt, W::kDesFlag, at[13], c.getDes(), true, error);
    // NULL for a message read through SQLite.
    if (bound) {
        const int rc = c.getWalFrame() >= 0 ? sqlite3_bind_int64(stmt, at[14], c.getWalFrame())
                                            : sqlite3_bind_null(stmt, at[14]);
        if (rc != SQLITE_OK) {
            WCR_SET_ERROR(error, -1, std::string("Bind[walFrame]: ") + sqlite3_errstr(rc), kFunction);
            return false;
        }
    }
    return bound;
}

bool bindLink(sqlite3_stmt* stmt, int first, const RecoveryStore::LinkRow& link) {
    return sqlite3_bind_int64(stmt, first, link.rcFriendId) == SQLITE_OK &&
           sqlite3_bind_int64(stmt, first + 1, link.rcChatId) == SQLITE_OK &&
           sqlite3_bind_int(stmt, first + 2, link.deduceType) == SQLITE_OK &&
           sqlite3_bind_double(stmt, first + 3, link.ratio) == SQLITE_OK;
}

}  // namespace

int64_t RecoveryStore::insertChatLocked(const WchatChat& c, common::ErrorInfo* error) {
    if (!acquire(keptChat_, db_, kInsertChatSql, kChatParams, "_insertChat", error)) return 0;
    return bindChat(keptChat_.stmt, keptChat_.indexes.data(), c, error)
               ? stepForRowId(keptChat_, db_, "_insertChat", error)
               : 0;
}

bool RecoveryStore::insertChatChunkLocked(const std::vector<std::shared_ptr<WchatChat>>& chats, size_t begin,
                                          size_t end, common::ErrorInfo* error) {
    constexpr size_t kColumns = sizeof(kChatParams) / sizeof(kChatParams[0]);
    const bool full = end - begin == kChatRowsPerStatement &&
                      std::all_of(chats.begin() + static_cast<std::ptrdiff_t>(begin),
                                  chats.begin() + static_cast<std::ptrdiff_t>(end),
                                  [](const std::shared_ptr<WchatChat>& chat) { return chat != nullptr; });
    if (full) {
        static const std::string sql = multiRowInsertSql(
            "WC_Chat(validFlag, obtainWay, pageNumber, taggedUserName, fromUserName, tableVer, mesLocalId, "
            "mesSvrId, createTime, message, status, imgStatus, type, des, walFrame)",
            kColumns, kChatRowsPerStatement);
        const bool written = writeMultiRow(keptChatRows_, db_, sql, kColumns, Chunk{begin, end}, error,
                                           [&](sqlite3_stmt* stmt, int first, size_t i, common::ErrorInfo* e) {
                                               int at[kColumns];
                                               for (size_t c = 0; c < kColumns; ++c) at[c] = first + static_cast<int>(c);
                                               return bindChat(stmt, at, *chats[i], e);
                                           });
        if (written) {
            // An AUTOINCREMENT table numbers the rows of one statement one after
            // the other, in the order of its VALUES.
            const int64_t last = sqlite3_last_insert_rowid(db_);
            for (size_t i = begin; i < end; ++i) chats[i]->setRcChatId(last - static_cast<int64_t>(end - 1 - i));
            return true;
        }
    }
    for (size_t i = begin; i < end; ++i) {
        if (!chats[i]) {
            WCR_SET_ERROR(error, -1, "WchatChat[" + std::to_string(i) + "] is null!", "insertChats");
            return false;
        }
        const int64_t id = insertChatLocked(*chats[i], error);
        if (!error->isSuccess()) return false;
        chats[i]->setRcChatId(id);
    }
    return true;
}

bool RecoveryStore::insertLinkChunkLocked(bool room, const std::vector<LinkRow>& links, size_t begin, size_t end,
                                          common::ErrorInfo* error) {
    constexpr size_t kColumns = sizeof(kLinkParams) / sizeof(kLinkParams[0]);
    if (end - begin == kLinkRowsPerStatement) {
        static const std::string roomSql = multiRowInsertSql("WC_Chatroom(rcFriendId, rcChatId, deduceType, ratio)",
                                                             kColumns, kLinkRowsPerStatement);
        static const std::string friendSql = multiRowInsertSql(
            "WC_ChatFriend(rcFriendId, rcChatId, deduceType, ratio)", kColumns, kLinkRowsPerStatement);
        if (writeMultiRow(room ? keptChatRoomRows_ : keptChatFriendRows_, db_, room ? roomSql : friendSql, kColumns,
                          Chunk{begin, end}, error, [&](sqlite3_stmt* stmt, int first, size_t i, common::ErrorInfo*) {
                              return bindLink(stmt, first, links[i]);
                          }))
            return true;
    }
    for (size_t i = begin; i < end; ++i) {
        const LinkRow& link = links[i];
        const bool written =
            room ? insertChatRoomLocked(link.deduceType, link.rcChatId, link.rcFriendId, link.ratio, error)
                 : insertChatFriendLocked(link.deduceType, link.rcChatId, link.rcFriendId, link.ratio, error);
        if (!written) return false;
    }
    return true;
}

void RecoveryStore::insertLinksLocked(bool room, const std::vector<LinkRow>& links, common::ErrorInfo* error) {
    writeBatch(db_, chunksOf(links.size(), kLinkRowsPerStatement), false, error, [&](const Chunk& chunk) {
        return insertLinkChunkLocked(room, links, chunk.begin, chunk.end, error);
    }, &bulk_, links.size());
}

bool RecoveryStore::insertChatRoomLocked(uint16_t deduceType, int64_t rcChatId, int64_t rcFriendId, double ratio,
                                         common::ErrorInfo* error) {
    return insertLink(keptChatRoom_, kInsertChatRoomSql, "_insertChatRoom", db_, deduceType, rcChatId, rcFriendId,
                      ratio, error);
}

bool RecoveryStore::insertChatFriendLocked(uint16_t deduceType, int64_t rcChatId, int64_t rcFriendId,
                                           double ratio, common::ErrorInfo* error) {
    return insertLink(keptChatFriend_, kInsertChatFriendSql, "_insertChatFriend", db_, deduceType, rcChatId,
                      rcFriendId, ratio, error);
}

int64_t RecoveryStore::insertFriend(const WchatFriend& wchatFriend, common::ErrorInfo* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    return insertFriendLocked(wchatFriend, error);
}

void RecoveryStore::insertFriends(const std::vector<std::shared_ptr<WchatFriend>>& friends,
                                  common::ErrorInfo* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    insertEntities(
        db_, friends, "WchatFriend", "insertFriends", error,
        [this](const WchatFriend& f, common::ErrorInfo* e) { return insertFriendLocked(f, e); },
        [](WchatFriend& f, int64_t id) { f.setRcFriendId(id); }, &bulk_);
}

// Full chunks of rows go in one statement each: a single-row insert's own cost
// (statement run, AUTOINCREMENT counter read and written) is most of a live
// copy's. The rows, their order and their ids are those of single inserts.
void RecoveryStore::insertChats(const std::vector<std::shared_ptr<WchatChat>>& chats, common::ErrorInfo* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    writeBatch(db_, chunksOf(chats.size(), kChatRowsPerStatement), true, error, [&](const Chunk& chunk) {
        return insertChatChunkLocked(chats, chunk.begin, chunk.end, error);
    }, &bulk_, chats.size());
}

void RecoveryStore::insertChatRoomsOfFriend(uint16_t deduceType, const std::set<int64_t>& rcChatIds,
                                            int64_t rcFriendId, common::ErrorInfo* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<LinkRow> links;
    links.reserve(rcChatIds.size());
    for (const int64_t rcChatId : rcChatIds) links.push_back({rcFriendId, rcChatId, deduceType, 1.0});
    insertLinksLocked(true, links, error);
}

// A message tied to N contacts gets N links, each with the ratio 1/N; an empty
// set writes nothing and runs no transaction.
void RecoveryStore::insertChatRoomsOfChat(uint16_t deduceType, int64_t rcChatId,
                                          const std::set<int64_t>& rcFriendIds, common::ErrorInfo* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    const double ratio = rcFriendIds.empty() ? 0.0 : 1.0 / static_cast<double>(rcFriendIds.size());
    writeBatch(db_, rcFriendIds, false, error, [&](int64_t rcFriendId) {
        return insertChatRoomLocked(deduceType, rcChatId, rcFriendId, ratio, error);
    }, &bulk_);
}

void RecoveryStore::insertChatFriendsOfChat(uint16_t deduceType, int64_t rcChatId,
                                            const std::set<int64_t>& rcFriendIds, common::ErrorInfo* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    const double ratio = rcFriendIds.empty() ? 0.0 : 1.0 / static_cast<double>(rcFriendIds.size());
    writeBatch(db_, rcFriendIds, false, error, [&](int64_t rcFriendId) {
        return insertChatFriendLocked(deduceType, rcChatId, rcFriendId, ratio, error);
    }, &bulk_);
}

void RecoveryStore::insertChatFriends(const ChatFriendMap& chatFriends, common::ErrorInfo* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<LinkRow> links;
    links.reserve(chatFriends.size());
    for (const ChatFriendMap::value_type& entry : chatFriends)
        links.push_back({entry.second.first, entry.first, entry.second.second, 1.0});
    insertLinksLocked(false, links, error);
}

std::set<int64_t> RecoveryStore::selectRcFriendIdsByUsrName(const std::string& usrName,
                                                            common::ErrorInfo* error) {
    error->clear();
    std::string escaped(usrName);
    common::replaceAll(escaped, "'", "''");
    std::set<int64_t> ids;
    sqldb::ResultSet resultSet;
    sqldb::SqliteAssistant::query(db_, 0, "SELECT rcFriendId FROM WC_Friend WHERE (usrName='" + escaped + "');",
                                  resultSet, error);
    if (!error->isSuccess()) return ids;
    for (size_t row = 0; row < resultSet.getRowCount(); ++row) {
        const std::shared_ptr<sqldb::ColValue> value = resultSet.getValue(static_cast<uint32_t>(row), "rcFriendId");
        if (value->isNull()) {
            WCR_SET_ERROR(error, -1, "'rcFriendId' is NULL!", "selectRcFriendIdsByUsrName");
            break;
        }
        if (!value->isInteger()) {
            WCR_SET_ERROR(error, -1, "'rcFriendId' type not INTEGER!", "selectRcFriendIdsByUsrName");
            break;
        }
        ids.insert(value->getIntegerValue());
    }
    return ids;
}

bool RecoveryStore::nameMadeUpFriend(int64_t rcFriendId, const std::string& usrName, uint16_t fromType,
                                     uint16_t toType, common::ErrorInfo* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    error->clear();
    const std::string id = std::to_string(rcFriendId);
    std::string name = usrName;
    common::replaceAll(name, "'", "''");
    sqldb::SqliteAssistant::executeSql(
        db_,
        "UPDATE WC_Friend SET usrName = '" + name + "', validFlag = validFlag | " +
            std::to_string(WchatFriend::kUsrNameFlag) + " WHERE rcFriendId = " + id + " AND obtainWay = " +
            std::to_string(kObtainMadeUp) + " AND usrName IS NULL;",
        error);
    if (!error->isSuccess() || sqlite3_changes(db_) == 0) return false;
    sqldb::SqliteAssistant::executeSql(db_,
                                       "UPDATE WC_Chatroom SET deduceType = " + std::to_string(toType) +
                                           " WHERE rcFriendId = " + id +
                                           " AND deduceType = " + std::to_string(fromType) + ";",
                                       error);
    return error->isSuccess();
}

StoreSummary RecoveryStore::summary(common::ErrorInfo* error) const {
    error->clear();
    StoreSummary counts;
    // One scan of each table for all its counts: the message table is most of a
    // large store, and each scan of it reads it whole.
    struct Count {
        const char* table;
        std::vector<std::pair<uint16_t, int64_t*>> byObtainWay;
    } const wanted[] = {
        {"WC_Friend",
         {{kObtainLive, &counts.liveFriends}, {kObtainCarved, &counts.carvedFriends},
          {kObtainMadeUp, &counts.madeUpFriends}}},
        {"WC_Chat", {{kObtainLive, &counts.liveChats}, {kObtainCarved, &counts.carvedChats}}},
    };
    const int64_t liveCopyEnd = liveCopyEnd_.load();
    for (const Count& count : wanted) {
        // The messages below the live copy's end are all live: read only the rest.
        const bool fromLiveCopyEnd = liveCopyEnd > 0 && std::string(count.table) == "WC_Chat";
        std::string sql = "SELECT ";
        for (const auto& way : count.byObtainWay) {
            if (&way != &count.byObtainWay.front()) sql += ", ";
            sql += "count(CASE WHEN obtainWay = " + std::to_string(way.first) + " THEN 1 END)";
        }
        // From the end on, also how many rows there are in all.
        if (fromLiveCopyEnd) sql += ", count(*)";
        sql += std::string(" FROM ") + count.table;
        if (fromLiveCopyEnd) sql += " WHERE rcChatId >= " + std::to_string(liveCopyEnd);
        sqldb::ResultSet result;
        sqldb::SqliteAssistant::query(db_, 1, sql + ";", result, error);
        if (!error->isSuccess()) break;
        auto column = [&result](uint32_t at) {
            const std::shared_ptr<sqldb::ColValue> value = result.getValue(0, at);
            return value->isInteger() ? value->getIntegerValue() : 0;
        };
        for (uint32_t at = 0; at < count.byObtainWay.size() && result.getRowCount() > 0; ++at)
            *count.byObtainWay[at].second = column(at);
        if (fromLiveCopyEnd && result.getRowCount() > 0) {
            // A count of the whole table without condition is answered by its
            // smallest index: the rows before the end are the rest.
            const int64_t all = countOf(db_, "SELECT count(*) FROM WC_Chat;", error);
            if (!error->isSuccess()) break;
            counts.liveChats += all - column(static_cast<uint32_t>(count.byObtainWay.size()));
        }
    }
    counts.rejectedChats = rejectedChats_.load();
    if (error->isSuccess() &&
        countOf(db_, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'WC_PartialReason';",
                error) > 0) {
        sqldb::ResultSet reasons;
        sqldb::SqliteAssistant::query(db_, 0, "SELECT reason FROM WC_PartialReason ORDER BY rowid;", reasons, error);
        for (uint32_t r = 0; error->isSuccess() && r < reasons.getRowCount(); ++r) {
            const std::shared_ptr<sqldb::ColValue> value = reasons.getValue(r, 0u);
            if (value->isText()) counts.partialReasons.push_back(value->getTextValue());
        }
    }
    return counts;
}

void RecoveryStore::insertPartialReasons(const std::vector<std::string>& reasons, common::ErrorInfo* error) {
    error->clear();
    if (reasons.empty()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    sqldb::SqliteAssistant::executeSql(db_, "CREATE TABLE IF NOT EXISTS WC_PartialReason (reason TEXT NOT NULL);",
                                       error);
    if (!error->isSuccess()) return;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, "INSERT INTO WC_PartialReason (reason) VALUES (?);", -1, &stmt, nullptr) != SQLITE_OK) {
        WCR_SET_ERROR(error, -1, std::string("sqlite3_prepare_v2: ") + sqlite3_errmsg(db_), "insertPartialReasons");
        return;
    }
    for (const std::string& reason : reasons) {
        sqlite3_bind_text(stmt, 1, reason.data(), static_cast<int>(reason.size()), SQLITE_TRANSIENT);
        if (sqlite3_step(stmt) != SQLITE_DONE) {
            WCR_SET_ERROR(error, -1, std::string("sqlite3_step: ") + sqlite3_errmsg(db_), "insertPartialReasons");
            break;
        }
        sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
}

int64_t RecoveryStore::removeRepeatedWalChats(common::ErrorInfo* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    error->clear();
    const char* const statements[] = {
        "CREATE TEMP TABLE wcr_repeated_wal_chats AS SELECT C.rcChatId AS rcChatId FROM WC_Chat C WHERE "
        "C.walFrame > 0 AND EXISTS (SELECT 1 FROM WC_Chat D WHERE D.obtainWay = 2 AND D.rcChatId < C.rcChatId "
        "AND D.createTime IS C.createTime AND D.mesSvrId IS C.mesSvrId AND D.message IS C.message AND "
        "D.type IS C.type AND D.des IS C.des AND "
        // A copy whose cell prefix was overwritten has no MesLocalID: unknown, not another.
        "(D.mesLocalId IS C.mesLocalId OR D.mesLocalId IS NULL OR C.mesLocalId IS NULL));",
        "DELETE FROM WC_Chatroom WHERE rcChatId IN (SELECT rcChatId FROM wcr_repeated_wal_chats);",
        "DELETE FROM WC_ChatFriend WHERE rcChatId IN (SELECT rcChatId FROM wcr_repeated_wal_chats);",
        "DELETE FROM WC_Chat WHERE rcChatId IN (SELECT rcChatId FROM wcr_repeated_wal_chats);",
    };
    sqlite3_exec(db_, "BEGIN TRANSACTION;", nullptr, nullptr, nullptr);
    int64_t removed = 0;
    for (const char* sql : statements) {
        sqldb::SqliteAssistant::executeSql(db_, sql, error);
        if (!error->isSuccess()) break;
        removed = sqlite3_changes(db_);
    }
    sqlite3_exec(db_, error->isSuccess() ? "COMMIT;" : "ROLLBACK;", nullptr, nullptr, nullptr);
    sqlite3_exec(db_, "DROP TABLE IF EXISTS temp.wcr_repeated_wal_chats;", nullptr, nullptr, nullptr);
    return error->isSuccess() ? removed : 0;
}

void RecoveryStore::releaseKeptLocked() {
    for (KeptStatement* kept : {&keptFriend_, &keptChat_, &keptChatRoom_, &keptChatFriend_, &keptChatRows_,
                                &keptChatRoomRows_, &keptChatFriendRows_})
        kept->release();
}

void RecoveryStore::releaseKeptStatements() {
    std::lock_guard<std::mutex> lock(mutex_);
    releaseKeptLocked();
}

int RecoveryStore::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_) return SQLITE_OK;
    releaseKeptLocked();
    const int rc = sqldb::SqliteAssistant::closeDatabase(db_);
    db_ = nullptr;
    return rc;
}

void RecoveryStore::saveTargetDb(const std::string& path, common::ErrorInfo* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    error->clear();
    if (path.empty()) {
        WCR_SET_ERROR(error, -1, "Save path is empty!", "saveTargetDb");
        return;
    }
    if (common::fileExists(path)) {
        WCR_SET_ERROR(error, -1, path + " already exist!", "saveTargetDb");
        return;
    }
    // Written under a hidden temporary name in the same directory and given its name
    // only when whole: an interrupted save never leaves a file that looks like a
    // store, and a file that appeared meanwhile is not replaced.
    std::string failure;
    const std::string temporary = common::createTemporaryFileNextTo(path, ".partial-", &failure);
    if (temporary.empty()) {
        WCR_SET_ERROR(error, -1, "cannot create a file next to " + path + ": " + failure, "saveTargetDb");
        return;
    }
    const auto removeTemporary = [&temporary] {
        common::removeFileIfPresent(temporary);
        common::removeFileIfPresent(temporary + "-journal");
    };
    sqlite3* file = sqldb::SqliteAssistant::openDatabase(temporary, error);
    if (!file) {
        removeTemporary();
        return;
    }
    sqlite3_backup* backup = sqlite3_backup_init(file, "main", db_, "main");
    if (!backup) {
        WCR_SET_ERROR(error, -1, std::string("sqlite3_backup_init: ") + sqlite3_errmsg(file), "saveTargetDb");
        sqldb::SqliteAssistant::closeDatabase(file);
        removeTemporary();
        return;
    }
    const int stepRc = sqlite3_backup_step(backup, -1);
    const int finishRc = sqlite3_backup_finish(backup);
    if (stepRc != SQLITE_DONE || finishRc != SQLITE_OK) {
        const int rc = stepRc != SQLITE_DONE ? stepRc : finishRc;
        WCR_SET_ERROR(error, -1, std::string("sqlite3_backup_step: ") + sqlite3_errstr(rc), "saveTargetDb");
    }
    const int closeRc = sqldb::SqliteAssistant::closeDatabase(file);
    if (closeRc != SQLITE_OK && error->isSuccess()) {
        WCR_SET_ERROR(error, -1, std::string("sqlite3_close: ") + sqlite3_errstr(closeRc), "saveTargetDb");
    }
    if (error->isSuccess()) {
        switch (common::publishFile(temporary, path, &failure)) {
        case common::PublishResult::Published:
            break;
        case common::PublishResult::AlreadyExists:
            WCR_SET_ERROR(error, -1, path + " already exist!", "saveTargetDb");
            break;
        case common::PublishResult::Failed:
            WCR_SET_ERROR(error, -1, "cannot name the store " + path + ": " + failure, "saveTargetDb");
            break;
        }
    }
    removeTemporary();
}

}  // namespace wchat
}  // namespace talwen
