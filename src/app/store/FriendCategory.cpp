#include "app/store/FriendCategory.h"

namespace talwen {
namespace app {

FriendCategory friendCategory(const QString& usrName) {
    if (usrName.contains(QLatin1String("gh_"), Qt::CaseInsensitive)) {
        return FriendCategory::OfficialAccount;
    }
    if (usrName.contains(QLatin1String("@chatroom"), Qt::CaseInsensitive)) {
        return FriendCategory::Group;
    }
    return FriendCategory::Friend;
}

}  // namespace app
}  // namespace talwen
