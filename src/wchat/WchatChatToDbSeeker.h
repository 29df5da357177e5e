#pragma once

#include <cstdint>
#include <atomic>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sqlite_recovery/Database.h"
#include "common/ErrorInfo.h"
#include "common/Logger.h"
#include "common/Stopwatch.h"
#include "sqlite_recovery/SeekProgressIndicator.h"
#include "sqlite_recovery/SqliteFacility.h"
#include "sqlite_recovery/TableBtree.h"
#include "wchat/CarvedChatScreen.h"
#include "wchat/ChatAttribution.h"
#include "wchat/LostPageRuns.h"
#include "sqlite_recovery/WalFile.h"
#include "wchat/PipelineStage.h"
#include "wchat/RecoveryStore.h"
#include "wchat/SavedChatIndex.h"
#include "wchat/WchatChat.h"
#include "wchat/WchatFriend.h"
#include "wchat/WchatFriendDeducer.h"
#include "wchat/WchatFriendTracer.h"

namespace talwen {
namespace wchat {

// Turns one copy of the messenger's database into a recovery store, in sixteen
// stages: live contacts, carved contacts, their merge and storage; live and carved
// conversation tables, their merge and b-tree walk; the contact index; the copy of
// every live message; the carving of every message of the file, stored with its
// deduced conversation and sender; the store's counters and indexes.
//
// One object serves one recovery: construct, configure, run once, then query the
// store through getTargetDb while the object lives. run and every callback run on
// the caller's thread; the carving seeks start and join their own threads.
class WchatChatToDbSeeker {
public:
    // seekFlags of run.
    static constexpr uint32_t kSeekFriends = 0x1;
    static constexpr uint32_t kSeekChatTables = 0x2;
    // Rows per select and per store transaction when live messages are copied.
    static constexpr uint32_t kDumpBatchRows = 1000;
    // The same by row id ranges (no rows read again to skip them).
    static constexpr uint32_t kDumpRangeRows = 5000;
    // Copies live messages by LIMIT/OFFSET pages instead of row id ranges: the
    // plain way, kept to compare with (same rows, same order) and used for a
    // table without row ids.
    void setLiveCopyByOffset(bool byOffset) { liveCopyByOffset = byOffset; }

    // targetPath empty: the store is a database without a file name that lives as
    // long as the object keeps it open. logger may be null and is not owned.
    WchatChatToDbSeeker(const std::string& sourcePath, const std::string& targetPath,
                        common::Logger* logger);
    ~WchatChatToDbSeeker();
    WchatChatToDbSeeker(const WchatChatToDbSeeker&) = delete;
    WchatChatToDbSeeker& operator=(const WchatChatToDbSeeker&) = delete;

    // Told of every stage's begin and end; not owned, may be null.
    void setStageObserver(StageObserver* observer) { stageObserver = observer; }
    // When the flag turns true (from any thread), run stops at the next stage or
    // batch boundary with code -1 "Recovery cancelled!"; a carving seek ends within
    // a page when a stop is also requested on its progress indicator. A message
    // seek cut short still finishes the store, which then holds a partial result.
    // Not owned, may be null.
    void setCancelFlag(const std::atomic<bool>* flag) { cancelFlag = flag; }

    // Not owned; each may be null.
    void setFriendSeekProgress(sqlite::SeekProgressIndicator* progress) { friendSeekProgress = progress; }
    void setChatTableSeekProgress(sqlite::SeekProgressIndicator* progress) {
        chatTableSeekProgress = progress;
    }
    void setChatSeekProgress(sqlite::SeekProgressIndicator* progress) { chatSeekProgress = progress; }

