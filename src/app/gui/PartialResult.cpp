#include "app/gui/PartialResult.h"

#include <QChar>
#include <QLatin1Char>
#include <QVector>

#include <algorithm>

namespace talwen {
namespace app {
namespace gui {

QString escapedForDisplay(const std::string& utf8) {
    QString shown;
    // Malformed bytes decode as U+FFFD, which is visible.
    const QVector<uint> codePoints = QString::fromStdString(utf8).toUcs4();
    shown.reserve(codePoints.size());
    for (const uint codePoint : codePoints) {
        switch (QChar::category(codePoint)) {
        case QChar::Other_Control:
        case QChar::Other_Format:
        case QChar::Other_Surrogate:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            shown += codePoint < 0x80 ? QStringLiteral("\\x%1").arg(codePoint, 2, 16, QLatin1Char('0'))
                                      : QStringLiteral("\\u%1").arg(codePoint, 4, 16, QLatin1Char('0'));
            break;
        default:
            shown += QString::fromUcs4(&codePoint, 1);
        }
    }
    return shown;
}

QString damageReasonsText(const std::vector<std::string>& reasons) {
    if (reasons.empty()) return QString();
    QString text = QStringLiteral("数据库已损坏，结果不完整：");
    const size_t shown = std::min(reasons.size(), static_cast<size_t>(kShownDamageReasons));
    for (size_t i = 0; i < shown; ++i) text += QLatin1Char('\n') + escapedForDisplay(reasons[i]);
    if (reasons.size() > shown) {
        text += QStringLiteral("\n… 还有 %1 条").arg(reasons.size() - shown);
    }
    return text;
}

}  // namespace gui
}  // namespace app
}  // namespace talwen
