#include "app/export/MachineExport.h"

#include <sqlite3.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include "app/export/CsvWriter.h"
#include "app/store/PageTime.h"
#include "app/store/TieName.h"

namespace talwen {
namespace app {

const char* const kMessagesCsvName = "messages.csv";
const char* const kMessagesJsonlName = "messages.jsonl";
const char* const kContactsCsvName = "contacts.csv";

namespace {

// One message as the store has it, with its strongest conversation tie.
struct MessageRow {
    int64_t rcChatId = 0;
    int obtainWay = 0;
    bool hasPageNumber = false;
    int64_t pageNumber = 0;
    QString taggedUserName;
    QString fromUserName;
    int64_t mesLocalId = 0;
    bool hasMesSvrId = false;
    int64_t mesSvrId = 0;
    int64_t createTime = 0;
    QString message;
    int type = 0;
    int des = 0;
    bool tied = false;
    int64_t rcFriendId = 0;
    int deduceType = 0;
    double ratio = 0;
    int ties = 0;
    bool hasWalFrame = false;  // carved: 0 the database file, N frame N of its write-ahead log
    int64_t walFrame = 0;
};

// Everything a column may need beside the row.
struct RowContext {
    const MachineExportContext& context;
    std::map<int64_t, const ExportedConversation*> contactPages;
    std::map<int64_t, const ExportedConversation*> lostPages;
    std::map<QString, const FriendEntry*> byUsrName;

