#include "app/session/AccountDatabase.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <utility>
#include <vector>

#include "backup/BackupManager.h"
#include "backup/ReadOnlyFile.h"

namespace talwen {
namespace app {

const char* const kDatabaseCopyName = "MM.sqlite";
const char* const kWorkingStoreName = "recovery-store.work";

namespace {

using backup::BackupManager;

QString fromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

std::map<QString, QString> toQStringMap(const std::map<std::string, std::string>& map) {
    std::map<QString, QString> converted;
    for (const auto& entry : map) converted.emplace(fromUtf8(entry.first), fromUtf8(entry.second));
    return converted;
}

DatabaseCopy failure(const QString& message) {
    DatabaseCopy copy;
    copy.status = common::Status::ioError(message.toStdString());
    return copy;
}

// `path` is `dir` or lies below it (both resolved through links where they exist).
bool isInside(const QString& path, const QString& dir) {
    const QString canonicalDir = QFileInfo(dir).canonicalFilePath();
    if (canonicalDir.isEmpty()) return false;
    const QString canonicalPath = QFileInfo(path).canonicalFilePath();
    if (canonicalPath.isEmpty()) return false;
    return canonicalPath == canonicalDir || canonicalPath.startsWith(canonicalDir + QLatin1Char('/'));
}

// The write-ahead log and its index of a database, by suffix ("-wal", "-shm")
// and the file that holds each; either may be missing.
using Companions = std::vector<std::pair<QString, QString>>;

// Replaces workingDir + "/MM.sqlite" with a copy of `source`. A journal, WAL or
// shared-memory file left beside an earlier copy is removed too: SQLite would
// otherwise take its pages for part of the new copy. The source's own log and
// index (`companions`) are copied beside it, so the copy reads as the database
// does, with the transactions still in its log.
DatabaseCopy replaceCopy(const QString& source, const QString& workingDir, const Companions& companions = {}) {
    const QString target = QDir(workingDir).filePath(QString::fromLatin1(kDatabaseCopyName));
    if (!QFileInfo(source).isFile()) {
        return failure(QStringLiteral("Database file[") + source + QStringLiteral("] not found!"));
    }
    const QFileInfo sourceInfo(source);
    const QFileInfo targetInfo(target);
    const bool sameFile = targetInfo.exists() && sourceInfo.canonicalFilePath() == targetInfo.canonicalFilePath();
    // The chosen file already is the copy: removing it (or its journal) would lose it.
    if (!sameFile) {
        for (const char* suffix : {"-journal", "-wal", "-shm"}) {
            const QString companion = target + QLatin1String(suffix);
            if (QFileInfo::exists(companion) && !QFile::remove(companion)) {
                return failure(QStringLiteral("Remove file[") + companion + QStringLiteral("] failed!"));
            }
        }
        if (targetInfo.exists() && !QFile::remove(target)) {
            return failure(QStringLiteral("Remove file[") + target + QStringLiteral("] failed!"));
        }
        QFile file(source);
        if (!file.copy(target)) {
            return failure(QStringLiteral("Copy database[") + source + QStringLiteral("] to[") + target +
                           QStringLiteral("]: ") + file.errorString() + QStringLiteral("!"));
        }
        // The copy takes the source's permissions; a read-only copy could not be
        // replaced by the next recovery on every platform.
        QFile::setPermissions(target, QFile::permissions(target) | QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        for (const auto& companion : companions) {
            const QString companionTarget = target + companion.first;
            QFile file(companion.second);
            if (!file.copy(companionTarget)) {
                return failure(QStringLiteral("Copy database[") + companion.second + QStringLiteral("] to[") +
                               companionTarget + QStringLiteral("]: ") + file.errorString() + QStringLiteral("!"));
            }
            QFile::setPermissions(companionTarget, QFile::permissions(companionTarget) | QFileDevice::ReadOwner |
                                                       QFileDevice::WriteOwner);
        }
    }
    DatabaseCopy copy;
    copy.status = common::Status::ok();
    copy.copiedPath = target;
    return copy;
}

}  // namespace

DatabaseCopy copyAccountDatabase(const BackupManager& manager, const std::string& chosenUserName,
                                 const QString& workingDir) {
    const auto& databases = manager.databaseFiles();
    if (databases.empty()) {
        return failure(QStringLiteral("Backup[") + fromUtf8(manager.currentBackup()) +
                       QStringLiteral("] holds no messenger database!"));
    }
    auto chosen = databases.begin();
    if (databases.size() >= 2) {
        const auto& settings = manager.accountSettings();
        auto account = settings.begin();
        while (account != settings.end() && account->second.userName != chosenUserName) ++account;
        if (account == settings.end()) {
            return failure(QStringLiteral("Settings of userName[") + fromUtf8(chosenUserName) +
                           QStringLiteral("] not found!"));
        }
        chosen = databases.begin();
        while (chosen != databases.end() && !BackupManager::sameAccount(chosen->first, account->first)) ++chosen;
        if (chosen == databases.end()) {
            return failure(QStringLiteral("Database of settings[") + fromUtf8(account->first) +
                           QStringLiteral("] not found!"));
        }
    }
    const QString backupDir = fromUtf8(manager.currentBackup());
    if (isInside(workingDir, backupDir)) {
        return failure(QStringLiteral("Working directory[") + workingDir + QStringLiteral("] lies in backup[") +
                       backupDir + QStringLiteral("]!"));
    }
    // Only a regular file of the backup itself: a link could copy any database of
    // this computer, a pipe would block the copy.
    if (!backup::ReadOnlyFile::isRegularFileInside(backupDir, fromUtf8(chosen->second))) {
        return failure(QStringLiteral("Database file[") + backupDir + QStringLiteral("/") + fromUtf8(chosen->second) +
                       QStringLiteral("] is a link or not a regular file!"));
    }
    // The log and its index are stored beside the database under their own
    // names; only regular files of the backup are taken.
    Companions companions;
    for (const char* suffix : {"-wal", "-shm"}) {
        const auto stored = manager.messengerFiles().find(chosen->first + suffix);
        if (stored == manager.messengerFiles().end()) continue;
        if (!backup::ReadOnlyFile::isRegularFileInside(backupDir, fromUtf8(stored->second))) continue;
        companions.emplace_back(QString::fromLatin1(suffix), backupDir + QStringLiteral("/") + fromUtf8(stored->second));
    }
    DatabaseCopy copy =
        replaceCopy(backupDir + QStringLiteral("/") + fromUtf8(chosen->second), workingDir, companions);
    if (copy.status.isOk()) copy.accountDir = fromUtf8(BackupManager::accountDirectory(chosen->first));
    return copy;
}

DatabaseCopy copyDatabaseFile(const QString& path, const QString& workingDir) {
    Companions companions;
    for (const char* suffix : {"-wal", "-shm"}) {
        const QFileInfo companion(path + QString::fromLatin1(suffix));
        if (companion.isFile() && !companion.isSymLink()) {
            companions.emplace_back(QString::fromLatin1(suffix), companion.filePath());
        }
    }
    return replaceCopy(path, workingDir, companions);
}

std::optional<backup::AccountSettings> ownerSettings(const BackupManager& manager, const std::string& chosenUserName) {
    const auto& settings = manager.accountSettings();
    if (manager.databaseFiles().size() < 2) {
        if (settings.empty()) return std::nullopt;
        return settings.begin()->second;
    }
    for (const auto& entry : settings) {
        if (entry.second.userName == chosenUserName) return entry.second;
    }
    return std::nullopt;
}

MediaFileMap mediaFileMap(const BackupManager& manager) {
    return toQStringMap(manager.messengerFiles());
}

std::map<QString, QString> databaseFileMap(const BackupManager& manager) {
    return toQStringMap(manager.databaseFiles());
}

RenderContext accountRenderContext(const BackupManager& manager, const QString& accountDir,
                                   const std::string& chosenUserName) {
    RenderContext context;
    context.backupDir = fromUtf8(manager.currentBackup());
    context.accountDir = accountDir;
    if (const auto owner = ownerSettings(manager, chosenUserName)) context.ownerPicture = fromUtf8(owner->headImgUrl);
    return context;
}

}  // namespace app
}  // namespace talwen
