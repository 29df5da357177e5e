#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace talwen {
namespace wchat {

// MD5 message digest (RFC 1321). The messenger names a conversation table and its
// media directories after the digest of a user name, written as 32 lower-case
// hexadecimal digits. Incremental: update() any number of times, then finish().
// One object per thread.
class Md5 {
public:
    using Digest = std::array<uint8_t, 16>;

    Md5();

    void update(const void* data, size_t length);
    // Pads, returns the digest and resets the object for a new message.
    Digest finish();

    // Digest of the bytes of `data` as 32 lower-case hexadecimal digits.
    static std::string hexDigest(const std::string& data);
    static std::string hexDigest(const void* data, size_t length);

private:
    void reset();
    void transform(const uint8_t block[64]);

    uint32_t state_[4];
    uint64_t byteCount_;
    uint8_t buffer_[64];
};

}  // namespace wchat
}  // namespace talwen
