// The schema parsers over arbitrary statements: the pipeline's grammar and
// SQLite's whole CREATE TABLE grammar. A refusal is a CommonException, nothing else.
#include <cstdint>
#include <string>

#include "common/CommonException.h"
#include "sqlite_recovery/Table.h"
#include "sqlite_recovery/TableStatement.h"

using namespace talwen;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 64 * 1024) return 0;
    const std::string statement(reinterpret_cast<const char*>(data), size);
    try {
        const sqlite::Table table = sqlite::Table::parse(statement);
        (void)table.isValid();
    } catch (const common::CommonException&) {
    }
    try {
        const sqlite::TableStatement parsed = sqlite::TableStatement::parse(statement);
        if (parsed.table) (void)parsed.table->isValid();
    } catch (const common::CommonException&) {
    }
    return 0;
}
