#include "app/support/TestStore.h"

#include <gtest/gtest.h>

namespace {

const char* const kSchema[] = {
    R"SQL(create table WC_Friend (rcFriendId INTEGER not null PRIMARY KEY AUTOINCREMENT, validFlag BIGINT not null, obtainWay SMALLINT not null, pageNumber INTEGER, chatNum INTEGER, rcChatNum INTEGER, usrNamePy VARCHAR(32), nickNamePy VARCHAR(32), wcFriend SMALLINT, deduceFriendType VARCHAR(32), tableVer INTEGER, usrName VARCHAR(64), nickName VARCHAR(64), uin INTEGER, email VARCHAR(32), mobilePhone VARCHAR(32), sex SMALLINT, fullPY VARCHAR(32), img VARCHAR(32), type INTEGER, lastChatTime BIGINT, draft VARCHAR(512), conRemark VARCHAR(64), headImgUrl VARCHAR(256), headImgHDUrl VARCHAR(256), country VARCHAR(32), province VARCHAR(32), city VARCHAR(32), sign VARCHAR(256));)SQL",
    R"SQL(create table WC_Chat (rcChatId INTEGER not null PRIMARY KEY AUTOINCREMENT, validFlag BIGINT not null, obtainWay SMALLINT not null, pageNumber INTEGER, taggedUserName VARCHAR(64), fromUserName VARCHAR(64), tableVer INTEGER, mesLocalId BIGINT, mesSvrId BIGINT, createTime BIGINT, message VARCHAR(4096), status INTEGER, imgStatus INTEGER, type INTEGER, des INTEGER);)SQL",
    R"SQL(create table WC_Chatroom (rcFriendId INTEGER not null, rcChatId INTEGER not null, deduceType SMALLINT not null, ratio REAL not null, primary key (rcFriendId, rcChatId), foreign key (rcChatId) references WC_Chat (rcChatId), foreign key (rcFriendId) references WC_Friend (rcFriendId));)SQL",
    R"SQL(create table WC_ChatFriend (rcFriendId INTEGER not null, rcChatId INTEGER not null, deduceType SMALLINT not null, ratio REAL not null, primary key (rcFriendId, rcChatId), foreign key (rcChatId) references WC_Chat (rcChatId), foreign key (rcFriendId) references WC_Friend (rcFriendId));)SQL",
    R"SQL(create view WC_ChatInRoom as SELECT DISTINCT F.rcFriendId, F.usrName, F.nickName, F.conRemark, R.deduceType, R.ratio, C.validFlag, C.obtainWay, C.pageNumber, C.taggedUserName, C.fromUserName, C.mesLocalId, C.mesSvrId, datetime(C.createTime, 'unixepoch', 'localtime') AS created, C.message, C.rcChatId, C.status, C.imgStatus, C.type, C.des FROM WC_Chat AS C INNER JOIN WC_Chatroom AS R ON C.rcChatId = R.rcChatId INNER JOIN WC_Friend AS F ON F.rcFriendId = R.rcFriendId ORDER BY C.createTime ASC)SQL",
    R"SQL(create view WC_LostFriendChat as SELECT C.rcChatId, C.validFlag, C.obtainWay, C.pageNumber, C.taggedUserName, C.fromUserName, C.tableVer, C.mesLocalId, C.mesSvrId, datetime(C.createTime, 'unixepoch', 'localtime') AS created, C.message, C.status, C.imgStatus, C.type, C.des FROM WC_Chat C LEFT JOIN WC_Chatroom R ON C.rcChatId = R.rcChatId WHERE ifnull(R.rcChatId,'') = '' ORDER BY C.pageNumber, C.createTime;)SQL",
};

const char* const kFinish[] = {
    R"SQL(UPDATE WC_Friend SET chatNum = (SELECT Count(C.rcChatId) FROM WC_Friend F LEFT JOIN WC_Chatroom R ON R.rcFriendId = F.rcFriendId LEFT JOIN WC_Chat C ON C.rcChatId = R.rcChatId WHERE WC_Friend.rcFriendId = F.rcFriendId AND (C.createTime > 1262304000) GROUP BY F.rcFriendId);)SQL",
    R"SQL(UPDATE WC_Friend SET rcChatNum = (SELECT Count(C.rcChatId) FROM WC_Friend F LEFT JOIN WC_Chatroom R ON R.rcFriendId = F.rcFriendId LEFT JOIN WC_Chat C ON C.rcChatId = R.rcChatId WHERE (WC_Friend.rcFriendId = F.rcFriendId) AND (C.obtainWay = 2) AND (C.createTime > 1262304000) GROUP BY F.rcFriendId);)SQL",
    R"SQL(UPDATE WC_Friend SET lastChatTime = (SELECT max(C.createTime) FROM WC_Friend F LEFT JOIN WC_ChatFriend P ON P.rcFriendId = F.rcFriendId LEFT JOIN WC_Chat C ON C.rcChatId = P.rcChatId WHERE WC_Friend.rcFriendId = F.rcFriendId );)SQL",
};

}  // namespace

