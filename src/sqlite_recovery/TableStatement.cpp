#include "sqlite_recovery/TableStatement.h"

#include <cstdlib>

#include "common/CommonException.h"

#define WCR_UNIT "sqlite_recovery/TableStatement"

namespace talwen {
namespace sqlite {
namespace schema {

namespace {

struct Token {
    enum Kind { kWord, kQuoted, kString, kPunct };
    Kind kind = kPunct;
    std::string text;  // quotes removed, doubled quotes made single
};

bool isWordByte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '$' || c >= 0x80;
}

[[noreturn]] void refuse(const std::string& reason) { WCR_THROW(reason, "parseTableStatement"); }

// SQL tokens of the statement; comments and blanks are dropped.
std::vector<Token> tokenize(const std::string& sql) {
    std::vector<Token> tokens;
    const size_t n = sql.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(sql[i]);
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
            ++i;
        } else if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
            while (i < n && sql[i] != '\n') ++i;
        } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
            const size_t end = sql.find("*/", i + 2);
            i = end == std::string::npos ? n : end + 2;
        } else if (c == '"' || c == '\'' || c == '`' || c == '[') {
            const char close = c == '[' ? ']' : static_cast<char>(c);
            Token token;
            token.kind = c == '\'' ? Token::kString : Token::kQuoted;
            size_t j = i + 1;
            for (;;) {
                if (j >= n) refuse("unterminated quote in [" + sql.substr(i, 40) + "]");
                if (sql[j] == close) {
                    if (close != ']' && j + 1 < n && sql[j + 1] == close) {
                        token.text += close;
                        j += 2;
                        continue;
                    }
                    break;
                }
                token.text += sql[j++];
            }
            tokens.push_back(std::move(token));
            i = j + 1;
        } else if (isWordByte(c)) {
            size_t j = i;
            while (j < n && isWordByte(static_cast<unsigned char>(sql[j]))) ++j;
            // A number with a decimal point or a signed exponent stays one token.
            if (c >= '0' && c <= '9') {
                while (j < n && (isWordByte(static_cast<unsigned char>(sql[j])) || sql[j] == '.' ||
                                 ((sql[j] == '+' || sql[j] == '-') && (sql[j - 1] == 'e' || sql[j - 1] == 'E')))) {
                    ++j;
                }
            }
            tokens.push_back({Token::kWord, sql.substr(i, j - i)});
            i = j;
        } else {
            tokens.push_back({Token::kPunct, std::string(1, static_cast<char>(c))});
            ++i;
        }
    }
    return tokens;
}

bool sameWord(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        char x = a[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (x != b[i]) return false;
    }
    return i == a.size() && b[i] == '\0';
}

bool sameWordIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

class Reader {
public:
    Reader(const std::vector<Token>& tokens, size_t begin, size_t end) : tokens_(tokens), at_(begin), end_(end) {}

    bool done() const { return at_ >= end_; }
    const Token& peek() const { return tokens_[at_]; }
    const Token& next() { return tokens_[at_++]; }
    bool isWord(const char* word) const { return !done() && peek().kind == Token::kWord && sameWord(peek().text, word); }
    bool isPunct(char c) const { return !done() && peek().kind == Token::kPunct && peek().text[0] == c; }
    bool isName() const { return !done() && peek().kind != Token::kPunct; }
    bool take(const char* word) {
        if (!isWord(word)) return false;
        ++at_;
        return true;
    }
    bool takePunct(char c) {
        if (!isPunct(c)) return false;
        ++at_;
        return true;
    }
    // Skips a parenthesised group starting at '('; returns its text.
    std::string skipGroup() {
        std::string text;
        int depth = 0;
        do {
            const Token& token = next();
            if (token.kind == Token::kPunct && token.text[0] == '(') ++depth;
            if (token.kind == Token::kPunct && token.text[0] == ')') --depth;
            if (!text.empty() && token.kind != Token::kPunct) text += ' ';
            text += token.kind == Token::kString ? "'" + token.text + "'" : token.text;
        } while (depth > 0 && !done());
        return text;
    }
    size_t position() const { return at_; }

private:
    const std::vector<Token>& tokens_;
    size_t at_;
    size_t end_;
};

