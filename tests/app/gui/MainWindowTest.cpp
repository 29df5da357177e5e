// The desktop window driven as a user would, offscreen and without the web engine:
// the start screen, the account choice, a scan to the result screen, the result
// browser, exports, the stop button and the way back. Scans run on generated
// backups in temporary directories; expectations come from a recovery session run
// on the same backup, the way the command line runs it.

#include <gtest/gtest.h>

#include <QApplication>

#include "app/support/MessengerSchema.h"
#include "app/gui/GuiTestSupport.h"
#include <QCheckBox>
#include <QDir>
#include <QInputDialog>
#include <QLineEdit>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QIcon>
#include <QImage>
#include <QMouseEvent>
#include <QPixmap>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QThread>

#include <sqlite3.h>

#include <functional>
#include <map>
#include <memory>
#include <set>

#include "app/gui/Dialogs.h"
#include "app/gui/FriendTableModel.h"
#include "app/gui/MainWindow.h"
#include "app/gui/PageView.h"
#include "app/gui/ProgressWidgets.h"
#include "app/gui/StartWidgets.h"
#include "app/gui/TcmsgWidget.h"
#include "app/session/RecoverySession.h"
#include "backup/BackupTestSupport.h"

namespace bt = talwen::backup::test;
using talwen::app::FriendCategory;
using talwen::app::FriendEntry;
using talwen::app::RecoverySession;
using talwen::app::friendCategory;
using namespace talwen::app::gui;

// Fontconfig keeps the patterns Qt's font matching hands it; they are not ours to
// free. The leak check reads this when the program starts.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

// One application object for the whole program, offscreen unless told otherwise.
// It lives until the process ends: the offscreen platform's screen objects are not
// all freed when the application is destroyed, which the leak check would report.
class GuiEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        guitest::startApplication("gui_tests");
    }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new GuiEnvironment);

// Runs the event loop until `ready` holds or the time is up (a scan under the
// sanitizers takes a while; the limit only ends a hung test), then once more.
bool waitUntil(const std::function<bool()>& ready, int timeoutMs = 180000) {
    if (!guitest::waitUntil(ready, timeoutMs)) return false;
    QCoreApplication::processEvents();
    return true;
}

template <typename T>
T* openDialog(QWidget* window) {
    for (T* dialog : window->findChildren<T*>()) {
        if (dialog->isVisible()) return dialog;
    }
    return nullptr;
}

QString dialogText(QWidget* window) {
    if (auto* warn = openDialog<SelectfileWarn>(window)) return warn->text();
    return QString();
}

// Closes every open dialog the way its first button would.
void closeDialogs(QWidget* window) {
    for (QDialog* dialog : window->findChildren<QDialog*>()) {
        if (dialog->isVisible()) dialog->accept();
    }
    QCoreApplication::processEvents();
}

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(root.isValid());
        backupRoot = root.path() + "/Backup";
        ASSERT_TRUE(QDir().mkpath(backupRoot));
    }

    // A generated backup listed under the root.
    QString addBackup(const QString& name, const QStringList& arguments) {
        const QString directory = backupRoot + "/" + name;
        bt::generateBackup(directory, arguments);
        return directory;
    }

    std::unique_ptr<MainWindow> openWindow(unsigned seekThreads = 2) {
        WindowOptions options;
        options.dataDir = root.path() + "/data";
        options.backupRoots = {backupRoot.toStdString()};
        options.webView = false;
        options.offline = true;  // the generated addresses lead nowhere; tests stay off the network
        options.seekThreads = seekThreads;
        auto window = std::make_unique<MainWindow>(options);
        window->show();
        return window;
    }

    static void waitForList(MainWindow& window, size_t count) {
        ASSERT_TRUE(waitUntil([&] { return window.backups().size() == count; }));
    }

    // Starts a scan of the first backup and waits for the result screen.
    static void scanToResult(MainWindow& window) {
        waitForList(window, 1);
        window.EnterSchedule();
        ASSERT_TRUE(waitUntil([&] { return window.currentScreen() == MainWindow::Screen::Result; }))
            << dialogText(&window).toStdString();
    }

    QTemporaryDir root;
    QString backupRoot;
};

// What the session finds in a backup, for comparison with the window.
struct Expected {
    int recovered = 0;
    std::map<FriendCategory, std::set<int32_t>> withRecords;
    std::map<FriendCategory, std::set<int32_t>> all;
    std::set<int32_t> unknownPages;
    std::map<int32_t, FriendEntry> friends;
};

