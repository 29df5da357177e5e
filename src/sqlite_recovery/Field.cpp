#include "sqlite_recovery/Field.h"

#include <climits>
#include <vector>

#include "common/CommonException.h"
#include "common/CommonFacility.h"

#define WCR_UNIT "sqlite_recovery/Field"

namespace talwen {
namespace sqlite {
namespace schema {

namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

// Character classes of the ECMAScript regular expression grammar in the "C"
// locale: \s, \w, and the line terminators that "." does not match.
bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isWordChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool isLineBreak(char c) { return c == '\n' || c == '\r'; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool equalsIgnoreCase(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        const char x = (a[i] >= 'a' && a[i] <= 'z') ? static_cast<char>(a[i] - 'a' + 'A') : a[i];
        const char y = (b[i] >= 'a' && b[i] <= 'z') ? static_cast<char>(b[i] - 'a' + 'A') : b[i];
        if (x != y) return false;
    }
    return i == a.size() && b[i] == '\0';
}

// atoi without its undefined behaviour: out-of-range values are clamped to int32.
int32_t toInt32(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && isBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    int64_t value = 0;
    for (; i < text.size() && isDigit(text[i]); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<int64_t>(INT32_MAX) + 1) break;
    }
    if (negative) value = -value;
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

// Hand-written equivalents of the column grammar's regular expressions. Each
// recogniser consumes from the front of the cursor only when it matches the
// whole remaining text, as a full regex match would; "(.*)" at the end of a
// pattern therefore requires that no line break remains after the consumed part.
// Everything runs in one forward pass without recursion, whatever the input.
class ColumnScanner {
public:
    ColumnScanner(const std::string& text, Field::Cursor& cursor) : text_(text), cursor_(cursor) {
        if (cursor_.end > text_.size()) cursor_.end = text_.size();
        if (cursor_.begin > cursor_.end) cursor_.begin = cursor_.end;
    }

    std::string rest() const { return text_.substr(cursor_.begin, cursor_.end - cursor_.begin); }

    // ^\s*$
    bool atEnd() const { return skipBlanks(cursor_.begin) == cursor_.end; }

    // ^\s*([\w\d]+)\s*(.*)
    bool getToken(std::string& token) {
        const size_t start = skipBlanks(cursor_.begin);
        size_t stop = start;
        while (stop < cursor_.end && isWordChar(text_[stop])) ++stop;
        if (stop == start) return false;
        const size_t next = skipBlanks(stop);
        if (lineBreakFrom(next)) return false;
        token = text_.substr(start, stop - start);
        cursor_.begin = next;
        return true;
    }

    // ^\s*\(\s*([\s\d\w,]+)\s*\)\s*(.*), group 1 split at runs of ", \t".
    bool getParameters(std::vector<std::string>& parameters) {
        const size_t open = skipBlanks(cursor_.begin);
        if (open >= cursor_.end || text_[open] != '(') return false;
        const size_t groupStart = skipBlanks(open + 1);
        size_t close = groupStart;
        while (close < cursor_.end &&
               (isBlank(text_[close]) || isWordChar(text_[close]) || text_[close] == ',')) {
            ++close;
        }
        if (close >= cursor_.end || text_[close] != ')') return false;
        std::string group;
        if (close > groupStart) {
            group = text_.substr(groupStart, close - groupStart);
        } else if (groupStart > open + 1) {
            // Only blanks inside: the group takes the last one back from "\s*".
            group = text_.substr(close - 1, 1);
        } else {
            return false;
        }
        const size_t next = skipBlanks(close + 1);
        if (lineBreakFrom(next)) return false;
        parameters.clear();
        common::split(group, ", \t", parameters);
        cursor_.begin = next;
        return true;
    }

    // ^\s*,\s*(.*)
    bool takeComma() {
        const size_t comma = skipBlanks(cursor_.begin);
        if (comma >= cursor_.end || text_[comma] != ',') return false;
        const size_t next = skipBlanks(comma + 1);
        if (lineBreakFrom(next)) return false;
        cursor_.begin = next;
        return true;
    }

    // Removes " \t\r\n" from both ends of the unread text.
    void trimEnds() {
        while (cursor_.begin < cursor_.end && isTrimmed(text_[cursor_.begin])) ++cursor_.begin;
        while (cursor_.end > cursor_.begin && isTrimmed(text_[cursor_.end - 1])) --cursor_.end;
    }

