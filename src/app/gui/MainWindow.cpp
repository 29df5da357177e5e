#include "app/gui/MainWindow.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QInputDialog>
#include <QLineEdit>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>
#include <chrono>

#include "app/gui/Dialogs.h"
#include "app/gui/GuiScale.h"
#include "app/gui/PageView.h"
#include "app/gui/ProgressWidgets.h"
#include "app/gui/SessionRunner.h"
#include "app/gui/StartWidgets.h"
#include "app/gui/TcmsgWidget.h"
#include "app/pages/ConversationViewer.h"
#include "app/pages/PageAssets.h"
#include "app/session/AccountDatabase.h"
#include "app/store/PictureNames.h"
#include "backup/BackupManager.h"
#include "backup/EncryptedBackup.h"

Q_DECLARE_METATYPE(std::vector<int32_t>)

// The pictures live in a static library, whose resource initialiser no linker keeps
// unless it is called by name (and only from the global namespace).
static void initGuiResources() { Q_INIT_RESOURCE(gui_resources); }

namespace talwen {
namespace app {
namespace gui {

namespace {

using common::Status;

constexpr int kWidth = 900;
constexpr int kHeight = 640;
constexpr int kMargin = 4;
constexpr int kTitleHeight = 50;

QString toQ(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

MainWindow::MainWindow(WindowOptions options, QWidget* parent)
    : QWidget(parent), options_(std::move(options)) {
    initGuiResources();
    qRegisterMetaType<std::string>("std::string");
    qRegisterMetaType<int32_t>("int32_t");
    qRegisterMetaType<std::vector<int32_t>>("std::vector<int32_t>");

    dataDir_ = options_.dataDir.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation)
                                          : options_.dataDir;
    QDir().mkpath(pictureDirectory());

    const GuiScale scale = GuiScale::of(this);
    setWindowFlags(Qt::FramelessWindowHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowMaximizeButtonHint);
    setWindowTitle(QStringLiteral("微信聊天记录恢复"));
    setFixedSize(scale.size(kWidth + 2 * kMargin, kHeight + 2 * kMargin));

    upper_ = new UpperWidget(this);
    section_ = new SectionWidget(this);
    files_ = new FilesWidget(this);
    schedule_ = new ScheduleWidget(this);
    complete_ = new CompleteWidget(this);
    covery_ = new CoveryWidget(this);
    PageView* pageView = options_.webView ? static_cast<PageView*>(new WebPageView(this)) : new PlainPageView(this);
    connect(pageView, &PageView::earlierRequested, this, &MainWindow::showEarlierMessages);
    tcmsg_ = new TcmsgWidget(pageView, pictureDirectory(), this);
    interlude_ = new InterludeWidget(this);
    for (QWidget* hidden : std::initializer_list<QWidget*>{schedule_, complete_, covery_, tcmsg_, interlude_}) {
        hidden->hide();
    }
    layoutChildren();

    interludeTimer_ = new QTimer(this);
    scheduleTimer_ = new QTimer(this);
    connect(interludeTimer_, &QTimer::timeout, interlude_, &InterludeWidget::animate);
    connect(scheduleTimer_, &QTimer::timeout, schedule_, &ScheduleWidget::animate);

    connect(upper_, &UpperWidget::minimizeClicked, this, &QWidget::showMinimized);
    connect(upper_, &UpperWidget::maximizeClicked, this, &MainWindow::maxorminMain);
    connect(upper_, &UpperWidget::closeClicked, this, &QWidget::close);
    connect(files_, &FilesWidget::refreshClicked, this, &MainWindow::refreshBackups);
    connect(files_, &FilesWidget::startClicked, this, &MainWindow::EnterSchedule);
    connect(files_, &FilesWidget::chooseDirectoryClicked, this, [this] {
        const QString directory = chooseDirectory(QStringLiteral("选择备份文件目录"));
        if (directory.isEmpty()) return;
        chosenBackupDirs_.push_back(directory.toStdString());
        refreshBackups();
    });
    connect(files_, &FilesWidget::chooseDatabaseClicked, this, [this] {
        for (const QString& file : chooseDatabaseFiles(QStringLiteral("选择数据库文件"))) {
            EnterDBScheduleImpl(file);
            break;  // one scan at a time
        }
    });
    connect(schedule_, &ScheduleWidget::stopClicked, this, [this] {
        auto* ask = new ScheduleWarn(this);
        connect(ask, &QDialog::accepted, this, &MainWindow::stopScan);
        ask->open();
    });
    connect(covery_, &CoveryWidget::returnClicked, this, &MainWindow::return_main);
    connect(covery_, &CoveryWidget::exportAllClicked, this, &MainWindow::exportAllRecord);
    connect(tcmsg_, &TcmsgWidget::contactClicked, this, &MainWindow::viewContact);
    connect(tcmsg_, &TcmsgWidget::unknownFriendClicked, this, &MainWindow::viewUnknownFriend);
    connect(tcmsg_, &TcmsgWidget::exportCheckedClicked, this, &MainWindow::exportChecked);
    connect(tcmsg_, &TcmsgWidget::exportCurrentClicked, this, &MainWindow::exportCurrent);

    chooseDirectory = [this](const QString& title) {
        QFileDialog dialog(this, title, QStringLiteral(".."));
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly);
        dialog.setViewMode(QFileDialog::Detail);
        return dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty() ? dialog.selectedFiles().first()
                                                                                      : QString();
    };
    chooseDatabaseFiles = [this](const QString& title) {
        QFileDialog dialog(this, title, QStringLiteral(".."), QStringLiteral("DB (*.sqlite)"));
        dialog.setFileMode(QFileDialog::ExistingFiles);
        return dialog.exec() == QDialog::Accepted ? dialog.selectedFiles() : QStringList();
    };
    refreshBackups();
}

MainWindow::~MainWindow() {
    // Workers first: they hold pointers into the session and this window's flags.
    exportStop_ = true;
    runner_.reset();
    if (discovery_.joinable()) discovery_.join();
}

ExportSchedule* MainWindow::exportDialog() const { return exportDialog_.data(); }

QString MainWindow::workDirectory() const { return dataDir_ + QStringLiteral("/work"); }

QString MainWindow::pictureDirectory() const { return dataDir_ + QStringLiteral("/head"); }

bool MainWindow::workerBusy() const { return runner_ && runner_->busy(); }

bool MainWindow::isMaximisedLayout() const { return width() > GuiScale::of(this).w(kWidth + 2 * kMargin); }

int MainWindow::recoveredCount() const {
    return runner_ && !runner_->busy() ? runner_->session().results().recoveredCount() : 0;
}

// ---- Geometry and window behaviour -------------------------------------------

void MainWindow::layoutChildren() {
    const GuiScale scale = GuiScale::of(this);
    const int fullWidth = width() - scale.w(2 * kMargin);
    const int fullHeight = height() - scale.h(2 * kMargin);
    const int x = scale.w(kMargin);
    const int y = scale.h(kMargin);
    upper_->setGeometry(x, y, fullWidth, scale.h(kTitleHeight));
    section_->setGeometry(QRect(scale.point(kMargin, 50 + kMargin), scale.size(kWidth, 95)));
    files_->setGeometry(QRect(scale.point(kMargin, 145 + kMargin), scale.size(kWidth, kHeight - 145)));
    schedule_->setGeometry(x, scale.h(50 + kMargin), fullWidth, scale.h(66));
    // The result header grows with the damage reasons it lists.
    const int completeHeight = std::max(scale.h(54), complete_->hasHeightForWidth()
                                                         ? complete_->heightForWidth(fullWidth)
                                                         : complete_->sizeHint().height());
    complete_->setGeometry(x, scale.h(50 + kMargin), fullWidth, completeHeight);
    interlude_->setGeometry(QRect(scale.point(kMargin, 120 + kMargin), scale.size(181, 520)));
    const int barHeight = scale.h(64);
    covery_->setGeometry(x, y + fullHeight - barHeight, fullWidth, barHeight);
    if (screen_ == Screen::Result) {
        const int top = scale.h(50 + kMargin) + completeHeight;
        tcmsg_->setGeometry(x, top, fullWidth, y + fullHeight - barHeight - top);
    } else {
        tcmsg_->setGeometry(QRect(scale.point(185, 120), scale.size(715, 520)));
    }
}

void MainWindow::maxorminMain() {
    const GuiScale scale = GuiScale::of(this);
    if (isMaximisedLayout()) {
        setFixedSize(scale.size(kWidth + 2 * kMargin, kHeight + 2 * kMargin));
        move(savedPosition_);
    } else {
        savedPosition_ = pos();
        QScreen* screen = QWidget::screen() ? QWidget::screen() : QGuiApplication::primaryScreen();
        const QRect area = screen->availableGeometry();
        // Never smaller than the normal size: a small screen keeps the normal layout.
        setFixedSize(std::max(area.width(), width() + 1), std::max(area.height(), height()));
        move(area.topLeft());
    }
    layoutChildren();
}

void MainWindow::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        dragging_ = true;
        dragOffset_ = event->globalPos() - frameGeometry().topLeft();
    }
    QWidget::mousePressEvent(event);
}

void MainWindow::mouseMoveEvent(QMouseEvent* event) {
    if (dragging_ && (event->buttons() & Qt::LeftButton) && !isMaximisedLayout()) {
        move(event->globalPos() - dragOffset_);
    }
    QWidget::mouseMoveEvent(event);
}

void MainWindow::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && event->pos().y() < GuiScale::of(this).h(kTitleHeight) &&
        tcmsg_->isVisible() && screen_ == Screen::Result) {
        maxorminMain();
    }
    QWidget::mouseDoubleClickEvent(event);
}

void MainWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), QColor(0xc8, 0xcd, 0xd3));
    const GuiScale scale = GuiScale::of(this);
    painter.fillRect(rect().adjusted(scale.w(kMargin), scale.h(kMargin), -scale.w(kMargin), -scale.h(kMargin)),
                     Qt::white);
}

void MainWindow::warn(const QString& text) {
    auto* dialog = new SelectfileWarn(text, this);
    dialog->open();
}

// ---- Start screen -------------------------------------------------------------

void MainWindow::refreshBackups() {
    if (discovery_.joinable()) discovery_.join();
    const std::vector<std::string> roots = options_.backupRoots;
    const std::vector<std::string> chosen = chosenBackupDirs_;
    discovery_ = std::thread([this, roots, chosen] {
        backup::BackupManager manager;
        if (roots.empty()) {
            manager.scanBackups();
        } else {
            manager.scanBackupRoots(roots);
        }
        for (const std::string& directory : chosen) {
            bool listed = false;
            for (const backup::BackupInfo& info : manager.backups()) listed = listed || info.path == directory;
            if (!listed) manager.addBackup(directory);
        }
        std::vector<backup::BackupInfo> found = manager.backups();
        QMetaObject::invokeMethod(
            this, [this, found = std::move(found)]() mutable { showFilesDetail(std::move(found)); },
            Qt::QueuedConnection);
    });
}