Expected expectedResults(const QString& backupDir) {
    Expected expected;
    RecoverySession session;
    EXPECT_TRUE(session.openBackup(backupDir.toStdString()).isOk());
    EXPECT_TRUE(session.chooseAccount("").isOk());
    EXPECT_TRUE(session.copySource().isOk());
    EXPECT_TRUE(session.recover(2).isOk());
    EXPECT_TRUE(session.loadResults(0, 0).isOk());
    expected.recovered = session.results().recoveredCount();
    for (const FriendEntry& entry : session.results().displayList()) {
        expected.all[friendCategory(entry.usrName)].insert(entry.rcFriendId);
        if (entry.chatNum >= 1) expected.withRecords[friendCategory(entry.usrName)].insert(entry.rcFriendId);
        expected.friends[entry.rcFriendId] = entry;
    }
    // A group is listed when its first message has a date.
    for (const auto& [page, group] : session.results().unknownFriendGroups()) {
        if (!group.empty() && !group.front().created.isEmpty()) expected.unknownPages.insert(page);
    }
    return expected;
}

std::set<int32_t> rowIds(const FriendTableModel* model) {
    std::set<int32_t> ids;
    for (int row = 0; row < model->rowCount(); ++row) ids.insert(model->rowId(row));
    return ids;
}

}  // namespace

// Seven backups: all listed, the table shows five rows and scrolls to the rest.
TEST_F(MainWindowTest, EveryBackupIsListedAndTheListScrollsPastFive) {
    for (int i = 1; i <= 7; ++i) {
        bt::writeFile(backupRoot + QString("/backup-%1/Info.plist").arg(i),
                      bt::infoPlist(QString("<key>Device Name</key><string>设备%1</string>"
                                            "<key>Last Backup Date</key><date>2021-06-0%1T08:12:34Z</date>"
                                            "<key>Serial Number</key><string>SN%1</string>")
                                        .arg(i)
                                        .toUtf8()));
    }
    auto window = openWindow();
    waitForList(*window, 7);
    QTableWidget* table = window->files()->table();
    ASSERT_EQ(7, table->rowCount());
    EXPECT_EQ(QString("设备7"), table->item(6, 0)->text());
    EXPECT_EQ(QString("SN7"), table->item(6, 2)->text());
    EXPECT_EQ(2, table->currentColumn());  // the first row's third cell is current
    EXPECT_EQ(0, table->currentRow());

    // Five rows fit; the seventh is reached by scrolling.
    const QRect viewport = table->viewport()->rect();
    EXPECT_TRUE(viewport.contains(table->visualRect(table->model()->index(4, 0)).center()));
    EXPECT_FALSE(viewport.contains(table->visualRect(table->model()->index(6, 0)).center()));
    EXPECT_GT(table->verticalScrollBar()->maximum(), 0);
    table->scrollToBottom();
    EXPECT_TRUE(viewport.contains(table->visualRect(table->model()->index(6, 0)).center()));
    table->selectRow(6);
    EXPECT_EQ(6, window->files()->currentBackup());
}

// Start without a selected backup, with no backups at all, or with a backup
// holding no messenger data: a warning, nothing starts, start stays usable.
TEST_F(MainWindowTest, StartWithoutAUsableSelectionWarns) {
    const char* const kNoSelection = "请先选择你需要扫描的iTunes备份文件再进行扫描";
    {
        auto window = openWindow();
        waitForList(*window, 0);
        EXPECT_TRUE(window->files()->table()->isHidden());
        window->EnterSchedule();
        EXPECT_EQ(QString(kNoSelection), dialogText(window.get()));
        EXPECT_FALSE(window->workerBusy());
        EXPECT_TRUE(window->files()->startButton()->isEnabled());
    }
    // A backup whose manifest lists no messenger file.
    bt::writeFile(backupRoot + "/empty/Info.plist", bt::infoPlist("<key>Device Name</key><string>空</string>"));
    bt::writeFile(backupRoot + "/empty/Manifest.mbdb", bt::MbdbBuilder().bytes());
    auto window = openWindow();
    waitForList(*window, 1);
    window->files()->table()->clearSelection();
    window->EnterSchedule();
    EXPECT_EQ(QString(kNoSelection), dialogText(window.get()));
    closeDialogs(window.get());

    window->files()->table()->selectRow(0);
    window->EnterSchedule();
    EXPECT_FALSE(window->files()->startButton()->isEnabled());
    ASSERT_TRUE(waitUntil([&] { return openDialog<SelectfileWarn>(window.get()) != nullptr; }));
    EXPECT_EQ(QString("iTunes备份文件中未找到微信数据，请选择其他文件扫描"), dialogText(window.get()));
    closeDialogs(window.get());
    EXPECT_TRUE(window->files()->startButton()->isEnabled());
    EXPECT_EQ(MainWindow::Screen::Start, window->currentScreen());
}

