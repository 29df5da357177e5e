// Carving throughput over a generated message database of at least 64 MB with
// 40% of its rows deleted, on 1 and 2 threads, against a plain pass over the
// same bytes; and over a table of 1,000 columns. The database is generated once (fixed seed) and cached in the
// system temp directory.
#include <sqlite3.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "sqlite_recovery/Database.h"
#include "sqlite_recovery/Record.h"
#include "sqlite_recovery/RecordFilter.h"
#include "sqlite_recovery/SeekEventHandler.h"
#include "sqlite_recovery/SqliteDatabaseSeeker.h"
#include "sqlite_recovery/Table.h"

using namespace talwen::sqlite;

namespace {

const char kCreate[] =
    "CREATE TABLE Chat_5f1e0c6a9b8d4e2f7a3c1b0d9e8f7a6b(TableVer integer default 1, MesLocalID integer "
    "primary key autoincrement, MesSvrID integer default 0, CreateTime integer default 0, Message text, "
    "Status integer default 0, ImgStatus integer default 2, Type integer, Des integer)";
constexpr uint64_t kTargetBytes = 64ull << 20;

void exec(sqlite3* db, const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        std::fprintf(stderr, "%s: %s\n", sql, message ? message : "?");
        std::abort();
    }
}

std::string generate() {
    const auto path = std::filesystem::temp_directory_path() / "wcr_carve_bench_64mb_v1.sqlite";
    if (std::filesystem::exists(path) && std::filesystem::file_size(path) >= kTargetBytes) return path.string();
    const auto partial = path.string() + ".partial";
    std::filesystem::remove(partial);
    sqlite3* db = nullptr;
    sqlite3_open(partial.c_str(), &db);
    exec(db, "PRAGMA page_size=4096; PRAGMA secure_delete=OFF; PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;");
    exec(db, kCreate);
    exec(db, "BEGIN");
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO Chat_5f1e0c6a9b8d4e2f7a3c1b0d9e8f7a6b(MesSvrID, CreateTime, Message, Status, "
                       "Type, Des) VALUES (?, ?, ?, ?, ?, ?)",
                       -1, &insert, nullptr);
    std::mt19937_64 random(42);
    const char* words[] = {"ok", "see you", "\xe5\xa5\xbd\xe7\x9a\x84", "meeting at 10", "\xe6\x99\x9a\xe5\xae\x89",
                           "<msg><img src=\"x\"/></msg>", "haha", "\xe5\x9c\xa8\xe5\x90\x97"};
    int64_t time = 1400000000;
    uint64_t approxBytes = 0;
    for (int64_t i = 1; approxBytes < kTargetBytes * 105 / 100; ++i) {
        std::string message;
        const int wordCount = 1 + int(random() % 40);
        for (int w = 0; w < wordCount; ++w) {
            message += words[random() % 8];
            message += ' ';
        }
        time += int64_t(random() % 600);
        sqlite3_bind_int64(insert, 1, int64_t(random() >> 1));
        sqlite3_bind_int64(insert, 2, time);
        sqlite3_bind_text(insert, 3, message.c_str(), int(message.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(insert, 4, int64_t(random() % 5));
        sqlite3_bind_int64(insert, 5, (random() % 4 == 0) ? 3 : 1);
        sqlite3_bind_int64(insert, 6, int64_t(random() % 2));
        sqlite3_step(insert);
        sqlite3_reset(insert);
        approxBytes += message.size() + 40;
    }
    sqlite3_finalize(insert);
    exec(db, "COMMIT");
    exec(db, "DELETE FROM Chat_5f1e0c6a9b8d4e2f7a3c1b0d9e8f7a6b WHERE abs(random()) % 100 < 40");
    sqlite3_close(db);
    std::filesystem::rename(partial, path);
    return path.string();
}

// The whole file, loaded once for all benchmarks.
struct Fixture {
    Fixture() {
        path = generate();
        talwen::common::ErrorInfo error;
        database.open(path, &error);
        if (error.isSuccess()) data = database.readAllPages(&error);
        if (!error.isSuccess()) {
            std::fprintf(stderr, "%s\n", error.getMessage().c_str());
            std::abort();
        }
        bytes = uint64_t(database.getPages()) * database.getPageSize();
        table = std::make_unique<Table>(Table::parse(kCreate));
    }
    std::string path;
    Database database;
    ByteArray data;
    uint64_t bytes = 0;
    std::unique_ptr<Table> table;
};

Fixture& fixture() {
    static Fixture instance;
    return instance;
}

// What the carving command keeps: records with at least one value.
class NonNullFilter : public RecordFilter {
public:
    bool accept(std::shared_ptr<Record>& record) override {
        for (const auto& value : record->getFieldValues()) {
            if (!value->isNull()) return true;
        }
        return false;
    }
};

class CountingHandler : public SeekEventHandler {
public:
    void onPageBegin(uint32_t) override {}
    void onPageEnd(uint32_t) override {}
    int onRecord(std::shared_ptr<Record>&) override { return 1; }
};

void BM_Carve(benchmark::State& state) {
    Fixture& f = fixture();
    const uint32_t threads = uint32_t(state.range(0));
    NonNullFilter filter;
    std::vector<CountingHandler> handlers(threads);
    std::vector<SeekEventHandler*> pointers;
    for (auto& h : handlers) pointers.push_back(&h);
    uint32_t found = 0;
    for (auto _ : state) {
        talwen::common::ErrorInfo error;
        SqliteDatabaseSeeker seeker(&f.database, f.table.get(), &filter);
        found = seeker.seek(threads, nullptr, pointers.data(), &error);
        benchmark::DoNotOptimize(found);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(f.bytes));
    state.counters["records"] = found;
    state.counters["file_MB"] = double(f.bytes) / 1e6;
}
BENCHMARK(BM_Carve)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// A contact table of 1,000 columns (about 20 MB, a third of its rows deleted):
// the work per offset must not grow with the column count.
constexpr int kWideColumns = 1000;

std::string wideCreate() {
    std::string sql = "CREATE TABLE WideContact(";
    for (int i = 0; i < kWideColumns; ++i) {
        sql += (i ? ", c" : "c") + std::to_string(i) + (i % 2 ? " TEXT" : " INTEGER");
    }
    return sql + ")";
}

std::string generateWide() {
    const auto path = std::filesystem::temp_directory_path() / "wcr_carve_bench_wide_v2.sqlite";
    if (std::filesystem::exists(path)) return path.string();
    const auto partial = path.string() + ".partial";
    std::filesystem::remove(partial);
    sqlite3* db = nullptr;
    sqlite3_open(partial.c_str(), &db);
    exec(db, "PRAGMA page_size=4096; PRAGMA secure_delete=OFF; PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;");
    exec(db, wideCreate().c_str());
    exec(db, "BEGIN");
    std::string insert = "INSERT INTO WideContact VALUES (";
    for (int i = 0; i < kWideColumns; ++i) insert += i ? ", ?" : "?";
    insert += ")";
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, insert.c_str(), -1, &statement, nullptr);
    std::mt19937_64 random(7);
    // Rows of about 3.5 KB, each on a page of its own.
    for (int row = 0; row < 5000; ++row) {
        for (int i = 0; i < kWideColumns; ++i) {
            if (i % 2) {
                const std::string text(1 + random() % 3, char('a' + random() % 26));
                sqlite3_bind_text(statement, i + 1, text.c_str(), int(text.size()), SQLITE_TRANSIENT);
            } else {
                sqlite3_bind_int64(statement, i + 1, int64_t(random() % 1000));
            }
        }
        sqlite3_step(statement);
        sqlite3_reset(statement);
    }
    sqlite3_finalize(statement);
    exec(db, "COMMIT");
    exec(db, "DELETE FROM WideContact WHERE rowid % 3 = 0");
    sqlite3_close(db);
    std::filesystem::rename(partial, path);
    return path.string();
}

void BM_CarveWideTable(benchmark::State& state) {
    static const std::string path = generateWide();
    Database database;
    talwen::common::ErrorInfo error;
    database.open(path, &error);
    if (error.isSuccess()) database.readAllPages(&error);
    if (!error.isSuccess()) {
        state.SkipWithError(error.getMessage().c_str());
        return;
    }
    const Table table = Table::parse(wideCreate());
    NonNullFilter filter;
    CountingHandler handler;
    SeekEventHandler* handlers[] = {&handler};
    uint32_t found = 0;
    for (auto _ : state) {
        SqliteDatabaseSeeker seeker(&database, &table, &filter);
        found = seeker.seek(1, nullptr, handlers, &error);
        benchmark::DoNotOptimize(found);
    }
    const int64_t bytes = int64_t(database.getPages()) * database.getPageSize();
    state.SetBytesProcessed(int64_t(state.iterations()) * bytes);
    state.counters["records"] = found;
    state.counters["file_MB"] = double(bytes) / 1e6;
}
BENCHMARK(BM_CarveWideTable)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// Reads every byte of the same buffer once.
void BM_ReadEveryByte(benchmark::State& state) {
    Fixture& f = fixture();
    const uint8_t* data = f.data.get();
    for (auto _ : state) {
        uint64_t sum = 0;
        for (uint64_t i = 0; i < f.bytes; ++i) sum += data[i];
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(f.bytes));
}
BENCHMARK(BM_ReadEveryByte)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
