#include "wchat/NativeWchatChatRecordFilter.h"

#include "sqlite_recovery/FieldValue.h"

namespace talwen {
namespace sqlite {
namespace wchat {

bool NativeWchatChatRecordFilter::accept(std::shared_ptr<Record>& record) {
    const std::shared_ptr<FieldValue> message = record->getFieldValue("Message");
    return message && message->isText() && !message->getTextValue().empty();
}

}  // namespace wchat
}  // namespace sqlite
}  // namespace talwen
