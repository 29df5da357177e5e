#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace talwen::backup {

// SHA-1 message digest (FIPS 180-4). A backup stores each device file under the
// SHA-1 of its domain and path, so the digest is computed here rather than taken
// from a crypto library. Not thread-safe per object; separate objects are independent.
class Sha1 {
public:
    using Digest = std::array<std::uint8_t, 20>;

    Sha1();

    // Feeds size bytes; may be called any number of times before digest().
    void update(const void* data, std::size_t size);

    // Finishes the computation and returns the 20-byte digest. The object is reset
    // afterwards and can hash a new message.
    Digest digest();

    // The 40 lower-case hexadecimal digits of the digest of one whole message.
    static std::string hexDigest(const void* data, std::size_t size);
    static std::string hexDigest(const std::string& text);

    static std::string toHex(const Digest& digest);

private:
    void reset();
    void processBlock(const std::uint8_t* block);

    std::array<std::uint32_t, 5> state_{};
    std::array<std::uint8_t, 64> buffer_{};
    std::size_t bufferUsed_ = 0;
    std::uint64_t totalBytes_ = 0;
};

} // namespace talwen::backup
