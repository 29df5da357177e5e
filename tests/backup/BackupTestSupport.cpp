#include "BackupTestSupport.h"

#include "backup/Sha1.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>

#include <gtest/gtest.h>

namespace talwen::backup::test {

void writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(file.write(content), content.size());
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

DirectorySnapshot snapshot(const QString& directory)
{
    DirectorySnapshot result;
    const QDir base(directory);
    QDirIterator it(directory, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        const QByteArray content = info.isDir() ? QByteArray("<dir>") : readFile(path);
        result.files[base.relativeFilePath(path)] = {content, info.lastModified().toMSecsSinceEpoch()};
    }
    return result;
}

QJsonObject generateBackup(const QString& backupDir, const QStringList& arguments)
{
    QProcess process;
    QStringList args{QStringLiteral(WCR_TOOLS_DIR "/gen_backup.py"), QStringLiteral("--out"), backupDir};
    args += arguments;
    process.start(QStringLiteral("python3"), args);
    const bool finished = process.waitForFinished(120000);
    EXPECT_TRUE(finished) << "gen_backup.py did not finish";
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    QJsonParseError error{};
    const QJsonDocument summary = QJsonDocument::fromJson(process.readAllStandardOutput(), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
    return summary.object();
}

MbdbBuilder::MbdbBuilder() : bytes_("mbdb\x05\x00", 6) {}

MbdbBuilder& MbdbBuilder::field(const QByteArray& data)
{
    if (data.isEmpty())
        return raw(QByteArray("\xff\xff", 2));
    const int size = data.size();
    bytes_.append(char((size >> 8) & 0xFF)).append(char(size & 0xFF)).append(data);
    return *this;
}

MbdbBuilder& MbdbBuilder::zeroLengthField()
{
    return raw(QByteArray(2, '\0'));
}

MbdbBuilder& MbdbBuilder::raw(const QByteArray& data)
{
    bytes_.append(data);
    return *this;
}

MbdbBuilder& MbdbBuilder::fixed(unsigned char protectionClass, unsigned char propertyCount)
{
    QByteArray bytes(40, '\0');
    for (int i = 0; i < 38; ++i)
        bytes[i] = char(i);
    bytes[38] = char(protectionClass);
    bytes[39] = char(propertyCount);
    return raw(bytes);
}

MbdbBuilder& MbdbBuilder::endRecord()
{
    ends_.push_back(std::size_t(bytes_.size()));
    return *this;
}

MbdbBuilder& MbdbBuilder::record(const QByteArray& domain, const QByteArray& path,
                                 const std::vector<std::pair<QByteArray, QByteArray>>& properties)
{
    field(domain).field(path).field(QByteArray()).field(QByteArray()).field(QByteArray());
    fixed(4, static_cast<unsigned char>(properties.size()));
    for (const auto& [name, value] : properties)
        field(name).field(value);
    return endRecord();
}

std::string mbdbFileName(const std::string& domain, const std::string& path)
{
    return Sha1::hexDigest(domain + "-" + path);
}

QByteArray infoPlist(const QByteArray& dictionaryBody)
{
    return xmlPlist("<dict>" + dictionaryBody + "</dict>");
}

QByteArray xmlPlist(const QByteArray& body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n" +
           body + "\n</plist>\n";
}

} // namespace talwen::backup::test
