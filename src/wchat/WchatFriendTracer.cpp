#include "wchat/WchatFriendTracer.h"

#include <algorithm>
#include <utility>

#define WCR_UNIT "wchat/WchatFriendTracer"

namespace talwen {
namespace wchat {

namespace {

constexpr size_t kChatPrefixLength = 5;  // "Chat_"
constexpr size_t kHashLength = 32;
constexpr const char* kChatRoomSuffix = "@chatroom";

bool isGivenNotNull(const WchatFriend& f, uint64_t mask) {
    return f.isSet(mask) && !f.isFieldNull(mask);
}

}  // namespace

void WchatFriendTracer::indexSavedWchatFriends(
    const std::vector<std::shared_ptr<WchatFriend>>& friends,
    const std::vector<std::shared_ptr<sqlite::TableBtree>>& tables, common::ErrorInfo* error) {
    std::lock_guard<std::mutex> guard(lock);
    error->clear();
    for (const std::shared_ptr<WchatFriend>& f : friends) {
        if (!isGivenNotNull(*f, WchatFriend::kRcFriendIdFlag)) {
            WCR_SET_ERROR(error, -1, "No 'rcFriendId' or NULL!", "indexSavedWchatFriends");
            return;
        }
        const int64_t id = f->getRcFriendId();
        if (isGivenNotNull(*f, WchatFriend::kUsrNameFlag)) {
            const std::string name = f->getUsrName();
            if (name.empty()) continue;
            unToRcFriendIdss[name].insert(id);
            if (f->getObtainWay() == common::EntityBase::kObtainBySqlite)
                unToLiveRcFriendId.emplace(name, id);
        }
        if (isGivenNotNull(*f, WchatFriend::kHashedUsrNameFlag)) {
            const std::string hash = f->getHashedUsrName();
            if (!hash.empty()) hunToRcFriendIds.emplace(hash, id);
        }
    }
    std::set<std::string> roomsWithMembers;
    for (const std::shared_ptr<WchatFriend>& f : friends) {
        if (!isGivenNotNull(*f, WchatFriend::kUsrNameFlag)) continue;
        const std::string name = f->getUsrName();
        if (name.empty()) continue;
        if (f->getChatRoomMembers().empty()) {
            if (name.find(kChatRoomSuffix) != std::string::npos) roomsWithoutMembers.insert(name);
            continue;
        }
        roomsWithMembers.insert(name);
        for (const std::string& member : f->getChatRoomMembers()) unToGroupss[member].insert(name);
    }
    // A room listed with its members by one of its rows is not without them.
    for (const std::string& name : roomsWithMembers) roomsWithoutMembers.erase(name);
    for (const std::shared_ptr<sqlite::TableBtree>& table : tables) {
        if (table->getObtainWay() != common::EntityBase::kObtainBySqlite) continue;
        liveTablePages.insert(liveTablePages.end(), table->getInteriorPages().begin(), table->getInteriorPages().end());
        liveTablePages.insert(liveTablePages.end(), table->getLeafPages().begin(), table->getLeafPages().end());
    }
    std::sort(liveTablePages.begin(), liveTablePages.end());
    liveTablePages.erase(std::unique(liveTablePages.begin(), liveTablePages.end()), liveTablePages.end());
    for (const std::shared_ptr<sqlite::TableBtree>& table : tables) {
        const std::string& tableName = table->getTableName();
        if (tableName.compare(0, kChatPrefixLength, "Chat_") != 0 ||
            tableName.size() != kChatPrefixLength + kHashLength || table->getLeafPages().empty())
            continue;
        const std::string hash = tableName.substr(kChatPrefixLength);
        const uint32_t index = static_cast<uint32_t>(tableHashes.size());
        tableHashes.push_back(hash);
        std::set<int64_t> ids;
        const auto found = hunToRcFriendIds.find(hash);
        if (found != hunToRcFriendIds.end()) ids.insert(found->second);
        tableRcFriendIds.push_back(std::move(ids));
        const bool live = table->getObtainWay() == common::EntityBase::kObtainBySqlite;
        for (uint32_t page : table->getLeafPages()) {
            if (!live && isPageOfLiveTable(page)) continue;
            leafPageTables.emplace_back(page, index);
        }
    }
    std::sort(leafPageTables.begin(), leafPageTables.end());
    leafPageTables.shrink_to_fit();
}

bool WchatFriendTracer::isPageOfLiveTable(uint32_t pageNumber) const {
    return std::binary_search(liveTablePages.begin(), liveTablePages.end(), pageNumber);
}

template <class Each>
void WchatFriendTracer::forTablesOfPage(uint32_t pageNumber, Each each) const {
    auto it = std::lower_bound(leafPageTables.begin(), leafPageTables.end(),
                               std::make_pair(pageNumber, uint32_t(0)));
    for (; it != leafPageTables.end() && it->first == pageNumber; ++it) each(it->second);
}

std::set<int64_t> WchatFriendTracer::findRcFriendIdsByUsrName(const std::string& usrName) const {
    const auto found = unToRcFriendIdss.find(usrName);
    return found == unToRcFriendIdss.end() ? std::set<int64_t>() : found->second;
}

int64_t WchatFriendTracer::findLiveRcFriendIdByUsrName(const std::string& usrName) const {
    const auto found = unToLiveRcFriendId.find(usrName);
    return found == unToLiveRcFriendId.end() ? 0 : found->second;
}

std::set<std::string> WchatFriendTracer::findGroupsOfAllMembers(
    const std::set<std::string>& usrNames) const {
    std::set<std::string> result;
    if (usrNames.empty()) return result;
    std::vector<const std::set<std::string>*> memberSets;
    memberSets.reserve(usrNames.size());
    const std::set<std::string>* smallest = nullptr;
    for (const std::string& name : usrNames) {
        const auto found = unToGroupss.find(name);
        if (found == unToGroupss.end()) return result;
        memberSets.push_back(&found->second);
        if (!smallest || found->second.size() < smallest->size()) smallest = &found->second;
    }
    for (const std::string& group : *smallest) {
        bool inAll = true;
        for (const std::set<std::string>* other : memberSets) {
            if (other != smallest && other->count(group) == 0) {
                inAll = false;
                break;
            }
        }
        if (inAll) result.insert(group);
    }
    return result;
}

bool WchatFriendTracer::hasChatRoomWithoutMembers(const std::string& except) const {
    for (const std::string& room : roomsWithoutMembers)
        if (room != except) return true;
    return false;
}

int64_t WchatFriendTracer::findRcFriendIdByHashedUsrName(const std::string& hashedUsrName) const {
    std::lock_guard<std::mutex> guard(lock);
    const auto found = hunToRcFriendIds.find(hashedUsrName);
    return found == hunToRcFriendIds.end() ? 0 : found->second;
}

std::set<std::string> WchatFriendTracer::findHashedUsrNamesByPage(uint32_t pageNumber) const {
    std::set<std::string> hashes;
    forTablesOfPage(pageNumber, [&](uint32_t table) { hashes.insert(tableHashes[table]); });
    return hashes;
}

std::set<int64_t> WchatFriendTracer::findRcFriendIdsByPage(uint32_t pageNumber) const {
    std::set<int64_t> ids;
    forTablesOfPage(pageNumber, [&](uint32_t table) {
        ids.insert(tableRcFriendIds[table].begin(), tableRcFriendIds[table].end());
    });
    return ids;
}

uint32_t WchatFriendTracer::nextPlaceholderNo() {
    std::lock_guard<std::mutex> guard(lock);
    return placeholderSeq++;
}

void WchatFriendTracer::addHashedUsrName(const std::string& hashedUsrName, int64_t rcFriendId) {
    std::lock_guard<std::mutex> guard(lock);
    hunToRcFriendIds.emplace(hashedUsrName, rcFriendId);
}

int64_t WchatFriendTracer::findOrMakeUpRcFriendId(const std::string& hashedUsrName,
                                                  const std::function<int64_t(uint32_t)>& makeUp) {
    std::lock_guard<std::mutex> guard(lock);
    const auto found = hunToRcFriendIds.find(hashedUsrName);
    if (found != hunToRcFriendIds.end()) return found->second;
    const uint32_t number = placeholderSeq++;
    const int64_t id = makeUp(number);
    if (id != 0) hunToRcFriendIds.emplace(hashedUsrName, id);
    return id;
}

void WchatFriendTracer::clear() {
    std::lock_guard<std::mutex> guard(lock);
    unToRcFriendIdss.clear();
    unToLiveRcFriendId.clear();
    unToGroupss.clear();
    roomsWithoutMembers.clear();
    hunToRcFriendIds.clear();
    leafPageTables.clear();
    leafPageTables.shrink_to_fit();
    liveTablePages.clear();
    liveTablePages.shrink_to_fit();
    tableHashes.clear();
    tableRcFriendIds.clear();
    placeholderSeq = 1;
}

void WchatFriendTracer::dump(std::ostream& out) const {
    std::lock_guard<std::mutex> guard(lock);
    out << "---- unToRcFriendIdss ----\n";
    for (const auto& entry : unToRcFriendIdss) {
        out << entry.first << ":";
        for (int64_t id : entry.second) out << " " << id;
        out << "\n";
    }
    out << "---- unToGroupss ----\n";
    for (const auto& entry : unToGroupss) {
        out << entry.first << ":";
        for (const std::string& group : entry.second) out << " " << group;
        out << "\n";
    }
    out << "---- hunToRcFriendIds ----\n";
    for (const auto& entry : hunToRcFriendIds) out << entry.first << ": " << entry.second << "\n";
    std::vector<uint32_t> pages;
    for (const auto& entry : leafPageTables)
        if (pages.empty() || pages.back() != entry.first) pages.push_back(entry.first);
    out << "---- lpnToHashedUsrNamess ----\n";
    for (uint32_t page : pages) {
        out << page << ":";
        for (const std::string& hash : findHashedUsrNamesByPage(page)) out << " " << hash;
        out << "\n";
    }
    out << "---- lpnToRcFriendIdss ----\n";
    for (uint32_t page : pages) {
        out << page << ":";
        for (int64_t id : findRcFriendIdsByPage(page)) out << " " << id;
        out << "\n";
    }
    out.flush();
}

}  // namespace wchat
}  // namespace talwen
