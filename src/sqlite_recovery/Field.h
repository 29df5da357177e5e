#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace talwen {
namespace sqlite {
namespace schema {

// One column of a CREATE TABLE statement: name, declared type, the type affinity
// derived from it and the column constraints the parser recognises.
//
// The parser covers the column syntax the messenger's tables use: a name, a
// one-word type with optional (length[, precision]), PRIMARY KEY, FOREIGN KEY,
// NOT NULL, DEFAULT with a quoted or numeric value, UNIQUE, REFERENCES t(c) and
// AUTOINCREMENT. Other bare words are skipped; anything else where a word is
// expected (a parenthesised CHECK, a quoted name, DEFAULT NULL or an expression)
// is refused with a CommonException.
//
// A Field is a plain value; concurrent reads of one object are safe.
class Field {
public:
    // Type affinity codes. 1 to 4 equal SQLite's fundamental datatype codes
    // SQLITE_INTEGER, SQLITE_FLOAT, SQLITE_TEXT and SQLITE_BLOB; 6 is NUMERIC.
    // Named here, not after the sqlite3.h macros, so that this header can be
    // included together with sqlite3.h in any order.
    static constexpr uint8_t kInteger = 1;
    static constexpr uint8_t kReal = 2;
    static constexpr uint8_t kText = 3;
    static constexpr uint8_t kBlob = 4;
    static constexpr uint8_t kNumeric = 6;

    // Bits of getFlags().
    static constexpr int32_t kPrimaryKey = 0x001;
    static constexpr int32_t kForeignKey = 0x002;
    static constexpr int32_t kNotNull = 0x004;
    static constexpr int32_t kDefault = 0x008;
    static constexpr int32_t kUnique = 0x010;
    static constexpr int32_t kReferences = 0x020;
    static constexpr int32_t kAutoincrement = 0x040;
    static constexpr int32_t kTypeLength = 0x100;
    static constexpr int32_t kPrecisionLength = 0x200;

    Field(int32_t fieldIndex, const std::string& fieldName, const std::string& declaredType);
    Field(int32_t fieldIndex, const std::string& fieldName, const std::string& declaredType,
          int32_t typeLength);
    Field(int32_t fieldIndex, const std::string& fieldName, const std::string& declaredType,
          int32_t typeLength, int32_t precisionLength);

    // Reads one column definition from the front of `text` and removes it,
    // including the comma that ends it, so that `text` starts at the next column.
    // Throws CommonException (code -1, function "parse") on a definition it does
    // not accept; `text` is then left as consumed up to the failure.
    static std::shared_ptr<Field> parse(std::string& text, int32_t fieldIndex);

    // The unread part [begin, end) of a column list. parse() advances begin past
    // a column; end may move left (DEFAULT trims trailing blanks). The cache
    // members belong to the parser: they remember where the last line break
    // before end lies, so that a whole column list is parsed in linear time.
    struct Cursor {
        explicit Cursor(const std::string& text) : end(text.size()) {}
        size_t begin = 0;
        size_t end = 0;
        size_t cachedEnd = static_cast<size_t>(-1);
        size_t lastLineBreak = static_cast<size_t>(-1);
    };

    // Same as parse() above, on the unread part of `text` that `cursor` marks;
    // `text` itself is not modified.
    static std::shared_ptr<Field> parse(const std::string& text, Cursor& cursor, int32_t fieldIndex);

    // Affinity of a declared type by SQLite's substring rules (an empty type is BLOB).
    static uint8_t affinityOf(const std::string& declaredType);

    void setPrimaryKey() { flags_ |= kPrimaryKey; }
    void setForeignKey() { flags_ |= kForeignKey; }
    void setNotNull() { flags_ |= kNotNull; }
    void setUnique() { flags_ |= kUnique; }
    void setAutoincrement() { flags_ |= kAutoincrement; }
    void setDefaultValue(const std::string& defaultValue);
    void setReference(const std::string& referenceTable, const std::string& referenceField);

    bool isPrimaryKey() const { return (flags_ & kPrimaryKey) != 0; }
    bool isForeignKey() const { return (flags_ & kForeignKey) != 0; }
    bool isNotNull() const { return (flags_ & kNotNull) != 0; }
    bool hasDefaultValue() const { return (flags_ & kDefault) != 0; }
    bool isUnique() const { return (flags_ & kUnique) != 0; }
    bool hasReference() const { return (flags_ & kReferences) != 0; }
    bool isAutoincrement() const { return (flags_ & kAutoincrement) != 0; }
    bool hasTypeLength() const { return (flags_ & kTypeLength) != 0; }
    bool hasPrecisionLength() const { return (flags_ & kPrecisionLength) != 0; }

    int32_t getFieldIndex() const { return fieldIndex_; }
    const std::string& getFieldName() const { return fieldName_; }
    const std::string& getDeclaredType() const { return declaredType_; }
    uint8_t getTypeAffinity() const { return typeAffinity_; }
    int32_t getFlags() const { return flags_; }

    // Each throws CommonException (function = the getter's name) when its flag is missing.
    const std::string& getDefaultValue() const;
    int32_t getTypeLength() const;
    int32_t getPrecisionLength() const;
    const std::string& getReferenceTable() const;
    const std::string& getReferenceField() const;

    // Name is a plain identifier not starting with a digit, the type is not
    // empty and the affinity is one of the five codes.
    bool isValid() const;

private:
    int32_t fieldIndex_ = 0;
    std::string fieldName_;
    std::string declaredType_;
    uint8_t typeAffinity_ = kBlob;
    int32_t flags_ = 0;
    std::string defaultValue_;
    int32_t typeLength_ = 0;
    int32_t precisionLength_ = 0;
    std::string referenceTable_;
    std::string referenceField_;
};

}  // namespace schema
}  // namespace sqlite
}  // namespace talwen