// Two accounts: the choice lists both with batches of at most four contacts,
// "换一批" moves on, cancelling gives the start button back, choosing scans the
// chosen account and shows its owner.
TEST_F(MainWindowTest, TwoAccountsAreChosenBetweenWithBatchesOfContacts) {
    addBackup("two", {"--layout", "mbdb", "--accounts", "2", "--profile", "tiny", "--seed", "5"});
    auto window = openWindow();
    waitForList(*window, 1);
    window->EnterSchedule();
    ASSERT_TRUE(waitUntil([&] { return openDialog<WcusersSelect>(window.get()) != nullptr; }));
    WcusersSelect* choice = openDialog<WcusersSelect>(window.get());
    ASSERT_EQ(2, choice->accountCount());
    EXPECT_FALSE(choice->okButton()->isEnabled());
    for (int account = 0; account < 2; ++account) {
        const QStringList first = choice->shownFriends(account);
        ASSERT_FALSE(first.isEmpty());
        EXPECT_LE(first.size(), 4);
    }
    const QStringList before = choice->shownFriends(0);
    std::set<QString> seen(before.begin(), before.end());
    for (int i = 0; i < 5; ++i) {
        choice->changeFriends();
        for (const QString& name : choice->shownFriends(0)) seen.insert(name);
    }
    EXPECT_GT(seen.size(), static_cast<size_t>(before.size()));  // the batches moved on
    choice->reject();
    QCoreApplication::processEvents();
    EXPECT_TRUE(window->files()->startButton()->isEnabled());
    EXPECT_FALSE(window->workerBusy());

    window->EnterSchedule();
    ASSERT_TRUE(waitUntil([&] { return openDialog<WcusersSelect>(window.get()) != nullptr; }));
    choice = openDialog<WcusersSelect>(window.get());
    choice->selectAccount(1);
    EXPECT_TRUE(choice->okButton()->isEnabled());
    const QString chosenDir = choice->chosenAccountDir();
    EXPECT_EQ(32, chosenDir.size());
    choice->accept();
    ASSERT_TRUE(waitUntil([&] { return window->currentScreen() == MainWindow::Screen::Result; }))
        << dialogText(window.get()).toStdString();
    EXPECT_FALSE(window->tcmsg()->findChild<QLabel*>("ownerName")->text().isEmpty());
    EXPECT_TRUE(QFileInfo::exists(window->workDirectory() + "/MM.sqlite"));
}

// An encrypted backup: the password is asked for in a dialog; a wrong one is said
// so, the right one scans, and returning to the start removes what was decrypted.
TEST_F(MainWindowTest, AnEncryptedBackupAsksForItsPassword) {
    addBackup("encrypted", {"--profile", "tiny", "--seed", "6", "--encrypted", "--password", "窗口 pw",
                            "--kdf-iterations", "1000"});
    auto window = openWindow();
    waitForList(*window, 1);
    for (const QString& password : {QString("wrong"), QString("窗口 pw")}) {
        window->EnterSchedule();
        QInputDialog* dialog = window->passwordDialog();
        ASSERT_NE(nullptr, dialog);
        EXPECT_EQ(QLineEdit::Password, dialog->textEchoMode());
        EXPECT_FALSE(window->files()->startButton()->isEnabled());
        dialog->setTextValue(password);
        dialog->accept();
        if (password == "wrong") {
            ASSERT_TRUE(waitUntil([&] { return openDialog<SelectfileWarn>(window.get()) != nullptr; }));
            EXPECT_EQ(QString("备份密码错误，请重新输入"), dialogText(window.get()));
            closeDialogs(window.get());
            EXPECT_TRUE(window->files()->startButton()->isEnabled());
        }
    }
    ASSERT_TRUE(waitUntil([&] { return window->currentScreen() == MainWindow::Screen::Result; }))
        << dialogText(window.get()).toStdString();
    const QString work = window->workDirectory();
    EXPECT_EQ(1, QDir(work).entryList({"decrypted-*"}, QDir::Dirs).size());
    window->return_main();
    ASSERT_NE(nullptr, openDialog<CompleteWarn>(window.get()));
    openDialog<CompleteWarn>(window.get())->accept();
    QCoreApplication::processEvents();
    EXPECT_EQ(MainWindow::Screen::Start, window->currentScreen());
    EXPECT_TRUE(QDir(work).entryList({"decrypted-*"}, QDir::Dirs).isEmpty());
    EXPECT_FALSE(QFileInfo::exists(work + "/MM.sqlite"));

    // Cancelling the dialog gives the start button back.
    window->EnterSchedule();
    ASSERT_NE(nullptr, window->passwordDialog());
    window->passwordDialog()->reject();
    QCoreApplication::processEvents();
    EXPECT_TRUE(window->files()->startButton()->isEnabled());
    EXPECT_FALSE(window->workerBusy());
}

