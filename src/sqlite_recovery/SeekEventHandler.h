#pragma once

#include <cstdint>
#include <memory>

namespace talwen {
namespace sqlite {

class Record;

// Receives the records of one seek thread, pages ascending: onPageBegin, any
// number of onRecord, onPageEnd. Each handler is called from its own thread only.
// The record passed to onRecord is reused for the next candidate: copy what you keep.
class SeekEventHandler {
public:
    virtual ~SeekEventHandler() = default;
    virtual void onPageBegin(uint32_t pageNumber) = 0;
    virtual void onPageEnd(uint32_t pageNumber) = 0;
    // Returns the number of records taken, added to the seek's found count.
    virtual int onRecord(std::shared_ptr<Record>& record) = 0;
};

}  // namespace sqlite
}  // namespace talwen
