#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "common/Stopwatch.h"

namespace talwen {
namespace sqlite {

// Progress of one seek, written by every seek thread and polled by other
// threads; every operation takes the indicator's own mutex. It also carries a stop
// request from any thread to the seek threads, which look at it once per page.
class SeekProgressIndicator {
public:
    SeekProgressIndicator() = default;

    void begin(uint32_t totalPages);
    void update(uint32_t pages, uint32_t found);
    void finish();
    void getProgress(uint32_t& totalPages, int64_t& elapsedMs, uint32_t& pagesDone,
                     uint32_t& recordsFound, bool& finished) const;

    // Asks the seek to end after the page each thread is on; kept across begin, so
    // a request made before the seek starts stops it at once.
    void requestStop() { stopRequested_.store(true); }
    bool stopRequested() const { return stopRequested_.load(std::memory_order_relaxed); }

private:
    uint32_t totalPages_ = 0;
    int64_t elapsedMs_ = 0;
    uint32_t pagesDone_ = 0;
    uint32_t recordsFound_ = 0;
    bool finished_ = false;
    common::Stopwatch stopwatch_;
    std::atomic<bool> stopRequested_{false};
    mutable std::mutex lock_;
};

}  // namespace sqlite
}  // namespace talwen
