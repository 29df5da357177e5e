#include "wchat/FreedTogether.h"

#include <algorithm>
#include <string>
#include <unordered_map>

#include "wchat/StoreStatement.h"

#define WCR_UNIT "wchat/FreedTogether"

namespace talwen {
namespace wchat {

namespace {

constexpr int kSystemMessage = 10000;  // no sender prefix even in a group

bool sameKind(const FreedTogether::Page& a, const FreedTogether::Page& b) {
    return !((a.tagged || b.tagged) && (a.untaggedIncoming || b.untaggedIncoming));
}

// Whether later's MesLocalIDs follow earlier's without a gap, its messages not
// older and of the same kind.
bool followsOn(const FreedTogether::Page& earlier, const FreedTogether::Page& later) {
    return earlier.lastLocalId > 0 && later.firstLocalId > 0 && later.firstLocalId == earlier.lastLocalId + 1 &&
           later.firstTime >= earlier.lastTime && sameKind(earlier, later);
}

// The one-sided ties, from the anchors and the pages tied between them (ties).
std::vector<std::pair<size_t, int64_t>> tieByFollowingIds(const std::vector<FreedTogether::Page>& pages,
                                                          std::vector<std::pair<size_t, int64_t>> ties) {
    std::vector<int64_t> owner(pages.size());
    for (size_t i = 0; i < pages.size(); ++i) owner[i] = pages[i].owner;
    for (const auto& [index, tiedTo] : ties) owner[index] = tiedTo;
    // The one owner that a freelist neighbour whose ids meet the page's gives it; 0 none or two.
    const auto ownerByIds = [&](size_t i) -> int64_t {
        const FreedTogether::Page& page = pages[i];
        int64_t found = 0;
        for (const size_t j : {i - 1, i + 1}) {
            if (j >= pages.size() || owner[j] <= 0) continue;  // i - 1 wraps to SIZE_MAX at 0
            const FreedTogether::Page& next = pages[j];
            if (!followsOn(page, next) && !followsOn(next, page)) continue;
            if (found != 0 && found != owner[j]) return 0;
            found = owner[j];
        }
        return found;
    };
    std::vector<size_t> pending;
    for (size_t i = 0; i < pages.size(); ++i)
        if (owner[i] == 0) pending.push_back(i);
    std::reverse(pending.begin(), pending.end());
    // A page tied here may vouch for its other neighbour: that one is looked at again.
    while (!pending.empty()) {
        const size_t i = pending.back();
        pending.pop_back();
        if (owner[i] != 0) continue;
        const int64_t found = ownerByIds(i);
        if (found == 0) continue;
        owner[i] = found;
        ties.emplace_back(i, found);
        for (const size_t j : {i - 1, i + 1})
            if (j < pages.size() && owner[j] == 0) pending.push_back(j);
    }
    return ties;
}

}  // namespace

std::vector<std::pair<size_t, int64_t>> FreedTogether::findTies(const std::vector<Page>& pages) {
    std::vector<std::pair<size_t, int64_t>> ties;
    size_t at = 0;
    while (at < pages.size()) {
        // An anchor: a page whose tied messages all have one conversation.
        if (pages[at].owner <= 0) {
            ++at;
            continue;
        }
        const size_t left = at;
        size_t right = left + 1;
        while (right < pages.size() && pages[right].owner == 0) ++right;
        at = right;
        if (right == left + 1 || right == pages.size() || pages[right].owner != pages[left].owner) continue;
        // Everything between the anchors continues the older one in time and kind.
        bool fits = true;
        Page seen = pages[left];
        for (size_t i = left + 1; i <= right && fits; ++i) {
            const Page& page = pages[i];
            fits = page.firstTime >= seen.lastTime && sameKind(seen, page);
            seen.lastTime = page.lastTime;
            seen.tagged = seen.tagged || page.tagged;
            seen.untaggedIncoming = seen.untaggedIncoming || page.untaggedIncoming;
        }
        if (!fits) continue;
        for (size_t i = left + 1; i < right; ++i) ties.emplace_back(i, pages[left].owner);
    }
    return tieByFollowingIds(pages, std::move(ties));
}

int64_t FreedTogether::tie(sqlite3* db, const std::vector<uint32_t>& freelistLeaves, uint16_t deduceType,
                           common::ErrorInfo* error, int64_t firstCarvedId) {
    error->clear();
    if (freelistLeaves.empty()) return 0;
    std::unordered_map<uint32_t, size_t> positionOf;
    positionOf.reserve(freelistLeaves.size());
    for (size_t i = 0; i < freelistLeaves.size(); ++i) positionOf.emplace(freelistLeaves[i], i);

    // The carved messages of the freed pages, each with its conversation.
    struct Message {
        int64_t rcChatId;
        size_t position;
        int64_t time;
        bool tagged;
        bool untaggedIncoming;
        int64_t owner;  // 0 none, -1 several
        int64_t localId;  // 0 unknown
    };
    std::vector<Message> messages;
    {
        StoreStatement carved(db,
                              "SELECT rcChatId, pageNumber, createTime, des, type, taggedUserName, mesLocalId FROM WC_Chat "
                              "WHERE rcChatId >= ? AND obtainWay = 2 AND pageNumber > 0 AND ifnull(walFrame, 0) <= 0 "
                              "AND createTime IS NOT NULL ORDER BY rcChatId;",
                              error, WCR_UNIT, "tie");
        if (!carved) return 0;
        sqlite3_bind_int64(carved.get(), 1, firstCarvedId);
        int rc;
        while ((rc = sqlite3_step(carved.get())) == SQLITE_ROW) {
            sqlite3_stmt* row = carved.get();
            const auto found = positionOf.find(static_cast<uint32_t>(sqlite3_column_int64(row, 1)));
            if (found == positionOf.end()) continue;
            const bool incoming = sqlite3_column_type(row, 3) != SQLITE_NULL && sqlite3_column_int(row, 3) == 1;
            const bool tagged = sqlite3_column_type(row, 5) != SQLITE_NULL && sqlite3_column_bytes(row, 5) > 0;
            const bool system = sqlite3_column_int(row, 4) == kSystemMessage;
            messages.push_back({sqlite3_column_int64(row, 0), found->second, sqlite3_column_int64(row, 2),
                                incoming && tagged, incoming && !tagged && !system, 0,
                                sqlite3_column_type(row, 6) == SQLITE_NULL ? 0 : sqlite3_column_int64(row, 6)});
        }
        if (rc != SQLITE_DONE) {
            WCR_SET_ERROR(error, -1, std::string("sqlite3_step: ") + sqlite3_errmsg(db), "tie");
            return 0;
        }
    }
    if (messages.empty()) return 0;
    {
        // The carved messages' links in message order, beside the messages (read in
        // that order too): one pass over the index of links by message instead of a
        // lookup per message. The link tables' own keys start with the contact.
        if (!ensureChatroomByChatIndex(db, error, WCR_UNIT, "tie")) return 0;
        StoreStatement links(db, "SELECT rcChatId, rcFriendId FROM WC_Chatroom WHERE rcChatId >= ? ORDER BY rcChatId;",
                             error, WCR_UNIT, "tie");
        if (!links) return 0;
        sqlite3_bind_int64(links.get(), 1, firstCarvedId);
        auto m = messages.begin();
        int rc;
        while ((rc = sqlite3_step(links.get())) == SQLITE_ROW) {
            const int64_t rcChatId = sqlite3_column_int64(links.get(), 0);
            while (m != messages.end() && m->rcChatId < rcChatId) ++m;
            if (m == messages.end()) break;
            if (m->rcChatId != rcChatId) continue;
            const int64_t owner = sqlite3_column_int64(links.get(), 1);
            m->owner = m->owner == 0 || m->owner == owner ? owner : -1;
        }
        if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
            WCR_SET_ERROR(error, -1, std::string("sqlite3_step: ") + sqlite3_errmsg(db), "tie");
            return 0;
        }
    }

