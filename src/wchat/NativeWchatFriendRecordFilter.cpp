#include "wchat/NativeWchatFriendRecordFilter.h"

#include <algorithm>
#include <cctype>
#include <regex>
#include <string>

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

sqlite::CarveOptions NativeWchatFriendRecordFilter::carveOptions(const sqlite::Table& table) {
    sqlite::CarveOptions options;
    // The record's value of a name is its first column of that name, ignoring ASCII case.
    for (const sqlite::schema::Field& field : table.getFields()) {
        const std::string& name = field.getFieldName();
        const std::string wanted = "usrname";
        if (name.size() != wanted.size() ||
            !std::equal(name.begin(), name.end(), wanted.begin(),
                        [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; }))
            continue;
        // Text of 1 to kMaxUsrNameBytes bytes.
        options.serialTypeBounds = {{static_cast<uint32_t>(field.getFieldIndex()), 13 + 2,
                                     13 + 2 * static_cast<int64_t>(kMaxUsrNameBytes)}};
        break;
    }
    return options;
}

bool NativeWchatFriendRecordFilter::accept(std::shared_ptr<sqlite::Record>& record) {
    const std::shared_ptr<sqlite::FieldValue> usrName = record->getFieldValue("UsrName");
    if (!usrName || !usrName->isText()) return false;
    const std::string& text = usrName->getTextValue();
    if (text.empty() || text.size() > kMaxUsrNameBytes) return false;
    return std::regex_match(text, usrNamePattern());
}

}  // namespace wchat
}  // namespace talwen
