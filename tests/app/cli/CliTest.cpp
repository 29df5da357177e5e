// The command-line tool end to end: argument errors, every bad-input path, and a
// full scan and export of generated backups in both layouts.
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "app/support/MessengerSchema.h"
#include "app/cli/CliCommands.h"
#include "app/cli/CliOptions.h"
#include "app/cli/TerminalProgress.h"

using namespace talwen::app::cli;

namespace {

struct Outcome {
    int code;
    std::string out;
    std::string err;
};

Outcome run(const std::vector<std::string>& arguments) {
    std::ostringstream out, err;
    const int code = runCommandLine(arguments, out, err, false);
    return {code, out.str(), err.str()};
}

std::string quoted(const QString& text) { return "'" + text.toStdString() + "'"; }

// Writes a synthetic backup with tools/gen_backup.py; false when the tool fails.
bool generateBackup(const QString& dir, const std::string& options) {
    const std::string command = "python3 " + quoted(WCR_TOOLS_DIR "/gen_backup.py") + " --out " + quoted(dir) +
                                " " + options + " > /dev/null";
    return std::system(command.c_str()) == 0;
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

void writeSqlite(const QString& path, const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(path.toUtf8().constData(), &db));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, sql, nullptr, nullptr, nullptr));
    sqlite3_close(db);
}

// Content hash of every file below a directory, to prove nothing was written there.
std::map<QString, QByteArray> fingerprint(const QString& dir) {
    std::map<QString, QByteArray> files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        if (file.open(QIODevice::ReadOnly)) {
            files[path] = QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha1);
        }
    }
    return files;
}

QStringList htmlPages(const QString& exportRoot) {
    return QDir(exportRoot + "/微信聊天记录恢复").entryList({"*.html"}, QDir::Files, QDir::Name);
}

}  // namespace

TEST(CliOptions, ArgumentErrorsExitWithUsage) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"scan"},
        {"scan", "dir", "--db", "x.sqlite"},
        {"scan", "--db", "x.sqlite", "--account", "a"},
        {"scan", "--db", "x.sqlite", "--threads", "0"},
        {"scan", "--db", "x.sqlite", "--threads", "two"},
        {"scan", "--db"},
        {"export", "store.db"},
        {"accounts"},
        {"backups", "extra"},
        {"scan", "--db", "x", "--bogus"},
        {"backups", "--utc"},
        {"accounts", "dir", "--utc"},
        {"scan", "dir", "--password", "secret"},
        {"scan", "dir", "--password=secret"},
        {"scan", "dir", "--password-file", "a", "--password-env", "B"},
        {"scan", "--db", "x.sqlite", "--password-file", "a"},
        {"backups", "--password-env", "B"},
    };
    for (const auto& arguments : cases) {
        const Outcome outcome = run(arguments);
        EXPECT_EQ(kExitUsage, outcome.code) << (arguments.empty() ? "" : arguments[0]);
        EXPECT_NE(std::string::npos, outcome.err.find("usage:"));
        EXPECT_EQ(std::string::npos, outcome.err.find("secret"));  // a password given anyway is not echoed
    }
    EXPECT_EQ(kExitOk, run({"--help"}).code);
    const CliOptions options = parseCommandLine({"scan", "b", "--account", "wxid_a", "--threads", "3"});
    EXPECT_TRUE(options.error.empty());
    EXPECT_EQ("b", options.backupDir);
    EXPECT_EQ("wxid_a", options.account);
    EXPECT_EQ(3u, options.threads);
    EXPECT_FALSE(options.utc);
    EXPECT_TRUE(parseCommandLine({"scan", "--db", "x", "--utc"}).utc);
    EXPECT_TRUE(parseCommandLine({"export", "s", "--export", "d", "--utc"}).utc);
}

