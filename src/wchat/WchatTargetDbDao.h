#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <sqlite3.h>

#include "common/ErrorInfo.h"
#include "wchat/WchatChat.h"
#include "wchat/WchatFriend.h"

namespace talwen {
namespace wchat {

// Writer of the recovery store: its schema (tables WC_Friend, WC_Chat,
// WC_Chatroom, WC_ChatFriend and views WC_ChatInRoom, WC_LostFriendChat), the
// batch inserts with one transaction each, and the closing statistics.
//
// Threads: all seek threads write through one store connection. One process-wide
// mutex serialises every operation below except selectRcFriendIdsByUsrName, for
// its whole run including its transaction. The four insert statements are
// prepared once per connection and kept between calls under that mutex; they are
// finalized by finishTargetDb, releaseKeptStatements and closeTargetDb, so a store
// closed with closeTargetDb always closes cleanly.
class WchatTargetDbDao {
public:
    WchatTargetDbDao() = delete;

    // rcChatId -> (rcFriendId, deduce type)
    using ChatFriendMap = std::map<int64_t, std::pair<int64_t, uint16_t>>;

    static void createTargetSchema(sqlite3* db, common::ErrorInfo* error);
    // Counts, last chat times, indexes and normal settings. Every statement runs;
    // the first failure is the one reported.
    static void finishTargetDb(sqlite3* db, common::ErrorInfo* error);

    // Returns the new rcFriendId, 0 on failure; does not clear the ErrorInfo first.
    static int64_t insertFriend(sqlite3* db, const WchatFriend& wchatFriend,
                                common::ErrorInfo* error);
    static void insertFriends(sqlite3* db, const std::vector<std::shared_ptr<WchatFriend>>& friends,
                              common::ErrorInfo* error);
    static void insertChats(sqlite3* db, const std::vector<std::shared_ptr<WchatChat>>& chats,
                            common::ErrorInfo* error);
    static void insertChatRoomsOfFriend(sqlite3* db, uint16_t deduceType,
                                        const std::set<int64_t>& rcChatIds, int64_t rcFriendId,
                                        common::ErrorInfo* error);
    static void insertChatRoomsOfChat(sqlite3* db, uint16_t deduceType, int64_t rcChatId,
                                      const std::set<int64_t>& rcFriendIds,
                                      common::ErrorInfo* error);
    static void insertChatFriendsOfChat(sqlite3* db, uint16_t deduceType, int64_t rcChatId,
                                        const std::set<int64_t>& rcFriendIds,
                                        common::ErrorInfo* error);
    static void insertChatFriends(sqlite3* db, const ChatFriendMap& chatFriends,
                                  common::ErrorInfo* error);

    static std::set<int64_t> selectRcFriendIdsByUsrName(sqlite3* db, const std::string& usrName,
                                                        common::ErrorInfo* error);

    // Finalizes the insert statements kept for this connection (under the lock).
    static void releaseKeptStatements(sqlite3* db);
    // Releases the kept statements, then closes the connection; the library's result.
    static int closeTargetDb(sqlite3* db);
    // Copies the whole store into a new database file at path (SQLite backup), so a
    // store without a file name can be kept. An existing file is not overwritten.
    static void saveTargetDb(sqlite3* db, const std::string& path, common::ErrorInfo* error);

private:
    // Called only with the lock held.
    static int64_t _insertFriend(sqlite3* db, const WchatFriend& wchatFriend,
                                 common::ErrorInfo* error);
    static int64_t _insertChat(sqlite3* db, const WchatChat& chat, common::ErrorInfo* error);
    static bool _insertChatRoom(sqlite3* db, uint16_t deduceType, int64_t rcChatId,
                                int64_t rcFriendId, double ratio, common::ErrorInfo* error);
    static bool _insertChatFriend(sqlite3* db, uint16_t deduceType, int64_t rcChatId,
                                  int64_t rcFriendId, double ratio, common::ErrorInfo* error);
};

}  // namespace wchat
}  // namespace talwen
