#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "common/ErrorInfo.h"
#include "sqlite_recovery/Record.h"
#include "sqlite_recovery/TableBtree.h"
#include "sqldb/ResultSet.h"
#include "wchat/WchatChat.h"
#include "wchat/WchatFriend.h"

namespace talwen {
namespace wchat {

// Turns rows of the messenger's database into messenger records: result rows read
// through the SQLite library (obtain way 1) and carved records (obtain way 2).
//
// ResultSet translations look every column up by name; a missing column makes the
// ResultSet throw CommonException, which is passed on to the caller. A value of the
// wrong class stops the translation with a report; the rows before it are returned.
// Record translations never fail: a field absent from the record is marked NULL, a
// field of another class (NULL included) is left unset.
class WchatTranslator {
public:
    WchatTranslator() = delete;

    // Bit 0 of the record translations' flags: pass carved texts through sanitizeText.
    static constexpr uint32_t kCleanTexts = 0x1;

    static std::vector<std::shared_ptr<WchatChat>> translateResultSetToWchatChats(
        const sqldb::ResultSet& resultSet, common::ErrorInfo* error);
    static std::vector<std::shared_ptr<WchatFriend>> translateResultSetToWchatFriends(
        const sqldb::ResultSet& resultSet, common::ErrorInfo* error);
    static std::vector<std::shared_ptr<sqlite::TableBtree>> translateResultSetToTableBtrees(
        const sqldb::ResultSet& resultSet, common::ErrorInfo* error);

    static std::shared_ptr<WchatChat> translateRecordToWchatChat(const sqlite::Record& record,
                                                                 uint32_t flags);
    static std::shared_ptr<WchatFriend> translateRecordToWchatFriend(const sqlite::Record& record,
                                                                     uint32_t flags);
    static std::shared_ptr<sqlite::TableBtree> translateRecordToTableBtree(const sqlite::Record& record);

    // Helpers of the contact translation, exposed for their own tests.
    // Text between the first "<tag>" and the first "</tag>" after it; false when
    // either is missing or the element is empty.
    static bool findTagText(const std::string& text, const std::string& tag, std::string& value);
    // Sets headImgUrl, headImgHDUrl, country, province, city and sign from the tags
    // of a ConStrRes2 text.
    static void applyConStrRes2(const std::string& text, WchatFriend& wchatFriend);
    // Splits a ConChatRoomMem text at ";"; with at least one member the contact
    // becomes a chat room ("GROUP").
    static void applyConChatRoomMem(const std::string& text, WchatFriend& wchatFriend);
};

}  // namespace wchat
}  // namespace talwen
