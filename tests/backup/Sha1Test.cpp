#include "backup/Sha1.h"

#include <gtest/gtest.h>

#include <string>

namespace talwen::backup {
namespace {

struct Vector {
    std::string message;
    const char* digest;
};

// FIPS 180 examples plus messages whose padding falls at and around a block end.
const Vector kVectors[] = {
    {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
    {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrs"
     "mnopqrstnopqrstu",
     "a49b2446a02c645bf419f995b67091253a04a259"},
    {std::string(55, 'a'), "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
    {std::string(56, 'a'), "c2db330f6083854c99d4b5bfb6e8f29f201be699"},
    {std::string(63, 'a'), "03f09f5b158a7a8cdad920bddc29b81c18a551f5"},
    {std::string(64, 'a'), "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
    {std::string(65, 'a'), "11655326c708d70319be2610e8a57d9a5b959d3b"},
    {std::string(119, 'a'), "ee971065aaa017e0632a8ca6c77bb3bf8b1dfc56"},
    {std::string(120, 'a'), "f34c1488385346a55709ba056ddd08280dd4c6d6"},
    {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    // The backup name of AppDomain-com.tencent.xin / Documents/x (37 bytes).
    {"AppDomain-com.tencent.xin-Documents/x", "6cab091adbebbf6d14664e39a8e87d23c34813f1"},
};

TEST(Sha1Test, KnownDigestsWholeAndInPieces)
{
    for (const Vector& v : kVectors) {
        SCOPED_TRACE(v.message.size());
        EXPECT_EQ(Sha1::hexDigest(v.message), v.digest);

        // Fed in uneven pieces through one reused object.
        Sha1 sha;
        sha.update("junk", 4);
        (void)sha.digest();
        const std::size_t pieces[] = {1, 63, 2, 64, 7};
        std::size_t offset = 0, i = 0;
        while (offset < v.message.size()) {
            const std::size_t take = std::min(pieces[i++ % 5], v.message.size() - offset);
            sha.update(v.message.data() + offset, take);
            offset += take;
        }
        EXPECT_EQ(Sha1::toHex(sha.digest()), v.digest);
    }
}

} // namespace
} // namespace talwen::backup
