#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "EngineTestSupport.h"
#include "SeekTestSupport.h"
#include "sqlite-carve/SqliteCarve.h"

using namespace talwen::sqlite;
using enginetest::TempDir;

namespace {

struct CarveRun {
    int status;
    std::string out;
    std::string err;
};

CarveRun runCarve(const std::vector<std::string>& arguments) {
    std::ostringstream out, err;
    const int status = runSqliteCarve(arguments, out, err);
    return {status, out.str(), err.str()};
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

}  // namespace

TEST(SqliteCarve, JsonQuoteEscapesAndReplacesIllFormedUtf8) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "\"\""},
        {"plain text", "\"plain text\""},
        {"a\"b\\c/", "\"a\\\"b\\\\c/\""},
        {std::string("\n\t\r\b\f\x01\x1f\x7f", 8), "\"\\n\\t\\r\\b\\f\\u0001\\u001f\x7f\""},
        {std::string("nul\0x", 5), "\"nul\\u0000x\""},
        {"\xe4\xbd\xa0\xe5\xa5\xbd \xf0\x9f\x98\x80 \xc3\xa9", "\"\xe4\xbd\xa0\xe5\xa5\xbd \xf0\x9f\x98\x80 \xc3\xa9\""},
        {"\x80", "\"\\uFFFD\""},                               // lone continuation byte
        {"\xe4\xbd" "A", "\"\\uFFFDA\""},                      // truncated sequence: one replacement
        {"\xe4\xbd", "\"\\uFFFD\""},                           // truncated at the end
        {"\xc0\xaf", "\"\\uFFFD\\uFFFD\""},                    // overlong lead byte
        {"\xed\xa0\x80", "\"\\uFFFD\\uFFFD\\uFFFD\""},         // surrogate
        {"\xf4\x90\x80\x80", "\"\\uFFFD\\uFFFD\\uFFFD\\uFFFD\""},  // above U+10FFFF
        {"\xff" "ok", "\"\\uFFFDok\""},
    };
    for (const auto& c : cases) EXPECT_EQ(c.second, jsonQuote(c.first)) << c.first;
}

TEST(SqliteCarve, JsonRealRoundTripsAndRefusesNonFinite) {
    EXPECT_EQ("1.5", jsonReal(1.5));
    EXPECT_EQ("0.1", jsonReal(0.1));
    EXPECT_EQ("-2.5e-300", jsonReal(-2.5e-300));
    EXPECT_EQ(0.30000000000000004, std::stod(jsonReal(0.1 + 0.2)));
    EXPECT_EQ("null", jsonReal(std::nan("")));
    EXPECT_EQ("null", jsonReal(HUGE_VAL));
}

TEST(SqliteCarve, UnquotesIdentifiersButNotDefaultValues) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"CREATE TABLE \"Chat_ab\"(\"a\" text)", "CREATE TABLE Chat_ab(a text)"},
        {"CREATE TABLE [my table]([a b] integer, `c` blob, 'd' text)", "CREATE TABLE my_table(a_b integer, c blob, d text)"},
        {"CREATE TABLE t(\"x\"\"y\" text, \"\" int)", "CREATE TABLE t(x_y text, _ int)"},
        {"CREATE TABLE t(a text default 'x y', b text DEFAULT \"q\", c int default 0)",
         "CREATE TABLE t(a text default 'x y', b text DEFAULT \"q\", c int default 0)"},
        {"CREATE TABLE t(a text default 'it''s')", "CREATE TABLE t(a text default 'it''s')"},
        {"CREATE TABLE t(\"open", "CREATE TABLE t(\"open"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.second, unquoteIdentifiers(c.first)) << c.first;
    // The result is what the schema parser reads.
    const Table table = Table::parse(unquoteIdentifiers("CREATE TABLE [t 1](\"id\" INTEGER PRIMARY KEY, `v` TEXT DEFAULT 'a b')"));
    EXPECT_EQ(2u, table.getFieldCount());
    EXPECT_EQ(0, table.getRowIdFieldIndex());
}

TEST(SqliteCarve, CommandLineAndInputFailures) {
    TempDir dir;
    const std::string text = dir.file("notes.txt");
    enginetest::writeFile(text, std::vector<uint8_t>(200, 'x'));
    ASSERT_EQ(0, ::mkfifo(dir.file("pipe").c_str(), 0600));
    const std::string db = dir.file("db.sqlite");
    enginetest::createSqliteDatabase(db, "CREATE TABLE t(a text); CREATE TABLE checked(a text CHECK (a > 0)); "
                                         "CREATE TABLE w(a INTEGER PRIMARY KEY, b) WITHOUT ROWID; "
                                         "CREATE VIRTUAL TABLE v USING rtree(id, x0, x1);");
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string err;  // prefix of the one line on stderr; empty: usage
    };
    const std::vector<Case> cases = {
        {{dir.file("missing.sqlite"), "t"}, 1, "sqlite-carve: no such file: " + dir.file("missing.sqlite") + "\n"},
        {{dir.file(""), "t"}, 1, "sqlite-carve: " + dir.file("") + " is a directory, not a database file\n"},
        {{dir.file("pipe"), "t"}, 1, "sqlite-carve: " + dir.file("pipe") + " is a FIFO (named pipe), not a database file\n"},
        {{text, "t"}, 1, "sqlite-carve: not an SQLite database: " + text + " (SqliteDB: magic number invalid!)\n"},
        {{db, "nosuch"}, 1, "sqlite-carve: no table named nosuch in " + db + "\n"},
        {{db, "checked"}, 0, ""},
        {{db, "w"}, 1, "sqlite-carve: w is a WITHOUT ROWID table, stored as an index b-tree, which sqlite-carve does not carve\n"},
        {{db, "v"}, 1, "sqlite-carve: v is a virtual table (module rtree) whose rows the module keeps elsewhere; "
                       "carve its shadow tables: v_node v_parent v_rowid\n"},
        {{db}, 2, ""},
        {{db, "t", "extra"}, 2, ""},
        {{"--threads", "0", db, "t"}, 2, "sqlite-carve: --threads needs a number from 1 to 1024, not [0]\n"},
        {{"--threads", "2x", db, "t"}, 2, "sqlite-carve: --threads needs"},
        {{"--frobnicate", db, "t"}, 2, ""},
        {{db, "T"}, 0, ""},
    };
    for (const auto& c : cases) {
        const CarveRun run = runCarve(c.arguments);
        SCOPED_TRACE(c.arguments.back());
        EXPECT_EQ(c.status, run.status);
        if (c.status == 0) {
            EXPECT_EQ("", run.err);
        } else if (c.err.empty()) {
            EXPECT_EQ(0u, run.err.rfind("usage: sqlite-carve", 0)) << run.err;
        } else {
            EXPECT_EQ(0u, run.err.rfind(c.err, 0)) << run.err;
            EXPECT_EQ(1u, lines(run.err).size());
        }
        if (c.status != 0) {
            EXPECT_EQ("", run.out);
        }
    }
}

