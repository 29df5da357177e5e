#pragma once

// Shared pieces of the pipeline tests: generated messenger databases with their
// ground truth, and the recovery store read back into plain structs.

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "JsonReader.h"
#include "SelectRows.h"
#include "support/TempDir.h"
#include "sqldb/ResultSet.h"
#include "sqldb/SqliteAssistant.h"

namespace wcrtest {

// Runs the fixture generator into dir; false when it failed. extraArgs go to the
// generator's command line as they are (e.g. "--drop-cases --wal").
inline bool generateMessengerDb(const std::string& dir, const std::string& profile, int seed,
                                int pageSize = 4096, const std::string& extraArgs = "") {
    const std::string command = std::string("python3 '") + WCR_TOOLS_DIR +
                                "/gen_messenger_db.py' --out '" + dir + "' --profile " + profile +
                                " --seed " + std::to_string(seed) + " --page-size " +
                                std::to_string(pageSize) + " " + extraArgs + " > /dev/null";
    return std::system(command.c_str()) == 0;
}

inline JsonValue readTruth(const std::string& dir) {
    std::ifstream in(dir + "/truth.json", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return JsonValue::parse(text.str());
}

struct StoredChat {
    int64_t rcChatId = 0;
    int obtainWay = 0;
    bool mesSvrIdNull = true;
    int64_t mesSvrId = 0;
    int64_t createTime = 0;
    std::string message;
    int64_t pageNumber = 0;
    int64_t mesLocalId = 0;  // 0 when NULL
};

struct StoredLink {
    int64_t rcFriendId = 0;
    int deduceType = 0;
    double ratio = 0.0;
};

struct StoredFriend {
    int64_t rcFriendId = 0;
    int obtainWay = 0;
    bool usrNameNull = true;
    std::string usrName;
    std::string nickName;
    std::string conRemark;
    bool chatNumNull = true;
    int64_t chatNum = 0;
    bool rcChatNumNull = true;
    int64_t rcChatNum = 0;
    bool lastChatTimeNull = true;
    int64_t lastChatTime = 0;
};

// The whole recovery store in memory.
struct StoreSnapshot {
    std::map<int64_t, StoredChat> chats;
    std::map<int64_t, StoredFriend> friends;
    std::map<int64_t, std::vector<StoredLink>> rooms;        // by rcChatId
    std::map<int64_t, std::vector<StoredLink>> chatFriends;  // by rcChatId

    void load(sqlite3* db) {
        auto rs = selectRows(db,
                         "SELECT rcChatId, obtainWay, mesSvrId, createTime, message, pageNumber, "
                         "ifnull(mesLocalId, 0) FROM WC_Chat");
        for (uint32_t r = 0; r < rs.getRowCount(); ++r) {
            StoredChat c;
            c.rcChatId = rs.getValue(r, 0u)->getIntegerValue();
            c.obtainWay = static_cast<int>(rs.getValue(r, 1u)->getIntegerValue());
            c.mesSvrIdNull = rs.getValue(r, 2u)->isNull();
            if (!c.mesSvrIdNull) c.mesSvrId = rs.getValue(r, 2u)->getIntegerValue();
            if (!rs.getValue(r, 3u)->isNull()) c.createTime = rs.getValue(r, 3u)->getIntegerValue();
            if (rs.getValue(r, 4u)->isText()) c.message = rs.getValue(r, 4u)->getTextValue();
            if (!rs.getValue(r, 5u)->isNull()) c.pageNumber = rs.getValue(r, 5u)->getIntegerValue();
            c.mesLocalId = rs.getValue(r, 6u)->getIntegerValue();
            chats[c.rcChatId] = c;
        }
        rs = selectRows(db,
                    "SELECT rcFriendId, obtainWay, usrName, nickName, conRemark, chatNum, "
                    "rcChatNum, lastChatTime FROM WC_Friend");
        for (uint32_t r = 0; r < rs.getRowCount(); ++r) {
            StoredFriend f;
            f.rcFriendId = rs.getValue(r, 0u)->getIntegerValue();
            f.obtainWay = static_cast<int>(rs.getValue(r, 1u)->getIntegerValue());
            f.usrNameNull = rs.getValue(r, 2u)->isNull();
            if (!f.usrNameNull) f.usrName = rs.getValue(r, 2u)->getTextValue();
            if (rs.getValue(r, 3u)->isText()) f.nickName = rs.getValue(r, 3u)->getTextValue();
            if (rs.getValue(r, 4u)->isText()) f.conRemark = rs.getValue(r, 4u)->getTextValue();
            f.chatNumNull = rs.getValue(r, 5u)->isNull();
            if (!f.chatNumNull) f.chatNum = rs.getValue(r, 5u)->getIntegerValue();
            f.rcChatNumNull = rs.getValue(r, 6u)->isNull();
            if (!f.rcChatNumNull) f.rcChatNum = rs.getValue(r, 6u)->getIntegerValue();
            f.lastChatTimeNull = rs.getValue(r, 7u)->isNull();
            if (!f.lastChatTimeNull) f.lastChatTime = rs.getValue(r, 7u)->getIntegerValue();
            friends[f.rcFriendId] = f;
        }
        loadLinks(db, "WC_Chatroom", rooms);
        loadLinks(db, "WC_ChatFriend", chatFriends);
    }

private:
    static void loadLinks(sqlite3* db, const std::string& table,
                          std::map<int64_t, std::vector<StoredLink>>& links) {
        auto rs = selectRows(db, "SELECT rcChatId, rcFriendId, deduceType, ratio FROM " + table +
                                 " ORDER BY rcChatId, rcFriendId");
        for (uint32_t r = 0; r < rs.getRowCount(); ++r) {
            StoredLink link;
            link.rcFriendId = rs.getValue(r, 1u)->getIntegerValue();
            link.deduceType = static_cast<int>(rs.getValue(r, 2u)->getIntegerValue());
            link.ratio = rs.getValue(r, 3u)->getRealValue();
            links[rs.getValue(r, 0u)->getIntegerValue()].push_back(link);
        }
    }
};

}  // namespace wcrtest
