#pragma once

#include <cstdint>

#include <QString>

namespace talwen {
namespace app {

// One message carved from a page that could not be tied to any conversation.
struct LostChatEntry {
    int32_t rcChatId = 0;
    int64_t validFlag = 0;
    int32_t obtainWay = 0;
    int32_t pageNumber = 0;
    QString taggedUserName;
    QString fromUserName;
    int32_t mesLocalId = 0;
    QString created;  // local "yyyy-MM-dd HH:mm:ss" as the store's view delivers it
    QString message;
    int32_t status = 0;
    int32_t imgStatus = 0;
    int32_t type = 0;
    int32_t des = 0;
};

}  // namespace app
}  // namespace talwen