    const FriendEntry* conversation(const MessageRow& row) const {
        if (!row.tied || context.friendMap == nullptr) return nullptr;
        auto it = context.friendMap->find(static_cast<int32_t>(row.rcFriendId));
        return it == context.friendMap->end() ? nullptr : &it->second;
    }
    const ExportedConversation* page(const MessageRow& row) const {
        if (row.tied) {
            auto it = contactPages.find(row.rcFriendId);
            return it == contactPages.end() ? nullptr : it->second;
        }
        if (!row.hasPageNumber) return nullptr;
        auto it = lostPages.find(row.pageNumber);
        return it == lostPages.end() ? nullptr : it->second;
    }
    QString sender(const MessageRow& row) const {
        if (row.des == 0) return context.ownerUsrName;
        if (!row.taggedUserName.isEmpty()) return row.taggedUserName;
        if (const FriendEntry* owner = conversation(row)) {
            if (!owner->usrName.contains(QLatin1String("@chatroom"))) return owner->usrName;
        }
        return row.fromUserName;
    }
    QString senderName(const MessageRow& row) const {
        auto it = byUsrName.find(sender(row));
        if (it == byUsrName.end() || sender(row).isEmpty()) return QString();
        return it->second->conRemark.isEmpty() ? it->second->nickName : it->second->conRemark;
    }
};

QString typeName(int type) {
    switch (type) {
        case 1: return QStringLiteral("text");
        case 3: return QStringLiteral("picture");
        case 34: return QStringLiteral("voice");
        case 42: return QStringLiteral("card");
        case 43: return QStringLiteral("video");
        case 47: return QStringLiteral("emoji");
        case 48: return QStringLiteral("location");
        case 49: return QStringLiteral("app message");
        case 50: return QStringLiteral("call");
        case 62: return QStringLiteral("short video");
        case 10000: return QStringLiteral("system");
        default: return QStringLiteral("unknown");
    }
}

// WC_Chatroom's deduceType: how the message was tied to its conversation.
QString tieText(const MessageRow& row) {
    if (!row.tied) return QStringLiteral("none");
    return tieName(row.deduceType);
}

QString number(int64_t value) { return QString::number(value); }

// The message columns, the one place that says what each file column holds. A
// value that is empty is written as an empty field and as null in JSON. Where the
// store does not record a fact (offset in the page, source file) the column stays
// empty.
struct MessageColumn {
    const char* name;
    bool numeric;
    QString (*value)(const RowContext&, const MessageRow&);
};

const MessageColumn kMessageColumns[] = {
    {"conversation", false,
     [](const RowContext& c, const MessageRow& r) {
         const ExportedConversation* page = c.page(r);
         if (page != nullptr) return page->name;
         const FriendEntry* owner = c.conversation(r);
         return owner == nullptr ? QString() : (owner->conRemark.isEmpty() ? owner->nickName : owner->conRemark);
     }},
    {"conversation_user", false,
     [](const RowContext& c, const MessageRow& r) {
         const FriendEntry* owner = c.conversation(r);
         return owner == nullptr ? QString() : owner->usrName;
     }},
    {"conversation_category", false,
     [](const RowContext& c, const MessageRow& r) {
         const ExportedConversation* page = c.page(r);
         return page == nullptr ? QString() : QString::fromLatin1(categoryKey(page->category));
     }},
    {"page", false,
     [](const RowContext& c, const MessageRow& r) {
         const ExportedConversation* page = c.page(r);
         return page == nullptr ? QString() : page->fileName;
     }},
    {"sender", false, [](const RowContext& c, const MessageRow& r) { return c.sender(r); }},
    {"sender_name", false, [](const RowContext& c, const MessageRow& r) { return c.senderName(r); }},
    {"direction", false,
     [](const RowContext&, const MessageRow& r) {
         return r.des == 0 ? QStringLiteral("sent") : r.des == 1 ? QStringLiteral("received") : QString();
     }},
    {"time_utc", false, [](const RowContext&, const MessageRow& r) { return isoUtcText(r.createTime); }},
    {"time_page", false,
     [](const RowContext& c, const MessageRow& r) { return pageTimeText(r.createTime, c.context.utc); }},
    {"utc_offset", false,
     [](const RowContext& c, const MessageRow& r) { return utcOffsetText(pageUtcOffset(r.createTime, c.context.utc)); }},
    {"unix_time", true, [](const RowContext&, const MessageRow& r) { return number(r.createTime); }},
    {"type", true, [](const RowContext&, const MessageRow& r) { return number(r.type); }},
    {"type_name", false, [](const RowContext&, const MessageRow& r) { return typeName(r.type); }},
    {"text", false, [](const RowContext&, const MessageRow& r) { return r.message; }},
    {"state", false,
     [](const RowContext&, const MessageRow& r) {
         return r.obtainWay == 1 ? QStringLiteral("live") : QStringLiteral("deleted");
     }},
    {"found_by", false,
     [](const RowContext&, const MessageRow& r) {
         return r.obtainWay == 1 ? QStringLiteral("live row") : QStringLiteral("carved from database pages");
     }},
    {"conversation_tie", false, [](const RowContext&, const MessageRow& r) { return tieText(r); }},
    {"tie_ratio", true,
     [](const RowContext&, const MessageRow& r) { return r.tied ? QString::number(r.ratio, 'g', 6) : QString(); }},
    {"tie_count", true, [](const RowContext&, const MessageRow& r) { return number(r.ties); }},
    {"db_page", true,
     [](const RowContext&, const MessageRow& r) { return r.hasPageNumber ? number(r.pageNumber) : QString(); }},
    {"offset", true, [](const RowContext&, const MessageRow&) { return QString(); }},
    {"source_file", false,
     [](const RowContext&, const MessageRow& r) {
         if (!r.hasWalFrame) return QString();
         return r.walFrame > 0 ? QStringLiteral("MM.sqlite-wal") : QStringLiteral("MM.sqlite");
     }},
    {"wal_frame", true,
     [](const RowContext&, const MessageRow& r) { return r.hasWalFrame && r.walFrame > 0 ? number(r.walFrame) : QString(); }},
    {"rc_chat_id", true, [](const RowContext&, const MessageRow& r) { return number(r.rcChatId); }},
    {"mes_local_id", true,
     [](const RowContext&, const MessageRow& r) { return r.obtainWay == 1 ? number(r.mesLocalId) : QString(); }},
    // A 64-bit server id does not fit a JSON number exactly (readers take doubles): text.
    {"mes_svr_id", false,
     [](const RowContext&, const MessageRow& r) { return r.hasMesSvrId ? number(r.mesSvrId) : QString(); }},
};

// Messages in time order with the tie of the highest ratio (SQLite takes the bare
// columns of a max() aggregate from the row holding the maximum).
const char* const kMessagesFromSql =
    "FROM WC_Chat AS C LEFT JOIN (SELECT rcChatId, rcFriendId, deduceType, max(ratio) AS ratio, "
    "count(*) AS ties FROM WC_Chatroom GROUP BY rcChatId) AS R ON R.rcChatId = C.rcChatId "
    "ORDER BY C.createTime, C.rcChatId;";

// Stores kept before carved rows recorded their write-ahead log frame lack the
// column: NULL stands in for it.
QByteArray messagesSql(bool hasWalFrame) {
    return QByteArray(
               "SELECT C.rcChatId, C.obtainWay, C.pageNumber, C.taggedUserName, C.fromUserName, C.mesLocalId, "
               "C.mesSvrId, C.createTime, C.message, C.type, C.des, R.rcFriendId, R.deduceType, R.ratio, R.ties, ") +
           (hasWalFrame ? "C.walFrame " : "NULL ") + kMessagesFromSql;
}

bool hasColumn(sqlite3* store, const char* table, const char* column) {
    sqlite3_stmt* statement = nullptr;
    bool found = false;
    if (sqlite3_prepare_v2(store, "SELECT 1 FROM pragma_table_info(?) WHERE name = ?;", -1, &statement, nullptr) ==
        SQLITE_OK) {
        sqlite3_bind_text(statement, 1, table, -1, SQLITE_STATIC);
        sqlite3_bind_text(statement, 2, column, -1, SQLITE_STATIC);
        found = sqlite3_step(statement) == SQLITE_ROW;
    }
    sqlite3_finalize(statement);
    return found;
}

QString columnText(sqlite3_stmt* statement, int column) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    const int bytes = sqlite3_column_bytes(statement, column);
    return text == nullptr ? QString() : QString::fromUtf8(text, bytes);
}

bool isNull(sqlite3_stmt* statement, int column) { return sqlite3_column_type(statement, column) == SQLITE_NULL; }

void readRow(sqlite3_stmt* s, MessageRow* row) {
    *row = MessageRow();
    row->rcChatId = sqlite3_column_int64(s, 0);
    row->obtainWay = sqlite3_column_int(s, 1);
    row->hasPageNumber = !isNull(s, 2);
    row->pageNumber = sqlite3_column_int64(s, 2);
    row->taggedUserName = columnText(s, 3);
    row->fromUserName = columnText(s, 4);
    row->mesLocalId = sqlite3_column_int64(s, 5);
    row->hasMesSvrId = !isNull(s, 6);
    row->mesSvrId = sqlite3_column_int64(s, 6);
    row->createTime = sqlite3_column_int64(s, 7);
    row->message = columnText(s, 8);
    row->type = sqlite3_column_int(s, 9);
    row->des = sqlite3_column_int(s, 10);
    row->tied = !isNull(s, 11);
    row->rcFriendId = sqlite3_column_int64(s, 11);
    row->deduceType = sqlite3_column_int(s, 12);
    row->ratio = sqlite3_column_double(s, 13);
    row->ties = sqlite3_column_int(s, 14);
    row->hasWalFrame = !isNull(s, 15);
    row->walFrame = sqlite3_column_int64(s, 15);
}

QJsonValue jsonValue(const MessageColumn& column, const QString& value) {
    if (column.numeric) {
        if (value.isEmpty()) return QJsonValue();
        bool ok = false;
        const qint64 whole = value.toLongLong(&ok);
        constexpr qint64 kExactInDouble = qint64(1) << 53;
        if (ok && (whole > kExactInDouble || whole < -kExactInDouble)) return value;  // kept exact as text
        return ok ? QJsonValue(whole) : QJsonValue(value.toDouble());
    }
    return value;
}

QString contactFoundBy(int obtainWay) {
    switch (obtainWay) {
        case 1: return QStringLiteral("live row");
        case 2: return QStringLiteral("carved from database pages");
        case 101: return QStringLiteral("made up for a conversation whose contact is gone");
        default: return QString::number(obtainWay);
    }
}

}  // namespace

QStringList messageColumnNames() {
    QStringList names;
    for (const MessageColumn& column : kMessageColumns) names << QLatin1String(column.name);
    return names;
}

MachineExportOutcome writeMachineExport(sqlite3* store, const QString& exportDir, const MachineExportContext& context) {
    MachineExportOutcome outcome;
    RowContext rows{context, {}, {}, {}};
    if (context.pages != nullptr) {
        for (const ExportedConversation& page : *context.pages) {
            (page.contact ? rows.contactPages : rows.lostPages)[page.id] = &page;
        }
    }
    if (context.friendMap != nullptr) {
        for (const auto& item : *context.friendMap) rows.byUsrName.emplace(item.second.usrName, &item.second);
    }

    // Written under temporary names and renamed on success, so a file is never half there.
    QSaveFile csvFile(exportDir + QStringLiteral("/") + QLatin1String(kMessagesCsvName));
    QSaveFile jsonFile(exportDir + QStringLiteral("/") + QLatin1String(kMessagesJsonlName));
    if (!csvFile.open(QIODevice::WriteOnly)) {
        outcome.failedFile = csvFile.fileName();
        return outcome;
    }
    if (!jsonFile.open(QIODevice::WriteOnly)) {
        outcome.failedFile = jsonFile.fileName();
        return outcome;
    }
    CsvWriter csv(&csvFile);
    csv.writeRow(messageColumnNames());
    bool jsonOk = true;

    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(store, messagesSql(hasColumn(store, "WC_Chat", "walFrame")).constData(), -1, &statement,
                           nullptr) != SQLITE_OK) {
        sqlite3_finalize(statement);
        outcome.failedFile = csvFile.fileName();
        return outcome;
    }
    MessageRow row;
    QStringList fields;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        readRow(statement, &row);
        fields.clear();
        QJsonObject object;
        for (const MessageColumn& column : kMessageColumns) {
            const QString value = column.value(rows, row);
            fields << value;
            object.insert(QLatin1String(column.name), jsonValue(column, value));
        }
        csv.writeRow(fields);
        QByteArray line = QJsonDocument(object).toJson(QJsonDocument::Compact);
        line += '\n';
        if (jsonOk && jsonFile.write(line) != line.size()) jsonOk = false;
        ++outcome.messages;
    }
    sqlite3_finalize(statement);
    if (rc != SQLITE_DONE || !csv.ok() || !csvFile.commit()) {
        outcome.failedFile = csvFile.fileName();
        return outcome;
    }
    if (!jsonOk || !jsonFile.commit()) {
        outcome.failedFile = jsonFile.fileName();
        return outcome;
    }

    QSaveFile contactsFile(exportDir + QStringLiteral("/") + QLatin1String(kContactsCsvName));
    if (!contactsFile.open(QIODevice::WriteOnly)) {
        outcome.failedFile = contactsFile.fileName();
        return outcome;
    }
    CsvWriter contacts(&contactsFile);
    contacts.writeRow({"rc_friend_id", "user_name", "nick_name", "remark", "category", "found_by", "messages",
                       "deleted_messages", "last_message_utc", "page", "mobile", "sex", "country", "province", "city",
                       "signature"});
    if (context.friendMap != nullptr) {
        for (const auto& item : *context.friendMap) {
            const FriendEntry& f = item.second;
            auto page = rows.contactPages.find(f.rcFriendId);
            const ExportedConversation* exported = page == rows.contactPages.end() ? nullptr : page->second;
            contacts.writeRow({QString::number(f.rcFriendId), f.usrName, f.nickName, f.conRemark,
                               exported ? QString::fromLatin1(categoryKey(exported->category)) : QString(),
                               contactFoundBy(f.obtainWay), QString::number(f.chatNum), QString::number(f.rcChatNum),
                               f.lastChatTime > 0 ? isoUtcText(f.lastChatTime) : QString(),
                               exported ? exported->fileName : QString(), f.mobilePhone,
                               f.sex == 1 ? QStringLiteral("male") : f.sex == 2 ? QStringLiteral("female") : QString(),
                               f.country, f.province, f.city, f.sign});
            ++outcome.contacts;
        }
    }
    if (!contacts.ok() || !contactsFile.commit()) {
        outcome.failedFile = contactsFile.fileName();
        return outcome;
    }
    outcome.ok = true;
    return outcome;
}

}  // namespace app
}  // namespace talwen
