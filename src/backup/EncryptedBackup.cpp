#include "backup/EncryptedBackup.h"

#include "backup/InputLimits.h"
#include "backup/ManifestDb.h"
#include "backup/MbdbParser.h"
#include "backup/PropertyList.h"
#include "backup/ReadOnlyFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstring>
#include <vector>

namespace talwen::backup {

namespace {

using Failure = EncryptedBackup::Failure;
using Outcome = EncryptedBackup::Outcome;

constexpr std::size_t kChunkBytes = 1 << 20; // a multiple of the AES block
const char* const kSqliteHeader = "SQLite format 3";

Outcome failed(Failure failure, const std::string& message)
{
    return Outcome{failure, message};
}

std::string text(const QString& path)
{
    return path.toStdString();
}

Bytes toBytes(const QByteArray& data)
{
    return Bytes(reinterpret_cast<const std::uint8_t*>(data.constData()),
                 reinterpret_cast<const std::uint8_t*>(data.constData()) + data.size());
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The encryption key of a Manifest.mbdb record: its data string, which the parser
// turned into upper-case hexadecimal unless every byte was printable.
Bytes mbdbKeyBytes(const std::string& field)
{
    constexpr std::size_t kRaw = 4 + BackupCrypto::kWrappedKeySize;
    if (field.size() == kRaw)
        return Bytes(field.begin(), field.end());
    Bytes bytes;
    if (field.size() != 2 * kRaw)
        return bytes;
    for (std::size_t i = 0; i < field.size(); i += 2) {
        const int high = hexValue(field[i]);
        const int low = hexValue(field[i + 1]);
        if (high < 0 || low < 0)
            return Bytes();
        bytes.push_back(std::uint8_t(high * 16 + low));
    }
    return bytes;
}

} // namespace

Outcome EncryptedBackup::open(const std::string& backupPath)
{
    backupPath_ = backupPath;
    const QString path = QString::fromStdString(backupPath) + QStringLiteral("/Manifest.plist");
    const auto content = ReadOnlyFile::readAll(path, InputLimits::kMaxManifestPlistBytes);
    if (!content || !PropertyList::saysEncrypted(*content))
        return failed(Failure::NotEncrypted, "the backup is not encrypted: " + backupPath);
    const auto keybag = PropertyList::dataItem(*content, "BackupKeyBag");
    if (!keybag)
        return failed(Failure::DamagedKeybag, "the backup's keybag is missing: " + backupPath);
    std::string why;
    keybag_ = BackupKeybag::parse(toBytes(*keybag), &why);
    if (!keybag_)
        return failed(Failure::DamagedKeybag, "the backup's keybag is damaged (" + why + "): " + backupPath);
    if (const auto manifestKey = PropertyList::dataItem(*content, "ManifestKey"))
        manifestKey_ = toBytes(*manifestKey);
    return Outcome();
}

Outcome EncryptedBackup::unlock(const std::string& password, const Progress& progress)
{
    if (!keybag_)
        return failed(Failure::DamagedKeybag, "the backup's keybag was not read");
    Bytes derived;
    if (!keybag_->deriveKey(password, &derived, progress))
        return failed(Failure::Stopped, "the key derivation was stopped");
    const bool unlocked = keybag_->unlock(derived);
    BackupCrypto::wipe(&derived);
    if (!unlocked)
        return failed(Failure::WrongPassword, kWrongPassword);
    return Outcome();
}

Outcome EncryptedBackup::decryptManifest(const QString& directory, const std::string& domain)
{
    if (!keybag_ || !keybag_->unlocked())
        return failed(Failure::WrongPassword, "the backup is not unlocked");
    directory_ = directory;
    const QString backup = QString::fromStdString(backupPath_);
    const QString mbdb = backup + QStringLiteral("/Manifest.mbdb");
    if (ReadOnlyFile::isRegularFile(mbdb)) {
        // Backups of iOS 9 and earlier keep the manifest in clear; its records carry the keys.
        if (!ReadOnlyFile::copyFile(mbdb, directory + QStringLiteral("/Manifest.mbdb")))
            return failed(Failure::IoError, "cannot copy the manifest to " + text(directory));
        return readMbdbRecords(mbdb, domain);
    }
    const QString db = backup + QStringLiteral("/Manifest.db");
    if (!ReadOnlyFile::isRegularFile(db))
        return failed(Failure::DamagedManifest, "not an iTunes backup (no Manifest.mbdb or Manifest.db): " + backupPath_);
    FileRecord manifestKey;
    Bytes key;
    if (!manifestKey.setKey(manifestKey_) ||
        !keybag_->unwrap(manifestKey.protectionClass, manifestKey.wrappedKey, &key))
        return failed(Failure::DamagedManifest, "the manifest key of the backup is missing or damaged: " + backupPath_);
    const QString target = directory + QStringLiteral("/Manifest.db");
    Outcome outcome = decryptStream(db, target, key, std::nullopt);
    BackupCrypto::wipe(&key);
    if (!outcome.ok())
        return failed(Failure::DamagedManifest, "Manifest.db cannot be decrypted: " + outcome.message);
    QFile check(target);
    if (!check.open(QIODevice::ReadOnly) || !check.read(16).startsWith(kSqliteHeader))
        return failed(Failure::DamagedManifest, "Manifest.db does not decrypt to a database: " + backupPath_);
    bool overLimit = false;
    fileRecords_ = ManifestDb::readFileRecords(text(target), domain, InputLimits::kMaxManifestRecords, &overLimit);
    if (overLimit) {
        InputLimits::reportExceeded("Record count", db, InputLimits::kMaxManifestRecords);
        fileRecords_.clear();
    }
    return Outcome();
}

Outcome EncryptedBackup::readMbdbRecords(const QString& manifest, const std::string& domain)
{
    const auto content = ReadOnlyFile::readAll(manifest, InputLimits::kMaxManifestMbdbBytes);
    if (!content)
        return failed(Failure::DamagedManifest, "Manifest.mbdb cannot be read: " + backupPath_);
    bool overLimit = false;
    const std::vector<MbdbRecord> records =
        MbdbParser::parse(reinterpret_cast<const std::uint8_t*>(content->constData()), std::size_t(content->size()),
                          MbdbParser::Selection{domain, InputLimits::kMaxManifestRecords}, &overLimit);
    if (overLimit) {
        InputLimits::reportExceeded("Record count", manifest, InputLimits::kMaxManifestRecords);
        return Outcome();
    }
    for (const MbdbRecord& record : records) {
        FileRecord file;
        file.setKey(mbdbKeyBytes(record.encryptionKey));
        file.size = mbdbFileLength(record.statText).value_or(0);
        fileRecords_.emplace(record.fileName, std::move(file));
    }
    return Outcome();
}

bool EncryptedBackup::isDecrypted(const std::string& fileName) const
{
    std::lock_guard<std::mutex> lock(filesLock_);
    return !directory_.isEmpty() &&
           ReadOnlyFile::isRegularFileInside(directory_, QString::fromStdString(fileName));
}

Outcome EncryptedBackup::decryptFile(const std::string& fileName, const Progress& progress)
{
    std::lock_guard<std::mutex> lock(filesLock_);
    if (directory_.isEmpty() || !keybag_ || !keybag_->unlocked())
        return failed(Failure::WrongPassword, "the backup is not unlocked");
    const QString name = QString::fromStdString(fileName);
    if (ReadOnlyFile::isRegularFileInside(directory_, name))
        return Outcome();
    const auto record = fileRecords_.find(fileName);
    if (record == fileRecords_.end() || !record->second.hasKey())
        return failed(Failure::NoKey, "the manifest holds no key for file[" + fileName + "]");
    const QString backup = QString::fromStdString(backupPath_);
    // Names come from the manifest and were checked there; a link or pipe of the
    // backup is never read.
    if (!ReadOnlyFile::isRegularFileInside(backup, name))
        return failed(Failure::IoError, "the backup lacks file[" + fileName + "]");
    Bytes key;
    if (!keybag_->unwrap(record->second.protectionClass, record->second.wrappedKey, &key))
        return failed(Failure::NoKey, "the key of file[" + fileName + "] does not unwrap");
    const QString target = directory_ + QLatin1Char('/') + name;
    if (!QDir().mkpath(QFileInfo(target).absolutePath()))
        return failed(Failure::IoError, "cannot create a directory for " + text(target));
    Outcome outcome = decryptStream(backup + QLatin1Char('/') + name, target, key, record->second.size, progress);
    BackupCrypto::wipe(&key);
    return outcome;
}

Outcome EncryptedBackup::decryptStream(const QString& source, const QString& target, const Bytes& key,
                                       std::optional<std::uint64_t> size, const Progress& progress)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return failed(Failure::IoError, "cannot read " + text(source));
    const std::uint64_t encrypted = std::uint64_t(in.size());
    if (encrypted % BackupCrypto::kBlockSize != 0)
        return failed(Failure::DamagedFile, "encrypted file[" + text(source) + "] is cut off (size[" +
                                                std::to_string(encrypted) + "] is not a multiple of 16)");
    // PKCS#7 adds 1 to 16 bytes, so the encrypted file is longer than the recorded size.
    if (size && encrypted <= *size)
        return failed(Failure::DamagedFile, "encrypted file[" + text(source) + "] is cut off (size[" +
                                                std::to_string(encrypted) + "] is not above its recorded size[" +
                                                std::to_string(*size) + "])");
    CbcDecryptor decryptor(key);
    if (!decryptor.valid())
        return failed(Failure::NoKey, "no key for " + text(source));