// A whole scan: progress, result screen with the session's counts, the maximised
// layout, the first friend's conversation in the view, and every working file in
// the data directory; the backup is left as it was.
TEST_F(MainWindowTest, AScanReachesTheResultScreenWithTheSessionsCounts) {
    const QString backupDir = addBackup("one", {"--layout", "db", "--accounts", "1", "--profile", "tiny", "--seed", "3"});
    const bt::DirectorySnapshot before = bt::snapshot(backupDir);
    const Expected expected = expectedResults(backupDir);
    const QString cwdEntries = QDir::current().entryList().join(",");

    auto window = openWindow();
    waitForList(*window, 1);
    const QSize normalSize = window->size();
    window->EnterSchedule();
    ASSERT_TRUE(waitUntil([&] { return window->currentScreen() != MainWindow::Screen::Start; }));
    EXPECT_TRUE(window->schedule()->isVisible());
    EXPECT_FALSE(window->files()->isVisible());
    ASSERT_TRUE(waitUntil([&] { return window->currentScreen() == MainWindow::Screen::Result; }))
        << dialogText(window.get()).toStdString();

    CompleteTipWidget* tip = openDialog<CompleteTipWidget>(window.get());
    ASSERT_NE(nullptr, tip);
    EXPECT_EQ(QString("共成功恢复 %1 条已删除聊天记录。").arg(expected.recovered), tip->text());
    EXPECT_FALSE(window->resultIsPartial());
    EXPECT_TRUE(tip->partialText().isEmpty());
    EXPECT_FALSE(window->complete()->findChild<QLabel*>("partialReasons")->isVisible());
    EXPECT_EQ(100, window->schedule()->percent());
    EXPECT_TRUE(window->isMaximisedLayout() || window->size() == normalSize);
    EXPECT_TRUE(window->covery()->isVisible());

    TcmsgWidget* browser = window->tcmsg();
    for (FriendCategory category : {FriendCategory::Friend, FriendCategory::Group, FriendCategory::OfficialAccount}) {
        EXPECT_EQ(expected.all.count(category) ? expected.all.at(category) : std::set<int32_t>(),
                  rowIds(browser->model(category, false)));
        EXPECT_EQ(expected.withRecords.count(category) ? expected.withRecords.at(category) : std::set<int32_t>(),
                  rowIds(browser->model(category, true)));
    }
    EXPECT_EQ(expected.unknownPages, rowIds(browser->unknownModel()));

    // The friend with most messages is viewed, its page written in the data directory.
    ASSERT_NE(0, window->viewedContact());
    EXPECT_EQ(window->workDirectory() + "/temp/index.html", browser->pageView()->pageFile());
    EXPECT_TRUE(QFileInfo::exists(browser->pageView()->pageFile()));
    const FriendEntry& viewed = expected.friends.at(window->viewedContact());
    for (const auto& [id, entry] : expected.friends) {
        if (friendCategory(entry.usrName) == FriendCategory::Friend) {
            EXPECT_LE(entry.chatNum, viewed.chatNum) << id;
        }
    }
    EXPECT_TRUE(browser->detail()->shownTexts().contains("昵称：" + viewed.nickName) || viewed.nickName.isEmpty());

    // An unknown friend's page replaces it.
    if (!expected.unknownPages.empty()) {
        browser->tabChange(TcmsgWidget::kUnknownTab);
        browser->tableView()->clicked(browser->unknownModel()->index(0, 0));
        EXPECT_EQ(*expected.unknownPages.begin(), window->viewedUnknownFriend());
        EXPECT_EQ(QStringList{QString("昵称：未知好友%1").arg(*expected.unknownPages.begin())},
                  browser->detail()->shownTexts());
    }
    // A picture arriving in the cache replaces the row's default picture.
    FriendTableModel* friends = browser->model(FriendCategory::Friend, false);
    ASSERT_GT(friends->rowCount(), 0);
    const int32_t pictured = friends->rowId(0);
    const QModelIndex pictureCell = friends->index(0, FriendTableModel::kNameColumn);
    auto pictureSize = [&] { return pictureCell.data(Qt::DecorationRole).value<QIcon>().availableSizes().value(0); };
    const QSize defaultSize = pictureSize();
    QImage picture(7, 5, QImage::Format_RGB32);
    picture.fill(Qt::red);
    ASSERT_TRUE(picture.save(window->pictureDirectory() + QString("/%1.png").arg(pictured)));
    EXPECT_EQ(defaultSize, pictureSize());  // not reloaded yet
    window->showImage({pictured});
    EXPECT_EQ(QSize(7, 5), pictureSize());
    EXPECT_TRUE(window->pictureDirectory().startsWith(window->dataDirectory()));

    EXPECT_EQ(cwdEntries, QDir::current().entryList().join(","));  // nothing written where we run
    EXPECT_TRUE(before == bt::snapshot(backupDir));
}

