#include "BackupTestSupport.h"

#include "backup/BackupManager.h"
#include "backup/ManifestDb.h"
#include "backup/PropertyList.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sqlite3.h>

#include <random>
#include <set>

namespace talwen::backup {
namespace {

using Outcome = BackupManager::LocateOutcome;
using test::writeFile;

const std::string kAccountA = "Documents/aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa";
const std::string kAccountB = "Documents/bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb";
const std::string kAccountC = "Documents/cccccccccccccccccccccccccccccccc";
const std::string kAccountD = "Documents/dddddddddddddddddddddddddddddddd";
const std::string kAccountE = "Documents/eeeeeeeeeeeeeeeeeeeeeeeeeeeeeeee";

QByteArray binaryPlist(const QByteArray& xml)
{
    plist_t root = nullptr;
    plist_from_xml(xml.constData(), uint32_t(xml.size()), &root);
    EXPECT_NE(root, nullptr);
    char* bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &bin, &length);
    QByteArray out(bin, int(length));
    free(bin);
    plist_free(root);
    return out;
}

QByteArray settingsXml(const QByteArray& userName)
{
    QByteArray strings = "<string>$null</string><string>" + userName + "</string><string>nick-" + userName +
                         "</string>";
    return test::xmlPlist("<dict><key>$objects</key><array>" + strings +
                          "<string>http://host/" + userName + "/132</string></array></dict>");
}

// A backup with a Manifest.mbdb whose files lie under their SHA-1 names.
struct MbdbFile {
    std::string domain;
    std::string path;
    QByteArray content;
    bool present = true;
};

void writeMbdbBackup(const QString& dir, const std::vector<MbdbFile>& files)
{
    test::MbdbBuilder builder;
    for (const MbdbFile& f : files) {
        builder.record(QByteArray::fromStdString(f.domain), QByteArray::fromStdString(f.path));
        if (f.present)
            writeFile(dir + "/" + QString::fromStdString(test::mbdbFileName(f.domain, f.path)), f.content);
    }
    writeFile(dir + "/Manifest.mbdb", builder.bytes());
    writeFile(dir + "/Info.plist", test::infoPlist("<key>Device Name</key><string>crafted</string>"));
}

std::set<std::string> fileNames(const std::vector<MbdbRecord>& records)
{
    std::set<std::string> names;
    for (const MbdbRecord& r : records)
        names.insert(r.fileName + " " + r.domain + " " + r.path);
    return names;
}

TEST(DamagedBackupTest, SettingsFilesThatAreNotBinaryPlistsAreParsedAsXmlOrSkipped)
{
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const std::string domain = BackupManager::kMessengerDomain;
    writeMbdbBackup(temp.path(),
                    {
                        {domain, kAccountA + "/mmsetting.archive", QByteArray("bplist00\x01\x02garbage", 17)},
                        {domain, kAccountB + "/mmsetting.archive", settingsXml("bob")},
                        {domain, kAccountC + "/mmsetting.archive", "just some text"},
                        {domain, kAccountD + "/mmsetting.archive", QByteArray(), false},
                        {domain, kAccountE + "/mmsetting.archive", binaryPlist(settingsXml("eve"))},
                        {domain, kAccountE + "/DB/MM.sqlite", QByteArray("SQLite format 3\0", 16)},
                    });
    const test::DirectorySnapshot before = test::snapshot(temp.path());

    BackupManager manager;
    const std::string backup = temp.path().toStdString();
    ASSERT_TRUE(manager.loadManifest(backup));
    manager.locateMessengerFiles(backup);
    ASSERT_EQ(manager.settingsFiles().size(), 5u);
    manager.readAccountSettings();

    // The damaged first file does not hide the accounts after it.
    ASSERT_EQ(manager.accountSettings().size(), 2u);
    const AccountSettings& bob = manager.accountSettings().at(kAccountB + "/mmsetting.archive");
    EXPECT_EQ(bob.userName, "bob");
    EXPECT_EQ(bob.nickName, "nick-bob");
    EXPECT_EQ(bob.headImgUrl, "http://host/bob/132");
    const AccountSettings& eve = manager.accountSettings().at(kAccountE + "/mmsetting.archive");
    EXPECT_EQ(eve.userName, "eve");
    EXPECT_EQ(manager.databaseForSettings(kAccountE + "/mmsetting.archive"), kAccountE + "/DB/MM.sqlite");
    EXPECT_EQ(manager.databaseForSettings(kAccountB + "/mmsetting.archive"), "");

    EXPECT_TRUE(before == test::snapshot(temp.path()));
}

TEST(DamagedBackupTest, TruncatedOrFlippedBinarySettingsNeverCrash)
{
    const QByteArray good = binaryPlist(settingsXml("someone"));
    ASSERT_TRUE(BackupManager::parseAccountSettings(good).has_value());
    for (int cut = 0; cut < good.size(); ++cut) {
        const QByteArray truncated = good.left(cut);
        (void)BackupManager::parseAccountSettings(truncated);
    }
    for (int offset = 8; offset < good.size(); ++offset) {
        QByteArray flipped = good;
        flipped[offset] = char(flipped[offset] ^ 0xFF);
        (void)BackupManager::parseAccountSettings(flipped);
    }
    EXPECT_FALSE(BackupManager::parseAccountSettings("bplist00").has_value());
    EXPECT_FALSE(BackupManager::parseAccountSettings("<html><body/></html>").has_value());
    EXPECT_FALSE(BackupManager::parseAccountSettings(QByteArray()).has_value());
}

TEST(DamagedBackupTest, ManifestPlistDecidesEncryptionOnlyByABooleanTrue)
{
    struct Case {
        const char* name;
        QByteArray content;
        bool encrypted;
    };
    const QByteArray encryptedXml = test::xmlPlist("<dict><key>IsEncrypted</key><true/></dict>");
    const Case cases[] = {
        {"xml true", encryptedXml, true},
        {"binary true", binaryPlist(encryptedXml), true},
        {"false", test::xmlPlist("<dict><key>IsEncrypted</key><false/></dict>"), false},
        {"string", test::xmlPlist("<dict><key>IsEncrypted</key><string>true</string></dict>"), false},
        {"not a dict", test::xmlPlist("<array><true/></array>"), false},
        {"garbage", "IsEncrypted true", false},
        {"empty", QByteArray(), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(PropertyList::saysEncrypted(c.content), c.encrypted);
    }
    const QByteArray binary = binaryPlist(encryptedXml);
    for (int cut = 0; cut < binary.size(); ++cut)
        EXPECT_FALSE(PropertyList::saysEncrypted(binary.left(cut))) << cut;
}

class ManifestDbTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(temp_.isValid());
        source_ = temp_.filePath("source");
        summary_ = test::generateBackup(source_, {"--layout", "db", "--accounts", "2", "--placeholder-db"});
        manifest_ = test::readFile(source_ + "/Manifest.db");
        ASSERT_GT(manifest_.size(), 4096);
        full_ = ManifestDb::readFiles((source_ + "/Manifest.db").toStdString());
        ASSERT_FALSE(full_.empty());
    }

