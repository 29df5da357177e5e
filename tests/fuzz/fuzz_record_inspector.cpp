// The record inspector over an arbitrary page: every offset judged by the plain
// and the page-tail inspect (which must agree), matches decoded.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "sqlite_recovery/Record.h"
#include "sqlite_recovery/RecordInspector.h"
#include "sqlite_recovery/Table.h"

using namespace talwen;

namespace {

const sqlite::Table& tableOf(uint8_t which) {
    static const sqlite::Table tables[] = {
        sqlite::Table::parse("CREATE TABLE t(id INTEGER PRIMARY KEY, n INTEGER, s TEXT, b BLOB, r REAL)"),
        sqlite::Table::parse("CREATE TABLE Chat_x(TableVer integer default 1, MesLocalID integer primary key "
                             "autoincrement, MesSvrID integer default 0, CreateTime integer default 0, Message "
                             "text, Status integer default 0, ImgStatus integer default 2, Type integer, Des integer)"),
        sqlite::Table::parse("CREATE TABLE w(a TEXT, b TEXT, c INTEGER, d TEXT, e TEXT, f TEXT, g INTEGER, h TEXT, "
                             "i TEXT, j TEXT, k INTEGER, l TEXT)"),
    };
    return tables[which % 3];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 8193) return 0;
    const sqlite::Table& table = tableOf(data[0]);
    const std::vector<uint8_t> page(data + 1, data + size);
    const uint32_t length = static_cast<uint32_t>(page.size());
    const auto inspector = sqlite::RecordInspector::create(&table, length);
    if (!inspector) return 0;
    std::vector<int64_t> varints, tailVarints;
    sqlite::RecordInspector::PageTail tail;
    tail.reset(page.data());
    for (uint32_t offset = 0; offset < length; ++offset) {
        uint32_t headerBytes = 0, tailHeaderBytes = 0;
        common::ErrorInfo error, tailError;
        const bool plain = inspector->inspect(page.data(), offset, varints, headerBytes, &error);
        const bool fast = inspector->inspect(page.data(), offset, tailVarints, tailHeaderBytes, &tailError, tail);
        // The page-tail path is an optimisation: it must decide as the plain one does.
        if (plain != fast || error.getCode() != tailError.getCode()) std::abort();
        if (!plain) continue;
        auto record = std::make_shared<sqlite::Record>();
        uint32_t recordBytes = 0;
        inspector->inspectFieldValues(1, page.data(), varints, offset, headerBytes, record, recordBytes, &error);
    }
    return 0;
}
