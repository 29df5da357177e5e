#include "wchat/WchatChatToDbSeeker.h"

#include <algorithm>
#include <climits>
#include <future>
#include <map>
#include <optional>
#include <set>
#include <type_traits>
#include <utility>

#include "common/CommonException.h"
#include "common/CommonFacility.h"
#include "sqlite_recovery/SqliteBlockSeeker.h"
#include "sqlite_recovery/SqliteDatabaseSeeker.h"
#include "common/Stopwatch.h"
#include "sqlite_recovery/Table.h"
#include "wchat/DuplicateMerger.h"
#include "wchat/FreedTogether.h"
#include "wchat/LostPageRuns.h"
#include "sqlite_recovery/TableStatement.h"
#include "wchat/NativeWchatChatRecordFilter.h"
#include "wchat/NativeWchatChatTableRecordFilter.h"
#include "wchat/NativeWchatChatTableSeekEventHandler.h"
#include "wchat/NativeWchatChatToDbSeekEventHandler.h"
#include "wchat/NativeWchatFriendRecordFilter.h"
#include "wchat/NativeWchatFriendSeekEventHandler.h"
#include "sqldb/ResultSet.h"
#include "sqldb/SqliteAssistant.h"
#include "wchat/WchatSourceDbDao.h"
#include "wchat/WchatTranslator.h"

#define WCR_UNIT "wchat/WchatChatToDbSeeker"

