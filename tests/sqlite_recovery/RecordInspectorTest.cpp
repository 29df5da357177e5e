#include <random>

#include <gtest/gtest.h>

#include "EngineTestSupport.h"
#include "SeekTestSupport.h"
#include "sqlite_recovery/RecordInspector.h"
#include "sqlite_recovery/SqliteFacility.h"
#include "sqlite_recovery/Table.h"

using namespace talwen::sqlite;
using talwen::common::ErrorInfo;

namespace {

constexpr int32_t N = FieldTypeInfo::kNullable;
constexpr int32_t MIN = FieldTypeInfo::kMinSet;
constexpr int32_t MAX = FieldTypeInfo::kMaxSet;

const char kMasterSql[] =
    "CREATE TABLE sqlite_master(type text not null, name text not null primary key, "
    "tbl_name text, rootpage integer not null, sql text);";

// The inspection exactly as the record format rules read: all varints first,
// then the prefix checks and every serial type.
bool literalInspect(const RecordInspector& inspector, const uint8_t* page, uint32_t offset,
                    std::vector<int64_t>& varints, uint32_t& headerBytes, ErrorInfo* error) {
    const uint32_t pageLength = inspector.getPageLength();
    const int64_t varintNum = inspector.getVarintNum();
    const auto& infos = inspector.getTypeInfos();
    const int64_t skipped = inspector.getSkippedHead();
    const int64_t omitted = inspector.getOmittedTail();
    if (offset >= pageLength) {
        error->set(-2, "Page offset[" + std::to_string(offset) + "] overflow to pageLength[" + std::to_string(pageLength) + "]!",
                   "sqlite_recovery/RecordInspector", "inspect", 0);
        return false;
    }
    if (varintNum <= 0) {
        error->set(-1, "FieldNum[" + std::to_string(infos.size()) + "] + 3 <= skippedHead[" + std::to_string(skipped) +
                           "] + omittedTail[" + std::to_string(omitted) + "]!",
                   "sqlite_recovery/RecordInspector", "inspect", 0);
        return false;
    }
    varints = parseVarints(page + offset, pageLength - offset, uint32_t(varintNum), headerBytes, error);
    if (!error->isSuccess()) {
        error->set(-2, "", "sqlite_recovery/RecordInspector", "inspect", 0);
        return false;
    }
    if (int64_t(varints.size()) < varintNum) return false;
    if (skipped < 3) {
        if (skipped == 0 && varints[0] <= 0) return false;
        if (skipped + varintNum > 2 && varints[size_t(2 - skipped)] != int64_t(infos.size()) + 1) return false;
    }
    for (int64_t i = std::max<int64_t>(0, skipped - 3); i < int64_t(infos.size()) - omitted; ++i) {
        if (!infos[size_t(i)].matches(varints[size_t(i + 3 - skipped)])) return false;
    }
    return true;
}

// Every offset of every page, and a few beyond the usable end, through both.
// withTail: through the inspect a page scan uses, which knows the page's tail.
void compareOverPages(const RecordInspector& inspector, const std::vector<uint8_t>& bytes, uint32_t pageSize,
                      size_t& matches, bool withTail = false) {
    std::vector<int64_t> fast;
    std::vector<int64_t> literal;
    ErrorInfo fastError;
    ErrorInfo literalError;
    RecordInspector::PageTail tail;
    for (size_t start = 0; start + pageSize <= bytes.size(); start += pageSize) {
        const uint8_t* page = bytes.data() + start;
        tail.reset(page);
        for (uint32_t offset = 0; offset < inspector.getPageLength() + 2; ++offset) {
            uint32_t fastBytes = 0, literalBytes = 0;
            const bool a = withTail ? inspector.inspect(page, offset, fast, fastBytes, &fastError, tail)
                                    : inspector.inspect(page, offset, fast, fastBytes, &fastError);
            const bool b = literalInspect(inspector, page, offset, literal, literalBytes, &literalError);
            ASSERT_EQ(b, a) << "page at " << start << " offset " << offset;
            ASSERT_EQ(literalError.getCode(), fastError.getCode()) << "offset " << offset;
            ASSERT_EQ(literalError.getMessage(), fastError.getMessage());
            // Past the page end neither reads varints: what the vectors hold is
            // left from the offset before, where a scan's refusal may stop early.
            const bool pastEnd = withTail && offset >= inspector.getPageLength();
            if ((b || !literalError.isSuccess()) && !pastEnd) {
                ASSERT_EQ(literal, fast) << "offset " << offset;
                ASSERT_EQ(literalBytes, fastBytes);
            } else if (!pastEnd) {
                // A rejection may stop at the varint that decided it: a prefix of
                // the literal sequence, with the bytes of exactly that prefix.
                ASSERT_LE(fast.size(), literal.size());
                ASSERT_TRUE(std::equal(fast.begin(), fast.end(), literal.begin())) << "offset " << offset;
                uint32_t prefixBytes = 0;
                ErrorInfo e;
                parseVarints(page + offset, inspector.getPageLength() - offset, uint32_t(fast.size()), prefixBytes, &e);
                ASSERT_EQ(prefixBytes, fastBytes);
            }
            // An offset the scan passes over must be one that inspect refuses without failure.
            if (offset < inspector.getPageLength() && inspector.nextCandidateOffset(page, offset) != offset) {
                ASSERT_FALSE(b) << "skipped offset " << offset;
                ASSERT_TRUE(literalError.isSuccess()) << "skipped offset " << offset;
            }
            matches += a ? 1 : 0;
        }
    }
}

}  // namespace

