#pragma once

#include <map>
#include <optional>
#include <string>

#include <QString>

#include "app/pages/MessageRenderer.h"
#include "common/Status.h"
#include "backup/AccountSettings.h"

namespace talwen {
namespace backup {
class BackupManager;
}

namespace app {

// Name of the copy of the scanned database in the working directory.
extern const char* const kDatabaseCopyName;  // "MM.sqlite"
// Name of the recovery store being built in the working directory. It is a work
// file, never a result: a scan that stops half way leaves it incomplete, and the
// next scan in the same directory replaces it. A kept store (--store) is a copy
// written under a temporary name and renamed once complete.
extern const char* const kWorkingStoreName;  // "recovery-store.work"

// Outcome of putting the database to scan into the working directory.
struct DatabaseCopy {
    // Why nothing was copied (an I/O error with a one-line message), or ok.
    common::Status status = common::Status::ioError("not copied");
    // 32-character account directory under "Documents/" of the copied account;
    // empty for a file chosen directly.
    QString accountDir;
    // workingDir + "/MM.sqlite" once copied; empty on failure.
    QString copiedPath;
};

// Copies the messenger database of an account of the backup located in `manager`
// (currentBackup and databaseFiles filled, accountSettings read) to
// workingDir + "/MM.sqlite". With one database that one is taken; with several, the
// database in the account directory of the first accountSettings entry (key order)
// whose userName is `chosenUserName`. No matching database, a target inside the
// backup or a failed copy is a failure: nothing is started on an older copy. The
// backup is only read. The database's write-ahead log and its index (the
// backup's files of the same path + "-wal" and "-shm") are copied beside it.
DatabaseCopy copyAccountDatabase(const backup::BackupManager& manager, const std::string& chosenUserName,
                                 const QString& workingDir);

// Copies a database file chosen directly to workingDir + "/MM.sqlite", with its
// path + "-wal" and "-shm" when they are regular files. A file that already is
// that copy is kept as it is.
DatabaseCopy copyDatabaseFile(const QString& path, const QString& workingDir);

// The owner of the scanned account: the first accountSettings entry when the backup
// holds fewer than two databases, otherwise the first entry (key order) whose
// userName is `chosenUserName`. Nothing when there is no such entry.
std::optional<backup::AccountSettings> ownerSettings(const backup::BackupManager& manager,
                                                     const std::string& chosenUserName);

// The messenger's files of the current backup (device path -> file name in the
// backup directory), as the renderer looks media up.
MediaFileMap mediaFileMap(const backup::BackupManager& manager);
// The messenger databases of the current backup, as the account sampling reads them.
std::map<QString, QString> databaseFileMap(const backup::BackupManager& manager);

// The backup's part of a conversation page of the scanned account: backup directory,
// account directory and owner picture. The friend map and media map pointers are
// left to the caller, whose maps must outlive the pages.
RenderContext accountRenderContext(const backup::BackupManager& manager, const QString& accountDir,
                                   const std::string& chosenUserName);

}  // namespace app
}  // namespace talwen