// The result browser after a scan: tabs, the hide-empty box, search and sorting.
TEST_F(MainWindowTest, TabsSearchAndSortingActOnTheVisibleTable) {
    addBackup("one", {"--layout", "db", "--accounts", "1", "--profile", "tiny", "--seed", "3"});
    auto window = openWindow();
    scanToResult(*window);
    closeDialogs(window.get());
    TcmsgWidget* browser = window->tcmsg();

    struct TabCase {
        int tab;
        bool hideEmpty;
        FriendTableModel* model;
    } const tabs[] = {
        {TcmsgWidget::kFriendsTab, true, browser->model(FriendCategory::Friend, true)},
        {TcmsgWidget::kFriendsTab, false, browser->model(FriendCategory::Friend, false)},
        {TcmsgWidget::kGroupsTab, true, browser->model(FriendCategory::Group, true)},
        {TcmsgWidget::kOfficialTab, false, browser->model(FriendCategory::OfficialAccount, false)},
        {TcmsgWidget::kUnknownTab, false, browser->unknownModel()},
    };
    for (const TabCase& c : tabs) {
        browser->hideEmptyBox()->setChecked(c.hideEmpty);
        browser->tabChange(c.tab);
        EXPECT_EQ(c.model, browser->tableView()->model()) << c.tab << c.hideEmpty;
    }

    // Search: matches of the display list, at most eleven, over the tables.
    browser->tabChange(TcmsgWidget::kFriendsTab);
    browser->hideEmptyBox()->setChecked(false);
    FriendTableModel* all = browser->model(FriendCategory::Friend, false);
    ASSERT_GT(all->rowCount(), 2);
    const QString needle = all->row(0).entry.nickName.left(1);
    browser->searchField()->setText(needle);
    auto* stack = qobject_cast<QStackedWidget*>(browser->searchView()->parentWidget());
    ASSERT_NE(nullptr, stack);
    EXPECT_EQ(browser->searchView(), stack->currentWidget());
    ASSERT_GE(browser->searchModel()->rowCount(), 1);
    EXPECT_LE(browser->searchModel()->rowCount(), 11);
    for (int row = 0; row < browser->searchModel()->rowCount(); ++row) {
        const FriendEntry& entry = browser->searchModel()->row(row).entry;
        EXPECT_TRUE(entry.nickName.contains(needle) || entry.conRemark.contains(needle) || entry.fullPY.contains(needle));
    }
    browser->searchField()->setText("没有这样的名字zzz");
    EXPECT_EQ(0, browser->searchModel()->rowCount());
    browser->searchField()->clear();
    EXPECT_EQ(browser->tableView(), stack->currentWidget());

    // "总数": largest first, then the other way round.
    auto counts = [all] {
        std::vector<int> values;
        for (int row = 0; row < all->rowCount(); ++row) values.push_back(all->row(row).entry.chatNum);
        return values;
    };
    browser->orderItems("总数");
    std::vector<int> shown = counts();
    EXPECT_TRUE(std::is_sorted(shown.rbegin(), shown.rend()));
    browser->orderItems("总数");
    shown = counts();
    EXPECT_TRUE(std::is_sorted(shown.begin(), shown.end()));
    EXPECT_EQ(static_cast<size_t>(all->rowCount()), rowIds(all).size());  // rows rewritten, none lost
}

