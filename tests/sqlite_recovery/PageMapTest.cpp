#include <sstream>

#include <gtest/gtest.h>

#include "EngineTestSupport.h"
#include "SeekTestSupport.h"
#include "sqlite-carve/SqliteCarve.h"
#include "sqlite_recovery/PageMap.h"

using namespace talwen::sqlite;
using enginetest::TempDir;

TEST(PageMap, LocalPayloadSizeFollowsTheFormatRule) {
    struct Case {
        uint64_t payload;
        uint32_t usable;
        bool tableLeaf;
        uint32_t local;
    };
    const std::vector<Case> cases = {
        {100, 4096, true, 100},    {4061, 4096, true, 4061}, {4062, 4096, true, 489},  {10000, 4096, true, 1816},
        {1002, 4096, false, 1002}, {1003, 4096, false, 489}, {477, 512, true, 477},    {478, 512, true, 39},
        {0, 1024, true, 0},        {70000, 65536, true, 8199},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.local, PageMap::localPayloadSize(c.payload, c.usable, c.tableLeaf))
            << c.payload << " on " << c.usable << (c.tableLeaf ? " table leaf" : " index");
    }
}

// Forged pointers that loop (an interior page its own child, an overflow chain
// and a freelist trunk pointing back at themselves) end the walk; cells and
// freeblocks outside the usable page are not taken.
TEST(PageMap, LoopsAndOutOfPageStructuresEnd) {
    auto bytes = enginetest::makeDatabaseBytes(5, 512);
    auto page = [&bytes](uint32_t n) { return bytes.data() + size_t(n - 1) * 512; };
    // Page 1: an empty table leaf (the schema).
    page(1)[100] = 13;
    enginetest::putBigEndian(bytes, 105, 512, 2);
    // Page 2: table interior, right child itself, one cell pointing at 2 as well
    // and one pointer beyond the usable size.
    uint8_t* p2 = page(2);
    p2[0] = 5;
    p2[4] = 2;  // two cells
    p2[6] = 0x01;  // content at 256
    p2[11] = 2;
    p2[12] = 0x01, p2[13] = 0x00;  // cell at 256
    p2[14] = 0x02, p2[15] = 0x10;  // cell at 528: past the page
    p2[256 + 3] = 2;
    p2[256 + 4] = 7;
    // Page 3: a leaf whose one cell spills into overflow page 4, which points at
    // itself; its one freeblock names itself as the next.
    uint8_t* p3 = page(3);
    p3[0] = 13;
    p3[1] = 0x01, p3[2] = 0xF8;  // first freeblock at 504
    p3[4] = 1;
    p3[6] = 20;  // content at 20
    p3[9] = 20;  // cell at 20
    p3[504] = 0x01, p3[505] = 0xF8;
    p3[507] = 8;
    // Payload of 2000 bytes, row id 1: 476 bytes stay on the page.
    p3[20] = 0x8F, p3[21] = 0x50, p3[22] = 1;
    const uint32_t local = PageMap::localPayloadSize(2000, 512, true);
    ASSERT_EQ(476u, local);
    enginetest::putBigEndian(bytes, size_t(2) * 512 + 23 + local, 4, 4);
    enginetest::putBigEndian(bytes, size_t(3) * 512, 4, 4);
    // Page 5: a freelist trunk that names itself as the next trunk and as a leaf.
    enginetest::putBigEndian(bytes, size_t(4) * 512, 5, 4);
    enginetest::putBigEndian(bytes, size_t(4) * 512 + 4, 1000000, 4);
    enginetest::putBigEndian(bytes, size_t(4) * 512 + 8, 5, 4);

    PageMap map;
    map.build(bytes.data(), 5, 512, 512, {2, 3}, 5);
    EXPECT_EQ(PageMap::PageKind::kBtree, map.getPageKind(2));
    EXPECT_EQ(PageMap::PageKind::kBtree, map.getPageKind(3));
    EXPECT_EQ(PageMap::PageKind::kOverflow, map.getPageKind(4));
    EXPECT_EQ(3u, map.getOwnerRoot(4));
    EXPECT_EQ(PageMap::PageKind::kFreelistTrunk, map.getPageKind(5));
    PageMap::Cell cell;
    EXPECT_EQ(PageMap::Region::kLiveCell, map.locate(3, 300, &cell));
    EXPECT_EQ(20u, cell.start);
    EXPECT_TRUE(cell.overflows);
    EXPECT_EQ(23u + local + 4, cell.end);
    EXPECT_EQ(PageMap::Region::kFreeblock, map.locate(3, 506, nullptr));
    EXPECT_EQ(PageMap::Region::kStructure, map.locate(3, 9, nullptr));
    EXPECT_EQ(PageMap::Region::kUnallocated, map.locate(3, 15, nullptr));
    EXPECT_TRUE(map.overlapsLiveCell(3, 15, 21));
    EXPECT_FALSE(map.overlapsLiveCell(3, 10, 20));
    EXPECT_EQ(10u, map.getStructureEnd(3));
    EXPECT_EQ(8u + 4 * 126, map.getStructureEnd(5));  // the leaf count is clamped to what fits
}

