#include "app/store/PictureNames.h"

#include <QByteArray>

namespace talwen {
namespace app {

namespace {

constexpr int kMaxOwnerNameBytes = 128;

bool isKeptByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// Windows refuses these as file names whatever the extension.
bool isDeviceName(const QByteArray& name) {
    const QByteArray upper = name.toUpper();
    if (upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL") return true;
    return upper.size() == 4 && (upper.startsWith("COM") || upper.startsWith("LPT")) && upper[3] >= '1' &&
           upper[3] <= '9';
}

void appendEscaped(QByteArray* out, char c) {
    static const char kHex[] = "0123456789abcdef";
    const unsigned char byte = static_cast<unsigned char>(c);
    out->append('~');
    out->append(kHex[byte >> 4]);
    out->append(kHex[byte & 0x0f]);
}

}  // namespace

QString contactPictureFileName(int32_t rcFriendId) {
    return QString::number(rcFriendId) + QStringLiteral(".png");
}

QString ownerPictureFileName(const QString& usrName) {
    const QByteArray bytes = usrName.toUtf8();
    if (bytes.isEmpty() || bytes.size() > kMaxOwnerNameBytes) {
        return QString();
    }
    const bool escapeFirst = (bytes[0] >= '0' && bytes[0] <= '9') || isDeviceName(bytes);
    QByteArray name;
    for (int i = 0; i < bytes.size(); ++i) {
        if (isKeptByte(bytes[i]) && !(i == 0 && escapeFirst)) {
            name.append(bytes[i]);
        } else {
            appendEscaped(&name, bytes[i]);
        }
    }
    return QString::fromLatin1(name) + QStringLiteral(".png");
}

}  // namespace app
}  // namespace talwen
