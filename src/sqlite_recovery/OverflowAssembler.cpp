#include "sqlite_recovery/OverflowAssembler.h"

#include <algorithm>

namespace talwen {
namespace sqlite {

namespace {
uint32_t be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
}  // namespace

bool OverflowAssembler::assemble(uint32_t pageNumber, uint32_t payloadStart, uint64_t payloadSize,
                                 std::vector<uint8_t>& payload, uint32_t liveOwner) const {
    payload.clear();
    if (pageNumber == 0 || pageNumber > pages_ || usableSize_ <= 4) return false;
    const uint32_t local = PageMap::localPayloadSize(payloadSize, usableSize_, true);
    const bool spills = local < payloadSize;
    if (uint64_t(payloadStart) + local + (spills ? 4 : 0) > usableSize_) return false;
    const uint8_t* page = data_ + uint64_t(pageNumber - 1) * pageSize_;
    payload.assign(page + payloadStart, page + payloadStart + local);
    if (!spills) return true;

    // Each page a payload needs, at most; a chain that asks for more, loops or
    // leaves the free pages is not this payload's any more.
    uint64_t remaining = payloadSize - local;
    std::vector<bool> visited(pages_ + 1, false);
    uint32_t next = be32(page + payloadStart + local);
    while (remaining > 0) {
        if (next == 0 || next > pages_ || visited[next]) return false;
        const PageMap::PageKind kind = map_->getPageKind(next);
        const bool ours = liveOwner != 0 ? kind == PageMap::PageKind::kOverflow && map_->getOwnerRoot(next) == liveOwner
                                         : kind == PageMap::PageKind::kFreelistLeaf || kind == PageMap::PageKind::kUnreached;
        if (!ours) return false;
        visited[next] = true;
        const uint8_t* overflow = data_ + uint64_t(next - 1) * pageSize_;
        const uint32_t take = static_cast<uint32_t>(std::min<uint64_t>(remaining, usableSize_ - 4));
        payload.insert(payload.end(), overflow + 4, overflow + 4 + take);
        remaining -= take;
        next = be32(overflow);
    }
    return true;
}

}  // namespace sqlite
}  // namespace talwen
