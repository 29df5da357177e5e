#pragma once

#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "app/export/ChatExporter.h"
#include "app/pages/MessageRenderer.h"
#include "app/session/RecoveryProgress.h"
#include "app/store/AccountSampler.h"
#include "app/store/RecoveredData.h"
#include "backup/BackupManager.h"
#include "sqlite_recovery/SeekProgressIndicator.h"
#include "common/Status.h"
#include "wchat/PipelineStage.h"
#include "wchat/RecoveryStore.h"

class QTemporaryDir;

namespace talwen {
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
    common::Status openBackup(const std::string& directory);
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
    // removed with the session.
    common::Status setWorkDirectory(const std::string& directory);
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
    // The context conversation pages of this session are rendered with.
    RenderContext renderContext() const;
    // Where downloaded contact and owner pictures are kept; pages then show the
    // cached picture or the default face instead of a remote address.
    void setPictureCache(const QString& directory) { pictureCache_ = directory; }

private:
    common::Status requireWorkDirectory();

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
};

}  // namespace app
}  // namespace talwen
