#pragma once

#include <cstdint>
#include <string>

#include "common/ErrorInfo.h"

namespace talwen {
namespace common {

// Logging interface of the recovery library. Implementations that are shared by
// several threads serialize their own output.
class Logger {
public:
    // Marks the start of a group of related lines.
    virtual void begin() = 0;
    virtual void log(const std::string& text) = 0;
    // A page and an offset with two further numbers (e.g. field index, serial type).
    virtual void log(uint32_t a, uint32_t b, uint32_t c, uint32_t d) = 0;
    // The same four numbers with a leading text.
    virtual void log(const std::string& text, uint32_t a, uint32_t b, uint32_t c) = 0;
    virtual void log(const ErrorInfo& error) = 0;
    // A single number, e.g. a count or a page number.
    virtual void log(uint32_t value) = 0;
    // Marks the end of a group; implementations flush here.
    virtual void end() = 0;
    virtual ~Logger() = default;
};

}  // namespace common
}  // namespace talwen
