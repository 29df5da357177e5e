#include "sqlite_recovery/HeaderRebuilder.h"

#include <algorithm>

#include "sqlite_recovery/Field.h"

namespace talwen {
namespace sqlite {

namespace {
uint32_t be16(const uint8_t* p) { return (uint32_t(p[0]) << 8) | p[1]; }

// One varint within `available` bytes; its length or 0.
uint32_t readVarint(const uint8_t* p, uint32_t available, int64_t& value) {
    uint64_t v = 0;
    for (uint32_t i = 0; i < 9; ++i) {
        if (i >= available) return 0;
        if (i == 8) {
            value = static_cast<int64_t>((v << 8) | p[8]);
            return 9;
        }
        v = (v << 7) | (p[i] & 0x7F);
        if ((p[i] & 0x80) == 0) {
            value = static_cast<int64_t>(v);
            return i + 1;
        }
    }
    return 0;
}
}  // namespace

int64_t HeaderRebuilder::valueSize(int64_t s) {
    static const int64_t kFixed[] = {0, 1, 2, 3, 4, 6, 8, 8, 0, 0};
    if (s >= 0 && s <= 9) return kFixed[s];
    if (s >= 12) return (s - 12) / 2;
    return -1;
}

int64_t HeaderRebuilder::serialTypeForSize(const FieldTypeInfo& column, int64_t size) {
    if (size < 0) return -1;
    int64_t candidates[5];
    int count = 0;
    if (size == 0) {
        for (int64_t s : {0, 8, 9}) candidates[count++] = s;
    } else if (size <= 4) {
        candidates[count++] = size;
    } else if (size == 6) {
        candidates[count++] = 5;
    } else if (size == 8) {
        candidates[count++] = 6;
        candidates[count++] = 7;
    }
    candidates[count++] = 2 * size + 12;
    candidates[count++] = 2 * size + 13;
    int64_t found = -1;
    int matches = 0;
    for (int i = 0; i < count; ++i) {
        if (column.matches(candidates[i])) {
            found = candidates[i];
            ++matches;
        }
    }
    if (matches == 2 && size == 8 && column.typeAffinity == schema::Field::kReal && column.matches(7)) return 7;
    if (matches > 1 && size == 0) return kUnknownEmpty;
    return matches == 1 ? found : -1;
}

bool HeaderRebuilder::applies() const {
    return inspector_->getSkippedHead() == 3 && inspector_->getOmittedTail() == 0 &&
           inspector_->getTypeInfos().size() >= 2;
}

void HeaderRebuilder::rebuild(const uint8_t* page, uint32_t from, const std::vector<uint32_t>& boundaries,
                              std::vector<Rebuilt>& out) const {
    if (!applies()) return;
    const uint32_t pageLength = inspector_->getPageLength();
    const size_t firstNew = out.size();
    // From the page end backwards, so that a cell inside a merged freeblock can
    // end where the next rebuilt cell starts.
    std::vector<uint32_t> known(boundaries);
    Rebuilt rebuilt;
    if (pageLength < 8) return;
    for (uint32_t cellStart = pageLength - 8 + 1; cellStart-- > from;) {
        if (rebuildAt(page, cellStart, known, rebuilt)) {
            out.push_back(rebuilt);
            known.insert(std::upper_bound(known.begin(), known.end(), cellStart), cellStart);
        }
    }
    std::reverse(out.begin() + static_cast<std::ptrdiff_t>(firstNew), out.end());
}

bool HeaderRebuilder::rebuildAt(const uint8_t* page, uint32_t cellStart, const std::vector<uint32_t>& boundaries,
                                Rebuilt& rebuilt) const {
    const uint32_t pageLength = inspector_->getPageLength();
    const std::vector<FieldTypeInfo>& columns = inspector_->getTypeInfos();
    if (uint64_t(cellStart) + 4 >= pageLength) return false;
    // A freeblock header: the next block lies after this one (or there is none).
    const uint32_t next = be16(page + cellStart);
    const uint32_t size = be16(page + cellStart + 2);
    if (size < 4 + columns.size() || uint64_t(cellStart) + size > pageLength) return false;
    if (next != 0 && (next <= cellStart || next >= pageLength)) return false;

    rebuilt.varints.assign(1, 0);
    uint32_t at = cellStart + 4;
    int64_t known = 0;
    for (size_t i = 1; i < columns.size(); ++i) {
        int64_t serialType = 0;
        const uint32_t length = readVarint(page + at, pageLength - at, serialType);
        if (length == 0 || !columns[i].matches(serialType)) return false;
        known += valueSize(serialType);
        rebuilt.varints.push_back(serialType);
        at += length;
    }
    const uint64_t bodyStart = at;
    const uint64_t minimumEnd = bodyStart + uint64_t(known);
    uint64_t end = uint64_t(cellStart) + size;
    int64_t first = end >= minimumEnd ? serialTypeForSize(columns[0], int64_t(end - minimumEnd)) : -1;
    if (first == -1) {
        // A merged freeblock: the cell ends where the next known cell starts.
        const auto boundary = std::lower_bound(boundaries.begin(), boundaries.end(), minimumEnd);
        if (boundary == boundaries.end()) return false;
        end = *boundary;
        first = serialTypeForSize(columns[0], int64_t(end - minimumEnd));
        if (first == -1) return false;
    }
    if (end > pageLength) return false;
    rebuilt.firstUnknown = first == kUnknownEmpty;
    rebuilt.varints[0] = rebuilt.firstUnknown ? 0 : first;
    rebuilt.cellStart = cellStart;
    rebuilt.offset = cellStart + 4;
    rebuilt.headerBytes = at - (cellStart + 4);
    rebuilt.end = static_cast<uint32_t>(end);
    return true;
}

}  // namespace sqlite
}  // namespace talwen
