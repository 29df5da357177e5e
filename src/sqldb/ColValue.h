#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

namespace talwen {
namespace sqldb {

// One value of a result row read through the SQLite library, tagged with its
// storage class. Blobs are kept as lower-case hexadecimal text.
class ColValue {
public:
    static constexpr uint8_t kInteger = 1;
    static constexpr uint8_t kReal = 2;
    static constexpr uint8_t kText = 3;
    static constexpr uint8_t kBlob = 4;
    static constexpr uint8_t kNull = 5;

    ColValue() = default;
    explicit ColValue(int64_t value);
    explicit ColValue(double value);
    explicit ColValue(const std::string& value);
    explicit ColValue(std::string&& value);
    ColValue(const uint8_t* bytes, size_t length);

    uint8_t getStoreClass() const { return storeClass_; }
    bool isNull() const { return storeClass_ == kNull; }
    bool isInteger() const { return storeClass_ == kInteger; }
    bool isReal() const { return storeClass_ == kReal; }
    bool isText() const { return storeClass_ == kText; }
    bool isBlob() const { return storeClass_ == kBlob; }

    // Each throws CommonException when the value is of another storage class.
    int64_t getIntegerValue() const;
    double getRealValue() const;
    const std::string& getTextValue() const;
    const std::string& getBlobHexValue() const;
    size_t getBlobLength() const;
    // Writes getBlobLength() bytes to destination and returns that count.
    size_t copyBlob(uint8_t* destination) const;

private:
    uint8_t storeClass_ = kNull;
    int64_t integerValue_ = 0;
    double realValue_ = 0.0;
    std::string textValue_;
    std::string blobHexValue_;
};

std::ostream& operator<<(std::ostream& out, const ColValue& value);

}  // namespace sqldb
}  // namespace talwen
