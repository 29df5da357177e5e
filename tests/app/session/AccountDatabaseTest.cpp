#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "app/session/AccountDatabase.h"
#include "app/store/AccountSampler.h"
#include "backup/BackupTestSupport.h"
#include "backup/BackupManager.h"
#include "sqldb/ResultSet.h"
#include "sqldb/SqliteAssistant.h"

using talwen::app::accountRenderContext;
using talwen::app::copyAccountDatabase;
using talwen::app::copyDatabaseFile;
using talwen::app::DatabaseCopy;
using talwen::app::databaseFileMap;
using talwen::app::mediaFileMap;
using talwen::app::ownerSettings;
using talwen::app::sampleAccountFriends;
using talwen::backup::BackupManager;
using talwen::common::ErrorInfo;
using talwen::sqldb::ResultSet;
using talwen::sqldb::SqliteAssistant;

namespace {

using talwen::backup::test::readFile;
using talwen::backup::test::snapshot;
using talwen::backup::test::writeFile;

QJsonObject generateBackup(const QString& backupDir, const QString& layout, int accounts) {
    return talwen::backup::test::generateBackup(
        backupDir, {"--layout", layout, "--accounts", QString::number(accounts), "--seed", "11", "--placeholder-db"});
}

// A manager that has located the messenger files of `backup` and read the settings.
void locate(BackupManager& manager, const QString& backup) {
    ASSERT_TRUE(manager.loadManifest(backup.toStdString()));
    ASSERT_TRUE(manager.locateMessengerFiles(backup.toStdString()));
    ASSERT_EQ(BackupManager::LocateOutcome::Found, manager.locateOutcome());
    manager.readAccountSettings();
}

// The user names of the Friend table of a database, in key order.
std::vector<std::string> friendNames(const QString& path) {
    ErrorInfo error;
    sqlite3* db = SqliteAssistant::openDatabaseImmutable(path.toStdString(), &error);
    EXPECT_NE(nullptr, db) << error.getMessage();
    std::vector<std::string> names;
    if (!db) return names;
    ResultSet rows;
    SqliteAssistant::query(db, 0, "SELECT UsrName FROM Friend ORDER BY UsrName", rows, &error);
    EXPECT_TRUE(error.isSuccess()) << error.getMessage();
    for (const auto& value : rows.listColValues("UsrName")) names.push_back(value->getTextValue());
    SqliteAssistant::closeDatabase(db);
    return names;
}

std::vector<std::string> strings(const QJsonValue& array) {
    std::vector<std::string> texts;
    for (const QJsonValue& value : array.toArray()) texts.push_back(value.toString().toStdString());
    return texts;
}

struct Layout {
    const char* layout;
    int accounts;
};

void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.layout << " with " << layout.accounts; }

class AccountDatabaseLayoutTest : public ::testing::TestWithParam<Layout> {};

}  // namespace

