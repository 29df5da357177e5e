#include <gtest/gtest.h>

#include "EngineTestSupport.h"
#include "SeekTestSupport.h"
#include "sqlite_recovery/CarveOptions.h"
#include "sqlite_recovery/Database.h"
#include "sqlite_recovery/SqliteDatabaseSeeker.h"
#include "sqlite_recovery/SqliteFacility.h"
#include "sqlite_recovery/TableStatement.h"

using namespace talwen::sqlite;
using talwen::common::ErrorInfo;
using enginetest::TempDir;

namespace {

// The rendered values of every record of `table` carved from the file.
std::vector<std::vector<std::string>> carveValues(const std::string& path, const Table& table,
                                                  const CarveOptions& options, bool acceptUtf16 = false) {
    Database database;
    database.setAcceptUtf16(acceptUtf16);
    ErrorInfo error;
    database.open(path, &error);
    EXPECT_TRUE(error.isSuccess()) << error.getMessage();
    seektest::CollectingHandler handler(table.getFieldCount());
    SeekEventHandler* handlers[] = {&handler};
    SqliteDatabaseSeeker seeker(&database, &table, nullptr);
    seeker.setOptions(options);
    seeker.seek(1, nullptr, handlers, &error);
    EXPECT_TRUE(error.isSuccess()) << error.getMessage();
    std::vector<std::vector<std::string>> values;
    for (const auto& record : handler.records) values.push_back(record.values);
    return values;
}

bool contains(const std::vector<std::vector<std::string>>& all, const std::vector<std::string>& row) {
    return std::find(all.begin(), all.end(), row) != all.end();
}

}  // namespace

// SQLite writes 5.0 into a REAL column as the integer 5 (serial type 1) and
// 0.0 as serial type 8. The literal match misses such rows; the option finds
// them, live and deleted, with the values stored.
TEST(CarveOptions, RealColumnsHoldWholeNumbersAsIntegers) {
    TempDir dir;
    const std::string path = dir.file("reals.sqlite");
    const std::string create = "CREATE TABLE m(name TEXT NOT NULL, score REAL, weight FLOAT NOT NULL)";
    enginetest::createSqliteDatabase(
        path, "PRAGMA secure_delete=OFF;" + create +
                  "; INSERT INTO m VALUES ('whole', 5.0, 70.0), ('half', 2.5, 0.25), ('zero', 0.0, -1e10);"
                  " INSERT INTO m(rowid, name, score, weight) VALUES (1000, 'gone', 12.0, 3.0);"
                  " DELETE FROM m WHERE name = 'gone';");
    const Table table = *TableStatement::parse(create).table;

    const auto literal = carveValues(path, table, CarveOptions());
    EXPECT_TRUE(contains(literal, {"T:half", "R:2.500000", "R:0.250000"}));
    EXPECT_FALSE(contains(literal, {"T:whole", "I:5", "I:70"}));

    const auto forensic = carveValues(path, table, CarveOptions::forensic());
    EXPECT_TRUE(contains(forensic, {"T:half", "R:2.500000", "R:0.250000"}));
    EXPECT_TRUE(contains(forensic, {"T:whole", "I:5", "I:70"}));
    EXPECT_TRUE(contains(forensic, {"T:zero", "I:0", "I:-10000000000"}));
    // Deleted: with a two-byte row id the freeblock header takes exactly the
    // cell prefix, and the serial types survive.
    EXPECT_TRUE(contains(forensic, {"T:gone", "I:12", "I:3"}));
}

// UTF-16 databases open only when asked to, and their text is carved as UTF-8.
TEST(CarveOptions, Utf16DatabasesGiveUtf8Text) {
    const std::string text = "\xe4\xbd\xa0\xe5\xa5\xbd ok \xf0\x9d\x84\x9e";  // 你好 ok 𝄞
    for (const auto& encoding : std::vector<std::pair<std::string, int32_t>>{{"UTF-16le", 2}, {"UTF-16be", 3}}) {
        SCOPED_TRACE(encoding.first);
        TempDir dir;
        const std::string path = dir.file("u16.sqlite");
        enginetest::createSqliteDatabase(path, "PRAGMA encoding='" + encoding.first +
                                                   "'; CREATE TABLE t(a TEXT, b INTEGER); INSERT INTO t VALUES ('" +
                                                   text + "', 42);");
        Database refusing;
        ErrorInfo error;
        refusing.open(path, &error);
        EXPECT_EQ("SqliteDB: The database text encoding[" + std::to_string(encoding.second) + "] not supported!",
                  error.getMessage());

        Database accepting;
        accepting.setAcceptUtf16(true);
        accepting.open(path, &error);
        ASSERT_TRUE(error.isSuccess()) << error.getMessage();
        EXPECT_EQ(encoding.second, accepting.getTextEncoding());

        const Table table = *TableStatement::parse("CREATE TABLE t(a TEXT, b INTEGER)").table;
        const auto values = carveValues(path, table, CarveOptions::forensic(encoding.second), true);
        EXPECT_TRUE(contains(values, {"T:" + text, "I:42"}));
    }
}

TEST(CarveOptions, Utf16ConversionReplacesOnlyWhatIsBroken) {
    struct Case {
        std::string utf16le;
        std::string utf8;
    };
    const std::vector<Case> cases = {
        {std::string("A\0", 2), "A"},
        {std::string("\x60\x4f", 2), "\xe4\xbd\xa0"},                                  // U+4F60
        {std::string("\x34\xd8\x1e\xdd", 4), "\xf0\x9d\x84\x9e"},                      // surrogate pair
        {std::string("\x34\xd8" "A\0", 4), "\xef\xbf\xbd" "A"},                        // lone high surrogate
        {std::string("\x1e\xdd", 2), "\xef\xbf\xbd"},                                  // lone low surrogate
        {std::string("A\0B", 3), "A\xef\xbf\xbd"},                                     // odd last byte
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.utf8, utf16ToUtf8(c.utf16le, false));
        std::string bigEndian = c.utf16le;
        for (size_t i = 0; i + 1 < bigEndian.size(); i += 2) std::swap(bigEndian[i], bigEndian[i + 1]);
        EXPECT_EQ(c.utf8, utf16ToUtf8(bigEndian, true));
    }
}
