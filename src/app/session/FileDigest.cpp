#include "app/session/FileDigest.h"

#include <QFile>

#include <openssl/evp.h>

#include <memory>

namespace talwen {
namespace app {

namespace {

struct DigestContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

// libcrypto's SHA-256 uses the processor's SHA instructions where there are some:
// a database is hashed three times per scan (before, its copy, after), so the
// hash is a large share of a scan's time with a plain implementation.
FileDigest FileDigest::of(const QString& path) {
    FileDigest digest;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return digest;
    const std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return digest;
    QByteArray block(1 << 20, Qt::Uninitialized);
    while (true) {
        const qint64 read = file.read(block.data(), block.size());
        if (read < 0) return digest;
        if (read == 0) break;
        if (EVP_DigestUpdate(context.get(), block.constData(), static_cast<size_t>(read)) != 1) return digest;
        digest.size += read;
    }
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), value, &length) != 1) return digest;
    digest.sha256 = QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(value), static_cast<int>(length)).toHex());
    digest.ok = true;
    return digest;
}

}  // namespace app
}  // namespace talwen
