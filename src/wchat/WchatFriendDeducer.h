#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "wchat/RecoveryStore.h"
#include "wchat/WchatChat.h"
#include "wchat/WchatFriendTracer.h"

namespace talwen {
namespace wchat {

// Decides which contact a message was exchanged with (WC_ChatFriend) and which
// conversation a page of carved messages belongs to (WC_Chatroom), and makes up a
// placeholder contact "未知联系人-" + n when a conversation table's owner is unknown.
//
// Threads: one object is shared by all seek threads. It has no state of its own;
// the tracer serialises the only change (made-up contacts).
class WchatFriendDeducer {
public:
    // Deduce types of WC_Chatroom.
    static constexpr uint16_t kRoomLiveOwner = 1;
    static constexpr uint16_t kRoomPageOfKnownTable = 2;
    static constexpr uint16_t kRoomPageOfMadeUpOwner = 3;
    static constexpr uint16_t kRoomByTaggedMembers = 4;
    static constexpr uint16_t kRoomByFromUserName = 5;
    // Deduce types of WC_ChatFriend.
    static constexpr uint16_t kFriendByTaggedUserName = 11;
    static constexpr uint16_t kFriendByFromUserName = 12;
    static constexpr uint16_t kFriendTableOwner = 13;

    // Neither is owned; both outlive the deducer.
    WchatFriendDeducer(RecoveryStore* store, WchatFriendTracer* tracer);

    // A live message of the conversation table owned by ownerId (0 = none).
    bool deduceLiveChatFriend(const WchatChat& chat, int64_t ownerId, uint16_t& deduceType,
                              int64_t& rcFriendId) const;
    // The sender of a carved message; rcFriendIds is empty when not found.
    bool deduceChatFriend(const WchatChat& chat, uint16_t& deduceType,
                          std::set<int64_t>& rcFriendIds) const;
    // The conversation of a page's stored carved messages; returns the deduce type,
    // 0 with an empty set when nothing was found.
    uint16_t deduceChatRoom(uint32_t pageNumber, const std::vector<std::shared_ptr<WchatChat>>& chats,
                            std::set<int64_t>& rcFriendIds);

    // The contact stored for a conversation table's hash, made up ("未知联系人-" + n)
    // and stored when there is none yet; 0 when making one up failed.
    int64_t findOrMakeUpOwner(const std::string& hashedUsrName);

    // Nick name and remark of the made-up contact number n.
    static std::string placeholderName(uint32_t number);

private:
    RecoveryStore* store_;
    WchatFriendTracer* tracer_;
};

}  // namespace wchat
}  // namespace talwen