// Every live and deleted message of the fixture comes out as its JSON line, at
// its page and offset, in page order; the thread count changes nothing.
TEST(SqliteCarve, CarvesTheMessageFixture) {
    TempDir dir;
    const std::string path = dir.file("chat.sqlite");
    const std::string before = dir.file("before.sqlite");
    const auto rows = seektest::writeMessageFixture(path, before, 200);
    const std::string name = "Chat_0123456789abcdef0123456789abcdef";
    const auto original = seektest::readFileBytes(path);

    std::map<int64_t, std::pair<uint32_t, uint32_t>> live, former;
    auto root = [](const std::string& p, const std::string& n) {
        return uint32_t(std::stoul(seektest::queryColumn(p, "SELECT rootpage FROM sqlite_master WHERE name='" + n + "'").at(0)));
    };
    seektest::collectCellPositions(seektest::readFileBytes(path), 1024, root(path, name), 3, live);
    seektest::collectCellPositions(seektest::readFileBytes(before), 1024, root(before, name), 3, former);

    const CarveRun two = runCarve({path, name});
    const CarveRun one = runCarve({"--threads", "1", path, name});
    ASSERT_EQ(0, two.status) << two.err;
    EXPECT_EQ(two.out, one.out);
    const auto output = lines(two.out);
    for (const auto& row : rows) {
        const bool deleted = seektest::isDeletedRow(row.localId);
        const auto place = deleted ? former.at(row.localId) : live.at(row.localId);
        // A live row is reported live; a deleted one once, wherever its cell now lies.
        const std::vector<std::string> states =
            deleted ? std::vector<std::string>{"freeblock", "unallocated", "freelist"} : std::vector<std::string>{"live"};
        int count = 0;
        std::string line;
        for (const std::string& state : states) {
            line = "{\"page\": " + std::to_string(place.first) + ", \"offset\": " + std::to_string(place.second) +
                   ", \"state\": \"" + state + "\", \"values\": [1, null, " + std::to_string(row.svrId) + ", " +
                   std::to_string(row.createTime) + ", " + jsonQuote(row.message) + ", " + std::to_string(row.status) +
                   ", 2, " + std::to_string(row.type) + ", null]}";
            count += int(std::count(output.begin(), output.end(), line));
        }
        EXPECT_EQ(1, count) << line;
    }
    uint32_t lastPage = 0;
    for (const auto& line : output) {
        const uint32_t page = uint32_t(std::stoul(line.substr(9)));
        EXPECT_LE(lastPage, page);
        lastPage = page;
        EXPECT_EQ(std::string::npos, line.find("[null, null, null, null, null, null, null, null, null]"));
    }
    EXPECT_EQ(original, seektest::readFileBytes(path));  // read only
    EXPECT_FALSE(std::filesystem::exists(path + "-journal"));
}

// Quoted names, a row-id column first (null, not in the record), blobs, reals
// and the schema table itself.
TEST(SqliteCarve, QuotedDefinitionsBlobsAndTheSchemaTable) {
    TempDir dir;
    const std::string path = dir.file("q.sqlite");
    const std::string create = "CREATE TABLE \"my items\"([item id] INTEGER PRIMARY KEY, `label` TEXT DEFAULT 'no label', 'data' BLOB, score REAL)";
    enginetest::createSqliteDatabase(path, create + "; INSERT INTO \"my items\" VALUES (5, 'five', x'00A1ff', 2.25);");
    const CarveRun run = runCarve({path, "MY ITEMS"});
    ASSERT_EQ(0, run.status) << run.err;
    std::map<int64_t, std::pair<uint32_t, uint32_t>> places;
    seektest::collectCellPositions(seektest::readFileBytes(path), 4096, 2, 4, places);
    ASSERT_EQ(1u, places.size());
    const std::string expected = "{\"page\": 2, \"offset\": " + std::to_string(places.at(5).second) +
                                 ", \"state\": \"live\", \"values\": [null, \"five\", \"00a1ff\", 2.25]}";
    const auto output = lines(run.out);
    EXPECT_EQ(1, std::count(output.begin(), output.end(), expected)) << run.out;

    const CarveRun schema = runCarve({path, "sqlite_master"});
    ASSERT_EQ(0, schema.status) << schema.err;
    EXPECT_NE(std::string::npos, schema.out.find("[\"table\", \"my items\", \"my items\", 2, " + jsonQuote(create) + "]"))
        << schema.out;
}
