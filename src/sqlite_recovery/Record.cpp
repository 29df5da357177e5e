#include "sqlite_recovery/Record.h"

#include <algorithm>

namespace talwen {
namespace sqlite {

namespace {

char asciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool sameNameIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (asciiUpper(a[i]) != asciiUpper(b[i])) return false;
    }
    return true;
}

bool indexLess(const std::shared_ptr<FieldValue>& value, uint32_t fieldIndex) {
    return value->getFieldIndex() < fieldIndex;
}

}  // namespace

void Record::clear() {
    byIndex_.clear();
    byName_.clear();
}

void Record::addFieldValue(const std::shared_ptr<FieldValue>& value) {
    if (!value) return;
    const uint32_t index = value->getFieldIndex();
    if (byIndex_.empty() || byIndex_.back()->getFieldIndex() < index) {
        byIndex_.push_back(value);
    } else {
        auto at = std::lower_bound(byIndex_.begin(), byIndex_.end(), index, indexLess);
        if (at == byIndex_.end() || (*at)->getFieldIndex() != index) byIndex_.insert(at, value);
    }
    const std::string& name = value->getFieldName();
    for (const auto& existing : byName_) {
        if (sameNameIgnoringCase(existing->getFieldName(), name)) return;
    }
    byName_.push_back(value);
}

bool Record::holdsExactly(const std::shared_ptr<FieldValue>* values, size_t count) const {
    // Values added in ascending index order with distinct names land in both
    // vectors in that order; any other record differs from such a refill.
    if (byIndex_.size() != count || byName_.size() != count) return false;
    for (size_t i = 0; i < count; ++i) {
        if (byIndex_[i] != values[i] || byName_[i] != values[i]) return false;
    }
    for (size_t i = 1; i < count; ++i) {
        if (values[i - 1]->getFieldIndex() >= values[i]->getFieldIndex()) return false;
    }
    return true;
}

std::shared_ptr<FieldValue> Record::getFieldValue(uint32_t fieldIndex) const {
    auto at = std::lower_bound(byIndex_.begin(), byIndex_.end(), fieldIndex, indexLess);
    if (at == byIndex_.end() || (*at)->getFieldIndex() != fieldIndex) return nullptr;
    return *at;
}

std::shared_ptr<FieldValue> Record::getFieldValue(const std::string& fieldName) const {
    for (const auto& value : byName_) {
        if (sameNameIgnoringCase(value->getFieldName(), fieldName)) return value;
    }
    return nullptr;
}

std::vector<uint32_t> Record::getFieldIndexes() const {
    std::vector<uint32_t> indexes;
    indexes.reserve(byIndex_.size());
    for (const auto& value : byIndex_) indexes.push_back(value->getFieldIndex());
    return indexes;
}

}  // namespace sqlite
}  // namespace talwen
