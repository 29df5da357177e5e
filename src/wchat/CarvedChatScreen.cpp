#include "wchat/CarvedChatScreen.h"

#include <set>
#include <vector>

#include "sqldb/ResultSet.h"
#include "sqldb/SqliteAssistant.h"

namespace talwen {
namespace wchat {

namespace {

bool isLiveCopy(const void* context, const sqlite::Record& record) {
    return static_cast<const SavedChatIndex*>(context)->containsCarved(record);
}

uint32_t bigEndian32(const uint8_t* bytes) {
    return (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) | bytes[3];
}

}  // namespace

void CarvedChatScreen::prepare(sqlite3* sourceDb, const sqlite::Database& database, const uint8_t* data,
                               const std::string& path, const SavedChatIndex* savedChats) {
    savedChats_ = savedChats;
    plausibility_ = std::make_unique<MessagePlausibility>(MessagePlausibility::fileTime(path));
    if (sourceDb == nullptr || data == nullptr || database.getPages() == 0) return;
    sqldb::ResultSet rows;
    common::ErrorInfo error;
    sqldb::SqliteAssistant::query(sourceDb, 0, "SELECT name, rootpage FROM sqlite_master WHERE rootpage > 0;", rows,
                                  &error);
    if (!error.isSuccess()) return;
    std::vector<uint32_t> roots;
    std::set<uint32_t> chatRoots;
    for (uint32_t row = 0; row < rows.getRowCount(); ++row) {
        const auto name = rows.getValue(row, 0u);
        const auto root = rows.getValue(row, 1u);
        if (!root->isInteger() || root->getIntegerValue() <= 0 || root->getIntegerValue() > database.getPages())
            continue;
        roots.push_back(static_cast<uint32_t>(root->getIntegerValue()));
        if (name->isText() && name->getTextValue().compare(0, 5, "Chat_") == 0) chatRoots.insert(roots.back());
    }
    // The header's first freelist trunk page (offset 32).
    const uint32_t firstTrunk = bigEndian32(data + 32);
    // The walk reads pages all over the file: they are given back as it goes.
    map_.build(data, database.getPages(), database.getPageSize(), database.getUsableSize(), roots, firstTrunk,
               [&database] { database.releaseAllPages(); });
    mapped_ = true;
    placement_ = std::make_unique<MessagePlacement>(&map_, std::move(chatRoots));
}

sqlite::RecordFilter* CarvedChatScreen::wrap(sqlite::RecordFilter* inner) {
    if (!plausibility_) plausibility_ = std::make_unique<MessagePlausibility>(MessagePlausibility::fileTime(""));
    filter_ = std::make_unique<PlausibleChatRecordFilter>(inner, plausibility_.get(), placement_.get(),
                                                          savedChats_ ? &isLiveCopy : nullptr, savedChats_);
    return filter_.get();
}

}  // namespace wchat
}  // namespace talwen