void MainWindow::showFilesDetail(std::vector<backup::BackupInfo> discovered) {
    backups_ = std::move(discovered);
    files_->showFilesDetail(backups_);
    emit showFiles();
}

void MainWindow::EnterSchedule() {
    tcmsg_->setOwnerVisible(true);
    tcmsg_->clear();
    const int row = files_->currentBackup();
    if (row < 0 || row >= static_cast<int>(backups_.size())) {
        warn(QStringLiteral("请先选择你需要扫描的iTunes备份文件再进行扫描"));
        return;
    }
    files_->startButton()->setEnabled(false);
    const std::string path = backups_[static_cast<size_t>(row)].path;
    if (!backups_[static_cast<size_t>(row)].encrypted) {
        openBackupAndSample(path, QString());
        return;
    }
    // The password is asked for here and handed to the session only; the dialog
    // forgets it when it goes.
    auto* dialog = new QInputDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(QStringLiteral("备份密码"));
    dialog->setLabelText(QStringLiteral("此备份已加密，请输入备份密码（在 iTunes 或 Finder 中设置的密码）："));
    dialog->setTextEchoMode(QLineEdit::Password);
    dialog->setInputMode(QInputDialog::TextInput);
    passwordDialog_ = dialog;
    connect(dialog, &QInputDialog::textValueSelected, this, [this, path](const QString& password) {
        if (password.isEmpty()) {
            files_->startButton()->setEnabled(true);
            return;
        }
        openBackupAndSample(path, password);
    });
    connect(dialog, &QDialog::rejected, this, [this] { files_->startButton()->setEnabled(true); });
    dialog->open();
}

