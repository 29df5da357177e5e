#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "sqlite_recovery/Record.h"
#include "sqlite_recovery/Table.h"

namespace talwen {
namespace sqlite {

// The pieces of the sqlite-carve command: carve every record of one table of
// an SQLite file with the page engine and print one JSON object per line.

// The usage text printed for a wrong command line.
extern const char* const kSqliteCarveUsage;

// `text` as a JSON string literal, quotes included. Valid UTF-8 passes through;
// each maximal ill-formed byte sequence becomes \uFFFD; control characters,
// the quote and the backslash are escaped.
std::string jsonQuote(const std::string& text);

// A real as a JSON number that reads back as the same double; null for NaN
// and the infinities, which JSON cannot express.
std::string jsonReal(double value);

// A CREATE TABLE statement with its quoted identifiers ('x', "x", [x], `x`)
// made bare words for the schema parser, which reads bare words only. Characters
// that cannot stand in a bare word become '_'; a doubled closing quote inside
// a name stands for one. A quoted value right after DEFAULT is a literal and
// stays as it is.
std::string unquoteIdentifiers(const std::string& statement);

// One output line (without the line break) for a record carved from pageNumber
// at offset, with its "state" when one is given and "header": "rebuilt" for a
// record whose first serial type was inferred: the values of all of the table's columns in column order; a
// column absent from the record is null.
std::string formatRecordJson(uint32_t pageNumber, uint32_t offset, const Table& table,
                             const Record& record, const std::string& state = std::string(),
                             bool rebuilt = false);

// Reads the CREATE TABLE text of `tableName` from the database at `path`
// through the SQLite library, opened read-only as immutable (nothing is ever
// written, not even a journal). sqlite_master and sqlite_schema give the fixed
// definition of the schema table. False with `message` set when the table is
// unknown or the schema cannot be read.
bool readTableDefinition(const std::string& path, const std::string& tableName, std::string& sql,
                         std::string& message);

// The root pages of every b-tree of the schema and the root of table tableName
// (1 for the schema table), read like readTableDefinition. False when the
// schema cannot be read or the table has no root.
bool readRootPages(const std::string& path, const std::string& tableName, std::vector<uint32_t>& roots,
                   uint32_t& tableRoot);

// Names of the tables whose name starts with tableName + "_" (the shadow
// tables a virtual table's module keeps), read like readTableDefinition.
std::vector<std::string> readShadowTables(const std::string& path, const std::string& tableName);

// The whole command: arguments without the program name. Records go to `out`,
// one line each; any failure is one line on `err`. Returns the exit status:
// 0 success, 1 failure, 2 wrong command line.
int runSqliteCarve(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

}  // namespace sqlite
}  // namespace talwen
