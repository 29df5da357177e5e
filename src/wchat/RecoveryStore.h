#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <sqlite3.h>

#include "common/EntityBase.h"
#include "common/ErrorInfo.h"
#include "wchat/WchatChat.h"
#include "wchat/WchatFriend.h"

namespace talwen {
namespace wchat {

// Row counts of a recovery store, by how each row was obtained.
struct StoreSummary {
    int64_t liveFriends = 0;
    int64_t carvedFriends = 0;
    int64_t madeUpFriends = 0;
    int64_t liveChats = 0;
    int64_t carvedChats = 0;
    // Carved rows that fit a conversation table's layout but were turned away as
    // not being messages (known only to the run that carved them).
    int64_t rejectedChats = 0;
    // Why the recovery is partial (table WC_PartialReason); empty when the whole
    // source was read.
    std::vector<std::string> partialReasons;
};

// The recovery store: one SQLite connection with tables WC_Friend, WC_Chat,
// WC_Chatroom, WC_ChatFriend and views WC_ChatInRoom, WC_LostFriendChat; the batch
// inserts of a recovery (one transaction each), the closing statistics, and the
// reads the front ends share.
//
// Threads: all seek threads of a recovery write through this one object. Its
// mutex serialises every operation below except selectRcFriendIdsByUsrName and
// the reads, for its whole run including its transaction. The four insert
// statements are prepared once and kept between calls under that mutex; they are
// finalized by finishTargetDb, releaseKeptStatements and close, so a store always
// closes cleanly.
class RecoveryStore {
public:
    // obtainWay of WC_Friend and WC_Chat rows.
    static constexpr uint16_t kObtainLive = common::EntityBase::kObtainBySqlite;        // 1
    static constexpr uint16_t kObtainCarved = common::EntityBase::kObtainByCarving;     // 2
    static constexpr uint16_t kObtainMadeUp = common::EntityBase::kObtainByAssociation;  // 101
    // 2010-01-01 00:00:00 UTC. The messenger's first release is later, so a message
    // time before it is a carving misread; such messages are kept but not counted
    // in a contact's chatNum and rcChatNum.
    static constexpr int64_t kEarliestCountedTime = 1262304000;

    // rcChatId -> (rcFriendId, deduce type)
    using ChatFriendMap = std::map<int64_t, std::pair<int64_t, uint16_t>>;

    // A new, empty store with its schema. An empty path gives a store without a
    // file name that lives as long as the object. Null on failure.
    static std::unique_ptr<RecoveryStore> create(const std::string& path, common::ErrorInfo* error);
    // A store kept earlier (saveTargetDb), opened read-only and immutable; a file
    // that is not a recovery store is refused with "not a recovery store[path]!".
    static std::unique_ptr<RecoveryStore> openKept(const std::string& path, common::ErrorInfo* error);

    ~RecoveryStore();
    RecoveryStore(const RecoveryStore&) = delete;
    RecoveryStore& operator=(const RecoveryStore&) = delete;

    // The connection, for queries; null after close.
    sqlite3* connection() const { return db_; }

    // Rows written by the batch inserts of one bulk transaction before it commits.
    static constexpr size_t kBulkCommitRows = 200000;
    // The batch inserts between beginBulk and endBulk share one transaction,
    // committed every kBulkCommitRows rows and by endBulk, instead of one each: on
    // a store in a file every commit writes and re-locks it. endBulk reports a
    // failed commit (a full disk); the rows it held are then not kept. Nothing
    // happens without an open bulk.
    void beginBulk();
    void endBulk(common::ErrorInfo* error);
    struct Bulk {
        bool active = false;
        size_t pending = 0;
        std::string failure;  // the first failed commit's message
    };

    // A contact's counters over some of its messages, added up link by link as a
    // writer ties them: what finishTargetDb would compute from those links.
    struct FriendTally {
        int64_t chatNum = 0;    // tied through WC_Chatroom, created after kEarliestCountedTime
        int64_t rcChatNum = 0;  // the carved ones among those
        bool hasLastChatTime = false;
        int64_t lastChatTime = 0;  // the latest createTime tied through WC_ChatFriend

        // A WC_Chatroom link of the contact to chat, as stored (a time not given counts nowhere).
        void addRoomChat(const WchatChat& chat);
        // A WC_ChatFriend link of the contact to chat.
        void addSenderChat(const WchatChat& chat);
        // The same from a message's stored values (hasTime false: createTime NULL).
        void addRoom(bool hasTime, int64_t time, bool carved);
        void addSender(bool hasTime, int64_t time);
    };
    // rcFriendId -> tally. The links of every message below firstUncountedId are
    // in it and no other: finishTargetDb then reads only the later messages' links.
    struct CountedLinks {
        int64_t firstUncountedId = 0;
        std::map<int64_t, FriendTally> tallies;
    };

    // Counts, last chat times, indexes and normal settings. Every statement runs;
    // the first failure is the one reported. progress, when given, is told the
    // statements done and their total after each one. With counted, the counters
    // add the tallies to what the later messages' links give; on a large store
    // that spares reading every message twice.
    void finishTargetDb(common::ErrorInfo* error,
                        const std::function<void(size_t done, size_t total)>& progress = nullptr,
                        const CountedLinks* counted = nullptr);

    // Removes the messages carved from the write-ahead log (walFrame > 0) that
    // repeat a message carved earlier (from the file or an earlier frame), with
    // their links: a page has a version in many frames. Returns the count removed.
    int64_t removeRepeatedWalChats(common::ErrorInfo* error);

