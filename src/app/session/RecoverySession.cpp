#include "app/session/RecoverySession.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <future>
#include <thread>
#include <vector>

#include "app/export/IndexPage.h"
#include "app/export/MachineExport.h"
#include "app/pages/PageAssets.h"
#include "app/session/FileDigest.h"
#include "app/session/AccountDatabase.h"
#include "backup/EncryptedBackup.h"
#include "backup/ReadOnlyFile.h"
#include "sqlite_recovery/Database.h"
#include "sqlite_recovery/SeekProgressIndicator.h"
#include "wchat/WchatChatToDbSeeker.h"

namespace talwen {
namespace app {

namespace {

using backup::BackupManager;
using common::ErrorInfo;
using common::Status;

QString toQ(const std::string& text) { return QString::fromStdString(text); }
std::string toStd(const QString& text) { return text.toStdString(); }

// Checks that a file exists and starts like an SQLite database.
Status checkDatabaseFile(const std::string& path) {
    const QFileInfo info(toQ(path));
    if (!info.exists()) return Status::invalidInput("file not found: " + path);
    if (!info.isFile()) return Status::invalidInput("not a file: " + path);
    sqlite::Database database;
    ErrorInfo error;
    database.open(path, &error);
    if (!error.isSuccess()) {
        return Status::invalidInput("not an SQLite database: " + path + " (" + error.getMessage() + ")");
    }
    return Status::ok();
}

// The settings of the account whose database lies at `databasePath`, if read.
const backup::AccountSettings* ownerOf(const BackupManager& manager, const std::string& databasePath) {
    for (const auto& [settingsPath, settings] : manager.accountSettings()) {
        if (BackupManager::sameAccount(settingsPath, databasePath)) return &settings;
    }
    return nullptr;
}

// Hands the pipeline's stages to the session's observer and notes whether the
// store was finished.
class StageForwarder : public wchat::StageObserver {
public:
    StageForwarder(RecoveryObserver* observer, bool* storeFinished)
        : observer_(observer), storeFinished_(storeFinished) {}
    void onBegin(wchat::Stage stage, const wchat::StageReport& report) override {
        if (observer_) observer_->onStageBegin(stage, report);
    }
    void onEnd(wchat::Stage stage, const wchat::StageReport& report) override {
        if (stage == wchat::Stage::FinishTargetDb) *storeFinished_ = true;
        if (observer_) observer_->onStageEnd(stage, report);
    }
    void onProgress(wchat::Stage stage, uint64_t done, uint64_t total) override {
        if (observer_) observer_->onStageProgress(stage, done, total);
    }

private:
    RecoveryObserver* observer_;
    bool* storeFinished_;
};

}  // namespace

RecoverySession::RecoverySession(RecoveryObserver* observer) : observer_(observer) {}

// The seeker closes its store before the temporary directory with the copy goes.
RecoverySession::~RecoverySession() {
    seeker_.reset();
    keptStore_.reset();
    // The working store is our own work file: it goes with the session.
    if (!workingStore_.isEmpty()) {
        QFile::remove(workingStore_);
        QFile::remove(workingStore_ + QStringLiteral("-journal"));
    }
    removeDecryptedFiles();
    backup::BackupCrypto::wipe(&password_);
}

void RecoverySession::removeDecryptedFiles() {
    if (!encrypted_) return;
    // The copy of a decrypted database is as readable as the database itself; it
    // goes with the work even in a working directory the user keeps.
    if (!copiedPath_.isEmpty()) {
        for (const char* suffix : {"", "-journal", "-wal", "-shm"}) QFile::remove(copiedPath_ + QLatin1String(suffix));
    }
    decryptedDir_.reset();  // removes the directory with everything in it
    encrypted_.reset();
}

void RecoverySession::setBackupPassword(const std::string& password) {
    backup::BackupCrypto::wipe(&password_);
    password_ = password;
}

Status RecoverySession::unlockBackup(const std::string& dir) {
    using Failure = backup::EncryptedBackup::Failure;
    if (password_.empty()) {
        return Status::invalidInput("the backup is encrypted and cannot be read without its password: " + dir);
    }
    Status work = requireWorkDirectory();
    if (!work.isOk()) return work;
    auto encrypted = std::make_unique<backup::EncryptedBackup>();
    backup::EncryptedBackup::Outcome outcome = encrypted->open(dir);
    if (!outcome.ok()) return Status::invalidInput(outcome.message);

    const uint64_t total = encrypted->derivationWork();
    if (observer_) observer_->onBackupDecryption(RecoveryObserver::kKeyDerivation, 0, total);
    outcome = encrypted->unlock(password_, [this, total](uint64_t done) {
        if (observer_) observer_->onBackupDecryption(RecoveryObserver::kKeyDerivation, std::min(done, total), total);
        return !cancel_.load();
    });
    backup::BackupCrypto::wipe(&password_);
    password_.clear();
    if (outcome.failure == Failure::Stopped) return Status::cancelled("recovery cancelled");
    if (!outcome.ok()) return Status::invalidInput(outcome.message);

    // Inside the working directory, private to this user, and gone with the session.
    decryptedDir_ = std::make_unique<QTemporaryDir>(workDirectory_ + QStringLiteral("/decrypted-XXXXXX"));
    if (!decryptedDir_->isValid()) {
        decryptedDir_.reset();
        return Status::ioError("cannot create a directory for the decrypted files in " + toStd(workDirectory_));
    }
    QFile::setPermissions(decryptedDir_->path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    outcome = encrypted->decryptManifest(decryptedDir_->path(), BackupManager::kMessengerDomain);
    encrypted_ = std::move(encrypted);
    if (!outcome.ok()) return Status::invalidInput(outcome.message);
    return Status::ok();
}

// The files the recovery reads before any page is drawn: every account's database
// with its journal files (the account choice samples them all) and settings.
Status RecoverySession::decryptMessengerFiles() {
    using Failure = backup::EncryptedBackup::Failure;
    std::vector<std::string> wanted;
    uint64_t total = 0;
    const auto& databases = backup_.databaseFiles();
    for (const auto& [path, fileName] : backup_.messengerFiles()) {
        bool needed = databases.count(path) > 0 || backup_.settingsFiles().count(path) > 0;
        for (const char* suffix : {"-wal", "-shm", "-journal"}) {
            const std::string ending(suffix);
            if (path.size() > ending.size() && path.compare(path.size() - ending.size(), ending.size(), ending) == 0 &&
                databases.count(path.substr(0, path.size() - ending.size())) > 0) {
                needed = true;
            }
        }
        if (!needed) continue;
        wanted.push_back(fileName);
        const auto record = encrypted_->fileRecords().find(fileName);
        if (record != encrypted_->fileRecords().end()) total += record->second.size;
    }
    uint64_t before = 0;
    if (observer_) observer_->onBackupDecryption(RecoveryObserver::kFileDecryption, 0, total);
    for (const std::string& fileName : wanted) {
        const auto outcome = encrypted_->decryptFile(fileName, [this, before, total](uint64_t done) {
            if (observer_) {
                observer_->onBackupDecryption(RecoveryObserver::kFileDecryption, std::min(before + done, total), total);
            }
            return !cancel_.load();
        });
        if (outcome.failure == Failure::Stopped) return Status::cancelled("recovery cancelled");
        // One damaged file costs only what needs it: the account whose database it is.
        if (!outcome.ok()) {
            qWarning().noquote() << QString::fromStdString(outcome.message);
            decryptionFailures_[fileName] = outcome.message;
        }
        const auto record = encrypted_->fileRecords().find(fileName);
        if (record != encrypted_->fileRecords().end()) before += record->second.size;
    }
    if (observer_) observer_->onBackupDecryption(RecoveryObserver::kFileDecryption, total, total);
    return Status::ok();
}

void RecoverySession::requestCancel() {
    cancel_ = true;
    for (sqlite::SeekProgressIndicator& indicator : indicators_) indicator.requestStop();
}

Status RecoverySession::openBackup(const std::string& dir) {
    const QFileInfo info(toQ(dir));
    if (!info.exists()) return Status::invalidInput("backup directory not found: " + dir);
    if (!info.isDir()) return Status::invalidInput("not a backup directory: " + dir);
    const std::string encrypted = "the backup is encrypted and cannot be read without its password: " + dir;
    // An encrypted backup is read through the directory of its decrypted files.
    std::string source = dir;
    if (BackupManager::isEncryptedBackup(dir)) {
        removeDecryptedFiles();
        const Status unlocked = unlockBackup(dir);
        if (!unlocked.isOk()) return unlocked;
        source = toStd(decryptedDir_->path());
    }
    if (!backup_.loadManifest(source)) {
        return Status::invalidInput("not an iTunes backup (no Manifest.mbdb or Manifest.db): " + dir);
    }
    backup_.locateMessengerFiles(source);
    if (backup_.locateOutcome() == BackupManager::LocateOutcome::Encrypted) return Status::invalidInput(encrypted);
    if (backup_.databaseFiles().empty()) return Status::invalidInput("no messenger data in the backup: " + dir);
    if (encrypted_) {
        const Status decrypted = decryptMessengerFiles();
        if (!decrypted.isOk()) return decrypted;
    }
    backup_.readAccountSettings();
    backupOpen_ = true;
    return Status::ok();
}

Status RecoverySession::chooseAccount(const std::string& account) {
    if (!backupOpen_) return Status::invalidInput("no backup is open");
    const auto& databases = backup_.databaseFiles();
    auto choose = [this](const std::string& databasePath, const std::string& userName) {
        databasePath_ = databasePath;
        accountUserName_ = userName;
        accountDirectory_ = BackupManager::accountDirectory(databasePath);
        // Pages rendered from a kept store link media of this account too.
        mediaFiles_ = mediaFileMap(backup_);
        context_ = accountRenderContext(backup_, toQ(accountDirectory_), userName);
        return Status::ok();
    };
    if (account.empty()) {
        if (databases.size() == 1) {
            const std::string& path = databases.begin()->first;
            const backup::AccountSettings* owner = ownerOf(backup_, path);
            return choose(path, owner ? owner->userName : std::string());
        }
        return Status::invalidInput("the backup holds " + std::to_string(databases.size()) +
                                    " messenger accounts; choose one with --account (see: wchat-recover "
                                    "accounts DIR)");
    }
    for (const auto& entry : databases) {
        if (BackupManager::accountDirectory(entry.first) != account) continue;
        const backup::AccountSettings* owner = ownerOf(backup_, entry.first);
        if (owner == nullptr && databases.size() > 1) {
            return Status::invalidInput("the settings of account " + account +
                                        " cannot be read; name it by its user name");
        }
        return choose(entry.first, owner ? owner->userName : std::string());
    }
    for (const auto& [settingsPath, settings] : backup_.accountSettings()) {
        if (settings.userName != account) continue;
        const std::string database = backup_.databaseForSettings(settingsPath);
        if (!database.empty()) return choose(database, settings.userName);
    }
    return Status::invalidInput("no messenger account named " + account + " in the backup");
}

Status RecoverySession::useDatabaseFile(const std::string& path) {
    const Status checked = checkDatabaseFile(path);
    if (checked.isOk()) databaseFile_ = path;
    return checked;
}

Status RecoverySession::openKeptStore(const std::string& path) {
    const Status checked = checkDatabaseFile(path);
    if (!checked.isOk()) return checked;
    ErrorInfo error;
    std::unique_ptr<wchat::RecoveryStore> store = wchat::RecoveryStore::openKept(path, &error);
    if (!store) {
        // A file SQLite cannot open at all says why; one without our tables is named as such.
        if (error.getFunctionName() == "openKept") return Status::invalidInput("not a recovery store: " + path);
        return Status::fromError(error, Status::Kind::IoError, "cannot open " + path + ": ");
    }
    keptStore_ = std::move(store);
    summary_.reset();
    report_.keptStore = toQ(path);
    return Status::ok();
}

AccountSampling RecoverySession::sampleAccounts() const {
    return sampleAccountFriends(toQ(backup_.currentBackup()), databaseFileMap(backup_));
}

Status RecoverySession::setWorkDirectory(const std::string& directory, bool freshInside) {
    if (directory.empty()) {
        temporaryWork_ = std::make_unique<QTemporaryDir>();
        if (!temporaryWork_->isValid()) return Status::ioError("cannot create a temporary working directory");
        workDirectory_ = temporaryWork_->path();
        return Status::ok();
    }
    if (!QDir().mkpath(toQ(directory))) {
        return Status::ioError("cannot create the working directory: " + directory);
    }
    if (!freshInside) {
        workDirectory_ = toQ(directory);
        return Status::ok();
    }
    // A fresh directory of our own inside it, removed with the session: files
    // already there (another copy with its -wal and -shm) are never touched.
    temporaryWork_ = std::make_unique<QTemporaryDir>(toQ(directory) + QStringLiteral("/wchat-recover-XXXXXX"));
    if (!temporaryWork_->isValid()) {
        return Status::ioError("cannot create a directory inside the working directory: " + directory);
    }
    workDirectory_ = temporaryWork_->path();
    return Status::ok();
}

Status RecoverySession::requireWorkDirectory() {
    return workDirectory_.isEmpty() ? setWorkDirectory(std::string()) : Status::ok();
}

namespace {

std::future<FileDigest> digestOnWorker(const QString& path) {
    return std::async(std::launch::async, [path] { return FileDigest::of(path); });
}

}  // namespace

Status RecoverySession::copySource() {
    const Status work = requireWorkDirectory();
    if (!work.isOk()) return work;
    DatabaseCopy copy;
    report_.started = QDateTime::currentDateTimeUtc();
    if (!databaseFile_.empty()) {
        report_.source = toQ(databaseFile_);
        sourceFile_ = QFileInfo(toQ(databaseFile_)).absoluteFilePath();
        // The source's digest is taken while it is copied: both only read it.
        std::future<FileDigest> before = digestOnWorker(sourceFile_);
        copy = copyDatabaseFile(toQ(databaseFile_), workDirectory_);
        report_.before = before.get();
    } else if (!databasePath_.empty()) {
        const std::string source = backup_.backupFilePath(databasePath_);
        const auto stored = backup_.databaseFiles().find(databasePath_);
        if (stored != backup_.databaseFiles().end()) {
            const auto failure = decryptionFailures_.find(stored->second);
            if (failure != decryptionFailures_.end()) return Status::invalidInput(failure->second);
        }
        // Never opened unless it is a regular file of the backup: a planted link
        // or pipe must not be read, not even to check its header.
        if (source.empty() || stored == backup_.databaseFiles().end() ||
            !backup::ReadOnlyFile::isRegularFileInside(toQ(backup_.currentBackup()), toQ(stored->second))) {
            return Status::invalidInput("the backup lacks the file of " + databasePath_);
        }
        const Status checked = checkDatabaseFile(source);
        if (!checked.isOk()) return checked;
        report_.source = toQ(backup_.currentBackup());
        sourceFile_ = QFileInfo(toQ(source)).absoluteFilePath();
        std::future<FileDigest> before = digestOnWorker(sourceFile_);
        copy = copyAccountDatabase(backup_, accountUserName_, workDirectory_);
        report_.before = before.get();
        if (copy.status.isOk()) {
            mediaFiles_ = mediaFileMap(backup_);
            context_ = accountRenderContext(backup_, copy.accountDir, accountUserName_);
            accountDirectory_ = toStd(copy.accountDir);
        }
    } else {
        return Status::invalidInput("no database was chosen");
    }
    if (!copy.status.isOk()) return copy.status;
    copiedPath_ = copy.copiedPath;
    report_.sourceFile = sourceFile_;
    report_.workingCopy = QFileInfo(copiedPath_).absoluteFilePath();
    report_.workingCopyDigest = FileDigest::of(copiedPath_);
    return Status::ok();
}

Status RecoverySession::recover(unsigned threads) {
    if (copiedPath_.isEmpty()) return Status::invalidInput("the database was not copied");
    if (seeker_) return Status::invalidInput("the recovery has run already");
    const unsigned seekThreads = threads > 0 ? threads : seekThreadCount(std::thread::hardware_concurrency());
    seekThreads_ = seekThreads;
    // The store lives in a file of the working directory, not in memory, so a
    // large database does not need memory in proportion. A store left by an
    // earlier scan there is replaced, with its journal.
    const QString storePath = QDir(workDirectory_).filePath(QString::fromLatin1(kWorkingStoreName));
    for (const QString& stale : {storePath, storePath + QStringLiteral("-journal")}) {
        if (QFileInfo::exists(stale) && !QFile::remove(stale)) {
            return Status::ioError("cannot replace the working store: " + toStd(stale));
        }
    }
    workingStore_ = storePath;
    seeker_ = std::make_unique<wchat::WchatChatToDbSeeker>(toStd(copiedPath_), toStd(storePath), nullptr);
    summary_.reset();

    seeker_->setFriendSeekProgress(&indicators_[RecoveryObserver::kFriendSeek]);
    seeker_->setChatTableSeekProgress(&indicators_[RecoveryObserver::kChatTableSeek]);
    seeker_->setChatSeekProgress(&indicators_[RecoveryObserver::kChatSeek]);
    bool storeFinished = false;
    StageForwarder stages(observer_, &storeFinished);
    seeker_->setStageObserver(&stages);
    seeker_->setCancelFlag(&cancel_);

    // One watcher per seek polls its indicator until the seek has finished or the
    // recovery has ended (a seek that never starts never finishes).
    std::atomic<bool> running{true};
    std::vector<std::thread> watchers;
    if (observer_ != nullptr) {
        for (int seek = 0; seek < 3; ++seek) {
            watchers.emplace_back([this, &running, seek] {
                const auto which = static_cast<RecoveryObserver::Seek>(seek);
                ProgressWatcher::watch(
                    indicators_[seek], [this, which](const ProgressReport& report) { observer_->onSeekProgress(which, report); },
                    [&running] { return running.load(); });
            });
        }
    }
    ErrorInfo error;
    seeker_->run(seekThreads, wchat::WchatChatToDbSeeker::kSeekFriends | wchat::WchatChatToDbSeeker::kSeekChatTables,
                 &error);
    running = false;
    for (std::thread& watcher : watchers) watcher.join();
    // The pipeline must not keep a pointer to the forwarder that dies here.
    seeker_->setStageObserver(nullptr);
    // The source again after the scan: equal digests show it was not written. The
    // scan read only the working copy, so the results can be read meanwhile.
    afterDigest_ = digestOnWorker(sourceFile_);
    report_.finished = QDateTime::currentDateTimeUtc();
    if (error.isSuccess()) return Status::ok();
    if (cancel_) {
        partial_ = storeFinished;
        return Status::cancelled("recovery cancelled");
    }
    return Status::fromError(error, Status::Kind::Failed, "recovery failed: ");
}

sqlite3* RecoverySession::storeConnection() const {
    if (keptStore_) return keptStore_->connection();
    if (!seeker_ || (cancel_ && !partial_)) return nullptr;  // a store stopped before it was finished
    return seeker_->getTargetDb();
}

Status RecoverySession::loadResults(uint32_t friendRowCap, uint32_t lostChatRowCap) {
    sqlite3* store = storeConnection();
    if (store == nullptr) return Status::invalidInput("there is no recovery store to read");
    ErrorInfo error;
    results_.loadFriends(store, &error, friendRowCap);
    if (error.isSuccess()) results_.loadLostFriendChats(store, &error, lostChatRowCap);
    if (!error.isSuccess()) return Status::fromError(error, Status::Kind::Failed, "cannot read the recovery store: ");
    // The recovered messages are the summary's carved ones: one scan of the
    // message table serves both.
    wchat::StoreSummary counts;
    const Status counted = summary(&counts);
    if (counted.isOk()) results_.setRecoveredCount(counts.carvedChats);
    return counted;
}

Status RecoverySession::summary(wchat::StoreSummary* summary) const {
    const wchat::RecoveryStore* store =
        keptStore_ ? keptStore_.get() : storeConnection() != nullptr ? seeker_->getStore() : nullptr;
    if (store == nullptr) return Status::invalidInput("there is no recovery store to read");
    if (summary_) {
        *summary = *summary_;
        return Status::ok();
    }
    ErrorInfo error;
    *summary = store->summary(&error);
    if (error.isSuccess()) summary_ = *summary;
    return Status::fromError(error, Status::Kind::Failed, "cannot read the recovery store: ");
}

Status RecoverySession::keepStore(const std::string& path) {
    wchat::RecoveryStore* store = seeker_ ? seeker_->getStore() : nullptr;
    if (store == nullptr) return Status::invalidInput("there is no recovery store to keep");
    ErrorInfo error;
    store->saveTargetDb(path, &error);
    return Status::fromError(error, Status::Kind::IoError, "cannot keep the recovery store: ");
}

RenderContext RecoverySession::renderContext() const {
    RenderContext context = context_;
    context.friendMap = &results_.friendMap();
    context.mediaFiles = &mediaFiles_;
    context.utc = utc_;
    if (encrypted_) {
        backup::EncryptedBackup* encrypted = encrypted_.get();
        context.prepareMedia = [encrypted](const QString& fileName) {
            const auto outcome = encrypted->decryptFile(fileName.toStdString());
            if (!outcome.ok()) qWarning().noquote() << QString::fromStdString(outcome.message);
        };
    }
    if (!pictureCache_.isEmpty()) {
        context.pictureCacheDir = pictureCache_;
        context.ownerUsrName = toQ(accountUserName_);
    }
    return context;
}

ExportOutcome RecoverySession::exportAll(const std::string& exportDir) {
    ExportOutcome outcome;
    sqlite3* store = storeConnection();
    if (store == nullptr) {
        outcome.status = Status::invalidInput("there is no recovery store to export");
        return outcome;
    }
    const QFileInfo target(toQ(exportDir));
    if (target.exists() && !target.isDir()) {
        outcome.status = Status::invalidInput("export target is not a directory: " + exportDir);
        return outcome;
    }
    if (!QDir().mkpath(toQ(exportDir))) {
        outcome.status = Status::ioError("cannot create the export directory: " + exportDir);
        return outcome;
    }
    outcome.status = requireWorkDirectory();
    if (!outcome.status.isOk()) return outcome;
    if (!PageAssets::install(workDirectory_)) {
        outcome.status = Status::ioError("cannot install the page assets in " + toStd(workDirectory_));
        return outcome;
    }
    ChatExporter exporter(store, results_, renderContext());
    exporter.setPacing(0, 0);
    exporter.setCancelFlag(&cancel_);
    if (!exporter.prepareExportDirectory(toQ(exportDir), workDirectory_)) {
        outcome.status = Status::ioError("cannot prepare the export directory below " + exportDir);
        return outcome;
    }
    const std::vector<ExportItem> items = ChatExporter::exportAllSet(results_);
    const int written = static_cast<int>(exporter.exportConversations(items, [&](const ExportProgress& step) {
        if (!step.finished && !step.page.written && outcome.failed++ == 0) {
            outcome.firstFailure = toStd(step.page.path);
        }
        if (step.cancelled) outcome.cancelled = true;
        if (observer_) observer_->onExportProgress(step);
    }).size());
    outcome.directory = toStd(exporter.exportDirectory());
    outcome.written = written - outcome.failed;
    if (outcome.cancelled) {
        outcome.status = Status::cancelled("export cancelled");
        return outcome;
    }
    const Status overview = writeExportOverview(exporter);
    if (!overview.isOk()) {
        outcome.status = overview;
    } else if (outcome.failed > 0) {
        outcome.status = Status::ioError(std::to_string(outcome.failed) +
                                         " pages could not be written, first: " + outcome.firstFailure);
    }
    return outcome;
}

void RecoverySession::settleAfterDigest() {
    if (afterDigest_.valid()) report_.after = afterDigest_.get();
}

const ScanReport& RecoverySession::scanReport() {
    settleAfterDigest();
    return report_;
}

Status RecoverySession::writeExportOverview(const ChatExporter& exporter) {
    sqlite3* store = storeConnection();
    const QString exportDir = exporter.exportDirectory();

    ScanReport report = scanReport();
    report.toolVersion = QStringLiteral(WCR_VERSION);
    wchat::StoreSummary counts;
    if (summary(&counts).isOk()) report.countFrom(store, counts, results_);
    report.settings = {{QStringLiteral("account"), toQ(accountUserName_.empty() ? accountDirectory_ : accountUserName_)},
                       {QStringLiteral("threads"), seekThreads_ > 0 ? QString::number(seekThreads_) : QString()},
                       {QStringLiteral("workDirectory"), workDirectory_},
                       {QStringLiteral("temporaryWorkDirectory"), temporaryWork_ ? QStringLiteral("yes") : QStringLiteral("no")},
                       {QStringLiteral("times"), utc_ ? QStringLiteral("UTC") : QStringLiteral("local time")},
                       {QStringLiteral("pictureCache"), pictureCache_},
                       {QStringLiteral("exportDirectory"), exportDir}};
    if (!writeScanReport(exportDir, report, utc_)) {
        return Status::ioError("cannot write the scan report in " + toStd(exportDir));
    }

    IndexHeader header;
    header.ownerUsrName = toQ(accountUserName_);
    if (backupOpen_) {
        if (const std::optional<backup::AccountSettings> owner = ownerSettings(backup_, accountUserName_)) {
            header.ownerNickName = toQ(owner->nickName);
        }
    }
    header.source = report.source.isEmpty() ? report.keptStore : report.source;
    header.scanTime = report.started;
    header.utc = utc_;
    header.hasReport = true;
    if (!writeIndexPage(exportDir, header, exporter.exported()).written) {
        return Status::ioError("cannot write " + toStd(exportDir) + "/" + kIndexFileName);
    }

    MachineExportContext machine;
    machine.friendMap = &results_.friendMap();
    machine.pages = &exporter.exported();
    machine.ownerUsrName = toQ(accountUserName_);
    machine.utc = utc_;
    const MachineExportOutcome files = writeMachineExport(store, exportDir, machine);
    if (!files.ok) return Status::ioError("cannot write " + toStd(files.failedFile));
    return Status::ok();
}

}  // namespace app
}  // namespace talwen
