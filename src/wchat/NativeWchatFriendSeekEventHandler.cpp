#include "wchat/NativeWchatFriendSeekEventHandler.h"

#include "wchat/WchatTranslator.h"

namespace talwen {
namespace sqlite {
namespace wchat {

void NativeWchatFriendSeekEventHandler::onPageBegin(uint32_t) {}

void NativeWchatFriendSeekEventHandler::onPageEnd(uint32_t) {}

int NativeWchatFriendSeekEventHandler::onRecord(std::shared_ptr<Record>& record) {
    friends_.push_back(
        WchatTranslator::translateRecordToWchatFriend(*record, WchatTranslator::kCleanTexts));
    return 1;
}

}  // namespace wchat
}  // namespace sqlite
}  // namespace talwen
