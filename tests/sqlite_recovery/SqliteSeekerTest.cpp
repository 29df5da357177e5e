#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "EngineTestSupport.h"
#include "SeekTestSupport.h"
#include "sqlite_recovery/Database.h"
#include "sqlite_recovery/PageMap.h"
#include "sqlite_recovery/RecordInspector.h"
#include "sqlite_recovery/SeekProgressIndicator.h"
#include "sqlite_recovery/SqliteBlockSeeker.h"
#include "sqlite_recovery/SqliteDatabaseSeeker.h"
#include "sqlite_recovery/Table.h"

using namespace talwen::sqlite;
using talwen::common::ErrorInfo;
using enginetest::TempDir;
using seektest::CarvedRecord;
using seektest::CollectingHandler;

namespace {

class NonNullFilter : public RecordFilter {
public:
    bool accept(std::shared_ptr<Record>& record) override {
        for (const auto& v : record->getFieldValues()) {
            if (!v->isNull()) return true;
        }
        return false;
    }
};

// Notes the offset of every candidate offered and keeps or drops them all.
class OffsetFilter : public RecordFilter {
public:
    explicit OffsetFilter(bool keep) : keep_(keep) {}
    bool accept(std::shared_ptr<Record>&) override {
        offsets.push_back(SqliteBlockSeeker::getCurrentRecordOffset());
        return keep_;
    }
    std::vector<uint32_t> offsets;

private:
    bool keep_;
};

// Counts from any number of threads.
class CountingHandler : public SeekEventHandler {
public:
    void onPageBegin(uint32_t) override {}
    void onPageEnd(uint32_t) override {}
    int onRecord(std::shared_ptr<Record>&) override { return ++count, 1; }
    std::atomic<int> count{0};
};

std::vector<CarvedRecord> carve(const std::string& path, const Table& table, uint32_t threads,
                                RecordFilter* filter, uint32_t* total = nullptr) {
    Database database;
    ErrorInfo error;
    database.open(path, &error);
    EXPECT_TRUE(error.isSuccess()) << error.getMessage();
    std::vector<std::unique_ptr<CollectingHandler>> handlers;
    std::vector<SeekEventHandler*> pointers;
    for (uint32_t i = 0; i < std::max(threads, 1u); ++i) {
        handlers.push_back(std::make_unique<CollectingHandler>(table.getFieldCount()));
        pointers.push_back(handlers.back().get());
    }
    SqliteDatabaseSeeker seeker(&database, &table, filter);
    const uint32_t found = seeker.seek(threads, nullptr, pointers.data(), &error);
    EXPECT_TRUE(error.isSuccess()) << error.getMessage();
    if (total) *total = found;
    std::vector<CarvedRecord> all;
    for (auto& h : handlers) all.insert(all.end(), h->records.begin(), h->records.end());
    return all;
}

uint32_t rootPage(const std::string& path, const std::string& table) {
    return uint32_t(std::stoul(seektest::queryColumn(path, "SELECT rootpage FROM sqlite_master WHERE name='" + table + "'").at(0)));
}

}  // namespace

// Live rows are found where their cells lie, deleted rows where their cells lay
// before the delete, all with their exact values; the count returned is the
// number of records handed over, with 1 and 2 threads alike.
TEST(SqliteDatabaseSeeker, CarvesLiveAndDeletedMessagesWithTheirPlaces) {
    TempDir dir;
    const std::string path = dir.file("chat.sqlite");
    const std::string before = dir.file("before.sqlite");
    const auto rows = seektest::writeMessageFixture(path, before, 400);
    const std::string tableName = "Chat_0123456789abcdef0123456789abcdef";

    std::map<int64_t, std::pair<uint32_t, uint32_t>> livePlaces, formerPlaces;
    seektest::collectCellPositions(seektest::readFileBytes(path), 1024, rootPage(path, tableName), 3, livePlaces);
    seektest::collectCellPositions(seektest::readFileBytes(before), 1024, rootPage(before, tableName), 3, formerPlaces);
    ASSERT_EQ(400u, formerPlaces.size());
    ASSERT_EQ(240u, livePlaces.size());

    std::set<CarvedRecord> expected;
    for (const auto& row : rows) {
        const auto& place = seektest::isDeletedRow(row.localId) ? formerPlaces.at(row.localId) : livePlaces.at(row.localId);
        EXPECT_EQ(seektest::isDeletedRow(row.localId), livePlaces.count(row.localId) == 0);
        expected.insert({place.first, place.second, row.expected()});
    }

    const Table table = Table::parse(seektest::messageTableSql());
    NonNullFilter filter;
    for (uint32_t threads : {1u, 2u}) {
        SCOPED_TRACE(threads);
        uint32_t total = 0;
        const auto carved = carve(path, table, threads, &filter, &total);
        EXPECT_EQ(carved.size(), total);
        // Every row is found once at its place. Page splits during the inserts
        // leave stale copies of some rows elsewhere, which are found as well.
        for (const auto& e : expected) {
            EXPECT_EQ(1, std::count(carved.begin(), carved.end(), e)) << e;
        }
    }
}

