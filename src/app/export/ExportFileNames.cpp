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
    if (kDeviceName.match(safe).hasMatch()) {
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
