// A recovery from an encrypted backup: the same store as from its unencrypted
// twin, only the needed files decrypted, nothing decrypted left behind, and one
// clear message for every way the password or the backup can be wrong.

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <string>
#include <vector>

#include "app/session/RecoverySession.h"
#include "backup/BackupTestSupport.h"

using talwen::app::RecoveryObserver;
using talwen::app::RecoverySession;
using talwen::common::Status;
namespace bt = talwen::backup::test;

namespace {

const char* const kPassword = "Geheimnis 2024";

struct DecryptionObserver : RecoveryObserver {
    std::vector<std::pair<int, std::pair<uint64_t, uint64_t>>> reports;
    void onBackupDecryption(DecryptionStep step, uint64_t done, uint64_t total) override {
        reports.push_back({step, {done, total}});
    }
};

// Every row of every table of a store, as text, in a fixed order.
std::string dump(const QString& path) {
    sqlite3* db = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr));
    std::string text;
    std::vector<std::string> tables;
    sqlite3_exec(
        db, "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name",
        [](void* out, int, char** values, char**) {
            static_cast<std::vector<std::string>*>(out)->push_back(values[0]);
            return 0;
        },
        &tables, nullptr);
    for (const std::string& table : tables) {
        text += "[" + table + "]\n";
        const std::string sql = "SELECT * FROM \"" + table + "\" ORDER BY 1, 2";
        sqlite3_exec(
            db, sql.c_str(),
            [](void* out, int n, char** values, char**) {
                auto* s = static_cast<std::string*>(out);
                for (int i = 0; i < n; ++i) *s += (values[i] ? values[i] : "NULL") + std::string("|");
                *s += "\n";
                return 0;
            },
            &text, nullptr);
    }
    sqlite3_close(db);
    return text;
}

QStringList filesBelow(const QString& dir) {
    QStringList files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) files << QDir(dir).relativeFilePath(it.next());
    files.sort();
    return files;
}

// Opens, copies, recovers and keeps the store; the session's work stays in `work`.
Status scan(RecoverySession& session, const QString& backup, const QString& work, const QString& store) {
    Status status = session.setWorkDirectory(work.toStdString());
    if (status.isOk()) status = session.openBackup(backup.toStdString());
    if (status.isOk()) status = session.chooseAccount("");
    if (status.isOk()) status = session.copySource();
    // One seek thread: carved rows then get the same row ids in every run.
    if (status.isOk()) status = session.recover(1);
    if (status.isOk()) status = session.keepStore(store.toStdString());
    return status;
}

}  // namespace

TEST(EncryptedSessionTest, RecoversWhatTheUnencryptedTwinGivesAndLeavesNothingDecrypted) {
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QString plain = root.filePath("plain"), encrypted = root.filePath("encrypted");
    const QStringList common{"--layout", "db", "--profile", "tiny", "--seed", "5"};
    bt::generateBackup(plain, common);
    bt::generateBackup(encrypted, common + QStringList{"--encrypted", "--password", kPassword, "--kdf-iterations", "3000"});
    const bt::DirectorySnapshot before = bt::snapshot(encrypted);

    RecoverySession plainSession;
    ASSERT_TRUE(scan(plainSession, plain, root.filePath("work-plain"), root.filePath("plain.sqlite")).isOk());

    const QString work = root.filePath("work");
    {
        DecryptionObserver observer;
        RecoverySession session(&observer);
        session.setBackupPassword(kPassword);
        const Status status = scan(session, encrypted, work, root.filePath("encrypted.sqlite"));
        ASSERT_TRUE(status.isOk()) << status.message();
        EXPECT_TRUE(session.backupWasEncrypted());

        // Progress of both steps, each ending complete.
        ASSERT_FALSE(observer.reports.empty());
        EXPECT_EQ(observer.reports.front().first, RecoveryObserver::kKeyDerivation);
        EXPECT_EQ(observer.reports.back().first, RecoveryObserver::kFileDecryption);
        EXPECT_EQ(observer.reports.back().second.first, observer.reports.back().second.second);

        // Decrypted so far: the manifest, the database with its -wal and the
        // settings; a picture only once a page asks for it, then equal to the twin's.
        const QString decrypted = QString::fromStdString(session.backup().currentBackup());
        ASSERT_TRUE(decrypted.startsWith(work + "/")) << decrypted.toStdString();
        const QStringList files = filesBelow(decrypted);
        EXPECT_EQ(files.size(), 4) << files.join(" ").toStdString();
        const talwen::app::RenderContext context = session.renderContext();
        ASSERT_TRUE(context.prepareMedia);
        int pictures = 0;
        for (const auto& [path, fileName] : *context.mediaFiles) {
            if (!path.endsWith(".pic")) continue;
            EXPECT_FALSE(QFile::exists(decrypted + "/" + fileName));
            context.prepareMedia(fileName);
            EXPECT_EQ(bt::readFile(decrypted + "/" + fileName), bt::readFile(plain + "/" + fileName));
            ++pictures;
        }
        EXPECT_GT(pictures, 0);
    }
    EXPECT_EQ(dump(root.filePath("encrypted.sqlite")), dump(root.filePath("plain.sqlite")));
    // Nothing decrypted outlives the session, not even the copy of the database;
    // the password is in no file written.
    EXPECT_TRUE(filesBelow(work).filter(QRegularExpression("decrypted|MM\\.sqlite")).isEmpty())
        << filesBelow(work).join(" ").toStdString();
    EXPECT_FALSE(bt::readFile(root.filePath("encrypted.sqlite")).contains(kPassword));
    EXPECT_TRUE(before == bt::snapshot(encrypted));
}

