#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "sqlite_recovery/CarveOptions.h"
#include "sqlite_recovery/HeaderRebuilder.h"
#include "sqlite_recovery/PageMap.h"
#include "sqlite_recovery/RecordFilter.h"
#include "sqlite_recovery/RecordInspector.h"
#include "sqlite_recovery/SeekEventHandler.h"
#include "sqlite_recovery/SeekProgressIndicator.h"
#include "sqlite_recovery/Table.h"

namespace talwen {
namespace sqlite {

// Carves the records of one table from a contiguous run of pages: every byte
// offset of every page from offset 8 on is offered to the record inspector, and
// each decoded record that the filter accepts goes to the handler. Read-only
// after construction, so one object serves all threads of a seek, each calling
// seek on its own range with its own handler.
class SqliteBlockSeeker {
public:
    // Pages lie pageSize bytes apart; pageLength of each is usable. filter may be
    // null (every record is kept).
    SqliteBlockSeeker(const Table* table, uint32_t pageSize, uint32_t pageLength, RecordFilter* filter,
                      const CarveOptions& options = CarveOptions());

    // Scans pageCount pages starting at `buffer`, the first being firstPageNumber.
    // Reports to `progress` (may be null) every 100 pages and once at the end.
    // Returns the records the handler took.
    uint32_t seek(const uint8_t* buffer, uint32_t firstPageNumber, uint32_t pageCount,
                  SeekProgressIndicator* progress, SeekEventHandler* handler) const;

    // Where the candidate currently handed to the filter or the handler was
    // found on the calling thread: the offset within its page at which the
    // inspector matched (the first varint read) and the bytes of those varints;
    // its values start at offset + headerBytes. Valid only inside accept and
    // onRecord during seek.
    static uint32_t getCurrentRecordOffset();
    static uint32_t getCurrentHeaderBytes();
    // The page being scanned on the calling thread, valid in the same calls.
    static uint32_t getCurrentPageNumber();
    // The row id of that candidate's cell, read from the intact cell prefix before
    // it (a row id alias column is stored as NULL in the record itself); 0 when
    // the prefix is gone, as it is for most deleted cells. Valid in the same calls.
    static int64_t getCurrentCellRowId();
    // Whether that candidate's first serial type was rebuilt
    // (CarveOptions::rebuildHeadersWith): a freeblock header covered it, and its
    // row id with it. Valid in the same calls.
    static bool isCurrentRecordRebuilt();

    const std::shared_ptr<RecordInspector>& getInspector() const { return inspector_; }
    uint32_t getPageSize() const { return pageSize_; }
    uint32_t getPageLength() const { return pageLength_; }

    // A record the scan of a page handed to the handler: where its serial types
    // start, their bytes and one past its last value byte.
    struct FoundRecord {
        uint32_t offset = 0;
        uint32_t headerBytes = 0;
        uint32_t end = 0;
    };

private:
    // The rebuilt records of one page (CarveOptions::rebuildHeadersWith) offered to
    // the filter and the handler; returns the records the handler took. The
    // vectors are the scan's buffers.
    uint32_t offerRebuilt(const uint8_t* page, uint32_t pageNumber, const PageMap& map,
                          const HeaderRebuilder& rebuilder, std::vector<FoundRecord>& accepted,
                          std::vector<uint32_t>& boundaries, std::vector<HeaderRebuilder::Rebuilt>& rebuilt,
                          std::vector<std::pair<uint32_t, uint32_t>>& skip, std::shared_ptr<Record>& record,
                          SeekEventHandler* handler) const;

    uint32_t pageSize_ = 0;
    uint32_t pageLength_ = 0;
    RecordFilter* filter_ = nullptr;
    std::shared_ptr<RecordInspector> inspector_;
    uint32_t progressInterval_ = 100;
};

}  // namespace sqlite
}  // namespace talwen
