#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "sqldb/ColValue.h"

namespace talwen {
namespace sqldb {

class SqliteAssistant;

// A whole query result held in memory: column names, a name index that ignores
// ASCII letter case (the first of two equal names wins), and the rows. Filled only
// by SqliteAssistant::query. Lookups out of range throw CommonException.
class ResultSet {
public:
    using Row = std::vector<std::shared_ptr<ColValue>>;

    ResultSet() = default;

    size_t getColCount() const { return colNames_.size(); }
    size_t getRowCount() const { return rows_.size(); }
    std::string getColName(uint32_t colIndex) const;
    const Row& getRow(uint32_t rowIndex) const;
    std::shared_ptr<ColValue> getValue(uint32_t rowIndex, uint32_t colIndex) const;
    std::shared_ptr<ColValue> getValue(uint32_t rowIndex, const std::string& colName) const;
    std::vector<std::shared_ptr<ColValue>> listColValues(uint32_t colIndex) const;
    std::vector<std::shared_ptr<ColValue>> listColValues(const std::string& colName) const;
    // The index getValue(row, colName) would use, or nothing when no column has the
    // name; resolving it once serves every row.
    std::optional<uint32_t> lookupColIndex(const std::string& colName) const;

    void clear();

    static constexpr uint32_t kPrintTabular = 0x1;
    // Writes the names (tabular) and every row; returns the number of rows written.
    size_t print(std::ostream& out, uint32_t flags) const;

private:
    friend class SqliteAssistant;

    void addColName(const std::string& name);
    void addRow(Row row) { rows_.push_back(std::move(row)); }
    uint32_t findColIndex(const std::string& colName, const char* function) const;

    std::vector<std::string> colNames_;
    std::map<std::string, uint32_t> nameIndex_;
    std::vector<Row> rows_;
};

}  // namespace sqldb
}  // namespace talwen