// The row-id column: first column (not read at all, absent from the record),
// later column (read as serial type 0, decoded as NULL), and sqlite_master.
TEST(SqliteDatabaseSeeker, RowIdColumnsAndSchemaTable) {
    struct Case {
        const char* name;
        const char* create;
        const char* insert;
        uint32_t skipped;
        std::vector<std::vector<std::string>> expected;  // by row id order
    };
    const std::vector<Case> cases = {
        {"t", "CREATE TABLE t(id INTEGER PRIMARY KEY, a TEXT, b INTEGER, c REAL)",
         "INSERT INTO t VALUES (7, 'seven', 70, 7.5); INSERT INTO t VALUES (300, 'three hundred', -3, NULL);", 4,
         {{"-", "T:seven", "I:70", "R:7.500000"}, {"-", "T:three hundred", "I:-3", "N"}}},
        {"u", "CREATE TABLE u(a TEXT, b BLOB, id INTEGER PRIMARY KEY, c INTEGER NOT NULL)",
         "INSERT INTO u VALUES ('x', x'00ff10', 5, 0); INSERT INTO u VALUES ('yy', NULL, 6, 1);", 3,
         {{"T:x", "B:00ff10", "N", "I:0"}, {"T:yy", "N", "N", "I:1"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.file("db.sqlite");
        enginetest::createSqliteDatabase(path, std::string(c.create) + ";" + c.insert);
        std::map<int64_t, std::pair<uint32_t, uint32_t>> places;
        const auto bytes = seektest::readFileBytes(path);
        seektest::collectCellPositions(bytes, 4096, rootPage(path, c.name), c.skipped, places);
        ASSERT_EQ(c.expected.size(), places.size());
        std::set<CarvedRecord> expected;
        size_t i = 0;
        for (const auto& place : places) expected.insert({place.second.first, place.second.second, c.expected[i++]});

        const Table table = Table::parse(c.create);
        NonNullFilter filter;
        const auto carved = carve(path, table, 1, &filter);
        for (const auto& e : expected) {
            EXPECT_NE(carved.end(), std::find(carved.begin(), carved.end(), e)) << e;
        }

        // The same file's schema table: each entry where its cell lies.
        const Table master = Table::parse(
            "CREATE TABLE sqlite_master(type text not null, name text not null primary key, "
            "tbl_name text, rootpage integer not null, sql text);");
        std::map<int64_t, std::pair<uint32_t, uint32_t>> schemaPlaces;
        seektest::collectCellPositions(bytes, 4096, 1, 3, schemaPlaces);
        ASSERT_EQ(1u, schemaPlaces.size());
        const auto schema = carve(path, master, 1, &filter);
        const CarvedRecord entry{1, schemaPlaces.begin()->second.second,
                                 {"T:table", std::string("T:") + c.name, std::string("T:") + c.name,
                                  "I:2", std::string("T:") + c.create}};
        EXPECT_NE(schema.end(), std::find(schema.begin(), schema.end(), entry)) << entry;
    }
}

// Ranges: 10 pages on 3 threads are 1-4, 5-7 and 8-10, each handler seeing its
// pages ascending; too many threads, one thread or none scan everything on the
// calling thread with the first handler.
TEST(SqliteDatabaseSeeker, SplitsPagesIntoContiguousRanges) {
    struct Case {
        uint32_t pages;
        uint32_t threads;
        std::vector<std::pair<uint32_t, uint32_t>> ranges;  // per handler; {0,0} = unused
    };
    const std::vector<Case> cases = {
        {10, 3, {{1, 4}, {5, 7}, {8, 10}}},
        {4, 4, {{1, 4}, {0, 0}, {0, 0}, {0, 0}}},
        {5, 1, {{1, 5}}},
        {5, 0, {{1, 5}}},
        {7, 2, {{1, 4}, {5, 7}}},
    };
    const Table table = Table::parse("CREATE TABLE z(a text not null)");
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.pages) + " pages, " + std::to_string(c.threads) + " threads");
        TempDir dir;
        const std::string path = dir.file("z.db");
        enginetest::writeFile(path, enginetest::makeDatabaseBytes(c.pages));
        Database database;
        ErrorInfo error;
        database.open(path, &error);
        std::vector<std::unique_ptr<CollectingHandler>> handlers;
        std::vector<SeekEventHandler*> pointers;
        for (size_t i = 0; i < c.ranges.size(); ++i) {
            handlers.push_back(std::make_unique<CollectingHandler>(1));
            pointers.push_back(handlers.back().get());
        }
        SeekProgressIndicator progress;
        SqliteDatabaseSeeker seeker(&database, &table, nullptr);
        const uint32_t carvedCount = seeker.seek(c.threads, &progress, pointers.data(), &error);
        EXPECT_TRUE(error.isSuccess());
        size_t records = 0;
        for (const auto& h : handlers) records += h->records.size();
        EXPECT_EQ(records, carvedCount);
        for (size_t i = 0; i < c.ranges.size(); ++i) {
            std::vector<std::string> events;
            for (uint32_t p = c.ranges[i].first; p != 0 && p <= c.ranges[i].second; ++p) {
                events.push_back("B" + std::to_string(p));
                events.push_back("E" + std::to_string(p));
            }
            EXPECT_EQ(events, handlers[i]->events) << "handler " << i;
        }
        uint32_t total, done, found;
        int64_t elapsed;
        bool finished;
        progress.getProgress(total, elapsed, done, found, finished);
        EXPECT_EQ(c.pages, total);
        EXPECT_EQ(c.pages, done);
        EXPECT_TRUE(finished);
    }
}

