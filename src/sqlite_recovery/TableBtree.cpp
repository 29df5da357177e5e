#include "sqlite_recovery/TableBtree.h"

#include <climits>
#include <map>
#include <vector>

#define WCR_UNIT "sqlite_recovery/TableBtree"

namespace talwen {
namespace sqlite {

using common::ErrorInfo;

namespace {
constexpr uint8_t kTableLeafPage = 13;
constexpr uint8_t kTableInteriorPage = 5;
constexpr uint32_t kFileHeaderSize = 100;
constexpr uint32_t kInteriorHeaderSize = 12;
}  // namespace

void TableBtree::collectPages(Database* database, ErrorInfo* error) {
    PageView view;
    view.pages = database->getPages();
    view.pageSize = database->getPageSize();
    view.usableSize = database->getUsableSize();
    view.data = database->readAllPages(error);
    view.database = database;
    if (!error->isSuccess()) return;
    const uint8_t* root = getPageInDatabaseData(view, rootPage_, error);
    if (!error->isSuccess()) return;
    processInteriorPage(view, rootPage_, root, interiorPages_, leafPages_, error);
}

namespace {

bool isFreePage(const PageMap& map, uint32_t pageNumber) {
    const PageMap::PageKind kind = map.getPageKind(pageNumber);
    return kind == PageMap::PageKind::kFreelistLeaf || kind == PageMap::PageKind::kUnreached;
}

// The children an interior page's cell pointers name, from `pointers` on, at
// most `count` of them (or as many as read as interior cells, with keys that
// rise, when count is unknown: a stale root's count was zeroed).
void readChildPointers(const uint8_t* page, uint32_t pointers, uint32_t count, uint32_t usable, uint32_t pages,
                       std::vector<uint32_t>& children) {
    const bool counted = count != UINT32_MAX;
    int64_t lastKey = INT64_MIN;
    for (uint32_t k = 0; counted ? k < count : true; ++k) {
        const uint64_t at = uint64_t(pointers) + 2ull * k;
        if (at + 2 > usable) return;
        const uint32_t cell = static_cast<uint32_t>(readBigEndian(page + at, 2));
        if (cell < at + 2 || uint64_t(cell) + 5 > usable) {
            if (counted) continue;
            return;
        }
        const uint32_t child = static_cast<uint32_t>(readBigEndian(page + cell, 4));
        common::ErrorInfo error;
        uint32_t keyBytes = 0;
        const int64_t key = parseVarint(page + cell + 4, usable - cell - 4, keyBytes, &error);
        if (child == 0 || child > pages || !error.isSuccess() || (!counted && key <= lastKey)) {
            if (counted) continue;
            return;
        }
        lastKey = key;
        children.push_back(child);
    }
}

}  // namespace

void TableBtree::collectStalePages(const Database& database, const uint8_t* data, const PageMap& map) {
    const uint32_t pages = database.getPages();
    const uint32_t pageSize = database.getPageSize();
    const uint32_t usable = database.getUsableSize();
    // Page 1 is the schema's root, never a dropped table's.
    if (rootPage_ < 2 || rootPage_ > pages || data == nullptr || usable < kInteriorHeaderSize + 8) return;
    if (map.getPageKind(rootPage_) == PageMap::PageKind::kFreelistTrunk) {
        // Freed into an empty freelist, the root became its trunk: the list
        // overwrote its first bytes, the stale cells after them are still the table's.
        leafPages_.insert(rootPage_);
        return;
    }
    if (!isFreePage(map, rootPage_)) return;
    const uint8_t* root = data + uint64_t(rootPage_ - 1) * pageSize;
    auto pageAt = [&](uint32_t pageNumber) { return data + uint64_t(pageNumber - 1) * pageSize; };
    // A page the walk may take: free now and still reading as a table b-tree page.
    auto takenKind = [&](uint32_t pageNumber) -> uint8_t {
        if (pageNumber < 2 || pageNumber > pages || pageNumber == rootPage_ || !isFreePage(map, pageNumber)) return 0;
        const uint8_t kind = pageAt(pageNumber)[0];
        return kind == kTableLeafPage || kind == kTableInteriorPage ? kind : 0;
    };
    std::vector<uint32_t> children;
    if (root[0] == kTableLeafPage && readBigEndian(root + 3, 2) == 0) {
        // As DROP TABLE leaves it: the old right child and cells of an interior root.
        const uint32_t rightChild = static_cast<uint32_t>(readBigEndian(root + 8, 4));
        readChildPointers(root, kInteriorHeaderSize, UINT32_MAX, usable, pages, children);
        children.push_back(rightChild);
    } else if (root[0] == kTableInteriorPage) {
        readChildPointers(root, kInteriorHeaderSize, static_cast<uint32_t>(readBigEndian(root + 3, 2)), usable, pages,
                          children);
        children.push_back(static_cast<uint32_t>(readBigEndian(root + 8, 4)));
    } else if (root[0] != kTableLeafPage) {
        return;
    }
    // The root was an interior page only if what it points to still reads as the
    // table's pages; a leaf root's cell pointers read as page numbers far out of range.
    bool interior = false;
    for (const uint32_t child : children) interior = interior || takenKind(child) != 0;
    if (!interior) {
        leafPages_.insert(rootPage_);
        return;
    }
    interiorPages_.insert(rootPage_);
    // Depth first, each page once, no deeper than a real b-tree goes.
    std::vector<std::pair<uint32_t, uint32_t>> stack;  // page, depth
    for (auto it = children.rbegin(); it != children.rend(); ++it) stack.emplace_back(*it, 1);
    std::vector<uint32_t> grandchildren;
    while (!stack.empty()) {
        const auto [pageNumber, depth] = stack.back();
        stack.pop_back();
        const uint8_t kind = takenKind(pageNumber);
        if (kind == kTableLeafPage) {
            leafPages_.insert(pageNumber);
            continue;
        }
        if (kind != kTableInteriorPage || depth >= kMaxDepth || !interiorPages_.insert(pageNumber).second) continue;
        const uint8_t* page = pageAt(pageNumber);
        grandchildren.clear();
        readChildPointers(page, kInteriorHeaderSize, static_cast<uint32_t>(readBigEndian(page + 3, 2)), usable, pages,
                          grandchildren);
        grandchildren.push_back(static_cast<uint32_t>(readBigEndian(page + 8, 4)));
        for (auto it = grandchildren.rbegin(); it != grandchildren.rend(); ++it) stack.emplace_back(*it, depth + 1);
    }
}

void TableBtree::forgetPages(const std::set<uint32_t>& pages) {
    for (const uint32_t page : pages) {
        leafPages_.erase(page);
        interiorPages_.erase(page);
    }
}

const uint8_t* TableBtree::getPageInDatabaseData(const PageView& view, uint32_t pageNumber,
                                                 ErrorInfo* error) {
    if (pageNumber == 0 || pageNumber > view.pages || !view.data) {
        WCR_SET_ERROR(error, -1, "pageNumber[" + std::to_string(pageNumber) + "] overflow!",
                      "getPageInDatabaseData");
        return nullptr;
    }
    error->clear();
    return view.data.get() + uint64_t(pageNumber - 1) * view.pageSize;
}

void TableBtree::processInteriorPage(const PageView& view, uint32_t pageNumber, const uint8_t* page,
                                     std::set<uint32_t>& interiorPages,
                                     std::set<uint32_t>& leafPages, ErrorInfo* error,
                                     uint32_t depth) {
    const uint8_t* header = pageNumber == 1 ? page + kFileHeaderSize : page;
    if (header[0] == kTableLeafPage) {
        leafPages.insert(pageNumber);
        if (view.database != nullptr && ++view.leavesSinceRelease >= kReleaseEvery) {
            view.database->releaseAllPages();
            view.leavesSinceRelease = 0;
        }
        return;
    }
    if (header[0] != kTableInteriorPage) return;

    if (depth >= kMaxDepth) {
        WCR_SET_ERROR(error, -2,
                      "B-tree depth[" + std::to_string(depth) + "] over limit[" +
                          std::to_string(kMaxDepth) + "] at pageNumber[" +
                          std::to_string(pageNumber) + "]!",
                      "processInteriorPage");
        return;
    }
    // Entered once: a damaged file may list a page as its own descendant.
    if (!interiorPages.insert(pageNumber).second) return;

    const uint32_t cellCount = static_cast<uint32_t>(readBigEndian(header + 3, 2));
    const uint32_t cellContentOffset = static_cast<uint32_t>(readBigEndian(header + 5, 2));
    const uint32_t rightChild = static_cast<uint32_t>(readBigEndian(header + 8, 4));
    if (cellContentOffset >= view.usableSize) {
        WCR_SET_ERROR(error, -2,
                      "cellContentOffset[" + std::to_string(int32_t(cellContentOffset)) +
                          "] over pageLength[" + std::to_string(view.usableSize) + "]!",
                      "processInteriorPage");
        return;
    }

    // Cells are located through the cell pointer array. The content area is not a
    // packed run of cells: SQLite leaves freeblocks and fragments between them
    // after deletes and rebalancing, and reading it back to back would miss live
    // children and follow garbage.
    const uint32_t headerOffset = uint32_t(header - page);
    const uint64_t pointerArrayEnd = uint64_t(headerOffset) + kInteriorHeaderSize + 2ull * cellCount;
    if (pointerArrayEnd > view.usableSize) {
        WCR_SET_ERROR(error, -2,
                      "cellCount[" + std::to_string(cellCount) + "] over pageLength[" +
                          std::to_string(view.usableSize) + "]!",
                      "processInteriorPage");
        return;
    }
    std::map<uint32_t, int64_t> children;
    for (uint32_t k = 0; k < cellCount; ++k) {
        const uint32_t cellOffset =
            static_cast<uint32_t>(readBigEndian(header + kInteriorHeaderSize + 2 * k, 2));
        if (cellOffset < cellContentOffset) {
            WCR_SET_ERROR(error, -2,
                          "cellOffset[" + std::to_string(cellOffset) +
                              "] below cellContentOffset[" + std::to_string(cellContentOffset) +
                              "]!",
                          "parseTableBtreeInteriorCell");
            return;
        }
        const int64_t remaining = int64_t(view.usableSize) - cellOffset;
        if (remaining <= 4) {
            WCR_SET_ERROR(error, -2,
                          "Parse table b-tree interior cell fail, because buffLength[" +
                              std::to_string(remaining) + "] < 5!",
                          "parseTableBtreeInteriorCell");
            return;
        }
        const uint8_t* cell = page + cellOffset;
        const uint32_t child = static_cast<uint32_t>(readBigEndian(cell, 4));
        uint32_t keyBytes = 0;
        const int64_t key =
            parseVarint(cell + 4, static_cast<uint32_t>(remaining - 4), keyBytes, error);
        if (!error->isSuccess()) return;
        children.emplace(child, key);
    }

    for (const auto& entry : children) {
        const uint8_t* childPage = getPageInDatabaseData(view, entry.first, error);
        if (!childPage) continue;  // skipped; its failure stays until the next success
        processInteriorPage(view, entry.first, childPage, interiorPages, leafPages, error,
                            depth + 1);
        if (!error->isSuccess()) return;
    }
    const uint8_t* rightPage = getPageInDatabaseData(view, rightChild, error);
    if (rightPage) {
        processInteriorPage(view, rightChild, rightPage, interiorPages, leafPages, error,
                            depth + 1);
    }
}

}  // namespace sqlite
}  // namespace talwen
