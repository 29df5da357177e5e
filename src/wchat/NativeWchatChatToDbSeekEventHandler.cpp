#include "wchat/NativeWchatChatToDbSeekEventHandler.h"

#include <cstdint>

#include "sqlite_recovery/SqliteBlockSeeker.h"
#include "sqlite_recovery/WalFile.h"
#include "wchat/RecoveryStore.h"
#include "wchat/WchatTranslator.h"

namespace talwen {
namespace wchat {

namespace {

void logFailure(common::LimitedLogger* log, const common::ErrorInfo& error) {
    if (log) log->log(error);
}

}  // namespace

NativeWchatChatToDbSeekEventHandler::NativeWchatChatToDbSeekEventHandler(
    RecoveryStore* store, WchatFriendDeducer* deducer, const SavedChatIndex* savedChats,
    common::Logger* logger)
    : store(store), deducer(deducer), savedChats(savedChats), logger(logger) {
    if (logger) {
        insertLog = std::make_unique<common::LimitedLogger>(logger, kLogLimit);
        friendLinkLog = std::make_unique<common::LimitedLogger>(logger, kLogLimit);
        roomLinkLog = std::make_unique<common::LimitedLogger>(logger, kLogLimit);
    }
}

NativeWchatChatToDbSeekEventHandler::~NativeWchatChatToDbSeekEventHandler() = default;

void NativeWchatChatToDbSeekEventHandler::onPageBegin(uint32_t) { batch.clear(); }

int NativeWchatChatToDbSeekEventHandler::onRecord(std::shared_ptr<sqlite::Record>& record) {
    // Most carved rows are copies of live messages: drop them before translating.
    if (savedChats->containsCarved(*record)) return 0;
    std::shared_ptr<WchatChat> chat =
        WchatTranslator::translateRecordToWchatChat(*record, WchatTranslator::kCleanTexts);
    chat->setWalFrame(sqlite::WalFile::currentFrame());
    // MesLocalID is the table's row id, kept in the cell before the record and not
    // in it: an intact cell still tells it.
    const int64_t rowId = sqlite::SqliteBlockSeeker::getCurrentCellRowId();
    if (!chat->isSet(WchatChat::kMesLocalIdFlag) && rowId > 0 && rowId <= INT32_MAX)
        chat->setMesLocalId(static_cast<int32_t>(rowId));
    batch.push_back(std::move(chat));
    return 1;
}

void NativeWchatChatToDbSeekEventHandler::onPageEnd(uint32_t pageNumber) {
    if (batch.empty()) return;
    if (holdPages) {
        heldPages.emplace_back(pageNumber, std::move(batch));
        batch.clear();
        return;
    }
    writePage(pageNumber, batch);
}

void NativeWchatChatToDbSeekEventHandler::onSliceEnd() {
    for (const auto& [pageNumber, messages] : heldPages) writePage(pageNumber, messages);
    heldPages.clear();
}

void NativeWchatChatToDbSeekEventHandler::writePage(uint32_t pageNumber,
                                                    const std::vector<std::shared_ptr<WchatChat>>& messages) {
    common::ErrorInfo error;
    store->insertChats(messages, &error);
    if (!error.isSuccess()) {
        logFailure(insertLog.get(), error);
        return;
    }

    for (const std::shared_ptr<WchatChat>& chat : messages) deducer->noteNames(*chat);
    std::set<int64_t> rcFriendIds;
    const uint16_t roomType = deducer->deduceChatRoom(pageNumber, messages, rcFriendIds);
    if (!rcFriendIds.empty()) {
        for (const std::shared_ptr<WchatChat>& chat : messages) {
            store->insertChatRoomsOfChat(roomType, chat->getRcChatId(),
                                                    rcFriendIds, &error);
            if (!error.isSuccess()) logFailure(roomLinkLog.get(), error);
        }
    }

    for (const std::shared_ptr<WchatChat>& chat : messages) {
        uint16_t friendType = 0;
        if (!deducer->deduceChatFriend(*chat, friendType, rcFriendIds)) continue;
        store->insertChatFriendsOfChat(friendType, chat->getRcChatId(),
                                                  rcFriendIds, &error);
        if (!error.isSuccess()) logFailure(friendLinkLog.get(), error);
    }
}

}  // namespace wchat
}  // namespace talwen
