#include "BackupTestSupport.h"

#include "backup/BackupManager.h"
#include "backup/BackupRoots.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <set>
#include <tuple>

namespace talwen::backup {
namespace {

using Outcome = BackupManager::LocateOutcome;

struct LayoutCase {
    const char* layout;
    int accounts;
};

std::string str(const QJsonValue& value)
{
    return value.toString().toStdString();
}

class BackupLayoutTest : public ::testing::TestWithParam<LayoutCase> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(temp_.isValid());
        root_ = temp_.path().toStdString() + "/Apple Computer/MobileSync/Backup";
        backup_ = root_ + BackupRoots::separator() + "0123456789abcdef0123456789abcdef01234567";
        summary_ = test::generateBackup(QString::fromStdString(backup_),
                                        {"--layout", GetParam().layout, "--accounts",
                                         QString::number(GetParam().accounts), "--seed", "7",
                                         "--placeholder-db"});
        ASSERT_FALSE(summary_.isEmpty());
    }

    QTemporaryDir temp_;
    std::string root_;
    std::string backup_;
    QJsonObject summary_;
};

TEST_P(BackupLayoutTest, LocatesEveryAccountsFilesAndReadsItsSettings)
{
    const test::DirectorySnapshot before = test::snapshot(QString::fromStdString(backup_));
    ASSERT_GT(before.files.size(), 20u);
    BackupManager manager;

    ASSERT_TRUE(manager.scanBackupRoots({root_}));
    ASSERT_EQ(manager.backupCount(), 1u);
    const BackupInfo& info = manager.backupAt(0);
    EXPECT_EQ(info.path, backup_);
    EXPECT_EQ(info.deviceName, str(summary_["deviceName"]));
    EXPECT_EQ(info.serialNumber, str(summary_["serialNumber"]));
    EXPECT_EQ(info.lastBackupDate, str(summary_["lastBackupDate"]));
    EXPECT_FALSE(info.encrypted);

    ASSERT_TRUE(manager.loadManifest(backup_));
    ASSERT_TRUE(manager.locateMessengerFiles(backup_));
    EXPECT_EQ(manager.locateOutcome(), Outcome::Found);
    EXPECT_EQ(manager.currentBackup(), backup_);

    const QJsonArray accounts = summary_["accounts"].toArray();
    ASSERT_EQ(accounts.size(), GetParam().accounts);
    ASSERT_EQ(manager.databaseFiles().size(), std::size_t(accounts.size()));
    ASSERT_EQ(manager.settingsFiles().size(), std::size_t(accounts.size()));

    manager.readAccountSettings();
    for (const QJsonValue& value : accounts) {
        const QJsonObject account = value.toObject();
        const std::string database = str(account["databasePath"]);
        const std::string settingsPath = str(account["settingsPath"]);
        SCOPED_TRACE(database);

        ASSERT_EQ(manager.databaseFiles().count(database), 1u);
        EXPECT_EQ(manager.databaseFiles().at(database), manager.messengerFiles().at(database));
        const QByteArray db = test::readFile(QString::fromStdString(manager.backupFilePath(database)));
        EXPECT_TRUE(db.startsWith(QByteArray("SQLite format 3\0", 16)));
        EXPECT_EQ(BackupManager::accountDirectory(database), str(account["accountDir"]));
        EXPECT_EQ(manager.databaseForSettings(settingsPath), database);

        // The write-ahead log beside the database is a messenger file, not a database.
        const std::string wal = database + "-wal";
        EXPECT_EQ(manager.messengerFiles().count(wal), 1u);
        EXPECT_EQ(manager.databaseFiles().count(wal), 0u);

        for (const QJsonValue& media : account["media"].toArray()) {
            const std::string path = str(media);
            ASSERT_EQ(manager.messengerFiles().count(path), 1u) << path;
            EXPECT_TRUE(QFileInfo(QString::fromStdString(manager.backupFilePath(path))).isFile()) << path;
        }

        ASSERT_EQ(manager.accountSettings().count(settingsPath), 1u);
        const AccountSettings& settings = manager.accountSettings().at(settingsPath);
        const QJsonObject expected = account["settings"].toObject();
        EXPECT_EQ(settings.userName, str(expected["userName"]));
        EXPECT_EQ(settings.nickName, str(expected["nickName"]));
        EXPECT_EQ(settings.fifthString, str(expected["fifthString"]));
        EXPECT_EQ(settings.signature, str(expected["signature"]));
        EXPECT_EQ(settings.headImgUrl, str(expected["headImgUrl"]));
    }

    for (const auto& [path, fileName] : manager.messengerFiles()) {
        // Files of other domains named like messenger files stay out.
        EXPECT_EQ(path.find("Caches"), std::string::npos);
        EXPECT_NE(path, "Documents/0123456789abcdef0123456789abcdef/DB/MM.sqlite");
        if (std::string(GetParam().layout) == "db") {
            // Manifest.db lists directories too; only files are kept.
            EXPECT_TRUE(QFileInfo(QString::fromStdString(manager.backupFilePath(path))).isFile()) << path;
            EXPECT_EQ(fileName.substr(0, 3), fileName.substr(3, 2) + "/");
        } else {
            EXPECT_EQ(fileName, test::mbdbFileName(BackupManager::kMessengerDomain, path));
        }
    }

    EXPECT_TRUE(before == test::snapshot(QString::fromStdString(backup_)));
}