void MainWindow::openBackupAndSample(const std::string& path, const QString& password) {
    runner_ = std::make_unique<SessionRunner>();
    auto status = std::make_shared<Status>();
    auto sampling = std::make_shared<AccountSampling>();
    // Decrypted files of an encrypted backup go below the working directory.
    const std::string work = password.isEmpty() ? std::string() : workDirectory().toStdString();
    runner_->run(
        [path, status, sampling, work, secret = password.toStdString()](RecoverySession& session) mutable {
            if (!work.empty()) *status = session.setWorkDirectory(work);
            session.setBackupPassword(secret);
            std::fill(secret.begin(), secret.end(), '\0');
            if (status->isOk()) *status = session.openBackup(path);
            if (status->isOk()) *sampling = session.sampleAccounts();
        },
        [this, status, sampling] {
            if (!status->isOk()) {
                accountsSampled(*status);
                return;
            }
            const backup::BackupManager& manager = runner_->session().backup();
            if (manager.databaseFiles().size() < 2) {
                startRecovery(QString());
                return;
            }
            std::vector<AccountChoice> accounts;
            for (const auto& entry : manager.databaseFiles()) {
                AccountChoice choice;
                choice.key = toQ(entry.first);
                choice.accountDir = toQ(backup::BackupManager::accountDirectory(entry.first));
                for (const auto& [settingsPath, settings] : manager.accountSettings()) {
                    if (!backup::BackupManager::sameAccount(settingsPath, entry.first)) continue;
                    choice.nickName = toQ(settings.nickName);
                    choice.picturePath = pictureDirectory() + "/" + ownerPictureFileName(toQ(settings.userName));
                    break;
                }
                accounts.push_back(choice);
            }
            auto* dialog = new WcusersSelect(std::move(accounts), *sampling, this);
            accountDialog_ = dialog;
            downloadOwnerPictures();
            connect(dialog, &QDialog::accepted, this, [this, dialog] { startRecovery(dialog->chosenAccountDir()); });
            connect(dialog, &QDialog::rejected, this, [this] {
                runner_.reset();
                files_->startButton()->setEnabled(true);
            });
            dialog->open();
        });
}

void MainWindow::accountsSampled(const Status& status) {
    const auto outcome = runner_->session().backup().locateOutcome();
    runner_.reset();
    if (outcome == backup::BackupManager::LocateOutcome::NoMessengerData) {
        showNoDBTip();
        return;
    }
    files_->startButton()->setEnabled(true);
    if (outcome == backup::BackupManager::LocateOutcome::Encrypted) {
        warn(QStringLiteral("该备份文件已加密，无法读取，请选择其他文件扫描"));
    } else if (status.message() == backup::EncryptedBackup::kWrongPassword) {
        warn(QStringLiteral("备份密码错误，请重新输入"));
    } else {
        warn(toQ(status.message()));
    }
}

void MainWindow::showNoDBTip() {
    auto* dialog = new SelectfileWarn(QStringLiteral("iTunes备份文件中未找到微信数据，请选择其他文件扫描"), this);
    connect(dialog, &QDialog::finished, this, [this] { files_->startButton()->setEnabled(true); });
    dialog->open();
}

