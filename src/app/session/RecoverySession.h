#pragma once

#include <QString>

#include <atomic>
#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "app/export/ChatExporter.h"
#include "app/pages/MessageRenderer.h"
#include "app/session/RecoveryProgress.h"
#include "app/session/ScanReport.h"
#include "app/store/AccountSampler.h"
#include "app/store/RecoveredData.h"
#include "backup/BackupManager.h"
#include "sqlite_recovery/SeekProgressIndicator.h"
#include "common/Status.h"
#include "wchat/PipelineStage.h"
#include "wchat/RecoveryStore.h"

class QTemporaryDir;

namespace talwen {
namespace backup {
class EncryptedBackup;
}
namespace wchat {
class WchatChatToDbSeeker;
}
namespace app {

// What a recovery tells its front end. Every call but onSeekProgress comes on the
// thread that drives the session; onSeekProgress comes from the watcher thread of
// its seek. Front ends hand what they need to their own thread (the window through
// queued signals) and never block here for long.
class RecoveryObserver {
public:
    // The three watched carving seeks, in the order they run.
    enum Seek { kFriendSeek = 0, kChatTableSeek = 1, kChatSeek = 2 };

    virtual ~RecoveryObserver() = default;
    virtual void onStageBegin(wchat::Stage /*stage*/, const wchat::StageReport& /*report*/) {}
    virtual void onStageEnd(wchat::Stage /*stage*/, const wchat::StageReport& /*report*/) {}
    // Progress inside the long stages that have no seek indicator (see StageObserver).
    virtual void onStageProgress(wchat::Stage /*stage*/, uint64_t /*done*/, uint64_t /*total*/) {}
    // One poll of a carving seek's progress, about every 100 ms while it runs.
    virtual void onSeekProgress(Seek /*seek*/, const ProgressReport& /*report*/) {}
    virtual void onExportProgress(const ExportProgress& /*progress*/) {}

    // Opening an encrypted backup: the key derivation from the password (done and
    // total iterations), then the decryption of the files the recovery reads
    // (done and total bytes). Each step ends with done == total.
    enum DecryptionStep { kKeyDerivation = 0, kFileDecryption = 1 };
    virtual void onBackupDecryption(DecryptionStep /*step*/, uint64_t /*done*/, uint64_t /*total*/) {}
};

// The conversations an export wrote, and where.
struct ExportOutcome {
    common::Status status;
    int written = 0;
    int failed = 0;
    bool cancelled = false;    // stopped on request; the pages written so far stay
    std::string directory;     // the "微信聊天记录恢复" directory of the export
    std::string firstFailure;  // the first page that could not be written
};

// One recovery, from the source to the export, as every front end drives it:
//
//   openBackup + chooseAccount, or useDatabaseFile, or openKeptStore
//   setWorkDirectory -> copySource -> recover -> loadResults -> keepStore / exportAll
//
// The source is only read: the database is copied into the working directory
// first, and the pipeline reads the copy. Each step returns a Status whose message
// is one line for the user; a step taken out of order fails with a message saying
// so. Not thread-safe, apart from requestCancel: one thread drives the session (the
// command line's main thread, the window's worker).
class RecoverySession {
public:
    explicit RecoverySession(RecoveryObserver* observer = nullptr);
    ~RecoverySession();
    RecoverySession(const RecoverySession&) = delete;
    RecoverySession& operator=(const RecoverySession&) = delete;

    // ---- The source -------------------------------------------------------
    // Opens a backup for reading its messenger files: manifest, located files and
    // the accounts' settings.
    //
    // An encrypted backup needs its password first (setBackupPassword). It is
    // unlocked with it, and its manifest, the messenger's databases (with their
    // -wal and -shm) and settings files are decrypted into a private directory
    // below the working directory (setWorkDirectory before, or a temporary one);
    // media are decrypted there when a page or an export first needs them. Every
    // decrypted file, the copy of the database included, is removed with the
    // session. A wrong password fails with "wrong backup password".
    common::Status openBackup(const std::string& directory);
    // The password of the encrypted backup openBackup opens next; forgotten
    // (overwritten) as soon as the key is derived. Never logged or stored.
    void setBackupPassword(const std::string& password);
    // True when the opened backup was encrypted.
    bool backupWasEncrypted() const { return encrypted_ != nullptr; }
    // The account to scan in the opened backup, by its 32-character directory or
    // its owner's user name; the only account of a backup needs no name.
    common::Status chooseAccount(const std::string& account);
    // A database file chosen directly instead of a backup.
    common::Status useDatabaseFile(const std::string& path);
    // A recovery store kept by an earlier scan, for exporting it again.
    common::Status openKeptStore(const std::string& path);

    const backup::BackupManager& backup() const { return backup_; }
    // Contacts of each account of the opened backup, to recognise the accounts by.
    AccountSampling sampleAccounts() const;
    // The chosen account's directory and owner (empty for a database file).
    const std::string& accountDirectory() const { return accountDirectory_; }
    const std::string& accountUserName() const { return accountUserName_; }

