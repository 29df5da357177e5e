#include "sqlite_recovery/FieldValue.h"

#include <utility>

#include "common/CommonException.h"

#define WCR_UNIT "sqlite_recovery/FieldValue"

namespace talwen {
namespace sqlite {

using common::ErrorInfo;

namespace {
std::string wrongType(int64_t fieldType, const char* wanted) {
    return "FieldValue: fieldType[" + std::to_string(fieldType) + "] not " + wanted + "!";
}
}  // namespace

FieldValue::FieldValue(uint32_t pageNumber, uint32_t fieldIndex, const std::string& fieldName)
    : pageNumber_(pageNumber), fieldIndex_(fieldIndex), fieldName_(fieldName) {}

FieldValue::FieldValue(uint32_t pageNumber, uint32_t fieldIndex, const std::string& fieldName,
                       int64_t fieldType, uint32_t valueOffset, uint32_t valueBytes, int64_t value)
    : pageNumber_(pageNumber), fieldIndex_(fieldIndex), fieldName_(fieldName),
      fieldType_(fieldType), valueOffset_(valueOffset), valueBytes_(valueBytes),
      integerValue_(value) {}

FieldValue::FieldValue(uint32_t pageNumber, uint32_t fieldIndex, const std::string& fieldName,
                       int64_t fieldType, uint32_t valueOffset, uint32_t valueBytes, double value)
    : pageNumber_(pageNumber), fieldIndex_(fieldIndex), fieldName_(fieldName),
      fieldType_(fieldType), valueOffset_(valueOffset), valueBytes_(valueBytes),
      realValue_(value) {}

FieldValue::FieldValue(uint32_t pageNumber, uint32_t fieldIndex, const std::string& fieldName,
                       int64_t fieldType, uint32_t valueOffset, uint32_t valueBytes,
                       std::string value)
    : pageNumber_(pageNumber), fieldIndex_(fieldIndex), fieldName_(fieldName),
      fieldType_(fieldType), valueOffset_(valueOffset), valueBytes_(valueBytes),
      textValue_(std::move(value)) {}

FieldValue::FieldValue(uint32_t pageNumber, uint32_t fieldIndex, const std::string& fieldName,
                       int64_t fieldType, uint32_t valueOffset, uint32_t valueBytes, ByteArray blob,
                       uint32_t blobLength)
    : pageNumber_(pageNumber), fieldIndex_(fieldIndex), fieldName_(fieldName),
      fieldType_(fieldType), valueOffset_(valueOffset), valueBytes_(valueBytes),
      blobValue_(std::move(blob)), blobLength_(blobLength) {}

std::shared_ptr<FieldValue> FieldValue::parseFieldValue(uint32_t pageNumber, const uint8_t* page,
                                                        uint32_t valueOffset, uint32_t pageLength,
                                                        uint32_t fieldIndex,
                                                        const std::string& fieldName,
                                                        int64_t fieldType, uint32_t& consumed,
                                                        ErrorInfo* error) {
    if (valueOffset > pageLength) {
        WCR_SET_ERROR(error, -2,
                      "valueOffset[" + std::to_string(valueOffset) + "] overflow to pageLength[" +
                          std::to_string(pageLength) + "]!",
                      "parseFieldValue");
        return nullptr;
    }
    if (sqlite::isNull(fieldType)) {
        error->clear();
        return std::make_shared<FieldValue>(pageNumber, fieldIndex, fieldName);
    }
    const uint8_t* bytes = page + valueOffset;
    const uint32_t available = pageLength - valueOffset;
    if (sqlite::isInteger(fieldType)) {
        const int64_t value = parseIntegerValue(bytes, available, fieldType, consumed, error);
        if (!error->isSuccess()) return nullptr;
        return std::make_shared<FieldValue>(pageNumber, fieldIndex, fieldName, fieldType,
                                            valueOffset, consumed, value);
    }
    if (sqlite::isReal(fieldType)) {
        const double value = parseRealValue(bytes, available, consumed, error);
        if (!error->isSuccess()) return nullptr;
        return std::make_shared<FieldValue>(pageNumber, fieldIndex, fieldName, fieldType,
                                            valueOffset, consumed, value);
    }
    if (sqlite::isText(fieldType)) {
        std::string value = parseTextValue(bytes, available, fieldType, consumed, error);
        if (!error->isSuccess()) return nullptr;
        return std::make_shared<FieldValue>(pageNumber, fieldIndex, fieldName, fieldType,
                                            valueOffset, consumed, std::move(value));
    }
    if (sqlite::isBlob(fieldType)) {
        ByteArray blob = parseBlobValue(bytes, available, fieldType, consumed, error);
        if (!error->isSuccess()) return nullptr;
        return std::make_shared<FieldValue>(pageNumber, fieldIndex, fieldName, fieldType,
                                            valueOffset, consumed, std::move(blob), consumed);
    }
    WCR_SET_ERROR(error, -1, "Unknown FieldType[" + std::to_string(fieldType) + "]!",
                  "parseFieldValue");
    return nullptr;
}

int64_t FieldValue::getIntegerValue() const {
    if (!isInteger()) WCR_THROW(wrongType(fieldType_, "INTEGER"), "getIntegerValue");
    if (fieldType_ == 8) return 0;
    if (fieldType_ == 9) return 1;
    return integerValue_;
}

double FieldValue::getRealValue() const {
    if (!isReal()) WCR_THROW(wrongType(fieldType_, "REAL"), "getRealValue");
    return realValue_;
}

const std::string& FieldValue::getTextValue() const {
    if (!isText()) WCR_THROW(wrongType(fieldType_, "TEXT"), "getTextValue");
    return textValue_;
}

const ByteArray& FieldValue::getBlobValue(uint32_t& length) const {
    if (!isBlob()) WCR_THROW(wrongType(fieldType_, "BLOB"), "getBlobValue");
    length = blobLength_;
    return blobValue_;
}

uint32_t FieldValue::getBlobLength() const {
    if (!isBlob()) WCR_THROW(wrongType(fieldType_, "BLOB"), "getBlobLength");
    return blobLength_;
}

}  // namespace sqlite
}  // namespace talwen
