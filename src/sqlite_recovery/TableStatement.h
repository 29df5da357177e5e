#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sqlite_recovery/Table.h"

namespace talwen {
namespace sqlite {
namespace schema {

// A CREATE TABLE statement of sqlite_master read the way SQLite reads it, for
// carving any table and not only the messenger's: quoted names, multi-word
// types, a column without a type (BLOB affinity), every column constraint,
// table constraints (which are not columns; a table PRIMARY KEY marks its
// columns), TEMP, IF NOT EXISTS, a schema-qualified name, comments, and the
// table options WITHOUT ROWID and STRICT. Virtual generated columns are left
// out, since a record does not store them.
//
// Table::parse keeps its narrower grammar for the messenger pipeline.
struct TableStatement {
    enum Kind {
        kOrdinary,     // rows in a table b-tree: `table` describes their records
        kWithoutRowId, // rows in an index b-tree, primary key columns first
        kVirtual,      // rows kept by a module, usually in shadow tables
    };
    Kind kind = kOrdinary;
    std::string tableName;
    // The module of a virtual table (fts4, rtree, ...), as written.
    std::string module;
    // The columns in declaration order; null for a virtual table.
    std::shared_ptr<Table> table;

    // Throws CommonException (code -1, function "parseTableStatement") with a
    // one-line reason when the text is not a CREATE TABLE statement.
    static TableStatement parse(const std::string& statement);
};

}  // namespace schema

using schema::TableStatement;

}  // namespace sqlite
}  // namespace talwen
