#pragma once

#include <chrono>
#include <cstdint>

namespace talwen {
namespace common {

// Measures elapsed wall-clock time in whole milliseconds.
class Stopwatch {
public:
    Stopwatch() : start_(std::chrono::system_clock::now()) {}
    void restart() { start_ = std::chrono::system_clock::now(); }
    int64_t elapsedMilliseconds() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now() - start_)
            .count();
    }

private:
    std::chrono::system_clock::time_point start_;
};

}  // namespace common
}  // namespace talwen
