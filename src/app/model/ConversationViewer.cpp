#include "app/model/ConversationViewer.h"

#include <QDir>
#include <QFile>
#include <QTextStream>

#include "app/model/RecoveredData.h"

namespace talwen {
namespace app {

ConversationViewer::ConversationViewer(const QString& workingDir) : workingDir_(workingDir) {}

template <typename Write>
PageFile ConversationViewer::writeViewerPage(Write write) const {
    PageFile page;
    const QString tempDir = workingDir_ + QStringLiteral("/temp");
    if (!QDir().mkpath(tempDir)) {
        return page;  // the viewer keeps what it shows
    }
    page.path = tempDir + QStringLiteral("/index.html");
    QFile file(page.path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        page.errorTitle = QString::fromUtf8(kPageErrorTitle);
        page.errorText = QString::fromUtf8(kPageErrorText);
        return page;
    }
    QTextStream out(&file);
    out.setCodec("utf8");
    write(out);
    out.flush();
    file.close();
    page.written = out.status() == QTextStream::Ok && file.error() == QFileDevice::NoError;
    return page;
}

PageFile ConversationViewer::showConversation(const RecoveredData& data, const RenderContext& context,
                                              int32_t rcFriendId) const {
    const FriendEntry contact = data.friendEntry(rcFriendId);
    return writeViewerPage([&](QTextStream& out) {
        RenderContext viewerContext = context;
        viewerContext.exportDir.clear();
        MessageRenderer(viewerContext).writeContactPage(out, contact, data.currentConversation());
    });
}

PageFile ConversationViewer::showLostConversation(const RecoveredData& data, const RenderContext& context,
                                                  int32_t pageNumber) const {
    static const std::vector<LostChatEntry> kEmptyGroup;
    auto it = data.unknownFriendGroups().find(pageNumber);
    const std::vector<LostChatEntry>& group = it == data.unknownFriendGroups().end() ? kEmptyGroup : it->second;
    return writeViewerPage([&](QTextStream& out) {
        RenderContext viewerContext = context;
        viewerContext.exportDir.clear();
        MessageRenderer(viewerContext).writeLostPage(out, group);
    });
}

}  // namespace app
}  // namespace talwen
