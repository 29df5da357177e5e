#pragma once

#include <cstdint>

#include "sqlite_recovery/Database.h"
#include "common/ErrorInfo.h"
#include "sqlite_recovery/CarveOptions.h"
#include "sqlite_recovery/RecordFilter.h"
#include "sqlite_recovery/SeekEventHandler.h"
#include "sqlite_recovery/SeekProgressIndicator.h"
#include "sqlite_recovery/Table.h"

namespace talwen {
namespace sqlite {

// Carves every record of one table out of a whole database file: maps the file
// once, cuts its pages into one contiguous range per thread and scans each range
// with the shared SqliteBlockSeeker on its own thread, in slices whose memory is
// given back once scanned (resident memory does not grow with the file). A
// short-lived object: construct, seek once, destroy. Nothing passed in is owned.
class SqliteDatabaseSeeker {
public:
    // filter may be null (every record is kept).
    SqliteDatabaseSeeker(Database* database, const Table* table, RecordFilter* filter);

    // Engine behaviours beyond the literal match; the defaults keep it.
    void setOptions(const CarveOptions& options) { options_ = options; }
    // Bytes each thread scans before giving their memory back (at least one page).
    void setSliceBytes(uint64_t bytes) { sliceBytes_ = bytes; }

    // handlers holds max(threadCount, 1) non-null entries; handlers[i] receives
    // the records of range i and is called only from that range's thread. With
    // threadCount <= 1 or >= the page count, one scan runs on the calling thread
    // with handlers[0]. progress may be null; it is begun and finished only when
    // the file could be loaded. Returns the records taken; a handler given for
    // several ranges counts once, with its largest range result. Fails (result 0)
    // only when the file cannot be mapped or a handler is missing;
    // failures inside a scan never reach `error`. A stop requested through
    // progress ends every range after the page it is on.
    uint32_t seek(uint32_t threadCount, SeekProgressIndicator* progress,
                  SeekEventHandler* const* handlers, common::ErrorInfo* error);

private:
    Database* database_ = nullptr;
    const Table* table_ = nullptr;
    RecordFilter* filter_ = nullptr;
    CarveOptions options_;
    uint64_t sliceBytes_ = uint64_t(16) << 20;
};

}  // namespace sqlite
}  // namespace talwen
