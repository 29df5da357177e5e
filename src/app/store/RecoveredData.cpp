#include "app/store/RecoveredData.h"

#include <algorithm>

#include "app/store/ResultValues.h"
#include "app/store/TimeText.h"
#include "sqldb/ResultSet.h"
#include "sqldb/SqliteAssistant.h"

namespace talwen {
namespace app {

namespace {

const char* const kFriendsSql =
    R"SQL(SELECT WC_Friend.rcFriendId, WC_Friend.validFlag, WC_Friend.obtainWay, WC_Friend.wcFriend,            WC_Friend.deduceFriendType, WC_Friend.usrName, WC_Friend.nickName, WC_Friend.mobilePhone, WC_Friend.sex, WC_Friend.fullPY, WC_Friend.lastChatTime,            WC_Friend.headImgUrl, WC_Friend.headImgHDUrl, WC_Friend.conRemark, WC_Friend.chatNum, WC_Friend.rcChatNum, WC_Friend.country,            WC_Friend.province, WC_Friend.city, WC_Friend.sign            FROM WC_Friend)SQL";

// Every column. A store kept by an earlier version has no runs (one group per page).
const char* const kLostFriendChatsSql = "SELECT * FROM WC_LostFriendChat ORDER BY created ASC";
// The same with the first page of each page's run (pages carved from the file
// only), where the store has runs.
const char* const kLostFriendChatsByRunSql =
    "SELECT L.*, ifnull(P.runPage, L.pageNumber) AS runPage FROM WC_LostFriendChat L "
    "JOIN WC_Chat W ON W.rcChatId = L.rcChatId LEFT JOIN WC_LostPageRun P ON P.pageNumber = L.pageNumber "
    "AND ifnull(W.walFrame, 0) <= 0 ORDER BY L.created ASC";
const char* const kHasRunsSql = "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'WC_LostPageRun'";

const char* const kRecoveredCountSql = "SELECT count(*) FROM WC_Chat WHERE WC_Chat.obtainWay = 2";

const char* const kConversationSqlPrefix =
    R"SQL(SELECT            WC_ChatRoom.rcFriendId,            WC_ChatRoom.deduceType,            WC_ChatRoom.rcChatId,                    WC_Chat.validFlag,                    WC_Chat.obtainWay,                    WC_Chat.createTime,                    WC_Chat.message,                    WC_Chat.status,                    WC_Chat.imgStatus,                    WC_Chat.type,                    WC_Chat.taggedUserName,                    WC_Chat.des,                    WC_Chat.mesLocalId                    FROM                    WC_Chat                    INNER JOIN WC_ChatRoom ON WC_ChatRoom.rcChatId = WC_Chat.rcChatId                    WHERE                    WC_ChatRoom.rcFriendId = )SQL";

// Latest message of every conversation, for contacts whose lastChatTime the store
// leaves NULL: a conversation recovered from a dropped table belongs to a made-up
// contact that is tied to its messages through WC_Chatroom only.
// Only those contacts are read (CROSS JOIN keeps them the outer loop): the live
// ones' conversations are most of the store.
const char* const kLatestConversationTimeSql =
    "SELECT R.rcFriendId AS rcFriendId, max(C.createTime) AS latest FROM WC_Friend AS F "
    "CROSS JOIN WC_Chatroom AS R ON R.rcFriendId = F.rcFriendId INNER JOIN WC_Chat AS C ON C.rcChatId = R.rcChatId "
    "WHERE typeof(F.lastChatTime) != 'integer' GROUP BY R.rcFriendId";

const char* const kSystemAccounts[] = {"newsapp",  "qqmail",      "qmessage",     "floatbottle",
                                       "medianote", "qqsync",     "feedsapp",     "masssendapp",
                                       "blogapp",  "voipapp",     "voicevoipapp", "voiceinputapp"};

using sqldb::ResultSet;
using sqldb::SqliteAssistant;

// Runs one statement into `rows`; the report describes this statement alone.
void runQuery(sqlite3* store, uint32_t rowCap, const std::string& sql, ResultSet& rows, common::ErrorInfo* error) {
    error->clear();
    SqliteAssistant::query(store, rowCap, sql, rows, error);
}

bool isSystemAccount(const QString& usrName) {
    for (const char* account : kSystemAccounts) {
        if (usrName == QLatin1String(account)) {
            return true;
        }
    }
    return false;
}

// The message columns that a conversation row and a lost-message row share.
template <typename Entry>
void readMessageColumns(const ResultValues& query, size_t row, Entry* entry) {
    query.readInteger(row, "rcChatId", &entry->rcChatId);
    query.readInteger(row, "validFlag", &entry->validFlag);
    query.readInteger(row, "obtainWay", &entry->obtainWay);
    query.readText(row, "taggedUserName", &entry->taggedUserName);
    query.readInteger(row, "mesLocalId", &entry->mesLocalId);
    query.readText(row, "message", &entry->message);
    query.readInteger(row, "status", &entry->status);
    query.readInteger(row, "imgStatus", &entry->imgStatus);
    query.readInteger(row, "type", &entry->type);
    query.readInteger(row, "des", &entry->des);
}

}  // namespace

void RecoveredData::loadFriends(sqlite3* store, common::ErrorInfo* error, uint32_t rowCap) {
    friendList_.clear();
    displayList_.clear();

    std::map<int32_t, int64_t> latestTimes;
    {
        ResultSet latestRows;
        runQuery(store, 0, kLatestConversationTimeSql, latestRows, error);
        const ResultValues latest(latestRows);
        for (size_t row = 0; row < latest.rowCount(); ++row) {
            int64_t id = 0;
            int64_t time = 0;
            if (latest.integerValue(row, "rcFriendId", &id) && latest.integerValue(row, "latest", &time)) {
                latestTimes[static_cast<int32_t>(id)] = time;
            }
        }
    }

    ResultSet rows;
    runQuery(store, rowCap, kFriendsSql, rows, error);
    const ResultValues query(rows);
    for (size_t row = 0; row < query.rowCount(); ++row) {
        FriendEntry entry;
        if (!query.readInteger(row, "rcFriendId", &entry.rcFriendId)) {
            continue;
        }
        query.readInteger(row, "validFlag", &entry.validFlag);
        query.readInteger(row, "obtainWay", &entry.obtainWay);
        query.readInteger(row, "wcFriend", &entry.wcFriend);
        query.readInteger(row, "deduceFriendType", &entry.deduceFriendType);
        query.readText(row, "usrName", &entry.usrName);
        if (isSystemAccount(entry.usrName)) {
            continue;
        }
        query.readText(row, "nickName", &entry.nickName);
        query.readText(row, "mobilePhone", &entry.mobilePhone);
        query.readInteger(row, "sex", &entry.sex);
        query.readText(row, "fullPY", &entry.fullPY);
        if (!query.integerValue(row, "lastChatTime", &entry.lastChatTime)) {
            auto latest = latestTimes.find(entry.rcFriendId);
            if (latest != latestTimes.end()) {
                entry.lastChatTime = latest->second;
            }
        }
        query.readText(row, "headImgUrl", &entry.headImgUrl);
        query.readText(row, "headImgHDUrl", &entry.headImgHDUrl);
        query.readText(row, "conRemark", &entry.conRemark);
        query.readInteger(row, "chatNum", &entry.chatNum);
        query.readInteger(row, "rcChatNum", &entry.rcChatNum);
        query.readText(row, "country", &entry.country);
        query.readText(row, "province", &entry.province);
        query.readText(row, "city", &entry.city);
        query.readText(row, "sign", &entry.sign);
        entry.lastChatText = formatUtcTime(entry.lastChatTime);

        friendMap_[entry.rcFriendId] = entry;
        if (yearOfTimeText(entry.lastChatText) > 2009) {
            friendList_.push_back(entry);
            displayList_.push_back(entry);
        }
    }
    std::stable_sort(displayList_.begin(), displayList_.end(),
                     [](const FriendEntry& a, const FriendEntry& b) { return a.chatNum > b.chatNum; });
}

void RecoveredData::loadLostFriendChats(sqlite3* store, common::ErrorInfo* error, uint32_t rowCap) {
    lostFriendList_.clear();
    unknownFriendGroups_.clear();
    ResultSet rows;
    ResultSet hasRuns;
    runQuery(store, 0, kHasRunsSql, hasRuns, error);
    if (!error->isSuccess()) return;
    const bool runs = hasRuns.getRowCount() == 1 && hasRuns.getValue(0, 0u)->isInteger() &&
                      hasRuns.getValue(0, 0u)->getIntegerValue() == 1;
    runQuery(store, rowCap, runs ? kLostFriendChatsByRunSql : kLostFriendChatsSql, rows, error);
    const ResultValues query(rows);
    const bool byRun = rows.lookupColIndex("runPage").has_value();
    for (size_t row = 0; row < query.rowCount(); ++row) {
        LostChatEntry entry;
        if (!query.readInteger(row, "pageNumber", &entry.pageNumber)) {
            continue;  // NULL: the message was not carved from a page
        }
        if (query.readText(row, "created", &entry.created) && yearOfTimeText(entry.created) < 2010) {
            continue;
        }
        readMessageColumns(query, row, &entry);
        query.readText(row, "fromUserName", &entry.fromUserName);
        // Freed pages of one table go together, under the run's first page.
        int32_t group = entry.pageNumber;
        if (byRun) query.readInteger(row, "runPage", &group);
        lostFriendList_.push_back(entry);
        unknownFriendGroups_[group].push_back(entry);
    }
}

void RecoveredData::countRecoveredChats(sqlite3* store, common::ErrorInfo* error) {
    ResultSet rows;
    runQuery(store, kLostChatRowCap, kRecoveredCountSql, rows, error);
    const ResultValues query(rows);
    recoveredCount_ = 0;
    if (query.rowCount() > 0) {
        query.readInteger(0, "count(*)", &recoveredCount_);
    }
}

namespace {

// The conversation rows of a result in result order.
std::vector<ChatEntry> readConversationRows(const ResultSet& rows) {
    const ResultValues query(rows);
    std::vector<ChatEntry> entries;
    for (size_t row = 0; row < query.rowCount(); ++row) {
        ChatEntry entry;
        if (!query.readInteger(row, "rcFriendId", &entry.rcFriendId)) {
            continue;
        }
        query.readInteger(row, "deduceType", &entry.deduceType);
        query.readInteger(row, "createTime", &entry.createTime);
        readMessageColumns(query, row, &entry);
        entries.push_back(entry);
    }
    return entries;
}

// Messages sent in the same second are distinct unless their content is the same
// too; only such real duplicates (e.g. a live row and its recovered copy) are
// dropped, the first of them kept. `entries` are in createTime order.
std::vector<ChatEntry> withoutDuplicates(const std::vector<ChatEntry>& entries) {
    std::vector<ChatEntry> conversation;
    size_t runStart = 0;  // first entry of the current run of equal createTime
    for (const ChatEntry& entry : entries) {
        if (conversation.empty() || conversation.back().createTime != entry.createTime) {
            runStart = conversation.size();
        } else {
            bool duplicate = false;
            for (size_t i = runStart; i < conversation.size() && !duplicate; ++i) {
                const ChatEntry& kept = conversation[i];
                duplicate = kept.type == entry.type && kept.des == entry.des && kept.message == entry.message &&
                            kept.taggedUserName == entry.taggedUserName;
            }
            if (duplicate) {
                continue;
            }
        }
        conversation.push_back(entry);
    }
    return conversation;
}

std::string conversationSql(int32_t rcFriendId, const std::string& condition, uint32_t limit) {
    return std::string(kConversationSqlPrefix) + "'" + std::to_string(rcFriendId) + "'" + condition +
           " ORDER BY WC_Chat.createTime DESC, WC_Chat.rcChatId DESC LIMIT " + std::to_string(limit);
}

std::string beforeCondition(const MessageCursor& before) {
    const std::string time = std::to_string(before.createTime);
    return " AND (WC_Chat.createTime < " + time + " OR (WC_Chat.createTime = " + time +
           " AND WC_Chat.rcChatId < " + std::to_string(before.rcChatId) + "))";
}

// A run of messages of one second longer than this may be cut between slices.
constexpr uint32_t kRunRowCap = 1000;
// Keeps count + 1 from wrapping; no view asks for so many at once.
constexpr uint32_t kSliceRowCap = 1000000;

// Up to `count` messages before `before` (none: from the end), plus the rest of the
// oldest one's run of equal times, oldest first.
ConversationSlice querySlice(sqlite3* store, int32_t rcFriendId, const MessageCursor* before, uint32_t count,
                             common::ErrorInfo* error) {
    count = std::min<uint32_t>(std::max<uint32_t>(count, 1), kSliceRowCap);
    const uint32_t runCap = std::max(count, kRunRowCap);
    ConversationSlice slice;
    // One message more than asked for tells whether earlier ones exist, which saves
    // a pass over a long conversation.
    ResultSet newestRows;
    runQuery(store, count + 1, conversationSql(rcFriendId, before ? beforeCondition(*before) : "", count + 1),
             newestRows, error);
    std::vector<ChatEntry> entries = readConversationRows(newestRows);
    if (!error->isSuccess() || entries.empty()) {
        return slice;
    }
    const bool readAhead = entries.size() > count;
    int64_t aheadTime = 0;
    if (readAhead) {
        aheadTime = entries.back().createTime;
        entries.pop_back();
    }
    const ChatEntry oldest = entries.back();
    ResultSet runRows;
    runQuery(store, runCap,
             conversationSql(rcFriendId,
                             " AND WC_Chat.createTime = " + std::to_string(oldest.createTime) +
                                 " AND WC_Chat.rcChatId < " + std::to_string(oldest.rcChatId),
                             runCap),
             runRows, error);
    if (!error->isSuccess()) {
        return slice;
    }
    for (const ChatEntry& entry : readConversationRows(runRows)) {
        entries.push_back(entry);
    }
    slice.first = MessageCursor{entries.back().createTime, entries.back().rcChatId};

    if (readAhead && aheadTime < oldest.createTime) {
        slice.hasEarlier = true;
    } else if (readAhead) {
        // The message read ahead belonged to the run just taken.
        ResultSet earlierRows;
        runQuery(store, 1, conversationSql(rcFriendId, beforeCondition(slice.first), 1), earlierRows, error);
        slice.hasEarlier = earlierRows.getRowCount() > 0;
    }
    std::reverse(entries.begin(), entries.end());
    slice.messages = withoutDuplicates(entries);
    return slice;
}

}  // namespace

std::vector<ChatEntry> RecoveredData::queryConversation(sqlite3* store, int32_t rcFriendId, uint32_t rowCap,
                                                        common::ErrorInfo* error) {
    const std::string sql =
        std::string(kConversationSqlPrefix) + "'" + std::to_string(rcFriendId) + "' ORDER BY createTime ASC";
    ResultSet rows;
    runQuery(store, rowCap, sql, rows, error);
    return withoutDuplicates(readConversationRows(rows));
}

ConversationSlice RecoveredData::queryLatestMessages(sqlite3* store, int32_t rcFriendId, uint32_t count,
                                                     common::ErrorInfo* error) {
    return querySlice(store, rcFriendId, nullptr, count, error);
}

ConversationSlice RecoveredData::queryMessagesBefore(sqlite3* store, int32_t rcFriendId,
                                                     const MessageCursor& before, uint32_t count,
                                                     common::ErrorInfo* error) {
    return querySlice(store, rcFriendId, &before, count, error);
}

void RecoveredData::loadConversation(sqlite3* store, int32_t rcFriendId, common::ErrorInfo* error) {
    currentConversation_.clear();
    if (friendMap_.find(rcFriendId) == friendMap_.end()) {
        friendMap_[rcFriendId] = FriendEntry();
    }
    currentConversation_ = queryConversation(store, rcFriendId, kViewerConversationRowCap, error);
}

FriendEntry RecoveredData::friendEntry(int32_t rcFriendId) const {
    auto it = friendMap_.find(rcFriendId);
    if (it != friendMap_.end()) {
        return it->second;
    }
    return FriendEntry();
}

void RecoveredData::clear() {
    friendMap_.clear();
    friendList_.clear();
    displayList_.clear();
    lostFriendList_.clear();
    unknownFriendGroups_.clear();
    recoveredCount_ = 0;
    currentConversation_.clear();
}

}  // namespace app
}  // namespace talwen
