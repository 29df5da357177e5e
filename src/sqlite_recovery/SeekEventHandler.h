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
    // After each slice of pages of the handler's range (the file's seek scans a
    // range in slices), once the slice's last onPageEnd has returned. With
    // CarveOptions::orderedSlices these calls of all threads come one at a time,
    // in a fixed order: slice by slice, and within a slice range by range.
    virtual void onSliceEnd() {}
};

}  // namespace sqlite
}  // namespace talwen