TEST(RecordInspector, CreateDerivesTypeInfosFromTheTable) {
    struct Case {
        const char* sql;
        uint16_t skippedHead;
        int16_t varintNum;
        std::vector<FieldTypeInfo> infos;
    };
    const std::vector<Case> cases = {
        {kMasterSql, 3, 5, {{3, 0, 0, 0}, {3, 0, 0, 0}, {3, N, 0, 0}, {1, 0, 0, 0}, {3, N, 0, 0}}},
        {"CREATE TABLE t(id INTEGER PRIMARY KEY, a1 TEXT, a2 TEXT, a3 REAL, a4 BLOB, a5 NUMERIC, a6 INT, a7 TEXT, a8 TEXT, a9 TEXT)",
         4, 9,
         {{1, N | MIN | MAX, 0, 0}, {3, N, 0, 0}, {3, N, 0, 0}, {2, N, 0, 0}, {4, N, 0, 0}, {6, N, 0, 0}, {1, N, 0, 0},
          {3, N, 0, 0}, {3, N, 0, 0}, {3, N, 0, 0}}},
        {"CREATE TABLE u(a TEXT, b INTEGER, id INTEGER PRIMARY KEY, c REAL NOT NULL)", 3, 4,
         {{3, N, 0, 0}, {1, N, 0, 0}, {1, N | MIN | MAX, 0, 0}, {2, 0, 0, 0}}},
        // No row id: two key columns, a TEXT key.
        {"CREATE TABLE v(a INTEGER PRIMARY KEY, b INTEGER PRIMARY KEY)", 3, 2, {{1, N, 0, 0}, {1, N, 0, 0}}},
        {"CREATE TABLE w(a TEXT PRIMARY KEY, b INTEGER)", 3, 2, {{3, N, 0, 0}, {1, N, 0, 0}}},
        // A NOT NULL row-id column first: skipped, but not in the row-id form.
        {"CREATE TABLE x(a INTEGER PRIMARY KEY NOT NULL, b TEXT)", 4, 1, {{1, MIN | MAX, 0, 0}, {3, N, 0, 0}}},
        {"CREATE TABLE y()", 3, -1, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sql);
        const Table table = Table::parse(c.sql);
        const auto inspector = RecordInspector::create(&table, 4096);
        EXPECT_EQ(c.skippedHead, inspector->getSkippedHead());
        EXPECT_EQ(0, inspector->getOmittedTail());
        EXPECT_EQ(c.varintNum, inspector->getVarintNum());
        ASSERT_EQ(c.infos.size(), inspector->getTypeInfos().size());
        for (size_t i = 0; i < c.infos.size(); ++i) {
            const FieldTypeInfo& got = inspector->getTypeInfos()[i];
            EXPECT_EQ(c.infos[i].typeAffinity, got.typeAffinity) << i;
            EXPECT_EQ(c.infos[i].flags, got.flags) << i;
            EXPECT_EQ(0, got.min);
            EXPECT_EQ(0, got.max);
        }
    }
}