// Every account of the backup gets its own database copied, its account directory,
// media map and owner picture; the backup stays byte for byte as it was.
TEST_P(AccountDatabaseLayoutTest, CopiesTheChosenAccountsDatabase) {
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const QString backup = temp.filePath("backup");
    const QString work = temp.filePath("work");
    ASSERT_TRUE(QDir().mkpath(work));
    const QJsonObject summary = generateBackup(backup, GetParam().layout, GetParam().accounts);
    const QJsonArray accounts = summary["accounts"].toArray();
    ASSERT_EQ(GetParam().accounts, accounts.size());
    const auto before = snapshot(backup);

    BackupManager manager;
    locate(manager, backup);
    const auto media = mediaFileMap(manager);
    const auto databases = databaseFileMap(manager);
    const auto sampling = sampleAccountFriends(backup, databases);

    for (const QJsonValue& value : accounts) {
        const QJsonObject account = value.toObject();
        const QJsonObject settings = account["settings"].toObject();
        const std::string userName = settings["userName"].toString().toStdString();
        writeFile(work + "/MM.sqlite", "an older copy");

        const DatabaseCopy copy = copyAccountDatabase(manager, userName, work);
        ASSERT_TRUE(copy.status.isOk()) << copy.status.message();
        EXPECT_TRUE(copy.status.message().empty());
        EXPECT_EQ(QDir(work).filePath("MM.sqlite"), copy.copiedPath);
        EXPECT_EQ(account["accountDir"].toString(), copy.accountDir);
        const QString databasePath = account["databasePath"].toString();
        ASSERT_EQ(1u, databases.count(databasePath));
        EXPECT_EQ(readFile(backup + "/" + databases.at(databasePath)), readFile(copy.copiedPath));
        EXPECT_EQ(strings(account["contacts"]), friendNames(copy.copiedPath));

        const auto context = accountRenderContext(manager, copy.accountDir, userName);
        EXPECT_EQ(backup, context.backupDir);
        EXPECT_EQ(copy.accountDir, context.accountDir);
        EXPECT_EQ(settings["headImgUrl"].toString(), context.ownerPicture);
        ASSERT_TRUE(ownerSettings(manager, userName).has_value());
        EXPECT_EQ(settings["nickName"].toString().toStdString(), ownerSettings(manager, userName)->nickName);

        for (const QString& path : account["media"].toVariant().toStringList()) {
            ASSERT_EQ(1u, media.count(path)) << path.toStdString();
            EXPECT_TRUE(QFileInfo(backup + "/" + media.at(path)).isFile()) << path.toStdString();
        }
        std::vector<std::string> sampled;
        for (const auto& sample : sampling.samples.at(databasePath)) sampled.push_back(sample.usrName.toStdString());
        EXPECT_EQ(strings(account["contacts"]), sampled);
    }
    EXPECT_TRUE(before == snapshot(backup));
}

INSTANTIATE_TEST_SUITE_P(Backups, AccountDatabaseLayoutTest,
                         ::testing::Values(Layout{"mbdb", 1}, Layout{"mbdb", 2}, Layout{"db", 1}, Layout{"db", 2}),
                         [](const ::testing::TestParamInfo<Layout>& info) {
                             return std::string(info.param.layout) + "_" + std::to_string(info.param.accounts);
                         });

// With several accounts a user name without settings, or settings in an account
// directory without a database, copies nothing and leaves the older copy alone, so
// that no recovery starts on it by mistake. A working directory inside the backup
// is refused before anything is written there.
TEST(CopyAccountDatabase, FailsWithoutAMatchingDatabase) {
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const QString backup = temp.filePath("backup");
    const QString work = temp.filePath("work");
    ASSERT_TRUE(QDir().mkpath(work));
    const QJsonObject summary = generateBackup(backup, "db", 2);
    const QJsonArray accounts = summary["accounts"].toArray();
    ASSERT_EQ(2, accounts.size());
    writeFile(work + "/MM.sqlite", "an older copy");

    {
        BackupManager manager;
        locate(manager, backup);
        const DatabaseCopy copy = copyAccountDatabase(manager, "nobody", work);
        EXPECT_FALSE(copy.status.isOk());
        EXPECT_TRUE(copy.copiedPath.isEmpty());
        EXPECT_NE(std::string::npos, copy.status.message().find("nobody")) << copy.status.message();
        EXPECT_EQ("an older copy", readFile(work + "/MM.sqlite"));

        const auto before = snapshot(backup);
        const std::string first = accounts[0].toObject()["settings"].toObject()["userName"].toString().toStdString();
        const DatabaseCopy inside = copyAccountDatabase(manager, first, backup);
        EXPECT_FALSE(inside.status.isOk());
        EXPECT_FALSE(inside.status.message().empty());
        EXPECT_TRUE(before == snapshot(backup));
    }

    // Move the second account's settings into a directory that holds no database.
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((backup + "/Manifest.db").toUtf8().constData(), &db));
    const std::string settingsPath = accounts[1].toObject()["settingsPath"].toString().toStdString();
    const std::string sql = "UPDATE Files SET relativePath = 'Documents/" + std::string(32, 'f') +
                            "/mmsetting.archive' WHERE relativePath = '" + settingsPath + "'";
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr));
    EXPECT_EQ(1, sqlite3_changes(db));
    sqlite3_close(db);

    BackupManager manager;
    locate(manager, backup);
    ASSERT_EQ(2u, manager.accountSettings().size());
    const std::string second = accounts[1].toObject()["settings"].toObject()["userName"].toString().toStdString();
    const DatabaseCopy orphan = copyAccountDatabase(manager, second, work);
    EXPECT_FALSE(orphan.status.isOk());
    EXPECT_NE(std::string::npos, orphan.status.message().find(std::string(32, 'f'))) << orphan.status.message();
    EXPECT_EQ("an older copy", readFile(work + "/MM.sqlite"));

    const std::string first = accounts[0].toObject()["settings"].toObject()["userName"].toString().toStdString();
    EXPECT_TRUE(copyAccountDatabase(manager, first, work).status.isOk());
}