    // Written under a temporary name: a file of the target's name is always whole.
    const QString part = target + QStringLiteral(".part");
    QFile::remove(part);
    QFile out(part);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return failed(Failure::IoError, "cannot write " + text(part));
    out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    auto abandon = [&out](Outcome outcome) {
        out.remove();
        return outcome;
    };

    // The last block holds the padding: without a known size it is written after
    // the padding is looked at.
    const std::uint64_t limit = size ? *size : encrypted - std::min<std::uint64_t>(encrypted, BackupCrypto::kBlockSize);
    std::vector<std::uint8_t> cipher(kChunkBytes), plain(kChunkBytes);
    std::uint8_t last[BackupCrypto::kBlockSize] = {};
    std::uint64_t done = 0;
    while (done < encrypted) {
        const std::size_t n = std::size_t(std::min<std::uint64_t>(kChunkBytes, encrypted - done));
        if (in.read(reinterpret_cast<char*>(cipher.data()), qint64(n)) != qint64(n))
            return abandon(failed(Failure::IoError, "cannot read " + text(source)));
        if (!decryptor.update(cipher.data(), n, plain.data()))
            return abandon(failed(Failure::DamagedFile, "cannot decrypt " + text(source)));
        if (done + n == encrypted)
            std::memcpy(last, plain.data() + n - BackupCrypto::kBlockSize, BackupCrypto::kBlockSize);
        if (done < limit) {
            const std::size_t keep = std::size_t(std::min<std::uint64_t>(n, limit - done));
            if (out.write(reinterpret_cast<const char*>(plain.data()), qint64(keep)) != qint64(keep))
                return abandon(failed(Failure::IoError, "cannot write " + text(part)));
        }
        done += n;
        if (progress && !progress(done))
            return abandon(failed(Failure::Stopped, "the decryption was stopped"));
    }
    BackupCrypto::wipe(plain.data(), plain.size());