void MainWindow::startRecovery(const QString& account) {
    RecoverySession& session = runner_->session();
    Status status = session.chooseAccount(account.toStdString());
    if (status.isOk()) status = session.setWorkDirectory(workDirectory().toStdString());
    if (!status.isOk()) {
        runner_.reset();
        files_->startButton()->setEnabled(true);
        warn(toQ(status.message()));
        return;
    }
    ownerUserName_ = session.accountUserName();
    session.setPictureCache(pictureDirectory());
    if (!accountDialog_) downloadOwnerPictures();
    const auto owner = ownerSettings(session.backup(), ownerUserName_);
    tcmsg_->setOwner(ownerPicture(toQ(ownerUserName_), QStringLiteral(":/res/unknown.jpg")),
                     owner ? toQ(owner->nickName) : QString(), owner ? toQ(owner->signature) : QString());
    startWorker();
}

void MainWindow::EnterDBScheduleImpl(const QString& path) {
    if (workerBusy() || screen_ != Screen::Start) return;
    tcmsg_->setOwnerVisible(false);
    tcmsg_->clear();
    runner_ = std::make_unique<SessionRunner>();
    ownerUserName_.clear();
    runner_->session().setPictureCache(pictureDirectory());
    Status status = runner_->session().useDatabaseFile(path.toStdString());
    if (status.isOk()) status = runner_->session().setWorkDirectory(workDirectory().toStdString());
    if (!status.isOk()) {
        runner_.reset();
        warn(toQ(status.message()));
        return;
    }
    files_->startButton()->setEnabled(false);
    startWorker();
}

QPixmap MainWindow::ownerPicture(const QString& userName, const QString& fallback) const {
    QPixmap picture;
    const QString name = ownerPictureFileName(userName);
    const QString path = pictureDirectory() + "/" + name;
    if (!userName.isEmpty() && !name.isEmpty() && QFileInfo::exists(path)) picture.load(path);
    return picture.isNull() ? QPixmap(fallback) : picture;
}

// ---- Progress -----------------------------------------------------------------

void MainWindow::enterProgressScreen() {
    screen_ = Screen::Progress;
    section_->hide();
    files_->hide();
    covery_->hide();
    complete_->hide();
    schedule_->reset();
    schedule_->show();
    interlude_->show();
    layoutChildren();
    tcmsg_->setScanning(true);
    tcmsg_->show();
    interludeTimer_->start(2000);
    scheduleTimer_->start(200);
}

void MainWindow::startWorker() {
    // Contact pictures are named by row ids of one recovery store: those of an
    // earlier scan would show on the wrong contacts. Only our own cache is touched.
    QDir cache(pictureDirectory());
    for (const QString& name : cache.entryList({QStringLiteral("*.png")}, QDir::Files)) {
        bool number = false;
        name.chopped(4).toLongLong(&number);
        if (number) cache.remove(name);
    }
    SessionRunner* runner = runner_.get();
    // The runner is the context: reports still queued when it is destroyed are dropped.
    connect(runner, &SessionRunner::updateIndicatorState, runner,
            [this](const QString& text, const QString& counter) { schedule_->updateIndicatorState(text, counter); });
    connect(runner, &SessionRunner::updateIndicator, runner,
            [this](int percent, const QString& remaining, const QString& elapsed) {
                schedule_->updateIndicator(percent, remaining, elapsed);
            });
    connect(runner, &SessionRunner::exportProgress, runner,
            [this](const QString& text, int done, int total, bool finished) {
                updateExportImpl(text, done, total, finished);
            });
    enterProgressScreen();
    const QString work = workDirectory();
    const unsigned threads = options_.seekThreads;
    auto status = std::make_shared<Status>();
    auto loaded = std::make_shared<Status>();
    auto damage = std::make_shared<std::vector<std::string>>();
    runner->run(
        [work, threads, status, loaded, damage](RecoverySession& session) {
            *status = session.copySource();
            if (status->isOk() && !PageAssets::install(work)) {
                *status = Status::ioError("cannot install the page assets in " + work.toStdString());
            }
            if (status->isOk()) *status = session.recover(threads);
            if (status->isOk() || session.resultIsPartial()) {
                // Every row: the exports must leave nothing out, and the tables take them all.
                *loaded = session.loadResults(0, 0);
                // What a damaged database did not give, as the store keeps it.
                wchat::StoreSummary counts;
                if (loaded->isOk()) *loaded = session.summary(&counts);
                *damage = std::move(counts.partialReasons);
            }
        },
        [this, status, loaded, damage] { recoveryFinished(*status, *loaded, *damage); });
}

