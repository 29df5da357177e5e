#pragma once

#include <climits>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <sqlite3.h>

#include "common/ErrorInfo.h"

namespace talwen {
namespace wchat {

// Carved messages that no evidence ties to a conversation lie on freed pages of
// tables nothing names any more. Rather than one unknown conversation per page,
// pages are grouped into runs that can only be one table's: pages that follow each
// other in the file, each page's messages continuing the previous page's in time
// (and in MesLocalID, where rows carry it), all of one kind of conversation (a
// group's incoming messages carry a sender prefix, a person's do not). Anything
// that conflicts starts a new run; a page that conflicts with itself is left alone.
class LostPageRuns {
public:
    // What a page's messages without conversation say about their table.
    struct Page {
        uint32_t pageNumber = 0;
        int64_t firstTime = 0;
        int64_t lastTime = 0;
        int64_t firstLocalId = 0;  // 0 when no row of the page carries one
        int64_t lastLocalId = 0;
        bool tagged = false;            // an incoming message with a sender prefix
        bool untaggedIncoming = false;  // an incoming message without one
        std::vector<int64_t> rcChatIds;
        std::vector<int64_t> times;     // of each message, in rcChatIds' order
        std::vector<int64_t> localIds;  // of each message, 0 when its cell did not tell
        std::set<std::string> senders;  // tagged user names
    };

    // Where a surviving conversation table may hold deleted messages: between two
    // live messages whose MesLocalIDs are not adjacent, as many as the ids skipped,
    // created between the two (before the first: as many as the ids below it;
    // after the last: up to the largest id the table gave out, any number when
    // that is unknown). A message whose MesLocalID is known fits only the gap
    // around that id.
    struct Gap {
        int64_t fromTime = 0;
        int64_t toTime = 0;
        int64_t room = 0;  // messages that fit; < 0: any number
        int64_t fromId = 0;  // the live MesLocalIDs around the gap, not in it
        int64_t toId = INT64_MAX;
    };
    using Gaps = std::vector<Gap>;  // in time order

    // Whether every message of the run can be a deleted message of the table.
    static bool fitsGaps(const std::vector<Page>& run, const Gaps& gaps);

    // The gaps of the surviving tables, from their live messages given owner by
    // owner in MesLocalID order (the owners in any order).
    class GapBuilder {
    public:
        void add(int64_t owner, int64_t localId, int64_t createTime);
        // Whether every owner's ids came strictly ascending: only then is finish
        // what reading the stored live messages in id order gives.
        bool inOrder() const { return inOrder_; }
        // Gives back the room the gap lists grew into; they are kept through the
        // message carving, the run's peak of memory.
        void trim();
        // Every table's gaps by owner, in owner order, closed by the largest id the
        // table gave out (lastIds; none known: any number after its last message).
        std::vector<std::pair<int64_t, Gaps>> finish(const std::map<int64_t, int64_t>& lastIds) const;

    private:
        struct Table {
            int64_t lastId = 0;
            int64_t lastTime = 0;
            Gaps gaps;
        };
        std::map<int64_t, Table> tables_;
        bool inOrder_ = true;
    };
    // The same from the store: the live messages tied by deduce type liveType.
    static std::vector<std::pair<int64_t, Gaps>> readGaps(sqlite3* db, uint16_t liveType,
                                                          const std::map<int64_t, int64_t>& lastIds,
                                                          common::ErrorInfo* error);

    // Runs of the pages, in page order; pages of mixed kinds are in no run.
    static std::vector<std::vector<Page>> findRuns(std::vector<Page> pages);

    // Ties the carved messages without conversation (file pages only; a frame of
    // the write-ahead log may show a page's older owner) to one contact per run,
    // made by makeUpOwner(first page of the run, its tagged senders, whether it has
    // incoming messages without a tag) (0 = leave the run untied). A run of one page says no more than the page and stays as it is;
    // a run whose messages could all be deleted ones of a surviving conversation
    // (its live messages tied by deduce type liveType) stays untied too: a wrong
    // tie is worse than none. The pages of the runs left untied are listed in
    // WC_LostPageRun, so they show as one unknown conversation per run. Returns
    // the number of runs tied. firstCarvedId: as for the duplicate merge.
    // What is known of the surviving tables beyond their live messages.
    struct Surviving {
        // The largest MesLocalID each table gave out (its sqlite_sequence entry), by
        // the rcFriendId of its owner; a table missing here may have given out any
        // number after its last live message.
        std::map<int64_t, int64_t> lastIds;
        // The owner's user name, by rcFriendId, where known.
        std::map<int64_t, std::string> names;
        // Whether the chat room lists every one of the senders as a member.
        std::function<bool(const std::string&, const std::set<std::string>&)> listsMembers;
        // Before the runs: a page whose messages all tell their MesLocalID, that
        // shows its kind (an incoming message), and that fits the gaps of one
        // surviving table of that kind only (a group's: listing its senders) is
        // tied to that table with this deduce type; 0: no page is tied so.
        uint16_t fitType = 0;
        // The gaps built while the live messages were copied, used instead of
        // reading every live message again when they came in order.
        const GapBuilder* liveGaps = nullptr;
    };

    // Which surviving table (owner's rcFriendId) alone could have held the page's
    // messages, as described for Surviving::fitType; 0 none or several.
    static int64_t onlyTableFitting(const Page& page, const std::vector<std::pair<int64_t, Gaps>>& tables,
                                    const Surviving& surviving);

    static int64_t tieRuns(
        sqlite3* db, uint16_t liveType, uint16_t deduceType,
        const std::function<int64_t(uint32_t, const std::set<std::string>&, bool)>& makeUpOwner,
        common::ErrorInfo* error, int64_t firstCarvedId, const Surviving& surviving);
    // The same knowing nothing of the surviving tables beyond their live messages.
    static int64_t tieRuns(
        sqlite3* db, uint16_t liveType, uint16_t deduceType,
        const std::function<int64_t(uint32_t, const std::set<std::string>&, bool)>& makeUpOwner,
        common::ErrorInfo* error, int64_t firstCarvedId = 0);
};

}  // namespace wchat
}  // namespace talwen
