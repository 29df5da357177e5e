#pragma once

#include <cstdint>
#include <vector>

#include "app/store/ChatEntry.h"

namespace talwen {
namespace app {

// Where a slice of a conversation begins: messages are ordered by createTime, then
// by rcChatId.
struct MessageCursor {
    int64_t createTime = 0;
    int32_t rcChatId = 0;
};

// Consecutive messages of a conversation, oldest first, read from its end so that a
// long conversation opens without reading all of it.
struct ConversationSlice {
    std::vector<ChatEntry> messages;
    bool hasEarlier = false;  // messages before `first` exist
    MessageCursor first;      // the oldest message of the slice (all 0 when empty)
};

}  // namespace app
}  // namespace talwen
