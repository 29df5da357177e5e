#include "backup/BackupCrypto.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <algorithm>
#include <limits>
#include <memory>

namespace talwen::backup {

namespace {

struct MacFree {
    void operator()(EVP_MAC* mac) const { EVP_MAC_free(mac); }
};
struct MacCtxFree {
    void operator()(EVP_MAC_CTX* ctx) const { EVP_MAC_CTX_free(ctx); }
};
struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

const char* digestName(BackupCrypto::Digest digest)
{
    return digest == BackupCrypto::Digest::Sha1 ? "SHA1" : "SHA256";
}

// HMAC takes any key; libcrypto reads "no key" from a null pointer, so an empty
// password still points somewhere.
const unsigned char* keyBytes(const std::string& password)
{
    static const unsigned char kNothing = 0;
    return password.empty() ? &kNothing : reinterpret_cast<const unsigned char*>(password.data());
}

bool cipherFits(std::size_t size)
{
    return size <= std::size_t(std::numeric_limits<int>::max());
}

} // namespace

bool BackupCrypto::pbkdf2(Digest digest, const std::string& password, const Bytes& salt, std::uint32_t iterations,
                          std::size_t keyLength, Bytes* key, const Step& step)
{
    if (iterations == 0 || keyLength == 0)
        return false;
    std::unique_ptr<EVP_MAC, MacFree> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
    if (!mac)
        return false;
    std::unique_ptr<EVP_MAC_CTX, MacCtxFree> ctx(EVP_MAC_CTX_new(mac.get()));
    if (!ctx)
        return false;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>(digestName(digest)), 0),
        OSSL_PARAM_construct_end()};
    if (!EVP_MAC_init(ctx.get(), keyBytes(password), password.size(), params))
        return false;
    const std::size_t hashLength = EVP_MAC_CTX_get_mac_size(ctx.get());
    if (hashLength == 0 || hashLength > EVP_MAX_MD_SIZE)
        return false;

    Bytes derived(keyLength);
    unsigned char u[EVP_MAX_MD_SIZE];
    unsigned char t[EVP_MAX_MD_SIZE];
    std::uint64_t done = 0;
    bool ok = true;
    const std::size_t blocks = (keyLength + hashLength - 1) / hashLength;
    for (std::size_t block = 1; ok && block <= blocks; ++block) {
        const unsigned char index[4] = {std::uint8_t(block >> 24), std::uint8_t(block >> 16),
                                        std::uint8_t(block >> 8), std::uint8_t(block)};
        std::size_t length = 0;
        // U1 = HMAC(P, S || INT(i)); Uj = HMAC(P, Uj-1); T = U1 ^ ... ^ Uc.
        ok = EVP_MAC_init(ctx.get(), nullptr, 0, nullptr) && EVP_MAC_update(ctx.get(), salt.data(), salt.size()) &&
             EVP_MAC_update(ctx.get(), index, sizeof index) && EVP_MAC_final(ctx.get(), u, &length, hashLength) &&
             length == hashLength;
        std::copy(u, u + hashLength, t);
        ++done;
        for (std::uint32_t j = 1; ok && j < iterations; ++j) {
            ok = EVP_MAC_init(ctx.get(), nullptr, 0, nullptr) && EVP_MAC_update(ctx.get(), u, hashLength) &&
                 EVP_MAC_final(ctx.get(), u, &length, hashLength);
            for (std::size_t b = 0; b < hashLength; ++b)
                t[b] ^= u[b];
            if (++done % kIterationsPerStep == 0 && step && !step(done))
                ok = false;
        }
        const std::size_t offset = (block - 1) * hashLength;
        const std::size_t take = std::min(hashLength, keyLength - offset);
        std::copy(t, t + take, derived.begin() + std::ptrdiff_t(offset));
    }
    wipe(u, sizeof u);
    wipe(t, sizeof t);
    if (!ok) {
        wipe(&derived);
        return false;
    }
    if (step)
        step(done);
    *key = std::move(derived);
    return true;
}

bool BackupCrypto::pbkdf2Reference(Digest digest, const std::string& password, const Bytes& salt,
                                   std::uint32_t iterations, std::size_t keyLength, Bytes* key)
{
    if (iterations == 0 || keyLength == 0 || iterations > std::uint32_t(std::numeric_limits<int>::max()) ||
        !cipherFits(password.size()) || !cipherFits(salt.size()) || !cipherFits(keyLength))
        return false;
    Bytes derived(keyLength);
    const EVP_MD* md = digest == Digest::Sha1 ? EVP_sha1() : EVP_sha256();
    if (PKCS5_PBKDF2_HMAC(password.data(), int(password.size()), salt.data(), int(salt.size()), int(iterations), md,
                          int(keyLength), derived.data()) != 1)
        return false;
    *key = std::move(derived);
    return true;
}

bool BackupCrypto::unwrapKey(const Bytes& kek, const Bytes& wrapped, Bytes* key)
{
    if (kek.size() != kKeySize || wrapped.size() != kWrappedKeySize)
        return false;
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    if (!ctx)
        return false;
    EVP_CIPHER_CTX_set_flags(ctx.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    Bytes plain(kWrappedKeySize);
    int length = 0;
    // A wrong key-encryption key fails the integrity check (the IV A6A6...).
    const bool ok = EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_wrap(), nullptr, kek.data(), nullptr) == 1 &&
                    EVP_DecryptUpdate(ctx.get(), plain.data(), &length, wrapped.data(), int(wrapped.size())) > 0 &&
                    length == int(kKeySize);
    if (!ok) {
        wipe(&plain);
        return false;
    }
    plain.resize(kKeySize);
    *key = std::move(plain);
    return true;
}

bool BackupCrypto::wrapKey(const Bytes& kek, const Bytes& key, Bytes* wrapped)
{
    if (kek.size() != kKeySize || key.size() != kKeySize)
        return false;
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    if (!ctx)
        return false;
    EVP_CIPHER_CTX_set_flags(ctx.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    Bytes out(kWrappedKeySize + kBlockSize);
    int length = 0;
    if (EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_wrap(), nullptr, kek.data(), nullptr) != 1 ||
        EVP_EncryptUpdate(ctx.get(), out.data(), &length, key.data(), int(key.size())) <= 0 ||
        length != int(kWrappedKeySize))
        return false;
    out.resize(kWrappedKeySize);
    *wrapped = std::move(out);
    return true;
}

void BackupCrypto::wipe(void* data, std::size_t size)
{
    if (data != nullptr && size > 0)
        OPENSSL_cleanse(data, size);
}

CbcDecryptor::CbcDecryptor(const Bytes& key)
{
    if (key.size() != BackupCrypto::kKeySize)
        return;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (!ctx)
        return;
    const unsigned char iv[BackupCrypto::kBlockSize] = {};
    if (EVP_DecryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key.data(), iv) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx, 0) != 1) {
        EVP_CIPHER_CTX_free(ctx);
        return;
    }
    ctx_ = ctx;
}

CbcDecryptor::~CbcDecryptor()
{
    EVP_CIPHER_CTX_free(static_cast<EVP_CIPHER_CTX*>(ctx_));
}

bool CbcDecryptor::update(const std::uint8_t* in, std::size_t size, std::uint8_t* out)
{
    if (!ctx_ || size % BackupCrypto::kBlockSize != 0 || !cipherFits(size))
        return false;
    if (size == 0)
        return true;
    int length = 0;
    return EVP_DecryptUpdate(static_cast<EVP_CIPHER_CTX*>(ctx_), out, &length, in, int(size)) == 1 &&
           length == int(size);
}

} // namespace talwen::backup
