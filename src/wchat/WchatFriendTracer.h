#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "common/ErrorInfo.h"
#include "sqlite_recovery/TableBtree.h"
#include "wchat/WchatFriend.h"

namespace talwen {
namespace wchat {

// Index of the stored contacts and of the conversation tables' leaf pages, built
// once before the message seek: user name -> contact ids, member -> chat rooms,
// hashed user name -> contact id, leaf page -> hashed user names and contact ids.
//
// Threads: indexSavedWchatFriends and clear take the lock and never run during a
// seek; the maps they fill are then read by every seek thread without locking.
// Only hunToRcFriendIds and the placeholder counter change during a seek; every
// access to them takes the lock. Lock order: this lock, then the store's.
class WchatFriendTracer {
public:
    WchatFriendTracer() = default;
    WchatFriendTracer(const WchatFriendTracer&) = delete;
    WchatFriendTracer& operator=(const WchatFriendTracer&) = delete;

    // Contacts must carry their stored rcFriendId; tables their collected pages.
    void indexSavedWchatFriends(const std::vector<std::shared_ptr<WchatFriend>>& friends,
                                const std::vector<std::shared_ptr<sqlite::TableBtree>>& tables,
                                common::ErrorInfo* error);

    std::set<int64_t> findRcFriendIdsByUsrName(const std::string& usrName) const;
    int64_t findLiveRcFriendIdByUsrName(const std::string& usrName) const;
    // Chat rooms that list every one of the names as a member.
    std::set<std::string> findGroupsOfAllMembers(const std::set<std::string>& usrNames) const;
    // Whether a chat room other than `except` has a contact (live or carved) but no
    // known member list: its senders cannot be told from anyone else's.
    bool hasChatRoomWithoutMembers(const std::string& except) const;
    int64_t findRcFriendIdByHashedUsrName(const std::string& hashedUsrName) const;
    std::set<std::string> findHashedUsrNamesByPage(uint32_t pageNumber) const;
    std::set<int64_t> findRcFriendIdsByPage(uint32_t pageNumber) const;

    // Whether the page (interior or leaf) is one of the indexed tables read through
    // the library. Such a page belongs to its live table: a dropped table's stale
    // root or child pointers may lead into it after the page was reused, which
    // proves nothing.
    bool isPageOfLiveTable(uint32_t pageNumber) const;

    uint32_t nextPlaceholderNo();
    // First registration of a hash wins.
    void addHashedUsrName(const std::string& hashedUsrName, int64_t rcFriendId);

    // In one critical section: the id registered for the hash, or else
    // makeUp(next placeholder number) registered under the hash when it is not 0.
    // makeUp may take the store's lock (the tracer's lock is always taken first).
    int64_t findOrMakeUpRcFriendId(const std::string& hashedUsrName,
                                   const std::function<int64_t(uint32_t)>& makeUp);

    void clear();
    void dump(std::ostream& out) const;

private:
    mutable std::mutex lock;
    std::map<std::string, std::set<int64_t>> unToRcFriendIdss;
    std::map<std::string, int64_t> unToLiveRcFriendId;
    std::map<std::string, std::set<std::string>> unToGroupss;
    std::set<std::string> roomsWithoutMembers;
    std::map<std::string, int64_t> hunToRcFriendIds;
    // Leaf pages of the indexed tables as (page, table) pairs, sorted: a few bytes
    // per page, where a map of sets per page took about 180 bytes, and a big file
    // has millions of leaf pages. A page may be a leaf of several tables.
    std::vector<std::pair<uint32_t, uint32_t>> leafPageTables;
    std::vector<uint32_t> liveTablePages;  // sorted
    std::vector<std::string> tableHashes;              // per table: its hashed user name
    std::vector<std::set<int64_t>> tableRcFriendIds;   // per table: its contacts when indexed
    template <class Each>
    void forTablesOfPage(uint32_t pageNumber, Each each) const;
    uint32_t placeholderSeq = 1;
};

}  // namespace wchat
}  // namespace talwen
