#pragma once

#include <memory>

namespace talwen {
namespace sqlite {

class Record;

// Decides whether a carved record is kept. One filter object is shared by every
// thread of a seek, so accept() must not change shared state. Filters are owned
// by the caller (no virtual destructor by design: never deleted through this type).
class RecordFilter {
public:
    virtual bool accept(std::shared_ptr<Record>& record) = 0;

protected:
    ~RecordFilter() = default;
};

}  // namespace sqlite
}  // namespace talwen
