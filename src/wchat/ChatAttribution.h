#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "sqlite_recovery/TableBtree.h"
#include "wchat/WchatFriend.h"
#include "wchat/WchatFriendTracer.h"

namespace talwen {
namespace wchat {

// Evidence for tying carved messages to conversations and senders beyond the
// contact index: the interior pages of every conversation table's b-tree (stale
// cells of the leaf the page once was), every user name known anywhere (contacts
// live and carved, chat-room members, senders written in front of group messages,
// fromusername attributes, the account owner), by the MD5 that names a
// conversation table, and the contacts made up for a user name or a table.
//
// Threads: index runs before the message seek; the rest may be called from every
// seek thread and takes this object's lock. Lock order: the tracer's lock, then
// this one, then the store's.
class ChatAttribution {
public:
    // Contacts (live and carved, stored) and all conversation tables with their pages;
    // the tracer has indexed the same tables.
    void index(const std::vector<std::shared_ptr<WchatFriend>>& friends,
               const std::vector<std::shared_ptr<sqlite::TableBtree>>& tables, const WchatFriendTracer& tracer);

    // Remembers a user name seen anywhere; empty names and names that cannot be
    // user names are ignored.
    void addKnownName(const std::string& usrName);
    // The known user name whose MD5 is the hash, or empty.
    std::string findNameByHash(const std::string& hashedUsrName) const;

    // Whether a known user name (not the account owner) has no live conversation
    // table among those indexed and so may own a table that nothing names: a chat room's
    // for a group's messages, a person's for a person's, either when unknown.
    bool mayOwnUnnamedTable(bool group, bool person) const;

    // The fromusername of a live message the owner sent; the most frequent one is
    // the account owner's user name.
    void noteOwnMessageSender(const std::string& usrName);
    std::string accountOwner() const;

    // Owners of the conversation tables whose interior pages include the page.
    std::set<int64_t> findRcFriendIdsByInteriorPage(uint32_t pageNumber) const;

    // The contact made up for a user name that has no contact row: one per name,
    // made by makeUp(name) on first use (0 = failed, tried again next time).
    int64_t findOrMakeUpByName(const std::string& usrName, const std::function<int64_t(const std::string&)>& makeUp);

    // A contact made up for a table hash without a known name; proveMadeUp
    // visits those whose name has become known since.
    void noteNamelessOwner(const std::string& hashedUsrName, int64_t rcFriendId);
    void forEachProvable(const std::function<void(int64_t rcFriendId, const std::string& usrName)>& visit) const;

    void clear();

private:
    mutable std::mutex lock_;
    std::map<std::string, std::string> hashToName_;
    std::set<std::string> tableHashes_;
    std::map<uint32_t, std::set<int64_t>> interiorPageOwners_;
    std::map<std::string, int64_t> madeUpByName_;
    std::map<std::string, int64_t> namelessOwners_;  // hash -> made-up contact
    std::map<std::string, uint64_t> ownSenders_;
    std::string accountOwner_;
};

}  // namespace wchat
}  // namespace talwen
