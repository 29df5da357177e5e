#include "wchat/NativeWchatChatTableSeekEventHandler.h"

#include "wchat/WchatTranslator.h"

namespace talwen {
namespace wchat {

void NativeWchatChatTableSeekEventHandler::onPageBegin(uint32_t) {}

void NativeWchatChatTableSeekEventHandler::onPageEnd(uint32_t) {}

int NativeWchatChatTableSeekEventHandler::onRecord(std::shared_ptr<sqlite::Record>& record) {
    tables_.push_back(WchatTranslator::translateRecordToTableBtree(*record));
    return 1;
}

}  // namespace wchat
}  // namespace talwen