    // A value in quotes, running from the opening quote to the next same quote.
    // Returns false when the text does not start with a quote; throws when the
    // closing quote is missing.
    bool getQuotedValue(std::string& value) {
        if (cursor_.begin >= cursor_.end) return false;
        const char quote = text_[cursor_.begin];
        if (quote != '\'' && quote != '"') return false;
        size_t close = cursor_.begin + 1;
        while (close < cursor_.end && text_[close] != quote) ++close;
        if (close >= cursor_.end) WCR_THROW("Parse DDL: getDefaultValue[" + rest() + "]!", "parse");
        value = text_.substr(cursor_.begin, close + 1 - cursor_.begin);
        cursor_.begin = close + 1;
        return true;
    }

    // ^\s*([-|\+]?[\.\d]+)\s*(.*)
    bool getNumericValue(std::string& value) {
        const size_t start = skipBlanks(cursor_.begin);
        size_t stop = start;
        if (stop < cursor_.end && (text_[stop] == '-' || text_[stop] == '|' || text_[stop] == '+')) ++stop;
        const size_t digits = stop;
        while (stop < cursor_.end && (isDigit(text_[stop]) || text_[stop] == '.')) ++stop;
        if (stop == digits) return false;
        const size_t next = skipBlanks(stop);
        if (lineBreakFrom(next)) return false;
        value = text_.substr(start, stop - start);
        cursor_.begin = next;
        return true;
    }

private:
    static bool isTrimmed(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

    size_t skipBlanks(size_t position) const {
        while (position < cursor_.end && isBlank(text_[position])) ++position;
        return position;
    }

    // True when a line break lies in [position, end). The last line break
    // before end is found once per end position and kept in the cursor.
    bool lineBreakFrom(size_t position) {
        if (cursor_.cachedEnd != cursor_.end) {
            cursor_.lastLineBreak = kNone;
            for (size_t i = cursor_.end; i > 0; --i) {
                if (isLineBreak(text_[i - 1])) {
                    cursor_.lastLineBreak = i - 1;
                    break;
                }
            }
            cursor_.cachedEnd = cursor_.end;
        }
        return cursor_.lastLineBreak != kNone && cursor_.lastLineBreak >= position;
    }

    const std::string& text_;
    Field::Cursor& cursor_;
};

}  // namespace

Field::Field(int32_t fieldIndex, const std::string& fieldName, const std::string& declaredType)
    : fieldIndex_(fieldIndex),
      fieldName_(fieldName),
      declaredType_(declaredType),
      typeAffinity_(affinityOf(declaredType)) {}

Field::Field(int32_t fieldIndex, const std::string& fieldName, const std::string& declaredType,
             int32_t typeLength)
    : Field(fieldIndex, fieldName, declaredType) {
    typeLength_ = typeLength;
    flags_ |= kTypeLength;
}

Field::Field(int32_t fieldIndex, const std::string& fieldName, const std::string& declaredType,
             int32_t typeLength, int32_t precisionLength)
    : Field(fieldIndex, fieldName, declaredType, typeLength) {
    precisionLength_ = precisionLength;
    flags_ |= kPrecisionLength;
}

std::shared_ptr<Field> Field::parse(std::string& text, int32_t fieldIndex) {
    Cursor cursor(text);
    // Leaves the text as consumed, also when the parser throws.
    struct Consume {
        std::string& text;
        Cursor& cursor;
        ~Consume() {
            text.erase(cursor.end);
            text.erase(0, cursor.begin);
        }
    } consume{text, cursor};
    return parse(static_cast<const std::string&>(text), cursor, fieldIndex);
}

std::shared_ptr<Field> Field::parse(const std::string& text, Cursor& cursor, int32_t fieldIndex) {
    ColumnScanner scanner(text, cursor);

    std::string fieldName;
    if (!scanner.getToken(fieldName)) WCR_THROW("Parse DDL: fieldName[" + scanner.rest() + "]!", "parse");
    std::string declaredType;
    if (!scanner.getToken(declaredType)) {
        WCR_THROW("Parse DDL: declaredType[" + scanner.rest() + "]!", "parse");
    }

    std::shared_ptr<Field> field;
    std::vector<std::string> parameters;
    if (scanner.getParameters(parameters)) {
        if (parameters.size() == 1) {
            field = std::make_shared<Field>(fieldIndex, fieldName, declaredType, toInt32(parameters[0]));
        } else if (parameters.size() == 2) {
            field = std::make_shared<Field>(fieldIndex, fieldName, declaredType, toInt32(parameters[0]),
                                            toInt32(parameters[1]));
        } else {
            WCR_THROW("Parse DDL: getParameters[" + scanner.rest() + "]!", "parse");
        }
    } else {
        field = std::make_shared<Field>(fieldIndex, fieldName, declaredType);
    }

    // Every pass either ends the column or consumes at least one word.
    for (;;) {
        if (scanner.atEnd()) return field;
        if (scanner.takeComma()) return field;

        std::string keyword;
        if (!scanner.getToken(keyword)) WCR_THROW("Parse DDL: getToken[" + scanner.rest() + "]!", "parse");

        if (equalsIgnoreCase(keyword, "DEFAULT")) {
            scanner.trimEnds();
            std::string value;
            if (!scanner.getQuotedValue(value) && !scanner.getNumericValue(value)) {
                WCR_THROW("Parse DDL: getDefaultValue[" + scanner.rest() + "]!", "parse");
            }
            field->setDefaultValue(value);
        } else if (equalsIgnoreCase(keyword, "PRIMARY")) {
            std::string next;
            if (!scanner.getToken(next) || !equalsIgnoreCase(next, "KEY")) {
                WCR_THROW("Parse DDL: PRIMARY 'KEY'[" + scanner.rest() + "]!", "parse");
            }
            field->setPrimaryKey();
        } else if (equalsIgnoreCase(keyword, "FOREIGN")) {
            std::string next;
            if (!scanner.getToken(next) || !equalsIgnoreCase(next, "KEY")) {
                WCR_THROW("Parse DDL: FOREIGN 'KEY'[" + scanner.rest() + "]!", "parse");
            }
            field->setForeignKey();
        } else if (equalsIgnoreCase(keyword, "NOT")) {
            std::string next;
            if (!scanner.getToken(next) || !equalsIgnoreCase(next, "NULL")) {
                WCR_THROW("Parse DDL: NOT 'NULL'[" + scanner.rest() + "]!", "parse");
            }
            field->setNotNull();
        } else if (equalsIgnoreCase(keyword, "UNIQUE")) {
            field->setUnique();
        } else if (equalsIgnoreCase(keyword, "REFERENCES")) {
            std::string referenceTable;
            if (!scanner.getToken(referenceTable)) {
                WCR_THROW("Parse DDL: referenceTable[" + scanner.rest() + "]!", "parse");
            }
            std::vector<std::string> referenced;
            if (!scanner.getParameters(referenced) || referenced.size() != 1) {
                WCR_THROW("Parse DDL: referenceField[" + scanner.rest() + "]!", "parse");
            }
            field->setReference(referenceTable, referenced[0]);
        } else if (equalsIgnoreCase(keyword, "AUTOINCREMENT")) {
            field->setAutoincrement();
        }
        // Any other word (COLLATE NOCASE, the rest of a multi-word type, ...) is skipped.
    }
}

uint8_t Field::affinityOf(const std::string& declaredType) {
    std::string upper = declaredType;
    common::toUpper(upper);
    const auto contains = [&upper](const char* piece) { return upper.find(piece) != std::string::npos; };
    if (contains("INT")) return kInteger;
    if (contains("CHAR") || contains("CLOB") || contains("TEXT")) return kText;
    if (contains("BLOB") || upper.empty()) return kBlob;
    if (contains("REAL") || contains("FLOA") || contains("DOUB")) return kReal;
    return kNumeric;
}

void Field::setDefaultValue(const std::string& defaultValue) {
    defaultValue_ = defaultValue;
    flags_ |= kDefault;
}

void Field::setReference(const std::string& referenceTable, const std::string& referenceField) {
    referenceTable_ = referenceTable;
    referenceField_ = referenceField;
    flags_ |= kReferences;
}

const std::string& Field::getDefaultValue() const {
    if (!hasDefaultValue()) WCR_THROW("Field[" + fieldName_ + "] no DEFAULT!", "getDefaultValue");
    return defaultValue_;
}

int32_t Field::getTypeLength() const {
    if (!hasTypeLength()) WCR_THROW("Field[" + fieldName_ + "] no TYPE_LENGTH!", "getTypeLength");
    return typeLength_;
}

int32_t Field::getPrecisionLength() const {
    if (!hasPrecisionLength()) {
        WCR_THROW("Field[" + fieldName_ + "] no PRECISION_LENGTH!", "getPrecisionLength");
    }
    return precisionLength_;
}

const std::string& Field::getReferenceTable() const {
    if (!hasReference()) WCR_THROW("Field[" + fieldName_ + "] no REFERENCES!", "getReferenceTable");
    return referenceTable_;
}

const std::string& Field::getReferenceField() const {
    if (!hasReference()) WCR_THROW("Field[" + fieldName_ + "] no REFERENCES!", "getReferenceField");
    return referenceField_;
}

bool Field::isValid() const {
    if (fieldName_.empty() || isDigit(fieldName_[0])) return false;
    for (char c : fieldName_) {
        if (!isWordChar(c)) return false;
    }
    if (declaredType_.empty()) return false;
    switch (typeAffinity_) {
        case kInteger:
        case kReal:
        case kText:
        case kBlob:
        case kNumeric:
            return true;
        default:
            return false;
    }
}

}  // namespace schema
}  // namespace sqlite
}  // namespace talwen
