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
    const qint64 size = file.size();
    if (size > maxSize)
        return std::nullopt;
    // Exactly the size found now: a file that grows meanwhile is read as it was.
    QByteArray content = file.read(size);
    if (content.size() != size || file.error() != QFileDevice::NoError)
        return std::nullopt;
    return content;
}

} // namespace talwen::backup
