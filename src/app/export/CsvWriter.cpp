#include "app/export/CsvWriter.h"

#include <QIODevice>

namespace talwen {
namespace app {

CsvWriter::CsvWriter(QIODevice* device) : device_(device) {
    ok_ = device_->write("\xEF\xBB\xBF", 3) == 3;
}

QString CsvWriter::quoteField(const QString& field) {
    bool quote = false;
    for (const QChar c : field) {
        if (c == QLatin1Char(',') || c == QLatin1Char('"') || c == QLatin1Char('\r') || c == QLatin1Char('\n')) {
            quote = true;
            break;
        }
    }
    if (!quote) return field;
    QString quoted = field;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

void CsvWriter::writeRow(const QStringList& fields) {
    QString line;
    for (int i = 0; i < fields.size(); ++i) {
        if (i > 0) line += QLatin1Char(',');
        line += quoteField(fields[i]);
    }
    line += QStringLiteral("\r\n");
    const QByteArray bytes = line.toUtf8();
    if (ok_ && device_->write(bytes) != bytes.size()) ok_ = false;
}

}  // namespace app
}  // namespace talwen
