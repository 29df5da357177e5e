#include "sqlite_recovery/SeekProgressIndicator.h"

namespace talwen {
namespace sqlite {

void SeekProgressIndicator::begin(uint32_t totalPages) {
    std::lock_guard<std::mutex> guard(lock_);
    elapsedMs_ = 0;
    pagesDone_ = 0;
    recordsFound_ = 0;
    finished_ = false;
    totalPages_ = totalPages;
    stopwatch_.restart();
}

void SeekProgressIndicator::update(uint32_t pages, uint32_t found) {
    std::lock_guard<std::mutex> guard(lock_);
    elapsedMs_ = stopwatch_.elapsedMilliseconds();
    pagesDone_ += pages;
    recordsFound_ += found;
}

void SeekProgressIndicator::finish() {
    std::lock_guard<std::mutex> guard(lock_);
    finished_ = true;
}

void SeekProgressIndicator::getProgress(uint32_t& totalPages, int64_t& elapsedMs,
                                        uint32_t& pagesDone, uint32_t& recordsFound,
                                        bool& finished) const {
    std::lock_guard<std::mutex> guard(lock_);
    totalPages = totalPages_;
    elapsedMs = elapsedMs_;
    pagesDone = pagesDone_;
    recordsFound = recordsFound_;
    finished = finished_;
}

}  // namespace sqlite
}  // namespace talwen
