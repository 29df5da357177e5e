#include "app/pictures/PictureCache.h"

#include <QDir>
#include <QSaveFile>

namespace talwen {
namespace app {

PictureCache::PictureCache(const QString& directory) : directory_(directory) {}

QString PictureCache::path(const QString& fileName) const {
    if (directory_.isEmpty() || fileName.isEmpty() || fileName.startsWith(QLatin1Char('.')) ||
        fileName.contains(QLatin1Char('/')) || fileName.contains(QLatin1Char('\\')) ||
        fileName.contains(QLatin1Char(':'))) {
        return QString();
    }
    return directory_ + QStringLiteral("/") + fileName;
}

bool PictureCache::save(const QString& fileName, const QImage& picture) const {
    const QString target = path(fileName);
    if (target.isEmpty() || picture.isNull() || !QDir().mkpath(directory_)) {
        return false;
    }
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    if (!picture.save(&file, "PNG")) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

}  // namespace app
}  // namespace talwen
