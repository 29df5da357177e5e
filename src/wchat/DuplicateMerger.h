#pragma once

#include <cstdint>
#include <vector>

#include <sqlite3.h>

#include "common/ErrorInfo.h"

namespace talwen {
namespace wchat {

// One copy per message. Page splits and moves leave stale copies of a deleted
// row on several pages, and each is carved. Carved messages with the same server
// id, creation time, type, direction and text are one message when they belong to
// the same conversation (a copy tied to none joins the others; copies with a
// server id are one message whatever they were tied to). The most complete copy
// stays (most columns read, then the strongest tie to a conversation, then the
// first stored); it takes the strongest conversation tie and a sender tie of the
// others when it has none, and the other copies and their ties are deleted.
//
// Runs on the store's connection after the message seek, before the store's
// counters are computed; nothing else may write meanwhile. One transaction.
// Leaves the store an index of WC_Chatroom by message (Chatroom_RcChatId_Index).
class DuplicateMerger {
public:
    // Rank of a WC_Chatroom deduce type as evidence: higher is stronger.
    static int strength(int deduceType);

    // Returns the number of copies removed. firstCarvedId: no carved message has a
    // smaller rcChatId (the store's next id when the seek began), so that only
    // the carved ones are read; 0 reads the whole table.
    static int64_t merge(sqlite3* db, common::ErrorInfo* error, int64_t firstCarvedId = 0);

    // The groups the merge looks at: carved messages (obtainWay 2, rcChatId from
    // firstCarvedId on) that agree in server id (NULL as 0), creation time, type,
    // direction and text, two or more to a group, in the order SQL's GROUP BY over
    // those columns gives them; each group's ids ascend. Found by hashing every
    // row and comparing only the rows whose hashes meet, not by sorting them all.
    static std::vector<std::vector<int64_t>> groupsOfCopies(sqlite3* db, int64_t firstCarvedId,
                                                             common::ErrorInfo* error);
};

}  // namespace wchat
}  // namespace talwen
