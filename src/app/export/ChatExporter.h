#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include <QString>

#include "app/store/ChatEntry.h"
#include "app/export/ExportFileNames.h"
#include "app/export/ExportedConversation.h"
#include "app/store/FriendEntry.h"
#include "app/store/LostChatEntry.h"
#include "app/pages/MessageRenderer.h"
#include "app/pages/PageFile.h"

struct sqlite3;

namespace talwen {
namespace app {

class RecoveredData;

// One conversation of an export set: a contact (rcFriendId) or an unknown-friend
// group (pageNumber).
struct ExportItem {
    enum class Kind { Contact, UnknownFriend };
    Kind kind = Kind::Contact;
    int32_t id = 0;
};

// One progress report of an export: the label text, the conversations done, the
// total, whether the export has ended, and the outcome of the page just written.
struct ExportProgress {
    QString text;
    int done = 0;
    int total = 0;
    bool finished = false;
    bool cancelled = false;  // the export stopped on request before its last page
    PageFile page;
};

// Writes conversations as a static site below "<chosen directory>/微信聊天记录恢复":
// the page assets, one page per conversation and copies of pictures and voice notes.
// The exporter keeps its own copies of the contacts and unknown-friend groups, so
// it may run on a worker thread while the window's lists change; the store
// connection must stay open until the export returns (SQLite serialises the calls).
class ChatExporter {
public:
    static const char* const kExportDirName;  // "微信聊天记录恢复"

    ChatExporter(sqlite3* store, const RecoveredData& data, const RenderContext& context);

    // Creates the export directory and copies the page assets of workingDir + "/temp"
    // ("css", "images", "js"; plain files, existing ones kept). False when a
    // directory cannot be made or an asset directory is missing.
    bool prepareExportDirectory(const QString& chosenDir, const QString& workingDir);
    const QString& exportDirectory() const { return exportDir_; }

    // The page of a contact for the given messages, media copied into "files". A
    // conversation of more than messagesPerPage messages becomes several pages
    // (ConversationPaging.h) and this page their table.
    PageFile writeContactPage(int32_t rcFriendId, const std::vector<ChatEntry>& conversation,
                              const QString& exportDir);
    // The page of an unknown-friend group, "未知好友" + pageNumber + ".html".
    PageFile writeLostPage(int32_t pageNumber, const QString& exportDir);

    // Writes every conversation of `items` into the prepared export directory, each
    // contact with all of its messages, and reports after each one and once at the end.
    // A cancel request is honoured between pages; the final report says so.
    std::vector<PageFile> exportConversations(const std::vector<ExportItem>& items,
                                              const std::function<void(const ExportProgress&)>& progress);

    // The display list in order, then every unknown-friend group by page number.
    static std::vector<ExportItem> exportAllSet(const RecoveredData& data);
    // "预计剩余时间：" + hh:mm:ss of (total - done) / 5 seconds.
    static QString remainingTimeText(int total, int done);

    // Every page written since prepareExportDirectory, in export order (across calls
    // of exportConversations).
    const std::vector<ExportedConversation>& exported() const { return exported_; }

    // Messages of one page before a conversation is split (at least 1).
    void setMessagesPerPage(int messagesPerPage) { messagesPerPage_ = messagesPerPage < 1 ? 1 : messagesPerPage; }

    // Pauses of the export worker: after each page and before the final report.
    void setPacing(int perPageMilliseconds, int finalMilliseconds);
    // When the flag turns true (any thread), the export ends after the page being
    // written. Not owned, may be null.
    void setCancelFlag(const std::atomic<bool>* flag) { cancelFlag_ = flag; }

private:
    template <typename Write>
    PageFile writePage(const QString& exportDir, const QString& fileName, bool needsFilesDir, Write write);

    void noteContactPage(const FriendEntry& contact, const QString& fileName, const std::vector<ChatEntry>& conversation,
                         const PageFile& page);
    void noteLostPage(int32_t pageNumber, const QString& fileName, const std::vector<LostChatEntry>& group,
                      const PageFile& page);

    sqlite3* store_;
    std::vector<ExportedConversation> exported_;
    std::map<int32_t, FriendEntry> friendMap_;
    std::map<int32_t, std::vector<LostChatEntry>> groups_;
    MediaFileMap mediaFiles_;
    RenderContext context_;
    QString exportDir_;
    ExportFileNames names_;
    int messagesPerPage_ = 1000;  // ConversationPaging::kMessagesPerPage
    int perPageMilliseconds_ = 100;
    int finalMilliseconds_ = 1000;
    const std::atomic<bool>* cancelFlag_ = nullptr;
};

}  // namespace app
}  // namespace talwen