void MainWindow::stopScan() {
    if (!runner_ || !runner_->busy() || screen_ != Screen::Progress) return;
    runner_->requestCancel();
    schedule_->showStopping();
}

void MainWindow::recoveryFinished(const Status& status, const Status& loaded,
                                  const std::vector<std::string>& damageReasons) {
    interludeTimer_->stop();
    scheduleTimer_->stop();
    RecoverySession& session = runner_->session();
    const bool stopped = status.kind() == Status::Kind::Cancelled && session.resultIsPartial();
    if ((status.isOk() || stopped) && loaded.isOk()) {
        partial_.stopped = stopped;
        partial_.damageReasons = damageReasons;
        showResultScreen();
        return;
    }
    returnToStart();
    if (status.kind() == Status::Kind::Cancelled) {
        warn(QStringLiteral("扫描已停止，没有可以显示的结果。"));
    } else {
        const Status& failure = status.isOk() ? loaded : status;
        warn(QStringLiteral("扫描失败：") + toQ(failure.message()));
    }
}

// ---- Result screen ------------------------------------------------------------

void MainWindow::showResultScreen() {
    screen_ = Screen::Result;
    const RecoveredData& results = runner_->session().results();
    upper_->maximizeButton()->show();
    schedule_->hide();
    interlude_->hide();
    covery_->setButtonsEnabled(true);
    complete_->setResult(results.recoveredCount(), partial_);
    layoutChildren();
    tcmsg_->setScanning(false);
    tcmsg_->fill(&results);
    tcmsg_->show();
    covery_->show();
    complete_->show();
    viewedContact_ = 0;
    viewedUnknown_ = 0;
    if (tcmsg_->firstViewedFriend() != 0) viewContact(tcmsg_->firstViewedFriend());
    if (!isMaximisedLayout()) maxorminMain();
    emit completeCovery();
    downloadContactPictures();
    auto* tip = new CompleteTipWidget(results.recoveredCount(), partial_, this);
    tip->open();
}

void MainWindow::viewContact(int32_t rcFriendId) {
    if (!runner_ || runner_->busy() || (viewedContact_ == rcFriendId && viewedUnknown_ == 0)) return;
    RecoverySession& session = runner_->session();
    viewedContact_ = rcFriendId;
    viewedUnknown_ = 0;
    const FriendEntry entry = session.results().friendEntry(rcFriendId);
    const QPixmap picture = entry.headImgUrl.isEmpty()
                                ? QPixmap(QStringLiteral(":/res/group.jpg"))
                                : tcmsg_->pictures().contactOr(rcFriendId, QStringLiteral(":/res/unknown.png"));
    tcmsg_->detail()->showContact(entry, picture);
    // The latest messages first; earlier ones come as the reader scrolls up, so a
    // conversation of any length opens at once.
    common::ErrorInfo error;
    const ConversationSlice slice =
        RecoveredData::queryLatestMessages(session.storeConnection(), rcFriendId, kConversationSliceSize, &error);
    const PageFile page = ConversationViewer(workDirectory())
                              .showConversationSlice(session.results(), session.renderContext(), rcFriendId, slice);
    if (page.written) tcmsg_->pageView()->showPage(page.path);
}

void MainWindow::showEarlierMessages(const QString& link) {
    MessageCursor before;
    if (!runner_ || runner_->busy() || viewedContact_ == 0 || !parseEarlierMessagesLink(link, &before)) return;
    RecoverySession& session = runner_->session();
    common::ErrorInfo error;
    const ConversationSlice slice = RecoveredData::queryMessagesBefore(session.storeConnection(), viewedContact_,
                                                                       before, kConversationSliceSize, &error);
    if (!error.isSuccess()) return;
    RenderContext context = session.renderContext();
    context.pageDir = ConversationViewer::viewerPageDir(workDirectory());
    tcmsg_->pageView()->runScript(
        ConversationViewer::earlierMessagesScript(session.results(), context, viewedContact_, slice));
}

