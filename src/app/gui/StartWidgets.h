#pragma once

#include <QWidget>

#include <vector>

#include "backup/BackupInfo.h"

class QLabel;
class QPushButton;
class QTableWidget;

namespace talwen {
namespace app {
namespace gui {

// The title bar: product name, minimise, maximise/restore (result screen only), close.
class UpperWidget : public QWidget {
    Q_OBJECT
public:
    explicit UpperWidget(QWidget* parent);
    QPushButton* maximizeButton() const { return maximize_; }

signals:
    void minimizeClicked();
    void maximizeClicked();
    void closeClicked();

private:
    QPushButton* maximize_;
};

// The three sources side by side; only the iTunes backup works.
class SectionWidget : public QWidget {
    Q_OBJECT
public:
    explicit SectionWidget(QWidget* parent);
    int expandedPanel() const { return expanded_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void expand(int panel);

    std::vector<QWidget*> panels_;
    int expanded_ = 0;
};

// The backup list and its buttons. Every backup is listed; past five rows the
// table scrolls.
class FilesWidget : public QWidget {
    Q_OBJECT
public:
    static constexpr int kVisibleRows = 5;
    static constexpr int kRowHeight = 48;

    explicit FilesWidget(QWidget* parent);
    void showFilesDetail(const std::vector<backup::BackupInfo>& backups);
    // The backup of the current row; -1 when none is selected.
    int currentBackup() const;
    QTableWidget* table() const { return table_; }
    QPushButton* startButton() const { return start_; }

signals:
    void refreshClicked();
    void chooseDirectoryClicked();
    void chooseDatabaseClicked();
    void startClicked();

private:
    QTableWidget* table_;
    QWidget* empty_;
    QPushButton* start_;
};

}  // namespace gui
}  // namespace app
}  // namespace talwen
