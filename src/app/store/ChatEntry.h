#pragma once

#include <cstdint>

#include <QString>

namespace talwen {
namespace app {

// One message of a known contact's conversation.
struct ChatEntry {
    int32_t rcFriendId = 0;
    int32_t rcChatId = 0;
    int8_t deduceType = 0;
    int64_t validFlag = 0;
    int8_t obtainWay = 0;  // 1 = live row, other = recovered from freed space
    int32_t mesLocalId = 0;
    int64_t createTime = 0;  // seconds since 1970-01-01 UTC
    QString message;
    QString taggedUserName;
    int32_t status = 0;
    int32_t imgStatus = 0;
    int32_t type = 0;
    int32_t des = 0;  // 0 = sent by the account owner, 1 = received
};

}  // namespace app
}  // namespace talwen