TEST(TerminalProgress, BarFitsTheTerminalMeasuredInColumns) {
    EXPECT_EQ(2, TerminalProgress::displayWidth("好"));
    EXPECT_EQ(14, TerminalProgress::displayWidth("(1/3) 正在扫描"));  // 6 + 4 wide characters
    EXPECT_EQ(1, TerminalProgress::displayWidth("e\xCC\x81"));     // e + combining acute
    const std::string full =
        "(1/3) 正在扫描好友... [###############---------------]  50%  预计剩余时间：00:00:03  已使用时间：00:00:04";
    struct Case {
        int columns;
        std::string line;
    } const cases[] = {
        {0, full},
        {200, full},
        {105, "(1/3) 正在扫描好友... [###############---------------]  50%  预计剩余时间：00:00:03  已使用时间：00:00:04"},
        {104, "(1/3) 正在扫描好友... [##############---------------]  50%  预计剩余时间：00:00:03  已使用时间：00:00:04"},
        {79, "(1/3) 正在扫描好友... [##############--------------]  50%  已使用时间：00:00:04"},
        {60, "(1/3) 正在扫描好友... [###############---------------]  50%"},
        {40, "(1/3) 正在扫描好友... [#####------]  50%"},
        {20, "(1/3) 正在扫描好友.."},
    };
    for (const Case& c : cases) {
        const std::string line = TerminalProgress::barLine("(1/3)", "正在扫描好友...", 50, "1970-01-01 00:00:03",
                                                           "1970-01-01 00:00:04", c.columns);
        EXPECT_EQ(c.line, line) << c.columns;
        if (c.columns > 0) EXPECT_LE(TerminalProgress::displayWidth(line), c.columns);
    }
}

TEST(TerminalProgress, EachStageEndsOnOneLineOfItsOwn) {
    // On a terminal: redraws in place with the rest of the line cleared, one final
    // line per stage, nothing after it.
    std::ostringstream screen;
    TerminalProgress bar(screen, true, 200);
    bar.update("(2/3)", "x", 40, "", "1970-01-01 00:00:01");
    bar.update("(2/3)", "x", 100, "1970-01-01 00:00:00", "1970-01-01 00:00:02");
    bar.complete("(2/3)", "x", "1970-01-01 00:00:02");
    bar.complete("(2/3)", "x", "1970-01-01 00:00:02");
    bar.update("(2/3)", "x", 95, "", "");  // a late watcher report after the end
    const std::string done = "(2/3) x [##############################] 100%  已使用时间：00:00:02";
    EXPECT_EQ("\r(2/3) x [############------------------]  40%  已使用时间：00:00:01\x1b[K"
              "\r(2/3) x [##############################] 100%  预计剩余时间：00:00:00  已使用时间：00:00:02\x1b[K"
              "\r" + done + "\x1b[K\n",
              screen.str());

    // Plain lines: at most one per second per stage, the final one always.
    int64_t now = 0;
    std::ostringstream plain;
    TerminalProgress lines(plain, false, 0, [&now] { return now; });
    for (int percent : {3, 9, 10, 14, 55}) {
        lines.update("", "y", percent, "", "");
        now += 400;
    }
    lines.update("", "z", 7, "", "");
    lines.complete("", "y", "1970-01-01 00:00:02");
    lines.update("", "y", 95, "", "");
    EXPECT_EQ("y 3%\ny 14%\nz 7%\ny 100% 已使用时间：00:00:02\n", plain.str());
    EXPECT_EQ(std::string::npos, plain.str().find('\x1b'));
}