// One handler passed for every range: the total is its largest range count.
TEST(SqliteDatabaseSeeker, SameHandlerForAllRangesCountsItsLargestRange) {
    TempDir dir;
    const std::string path = dir.file("chat.sqlite");
    seektest::writeMessageFixture(path, dir.file("before.sqlite"), 400);
    const Table table = Table::parse(seektest::messageTableSql());
    NonNullFilter filter;
    Database database;
    ErrorInfo error;
    database.open(path, &error);

    CountingHandler a, b, c;
    SeekEventHandler* distinct[] = {&a, &b, &c};
    SqliteDatabaseSeeker seeker(&database, &table, &filter);
    const uint32_t sum = seeker.seek(3, nullptr, distinct, &error);
    ASSERT_GT(a.count, 0);
    ASSERT_GT(b.count, 0);
    ASSERT_GT(c.count, 0);
    EXPECT_EQ(uint32_t(a.count + b.count + c.count), sum);

    CountingHandler shared;
    SeekEventHandler* same[] = {&shared, &shared, &shared};
    SqliteDatabaseSeeker again(&database, &table, &filter);
    EXPECT_EQ(uint32_t(std::max({a.count.load(), b.count.load(), c.count.load()})), again.seek(3, nullptr, same, &error));
    EXPECT_EQ(int(sum), shared.count);
}

// A file shorter than its header claims cannot be loaded: 0, the failure, no
// progress begun or finished, no handler called. A missing handler is refused.
TEST(SqliteDatabaseSeeker, UnreadableDatabaseAndMissingHandler) {
    TempDir dir;
    const std::string path = dir.file("short.db");
    auto bytes = enginetest::makeDatabaseBytes(4);
    bytes.resize(3 * 512);
    enginetest::writeFile(path, bytes);
    Database database;
    ErrorInfo error;
    database.open(path, &error);
    ASSERT_TRUE(error.isSuccess());
    const Table table = Table::parse("CREATE TABLE z(a text)");
    CollectingHandler handler(1);
    SeekEventHandler* handlers[] = {&handler, nullptr};
    SeekProgressIndicator progress;
    SqliteDatabaseSeeker seeker(&database, &table, nullptr);
    EXPECT_EQ(0u, seeker.seek(1, &progress, handlers, &error));
    EXPECT_EQ(-1, error.getCode());
    EXPECT_EQ("Database read fail!", error.getMessage());
    uint32_t total, done, found;
    int64_t elapsed;
    bool finished;
    progress.getProgress(total, elapsed, done, found, finished);
    EXPECT_EQ(0u, total);
    EXPECT_FALSE(finished);
    EXPECT_TRUE(handler.events.empty());

    EXPECT_EQ(0u, seeker.seek(2, &progress, handlers, &error));
    EXPECT_EQ("SeekEventHandler[1] is null!", error.getMessage());
    EXPECT_EQ("sqlite_recovery/SqliteDatabaseSeeker", error.getFileName());
}

namespace {
// Notes the progress seen at the start of every page.
class ProgressWatcher : public CollectingHandler {
public:
    explicit ProgressWatcher(const SeekProgressIndicator* progress) : CollectingHandler(2), progress_(progress) {}
    void onPageBegin(uint32_t pageNumber) override {
        uint32_t total, done, found;
        int64_t elapsed;
        bool finished;
        progress_->getProgress(total, elapsed, done, found, finished);
        seen.push_back({done, found});
        CollectingHandler::onPageBegin(pageNumber);
    }
    std::vector<std::pair<uint32_t, uint32_t>> seen;

private:
    const SeekProgressIndicator* progress_;
};
}  // namespace

// Progress is reported per 100 pages with the records found in them, then the
// rest: 250 pages give (100, x), (100, y), (50, z); 200 pages end at 200.
TEST(SqliteBlockSeeker, ReportsProgressEveryHundredPages) {
    const Table table = Table::parse("CREATE TABLE p(a integer not null, b text not null)");
    for (uint32_t pages : {250u, 200u}) {
        SCOPED_TRACE(pages);
        std::vector<uint8_t> bytes(size_t(pages) * 512, 0);
        // One record (42, "abc") on every third page from page 2.
        const uint8_t record[] = {0x01, 0x13, 42, 'a', 'b', 'c'};
        for (uint32_t p = 2; p <= pages; p += 3) std::copy(record, record + 6, bytes.begin() + (p - 1) * 512 + 40);
        SqliteBlockSeeker seeker(&table, 512, 512, nullptr);
        SeekProgressIndicator progress;
        progress.begin(pages);
        ProgressWatcher watcher(&progress);
        const uint32_t found = seeker.seek(bytes.data(), 1, pages, &progress, &watcher);
        EXPECT_EQ((pages - 2) / 3 + 1, found);
        ASSERT_EQ(pages, watcher.seen.size());
        for (uint32_t p = 1; p <= pages; ++p) {
            const uint32_t reported = (p - 1) / 100 * 100;
            const uint32_t recordsBefore = reported >= 2 ? (reported - 2) / 3 + 1 : 0;
            ASSERT_EQ(std::make_pair(reported, recordsBefore), watcher.seen[p - 1]) << "page " << p;
        }
        uint32_t total, done, recordsFound;
        int64_t elapsed;
        bool finished;
        progress.getProgress(total, elapsed, done, recordsFound, finished);
        EXPECT_EQ(pages, done);
        EXPECT_EQ(found, recordsFound);
        EXPECT_EQ(CarvedRecord({2, 40, {"I:42", "T:abc"}}), watcher.records.at(0));
    }
}

