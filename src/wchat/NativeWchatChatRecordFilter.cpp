#include "wchat/NativeWchatChatRecordFilter.h"

#include "sqlite_recovery/FieldValue.h"

namespace talwen {
namespace wchat {

bool NativeWchatChatRecordFilter::accept(std::shared_ptr<sqlite::Record>& record) {
    const std::shared_ptr<sqlite::FieldValue> message = record->getFieldValue("Message");
    return message && message->isText() && !message->getTextValue().empty();
}

}  // namespace wchat
}  // namespace talwen