TEST(Cli, BadInputFailsWithOneLineMessage) {
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const QString root = temp.path();
    writeFile(root + "/notes.txt", "this is not a database\n");
    writeFile(root + "/existing.db", "x");
    QDir().mkpath(root + "/plain_dir");
    writeSqlite(root + "/other.sqlite", "CREATE TABLE t(a);");
    ASSERT_TRUE(QFile::link(root + "/nowhere/store.db", root + "/dangling.db"));

    // A backup with a manifest that lists no messenger file.
    const QString noMessenger = root + "/no_messenger";
    QDir().mkpath(noMessenger);
    writeFile(noMessenger + "/Info.plist",
              "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Device Name</key><string>x</string>"
              "</dict></plist>");
    writeSqlite(noMessenger + "/Manifest.db",
                "CREATE TABLE Files(fileID TEXT, domain TEXT, relativePath TEXT, flags INTEGER, file BLOB);"
                "INSERT INTO Files VALUES('0123456789012345678901234567890123456789','HomeDomain','a.txt',1,NULL);");
    const QString encrypted = root + "/encrypted";
    ASSERT_TRUE(generateBackup(encrypted, "--layout db --encrypted --kdf-iterations 1000 --placeholder-db"));
    const QString twoAccounts = root + "/two_accounts";
    ASSERT_TRUE(generateBackup(twoAccounts, "--layout mbdb --accounts 2 --placeholder-db"));

    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const std::string r = root.toStdString();
    const std::vector<Case> cases = {
        {{"scan", "--db", r + "/missing.sqlite"}, "file not found"},
        {{"scan", "--db", r + "/notes.txt"}, "not an SQLite database"},
        {{"scan", "--db", r + "/plain_dir"}, "not a file"},
        {{"scan", r + "/missing_backup"}, "backup directory not found"},
        {{"scan", r + "/plain_dir"}, "not an iTunes backup"},
        {{"accounts", r + "/notes.txt"}, "not a backup directory"},
        {{"scan", r + "/no_messenger"}, "no messenger data"},
        {{"scan", r + "/encrypted"}, "encrypted"},
        {{"accounts", r + "/encrypted"}, "encrypted"},
        {{"scan", r + "/two_accounts"}, "choose one with --account"},
        {{"scan", r + "/two_accounts", "--account", "nobody"}, "no messenger account named nobody"},
        {{"scan", "--db", r + "/other.sqlite", "--store", r + "/existing.db"}, "output file exists"},
        // Output paths are checked before the scan, a link pointing nowhere included.
        {{"scan", "--db", r + "/other.sqlite", "--store", r + "/dangling.db"}, "output file is a symbolic link"},
        {{"scan", "--db", r + "/other.sqlite", "--store", r + "/missing_dir/s.db"}, "directory of the output file does not exist"},
        {{"scan", "--db", r + "/other.sqlite", "--export", r + "/notes.txt"}, "export directory is not a directory"},
        {{"scan", "--db", r + "/other.sqlite", "--export", r + "/notes.txt/sub"}, "export directory cannot be created"},
        {{"export", r + "/other.sqlite", "--export", r + "/out"}, "not a recovery store"},
        {{"export", r + "/missing.db", "--export", r + "/out"}, "file not found"},
        {{"backups", "--root", r + "/missing_root"}, "backup root not found"},
    };
    const auto before = fingerprint(root);
    for (const Case& c : cases) {
        const Outcome outcome = run(c.arguments);
        EXPECT_EQ(kExitFailure, outcome.code) << c.message;
        EXPECT_NE(std::string::npos, outcome.err.find(c.message)) << outcome.err;
        EXPECT_EQ(1, std::count(outcome.err.begin(), outcome.err.end(), '\n')) << outcome.err;
    }
    EXPECT_EQ(before, fingerprint(root));  // nothing written anywhere, backups included
}

// A readable database without one table of the messenger is refused; one whose
// schema cannot be read is carved (see the damaged cases).
TEST(Cli, ScanWithoutMessengerTablesFailsCleanly) {
    QTemporaryDir temp;
    const QString db = temp.path() + "/empty.sqlite";
    writeSqlite(db, "CREATE TABLE t(a); INSERT INTO t VALUES(1);");
    const Outcome outcome = run({"scan", "--db", db.toStdString()});
    EXPECT_EQ(kExitFailure, outcome.code);
    EXPECT_NE(std::string::npos, outcome.err.find("recovery failed")) << outcome.err;
    EXPECT_NE(std::string::npos, outcome.err.find("No messenger table")) << outcome.err;
}

