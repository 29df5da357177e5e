#include <gtest/gtest.h>

#include <sqlite3.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <utility>
#include <vector>

#include "EngineTestSupport.h"
#include "sqlite_recovery/Database.h"
#include "sqlite_recovery/PageMap.h"
#include "sqlite_recovery/TableBtree.h"

using talwen::common::ErrorInfo;
using namespace talwen::sqlite;
using namespace enginetest;

namespace {

constexpr uint32_t kPageSize = 512;

// Hand-made b-tree pages inside a file of zero pages.
class PageBuilder {
public:
    explicit PageBuilder(uint32_t pages, uint32_t pageSize = kPageSize)
        : pageSize_(pageSize), bytes_(makeDatabaseBytes(pages, pageSize)) {}

    void leaf(uint32_t page) { bytes_[headerAt(page)] = 13; }

    // An interior page whose cells (child, key) lie back to back from cellContent,
    // with a cell pointer array in cell order.
    void interior(uint32_t page, const std::vector<std::pair<uint32_t, uint8_t>>& cells,
                  uint32_t rightChild, uint32_t cellContent = 300) {
        const size_t h = headerAt(page);
        bytes_[h] = 5;
        putBigEndian(bytes_, h + 3, cells.size(), 2);
        putBigEndian(bytes_, h + 5, cellContent, 2);
        putBigEndian(bytes_, h + 8, rightChild, 4);
        size_t at = base(page) + cellContent;
        size_t pointer = h + 12;
        for (const auto& cell : cells) {
            putBigEndian(bytes_, pointer, at - base(page), 2);
            pointer += 2;
            putBigEndian(bytes_, at, cell.first, 4);
            bytes_[at + 4] = cell.second;  // one-byte key
            at += 5;
        }
    }

    std::vector<uint8_t>& bytes() { return bytes_; }
    size_t base(uint32_t page) const { return size_t(page - 1) * pageSize_; }

private:
    size_t headerAt(uint32_t page) const { return base(page) + (page == 1 ? 100 : 0); }

    uint32_t pageSize_;
    std::vector<uint8_t> bytes_;
};

struct Walk {
    std::set<uint32_t> interior;
    std::set<uint32_t> leaves;
    ErrorInfo error;
};

Walk walk(const std::vector<uint8_t>& bytes, uint32_t rootPage) {
    TempDir dir;
    writeFile(dir.file("walk.db"), bytes);
    Database db;
    Walk result;
    db.open(dir.file("walk.db"), &result.error);
    EXPECT_TRUE(result.error.isSuccess()) << result.error.getMessage();
    TableBtree table(TableBtree::kObtainBySqlite);
    table.setRootPage(rootPage);
    table.collectPages(&db, &result.error);
    result.interior = table.getInteriorPages();
    result.leaves = table.getLeafPages();
    return result;
}

}  // namespace

TEST(TableBtree, SettersMarkTheirFlags) {
    TableBtree table(TableBtree::kObtainByCarving);
    EXPECT_EQ(2, table.getObtainWay());
    EXPECT_EQ(0u, table.getValidFlag());
    table.setTableName("Chat_abc");
    EXPECT_EQ(0x4u, table.getValidFlag());
    table.setRootPage(7);
    EXPECT_EQ(0xCu, table.getValidFlag());
    EXPECT_EQ("Chat_abc", table.getTableName());
    EXPECT_EQ(7u, table.getRootPage());
}

