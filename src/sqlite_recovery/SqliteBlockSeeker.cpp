#include "sqlite_recovery/SqliteBlockSeeker.h"

#include <vector>

#include "common/ErrorInfo.h"
#include "sqlite_recovery/Record.h"

namespace talwen {
namespace sqlite {

namespace {
// First bytes of a page that are never examined.
constexpr uint32_t kFirstOffset = 8;

thread_local uint32_t currentRecordOffset = 0;
thread_local uint32_t currentHeaderBytes = 0;
thread_local uint32_t currentPageNumber = 0;
}  // namespace

SqliteBlockSeeker::SqliteBlockSeeker(const Table* table, uint32_t pageSize, uint32_t pageLength,
                                     RecordFilter* filter, const CarveOptions& options)
    : pageSize_(pageSize), pageLength_(pageLength), filter_(filter),
      inspector_(RecordInspector::create(table, pageLength, options)) {}

uint32_t SqliteBlockSeeker::getCurrentRecordOffset() { return currentRecordOffset; }
uint32_t SqliteBlockSeeker::getCurrentHeaderBytes() { return currentHeaderBytes; }
uint32_t SqliteBlockSeeker::getCurrentPageNumber() { return currentPageNumber; }

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

    for (uint32_t k = 0; k < pageCount; ++k) {
        const uint8_t* page = buffer + size_t(k) * pageSize_;
        currentPageNumber = pageNumber;
        handler->onPageBegin(pageNumber);

        // Handlers keep what they need during onRecord, so one Record per page suffices.
        std::shared_ptr<Record> record = std::make_shared<Record>();
        uint32_t foundInPage = 0;
        uint32_t offset = kFirstOffset;
        // Offset + 1 of the last candidate of zero bytes that the filter refused.
        uint32_t afterRefusedZeroCandidate = 0;
        for (;;) {
            // In a run of zero bytes every offset reads as the same record of NULLs.
            // The filter judges a record by its contents and changes nothing, so it
            // refuses the repeat as it refused the first: pass over it.
            if (offset == afterRefusedZeroCandidate &&
                inspector.repeatsZeroCandidate(page, offset, pageNumber, *record)) {
                offset += 1;
                afterRefusedZeroCandidate = offset;
                continue;
            }
            // Offsets that cannot start a record are passed over as inspect
            // would refuse them, one byte at a time.
            offset = inspector.nextCandidateOffset(page, offset);
            uint32_t headerBytes = 0;
            const bool ok = inspector.inspect(page, offset, varints, headerBytes, &error);
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
            if (filter_ != nullptr && !filter_->accept(record)) {
                offset += 1;
                if (inspector.isZeroCandidate(varints, headerBytes)) afterRefusedZeroCandidate = offset;
                continue;
            }
            const int taken = handler->onRecord(record);
            foundInPage += static_cast<uint32_t>(taken);
            // Go on at the first byte of the record's values.
            offset += headerBytes;
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
