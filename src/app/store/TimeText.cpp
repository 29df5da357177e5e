#include "app/store/TimeText.h"

#include <QDateTime>
#include <QTimeZone>

namespace talwen {
namespace app {

QString formatUtcTime(int64_t seconds) {
    const QDateTime time = QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC);
    if (!time.isValid()) {
        return QString();
    }
    return time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

int yearOfTimeText(const QString& text) {
    bool ok = false;
    const int year = text.left(4).toInt(&ok);
    return ok ? year : 0;
}

}  // namespace app
}  // namespace talwen
