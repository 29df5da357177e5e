#include "app/cli/CliCommands.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "app/cli/CliOptions.h"
#include "app/cli/PasswordInput.h"
#include "app/cli/TerminalProgress.h"
#include "app/session/RecoveryProgress.h"
#include "app/browser/ResultBrowserModel.h"
#include "app/session/RecoverySession.h"
#include "backup/BackupManager.h"
#include "common/Status.h"
#include "common/Stopwatch.h"

namespace talwen {
namespace app {
namespace cli {

namespace {

using common::Status;

QString toQ(const std::string& text) { return QString::fromStdString(text); }

std::string toStd(const QString& text) { return text.toStdString(); }

// A one-line failure message, always ending the command with kExitFailure. The
// message may carry names and library texts taken from the file: shown as text.
int fail(std::ostream& err, const std::string& message) {
    err << "wchat-recover: " << forTerminal(message) << "\n";
    return kExitFailure;
}

int fail(std::ostream& err, const Status& status) { return fail(err, status.message()); }

// Progress of a recovery and an export on standard error: a bar for every stage
// that can take more than a second, and the time every stage took.
class CliProgress : public RecoveryObserver {
public:
    CliProgress(std::ostream& err, bool interactive, bool quiet) : progress_(err, interactive), quiet_(quiet) {}

    void onStageBegin(wchat::Stage stage, const wchat::StageReport&) override {
        const char* text = ownBarText(stage);
        if (text == nullptr || quiet_) return;
        stageWatch_.restart();
        progress_.update("", text, 0, "", formatEpochUtc(0));
    }
    void onStageProgress(wchat::Stage stage, uint64_t done, uint64_t total) override {
        const char* text = ownBarText(stage);
        if (text == nullptr || quiet_ || total == 0) return;
        const int64_t elapsedMs = std::max<int64_t>(0, stageWatch_.elapsedMilliseconds());
        const int percent = static_cast<int>(std::min<uint64_t>(100, done * 100 / total));
        std::string remaining;
        if (done > 0 && done < total) {
            const double fraction = static_cast<double>(done) / static_cast<double>(total);
            remaining = formatEpochUtc(remainingMilliseconds(fraction, elapsedMs) / 1000);
        }
        progress_.update("", text, percent, remaining, formatEpochUtc(static_cast<uint64_t>(elapsedMs) / 1000));
    }
    // A stage's own end closes its bar, so later lines never come before it.
    void onStageEnd(wchat::Stage stage, const wchat::StageReport& report) override {
        stageMs_.emplace_back(wchat::stageName(stage), report.elapsedMs);
        if (quiet_) return;
        const std::string elapsed = formatEpochUtc(report.elapsedMs / 1000);
        if (const char* text = ownBarText(stage)) progress_.complete("", text, elapsed);
        if (stage == wchat::Stage::DumpChats) progress_.note("已复制 " + std::to_string(report.count) + " 条聊天记录");
        const int seek = stage == wchat::Stage::SeekFriends      ? kFriendSeek
                         : stage == wchat::Stage::SeekChatTables ? kChatTableSeek
                         : stage == wchat::Stage::SeekChats      ? kChatSeek
                                                                 : -1;
        if (seek >= 0) progress_.complete(kSeekBars[seek].counter, kSeekBars[seek].text, elapsed);
    }
    void onSeekProgress(Seek seek, const ProgressReport& report) override {
        if (!report.showIndicator || quiet_) return;
        progress_.update(kSeekBars[seek].counter, kSeekBars[seek].text, report.percent, report.remainingText,
                         report.elapsedText);
    }
    void onExportProgress(const ExportProgress& step) override {
        static const std::string kExportText = "导出聊天记录";
        if (quiet_) return;
        if (step.finished) {
            progress_.complete("", kExportText, "");
        } else {
            progress_.update("", kExportText, step.total > 0 ? step.done * 100 / step.total : 100, "", "");
        }
    }
    void onBackupDecryption(DecryptionStep step, uint64_t done, uint64_t total) override {
        const char* text = step == kKeyDerivation ? "正在由备份密码生成密钥..." : "正在解密备份文件...";
        if (quiet_) return;
        if (done == 0) stageWatch_.restart();
        const int64_t elapsedMs = std::max<int64_t>(0, stageWatch_.elapsedMilliseconds());
        const std::string elapsed = formatEpochUtc(static_cast<uint64_t>(elapsedMs) / 1000);
        if (done >= total) {
            progress_.complete("", text, elapsed);
            return;
        }
        std::string remaining;
        if (done > 0) {
            remaining = formatEpochUtc(
                remainingMilliseconds(static_cast<double>(done) / static_cast<double>(total), elapsedMs) / 1000);
        }
        progress_.update("", text, static_cast<int>(done * 100 / total), remaining, elapsed);
    }
    void finishLine() { progress_.finishLine(); }
    // Every finished stage with its time, in order.
    const std::vector<std::pair<std::string, uint64_t>>& stageTimes() const { return stageMs_; }

