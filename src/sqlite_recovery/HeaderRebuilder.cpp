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
                              std::vector<Rebuilt>& out,
                              const std::vector<std::pair<uint32_t, uint32_t>>* skip) const {
    if (!applies()) return;
    const uint32_t pageLength = inspector_->getPageLength();
    const size_t firstNew = out.size();
    // From the page end backwards, so that a cell inside a merged freeblock can
    // end where the next rebuilt cell starts.
    std::vector<uint32_t> known(boundaries);
    Rebuilt rebuilt;
    if (pageLength < 8) return;
    // The skipped ranges from the last one backwards, as the offsets go.
    size_t range = skip != nullptr ? skip->size() : 0;
    for (uint32_t cellStart = pageLength - 8 + 1; cellStart-- > from;) {
        if (skip != nullptr) {
            while (range > 0 && (*skip)[range - 1].first > cellStart) --range;
            if (range > 0 && cellStart < (*skip)[range - 1].second) {
                cellStart = (*skip)[range - 1].first;  // the loop steps below the range
                if (cellStart <= from) break;
                continue;
            }
        }
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

void HeaderRebuilder::addCellStartsOf(const uint8_t* page, uint32_t usableSize, uint32_t offset,
                                      uint32_t valuesStart, uint32_t valuesEnd, bool rowIdFirst,
                                      std::vector<uint32_t>& starts) {
    if (valuesEnd < valuesStart || valuesEnd > usableSize) return;
    // A cell whose payload length, row id and header length a freeblock header
    // covered exactly starts at that header.
    if (offset >= 4) {
        const uint32_t start = offset - 4;
        const uint32_t next = be16(page + start);
        const uint32_t size = be16(page + start + 2);
        if (size >= valuesEnd - start && start + size <= usableSize && (next == 0 || next >= start + size)) {
            starts.push_back(start);
        }
    }
    // The cell starts where a payload length and a row id read from there lead to
    // the header length byte and the payload length is the record's.
    const uint32_t lengthBytes = rowIdFirst ? 2 : 1;
    if (offset < 4) return;
    const uint32_t lengthAt = offset - lengthBytes;
    const uint32_t headerLength = valuesStart - lengthAt;
    if (headerLength >= 0x80 || page[lengthAt] != headerLength) return;
    for (uint32_t back = 2; back <= 6 && back <= lengthAt; ++back) {
        const uint32_t start = lengthAt - back;
        int64_t payload = 0, rowId = 0;
        const uint32_t payloadBytes = readVarint(page + start, back, payload);
        if (payloadBytes == 0 || payloadBytes >= back) continue;
        const uint32_t rowIdBytes = readVarint(page + start + payloadBytes, back - payloadBytes, rowId);
        if (rowIdBytes == 0 || payloadBytes + rowIdBytes != back) continue;
        if (payload == int64_t(valuesEnd - lengthAt)) starts.push_back(start);
    }
}

bool HeaderRebuilder::readsAsStoredText(const Record& record) {
    for (const auto& value : record.getFieldValues()) {
        if (!value->isText()) continue;
        const std::string& text = value->getTextValue();
        const size_t n = text.size();
        for (size_t i = 0; i < n;) {
            const unsigned char c = static_cast<unsigned char>(text[i]);
            if (c < 0x80) {
                if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F) return false;
                ++i;
                continue;
            }
            // Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
            uint32_t length = 0, codePoint = 0, minimum = 0;
            if ((c & 0xE0) == 0xC0) { length = 2; codePoint = c & 0x1F; minimum = 0x80; }
            else if ((c & 0xF0) == 0xE0) { length = 3; codePoint = c & 0x0F; minimum = 0x800; }
            else if ((c & 0xF8) == 0xF0) { length = 4; codePoint = c & 0x07; minimum = 0x10000; }
            else return false;
            if (n - i < length) return false;
            for (uint32_t k = 1; k < length; ++k) {
                const unsigned char next = static_cast<unsigned char>(text[i + k]);
                if ((next & 0xC0) != 0x80) return false;
                codePoint = (codePoint << 6) | (next & 0x3F);
            }
            if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
                return false;
            }
            i += length;
        }
    }
    return true;
}

}  // namespace sqlite
}  // namespace talwen
