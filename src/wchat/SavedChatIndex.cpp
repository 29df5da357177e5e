#include "wchat/SavedChatIndex.h"

#include <algorithm>

namespace talwen {
namespace wchat {

namespace {

bool hasSvrIdKey(const WchatChat& chat) {
    return chat.isSet(WchatChat::kMesSvrIdFlag) && !chat.isFieldNull(WchatChat::kMesSvrIdFlag) &&
           chat.getMesSvrId() != 0;
}

bool hasCreateTimeKey(const WchatChat& chat) {
    return chat.isSet(WchatChat::kCreateTimeFlag) && !chat.isFieldNull(WchatChat::kCreateTimeFlag);
}

// Spreads every bit of the key over the slot index (the finaliser of SplitMix64):
// server ids often differ only in a few middle bits.
uint64_t mix(int64_t key) {
    uint64_t x = static_cast<uint64_t>(key);
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

constexpr size_t kFirstSlots = 1024;

}  // namespace

// Slot counts are not powers of two, so that a reserved table is no larger than
// needed: the first slot is the mixed key modulo the slot count.
size_t SavedChatIndex::KeySet::slotOf(int64_t key) const {
    const size_t size = slots_.size();
    size_t slot = static_cast<size_t>(mix(key) % size);
    while (slots_[slot] != kEmpty && slots_[slot] != key) slot = slot + 1 == size ? 0 : slot + 1;
    return slot;
}

void SavedChatIndex::KeySet::rehash(size_t slots) {
    std::vector<int64_t> old(slots, kEmpty);
    old.swap(slots_);
    for (const int64_t key : old) {
        if (key != kEmpty) slots_[slotOf(key)] = key;
    }
}

void SavedChatIndex::KeySet::grow() { rehash(slots_.empty() ? kFirstSlots : slots_.size() * 2); }

void SavedChatIndex::KeySet::reserve(size_t keys) {
    const size_t slots = keys + keys / 2 + 1;  // 1.5 slots a key: about 67% full when all are in
    if (slots > slots_.size()) rehash(std::max(slots, kFirstSlots));
}

void SavedChatIndex::KeySet::insert(int64_t key) {
    if (key == kEmpty) {
        hasEmptyKey_ = true;
        return;
    }
    // At most 70% of the slots are used, so every probe run ends at a free slot
    // and stays short.
    if ((count_ + 1) * 10 > slots_.size() * 7) grow();
    const size_t slot = slotOf(key);
    if (slots_[slot] == kEmpty) {
        slots_[slot] = key;
        ++count_;
    }
}

bool SavedChatIndex::KeySet::contains(int64_t key) const {
    if (key == kEmpty) return hasEmptyKey_;
    return !slots_.empty() && slots_[slotOf(key)] == key;
}

void SavedChatIndex::KeySet::clear() {
    std::vector<int64_t>().swap(slots_);
    count_ = 0;
    hasEmptyKey_ = false;
}

bool SavedChatIndex::add(const WchatChat& chat) {
    if (hasSvrIdKey(chat)) {
        svrIds_.insert(chat.getMesSvrId());
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

void SavedChatIndex::reserve(size_t messages) { svrIds_.reserve(messages); }

bool SavedChatIndex::contains(const WchatChat& chat) const {
    if (hasSvrIdKey(chat)) return svrIds_.contains(chat.getMesSvrId());
    if (hasCreateTimeKey(chat)) return createTimes_.contains(chat.getCreateTime());
    return false;
}

bool SavedChatIndex::containsCarved(const sqlite::Record& record) const {
    // A carved field yields a value only when present and of the INTEGER class;
    // absent, NULL or another class leaves no key, as in the translation.
    const std::shared_ptr<sqlite::FieldValue> svrId = record.getFieldValue("MesSvrId");
    if (svrId && svrId->isInteger() && svrId->getIntegerValue() != 0) {
        const int64_t id = svrId->getIntegerValue();
        return svrIds_.contains(id);
    }
    const std::shared_ptr<sqlite::FieldValue> createTime = record.getFieldValue("CreateTime");
    if (createTime && createTime->isInteger()) {
        // The message keeps the low 32 bits of the creation time.
        return createTimes_.contains(static_cast<int32_t>(createTime->getIntegerValue()));
    }
    return false;
}

void SavedChatIndex::clear() {
    svrIds_.clear();
    createTimes_.clear();
}

}  // namespace wchat
}  // namespace talwen
