#include "sqlite_recovery/SqliteDatabaseSeeker.h"

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sqlite_recovery/SqliteBlockSeeker.h"

#define WCR_UNIT "sqlite_recovery/SqliteDatabaseSeeker"

namespace talwen {
namespace sqlite {

using common::ErrorInfo;

namespace {

// The turns of the ranges' slice ends: slice k of range i comes after slice k of
// every earlier range and slice k - 1 of every later one. A range that has ended
// (all its slices done, or stopped) is waited for no more.
class SliceTurns {
public:
    explicit SliceTurns(uint32_t ranges) : flushed_(ranges, 0), ended_(ranges, false) {}

    void await(uint32_t range, uint32_t slice) {
        std::unique_lock<std::mutex> lock(mutex_);
        turned_.wait(lock, [&] {
            for (uint32_t other = 0; other < flushed_.size(); ++other) {
                if (other == range || ended_[other]) continue;
                const uint32_t needed = other < range ? slice + 1 : slice;
                if (flushed_[other] < needed) return false;
            }
            return true;
        });
    }
    void pass(uint32_t range) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++flushed_[range];
        }
        turned_.notify_all();
    }
    void end(uint32_t range) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ended_[range] = true;
        }
        turned_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable turned_;
    std::vector<uint32_t> flushed_;
    std::vector<bool> ended_;
};

// Scans pages [firstPage, firstPage + count) of the mapped file in slices,
// releasing each slice once scanned, so the resident part of the file stays
// a few slices however large it is. Same records, same order as one call.
uint32_t seekInSlices(const SqliteBlockSeeker& blockSeeker, const Database& database, const uint8_t* data,
                      uint64_t sliceBytes, uint32_t firstPage, uint32_t count, SeekProgressIndicator* progress,
                      SeekEventHandler* handler, SliceTurns* turns = nullptr, uint32_t range = 0) {
    // However the range ends, the other ranges stop waiting for its turns.
    struct RangeEnd {
        SliceTurns* turns;
        uint32_t range;
        ~RangeEnd() {
            if (turns != nullptr) turns->end(range);
        }
    } rangeEnd{turns, range};
    const uint32_t pageSize = database.getPageSize();
    const uint32_t slice =
        static_cast<uint32_t>(std::min<uint64_t>(UINT32_MAX, std::max<uint64_t>(1, sliceBytes / pageSize)));
    uint32_t found = 0;
    for (uint32_t done = 0, sliceNumber = 0; done < count; ++sliceNumber) {
        if (progress != nullptr && progress->stopRequested()) break;
        const uint32_t pages = std::min(slice, count - done);
        const uint32_t page = firstPage + done;
        found += blockSeeker.seek(data + size_t(page - 1) * pageSize, page, pages, progress, handler);
        database.releasePages(page, pages);
        done += pages;
        if (turns != nullptr) turns->await(range, sliceNumber);
        handler->onSliceEnd();
        if (turns != nullptr) turns->pass(range);
    }
    return found;
}

}  // namespace

SqliteDatabaseSeeker::SqliteDatabaseSeeker(Database* database, const Table* table, RecordFilter* filter)
    : database_(database), table_(table), filter_(filter) {}

uint32_t SqliteDatabaseSeeker::seek(uint32_t threadCount, SeekProgressIndicator* progress,
                                    SeekEventHandler* const* handlers, ErrorInfo* error) {
    error->clear();
    // A missing handler would crash a seek thread; refuse before anything starts.
    const uint32_t handlerCount = threadCount > 1 ? threadCount : 1;
    for (uint32_t i = 0; i < handlerCount; ++i) {
        if (handlers == nullptr || handlers[i] == nullptr) {
            WCR_SET_ERROR(error, -1, "SeekEventHandler[" + std::to_string(i) + "] is null!", "seek");
            return 0;
        }
    }

    const uint32_t pages = database_->getPages();
    const uint32_t pageSize = database_->getPageSize();
    const uint32_t reserved = database_->getReservedSpace();
    const ByteArray data = database_->readAllPages(error);
    if (!error->isSuccess()) return 0;

    const SqliteBlockSeeker blockSeeker(table_, pageSize, pageSize - reserved, filter_, options_);
    if (progress != nullptr) progress->begin(pages);

    uint32_t total = 0;
    if (threadCount <= 1 || threadCount >= pages) {
        total = seekInSlices(blockSeeker, *database_, data.get(), sliceBytes_, 1, pages, progress, handlers[0]);
    } else {
        const uint32_t quotient = pages / threadCount;
        const uint32_t remainder = pages % threadCount;
        std::vector<uint32_t> results(threadCount, 0);
        SliceTurns turns(threadCount);
        SliceTurns* const ordered = options_.orderedSlices ? &turns : nullptr;
        std::vector<std::thread> threads;
        threads.reserve(threadCount);
        uint32_t firstPage = 1;
        for (uint32_t i = 0; i < threadCount; ++i) {
            const uint32_t count = i == 0 ? quotient + remainder : quotient;
            SeekEventHandler* handler = handlers[i];
            uint32_t* slot = &results[i];
            const uint8_t* bytes = data.get();
            const Database* database = database_;
            const uint64_t sliceBytes = sliceBytes_;
            threads.emplace_back(
                [&blockSeeker, database, bytes, sliceBytes, firstPage, count, progress, handler, slot, ordered, i] {
                    *slot = seekInSlices(blockSeeker, *database, bytes, sliceBytes, firstPage, count, progress,
                                         handler, ordered, i);
                });
            firstPage += count;
        }
        for (std::thread& thread : threads) thread.join();

        // A handler given for several ranges saw all of their records; its count
        // is taken once, as the largest of its range results.
        std::map<SeekEventHandler*, uint32_t> byHandler;
        for (uint32_t i = 0; i < threadCount; ++i) {
            auto inserted = byHandler.emplace(handlers[i], results[i]);
            if (!inserted.second && results[i] > inserted.first->second) {
                inserted.first->second = results[i];
            }
        }
        for (const auto& entry : byHandler) total += entry.second;
    }

    // Pages read out of order (overflow chains) are given back too.
    database_->releaseAllPages();
    if (progress != nullptr) progress->finish();
    return total;
}

}  // namespace sqlite
}  // namespace talwen
