#pragma once

#include <string>
#include <utility>

#include "common/ErrorInfo.h"

namespace talwen {
namespace common {

// The outcome of an operation at a layer boundary of the application: ok, or a
// kind and a one-line message meant for the user. Cheap to copy and to return.
// The engine's ErrorInfo (code, unit, function, line) stays inside the layers
// below; fromError keeps its message and code when it crosses into a Status.
class Status {
public:
    enum class Kind {
        Ok,
        InvalidInput,  // the user's input is missing, of the wrong kind or unusable
        IoError,       // a file or directory could not be read or written
        Failed,        // the recovery itself failed
        Cancelled,     // the user stopped the work
    };

    Status() = default;
    static Status ok() { return Status(); }
    static Status invalidInput(std::string message) { return Status(Kind::InvalidInput, std::move(message)); }
    static Status ioError(std::string message) { return Status(Kind::IoError, std::move(message)); }
    static Status failed(std::string message) { return Status(Kind::Failed, std::move(message)); }
    static Status cancelled(std::string message) { return Status(Kind::Cancelled, std::move(message)); }
    // A failed ErrorInfo as a Status of `kind`, its message prefixed by `context`
    // when one is given ("cannot read the recovery store: " + message).
    static Status fromError(const ErrorInfo& error, Kind kind, const std::string& context = std::string()) {
        if (error.isSuccess()) return Status();
        Status status(kind, context + error.getMessage());
        status.errorCode_ = error.getCode();
        return status;
    }

    bool isOk() const { return kind_ == Kind::Ok; }
    Kind kind() const { return kind_; }
    const std::string& message() const { return message_; }
    // The engine's code when the status came from an ErrorInfo, else 0.
    int64_t errorCode() const { return errorCode_; }

private:
    Status(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

    Kind kind_ = Kind::Ok;
    std::string message_;
    int64_t errorCode_ = 0;
};

}  // namespace common
}  // namespace talwen