// The freelist's leaves keep the order its trunks list them in (pages freed together
// stand together); a leaf listed twice, out of the file or on a later trunk loop
// counts once or not at all.
TEST(PageMap, FreelistLeavesInTheTrunksOrder) {
    auto bytes = enginetest::makeDatabaseBytes(6, 512);
    bytes[100] = 13;  // page 1: an empty table leaf (the schema)
    enginetest::putBigEndian(bytes, 105, 512, 2);
    auto trunk = [&bytes](uint32_t n, uint32_t next, std::vector<uint32_t> leaves) {
        const size_t at = size_t(n - 1) * 512;
        enginetest::putBigEndian(bytes, at, next, 4);
        enginetest::putBigEndian(bytes, at + 4, leaves.size(), 4);
        for (size_t i = 0; i < leaves.size(); ++i) enginetest::putBigEndian(bytes, at + 8 + 4 * i, leaves[i], 4);
    };
    trunk(2, 4, {5, 3, 9, 5});
    trunk(4, 2, {6, 3});
    PageMap map;
    map.build(bytes.data(), 6, 512, 512, {}, 2);
    EXPECT_EQ((std::vector<uint32_t>{5, 3, 6}), map.getFreelistLeaves());
    EXPECT_EQ(PageMap::PageKind::kFreelistTrunk, map.getPageKind(4));
}

// Cells are read again from the page when asked for, each thread keeping its last
// page: a second map built in the same object over other bytes, and a page asked
// for between two questions about another, give their own cells.
TEST(PageMap, CellsAskedForAgainComeFromTheCurrentBytes) {
    auto leafWithCellAt = [](uint32_t start) {
        auto bytes = enginetest::makeDatabaseBytes(3, 512);
        bytes[100] = 13;  // page 1: an empty table leaf
        enginetest::putBigEndian(bytes, 105, 512, 2);
        for (uint32_t n : {2u, 3u}) {
            uint8_t* p = bytes.data() + size_t(n - 1) * 512;
            p[0] = 13;
            p[4] = 1;  // one cell
            enginetest::putBigEndian(bytes, size_t(n - 1) * 512 + 5, start, 2);
            enginetest::putBigEndian(bytes, size_t(n - 1) * 512 + 8, start + n, 2);
            p[start + n] = 3, p[start + n + 1] = 1, p[start + n + 2] = 2, p[start + n + 3] = 1;  // 3 bytes, row 1
        }
        return bytes;
    };
    const auto first = leafWithCellAt(300);
    const auto second = leafWithCellAt(400);
    PageMap map;
    map.build(first.data(), 3, 512, 512, {2, 3}, 0);
    EXPECT_EQ(302u, map.getCells(2).at(0).start);
    EXPECT_EQ(303u, map.getCells(3).at(0).start);
    EXPECT_EQ(PageMap::Region::kLiveCell, map.locate(2, 303, nullptr));
    map.build(second.data(), 3, 512, 512, {2, 3}, 0);
    EXPECT_EQ(PageMap::Region::kUnallocated, map.locate(2, 303, nullptr));
    EXPECT_EQ(402u, map.getCells(2).at(0).start);
    EXPECT_TRUE(map.overlapsLiveCell(3, 407, 408));  // page 3: [403, 408), page 2: [402, 407)
    EXPECT_FALSE(map.overlapsLiveCell(2, 407, 408));
}

