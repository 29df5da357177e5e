#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sqlite_recovery/FieldValue.h"

namespace talwen {
namespace sqlite {

// One carved row: its FieldValues by column index (in column order) and by column
// name (ASCII case-insensitive). The first value added under an index or a name
// wins; each index is kept on its own, so a value can be reachable by index only.
// A seek reuses one Record per page: clear keeps the capacity, so refilling it
// allocates nothing but the FieldValues. Copies share the FieldValues.
class Record {
public:
    void clear();
    void addFieldValue(const std::shared_ptr<FieldValue>& value);
    // addFieldValue for a caller that knows the value's index is above every
    // index held and its name (ignoring ASCII case) is not held yet: no search,
    // so that filling a record of many columns stays linear.
    void appendNewFieldValue(const std::shared_ptr<FieldValue>& value) {
        byIndex_.push_back(value);
        byName_.push_back(value);
    }

    // Empty pointer when absent.
    std::shared_ptr<FieldValue> getFieldValue(uint32_t fieldIndex) const;
    std::shared_ptr<FieldValue> getFieldValue(const std::string& fieldName) const;
    // Ascending.
    std::vector<uint32_t> getFieldIndexes() const;
    // The values in ascending column order.
    const std::vector<std::shared_ptr<FieldValue>>& getFieldValues() const { return byIndex_; }
    size_t getFieldCount() const { return byIndex_.size(); }
    // True when adding `values` in order to an empty record would give exactly this
    // record (the same FieldValue objects under every index and every name).
    bool holdsExactly(const std::shared_ptr<FieldValue>* values, size_t count) const;
    bool isEmpty() const { return byIndex_.empty(); }

private:
    // Sorted by field index; values normally arrive in that order, so an insert
    // is an append.
    std::vector<std::shared_ptr<FieldValue>> byIndex_;
    // In insertion order, names unique ignoring ASCII case. A table has few columns,
    // so a linear scan beats a map here and needs no upper-cased copy of a name.
    std::vector<std::shared_ptr<FieldValue>> byName_;
};

}  // namespace sqlite
}  // namespace talwen
