#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "sqlite_recovery/Database.h"
#include "sqlite_recovery/PageMap.h"
#include "common/EntityBase.h"
#include "common/ErrorInfo.h"
#include "sqlite_recovery/SqliteFacility.h"

namespace talwen {
namespace sqlite {

// A table of the database by name and root page, and the page numbers of its live
// b-tree once collectPages has walked it. Reads the in-memory copy of the file only.
class TableBtree : public common::EntityBase {
public:
    static constexpr uint64_t kTableNameFlag = 0x4;
    static constexpr uint64_t kRootPageFlag = 0x8;
    // No SQLite b-tree comes near this depth; a deeper walk means forged child
    // pointers and is stopped.
    static constexpr uint32_t kMaxDepth = 64;

    // The bytes one walk reads: the whole file and its geometry.
    struct PageView {
        ByteArray data;
        uint32_t pages = 0;
        uint32_t pageSize = 0;
        uint32_t usableSize = 0;
        // When set, the walk gives back the memory of the mapped pages it has read
        // every kReleaseEvery leaves, so a walk of a large tree stays small.
        const Database* database = nullptr;
        mutable uint32_t leavesSinceRelease = 0;
    };
    static constexpr uint32_t kReleaseEvery = 4096;

    explicit TableBtree(uint16_t obtainWay) : common::EntityBase(obtainWay) {}

    void setTableName(const std::string& tableName) {
        tableName_ = tableName;
        markSet(kTableNameFlag);
    }
    void setRootPage(uint32_t rootPage) {
        rootPage_ = rootPage;
        markSet(kRootPageFlag);
    }
    const std::string& getTableName() const { return tableName_; }
    uint32_t getRootPage() const { return rootPage_; }
    const std::set<uint32_t>& getInteriorPages() const { return interiorPages_; }
    const std::set<uint32_t>& getLeafPages() const { return leafPages_; }

    // Walks the b-tree from rootPage and adds its interior and leaf pages to the
    // sets (which are not cleared first). Pages reached before a failure stay.
    void collectPages(Database* database, common::ErrorInfo* error);

    // The pages a dropped table left behind, for a table whose schema entry was
    // carved. DROP TABLE frees every page of the table with its contents, after
    // rewriting only bytes 1-7 of the root's header as an empty leaf: an interior
    // root keeps its right-child pointer, its cell pointers and its cells, and its
    // freed interior children keep their headers. Those stale pointers are
    // followed to the leaves. Only pages the map finds free (freelist leaves,
    // pages nothing reaches) are entered or taken: a page in use now holds
    // something else. The root itself counts as an interior page (stale cells of
    // the leaf it once was) or, when it was the table's only page or became the
    // freelist's trunk (its stale cells after the list), as its leaf.
    // The sets are not cleared first.
    void collectStalePages(const Database& database, const uint8_t* data, const PageMap& map);

    // Takes the pages out of both sets.
    void forgetPages(const std::set<uint32_t>& pages);

    // First byte of page pageNumber (from 1) in the view; null and code -1 when the
    // number is 0 or beyond the page count.
    static const uint8_t* getPageInDatabaseData(const PageView& view, uint32_t pageNumber,
                                                common::ErrorInfo* error);

    // Records page pageNumber as a leaf (type 13) or an interior page (type 5) and
    // walks an interior page's children in ascending page order, then its right-most
    // child. Other page types are ignored. An interior page already in interiorPages
    // is not entered again, so a page that is its own descendant ends the recursion;
    // a walk deeper than kMaxDepth fails with code -2.
    static void processInteriorPage(const PageView& view, uint32_t pageNumber, const uint8_t* page,
                                    std::set<uint32_t>& interiorPages,
                                    std::set<uint32_t>& leafPages, common::ErrorInfo* error,
                                    uint32_t depth = 0);

private:
    std::string tableName_;
    uint32_t rootPage_ = 0;
    std::set<uint32_t> interiorPages_;
    std::set<uint32_t> leafPages_;
};

}  // namespace sqlite
}  // namespace talwen