    // One entry per freed page holding carved messages, in freelist order.
    std::sort(messages.begin(), messages.end(),
              [](const Message& a, const Message& b) { return a.position < b.position; });
    std::vector<Page> pages;
    size_t lastPosition = SIZE_MAX;
    for (const Message& m : messages) {
        if (pages.empty() || m.position != lastPosition) {
            Page page;
            page.pageNumber = freelistLeaves[m.position];
            page.firstTime = page.lastTime = m.time;
            page.firstLocalId = page.lastLocalId = m.localId;
            pages.push_back(page);
            lastPosition = m.position;
        }
        Page& page = pages.back();
        page.firstTime = std::min(page.firstTime, m.time);
        page.lastTime = std::max(page.lastTime, m.time);
        page.tagged = page.tagged || m.tagged;
        page.untaggedIncoming = page.untaggedIncoming || m.untaggedIncoming;
        if (m.localId <= 0 || page.firstLocalId <= 0) {
            page.firstLocalId = page.lastLocalId = 0;
        } else {
            page.firstLocalId = std::min(page.firstLocalId, m.localId);
            page.lastLocalId = std::max(page.lastLocalId, m.localId);
        }
        if (m.owner == 0) {
            page.untied.push_back(m.rcChatId);
        } else if (page.owner == 0) {
            page.owner = m.owner;
        } else if (page.owner != m.owner) {
            page.owner = -1;
        }
    }
    // A page with tied and untied messages is no page of the stretch between anchors.
    for (Page& page : pages)
        if (page.owner != 0) page.untied.clear();

    const std::vector<std::pair<size_t, int64_t>> ties = findTies(pages);
    if (ties.empty()) return 0;
    RoomTieWriter writer(db, deduceType, error, WCR_UNIT, "tie");
    if (!writer) return 0;
    int64_t tied = 0;
    bool ok = true;
    sqlite3_exec(db, "BEGIN TRANSACTION;", nullptr, nullptr, nullptr);
    for (const auto& [index, owner] : ties) {
        for (const int64_t rcChatId : pages[index].untied) {
            if (!(ok = writer.tie(owner, rcChatId))) break;
            ++tied;
        }
        if (!ok) break;
    }
    if (!endStoreTransaction(db, ok, error, WCR_UNIT, "tie")) return 0;
    return tied;
}

}  // namespace wchat
}  // namespace talwen
