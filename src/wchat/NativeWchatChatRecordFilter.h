#pragma once

#include <memory>

#include "sqlite_recovery/Record.h"
#include "sqlite_recovery/RecordFilter.h"

namespace talwen {
namespace wchat {

// Accepts a carved record whose "Message" field is text of at least one byte.
// Holds no state; one object serves all threads of a seek.
class NativeWchatChatRecordFilter : public sqlite::RecordFilter {
public:
    NativeWchatChatRecordFilter() = default;
    bool accept(std::shared_ptr<sqlite::Record>& record) override;
};

}  // namespace wchat
}  // namespace talwen
