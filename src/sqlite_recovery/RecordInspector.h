#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/ErrorInfo.h"
#include "sqlite_recovery/CarveOptions.h"
#include "sqlite_recovery/FieldTypeInfo.h"
#include "sqlite_recovery/Record.h"
#include "sqlite_recovery/Table.h"

namespace talwen {
namespace sqlite {

// Decides whether a record of one known table starts at a byte offset of a page
// and decodes it. It knows nothing of the page's structure: every offset is
// judged only by whether the bytes there read as the serial types of the table's
// columns. Because a freed cell loses its first bytes to a freeblock header, the
// first skippedHead varints of a cell (payload length, row id, header length,
// and the row-id column's serial type when that column comes first) are not read.
//
// Read-only once configured: any number of threads may call inspect and
// inspectFieldValues at once, each with its own vector, Record and ErrorInfo.
class RecordInspector {
public:
    // skippedHead: leading cell varints not read (3 = start at the first serial
    // type); omittedTail: trailing columns whose serial types are not read.
    RecordInspector(const Table* table, uint32_t pageLength, uint16_t skippedHead,
                    uint16_t omittedTail);

    // An inspector for `table` on pages of pageLength usable bytes. A table whose
    // single primary key column has INTEGER affinity keeps that column as the row
    // id: its serial type must be 0, and when it is column 0 it is not read at all.
    // `options` widens what is accepted (REAL columns holding integer serial
    // types) and how text is handed out (UTF-16 converted to UTF-8); the
    // defaults keep the literal match.
    static std::shared_ptr<RecordInspector> create(const Table* table, uint32_t pageLength,
                                                   const CarveOptions& options = CarveOptions());

    // Appends the expectations of the next column and recomputes varintNum.
    void addFieldTypeInfo(const FieldTypeInfo& info);

    // True when the serial types read at page + offset match every column.
    // Failures: code -2 when offset >= pageLength (how a page scan ends) and when
    // a varint runs past the usable page end (empty message); code -1 when no
    // varint is to be read at all. `varints` and headerBytes receive the varints
    // read and the bytes they occupy; they are complete when the result is true
    // or a failure is reported. When the result is false without failure the
    // varints stop at the first one that ruled the candidate out, unless fewer
    // than 9 bytes per varint remain before the page end; then all are read.
    bool inspect(const uint8_t* page, uint32_t offset, std::vector<int64_t>& varints,
                 uint32_t& headerBytes, common::ErrorInfo* error) const;

    // What the varints from each offset near the end of one page do, for a
    // scan that offers every offset of that page: how many varints there are
    // from the offset to the page end and whether the last runs past it. Lets
    // inspect decide a candidate there from its first serial types instead of
    // reading all of a wide table's varints at every offset. Owned by one scan
    // (one thread); reset for every page.
    class PageTail {
    public:
        void reset(const uint8_t* page) { page_ = page, ready_ = false; }

    private:
        friend class RecordInspector;
        const uint8_t* page_ = nullptr;
        bool ready_ = false;
        uint32_t zoneStart_ = 0;
        std::vector<uint32_t> steps_;  // varints from the offset to the end
        std::vector<uint8_t> dirty_;   // the last of them runs past the end
    };

    // inspect with the same result, error, headerBytes and (for true and for a
    // failure) varints, whose work per offset does not grow with the number of
    // columns; `tail` must have been reset for `page`.
    bool inspect(const uint8_t* page, uint32_t offset, std::vector<int64_t>& varints, uint32_t& headerBytes,
                 common::ErrorInfo* error, PageTail& tail) const {
        // Far from the page end the plain inspect already stops at the first
        // serial type that fails.
        if (int64_t(offset) <= fastZoneEnd_) return inspect(page, offset, varints, headerBytes, error);
        return inspectNearPageEnd(page, offset, varints, headerBytes, error, tail);
    }

    // The first offset from `offset` on that inspect could match, skipping only
    // offsets at which inspect would return false without failure: offsets far
    // enough from the page end that no varint can run past it, whose first byte
    // is a one-byte varint the first check refuses, or whose first two bytes are
    // one-byte varints and the second check refuses the second. Returns `offset`
    // itself when it cannot rule it out. Lets a scan pass over text and other
    // bytes that can never start a record without a call per offset.
    uint32_t nextCandidateOffset(const uint8_t* page, uint32_t offset) const {
        const int64_t end = fastZoneEnd_;
        while (offset <= end) {
            const uint8_t first = page[offset];
            if (firstByteMayMatch_[first] && (first >= 0x80 || secondByteMayMatch_[page[offset + 1]])) break;
            ++offset;
        }
        return offset;
    }

    // Decodes the values of a candidate that inspect matched into `record`
    // (cleared first); the values start at offset + headerBytes. recordBytes
    // receives the bytes of the values decoded. False with the failure set when
    // a value does not decode within the page or the configuration leaves the
    // start of the values unknown; the record then holds the columns decoded so far.
    bool inspectFieldValues(uint32_t pageNumber, const uint8_t* page,
                            const std::vector<int64_t>& varints, uint32_t offset,
                            uint32_t headerBytes, std::shared_ptr<Record>& record,
                            uint32_t& recordBytes, common::ErrorInfo* error) const;

