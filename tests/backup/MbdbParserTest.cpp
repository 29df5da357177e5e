#include "BackupTestSupport.h"

#include "backup/MbdbParser.h"

#include <gtest/gtest.h>

#include <vector>

namespace talwen::backup {
namespace {

using test::MbdbBuilder;

// Parses from a buffer of exactly the given size, so the sanitizer sees any read
// past the end.
std::vector<MbdbRecord> parseExact(const QByteArray& bytes, int size = -1)
{
    if (size < 0)
        size = bytes.size();
    std::vector<std::uint8_t> exact(bytes.begin(), bytes.begin() + size);
    return MbdbParser::parse(exact.empty() ? nullptr : exact.data(), exact.size());
}

TEST(MbdbParserTest, WrongOrShortHeaderGivesNoRecords)
{
    const QByteArray record = MbdbBuilder().record("HomeDomain", "a").bytes().mid(6);
    const QByteArray headers[] = {
        QByteArray(), QByteArray("mbdb"), QByteArray("mbdb\x05", 5), QByteArray("mbdb\x04\x00", 6),
        QByteArray("mbdb\x05\x01", 6), QByteArray("MBDB\x05\x00", 6), QByteArray("mbdx\x05\x00", 6),
    };
    for (const QByteArray& header : headers) {
        SCOPED_TRACE(header.toHex().toStdString());
        EXPECT_TRUE(parseExact(header + record).empty());
    }
    EXPECT_TRUE(parseExact(QByteArray("mbdb\x05\x00", 6)).empty());
    EXPECT_EQ(parseExact(QByteArray("mbdb\x05\x00", 6) + record).size(), 1u);
}

TEST(MbdbParserTest, ReadsEveryFieldOfARecord)
{
    MbdbBuilder builder;
    builder.field("AppDomain-com.tencent.xin")
        .field("Documents/x")
        .field("../target")
        .field(QByteArray("abc"))
        .field(QByteArray::fromHex("00112233445566778899aabbccddeeff1f203040"))
        .fixed(0xFE, 2)
        .field("name1")
        .field("value1")
        .field("name2")
        .field(QByteArray::fromHex("01ff"))
        .endRecord();
    const auto records = parseExact(builder.bytes());
    ASSERT_EQ(records.size(), 1u);
    const MbdbRecord& r = records[0];
    EXPECT_EQ(r.domain, "AppDomain-com.tencent.xin");
    EXPECT_EQ(r.path, "Documents/x");
    EXPECT_EQ(r.linkTarget, "../target");
    EXPECT_EQ(r.dataHash, "abc");
    EXPECT_EQ(r.encryptionKey, "00112233445566778899AABBCCDDEEFF1F203040");
    EXPECT_EQ(r.statText, "0001 02030405 06070809 0A0B0C0D 0E0F1011 12131415 16171819 1A1B1C1D "
                          "1E1F202122232425 FE 02");
    EXPECT_EQ(r.protectionClass, -2);
    EXPECT_EQ(r.propertyCount, 2);
    const std::vector<std::pair<std::string, std::string>> properties{{"name1", "value1"}, {"name2", "01FF"}};
    EXPECT_EQ(r.properties, properties);
    EXPECT_EQ(r.fileName, "6cab091adbebbf6d14664e39a8e87d23c34813f1");
}

TEST(MbdbParserTest, DataStringTexts)
{
    struct Case {
        QByteArray bytes;
        std::string text;
    };
    const Case cases[] = {
        {"abc", "abc"},
        {QByteArray(" ~\x7f", 3), " ~\x7f"},
        {QByteArray::fromHex("4142431f4142434445464748494a4b4c4d4e4f50"), "4142431F4142434445464748494A4B4C4D4E4F50"},
        {QByteArray::fromHex("41800a"), "41800A"},
        {QByteArray("a\0b", 3), "610062"},
        {QByteArray(), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes.toHex().toStdString());
        EXPECT_EQ(MbdbParser::dataStringText(reinterpret_cast<const std::uint8_t*>(c.bytes.constData()),
                                             std::size_t(c.bytes.size())),
                  c.text);
    }
}

TEST(MbdbParserTest, StringFramingEmptyMarkersAndNulBytes)
{
    MbdbBuilder builder;
    // Domain 0xFFFF (empty, no bytes), path with a NUL, link target of length 0,
    // data hash of length 0.
    builder.raw(QByteArray("\xff\xff", 2))
        .field(QByteArray("Docu\0ments", 10))
        .zeroLengthField()
        .zeroLengthField()
        .field(QByteArray())
        .fixed(1, 0)
        .endRecord()
        .record("HomeDomain", "next");
    const auto records = parseExact(builder.bytes());
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].domain, "");
    EXPECT_EQ(records[0].path, "Docu");
    EXPECT_EQ(records[0].linkTarget, "");
    EXPECT_EQ(records[0].dataHash, "");
    EXPECT_EQ(records[0].fileName, test::mbdbFileName("", "Docu"));
    EXPECT_EQ(records[1].domain, "HomeDomain");
    EXPECT_EQ(records[1].path, "next");
}

