#include "sqldb/ColValue.h"

#include <utility>

#include "common/CommonException.h"
#include "common/CommonFacility.h"

#define WCR_UNIT "sqldb/ColValue"

namespace talwen {
namespace sqldb {

namespace {
std::string wrongClass(uint8_t storeClass, const char* wanted) {
    return "ColValue: storeClass[" + std::to_string(storeClass) + "] not " + wanted + "!";
}
}  // namespace

ColValue::ColValue(int64_t value) : storeClass_(kInteger), integerValue_(value) {}

ColValue::ColValue(double value) : storeClass_(kReal), realValue_(value) {}

ColValue::ColValue(const std::string& value) : storeClass_(kText), textValue_(value) {}

ColValue::ColValue(std::string&& value) : storeClass_(kText), textValue_(std::move(value)) {}

ColValue::ColValue(const uint8_t* bytes, size_t length)
    : storeClass_(kBlob), blobHexValue_(common::toHexString(bytes, length)) {}

int64_t ColValue::getIntegerValue() const {
    if (!isInteger()) WCR_THROW(wrongClass(storeClass_, "INTEGER"), "getIntegerValue");
    return integerValue_;
}

double ColValue::getRealValue() const {
    if (!isReal()) WCR_THROW(wrongClass(storeClass_, "REAL"), "getRealValue");
    return realValue_;
}

const std::string& ColValue::getTextValue() const {
    if (!isText()) WCR_THROW(wrongClass(storeClass_, "TEXT"), "getTextValue");
    return textValue_;
}

const std::string& ColValue::getBlobHexValue() const {
    if (!isBlob()) WCR_THROW(wrongClass(storeClass_, "BLOB"), "getBlobHexValue");
    return blobHexValue_;
}

size_t ColValue::getBlobLength() const {
    if (!isBlob()) WCR_THROW(wrongClass(storeClass_, "BLOB"), "getBlobLength");
    return blobHexValue_.size() / 2;
}

size_t ColValue::copyBlob(uint8_t* destination) const {
    if (!isBlob()) WCR_THROW(wrongClass(storeClass_, "BLOB"), "copyBlob");
    return common::fromHexString(blobHexValue_, destination);
}

std::ostream& operator<<(std::ostream& out, const ColValue& value) {
    switch (value.getStoreClass()) {
        case ColValue::kInteger: return out << value.getIntegerValue();
        case ColValue::kReal: return out << value.getRealValue();
        case ColValue::kText: return out << value.getTextValue();
        case ColValue::kBlob: return out << value.getBlobHexValue();
        case ColValue::kNull: return out << "<NULL>";
        default: return out << "!_!-!ERROR: unknown storeClass!-!_!";
    }
}

}  // namespace sqldb
}  // namespace talwen
