#include "wchat/NativeWchatFriendSeekEventHandler.h"

#include "wchat/WchatTranslator.h"

namespace talwen {
namespace wchat {

void NativeWchatFriendSeekEventHandler::onPageBegin(uint32_t) {}

void NativeWchatFriendSeekEventHandler::onPageEnd(uint32_t) {}

int NativeWchatFriendSeekEventHandler::onRecord(std::shared_ptr<sqlite::Record>& record) {
    friends_.push_back(
        WchatTranslator::translateRecordToWchatFriend(*record, WchatTranslator::kCleanTexts));
    return 1;
}

}  // namespace wchat
}  // namespace talwen
