#include "wchat/WchatFriend.h"

#include "wchat/Md5.h"

namespace talwen {
namespace wchat {

void WchatFriend::setUsrName(const std::string& value) {
    usrName_ = value;
    markSet(kUsrNameFlag);
    hashedUsrName_ = Md5::hexDigest(value);
    markSet(kHashedUsrNameFlag);
}

void WchatFriend::setHashedUsrName(const std::string& value) {
    hashedUsrName_ = value;
    markSet(kHashedUsrNameFlag);
}

}  // namespace wchat
}  // namespace talwen