// The database of a backup is copied only when it is a regular file of the backup:
// a link would copy any database of this computer, a pipe would block the copy.
TEST(CopyAccountDatabase, RefusesALinkOrAPipeInPlaceOfTheDatabase) {
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const QString work = temp.filePath("work");
    ASSERT_TRUE(QDir().mkpath(work));
    const QString outside = temp.filePath("outside.sqlite");
    writeFile(outside, "a database of this computer");
    for (const char* planted : {"link", "pipe"}) {
        SCOPED_TRACE(planted);
        const QString backup = temp.filePath(planted);
        generateBackup(backup, "db", 1);
        BackupManager manager;
        locate(manager, backup);
        const QString stored = backup + "/" + QString::fromStdString(manager.databaseFiles().begin()->second);
        ASSERT_TRUE(QFile::remove(stored));
        if (std::string(planted) == "link") {
            ASSERT_TRUE(QFile::link(outside, stored));
        } else {
            ASSERT_EQ(0, ::mkfifo(QFile::encodeName(stored).constData(), 0600));
        }
        const DatabaseCopy copy = copyAccountDatabase(manager, "", work);
        EXPECT_FALSE(copy.status.isOk());
        EXPECT_NE(std::string::npos, copy.status.message().find(stored.toStdString())) << copy.status.message();
        EXPECT_FALSE(QFileInfo::exists(work + "/MM.sqlite"));
    }
}

// A file chosen directly replaces the older copy together with the journal, WAL and
// shared-memory files left beside it, which SQLite would otherwise read as part of
// the new copy. Choosing the copy itself keeps it and its companions.
TEST(CopyDatabaseFile, ReplacesTheOlderCopyAndItsCompanions) {
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const QString work = temp.filePath("work");
    ASSERT_TRUE(QDir().mkpath(work));
    const QString source = temp.filePath("chosen.db");
    writeFile(source, "chosen database bytes");
    ASSERT_TRUE(QFile::setPermissions(source, QFileDevice::ReadOwner));
    for (const char* name : {"MM.sqlite", "MM.sqlite-wal", "MM.sqlite-shm", "MM.sqlite-journal"}) {
        writeFile(work + "/" + name, "stale");
    }

    const DatabaseCopy copy = copyDatabaseFile(source, work);
    ASSERT_TRUE(copy.status.isOk()) << copy.status.message();
    EXPECT_TRUE(copy.accountDir.isEmpty());
    EXPECT_EQ("chosen database bytes", readFile(copy.copiedPath));
    EXPECT_EQ(QStringList{"MM.sqlite"}, QDir(work).entryList(QDir::Files | QDir::Hidden));
    EXPECT_EQ("chosen database bytes", readFile(source));
    // The next copy can replace a copy of a read-only file.
    EXPECT_TRUE(copyDatabaseFile(source, work).status.isOk());

    writeFile(work + "/MM.sqlite-wal", "live pages");
    const DatabaseCopy itself = copyDatabaseFile(work + "/MM.sqlite", work);
    EXPECT_TRUE(itself.status.isOk()) << itself.status.message();
    EXPECT_EQ("chosen database bytes", readFile(work + "/MM.sqlite"));
    EXPECT_EQ("live pages", readFile(work + "/MM.sqlite-wal"));

    const DatabaseCopy missing = copyDatabaseFile(temp.filePath("missing.db"), work);
    EXPECT_FALSE(missing.status.isOk());
    EXPECT_NE(std::string::npos, missing.status.message().find("missing.db"));
    EXPECT_EQ("chosen database bytes", readFile(work + "/MM.sqlite"));
}