// Ticked rows export their pages; select-all follows the ticks; exporting with
// nothing ticked warns and asks for no directory.
TEST_F(MainWindowTest, TickedRowsAreExported) {
    addBackup("one", {"--layout", "db", "--accounts", "1", "--profile", "tiny", "--seed", "3"});
    auto window = openWindow();
    scanToResult(*window);
    closeDialogs(window.get());
    TcmsgWidget* browser = window->tcmsg();
    int directoryQuestions = 0;
    QTemporaryDir exportRoot;
    window->chooseDirectory = [&](const QString& title) {
        EXPECT_EQ(QString("选择保存聊天记录文件目录"), title);
        ++directoryQuestions;
        return exportRoot.path();
    };

    window->exportChecked();
    EXPECT_EQ(QString("请勾选您需要导出的聊天记录"), dialogText(window.get()));
    EXPECT_EQ(0, directoryQuestions);
    closeDialogs(window.get());

    browser->hideEmptyBox()->setChecked(true);
    FriendTableModel* friends = browser->model(FriendCategory::Friend, true);
    ASSERT_GE(friends->rowCount(), 2);
    QStringList expectedPages;
    for (int row : {1, 0}) {
        friends->setData(friends->index(row, 0), Qt::Checked, Qt::CheckStateRole);
        expectedPages << friends->row(row).entry.nickName + ".html";
    }
    // The friend's other table shows the same ticks.
    FriendTableModel* allFriends = browser->model(FriendCategory::Friend, false);
    int tickedInAll = 0;
    for (int row = 0; row < allFriends->rowCount(); ++row) {
        tickedInAll += allFriends->index(row, 0).data(Qt::CheckStateRole).toInt() == Qt::Checked;
    }
    EXPECT_EQ(2, tickedInAll);
    EXPECT_EQ(friends->rowCount() == 2, browser->header()->selectAll()->isChecked());
    if (browser->unknownModel()->rowCount() > 0) {
        browser->unknownModel()->setData(browser->unknownModel()->index(0, 0), Qt::Checked, Qt::CheckStateRole);
        expectedPages << QString("未知好友%1.html").arg(browser->unknownModel()->rowId(0));
    }
    const auto items = browser->checkedItems();
    ASSERT_EQ(static_cast<size_t>(expectedPages.size()), items.size());
    EXPECT_EQ(friends->rowId(1), items[0].id);  // ticking order

    bool finished = false;
    QObject::connect(window.get(), &MainWindow::exportFinished, [&](int written, int failed) {
        EXPECT_EQ(expectedPages.size(), written);
        EXPECT_EQ(0, failed);
        finished = true;
    });
    window->exportChecked();
    EXPECT_EQ(1, directoryQuestions);
    ASSERT_NE(nullptr, window->exportDialog());
    ASSERT_TRUE(waitUntil([&] { return finished; }));
    EXPECT_EQ(nullptr, window->exportDialog());  // the finished export closes its dialog
    const QDir exported(exportRoot.path() + "/微信聊天记录恢复");
    QStringList pages = exported.entryList({"*.html"}, QDir::Files);
    pages.sort();
    // Beside the ticked conversations: the index and the scan report, and the machine-readable files.
    expectedPages << "index.html" << "report.html";
    expectedPages.sort();
    EXPECT_EQ(expectedPages, pages);
    EXPECT_TRUE(exported.exists("css"));
    for (const char* file : {"messages.csv", "messages.jsonl", "contacts.csv", "report.json"}) {
        EXPECT_TRUE(exported.exists(file)) << file;
    }

    // Select-all ticks every row of the visible table.
    browser->header()->selectAll()->click();
    EXPECT_EQ(static_cast<size_t>(friends->rowCount()) + (browser->unknownModel()->rowCount() > 0 ? 1 : 0),
              browser->checkedItems().size());
    EXPECT_TRUE(browser->header()->selectAll()->isChecked());
}

// The stop button during the message seek: the seek really ends, the result
// screen shows the partial result, and the way back to the start screen restores
// the normal window with nothing left of the scan.
TEST_F(MainWindowTest, StopDuringTheMessageSeekShowsAPartialResultAndReturnGoesBack) {
    addBackup("big", {"--layout", "db", "--accounts", "1", "--profile", "small", "--seed", "9", "--target-mb", "8"});
    auto window = openWindow(1);
    waitForList(*window, 1);
    const QSize normalSize = window->size();
    window->EnterSchedule();
    ASSERT_TRUE(waitUntil([&] { return window->schedule()->stateText() == QString("正在扫描、分析记录..."); }))
        << "the message seek was not reported";
    window->schedule()->stopButton()->click();
    ScheduleWarn* ask = openDialog<ScheduleWarn>(window.get());
    ASSERT_NE(nullptr, ask);
    EXPECT_EQ(QString("扫描进度不能被更新，你确定要停止扫描吗？"), ask->text());
    ask->accept();
    ASSERT_TRUE(waitUntil([&] { return window->currentScreen() == MainWindow::Screen::Result; }, 60000))
        << dialogText(window.get()).toStdString();
    EXPECT_TRUE(window->resultIsPartial());
    ASSERT_NE(nullptr, openDialog<CompleteTipWidget>(window.get()));
    EXPECT_EQ(QString("扫描已停止，结果不完整。"), openDialog<CompleteTipWidget>(window.get())->partialText());
    EXPECT_TRUE(window->complete()->text().startsWith("扫描已停止，结果不完整")) << window->complete()->text().toStdString();
    EXPECT_TRUE(window->complete()->reasonsText().isEmpty());
    EXPECT_GT(window->tcmsg()->model(FriendCategory::Friend, false)->rowCount(), 0);
    closeDialogs(window.get());

    window->return_main();
    CompleteWarn* confirm = openDialog<CompleteWarn>(window.get());
    ASSERT_NE(nullptr, confirm);
    EXPECT_EQ(QString("你确认要返回吗？\r\n如果返回了，扫描的结果将不会保存"), confirm->text());
    confirm->reject();
    EXPECT_EQ(MainWindow::Screen::Result, window->currentScreen());
    window->return_main();
    openDialog<CompleteWarn>(window.get())->accept();
    QCoreApplication::processEvents();
    EXPECT_EQ(MainWindow::Screen::Start, window->currentScreen());
    EXPECT_EQ(normalSize, window->size());
    EXPECT_TRUE(window->files()->isVisible());
    EXPECT_TRUE(window->upper()->maximizeButton()->isHidden());
    EXPECT_TRUE(window->files()->startButton()->isEnabled());
    EXPECT_EQ(0, window->tcmsg()->model(FriendCategory::Friend, false)->rowCount());
    EXPECT_TRUE(window->tcmsg()->checkedItems().empty());
}

