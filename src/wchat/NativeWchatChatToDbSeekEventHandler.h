#pragma once

#include <memory>
#include <vector>

#include "common/LimitedLogger.h"
#include "common/Logger.h"
#include "sqlite_recovery/SeekEventHandler.h"
#include "wchat/RecoveryStore.h"
#include "wchat/SavedChatIndex.h"
#include "wchat/WchatChat.h"
#include "wchat/WchatFriendDeducer.h"

namespace talwen {
namespace wchat {

// Writes the carved messages of one seek thread into the recovery store, one page
// at a time: the page's messages that are not copies of live ones are inserted in
// one batch, tied to the conversation deduced for the page and each to its deduced
// sender. Failures never stop the seek; each kind goes to its own limited logger
// (at most 10 per handler), or nowhere without a logger.
//
// Threads: used by one seek thread. The store, deducer and index are shared with
// the other handlers; the store's writer and the tracer do the locking.
class NativeWchatChatToDbSeekEventHandler : public sqlite::SeekEventHandler {
public:
    static constexpr uint32_t kLogLimit = 10;

    // None of the pointers is owned; logger may be null.
    NativeWchatChatToDbSeekEventHandler(RecoveryStore* store, WchatFriendDeducer* deducer,
                                        const SavedChatIndex* savedChats, common::Logger* logger);
    ~NativeWchatChatToDbSeekEventHandler() override;

    void onPageBegin(uint32_t pageNumber) override;
    void onPageEnd(uint32_t pageNumber) override;
    // Writes the pages held since the last slice end (see holdPagesToSliceEnd).
    void onSliceEnd() override;
    // Pages are written at the end of their slice instead of their own end: with
    // the seek's ordered slice ends, the store then gets the messages, and the
    // deducer sees them, in the same order in every run.
    void holdPagesToSliceEnd(bool hold) { holdPages = hold; }
    // 1 when the message was kept for the page's batch, 0 for a live copy.
    int onRecord(std::shared_ptr<sqlite::Record>& record) override;

    const std::vector<std::shared_ptr<WchatChat>>& getBatch() const { return batch; }

private:
    RecoveryStore* store;
    WchatFriendDeducer* deducer;
    const SavedChatIndex* savedChats;
    common::Logger* logger;
    std::unique_ptr<common::LimitedLogger> insertLog;
    std::unique_ptr<common::LimitedLogger> friendLinkLog;
    std::unique_ptr<common::LimitedLogger> roomLinkLog;
    std::vector<std::shared_ptr<WchatChat>> batch;
    bool holdPages = false;
    std::vector<std::pair<uint32_t, std::vector<std::shared_ptr<WchatChat>>>> heldPages;

    // Stores one page's messages and ties them.
    void writePage(uint32_t pageNumber, const std::vector<std::shared_ptr<WchatChat>>& messages);
};

}  // namespace wchat
}  // namespace talwen
