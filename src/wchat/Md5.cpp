#include "wchat/Md5.h"

#include <cstring>

#include "common/CommonFacility.h"

namespace talwen {
namespace wchat {

namespace {

// Per-round shift amounts and the sine-derived constants T[i] = floor(2^32 * |sin(i + 1)|).
constexpr uint32_t kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

inline uint32_t rotateLeft(uint32_t value, uint32_t count) {
    return (value << count) | (value >> (32 - count));
}

}  // namespace

Md5::Md5() {
    reset();
}

void Md5::reset() {
    state_[0] = 0x67452301;
    state_[1] = 0xefcdab89;
    state_[2] = 0x98badcfe;
    state_[3] = 0x10325476;
    byteCount_ = 0;
    std::memset(buffer_, 0, sizeof(buffer_));
}

void Md5::transform(const uint8_t block[64]) {
    // The message words are little-endian regardless of the host.
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) {
        x[i] = static_cast<uint32_t>(block[i * 4]) |
               (static_cast<uint32_t>(block[i * 4 + 1]) << 8) |
               (static_cast<uint32_t>(block[i * 4 + 2]) << 16) |
               (static_cast<uint32_t>(block[i * 4 + 3]) << 24);
    }
    uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    for (int i = 0; i < 64; ++i) {
        uint32_t f;
        int g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (d & b) | (~d & c);
            g = (5 * i + 1) % 16;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
        }
        const uint32_t next = b + rotateLeft(a + f + kSine[i] + x[g], kShift[i]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
}

void Md5::update(const void* data, size_t length) {
    if (length == 0) return;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    size_t used = static_cast<size_t>(byteCount_ % 64);
    byteCount_ += length;
    if (used > 0) {
        const size_t take = length < 64 - used ? length : 64 - used;
        std::memcpy(buffer_ + used, bytes, take);
        bytes += take;
        length -= take;
        used += take;
        if (used < 64) return;
        transform(buffer_);
    }
    while (length >= 64) {
        transform(bytes);
        bytes += 64;
        length -= 64;
    }
    if (length > 0) std::memcpy(buffer_, bytes, length);
}

Md5::Digest Md5::finish() {
    // Message length in bits modulo 2^64, appended little-endian after the padding.
    const uint64_t bitCount = byteCount_ * 8;
    uint8_t lengthBytes[8];
    for (int i = 0; i < 8; ++i) lengthBytes[i] = static_cast<uint8_t>(bitCount >> (8 * i));

    static const uint8_t kPadding[64] = {0x80};
    const size_t used = static_cast<size_t>(byteCount_ % 64);
    const size_t padLength = used < 56 ? 56 - used : 120 - used;
    update(kPadding, padLength);
    update(lengthBytes, 8);

    Digest digest;
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) digest[i * 4 + j] = static_cast<uint8_t>(state_[i] >> (8 * j));
    }
    reset();
    return digest;
}

std::string Md5::hexDigest(const void* data, size_t length) {
    Md5 md5;
    md5.update(data, length);
    const Digest digest = md5.finish();
    return common::toHexString(digest.data(), digest.size());
}

std::string Md5::hexDigest(const std::string& data) {
    return hexDigest(data.data(), data.size());
}

}  // namespace wchat
}  // namespace talwen
