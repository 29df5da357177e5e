#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "sqlite_recovery/Database.h"
#include "common/ErrorInfo.h"
#include "common/Logger.h"
#include "sqlite_recovery/SeekProgressIndicator.h"
#include "sqlite_recovery/SqliteFacility.h"
#include "sqlite_recovery/TableBtree.h"
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

    using BeginCallback = std::function<void()>;
    using SeekBeginCallback = std::function<void(uint32_t threadCount)>;
    using ElapsedCallback = std::function<void(uint64_t elapsedMs)>;
    using CountCallback = std::function<void(uint64_t elapsedMs, uint32_t count)>;
    using OpenDatabaseCallback =
        std::function<void(uint64_t elapsedMs, uint32_t pageSize, uint32_t pageCount)>;
    using LoadDatabaseCallback = std::function<void(uint64_t elapsedMs, uint64_t bytes)>;

    // targetPath empty: the store is a database without a file name that lives as
    // long as the object keeps it open. logger may be null and is not owned.
    WchatChatToDbSeeker(const std::string& sourcePath, const std::string& targetPath,
                        common::Logger* logger);
    ~WchatChatToDbSeeker();
    WchatChatToDbSeeker(const WchatChatToDbSeeker&) = delete;
    WchatChatToDbSeeker& operator=(const WchatChatToDbSeeker&) = delete;

    // Stage callbacks, in stage order; an empty function is not called.
    void setOpenSourceDbCallbacks(BeginCallback begin, ElapsedCallback end);
    void setCreateTargetDbCallbacks(BeginCallback begin, ElapsedCallback end);
    void setOpenDatabaseCallbacks(BeginCallback begin, OpenDatabaseCallback end);
    void setLoadDatabaseCallbacks(BeginCallback begin, LoadDatabaseCallback end);
    void setSelectFriendsCallbacks(BeginCallback begin, CountCallback end);
    void setSeekFriendsCallbacks(SeekBeginCallback begin, CountCallback end);
    void setMergeFriendsCallbacks(BeginCallback begin, CountCallback end);
    void setSaveFriendsCallbacks(BeginCallback begin, ElapsedCallback end);
    void setSelectChatTablesCallbacks(BeginCallback begin, CountCallback end);
    void setSeekChatTablesCallbacks(SeekBeginCallback begin, CountCallback end);
    void setMergeChatTablesCallbacks(BeginCallback begin, CountCallback end);
    void setWalkChatTablesCallbacks(BeginCallback begin, CountCallback end);
    void setIndexFriendsCallbacks(BeginCallback begin, ElapsedCallback end);
    void setDumpChatsCallbacks(BeginCallback begin, CountCallback end);
    void setSeekChatsCallbacks(SeekBeginCallback begin, CountCallback end);
    void setFinishTargetDbCallbacks(BeginCallback begin, ElapsedCallback end);

    // Not owned; each may be null.
    void setFriendSeekProgress(sqlite::SeekProgressIndicator* progress) { friendSeekProgress = progress; }
    void setChatTableSeekProgress(sqlite::SeekProgressIndicator* progress) {
        chatTableSeekProgress = progress;
    }
    void setChatSeekProgress(sqlite::SeekProgressIndicator* progress) { chatSeekProgress = progress; }

    // Runs the sixteen stages with threadCount seek threads per carving seek
    // (0 counts as 1). Stops at the first failing stage; the carving of messages and
    // the store's completion always run together, and the first failure of the two
    // is the one reported. A second call is refused: one object, one recovery.
    void run(uint32_t threadCount, uint32_t seekFlags, common::ErrorInfo* error);

    // The store's connection (null before stage 2 and after close). Query it with
    // SqliteAssistant::query, e.g. "SELECT * FROM WC_ChatInRoom WHERE rcFriendId = 3".
    sqlite3* getTargetDb() const { return targetDb; }
    // Closes both connections (the store's kept statements are finalized first)
    // and the page reader, and empties the contact and message indexes.
    void close();

    // Stage operations, in the order run calls them.
    void createTargetDb(common::ErrorInfo* error);
    void loadDatabase(common::ErrorInfo* error);
    std::vector<std::shared_ptr<WchatFriend>> seekWchatFriends(uint32_t threadCount,
                                                               common::ErrorInfo* error);
    std::vector<std::shared_ptr<sqlite::TableBtree>> seekWchatTableBtrees(uint32_t threadCount,
                                                                  common::ErrorInfo* error);
    uint32_t walkTableBtrees(const std::vector<std::shared_ptr<sqlite::TableBtree>>& tables,
                             common::ErrorInfo* error);
    uint32_t dumpAllWchatChats(const std::vector<std::shared_ptr<sqlite::TableBtree>>& tables,
                               common::ErrorInfo* error);
    uint32_t dumpWchatChats(const std::string& tableName, common::ErrorInfo* error);
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

    const WchatFriendTracer& getTracer() const { return tracer; }
    const SavedChatIndex& getSavedChats() const { return savedChats; }

private:
    template <class Begin, class End>
    struct Callbacks {
        Begin begin;
        End end;
    };

    std::string sourcePath;
    std::string targetPath;
    common::Logger* logger;
    sqlite3* sourceDb = nullptr;
    sqlite3* targetDb = nullptr;
    sqlite::Database database;
    sqlite::ByteArray fileBuffer;
    sqlite::SeekProgressIndicator* friendSeekProgress = nullptr;
    sqlite::SeekProgressIndicator* chatTableSeekProgress = nullptr;
    sqlite::SeekProgressIndicator* chatSeekProgress = nullptr;
    WchatFriendTracer tracer;
    SavedChatIndex savedChats;
    std::shared_ptr<WchatFriendDeducer> deducer;

    Callbacks<BeginCallback, ElapsedCallback> openSourceDbCallbacks;
    Callbacks<BeginCallback, ElapsedCallback> createTargetDbCallbacks;
    Callbacks<BeginCallback, OpenDatabaseCallback> openDatabaseCallbacks;
    Callbacks<BeginCallback, LoadDatabaseCallback> loadDatabaseCallbacks;
    Callbacks<BeginCallback, CountCallback> selectFriendsCallbacks;
    Callbacks<SeekBeginCallback, CountCallback> seekFriendsCallbacks;
    Callbacks<BeginCallback, CountCallback> mergeFriendsCallbacks;
    Callbacks<BeginCallback, ElapsedCallback> saveFriendsCallbacks;
    Callbacks<BeginCallback, CountCallback> selectChatTablesCallbacks;
    Callbacks<SeekBeginCallback, CountCallback> seekChatTablesCallbacks;
    Callbacks<BeginCallback, CountCallback> mergeChatTablesCallbacks;
    Callbacks<BeginCallback, CountCallback> walkChatTablesCallbacks;
    Callbacks<BeginCallback, ElapsedCallback> indexFriendsCallbacks;
    Callbacks<BeginCallback, CountCallback> dumpChatsCallbacks;
    Callbacks<SeekBeginCallback, CountCallback> seekChatsCallbacks;
    Callbacks<BeginCallback, ElapsedCallback> finishTargetDbCallbacks;

    bool runCalled = false;
};

}  // namespace wchat
}  // namespace talwen