    const std::uint8_t pad = last[BackupCrypto::kBlockSize - 1];
    const bool padded = encrypted > 0 && pad >= 1 && pad <= BackupCrypto::kBlockSize &&
                        std::all_of(last + BackupCrypto::kBlockSize - pad, last + BackupCrypto::kBlockSize,
                                    [pad](std::uint8_t b) { return b == pad; });
    if (size) {
        // PKCS#7 padding fills the space after the recorded size: a wrong key or a
        // changed file shows there. A file longer than that is cut to the size.
        const std::uint64_t extra = encrypted - *size;
        if (extra <= BackupCrypto::kBlockSize && (!padded || pad != extra))
            return abandon(failed(Failure::DamagedFile, "file[" + text(source) + "] does not decrypt with its key"));
    } else if (encrypted > 0) {
        const std::size_t keep = padded ? BackupCrypto::kBlockSize - pad : BackupCrypto::kBlockSize;
        if (out.write(reinterpret_cast<const char*>(last), qint64(keep)) != qint64(keep))
            return abandon(failed(Failure::IoError, "cannot write " + text(part)));
    }
    BackupCrypto::wipe(last, sizeof last);
    if (!out.flush())
        return abandon(failed(Failure::IoError, "cannot write " + text(part)));
    out.close();
    if (!QFile::rename(part, target)) {
        QFile::remove(part);
        return failed(Failure::IoError, "cannot write " + text(target));
    }
    return Outcome();
}

std::optional<std::uint64_t> EncryptedBackup::mbdbFileLength(const std::string& statText)
{
    // Groups of 2, 4, 4, 4, 4, 4, 4, 4, 8, 1 and 1 bytes; the 8-byte one is the length.
    std::size_t start = 0;
    for (int group = 0; group < 8; ++group) {
        start = statText.find(' ', start);
        if (start == std::string::npos)
            return std::nullopt;
        ++start;
    }
    if (statText.size() < start + 16)
        return std::nullopt;
    std::uint64_t length = 0;
    for (std::size_t i = start; i < start + 16; ++i) {
        const int digit = hexValue(statText[i]);
        if (digit < 0)
            return std::nullopt;
        length = length * 16 + std::uint64_t(digit);
    }
    return length;
}

} // namespace talwen::backup
