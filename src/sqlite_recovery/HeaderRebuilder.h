#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "sqlite_recovery/Record.h"
#include "sqlite_recovery/RecordInspector.h"

namespace talwen {
namespace sqlite {

// Recovers records whose first serial type a freeblock header overwrote. When
// a cell with a one-byte payload length, row id and header length is freed,
// the 4-byte freeblock header (next block, size) covers exactly those three
// bytes and the first serial type; the other serial types and the values stay.
// The header's size field (also in a stale header inside a larger, merged
// freeblock) or the next cell boundary gives the cell's end, so the size of the
// first value is known, and with the column's type its serial type, when one
// type alone fits. Only whole matches are returned: every surviving serial type
// matches its column and the values end exactly at the cell's end.
//
// For inspectors that start at the first serial type (skippedHead 3) of tables
// of two or more columns; read-only, any threads.
class HeaderRebuilder {
public:
    struct Rebuilt {
        uint32_t cellStart = 0;     // where the (freeblock) header lies
        uint32_t offset = 0;        // first surviving serial type
        uint32_t headerBytes = 0;   // bytes of the surviving serial types
        std::vector<int64_t> varints;  // all serial types, the rebuilt one first
        uint32_t end = 0;           // one past the last value byte
        // The lost value took no bytes and the column admits more than one such
        // serial type (NULL, 0, 1): the record is whole, but that value is not
        // known; varints[0] is then 0.
        bool firstUnknown = false;
    };

    explicit HeaderRebuilder(const RecordInspector* inspector) : inspector_(inspector) {}

    bool applies() const;

    // Candidates between `from` and the usable page end. `boundaries` (sorted)
    // are offsets where cells are known to start (live cells, freeblocks); a
    // header whose size field does not give the end (a merged freeblock) ends
    // at the nearest one, or at the start of a record rebuilt after it.
    // `skip` (sorted, disjoint [begin, end) ranges, may be null): offsets where no
    // freed cell can start, such as the inside of live cells.
    void rebuild(const uint8_t* page, uint32_t from, const std::vector<uint32_t>& boundaries,
                 std::vector<Rebuilt>& out,
                 const std::vector<std::pair<uint32_t, uint32_t>>* skip = nullptr) const;

    // Adds to `starts` where the cell of a record found by the seek starts: at a
    // freeblock header that covers its prefix exactly, or where an intact payload
    // length and row id lead to its header length. offset: its first serial type
    // (the second when rowIdFirst); its values span [valuesStart, valuesEnd).
    static void addCellStartsOf(const uint8_t* page, uint32_t usableSize, uint32_t offset, uint32_t valuesStart,
                                uint32_t valuesEnd, bool rowIdFirst, std::vector<uint32_t>& starts);

    // Every text of the record is well-formed UTF-8 without control characters
    // other than tab and line breaks: what a program stores. A record whose first
    // serial type was inferred must read this way, since nothing else vouches for it.
    static bool readsAsStoredText(const Record& record);

    // Bytes of the value of serial type s; -1 for 10, 11 and negative types.
    static int64_t valueSize(int64_t serialType);
    // The one serial type of `size` bytes that the column admits; -1 when none
    // or several do (a REAL column's 8 bytes are taken as a real), kUnknownEmpty
    // when several do and all of them take no bytes.
    static constexpr int64_t kUnknownEmpty = -2;
    static int64_t serialTypeForSize(const FieldTypeInfo& column, int64_t size);

private:
    bool rebuildAt(const uint8_t* page, uint32_t cellStart, const std::vector<uint32_t>& boundaries,
                   Rebuilt& rebuilt) const;

    const RecordInspector* inspector_;
};

}  // namespace sqlite
}  // namespace talwen
