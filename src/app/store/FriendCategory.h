#pragma once

#include <QString>

namespace talwen {
namespace app {

enum class FriendCategory { Friend, Group, OfficialAccount };

// Official account when the user name contains "gh_", else group when it contains
// "@chatroom", else friend (both compared case-insensitively).
FriendCategory friendCategory(const QString& usrName);

}  // namespace app
}  // namespace talwen
