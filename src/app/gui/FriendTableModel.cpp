#include "app/gui/FriendTableModel.h"

#include <QBrush>
#include <QColor>
#include <QFile>
#include <QIcon>

#include <algorithm>
#include <unordered_set>

namespace talwen {
namespace app {
namespace gui {

void PictureCache::setDirectory(const QString& directory) {
    directory_ = directory;
    pictures_.clear();
}

QPixmap PictureCache::contact(int32_t rcFriendId) {
    auto it = pictures_.find(rcFriendId);
    if (it != pictures_.end()) return it.value();
    QPixmap picture;
    if (!directory_.isEmpty()) {
        const QString path = directory_ + QStringLiteral("/") + QString::number(rcFriendId) + QStringLiteral(".png");
        if (QFile::exists(path)) picture.load(path);
    }
    pictures_.insert(rcFriendId, picture);
    return picture;
}

QPixmap PictureCache::contactOr(int32_t rcFriendId, const QString& fallback) {
    const QPixmap picture = contact(rcFriendId);
    return picture.isNull() ? builtIn(fallback) : picture;
}

QPixmap PictureCache::builtIn(const QString& name) {
    static QHash<QString, QPixmap> loaded;
    auto it = loaded.find(name);
    if (it == loaded.end()) it = loaded.insert(name, QPixmap(name));
    return it.value();
}

void PictureCache::forget(const std::vector<int32_t>& ids) {
    for (int32_t id : ids) pictures_.remove(id);
}

void TickList::setTicked(int32_t id, bool ticked) {
    if (ticked && !order_.contains(id)) order_.insert(id, next_++);
    if (!ticked) order_.remove(id);
}

std::vector<int32_t> TickList::ids() const {
    std::vector<std::pair<quint64, int32_t>> ticks;
    for (auto it = order_.begin(); it != order_.end(); ++it) ticks.emplace_back(it.value(), it.key());
    std::sort(ticks.begin(), ticks.end());
    std::vector<int32_t> ids;
    for (const auto& tick : ticks) ids.push_back(tick.second);
    return ids;
}

FriendTableModel::FriendTableModel(PictureCache* pictures, std::shared_ptr<TickList> ticks, bool checkable,
                                   QObject* parent)
    : QAbstractTableModel(parent), pictures_(pictures), ticks_(std::move(ticks)), checkable_(checkable) {}

int FriendTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int FriendTableModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumnCount; }

int32_t FriendTableModel::rowId(int index) const {
    const BrowserRow& r = row(index);
    return r.unknownFriend ? r.pageNumber : r.entry.rcFriendId;
}

QVariant FriendTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return QVariant();
    const BrowserRow& r = rows_[static_cast<size_t>(index.row())];
    switch (role) {
        case Qt::DisplayRole:
            if (index.column() == kNameColumn) return r.name;
            if (index.column() == kTimeColumn) return r.timeText;
            return r.countText;
        case Qt::ToolTipRole:
            return index.column() == kNameColumn ? QVariant(r.name) : QVariant();
        case Qt::TextAlignmentRole:
            return index.column() == kNameColumn ? QVariant(Qt::AlignLeft | Qt::AlignVCenter)
                                                 : QVariant(Qt::AlignCenter);
        case Qt::CheckStateRole:
            if (!checkable_ || index.column() != kNameColumn) return QVariant();
            return ticks_->isTicked(rowId(index.row())) ? Qt::Checked : Qt::Unchecked;
        case Qt::DecorationRole:
            // An icon, which the view scales to its icon size; a pixmap would be drawn as large as it is.
            if (index.column() != kNameColumn) return QVariant();
            if (r.unknownFriend) return QIcon(PictureCache::builtIn(QStringLiteral(":/res/unknown.png")));
            if (!r.picture.isEmpty()) return QIcon(PictureCache::builtIn(r.picture));
            return QIcon(pictures_->contactOr(r.entry.rcFriendId, QStringLiteral(":/res/unknown.png")));
        case Qt::BackgroundRole:
            return r.alternate ? QVariant(QBrush(QColor(0xf4, 0xf6, 0xf8))) : QVariant();
        case kIdRole:
            return rowId(index.row());
        default:
            return QVariant();
    }
}

bool FriendTableModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!checkable_ || role != Qt::CheckStateRole || !index.isValid() || index.column() != kNameColumn) return false;
    ticks_->setTicked(rowId(index.row()), value.toInt() == Qt::Checked);
    emit dataChanged(index, index, {Qt::CheckStateRole});
    emit tickToggled();
    return true;
}

Qt::ItemFlags FriendTableModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags flags = QAbstractTableModel::flags(index);
    if (checkable_ && index.column() == kNameColumn) flags |= Qt::ItemIsUserCheckable;
    return flags;
}

void FriendTableModel::appendRows(const std::vector<BrowserRow>& rows) {
    if (rows.empty()) return;
    const int first = rowCount();
    beginInsertRows(QModelIndex(), first, first + static_cast<int>(rows.size()) - 1);
    rows_.insert(rows_.end(), rows.begin(), rows.end());
    endInsertRows();
}

void FriendTableModel::rewrite(const std::vector<FriendEntry>& entries) {
    const size_t count = std::min(entries.size(), rows_.size());
    for (size_t i = 0; i < count; ++i) {
        BrowserRow& r = rows_[i];
        r.entry = entries[i];
        r.name = friendRowName(entries[i]);
        r.timeText = entries[i].lastChatText;
        r.countText = friendCountText(entries[i]);
        r.picture = friendCategory(entries[i].usrName) == FriendCategory::Group ? QStringLiteral(":/res/group.jpg")
                                                                                 : QString();
    }
    if (count > 0) emit dataChanged(index(0, 0), index(static_cast<int>(count) - 1, kColumnCount - 1));
}

void FriendTableModel::clear() {
    beginResetModel();
    rows_.clear();
    endResetModel();
}

bool FriendTableModel::allTicked() const {
    if (!checkable_ || rows_.empty()) return false;
    for (int i = 0; i < rowCount(); ++i) {
        if (!ticks_->isTicked(rowId(i))) return false;
    }
    return true;
}

void FriendTableModel::setAllTicked(bool ticked) {
    if (!checkable_) return;
    for (int i = 0; i < rowCount(); ++i) ticks_->setTicked(rowId(i), ticked);
    ticksChanged();
    emit tickToggled();
}

void FriendTableModel::ticksChanged() {
    if (!rows_.empty()) emit dataChanged(index(0, kNameColumn), index(rowCount() - 1, kNameColumn), {Qt::CheckStateRole});
}

void FriendTableModel::picturesChanged(const std::vector<int32_t>& ids) {
    const std::unordered_set<int32_t> changed(ids.begin(), ids.end());
    for (int i = 0; i < rowCount(); ++i) {
        const BrowserRow& r = rows_[static_cast<size_t>(i)];
        if (!r.unknownFriend && changed.count(r.entry.rcFriendId)) {
            emit dataChanged(index(i, kNameColumn), index(i, kNameColumn), {Qt::DecorationRole});
        }
    }
}

}  // namespace gui
}  // namespace app
}  // namespace talwen
