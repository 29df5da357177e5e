#include "wchat/NativeWchatChatTableRecordFilter.h"

#include "sqlite_recovery/FieldValue.h"

namespace talwen {
namespace wchat {

namespace {

constexpr size_t kChatTableNameBytes = 37;  // "Chat_" + 32 hexadecimal digits

}  // namespace

sqlite::CarveOptions NativeWchatChatTableRecordFilter::carveOptions() {
    // type (column 0): the text "table"; tbl_name (column 2): text of exactly
    // kChatTableNameBytes; rootpage (column 3): an integer above 1, so not the
    // serial types 8 and 9 (0 and 1). The first alone leaves the inspector one
    // byte value in 256 to look further at.
    sqlite::CarveOptions options;
    constexpr int64_t kTypeSerialType = 13 + 2 * 5;
    constexpr int64_t kNameSerialType = 13 + 2 * static_cast<int64_t>(kChatTableNameBytes);
    options.serialTypeBounds = {
        {0, kTypeSerialType, kTypeSerialType}, {2, kNameSerialType, kNameSerialType}, {3, 1, 6}};
    return options;
}

bool NativeWchatChatTableRecordFilter::accept(std::shared_ptr<sqlite::Record>& record) {
    // An index of a conversation table names the table too, with the index's own
    // root page: walking that as the table's would take the rows of whatever table
    // reused the page for the conversation's.
    const std::shared_ptr<sqlite::FieldValue> type = record->getFieldValue("type");
    if (!type || !type->isText() || type->getTextValue() != "table") return false;
    const std::shared_ptr<sqlite::FieldValue> tableName = record->getFieldValue("tbl_name");
    if (!tableName || !tableName->isText()) return false;
    const std::string& name = tableName->getTextValue();
    if (name.size() != kChatTableNameBytes || name.compare(0, 5, "Chat_") != 0) return false;
    const std::shared_ptr<sqlite::FieldValue> rootPage = record->getFieldValue("rootpage");
    return rootPage && rootPage->isInteger() && rootPage->getIntegerValue() > 1;
}

}  // namespace wchat
}  // namespace talwen
