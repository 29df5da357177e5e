#include "app/session/FileDigest.h"

#include <QCryptographicHash>
#include <QFile>

namespace talwen {
namespace app {

FileDigest FileDigest::of(const QString& path) {
    FileDigest digest;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return digest;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray block(1 << 20, Qt::Uninitialized);
    while (true) {
        const qint64 read = file.read(block.data(), block.size());
        if (read < 0) return digest;
        if (read == 0) break;
        hash.addData(block.constData(), static_cast<int>(read));
        digest.size += read;
    }
    digest.sha256 = QString::fromLatin1(hash.result().toHex());
    digest.ok = true;
    return digest;
}

}  // namespace app
}  // namespace talwen
