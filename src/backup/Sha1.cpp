#include "backup/Sha1.h"

#include <algorithm>
#include <cstring>

namespace talwen::backup {

namespace {

inline std::uint32_t rotl(std::uint32_t value, int bits)
{
    return (value << bits) | (value >> (32 - bits));
}

} // namespace

Sha1::Sha1()
{
    reset();
}

void Sha1::reset()
{
    state_ = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
    bufferUsed_ = 0;
    totalBytes_ = 0;
}

void Sha1::processBlock(const std::uint8_t* block)
{
    std::uint32_t w[80];
    for (int t = 0; t < 16; ++t) {
        w[t] = (std::uint32_t(block[4 * t]) << 24) | (std::uint32_t(block[4 * t + 1]) << 16) |
               (std::uint32_t(block[4 * t + 2]) << 8) | std::uint32_t(block[4 * t + 3]);
    }
    for (int t = 16; t < 80; ++t)
        w[t] = rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);

    std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3], e = state_[4];
    for (int t = 0; t < 80; ++t) {
        std::uint32_t f, k;
        if (t < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999u;
        } else if (t < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1u;
        } else if (t < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDCu;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6u;
        }
        const std::uint32_t temp = rotl(a, 5) + f + e + k + w[t];
        e = d;
        d = c;
        c = rotl(b, 30);
        b = a;
        a = temp;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
    state_[4] += e;
}

void Sha1::update(const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    totalBytes_ += size;
    while (size > 0) {
        if (bufferUsed_ == 0 && size >= 64) {
            processBlock(bytes);
            bytes += 64;
            size -= 64;
            continue;
        }
        const std::size_t take = std::min(size, buffer_.size() - bufferUsed_);
        std::memcpy(buffer_.data() + bufferUsed_, bytes, take);
        bufferUsed_ += take;
        bytes += take;
        size -= take;
        if (bufferUsed_ == buffer_.size()) {
            processBlock(buffer_.data());
            bufferUsed_ = 0;
        }
    }
}

Sha1::Digest Sha1::digest()
{
    // Padding: one 0x80 byte, zeros up to 56 mod 64, then the bit length big-endian.
    const std::uint64_t bitLength = totalBytes_ * 8;
    buffer_[bufferUsed_++] = 0x80;
    if (bufferUsed_ > 56) {
        std::memset(buffer_.data() + bufferUsed_, 0, buffer_.size() - bufferUsed_);
        processBlock(buffer_.data());
        bufferUsed_ = 0;
    }
    std::memset(buffer_.data() + bufferUsed_, 0, 56 - bufferUsed_);
    for (int i = 0; i < 8; ++i)
        buffer_[56 + i] = std::uint8_t(bitLength >> (56 - 8 * i));
    processBlock(buffer_.data());

    Digest out{};
    for (int i = 0; i < 5; ++i) {
        out[4 * i] = std::uint8_t(state_[i] >> 24);
        out[4 * i + 1] = std::uint8_t(state_[i] >> 16);
        out[4 * i + 2] = std::uint8_t(state_[i] >> 8);
        out[4 * i + 3] = std::uint8_t(state_[i]);
    }
    reset();
    return out;
}

std::string Sha1::toHex(const Digest& digest)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(40);
    for (std::uint8_t byte : digest) {
        hex.push_back(digits[byte >> 4]);
        hex.push_back(digits[byte & 0x0F]);
    }
    return hex;
}

std::string Sha1::hexDigest(const void* data, std::size_t size)
{
    Sha1 sha;
    sha.update(data, size);
    return toHex(sha.digest());
}

std::string Sha1::hexDigest(const std::string& text)
{
    return hexDigest(text.data(), text.size());
}

} // namespace talwen::backup
