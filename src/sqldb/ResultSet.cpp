#include "sqldb/ResultSet.h"

#include "common/CommonException.h"

#define WCR_UNIT "sqldb/ResultSet"

namespace talwen {
namespace sqldb {

namespace {

// Column names compare with ASCII rules only: other bytes (UTF-8) stay as they are.
std::string asciiUpper(const std::string& text) {
    std::string upper(text);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return upper;
}

std::string overflow(const char* quantity, size_t index, size_t count) {
    return std::string(quantity) + "[" + std::to_string(index) + "] overflow[" +
           std::to_string(count) + "]!";
}

}  // namespace

void ResultSet::addColName(const std::string& name) {
    nameIndex_.emplace(asciiUpper(name), static_cast<uint32_t>(colNames_.size()));
    colNames_.push_back(name);
}

uint32_t ResultSet::findColIndex(const std::string& colName, const char* function) const {
    const auto found = nameIndex_.find(asciiUpper(colName));
    if (found == nameIndex_.end()) WCR_THROW("colName[" + colName + "] not exist!", function);
    return found->second;
}

std::optional<uint32_t> ResultSet::lookupColIndex(const std::string& colName) const {
    const auto found = nameIndex_.find(asciiUpper(colName));
    if (found == nameIndex_.end()) return std::nullopt;
    return found->second;
}

std::string ResultSet::getColName(uint32_t colIndex) const {
    if (colIndex >= colNames_.size())
        WCR_THROW(overflow("colIndex", colIndex, colNames_.size()), "getColName");
    return colNames_[colIndex];
}

const ResultSet::Row& ResultSet::getRow(uint32_t rowIndex) const {
    if (rowIndex >= rows_.size()) WCR_THROW(overflow("rowIndex", rowIndex, rows_.size()), "getRow");
    return rows_[rowIndex];
}

std::shared_ptr<ColValue> ResultSet::getValue(uint32_t rowIndex, uint32_t colIndex) const {
    const Row& row = getRow(rowIndex);
    if (colIndex >= colNames_.size())
        WCR_THROW(overflow("colIndex", colIndex, colNames_.size()), "getValue");
    return row[colIndex];
}

std::shared_ptr<ColValue> ResultSet::getValue(uint32_t rowIndex, const std::string& colName) const {
    // A missing row is reported before a missing column.
    getRow(rowIndex);
    return getValue(rowIndex, findColIndex(colName, "getValue"));
}

std::vector<std::shared_ptr<ColValue>> ResultSet::listColValues(uint32_t colIndex) const {
    if (colIndex >= colNames_.size())
        WCR_THROW(overflow("colIndex", colIndex, colNames_.size()), "listColValues");
    std::vector<std::shared_ptr<ColValue>> values;
    values.reserve(rows_.size());
    for (const Row& row : rows_) values.push_back(row[colIndex]);
    return values;
}

std::vector<std::shared_ptr<ColValue>> ResultSet::listColValues(const std::string& colName) const {
    return listColValues(findColIndex(colName, "listColValues"));
}

void ResultSet::clear() {
    colNames_.clear();
    nameIndex_.clear();
    rows_.clear();
}

size_t ResultSet::print(std::ostream& out, uint32_t flags) const {
    const bool tabular = (flags & kPrintTabular) != 0;
    if (tabular) {
        for (size_t i = 0; i < colNames_.size(); ++i) out << (i ? "\t" : "") << colNames_[i];
        out << '\n';
        out.flush();
    }
    for (const Row& row : rows_) {
        if (tabular) {
            for (size_t i = 0; i < row.size(); ++i) out << (i ? "\t" : "") << *row[i];
            out << '\n';
            out.flush();
        } else {
            for (size_t i = 0; i < row.size(); ++i) {
                out << colNames_[i] << ": " << *row[i] << '\n';
                out.flush();
            }
            out << '\n';
            out.flush();
        }
    }
    return rows_.size();
}

}  // namespace sqldb
}  // namespace talwen
