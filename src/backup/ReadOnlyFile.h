#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace talwen::backup {

// Reads files of a backup without changing them. Only regular files are opened,
// never through a symbolic link (lstat, O_NOFOLLOW) and never a directory, device
// or pipe: a link planted in a backup could pull any file of this computer into a
// report, and a pipe would block the reader forever. A file larger than the
// caller's limit is not read.
class ReadOnlyFile {
public:
    // True when path is a regular file itself, not a link to one.
    static bool isRegularFile(const QString& path);

    // True when relativeName ("name" or "dir/name", as a manifest gives it) is a
    // regular file below dir: no component is empty, ".", "..", holds "\" or is a
    // link, and every component before the last is a directory.
    static bool isRegularFileInside(const QString& dir, const QString& relativeName);

    // The whole content, or nothing when the file is missing, a link, not a
    // regular file, larger than maxSize bytes (with a warning) or unreadable.
    static std::optional<QByteArray> readAll(const QString& path, qint64 maxSize);

    // Copies the regular file source (not a link) to target, which must not exist
    // yet. False, with no target left behind, when either is not possible.
    static bool copyFile(const QString& source, const QString& target);
};

} // namespace talwen::backup