// One unexpected item is skipped: the summary, the JSON, the kept store and the
// exit status say the result is partial and why; the rest is recovered.
TEST(Cli, ADamagedDatabaseGivesAPartialResult) {
    QTemporaryDir temp;
    const QString db = temp.path() + "/MM.sqlite";
    writeSqlite(db, (std::string(wcrtest::kFriendTablesSql) +
                "INSERT INTO Friend (UsrName, NickName) VALUES ('alice', 'Alice');"
                "CREATE TABLE Chat_abc(TableVer integer default 1, MesLocalID integer primary key autoincrement, "
                "MesSvrID integer default 0, CreateTime integer default 0, Message text, Status integer default 0, "
                "ImgStatus integer default 2, Type integer, Des integer);"
                "INSERT INTO Chat_abc (Message) VALUES ('x');")
                    .c_str());
    const Outcome human = run({"scan", "--db", db.toStdString(), "--store", (temp.path() + "/kept.db").toStdString()});
    EXPECT_EQ(kExitPartial, human.code) << human.err;
    EXPECT_NE(std::string::npos, human.out.find("contacts: 1 live")) << human.out;
    EXPECT_NE(std::string::npos, human.out.find("result: partial")) << human.out;
    EXPECT_NE(std::string::npos, human.out.find("  Chat_abc: chatTableName[Chat_abc] invalid!")) << human.out;
    EXPECT_NE(std::string::npos, human.out.find("recovery store kept in")) << human.out;

    const Outcome json = run({"scan", "--db", db.toStdString(), "--json", "--quiet"});
    EXPECT_EQ(kExitPartial, json.code) << json.err;
    const QJsonObject root = QJsonDocument::fromJson(QByteArray::fromStdString(json.out)).object();
    EXPECT_TRUE(root["partial"].toBool()) << json.out;
    ASSERT_EQ(1, root["partialReasons"].toArray().size()) << json.out;
    EXPECT_EQ("Chat_abc: chatTableName[Chat_abc] invalid!", root["partialReasons"].toArray()[0].toString().toStdString());

    // The kept store says so too, and a later export reports it.
    const Outcome exported = run({"export", (temp.path() + "/kept.db").toStdString(), "--export",
                                  (temp.path() + "/out").toStdString(), "--json", "--quiet"});
    const QJsonObject again = QJsonDocument::fromJson(QByteArray::fromStdString(exported.out)).object();
    EXPECT_TRUE(again["partial"].toBool()) << exported.out << exported.err;
    EXPECT_EQ(kExitPartial, exported.code) << exported.err;
    const Outcome exportedAgain = run({"export", (temp.path() + "/kept.db").toStdString(), "--export",
                                       (temp.path() + "/out2").toStdString()});
    EXPECT_EQ(kExitPartial, exportedAgain.code) << exportedAgain.err;
    EXPECT_NE(std::string::npos, exportedAgain.out.find("result: partial")) << exportedAgain.out;
}

class CliBackupLayout : public ::testing::TestWithParam<const char*> {};

