#include "common/LimitedLogger.h"

namespace talwen {
namespace common {

namespace {
const char* const kTrailer = "\tSimilar type information may be has more ... , ";
}

LimitedLogger::LimitedLogger(Logger* inner, uint32_t limit) : limit_(limit), inner_(inner) {}

bool LimitedLogger::admit() {
    if (count_ >= limit_) return false;
    ++count_;
    return true;
}

void LimitedLogger::writeTrailerIfLimitReached() {
    if (count_ == limit_ && inner_ != nullptr) inner_->log(std::string(kTrailer));
}

void LimitedLogger::begin() {
    if (inner_ != nullptr) inner_->begin();
}

void LimitedLogger::end() {
    if (inner_ != nullptr) inner_->end();
}

void LimitedLogger::log(const std::string& text) {
    if (!admit()) return;
    if (inner_ != nullptr) inner_->log(text);
    writeTrailerIfLimitReached();
}

void LimitedLogger::log(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    if (!admit()) return;
    if (inner_ != nullptr) inner_->log(a, b, c, d);
    writeTrailerIfLimitReached();
}

void LimitedLogger::log(const std::string& text, uint32_t a, uint32_t b, uint32_t c) {
    if (!admit()) return;
    if (inner_ != nullptr) inner_->log(text, a, b, c);
    writeTrailerIfLimitReached();
}

void LimitedLogger::log(const ErrorInfo& error) {
    if (!admit()) return;
    if (inner_ != nullptr) inner_->log(error);
    writeTrailerIfLimitReached();
}

void LimitedLogger::log(uint32_t value) {
    if (!admit()) return;
    if (inner_ != nullptr) inner_->log(value);
    writeTrailerIfLimitReached();
}

}  // namespace common
}  // namespace talwen
