#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "common/CommonException.h"
#include "sqlite_recovery/FieldValue.h"
#include "sqlite_recovery/Record.h"

using talwen::common::CommonException;
using talwen::common::ErrorInfo;
using namespace talwen::sqlite;

namespace {

std::string thrownDebugInfo(const std::function<void()>& call, std::string* function = nullptr) {
    try {
        call();
    } catch (const CommonException& e) {
        EXPECT_EQ(-1, e.getCode());
        EXPECT_EQ("", e.getMessage());
        if (function) *function = e.getFunctionName();
        return e.getDebugInfo();
    }
    return "<no exception>";
}

}  // namespace

TEST(FieldValue, TypedGettersCheckTheSerialType) {
    const FieldValue null(3, 0, "a");
    const FieldValue one(3, 1, "b", 9, 40, 0, int64_t(5));
    const FieldValue zero(3, 1, "b", 8, 40, 0, int64_t(5));
    const FieldValue real(3, 2, "c", 7, 40, 8, 2.5);
    const FieldValue text(3, 3, "d", 19, 48, 3, std::string("xyz"));
    ByteArray bytes(new uint8_t[2]{0x01, 0xFE});
    const FieldValue blob(3, 4, "e", 16, 51, 2, bytes, 2);

    EXPECT_TRUE(one.isInteger());
    EXPECT_EQ(1, one.getIntegerValue()) << "serial type 9 is the constant 1";
    EXPECT_EQ(0, zero.getIntegerValue()) << "serial type 8 is the constant 0";
    EXPECT_EQ(0u, one.getValueBytes());
    EXPECT_EQ(2.5, real.getRealValue());
    EXPECT_EQ("xyz", text.getTextValue());
    uint32_t length = 0;
    EXPECT_EQ(bytes, blob.getBlobValue(length));
    EXPECT_EQ(2u, length);
    EXPECT_TRUE(null.isNull());
    EXPECT_EQ(3u, null.getPageNumber());

    std::string function;
    EXPECT_EQ("FieldValue: fieldType[0] not TEXT!", thrownDebugInfo([&] { null.getTextValue(); }, &function));
    EXPECT_EQ("getTextValue", function);
    EXPECT_EQ("FieldValue: fieldType[7] not INTEGER!", thrownDebugInfo([&] { real.getIntegerValue(); }, &function));
    EXPECT_EQ("getIntegerValue", function);
    EXPECT_EQ("FieldValue: fieldType[9] not REAL!", thrownDebugInfo([&] { one.getRealValue(); }));
    EXPECT_EQ("FieldValue: fieldType[19] not BLOB!", thrownDebugInfo([&] { text.getBlobValue(length); }));
    EXPECT_EQ("FieldValue: fieldType[0] not BLOB!", thrownDebugInfo([&] { null.getBlobLength(); }));
}

TEST(FieldValue, ParseFieldValueAtThePageEnd) {
    // valueOffset == pageLength leaves 0 bytes: fine for types that occupy none.
    std::vector<uint8_t> page(16, 0x42);
    for (int64_t type : {int64_t(0), int64_t(8), int64_t(9), int64_t(12), int64_t(13)}) {
        ErrorInfo error;
        uint32_t consumed = 0;
        auto value = FieldValue::parseFieldValue(7, page.data(), 16, 16, 2, "col", type, consumed, &error);
        ASSERT_TRUE(value) << type << ": " << error.getMessage();
        EXPECT_TRUE(error.isSuccess());
        EXPECT_EQ(type, value->getFieldType());
        EXPECT_EQ(0u, value->getValueBytes());
        EXPECT_EQ(7u, value->getPageNumber());
        EXPECT_EQ(2u, value->getFieldIndex());
        EXPECT_EQ("col", value->getFieldName());
    }
    struct Shortage {
        int64_t type;
        const char* message;
        const char* function;
    };
    const Shortage shortages[] = {
        {1, "INTEGER required valueBytes[1] overflow to buffLength[0]!", "parseIntegerValue"},
        {7, "REAL required valueBytes[8] overflow to buffLength[0]!", "parseRealValue"},
        {15, "TEXT required valueBytes[1] overflow to buffLength[0]!", "parseTextValue"},
        {14, "BLOB required valueBytes[1] overflow to buffLength[0]!", "parseBlobValue"},
    };
    for (const auto& s : shortages) {
        ErrorInfo error;
        uint32_t consumed = 0;
        EXPECT_FALSE(FieldValue::parseFieldValue(7, page.data(), 16, 16, 2, "col", s.type, consumed, &error));
        EXPECT_EQ(-2, error.getCode());
        EXPECT_EQ(s.message, error.getMessage());
        EXPECT_EQ(s.function, error.getFunctionName()) << "the decoder's failure is passed up";
    }
}

