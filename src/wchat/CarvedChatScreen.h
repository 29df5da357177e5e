#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <sqlite3.h>

#include "sqlite_recovery/Database.h"
#include "sqlite_recovery/PageMap.h"
#include "sqlite_recovery/RecordFilter.h"
#include "wchat/MessagePlausibility.h"
#include "wchat/SavedChatIndex.h"

namespace talwen {
namespace wchat {

// What stands between a carved row and the store in the message seek: the page
// map of the file (built from every b-tree the schema names), the placement and
// plausibility tests over it, and the count of rows they turned away.
class CarvedChatScreen {
public:
    // sourceDb: the messenger database read through the library (for the root
    // pages); data: the loaded file of `database`; path: the file, for its time.
    // Without readable root pages only the plausibility test is applied.
    void prepare(sqlite3* sourceDb, const sqlite::Database& database, const uint8_t* data, const std::string& path,
                 const SavedChatIndex* savedChats);

    // The filter for the seek: inner first, then this screen. Valid while this lives.
    sqlite::RecordFilter* wrap(sqlite::RecordFilter* inner);

    // Rows turned away, in total and by verdict.
    uint64_t rejected() const { return filter_ ? filter_->rejected() : 0; }
    uint64_t rejected(MessagePlausibility::Verdict verdict) const {
        return filter_ ? filter_->rejected(verdict) : 0;
    }
    const sqlite::PageMap* pageMap() const { return mapped_ ? &map_ : nullptr; }

private:
    sqlite::PageMap map_;
    bool mapped_ = false;
    std::unique_ptr<MessagePlausibility> plausibility_;
    std::unique_ptr<MessagePlacement> placement_;
    std::unique_ptr<PlausibleChatRecordFilter> filter_;
    const SavedChatIndex* savedChats_ = nullptr;
};

}  // namespace wchat
}  // namespace talwen
