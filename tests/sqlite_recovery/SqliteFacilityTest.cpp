#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "sqlite_recovery/SqliteFacility.h"

using talwen::common::ErrorInfo;
using namespace talwen::sqlite;

namespace {

// Copies the bytes to a heap block of exactly their size, so that a read past the
// end is caught by AddressSanitizer.
std::unique_ptr<uint8_t[]> exactCopy(const std::vector<uint8_t>& bytes) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size() + (bytes.empty() ? 1 : 0)]);
    if (!bytes.empty()) std::memcpy(copy.get(), bytes.data(), bytes.size());
    return copy;
}

struct VarintCase {
    std::vector<uint8_t> bytes;
    int64_t value;
    uint32_t consumed;
};

}  // namespace

TEST(SqliteFacility, ParseVarintDecodesEveryLength) {
    const std::vector<VarintCase> cases = {
        {{0x00}, 0, 1},
        {{0x7F}, 127, 1},
        {{0x81, 0x00}, 128, 2},
        {{0xFF, 0x7F}, 0x3FFF, 2},
        {{0x81, 0x80, 0x00}, 0x4000, 3},
        {{0x87, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, (int64_t(1) << 52) - 1, 8},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, -1, 9},
        // The 9th byte counts whole, even with its high bit clear or set.
        {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, 1, 9},
        {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x81, 0x80}, 0x180, 9},
        // Trailing bytes after the end of the varint are not consumed.
        {{0x05, 0xFF, 0xFF}, 5, 1},
    };
    for (const auto& c : cases) {
        auto bytes = exactCopy(c.bytes);
        ErrorInfo error;
        error.set(-1, "stale", "x", "y", 1);
        uint32_t consumed = 0;
        const int64_t value = parseVarint(bytes.get(), uint32_t(c.bytes.size()), consumed, &error);
        EXPECT_TRUE(error.isSuccess()) << error.getMessage();
        EXPECT_EQ(c.value, value);
        EXPECT_EQ(c.consumed, consumed);
    }
}

TEST(SqliteFacility, ParseVarintCutAtEveryLengthFailsWithoutOverRead) {
    const std::vector<uint8_t> full = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    for (size_t cut = 0; cut < full.size(); ++cut) {
        std::vector<uint8_t> part(full.begin(), full.begin() + cut);
        auto bytes = exactCopy(part);
        ErrorInfo error;
        uint32_t consumed = 77;
        parseVarint(bytes.get(), uint32_t(cut), consumed, &error);
        EXPECT_EQ(-2, error.getCode()) << "cut " << cut;
        EXPECT_EQ("parse varint overflow!", error.getMessage());
        EXPECT_EQ("parseVarint", error.getFunctionName());
        EXPECT_EQ("sqlite_recovery/SqliteFacility", error.getFileName());
        EXPECT_EQ(77u, consumed) << "consumed must not be written on failure";
    }
}

TEST(SqliteFacility, ParseVarintsStopsAtBoundaryOrFirstFailure) {
    ErrorInfo error;
    uint32_t consumed = 0;

    const uint8_t twoValues[] = {0x01, 0x02};
    auto values = parseVarints(twoValues, 2, 5, consumed, &error);
    EXPECT_TRUE(error.isSuccess());
    EXPECT_EQ((std::vector<int64_t>{1, 2}), values);
    EXPECT_EQ(2u, consumed);

    const uint8_t broken[] = {0x01, 0x81};
    values = parseVarints(broken, 2, 5, consumed, &error);
    EXPECT_EQ(-2, error.getCode());
    EXPECT_EQ("parse varint overflow!", error.getMessage());
    EXPECT_EQ((std::vector<int64_t>{1}), values);
    EXPECT_EQ(1u, consumed);

    const uint8_t many[] = {0x01, 0x81, 0x00, 0x03, 0x04};
    values = parseVarints(many, 5, 2, consumed, &error);
    EXPECT_TRUE(error.isSuccess());
    EXPECT_EQ((std::vector<int64_t>{1, 128}), values);
    EXPECT_EQ(3u, consumed);

    values = parseVarints(many, 0, 2, consumed, &error);
    EXPECT_TRUE(error.isSuccess());
    EXPECT_TRUE(values.empty());
    EXPECT_EQ(0u, consumed);
}

