#pragma once

#include <memory>
#include <vector>

#include "sqlite_recovery/SeekEventHandler.h"
#include "sqlite_recovery/TableBtree.h"

namespace talwen {
namespace wchat {

// Collects the conversation tables (name and root page, obtain way 2) carved from
// sqlite_master records by one seek thread, in the order they were found.
class NativeWchatChatTableSeekEventHandler : public sqlite::SeekEventHandler {
public:
    NativeWchatChatTableSeekEventHandler() = default;

    void onPageBegin(uint32_t pageNumber) override;
    void onPageEnd(uint32_t pageNumber) override;
    int onRecord(std::shared_ptr<sqlite::Record>& record) override;

    const std::vector<std::shared_ptr<sqlite::TableBtree>>& getTableBtrees() const { return tables_; }

private:
    std::vector<std::shared_ptr<sqlite::TableBtree>> tables_;
};

}  // namespace wchat
}  // namespace talwen
