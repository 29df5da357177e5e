#include "wchat/NativeWchatFriendRecordFilter.h"

#include <regex>

#include "sqlite_recovery/FieldValue.h"

namespace talwen {
namespace wchat {

namespace {

constexpr size_t kMaxUsrNameBytes = 32;

// Compiled once per process; the initialisation of a function-local static is
// thread-safe, and matching against a const regex changes no state.
const std::regex& usrNamePattern() {
    static const std::regex pattern("[\\w|@|-]+",
                                    std::regex::ECMAScript | std::regex::icase |
                                        std::regex::optimize);
    return pattern;
}

}  // namespace

bool NativeWchatFriendRecordFilter::accept(std::shared_ptr<sqlite::Record>& record) {
    const std::shared_ptr<sqlite::FieldValue> usrName = record->getFieldValue("UsrName");
    if (!usrName || !usrName->isText()) return false;
    const std::string& text = usrName->getTextValue();
    if (text.empty() || text.size() > kMaxUsrNameBytes) return false;
    return std::regex_match(text, usrNamePattern());
}

}  // namespace wchat
}  // namespace talwen
