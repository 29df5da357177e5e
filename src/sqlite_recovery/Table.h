#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sqlite_recovery/Field.h"

namespace talwen {
namespace sqlite {
namespace schema {

// A parsed CREATE TABLE statement: the table name and its columns in order.
// fields[i] always has fieldIndex i. Read-only use from several threads is safe.
class Table {
public:
    explicit Table(const std::string& tableName);

    // Parses "CREATE TABLE name(column, ...)" as stored in sqlite_master. Throws
    // CommonException (code -1, function "parse") for a statement outside that
    // form (TEMP, IF NOT EXISTS, a quoted or qualified name, AS SELECT) and
    // passes on the column parser's exceptions.
    static Table parse(const std::string& statement);

    // Appends a copy; throws unless field.getFieldIndex() equals getFieldCount().
    // A name already present keeps pointing at its first column.
    void pushBack(const Field& field);

    // Throw CommonException when the index or the exact (case-sensitive) name is unknown.
    const Field& getFieldByFieldIndex(uint32_t index) const;
    const Field& getFieldByFieldName(const std::string& name) const;

    uint32_t getFieldCount() const { return static_cast<uint32_t>(fields_.size()); }
    const std::string& getTableName() const { return tableName_; }
    const std::vector<Field>& getFields() const { return fields_; }

    // Copies of the columns declared PRIMARY KEY, in column order.
    std::vector<Field> getPrimaryKeyFields() const;

    // Index of the column that aliases the row id: the single PRIMARY KEY column
    // when there is exactly one and its affinity is INTEGER; -1 otherwise. Such a
    // column is stored as NULL in the record, its value being the cell's row id.
    int64_t getRowIdFieldIndex() const;

    // The name is a plain identifier not starting with a digit and every column is valid.
    bool isValid() const;

private:
    std::string tableName_;
    std::map<std::string, uint32_t> fieldIndexByName_;
    std::vector<Field> fields_;
};

}  // namespace schema

// The page engine refers to the parsed table as talwen::sqlite::Table as well.
using schema::Table;

}  // namespace sqlite
}  // namespace talwen