TEST(MbdbParserTest, NegativePropertyCountReadsNoProperties)
{
    for (unsigned char count : {0x80, 0xC0, 0xFF}) {
        SCOPED_TRACE(int(count));
        MbdbBuilder builder;
        builder.field("D").field("p").field({}).field({}).field({}).fixed(3, count).endRecord();
        builder.record("D", "q");
        const auto records = parseExact(builder.bytes());
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(records[0].propertyCount, static_cast<signed char>(count));
        EXPECT_TRUE(records[0].properties.empty());
        EXPECT_EQ(records[1].path, "q");
    }
}

TEST(MbdbParserTest, CutAtEveryOffsetKeepsTheRecordsBeforeTheCut)
{
    MbdbBuilder builder;
    builder.record("AppDomain-com.tencent.xin", "Documents/0123456789abcdef0123456789abcdef/DB/MM.sqlite",
                   {{"p1", QByteArray::fromHex("00ff")}, {"p2", "text"}});
    builder.record("HomeDomain", "Library/SMS/sms.db");
    builder.record("AppDomain-com.tencent.xin", "Documents/0123456789abcdef0123456789abcdef/mmsetting.archive",
                   {{"n", "v"}});
    const QByteArray bytes = builder.bytes();
    const auto full = parseExact(bytes);
    ASSERT_EQ(full.size(), 3u);

    for (int cut = 0; cut <= bytes.size(); ++cut) {
        SCOPED_TRACE(cut);
        std::size_t complete = 0;
        for (std::size_t end : builder.recordEnds())
            complete += end <= std::size_t(cut) ? 1 : 0;
        const auto records = parseExact(bytes, cut);
        ASSERT_EQ(records.size(), complete);
        for (std::size_t i = 0; i < records.size(); ++i) {
            EXPECT_EQ(records[i].path, full[i].path);
            EXPECT_EQ(records[i].properties, full[i].properties);
        }
    }
}

TEST(MbdbParserTest, OverlongLengthsStopTheParseWithoutReadingPastTheEnd)
{
    MbdbBuilder builder;
    builder.record("HomeDomain", "kept");
    // A path length of 0xFFFE with only a few bytes behind it, then a property
    // count promising more properties than there are bytes.
    const QByteArray longPath = MbdbBuilder().field("D").raw(QByteArray("\xff\xfe", 2)).raw("short").bytes().mid(6);
    const QByteArray manyProperties =
        MbdbBuilder().field("D").field("p").field({}).field({}).field({}).fixed(0, 0x7F).field("n").bytes().mid(6);
    for (const QByteArray& tail : {longPath, manyProperties}) {
        const auto records = parseExact(builder.bytes() + tail);
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].path, "kept");
    }
}

} // namespace
} // namespace talwen::backup
