#pragma once

#include <memory>

#include "sqlite_recovery/CarveOptions.h"
#include "sqlite_recovery/Record.h"
#include "sqlite_recovery/RecordFilter.h"

namespace talwen {
namespace wchat {

// Accepts a carved sqlite_master record that describes a conversation table:
// "type" is "table", "tbl_name" is "Chat_" plus 32 bytes and "rootpage" an integer above 1.
// Holds no state; one object serves all threads of a seek.
class NativeWchatChatTableRecordFilter : public sqlite::RecordFilter {
public:
    NativeWchatChatTableRecordFilter() = default;
    bool accept(std::shared_ptr<sqlite::Record>& record) override;
    // The serial types this filter refuses, for the inspector to refuse first.
    static sqlite::CarveOptions carveOptions();
};

}  // namespace wchat
}  // namespace talwen
