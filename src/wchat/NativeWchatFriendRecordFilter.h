#pragma once

#include <memory>

#include "sqlite_recovery/CarveOptions.h"
#include "sqlite_recovery/Record.h"
#include "sqlite_recovery/Table.h"
#include "sqlite_recovery/RecordFilter.h"

namespace talwen {
namespace wchat {

// Accepts a carved record whose "UsrName" field is text of 1 to 32 bytes made only of
// letters, digits, "_", "|", "@" and "-".
// Holds no state; one object serves all threads of a seek.
class NativeWchatFriendRecordFilter : public sqlite::RecordFilter {
public:
    NativeWchatFriendRecordFilter() = default;
    bool accept(std::shared_ptr<sqlite::Record>& record) override;
    // The serial types this filter refuses in the table's "UsrName" column, for the
    // inspector to refuse first; none when the table has no such column.
    static sqlite::CarveOptions carveOptions(const sqlite::Table& table);
};

}  // namespace wchat
}  // namespace talwen