bool startsConstraint(const Reader& reader) {
    static const char* const kWords[] = {"CONSTRAINT", "PRIMARY", "NOT",     "NULL",      "UNIQUE", "CHECK",
                                         "DEFAULT",    "COLLATE", "REFERENCES", "GENERATED", "AS"};
    for (const char* word : kWords) {
        if (reader.isWord(word)) return true;
    }
    return false;
}

// Names of the columns of "( name [COLLATE c] [ASC|DESC], ... )".
std::vector<std::string> indexedColumns(Reader& reader) {
    std::vector<std::string> names;
    if (!reader.takePunct('(')) return names;
    bool expectName = true;
    int depth = 1;
    while (!reader.done() && depth > 0) {
        if (reader.isPunct('(')) {
            ++depth;
        } else if (reader.isPunct(')')) {
            --depth;
        } else if (reader.isPunct(',') && depth == 1) {
            expectName = true;
            reader.next();
            continue;
        } else if (expectName && depth == 1 && reader.isName()) {
            names.push_back(reader.peek().text);
            expectName = false;
        }
        reader.next();
    }
    return names;
}

// One column definition; false for a virtual generated column, which a record
// does not store.
bool readColumn(Reader& reader, Table& table, std::shared_ptr<Field>& field) {
    if (!reader.isName()) refuse("column name expected");
    const std::string name = reader.next().text;
    std::string type;
    while (reader.isName() && !startsConstraint(reader)) {
        if (!type.empty()) type += ' ';
        type += reader.next().text;
    }
    std::vector<std::string> sizes;
    if (!type.empty() && reader.isPunct('(')) {
        reader.next();
        std::string number;
        while (!reader.done() && !reader.isPunct(')')) {
            const Token& token = reader.next();
            if (token.kind == Token::kPunct && token.text[0] == ',') {
                sizes.push_back(number);
                number.clear();
            } else {
                number += token.text;
            }
        }
        reader.takePunct(')');
        sizes.push_back(number);
    }
    const int32_t index = static_cast<int32_t>(table.getFieldCount());
    const auto size = [](const std::string& text) { return static_cast<int32_t>(std::strtol(text.c_str(), nullptr, 10)); };
    if (sizes.size() >= 2) {
        field = std::make_shared<Field>(index, name, type, size(sizes[0]), size(sizes[1]));
    } else if (sizes.size() == 1) {
        field = std::make_shared<Field>(index, name, type, size(sizes[0]));
    } else {
        field = std::make_shared<Field>(index, name, type);
    }

    bool generated = false;
    bool stored = false;
    while (!reader.done()) {
        if (reader.take("CONSTRAINT")) {
            if (reader.isName()) reader.next();
        } else if (reader.take("PRIMARY")) {
            reader.take("KEY");
            field->setPrimaryKey();
        } else if (reader.take("NOT")) {
            if (reader.take("NULL")) field->setNotNull();
        } else if (reader.take("UNIQUE")) {
            field->setUnique();
        } else if (reader.take("DEFAULT")) {
            std::string value;
            if (reader.isPunct('(')) {
                value = reader.skipGroup();
            } else {
                if (reader.isPunct('-') || reader.isPunct('+')) value = reader.next().text;
                if (!reader.done()) {
                    const Token& token = reader.next();
                    value += token.kind == Token::kString ? "'" + token.text + "'" : token.text;
                }
            }
            field->setDefaultValue(value);
        } else if (reader.take("COLLATE")) {
            if (reader.isName()) reader.next();
        } else if (reader.take("REFERENCES")) {
            const std::string referenced = reader.isName() ? reader.next().text : std::string();
            const std::vector<std::string> columns = indexedColumns(reader);
            field->setReference(referenced, columns.empty() ? std::string() : columns[0]);
        } else if (reader.take("AUTOINCREMENT")) {
            field->setAutoincrement();
        } else if (reader.take("GENERATED") || reader.isWord("AS")) {
            generated = true;
            reader.take("ALWAYS");
            reader.take("AS");
        } else if (reader.take("STORED")) {
            stored = true;
        } else if (reader.isPunct('(')) {
            reader.skipGroup();  // CHECK (...), AS (...)
        } else {
            reader.next();  // NULL, ASC, ON CONFLICT ..., MATCH ..., DEFERRABLE ...
        }
    }
    return !generated || stored;
}

}  // namespace

