#include "sqlite_recovery/TableBtree.h"

#include <map>

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
