#include "sqlite_recovery/RecordInspector.h"

#include <algorithm>
#include <atomic>
#include <set>
#include <string>

#include "sqlite_recovery/FieldValue.h"
#include "sqlite_recovery/SqliteFacility.h"

#define WCR_UNIT "sqlite_recovery/RecordInspector"

namespace talwen {
namespace sqlite {

using common::ErrorInfo;

namespace {

// Longest varint.
constexpr uint32_t kMaxVarintBytes = 9;

// Decodes one varint whose 9 bytes are known to be readable; returns its length.
inline uint32_t decodeVarintUnchecked(const uint8_t* p, int64_t& value) {
    uint64_t v = p[0] & 0x7F;
    if ((p[0] & 0x80) == 0) {
        value = static_cast<int64_t>(v);
        return 1;
    }
    for (uint32_t i = 1; i < 8; ++i) {
        v = (v << 7) | (p[i] & 0x7F);
        if ((p[i] & 0x80) == 0) {
            value = static_cast<int64_t>(v);
            return i + 1;
        }
    }
    v = (v << 8) | p[8];
    value = static_cast<int64_t>(v);
    return 9;
}

// The scan calls inspect for every byte offset; an ErrorInfo that is already
// clear is left alone instead of being rebuilt each time.
inline void clearIfSet(ErrorInfo* error) {
    if (error->getCode() != 0 || error->getLineNo() != 0 || !error->getMessage().empty() ||
        !error->getFileName().empty() || !error->getFunctionName().empty()) {
        error->clear();
    }
}

std::atomic<uint64_t> nextInspectorId{1};

// NULL values of the page being scanned on this thread. A run of zero bytes
// reads as a record of NULLs at almost every offset; a NULL FieldValue depends
// only on the page, the column and its name, and FieldValues are immutable, so
// the records of one page can share them instead of allocating each anew.
struct NullValueCache {
    uint64_t inspectorId = 0;
    uint32_t pageNumber = 0;
    std::vector<std::shared_ptr<FieldValue>> values;
};
thread_local NullValueCache nullValueCache;

}  // namespace

RecordInspector::RecordInspector(const Table* table, uint32_t pageLength, uint16_t skippedHead,
                                 uint16_t omittedTail)
    : id_(nextInspectorId.fetch_add(1)), table_(table), pageLength_(pageLength),
      skippedHead_(skippedHead), omittedTail_(omittedTail) {}

std::shared_ptr<RecordInspector> RecordInspector::create(const Table* table, uint32_t pageLength,
                                                         const CarveOptions& options) {
    // The row id is aliased by the single primary key column when it has INTEGER
    // affinity; such a column is stored as NULL in the record.
    const std::vector<schema::Field> primaryKeys = table->getPrimaryKeyFields();
    const bool hasRowId =
        primaryKeys.size() == 1 && primaryKeys[0].getTypeAffinity() == schema::Field::kInteger;
    const bool rowIdFirst = hasRowId && primaryKeys[0].getFieldIndex() == 0;

    auto inspector =
        std::make_shared<RecordInspector>(table, pageLength, rowIdFirst ? 4 : 3, 0);
    inspector->options_ = options;
    std::set<std::string> names;
    for (const schema::Field& field : table->getFields()) {
        std::string upper = field.getFieldName();
        for (char& c : upper) {
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        }
        inspector->nameRepeats_.push_back(names.insert(upper).second ? 0 : 1);
    }
    bool rowIdBounded = false;
    for (const schema::Field& field : table->getFields()) {
        FieldTypeInfo info;
        info.typeAffinity = field.getTypeAffinity();
        if (!field.isNotNull()) info.flags |= FieldTypeInfo::kNullable;
        if (options.realAcceptsIntegers && info.typeAffinity == schema::Field::kReal) {
            info.flags |= FieldTypeInfo::kIntegerReal;
        }
        if (hasRowId && !rowIdBounded && field.getFieldName() == primaryKeys[0].getFieldName()) {
            info.flags |= FieldTypeInfo::kMinSet | FieldTypeInfo::kMaxSet;
            rowIdBounded = true;
        }
        for (const CarveOptions::SerialTypeBound& bound : options.serialTypeBounds) {
            if (bound.fieldIndex != static_cast<uint32_t>(field.getFieldIndex())) continue;
            // Within the bounds already set, if any.
            info.min = (info.flags & FieldTypeInfo::kMinSet) != 0 ? std::max(info.min, bound.min) : bound.min;
            info.max = (info.flags & FieldTypeInfo::kMaxSet) != 0 ? std::min(info.max, bound.max) : bound.max;
            info.flags |= FieldTypeInfo::kMinSet | FieldTypeInfo::kMaxSet;
            if (info.min > 0 || info.max < 0) info.flags &= ~FieldTypeInfo::kNullable;
        }
        inspector->addFieldTypeInfo(info);
    }
    return inspector;
}

void RecordInspector::addFieldTypeInfo(const FieldTypeInfo& info) {
    typeInfos_.push_back(info);
    const int64_t num = static_cast<int64_t>(typeInfos_.size()) + 3 - skippedHead_ - omittedTail_;
    varintNum_ = static_cast<int16_t>(std::min<int64_t>(num, INT16_MAX));
    rebuildChecks();
}

void RecordInspector::rebuildChecks() {
    checks_.clear();
    fastZoneEnd_ = -1;
    firstByteMayMatch_.fill(true);
    secondByteMayMatch_.fill(true);
    if (varintNum_ <= 0) return;
    checks_.assign(static_cast<size_t>(varintNum_), VarintCheck());
    // The visible part of the cell prefix: payload length and record header length.
    if (skippedHead_ == 0) checks_[0].kind = VarintCheck::kPositive;
    if (skippedHead_ < 3 && skippedHead_ + varintNum_ > 2) {
        VarintCheck& check = checks_[2 - skippedHead_];
        check.kind = VarintCheck::kEquals;
        check.expected = static_cast<int64_t>(typeInfos_.size()) + 1;
    }
    const int64_t fieldCount = static_cast<int64_t>(typeInfos_.size());
    for (int64_t i = std::max<int64_t>(0, int64_t(skippedHead_) - 3); i < fieldCount - omittedTail_;
         ++i) {
        VarintCheck& check = checks_[static_cast<size_t>(i + 3 - skippedHead_)];
        check.kind = VarintCheck::kType;
        check.info = typeInfos_[static_cast<size_t>(i)];
    }
    for (VarintCheck& check : checks_) {
        for (int64_t b = 0; b < 128; ++b) check.acceptsByte[static_cast<size_t>(b)] = check.accepts(b);
    }
    for (size_t b = 0; b < 128; ++b) firstByteMayMatch_[b] = checks_[0].acceptsByte[b];
    if (checks_.size() >= 2) {
        for (size_t b = 0; b < 128; ++b) secondByteMayMatch_[b] = checks_[1].acceptsByte[b];
    }
    fastZoneEnd_ = int64_t(pageLength_) - int64_t(kMaxVarintBytes) * varintNum_;
    if (fastZoneEnd_ < 0) fastZoneEnd_ = -1;
}

bool RecordInspector::inspect(const uint8_t* page, uint32_t offset, std::vector<int64_t>& varints,
                              uint32_t& headerBytes, ErrorInfo* error) const {
    if (offset >= pageLength_) {
        WCR_SET_ERROR(error, -2,
                      "Page offset[" + std::to_string(offset) + "] overflow to pageLength[" +
                          std::to_string(pageLength_) + "]!",
                      "inspect");
        return false;
    }
    if (varintNum_ <= 0) {
        WCR_SET_ERROR(error, -1,
                      "FieldNum[" + std::to_string(typeInfos_.size()) + "] + 3 <= skippedHead[" +
                          std::to_string(skippedHead_) + "] + omittedTail[" +
                          std::to_string(omittedTail_) + "]!",
                      "inspect");
        return false;
    }

    const uint8_t* bytes = page + offset;
    const uint32_t available = pageLength_ - offset;
    const uint32_t count = static_cast<uint32_t>(varintNum_);

    if (uint64_t(kMaxVarintBytes) * count <= available) {
        // Every varint wanted fits before the page end whatever the bytes are, so
        // neither a shortage nor a varint running past the end can occur: the
        // outcome is the conjunction of the checks, and the first failing check
        // decides it without reading the rest.
        clearIfSet(error);
        varints.clear();
        uint32_t position = 0;
        for (uint32_t j = 0; j < count; ++j) {
            const VarintCheck& check = checks_[j];
            const uint8_t first = bytes[position];
            if (first < 0x80) {
                varints.push_back(first);
                position += 1;
                if (!check.acceptsByte[first]) {
                    headerBytes = position;
                    return false;
                }
            } else {
                int64_t value = 0;
                position += decodeVarintUnchecked(bytes + position, value);
                varints.push_back(value);
                if (!check.accepts(value)) {
                    headerBytes = position;
                    return false;
                }
            }
        }
        headerBytes = position;
        return true;
    }

    // Near the page end: read every varint first, as a varint running past the
    // end must end the page even when an earlier serial type already mismatches.
    parseVarints(bytes, available, count, varints, headerBytes, error);
    if (!error->isSuccess()) {
        WCR_SET_ERROR(error, -2, "", "inspect");
        return false;
    }
    if (varints.size() < count) return false;
    for (uint32_t j = 0; j < count; ++j) {
        if (!checks_[j].accepts(varints[j])) return false;
    }
    return true;
}

bool RecordInspector::inspectNearPageEnd(const uint8_t* page, uint32_t offset, std::vector<int64_t>& varints,
                                         uint32_t& headerBytes, ErrorInfo* error, PageTail& tail) const {
    // The failures before any varint is read are those of the plain inspect.
    if (offset >= pageLength_ || varintNum_ <= 0 || int64_t(offset) <= fastZoneEnd_) {
        return inspect(page, offset, varints, headerBytes, error);
    }
    if (!tail.ready_ || tail.page_ != page) {
        // From the page end backwards: each varint's successor is known first.
        tail.page_ = page;
        tail.ready_ = true;
        tail.zoneStart_ = static_cast<uint32_t>(fastZoneEnd_ + 1);
        const uint32_t zone = pageLength_ - tail.zoneStart_;
        tail.steps_.resize(zone);
        tail.dirty_.resize(zone);
        for (uint32_t q = pageLength_; q-- > tail.zoneStart_;) {
            uint32_t length = 0;
            for (uint32_t i = 0; i < kMaxVarintBytes; ++i) {
                if (q + i >= pageLength_) break;
                if (i == kMaxVarintBytes - 1 || page[q + i] < 0x80) {
                    length = i + 1;
                    break;
                }
            }
            const uint32_t k = q - tail.zoneStart_;
            if (length == 0) {
                tail.steps_[k] = 1;
                tail.dirty_[k] = 1;
            } else if (q + length == pageLength_) {
                tail.steps_[k] = 1;
                tail.dirty_[k] = 0;
            } else {
                tail.steps_[k] = 1 + tail.steps_[q + length - tail.zoneStart_];
                tail.dirty_[k] = tail.dirty_[q + length - tail.zoneStart_];
            }
        }
    }
    const uint32_t count = static_cast<uint32_t>(varintNum_);
    const uint32_t k = offset - tail.zoneStart_;
    if (tail.dirty_[k] != 0 && tail.steps_[k] <= count) {
        // A varint runs past the page end: the page ends here (once per page).
        return inspect(page, offset, varints, headerBytes, error);
    }
    clearIfSet(error);
    varints.clear();
    headerBytes = 0;
    if (tail.steps_[k] < count) return false;  // fewer varints than columns before the end
    // All count varints lie within the page: check them as they come.
    uint32_t position = offset;
    for (uint32_t j = 0; j < count; ++j) {
        // Each of these varints ends within the page, so decoding stops in time.
        int64_t value = 0;
        position += decodeVarintUnchecked(page + position, value);
        varints.push_back(value);
        headerBytes = position - offset;
        if (!checks_[j].accepts(value)) return false;
    }
    return true;
}

bool RecordInspector::inspectFieldValues(uint32_t pageNumber, const uint8_t* page,
                                         const std::vector<int64_t>& varints, uint32_t offset,
                                         uint32_t headerBytes, std::shared_ptr<Record>& record,
                                         uint32_t& recordBytes, ErrorInfo* error) const {
    if (omittedTail_ != 0) {
        WCR_SET_ERROR(error, -1, "For NON-ZEROED omittedTail, cannot determine start of record data!",
                      "inspectFieldValues");
        return false;
    }
    const bool rowIdForm = !typeInfos_.empty() && typeInfos_[0].typeAffinity == schema::Field::kInteger &&
                           (typeInfos_[0].flags & 0x7) == 0x7 && typeInfos_[0].min == 0 &&
                           typeInfos_[0].max == 0;
    if (!(skippedHead_ <= 3 || (skippedHead_ == 4 && rowIdForm))) {
        WCR_SET_ERROR(error, -1, "cannot determine start of record data!", "inspectFieldValues");
        return false;
    }

    uint32_t dataStart = offset + headerBytes;
    if (!record) record = std::make_shared<Record>();
    const uint32_t fieldCount = static_cast<uint32_t>(typeInfos_.size());
    const uint32_t firstField = skippedHead_ < 4 ? 0u : skippedHead_ - 3u;

    // A run of zero bytes reads as a record of NULLs at almost every offset. When
    // the record already holds this page's shared NULL values, refilling it would
    // give the very same record: leave it as it is.
    if (dataStart <= pageLength_ && firstField < fieldCount && allNullCandidate(varints, firstField) &&
        holdsPageNullValues(*record, pageNumber, firstField)) {
        recordBytes = 0;
        clearIfSet(error);
        return true;
    }
    record->clear();
    recordBytes = 0;
    clearIfSet(error);

    for (uint32_t i = firstField; i < fieldCount - omittedTail_; ++i) {
        const size_t j = size_t(i) + 3 - skippedHead_;
        if (j >= varints.size()) {
            WCR_SET_ERROR(error, -2,
                          "Varint index[" + std::to_string(j) + "] overflow to varints[" +
                              std::to_string(varints.size()) + "]!",
                          "inspectFieldValues");
            return false;
        }
        if (varints[j] == 0 && dataStart <= pageLength_) {
            addValue(*record, i, cachedNullValue(pageNumber, i));
            continue;
        }
        uint32_t consumed = 0;
        std::shared_ptr<FieldValue> value = FieldValue::parseFieldValue(
            pageNumber, page, dataStart, pageLength_, i,
            table_->getFieldByFieldIndex(i).getFieldName(), varints[j], consumed, error);
        if (!value) return false;
        if (options_.textEncoding != 1 && value->isText()) {
            value = std::make_shared<FieldValue>(
                pageNumber, i, value->getFieldName(), value->getFieldType(), value->getValueOffset(),
                value->getValueBytes(), utf16ToUtf8(value->getTextValue(), options_.textEncoding == 3));
        }
        addValue(*record, i, value);
        dataStart += consumed;
        recordBytes += consumed;
    }
    return true;
}

bool RecordInspector::allNullCandidate(const std::vector<int64_t>& varints, uint32_t firstField) const {
    const size_t fieldCount = typeInfos_.size();
    for (size_t i = firstField; i < fieldCount; ++i) {
        const size_t j = i + 3 - skippedHead_;
        if (j >= varints.size() || varints[j] != 0) return false;
    }
    return true;
}

bool RecordInspector::holdsPageNullValues(const Record& record, uint32_t pageNumber, uint32_t firstField) const {
    const NullValueCache& cache = nullValueCache;
    if (cache.inspectorId != id_ || cache.pageNumber != pageNumber || cache.values.size() != typeInfos_.size()) {
        return false;
    }
    for (size_t i = firstField; i < cache.values.size(); ++i) {
        if (!cache.values[i]) return false;
    }
    return record.holdsExactly(cache.values.data() + firstField, cache.values.size() - firstField);
}

const std::shared_ptr<FieldValue>& RecordInspector::cachedNullValue(uint32_t pageNumber,
                                                                   uint32_t fieldIndex) const {
    NullValueCache& cache = nullValueCache;
    if (cache.inspectorId != id_ || cache.pageNumber != pageNumber) {
        cache.inspectorId = id_;
        cache.pageNumber = pageNumber;
        cache.values.assign(typeInfos_.size(), nullptr);
    }
    std::shared_ptr<FieldValue>& value = cache.values[fieldIndex];
    if (!value) {
        value = std::make_shared<FieldValue>(pageNumber, fieldIndex,
                                             table_->getFieldByFieldIndex(fieldIndex).getFieldName());
    }
    return value;
}

}  // namespace sqlite
}  // namespace talwen
