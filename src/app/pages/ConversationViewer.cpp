#include "app/pages/ConversationViewer.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTextStream>

#include "app/store/RecoveredData.h"

namespace talwen {
namespace app {

ConversationViewer::ConversationViewer(const QString& workingDir) : workingDir_(workingDir) {}

template <typename Write>
PageFile ConversationViewer::writeViewerPage(Write write) const {
    const QString tempDir = workingDir_ + QStringLiteral("/temp");
    if (!QDir().mkpath(tempDir)) {
        return PageFile();  // the viewer keeps what it shows
    }
    return writePageFile(tempDir + QStringLiteral("/index.html"), write);
}

PageFile ConversationViewer::showConversation(const RecoveredData& data, const RenderContext& context,
                                              int32_t rcFriendId) const {
    const FriendEntry contact = data.friendEntry(rcFriendId);
    return writeViewerPage([&](QTextStream& out) {
        RenderContext viewerContext = context;
        viewerContext.exportDir.clear();
        viewerContext.pageDir = viewerPageDir(workingDir_);
        MessageRenderer(viewerContext).writeContactPage(out, contact, data.currentConversation());
    });
}

PageFile ConversationViewer::showConversationSlice(const RecoveredData& data, const RenderContext& context,
                                                   int32_t rcFriendId, const ConversationSlice& slice) const {
    const FriendEntry contact = data.friendEntry(rcFriendId);
    return writeViewerPage([&](QTextStream& out) {
        RenderContext viewerContext = context;
        viewerContext.exportDir.clear();
        viewerContext.pageDir = viewerPageDir(workingDir_);
        MessageRenderer(viewerContext).writeContactSlicePage(out, contact, slice);
    });
}

QString ConversationViewer::earlierMessagesScript(const RecoveredData& data, const RenderContext& context,
                                                  int32_t rcFriendId, const ConversationSlice& slice) {
    RenderContext viewerContext = context;
    viewerContext.exportDir.clear();
    QString html;
    QTextStream out(&html);
    MessageRenderer(viewerContext).writeContactMessages(out, data.friendEntry(rcFriendId), slice);
    out.flush();
    const QJsonArray arguments{html, slice.hasEarlier ? QJsonValue(earlierMessagesLink(slice.first))
                                                      : QJsonValue(QJsonValue::Null)};
    QString json = QString::fromUtf8(QJsonDocument(arguments).toJson(QJsonDocument::Compact));
    // Line and paragraph separators end a line in older script engines.
    json.replace(QChar(0x2028), QStringLiteral("\\u2028")).replace(QChar(0x2029), QStringLiteral("\\u2029"));
    return QStringLiteral("wcrPrependEarlier.apply(null, ") + json + QStringLiteral(");");
}

PageFile ConversationViewer::showLostConversation(const RecoveredData& data, const RenderContext& context,
                                                  int32_t pageNumber) const {
    static const std::vector<LostChatEntry> kEmptyGroup;
    auto it = data.unknownFriendGroups().find(pageNumber);
    const std::vector<LostChatEntry>& group = it == data.unknownFriendGroups().end() ? kEmptyGroup : it->second;
    return writeViewerPage([&](QTextStream& out) {
        RenderContext viewerContext = context;
        viewerContext.exportDir.clear();
        viewerContext.pageDir = viewerPageDir(workingDir_);
        MessageRenderer(viewerContext).writeLostPage(out, group);
    });
}

}  // namespace app
}  // namespace talwen