TEST(SqliteFacility, ParseVarintsIntoReusedVectorReplacesItsContent) {
    std::vector<int64_t> varints;
    varints.reserve(16);
    const int64_t* storage = varints.data();
    ErrorInfo error;
    uint32_t consumed = 0;
    const uint8_t first[] = {0x07, 0x08, 0x09};
    parseVarints(first, 3, 16, varints, consumed, &error);
    EXPECT_EQ((std::vector<int64_t>{7, 8, 9}), varints);
    const uint8_t second[] = {0x81, 0x01};
    parseVarints(second, 2, 16, varints, consumed, &error);
    EXPECT_TRUE(error.isSuccess());
    EXPECT_EQ((std::vector<int64_t>{129}), varints);
    EXPECT_EQ(2u, consumed);
    EXPECT_EQ(storage, varints.data()) << "a reused vector keeps its storage";
}

TEST(SqliteFacility, SerialTypeClasses) {
    struct Case {
        int64_t type;
        bool null, integer, real, text, blob;
    };
    const Case cases[] = {
        {0, true, false, false, false, false},  {1, false, true, false, false, false},
        {6, false, true, false, false, false},  {7, false, false, true, false, false},
        {8, false, true, false, false, false},  {9, false, true, false, false, false},
        {10, false, false, false, false, false}, {11, false, false, false, false, false},
        {12, false, false, false, false, true}, {13, false, false, false, true, false},
        {100, false, false, false, false, true}, {101, false, false, false, true, false},
        {-1, false, false, false, false, false}, {-13, false, false, false, false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.null, isNull(c.type)) << c.type;
        EXPECT_EQ(c.integer, isInteger(c.type)) << c.type;
        EXPECT_EQ(c.real, isReal(c.type)) << c.type;
        EXPECT_EQ(c.text, isText(c.type)) << c.type;
        EXPECT_EQ(c.blob, isBlob(c.type)) << c.type;
    }
}

TEST(SqliteFacility, ParseIntegerValueWidthsAndSigns) {
    struct Case {
        int64_t type;
        std::vector<uint8_t> bytes;
        int64_t value;
        uint32_t consumed;
    };
    const std::vector<Case> cases = {
        {1, {0xFF}, -1, 1},
        {1, {0x7F}, 127, 1},
        {2, {0x80, 0x00}, -32768, 2},
        {3, {0x01, 0x00, 0x00}, 65536, 3},
        {3, {0xFF, 0xFF, 0xFE}, -2, 3},
        {4, {0x7F, 0xFF, 0xFF, 0xFF}, 2147483647, 4},
        {5, {0x00, 0x00, 0x00, 0x00, 0x01, 0x00}, 256, 6},
        {5, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, -1, 6},
        {6, {0x80, 0, 0, 0, 0, 0, 0, 0}, INT64_MIN, 8},
        {6, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}, 0x0102030405060708, 8},
        {0, {}, 0, 0},
        {8, {}, 0, 0},
        {9, {}, 1, 0},
    };
    for (const auto& c : cases) {
        auto bytes = exactCopy(c.bytes);
        ErrorInfo error;
        uint32_t consumed = 99;
        EXPECT_EQ(c.value, parseIntegerValue(bytes.get(), uint32_t(c.bytes.size()), c.type,
                                             consumed, &error))
            << "type " << c.type;
        EXPECT_TRUE(error.isSuccess());
        EXPECT_EQ(c.consumed, consumed);
    }
}

TEST(SqliteFacility, ParseIntegerValueShortageAndWrongClass) {
    const uint8_t bytes[] = {0, 0, 1};
    ErrorInfo error;
    uint32_t consumed = 0;
    EXPECT_EQ(0, parseIntegerValue(bytes, 3, 4, consumed, &error));
    EXPECT_EQ(-2, error.getCode());
    EXPECT_EQ("INTEGER required valueBytes[4] overflow to buffLength[3]!", error.getMessage());
    EXPECT_EQ("parseIntegerValue", error.getFunctionName());
    EXPECT_EQ(4u, consumed);

    for (int64_t type : {int64_t(7), int64_t(10), int64_t(11), int64_t(12), int64_t(-5)}) {
        consumed = 55;
        EXPECT_EQ(0, parseIntegerValue(bytes, 3, type, consumed, &error));
        EXPECT_EQ(-1, error.getCode());
        EXPECT_EQ("FieldType[" + std::to_string(type) + "] not INTEGER!", error.getMessage());
        EXPECT_EQ(55u, consumed);
    }
}

