#include "wchat/SavedChatIndex.h"

namespace talwen {
namespace sqlite {
namespace wchat {

namespace {

bool hasSvrIdKey(const WchatChat& chat) {
    return chat.isSet(WchatChat::kMesSvrIdFlag) && !chat.isFieldNull(WchatChat::kMesSvrIdFlag) &&
           chat.getMesSvrId() != 0;
}

bool hasCreateTimeKey(const WchatChat& chat) {
    return chat.isSet(WchatChat::kCreateTimeFlag) && !chat.isFieldNull(WchatChat::kCreateTimeFlag);
}

size_t bucketOf(int64_t svrId) { return static_cast<size_t>(static_cast<uint64_t>(svrId) & 0xFF); }

}  // namespace

bool SavedChatIndex::add(const WchatChat& chat) {
    if (hasSvrIdKey(chat)) {
        svrIds_[bucketOf(chat.getMesSvrId())].insert(chat.getMesSvrId());
        return true;
    }
    if (hasCreateTimeKey(chat)) {
        createTimes_.insert(chat.getCreateTime());
        return true;
    }
    return false;
}

size_t SavedChatIndex::addAll(const std::vector<std::shared_ptr<WchatChat>>& chats) {
    size_t added = 0;
    for (const std::shared_ptr<WchatChat>& chat : chats) {
        if (add(*chat)) ++added;
    }
    return added;
}

bool SavedChatIndex::contains(const WchatChat& chat) const {
    if (hasSvrIdKey(chat)) return svrIds_[bucketOf(chat.getMesSvrId())].count(chat.getMesSvrId()) != 0;
    if (hasCreateTimeKey(chat)) return createTimes_.count(chat.getCreateTime()) != 0;
    return false;
}

bool SavedChatIndex::containsCarved(const Record& record) const {
    // A carved field yields a value only when present and of the INTEGER class;
    // absent, NULL or another class leaves no key, as in the translation.
    const std::shared_ptr<FieldValue> svrId = record.getFieldValue("MesSvrId");
    if (svrId && svrId->isInteger() && svrId->getIntegerValue() != 0) {
        const int64_t id = svrId->getIntegerValue();
        return svrIds_[bucketOf(id)].count(id) != 0;
    }
    const std::shared_ptr<FieldValue> createTime = record.getFieldValue("CreateTime");
    if (createTime && createTime->isInteger()) {
        // The message keeps the low 32 bits of the creation time.
        return createTimes_.count(static_cast<int32_t>(createTime->getIntegerValue())) != 0;
    }
    return false;
}

void SavedChatIndex::clear() {
    for (auto& ids : svrIds_) ids.clear();
    createTimes_.clear();
}

}  // namespace wchat
}  // namespace sqlite
}  // namespace talwen
