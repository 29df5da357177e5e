#pragma once

#include "backup/BackupCrypto.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace talwen::backup {

// The keybag of an encrypted backup (BackupKeyBag of Manifest.plist): records of a
// 4-byte tag, a 4-byte big-endian length and the value. The header (VERS, TYPE,
// UUID, HMCK, WRAP, SALT, ITER and, from iOS 10.2, DPWT, DPIC, DPSL) comes first;
// every later UUID starts one class key (CLAS, WRAP, KTYP, WPKY).
//
// The backup password unlocks it: the key derived from the password unwraps every
// class key whose WRAP has the password bit, and the class keys unwrap the
// manifest's and the files' keys.
class BackupKeybag {
public:
    // WRAP bit: the class key is wrapped with the key derived from the password.
    static constexpr std::uint32_t kWrapPasscode = 2;

    struct ClassKey {
        std::uint32_t protectionClass = 0;
        std::uint32_t wrap = 0;
        std::uint32_t keyType = 0;
        Bytes wrappedKey; // WPKY
    };

    // Nothing, and *why says what is wrong, when the data is not a keybag this
    // program can unlock: a record cut off, a required record missing or of the
    // wrong size, an iteration count of 0 or beyond InputLimits, no class key
    // wrapped with the password.
    static std::optional<BackupKeybag> parse(const Bytes& data, std::string* why);

    bool hasDataProtectionSalt() const { return !dpsl_.empty(); }
    std::uint32_t iterations() const { return iter_; }
    std::uint32_t dataProtectionIterations() const { return dpic_; }
    // Iterations of the whole derivation, for its progress.
    std::uint64_t derivationWork() const;

    // The key derived from the password: PBKDF2-HMAC-SHA256 over DPSL and DPIC,
    // then PBKDF2-HMAC-SHA1 over SALT and ITER (keybags without DPSL, written
    // before iOS 10.2: the SHA-1 step alone). step gets the iterations done over
    // both; false when it stopped the derivation.
    bool deriveKey(const std::string& password, Bytes* key, const BackupCrypto::Step& step = nullptr) const;

    // Unwraps every password-wrapped class key with the derived key. False when
    // one of them fails the unwrap's integrity check: the password is wrong.
    bool unlock(const Bytes& derivedKey);
    bool unlocked() const { return !classKeys_.empty(); }

    // Unwraps a key wrapped with a class key; false for an unknown or locked
    // class, or a key that does not unwrap.
    bool unwrap(std::uint32_t protectionClass, const Bytes& wrapped, Bytes* key) const;

    const std::map<std::uint32_t, ClassKey>& classes() const { return classes_; }

    ~BackupKeybag();
    BackupKeybag() = default;
    BackupKeybag(const BackupKeybag&) = default;
    BackupKeybag& operator=(const BackupKeybag&) = default;
    BackupKeybag(BackupKeybag&&) = default;
    BackupKeybag& operator=(BackupKeybag&&) = default;

private:
    std::uint32_t iter_ = 0;
    std::uint32_t dpic_ = 0;
    Bytes salt_;
    Bytes dpsl_;
    std::map<std::uint32_t, ClassKey> classes_;
    std::map<std::uint32_t, Bytes> classKeys_; // unwrapped, after unlock
};

} // namespace talwen::backup
