#pragma once

#include <cstdint>
#include <string>

#include <sqlite3.h>

#include <QString>

// A recovery store in memory with the schema the recovery engine creates, filled
// row by row by the tests.
class TestStore {
public:
    TestStore();
    ~TestStore();
    TestStore(const TestStore&) = delete;
    TestStore& operator=(const TestStore&) = delete;

    sqlite3* db() const { return db_; }

    // Runs SQL and fails the test on an error.
    void exec(const std::string& sql);

    struct Friend {
        std::string usrName;
        std::string nickName;
        std::string conRemark;
        std::string headImgUrl;
        std::string fullPY;
        int obtainWay = 1;
    };
    // Returns the new rcFriendId.
    int64_t addFriend(const Friend& f);

    struct Chat {
        int64_t createTime = 1500000000;
        std::string message;
        int type = 1;
        int des = 1;
        int obtainWay = 1;
        int64_t mesLocalId = 1;
        std::string taggedUserName;
        bool hasPageNumber = false;
        int64_t pageNumber = 0;
        std::string fromUserName;
    };
    // Returns the new rcChatId.
    int64_t addChat(const Chat& c);
    // Ties a message to a conversation (WC_Chatroom) and, unless told otherwise, to
    // the contact it was exchanged with (WC_ChatFriend).
    void tie(int64_t rcFriendId, int64_t rcChatId, bool chatFriend = true);

    // The store's closing statistics: chatNum, rcChatNum, lastChatTime.
    void finish();

private:
    sqlite3* db_ = nullptr;
};
