#include "wchat/NativeWchatChatTableRecordFilter.h"

#include "sqlite_recovery/FieldValue.h"

namespace talwen {
namespace wchat {

namespace {

constexpr size_t kChatTableNameBytes = 37;  // "Chat_" + 32 hexadecimal digits

}  // namespace

bool NativeWchatChatTableRecordFilter::accept(std::shared_ptr<sqlite::Record>& record) {
    const std::shared_ptr<sqlite::FieldValue> tableName = record->getFieldValue("tbl_name");
    if (!tableName || !tableName->isText()) return false;
    const std::string& name = tableName->getTextValue();
    if (name.size() != kChatTableNameBytes || name.compare(0, 5, "Chat_") != 0) return false;
    const std::shared_ptr<sqlite::FieldValue> rootPage = record->getFieldValue("rootpage");
    return rootPage && rootPage->isInteger() && rootPage->getIntegerValue() > 1;
}

}  // namespace wchat
}  // namespace talwen