    // Writes content as the Manifest.db of a fresh backup directory and reads it
    // through the manager; checks that nothing in that directory changed.
    std::vector<MbdbRecord> readDamaged(const QString& name, const QByteArray& content)
    {
        const QString dir = temp_.filePath(name);
        writeFile(dir + "/Manifest.db", content);
        const test::DirectorySnapshot before = test::snapshot(dir);
        BackupManager manager;
        EXPECT_TRUE(manager.loadManifest(dir.toStdString()));
        manager.locateMessengerFiles(dir.toStdString());
        EXPECT_TRUE(before == test::snapshot(dir)) << name.toStdString();
        return manager.manifests().at(dir.toStdString());
    }

    QTemporaryDir temp_;
    QString source_;
    QJsonObject summary_;
    QByteArray manifest_;
    std::vector<MbdbRecord> full_;
};

TEST_F(ManifestDbTest, TruncatedOrDamagedManifestKeepsOnlyGenuineRows)
{
    const std::set<std::string> genuine = fileNames(full_);
    std::vector<std::pair<QString, QByteArray>> damaged;
    for (int cut : {0, 1, 16, 100, 1024, 4096, 4097, manifest_.size() / 2, manifest_.size() - 1})
        damaged.emplace_back(QString("cut%1").arg(cut), manifest_.left(cut));
    std::mt19937 rng(5);
    QByteArray noise(8192, '\0');
    for (char& c : noise)
        c = char(rng());
    damaged.emplace_back("noise", noise);
    damaged.emplace_back("header-then-noise", manifest_.left(100) + noise);
    for (int page = 1; page * 4096 < manifest_.size(); ++page) {
        QByteArray flipped = manifest_;
        for (int i = page * 4096; i < page * 4096 + 64 && i < flipped.size(); ++i)
            flipped[i] = char(flipped[i] ^ 0x5A);
        damaged.emplace_back(QString("page%1").arg(page), flipped);
    }

    for (const auto& [name, content] : damaged) {
        SCOPED_TRACE(name.toStdString());
        for (const std::string& row : fileNames(readDamaged(name, content)))
            EXPECT_EQ(genuine.count(row), 1u) << row;
    }
    // The manager keeps the messenger's rows only.
    std::vector<MbdbRecord> messenger;
    for (const MbdbRecord& r : full_) {
        if (r.domain == BackupManager::kMessengerDomain)
            messenger.push_back(r);
    }
    ASSERT_FALSE(messenger.empty());
    EXPECT_EQ(fileNames(readDamaged("intact", manifest_)), fileNames(messenger));
}