TEST(FieldTypeInfo, MatchesSerialTypesByAffinityNullabilityAndBounds) {
    struct Case {
        FieldTypeInfo info;
        std::vector<int64_t> accepted;
        std::vector<int64_t> rejected;
    };
    const std::vector<Case> cases = {
        {{1, 0, 0, 0}, {1, 2, 3, 4, 5, 6, 8, 9}, {0, 7, 10, 11, 12, 13, -1}},
        {{1, N, 0, 0}, {0, 1, 9}, {7, 10, 13}},
        {{2, 0, 0, 0}, {7}, {0, 1, 6, 8, 12, 13}},
        {{3, 0, 0, 0}, {13, 15, 1001}, {0, 12, 14, 11, 1}},
        {{3, N, 0, 0}, {0, 13}, {12}},
        {{4, 0, 0, 0}, {12, 14, 1000}, {0, 13, 10}},
        {{6, 0, 0, 0}, {1, 5, 7, 8, 9}, {0, 10, 12, 13}},
        {{6, N, 0, 0}, {0, 7}, {10}},
        {{5, N, 0, 0}, {0}, {1, 7, 12, 13}},
        {{1, N | MIN | MAX, 0, 0}, {0}, {1, 8, 9}},
        {{1, MIN | MAX, 0, 0}, {}, {0, 1}},
        {{1, MIN, 4, 0}, {4, 5, 9}, {1, 3}},
        {{1, MAX, 0, 2}, {1, 2}, {3, 8}},
        {{3, MIN | MAX, 15, 21}, {15, 21}, {13, 23}},
    };
    for (size_t k = 0; k < cases.size(); ++k) {
        for (int64_t s : cases[k].accepted) EXPECT_TRUE(cases[k].info.matches(s)) << "case " << k << " type " << s;
        for (int64_t s : cases[k].rejected) EXPECT_FALSE(cases[k].info.matches(s)) << "case " << k << " type " << s;
    }
}

// The ends of a page and configurations without anything to read.
TEST(RecordInspector, InspectFailuresAtThePageEnd) {
    const Table master = Table::parse(kMasterSql);
    const auto inspector = RecordInspector::create(&master, 100);
    std::vector<uint8_t> page(128, 0);
    std::vector<int64_t> varints{99};
    uint32_t headerBytes = 0;
    ErrorInfo error;

    EXPECT_FALSE(inspector->inspect(page.data(), 100, varints, headerBytes, &error));
    EXPECT_EQ(-2, error.getCode());
    EXPECT_EQ("Page offset[100] overflow to pageLength[100]!", error.getMessage());
    EXPECT_EQ("inspect", error.getFunctionName());
    EXPECT_EQ("sqlite_recovery/RecordInspector", error.getFileName());

    page[99] = 0x7F;
    EXPECT_FALSE(inspector->inspect(page.data(), 99, varints, headerBytes, &error));
    EXPECT_TRUE(error.isSuccess());
    EXPECT_EQ(std::vector<int64_t>{0x7F}, varints);
    EXPECT_EQ(1u, headerBytes);

    page[99] = 0x80;
    EXPECT_FALSE(inspector->inspect(page.data(), 99, varints, headerBytes, &error));
    EXPECT_EQ(-2, error.getCode());
    EXPECT_EQ("", error.getMessage());
    EXPECT_EQ("inspect", error.getFunctionName());

    // A serial type mismatch early on does not hide a varint running past the end.
    page[95] = 0x01;
    page[96] = page[97] = page[98] = 0x13;
    EXPECT_FALSE(inspector->inspect(page.data(), 95, varints, headerBytes, &error));
    EXPECT_EQ(-2, error.getCode());

    const Table empty = Table::parse("CREATE TABLE e()");
    const auto none = RecordInspector::create(&empty, 100);
    EXPECT_FALSE(none->inspect(page.data(), 8, varints, headerBytes, &error));
    EXPECT_EQ(-1, error.getCode());
    EXPECT_EQ("FieldNum[0] + 3 <= skippedHead[3] + omittedTail[0]!", error.getMessage());
}