    // Runs the sixteen stages with threadCount seek threads per carving seek
    // (0 counts as 1). A damaged source does not stop it: a table, batch, row or
    // definition that cannot be read, or pages missing from the file's end, are
    // skipped with a reason (getPartialReasons, also kept in the store) and the run
    // goes on, carving every page there is. It stops at the first other failing
    // stage (the source cannot be opened at all, the store cannot be written, a
    // cancel); the carving of messages and the store's completion always run
    // together, and the first failure of the two is the one reported. A second call
    // is refused: one object, one recovery.
    void run(uint32_t threadCount, uint32_t seekFlags, common::ErrorInfo* error);

    // The store (null before stage 2 and after close). Query its connection with
    // SqliteAssistant::query, e.g. "SELECT * FROM WC_ChatInRoom WHERE rcFriendId = 3".
    RecoveryStore* getStore() const { return store.get(); }
    sqlite3* getTargetDb() const { return store ? store->connection() : nullptr; }
    // Closes both connections (the store's kept statements are finalized first)
    // and the page reader, and empties the contact and message indexes.
    void close();

    // Stage operations, in the order run calls them.
    void createTargetDb(common::ErrorInfo* error);
    void loadDatabase(common::ErrorInfo* error);
    // Reads the write-ahead log beside the copy, if any; never fails the run.
    void loadWal();
    std::vector<std::shared_ptr<WchatFriend>> seekWchatFriends(uint32_t threadCount,
                                                               common::ErrorInfo* error);
    std::vector<std::shared_ptr<sqlite::TableBtree>> seekWchatTableBtrees(uint32_t threadCount,
                                                                  common::ErrorInfo* error);
    uint32_t walkTableBtrees(const std::vector<std::shared_ptr<sqlite::TableBtree>>& tables,
                             common::ErrorInfo* error);
    uint32_t dumpAllWchatChats(const std::vector<std::shared_ptr<sqlite::TableBtree>>& tables,
                               common::ErrorInfo* error);
    // Stores one batch of live messages of the table with hashed owner name hash,
    // with its conversation and sender ties; ownerId is found or made up once.
    void writeLiveBatch(const std::vector<std::shared_ptr<WchatChat>>& batch, const std::string& hash,
                        int64_t& ownerId, common::ErrorInfo* error);
    // nextTable, when given, is the table copied next: its first rows are read
    // while the last rows of this one are stored.
    uint32_t dumpWchatChats(const std::string& tableName, const std::string* nextTable, common::ErrorInfo* error);
    uint32_t seekWchatChats(uint32_t threadCount, common::ErrorInfo* error);

    // Live contacts in order (duplicates kept), then each carved contact whose user
    // name was not seen yet.
    static std::vector<std::shared_ptr<WchatFriend>> mergeWchatFriends(
        const std::vector<std::shared_ptr<WchatFriend>>& live,
        const std::vector<std::shared_ptr<WchatFriend>>& carved);
    // Live tables followed by carved ones; a table found both ways is listed twice.
    static std::vector<std::shared_ptr<sqlite::TableBtree>> mergeTableBtrees(
        const std::vector<std::shared_ptr<sqlite::TableBtree>>& live,
        const std::vector<std::shared_ptr<sqlite::TableBtree>>& carved);

    // Why the result is partial: what the file held that could not be read (a
    // table, rows, pages, a definition), one line each, in the order met. Empty
    // when the whole file was read. At most kMaxPartialReasons lines; the last
    // one then counts those left out.
    const std::vector<std::string>& getPartialReasons() const { return partialReasons; }
    static constexpr size_t kMaxPartialReasons = 100;

