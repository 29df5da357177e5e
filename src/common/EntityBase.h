#pragma once

#include <cstdint>

namespace talwen {
namespace common {

// Common base of the entities the engine and the messenger layer fill: how the
// entity was obtained and which of its fields were given (set flags) or are NULL
// (null flags). The bit of each field is fixed by the derived class.
class EntityBase {
public:
    static constexpr uint16_t kObtainBySqlite = 1;
    static constexpr uint16_t kObtainByCarving = 2;
    static constexpr uint16_t kObtainByAssociation = 101;

    explicit EntityBase(uint16_t obtainWay) : obtainWay_(obtainWay) {}

    // The mask's fields are given, as NULL.
    void setNull(uint64_t mask) {
        validFlag_ |= mask;
        nullFlag_ |= mask;
    }
    bool isSet(uint64_t mask) const { return (validFlag_ & mask) == mask; }
    bool isFieldNull(uint64_t mask) const { return (nullFlag_ & mask) == mask; }
    // The field (one bit) is given and not NULL: a store keeps a value for it.
    bool hasValue(uint64_t mask) const { return isSet(mask) && !isFieldNull(mask); }

    uint16_t getObtainWay() const { return obtainWay_; }
    uint64_t getValidFlag() const { return validFlag_; }
    uint64_t getNullFlag() const { return nullFlag_; }

protected:
    void markSet(uint64_t mask) { validFlag_ |= mask; }

private:
    uint16_t obtainWay_;
    uint64_t validFlag_ = 0;
    uint64_t nullFlag_ = 0;
};

}  // namespace common
}  // namespace talwen