TestStore::TestStore() {
    EXPECT_EQ(SQLITE_OK, sqlite3_open(":memory:", &db_));
    for (const char* sql : kSchema) {
        exec(sql);
    }
}

TestStore::~TestStore() {
    sqlite3_close(db_);
}

void TestStore::exec(const std::string& sql) {
    char* message = nullptr;
    const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
    EXPECT_EQ(SQLITE_OK, rc) << (message ? message : "") << " in " << sql;
    sqlite3_free(message);
}

namespace {

void bindText(sqlite3_stmt* statement, int index, const std::string& text) {
    if (text.empty()) {
        sqlite3_bind_null(statement, index);
    } else {
        sqlite3_bind_text(statement, index, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
}

}  // namespace

int64_t TestStore::addFriend(const Friend& f) {
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_prepare_v2(db_,
                                            "INSERT INTO WC_Friend (validFlag, obtainWay, usrName, nickName, "
                                            "conRemark, headImgUrl, fullPY) VALUES (0, ?, ?, ?, ?, ?, ?)",
                                            -1, &statement, nullptr));
    sqlite3_bind_int(statement, 1, f.obtainWay);
    bindText(statement, 2, f.usrName);
    bindText(statement, 3, f.nickName);
    bindText(statement, 4, f.conRemark);
    bindText(statement, 5, f.headImgUrl);
    bindText(statement, 6, f.fullPY);
    EXPECT_EQ(SQLITE_DONE, sqlite3_step(statement));
    sqlite3_finalize(statement);
    return sqlite3_last_insert_rowid(db_);
}

int64_t TestStore::addChat(const Chat& c) {
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_prepare_v2(db_,
                                            "INSERT INTO WC_Chat (validFlag, obtainWay, pageNumber, taggedUserName, "
                                            "fromUserName, mesLocalId, createTime, message, type, des) "
                                            "VALUES (0, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                                            -1, &statement, nullptr));
    sqlite3_bind_int(statement, 1, c.obtainWay);
    if (c.hasPageNumber) {
        sqlite3_bind_int64(statement, 2, c.pageNumber);
    } else {
        sqlite3_bind_null(statement, 2);
    }
    bindText(statement, 3, c.taggedUserName);
    bindText(statement, 4, c.fromUserName);
    sqlite3_bind_int64(statement, 5, c.mesLocalId);
    sqlite3_bind_int64(statement, 6, c.createTime);
    sqlite3_bind_text(statement, 7, c.message.c_str(), static_cast<int>(c.message.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int(statement, 8, c.type);
    sqlite3_bind_int(statement, 9, c.des);
    EXPECT_EQ(SQLITE_DONE, sqlite3_step(statement));
    sqlite3_finalize(statement);
    return sqlite3_last_insert_rowid(db_);
}

void TestStore::tie(int64_t rcFriendId, int64_t rcChatId, bool chatFriend) {
    const std::string values = "(" + std::to_string(rcFriendId) + ", " + std::to_string(rcChatId) + ", 1, 1.0)";
    exec("INSERT INTO WC_Chatroom (rcFriendId, rcChatId, deduceType, ratio) VALUES " + values);
    if (chatFriend) {
        exec("INSERT INTO WC_ChatFriend (rcFriendId, rcChatId, deduceType, ratio) VALUES " + values);
    }
}

void TestStore::finish() {
    for (const char* sql : kFinish) {
        exec(sql);
    }
}
