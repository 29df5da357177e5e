// Backups built to hurt the reader: nesting deep enough to overflow the stack of
// a recursive parser, property lists that expand to gigabytes, links and pipes
// planted under a file's name, and manifests beyond any real size.
#include "BackupTestSupport.h"

#include "backup/BackupManager.h"
#include "backup/InputLimits.h"
#include "backup/ManifestDb.h"
#include "backup/MbdbParser.h"
#include "backup/PropertyList.h"
#include "backup/ReadOnlyFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

namespace talwen::backup {
namespace {

using Refusal = PropertyList::Refusal;
using test::writeFile;

// Deep enough to overflow the main thread's stack in the DOM and in libplist.
constexpr int kHostileDepth = 50000;

// Collects Qt warnings while it lives.
class WarningCatcher {
public:
    WarningCatcher() { previous_ = qInstallMessageHandler(&WarningCatcher::handle); }
    ~WarningCatcher() { qInstallMessageHandler(previous_); }

    static std::vector<std::string> take()
    {
        std::lock_guard<std::mutex> lock(mutex());
        std::vector<std::string> taken;
        taken.swap(lines());
        return taken;
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext&, const QString& message)
    {
        if (type != QtWarningMsg)
            return;
        std::lock_guard<std::mutex> lock(mutex());
        lines().push_back(message.toStdString());
    }
    static std::vector<std::string>& lines()
    {
        static std::vector<std::string> caught;
        return caught;
    }
    static std::mutex& mutex()
    {
        static std::mutex m;
        return m;
    }
    QtMessageHandler previous_ = nullptr;
};

QByteArray nestedXmlPlist(int depth)
{
    return "<?xml version=\"1.0\"?><plist>" + QByteArray("<array>").repeated(depth) +
           QByteArray("</array>").repeated(depth) + "</plist>";
}

void appendBigEndian(QByteArray* out, quint64 value, int width)
{
    for (int i = width - 1; i >= 0; --i)
        out->append(char((value >> (8 * i)) & 0xFF));
}

// A binary property list of `arrays` arrays, each referring `refs` times to the
// next one, the last one to a string of `leafBytes` letters. One reference each
// nests them; two each expand to 2^arrays copies of the string.
QByteArray chainedBinaryPlist(int arrays, int refs, int leafBytes = 1)
{
    QByteArray out = "bplist00";
    std::vector<quint64> offsets;
    for (int i = 0; i < arrays; ++i) {
        offsets.push_back(quint64(out.size()));
        out.append(char(0xA0 | refs));
        for (int r = 0; r < refs; ++r)
            appendBigEndian(&out, quint64(i + 1), 4);
    }
    offsets.push_back(quint64(out.size()));
    if (leafBytes < 15) {
        out.append(char(0x50 | leafBytes));
    } else {
        out.append(char(0x5F));
        out.append(char(0x12));
        appendBigEndian(&out, quint64(leafBytes), 4);
    }
    out.append(QByteArray(leafBytes, 'x'));
    const quint64 table = quint64(out.size());
    for (quint64 offset : offsets)
        appendBigEndian(&out, offset, 4);
    out.append(QByteArray(6, '\0'));
    out.append(char(4)); // offset width
    out.append(char(4)); // reference width
    appendBigEndian(&out, offsets.size(), 8);
    appendBigEndian(&out, 0, 8);
    appendBigEndian(&out, table, 8);
    return out;
}

QByteArray settingsPlist(const QByteArray& userName)
{
    return test::xmlPlist("<dict><key>$objects</key><array><string>$null</string><string>" + userName +
                          "</string><string>nick</string></array></dict>");
}

// A Manifest.db listing one settings file per given account directory, each under
// "<first two digits>/<fileID>".
void writeManifestDb(const QString& backup, const std::vector<std::pair<std::string, std::string>>& settings)
{
    ASSERT_TRUE(QDir().mkpath(backup));
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((backup + "/Manifest.db").toUtf8().constData(), &db), SQLITE_OK);
    std::string sql = "CREATE TABLE Files (fileID TEXT PRIMARY KEY, domain TEXT, relativePath TEXT, flags INTEGER,"
                      " file BLOB);";
    for (const auto& [fileId, accountDir] : settings)
        sql += "INSERT INTO Files VALUES ('" + fileId + "', '" + BackupManager::kMessengerDomain + "', 'Documents/" +
               accountDir + "/mmsetting.archive', 1, NULL);";
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

std::string fileIdOf(char digit)
{
    return std::string(40, digit);
}

TEST(HostileBackupTest, DeepNestingLeavesOnlyItsOwnBackupOutOfTheList)
{
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const QString root = temp.path();
    const QByteArray info = test::infoPlist("<key>Device Name</key><string>phone</string>");
    writeFile(root + "/a-plain/Info.plist", info);
    writeFile(root + "/b-deep-info/Info.plist", nestedXmlPlist(kHostileDepth));
    writeFile(root + "/c-deep-manifest-xml/Info.plist", info);
    writeFile(root + "/c-deep-manifest-xml/Manifest.plist", nestedXmlPlist(kHostileDepth));
    writeFile(root + "/d-deep-manifest-binary/Info.plist", info);
    writeFile(root + "/d-deep-manifest-binary/Manifest.plist", chainedBinaryPlist(kHostileDepth, 1));
    writeFile(root + "/e-bomb-manifest/Info.plist", info);
    writeFile(root + "/e-bomb-manifest/Manifest.plist", chainedBinaryPlist(40, 2));
    const test::DirectorySnapshot before = test::snapshot(root);

    WarningCatcher catcher;
    WarningCatcher::take();
    BackupManager manager;
    ASSERT_TRUE(manager.scanBackupRoots({root.toStdString()}));
    std::vector<std::string> listed;
    for (const BackupInfo& backup : manager.backups()) {
        listed.push_back(QDir(QString::fromStdString(backup.path)).dirName().toStdString());
        EXPECT_EQ(backup.deviceName, "phone");
        EXPECT_FALSE(backup.encrypted);
    }
    EXPECT_EQ(listed, (std::vector<std::string>{"a-plain", "c-deep-manifest-xml", "d-deep-manifest-binary",
                                                "e-bomb-manifest"}));

    const std::string limit = std::to_string(InputLimits::kMaxNestingDepth);
    EXPECT_EQ(WarningCatcher::take(),
              (std::vector<std::string>{
                  "Nesting depth of file[" + root.toStdString() + "/b-deep-info/Info.plist] is beyond limit[" + limit + "]!",
                  "Nesting depth of file[" + root.toStdString() + "/c-deep-manifest-xml/Manifest.plist] is beyond limit[" +
                      limit + "]!",
                  "Nesting depth of file[" + root.toStdString() +
                      "/d-deep-manifest-binary/Manifest.plist] is beyond limit[" + limit + "]!",
                  "Expanded object count of file[" + root.toStdString() +
                      "/e-bomb-manifest/Manifest.plist] is beyond limit[" +
                      std::to_string(InputLimits::kMaxPlistObjects) + "]!",
              }));
    EXPECT_TRUE(before == test::snapshot(root));
}

TEST(HostileBackupTest, SettingsBeyondTheLimitsAreRefusedAndTheOtherAccountsRead)
{
    struct Case {
        const char* name;
        QByteArray content;
        Refusal refusal;
    };
    QByteArray cycle = chainedBinaryPlist(2, 1);
    cycle[8 + 5 + 4] = 0; // the second array refers back to the first
    const Case cases[] = {
        {"xml nested beyond the limit", nestedXmlPlist(kHostileDepth), Refusal::TooDeep},
        {"xml nested to the limit", nestedXmlPlist(InputLimits::kMaxNestingDepth - 1), Refusal::None},
        {"xml nested one beyond", nestedXmlPlist(InputLimits::kMaxNestingDepth), Refusal::TooDeep},
        {"binary nested beyond the limit", chainedBinaryPlist(kHostileDepth, 1), Refusal::TooDeep},
        {"binary nested to the limit", chainedBinaryPlist(InputLimits::kMaxNestingDepth - 2, 1), Refusal::None},
        {"binary nested one beyond", chainedBinaryPlist(InputLimits::kMaxNestingDepth - 1, 1), Refusal::TooDeep},
        {"binary arrays each referring twice to the next", chainedBinaryPlist(40, 2), Refusal::TooManyObjects},
        {"binary string referred to 2^7 times", chainedBinaryPlist(7, 2, 1 << 20), Refusal::TooManyBytes},
        {"binary string referred to 2^2 times", chainedBinaryPlist(2, 2, 1 << 20), Refusal::None},
        {"binary reference cycle", cycle, Refusal::Malformed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Refusal refusal = Refusal::None;
        const auto settings = BackupManager::parseAccountSettings(c.content, &refusal);
        EXPECT_EQ(refusal, c.refusal);
        EXPECT_EQ(settings.has_value(), c.refusal == Refusal::None);
        if (PropertyList::isBinary(c.content)) {
            EXPECT_EQ(PropertyList::checkBinary(c.content), c.refusal);
        }
    }

    // In a backup, the refused file costs only its own account.
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const QString backup = temp.path();
    writeManifestDb(backup, {{fileIdOf('1'), std::string(32, 'a')}, {fileIdOf('2'), std::string(32, 'b')}});
    writeFile(backup + "/11/" + QString::fromStdString(fileIdOf('1')), chainedBinaryPlist(40, 2));
    writeFile(backup + "/22/" + QString::fromStdString(fileIdOf('2')), settingsPlist("bob"));
    const test::DirectorySnapshot before = test::snapshot(backup);

    WarningCatcher catcher;
    WarningCatcher::take();
    BackupManager manager;
    ASSERT_TRUE(manager.loadManifest(backup.toStdString()));
    manager.locateMessengerFiles(backup.toStdString());
    manager.readAccountSettings();
    ASSERT_EQ(manager.accountSettings().size(), 1u);
    EXPECT_EQ(manager.accountSettings().begin()->second.userName, "bob");
    EXPECT_EQ(WarningCatcher::take(),
              std::vector<std::string>{"Expanded object count of file[" + backup.toStdString() + "/11/" +
                                       fileIdOf('1') + "] is beyond limit[" +
                                       std::to_string(InputLimits::kMaxPlistObjects) + "]!"});
    EXPECT_TRUE(before == test::snapshot(backup));
}

// A link, pipe or directory under a file's name is never opened: a link could
// lead to any file of this computer, a pipe would block the reader for ever.
TEST(HostileBackupTest, LinksPipesAndDirectoriesInABackupAreNeverRead)
{
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const QString outside = temp.filePath("outside");
    writeFile(outside + "/settings", settingsPlist("host"));
    writeFile(outside + "/Info.plist", test::infoPlist("<key>Device Name</key><string>host</string>"));
    ASSERT_TRUE(QDir().mkpath(outside + "/dir"));
    writeFile(outside + "/dir/" + QString::fromStdString(fileIdOf('6')), settingsPlist("host"));

    const QString backup = temp.filePath("backup");
    writeManifestDb(backup, {{fileIdOf('1'), std::string(32, 'a')},
                             {fileIdOf('2'), std::string(32, 'b')},
                             {fileIdOf('3'), std::string(32, 'c')},
                             {fileIdOf('4'), std::string(32, 'd')},
                             {fileIdOf('6'), std::string(32, 'f')}});
    auto stored = [&](char digit) {
        return backup + "/" + QString(2, QChar(digit)) + "/" + QString::fromStdString(fileIdOf(digit));
    };
    writeFile(stored('1'), settingsPlist("genuine"));
    ASSERT_TRUE(QDir().mkpath(backup + "/22"));
    ASSERT_TRUE(QFile::link(outside + "/settings", stored('2')));
    ASSERT_TRUE(QDir().mkpath(backup + "/33"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(stored('3')).constData(), 0600), 0);
    ASSERT_TRUE(QDir().mkpath(stored('4')));
    ASSERT_TRUE(QFile::link(outside + "/dir", backup + "/66"));
    ASSERT_TRUE(QFile::link(outside + "/Info.plist", backup + "/Info.plist"));

    BackupManager manager;
    EXPECT_FALSE(manager.addBackup(backup.toStdString()));
    ASSERT_TRUE(manager.loadManifest(backup.toStdString()));
    manager.locateMessengerFiles(backup.toStdString());
    ASSERT_EQ(manager.settingsFiles().size(), 5u);
    manager.readAccountSettings();
    ASSERT_EQ(manager.accountSettings().size(), 1u);
    EXPECT_EQ(manager.accountSettings().begin()->second.userName, "genuine");

    // A manifest that is a link is not read either.
    const QString linked = temp.filePath("linked-manifest");
    ASSERT_TRUE(QDir().mkpath(linked));
    ASSERT_TRUE(QFile::link(backup + "/Manifest.db", linked + "/Manifest.db"));
    ASSERT_TRUE(manager.loadManifest(linked.toStdString()));
    EXPECT_TRUE(manager.manifests().at(linked.toStdString()).empty());

    // Names that would leave the directory are refused before any file is looked at.
    for (const char* name : {"", "/etc/passwd", "../outside/settings", "11/../11/" "1111111111111111111111111111111111111111",
                             "11//1111111111111111111111111111111111111111", "11\\x", "."}) {
        EXPECT_FALSE(ReadOnlyFile::isRegularFileInside(backup, QString::fromLatin1(name))) << name;
    }
    EXPECT_TRUE(ReadOnlyFile::isRegularFileInside(backup, "11/" + QString::fromStdString(fileIdOf('1'))));
}

TEST(HostileBackupTest, ManifestsAreBoundedInSizeAndRecords)
{
    const std::string messenger = BackupManager::kMessengerDomain;
    test::MbdbBuilder builder;
    for (int i = 0; i < 4; ++i) {
        builder.record("HomeDomain", QByteArray("Library/other") + QByteArray::number(i));
        builder.record(QByteArray::fromStdString(messenger), QByteArray("Documents/file") + QByteArray::number(i));
    }
    const auto* data = reinterpret_cast<const std::uint8_t*>(builder.bytes().constData());
    const std::size_t size = std::size_t(builder.bytes().size());
    struct Case {
        std::string domain;
        std::size_t maxRecords;
        std::size_t kept;
        bool overLimit;
    };
    for (const Case& c : {Case{"", 8, 8, false}, Case{"", 7, 7, true}, Case{messenger, 4, 4, false},
                          Case{messenger, 3, 3, true}, Case{"NoSuchDomain", 0, 0, false}}) {
        SCOPED_TRACE(c.domain + " " + std::to_string(c.maxRecords));
        bool overLimit = !c.overLimit;
        const auto records = MbdbParser::parse(data, size, MbdbParser::Selection{c.domain, c.maxRecords}, &overLimit);
        EXPECT_EQ(records.size(), c.kept);
        EXPECT_EQ(overLimit, c.overLimit);
        for (const MbdbRecord& record : records)
            EXPECT_TRUE(c.domain.empty() || record.domain == c.domain);
    }

    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const QString backup = temp.path();
    writeFile(backup + "/Manifest.mbdb", builder.bytes());
    BackupManager manager;
    ASSERT_TRUE(manager.loadManifest(backup.toStdString()));
    EXPECT_EQ(manager.manifests().at(backup.toStdString()).size(), 4u); // the messenger's records only
    EXPECT_EQ(BackupManager::parseManifest((backup + "/Manifest.mbdb").toStdString()).size(), 8u);

    // The same bound on the rows of a Manifest.db.
    const QString dbBackup = temp.filePath("db");
    writeManifestDb(dbBackup, {{fileIdOf('1'), std::string(32, 'a')},
                               {fileIdOf('2'), std::string(32, 'b')},
                               {fileIdOf('3'), std::string(32, 'c')}});
    const std::string dbPath = (dbBackup + "/Manifest.db").toStdString();
    for (const Case& c : {Case{messenger, 3, 3, false}, Case{messenger, 2, 2, true}, Case{"HomeDomain", 0, 0, false}}) {
        SCOPED_TRACE("db " + c.domain + " " + std::to_string(c.maxRecords));
        bool overLimit = !c.overLimit;
        EXPECT_EQ(ManifestDb::readFiles(dbPath, c.domain, c.maxRecords, &overLimit).size(), c.kept);
        EXPECT_EQ(overLimit, c.overLimit);
    }

    // A file beyond the size limit is not read at all (sparse: no disk is used).
    {
        QFile file(backup + "/Manifest.mbdb");
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        ASSERT_TRUE(file.resize(InputLimits::kMaxManifestMbdbBytes + 1));
    }
    WarningCatcher catcher;
    WarningCatcher::take();
    EXPECT_TRUE(BackupManager::parseManifest((backup + "/Manifest.mbdb").toStdString()).empty());
    EXPECT_EQ(WarningCatcher::take(), std::vector<std::string>{"Size of file[" + backup.toStdString() +
                                                               "/Manifest.mbdb] is beyond limit[" +
                                                               std::to_string(InputLimits::kMaxManifestMbdbBytes) +
                                                               "]!"});
}

} // namespace
} // namespace talwen::backup
