#include "wchat/ChatAttribution.h"

#include <cctype>
#include <utility>
#include <vector>

#include "wchat/Md5.h"

namespace talwen {
namespace wchat {

namespace {

constexpr size_t kChatPrefixLength = 5;  // "Chat_"
constexpr size_t kHashLength = 32;
constexpr size_t kMaxUsrName = 64;

// The characters a user name is made of (letters, digits, "_", "-", "@", "|", ".").
bool looksLikeUsrName(const std::string& name) {
    if (name.empty() || name.size() > kMaxUsrName) return false;
    for (const char ch : name) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (!(std::isalnum(c) || c == '_' || c == '-' || c == '@' || c == '|' || c == '.')) return false;
    }
    return true;
}

}  // namespace

void ChatAttribution::index(const std::vector<std::shared_ptr<WchatFriend>>& friends,
                            const std::vector<std::shared_ptr<sqlite::TableBtree>>& tables,
                            const WchatFriendTracer& tracer) {
    for (const std::shared_ptr<WchatFriend>& f : friends) {
        if (f->isSet(WchatFriend::kUsrNameFlag) && !f->isFieldNull(WchatFriend::kUsrNameFlag))
            addKnownName(f->getUsrName());
        for (const std::string& member : f->getChatRoomMembers()) addKnownName(member);
    }
    // The tracer is asked before our lock is taken: it calls back into us while
    // holding its own, and the two locks must always be taken in that order.
    std::vector<std::pair<int64_t, const sqlite::TableBtree*>> owned;
    for (const std::shared_ptr<sqlite::TableBtree>& table : tables) {
        const std::string& name = table->getTableName();
        if (name.compare(0, kChatPrefixLength, "Chat_") != 0 || name.size() != kChatPrefixLength + kHashLength)
            continue;
        const int64_t owner = tracer.findRcFriendIdByHashedUsrName(name.substr(kChatPrefixLength));
        if (owner != 0) owned.emplace_back(owner, table.get());
    }
    std::lock_guard<std::mutex> guard(lock_);
    for (const std::shared_ptr<sqlite::TableBtree>& table : tables) {
        const std::string& name = table->getTableName();
        // Only a live table holds its pages for sure: a dropped one known from a
        // carved schema entry may have pages its stale root no longer reaches.
        if (table->getObtainWay() != common::EntityBase::kObtainBySqlite) continue;
        if (name.compare(0, kChatPrefixLength, "Chat_") == 0 && name.size() == kChatPrefixLength + kHashLength)
            tableHashes_.insert(name.substr(kChatPrefixLength));
    }
    for (const auto& [owner, table] : owned) {
        const bool live = table->getObtainWay() == common::EntityBase::kObtainBySqlite;
        for (const uint32_t page : table->getInteriorPages()) {
            if (!live && tracer.isPageOfLiveTable(page)) continue;
            interiorPageOwners_[page].insert(owner);
        }
    }
}

void ChatAttribution::addKnownName(const std::string& usrName) {
    if (!looksLikeUsrName(usrName)) return;
    const std::string hash = Md5::hexDigest(usrName);
    std::lock_guard<std::mutex> guard(lock_);
    hashToName_.emplace(hash, usrName);
}

std::string ChatAttribution::findNameByHash(const std::string& hashedUsrName) const {
    std::lock_guard<std::mutex> guard(lock_);
    const auto found = hashToName_.find(hashedUsrName);
    return found == hashToName_.end() ? std::string() : found->second;
}

bool ChatAttribution::mayOwnUnnamedTable(bool group, bool person) const {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& [hash, name] : hashToName_) {
        if (tableHashes_.count(hash) != 0 || name == accountOwner_) continue;
        const bool room = name.find("@chatroom") != std::string::npos;
        if ((group && !room) || (person && room)) continue;
        return true;
    }
    return false;
}

void ChatAttribution::noteOwnMessageSender(const std::string& usrName) {
    if (!looksLikeUsrName(usrName)) return;
    std::lock_guard<std::mutex> guard(lock_);
    const uint64_t count = ++ownSenders_[usrName];
    if (accountOwner_.empty() || (usrName != accountOwner_ && count > ownSenders_[accountOwner_]))
        accountOwner_ = usrName;
}

std::string ChatAttribution::accountOwner() const {
    std::lock_guard<std::mutex> guard(lock_);
    return accountOwner_;
}

std::set<int64_t> ChatAttribution::findRcFriendIdsByInteriorPage(uint32_t pageNumber) const {
    std::lock_guard<std::mutex> guard(lock_);
    const auto found = interiorPageOwners_.find(pageNumber);
    return found == interiorPageOwners_.end() ? std::set<int64_t>() : found->second;
}

int64_t ChatAttribution::findOrMakeUpByName(const std::string& usrName,
                                            const std::function<int64_t(const std::string&)>& makeUp) {
    std::lock_guard<std::mutex> guard(lock_);
    const auto found = madeUpByName_.find(usrName);
    if (found != madeUpByName_.end()) return found->second;
    const int64_t id = makeUp(usrName);
    if (id != 0) madeUpByName_.emplace(usrName, id);
    return id;
}

void ChatAttribution::noteNamelessOwner(const std::string& hashedUsrName, int64_t rcFriendId) {
    std::lock_guard<std::mutex> guard(lock_);
    namelessOwners_.emplace(hashedUsrName, rcFriendId);
}

void ChatAttribution::forEachProvable(
    const std::function<void(int64_t rcFriendId, const std::string& usrName)>& visit) const {
    std::vector<std::pair<int64_t, std::string>> provable;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (const auto& entry : namelessOwners_) {
            const auto name = hashToName_.find(entry.first);
            if (name != hashToName_.end()) provable.emplace_back(entry.second, name->second);
        }
    }
    for (const auto& entry : provable) visit(entry.first, entry.second);
}

void ChatAttribution::clear() {
    std::lock_guard<std::mutex> guard(lock_);
    hashToName_.clear();
    tableHashes_.clear();
    interiorPageOwners_.clear();
    madeUpByName_.clear();
    namelessOwners_.clear();
    ownSenders_.clear();
    accountOwner_.clear();
}

}  // namespace wchat
}  // namespace talwen