// The interiors of a page's live cells, as ranges, are exactly the offsets that
// locate puts inside a live cell other than where its record starts: on pages of
// random bytes whose cells overlap, run past the page, start inside the cell
// pointers or hold too short a header, of every b-tree page type.
TEST(PageMap, LiveCellInteriorsAreTheOffsetsLocateGivesToACellAwayFromItsRecord) {
    const uint32_t pageSize = 512;
    const uint32_t pages = 64;
    auto bytes = enginetest::makeDatabaseBytes(pages, pageSize);
    uint64_t seed = 99;
    auto next = [&seed] {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return uint32_t(seed >> 33);
    };
    bytes[100] = 13;  // page 1: an empty table leaf
    enginetest::putBigEndian(bytes, 105, pageSize, 2);
    std::vector<uint32_t> roots;
    const uint8_t types[] = {13, 10, 5, 2};
    for (uint32_t n = 2; n <= pages; ++n) {
        uint8_t* p = bytes.data() + size_t(n - 1) * pageSize;
        for (uint32_t i = 0; i < pageSize; ++i) p[i] = uint8_t(next());
        p[0] = types[n % 4];
        const uint32_t cells = 1 + next() % 14;
        p[3] = 0, p[4] = uint8_t(cells);
        p[1] = 0, p[2] = 0;  // no freeblock
        // Short varints for most cells, so that many parse as records.
        for (uint32_t i = 0; i < cells; ++i) {
            const uint32_t start = 12 + next() % (pageSize - 12);
            enginetest::putBigEndian(bytes, size_t(n - 1) * pageSize + 12 + 2 * i, start, 2);
            if (next() % 3 != 0) {
                for (uint32_t k = 0; k < 6 && start + k < pageSize; ++k) p[start + k] = uint8_t(next() % 0x40);
            }
        }
        roots.push_back(n);
    }
    PageMap map;
    map.build(bytes.data(), pages, pageSize, pageSize, roots, 0);
    size_t interiorBytes = 0, kept = 0;
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
    for (uint32_t n = 1; n <= pages; ++n) {
        map.getLiveCellInteriors(n, ranges);
        std::vector<bool> inRange(pageSize, false);
        for (size_t r = 0; r < ranges.size(); ++r) {
            ASSERT_LT(ranges[r].first, ranges[r].second) << "page " << n;
            ASSERT_LE(ranges[r].second, pageSize) << "page " << n;
            if (r > 0) ASSERT_LE(ranges[r - 1].second, ranges[r].first) << "page " << n;
            for (uint32_t o = ranges[r].first; o < ranges[r].second; ++o) inRange[o] = true;
        }
        for (uint32_t o = 0; o < pageSize; ++o) {
            ASSERT_EQ(map.insideLiveCellInterior(n, o), inRange[o]) << "page " << n << " offset " << o;
            interiorBytes += inRange[o] ? 1 : 0;
            PageMap::Cell cell;
            kept += map.locate(n, o, &cell) == PageMap::Region::kLiveCell && !inRange[o] ? 1 : 0;
        }
    }
    EXPECT_GT(interiorBytes, size_t(pages) * pageSize / 8);
    EXPECT_GT(kept, 20u);  // record starts inside cells stay offered
}

// Two tables of the same layout: carving one reports its own live rows as live
// and its deleted row where its cell lay, never the other table's live or
// deleted rows (which read as records of either). Rows of leaf pages freed by a
// mass delete come from the freelist, which no table owns any more, and the
// stale page headers there are not read as records.
TEST(PageMap, SqliteCarveKeepsToTheTablesOwnBytes) {
    TempDir dir;
    const std::string path = dir.file("two.sqlite");
    std::string sql =
        "PRAGMA page_size=1024; PRAGMA secure_delete=OFF; CREATE TABLE a(x INT, y TEXT); CREATE TABLE b(x INT, y TEXT);"
        "INSERT INTO a(rowid, x, y) VALUES (1000, 1, 'alpha one'), (1001, 2, 'alpha two');"
        "INSERT INTO b(rowid, x, y) VALUES (2000, 3, 'beta three'), (2001, 4, 'beta four');"
        "CREATE TABLE big(n INT, t TEXT);";
    for (int i = 1; i <= 120; ++i) {
        sql += "INSERT INTO big(rowid, n, t) VALUES (" + std::to_string(1000 + i) + ", " + std::to_string(i) +
               ", 'row " + std::to_string(i) + " " + std::string(60, 'x') + "');";
    }
    sql += "DELETE FROM a WHERE x = 2; DELETE FROM b WHERE x = 4; DELETE FROM big WHERE n > 10;";
    enginetest::createSqliteDatabase(path, sql);

    std::ostringstream out, err;
    ASSERT_EQ(0, runSqliteCarve({path, "a"}, out, err)) << err.str();
    const std::string a = out.str();
    EXPECT_NE(std::string::npos, a.find("\"state\": \"live\", \"values\": [1, \"alpha one\"]")) << a;
    EXPECT_NE(std::string::npos, a.find("\"state\": \"unallocated\", \"values\": [2, \"alpha two\"]")) << a;
    EXPECT_EQ(std::string::npos, a.find("beta")) << a;
    std::istringstream lines(a);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("alpha") != std::string::npos) continue;
        EXPECT_NE(std::string::npos, line.find("\"state\": \"freelist\"")) << line;
        const size_t offset = std::stoul(line.substr(line.find("\"offset\": ") + 10));
        EXPECT_GE(offset, 8u + 2 * 13) << line;  // past the stale cell pointers (13 cells a page)
    }

    std::ostringstream bigOut, bigErr;
    ASSERT_EQ(0, runSqliteCarve({path, "big"}, bigOut, bigErr)) << bigErr.str();
    const std::string big = bigOut.str();
    EXPECT_NE(std::string::npos, big.find("\"state\": \"freelist\", \"values\": [60, \"row 60 ")) << big;
    EXPECT_NE(std::string::npos, big.find("\"state\": \"live\", \"values\": [5, \"row 5 ")) << big;
    EXPECT_EQ(std::string::npos, big.find("alpha")) << big;
}
