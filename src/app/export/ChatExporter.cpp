#include "app/export/ChatExporter.h"

#include <algorithm>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>
#include <QThread>

#include "app/store/FriendCategory.h"
#include "app/store/PageTime.h"
#include "app/export/ConversationPaging.h"
#include "app/store/RecoveredData.h"
#include "app/store/TimeText.h"

namespace talwen {
namespace app {

const char* const ChatExporter::kExportDirName = "微信聊天记录恢复";

ChatExporter::ChatExporter(sqlite3* store, const RecoveredData& data, const RenderContext& context)
    : store_(store), friendMap_(data.friendMap()), groups_(data.unknownFriendGroups()), context_(context) {
    if (context.mediaFiles) {
        mediaFiles_ = *context.mediaFiles;
    }
    context_.friendMap = &friendMap_;
    context_.mediaFiles = &mediaFiles_;
}

void ChatExporter::setPacing(int perPageMilliseconds, int finalMilliseconds) {
    perPageMilliseconds_ = perPageMilliseconds;
    finalMilliseconds_ = finalMilliseconds;
}

bool ChatExporter::prepareExportDirectory(const QString& chosenDir, const QString& workingDir) {
    names_.reset();
    exported_.clear();
    QDir dir;
    exportDir_ = chosenDir + QStringLiteral("/") + QString::fromUtf8(kExportDirName);
    if (!dir.mkpath(exportDir_)) {
        return false;
    }
    for (const char* name : {"css", "images", "js"}) {
        const QString target = exportDir_ + QStringLiteral("/") + QLatin1String(name);
        if (!dir.mkpath(target)) {
            return false;
        }
        const QDir source(workingDir + QStringLiteral("/temp/") + QLatin1String(name));
        if (!source.exists()) {
            return false;
        }
        for (const QFileInfo& file : source.entryInfoList(QDir::Files | QDir::Hidden)) {
            const QString copy = target + QStringLiteral("/") + file.fileName();
            if (!QFile::exists(copy)) {
                QFile::copy(file.absoluteFilePath(), copy);
            }
        }
    }
    return true;
}

template <typename Write>
PageFile ChatExporter::writePage(const QString& exportDir, const QString& fileName, bool needsFilesDir,
                                 Write write) {
    if (needsFilesDir && !QDir().mkpath(exportDir + QStringLiteral("/files"))) {
        return PageFile();  // skipped without a message
    }
    return writePageFile(exportDir + QStringLiteral("/") + fileName, write);
}

PageFile ChatExporter::writeContactPage(int32_t rcFriendId, const std::vector<ChatEntry>& conversation,
                                        const QString& exportDir) {
    auto it = friendMap_.find(rcFriendId);
    const FriendEntry contact = it == friendMap_.end() ? FriendEntry() : it->second;
    RenderContext context = context_;
    context.exportDir = exportDir;
    const QString fileName = names_.claim(contact.nickName);
    PageFile page;
    if (conversation.size() > static_cast<size_t>(messagesPerPage_)) {
        // One page of a long conversation would not open in a browser.
        if (!QDir().mkpath(exportDir + QStringLiteral("/files"))) return PageFile();
        page = ConversationPaging::write(context, contact, conversation, exportDir, fileName, messagesPerPage_);
    } else {
        page = writePage(exportDir, fileName, true, [&](QTextStream& out) {
            MessageRenderer(context).writeContactPage(out, contact, conversation);
        });
    }
    noteContactPage(contact, fileName, conversation, page);
    return page;
}

void ChatExporter::noteContactPage(const FriendEntry& contact, const QString& fileName,
                                   const std::vector<ChatEntry>& conversation, const PageFile& page) {
    ExportedConversation note;
    note.id = contact.rcFriendId;
    note.fileName = fileName;
    note.name = contact.conRemark.isEmpty() ? contact.nickName : contact.conRemark;
    note.usrName = contact.usrName;
    if (contact.obtainWay == 101 || contact.usrName.isEmpty()) {
        note.category = ExportedConversation::Category::Unknown;  // made up for a conversation whose contact is gone
    } else {
        switch (friendCategory(contact.usrName)) {
            case FriendCategory::Friend: note.category = ExportedConversation::Category::Friend; break;
            case FriendCategory::Group: note.category = ExportedConversation::Category::Group; break;
            case FriendCategory::OfficialAccount: note.category = ExportedConversation::Category::OfficialAccount; break;
        }
    }
    note.written = page.written;
    for (const ChatEntry& entry : conversation) {
        // The messages the page shows: it leaves out those dated before 2010.
        if (yearOfTimeText(formatUtcTime(entry.createTime)) <= 2009) continue;
        ++note.messages;
        if (entry.obtainWay != 1) ++note.deleted;
        note.first = note.hasDates ? std::min(note.first, entry.createTime) : entry.createTime;
        note.last = note.hasDates ? std::max(note.last, entry.createTime) : entry.createTime;
        note.hasDates = true;
    }
    exported_.push_back(note);
}

void ChatExporter::noteLostPage(int32_t pageNumber, const QString& fileName, const std::vector<LostChatEntry>& group,
                                const PageFile& page) {
    ExportedConversation note;
    note.contact = false;
    note.id = pageNumber;
    note.fileName = fileName;
    note.name = QStringLiteral("未知好友") + QString::number(pageNumber);
    note.category = ExportedConversation::Category::Unknown;
    note.written = page.written;
    for (const LostChatEntry& entry : group) {
        ++note.messages;
        if (entry.obtainWay != 1) ++note.deleted;
        int64_t seconds = 0;
        if (!parseLocalTimeText(entry.created, &seconds)) continue;
        note.first = note.hasDates ? std::min(note.first, seconds) : seconds;
        note.last = note.hasDates ? std::max(note.last, seconds) : seconds;
        note.hasDates = true;
    }
    exported_.push_back(note);
}

PageFile ChatExporter::writeLostPage(int32_t pageNumber, const QString& exportDir) {
    static const std::vector<LostChatEntry> kEmptyGroup;
    auto it = groups_.find(pageNumber);
    const std::vector<LostChatEntry>& group = it == groups_.end() ? kEmptyGroup : it->second;
    RenderContext context = context_;
    context.exportDir = exportDir;
    const QString fileName = names_.claim(QStringLiteral("未知好友") + QString::number(pageNumber));
    const PageFile page = writePage(exportDir, fileName, false,
                                    [&](QTextStream& out) { MessageRenderer(context).writeLostPage(out, group); });
    noteLostPage(pageNumber, fileName, group, page);
    return page;
}

std::vector<PageFile> ChatExporter::exportConversations(const std::vector<ExportItem>& items,
                                                        const std::function<void(const ExportProgress&)>& progress) {
    std::vector<PageFile> pages;
    const int total = static_cast<int>(items.size());
    if (total < 1) {
        return pages;
    }
    names_.reset();
    ExportProgress report;
    report.total = total;
    for (const ExportItem& item : items) {
        if (cancelFlag_ != nullptr && cancelFlag_->load()) {
            report.cancelled = true;
            break;
        }
        if (item.kind == ExportItem::Kind::Contact) {
            // An export writes the whole conversation, not only what the viewer shows.
            common::ErrorInfo error;
            const std::vector<ChatEntry> conversation =
                RecoveredData::queryConversation(store_, item.id, 0, &error);
            report.page = writeContactPage(item.id, conversation, exportDir_);
        } else {
            report.page = writeLostPage(item.id, exportDir_);
        }
        pages.push_back(report.page);
        ++report.done;
        if (perPageMilliseconds_ > 0) {
            QThread::msleep(static_cast<unsigned long>(perPageMilliseconds_));
        }
        report.text = remainingTimeText(total, report.done);
        if (progress) {
            progress(report);
        }
    }
    if (finalMilliseconds_ > 0 && !report.cancelled) {
        QThread::msleep(static_cast<unsigned long>(finalMilliseconds_));
    }
    report.finished = true;
    report.page = PageFile();
    if (progress) {
        progress(report);
    }
    return pages;
}

std::vector<ExportItem> ChatExporter::exportAllSet(const RecoveredData& data) {
    std::vector<ExportItem> items;
    for (const FriendEntry& entry : data.displayList()) {
        items.push_back({ExportItem::Kind::Contact, entry.rcFriendId});
    }
    for (const auto& group : data.unknownFriendGroups()) {
        items.push_back({ExportItem::Kind::UnknownFriend, group.first});
    }
    return items;
}

const char* categoryKey(ExportedConversation::Category category) {
    switch (category) {
        case ExportedConversation::Category::Friend: return "friend";
        case ExportedConversation::Category::Group: return "group";
        case ExportedConversation::Category::OfficialAccount: return "official";
        case ExportedConversation::Category::Unknown: break;
    }
    return "unknown";
}

QString categoryText(ExportedConversation::Category category) {
    switch (category) {
        case ExportedConversation::Category::Friend: return QStringLiteral("好友");
        case ExportedConversation::Category::Group: return QStringLiteral("群聊");
        case ExportedConversation::Category::OfficialAccount: return QStringLiteral("公众号");
        case ExportedConversation::Category::Unknown: break;
    }
    return QStringLiteral("未知");
}

QString ChatExporter::remainingTimeText(int total, int done) {
    const int seconds = (total - done) / 5;
    // The clock part of a date-time that many seconds after the epoch.
    const int clock = ((seconds % 86400) + 86400) % 86400;
    return QStringLiteral("预计剩余时间：") + QStringLiteral("%1:%2:%3")
                                              .arg(clock / 3600, 2, 10, QChar('0'))
                                              .arg(clock / 60 % 60, 2, 10, QChar('0'))
                                              .arg(clock % 60, 2, 10, QChar('0'));
}

}  // namespace app
}  // namespace talwen
