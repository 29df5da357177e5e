#pragma once

#include "backup/AccountSettings.h"
#include "backup/BackupInfo.h"
#include "backup/MbdbRecord.h"
#include "backup/PropertyList.h"

#include <QByteArray>

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace talwen::backup {

// The application's one object for data read from local device backups: the list
// of backups, their parsed manifests, the messenger's files in the current backup
// and the settings of the messenger accounts found there.
//
// Backups are only read: files are opened read-only, Manifest.db is opened as an
// immutable read-only database, nothing is created beside them.
//
// Threads: no internal lock. One thread at a time may call the operations; a
// caller that hands the object to another thread orders the accesses (the
// application does this through queued signals).
class BackupManager {
public:
    static constexpr const char* kMessengerDomain = "AppDomain-com.tencent.xin";
    // "Documents/" + 32-character account directory.
    static constexpr std::size_t kAccountDirOffset = 10;
    static constexpr std::size_t kAccountDirLength = 32;
    static constexpr std::size_t kAccountPrefixLength = kAccountDirOffset + kAccountDirLength;

    // What the last locateMessengerFiles found.
    enum class LocateOutcome {
        NotLocated,      // locateMessengerFiles has not run
        Found,           // at least one messenger database
        NoManifest,      // no manifest was loaded for the backup
        NoMessengerData, // manifest read, no messenger database in it
        Encrypted,       // the backup is encrypted; its files cannot be read
    };

    // ---- Backup list -------------------------------------------------------

    // Appends the backups found under every existing backup root of this
    // computer (see BackupRoots) that are not listed yet. True when at least one
    // root directory exists.
    bool scanBackups();
    // The same over the given root directories, in their order.
    bool scanBackupRoots(const std::vector<std::string>& roots);

    // Appends the backup in directory when its Info.plist exists and is XML.
    // No duplicate check: adding a directory twice lists it twice.
    bool addBackup(const std::string& directory);

    std::size_t backupCount() const { return backups_.size(); }
    // Precondition: index < backupCount() (std::out_of_range otherwise).
    const BackupInfo& backupAt(std::size_t index) const { return backups_.at(index); }
    const std::vector<BackupInfo>& backups() const { return backups_; }

    // The entry for a backup directory, from its Info.plist (and the encryption
    // flag from Manifest.plist); nothing when Info.plist is missing or not XML.
    static std::optional<BackupInfo> readBackupInfo(const std::string& directory);

    // True when the backup's Manifest.plist says IsEncrypted.
    static bool isEncryptedBackup(const std::string& backupPath);

    // ---- Manifest ----------------------------------------------------------

    // Records of a Manifest.mbdb file; empty when it cannot be read, has a wrong
    // header or goes beyond a limit of InputLimits (with a warning); a record cut
    // off by the end of the file is dropped.
    static std::vector<MbdbRecord> parseManifest(const std::string& manifestPath);

    // Reads the backup's manifest into manifests()[backupPath], replacing an
    // earlier one: Manifest.mbdb, or Manifest.db when there is no Manifest.mbdb.
    // Only the records of the messenger's domain are kept, at most
    // InputLimits::kMaxManifestRecords (none, with a warning, when there are more).
    // False, with manifests() unchanged, when the backup has neither.
    bool loadManifest(const std::string& backupPath);

    // Sets currentBackup and fills messengerFiles, databaseFiles and settingsFiles
    // from the loaded manifest of backupPath; all three are emptied first. An
    // encrypted backup fills nothing. Always true; locateOutcome() tells what was found.
    bool locateMessengerFiles(const std::string& backupPath);
    LocateOutcome locateOutcome() const { return locateOutcome_; }

    // ---- Accounts ----------------------------------------------------------

    // Reads the settings file of every settingsFiles entry into accountSettings
    // (an existing key keeps its value). A file that is missing, too large or not
    // a property list is skipped.
    void readAccountSettings();

    // Empties settingsFiles and accountSettings (back at the start screen, or the
    // account choice cancelled).
    void clearAccounts();

    // Settings of one settings file's content: a binary property list converted by
    // libplist, or an XML property list. Nothing when it is neither, or when it
    // goes beyond a limit of InputLimits (*refusal, when given, names it).
    static std::optional<AccountSettings> parseAccountSettings(const QByteArray& content,
                                                               PropertyList::Refusal* refusal = nullptr);

    // The 32-character account directory of a messenger path
    // ("Documents/<directory>/..."): bytes 11 to 42. Empty for a shorter path.
    static std::string accountDirectory(const std::string& devicePath);
    // Two messenger paths lie in the same account directory: their first 42
    // bytes are equal (both paths at least that long).
    static bool sameAccount(const std::string& pathA, const std::string& pathB);
    // The first databaseFiles path (key order) in the same account directory as
    // the settings path; empty when there is none.
    std::string databaseForSettings(const std::string& settingsPath) const;

    // currentBackup + "/" + the backup file name of a messenger path; empty when
    // the path is not in messengerFiles.
    std::string backupFilePath(const std::string& devicePath) const;

    // ---- State -------------------------------------------------------------

    const std::map<std::string, std::vector<MbdbRecord>>& manifests() const { return manifests_; }
    const std::string& currentBackup() const { return currentBackup_; }
    // Device path -> file location relative to currentBackup.
    const std::map<std::string, std::string>& messengerFiles() const { return messengerFiles_; }
    const std::map<std::string, std::string>& databaseFiles() const { return databaseFiles_; }
    const std::map<std::string, std::string>& settingsFiles() const { return settingsFiles_; }
    // Settings path -> settings.
    const std::map<std::string, AccountSettings>& accountSettings() const { return accountSettings_; }

private:
    std::vector<BackupInfo> backups_;
    std::map<std::string, std::vector<MbdbRecord>> manifests_;
    std::string currentBackup_;
    std::map<std::string, std::string> messengerFiles_;
    std::map<std::string, std::string> databaseFiles_;
    std::map<std::string, std::string> settingsFiles_;
    std::map<std::string, AccountSettings> accountSettings_;
    LocateOutcome locateOutcome_ = LocateOutcome::NotLocated;
};

} // namespace talwen::backup
