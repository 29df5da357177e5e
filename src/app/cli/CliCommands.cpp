#include "app/cli/CliCommands.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QTemporaryDir>

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <thread>

#include "app/cli/CliOptions.h"
#include "app/cli/TerminalProgress.h"
#include "app/model/AccountDatabase.h"
#include "app/model/AccountSampler.h"
#include "app/model/ChatExporter.h"
#include "app/model/PageAssets.h"
#include "app/model/RecoveredData.h"
#include "app/model/RecoveryProgress.h"
#include "backup/BackupManager.h"
#include "sqlite_recovery/Database.h"
#include "sqlite_recovery/SeekProgressIndicator.h"
#include "sqldb/ResultSet.h"
#include "sqldb/SqliteAssistant.h"
#include "wchat/WchatChatToDbSeeker.h"
#include "wchat/RecoveryStore.h"

namespace talwen {
namespace app {
namespace cli {

namespace {

using backup::BackupManager;
using common::ErrorInfo;
using sqldb::ResultSet;
using sqldb::SqliteAssistant;

QString toQ(const std::string& text) { return QString::fromStdString(text); }

std::string toStd(const QString& text) { return text.toStdString(); }

// A one-line failure message, always ending the command with kExitFailure.
int fail(std::ostream& err, const std::string& message) {
    err << "wchat-recover: " << message << "\n";
    return kExitFailure;
}

// ---- Backups --------------------------------------------------------------

// Opens a backup for reading its messenger files; the message says why not.
bool openBackup(const std::string& dir, BackupManager& manager, std::string& message) {
    const QFileInfo info(toQ(dir));
    if (!info.exists()) {
        message = "backup directory not found: " + dir;
        return false;
    }
    if (!info.isDir()) {
        message = "not a backup directory: " + dir;
        return false;
    }
    if (BackupManager::isEncryptedBackup(dir)) {
        message = "the backup is encrypted and cannot be read without its password: " + dir;
        return false;
    }
    if (!manager.loadManifest(dir)) {
        message = "not an iTunes backup (no Manifest.mbdb or Manifest.db): " + dir;
        return false;
    }
    manager.locateMessengerFiles(dir);
    if (manager.locateOutcome() == BackupManager::LocateOutcome::Encrypted) {
        message = "the backup is encrypted and cannot be read without its password: " + dir;
        return false;
    }
    if (manager.databaseFiles().empty()) {
        message = "no messenger data in the backup: " + dir;
        return false;
    }
    manager.readAccountSettings();
    return true;
}

// The settings of the account whose database lies at `databasePath`, if read.
const backup::AccountSettings* ownerOf(const BackupManager& manager, const std::string& databasePath) {
    for (const auto& [settingsPath, settings] : manager.accountSettings()) {
        if (BackupManager::sameAccount(settingsPath, databasePath)) return &settings;
    }
    return nullptr;
}

// The chosen account: its database path and its owner's user name. An account is
// named by its 32-character directory or its owner's user name; the only account
// of a backup needs no name.
struct ChosenAccount {
    std::string databasePath;
    std::string userName;
};

std::optional<ChosenAccount> chooseAccount(const BackupManager& manager, const std::string& account,
                                           std::string& message) {
    const auto& databases = manager.databaseFiles();
    if (account.empty()) {
        if (databases.size() == 1) {
            const std::string& path = databases.begin()->first;
            const backup::AccountSettings* owner = ownerOf(manager, path);
            return ChosenAccount{path, owner ? owner->userName : std::string()};
        }
        message = "the backup holds " + std::to_string(databases.size()) +
                  " messenger accounts; choose one with --account (see: wchat-recover accounts DIR)";
        return std::nullopt;
    }
    for (const auto& entry : databases) {
        if (BackupManager::accountDirectory(entry.first) != account) continue;
        const backup::AccountSettings* owner = ownerOf(manager, entry.first);
        if (owner == nullptr && databases.size() > 1) {
            message = "the settings of account " + account + " cannot be read; name it by its user name";
            return std::nullopt;
        }
        return ChosenAccount{entry.first, owner ? owner->userName : std::string()};
    }
    for (const auto& [settingsPath, settings] : manager.accountSettings()) {
        if (settings.userName != account) continue;
        const std::string database = manager.databaseForSettings(settingsPath);
        if (!database.empty()) return ChosenAccount{database, settings.userName};
    }
    message = "no messenger account named " + account + " in the backup";
    return std::nullopt;
}

int listBackups(const CliOptions& options, std::ostream& out, std::ostream& err) {
    BackupManager manager;
    if (options.roots.empty()) {
        manager.scanBackups();
    } else {
        for (const std::string& root : options.roots) {
            if (!QFileInfo(toQ(root)).isDir()) return fail(err, "backup root not found: " + root);
        }
        manager.scanBackupRoots(options.roots);
    }
    if (manager.backups().empty()) {
        err << "no iTunes backups found\n";
        return kExitOk;
    }
    for (const backup::BackupInfo& info : manager.backups()) {
        out << info.deviceName << "\t" << info.lastBackupDate << "\t" << info.serialNumber << "\t"
            << (info.encrypted ? "encrypted" : "not encrypted") << "\t" << info.path << "\n";
    }
    return kExitOk;
}

int listAccounts(const CliOptions& options, std::ostream& out, std::ostream& err) {
    BackupManager manager;
    std::string message;
    if (!openBackup(options.backupDir, manager, message)) return fail(err, message);
    const AccountSampling sampling =
        sampleAccountFriends(toQ(manager.currentBackup()), databaseFileMap(manager));
    for (const auto& entry : manager.databaseFiles()) {
        const std::string& databasePath = entry.first;
        out << "account " << BackupManager::accountDirectory(databasePath) << "\n";
        if (const backup::AccountSettings* owner = ownerOf(manager, databasePath)) {
            out << "  owner: " << owner->userName << " (" << owner->nickName << ")\n";
        }
        const auto samples = sampling.samples.find(toQ(databasePath));
        if (samples == sampling.samples.end() || samples->second.empty()) continue;
        out << "  friends:";
        size_t shown = 0;
        for (const AccountSample& sample : samples->second) {
            if (shown++ == 8) break;
            out << " " << toStd(sample.nickName.isEmpty() ? sample.usrName : sample.nickName) << ";";
        }
        out << "\n";
    }
    return kExitOk;
}

// ---- Scanning -------------------------------------------------------------

// Checks that a file exists and starts like an SQLite database.
bool checkDatabaseFile(const std::string& path, std::string& message) {
    const QFileInfo info(toQ(path));
    if (!info.exists()) {
        message = "file not found: " + path;
        return false;
    }
    if (!info.isFile()) {
        message = "not a file: " + path;
        return false;
    }
    sqlite::Database database;
    ErrorInfo error;
    database.open(path, &error);
    if (!error.isSuccess()) {
        message = "not an SQLite database: " + path + " (" + error.getMessage() + ")";
        return false;
    }
    return true;
}

int64_t countRows(sqlite3* store, const std::string& sql) {
    ResultSet result;
    ErrorInfo error;
    SqliteAssistant::query(store, 1, sql, result, &error);
    if (!error.isSuccess() || result.getRowCount() == 0) return 0;
    const auto& value = result.getValue(0, 0);
    return value && value->isInteger() ? value->getIntegerValue() : 0;
}

void printSummary(sqlite3* store, const RecoveredData& data, std::ostream& out) {
    const int64_t liveFriends = countRows(store, "SELECT count(*) FROM WC_Friend WHERE obtainWay = 1;");
    const int64_t carvedFriends = countRows(store, "SELECT count(*) FROM WC_Friend WHERE obtainWay = 2;");
    const int64_t madeUp = countRows(store, "SELECT count(*) FROM WC_Friend WHERE obtainWay = 101;");
    const int64_t liveChats = countRows(store, "SELECT count(*) FROM WC_Chat WHERE obtainWay = 1;");
    const int64_t carvedChats = countRows(store, "SELECT count(*) FROM WC_Chat WHERE obtainWay = 2;");
    out << "contacts: " << liveFriends << " live, " << carvedFriends << " carved\n";
    out << "messages: " << liveChats << " live, " << carvedChats << " recovered from deleted space\n";
    out << "contacts made up for conversations whose contact is gone: " << madeUp << "\n";
    out << "unknown-friend conversations (no contact found): " << data.unknownFriendGroups().size() << "\n";
    out << "共成功恢复 " << data.recoveredCount() << " 条已删除聊天记录。\n";
}

// Exports every conversation of the store below exportDir; prints the export's path.
int exportAll(sqlite3* store, const RecoveredData& data, const RenderContext& context, const std::string& exportDir,
              const QString& workDir, std::ostream& out, std::ostream& err, bool interactive) {
    const QFileInfo target(toQ(exportDir));
    if (target.exists() && !target.isDir()) return fail(err, "export target is not a directory: " + exportDir);
    if (!QDir().mkpath(toQ(exportDir))) return fail(err, "cannot create the export directory: " + exportDir);
    if (!PageAssets::install(workDir)) return fail(err, "cannot install the page assets in " + toStd(workDir));
    ChatExporter exporter(store, data, context);
    exporter.setPacing(0, 0);
    if (!exporter.prepareExportDirectory(toQ(exportDir), workDir)) {
        return fail(err, "cannot prepare the export directory below " + exportDir);
    }
    const std::vector<ExportItem> items = ChatExporter::exportAllSet(data);
    TerminalProgress progress(err, interactive);
    const std::string stageText = "导出聊天记录";
    int failed = 0;
    std::string firstFailure;
    exporter.exportConversations(items, [&](const ExportProgress& step) {
        if (!step.finished && !step.page.written) {
            if (failed++ == 0) firstFailure = toStd(step.page.path);
        }
        if (step.finished) {
            progress.complete("", stageText, "");
        } else {
            progress.update("", stageText, step.total > 0 ? step.done * 100 / step.total : 100, "", "");
        }
    });
    progress.finishLine();
    out << "exported " << (items.size() - failed) << " conversations to " << toStd(exporter.exportDirectory())
        << "\n";
    if (failed > 0) return fail(err, std::to_string(failed) + " pages could not be written, first: " + firstFailure);
    return kExitOk;
}

// Runs the recovery pipeline on the copy with progress bars on `err`.
bool runPipeline(wchat::WchatChatToDbSeeker& seeker, unsigned threads, std::ostream& err, bool interactive,
                 ErrorInfo* error) {
    sqlite::SeekProgressIndicator friendProgress, tableProgress, chatProgress;
    seeker.setFriendSeekProgress(&friendProgress);
    seeker.setChatTableSeekProgress(&tableProgress);
    seeker.setChatSeekProgress(&chatProgress);

    TerminalProgress progress(err, interactive);
    std::atomic<bool> running{true};
    struct Watched {
        const sqlite::SeekProgressIndicator* indicator;
        const char* counter;
        const char* text;
    };
    const Watched watched[] = {{&friendProgress, "(1/3)", kFriendSeekText},
                               {&tableProgress, "(2/3)", kChatTableSeekText},
                               {&chatProgress, "(3/3)", kChatSeekText}};
    // The long stages without a progress record get one line each; a seek's own
    // end closes its bar, so later stage lines never come before it.
    struct Stages : wchat::StageObserver {
        TerminalProgress& progress;
        const Watched* watched;
        Stages(TerminalProgress& p, const Watched* w) : progress(p), watched(w) {}
        void onBegin(wchat::Stage stage, const wchat::StageReport&) override {
            if (stage == wchat::Stage::LoadDatabase) progress.note("正在读取数据库...");
            if (stage == wchat::Stage::DumpChats) progress.note("正在复制未删除的聊天记录...");
            if (stage == wchat::Stage::FinishTargetDb) progress.note("正在整理恢复结果...");
        }
        void onEnd(wchat::Stage stage, const wchat::StageReport& report) override {
            if (stage == wchat::Stage::DumpChats)
                progress.note("已复制 " + std::to_string(report.count) + " 条聊天记录");
            const int seek = stage == wchat::Stage::SeekFriends      ? 0
                             : stage == wchat::Stage::SeekChatTables ? 1
                             : stage == wchat::Stage::SeekChats      ? 2
                                                                     : -1;
            if (seek >= 0)
                progress.complete(watched[seek].counter, watched[seek].text,
                                  formatEpochUtc(report.elapsedMs / 1000));
        }
    } stages(progress, watched);
    seeker.setStageObserver(&stages);
    std::vector<std::thread> watchers;
    for (const Watched& w : watched) {
        watchers.emplace_back([&progress, &running, w] {
            ProgressWatcher::watch(
                *w.indicator,
                [&progress, w](const ProgressReport& report) {
                    if (report.showIndicator) {
                        progress.update(w.counter, w.text, report.percent, report.remainingText, report.elapsedText);
                    }
                },
                [&running] { return running.load(); });
        });
    }
    seeker.run(threads, 3, error);
    seeker.setStageObserver(nullptr);
    running = false;
    for (std::thread& watcher : watchers) watcher.join();
    progress.finishLine();
    // The pipeline must not keep pointers to the indicators that die here.
    seeker.setFriendSeekProgress(nullptr);
    seeker.setChatTableSeekProgress(nullptr);
    seeker.setChatSeekProgress(nullptr);
    return error->isSuccess();
}

int scan(const CliOptions& options, std::ostream& out, std::ostream& err, bool interactive) {
    if (!options.storeFile.empty() && QFileInfo::exists(toQ(options.storeFile))) {
        return fail(err, "output file exists: " + options.storeFile);
    }

    // Working directory: the one given, or a temporary one removed at the end.
    std::unique_ptr<QTemporaryDir> temporary;
    QString workDir;
    if (options.workDir.empty()) {
        temporary = std::make_unique<QTemporaryDir>();
        if (!temporary->isValid()) return fail(err, "cannot create a temporary working directory");
        workDir = temporary->path();
    } else {
        workDir = toQ(options.workDir);
        if (!QDir().mkpath(workDir)) return fail(err, "cannot create the working directory: " + options.workDir);
    }

    BackupManager manager;
    MediaFileMap mediaFiles;
    RenderContext context;
    DatabaseCopy copy;
    std::string message;
    if (!options.databaseFile.empty()) {
        if (!checkDatabaseFile(options.databaseFile, message)) return fail(err, message);
        copy = copyDatabaseFile(toQ(options.databaseFile), workDir);
    } else {
        if (!openBackup(options.backupDir, manager, message)) return fail(err, message);
        const std::optional<ChosenAccount> account = chooseAccount(manager, options.account, message);
        if (!account) return fail(err, message);
        const std::string source = manager.backupFilePath(account->databasePath);
        if (source.empty() || !QFileInfo(toQ(source)).isFile()) {
            return fail(err, "the backup lacks the file of " + account->databasePath);
        }
        if (!checkDatabaseFile(source, message)) return fail(err, message);
        copy = copyAccountDatabase(manager, account->userName, workDir);
        if (copy.ok) {
            mediaFiles = mediaFileMap(manager);
            context = accountRenderContext(manager, copy.accountDir, account->userName);
            err << "account " << toStd(copy.accountDir);
            if (!account->userName.empty()) err << ": " << account->userName;
            err << "\n";
        }
    }
    if (!copy.ok) return fail(err, toStd(copy.message));

    const unsigned threads =
        options.threads > 0 ? options.threads : seekThreadCount(std::thread::hardware_concurrency());
    wchat::WchatChatToDbSeeker seeker(toStd(copy.copiedPath), "", nullptr);
    ErrorInfo error;
    if (!runPipeline(seeker, threads, err, interactive, &error)) {
        return fail(err, "recovery failed: " + error.getMessage());
    }
    sqlite3* store = seeker.getTargetDb();
    wchat::RecoveryStore* recoveryStore = seeker.getStore();

    RecoveredData data;
    data.loadFriends(store, &error, 0);  // every contact: the export must leave nothing out
    if (error.isSuccess()) data.loadLostFriendChats(store, &error, 0);
    if (error.isSuccess()) data.countRecoveredChats(store, &error);
    if (!error.isSuccess()) return fail(err, "cannot read the recovery store: " + error.getMessage());
    printSummary(store, data, out);

    if (!options.storeFile.empty()) {
        recoveryStore->saveTargetDb(options.storeFile, &error);
        if (!error.isSuccess()) return fail(err, "cannot keep the recovery store: " + error.getMessage());
        out << "recovery store kept in " << options.storeFile << "\n";
    }
    if (!options.exportDir.empty()) {
        context.friendMap = &data.friendMap();
        context.mediaFiles = &mediaFiles;
        return exportAll(store, data, context, options.exportDir, workDir, out, err, interactive);
    }
    return kExitOk;
}

// ---- Export from a kept store ---------------------------------------------

int exportStore(const CliOptions& options, std::ostream& out, std::ostream& err, bool interactive) {
    std::string message;
    if (!checkDatabaseFile(options.storeFile, message)) return fail(err, message);

    BackupManager manager;
    MediaFileMap mediaFiles;
    RenderContext context;
    if (!options.backupDir.empty()) {
        if (!openBackup(options.backupDir, manager, message)) return fail(err, message);
        const std::optional<ChosenAccount> account = chooseAccount(manager, options.account, message);
        if (!account) return fail(err, message);
        mediaFiles = mediaFileMap(manager);
        context = accountRenderContext(manager, toQ(BackupManager::accountDirectory(account->databasePath)),
                                       account->userName);
    }

    ErrorInfo error;
    sqlite3* store = SqliteAssistant::openDatabaseReadOnly(options.storeFile, &error);
    if (!error.isSuccess()) return fail(err, "cannot open " + options.storeFile + ": " + error.getMessage());
    struct Closer {
        sqlite3* db;
        ~Closer() { SqliteAssistant::closeDatabase(db); }
    } closer{store};

    ResultSet probe;
    SqliteAssistant::query(store, 1, "SELECT rcFriendId FROM WC_Friend LIMIT 1;", probe, &error);
    if (!error.isSuccess()) return fail(err, "not a recovery store: " + options.storeFile);

    RecoveredData data;
    data.loadFriends(store, &error, 0);  // every contact: the export must leave nothing out
    if (error.isSuccess()) data.loadLostFriendChats(store, &error, 0);
    if (error.isSuccess()) data.countRecoveredChats(store, &error);
    if (!error.isSuccess()) return fail(err, "cannot read the recovery store: " + error.getMessage());

    QTemporaryDir workDir;
    if (!workDir.isValid()) return fail(err, "cannot create a temporary working directory");
    context.friendMap = &data.friendMap();
    context.mediaFiles = &mediaFiles;
    return exportAll(store, data, context, options.exportDir, workDir.path(), out, err, interactive);
}

}  // namespace

int runCommandLine(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
                   bool interactive) {
    const CliOptions options = parseCommandLine(arguments);
    if (!options.error.empty()) {
        err << "wchat-recover: " << options.error << "\n" << kUsage;
        return kExitUsage;
    }
    switch (options.command) {
        case CliOptions::Command::Help:
            out << kUsage;
            return kExitOk;
        case CliOptions::Command::Backups:
            return listBackups(options, out, err);
        case CliOptions::Command::Accounts:
            return listAccounts(options, out, err);
        case CliOptions::Command::Scan:
            return scan(options, out, err, interactive);
        case CliOptions::Command::Export:
            return exportStore(options, out, err, interactive);
        case CliOptions::Command::None:
            break;
    }
    err << kUsage;
    return kExitUsage;
}

}  // namespace cli
}  // namespace app
}  // namespace talwen
