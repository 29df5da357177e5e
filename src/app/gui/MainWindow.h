#pragma once

#include <QPoint>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <QInputDialog>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/export/ChatExporter.h"
#include "app/gui/PartialResult.h"
#include "app/pictures/PictureDownloader.h"
#include "backup/BackupInfo.h"
#include "common/Status.h"

class QTimer;

namespace talwen {
namespace app {
namespace gui {

class CompleteWidget;
class CoveryWidget;
class ExportSchedule;
class FilesWidget;
class InterludeWidget;
class PageView;
class ScheduleWidget;
class SectionWidget;
class SessionRunner;
class TcmsgWidget;
class UpperWidget;
class WcusersSelect;

// What the window is started with besides the user's choices.
// Messages a conversation view reads at a time, from the latest back.
constexpr uint32_t kConversationSliceSize = 200;

struct WindowOptions {
    // Per-user data directory for the working copy, the page files and the picture
    // cache; empty: the platform's application data directory.
    QString dataDir;
    // Backup roots to list; empty: the roots of this computer.
    std::vector<std::string> backupRoots;
    // The conversation view's web engine; off where it cannot start (offscreen).
    bool webView = true;
    unsigned seekThreads = 0;        // 0: one fewer than the machine has
    int exportPacingMilliseconds = 0;  // pause after each exported page
    // No picture is fetched from the network (examiners who must stay offline);
    // pages and tables show cached pictures or the default faces.
    bool offline = false;
    PictureSettings pictureSettings;
};

// The frameless main window and its screens: start (sources and backups), account
// choice, scan progress, result browser. It drives one RecoverySession per scan
// through a SessionRunner; every worker reports through queued signals.
class MainWindow : public QWidget {
    Q_OBJECT
public:
    enum class Screen { Start, Progress, Result };

    explicit MainWindow(WindowOptions options = WindowOptions(), QWidget* parent = nullptr);
    ~MainWindow() override;

    // The file dialogs, replaceable (the tests answer them without a dialog).
    std::function<QString(const QString& title)> chooseDirectory;
    std::function<QStringList(const QString& title)> chooseDatabaseFiles;

    Screen currentScreen() const { return screen_; }
    bool isMaximisedLayout() const;
    bool workerBusy() const;
    const QString& dataDirectory() const { return dataDir_; }
    QString workDirectory() const;
    // Where contact and owner pictures are cached: <rcFriendId>.png, <usrName>.png.
    QString pictureDirectory() const;
    // Starts fetching the owners' pictures of the open backup, or the contacts'
    // pictures of the results (nothing when offline).
    void downloadOwnerPictures();
    void downloadContactPictures();
    const std::vector<backup::BackupInfo>& backups() const { return backups_; }
    // Ids of the contact or unknown-friend group being viewed (0 when none).
    int32_t viewedContact() const { return viewedContact_; }
    int32_t viewedUnknownFriend() const { return viewedUnknown_; }
    bool resultIsPartial() const { return partial_.partial(); }
    // Why the shown result is partial: stopped, and what a damaged database did not give.
    const PartialResult& partialResult() const { return partial_; }
    int recoveredCount() const;

    UpperWidget* upper() const { return upper_; }
    SectionWidget* section() const { return section_; }
    FilesWidget* files() const { return files_; }
    ScheduleWidget* schedule() const { return schedule_; }
    CompleteWidget* complete() const { return complete_; }
    CoveryWidget* covery() const { return covery_; }
    TcmsgWidget* tcmsg() const { return tcmsg_; }
    InterludeWidget* interlude() const { return interlude_; }
    ExportSchedule* exportDialog() const;
    // The password dialog EnterSchedule opens for an encrypted backup (null when none is open).
    QInputDialog* passwordDialog() const { return passwordDialog_; }

public slots:
    void refreshBackups();
    void EnterSchedule();
    void EnterDBScheduleImpl(const QString& path);
    void maxorminMain();
    void return_main();
    void exportChecked();
    void exportCurrent();
    void exportAllRecord();
    void stopScan();
    // Picture downloads: these contacts' files are now in the picture cache.
    void showImage(const std::vector<int32_t>& ids);
    // The page's load-earlier link: the slice before it goes above the messages shown.
    void showEarlierMessages(const QString& link);
    // Picture downloads: the owners' files are in the cache.
    void userHeadimgFinishedImpl();
    void updateWcselectImage();

signals:
    void showFiles();
    void completeCovery();
    void exportFinished(int written, int failed);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void showFilesDetail(std::vector<backup::BackupInfo> discovered);
    void warn(const QString& text);
    void showNoDBTip();
    void accountsSampled(const common::Status& status);
    void startRecovery(const QString& account);
    void startWorker();
    void enterProgressScreen();
    void recoveryFinished(const common::Status& status, const common::Status& loaded,
                          const std::vector<std::string>& damageReasons);
    void showResultScreen();
    void returnToStart();
    void layoutChildren();
    void viewContact(int32_t rcFriendId);
    void viewUnknownFriend(int32_t pageNumber);
    QPixmap ownerPicture(const QString& userName, const QString& fallback) const;
    void startExport(const std::vector<ExportItem>& items);
    void updateExportImpl(const QString& text, int done, int total, bool finished);

    WindowOptions options_;
    QString dataDir_;
    Screen screen_ = Screen::Start;
    UpperWidget* upper_;
    SectionWidget* section_;
    FilesWidget* files_;
    ScheduleWidget* schedule_;
    CompleteWidget* complete_;
    CoveryWidget* covery_;
    TcmsgWidget* tcmsg_;
    InterludeWidget* interlude_;
    QTimer* interludeTimer_;
    QTimer* scheduleTimer_;
    QPointer<ExportSchedule> exportDialog_;
    QPointer<WcusersSelect> accountDialog_;
    QPointer<QInputDialog> passwordDialog_;
    // Opens the backup of the list's row `row` (with its password when encrypted)
    // and samples its accounts on the worker.
    void openBackupAndSample(const std::string& path, const QString& password);

    std::vector<backup::BackupInfo> backups_;
    std::vector<std::string> chosenBackupDirs_;
    std::thread discovery_;
    std::unique_ptr<SessionRunner> runner_;
    // Contact and owner pictures of the current scan; its callbacks come on its
    // own thread and reach the window through queued calls.
    std::unique_ptr<PictureDownloader> pictures_;
    std::atomic<bool> exportStop_{false};
    std::string ownerUserName_;
    PartialResult partial_;
    int32_t viewedContact_ = 0;
    int32_t viewedUnknown_ = 0;
    bool dragging_ = false;
    QPoint dragOffset_;
    QPoint savedPosition_;
};

}  // namespace gui
}  // namespace app
}  // namespace talwen
