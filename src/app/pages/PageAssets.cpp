#include "app/pages/PageAssets.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>

// Resources of a static library must be registered by name, outside any namespace.
static void initPageAssetResources() {
    Q_INIT_RESOURCE(page_assets);
}

namespace talwen {
namespace app {

namespace {

const char* const kResourceRoot = ":/page-assets/temp";

}  // namespace

QStringList PageAssets::files() {
    initPageAssetResources();
    QStringList names;
    const QString root = QString::fromLatin1(kResourceRoot);
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        names << it.next().mid(root.size() + 1);
    }
    names.sort();
    return names;
}

bool PageAssets::install(const QString& workingDir) {
    const QString target = workingDir + QStringLiteral("/temp/");
    bool ok = true;
    for (const QString& name : files()) {
        const QString path = target + name;
        ok = QDir().mkpath(path.left(path.lastIndexOf(QLatin1Char('/')))) && ok;
        QFile::remove(path);
        if (!QFile::copy(QString::fromLatin1(kResourceRoot) + QStringLiteral("/") + name, path)) {
            ok = false;
            continue;
        }
        // Copies from resources are read-only; the viewer and exports may replace them later.
        QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::WriteOwner);
    }
    return ok;
}

}  // namespace app
}  // namespace talwen
