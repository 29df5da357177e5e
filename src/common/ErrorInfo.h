#pragma once

#include <cstdint>
#include <string>

namespace talwen {
namespace common {

// Outcome of an operation, passed by pointer as the last argument. Code 0 or
// above is success; -1 means wrong state or kind of data, -2 a number out of range.
// Never shared between threads.
class ErrorInfo {
public:
    ErrorInfo() = default;

    void clear();
    void set(int64_t code, const std::string& message, const std::string& fileName,
             const std::string& functionName, int32_t lineNo);

    bool isSuccess() const { return code_ >= 0; }

    const std::string& getFileName() const { return fileName_; }
    const std::string& getFunctionName() const { return functionName_; }
    int32_t getLineNo() const { return lineNo_; }
    int64_t getCode() const { return code_; }
    const std::string& getMessage() const { return message_; }

private:
    std::string fileName_;
    std::string functionName_;
    int32_t lineNo_ = 0;
    int64_t code_ = 0;
    std::string message_;
};

}  // namespace common
}  // namespace talwen

// Records a failure in an ErrorInfo pointer with the calling unit's name and the
// current line. Each unit defines WCR_UNIT as its name below src/, e.g.
// "sqlite_recovery/Database".
#define WCR_SET_ERROR(err, code, message, function) \
    (err)->set((code), (message), WCR_UNIT, (function), __LINE__)
