#include <gtest/gtest.h>

#include <string>

#include "wchat/Md5.h"

using talwen::wchat::Md5;

namespace {

struct Md5Case {
    const char* input;
    const char* digest;
};

// The test suite of RFC 1321, appendix A.5.
const Md5Case kRfc1321Suite[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

}  // namespace

TEST(Md5, Rfc1321TestSuite) {
    for (const Md5Case& c : kRfc1321Suite) {
        EXPECT_EQ(c.digest, Md5::hexDigest(std::string(c.input))) << "input: " << c.input;
    }
}

// Feeding the same bytes in pieces that straddle the 64-byte block boundary and the
// 56-byte padding limit gives the one-shot digest.
TEST(Md5, PiecewiseUpdatesMatchOneShot) {
    std::string data;
    for (int i = 0; i < 300; ++i) data.push_back(static_cast<char>(i * 7 + 3));
    for (size_t length : {55u, 56u, 63u, 64u, 65u, 119u, 120u, 128u, 300u}) {
        const std::string part = data.substr(0, length);
        for (size_t split : {size_t(0), size_t(1), size_t(17), length / 2, length}) {
            Md5 md5;
            md5.update(part.data(), split);
            md5.update(part.data() + split, length - split);
            const Md5::Digest digest = md5.finish();
            std::string hex;
            static const char kHex[] = "0123456789abcdef";
            for (uint8_t b : digest) {
                hex.push_back(kHex[b >> 4]);
                hex.push_back(kHex[b & 0xF]);
            }
            EXPECT_EQ(Md5::hexDigest(part), hex) << "length " << length << " split " << split;
        }
    }
    // A finished object starts a new message.
    Md5 md5;
    md5.update("abc", 3);
    md5.finish();
    md5.update("a", 1);
    EXPECT_EQ(Md5::hexDigest(std::string("a")).substr(0, 2), "0c");
    const Md5::Digest again = md5.finish();
    EXPECT_EQ(0x0c, again[0]);
    EXPECT_EQ(0x61, again[15]);
}
