#pragma once

#include "backup/BackupCrypto.h"

#include <QByteArray>

#include <cstdint>
#include <optional>

namespace talwen::backup {

// What an encrypted backup needs of one file of its manifest: the file's own key,
// wrapped with the key of its protection class, and the file's size before
// encryption. In a Manifest.db it comes from the "file" column, a keyed archive
// (NSKeyedArchiver) whose root MBFile object has EncryptionKey (NSData: a 4-byte
// little-endian protection class and the 40-byte wrapped key), ProtectionClass and
// Size; in a Manifest.mbdb from the record's encryption key and file length.
struct FileRecord {
    std::uint32_t protectionClass = 0; // from the key's first four bytes
    Bytes wrappedKey;                  // empty: the record has no key
    std::uint64_t size = 0;
    bool hasKey() const { return wrappedKey.size() == BackupCrypto::kWrappedKeySize; }

    // The archive of a Manifest.db row; nothing when it is not a binary property
    // list of that shape, or goes beyond a limit of InputLimits. A record without
    // an EncryptionKey is returned without a key.
    static std::optional<FileRecord> fromArchive(const QByteArray& archive);

    // The raw EncryptionKey bytes (class + wrapped key); false when they are not 44 bytes.
    bool setKey(const Bytes& classAndKey);
};

} // namespace talwen::backup
