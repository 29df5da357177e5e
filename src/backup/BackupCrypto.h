#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace talwen::backup {

using Bytes = std::vector<std::uint8_t>;

// The few primitives of encrypted backups, all done by OpenSSL's libcrypto:
// PBKDF2, AES key unwrap (RFC 3394) and AES-256-CBC with a zero IV. Pure
// functions, thread-safe.
class BackupCrypto {
public:
    enum class Digest { Sha1, Sha256 };

    static constexpr std::size_t kKeySize = 32;       // AES-256
    static constexpr std::size_t kWrappedKeySize = 40; // a 32-byte key wrapped (RFC 3394)
    static constexpr std::size_t kBlockSize = 16;

    // Called now and then during a derivation with the iterations done; false stops it.
    using Step = std::function<bool(std::uint64_t done)>;

    // PBKDF2-HMAC (RFC 8018) computed a slice of iterations at a time, so that a
    // derivation of millions of iterations can show progress and be stopped: each
    // iteration is one HMAC of libcrypto. Same result as pbkdf2Reference. False
    // when stopped or when libcrypto fails.
    static bool pbkdf2(Digest digest, const std::string& password, const Bytes& salt, std::uint32_t iterations,
                       std::size_t keyLength, Bytes* key, const Step& step = nullptr);
    // libcrypto's PKCS5_PBKDF2_HMAC in one call; the check of pbkdf2.
    static bool pbkdf2Reference(Digest digest, const std::string& password, const Bytes& salt,
                                std::uint32_t iterations, std::size_t keyLength, Bytes* key);

    // The key wrapped with kek (both AES-256, RFC 3394 with the default IV);
    // false when the integrity check fails, i.e. kek is not the wrapping key.
    static bool unwrapKey(const Bytes& kek, const Bytes& wrapped, Bytes* key);
    // The opposite, for tests and fixtures.
    static bool wrapKey(const Bytes& kek, const Bytes& key, Bytes* wrapped);

    // Iterations done between two Step calls of pbkdf2.
    static constexpr std::uint32_t kIterationsPerStep = 65536;

    // Fills memory that held a secret with zeros in a way the compiler keeps.
    static void wipe(void* data, std::size_t size);
    static void wipe(std::string* text) { wipe(text->data(), text->size()); }
    static void wipe(Bytes* bytes) { wipe(bytes->data(), bytes->size()); }
};

// AES-256-CBC decryption with a zero IV and no padding removal, fed piece by
// piece: backup files can be far larger than memory allows to hold at once.
class CbcDecryptor {
public:
    explicit CbcDecryptor(const Bytes& key);
    ~CbcDecryptor();
    CbcDecryptor(const CbcDecryptor&) = delete;
    CbcDecryptor& operator=(const CbcDecryptor&) = delete;

    bool valid() const { return ctx_ != nullptr; }
    // Decrypts `size` bytes (a multiple of the block size) to `out`, which must
    // hold as many.
    bool update(const std::uint8_t* in, std::size_t size, std::uint8_t* out);

private:
    void* ctx_ = nullptr;
};

} // namespace talwen::backup