// An accepted record moves the scan to the first byte of its values; a rejected
// candidate moves it by one byte.
TEST(SqliteBlockSeeker, NextOffsetAfterAcceptedAndRejectedCandidates) {
    const Table table = Table::parse("CREATE TABLE q(a integer not null, b integer not null)");
    std::vector<uint8_t> page(512, 0);
    const uint8_t bytes[] = {0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01};
    std::copy(bytes, bytes + sizeof bytes, page.begin() + 20);
    for (bool keep : {true, false}) {
        SCOPED_TRACE(keep);
        OffsetFilter filter(keep);
        CollectingHandler handler(2);
        SqliteBlockSeeker seeker(&table, 512, 512, &filter);
        seeker.seek(page.data(), 1, 1, nullptr, &handler);
        const std::vector<uint32_t> wanted = keep ? std::vector<uint32_t>{20, 22, 24} : std::vector<uint32_t>{20, 21, 22, 23, 24, 25};
        EXPECT_EQ(wanted, filter.offsets);
    }
}

namespace {

// The scan exactly as the algorithm reads: every offset offered to inspect, every
// matched candidate decoded and offered to the filter.
std::vector<CarvedRecord> literalScan(const Table& table, const std::vector<uint8_t>& bytes, uint32_t pageSize,
                                      RecordFilter& filter) {
    const auto inspector = RecordInspector::create(&table, pageSize);
    std::vector<CarvedRecord> found;
    for (uint32_t first = 0; first + pageSize <= bytes.size(); first += pageSize) {
        const uint8_t* page = bytes.data() + first;
        const uint32_t pageNumber = first / pageSize + 1;
        auto record = std::make_shared<Record>();
        uint32_t offset = 8;
        for (;;) {
            std::vector<int64_t> varints;
            ErrorInfo error;
            uint32_t headerBytes = 0;
            const bool ok = inspector->inspect(page, offset, varints, headerBytes, &error);
            if (!error.isSuccess()) break;
            uint32_t recordBytes = 0;
            if (!ok || !inspector->inspectFieldValues(pageNumber, page, varints, offset, headerBytes, record,
                                                      recordBytes, &error) ||
                !filter.accept(record)) {
                offset += 1;
                continue;
            }
            found.push_back({pageNumber, offset, seektest::renderRecord(*record, table.getFieldCount())});
            offset += headerBytes;
        }
    }
    return found;
}

}  // namespace

// The scan passes over repeated candidates of zero bytes; what it finds must be
// exactly what the literal scan finds, with filters that refuse or keep NULL rows.
TEST(SqliteBlockSeeker, SameRecordsAsTheLiteralScanAcrossZeroRuns) {
    TempDir dir;
    const std::string path = dir.file("chat.sqlite");
    seektest::writeMessageFixture(path, dir.file("before.sqlite"), 200);
    std::vector<uint8_t> bytes = seektest::readFileBytes(path);
    const uint32_t pageSize = 1024;
    // Pages of zero runs broken by copies of real bytes, ending at varied
    // distances from the page end.
    for (uint32_t k = 0; k < 6; ++k) {
        std::vector<uint8_t> page(pageSize, 0);
        const uint32_t at = 100 + 150 * k;
        std::copy(bytes.begin() + pageSize + 200, bytes.begin() + pageSize + 200 + 40 + 10 * k, page.begin() + at);
        page[pageSize - 1 - k] = uint8_t(k);
        bytes.insert(bytes.end(), page.begin(), page.end());
    }
    const uint32_t pages = uint32_t(bytes.size() / pageSize);

    class KeepAll : public RecordFilter {
    public:
        bool accept(std::shared_ptr<Record>&) override { return true; }
    };
    const std::vector<std::string> tables = {seektest::messageTableSql(), "CREATE TABLE z(a TEXT, b INTEGER)",
                                             "CREATE TABLE r(id INTEGER PRIMARY KEY, a TEXT)"};
    for (const auto& sql : tables) {
        SCOPED_TRACE(sql);
        const Table table = Table::parse(sql);
        NonNullFilter nonNull;
        KeepAll keepAll;
        for (RecordFilter* filter : std::vector<RecordFilter*>{&nonNull, &keepAll}) {
            CollectingHandler handler(table.getFieldCount());
            SqliteBlockSeeker seeker(&table, pageSize, pageSize, filter);
            const uint32_t found = seeker.seek(bytes.data(), 1, pages, nullptr, &handler);
            const std::vector<CarvedRecord> expected = literalScan(table, bytes, pageSize, *filter);
            EXPECT_EQ(expected.size(), found);
            ASSERT_EQ(expected.size(), handler.records.size());
            for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(expected[i], handler.records[i]) << i;
            EXPECT_GT(found, 0u);
        }
    }
}

