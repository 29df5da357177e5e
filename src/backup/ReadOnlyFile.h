#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace talwen::backup {

// Reads files of a backup without changing them. Only regular files (or links to
// them) are opened, so a directory, device or pipe planted under a file's name can
// neither block nor be read; a file larger than the caller's limit is not read.
class ReadOnlyFile {
public:
    static bool isRegularFile(const QString& path);

    // The whole content, or nothing when the file is missing, not a regular file,
    // larger than maxSize bytes or unreadable.
    static std::optional<QByteArray> readAll(const QString& path, qint64 maxSize);
};

} // namespace talwen::backup
