#include "wchat/WchatTranslator.h"

#include <array>
#include <optional>

#include "common/CommonFacility.h"
#include "sqlite_recovery/FieldValue.h"

#define WCR_UNIT "wchat/WchatTranslator"

namespace talwen {
namespace wchat {

namespace {

// One source column: its name (live spelling; the carved field has the same name
// up to letter case, and both lookups ignore case), its class, the bits marked when
// it is NULL (live) or absent (carved), and the setter of its target.
template <class Entity>
struct Column {
    const char* name;
    bool integer;
    uint64_t nullMask;
    bool carved;  // also read from carved records
    bool clean;   // carved text passes through sanitizeText
    void (*setInteger)(Entity&, int64_t);
    void (*setText)(Entity&, const std::string&);
    // Set for columns whose wrong class is ignored instead of reported.
    bool lenient;
};

using ChatColumn = Column<WchatChat>;
using FriendColumn = Column<WchatFriend>;
using TableColumn = Column<sqlite::TableBtree>;

const ChatColumn kChatColumns[] = {
    {"TableVer", true, WchatChat::kTableVerFlag, true, false,
     [](WchatChat& c, int64_t v) { c.setTableVer(static_cast<int32_t>(v)); }, nullptr, false},
    {"MesLocalId", true, WchatChat::kMesLocalIdFlag, true, false,
     [](WchatChat& c, int64_t v) { c.setMesLocalId(static_cast<int32_t>(v)); }, nullptr, false},
    {"MesSvrId", true, WchatChat::kMesSvrIdFlag, true, false,
     [](WchatChat& c, int64_t v) { c.setMesSvrId(v); }, nullptr, false},
    {"CreateTime", true, WchatChat::kCreateTimeFlag, true, false,
     [](WchatChat& c, int64_t v) { c.setCreateTime(static_cast<int32_t>(v)); }, nullptr, false},
    {"Message", false, WchatChat::kMessageFlag, true, true, nullptr,
     [](WchatChat& c, const std::string& v) { c.setMessage(v); }, false},
    {"Status", true, WchatChat::kStatusFlag, true, false,
     [](WchatChat& c, int64_t v) { c.setStatus(static_cast<int32_t>(v)); }, nullptr, false},
    {"ImgStatus", true, WchatChat::kImgStatusFlag, true, false,
     [](WchatChat& c, int64_t v) { c.setImgStatus(static_cast<int32_t>(v)); }, nullptr, false},
    {"Type", true, WchatChat::kTypeFlag, true, false,
     [](WchatChat& c, int64_t v) { c.setType(static_cast<int32_t>(v)); }, nullptr, false},
    {"Des", true, WchatChat::kDesFlag, true, false,
     [](WchatChat& c, int64_t v) { c.setDes(static_cast<int32_t>(v)); }, nullptr, false},
};

const FriendColumn kFriendColumns[] = {
    {"TableVer", true, WchatFriend::kTableVerFlag, true, false,
     [](WchatFriend& f, int64_t v) { f.setTableVer(static_cast<int32_t>(v)); }, nullptr, false},
    // A NULL user name has no digest: only the name's own bit is marked.
    {"UsrName", false, WchatFriend::kUsrNameFlag, true, false, nullptr,
     [](WchatFriend& f, const std::string& v) { f.setUsrName(v); }, false},
    {"NickName", false, WchatFriend::kNickNameFlag, true, true, nullptr,
     [](WchatFriend& f, const std::string& v) { f.setNickName(v); }, false},
    {"Uin", true, WchatFriend::kUinFlag, true, false,
     [](WchatFriend& f, int64_t v) { f.setUin(static_cast<int32_t>(v)); }, nullptr, false},
    {"Email", false, WchatFriend::kEmailFlag, true, false, nullptr,
     [](WchatFriend& f, const std::string& v) { f.setEmail(v); }, false},
    {"Mobile", false, WchatFriend::kMobileFlag, true, false, nullptr,
     [](WchatFriend& f, const std::string& v) { f.setMobile(v); }, false},
    {"Sex", true, WchatFriend::kSexFlag, true, false,
     [](WchatFriend& f, int64_t v) { f.setSex(static_cast<int32_t>(v)); }, nullptr, false},
    {"FullPY", false, WchatFriend::kFullPYFlag, true, false, nullptr,
     [](WchatFriend& f, const std::string& v) { f.setFullPY(v); }, false},
    {"Img", false, WchatFriend::kImgFlag, true, false, nullptr,
     [](WchatFriend& f, const std::string& v) { f.setImg(v); }, false},
    {"Type", true, WchatFriend::kTypeFlag, true, false,
     [](WchatFriend& f, int64_t v) { f.setType(static_cast<int32_t>(v)); }, nullptr, false},
    {"LastChatTime", true, WchatFriend::kLastChatTimeFlag, true, false,
     [](WchatFriend& f, int64_t v) { f.setLastChatTime(static_cast<int32_t>(v)); }, nullptr,
     false},
    {"Draft", false, WchatFriend::kDraftFlag, true, true, nullptr,
     [](WchatFriend& f, const std::string& v) { f.setDraft(v); }, false},
    // Friend_Ext columns: only read from live rows.
    {"ConIntRes1", true, WchatFriend::kWcFriendFlag, false, false,
     [](WchatFriend& f, int64_t v) { f.setWcFriend(v != 0 ? 1 : 0); }, nullptr, false},
    {"ConRemark", false, WchatFriend::kConRemarkFlag, false, false, nullptr,
     [](WchatFriend& f, const std::string& v) { f.setConRemark(v); }, false},
    // NULL: only the two picture addresses are marked.
    {"ConStrRes2", false, WchatFriend::kHeadImgUrlFlag | WchatFriend::kHeadImgHDUrlFlag, false,
     false, nullptr,
     [](WchatFriend& f, const std::string& v) { WchatTranslator::applyConStrRes2(v, f); }, false},
    // NULL and other classes are ignored.
    {"ConChatRoomMem", false, 0, false, false, nullptr,
     [](WchatFriend& f, const std::string& v) { WchatTranslator::applyConChatRoomMem(v, f); },
     true},
};

const TableColumn kTableColumns[] = {
    {"tbl_name", false, sqlite::TableBtree::kTableNameFlag, true, false, nullptr,
     [](sqlite::TableBtree& t, const std::string& v) { t.setTableName(v); }, false},
    {"rootpage", true, sqlite::TableBtree::kRootPageFlag, true, false,
     [](sqlite::TableBtree& t, int64_t v) { t.setRootPage(static_cast<uint32_t>(v)); }, nullptr, false},
};

// Hands a live (ColValue) or carved (FieldValue) value of the column's class to
// the column's setter, the text through sanitizeText when clean is set. Returns
// false, setting nothing, for a value of another class.
template <class Entity, class Value>
bool assign(const Column<Entity>& column, const Value& value, bool clean, Entity& entity) {
    if (column.integer) {
        if (!value.isInteger()) return false;
        column.setInteger(entity, value.getIntegerValue());
    } else {
        if (!value.isText()) return false;
        if (clean)
            column.setText(entity, common::sanitizeText(value.getTextValue()));
        else
            column.setText(entity, value.getTextValue());
    }
    return true;
}

template <class Entity, size_t N>
std::vector<std::shared_ptr<Entity>> translateRows(const sqldb::ResultSet& resultSet,
                                                   const Column<Entity> (&columns)[N],
                                                   const char* function,
                                                   common::ErrorInfo* error) {
    error->clear();
    std::vector<std::shared_ptr<Entity>> result;
    result.reserve(resultSet.getRowCount());
    // Each column's index is looked up once per result, not once per cell. A
    // column the result lacks stays unresolved; the by-name lookup in the row loop
    // then throws for it at the same point as before, only when there is a row.
    std::array<std::optional<uint32_t>, N> indexes;
    for (size_t i = 0; i < N; ++i) indexes[i] = resultSet.lookupColIndex(columns[i].name);
    for (uint32_t row = 0; row < resultSet.getRowCount(); ++row) {
        auto entity = std::make_shared<Entity>(common::EntityBase::kObtainBySqlite);
        const sqldb::ResultSet::Row& cells = resultSet.getRow(row);
        for (size_t i = 0; i < N; ++i) {
            const Column<Entity>& column = columns[i];
            std::shared_ptr<sqldb::ColValue> looked;
            if (!indexes[i]) looked = resultSet.getValue(row, column.name);
            const sqldb::ColValue& value = indexes[i] ? *cells[*indexes[i]] : *looked;
            if (value.isNull()) {
                if (column.nullMask != 0) entity->setNull(column.nullMask);
            } else if (!assign(column, value, false, *entity) && !column.lenient) {
                WCR_SET_ERROR(error, -1,
                              std::string("'") + column.name + "' type not " +
                                  (column.integer ? "INTEGER" : "TEXT") + "!",
                              function);
                return result;
            }
        }
        result.push_back(std::move(entity));
    }
    return result;
}

template <class Entity, size_t N>
void translateFields(const sqlite::Record& record, const Column<Entity> (&columns)[N], uint32_t flags,
                     Entity& entity) {
    for (const Column<Entity>& column : columns) {
        if (!column.carved) continue;
        const std::shared_ptr<sqlite::FieldValue> value = record.getFieldValue(column.name);
        if (!value) {
            entity.setNull(column.nullMask);
        } else {
            assign(column, *value, column.clean && (flags & WchatTranslator::kCleanTexts) != 0,
                   entity);
        }
    }
}

}  // namespace

std::vector<std::shared_ptr<WchatChat>> WchatTranslator::translateResultSetToWchatChats(
    const sqldb::ResultSet& resultSet, common::ErrorInfo* error) {
    return translateRows(resultSet, kChatColumns, "translateResultSetToWchatChats", error);
}

std::vector<std::shared_ptr<WchatFriend>> WchatTranslator::translateResultSetToWchatFriends(
    const sqldb::ResultSet& resultSet, common::ErrorInfo* error) {
    return translateRows(resultSet, kFriendColumns, "translateResultSetToWchatFriends", error);
}

std::vector<std::shared_ptr<sqlite::TableBtree>> WchatTranslator::translateResultSetToTableBtrees(
    const sqldb::ResultSet& resultSet, common::ErrorInfo* error) {
    return translateRows(resultSet, kTableColumns, "translateResultSetToTableBtrees", error);
}

std::shared_ptr<WchatChat> WchatTranslator::translateRecordToWchatChat(const sqlite::Record& record,
                                                                       uint32_t flags) {
    auto chat = std::make_shared<WchatChat>(common::EntityBase::kObtainByCarving);
    translateFields(record, kChatColumns, flags, *chat);
    const std::shared_ptr<sqlite::FieldValue> message = record.getFieldValue("message");
    if (message && message->isText())
        chat->setPageNumber(static_cast<int32_t>(message->getPageNumber()));
    return chat;
}

std::shared_ptr<WchatFriend> WchatTranslator::translateRecordToWchatFriend(const sqlite::Record& record,
                                                                           uint32_t flags) {
    auto wchatFriend = std::make_shared<WchatFriend>(common::EntityBase::kObtainByCarving);
    translateFields(record, kFriendColumns, flags, *wchatFriend);
    return wchatFriend;
}

std::shared_ptr<sqlite::TableBtree> WchatTranslator::translateRecordToTableBtree(const sqlite::Record& record) {
    auto table = std::make_shared<sqlite::TableBtree>(common::EntityBase::kObtainByCarving);
    translateFields(record, kTableColumns, 0, *table);
    return table;
}

bool WchatTranslator::findTagText(const std::string& text, const std::string& tag,
                                  std::string& value) {
    const std::string open = "<" + tag + ">";
    const size_t openAt = text.find(open);
    if (openAt == std::string::npos) return false;
    const size_t contentAt = openAt + open.size();
    const size_t closeAt = text.find("</" + tag + ">", contentAt);
    if (closeAt == std::string::npos || closeAt == contentAt) return false;
    value = text.substr(contentAt, closeAt - contentAt);
    return true;
}

void WchatTranslator::applyConStrRes2(const std::string& text, WchatFriend& wchatFriend) {
    struct Tag {
        const char* name;
        void (WchatFriend::*set)(const std::string&);
    };
    static const Tag kTags[] = {
        {"HeadImgUrl", &WchatFriend::setHeadImgUrl}, {"HeadImgHDUrl", &WchatFriend::setHeadImgHDUrl},
        {"country", &WchatFriend::setCountry},       {"province", &WchatFriend::setProvince},
        {"city", &WchatFriend::setCity},             {"sign", &WchatFriend::setSign},
    };
    std::string value;
    for (const Tag& tag : kTags) {
        if (findTagText(text, tag.name, value)) (wchatFriend.*tag.set)(value);
    }
}

void WchatTranslator::applyConChatRoomMem(const std::string& text, WchatFriend& wchatFriend) {
    std::vector<std::string> members;
    common::split(text, ";", members);
    if (members.empty()) return;
    wchatFriend.setDeduceFriendType("GROUP");
    for (const std::string& member : members) wchatFriend.addChatRoomMember(member);
}

}  // namespace wchat
}  // namespace talwen