void MainWindow::viewUnknownFriend(int32_t pageNumber) {
    if (!runner_ || runner_->busy() || viewedUnknown_ == pageNumber) return;
    RecoverySession& session = runner_->session();
    viewedUnknown_ = pageNumber;
    viewedContact_ = 0;
    tcmsg_->detail()->showUnknownFriend(pageNumber);
    const PageFile page = ConversationViewer(workDirectory())
                              .showLostConversation(session.results(), session.renderContext(), pageNumber);
    if (page.written) tcmsg_->pageView()->showPage(page.path);
}

void MainWindow::return_main() {
    if (workerBusy()) return;
    auto* ask = new CompleteWarn(this);
    connect(ask, &QDialog::accepted, this, &MainWindow::returnToStart);
    ask->open();
}

void MainWindow::returnToStart() {
    if (isMaximisedLayout()) maxorminMain();
    if (exportDialog_) exportDialog_->close();
    // Stops and joins a running worker before its session goes.
    exportStop_ = true;
    pictures_.reset();
    runner_.reset();
    interludeTimer_->stop();
    scheduleTimer_->stop();
    screen_ = Screen::Start;
    partial_ = PartialResult();
    viewedContact_ = 0;
    viewedUnknown_ = 0;
    ownerUserName_.clear();
    upper_->maximizeButton()->hide();
    tcmsg_->clear();
    tcmsg_->setScanning(false);
    schedule_->reset();
    for (QWidget* hidden : std::initializer_list<QWidget*>{schedule_, complete_, covery_, tcmsg_, interlude_}) {
        hidden->hide();
    }
    covery_->setButtonsEnabled(true);
    files_->startButton()->setEnabled(true);
    section_->show();
    files_->show();
    layoutChildren();
    files_->showFilesDetail(backups_);
}

// ---- Pictures -----------------------------------------------------------------

void MainWindow::downloadOwnerPictures() {
    if (options_.offline || !runner_) return;
    if (!pictures_) pictures_ = std::make_unique<PictureDownloader>(pictureDirectory(), options_.pictureSettings);
    std::vector<OwnerPicture> owners;
    for (const auto& entry : runner_->session().backup().accountSettings()) {
        if (!entry.second.headImgUrl.empty()) owners.push_back({toQ(entry.second.userName), toQ(entry.second.headImgUrl)});
    }
    const bool several = runner_->session().backup().databaseFiles().size() >= 2;
    pictures_->downloadOwnerPictures(owners, [this, several](const std::vector<QString>&) {
        QMetaObject::invokeMethod(
            this, [this, several] { several ? updateWcselectImage() : userHeadimgFinishedImpl(); }, Qt::QueuedConnection);
    });
}

void MainWindow::downloadContactPictures() {
    if (options_.offline || !runner_) return;
    if (!pictures_) pictures_ = std::make_unique<PictureDownloader>(pictureDirectory(), options_.pictureSettings);
    pictures_->downloadContactPictures(runner_->session().results().friendList(), [this](const ContactPictureBatch& batch) {
        if (batch.rcFriendIds.empty()) return;
        const std::vector<int32_t> ids = batch.rcFriendIds;
        QMetaObject::invokeMethod(this, [this, ids] { showImage(ids); }, Qt::QueuedConnection);
    });
}

void MainWindow::showImage(const std::vector<int32_t>& ids) {
    tcmsg_->showImage(ids);
    if (viewedContact_ != 0 && std::find(ids.begin(), ids.end(), viewedContact_) != ids.end()) {
        tcmsg_->detail()->setPicture(tcmsg_->pictures().contactOr(viewedContact_, QStringLiteral(":/res/unknown.png")));
    }
}

void MainWindow::userHeadimgFinishedImpl() {
    if (!ownerUserName_.empty()) {
        tcmsg_->setOwnerPicture(ownerPicture(toQ(ownerUserName_), QStringLiteral(":/res/unknown.jpg")));
    }
}

