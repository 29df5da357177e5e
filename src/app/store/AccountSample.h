#pragma once

#include <QString>

namespace talwen {
namespace app {

// A contact of a messenger account, shown to help the user recognise the account.
struct AccountSample {
    QString usrName;
    QString nickName;
    QString headImgUrl;
};

}  // namespace app
}  // namespace talwen
