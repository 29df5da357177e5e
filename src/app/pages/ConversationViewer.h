#pragma once

#include <cstdint>

#include <QString>

#include "app/pages/MessageRenderer.h"
#include "app/pages/PageFile.h"

namespace talwen {
namespace app {

class RecoveredData;

// Writes the page of the conversation being viewed to "temp/index.html" under the
// working directory, where the page assets live; the window loads the returned file.
class ConversationViewer {
public:
    explicit ConversationViewer(const QString& workingDir);

    // The current conversation of `data` as the page of contact `rcFriendId`.
    PageFile showConversation(const RecoveredData& data, const RenderContext& context, int32_t rcFriendId) const;
    // The first page of a long conversation: `slice` (the latest messages, see
    // RecoveredData::queryLatestMessages) of contact `rcFriendId`, with the
    // load-earlier link above them when earlier messages exist.
    PageFile showConversationSlice(const RecoveredData& data, const RenderContext& context, int32_t rcFriendId,
                                   const ConversationSlice& slice) const;
    // The script that puts an earlier slice above the messages the view shows and
    // moves the load-earlier link to that slice's oldest message (removes it when
    // nothing is earlier). The view runs it after a navigation to the link
    // (parseEarlierMessagesLink) has been refused and the slice read. The context's
    // pageDir should be viewerPageDir(), where the slice's voice notes go.
    static QString earlierMessagesScript(const RecoveredData& data, const RenderContext& context,
                                         int32_t rcFriendId, const ConversationSlice& slice);
    // One unknown-friend group (an absent page number gives an empty page).
    PageFile showLostConversation(const RecoveredData& data, const RenderContext& context, int32_t pageNumber) const;

    // The directory of the viewer's page: "<working dir>/temp".
    static QString viewerPageDir(const QString& workingDir) { return workingDir + QStringLiteral("/temp"); }

private:
    template <typename Write>
    PageFile writeViewerPage(Write write) const;

    QString workingDir_;
};

}  // namespace app
}  // namespace talwen