TEST_P(CliBackupLayout, ScansAccountsAndExportsAGeneratedBackup) {
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const QString root = temp.path();
    const QString backupRoot = root + "/roots";
    const QString backup = backupRoot + "/00112233445566778899aabbccddeeff00112233";
    ASSERT_TRUE(generateBackup(backup, std::string("--layout ") + GetParam() + " --accounts 2 --profile tiny"));
    const auto before = fingerprint(backup);

    const Outcome listed = run({"backups", "--root", backupRoot.toStdString()});
    ASSERT_EQ(kExitOk, listed.code) << listed.err;
    EXPECT_NE(std::string::npos, listed.out.find("not encrypted"));
    EXPECT_NE(std::string::npos, listed.out.find(backup.toStdString()));

    const Outcome accounts = run({"accounts", backup.toStdString()});
    ASSERT_EQ(kExitOk, accounts.code) << accounts.err;
    const size_t first = accounts.out.find("account ");
    ASSERT_NE(std::string::npos, first);
    EXPECT_NE(std::string::npos, accounts.out.find("account ", first + 1)) << accounts.out;
    EXPECT_NE(std::string::npos, accounts.out.find("owner: "));
    const std::string accountDir = accounts.out.substr(first + 8, 32);

    const QString store = root + "/store.sqlite";
    const QString exportRoot = root + "/export";
    const Outcome scanned = run({"scan", backup.toStdString(), "--account", accountDir, "--store",
                                 store.toStdString(), "--export", exportRoot.toStdString(), "--threads", "2"});
    ASSERT_EQ(kExitOk, scanned.code) << scanned.err;
    EXPECT_NE(std::string::npos, scanned.out.find("contacts: ")) << scanned.out;
    EXPECT_NE(std::string::npos, scanned.out.find("recovered from deleted space"));
    EXPECT_NE(std::string::npos, scanned.out.find("carved rows rejected as not messages: ")) << scanned.out;
    EXPECT_NE(std::string::npos, scanned.err.find("(3/3) 正在扫描、分析记录... 100%")) << scanned.err;
    EXPECT_TRUE(QFile::exists(store));
    const QString site = exportRoot + "/微信聊天记录恢复";
    for (const char* asset : {"/css/page.css", "/css/page-base.css", "/js/page.js"}) {
        EXPECT_TRUE(QFile::exists(site + asset)) << asset;
    }
    const QStringList pages = htmlPages(exportRoot);
    EXPECT_GT(pages.size(), 2);

    // The kept store exports the same pages again.
    const QString again = root + "/again";
    const Outcome exported = run({"export", store.toStdString(), "--export", again.toStdString(), "--backup",
                                  backup.toStdString(), "--account", accountDir});
    ASSERT_EQ(kExitOk, exported.code) << exported.err;
    EXPECT_EQ(pages, htmlPages(again));

    EXPECT_EQ(before, fingerprint(backup));  // the backup was only read
}

INSTANTIATE_TEST_SUITE_P(Layouts, CliBackupLayout, ::testing::Values("mbdb", "db"));

