#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace talwen::backup::test {

// Writes a file (creating its directories); fails the test on error.
void writeFile(const QString& path, const QByteArray& content);
QByteArray readFile(const QString& path);

// Every file below a directory: relative path -> content and modification time.
// Two snapshots compare equal only when no file was added, removed or changed.
struct DirectorySnapshot {
    std::map<QString, std::pair<QByteArray, qint64>> files;
    bool operator==(const DirectorySnapshot& other) const { return files == other.files; }
};
DirectorySnapshot snapshot(const QString& directory);

// Runs tools/gen_backup.py with the given arguments (besides --out) into
// backupDir and returns its JSON summary; fails the test when the tool fails.
QJsonObject generateBackup(const QString& backupDir, const QStringList& arguments);

// Builds the bytes of a Manifest.mbdb record by record and remembers where each
// record ends, so a test can cut the file anywhere and know what must survive.
class MbdbBuilder {
public:
    MbdbBuilder();

    // A length-framed field; an empty QByteArray is written as length 0xFFFF.
    MbdbBuilder& field(const QByteArray& data);
    // A length-framed field of length 0 (not 0xFFFF).
    MbdbBuilder& zeroLengthField();
    MbdbBuilder& raw(const QByteArray& data);
    // 40 fixed bytes with the given protection class and property count bytes.
    MbdbBuilder& fixed(unsigned char protectionClass, unsigned char propertyCount);
    // Marks the end of the record written since the last mark.
    MbdbBuilder& endRecord();

    // A whole simple record: domain, path, empty link target, data hash and key,
    // fixed bytes, and the given properties.
    MbdbBuilder& record(const QByteArray& domain, const QByteArray& path,
                        const std::vector<std::pair<QByteArray, QByteArray>>& properties = {});

    const QByteArray& bytes() const { return bytes_; }
    const std::vector<std::size_t>& recordEnds() const { return ends_; }

private:
    QByteArray bytes_;
    std::vector<std::size_t> ends_;
};

// Where an mbdb backup stores a device file: SHA-1 of domain + "-" + path.
std::string mbdbFileName(const std::string& domain, const std::string& path);

// A minimal Info.plist with the given top-level dictionary body.
QByteArray infoPlist(const QByteArray& dictionaryBody);

// A plist XML document with the given top-level body.
QByteArray xmlPlist(const QByteArray& body);

} // namespace talwen::backup::test
