#pragma once

#include <cstdint>

#include <QString>

namespace talwen {
namespace app {

// One contact or chat room of the recovery store (a WC_Friend row). Fields whose
// column is NULL or of another storage class keep their initial value.
struct FriendEntry {
    int32_t rcFriendId = 0;
    int64_t validFlag = 0;
    int32_t obtainWay = 0;
    int32_t wcFriend = 0;
    int32_t deduceFriendType = 0;
    QString usrName;
    QString nickName;
    QString mobilePhone;
    int32_t sex = 0;  // 1 male, 2 female, other unknown
    QString fullPY;
    int64_t lastChatTime = 0;  // seconds since 1970-01-01 UTC
    QString lastChatText;      // lastChatTime as "yyyy-MM-dd HH:mm:ss" in UTC
    QString conRemark;
    QString headImgUrl;
    QString headImgHDUrl;
    QString country;
    QString province;
    QString city;
    QString sign;
    int32_t chatNum = 0;
    int32_t rcChatNum = 0;
};

}  // namespace app
}  // namespace talwen
