// The desktop window. Options, for trying it out and for the screenshots:
//   --data-dir DIR           working copy, pages and picture cache in DIR
//   --screenshot-tour DIR    walk through the screens and save them as PNG in DIR
//   --offline                fetch no contact picture from the network
//   --scan-db FILE           scan the database file FILE at once
//   --screenshot-result PNG  with --scan-db: save its result screen as PNG and quit

#include <QApplication>
#include <QFileInfo>
#include <QStringList>

#include "app/gui/MainWindow.h"
#include "app/gui/ScreenshotTour.h"
#include "sqldb/SqliteAssistant.h"

int main(int argc, char* argv[]) {
    talwen::sqldb::SqliteAssistant::tuneLibrary();
    // The web view shares its OpenGL context with the window.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QCoreApplication::setOrganizationName(QStringLiteral("talwen"));
    QCoreApplication::setApplicationName(QStringLiteral("wchat-recover"));
    QApplication app(argc, argv);

    talwen::app::gui::WindowOptions options;
    QString tourDir;
    QString scanDb;
    QString resultShot;
    const QStringList arguments = QCoreApplication::arguments();
    for (int i = 1; i < arguments.size(); ++i) {
        const bool valued = i + 1 < arguments.size();
        if (arguments[i] == QLatin1String("--offline")) options.offline = true;
        else if (valued && arguments[i] == QLatin1String("--data-dir")) options.dataDir = arguments[++i];
        else if (valued && arguments[i] == QLatin1String("--screenshot-tour")) tourDir = arguments[++i];
        else if (valued && arguments[i] == QLatin1String("--scan-db")) scanDb = arguments[++i];
        else if (valued && arguments[i] == QLatin1String("--screenshot-result")) resultShot = arguments[++i];
    }
    // The web engine needs a real display; without one the view shows the page's path.
    const QString platform = QGuiApplication::platformName();
    options.webView = platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
    if (!tourDir.isEmpty()) options.exportPacingMilliseconds = 800;

    talwen::app::gui::MainWindow window(options);
    window.show();
    std::unique_ptr<talwen::app::gui::ScreenshotTour> tour;
    if (!scanDb.isEmpty() && !resultShot.isEmpty()) {
        const QFileInfo shot(resultShot);
        tour = std::make_unique<talwen::app::gui::ScreenshotTour>(&window, shot.absolutePath());
        tour->startDatabaseResult(scanDb, shot.fileName());
    } else if (!tourDir.isEmpty()) {
        tour = std::make_unique<talwen::app::gui::ScreenshotTour>(&window, tourDir);
        tour->start();
    } else if (!scanDb.isEmpty()) {
        window.EnterDBScheduleImpl(scanDb);
    }
    return app.exec();
}