// Given the file's map, the scan does not offer the inspector the inside of live
// cells away from where their records start. For a filter that refuses what starts
// there, it hands out exactly the records of the full scan, with and without the
// overlap resolution, and never asks the filter about a misread.
TEST(SqliteBlockSeeker, SkippingLiveCellInteriorsFindsWhatTheFullScanFinds) {
    TempDir dir;
    const std::string path = dir.file("chat.sqlite");
    seektest::writeMessageFixture(path, dir.file("before.sqlite"), 300);
    {
        // Live messages whose text holds the bytes of a whole row of the table: a
        // record inside a live cell that is not where the cell's record starts.
        const std::string row("\x0a\x01\x00\x01\x04\x23\x08\x01\x01\x00"  // header: 10 bytes, 9 types
                              "\x01\x07\x59\x68\x2f\x00hello world\x02\x01",  // values
                              27);
        sqlite3* db = nullptr;
        ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO Chat_0123456789abcdef0123456789abcdef(CreateTime, Message) VALUES (1, ?)", -1,
                           &insert, nullptr);
        for (int i = 0; i < 3; ++i) {
            const std::string text = std::string(40 + 30 * i, 'q') + row + std::string(50, 'z');
            sqlite3_bind_text(insert, 1, text.data(), int(text.size()), SQLITE_TRANSIENT);
            EXPECT_EQ(SQLITE_DONE, sqlite3_step(insert));
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
        sqlite3_close(db);
    }
    const std::vector<uint8_t> bytes = seektest::readFileBytes(path);
    const uint32_t pageSize = 1024;
    const uint32_t pages = uint32_t(bytes.size() / pageSize);
    std::vector<uint32_t> roots;
    for (const std::string& root : seektest::queryColumn(path, "SELECT rootpage FROM sqlite_master WHERE rootpage > 0"))
        roots.push_back(uint32_t(std::stoul(root)));
    PageMap map;
    map.build(bytes.data(), pages, pageSize, pageSize, roots, 0);

    class RefusingMisreads : public RecordFilter {
    public:
        explicit RefusingMisreads(const PageMap* map) : map_(map) {}
        bool accept(std::shared_ptr<Record>&) override {
            ++asked;
            return !map_->insideLiveCellInterior(SqliteBlockSeeker::getCurrentPageNumber(),
                                                 SqliteBlockSeeker::getCurrentRecordOffset());
        }
        std::atomic<uint32_t> asked{0};

    private:
        const PageMap* map_;
    };
    const Table table = Table::parse(seektest::messageTableSql());
    for (const bool resolve : {false, true}) {
        SCOPED_TRACE(resolve ? "overlaps resolved" : "first match taken");
        std::vector<CarvedRecord> found[2];
        uint32_t asked[2] = {0, 0};
        for (const bool skip : {false, true}) {
            CarveOptions options;
            options.resolveOverlaps = resolve;
            options.skipLiveCellInteriors = skip ? &map : nullptr;
            RefusingMisreads filter(&map);
            CollectingHandler handler(table.getFieldCount());
            SqliteBlockSeeker seeker(&table, pageSize, pageSize, &filter, options);
            seeker.seek(bytes.data(), 1, pages, nullptr, &handler);
            found[skip] = handler.records;
            asked[skip] = filter.asked.load();
        }
        ASSERT_EQ(found[0].size(), found[1].size());
        for (size_t i = 0; i < found[0].size(); ++i) ASSERT_EQ(found[0][i], found[1][i]) << i;
        EXPECT_GT(found[0].size(), 300u);  // every live row and most deleted ones
        EXPECT_LE(asked[1] + 3, asked[0]) << asked[1] << " of " << asked[0];
    }
}

// A stop requested on the progress indicator ends each range after the page it is
// on; one requested before the seek visits no page. Either way the seek finishes.
TEST(SqliteDatabaseSeeker, AStopRequestEndsTheScanAfterThePage) {
    class StoppingHandler : public CollectingHandler {
    public:
        StoppingHandler(SeekProgressIndicator* progress, uint32_t stopAfter)
            : CollectingHandler(1), progress_(progress), stopAfter_(stopAfter) {}
        void onPageEnd(uint32_t pageNumber) override {
            CollectingHandler::onPageEnd(pageNumber);
            if (pageNumber == stopAfter_) progress_->requestStop();
        }

    private:
        SeekProgressIndicator* progress_;
        uint32_t stopAfter_;
    };
    const Table table = Table::parse("CREATE TABLE z(a text not null)");
    TempDir dir;
    const std::string path = dir.file("z.db");
    enginetest::writeFile(path, enginetest::makeDatabaseBytes(10));
    struct Case {
        uint32_t stopAfter;  // 0: requested before the seek
        std::vector<std::string> events;
    } const cases[] = {
        {3, {"B1", "E1", "B2", "E2", "B3", "E3"}},
        {0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stopAfter);
        Database database;
        ErrorInfo error;
        database.open(path, &error);
        SeekProgressIndicator progress;
        if (c.stopAfter == 0) progress.requestStop();
        StoppingHandler handler(&progress, c.stopAfter);
        SeekEventHandler* handlers[] = {&handler};
        SqliteDatabaseSeeker seeker(&database, &table, nullptr);
        seeker.seek(1, &progress, handlers, &error);
        EXPECT_TRUE(error.isSuccess());
        EXPECT_EQ(c.events, handler.events);
        uint32_t total, done, found;
        int64_t elapsed;
        bool finished;
        progress.getProgress(total, elapsed, done, found, finished);
        EXPECT_TRUE(finished);
    }
}

