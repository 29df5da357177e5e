#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "app/store/ChatEntry.h"
#include "app/store/ConversationSlice.h"
#include "app/store/FriendEntry.h"
#include "app/store/LostChatEntry.h"
#include "common/ErrorInfo.h"

struct sqlite3;

namespace talwen {
namespace app {

// The lists read from a finished recovery store: contacts, the unknown-friend
// groups, the recovered count and the conversation being viewed. The store
// connection is borrowed for each call and never opened or closed here.
// Not thread-safe: the loads write the lists, readers must wait for them.
class RecoveredData {
public:
    static constexpr uint32_t kFriendRowCap = 10000;
    static constexpr uint32_t kLostChatRowCap = 10000;
    static constexpr uint32_t kViewerConversationRowCap = 2000;

    // Rebuilds the friend map, the friend list and the display list.
    // The viewer reads at most kFriendRowCap contacts and kLostChatRowCap lost
    // messages; an export passes rowCap 0 so that nothing recovered is left out.
    void loadFriends(sqlite3* store, common::ErrorInfo* error, uint32_t rowCap = kFriendRowCap);
    // Rebuilds the lost-friend list and the unknown-friend groups.
    void loadLostFriendChats(sqlite3* store, common::ErrorInfo* error, uint32_t rowCap = kLostChatRowCap);
    // Sets the number of messages recovered by carving.
    void countRecoveredChats(sqlite3* store, common::ErrorInfo* error);
    // Replaces the current conversation with the first 2000 messages of a contact.
    void loadConversation(sqlite3* store, int32_t rcFriendId, common::ErrorInfo* error);

    // The messages of a contact's conversation in createTime order, duplicates
    // (same time and same content) removed; `rowCap` 0 reads every message.
    static std::vector<ChatEntry> queryConversation(sqlite3* store, int32_t rcFriendId, uint32_t rowCap,
                                                    common::ErrorInfo* error);

    // The latest `count` messages of a contact's conversation (at least 1 is read),
    // and the `count` messages before `before`. A slice takes the whole run of
    // messages of its oldest message's second (up to 1000 more), so duplicates are
    // removed as queryConversation removes them.
    static ConversationSlice queryLatestMessages(sqlite3* store, int32_t rcFriendId, uint32_t count,
                                                 common::ErrorInfo* error);
    static ConversationSlice queryMessagesBefore(sqlite3* store, int32_t rcFriendId, const MessageCursor& before,
                                                 uint32_t count, common::ErrorInfo* error);

    // Empties every list (the return to the start screen).
    void clear();

    const std::map<int32_t, FriendEntry>& friendMap() const { return friendMap_; }
    const std::vector<FriendEntry>& friendList() const { return friendList_; }
    const std::vector<FriendEntry>& displayList() const { return displayList_; }
    const std::vector<LostChatEntry>& lostFriendList() const { return lostFriendList_; }
    const std::map<int32_t, std::vector<LostChatEntry>>& unknownFriendGroups() const { return unknownFriendGroups_; }
    int32_t recoveredCount() const { return recoveredCount_; }
    // The count countRecoveredChats reads, when the caller has it already (the
    // store's summary counts the same messages).
    void setRecoveredCount(int64_t count) { recoveredCount_ = static_cast<int32_t>(count); }
    const std::vector<ChatEntry>& currentConversation() const { return currentConversation_; }

    // The contact of the friend map, or an empty entry with that id.
    FriendEntry friendEntry(int32_t rcFriendId) const;

private:
    std::map<int32_t, FriendEntry> friendMap_;
    std::vector<FriendEntry> friendList_;
    std::vector<FriendEntry> displayList_;
    std::vector<LostChatEntry> lostFriendList_;
    std::map<int32_t, std::vector<LostChatEntry>> unknownFriendGroups_;
    int32_t recoveredCount_ = 0;
    std::vector<ChatEntry> currentConversation_;
};

}  // namespace app
}  // namespace talwen
