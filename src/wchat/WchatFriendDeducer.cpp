#include "wchat/WchatFriendDeducer.h"

#include "wchat/Md5.h"
#include "wchat/RecoveryStore.h"

namespace talwen {
namespace wchat {

namespace {

bool isGivenNotNull(const WchatChat& chat, uint64_t mask) {
    return chat.isSet(mask) && !chat.isFieldNull(mask);
}

}  // namespace

WchatFriendDeducer::WchatFriendDeducer(RecoveryStore* store, WchatFriendTracer* tracer)
    : store_(store), tracer_(tracer) {}

int64_t WchatFriendDeducer::makeUpByName(const std::string& usrName) {
    WchatFriend placeholder(common::EntityBase::kObtainByAssociation);
    placeholder.setUsrName(usrName);
    placeholder.setNickName("未知联系人-" + usrName);
    placeholder.setConRemark("未知联系人-" + usrName);
    common::ErrorInfo insertError;
    return store_->insertFriend(placeholder, &insertError);
}

int64_t WchatFriendDeducer::findOrMakeUpByName(const std::string& usrName) {
    if (attribution_ == nullptr || usrName.empty()) return 0;
    const int64_t id =
        attribution_->findOrMakeUpByName(usrName, [this](const std::string& name) { return makeUpByName(name); });
    // Its conversation table, should one turn up, belongs to it as well.
    if (id != 0) tracer_->addHashedUsrName(Md5::hexDigest(usrName), id);
    return id;
}

void WchatFriendDeducer::noteNames(const WchatChat& chat) {
    if (attribution_ == nullptr) return;
    if (chat.getObtainWay() == common::EntityBase::kObtainBySqlite && isGivenNotNull(chat, WchatChat::kDesFlag) &&
        chat.getDes() == 0 && isGivenNotNull(chat, WchatChat::kFromUserNameFlag))
        attribution_->noteOwnMessageSender(chat.getFromUserName());
    if (isGivenNotNull(chat, WchatChat::kTaggedUserNameFlag)) attribution_->addKnownName(chat.getTaggedUserName());
    if (isGivenNotNull(chat, WchatChat::kFromUserNameFlag)) attribution_->addKnownName(chat.getFromUserName());
}

int64_t WchatFriendDeducer::proveMadeUpOwners(common::ErrorInfo* error) {
    error->clear();
    if (attribution_ == nullptr) return 0;
    int64_t proved = 0;
    attribution_->forEachProvable([&](int64_t rcFriendId, const std::string& usrName) {
        if (store_->nameMadeUpFriend(rcFriendId, usrName, kRoomPageOfMadeUpOwner, kRoomPageOfNamedOwner, error))
            ++proved;
    });
    return proved;
}

int64_t WchatFriendDeducer::findOrMakeUpOwner(const std::string& hash) {
    return tracer_->findOrMakeUpRcFriendId(hash, [&](uint32_t number) -> int64_t {
        // A user name known anywhere whose MD5 names the table proves the owner.
        const std::string name = attribution_ ? attribution_->findNameByHash(hash) : std::string();
        if (!name.empty()) {
            return attribution_->findOrMakeUpByName(name, [this](const std::string& n) { return makeUpByName(n); });
        }
        WchatFriend placeholder(common::EntityBase::kObtainByAssociation);
        placeholder.setHashedUsrName(hash);
        placeholder.setNickName(placeholderName(number));
        placeholder.setConRemark(placeholderName(number));
        // A failed insert only costs the conversation its owner; the number stays used.
        common::ErrorInfo insertError;
        const int64_t id = store_->insertFriend(placeholder, &insertError);
        if (id != 0 && attribution_) attribution_->noteNamelessOwner(hash, id);
        return id;
    });
}

int64_t WchatFriendDeducer::makeUpRunOwner(uint32_t firstPage, const std::set<std::string>& taggedSenders,
                                           bool person) {
    if (!taggedSenders.empty() && !tracer_->findGroupsOfAllMembers(taggedSenders).empty()) return 0;
    if (attribution_ && attribution_->mayOwnUnnamedTable(!taggedSenders.empty(), person)) return 0;
    // Keyed apart from table hashes (32 hex digits), so the numbers stay one sequence.
    return tracer_->findOrMakeUpRcFriendId("pages from " + std::to_string(firstPage), [&](uint32_t number) -> int64_t {
        WchatFriend placeholder(common::EntityBase::kObtainByAssociation);
        placeholder.setNickName(placeholderName(number));
        placeholder.setConRemark(placeholderName(number));
        common::ErrorInfo insertError;
        return store_->insertFriend(placeholder, &insertError);
    });
}

std::string WchatFriendDeducer::placeholderName(uint32_t number) {
    return "未知联系人-" + std::to_string(number);
}

bool WchatFriendDeducer::deduceLiveChatFriend(const WchatChat& chat, int64_t ownerId,
                                              uint16_t& deduceType, int64_t& rcFriendId) {
    if (isGivenNotNull(chat, WchatChat::kTaggedUserNameFlag)) {
        const std::string& tagged = chat.getTaggedUserName();
        int64_t id = tracer_->findLiveRcFriendIdByUsrName(tagged);
        if (id == 0 && attribution_) {
            // A group member whose contact row is gone: the carved row, else one
            // made up for the name; never the chat room.
            const std::set<int64_t> stored = tracer_->findRcFriendIdsByUsrName(tagged);
            id = stored.empty() ? 0 : *stored.begin();
        }
        if (id != 0) {
            deduceType = kFriendByTaggedUserName;
            rcFriendId = id;
            return true;
        }
        id = findOrMakeUpByName(tagged);
        if (id != 0) {
            deduceType = kFriendMadeUpForUsrName;
            rcFriendId = id;
            return true;
        }
    }
    if (isGivenNotNull(chat, WchatChat::kFromUserNameFlag)) {
        const int64_t id = tracer_->findLiveRcFriendIdByUsrName(chat.getFromUserName());
        if (id != 0) {
            deduceType = kFriendByFromUserName;
            rcFriendId = id;
            return true;
        }
    }
    if (ownerId != 0) {
        deduceType = kFriendTableOwner;
        rcFriendId = ownerId;
        return true;
    }
    return false;
}

bool WchatFriendDeducer::deduceChatFriend(const WchatChat& chat, uint16_t& deduceType,
                                          std::set<int64_t>& rcFriendIds) {
    rcFriendIds.clear();
    if (isGivenNotNull(chat, WchatChat::kTaggedUserNameFlag)) {
        rcFriendIds = tracer_->findRcFriendIdsByUsrName(chat.getTaggedUserName());
        if (!rcFriendIds.empty()) {
            deduceType = kFriendByTaggedUserName;
            return true;
        }
        const int64_t id = findOrMakeUpByName(chat.getTaggedUserName());
        if (id != 0) {
            rcFriendIds = {id};
            deduceType = kFriendMadeUpForUsrName;
            return true;
        }
    }
    if (isGivenNotNull(chat, WchatChat::kFromUserNameFlag)) {
        rcFriendIds = tracer_->findRcFriendIdsByUsrName(chat.getFromUserName());
        if (!rcFriendIds.empty()) {
            deduceType = kFriendByFromUserName;
            return true;
        }
    }
    return false;
}

uint16_t WchatFriendDeducer::deduceChatRoom(uint32_t pageNumber,
                                            const std::vector<std::shared_ptr<WchatChat>>& chats,
                                            std::set<int64_t>& rcFriendIds) {
    rcFriendIds = tracer_->findRcFriendIdsByPage(pageNumber);
    if (!rcFriendIds.empty()) return kRoomPageOfKnownTable;
    if (attribution_) {
        rcFriendIds = attribution_->findRcFriendIdsByInteriorPage(pageNumber);
        if (!rcFriendIds.empty()) return kRoomInteriorPageOfKnownTable;
    }

    // A page of a table whose name is known (carved schema entries, stale b-tree
    // walk) belongs to that table's owner, before anything the senders suggest.
    // Tables whose owner is not known at all come last: their schema entry may be
    // stale (its pages reused by a later table), so what the senders name goes first.
    std::vector<std::string> nameless;
    for (const std::string& hash : tracer_->findHashedUsrNamesByPage(pageNumber)) {
        const bool named = attribution_ && !attribution_->findNameByHash(hash).empty();
        if (!named) {
            nameless.push_back(hash);
            continue;
        }
        const int64_t id = findOrMakeUpOwner(hash);
        if (id != 0) rcFriendIds.insert(id);
    }
    if (!rcFriendIds.empty()) return kRoomPageOfNamedOwner;

    std::set<std::string> tagged;
    std::set<std::string> from;
    for (const std::shared_ptr<WchatChat>& chat : chats) {
        if (isGivenNotNull(*chat, WchatChat::kTaggedUserNameFlag))
            tagged.insert(chat->getTaggedUserName());
        if (isGivenNotNull(*chat, WchatChat::kFromUserNameFlag))
            from.insert(chat->getFromUserName());
    }
    if (!tagged.empty()) {
        const std::set<std::string> groups = tracer_->findGroupsOfAllMembers(tagged);
        for (const std::string& group : groups) {
            const std::set<int64_t> ids = tracer_->findRcFriendIdsByUsrName(group);
            rcFriendIds.insert(ids.begin(), ids.end());
        }
        // Several chat rooms list every sender: the page's conversation cannot be
        // told from its senders, and a tie to each would be wrong for all but one.
        // Nor can it when a room whose members are unknown (its contact row carved
        // without them) may be the one.
        if (rcFriendIds.size() == 1 && groups.size() == 1 && !tracer_->hasChatRoomWithoutMembers(*groups.begin()))
            return kRoomByTaggedMembers;
        rcFriendIds.clear();
    } else if (!from.empty()) {
        // The account owner's own name says nothing about the conversation.
        if (attribution_) from.erase(attribution_->accountOwner());
        for (const std::string& name : from) {
            const std::set<int64_t> ids = tracer_->findRcFriendIdsByUsrName(name);
            rcFriendIds.insert(ids.begin(), ids.end());
        }
        if (rcFriendIds.empty() && from.size() == 1 && attribution_ && !attribution_->accountOwner().empty()) {
            // The one peer of a conversation whose contact row is gone.
            const int64_t id = findOrMakeUpByName(*from.begin());
            if (id != 0) rcFriendIds.insert(id);
        }
        if (rcFriendIds.size() == 1) return kRoomByFromUserName;
        rcFriendIds.clear();
    }

    for (const std::string& hash : nameless) {
        const int64_t id = findOrMakeUpOwner(hash);
        if (id != 0) rcFriendIds.insert(id);
    }
    return rcFriendIds.empty() ? 0 : kRoomPageOfMadeUpOwner;
}

}  // namespace wchat
}  // namespace talwen
