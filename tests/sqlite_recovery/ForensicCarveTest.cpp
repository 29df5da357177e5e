#include <algorithm>
#include <cstdio>
#include <sstream>

#include <gtest/gtest.h>

#include "EngineTestSupport.h"
#include "SeekTestSupport.h"
#include "sqlite-carve/SqliteCarve.h"
#include "sqlite_recovery/HeaderRebuilder.h"
#include "sqlite_recovery/PageMap.h"
#include "sqlite_recovery/RecordPlacement.h"
#include "sqlite_recovery/RecordInspector.h"
#include "sqlite_recovery/SqliteBlockSeeker.h"
#include "sqlite_recovery/TableStatement.h"

using namespace talwen::sqlite;
using enginetest::TempDir;

namespace {

std::vector<std::string> carveLines(const std::vector<std::string>& arguments) {
    std::ostringstream out, err;
    EXPECT_EQ(0, runSqliteCarve(arguments, out, err)) << err.str();
    std::vector<std::string> lines;
    std::istringstream in(out.str());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The lines that carry `values` (the JSON array's inside).
std::vector<std::string> withValues(const std::vector<std::string>& lines, const std::string& values) {
    std::vector<std::string> found;
    for (const auto& line : lines) {
        if (line.find("\"values\": [" + values + "]") != std::string::npos) found.push_back(line);
    }
    return found;
}

}  // namespace

TEST(HeaderRebuilder, SerialTypeForTheSizeOfTheLostValue) {
    auto column = [](uint8_t affinity, int32_t flags) {
        FieldTypeInfo info;
        info.typeAffinity = affinity;
        info.flags = flags;
        return info;
    };
    const FieldTypeInfo integer = column(1, 0), nullableInteger = column(1, FieldTypeInfo::kNullable);
    const FieldTypeInfo text = column(3, 0), nullableText = column(3, FieldTypeInfo::kNullable);
    const FieldTypeInfo real = column(2, FieldTypeInfo::kIntegerReal), numeric = column(6, 0);
    struct Case {
        FieldTypeInfo column;
        int64_t size;
        int64_t serialType;
    };
    const std::vector<Case> cases = {
        {integer, 1, 1},   {integer, 2, 2},  {integer, 3, 3},        {integer, 4, 4},  {integer, 6, 5},
        {integer, 8, 6},   {integer, 5, -1},
        // No bytes: 0 or 1 (serial types 8, 9), or NULL too; a whole record, that value unknown.
        {integer, 0, HeaderRebuilder::kUnknownEmpty}, {nullableInteger, 0, HeaderRebuilder::kUnknownEmpty},
        {text, 0, 13}, {nullableText, 0, HeaderRebuilder::kUnknownEmpty},  {text, 5, 23},   {real, 8, 7},
        {numeric, 8, -1},  {text, -1, -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.serialType, HeaderRebuilder::serialTypeForSize(c.column, c.size))
            << int(c.column.typeAffinity) << " size " << c.size;
    }
}

// Freed cells whose first serial type the freeblock header covered: one alone
// (its header's size gives the end), two merged (the first ends where the
// second's stale header begins) and one whose first value could be 0 or 1,
// which is rebuilt with that value marked unknown.
TEST(HeaderRebuilder, RecoversCellsFromTheHeaderSizeOrTheNextCell) {
    const Table table = *TableStatement::parse("CREATE TABLE t(id INT NOT NULL, name TEXT, n INT)").table;
    const auto inspector = RecordInspector::create(&table, 512);
    std::vector<uint8_t> page(512, 0);
    // A cell: [4-byte header][types of name and n][id][name][n].
    auto put = [&page](uint32_t at, uint32_t next, uint32_t size, std::vector<uint8_t> rest) {
        page[at] = uint8_t(next >> 8), page[at + 1] = uint8_t(next);
        page[at + 2] = uint8_t(size >> 8), page[at + 3] = uint8_t(size);
        std::copy(rest.begin(), rest.end(), page.begin() + at + 4);
    };
    // At 100, alone: id 20001 (2 bytes), "Ann", n 7 (1 byte): 4 + 2 + 2 + 3 + 1 = 12 bytes.
    put(100, 200, 12, {19, 1, 0x4E, 0x21, 'A', 'n', 'n', 7});
    // At 200 and 212, merged into one freeblock of 24; 212 keeps its stale header of 12.
    put(200, 300, 24, {19, 1, 0x4E, 0x22, 'B', 'o', 'b', 8});
    put(212, 0, 12, {19, 1, 0x4E, 0x23, 'C', 'y', 'd', 9});
    // At 300: the lost id took no bytes (0 or 1), so it is not known.
    put(300, 0, 10, {19, 1, 'D', 'o', 't', 6});

    std::vector<HeaderRebuilder::Rebuilt> rebuilt;
    HeaderRebuilder rebuilder(inspector.get());
    ASSERT_TRUE(rebuilder.applies());
    rebuilder.rebuild(page.data(), 8, {100, 200, 300}, rebuilt);
    ASSERT_EQ(4u, rebuilt.size());
    EXPECT_TRUE(rebuilt[3].firstUnknown);
    EXPECT_EQ((std::vector<int64_t>{0, 19, 1}), rebuilt[3].varints);
    EXPECT_EQ(310u, rebuilt[3].end);
    rebuilt.pop_back();
    const std::vector<std::pair<uint32_t, uint32_t>> places = {{100, 112}, {200, 212}, {212, 224}};
    const std::vector<std::string> names = {"T:Ann", "T:Bob", "T:Cyd"};
    for (size_t i = 0; i < rebuilt.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(places[i].first, rebuilt[i].cellStart);
        EXPECT_EQ(places[i].second, rebuilt[i].end);
        EXPECT_EQ((std::vector<int64_t>{2, 19, 1}), rebuilt[i].varints);
        auto record = std::make_shared<Record>();
        uint32_t recordBytes = 0;
        talwen::common::ErrorInfo error;
        ASSERT_TRUE(inspector->inspectFieldValues(1, page.data(), rebuilt[i].varints, rebuilt[i].offset,
                                                  rebuilt[i].headerBytes, record, recordBytes, &error));
        const auto values = seektest::renderRecord(*record, 3);
        EXPECT_EQ("I:" + std::to_string(20001 + i), values[0]);
        EXPECT_EQ(names[i], values[1]);
        EXPECT_EQ(rebuilt[i].end, rebuilt[i].offset + rebuilt[i].headerBytes + recordBytes);
    }
}

// With small rows (one-byte payload length, row id and header length) a freed
// cell loses its first serial type; sqlite-carve rebuilds it, adjacent freed
// cells included, and marks the records.
TEST(HeaderRebuilder, SqliteCarveFindsSmallDeletedRows) {
    TempDir dir;
    const std::string path = dir.file("small.sqlite");
    std::string sql = "PRAGMA secure_delete=OFF; CREATE TABLE t(a INT NOT NULL, b TEXT, c INT);";
    for (int i = 1; i <= 10; ++i) {
        sql += "INSERT INTO t VALUES (" + std::to_string(30000 + i) + ", 'name " + std::to_string(i) + "', " +
               std::to_string(i * 1000) + ");";
    }
    sql += "DELETE FROM t WHERE a IN (30003, 30004, 30007);";
    enginetest::createSqliteDatabase(path, sql);
    const auto lines = carveLines({path, "t"});
    for (int i : {3, 4, 7}) {
        const auto found = withValues(lines, std::to_string(30000 + i) + ", \"name " + std::to_string(i) + "\", " +
                                                 std::to_string(i * 1000));
        ASSERT_EQ(1u, found.size()) << i;
        EXPECT_NE(std::string::npos, found[0].find("\"header\": \"rebuilt\"")) << found[0];
        EXPECT_EQ(std::string::npos, found[0].find("\"state\": \"live\"")) << found[0];
    }
    for (int i : {1, 2, 5}) {
        const auto found = withValues(lines, std::to_string(30000 + i) + ", \"name " + std::to_string(i) + "\", " +
                                                 std::to_string(i * 1000));
        ASSERT_EQ(1u, found.size()) << i;
        EXPECT_NE(std::string::npos, found[0].find("\"state\": \"live\", \"values\"")) << found[0];
    }
    EXPECT_EQ(10u, lines.size());
}

// A candidate that starts a byte before a real record and overlaps it: the
// plain scan takes it and jumps past the real record's serial types; the
// resolving scan weighs the real one's intact header length and keeps it.
TEST(SqliteBlockSeeker, OverlapResolutionKeepsTheRecordWithItsPrefix) {
    const Table table = *TableStatement::parse("CREATE TABLE t(a INT, b INT)").table;
    std::vector<uint8_t> page(512, 0xFF);
    // Cell at 300: payload 5, row id 1, header length 3, types 1 and 1, values 0x11 0x22.
    const std::vector<uint8_t> cell = {5, 1, 3, 1, 1, 0x11, 0x22};
    std::copy(cell.begin(), cell.end(), page.begin() + 300);
    // Read from 302: types 3 and 1, values 0x01 0x11 0x22 and 0x... : a record too.
    page[307] = 0x33;

    auto scan = [&](const CarveOptions& options) {
        seektest::CollectingHandler handler(2);
        SqliteBlockSeeker seeker(&table, 512, 512, nullptr, options);
        seeker.seek(page.data(), 1, 1, nullptr, &handler);
        return handler.records;
    };
    const seektest::CarvedRecord real{1, 303, {"I:17", "I:34"}};
    const auto plain = scan(CarveOptions());
    EXPECT_FALSE(plain.empty());
    EXPECT_EQ(plain.end(), std::find(plain.begin(), plain.end(), real));
    CarveOptions resolving;
    resolving.resolveOverlaps = true;
    EXPECT_EQ(std::vector<seektest::CarvedRecord>{real}, scan(resolving));
}

// A deleted row whose text spilled into an overflow page comes back whole
// while that page lies untouched on the freelist (a leaf of a trunk that was
// there before), and as its local part marked truncated when the page became
// the freelist's trunk and lost bytes to its list; a live row with a chain
// comes whole through it.
TEST(OverflowAssembler, SqliteCarveFollowsOrCutsTheChain) {
    const std::string longText = [] {
        std::string text;
        for (int i = 0; text.size() < 6000; ++i) text += "word" + std::to_string(i) + " ";
        return text;
    }();
    for (bool trunkBefore : {true, false}) {
        SCOPED_TRACE(trunkBefore);
        TempDir dir;
        const std::string path = dir.file("long.sqlite");
        std::string sql =
            "PRAGMA page_size=4096; PRAGMA secure_delete=OFF; CREATE TABLE m(id INT, body TEXT);"
            "INSERT INTO m(rowid, id, body) VALUES (1000, 1, '" + longText + "'), (1001, 2, 'short'),"
            " (1002, 3, 'live " + longText + "');";
        if (trunkBefore) sql += "CREATE TABLE pad(x BLOB); INSERT INTO pad VALUES (zeroblob(20000)); DROP TABLE pad;";
        sql += "DELETE FROM m WHERE id = 1;";
        enginetest::createSqliteDatabase(path, sql);
        const auto lines = carveLines({path, "m"});
        const auto live = withValues(lines, "3, \"live " + longText + "\"");
        ASSERT_EQ(1u, live.size());
        EXPECT_NE(std::string::npos, live[0].find("\"state\": \"live\"")) << live[0];
        const auto whole = withValues(lines, "1, \"" + longText + "\"");
        size_t cut = 0;
        for (const auto& line : lines) {
            if (line.find("\"truncated\": true, \"values\": [1, \"word0 word1 ") == std::string::npos) continue;
            ++cut;
            const size_t start = line.find("[1, \"") + 5;
            const std::string prefix = line.substr(start, line.rfind("\"]") - start);
            EXPECT_EQ(0u, longText.rfind(prefix, 0)) << line;
            EXPECT_LT(prefix.size(), longText.size());
        }
        if (trunkBefore) {
            ASSERT_EQ(1u, whole.size());
            EXPECT_EQ(std::string::npos, whole[0].find("truncated"));
            EXPECT_EQ(0u, cut);
        } else {
            EXPECT_TRUE(whole.empty());
            EXPECT_EQ(1u, cut);
        }
    }
}

// The seek rebuilds what a freeblock header covered page by page, through the
// caller's filter: the records it marks rebuilt are exactly sqlite-carve's
// rebuilt ones (which rebuild every offset of the file afterwards), and the
// live cells it passes over hide no candidate the full rebuild would keep.
TEST(HeaderRebuilder, TheSeekRebuildsWhatTheWholeFileRebuildFinds) {
    TempDir dir;
    const std::string path = dir.file("rebuilt.sqlite");
    std::string sql = "PRAGMA page_size=1024; PRAGMA secure_delete=OFF; CREATE TABLE t(a INT NOT NULL, b TEXT, c INT);"
                      "CREATE TABLE u(x TEXT);";
    for (int i = 1; i <= 400; ++i) {
        sql += "INSERT INTO t VALUES (" + std::to_string(30000 + i) + ", 'name " + std::to_string(i * 7) + "', " +
               std::to_string(i % 3 == 0 ? 0 : i * 1000) + ");";
        if (i % 40 == 0) sql += "INSERT INTO u VALUES ('" + std::string(size_t(i / 4), 'x') + "');";
    }
    sql += "DELETE FROM t WHERE a % 5 IN (1, 3) OR a BETWEEN 30200 AND 30260;";
    enginetest::createSqliteDatabase(path, sql);

    std::vector<std::pair<uint32_t, uint32_t>> expected;  // page, offset of each rebuilt line
    for (const std::string& line : carveLines({path, "t"})) {
        if (line.find("\"header\": \"rebuilt\"") == std::string::npos) continue;
        unsigned page = 0, offset = 0;
        ASSERT_EQ(2, std::sscanf(line.c_str(), "{\"page\": %u, \"offset\": %u", &page, &offset)) << line;
        expected.emplace_back(page, offset);
    }
    ASSERT_GT(expected.size(), 20u);

    const std::vector<uint8_t> file = seektest::readFileBytes(path);
    const uint32_t pages = uint32_t(file.size() / 1024);
    const std::vector<std::string> roots = seektest::queryColumn(path, "SELECT rootpage FROM sqlite_master");
    std::vector<uint32_t> rootPages;
    for (const std::string& root : roots) rootPages.push_back(uint32_t(std::stoul(root)));
    PageMap map;
    map.build(file.data(), pages, 1024, 1024, rootPages, uint32_t(readBigEndian(file.data() + 32, 4)));
    const Table table = *TableStatement::parse("CREATE TABLE t(a INT NOT NULL, b TEXT, c INT)").table;

    // A handler that notes which records came rebuilt.
    struct RebuiltHandler : seektest::CollectingHandler {
        RebuiltHandler() : CollectingHandler(3) {}
        int onRecord(std::shared_ptr<Record>& record) override {
            if (SqliteBlockSeeker::isCurrentRecordRebuilt()) {
                rebuilt.emplace_back(page, SqliteBlockSeeker::getCurrentRecordOffset());
                EXPECT_EQ(0, SqliteBlockSeeker::getCurrentCellRowId());
            }
            return CollectingHandler::onRecord(record);
        }
        void onPageBegin(uint32_t pageNumber) override {
            page = pageNumber;
            CollectingHandler::onPageBegin(pageNumber);
        }
        std::vector<std::pair<uint32_t, uint32_t>> rebuilt;
        uint32_t page = 0;
    };
    // As sqlite-carve judges: by where the record lies, never a record of NULLs only.
    struct SomeValue : RecordFilter {
        bool accept(std::shared_ptr<Record>& record) override {
            for (const auto& value : record->getFieldValues())
                if (!value->isNull()) return true;
            return false;
        }
    } someValue;
    const RecordPlacement placement(&map, rootPages[0], false);
    PlacementFilter filter(&placement, &someValue);
    for (const bool skipInteriors : {false, true}) {
        SCOPED_TRACE(skipInteriors);
        CarveOptions options = CarveOptions::forensic();
        options.rebuildHeadersWith = &map;
        if (skipInteriors) options.skipLiveCellInteriors = &map;
        RebuiltHandler handler;
        SqliteBlockSeeker seeker(&table, 1024, 1024, &filter, options);
        seeker.seek(file.data(), 1, pages, nullptr, &handler);
        std::sort(handler.rebuilt.begin(), handler.rebuilt.end());
        EXPECT_EQ(expected, handler.rebuilt);
    }

    // The rebuild of each page with the live cells' interiors left out gives the
    // candidates of the full rebuild that do not start inside one.
    const auto inspector = RecordInspector::create(&table, 1024);
    const HeaderRebuilder rebuilder(inspector.get());
    std::vector<std::pair<uint32_t, uint32_t>> interiors;
    for (uint32_t page = 1; page <= pages; ++page) {
        const uint8_t* bytes = file.data() + uint64_t(page - 1) * 1024;
        std::vector<HeaderRebuilder::Rebuilt> full, skipping;
        rebuilder.rebuild(bytes, 8, map.getCellBoundaries(page), full);
        map.getLiveCellInteriors(page, interiors);
        rebuilder.rebuild(bytes, 8, map.getCellBoundaries(page), skipping, &interiors);
        std::vector<uint32_t> fullStarts, skippingStarts;
        for (const auto& r : full)
            if (!map.insideLiveCellInterior(page, r.cellStart)) fullStarts.push_back(r.cellStart);
        for (const auto& r : skipping) skippingStarts.push_back(r.cellStart);
        EXPECT_EQ(fullStarts, skippingStarts) << "page " << page;
    }
}