// Closing the window while a scan runs stops and joins its worker first; the
// sanitizers see any access to what was freed.
TEST_F(MainWindowTest, ClosingTheWindowDuringAScanStopsItsWorker) {
    addBackup("one", {"--layout", "db", "--accounts", "1", "--profile", "tiny", "--seed", "3"});
    auto window = openWindow(1);
    waitForList(*window, 1);
    window->EnterSchedule();
    ASSERT_TRUE(waitUntil([&] { return window->currentScreen() == MainWindow::Screen::Progress; }));
    EXPECT_TRUE(window->workerBusy());
    window.reset();
    QCoreApplication::processEvents();  // reports of the stopped scan must find nothing
}

// A database file that is not an SQLite file is refused at once; one that is
// SQLite but not the messenger's fails in the recovery: its message is shown and
// the window is back at the start screen.
TEST_F(MainWindowTest, AFailedRecoveryShowsItsMessageAndReturnsToStart) {
    auto window = openWindow();
    waitForList(*window, 0);
    const QString notSqlite = root.path() + "/notes.sqlite";
    bt::writeFile(notSqlite, "just some text, not a database");
    window->EnterDBScheduleImpl(notSqlite);
    EXPECT_TRUE(dialogText(window.get()).contains("not an SQLite database")) << dialogText(window.get()).toStdString();
    EXPECT_EQ(MainWindow::Screen::Start, window->currentScreen());
    closeDialogs(window.get());

    // An SQLite file with a table of its own and none of the messenger's.
    QTemporaryDir dbDir;
    const QString other = dbDir.path() + "/other.sqlite";
    {
        RecoverySession unused;  // keeps the SQLite library initialised the same way
        QProcess sqlite;
        sqlite.start("sqlite3", {other, "CREATE TABLE notes(id INTEGER PRIMARY KEY, text TEXT); INSERT INTO notes(text) VALUES('x');"});
        ASSERT_TRUE(sqlite.waitForFinished(30000));
        ASSERT_EQ(0, sqlite.exitCode());
    }
    window->EnterDBScheduleImpl(other);
    EXPECT_FALSE(window->tcmsg()->findChild<QLabel*>("ownerName")->isVisibleTo(window->tcmsg()));
    ASSERT_TRUE(waitUntil([&] { return openDialog<SelectfileWarn>(window.get()) != nullptr; }));
    EXPECT_TRUE(dialogText(window.get()).startsWith("扫描失败：")) << dialogText(window.get()).toStdString();
    EXPECT_EQ(MainWindow::Screen::Start, window->currentScreen());
    EXPECT_TRUE(window->files()->isVisible());
    EXPECT_TRUE(window->files()->startButton()->isEnabled());
    EXPECT_FALSE(window->workerBusy());
}