TEST(TableBtree, CollectsTheSamePagesAsSqlite) {
    // A three-level b-tree written by SQLite, with a freeblock left inside the
    // content area of one interior page by rebalancing; dbstat lists its pages.
    TempDir dir;
    const std::string path = dir.file("chat.db");
    createSqliteDatabase(path,
                         "PRAGMA page_size=512;"
                         "CREATE TABLE other(x);"
                         "CREATE TABLE Chat_1(id INTEGER PRIMARY KEY, msg TEXT);"
                         "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000)"
                         " INSERT INTO Chat_1(msg) SELECT printf('message %06d', i) FROM n;"
                         "INSERT INTO other VALUES (1), (2);");
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
    uint32_t rootPage = 0;
    std::set<uint32_t> interior;
    std::set<uint32_t> leaves;
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, "SELECT rootpage FROM sqlite_master WHERE name='Chat_1'",
                                            -1, &stmt, nullptr));
    ASSERT_EQ(SQLITE_ROW, sqlite3_step(stmt));
    rootPage = uint32_t(sqlite3_column_int(stmt, 0));
    sqlite3_finalize(stmt);
    if (sqlite3_prepare_v2(db, "SELECT pageno, pagetype FROM dbstat WHERE name='Chat_1'", -1, &stmt,
                           nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        GTEST_SKIP() << "SQLite built without dbstat";
    }
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        const std::string type = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1));
        (type == "internal" ? interior : leaves).insert(uint32_t(sqlite3_column_int(stmt, 0)));
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    ASSERT_GT(interior.size(), 1u) << "the fixture must have more than one level of interior pages";

    Database database;
    ErrorInfo error;
    database.open(path, &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    TableBtree table(TableBtree::kObtainBySqlite);
    table.setTableName("Chat_1");
    table.setRootPage(rootPage);
    table.collectPages(&database, &error);
    EXPECT_TRUE(error.isSuccess()) << error.getMessage();
    EXPECT_EQ(interior, table.getInteriorPages());
    EXPECT_EQ(leaves, table.getLeafPages());
}

TEST(TableBtree, RootLeafAndRootOnPageOne) {
    PageBuilder single(3);
    single.leaf(3);
    Walk w = walk(single.bytes(), 3);
    EXPECT_TRUE(w.error.isSuccess());
    EXPECT_TRUE(w.interior.empty());
    EXPECT_EQ((std::set<uint32_t>{3}), w.leaves);

    // Page 1 carries its b-tree header after the 100-byte file header; cell
    // offsets still count from the start of the page.
    PageBuilder first(4);
    first.interior(1, {{2, 1}}, 3);
    first.leaf(2);
    first.leaf(3);
    w = walk(first.bytes(), 1);
    EXPECT_TRUE(w.error.isSuccess()) << w.error.getMessage();
    EXPECT_EQ((std::set<uint32_t>{1}), w.interior);
    EXPECT_EQ((std::set<uint32_t>{2, 3}), w.leaves);

    // Index pages, free pages and garbage are ignored without failure.
    PageBuilder index(2);
    index.bytes()[512] = 10;
    w = walk(index.bytes(), 2);
    EXPECT_TRUE(w.error.isSuccess());
    EXPECT_TRUE(w.interior.empty() && w.leaves.empty());
}

TEST(TableBtree, ChildrenAscendingThenRightMost) {
    // Cells point at 9 then 4; 9 is a broken interior page. Ascending order reaches
    // 4 before 9, and the failure at 9 stops the page before the right-most child 12.
    PageBuilder pages(12);
    pages.interior(2, {{9, 1}, {4, 2}}, 12);
    pages.leaf(4);
    pages.interior(9, {}, 0, kPageSize);  // content offset == usable size
    pages.leaf(12);
    Walk w = walk(pages.bytes(), 2);
    EXPECT_EQ(-2, w.error.getCode());
    EXPECT_EQ("cellContentOffset[512] over pageLength[512]!", w.error.getMessage());
    EXPECT_EQ("processInteriorPage", w.error.getFunctionName());
    EXPECT_EQ((std::set<uint32_t>{4}), w.leaves);
    EXPECT_EQ((std::set<uint32_t>{2, 9}), w.interior);

    pages.leaf(9);
    w = walk(pages.bytes(), 2);
    EXPECT_TRUE(w.error.isSuccess()) << w.error.getMessage();
    EXPECT_EQ((std::set<uint32_t>{4, 9, 12}), w.leaves);
}

TEST(TableBtree, ChildOutOfRangeIsSkipped) {
    PageBuilder pages(5);
    pages.interior(2, {{0, 1}, {3, 2}, {99, 3}, {4, 4}}, 5);
    pages.leaf(3);
    pages.leaf(4);
    pages.leaf(5);
    Walk w = walk(pages.bytes(), 2);
    EXPECT_TRUE(w.error.isSuccess()) << w.error.getMessage();
    EXPECT_EQ((std::set<uint32_t>{3, 4, 5}), w.leaves);

    // A right-most child out of range is the page's last step: its failure remains.
    pages.interior(2, {{3, 1}}, 6);
    w = walk(pages.bytes(), 2);
    EXPECT_EQ(-1, w.error.getCode());
    EXPECT_EQ("pageNumber[6] overflow!", w.error.getMessage());
    EXPECT_EQ("getPageInDatabaseData", w.error.getFunctionName());
    EXPECT_EQ((std::set<uint32_t>{3}), w.leaves);

    w = walk(pages.bytes(), 0);
    EXPECT_EQ("pageNumber[0] overflow!", w.error.getMessage());
}

