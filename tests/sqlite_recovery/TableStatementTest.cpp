#include <sqlite3.h>

#include <gtest/gtest.h>

#include "EngineTestSupport.h"
#include "SeekTestSupport.h"
#include "common/CommonException.h"
#include "sqlite_recovery/TableStatement.h"

using namespace talwen::sqlite;
using talwen::common::CommonException;
using schema::Field;

namespace {

// "name:affinity:flags" per column, flags limited to PRIMARY KEY and NOT NULL.
std::vector<std::string> describe(const Table& table) {
    std::vector<std::string> columns;
    for (const Field& field : table.getFields()) {
        columns.push_back(field.getFieldName() + ":" + std::to_string(field.getTypeAffinity()) + ":" +
                          std::to_string(field.getFlags() & (Field::kPrimaryKey | Field::kNotNull)));
    }
    return columns;
}

}  // namespace

// Constraints are not columns, untyped columns are BLOB, quoted names and
// multi-word types read as SQLite reads them; the row id follows a table
// PRIMARY KEY on a single INTEGER column.
TEST(TableStatement, ColumnsAsSqliteSeesThem) {
    struct Case {
        std::string sql;
        std::string name;
        std::vector<std::string> columns;
        int64_t rowId;
    };
    const std::vector<Case> cases = {
        {"CREATE TABLE t(a INT, b TEXT, PRIMARY KEY(a, b), UNIQUE (b), CHECK (a > 0), "
         "FOREIGN KEY (a) REFERENCES u(x) ON DELETE CASCADE)",
         "t", {"a:1:1", "b:3:1"}, -1},
        {"CREATE TABLE t(id INTEGER, v, CONSTRAINT pk PRIMARY KEY (id DESC))", "t", {"id:1:1", "v:4:0"}, 0},
        {"CREATE TABLE users (\n\t'id' INT UNSIGNED NOT NULL,\n\t'second' INT UNSIGNED NULL,\n\t'x' FLOAT NULL\n);",
         "users", {"id:1:4", "second:1:0", "x:2:0"}, -1},
        {"CREATE TABLE \"my t\"([a b] DOUBLE PRECISION DEFAULT -1.5 CHECK (\"a b\" > (0)), "
         "c VARCHAR(10) COLLATE NOCASE DEFAULT 'x,y' NOT NULL, d AS (c || 'z'), "
         "e INT GENERATED ALWAYS AS (1) STORED, f NUMERIC(10, 2)) -- note",
         "my t", {"a b:2:0", "c:3:4", "e:1:0", "f:6:0"}, -1},
        {"CREATE TEMP TABLE IF NOT EXISTS main.t(x /* no type */, \"primary\" text)", "t", {"x:4:0", "primary:3:0"}, -1},
        {"CREATE TABLE t(a INTEGER PRIMARY KEY AUTOINCREMENT, b BLOB) STRICT", "t", {"a:1:1", "b:4:0"}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sql);
        const TableStatement statement = TableStatement::parse(c.sql);
        EXPECT_EQ(TableStatement::kOrdinary, statement.kind);
        EXPECT_EQ(c.name, statement.tableName);
        ASSERT_TRUE(statement.table);
        EXPECT_EQ(c.columns, describe(*statement.table));
        EXPECT_EQ(c.rowId, statement.table->getRowIdFieldIndex());
    }
    const TableStatement quoted = TableStatement::parse(cases[3].sql);
    const Field& c = quoted.table->getFieldByFieldIndex(1);
    EXPECT_EQ(10, c.getTypeLength());
    EXPECT_EQ("'x,y'", c.getDefaultValue());
}

// The stored columns are exactly those SQLite itself lists for the same
// statements (virtual generated columns excluded: a record does not hold them).
TEST(TableStatement, StoredColumnsAgreeWithSqlite) {
    enginetest::TempDir dir;
    const std::string path = dir.file("schema.sqlite");
    const std::vector<std::string> statements = {
        "CREATE TABLE a1(x INT, y, \"z w\" TEXT, PRIMARY KEY (x, y), UNIQUE(y))",
        "CREATE TABLE a2([k] INTEGER NOT NULL DEFAULT (1 + 2), v REAL CHECK(v <> 0) REFERENCES a1(x), "
        "g AS (v * 2) VIRTUAL, s TEXT AS (k) STORED)",
        "CREATE TABLE a3('q' VARYING CHARACTER(5), r UNSIGNED BIG INT, CONSTRAINT c CHECK (r > 0))",
    };
    std::string all;
    for (const auto& s : statements) all += s + ";";
    enginetest::createSqliteDatabase(path, all);
    for (const std::string name : {"a1", "a2", "a3"}) {
        SCOPED_TRACE(name);
        const auto sql = seektest::queryColumn(path, "SELECT sql FROM sqlite_master WHERE name = '" + name + "'");
        const auto expected =
            seektest::queryColumn(path, "SELECT name FROM pragma_table_xinfo('" + name + "') WHERE hidden <> 2");
        const TableStatement statement = TableStatement::parse(sql.at(0));
        std::vector<std::string> names;
        for (const Field& field : statement.table->getFields()) names.push_back(field.getFieldName());
        EXPECT_EQ(expected, names);
    }
}

TEST(TableStatement, WithoutRowIdVirtualAndRefusals) {
    const TableStatement withoutRowId =
        TableStatement::parse("CREATE TABLE w(id INTEGER, n TEXT, PRIMARY KEY (id)) WITHOUT ROWID");
    EXPECT_EQ(TableStatement::kWithoutRowId, withoutRowId.kind);
    const TableStatement fts = TableStatement::parse("CREATE VIRTUAL TABLE users using fts4(name TEXT, surname TEXT)");
    EXPECT_EQ(TableStatement::kVirtual, fts.kind);
    EXPECT_EQ("users", fts.tableName);
    EXPECT_EQ("fts4", fts.module);
    EXPECT_FALSE(fts.table);

    const std::vector<std::pair<std::string, std::string>> refusals = {
        {"CREATE INDEX i ON t(a)", "not a CREATE TABLE statement"},
        {"CREATE TABLE t(a", "unterminated column list in the definition of t"},
        {"CREATE TABLE t AS SELECT 1", "no column list in the definition of t"},
        {"CREATE TABLE t(\"a)", "unterminated quote in [\"a)]"},
        {"CREATE TABLE t()", "empty column definition in t"},
        {"CREATE TABLE t(PRIMARY KEY (a))", "no columns in the definition of t"},
        {"", "not a CREATE TABLE statement"},
    };
    for (const auto& refusal : refusals) {
        try {
            TableStatement::parse(refusal.first);
            ADD_FAILURE() << "accepted: " << refusal.first;
        } catch (const CommonException& e) {
            EXPECT_EQ(refusal.second, e.getDebugInfo()) << refusal.first;
            EXPECT_EQ(-1, e.getCode());
        }
    }
}
