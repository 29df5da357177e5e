#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "common/EntityBase.h"

namespace talwen {
namespace wchat {

// One message of the messenger, read through the SQLite library or carved from
// pages. A setter stores the value and sets the field's bit in the set-flags word;
// setNull(mask) marks fields as given and NULL. Always handled through std::shared_ptr.
class WchatChat : public common::EntityBase {
public:
    // Bit of each field in the set-flags and null-flags words; the recovery store
    // keeps the set-flags word in its validFlag column, so the values are fixed.
    static constexpr uint64_t kTableVerFlag = 0x1;
    static constexpr uint64_t kMesLocalIdFlag = 0x2;
    static constexpr uint64_t kMesSvrIdFlag = 0x4;
    static constexpr uint64_t kCreateTimeFlag = 0x8;
    static constexpr uint64_t kMessageFlag = 0x10;
    static constexpr uint64_t kStatusFlag = 0x20;
    static constexpr uint64_t kImgStatusFlag = 0x40;
    static constexpr uint64_t kTypeFlag = 0x80;
    static constexpr uint64_t kDesFlag = 0x100;
    static constexpr uint64_t kPageNumberFlag = 0x200;
    static constexpr uint64_t kTaggedUserNameFlag = 0x400;
    static constexpr uint64_t kFromUserNameFlag = 0x800;
    static constexpr uint64_t kRcChatIdFlag = 0x1000;

    // tableVer starts at 1 without its bit: a record that never had the column
    // stores NULL for it.
    explicit WchatChat(uint16_t obtainWay) : common::EntityBase(obtainWay) {}

    int32_t getTableVer() const { return tableVer_; }
    void setTableVer(int32_t value) {
        tableVer_ = value;
        markSet(kTableVerFlag);
    }
    int32_t getMesLocalId() const { return mesLocalId_; }
    void setMesLocalId(int32_t value) {
        mesLocalId_ = value;
        markSet(kMesLocalIdFlag);
    }
    int64_t getMesSvrId() const { return mesSvrId_; }
    void setMesSvrId(int64_t value) {
        mesSvrId_ = value;
        markSet(kMesSvrIdFlag);
    }
    int32_t getCreateTime() const { return createTime_; }
    void setCreateTime(int32_t value) {
        createTime_ = value;
        markSet(kCreateTimeFlag);
    }
    const std::string& getMessage() const { return message_; }
    int32_t getStatus() const { return status_; }
    void setStatus(int32_t value) {
        status_ = value;
        markSet(kStatusFlag);
    }
    int32_t getImgStatus() const { return imgStatus_; }
    void setImgStatus(int32_t value) {
        imgStatus_ = value;
        markSet(kImgStatusFlag);
    }
    int32_t getType() const { return type_; }
    void setType(int32_t value) {
        type_ = value;
        markSet(kTypeFlag);
    }
    int32_t getDes() const { return des_; }
    void setDes(int32_t value) {
        des_ = value;
        markSet(kDesFlag);
    }
    // Where a carved message was read: 0 the main file, N frame N of the
    // write-ahead log; -1 for a message read through SQLite (stored as NULL).
    int64_t getWalFrame() const { return walFrame_; }
    void setWalFrame(int64_t frame) { walFrame_ = frame; }
    int32_t getPageNumber() const { return pageNumber_; }
    void setPageNumber(int32_t value) {
        pageNumber_ = value;
        markSet(kPageNumberFlag);
    }
    const std::string& getTaggedUserName() const { return taggedUserName_; }
    void setTaggedUserName(const std::string& value) {
        taggedUserName_ = value;
        markSet(kTaggedUserNameFlag);
    }
    const std::string& getFromUserName() const { return fromUserName_; }
    void setFromUserName(const std::string& value) {
        fromUserName_ = value;
        markSet(kFromUserNameFlag);
    }
    int64_t getRcChatId() const { return rcChatId_; }
    void setRcChatId(int64_t value) {
        rcChatId_ = value;
        markSet(kRcChatIdFlag);
    }

    // Stores the text and analyses it: a chat-room message starts with the sender's
    // user name and ":\n" (taggedUserName); a message carrying a
    // fromusername="..." attribute names its sender there (fromUserName).
    void setMessage(const std::string& value);

    // The user name in front of ":\n", or empty when the text has none.
    static std::string findTaggedUserName(const std::string& text);
    // The value of the first fromusername attribute, or empty when there is none or
    // a line break follows it.
    static std::string findFromUserName(const std::string& text);

private:
    int32_t tableVer_ = 1;
    int32_t mesLocalId_ = 0;
    int64_t mesSvrId_ = 0;
    int32_t createTime_ = 0;
    std::string message_;
    int32_t status_ = 0;
    int32_t imgStatus_ = 0;
    int32_t type_ = 0;
    int32_t des_ = 0;
    int32_t pageNumber_ = 0;
    int64_t walFrame_ = -1;
    std::string taggedUserName_;
    std::string fromUserName_;
    int64_t rcChatId_ = 0;
};

}  // namespace wchat
}  // namespace talwen