    // Returns the new rcFriendId, 0 on failure; does not clear the ErrorInfo first.
    int64_t insertFriend(const WchatFriend& wchatFriend, common::ErrorInfo* error);
    void insertFriends(const std::vector<std::shared_ptr<WchatFriend>>& friends, common::ErrorInfo* error);
    void insertChats(const std::vector<std::shared_ptr<WchatChat>>& chats, common::ErrorInfo* error);
    void insertChatRoomsOfFriend(uint16_t deduceType, const std::set<int64_t>& rcChatIds, int64_t rcFriendId,
                                 common::ErrorInfo* error);
    void insertChatRoomsOfChat(uint16_t deduceType, int64_t rcChatId, const std::set<int64_t>& rcFriendIds,
                               common::ErrorInfo* error);
    void insertChatFriendsOfChat(uint16_t deduceType, int64_t rcChatId, const std::set<int64_t>& rcFriendIds,
                                 common::ErrorInfo* error);
    void insertChatFriends(const ChatFriendMap& chatFriends, common::ErrorInfo* error);

    // A contact made up for a conversation table gets the user name found for the
    // table afterwards; its conversation ties of type fromType become toType.
    // False when nothing was changed.
    bool nameMadeUpFriend(int64_t rcFriendId, const std::string& usrName, uint16_t fromType, uint16_t toType,
                          common::ErrorInfo* error);

    std::set<int64_t> selectRcFriendIdsByUsrName(const std::string& usrName, common::ErrorInfo* error);

    // Keeps why the recovery is partial, one row each of WC_PartialReason(reason);
    // the table exists only in a partial store. Nothing to keep: nothing done.
    void insertPartialReasons(const std::vector<std::string>& reasons, common::ErrorInfo* error);

    // Contacts and messages by how they were obtained, and the partial reasons.
    StoreSummary summary(common::ErrorInfo* error) const;
    // The message seek's count of carved rows turned away, for the summary.
    void setRejectedChats(int64_t count) { rejectedChats_ = count; }
    // Every message row below rcChatId `end` is a live copy (obtainWay 1): the live
    // copy wrote them and nothing changes that column. The summary then reads only
    // the rows from `end` on (and a count of the whole table, which an index of the
    // table answers) instead of every message; 0 forgets it.
    void setLiveCopyEnd(int64_t end) { liveCopyEnd_ = end; }

    // Finalizes the kept insert statements (under the lock).
    void releaseKeptStatements();
    // Releases the kept statements, then closes the connection; the library's result.
    int close();
    // Copies the whole store into a new database file at path (SQLite backup), so a
    // store without a file name can be kept. An existing file is not overwritten.
    void saveTargetDb(const std::string& path, common::ErrorInfo* error);

    // Rows of one multi-row insert statement (messages; links).
    static constexpr size_t kChatRowsPerStatement = 64;
    static constexpr size_t kLinkRowsPerStatement = 128;
    // A link of WC_Chatroom or WC_ChatFriend.
    struct LinkRow {
        int64_t rcFriendId;
        int64_t rcChatId;
        uint16_t deduceType;
        double ratio;
    };

    // An insert statement prepared once and reused, with its parameter indexes.
    struct KeptStatement {
        sqlite3_stmt* stmt = nullptr;
        std::vector<int> indexes;
        void release();
    };

private:
    explicit RecoveryStore(sqlite3* db) : db_(db) {}
    void createTargetSchema(common::ErrorInfo* error);

    // Called only with the lock held.
    int64_t insertFriendLocked(const WchatFriend& wchatFriend, common::ErrorInfo* error);
    int64_t insertChatLocked(const WchatChat& chat, common::ErrorInfo* error);
    bool insertChatRoomLocked(uint16_t deduceType, int64_t rcChatId, int64_t rcFriendId, double ratio,
                              common::ErrorInfo* error);
    bool insertChatFriendLocked(uint16_t deduceType, int64_t rcChatId, int64_t rcFriendId, double ratio,
                                common::ErrorInfo* error);
    // Rows [begin, end): by one multi-row statement when they fill one, else (or
    // when it fails) one by one.
    bool insertChatChunkLocked(const std::vector<std::shared_ptr<WchatChat>>& chats, size_t begin, size_t end,
                               common::ErrorInfo* error);
    bool insertLinkChunkLocked(bool room, const std::vector<LinkRow>& links, size_t begin, size_t end,
                               common::ErrorInfo* error);
    // One batch of WC_Chatroom (room) or WC_ChatFriend links.
    void insertLinksLocked(bool room, const std::vector<LinkRow>& links, common::ErrorInfo* error);
    void releaseKeptLocked();
    // The counters from counted and the links of messages from its first
    // uncounted id on. False (nothing changed) when a stored value is not of the
    // type the store writes: then only the full statement gives SQLite's answer.
    bool updateCountersLocked(const CountedLinks& counted, common::ErrorInfo* error);

    sqlite3* db_;
    std::atomic<int64_t> rejectedChats_{0};
    std::atomic<int64_t> liveCopyEnd_{0};
    mutable std::mutex mutex_;
    KeptStatement keptFriend_;
    KeptStatement keptChat_;
    KeptStatement keptChatRoom_;
    KeptStatement keptChatFriend_;
    KeptStatement keptChatRows_;
    KeptStatement keptChatRoomRows_;
    KeptStatement keptChatFriendRows_;
    Bulk bulk_;
};

}  // namespace wchat
}  // namespace talwen
