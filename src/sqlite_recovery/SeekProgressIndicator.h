#pragma once

#include <cstdint>
#include <mutex>

#include "common/Stopwatch.h"

namespace talwen {
namespace sqlite {

// Progress of one seek, written by every seek thread and polled by other
// threads; every operation takes the indicator's own mutex.
class SeekProgressIndicator {
public:
    SeekProgressIndicator() = default;

    void begin(uint32_t totalPages);
    void update(uint32_t pages, uint32_t found);
    void finish();
    void getProgress(uint32_t& totalPages, int64_t& elapsedMs, uint32_t& pagesDone,
                     uint32_t& recordsFound, bool& finished) const;

private:
    uint32_t totalPages_ = 0;
    int64_t elapsedMs_ = 0;
    uint32_t pagesDone_ = 0;
    uint32_t recordsFound_ = 0;
    bool finished_ = false;
    common::Stopwatch stopwatch_;
    mutable std::mutex lock_;
};

}  // namespace sqlite
}  // namespace talwen
