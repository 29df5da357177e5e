#pragma once

#include <cstdint>
#include <vector>

#include <QString>

#include "app/pages/MessageRenderer.h"
#include "app/pages/PageFile.h"
#include "app/store/ChatEntry.h"
#include "app/store/FriendEntry.h"

namespace talwen {
namespace app {

// A long conversation exported as several pages, so that each opens at once in a
// browser whatever the conversation's length:
//   <name>.html              the table of pages (dates, message and deleted counts),
//                            newest and oldest, a jump to a date and a search of the
//                            conversation's texts
//   <name>_pages/0001.html   the oldest messages, ... the newest last; numbered from
//                            the oldest, so a later export of a grown conversation
//                            keeps the earlier pages' names
//   <name>_pages/search.js   the texts for the search, loaded on the first search
// Pages refer to the export root's assets through <base href="../">; every message
// is preceded by an anchor "m<rcChatId>" carrying its time and whether it was
// deleted, which the jump and the search use (js/paging.js).
class ConversationPaging {
public:
    static constexpr int kMessagesPerPage = 1000;

    // One page: its messages conversation[first, first + count).
    struct Range {
        size_t first = 0;
        size_t count = 0;
        int64_t firstTime = 0;
        int64_t lastTime = 0;
        int deleted = 0;  // messages recovered from freed space
    };

    // Consecutive runs of messagesPerPage messages (at least 1), oldest first.
    static std::vector<Range> split(const std::vector<ChatEntry>& conversation, int messagesPerPage);
    // "<name>_pages" for the page file "<name>.html".
    static QString pagesDirName(const QString& fileName);
    // "0001.html": pages count from 1.
    static QString pageFileName(size_t pageIndex);

    // `context` is the export's (exportDir set). Writes the pages and the table of
    // pages as exportDir + "/" + fileName, whose outcome is returned; a page that
    // cannot be written makes the outcome fail with the usual texts.
    static PageFile write(const RenderContext& context, const FriendEntry& contact,
                          const std::vector<ChatEntry>& conversation, const QString& exportDir,
                          const QString& fileName, int messagesPerPage);
};

}  // namespace app
}  // namespace talwen
