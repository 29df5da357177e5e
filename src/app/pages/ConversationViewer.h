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
    // One unknown-friend group (an absent page number gives an empty page).
    PageFile showLostConversation(const RecoveredData& data, const RenderContext& context, int32_t pageNumber) const;

private:
    template <typename Write>
    PageFile writeViewerPage(Write write) const;

    QString workingDir_;
};

}  // namespace app
}  // namespace talwen