namespace talwen {
namespace wchat {

namespace {

// A read setting of the source connection; it changes no result. No memory map:
// its pages would count against the process like a buffer of the whole file.
const char* const kSourceMmapSql = "PRAGMA mmap_size = 0;";


using common::ErrorInfo;

const char* const kFriendDdlSql =
    "SELECT sql FROM sqlite_master WHERE (type='table') AND (tbl_name='Friend');";
const char* const kChatDdlSql =
    "SELECT sql FROM sqlite_master WHERE (type='table') AND (tbl_name LIKE 'Chat\\_%' ESCAPE "
    "'\\');";
const char* const kMessengerTablesSql =
    "SELECT name FROM sqlite_master WHERE (type='table') AND ((tbl_name='Friend') OR (tbl_name LIKE 'Chat\\_%' "
    "ESCAPE '\\')) LIMIT 1;";
const char* const kSqliteMasterDdl =
    "CREATE TABLE sqlite_master(type text not null, name text not null primary key, tbl_name "
    "text, rootpage integer not null, sql text);";

// The messenger's own layouts, carved by when the file's schema cannot be read
// (SQLite refuses every query of a file cut short or with a damaged sqlite_master),
// so the pages that are left still give their records.
const char* const kUsualFriendDdl =
    "CREATE TABLE Friend ( TableVer INTEGER DEFAULT 1 , UsrName TEXT PRIMARY KEY , NickName TEXT , "
    "Uin INTEGER DEFAULT 0 , Email TEXT , Mobile TEXT , Sex INTEGER DEFAULT 0 , FullPY TEXT , "
    "ShortPY TEXT , Img TEXT , Type INTEGER DEFAULT 0 , LastChatTime INTEGER DEFAULT 0 , Draft TEXT , "
    "DefaultRes1 INTEGER DEFAULT 0 , DefaultRes2 INTEGER DEFAULT 0 , DefaultRes3 TEXT )";
const char* const kUsualChatDdl =
    "CREATE TABLE Chat_usual(TableVer integer default 1, MesLocalID integer primary key autoincrement, "
    "MesSvrID integer default 0, CreateTime integer default 0, Message text, Status integer default 0, "
    "ImgStatus integer default 2, Type integer, Des integer)";

constexpr size_t kChatPrefixLength = 5;  // "Chat_"
constexpr size_t kHashLength = 32;

uint64_t elapsedOf(const common::Stopwatch& watch) {
    return static_cast<uint64_t>(std::max<int64_t>(0, watch.elapsedMilliseconds()));
}

// Runs one stage's work. A lookup that misses in a result of the messenger's
// database (a column or row the file lacks) throws CommonException; here it
// becomes the stage's failure instead of ending the process.
template <class Work>
void guarded(const char* function, ErrorInfo* error, Work&& work) {
    try {
        work();
    } catch (const common::CommonException& e) {
        WCR_SET_ERROR(error, -1,
                      std::string("Unexpected messenger database content[") + e.what() + "]!",
                      function);
    }
}

// The first column of the first row as text, if there is one.
std::optional<std::string> firstText(const sqldb::ResultSet& resultSet) {
    if (resultSet.getRowCount() == 0 || resultSet.getColCount() == 0) return std::nullopt;
    const std::shared_ptr<sqldb::ColValue> value = resultSet.getValue(0, 0u);
    if (!value->isText()) return std::nullopt;
    return value->getTextValue();
}

// The parsed, valid definition, or nothing (why then says why). The pipeline's
// own grammar first, then SQLite's whole one, so a definition with CHECK, a table
// constraint, a column without a type or STRICT is still carved by. A WITHOUT
// ROWID table keeps its rows in an index b-tree, which the carving does not read.
std::optional<sqlite::Table> parseDefinition(const std::string& statement, std::string* why = nullptr) {
    try {
        sqlite::Table table = sqlite::Table::parse(statement);
        if (table.isValid()) return table;
    } catch (const common::CommonException&) {
    }
    try {
        const sqlite::TableStatement parsed = sqlite::TableStatement::parse(statement);
        if (parsed.kind == sqlite::TableStatement::kOrdinary && parsed.table && parsed.table->isValid())
            return *parsed.table;
        if (why && parsed.kind == sqlite::TableStatement::kWithoutRowId)
            *why = parsed.tableName + " is a WITHOUT ROWID table, whose deleted rows are not carved";
        if (why && parsed.kind == sqlite::TableStatement::kVirtual)
            *why = parsed.tableName + " is a virtual table";
    } catch (const common::CommonException& e) {
        if (why) *why = e.what();
    }
    return std::nullopt;
}

// A failed stage's message with what it lost, for the partial result's reasons.
std::string lost(const std::string& what, const ErrorInfo& error) {
    return what + ": " + error.getMessage();
}

// Carves the records of table out of database on max(threadCount, 1) threads, with
// one handler per thread made by makeHandler; the handlers are left in `handlers`
// with what they found. Returns the seek's record count.
// Every frame of the write-ahead log (may be null) is carved after the file, by
// the first handler, as the page the frame names.
template <class Handler, class MakeHandler>
uint32_t carve(sqlite::Database* database, const sqlite::WalFile* wal, const sqlite::Table& table,
               sqlite::RecordFilter* filter, uint32_t threadCount, sqlite::SeekProgressIndicator* progress,
               std::vector<std::unique_ptr<Handler>>& handlers, MakeHandler makeHandler, ErrorInfo* error,
               const sqlite::CarveOptions& options = sqlite::CarveOptions()) {
    const uint32_t threads = std::max<uint32_t>(threadCount, 1);
    handlers.clear();
    std::vector<sqlite::SeekEventHandler*> pointers;
    pointers.reserve(threads);
    for (uint32_t i = 0; i < threads; ++i) {
        handlers.push_back(makeHandler());
        pointers.push_back(handlers.back().get());
    }
    sqlite::SqliteDatabaseSeeker seeker(database, &table, filter);
    seeker.setOptions(options);
    uint32_t found = seeker.seek(threads, progress, pointers.data(), error);
    if (error->isSuccess() && wal != nullptr && wal->getPageSize() == database->getPageSize()) {
        // The file's map says nothing about the log's images of its pages.
        sqlite::CarveOptions logOptions = options;
        logOptions.skipLiveCellInteriors = nullptr;
        logOptions.rebuildHeadersWith = nullptr;
        const sqlite::SqliteBlockSeeker blockSeeker(&table, database->getPageSize(), database->getUsableSize(),
                                                    filter, logOptions);
        found += wal->seek(blockSeeker, progress, pointers[0]);
        pointers[0]->onSliceEnd();  // the log's pages are one slice
    }
    return found;
}

// What every handler found, in handler order; found(handler) gives one handler's list.
template <class Handler, class Found>
auto gather(const std::vector<std::unique_ptr<Handler>>& handlers, Found found) {
    std::decay_t<decltype(found(std::declval<const Handler&>()))> all;
    for (const std::unique_ptr<Handler>& handler : handlers) {
        const auto& part = found(*handler);
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

}  // namespace

WchatChatToDbSeeker::WchatChatToDbSeeker(const std::string& sourcePath,
                                         const std::string& targetPath, common::Logger* logger)
    : sourcePath(sourcePath), targetPath(targetPath), logger(logger) {}

WchatChatToDbSeeker::~WchatChatToDbSeeker() {
    close();
    deducer.reset();
    fileBuffer.reset();
}

void WchatChatToDbSeeker::beginStage(Stage stage, uint32_t threadCount) {
    if (stageObserver) {
        StageReport report;
        report.threadCount = threadCount;
        stageObserver->onBegin(stage, report);
    }
    stageWatch.restart();
}

void WchatChatToDbSeeker::endStage(Stage stage, StageReport report) {
    report.elapsedMs = elapsedOf(stageWatch);
    if (stageObserver) stageObserver->onEnd(stage, report);
}

bool WchatChatToDbSeeker::cancelled(ErrorInfo* error) const {
    if (cancelFlag == nullptr || !cancelFlag->load()) return false;
    WCR_SET_ERROR(error, -1, "Recovery cancelled!", "run");
    return true;
}

// A stage's report that carries a count.
static StageReport counted(uint32_t count) {
    StageReport report;
    report.count = count;
    return report;
}

void WchatChatToDbSeeker::run(uint32_t threadCount, uint32_t seekFlags, ErrorInfo* error) {
    error->clear();
    if (runCalled) {
        WCR_SET_ERROR(error, -1,
                      "run called again[" + sourcePath +
                          "]: one object serves one recovery, create a new one!",
                      "run");
        return;
    }
    runCalled = true;
    const uint32_t threads = std::max<uint32_t>(threadCount, 1);

    // 1. The messenger's database through the SQLite library, read-only.
    beginStage(Stage::OpenSourceDb);
    sourceDb = sqldb::SqliteAssistant::openDatabaseReadOnly(sourcePath, error);
    if (!error->isSuccess()) return;
    sqldb::SqliteAssistant::executeSql(sourceDb, kSourceMmapSql, error);
    if (!error->isSuccess()) return;
    // A readable schema without one table of the messenger is another program's
    // database, not a damaged one; an unreadable schema is damage and is carved.
    {
        sqldb::ResultSet tables;
        ErrorInfo schemaError;
        sqldb::SqliteAssistant::query(sourceDb, 1, kMessengerTablesSql, tables, &schemaError);
        if (schemaError.isSuccess() && tables.getRowCount() == 0) {
            WCR_SET_ERROR(error, -1, "No messenger table (Friend, Chat_...) in the database!", "run");
            return;
        }
    }
    endStage(Stage::OpenSourceDb, {});

    // 2. The recovery store.
    beginStage(Stage::CreateTargetDb);
    createTargetDb(error);
    if (!error->isSuccess()) return;
    endStage(Stage::CreateTargetDb, {});

    // 3. The same file through the page reader.
    beginStage(Stage::OpenDatabase);
    database.open(sourcePath, error);
    if (!error->isSuccess()) return;
    const uint32_t claimedPages = database.keepWholePages();
    if (database.getPages() < claimedPages) {
        notePartial("the file holds " + std::to_string(database.getPages()) + " whole pages of the " +
                    std::to_string(claimedPages) + " its header counts; the pages after them are missing");
    }
    StageReport opened;
    opened.pageSize = database.getPageSize();
    opened.pageCount = database.getPages();
    endStage(Stage::OpenDatabase, opened);

    // 4. The whole file mapped, shared by every page read that follows.
    if (cancelled(error)) return;
    beginStage(Stage::LoadDatabase);
    loadDatabase(error);
    if (!error->isSuccess()) return;
    StageReport loaded;
    loaded.bytes = static_cast<uint64_t>(database.getPageSize()) * database.getPages();
    endStage(Stage::LoadDatabase, loaded);

    // 5. Live contacts.
    std::vector<std::shared_ptr<WchatFriend>> liveFriends;
    beginStage(Stage::SelectFriends);
    guarded("selectFriends", error, [&] { liveFriends = WchatSourceDbDao::selectFriends(sourceDb, error); });
    if (!error->isSuccess()) {
        // One row the translation refuses fails the whole select: read them one by one.
        error->clear();
        liveFriends = selectFriendsOneByOne(error);
        if (!error->isSuccess()) return;
    }
    endStage(Stage::SelectFriends, counted(static_cast<uint32_t>(liveFriends.size())));

    // 6, 7. Carved contacts and their merge with the live ones.
    std::vector<std::shared_ptr<WchatFriend>> friends = liveFriends;
    if ((seekFlags & kSeekFriends) != 0) {
        if (cancelled(error)) return;
        std::vector<std::shared_ptr<WchatFriend>> carved;
        beginStage(Stage::SeekFriends, threads);
        guarded("seekWchatFriends", error, [&] { carved = seekWchatFriends(threads, error); });
        if (!error->isSuccess() && !absorb("deleted contacts not carved", error)) return;
        endStage(Stage::SeekFriends, counted(static_cast<uint32_t>(carved.size())));
        if (cancelled(error)) return;
        beginStage(Stage::MergeFriends);
        friends = mergeWchatFriends(liveFriends, carved);
        endStage(Stage::MergeFriends, counted(static_cast<uint32_t>(liveFriends.size())));
    }

    // 8. Store the contacts; each gets its rcFriendId.
    beginStage(Stage::SaveFriends);
    store->insertFriends(friends, error);
    if (!error->isSuccess()) return;
    endStage(Stage::SaveFriends, {});

    // 9. Live conversation tables.
    std::vector<std::shared_ptr<sqlite::TableBtree>> liveTables;
    beginStage(Stage::SelectChatTables);
    guarded("selectChatTableBtrees", error,
            [&] { liveTables = WchatSourceDbDao::selectChatTableBtrees(sourceDb, error); });
    if (!error->isSuccess() && !absorb("live conversation tables not listed", error)) return;
    endStage(Stage::SelectChatTables, counted(static_cast<uint32_t>(liveTables.size())));

    // 10, 11. Conversation tables carved from deleted sqlite_master entries.
    std::vector<std::shared_ptr<sqlite::TableBtree>> tables = liveTables;
    if ((seekFlags & kSeekChatTables) != 0) {
        if (cancelled(error)) return;
        std::vector<std::shared_ptr<sqlite::TableBtree>> carved;
        beginStage(Stage::SeekChatTables, threads);
        guarded("seekWchatTableBtrees", error, [&] { carved = seekWchatTableBtrees(threads, error); });
        if (!error->isSuccess() && !absorb("deleted conversation tables not carved", error)) return;
        endStage(Stage::SeekChatTables, counted(static_cast<uint32_t>(carved.size())));
        if (cancelled(error)) return;
        beginStage(Stage::MergeChatTables);
        tables = mergeTableBtrees(liveTables, carved);
        endStage(Stage::MergeChatTables, counted(static_cast<uint32_t>(liveTables.size())));
    }

    // 12. Every table's b-tree, so each leaf page is known to belong to a conversation:
    // the live ones as they are, the dropped ones by what their freed pages still say,
    // judged by the map of who owns which page now.
    beginStage(Stage::WalkChatTables);
    chatScreen.prepare(sourceDb, database, fileBuffer.get(), sourcePath, &savedChats);
    const uint32_t leafPages = walkTableBtrees(tables, error);
    endStage(Stage::WalkChatTables, counted(leafPages));

    // 13. The contact index (live contacts first, then the carved ones, so a
    // conversation whose contact row was deleted but carved finds it) and the
    // deducer over it, with the further evidence of every known user name and the
    // tables' interior pages.
    beginStage(Stage::IndexFriends);
    tracer.indexSavedWchatFriends(friends, tables, error);
    if (!error->isSuccess()) return;
    attribution.index(friends, tables, tracer);
    endStage(Stage::IndexFriends, {});
    deducer = std::make_shared<WchatFriendDeducer>(store.get(), &tracer);
    deducer->setAttribution(&attribution);

    // 14. Every live message, in batches. The message writes of the live copy and
    // the carving share one transaction of the store (committed in large steps);
    // it ends before the store is finished, or when the run stops early.
    if (cancelled(error)) return;
    store->beginBulk();
    struct BulkEnd {
        RecoveryStore* store;
        ~BulkEnd() {
            ErrorInfo ignored;  // the run already reports why it stopped
            store->endBulk(&ignored);
        }
    } bulkEnd{store.get()};
    uint32_t liveChats = 0;
    beginStage(Stage::DumpChats);
    guarded("dumpAllWchatChats", error, [&] { liveChats = dumpAllWchatChats(liveTables, error); });
    if (!error->isSuccess()) return;
    endStage(Stage::DumpChats, counted(liveChats));

    // 15, 16. The carved messages, then the store's counters and indexes. The store
    // is completed even when the carving failed; that failure is still reported.
    if (cancelled(error)) return;
    uint32_t carvedChats = 0;
    // Carved messages get ids from here on (AUTOINCREMENT): what the finish reads
    // of them alone starts at this id instead of reading every live message too.
    const int64_t firstCarvedId = nextChatId();
    // What the live copy wrote stays live: the summary need not read it again.
    store->setLiveCopyEnd(firstCarvedId);
    beginStage(Stage::SeekChats, threads);
    guarded("seekWchatChats", error, [&] { carvedChats = seekWchatChats(threads, error); });
    {
        // A store that could not keep the messages fails the run, whatever the seek said.
        ErrorInfo commitError;
        store->endBulk(&commitError);
        if (!commitError.isSuccess()) {
            *error = commitError;
            return;
        }
    }
    if (error->isSuccess() && wal) {
        const int64_t repeated = store->removeRepeatedWalChats(error);
        carvedChats -= static_cast<uint32_t>(std::min<int64_t>(repeated, carvedChats));
    }
    ErrorInfo seekError = *error;
    store->setRejectedChats(static_cast<int64_t>(chatScreen.rejected()));
    // The keys of the live messages serve the seek only; with millions of messages
    // they are a large share of the run's memory.
    savedChats.clear();
    endStage(Stage::SeekChats, counted(carvedChats));
    // A seek cut short by a cancel request leaves what it stored; the store is
    // finished all the same and the run reported as cancelled.
    if (seekError.isSuccess()) cancelled(&seekError);

    beginStage(Stage::FinishTargetDb);
    // One copy per message before anything is counted; a failed merge leaves the
    // copies, which loses nothing.
    ErrorInfo mergeError;
    // The merge and the indexes sort every message: in temporary files, not in
    // memory, so that memory does not grow with the number of messages.
    sqldb::SqliteAssistant::executeSql(store->connection(), "PRAGMA temp_store = FILE;", &mergeError);
    mergeError.clear();
    // Owners made up before their user name turned up in a later page get it now.
    if (deducer) deducer->proveMadeUpOwners(&mergeError);
    mergedCopies = DuplicateMerger::merge(store->connection(), &mergeError, firstCarvedId);
    // Freed pages without evidence of their own go with the pages freed with them;
    // a failure leaves those messages untied, which loses nothing.
    if (const sqlite::PageMap* map = chatScreen.pageMap()) {
        ErrorInfo freedError;
        FreedTogether::tie(store->connection(), map->getFreelistLeaves(), WchatFriendDeducer::kRoomFreedWithKnownPages,
                           &freedError, firstCarvedId);
        if (!freedError.isSuccess() && logger) logger->log(freedError);
    }
    // What is still without conversation goes by runs of pages of one table, one
    // made-up contact each; a failure leaves those messages untied, which loses nothing.
    if (deducer) {
        ErrorInfo runError;
        LostPageRuns::tieRuns(store->connection(), WchatFriendDeducer::kRoomLiveOwner,
                              WchatFriendDeducer::kRoomRunOfLostPages,
                              [this](uint32_t firstPage, const std::set<std::string>& senders, bool person) {
                                  return deducer->makeUpRunOwner(firstPage, senders, person);
                              },
                              &runError, firstCarvedId, survivingTables());
        if (!runError.isSuccess() && logger) logger->log(runError);
    }
    // Only the live copy tied messages below the first carved id.
    liveCounted.firstUncountedId = firstCarvedId;
    store->finishTargetDb(
        error,
        [this](size_t done, size_t total) {
            if (stageObserver) stageObserver->onProgress(Stage::FinishTargetDb, done, total);
        },
        &liveCounted);
    if (error->isSuccess()) store->insertPartialReasons(partialReasons, error);
    const bool finished = error->isSuccess();
    endStage(Stage::FinishTargetDb, {});
    if (finished && !seekError.isSuccess()) *error = seekError;
}

LostPageRuns::Surviving WchatChatToDbSeeker::survivingTables() const {
    LostPageRuns::Surviving surviving;
    surviving.liveGaps = &liveGaps;
    surviving.lastIds = lastLiveIds();
    for (const auto& [tableName, owner] : liveTableOwners) {
        const std::string name = tableName.size() > kChatPrefixLength
                                     ? attribution.findNameByHash(tableName.substr(kChatPrefixLength))
                                     : std::string();
        if (!name.empty()) surviving.names[owner] = name;
    }
    surviving.listsMembers = [this](const std::string& room, const std::set<std::string>& senders) {
        return tracer.findGroupsOfAllMembers(senders).count(room) != 0;
    };
    surviving.fitType = WchatFriendDeducer::kRoomFitsOneSurvivingTable;
    return surviving;
}

std::map<int64_t, int64_t> WchatChatToDbSeeker::lastLiveIds() const {
    // AUTOINCREMENT keeps the largest MesLocalID each table gave out in
    // sqlite_sequence; without it (or the table) nothing is known.
    std::map<int64_t, int64_t> lastIds;
    sqldb::ResultSet rows;
    ErrorInfo error;
    sqldb::SqliteAssistant::query(sourceDb, 0, "SELECT name, seq FROM sqlite_sequence;", rows, &error);
    if (!error.isSuccess()) return lastIds;
    for (uint32_t row = 0; row < rows.getRowCount(); ++row) {
        const std::shared_ptr<sqldb::ColValue> name = rows.getValue(row, 0u);
        const std::shared_ptr<sqldb::ColValue> seq = rows.getValue(row, 1u);
        if (!name->isText() || !seq->isInteger()) continue;
        const auto owner = liveTableOwners.find(name->getTextValue());
        if (owner != liveTableOwners.end()) lastIds[owner->second] = seq->getIntegerValue();
    }
    return lastIds;
}

int64_t WchatChatToDbSeeker::nextChatId() const {
    // 0 (read everything) when the store cannot tell.
    sqlite3_stmt* stmt = nullptr;
    int64_t next = 0;
    if (sqlite3_prepare_v2(store->connection(), "SELECT ifnull(max(rcChatId), 0) + 1 FROM WC_Chat;", -1, &stmt,
                           nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW)
        next = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    return next;
}

uint64_t WchatChatToDbSeeker::estimateRows(const std::string& tableName) const {
    // The largest row id is found without reading the table; rows deleted since
    // make it an overestimate, which only slows the bar.
    std::string quoted(tableName);
    common::replaceAll(quoted, "\"", "\"\"");
    sqldb::ResultSet result;
    ErrorInfo error;
    sqldb::SqliteAssistant::query(sourceDb, 1, "SELECT max(rowid) FROM \"" + quoted + "\";", result, &error);
    if (!error.isSuccess() || result.getRowCount() == 0) return 0;
    const std::shared_ptr<sqldb::ColValue> value = result.getValue(0, 0u);
    return value->isInteger() && value->getIntegerValue() > 0 ? static_cast<uint64_t>(value->getIntegerValue()) : 0;
}

void WchatChatToDbSeeker::notePartial(const std::string& reason) {
    if (partialReasons.size() + 1 < kMaxPartialReasons) {
        partialReasons.push_back(reason);
        return;
    }
    ++partialLeftOut;
    const std::string last = std::to_string(partialLeftOut) + " more reasons left out";
    if (partialReasons.size() + 1 == kMaxPartialReasons) partialReasons.push_back(last);
    else partialReasons.back() = last;
}

bool WchatChatToDbSeeker::absorb(const std::string& what, ErrorInfo* error) {
    if (error->isSuccess()) return false;
    if (cancelFlag != nullptr && cancelFlag->load()) return false;
    notePartial(lost(what, *error));
    error->clear();
    return true;
}

std::vector<std::shared_ptr<WchatFriend>> WchatChatToDbSeeker::selectFriendsOneByOne(ErrorInfo* error) {
    error->clear();
    sqldb::ResultSet ids;
    ErrorInfo listError;
    sqldb::SqliteAssistant::query(sourceDb, 0, "SELECT Friend.rowid FROM Friend;", ids, &listError);
    if (!listError.isSuccess()) {
        notePartial(lost("live contacts not read", listError));
        return {};
    }
    std::string sql = WchatSourceDbDao::kSelectFriendsSql;
    if (!sql.empty() && sql.back() == ';') sql.pop_back();
    std::vector<std::shared_ptr<WchatFriend>> friends;
    uint32_t skipped = 0;
    std::string firstFailure;
    for (uint32_t r = 0; r < ids.getRowCount(); ++r) {
        if (cancelled(error)) return friends;
        const std::shared_ptr<sqldb::ColValue> id = ids.getValue(r, 0u);
        ErrorInfo rowError;
        std::vector<std::shared_ptr<WchatFriend>> row;
        guarded("selectFriends", &rowError, [&] {
            sqldb::ResultSet one;
            sqldb::SqliteAssistant::query(sourceDb, 0,
                                          sql + " WHERE Friend.rowid = " + std::to_string(id->getIntegerValue()) + ";",
                                          one, &rowError);
            if (rowError.isSuccess()) row = WchatTranslator::translateResultSetToWchatFriends(one, &rowError);
        });
        if (!rowError.isSuccess()) {
            if (skipped++ == 0) firstFailure = rowError.getMessage();
            continue;
        }
        friends.insert(friends.end(), row.begin(), row.end());
    }
    if (skipped > 0) {
        notePartial("Friend: " + std::to_string(skipped) + " of " + std::to_string(ids.getRowCount()) +
                    " live rows skipped (first: " + firstFailure + ")");
    }
    return friends;
}

std::vector<std::shared_ptr<WchatChat>> WchatChatToDbSeeker::selectChatsOneByOne(const std::string& tableName,
                                                                                 uint32_t offset, ErrorInfo* error) {
    error->clear();
    const std::string quoted = WchatSourceDbDao::quoteIdentifier(tableName);
    sqldb::ResultSet ids;
    sqldb::SqliteAssistant::query(sourceDb, 0,
                                  "SELECT rowid FROM " + quoted + " LIMIT " + std::to_string(kDumpBatchRows) +
                                      " OFFSET " + std::to_string(offset) + ";",
                                  ids, error);
    if (!error->isSuccess()) return {};
    oneByOneSpan = ids.getRowCount();
    std::vector<std::shared_ptr<WchatChat>> chats;
    for (uint32_t r = 0; r < ids.getRowCount(); ++r) {
        const std::shared_ptr<sqldb::ColValue> id = ids.getValue(r, 0u);
        ErrorInfo rowError;
        std::vector<std::shared_ptr<WchatChat>> row;
        guarded("selectChats", &rowError, [&] {
            sqldb::ResultSet one;
            sqldb::SqliteAssistant::query(sourceDb, 0,
                                          "SELECT * FROM " + quoted + " WHERE rowid = " +
                                              std::to_string(id->getIntegerValue()) + ";",
                                          one, &rowError);
            if (rowError.isSuccess()) row = WchatTranslator::translateResultSetToWchatChats(one, &rowError);
        });
        if (!rowError.isSuccess()) {
            if (oneByOneSkipped++ == 0) oneByOneFailure = rowError.getMessage();
            continue;
        }
        chats.insert(chats.end(), row.begin(), row.end());
    }
    return chats;
}

void WchatChatToDbSeeker::close() {
    if (sourceDb) {
        sqldb::SqliteAssistant::closeDatabase(sourceDb);
        sourceDb = nullptr;
    }
    if (store) {
        store->close();
        store.reset();
    }
    database.close();
    tracer.clear();
    attribution.clear();
    savedChats.clear();
}

void WchatChatToDbSeeker::createTargetDb(ErrorInfo* error) {
    if (!targetPath.empty() && common::fileExists(targetPath)) {
        WCR_SET_ERROR(error, -1, targetPath + " already exist!", "createTargetDb");
        return;
    }
    store = RecoveryStore::create(targetPath, error);
}

void WchatChatToDbSeeker::loadDatabase(ErrorInfo* error) {
    fileBuffer = database.readAllPages(error);
    if (error->isSuccess()) loadWal();
}

void WchatChatToDbSeeker::loadWal() {
    wal.reset();
    const std::string walPath = sourcePath + "-wal";
    if (!common::fileExists(walPath)) return;
    auto log = std::make_unique<sqlite::WalFile>();
    const bool opened = log->open(walPath, database.getPageSize());
    if (!log->getNote().empty()) {
        // Part of the log (a torn last frame, a damaged header) was not read: the
        // result says so, as it does for the file's own damage.
        const size_t slash = walPath.find_last_of("/\\");
        notePartial((slash == std::string::npos ? walPath : walPath.substr(slash + 1)) + ": " + log->getNote());
        if (logger != nullptr) {
            ErrorInfo note;
            WCR_SET_ERROR(&note, 1, walPath + ": " + log->getNote(), "loadWal");
            logger->log(note);
        }
    }
    if (opened && !log->getFrames().empty()) wal = std::move(log);
}

std::vector<std::shared_ptr<WchatFriend>> WchatChatToDbSeeker::seekWchatFriends(
    uint32_t threadCount, ErrorInfo* error) {
    sqldb::ResultSet resultSet;
    sqldb::SqliteAssistant::query(sourceDb, 1, kFriendDdlSql, resultSet, error);
    std::optional<std::string> ddl;
    if (error->isSuccess()) {
        ddl = firstText(resultSet);
    } else {
        notePartial(lost("the contact definition not read, the usual one used", *error));
        error->clear();
        ddl = kUsualFriendDdl;
    }
    std::optional<sqlite::Table> table;
    std::string why;
    if (ddl) {
        // The messenger stores ShortPY as a blob although it declares it TEXT.
        common::replaceAll(*ddl, ", ShortPY TEXT ,", ", ShortPY BLOB ,");
        table = parseDefinition(*ddl, &why);
    }
    if (!table) {
        WCR_SET_ERROR(error, -1, "Parse Wchat FRIEND DDL fail!" + (why.empty() ? "" : " (" + why + ")"),
                      "seekWchatFriends");
        return {};
    }

    NativeWchatFriendRecordFilter filter;
    std::vector<std::unique_ptr<NativeWchatFriendSeekEventHandler>> handlers;
    carve(&database, wal.get(), *table, &filter, threadCount, friendSeekProgress, handlers,
          [] { return std::make_unique<NativeWchatFriendSeekEventHandler>(); }, error,
          NativeWchatFriendRecordFilter::carveOptions(*table));
    return gather(handlers, [](const NativeWchatFriendSeekEventHandler& handler) -> const auto& {
        return handler.getWchatFriends();
    });
}

std::vector<std::shared_ptr<sqlite::TableBtree>> WchatChatToDbSeeker::seekWchatTableBtrees(
    uint32_t threadCount, ErrorInfo* error) {
    error->clear();
    const std::optional<sqlite::Table> table = parseDefinition(kSqliteMasterDdl);
    if (!table) {
        WCR_SET_ERROR(error, -1, "Parse 'sqlite_master' DDL fail!", "seekWchatTableBtrees");
        return {};
    }

    NativeWchatChatTableRecordFilter filter;
    std::vector<std::unique_ptr<NativeWchatChatTableSeekEventHandler>> handlers;
    carve(&database, wal.get(), *table, &filter, threadCount, chatTableSeekProgress, handlers,
          [] { return std::make_unique<NativeWchatChatTableSeekEventHandler>(); }, error,
          NativeWchatChatTableRecordFilter::carveOptions());
    return gather(handlers,
                  [](const NativeWchatChatTableSeekEventHandler& handler) -> const auto& {
                      return handler.getTableBtrees();
                  });
}

uint32_t WchatChatToDbSeeker::seekWchatChats(uint32_t threadCount, ErrorInfo* error) {
    sqldb::ResultSet resultSet;
    sqldb::SqliteAssistant::query(sourceDb, 1, kChatDdlSql, resultSet, error);
    std::optional<std::string> ddl;
    if (error->isSuccess()) {
        // Without a live conversation table there is no definition to carve by:
        // nothing is found, which is not a failure of the file.
        if (resultSet.getRowCount() == 0) return 0;
        ddl = firstText(resultSet);
    } else {
        notePartial(lost("the conversation definition not read, the usual one used", *error));
        error->clear();
        ddl = kUsualChatDdl;
    }
    // All conversation tables share one layout; the first one stands for all.
    std::string why;
    const std::optional<sqlite::Table> table = ddl ? parseDefinition(*ddl, &why) : std::nullopt;
    if (!table) {
        // The live messages are copied; only the carving lacks a layout to read by.
        notePartial("deleted messages not carved: Parse WChat Chat DDL fail!" + (why.empty() ? "" : " (" + why + ")"));
        return 0;
    }

    NativeWchatChatRecordFilter filter;
    // Rows that cannot be messages (other tables' rows, chance matches) are turned
    // away before they are stored, and counted.
    // The screen's page map was built before the tables' walk (prepareChatScreen).
    std::vector<std::unique_ptr<NativeWchatChatToDbSeekEventHandler>> handlers;
    // The carved messages reach the store in an order that does not depend on
    // the threads' timing: their ids, and what is deduced from what came first,
    // are the same in every run.
    sqlite::CarveOptions ordered;
    ordered.orderedSlices = true;
    // The screen refuses what starts inside a live cell away from its record; the
    // seek need not read those bytes at all (most of a live file's).
    ordered.skipLiveCellInteriors = chatScreen.pageMap();
    // Short rows lose their first serial type to the freeblock header that frees
    // them: most deleted text messages of a young conversation.
    ordered.rebuildHeadersWith = chatScreen.pageMap();
    return carve(&database, wal.get(), *table, chatScreen.wrap(&filter), threadCount, chatSeekProgress, handlers,
                 [this] {
                     auto handler = std::make_unique<NativeWchatChatToDbSeekEventHandler>(store.get(), deducer.get(),
                                                                                          &savedChats, logger);
                     handler->holdPagesToSliceEnd(true);
                     return handler;
                 },
                 error, ordered);
}

std::vector<std::shared_ptr<WchatFriend>> WchatChatToDbSeeker::mergeWchatFriends(
    const std::vector<std::shared_ptr<WchatFriend>>& live,
    const std::vector<std::shared_ptr<WchatFriend>>& carved) {
    std::vector<std::shared_ptr<WchatFriend>> merged = live;
    std::set<std::string> seen;
    for (const std::shared_ptr<WchatFriend>& f : live) seen.insert(f->getUsrName());
    for (const std::shared_ptr<WchatFriend>& f : carved) {
        if (seen.insert(f->getUsrName()).second) merged.push_back(f);
    }
    return merged;
}

std::vector<std::shared_ptr<sqlite::TableBtree>> WchatChatToDbSeeker::mergeTableBtrees(
    const std::vector<std::shared_ptr<sqlite::TableBtree>>& live,
    const std::vector<std::shared_ptr<sqlite::TableBtree>>& carved) {
    std::vector<std::shared_ptr<sqlite::TableBtree>> merged = live;
    merged.insert(merged.end(), carved.begin(), carved.end());
    return merged;
}

uint32_t WchatChatToDbSeeker::walkTableBtrees(const std::vector<std::shared_ptr<sqlite::TableBtree>>& tables,
                                              ErrorInfo* error) {
    uint32_t total = 0;
    const sqlite::PageMap* map = chatScreen.pageMap();
    // Free pages by the names of the dropped tables whose stale pointers reach them.
    std::map<uint32_t, std::set<std::string>> claims;
    for (const std::shared_ptr<sqlite::TableBtree>& table : tables) {
        if (map != nullptr && fileBuffer && table->getObtainWay() != common::EntityBase::kObtainBySqlite) {
            table->collectStalePages(database, fileBuffer.get(), *map);
            for (const uint32_t page : table->getLeafPages()) claims[page].insert(table->getTableName());
            for (const uint32_t page : table->getInteriorPages()) claims[page].insert(table->getTableName());
            continue;
        }
        // A walk that fails keeps the pages it reached; that is all we can know.
        ErrorInfo walkError;
        table->collectPages(&database, &walkError);
    }
    // A page freed by one dropped table and reused and freed again by another is
    // reached by both: the file does not say whose its rows are.
    std::set<uint32_t> contested;
    for (const auto& entry : claims)
        if (entry.second.size() > 1) contested.insert(entry.first);
    for (const std::shared_ptr<sqlite::TableBtree>& table : tables) {
        if (!contested.empty() && table->getObtainWay() != common::EntityBase::kObtainBySqlite)
            table->forgetPages(contested);
        total += static_cast<uint32_t>(table->getLeafPages().size());
    }
    // The walk read pages all over the file; their memory is not needed any more.
    database.releaseAllPages();
    error->clear();
    return total;
}

uint32_t WchatChatToDbSeeker::dumpAllWchatChats(
    const std::vector<std::shared_ptr<sqlite::TableBtree>>& tables, ErrorInfo* error) {
    dumpEstimate = 0;
    dumpDone = 0;
    for (const std::shared_ptr<sqlite::TableBtree>& table : tables) dumpEstimate += estimateRows(table->getTableName());
    if (stageObserver) stageObserver->onProgress(Stage::DumpChats, 0, dumpEstimate);
    // Row ids can be sparse (or forged): no more keys than rows the file can hold.
    const uint64_t fileRows = static_cast<uint64_t>(database.getPages()) * database.getPageSize() / 32;
    savedChats.reserve(static_cast<size_t>(std::min<uint64_t>(dumpEstimate, fileRows)));
    // Whatever ends the copy, even an exception, a read ahead still running ends
    // before the source can be closed.
    struct ReadAheadEnd {
        std::future<ReadAhead>& readAhead;
        ~ReadAheadEnd() {
            if (readAhead.valid()) readAhead.wait();
        }
    } readAheadEnd{readAhead};
    uint32_t total = 0;
    for (size_t t = 0; t < tables.size(); ++t) {
        const std::string& tableName = tables[t]->getTableName();
        const std::string* nextTable = t + 1 < tables.size() ? &tables[t + 1]->getTableName() : nullptr;
        total += dumpWchatChats(tableName, nextTable, error);
        // A table that cannot be read (or read to its end) is one reason; its pages
        // are carved all the same. A store that cannot be written stops the run.
        if (!error->isSuccess() && !(dumpReadFailed && absorb(tableName, error))) break;
    }
    // A read ahead of a table not copied (the run stopped) ends here, unused.
    takeReadAhead(std::string());
    liveGaps.trim();
    return total;
}

std::optional<WchatChatToDbSeeker::ReadAhead> WchatChatToDbSeeker::takeReadAhead(const std::string& tableName) {
    if (!readAhead.valid()) return std::nullopt;
    ReadAhead ahead = readAhead.get();
    const bool ours = readAheadTable == tableName && ahead.error.isSuccess();
    readAheadTable.clear();
    if (!ours) return std::nullopt;
    return ahead;
}

uint32_t WchatChatToDbSeeker::dumpWchatChats(const std::string& tableName, const std::string* nextTable,
                                             ErrorInfo* error) {
    error->clear();
    // Taken first, so that whatever this table does, nothing else reads the source meanwhile.
    std::optional<ReadAhead> first = takeReadAhead(tableName);
    dumpReadFailed = false;
    oneByOneSkipped = 0;
    const std::string hash =
        tableName.size() > kChatPrefixLength ? tableName.substr(kChatPrefixLength) : std::string();
    if (hash.size() != kHashLength) {
        dumpReadFailed = true;
        WCR_SET_ERROR(error, -1, "chatTableName[" + tableName + "] invalid!", "dumpWchatChats");
        return 0;
    }
    int64_t ownerId = tracer.findRcFriendIdByHashedUsrName(hash);
    if (!deducer) deducer = std::make_shared<WchatFriendDeducer>(store.get(), &tracer);

    // The reader: the next batch of the table and the rows of the table it covers
    // (fewer than asked ends the table). Its state is its own, so the next batch
    // is read on a worker thread while the store takes the current one.
    struct Fetched {
        std::vector<std::shared_ptr<WchatChat>> batch;
        size_t span = 0;
        size_t asked = 0;
        ErrorInfo error;
        bool readFailed = false;
        bool cancelled = false;
    };
    uint32_t offset = 0;  // rows of the table read so far, for the plain way
    int64_t lastRowId = INT64_MIN;
    bool byOffset = liveCopyByOffset;
    const auto readNext = [&]() {
        Fetched f;
        if (cancelled(&f.error)) {
            f.cancelled = true;
            return f;
        }
        f.asked = byOffset ? kDumpBatchRows : kDumpRangeRows;
        if (!byOffset) {
            const int64_t before = lastRowId;
            if (first) {
                // Read ahead from the table's start without failure: the very rows
                // and last row id the read below gives for the first batch.
                f.batch = std::move(first->batch);
                lastRowId = first->lastRowId;
                first.reset();
            } else {
                guarded("selectChats", &f.error, [&] {
                    f.batch = WchatSourceDbDao::selectChatsAfter(sourceDb, tableName, lastRowId, kDumpRangeRows,
                                                                 &lastRowId, &f.error);
                });
            }
            f.span = f.batch.size();
            if (f.error.isSuccess()) {
                offset += static_cast<uint32_t>(f.span);
                return f;
            }
            // A table without row ids, or a row the translation refuses: the rest
            // of the table is read the plain way, where failing rows are skipped.
            byOffset = true;
            f.error.clear();
            lastRowId = before;
            f.asked = kDumpBatchRows;
        }
        guarded("selectChats", &f.error,
                [&] { f.batch = WchatSourceDbDao::selectChats(sourceDb, tableName, offset, kDumpBatchRows, &f.error); });
        f.span = f.batch.size();
        if (!f.error.isSuccess()) {
            // One row the translation refuses fails its whole batch: read the batch
            // one row at a time and skip the rows that fail.
            const uint32_t skippedBefore = oneByOneSkipped;
            f.batch = selectChatsOneByOne(tableName, offset, &f.error);
            f.span = oneByOneSpan;
            // A whole batch of failing rows is a table the translation cannot read
            // at all (a column missing): reading the rest row by row would be slow
            // and give nothing.
            if (f.error.isSuccess() && f.batch.empty() && f.span == kDumpBatchRows &&
                oneByOneSkipped - skippedBefore == f.span) {
                WCR_SET_ERROR(&f.error, -1, "no row of " + std::to_string(f.span) + " readable (first: " +
                                                oneByOneFailure + "); the rest not read", "dumpWchatChats");
                oneByOneSkipped = skippedBefore;
            }
            if (!f.error.isSuccess()) {
                f.readFailed = true;
                return f;
            }
        }
        offset += kDumpBatchRows;
        return f;
    };

    // The keys of the messages read go into the index the carving asks on the
    // reading thread, which waits on the store's writes most of the time. A batch
    // read is written unless the run ends first, and then nothing is carved.
    const auto readAndIndex = [&]() {
        Fetched f = readNext();
        if (!f.cancelled && !f.readFailed) savedChats.addAll(f.batch);
        return f;
    };
    uint32_t copied = 0;
    Fetched current = readAndIndex();
    for (;;) {
        if (current.cancelled || current.readFailed) {
            *error = current.error;
            dumpReadFailed = current.readFailed;
            break;
        }
        if (current.span == 0) break;
        const bool more = current.span >= current.asked;
        std::future<Fetched> next;
        if (more) {
            next = std::async(std::launch::async, readAndIndex);
        } else if (nextTable != nullptr && !liveCopyByOffset) {
            // This table is read to its end: the next one's first batch meanwhile.
            readAheadTable = *nextTable;
            const std::string name = *nextTable;
            readAhead = std::async(std::launch::async, [this, name] {
                ReadAhead ahead;
                int64_t lastRowId = INT64_MIN;
                guarded("selectChats", &ahead.error, [&] {
                    ahead.batch = WchatSourceDbDao::selectChatsAfter(sourceDb, name, INT64_MIN, kDumpRangeRows,
                                                                     &lastRowId, &ahead.error);
                });
                ahead.lastRowId = lastRowId;
                return ahead;
            });
        }
        // Whatever happens to this batch, the read ahead ends before we go on.
        struct Join {
            std::future<Fetched>& next;
            ~Join() {
                if (next.valid()) next.wait();
            }
        } join{next};
        if (!current.batch.empty()) {
            writeLiveBatch(current.batch, hash, ownerId, error);
            if (!error->isSuccess()) break;
            copied += static_cast<uint32_t>(current.batch.size());
            dumpDone += current.batch.size();
            if (stageObserver)
                stageObserver->onProgress(Stage::DumpChats, dumpDone, std::max(dumpDone, dumpEstimate));
        }
        if (!more) break;
        current = next.get();
    }
    if (ownerId != 0) liveTableOwners[tableName] = ownerId;
    if (oneByOneSkipped > 0) {
        notePartial(tableName + ": " + std::to_string(oneByOneSkipped) + " live rows skipped (first: " +
                    oneByOneFailure + ")");
    }
    return copied;
}

void WchatChatToDbSeeker::writeLiveBatch(const std::vector<std::shared_ptr<WchatChat>>& batch,
                                         const std::string& hash, int64_t& ownerId, ErrorInfo* error) {
    // A live conversation whose contact row is gone would be tied to no one and
    // shown nowhere: it gets a made-up owner, as a dropped conversation does.
    for (const std::shared_ptr<WchatChat>& chat : batch) deducer->noteNames(*chat);
    if (ownerId == 0) ownerId = deducer->findOrMakeUpOwner(hash);

    store->insertChats(batch, error);
    if (!error->isSuccess()) return;

    if (ownerId != 0) {
        std::set<int64_t> rcChatIds;
        // The batch's ids ascend (one insert run under the store's lock): each goes at the end.
        for (const std::shared_ptr<WchatChat>& chat : batch) rcChatIds.insert(rcChatIds.end(), chat->getRcChatId());
        store->insertChatRoomsOfFriend(WchatFriendDeducer::kRoomLiveOwner, rcChatIds, ownerId, error);
        if (!error->isSuccess()) return;
        RecoveryStore::FriendTally& owner = liveCounted.tallies[ownerId];
        for (const std::shared_ptr<WchatChat>& chat : batch) {
            owner.addRoomChat(*chat);
            if (chat->hasValue(WchatChat::kMesLocalIdFlag) && chat->hasValue(WchatChat::kCreateTimeFlag))
                liveGaps.add(ownerId, chat->getMesLocalId(), chat->getCreateTime());
        }
    }

    RecoveryStore::ChatFriendMap chatFriends;
    std::vector<std::pair<const WchatChat*, int64_t>> senders;
    for (const std::shared_ptr<WchatChat>& chat : batch) {
        uint16_t deduceType = 0;
        int64_t rcFriendId = 0;
        if (deducer->deduceLiveChatFriend(*chat, ownerId, deduceType, rcFriendId)) {
            chatFriends.emplace_hint(chatFriends.end(), chat->getRcChatId(), std::make_pair(rcFriendId, deduceType));
            senders.emplace_back(chat.get(), rcFriendId);
        }
    }
    store->insertChatFriends(chatFriends, error);
    if (!error->isSuccess()) return;
    for (const auto& sender : senders) liveCounted.tallies[sender.second].addSenderChat(*sender.first);
}

}  // namespace wchat
}  // namespace talwen