TEST(FieldValue, ParseFieldValueFailures) {
    std::vector<uint8_t> page(16, 0);
    ErrorInfo error;
    uint32_t consumed = 0;
    EXPECT_FALSE(FieldValue::parseFieldValue(1, page.data(), 17, 16, 0, "a", 0, consumed, &error));
    EXPECT_EQ(-2, error.getCode());
    EXPECT_EQ("valueOffset[17] overflow to pageLength[16]!", error.getMessage());
    EXPECT_EQ("parseFieldValue", error.getFunctionName());
    EXPECT_EQ("sqlite_recovery/FieldValue", error.getFileName());
    for (int64_t type : {int64_t(10), int64_t(11), int64_t(-3)}) {
        EXPECT_FALSE(FieldValue::parseFieldValue(1, page.data(), 0, 16, 0, "a", type, consumed, &error));
        EXPECT_EQ(-1, error.getCode());
        EXPECT_EQ("Unknown FieldType[" + std::to_string(type) + "]!", error.getMessage());
    }
}

TEST(FieldValue, ParseFieldValueDecodesEachClassAndNeverReadsPastThePage) {
    // A page whose last value is cut at every length: only the full length decodes.
    const std::vector<uint8_t> values = {0x00, 0x00, 0x01, 0x00,             // int 256 (type 4)
                                         0x3F, 0xF0, 0, 0, 0, 0, 0, 0,       // real 1.0
                                         'h', 'i',                           // text (type 17)
                                         0xCA, 0xFE, 0x00};                  // blob (type 18)
    struct Field {
        int64_t type;
        uint32_t offset;
        uint32_t size;
    };
    const Field fields[] = {{4, 0, 4}, {7, 4, 8}, {17, 12, 2}, {18, 14, 3}};
    for (const auto& f : fields) {
        for (uint32_t end = f.offset; end <= f.offset + f.size; ++end) {
            std::unique_ptr<uint8_t[]> page(new uint8_t[end == 0 ? 1 : end]);
            std::memcpy(page.get(), values.data(), end);
            ErrorInfo error;
            uint32_t consumed = 0;
            auto value = FieldValue::parseFieldValue(1, page.get(), f.offset, end, 0, "v", f.type,
                                                     consumed, &error);
            const bool whole = end == f.offset + f.size;
            ASSERT_EQ(whole, value != nullptr) << f.type << " end " << end;
            if (!whole) continue;
            EXPECT_EQ(f.size, consumed);
            EXPECT_EQ(f.size, value->getValueBytes());
            EXPECT_EQ(f.offset, value->getValueOffset());
            if (f.type == 4) {
                EXPECT_EQ(256, value->getIntegerValue());
            } else if (f.type == 7) {
                EXPECT_EQ(1.0, value->getRealValue());
            } else if (f.type == 17) {
                EXPECT_EQ("hi", value->getTextValue());
            } else {
                uint32_t length = 0;
                const ByteArray& blob = value->getBlobValue(length);
                ASSERT_EQ(3u, length);
                EXPECT_EQ(0, std::memcmp(blob.get(), values.data() + 14, 3));
            }
        }
    }
}

TEST(Record, IndexesAndNamesFirstValueWins) {
    Record record;
    auto id = std::make_shared<FieldValue>(1, 0, "MesLocalID");
    auto late = std::make_shared<FieldValue>(1, 5, "Message");
    auto early = std::make_shared<FieldValue>(1, 2, "CreateTime");
    auto sameIndex = std::make_shared<FieldValue>(1, 2, "Other");
    auto sameName = std::make_shared<FieldValue>(1, 7, "MESSAGE");
    for (const auto& v : {id, late, early, sameIndex, sameName}) record.addFieldValue(v);

    EXPECT_EQ((std::vector<uint32_t>{0, 2, 5, 7}), record.getFieldIndexes());
    EXPECT_EQ(early, record.getFieldValue(2u)) << "the first value under an index wins";
    EXPECT_EQ(sameName, record.getFieldValue(7u)) << "a name clash still enters byIndex";
    EXPECT_EQ(late, record.getFieldValue("message")) << "lookup ignores ASCII case";
    EXPECT_EQ(late, record.getFieldValue("MESSAGE")) << "the first value under a name wins";
    EXPECT_EQ(sameIndex, record.getFieldValue("other")) << "an index clash still enters byName";
    EXPECT_EQ(id, record.getFieldValue("mEsLoCaLiD"));
    EXPECT_FALSE(record.getFieldValue(3u));
    EXPECT_FALSE(record.getFieldValue("Messag"));
    EXPECT_EQ(4u, record.getFieldCount());

    Record copy = record;
    record.clear();
    EXPECT_TRUE(record.isEmpty());
    EXPECT_FALSE(record.getFieldValue("message"));
    EXPECT_EQ(late, copy.getFieldValue("message")) << "copies share the values";
    EXPECT_EQ(4u, copy.getFieldCount());

    record.addFieldValue(sameIndex);
    EXPECT_EQ(sameIndex, record.getFieldValue(2u)) << "a cleared record is refilled from scratch";
}
