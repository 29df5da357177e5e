#include "sqlite_recovery/PageMap.h"

#include <algorithm>
#include <atomic>

namespace talwen {
namespace sqlite {

namespace {

constexpr uint8_t kIndexInterior = 2;
constexpr uint8_t kTableInterior = 5;
constexpr uint8_t kIndexLeaf = 10;
constexpr uint8_t kTableLeaf = 13;

uint32_t be16(const uint8_t* p) { return (uint32_t(p[0]) << 8) | p[1]; }
uint32_t be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// A varint read from p with `available` bytes; its length, or 0 when it runs
// past them.
uint32_t readVarint(const uint8_t* p, uint64_t available, uint64_t& value) {
    value = 0;
    for (uint32_t i = 0; i < 9; ++i) {
        if (i >= available) return 0;
        if (i == 8) {
            value = (value << 8) | p[8];
            return 9;
        }
        value = (value << 7) | (p[i] & 0x7F);
        if ((p[i] & 0x80) == 0) return i + 1;
    }
    return 0;
}

// Every build gets a number of its own, so a thread's cached page of an earlier
// map (even one at the same address) is never taken for this one's.
std::atomic<uint64_t> buildCount{0};

}  // namespace

uint32_t PageMap::localPayloadSize(uint64_t payload, uint32_t usableSize, bool tableLeaf) {
    const int64_t u = usableSize;
    const int64_t maxLocal = tableLeaf ? u - 35 : (u - 12) * 64 / 255 - 23;
    if (int64_t(payload) <= maxLocal || maxLocal <= 0) return static_cast<uint32_t>(std::min<uint64_t>(payload, usableSize));
    const int64_t minLocal = (u - 12) * 32 / 255 - 23;
    const int64_t k = minLocal + int64_t((payload - uint64_t(minLocal)) % uint64_t(u - 4));
    return static_cast<uint32_t>(k <= maxLocal ? k : minLocal);
}

void PageMap::build(const uint8_t* data, uint32_t pages, uint32_t pageSize, uint32_t usableSize,
                    const std::vector<uint32_t>& roots, uint32_t firstFreelistTrunk,
                    const std::function<void()>& giveBackPages) {
    data_ = data;
    pages_ = pages;
    pageSize_ = pageSize;
    usableSize_ = usableSize;
    generation_ = ++buildCount;
    giveBack_ = giveBackPages;
    readSinceGiveBack_ = 0;
    entries_.assign(pages, PageEntry());
    freelistLeaves_.clear();
    if (data == nullptr || usableSize < 480) return;
    walkBtree(1);
    for (uint32_t root : roots) walkBtree(root);
    walkFreelist(firstFreelistTrunk);
    for (uint32_t pageNumber = 1; pageNumber <= pages; ++pageNumber) {
        const PageKind kind = entries_[pageNumber - 1].kind;
        if (kind == PageKind::kFreelistLeaf || kind == PageKind::kUnreached) {
            readStaleHeader(pageNumber);
            pageRead();
        }
    }
    if (giveBack_) giveBack_();
    giveBack_ = nullptr;
}

void PageMap::pageRead() {
    if (++readSinceGiveBack_ < kPagesBetweenGiveBacks) return;
    readSinceGiveBack_ = 0;
    if (giveBack_) giveBack_();
}

void PageMap::readStaleHeader(uint32_t pageNumber) {
    const uint8_t* p = page(pageNumber);
    const uint32_t h = pageNumber == 1 ? 100 : 0;
    const uint8_t type = p[h];
    if (type != kIndexInterior && type != kTableInterior && type != kIndexLeaf && type != kTableLeaf) return;
    const uint32_t headerSize = (type == kIndexInterior || type == kTableInterior) ? 12 : 8;
    const uint64_t end = uint64_t(h) + headerSize + 2ull * be16(p + h + 3);
    if (end <= usableSize_) entries_[pageNumber - 1].structureEnd = static_cast<uint32_t>(end);
}

void PageMap::walkBtree(uint32_t root) {
    // Each page is entered once, so the walk ends whatever the child pointers say.
    std::vector<uint32_t> stack{root};
    std::vector<uint32_t> children;
    while (!stack.empty()) {
        const uint32_t pageNumber = stack.back();
        stack.pop_back();
        if (!valid(pageNumber) || entries_[pageNumber - 1].kind != PageKind::kUnreached) continue;
        children.clear();
        if (readBtreePage(pageNumber, root, children)) stack.insert(stack.end(), children.begin(), children.end());
        pageRead();
    }
}

bool PageMap::readBtreePage(uint32_t pageNumber, uint32_t root, std::vector<uint32_t>& children) {
    const uint8_t* p = page(pageNumber);
    const uint32_t h = pageNumber == 1 ? 100 : 0;
    const uint8_t type = p[h];
    if (type != kIndexInterior && type != kTableInterior && type != kIndexLeaf && type != kTableLeaf) return false;
    const bool interior = type == kIndexInterior || type == kTableInterior;
    const uint32_t headerSize = interior ? 12 : 8;
    const uint32_t cellCount = be16(p + h + 3);
    const uint64_t pointerEnd = uint64_t(h) + headerSize + 2ull * cellCount;
    if (pointerEnd > usableSize_) return false;
    uint32_t contentStart = be16(p + h + 5);
    if (contentStart == 0) contentStart = 65536;

    PageEntry& entry = entries_[pageNumber - 1];
    entry.kind = PageKind::kBtree;
    entry.root = root;
    entry.structureEnd = static_cast<uint32_t>(pointerEnd);
    entry.contentStart = std::min(std::max(contentStart, entry.structureEnd), usableSize_);

    PageCells scratch;
    std::vector<std::pair<uint32_t, uint64_t>> overflows;  // first page, bytes
    readCells(pageNumber, scratch, &children, &overflows);
    for (const auto& overflow : overflows) claimOverflow(overflow.first, overflow.second, root);
    return true;
}

void PageMap::readCells(uint32_t pageNumber, PageCells& out, std::vector<uint32_t>* children,
                        std::vector<std::pair<uint32_t, uint64_t>>* overflows) const {
    out.cells.clear();
    out.freeblocks.clear();
    const uint8_t* p = page(pageNumber);
    const uint32_t h = pageNumber == 1 ? 100 : 0;
    const uint8_t type = p[h];
    if (type != kIndexInterior && type != kTableInterior && type != kIndexLeaf && type != kTableLeaf) return;
    const bool interior = type == kIndexInterior || type == kTableInterior;
    const uint32_t headerSize = interior ? 12 : 8;
    const uint32_t cellCount = be16(p + h + 3);
    const uint64_t pointerEnd = uint64_t(h) + headerSize + 2ull * cellCount;
    if (pointerEnd > usableSize_) return;
    if (interior && children != nullptr) children->push_back(be32(p + h + 8));

    for (uint32_t i = 0; i < cellCount; ++i) {
        const uint32_t start = be16(p + h + headerSize + 2 * i);
        if (start < pointerEnd || start >= usableSize_) continue;
        Cell cell;
        cell.start = start;
        uint32_t at = start;
        if (interior) {
            if (at + 4 > usableSize_) continue;
            if (children != nullptr) children->push_back(be32(p + at));
            at += 4;
        }
        uint64_t value = 0;
        const uint32_t first = readVarint(p + at, usableSize_ - at, value);
        if (first == 0) continue;
        at += first;
        if (type == kTableInterior) {
            cell.end = at;
            out.cells.push_back(cell);
            continue;
        }
        const uint64_t payload = value;
        if (type == kTableLeaf) {
            const uint32_t rowId = readVarint(p + at, usableSize_ - at, value);
            if (rowId == 0) continue;
            at += rowId;
        }
        const uint32_t local = localPayloadSize(payload, usableSize_, type == kTableLeaf);
        cell.overflows = local < payload;
        const uint64_t end = uint64_t(at) + local + (cell.overflows ? 4 : 0);
        if (end > usableSize_) {
            cell.end = usableSize_;  // damaged: the rest of the page is this cell's
            cell.overflows = false;
            out.cells.push_back(cell);
            continue;
        }
        cell.end = static_cast<uint32_t>(end);
        cell.payloadStart = at;
        cell.payload = payload;
        uint64_t headerLength = 0;
        const uint32_t lengthBytes = readVarint(p + at, local, headerLength);
        if (lengthBytes != 0 && headerLength > lengthBytes && headerLength <= local) {
            cell.firstSerialType = at + lengthBytes;
            uint64_t serialType = 0;
            const uint32_t typeBytes = readVarint(p + cell.firstSerialType, headerLength - lengthBytes, serialType);
            if (typeBytes != 0 && lengthBytes + typeBytes < headerLength) {
                cell.secondSerialType = cell.firstSerialType + typeBytes;
            }
        }
        if (cell.overflows && overflows != nullptr) overflows->emplace_back(be32(p + at + local), payload - local);
        out.cells.push_back(cell);
    }
    std::sort(out.cells.begin(), out.cells.end(), [](const Cell& a, const Cell& b) { return a.start < b.start; });

    // Freeblocks lie in ascending order; anything else ends the chain.
    uint32_t block = be16(p + h + 1);
    while (block != 0) {
        if (block < pointerEnd || uint64_t(block) + 4 > usableSize_) break;
        const uint32_t size = be16(p + block + 2);
        if (size < 4 || uint64_t(block) + size > usableSize_) break;
        out.freeblocks.emplace_back(block, block + size);
        const uint32_t next = be16(p + block);
        if (next != 0 && next < block + size) break;
        block = next;
    }
}

const PageMap::PageCells& PageMap::cellsOf(uint32_t pageNumber) const {
    // Seek threads ask about the same page many times in a row.
    struct LastPage {
        uint64_t generation = 0;
        uint32_t pageNumber = 0;
        PageCells cells;
    };
    thread_local LastPage last;
    if (last.generation != generation_ || last.pageNumber != pageNumber) {
        readCells(pageNumber, last.cells, nullptr, nullptr);
        last.generation = generation_;
        last.pageNumber = pageNumber;
    }
    return last.cells;
}

void PageMap::claimOverflow(uint32_t firstPage, uint64_t remainingBytes, uint32_t root) {
    // Each page is claimed once and each step consumes a page's worth of the
    // payload, so the chain ends.
    uint32_t pageNumber = firstPage;
    while (remainingBytes > 0 && valid(pageNumber) && entries_[pageNumber - 1].kind == PageKind::kUnreached) {
        entries_[pageNumber - 1].kind = PageKind::kOverflow;
        entries_[pageNumber - 1].root = root;
        remainingBytes -= std::min<uint64_t>(remainingBytes, usableSize_ - 4);
        pageNumber = be32(page(pageNumber));
    }
}

void PageMap::walkFreelist(uint32_t firstTrunk) {
    uint32_t trunk = firstTrunk;
    while (valid(trunk) && entries_[trunk - 1].kind == PageKind::kUnreached) {
        entries_[trunk - 1].kind = PageKind::kFreelistTrunk;
        pageRead();
        const uint8_t* p = page(trunk);
        const uint32_t leaves = std::min<uint32_t>(be32(p + 4), (usableSize_ - 8) / 4);
        entries_[trunk - 1].structureEnd = 8 + 4 * leaves;
        for (uint32_t i = 0; i < leaves; ++i) {
            const uint32_t leaf = be32(p + 8 + 4 * i);
            if (valid(leaf) && entries_[leaf - 1].kind == PageKind::kUnreached) {
                entries_[leaf - 1].kind = PageKind::kFreelistLeaf;
                freelistLeaves_.push_back(leaf);
            }
        }
        trunk = be32(p);
    }
}

PageMap::PageKind PageMap::getPageKind(uint32_t pageNumber) const {
    return valid(pageNumber) && pageNumber <= entries_.size() ? entries_[pageNumber - 1].kind : PageKind::kUnreached;
}

uint32_t PageMap::getOwnerRoot(uint32_t pageNumber) const {
    return valid(pageNumber) && pageNumber <= entries_.size() ? entries_[pageNumber - 1].root : 0;
}

uint32_t PageMap::getStructureEnd(uint32_t pageNumber) const {
    return valid(pageNumber) && pageNumber <= entries_.size() ? entries_[pageNumber - 1].structureEnd : 0;
}

PageMap::Region PageMap::locate(uint32_t pageNumber, uint32_t offset, Cell* cell) const {
    if (getPageKind(pageNumber) != PageKind::kBtree) return Region::kStructure;
    const PageEntry& entry = entries_[pageNumber - 1];
    if (offset < entry.structureEnd) return Region::kStructure;
    const PageCells& read = cellsOf(pageNumber);
    auto after = std::upper_bound(read.cells.begin(), read.cells.end(), offset,
                                  [](uint32_t o, const Cell& c) { return o < c.start; });
    if (after != read.cells.begin() && offset < std::prev(after)->end) {
        if (cell != nullptr) *cell = *std::prev(after);
        return Region::kLiveCell;
    }
    auto block = std::upper_bound(read.freeblocks.begin(), read.freeblocks.end(), offset,
                                  [](uint32_t o, const std::pair<uint32_t, uint32_t>& b) { return o < b.first; });
    if (block != read.freeblocks.begin() && offset < std::prev(block)->second) return Region::kFreeblock;
    if (offset < entry.contentStart) return Region::kUnallocated;
    return Region::kStructure;
}

std::vector<PageMap::Cell> PageMap::getCells(uint32_t pageNumber) const {
    if (getPageKind(pageNumber) != PageKind::kBtree) return {};
    return cellsOf(pageNumber).cells;
}

std::vector<uint32_t> PageMap::getCellBoundaries(uint32_t pageNumber) const {
    std::vector<uint32_t> starts;
    if (getPageKind(pageNumber) != PageKind::kBtree) return starts;
    const PageCells& read = cellsOf(pageNumber);
    for (const Cell& cell : read.cells) starts.push_back(cell.start);
    for (const auto& block : read.freeblocks) starts.push_back(block.first);
    std::sort(starts.begin(), starts.end());
    return starts;
}

bool PageMap::insideLiveCellInterior(uint32_t pageNumber, uint32_t offset) const {
    Cell cell;
    return locate(pageNumber, offset, &cell) == Region::kLiveCell && offset != cell.firstSerialType &&
           offset != cell.secondSerialType;
}

void PageMap::getLiveCellInteriors(uint32_t pageNumber, std::vector<std::pair<uint32_t, uint32_t>>& ranges) const {
    ranges.clear();
    if (getPageKind(pageNumber) != PageKind::kBtree) return;
    const uint32_t structureEnd = entries_[pageNumber - 1].structureEnd;
    const std::vector<Cell>& cells = cellsOf(pageNumber).cells;
    auto add = [&ranges](uint32_t begin, uint32_t end) {
        if (begin < end) ranges.emplace_back(begin, end);
    };
    for (size_t i = 0; i < cells.size(); ++i) {
        const Cell& cell = cells[i];
        // locate gives a byte to the last cell starting at or before it, and the
        // page's structure comes first: a cell's bytes are its own up to the next
        // cell's start, from the structure's end on.
        const uint32_t begin = std::max(cell.start, structureEnd);
        const uint32_t end = i + 1 < cells.size() ? std::min(cell.end, cells[i + 1].start) : cell.end;
        uint32_t from = begin;
        for (const uint32_t kept : {std::min(cell.firstSerialType, cell.secondSerialType),
                                    std::max(cell.firstSerialType, cell.secondSerialType)}) {
            if (kept < from || kept >= end) continue;
            add(from, kept);
            from = kept + 1;
        }
        add(from, end);
    }
}

bool PageMap::overlapsLiveCell(uint32_t pageNumber, uint32_t begin, uint32_t end) const {
    if (getPageKind(pageNumber) != PageKind::kBtree) return false;
    const PageCells& read = cellsOf(pageNumber);
    auto it = std::upper_bound(read.cells.begin(), read.cells.end(), begin,
                               [](uint32_t o, const Cell& c) { return o < c.start; });
    if (it != read.cells.begin()) --it;
    for (; it != read.cells.end() && it->start < end; ++it) {
        if (it->end > begin) return true;
    }
    return false;
}

}  // namespace sqlite
}  // namespace talwen