    const WchatFriendTracer& getTracer() const { return tracer; }
    // Carved rows of the message seek turned away as not being messages.
    uint64_t getRejectedChats() const { return chatScreen.rejected(); }
    const CarvedChatScreen& getChatScreen() const { return chatScreen; }
    // Stale carved copies merged into one message each.
    int64_t getMergedCopies() const { return mergedCopies; }
    const SavedChatIndex& getSavedChats() const { return savedChats; }
    // The copy's write-ahead log as read (null without one), and what in it was not sound.
    const sqlite::WalFile* getWal() const { return wal.get(); }

private:
    void beginStage(Stage stage, uint32_t threadCount = 0);
    void endStage(Stage stage, StageReport report);
    bool cancelled(common::ErrorInfo* error) const;
    // The id the next stored message gets; 0 when the store cannot tell.
    int64_t nextChatId() const;
    // The largest MesLocalID each live table gave out, by its owner's rcFriendId.
    std::map<int64_t, int64_t> lastLiveIds() const;
    // What the runs of lost pages need to know of the live tables.
    LostPageRuns::Surviving survivingTables() const;
    uint64_t estimateRows(const std::string& tableName) const;
    // Damage met in the source: noted, and the run goes on without it.
    void notePartial(const std::string& reason);
    // A source failure of a stage becomes a reason and is cleared; true if there was one.
    bool absorb(const std::string& what, common::ErrorInfo* error);
    // Live rows read one by one after their batch failed (see dumpWchatChats).
    std::vector<std::shared_ptr<WchatChat>> selectChatsOneByOne(const std::string& tableName, uint32_t offset,
                                                                common::ErrorInfo* error);
    std::vector<std::shared_ptr<WchatFriend>> selectFriendsOneByOne(common::ErrorInfo* error);

    std::string sourcePath;
    std::string targetPath;
    common::Logger* logger;
    sqlite3* sourceDb = nullptr;
    std::unique_ptr<RecoveryStore> store;
    sqlite::Database database;
    sqlite::ByteArray fileBuffer;
    // The copy's write-ahead log (sourcePath + "-wal"), when it has frames.
    std::unique_ptr<sqlite::WalFile> wal;
    sqlite::SeekProgressIndicator* friendSeekProgress = nullptr;
    sqlite::SeekProgressIndicator* chatTableSeekProgress = nullptr;
    sqlite::SeekProgressIndicator* chatSeekProgress = nullptr;
    WchatFriendTracer tracer;
    SavedChatIndex savedChats;
    CarvedChatScreen chatScreen;
    ChatAttribution attribution;
    int64_t mergedCopies = 0;
    std::shared_ptr<WchatFriendDeducer> deducer;
    // The owner (rcFriendId) of each live table copied, by table name.
    std::map<std::string, int64_t> liveTableOwners;
    // The counters of the live copy's links, added up as they are written: the
    // store's finish then reads only the carved messages' links.
    RecoveryStore::CountedLinks liveCounted;
    // The surviving tables' gaps, built from the live messages as they are written.
    LostPageRuns::GapBuilder liveGaps;

    StageObserver* stageObserver = nullptr;
    const std::atomic<bool>* cancelFlag = nullptr;
    common::Stopwatch stageWatch;
    uint64_t dumpEstimate = 0;  // live messages expected by the copy
    uint64_t dumpDone = 0;
    bool runCalled = false;
    std::vector<std::string> partialReasons;
    size_t partialLeftOut = 0;
    bool dumpReadFailed = false;  // the last dumpWchatChats failed reading the source
    uint32_t oneByOneSpan = 0;     // rows the last selectChatsOneByOne tried
    uint32_t oneByOneSkipped = 0;  // rows of the current table it could not read
    std::string oneByOneFailure;   // the first of them
    bool liveCopyByOffset = false;
    // The first batch of the next conversation table (by row id ranges), read on
    // a worker thread while the last batch of the table before it is stored: most
    // tables fit in one or two batches, so without it the copy would mostly wait
    // for the source. It reads the source only, and is taken (or waited for and
    // dropped) before anything else reads the source.
    struct ReadAhead {
        std::vector<std::shared_ptr<WchatChat>> batch;
        int64_t lastRowId = 0;
        common::ErrorInfo error;
    };
    std::string readAheadTable;
    std::future<ReadAhead> readAhead;
    // The read-ahead batch of tableName when it was read without failure; waits for
    // any read ahead and drops one of another table.
    std::optional<ReadAhead> takeReadAhead(const std::string& tableName);
};

}  // namespace wchat
}  // namespace talwen