    // ---- The work ---------------------------------------------------------
    // Where the copy and the page assets go; empty: a private temporary directory,
    // removed with the session. freshInside (a directory the user names, which may
    // hold files of others): a fresh directory the session creates inside
    // `directory` and removes with everything in it when the session ends, so
    // nothing already there is touched. Without it `directory` itself is used (the
    // window's own data directory).
    common::Status setWorkDirectory(const std::string& directory, bool freshInside = false);
    // The directory the session works in; empty before setWorkDirectory.
    std::string workDirectory() const { return workDirectory_.toStdString(); }
    // Copies the chosen database into the working directory.
    common::Status copySource();
    // Runs the recovery on the copy with `threads` seek threads (0: one fewer than
    // the machine has, at least one).
    common::Status recover(unsigned threads);
    // Asks a running recovery or export to stop: a carving seek after its current
    // page, an export after its current page, any other stage at its next batch.
    // Any thread. A recovery stopped during the
    // message seek still has a finished store: recover returns Cancelled and
    // resultIsPartial() is true; the lists can be loaded as usual.
    void requestCancel();
    bool resultIsPartial() const { return partial_; }

    // ---- The results ------------------------------------------------------
    // Reads the lists of the store; rowCap 0 reads every row (exports must), the
    // viewer passes its caps.
    common::Status loadResults(uint32_t friendRowCap = 0, uint32_t lostChatRowCap = 0);
    const RecoveredData& results() const { return results_; }
    RecoveredData& results() { return results_; }
    common::Status summary(wchat::StoreSummary* summary) const;
    // Keeps the store as a database file; an existing file is refused.
    common::Status keepStore(const std::string& path);
    // The store's connection for further queries (null before recover/openKeptStore).
    sqlite3* storeConnection() const;
    // Exports every conversation below `directory`, with its media when the
    // source was a backup.
    ExportOutcome exportAll(const std::string& directory);
    // Writes index.html, messages.csv/jsonl, contacts.csv and report.html/json beside
    // the pages `exporter` wrote (exportAll does it itself; a front end that drives
    // its own exporter calls it after the last page).
    common::Status writeExportOverview(const ChatExporter& exporter);
    // The context conversation pages of this session are rendered with.
    RenderContext renderContext() const;
    // Pages, the index and the scan report write times in UTC instead of local time.
    void setPagesInUtc(bool utc) { utc_ = utc; }
    // What the scan report says so far: source digests before and after the scan,
    // the working copy's digest, times and settings. An export completes and writes it.
    // Waits for the source's second digest, taken on a worker after the scan.
    const ScanReport& scanReport();
    // Where downloaded contact and owner pictures are kept; pages then show the
    // cached picture or the default face instead of a remote address.
    void setPictureCache(const QString& directory) { pictureCache_ = directory; }

private:
    common::Status requireWorkDirectory();
    common::Status unlockBackup(const std::string& directory);
    common::Status decryptMessengerFiles();
    void removeDecryptedFiles();

    RecoveryObserver* observer_;
    std::atomic<bool> cancel_{false};
    bool partial_ = false;
    // One per watched seek; they outlive the pipeline, which points at them.
    sqlite::SeekProgressIndicator indicators_[3];
    backup::BackupManager backup_;
    bool backupOpen_ = false;
    std::string databasePath_;  // the chosen database inside the backup
    std::string databaseFile_;  // a database file chosen directly
    std::string accountDirectory_;
    std::string accountUserName_;
    std::unique_ptr<QTemporaryDir> temporaryWork_;
    QString workDirectory_;
    QString workingStore_;  // the store file of this session's scan, removed with the session
    QString copiedPath_;
    MediaFileMap mediaFiles_;
    RenderContext context_;
    QString pictureCache_;
    std::unique_ptr<wchat::WchatChatToDbSeeker> seeker_;
    std::unique_ptr<wchat::RecoveryStore> keptStore_;
    RecoveredData results_;
    // The store's summary, read once: a finished store no longer changes, and each
    // reading scans the whole message table.
    mutable std::optional<wchat::StoreSummary> summary_;
    bool utc_ = false;
    unsigned seekThreads_ = 0;
    QString sourceFile_;  // the database file copied, hashed before and after the scan
    ScanReport report_;
    // The source's digest after the scan, on a worker while the results are read
    // (neither touches the source); settled into report_ before the report is read.
    std::future<FileDigest> afterDigest_;
    void settleAfterDigest();
    // Encrypted backups: the password until it is used, the unlocked backup, the
    // directory of its decrypted files and why a file could not be decrypted.
    std::string password_;
    std::unique_ptr<backup::EncryptedBackup> encrypted_;
    std::unique_ptr<QTemporaryDir> decryptedDir_;
    std::map<std::string, std::string> decryptionFailures_;  // file name -> message
};

}  // namespace app
}  // namespace talwen