// A table of hundreds of columns is decided from its first serial types at
// each offset; the scan still finds exactly what the literal scan finds.
TEST(SqliteBlockSeeker, WideTableScansLikeTheLiteralScan) {
    TempDir dir;
    const std::string path = dir.file("wide.sqlite");
    std::string create = "CREATE TABLE w(";
    for (int i = 0; i < 400; ++i) create += (i ? ", c" : "c") + std::to_string(i) + (i % 2 ? " TEXT" : " INTEGER");
    create += ")";
    std::string sql = "PRAGMA page_size=4096; PRAGMA secure_delete=OFF; " + create + ";";
    for (int row = 1; row <= 12; ++row) {
        sql += "INSERT INTO w VALUES (";
        for (int i = 0; i < 400; ++i) {
            sql += (i ? ", " : "") + (i % 2 ? "'v" + std::to_string(row) + "'" : std::to_string(row * 1000 + i));
        }
        sql += ");";
    }
    sql += "DELETE FROM w WHERE c0 % 3000 = 0;";
    enginetest::createSqliteDatabase(path, sql);
    const std::vector<uint8_t> bytes = seektest::readFileBytes(path);
    const Table table = Table::parse(create);
    NonNullFilter filter;
    CollectingHandler handler(table.getFieldCount());
    SqliteBlockSeeker seeker(&table, 4096, 4096, &filter);
    const uint32_t found = seeker.seek(bytes.data(), 1, uint32_t(bytes.size() / 4096), nullptr, &handler);
    const std::vector<CarvedRecord> expected = literalScan(table, bytes, 4096, filter);
    ASSERT_EQ(expected.size(), handler.records.size());
    for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(expected[i], handler.records[i]) << i;
    EXPECT_GE(found, 12u);
}