TEST(TableBtree, InteriorPageThatIsItsOwnDescendantEndsTheWalk) {
    PageBuilder pages(5);
    pages.interior(2, {{3, 1}, {2, 2}}, 4);  // lists itself
    pages.interior(3, {{2, 1}}, 5);          // and its child points back at it
    pages.leaf(4);
    pages.leaf(5);
    Walk w = walk(pages.bytes(), 2);
    EXPECT_TRUE(w.error.isSuccess()) << w.error.getMessage();
    EXPECT_EQ((std::set<uint32_t>{2, 3}), w.interior);
    EXPECT_EQ((std::set<uint32_t>{4, 5}), w.leaves);
}

TEST(TableBtree, ChainDeeperThanAnyRealBtreeFails) {
    // 80 distinct interior pages each pointing at the next: no cycle, but deeper
    // than kMaxDepth, so the recursion is cut instead of exhausting the stack.
    const uint32_t count = 80;
    PageBuilder pages(count + 2);
    for (uint32_t p = 2; p < count + 2; ++p) pages.interior(p, {}, p + 1);
    pages.leaf(count + 2);
    Walk w = walk(pages.bytes(), 2);
    EXPECT_EQ(-2, w.error.getCode());
    EXPECT_EQ("B-tree depth[64] over limit[64] at pageNumber[66]!", w.error.getMessage());
    EXPECT_EQ(TableBtree::kMaxDepth, w.interior.size());
    EXPECT_TRUE(w.leaves.empty());
}

TEST(TableBtree, CellRunningOutOfTheContentArea) {
    PageBuilder pages(3);
    pages.interior(2, {{3, 1}, {3, 2}}, 3, kPageSize - 9);  // room for one 5-byte cell only
    pages.leaf(3);
    Walk w = walk(pages.bytes(), 2);
    EXPECT_EQ(-2, w.error.getCode());
    EXPECT_EQ("Parse table b-tree interior cell fail, because buffLength[4] < 5!", w.error.getMessage());
    EXPECT_EQ("parseTableBtreeInteriorCell", w.error.getFunctionName());
    EXPECT_TRUE(w.leaves.empty()) << "no child is visited after a cell failure";

    // A key varint that runs to the end of the page.
    pages.interior(2, {{3, 0x81}}, 3, kPageSize - 5);
    w = walk(pages.bytes(), 2);
    EXPECT_EQ("parse varint overflow!", w.error.getMessage());
}

TEST(TableBtree, CellsAreFoundThroughThePointerArray) {
    // SQLite leaves freeblocks between the cells of an interior page (the fixture
    // above has one). Here a freeblock whose bytes read like a cell to page 5 sits
    // between the two live cells, which are listed out of position order.
    PageBuilder pages(5);
    pages.interior(2, {}, 4);
    std::vector<uint8_t>& b = pages.bytes();
    const size_t page2 = pages.base(2);
    putBigEndian(b, page2 + 3, 2, 2);             // two cells
    putBigEndian(b, page2 + 5, 400, 2);           // content area from 400
    putBigEndian(b, page2 + 12, 420, 2);          // cell 0 at 420
    putBigEndian(b, page2 + 14, 400, 2);          // cell 1 at 400
    putBigEndian(b, page2 + 400, 3, 4);           // child 3, key 1
    b[page2 + 404] = 1;
    putBigEndian(b, page2 + 405, 5, 4);           // freeblock bytes 405..419
    b[page2 + 409] = 0x20;
    putBigEndian(b, page2 + 420, 4, 4);           // child 4, key 2
    b[page2 + 424] = 2;
    pages.leaf(3);
    pages.leaf(4);
    pages.leaf(5);
    Walk w = walk(b, 2);
    EXPECT_TRUE(w.error.isSuccess()) << w.error.getMessage();
    EXPECT_EQ((std::set<uint32_t>{3, 4}), w.leaves) << "page 5 is only named by free bytes";

    // A cell pointer below the content area, and a pointer array longer than the page.
    putBigEndian(b, page2 + 14, 300, 2);
    w = walk(b, 2);
    EXPECT_EQ(-2, w.error.getCode());
    EXPECT_EQ("cellOffset[300] below cellContentOffset[400]!", w.error.getMessage());
    putBigEndian(b, page2 + 3, 251, 2);
    w = walk(b, 2);
    EXPECT_EQ("cellCount[251] over pageLength[512]!", w.error.getMessage());
    EXPECT_EQ("processInteriorPage", w.error.getFunctionName());
}