TEST_F(ManifestDbTest, KeepsOnlyFilesWithSafeFileIds)
{
    const QString dir = temp_.filePath("crafted");
    ASSERT_TRUE(QDir().mkpath(dir));
    const std::string path = (dir + "/Manifest.db").toStdString();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    const std::string domain = BackupManager::kMessengerDomain;
    const std::string sql =
        "CREATE TABLE Files (fileID TEXT PRIMARY KEY, domain TEXT, relativePath TEXT, flags INTEGER, file BLOB);"
        "INSERT INTO Files VALUES ('00112233445566778899aabbccddeeff00112233', '" + domain + "', '" + kAccountA +
        "/DB/MM.sqlite', 1, NULL);"
        "INSERT INTO Files VALUES ('ABCDEF0123456789ABCDEF0123456789ABCDEF01', '" + domain + "', '" + kAccountA +
        "/mmsetting.archive', 1, NULL);"
        "INSERT INTO Files VALUES ('1111111111111111111111111111111111111111', '" + domain + "', '" + kAccountA +
        "', 2, NULL);"
        "INSERT INTO Files VALUES ('2222222222222222222222222222222222222222', '" + domain + "', '" + kAccountA +
        "/link', 4, NULL);"
        "INSERT INTO Files VALUES ('3333333333333333333333333333333333333333', '" + domain + "', '" + kAccountA +
        "/real-flag', 1.5, NULL);"
        "INSERT INTO Files VALUES ('../../../../../../../../../../etc/passwd', '" + domain + "', '" + kAccountB +
        "/DB/MM.sqlite', 1, NULL);"
        "INSERT INTO Files VALUES ('444', '" + domain + "', 'short-id', 1, NULL);"
        "INSERT INTO Files VALUES (NULL, '" + domain + "', 'null-id', 1, NULL);"
        "INSERT INTO Files VALUES ('5555555555555555555555555555555555555555', NULL, 'null-domain', 1, NULL);";
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);

    BackupManager manager;
    ASSERT_TRUE(manager.loadManifest(dir.toStdString()));
    manager.locateMessengerFiles(dir.toStdString());
    const std::map<std::string, std::string> expected{
        {kAccountA + "/DB/MM.sqlite", "00/00112233445566778899aabbccddeeff00112233"},
        {kAccountA + "/mmsetting.archive", "AB/ABCDEF0123456789ABCDEF0123456789ABCDEF01"},
    };
    EXPECT_EQ(manager.messengerFiles(), expected);
    EXPECT_EQ(manager.databaseFiles().size(), 1u);
    EXPECT_EQ(manager.manifests().at(dir.toStdString()).size(), 2u);
    EXPECT_EQ(ManifestDb::readFiles(path).size(), 3u); // with the NULL domain row

    // A Manifest.db without the Files table is read as an empty manifest.
    const QString other = temp_.filePath("no-files-table");
    ASSERT_TRUE(QDir().mkpath(other));
    ASSERT_EQ(sqlite3_open((other + "/Manifest.db").toStdString().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE Other (x);", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    ASSERT_TRUE(manager.loadManifest(other.toStdString()));
    manager.locateMessengerFiles(other.toStdString());
    EXPECT_EQ(manager.locateOutcome(), Outcome::NoMessengerData);
}

TEST(DamagedBackupTest, TruncatedManifestMbdbOfARealLayoutKeepsTheRecordsBeforeTheCut)
{
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const QString backup = temp.filePath("b");
    test::generateBackup(backup, {"--layout", "mbdb", "--accounts", "2", "--placeholder-db"});
    const QByteArray manifest = test::readFile(backup + "/Manifest.mbdb");
    const auto full = BackupManager::parseManifest((backup + "/Manifest.mbdb").toStdString());
    ASSERT_GT(full.size(), 40u);

    const QString cutDir = temp.filePath("cut");
    for (int cut : {0, 5, 6, 7, manifest.size() / 3, manifest.size() / 2, manifest.size() - 1}) {
        SCOPED_TRACE(cut);
        writeFile(cutDir + "/Manifest.mbdb", manifest.left(cut));
        const auto records = BackupManager::parseManifest((cutDir + "/Manifest.mbdb").toStdString());
        ASSERT_LT(records.size(), full.size());
        for (std::size_t i = 0; i < records.size(); ++i)
            EXPECT_EQ(records[i].fileName, full[i].fileName);
    }
}

} // namespace
} // namespace talwen::backup