INSTANTIATE_TEST_SUITE_P(Layouts, BackupLayoutTest,
                         ::testing::Values(LayoutCase{"mbdb", 1}, LayoutCase{"mbdb", 2}, LayoutCase{"db", 1},
                                           LayoutCase{"db", 2}),
                         [](const ::testing::TestParamInfo<LayoutCase>& info) {
                             return std::string(info.param.layout) + "_" + std::to_string(info.param.accounts);
                         });

class EncryptedBackupTest : public ::testing::TestWithParam<const char*> {};

TEST_P(EncryptedBackupTest, IsMarkedAndLocatesNothing)
{
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const std::string backup = temp.filePath("enc").toStdString();
    test::generateBackup(QString::fromStdString(backup),
                         {"--layout", GetParam(), "--accounts", "2", "--encrypted", "--kdf-iterations", "1000",
                          "--placeholder-db"});
    const test::DirectorySnapshot before = test::snapshot(QString::fromStdString(backup));

    BackupManager manager;
    ASSERT_TRUE(manager.addBackup(backup));
    EXPECT_TRUE(manager.backupAt(0).encrypted);
    EXPECT_TRUE(BackupManager::isEncryptedBackup(backup));

    manager.loadManifest(backup);
    ASSERT_TRUE(manager.locateMessengerFiles(backup));
    EXPECT_EQ(manager.locateOutcome(), Outcome::Encrypted);
    EXPECT_TRUE(manager.messengerFiles().empty());
    EXPECT_TRUE(manager.databaseFiles().empty());
    EXPECT_TRUE(manager.settingsFiles().empty());
    manager.readAccountSettings();
    EXPECT_TRUE(manager.accountSettings().empty());

    EXPECT_TRUE(before == test::snapshot(QString::fromStdString(backup)));
}

