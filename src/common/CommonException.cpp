#include "common/CommonException.h"

namespace talwen {
namespace common {

CommonException::CommonException(int64_t code) : code_(code) {}

CommonException::CommonException(const std::string& message) : message_(message) {}

CommonException::CommonException(int64_t code, const std::string& message)
    : code_(code), message_(message) {}

CommonException::CommonException(int64_t code, const std::string& debugInfo,
                                 const std::string& fileName, const std::string& functionName,
                                 int32_t lineNo)
    : code_(code),
      debugInfo_(debugInfo),
      fileName_(fileName),
      functionName_(functionName),
      lineNo_(lineNo) {}

CommonException::CommonException(const ErrorInfo& error)
    : code_(error.getCode()),
      debugInfo_(error.getMessage()),
      fileName_(error.getFileName()),
      functionName_(error.getFunctionName()),
      lineNo_(error.getLineNo()) {}

const char* CommonException::what() const noexcept {
    if (!message_.empty()) return message_.c_str();
    if (!debugInfo_.empty()) return debugInfo_.c_str();
    return "unknown reason!";
}

}  // namespace common
}  // namespace talwen
