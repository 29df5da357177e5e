#include "wchat/DuplicateMerger.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "wchat/StoreStatement.h"

#define WCR_UNIT "wchat/DuplicateMerger"

namespace talwen {
namespace wchat {

namespace {

struct Link {
    int64_t rcFriendId;
    int deduceType;
    double ratio;
};

struct Copy {
    int64_t rcChatId = 0;
    int64_t validFlag = 0;
    std::vector<Link> rooms;
    std::vector<Link> senders;
    int roomStrength() const {
        int best = 0;
        for (const Link& l : rooms) best = std::max(best, DuplicateMerger::strength(l.deduceType));
        return best;
    }
    std::set<int64_t> owners() const {
        std::set<int64_t> ids;
        for (const Link& l : rooms) ids.insert(l.rcFriendId);
        return ids;
    }
};

std::vector<Link> linksOf(sqlite3_stmt* select, int64_t rcChatId) {
    std::vector<Link> links;
    sqlite3_reset(select);
    sqlite3_bind_int64(select, 1, rcChatId);
    while (sqlite3_step(select) == SQLITE_ROW) {
        links.push_back({sqlite3_column_int64(select, 0), sqlite3_column_int(select, 1),
                         sqlite3_column_double(select, 2)});
    }
    return links;
}

bool step(sqlite3* db, sqlite3_stmt* stmt, common::ErrorInfo* error) {
    const int rc = sqlite3_step(stmt);
    sqlite3_reset(stmt);
    if (rc == SQLITE_DONE) return true;
    WCR_SET_ERROR(error, -1, std::string("sqlite3_step: ") + sqlite3_errmsg(db), "merge");
    return false;
}

}  // namespace

int DuplicateMerger::strength(int deduceType) {
    switch (deduceType) {
        case 1: return 10;  // live row of the owner's table
        case 2: return 9;   // leaf page of a live table with a known owner
        case 6: return 8;   // other page of a live table with a known owner
        case 7: return 7;   // page of a dropped table, owner proved by its name
        case 4: return 5;   // chat room of all tagged senders
        case 5: return 4;   // sender by fromusername
        case 3: return 3;   // page of a table whose owner is made up
        case 9: return 3;   // freed between pages of one conversation
        case 8: return 2;   // run of lost pages, owner made up
        default: return 1;
    }
}

namespace {

// Indexes on the message of each link: the link tables' keys start with the
// contact, so without them every lookup by message reads a whole table. The one on
// WC_Chatroom stays: what runs after the merge (freed pages, runs of lost pages,
// the list of messages without conversation) asks the same. The one on
// WC_ChatFriend serves the merge only and is dropped after it; it holds the
// carved messages' links alone (the merge asks for no other), which on a large
// store are a small part.
class MergeIndexes {
public:
    MergeIndexes(sqlite3* db, const std::string& carvedOnly) : db_(db) {
        common::ErrorInfo ignored;  // without it the lookups are slower, not wrong
        ensureChatroomByChatIndex(db_, &ignored, WCR_UNIT, "merge");
        sqlite3_exec(db_, ("CREATE INDEX IF NOT EXISTS WC_MergeChatFriendChat ON WC_ChatFriend (rcChatId) WHERE " +
                           carvedOnly + ";").c_str(),
                     nullptr, nullptr, nullptr);
    }
    ~MergeIndexes() { sqlite3_exec(db_, "DROP INDEX IF EXISTS WC_MergeChatFriendChat;", nullptr, nullptr, nullptr); }
    MergeIndexes(const MergeIndexes&) = delete;
    MergeIndexes& operator=(const MergeIndexes&) = delete;

private:
    sqlite3* db_;
};

}  // namespace

namespace {

// The columns a copy shares with its message (server id, time, type, direction,
// text), as SQL's GROUP BY compares them: NULL before any value, integers by
// value, text by its bytes. The store writes no other kind of value there.
struct CopyKey {
    std::array<std::optional<int64_t>, 4> numbers;
    std::optional<std::string> text;
    bool operator<(const CopyKey& other) const {
        if (numbers != other.numbers) return numbers < other.numbers;
        return text < other.text;
    }
};

// Reads the key of the row a statement stands on from column `first` on; false
// for a value of another kind (a real or a blob), which the plain grouping
// compares by rules of its own.
bool readCopyKey(sqlite3_stmt* row, int first, CopyKey* key) {
    for (int i = 0; i < 4; ++i) {
        const int type = sqlite3_column_type(row, first + i);
        if (type == SQLITE_NULL) {
            key->numbers[i].reset();
        } else if (type == SQLITE_INTEGER) {
            key->numbers[i] = sqlite3_column_int64(row, first + i);
        } else {
            return false;
        }
    }
    const int type = sqlite3_column_type(row, first + 4);
    if (type == SQLITE_NULL) {
        key->text.reset();
    } else if (type == SQLITE_TEXT) {
        const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(row, first + 4));
        // Assigned, not built anew: one key serves every row of a scan.
        if (!key->text) key->text.emplace();
        key->text->assign(bytes, static_cast<size_t>(sqlite3_column_bytes(row, first + 4)));
    } else {
        return false;
    }
    return true;
}

uint64_t hashOf(const CopyKey& key) {
    uint64_t h = 1469598103934665603ULL;
    auto mix = [&h](uint64_t v) { h = (h ^ v) * 1099511628211ULL; };
    for (const auto& n : key.numbers) {
        mix(n ? 1 : 0);
        mix(n ? static_cast<uint64_t>(*n) : 0);
    }
    mix(key.text ? std::hash<std::string>()(*key.text) : 0x9e3779b97f4a7c15ULL);
    return h;
}

// The same groups by SQL, for a store holding values of another kind.
std::vector<std::vector<int64_t>> groupsBySql(sqlite3* db, int64_t firstCarvedId, common::ErrorInfo* error) {
    std::vector<std::vector<int64_t>> found;
    StoreStatement groups(db,
                          "SELECT group_concat(rcChatId) FROM WC_Chat WHERE rcChatId >= ? AND obtainWay = 2 "
                          "GROUP BY ifnull(mesSvrId, 0), createTime, type, des, message HAVING count(*) > 1;",
                          error, WCR_UNIT, "merge");
    if (!groups) return found;
    sqlite3_bind_int64(groups.get(), 1, firstCarvedId);
    while (sqlite3_step(groups.get()) == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(groups.get(), 0);
        std::vector<int64_t> ids;
        if (text != nullptr) {
            std::string list(reinterpret_cast<const char*>(text));
            size_t start = 0;
            while (start < list.size()) {
                size_t comma = list.find(',', start);
                if (comma == std::string::npos) comma = list.size();
                ids.push_back(std::stoll(list.substr(start, comma - start)));
                start = comma + 1;
            }
        }
        std::sort(ids.begin(), ids.end());
        found.push_back(std::move(ids));
    }
    return found;
}

}  // namespace

std::vector<std::vector<int64_t>> DuplicateMerger::groupsOfCopies(sqlite3* db, int64_t firstCarvedId,
                                                                  common::ErrorInfo* error) {
    error->clear();
    // Every carved message's key hashed; only the ids whose hash another shares
    // are read again and compared whole.
    std::vector<std::pair<uint64_t, int64_t>> hashed;
    {
        StoreStatement rows(db,
                            "SELECT rcChatId, ifnull(mesSvrId, 0), createTime, type, des, message FROM WC_Chat "
                            "WHERE rcChatId >= ? AND obtainWay = 2;",
                            error, WCR_UNIT, "merge");
        if (!rows) return {};
        sqlite3_bind_int64(rows.get(), 1, firstCarvedId);
        CopyKey key;
        int rc;
        while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
            if (!readCopyKey(rows.get(), 1, &key)) return groupsBySql(db, firstCarvedId, error);
            hashed.emplace_back(hashOf(key), sqlite3_column_int64(rows.get(), 0));
        }
        if (rc != SQLITE_DONE) {
            WCR_SET_ERROR(error, -1, std::string("sqlite3_step: ") + sqlite3_errmsg(db), "merge");
            return {};
        }
    }
    std::sort(hashed.begin(), hashed.end());
    std::vector<int64_t> candidates;
    for (size_t i = 0; i < hashed.size();) {
        size_t end = i + 1;
        while (end < hashed.size() && hashed[end].first == hashed[i].first) ++end;
        if (end - i > 1)
            for (size_t k = i; k < end; ++k) candidates.push_back(hashed[k].second);
        i = end;
    }
    hashed = {};
    std::sort(candidates.begin(), candidates.end());
    std::map<CopyKey, std::vector<int64_t>> byKey;
    {
        StoreStatement keyOf(db, "SELECT ifnull(mesSvrId, 0), createTime, type, des, message FROM WC_Chat WHERE rcChatId = ?;",
                             error, WCR_UNIT, "merge");
        if (!keyOf) return {};
        CopyKey key;
        for (const int64_t id : candidates) {
            sqlite3_reset(keyOf.get());
            sqlite3_bind_int64(keyOf.get(), 1, id);
            if (sqlite3_step(keyOf.get()) != SQLITE_ROW) continue;
            if (!readCopyKey(keyOf.get(), 0, &key)) return groupsBySql(db, firstCarvedId, error);
            byKey[key].push_back(id);
        }
    }
    std::vector<std::vector<int64_t>> found;
    for (auto& entry : byKey)
        if (entry.second.size() > 1) found.push_back(std::move(entry.second));
    return found;
}

