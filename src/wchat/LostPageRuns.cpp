#include "wchat/LostPageRuns.h"

#include <algorithm>
#include <climits>
#include <map>
#include <string>
#include <utility>

#include "wchat/StoreStatement.h"

#define WCR_UNIT "wchat/LostPageRuns"

namespace talwen {
namespace wchat {

namespace {

constexpr int kObtainCarved = 2;
constexpr int kSystemMessage = 10000;  // no sender prefix even in a group

bool mixed(const LostPageRuns::Page& page) { return page.tagged && page.untaggedIncoming; }

// Whether the page shows its kind (exactly one) and every message its MesLocalID.
bool showsKindAndIds(const LostPageRuns::Page& page) {
    return page.tagged != page.untaggedIncoming && !page.times.empty() && page.localIds.size() == page.times.size() &&
           std::none_of(page.localIds.begin(), page.localIds.end(), [](int64_t id) { return id <= 0; });
}

// Whether the page can continue the run: the next page of the file, its messages
// not older than the run's last ones, its row ids above the run's, and of the
// same kind of conversation.
bool continues(const std::vector<LostPageRuns::Page>& run, const LostPageRuns::Page& page) {
    const LostPageRuns::Page& last = run.back();
    if (page.pageNumber != last.pageNumber + 1) return false;
    if (page.firstTime < last.lastTime) return false;
    int64_t runLastLocalId = 0;
    bool tagged = false;
    bool untagged = false;
    for (const LostPageRuns::Page& p : run) {
        runLastLocalId = std::max(runLastLocalId, p.lastLocalId);
        tagged = tagged || p.tagged;
        untagged = untagged || p.untaggedIncoming;
    }
    if (page.firstLocalId != 0 && runLastLocalId != 0 && page.firstLocalId <= runLastLocalId) return false;
    if ((tagged && page.untaggedIncoming) || (untagged && page.tagged)) return false;
    return true;
}

}  // namespace

bool LostPageRuns::fitsGaps(const std::vector<Page>& run, const Gaps& gaps) {
    std::map<size_t, int64_t> used;  // gap index -> messages placed
    // A message whose MesLocalID is known has one place: the gap around that id
    // (the gaps follow each other in id order), at a time within the gap's.
    std::vector<int64_t> times;  // of the others
    for (const Page& page : run) {
        for (size_t k = 0; k < page.times.size(); ++k) {
            const int64_t id = k < page.localIds.size() ? page.localIds[k] : 0;
            const int64_t time = page.times[k];
            if (id <= 0) {
                times.push_back(time);
                continue;
            }
            const auto g = std::upper_bound(gaps.begin(), gaps.end(), id,
                                            [](int64_t value, const Gap& gap) { return value < gap.toId; });
            if (g == gaps.end() || g->fromId >= id || time < g->fromTime || time > g->toTime) return false;
            const size_t index = static_cast<size_t>(g - gaps.begin());
            if (g->room >= 0 && used[index] >= g->room) return false;
            ++used[index];
        }
    }
    // The others oldest first into the earliest gap with room left: the gaps follow
    // each other in time, so this places all of them whenever any placement can.
    std::sort(times.begin(), times.end());
    for (const int64_t time : times) {
        // The first gap that can still take it: the gaps of equal times touch.
        const auto first = std::lower_bound(gaps.begin(), gaps.end(), time,
                                            [](const Gap& g, int64_t t) { return g.toTime < t; });
        bool placed = false;
        for (auto g = first; g != gaps.end() && g->fromTime <= time; ++g) {
            const size_t index = static_cast<size_t>(g - gaps.begin());
            if (g->room >= 0 && used[index] >= g->room) continue;
            ++used[index];
            placed = true;
            break;
        }
        if (!placed) return false;
    }
    return true;
}

std::vector<std::vector<LostPageRuns::Page>> LostPageRuns::findRuns(std::vector<Page> pages) {
    std::sort(pages.begin(), pages.end(), [](const Page& a, const Page& b) { return a.pageNumber < b.pageNumber; });
    std::vector<std::vector<Page>> runs;
    for (Page& page : pages) {
        if (mixed(page)) continue;
        if (!runs.empty() && continues(runs.back(), page)) {
            runs.back().push_back(std::move(page));
        } else {
            runs.push_back({std::move(page)});
        }
    }
    return runs;
}

void LostPageRuns::GapBuilder::add(int64_t owner, int64_t localId, int64_t createTime) {
    const auto [at, isNew] = tables_.try_emplace(owner);
    Table& table = at->second;
    if (isNew) {
        if (localId > 1) table.gaps.push_back({INT64_MIN, createTime, localId - 1, 0, localId});
    } else {
        if (localId <= table.lastId) inOrder_ = false;
        if (localId > table.lastId + 1)
            table.gaps.push_back({table.lastTime, createTime, localId - table.lastId - 1, table.lastId, localId});
    }
    table.lastId = localId;
    table.lastTime = createTime;
}

void LostPageRuns::GapBuilder::trim() {
    for (auto& entry : tables_) entry.second.gaps.shrink_to_fit();
}

std::vector<std::pair<int64_t, LostPageRuns::Gaps>> LostPageRuns::GapBuilder::finish(
    const std::map<int64_t, int64_t>& lastIds) const {
    std::vector<std::pair<int64_t, Gaps>> tables;
    tables.reserve(tables_.size());
    for (const auto& [owner, table] : tables_) {
        tables.emplace_back(owner, table.gaps);
        Gaps& gaps = tables.back().second;
        const auto last = lastIds.find(owner);
        if (last != lastIds.end() && last->second >= table.lastId) {
            if (last->second > table.lastId)
                gaps.push_back({table.lastTime, INT64_MAX, last->second - table.lastId, table.lastId, last->second + 1});
        } else {
            gaps.push_back({table.lastTime, INT64_MAX, -1, table.lastId, INT64_MAX});
        }
    }
    return tables;
}

// The gaps of every surviving conversation table, from its live messages, by owner.
std::vector<std::pair<int64_t, LostPageRuns::Gaps>> LostPageRuns::readGaps(sqlite3* db, uint16_t liveType,
                                                                           const std::map<int64_t, int64_t>& lastIds,
                                                                           common::ErrorInfo* error) {
    const std::string sql =
        "SELECT R.rcFriendId, C.mesLocalId, C.createTime FROM WC_Chat C JOIN WC_Chatroom R ON R.rcChatId = "
        "C.rcChatId WHERE C.obtainWay = 1 AND R.deduceType = " +
        std::to_string(liveType) +
        " AND C.mesLocalId IS NOT NULL AND C.createTime IS NOT NULL ORDER BY R.rcFriendId, C.mesLocalId;";
    StoreStatement live(db, sql.c_str(), error, WCR_UNIT, "LostPageRuns");
    if (!live) return {};
    GapBuilder builder;
    int rc;
    while ((rc = sqlite3_step(live.get())) == SQLITE_ROW)
        builder.add(sqlite3_column_int64(live.get(), 0), sqlite3_column_int64(live.get(), 1),
                    sqlite3_column_int64(live.get(), 2));
    if (rc != SQLITE_DONE) WCR_SET_ERROR(error, -1, std::string("sqlite3_step: ") + sqlite3_errmsg(db), "readGaps");
    return builder.finish(lastIds);
}

int64_t LostPageRuns::onlyTableFitting(const Page& page, const std::vector<std::pair<int64_t, Gaps>>& tables,
                                       const Surviving& surviving) {
    // The page must show its kind, and every message where it stood.
    if (!showsKindAndIds(page)) return 0;
    const auto nameOf = [&](int64_t owner) -> const std::string* {
        const auto found = surviving.names.find(owner);
        return found == surviving.names.end() ? nullptr : &found->second;
    };
    const std::vector<Page> alone{page};  // as a run, copied once for every table
    int64_t only = 0;
    for (const auto& [owner, gaps] : tables) {
        // A table of the other kind is no candidate; one of unknown kind is.
        const std::string* name = nameOf(owner);
        if (name && (name->find("@chatroom") != std::string::npos) != page.tagged) continue;
        if (!fitsGaps(alone, gaps)) continue;
        if (only != 0) return 0;
        only = owner;
    }
    const std::string* name = only != 0 ? nameOf(only) : nullptr;
    if (name == nullptr) return 0;
    if (page.tagged && !(surviving.listsMembers && surviving.listsMembers(*name, page.senders))) return 0;
    return only;
}

int64_t LostPageRuns::tieRuns(sqlite3* db, uint16_t liveType, uint16_t deduceType,
                              const std::function<int64_t(uint32_t, const std::set<std::string>&, bool)>& makeUpOwner,
                              common::ErrorInfo* error, int64_t firstCarvedId, const Surviving& surviving) {
    error->clear();
    std::map<uint32_t, Page> pages;
    {
        StoreStatement lost(db,
                       "SELECT rcChatId, pageNumber, mesLocalId, createTime, des, type, taggedUserName FROM WC_Chat "
                       "WHERE rcChatId >= ? AND obtainWay = 2 AND pageNumber > 0 AND ifnull(walFrame, 0) <= 0 "
                       "AND createTime IS NOT NULL "
                       "AND rcChatId NOT IN (SELECT rcChatId FROM WC_Chatroom);",
                       error, WCR_UNIT, "LostPageRuns");
        if (!lost) return 0;
        sqlite3_bind_int64(lost.get(), 1, firstCarvedId);
        static_assert(kObtainCarved == 2, "the statement above spells the carved way");
        int rc;
        while ((rc = sqlite3_step(lost.get())) == SQLITE_ROW) {
            sqlite3_stmt* row = lost.get();
            const uint32_t number = static_cast<uint32_t>(sqlite3_column_int64(row, 1));
            const int64_t localId = sqlite3_column_type(row, 2) == SQLITE_NULL ? 0 : sqlite3_column_int64(row, 2);
            const int64_t time = sqlite3_column_int64(row, 3);
            const bool incoming = sqlite3_column_type(row, 4) != SQLITE_NULL && sqlite3_column_int(row, 4) == 1;
            const bool system = sqlite3_column_int(row, 5) == kSystemMessage;
            const bool tagged = sqlite3_column_type(row, 6) != SQLITE_NULL && sqlite3_column_bytes(row, 6) > 0;
            auto [at, fresh] = pages.try_emplace(number);
            Page& page = at->second;
            if (fresh) {
                page.pageNumber = number;
                page.firstTime = page.lastTime = time;
            }
            page.firstTime = std::min(page.firstTime, time);
            page.lastTime = std::max(page.lastTime, time);
            if (localId > 0) {
                page.firstLocalId = page.firstLocalId == 0 ? localId : std::min(page.firstLocalId, localId);
                page.lastLocalId = std::max(page.lastLocalId, localId);
            }
            if (incoming && tagged) {
                page.tagged = true;
                page.senders.emplace(reinterpret_cast<const char*>(sqlite3_column_text(row, 6)));
            }
            if (incoming && !tagged && !system) page.untaggedIncoming = true;
            page.rcChatIds.push_back(sqlite3_column_int64(row, 0));
            page.times.push_back(time);
            page.localIds.push_back(localId);
        }
        if (rc != SQLITE_DONE) {
            WCR_SET_ERROR(error, -1, std::string("sqlite3_step: ") + sqlite3_errmsg(db), "LostPageRuns");
            return 0;
        }
    }
    // The gaps read every live message: only worth it when a page may be tied by them.
    std::vector<std::pair<int64_t, Gaps>> tables;
    bool gapsRead = false;
    const auto readGapsOnce = [&] {
        if (!gapsRead) {
            tables = surviving.liveGaps && surviving.liveGaps->inOrder() ? surviving.liveGaps->finish(surviving.lastIds)
                                                                          : readGaps(db, liveType, surviving.lastIds, error);
        }
        gapsRead = true;
        return error->isSuccess();
    };
    // Pages that only one surviving table could have held go to it, before the runs.
    std::vector<std::pair<int64_t, std::vector<int64_t>>> fitted;  // owner, messages
    if (surviving.fitType != 0 &&
        std::any_of(pages.begin(), pages.end(), [](const auto& entry) { return showsKindAndIds(entry.second); })) {
        if (!readGapsOnce()) return 0;
        for (auto at = pages.begin(); at != pages.end();) {
            const int64_t owner = onlyTableFitting(at->second, tables, surviving);
            if (owner == 0) {
                ++at;
                continue;
            }
            fitted.emplace_back(owner, std::move(at->second.rcChatIds));
            at = pages.erase(at);
        }
    }
    std::vector<Page> list;
    list.reserve(pages.size());
    for (auto& entry : pages) list.push_back(std::move(entry.second));
    const std::vector<std::vector<Page>> runs = findRuns(std::move(list));
    if (std::any_of(runs.begin(), runs.end(), [](const std::vector<Page>& run) { return run.size() >= 2; })) {
        if (!readGapsOnce()) return 0;
    }

    // Owners first: making one up writes to the store in a transaction of its own.
    std::vector<std::pair<int64_t, const std::vector<Page>*>> owned;
    std::vector<const std::vector<Page>*> untied;
    for (const std::vector<Page>& run : runs) {
        if (run.size() < 2) continue;
        bool couldSurvive = false;
        for (const auto& table : tables) couldSurvive = couldSurvive || fitsGaps(run, table.second);
        std::set<std::string> senders;
        bool person = false;
        for (const Page& page : run) {
            senders.insert(page.senders.begin(), page.senders.end());
            person = person || page.untaggedIncoming;
        }
        const int64_t owner = couldSurvive ? 0 : makeUpOwner(run.front().pageNumber, senders, person);
        if (owner != 0) {
            owned.emplace_back(owner, &run);
        } else {
            untied.push_back(&run);
        }
    }
    if (owned.empty() && untied.empty() && fitted.empty()) return 0;
    RoomTieWriter writer(db, deduceType, error, WCR_UNIT, "LostPageRuns");
    RoomTieWriter fitWriter(db, surviving.fitType, error, WCR_UNIT, "LostPageRuns");
    StoreStatement group(db, "INSERT OR REPLACE INTO WC_LostPageRun (pageNumber, runPage) VALUES (?, ?);", error,
                         WCR_UNIT, "LostPageRuns");
    if (!writer || !fitWriter || !group) return 0;
    bool ok = true;
    sqlite3_exec(db, "BEGIN TRANSACTION;", nullptr, nullptr, nullptr);
    for (const std::vector<Page>* run : untied) {
        for (const Page& page : *run) {
            if (!ok) break;
            sqlite3_bind_int64(group.get(), 1, page.pageNumber);
            sqlite3_bind_int64(group.get(), 2, run->front().pageNumber);
            const int rc = sqlite3_step(group.get());
            sqlite3_reset(group.get());
            if (rc != SQLITE_DONE) {
                WCR_SET_ERROR(error, -1, std::string("sqlite3_step: ") + sqlite3_errmsg(db), "LostPageRuns");
                ok = false;
            }
        }
    }
    for (const auto& [owner, rcChatIds] : fitted) {
        for (const int64_t rcChatId : rcChatIds) {
            if (!ok) break;
            ok = fitWriter.tie(owner, rcChatId);
        }
    }
    for (const auto& [owner, run] : owned) {
        for (const Page& page : *run) {
            for (const int64_t rcChatId : page.rcChatIds) {
                if (!ok) break;
                ok = writer.tie(owner, rcChatId);
            }
        }
    }
    if (!endStoreTransaction(db, ok, error, WCR_UNIT, "LostPageRuns")) return 0;
    return static_cast<int64_t>(owned.size());
}

int64_t LostPageRuns::tieRuns(
    sqlite3* db, uint16_t liveType, uint16_t deduceType,
    const std::function<int64_t(uint32_t, const std::set<std::string>&, bool)>& makeUpOwner,
    common::ErrorInfo* error, int64_t firstCarvedId) {
    return tieRuns(db, liveType, deduceType, makeUpOwner, error, firstCarvedId, Surviving());
}

}  // namespace wchat
}  // namespace talwen