// A damaged database gives a partial result: the result header and the tip say so
// and list what could not be read, as the store keeps it, one reason a line, at
// most five and the count of the rest. Names from the file reach the labels with
// their controls and direction overrides escaped, and markup stays text.
TEST_F(MainWindowTest, ADamagedDatabaseShowsWhyItsResultIsPartial) {
    const QString db = root.path() + "/MM.sqlite";
    const std::string hostile = "Chat_<b>x</b>\x1b[2J\xe2\x80\xae";
    {
        sqlite3* file = nullptr;
        ASSERT_EQ(SQLITE_OK, sqlite3_open(db.toUtf8().constData(), &file));
        std::string sql =
            std::string(wcrtest::kFriendTablesSql) +
            "INSERT INTO Friend (UsrName, NickName) VALUES ('alice', 'Alice');";
        // Conversation tables whose names are no contact's digest: each is one reason.
        std::vector<std::string> names = {hostile};
        for (int i = 1; i <= 7; ++i) names.push_back("Chat_x" + std::to_string(i));
        for (const std::string& name : names) {
            sql += "CREATE TABLE \"" + name +
                   "\"(TableVer integer default 1, MesLocalID integer primary key autoincrement, "
                   "MesSvrID integer default 0, CreateTime integer default 0, Message text, Status integer "
                   "default 0, ImgStatus integer default 2, Type integer, Des integer);"
                   "INSERT INTO \"" + name + "\" (Message) VALUES ('x');";
        }
        ASSERT_EQ(SQLITE_OK, sqlite3_exec(file, sql.c_str(), nullptr, nullptr, nullptr));
        sqlite3_close(file);
    }
    std::vector<std::string> reasons;
    {
        RecoverySession session;
        ASSERT_TRUE(session.useDatabaseFile(db.toStdString()).isOk());
        ASSERT_TRUE(session.copySource().isOk());
        ASSERT_TRUE(session.recover(2).isOk());
        talwen::wchat::StoreSummary counts;
        ASSERT_TRUE(session.summary(&counts).isOk());
        reasons = counts.partialReasons;
    }
    ASSERT_GE(reasons.size(), 8u) << ::testing::PrintToString(reasons);

    auto window = openWindow();
    waitForList(*window, 0);
    window->EnterDBScheduleImpl(db);
    ASSERT_TRUE(waitUntil([&] { return window->currentScreen() == MainWindow::Screen::Result; }))
        << dialogText(window.get()).toStdString();
    EXPECT_TRUE(window->resultIsPartial());
    EXPECT_FALSE(window->partialResult().stopped);
    EXPECT_EQ(reasons, window->partialResult().damageReasons);

    QStringList lines = window->complete()->reasonsText().split('\n');
    ASSERT_EQ(7, lines.size()) << window->complete()->reasonsText().toStdString();
    EXPECT_EQ(QString("数据库已损坏，结果不完整："), lines.front());
    EXPECT_EQ(QString("… 还有 %1 条").arg(reasons.size() - 5), lines.back());
    const QString shownHostile = QString("Chat_<b>x</b>\\x1b[2J\\u202e: chatTableName[Chat_<b>x</b>\\x1b[2J\\u202e] invalid!");
    for (int i = 1; i <= 5; ++i) {
        const std::string& reason = reasons[static_cast<size_t>(i - 1)];
        EXPECT_EQ(reason == hostile + ": chatTableName[" + hostile + "] invalid!" ? shownHostile
                                                                                 : QString::fromStdString(reason),
                  lines[i]);
    }
    EXPECT_TRUE(lines.contains(shownHostile)) << "the hostile name sorts first";
    auto* shown = window->complete()->findChild<QLabel*>("partialReasons");
    ASSERT_NE(nullptr, shown);
    EXPECT_TRUE(shown->isVisible());
    EXPECT_EQ(Qt::PlainText, shown->textFormat());
    EXPECT_EQ(QString("扫描完成，共成功恢复 %1 条已删除聊天记录。").arg(window->recoveredCount()),
              window->complete()->text());
    // The list below the header starts below the reasons.
    EXPECT_GE(window->tcmsg()->geometry().top(), window->complete()->geometry().bottom());

    CompleteTipWidget* tip = openDialog<CompleteTipWidget>(window.get());
    ASSERT_NE(nullptr, tip);
    EXPECT_EQ(window->complete()->reasonsText(), tip->partialText());
    EXPECT_EQ(Qt::PlainText, tip->findChild<QLabel*>("partial")->textFormat());
    closeDialogs(window.get());
}

// The maximised result layout: a double-click in the title area restores the
// normal size and back; the window follows a drag only in the normal size.
TEST_F(MainWindowTest, DoubleClickTogglesTheLayoutAndDraggingNeedsTheNormalSize) {
    addBackup("one", {"--layout", "db", "--accounts", "1", "--profile", "tiny", "--seed", "3"});
    auto window = openWindow();
    waitForList(*window, 1);
    const QSize normalSize = window->size();
    scanToResult(*window);
    closeDialogs(window.get());
    auto send = [&](QEvent::Type type, QPoint at, Qt::MouseButtons buttons) {
        QMouseEvent event(type, at, window->mapToGlobal(at), Qt::LeftButton, buttons, Qt::NoModifier);
        QCoreApplication::sendEvent(window.get(), &event);
    };
    auto drag = [&](QPoint by) {
        const QPoint start(400, window->height() - 2);  // the window's own margin
        send(QEvent::MouseButtonPress, start, Qt::LeftButton);
        send(QEvent::MouseMove, start + by, Qt::LeftButton);
        send(QEvent::MouseButtonRelease, start + by, Qt::NoButton);
    };
    const bool maximised = window->isMaximisedLayout();
    if (maximised) {
        const QPoint at = window->pos();
        drag(QPoint(30, 20));
        EXPECT_EQ(at, window->pos());
        send(QEvent::MouseButtonDblClick, QPoint(300, 10), Qt::LeftButton);
    }
    EXPECT_EQ(normalSize, window->size());
    const QPoint at = window->pos();
    drag(QPoint(30, 20));
    EXPECT_EQ(at + QPoint(30, 20), window->pos());
    if (maximised) {
        send(QEvent::MouseButtonDblClick, QPoint(300, 10), Qt::LeftButton);
        EXPECT_TRUE(window->isMaximisedLayout());
        send(QEvent::MouseButtonDblClick, QPoint(300, 200), Qt::LeftButton);  // below the title area
        EXPECT_TRUE(window->isMaximisedLayout());
    }
}
