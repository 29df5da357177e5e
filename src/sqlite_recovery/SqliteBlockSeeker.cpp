#include "sqlite_recovery/SqliteBlockSeeker.h"

#include <algorithm>
#include <vector>

#include "common/ErrorInfo.h"
#include "sqlite_recovery/HeaderRebuilder.h"
#include "sqlite_recovery/PageMap.h"
#include "sqlite_recovery/Record.h"
#include "sqlite_recovery/SqliteFacility.h"

namespace talwen {
namespace sqlite {

namespace {
// A candidate kept for the overlap resolution at the end of its page.
struct PendingRecord {
    uint32_t offset = 0;
    uint32_t headerBytes = 0;
    uint32_t end = 0;
    uint32_t weight = 0;
    std::shared_ptr<Record> record;
    int64_t cellRowId = 0;
};

// The candidates (in offset order) of the heaviest set in which no two
// overlap; ties keep the earlier ones.
std::vector<size_t> heaviestDisjointSet(const std::vector<PendingRecord>& pending) {
    const size_t n = pending.size();
    std::vector<size_t> byEnd(n);
    for (size_t i = 0; i < n; ++i) byEnd[i] = i;
    std::stable_sort(byEnd.begin(), byEnd.end(),
                     [&pending](size_t a, size_t b) { return pending[a].end < pending[b].end; });
    // best[k]: heaviest weight among the first k candidates by end.
    std::vector<uint64_t> best(n + 1, 0);
    std::vector<size_t> previous(n, 0);
    for (size_t k = 0; k < n; ++k) {
        const PendingRecord& candidate = pending[byEnd[k]];
        // Candidates by end that finish at or before this one starts.
        size_t lo = 0, hi = k;
        while (lo < hi) {
            const size_t mid = (lo + hi) / 2;
            if (pending[byEnd[mid]].end <= candidate.offset) lo = mid + 1; else hi = mid;
        }
        previous[k] = lo;
        best[k + 1] = std::max(best[k], best[lo] + candidate.weight);
    }
    std::vector<size_t> chosen;
    for (size_t k = n; k > 0;) {
        const PendingRecord& candidate = pending[byEnd[k - 1]];
        if (best[k] == best[previous[k - 1]] + candidate.weight && best[k] != best[k - 1]) {
            chosen.push_back(byEnd[k - 1]);
            k = previous[k - 1];
        } else {
            --k;
        }
    }
    std::sort(chosen.begin(), chosen.end());
    return chosen;
}

// First bytes of a page that are never examined.
constexpr uint32_t kFirstOffset = 8;

thread_local uint32_t currentRecordOffset = 0;
thread_local uint32_t currentHeaderBytes = 0;
thread_local uint32_t currentPageNumber = 0;
thread_local int64_t currentCellRowId = 0;
thread_local bool currentRebuilt = false;

// The row id in the cell prefix before the candidate at offset (its serial types
// in varints), 0 when that prefix is not intact. The record header's length is one
// byte right before the serial types (and the row id's serial type 0 when the row
// id is the first column and skipped).
int64_t cellRowIdOf(const uint8_t* page, uint32_t offset, uint32_t headerBytes, const std::vector<int64_t>& varints,
                    uint32_t skipped) {
    if (skipped != 3 && skipped != 4) return 0;
    const uint32_t lengthAt = skipped == 4 ? 2 : 1;
    const uint32_t headerLength = headerBytes + lengthAt;
    if (offset < lengthAt || headerLength >= 0x80 || page[offset - lengthAt] != headerLength) return 0;
    if (skipped == 4 && page[offset - 1] != 0) return 0;
    uint64_t payload = headerLength;
    for (const int64_t serialType : varints) {
        const int64_t size = HeaderRebuilder::valueSize(serialType);
        if (size < 0 || size > (int64_t(1) << 32)) return 0;
        payload += static_cast<uint64_t>(size);
    }
    return cellRowIdBefore(page, offset - lengthAt, payload);
}
}  // namespace

SqliteBlockSeeker::SqliteBlockSeeker(const Table* table, uint32_t pageSize, uint32_t pageLength,
                                     RecordFilter* filter, const CarveOptions& options)
    : pageSize_(pageSize), pageLength_(pageLength), filter_(filter),
      inspector_(RecordInspector::create(table, pageLength, options)) {}

uint32_t SqliteBlockSeeker::getCurrentRecordOffset() { return currentRecordOffset; }
uint32_t SqliteBlockSeeker::getCurrentHeaderBytes() { return currentHeaderBytes; }
uint32_t SqliteBlockSeeker::getCurrentPageNumber() { return currentPageNumber; }
int64_t SqliteBlockSeeker::getCurrentCellRowId() { return currentCellRowId; }
bool SqliteBlockSeeker::isCurrentRecordRebuilt() { return currentRebuilt; }

uint32_t SqliteBlockSeeker::offerRebuilt(const uint8_t* page, uint32_t pageNumber, const PageMap& map,
                                         const HeaderRebuilder& rebuilder, std::vector<FoundRecord>& accepted,
                                         std::vector<uint32_t>& boundaries,
                                         std::vector<HeaderRebuilder::Rebuilt>& rebuilt,
                                         std::vector<std::pair<uint32_t, uint32_t>>& skip, std::shared_ptr<Record>& record,
                                         SeekEventHandler* handler) const {
    const RecordInspector& inspector = *inspector_;
    const bool rowIdFirst = inspector.getSkippedHead() == 4;
    // Cells start at the map's live cells and freeblocks, and where the records
    // the scan took start theirs.
    boundaries = map.getCellBoundaries(pageNumber);
    for (const FoundRecord& found : accepted) {
        HeaderRebuilder::addCellStartsOf(page, pageLength_, found.offset, found.offset + found.headerBytes, found.end,
                                         rowIdFirst, boundaries);
    }
    std::sort(boundaries.begin(), boundaries.end());
    std::sort(accepted.begin(), accepted.end(), [](const FoundRecord& a, const FoundRecord& b) {
        return a.offset + a.headerBytes < b.offset + b.headerBytes;
    });
    map.getLiveCellInteriors(pageNumber, skip);
    rebuilt.clear();
    rebuilder.rebuild(page, std::max<uint32_t>(kFirstOffset, map.getStructureEnd(pageNumber)), boundaries, rebuilt,
                      &skip);
    uint32_t taken = 0;
    common::ErrorInfo error;
    for (const HeaderRebuilder::Rebuilt& candidate : rebuilt) {
        const uint32_t valuesStart = candidate.offset + candidate.headerBytes;
        // The scan read these values already, with their own header.
        const auto same = std::lower_bound(accepted.begin(), accepted.end(), valuesStart,
                                           [](const FoundRecord& found, uint32_t start) {
                                               return found.offset + found.headerBytes < start;
                                           });
        if (same != accepted.end() && same->offset + same->headerBytes == valuesStart) continue;
        uint32_t recordBytes = 0;
        if (!inspector.inspectFieldValues(pageNumber, page, candidate.varints, candidate.offset, candidate.headerBytes,
                                          record, recordBytes, &error) ||
            valuesStart + recordBytes != candidate.end) {
            continue;
        }
        if (!HeaderRebuilder::readsAsStoredText(*record)) continue;
        currentRecordOffset = candidate.offset;
        currentHeaderBytes = candidate.headerBytes;
        currentCellRowId = 0;
        currentRebuilt = true;
        const bool keep = filter_ == nullptr || filter_->accept(record);
        if (keep) taken += static_cast<uint32_t>(handler->onRecord(record));
        currentRebuilt = false;
    }
    return taken;
}

uint32_t SqliteBlockSeeker::seek(const uint8_t* buffer, uint32_t firstPageNumber, uint32_t pageCount,
                                 SeekProgressIndicator* progress, SeekEventHandler* handler) const {
    uint32_t found = 0;
    uint32_t pagesSinceReport = 0;
    uint32_t foundSinceReport = 0;
    uint32_t pageNumber = firstPageNumber;
    const RecordInspector& inspector = *inspector_;

    // One vector for the whole scan: cleared per offset, its capacity reused.
    std::vector<int64_t> varints;
    varints.reserve(inspector.getVarintNum() > 0 ? size_t(inspector.getVarintNum()) : 0);
    common::ErrorInfo error;
    const bool resolve = inspector.getOptions().resolveOverlaps;
    const uint32_t skipped = inspector.getSkippedHead();
    std::vector<PendingRecord> pending;
    RecordInspector::PageTail tail;
    // The current page's live cell interiors, when the caller's map says where
    // they are (one vector for the whole scan).
    const PageMap* liveCells = inspector.getOptions().skipLiveCellInteriors;
    std::vector<std::pair<uint32_t, uint32_t>> interiors;
    // Records whose first serial type a freeblock header covered, rebuilt after
    // each page's scan (buffers kept for the whole scan).
    const PageMap* rebuildMap = inspector.getOptions().rebuildHeadersWith;
    const HeaderRebuilder rebuilder(&inspector);
    const bool rebuild = rebuildMap != nullptr && rebuilder.applies();
    std::vector<FoundRecord> accepted;
    std::vector<uint32_t> boundaries;
    std::vector<HeaderRebuilder::Rebuilt> rebuilt;
    std::vector<std::pair<uint32_t, uint32_t>> rebuildSkip;
    currentRebuilt = false;

    for (uint32_t k = 0; k < pageCount; ++k) {
        if (progress != nullptr && progress->stopRequested()) break;
        const uint8_t* page = buffer + size_t(k) * pageSize_;
        currentPageNumber = pageNumber;
        tail.reset(page);
        handler->onPageBegin(pageNumber);

        // Handlers keep what they need during onRecord, so one Record per page suffices.
        std::shared_ptr<Record> record = std::make_shared<Record>();
        uint32_t foundInPage = 0;
        uint32_t offset = kFirstOffset;
        // Offset + 1 of the last candidate of zero bytes that the filter refused.
        uint32_t afterRefusedZeroCandidate = 0;
        // The record holds this page's NULL values and nothing changed it since.
        bool recordHoldsNulls = false;
        if (liveCells != nullptr) liveCells->getLiveCellInteriors(pageNumber, interiors);
        accepted.clear();
        size_t interior = 0;
        // Moves offset past a live cell interior it lies in; true when it moved.
        auto passInterior = [&]() {
            while (interior < interiors.size() && interiors[interior].second <= offset) ++interior;
            if (interior == interiors.size() || interiors[interior].first > offset) return false;
            offset = interiors[interior].second;
            afterRefusedZeroCandidate = 0;
            recordHoldsNulls = false;
            return true;
        };
        for (;;) {
            if (passInterior()) continue;
            // In a run of zero bytes every offset reads as the same record of NULLs.
            // The filter judges a record by its contents and changes nothing, so it
            // refuses the repeat as it refused the first: pass over it.
            // Once the record is known to hold the page's NULL values, only the next
            // byte needs a look: a wide table's run costs the same as a narrow one's.
            if (offset == afterRefusedZeroCandidate && inspector.continuesZeroRun(page, offset) &&
                (recordHoldsNulls || inspector.repeatsZeroCandidate(page, offset, pageNumber, *record))) {
                recordHoldsNulls = true;
                offset += 1;
                afterRefusedZeroCandidate = offset;
                continue;
            }
            recordHoldsNulls = false;
            // Offsets that cannot start a record are passed over as inspect
            // would refuse them, one byte at a time.
            offset = inspector.nextCandidateOffset(page, offset);
            if (passInterior()) continue;
            uint32_t headerBytes = 0;
            const bool ok = inspector.inspect(page, offset, varints, headerBytes, &error, tail);
            // Every page ends here: at the latest the offset reaches pageLength.
            if (!error.isSuccess()) break;
            if (!ok) {
                offset += 1;
                continue;
            }
            uint32_t recordBytes = 0;
            if (!inspector.inspectFieldValues(pageNumber, page, varints, offset, headerBytes, record,
                                              recordBytes, &error)) {
                offset += 1;
                continue;
            }
            currentRecordOffset = offset;
            currentHeaderBytes = headerBytes;
            currentCellRowId = cellRowIdOf(page, offset, headerBytes, varints, skipped);
            if (filter_ != nullptr && !filter_->accept(record)) {
                offset += 1;
                if (inspector.isZeroCandidate(varints, headerBytes)) afterRefusedZeroCandidate = offset;
                continue;
            }
            if (resolve) {
                // An intact cell prefix: the header length right before the serial
                // types (and the row id's serial type 0 when it is skipped).
                const uint32_t lengthAt = skipped == 4 ? 2 : 1;
                const bool intact = offset >= lengthAt + 1 && headerBytes + lengthAt < 0x80 &&
                                    page[offset - lengthAt] == headerBytes + lengthAt &&
                                    (skipped != 4 || page[offset - 1] == 0);
                pending.push_back({offset, headerBytes, offset + headerBytes + recordBytes, intact ? 4u : 1u,
                                   std::make_shared<Record>(*record), currentCellRowId});
                // A whole cell prefix vouches for the record: go on at its values, as
                // without the resolution. Anything else may hide a real record.
                offset += intact ? headerBytes : 1;
                continue;
            }
            if (rebuild) accepted.push_back({offset, headerBytes, offset + headerBytes + recordBytes});
            const int taken = handler->onRecord(record);
            foundInPage += static_cast<uint32_t>(taken);
            // Go on at the first byte of the record's values.
            offset += headerBytes;
        }
        if (!pending.empty()) {
            for (size_t index : heaviestDisjointSet(pending)) {
                PendingRecord& chosen = pending[index];
                currentRecordOffset = chosen.offset;
                currentHeaderBytes = chosen.headerBytes;
                currentCellRowId = chosen.cellRowId;
                // Asked again so that a filter's per-thread notes describe this record.
                if (filter_ != nullptr && !filter_->accept(chosen.record)) continue;
                if (rebuild) accepted.push_back({chosen.offset, chosen.headerBytes, chosen.end});
                foundInPage += static_cast<uint32_t>(handler->onRecord(chosen.record));
            }
            pending.clear();
        }
        if (rebuild && rebuildMap->getPageKind(pageNumber) != PageMap::PageKind::kOverflow) {
            foundInPage += offerRebuilt(page, pageNumber, *rebuildMap, rebuilder, accepted, boundaries, rebuilt,
                                        rebuildSkip, record, handler);
        }
        handler->onPageEnd(pageNumber);

        found += foundInPage;
        foundSinceReport += foundInPage;
        pagesSinceReport += 1;
        if (pagesSinceReport >= progressInterval_) {
            if (progress != nullptr) progress->update(pagesSinceReport, foundSinceReport);
            pagesSinceReport = 0;
            foundSinceReport = 0;
        }
        pageNumber += 1;
    }
    if (progress != nullptr) progress->update(pagesSinceReport, foundSinceReport);
    return found;
}

}  // namespace sqlite
}  // namespace talwen
