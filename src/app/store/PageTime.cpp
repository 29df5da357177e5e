#include "app/store/PageTime.h"

#include <QDateTime>
#include <QStringList>

namespace talwen {
namespace app {

namespace {

const char* const kTimeFormat = "yyyy-MM-dd HH:mm:ss";

QDateTime pageTime(int64_t seconds, bool utc) {
    return QDateTime::fromSecsSinceEpoch(seconds, utc ? Qt::UTC : Qt::LocalTime);
}

}  // namespace

QString pageTimeText(int64_t seconds, bool utc) {
    const QDateTime time = pageTime(seconds, utc);
    return time.isValid() ? time.toString(QLatin1String(kTimeFormat)) : QString();
}

int pageUtcOffset(int64_t seconds, bool utc) {
    if (utc) return 0;
    const QDateTime time = pageTime(seconds, false);
    return time.isValid() ? time.offsetFromUtc() : 0;
}

QString isoUtcText(int64_t seconds) {
    const QDateTime time = QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC);
    return time.isValid() ? time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ")) : QString();
}

QString utcOffsetText(int offsetSeconds) {
    const QChar sign = offsetSeconds < 0 ? QLatin1Char('-') : QLatin1Char('+');
    const int minutes = (offsetSeconds < 0 ? -offsetSeconds : offsetSeconds) / 60;
    return QStringLiteral("%1%2:%3").arg(sign).arg(minutes / 60, 2, 10, QLatin1Char('0')).arg(minutes % 60, 2, 10,
                                                                                            QLatin1Char('0'));
}

QString zoneNote(const std::set<int>& offsets, bool utc) {
    if (utc) return QStringLiteral("UTC");
    if (offsets.empty()) return QStringLiteral("UTC") + utcOffsetText(QDateTime::currentDateTime().offsetFromUtc());
    QStringList parts;
    for (int offset : offsets) parts << QStringLiteral("UTC") + utcOffsetText(offset);
    return parts.join(QStringLiteral(" / "));
}

bool parseLocalTimeText(const QString& text, int64_t* seconds) {
    QDateTime time = QDateTime::fromString(text, QLatin1String(kTimeFormat));
    if (!time.isValid()) return false;
    time.setTimeSpec(Qt::LocalTime);
    *seconds = time.toSecsSinceEpoch();
    return true;
}

}  // namespace app
}  // namespace talwen
