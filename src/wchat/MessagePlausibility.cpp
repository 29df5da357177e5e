#include "wchat/MessagePlausibility.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>

#include "sqlite_recovery/FieldValue.h"
#include "sqlite_recovery/SqliteBlockSeeker.h"

namespace talwen {
namespace wchat {

namespace {

// The text after a chat-room member's "user name:\n" prefix.
size_t bodyStart(const std::string& message) {
    const size_t colon = message.find(":\n");
    if (colon == std::string::npos || colon == 0 || colon > 64) return 0;
    for (size_t i = 0; i < colon; ++i) {
        const unsigned char c = static_cast<unsigned char>(message[i]);
        if (!(std::isalnum(c) || c == '_' || c == '-' || c == '@' || c == '|' || c == '.')) return 0;
    }
    return colon + 2;
}

bool integerOf(const sqlite::Record& record, const char* name, int64_t& value) {
    const std::shared_ptr<sqlite::FieldValue> field = record.getFieldValue(name);
    if (!field || !field->isInteger()) return false;
    value = field->getIntegerValue();
    return true;
}

}  // namespace

int64_t MessagePlausibility::fileTime(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) return static_cast<int64_t>(info.st_mtime);
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool MessagePlausibility::isKnownType(int64_t type) {
    if (type <= 0 || type > 0x7FFFFFFF) return false;
    switch (type & 0xFFFF) {
        case 1: case 3: case 34: case 35: case 37: case 40: case 42: case 43: case 47: case 48:
        case 49: case 50: case 51: case 52: case 53: case 62: case 64: case 65: case 66:
        case 9999: case 10000: case 10002:
            break;
        default:
            return false;
    }
    // Flags above the low part are the messenger's app-message variants only.
    return type <= 0xFFFF || (type & 0xFFFF) == 49;
}

bool MessagePlausibility::hasMarkupBody(int64_t type) {
    switch (type & 0xFFFF) {
        case 3: case 34: case 42: case 43: case 47: case 48: case 49: case 62:
            return true;
        default:
            return false;
    }
}

MessagePlausibility::Verdict MessagePlausibility::judge(int64_t createTime, bool hasCreateTime, int64_t type,
                                                        bool hasType, int64_t des, bool hasDes,
                                                        const std::string* message) const {
    if (!hasCreateTime || createTime < kEarliestTime || createTime > latestTime_) return Verdict::kCreateTime;
    if (!hasType || !isKnownType(type)) return Verdict::kType;
    if (!hasDes || (des != 0 && des != 1)) return Verdict::kDes;
    if (message == nullptr || message->empty()) return Verdict::kBody;
    const size_t start = bodyStart(*message);
    if (start >= message->size()) return Verdict::kBody;
    if (hasMarkupBody(type) && message->find('<', start) == std::string::npos) return Verdict::kBody;
    return Verdict::kPlausible;
}

MessagePlausibility::Verdict MessagePlausibility::judge(const sqlite::Record& record) const {
    int64_t createTime = 0, type = 0, des = 0;
    const bool hasCreateTime = integerOf(record, "CreateTime", createTime);
    const bool hasType = integerOf(record, "Type", type);
    const bool hasDes = integerOf(record, "Des", des);
    const std::shared_ptr<sqlite::FieldValue> message = record.getFieldValue("Message");
    const std::string* text = message && message->isText() ? &message->getTextValue() : nullptr;
    return judge(createTime, hasCreateTime, type, hasType, des, hasDes, text);
}

const char* MessagePlausibility::name(Verdict verdict) {
    switch (verdict) {
        case Verdict::kPlausible: return "plausible";
        case Verdict::kCreateTime: return "createTime";
        case Verdict::kType: return "type";
        case Verdict::kDes: return "des";
        case Verdict::kBody: return "body";
        case Verdict::kOwnedElsewhere: return "ownedElsewhere";
    }
    return "?";
}

bool MessagePlacement::ownedElsewhere(uint32_t pageNumber, uint32_t offset, uint32_t headerBytes,
                                      const sqlite::Record& record) const {
    if (map_ == nullptr) return false;
    // Free pages, pages nothing reaches and overflow pages may hold stale rows.
    if (map_->getPageKind(pageNumber) != sqlite::PageMap::PageKind::kBtree) return false;
    uint32_t end = offset + headerBytes;
    for (const auto& value : record.getFieldValues()) {
        if (!value->isNull() && value->getValueBytes() > 0)
            end = std::max(end, value->getValueOffset() + value->getValueBytes());
    }
    sqlite::PageMap::Cell cell;
    const sqlite::PageMap::Region region = map_->locate(pageNumber, offset, &cell);
    if (region == sqlite::PageMap::Region::kStructure) return true;
    const bool chatPage = chatRoots_.count(map_->getOwnerRoot(pageNumber)) != 0;
    if (region == sqlite::PageMap::Region::kLiveCell) {
        // A live row of a conversation table read where its serial types start is
        // its own; anything else inside a live cell is a misreading of its bytes.
        return !(chatPage && (offset == cell.firstSerialType || offset == cell.secondSerialType));
    }
    return map_->overlapsLiveCell(pageNumber, offset, end);
}

bool MessagePlacement::misreadsLiveCell(uint32_t pageNumber, uint32_t offset) const {
    return map_ != nullptr && map_->insideLiveCellInterior(pageNumber, offset);
}

bool PlausibleChatRecordFilter::accept(std::shared_ptr<sqlite::Record>& record) {
    if (placement_ != nullptr && placement_->misreadsLiveCell(sqlite::SqliteBlockSeeker::getCurrentPageNumber(),
                                                              sqlite::SqliteBlockSeeker::getCurrentRecordOffset()))
        return false;
    if (inner_ != nullptr && !inner_->accept(record)) return false;
    if (isLiveCopy_ != nullptr && isLiveCopy_(context_, *record)) return true;
    MessagePlausibility::Verdict verdict = MessagePlausibility::Verdict::kPlausible;
    if (placement_ != nullptr &&
        placement_->ownedElsewhere(sqlite::SqliteBlockSeeker::getCurrentPageNumber(),
                                   sqlite::SqliteBlockSeeker::getCurrentRecordOffset(),
                                   sqlite::SqliteBlockSeeker::getCurrentHeaderBytes(), *record)) {
        verdict = MessagePlausibility::Verdict::kOwnedElsewhere;
    } else if (plausibility_ != nullptr) {
        verdict = plausibility_->judge(*record);
    }
    if (verdict == MessagePlausibility::Verdict::kPlausible) return true;
    counts_[static_cast<size_t>(verdict)].fetch_add(1, std::memory_order_relaxed);
    return false;
}

uint64_t PlausibleChatRecordFilter::rejected() const {
    uint64_t total = 0;
    for (const auto& count : counts_) total += count.load();
    return total;
}

}  // namespace wchat
}  // namespace talwen