// A visible cell prefix: payload length > 0 and a header length of one byte per column.
TEST(RecordInspector, ChecksTheVisibleCellPrefix) {
    const Table table = Table::parse("CREATE TABLE t(a integer not null, b text not null)");
    RecordInspector inspector(&table, 512, 0, 0);
    inspector.addFieldTypeInfo({1, 0, 0, 0});
    EXPECT_EQ(4, inspector.getVarintNum());
    inspector.addFieldTypeInfo({3, 0, 0, 0});
    EXPECT_EQ(5, inspector.getVarintNum());
    struct Case {
        std::vector<uint8_t> bytes;
        bool ok;
    };
    const std::vector<Case> cases = {
        {{0x06, 0x05, 0x03, 0x01, 0x0F}, true},
        {{0x00, 0x05, 0x03, 0x01, 0x0F}, false},  // payload length 0
        {{0x06, 0x05, 0x04, 0x01, 0x0F}, false},  // header length not 3
        {{0x06, 0x05, 0x03, 0x00, 0x0F}, false},  // NULL in a NOT NULL column
        {{0x81, 0x00, 0x85, 0x01, 0x03, 0x01, 0x0F}, true},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> page(512, 0);
        std::copy(c.bytes.begin(), c.bytes.end(), page.begin() + 30);
        std::vector<int64_t> varints;
        uint32_t headerBytes = 0;
        ErrorInfo error;
        EXPECT_EQ(c.ok, inspector.inspect(page.data(), 30, varints, headerBytes, &error));
        if (c.ok) {
            EXPECT_EQ(c.bytes.size(), headerBytes);
        }
    }
}

TEST(RecordInspector, InspectFieldValuesDecodesOrFails) {
    const Table table = Table::parse("CREATE TABLE t(id INTEGER PRIMARY KEY, a TEXT, b INTEGER)");
    const auto inspector = RecordInspector::create(&table, 64);
    std::vector<uint8_t> page(64, 0);
    // Serial types of a and b at 20: text of 3 bytes, 2-byte integer; values follow.
    const uint8_t bytes[] = {0x13, 0x02, 'a', 'b', 'c', 0x01, 0x00};
    std::copy(bytes, bytes + sizeof bytes, page.begin() + 20);
    std::vector<int64_t> varints;
    uint32_t headerBytes = 0, recordBytes = 0;
    ErrorInfo error;
    ASSERT_TRUE(inspector->inspect(page.data(), 20, varints, headerBytes, &error));
    auto record = std::make_shared<Record>();
    ASSERT_TRUE(inspector->inspectFieldValues(9, page.data(), varints, 20, headerBytes, record, recordBytes, &error));
    EXPECT_EQ(5u, recordBytes);
    EXPECT_EQ((std::vector<std::string>{"-", "T:abc", "I:256"}), seektest::renderRecord(*record, 3));
    EXPECT_EQ(22u, record->getFieldValue(1)->getValueOffset());
    EXPECT_EQ(25u, record->getFieldValue("B")->getValueOffset());
    EXPECT_EQ(9u, record->getFieldValue(2)->getPageNumber());

    // The last value ends past the usable page end.
    varints = {0x13, 0x02};
    EXPECT_FALSE(inspector->inspectFieldValues(9, page.data(), varints, 58, 2, record, recordBytes, &error));
    EXPECT_EQ(-2, error.getCode());
    EXPECT_EQ("INTEGER required valueBytes[2] overflow to buffLength[1]!", error.getMessage());
    EXPECT_EQ(1u, record->getFieldCount());
    varints = {0x21, 0x01};
    EXPECT_FALSE(inspector->inspectFieldValues(9, page.data(), varints, 63, 2, record, recordBytes, &error));
    EXPECT_EQ("valueOffset[65] overflow to pageLength[64]!", error.getMessage());
    EXPECT_EQ(0u, record->getFieldCount());

    // Configurations whose values have no known start.
    RecordInspector tail(&table, 64, 3, 1);
    for (int i = 0; i < 3; ++i) tail.addFieldTypeInfo({3, N, 0, 0});
    EXPECT_FALSE(tail.inspectFieldValues(1, page.data(), varints, 20, 2, record, recordBytes, &error));
    EXPECT_EQ("For NON-ZEROED omittedTail, cannot determine start of record data!", error.getMessage());
    const Table notNullKey = Table::parse("CREATE TABLE x(a INTEGER PRIMARY KEY NOT NULL, b TEXT)");
    const auto keyed = RecordInspector::create(&notNullKey, 64);
    EXPECT_FALSE(keyed->inspectFieldValues(1, page.data(), varints, 20, 2, record, recordBytes, &error));
    EXPECT_EQ(-1, error.getCode());
    EXPECT_EQ("cannot determine start of record data!", error.getMessage());
    EXPECT_EQ("inspectFieldValues", error.getFunctionName());
}

