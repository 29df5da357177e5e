#include "common/ErrorInfo.h"

namespace talwen {
namespace common {

void ErrorInfo::clear() {
    // Keeps the strings' storage: the carving scan clears its record at many offsets.
    fileName_.clear();
    functionName_.clear();
    lineNo_ = 0;
    code_ = 0;
    message_.clear();
}

void ErrorInfo::set(int64_t code, const std::string& message, const std::string& fileName,
                    const std::string& functionName, int32_t lineNo) {
    code_ = code;
    message_ = message;
    fileName_ = fileName;
    functionName_ = functionName;
    lineNo_ = lineNo;
}

}  // namespace common
}  // namespace talwen
