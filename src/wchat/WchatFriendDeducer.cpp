#include "wchat/WchatFriendDeducer.h"

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

int64_t WchatFriendDeducer::findOrMakeUpOwner(const std::string& hash) {
    return tracer_->findOrMakeUpRcFriendId(hash, [&](uint32_t number) -> int64_t {
        WchatFriend placeholder(common::EntityBase::kObtainByAssociation);
        placeholder.setHashedUsrName(hash);
        placeholder.setNickName(placeholderName(number));
        placeholder.setConRemark(placeholderName(number));
        // A failed insert only costs the conversation its owner; the number stays used.
        common::ErrorInfo insertError;
        return store_->insertFriend(placeholder, &insertError);
    });
}

std::string WchatFriendDeducer::placeholderName(uint32_t number) {
    return "未知联系人-" + std::to_string(number);
}

bool WchatFriendDeducer::deduceLiveChatFriend(const WchatChat& chat, int64_t ownerId,
                                              uint16_t& deduceType, int64_t& rcFriendId) const {
    if (isGivenNotNull(chat, WchatChat::kTaggedUserNameFlag)) {
        const int64_t id = tracer_->findLiveRcFriendIdByUsrName(chat.getTaggedUserName());
        if (id != 0) {
            deduceType = kFriendByTaggedUserName;
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
                                          std::set<int64_t>& rcFriendIds) const {
    rcFriendIds.clear();
    if (isGivenNotNull(chat, WchatChat::kTaggedUserNameFlag)) {
        rcFriendIds = tracer_->findRcFriendIdsByUsrName(chat.getTaggedUserName());
        if (!rcFriendIds.empty()) {
            deduceType = kFriendByTaggedUserName;
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

    std::set<std::string> tagged;
    std::set<std::string> from;
    for (const std::shared_ptr<WchatChat>& chat : chats) {
        if (isGivenNotNull(*chat, WchatChat::kTaggedUserNameFlag))
            tagged.insert(chat->getTaggedUserName());
        if (isGivenNotNull(*chat, WchatChat::kFromUserNameFlag))
            from.insert(chat->getFromUserName());
    }
    if (!tagged.empty()) {
        for (const std::string& group : tracer_->findGroupsOfAllMembers(tagged)) {
            const std::set<int64_t> ids = tracer_->findRcFriendIdsByUsrName(group);
            rcFriendIds.insert(ids.begin(), ids.end());
        }
        if (!rcFriendIds.empty()) return kRoomByTaggedMembers;
    } else if (!from.empty()) {
        for (const std::string& name : from) {
            const std::set<int64_t> ids = tracer_->findRcFriendIdsByUsrName(name);
            rcFriendIds.insert(ids.begin(), ids.end());
        }
        if (!rcFriendIds.empty()) return kRoomByFromUserName;
    }

    for (const std::string& hash : tracer_->findHashedUsrNamesByPage(pageNumber)) {
        const int64_t id = findOrMakeUpOwner(hash);
        if (id != 0) rcFriendIds.insert(id);
    }
    return rcFriendIds.empty() ? 0 : kRoomPageOfMadeUpOwner;
}

}  // namespace wchat
}  // namespace talwen
