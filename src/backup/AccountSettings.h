#pragma once

#include <string>

namespace talwen::backup {

// What a messenger account's settings file tells about its owner. Texts are UTF-8.
struct AccountSettings {
    std::string userName;
    std::string nickName;
    std::string fifthString;
    std::string signature;
    std::string headImgUrl;
};

} // namespace talwen::backup