TEST(EncryptedSessionTest, PasswordsAndDamageEachSayWhatIsWrong) {
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QString backup = root.filePath("backup");
    bt::generateBackup(backup, {"--placeholder-db", "--encrypted", "--password", kPassword, "--kdf-iterations", "200000",
                                "--without-key", "mmsetting.archive"});
    const QString noKey = root.filePath("no-key");
    bt::generateBackup(noKey, {"--placeholder-db", "--encrypted", "--password", kPassword, "--kdf-iterations", "1000",
                               "--without-key", "DB/MM.sqlite"});
    const QString truncated = root.filePath("truncated");
    bt::generateBackup(truncated, {"--placeholder-db", "--encrypted", "--password", kPassword, "--kdf-iterations", "1000"});
    const QString damagedKeybag = root.filePath("damaged-keybag");
    bt::generateBackup(damagedKeybag, {"--placeholder-db", "--encrypted", "--kdf-iterations", "1000"});
    bt::writeFile(damagedKeybag + "/Manifest.plist",
                  bt::xmlPlist("<dict><key>IsEncrypted</key><true/><key>BackupKeyBag</key><data>VkVSUwAAAAQ=</data></dict>"));
    // Cut the database off by one block.
    for (const QString& name : filesBelow(truncated)) {
        const QString path = truncated + "/" + name;
        const QByteArray content = bt::readFile(path);
        if (name.size() == 43 && content.size() > 4096) bt::writeFile(path, content.left(content.size() - 16));
    }

    struct Case {
        const char* name;
        QString backup;
        std::string password;
        bool cancel;
        Status::Kind kind;
        std::string message;  // a part of it
    };
    const Case cases[] = {
        {"no password", backup, "", false, Status::Kind::InvalidInput, "cannot be read without its password"},
        {"wrong password", backup, "geheimnis 2024", false, Status::Kind::InvalidInput, "wrong backup password"},
        {"cancelled derivation", backup, kPassword, true, Status::Kind::Cancelled, "cancelled"},
        {"damaged keybag", damagedKeybag, kPassword, false, Status::Kind::InvalidInput, "keybag is damaged"},
        {"database without a key", noKey, kPassword, false, Status::Kind::InvalidInput, "no key for file"},
        {"database cut off", truncated, kPassword, false, Status::Kind::InvalidInput, "is cut off"},
    };
    for (const Case& c : cases) {
        const QString work = root.filePath(QString("work-") + c.name);
        {
            RecoverySession session;
            session.setBackupPassword(c.password);
            if (c.cancel) session.requestCancel();
            Status status = session.setWorkDirectory(work.toStdString());
            if (status.isOk()) status = session.openBackup(c.backup.toStdString());
            if (status.isOk()) status = session.chooseAccount("");
            if (status.isOk()) status = session.copySource();
            EXPECT_EQ(status.kind(), c.kind) << c.name << ": " << status.message();
            EXPECT_NE(status.message().find(c.message), std::string::npos) << c.name << ": " << status.message();
            if (c.message == "wrong backup password") EXPECT_EQ(status.message(), c.message);
        }
        EXPECT_TRUE(filesBelow(work).isEmpty()) << c.name << ": " << filesBelow(work).join(" ").toStdString();
    }

    // A settings file without a key costs the owner's name, not the scan.
    RecoverySession session;
    session.setBackupPassword(kPassword);
    Status status = session.openBackup(backup.toStdString());
    if (status.isOk()) status = session.chooseAccount("");
    if (status.isOk()) status = session.copySource();
    EXPECT_TRUE(status.isOk()) << status.message();
    EXPECT_TRUE(session.backup().accountSettings().empty());
}
