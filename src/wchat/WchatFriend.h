#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "common/EntityBase.h"

namespace talwen {
namespace wchat {

// A contact or chat room of the messenger, read through the SQLite library or
// carved from pages. A setter stores the value and sets the field's bit in the
// set-flags word; setNull(mask) marks fields as given and NULL. Bit 0x200 is unused.
// Always handled through std::shared_ptr.
class WchatFriend : public common::EntityBase {
public:
    // Bit of each field in the set-flags and null-flags words; the recovery store
    // keeps the set-flags word in its validFlag column, so the values are fixed.
    static constexpr uint64_t kTableVerFlag = 0x1;
    static constexpr uint64_t kUsrNameFlag = 0x2;
    static constexpr uint64_t kHashedUsrNameFlag = 0x4;
    static constexpr uint64_t kNickNameFlag = 0x8;
    static constexpr uint64_t kUinFlag = 0x10;
    static constexpr uint64_t kEmailFlag = 0x20;
    static constexpr uint64_t kMobileFlag = 0x40;
    static constexpr uint64_t kSexFlag = 0x80;
    static constexpr uint64_t kFullPYFlag = 0x100;
    static constexpr uint64_t kImgFlag = 0x400;
    static constexpr uint64_t kTypeFlag = 0x800;
    static constexpr uint64_t kLastChatTimeFlag = 0x1000;
    static constexpr uint64_t kDraftFlag = 0x2000;
    static constexpr uint64_t kConRemarkFlag = 0x4000;
    static constexpr uint64_t kHeadImgUrlFlag = 0x8000;
    static constexpr uint64_t kHeadImgHDUrlFlag = 0x10000;
    static constexpr uint64_t kCountryFlag = 0x20000;
    static constexpr uint64_t kProvinceFlag = 0x40000;
    static constexpr uint64_t kCityFlag = 0x80000;
    static constexpr uint64_t kSignFlag = 0x100000;
    static constexpr uint64_t kPageNumberFlag = 0x200000;
    static constexpr uint64_t kWcFriendFlag = 0x400000;
    static constexpr uint64_t kDeduceFriendTypeFlag = 0x800000;
    static constexpr uint64_t kRcFriendIdFlag = 0x1000000;
    static constexpr uint64_t kChatNumFlag = 0x2000000;
    static constexpr uint64_t kUsrNamePyFlag = 0x4000000;
    static constexpr uint64_t kNickNamePyFlag = 0x8000000;

    // tableVer starts at 1 without its bit: a record that never had the column
    // stores NULL for it.
    explicit WchatFriend(uint16_t obtainWay) : common::EntityBase(obtainWay) {}

