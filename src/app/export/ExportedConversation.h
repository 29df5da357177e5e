#pragma once

#include <cstdint>

#include <QString>

namespace talwen {
namespace app {

// What an export wrote for one conversation, for the index and the machine-readable
// files: its page, whose conversation it is and what the page holds.
struct ExportedConversation {
    enum class Category { Friend, Group, OfficialAccount, Unknown };

    bool contact = true;  // false: an unknown-friend group
    int32_t id = 0;       // rcFriendId, or the group's page number
    QString fileName;     // the page, relative to the export directory
    QString name;
    QString usrName;
    Category category = Category::Friend;
    bool written = false;
    int messages = 0;     // messages shown on the page
    int deleted = 0;      // of them, recovered from freed space
    bool hasDates = false;
    int64_t first = 0;    // seconds since 1970 UTC of the first and last message shown
    int64_t last = 0;
};

// "friend", "group", "official", "unknown": the values of index rows and of the files.
const char* categoryKey(ExportedConversation::Category category);
// "好友", "群聊", "公众号", "未知".
QString categoryText(ExportedConversation::Category category);

}  // namespace app
}  // namespace talwen
