#include "app/gui/ScreenshotTour.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QScreen>
#include <QTableView>
#include <QTimer>

#include <cstdio>
#include <memory>

#include "app/gui/Dialogs.h"
#include "app/gui/FriendTableModel.h"
#include "app/gui/MainWindow.h"
#include "app/gui/PageView.h"
#include "app/gui/ProgressWidgets.h"
#include "app/gui/TcmsgWidget.h"

namespace talwen {
namespace app {
namespace gui {

namespace {

template <typename T>
T* visibleDialog(MainWindow* window) {
    for (T* dialog : window->findChildren<T*>()) {
        if (dialog->isVisible()) return dialog;
    }
    return nullptr;
}

}  // namespace

ScreenshotTour::ScreenshotTour(MainWindow* window, QString directory)
    : QObject(window), window_(window), directory_(std::move(directory)) {}

void ScreenshotTour::waitFor(const char* what, std::function<bool()> ready, std::function<void()> step,
                             int settleMs, int timeoutMs) {
    auto timer = std::make_shared<QElapsedTimer>();
    timer->start();
    auto poll = std::make_shared<std::function<void()>>();
    *poll = [this, what, ready, step, settleMs, timeoutMs, timer, poll] {
        if (ready()) {
            QTimer::singleShot(settleMs, this, step);
            *poll = nullptr;  // breaks the self-reference
            return;
        }
        if (timer->elapsed() > timeoutMs) {
            std::fprintf(stderr, "screenshot tour: %s did not come\n", what);
            finish(1);
            return;
        }
        QTimer::singleShot(20, this, *poll);
    };
    QTimer::singleShot(0, this, *poll);
}

void ScreenshotTour::save(const QString& name) {
    QScreen* screen = QGuiApplication::primaryScreen();
    const QString path = directory_ + QStringLiteral("/") + name;
    if (!screen->grabWindow(0).save(path)) std::fprintf(stderr, "screenshot tour: cannot write %s\n", qPrintable(path));
    std::fprintf(stderr, "screenshot tour: %s\n", qPrintable(path));
}

void ScreenshotTour::finish(int code) { QTimer::singleShot(0, qApp, [code] { QApplication::exit(code); }); }

void ScreenshotTour::start() {
    QDir().mkpath(directory_);
    waitFor("the backup list", [this] { return !window_->backups().empty() && window_->isVisible(); }, [this] {
        save(QStringLiteral("start.png"));
        window_->EnterSchedule();
        waitFor("the account choice", [this] { return visibleDialog<WcusersSelect>(window_) != nullptr; },
                [this] { chooseAccount(); });
    });
}

void ScreenshotTour::startDatabaseResult(const QString& database, const QString& fileName) {
    QDir().mkpath(directory_);
    waitFor("the window", [this] { return window_->isVisible(); }, [this, database, fileName] {
        window_->EnterDBScheduleImpl(database);
        waitFor("the result screen", [this] { return visibleDialog<CompleteTipWidget>(window_) != nullptr; },
                [this, fileName] {
                    save(fileName);
                    finish(0);
                },
                1500);
    });
}

void ScreenshotTour::chooseAccount() {
    WcusersSelect* choice = visibleDialog<WcusersSelect>(window_);
    save(QStringLiteral("account-choice.png"));
    choice->selectAccount(0);
    choice->accept();
    auto progressShown = [this] {
        const int percent = window_->schedule()->percent();
        return window_->currentScreen() == MainWindow::Screen::Progress && percent > 0 && percent < 90;
    };
    // The scan moves on quickly: take the screen soon after it changed.
    waitFor("the progress screen", progressShown, [this] { showResult(); }, 150);
}

void ScreenshotTour::showResult() {
    save(QStringLiteral("progress.png"));
    auto shown = std::make_shared<bool>(false);
    connect(window_->tcmsg()->pageView(), &PageView::pageShown, this, [shown] { *shown = true; });
    waitFor("the result screen", [this] { return visibleDialog<CompleteTipWidget>(window_) != nullptr; },
            [this, shown] {
                save(QStringLiteral("complete.png"));
                visibleDialog<CompleteTipWidget>(window_)->accept();
                waitFor("the conversation", [shown] { return *shown; }, [this] { exportTicked(); }, 1000);
            });
}

void ScreenshotTour::exportTicked() {
    save(QStringLiteral("result.png"));
    FriendTableModel* model = window_->tcmsg()->visibleModel();
    for (int row = 0; row < std::min(3, model->rowCount()); ++row) {
        model->setData(model->index(row, 0), Qt::Checked, Qt::CheckStateRole);
    }
    const QString exportDir = exportDir_.path();
    window_->chooseDirectory = [exportDir](const QString&) { return exportDir; };
    window_->exportChecked();
    waitFor("the export dialog", [this] { return visibleDialog<ExportSchedule>(window_) != nullptr; }, [this] {
        save(QStringLiteral("export.png"));
        waitFor("the export's end", [this] { return window_->exportDialog() == nullptr; }, [this] { finish(0); });
    });
}

}  // namespace gui
}  // namespace app
}  // namespace talwen