    int32_t getTableVer() const { return tableVer_; }
    void setTableVer(int32_t value) {
        tableVer_ = value;
        markSet(kTableVerFlag);
    }
    std::string getUsrName() const { return usrName_; }
    std::string getHashedUsrName() const { return hashedUsrName_; }
    std::string getNickName() const { return nickName_; }
    void setNickName(const std::string& value) {
        nickName_ = value;
        markSet(kNickNameFlag);
    }
    int32_t getUin() const { return uin_; }
    void setUin(int32_t value) {
        uin_ = value;
        markSet(kUinFlag);
    }
    std::string getEmail() const { return email_; }
    void setEmail(const std::string& value) {
        email_ = value;
        markSet(kEmailFlag);
    }
    std::string getMobile() const { return mobile_; }
    void setMobile(const std::string& value) {
        mobile_ = value;
        markSet(kMobileFlag);
    }
    int32_t getSex() const { return sex_; }
    void setSex(int32_t value) {
        sex_ = value;
        markSet(kSexFlag);
    }
    std::string getFullPY() const { return fullPY_; }
    void setFullPY(const std::string& value) {
        fullPY_ = value;
        markSet(kFullPYFlag);
    }
    std::string getImg() const { return img_; }
    void setImg(const std::string& value) {
        img_ = value;
        markSet(kImgFlag);
    }
    int32_t getType() const { return type_; }
    void setType(int32_t value) {
        type_ = value;
        markSet(kTypeFlag);
    }
    int32_t getLastChatTime() const { return lastChatTime_; }
    void setLastChatTime(int32_t value) {
        lastChatTime_ = value;
        markSet(kLastChatTimeFlag);
    }
    std::string getDraft() const { return draft_; }
    void setDraft(const std::string& value) {
        draft_ = value;
        markSet(kDraftFlag);
    }
    std::string getConRemark() const { return conRemark_; }
    void setConRemark(const std::string& value) {
        conRemark_ = value;
        markSet(kConRemarkFlag);
    }
    std::string getHeadImgUrl() const { return headImgUrl_; }
    void setHeadImgUrl(const std::string& value) {
        headImgUrl_ = value;
        markSet(kHeadImgUrlFlag);
    }
    std::string getHeadImgHDUrl() const { return headImgHDUrl_; }
    void setHeadImgHDUrl(const std::string& value) {
        headImgHDUrl_ = value;
        markSet(kHeadImgHDUrlFlag);
    }
    std::string getCountry() const { return country_; }
    void setCountry(const std::string& value) {
        country_ = value;
        markSet(kCountryFlag);
    }
    std::string getProvince() const { return province_; }
    void setProvince(const std::string& value) {
        province_ = value;
        markSet(kProvinceFlag);
    }
    std::string getCity() const { return city_; }
    void setCity(const std::string& value) {
        city_ = value;
        markSet(kCityFlag);
    }
    std::string getSign() const { return sign_; }
    void setSign(const std::string& value) {
        sign_ = value;
        markSet(kSignFlag);
    }
    int32_t getPageNumber() const { return pageNumber_; }
    void setPageNumber(int32_t value) {
        pageNumber_ = value;
        markSet(kPageNumberFlag);
    }
    uint8_t getWcFriend() const { return wcFriend_; }
    void setWcFriend(uint8_t value) {
        wcFriend_ = value;
        markSet(kWcFriendFlag);
    }
    std::string getDeduceFriendType() const { return deduceFriendType_; }
    void setDeduceFriendType(const std::string& value) {
        deduceFriendType_ = value;
        markSet(kDeduceFriendTypeFlag);
    }
    int64_t getRcFriendId() const { return rcFriendId_; }
    void setRcFriendId(int64_t value) {
        rcFriendId_ = value;
        markSet(kRcFriendIdFlag);
    }
    int32_t getChatNum() const { return chatNum_; }
    void setChatNum(int32_t value) {
        chatNum_ = value;
        markSet(kChatNumFlag);
    }
    std::string getUsrNamePy() const { return usrNamePy_; }
    void setUsrNamePy(const std::string& value) {
        usrNamePy_ = value;
        markSet(kUsrNamePyFlag);
    }
    std::string getNickNamePy() const { return nickNamePy_; }
    void setNickNamePy(const std::string& value) {
        nickNamePy_ = value;
        markSet(kNickNamePyFlag);
    }

    // Stores the name and its MD5 digest as hashedUsrName: the messenger's
    // conversation table of this contact is "Chat_" + that digest.
    void setUsrName(const std::string& value);
    // Stores a digest without a name (placeholder contacts of unknown owners).
    void setHashedUsrName(const std::string& value);

    // Chat-room members (user names); no flag bit and not stored in the store.
    void addChatRoomMember(const std::string& userName) { chatRoomMembers_.insert(userName); }
    const std::set<std::string>& getChatRoomMembers() const { return chatRoomMembers_; }

private:
    int32_t tableVer_ = 1;
    std::string usrName_;
    std::string hashedUsrName_;
    std::string nickName_;
    int32_t uin_ = 0;
    std::string email_;
    std::string mobile_;
    int32_t sex_ = 0;
    std::string fullPY_;
    std::string img_;
    int32_t type_ = 0;
    int32_t lastChatTime_ = 0;
    std::string draft_;
    std::string conRemark_;
    std::string headImgUrl_;
    std::string headImgHDUrl_;
    std::string country_;
    std::string province_;
    std::string city_;
    std::string sign_;
    int32_t pageNumber_ = 0;
    uint8_t wcFriend_ = 0;
    std::string deduceFriendType_;
    int64_t rcFriendId_ = 0;
    int32_t chatNum_ = 0;
    std::string usrNamePy_;
    std::string nickNamePy_;
    std::set<std::string> chatRoomMembers_;
};

}  // namespace wchat
}  // namespace talwen