// The early exit of inspect and the offsets a scan passes over, against the literal reading, over real pages with
// live, deleted and stale rows and over random bytes, for every configuration.
TEST(RecordInspector, SameResultsAsTheLiteralInspection) {
    enginetest::TempDir dir;
    const std::string path = dir.file("chat.sqlite");
    seektest::writeMessageFixture(path, dir.file("before.sqlite"), 300);
    const std::vector<uint8_t> real = seektest::readFileBytes(path);

    std::mt19937 random(20240601);
    std::vector<uint8_t> noise(16 * 1024);
    for (size_t i = 0; i < noise.size(); ++i) {
        // Half the pages uniform, half mostly small values and continuation bytes.
        const bool small = (i / 1024) % 2 == 1;
        const uint32_t r = random();
        noise[i] = small ? uint8_t((r % 4 == 0) ? 0x80 | (r >> 8) : (r >> 8) % 24) : uint8_t(r);
    }

    const std::vector<std::string> tables = {
        seektest::messageTableSql(), kMasterSql,
        "CREATE TABLE t(id INTEGER PRIMARY KEY, a TEXT, b INTEGER, c REAL)",
        "CREATE TABLE n(a NUMERIC, b BLOB not null, c INTEGER)"};
    for (const auto& sql : tables) {
        SCOPED_TRACE(sql);
        const Table table = Table::parse(sql);
        for (uint32_t pageLength : {1024u, 1000u}) {
            size_t matches = 0;
            const auto inspector = RecordInspector::create(&table, pageLength);
            compareOverPages(*inspector, real, 1024, matches);
            compareOverPages(*inspector, noise, 1024, matches);
            if (sql == seektest::messageTableSql()) {
                EXPECT_GT(matches, 300u);
            }
        }
        // Visible cell prefixes.
        for (uint16_t skipped : {0, 1, 2}) {
            RecordInspector inspector(&table, 1024, skipped, 0);
            for (const auto& field : table.getFields()) inspector.addFieldTypeInfo({field.getTypeAffinity(), N, 0, 0});
            size_t matches = 0;
            compareOverPages(inspector, real, 1024, matches);
            compareOverPages(inspector, noise, 1024, matches);
        }
    }
}

