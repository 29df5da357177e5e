#include "backup/ReadOnlyFile.h"

#include <QFile>
#include <QFileInfo>

namespace talwen::backup {

bool ReadOnlyFile::isRegularFile(const QString& path)
{
    // QFileInfo::isFile() is false for directories and for pipes and devices
    // (Qt reports those as sequential files); links are followed.
    const QFileInfo info(path);
    return info.exists() && info.isFile();
}

std::optional<QByteArray> ReadOnlyFile::readAll(const QString& path, qint64 maxSize)
{
    if (!isRegularFile(path))
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.isSequential())
        return std::nullopt;
    if (file.size() > maxSize)
        return std::nullopt;
    // Read one byte more than allowed to notice a file that grew after size().
    QByteArray content = file.read(maxSize + 1);
    if (content.size() > maxSize || file.error() != QFileDevice::NoError)
        return std::nullopt;
    return content;
}

} // namespace talwen::backup