void MainWindow::updateWcselectImage() {
    if (accountDialog_) accountDialog_->updateWcselectImage();
}

// ---- Export -------------------------------------------------------------------

void MainWindow::exportChecked() {
    const std::vector<ExportItem> items = tcmsg_->checkedItems();
    if (items.empty()) {
        warn(QStringLiteral("请勾选您需要导出的聊天记录"));
        return;
    }
    startExport(items);
}

void MainWindow::exportCurrent() {
    ExportItem item;
    if (viewedUnknown_ != 0) {
        item.kind = ExportItem::Kind::UnknownFriend;
        item.id = viewedUnknown_;
    } else if (viewedContact_ != 0) {
        item.id = viewedContact_;
    } else {
        return;
    }
    startExport({item});
}

void MainWindow::exportAllRecord() {
    if (!runner_ || runner_->busy() || screen_ != Screen::Result) return;
    startExport(ChatExporter::exportAllSet(runner_->session().results()));
}

void MainWindow::startExport(const std::vector<ExportItem>& items) {
    if (items.empty() || !runner_ || runner_->busy() || screen_ != Screen::Result) return;
    const QString chosen = chooseDirectory(QStringLiteral("选择保存聊天记录文件目录"));
    if (chosen.isEmpty()) return;
    RecoverySession& session = runner_->session();
    // The exporter copies the lists it needs here, on this thread; the worker then
    // only reads the store, which stays open until the runner is gone.
    auto exporter = std::make_shared<ChatExporter>(session.storeConnection(), session.results(), session.renderContext());
    exporter->setPacing(0, 0);
    if (!exporter->prepareExportDirectory(chosen, workDirectory())) {
        warn(QStringLiteral("无法创建文件") + QStringLiteral("：") + chosen);
        return;
    }
    const int total = static_cast<int>(items.size());
    auto* dialog = new ExportSchedule(total, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    exportDialog_ = dialog;
    exportStop_ = false;
    connect(dialog, &ExportSchedule::stopRequested, this, [this] { exportStop_ = true; });
    covery_->setButtonsEnabled(false);

    struct Tally {
        int written = 0;
        int failed = 0;
        QString firstFailure;
    };
    auto tally = std::make_shared<Tally>();
    SessionRunner* runner = runner_.get();
    const int pacing = options_.exportPacingMilliseconds;
    std::atomic<bool>* stop = &exportStop_;
    runner->run(
        [exporter, items, tally, runner, pacing, stop, total](RecoverySession& session) {
            int done = 0;
            for (const ExportItem& item : items) {
                if (*stop) break;
                for (const PageFile& page : exporter->exportConversations({item}, nullptr)) {
                    if (page.written) {
                        ++tally->written;
                    } else if (tally->failed++ == 0) {
                        tally->firstFailure = page.path;
                    }
                }
                ++done;
                emit runner->exportProgress(ChatExporter::remainingTimeText(total, done), done, total, false);
                if (pacing > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pacing));
            }
            // The index, the machine-readable files and the scan report of what was written.
            if (!*stop) {
                const talwen::common::Status overview = session.writeExportOverview(*exporter);
                if (!overview.isOk() && tally->failed++ == 0) tally->firstFailure = QString::fromStdString(overview.message());
            }
            emit runner->exportProgress(ChatExporter::remainingTimeText(total, done), done, total, true);
        },
        [this, tally, exporter] {
            covery_->setButtonsEnabled(true);
            if (tally->failed > 0) {
                warn(QStringLiteral("无法创建文件") + QStringLiteral("：") + tally->firstFailure);
            }
            emit exportFinished(tally->written, tally->failed);
        });
    dialog->open();
}

void MainWindow::updateExportImpl(const QString& text, int done, int, bool finished) {
    if (!exportDialog_) return;  // closed early: later reports change nothing
    if (finished) {
        exportDialog_->accept();
        return;
    }
    exportDialog_->updateProgress(text, done);
}

}  // namespace gui
}  // namespace app
}  // namespace talwen