// The mapped file scanned in slices whose memory is given back gives exactly the
// records, in the same order with the same page events, of one plain scan of the
// whole file read into a buffer, with slices of one page, a few pages and more
// than the file, on 1 and 3 threads.
TEST(SqliteDatabaseSeeker, SlicedScanOfTheMappedFileEqualsThePlainScan) {
    TempDir dir;
    const std::string path = dir.file("chat.sqlite");
    const std::string before = dir.file("before.sqlite");
    seektest::writeMessageFixture(path, before, 400);
    const Table table = Table::parse(seektest::messageTableSql());
    NonNullFilter filter;

    Database plainDb;
    ErrorInfo error;
    plainDb.open(path, &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    std::vector<uint8_t> bytes(size_t(plainDb.getPages()) * plainDb.getPageSize());
    plainDb.readPages(1, plainDb.getPages(), bytes.data(), &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    const SqliteBlockSeeker plain(&table, plainDb.getPageSize(), plainDb.getUsableSize(), &filter);
    CollectingHandler expected(table.getFieldCount());
    plain.seek(bytes.data(), 1, plainDb.getPages(), nullptr, &expected);
    ASSERT_GT(expected.records.size(), 100u);

    for (uint64_t sliceBytes : {uint64_t(1), uint64_t(3 * 1024), uint64_t(1) << 30}) {
        for (uint32_t threads : {1u, 3u}) {
            SCOPED_TRACE(std::to_string(sliceBytes) + " bytes, " + std::to_string(threads) + " threads");
            Database database;
            database.open(path, &error);
            std::vector<std::unique_ptr<CollectingHandler>> handlers;
            std::vector<SeekEventHandler*> pointers;
            for (uint32_t i = 0; i < threads; ++i) {
                handlers.push_back(std::make_unique<CollectingHandler>(table.getFieldCount()));
                pointers.push_back(handlers.back().get());
            }
            SqliteDatabaseSeeker seeker(&database, &table, &filter);
            seeker.setSliceBytes(sliceBytes);
            const uint32_t found = seeker.seek(threads, nullptr, pointers.data(), &error);
            ASSERT_TRUE(error.isSuccess()) << error.getMessage();
            std::vector<CarvedRecord> records;
            std::vector<std::string> events;
            for (auto& h : handlers) {
                records.insert(records.end(), h->records.begin(), h->records.end());
                events.insert(events.end(), h->events.begin(), h->events.end());
            }
            EXPECT_EQ(expected.records.size(), found);
            EXPECT_EQ(expected.records, records);
            EXPECT_EQ(expected.events, events);
        }
    }
}

// With ordered slices, the slice ends of all ranges come one at a time, slice by
// slice and range by range, even when one range is much slower than the others;
// a stop request in the middle still ends every range.
TEST(SqliteDatabaseSeeker, OrderedSliceEndsComeInTurnWhateverTheTiming) {
    class TurnHandler : public CollectingHandler {
    public:
        TurnHandler(uint32_t range, std::mutex* mutex, std::vector<std::pair<uint32_t, uint32_t>>* log,
                    SeekProgressIndicator* progress, uint32_t stopAfter)
            : CollectingHandler(1), range_(range), mutex_(mutex), log_(log), progress_(progress), stopAfter_(stopAfter) {}
        void onPageEnd(uint32_t pageNumber) override {
            CollectingHandler::onPageEnd(pageNumber);
            // The first range is slow: unordered, the others would end their slices first.
            if (range_ == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
            if (pageNumber == stopAfter_) progress_->requestStop();
        }
        void onSliceEnd() override {
            std::lock_guard<std::mutex> lock(*mutex_);
            log_->emplace_back(range_, slices_++);
        }

    private:
        uint32_t range_;
        std::mutex* mutex_;
        std::vector<std::pair<uint32_t, uint32_t>>* log_;
        SeekProgressIndicator* progress_;
        uint32_t stopAfter_;
        uint32_t slices_ = 0;
    };
    const Table table = Table::parse("CREATE TABLE z(a text not null)");
    TempDir dir;
    const std::string path = dir.file("z.db");
    enginetest::writeFile(path, enginetest::makeDatabaseBytes(20));  // ranges of 8, 6 and 6 pages
    const uint32_t threads = 3;
    for (const uint32_t stopAfter : {0u, 4u}) {  // 0: no stop
        SCOPED_TRACE(stopAfter);
        Database database;
        ErrorInfo error;
        database.open(path, &error);
        ASSERT_TRUE(error.isSuccess()) << error.getMessage();
        std::mutex mutex;
        std::vector<std::pair<uint32_t, uint32_t>> log;
        SeekProgressIndicator progress;
        std::vector<std::unique_ptr<TurnHandler>> handlers;
        std::vector<SeekEventHandler*> pointers;
        for (uint32_t i = 0; i < threads; ++i) {
            handlers.push_back(std::make_unique<TurnHandler>(i, &mutex, &log, &progress, stopAfter));
            pointers.push_back(handlers.back().get());
        }
        SqliteDatabaseSeeker seeker(&database, &table, nullptr);
        CarveOptions options;
        options.orderedSlices = true;
        seeker.setOptions(options);
        seeker.setSliceBytes(3 * database.getPageSize());  // slices of 3, 3, 2 and of 3, 3 pages
        seeker.seek(threads, &progress, pointers.data(), &error);
        EXPECT_TRUE(error.isSuccess());
        if (stopAfter == 0) {
            const std::vector<std::pair<uint32_t, uint32_t>> expected = {{0, 0}, {1, 0}, {2, 0}, {0, 1},
                                                                         {1, 1}, {2, 1}, {0, 2}};
            EXPECT_EQ(expected, log);
        } else {
            // Every range ended; the order holds for what was scanned.
            ASSERT_FALSE(log.empty());
            for (size_t i = 1; i < log.size(); ++i) {
                EXPECT_TRUE(std::make_pair(log[i - 1].second, log[i - 1].first) <
                            std::make_pair(log[i].second, log[i].first))
                    << i;
            }
        }
    }
}

namespace {

// Keeps, by the text of column `textColumn`, the row id each carved record reported.
class RowIdHandler : public SeekEventHandler {
public:
    explicit RowIdHandler(uint32_t textColumn) : textColumn_(textColumn) {}
    void onPageBegin(uint32_t) override {}
    void onPageEnd(uint32_t) override {}
    int onRecord(std::shared_ptr<Record>& record) override {
        const auto text = record->getFieldValue(textColumn_);
        if (text && text->isText()) rowIds.emplace_back(text->getTextValue(), SqliteBlockSeeker::getCurrentCellRowId());
        return 1;
    }
    std::vector<std::pair<std::string, int64_t>> rowIds;

private:
    uint32_t textColumn_;
};

}  // namespace

// A carved record tells its row id while its cell's prefix is intact: every live
// cell and every cell of a dropped table's freed pages. A deleted cell whose
// prefix a free block overwrote tells none, never a wrong one. The row id column
// first (not in the record) and later (NULL in the record), with row ids and
// payload lengths on both sides of the varint widths.
TEST(SqliteBlockSeeker, CarvedCellsTellTheirRowIds) {
    struct Case {
        const char* create;
        uint32_t textColumn;
        const char* insert;  // with the row id and the text to fill in
    };
    const std::vector<Case> cases = {
        {"CREATE TABLE t(id INTEGER PRIMARY KEY, a TEXT, b INTEGER)", 1, "INSERT INTO t VALUES (%ID%, '%TEXT%', 1)"},
        {"CREATE TABLE t(v INTEGER, id INTEGER PRIMARY KEY, a TEXT, b INTEGER)", 2,
         "INSERT INTO t VALUES (1, %ID%, '%TEXT%', 2)"},
    };
    const std::vector<int64_t> ids = {1, 5, 127, 128, 16383, 16384, 2097152, 300000000};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.create);
        std::map<std::string, int64_t> truth;
        std::string sql = std::string("PRAGMA secure_delete = OFF;") + c.create + ";";
        for (const int64_t id : ids) {
            for (const size_t length : {3u, 200u}) {
                const std::string text = "row" + std::to_string(id) + std::string(length, 'x');
                std::string insert = c.insert;
                insert.replace(insert.find("%ID%"), 4, std::to_string(id * 2 + (length > 3 ? 1 : 0)));
                insert.replace(insert.find("%TEXT%"), 6, text);
                truth[text] = id * 2 + (length > 3 ? 1 : 0);
                sql += insert + ";";
            }
        }
        TempDir dir;
        const std::string path = dir.file("db.sqlite");
        enginetest::createSqliteDatabase(path, sql + "DELETE FROM t WHERE id % 4 = 0;");
        const Table table = Table::parse(c.create);
        const auto carveRowIds = [&](const std::string& file) {
            Database database;
            ErrorInfo error;
            database.open(file, &error);
            EXPECT_TRUE(error.isSuccess()) << error.getMessage();
            RowIdHandler handler(c.textColumn);
            SeekEventHandler* handlers[] = {&handler};
            NonNullFilter filter;
            SqliteDatabaseSeeker(&database, &table, &filter).seek(1, nullptr, handlers, &error);
            EXPECT_TRUE(error.isSuccess()) << error.getMessage();
            return handler.rowIds;
        };

        size_t liveWithId = 0;
        for (const auto& [text, rowId] : carveRowIds(path)) {
            const auto known = truth.find(text);
            if (known == truth.end()) continue;
            EXPECT_TRUE(rowId == 0 || rowId == known->second) << text.substr(0, 12) << " " << rowId;
            if (rowId == known->second && known->second % 4 != 0) ++liveWithId;
        }
        EXPECT_EQ(size_t(std::count_if(truth.begin(), truth.end(), [](const auto& t) { return t.second % 4 != 0; })),
                  liveWithId);

        enginetest::createSqliteDatabase(path, "PRAGMA secure_delete = OFF; DROP TABLE t;");
        std::set<int64_t> freedIds;
        for (const auto& [text, rowId] : carveRowIds(path)) {
            const auto known = truth.find(text);
            if (known == truth.end()) continue;
            EXPECT_TRUE(rowId == 0 || rowId == known->second) << text.substr(0, 12) << " " << rowId;
            if (rowId == known->second) freedIds.insert(rowId);
        }
        for (const auto& [text, id] : truth)
            if (id % 4 != 0) EXPECT_EQ(1u, freedIds.count(id)) << "row id " << id << " on a freed page";
    }
}

namespace {

// Refuses every record with a serial type outside the bounds, as a filter that
// goes with CarveOptions::serialTypeBounds must.
class BoundsFilter : public RecordFilter {
public:
    explicit BoundsFilter(std::vector<CarveOptions::SerialTypeBound> bounds) : bounds_(std::move(bounds)) {}
    bool accept(std::shared_ptr<Record>& record) override {
        for (const auto& bound : bounds_) {
            const auto value = record->getFieldValue(bound.fieldIndex);
            if (!value || value->getFieldType() < bound.min || value->getFieldType() > bound.max) return false;
        }
        return true;
    }

private:
    std::vector<CarveOptions::SerialTypeBound> bounds_;
};

}  // namespace

// Bounds on serial types let the inspector refuse what the filter would refuse
// anyway: the same records, live and deleted, with the bounds as without.
TEST(SqliteBlockSeeker, SerialTypeBoundsKeepWhatTheFilterKeeps) {
    TempDir dir;
    const std::string path = dir.file("db.sqlite");
    std::string sql = "PRAGMA secure_delete = OFF;";
    for (int i = 0; i < 40; ++i) {
        const std::string name = "t" + std::to_string(i) + std::string(i % 3, 'x');
        sql += "CREATE TABLE " + name + "(a INTEGER, b TEXT); CREATE INDEX " + name + "_i ON " + name + "(b);";
        sql += "INSERT INTO " + name + " VALUES (" + std::to_string(i) + ", 'row of " + name + "');";
        if (i % 2 == 0) sql += "DROP TABLE " + name + ";";
    }
    enginetest::createSqliteDatabase(path, sql);
    const Table master = Table::parse(
        "CREATE TABLE sqlite_master(type text not null, name text not null primary key, "
        "tbl_name text, rootpage integer not null, sql text);");
    // Tables (not indexes) whose names have 3 characters, with a one-byte root page.
    const std::vector<CarveOptions::SerialTypeBound> bounds = {{0, 23, 23}, {2, 19, 19}, {3, 1, 1}};
    BoundsFilter filter(bounds);

    const auto carveWith = [&](const CarveOptions& options) {
        Database database;
        ErrorInfo error;
        database.open(path, &error);
        CollectingHandler handler(master.getFieldCount());
        SeekEventHandler* handlers[] = {&handler};
        SqliteDatabaseSeeker seeker(&database, &master, &filter);
        seeker.setOptions(options);
        seeker.seek(1, nullptr, handlers, &error);
        EXPECT_TRUE(error.isSuccess()) << error.getMessage();
        return handler.records;
    };
    CarveOptions bounded;
    bounded.serialTypeBounds = bounds;
    const auto plain = carveWith(CarveOptions());
    EXPECT_GE(plain.size(), 10u);  // live and dropped entries alike
    EXPECT_EQ(plain, carveWith(bounded));
}