    struct SeekBar {
        const char* counter;
        const char* text;
    };
    static const SeekBar kSeekBars[3];

private:
    // The stages drawn with a bar of their own (the seeks have their watchers).
    static const char* ownBarText(wchat::Stage stage) {
        switch (stage) {
            case wchat::Stage::LoadDatabase: return "正在读取数据库...";
            case wchat::Stage::DumpChats: return "正在复制未删除的聊天记录...";
            case wchat::Stage::FinishTargetDb: return "正在整理恢复结果...";
            default: return nullptr;
        }
    }

    TerminalProgress progress_;
    bool quiet_;
    common::Stopwatch stageWatch_;
    std::vector<std::pair<std::string, uint64_t>> stageMs_;
};

// Turns Ctrl-C (the flag a signal handler sets) into a stop request for the
// session while the object lives.
class InterruptWatch {
public:
    InterruptWatch(const std::atomic<bool>* interrupted, RecoverySession& session) : interrupted_(interrupted) {
        if (interrupted_ == nullptr) return;
        thread_ = std::thread([this, &session] {
            while (!done_.load()) {
                if (interrupted_->load()) {
                    session.requestCancel();
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
    }
    ~InterruptWatch() {
        done_ = true;
        if (thread_.joinable()) thread_.join();
    }
    bool interrupted() const { return interrupted_ != nullptr && interrupted_->load(); }

private:
    const std::atomic<bool>* interrupted_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

int stopped(std::ostream& err) {
    err << "wchat-recover: stopped by the user\n";
    return kExitInterrupted;
}

// Gives the session the password of an encrypted backup, read as the options say;
// nothing to do for a backup that is not encrypted.
Status providePassword(RecoverySession& session, const CliOptions& options, std::ostream& err,
                       const std::atomic<bool>* interrupted) {
    if (!backup::BackupManager::isEncryptedBackup(options.backupDir)) return Status::ok();
    std::string password;
    const Status status =
        readBackupPassword(PasswordSource{options.passwordFile, options.passwordEnv}, err, interrupted, &password);
    if (status.isOk()) session.setBackupPassword(password);
    std::fill(password.begin(), password.end(), '\0');
    return status;
}

// A backup opened with its password when it is encrypted.
Status openBackup(RecoverySession& session, const CliOptions& options, std::ostream& err,
                  const std::atomic<bool>* interrupted) {
    const Status password = providePassword(session, options, err, interrupted);
    if (!password.isOk()) return password;
    return session.openBackup(options.backupDir);
}

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
        out << forTerminal(info.deviceName) << "\t" << forTerminal(info.lastBackupDate) << "\t"
            << forTerminal(info.serialNumber) << "\t" << (info.encrypted ? "encrypted" : "not encrypted") << "\t"
            << forTerminal(info.path) << "\n";
    }
    return kExitOk;
}

int listAccounts(const CliOptions& options, std::ostream& out, std::ostream& err, bool interactive,
                 const std::atomic<bool>* interrupted) {
    CliProgress progress(err, interactive, false);
    RecoverySession session(&progress);
    const InterruptWatch interrupt(interrupted, session);
    const Status opened = openBackup(session, options, err, interrupted);
    progress.finishLine();
    if (opened.kind() == Status::Kind::Cancelled && interrupt.interrupted()) return stopped(err);
    if (!opened.isOk()) return fail(err, opened);
    const AccountSampling sampling = session.sampleAccounts();
    const backup::BackupManager& manager = session.backup();
    for (const auto& entry : manager.databaseFiles()) {
        const std::string& databasePath = entry.first;
        out << "account " << backup::BackupManager::accountDirectory(databasePath) << "\n";
        for (const auto& [settingsPath, owner] : manager.accountSettings()) {
            if (!backup::BackupManager::sameAccount(settingsPath, databasePath)) continue;
            out << "  owner: " << forTerminal(owner.userName) << " (" << forTerminal(owner.nickName) << ")\n";
            break;
        }
        const auto samples = sampling.samples.find(toQ(databasePath));
        if (samples == sampling.samples.end() || samples->second.empty()) continue;
        out << "  friends:";
        size_t shown = 0;
        for (const AccountSample& sample : samples->second) {
            if (shown++ == 8) break;
            out << " " << forTerminal(toStd(sample.nickName.isEmpty() ? sample.usrName : sample.nickName)) << ";";
        }
        out << "\n";
    }
    return kExitOk;
}

// ---- Scanning -------------------------------------------------------------

void printSummary(const wchat::StoreSummary& counts, const RecoveredData& data, std::ostream& out) {
    out << "contacts: " << counts.liveFriends << " live, " << counts.carvedFriends << " carved\n";
    out << "messages: " << counts.liveChats << " live, " << counts.carvedChats << " recovered from deleted space\n";
    out << "carved rows rejected as not messages: " << counts.rejectedChats << "\n";
    out << "contacts made up for conversations whose contact is gone: " << counts.madeUpFriends << "\n";
    out << "unknown-friend conversations (no contact found): " << data.unknownFriendGroups().size() << "\n";
    out << "共成功恢复 " << data.recoveredCount() << " 条已删除聊天记录。\n";
    if (!counts.partialReasons.empty()) {
        out << "result: partial, the database is damaged; not recovered:\n";
        for (const std::string& reason : counts.partialReasons) out << "  " << forTerminal(reason) << "\n";
    }
}

// The scanned file's digest, so an examiner can show the source was only read.
// The digest has a line of its own: it fits an 80-column terminal.
void printSource(const ScanReport& report, std::ostream& out) {
    if (report.sourceFile.isEmpty()) return;
    out << "source: " << forTerminal(toStd(report.sourceFile));
    if (!report.before.ok) {
        out << " (not readable)\n";
        return;
    }
    out << " (" << report.before.size << " bytes, "
        << (report.sourceUnchanged() ? "unchanged by the scan" : "CHANGED or unreadable after the scan") << ")\n";
    out << "SHA-256: " << toStd(report.before.sha256) << "\n";
}

QJsonValue sourceJson(const ScanReport& report) {
    if (report.sourceFile.isEmpty()) return QJsonValue();
    auto digest = [](const FileDigest& d) { return d.ok ? QJsonValue(d.sha256) : QJsonValue(); };
    return QJsonObject{{"path", report.sourceFile},
                       {"size", report.before.ok ? QJsonValue(report.before.size) : QJsonValue()},
                       {"sha256", digest(report.before)},
                       {"sha256After", digest(report.after)},
                       {"unchanged", report.sourceUnchanged()},
                       {"workingCopySha256", digest(report.workingCopyDigest)}};
}

// What a script reads of a scan or an export: one JSON object.
struct JsonSummary {
    const wchat::StoreSummary* counts = nullptr;
    const RecoveredData* data = nullptr;
    bool partial = false;
    std::string store;
    const ExportOutcome* exported = nullptr;
    const std::vector<std::pair<std::string, uint64_t>>* stageTimes = nullptr;
    const ScanReport* report = nullptr;

    void print(std::ostream& out) const {
        QJsonObject root;
        if (report != nullptr) root["source"] = sourceJson(*report);
        if (counts != nullptr) {
            root["contacts"] = QJsonObject{{"live", qint64(counts->liveFriends)},
                                           {"carved", qint64(counts->carvedFriends)},
                                           {"madeUp", qint64(counts->madeUpFriends)}};
            root["messages"] =
                QJsonObject{{"live", qint64(counts->liveChats)},
                            {"recovered", qint64(counts->carvedChats)},
                            {"rejected", qint64(counts->rejectedChats)}};
        }
        if (data != nullptr) {
            int friends = 0, groups = 0, official = 0;
            for (const FriendEntry& entry : data->friendList()) {
                switch (friendCategory(entry.usrName)) {
                    case FriendCategory::Friend: ++friends; break;
                    case FriendCategory::Group: ++groups; break;
                    case FriendCategory::OfficialAccount: ++official; break;
                }
            }
            root["conversations"] = QJsonObject{{"friends", friends},
                                                {"groups", groups},
                                                {"officialAccounts", official},
                                                {"unknownFriends", int(data->unknownFriendGroups().size())}};
            root["recoveredDeletedMessages"] = qint64(data->recoveredCount());
        }
        root["partial"] = partial || (counts != nullptr && !counts->partialReasons.empty());
        if (counts != nullptr) {
            QJsonArray reasons;
            for (const std::string& reason : counts->partialReasons) reasons.append(QString::fromStdString(reason));
            root["partialReasons"] = reasons;
        }
        root["store"] = store.empty() ? QJsonValue() : QJsonValue(QString::fromStdString(store));
        if (exported != nullptr) {
            root["export"] = QJsonObject{{"directory", QString::fromStdString(exported->directory)},
                                         {"conversations", exported->written},
                                         {"failed", exported->failed}};
        } else {
            root["export"] = QJsonValue();
        }
        if (stageTimes != nullptr) {
            QJsonObject stages;
            for (const auto& [name, ms] : *stageTimes) stages[QString::fromStdString(name)] = qint64(ms);
            root["stageMilliseconds"] = stages;
        }
        out << QJsonDocument(root).toJson(QJsonDocument::Compact).toStdString() << "\n";
    }
};

// Exports every conversation of the session below exportDir; prints the export's path.
int exportAll(RecoverySession& session, CliProgress& progress, const CliOptions& options, ExportOutcome& outcome,
              std::ostream& out, std::ostream& err, const InterruptWatch& interrupt) {
    outcome = session.exportAll(options.exportDir);
    progress.finishLine();
    if (outcome.cancelled && interrupt.interrupted()) return stopped(err);
    if (outcome.directory.empty()) return fail(err, outcome.status);
    if (!options.json && !options.quiet) {
        out << "exported " << outcome.written << " conversations to " << outcome.directory << "\n";
    }
    return outcome.status.isOk() ? kExitOk : fail(err, outcome.status);
}

// The store and export paths, checked before a scan that may take long: empty when
// they can be written, else the one-line reason.
std::string checkOutputs(const CliOptions& options) {
    if (!options.storeFile.empty()) {
        const QFileInfo store(toQ(options.storeFile));
        // A link, even one pointing nowhere, is refused: the store would land elsewhere.
        if (store.isSymLink()) return "output file is a symbolic link: " + options.storeFile;
        if (store.exists()) return "output file exists: " + options.storeFile;
        const QFileInfo parent(store.absolutePath());
        if (!parent.isDir()) return "the directory of the output file does not exist: " + options.storeFile;
        if (!parent.isWritable()) return "the directory of the output file is not writable: " + options.storeFile;
    }
    if (!options.exportDir.empty()) {
        QFileInfo dir(toQ(options.exportDir));
        if (dir.exists() && !dir.isDir()) return "the export directory is not a directory: " + options.exportDir;
        // The nearest existing directory must let us create what is missing below it.
        while (!dir.exists() && dir.absolutePath() != dir.absoluteFilePath()) dir = QFileInfo(dir.absolutePath());
        if (!dir.isDir()) return "the export directory cannot be created: " + options.exportDir;
        if (!dir.isWritable()) return "the export directory is not writable: " + options.exportDir;
    }
    return std::string();
}

int scan(const CliOptions& options, std::ostream& out, std::ostream& err, bool interactive,
         const std::atomic<bool>* interrupted) {
    const std::string outputs = checkOutputs(options);
    if (!outputs.empty()) return fail(err, outputs);
    CliProgress progress(err, interactive, options.quiet);
    RecoverySession session(&progress);
    session.setPagesInUtc(options.utc);
    const InterruptWatch interrupt(interrupted, session);
    // --work may name a directory with files of others: work in a fresh one inside it.
    Status status = session.setWorkDirectory(options.workDir, true);
    if (!status.isOk()) return fail(err, status);
    if (!options.databaseFile.empty()) {
        status = session.useDatabaseFile(options.databaseFile);
        if (status.isOk()) status = session.copySource();
    } else {
        status = openBackup(session, options, err, interrupted);
        progress.finishLine();
        if (status.isOk()) status = session.chooseAccount(options.account);
        if (status.isOk()) status = session.copySource();
        if (status.isOk() && !options.quiet) {
            err << "account " << forTerminal(session.accountDirectory());
            if (!session.accountUserName().empty()) err << ": " << forTerminal(session.accountUserName());
            err << "\n";
        }
    }
    if (status.kind() == Status::Kind::Cancelled && interrupt.interrupted()) return stopped(err);
    if (!status.isOk()) return fail(err, status);

    status = session.recover(options.threads);
    progress.finishLine();
    if (status.kind() == Status::Kind::Cancelled && interrupt.interrupted()) return stopped(err);
    if (!status.isOk()) return fail(err, status);
    status = session.loadResults();  // every row: the export must leave nothing out
    wchat::StoreSummary counts;
    if (status.isOk()) status = session.summary(&counts);
    if (!status.isOk()) return fail(err, status);
    if (!options.json && !options.quiet) {
        printSummary(counts, session.results(), out);
        printSource(session.scanReport(), out);
    }

    if (!options.storeFile.empty()) {
        status = session.keepStore(options.storeFile);
        if (!status.isOk()) return fail(err, status);
        if (!options.json && !options.quiet) out << "recovery store kept in " << options.storeFile << "\n";
    }
    ExportOutcome exported;
    int code = kExitOk;
    if (!options.exportDir.empty()) {
        code = exportAll(session, progress, options, exported, out, err, interrupt);
        if (code == kExitInterrupted) return code;
    }
    if (options.json) {
        JsonSummary summary;
        summary.counts = &counts;
        summary.data = &session.results();
        summary.partial = session.resultIsPartial();
        summary.store = options.storeFile;
        summary.exported = options.exportDir.empty() ? nullptr : &exported;
        summary.stageTimes = &progress.stageTimes();
        summary.report = &session.scanReport();
        summary.print(out);
    }
    return code == kExitOk && !counts.partialReasons.empty() ? kExitPartial : code;
}

// ---- Export from a kept store ---------------------------------------------

int exportStore(const CliOptions& options, std::ostream& out, std::ostream& err, bool interactive,
                const std::atomic<bool>* interrupted) {
    CliProgress progress(err, interactive, options.quiet);
    RecoverySession session(&progress);
    session.setPagesInUtc(options.utc);
    const InterruptWatch interrupt(interrupted, session);
    Status status = session.openKeptStore(options.storeFile);
    if (!status.isOk()) return fail(err, status);
    if (!options.backupDir.empty()) {
        status = openBackup(session, options, err, interrupted);
        progress.finishLine();
        if (status.isOk()) status = session.chooseAccount(options.account);
        if (status.kind() == Status::Kind::Cancelled && interrupt.interrupted()) return stopped(err);
        if (!status.isOk()) return fail(err, status);
    }
    status = session.loadResults();  // every row: the export must leave nothing out
    if (!status.isOk()) return fail(err, status);
    ExportOutcome exported;
    const int code = exportAll(session, progress, options, exported, out, err, interrupt);
    if (code == kExitInterrupted) return code;
    wchat::StoreSummary counts;
    const bool counted = session.summary(&counts).isOk();
    if (options.json) {
        JsonSummary summary;
        summary.counts = counted ? &counts : nullptr;
        summary.data = &session.results();
        summary.store = options.storeFile;
        summary.exported = &exported;
        summary.print(out);
    } else if (counted && !counts.partialReasons.empty() && !options.quiet) {
        out << "result: partial, the store was recovered from a damaged database\n";
    }
    // A store of a partial recovery exports as partial, as its scan ended.
    return code == kExitOk && counted && !counts.partialReasons.empty() ? kExitPartial : code;
}

}  // namespace

std::string forTerminal(const std::string& utf8) {
    std::string shown;
    shown.reserve(utf8.size());
    char escape[8];
    for (size_t i = 0; i < utf8.size(); ++i) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        if (byte < 0x20 || byte == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            shown += escape;
            continue;
        }
        // C1 controls are U+0080..U+009F: C2 80..C2 9F in UTF-8.
        if (byte == 0xC2 && i + 1 < utf8.size()) {
            const auto next = static_cast<unsigned char>(utf8[i + 1]);
            if (next >= 0x80 && next <= 0x9F) {
                std::snprintf(escape, sizeof escape, "\\u%04x", next);
                shown += escape;
                ++i;
                continue;
            }
        }
        // Embeddings, overrides (U+202A..U+202E) and isolates (U+2066..U+2069): E2 80 AA..AE, E2 81 A6..A9.
        if (byte == 0xE2 && i + 2 < utf8.size()) {
            const auto second = static_cast<unsigned char>(utf8[i + 1]);
            const auto third = static_cast<unsigned char>(utf8[i + 2]);
            const bool embedding = second == 0x80 && third >= 0xAA && third <= 0xAE;
            const bool isolate = second == 0x81 && third >= 0xA6 && third <= 0xA9;
            if (embedding || isolate) {
                std::snprintf(escape, sizeof escape, "\\u%04x", embedding ? 0x2000 + third - 0x80 : 0x2040 + third - 0x80);
                shown += escape;
                i += 2;
                continue;
            }
        }
        shown += utf8[i];
    }
    return shown;
}

int runCommandLine(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
                   bool interactive, const std::atomic<bool>* interrupted) {
    const CliOptions options = parseCommandLine(arguments);
    if (!options.error.empty()) {
        err << "wchat-recover: " << options.error << "\n" << kUsage;
        return kExitUsage;
    }
    switch (options.command) {
        case CliOptions::Command::Help:
            out << (options.helpTopic.empty() ? std::string(kUsage) : commandHelp(options.helpTopic));
            return kExitOk;
        case CliOptions::Command::Version:
            out << versionText() << "\n";
            return kExitOk;
        case CliOptions::Command::Backups:
            return listBackups(options, out, err);
        case CliOptions::Command::Accounts:
            return listAccounts(options, out, err, interactive, interrupted);
        case CliOptions::Command::Scan:
            return scan(options, out, err, interactive, interrupted);
        case CliOptions::Command::Export:
            return exportStore(options, out, err, interactive, interrupted);
        case CliOptions::Command::None:
            break;
    }
    err << kUsage;
    return kExitUsage;
}

}  // namespace cli
}  // namespace app
}  // namespace talwen
