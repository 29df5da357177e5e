#include "app/browser/ResultBrowserModel.h"

#include <algorithm>

#include "app/store/RecoveredData.h"

namespace talwen {
namespace app {

const char* const kSearchPlaceholder = "搜索：联系人，群，公众号";

namespace {

constexpr int kSearchRowLimit = 11;

}  // namespace

QString friendRowName(const FriendEntry& entry) {
    return (entry.nickName.isEmpty() ? entry.usrName : entry.nickName).simplified();
}

QString friendCountText(const FriendEntry& entry) {
    QString text = QString::number(entry.chatNum);
    if (entry.rcChatNum != 0) {
        text += QStringLiteral("(") + QString::number(entry.rcChatNum) + QStringLiteral(")");
    }
    return text;
}

QString searchRowName(const FriendEntry& entry) {
    if (entry.conRemark.isEmpty()) {
        return entry.nickName;
    }
    return entry.nickName + QStringLiteral("(") + entry.conRemark + QStringLiteral(")");
}

QString unknownFriendName(int32_t pageNumber) {
    return QStringLiteral("未知好友") + QString::number(pageNumber);
}

std::vector<FriendEntry> searchFriends(const std::vector<FriendEntry>& displayList, const QString& text) {
    std::vector<FriendEntry> rows;
    if (text.isEmpty() || text == QString::fromUtf8(kSearchPlaceholder)) {
        return rows;
    }
    for (const FriendEntry& entry : displayList) {
        if (entry.nickName.contains(text) || entry.conRemark.contains(text) || entry.fullPY.contains(text)) {
            rows.insert(rows.begin(), entry);  // each match goes on top
            if (static_cast<int>(rows.size()) == kSearchRowLimit) {
                break;
            }
        }
    }
    return rows;
}

void ResultBrowserModel::begin(const RecoveredData* data) {
    data_ = data;
    displayCursor_ = 0;
    groupCursor_ = data_->unknownFriendGroups().begin();
    tables_.clear();
    unknownRows_ = 0;
    firstViewedFriend_ = 0;
    orderToggles_.clear();
}

bool ResultBrowserModel::fillFinished() const {
    return !data_ || (displayCursor_ >= data_->displayList().size() &&
                      groupCursor_ == data_->unknownFriendGroups().end());
}

std::vector<BrowserRow> ResultBrowserModel::timerGetAllFriends() {
    std::vector<BrowserRow> rows;
    if (fillFinished()) {
        return rows;
    }
    const std::vector<FriendEntry>& display = data_->displayList();
    if (displayCursor_ < display.size()) {
        for (int i = 0; i < kBatchSize && displayCursor_ < display.size(); ++i, ++displayCursor_) {
            std::vector<BrowserRow> added = addFriendRow(display[displayCursor_]);
            rows.insert(rows.end(), added.begin(), added.end());
        }
        return rows;
    }
    for (int i = 0; i < kBatchSize && groupCursor_ != data_->unknownFriendGroups().end(); ++i, ++groupCursor_) {
        const std::vector<LostChatEntry>& group = groupCursor_->second;
        const QString created = group.empty() ? QString() : group.front().created;
        std::vector<BrowserRow> added =
            addUnknownFriendRow(groupCursor_->first, static_cast<int>(group.size()), created);
        rows.insert(rows.end(), added.begin(), added.end());
    }
    return rows;
}

std::vector<FriendEntry>& ResultBrowserModel::table(FriendCategory category, bool withRecords) {
    return tables_[static_cast<int>(category) * 2 + (withRecords ? 1 : 0)];
}

const std::vector<FriendEntry>& ResultBrowserModel::tableEntries(FriendCategory category, bool withRecords) const {
    static const std::vector<FriendEntry> kEmpty;
    auto it = tables_.find(static_cast<int>(category) * 2 + (withRecords ? 1 : 0));
    return it == tables_.end() ? kEmpty : it->second;
}

std::vector<BrowserRow> ResultBrowserModel::addFriendRow(const FriendEntry& entry) {
    std::vector<BrowserRow> rows;
    BrowserRow row;
    row.category = friendCategory(entry.usrName);
    row.entry = entry;
    row.name = friendRowName(entry);
    row.timeText = entry.lastChatText;
    row.countText = friendCountText(entry);
    if (row.category == FriendCategory::Group) {
        row.picture = QStringLiteral(":/res/group.jpg");
    }
    for (bool withRecords : {false, true}) {
        if (withRecords && entry.chatNum < 1) {
            break;
        }
        std::vector<FriendEntry>& list = table(row.category, withRecords);
        row.withRecordsTable = withRecords;
        row.rowIndex = static_cast<int>(list.size());
        row.alternate = row.rowIndex % 2 != 0;
        list.push_back(entry);
        rows.push_back(row);
    }
    if (firstViewedFriend_ == 0 && row.category == FriendCategory::Friend && entry.chatNum >= 1) {
        firstViewedFriend_ = entry.rcFriendId;
    }
    return rows;
}

std::vector<BrowserRow> ResultBrowserModel::addUnknownFriendRow(int32_t pageNumber, int count,
                                                                const QString& created) {
    std::vector<BrowserRow> rows;
    if (count < 1 || created.isEmpty()) {
        return rows;
    }
    BrowserRow row;
    row.unknownFriend = true;
    row.pageNumber = pageNumber;
    row.name = unknownFriendName(pageNumber);
    row.timeText = created;
    row.countText = QString::number(count);
    row.rowIndex = unknownRows_++;
    row.alternate = row.rowIndex % 2 != 0;
    rows.push_back(row);
    return rows;
}

std::vector<FriendEntry> ResultBrowserModel::orderItems(FriendCategory category, bool withRecords,
                                                        const QString& label) {
    std::vector<FriendEntry>& list = table(category, withRecords);
    if (list.size() < 2) {
        return {};
    }
    // Text keys compare byte-wise on UTF-8, shorter first on a common prefix.
    if (label == QStringLiteral("好友")) {
        std::stable_sort(list.begin(), list.end(), [](const FriendEntry& a, const FriendEntry& b) {
            return a.fullPY.toUtf8() < b.fullPY.toUtf8();
        });
    } else if (label == QStringLiteral("最后日期")) {
        std::stable_sort(list.begin(), list.end(), [](const FriendEntry& a, const FriendEntry& b) {
            return a.lastChatText.toUtf8() < b.lastChatText.toUtf8();
        });
    } else if (label == QStringLiteral("总数")) {
        std::stable_sort(list.begin(), list.end(),
                         [](const FriendEntry& a, const FriendEntry& b) { return a.chatNum < b.chatNum; });
    } else {
        return {};
    }
    bool& toggle = orderToggles_[label];
    std::vector<FriendEntry> shown(list.begin(), list.end());
    if (!toggle) {
        std::reverse(shown.begin(), shown.end());
    }
    toggle = !toggle;
    return shown;
}

}  // namespace app
}  // namespace talwen
