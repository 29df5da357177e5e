#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include <QString>

#include "app/store/FriendEntry.h"
#include "app/store/FriendCategory.h"
#include "app/store/LostChatEntry.h"

namespace talwen {
namespace app {

class RecoveredData;

// The shown name of a contact row: nickName, or usrName when it is empty, with
// white space simplified (eliding to the row width is the widget's job).
QString friendRowName(const FriendEntry& entry);
// chatNum, or "chatNum(rcChatNum)" when recovered messages exist.
QString friendCountText(const FriendEntry& entry);
// nickName, or nickName + "(" + conRemark + ")" when a remark exists.
QString searchRowName(const FriendEntry& entry);
// "未知好友" + pageNumber.
QString unknownFriendName(int32_t pageNumber);

// The search placeholder text of the search field.
extern const char* const kSearchPlaceholder;

// Matches of a search over the display list in the order the result table shows
// them (the last match found first), at most 11. Empty for the placeholder or an
// empty text.
std::vector<FriendEntry> searchFriends(const std::vector<FriendEntry>& displayList, const QString& text);

// One row the result browser adds to one of its tables.
struct BrowserRow {
    bool unknownFriend = false;
    FriendCategory category = FriendCategory::Friend;
    bool withRecordsTable = false;  // the category's "with records" table, else "all entries"
    int rowIndex = 0;
    bool alternate = false;  // alternating background: rowIndex % 2
    FriendEntry entry;       // contact rows
    int32_t pageNumber = 0;  // unknown-friend rows
    QString name;
    QString timeText;
    QString countText;
    QString picture;  // built-in picture for groups, empty: the contact's cached picture
};

// The window-free state of the result browser: which entries its tables hold, the
// incremental fill (32 rows per tick), and the header sorting. Not thread-safe.
class ResultBrowserModel {
public:
    static constexpr int kBatchSize = 32;
    static constexpr int kRowHeight = 36;

    // Forgets every table and points both fill cursors at the start of the lists
    // of `data`, which must outlive the fill. The caller adds the first batch at once.
    void begin(const RecoveredData* data);
    // Adds the next batch: up to 32 display-list entries, or once those are all
    // added, up to 32 unknown-friend groups. Returns the rows added.
    std::vector<BrowserRow> timerGetAllFriends();
    // True when both sources are exhausted (the fill timer stops).
    bool fillFinished() const;

    // The rows of one contact: its category's all-entries row, plus a with-records
    // row when chatNum is at least 1.
    std::vector<BrowserRow> addFriendRow(const FriendEntry& entry);
    // One unknown-friend row; none when count is below 1 or created is empty.
    std::vector<BrowserRow> addUnknownFriendRow(int32_t pageNumber, int count, const QString& created);

    // The first friend with messages, which becomes the viewed contact; 0 before one is added.
    int32_t firstViewedFriend() const { return firstViewedFriend_; }

    const std::vector<FriendEntry>& tableEntries(FriendCategory category, bool withRecords) const;
    int unknownFriendRows() const { return unknownRows_; }

    // Sorts the list behind a table by the clicked header label ("好友" fullPY,
    // "最后日期" lastChatText, "总数" chatNum) and returns the entries in the order
    // the rows now show them: largest first on the label's first click, reversed on
    // every further click. Empty (nothing changes) for fewer than two entries or
    // an unknown label.
    std::vector<FriendEntry> orderItems(FriendCategory category, bool withRecords, const QString& label);

private:
    std::vector<FriendEntry>& table(FriendCategory category, bool withRecords);

    const RecoveredData* data_ = nullptr;
    size_t displayCursor_ = 0;
    std::map<int32_t, std::vector<LostChatEntry>>::const_iterator groupCursor_;
    std::map<int, std::vector<FriendEntry>> tables_;  // key: category * 2 + withRecords
    int unknownRows_ = 0;
    int32_t firstViewedFriend_ = 0;
    std::map<QString, bool> orderToggles_;
};

}  // namespace app
}  // namespace talwen
