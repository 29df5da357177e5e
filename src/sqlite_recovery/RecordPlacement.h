#pragma once

#include <cstdint>

#include "sqlite_recovery/PageMap.h"
#include "sqlite_recovery/Record.h"
#include "sqlite_recovery/RecordFilter.h"

namespace talwen {
namespace sqlite {

// Where a carved record of one table lies, judged by the file's page map: a
// live cell of the table's own b-tree, a freeblock or the unallocated gap of
// one of its pages, a freelist page or a page nothing reaches. Bytes that
// belong to something else (a live cell read at another offset or of another
// b-tree, a page of another b-tree, an overflow page of a live payload, page
// headers and cell pointers) hold no record of this table. Read-only.
class RecordPlacement {
public:
    enum class State : uint8_t { kRejected, kLive, kFreeblock, kUnallocated, kFreelist };

    // tableRoot: root page of the carved table; rowIdFirst: the inspector starts
    // at the second serial type (the table's INTEGER PRIMARY KEY is column 0).
    RecordPlacement(const PageMap* map, uint32_t tableRoot, bool rowIdFirst)
        : map_(map), tableRoot_(tableRoot), rowIdFirst_(rowIdFirst) {}

    // offset and headerBytes as the seek reports them for the record.
    State judge(uint32_t pageNumber, uint32_t offset, uint32_t headerBytes, const Record& record) const;

    // The same for a record not in a live cell whose bytes on the page are
    // [begin, end) (the local part of a spilled payload, its page number included).
    State judgeFree(uint32_t pageNumber, uint32_t begin, uint32_t end) const;

    // "live", "freeblock", "unallocated", "freelist"; "rejected".
    static const char* name(State state);

private:
    const PageMap* map_;
    uint32_t tableRoot_;
    bool rowIdFirst_;
};

// Passes on the records an inner filter (may be null) keeps and the placement
// does not reject; lastState tells the calling thread's handler where the
// record it is given lies.
class PlacementFilter : public RecordFilter {
public:
    PlacementFilter(const RecordPlacement* placement, RecordFilter* inner) : placement_(placement), inner_(inner) {}
    bool accept(std::shared_ptr<Record>& record) override;
    static RecordPlacement::State lastState();

private:
    const RecordPlacement* placement_;
    RecordFilter* inner_;
};

}  // namespace sqlite
}  // namespace talwen
