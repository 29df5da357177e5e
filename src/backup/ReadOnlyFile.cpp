#include "backup/ReadOnlyFile.h"

#include "backup/InputLimits.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace talwen::backup {

namespace {

enum class Kind { Missing, Regular, Other };

Kind kindOf(const QString& path)
{
#ifdef _WIN32
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return Kind::Missing;
    return !info.isSymLink() && info.isFile() ? Kind::Regular : Kind::Other;
#else
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return Kind::Missing;
    return S_ISREG(status.st_mode) ? Kind::Regular : Kind::Other;
#endif
}

bool isDirectoryItself(const QString& path)
{
#ifdef _WIN32
    const QFileInfo info(path);
    return !info.isSymLink() && info.isDir();
#else
    struct stat status {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISDIR(status.st_mode);
#endif
}

// Opens a regular file for reading without following a link in its last
// component; the kind is checked again on the open file, so a file swapped for a
// link or a pipe after the check is not read either.
bool openRegular(const QString& path, QFile* file)
{
#ifdef _WIN32
    if (kindOf(path) != Kind::Regular)
        return false;
    file->setFileName(path);
    return file->open(QIODevice::ReadOnly) && !file->isSequential();
#else
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return false;
    }
    if (!file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
#endif
}

bool isPlainComponent(const QString& component)
{
    return !component.isEmpty() && component != QLatin1String(".") && component != QLatin1String("..") &&
           !component.contains(QLatin1Char('\\')) && !component.contains(QChar(0));
}

} // namespace

bool ReadOnlyFile::isRegularFile(const QString& path)
{
    return kindOf(path) == Kind::Regular;
}

bool ReadOnlyFile::isRegularFileInside(const QString& dir, const QString& relativeName)
{
    const QStringList components = relativeName.split(QLatin1Char('/'));
    QString path = dir;
    for (int i = 0; i < components.size(); ++i) {
        if (!isPlainComponent(components[i]))
            return false;
        path += QLatin1Char('/') + components[i];
        const bool last = i + 1 == components.size();
        if (last ? !isRegularFile(path) : !isDirectoryItself(path))
            return false;
    }
    return true;
}

std::optional<QByteArray> ReadOnlyFile::readAll(const QString& path, qint64 maxSize)
{
    const Kind kind = kindOf(path);
    if (kind == Kind::Missing)
        return std::nullopt;
    QFile file;
    if (kind != Kind::Regular || !openRegular(path, &file)) {
        qWarning().noquote() << QStringLiteral("File[") + path + QStringLiteral("] is a link or not a regular file, not read!");
        return std::nullopt;
    }
    const qint64 size = file.size();
    if (size > maxSize) {
        InputLimits::reportExceeded("Size", path, std::uint64_t(maxSize));
        return std::nullopt;
    }
    // Exactly the size found now: a file that grows meanwhile is read as it was.
    QByteArray content = file.read(size);
    if (content.size() != size || file.error() != QFileDevice::NoError)
        return std::nullopt;
    return content;
}

bool ReadOnlyFile::copyFile(const QString& source, const QString& target)
{
    QFile in;
    if (!openRegular(source, &in))
        return false;
    // Copied under a temporary name beside the target and renamed when whole, so
    // an interrupted copy never looks like the file.
    if (QFileInfo::exists(target) || QFileInfo(target).isSymLink())
        return false;
    QSaveFile out(target);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    constexpr qint64 kChunk = 1 << 20;
    while (!in.atEnd()) {
        const QByteArray chunk = in.read(kChunk);
        if (in.error() != QFileDevice::NoError || chunk.isEmpty() || out.write(chunk) != chunk.size()) {
            out.cancelWriting();
            out.commit();
            return false;
        }
    }
    return out.commit();
}

} // namespace talwen::backup
