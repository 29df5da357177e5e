#pragma once

#include "backup/BackupCrypto.h"
#include "backup/BackupKeybag.h"
#include "backup/FileRecord.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace talwen::backup {

// Reads an encrypted backup with its password. The backup itself is only read:
// the manifest and every file asked for are decrypted into a directory the caller
// owns (its working directory), laid out as the backup is ("Manifest.db",
// "<xx>/<fileID>" or the flat names of a Manifest.mbdb backup), so the rest of
// the program reads that directory as an unencrypted backup.
//
//   open -> unlock(password) -> decryptManifest(directory, domain) -> decryptFile...
//
// Manifest.plist holds the keybag (BackupKeyBag) and, from iOS 10, the key of
// Manifest.db (ManifestKey: a 4-byte little-endian protection class and the
// wrapped key). Manifest.db and every file are AES-256-CBC with a zero IV; a
// file's key is in its manifest record, wrapped with its class key.
//
// Threads: decryptFile may be called from several threads (a page view and an
// export); the rest from one thread.
class EncryptedBackup {
public:
    enum class Failure {
        None,
        NotEncrypted,    // Manifest.plist is missing or does not say IsEncrypted
        DamagedKeybag,   // no keybag, or one that cannot be read
        WrongPassword,   // a class key did not unwrap with the derived key
        Stopped,         // the progress callback asked to stop
        DamagedManifest, // no manifest key, or a manifest that does not decrypt or read
        NoKey,           // the file's record has no key, or a key that does not unwrap
        DamagedFile,     // cut off or not decrypting with its key
        IoError,
    };
    struct Outcome {
        Failure failure = Failure::None;
        std::string message; // one line for the user; empty on success
        bool ok() const { return failure == Failure::None; }
    };

    // Bytes or iterations done; false stops the work.
    using Progress = std::function<bool(std::uint64_t done)>;

    static constexpr const char* kWrongPassword = "wrong backup password";

    EncryptedBackup() = default;
    EncryptedBackup(const EncryptedBackup&) = delete;
    EncryptedBackup& operator=(const EncryptedBackup&) = delete;

    // Reads the keybag and the manifest key of the backup's Manifest.plist.
    Outcome open(const std::string& backupPath);
    // Iterations of the key derivation, for its progress.
    std::uint64_t derivationWork() const { return keybag_ ? keybag_->derivationWork() : 0; }

    // Derives the key from the password and unwraps the class keys with it.
    Outcome unlock(const std::string& password, const Progress& progress = nullptr);

    // Decrypts Manifest.db (or copies the plain Manifest.mbdb) into directory,
    // which must exist and becomes the home of the decrypted files, and reads the
    // file records of domain.
    Outcome decryptManifest(const QString& directory, const std::string& domain);
    // The decrypted manifest's records of the domain, by file name.
    const std::map<std::string, FileRecord>& fileRecords() const { return fileRecords_; }
    const QString& directory() const { return directory_; }

    // Decrypts the file fileName (as the manifest names it) into the directory,
    // unless an earlier call did. progress gets the bytes done.
    Outcome decryptFile(const std::string& fileName, const Progress& progress = nullptr);
    // True when fileName is decrypted in the directory already.
    bool isDecrypted(const std::string& fileName) const;

    // Decrypts source into target (created; it must not exist) with key: AES-256-CBC,
    // zero IV. With a known size the result is cut to it, and the PKCS#7 padding
    // after it is checked; without, a valid padding is removed.
    static Outcome decryptStream(const QString& source, const QString& target, const Bytes& key,
                                 std::optional<std::uint64_t> size, const Progress& progress = nullptr);

    // The file length of a Manifest.mbdb record (group 9 of its stat text).
    static std::optional<std::uint64_t> mbdbFileLength(const std::string& statText);

private:
    Outcome readMbdbRecords(const QString& manifest, const std::string& domain);

    std::string backupPath_;
    std::optional<BackupKeybag> keybag_;
    Bytes manifestKey_;            // class + wrapped key; empty for Manifest.mbdb backups
    QString directory_;
    std::map<std::string, FileRecord> fileRecords_;
    mutable std::mutex filesLock_; // decryptFile of two threads
};

} // namespace talwen::backup
