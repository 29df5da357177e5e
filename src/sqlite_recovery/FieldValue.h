#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/ErrorInfo.h"
#include "sqlite_recovery/SqliteFacility.h"

namespace talwen {
namespace sqlite {

// One field of a record carved from a page: where it was found, its serial type
// and its decoded value. Immutable after construction; shared through shared_ptr.
class FieldValue {
public:
    // NULL (serial type 0): occupies no bytes.
    FieldValue(uint32_t pageNumber, uint32_t fieldIndex, const std::string& fieldName);
    // Integer serial types (1 to 6, 8, 9).
    FieldValue(uint32_t pageNumber, uint32_t fieldIndex, const std::string& fieldName,
               int64_t fieldType, uint32_t valueOffset, uint32_t valueBytes, int64_t value);
    // Serial type 7.
    FieldValue(uint32_t pageNumber, uint32_t fieldIndex, const std::string& fieldName,
               int64_t fieldType, uint32_t valueOffset, uint32_t valueBytes, double value);
    // Text serial types: the raw bytes.
    FieldValue(uint32_t pageNumber, uint32_t fieldIndex, const std::string& fieldName,
               int64_t fieldType, uint32_t valueOffset, uint32_t valueBytes, std::string value);
    // Blob serial types: a shared copy of blobLength bytes.
    FieldValue(uint32_t pageNumber, uint32_t fieldIndex, const std::string& fieldName,
               int64_t fieldType, uint32_t valueOffset, uint32_t valueBytes, ByteArray blob,
               uint32_t blobLength);

    // Decodes the value of serial type fieldType at page + valueOffset, with
    // pageLength - valueOffset bytes available. Empty pointer on failure (the
    // decoder's failure is passed up unchanged). consumed is not written for NULL.
    static std::shared_ptr<FieldValue> parseFieldValue(uint32_t pageNumber, const uint8_t* page,
                                                       uint32_t valueOffset, uint32_t pageLength,
                                                       uint32_t fieldIndex,
                                                       const std::string& fieldName,
                                                       int64_t fieldType, uint32_t& consumed,
                                                       common::ErrorInfo* error);

    uint32_t getPageNumber() const { return pageNumber_; }
    uint32_t getFieldIndex() const { return fieldIndex_; }
    const std::string& getFieldName() const { return fieldName_; }
    int64_t getFieldType() const { return fieldType_; }
    uint32_t getValueOffset() const { return valueOffset_; }
    uint32_t getValueBytes() const { return valueBytes_; }

    bool isNull() const { return sqlite::isNull(fieldType_); }
    bool isInteger() const { return sqlite::isInteger(fieldType_); }
    bool isReal() const { return sqlite::isReal(fieldType_); }
    bool isText() const { return sqlite::isText(fieldType_); }
    bool isBlob() const { return sqlite::isBlob(fieldType_); }

    // Each throws CommonException (code -1) when fieldType is of another class.
    int64_t getIntegerValue() const;
    double getRealValue() const;
    const std::string& getTextValue() const;
    const ByteArray& getBlobValue(uint32_t& length) const;
    uint32_t getBlobLength() const;

private:
    uint32_t pageNumber_ = 0;
    uint32_t fieldIndex_ = 0;
    std::string fieldName_;
    int64_t fieldType_ = 0;
    uint32_t valueOffset_ = 0;
    uint32_t valueBytes_ = 0;
    int64_t integerValue_ = 0;
    double realValue_ = 0.0;
    std::string textValue_;
    ByteArray blobValue_;
    uint32_t blobLength_ = 0;
};

}  // namespace sqlite
}  // namespace talwen