TEST(TableBtree, LargeContentAreaOf64KibPages) {
    // The content area of a 64 KiB page can exceed 32 KiB; its size must not be
    // folded into 16 bits (65536 - 100 would read as a negative length).
    PageBuilder pages(4, 65536);
    pages.interior(2, {{3, 1}}, 4, 100);
    pages.leaf(3);
    pages.leaf(4);
    Walk w = walk(pages.bytes(), 2);
    EXPECT_TRUE(w.error.isSuccess()) << w.error.getMessage();
    EXPECT_EQ((std::set<uint32_t>{3, 4}), w.leaves);
}

TEST(TableBtree, UnreadableDatabaseEndsTheWalk) {
    TempDir dir;
    std::vector<uint8_t> bytes = makeDatabaseBytes(4);
    bytes.resize(512 * 3);
    writeFile(dir.file("short.db"), bytes);
    Database db;
    ErrorInfo error;
    db.open(dir.file("short.db"), &error);
    TableBtree table(TableBtree::kObtainBySqlite);
    table.setRootPage(2);
    table.collectPages(&db, &error);
    EXPECT_EQ("Database read fail!", error.getMessage());
}

namespace {

// The table b-tree under `page` of a file image, as its pages said before the
// drop: interior pages and leaves, following only pages `keep` accepts.
void walkImage(const std::vector<uint8_t>& image, uint32_t pageSize, uint32_t page,
               const std::function<bool(uint32_t)>& keep, std::set<uint32_t>& interior, std::set<uint32_t>& leaves,
               bool isRoot = true) {
    if (!isRoot && !keep(page)) return;
    const uint8_t* p = image.data() + size_t(page - 1) * pageSize;
    if (p[0] == 13) {
        leaves.insert(page);
        return;
    }
    ASSERT_EQ(5, p[0]);
    interior.insert(page);
    const uint32_t cells = uint32_t(readBigEndian(p + 3, 2));
    for (uint32_t k = 0; k < cells; ++k) {
        const uint32_t cell = uint32_t(readBigEndian(p + 12 + 2 * k, 2));
        walkImage(image, pageSize, uint32_t(readBigEndian(p + cell, 4)), keep, interior, leaves, false);
    }
    walkImage(image, pageSize, uint32_t(readBigEndian(p + 8, 4)), keep, interior, leaves, false);
}

bool wasLeaf(const std::vector<uint8_t>& image, uint32_t page) {
    return image[size_t(page - 1) * 512] == 13;  // the root was a leaf
}

std::vector<uint8_t> fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

// A dropped table's pages found again from its carved schema entry: the root's
// stale right child and cells (DROP TABLE rewrites only bytes 1-7 of its header),
// then the freed interior pages, to the leaves; exactly the pages of the tree
// before the drop that are free now, never one reused by a live table.
TEST(TableBtree, StalePagesOfADroppedTableAreItsFreedPages) {
    struct Case {
        const char* name;
        bool freelistBefore;  // the drop adds to a freelist with a trunk
        int rows;
        int laterRows;  // rows of a later table that reuse freed pages
        size_t levels;  // interior pages before the drop: 0, 1, more
    };
    const std::vector<Case> cases = {
        {"one leaf", true, 3, 0, 0},
        {"one leaf that became the freelist's trunk", false, 3, 0, 0},
        {"two levels", true, 60, 0, 1},
        {"three levels", true, 3000, 0, 2},
        {"three levels, the first freed leaf the trunk", false, 3000, 0, 2},
        {"three levels, the root reused by a later table", true, 3000, 40, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.file("dropped.db");
        createSqliteDatabase(path,
                             std::string("PRAGMA page_size=512; PRAGMA secure_delete=OFF; CREATE TABLE other(x);") +
                                 (c.freelistBefore ? "CREATE TABLE filler(x); INSERT INTO filler VALUES "
                                                     "(randomblob(2000)); DROP TABLE filler;" : "") +
                             "CREATE TABLE Chat_1(id INTEGER PRIMARY KEY, msg TEXT);"
                             "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                                 std::to_string(c.rows) +
                                 ") INSERT INTO Chat_1(msg) SELECT printf('message %06d', i) FROM n;"
                                 "INSERT INTO other VALUES (1);");
        const std::vector<uint8_t> before = fileBytes(path);
        sqlite3* db = nullptr;
        ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
        sqlite3_stmt* stmt = nullptr;
        ASSERT_EQ(SQLITE_OK,
                  sqlite3_prepare_v2(db, "SELECT rootpage FROM sqlite_master WHERE name='Chat_1'", -1, &stmt, nullptr));
        ASSERT_EQ(SQLITE_ROW, sqlite3_step(stmt));
        const uint32_t rootPage = uint32_t(sqlite3_column_int(stmt, 0));
        sqlite3_finalize(stmt);
        std::string later = "PRAGMA secure_delete=OFF; DROP TABLE Chat_1;";
        if (c.laterRows > 0) {
            later += "CREATE TABLE later(x); WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                     std::to_string(c.laterRows) + ") INSERT INTO later SELECT randomblob(300) FROM n;";
        }
        ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, later.c_str(), nullptr, nullptr, nullptr));
        std::vector<uint32_t> liveRoots;
        ASSERT_EQ(SQLITE_OK,
                  sqlite3_prepare_v2(db, "SELECT rootpage FROM sqlite_master WHERE rootpage > 0", -1, &stmt, nullptr));
        while (sqlite3_step(stmt) == SQLITE_ROW) liveRoots.push_back(uint32_t(sqlite3_column_int(stmt, 0)));
        sqlite3_finalize(stmt);
        sqlite3_close(db);

