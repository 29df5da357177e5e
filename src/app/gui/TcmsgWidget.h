#pragma once

#include <QWidget>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "app/browser/ResultBrowserModel.h"
#include "app/export/ChatExporter.h"
#include "app/gui/FriendTableModel.h"

class QButtonGroup;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QTableView;

namespace talwen {
namespace app {

class RecoveredData;

namespace gui {

class PageView;

// The header above a table: select-all box and the sort labels.
class TcmsgTableHeader : public QWidget {
    Q_OBJECT
public:
    explicit TcmsgTableHeader(QWidget* parent);
    QCheckBox* selectAll() const { return selectAll_; }
    void setSortable(bool sortable);

signals:
    void labelClicked(const QString& label);

private:
    QCheckBox* selectAll_;
    std::vector<QPushButton*> labels_;
};

// The contact detail panel.
class TcmsgWidgetDetail : public QWidget {
    Q_OBJECT
public:
    explicit TcmsgWidgetDetail(QWidget* parent);
    void showContact(const FriendEntry& entry, const QPixmap& picture);
    void showUnknownFriend(int32_t pageNumber);
    void setPicture(const QPixmap& picture);
    void clear();
    // The texts shown, hidden lines left out (for the tests).
    QStringList shownTexts() const;

private:
    QLabel* picture_;
    QLabel* remark_;
    QLabel* name_;
    QLabel* sex_;
    QLabel* sign_;
    QLabel* region_;
};

// The result browser: owner area, four tabs with their tables, the hide-empty
// box, search, the detail panel and the conversation view. Rows are model/view
// tables, so tens of thousands of contacts are listed at once.
class TcmsgWidget : public QWidget {
    Q_OBJECT
public:
    enum Tab { kFriendsTab = 0, kGroupsTab, kOfficialTab, kUnknownTab };

    TcmsgWidget(PageView* pageView, const QString& pictureDir, QWidget* parent);

    void setOwner(const QPixmap& picture, const QString& nickName, const QString& signature);
    void setOwnerVisible(bool visible);
    // While a scan runs only the owner is shown; the lists come with the result.
    void setScanning(bool scanning);
    void setOwnerPicture(const QPixmap& picture);

    // Lists every row of `data` (which must outlive the browser's use of it).
    void fill(const RecoveredData* data);
    void clear();

    // The conversations ticked, in export order: friends, groups, official accounts, unknown friends.
    std::vector<ExportItem> checkedItems() const;

    TcmsgWidgetDetail* detail() const { return detail_; }
    PageView* pageView() const { return pageView_; }
    QTableView* tableView() const { return table_; }
    QTableView* searchView() const { return searchTable_; }
    QLineEdit* searchField() const { return search_; }
    QCheckBox* hideEmptyBox() const { return hideEmpty_; }
    TcmsgTableHeader* header() const { return header_; }
    QPushButton* exportButton() const { return export_; }
    FriendTableModel* visibleModel() const;
    FriendTableModel* model(FriendCategory category, bool withRecords) const;
    FriendTableModel* unknownModel() const { return unknown_; }
    FriendTableModel* searchModel() const { return search_model_; }
    PictureCache& pictures() { return pictures_; }
    int currentTab() const { return tab_; }
    int32_t firstViewedFriend() const { return browser_.firstViewedFriend(); }

public slots:
    void tabChange(int tab);
    void showNoRecords(bool hide);
    void showSearch(const QString& text);
    void orderItems(const QString& label);
    // Pictures of these contacts are now in the cache (the downloader's hook).
    void showImage(const std::vector<int32_t>& ids);

signals:
    void contactClicked(int32_t rcFriendId);
    void unknownFriendClicked(int32_t pageNumber);
    void exportCheckedClicked();
    void exportCurrentClicked();

private:
    void showVisibleTable();
    void updateSelectAll();
    void rowClicked(FriendTableModel* model, int row);

    const RecoveredData* data_ = nullptr;
    ResultBrowserModel browser_;
    PictureCache pictures_;
    std::array<std::shared_ptr<TickList>, 4> ticks_;
    FriendTableModel* tables_[3][2];
    FriendTableModel* unknown_;
    FriendTableModel* search_model_;
    int tab_ = kFriendsTab;

    QWidget* owner_;
    QWidget* lists_;
    QWidget* right_;
    QLabel* ownerPicture_;
    QLabel* ownerName_;
    QLabel* ownerSign_;
    QButtonGroup* tabs_;
    QCheckBox* hideEmpty_;
    QLineEdit* search_;
    TcmsgTableHeader* header_;
    QStackedWidget* stack_;
    QTableView* table_;
    QTableView* searchTable_;
    QPushButton* export_;
    QPushButton* exportCurrent_;
    TcmsgWidgetDetail* detail_;
    PageView* pageView_;
};

}  // namespace gui
}  // namespace app
}  // namespace talwen
