// The page engine over arbitrary bytes: the header check, the b-tree walk from
// every root the header allows, and the carving seek of a small table.
#include <cstdint>
#include <memory>

#include "FuzzSupport.h"
#include "common/CommonException.h"
#include "sqlite_recovery/Database.h"
#include "sqlite_recovery/SqliteDatabaseSeeker.h"
#include "sqlite_recovery/Table.h"
#include "sqlite_recovery/TableBtree.h"

using namespace talwen;

namespace {

struct CountingHandler : sqlite::SeekEventHandler {
    uint64_t records = 0;
    void onPageBegin(uint32_t) override {}
    void onPageEnd(uint32_t) override {}
    int onRecord(std::shared_ptr<sqlite::Record>& record) override {
        records += record ? 1 : 0;
        return 1;
    }
};

const sqlite::Table& carvedTable() {
    static const sqlite::Table table =
        sqlite::Table::parse("CREATE TABLE t(id INTEGER PRIMARY KEY, n INTEGER, s TEXT, b BLOB, r REAL)");
    return table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    const std::string path = wcrfuzz::writeScratch("page_engine.db", data, size);
    sqlite::Database database;
    database.setAcceptUtf16(true);
    common::ErrorInfo error;
    database.open(path, &error);
    if (!error.isSuccess()) return 0;
    database.keepWholePages();
    if (!database.readAllPages(&error) || !error.isSuccess()) return 0;
    for (uint32_t root = 1; root <= database.getPages() && root <= 8; ++root) {
        sqlite::TableBtree tree(common::EntityBase::kObtainBySqlite);
        tree.setRootPage(root);
        common::ErrorInfo walkError;
        tree.collectPages(&database, &walkError);
    }
    CountingHandler handler;
    sqlite::SeekEventHandler* handlers[] = {&handler};
    sqlite::SqliteDatabaseSeeker seeker(&database, &carvedTable(), nullptr);
    seeker.seek(1, nullptr, handlers, &error);
    return 0;
}
