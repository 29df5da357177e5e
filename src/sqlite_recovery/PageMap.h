#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace talwen {
namespace sqlite {

// Who owns which bytes of a database file, from its b-trees and its freelist:
// every page reached from the given roots (tables and indexes), the live cells
// of each b-tree page with the overflow pages of their payloads, the freeblocks
// and the unallocated gap of each page, and the freelist's trunk and leaf
// pages. Built once from the loaded file, then only read (any threads).
// Only a few numbers per page are kept; the cells and freeblocks of a page are
// read again from the file when asked for (each thread keeps its last page), so
// the map's memory does not grow with the number of live rows. The file's bytes
// must stay readable as long as the map is used.
//
// Every structure is read defensively: page numbers are checked against the
// page count, each page is entered once (a loop in child, overflow or freelist
// pointers ends the walk), cell and freeblock positions are checked against the
// usable page size, and a page that does not read as its claimed kind is left
// as unreached.
class PageMap {
public:
    enum class PageKind : uint8_t {
        kUnreached,      // no b-tree, overflow chain or freelist reaches it
        kBtree,          // a page of the b-tree rooted at getOwnerRoot
        kOverflow,       // carries the payload of a live cell of getOwnerRoot's b-tree
        kFreelistTrunk,
        kFreelistLeaf,
    };
    // Where a byte of a b-tree page lies.
    enum class Region : uint8_t {
        kStructure,    // page header, cell pointer array or a fragment
        kLiveCell,
        kFreeblock,
        kUnallocated,  // between the cell pointer array and the cell content area
    };
    // A live cell: its bytes on the page and where its record's serial types start.
    struct Cell {
        uint32_t start = 0;
        uint32_t end = 0;  // one past its last byte on the page, overflow page number included
        uint32_t firstSerialType = 0;
        uint32_t secondSerialType = 0;  // 0 when the record has fewer than two columns
        uint32_t payloadStart = 0;      // the record's first byte (table and index leaves)
        uint64_t payload = 0;           // the record's size, overflow included
        bool overflows = false;
    };

    // Bytes of a payload of `payload` bytes kept on a b-tree page of usableSize
    // bytes, the rest going to overflow pages: the file format's rule for table
    // leaves (tableLeaf) and for index pages.
    static uint32_t localPayloadSize(uint64_t payload, uint32_t usableSize, bool tableLeaf);

    // `data` holds pages x pageSize bytes; roots are the root pages of every
    // b-tree (page 1, the schema table, is always walked). giveBackPages, when
    // given, is called every kPagesBetweenGiveBacks pages read and at the end, so
    // a mapped file's pages need not all stay in memory.
    void build(const uint8_t* data, uint32_t pages, uint32_t pageSize, uint32_t usableSize,
               const std::vector<uint32_t>& roots, uint32_t firstFreelistTrunk,
               const std::function<void()>& giveBackPages = nullptr);

    PageKind getPageKind(uint32_t pageNumber) const;
    // Root page of the b-tree a kBtree or kOverflow page belongs to; 0 otherwise.
    uint32_t getOwnerRoot(uint32_t pageNumber) const;
    // End of the page header and cell pointer array (of a trunk page: of its
    // leaf list). Freelist leaves and unreached pages keep the stale header of
    // the b-tree page they were; 0 when nothing there reads as one.
    uint32_t getStructureEnd(uint32_t pageNumber) const;
    // Region of byte `offset` of a kBtree page; `cell` receives the live cell holding it.
    Region locate(uint32_t pageNumber, uint32_t offset, Cell* cell) const;
    // Sorted starts of the live cells and freeblocks of a kBtree page.
    std::vector<uint32_t> getCellBoundaries(uint32_t pageNumber) const;
    // The live cells of a kBtree page, by start.
    std::vector<Cell> getCells(uint32_t pageNumber) const;
    // The freelist's leaf pages in the order its trunks list them. Pages freed
    // together (a dropped table's, in its key order) stand next to each other.
    const std::vector<uint32_t>& getFreelistLeaves() const { return freelistLeaves_; }
    // True when [begin, end) touches a live cell of the page.
    bool overlapsLiveCell(uint32_t pageNumber, uint32_t begin, uint32_t end) const;
    // Whether byte `offset` of a kBtree page lies inside a live cell (as locate
    // finds it) other than where the cell's record's serial types start
    // (firstSerialType, secondSerialType): a record read from there is a
    // misreading of the cell's bytes.
    bool insideLiveCellInterior(uint32_t pageNumber, uint32_t offset) const;
    // Every such offset of the page as [begin, end) ranges in ascending order,
    // into `ranges` (cleared first); none for a page of another kind.
    void getLiveCellInteriors(uint32_t pageNumber, std::vector<std::pair<uint32_t, uint32_t>>& ranges) const;

    static constexpr uint32_t kPagesBetweenGiveBacks = 8192;

private:
    struct PageEntry {
        PageKind kind = PageKind::kUnreached;
        uint32_t root = 0;
        uint32_t structureEnd = 0;  // end of header and cell pointer array
        uint32_t contentStart = 0;  // start of the cell content area
    };
    // What a b-tree page holds, read from its bytes.
    struct PageCells {
        std::vector<Cell> cells;                                 // by start
        std::vector<std::pair<uint32_t, uint32_t>> freeblocks;  // [start, end), by start
    };

    void walkBtree(uint32_t root);
    bool readBtreePage(uint32_t pageNumber, uint32_t root, std::vector<uint32_t>& children);
    // Reads the cells and freeblocks of b-tree page pageNumber into out; children
    // and overflows (first page, bytes), when given, receive the child page
    // numbers and the overflow chains of its cells.
    void readCells(uint32_t pageNumber, PageCells& out, std::vector<uint32_t>* children,
                   std::vector<std::pair<uint32_t, uint64_t>>* overflows) const;
    // The cells of a kBtree page, from this thread's cache of its last page.
    const PageCells& cellsOf(uint32_t pageNumber) const;
    void claimOverflow(uint32_t firstPage, uint64_t remainingBytes, uint32_t root);
    void walkFreelist(uint32_t firstTrunk);
    void readStaleHeader(uint32_t pageNumber);
    const uint8_t* page(uint32_t pageNumber) const { return data_ + uint64_t(pageNumber - 1) * pageSize_; }
    bool valid(uint32_t pageNumber) const { return pageNumber >= 1 && pageNumber <= pages_; }

    const uint8_t* data_ = nullptr;
    uint32_t pages_ = 0;
    uint32_t pageSize_ = 0;
    uint32_t usableSize_ = 0;
    std::vector<PageEntry> entries_;
    std::vector<uint32_t> freelistLeaves_;
    uint64_t generation_ = 0;
    std::function<void()> giveBack_;
    uint32_t readSinceGiveBack_ = 0;
    void pageRead();  // tells the per-thread caches one build from another
};

}  // namespace sqlite
}  // namespace talwen