TableStatement TableStatement::parse(const std::string& statement) {
    const std::vector<Token> tokens = tokenize(statement);
    Reader reader(tokens, 0, tokens.size());
    TableStatement result;
    if (!reader.take("CREATE")) refuse("not a CREATE TABLE statement");
    if (!reader.take("TEMP")) reader.take("TEMPORARY");
    const bool isVirtual = reader.take("VIRTUAL");
    if (!reader.take("TABLE")) refuse("not a CREATE TABLE statement");
    if (reader.isWord("IF")) {
        reader.next();
        reader.take("NOT");
        reader.take("EXISTS");
    }
    if (!reader.isName()) refuse("table name expected");
    result.tableName = reader.next().text;
    if (reader.takePunct('.')) {
        if (!reader.isName()) refuse("table name expected after the schema name");
        result.tableName = reader.next().text;
    }
    if (isVirtual) {
        result.kind = kVirtual;
        if (reader.take("USING") && reader.isName()) result.module = reader.next().text;
        return result;
    }
    if (!reader.isPunct('(')) refuse("no column list in the definition of " + result.tableName);

    // Split the column list at its top-level commas.
    const size_t listBegin = reader.position() + 1;
    std::vector<std::pair<size_t, size_t>> items;
    size_t itemBegin = listBegin;
    int depth = 0;
    size_t listEnd = tokens.size();
    for (size_t i = reader.position(); i < tokens.size(); ++i) {
        const Token& token = tokens[i];
        if (token.kind != Token::kPunct) continue;
        if (token.text[0] == '(') {
            ++depth;
        } else if (token.text[0] == ')') {
            if (--depth == 0) {
                listEnd = i;
                break;
            }
        } else if (token.text[0] == ',' && depth == 1) {
            items.emplace_back(itemBegin, i);
            itemBegin = i + 1;
        }
    }
    if (listEnd == tokens.size()) refuse("unterminated column list in the definition of " + result.tableName);
    items.emplace_back(itemBegin, listEnd);

    auto table = std::make_shared<Table>(result.tableName);
    std::vector<std::string> tablePrimaryKey;
    for (const auto& item : items) {
        Reader part(tokens, item.first, item.second);
        if (part.done()) refuse("empty column definition in " + result.tableName);
        if (part.take("CONSTRAINT") && part.isName()) part.next();
        if (part.take("PRIMARY")) {
            part.take("KEY");
            tablePrimaryKey = indexedColumns(part);
        } else if (part.isWord("UNIQUE") || part.isWord("CHECK") || part.isWord("FOREIGN")) {
            // Table constraints describe no column of the record.
        } else {
            std::shared_ptr<Field> field;
            if (readColumn(part, *table, field)) table->pushBack(*field);
        }
    }
    if (table->getFieldCount() == 0) refuse("no columns in the definition of " + result.tableName);

    // A table PRIMARY KEY marks its columns; a single INTEGER one is the row id.
    if (!tablePrimaryKey.empty()) {
        auto rebuilt = std::make_shared<Table>(result.tableName);
        for (Field field : table->getFields()) {
            for (const std::string& key : tablePrimaryKey) {
                if (sameWordIgnoringCase(field.getFieldName(), key)) field.setPrimaryKey();
            }
            rebuilt->pushBack(field);
        }
        table = rebuilt;
    }

    Reader options(tokens, listEnd + 1, tokens.size());
    while (!options.done()) {
        if (options.take("WITHOUT")) {
            if (options.take("ROWID")) result.kind = kWithoutRowId;
        } else {
            options.next();  // STRICT, commas, a trailing semicolon
        }
    }
    result.table = table;
    return result;
}

}  // namespace schema
}  // namespace sqlite
}  // namespace talwen
