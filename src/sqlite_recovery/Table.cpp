#include "sqlite_recovery/Table.h"

#include "common/CommonException.h"

#define WCR_UNIT "sqlite_recovery/Table"

namespace talwen {
namespace sqlite {
namespace schema {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isWordChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

size_t skipBlanks(const std::string& text, size_t position) {
    while (position < text.size() && isBlank(text[position])) ++position;
    return position;
}

// Consumes `word` (ASCII, case-insensitive) at position.
bool takeWord(const std::string& text, size_t& position, const char* word) {
    size_t i = position;
    for (; *word != '\0'; ++word, ++i) {
        if (i >= text.size()) return false;
        char c = text[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != *word) return false;
    }
    position = i;
    return true;
}

// Recognises ^\s*CREATE\s+TABLE\s+(\w+)\s*\((.*)\);*\s* (case-insensitive) on a
// text without line breaks. The column list runs to the last closing
// parenthesis, which may only be followed by semicolons and then blanks.
bool matchCreateTable(const std::string& text, std::string& tableName, std::string& columns) {
    size_t position = skipBlanks(text, 0);
    if (!takeWord(text, position, "CREATE")) return false;
    size_t next = skipBlanks(text, position);
    if (next == position) return false;
    position = next;
    if (!takeWord(text, position, "TABLE")) return false;
    next = skipBlanks(text, position);
    if (next == position) return false;
    const size_t nameStart = next;
    position = next;
    while (position < text.size() && isWordChar(text[position])) ++position;
    if (position == nameStart) return false;
    const size_t nameEnd = position;
    position = skipBlanks(text, position);
    if (position >= text.size() || text[position] != '(') return false;
    const size_t listStart = position + 1;

    const size_t close = text.rfind(')');
    if (close == std::string::npos || close < listStart) return false;
    size_t tail = close + 1;
    while (tail < text.size() && text[tail] == ';') ++tail;
    if (skipBlanks(text, tail) != text.size()) return false;

    tableName = text.substr(nameStart, nameEnd - nameStart);
    columns = text.substr(listStart, close - listStart);
    return true;
}

}  // namespace

Table::Table(const std::string& tableName) : tableName_(tableName) {}

Table Table::parse(const std::string& statement) {
    // Line breaks (and vertical bars) become blanks, so that a column list
    // written over several lines reads as one line.
    std::string working = statement;
    for (char& c : working) {
        if (c == '\r' || c == '\n' || c == '|') c = ' ';
    }

    std::string tableName;
    std::string columns;
    if (!matchCreateTable(working, tableName, columns)) {
        WCR_THROW("Parse DDL: getTableName[" + working + "]!", "parse");
    }

    Table table(tableName);
    Field::Cursor cursor(columns);
    // Each Field::parse consumes at least one word, so the loop ends.
    for (int32_t fieldIndex = 0;; ++fieldIndex) {
        if (skipBlanks(columns, cursor.begin) >= cursor.end) return table;
        const std::shared_ptr<Field> field = Field::parse(columns, cursor, fieldIndex);
        if (!field) {
            WCR_THROW("Parse DDL: field is nullptr[" + columns.substr(cursor.begin, cursor.end - cursor.begin) +
                          "]!",
                      "parse");
        }
        table.pushBack(*field);
    }
}

void Table::pushBack(const Field& field) {
    if (field.getFieldIndex() < 0 || static_cast<size_t>(field.getFieldIndex()) != fields_.size()) {
        WCR_THROW("push_back index[" + std::to_string(fields_.size()) + "] != fieldIndex[" +
                      std::to_string(static_cast<uint32_t>(field.getFieldIndex())) +
                      "], please push_back field successively!",
                  "pushBack");
    }
    fields_.push_back(field);
    fieldIndexByName_.emplace(field.getFieldName(), static_cast<uint32_t>(fields_.size() - 1));
}

const Field& Table::getFieldByFieldIndex(uint32_t index) const {
    if (index >= fields_.size()) {
        WCR_THROW("Field Index[" + std::to_string(index) + "] of Table[" + tableName_ + "] overflow!",
                  "getFieldByFieldIndex");
    }
    return fields_[index];
}

const Field& Table::getFieldByFieldName(const std::string& name) const {
    const auto found = fieldIndexByName_.find(name);
    if (found == fieldIndexByName_.end()) {
        WCR_THROW("Field[" + name + "] in Table[" + tableName_ + "] not found!", "getFieldByFieldName");
    }
    return fields_[found->second];
}

std::vector<Field> Table::getPrimaryKeyFields() const {
    std::vector<Field> primaryKeys;
    for (const Field& field : fields_) {
        if (field.isPrimaryKey()) primaryKeys.push_back(field);
    }
    return primaryKeys;
}

int64_t Table::getRowIdFieldIndex() const {
    int64_t found = -1;
    for (const Field& field : fields_) {
        if (!field.isPrimaryKey()) continue;
        if (found >= 0) return -1;
        found = field.getFieldIndex();
    }
    if (found >= 0 && fields_[static_cast<size_t>(found)].getTypeAffinity() != Field::kInteger) return -1;
    return found;
}

bool Table::isValid() const {
    if (tableName_.empty() || isDigit(tableName_[0])) return false;
    for (char c : tableName_) {
        if (!isWordChar(c)) return false;
    }
    for (const Field& field : fields_) {
        if (!field.isValid()) return false;
    }
    return true;
}

}  // namespace schema
}  // namespace sqlite
}  // namespace talwen