int64_t DuplicateMerger::merge(sqlite3* db, common::ErrorInfo* error, int64_t firstCarvedId) {
    error->clear();
    // Made before the statements below are prepared, and gone after they are finalised.
    // The partial index serves only statements that repeat its condition word for word.
    const std::string carvedOnly = "rcChatId >= " + std::to_string(firstCarvedId);
    const MergeIndexes indexes(db, carvedOnly);
    StoreStatement flagOf(db, "SELECT validFlag FROM WC_Chat WHERE rcChatId = ?;", error, WCR_UNIT, "merge");
    StoreStatement roomsOf(db, "SELECT rcFriendId, deduceType, ratio FROM WC_Chatroom WHERE rcChatId = ?;", error, WCR_UNIT, "merge");
    const std::string sendersSql =
        "SELECT rcFriendId, deduceType, ratio FROM WC_ChatFriend WHERE rcChatId = ? AND " + carvedOnly + ";";
    StoreStatement sendersOf(db, sendersSql.c_str(), error, WCR_UNIT, "merge");
    StoreStatement svrIdOf(db, "SELECT ifnull(mesSvrId, 0) FROM WC_Chat WHERE rcChatId = ?;", error, WCR_UNIT, "merge");
    StoreStatement dropRooms(db, "DELETE FROM WC_Chatroom WHERE rcChatId = ?;", error, WCR_UNIT, "merge");
    const std::string dropSendersSql = "DELETE FROM WC_ChatFriend WHERE rcChatId = ? AND " + carvedOnly + ";";
    StoreStatement dropSenders(db, dropSendersSql.c_str(), error, WCR_UNIT, "merge");
    StoreStatement dropChat(db, "DELETE FROM WC_Chat WHERE rcChatId = ?;", error, WCR_UNIT, "merge");
    StoreStatement addRoom(db, "INSERT INTO WC_Chatroom(rcFriendId, rcChatId, deduceType, ratio) VALUES (?, ?, ?, ?);",
                      error, WCR_UNIT, "merge");
    StoreStatement addSender(db,
                        "INSERT INTO WC_ChatFriend(rcFriendId, rcChatId, deduceType, ratio) VALUES (?, ?, ?, ?);",
                        error, WCR_UNIT, "merge");
    if (!error->isSuccess()) return 0;

    // Groups of carved messages that agree in everything a copy keeps.
    const std::vector<std::vector<int64_t>> found = groupsOfCopies(db, firstCarvedId, error);
    if (!error->isSuccess()) return 0;

    int64_t removed = 0;
    sqlite3_exec(db, "BEGIN TRANSACTION;", nullptr, nullptr, nullptr);
    for (const std::vector<int64_t>& ids : found) {
        std::vector<Copy> copies;
        int64_t svrId = 0;
        for (const int64_t id : ids) {
            Copy copy;
            copy.rcChatId = id;
            sqlite3_reset(flagOf.get());
            sqlite3_bind_int64(flagOf.get(), 1, id);
            if (sqlite3_step(flagOf.get()) == SQLITE_ROW) copy.validFlag = sqlite3_column_int64(flagOf.get(), 0);
            sqlite3_reset(svrIdOf.get());
            sqlite3_bind_int64(svrIdOf.get(), 1, id);
            if (sqlite3_step(svrIdOf.get()) == SQLITE_ROW) svrId = sqlite3_column_int64(svrIdOf.get(), 0);
            copy.rooms = linksOf(roomsOf.get(), id);
            copy.senders = linksOf(sendersOf.get(), id);
            copies.push_back(std::move(copy));
        }
        // Strongest tie first; copies tied to no conversation last.
        std::stable_sort(copies.begin(), copies.end(),
                         [](const Copy& a, const Copy& b) { return a.roomStrength() > b.roomStrength(); });
        // Clusters of copies that are one message: without a server id only copies
        // of the same conversation (or of none) are.
        std::vector<std::vector<const Copy*>> clusters;
        for (const Copy& copy : copies) {
            std::vector<const Copy*>* home = nullptr;
            for (auto& cluster : clusters) {
                if (svrId != 0 || copy.rooms.empty() || cluster.front()->owners() == copy.owners()) {
                    home = &cluster;
                    break;
                }
            }
            if (home) {
                home->push_back(&copy);
            } else {
                clusters.push_back({&copy});
            }
        }
        for (const auto& cluster : clusters) {
            if (cluster.size() < 2) continue;
            // The most complete copy stays; the tie of the strongest copy goes with it.
            const Copy* keeper = cluster.front();
            for (const Copy* copy : cluster) {
                const size_t bits = std::bitset<64>(static_cast<uint64_t>(copy->validFlag)).count();
                const size_t keeperBits = std::bitset<64>(static_cast<uint64_t>(keeper->validFlag)).count();
                if (bits > keeperBits || (bits == keeperBits && copy->roomStrength() == keeper->roomStrength() &&
                                          copy->rcChatId < keeper->rcChatId))
                    keeper = copy;
            }
            const Copy* strongest = cluster.front();
            const Copy* withSender = nullptr;
            for (const Copy* copy : cluster) {
                if (!copy->senders.empty()) {
                    withSender = copy;
                    break;
                }
            }
            if (!withSender || !keeper->senders.empty()) withSender = keeper;
            bool ok = true;
            if (strongest != keeper && strongest->roomStrength() > keeper->roomStrength()) {
                sqlite3_bind_int64(dropRooms.get(), 1, keeper->rcChatId);
                ok = step(db, dropRooms.get(), error);
                for (const Link& l : strongest->rooms) {
                    if (!ok) break;
                    sqlite3_bind_int64(addRoom.get(), 1, l.rcFriendId);
                    sqlite3_bind_int64(addRoom.get(), 2, keeper->rcChatId);
                    sqlite3_bind_int(addRoom.get(), 3, l.deduceType);
                    sqlite3_bind_double(addRoom.get(), 4, l.ratio);
                    ok = step(db, addRoom.get(), error);
                }
            }
            if (ok && withSender != keeper) {
                for (const Link& l : withSender->senders) {
                    if (!ok) break;
                    sqlite3_bind_int64(addSender.get(), 1, l.rcFriendId);
                    sqlite3_bind_int64(addSender.get(), 2, keeper->rcChatId);
                    sqlite3_bind_int(addSender.get(), 3, l.deduceType);
                    sqlite3_bind_double(addSender.get(), 4, l.ratio);
                    ok = step(db, addSender.get(), error);
                }
            }
            for (const Copy* copy : cluster) {
                if (!ok || copy == keeper) continue;
                for (sqlite3_stmt* drop : {dropRooms.get(), dropSenders.get(), dropChat.get()}) {
                    sqlite3_bind_int64(drop, 1, copy->rcChatId);
                    if (!(ok = step(db, drop, error))) break;
                }
                if (ok) ++removed;
            }
            if (!ok) break;
        }
        if (!error->isSuccess()) break;
    }
    sqlite3_exec(db, "END TRANSACTION;", nullptr, nullptr, nullptr);
    return removed;
}

}  // namespace wchat
}  // namespace talwen
