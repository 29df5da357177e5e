#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "wchat/ChatAttribution.h"
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
    // A page of a live conversation table's b-tree other than a leaf (stale cells of
    // the leaf it once was), owner a stored contact.
    static constexpr uint16_t kRoomInteriorPageOfKnownTable = 6;
    // A page of a conversation table whose owner has no contact row but whose user
    // name is known elsewhere: the table's name is "Chat_" + its MD5.
    static constexpr uint16_t kRoomPageOfNamedOwner = 7;
    // A run of freed pages that nothing ties to a table (no schema entry, no
    // surviving interior page, no known name) but that can only be one table's:
    // one made-up contact per run (LostPageRuns). The weakest tie.
    static constexpr uint16_t kRoomRunOfLostPages = 8;
    // A freed page without evidence of its own, between two freed pages whose
    // messages are tied to one conversation in the freelist's order, its messages
    // continuing theirs (FreedTogether).
    static constexpr uint16_t kRoomFreedWithKnownPages = 9;
    // A freed page whose messages all tell their MesLocalID and fit between the live
    // messages of one surviving conversation only, of the page's kind (a group
    // listing its senders) (LostPageRuns).
    static constexpr uint16_t kRoomFitsOneSurvivingTable = 10;
    // Deduce types of WC_ChatFriend.
    static constexpr uint16_t kFriendByTaggedUserName = 11;
    static constexpr uint16_t kFriendByFromUserName = 12;
    static constexpr uint16_t kFriendTableOwner = 13;
    // The tagged sender has no contact row: the contact made up for that user name.
    static constexpr uint16_t kFriendMadeUpForUsrName = 14;

    // Neither is owned; both outlive the deducer.
    WchatFriendDeducer(RecoveryStore* store, WchatFriendTracer* tracer);
    // Further evidence (interior pages, user names known anywhere, contacts made up
    // by name); not owned, may be null (then only the contact index is used).
    void setAttribution(ChatAttribution* attribution) { attribution_ = attribution; }

    // The contact made up for a user name that has no contact row ("未知联系人-" +
    // name, obtain way 101, carrying the name); 0 when making one up failed.
    int64_t findOrMakeUpByName(const std::string& usrName);
    // Made-up owners of tables whose user name became known after they were made
    // up get that name, and their carved messages' ties the type of a named owner.
    // Returns how many were proved.
    int64_t proveMadeUpOwners(common::ErrorInfo* error);
    // Remembers the user names a message names (its tagged sender, its fromusername).
    void noteNames(const WchatChat& chat);

    // A live message of the conversation table owned by ownerId (0 = none).
    bool deduceLiveChatFriend(const WchatChat& chat, int64_t ownerId, uint16_t& deduceType,
                              int64_t& rcFriendId);
    // The sender of a carved message; rcFriendIds is empty when not found.
    bool deduceChatFriend(const WchatChat& chat, uint16_t& deduceType,
                          std::set<int64_t>& rcFriendIds);
    // The conversation of a page's stored carved messages; returns the deduce type,
    // 0 with an empty set when nothing was found.
    uint16_t deduceChatRoom(uint32_t pageNumber, const std::vector<std::shared_ptr<WchatChat>>& chats,
                            std::set<int64_t>& rcFriendIds);

    // The contact stored for a conversation table's hash, made up ("未知联系人-" + n)
    // and stored when there is none yet; 0 when making one up failed.
    int64_t findOrMakeUpOwner(const std::string& hashedUsrName);

    // A nameless contact made up for the run of lost pages that starts at the page
    // ("未知联系人-" + n); 0 when making one up failed, when a known chat room lists
    // every tagged sender of the run, or when a known user name without a table
    // may own it (group: the run has tagged senders; person: incoming messages
    // without a tag): the run may be theirs, and a nameless owner would hide that.
    int64_t makeUpRunOwner(uint32_t firstPage, const std::set<std::string>& taggedSenders, bool person);

    // Nick name and remark of the made-up contact number n.
    static std::string placeholderName(uint32_t number);

private:
    int64_t makeUpByName(const std::string& usrName);

    RecoveryStore* store_;
    WchatFriendTracer* tracer_;
    ChatAttribution* attribution_ = nullptr;
};

}  // namespace wchat
}  // namespace talwen