// A record reused across candidates (as the seek does, with all-NULL candidates of
// zero runs left in place) must read exactly like a record decoded afresh, also
// when a consumer changed the reused record in between.
TEST(RecordInspector, ReusedRecordReadsLikeAFreshDecode) {
    enginetest::TempDir dir;
    const std::string path = dir.file("chat.sqlite");
    seektest::writeMessageFixture(path, dir.file("before.sqlite"), 200);
    std::vector<uint8_t> bytes = seektest::readFileBytes(path);
    // A zero run with real rows around it, as freed space looks.
    const size_t pageSize = 1024;
    bytes.resize(bytes.size() + pageSize, 0);
    std::copy(bytes.begin() + pageSize, bytes.begin() + pageSize + 300, bytes.end() - 300);

    const std::vector<std::string> tables = {seektest::messageTableSql(),
                                             "CREATE TABLE t(id INTEGER PRIMARY KEY, a TEXT, b INTEGER, c REAL)",
                                             "CREATE TABLE d(a TEXT, A TEXT, b INTEGER)"};
    for (const auto& sql : tables) {
        SCOPED_TRACE(sql);
        const Table table = Table::parse(sql);
        const auto inspector = RecordInspector::create(&table, pageSize);
        size_t shortcuts = 0;
        for (size_t first = 0; first + pageSize <= bytes.size(); first += pageSize) {
            const uint8_t* page = bytes.data() + first;
            const uint32_t pageNumber = uint32_t(first / pageSize) + 1;
            auto reused = std::make_shared<Record>();
            std::vector<int64_t> varints;
            for (uint32_t offset = 8; offset < pageSize; ++offset) {
                ErrorInfo error;
                uint32_t headerBytes = 0;
                if (!inspector->inspect(page, offset, varints, headerBytes, &error)) continue;
                const bool wasAllNull = reused->getFieldCount() > 0 && reused->getFieldValues().back()->isNull();
                ErrorInfo reusedError, freshError;
                uint32_t reusedBytes = 7, freshBytes = 7;
                auto fresh = std::make_shared<Record>();
                const bool reusedOk = inspector->inspectFieldValues(pageNumber, page, varints, offset, headerBytes,
                                                                    reused, reusedBytes, &reusedError);
                const bool freshOk = inspector->inspectFieldValues(pageNumber, page, varints, offset, headerBytes,
                                                                   fresh, freshBytes, &freshError);
                ASSERT_EQ(freshOk, reusedOk) << offset;
                EXPECT_EQ(freshError.getCode(), reusedError.getCode());
                EXPECT_EQ(freshError.getMessage(), reusedError.getMessage());
                EXPECT_EQ(freshBytes, reusedBytes);
                EXPECT_EQ(seektest::renderRecord(*fresh, table.getFieldCount()),
                          seektest::renderRecord(*reused, table.getFieldCount()));
                EXPECT_EQ(fresh->getFieldIndexes(), reused->getFieldIndexes());
                for (const auto& field : table.getFields()) {
                    const auto a = fresh->getFieldValue(field.getFieldName());
                    const auto b = reused->getFieldValue(field.getFieldName());
                    ASSERT_EQ(a == nullptr, b == nullptr);
                    if (a) {
                        EXPECT_EQ(a->getFieldIndex(), b->getFieldIndex());
                    }
                }
                if (wasAllNull && reusedOk) ++shortcuts;
                // Consumers may change the record they are handed.
                if (offset % 7 == 0) reused->clear();
                if (offset % 11 == 0 && fresh->getFieldCount() > 0) {
                    reused->addFieldValue(std::make_shared<FieldValue>(pageNumber, 99, "extra"));
                }
            }
        }
        if (sql == seektest::messageTableSql()) {
            EXPECT_GT(shortcuts, 100u);
        }
    }
}

// The scan's inspect decides wide tables without reading every varint at every
// offset; its outcome must be the literal one, table by table and byte by byte.
TEST(RecordInspector, BoundedInspectionSameAsTheLiteralOne) {
    enginetest::TempDir dir;
    const std::string path = dir.file("chat.sqlite");
    seektest::writeMessageFixture(path, dir.file("before.sqlite"), 120);
    const std::vector<uint8_t> real = seektest::readFileBytes(path);
    std::mt19937 random(7);
    std::vector<uint8_t> noise(8 * 1024);
    for (size_t i = 0; i < noise.size(); ++i) {
        const uint32_t r = random();
        noise[i] = (i / 1024) % 2 == 1 ? uint8_t((r % 3 == 0) ? 0x80 | (r >> 8) : (r >> 8) % 16) : uint8_t(r);
    }
    auto wide = [](int columns) {
        std::string sql = "CREATE TABLE w(";
        for (int i = 0; i < columns; ++i) {
            sql += (i ? ", c" : "c") + std::to_string(i) + (i % 3 == 0 ? " INTEGER" : i % 3 == 1 ? " TEXT" : " NUMERIC");
        }
        return sql + ")";
    };
    for (const std::string& sql : {std::string(seektest::messageTableSql()), std::string(kMasterSql), wide(60),
                                   wide(300), wide(1000)}) {
        SCOPED_TRACE(sql.substr(0, 60));
        const Table table = Table::parse(sql);
        for (uint32_t pageLength : {1024u, 1000u}) {
            size_t matches = 0;
            const auto inspector = RecordInspector::create(&table, pageLength);
            compareOverPages(*inspector, real, 1024, matches, true);
            compareOverPages(*inspector, noise, 1024, matches, true);
        }
    }
}