INSTANTIATE_TEST_SUITE_P(Layouts, EncryptedBackupTest, ::testing::Values("mbdb", "db"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

TEST(BackupManagerTest, LocatingAnotherBackupReplacesAllThreeFileMaps)
{
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const std::string two = temp.filePath("two").toStdString();
    const std::string one = temp.filePath("one").toStdString();
    test::generateBackup(QString::fromStdString(two), {"--layout", "db", "--accounts", "2", "--seed", "1", "--placeholder-db"});
    test::generateBackup(QString::fromStdString(one), {"--layout", "mbdb", "--accounts", "1", "--seed", "2", "--placeholder-db"});

    BackupManager manager;
    ASSERT_TRUE(manager.loadManifest(two));
    ASSERT_TRUE(manager.loadManifest(one));
    EXPECT_EQ(manager.manifests().size(), 2u);
    manager.locateMessengerFiles(two);
    ASSERT_EQ(manager.settingsFiles().size(), 2u);
    manager.locateMessengerFiles(one);
    EXPECT_EQ(manager.databaseFiles().size(), 1u);
    EXPECT_EQ(manager.settingsFiles().size(), 1u);
    manager.readAccountSettings();
    EXPECT_EQ(manager.accountSettings().size(), 1u);

    manager.clearAccounts();
    EXPECT_TRUE(manager.settingsFiles().empty());
    EXPECT_TRUE(manager.accountSettings().empty());
    EXPECT_EQ(manager.databaseFiles().size(), 1u);
}

TEST(BackupManagerTest, ManifestChoiceAndMissingManifests)
{
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const std::string backup = temp.filePath("b").toStdString();
    test::generateBackup(QString::fromStdString(backup), {"--layout", "db", "--placeholder-db"});

    BackupManager manager;
    // Located before any manifest was loaded.
    manager.locateMessengerFiles(backup);
    EXPECT_EQ(manager.locateOutcome(), Outcome::NoManifest);
    EXPECT_TRUE(manager.manifests().empty());

    // Manifest.mbdb wins over Manifest.db when both exist; this one has no records.
    test::writeFile(temp.filePath("b/Manifest.mbdb"), QByteArray("mbdb\x05\x00", 6));
    ASSERT_TRUE(manager.loadManifest(backup));
    manager.locateMessengerFiles(backup);
    EXPECT_EQ(manager.locateOutcome(), Outcome::NoMessengerData);
    EXPECT_TRUE(manager.messengerFiles().empty());

    ASSERT_TRUE(QFile::remove(temp.filePath("b/Manifest.mbdb")));
    ASSERT_TRUE(manager.loadManifest(backup));
    manager.locateMessengerFiles(backup);
    EXPECT_EQ(manager.locateOutcome(), Outcome::Found);

    // Without either manifest the loaded one stays.
    ASSERT_TRUE(QFile::remove(temp.filePath("b/Manifest.db")));
    EXPECT_FALSE(manager.loadManifest(backup));
    EXPECT_FALSE(manager.manifests().at(backup).empty());
}

TEST(BackupManagerTest, AccountPathRules)
{
    const std::string dir = "0123456789abcdef0123456789abcdef";
    EXPECT_EQ(BackupManager::accountDirectory("Documents/" + dir + "/DB/MM.sqlite"), dir);
    EXPECT_EQ(BackupManager::accountDirectory("Documents/" + dir), dir);
    EXPECT_EQ(BackupManager::accountDirectory("Documents/short/DB/MM.sqlite"), "");
    EXPECT_EQ(BackupManager::accountDirectory(""), "");

    struct Case {
        std::string a, b;
        bool same;
    };
    const Case cases[] = {
        {"Documents/" + dir + "/DB/MM.sqlite", "Documents/" + dir + "/mmsetting.archive", true},
        {"Documents/" + dir + "/DB/MM.sqlite", "Documents/" + dir + "x/mmsetting.archive", true},
        {"Documents/" + dir + "/DB/MM.sqlite", "Documents/1" + dir.substr(1) + "/mmsetting.archive", false},
        {"Documents/" + dir.substr(1), "Documents/" + dir.substr(1), false},
        {"", "", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(BackupManager::sameAccount(c.a, c.b), c.same) << c.a << " / " << c.b;
}

} // namespace
} // namespace talwen::backup

namespace talwen::backup {
namespace {

TEST(BackupManagerTest, AccountDatabaseFromTheMessengerDatabaseGenerator)
{
    if (!QFileInfo::exists(QStringLiteral(WCR_TOOLS_DIR "/gen_messenger_db.py")))
        GTEST_SKIP() << "tools/gen_messenger_db.py is not present";
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const std::string backup = temp.filePath("b").toStdString();
    const QJsonObject summary = test::generateBackup(
        QString::fromStdString(backup), {"--layout", "db", "--profile", "tiny", "--truth-dir", temp.filePath("truth")});
    const QJsonObject account = summary["accounts"].toArray().at(0).toObject();
    EXPECT_EQ(account["databaseSource"].toString(), "gen_messenger_db");

    BackupManager manager;
    ASSERT_TRUE(manager.loadManifest(backup));
    manager.locateMessengerFiles(backup);
    ASSERT_EQ(manager.databaseFiles().size(), 1u);
    const QByteArray db =
        test::readFile(QString::fromStdString(manager.backupFilePath(manager.databaseFiles().begin()->first)));
    EXPECT_TRUE(db.startsWith(QByteArray("SQLite format 3\0", 16)));
    EXPECT_TRUE(QFileInfo(temp.filePath("truth/" + account["accountDir"].toString() + ".truth.json")).isFile());
}

} // namespace
} // namespace talwen::backup