// An encrypted backup with its password from a file or a variable: the same
// result as its unencrypted twin, one line for a wrong password, and nothing
// decrypted left in the working directory.
TEST(Cli, EncryptedBackupScansWithThePasswordFromAFileOrAVariable) {
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const QString root = temp.path();
    const QString plain = root + "/plain", encrypted = root + "/encrypted";
    ASSERT_TRUE(generateBackup(plain, "--layout mbdb --profile tiny --seed 4"));
    ASSERT_TRUE(generateBackup(encrypted, "--layout mbdb --profile tiny --seed 4 --encrypted --password 'ünïcode pw' "
                                          "--kdf-iterations 2000"));
    const auto before = fingerprint(encrypted);
    writeFile(root + "/pw", "ünïcode pw\r\nsecond line\n");
    writeFile(root + "/wrong", "unicode pw\n");

    const Outcome twin = run({"scan", plain.toStdString(), "--json", "--threads", "1"});
    ASSERT_EQ(kExitOk, twin.code) << twin.err;
    const QString work = root + "/work";
    const Outcome scanned = run({"scan", encrypted.toStdString(), "--password-file", (root + "/pw").toStdString(),
                                 "--work", work.toStdString(), "--json", "--threads", "1", "--export",
                                 (root + "/export").toStdString()});
    ASSERT_EQ(kExitOk, scanned.code) << scanned.err;
    EXPECT_NE(std::string::npos, scanned.err.find("正在由备份密码生成密钥... 100%")) << scanned.err;
    // The summaries agree but for the stage times and the export.
    auto counts = [](const std::string& json) { return json.substr(0, json.find("\"export\"")); };
    EXPECT_EQ(counts(twin.out), counts(scanned.out));
    EXPECT_TRUE(QDir(work).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).filter("decrypted").isEmpty());
    EXPECT_FALSE(QFile::exists(work + "/MM.sqlite"));

    qputenv("WCR_TEST_BACKUP_PASSWORD", "ünïcode pw");
    const Outcome accounts = run({"accounts", encrypted.toStdString(), "--password-env", "WCR_TEST_BACKUP_PASSWORD"});
    qunsetenv("WCR_TEST_BACKUP_PASSWORD");
    EXPECT_EQ(kExitOk, accounts.code) << accounts.err;
    EXPECT_NE(std::string::npos, accounts.out.find("owner: ")) << accounts.out;

    struct Case {
        std::vector<std::string> arguments;
        std::string lastLine;
    };
    const std::string e = encrypted.toStdString(), r = root.toStdString();
    const Case cases[] = {
        {{"scan", e, "--password-file", r + "/wrong"}, "wchat-recover: wrong backup password\n"},
        {{"accounts", e, "--password-env", "WCR_TEST_UNSET_VARIABLE"},
         "wchat-recover: the environment variable WCR_TEST_UNSET_VARIABLE is not set\n"},
        {{"scan", e, "--password-file", r + "/missing"}, "wchat-recover: cannot read the password file: " + r + "/missing\n"},
        // Standard input is no terminal here: nothing to ask on.
        {{"scan", e}, "wchat-recover: the backup is encrypted: give its password with --password-file FILE or "
                      "--password-env NAME\n"},
    };
    for (const Case& c : cases) {
        const Outcome outcome = run(c.arguments);
        EXPECT_EQ(kExitFailure, outcome.code) << outcome.err;
        ASSERT_GE(outcome.err.size(), c.lastLine.size());
        EXPECT_EQ(c.lastLine, outcome.err.substr(outcome.err.size() - c.lastLine.size())) << outcome.err;
    }
    EXPECT_EQ(before, fingerprint(encrypted));
}

// Names from a backup or a database reach the terminal as text: no escape sequence,
// control character or direction override of theirs is written as it is.
TEST(Cli, NamesFromTheFileCannotDriveTheTerminal) {
    struct Case {
        std::string text;
        std::string shown;
    } const cases[] = {
        {"iPhone \x1b]0;owned\x07", "iPhone \\x1b]0;owned\\x07"},
        {"a\r\nb\x7f", "a\\x0d\\x0ab\\x7f"},
        {"\xc2\x9b" "2J", "\\u009b2J"},                       // C1 control sequence introducer
        {"doc\xe2\x80\xaegpj.exe", "doc\\u202egpj.exe"},       // right-to-left override
        {"\xe2\x81\xa6x\xe2\x81\xa9", "\\u2066x\\u2069"},      // isolates
        {"张三的 iPhone ☀ é", "张三的 iPhone ☀ é"},           // ordinary text stays
    };
    for (const Case& c : cases) EXPECT_EQ(c.shown, talwen::app::cli::forTerminal(c.text)) << c.shown;

    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    // A backup folder whose name carries escape sequences (an XML plist cannot).
    const QString backup = temp.path() + "/roots/evil\x1b[2J\x1b]0;title\x07";
    ASSERT_TRUE(QDir().mkpath(backup));
    writeFile(backup + "/Info.plist",
              "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Device Name</key>"
              "<string>phone</string></dict></plist>");
    const Outcome listed = run({"backups", "--root", (temp.path() + "/roots").toStdString()});
    ASSERT_EQ(kExitOk, listed.code) << listed.err;
    EXPECT_NE(std::string::npos, listed.out.find("evil\\x1b[2J\\x1b]0;title\\x07")) << listed.out;
    const Outcome missing = run({"scan", "--db", (temp.path() + "/\x1b[2Jgone.sqlite").toStdString()});
    EXPECT_EQ(kExitFailure, missing.code);
    for (const Outcome* outcome : {&listed, &missing}) {
        EXPECT_EQ(std::string::npos, (outcome->out + outcome->err).find('\x1b'));
    }
}
