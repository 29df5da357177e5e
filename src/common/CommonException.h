#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "common/ErrorInfo.h"

namespace talwen {
namespace common {

// The one exception type: thrown only for misuse of typed accessors, lookups
// that miss, and table definitions the schema parser does not accept.
class CommonException : public std::exception {
public:
    CommonException() = default;
    explicit CommonException(int64_t code);
    explicit CommonException(const std::string& message);
    CommonException(int64_t code, const std::string& message);
    // The form the library raises: the text goes into debugInfo.
    CommonException(int64_t code, const std::string& debugInfo, const std::string& fileName,
                    const std::string& functionName, int32_t lineNo);
    // Copies code, place and line; the ErrorInfo's message becomes debugInfo.
    explicit CommonException(const ErrorInfo& error);

    ~CommonException() override = default;

    // message if set, else debugInfo if set, else "unknown reason!".
    const char* what() const noexcept override;

    int64_t getCode() const { return code_; }
    const std::string& getMessage() const { return message_; }
    const std::string& getDebugInfo() const { return debugInfo_; }
    const std::string& getFileName() const { return fileName_; }
    const std::string& getFunctionName() const { return functionName_; }
    int32_t getLineNo() const { return lineNo_; }

private:
    int64_t code_ = 0;
    std::string message_;
    std::string debugInfo_;
    std::string fileName_;
    std::string functionName_;
    int32_t lineNo_ = 0;
};

}  // namespace common
}  // namespace talwen

// Throws a CommonException with code -1 from the calling unit (see WCR_UNIT).
#define WCR_THROW(debugInfo, function) \
    throw ::talwen::common::CommonException(-1, (debugInfo), WCR_UNIT, (function), __LINE__)
