#pragma once

#include <cstdint>

#include "common/Logger.h"

namespace talwen {
namespace common {

// Passes at most `limit` argument-carrying calls to the inner logger, then one
// trailer line, then nothing. begin() and end() always pass and are not counted.
// Used by one thread; the inner logger is not owned and may be null.
class LimitedLogger : public Logger {
public:
    LimitedLogger(Logger* inner, uint32_t limit);

    void begin() override;
    void log(const std::string& text) override;
    void log(uint32_t a, uint32_t b, uint32_t c, uint32_t d) override;
    void log(const std::string& text, uint32_t a, uint32_t b, uint32_t c) override;
    void log(const ErrorInfo& error) override;
    void log(uint32_t value) override;
    void end() override;

    uint32_t getLimit() const { return limit_; }
    uint32_t getCount() const { return count_; }

private:
    // True when this call may pass; counts it and writes the trailer at the limit.
    bool admit();
    void writeTrailerIfLimitReached();

    uint32_t limit_;
    uint32_t count_ = 0;
    Logger* inner_;
};

}  // namespace common
}  // namespace talwen
