#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

class QIODevice;

namespace talwen {
namespace app {

// Writes comma-separated values as RFC 4180 has them: CRLF after every record, a
// field quoted when it holds a comma, a double quote, CR or LF (its quotes doubled),
// everything else as it is. Texts are written as UTF-8 after a byte-order mark, so
// spreadsheet programs read the Chinese texts right. Message texts are written
// exactly, leading "=" included: the file is evidence, not a formula sheet.
class CsvWriter {
public:
    explicit CsvWriter(QIODevice* device);

    void writeRow(const QStringList& fields);
    // False once a write failed.
    bool ok() const { return ok_; }

    // One field as it is written.
    static QString quoteField(const QString& field);

private:
    QIODevice* device_;
    bool ok_ = true;
};

}  // namespace app
}  // namespace talwen