TEST(SqliteFacility, ValuesCutAtEveryLengthNeverOverRead) {
    // Each serial type with a value of its full size, then the same bytes cut at
    // every shorter length: success only at full length, shortage code -2 below.
    struct Case {
        int64_t type;
        uint32_t size;
    };
    const Case cases[] = {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 6}, {6, 8}, {7, 8}, {23, 5}, {22, 5}};
    for (const auto& c : cases) {
        for (uint32_t cut = 0; cut <= c.size; ++cut) {
            std::vector<uint8_t> part(cut, 0xAB);
            auto bytes = exactCopy(part);
            ErrorInfo error;
            uint32_t consumed = 0;
            if (isInteger(c.type)) {
                parseIntegerValue(bytes.get(), cut, c.type, consumed, &error);
            } else if (isReal(c.type)) {
                parseRealValue(bytes.get(), cut, consumed, &error);
            } else if (isText(c.type)) {
                std::string text = parseTextValue(bytes.get(), cut, c.type, consumed, &error);
                if (error.isSuccess()) {
                    EXPECT_EQ(std::string(c.size, '\xAB'), text);
                }
            } else {
                ByteArray blob = parseBlobValue(bytes.get(), cut, c.type, consumed, &error);
                EXPECT_EQ(error.isSuccess(), blob != nullptr);
            }
            EXPECT_EQ(cut == c.size, error.isSuccess()) << "type " << c.type << " cut " << cut;
            if (cut < c.size) {
                EXPECT_EQ(-2, error.getCode());
            }
        }
    }
}

TEST(SqliteFacility, ParseRealValue) {
    const uint8_t bytes[] = {0x40, 0x09, 0x21, 0xFB, 0x54, 0x44, 0x2D, 0x18};
    ErrorInfo error;
    uint32_t consumed = 0;
    EXPECT_DOUBLE_EQ(3.141592653589793, parseRealValue(bytes, 8, consumed, &error));
    EXPECT_TRUE(error.isSuccess());
    EXPECT_EQ(8u, consumed);

    consumed = 3;
    EXPECT_EQ(0.0, parseRealValue(bytes, 7, consumed, &error));
    EXPECT_EQ(-2, error.getCode());
    EXPECT_EQ("REAL required valueBytes[8] overflow to buffLength[7]!", error.getMessage());
    EXPECT_EQ("parseRealValue", error.getFunctionName());
    EXPECT_EQ(3u, consumed);
}

TEST(SqliteFacility, ParseTextAndBlobValues) {
    const uint8_t bytes[] = {'a', 'b', 0x00, 'c'};
    ErrorInfo error;
    uint32_t consumed = 0;

    EXPECT_EQ(std::string("ab\0c", 4), parseTextValue(bytes, 4, 13 + 2 * 4, consumed, &error));
    EXPECT_TRUE(error.isSuccess());
    EXPECT_EQ(4u, consumed);

    EXPECT_EQ("", parseTextValue(bytes, 0, 13, consumed, &error));
    EXPECT_TRUE(error.isSuccess());
    EXPECT_EQ(0u, consumed);

    EXPECT_EQ("", parseTextValue(bytes, 4, 13 + 2 * 5, consumed, &error));
    EXPECT_EQ(-2, error.getCode());
    EXPECT_EQ("TEXT required valueBytes[5] overflow to buffLength[4]!", error.getMessage());
    EXPECT_EQ("parseTextValue", error.getFunctionName());
    EXPECT_EQ(5u, consumed);

    EXPECT_EQ("", parseTextValue(bytes, 4, 12, consumed, &error));
    EXPECT_EQ(-1, error.getCode());
    EXPECT_EQ("FieldType[12] not TEXT!", error.getMessage());

    ByteArray blob = parseBlobValue(bytes, 4, 12 + 2 * 3, consumed, &error);
    ASSERT_TRUE(blob);
    EXPECT_TRUE(error.isSuccess());
    EXPECT_EQ(3u, consumed);
    EXPECT_EQ(0, std::memcmp(bytes, blob.get(), 3));
    EXPECT_NE(bytes, blob.get()) << "a blob is a copy";

    blob = parseBlobValue(bytes, 0, 12, consumed, &error);
    EXPECT_TRUE(blob) << "the empty blob is a new array";
    EXPECT_TRUE(error.isSuccess());
    EXPECT_EQ(0u, consumed);

    blob = parseBlobValue(bytes, 4, 12 + 2 * 9, consumed, &error);
    EXPECT_FALSE(blob);
    EXPECT_EQ("BLOB required valueBytes[9] overflow to buffLength[4]!", error.getMessage());
    EXPECT_EQ("parseBlobValue", error.getFunctionName());

    blob = parseBlobValue(bytes, 4, 13, consumed, &error);
    EXPECT_FALSE(blob);
    EXPECT_EQ("FieldType[13] not BLOB!", error.getMessage());
}

