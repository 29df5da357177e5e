#pragma once

#include <QAbstractTableModel>
#include <QHash>
#include <QPixmap>
#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

#include "app/browser/ResultBrowserModel.h"

namespace talwen {
namespace app {
namespace gui {

// Contact pictures from the picture cache (<cache>/<rcFriendId>.png), with the
// built-in picture when a file is missing or does not load. Loaded on first use,
// so a table of thousands of contacts opens without reading thousands of files.
class PictureCache {
public:
    explicit PictureCache(QString directory = QString()) : directory_(std::move(directory)) {}
    void setDirectory(const QString& directory);
    const QString& directory() const { return directory_; }
    // Null when the contact has no cached picture.
    QPixmap contact(int32_t rcFriendId);
    // The picture of a contact, or `fallback` (a built-in picture name).
    QPixmap contactOr(int32_t rcFriendId, const QString& fallback);
    static QPixmap builtIn(const QString& name);
    void forget(const std::vector<int32_t>& ids);
    void clear() { pictures_.clear(); }

private:
    QString directory_;
    QHash<int32_t, QPixmap> pictures_;
};

// Ticked rows of one category in ticking order (the export order); the two tables
// of a category share it, so a row ticked in one is ticked in the other.
class TickList {
public:
    bool isTicked(int32_t id) const { return order_.contains(id); }
    void setTicked(int32_t id, bool ticked);
    // The ticked ids, earliest tick first.
    std::vector<int32_t> ids() const;
    void clear() { order_.clear(); }

private:
    QHash<int32_t, quint64> order_;  // id -> tick sequence number
    quint64 next_ = 0;
};

// One table of the result browser: contact rows of a category (or unknown-friend
// rows, or search matches) with a check box, picture, name, last date and count.
class FriendTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { kNameColumn = 0, kTimeColumn, kCountColumn, kColumnCount };
    static constexpr int kIdRole = Qt::UserRole + 1;

    FriendTableModel(PictureCache* pictures, std::shared_ptr<TickList> ticks, bool checkable,
                     QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    void appendRows(const std::vector<BrowserRow>& rows);
    // Replaces the rows' contents in place with `entries` in that order (sorting).
    void rewrite(const std::vector<FriendEntry>& entries);
    void clear();
    const BrowserRow& row(int index) const { return rows_.at(static_cast<size_t>(index)); }
    int32_t rowId(int index) const;

    bool allTicked() const;
    void setAllTicked(bool ticked);
    // Another table of the same category changed the ticks.
    void ticksChanged();
    // The cache has new pictures for these contacts.
    void picturesChanged(const std::vector<int32_t>& ids);

signals:
    void tickToggled();

private:
    PictureCache* pictures_;
    std::shared_ptr<TickList> ticks_;
    bool checkable_;
    std::vector<BrowserRow> rows_;
};

}  // namespace gui
}  // namespace app
}  // namespace talwen
