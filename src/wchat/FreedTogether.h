#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include <sqlite3.h>

#include "common/ErrorInfo.h"

namespace talwen {
namespace wchat {

// Carved messages on freed pages that no evidence of their own ties to a
// conversation, tied by the pages freed with them. Dropping a table frees its
// pages one after the other, in key order, and the freelist's trunks list them in
// that order; pages freed later are appended, and a page taken from the list
// leaves the list's last entry in its place. So a page between two freed pages
// whose messages are tied to one conversation was most likely freed with them:
// it is tied to that conversation when its messages continue theirs in time
// (older neighbour's last message <= its first, its last <= newer neighbour's
// first) and are of the same kind of conversation (a group's incoming messages
// carry a sender prefix, a person's do not). Neighbours that disagree, or pages
// that break the order, tie nothing.
// A page with one such neighbour only is tied to it when their MesLocalIDs (read
// from intact cells) follow on without a gap, as consecutive leaves of one table
// do, and time and kind continue too; pages tied so serve as neighbours in turn.
class FreedTogether {
public:
    // What a freed page's carved messages say.
    struct Page {
        uint32_t pageNumber = 0;
        int64_t owner = 0;  // the conversation of its tied messages; 0 none tied, -1 several
        int64_t firstTime = 0;
        int64_t lastTime = 0;
        bool tagged = false;            // an incoming message with a sender prefix
        bool untaggedIncoming = false;  // an incoming message without one (not a system message)
        std::vector<int64_t> untied;    // its messages without conversation
        int64_t firstLocalId = 0;       // its messages' MesLocalIDs: 0 unless every message has one
        int64_t lastLocalId = 0;
    };

    // Pages (in freelist order, only those holding carved messages) whose untied
    // messages go to an owner: (index into pages, owner).
    static std::vector<std::pair<size_t, int64_t>> findTies(const std::vector<Page>& pages);

    // Reads the carved messages of the file's freed pages (not those of write-ahead
    // log frames) and their ties from the store, and ties what findTies finds with
    // deduceType. freelistLeaves: the file's freelist leaf pages in trunk order.
    // Returns the number of messages tied. firstCarvedId: as for the duplicate merge.
    static int64_t tie(sqlite3* db, const std::vector<uint32_t>& freelistLeaves, uint16_t deduceType,
                       common::ErrorInfo* error, int64_t firstCarvedId = 0);
};

}  // namespace wchat
}  // namespace talwen
