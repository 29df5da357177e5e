#pragma once

#include <cstdint>
#include <vector>

namespace talwen {
namespace sqlite {

class PageMap;

// Behaviours of the carving engine beyond the literal serial-type match. Every
// default keeps the engine's original results, which the messenger pipeline
// relies on; a caller turns on what it wants (sqlite-carve turns on all).
struct CarveOptions {
    // SQLite stores a whole-number value of a REAL column with an integer
    // serial type (and turns it back into a real when reading); accept those.
    bool realAcceptsIntegers = false;
    // Text encoding of the database (header field 56): 1 UTF-8, 2 UTF-16le,
    // 3 UTF-16be. Text of a UTF-16 database is handed out converted to UTF-8.
    int32_t textEncoding = 1;
    // Candidates that overlap are weighed against each other at the end of each
    // page (an intact cell prefix before the serial types counts most) and the
    // heaviest set that does not overlap is kept. Without it an accepted
    // candidate makes the scan jump past its header, over any real record it
    // overlaps.
    bool resolveOverlaps = false;
    // Serial types a column may have beyond what its type admits, for a caller
    // whose filter refuses every record with another one in that column: the
    // inspector then refuses those candidates before decoding their values, with
    // the same records handed out. NULL (serial type 0) only when within.
    struct SerialTypeBound {
        uint32_t fieldIndex = 0;
        int64_t min = 0;
        int64_t max = 0;
    };
    std::vector<SerialTypeBound> serialTypeBounds;
    // The handlers' onSliceEnd calls are made one at a time in a fixed order
    // (slice by slice, range by range), so that what handlers do there happens in
    // the same order in every run, however the threads are scheduled.
    bool orderedSlices = false;
    // The map of the file being scanned (never of a log's page images): offsets
    // inside its live cells where the cell's own record does not start
    // (PageMap::getLiveCellInteriors) are not offered to the inspector. For a
    // caller whose filter refuses every record found at such an offset, so the
    // records handed out are those of the full scan; most of a live file's
    // bytes are such offsets.
    const PageMap* skipLiveCellInteriors = nullptr;
    // The map of the file being scanned: after each page's scan, records whose
    // first serial type a freeblock header covered are rebuilt (HeaderRebuilder)
    // and offered to the filter and the handler like the others, unless the scan
    // found the same values already. Overflow pages and the inside of live cells
    // hold none. A rebuilt record's texts must read as text a program stored.
    // SqliteBlockSeeker::isCurrentRecordRebuilt tells the filter and the handler.
    const PageMap* rebuildHeadersWith = nullptr;

    // Everything a forensic carve wants, for a database of the given encoding.
    static CarveOptions forensic(int32_t textEncoding = 1) {
        CarveOptions options;
        options.realAcceptsIntegers = true;
        options.resolveOverlaps = true;
        options.textEncoding = textEncoding;
        return options;
    }
};

}  // namespace sqlite
}  // namespace talwen
