#include "backup/InputLimits.h"

#include <QDebug>

namespace talwen::backup {

QString InputLimits::exceededText(const char* quantity, const QString& path, std::uint64_t limit)
{
    return QString::fromLatin1(quantity) + QStringLiteral(" of file[") + path + QStringLiteral("] is beyond limit[") +
           QString::number(limit) + QStringLiteral("]!");
}

void InputLimits::reportExceeded(const char* quantity, const QString& path, std::uint64_t limit)
{
    qWarning().noquote() << exceededText(quantity, path, limit);
}

} // namespace talwen::backup
