#include "app/cli/CliCommands.h"

#include <QFileInfo>
#include <QString>

#include "app/cli/CliOptions.h"
#include "app/cli/TerminalProgress.h"
#include "app/session/RecoveryProgress.h"
#include "app/session/RecoverySession.h"
#include "backup/BackupManager.h"
#include "common/Status.h"

namespace talwen {
namespace app {
namespace cli {

namespace {

using common::Status;

QString toQ(const std::string& text) { return QString::fromStdString(text); }

std::string toStd(const QString& text) { return text.toStdString(); }

// A one-line failure message, always ending the command with kExitFailure.
int fail(std::ostream& err, const std::string& message) {
    err << "wchat-recover: " << message << "\n";
    return kExitFailure;
}

int fail(std::ostream& err, const Status& status) { return fail(err, status.message()); }

// Progress of a recovery and an export on standard error: a bar per carving seek,
// one line for each long stage without a progress record.
class CliProgress : public RecoveryObserver {
public:
    CliProgress(std::ostream& err, bool interactive) : progress_(err, interactive) {}

    void onStageBegin(wchat::Stage stage, const wchat::StageReport&) override {
        if (stage == wchat::Stage::LoadDatabase) progress_.note("正在读取数据库...");
        if (stage == wchat::Stage::DumpChats) progress_.note("正在复制未删除的聊天记录...");
        if (stage == wchat::Stage::FinishTargetDb) progress_.note("正在整理恢复结果...");
    }
    // A seek's own end closes its bar, so later stage lines never come before it.
    void onStageEnd(wchat::Stage stage, const wchat::StageReport& report) override {
        if (stage == wchat::Stage::DumpChats) progress_.note("已复制 " + std::to_string(report.count) + " 条聊天记录");
        const int seek = stage == wchat::Stage::SeekFriends      ? kFriendSeek
                         : stage == wchat::Stage::SeekChatTables ? kChatTableSeek
                         : stage == wchat::Stage::SeekChats      ? kChatSeek
                                                                 : -1;
        if (seek >= 0) {
            progress_.complete(kSeekBars[seek].counter, kSeekBars[seek].text, formatEpochUtc(report.elapsedMs / 1000));
        }
    }
    void onSeekProgress(Seek seek, const ProgressReport& report) override {
        if (!report.showIndicator) return;
        progress_.update(kSeekBars[seek].counter, kSeekBars[seek].text, report.percent, report.remainingText,
                         report.elapsedText);
    }
    void onExportProgress(const ExportProgress& step) override {
        static const std::string kExportText = "导出聊天记录";
        if (step.finished) {
            progress_.complete("", kExportText, "");
        } else {
            progress_.update("", kExportText, step.total > 0 ? step.done * 100 / step.total : 100, "", "");
        }
    }
    void finishLine() { progress_.finishLine(); }

    struct SeekBar {
        const char* counter;
        const char* text;
    };
    static const SeekBar kSeekBars[3];

private:
    TerminalProgress progress_;
};

const CliProgress::SeekBar CliProgress::kSeekBars[3] = {
    {"(1/3)", kFriendSeekText}, {"(2/3)", kChatTableSeekText}, {"(3/3)", kChatSeekText}};

// ---- Backups --------------------------------------------------------------

int listBackups(const CliOptions& options, std::ostream& out, std::ostream& err) {
    backup::BackupManager manager;
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
    RecoverySession session;
    const Status opened = session.openBackup(options.backupDir);
    if (!opened.isOk()) return fail(err, opened);
    const AccountSampling sampling = session.sampleAccounts();
    const backup::BackupManager& manager = session.backup();
    for (const auto& entry : manager.databaseFiles()) {
        const std::string& databasePath = entry.first;
        out << "account " << backup::BackupManager::accountDirectory(databasePath) << "\n";
        for (const auto& [settingsPath, owner] : manager.accountSettings()) {
            if (!backup::BackupManager::sameAccount(settingsPath, databasePath)) continue;
            out << "  owner: " << owner.userName << " (" << owner.nickName << ")\n";
            break;
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

void printSummary(const wchat::StoreSummary& counts, const RecoveredData& data, std::ostream& out) {
    out << "contacts: " << counts.liveFriends << " live, " << counts.carvedFriends << " carved\n";
    out << "messages: " << counts.liveChats << " live, " << counts.carvedChats << " recovered from deleted space\n";
    out << "contacts made up for conversations whose contact is gone: " << counts.madeUpFriends << "\n";
    out << "unknown-friend conversations (no contact found): " << data.unknownFriendGroups().size() << "\n";
    out << "共成功恢复 " << data.recoveredCount() << " 条已删除聊天记录。\n";
}

// Exports every conversation of the session below exportDir; prints the export's path.
int exportAll(RecoverySession& session, CliProgress& progress, const std::string& exportDir, std::ostream& out,
              std::ostream& err) {
    const ExportOutcome outcome = session.exportAll(exportDir);
    progress.finishLine();
    if (outcome.directory.empty()) return fail(err, outcome.status);
    out << "exported " << outcome.written << " conversations to " << outcome.directory << "\n";
    return outcome.status.isOk() ? kExitOk : fail(err, outcome.status);
}

int scan(const CliOptions& options, std::ostream& out, std::ostream& err, bool interactive) {
    if (!options.storeFile.empty() && QFileInfo::exists(toQ(options.storeFile))) {
        return fail(err, "output file exists: " + options.storeFile);
    }
    CliProgress progress(err, interactive);
    RecoverySession session(&progress);
    Status status = session.setWorkDirectory(options.workDir);
    if (!status.isOk()) return fail(err, status);
    if (!options.databaseFile.empty()) {
        status = session.useDatabaseFile(options.databaseFile);
        if (status.isOk()) status = session.copySource();
    } else {
        status = session.openBackup(options.backupDir);
        if (status.isOk()) status = session.chooseAccount(options.account);
        if (status.isOk()) status = session.copySource();
        if (status.isOk()) {
            err << "account " << session.accountDirectory();
            if (!session.accountUserName().empty()) err << ": " << session.accountUserName();
            err << "\n";
        }
    }
    if (!status.isOk()) return fail(err, status);

    status = session.recover(options.threads);
    progress.finishLine();
    if (!status.isOk()) return fail(err, status);
    status = session.loadResults();  // every row: the export must leave nothing out
    wchat::StoreSummary counts;
    if (status.isOk()) status = session.summary(&counts);
    if (!status.isOk()) return fail(err, status);
    printSummary(counts, session.results(), out);

    if (!options.storeFile.empty()) {
        status = session.keepStore(options.storeFile);
        if (!status.isOk()) return fail(err, status);
        out << "recovery store kept in " << options.storeFile << "\n";
    }
    if (!options.exportDir.empty()) return exportAll(session, progress, options.exportDir, out, err);
    return kExitOk;
}

// ---- Export from a kept store ---------------------------------------------

int exportStore(const CliOptions& options, std::ostream& out, std::ostream& err, bool interactive) {
    CliProgress progress(err, interactive);
    RecoverySession session(&progress);
    Status status = session.openKeptStore(options.storeFile);
    if (!status.isOk()) return fail(err, status);
    if (!options.backupDir.empty()) {
        status = session.openBackup(options.backupDir);
        if (status.isOk()) status = session.chooseAccount(options.account);
        if (!status.isOk()) return fail(err, status);
    }
    status = session.loadResults();  // every row: the export must leave nothing out
    if (!status.isOk()) return fail(err, status);
    return exportAll(session, progress, options.exportDir, out, err);
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
