#pragma once

#include <QString>

namespace talwen {
namespace app {

// Size and SHA-256 of a file, read in blocks so that a database of any size is
// hashed in little memory.
struct FileDigest {
    bool ok = false;  // false: the file could not be read to its end
    qint64 size = 0;
    QString sha256;   // 64 lower-case hex digits

    static FileDigest of(const QString& path);
};

}  // namespace app
}  // namespace talwen