    const Table* getTable() const { return table_; }
    uint32_t getPageLength() const { return pageLength_; }
    uint16_t getSkippedHead() const { return skippedHead_; }
    uint16_t getOmittedTail() const { return omittedTail_; }
    int16_t getVarintNum() const { return varintNum_; }
    const CarveOptions& getOptions() const { return options_; }

    // For a scan that just offered offset - 1 as a candidate made of varintNum zero
    // bytes: true when `offset` is such a candidate too and `record` already holds
    // what inspectFieldValues would decode there (this page's NULL values), so the
    // candidate at `offset` is the very same record. Only where its varintNum
    // zero bytes lie within the usable page, so that none can run past its end.
    bool repeatsZeroCandidate(const uint8_t* page, uint32_t offset, uint32_t pageNumber,
                              const Record& record) const {
        return continuesZeroRun(page, offset) &&
               holdsPageNullValues(record, pageNumber, skippedHead_ < 4 ? 0u : skippedHead_ - 3u);
    }
    // The byte half of repeatsZeroCandidate: after a candidate of varintNum zero
    // bytes at offset - 1, the one at `offset` is made of zero bytes too. A scan
    // that knows its record still holds the page's NULL values needs no more.
    bool continuesZeroRun(const uint8_t* page, uint32_t offset) const {
        return varintNum_ > 0 && uint64_t(offset) + uint32_t(varintNum_) <= pageLength_ &&
               page[offset + uint32_t(varintNum_) - 1] == 0;
    }
    // True when the varints read at a candidate were varintNum single zero bytes.
    bool isZeroCandidate(const std::vector<int64_t>& varints, uint32_t headerBytes) const {
        if (varintNum_ <= 0 || headerBytes != uint32_t(varintNum_) || varints.size() != size_t(varintNum_)) {
            return false;
        }
        for (int64_t v : varints) {
            if (v != 0) return false;
        }
        return true;
    }
    const std::vector<FieldTypeInfo>& getTypeInfos() const { return typeInfos_; }

private:
    // The test applied to the varint at one index of the sequence read.
    struct VarintCheck {
        enum Kind : uint8_t { kNone, kPositive, kEquals, kType };
        Kind kind = kNone;
        int64_t expected = 0;  // kEquals
        FieldTypeInfo info;    // kType
        // Outcome for every value a one-byte varint can carry (0 to 127).
        std::array<bool, 128> acceptsByte{};
        bool accepts(int64_t value) const {
            switch (kind) {
                case kPositive: return value > 0;
                case kEquals: return value == expected;
                case kType: return info.matches(value);
                case kNone: break;
            }
            return true;
        }
    };

    void rebuildChecks();
    bool inspectNearPageEnd(const uint8_t* page, uint32_t offset, std::vector<int64_t>& varints,
                            uint32_t& headerBytes, common::ErrorInfo* error, PageTail& tail) const;
    void addValue(Record& record, uint32_t fieldIndex, const std::shared_ptr<FieldValue>& value) const {
        if (fieldIndex < nameRepeats_.size() && nameRepeats_[fieldIndex] == 0) {
            record.appendNewFieldValue(value);
        } else {
            record.addFieldValue(value);
        }
    }
    // The NULL value of a column on a page, shared by the records of that page
    // carved on the calling thread.
    const std::shared_ptr<FieldValue>& cachedNullValue(uint32_t pageNumber, uint32_t fieldIndex) const;
    // Every decoded column of the candidate has serial type 0.
    bool allNullCandidate(const std::vector<int64_t>& varints, uint32_t firstField) const;
    // The record holds exactly this thread's shared NULL values of the page.
    bool holdsPageNullValues(const Record& record, uint32_t pageNumber, uint32_t firstField) const;

    // Tells this inspector's cached values apart from those of any other.
    uint64_t id_ = 0;
    const Table* table_ = nullptr;
    uint32_t pageLength_ = 0;
    uint16_t skippedHead_ = 3;
    uint16_t omittedTail_ = 0;
    int16_t varintNum_ = -1;
    CarveOptions options_;
    std::vector<FieldTypeInfo> typeInfos_;
    // Per column: its name (ignoring ASCII case) is that of an earlier column,
    // so a record keeps the earlier one under that name.
    std::vector<uint8_t> nameRepeats_;
    // One entry per varint read (varintNum entries), derived from the fields above.
    std::vector<VarintCheck> checks_;
    // Whether a candidate whose first byte is b can pass the first check (bytes
    // from 0x80 on start longer varints and are left to inspect).
    std::array<bool, 256> firstByteMayMatch_{};
    // The same for the second varint when the first was one byte long (all true
    // when fewer than two varints are read).
    std::array<bool, 256> secondByteMayMatch_{};
    // Last offset from which varintNum varints of 9 bytes fit in the usable
    // page; -1 (no offset) when none do or nothing is read.
    int64_t fastZoneEnd_ = -1;
};

}  // namespace sqlite
}  // namespace talwen
