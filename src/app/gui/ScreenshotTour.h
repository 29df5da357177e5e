#pragma once

#include <QObject>
#include <QString>
#include <QTemporaryDir>

#include <functional>

namespace talwen {
namespace app {
namespace gui {

class MainWindow;

// Drives the window through its screens on the first listed backup and saves each
// as a PNG: start, account choice, progress, result with a conversation, export;
// or only the result of one database file.
// Quits the application when done (exit code 1 when a step did not come).
class ScreenshotTour : public QObject {
    Q_OBJECT
public:
    ScreenshotTour(MainWindow* window, QString directory);
    void start();
    // Scans the database file instead and saves only its result screen, with the
    // tip, as `fileName` (a damaged database shows why its result is partial).
    void startDatabaseResult(const QString& database, const QString& fileName);

private:
    // Calls `step` once `ready` holds, polling; gives up after `timeoutMs`.
    // `settleMs` lets the screen paint before the step takes it.
    void waitFor(const char* what, std::function<bool()> ready, std::function<void()> step, int settleMs = 600,
                 int timeoutMs = 120000);
    void chooseAccount();
    void showResult();
    void exportTicked();
    void save(const QString& name);
    void finish(int code);

    MainWindow* window_;
    QString directory_;
    QTemporaryDir exportDir_;  // the export shown is written here and removed
};

}  // namespace gui
}  // namespace app
}  // namespace talwen
