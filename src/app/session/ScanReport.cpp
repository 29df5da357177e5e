#include "app/session/ScanReport.h"

#include <sqlite3.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QTextStream>

#include "app/pages/HtmlText.h"
#include "app/store/FriendCategory.h"
#include "app/store/PageTime.h"
#include "app/store/TieName.h"
#include "app/store/RecoveredData.h"

namespace talwen {
namespace app {

const char* const kReportJsonName = "report.json";
const char* const kReportHtmlName = "report.html";

namespace {

QJsonValue textOrNull(const QString& text) { return text.isEmpty() ? QJsonValue() : QJsonValue(text); }

QJsonValue timeOrNull(const QDateTime& time) {
    return time.isValid() ? QJsonValue(isoUtcText(time.toSecsSinceEpoch())) : QJsonValue();
}

QJsonObject digestJson(const FileDigest& digest) {
    if (!digest.ok) return QJsonObject{{"size", QJsonValue()}, {"sha256", QJsonValue()}};
    return QJsonObject{{"size", digest.size}, {"sha256", digest.sha256}};
}

QString timeText(const QDateTime& time, bool utc) {
    if (!time.isValid()) return QStringLiteral("—");
    const int64_t seconds = time.toSecsSinceEpoch();
    return pageTimeText(seconds, utc) + QStringLiteral(" (") + zoneNote({pageUtcOffset(seconds, utc)}, utc) +
           QStringLiteral(")");
}

QString digestText(const FileDigest& digest) {
    return digest.ok ? digest.sha256 : QStringLiteral("—");
}

void row(QTextStream& out, const QString& term, const QString& value, const char* cls = nullptr) {
    out << "<tr><th>" << escapeHtmlText(term) << "</th><td" << (cls ? QStringLiteral(" class=\"%1\"").arg(QLatin1String(cls)) : QString())
        << ">" << escapeHtmlText(value) << "</td></tr>\n";
}

}  // namespace

void ScanReport::countFrom(sqlite3* store, const wchat::StoreSummary& summary, const RecoveredData& data) {
    hasCounts = true;
    counts = summary;
    plausibilityRejections = summary.rejectedChats;
    friendConversations = groupConversations = officialConversations = unknownConversations = 0;
    for (const FriendEntry& entry : data.friendList()) {
        if (entry.obtainWay == 101 || entry.usrName.isEmpty()) {
            ++unknownConversations;
            continue;
        }
        switch (friendCategory(entry.usrName)) {
            case FriendCategory::Friend: ++friendConversations; break;
            case FriendCategory::Group: ++groupConversations; break;
            case FriendCategory::OfficialAccount: ++officialConversations; break;
        }
    }
    unknownConversations += static_cast<int64_t>(data.unknownFriendGroups().size());
    recoveredDeletedMessages = data.recoveredCount();
    tiesByDeduceType.clear();
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(store, "SELECT deduceType, count(DISTINCT rcChatId) FROM WC_Chatroom GROUP BY deduceType;",
                           -1, &statement, nullptr) == SQLITE_OK) {
        while (sqlite3_step(statement) == SQLITE_ROW) {
            tiesByDeduceType[sqlite3_column_int(statement, 0)] = sqlite3_column_int64(statement, 1);
        }
    }
    sqlite3_finalize(statement);
}

bool ScanReport::sourceUnchanged() const {
    return before.ok && after.ok && before.size == after.size && before.sha256 == after.sha256;
}

QJsonObject ScanReport::toJson() const {
    QJsonObject root;
    root["tool"] = QJsonObject{{"name", "wchat-recover"}, {"version", toolVersion}};
    root["started"] = timeOrNull(started);
    root["finished"] = timeOrNull(finished);
    QJsonObject sourceJson{{"chosen", textOrNull(source)},
                           {"databaseFile", textOrNull(sourceFile)},
                           {"before", digestJson(before)},
                           {"after", digestJson(after)},
                           {"unchanged", sourceFile.isEmpty() ? QJsonValue() : QJsonValue(sourceUnchanged())}};
    root["source"] = sourceJson;
    QJsonObject copyJson = digestJson(workingCopyDigest);
    copyJson["path"] = textOrNull(workingCopy);
    root["workingCopy"] = copyJson;
    root["keptStore"] = textOrNull(keptStore);
    if (hasCounts) {
        root["conversations"] = QJsonObject{{"friends", qint64(friendConversations)},
                                            {"groups", qint64(groupConversations)},
                                            {"officialAccounts", qint64(officialConversations)},
                                            {"unknown", qint64(unknownConversations)}};
        QJsonObject ties;
        for (const auto& [type, count] : tiesByDeduceType) ties[tieName(type)] = qint64(count);
        root["recovery"] = QJsonObject{
            {"contacts", QJsonObject{{"liveRow", qint64(counts.liveFriends)},
                                     {"carved", qint64(counts.carvedFriends)},
                                     {"madeUp", qint64(counts.madeUpFriends)}}},
            {"messages", QJsonObject{{"liveRow", qint64(counts.liveChats)}, {"carved", qint64(counts.carvedChats)}}},
            {"recoveredDeletedMessagesShown", qint64(recoveredDeletedMessages)},
            {"messagesByConversationTie", ties}};
    }
    root["rejections"] = QJsonObject{{"plausibility", qint64(plausibilityRejections)}};
    QJsonObject settingsJson;
    for (const auto& [name, value] : settings) settingsJson[name] = value;
    root["settings"] = settingsJson;
    return root;
}

QString ScanReport::toHtml(bool utc) const {
    QString html;
    QTextStream out(&html);
    out << QString::fromUtf8("<!DOCTYPE html>\n<html lang=\"zh\">\n<head>\n<meta charset=\"utf-8\">\n<title>扫描报告</title>\n")
        << QString::fromUtf8("<link href=\"css/index.css\" rel=\"stylesheet\">\n</head>\n<body>\n<h1>扫描报告</h1>\n")
        << QString::fromUtf8("<p><a href=\"index.html\">返回会话列表</a> · <a href=\"report.json\">report.json</a></p>\n");
    out << QString::fromUtf8("<h2>工具与时间</h2>\n<table class=\"index-table report\">\n");
    row(out, QStringLiteral("工具"), QStringLiteral("wchat-recover ") + toolVersion);
    row(out, QStringLiteral("开始"), timeText(started, utc));
    row(out, QStringLiteral("结束"), timeText(finished, utc));
    out << QString::fromUtf8("</table>\n<h2>来源</h2>\n<table class=\"index-table report\">\n");
    row(out, QStringLiteral("所选来源"), source.isEmpty() ? QStringLiteral("—") : source);
    row(out, QStringLiteral("数据库文件"), sourceFile.isEmpty() ? QStringLiteral("—") : sourceFile);
    row(out, QStringLiteral("扫描前大小（字节）"), before.ok ? QString::number(before.size) : QStringLiteral("—"));
    row(out, QStringLiteral("扫描前 SHA-256"), digestText(before), "hash");
    row(out, QStringLiteral("扫描后大小（字节）"), after.ok ? QString::number(after.size) : QStringLiteral("—"));
    row(out, QStringLiteral("扫描后 SHA-256"), digestText(after), "hash");
    if (!sourceFile.isEmpty()) {
        row(out, QStringLiteral("来源未被改动"), sourceUnchanged() ? QStringLiteral("是（扫描前后哈希相同）")
                                                                 : QStringLiteral("否：扫描前后哈希不同或无法读取"));
    }
    row(out, QStringLiteral("工作副本"), workingCopy.isEmpty() ? QStringLiteral("—") : workingCopy);
    row(out, QStringLiteral("工作副本 SHA-256"), digestText(workingCopyDigest), "hash");
    if (!keptStore.isEmpty()) row(out, QStringLiteral("恢复库文件"), keptStore);
    out << "</table>\n";
    if (hasCounts) {
        out << QString::fromUtf8("<h2>会话</h2>\n<table class=\"index-table report\">\n");
        row(out, QStringLiteral("好友"), QString::number(friendConversations));
        row(out, QStringLiteral("群聊"), QString::number(groupConversations));
        row(out, QStringLiteral("公众号"), QString::number(officialConversations));
        row(out, QStringLiteral("未知"), QString::number(unknownConversations));
        out << QString::fromUtf8("</table>\n<h2>恢复方式</h2>\n<table class=\"index-table report\">\n");
        row(out, QStringLiteral("联系人：未删除的行"), QString::number(counts.liveFriends));
        row(out, QStringLiteral("联系人：从数据库页中恢复"), QString::number(counts.carvedFriends));
        row(out, QStringLiteral("联系人：为无主会话补建"), QString::number(counts.madeUpFriends));
        row(out, QStringLiteral("消息：未删除的行"), QString::number(counts.liveChats));
        row(out, QStringLiteral("消息：从数据库页中恢复"), QString::number(counts.carvedChats));
        for (const auto& [type, count] : tiesByDeduceType) {
            row(out, QStringLiteral("会话归属：") + tieName(type), QString::number(count));
        }
        out << "</table>\n";
    }
    out << QString::fromUtf8("<h2>排除</h2>\n<table class=\"index-table report\">\n");
    row(out, QStringLiteral("不合理而排除的恢复记录"), QString::number(plausibilityRejections));
    out << QString::fromUtf8("</table>\n<h2>设置</h2>\n<table class=\"index-table report\">\n");
    for (const auto& [name, value] : settings) row(out, name, value.isEmpty() ? QStringLiteral("—") : value);
    out << "</table>\n</body>\n</html>\n";
    out.flush();
    return html;
}

bool writeScanReport(const QString& exportDir, const ScanReport& report, bool utc) {
    QSaveFile json(exportDir + QStringLiteral("/") + QLatin1String(kReportJsonName));
    if (!json.open(QIODevice::WriteOnly)) return false;
    json.write(QJsonDocument(report.toJson()).toJson(QJsonDocument::Indented));
    if (!json.commit()) return false;
    QSaveFile html(exportDir + QStringLiteral("/") + QLatin1String(kReportHtmlName));
    if (!html.open(QIODevice::WriteOnly)) return false;
    html.write(report.toHtml(utc).toUtf8());
    return html.commit();
}

}  // namespace app
}  // namespace talwen
