#include "sqlite_recovery/RecordPlacement.h"

#include <algorithm>

#include "sqlite_recovery/SqliteBlockSeeker.h"

namespace talwen {
namespace sqlite {

namespace {
thread_local RecordPlacement::State lastPlacement = RecordPlacement::State::kRejected;
}  // namespace

RecordPlacement::State RecordPlacement::judge(uint32_t pageNumber, uint32_t offset, uint32_t headerBytes,
                                              const Record& record) const {
    uint32_t end = offset + headerBytes;
    for (const auto& value : record.getFieldValues()) {
        if (!value->isNull() && value->getValueBytes() > 0) {
            end = std::max(end, value->getValueOffset() + value->getValueBytes());
        }
    }
    const PageMap::PageKind kind = map_->getPageKind(pageNumber);
    if (kind != PageMap::PageKind::kBtree && offset < map_->getStructureEnd(pageNumber)) return State::kRejected;
    switch (kind) {
        case PageMap::PageKind::kFreelistTrunk:
        case PageMap::PageKind::kFreelistLeaf:
            return State::kFreelist;
        case PageMap::PageKind::kUnreached:
            return State::kUnallocated;
        case PageMap::PageKind::kOverflow:
            return State::kRejected;
        case PageMap::PageKind::kBtree:
            break;
    }
    if (map_->getOwnerRoot(pageNumber) != tableRoot_) return State::kRejected;
    PageMap::Cell cell;
    const PageMap::Region region = map_->locate(pageNumber, offset, &cell);
    if (region == PageMap::Region::kLiveCell) {
        const uint32_t expected = rowIdFirst_ ? cell.secondSerialType : cell.firstSerialType;
        const bool exact = expected != 0 && offset == expected && !cell.overflows && end == cell.end;
        return exact ? State::kLive : State::kRejected;
    }
    if (region == PageMap::Region::kStructure) return State::kRejected;
    if (map_->overlapsLiveCell(pageNumber, offset, end)) return State::kRejected;
    return region == PageMap::Region::kFreeblock ? State::kFreeblock : State::kUnallocated;
}

RecordPlacement::State RecordPlacement::judgeFree(uint32_t pageNumber, uint32_t begin, uint32_t end) const {
    const PageMap::PageKind kind = map_->getPageKind(pageNumber);
    if (kind == PageMap::PageKind::kOverflow) return State::kRejected;
    if (kind != PageMap::PageKind::kBtree) {
        if (begin < map_->getStructureEnd(pageNumber)) return State::kRejected;
        return kind == PageMap::PageKind::kUnreached ? State::kUnallocated : State::kFreelist;
    }
    if (map_->getOwnerRoot(pageNumber) != tableRoot_) return State::kRejected;
    const PageMap::Region region = map_->locate(pageNumber, begin, nullptr);
    if (region == PageMap::Region::kStructure || region == PageMap::Region::kLiveCell) return State::kRejected;
    if (map_->overlapsLiveCell(pageNumber, begin, end)) return State::kRejected;
    return region == PageMap::Region::kFreeblock ? State::kFreeblock : State::kUnallocated;
}

const char* RecordPlacement::name(State state) {
    switch (state) {
        case State::kLive: return "live";
        case State::kFreeblock: return "freeblock";
        case State::kUnallocated: return "unallocated";
        case State::kFreelist: return "freelist";
        case State::kRejected: break;
    }
    return "rejected";
}

bool PlacementFilter::accept(std::shared_ptr<Record>& record) {
    if (inner_ != nullptr && !inner_->accept(record)) return false;
    lastPlacement = placement_->judge(SqliteBlockSeeker::getCurrentPageNumber(),
                                      SqliteBlockSeeker::getCurrentRecordOffset(),
                                      SqliteBlockSeeker::getCurrentHeaderBytes(), *record);
    return lastPlacement != RecordPlacement::State::kRejected;
}

RecordPlacement::State PlacementFilter::lastState() { return lastPlacement; }

}  // namespace sqlite
}  // namespace talwen