        const std::vector<uint8_t> after = fileBytes(path);
        const uint32_t pages = uint32_t(after.size() / 512);
        PageMap map;
        map.build(after.data(), pages, 512, 512, liveRoots, uint32_t(readBigEndian(after.data() + 32, 4)));
        const auto freeNow = [&map](uint32_t page) {
            const PageMap::PageKind kind = map.getPageKind(page);
            return kind == PageMap::PageKind::kFreelistLeaf || kind == PageMap::PageKind::kUnreached;
        };
        std::set<uint32_t> interior, leaves, allInterior, allLeaves;
        // A root in use again holds something else: nothing is followed from it.
        if (freeNow(rootPage) || map.getPageKind(rootPage) == PageMap::PageKind::kFreelistTrunk)
            walkImage(before, 512, rootPage, freeNow, interior, leaves);
        if (wasLeaf(before, rootPage) && map.getPageKind(rootPage) == PageMap::PageKind::kFreelistTrunk) {
            interior.clear();
            leaves = {rootPage};
        }
        walkImage(before, 512, rootPage, [](uint32_t) { return true; }, allInterior, allLeaves);
        ASSERT_EQ(c.levels == 0, allInterior.empty());
        if (c.levels > 1) ASSERT_GT(allInterior.size(), 1u);
        // The root is freed last, so it is the first page a later table takes.
        if (c.laterRows > 0) ASSERT_FALSE(freeNow(rootPage)) << "the later table must reuse pages";

        Database database;
        ErrorInfo error;
        database.open(path, &error);
        ASSERT_TRUE(error.isSuccess()) << error.getMessage();
        TableBtree table(TableBtree::kObtainByCarving);
        table.setTableName("Chat_1");
        table.setRootPage(rootPage);
        table.collectStalePages(database, after.data(), map);
        EXPECT_EQ(interior, table.getInteriorPages());
        EXPECT_EQ(leaves, table.getLeafPages());
        if (c.laterRows == 0) EXPECT_GT(table.getLeafPages().size() * 10, allLeaves.size() * 9);
    }
}
