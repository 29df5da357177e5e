#include "app/export/ExportFileNames.h"

#include <QRegularExpression>

namespace talwen {
namespace app {

namespace {

constexpr int kMaxBaseNameBytes = 200;

bool isRefused(QChar c) {
    const ushort code = c.unicode();
    if (code < 0x20 || code == 0x7F) {
        return true;
    }
    switch (code) {
        case '/': case '\\': case '<': case '>': case ':': case '"': case '|': case '?': case '*':
            return true;
        // Direction marks and overrides make a name show otherwise than it is:
        // an override can hide the real extension.
        case 0x061C: case 0x200E: case 0x200F:
        case 0x202A: case 0x202B: case 0x202C: case 0x202D: case 0x202E:
        case 0x2066: case 0x2067: case 0x2068: case 0x2069:
            return true;
        default:
            return false;
    }
}

}  // namespace

QString ExportFileNames::safeBaseName(const QString& name) {
    QString safe;
    safe.reserve(name.size());
    for (const QChar c : name) {
        safe += isRefused(c) ? QChar('_') : c;
    }
    static const QRegularExpression kDeviceName(QStringLiteral("^(CON|PRN|AUX|NUL|COM[1-9]|LPT[1-9])(\\..*)?$"),
                                                QRegularExpression::CaseInsensitiveOption);
    // A name that is empty or begins with "." would give a hidden page file.
    if (safe.isEmpty() || safe.startsWith(QChar('.')) || kDeviceName.match(safe).hasMatch()) {
        safe.prepend(QChar('_'));
    }
    while (safe.toUtf8().size() > kMaxBaseNameBytes) {
        int cut = safe.size() - 1;
        if (cut > 0 && safe.at(cut).isLowSurrogate()) {
            --cut;  // never split a surrogate pair
        }
        safe.truncate(cut);
    }
    return safe;
}

QString ExportFileNames::claim(const QString& name) {
    const QString base = safeBaseName(name);
    QString fileName = base + QStringLiteral(".html");
    for (int n = 2; used_.count(fileName.toLower()) > 0; ++n) {
        fileName = base + QStringLiteral("_") + QString::number(n) + QStringLiteral(".html");
    }
    used_.insert(fileName.toLower());
    return fileName;
}

}  // namespace app
}  // namespace talwen