TEST(SqliteFacility, HugeSerialTypeSaturatesInsteadOfWrapping) {
    // (2^33 + 13 - 13) / 2 = 2^32 would wrap to a 0-byte text in 32 bits and pass as
    // valid; garbage must never decode as a short value.
    const uint8_t bytes[] = {'x'};
    ErrorInfo error;
    uint32_t consumed = 0;
    parseTextValue(bytes, 1, (int64_t(1) << 33) + 13, consumed, &error);
    EXPECT_EQ(-2, error.getCode());
    EXPECT_EQ("TEXT required valueBytes[4294967295] overflow to buffLength[1]!", error.getMessage());
    EXPECT_FALSE(parseBlobValue(bytes, 1, (int64_t(1) << 33) + 12, consumed, &error));
    EXPECT_EQ(-2, error.getCode());
    parseTextValue(bytes, 1, INT64_MAX, consumed, &error);
    EXPECT_EQ(-2, error.getCode());
}

TEST(SqliteFacility, ReadBigEndian) {
    const uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0xFF};
    EXPECT_EQ(0x01u, readBigEndian(bytes, 1));
    EXPECT_EQ(0x0102u, readBigEndian(bytes, 2));
    EXPECT_EQ(0x01020304u, readBigEndian(bytes, 4));
    EXPECT_EQ(0x01020304050607FFull, readBigEndian(bytes, 8));
}

// A cell's prefix read backwards from its record header: the row id's varint,
// then a payload length that must match exactly. Bytes before the prefix (the
// previous cell's tail) do not matter; anything else gives 0, never a wrong id.
TEST(SqliteFacility, CellRowIdBeforeReadsTheCellPrefixBackwards) {
    struct Case {
        const char* name;
        std::vector<uint8_t> prefix;  // the bytes right before the record header
        uint64_t payload;
        int64_t rowId;
    };
    const std::vector<Case> cases = {
        {"one-byte varints", {0x1E, 0x05}, 30, 5},
        {"two-byte varints at 128", {0x82, 0x2C, 0x81, 0x00}, 300, 128},
        {"three-byte row id", {0x1E, 0x81, 0x9C, 0x20}, 30, 20000},
        {"garbage with the high bit before the payload", {0xFF, 0xFF, 0x1E, 0x05}, 30, 5},
        {"payload with a zero middle group", {0x81, 0x80, 0x05, 0x07}, 16389, 7},
        {"payload of another length", {0x1E, 0x05}, 31, 0},
        {"free block over the prefix", {0x00, 0x00, 0x01, 0x50}, 76, 0},
        {"row id not in shortest form", {0x1E, 0x80, 0x05}, 30, 0},
        {"row id zero", {0x1E, 0x00}, 30, 0},
        {"row id at the page start", {0x05}, 30, 0},
        {"nine-byte row id", {0x1E, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0x81, 0x01}, 30, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> page = c.prefix;
        page.push_back(0x03);  // the record header's length
        EXPECT_EQ(c.rowId, cellRowIdBefore(page.data(), static_cast<uint32_t>(c.prefix.size()), c.payload));
    }
}
