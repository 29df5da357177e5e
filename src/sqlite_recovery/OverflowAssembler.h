#pragma once

#include <cstdint>
#include <vector>

#include "sqlite_recovery/PageMap.h"

namespace talwen {
namespace sqlite {

// Puts back together the payload of a deleted table-leaf cell that spilled
// into overflow pages. A deleted record's overflow pages go to the freelist
// (or are left unreached) with their contents; the chain is followed from the
// page number after the cell's local part while it still reads as this
// payload's: every page a freelist leaf or unreached (never a page a live
// b-tree, a live payload or the freelist's own trunk holds), each entered once,
// and no more pages than the payload needs. Read-only over the loaded file.
class OverflowAssembler {
public:
    OverflowAssembler(const uint8_t* data, uint32_t pages, uint32_t pageSize, uint32_t usableSize, const PageMap* map)
        : data_(data), pages_(pages), pageSize_(pageSize), usableSize_(usableSize), map_(map) {}

    // The payload of `payloadSize` bytes whose first byte (the record's header
    // length) is at payloadStart of page pageNumber. `payload` receives what is
    // still there: the local part and as much of the chain as survives; the
    // result is true when that is the whole payload. False with an empty
    // payload when the local part itself does not fit on the page.
    // liveOwner: for a live cell, the root of its b-tree, whose overflow pages
    // the chain then runs through instead of free ones.
    bool assemble(uint32_t pageNumber, uint32_t payloadStart, uint64_t payloadSize, std::vector<uint8_t>& payload,
                  uint32_t liveOwner = 0) const;

private:
    const uint8_t* data_;
    uint32_t pages_;
    uint32_t pageSize_;
    uint32_t usableSize_;
    const PageMap* map_;
};

}  // namespace sqlite
}  // namespace talwen
